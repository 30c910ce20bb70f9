// The cursor: its text written and read back, damaged and foreign texts
// refused, its file replaced whole, and the positions it names found again
// after the files were renumbered, compressed or removed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "oamlog/read_cursor.h"
#include "tests/unit/oamlog/oamlog_test_util.h"

namespace {

oamlog_pos pos(const std::string &name, uint64_t id, uint64_t at, uint32_t len, std::vector<uint16_t> stamp)
{
    oamlog_pos p{name, id, at, len, {}};
    std::copy(stamp.begin(), stamp.end(), p.stamp);
    return p;
}

bool same(const oamlog_pos &a, const oamlog_pos &b)
{
    return a.name == b.name && a.id == b.id && a.at == b.at && a.len == b.len &&
           memcmp(a.stamp, b.stamp, sizeof(a.stamp)) == 0;
}

TEST(OamlogCursorText, PositionsReadBackAsWritten)
{
    const std::vector<oamlog_pos> positions = {
        pos("wifi", 0x9f3a2c1b0d4e5f60, 10483712, 2048, {2026, 12, 9, 10, 2, 3, 120}),
        pos("bfg", 0x1, 0, 18, {2026, 1, 1, 0, 0, 0, 0}),
        // A file read by a name of its own; one named like the journal's entry.
        pos("a;b:c%d ", 0xffffffffffffffff, 7, 19, {}),
        pos("journal", 42, 0, 20, {1999, 12, 31, 23, 59, 60, 999}),
        // Stamp fields a damaged record holds do not fit the digits.
        pos("me", 5, 2, 30, {65535, 13, 0, 0, 0, 0, 1000}),
        pos("", 0x0123456789abcdef, 3, 0, {2026, 12, 9, 10, 2, 3, 120}),
    };
    const std::string text = oamlog_cursor_text(positions);
    EXPECT_TRUE(text.starts_with("oc1;wifi:9f3a2c1b0d4e5f60:10483712:2048:20261209100203120;"
                                 "bfg:0000000000000001:0:18:20260101000000000;"))
        << text;
    EXPECT_NE(text.find(";a%3bb%3ac%25d%20:ffffffffffffffff:7:19:-;%6aournal:"), std::string::npos) << text;
    EXPECT_NE(text.find(";journal:0123456789abcdef:3:0:20261209100203120"), std::string::npos) << text;
    std::vector<oamlog_pos> back;
    std::string why;
    ASSERT_EQ(oamlog_cursor_parse(text + "\n", &back, &why), 0) << why;
    ASSERT_EQ(back.size(), positions.size());
    for (size_t i = 0; i < back.size(); ++i) {
        const oamlog_pos want = i == 4 ? pos("me", 5, 2, 30, {}) : positions[i];
        EXPECT_TRUE(same(back[i], want)) << i << ": " << oamlog_cursor_text({back[i]});
    }
    // An entry's own cursor is a cursor of that position alone.
    char entry[OAMLOG_ENTRY_CURSOR_MAX];
    const size_t n = oamlog_entry_cursor(entry, sizeof(entry), "wifi", positions[0].id, positions[0].at,
                                         positions[0].len, positions[0].stamp);
    EXPECT_EQ(std::string(entry, n), oamlog_cursor_text({positions[0]}));
}

struct bad_cursor {
    const char *text;
    const char *why;
};

class OamlogCursorRefused : public ::testing::TestWithParam<bad_cursor> {};

TEST_P(OamlogCursorRefused, SaysWhy)
{
    std::vector<oamlog_pos> out;
    std::string why;
    EXPECT_EQ(oamlog_cursor_parse(GetParam().text, &out, &why), -1);
    EXPECT_EQ(why, GetParam().why);
}

constexpr const char *W = "oc1;wifi:9f3a2c1b0d4e5f60:";
INSTANTIATE_TEST_SUITE_P(
    Texts, OamlogCursorRefused,
    ::testing::Values(
        bad_cursor{"", "it is not a cursor of oamlog"},
        bad_cursor{"\n\n", "it is not a cursor of oamlog"},
        bad_cursor{"s=6ad1f8a1;i=1a2b;b=4c1d;m=12;t=5e2", "it is not a cursor of oamlog"},
        bad_cursor{"oc;wifi:9f3a2c1b0d4e5f60:0:18:-", "it is not a cursor of oamlog"},
        bad_cursor{"oc12x;", "it is not a cursor of oamlog"},
        bad_cursor{"oc2;wifi:9f3a2c1b0d4e5f60:0:18:-", "it is a cursor of another version of oamlog (oc2, this one reads oc1)"},
        bad_cursor{"oc1;", "it is damaged (position 1)"},
        bad_cursor{"oc1;wifi:9f3a2c1b0d4e5f60:0:18:-;", "it is damaged (position 2)"},
        bad_cursor{"oc1;wifi:9f3a2c1b0d4e5f6:0:18:-", "it is damaged (position 1)"},
        bad_cursor{"oc1;wifi:9F3A2C1B0D4E5F60:0:18:-", "it is damaged (position 1)"},
        bad_cursor{"oc1;wifi:9f3a2c1b0d4e5f60:01:18:-", "it is damaged (position 1)"},
        bad_cursor{"oc1;wifi:9f3a2c1b0d4e5f60:9223372036854775808:18:-", "it is damaged (position 1)"},
        bad_cursor{"oc1;wifi:9f3a2c1b0d4e5f60:0:17:-", "it is damaged (position 1)"},
        bad_cursor{"oc1;wifi:9f3a2c1b0d4e5f60:0:65536:-", "it is damaged (position 1)"},
        bad_cursor{"oc1;wifi:9f3a2c1b0d4e5f60:0:18:2026120910020312", "it is damaged (position 1)"},
        bad_cursor{"oc1;wifi:9f3a2c1b0d4e5f60:0:18", "it is damaged (position 1)"},
        bad_cursor{"oc1;wifi:9f3a2c1b0d4e5f60:0:18:-:5", "it is damaged (position 1)"},
        bad_cursor{"oc1;journal:9f3a2c1b0d4e5f60:0:18:-", "it is damaged (position 1)"},
        bad_cursor{"oc1;wi fi:9f3a2c1b0d4e5f60:0:18:-", "it is damaged (position 1)"},
        bad_cursor{"oc1;:9f3a2c1b0d4e5f60:0:18:-", "it is damaged (position 1)"},
        bad_cursor{"oc1;wifi:9f3a2c1b0d4e5f60:0:18:-;wifi:9f3a2c1b0d4e5f60:5:18:-",
                   "it is damaged (two positions of wifi)"},
        bad_cursor{"oc1;wifi:9f3a2c1b0d4e5f60:0:18:-\n\n", "it is damaged (position 1)"}));

TEST(OamlogCursorFile, MissingNoneReplacedWholeAndNeverThroughAFifo)
{
    const std::string dir = fresh_dir();
    const std::string path = dir + "cursor";
    std::string text;
    EXPECT_EQ(oamlog_cursor_load(path, &text), 0);
    ASSERT_EQ(oamlog_cursor_store(path, "oc1"), 0);
    ASSERT_EQ(oamlog_cursor_store(path, "oc1;x"), 0);
    EXPECT_EQ(oamlog_cursor_load(path, &text), 1);
    EXPECT_EQ(text, "oc1;x\n");
    EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
    // A FIFO under either name holds nothing up.
    ASSERT_EQ(mkfifo((path + ".tmp").c_str(), 0600), 0);
    ASSERT_EQ(oamlog_cursor_store(path, "oc1;y"), 0);
    EXPECT_EQ(slurp(path), "oc1;y\n");
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(oamlog_cursor_load(path, &text), -1);
    g_oamlog_status = OAMLOG_OK;
}

}  // namespace
