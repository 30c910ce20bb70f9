/*
 * Makes a step of the daemon's start fail, as on a device short of memory
 * or whose kernel lacks the Wi-Fi driver.  Preloaded in front of the
 * virtual chip's library by the e2e tests (conftest.py, fail_shim).
 * OAMTEST_NL_FAIL chooses a step of opening the netlink channel:
 *   "socket"  the socket call for protocol 28 fails with EPROTONOSUPPORT;
 *   "bind"    binding a netlink address fails with EADDRINUSE.
 * OAMTEST_MALLOC_FAIL=N makes the N-th allocation of a work buffer's size
 * (2048 bytes) fail with ENOMEM.
 * Every other call goes on to the next library unchanged.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#define WIFI_NETLINK_PROTO 28
#define WORK_BUF_LEN 2048

static int fail_step(const char *step)
{
    const char *chosen = getenv("OAMTEST_NL_FAIL");
    return chosen != NULL && strcmp(chosen, step) == 0;
}

__attribute__((visibility("default"))) int socket(int domain, int type, int protocol)
{
    int (*next)(int, int, int) = (int (*)(int, int, int))dlsym(RTLD_NEXT, "socket");
    if (domain == AF_NETLINK && protocol == WIFI_NETLINK_PROTO && fail_step("socket")) {
        errno = EPROTONOSUPPORT;
        return -1;
    }
    return next(domain, type, protocol);
}

__attribute__((visibility("default"))) int bind(int fd, const struct sockaddr *addr, socklen_t len)
{
    int (*next)(int, const struct sockaddr *, socklen_t) =
        (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "bind");
    if (addr != NULL && len >= sizeof(sa_family_t) && addr->sa_family == AF_NETLINK && fail_step("bind")) {
        errno = EADDRINUSE;
        return -1;
    }
    return next(fd, addr, len);
}

__attribute__((visibility("default"))) void *malloc(size_t size)
{
    static void *(*next)(size_t);
    static int env_read;
    static unsigned long fail_at;
    static unsigned long seen;
    if (next == NULL) {
        next = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
    }
    /* The first calls may come before the environment is set up. */
    if (!env_read && environ != NULL) {
        const char *at = getenv("OAMTEST_MALLOC_FAIL");
        fail_at = at != NULL ? strtoul(at, NULL, 10) : 0;
        env_read = 1;
    }
    if (size == WORK_BUF_LEN && fail_at != 0 && __atomic_add_fetch(&seen, 1, __ATOMIC_RELAXED) == fail_at) {
        errno = ENOMEM;
        return NULL;
    }
    return next(size);
}
