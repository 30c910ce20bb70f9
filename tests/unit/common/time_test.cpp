#include "common/oam_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// A zone set for one test and the process's own put back after it.
class WithZone : public ::testing::Test {
protected:
    static void zone(const char *tz)
    {
        setenv("TZ", tz, 1);
    }
    void TearDown() override
    {
        unsetenv("TZ");
        // The offset in force is the process's own again before the next
        // test writes a journal line.
        struct tm local {};
        (void)oam_local_now(time(nullptr), &local);
        long from = 0;
        long to = 0;
        (void)oam_zone_change_take(&from, &to);
    }
};

struct stamp_row {
    const char *tz;
    time_t sec;
    long nsec;
    bool with_date;
    const char *text;
};

class Stamp : public WithZone, public ::testing::WithParamInterface<stamp_row> {};

// The stamp of a time with the offset in force for it, "+HHMM" or "-HHMM".
TEST_P(Stamp, CarriesTheOffsetInForceForThatTime)
{
    zone(GetParam().tz);
    char out[40];
    const timespec ts {GetParam().sec, GetParam().nsec};
    const int len = oam_stamp_text(out, sizeof(out), ts, GetParam().with_date, false);
    EXPECT_STREQ(out, GetParam().text);
    EXPECT_EQ(len, static_cast<int>(std::string(GetParam().text).size()));
    struct tm local {};
    ASSERT_EQ(oam_local_time(ts.tv_sec, &local), 0);
    EXPECT_EQ(oam_utc_offset_text(out, 5, local.tm_gmtoff), -1);  // no room for its end
}

INSTANTIATE_TEST_SUITE_P(
    Stamps, Stamp,
    ::testing::Values(stamp_row{"UTC0", 0, 12000000, true, "1970-01-01 00:00:00.012+0000"},
                      stamp_row{"<+0530>-5:30", 0, 999999999, true, "1970-01-01 05:30:00.999+0530"},
                      stamp_row{"<-0330>3:30", 0, 0, false, "20:30:00.000-0330"},
                      // Daylight saving time: the offset of each time's own season.
                      stamp_row{"CET-1CEST,M3.5.0,M10.5.0/3", 1781000000, 0, true, "2026-06-09 12:13:20.000+0200"},
                      stamp_row{"CET-1CEST,M3.5.0,M10.5.0/3", 1797000000, 0, true, "2026-12-11 15:40:00.000+0100"},
                      stamp_row{"<+14>-14", 0, 0, true, "1970-01-01 14:00:00.000+1400"},
                      stamp_row{"<-12>12", 0, 0, true, "1969-12-31 12:00:00.000-1200"},
                      // Old zones' seconds are dropped, toward zero on both sides.
                      stamp_row{"<+0009>-0:09:21", 0, 0, false, "00:09:21.000+0009"},
                      stamp_row{"<-0044>0:44:30", 0, 0, false, "23:15:30.000-0044"},
                      stamp_row{"UTC0", 2240611200, 0, true, "2041-01-01 00:00:00.000+0000"}));

// Changes of the offset in force are reported once, from the first offset
// to the last; one that came back to where it was is none.
TEST_F(WithZone, OffsetChangesOfTheCurrentTimeAreReportedOnce)
{
    struct tm local {};
    long from = 0;
    long to = 0;
    zone("UTC0");
    ASSERT_EQ(oam_local_now(1000, &local), 0);
    (void)oam_zone_change_take(&from, &to);
    zone("<+09>-9");
    ASSERT_EQ(oam_local_now(1001, &local), 0);
    zone("<-03>3");
    ASSERT_EQ(oam_local_now(1002, &local), 0);
    // A past time converted meanwhile (a loss's first record) changes nothing.
    zone("<+05>-5");
    ASSERT_EQ(oam_local_time(900, &local), 0);
    zone("<-03>3");
    EXPECT_TRUE(oam_zone_change_pending());
    ASSERT_TRUE(oam_zone_change_take(&from, &to));
    EXPECT_EQ(from, 0);
    EXPECT_EQ(to, -3 * 3600);
    EXPECT_FALSE(oam_zone_change_pending());
    EXPECT_FALSE(oam_zone_change_take(&from, &to));
    zone("UTC0");
    ASSERT_EQ(oam_local_now(1003, &local), 0);
    zone("<-03>3");
    ASSERT_EQ(oam_local_now(1004, &local), 0);
    EXPECT_FALSE(oam_zone_change_take(&from, &to));
}

}  // namespace
