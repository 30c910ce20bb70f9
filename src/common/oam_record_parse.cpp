#include "common/oam_record_parse.h"

#include <cstring>

namespace {

enum oam_hdr_state {
    OAM_HDR_OK,
    OAM_HDR_PARTIAL,  // right as far as the buffer goes, but shorter than a header
    OAM_HDR_BAD,
};

// Checks the header bytes at pos that the buffer holds; on BAD, *why says
// which field is wrong first.
oam_hdr_state oam_check_hdr(const uint8_t *buf, size_t len, size_t pos, oam_damage_kind *why)
{
    const size_t avail = len - pos;
    const uint8_t *hdr = buf + pos;
    if (hdr[0] != OAM_RECORD_MARKER || (avail > 1 && hdr[1] != OAM_RECORD_RESERVED)) {
        *why = OAM_DAMAGE_MARKER;
        return OAM_HDR_BAD;
    }
    if (avail < OAM_RECORD_LEN_OFFSET + 2) {
        return OAM_HDR_PARTIAL;
    }
    const uint16_t rec_len = oam_record_len(hdr);
    if (rec_len < OAM_RECORD_HDR_LEN || rec_len > OAM_RECORD_MAX_LEN) {
        *why = OAM_DAMAGE_LENGTH;
        return OAM_HDR_BAD;
    }
    // Each time field is judged as soon as both of its bytes are there.
    for (int f = 0; f < OAM_STAMP_FIELDS; ++f) {
        if (avail < static_cast<size_t>(OAM_RECORD_STAMP_OFFSET + 2 * f + 2)) {
            return OAM_HDR_PARTIAL;
        }
        const uint16_t v = oam_stamp_field(hdr, f);
        if (v < OAM_STAMP_RANGES[f].min || v > OAM_STAMP_RANGES[f].max) {
            *why = OAM_DAMAGE_STAMP;
            return OAM_HDR_BAD;
        }
    }
    return OAM_HDR_OK;
}

// Marker and length right: the daemon writes whatever the stamp area held
// when the clock could not be read, so a wrong stamp alone frames a record.
bool oam_framed(oam_hdr_state st, oam_damage_kind why)
{
    return st == OAM_HDR_OK || (st == OAM_HDR_BAD && why == OAM_DAMAGE_STAMP);
}

enum oam_verdict { OAM_NO, OAM_YES, OAM_UNSURE };

// Whatever follows a record at end: nothing, or the start of another record.
// While the file may grow, neither is sure until a whole header is there.
oam_verdict oam_lines_up(const uint8_t *buf, size_t len, size_t end, bool final)
{
    if (end >= len) {
        return final ? OAM_YES : OAM_UNSURE;
    }
    oam_damage_kind why{};
    const oam_hdr_state st = oam_check_hdr(buf, len, end, &why);
    if (oam_framed(st, why)) {
        return OAM_YES;
    }
    if (st == OAM_HDR_PARTIAL) {
        return final ? OAM_YES : OAM_UNSURE;
    }
    return OAM_NO;
}

// Does a whole record start at pos, behind a damaged spot?
oam_verdict oam_whole(const uint8_t *buf, size_t len, size_t pos, bool final)
{
    oam_damage_kind why{};
    const oam_hdr_state st = oam_check_hdr(buf, len, pos, &why);
    if (st != OAM_HDR_PARTIAL && !oam_framed(st, why)) {
        return OAM_NO;
    }
    // A header not all there is shorter than the record it starts.
    const size_t end = st == OAM_HDR_PARTIAL ? len + 1 : pos + oam_record_len(buf + pos);
    if (end > len) {
        return final ? OAM_NO : OAM_UNSURE;
    }
    return oam_lines_up(buf, len, end, final);
}

oam_record_item oam_damage(oam_damage_kind why, size_t pos, size_t len)
{
    return {OAM_ITEM_DAMAGE, why, pos, len, false};
}

// The first place in [from, to) where a whole record starts or may start.
oam_verdict oam_find_whole(const uint8_t *buf, size_t len, size_t from, size_t to, bool final, size_t *at)
{
    for (size_t p = from; p < to;) {
        const void *hit = memchr(buf + p, OAM_RECORD_MARKER, to - p);
        if (hit == nullptr) {
            break;
        }
        p = static_cast<size_t>(static_cast<const uint8_t *>(hit) - buf);
        const oam_verdict v = oam_whole(buf, len, p, final);
        if (v != OAM_NO) {
            *at = p;
            return v;
        }
        ++p;
    }
    return OAM_NO;
}

oam_record_item oam_resync(const uint8_t *buf, size_t len, size_t pos, bool final, oam_damage_kind why)
{
    size_t p = 0;
    switch (oam_find_whole(buf, len, pos + 1, len, final, &p)) {
    case OAM_YES:
        return oam_damage(why, pos, p - pos);
    case OAM_UNSURE:
        // A file still being written may go on with a record here; a long
        // damaged stretch before it is reported already.
        if (p - pos > OAM_DAMAGE_STEP) {
            return oam_damage(why, pos, p - pos);
        }
        return {OAM_ITEM_MORE, why, pos, 0, false};
    case OAM_NO:
        break;
    }
    if (final || len - pos > OAM_DAMAGE_STEP) {
        return oam_damage(why, pos, len - pos);
    }
    return {OAM_ITEM_MORE, why, pos, 0, false};
}

}  // namespace

