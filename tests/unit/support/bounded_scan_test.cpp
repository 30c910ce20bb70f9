#include "support/bounded.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {

TEST(SscanfS, IntegerConversions)
{
    int i = 0;
    unsigned u = 0;
    EXPECT_EQ(sscanf_s("0x1F", "%x", &u), 1);
    EXPECT_EQ(u, 31U);
    EXPECT_EQ(sscanf_s("1f", "%X", &u), 1);
    EXPECT_EQ(u, 31U);
    EXPECT_EQ(sscanf_s("0X10", "%x", &u), 1);
    EXPECT_EQ(u, 16U);

    i = 7;
    EXPECT_LT(sscanf_s("abc", "%d", &i), 1);
    EXPECT_EQ(i, 7);

    EXPECT_EQ(sscanf_s("  -3", "%d", &i), 1);
    EXPECT_EQ(i, -3);
    EXPECT_EQ(sscanf_s("+12abc", "%d", &i), 1); // stops at the first non-digit
    EXPECT_EQ(i, 12);
    EXPECT_EQ(sscanf_s("778", "%o", &u), 1);
    EXPECT_EQ(u, 63U);
    EXPECT_EQ(sscanf_s("-1", "%u", &u), 1);
    EXPECT_EQ(u, UINT_MAX);
    EXPECT_EQ(sscanf_s("FFFFFFFF", "%x", &u), 1);
    EXPECT_EQ(u, 0xFFFFFFFFU);

    EXPECT_EQ(sscanf_s("0x1f", "%i", &i), 1);
    EXPECT_EQ(i, 31);
    EXPECT_EQ(sscanf_s("017", "%i", &i), 1);
    EXPECT_EQ(i, 15);
    EXPECT_EQ(sscanf_s("-25", "%i", &i), 1);
    EXPECT_EQ(i, -25);

    // "0x" without a hex digit after it is the number 0; the 'x' stays.
    char c = 0;
    EXPECT_EQ(sscanf_s("0xg", "%x%c", &u, &c, 1U), 2);
    EXPECT_EQ(u, 0U);
    EXPECT_EQ(c, 'x');

    // A sign alone is no number.
    EXPECT_EQ(sscanf_s("-", "%d", &i), 0);
}

TEST(SscanfS, OutOfRangeIntegersSaturate)
{
    int i = 0;
    EXPECT_EQ(sscanf_s("99999999999", "%d", &i), 1);
    EXPECT_EQ(i, INT_MAX);
    EXPECT_EQ(sscanf_s("-99999999999", "%d", &i), 1);
    EXPECT_EQ(i, INT_MIN);
    EXPECT_EQ(sscanf_s("-2147483648", "%d", &i), 1);
    EXPECT_EQ(i, INT_MIN);
    EXPECT_EQ(sscanf_s("99999999999999999999999", "%d", &i), 1);
    EXPECT_EQ(i, INT_MAX);
    unsigned u = 0;
    EXPECT_EQ(sscanf_s("1FFFFFFFF", "%x", &u), 1);
    EXPECT_EQ(u, UINT_MAX);
}

TEST(SscanfS, LengthModifiers)
{
    signed char hh = 0;
    unsigned char uhh = 0;
    short h = 0;
    long l = 0;
    long long ll = 0;
    unsigned long long ull = 0;
    intmax_t j = 0;
    size_t z = 0;
    ptrdiff_t t = 0;
    EXPECT_EQ(sscanf_s("300 255 -200 ", "%hhd %hhu %hd", &hh, &uhh, &h), 3);
    EXPECT_EQ(hh, 127);
    EXPECT_EQ(uhh, 255);
    EXPECT_EQ(h, -200);
    EXPECT_EQ(sscanf_s("-5000000000 123456789012 ffffffffffffffff", "%ld %lld %llx", &l, &ll, &ull), 3);
    // Saturates where long has 32 bits.
    EXPECT_EQ(l, static_cast<long>(std::max(-5000000000LL, static_cast<long long>(LONG_MIN))));
    EXPECT_EQ(ll, 123456789012LL);
    EXPECT_EQ(ull, ~0ULL);
    EXPECT_EQ(sscanf_s("-7 8 -9", "%jd %zu %td", &j, &z, &t), 3);
    EXPECT_EQ(j, -7);
    EXPECT_EQ(z, 8U);
    EXPECT_EQ(t, -9);
}

