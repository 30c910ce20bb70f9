// The numbered log files of one core: directories, the current file, its
// rotation, and the time-stamped records appended to it.
//
// A descriptor belongs to its core's receiver thread once start-up is over;
// only file_count is also written from other threads (oam_log_dir_init), so
// every touch of it after start-up is atomic.
#include "logcapture/log_store.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/oam_file.h"
#include "common/oam_health.h"
#include "common/oam_journal.h"
#include "common/oam_print.h"
#include "common/oam_time.h"
#include "common/oam_record.h"
#include "common/oam_record_parse.h"
#include "common/oam_driver.h"
#include "logcapture/log_budget.h"
#include "support/bounded.h"

namespace {

constexpr mode_t OAM_LOG_DIR_MODE = 0775;
constexpr int32_t OAM_RECHECK_INTERVAL = 100;  // existence check after this many records
constexpr uint8_t OAM_STAMP_MODE_RECORD = 1;
constexpr size_t OAM_ERR_TEXT_LEN = 128;

struct oam_log_dir {
    const char *dir;
    int fail_ret;
    // The descriptor whose files live in this directory, if any.
    oam_log_desc oam_global_stru::*desc;
};

constexpr std::array<oam_log_dir, 4> OAM_LOG_DIRS = {{
    {OAM_LOG_ROOT_DIR, -1, nullptr},
    {OAM_BFG_LOG_DIR, -2, &oam_global_stru::st_bfg_log},
    {OAM_ME_LOG_DIR, -2, &oam_global_stru::st_me_log},
    {OAM_WIFI_LOG_DIR, -2, &oam_global_stru::st_wifi_log},
}};

struct oam_dir_closer {
    void operator()(DIR *dir) const { (void)closedir(dir); }
};
using oam_dir_handle = std::unique_ptr<DIR, oam_dir_closer>;

const char *oam_err_text(int err, char *text, size_t len)
{
    return strerror_r(err, text, len);
}

oam_jcore oam_log_jcore(const oam_log_desc *pst_log)
{
    if (pst_log == &g_st_global.st_wifi_log) {
        return OAM_J_WIFI;
    }
    return pst_log == &g_st_global.st_me_log ? OAM_J_ME : OAM_J_BFG;
}

// The receivers hand in their own constant messages; each takes the function
// name, the line and the system error text.
void oam_print_write_err(const char *fmt, const char *func, int line, int err)
{
    if (fmt == nullptr) {
        return;
    }
    char text[OAM_ERR_TEXT_LEN];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    oam_printf(OAM_LEVEL_ERR, fmt, func, line, oam_err_text(err, text, sizeof(text)));
#pragma GCC diagnostic pop
}

void oam_close_log_stream(oam_log_desc *pst_log)
{
    if (pst_log->fp != nullptr) {
        (void)fclose(pst_log->fp);
        pst_log->fp = nullptr;
    }
}

// Opens file 1 for appending and takes its size once; from here on the size
// is counted as records are written instead of being asked per record.
// The log folders are group-writable: whatever another user put at file 1
// (a FIFO, a link to some other file) is neither waited on nor followed,
// and marks the descriptor, so that it is tried again only at the
// existence check.  Leaves errno of a failed open for the caller's message.
int oam_open_log_stream(oam_log_desc *pst_log)
{
    struct stat st {};
    const int fd = oam_open_regular(pst_log->file_path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0666, &st);
    pst_log->fp = fd >= 0 ? fdopen(fd, "a") : nullptr;
    if (pst_log->fp == nullptr) {
        const int err = fd == -2 ? EINVAL : errno;
        if (fd >= 0) {
            (void)close(fd);
        }
        pst_log->not_regular = fd == -2 || (lstat(pst_log->file_path, &st) == 0 && !S_ISREG(st.st_mode));
        errno = err;
        return -1;
    }
    pst_log->not_regular = false;
    // Unbuffered, so that nothing could ever be held back in the stream:
    // the records of a batch go to the descriptor in one write.
    (void)setvbuf(pst_log->fp, nullptr, _IONBF, 0);
    pst_log->file_size = static_cast<int64_t>(st.st_size);
    return 0;
}

// Writes records first..end-1 of the batch to file 1 with as few system
// calls as the kernel allows and returns how many went in whole; *err
// tells why the others did not.  A record is written whole or not at all:
// a part left behind by a write that stopped short would put every later
// record of the file out of step for whoever reads it back by the length
// fields.
uint32_t oam_write_records(oam_log_desc *pst_log, const oam_log_batch *batch, uint32_t first, uint32_t end,
                           int *err)
{
    iovec iov[OAM_LOG_BATCH_MAX];
    const uint32_t n = end - first;
    for (uint32_t k = 0; k < n; ++k) {
        iov[k] = {batch->rec[first + k], OAM_RECORD_HDR_LEN + batch->data_len[first + k]};
    }
    const int fd = fileno(pst_log->fp);
    uint32_t whole = 0;
    size_t part = 0;  // bytes of record `whole` already written
    while (whole < n) {
        const ssize_t w = writev(fd, iov + whole, static_cast<int>(n - whole));
        if (w <= 0) {
            if (w < 0 && errno == EINTR) {
                continue;
            }
            *err = w < 0 ? errno : EIO;
            struct stat st {};
            if (part > 0 && fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(part) &&
                ftruncate(fd, st.st_size - static_cast<off_t>(part)) != 0) {
                // The part stays; readers skip a record cut short as damage.
            }
            return whole;
        }
        const uint32_t before = whole;
        oam_iov_advance(iov, n, &whole, &part, static_cast<size_t>(w));
        for (uint32_t k = before; k < whole; ++k) {
            pst_log->file_size += OAM_RECORD_HDR_LEN + batch->data_len[first + k];
        }
    }
    return whole;
}

}  // namespace

