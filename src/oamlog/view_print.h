// Layer 3, views: a record or an event as a text line, with a hex dump,
// as bare data, or as a JSON object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "oamlog/read_file.h"
#include "oamlog/read_journal.h"

enum oamlog_format { OAMLOG_TEXT, OAMLOG_HEX, OAMLOG_RAW, OAMLOG_JSON, OAMLOG_CHECK };

struct oamlog_print_opts {
    oamlog_format format;
    bool utc;  // times in UTC
};
// Printable: shown as text, else as hex.
bool oamlog_is_text(const uint8_t *data, size_t len);
// The data as a record's line shows it, at p: text with its line ends
// written as escapes, else the bytes in hex.  At most three characters a
// byte; returns the end.
char *oamlog_put_data(char *p, const uint8_t *data, size_t len);
void oamlog_print(FILE *out, const oamlog_print_opts &opts, const oamlog_rec &rec);
void oamlog_print_event(FILE *out, const oamlog_print_opts &opts, const oamlog_event &ev);
