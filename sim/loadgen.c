/*
 * Load generator of the virtual chip: the drivers' side at driver speed, and
 * the raw reference receivers the benchmarks compare the daemon with.
 *
 *   oamsim_loadgen wifi --port P [--count N] [--size S|mixed] [--rate R]
 *                  [--blocking] [--stream K] [--overrun FILE [--drops-behind D]] [--unix]
 *                  [--wait-dir DIR --wait-bytes B]
 *       Sends N Wi-Fi log messages over NETLINK_USERSOCK to port id P, as a
 *       kernel driver does: without waiting (MSG_DONTWAIT), so a full
 *       receive buffer refuses the message, unless --blocking.  --rate R
 *       paces them at R messages a second, otherwise they go at line rate.
 *       With --overrun, every run of refused messages is reported to the
 *       receiver as a kernel overrun would be (see preload.c); with
 *       --drops-behind D as well, the D messages after each run's first
 *       refusal are dropped too and reach the drop counter only after the
 *       receiver was told of the overrun, as the kernel's many drops of one
 *       congestion do.  --unix
 *       sends to the Unix datagram socket that stands for port id P when
 *       the daemon runs under an emulator (OAM_SIM_NL_UNIX in preload.c).
 *
 *   oamsim_loadgen node --fd F [--count N] [--size S|mixed] [--rate R]
 *                  [--stream K] [--wait-dir DIR --wait-bytes B]
 *       Pushes N chunks on an open node connection of the chip (descriptor
 *       F, inherited), each as one read of the daemon; a blocking send, so
 *       they go as fast as the reader takes them.
 *
 *   oamsim_loadgen rawnl --out FILE --count N [--rcvbuf BYTES]
 *       Reference receiver: binds a NETLINK_USERSOCK socket, prints
 *       "port=P", then one recvmsg and one write of the whole message per
 *       message until N have arrived or none came for 2 s.
 *
 *   oamsim_loadgen batchnl --out FILE --count N [--rcvbuf BYTES] [--batch B]
 *       Batched reference receiver, the least a capture loop with the
 *       daemon's record format can do: as rawnl, but one recvmmsg of up to
 *       B (default 64) messages, each built into one buffer as a log record
 *       (18-byte header with its own local-time stamp, the time zone
 *       converted once a second), and one write per batch.  Prints
 *       "received=N cpu_ns=C", C the process's CPU time in the loop.
 *
 *   oamsim_loadgen rawnode --node PATH --out FILE --count N
 *       Reference reader: one read and one write per chunk of the node.
 *
 * Payloads: a 4-byte sequence number and a 4-byte stream number (both
 * little-endian), then bytes that follow from the sequence number; "mixed"
 * sizes run from 8 to 2029 bytes in a scattered order.
 *
 * The senders print one line "offered=N sent=N refused=N overruns=N
 * seconds=T": T runs from the first send until the files of --wait-dir hold
 * --wait-bytes bytes (polled every 200 us), else until the last send.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#define MSG_MAX 2029   /* longest Wi-Fi log data the daemon accepts */
#define CHUNK_MAX 2030 /* longest node chunk the daemon reads */
#define SEQ_HDR 8

struct opts {
    const char *mode;
    unsigned port;
    int fd;
    long count;
    long size; /* 0: mixed */
    double rate;
    int blocking;
    int nl_unix;
    unsigned stream;
    const char *overrun;
    long drops_behind;
    const char *wait_dir;
    long long wait_bytes;
    const char *out;
    const char *node;
    long rcvbuf;
    long batch;
};

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static void die(const char *what)
{
    fprintf(stderr, "oamsim_loadgen: %s: %s\n", what, strerror(errno));
    exit(2);
}

static long msg_size(const struct opts *o, long seq, long max)
{
    if (o->size > 0) {
        return o->size;
    }
    return SEQ_HDR + (seq * 397) % (max - SEQ_HDR + 1);
}

static void fill(uint8_t *p, long seq, unsigned stream, long len)
{
    uint32_t s = (uint32_t)seq;
    for (int i = 0; i < 4; i++) {
        p[i] = (uint8_t)(s >> (8 * i));
        p[4 + i] = (uint8_t)(stream >> (8 * i));
    }
    for (long i = SEQ_HDR; i < len; i++) {
        p[i] = (uint8_t)(seq + i);
    }
}

static long long dir_bytes(const char *dir)
{
    DIR *d = opendir(dir);
    if (d == NULL) {
        return -1;
    }
    long long total = 0;
    struct dirent *e;
    while ((e = readdir(d)) != NULL) {
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            total += st.st_size;
        }
    }
    closedir(d);
    return total;
}

