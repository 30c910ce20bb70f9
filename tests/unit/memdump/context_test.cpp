#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/oam_context.h"
#include "common/oam_global.h"
#include "memdump/memdump_internal.h"
#include "memdump_test_util.h"

using namespace memdump_test;
namespace fs = std::filesystem;

namespace {

// A record stored `ago` seconds before the test runs, with len data bytes;
// len 0 stands for 40 damaged bytes instead.
struct rec_spec {
    int ago;
    int len;
};

struct core_want {
    const char *core;
    uint64_t records;
    uint64_t bytes;
    int first_ago;  // of the first and last record kept; unused without records
    int last_ago;
    uint64_t lost;
    uint64_t left_out;
    uint32_t compressed;
};

struct context_row {
    const char *name;
    int max_kib;
    std::vector<std::vector<rec_spec>> wifi;  // file 1 first
    std::vector<std::vector<rec_spec>> bfg;   // empty: the bfg log is off
    bool wifi_zst;                            // a compressed file behind the last wifi file
    std::vector<std::pair<int, std::string>> journal;  // seconds ago, the line behind the stamp
    std::vector<core_want> want;
    size_t wifi_after = 0;  // bytes of wifi records stored after the report
    int which = 0;          // the dump type reported
};

time_t g_now;

std::vector<uint16_t> stamp_ago(int ago)
{
    struct tm local {};
    const time_t t = g_now - ago;
    localtime_r(&t, &local);
    return {static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
            static_cast<uint16_t>(local.tm_mday), static_cast<uint16_t>(local.tm_hour),
            static_cast<uint16_t>(local.tm_min), static_cast<uint16_t>(local.tm_sec), 0};
}

std::string record(const rec_spec &r)
{
    if (r.len == 0) {
        return std::string(40, '\x55');
    }
    std::string rec(static_cast<size_t>(OAM_RECORD_HDR_LEN + r.len), 'd');
    rec[0] = static_cast<char>(OAM_RECORD_MARKER);
    rec[1] = 0;
    rec[2] = static_cast<char>(rec.size() & 0xFF);
    rec[3] = static_cast<char>(rec.size() >> 8);
    const std::vector<uint16_t> s = stamp_ago(r.ago);
    memcpy(&rec[OAM_RECORD_STAMP_OFFSET], s.data(), OAM_STAMP_LEN);
    return rec;
}

// Writes the files of a core and returns their bytes, oldest first.
std::string lay_out(const std::string &dir, const char *prefix, const std::vector<std::vector<rec_spec>> &files)
{
    fs::create_directories(dir);
    std::string all;
    for (size_t k = files.size(); k-- > 0;) {
        std::string data;
        for (const rec_spec &r : files[k]) {
            data += record(r);
        }
        write_file(dir + prefix + std::to_string(k + 1), data);
        all += data;
    }
    return all;
}

void set_log(oam_log_desc *log, const char *dir, const char *prefix, bool on)
{
    log->log_switch.value = on ? 1 : 0;
    log->name = prefix;
    (void)snprintf(log->path.value, sizeof(log->path.value), "%s", dir);
}

class ContextHeader : public testing::TestWithParam<context_row> {
protected:
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all("/vendor/log", ec);
        g_memdump_context_seconds = 0;
        g_memdump_context_max_kib = MEMDUMP_CONTEXT_MAX_KIB_DEFAULT;
    }
};

