#include "common/oam_record_parse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "oamlog/bundle_write.h"
#include "oamlog/read_bundle.h"
#include "oamlog/read_journal.h"
#include "oamlog/read_sha256.h"
#include "oamlog/read_source.h"
#include "oamlog/read_stamp.h"
#include "oamlog/read_zst.h"
#include "oamlog/reader_status.h"
#include "oamlog/timeline.h"
#include "oamlog/view_print.h"
#include "oamlog/view_tables.h"
#include "oamlog_test_util.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint16_t GOOD_STAMP[OAM_STAMP_FIELDS] = {2026, 12, 7, 22, 36, 25, 123};

bytes record(const std::string &data, const uint16_t *stamp = GOOD_STAMP)
{
    const size_t len = OAM_RECORD_HDR_LEN + data.size();
    bytes rec = {OAM_RECORD_MARKER, 0, static_cast<uint8_t>(len & 0xFF), static_cast<uint8_t>(len >> 8)};
    for (int f = 0; f < OAM_STAMP_FIELDS; ++f) {
        uint8_t two[2];
        memcpy(two, &stamp[f], sizeof(two));
        rec.insert(rec.end(), two, two + 2);
    }
    rec.insert(rec.end(), data.begin(), data.end());
    return rec;
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

bytes with(bytes b, size_t at, uint8_t value)
{
    b[at] = value;
    return b;
}

bytes cut(bytes b, size_t len)
{
    b.resize(len);
    return b;
}

// One item as the tests spell it: R (record), r (record kept with a bad
// stamp), or the damage's first letter: M marker, L length, C cut short,
// S stamp, F frame (nothing lines up behind); then @offset+length.
std::string show(const oam_record_item &it)
{
    std::string kind;
    if (it.kind == OAM_ITEM_RECORD) {
        kind = it.stamp_ok ? "R" : "r";
    } else {
        kind = std::string(1, "MLCSF"[it.damage]);
    }
    return kind + "@" + std::to_string(it.pos) + "+" + std::to_string(it.len);
}

std::string parse_all(const bytes &b)
{
    std::string out;
    for (size_t pos = 0;;) {
        const oam_record_item it = oam_record_parse_next(b.data(), b.size(), pos, true);
        EXPECT_NE(it.kind, OAM_ITEM_MORE);
        if (it.kind != OAM_ITEM_RECORD && it.kind != OAM_ITEM_DAMAGE) {
            return out;
        }
        EXPECT_GT(it.len, 0U);
        EXPECT_EQ(it.pos, pos);
        out += (out.empty() ? "" : " ") + show(it);
        pos += it.len;
    }
}

// The same bytes arriving one at a time, as a followed file grows: what is
// decided before the end must be what the whole file gives.
std::string parse_growing(const bytes &b)
{
    std::string out;
    size_t pos = 0;
    for (size_t len = 0; len <= b.size(); ++len) {
        const bool final = len == b.size();
        for (;;) {
            const oam_record_item it = oam_record_parse_next(b.data(), len, pos, final);
            if (it.kind != OAM_ITEM_RECORD && it.kind != OAM_ITEM_DAMAGE) {
                break;
            }
            out += (out.empty() ? "" : " ") + show(it);
            pos += it.len;
        }
    }
    return out;
}

std::string text(const bytes &b)
{
    return std::string(b.begin(), b.end());
}

struct parse_case {
    const char *name;
    bytes file;
    const char *items;
};

const uint16_t BAD_MONTH[OAM_STAMP_FIELDS] = {2026, 13, 7, 22, 36, 25, 123};
const uint16_t ZERO_STAMP[OAM_STAMP_FIELDS] = {};
const bytes A = record("first");       // 23 bytes
const bytes B = record("second one");  // 28 bytes
const bytes C = record("");            // 18 bytes: no data is still a record

std::vector<parse_case> parse_cases()
{
    return {
        {"clean", cat({A, B, C}), "R@0+23 R@23+28 R@51+18"},
        {"empty_file", {}, ""},
        {"flipped_marker", cat({with(A, 0, 0x55), B}), "M@0+23 R@23+28"},
        {"reserved_byte_set", cat({A, with(B, 1, 1), C}), "R@0+23 M@23+28 R@51+18"},
        {"absurd_length", cat({A, with(with(B, 2, 0xFF), 3, 0xFF), C}), "R@0+23 L@23+28 R@51+18"},
        {"length_below_header", cat({A, with(B, 2, 17), C}), "R@0+23 L@23+28 R@51+18"},
        {"garbage_between", cat({A, bytes{'x', 0xAA, 0x00, 0xFF, 'y'}, B}), "R@0+23 M@23+5 R@28+28"},
        {"header_inside_garbage_that_does_not_line_up",
         cat({A, bytes{'z'}, cut(record("0123456789"), 20), B}), "R@0+23 M@23+21 R@44+28"},
        {"cut_short_data", cat({A, cut(B, 25)}), "R@0+23 C@23+25"},
        {"cut_short_header", cat({A, cut(B, 3)}), "R@0+23 C@23+3"},
        {"garbage_at_the_end", cat({A, bytes{'t', 'a', 'i', 'l'}}), "R@0+23 M@23+4"},
        {"bad_stamp_kept_when_the_next_lines_up", cat({record("x", BAD_MONTH), A}), "r@0+19 R@19+23"},
        {"zero_stamp_at_the_end_kept", cat({A, record("x", ZERO_STAMP)}), "R@0+23 r@23+19"},
        {"bad_stamp_on_garbage_skipped", cat({record("x", BAD_MONTH), bytes{'g', 'g'}, A}), "S@0+21 R@21+23"},
        {"damaged_records_back_to_back", cat({with(A, 0, 0), with(B, 0, 0), C}), "M@0+51 R@51+18"},
        // Resync keeps every whole record next to damage.
        {"length_past_the_end_with_records_behind", cat({A, with(with(B, 2, 0xD0), 3, 0x07), C}),
         "R@0+23 F@23+28 R@51+18"},
        {"damaged_length_that_fits", cat({A, with(B, 2, 30), C, A}), "R@0+23 F@23+28 R@51+18 R@69+23"},
        {"record_before_a_bad_stamp_found_by_resync", cat({bytes{'g', 'g'}, A, record("x", BAD_MONTH), B}),
         "M@0+2 R@2+23 r@25+19 R@44+28"},
        {"cut_header_with_a_bad_stamp", cat({A, cut(record("x", BAD_MONTH), 8)}), "R@0+23 C@23+8"},
        {"garbage_then_a_cut_record_one_span", cat({A, bytes{'g'}, cut(B, 20)}), "R@0+23 M@23+21"},
        {"garbage_then_a_cut_header_one_span", cat({A, bytes{'g'}, cut(B, 3)}), "R@0+23 M@23+4"},
        // A right record holding whole records is one when it lines up
        // behind, however the file grew (a fuzz finding, minimised).
        {"regression_record_lining_up_once_the_file_grows", cat({record("z" + text(A) + text(C)), B}),
         "R@0+60 R@60+28"},
        {"record_holding_records_then_a_bad_header", cat({record("z" + text(A) + text(C)), bytes{0xAA, 0, 0xFF, 0xFF}}),
         "F@0+19 R@19+23 R@42+18 L@60+4"},
    };
}

class OamlogParse : public ::testing::TestWithParam<parse_case> {};

TEST_P(OamlogParse, SplitsRecordsAndDamageAlike_WholeOrGrowing)
{
    const parse_case &c = GetParam();
    EXPECT_EQ(parse_all(c.file), c.items);
    EXPECT_EQ(parse_growing(c.file), c.items);
}

INSTANTIATE_TEST_SUITE_P(Files, OamlogParse, ::testing::ValuesIn(parse_cases()),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(OamlogParse, LongGarbageInAGrowingFileIsReportedInParts)
{
    bytes b(3 * OAM_DAMAGE_STEP, 'g');
    const oam_record_item it = oam_record_parse_next(b.data(), b.size(), 0, false);
    EXPECT_EQ(it.kind, OAM_ITEM_DAMAGE);
    EXPECT_EQ(it.damage, OAM_DAMAGE_MARKER);
    EXPECT_EQ(it.len, b.size());
}

struct name_case {
    const char *name;
    int number;
};

class OamlogFileNumber : public ::testing::TestWithParam<name_case> {};

TEST_P(OamlogFileNumber, FollowsTheDaemonsNames)
{
    EXPECT_EQ(oamlog_file_number(GetParam().name, OAM_WIFI_LOG_PREFIX), GetParam().number);
}

INSTANTIATE_TEST_SUITE_P(Names, OamlogFileNumber,
                         ::testing::Values(name_case{"wifi_log_1", 1}, name_case{"wifi_log_25", 25},
                                           name_case{"wifi_log_0", 0}, name_case{"wifi_log_01", 0},
                                           name_case{"wifi_log_old", 0}, name_case{"wifi_log_", 0},
                                           name_case{"wifi_log_3.bak", 0}, name_case{"bfg_log_1", 0},
                                           name_case{"wifi_log_-1", 0}, name_case{"wifi_log_12.zst", 12},
                                           name_case{"wifi_log_2.zst.tmp", 0}, name_case{"wifi_log_.zst", 0},
                                           name_case{"wifi_log_2zst", 0}, name_case{"wifi_log_2.zst.zst", 0}));

// Times are read in ZoneFixed's zone on a fixed "now": 2026-12-10 08:30:00
// UTC, 09:30 there.

constexpr int64_t NOW_MS = 1796891400000LL;

std::string utc_of(uint64_t key)
{
    char text[40];
    oamlog_utc_text(text, sizeof(text), key, ' ');
    return text;
}

struct time_case {
    const char *text;
    bool upper;
    const char *utc;  // what the key stands for, "" when the text is refused
};

class OamlogTime : public ZoneFixed, public ::testing::WithParamInterface<time_case> {};

TEST_P(OamlogTime, ParsesFullPartialZonedAndRelativeTimes)
{
    const time_case &c = GetParam();
    uint64_t key = 0;
    const int ret = oamlog_parse_time_at(c.text, c.upper, NOW_MS, &key);
    if (*c.utc == '\0') {
        EXPECT_NE(ret, 0) << utc_of(key);
        return;
    }
    ASSERT_EQ(ret, 0);
    EXPECT_EQ(utc_of(key), c.utc);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, OamlogTime,
    ::testing::Values(time_case{"2026-12-07 22:36:25.123", false, "2026-12-07 21:36:25.123"},
                      time_case{"2026-12-07 22:36:25.123", true, "2026-12-07 21:36:25.123"},
                      time_case{"2026-12-07T22:36", false, "2026-12-07 21:36:00.000"},
                      time_case{"2026-12-07T22:36", true, "2026-12-07 21:36:59.999"},
                      time_case{"2026-12-09T10:00:03", true, "2026-12-09 09:00:03.999"},
                      time_case{"2026-12-07", true, "2026-12-07 22:59:59.999"},
                      time_case{"2026-07-01T12:00", false, "2026-07-01 10:00:00.000"},
                      time_case{"2026-12-07T22:36:25Z", false, "2026-12-07 22:36:25.000"},
                      time_case{"2026-12-07T22:36:25+09:00", false, "2026-12-07 13:36:25.000"},
                      time_case{"2026-12-07 23:36:25.5-0130", false, ""},
                      time_case{"2026-12-07 23:36:25.500-0130", false, "2026-12-08 01:06:25.500"},
                      time_case{"22:36", false, "2026-12-10 21:36:00.000"},
                      time_case{"22:36Z", false, "2026-12-10 22:36:00.000"},
                      time_case{"2024-02-29", false, "2024-02-28 23:00:00.000"},
                      time_case{"2026-02-29", false, ""}, time_case{"2026-02-30", false, ""},
                      time_case{"2026-04-31", false, ""}, time_case{"2026-12-07 24:00", false, ""},
                      time_case{"2026-13-01", false, ""}, time_case{"22:36:25.5", false, ""},
                      time_case{"2026-12-07Z", false, ""}, time_case{"2026-12-07T22:36+16:00", false, ""},
                      time_case{"now", false, "2026-12-10 08:30:00.000"},
                      time_case{"-10m", false, "2026-12-10 08:20:00.000"},
                      time_case{"10 min ago", false, "2026-12-10 08:20:00.000"},
                      time_case{"2 hours ago", false, "2026-12-10 06:30:00.000"},
                      time_case{"-1d", false, "2026-12-09 08:30:00.000"},
                      time_case{"-90s", false, "2026-12-10 08:28:30.000"},
                      time_case{"today", false, "2026-12-09 23:00:00.000"},
                      time_case{"yesterday", false, "2026-12-08 23:00:00.000"},
                      time_case{"yesterday", true, "2026-12-09 22:59:59.999"},
                      time_case{"@1796891400", false, "2026-12-10 08:30:00.000"},
                      time_case{"@12.5", false, "1970-01-01 00:00:12.500"},
                      time_case{"10 min", false, ""}, time_case{"-10x", false, ""},
                      time_case{"-10m ago", false, ""}, time_case{"@", false, ""},
                      time_case{"@99999999999999", false, ""}, time_case{"noon", false, ""}));

struct offset_case {
    const char *text;
    size_t taken;  // 0: no offset
    int minutes;
    const char *json;
};

class OamlogOffset : public ::testing::TestWithParam<offset_case> {};

TEST_P(OamlogOffset, JournalOffsetsReadAndWrittenBack)
{
    const offset_case &c = GetParam();
    int minutes = 12345;
    ASSERT_EQ(oamlog_parse_offset(c.text, &minutes), c.taken);
    if (c.taken != 0) {
        EXPECT_EQ(minutes, c.minutes);
        EXPECT_EQ(oamlog_offset_text(minutes, false), std::string(c.text, 5));
        EXPECT_EQ(oamlog_offset_text(minutes, true), c.json);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, OamlogOffset,
                         ::testing::Values(offset_case{"+0100 oam", 5, 60, "+01:00"},
                                           offset_case{"-0930", 5, -570, "-09:30"},
                                           offset_case{"+0000", 5, 0, "+00:00"},
                                           offset_case{"+1400", 5, 840, "+14:00"},
                                           offset_case{"+0160", 0, 0, ""}, offset_case{"+100", 0, 0, ""},
                                           offset_case{" +0100", 0, 0, ""}, offset_case{"0100", 0, 0, ""}));

// The calendar arithmetic both ways, across leap days and before 1970.
TEST(OamlogOffset, StampsAndMillisecondsRoundTrip)
{
    const uint16_t stamps[][OAM_STAMP_FIELDS] = {
        {1970, 1, 1, 0, 0, 12, 0}, {1969, 12, 31, 23, 59, 59, 999}, {2024, 2, 29, 12, 0, 0, 1},
        {2000, 3, 1, 0, 0, 0, 0},  {1000, 1, 1, 0, 0, 0, 0},        {9999, 12, 31, 23, 59, 59, 999}};
    const int64_t want[] = {12000, -1, 1709208000001LL, 951868800000LL, -30610224000000LL, 253402300799999LL};
    for (size_t i = 0; i < std::size(stamps); ++i) {
        EXPECT_EQ(oamlog_stamp_ms(stamps[i]), want[i]) << i;
        uint16_t back[OAM_STAMP_FIELDS] = {};
        oamlog_ms_stamp(want[i], back);
        EXPECT_EQ(memcmp(back, stamps[i], sizeof(back)), 0) << i;
        EXPECT_GT(oamlog_key_of_ms(want[i]), 0U);
    }
}

}  // namespace