int oam_log_dir_init()
{
    for (const oam_log_dir &entry : OAM_LOG_DIRS) {
        if (access(entry.dir, F_OK) == 0) {
            continue;
        }
        if (mkdir(entry.dir, OAM_LOG_DIR_MODE) != 0) {
            const int err = errno;
            // Another thread found it missing too and was first: carry on.
            if (err == EEXIST && access(entry.dir, F_OK) == 0) {
                continue;
            }
            char text[OAM_ERR_TEXT_LEN];
            OAM_ERR("[%s:%d]Failed to create dir %s,errno:%s\n", entry.dir,
                      oam_err_text(err, text, sizeof(text)));
            return entry.fail_ret;
        }
        OAM_INFO("[%s:%d]dir %s not exist,create success!\n", entry.dir);
        if (entry.desc != nullptr) {
            oam_flag_store((g_st_global.*entry.desc).file_count, 0);
        }
    }
    return 0;
}

int oam_get_log_file(oam_log_desc *pst_log)
{
    if (pst_log == nullptr) {
        OAM_ERR("[%s:%d]pst_log is NULL!!!!\n");
        return -1;
    }
    if (oam_open_log_stream(pst_log) != 0 && pst_log->not_regular) {
        OAM_WARN("[%s:%d]%s is not a regular file: records not stored\n", pst_log->file_path);
        return -1;
    }
    if (pst_log->fp == nullptr) {
        constexpr int repair_attempts = 2;
        for (int attempt = 1;; ++attempt) {
            char text[OAM_ERR_TEXT_LEN];
            OAM_ERR("[%s:%d]open %s failed;errno:%s\n\n", pst_log->file_path,
                      oam_err_text(errno, text, sizeof(text)));
            if (oam_log_dir_init() < 0) {
                const int err = errno;
                OAM_ERR("[%s:%d]oam log directory init failed\n");
                errno = err;
                return -1;
            }
            if (oam_open_log_stream(pst_log) == 0) {
                break;
            }
            if (attempt == repair_attempts) {
                // The open's error stays for the caller's loss count.
                const int err = errno;
                OAM_ERR("[%s:%d]can't open %s;errno:%s\n\n", pst_log->file_path,
                          oam_err_text(err, text, sizeof(text)));
                errno = err;
                return -1;
            }
        }
    }
    if (pst_log->file_size > pst_log->size.value && check_file_size(pst_log) != 0) {
        OAM_ERR("[%s:%d]check file failed!!\n");
        return -1;
    }
    return 0;
}

