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
#include "oamlog/view_cursor.h"
#include "oamlog_test_util.h"

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
        pos("me", 5, 2, 30, {2026, 12, 9, 10, 2, 3, 1000}),
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

// Three Wi-Fi files of ten records each, records 0 to 29 oldest first, and
// the position a reader wrote when record 14 (the fifth of wifi_log_2) was
// its last.  Then the files change as the daemon or a user changes them.
enum class change { none, renumbered, compressed, oldest_removed, removed, repaired };

class OamlogCursorFind : public ::testing::TestWithParam<change> {
protected:
    static std::vector<oamlog_source> open(const std::string &root)
    {
        std::vector<oamlog_source> sources;
        EXPECT_EQ(oamlog_add_root(&sources, root, {"wifi"}, false), 0);
        for (oamlog_source &src : sources) {
            oamlog_open_files(&src);
        }
        return sources;
    }
};

TEST_P(OamlogCursorFind, ThePositionHoldsWhereTheRecordIsKept)
{
    const std::string root = fresh_dir();
    const std::string dir = root + "wifi_log/";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    put(dir + "wifi_log_3", records(0, 10));
    put(dir + "wifi_log_2", records(10, 10));
    put(dir + "wifi_log_1", records(20, 10));
    oamlog_pos pos{};
    {
        std::vector<oamlog_source> sources = open(root);
        ASSERT_EQ(sources.size(), 1U);
        oamlog_rec rec{};
        for (int n = 0; n <= 14; ++n) {
            ASSERT_EQ(oamlog_next(&sources[0], &rec), 1);
        }
        pos = {"wifi", rec.head, rec.offset, static_cast<uint32_t>(rec.rec_len), {}};
        std::copy(rec.stamp, rec.stamp + OAM_STAMP_FIELDS, pos.stamp);
    }
    long file = 1;  // in the files oldest first
    switch (GetParam()) {
    case change::none:
        break;
    case change::renumbered:
    case change::compressed:
        for (int k = 3; k >= 1; --k) {
            ASSERT_EQ(rename((dir + "wifi_log_" + std::to_string(k)).c_str(),
                             (dir + "wifi_log_" + std::to_string(k + 1)).c_str()), 0);
        }
        put(dir + "wifi_log_1", records(30, 10));
        if (GetParam() == change::compressed) {
            put(dir + "wifi_log_3.zst", frame(slurp(dir + "wifi_log_3")));
            ASSERT_EQ(unlink((dir + "wifi_log_3").c_str()), 0);
        }
        break;
    case change::oldest_removed:
        ASSERT_EQ(unlink((dir + "wifi_log_3").c_str()), 0);
        file = 0;
        break;
    case change::removed:
        ASSERT_EQ(unlink((dir + "wifi_log_2").c_str()), 0);
        file = -1;
        break;
    case change::repaired:
        // Its first record kept, another record where the one named was.
        put(dir + "wifi_log_2", records(10, 4) + records(40, 1) + records(15, 5));
        break;
    }
    std::vector<oamlog_source> sources = open(root);
    ASSERT_EQ(sources.size(), 1U);
    const oamlog_pos_found found = oamlog_cursor_find(sources[0], pos);
    EXPECT_EQ(found.file, file);
    if (file < 0) {
        return;
    }
    const bool kept = GetParam() != change::repaired;
    EXPECT_EQ(found.records, kept ? 5U : 0U);
    // Passed over, the records up to it: the next one read is the one after
    // it, or the file's first again when the file no longer holds it there.
    oamlog_source_skip_files(&sources[0], static_cast<size_t>(found.file));
    oamlog_rec rec{};
    for (uint64_t k = 0; k <= found.records; ++k) {
        ASSERT_EQ(oamlog_next(&sources[0], &rec), 1);
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(rec.data), rec.data_len),
              records(kept ? 15 : 10, 1).substr(OAM_RECORD_HDR_LEN));
}

// The cursor a run of the output ends with (--show-cursor), after the
// events given were written.
std::string shown_cursor(const std::string &after, const std::vector<size_t> &written)
{
    EXPECT_EQ(oamlog_cursor_begin({"", after, true}), 0);
    std::vector<oamlog_source> none;
    captured out;
    const oamlog_print_opts popts{OAMLOG_JSON, false};
    (void)oamlog_cursor_apply(none, out.f, popts);
    for (const size_t at : written) {
        oamlog_cursor_event(g_oamlog_events[at]);
    }
    oamlog_cursor_end(out.f);
    const std::string text = out.text();
    return text.rfind("-- cursor: ", 0) == 0 ? text.substr(11, text.size() - 12) : text;
}

TEST(OamlogCursorJournal, TheLastEventOfTheRunWrittenFromTheOldestInTheOrderWritten)
{
    const std::string root = fresh_dir();
    // The loss, written last, is shown where it began: second.  The two
    // rotations are the same line.
    const std::string rotated = "2026-12-09 10:00:01.000 wifi rotated f\n";
    put(root + "oam_events", "2026-12-09 10:00:00.100 oam start version 1.0.0\n" + rotated + rotated +
                                 "2026-12-09 10:00:02.000 wifi lost 3 records: no space, 10:00:00.500 to "
                                 "10:00:02.000\n");
    std::vector<oamlog_event> read;
    oamlog_journal_read(root, false, &read);
    ASSERT_EQ(read.size(), 4U);
    EXPECT_EQ(read[1].line_id, read[2].line_id);
    EXPECT_EQ(read[1].line_n + 1, read[2].line_n);
    EXPECT_NE(read[0].line_id, read[1].line_id);
    const auto journal_pos = [&read](size_t seq) {
        char entry[OAMLOG_ENTRY_CURSOR_MAX];
        (void)oamlog_entry_cursor(entry, sizeof(entry), "", read[seq].line_id, read[seq].line_n, 0, read[seq].stamp);
        return std::string(entry);
    };
    oamlog_journal_load(root, {}, 0, UINT64_MAX, false);
    ASSERT_EQ(g_oamlog_events.size(), 4U);
    ASSERT_EQ(g_oamlog_events[1].event, "lost");
    // The start and the loss written: the first rotation, written before
    // the loss, is not, so the position stays at the start.
    const std::string first = shown_cursor("", {0, 1});
    EXPECT_EQ(first, journal_pos(0));
    // Resumed from there, the loss and both rotations are still to come.
    oamlog_journal_load(root, {}, 0, UINT64_MAX, false);
    EXPECT_EQ(shown_cursor(first, {}), first);
    ASSERT_EQ(g_oamlog_events.size(), 3U);
    oamlog_journal_load(root, {}, 0, UINT64_MAX, false);
    EXPECT_EQ(shown_cursor(first, {0, 1}), journal_pos(1));
    oamlog_journal_load(root, {}, 0, UINT64_MAX, false);
    EXPECT_EQ(shown_cursor(first, {0, 1, 2}), journal_pos(3));
    g_oamlog_status = OAMLOG_OK;
}

INSTANTIATE_TEST_SUITE_P(Changes, OamlogCursorFind,
                         ::testing::Values(change::none, change::renumbered, change::compressed,
                                           change::oldest_removed, change::removed, change::repaired));

}  // namespace
