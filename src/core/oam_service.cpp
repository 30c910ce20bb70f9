#include "core/oam_service.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/oam_global.h"
#include "common/oam_health.h"
#include "common/oam_print_levels.h"
#include "common/oam_driver.h"

namespace {

constexpr char OAM_USAGE[] =
    "usage: oam [test | wvt]\n"
    "       oam --help | --version\n"
    "Captures the zr400x chip's device logs and crash dumps.\n"
    "  (none)  normal mode: capture only\n"
    "  test    also serve the PC debug tool on TCP port 3333\n"
    "  wvt     read the bfg log from /dev/qvbt; no calibration or fault-recovery commands\n"
    "Configuration: the INI file named by /sys/zr400x_ps/ini_file_name, overridden by\n"
    "/data/vendor/cust_conn/ini_cfg.  Logs and dump archives: /vendor/log/; events journal:\n"
    "/vendor/log/oam_events.  One daemon per device: /run/oam/oam.pid and\n"
    "/vendor/log/.oam.lock hold its lock.\n"
    "Exit status: 0 stopped; 1 another oam runs, or no lock; 2 bad option; 255 start-up failed.\n";

// The lock lives in the service manager's run-time folder when there is
// one; the one beside the logs is taken as well whenever it can be (it is
// all there is without a manager, and a daemon that had to fall back to it
// is still seen by one that did not).
constexpr char OAM_RUN_DIR[] = "/run/oam";
constexpr char OAM_RUN_LOCK[] = "/run/oam/oam.pid";
constexpr char OAM_LOG_LOCK_NAME[] = ".oam.lock";

// Held open for the whole run: the kernel lets the locks go with the
// process, however it ends.
int g_run_lock_fd = -1;
int g_log_lock_fd = -1;

constexpr long OAM_STATUS_PERIOD_S = 10;

int g_notify_fd = -1;
sockaddr_un g_notify_addr;
socklen_t g_notify_len;
uint64_t g_watchdog_usec;
int32_t g_notify_stopping;

void oam_notify_send(const char *text, size_t len)
{
    if (g_notify_fd >= 0) {
        // A manager that does not keep up loses a message; it never holds
        // the daemon (a blocked notifier would send no more pings either).
        (void)sendto(g_notify_fd, text, len, MSG_NOSIGNAL | MSG_DONTWAIT,
                     reinterpret_cast<const sockaddr *>(&g_notify_addr),
                     g_notify_len);
    }
}

// The receivers that run: each one has to show life before a ping.
bool oam_receiver_runs(int t)
{
    switch (t) {
        case OAM_BEAT_WIFI:
            return g_st_global.netlink_sock > 0 && g_wifi_recv_thread != 0;
        case OAM_BEAT_BFG:
            return g_st_global.bfg_fd > 0 && g_bfg_recv_thread != 0;
        default:
            return g_st_global.me_fd > 0 && g_me_recv_thread != 0;
    }
}

uint64_t oam_load(const uint64_t &total)
{
    return std::atomic_ref<const uint64_t>(total).load(std::memory_order_relaxed);
}

int oam_status_text(char *buf, size_t size, const char *head)
{
    static const char *const names[OAM_BEATS] = {"wifi", "bfg", "me"};
    int len = snprintf(buf, size, "%s", head);
    for (int t = 0; t < OAM_BEATS && len >= 0 && static_cast<size_t>(len) < size; ++t) {
        if (t != OAM_BEAT_ME || g_st_global.me_fd > 0) {
            len += snprintf(buf + len, size - static_cast<size_t>(len), "%s %" PRIu64 " records, %" PRIu64 " lost; ",
                            names[t], oam_load(g_oam_stored[t]), oam_load(g_oam_lost[t]));
        }
    }
    if (len >= 0 && static_cast<size_t>(len) < size) {
        len += snprintf(buf + len, size - static_cast<size_t>(len), "%u dumps",
                        std::atomic_ref<const uint32_t>(g_oam_dumps).load(std::memory_order_relaxed));
    }
    return len < 0 ? 0 : (static_cast<size_t>(len) < size ? len : static_cast<int>(size) - 1);
}

void *oam_notify_pthread(void *)
{
    const long period_ms = oam_notify_period_ms(g_watchdog_usec);
    uint32_t last[OAM_BEATS] = {};
    long since_status_ms = 0;
    char status[192] = "";
    timespec next {};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        next.tv_sec += period_ms / 1000;
        next.tv_nsec += (period_ms % 1000) * 1000000L;
        if (next.tv_nsec >= 1000000000L) {
            next.tv_sec += 1;
            next.tv_nsec -= 1000000000L;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        if (oam_flag_load(g_notify_stopping) != 0) {
            return nullptr;
        }
        if (g_watchdog_usec != 0) {
            bool alive = true;
            for (int t = 0; t < OAM_BEATS; ++t) {
                const uint32_t beat = std::atomic_ref<uint32_t>(g_oam_beats[t]).load(std::memory_order_relaxed);
                alive = alive && (!oam_receiver_runs(t) || (beat & 1U) != 0 || beat != last[t]);
                last[t] = beat;
            }
            if (alive) {
                oam_notify_send("WATCHDOG=1", 10);
            }
        }
        since_status_ms += period_ms;
        if (since_status_ms >= OAM_STATUS_PERIOD_S * 1000) {
            char now[sizeof(status)];
            const int len = oam_status_text(now, sizeof(now), "STATUS=");
            if (strcmp(now, status) != 0) {
                oam_notify_send(now, static_cast<size_t>(len));
                memcpy(status, now, sizeof(status));
            }
            since_status_ms = 0;
        }
    }
}

// The number in the lock file, or 0 when it is not there yet.
long oam_lock_owner(int fd)
{
    char text[24] = "";
    const ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    return n > 0 ? strtol(text, nullptr, 10) : 0;
}

enum oam_lock_result { OAM_LOCK_HELD, OAM_LOCK_BUSY, OAM_LOCK_UNUSABLE, OAM_LOCK_NO_DIR };

// What stands at a lock's path instead of a plain file, for the report.
const char *oam_lock_kind(const char *path)
{
    struct stat st {};
    if (lstat(path, &st) != 0) {
        return nullptr;
    }
    switch (st.st_mode & S_IFMT) {
        case S_IFLNK:
            return "a symbolic link";
        case S_IFDIR:
            return "a directory";
        case S_IFIFO:
            return "a FIFO";
        case S_IFSOCK:
            return "a socket";
        case S_IFCHR:
        case S_IFBLK:
            return "a device node";
        default:
            return nullptr;
    }
}

// Opens and locks one lock file; a link or anything but a plain file in its
// place is never opened through (nor written), and why it could not serve
// is put in `why`.  The pid of a daemon holding it goes to `owner`.
oam_lock_result oam_lock_take(const char *path, int &fd_out, long &owner, char *why, size_t why_len)
{
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644);
    const int open_err = errno;
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) {
            close(fd);
        }
        const char *kind = oam_lock_kind(path);
        if (kind != nullptr) {
            (void)snprintf(why, why_len, "%s is %s, not a plain file", path, kind);
            return OAM_LOCK_UNUSABLE;
        }
        (void)snprintf(why, why_len, "%s not opened, errno:%s", path, strerror(open_err));
        return fd < 0 && open_err == ENOENT ? OAM_LOCK_NO_DIR : OAM_LOCK_UNUSABLE;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK) {
            owner = oam_lock_owner(fd);
            close(fd);
            return OAM_LOCK_BUSY;
        }
        close(fd);
        (void)snprintf(why, why_len, "%s not taken, errno:%s", path, strerror(err));
        return OAM_LOCK_UNUSABLE;
    }
    fd_out = fd;
    return OAM_LOCK_HELD;
}