namespace {

// Rotated files looked at after an unclean end, and the bytes read of them
// in all: start-up stays short whatever the last run left.  A file rotated
// by this build was on storage before its rename; the rest are those an
// older build rotated in the last moments before the cut.
constexpr int32_t OAM_REPAIR_ROTATED_MAX = 4;
constexpr off_t OAM_REPAIR_ROTATED_BYTES = 16 * 1024 * 1024;

// A damaged stretch of a log file and the stamps of the whole records
// around it.
struct oam_log_stretch {
    oam_cut at;
    timespec from;
    timespec to;
    bool from_set;
    bool to_set;
};

timespec oam_record_wall_time(const uint16_t *f)
{
    struct tm t {};
    t.tm_year = f[OAM_STAMP_YEAR] - 1900;
    t.tm_mon = f[OAM_STAMP_MONTH] - 1;
    t.tm_mday = f[OAM_STAMP_DAY];
    t.tm_hour = f[OAM_STAMP_HOUR];
    t.tm_min = f[OAM_STAMP_MINUTE];
    t.tm_sec = f[OAM_STAMP_SECOND];
    t.tm_isdst = -1;
    return {mktime(&t), static_cast<long>(f[OAM_STAMP_MSEC]) * 1000000};
}

bool oam_stamp_fields_ok(const uint8_t *rec)
{
    for (int f = 0; f < OAM_STAMP_FIELDS; ++f) {
        const uint16_t v = oam_stamp_field(rec, f);
        if (v < OAM_STAMP_RANGES[f].min || v > OAM_STAMP_RANGES[f].max) {
            return false;
        }
    }
    return true;
}

// Within damage[0, len): the first record that starts the damage or follows
// a zero byte and has a zero byte behind it: written whole, with the blocks
// around it lost to a cut.  A reader takes it for damage, as nothing lines
// up behind it; start-up after an unclean end keeps it.
bool oam_zero_backed_record(const uint8_t *damage, size_t len, size_t *at, size_t *rec_len)
{
    for (size_t k = 0; k + OAM_RECORD_HDR_LEN < len; ++k) {
        const uint8_t *rec = damage + k;
        const size_t n = oam_record_len(rec);
        if ((k == 0 || damage[k - 1] == 0) && rec[0] == OAM_RECORD_MARKER && rec[1] == OAM_RECORD_RESERVED &&
            n > static_cast<size_t>(OAM_RECORD_HDR_LEN) && n <= static_cast<size_t>(OAM_RECORD_MAX_LEN) &&
            k + n < len && damage[k + n] == 0 && oam_stamp_fields_ok(rec)) {
            *at = k;
            *rec_len = n;
            return true;
        }
    }
    return false;
}

// Reads the file as a reader does.  Every damaged stretch (and what does not
// read, to the end) goes to *stretches; *cut_tail tells whether the file ends
// in a record cut short right behind the last whole one (*whole_end).  With
// zero_backed, a record with zeros around it is kept out of the stretches.
int oam_log_scan(int fd, off_t size, bool zero_backed, std::vector<oam_log_stretch> *stretches, off_t *whole_end,
                 bool *cut_tail)
{
    // The parser decides within a damaged stretch and a record behind it.
    constexpr size_t window_len = OAM_DAMAGE_STEP + 2 * OAM_RECORD_MAX_LEN;
    std::unique_ptr<uint8_t[]> window(new (std::nothrow) uint8_t[window_len]);
    if (window == nullptr) {
        return -1;
    }
    off_t win_start = 0;
    size_t win_len = 0;
    size_t pos = 0;
    uint16_t last_stamp[OAM_STAMP_FIELDS] = {};
    bool stamp_seen = false;
    *whole_end = 0;
    *cut_tail = false;
    for (;;) {
        const bool final = win_start + static_cast<off_t>(win_len) >= size;
        const oam_record_item item = oam_record_parse_next(window.get(), win_len, pos, final);
        if (item.kind == OAM_ITEM_END) {
            return 0;
        }
        if (item.kind == OAM_ITEM_MORE) {
            memmove(window.get(), window.get() + pos, win_len - pos);
            win_start += static_cast<off_t>(pos);
            win_len -= pos;
            pos = 0;
            const ssize_t n =
                pread(fd, window.get() + win_len, window_len - win_len, win_start + static_cast<off_t>(win_len));
            if (n <= 0) {
                // Shorter than it was, or unreadable: the rest is a stretch.
                *cut_tail = false;
                const off_t at = win_start;
                if (!stretches->empty() && stretches->back().at.end == at) {
                    stretches->back().at.end = size;
                } else if (at < size) {
                    stretches->push_back({{at, size}, {}, {}, false, false});
                }
                return 0;
            }
            win_len += static_cast<size_t>(n);
            continue;
        }
        const uint8_t *rec = window.get() + pos;
        const off_t at = win_start + static_cast<off_t>(pos);
        size_t len = item.len;
        bool whole = item.kind == OAM_ITEM_RECORD;
        if (!whole && zero_backed) {
            size_t k = 0;
            size_t rec_len = 0;
            if (oam_zero_backed_record(rec, item.len, &k, &rec_len)) {
                // The damage before it this round, the record the next.
                whole = k == 0;
                len = k == 0 ? rec_len : k;
            }
        }
        if (whole) {
            *whole_end = at + static_cast<off_t>(len);
            *cut_tail = false;
            memcpy(last_stamp, rec + OAM_RECORD_STAMP_OFFSET, sizeof(last_stamp));
            stamp_seen = true;
            if (!stretches->empty() && !stretches->back().to_set) {
                stretches->back().to = oam_record_wall_time(last_stamp);
                stretches->back().to_set = true;
            }
        } else {
            // A length field of no record the daemon writes (it stores no
            // empty record) is damage, not the start of one.
            *cut_tail = at == *whole_end && item.damage == OAM_DAMAGE_CUT_SHORT &&
                        (item.len < static_cast<size_t>(OAM_RECORD_LEN_OFFSET + 2) ||
                         oam_record_len(rec) > OAM_RECORD_HDR_LEN);
            const off_t end = at + static_cast<off_t>(len);
            if (!stretches->empty() && stretches->back().at.end == at) {
                stretches->back().at.end = end;
            } else {
                stretches->push_back({{at, end}, {}, {}, stamp_seen, false});
                if (stamp_seen) {
                    stretches->back().from = oam_record_wall_time(last_stamp);
                }
            }
        }
        pos += len;
    }
}

// After an unclean end: every damaged stretch of the file at path goes, the
// whole records behind one are kept, and each is a loss in the journal
// over the time between the records around it.  The bytes read.
off_t oam_log_repair_file(const char *path, oam_jcore core)
{
    struct stat st {};
    const int fd = oam_open_regular(path, O_RDWR | O_NOFOLLOW, 0, &st);
    if (fd < 0) {
        return 0;
    }
    std::vector<oam_log_stretch> stretches;
    off_t whole_end = 0;
    bool cut_tail = false;
    std::vector<oam_cut> cuts;
    if (oam_log_scan(fd, st.st_size, true, &stretches, &whole_end, &cut_tail) == 0) {
        for (const oam_log_stretch &s : stretches) {
            cuts.push_back(s.at);
        }
    }
    if (!cuts.empty() && oam_cut_out(path, fd, st.st_size, cuts.data(), cuts.size()) == 0) {
        off_t cut = 0;
        for (oam_log_stretch &s : stretches) {
            cut += s.at.end - s.at.begin;
            // Behind the last record, the file's last change ends the window.
            s.to = s.to_set ? s.to : st.st_mtim;
            s.from = s.from_set ? s.from : s.to;
            if (s.to.tv_sec < s.from.tv_sec || (s.to.tv_sec == s.from.tv_sec && s.to.tv_nsec < s.from.tv_nsec)) {
                s.to = s.from;
            }
            oam_journal_lost_between(core, OAM_LOSS_UNCLEAN, 1, s.from, s.to);
        }
        OAM_WARN("[%s:%d]%s: %lld bytes in %zu damaged stretches cut after an unclean end\n", path,
                  static_cast<long long>(cut), stretches.size());
    } else if (!cuts.empty()) {
        char text[OAM_ERR_TEXT_LEN];
        OAM_ERR("[%s:%d]%s: damage not cut:%s\n", path, oam_err_text(errno, text, sizeof(text)));
    }
    (void)close(fd);
    return st.st_size;
}

// The rotated files the run that ended uncleanly wrote, newest first:
// plain ones only (a compressed file was whole when it was made), while
// they changed after that run started.
void oam_log_repair_rotated(const oam_log_desc *pst_log, oam_jcore core)
{
    off_t budget = OAM_REPAIR_ROTATED_BYTES;
    for (int32_t num = 2; num < 2 + OAM_REPAIR_ROTATED_MAX && budget > 0; ++num) {
        char path[OAM_FILE_PATH_LEN];
        if (snprintf_s(path, sizeof(path), sizeof(path) - 1, "%s%s%d", pst_log->path.value, pst_log->name, num) < 0) {
            return;
        }
        struct stat st {};
        if (lstat(path, &st) != 0) {
            char zst[OAM_FILE_PATH_LEN + 4];
            (void)snprintf(zst, sizeof(zst), "%s.zst", path);
            if (access(zst, F_OK) == 0) {
                continue;
            }
            return;
        }
        if (!S_ISREG(st.st_mode) || st.st_mtim.tv_sec < g_last_run.started_ts.tv_sec || st.st_size > budget) {
            return;
        }
        budget -= oam_log_repair_file(path, core);
    }
}

}  // namespace

