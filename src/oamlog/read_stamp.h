// Layer 1, readers of outside bytes: a stamp's fields as calendar numbers,
// read the same by the record and journal readers; no zone, no time line.
#pragma once

#include <cstddef>
#include <cstdint>

unsigned oamlog_month_days(unsigned y, unsigned m);
int64_t oamlog_stamp_ms(const uint16_t *stamp);  // the fields read as if UTC
void oamlog_ms_stamp(int64_t ms, uint16_t *stamp);
// The fields in order as one number (a "local key").
uint64_t oamlog_stamp_key(const uint16_t *stamp);
// Whether month, day and time of day are in range.
bool oamlog_fields_ok(const uint16_t *s);
// "+HHMM" or "-HHMM" at text: the characters it takes (5) and *minutes, else 0.
size_t oamlog_parse_offset(const char *text, int *minutes);
