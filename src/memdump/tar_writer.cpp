// Packs the dump files of one dump type into a gzip-compressed tar archive.
// The tar stream is written here block by block in a reduced header format:
// no magic, no time and no owner names, so that packing the same files twice
// gives the same bytes.  GNU tar and Python's tarfile both read it as an old
// style archive; keep the layout as it is, the PC tools unpack it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <zlib.h>

#include "common/oam_print.h"
#include "memdump/memdump.h"
#include "memdump/memdump_internal.h"
#include "support/securec.h"

namespace {

constexpr int TAR_NAME_OFFSET = 0;
constexpr int TAR_NAME_FIELD_LEN = 100;
constexpr int TAR_MODE_OFFSET = 100;
constexpr int TAR_UID_OFFSET = 108;
constexpr int TAR_GID_OFFSET = 116;
constexpr int TAR_ID_FIELD_LEN = 8;
constexpr int TAR_SIZE_OFFSET = 124;
constexpr int TAR_SIZE_FIELD_LEN = 12;
constexpr int TAR_CHKSUM_OFFSET = 148;
constexpr int TAR_CHKSUM_FIELD_LEN = 8;
// The checksum counts its own eight bytes as spaces.
constexpr uint32_t TAR_CHKSUM_BLANKS = 8 * ' ';

// Seven characters and the NUL each.
constexpr std::array<char, TAR_ID_FIELD_LEN> TAR_MODE_FIELD = {'1', '0', '0', '6', '6', '6', ' ', '\0'};
constexpr std::array<char, TAR_ID_FIELD_LEN> TAR_OWNER_FIELD = {' ', ' ', ' ', ' ', ' ', '0', ' ', '\0'};

// The archive is handed to the platform's log collector, which runs as this
// user and group.
constexpr uid_t TAR_OWNER_UID = 1000;
constexpr gid_t TAR_OWNER_GID = 1000;

// The header keeps the size in 32 bits; a larger file would announce fewer
// data blocks than follow it and break every member after it.
constexpr int64_t TAR_SIZE_LIMIT = static_cast<int64_t>(UINT32_MAX);

struct tar_dir_closer {
    void operator()(DIR *dir) const { closedir(dir); }
};
using tar_dir_ptr = std::unique_ptr<DIR, tar_dir_closer>;

struct tar_file_closer {
    void operator()(FILE *fp) const { fclose(fp); }
};
using tar_file_ptr = std::unique_ptr<FILE, tar_file_closer>;

uint32_t tar_add_field(uint8_t *block, int offset, const char *field, int len)
{
    int ret = memcpy_s(block + offset, TAR_BLOCK_SIZE - offset, field, len);
    if (ret != EOK) {
        OAM_PRINT("[%s:%d]memcpy_s failed ret=%d\n", ret);
        return 0;
    }
    uint32_t sum = 0;
    for (int i = 0; i < len; i++) {
        sum += block[offset + i];
    }
    return sum;
}

void tar_write_block(gzFile gz_file, const uint8_t *block)
{
    // A failed write shows up as an unreadable archive on the PC side; the
    // dump files stay in place for the next attempt either way.
    (void)gzwrite(gz_file, block, TAR_BLOCK_SIZE);
}

bool tar_entry_selected(const char *name, const struct stat &st, const char *name_prefix, size_t prefix_len,
                        const char *pattern)
{
    if (S_ISDIR(st.st_mode)) {
        return false;
    }
    if (strnlen(name, TAR_ENTRY_NAME_MAX_LEN + 1) > TAR_ENTRY_NAME_MAX_LEN) {
        return false;
    }
    if (strncmp(name, name_prefix, prefix_len) != 0) {
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        return false;
    }
    return strstr(name, pattern) != nullptr;
}

}  // namespace