const std::vector<context_row> CONTEXT_ROWS = {
    {"window_inside_one_file", 8192, {{{40, 10}, {20, 82}, {10, 82}}}, {}, false, {},
     {{"wifi", 2, 200, 20, 10, 0, 0, 0}}},
    {"window_across_files", 8192, {{{5, 82}}, {{50, 82}, {25, 82}}, {{90, 82}}}, {}, false, {},
     {{"wifi", 2, 200, 25, 5, 0, 0, 0}}},
    // Stored before the report, stamped after it: the clock was set back.
    {"stamped_after_the_report_kept", 8192, {{{10, 82}, {-5, 182}}}, {}, false, {},
     {{"wifi", 2, 300, 10, -5, 0, 0, 0}}},
    // Set back by a minute 3 s ago: the seconds before the step are as near
    // as their order in the file says, the record 40 s before them is not.
    {"clock_set_back_in_the_window", 8192, {{{-20, 82}, {-60, 82}, {-65, 82}, {3, 82}, {1, 82}}}, {}, false, {},
     {{"wifi", 4, 400, -60, 1, 0, 0, 0}}},
    {"a_record_the_window_length_before_kept", 8192, {{{31, 82}, {30, 82}, {10, 82}}}, {}, false, {},
     {{"wifi", 2, 200, 30, 10, 0, 0, 0}}},
    {"nothing_in_window", 8192, {{{100, 82}}}, {}, false, {}, {{"wifi", 0, 0, 0, 0, 0, 0, 0}}},
    {"damage_counts_bytes_not_records", 8192, {{{20, 82}, {0, 0}, {10, 82}}}, {}, false, {},
     {{"wifi", 2, 240, 20, 10, 0, 0, 0}}},
    {"losses_of_the_window_in_records", 8192, {{{20, 82}}}, {}, false,
     {{40, " wifi lost 9 records: message too long, 00:00:00.000 to 00:00:00.000"},
      {15, " wifi lost 7 records: message too long, 00:00:00.000 to 00:00:00.000"},
      {14, "+0900 wifi lost 2 records: malformed message, 00:00:00.000+0900 to 00:00:00.000+0900"},
      {13, " wifi lost 5 overruns: receive buffer overrun, no drop counter, 00:00:00.000 to 00:00:00.000"},
      {12, " bfg lost 3 records: message too long, 00:00:00.000 to 00:00:00.000"}},
     {{"wifi", 1, 100, 20, 20, 9, 0, 0}}},
    {"compressed_file_at_the_old_end", 8192, {{{5, 82}}}, {}, true, {}, {{"wifi", 1, 100, 5, 5, 0, 0, 1}}},
    {"exactly_at_the_bound_all_kept", 1, {{{3, 238}, {2, 238}, {1, 238}, {1, 238}}}, {}, false, {},
     {{"wifi", 4, 1024, 3, 1, 0, 0, 0}}},
    {"oldest_left_out_first", 1, {{{3, 582}, {2, 582}, {1, 582}}}, {}, false, {},
     {{"wifi", 1, 600, 1, 1, 0, 2, 0}}},
    {"left_out_down_to_exactly_the_bound", 1, {{{5, 82}, {3, 238}, {2, 238}, {1, 238}, {1, 238}}}, {}, false, {},
     {{"wifi", 4, 1024, 3, 1, 0, 1, 0}}},
    // The crashing core's records first, the others' newest in the rest.
    {"crashing_core_first", 1, {{{4, 582}, {1, 282}}}, {{{3, 82}, {2, 82}}}, false, {},
     {{"wifi", 2, 900, 4, 1, 0, 0, 0}, {"bfg", 1, 100, 2, 2, 0, 1, 0}}},
    {"crashing_bfg_first", 1, {{{4, 82}, {1, 282}}}, {{{3, 582}, {2, 182}}}, false, {},
     {{"wifi", 0, 0, 0, 0, 0, 2, 0}, {"bfg", 2, 800, 3, 2, 0, 0, 0}}, 0, 2},
    // An me dump with the me log off: of the others, the oldest goes first.
    {"oldest_of_the_others_left_out_first", 1, {{{4, 582}, {1, 282}}}, {{{3, 582}, {2, 182}}}, false, {},
     {{"wifi", 1, 300, 1, 1, 0, 1, 0}, {"bfg", 1, 200, 2, 2, 0, 1, 0}}, 0, 4},
};