void oam_log_trim_cut_record(const oam_log_desc *pst_log)
{
    const char *path = pst_log->file_path;
    const oam_jcore core = oam_log_jcore(pst_log);
    // After an unclean end (a power cut, a kill) file 1 and the files
    // rotated just before may hold what the file system had not written:
    // a cut tail, NUL-filled blocks, with whole records behind them when
    // later blocks made it.  Taken out before anything is appended or
    // compressed, so that the next reader finds only whole records.
    if (g_last_run.unclean) {
        (void)oam_log_repair_file(path, core);
        oam_log_repair_rotated(pst_log, core);
        return;
    }
    // After a stop that journalled itself every write was whole and synced:
    // nothing to read, and the receivers start at once.
    if (g_last_run.known) {
        return;
    }
    // Without a journal to tell (a first start, a journal removed), the
    // daemon may have been killed in the middle of a write: that can
    // leave file 1 ending in part of a record: a write to a file may stop
    // at a page boundary when the process is killed.  Records appended after
    // it would be out of step for whoever reads the file back by the length
    // fields, so the cut tail is removed before the file is opened again.
    // The file is judged as a reader judges it: only a record that starts
    // where the last whole record ends and that the end of the file cuts
    // short is a tail.  Damage anywhere else, a length no record has, and
    // whole records behind a cut one are left exactly as they are.
    struct stat st {};
    const int fd = oam_open_regular(path, O_RDWR | O_NOFOLLOW, 0, &st);
    if (fd < 0) {
        return;
    }
    std::vector<oam_log_stretch> stretches;
    off_t whole_end = 0;
    bool cut_tail = false;
    if (oam_log_scan(fd, st.st_size, false, &stretches, &whole_end, &cut_tail) == 0 && cut_tail &&
        whole_end < st.st_size && ftruncate(fd, whole_end) == 0) {
        OAM_WARN("[%s:%d]%s ended in part of a record: %lld bytes cut off\n", path,
                  static_cast<long long>(st.st_size - whole_end));
        // Lost when the file was last written, at the stop that cut it.
        oam_journal_lost_since(core, OAM_LOSS_CUT, 0, 1, &st.st_mtim);
    }
    (void)close(fd);
}

