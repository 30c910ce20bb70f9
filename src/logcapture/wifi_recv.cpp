#include <linux/netlink.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "common/oam_global.h"
#include "common/oam_health.h"
#include "common/oam_journal.h"
#include "common/oam_print.h"
#include "common/oam_backoff.h"
#include "logcapture/log_store.h"
#include "logcapture/receivers.h"
#include "support/bounded.h"

namespace {

constexpr uint32_t OAM_NL_RECV_MAX = 2048;  // one receive takes at most this much of a message
constexpr uint32_t OAM_NL_MSG_MIN = NLMSG_HDRLEN + 1;                     // 17: one data byte
constexpr uint32_t OAM_NL_MSG_MAX = NLMSG_HDRLEN + OAM_RECORD_DATA_MAX - 1;  // 2045

constexpr char OAM_WIFI_SEND_ERR[] = "[%s:%d]send wifi socket is ERR! len = %u.;errno:%s\n\n";
constexpr char OAM_WIFI_WRITE_ERR[] = "[%s:%d]write wifi log file err;errno:%s\n";
constexpr char OAM_WIFI_SECOND_WRITE_ERR[] = "[%s:%d]second write wifi log file err;errno:%s\n";

// Messages one receive call may take when they have queued up: a burst
// costs one receive and one file write per batch instead of one of each per
// message.  Measured with scripts/bench on bursts queued up: most of the
// fall in CPU per record is reached here; 64 gains a little more, within
// the noise of a shared machine, for another 64 KiB of buffers.
#ifndef OAM_NL_BATCH_SIZE
#define OAM_NL_BATCH_SIZE 32
#endif
constexpr uint32_t OAM_NL_BATCH = OAM_NL_BATCH_SIZE;
static_assert(OAM_NL_BATCH <= OAM_LOG_BATCH_MAX);

// Each message is received straight into a record buffer of its own.  The
// record buffers are left as allocated: a page of them becomes resident
// only once a receive fills it, so an idle daemon does not pay for them.
// The first message of a pass goes to the work buffer puc_buf: its 2046
// bytes behind the two spare ones hold any message that is accepted.
struct oam_nl_batch {
    oam_nl_batch() : slot{}, iov{}, addr{}, msgs{}, taken{} {}
    uint8_t *slot[OAM_NL_BATCH];
    iovec iov[OAM_NL_BATCH];
    sockaddr_nl addr[OAM_NL_BATCH];
    mmsghdr msgs[OAM_NL_BATCH];
    oam_log_batch taken;
    uint8_t rec[OAM_NL_BATCH][OAM_RECV_BUF_LEN];
};

// Overruns of the netlink receive buffer: each one means the kernel dropped
// log messages the driver sent while the buffer was full.  The count is
// told at most once a second, so that a storm of them costs no more than a
// line a second; one that was held back is told with the next message
// after the second is over.
struct oam_overrun_log {
    uint32_t count;
    uint32_t told;
    timespec last;
};

void oam_tell_overruns(oam_overrun_log &ov)
{
    timespec now {};
    (void)clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const int64_t since_ms = (static_cast<int64_t>(now.tv_sec) - ov.last.tv_sec) * 1000 +
                             (now.tv_nsec - ov.last.tv_nsec) / 1000000;
    if (ov.told != 0 && since_ms < 1000) {
        return;
    }
    OAM_WARN("[%s:%d]wifi log messages lost: netlink receive buffer overrun, %u overruns so far\n\n",
              ov.count);
    ov.told = ov.count;
    ov.last = now;
}

// The kernel counts every message it dropped for a socket in the Drops
// column of /proc/net/netlink; the overrun error only says that some were.
// The socket's line is found by its inode.  -1 when the file cannot be read
// or holds no line for the socket.
constexpr char OAM_NL_PROC_FILE[] = "/proc/net/netlink";

// Column index of name in the header line, -1 if it is not there.
int oam_proc_column(const char *header, const char *name)
{
    int col = 0;
    const size_t name_len = strlen(name);
    for (const char *p = header; *p != '\0' && *p != '\n';) {
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        const char *start = p;
        while (*p != '\0' && *p != '\n' && *p != ' ' && *p != '\t') {
            ++p;
        }
        if (p == start) {
            break;
        }
        if (static_cast<size_t>(p - start) == name_len && strncmp(start, name, name_len) == 0) {
            return col;
        }
        ++col;
    }
    return -1;
}

// The decimal field col of one line; -1 if missing or not a number.
int64_t oam_proc_field(const char *line, int col)
{
    const char *p = line;
    for (int i = 0;; ++i) {
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        if (*p == '\0' || *p == '\n') {
            return -1;
        }
        if (i == col) {
            break;
        }
        while (*p != '\0' && *p != '\n' && *p != ' ' && *p != '\t') {
            ++p;
        }
    }
    int64_t value = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 18; ++p, ++digits) {
        value = value * 10 + (*p - '0');
    }
    return digits == 0 || (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\0') ? -1 : value;
}

// One whole line of the file: the header sets the columns, a socket's line
// gives its drops once its inode matches.  Returns the drops, or -1.
int64_t oam_netlink_drops_line(const char *line, bool header, int cols[2], uint64_t inode)
{
    if (header) {
        cols[0] = oam_proc_column(line, "Drops");
        cols[1] = oam_proc_column(line, "Inode");
        return -1;
    }
    if (cols[0] < 0 || cols[1] < 0 || oam_proc_field(line, cols[1]) != static_cast<int64_t>(inode)) {
        return -1;
    }
    return oam_proc_field(line, cols[0]);
}

int64_t oam_netlink_drops(int sock)
{
    struct stat sock_st {};
    if (fstat(sock, &sock_st) != 0) {
        return -1;
    }
    const int fd = open(OAM_NL_PROC_FILE, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    // Read line by line: a device with many netlink sockets has a long
    // file, and the daemon's socket may be anywhere in it.  A line longer
    // than any the kernel writes is skipped.  On the stack: this runs only
    // when the kernel reported drops.
    char chunk[4096];
    char line[512];
    size_t line_len = 0;
    bool overlong = false;
    bool header = true;
    int cols[2] = {-1, -1};
    int64_t drops = -1;
    while (drops < 0) {
        const ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (ssize_t i = 0; i < n && drops < 0; ++i) {
            if (chunk[i] != '\n') {
                if (line_len < sizeof(line) - 1) {
                    line[line_len++] = chunk[i];
                } else {
                    overlong = true;
                }
                continue;
            }
            line[line_len] = '\0';
            if (!overlong) {
                drops = oam_netlink_drops_line(line, header, cols, static_cast<uint64_t>(sock_st.st_ino));
            }
            header = false;
            line_len = 0;
            overlong = false;
        }
    }
    (void)close(fd);
    return drops;
}

// The kernel's drops of the socket since the last look, as lost records;
// where the counter cannot be read, the overrun itself is counted, once
// said so.
struct oam_drop_count {
    int64_t seen;
    bool fallback;
    bool told;
    bool unread;     // overruns since the counter was last read
    timespec since;  // wall clock of the first of them: the congestion's start
};

void oam_count_kernel_drops(oam_drop_count &drops, bool overrun)
{
    drops.unread = false;
    const int64_t now = drops.fallback ? -1 : oam_netlink_drops(g_st_global.netlink_sock);
    if (now < 0) {
        if (!drops.told) {
            OAM_WARN("[%s:%d]wifi drop counter not readable in %s: losses counted as overruns\n\n",
                      OAM_NL_PROC_FILE);
            drops.told = true;
        }
        drops.fallback = true;
        if (overrun) {
            oam_journal_lost_since(OAM_J_WIFI, OAM_LOSS_OVERRUNS, 0, 1, &drops.since);
        }
        return;
    }
    if (now > drops.seen) {
        oam_journal_lost_since(OAM_J_WIFI, OAM_LOSS_KERNEL, 0, static_cast<uint64_t>(now - drops.seen), &drops.since);
        drops.seen = now;
    }
}

}  // namespace

int oam_wifi_take_msg(oam_log_batch *batch, uint8_t *rec, size_t received)
{
    if (batch == nullptr || rec == nullptr || received > OAM_NL_RECV_MAX || batch->count >= OAM_LOG_BATCH_MAX) {
        return -1;
    }
    const uint8_t *rx = rec + OAM_NL_RX_OFFSET;
    // Only bytes that arrived count: a datagram shorter than the length
    // field reads as zeros beyond its end.
    uint32_t msg_len = 0;
    int ret = memcpy_s(&msg_len, sizeof(msg_len), rx, received < sizeof(msg_len) ? received : sizeof(msg_len));
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memcpy_s failed ret=%d\n", ret);
        return -1;
    }
    // A length beyond what arrived would store zero padding as log data.
    if (msg_len < OAM_NL_MSG_MIN || msg_len > OAM_NL_MSG_MAX || msg_len > received) {
        const int err = errno;
        // What came before it is stored before the drop is told, as when
        // every message was handled on its own.
        oam_wifi_pass_done(batch);
        char err_buf[64];
        OAM_ERR("[%s:%d]netlink recv NULL package...;errno:%s,len is %u\n\n",
                  strerror_r(err, err_buf, sizeof(err_buf)), msg_len - NLMSG_HDRLEN);
        // An empty receive (the stop's wake-up) brought no message.
        if (g_st_global.st_wifi_log.log_switch.value == 1 && received > 0) {
            oam_journal_lost(OAM_J_WIFI,
                             msg_len > OAM_NL_MSG_MAX ? OAM_LOSS_TOO_LONG : OAM_LOSS_MALFORMED,
                             0, 1);
        }
        return -1;
    }
    // The data is where the record wants it already: nothing is copied.
    static_assert(OAM_NL_RX_OFFSET + NLMSG_HDRLEN == OAM_RECORD_HDR_LEN);
    batch->rec[batch->count] = rec;
    batch->data_len[batch->count] = msg_len - NLMSG_HDRLEN;
    ++batch->count;
    return 0;
}