void tar_fill_header(uint8_t *block, const char *name, uint32_t size)
{
    if (block == nullptr || name == nullptr) {
        OAM_PRINT("[%s:%d]input param is null\n");
        return;
    }
    uint32_t checksum = 0;

    size_t name_len = strnlen(name, TAR_NAME_MAX_LEN);
    if (name_len > 0) {
        checksum += tar_add_field(block, TAR_NAME_OFFSET, name, static_cast<int>(name_len));
    }
    block[TAR_NAME_OFFSET + name_len] = '\0';

    checksum += tar_add_field(block, TAR_MODE_OFFSET, TAR_MODE_FIELD.data(), TAR_ID_FIELD_LEN);
    checksum += tar_add_field(block, TAR_UID_OFFSET, TAR_OWNER_FIELD.data(), TAR_ID_FIELD_LEN);
    checksum += tar_add_field(block, TAR_GID_OFFSET, TAR_OWNER_FIELD.data(), TAR_ID_FIELD_LEN);

    char size_field[TAR_SIZE_FIELD_LEN];
    int ret = memset_s(size_field, sizeof(size_field), 0, sizeof(size_field));
    if (ret != EOK) {
        OAM_PRINT("[%s:%d]memset_s failed ret=%d\n", ret);
        return;
    }
    ret = snprintf_s(size_field, sizeof(size_field), sizeof(size_field) - 1, "%o", size);
    if (ret < 0) {
        OAM_PRINT("[%s:%d]snprintf_s failed ret=%d\n", ret);
        return;
    }
    checksum += tar_add_field(block, TAR_SIZE_OFFSET, size_field, TAR_SIZE_FIELD_LEN);

    checksum += TAR_CHKSUM_BLANKS;
    char chksum_field[TAR_CHKSUM_FIELD_LEN];
    ret = memset_s(chksum_field, sizeof(chksum_field), 0, sizeof(chksum_field));
    if (ret != EOK) {
        OAM_PRINT("[%s:%d]memset_s failed ret=%d\n", ret);
        return;
    }
    ret = snprintf_s(chksum_field, sizeof(chksum_field), sizeof(chksum_field) - 1, "%o", checksum);
    if (ret < 0) {
        OAM_PRINT("[%s:%d]snprintf_s failed ret=%d\n", ret);
        return;
    }
    (void)tar_add_field(block, TAR_CHKSUM_OFFSET, chksum_field, TAR_CHKSUM_FIELD_LEN);
}

void tar_write_zip_content(gzFile gz_file, const char *file_name, int64_t size)
{
    if (file_name == nullptr) {
        OAM_PRINT("[%s:%d]file_name is null\n");
        return;
    }
    if (gz_file == nullptr) {
        OAM_PRINT("[%s:%d]fd is null\n");
        return;
    }

    // The header is already in the archive: whatever happens to the file
    // now, exactly the announced number of data blocks must follow, or the
    // members after this one could no longer be found.  A file that went
    // away is stored as NUL bytes of its announced size.
    tar_file_ptr fp;
    char resolved[PATH_MAX];
    if (realpath(file_name, resolved) == nullptr) {
        OAM_PRINT("[%s:%d]file path is illegal, errno: %s\n", strerror(errno));
    } else {
        fp.reset(fopen(resolved, "rb"));
        if (fp == nullptr) {
            OAM_PRINT("[%s:%d]open %s fail, errno: %s\n", resolved, strerror(errno));
        }
    }

    int64_t blocks = size > 0 ? (size + TAR_BLOCK_SIZE - 1) / TAR_BLOCK_SIZE : 0;
    uint8_t block[TAR_BLOCK_SIZE];
    for (int64_t n = 0; n < blocks; n++) {
        int ret = memset_s(block, sizeof(block), 0, sizeof(block));
        if (ret != EOK) {
            OAM_PRINT("[%s:%d]memset_s failed ret=%d\n", ret);
            return;
        }
        if (fp != nullptr && fread(block, 1, sizeof(block), fp.get()) == 0) {
            OAM_PRINT("[%s:%d]read %s fail, errno = %s\n", file_name, strerror(errno));
        }
        tar_write_block(gz_file, block);
    }
}