int get_former_log_num(oam_log_desc *pst_log)
{
    if (pst_log == nullptr || pst_log->name == nullptr) {
        OAM_ERR("[%s:%d]pst_log is NULL!!!!\n");
        return -1;
    }
    const char *directory = pst_log->path.value;
    oam_dir_handle dir(opendir(directory));
    OAM_INFO("[%s:%d]pc_directory:%s\n\n", directory);
    if (!dir) {
        OAM_ERR("[%s:%d]Can not open directory:%s!\n", directory);
        return -1;
    }
    if (chdir(directory) != 0) {
        char text[OAM_ERR_TEXT_LEN];
        OAM_ERR("[%s:%d]change work dir err:%s\n", oam_err_text(errno, text, sizeof(text)));
        return -1;
    }
    const size_t prefix_len = strlen(pst_log->name);
    int32_t count = 0;
    for (const dirent *ent = readdir(dir.get()); ent != nullptr; ent = readdir(dir.get())) {
        // Relative to the directory itself rather than the working directory,
        // which is process-wide.
        struct stat st {};
        if (fstatat(dirfd(dir.get()), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) < 0) {
            OAM_ERR("[%s:%d]lstat < 0\n");
            break;
        }
        if (S_ISDIR(st.st_mode)) {
            continue;
        }
        if (strncmp(ent->d_name, pst_log->name, prefix_len) != 0) {
            continue;
        }
        ++count;
    }
    oam_flag_store(pst_log->file_count, count);
    OAM_INFO("[%s:%d]%s log num : %d\n\n", pst_log->name, count);
    return 0;
}