oam_record_item oam_record_parse_next(const uint8_t *buf, size_t len, size_t pos, bool final)
{
    if (pos >= len) {
        return {final ? OAM_ITEM_END : OAM_ITEM_MORE, OAM_DAMAGE_MARKER, pos, 0, true};
    }
    oam_damage_kind why{};
    const oam_hdr_state st = oam_check_hdr(buf, len, pos, &why);
    if (st != OAM_HDR_PARTIAL && !oam_framed(st, why)) {
        return oam_resync(buf, len, pos, final, why);
    }
    const size_t avail = len - pos;
    if (avail < static_cast<size_t>(OAM_RECORD_HDR_LEN)) {
        // No record fits in what is left.
        return final ? oam_damage(OAM_DAMAGE_CUT_SHORT, pos, avail) : oam_record_item{OAM_ITEM_MORE, why, pos, 0, true};
    }
    const bool stamp_ok = st == OAM_HDR_OK;
    const oam_damage_kind false_start = stamp_ok ? OAM_DAMAGE_FRAME : OAM_DAMAGE_STAMP;
    const size_t rec_len = oam_record_len(buf + pos);
    if (rec_len > avail) {
        if (!final) {
            return {OAM_ITEM_MORE, why, pos, 0, stamp_ok};
        }
        // Cut short by the end of the file, unless whole records follow
        // within the length it claims.
        oam_record_item item = oam_resync(buf, len, pos, final, false_start);
        if (item.len == avail) {
            item.damage = OAM_DAMAGE_CUT_SHORT;
        }
        return item;
    }
    const oam_verdict behind = oam_lines_up(buf, len, pos + rec_len, final);
    if (behind == OAM_YES) {
        return {OAM_ITEM_RECORD, OAM_DAMAGE_STAMP, pos, rec_len, stamp_ok};
    }
    if (stamp_ok) {
        // Damage behind a right header, or a length that reaches into the
        // next whole record?  Only the second makes the record a false one.
        size_t inner = 0;
        switch (oam_find_whole(buf, len, pos + 1, pos + rec_len, final, &inner)) {
        case OAM_NO:
            return {OAM_ITEM_RECORD, OAM_DAMAGE_STAMP, pos, rec_len, true};
        case OAM_UNSURE:
            return {OAM_ITEM_MORE, why, pos, 0, true};
        case OAM_YES:
            // Until the bytes behind it are there, the record itself may
            // still line up: the same file read whole or as it grows must
            // give the same items.
            if (behind == OAM_UNSURE) {
                return {OAM_ITEM_MORE, why, pos, 0, true};
            }
            return oam_damage(false_start, pos, inner - pos);
        }
    }
    if (behind == OAM_UNSURE) {
        return {OAM_ITEM_MORE, why, pos, 0, false};
    }
    return oam_resync(buf, len, pos, final, false_start);
}
