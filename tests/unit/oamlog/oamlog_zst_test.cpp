// Compressed rotated files read back: the same records as the plain file,
// and damage told with the records before it kept.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

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

std::string fresh_root()
{
    char tmpl[] = "/tmp/oamlog_zst_XXXXXX";
    const char *dir = mkdtemp(tmpl);
    const std::string root = std::string(dir != nullptr ? dir : "/tmp") + "/";
    (void)mkdir((root + "wifi_log").c_str(), 0700);
    return root;
}

std::string flip(std::string b, size_t at)
{
    b[at] = static_cast<char>(b[at] ^ 0x55);
    return b;
}

// The data of each record read from the root's Wi-Fi files, and what was
// reported, the root left out of the names.
struct read_back {
    std::vector<std::string> data;
    std::string reports;
};

read_back read_wifi(const std::string &root)
{
    read_back out;
    captured damage;
    g_oamlog_damage_out = damage.f;
    std::vector<oamlog_source> sources;
    EXPECT_EQ(oamlog_add_root(&sources, root, {"wifi"}, false), 0);
    for (oamlog_source &src : sources) {
        oamlog_open_files(&src);
        oamlog_rec rec{};
        while (oamlog_next_placed(&src, &rec) == 1) {
            out.data.emplace_back(reinterpret_cast<const char *>(rec.data), rec.data_len);
        }
    }
    g_oamlog_damage_out = stderr;
    out.reports = damage.text();
    for (size_t at; (at = out.reports.find(root)) != std::string::npos;) {
        out.reports.erase(at, root.size());
    }
    return out;
}

// File 2 of every case holds records 0 to 2999 (in two frames, 0 to 1999
// and 2000 to 2999), file 1 holds 3000 to 3009.
const std::string FIRST = records(0, 2000);
const std::string SECOND = records(2000, 1000);
const std::string FILE_1 = records(3000, 10);

struct zst_case {
    const char *name;
    std::function<void(const std::string &dir)> make;  // puts file 2 into the Wi-Fi folder
    int lost_from;       // the first record of file 2 not read back (3000: none)
    std::string report;  // what is reported; a '*' stands for the decoder's words
};

std::vector<zst_case> zst_cases()
{
    const std::string two = frame(FIRST) + frame(SECOND, 19);
    return {
        {"frames_read_like_the_plain_file", [two](const std::string &d) { put(d + "wifi_log_2.zst", two); }, 3000,
         ""},
        {"one_frame_of_several_blocks",
         [](const std::string &d) { put(d + "wifi_log_2.zst", frame(records(0, 3000), 1)); }, 3000, ""},
        {"checksum_wrong_keeps_every_record",
         [two](const std::string &d) { put(d + "wifi_log_2.zst", flip(two, two.size() - 1)); }, 3000,
         "content checksum wrong; records kept\n"},
        {"cut_inside_the_second_frame",
         [two](const std::string &d) { put(d + "wifi_log_2.zst", two.substr(0, two.size() - 100)); }, 2000,
         "compressed frame cut short; the rest of the file is lost\n"},
        {"cut_inside_a_frame_header",
         [two](const std::string &d) { put(d + "wifi_log_2.zst", two.substr(0, frame(FIRST).size() + 3)); }, 2000,
         "compressed frame cut short; the rest of the file is lost\n"},
        {"second_frame_corrupt",
         [](const std::string &d) { put(d + "wifi_log_2.zst", frame(FIRST) + flip(frame(SECOND), 4)); }, 2000,
         "compressed data damaged (*; the rest of the file is lost\n"},
        {"garbage_behind_the_frames",
         [two](const std::string &d) { put(d + "wifi_log_2.zst", two + "junk"); }, 3000,
         "compressed data damaged (*) at compressed byte " + std::to_string(two.size()) + " of " +
             std::to_string(two.size() + 4) + "; the rest of the file is lost\n"},
        {"empty_file_is_cut_short", [](const std::string &d) { put(d + "wifi_log_2.zst", ""); }, 0,
         "compressed frame cut short; the rest of the file is lost\n"},
        {"a_file_beside_its_compressed_copy_is_read_once",
         [two](const std::string &d) {
             put(d + "wifi_log_2.zst", two);
             put(d + "wifi_log_2", FIRST + SECOND);
         },
         3000, ""},
        // Left so by older builds: a compressed file of other bytes is the
        // older history under the number.
        {"history_beside_a_plain_file_of_other_bytes_read_first",
         [](const std::string &d) {
             put(d + "wifi_log_2.zst", frame(FIRST));
             put(d + "wifi_log_2", SECOND);
         },
         3000, ""},
        {"a_copy_being_written_is_passed_over",
         [two](const std::string &d) {
             put(d + "wifi_log_2.zst", two);
             put(d + "wifi_log_3.zst.tmp", two.substr(0, 10));
         },
         3000, ""},
    };
}

