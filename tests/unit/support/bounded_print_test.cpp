#include "support/bounded.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Null and "%n" formats are passed through variables, out of sight of the
// compiler's format check, to test the refusals.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
const char *volatile g_store_format = "ab%ncd";

TEST(SnprintfS, CountBelowCapacityKeepsCutText)
{
    char buf[9];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(snprintf_s(buf, 8, 7, "%s", "abcdefghij"), -1);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(buf[8], 'Z');

    EXPECT_EQ(snprintf_s(buf, 8, 7, "%d", 42), 2);
    EXPECT_STREQ(buf, "42");

    // Exactly count characters is not a cut.
    EXPECT_EQ(snprintf_s(buf, 8, 7, "%s", "abcdefg"), 7);
    EXPECT_STREQ(buf, "abcdefg");

    // A count well below the capacity bounds the text, not the capacity.
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(snprintf_s(buf, 8, 3, "%04d", 12345), -1);
    EXPECT_STREQ(buf, "123");
    EXPECT_EQ(buf[4], 'Z');

    EXPECT_EQ(snprintf_s(buf, 8, 0, "%s", "abc"), -1);
    EXPECT_STREQ(buf, "");
}

TEST(SnprintfS, CountAtOrAboveCapacityEmptiesWhenTooLong)
{
    char buf[9];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(snprintf_s(buf, 8, 8, "%s", "abcdefghij"), -1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(buf[8], 'Z');

    EXPECT_EQ(snprintf_s(buf, 8, 100, "%s", "abcdefg"), 7);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(snprintf_s(buf, 8, 8, "%s", "abcdefgh"), -1);
    EXPECT_STREQ(buf, "");
}

TEST(SnprintfS, ArgumentChecksInOrder)
{
    char buf[8] = "keep";
    EXPECT_EQ(snprintf_s(nullptr, 8, 7, "%d", 1), -1);
    EXPECT_EQ(snprintf_s(buf, 0, 7, "%d", 1), -1);
    EXPECT_EQ(snprintf_s(buf, BOUNDED_STRING_MAX_LEN + 1, 7, "%d", 1), -1);
    EXPECT_STREQ(buf, "keep");

    EXPECT_EQ(snprintf_s(buf, 8, BOUNDED_PRINT_MAX_COUNT + 1, "%d", 1), -1);
    EXPECT_STREQ(buf, "");

    std::strcpy(buf, "keep");
    const char *volatile no_format = nullptr;
    EXPECT_EQ(snprintf_s(buf, 8, 7, no_format), -1);
    EXPECT_STREQ(buf, "");

    // "%n" would store through an argument: refused as a format error.
    std::strcpy(buf, "keep");
    int stored = -5;
    EXPECT_EQ(snprintf_s(buf, 8, 7, g_store_format, &stored), -1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(stored, -5);
    EXPECT_EQ(snprintf_s(buf, 8, 7, "%%n"), 2); // a literal "%n" is only text
    EXPECT_STREQ(buf, "%n");
}

// Directives the C library would read otherwise than a lenient check does
// (an unknown length/conversion pair makes it re-read the format from that
// directive with its positional parser) are refused as a whole, so that no
// "%n" can hide behind them; neither function writes through the argument.
class PrintRefusesFormat : public ::testing::TestWithParam<const char *> {};

TEST_P(PrintRefusesFormat, RefusedWithoutStore)
{
    const char *volatile format = GetParam();
    char buf[16];
    int stored[4] = {-5, -5, -5, -5};
    std::strcpy(buf, "keep");
    EXPECT_EQ(snprintf_s(buf, sizeof buf, sizeof buf - 1, format, &stored[0], &stored[1], &stored[2], &stored[3]),
              -1);
    EXPECT_STREQ(buf, "");
    std::strcpy(buf, "keep");
    EXPECT_EQ(sprintf_s(buf, sizeof buf, format, &stored[0], &stored[1], &stored[2], &stored[3]), -1);
    EXPECT_STREQ(buf, "");
    for (const int v : stored) {
        EXPECT_EQ(v, -5);
    }
}

INSTANTIATE_TEST_SUITE_P(BoundedPrint, PrintRefusesFormat,
                         ::testing::Values("ab%ncd", "%hj%n", "%hj%%%hn", "%lh%n", "%zj%n", "%hn", "%lln",
                                           "%1$n", "%*3d%n", "%0$d%n", "%ls%n", "%Ld%n", "%5%%n", "%y%n", "%",
                                           "%1$d%d", "%65$d", "%1234567890d", "%.1234567890d", "%1$s%1$c",
                                           "%1$d%1$ld", "%1$*1$s", "%2$f%1$Lf%2$Lf"));

TEST(SnprintfS, AcceptedDirectives)
{
    char buf[64];
    EXPECT_EQ(snprintf_s(buf, sizeof buf, sizeof buf - 1, "%-3c|%+.2f|%hhx|%lld|%zu|%Lg|%%|%#o|%*d", 'c', 1.5,
                         0x1ff, -3LL, static_cast<size_t>(7), 2.5L, 8, 3, 4),
              31);
    EXPECT_STREQ(buf, "c  |+1.50|ff|-3|7|2.5|%|010|  4");
    EXPECT_EQ(snprintf_s(buf, sizeof buf, sizeof buf - 1, "%2$s-%1$s %3$*4$d", "a", "b", 5, 3), 7);
    EXPECT_STREQ(buf, "b-a   5");
}

TEST(SnprintfS, DaemonFormats)
{
    char buf[64];
    EXPECT_EQ(snprintf_s(buf, sizeof buf, sizeof buf - 1, "%s%s%d", "/vendor/log/wifi/", "wifi_log_", 3), 27);
    EXPECT_STREQ(buf, "/vendor/log/wifi/wifi_log_3");
    EXPECT_EQ(snprintf_s(buf, sizeof buf, sizeof buf - 1, "%02d:%4d:%o:%x", 5, 42, 8, 255), 13);
    EXPECT_STREQ(buf, "05:  42:10:ff");
}

TEST(SprintfS, EmptiesWhenTextDoesNotFit)
{
    char buf[6];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(sprintf_s(buf, 4, "%s", "abcd"), -1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(buf[4], 'Z');

    EXPECT_EQ(sprintf_s(buf, 4, "%s", "abc"), 3);
    EXPECT_STREQ(buf, "abc");

    std::strcpy(buf, "keep");
    EXPECT_EQ(sprintf_s(nullptr, 4, "x"), -1);
    EXPECT_EQ(sprintf_s(buf, 0, "x"), -1);
    EXPECT_EQ(sprintf_s(buf, BOUNDED_STRING_MAX_LEN + 1, "x"), -1);
    EXPECT_STREQ(buf, "keep");
    const char *volatile no_format = nullptr;
    EXPECT_EQ(sprintf_s(buf, 4, no_format), -1);
    EXPECT_STREQ(buf, "");
}

}  // namespace