/* Waits until the receiver has written everything (or 60 s passed). */
static void wait_written(const struct opts *o)
{
    if (o->wait_dir == NULL) {
        return;
    }
    const double give_up = now_s() + 60.0;
    const struct timespec pause = {0, 200 * 1000};
    while (dir_bytes(o->wait_dir) < o->wait_bytes && now_s() < give_up) {
        nanosleep(&pause, NULL);
    }
}

/* Paces message i of a --rate run: sleeps while it is not yet due. */
static void pace(const struct opts *o, double t0, long i)
{
    if (o->rate <= 0) {
        return;
    }
    const double due = t0 + (double)i / o->rate;
    double left = due - now_s();
    if (left > 100e-6) {
        struct timespec ts = {0, (long)(left * 1e9)};
        nanosleep(&ts, NULL);
    }
}

static _Atomic uint64_t *map_overrun(const char *path)
{
    if (path == NULL) {
        return NULL;
    }
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        die(path);
    }
    void *p = mmap(NULL, 3 * sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) {
        die("mmap");
    }
    return (_Atomic uint64_t *)p;
}

static int run_wifi(const struct opts *o)
{
    int s = o->nl_unix ? socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)
                       : socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_USERSOCK);
    if (s < 0) {
        die("socket");
    }
    struct sockaddr_nl local = {.nl_family = AF_NETLINK, .nl_pid = (uint32_t)getpid()};
    struct sockaddr_nl dest = {.nl_family = AF_NETLINK, .nl_pid = o->port};
    struct sockaddr_un dest_un = {.sun_family = AF_UNIX};
    const struct sockaddr *to = (const struct sockaddr *)&dest;
    socklen_t to_len = sizeof(dest);
    if (o->nl_unix) {
        int n = snprintf(dest_un.sun_path + 1, sizeof(dest_un.sun_path) - 1, "oamsim-nl-%u", o->port);
        to = (const struct sockaddr *)&dest_un;
        to_len = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + (size_t)n);
    } else {
        local.nl_pid = 0;
        if (bind(s, (struct sockaddr *)&local, sizeof(local)) != 0) {
            die("bind");
        }
        socklen_t alen = sizeof(local);
        getsockname(s, (struct sockaddr *)&local, &alen);
    }
    _Atomic uint64_t *overrun = map_overrun(o->overrun);

    static uint8_t buf[NLMSG_HDRLEN + MSG_MAX];
    long sent = 0, refused = 0, overruns = 0;
    int congested = 0;
    const int flags = o->blocking ? 0 : MSG_DONTWAIT;
    const double t0 = now_s();
    for (long i = 0; i < o->count; i++) {
        pace(o, t0, i);
        const long len = msg_size(o, i, MSG_MAX);
        struct nlmsghdr *h = (struct nlmsghdr *)buf;
        h->nlmsg_len = (uint32_t)(NLMSG_HDRLEN + len);
        h->nlmsg_type = 0;
        h->nlmsg_flags = 0;
        h->nlmsg_seq = (uint32_t)i;
        h->nlmsg_pid = local.nl_pid;
        fill(buf + NLMSG_HDRLEN, i, o->stream, len);
        ssize_t rc;
        do {
            rc = sendto(s, buf, NLMSG_HDRLEN + (size_t)len, flags, to, to_len);
        } while (rc < 0 && errno == EINTR);
        if (rc >= 0) {
            sent++;
            congested = 0;
        } else if (errno == EAGAIN || errno == ENOBUFS) {
            refused++;
            /* The receiver's drop counter, as the kernel keeps it. */
            if (overrun != NULL) {
                atomic_fetch_add(&overrun[1], 1);
            }
            /* A kernel sender marks the receiver once per congestion. */
            if (!congested) {
                congested = 1;
                overruns++;
                if (overrun != NULL) {
                    atomic_fetch_add(overrun, 1);
                    for (long k = 0; k < o->drops_behind && i + 1 < o->count; k++) {
                        i++;
                        refused++;
                        atomic_fetch_add(&overrun[2], 1);
                    }
                }
            }
        } else {
            die("sendto");
        }
    }
    wait_written(o);
    printf("offered=%ld sent=%ld refused=%ld overruns=%ld seconds=%.6f\n", o->count, sent, refused, overruns,
           now_s() - t0);
    return 0;
}

