#include "common/oam_journal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string read_text(const fs::path &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Journal : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("journal_test_" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        path = dir / "oam_events";
    }
    void TearDown() override
    {
        oam_journal_flush();
        oam_journal_close();
        fs::remove_all(dir);
    }
    fs::path dir;
    fs::path path;
};

// The text with the digits of every time in it masked: "####-##-## ##:##:##.###+####".
std::string masked(std::string text)
{
    auto mask = [&text](size_t from, size_t to) {
        for (size_t i = from; i < to && i < text.size(); ++i) {
            text[i] = text[i] >= '0' && text[i] <= '9' ? '#' : text[i];
        }
    };
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
        mask(at, at + 28);  // the line's stamp
        if (text.find('\n', at) == std::string::npos) {
            break;
        }
    }
    for (size_t at = 0; (at = text.find(" to ", at)) != std::string::npos; ++at) {
        mask(at - 17, at + 21);  // a loss's first and last time
    }
    return text;
}

const std::string STAMP = "####-##-## ##:##:##.###+####";
const std::string TIME = "##:##:##.###+####";

TEST_F(Journal, EventAndLossLinesReadAsDocumented)
{
    ASSERT_EQ(oam_journal_open(path.c_str(), OAM_JOURNAL_MAX_BYTES), 0);
    oam_journal_event(OAM_J_WIFI, "dump-reported", "%s", "readm_wifi_sdio");
    oam_journal_event(OAM_J_OAM, "stop", "%s", "");
    oam_journal_event(OAM_J_OAM, "tool-dropped", "%s", "two\nlines");
    // A loss is held while it lasts and written when it ends.
    oam_journal_lost(OAM_J_BFG, OAM_LOSS_WRITE, ENOSPC, 3);
    oam_journal_lost(OAM_J_BFG, OAM_LOSS_WRITE, ENOSPC, 2);
    oam_journal_lost(OAM_J_BFG, OAM_LOSS_WRITE, EIO, 1);
    oam_journal_lost(OAM_J_ME, OAM_LOSS_OPEN, ENOENT, 1);
    oam_journal_lost(OAM_J_WIFI, OAM_LOSS_TOO_LONG, 0, 1);
    oam_journal_lost(OAM_J_WIFI, OAM_LOSS_OVERRUNS, 0, 4);
    oam_journal_lost(OAM_J_WIFI, OAM_LOSS_KERNEL, 0, 6);
    // Another error behind the same cause wrote the first one's line.
    const std::string held = read_text(path);
    EXPECT_EQ(std::count(held.begin(), held.end(), '\n'), 4);
    oam_journal_stored(OAM_J_BFG);
    oam_journal_stored(OAM_J_ME);
    // Kernel drops go on between stored messages: held for the second.
    oam_journal_stored(OAM_J_WIFI);
    EXPECT_EQ(read_text(path).find("kernel"), std::string::npos);
    oam_journal_flush();
    const std::string expected(
        STAMP + " wifi dump-reported readm_wifi_sdio\n" + STAMP + " oam stop\n" + STAMP + " oam tool-dropped two lines\n" +
        STAMP + " bfg lost 5 records: no space left on device, " + TIME + " to " + TIME + "\n" + STAMP +
        " bfg lost 1 records: input/output error, " + TIME + " to " + TIME + "\n" + STAMP + " me lost 1 records: file 1 not opened, no such file or directory, " + TIME + " to " + TIME + "\n" + STAMP +
        " wifi lost 1 records: message too long, " + TIME + " to " + TIME + "\n" + STAMP +
        " wifi lost 6 records: receive buffer full, dropped by the kernel, " + TIME + " to " + TIME + "\n" + STAMP +
        " wifi lost 4 overruns: receive buffer overrun, no drop counter, " + TIME + " to " + TIME + "\n");
    EXPECT_EQ(masked(read_text(path)), expected);
}

