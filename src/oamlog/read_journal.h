// Layer 1, readers of outside bytes: the daemon's events journal
// (oam_events beside the logs, and its older file), lines parsed into
// events as written; placing them is the time line's (timeline.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/oam_record.h"

// The daemon's events journal (oam_events beside the logs), read once.
struct oamlog_event {
    uint64_t key;  // where it is shown (its place on the time line): a loss where it began
    uint16_t stamp[OAM_STAMP_FIELDS];
    int64_t line_ms;   // the line's own stamp, read as if UTC
    int64_t shown_ms;  // the stamp shown (a loss's beginning), read as if UTC
    int off;           // minutes east of UTC
    bool off_given;    // the line carries its offset
    long period;
    long boot;
    std::string core;
    std::string event;
    std::string detail;
    std::string cause;  // of a loss
    uint64_t count;     // of a loss
    bool overruns;      // the count is of kernel overruns, not of records
    std::string line;   // as written, with its newline
    size_t seq;         // its place in the order written
    uint64_t line_id;   // a hash of the line: with line_n, its cursor
    uint64_t line_n;    // the identical lines before it
    std::string cursor;  // set for an event that is no line of the journal
};

// The events of the journal under root in the order written, after those
// of the lines kept (oamlog_journal_keep) that the journal no longer holds.
// Lines that are no event are skipped and, when report, counted and
// reported as damage.  Remembers where it read to, for following.
void oamlog_journal_read(const std::string &root, bool report, std::vector<oamlog_event> *events);
// Following: the events the daemon wrote since the last read.
void oamlog_journal_read_more(std::vector<oamlog_event> *events);
// Journal lines kept elsewhere (a dump's context), read before the journal's.
void oamlog_journal_keep(const std::string &path, const std::string &text);
// Whether oamlog_journal_read was called.
bool oamlog_journal_loaded();