static int run_node(const struct opts *o)
{
    static uint8_t buf[8 + CHUNK_MAX];
    memset(buf, 0, 8);
    buf[0] = 'D'; /* one chunk for one read, as preload.c expects */
    long sent = 0;
    const double t0 = now_s();
    for (long i = 0; i < o->count; i++) {
        pace(o, t0, i);
        const long len = msg_size(o, i, CHUNK_MAX);
        fill(buf + 8, i, o->stream, len);
        ssize_t rc;
        do {
            rc = send(o->fd, buf, 8 + (size_t)len, MSG_NOSIGNAL);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0) {
            die("send");
        }
        sent++;
    }
    wait_written(o);
    printf("offered=%ld sent=%ld refused=0 overruns=0 seconds=%.6f\n", o->count, sent, now_s() - t0);
    return 0;
}

static int open_out(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
    if (fd < 0) {
        die(path);
    }
    return fd;
}

/* One receive (recvmsg on a netlink socket, else read) and one write per
 * message, until `count` came or, after the first, none came for a while. */
static int raw_loop(int in, int is_netlink, int out, long count)
{
    static uint8_t buf[2048];
    struct sockaddr_nl from;
    struct iovec iov = {buf, sizeof(buf)};
    struct msghdr msg = {.msg_name = &from, .msg_iov = &iov, .msg_iovlen = 1};
    long got = 0;
    while (got < count) {
        ssize_t n;
        if (is_netlink) {
            msg.msg_namelen = sizeof(from);
            n = recvmsg(in, &msg, 0);
        } else {
            n = read(in, buf, CHUNK_MAX);
        }
        if (n < 0 && errno == EAGAIN && got > 0) {
            break;
        }
        if (n <= 0) {
            continue;
        }
        if (write(out, buf, (size_t)n) != n) {
            die("write");
        }
        got++;
    }
    printf("received=%ld\n", got);
    return 0;
}

/* A NETLINK_USERSOCK socket bound to a port id of its own, printed as
 * "port=P"; a receive that waits 2 s for the first message fails. */
static int open_rawnl(const struct opts *o)
{
    int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_USERSOCK);
    if (s < 0) {
        die("socket");
    }
    if (o->rcvbuf > 0) {
        int v = (int)o->rcvbuf;
        if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &v, sizeof(v)) != 0) {
            (void)setsockopt(s, SOL_SOCKET, SO_RCVBUF, &v, sizeof(v));
        }
    }
    struct sockaddr_nl local = {.nl_family = AF_NETLINK};
    if (bind(s, (struct sockaddr *)&local, sizeof(local)) != 0) {
        die("bind");
    }
    /* Refused messages never come: after a quiet spell the run is over. */
    struct timeval quiet = {2, 0};
    (void)setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof(quiet));
    return s;
}

/* Tells the sender where to send. */
static void tell_port(int s)
{
    struct sockaddr_nl local;
    socklen_t alen = sizeof(local);
    getsockname(s, (struct sockaddr *)&local, &alen);
    printf("port=%u\n", local.nl_pid);
    fflush(stdout);
}

static int run_rawnl(const struct opts *o)
{
    int s = open_rawnl(o);
    int out = open_out(o->out);
    tell_port(s);
    return raw_loop(s, 1, out, o->count);
}

#define BATCH_MAX 64
#define REC_HDR 18

static double cpu_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