// Emptied first: a longer number an earlier daemon left must not outlast
// this one's.
void oam_lock_mark(int fd, const char *path)
{
    char text[24];
    const int len = snprintf(text, sizeof(text), "%ld\n", static_cast<long>(getpid()));
    if (fd >= 0 && (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(len), 0) != len)) {
        OAM_ERR("[%s:%d]pid not written to %s, errno:%s\n", path, strerror(errno));
    }
}

int oam_lock_refuse(long owner)
{
    if (owner > 0) {
        fprintf(stderr, "another oam is running, pid %ld\n", owner);
    } else {
        fputs("another oam is running\n", stderr);
    }
    return -1;
}

}  // namespace

long oam_notify_period_ms(uint64_t watchdog_usec)
{
    // Half the watchdog interval, as the manager asks; the status alone
    // needs no more than its own period.
    long period_ms = OAM_STATUS_PERIOD_S * 1000;
    if (watchdog_usec != 0 && watchdog_usec / 2000 < static_cast<uint64_t>(period_ms)) {
        period_ms = std::max(1L, static_cast<long>(watchdog_usec / 2000));
    }
    return period_ms;
}

int oam_command_line(int argc, char **argv, const char *version)
{
    if (argc < 2 || argv == nullptr || argv[1] == nullptr || argv[1][0] != '-') {
        return OAM_RUN;
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(OAM_USAGE, stdout);
        return 0;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("oam %s\n", version);
        return 0;
    }
    fputs("oam: unknown option; modes are test and wvt, see oam --help\n", stderr);
    return 2;
}

