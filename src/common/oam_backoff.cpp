#include "common/oam_backoff.h"

#include <ctime>

void oam_read_backoff(unsigned *fail_count)
{
    // The first failures in a row go straight to the next read, as a driver
    // hiccup should cost nothing; after that the pause doubles up to a
    // second, so that a dead node or socket cannot spin a core or flood the
    // output.  The stop wake-up signal cuts the pause short.
    constexpr unsigned free_retries = 10;
    constexpr long max_pause_ms = 1000;
    unsigned count = ++*fail_count;
    if (count <= free_retries) {
        return;
    }
    unsigned shift = count - free_retries - 1;
    long pause_ms = shift >= 10 ? max_pause_ms : (1L << shift);
    if (pause_ms > max_pause_ms) {
        pause_ms = max_pause_ms;
    }
    struct timespec ts = {pause_ms / 1000, (pause_ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}
