// Layer 3, views: the cursor of --cursor-file, --after-cursor and
// --show-cursor.  Where the output resumes, the position of what it wrote
// (one per core and one in the journal), and that position kept in the
// cursor file: replaced whenever the output ends and at least once a
// second while lines are written, the lines it names flushed first (and
// synced when the output is a file).
#pragma once

#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

#include "oamlog/read_file.h"
#include "oamlog/read_journal.h"
#include "oamlog/view_print.h"



struct oamlog_cursor_opts {
    std::string file;   // --cursor-file
    std::string after;  // --after-cursor
    bool show = false;  // --show-cursor
};

// Takes the cursor to resume from (the file's when there is one, else
// --after-cursor), and makes SIGINT, SIGTERM and a closed pipe end the
// output rather than the process.  0, or -1 when it cannot be read or is
// not a cursor of this oamlog (reported).
int oamlog_cursor_begin(const oamlog_cursor_opts &opts);
// Places each source and the journal's events just behind their position.
// A position the files no longer hold is reported once, on standard error
// and as an "unread" event in out.  true when a cursor was given, even one
// that names nothing yet: the output resumes (-n does not apply then).
bool oamlog_cursor_apply(std::vector<oamlog_source> &sources, FILE *out, const oamlog_print_opts &popts);
// A record written, or passed over by -n.
void oamlog_cursor_record(const oamlog_rec &rec);
// An event of g_oamlog_events written, or passed over.
void oamlog_cursor_event(const oamlog_event &ev);
// A signal or a failed write ended the output.
bool oamlog_cursor_stopped();
// Follow: reads the watch descriptor as read(2) would, writing the cursor
// when it is due meanwhile; -2 when the output was ended while it waited.
ssize_t oamlog_cursor_wait(int fd, void *buf, size_t cap);
// The end of the output: it is flushed, the cursor written and shown.
void oamlog_cursor_end(FILE *out);
