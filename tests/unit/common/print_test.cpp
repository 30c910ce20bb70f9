#include "common/oam_print_levels.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The levels a reader of the journal filters on: failures alone at "err",
// losses and refusals at "warning", nothing routine above "info".
TEST(PrintLevels, FormatsTakeTheirLevelFromTheTable)
{
    const struct {
        const char *fmt;
        int level;
    } cases[] = {
        {"[%s:%d]write wifi log file err;errno:%s\n", 3},
        {"[%s:%d]open %s failed;errno:%s\n\n", 3},
        {"[%s:%d]can't open %s;errno:%s\n\n", 3},
        {"[%s:%d]cmd %s ioctl send error;errno:%s\n\n", 3},
        {"recv:: %s\n", 3},
        {"recv:: connection closed by the tool\n", 6},
        {"[%s:%d]wifi log messages lost: netlink receive buffer overrun, %u overruns so far\n\n", 4},
        {"[%s:%d]zr400x ignore me thread create\n\n", 4},
        {"[%s:%d]read ini cfg fail: ini_plat_dfr_cfg_str = %s\n\n", 4},
        {"[%s:%d]get_cust_conf_int32 fail\n\n", 4},
        {"[%s:%d]not find %s!!!\n", 4},
        {"[%s:%d]first argument is neither test nor wvt: taken as normal mode\n", 4},
        {"[%s:%d]accept is start\n\n", 6},
        {"[%s:%d]have end of .ini file!!!;errno:%s\n", 6},
        {"[%s:%d]dir %s not exist,create success!\n", 6},
        {"[%s:%d]oam_netlink_recv_pthread\n\n", 6},
        {"[%s:%d]memdump wifi rotate pthread create\n\n", 6},
        {"[%s:%d]%s:: entry\n\n", 7},
        {"[%s:%d]%s: recv VTL data, len=%d\n\n", 7},
        {"[%s:%d] Netlink Sending message %d bytes....\n\n", 7},
        {"[%s:%d] Netlink Sending message fail....\n\n", 3},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(oam_print_level(c.fmt), c.level) << c.fmt;
    }
}

// The prefix only when standard output is the stream the journal named.
TEST(PrintLevels, PrefixOnlyOnTheJournalsStream)
{
    for (const bool named : {true, false}) {
        testing::internal::CaptureStdout();
        struct stat st {};
        ASSERT_EQ(fstat(STDOUT_FILENO, &st), 0);
        const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + (named ? 0 : 1));
        setenv("JOURNAL_STREAM", stream.c_str(), 1);
        oam_print_levels_init();
        oam_printf("[%s:%d]open %s failed\n", "f", 1, "x");
        oam_printf("[%s:%d]%s:: entry\n\n", "f", 2, "f");
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  named ? "<3>[f:1]open x failed\n<7>[f:2]f:: entry\n\n" : "[f:1]open x failed\n[f:2]f:: entry\n\n");
    }
    unsetenv("JOURNAL_STREAM");
    oam_print_levels_init();
}

// Each stream is judged by its own descriptor: the journal may take one of
// them while the other goes to a file.
TEST(PrintLevels, EachStreamPrefixedOnlyWhenItIsTheJournals)
{
    for (const int journal_fd : {STDOUT_FILENO, STDERR_FILENO}) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        struct stat st {};
        ASSERT_EQ(fstat(journal_fd, &st), 0);
        const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        setenv("JOURNAL_STREAM", stream.c_str(), 1);
        oam_print_levels_init();
        oam_printf("[%s:%d]open %s failed\n", "f", 1, "x");
        oam_eprintf("recv:: %s\n", "reset");
        fflush(stdout);
        fflush(stderr);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(out, journal_fd == STDOUT_FILENO ? "<3>[f:1]open x failed\n" : "[f:1]open x failed\n");
        EXPECT_EQ(err, journal_fd == STDERR_FILENO ? "<3>recv:: reset\n" : "recv:: reset\n");
    }
    unsetenv("JOURNAL_STREAM");
    oam_print_levels_init();
}

// Lines held before start-up decides to run come out in order, also when
// they outgrow what is held and the rest is printed as it comes.
TEST(PrintLevels, HeldLinesComeOutWholeAndInOrder)
{
    testing::internal::CaptureStdout();
    oam_print_hold();
    std::string expected;
    const std::string text(100, 'x');
    for (int i = 0; i < 40; ++i) {
        oam_printf("[%s:%d]%s\n", "held", i, text.c_str());
        expected += "[held:" + std::to_string(i) + "]" + text + "\n";
    }
    oam_print_release(true);
    oam_printf("[%s:%d]%s\n", "after", 1, "out");
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected + "[after:1]out\n");
}

}  // namespace