static int run_batchnl(const struct opts *o)
{
    int s = open_rawnl(o);
    int out = open_out(o->out);
    const unsigned batch = o->batch > 0 && o->batch <= BATCH_MAX ? (unsigned)o->batch : BATCH_MAX;
    static uint8_t rx[BATCH_MAX][2048];
    static uint8_t recs[BATCH_MAX * 2048];
    struct iovec iov[BATCH_MAX];
    struct sockaddr_nl from[BATCH_MAX];
    struct mmsghdr msgs[BATCH_MAX];
    memset(msgs, 0, sizeof(msgs));
    for (unsigned i = 0; i < batch; i++) {
        iov[i].iov_base = rx[i];
        iov[i].iov_len = sizeof(rx[i]);
        msgs[i].msg_hdr.msg_name = &from[i];
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    tell_port(s);

    time_t stamp_sec = -1;
    uint16_t stamp[7] = {0};
    long got = 0;
    const double c0 = cpu_ns();
    while (got < o->count) {
        for (unsigned i = 0; i < batch; i++) {
            msgs[i].msg_hdr.msg_namelen = sizeof(from[i]);
        }
        int n = recvmmsg(s, msgs, batch, MSG_WAITFORONE, NULL);
        if (n < 0 && errno == EAGAIN && got > 0) {
            break;
        }
        size_t len = 0;
        for (int i = 0; i < n; i++) {
            uint32_t mlen;
            memcpy(&mlen, rx[i], sizeof(mlen));
            if (mlen <= NLMSG_HDRLEN || mlen > msgs[i].msg_len || mlen > NLMSG_HDRLEN + MSG_MAX) {
                continue;
            }
            const uint32_t data = mlen - NLMSG_HDRLEN;
            struct timeval tv;
            gettimeofday(&tv, NULL);
            if (tv.tv_sec != stamp_sec) {
                struct tm tm;
                tzset();
                localtime_r(&tv.tv_sec, &tm);
                stamp[0] = (uint16_t)(tm.tm_year + 1900);
                stamp[1] = (uint16_t)(tm.tm_mon + 1);
                stamp[2] = (uint16_t)tm.tm_mday;
                stamp[3] = (uint16_t)tm.tm_hour;
                stamp[4] = (uint16_t)tm.tm_min;
                stamp[5] = (uint16_t)tm.tm_sec;
                stamp_sec = tv.tv_sec;
            }
            stamp[6] = (uint16_t)(tv.tv_usec / 1000);
            uint8_t *r = recs + len;
            r[0] = 0xAA;
            r[1] = 0;
            r[2] = (uint8_t)((REC_HDR + data) & 0xFF);
            r[3] = (uint8_t)((REC_HDR + data) >> 8);
            memcpy(r + 4, stamp, sizeof(stamp));
            memcpy(r + REC_HDR, rx[i] + NLMSG_HDRLEN, data);
            len += REC_HDR + data;
            got++;
        }
        if (len > 0 && write(out, recs, len) != (ssize_t)len) {
            die("write");
        }
    }
    printf("received=%ld cpu_ns=%.0f\n", got, cpu_ns() - c0);
    return 0;
}

static int run_rawnode(const struct opts *o)
{
    int in = open(o->node, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        die(o->node);
    }
    int out = open_out(o->out);
    printf("open\n");
    fflush(stdout);
    return raw_loop(in, 0, out, o->count);
}

static void usage(void)
{
    fputs("usage: oamsim_loadgen wifi|node|rawnl|batchnl|rawnode [options] (see loadgen.c)\n", stderr);
    exit(2);
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        usage();
    }
    struct opts o = {.mode = argv[1], .fd = -1, .count = 1000, .size = 64};
    for (int i = 2; i < argc; i++) {
        const char *k = argv[i];
        if (strcmp(k, "--blocking") == 0) {
            o.blocking = 1;
            continue;
        }
        if (strcmp(k, "--unix") == 0) {
            o.nl_unix = 1;
            continue;
        }
        if (i + 1 >= argc) {
            usage();
        }
        const char *v = argv[++i];
        if (strcmp(k, "--port") == 0) {
            o.port = (unsigned)strtoul(v, NULL, 0);
        } else if (strcmp(k, "--fd") == 0) {
            o.fd = atoi(v);
        } else if (strcmp(k, "--count") == 0) {
            o.count = atol(v);
        } else if (strcmp(k, "--size") == 0) {
            o.size = strcmp(v, "mixed") == 0 ? 0 : atol(v);
        } else if (strcmp(k, "--rate") == 0) {
            o.rate = atof(v);
        } else if (strcmp(k, "--stream") == 0) {
            o.stream = (unsigned)strtoul(v, NULL, 0);
        } else if (strcmp(k, "--overrun") == 0) {
            o.overrun = v;
        } else if (strcmp(k, "--drops-behind") == 0) {
            o.drops_behind = atol(v);
        } else if (strcmp(k, "--wait-dir") == 0) {
            o.wait_dir = v;
        } else if (strcmp(k, "--wait-bytes") == 0) {
            o.wait_bytes = atoll(v);
        } else if (strcmp(k, "--out") == 0) {
            o.out = v;
        } else if (strcmp(k, "--node") == 0) {
            o.node = v;
        } else if (strcmp(k, "--rcvbuf") == 0) {
            o.rcvbuf = atol(v);
        } else if (strcmp(k, "--batch") == 0) {
            o.batch = atol(v);
        } else {
            usage();
        }
    }
    if (o.size != 0 && (o.size < SEQ_HDR || o.size > MSG_MAX)) {
        fprintf(stderr, "oamsim_loadgen: --size must be %d to %d or mixed\n", SEQ_HDR, MSG_MAX);
        return 2;
    }
    if (strcmp(o.mode, "wifi") == 0) {
        return run_wifi(&o);
    }
    if (strcmp(o.mode, "node") == 0 && o.fd >= 0) {
        return run_node(&o);
    }
    if (strcmp(o.mode, "rawnl") == 0 && o.out != NULL) {
        return run_rawnl(&o);
    }
    if (strcmp(o.mode, "batchnl") == 0 && o.out != NULL) {
        return run_batchnl(&o);
    }
    if (strcmp(o.mode, "rawnode") == 0 && o.out != NULL && o.node != NULL) {
        return run_rawnode(&o);
    }
    usage();
    return 2;
}
