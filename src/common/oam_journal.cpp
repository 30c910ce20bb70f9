#include "common/oam_journal.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/oam_file.h"
#include "common/oam_global.h"
#include "common/oam_health.h"
#include "common/oam_print.h"
#include "common/oam_time.h"

int32_t g_journal_pending[OAM_J_CORES];
int32_t g_sync_armed;

namespace {

constexpr std::array<const char *, OAM_J_CORES> OAM_JCORE_NAMES = {"oam", "wifi", "bfg", "me"};
constexpr int OAM_JCAUSES = OAM_LOSS_UNCLEAN + 1;
constexpr size_t OAM_JLINE_LEN = 512;
constexpr size_t OAM_JPATH_LEN = 256;
constexpr int64_t OAM_JLOSS_INTERVAL_MS = 1000;

// A loss of one cause on one core that is not written yet.
struct oam_jloss {
    uint64_t count;
    int err;
    timespec from;  // wall clock of the first and the last record lost
    timespec to;
    int64_t last_try_ms;  // monotonic: when a line was last due
    bool failed;          // the last try to write it failed
    bool end_tried;       // written, or tried, since the loss ended
};

// Everything below is taken under g_journal_mutex: events come from every
// thread, though rarely, and a line is one write.
std::mutex g_journal_mutex;
sem_t g_sync_sem;
std::once_flag g_sync_sem_once;
int g_journal_fd = -1;
uint32_t g_journal_max = OAM_JOURNAL_MAX_BYTES;
int64_t g_journal_size;
char g_journal_path[OAM_JPATH_LEN];
char g_journal_old_path[OAM_JPATH_LEN + 2];
oam_jloss g_losses[OAM_J_CORES][OAM_JCAUSES];

int64_t oam_mono_ms()
{
    timespec ts {};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The stamp of a line, and the times inside its text, each with the UTC
// offset in force for it: a reader places them on one time line even when
// the zone changed in between.
int oam_jstamp(char *out, size_t len, const timespec &ts, bool with_date)
{
    return oam_stamp_text(out, len, ts, with_date, with_date);
}

int oam_journal_reopen_locked()
{
    if (g_journal_path[0] == '\0') {
        return -1;
    }
    // Anything but a plain file of its own (a FIFO, or another file linked
    // in under this name) is not written.
    struct stat st {};
    const int fd = oam_open_regular(g_journal_path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW, 0664, &st);
    if (fd >= 0 && st.st_nlink != 1) {
        (void)close(fd);
        return -1;
    }
    if (fd < 0) {
        return -1;
    }
    g_journal_fd = fd;
    g_journal_size = st.st_size;
    // A journal cut by a power loss ends in part of a line (or in the zeros
    // of blocks whose data never came): the next line starts on its own.
    char last = '\n';
    if (st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n' && write(fd, "\n", 1) == 1) {
        ++g_journal_size;
    }
    return 0;
}

// A journal removed while open would take every later line, losses
// included, into a file nobody can read: a new one is started instead.
void oam_journal_recheck_locked()
{
    struct stat st {};
    if (g_journal_fd >= 0 && fstat(g_journal_fd, &st) == 0 && st.st_nlink == 0) {
        (void)close(g_journal_fd);
        g_journal_fd = -1;
    }
}

// One write per line; a line cut short by a full disk is taken back, so
// that the file never holds half a line.  0 when the line is in the file.
int oam_journal_write_locked(const char *line, size_t len)
{
    oam_journal_recheck_locked();
    if (g_journal_fd < 0 && oam_journal_reopen_locked() != 0) {
        return -1;
    }
    if (g_journal_size + static_cast<int64_t>(len) > static_cast<int64_t>(g_journal_max)) {
        // Two files at most: the full one becomes the older half, on
        // storage before it takes that name.
        (void)fdatasync(g_journal_fd);
        (void)close(g_journal_fd);
        g_journal_fd = -1;
        if (rename(g_journal_path, g_journal_old_path) == 0) {
            (void)oam_sync_dir_of(g_journal_path);
        }
        if (oam_journal_reopen_locked() != 0) {
            return -1;
        }
    }
    ssize_t n;
    do {
        n = write(g_journal_fd, line, len);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(len)) {
        g_journal_size += n;
        oam_sync_note_write();
        return 0;
    }
    if (n > 0 && ftruncate(g_journal_fd, g_journal_size) != 0) {
        // The part stays; readers take it for a line cut short.
    }
    return -1;
}

// A change of the UTC offset in force goes in before the line whose stamp
// noticed it (now_text, which has the new offset already).
void oam_journal_zone_locked(const char *now_text)
{
    long from = 0;
    long to = 0;
    if (!oam_zone_change_pending() || !oam_zone_change_take(&from, &to)) {
        return;
    }
    char from_text[16];
    char to_text[16];
    char line[OAM_JLINE_LEN];
    (void)oam_utc_offset_text(from_text, sizeof(from_text), from);
    (void)oam_utc_offset_text(to_text, sizeof(to_text), to);
    const int len = snprintf(line, sizeof(line), "%s oam zone-changed from %s to %s\n", now_text, from_text, to_text);
    if (len > 0 && static_cast<size_t>(len) < sizeof(line)) {
        (void)oam_journal_write_locked(line, static_cast<size_t>(len));
    }
}

const char *oam_jcause_text(const oam_jloss &loss, int cause, char *buf, size_t len)
{
    switch (cause) {
        case OAM_LOSS_WRITE:
        case OAM_LOSS_OPEN: {
            char err_buf[96];
            const char *text = strerror_r(loss.err, err_buf, sizeof(err_buf));
            (void)snprintf(buf, len, "%s%s", cause == OAM_LOSS_OPEN ? "file 1 not opened, " : "", text);
            // The error texts start with a capital; the journal's causes do not.
            const size_t at = cause == OAM_LOSS_OPEN ? strlen("file 1 not opened, ") : 0;
            if (buf[at] >= 'A' && buf[at] <= 'Z') {
                buf[at] = static_cast<char>(buf[at] - 'A' + 'a');
            }
            return buf;
        }
        case OAM_LOSS_MALFORMED:
            return "malformed message";
        case OAM_LOSS_TOO_LONG:
            return "message too long";
        case OAM_LOSS_KERNEL:
            return "receive buffer full, dropped by the kernel";
        case OAM_LOSS_NOT_FILE:
            return "file 1 is not a regular file";
        case OAM_LOSS_CUT:
            return "cut short at the end of file 1 by the last stop";
        case OAM_LOSS_UNCLEAN:
            return "cut at the start after an unclean end";
        case OAM_LOSS_OVERRUNS:
        default:
            return "receive buffer overrun, no drop counter";
    }
}

// With to_stdout, a line the journal does not take goes to standard output
// instead: at the stop it would otherwise be lost with the process.
int oam_journal_write_loss_locked(int core, int cause, bool to_stdout = false)
{
    oam_jloss &loss = g_losses[core][cause];
    char now_text[40];
    char from_text[24];
    char to_text[24];
    char cause_text[160];
    timespec now {};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    (void)oam_jstamp(now_text, sizeof(now_text), now, true);
    (void)oam_jstamp(from_text, sizeof(from_text), loss.from, false);
    (void)oam_jstamp(to_text, sizeof(to_text), loss.to, false);
    oam_journal_zone_locked(now_text);
    char line[OAM_JLINE_LEN];
    int len = snprintf(line, sizeof(line), "%s %s lost %llu %s: %s, %s to %s\n", now_text, OAM_JCORE_NAMES[core],
                       static_cast<unsigned long long>(loss.count),
                       cause == OAM_LOSS_OVERRUNS ? "overruns" : "records",
                       oam_jcause_text(loss, cause, cause_text, sizeof(cause_text)), from_text, to_text);
    if (len <= 0 || static_cast<size_t>(len) >= sizeof(line)) {
        return -1;
    }
    loss.last_try_ms = oam_mono_ms();
    if (oam_journal_write_locked(line, static_cast<size_t>(len)) != 0) {
        loss.failed = true;
        if (!to_stdout) {
            return -1;
        }
        OAM_WARN("[%s:%d]not in the journal: %s", line);
    }
    loss.count = 0;
    loss.failed = false;
    return 0;
}

void oam_journal_update_pending_locked(int core)
{
    int32_t pending = 0;
    for (const oam_jloss &loss : g_losses[core]) {
        pending |= loss.count != 0 ? 1 : 0;
    }
    std::atomic_ref<int32_t>(g_journal_pending[core]).store(pending, std::memory_order_relaxed);
}

}  // namespace

int oam_journal_open(const char *path, uint32_t max_bytes)
{
    std::lock_guard<std::mutex> hold(g_journal_mutex);
    if (g_journal_fd >= 0) {
        (void)close(g_journal_fd);
        g_journal_fd = -1;
    }
    g_journal_max = max_bytes;
    if (path == nullptr || snprintf(g_journal_path, sizeof(g_journal_path), "%s", path) >=
                               static_cast<int>(sizeof(g_journal_path))) {
        g_journal_path[0] = '\0';
        return -1;
    }
    (void)snprintf(g_journal_old_path, sizeof(g_journal_old_path), "%s.1", g_journal_path);
    return oam_journal_reopen_locked();
}

void oam_journal_close()
{
    std::lock_guard<std::mutex> hold(g_journal_mutex);
    if (g_journal_fd >= 0) {
        (void)close(g_journal_fd);
        g_journal_fd = -1;
    }
    // A later line would otherwise open the closed journal again.
    g_journal_path[0] = '\0';
}

void oam_journal_event(oam_jcore core, const char *event, const char *fmt, ...)
{
    if (core < 0 || core >= OAM_J_CORES || event == nullptr) {
        return;
    }
    char line[OAM_JLINE_LEN];
    timespec now {};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    char stamp[40];
    (void)oam_jstamp(stamp, sizeof(stamp), now, true);
    int len = snprintf(line, sizeof(line), "%s", stamp);
    len += snprintf(line + len, sizeof(line) - static_cast<size_t>(len), " %s %s", OAM_JCORE_NAMES[core], event);
    if (fmt != nullptr && static_cast<size_t>(len) + 1 < sizeof(line)) {
        va_list ap;
        va_start(ap, fmt);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        const int n = vsnprintf(line + len + 1, sizeof(line) - static_cast<size_t>(len) - 1, fmt, ap);
#pragma GCC diagnostic pop
        va_end(ap);
        if (n > 0) {
            line[len] = ' ';
            len += n + 1;
        }
    }
    // A detail too long is cut, and a line break inside it would make two
    // lines of one event.
    if (static_cast<size_t>(len) > sizeof(line) - 2) {
        len = static_cast<int>(sizeof(line) - 2);
    }
    for (int i = 0; i < len; ++i) {
        if (line[i] == '\n' || line[i] == '\r') {
            line[i] = ' ';
        }
    }
    line[len++] = '\n';
    std::lock_guard<std::mutex> hold(g_journal_mutex);
    oam_journal_zone_locked(stamp);
    (void)oam_journal_write_locked(line, static_cast<size_t>(len));
}

void oam_journal_zone_check(const timespec &noticed)
{
    if (!oam_zone_change_pending()) {
        return;
    }
    char stamp[40];
    (void)oam_jstamp(stamp, sizeof(stamp), noticed, true);
    std::lock_guard<std::mutex> hold(g_journal_mutex);
    oam_journal_zone_locked(stamp);
}

void oam_journal_lost(oam_jcore core, oam_jcause cause, int err, uint64_t count)
{
    oam_journal_lost_since(core, cause, err, count, nullptr);
}

void oam_journal_lost_since(oam_jcore core, oam_jcause cause, int err, uint64_t count, const timespec *since)
{
    if (core < 0 || core >= OAM_J_CORES || cause < 0 || cause >= OAM_JCAUSES || count == 0) {
        return;
    }
    if (core != OAM_J_OAM) {
        oam_count(g_oam_lost[core - OAM_J_WIFI], count);
    }
    timespec now {};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    const int64_t now_ms = oam_mono_ms();
    std::lock_guard<std::mutex> hold(g_journal_mutex);
    oam_jloss &loss = g_losses[core][cause];
    // Another error behind the same cause starts a loss of its own; if its
    // line cannot be written, the count carries on under the first error.
    if (loss.count != 0 && loss.err != err) {
        (void)oam_journal_write_loss_locked(core, cause);
    }
    if (loss.count == 0) {
        loss.err = err;
        loss.from = since != nullptr ? *since : now;
        loss.last_try_ms = now_ms;
        loss.failed = false;
    }
    loss.end_tried = false;
    loss.count += count;
    loss.to = now;
    if (now_ms - loss.last_try_ms >= OAM_JLOSS_INTERVAL_MS) {
        (void)oam_journal_write_loss_locked(core, cause);
    }
    oam_journal_update_pending_locked(core);
}

void oam_journal_lost_between(oam_jcore core, oam_jcause cause, uint64_t count, const timespec &from,
                              const timespec &to)
{
    if (core < 0 || core >= OAM_J_CORES || cause < 0 || cause >= OAM_JCAUSES || count == 0) {
        return;
    }
    if (core != OAM_J_OAM) {
        oam_count(g_oam_lost[core - OAM_J_WIFI], count);
    }
    const auto before = [](const timespec &a, const timespec &b) {
        return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
    };
    std::lock_guard<std::mutex> hold(g_journal_mutex);
    oam_jloss &loss = g_losses[core][cause];
    if (loss.count == 0) {
        loss = {};
        loss.from = from;
        loss.to = to;
        loss.last_try_ms = oam_mono_ms();
    }
    loss.from = before(from, loss.from) ? from : loss.from;
    loss.to = before(loss.to, to) ? to : loss.to;
    loss.count += count;
    oam_journal_update_pending_locked(core);
}

void oam_journal_loss_over(oam_jcore core)
{
    if (core < 0 || core >= OAM_J_CORES) {
        return;
    }
    const int64_t now_ms = oam_mono_ms();
    std::lock_guard<std::mutex> hold(g_journal_mutex);
    for (int cause = 0; cause < OAM_JCAUSES; ++cause) {
        oam_jloss &loss = g_losses[core][cause];
        const bool due = now_ms - loss.last_try_ms >= OAM_JLOSS_INTERVAL_MS;
        // Kernel drops come between received messages all through a burst:
        // a message stored says nothing about their end, so they are
        // written once a second (and at a dump or the stop).
        if (loss.count != 0 && (cause == OAM_LOSS_KERNEL || cause == OAM_LOSS_OVERRUNS) && !due) {
            continue;
        }
        // Written as soon as the loss is over; a line that still cannot be
        // written (the disk full for the journal) is tried again a second
        // later, not on every record.
        if (loss.count != 0 && (!loss.end_tried || !loss.failed || due)) {
            loss.end_tried = true;
            (void)oam_journal_write_loss_locked(core, cause);
        }
    }
    oam_journal_update_pending_locked(core);
}

void oam_journal_recheck()
{
    std::lock_guard<std::mutex> hold(g_journal_mutex);
    oam_journal_recheck_locked();
    if (g_journal_fd < 0) {
        (void)oam_journal_reopen_locked();
    }
}

void oam_journal_flush(bool at_stop)
{
    std::lock_guard<std::mutex> hold(g_journal_mutex);
    for (int core = 0; core < OAM_J_CORES; ++core) {
        for (int cause = 0; cause < OAM_JCAUSES; ++cause) {
            if (g_losses[core][cause].count != 0) {
                (void)oam_journal_write_loss_locked(core, cause, at_stop);
            }
        }
        oam_journal_update_pending_locked(core);
    }
}

void oam_journal_datasync()
{
    std::lock_guard<std::mutex> hold(g_journal_mutex);
    if (g_journal_fd >= 0) {
        (void)fdatasync(g_journal_fd);
    }
}

void oam_sync_logs()
{
    char journal_path[OAM_JPATH_LEN];
    {
        std::lock_guard<std::mutex> hold(g_journal_mutex);
        (void)snprintf(journal_path, sizeof(journal_path), "%s", g_journal_path);
    }
    const std::array<const char *, 4> paths = {journal_path, g_st_global.st_wifi_log.path.value,
                                               g_st_global.st_bfg_log.path.value, g_st_global.st_me_log.path.value};
    std::array<dev_t, 4> done {};
    size_t done_count = 0;
    for (const char *path : paths) {
        if (path[0] == '\0') {
            continue;
        }
        const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat st {};
        bool seen = fstat(fd, &st) != 0;
        for (size_t i = 0; i < done_count && !seen; ++i) {
            seen = done[i] == st.st_dev;
        }
        if (!seen) {
            (void)syncfs(fd);
            done[done_count++] = st.st_dev;
        }
        (void)close(fd);
    }
}

void oam_sync_arm()
{
    int32_t idle = 0;
    if (std::atomic_ref<int32_t>(g_sync_armed).compare_exchange_strong(idle, 1, std::memory_order_relaxed)) {
        std::call_once(g_sync_sem_once, [] { (void)sem_init(&g_sync_sem, 0, 0); });
        (void)sem_post(&g_sync_sem);
    }
}

void oam_sync_wait_armed()
{
    std::call_once(g_sync_sem_once, [] { (void)sem_init(&g_sync_sem, 0, 0); });
    while (sem_wait(&g_sync_sem) != 0 && errno == EINTR) {
    }
}

void oam_sync_armed_logs()
{
    // Cleared before the sync: a write while it runs arms the next one.
    std::atomic_ref<int32_t>(g_sync_armed).store(0, std::memory_order_relaxed);
    oam_sync_logs();
}
