#include "oamlog/oamlog_parse.h"

#include <cstring>

namespace {

enum oamlog_hdr_state {
    OAMLOG_HDR_OK,
    OAMLOG_HDR_PARTIAL,  // right as far as the buffer goes, but shorter than a header
    OAMLOG_HDR_BAD,
};

// Checks the header bytes at pos that the buffer holds; on BAD, *why says
// which field is wrong first.
oamlog_hdr_state oamlog_check_hdr(const uint8_t *buf, size_t len, size_t pos, oamlog_damage_kind *why)
{
    const size_t avail = len - pos;
    const uint8_t *hdr = buf + pos;
    if (hdr[0] != OAM_RECORD_MARKER || (avail > 1 && hdr[1] != OAM_RECORD_RESERVED)) {
        *why = OAMLOG_BAD_MARKER;
        return OAMLOG_HDR_BAD;
    }
    if (avail < OAM_RECORD_LEN_OFFSET + 2) {
        return OAMLOG_HDR_PARTIAL;
    }
    const uint16_t rec_len = oam_record_len(hdr);
    if (rec_len < OAM_RECORD_HDR_LEN || rec_len > OAM_RECORD_MAX_LEN) {
        *why = OAMLOG_BAD_LENGTH;
        return OAMLOG_HDR_BAD;
    }
    // Each time field is judged as soon as both of its bytes are there.
    for (int f = 0; f < OAM_STAMP_FIELDS; ++f) {
        if (avail < static_cast<size_t>(OAM_RECORD_STAMP_OFFSET + 2 * f + 2)) {
            return OAMLOG_HDR_PARTIAL;
        }
        const uint16_t v = oamlog_stamp_field(hdr, f);
        if (v < OAM_STAMP_RANGES[f].min || v > OAM_STAMP_RANGES[f].max) {
            *why = OAMLOG_BAD_STAMP;
            return OAMLOG_HDR_BAD;
        }
    }
    return OAMLOG_HDR_OK;
}

enum oamlog_verdict { OAMLOG_NO, OAMLOG_YES, OAMLOG_UNSURE };

// Whatever follows a record at end: nothing, or the start of another record.
// While the file may grow, neither is sure until a whole header is there.
oamlog_verdict oamlog_lines_up(const uint8_t *buf, size_t len, size_t end, bool final)
{
    if (end >= len) {
        return final ? OAMLOG_YES : OAMLOG_UNSURE;
    }
    oamlog_damage_kind why{};
    switch (oamlog_check_hdr(buf, len, end, &why)) {
    case OAMLOG_HDR_OK:
        return OAMLOG_YES;
    case OAMLOG_HDR_PARTIAL:
        return final ? OAMLOG_YES : OAMLOG_UNSURE;
    case OAMLOG_HDR_BAD:
        break;
    }
    return OAMLOG_NO;
}

// May a record start at pos, behind a damaged spot?
oamlog_verdict oamlog_plausible(const uint8_t *buf, size_t len, size_t pos, bool final)
{
    oamlog_damage_kind why{};
    const oamlog_hdr_state st = oamlog_check_hdr(buf, len, pos, &why);
    if (st == OAMLOG_HDR_BAD) {
        return OAMLOG_NO;
    }
    if (st == OAMLOG_HDR_PARTIAL) {
        // At the very end of a file: the start of a record cut short.
        return final ? OAMLOG_YES : OAMLOG_UNSURE;
    }
    const size_t end = pos + oam_record_len(buf + pos);
    if (end > len) {
        return final ? OAMLOG_YES : OAMLOG_UNSURE;
    }
    return oamlog_lines_up(buf, len, end, final);
}

oamlog_item oamlog_damage(oamlog_damage_kind why, size_t pos, size_t len)
{
    return {OAMLOG_DAMAGE, why, pos, len, false};
}

oamlog_item oamlog_resync(const uint8_t *buf, size_t len, size_t pos, bool final, oamlog_damage_kind why)
{
    for (size_t p = pos + 1; p < len;) {
        const void *hit = memchr(buf + p, OAM_RECORD_MARKER, len - p);
        if (hit == nullptr) {
            break;
        }
        p = static_cast<size_t>(static_cast<const uint8_t *>(hit) - buf);
        const oamlog_verdict v = oamlog_plausible(buf, len, p, final);
        if (v == OAMLOG_YES) {
            return oamlog_damage(why, pos, p - pos);
        }
        if (v == OAMLOG_UNSURE) {
            // A file still being written may go on with a record here; a
            // long damaged stretch before it is reported already.
            if (p - pos > OAMLOG_DAMAGE_STEP) {
                return oamlog_damage(why, pos, p - pos);
            }
            return {OAMLOG_MORE, why, pos, 0, false};
        }
        ++p;
    }
    if (final || len - pos > OAMLOG_DAMAGE_STEP) {
        return oamlog_damage(why, pos, len - pos);
    }
    return {OAMLOG_MORE, why, pos, 0, false};
}

}  // namespace

uint16_t oamlog_stamp_field(const uint8_t *rec, int field)
{
    // Host byte order, as the daemon copies the fields.
    uint16_t v = 0;
    memcpy(&v, rec + OAM_RECORD_STAMP_OFFSET + 2 * field, sizeof(v));
    return v;
}

oamlog_item oamlog_parse_next(const uint8_t *buf, size_t len, size_t pos, bool final)
{
    if (pos >= len) {
        return {final ? OAMLOG_END : OAMLOG_MORE, OAMLOG_BAD_MARKER, pos, 0, true};
    }
    oamlog_damage_kind why{};
    const oamlog_hdr_state st = oamlog_check_hdr(buf, len, pos, &why);
    if (st == OAMLOG_HDR_PARTIAL) {
        return final ? oamlog_damage(OAMLOG_CUT_SHORT, pos, len - pos) : oamlog_item{OAMLOG_MORE, why, pos, 0, true};
    }
    // A wrong stamp with the rest of the header right: the record itself may
    // be whole (the daemon writes whatever the stamp area held when the
    // clock could not be read).
    const bool framed = st == OAMLOG_HDR_OK || why == OAMLOG_BAD_STAMP;
    if (!framed) {
        return oamlog_resync(buf, len, pos, final, why);
    }
    const size_t rec_len = oam_record_len(buf + pos);
    if (rec_len > len - pos) {
        if (!final) {
            return {OAMLOG_MORE, why, pos, 0, true};
        }
        if (st == OAMLOG_HDR_OK) {
            return oamlog_damage(OAMLOG_CUT_SHORT, pos, len - pos);
        }
        return oamlog_resync(buf, len, pos, final, why);
    }
    if (st == OAMLOG_HDR_OK) {
        return {OAMLOG_RECORD, OAMLOG_BAD_STAMP, pos, rec_len, true};
    }
    switch (oamlog_lines_up(buf, len, pos + rec_len, final)) {
    case OAMLOG_YES:
        return {OAMLOG_RECORD, OAMLOG_BAD_STAMP, pos, rec_len, false};
    case OAMLOG_UNSURE:
        return {OAMLOG_MORE, why, pos, 0, false};
    case OAMLOG_NO:
        break;
    }
    return oamlog_resync(buf, len, pos, final, why);
}
