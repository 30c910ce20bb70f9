// Layer 3, views: -g PATTERN, the one text filter over the records and
// events a view prints.
#pragma once

#include "oamlog/read_file.h"
#include "oamlog/read_journal.h"

// Compiles pattern (POSIX extended) once.  sensitive: 1 yes, 0 no, -1 as
// the pattern's letters say (insensitive when it has no capital).  0, or
// -1 with the error told.
int oamlog_grep_set(const char *pattern, int sensitive);
// Whether a record's text (a printable record's as stored, a binary one's
// hex as shown) or an event's text matches; true without a pattern.
bool oamlog_grep_record(const oamlog_rec &rec);
bool oamlog_grep_event(const oamlog_event &ev);
