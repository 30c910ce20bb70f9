/*
 * Preload library of the virtual chip.  Loaded into the daemon (and only the
 * daemon) inside the bubblewrap sandbox, it lets the unmodified binary talk
 * to the Python chip process as if that were the chip's kernel drivers:
 *
 *  - the Wi-Fi driver's netlink protocol (28) becomes NETLINK_USERSOCK, and
 *    sends addressed to the kernel (port id 0) go to the chip's port id;
 *  - the /dev/qv* nodes are Unix SOCK_SEQPACKET sockets of the chip,
 *    bind-mounted over the node paths.  A real open of a socket file fails
 *    with ENXIO; we then connect to it, so one read is one chunk of the chip;
 *  - an ioctl on such a node goes to the chip over a connection of its own,
 *    so it never mixes with the data a receiver thread is reading;
 *  - accept() can be made to fail on demand, for the tool server;
 *  - a netlink receive can report an overrun (ENOBUFS), as the kernel does
 *    when its driver found the daemon's receive buffer full and dropped a
 *    message: the chip's load generator counts such congestions in a shared
 *    counter, and each one fails one receive.
 *
 * Descriptors the library did not create are passed through untouched.
 *
 * Wire format between the library and the chip (host byte order):
 *   data connection:  OPEN request (struct sim_open) -> answer (struct
 *     sim_open_answer); then every message carries an 8-byte struct sim_tag
 *     header: chip->daemon 'D' + chunk (a read) or 'E' + errno (a failing
 *     read); daemon->chip 'W' + bytes (a write) or 'X' (a write refused
 *     because the node was opened read-only).
 *   ioctl connection: one struct sim_ioctl -> struct sim_ioctl_answer, then
 *     closed.  A caller interrupted by a signal closes it early, which the
 *     chip takes as a cancelled request.
 *
 * Environment: OAM_SIM_NL_PORT (chip's netlink port id), OAM_SIM_ACCEPT_FAIL
 * (path of a trigger file; while it exists accept() drops each new
 * connection and fails with the errno named in the file, ECONNABORTED when
 * it is empty; a file whose text contains "once" is removed when it fires),
 * OAM_SIM_HOLD_READS (path of a trigger file; while it exists a node read
 * interrupted by a signal goes on waiting instead of failing with EINTR),
 * OAM_SIM_NL_OVERRUN (path of a file whose first 8 bytes count the overruns
 * of the daemon's netlink socket and the next 8 the messages dropped; mapped
 * once at start; the drops show in the /proc/net/netlink the program reads),
 * OAM_SIM_NL_UNIX (when "1", the Wi-Fi channel is a Unix datagram socket in
 * the abstract namespace named "oamsim-nl-<port id>" instead of a netlink
 * socket: a user-mode emulator such as qemu-user creates no netlink socket
 * of protocols it cannot translate; the chip then listens on its own name),
 * OAM_SIM_VTL_PORT (the TCP port that stands for the debug tool's 3333: a
 * bind or connect to 3333 uses it instead, and getsockname shows 3333
 * again, so every sandbox serves its tool on a port of its own while the
 * program still believes it serves 3333; the machine's network is shared).
 *
 * OAM_SIM_CLOCK (path of a file of two 64-bit words, mapped once at start:
 * a sequence number, odd while the chip rewrites the second word, and a
 * signed number of nanoseconds added to every reading of the wall clock:
 * clock_gettime of CLOCK_REALTIME and CLOCK_REALTIME_COARSE, gettimeofday
 * and time; the other clocks run on untouched, as after a real step),
 * OAM_SIM_CLOCK_STEP (path of a FIFO of the chip: a timerfd the program
 * makes on CLOCK_REALTIME is that FIFO instead, opened for reading and
 * writing so that it never reports an end.  Each byte the chip writes
 * stands for a setting of the clock: the descriptor polls readable, and a
 * read takes every byte there and fails with ECANCELED when the timer was
 * armed with TFD_TIMER_CANCEL_ON_SET, as the kernel's does; the program
 * arms it again.  Such a timer never expires by itself; one per program).
 *
 * A 32-bit program built with a 64-bit time_t calls some entry points by
 * their 64-bit names (__ioctl_time64, __sendmsg64, __recvmsg64,
 * __recvmmsg64, __clock_gettime64, __gettimeofday64, __time64,
 * __timerfd_settime64); they are taken here as well.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#define SIM_EXPORT __attribute__((visibility("default")))

#define SIM_NETLINK_PROTO 28
#define SIM_MAX_FDS 65536
#define SIM_MAX_PATHS 64
#define SIM_VTL_PORT 3333

/* The requests whose argument points to a 32-bit int the driver fills in. */
static const unsigned long sim_ptr_requests[] = {0x40047701UL, 0x40046204UL, 0x40046205UL};

enum { SIM_FD_NONE = 0, SIM_FD_NETLINK = 1, SIM_FD_NODE = 2, SIM_FD_CLOCK = 3 };

struct sim_open {
    char magic[8]; /* "OAMOPEN" */
    uint64_t conn;
    int32_t flags;
    int32_t pid;
    int32_t tid;
    int32_t pad;
};

struct sim_open_answer {
    int32_t err;
    int32_t pad;
};

struct sim_ioctl {
    char magic[8]; /* "OAMIOCT" */
    uint64_t conn;
    uint64_t request;
    uint64_t arg;
    int32_t has_in;
    int32_t in_value;
    int32_t pid;
    int32_t tid;
};

struct sim_ioctl_answer {
    int32_t err;
    int32_t has_out;
    int32_t out;
    int32_t pad;
};

struct sim_tag {
    char tag;
    char pad[3];
    int32_t value;
};

struct sim_fd {
    atomic_int kind;
    atomic_int cancel_on_set; /* SIM_FD_CLOCK: armed with TFD_TIMER_CANCEL_ON_SET */
    int accmode;
    int path_idx;
    uint64_t conn;
};

static struct sim_fd g_fds[SIM_MAX_FDS];
static char g_paths[SIM_MAX_PATHS][sizeof(((struct sockaddr_un *)0)->sun_path)];
static atomic_int g_npaths;
static pthread_mutex_t g_path_lock = PTHREAD_MUTEX_INITIALIZER;
static atomic_uint_fast64_t g_conn_seq;

static atomic_int g_env_ready;
static uint32_t g_nl_port;
static int g_nl_port_set;
static int g_nl_unix;
static uint16_t g_vtl_port; /* 0: 3333 stays 3333 */
static char g_accept_fail_path[PATH_MAX];
static char g_hold_reads_path[PATH_MAX];
/* Shared with the load generator: [0] overruns, [1] messages it dropped. */
static _Atomic uint64_t *g_overrun_count;
static atomic_int g_nl_fd = -1; /* the program's netlink socket */
static atomic_uint_fast64_t g_overrun_seen;
static atomic_uint_fast64_t g_behind_shown;
/* Shared with the chip: [0] sequence number, [1] wall clock offset in ns. */
static _Atomic uint64_t *g_clock;
static char g_clock_step_path[PATH_MAX];
static int (*real_clock_gettime)(clockid_t, struct timespec *);
static int (*real_gettimeofday)(struct timeval *, void *);

