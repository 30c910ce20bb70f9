#include "support/bounded.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace {

bool all_bytes(const unsigned char *p, size_t n, unsigned char v)
{
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != v) {
            return false;
        }
    }
    return true;
}

TEST(MemcpyS, CopiesWhenItFitsAndClearsWhenItDoesNot)
{
    std::array<unsigned char, 17> src{};
    for (size_t i = 0; i < src.size(); ++i) {
        src[i] = static_cast<unsigned char>(i + 1);
    }
    std::array<unsigned char, 16> dst{};

    EXPECT_EQ(memcpy_s(dst.data(), dst.size(), src.data(), 16), EOK);
    EXPECT_EQ(std::memcmp(dst.data(), src.data(), 16), 0);

    EXPECT_EQ(memcpy_s(dst.data(), dst.size(), src.data(), 17), ERR_RANGE_CLEARED);
    EXPECT_TRUE(all_bytes(dst.data(), dst.size(), 0));

    dst.fill(0x55);
    EXPECT_EQ(memcpy_s(dst.data(), dst.size(), nullptr, 4), ERR_INVAL_CLEARED);
    EXPECT_TRUE(all_bytes(dst.data(), dst.size(), 0));

    EXPECT_EQ(memcpy_s(nullptr, 16, src.data(), 4), EINVAL);

    // Out-of-range capacity outranks every other fault and writes nothing.
    dst.fill(0x55);
    EXPECT_EQ(memcpy_s(dst.data(), 0, src.data(), 4), ERANGE);
    EXPECT_EQ(memcpy_s(dst.data(), BOUNDED_MEM_MAX_LEN + 1, nullptr, 4), ERANGE);
    EXPECT_EQ(memcpy_s(nullptr, 0, nullptr, 4), ERANGE);
    EXPECT_EQ(memcpy_s(dst.data(), 0, src.data(), 0), ERANGE);
    EXPECT_TRUE(all_bytes(dst.data(), dst.size(), 0x55));

    EXPECT_EQ(memcpy_s(dst.data(), dst.size(), src.data(), 0), EOK);
    EXPECT_TRUE(all_bytes(dst.data(), dst.size(), 0x55));

    // A null source is reported before a count that does not fit.
    EXPECT_EQ(memcpy_s(dst.data(), dst.size(), nullptr, 99), ERR_INVAL_CLEARED);
}

TEST(MemcpyS, OverlapClearsWholeCapacity)
{
    std::array<unsigned char, 32> buf{};
    for (size_t i = 0; i < buf.size(); ++i) {
        buf[i] = static_cast<unsigned char>(i + 1);
    }
    // Destination 4 above the source, 8 bytes.
    EXPECT_EQ(memcpy_s(buf.data() + 4, 12, buf.data(), 8), ERR_OVERLAP_CLEARED);
    EXPECT_TRUE(all_bytes(buf.data() + 4, 12, 0));
    EXPECT_EQ(buf[3], 4);
    EXPECT_EQ(buf[16], 17);

    // Destination below the source, overlapping.
    for (size_t i = 0; i < buf.size(); ++i) {
        buf[i] = static_cast<unsigned char>(i + 1);
    }
    EXPECT_EQ(memcpy_s(buf.data(), 8, buf.data() + 4, 8), ERR_OVERLAP_CLEARED);
    EXPECT_TRUE(all_bytes(buf.data(), 8, 0));

    // Adjacent ranges do not overlap.
    for (size_t i = 0; i < buf.size(); ++i) {
        buf[i] = static_cast<unsigned char>(i + 1);
    }
    EXPECT_EQ(memcpy_s(buf.data() + 8, 8, buf.data(), 8), EOK);
    EXPECT_EQ(buf[8], 1);
    EXPECT_EQ(buf[15], 8);

    // A copy onto itself is allowed and changes nothing.
    EXPECT_EQ(memcpy_s(buf.data(), 16, buf.data(), 16), EOK);
    EXPECT_EQ(buf[0], 1);
}

