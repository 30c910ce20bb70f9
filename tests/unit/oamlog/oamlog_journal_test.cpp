// The events journal read back: counts and damage, the table of --stats,
// the dump archives of --dumps and the window of --dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

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

std::string loss(const std::string &count, const char *unit = "records")
{
    return "2026-12-09 10:00:02.000 wifi lost " + count + " " + unit +
           ": no space left on device, 10:00:01.000 to 10:00:02.000\n";
}

const std::string START = "2026-12-09 10:00:00.100 oam start version 1.0.0\n";
const std::string STOP = "2026-12-09 10:00:09.000 oam stop\n";
const std::string NULS(4, '\0');

struct journal_case {
    const char *name;
    std::string text;  // oam_events
    bool fifo;         // oam_events.1 is a FIFO
    const char *events;
    uint64_t lost;
    uint64_t overruns;
    uint64_t damaged;
    const char *spots = "";  // the damage as --check --json tells it, behind each file name
};

std::vector<journal_case> journal_cases()
{
    return {
        {"records_and_overruns_apart", START + loss("3") + loss("4", "overruns"), false, "start lost:3r lost:4o", 3, 4,
         0},
        {"negative_count_is_damage", START + loss("-5"), false, "start", 0, 0, 1,
         "\"offset\":48,\"line\":2,\"skipped\":100,\"cause\":\"not an event\"}\n"},
        {"count_beyond_64_bits_is_damage", START + loss("99999999999999999999"), false, "start", 0, 0, 1},
        {"unknown_unit_is_damage", loss("3", "bytes"), false, "", 0, 0, 1},
        {"sums_saturate", loss("18446744073709551615") + loss("2"), false,
         "lost:18446744073709551615r lost:2r", UINT64_MAX, 0, 0},
        {"nul_padding_after_a_cut_line_then_the_next_line", START.substr(0, 30) + NULS + STOP, false, "stop", 0, 0,
         1, "\"offset\":0,\"line\":1,\"skipped\":34,\"cause\":\"cut short or NUL padding before it\"}\n"},
        {"nul_padding_on_a_line_of_its_own", START + NULS + "\n" + STOP, false, "start stop", 0, 0, 1},
        {"nul_padding_at_the_end", START + NULS, false, "start", 0, 0, 1,
         "\"offset\":48,\"line\":2,\"skipped\":4,\"cause\":\"cut short\"}\n"},
        {"a_journal_that_is_a_fifo_is_said_once", START, true, "start", 0, 0, 1,
         "\"offset\":null,\"skipped\":null,\"cause\":\"not a regular file\"}\n"},
        {"a_stamp_stepping_back_keeps_the_written_order",
         START + "2026-12-09 10:00:00.050 wifi capture-started /vendor/log/wifi_log/wifi_log_1\n", false,
         "start capture-started", 0, 0, 0},
        {"a_loss_moves_back_to_where_it_began", START + "2026-12-09 10:00:01.500 wifi rotated x\n" + loss("3"), false,
         "start lost:3r rotated", 3, 0, 0},
    };
}

class OamlogJournal : public ::testing::TestWithParam<journal_case> {};