// The other dump types rotate in this same folder at the same time,
// renaming and deleting their own archives: an entry gone since the listing
// is not one of the caller's and is passed over.
int memdump_entry_lstat(const char *name, struct stat *st)
{
    if (lstat(name, st) == 0) {
        return 1;
    }
    if (errno == ENOENT) {
        return 0;
    }
    OAM_PRINT("[%s:%d]lstat ret is < 0\n");
    return -1;
}

int tar_same_name_format_files(const char *dir_path, const char *name_prefix, const char *pattern,
                               const char *output_name)
{
    // The pattern is searched in every entry name; without one there is
    // nothing sound to select.
    if (name_prefix == nullptr || output_name == nullptr || dir_path == nullptr || pattern == nullptr) {
        OAM_PRINT("[%s:%d]input param is null\n");
        return -1;
    }
    size_t prefix_len = strnlen(name_prefix, TAR_PREFIX_MAX_LEN + 1);
    if (prefix_len > TAR_PREFIX_MAX_LEN) {
        OAM_PRINT("[%s:%d]input name_prefix len:%d > limit:%d\n", static_cast<int>(strlen(name_prefix)),
                  TAR_PREFIX_MAX_LEN);
        return -1;
    }

    tar_dir_ptr dir(opendir(dir_path));
    if (dir == nullptr) {
        OAM_PRINT("[%s:%d]open dir %s error:%s\n", dir_path, strerror(errno));
        return -1;
    }
    // Entry names and a relative archive name are taken relative to the
    // dump directory.  Every caller works in the same directory, so the
    // process-wide change does not disturb the other dump threads.
    if (chdir(dir_path) != 0) {
        int err = errno;
        dir.reset();
        OAM_PRINT("[%s:%d]change to dir %s error:%s\n", dir_path, strerror(err));
        return -1;
    }

    // The archive is handed over to another user: a link planted under its
    // name would have that file truncated and given away, so the archive is
    // only ever created as a file of its own, and owned through that file.
    int gz_fd = open(output_name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    gzFile gz_file = gz_fd < 0 ? nullptr : gzdopen(gz_fd, "w");
    if (gz_file == nullptr) {
        int err = errno;
        if (gz_fd >= 0) {
            (void)close(gz_fd);
        }
        dir.reset();
        OAM_PRINT("[%s:%d]open %s failed, errno:%s\n", output_name, strerror(err));
        return -1;
    }
    if (fchown(gz_fd, TAR_OWNER_UID, TAR_OWNER_GID) != 0) {
        int err = errno;
        dir.reset();
        (void)gzclose(gz_file);
        OAM_PRINT("[%s:%d]chown %s failed, errno:%s\n", output_name, strerror(err));
        return -1;
    }

    uint8_t block[TAR_BLOCK_SIZE];
    for (struct dirent *entry = readdir(dir.get()); entry != nullptr; entry = readdir(dir.get())) {
        struct stat st;
        // Stopping at an entry another dump type renamed meanwhile would
        // leave this dump's remaining files out of the archive.
        int got = memdump_entry_lstat(entry->d_name, &st);
        if (got == 0) {
            continue;
        }
        if (got < 0) {
            break;
        }
        if (!tar_entry_selected(entry->d_name, st, name_prefix, prefix_len, pattern)) {
            continue;
        }
        if (st.st_size > TAR_SIZE_LIMIT) {
            OAM_PRINT("[%s:%d]file %s size:%lld over the limit, not packed\n", entry->d_name,
                      static_cast<long long>(st.st_size));
            continue;
        }
        int ret = memset_s(block, sizeof(block), 0, sizeof(block));
        if (ret != EOK) {
            OAM_PRINT("[%s:%d]memset_s failed ret=%d\n", ret);
            break;
        }
        tar_fill_header(block, entry->d_name, static_cast<uint32_t>(st.st_size));
        tar_write_block(gz_file, block);
        tar_write_zip_content(gz_file, entry->d_name, st.st_size);
    }
    dir.reset();

    int ret = memset_s(block, sizeof(block), 0, sizeof(block));
    if (ret != EOK) {
        OAM_PRINT("[%s:%d]memset_s failed ret=%d\n", ret);
    }
    tar_write_block(gz_file, block);
    (void)gzclose(gz_file);
    return 0;
}
