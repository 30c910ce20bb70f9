#include "common/oam_file.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/oam_global.h"

int oam_sync_dir(const char *dir)
{
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    int ret = fsync(fd);
    const int err = errno;
    (void)close(fd);
    errno = err;
    return ret == 0 ? 0 : -1;
}

int oam_sync_dir_of(const char *path)
{
    char dir[OAM_FILE_PATH_LEN];
    const char *slash = strrchr(path, '/');
    if (slash == nullptr) {
        return oam_sync_dir(".");
    }
    const size_t len = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (len >= sizeof(dir)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(dir, path, len);
    dir[len] = '\0';
    return oam_sync_dir(dir);
}

int oam_cut_out(const char *path, int fd, off_t size, const oam_cut *cuts, size_t n)
{
    if (n == 0) {
        return 0;
    }
    if (n == 1 && cuts[0].end >= size) {
        return ftruncate(fd, cuts[0].begin) == 0 && fdatasync(fd) == 0 ? 0 : -1;
    }
    char tmp[OAM_FILE_PATH_LEN + 16];
    if (snprintf(tmp, sizeof(tmp), "%s.repair.tmp", path) >= static_cast<int>(sizeof(tmp))) {
        errno = ENAMETOOLONG;
        return -1;
    }
    (void)unlink(tmp);
    const int out = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0664);
    if (out < 0) {
        return -1;
    }
    constexpr size_t chunk = 64 * 1024;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[chunk]);
    int ret = buf != nullptr ? 0 : -1;
    off_t at = 0;
    for (size_t i = 0; ret == 0 && i <= n; ++i) {
        const off_t until = i < n ? cuts[i].begin : size;
        while (ret == 0 && at < until) {
            const off_t left = until - at;
            const ssize_t r = pread(fd, buf.get(), left < static_cast<off_t>(chunk) ? static_cast<size_t>(left) : chunk,
                                    at);
            if (r < 0 && errno == EINTR) {
                continue;
            }
            ret = r > 0 && oam_write_all(out, buf.get(), static_cast<size_t>(r)) == 0 ? 0 : -1;
            at += r > 0 ? r : 0;
        }
        at = i < n ? cuts[i].end : at;
    }
    ret = ret == 0 && fdatasync(out) == 0 ? 0 : -1;
    const int err = errno;
    (void)close(out);
    if (ret != 0 || rename(tmp, path) != 0) {
        const int why = ret != 0 ? err : errno;
        (void)unlink(tmp);
        errno = why;
        return -1;
    }
    (void)oam_sync_dir_of(path);
    return 0;
}
