/*
 * Makes the daemon's Wi-Fi netlink channel fail to open, as on a device whose
 * kernel lacks the Wi-Fi driver.  Preloaded in front of the virtual chip's
 * library by tests/e2e/test_wifi_logs.py; OAMTEST_NL_FAIL chooses the step:
 *   "socket"  the socket call for protocol 28 fails with EPROTONOSUPPORT;
 *   "bind"    binding a netlink address fails with EADDRINUSE.
 * Every other call goes on to the next library unchanged.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#define WIFI_NETLINK_PROTO 28

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