void oam_wifi_pass_done(oam_log_batch *batch)
{
    oam_mirror_batch(batch, OAM_WIFI_SEND_ERR);
    if (g_st_global.st_wifi_log.log_switch.value == 1) {
        (void)oam_log_store_batch(&g_st_global.st_wifi_log, batch, OAM_WIFI_WRITE_ERR, OAM_WIFI_SECOND_WRITE_ERR,
                                  nullptr);
    }
    batch->count = 0;
}

void *oam_netlink_recv_pthread(void *arg)
{
    (void)arg;
    OAM_INFO("[%s:%d]oam_netlink_recv_pthread\n\n");

    // Only the bytes each receive brings are looked at later.
    std::unique_ptr<oam_nl_batch> rx(new (std::nothrow) oam_nl_batch());
    if (rx == nullptr) {
        OAM_ERR("[%s:%d]nlh malloc failed!\n\n");
        return nullptr;
    }
    static_assert(OAM_BUF_LEN - OAM_NL_RX_OFFSET >= OAM_NL_MSG_MAX);
    for (uint32_t i = 0; i < OAM_NL_BATCH; ++i) {
        const bool work = i == 0 && g_st_global.puc_buf != nullptr;
        rx->slot[i] = work ? g_st_global.puc_buf : rx->rec[i];
        rx->addr[i].nl_family = AF_NETLINK;
        rx->iov[i] = {rx->slot[i] + OAM_NL_RX_OFFSET, work ? OAM_BUF_LEN - OAM_NL_RX_OFFSET : OAM_NL_RECV_MAX};
        rx->msgs[i].msg_hdr.msg_name = &rx->addr[i];
        rx->msgs[i].msg_hdr.msg_iov = &rx->iov[i];
        rx->msgs[i].msg_hdr.msg_iovlen = 1;
    }

    unsigned fail_count = 0;
    oam_overrun_log overruns {};
    oam_drop_count drops {};
    for (;;) {
        if (oam_flag_load(g_st_global.wifi_thread_stop) == 1) {
            // Drops after the last overrun error are in the counter only.
            if (overruns.count != 0) {
                oam_count_kernel_drops(drops, false);
            }
            rx.reset();
            OAM_INFO("[%s:%d]oam-wifi-recv-pthread is over \n\n");
            return nullptr;
        }

        // Waits for one message, then takes whatever else is queued behind
        // it in the same call.  Each message is still one receive of at
        // most 2048 bytes and becomes one record; the batch is mirrored
        // and in the file before the next receive.
        for (uint32_t i = 0; i < OAM_NL_BATCH; ++i) {
            rx->msgs[i].msg_hdr.msg_namelen = sizeof(rx->addr[i]);
        }
        oam_beat(OAM_BEAT_WIFI);
        const int count = recvmmsg(g_st_global.netlink_sock, rx->msgs, OAM_NL_BATCH, MSG_WAITFORONE, nullptr);
        oam_beat(OAM_BEAT_WIFI);
        if (count < 0) {
            const int err = errno;
            if (err == EINTR) {
                // The stop's wake-up, or another signal: no message, and no
                // failure either.
                continue;
            }
            if (err == ENOBUFS) {
                // Messages were dropped, but the socket is fine: a pause now
                // would only drop more.
                ++overruns.count;
                oam_tell_overruns(overruns);
                if (!drops.unread) {
                    (void)clock_gettime(CLOCK_REALTIME, &drops.since);
                }
                // Reading the kernel's counter walks every netlink socket:
                // during a storm once a second, as the overruns are told,
                // is enough, since the counter sums the drops in between.
                // Without the counter each overrun counts.
                if (drops.fallback || overruns.told == overruns.count) {
                    oam_count_kernel_drops(drops, true);
                }
                // The kernel goes on dropping behind one overrun until the
                // queue is empty: the counter is read again then.
                drops.unread = true;
                continue;
            }
            OAM_ERR("[%s:%d]recv < 0\n");
            oam_read_backoff(&fail_count);
            continue;
        }
        if (overruns.told != overruns.count) {
            oam_tell_overruns(overruns);
        }
        // A receive that emptied the queue ends the storm: its drops go to
        // the journal now, before anything (a dump) that comes after it.
        if (drops.unread && count < static_cast<int>(OAM_NL_BATCH)) {
            oam_count_kernel_drops(drops, false);
        }
        // Empty datagrams are no messages; a run of them ending the batch
        // means a socket that keeps failing, and the pause waits until what
        // came before them is stored.
        unsigned empty_after = 0;
        for (int i = 0; i < count; ++i) {
            const size_t received = rx->msgs[i].msg_len;
            empty_after = received == 0 ? empty_after + 1 : 0;
            (void)oam_wifi_take_msg(&rx->taken, rx->slot[i], received);
        }
        oam_wifi_pass_done(&rx->taken);
        if (empty_after == 0 && count > 0) {
            fail_count = 0;
        }
        for (; empty_after > 0; --empty_after) {
            oam_read_backoff(&fail_count);
        }
    }
}