static int (*real_open)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_close)(int);
static ssize_t (*real_read)(int, void *, size_t);
static ssize_t (*real_write)(int, const void *, size_t);
static int (*real_ioctl)(int, unsigned long, ...);
static int (*real_socket)(int, int, int);
static int (*real_connect)(int, const struct sockaddr *, socklen_t);
static ssize_t (*real_sendto)(int, const void *, size_t, int, const struct sockaddr *, socklen_t);
static ssize_t (*real_sendmsg)(int, const struct msghdr *, int);
static ssize_t (*real_recvmsg)(int, struct msghdr *, int);
static int (*real_recvmmsg)(int, struct mmsghdr *, unsigned int, int, void *);
static int (*real_accept)(int, struct sockaddr *, socklen_t *);
static int (*real_accept4)(int, struct sockaddr *, socklen_t *, int);
static int (*real_dup)(int);
static int (*real_dup2)(int, int);
static int (*real_dup3)(int, int, int);
static int (*real_bind)(int, const struct sockaddr *, socklen_t);
static ssize_t (*real_recvfrom)(int, void *, size_t, int, struct sockaddr *, socklen_t *);
static int (*real_getsockname)(int, struct sockaddr *, socklen_t *);
#if __TIMESIZE == 32
static int (*real___ioctl_time64)(int, unsigned long, ...);
static ssize_t (*real___sendmsg64)(int, const struct msghdr *, int);
static ssize_t (*real___recvmsg64)(int, struct msghdr *, int);
static int (*real___recvmmsg64)(int, struct mmsghdr *, unsigned int, int, void *);
#endif

