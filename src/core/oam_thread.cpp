#include "core/oam_thread.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>

#include "common/oam_global.h"
#include "common/oam_print.h"
#include "logcapture/receivers.h"
#include "platform/oam_chip.h"

namespace {

// A receiver blocked in read or recvmsg only looks at its stop flag when the
// call returns.  The stop sequence therefore interrupts the call with this
// signal; its handler does nothing and is installed without SA_RESTART, so
// the call fails with EINTR and the receiver's loop comes round to its flag.
constexpr int OAM_WAKE_SIGNAL = SIGUSR1;

// How long one wake-up waits for the thread to end before signalling again:
// the signal may land just before the thread enters its blocking call.
constexpr long OAM_WAKE_RETRY_NS = 20L * 1000 * 1000;

// How long a stop waits for one receiver.  A driver read that ignores the
// wake-up, or a storage write that hangs, must not hold the stop for ever
// (and with it SIGTERM, which waits for a stop under way).
constexpr long OAM_STOP_WAIT_MS = 2000;

// Handles that were joined: the system may reuse them, so the liveness probe
// must not hand them to pthread_kill.
std::array<pthread_t, 3> g_joined_threads;
int g_joined_count;

void oam_wake_handler(int)
{
}

void oam_timespec_add_ns(struct timespec *ts, long ns)
{
    ts->tv_nsec += ns;
    while (ts->tv_nsec >= 1000000000L) {
        ts->tv_sec += 1;
        ts->tv_nsec -= 1000000000L;
    }
}

bool oam_timespec_before(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

bool oam_thread_was_joined(pthread_t handle)
{
    for (int i = 0; i < g_joined_count; i++) {
        if (pthread_equal(g_joined_threads[i], handle)) {
            return true;
        }
    }
    return false;
}

void oam_thread_mark_joined(pthread_t handle)
{
    if (g_joined_count < static_cast<int>(g_joined_threads.size())) {
        g_joined_threads[g_joined_count++] = handle;
    }
}

// Joins the thread if it ends before the monotonic deadline; ETIMEDOUT if not.
int oam_clockjoin(pthread_t handle, const struct timespec &deadline)
{
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer does not know pthread_clockjoin_np and would report a
    // thread joined through it as leaked: under it the same wait is made of
    // tries and short sleeps on the same clock.
    for (;;) {
        int ret = pthread_tryjoin_np(handle, nullptr);
        if (ret != EBUSY) {
            return ret;
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (!oam_timespec_before(now, deadline)) {
            return ETIMEDOUT;
        }
        struct timespec step = {0, 1000000L};
        clock_nanosleep(CLOCK_MONOTONIC, 0, &step, nullptr);
    }
#else
    return pthread_clockjoin_np(handle, nullptr, CLOCK_MONOTONIC, &deadline);
#endif
}

}  // namespace

void oam_thread_wake_init()
{
    struct sigaction sa = {};
    sa.sa_handler = oam_wake_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the blocked call must return
    sigaction(OAM_WAKE_SIGNAL, &sa, nullptr);
}

int oam_thread_stop_join(pthread_t handle)
{
    // Deadlines on the monotonic clock: a step of the wall clock must
    // neither hold the stop nor cut the wait short.
    struct timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += OAM_STOP_WAIT_MS / 1000;
    oam_timespec_add_ns(&end, (OAM_STOP_WAIT_MS % 1000) * 1000000L);
    for (;;) {
        pthread_kill(handle, OAM_WAKE_SIGNAL);
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        oam_timespec_add_ns(&deadline, OAM_WAKE_RETRY_NS);
        bool last = oam_timespec_before(end, deadline);
        int ret = oam_clockjoin(handle, last ? end : deadline);
        if (ret != ETIMEDOUT) {
            oam_thread_mark_joined(handle);
            return 0;
        }
        if (last) {
            return -1;
        }
    }
}

int oam_pthread_create(pthread_t *handle)
{
    OAM_DEBUG("[%s:%d]%s:: entry\n\n", __func__);
    if (handle == nullptr) {
        return -1;
    }
    int ret = pthread_create(handle, nullptr, oam_netlink_recv_pthread, nullptr);
    if (ret != 0) {
        OAM_ERR("[%s:%d]create oam netlink recv pthread error:%d\n\n", ret);
        // The library may have stored a handle before the creation failed;
        // left there, the stop sequence would signal and join a thread that
        // never existed.  A handle of 0 marks the receiver as missing.
        *handle = 0;
        return -1;
    }
    return 0;
}

void oam_pthread_kill(pthread_t handle)
{
    OAM_DEBUG("[%s:%d]%s:: entry\n\n", __func__);
    // A zero handle was never created; a joined one may have been reused.
    int ret = (handle == 0 || oam_thread_was_joined(handle)) ? ESRCH : pthread_kill(handle, 0);
    if (ret == ESRCH) {
        OAM_INFO("[%s:%d]thread(ID:0x%x) is inexistent\n\n", static_cast<unsigned>(handle));
    } else {
        OAM_INFO("[%s:%d]thread(ID:0x%x) is normal\n\n", static_cast<unsigned>(handle));
    }
}

int oam_quiet_stop(int32_t &stop_flag, pthread_t handle, const char *core)
{
    oam_flag_store(stop_flag, 1);
    // A handle of 0 means the thread was never created (its creation
    // failed): there is nothing to join then.
    if (handle == 0 || oam_thread_stop_join(handle) == 0) {
        return 0;
    }
    OAM_WARN("[%s:%d]%s receiver did not end within %ld ms, left to the exit\n\n", core, OAM_STOP_WAIT_MS);
    return -1;
}

int oam_pthread_close(pthread_t handle)
{
    int ret = oam_quiet_stop(g_st_global.wifi_thread_stop, handle, "wifi");
    if (ret == 0) {
        OAM_INFO("[%s:%d]wifi pthread is over \n\n");
    }
    oam_pthread_kill(handle);
    return ret;
}

int oam_bfg_pthread_close(pthread_t handle)
{
    int ret = oam_quiet_stop(g_st_global.bfg_thread_stop, handle, "bfg");
    if (ret == 0) {
        OAM_INFO("[%s:%d]bfg read() is over \n\n");
    }
    oam_pthread_kill(handle);
    return ret;
}

int oam_me_pthread_close(pthread_t handle)
{
    if (oam_get_sub_chip_type() <= CHIP_ZR4004) {
        OAM_INFO("[%s:%d]zr400x ignore me thread close\n\n");
        return 0;
    }
    int ret = oam_quiet_stop(g_st_global.me_thread_stop, handle, "me");
    if (ret == 0) {
        OAM_INFO("[%s:%d]me read() is over \n\n");
    }
    oam_pthread_kill(handle);
    return ret;
}