TEST(SscanfS, WidthAndSuppression)
{
    int a = 0;
    int b = 0;
    EXPECT_EQ(sscanf_s("12345", "%2d%3d", &a, &b), 2);
    EXPECT_EQ(a, 12);
    EXPECT_EQ(b, 345);
    // The sign and the prefix count against the width.
    EXPECT_EQ(sscanf_s("-123", "%2d%d", &a, &b), 2);
    EXPECT_EQ(a, -1);
    EXPECT_EQ(b, 23);
    unsigned u = 0;
    EXPECT_EQ(sscanf_s("0x1F", "%3x", &u), 1);
    EXPECT_EQ(u, 1U);

    // Suppressed fields take no argument and are not counted.
    EXPECT_EQ(sscanf_s("1 2", "%*d %d", &a), 1);
    EXPECT_EQ(a, 2);
    char word[8];
    EXPECT_EQ(sscanf_s("skip keep", "%*s %s", word, 8U), 1);
    EXPECT_STREQ(word, "keep");
    EXPECT_EQ(sscanf_s("abcdefgh", "%*3c%s", word, 8U), 1);
    EXPECT_STREQ(word, "defgh");
    EXPECT_EQ(sscanf_s("abc,5", "%*[a-z],%d", &a), 1);
    EXPECT_EQ(a, 5);
}

TEST(SscanfS, StringNeverWritesPastItsSize)
{
    char buf[5];
    std::memset(buf, 'G', sizeof buf);
    int n = 99;
    // Four characters need five bytes: refused, emptied, fifth byte untouched.
    EXPECT_EQ(sscanf_s("abcd 7", "%s %d", buf, 4U, &n), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[4], 'G');
    EXPECT_EQ(n, 99);

    std::memset(buf, 'G', sizeof buf);
    EXPECT_EQ(sscanf_s("  abc 7", "%s %d", buf, 4U, &n), 2);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'G');
    EXPECT_EQ(n, 7);

    // The count so far is returned when a later field does not fit.
    std::memset(buf, 'G', sizeof buf);
    EXPECT_EQ(sscanf_s("5 abcdef", "%d %s", &n, buf, 4U), 1);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[4], 'G');

    // A width keeps a long word within the size.
    std::memset(buf, 'G', sizeof buf);
    EXPECT_EQ(sscanf_s("abcdef", "%3s", buf, 4U), 1);
    EXPECT_STREQ(buf, "abc");

    // Size 0: nothing at all is written.
    std::memset(buf, 'G', sizeof buf);
    EXPECT_EQ(sscanf_s("a", "%s", buf, 0U), 0);
    EXPECT_EQ(buf[0], 'G');

    EXPECT_EQ(sscanf_s("a", "%s", static_cast<char *>(nullptr), 4U), -1);
}

TEST(SscanfS, CharacterAndScanSet)
{
    char buf[6];
    std::memset(buf, 'G', sizeof buf);
    EXPECT_EQ(sscanf_s(" xyz", "%c", buf, 1U), 1); // white space is a character here
    EXPECT_EQ(buf[0], ' ');
    EXPECT_EQ(buf[1], 'G');

    std::memset(buf, 'G', sizeof buf);
    EXPECT_EQ(sscanf_s("xyzw", "%3c", buf, 3U), 1); // exactly the width, no terminator
    EXPECT_EQ(std::memcmp(buf, "xyzG", 4), 0);

    std::memset(buf, 'G', sizeof buf);
    EXPECT_EQ(sscanf_s("xyzw", "%3c", buf, 2U), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[2], 'G');

    EXPECT_EQ(sscanf_s("ab", "%3c", buf, 6U), -1); // the input ends inside the field

    int n = 0;
    EXPECT_EQ(sscanf_s("abc123", "%[a-z]%d", buf, 6U, &n), 2);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(n, 123);
    EXPECT_EQ(sscanf_s("key,5", "%[^,],%d", buf, 6U, &n), 2);
    EXPECT_STREQ(buf, "key");
    EXPECT_EQ(n, 5);
    EXPECT_EQ(sscanf_s("]a]b", "%[]a]", buf, 6U), 1);
    EXPECT_STREQ(buf, "]a]");
    EXPECT_EQ(sscanf_s("a-b-c!", "%[a-]", buf, 6U), 1);
    EXPECT_STREQ(buf, "a-");
    EXPECT_EQ(sscanf_s("x y", "%[^ ]", buf, 6U), 1);
    EXPECT_STREQ(buf, "x");
    EXPECT_EQ(sscanf_s("   y", "%[a-z]", buf, 6U), 0); // no leading white space skip

    std::memset(buf, 'G', sizeof buf);
    EXPECT_EQ(sscanf_s("abcdefgh", "%[a-z]", buf, 5U), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[5], 'G');
    EXPECT_EQ(sscanf_s("abcdefgh", "%4[a-z]", buf, 5U), 1);
    EXPECT_STREQ(buf, "abcd");

    EXPECT_EQ(sscanf_s("abc", "%[a-z", buf, 6U), 0); // open scan set
}