#define RESOLVE(name)                                                  \
    do {                                                               \
        if (real_##name == NULL) {                                     \
            void *sym_ = dlsym(RTLD_NEXT, #name);                      \
            __atomic_store_n((void **)&real_##name, sym_, __ATOMIC_RELEASE); \
        }                                                              \
    } while (0)

static void sim_resolve(void)
{
    RESOLVE(open);
    RESOLVE(openat);
    RESOLVE(close);
    RESOLVE(read);
    RESOLVE(write);
    RESOLVE(ioctl);
    RESOLVE(socket);
    RESOLVE(connect);
    RESOLVE(sendto);
    RESOLVE(sendmsg);
    RESOLVE(recvmsg);
    RESOLVE(recvmmsg);
    RESOLVE(accept);
    RESOLVE(accept4);
    RESOLVE(dup);
    RESOLVE(dup2);
    RESOLVE(dup3);
    RESOLVE(bind);
    RESOLVE(recvfrom);
    RESOLVE(getsockname);
#if __TIMESIZE == 32
    RESOLVE(__ioctl_time64);
    RESOLVE(__sendmsg64);
    RESOLVE(__recvmsg64);
    RESOLVE(__recvmmsg64);
#endif
}

static void sim_env(void)
{
    if (atomic_load_explicit(&g_env_ready, memory_order_acquire)) {
        return;
    }
    const char *port = getenv("OAM_SIM_NL_PORT");
    if (port != NULL && port[0] != '\0') {
        char *end = NULL;
        unsigned long v = strtoul(port, &end, 0);
        if (end != NULL && *end == '\0' && v <= UINT32_MAX) {
            g_nl_port = (uint32_t)v;
            g_nl_port_set = 1;
        }
    }
    const char *vtl = getenv("OAM_SIM_VTL_PORT");
    if (vtl != NULL && vtl[0] != '\0') {
        char *end = NULL;
        unsigned long v = strtoul(vtl, &end, 10);
        if (end != NULL && *end == '\0' && v > 0 && v <= UINT16_MAX) {
            g_vtl_port = (uint16_t)v;
        }
    }
    const char *nl_unix = getenv("OAM_SIM_NL_UNIX");
    g_nl_unix = nl_unix != NULL && strcmp(nl_unix, "1") == 0;
    const char *fail = getenv("OAM_SIM_ACCEPT_FAIL");
    if (fail != NULL && strlen(fail) < sizeof(g_accept_fail_path)) {
        memcpy(g_accept_fail_path, fail, strlen(fail) + 1);
    }
    const char *hold = getenv("OAM_SIM_HOLD_READS");
    if (hold != NULL && strlen(hold) < sizeof(g_hold_reads_path)) {
        memcpy(g_hold_reads_path, hold, strlen(hold) + 1);
    }
    const char *overrun = getenv("OAM_SIM_NL_OVERRUN");
    if (overrun != NULL && overrun[0] != '\0' && g_overrun_count == NULL) {
        sim_resolve();
        int fd = real_open(overrun, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            void *p = mmap(NULL, 3 * sizeof(uint64_t), PROT_READ, MAP_SHARED, fd, 0);
            real_close(fd);
            if (p != MAP_FAILED) {
                g_overrun_count = (_Atomic uint64_t *)p;
            }
        }
    }
    const char *clock = getenv("OAM_SIM_CLOCK");
    if (clock != NULL && clock[0] != '\0' && g_clock == NULL) {
        sim_resolve();
        int fd = real_open(clock, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            void *p = mmap(NULL, 2 * sizeof(uint64_t), PROT_READ, MAP_SHARED, fd, 0);
            real_close(fd);
            if (p != MAP_FAILED) {
                atomic_store_explicit((_Atomic(_Atomic uint64_t *) *)&g_clock, (_Atomic uint64_t *)p,
                                      memory_order_release);
            }
        }
    }
    const char *step = getenv("OAM_SIM_CLOCK_STEP");
    if (step != NULL && strlen(step) < sizeof(g_clock_step_path)) {
        memcpy(g_clock_step_path, step, strlen(step) + 1);
    }
    atomic_store_explicit(&g_env_ready, 1, memory_order_release);
}

__attribute__((constructor)) static void sim_init(void)
{
    /* Resolved here rather than on first use: the sanitizers read the
     * clock while they start, before this runs, and a look-up from inside
     * such a reading could come back to it. */
    __atomic_store_n((void **)&real_clock_gettime, dlsym(RTLD_NEXT, "clock_gettime"), __ATOMIC_RELEASE);
    __atomic_store_n((void **)&real_gettimeofday, dlsym(RTLD_NEXT, "gettimeofday"), __ATOMIC_RELEASE);
    sim_resolve();
    sim_env();
}

static struct sim_fd *sim_slot(int fd)
{
    if (fd < 0 || fd >= SIM_MAX_FDS) {
        return NULL;
    }
    return &g_fds[fd];
}

static int sim_kind(int fd)
{
    struct sim_fd *s = sim_slot(fd);
    return s == NULL ? SIM_FD_NONE : atomic_load_explicit(&s->kind, memory_order_acquire);
}

static void sim_forget(int fd)
{
    struct sim_fd *s = sim_slot(fd);
    if (s != NULL) {
        atomic_store_explicit(&s->kind, SIM_FD_NONE, memory_order_release);
    }
}

static void sim_copy_slot(int from, int to)
{
    struct sim_fd *src = sim_slot(from);
    struct sim_fd *dst = sim_slot(to);
    if (src == NULL || dst == NULL) {
        return;
    }
    int kind = atomic_load_explicit(&src->kind, memory_order_acquire);
    atomic_store_explicit(&dst->kind, SIM_FD_NONE, memory_order_release);
    dst->accmode = src->accmode;
    dst->path_idx = src->path_idx;
    dst->conn = src->conn;
    atomic_store_explicit(&dst->kind, kind, memory_order_release);
}

/* Node paths are few and live for the whole process: intern them so that an
 * ioctl racing with a close never reads freed memory. */
static int sim_intern_path(const char *path)
{
    size_t len = strlen(path);
    if (len >= sizeof(g_paths[0])) {
        return -1;
    }
    pthread_mutex_lock(&g_path_lock);
    int n = atomic_load(&g_npaths);
    int idx = -1;
    for (int i = 0; i < n; i++) {
        if (strcmp(g_paths[i], path) == 0) {
            idx = i;
            break;
        }
    }
    if (idx < 0 && n < SIM_MAX_PATHS) {
        memcpy(g_paths[n], path, len + 1);
        idx = n;
        atomic_store(&g_npaths, n + 1);
    }
    pthread_mutex_unlock(&g_path_lock);
    return idx;
}

static int sim_connect_path(const char *path, int cloexec)
{
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    size_t len = strlen(path);
    if (len >= sizeof(addr.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(addr.sun_path, path, len + 1);
    int s = real_socket(AF_UNIX, SOCK_SEQPACKET | (cloexec ? SOCK_CLOEXEC : 0), 0);
    if (s < 0) {
        return -1;
    }
    int rc;
    do {
        rc = real_connect(s, (struct sockaddr *)&addr, sizeof(addr));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        int e = errno;
        real_close(s);
        errno = e;
        return -1;
    }
    return s;
}

static ssize_t sim_send_all(int s, const void *buf, size_t len)
{
    ssize_t rc;
    do {
        rc = send(s, buf, len, MSG_NOSIGNAL);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

/* Builds the absolute path of a node so that a later ioctl still finds it
 * after the process has changed its working directory. */
static int sim_abs_path(int dirfd, const char *path, char *out, size_t cap)
{
    if (path[0] == '/') {
        if (strlen(path) >= cap) {
            return -1;
        }
        memcpy(out, path, strlen(path) + 1);
        return 0;
    }
    char dir[PATH_MAX];
    if (dirfd == AT_FDCWD) {
        if (getcwd(dir, sizeof(dir)) == NULL) {
            return -1;
        }
    } else {
        char link[64];
        snprintf(link, sizeof(link), "/proc/self/fd/%d", dirfd);
        ssize_t n = readlink(link, dir, sizeof(dir) - 1);
        if (n < 0) {
            return -1;
        }
        dir[n] = '\0';
    }
    int n = snprintf(out, cap, "%s/%s", dir, path);
    return (n < 0 || (size_t)n >= cap) ? -1 : 0;
}

/* Called after a real open failed with ENXIO: if the path is one of the
 * chip's socket files, open the node through the chip instead. */
static int sim_node_open(int dirfd, const char *path, int flags, int open_errno)
{
    char abs[sizeof(g_paths[0])];
    struct stat st;
    if (path == NULL || sim_abs_path(dirfd, path, abs, sizeof(abs)) != 0 || stat(abs, &st) != 0 ||
        !S_ISSOCK(st.st_mode)) {
        errno = open_errno;
        return -1;
    }
    int idx = sim_intern_path(abs);
    if (idx < 0) {
        errno = open_errno;
        return -1;
    }
    int s = sim_connect_path(abs, (flags & O_CLOEXEC) != 0);
    if (s < 0) {
        /* Not served by the chip (any more): the open fails as it did. */
        errno = open_errno;
        return -1;
    }
    if (s >= SIM_MAX_FDS) {
        real_close(s);
        errno = EMFILE;
        return -1;
    }
    struct sim_open req;
    memset(&req, 0, sizeof(req));
    memcpy(req.magic, "OAMOPEN", 8);
    req.conn = ((uint64_t)(uint32_t)getpid() << 32) | (atomic_fetch_add(&g_conn_seq, 1) + 1);
    req.flags = flags;
    req.pid = (int32_t)getpid();
    req.tid = (int32_t)syscall(SYS_gettid);
    struct sim_open_answer ans;
    ssize_t rc = sim_send_all(s, &req, sizeof(req));
    if (rc == (ssize_t)sizeof(req)) {
        do {
            rc = recv(s, &ans, sizeof(ans), 0);
        } while (rc < 0 && errno == EINTR);
    }
    if (rc != (ssize_t)sizeof(ans)) {
        real_close(s);
        errno = ENODEV;
        return -1;
    }
    if (ans.err != 0) {
        real_close(s);
        errno = ans.err;
        return -1;
    }
    if (flags & O_NONBLOCK) {
        int fl = fcntl(s, F_GETFL);
        if (fl >= 0) {
            fcntl(s, F_SETFL, fl | O_NONBLOCK);
        }
    }
    struct sim_fd *slot = sim_slot(s);
    slot->accmode = flags & O_ACCMODE;
    slot->path_idx = idx;
    slot->conn = req.conn;
    atomic_store_explicit(&slot->kind, SIM_FD_NODE, memory_order_release);
    return s;
}

/* The kernel's table of netlink sockets as the program would read it, the
 * Drops column of its own socket counting the messages the chip's load
 * dropped.  Only for a real netlink socket: the Unix stand-in of emulated
 * runs has no such counter, as on a kernel without the file. */
static int sim_proc_netlink(void)
{
    int nl = atomic_load(&g_nl_fd);
    struct stat st;
    if (g_overrun_count == NULL || g_nl_unix || nl < 0 || fstat(nl, &st) != 0) {
        errno = ENOENT;
        return -1;
    }
    char text[512];
    const char *head = "sk               Eth Pid        Groups   Rmem     Wmem     Dump  Locks    Drops    Inode\n";
    const char *row = "%016llx %-3d %-10u %08x %-8d %-8d %-5d %-8d %-8llu %-8llu\n";
    int n = snprintf(text, sizeof(text), "%s", head);
    n += snprintf(text + n, sizeof(text) - (size_t)n, row, 0x1000ULL, 0, 1U, 0U, 0, 0, 0, 2, 7ULL,
                  (unsigned long long)st.st_ino + 1);
    n += snprintf(text + n, sizeof(text) - (size_t)n, row, 0x2000ULL, 2, (unsigned)getpid(), 0U, 0, 0, 0, 2,
                  (unsigned long long)(atomic_load(&g_overrun_count[1]) + atomic_load(&g_behind_shown)),
                  (unsigned long long)st.st_ino);
    int fd = memfd_create("netlink", MFD_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (write(fd, text, (size_t)n) != n || lseek(fd, 0, SEEK_SET) != 0) {
        real_close(fd);
        errno = EIO;
        return -1;
    }
    return fd;
}

static int sim_open_common(int dirfd, const char *path, int flags, mode_t mode)
{
    sim_resolve();
    if (path != NULL && strcmp(path, "/proc/net/netlink") == 0) {
        return sim_proc_netlink();
    }
    int fd = dirfd == AT_FDCWD ? real_open(path, flags, mode) : real_openat(dirfd, path, flags, mode);
    if (fd >= 0) {
        sim_forget(fd);
        return fd;
    }
    if (errno != ENXIO) {
        return fd;
    }
    return sim_node_open(dirfd, path, flags, ENXIO);
}

static mode_t sim_mode_arg(int flags, va_list ap)
{
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        return (mode_t)va_arg(ap, int);
    }
    return 0;
}

SIM_EXPORT int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = sim_mode_arg(flags, ap);
    va_end(ap);
    return sim_open_common(AT_FDCWD, path, flags, mode);
}

SIM_EXPORT int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = sim_mode_arg(flags, ap);
    va_end(ap);
    return sim_open_common(AT_FDCWD, path, flags, mode);
}

SIM_EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = sim_mode_arg(flags, ap);
    va_end(ap);
    return sim_open_common(dirfd, path, flags, mode);
}

SIM_EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = sim_mode_arg(flags, ap);
    va_end(ap);
    return sim_open_common(dirfd, path, flags, mode);
}

/* The fortified entry points a build with _FORTIFY_SOURCE may call. */
SIM_EXPORT int __open_2(const char *path, int flags)
{
    return sim_open_common(AT_FDCWD, path, flags, 0);
}

SIM_EXPORT int __open64_2(const char *path, int flags)
{
    return sim_open_common(AT_FDCWD, path, flags, 0);
}

SIM_EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
    return sim_open_common(dirfd, path, flags, 0);
}

SIM_EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
    return sim_open_common(dirfd, path, flags, 0);
}

