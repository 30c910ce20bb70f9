#include "common/oam_print_levels.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

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
        oam_printf(OAM_LEVEL_ERR, "[%s:%d]open %s failed\n", "f", 1, "x");
        oam_printf(OAM_LEVEL_DEBUG, "[%s:%d]%s:: entry\n\n", "f", 2, "f");
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
        oam_printf(OAM_LEVEL_ERR, "[%s:%d]open %s failed\n", "f", 1, "x");
        oam_eprintf(OAM_LEVEL_ERR, "recv:: %s\n", "reset");
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
// they outgrow what is held and the rest is printed as it comes, each with
// its own level.
TEST(PrintLevels, HeldLinesComeOutWholeAndInOrder)
{
    testing::internal::CaptureStdout();
    struct stat st {};
    ASSERT_EQ(fstat(STDOUT_FILENO, &st), 0);
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    oam_print_hold();
    std::string expected;
    const std::string text(100, 'x');
    for (int i = 0; i < 40; ++i) {
        oam_printf(i % 2 == 0 ? OAM_LEVEL_ERR : OAM_LEVEL_INFO, "[%s:%d]%s\n", "held", i, text.c_str());
        expected += (i % 2 == 0 ? "<3>[held:" : "<6>[held:") + std::to_string(i) + "]" + text + "\n";
    }
    oam_print_release(true);
    oam_printf(OAM_LEVEL_INFO, "[%s:%d]%s\n", "after", 1, "out");
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected + "<6>[after:1]out\n");
    unsetenv("JOURNAL_STREAM");
    oam_print_levels_init();
}

}  // namespace
