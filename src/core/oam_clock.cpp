#include "core/oam_clock.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>

#include <fcntl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "common/oam_journal.h"
#include "common/oam_print.h"
#include "common/oam_time.h"

namespace {

constexpr char OAM_BOOT_ID_PATH[] = "/proc/sys/kernel/random/boot_id";
constexpr size_t OAM_BOOT_ID_LEN = 36;  // 8-4-4-4-12 hex digits

// The wall clock and the boot clock read together when the watch was last
// armed: without a step, the wall clock runs on with the boot clock (both
// count a suspend), so the time it would show now follows from this pair.
// Only the thread that reads the watch touches them after start-up.
timespec g_clock_ref_real;
timespec g_clock_ref_boot;

int64_t oam_ns(const timespec &ts)
{
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Of a wall-clock time, which is never before 1970.
timespec oam_from_ns(int64_t ns)
{
    timespec ts {};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

// The wall clock and the boot clock at one moment: the boot clock read
// between two readings of the wall clock, from the try that got them
// closest together.  A thread preempted between two readings would
// otherwise put a step's old time off by as long as it waited.
void oam_clock_pair(timespec *real, timespec *boot)
{
    constexpr int64_t OAM_PAIR_GAP_NS = 1000000;
    constexpr int OAM_PAIR_TRIES = 4;
    int64_t best = std::numeric_limits<int64_t>::max();
    for (int i = 0; i < OAM_PAIR_TRIES && best > OAM_PAIR_GAP_NS; ++i) {
        timespec before {};
        timespec at {};
        timespec after {};
        (void)clock_gettime(CLOCK_REALTIME, &before);
        (void)clock_gettime(CLOCK_BOOTTIME, &at);
        (void)clock_gettime(CLOCK_REALTIME, &after);
        const int64_t gap = oam_ns(after) - oam_ns(before);
        // A gap below 0 is a step between the two readings.
        if (i == 0 || (gap >= 0 && gap < best)) {
            best = gap >= 0 ? gap : best;
            *boot = at;
            *real = oam_from_ns(oam_ns(before) + (gap >= 0 ? gap / 2 : 0));
        }
    }
}

// A timer that never expires but is cancelled by every setting of the
// clock.  The reference pair is read after arming, so that a step between
// the two is reported and not lost.
int oam_clock_arm(int fd)
{
    itimerspec never {};
    never.it_value.tv_sec = std::numeric_limits<time_t>::max();
    if (timerfd_settime(fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &never, nullptr) != 0) {
        return -1;
    }
    oam_clock_pair(&g_clock_ref_real, &g_clock_ref_boot);
    return 0;
}

}  // namespace

int oam_clock_watch_open()
{
    const int fd = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0 || oam_clock_arm(fd) != 0) {
        OAM_ERR("[%s:%d]clock steps not watched, errno:%d\n", errno);
        if (fd >= 0) {
            (void)close(fd);
        }
        return -1;
    }
    return fd;
}

int oam_clock_watch_read(int fd)
{
    uint64_t expiries = 0;
    const ssize_t n = read(fd, &expiries, sizeof(expiries));
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return 0;
    }
    if (n < 0 && errno != ECANCELED) {
        OAM_WARN("[%s:%d]clock steps no longer watched, errno:%d\n", errno);
        return -1;
    }
    const timespec ref_real = g_clock_ref_real;
    const timespec ref_boot = g_clock_ref_boot;
    if (oam_clock_arm(fd) != 0) {
        OAM_WARN("[%s:%d]clock steps no longer watched, errno:%d\n", errno);
        return -1;
    }
    if (n >= 0) {
        return 0;  // the timer itself ran out: nothing was set
    }
    const timespec now_boot = g_clock_ref_boot;
    const timespec now_real = g_clock_ref_real;
    const timespec old_real = oam_from_ns(oam_ns(ref_real) + (oam_ns(now_boot) - oam_ns(ref_boot)));
    char old_text[40];
    char new_text[40];
    char boot_text[32];
    (void)oam_stamp_text(old_text, sizeof(old_text), old_real, true, false);
    (void)oam_stamp_text(new_text, sizeof(new_text), now_real, true, true);
    (void)oam_seconds_text(boot_text, sizeof(boot_text), now_boot);
    oam_journal_event(OAM_J_OAM, "clock-stepped", "from %s to %s, boottime %s", old_text, new_text, boot_text);
    return 0;
}

int oam_boot_text(char *out, size_t len)
{
    char id[OAM_BOOT_ID_LEN + 1] = "unknown";
    const int fd = open(OAM_BOOT_ID_PATH, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        char text[OAM_BOOT_ID_LEN + 2] = {};
        const ssize_t n = read(fd, text, sizeof(text) - 1);
        (void)close(fd);
        // Taken only as the kernel writes it: lower-case hex digits and
        // dashes, then the line's end.
        size_t digits = 0;
        while (n > 0 && digits < static_cast<size_t>(n) &&
               ((text[digits] >= '0' && text[digits] <= '9') || (text[digits] >= 'a' && text[digits] <= 'f') ||
                text[digits] == '-')) {
            ++digits;
        }
        if (digits == OAM_BOOT_ID_LEN && (n == static_cast<ssize_t>(digits) || text[digits] == '\n')) {
            (void)snprintf(id, sizeof(id), "%.*s", static_cast<int>(digits), text);
        }
    }
    timespec boot {};
    (void)clock_gettime(CLOCK_BOOTTIME, &boot);
    char seconds[32];
    (void)oam_seconds_text(seconds, sizeof(seconds), boot);
    return snprintf(out, len, "boot %s, boottime %s", id, seconds);
}
