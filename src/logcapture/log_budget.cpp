// The fair removal of old log files: when the log file system runs short of
// its kept free space, or all cores' files pass their byte budget, the
// oldest rotated file of the core that holds most relative to its share
// goes first.  So a flood in one core eats its own history, and a core at
// its floor loses nothing to another core's flood.
#include "logcapture/log_budget.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "common/oam_context.h"
#include "common/oam_driver.h"
#include "common/oam_file.h"
#include "common/oam_journal.h"
#include "common/oam_print.h"
#include "support/bounded.h"

oam_log_budget_cfg g_log_budget = {0, 0, {OAM_SHARE_DEFAULT, OAM_SHARE_DEFAULT, OAM_SHARE_DEFAULT}, 0,
                                   OAM_COMPRESS_LEVEL_DEFAULT, 0};
pthread_mutex_t g_log_files_mutex = PTHREAD_MUTEX_INITIALIZER;
uint64_t g_log_rotations[OAM_BC_CORES];

namespace {

constexpr int64_t OAM_MIB = 1024 * 1024;
constexpr int64_t OAM_SHARE_WHOLE = 10000;
constexpr int OAM_REMOVALS_MAX = 100000;  // bounds one check whatever the file system says

// Byte counts in the comparisons are held below 2^49 (512 TiB), so that a
// product with a share (at most 10000) stays inside 64 bits on every target.
constexpr int64_t OAM_BUDGET_BYTES_MAX = int64_t {1} << 49;

int64_t oam_budget_clamp(int64_t bytes)
{
    return bytes < OAM_BUDGET_BYTES_MAX ? bytes : OAM_BUDGET_BYTES_MAX;
}

int64_t g_budget_last_check;  // coarse monotonic seconds of the last check
// Per rule (keep free, max use, a core's retention): its last check could
// not meet its limit and said so; cleared once the limit is met again.
enum oam_budget_rule { OAM_RULE_FREE, OAM_RULE_MAX_USE, OAM_RULE_RETAIN, OAM_RULES };
bool g_budget_stuck[OAM_RULES];

struct oam_dir_closer {
    void operator()(DIR *dir) const { (void)closedir(dir); }
};

const oam_jcore OAM_BC_JCORE[OAM_BC_CORES] = {OAM_J_WIFI, OAM_J_BFG, OAM_J_ME};
constexpr const char *OAM_BC_NAME[OAM_BC_CORES] = {"wifi", "bfg", "me"};

// The number n of a name prefix<n> or prefix<n>.zst; 0 for anything else.
int32_t oam_budget_name_num(const char *name, size_t prefix_len, bool *zst)
{
    const char *p = name + prefix_len;
    int64_t n = 0;
    const char *digits = p;
    while (*p >= '0' && *p <= '9' && n < INT32_MAX) {
        n = n * 10 + (*p - '0');
        ++p;
    }
    if (p == digits || *digits == '0' || n > INT32_MAX) {
        return 0;
    }
    *zst = strcmp(p, ".zst") == 0;
    return *p == '\0' || *zst ? static_cast<int32_t>(n) : 0;
}

bool oam_budget_core_files(int core)
{
    const oam_log_desc *d = oam_budget_desc(core);
    return d != nullptr && d->name != nullptr && d->path.value[0] != '\0';
}

// The bytes of the dump contexts: they hold records too, and count
// against the byte budget like the log files they were copied from.
int64_t oam_budget_contexts()
{
    std::unique_ptr<DIR, oam_dir_closer> d(opendir(g_memdump_type_table[0].path));
    if (!d) {
        return 0;
    }
    const size_t suffix_len = strlen(OAM_CONTEXT_SUFFIX);
    int64_t bytes = 0;
    for (const dirent *ent = readdir(d.get()); ent != nullptr; ent = readdir(d.get())) {
        const size_t len = strlen(ent->d_name);
        const char *dot = strstr(ent->d_name, OAM_CONTEXT_SUFFIX);
        struct stat st {};
        if (len > suffix_len && dot != nullptr && (strcmp(dot, OAM_CONTEXT_SUFFIX) == 0 ||
                                                    strcmp(dot, OAM_CONTEXT_TMP_SUFFIX) == 0) &&
            fstatat(dirfd(d.get()), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            bytes += st.st_size;
        }
    }
    return bytes;
}

// Each core's kept files and share; returns the bytes of all of them.
// With wait, the plain files the compressor has yet to take count for
// nothing and are never taken: what they will hold is not known before.
int64_t oam_budget_collect(oam_budget_use *use, bool wait)
{
    const oam_log_desc *desc[OAM_BC_CORES];
    for (int c = 0; c < OAM_BC_CORES; ++c) {
        desc[c] = oam_budget_desc(c);
    }
    int64_t share[OAM_BC_CORES];
    oam_budget_shares(desc, g_log_budget.min_share, share);
    int64_t total = 0;
    for (int c = 0; c < OAM_BC_CORES; ++c) {
        use[c] = oam_budget_use{0, -1, 0, false, share[c]};
        if (oam_budget_core_files(c)) {
            (void)oam_budget_scan(desc[c]->path.value, desc[c]->name, wait ? oam_compress_pending_upto(c) : 0,
                                  &use[c]);
        }
        total += use[c].bytes;
    }
    return total;
}

// Removes the oldest rotated file of core; 0, or -1 (reported once until a
// removal works again).
int oam_budget_remove(oam_budget_rule rule, int core, const oam_budget_use &use, const char *why_fmt,
                      int64_t limit_mib)
{
    const oam_log_desc *d = oam_budget_desc(core);
    char path[OAM_FILE_PATH_LEN];
    if (snprintf_s(path, sizeof(path), sizeof(path) - 1, "%s%s%d%s", d->path.value, d->name, use.oldest_num,
                   use.oldest_zst ? ".zst" : "") < 0) {
        return -1;
    }
    if (unlink(path) != 0) {
        if (!g_budget_stuck[rule]) {
            char text[128];
            OAM_ERR("[%s:%d]cannot remove %s: %s\n", path, strerror_r(errno, text, sizeof(text)));
            g_budget_stuck[rule] = true;
        }
        return -1;
    }
    // Durable before a rotation moves another file onto this number.
    (void)oam_sync_dir(d->path.value);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    oam_journal_event(OAM_BC_JCORE[core], "removed", why_fmt, path, static_cast<long long>(use.oldest_bytes),
                      static_cast<long long>(limit_mib));
#pragma GCC diagnostic pop
    return 0;
}

void oam_budget_stuck(oam_budget_rule rule, const char *what, int64_t limit_mib)
{
    if (!g_budget_stuck[rule]) {
        OAM_WARN("[%s:%d]no log file may go to %s %lld MiB\n", what, static_cast<long long>(limit_mib));
        g_budget_stuck[rule] = true;
    }
}

// Free bytes of the log file system, -1 when unknown.
int64_t oam_budget_free()
{
    struct statvfs vfs {};
    if (statvfs(OAM_LOG_ROOT_DIR, &vfs) != 0) {
        return -1;
    }
    return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
}

void oam_budget_keep_free()
{
    const int64_t keep = static_cast<int64_t>(g_log_budget.keep_free_mib) * OAM_MIB;
    for (int round = 0; round < OAM_REMOVALS_MAX; ++round) {
        const int64_t free_bytes = oam_budget_free();
        if (free_bytes < 0 || free_bytes >= keep) {
            if (free_bytes >= keep) {
                g_budget_stuck[OAM_RULE_FREE] = false;
            }
            return;
        }
        oam_budget_use use[OAM_BC_CORES];
        const int64_t total = oam_budget_collect(use, false);
        // What the logs may hold: what they hold now and the free space
        // above the floor.
        const int64_t budget = total + free_bytes - keep > 0 ? total + free_bytes - keep : 0;
        const int core = oam_budget_pick(use, OAM_BC_CORES, budget);
        if (core < 0) {
            oam_budget_stuck(OAM_RULE_FREE, "keep free", g_log_budget.keep_free_mib);
            return;
        }
        if (oam_budget_remove(OAM_RULE_FREE, core, use[core], "%s %lld to keep %lld MiB free",
                              g_log_budget.keep_free_mib) != 0) {
            return;
        }
    }
}

void oam_budget_max_use()
{
    const int64_t budget = static_cast<int64_t>(g_log_budget.max_use_mib) * OAM_MIB;
    for (int round = 0; round < OAM_REMOVALS_MAX; ++round) {
        oam_budget_use use[OAM_BC_CORES];
        const int64_t total = oam_budget_collect(use, true) + oam_budget_contexts();
        if (total <= budget) {
            g_budget_stuck[OAM_RULE_MAX_USE] = false;
            return;
        }
        const int core = oam_budget_pick(use, OAM_BC_CORES, budget);
        if (core < 0) {
            oam_budget_stuck(OAM_RULE_MAX_USE, "keep the logs within", g_log_budget.max_use_mib);
            return;
        }
        if (oam_budget_remove(OAM_RULE_MAX_USE, core, use[core], "%s %lld to keep the logs within %lld MiB",
                              g_log_budget.max_use_mib) != 0) {
            return;
        }
    }
}

int oam_budget_core_of(const oam_log_desc *pst_log)
{
    for (int c = 0; c < OAM_BC_CORES; ++c) {
        if (oam_budget_desc(c) == pst_log) {
            return c;
        }
    }
    return -1;
}

}  // namespace

oam_log_desc *oam_budget_desc(int core)
{
    switch (core) {
    case OAM_BC_WIFI:
        return &g_st_global.st_wifi_log;
    case OAM_BC_BFG:
        return &g_st_global.st_bfg_log;
    case OAM_BC_ME:
        return &g_st_global.st_me_log;
    default:
        return nullptr;
    }
}

int oam_budget_pick(const oam_budget_use *use, int n, int64_t budget)
{
    int best = -1;
    for (int c = 0; c < n; ++c) {
        const oam_budget_use &u = use[c];
        if (u.oldest_bytes < 0 || u.oldest_num < 2) {
            continue;  // file 1 is being written: never taken
        }
        // At or below its floor a core loses nothing to another's flood.
        if (u.share > 0 && oam_budget_clamp(u.bytes) * OAM_SHARE_WHOLE <= oam_budget_clamp(budget) * u.share) {
            continue;
        }
        if (best < 0) {
            best = c;
            continue;
        }
        const oam_budget_use &b = use[best];
        // bytes / share, compared crosswise; no share is an endless ratio.
        const int64_t lhs = oam_budget_clamp(u.bytes) * (b.share > 0 ? b.share : 1);
        const int64_t rhs = oam_budget_clamp(b.bytes) * (u.share > 0 ? u.share : 1);
        const bool u_endless = u.share <= 0;
        const bool b_endless = b.share <= 0;
        if ((u_endless && !b_endless) || (u_endless == b_endless && (lhs > rhs || (lhs == rhs && u.bytes > b.bytes)))) {
            best = c;
        }
    }
    return best;
}

void oam_budget_shares(const oam_log_desc *const *desc, const int32_t *min_share, int64_t *share)
{
    int64_t need[OAM_BC_CORES] = {};
    int64_t need_total = 0;
    int64_t given = 0;
    for (int c = 0; c < OAM_BC_CORES; ++c) {
        share[c] = 0;
        const oam_log_desc *d = desc[c];
        if (d == nullptr || d->name == nullptr || d->log_switch.value != 1) {
            continue;
        }
        if (min_share[c] >= 0) {
            share[c] = static_cast<int64_t>(min_share[c]) * (OAM_SHARE_WHOLE / 100);
            given += share[c];
            continue;
        }
        const int64_t size = d->size.value > 0 ? d->size.value : 0;
        const int64_t num = d->num.value > 0 ? d->num.value : 1;
        need[c] = size * num;
        need_total += need[c];
    }
    // The cores without a share of their own divide what is left by need.
    const int64_t rest = given < OAM_SHARE_WHOLE ? OAM_SHARE_WHOLE - given : 0;
    for (int c = 0; c < OAM_BC_CORES; ++c) {
        if (need[c] > 0 && need_total > 0) {
            // A need is at most 2^31 bytes times 200 files: the product
            // with at most 10000 stays far inside 64 bits.
            share[c] = rest * need[c] / need_total;
        }
    }
}

int oam_budget_scan(const char *dir, const char *prefix, int32_t pending_upto, oam_budget_use *use)
{
    std::unique_ptr<DIR, oam_dir_closer> d(opendir(dir));
    if (!d) {
        return -1;
    }
    const size_t prefix_len = strlen(prefix);
    use->bytes = 0;
    use->oldest_bytes = -1;
    use->oldest_num = 0;
    use->oldest_zst = false;
    for (const dirent *ent = readdir(d.get()); ent != nullptr; ent = readdir(d.get())) {
        if (strncmp(ent->d_name, prefix, prefix_len) != 0) {
            continue;
        }
        bool zst = false;
        const int32_t num = oam_budget_name_num(ent->d_name, prefix_len, &zst);
        struct stat st {};
        if (num == 0 || (!zst && num > 1 && num <= pending_upto) ||
            fstatat(dirfd(d.get()), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        use->bytes += st.st_size;
        // Of a plain file and its compressed copy (a stop between the two
        // steps of a compression), the plain one goes first.
        if (num > 1 && (num > use->oldest_num || (num == use->oldest_num && !zst))) {
            use->oldest_num = num;
            use->oldest_zst = zst;
            use->oldest_bytes = st.st_size;
        }
    }
    return 0;
}

void oam_budget_tick()
{
    if (g_log_budget.keep_free_mib <= 0 && g_log_budget.max_use_mib <= 0) {
        return;
    }
    // A coarse clock is read without entering the kernel.
    timespec now {};
    (void)clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    std::atomic_ref<int64_t> last(g_budget_last_check);
    int64_t seen = last.load(std::memory_order_relaxed);
    if (now.tv_sec <= seen && seen != 0) {
        return;
    }
    // One receiver checks for all of them.
    if (!last.compare_exchange_strong(seen, now.tv_sec > 0 ? now.tv_sec : 1, std::memory_order_relaxed)) {
        return;
    }
    pthread_mutex_lock(&g_log_files_mutex);
    oam_budget_before_rotate();
    pthread_mutex_unlock(&g_log_files_mutex);
}

void oam_budget_before_rotate()
{
    if (g_log_budget.keep_free_mib > 0) {
        oam_budget_keep_free();
    }
    if (g_log_budget.max_use_mib > 0) {
        oam_budget_max_use();
    }
}

int oam_budget_shift(const oam_log_desc *pst_log, int32_t from, oam_budget_use *use)
{
    if (oam_budget_scan(pst_log->path.value, pst_log->name, 0, use) != 0) {
        return -1;
    }
    // Every numbered file moves up by one, compressed or not: with
    // compression the count limit no longer ends the row.  The highest
    // number is the oldest's, and the rows are gapless as the store left
    // them; a gap only costs a missing rename.  Nothing is ever renamed
    // over a file that is there.
    for (int32_t k = use->oldest_num > from ? use->oldest_num : from; k >= from && k < INT32_MAX; --k) {
        for (const char *ext : {"", ".zst"}) {
            char from_name[OAM_FILE_PATH_LEN];
            char to_name[OAM_FILE_PATH_LEN];
            if (snprintf_s(from_name, sizeof(from_name), sizeof(from_name) - 1, "%s%s%d%s", pst_log->path.value,
                           pst_log->name, k, ext) < 0 ||
                snprintf_s(to_name, sizeof(to_name), sizeof(to_name) - 1, "%s%s%d%s", pst_log->path.value,
                           pst_log->name, k + 1, ext) < 0) {
                continue;
            }
            // The files below could only move onto this one: they stay.
            if (oam_rename_noreplace(from_name, to_name) < 0 && errno != ENOENT) {
                OAM_ERR("[%s:%d]rename %s failed, errno:%d\n", from_name, errno);
                return -1;
            }
        }
    }
    return 0;
}

int oam_budget_renumber(oam_log_desc *pst_log)
{
    oam_budget_use use {};
    if (oam_budget_shift(pst_log, 1, &use) != 0) {
        return -1;
    }
    const int core = oam_budget_core_of(pst_log);
    if (core >= 0) {
        ++g_log_rotations[core];
    }
    oam_flag_store(pst_log->file_count, use.oldest_num > 1 ? use.oldest_num : 1);
    return 0;
}

namespace {

void oam_budget_retain(int core)
{
    const oam_log_desc *pst_log = oam_budget_desc(core);
    if (g_log_budget.compress != 1 || pst_log == nullptr || !oam_budget_core_files(core)) {
        return;
    }
    // Retention by bytes: the core's share of the byte budget, or the flash
    // its count of full files would take uncompressed.  A rotated file
    // waits for the compressor before it counts.
    oam_budget_use all[OAM_BC_CORES];
    (void)oam_budget_collect(all, true);
    const int64_t limit = g_log_budget.max_use_mib > 0
                              ? static_cast<int64_t>(g_log_budget.max_use_mib) * OAM_MIB * all[core].share /
                                    OAM_SHARE_WHOLE
                              : static_cast<int64_t>(pst_log->size.value > 0 ? pst_log->size.value : 0) *
                                    (pst_log->num.value > 0 ? pst_log->num.value : 1);
    for (int round = 0; round < OAM_REMOVALS_MAX; ++round) {
        oam_budget_use use = all[core];
        if (use.bytes <= limit || use.oldest_num < 2) {
            g_budget_stuck[OAM_RULE_RETAIN] = false;
            break;
        }
        if (oam_budget_remove(OAM_RULE_RETAIN, core, use, "%s %lld to keep the logs within %lld MiB",
                              limit / OAM_MIB) != 0) {
            break;
        }
        if (oam_budget_scan(pst_log->path.value, pst_log->name, oam_compress_pending_upto(core), &all[core]) != 0) {
            break;
        }
    }
}

}  // namespace

void oam_budget_after_rotate(oam_log_desc *pst_log)
{
    const int core = oam_budget_core_of(pst_log);
    if (g_log_budget.compress != 1 || core < 0) {
        return;
    }
    oam_budget_retain(core);
    oam_compress_wake();
}

void oam_budget_after_compress(int core)
{
    pthread_mutex_lock(&g_log_files_mutex);
    oam_budget_before_rotate();
    oam_budget_retain(core);
    pthread_mutex_unlock(&g_log_files_mutex);
}

void oam_budget_check_shares()
{
    if (g_log_budget.max_use_mib <= 0) {
        return;
    }
    const oam_log_desc *desc[OAM_BC_CORES];
    for (int c = 0; c < OAM_BC_CORES; ++c) {
        desc[c] = oam_budget_desc(c);
    }
    int64_t share[OAM_BC_CORES];
    oam_budget_shares(desc, g_log_budget.min_share, share);
    for (int c = 0; c < OAM_BC_CORES; ++c) {
        const int64_t bytes = static_cast<int64_t>(g_log_budget.max_use_mib) * OAM_MIB * share[c] / OAM_SHARE_WHOLE;
        if (share[c] > 0 && desc[c]->size.value > 0 && bytes < desc[c]->size.value) {
            OAM_WARN("[%s:%d]%s keeps %lld bytes of log_max_use=%d MiB, less than one rotated file of %d bytes: "
                      "%s\n",
                      OAM_BC_NAME[c], static_cast<long long>(bytes), g_log_budget.max_use_mib, desc[c]->size.value,
                      g_log_budget.compress == 1 ? "its history is what fits compressed"
                                                 : "no history is kept");
        }
    }
}