TEST_P(OamlogJournal, CountsAreBelievedOnlyWhenPlainAndDamageIsToldOnce)
{
    const journal_case &c = GetParam();
    const std::string dir = fresh_dir();
    put(dir + "oam_events", c.text);
    if (c.fifo) {
        ASSERT_EQ(mkfifo((dir + "oam_events.1").c_str(), 0600), 0);
    }
    captured damage;
    g_oamlog_damage_out = damage.f;
    g_oamlog_damage_count = 0;
    oamlog_journal_load(dir, {}, 0, UINT64_MAX, true);
    g_oamlog_damage_out = stderr;
    std::string events;
    for (const oamlog_event &ev : g_oamlog_events) {
        events += (events.empty() ? "" : " ") + ev.event;
        if (ev.event == "lost") {
            events += ":" + std::to_string(ev.count) + (ev.overruns ? "o" : "r");
        }
    }
    EXPECT_EQ(events, c.events);
    EXPECT_EQ(oamlog_journal_lost("wifi", false), c.lost);
    EXPECT_EQ(oamlog_journal_lost("wifi", true), c.overruns);
    EXPECT_EQ(g_oamlog_damage_count, c.damaged) << damage.text();
    if (*c.spots != '\0') {
        captured spots;
        g_oamlog_damage_out = spots.f;
        g_oamlog_damage_json = true;
        oamlog_journal_load(dir, {}, 0, UINT64_MAX, true);
        g_oamlog_damage_out = stderr;
        g_oamlog_damage_json = false;
        std::string tails = spots.text();
        for (size_t at; (at = tails.find("{\"file\":\"" + dir)) != std::string::npos;) {
            tails.erase(at, tails.find(',', at) + 1 - at);
        }
        EXPECT_EQ(tails, c.spots);
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, OamlogJournal, ::testing::ValuesIn(journal_cases()),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

std::string record(const std::string &data, uint16_t sec, uint16_t ms)
{
    const uint16_t stamp[OAM_STAMP_FIELDS] = {2026, 12, 9, 10, 0, sec, ms};
    const size_t len = OAM_RECORD_HDR_LEN + data.size();
    std::string rec = {static_cast<char>(OAM_RECORD_MARKER), 0, static_cast<char>(len), 0};
    rec.append(reinterpret_cast<const char *>(stamp), sizeof(stamp));
    return rec + data;
}

struct stats_case {
    const char *name;
    const char *since;
    const char *until;
    bool json;
    const char *table;
};

class OamlogStats : public ZoneFixed, public ::testing::WithParamInterface<stats_case> {};

// wifi: four records over two seconds, a loss of each unit; bfg: a first
// and a last record without a good stamp; me: an empty folder (a chip
// without it).
TEST_P(OamlogStats, CountsTheSelectedRecordsAndLossesOfEachCore)
{
    const stats_case &c = GetParam();
    const std::string root = fresh_dir();
    ASSERT_EQ(mkdir((root + "wifi_log").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root + "bfg_log").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root + "me_log").c_str(), 0700), 0);
    put(root + "wifi_log/wifi_log_2", record("ab", 0, 100) + record("abcd", 0, 900));
    put(root + "wifi_log/wifi_log_1", record("", 1, 0) + record("x", 1, 999));
    put(root + "bfg_log/bfg_log_1", record("b", 70, 0) + record("c", 5, 0) + record("d", 70, 0));
    put(root + "oam_events", loss("3") + loss("4", "overruns") +
                                 "2026-12-09 10:00:08.000 wifi lost 5 records: no space left on device, "
                                 "10:00:08.000 to 10:00:08.000\n");
    uint64_t since = 0;
    uint64_t until = UINT64_MAX;
    ASSERT_TRUE(*c.since == '\0' || oamlog_parse_time(c.since, false, &since) == 0);
    ASSERT_TRUE(*c.until == '\0' || oamlog_parse_time(c.until, true, &until) == 0);
    oamlog_journal_load(root, {}, since, until, false);
    std::vector<oamlog_source> sources;
    ASSERT_EQ(oamlog_add_root(&sources, root, {}, false), 0);
    for (oamlog_source &src : sources) {
        oamlog_open_files(&src);
    }
    captured out;
    oamlog_stats(out.f, sources, c.json, since, until);
    EXPECT_EQ(out.text(), c.table);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, OamlogStats,
    ::testing::Values(
        stats_case{"everything", "", "", false,
                   "core files records bytes peak/s lost overruns damaged\n"
                   "wifi     2       4    79      2    8        4       0\n"
                   "bfg      1       3    57      2    0        0       2\n"
                   "\n"
                   "core first                   last\n"
                   "wifi 2026-12-09 10:00:00.100 2026-12-09 10:00:01.999\n"
                   "bfg  -                       2026-12-09 10:00:05.000\n"},
        stats_case{"one_second", "2026-12-09T10:00:01", "2026-12-09T10:00:01", false,
                   "core files records bytes peak/s lost overruns damaged\n"
                   "wifi     2       2    37      2    3        4       0\n"
                   "bfg      1       0     0      0    0        0       2\n"
                   "\n"
                   "core first                   last\n"
                   "wifi 2026-12-09 10:00:01.000 2026-12-09 10:00:01.999\n"
                   "bfg  -                       -\n"},
        stats_case{"json", "", "2026-12-09T10:00:00", true,
                   "{\"core\":\"wifi\",\"files\":2,\"records\":2,\"bytes\":42,"
                   "\"first\":\"2026-12-09T10:00:00.100+01:00\",\"first_utc\":\"2026-12-09T09:00:00.100Z\","
                   "\"last\":\"2026-12-09T10:00:00.900+01:00\",\"last_utc\":\"2026-12-09T09:00:00.900Z\","
                   "\"peak\":2,\"lost\":0,\"overruns\":0,\"damaged\":0}\n"
                   "{\"core\":\"bfg\",\"files\":1,\"records\":1,\"bytes\":19,\"first\":null,\"first_utc\":null,"
                   "\"last\":null,\"last_utc\":null,\"peak\":1,\"lost\":0,\"overruns\":0,\"damaged\":2}\n"},
        // The last record's stamp is bad: shown as the good one before it, in its offset.
        stats_case{"json_bad_last_stamp", "2026-12-09T10:00:05", "", true,
                   "{\"core\":\"wifi\",\"files\":2,\"records\":0,\"bytes\":0,\"first\":null,\"first_utc\":null,"
                   "\"last\":null,\"last_utc\":null,\"peak\":0,\"lost\":5,\"overruns\":0,\"damaged\":0}\n"
                   "{\"core\":\"bfg\",\"files\":1,\"records\":2,\"bytes\":38,"
                   "\"first\":\"2026-12-09T10:00:05.000+01:00\",\"first_utc\":\"2026-12-09T09:00:05.000Z\","
                   "\"last\":\"2026-12-09T10:00:05.000+01:00\",\"last_utc\":\"2026-12-09T09:00:05.000Z\","
                   "\"peak\":2,\"lost\":0,\"overruns\":0,\"damaged\":2}\n"}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

std::string tar_member(const std::string &name, const std::string &data, bool bad_sum = false)
{
    std::string hdr(512, '\0');
    memcpy(hdr.data(), name.data(), name.size());
    (void)snprintf(hdr.data() + 100, 8, "%07o", 0644);
    (void)snprintf(hdr.data() + 124, 12, "%011zo", data.size());
    hdr[156] = '0';
    memcpy(hdr.data() + 257, "ustar", 6);
    unsigned sum = 8 * ' ';
    for (size_t i = 0; i < 512; ++i) {
        sum += i >= 148 && i < 156 ? 0 : static_cast<unsigned char>(hdr[i]);
    }
    (void)snprintf(hdr.data() + 148, 8, "%06o", sum + (bad_sum ? 1 : 0));
    hdr[155] = ' ';
    return hdr + data + std::string((512 - data.size() % 512) % 512, '\0');
}

const std::string TAR_END(1024, '\0');

std::string gz(const std::string &plain)
{
    std::string out(compressBound(static_cast<uLong>(plain.size())) + 64, '\0');
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(plain.data()));
    zs.avail_in = static_cast<uInt>(plain.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    (void)deflateEnd(&zs);
    return out;
}

const std::string WIFI1 = "readm_wifi_sdio_2026_12_09_10_00_01.tar.gz";
const std::string WIFI6 = "readm_wifi_sdio_2026_12_09_10_00_06.tar.gz";
const std::string GOOD = gz(tar_member("a.bin", "xyz") + TAR_END);

struct dumps_case {
    const char *name;
    std::string journal;
    std::vector<std::pair<std::string, std::string>> archives;
    std::string listing;  // {size}: the size of the archives
    std::vector<std::string> json;  // each row's state as fields
};

std::string fields(const char *members, const char *state, const char *damaged = "null", const char *reason = "null")
{
    return std::string("\"members\":") + members + ",\"state\":\"" + state + "\",\"damaged_member\":" + damaged +
           ",\"reason\":" + reason;
}

std::string reported(const char *at, const char *type)
{
    return std::string("2026-12-09 ") + at + " wifi dump-reported " + type + "\n";
}

std::vector<dumps_case> dumps_cases()
{
    const std::string two = tar_member("a.bin", "xyz") + tar_member("b.bin", "uvw", true) + TAR_END;
    // The table: the index --dump takes, the name, the size as du -h gives
    // it, whether a context is kept, and the state.
    const std::string head = "  # archive                                     size ctx state\n";
    const auto row = [](const char *index, const std::string &name, const char *state) {
        return std::string(index) + " " + name + "  {size}  no " + state + "\n";
    };
    return {
        {"complete", "", {{WIFI1, GOOD}}, head + row(" -1", WIFI1, "complete"), {fields("1", "complete")}},
        {"cut_archive", "", {{WIFI1, GOOD.substr(0, GOOD.size() - 6)}}, head + row(" -1", WIFI1, "incomplete"),
         {fields("1", "incomplete")}},
        {"plain_tar_named_tar_gz", "", {{WIFI1, tar_member("a.bin", "xyz") + TAR_END}},
         head + row(" -1", WIFI1, "not gzip"), {fields("null", "not-gzip")}},
        {"random_junk", "", {{WIFI1, std::string(4096, 'j')}}, head + row(" -1", WIFI1, "not gzip"),
         {fields("null", "not-gzip")}},
        {"wrong_checksum", "", {{WIFI1, gz(tar_member("a.bin", "xyz", true) + TAR_END)}},
         head + row(" -1", WIFI1, "damaged at 1"), {fields("0", "damaged", "1")}},
        {"second_member_damaged", "", {{WIFI1, gz(two)}}, head + row(" -1", WIFI1, "damaged at 2"),
         {fields("1", "damaged", "2")}},
        {"two_dumps_of_one_type_each_their_report",
         reported("10:00:00.500", "readm_wifi_sdio") + "2026-12-09 10:00:01.200 wifi dump-saved readm_wifi_sdio\n" +
             "2026-12-09 10:00:01.300 wifi archive-written " + WIFI1 + "\n" +
             reported("10:00:05.700", "readm_wifi_sdio") + "2026-12-09 10:00:06.200 wifi dump-saved readm_wifi_sdio\n" +
             "2026-12-09 10:00:06.300 wifi archive-written " + WIFI6 + "\n",
         {{WIFI1, GOOD}, {WIFI6, GOOD}},
         head + row(" -2", WIFI1, "complete") + row(" -1", WIFI6, "complete"),
         {fields("1", "complete"), fields("1", "complete")}},
        {"failed_and_abandoned_dumps",
         reported("10:00:00.500", "readm_wifi_sdio") +
             "2026-12-09 10:00:00.600 wifi dump-failed readm_wifi_sdio: no region file\n" +
             reported("10:00:02.000", "readm_wifi_pcie") + "2026-12-09 10:00:03.000 wifi dump-abandoned readm_wifi_pcie at stop\n",
         {},
         "  # archive  size ctx state\n"
         "  - readm_wifi_sdio at 2026-12-09 10:00:00.500: dump-failed: no region file\n"
         "  - readm_wifi_pcie at 2026-12-09 10:00:02.000: dump-abandoned at stop\n",
         {fields("null", "dump-failed", "null", "\"no region file\""),
          fields("null", "dump-abandoned", "null", "\"at stop\"")}},
    };
}

class OamlogDumps : public ZoneFixed, public ::testing::WithParamInterface<dumps_case> {};

TEST_P(OamlogDumps, EachArchiveIsCheckedAndEachDumpsEndShown)
{
    const dumps_case &c = GetParam();
    const std::string root = fresh_dir();
    ASSERT_EQ(mkdir((root + "memdump").c_str(), 0700), 0);
    put(root + "oam_events", c.journal);
    std::string listing = c.listing;
    for (const auto &[name, bytes] : c.archives) {
        put(root + "memdump/" + name, bytes);
        for (size_t at; (at = listing.find("{size}")) != std::string::npos;) {
            const std::string size = oamlog_human(bytes.size());
            listing.replace(at, 6, std::string(4 - size.size(), ' ') + size);
        }
    }
    oamlog_journal_load(root, {}, 0, UINT64_MAX, false);
    captured out;
    EXPECT_EQ(oamlog_dumps(out.f, root, false), OAMLOG_OK);
    EXPECT_EQ(out.text(), listing);
    captured json;
    EXPECT_EQ(oamlog_dumps(json.f, root, true), OAMLOG_OK);
    std::vector<std::string> got;
    const std::string rows = json.text();
    for (size_t at = rows.find("\"members\""); at != std::string::npos; at = rows.find("\"members\"", at + 1)) {
        got.push_back(rows.substr(at, rows.find(",\"context\"", at) - at));
    }
    EXPECT_EQ(got, c.json);
}

INSTANTIATE_TEST_SUITE_P(Archives, OamlogDumps, ::testing::ValuesIn(dumps_cases()),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(OamlogDumps, TheWindowStartsBeforeTheReportToTheMillisecond)
{
    const std::string root = fresh_dir();
    put(root + "oam_events", reported("10:00:00.500", "readm_wifi_sdio") + "2026-12-09 10:00:01.300 wifi archive-written " +
                                 WIFI1 + "\n" + reported("10:00:05.700", "readm_wifi_sdio") +
                                 "2026-12-09 10:00:06.300 wifi archive-written " + WIFI6 + "\n");
    oamlog_journal_load(root, {}, 0, UINT64_MAX, false);
    uint64_t since = 0;
    uint64_t until = 0;
    ASSERT_EQ(oamlog_dump_window(WIFI1, 30, &since, &until), 0);
    uint64_t want = 0;
    ASSERT_EQ(oamlog_parse_time("2026-12-09T09:59:30.500", false, &want), 0);
    EXPECT_EQ(since, want);
    ASSERT_EQ(oamlog_parse_time("2026-12-09T10:00:01.300", false, &want), 0);
    EXPECT_EQ(until, want);
}

}  // namespace
