#include "core/oam_service.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// A ping every half interval, as the manager asks: one every full interval
// would let a single late one end the daemon.
TEST(Notify, PingsAtHalfTheWatchdogIntervalAndStatusAtMostEvery10s)
{
    const struct {
        uint64_t watchdog_usec;
        long period_ms;
    } cases[] = {
        {0, 10000},            // no watchdog: the status period
        {300000, 150},
        {3000000, 1500},
        {19998000, 9999},
        {20000000, 10000},     // half is the status period itself
        {30000000, 10000},
        {1999, 1},             // never a busy loop
    };
    for (const auto &c : cases) {
        EXPECT_EQ(oam_notify_period_ms(c.watchdog_usec), c.period_ms) << c.watchdog_usec;
    }
}

}  // namespace
