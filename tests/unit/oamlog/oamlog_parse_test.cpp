#include "common/oam_record_parse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "oamlog/oamlog.h"

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

struct time_case {
    const char *text;
    bool upper;
    const char *stamp;  // what the key stands for, "" when the text is refused
};

class OamlogTime : public ::testing::TestWithParam<time_case> {};

TEST_P(OamlogTime, ParsesFullAndPartialTimes)
{
    const time_case &c = GetParam();
    uint64_t key = 0;
    const int ret = oamlog_parse_time(c.text, c.upper, &key);
    if (*c.stamp == '\0') {
        EXPECT_NE(ret, 0);
        return;
    }
    ASSERT_EQ(ret, 0);
    uint16_t s[OAM_STAMP_FIELDS] = {};
    ASSERT_EQ(sscanf(c.stamp, "%hu-%hu-%hu %hu:%hu:%hu.%hu", &s[0], &s[1], &s[2], &s[3], &s[4], &s[5], &s[6]), 7);
    EXPECT_EQ(key, oamlog_stamp_key(s));
}

INSTANTIATE_TEST_SUITE_P(Texts, OamlogTime,
                         ::testing::Values(time_case{"2026-12-07 22:36:25.123", false, "2026-12-07 22:36:25.123"},
                                           time_case{"2026-12-07T22:36", false, "2026-12-07 22:36:00.000"},
                                           time_case{"2026-12-07T22:36", true, "2026-12-07 22:36:60.999"},
                                           time_case{"2026-12-09T10:00:03", false, "2026-12-09 10:00:03.000"},
                                           time_case{"2026-12-07", true, "2026-12-07 23:59:60.999"},
                                           time_case{"2026-12-07 24:00", false, ""},
                                           time_case{"2026-13-01", false, ""},
                                           time_case{"22:36:25.5", false, ""},
                                           time_case{"yesterday", false, ""}));

}  // namespace