TEST(SscanfS, LiteralsPercentAndCount)
{
    int a = 0;
    int b = 0;
    int pos = 0;
    EXPECT_EQ(sscanf_s("a=5", "a=%d", &a), 1);
    EXPECT_EQ(a, 5);
    EXPECT_EQ(sscanf_s("a=5", "b=%d", &a), 0);
    EXPECT_EQ(sscanf_s("50% 6", "%d%% %d", &a, &b), 2);
    EXPECT_EQ(b, 6);
    EXPECT_EQ(sscanf_s("50 6", "%d%%%d", &a, &b), 1);
    EXPECT_EQ(sscanf_s("123 x", "%d%n", &a, &pos), 1); // %n is not counted
    EXPECT_EQ(pos, 3);
    EXPECT_EQ(sscanf_s("  7  ", " %d %n", &a, &pos), 1);
    EXPECT_EQ(pos, 5);
    EXPECT_EQ(sscanf_s("1\t\n2", "%d %d", &a, &b), 2);
    EXPECT_EQ(b, 2);
}

TEST(SscanfS, FailuresAndStops)
{
    int a = 0;
    int b = 0;
    EXPECT_EQ(sscanf_s("", "%d", &a), -1);
    EXPECT_EQ(sscanf_s("   ", "%d", &a), -1); // input ends before any conversion
    EXPECT_EQ(sscanf_s("5", "%d %d", &a, &b), 1);
    EXPECT_EQ(sscanf_s("5", "%*d %d", &b), 0); // a conversion was completed
    EXPECT_EQ(sscanf_s("12 ab", "%d %d", &a, &b), 1);
    EXPECT_EQ(sscanf_s("a", "ab%d", &a), -1);
    EXPECT_EQ(sscanf_s("1 2.5 3", "%d %f %d", &a, &b), 1); // floating point ends the scan
    EXPECT_EQ(sscanf_s("1 2", "%d %", &a), 1);
    EXPECT_EQ(sscanf_s(nullptr, "%d", &a), -1);
    const char *volatile no_format = nullptr;
    EXPECT_EQ(sscanf_s("1", no_format, &a), -1);
    EXPECT_EQ(sscanf_s("1", "%d", static_cast<int *>(nullptr)), -1);
}

TEST(SscanfS, EmptyInputEmptiesFirstTextDestination)
{
    char buf[4] = "old";
    EXPECT_EQ(sscanf_s("", "%s", buf, 4U), -1);
    EXPECT_STREQ(buf, "");
    std::strcpy(buf, "old");
    EXPECT_EQ(sscanf_s("", "%c", buf, 4U), -1);
    EXPECT_EQ(buf[0], '\0');
    std::strcpy(buf, "old");
    EXPECT_EQ(sscanf_s("", "x%%%[a-z]", buf, 4U), -1);
    EXPECT_EQ(buf[0], '\0');

    // Not when the size is 0, the field is suppressed, or the first
    // conversion stores a number.
    std::strcpy(buf, "old");
    EXPECT_EQ(sscanf_s("", "%s", buf, 0U), -1);
    EXPECT_STREQ(buf, "old");
    EXPECT_EQ(sscanf_s("", "%*s%s", buf, 4U), -1);
    EXPECT_STREQ(buf, "old");
    int n = 0;
    EXPECT_EQ(sscanf_s("", "%d%s", &n, buf, 4U), -1);
    EXPECT_STREQ(buf, "old");
}

}  // namespace