int check_file_size(oam_log_desc *pst_log)
{
    if (pst_log == nullptr) {
        OAM_ERR("[%s:%d]pst_log is NULL!!!!\n");
        return -1;
    }
    if (pst_log->fp == nullptr) {
        return -1;
    }
    // A file of exactly the limit counts as full.
    if (pst_log->file_size < pst_log->size.value) {
        return 0;
    }
    // On storage before it gets its new name: a power cut after the rename
    // must not find a numbered file with a hole (only what file 1 has not
    // synced yet may be missing, and the next start repairs file 1).
    (void)fdatasync(fileno(pst_log->fp));
    oam_close_log_stream(pst_log);
    OAM_INFO("[%s:%d]%s log file beyond size=%dByte, creat new file\n", pst_log->file_path,
              pst_log->size.value);
    // With a flash budget, the files of every core are removed and renamed
    // under one lock, so that no removal meets a rename half done.
    const bool budget = g_log_budget.active != 0;
    if (budget) {
        pthread_mutex_lock(&g_log_files_mutex);
        oam_budget_before_rotate();
    }
    (void)rename_old_file(pst_log);
    (void)oam_sync_dir(pst_log->path.value);
    // Only a file 1 moved away was rotated: a count limit of 1, or a start
    // before the files are counted, reopens the same file.
    if (access(pst_log->file_path, F_OK) != 0) {
        oam_journal_event(oam_log_jcore(pst_log), "rotated", "%s%s1 full at %lld bytes", pst_log->path.value,
                          pst_log->name, static_cast<long long>(pst_log->file_size));
    }
    const int ret = oam_open_log_stream(pst_log);
    if (ret != 0) {
        OAM_ERR("[%s:%d]open %s failed\n\n", pst_log->file_path);
    } else {
        std::atomic_ref<int32_t>(pst_log->file_count).fetch_add(1, std::memory_order_acq_rel);
    }
    if (budget) {
        oam_budget_after_rotate(pst_log);
        pthread_mutex_unlock(&g_log_files_mutex);
    }
    return ret;
}

int rename_old_file(oam_log_desc *pst_log)
{
    OAM_DEBUG("[%s:%d]rename_old_file\n\n");
    if (pst_log == nullptr || pst_log->name == nullptr) {
        OAM_ERR("[%s:%d]pst_log is NULL!!!!\n");
        return -1;
    }
    if (g_log_budget.compress == 1) {
        return oam_budget_renumber(pst_log);
    }
    // The count limit has no lower bound in the INI: a limit below 1 keeps
    // no old file, and is tested before num - 1 is formed, which would
    // overflow for the most negative limit and send the loop below round
    // about 2^31 times.  The count of files present cannot go below none.
    const int32_t num = pst_log->num.value;
    int32_t k = oam_flag_load(pst_log->file_count);
    if (num < 1 || k < 0) {
        k = 0;
    } else if (k >= num) {
        k = num - 1;
    }
    oam_flag_store(pst_log->file_count, k);
    for (; k > 0; --k) {
        char new_name[OAM_FILE_PATH_LEN];
        char old_name[OAM_FILE_PATH_LEN];
        char new_zst[OAM_FILE_PATH_LEN];
        char old_zst[OAM_FILE_PATH_LEN];
        // A name cut short could be another file's: skip that number rather
        // than move the wrong file.
        if (snprintf_s(new_name, sizeof(new_name), sizeof(new_name) - 1, "%s%s%d", pst_log->path.value,
                       pst_log->name, k + 1) < 0 ||
            snprintf_s(old_name, sizeof(old_name), sizeof(old_name) - 1, "%s%s%d", pst_log->path.value,
                       pst_log->name, k) < 0 ||
            snprintf_s(new_zst, sizeof(new_zst), sizeof(new_zst) - 1, "%s.zst", new_name) < 0 ||
            snprintf_s(old_zst, sizeof(old_zst), sizeof(old_zst) - 1, "%s.zst", old_name) < 0) {
            OAM_ERR("[%s:%d]rename_old_file:: snprintf_s faild.\n");
            continue;
        }
        // An earlier run with compression left some numbers compressed: they
        // move with the plain ones, so that the order holds and no number
        // is held by two files.  The file at the count limit drops out in
        // either form.
        if (k == num - 1 &&
            (faccessat(AT_FDCWD, old_name, F_OK, AT_SYMLINK_NOFOLLOW) == 0 ||
             faccessat(AT_FDCWD, old_zst, F_OK, AT_SYMLINK_NOFOLLOW) == 0)) {
            (void)unlink(new_name);
            (void)unlink(new_zst);
        }
        // A number still taken (a rename that failed, a file put there) is
        // never renamed over: the shift stops, the files below keep their
        // numbers and file 1 is written on, so that no file is lost.
        const int plain = oam_rename_noreplace(old_name, new_name);
        int err = plain < 0 ? errno : ENOENT;
        const int zst = oam_rename_noreplace(old_zst, new_zst);
        err = err == ENOENT && zst < 0 ? errno : err;
        if (plain < 0 && zst < 0 && err == ENOENT) {
            OAM_ERR("[%s:%d]rename ret < 0\n");  // a number missing: the shift goes on
        } else if (err != ENOENT) {
            char text[OAM_ERR_TEXT_LEN];
            const char *why = oam_err_text(err, text, sizeof(text));
            OAM_ERR("[%s:%d]rename %s: %s, rotation stopped\n", old_name, why);
            oam_journal_event(oam_log_jcore(pst_log), "rotate-failed", "%s not moved to number %d: %s, %s%s1 kept",
                              old_name, k + 1, why, pst_log->path.value, pst_log->name);
            return -1;
        }
    }
    return 0;
}

