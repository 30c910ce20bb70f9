// The numbered log files of one core: directories, the current file, its
// rotation, and the time-stamped records appended to it.
//
// A descriptor belongs to its core's receiver thread once start-up is over;
// only file_count is also written from other threads (oam_log_dir_init), so
// every touch of it after start-up is atomic.
#include "logcapture/log_store.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

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
            if (part > 0 && fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(part)) {
                (void)ftruncate(fd, st.st_size - static_cast<off_t>(part));
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

void oam_log_trim_cut_record(const oam_log_desc *pst_log)
{
    const char *path = pst_log->file_path;
    // The daemon killed in the middle of a write (kill -9, power lost) can
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
    // The parser decides within a damaged stretch and a record behind it.
    constexpr size_t window_len = OAM_DAMAGE_STEP + 2 * OAM_RECORD_MAX_LEN;
    std::unique_ptr<uint8_t[]> window(new (std::nothrow) uint8_t[window_len]);
    off_t win_start = 0;
    size_t win_len = 0;
    size_t pos = 0;
    off_t whole_end = 0;  // end of the last whole record
    bool cut_tail = false;
    while (window != nullptr) {
        const bool final = win_start + static_cast<off_t>(win_len) >= st.st_size;
        const oam_record_item item = oam_record_parse_next(window.get(), win_len, pos, final);
        if (item.kind == OAM_ITEM_END) {
            break;
        }
        if (item.kind == OAM_ITEM_MORE) {
            memmove(window.get(), window.get() + pos, win_len - pos);
            win_start += static_cast<off_t>(pos);
            win_len -= pos;
            pos = 0;
            const ssize_t n =
                pread(fd, window.get() + win_len, window_len - win_len, win_start + static_cast<off_t>(win_len));
            if (n <= 0) {
                cut_tail = false;  // shorter than it was, or unreadable: leave it
                break;
            }
            win_len += static_cast<size_t>(n);
            continue;
        }
        const uint8_t *at = window.get() + pos;
        const off_t at_off = win_start + static_cast<off_t>(pos);
        if (item.kind == OAM_ITEM_RECORD) {
            whole_end = at_off + static_cast<off_t>(item.len);
            cut_tail = false;
        } else {
            // A length field of no record the daemon writes (it stores no
            // empty record) is damage, not the start of one.
            cut_tail = at_off == whole_end && item.damage == OAM_DAMAGE_CUT_SHORT &&
                       (item.len < static_cast<size_t>(OAM_RECORD_LEN_OFFSET + 2) ||
                        oam_record_len(at) > OAM_RECORD_HDR_LEN);
        }
        pos += item.len;
    }
    if (cut_tail && whole_end < st.st_size && ftruncate(fd, whole_end) == 0) {
        OAM_WARN("[%s:%d]%s ended in part of a record: %lld bytes cut off\n", path,
                  static_cast<long long>(st.st_size - whole_end));
        // Lost when the file was last written, at the stop that cut it.
        oam_journal_lost_since(oam_log_jcore(pst_log), OAM_LOSS_CUT, 0, 1, &st.st_mtim);
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
        // A name cut short could be another file's: skip that number rather
        // than move the wrong file.
        if (snprintf_s(new_name, sizeof(new_name), sizeof(new_name) - 1, "%s%s%d", pst_log->path.value,
                       pst_log->name, k + 1) < 0 ||
            snprintf_s(old_name, sizeof(old_name), sizeof(old_name) - 1, "%s%s%d", pst_log->path.value,
                       pst_log->name, k) < 0) {
            OAM_ERR("[%s:%d]rename_old_file:: snprintf_s faild.\n");
            continue;
        }
        if (rename(old_name, new_name) < 0) {
            OAM_ERR("[%s:%d]rename ret < 0\n");
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