TEST_F(Journal, RotatesIntoTwoFilesOfWholeLines)
{
    ASSERT_EQ(oam_journal_open(path.c_str(), 300), 0);
    for (int i = 0; i < 40; ++i) {
        oam_journal_event(OAM_J_OAM, "tool-connected", "number %02d", i);
    }
    const std::string old_text = read_text(dir / "oam_events.1");
    const std::string text = read_text(path);
    EXPECT_LE(old_text.size(), 300U);
    EXPECT_LE(text.size(), 300U);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
    // Whole lines only, the newest last.
    for (const std::string &half : {old_text, text}) {
        std::istringstream in(half);
        for (std::string line; std::getline(in, line);) {
            EXPECT_EQ(masked(line).substr(0, STAMP.size() + 27), STAMP + " oam tool-connected number ") << line;
            EXPECT_EQ(line.size(), STAMP.size() + 29) << line;
        }
        EXPECT_EQ(half.back(), '\n');
    }
    EXPECT_EQ(text.substr(text.size() - 10), "number 39\n");
}

// A FIFO, or another file linked in under the journal's name (hard or
// symbolic), is neither waited on nor written; the journal is not kept.
TEST_F(Journal, NeverWritesWhatIsNotAFileOfItsOwn)
{
    const fs::path other = dir / "other";
    std::ofstream(other) << "kept\n";
    for (int kind : {0, 1, 2}) {
        fs::remove(path);
        ASSERT_EQ(kind == 0   ? mkfifo(path.c_str(), 0600)
                  : kind == 1 ? link(other.c_str(), path.c_str())
                              : symlink(other.c_str(), path.c_str()),
                  0);
        EXPECT_EQ(oam_journal_open(path.c_str(), OAM_JOURNAL_MAX_BYTES), -1) << kind;
        oam_journal_event(OAM_J_OAM, "start", "%s", "");
        oam_journal_close();
    }
    EXPECT_EQ(read_text(other), "kept\n");
}

TEST_F(Journal, LossHeldUntilAWriteSucceedsAgain)
{
    // Every line rotates, and with the folder gone none can be written.
    ASSERT_EQ(oam_journal_open(path.c_str(), 1), 0);
    fs::remove_all(dir);
    oam_journal_lost(OAM_J_WIFI, OAM_LOSS_WRITE, ENOSPC, 7);
    oam_journal_stored(OAM_J_WIFI);
    oam_journal_lost(OAM_J_WIFI, OAM_LOSS_WRITE, ENOSPC, 2);
    oam_journal_stored(OAM_J_WIFI);
    fs::create_directories(dir);
    // Tried again a second after the failed try, not only at a dump or stop.
    for (int i = 0; i < 500 && !fs::exists(path); ++i) {
        oam_journal_stored(OAM_J_WIFI);
        usleep(10000);
    }
    EXPECT_TRUE(fs::exists(path));
    oam_journal_flush();
    EXPECT_EQ(masked(read_text(path)), STAMP + " wifi lost 9 records: no space left on device, " + TIME + " to " + TIME + "\n");
}

// A line the disk took only in part is taken back: the next line starts
// where the cut one did.
TEST_F(Journal, ALineCutShortIsTakenBack)
{
    ASSERT_EQ(oam_journal_open(path.c_str(), OAM_JOURNAL_MAX_BYTES), 0);
    oam_journal_event(OAM_J_OAM, "start", "%s", "");
    const auto size = fs::file_size(path);
    rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = size + 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    oam_journal_event(OAM_J_OAM, "tool-connected", "%s", "");
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    signal(SIGXFSZ, old_handler);
    oam_journal_event(OAM_J_OAM, "stop", "%s", "");
    EXPECT_EQ(masked(read_text(path)), STAMP + " oam start\n" + STAMP + " oam stop\n");
}

// After a power loss the journal may end in part of a line, or in zeros
// where the data of its last blocks never came, with lines behind them when
// later blocks made it: start-up takes the damage out (a loss of the oam
// core) and the run's first line starts on a line of its own.
struct journal_tail {
    const char *name;
    std::string before;
    std::string kept;  // what precedes the new line
    bool lost;         // a loss journalled for what was cut
};

class JournalTail : public Journal, public ::testing::WithParamInterface<journal_tail> {};

