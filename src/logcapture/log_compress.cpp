// Compressed history: a rotated log file becomes one zstd frame (content
// checksum and size in it) next to its plain name plus ".zst", written as
// ".zst.tmp", synced and renamed before the plain file goes.  One thread
// at the lowest priority does it, so capture never waits for it; it sleeps
// until a rotation gives it work.
#include "logcapture/log_budget.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zstd.h>

#include "common/oam_file.h"
#include "common/oam_journal.h"
#include "common/oam_print.h"
#include "support/bounded.h"

namespace {

constexpr size_t OAM_ZST_IN_LEN = 128 * 1024;
constexpr int OAM_ZST_BATCH = 64;    // files taken from one directory per pass
constexpr int OAM_ZST_FAILED = 64;   // files that failed, not tried again

pthread_mutex_t g_compress_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_compress_cond = PTHREAD_COND_INITIALIZER;
bool g_compress_pending;
// Under g_log_files_mutex: the thread could not be started, and per core
// whether it went through the files once and the rotation count when it
// listed them.
bool g_compress_failed_start;
// Under g_log_files_mutex: the daemon stops; no part is made or committed
// any more, and those there are gone.
bool g_compress_stopping;
bool g_compress_passed[OAM_BC_CORES];
uint64_t g_compress_listed_at[OAM_BC_CORES];

const oam_jcore OAM_ZST_JCORE[OAM_BC_CORES] = {OAM_J_WIFI, OAM_J_BFG, OAM_J_ME};

// What the compressing thread keeps between files.
struct oam_zst_work {
    struct {
        dev_t dev;
        ino_t ino;
    } failed[OAM_ZST_FAILED];
    int failed_next;
};
oam_zst_work *g_compress_work;

// The compressor and its buffers, made once per thread that compresses.
struct oam_zst_stream {
    ZSTD_CCtx *cctx;
    uint8_t *in;
    uint8_t *out;
    size_t out_len;
};

struct oam_fd_closer {
    int fd;
    ~oam_fd_closer()
    {
        if (fd >= 0) {
            (void)close(fd);
        }
    }
};

bool oam_zst_failed_before(const oam_zst_work *w, const struct stat &st)
{
    for (const auto &f : w->failed) {
        if (f.ino == st.st_ino && f.dev == st.st_dev && f.ino != 0) {
            return true;
        }
    }
    return false;
}

// Whether the files at a and b hold the same bytes.
bool oam_zst_same_bytes(const char *a, const char *b)
{
    struct stat sa {};
    struct stat sb {};
    oam_fd_closer fa {oam_open_regular(a, O_RDONLY | O_NOFOLLOW, 0, &sa)};
    oam_fd_closer fb {oam_open_regular(b, O_RDONLY | O_NOFOLLOW, 0, &sb)};
    if (fa.fd < 0 || fb.fd < 0 || sa.st_size != sb.st_size) {
        return false;
    }
    char ba[4096];
    char bb[4096];
    for (;;) {
        const ssize_t na = read(fa.fd, ba, sizeof(ba));
        const ssize_t nb = na > 0 ? read(fb.fd, bb, static_cast<size_t>(na)) : 0;
        if (na <= 0 || nb != na || memcmp(ba, bb, static_cast<size_t>(na)) != 0) {
            return na == 0;
        }
    }
}

// Puts the frame at tmp in the place of plain file num, under
// g_log_files_mutex.  A compressed file of that number already there is
// never replaced: the same frame is what a stop between the rename and
// the removal left (the plain file goes now); another is older history
// beside which a run without compression rotated, and gets the next
// number, the files behind it moving up.
bool oam_zst_commit(int core, int32_t num, const char *tmp, const char *plain, const char *zst)
{
    const oam_log_desc *d = oam_budget_desc(core);
    if (oam_rename_noreplace(tmp, zst) != 0) {
        char next[OAM_FILE_PATH_LEN];
        oam_budget_use use {};
        if (errno != EEXIST) {
            return false;
        }
        if (oam_zst_same_bytes(tmp, zst)) {
            (void)unlink(tmp);
            (void)unlink(plain);
            return true;
        }
        if (num == INT32_MAX ||
            snprintf_s(next, sizeof(next), sizeof(next) - 1, "%s%s%d.zst", d->path.value, d->name, num + 1) < 0 ||
            oam_budget_shift(d, num + 1, &use) != 0 || oam_rename_noreplace(zst, next) != 0 ||
            oam_rename_noreplace(tmp, zst) != 0) {
            return false;
        }
        oam_compress_wake();  // the files listed behind it moved up
    }
    // A plain file left beside its frame would give its records twice: the
    // next pass finds it with the same frame there and removes it then.
    if (unlink(plain) != 0 && errno != ENOENT) {
        char text[128];
        const char *why = strerror_r(errno, text, sizeof(text));
        OAM_ERR("[%s:%d]%s not removed beside its frame: %s\n", plain, why);
        oam_journal_event(OAM_ZST_JCORE[core], "compress-failed", "%s not removed: %s", plain, why);
    }
    return true;
}

// Compresses file number num of core; the plain file stays when anything
// fails, and the failure is journalled once.  true when it was compressed.
bool oam_zst_file(oam_zst_work *w, int core, int32_t num)
{
    const oam_log_desc *d = oam_budget_desc(core);
    char plain[OAM_FILE_PATH_LEN];
    char tmp[OAM_FILE_PATH_LEN];
    if (snprintf_s(plain, sizeof(plain), sizeof(plain) - 1, "%s%s%d", d->path.value, d->name, num) < 0 ||
        snprintf_s(tmp, sizeof(tmp), sizeof(tmp) - 1, "%s.zst.tmp", plain) < 0) {
        return false;
    }
    struct stat st {};
    pthread_mutex_lock(&g_log_files_mutex);
    const uint64_t rotations = g_log_rotations[core];
    oam_fd_closer src {g_compress_stopping ? -1 : oam_open_regular(plain, O_RDONLY | O_NOFOLLOW, 0, &st)};
    // Made under the lock, so that the stop's sweep finds every part.
    const bool skip = src.fd < 0 || oam_zst_failed_before(w, st);
    if (!skip) {
        (void)unlink(tmp);
    }
    oam_fd_closer dst {skip ? -1 : open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0664)};
    const int open_err = errno;
    pthread_mutex_unlock(&g_log_files_mutex);
    if (skip) {
        return false;
    }
    char text[128];
    const char *why = nullptr;
    {
        if (dst.fd < 0) {
            why = strerror_r(open_err, text, sizeof(text));
        } else {
            why = oam_compress_stream(src.fd, dst.fd, static_cast<uint64_t>(st.st_size), g_log_budget.compress_level,
                                      text, sizeof(text));
            if (why == nullptr && fsync(dst.fd) != 0) {
                why = strerror_r(errno, text, sizeof(text));
            }
        }
    }
    if (dst.fd >= 0) {
        (void)close(dst.fd);
        dst.fd = -1;
    }
    if (why != nullptr) {
        (void)unlink(tmp);
        w->failed[w->failed_next] = {st.st_dev, st.st_ino};
        w->failed_next = (w->failed_next + 1) % OAM_ZST_FAILED;
        oam_journal_event(OAM_ZST_JCORE[core], "compress-failed", "%s: %s", plain, why);
        return false;
    }
    // Rotations while it ran moved the file up by one each; a file removed
    // meanwhile (retention, a user) is not brought back.
    pthread_mutex_lock(&g_log_files_mutex);
    const int64_t now_num = num + static_cast<int64_t>(g_log_rotations[core] - rotations);
    char now_plain[OAM_FILE_PATH_LEN];
    char now_zst[OAM_FILE_PATH_LEN];
    struct stat cur {};
    bool done = false;
    if (!g_compress_stopping && now_num <= INT32_MAX &&
        snprintf_s(now_plain, sizeof(now_plain), sizeof(now_plain) - 1, "%s%s%lld", d->path.value, d->name,
                   static_cast<long long>(now_num)) >= 0 &&
        snprintf_s(now_zst, sizeof(now_zst), sizeof(now_zst) - 1, "%s.zst", now_plain) >= 0 &&
        lstat(now_plain, &cur) == 0 && cur.st_ino == st.st_ino && cur.st_dev == st.st_dev &&
        cur.st_size == st.st_size) {
        done = oam_zst_commit(core, static_cast<int32_t>(now_num), tmp, now_plain, now_zst);
    }
    pthread_mutex_unlock(&g_log_files_mutex);
    if (!done) {
        (void)unlink(tmp);
        return false;
    }
    // Outside the lock, which capture takes at a rotation: this thread runs
    // below everything else and must not hold capture up while it waits for
    // storage.  The file system's journal keeps the rename, the removal and
    // any rotation meanwhile in their order; the sync puts them on storage.
    (void)oam_sync_dir(d->path.value);
    return done;
}

