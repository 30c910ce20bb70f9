#include "common/oam_journal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

// The text with the digits of every time in it masked: "####-##-## ##:##:##.###".
std::string masked(std::string text)
{
    auto mask = [&text](size_t from, size_t to) {
        for (size_t i = from; i < to && i < text.size(); ++i) {
            text[i] = text[i] >= '0' && text[i] <= '9' ? '#' : text[i];
        }
    };
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
        mask(at, at + 23);  // the line's stamp
        if (text.find('\n', at) == std::string::npos) {
            break;
        }
    }
    for (size_t at = 0; (at = text.find(" to ", at)) != std::string::npos; ++at) {
        mask(at - 12, at + 16);  // a loss's first and last time
    }
    return text;
}

const std::string STAMP = "####-##-## ##:##:##.###";
const std::string TIME = "##:##:##.###";

TEST_F(Journal, EventAndLossLinesReadAsDocumented)
{
    ASSERT_EQ(oam_journal_open(path.c_str(), OAM_JOURNAL_MAX_BYTES), 0);
    oam_journal_event(OAM_J_WIFI, "dump-reported", "%s", "readm_wifi_sdio");
    oam_journal_event(OAM_J_OAM, "stop", "%s", "");
    oam_journal_event(OAM_J_OAM, "tool-dropped", "%s", "two\nlines");
    // A loss is held while it lasts and written when it ends.
    oam_journal_lost(OAM_J_BFG, OAM_LOSS_WRITE, ENOSPC, 3);
    oam_journal_lost(OAM_J_BFG, OAM_LOSS_WRITE, ENOSPC, 2);
    oam_journal_lost(OAM_J_ME, OAM_LOSS_OPEN, ENOENT, 1);
    oam_journal_lost(OAM_J_WIFI, OAM_LOSS_TOO_LONG, 0, 1);
    oam_journal_lost(OAM_J_WIFI, OAM_LOSS_OVERRUNS, 0, 4);
    const std::string held = read_text(path);
    EXPECT_EQ(std::count(held.begin(), held.end(), '\n'), 3);
    oam_journal_stored(OAM_J_BFG);
    oam_journal_stored(OAM_J_ME);
    oam_journal_flush();
    const std::string expected(
        STAMP + " wifi dump-reported readm_wifi_sdio\n" + STAMP + " oam stop\n" + STAMP + " oam tool-dropped two lines\n" +
        STAMP + " bfg lost 5 records: no space left on device, " + TIME + " to " + TIME + "\n" + STAMP +
        " me lost 1 records: file 1 not opened, no such file or directory, " + TIME + " to " + TIME + "\n" + STAMP +
        " wifi lost 1 records: message too long, " + TIME + " to " + TIME + "\n" + STAMP +
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

// A FIFO or another file linked in under the journal's name is neither
// waited on nor written; the journal is simply not kept.
TEST_F(Journal, NeverWritesWhatIsNotAFileOfItsOwn)
{
    const fs::path other = dir / "other";
    std::ofstream(other) << "kept\n";
    for (int kind : {0, 1}) {
        fs::remove(path);
        ASSERT_EQ(kind == 0 ? mkfifo(path.c_str(), 0600) : link(other.c_str(), path.c_str()), 0);
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
    oam_journal_flush();
    EXPECT_EQ(masked(read_text(path)), STAMP + " wifi lost 9 records: no space left on device, " + TIME + " to " + TIME + "\n");
}

}  // namespace
