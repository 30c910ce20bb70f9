/*
 * Failure points on the daemon's file calls for tests/e2e/test_power_cut.py,
 * named as the fault-injection library names its own (posix/io/oc/open,
 * posix/io/rw/write, ...) and enabled from FIU_ENABLE at start by its run-time
 * preload, loaded in front of this one.  Its own POSIX wrappers cannot serve:
 * they replace malloc too, which the sanitizer runtime calls while it starts,
 * before their constructor has found the real one, so a sanitized program
 * dies of SIGSEGV before main; and they lack the *at calls, copy_file_range,
 * sendfile and syncfs.  Only paths under the log root and regular files fail:
 * the driver nodes and sockets stay as the virtual chip makes them.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fiu.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))
#define FAIL_IF(cond, point, err)                                                                            \
    do {                                                                                                     \
        if ((cond) && fiu_fail(point)) {                                                                     \
            errno = (err);                                                                                   \
            return -1;                                                                                       \
        }                                                                                                    \
    } while (0)
#define API __attribute__((visibility("default")))

static int is_log_path(const char *path)
{
    return path != NULL && strncmp(path, "/vendor/log/", 12) == 0;
}

static int is_file(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

API int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    FAIL_IF(is_log_path(path), "posix/io/oc/open", (flags & O_CREAT) ? ENOSPC : EIO);
    return NEXT(open)(path, flags, mode);
}

API ssize_t write(int fd, const void *buf, size_t len)
{
    FAIL_IF(is_file(fd), "posix/io/rw/write", ENOSPC);
    return NEXT(write)(fd, buf, len);
}

API int fsync(int fd)
{
    FAIL_IF(1, "posix/io/sync/fsync", EIO);
    return NEXT(fsync)(fd);
}

API int rename(const char *from, const char *to)
{
    FAIL_IF(1, "posix/io/dir/rename", EIO);
    return NEXT(rename)(from, to);
}

API int unlink(const char *path)
{
    FAIL_IF(is_log_path(path), "posix/io/dir/unlink", EIO);
    return NEXT(unlink)(path);
}

API int renameat2(int olddir, const char *from, int newdir, const char *to, unsigned int flags)
{
    FAIL_IF(1, "posix/io/dir/renameat2", EIO);
    return NEXT(renameat2)(olddir, from, newdir, to, flags);
}

API int unlinkat(int dir, const char *path, int flags)
{
    FAIL_IF(1, "posix/io/dir/unlinkat", EIO);
    return NEXT(unlinkat)(dir, path, flags);
}

API ssize_t copy_file_range(int in, off_t *in_off, int out, off_t *out_off, size_t len, unsigned int flags)
{
    FAIL_IF(1, "posix/io/rw/copy_file_range", EIO);
    return NEXT(copy_file_range)(in, in_off, out, out_off, len, flags);
}

API ssize_t sendfile(int out, int in, off_t *off, size_t count)
{
    FAIL_IF(1, "posix/io/rw/sendfile", EIO);
    return NEXT(sendfile)(out, in, off, count);
}

API int syncfs(int fd)
{
    FAIL_IF(1, "posix/io/sync/syncfs", EIO);
    return NEXT(syncfs)(fd);
}