INSTANTIATE_TEST_SUITE_P(Rows, ContextHeader, testing::ValuesIn(CONTEXT_ROWS),
                         [](const testing::TestParamInfo<context_row> &p) { return p.param.name; });

TEST_P(ContextHeader, TellsTheWindowOfEachCore)
{
    const context_row &row = GetParam();
    g_now = time(nullptr);
    const std::string wifi_dir = "/vendor/log/wifi_log/";
    const std::string bfg_dir = "/vendor/log/bfg_log/";
    fs::create_directories("/vendor/log/memdump");
    std::vector<std::string> stored = {lay_out(wifi_dir, "wifi_log_", row.wifi),
                                       lay_out(bfg_dir, "bfg_log_", row.bfg)};
    if (row.wifi_zst) {
        write_file(wifi_dir + "wifi_log_" + std::to_string(row.wifi.size() + 1) + ".zst", "compressed");
    }
    std::string journal;
    for (const auto &[ago, text] : row.journal) {
        const std::vector<uint16_t> s = stamp_ago(ago);
        char stamp[32];
        (void)oam_context_stamp_text(stamp, sizeof(stamp), s.data(), true);
        journal += stamp + text + "\n";
    }
    write_file("/vendor/log/oam_events", journal);
    set_log(&g_st_global.st_wifi_log, wifi_dir.c_str(), "wifi_log_", true);
    set_log(&g_st_global.st_bfg_log, bfg_dir.c_str(), "bfg_log_", !row.bfg.empty());
    set_log(&g_st_global.st_me_log, "/vendor/log/me_log/", "bfg_log_", false);
    memdump_context_init();
    g_memdump_context_seconds = 30;
    g_memdump_context_max_kib = row.max_kib;

    ASSERT_EQ(memdump_context_write_at(row.which, timespec {g_now, 0}), 0);
    const std::string ctx = read_file(std::string("/vendor/log/memdump/") +
                                      g_memdump_type_table[row.which].name_prefix + ".context.tmp");
    size_t at = ctx.find('\n') + 1;
    EXPECT_EQ(ctx.compare(0, 30, "oam dump context: 30 s before "), 0) << ctx.substr(0, at);
    for (size_t i = 0; i < row.want.size(); ++i) {
        const core_want &w = row.want[i];
        oam_context_section want {};
        (void)snprintf(want.core, sizeof(want.core), "%s", w.core);
        want.records = w.records;
        want.bytes = w.bytes;
        memcpy(want.first, stamp_ago(w.first_ago).data(), OAM_STAMP_LEN);
        memcpy(want.last, stamp_ago(w.last_ago).data(), OAM_STAMP_LEN);
        want.lost = w.lost;
        want.left_out = w.left_out;
        want.compressed = w.compressed;
        char line[OAM_CONTEXT_LINE_LEN];
        ASSERT_GT(oam_context_format(line, sizeof(line), want), 0);
        const size_t end = ctx.find('\n', at) + 1;
        ASSERT_EQ(ctx.substr(at, end - at), line) << w.core;
        oam_context_section back {};
        ASSERT_TRUE(oam_context_parse(line, &back)) << line;
        char again[OAM_CONTEXT_LINE_LEN];
        ASSERT_GT(oam_context_format(again, sizeof(again), back), 0);
        EXPECT_STREQ(again, line);
        // The stored bytes themselves: the newest of the core's.
        const std::string &all = stored[i];
        const size_t after = i == 0 ? row.wifi_after : 0;
        const auto bytes = static_cast<size_t>(w.bytes);
        EXPECT_EQ(ctx.substr(end, bytes), all.substr(all.size() - after - bytes, bytes)) << w.core;
        at = end + bytes;
    }
    std::string lines;
    for (const auto &[ago, text] : row.journal) {
        if (ago < 30) {
            const std::vector<uint16_t> s = stamp_ago(ago);
            char stamp[32];
            (void)oam_context_stamp_text(stamp, sizeof(stamp), s.data(), true);
            lines += stamp + text + "\n";
        }
    }
    const size_t count = static_cast<size_t>(std::count(lines.begin(), lines.end(), '\n'));
    EXPECT_EQ(ctx.substr(at), "events: " + std::to_string(count) + " lines, " + std::to_string(lines.size()) +
                                  " bytes\n" + lines);
}

