// Records placed on one time line from crafted journals: zone changes,
// clock steps forward and back, old journals without offsets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

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
    size_t older = 0;              // the first records are in file 2: placed alike without it
    const char *unclean = nullptr;  // what --stats says of runs that ended uncleanly
};

std::string step(const char *from, const char *to, const char *boottime)
{
    return std::string(to) + " oam clock-stepped from " + from + " to " + to + ", boottime " + boottime + "\n";
}

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
         "  0 aaaa 2026-12-09 10:00:00.000+0000 2026-12-09 20:00:02.000+0900\n",
         "start@10:00:00.000 lost@10:59:59.000 zone-changed@11:00:00.000"},
        // The records of the boot before the step of 56 years move with it;
        // those of the boot before keep their time.
        {"forward_step_of_years",
         boot_a + "2026-12-09 10:30:00.000+0000 oam stop\n" + start("1970-01-01 00:00:05.000+0000", "bbbb") +
             "2026-12-10 08:00:00.000+0000 oam clock-stepped from 1970-01-01 00:00:40.000+0000 to "
             "2026-12-10 08:00:00.000+0000, boottime 40.000\n",
         {"2026-12-09 10:10:00.000", "1970-01-01 00:00:12.000", "2026-12-10 08:00:01.000"},
         "10:10:00.000 b0 | 07:59:32.000 b1 | 08:00:01.000 b1",
         " -1 aaaa 2026-12-09 10:00:00.000+0000 2026-12-09 10:30:00.000+0000\n"
         "  0 bbbb 2026-12-10 07:59:25.000+0000 2026-12-10 08:00:00.000+0000\n",
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
         "  0 cccc 2026-12-09 10:00:00.000+0100 2026-12-09 09:30:00.000+0100\n"},
        // Set back an hour by the zone: a stamp that steps back leaves the
        // period it still fits for the later one.
        {"zone_change_back_repeats_an_hour",
         start("2026-12-09 10:00:00.000+0100", "gggg") +
             "2026-12-09 10:30:00.000+0000 oam zone-changed from +0100 to +0000\n",
         {"2026-12-09 10:10:00.000", "2026-12-09 11:20:00.000", "2026-12-09 11:25:00.000", "2026-12-09 11:24:59.000",
          "2026-12-09 10:35:00.000", "2026-12-09 10:50:00.000"},
         "09:10:00.000 b0 | 10:20:00.000 b0 | 10:25:00.000 b0 | 10:24:59.000 b0 | 10:35:00.000 b0 | 10:50:00.000 b0",
         nullptr},
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
         "10:00:01.000 b0 | 10:45:00.000 b0 | 11:00:01.000 b1", nullptr, nullptr, nullptr, 0,
         "unclean end: boot -1, 1 run, last line 2026-12-09 10:00:00.000+0000\n"},
        // Older than the journal's first run: its offset, no boot.
        {"records_before_the_journal", start("2026-12-09 10:00:00.000+0100", "eeee"),
         {"2026-12-09 09:00:00.000", "2026-12-09 10:00:00.000"}, "08:00:00.000 b-1 | 09:00:00.000 b0", nullptr},
        // Journals of older builds: this machine's zone (+0100 here), a run a boot.
        {"old_journal_without_offsets",
         "2026-12-09 10:00:00.000 oam start version 1\n2026-12-09 10:05:00.000 oam stop\n"
         "2026-12-09 11:00:00.000 oam start version 1\n",
         {"2026-12-09 10:00:01.000", "2026-12-09 11:00:01.000"}, "09:00:01.000 b0 | 10:00:01.000 b1",
         " -1 - 2026-12-09 10:00:00.000+0100 2026-12-09 10:05:00.000+0100\n"
         "  0 - 2026-12-09 11:00:00.000+0100 2026-12-09 11:00:00.000+0100\n"},
        {"no_journal", "", {"2026-07-01 12:00:00.000"}, "10:00:00.000 b-1", ""},
        // A power cut: boot A set its clock and stored on after its last
        // line; boot B begins in 1970 and is set 30 min after A's.  A ends
        // where B's start lands, a file order of B alone keeps B's records.
        {"a_crashed_boot_keeps_its_records_to_the_next_start_as_placed",
         start("1970-01-01 00:00:05.000+0000", "aaaa") +
             step("1970-01-01 00:00:40.000+0000", "2026-12-09 10:00:00.000+0000", "40.000") +
             start("1970-01-01 00:00:05.000+0100", "bbbb") +
             step("1970-01-01 00:00:40.000+0100", "2026-12-09 12:00:00.000+0100", "40.000"),
         {"1970-01-01 00:00:10.000", "2026-12-09 10:30:00.000", "2026-12-09 10:59:25.000", "2026-12-09 10:59:26.000",
          "1970-01-01 00:00:10.000", "2026-12-09 12:00:01.000"},
         "09:59:30.000 b0 | 10:30:00.000 b0 | 10:59:25.000 b0 | 10:59:26.000? b-1 | 10:59:30.000 b1 | 11:00:01.000 b1",
         " -1 aaaa 2026-12-09 09:59:25.000+0000 2026-12-09 10:00:00.000+0000 unclean\n"
         "  0 bbbb 2026-12-09 11:59:25.000+0100 2026-12-09 12:00:00.000+0100\n",
         nullptr, nullptr, 4, "unclean end: boot -1, 1 run, last line 2026-12-09 10:00:00.000+0000\n"},
        // B stored nothing before its step: A's first record is still A's.
        {"a_1970_boot_before_one_that_stores_only_once_set",
         start("1970-01-01 00:00:05.000+0000", "aaaa") +
             step("1970-01-01 00:00:40.000+0000", "2026-12-09 10:00:00.000+0000", "40.000") +
             "2026-12-09 10:20:00.000+0000 oam stop\n" + start("1970-01-01 00:00:05.000+0000", "bbbb") +
             step("1970-01-01 00:00:40.000+0000", "2026-12-09 11:00:00.000+0000", "40.000"),
         {"1970-01-01 00:00:10.000", "2026-12-09 10:10:00.000", "2026-12-09 11:00:01.000"},
         "09:59:30.000 b0 | 10:10:00.000 b0 | 11:00:01.000 b1", nullptr},
        // A core's first record before a zone change of its own run.
        {"a_first_record_before_a_zone_change_of_its_run",
         start("2026-12-09 12:00:00.000+0000", "aaaa") + "2026-12-09 04:30:00.000-0800 oam zone-changed from +0000 to -0800\n",
         {"2026-12-09 12:10:00.000"}, "12:10:00.000 b0", nullptr},
        // The next start tells the run before did not stop, and its last
        // line; B never sets its clock, so A's end is not known: A holds on.
        {"unclean_end_gives_the_last_line",
         boot_a + "2026-12-09 10:05:00.000+0000 oam stop\n" + start("2026-12-09 10:06:00.000+0000", "aaaa") +
             start("1970-01-01 00:00:05.000+0000", "bbbb") +
             "1970-01-01 00:00:05.000+0000 oam unclean-end pid 7, started 2026-12-09 10:06:00.000+0000, boot aaaa, "
             "last line 2026-12-09 10:40:00.000+0000, records after its last sync may be missing\n",
         {"2026-12-09 10:00:01.000", "2026-12-09 10:06:01.000", "2026-12-09 10:45:00.000", "1970-01-01 00:00:10.000"},
         "10:00:01.000 b0 | 10:06:01.000 b0 | 10:45:00.000 b0 | 00:00:10.000 b1",
         " -1 aaaa 2026-12-09 10:00:00.000+0000 2026-12-09 10:06:00.000+0000 unclean\n"
         "  0 bbbb 1970-01-01 00:00:05.000+0000 1970-01-01 00:00:05.000+0000\n",
         nullptr, nullptr, 1, "unclean end: boot -1, 1 run, last line 2026-12-09 10:40:00.000+0000\n"},
        // Two runs of one boot, the first killed: it ends at the second's start.
        {"a_killed_run_of_the_same_boot_ends_at_the_next_start",
         boot_a + step("2026-12-09 10:10:00.000+0000", "2026-12-09 11:10:00.000+0000", "604.000") +
             start("2026-12-09 11:20:00.000+0000", "aaaa") + step("2026-12-09 11:30:00.000+0000", "2026-12-09 11:40:00.000+0000", "1804.000"),
         {"2026-12-09 10:05:00.000", "2026-12-09 11:15:00.000", "2026-12-09 11:19:00.000", "2026-12-09 11:21:00.000"},
         "11:15:00.000 b0 | 11:25:00.000 b0 | 11:29:00.000 b0 | 11:31:00.000 b0", nullptr, nullptr, nullptr, 0,
         "unclean end: boot 0, 1 run, last line 2026-12-09 11:20:00.000+0000\n"},
        // The start rotated away: what is stamped before the first line
        // belongs to no boot and is not moved by the boot's step.
        {"records_before_a_journal_without_its_start",
         "1970-01-01 00:00:20.000+0000 oam dump-reported readm_wifi\n" +
             step("1970-01-01 00:00:40.000+0000", "2026-12-09 10:00:00.000+0000", "40.000"),
         {"1970-01-01 00:00:10.000", "1970-01-01 00:00:30.000", "2026-12-09 10:00:01.000"},
         "00:00:10.000 b-1 | 09:59:50.000 b0 | 10:00:01.000 b0", nullptr},
        // A loss reported after a step that began before it moves with the
        // records before the step: after its run's start, before the step.
        {"a_loss_across_a_forward_step",
         start("2026-12-09 14:44:20.029+0100", "aaaa") +
             step("2026-12-09 14:44:20.338+0100", "2026-12-09 20:44:20.338+0100", "4.309") +
             "2026-12-09 20:44:20.639+0100 wifi lost 2 records: malformed message, 14:44:20.038+0100 to "
             "20:44:20.338+0100\n",
         {"2026-12-09 14:44:20.030", "2026-12-09 20:44:20.600"}, "19:44:20.030 b0 | 19:44:20.600 b0", nullptr,
         "start@19:44:20.029 lost@19:44:20.038 clock-stepped@19:44:20.338"},
        // Steps taken back: what is written seconds apart stays so, in order.
        {"a_step_of_years_taken_back_a_second_later",
         boot_a + step("2026-12-09 10:00:30.000+0000", "2040-12-09 11:00:30.000+0000", "34.000") +
             step("2040-12-09 11:00:31.000+0000", "2026-12-09 10:00:31.000+0000", "35.000"),
         {"2026-12-09 10:00:10.000", "2040-12-09 11:00:30.500", "2026-12-09 10:00:40.000"},
         "10:00:10.000 b0 | 10:00:30.500 b0 | 10:00:40.000 b0", nullptr},
        {"a_step_back_taken_back_by_a_forward_one",
         boot_a + step("2026-12-09 10:30:00.000+0000", "2026-12-09 09:30:00.000+0000", "1804.000") +
             step("2026-12-09 09:40:00.000+0000", "2026-12-09 11:40:00.000+0000", "2404.000"),
         {"2026-12-09 10:10:00.000", "2026-12-09 09:35:00.000", "2026-12-09 11:45:00.000"},
         "11:10:00.000 b0 | 11:35:00.000 b0 | 11:45:00.000 b0", nullptr},
        {"steps_back_take_back_what_is_left_of_a_forward_one",
         boot_a + step("2026-12-09 10:00:10.000+0000", "2026-12-09 10:00:20.000+0000", "10.000") +
             step("2026-12-09 10:00:30.000+0000", "2026-12-09 10:00:26.000+0000", "20.000") +
             step("2026-12-09 10:00:40.000+0000", "2026-12-09 10:00:30.000+0000", "30.000"),
         {"2026-12-09 10:00:05.000", "2026-12-09 10:00:25.000", "2026-12-09 10:00:35.000", "2026-12-09 10:00:45.000"},
         "10:00:05.000 b0 | 10:00:15.000 b0 | 10:00:29.000 b0 | 10:00:45.000 b0", nullptr},
        // A step back never takes back the steps of the boot before.
        {"steps_of_the_boot_before_are_not_taken_back",
         boot_a + step("2026-12-09 10:10:00.000+0000", "2026-12-09 11:10:00.000+0000", "604.000") +
             "2026-12-09 11:20:00.000+0000 oam stop\n" + start("2026-12-09 11:30:00.000+0000", "bbbb") +
             "2026-12-09 11:35:00.000+0000 wifi lost 1 records: no space, 10:05:00.000+0000 to 11:35:00.000+0000\n" +
             step("2026-12-09 11:40:00.000+0000", "2026-12-09 10:40:00.000+0000", "604.000"),
         {"2026-12-09 10:05:00.000", "2026-12-09 11:35:00.000", "2026-12-09 10:45:00.000"},
         "11:05:00.000 b0 | 11:35:00.000 b1 | 10:45:00.000 b1", nullptr,
         "lost@10:05:00.000 start@11:00:00.000 clock-stepped@11:10:00.000 stop@11:20:00.000 start@11:30:00.000 "
         "clock-stepped@10:40:00.000"},
        // A's last line is later than where B's start stands: A holds on;
        // B ends where C's start stands, at its own last line.
        {"runs_that_end_at_or_before_their_last_line",
         boot_a + start("2026-12-09 10:20:00.000+0000", "bbbb") +
             "2026-12-09 10:20:00.000+0000 oam unclean-end pid 7, started 2026-12-09 10:00:00.000+0000, boot aaaa, "
             "last line 2026-12-09 10:40:00.000+0000, records after its last sync may be missing\n" +
             start("2026-12-09 10:20:00.000+0000", "cccc"),
         {"2026-12-09 10:30:00.000", "2026-12-09 10:20:00.000", "2026-12-09 10:20:01.000"},
         "10:30:00.000 b0 | 10:20:00.000 b1 | 10:20:01.000 b2", nullptr, nullptr, nullptr, 0,
         "unclean end: boot -2, 1 run, last line 2026-12-09 10:40:00.000+0000\n"
         "unclean end: boot -1, 1 run, last line 2026-12-09 10:20:00.000+0000\n"},
    };
}

