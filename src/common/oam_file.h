// Opening a file that anyone else may have replaced under its name.
#pragma once

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