void oam_recheck_log_file(oam_log_desc *pst_log)
{
    if (pst_log == nullptr) {
        return;
    }
    if (pst_log->write_count > OAM_RECHECK_INTERVAL) {
        // A file deleted or moved away while open would swallow the records
        // unseen; start a new file 1 instead.  What is no regular file is
        // tried again here only.
        if ((pst_log->fp == nullptr && pst_log->not_regular) || access(pst_log->file_path, F_OK) == -1) {
            oam_close_log_stream(pst_log);
            (void)oam_get_log_file(pst_log);
        }
        oam_journal_recheck();
        pst_log->write_count = 1;
    } else {
        ++pst_log->write_count;
    }
}

void oam_get_sys_time(uint8_t *dest, uint32_t capacity, uint8_t mode)
{
    // The stamp of the last second converted, per thread: a receiver stores
    // many records a second, and the conversion of one second always gives
    // the same fields, so only the millisecond changes between them.
    struct oam_stamp_cache {
        time_t sec;
        bool valid;
        std::array<uint16_t, 7> stamp;
    };
    static thread_local oam_stamp_cache cache{};
    static_assert(sizeof(cache.stamp) == OAM_STAMP_LEN);

    // The second and the millisecond come from the one clock reading, so
    // that a stamp never mixes two different seconds.
    struct timeval tv {};
    (void)gettimeofday(&tv, nullptr);
    if (!cache.valid || cache.sec != tv.tv_sec) {
        // Once a second per receiver at most: the zone is looked at again
        // here, so stamps follow a change of the device's time zone.
        struct tm local {};
        if (oam_local_now(tv.tv_sec, &local) != 0) {
            return;
        }
        // A new zone is in the journal before the first record stamped in it.
        if (oam_zone_change_pending()) {
            oam_journal_zone_check(timespec {tv.tv_sec, static_cast<long>(tv.tv_usec) * 1000});
        }
        cache.stamp[0] = static_cast<uint16_t>(local.tm_year + 1900);
        cache.stamp[1] = static_cast<uint16_t>(local.tm_mon + 1);
        cache.stamp[2] = static_cast<uint16_t>(local.tm_mday);
        cache.stamp[3] = static_cast<uint16_t>(local.tm_hour);
        cache.stamp[4] = static_cast<uint16_t>(local.tm_min);
        cache.stamp[5] = static_cast<uint16_t>(local.tm_sec);
        cache.sec = tv.tv_sec;
        cache.valid = true;
    }
    if (mode != OAM_STAMP_MODE_RECORD) {
        return;
    }
    cache.stamp[6] = static_cast<uint16_t>(tv.tv_usec / 1000);
    const int ret = memcpy_s(dest, capacity, cache.stamp.data(), sizeof(cache.stamp));
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memcpy_s failed ret=%d\n", ret);
    }
}