SIM_EXPORT int close(int fd)
{
    sim_resolve();
    sim_forget(fd);
    return real_close(fd);
}

SIM_EXPORT int dup(int fd)
{
    sim_resolve();
    int nfd = real_dup(fd);
    if (nfd >= 0) {
        sim_copy_slot(fd, nfd);
    }
    return nfd;
}

SIM_EXPORT int dup2(int fd, int fd2)
{
    sim_resolve();
    int nfd = real_dup2(fd, fd2);
    if (nfd >= 0 && nfd != fd) {
        sim_copy_slot(fd, nfd);
    }
    return nfd;
}

SIM_EXPORT int dup3(int fd, int fd2, int flags)
{
    sim_resolve();
    int nfd = real_dup3(fd, fd2, flags);
    if (nfd >= 0) {
        sim_copy_slot(fd, nfd);
    }
    return nfd;
}

/* Wall clock ------------------------------------------------------------ */

/* The chip's offset in nanoseconds: 0 until the file is mapped.  The
 * sequence number makes a reading that overlapped the chip's rewrite try
 * again, so that no reading mixes two offsets. */
static int64_t sim_clock_offset(void)
{
    _Atomic uint64_t *c = atomic_load_explicit((_Atomic(_Atomic uint64_t *) *)&g_clock, memory_order_acquire);
    if (c == NULL) {
        return 0;
    }
    for (;;) {
        uint64_t seq = atomic_load_explicit(&c[0], memory_order_acquire);
        int64_t offset = (int64_t)atomic_load_explicit(&c[1], memory_order_acquire);
        if ((seq & 1) == 0 && atomic_load_explicit(&c[0], memory_order_acquire) == seq) {
            return offset;
        }
    }
}

static int sim_is_wall(clockid_t id)
{
    return id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE;
}

/* The real reading: the next library's entry point once known, else the
 * kernel's (while the sanitizers start up). */
static int sim_real_clock(clockid_t id, struct timespec *ts)
{
    int (*fn)(clockid_t, struct timespec *) = __atomic_load_n(&real_clock_gettime, __ATOMIC_ACQUIRE);
    if (fn != NULL) {
        return fn(id, ts);
    }
    return (int)syscall(SYS_clock_gettime, id, ts);
}

static void sim_shift(int64_t *sec, int64_t *nsec, int64_t offset)
{
    int64_t ns = *nsec + offset % 1000000000;
    *sec += offset / 1000000000 + (ns >= 1000000000 ? 1 : 0) - (ns < 0 ? 1 : 0);
    *nsec = ns >= 1000000000 ? ns - 1000000000 : (ns < 0 ? ns + 1000000000 : ns);
}

SIM_EXPORT int clock_gettime(clockid_t id, struct timespec *ts)
{
    int rc = sim_real_clock(id, ts);
    int64_t offset = rc == 0 && sim_is_wall(id) ? sim_clock_offset() : 0;
    if (offset != 0) {
        int64_t sec = ts->tv_sec;
        int64_t nsec = ts->tv_nsec;
        sim_shift(&sec, &nsec, offset);
        ts->tv_sec = (time_t)sec;
        ts->tv_nsec = (long)nsec;
    }
    return rc;
}

/* Apart from gettimeofday, whose declaration says tv is never null (the
 * kernel takes a null one all the same). */
static void sim_shift_tv(struct timeval *tv)
{
    int64_t offset = tv != NULL ? sim_clock_offset() : 0;
    if (offset != 0) {
        int64_t sec = tv->tv_sec;
        int64_t nsec = (int64_t)tv->tv_usec * 1000;
        sim_shift(&sec, &nsec, offset);
        tv->tv_sec = (time_t)sec;
        tv->tv_usec = (suseconds_t)(nsec / 1000);
    }
}

SIM_EXPORT int gettimeofday(struct timeval *tv, void *tz)
{
    int (*fn)(struct timeval *, void *) = __atomic_load_n(&real_gettimeofday, __ATOMIC_ACQUIRE);
    int rc = fn != NULL ? fn(tv, tz) : (int)syscall(SYS_gettimeofday, tv, tz);
    if (rc == 0) {
        sim_shift_tv(tv);
    }
    return rc;
}

SIM_EXPORT time_t time(time_t *out)
{
    struct timespec ts;
    time_t now = clock_gettime(CLOCK_REALTIME, &ts) == 0 ? ts.tv_sec : (time_t)-1;
    if (out != NULL) {
        *out = now;
    }
    return now;
}

#if __TIMESIZE == 32
/* The 64-bit time entry points of a 32-bit program (glibc's layouts). */
struct sim_timespec64 {
    int64_t tv_sec;
    int32_t tv_nsec;
    int32_t pad;
};
struct sim_timeval64 {
    int64_t tv_sec;
    int64_t tv_usec;
};

