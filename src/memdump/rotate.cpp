// Numbering and bounding of the dump archives, and the dated archive name.
// Nothing is remembered between calls: every rotation lists the dump
// directory again, so archives added or removed by hand are taken as found.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <memory>
#include <vector>

#include "common/oam_file.h"
#include "common/oam_global.h"
#include "common/oam_health.h"
#include "common/oam_journal.h"
#include "common/oam_print.h"
#include "common/oam_time.h"
#include "memdump/memdump.h"
#include "memdump/memdump_internal.h"
#include "common/oam_driver.h"
#include "support/bounded.h"

namespace {

constexpr const char *MEMDUMP_ARCHIVE_SUFFIX = ".tar.gz";
constexpr const char *MEMDUMP_FILE_PATTERN = ".bin";
constexpr int MEMDUMP_TIME_STR_LEN = 50;
constexpr mode_t MEMDUMP_LOG_ROOT_MODE = 0775;
constexpr int MEMDUMP_ARCHIVE_NAME_LEN = 100;
constexpr int32_t NAME_HAS_DATE_DATED = 0;
constexpr int32_t NAME_HAS_DATE_PLAIN = 1;

struct rotate_dir_closer {
    void operator()(DIR *dir) const { closedir(dir); }
};
using rotate_dir_ptr = std::unique_ptr<DIR, rotate_dir_closer>;

bool rotate_entry_matches(const char *name, const struct stat &st, const char *prefix, size_t prefix_len,
                          const char *needle)
{
    return !S_ISDIR(st.st_mode) && strncmp(name, prefix, prefix_len) == 0 && strstr(name, needle) != nullptr;
}

// An archive's number: 0 for the newest, which has the suffix right after
// its first dot, k for ".k" and the suffix there; -1 for any other name.
int64_t rotate_archive_number(const char *name, const char *suffix, size_t suffix_len)
{
    const char *dot = strchr(name, '.');
    if (dot == nullptr) {
        return -1;
    }
    if (strncmp(dot, suffix, suffix_len) == 0) {
        return 0;
    }
    int64_t number = 0;
    const char *p = dot + 1;
    for (; *p >= '0' && *p <= '9'; p++) {
        number = number * 10 + (*p - '0');
        if (number > UINT32_MAX) {
            return -1;
        }
    }
    if (p == dot + 1 || strncmp(p, suffix, suffix_len) != 0) {
        return -1;
    }
    return number;
}

// Archives are renamed one number up, so the number an archive moves to
// may still be taken when the numbers present have a gap (an archive that
// failed, one removed by hand): the rename must then fail rather than
// replace a crash archive.
int rotate_rename_noreplace(const char *from, const char *to)
{
    int ret = renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
    if (ret != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without the flag, or a kernel (or filter) without
        // the call: test first, so that at least no archive known to exist
        // is replaced.
        if (faccessat(AT_FDCWD, to, F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
            errno = EEXIST;
        } else {
            ret = rename(from, to);
        }
    }
    if (ret != 0) {
        OAM_ERR("[%s:%d]rename: %s ==> %s fail:errno:%s\n", from, to, strerror(errno));
        return -1;
    }
    return 0;
}

}  // namespace

int file_do_rename(const char *from, const char *to)
{
    if (from == nullptr || to == nullptr) {
        OAM_ERR("[%s:%d]input param is null\n");
        return -1;
    }
    if (rename(from, to) != 0) {
        OAM_ERR("[%s:%d]rename: %s ==> %s fail:errno:%s\n", from, to, strerror(errno));
        return -1;
    }
    return 0;
}

int update_time_str(char *out_time_str, uint32_t len)
{
    if (out_time_str == nullptr) {
        OAM_ERR("[%s:%d]out_time_str address is null\n");
        return -1;
    }
    if (len < UPDATE_TIME_STR_MIN_LEN) {
        OAM_ERR("[%s:%d]arg err!:actual %u < %u \n", len, static_cast<uint32_t>(UPDATE_TIME_STR_MIN_LEN));
        return -1;
    }
    time_t now = time(nullptr);
    struct tm local;
    if (oam_local_now(now, &local) != 0) {
        return -1;
    }
    int ret = snprintf_s(out_time_str, len, len - 1, "%04d_%02d_%02d_%02d_%02d_%02d", local.tm_year + 1900,
                         local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    if (ret < 0) {
        OAM_ERR("[%s:%d]updata time str:: snprintf_s failed.\n");
        return -1;
    }
    return 0;
}

void file_rotate_init_info(file_rotate_info *info, const char *path, const char *name_prefix,
                           const char *name_suffix, uint32_t max_num, int32_t name_has_date)
{
    // Each copy is made whatever became of the one before it, so that no
    // field of the record is left unset.
    int ret_prefix = snprintf_s(info->name_prefix, sizeof(info->name_prefix), sizeof(info->name_prefix) - 1, "%s",
                                name_prefix);
    int ret_suffix = snprintf_s(info->name_suffix, sizeof(info->name_suffix), sizeof(info->name_suffix) - 1, "%s",
                                name_suffix);
    int ret_path = snprintf_s(info->path, sizeof(info->path), sizeof(info->path) - 1, "%s", path);
    if (ret_prefix < 0 || ret_suffix < 0 || ret_path < 0) {
        OAM_ERR("[%s:%d]file_rotate_init_info: snprintf_s failed.\n");
    }
    info->cur_num = 0;
    info->max_num = max_num;
    info->name_has_date = name_has_date;
}

int file_rotate_check_num(file_rotate_info *info)
{
    rotate_dir_ptr dir(opendir(info->path));
    if (dir == nullptr) {
        OAM_ERR("[%s:%d]open dir %s error:%s\n", info->path, strerror(errno));
        return -2;
    }
    if (chdir(info->path) != 0) {
        int err = errno;
        dir.reset();
        OAM_ERR("[%s:%d]change to dir %s error:%s\n", info->path, strerror(err));
        return -3;
    }
    size_t prefix_len = strlen(info->name_prefix);
    for (struct dirent *entry = readdir(dir.get()); entry != nullptr; entry = readdir(dir.get())) {
        struct stat st;
        int got = memdump_entry_lstat(entry->d_name, &st);
        if (got == 0) {
            continue;
        }
        if (got < 0) {
            break;
        }
        if (rotate_entry_matches(entry->d_name, st, info->name_prefix, prefix_len, info->name_suffix)) {
            info->cur_num++;
        }
    }
    return 0;
}

uint32_t file_rotate_lowest_free(const file_rotate_info *info)
{
    // Numbers 0 to k - 1 all taken needs k archives, so the lowest free
    // number is at most cur_num; only numbers up to there are tracked.
    uint32_t tracked = std::min(info->cur_num + 1, info->max_num);
    std::vector<bool> taken(tracked, false);
    rotate_dir_ptr dir(opendir(info->path));
    if (dir == nullptr || chdir(info->path) != 0) {
        OAM_ERR("[%s:%d]open dir %s error:%s\n", info->path, strerror(errno));
        return info->max_num;
    }
    size_t prefix_len = strlen(info->name_prefix);
    size_t suffix_len = strlen(info->name_suffix);
    for (struct dirent *entry = readdir(dir.get()); entry != nullptr; entry = readdir(dir.get())) {
        struct stat st;
        int got = memdump_entry_lstat(entry->d_name, &st);
        if (got == 0) {
            continue;
        }
        if (got < 0) {
            return info->max_num;
        }
        if (!rotate_entry_matches(entry->d_name, st, info->name_prefix, prefix_len, info->name_suffix)) {
            continue;
        }
        int64_t number = rotate_archive_number(entry->d_name, info->name_suffix, suffix_len);
        if (number >= 0 && number < static_cast<int64_t>(tracked)) {
            taken[static_cast<size_t>(number)] = true;
        }
    }
    for (uint32_t k = 0; k < tracked; k++) {
        if (!taken[k]) {
            return k;
        }
    }
    return info->max_num;
}

// A suffix that did not fit would rename the archives to cut names; the
// step for that number is left out instead.
int tar_file_rename_pre(const file_rotate_info *info, uint32_t index, char *old_suffix, char *new_suffix)
{
    int ret_new = snprintf_s(new_suffix, FILE_ROTATE_NAME_LEN, FILE_ROTATE_NAME_LEN - 1, ".%d%s",
                             static_cast<int>(index + 1), info->name_suffix);
    int ret_old;
    if (index > 0) {
        ret_old = snprintf_s(old_suffix, FILE_ROTATE_NAME_LEN, FILE_ROTATE_NAME_LEN - 1, ".%d%s",
                             static_cast<int>(index), info->name_suffix);
    } else {
        ret_old = snprintf_s(old_suffix, FILE_ROTATE_NAME_LEN, FILE_ROTATE_NAME_LEN - 1, "%s", info->name_suffix);
    }
    if (ret_new < 0 || ret_old < 0) {
        OAM_ERR("[%s:%d]tar_file_rename_pre: snprintf_s failed.\n\n");
        return -1;
    }
    return 0;
}

void tar_file_rename(const file_rotate_info *info, uint32_t index, const char *old_suffix, const char *new_suffix)
{
    rotate_dir_ptr dir(opendir(info->path));
    if (dir == nullptr) {
        OAM_ERR("[%s:%d]open dir %s error:%s\n", info->path, strerror(errno));
        return;
    }
    if (chdir(info->path) != 0) {
        int err = errno;
        dir.reset();
        OAM_ERR("[%s:%d]change to dir %s error:%s\n", info->path, strerror(err));
        return;
    }

    size_t prefix_len = strlen(info->name_prefix);
    size_t old_suffix_len = strlen(old_suffix);
    size_t new_suffix_len = strlen(new_suffix);
    char new_name[FILE_ROTATE_NAME_LEN];
    for (struct dirent *entry = readdir(dir.get()); entry != nullptr; entry = readdir(dir.get())) {
        const char *name = entry->d_name;
        struct stat st;
        // Ending the scan at another type's archive renamed meanwhile would
        // leave our newest archive without its number, and the new one of
        // the same second would then overwrite it.
        int got = memdump_entry_lstat(name, &st);
        if (got == 0) {
            continue;
        }
        if (got < 0) {
            break;
        }
        if (!rotate_entry_matches(name, st, info->name_prefix, prefix_len, old_suffix)) {
            continue;
        }
        if (index == info->max_num - 1) {
            if (unlink(name) != 0) {
                OAM_ERR("[%s:%d]unlink error:%s!\n", strerror(errno));
                break;
            }
            memdump_context_follow(name, nullptr);
            continue;
        }

        size_t name_len = strlen(name);
        if (name_len + new_suffix_len >= FILE_ROTATE_NAME_LEN - 1) {
            OAM_ERR("[%s:%d]!@file format error:%s\n", name);
            continue;
        }
        int ret = strncpy_s(new_name, sizeof(new_name), name, name_len);
        if (ret != EOK) {
            OAM_ERR("[%s:%d]strncpy_s failed ret=%d\n", ret);
            continue;
        }
        // Everything from the first dot is the number and the suffix; the
        // name prefix and the time text carry no dot.
        char *dot = strchr(new_name, '.');
        size_t keep;
        if (index > 0) {
            if (dot == nullptr) {
                continue;
            }
            keep = static_cast<size_t>(dot - new_name);
        } else if (dot != nullptr) {
            // Numbered archives also contain the bare suffix; only the one
            // without a number takes number 1.
            if (strncmp(dot, old_suffix, old_suffix_len) != 0) {
                OAM_WARN("[%s:%d]!@file_name:%s does not fit\n", name);
                continue;
            }
            keep = static_cast<size_t>(dot - new_name);
        } else {
            keep = name_len;
        }
        ret = snprintf_s(new_name + keep, sizeof(new_name) - keep, sizeof(new_name) - keep - 1, "%s", new_suffix);
        if (ret < 0) {
            OAM_ERR("[%s:%d]tar_file_rename: snprintf_s failed.\n\n");
            continue;
        }
        if (rotate_rename_noreplace(name, new_name) == 0) {
            memdump_context_follow(name, new_name);
        }
    }
}

int file_rotate_do_rotate(const file_rotate_info *info, uint32_t highest)
{
    char old_name[FILE_ROTATE_NAME_LEN];
    char new_name[FILE_ROTATE_NAME_LEN];
    for (uint32_t i = highest; i >= 1; i--) {
        int ret_old = snprintf_s(old_name, sizeof(old_name), sizeof(old_name) - 1, "%s%s.%d%s", info->path,
                                 info->name_prefix, static_cast<int>(i), info->name_suffix);
        int ret_new = snprintf_s(new_name, sizeof(new_name), sizeof(new_name) - 1, "%s%s.%d%s", info->path,
                                 info->name_prefix, static_cast<int>(i + 1), info->name_suffix);
        // A cut name could point at another file; leave this number alone.
        if (ret_old < 0 || ret_new < 0) {
            OAM_ERR("[%s:%d]file_rotate_do_rotate:: snprintf_s failed.\n");
            continue;
        }
        (void)file_do_rename(old_name, new_name);
    }
    int ret_old = snprintf_s(old_name, sizeof(old_name), sizeof(old_name) - 1, "%s%s%s", info->path,
                             info->name_prefix, info->name_suffix);
    int ret_new = snprintf_s(new_name, sizeof(new_name), sizeof(new_name) - 1, "%s%s.%d%s", info->path,
                             info->name_prefix, 1, info->name_suffix);
    if (ret_old < 0 || ret_new < 0) {
        OAM_ERR("[%s:%d]file_rotate_do_rotate:: snprintf_s failed.\n");
        return 0;
    }
    (void)file_do_rename(old_name, new_name);
    return 0;
}

int file_rotate(const char *path, const char *name_prefix, const char *name_suffix, uint32_t max_num,
                int32_t name_has_date)
{
    if (path == nullptr) {
        OAM_ERR("[%s:%d]path is null\n");
        return -1;
    }
    if (name_prefix == nullptr) {
        OAM_ERR("[%s:%d]index is null\n");
        return -1;
    }
    if (name_suffix == nullptr) {
        OAM_ERR("[%s:%d]name_suffix is null\n");
        return -1;
    }
    if (name_has_date > NAME_HAS_DATE_PLAIN) {
        OAM_ERR("[%s:%d]name_has_date:%d is error\n", name_has_date);
        return -1;
    }
    if (max_num < 2) {
        OAM_ERR("[%s:%d]max_num:%d must >= 2\n", static_cast<int>(max_num));
        return -1;
    }
    size_t full_len = strlen(path) + strlen(name_prefix) + strlen(name_suffix) + 6;
    if (full_len > FILE_ROTATE_PATH_LIMIT - 1) {
        OAM_ERR("[%s:%d]input full path length:%d over the limit:%d\n", static_cast<int>(full_len),
                  FILE_ROTATE_PATH_LIMIT);
        return -1;
    }

    file_rotate_info info;
    file_rotate_init_info(&info, path, name_prefix, name_suffix, max_num, name_has_date);
    int ret = file_rotate_check_num(&info);
    if (ret != 0) {
        OAM_ERR("[%s:%d]check_num failed:%d\n", ret);
        return ret;
    }
    if (info.cur_num == 0) {
        return 0;
    }

    ret = -1;
    if (name_has_date == NAME_HAS_DATE_DATED) {
        // Only the archives below the lowest free number move up: going by
        // the count alone moves number k onto a k + 1 that is still there
        // after a gap.  With every number up to the limit taken, the
        // oldest goes (index max_num - 1 deletes).
        uint32_t free_num = file_rotate_lowest_free(&info);
        char old_suffix[FILE_ROTATE_NAME_LEN];
        char new_suffix[FILE_ROTATE_NAME_LEN];
        for (uint32_t i = free_num; i-- > 0;) {
            if (tar_file_rename_pre(&info, i, old_suffix, new_suffix) == 0) {
                tar_file_rename(&info, i, old_suffix, new_suffix);
            }
        }
        ret = 0;
    } else if (name_has_date == NAME_HAS_DATE_PLAIN) {
        uint32_t highest = info.cur_num < info.max_num ? info.cur_num - 1 : info.max_num - 2;
        ret = file_rotate_do_rotate(&info, highest);
    }
    if (ret != 0) {
        OAM_ERR("[%s:%d]do rotate failed:%d\n", ret);
    }
    // The moves on storage before the new archive is written: a cut never
    // brings back a name an archive has left.
    (void)oam_sync_dir(path);
    return ret;
}

int memdump_file_rotate(int which)
{
    // The driver's value indexes the table; a negative one must not either.
    if (which < 0 || which >= OAM_MEMDUMP_TYPE_NUM) {
        return -1;
    }
    // The dump folder itself is the platform's; only the log root above it
    // may have to be made again.
    int ret = mkdir(OAM_LOG_ROOT_DIR, MEMDUMP_LOG_ROOT_MODE) == 0 || errno == EEXIST ? 0 : -1;
    if (ret == -1) {
        OAM_ERR("[%s:%d]can not save memdump file this time,error code:%d\n", ret);
        return -1;
    }
    OAM_DEBUG("[%s:%d]===memdump rotate begin:which=%d\n", which);

    const memdump_type_info &type = g_memdump_type_table[which];
    (void)file_rotate(type.path, type.name_prefix, MEMDUMP_ARCHIVE_SUFFIX, type.max_num, NAME_HAS_DATE_DATED);

    char time_str[MEMDUMP_TIME_STR_LEN];
    ret = memset_s(time_str, sizeof(time_str), 0, sizeof(time_str));
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memset_s failed ret=%d\n", ret);
        return -1;
    }
    (void)update_time_str(time_str, sizeof(time_str));

    char archive_name[MEMDUMP_ARCHIVE_NAME_LEN];
    ret = memset_s(archive_name, sizeof(archive_name), 0, sizeof(archive_name));
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memset_s failed ret=%d\n", ret);
        return -1;
    }
    ret = snprintf_s(archive_name, sizeof(archive_name), sizeof(archive_name) - 1, "%s_%s.tar.gz",
                     type.name_prefix, time_str);
    if (ret < 0) {
        OAM_ERR("[%s:%d]memdump_file_rotate:: snprintf_s failed. ret = %d\n", ret);
        return -1;
    }
    const bool written =
        tar_same_name_format_files(type.path, type.name_prefix, MEMDUMP_FILE_PATTERN, archive_name) == 0;
    if (written) {
        std::atomic_ref<uint32_t>(g_oam_dumps).fetch_add(1, std::memory_order_relaxed);
    }
    memdump_context_archived(which, archive_name, written);
    memdump_context_sweep(type.name_prefix);
    oam_journal_event(which < 2 ? OAM_J_WIFI : (which < 4 ? OAM_J_BFG : OAM_J_ME),
                      written ? "archive-written" : "archive-failed", "%s", archive_name);
    oam_sync_logs();
    return 0;
}
