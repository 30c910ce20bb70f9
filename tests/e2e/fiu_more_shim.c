/*
 * Failure points for the file calls of the daemon that the fault-injection
 * preload's POSIX wrappers do not cover, under names of the same scheme:
 *   posix/io/rw/copy_file_range, posix/io/rw/sendfile, posix/io/dir/renameat2,
 *   posix/io/dir/unlinkat, posix/io/sync/syncfs.
 * Enabled like theirs, from FIU_ENABLE at start.  Preloaded after the
 * fault-injection libraries by tests/e2e/test_power_cut.py; every call that
 * is not failed goes on to the next library unchanged.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fiu.h>
#include <stdio.h>
#include <sys/sendfile.h>
#include <unistd.h>

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))
#define FAIL_ON(point, err)                                                                                  \
    do {                                                                                                     \
        if (fiu_fail(point)) {                                                                               \
            errno = (err);                                                                                   \
            return -1;                                                                                       \
        }                                                                                                    \
    } while (0)

__attribute__((visibility("default"))) ssize_t copy_file_range(int in, off_t *in_off, int out, off_t *out_off,
                                                               size_t len, unsigned int flags)
{
    FAIL_ON("posix/io/rw/copy_file_range", EIO);
    return NEXT(copy_file_range)(in, in_off, out, out_off, len, flags);
}

__attribute__((visibility("default"))) ssize_t sendfile(int out, int in, off_t *off, size_t count)
{
    FAIL_ON("posix/io/rw/sendfile", EIO);
    return NEXT(sendfile)(out, in, off, count);
}

__attribute__((visibility("default"))) int renameat2(int olddir, const char *from, int newdir, const char *to,
                                                     unsigned int flags)
{
    FAIL_ON("posix/io/dir/renameat2", EIO);
    return NEXT(renameat2)(olddir, from, newdir, to, flags);
}

__attribute__((visibility("default"))) int unlinkat(int dir, const char *path, int flags)
{
    FAIL_ON("posix/io/dir/unlinkat", EIO);
    return NEXT(unlinkat)(dir, path, flags);
}

__attribute__((visibility("default"))) int syncfs(int fd)
{
    FAIL_ON("posix/io/sync/syncfs", EIO);
    return NEXT(syncfs)(fd);
}