SIM_EXPORT int __clock_gettime64(clockid_t id, struct sim_timespec64 *ts)
{
    static int (*real)(clockid_t, struct sim_timespec64 *);
    if (real == NULL) {
        real = (int (*)(clockid_t, struct sim_timespec64 *))dlsym(RTLD_NEXT, "__clock_gettime64");
    }
    int rc = real(id, ts);
    int64_t offset = rc == 0 && sim_is_wall(id) ? sim_clock_offset() : 0;
    if (offset != 0) {
        int64_t nsec = ts->tv_nsec;
        sim_shift(&ts->tv_sec, &nsec, offset);
        ts->tv_nsec = (int32_t)nsec;
    }
    return rc;
}

SIM_EXPORT int __gettimeofday64(struct sim_timeval64 *tv, void *tz)
{
    struct sim_timespec64 ts;
    int rc = __clock_gettime64(CLOCK_REALTIME, &ts);
    if (rc == 0 && tv != NULL) {
        tv->tv_sec = ts.tv_sec;
        tv->tv_usec = ts.tv_nsec / 1000;
    }
    (void)tz;
    return rc;
}

SIM_EXPORT int64_t __time64(int64_t *out)
{
    struct sim_timespec64 ts;
    int64_t now = __clock_gettime64(CLOCK_REALTIME, &ts) == 0 ? ts.tv_sec : -1;
    if (out != NULL) {
        *out = now;
    }
    return now;
}
#endif

/* A wall-clock timer becomes the chip's step FIFO (see the head). */
SIM_EXPORT int timerfd_create(clockid_t id, int flags)
{
    sim_resolve();
    sim_env();
    if (id != CLOCK_REALTIME || g_clock_step_path[0] == '\0') {
        return (int)syscall(SYS_timerfd_create, id, flags);
    }
    int fd = real_open(g_clock_step_path, O_RDWR | O_NONBLOCK | ((flags & TFD_CLOEXEC) ? O_CLOEXEC : 0));
    if (fd < 0) {
        return -1;
    }
    if ((flags & TFD_NONBLOCK) == 0) {
        (void)fcntl(fd, F_SETFL, O_RDWR);
    }
    struct sim_fd *slot = sim_slot(fd);
    if (slot != NULL) {
        atomic_store_explicit(&slot->cancel_on_set, 0, memory_order_relaxed);
        atomic_store_explicit(&slot->kind, SIM_FD_CLOCK, memory_order_release);
    }
    return fd;
}

static int sim_clock_settime(int fd, int flags, int armed, void *old, size_t old_size)
{
    struct sim_fd *slot = sim_slot(fd);
    atomic_store_explicit(&slot->cancel_on_set, armed && (flags & TFD_TIMER_CANCEL_ON_SET) != 0,
                          memory_order_release);
    if (old != NULL) {
        memset(old, 0, old_size);
    }
    return 0;
}

SIM_EXPORT int timerfd_settime(int fd, int flags, const struct itimerspec *value, struct itimerspec *old)
{
    if (sim_kind(fd) != SIM_FD_CLOCK) {
        return (int)syscall(SYS_timerfd_settime, fd, flags, value, old);
    }
    int armed = value != NULL && (value->it_value.tv_sec != 0 || value->it_value.tv_nsec != 0);
    return sim_clock_settime(fd, flags, armed, old, sizeof(*old));
}

#if __TIMESIZE == 32
struct sim_itimerspec64 {
    struct sim_timespec64 it_interval;
    struct sim_timespec64 it_value;
};

SIM_EXPORT int __timerfd_settime64(int fd, int flags, const struct sim_itimerspec64 *value,
                                   struct sim_itimerspec64 *old)
{
    if (sim_kind(fd) != SIM_FD_CLOCK) {
        static int (*real)(int, int, const struct sim_itimerspec64 *, struct sim_itimerspec64 *);
        if (real == NULL) {
            real = (int (*)(int, int, const struct sim_itimerspec64 *, struct sim_itimerspec64 *))dlsym(
                RTLD_NEXT, "__timerfd_settime64");
        }
        return real(fd, flags, value, old);
    }
    int armed = value != NULL && (value->it_value.tv_sec != 0 || value->it_value.tv_nsec != 0);
    return sim_clock_settime(fd, flags, armed, old, sizeof(*old));
}
#endif

