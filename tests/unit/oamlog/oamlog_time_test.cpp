// Records placed on one time line from crafted journals: zone changes,
// clock steps forward and back, old journals without offsets.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "oamlog/oamlog.h"
#include "oamlog_test_util.h"

namespace {

// "YYYY-MM-DD HH:MM:SS.mmm" as a record.
std::string record(const char *stamp)
{
    uint16_t s[OAM_STAMP_FIELDS] = {};
    EXPECT_EQ(sscanf(stamp, "%hu-%hu-%hu %hu:%hu:%hu.%hu", &s[0], &s[1], &s[2], &s[3], &s[4], &s[5], &s[6]), 7);
    const std::string data = "x";
    const size_t len = OAM_RECORD_HDR_LEN + data.size();
    std::string rec = {static_cast<char>(OAM_RECORD_MARKER), 0, static_cast<char>(len), 0};
    rec.append(reinterpret_cast<const char *>(s), sizeof(s));
    return rec + data;
}

std::string start(const char *stamp, const char *boot)
{
    return std::string(stamp) + " oam start version 1, mode wvt, chip zr4003, pid 7, boot " + boot +
           ", boottime 4.000\n";
}

struct place_case {
    const char *name;
    std::string journal;  // "" none
    std::vector<const char *> stamps;
    const char *placed;  // UTC of each record, "?" when it could not be placed, its boot
    const char *boots;   // --list-boots
    const char *events = nullptr;  // each event's place in UTC
    const char *shown = nullptr;   // the records as JSON and as --utc lines, up to their data
};

std::vector<place_case> place_cases()
{
    const std::string boot_a = start("2026-12-09 10:00:00.000+0000", "aaaa");
    return {
        // A loss's window carries the offset of each of its ends.
        {"zone_change_mid_file",
         boot_a + "2026-12-09 20:00:00.000+0900 oam zone-changed from +0000 to +0900\n" +
             "2026-12-09 20:00:02.000+0900 wifi lost 2 records: no space, 10:59:59.000+0000 to 20:00:02.000+0900\n",
         {"2026-12-09 10:00:01.000", "2026-12-09 10:59:00.000", "2026-12-09 20:00:01.000", "2026-12-09 20:10:00.000"},
         "10:00:01.000 b0 | 10:59:00.000 b0 | 11:00:01.000 b0 | 11:10:00.000 b0",
         "  0 aaaa 2026-12-09 10:00:00.000+0000  2026-12-09 20:00:02.000+0900\n",
         "start@10:00:00.000 lost@10:59:59.000 zone-changed@11:00:00.000"},
        // The records of the boot before the step of 56 years move with it;
        // those of the boot before keep their time.
        {"forward_step_of_years",
         boot_a + "2026-12-09 10:30:00.000+0000 oam stop\n" + start("1970-01-01 00:00:05.000+0000", "bbbb") +
             "2026-12-10 08:00:00.000+0000 oam clock-stepped from 1970-01-01 00:00:40.000+0000 to "
             "2026-12-10 08:00:00.000+0000, boottime 40.000\n",
         {"2026-12-09 10:10:00.000", "1970-01-01 00:00:12.000", "2026-12-10 08:00:01.000"},
         "10:10:00.000 b0 | 07:59:32.000 b1 | 08:00:01.000 b1",
         " -1 aaaa 2026-12-09 10:00:00.000+0000  2026-12-09 10:30:00.000+0000\n"
         "  0 bbbb 2026-12-10 07:59:25.000+0000  2026-12-10 08:00:00.000+0000\n",
         "start@10:00:00.000 stop@10:30:00.000 start@07:59:25.000 clock-stepped@08:00:00.000"},
        {"two_forward_steps_add_up",
         start("1970-01-01 00:00:05.000+0000", "ffff") +
             "2000-01-01 00:00:00.000+0000 oam clock-stepped from 1970-01-01 00:00:10.000+0000 to "
             "2000-01-01 00:00:00.000+0000, boottime 10.000\n"
             "2026-12-10 08:00:00.000+0000 oam clock-stepped from 2000-01-01 00:00:10.000+0000 to "
             "2026-12-10 08:00:00.000+0000, boottime 20.000\n",
         {"1970-01-01 00:00:07.000", "2000-01-01 00:00:05.000", "2026-12-10 08:00:01.000"},
         "07:59:47.000 b0 | 07:59:55.000 b0 | 08:00:01.000 b0", nullptr},
        // A journal stepping across the whole calendar moves its records
        // four centuries at most (whole days: the time of day stays).
        {"steps_beyond_four_centuries_stop_there",
         start("1000-01-01 00:00:00.000+0000", "hhhh") +
             "9999-01-01 00:00:00.000+0000 oam clock-stepped from 1000-01-01 00:00:01.000+0000 to "
             "9999-01-01 00:00:00.000+0000, boottime 1.000\n",
         {"1000-01-01 00:00:00.500"}, "00:00:00.500 b0", nullptr},
        // Set back: the stamps after the step repeat the hour before it.
        {"back_step_of_one_hour",
         start("2026-12-09 10:00:00.000+0100", "cccc") +
             "2026-12-09 09:30:00.000+0100 oam clock-stepped from 2026-12-09 10:30:00.000+0100 to "
             "2026-12-09 09:30:00.000+0100, boottime 1804.000\n",
         {"2026-12-09 10:10:00.000", "2026-12-09 10:29:00.000", "2026-12-09 10:05:00.000", "2026-12-09 10:40:00.000"},
         "09:10:00.000 b0 | 09:29:00.000 b0 | 09:05:00.000 b0 | 09:40:00.000 b0",
         "  0 cccc 2026-12-09 10:00:00.000+0100  2026-12-09 09:30:00.000+0100\n"},
        // Set back an hour by the zone: a stamp that steps back leaves the
        // period it still fits for the later one.
        {"zone_change_back_repeats_an_hour",
         start("2026-12-09 10:00:00.000+0100", "gggg") +
             "2026-12-09 10:30:00.000+0000 oam zone-changed from +0100 to +0000\n",
         {"2026-12-09 10:10:00.000", "2026-12-09 11:20:00.000", "2026-12-09 10:35:00.000", "2026-12-09 10:50:00.000"},
         "09:10:00.000 b0 | 10:20:00.000 b0 | 10:35:00.000 b0 | 10:50:00.000 b0", nullptr},
        {"a_stamp_no_period_holds_is_uncertain",
         start("2026-12-09 10:00:00.000+0100", "dddd") +
             "2026-12-09 09:30:00.000+0100 oam clock-stepped from 2026-12-09 10:30:00.000+0100 to "
             "2026-12-09 09:30:00.000+0100, boottime 1804.000\n",
         {"2026-12-09 10:10:00.000", "2026-12-09 08:00:00.000", "2026-12-09 09:31:00.000"},
         "09:10:00.000 b0 | 07:00:00.000? b-1 | 08:31:00.000 b0", nullptr, nullptr,
         "{\"time\":\"2026-12-09T10:10:00.000+01:00\",\"utc\":\"2026-12-09T09:10:00.000Z\",\"core\":\"wifi\"\n"
         "2026-12-09 09:10:00.000Z wifi\n"
         "{\"time\":\"2026-12-09T08:00:00.000+01:00\",\"utc\":\"2026-12-09T07:00:00.000Z\",\"time_uncertain\":true,"
         "\"core\":\"wifi\"\n"
         "2026-12-09 07:00:00.000Z? wifi\n"
         "{\"time\":\"2026-12-09T09:31:00.000+01:00\",\"utc\":\"2026-12-09T08:31:00.000Z\",\"core\":\"wifi\"\n"
         "2026-12-09 08:31:00.000Z wifi\n"},
        // A run that ended without a line (power cut) holds its records up
        // to the next run's start.
        {"a_run_without_stop_holds_its_records_to_the_next_start",
         boot_a + start("2026-12-09 11:00:00.000+0000", "bbbb"),
         {"2026-12-09 10:00:01.000", "2026-12-09 10:45:00.000", "2026-12-09 11:00:01.000"},
         "10:00:01.000 b0 | 10:45:00.000 b0 | 11:00:01.000 b1", nullptr},
        // Older than the journal's first run: its offset, no boot.
        {"records_before_the_journal", start("2026-12-09 10:00:00.000+0100", "eeee"),
         {"2026-12-09 09:00:00.000", "2026-12-09 10:00:00.000"}, "08:00:00.000 b-1 | 09:00:00.000 b0", nullptr},
        // Journals of older builds: this machine's zone (+0100 here), a run a boot.
        {"old_journal_without_offsets",
         "2026-12-09 10:00:00.000 oam start version 1\n2026-12-09 10:05:00.000 oam stop\n"
         "2026-12-09 11:00:00.000 oam start version 1\n",
         {"2026-12-09 10:00:01.000", "2026-12-09 11:00:01.000"}, "09:00:01.000 b0 | 10:00:01.000 b1",
         " -1 - 2026-12-09 10:00:00.000+0100  2026-12-09 10:05:00.000+0100\n"
         "  0 - 2026-12-09 11:00:00.000+0100  2026-12-09 11:00:00.000+0100\n"},
        {"no_journal", "", {"2026-07-01 12:00:00.000"}, "10:00:00.000 b-1", ""},
    };
}

class OamlogPlace : public ZoneFixed, public ::testing::WithParamInterface<place_case> {};

TEST_P(OamlogPlace, EachRecordTakesTheOffsetAndStepsOfItsPeriod)
{
    const place_case &c = GetParam();
    const std::string root = fresh_dir();
    if (!c.journal.empty()) {
        put(root + "oam_events", c.journal);
    }
    ASSERT_EQ(mkdir((root + "wifi_log").c_str(), 0700), 0);
    std::string bytes;
    for (const char *stamp : c.stamps) {
        bytes += record(stamp);
    }
    put(root + "wifi_log/wifi_log_1", bytes);
    oamlog_journal_load(root, {}, 0, UINT64_MAX, false);
    std::vector<oamlog_source> sources;
    ASSERT_EQ(oamlog_add_root(&sources, root, {"wifi"}, false), 0);
    ASSERT_EQ(sources.size(), 1U);
    oamlog_open_files(&sources[0]);
    std::string placed;
    std::string shown;
    oamlog_rec rec{};
    while (oamlog_next(&sources[0], &rec) > 0) {
        for (const oamlog_format format : {OAMLOG_JSON, OAMLOG_TEXT}) {
            FILE *out = tmpfile();
            oamlog_print(out, {format, 0, true}, rec);
            std::string line(static_cast<size_t>(ftell(out)), '\0');
            rewind(out);
            line.resize(fread(line.data(), 1, line.size(), out));
            (void)fclose(out);
            shown += line.substr(0, line.find(format == OAMLOG_JSON ? ",\"file\"" : "   ")) + "\n";
        }
        char utc[40];
        oamlog_utc_text(utc, sizeof(utc), rec.key, ' ');
        placed += std::string(placed.empty() ? "" : " | ") + (utc + 11) + (rec.uncertain ? "?" : "") + " b" +
                  std::to_string(rec.boot);
    }
    EXPECT_EQ(placed, c.placed);
    if (c.shown != nullptr) {
        EXPECT_EQ(shown, c.shown);
    }
    if (c.boots != nullptr) {
        FILE *out = tmpfile();
        oamlog_list_boots(out, false, false);
        std::string text(static_cast<size_t>(ftell(out)), '\0');
        rewind(out);
        text.resize(fread(text.data(), 1, text.size(), out));
        (void)fclose(out);
        EXPECT_EQ(text, c.boots);
    }
    if (c.events != nullptr) {
        std::string events;
        for (const oamlog_event &ev : g_oamlog_events) {
            char utc[40];
            oamlog_utc_text(utc, sizeof(utc), ev.key, ' ');
            events += (events.empty() ? "" : " ") + ev.event + "@" + (utc + 11);
        }
        EXPECT_EQ(events, c.events);
    }
}

INSTANTIATE_TEST_SUITE_P(Journals, OamlogPlace, ::testing::ValuesIn(place_cases()),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

}  // namespace