// The numbers of the plain rotated files of core without a compressed
// copy, up to OAM_ZST_BATCH of them (none listed when nums is null); stale
// ".zst.tmp" files are removed.
int oam_zst_list(int core, int32_t *nums)
{
    const oam_log_desc *d = oam_budget_desc(core);
    if (d == nullptr || d->name == nullptr || d->path.value[0] == '\0') {
        return 0;
    }
    DIR *dir = opendir(d->path.value);
    if (dir == nullptr) {
        return 0;
    }
    const size_t prefix_len = strlen(d->name);
    int n = 0;
    for (const dirent *ent = readdir(dir); ent != nullptr && n < OAM_ZST_BATCH; ent = readdir(dir)) {
        if (strncmp(ent->d_name, d->name, prefix_len) != 0) {
            continue;
        }
        char *end = nullptr;
        const char *digits = ent->d_name + prefix_len;
        if (*digits < '1' || *digits > '9') {
            continue;
        }
        errno = 0;
        const long num = strtol(digits, &end, 10);
        if (errno != 0 || num < 2 || num > INT32_MAX) {
            continue;
        }
        // No frame is being written while this thread lists: a part here
        // is one a stop left, or one whose removal failed after a failed
        // step.
        if (strcmp(end, ".zst.tmp") == 0) {
            (void)unlinkat(dirfd(dir), ent->d_name, 0);
        } else if (nums == nullptr) {
            continue;
        } else if (*end == '\0' && ent->d_type != DT_DIR) {
            nums[n++] = static_cast<int32_t>(num);
        }
    }
    (void)closedir(dir);
    return n;
}