int oam_instance_lock(bool first_try)
{
    long owner = 0;
    char run_why[OAM_FILE_PATH_LEN + 64] = "";
    struct stat st {};
    // Kept from a first try that found no log folder: a second lock of
    // the same file from this process would find it busy.
    if (g_run_lock_fd < 0 && stat(OAM_RUN_DIR, &st) == 0 && S_ISDIR(st.st_mode)) {
        const oam_lock_result got = oam_lock_take(OAM_RUN_LOCK, g_run_lock_fd, owner, run_why, sizeof(run_why));
        if (got == OAM_LOCK_BUSY) {
            return oam_lock_refuse(owner);
        }
    }
    char path[OAM_FILE_PATH_LEN];
    (void)snprintf(path, sizeof(path), "%s%s", OAM_LOG_ROOT_DIR, OAM_LOG_LOCK_NAME);
    char log_why[OAM_FILE_PATH_LEN + 64] = "";
    const oam_lock_result got = oam_lock_take(path, g_log_lock_fd, owner, log_why, sizeof(log_why));
    if (got == OAM_LOCK_BUSY) {
        return oam_lock_refuse(owner);
    }
    if (got == OAM_LOCK_NO_DIR && first_try) {
        return OAM_LOCK_NO_FOLDER;
    }
    if (g_run_lock_fd < 0 && got != OAM_LOCK_HELD) {
        // Running without a lock could make two daemons of one device.
        fprintf(stderr, "oam: no instance lock could be had (%s%s%s): not started\n", run_why,
                run_why[0] != '\0' ? "; " : "", log_why);
        return -1;
    }
    // Only a daemon that runs leaves its number.
    oam_lock_mark(g_run_lock_fd, OAM_RUN_LOCK);
    oam_lock_mark(g_log_lock_fd, path);
    if (run_why[0] != '\0') {
        OAM_WARN("[%s:%d]lock %s: %s taken instead\n", run_why, path);
    } else if (got != OAM_LOCK_HELD) {
        OAM_WARN("[%s:%d]lock %s: %s alone holds\n", log_why, OAM_RUN_LOCK);
    }
    return 0;
}

void oam_notify_init()
{
    const char *sock = getenv("NOTIFY_SOCKET");
    const size_t len = sock != nullptr ? strlen(sock) : 0;
    if (len < 2 || len >= sizeof(g_notify_addr.sun_path) || (sock[0] != '/' && sock[0] != '@')) {
        return;
    }
    g_notify_addr.sun_family = AF_UNIX;
    memcpy(g_notify_addr.sun_path, sock, len);
    if (sock[0] == '@') {
        g_notify_addr.sun_path[0] = '\0';  // an abstract name
        g_notify_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    } else {
        g_notify_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + 1);
    }
    g_notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (g_notify_fd < 0) {
        OAM_ERR("[%s:%d]notification socket failed, errno:%s\n", strerror(errno));
        return;
    }
    const char *usec = getenv("WATCHDOG_USEC");
    const char *pid = getenv("WATCHDOG_PID");
    if (usec != nullptr && (pid == nullptr || strtol(pid, nullptr, 10) == static_cast<long>(getpid()))) {
        g_watchdog_usec = strtoull(usec, nullptr, 10);
    }
}

void oam_notify_ready()
{
    if (g_notify_fd < 0) {
        return;
    }
    char text[200];
    const int len = oam_status_text(text, sizeof(text), "READY=1\nSTATUS=");
    oam_notify_send(text, static_cast<size_t>(len));
    pthread_t thread;
    if (pthread_create(&thread, nullptr, oam_notify_pthread, nullptr) == 0) {
        (void)pthread_detach(thread);
    } else {
        OAM_ERR("[%s:%d]notify thread create error\n");
    }
}

void oam_notify_stopping()
{
    oam_flag_store(g_notify_stopping, 1);
    oam_notify_send("STOPPING=1", 10);
}