class OamlogZst : public ::testing::TestWithParam<zst_case> {};

TEST_P(OamlogZst, ReadsTheRecordsOfThePlainFileUpToTheDamage)
{
    const zst_case &c = GetParam();
    const std::string root = fresh_root();
    put(root + "wifi_log/wifi_log_1", FILE_1);
    c.make(root + "wifi_log/");
    (void)mkdir((root + "plain").c_str(), 0700);
    (void)mkdir((root + "plain/wifi_log").c_str(), 0700);
    put(root + "plain/wifi_log/wifi_log_2", (FIRST + SECOND).substr(0, records(0, c.lost_from).size()));
    put(root + "plain/wifi_log/wifi_log_1", FILE_1);
    const read_back want = read_wifi(root + "plain/");
    ASSERT_EQ(want.data.size(), static_cast<size_t>(c.lost_from + 10));
    const read_back got = read_wifi(root);
    EXPECT_EQ(got.data, want.data);
    const std::string &report = c.report;
    const size_t star = report.find('*');
    const std::string lead = report.empty() ? "" : "wifi_log/wifi_log_2.zst: offset ";
    if (star == std::string::npos) {
        EXPECT_EQ(got.reports, report.empty() ? "" : lead + std::to_string(records(0, c.lost_from).size()) + ": " +
                                                         report);
    } else {
        // The decoder's own words stand where the '*' is.
        const std::string head = lead + std::to_string(records(0, c.lost_from).size()) + ": " + report.substr(0, star);
        const std::string tail = report.substr(star + 1);
        EXPECT_TRUE(got.reports.starts_with(head) && got.reports.ends_with(tail) &&
                    got.reports.size() > head.size() + tail.size())
            << got.reports;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, OamlogZst, ::testing::ValuesIn(zst_cases()),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

// The daemon compresses file 2 between the listing and the opening: its
// records are read from the compressed file, not lost.
TEST(OamlogZstRace, AFileCompressedAfterItWasListedIsReadUnderItsNewName)
{
    g_oamlog_status = OAMLOG_OK;
    const std::string root = fresh_root();
    put(root + "wifi_log/wifi_log_2", FIRST);
    std::vector<oamlog_source> sources;
    ASSERT_EQ(oamlog_add_root(&sources, root, {"wifi"}, false), 0);
    put(root + "wifi_log/wifi_log_2.zst", frame(FIRST));
    ASSERT_EQ(unlink((root + "wifi_log/wifi_log_2").c_str()), 0);
    oamlog_open_files(&sources.at(0));
    oamlog_rec rec{};
    size_t n = 0;
    while (oamlog_next_placed(&sources[0], &rec) == 1) {
        ++n;
    }
    EXPECT_EQ(n, 2000U);
    EXPECT_EQ(g_oamlog_status, OAMLOG_OK);
}

// A compressed file is the copy of a plain one only when it holds those
// bytes and no more, in however many frames.
TEST(OamlogZstSame, TheSameBytesAndNoMore)
{
    const std::string root = fresh_root();
    const std::string plain = root + "plain";
    const std::string zst = root + "plain.zst";
    struct row {
        std::string plain;
        std::string zst;
        bool same;
    };
    for (const row &r : {row {FIRST, frame(FIRST), true}, row {FIRST + SECOND, frame(FIRST) + frame(SECOND), true},
                         row {FIRST, frame(FIRST) + frame(SECOND), false}, row {SECOND, frame(FIRST), false}}) {
        put(plain, r.plain);
        put(zst, r.zst);
        const int p = open(plain.c_str(), O_RDONLY);
        const int z = open(zst.c_str(), O_RDONLY);
        EXPECT_EQ(oamlog_zst_same(z, p), r.same) << r.plain.size() << " " << r.zst.size();
        (void)close(p);
        (void)close(z);
    }
}

struct usage_case {
    const char *name;
    bool json;
    const char *root;  // below the folder made: where the log root is
    std::vector<std::pair<const char *, const char *>> ini;  // settings files below the folder made
    const char *table;  // the free space masked as F
};

class OamlogDiskUsage : public ZoneFixed, public ::testing::WithParamInterface<usage_case> {};

std::string skippable(const std::string &bytes)
{
    const auto len = static_cast<uint32_t>(bytes.size());
    return std::string("\x50\x2A\x4D\x18", 4) + std::string(reinterpret_cast<const char *>(&len), 4) + bytes;
}

// wifi: a compressed file 2 (a skippable frame, then records 0 to 1999
// and 2000 to 2999 in two frames) and file 1 (3000 to 3009); bfg: records
// at 250 to 1100 ms; me: no folder.  The settings are the root's own.
TEST_P(OamlogDiskUsage, TellsEachCoresBytesHistoryAndShareAndTheBudget)
{
    const usage_case &c = GetParam();
    g_oamlog_status = OAMLOG_OK;
    const std::string top = fresh_root();
    const std::string root = top + c.root;
    for (const char *dir : {"vendor", "vendor/log", "vendor/log/wifi_log", "vendor/etc", "data", "data/vendor",
                            "data/vendor/cust_conn", "sys", "sys/zr400x_ps", "ini"}) {
        (void)mkdir((top + dir).c_str(), 0700);
    }
    const std::string zst = skippable("note") + frame(FIRST) + frame(SECOND);
    const std::string bfg = records(250, 851);
    put(root + "wifi_log/wifi_log_2.zst", zst);
    put(root + "wifi_log/wifi_log_1", FILE_1);
    put(root + "wifi_log/wifi_log_3.zst.tmp", "half");
    ASSERT_EQ(mkdir((root + "bfg_log").c_str(), 0700), 0);
    put(root + "bfg_log/bfg_log_1", bfg);
    ASSERT_EQ(mkdir((root + "memdump").c_str(), 0700), 0);
    put(root + "memdump/readm_wifi_2026_12_09_10_00_00.tar.gz", std::string(300, 'z'));
    put(root + "memdump/readm_wifi_2026_12_09_10_00_00.context", std::string(2000, 'c'));
    put(root + "memdump/readm_bfgx_uart.context.tmp", std::string(5000, 't'));
    put(root + "memdump/readm_wifi_sdio.bin", std::string(3 << 20, 'r'));
    put(root + "oam_events", "journal\n");
    put(root + "oam_events.1.gz", "older");
    put(root + "oam_events.tmp", "being written");
    for (const auto &[path, text] : c.ini) {
        put(top + path, text);
    }
    captured out;
    EXPECT_EQ(oamlog_disk_usage(out.f, root, c.json), OAMLOG_OK);
    std::string text = out.text();
    const size_t free_at = text.find(c.json ? "\"free\":" : "free: ");
    ASSERT_NE(free_at, std::string::npos) << text;
    text.replace(free_at, text.find(c.json ? ",\"budget\"" : "\n", free_at) - free_at, "F");
    const uint64_t bytes = zst.size() + FILE_1.size();
    const uint64_t content = FIRST.size() + SECOND.size() + FILE_1.size();
    const auto shown = [&c](uint64_t v, size_t width) {
        const std::string t = c.json ? std::to_string(v) : oamlog_human(v);
        return std::string(c.json ? 0 : width - t.size(), ' ') + t;
    };
    std::string want = c.table;
    const double share = 100.0 * static_cast<double>(bytes) / static_cast<double>(bytes + bfg.size());
    char figures[64];
    (void)snprintf(figures, sizeof(figures), c.json ? "%.2f|%.1f|%.1f" : "%5.2f|%4.1f|%4.1f",
                   static_cast<double>(content) / static_cast<double>(bytes), share, 100 - share);
    const char *bar = strchr(figures, '|');
    // Each column as wide as its widest cell.
    for (const auto &[mark, value] : {std::pair<std::string, std::string>{"<bytes>", shown(bytes, 4)},
                                      {"<content>", shown(content, 7)},
                                      {"<bfg>", shown(bfg.size(), 4)},
                                      {"<bfgc>", shown(bfg.size(), 7)},
                                      {"<r>", std::string(static_cast<const char *>(figures), bar)},
                                      {"<s>", std::string(bar + 1, strchr(bar + 1, '|'))},
                                      {"<b>", strchr(bar + 1, '|') + 1}}) {
        want.replace(want.find(mark), mark.size(), value);
    }
    EXPECT_EQ(text, want);
}

INSTANTIATE_TEST_SUITE_P(
    Roots, OamlogDiskUsage,
    ::testing::Values(
        // A bundle's layout: its ini folder, the customer's file first.
        usage_case{"text", false, "",
                   {{"ini/cust_ini_cfg", "[HOST_PLAT]\nlog_keep_free=64\nlog_min_share_device_bfg=30\n"},
                    {"ini/cfg_zr4005.ini", "[HOST_PLAT]\nlog_keep_free=8\nlog_max_use=256\n"}},
                   "core     files size content ratio first                   span/s share\n"
                   "wifi         2 <bytes> <content> <r> 2026-12-09 10:00:00.000  3.009 <s>%\n"
                   "bfg          1 <bfg> <bfgc>  1.00 2026-12-09 10:00:00.250  0.850 <b>%\n"
                   "archives     1  300\n"
                   "contexts     1 2.0K\n"
                   "regions      1 3.0M\n"
                   "journal      2   13\n"
                   "F\n"
                   "log_keep_free: 64 MiB\n"
                   "log_max_use: 256 MiB\n"
                   "log_min_share_device_wifi: not set\n"
                   "log_min_share_device_bfg: 30 %\n"
                   "log_min_share_device_me: not set\n"},
        // A device's tree copied whole: its paths below the copy.
        usage_case{"json", true, "vendor/log/",
                   {{"data/vendor/cust_conn/ini_cfg", "[HOST_PLAT]\nlog_max_use=512\n"},
                    {"sys/zr400x_ps/ini_file_name", "/vendor/etc/cfg_zr4005.ini\n"},
                    {"vendor/etc/cfg_zr4005.ini", "[HOST_PLAT]\nlog_max_use=1\nlog_min_share_device_me=20\n"}},
                   "{\"cores\":[{\"core\":\"wifi\",\"files\":2,\"bytes\":<bytes>,\"content\":<content>,\"ratio\":<r>,"
                   "\"first\":\"2026-12-09T10:00:00.000+01:00\",\"first_utc\":\"2026-12-09T09:00:00.000Z\","
                   "\"last\":\"2026-12-09T10:00:03.009+01:00\",\"last_utc\":\"2026-12-09T09:00:03.009Z\",\"span\":3.009,"
                   "\"share\":<s>},"
                   "{\"core\":\"bfg\",\"files\":1,\"bytes\":<bfg>,\"content\":<bfgc>,\"ratio\":1.00,"
                   "\"first\":\"2026-12-09T10:00:00.250+01:00\",\"first_utc\":\"2026-12-09T09:00:00.250Z\","
                   "\"last\":\"2026-12-09T10:00:01.100+01:00\",\"last_utc\":\"2026-12-09T09:00:01.100Z\",\"span\":0.850,"
                   "\"share\":<b>}],"
                   "\"archives\":{\"files\":1,\"bytes\":300},\"contexts\":{\"files\":1,\"bytes\":2000},"
                   "\"regions\":{\"files\":1,\"bytes\":3145728},"
                   "\"journal\":{\"files\":2,\"bytes\":13},F,\"budget\":{\"log_keep_free\":null,\"log_max_use\":512,"
                   "\"log_min_share_device_wifi\":null,\"log_min_share_device_bfg\":null,\"log_min_share_device_me\":20}}\n"}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

// As du -h: powers of 1024 rounded up, one decimal below ten units.
TEST(OamlogDiskUsage, SizesReadAsDuGivesThem)
{
    const std::pair<uint64_t, const char *> rows[] = {
        {0, "0"},          {1023, "1023"},           {1024, "1.0K"},          {1025, "1.1K"},
        {10239, "10K"},    {10240, "10K"},           {10241, "11K"},          {1048575, "1.0M"},
        {1048576, "1.0M"}, {5ULL << 30, "5.0G"},     {UINT64_MAX, "16E"},
    };
    for (const auto &[bytes, text] : rows) {
        EXPECT_EQ(oamlog_human(bytes), text) << bytes;
    }
}

}  // namespace