/* A read of the step FIFO: every step waiting is one cancellation. */
static ssize_t sim_clock_read(int fd, struct sim_fd *slot)
{
    char steps[64];
    ssize_t n = real_read(fd, steps, sizeof(steps));
    if (n <= 0) {
        return n < 0 ? -1 : 0;
    }
    int nonblock = (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
    /* Taken all at once: several steps before a read are one, as the
     * kernel reports them. */
    (void)fcntl(fd, F_SETFL, O_RDWR | O_NONBLOCK);
    while (real_read(fd, steps, sizeof(steps)) > 0) {
    }
    if (!nonblock) {
        (void)fcntl(fd, F_SETFL, O_RDWR);
    }
    if (atomic_load_explicit(&slot->cancel_on_set, memory_order_acquire)) {
        errno = ECANCELED;
        return -1;
    }
    errno = EAGAIN; /* a timer not armed to be cancelled: nothing to read */
    return -1;
}

/* True while the file named by OAM_SIM_HOLD_READS exists. */
/* Called with the EINTR of a read still in errno, which the caller returns
 * when the reads are not held: the look-up must leave it as it was. */
static int sim_reads_held(void)
{
    int saved = errno;
    sim_env();
    int held = g_hold_reads_path[0] != '\0' && access(g_hold_reads_path, F_OK) == 0;
    errno = saved;
    return held;
}

SIM_EXPORT ssize_t read(int fd, void *buf, size_t count)
{
    sim_resolve();
    struct sim_fd *slot = sim_slot(fd);
    if (slot != NULL && atomic_load_explicit(&slot->kind, memory_order_acquire) == SIM_FD_CLOCK) {
        return sim_clock_read(fd, slot);
    }
    if (slot == NULL || atomic_load_explicit(&slot->kind, memory_order_acquire) != SIM_FD_NODE) {
        return real_read(fd, buf, count);
    }
    if (slot->accmode == O_WRONLY) {
        errno = EBADF;
        return -1;
    }
    struct sim_tag hdr;
    memset(&hdr, 0, sizeof(hdr));
    struct iovec iov[2] = {{&hdr, sizeof(hdr)}, {buf, count}};
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    /* One message per read, cut to the caller's size as a driver would; an
     * EINTR reaches the caller so that a signal can wake a receiver, unless
     * the chip holds reads (a driver whose read ignores signals). */
    ssize_t rc;
    do {
        rc = real_recvmsg(fd, &msg, 0);
    } while (rc < 0 && errno == EINTR && sim_reads_held());
    if (rc <= 0) {
        return rc;
    }
    if ((size_t)rc < sizeof(hdr)) {
        errno = EIO;
        return -1;
    }
    if (hdr.tag == 'E') {
        errno = hdr.value;
        return -1;
    }
    return rc - (ssize_t)sizeof(hdr);
}

SIM_EXPORT ssize_t __read_chk(int fd, void *buf, size_t count, size_t buflen)
{
    if (count > buflen) {
        abort();
    }
    return read(fd, buf, count);
}

SIM_EXPORT ssize_t write(int fd, const void *buf, size_t count)
{
    sim_resolve();
    struct sim_fd *slot = sim_slot(fd);
    if (slot == NULL || atomic_load_explicit(&slot->kind, memory_order_acquire) != SIM_FD_NODE) {
        return real_write(fd, buf, count);
    }
    struct sim_tag hdr;
    memset(&hdr, 0, sizeof(hdr));
    if (slot->accmode == O_RDONLY) {
        /* Tell the chip, so that a test sees the attempt, then fail as the
         * kernel does for a descriptor not open for writing. */
        hdr.tag = 'X';
        hdr.value = (int32_t)(count > INT32_MAX ? INT32_MAX : count);
        (void)send(fd, &hdr, sizeof(hdr), MSG_NOSIGNAL | MSG_DONTWAIT);
        errno = EBADF;
        return -1;
    }
    hdr.tag = 'W';
    struct iovec iov[2] = {{&hdr, sizeof(hdr)}, {(void *)buf, count}};
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    ssize_t rc = real_sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (rc < 0) {
        return rc;
    }
    return rc < (ssize_t)sizeof(hdr) ? 0 : rc - (ssize_t)sizeof(hdr);
}

static int sim_is_ptr_request(unsigned long request)
{
    for (size_t i = 0; i < sizeof(sim_ptr_requests) / sizeof(sim_ptr_requests[0]); i++) {
        if (sim_ptr_requests[i] == request) {
            return 1;
        }
    }
    return 0;
}

static int sim_node_ioctl(struct sim_fd *slot, unsigned long request, void *arg)
{
    int idx = slot->path_idx;
    uint64_t conn = slot->conn;
    if (idx < 0 || idx >= atomic_load(&g_npaths)) {
        errno = EBADF;
        return -1;
    }
    struct sim_ioctl req;
    memset(&req, 0, sizeof(req));
    memcpy(req.magic, "OAMIOCT", 8);
    req.conn = conn;
    req.request = request;
    req.arg = (uint64_t)(uintptr_t)arg;
    int is_ptr = sim_is_ptr_request(request);
    if (is_ptr && arg != NULL) {
        req.has_in = 1;
        memcpy(&req.in_value, arg, sizeof(req.in_value));
    }
    req.pid = (int32_t)getpid();
    req.tid = (int32_t)syscall(SYS_gettid);

    int s = sim_connect_path(g_paths[idx], 1);
    if (s < 0) {
        errno = ENODEV;
        return -1;
    }
    ssize_t rc = sim_send_all(s, &req, sizeof(req));
    if (rc != (ssize_t)sizeof(req)) {
        real_close(s);
        errno = ENODEV;
        return -1;
    }
    /* The chip may hold the answer for as long as it likes (a dump wait);
     * a signal ends the wait with EINTR, and the closed connection tells
     * the chip that the request was abandoned. */
    struct sim_ioctl_answer ans;
    rc = recv(s, &ans, sizeof(ans), 0);
    int e = errno;
    real_close(s);
    if (rc < 0) {
        errno = e;
        return -1;
    }
    if (rc != (ssize_t)sizeof(ans)) {
        errno = ENODEV;
        return -1;
    }
    if (ans.err != 0) {
        errno = ans.err;
        return -1;
    }
    if (is_ptr && ans.has_out) {
        if (arg == NULL) {
            errno = EFAULT;
            return -1;
        }
        memcpy(arg, &ans.out, sizeof(ans.out));
    }
    return 0;
}

static int sim_ioctl_common(int (*real)(int, unsigned long, ...), int fd, unsigned long request, void *arg)
{
    struct sim_fd *slot = sim_slot(fd);
    if (slot == NULL || atomic_load_explicit(&slot->kind, memory_order_acquire) != SIM_FD_NODE) {
        return real(fd, request, arg);
    }
    return sim_node_ioctl(slot, request, arg);
}

SIM_EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    sim_resolve();
    return sim_ioctl_common(real_ioctl, fd, request, arg);
}

#if __TIMESIZE == 32
SIM_EXPORT int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    sim_resolve();
    return sim_ioctl_common(real___ioctl_time64, fd, request, arg);
}
#endif

SIM_EXPORT int socket(int domain, int type, int protocol)
{
    sim_resolve();
    if (domain != AF_NETLINK || protocol != SIM_NETLINK_PROTO) {
        int fd = real_socket(domain, type, protocol);
        if (fd >= 0) {
            sim_forget(fd);
        }
        return fd;
    }
    sim_env();
    int fd = g_nl_unix ? real_socket(AF_UNIX, SOCK_DGRAM | (type & (SOCK_CLOEXEC | SOCK_NONBLOCK)), 0)
                       : real_socket(domain, type, NETLINK_USERSOCK);
    struct sim_fd *slot = sim_slot(fd);
    if (slot != NULL) {
        slot->accmode = O_RDWR;
        slot->path_idx = -1;
        slot->conn = 0;
        atomic_store_explicit(&slot->kind, SIM_FD_NETLINK, memory_order_release);
        atomic_store(&g_nl_fd, fd);
    }
    return fd;
}

/* A netlink address as the emulated channel's Unix name ("oamsim-nl-<port>"
 * in the abstract namespace).  Returns the address length. */
static socklen_t sim_nl_unix_name(uint32_t port, struct sockaddr_un *out)
{
    memset(out, 0, sizeof(*out));
    out->sun_family = AF_UNIX;
    int n = snprintf(out->sun_path + 1, sizeof(out->sun_path) - 1, "oamsim-nl-%u", (unsigned)port);
    return (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + (size_t)n);
}

/* The port id of an emulated channel's Unix name; 0 when it is none. */
static uint32_t sim_nl_unix_port(const struct sockaddr_un *addr, socklen_t len)
{
    static const char prefix[] = "oamsim-nl-";
    size_t off = offsetof(struct sockaddr_un, sun_path) + 1;
    if (addr->sun_family != AF_UNIX || len <= off + sizeof(prefix) - 1 || addr->sun_path[0] != '\0' ||
        memcmp(addr->sun_path + 1, prefix, sizeof(prefix) - 1) != 0) {
        return 0;
    }
    char digits[16] = {0};
    size_t n = len - off - (sizeof(prefix) - 1);
    if (n >= sizeof(digits)) {
        return 0;
    }
    memcpy(digits, addr->sun_path + 1 + sizeof(prefix) - 1, n);
    return (uint32_t)strtoul(digits, NULL, 10);
}

union sim_addr {
    struct sockaddr_nl nl;
    struct sockaddr_un un;
};

/* Points a netlink address aimed at the kernel to the chip instead (and, on
 * an emulated channel, turns any netlink address into its Unix name).
 * Returns the address to use and updates *len; the caller's address when
 * nothing changes. */
