// Opening a file that anyone else may have replaced under its name.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// Opens path with flags (O_NONBLOCK and O_CLOEXEC added: a FIFO put in its
// place must not hold the caller in the open or in a read) and fills *st.
// The descriptor, or -1 when it cannot be opened (errno says why), or -2
// when what is there is no regular file.
inline int oam_open_regular(const char *path, int flags, mode_t mode, struct stat *st)
{
    const int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) {
        return -1;
    }
    if (fstat(fd, st) != 0) {
        const int err = errno;
        (void)close(fd);
        errno = err;
        return -1;
    }
    if (!S_ISREG(st->st_mode)) {
        (void)close(fd);
        return -2;
    }
    return fd;
}

// Writes all of buf to fd, on through interruptions and short writes.  0, or
// -1 with errno set (EIO when the file took nothing).
inline int oam_write_all(int fd, const void *buf, size_t len)
{
    const auto *at = static_cast<const char *>(buf);
    while (len > 0) {
        const ssize_t n = write(fd, at, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            errno = n < 0 ? errno : EIO;
            return -1;
        }
        at += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// Puts the folder's entries on storage (open, fsync, close): after a rename
// or a removal, so that a power cut finds either the names before it or
// those after, and never a removal durable before the rename it followed.
// 0, or -1 with errno set.
int oam_sync_dir(const char *dir);
// As above, for the folder holding path.
int oam_sync_dir_of(const char *path);

// A byte range [begin, end) of a file.
struct oam_cut {
    off_t begin;
    off_t end;
};

// Takes the ranges cuts[0, n) (ascending, apart) out of the regular file
// open as fd at path, size bytes long, and puts the result on storage: a
// last range that ends the file is cut off in place; any other leaves a
// copy without them (path + ".repair.tmp") that replaces the file in one
// rename, the folder synced after it, so that a cut in between finds either
// the old file or the new one.  0, or -1 with errno set (file unchanged).
int oam_cut_out(const char *path, int fd, off_t size, const oam_cut *cuts, size_t n);

// Renames from to to unless to exists: 0, or -1 with errno (EEXIST when
// something is there).  A file system or kernel without the no-replace
// flag gets a test first, so that at least nothing known to be there is
// replaced.
inline int oam_rename_noreplace(const char *from, const char *to)
{
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    if (faccessat(AT_FDCWD, to, F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return rename(from, to);
}
