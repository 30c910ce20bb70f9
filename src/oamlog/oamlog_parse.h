// Splitting a log file's bytes into records and damaged spots.  Pure: bytes
// in, one item out, so that it can be tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/oam_record.h"

enum oamlog_item_kind {
    OAMLOG_RECORD,  // a whole record at pos, len bytes
    OAMLOG_DAMAGE,  // a damaged spot at pos, len bytes; parsing goes on behind it
    OAMLOG_MORE,    // the buffer ends before anything can be decided at pos
    OAMLOG_END,     // final and nothing left
};

enum oamlog_damage_kind {
    OAMLOG_BAD_MARKER,  // marker or reserved byte wrong
    OAMLOG_BAD_LENGTH,  // length field below a header or above a whole record
    OAMLOG_CUT_SHORT,   // the data ends inside a record
    OAMLOG_BAD_STAMP,   // a time field out of range
};

struct oamlog_item {
    oamlog_item_kind kind;
    oamlog_damage_kind damage;  // DAMAGE; for a RECORD with stamp_ok false, OAMLOG_BAD_STAMP
    size_t pos;
    size_t len;
    bool stamp_ok;              // RECORD: its time fields are all in range
};

// The item at pos of buf[0, len).  With final false more bytes may follow
// (a file still being written): nothing is decided that they could change,
// except that a damaged stretch longer than OAMLOG_DAMAGE_STEP is reported
// in parts.  A damaged spot ends at the next plausible record header: marker,
// length and time fields right, and the bytes behind the record it claims
// starting like a record too.  A record whose only fault is its time stamp is
// still a record when the one behind it lines up.
oamlog_item oamlog_parse_next(const uint8_t *buf, size_t len, size_t pos, bool final);

constexpr size_t OAMLOG_DAMAGE_STEP = 65536;

uint16_t oamlog_stamp_field(const uint8_t *rec, int field);