TEST_P(JournalTail, DamageTakenOutAndTheNextRunStartsOnALineOfItsOwn)
{
    std::ofstream(path, std::ios::binary) << GetParam().before;
    EXPECT_EQ(oam_journal_repair(path.c_str()), static_cast<int64_t>(GetParam().before.size() - GetParam().kept.size()));
    ASSERT_EQ(oam_journal_open(path.c_str(), OAM_JOURNAL_MAX_BYTES), 0);
    oam_journal_event(OAM_J_OAM, "start", "%s", "");
    oam_journal_flush();
    const std::string text = read_text(path);
    EXPECT_EQ(text.substr(0, GetParam().kept.size()), GetParam().kept);
    EXPECT_EQ(masked(text.substr(GetParam().kept.size())),
              STAMP + " oam start\n" +
                  (GetParam().lost ? STAMP + " oam lost 1 records: cut at the start after an unclean end, " + TIME +
                                         " to " + TIME + "\n"
                                   : ""));
    EXPECT_FALSE(fs::exists(path.string() + ".repair.tmp"));
}

const std::string WHOLE_LINE = "2026-12-09 10:00:03.000 oam start\n";
const std::string LATER_LINE = "2026-12-09 10:00:05.000+0000 wifi capture-started\n";

INSTANTIATE_TEST_SUITE_P(
    Tails, JournalTail,
    ::testing::Values(journal_tail{"empty", "", "", false}, journal_tail{"whole", WHOLE_LINE, WHOLE_LINE, false},
                      journal_tail{"cut_line", WHOLE_LINE + "2026-12-09 10:0", WHOLE_LINE, true},
                      journal_tail{"zeros", WHOLE_LINE + std::string(5, '\0'), WHOLE_LINE, true},
                      journal_tail{"one_byte", "2", "", true},
                      journal_tail{"zeros_with_lines_behind", WHOLE_LINE + std::string(4096, '\0') + LATER_LINE,
                                   WHOLE_LINE + LATER_LINE, true},
                      journal_tail{"zeros_inside_a_line", WHOLE_LINE + "2026-12-09 10:00:04" + std::string(7, '\0') +
                                                              " oam x\n" + LATER_LINE + LATER_LINE,
                                   WHOLE_LINE + LATER_LINE + LATER_LINE, true}),
    [](const ::testing::TestParamInfo<journal_tail> &row) { return std::string(row.param.name); });

// The periodic sync is armed by the first write after a sync only: the
// writes behind it cost a load, and a sync taken disarms it for the next.
TEST_F(Journal, FirstWriteAfterASyncArmsTheNext)
{
    ASSERT_EQ(oam_journal_open(path.c_str(), OAM_JOURNAL_MAX_BYTES), 0);
    oam_sync_armed_logs();
    EXPECT_EQ(g_sync_armed, 0);
    oam_journal_event(OAM_J_OAM, "start", "%s", "");
    EXPECT_EQ(g_sync_armed, 1);
    oam_sync_note_write();
    oam_sync_wait_armed();
    oam_sync_armed_logs();
    EXPECT_EQ(g_sync_armed, 0);
    oam_sync_note_write();
    EXPECT_EQ(g_sync_armed, 1);
    oam_sync_wait_armed();
    oam_sync_armed_logs();
}

// The run before this one, as the end of the journal (and of its older half)
// tells it.
struct last_run_case {
    const char *name;
    std::string current;
    std::string older;
    bool unclean;
    long pid;
    const char *started;
    const char *boot;
    const char *last_line;
    bool tail_cut = false;  // repaired first: its damaged tail is taken out
};

class LastRun : public Journal, public ::testing::WithParamInterface<last_run_case> {};

