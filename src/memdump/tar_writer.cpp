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
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <zlib.h>

#include "common/oam_file.h"
#include "common/oam_print.h"
#include "common/oam_tar.h"
#include "memdump/memdump.h"
#include "memdump/memdump_internal.h"
#include "support/bounded.h"

namespace {

// The archive is handed to the platform's log collector, which runs as this
// user and group.
constexpr uid_t TAR_OWNER_UID = 1000;
constexpr gid_t TAR_OWNER_GID = 1000;

// The header keeps the size in 32 bits; a larger file would announce fewer
// data blocks than follow it and break every member after it.
constexpr int64_t TAR_SIZE_LIMIT = static_cast<int64_t>(UINT32_MAX);

constexpr int TAR_END_BLOCKS = 2;
constexpr size_t TAR_REASON_LEN = 128;

struct tar_dir_closer {
    void operator()(DIR *dir) const { closedir(dir); }
};
using tar_dir_ptr = std::unique_ptr<DIR, tar_dir_closer>;

// Closes the descriptor of a packed file on every way out; -1 holds none.
struct tar_file_fd {
    int fd;
    ~tar_file_fd()
    {
        if (fd >= 0) {
            (void)close(fd);
        }
    }
};

// False once the archive can no longer be written whole (full storage and
// the like); the error stays with the stream, so the caller learns of it at
// the end too.
bool tar_write_block(gzFile gz_file, const uint8_t *block)
{
    return gzwrite(gz_file, block, TAR_BLOCK_SIZE) == TAR_BLOCK_SIZE;
}

// Fills block from fd as far as the file goes; the bytes read, 0 at its
// end, -1 on an error.
ssize_t tar_read_block(int fd, uint8_t *block)
{
    size_t got = 0;
    while (got < TAR_BLOCK_SIZE) {
        ssize_t ret = read(fd, block + got, TAR_BLOCK_SIZE - got);
        if (ret < 0 && errno == EINTR) {
            continue;
        }
        if (ret <= 0) {
            return got > 0 ? static_cast<ssize_t>(got) : ret;
        }
        got += static_cast<size_t>(ret);
    }
    return static_cast<ssize_t>(got);
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

// Closes the archive and gives it its name only when every byte reached
// storage: a cut archive under its final name would be counted and rotated
// like a good one and push a good one out of those kept, and a power cut
// must find it whole or absent.  The dump files stay in place, so the next
// dump's archive still holds them.  sync_fd: a second descriptor of tmp_name.
int tar_finish_archive(gzFile gz_file, int sync_fd, const char *tmp_name, const char *output_name)
{
    int zerr = Z_OK;
    const char *zmsg = gzerror(gz_file, &zerr);
    // zlib names the stream by its descriptor; the reason follows ": ".
    char reason[TAR_REASON_LEN] = {};
    if (zerr != Z_OK && zmsg != nullptr) {
        const char *sep = strstr(zmsg, ": ");
        (void)strncpy_s(reason, sizeof(reason), sep != nullptr ? sep + 2 : zmsg, sizeof(reason) - 1);
    }
    int close_ret = gzclose(gz_file);
    if (zerr == Z_OK && close_ret != Z_OK) {
        (void)strncpy_s(reason, sizeof(reason), strerror(errno), sizeof(reason) - 1);
    }
    // The name an archive kept from before holds is not taken over.
    const bool kept = zerr == Z_OK && close_ret == Z_OK && fsync(sync_fd) == 0 &&
                      oam_rename_noreplace(tmp_name, output_name) == 0;
    if (!kept && zerr == Z_OK && close_ret == Z_OK) {
        (void)strncpy_s(reason, sizeof(reason), strerror(errno), sizeof(reason) - 1);
    }
    (void)close(sync_fd);
    if (kept) {
        (void)oam_sync_dir_of(output_name);
        return 0;
    }
    (void)unlink(tmp_name);
    OAM_ERR("[%s:%d]write %s failed:%s, archive removed\n", output_name, reason);
    return -1;
}

}  // namespace

void tar_fill_header(uint8_t *block, const char *name, uint32_t size)
{
    if (block == nullptr || name == nullptr) {
        OAM_ERR("[%s:%d]input param is null\n");
        return;
    }
    oam_tar_header(block, name, size);
}

void tar_write_zip_content(gzFile gz_file, const char *file_name, const struct stat &seen)
{
    if (file_name == nullptr) {
        OAM_ERR("[%s:%d]file_name is null\n");
        return;
    }
    if (gz_file == nullptr) {
        OAM_ERR("[%s:%d]fd is null\n");
        return;
    }

    // The header is already in the archive: whatever happens to the file
    // now, exactly the announced number of data blocks must follow, or the
    // members after this one could no longer be found.  The name is opened
    // again after the scan, so it may meanwhile name something else: a link
    // would put its target's bytes into an archive handed to another user
    // (a hard link as much as a symbolic one: the file's other name may lie
    // anywhere on the storage), and a FIFO or device would hold this thread
    // in its read.  Only the very file the scan saw, known by this one name,
    // is read; anything else is stored as NUL bytes of its announced size,
    // like a file that went away.
    tar_file_fd file{open(file_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0) {
        if (errno == ELOOP) {
            OAM_ERR("[%s:%d]file path is illegal, errno: %s\n", strerror(errno));
        } else {
            OAM_ERR("[%s:%d]open %s fail, errno: %s\n", file_name, strerror(errno));
        }
    } else {
        struct stat now;
        if (fstat(file.fd, &now) != 0 || !S_ISREG(now.st_mode) || now.st_dev != seen.st_dev ||
            now.st_ino != seen.st_ino) {
            OAM_WARN("[%s:%d]%s is no longer the file listed, stored as zeros\n", file_name);
            (void)close(file.fd);
            file.fd = -1;
        } else if (now.st_nlink != 1) {
            OAM_ERR("[%s:%d]file path is illegal, errno: %s\n", strerror(EMLINK));
            (void)close(file.fd);
            file.fd = -1;
        }
    }

    int64_t size = seen.st_size;
    int64_t blocks = size > 0 ? (size + TAR_BLOCK_SIZE - 1) / TAR_BLOCK_SIZE : 0;
    uint8_t block[TAR_BLOCK_SIZE];
    for (int64_t n = 0; n < blocks; n++) {
        int ret = memset_s(block, sizeof(block), 0, sizeof(block));
        if (ret != EOK) {
            OAM_ERR("[%s:%d]memset_s failed ret=%d\n", ret);
            return;
        }
        // Once the file gave out, the rest of the member is padding: one
        // line says so, with the read's own error, or "no data" when the
        // file merely ended early.
        if (file.fd >= 0) {
            ssize_t got = tar_read_block(file.fd, block);
            if (got <= 0) {
                int err = got == 0 ? ENODATA : errno;
                OAM_ERR("[%s:%d]read %s fail, errno = %s\n", file_name, strerror(err));
                (void)close(file.fd);
                file.fd = -1;
            }
        }
        if (!tar_write_block(gz_file, block)) {
            return;
        }
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
    OAM_ERR("[%s:%d]lstat ret is < 0\n");
    return -1;
}

int tar_same_name_format_files(const char *dir_path, const char *name_prefix, const char *pattern,
                               const char *output_name)
{
    // The pattern is searched in every entry name; without one there is
    // nothing sound to select.
    if (name_prefix == nullptr || output_name == nullptr || dir_path == nullptr || pattern == nullptr) {
        OAM_ERR("[%s:%d]input param is null\n");
        return -1;
    }
    size_t prefix_len = strnlen(name_prefix, TAR_PREFIX_MAX_LEN + 1);
    if (prefix_len > TAR_PREFIX_MAX_LEN) {
        OAM_ERR("[%s:%d]input name_prefix len:%d > limit:%d\n", static_cast<int>(strlen(name_prefix)),
                  TAR_PREFIX_MAX_LEN);
        return -1;
    }

    tar_dir_ptr dir(opendir(dir_path));
    if (dir == nullptr) {
        OAM_ERR("[%s:%d]open dir %s error:%s\n", dir_path, strerror(errno));
        return -1;
    }
    // Entry names and a relative archive name are taken relative to the
    // dump directory.  Every caller works in the same directory, so the
    // process-wide change does not disturb the other dump threads.
    if (chdir(dir_path) != 0) {
        int err = errno;
        dir.reset();
        OAM_ERR("[%s:%d]change to dir %s error:%s\n", dir_path, strerror(err));
        return -1;
    }

    // The archive is handed over to another user: a link planted under its
    // name (symbolic or hard) would have that file truncated and given
    // away, and a FIFO would hold the dump thread in its open.  So the
    // archive is only ever a file this call creates, and owned through that
    // file.  The rotation has moved the previous archive of this name away;
    // one still there is kept rather than overwritten.  It is written under
    // a temporary name (one an earlier failure left is this call's own).
    char tmp_name[TAR_ARCHIVE_NAME_MAX + sizeof(TAR_ARCHIVE_TMP_SUFFIX)];
    if (snprintf(tmp_name, sizeof(tmp_name), "%s%s", output_name, TAR_ARCHIVE_TMP_SUFFIX) >=
        static_cast<int>(sizeof(tmp_name))) {
        OAM_ERR("[%s:%d]archive name %s too long\n", output_name);
        return -1;
    }
    if (faccessat(AT_FDCWD, output_name, F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
        dir.reset();
        OAM_ERR("[%s:%d]open %s failed, errno:%s\n", output_name, strerror(EEXIST));
        return -1;
    }
    (void)unlink(tmp_name);
    int gz_fd = open(tmp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    const int sync_fd = gz_fd < 0 ? -1 : fcntl(gz_fd, F_DUPFD_CLOEXEC, 0);
    gzFile gz_file = sync_fd < 0 ? nullptr : gzdopen(gz_fd, "w");
    if (gz_file == nullptr) {
        int err = errno;
        if (gz_fd >= 0) {
            (void)close(gz_fd);
            (void)unlink(tmp_name);
        }
        if (sync_fd >= 0) {
            (void)close(sync_fd);
        }
        dir.reset();
        OAM_ERR("[%s:%d]open %s failed, errno:%s\n", output_name, strerror(err));
        return -1;
    }
    if (fchown(gz_fd, TAR_OWNER_UID, TAR_OWNER_GID) != 0) {
        int err = errno;
        dir.reset();
        (void)gzclose(gz_file);
        (void)close(sync_fd);
        (void)unlink(tmp_name);
        OAM_ERR("[%s:%d]chown %s failed, errno:%s\n", output_name, strerror(err));
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
            OAM_WARN("[%s:%d]file %s size:%lld over the limit, not packed\n", entry->d_name,
                      static_cast<long long>(st.st_size));
            continue;
        }
        int ret = memset_s(block, sizeof(block), 0, sizeof(block));
        if (ret != EOK) {
            OAM_ERR("[%s:%d]memset_s failed ret=%d\n", ret);
            break;
        }
        tar_fill_header(block, entry->d_name, static_cast<uint32_t>(st.st_size));
        if (!tar_write_block(gz_file, block)) {
            break;
        }
        tar_write_zip_content(gz_file, entry->d_name, st);
    }
    dir.reset();

    // Two zero blocks end a tar archive; a reader that stops at the first
    // one reads this form as well.
    int ret = memset_s(block, sizeof(block), 0, sizeof(block));
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memset_s failed ret=%d\n", ret);
    }
    for (int i = 0; i < TAR_END_BLOCKS; i++) {
        (void)tar_write_block(gz_file, block);
    }
    return tar_finish_archive(gz_file, sync_fd, tmp_name, output_name);
}