static const struct sockaddr *sim_nl_dest(int fd, const struct sockaddr *addr, socklen_t *len,
                                          union sim_addr *tmp)
{
    sim_env();
    if (addr == NULL || *len < (socklen_t)sizeof(struct sockaddr_nl) || sim_kind(fd) != SIM_FD_NETLINK) {
        return addr;
    }
    struct sockaddr_nl nl;
    memcpy(&nl, addr, sizeof(nl));
    if (nl.nl_family != AF_NETLINK) {
        return addr;
    }
    if (nl.nl_pid == 0 && g_nl_port_set) {
        nl.nl_pid = g_nl_port;
    }
    if (g_nl_unix) {
        *len = sim_nl_unix_name(nl.nl_pid, &tmp->un);
    } else {
        tmp->nl = nl;
    }
    return (const struct sockaddr *)tmp;
}

/* The port of an IPv4 or IPv6 address (host order) and where it sits; NULL
 * for any other address. */
static in_port_t *sim_inet_port(struct sockaddr *addr, socklen_t len)
{
    if (addr->sa_family == AF_INET && len >= (socklen_t)sizeof(struct sockaddr_in)) {
        return &((struct sockaddr_in *)addr)->sin_port;
    }
    if (addr->sa_family == AF_INET6 && len >= (socklen_t)sizeof(struct sockaddr_in6)) {
        return &((struct sockaddr_in6 *)addr)->sin6_port;
    }
    return NULL;
}

/* An address on the tool's port 3333 moved to the sandbox's own port (a
 * copy in *tmp); the caller's address otherwise. */
static const struct sockaddr *sim_vtl_addr(const struct sockaddr *addr, socklen_t len, struct sockaddr_storage *tmp)
{
    sim_env();
    if (g_vtl_port == 0 || addr == NULL || len > (socklen_t)sizeof(*tmp) ||
        (addr->sa_family != AF_INET && addr->sa_family != AF_INET6)) {
        return addr;
    }
    memcpy(tmp, addr, len);
    in_port_t *port = sim_inet_port((struct sockaddr *)tmp, len);
    if (port == NULL || *port != htons(SIM_VTL_PORT)) {
        return addr;
    }
    *port = htons(g_vtl_port);
    return (const struct sockaddr *)tmp;
}

SIM_EXPORT int getsockname(int fd, struct sockaddr *addr, socklen_t *len)
{
    sim_resolve();
    sim_env();
    socklen_t cap = len != NULL ? *len : 0;
    int rc = real_getsockname(fd, addr, len);
    if (rc == 0 && g_vtl_port != 0 && addr != NULL) {
        in_port_t *port = sim_inet_port(addr, cap < *len ? cap : *len);
        if (port != NULL && *port == htons(g_vtl_port)) {
            *port = htons(SIM_VTL_PORT);
        }
    }
    return rc;
}

SIM_EXPORT int bind(int fd, const struct sockaddr *addr, socklen_t len)
{
    sim_resolve();
    sim_env();
    struct sockaddr_storage inet;
    addr = sim_vtl_addr(addr, len, &inet);
    if (!g_nl_unix || addr == NULL || len < (socklen_t)sizeof(struct sockaddr_nl) ||
        sim_kind(fd) != SIM_FD_NETLINK || addr->sa_family != AF_NETLINK) {
        return real_bind(fd, addr, len);
    }
    struct sockaddr_nl nl;
    memcpy(&nl, addr, sizeof(nl));
    struct sockaddr_un un;
    socklen_t un_len = sim_nl_unix_name(nl.nl_pid != 0 ? nl.nl_pid : (uint32_t)getpid(), &un);
    return real_bind(fd, (const struct sockaddr *)&un, un_len);
}

SIM_EXPORT int connect(int fd, const struct sockaddr *addr, socklen_t len)
{
    sim_resolve();
    struct sockaddr_storage inet;
    addr = sim_vtl_addr(addr, len, &inet);
    union sim_addr tmp;
    const struct sockaddr *dest = sim_nl_dest(fd, addr, &len, &tmp);
    return real_connect(fd, dest, len);
}

SIM_EXPORT ssize_t sendto(int fd, const void *buf, size_t n, int flags, const struct sockaddr *addr,
                          socklen_t len)
{
    sim_resolve();
    union sim_addr tmp;
    const struct sockaddr *dest = sim_nl_dest(fd, addr, &len, &tmp);
    return real_sendto(fd, buf, n, flags, dest, len);
}

static ssize_t sim_sendmsg(ssize_t (*real)(int, const struct msghdr *, int), int fd, const struct msghdr *msg,
                           int flags)
{
    if (msg == NULL || msg->msg_name == NULL || sim_kind(fd) != SIM_FD_NETLINK) {
        return real(fd, msg, flags);
    }
    union sim_addr tmp;
    struct msghdr copy = *msg;
    copy.msg_name = (void *)sim_nl_dest(fd, (const struct sockaddr *)msg->msg_name, &copy.msg_namelen, &tmp);
    return real(fd, &copy, flags);
}

SIM_EXPORT ssize_t sendmsg(int fd, const struct msghdr *msg, int flags)
{
    sim_resolve();
    return sim_sendmsg(real_sendmsg, fd, msg, flags);
}

/* A congestion the chip reported and no receive has told yet fails this
 * receive with ENOBUFS, before any queued message, as the kernel reports a
 * socket error first. */
static int sim_take_overrun(int fd)
{
    if (g_overrun_count == NULL || sim_kind(fd) != SIM_FD_NETLINK) {
        return 0;
    }
    uint_fast64_t seen = atomic_load(&g_overrun_seen);
    if (atomic_load(g_overrun_count) > seen) {
        return atomic_compare_exchange_strong(&g_overrun_seen, &seen, seen + 1);
    }
    /* The kernel goes on dropping behind one overrun until the queue is
     * empty: drops the sender put behind an overrun already told show at
     * the receive after the one that told it, messages still queued. */
    atomic_store(&g_behind_shown, atomic_load(&g_overrun_count[2]));
    return 0;
}

/* On an emulated channel the sender's Unix name goes back to the caller as
 * the netlink address it stands for. */
static void sim_nl_source(const struct sockaddr_un *from, socklen_t from_len, void *name, socklen_t *name_len)
{
    struct sockaddr_nl nl;
    memset(&nl, 0, sizeof(nl));
    nl.nl_family = AF_NETLINK;
    nl.nl_pid = sim_nl_unix_port(from, from_len);
    if (name != NULL && name_len != NULL) {
        memcpy(name, &nl, *name_len < sizeof(nl) ? *name_len : sizeof(nl));
        *name_len = sizeof(nl);
    }
}