TEST(MemsetS, FillsAndOverflowFillsCapacityWithTheByte)
{
    std::array<unsigned char, 10> buf{};
    buf.fill(0);
    EXPECT_EQ(memset_s(buf.data(), 8, 0x41, 9), ERR_RANGE_CLEARED);
    EXPECT_TRUE(all_bytes(buf.data(), 8, 0x41));
    EXPECT_EQ(buf[8], 0); // never beyond the capacity

    EXPECT_EQ(memset_s(buf.data(), 8, 0x7E, 3), EOK);
    EXPECT_TRUE(all_bytes(buf.data(), 3, 0x7E));
    EXPECT_EQ(buf[3], 0x41);

    EXPECT_EQ(memset_s(buf.data(), 0, 0x11, 0), EOK);
    EXPECT_EQ(memset_s(buf.data(), 0, 0x11, 1), ERANGE);
    EXPECT_EQ(memset_s(buf.data(), BOUNDED_MEM_MAX_LEN + 1, 0x11, 1), ERANGE);
    EXPECT_EQ(memset_s(nullptr, 8, 0x11, 1), EINVAL);
    EXPECT_EQ(buf[0], 0x7E);
}

TEST(StrncpyS, CutsAtCountAndRefusesWhatDoesNotFit)
{
    char dst[6] = "zzzzz";
    EXPECT_EQ(strncpy_s(dst, 5, "abcdef", 4), EOK);
    EXPECT_STREQ(dst, "abcd");

    EXPECT_EQ(strncpy_s(dst, 5, "abcdef", 5), ERR_RANGE_CLEARED);
    EXPECT_STREQ(dst, "");

    std::strcpy(dst, "xy");
    EXPECT_EQ(strncpy_s(dst, 5, "abc", 0), EOK);
    EXPECT_STREQ(dst, "");

    // Exactly capacity - 1 characters fit with the terminator.
    EXPECT_EQ(strncpy_s(dst, 5, "abcd", 5), EOK);
    EXPECT_STREQ(dst, "abcd");
    EXPECT_EQ(strncpy_s(dst, 5, "ab", 100), EOK);
    EXPECT_STREQ(dst, "ab");

    std::strcpy(dst, "keep");
    EXPECT_EQ(strncpy_s(dst, 0, "a", 1), ERANGE);
    EXPECT_EQ(strncpy_s(dst, BOUNDED_STRING_MAX_LEN + 1, "a", 1), ERANGE);
    EXPECT_STREQ(dst, "keep");
    EXPECT_EQ(strncpy_s(nullptr, 5, "a", 1), EINVAL);

    EXPECT_EQ(strncpy_s(dst, 5, nullptr, 1), ERR_INVAL_CLEARED);
    EXPECT_STREQ(dst, "");
    std::strcpy(dst, "keep");
    EXPECT_EQ(strncpy_s(dst, 5, "a", BOUNDED_STRING_MAX_LEN + 1), ERR_RANGE_CLEARED);
    EXPECT_STREQ(dst, "");
}

TEST(StrncpyS, CountsTheTerminatorInOverlap)
{
    char buf[16] = "abcdefgh";
    // Destination right at the end of a 3-character copy: the terminator
    // would land on the source.
    EXPECT_EQ(strncpy_s(buf + 3, 8, buf, 3), ERR_OVERLAP_CLEARED);
    EXPECT_EQ(buf[3], '\0');

    std::strcpy(buf, "abcdefgh");
    EXPECT_EQ(strncpy_s(buf + 4, 8, buf, 3), EOK);
    EXPECT_STREQ(buf + 4, "abc");

    std::strcpy(buf, "abcdefgh");
    EXPECT_EQ(strncpy_s(buf, 8, buf + 3, 3), ERR_OVERLAP_CLEARED);
    EXPECT_EQ(buf[0], '\0');

    std::strcpy(buf, "abcdefgh");
    EXPECT_EQ(strncpy_s(buf, 8, buf + 4, 3), EOK);
    EXPECT_STREQ(buf, "efg");

    std::strcpy(buf, "abc");
    EXPECT_EQ(strncpy_s(buf, 8, buf, 8), EOK);
    EXPECT_STREQ(buf, "abc");
}

}  // namespace