void *oam_compress_pthread(void *)
{
    // Below every other thread of the device: capture, and the device's
    // own work, go first.  Named once that is done, so that whoever finds
    // it by its name sees its priority.
    sched_param param {};
    const int err = pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
    if (err != 0 && setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19) != 0) {
        OAM_WARN("[%s:%d]log compression runs at normal priority: SCHED_IDLE errno:%s, nice 19 errno:%s\n",
                  strerror(err), strerror(errno));
    }
    (void)pthread_setname_np(pthread_self(), "oam-compress");
    for (;;) {
        pthread_mutex_lock(&g_compress_mutex);
        while (!g_compress_pending) {
            pthread_cond_wait(&g_compress_cond, &g_compress_mutex);
        }
        g_compress_pending = false;
        pthread_mutex_unlock(&g_compress_mutex);
        oam_compress_pass();
    }
}

}  // namespace

const char *oam_compress_stream(int src, int dst, uint64_t size, int level, char *text, size_t text_len)
{
    static thread_local oam_zst_stream z {};
    if (z.cctx == nullptr) {
        z.cctx = ZSTD_createCCtx();
        z.out_len = ZSTD_CStreamOutSize();
        z.in = new (std::nothrow) uint8_t[OAM_ZST_IN_LEN];
        z.out = new (std::nothrow) uint8_t[z.out_len];
        if (z.cctx == nullptr || z.in == nullptr || z.out == nullptr) {
            ZSTD_freeCCtx(z.cctx);
            delete[] z.in;
            delete[] z.out;
            z = {};
            return "no memory for the compressor";
        }
    }
    ZSTD_CCtx *c = z.cctx;
    (void)ZSTD_CCtx_reset(c, ZSTD_reset_session_and_parameters);
    if (ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1)) ||
        ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(c, size))) {
        return "compressor settings refused";
    }
    uint64_t done = 0;
    for (;;) {
        const ssize_t n = read(src, z.in, OAM_ZST_IN_LEN);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return strerror_r(errno, text, text_len);
        }
        done += static_cast<uint64_t>(n);
        if (done > size) {
            return "file grew while compressed";
        }
        const bool last = n == 0;
        if (last && done != size) {
            return "file shrank while compressed";
        }
        ZSTD_inBuffer in {z.in, static_cast<size_t>(n), 0};
        for (;;) {
            ZSTD_outBuffer out {z.out, z.out_len, 0};
            const size_t left = ZSTD_compressStream2(c, &out, &in, last ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(left)) {
                return ZSTD_getErrorName(left);
            }
            const int err = oam_write_all(dst, z.out, out.pos) == 0 ? 0 : errno;
            if (err != 0) {
                return strerror_r(err, text, text_len);
            }
            if (last ? left == 0 : in.pos == in.size) {
                break;
            }
        }
        if (last) {
            return nullptr;
        }
    }
}

