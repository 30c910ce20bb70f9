// The context file kept beside a dump archive: the seconds of every core's
// log before the dump was reported, and the events journal's lines of them,
// so that the story of a crash outlives the rotation of the log files.
//
//   oam dump context: 30 s before 2026-12-10 07:17:55.123\n
//   core wifi: R records, B bytes, first STAMP, last STAMP, L lost, K left out, Z compressed not read\n
//   <B bytes: the core's records exactly as stored in its log files>
//   ... one such section per core ...
//   events: N lines, B bytes\n
//   <B bytes: the journal's lines of the window>
//
// STAMP is "YYYY-MM-DD HH:MM:SS.mmm" (local time, as in the records), "-"
// without records.  L counts the records the journal reports lost in the
// window, K the oldest records left out to keep the file within its bound,
// Z the compressed log files at the window's old end that were not read.
// Written by the daemon, read by oamlog; both take the format from here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/oam_record.h"

inline constexpr const char *OAM_CONTEXT_SUFFIX = ".context";
inline constexpr const char *OAM_CONTEXT_TMP_SUFFIX = ".context.tmp";
constexpr size_t OAM_CONTEXT_LINE_LEN = 256;

struct oam_context_section {
    char core[8];
    uint64_t records;
    uint64_t bytes;
    uint16_t first[OAM_STAMP_FIELDS];  // meaningful with records > 0
    uint16_t last[OAM_STAMP_FIELDS];
    uint64_t lost;
    uint64_t left_out;
    uint32_t compressed;
};

inline int oam_context_stamp_text(char *out, size_t cap, const uint16_t *s, bool have)
{
    if (!have) {
        return snprintf(out, cap, "-");
    }
    return snprintf(out, cap, "%04u-%02u-%02u %02u:%02u:%02u.%03u", s[0] % 10000U, s[1] % 100U, s[2] % 100U,
                    s[3] % 100U, s[4] % 100U, s[5] % 100U, s[6] % 1000U);
}

// The header line of a core's section; its length, or -1 when it does not fit.
inline int oam_context_format(char *out, size_t cap, const oam_context_section &sec)
{
    char first[32];
    char last[32];
    (void)oam_context_stamp_text(first, sizeof(first), sec.first, sec.records > 0);
    (void)oam_context_stamp_text(last, sizeof(last), sec.last, sec.records > 0);
    const int n = snprintf(out, cap,
                           "core %s: %llu records, %llu bytes, first %s, last %s, %llu lost, %llu left out, "
                           "%u compressed not read\n",
                           sec.core, static_cast<unsigned long long>(sec.records),
                           static_cast<unsigned long long>(sec.bytes), first, last,
                           static_cast<unsigned long long>(sec.lost), static_cast<unsigned long long>(sec.left_out),
                           sec.compressed);
    return n > 0 && static_cast<size_t>(n) < cap ? n : -1;
}

inline bool oam_context_parse_stamp(const char *text, uint16_t *s)
{
    unsigned v[OAM_STAMP_FIELDS] = {};
    int used = 0;
    if (sscanf(text, "%4u-%2u-%2u %2u:%2u:%2u.%3u%n", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &used) !=
            OAM_STAMP_FIELDS ||
        used != 23) {
        return false;
    }
    for (int f = 0; f < OAM_STAMP_FIELDS; ++f) {
        if (v[f] < OAM_STAMP_RANGES[f].min || v[f] > OAM_STAMP_RANGES[f].max) {
            return false;
        }
        s[f] = static_cast<uint16_t>(v[f]);
    }
    return true;
}

// A whole header line (its '\n' included, nothing behind it) back into sec;
// false for anything else: the file is someone's, or damaged, from there on.
inline bool oam_context_parse(const char *line, oam_context_section *sec)
{
    *sec = {};
    char first[32] = {};
    char last[32] = {};
    unsigned long long records = 0, bytes = 0, lost = 0, left = 0;
    unsigned compressed = 0;
    int used = 0;
    if (sscanf(line,
               "core %7[a-z]: %llu records, %llu bytes, first %23[-0-9 :.], last %23[-0-9 :.], %llu lost, "
               "%llu left out, %u compressed not read\n%n",
               sec->core, &records, &bytes, first, last, &lost, &left, &compressed, &used) != 8 ||
        used == 0 || line[used] != '\0' || line[used - 1] != '\n') {
        return false;
    }
    const bool none = strcmp(first, "-") == 0 && strcmp(last, "-") == 0;
    if (none != (records == 0) ||
        (!none && (!oam_context_parse_stamp(first, sec->first) || !oam_context_parse_stamp(last, sec->last) ||
                   first[23] != '\0' || last[23] != '\0'))) {
        return false;
    }
    // A record is at least its header: more records than bytes allow is no
    // header the daemon wrote.
    if (records > bytes / OAM_RECORD_HDR_LEN) {
        return false;
    }
    sec->records = records;
    sec->bytes = bytes;
    sec->lost = lost;
    sec->left_out = left;
    sec->compressed = compressed;
    return true;
}