// A FIFO in the place of the context file neither holds the dump thread
// nor gets the records: the dump goes on without its context.
TEST(ContextFile, AFifoInItsPlaceIsNotWritten)
{
    const std::string tmp = "/vendor/log/memdump/readm_wifi_sdio.context.tmp";
    fs::create_directories("/vendor/log/memdump");
    fs::create_directories("/vendor/log/wifi_log");
    write_file("/vendor/log/wifi_log/wifi_log_1", "");
    // An archive a cut left half written goes at the start, as a context does.
    const std::string cut_archive = "/vendor/log/memdump/readm_bfgx_uart_2026_12_10_06_00_00.tar.gz.tmp";
    write_file(cut_archive, "cut");
    set_log(&g_st_global.st_wifi_log, "/vendor/log/wifi_log/", "wifi_log_", true);
    memdump_context_init();
    EXPECT_FALSE(fs::exists(cut_archive));
    ASSERT_EQ(mkfifo(tmp.c_str(), 0600), 0);
    // With a reader there an open for writing would not wait: what was
    // written would be found in the FIFO.
    const int reader = open(tmp.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    g_memdump_context_seconds = 30;
    EXPECT_EQ(memdump_context_write(0), -1);
    char buf[64];
    EXPECT_EQ(read(reader, buf, sizeof(buf)), 0);
    (void)close(reader);
    memdump_context_archived(0, "readm_wifi_sdio_2026_12_10_07_00_00.tar.gz", true);
    EXPECT_FALSE(fs::exists(tmp));
    EXPECT_FALSE(fs::exists("/vendor/log/memdump/readm_wifi_sdio_2026_12_10_07_00_00.context"));
    g_memdump_context_seconds = 0;
    fs::remove_all("/vendor/log");
}

// What no daemon wrote is refused, so that a damaged context is not read
// as records.
TEST(ContextHeaderParse, RefusesWhatTheDaemonNeverWrites)
{
    const char *bad[] = {
        "core wifi: 2 records, 200 bytes, first 2026-12-10 07:17:25.123, last 2026-12-10 07:17:26.000, 0 lost, "
        "0 left out, 0 compressed not read",  // no line end
        "core wifi: 2 records, 20 bytes, first 2026-12-10 07:17:25.123, last 2026-12-10 07:17:26.000, 0 lost, "
        "0 left out, 0 compressed not read\n",  // fewer bytes than two headers
        "core wifi: 2 records, 200 bytes, first -, last -, 0 lost, 0 left out, 0 compressed not read\n",
        "core wifi: 0 records, 0 bytes, first 2026-12-10 07:17:25.123, last -, 0 lost, 0 left out, "
        "0 compressed not read\n",
        "core wifi: 2 records, 200 bytes, first 2026-13-10 07:17:25.123, last 2026-12-10 07:17:26.000, 0 lost, "
        "0 left out, 0 compressed not read\n",  // month 13
        "core wifi: 0 records, 0 bytes, first -, last -, 0 lost, 0 left out, 0 compressed not read\njunk",
        "core WIFI: 0 records, 0 bytes, first -, last -, 0 lost, 0 left out, 0 compressed not read\n",
    };
    for (const char *line : bad) {
        oam_context_section sec {};
        EXPECT_FALSE(oam_context_parse(line, &sec)) << line;
    }
    oam_context_section sec {};
    EXPECT_TRUE(oam_context_parse(
        "core me: 0 records, 0 bytes, first -, last -, 3 lost, 4 left out, 1 compressed not read\n", &sec));
    EXPECT_EQ(sec.lost + sec.left_out + sec.compressed, 8U);
}

}  // namespace