static ssize_t sim_recvmsg(ssize_t (*real)(int, struct msghdr *, int), int fd, struct msghdr *msg, int flags)
{
    sim_env();
    if (sim_take_overrun(fd)) {
        errno = ENOBUFS;
        return -1;
    }
    if (!g_nl_unix || msg == NULL || sim_kind(fd) != SIM_FD_NETLINK) {
        return real(fd, msg, flags);
    }
    struct sockaddr_un from;
    struct msghdr copy = *msg;
    copy.msg_name = &from;
    copy.msg_namelen = sizeof(from);
    ssize_t rc = real(fd, &copy, flags);
    if (rc >= 0) {
        msg->msg_flags = copy.msg_flags;
        msg->msg_controllen = copy.msg_controllen;
        sim_nl_source(&from, copy.msg_namelen, msg->msg_name, &msg->msg_namelen);
    }
    return rc;
}

SIM_EXPORT ssize_t recvmsg(int fd, struct msghdr *msg, int flags)
{
    sim_resolve();
    return sim_recvmsg(real_recvmsg, fd, msg, flags);
}

SIM_EXPORT ssize_t recvfrom(int fd, void *buf, size_t n, int flags, struct sockaddr *addr, socklen_t *len)
{
    sim_resolve();
    sim_env();
    if (!g_nl_unix || addr == NULL || sim_kind(fd) != SIM_FD_NETLINK) {
        return real_recvfrom(fd, buf, n, flags, addr, len);
    }
    struct sockaddr_un from;
    socklen_t from_len = sizeof(from);
    ssize_t rc = real_recvfrom(fd, buf, n, flags, (struct sockaddr *)&from, &from_len);
    if (rc >= 0) {
        sim_nl_source(&from, from_len, addr, len);
    }
    return rc;
}

#define SIM_MMSG_MAX 64

/* On an emulated channel the senders' Unix names are taken into buffers of
 * their own size (qemu-user fails a batch whose name buffers are too small
 * for them) and handed back as netlink addresses. */
static int sim_recvmmsg(int (*real)(int, struct mmsghdr *, unsigned int, int, void *), int fd,
                        struct mmsghdr *msgs, unsigned int vlen, int flags, void *timeout)
{
    sim_env();
    if (sim_take_overrun(fd)) {
        errno = ENOBUFS;
        return -1;
    }
    if (!g_nl_unix || msgs == NULL || sim_kind(fd) != SIM_FD_NETLINK) {
        return real(fd, msgs, vlen, flags, timeout);
    }
    if (vlen > SIM_MMSG_MAX) {
        vlen = SIM_MMSG_MAX; /* a batch may always come back shorter */
    }
    struct sockaddr_un from[SIM_MMSG_MAX];
    void *names[SIM_MMSG_MAX];
    socklen_t name_lens[SIM_MMSG_MAX];
    for (unsigned int i = 0; i < vlen; i++) {
        names[i] = msgs[i].msg_hdr.msg_name;
        name_lens[i] = msgs[i].msg_hdr.msg_namelen;
        msgs[i].msg_hdr.msg_name = &from[i];
        msgs[i].msg_hdr.msg_namelen = sizeof(from[i]);
    }
    int rc = real(fd, msgs, vlen, flags, timeout);
    int e = errno;
    for (unsigned int i = 0; i < vlen; i++) {
        socklen_t got = msgs[i].msg_hdr.msg_namelen;
        msgs[i].msg_hdr.msg_name = names[i];
        msgs[i].msg_hdr.msg_namelen = name_lens[i];
        if (rc > 0 && i < (unsigned int)rc) {
            sim_nl_source(&from[i], got, names[i], &msgs[i].msg_hdr.msg_namelen);
        }
    }
    errno = e;
    return rc;
}

SIM_EXPORT int recvmmsg(int fd, struct mmsghdr *msgs, unsigned int vlen, int flags, struct timespec *timeout)
{
    sim_resolve();
    return sim_recvmmsg(real_recvmmsg, fd, msgs, vlen, flags, timeout);
}

#if __TIMESIZE == 32
SIM_EXPORT ssize_t __sendmsg64(int fd, const struct msghdr *msg, int flags)
{
    sim_resolve();
    return sim_sendmsg(real___sendmsg64, fd, msg, flags);
}

SIM_EXPORT ssize_t __recvmsg64(int fd, struct msghdr *msg, int flags)
{
    sim_resolve();
    return sim_recvmsg(real___recvmsg64, fd, msg, flags);
}

/* The timeout points to a 64-bit timespec here; it is passed on untouched. */
SIM_EXPORT int __recvmmsg64(int fd, struct mmsghdr *msgs, unsigned int vlen, int flags, void *timeout)
{
    sim_resolve();
    return sim_recvmmsg(real___recvmmsg64, fd, msgs, vlen, flags, timeout);
}
#endif

static const struct {
    const char *name;
    int value;
} sim_errnos[] = {
    {"ECONNABORTED", ECONNABORTED}, {"EMFILE", EMFILE}, {"ENFILE", ENFILE},   {"EINTR", EINTR},
    {"EINVAL", EINVAL},             {"ENOMEM", ENOMEM}, {"ENOBUFS", ENOBUFS}, {"EPROTO", EPROTO},
    {"EPERM", EPERM},               {"EBADF", EBADF},   {"EAGAIN", EAGAIN},
};

/* Returns the errno to fail an accept with, or 0 when no trigger is set. */
static int sim_accept_trigger(void)
{
    sim_env();
    if (g_accept_fail_path[0] == '\0' || access(g_accept_fail_path, F_OK) != 0) {
        return 0;
    }
    char text[64] = {0};
    int tfd = real_open(g_accept_fail_path, O_RDONLY | O_CLOEXEC);
    if (tfd >= 0) {
        ssize_t n = real_read(tfd, text, sizeof(text) - 1);
        if (n < 0) {
            n = 0;
        }
        text[n] = '\0';
        real_close(tfd);
    }
    int err = ECONNABORTED;
    for (size_t i = 0; i < sizeof(sim_errnos) / sizeof(sim_errnos[0]); i++) {
        if (strstr(text, sim_errnos[i].name) != NULL) {
            err = sim_errnos[i].value;
            break;
        }
    }
    if (text[0] >= '0' && text[0] <= '9') {
        int v = atoi(text);
        if (v > 0) {
            err = v;
        }
    }
    if (strstr(text, "once") != NULL) {
        unlink(g_accept_fail_path);
    }
    return err;
}

static int sim_after_accept(int fd)
{
    if (fd < 0) {
        return fd;
    }
    sim_forget(fd);
    int err = sim_accept_trigger();
    if (err == 0) {
        return fd;
    }
    real_close(fd);
    errno = err;
    return -1;
}

SIM_EXPORT int accept(int fd, struct sockaddr *addr, socklen_t *len)
{
    sim_resolve();
    int nfd = real_accept(fd, addr, len);
    if (sim_kind(fd) != SIM_FD_NONE) {
        return nfd;
    }
    return sim_after_accept(nfd);
}

SIM_EXPORT int accept4(int fd, struct sockaddr *addr, socklen_t *len, int flags)
{
    sim_resolve();
    int nfd = real_accept4(fd, addr, len, flags);
    if (sim_kind(fd) != SIM_FD_NONE) {
        return nfd;
    }
    return sim_after_accept(nfd);
}
