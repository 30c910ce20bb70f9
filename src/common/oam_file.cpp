#include "common/oam_file.h"

#include <cstring>

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