void oam_compress_pass()
{
    if (g_compress_work == nullptr) {
        g_compress_work = new (std::nothrow) oam_zst_work {};
        if (g_compress_work == nullptr) {
            // Nothing is taken: the budget counts the plain files as they are.
            pthread_mutex_lock(&g_log_files_mutex);
            const bool said = g_compress_failed_start;
            g_compress_failed_start = true;
            pthread_mutex_unlock(&g_log_files_mutex);
            if (!said) {
                OAM_ERR("[%s:%d]no memory to compress the log files\n");
            }
            return;
        }
    }
    for (int core = 0; core < OAM_BC_CORES; ++core) {
        pthread_mutex_lock(&g_log_files_mutex);
        const uint64_t listed_at = g_log_rotations[core];
        pthread_mutex_unlock(&g_log_files_mutex);
        int32_t nums[OAM_ZST_BATCH];
        const int n = oam_zst_list(core, nums);
        int compressed = 0;
        for (int i = 0; i < n; ++i) {
            compressed += oam_zst_file(g_compress_work, core, nums[i]) ? 1 : 0;
        }
        // A full batch may have left work: look again, unless nothing
        // of it could be done.
        if (n == OAM_ZST_BATCH && compressed > 0) {
            oam_compress_wake();
            continue;
        }
        // Every file there was taken or tried: what it holds now counts.
        pthread_mutex_lock(&g_log_files_mutex);
        g_compress_passed[core] = true;
        g_compress_listed_at[core] = listed_at;
        pthread_mutex_unlock(&g_log_files_mutex);
        oam_budget_after_compress(core);
    }
}

void oam_compress_reset()
{
    delete g_compress_work;
    g_compress_work = nullptr;
    pthread_mutex_lock(&g_log_files_mutex);
    for (int core = 0; core < OAM_BC_CORES; ++core) {
        g_compress_passed[core] = false;
        g_compress_listed_at[core] = 0;
    }
    g_compress_stopping = false;
    pthread_mutex_unlock(&g_log_files_mutex);
}

int32_t oam_compress_pending_upto(int core)
{
    if (g_log_budget.compress != 1 || g_compress_failed_start || core < 0 || core >= OAM_BC_CORES) {
        return 0;
    }
    if (!g_compress_passed[core]) {
        return INT32_MAX;
    }
    const uint64_t since = g_log_rotations[core] - g_compress_listed_at[core];
    return since < static_cast<uint64_t>(INT32_MAX) - 1 ? static_cast<int32_t>(since + 1) : INT32_MAX;
}

void oam_compress_stop()
{
    if (g_log_budget.compress != 1) {
        return;
    }
    // A part being written is taken from under the compressor: its commit
    // finds it gone, and the plain file stays.
    pthread_mutex_lock(&g_log_files_mutex);
    g_compress_stopping = true;
    for (int core = 0; core < OAM_BC_CORES; ++core) {
        (void)oam_zst_list(core, nullptr);
    }
    pthread_mutex_unlock(&g_log_files_mutex);
}

void oam_compress_wake()
{
    pthread_mutex_lock(&g_compress_mutex);
    g_compress_pending = true;
    pthread_cond_signal(&g_compress_cond);
    pthread_mutex_unlock(&g_compress_mutex);
}

void oam_compress_start()
{
    if (g_log_budget.compress != 1) {
        return;
    }
    // Whatever an earlier run left plain is taken first; until then the
    // budget leaves the plain files to it.
    g_compress_pending = true;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, oam_compress_pthread, nullptr) != 0) {
        pthread_mutex_lock(&g_log_files_mutex);
        g_compress_failed_start = true;
        pthread_mutex_unlock(&g_log_files_mutex);
        OAM_ERR("[%s:%d]log compression not started: files stay plain\n");
        return;
    }
    (void)pthread_detach(thread);
}
