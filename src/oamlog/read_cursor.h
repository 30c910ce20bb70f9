// Layer 1, readers of outside bytes: the cursor, oamlog's name for where a
// reader stopped, as text and as the file --cursor-file keeps it.
//
//   oc1;wifi:9f3a2c1b0d4e5f60:10483712:2048:20261209100203120;journal:...
//
// After the version, one position per core and one for the journal, each
// NAME:ID:AT:LEN:STAMP.  A core's position is the last record written: ID
// names its file by content (a hash of the file's first record), so it
// holds when the file is renumbered, compressed or copied; AT is the
// record's offset in the file's content, LEN its length and STAMP its time
// fields as stored (YYYYMMDDhhmmssmmm, "-" when they do not fit).  The
// journal's is the last event of an unbroken run from the oldest: ID is a
// hash of its line, AT how many identical lines come before it, LEN 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/oam_record.h"
#include "oamlog/read_file.h"

struct oamlog_pos {
    std::string name;  // the core ("wifi"); empty: the journal
    uint64_t id;
    uint64_t at;
    uint32_t len;
    uint16_t stamp[OAM_STAMP_FIELDS];  // all 0: not known
};

// FNV-1a, 64 bits: the file and line ids.
uint64_t oamlog_hash(const void *data, size_t len);

// The text of positions (in the order given).
std::string oamlog_cursor_text(const std::vector<oamlog_pos> &positions);
// One entry's own cursor (a position alone) into buf, NUL-terminated; the
// characters written.  OAMLOG_ENTRY_CURSOR_MAX holds any, a core named by a
// file's name escaped whole.
constexpr size_t OAMLOG_ENTRY_CURSOR_MAX = 3 * 256 + 64;
size_t oamlog_entry_cursor(char *buf, size_t cap, std::string_view name, uint64_t id, uint64_t at, uint32_t len,
                           const uint16_t *stamp);
// The positions of a cursor text (one final newline allowed): 0, or -1
// with *why, a sentence that says what is wrong with it.
int oamlog_cursor_parse(std::string_view text, std::vector<oamlog_pos> *out, std::string *why);

// The cursor file: 1 and *text when it holds one, 0 when there is none,
// -1 (reported) when it cannot be read or is no file.
int oamlog_cursor_load(const std::string &path, std::string *text);
// Replaces the cursor file with text: written to a file beside it, put on
// storage, renamed over it and the folder synced.  0, or -1 (reported).
int oamlog_cursor_store(const std::string &path, const std::string &text);

// Where pos lies among src's files, read on a quiet copy: the file whose
// first record pos names (-1: none has it), and the records of that file up
// to and including the one at pos.at of pos.len bytes stamped pos.stamp
// (0: the file no longer holds that record there, as after a repair).
struct oamlog_pos_found {
    long file;
    uint64_t records;
};
oamlog_pos_found oamlog_cursor_find(const oamlog_source &src, const oamlog_pos &pos);
// Before anything is read: src starts at its file number file, the older
// ones closed and left out.
void oamlog_source_skip_files(oamlog_source *src, size_t file);