TEST_P(LastRun, StartWithoutStopIsAnUncleanEnd)
{
    const last_run_case &c = GetParam();
    std::ofstream(path, std::ios::binary) << c.current;
    if (!c.older.empty()) {
        std::ofstream(path.string() + ".1", std::ios::binary) << c.older;
    }
    oam_last_run run {};
    const bool tail_cut = c.tail_cut && oam_journal_repair(path.c_str()) > 0;
    EXPECT_EQ(tail_cut, c.tail_cut);
    EXPECT_EQ(oam_journal_last_run(path.c_str(), tail_cut, &run), c.unclean ? 0 : -1);
    // The loss the repair holds goes into this journal, not the next test's.
    ASSERT_EQ(oam_journal_open(path.c_str(), OAM_JOURNAL_MAX_BYTES), 0);
    EXPECT_EQ(run.unclean, c.unclean);
    EXPECT_EQ(run.known, c.unclean || c.name != std::string("no_journal")) << c.name;
    if (c.unclean) {
        EXPECT_EQ(run.pid, c.pid);
        EXPECT_STREQ(run.started, c.started);
        EXPECT_STREQ(run.boot, c.boot);
        EXPECT_STREQ(run.last_line, c.last_line);
        EXPECT_LE(run.started_ts.tv_sec, run.last_ts.tv_sec);
        if (c.tail_cut) {
            // The run whose start was cut began after the last whole line.
            EXPECT_EQ(run.started_ts.tv_sec, run.last_ts.tv_sec);
        }
    }
}

const std::string START = "2026-12-09 10:00:03.250+0100 oam start version 1.0, mode test, chip zr4005, pid 4242, "
                          "boot 0c4e1d2a-5b6f-4e8a-9c1d-2b3a4c5d6e7f, boottime 12.500\n";
const std::string OLD_START = "2026-12-09 10:00:03.250 oam start version 0.9, mode test, chip zr4005, pid 17\n";
const std::string CAPTURE = "2026-12-09 10:00:09.125+0100 wifi capture-started /vendor/log/wifi_log/wifi_log_1\n";
const std::string STOP = "2026-12-09 10:01:00.000+0100 oam stop\n";

INSTANTIATE_TEST_SUITE_P(
    Journals, LastRun,
    ::testing::Values(
        last_run_case{"start_without_stop", START + CAPTURE, "", true, 4242, "2026-12-09 10:00:03.250+0100",
                      "0c4e1d2a-5b6f-4e8a-9c1d-2b3a4c5d6e7f", "2026-12-09 10:00:09.125+0100"},
        last_run_case{"old_journal_without_boot_id", OLD_START, "", true, 17, "2026-12-09 10:00:03.250", "",
                      "2026-12-09 10:00:03.250"},
        last_run_case{"boot_unknown_named_as_none",
                      "2026-12-09 10:00:03.250+0100 oam start version 1.0, mode test, chip zr4005, pid 9, "
                      "boot unknown, boottime 1.000\n",
                      "", true, 9, "2026-12-09 10:00:03.250+0100", "", "2026-12-09 10:00:03.250+0100"},
        last_run_case{"damaged_last_line_passed_over", START + CAPTURE + std::string("2026-12-09 10:00:10.000\0\0\0 x\n", 29), "", true, 4242,
                      "2026-12-09 10:00:03.250+0100", "0c4e1d2a-5b6f-4e8a-9c1d-2b3a4c5d6e7f",
                      "2026-12-09 10:00:09.125+0100"},
        last_run_case{"start_in_the_older_half", CAPTURE, START + CAPTURE, true, 4242, "2026-12-09 10:00:03.250+0100",
                      "0c4e1d2a-5b6f-4e8a-9c1d-2b3a4c5d6e7f", "2026-12-09 10:00:09.125+0100"},
        last_run_case{"clean_stop", START + CAPTURE + STOP, "", false, 0, "", "", ""},
        last_run_case{"start_line_cut_behind_a_stop", START + STOP + "2026-12-09 10:02:00.0", "", true, -1, "unknown",
                      "", "2026-12-09 10:01:00.000+0100", true},
        last_run_case{"nothing_whole_before_the_cut", std::string(9, '\0'), "", true, -1, "unknown", "", "unknown",
                      true},
        last_run_case{"stop_in_the_older_half", CAPTURE, START + STOP, false, 0, "", "", ""},
        last_run_case{"no_journal", "", "", false, 0, "", "", ""}),
    [](const ::testing::TestParamInfo<last_run_case> &row) { return std::string(row.param.name); });

}  // namespace
