// Splitting a log file's bytes into records and damaged spots, as oamlog
// reads them and as the daemon judges the end of its file 1 at start-up.
// Pure: bytes in, one item out, so that it can be tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/oam_record.h"

enum oam_item_kind {
    OAM_ITEM_RECORD,  // a whole record at pos, len bytes
    OAM_ITEM_DAMAGE,  // a damaged spot at pos, len bytes; parsing goes on behind it
    OAM_ITEM_MORE,    // the buffer ends before anything can be decided at pos
    OAM_ITEM_END,     // final and nothing left
};

enum oam_damage_kind {
    OAM_DAMAGE_MARKER,     // marker or reserved byte wrong
    OAM_DAMAGE_LENGTH,     // length field below a header or above a whole record
    OAM_DAMAGE_CUT_SHORT,  // a record starts here, and the data ends before it does
    OAM_DAMAGE_STAMP,      // a time field out of range, and no record lines up behind
    OAM_DAMAGE_FRAME,      // the header is right, but no record lines up behind its length
};

struct oam_record_item {
    oam_item_kind kind;
    oam_damage_kind damage;  // DAMAGE; for a RECORD with stamp_ok false, OAM_DAMAGE_STAMP
    size_t pos;
    size_t len;
    bool stamp_ok;           // RECORD: its time fields are all in range
};

// The item at pos of buf[0, len).  With final false more bytes may follow
// (a file still being written): nothing is decided that they could change,
// except that a damaged stretch longer than OAM_DAMAGE_STEP is reported in
// parts.  A record is whole when its bytes are there and the end of the data
// or the header of another record (its time fields aside) lines up behind
// it; a record whose only fault is its time stamp is still a record.  With
// damage behind it, a record with a right header is kept unless its length
// reaches into the next whole record.  Anything else is damage that ends at
// the next whole record, looked for from the byte after the false start, so
// that no whole record is lost.
oam_record_item oam_record_parse_next(const uint8_t *buf, size_t len, size_t pos, bool final);

constexpr size_t OAM_DAMAGE_STEP = 65536;