uint32_t oam_log_store_batch(oam_log_desc *pst_log, oam_log_batch *batch, const char *write_err_fmt,
                             const char *second_write_err_fmt, oam_store_loss *loss)
{
    oam_store_loss lost {};
    if (loss == nullptr) {
        loss = &lost;
    }
    if (pst_log == nullptr || batch == nullptr || batch->count > OAM_LOG_BATCH_MAX) {
        return 0;
    }
    // Headers first, each with a clock reading of its own, so that every
    // record keeps its millisecond however many come in one receive.
    const oam_jcore jcore = oam_log_jcore(pst_log);
    uint32_t n = 0;
    for (uint32_t i = 0; i < batch->count; ++i) {
        uint8_t *buf = batch->rec[i];
        const uint32_t data_len = batch->data_len[i];
        if (buf == nullptr || data_len > static_cast<uint32_t>(OAM_RECORD_DATA_MAX)) {
            ++loss->too_long;
            oam_journal_lost(jcore, OAM_LOSS_TOO_LONG, 0, 1);
            continue;
        }
        const uint32_t rec_len = static_cast<uint32_t>(OAM_RECORD_HDR_LEN) + data_len;
        buf[0] = OAM_RECORD_MARKER;
        buf[1] = OAM_RECORD_RESERVED;
        buf[2] = static_cast<uint8_t>(rec_len & 0xFFU);
        buf[3] = static_cast<uint8_t>(rec_len >> 8);
        oam_get_sys_time(buf + OAM_RECORD_STAMP_OFFSET, OAM_STAMP_LEN, OAM_STAMP_MODE_RECORD);
        batch->rec[n] = buf;
        batch->data_len[n] = data_len;
        ++n;
    }
    batch->count = n;
    if (g_log_budget.active != 0) {
        oam_budget_tick();
    }

    // One record after another as far as the rules go (the existence check
    // before it, the size check after it), but the records between two
    // points where a rule acts go to the file in one write.  So the files
    // come out exactly as if the records were stored one by one.
    uint32_t stored = 0;
    bool repaired = false;  // record i is being retried after its repair
    for (uint32_t i = 0; i < n;) {
        if (!repaired) {
            oam_recheck_log_file(pst_log);
            if (pst_log->fp == nullptr && pst_log->not_regular) {
                ++loss->not_open;
                oam_journal_lost(jcore, OAM_LOSS_NOT_FILE, 0, 1);
                ++i;
                continue;
            }
            if (pst_log->fp == nullptr) {
                // The directory repair may fail for another core's directory
                // while this core's file opens; the record is kept whenever
                // it can be.
                (void)oam_log_dir_init();
                (void)oam_get_log_file(pst_log);
                pst_log->write_count = 1;
                if (pst_log->fp == nullptr) {
                    ++loss->not_open;
                    oam_journal_lost(jcore, OAM_LOSS_OPEN, errno != 0 ? errno : EIO, 1);
                    ++i;
                    continue;
                }
            }
        }
        // The record that reaches the size limit ends the write (the size
        // check rotates after it), and so does the one before an existence
        // check.
        uint32_t end = i + 1;
        int64_t size = pst_log->file_size + OAM_RECORD_HDR_LEN + batch->data_len[i];
        while (end < n && size < pst_log->size.value && pst_log->write_count <= OAM_RECHECK_INTERVAL) {
            ++pst_log->write_count;
            size += OAM_RECORD_HDR_LEN + batch->data_len[end];
            ++end;
        }
        int err = 0;
        const uint32_t whole = oam_write_records(pst_log, batch, i, end, &err);
        stored += whole;
        i += whole;
        if (whole > 0) {
            // The retried record is in: a later failure is a first one.
            repaired = false;
            oam_journal_stored(jcore);
        }
        if (i == end) {
            (void)check_file_size(pst_log);
            continue;
        }
        // Record i failed.  Like a record stored on its own, it gets one
        // repair and one retry, and only it is lost when those fail: the
        // records behind it are each tried as if it had not been there (a
        // smaller one may still fit where it did not).
        if (repaired) {
            oam_print_write_err(second_write_err_fmt, __func__, __LINE__, err);
            ++loss->write_failed;
            oam_journal_lost(jcore, OAM_LOSS_WRITE, err, 1);
            (void)check_file_size(pst_log);
            repaired = false;
            ++i;
            continue;
        }
        oam_print_write_err(write_err_fmt, __func__, __LINE__, err);
        (void)oam_log_dir_init();
        oam_close_log_stream(pst_log);
        (void)oam_get_log_file(pst_log);
        pst_log->write_count = 1;
        if (pst_log->fp == nullptr) {
            ++loss->write_failed;
            oam_journal_lost(jcore, OAM_LOSS_WRITE, err, 1);
            ++i;
            continue;
        }
        repaired = true;
    }
    if (jcore != OAM_J_OAM) {
        oam_count(g_oam_stored[jcore - OAM_J_WIFI], stored);
    }
    if (stored > 0) {
        oam_sync_note_write();
    }
    return stored;
}

void oam_log_store_record(oam_log_desc *pst_log, uint8_t *buf, uint32_t data_len,
                          const char *write_err_fmt, const char *second_write_err_fmt)
{
    oam_log_batch one {};
    one.count = 1;
    one.rec[0] = buf;
    one.data_len[0] = data_len;
    (void)oam_log_store_batch(pst_log, &one, write_err_fmt, second_write_err_fmt, nullptr);
}