class OamlogPlace : public ZoneFixed, public ::testing::WithParamInterface<place_case> {};

oamlog_source wifi_source(const std::string &root)
{
    std::vector<oamlog_source> sources;
    EXPECT_EQ(oamlog_add_root(&sources, root, {"wifi"}, false), 0);
    EXPECT_EQ(sources.size(), 1U);
    oamlog_open_files(&sources[0]);
    return sources[0];
}

std::string text_of(FILE *out)
{
    std::string text(static_cast<size_t>(ftell(out)), '\0');
    rewind(out);
    text.resize(fread(text.data(), 1, text.size(), out));
    (void)fclose(out);
    return text;
}

TEST_P(OamlogPlace, EachRecordTakesTheOffsetAndStepsOfItsPeriod)
{
    const place_case &c = GetParam();
    const std::string root = fresh_dir();
    if (!c.journal.empty()) {
        put(root + "oam_events", c.journal);
    }
    ASSERT_EQ(mkdir((root + "wifi_log").c_str(), 0700), 0);
    std::string bytes[2];
    for (size_t i = 0; i < c.stamps.size(); ++i) {
        bytes[i < c.older ? 1 : 0] += record(c.stamps[i]);
    }
    put(root + "wifi_log/wifi_log_1", bytes[0]);
    if (c.older > 0) {
        put(root + "wifi_log/wifi_log_2", bytes[1]);
    }
    oamlog_journal_load(root, {}, 0, UINT64_MAX, false);
    std::vector<oamlog_source> sources{wifi_source(root)};
    std::string placed;
    std::string shown;
    std::vector<oamlog_rec> recs;
    oamlog_rec rec{};
    while (oamlog_next_placed(&sources[0], &rec) > 0) {
        recs.push_back(rec);
        for (const oamlog_format format : {OAMLOG_JSON, OAMLOG_TEXT}) {
            FILE *out = tmpfile();
            oamlog_print(out, {format, true}, rec);
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
    // -f reads the same files as they stand: the same places and marks, then waits.
    const auto read_placed = [&root](bool follow) {
        std::vector<oamlog_source> srcs;
        EXPECT_EQ(oamlog_add_root(&srcs, root, {"wifi"}, follow), 0);
        std::string text;
        oamlog_rec r{};
        int got = 0;
        oamlog_open_files(&srcs.at(0));
        srcs[0].live = follow;
        while ((got = oamlog_next_placed(&srcs[0], &r)) > 0) {
            char utc[40];
            oamlog_utc_text(utc, sizeof(utc), r.key, ' ');
            text += std::string(text.empty() ? "" : " | ") + (utc + 11) + (r.uncertain ? "?" : "") + " b" +
                    std::to_string(r.boot);
        }
        EXPECT_EQ(got, follow ? 0 : -1);
        return text;
    };
    EXPECT_EQ(read_placed(true), placed) << "-f";
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
    // --boot by number, and --stats of each boot counts what --boot shows.
    const auto n = static_cast<long>(g_oamlog_boots.size());
    EXPECT_EQ(oamlog_find_boot(std::to_string(-n).c_str()), -1);
    EXPECT_EQ(oamlog_find_boot("1"), -1);
    // By the start of an id, as --list-boots shows it, when no other id
    // begins so.
    for (long i = 0; i < n; ++i) {
        const std::string id = g_oamlog_boots[static_cast<size_t>(i)].id;
        EXPECT_EQ(oamlog_find_boot(id.substr(0, 1).c_str()), id.empty() ? -1 : oamlog_find_boot(id.c_str()));
    }
    g_oamlog_boots.push_back({"zz01", 0, 0, 0, 0});
    g_oamlog_boots.push_back({"zz02", 0, 0, 0, 0});
    EXPECT_EQ(oamlog_find_boot("zz"), -1);
    EXPECT_EQ(oamlog_find_boot("zz02"), n + 1);
    g_oamlog_boots.resize(static_cast<size_t>(n));
    std::string unclean;
    for (long i = 0; i < n; ++i) {
        EXPECT_EQ(oamlog_find_boot(std::to_string(i - (n - 1)).c_str()), i);
        g_oamlog_boot_pick = i;
        std::vector<oamlog_source> one{wifi_source(root)};
        FILE *out = tmpfile();
        oamlog_stats(out, one, false, 0, UINT64_MAX);
        const std::string stats = text_of(out);
        g_oamlog_boot_pick = -1;
        size_t in_boot = 0;
        for (size_t at = placed.find(" b" + std::to_string(i)); at != std::string::npos;
             at = placed.find(" b" + std::to_string(i), at + 1)) {
            in_boot += at + 3 == placed.size() || placed[at + 3] == ' ' ? 1 : 0;
        }
        const size_t row = stats.find("\nwifi ");
        ASSERT_NE(row, std::string::npos) << stats;
        unsigned long files = 0;
        unsigned long records = 0;
        ASSERT_EQ(sscanf(stats.c_str() + row, "\nwifi %lu %lu", &files, &records), 2);
        EXPECT_EQ(records, in_boot) << "boot " << i << "\n" << stats;
        // --since and --until (as typed, in UTC) from the boot's first to its
        // last record: every record placed in between, with --boot the boot's.
        uint64_t window[2] = {UINT64_MAX, 0};
        for (const oamlog_rec &r : recs) {
            window[0] = r.boot == i ? std::min(window[0], r.key) : window[0];
            window[1] = r.boot == i ? std::max(window[1], r.key) : window[1];
        }
        for (int end = 0; end < 2 && in_boot > 0; ++end) {
            char utc[40];
            oamlog_utc_text(utc, sizeof(utc), window[end], 'T');
            ASSERT_EQ(oamlog_parse_time((std::string(utc) + "Z").c_str(), end == 1, &window[end]), 0) << utc;
        }
        const auto in_window = static_cast<size_t>(std::count_if(
            recs.begin(), recs.end(), [&](const oamlog_rec &r) { return r.key >= window[0] && r.key <= window[1]; }));
        for (const long pick : {-1L, i}) {
            g_oamlog_boot_pick = pick;
            std::vector<oamlog_source> again{wifi_source(root)};
            FILE *win = tmpfile();
            oamlog_stats(win, again, false, window[0], window[1]);
            g_oamlog_boot_pick = -1;
            const std::string counted = text_of(win);
            unsigned long got = 0;
            const size_t wifi = counted.find("\nwifi ");
            ASSERT_EQ(wifi == std::string::npos ? 0 : sscanf(counted.c_str() + wifi, "\nwifi %*u %lu", &got), 1);
            EXPECT_EQ(got, in_boot > 0 ? (pick < 0 ? in_window : in_boot) : 0) << "boot " << i << " window, --boot " << pick;
        }
        const size_t said = stats.find("unclean end:");
        unclean += said == std::string::npos ? "" : stats.substr(said);
    }
    EXPECT_EQ(unclean, c.unclean != nullptr ? c.unclean : "");
    captured outside;  // a window before every line
    oamlog_list_unclean(outside.f, false, 0, 1);
    EXPECT_EQ(outside.text(), "");
    // A record's place does not depend on the older files.
    if (c.older > 0) {
        ASSERT_EQ(unlink((root + "wifi_log/wifi_log_2").c_str()), 0);
        std::string tail = c.placed;
        for (size_t i = 0; i < c.older; ++i) {
            tail.erase(0, tail.find(" | ") + 3);
        }
        for (const bool follow : {false, true}) {
            EXPECT_EQ(read_placed(follow), tail) << (follow ? "-f" : "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Journals, OamlogPlace, ::testing::ValuesIn(place_cases()),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

}  // namespace
