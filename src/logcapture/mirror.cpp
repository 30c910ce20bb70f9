#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <linux/sockios.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "common/oam_global.h"
#include "common/oam_journal.h"
#include "common/oam_print.h"
#include "logcapture/receivers.h"

namespace {

// A tool is dropped when no byte of the stream moved towards it for this
// long: it stopped reading.  One that reads slowly is waited for, and the
// receivers go at its pace meanwhile.
constexpr int64_t OAM_MIRROR_STALL_MS = 3000;
// How often a blocked send looks whether the tool took bytes: the socket
// reports room only once a large part of its buffer drained.
constexpr int OAM_MIRROR_POLL_MS = 50;

int64_t oam_mirror_now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Bytes still queued towards the tool (sent but not yet acknowledged, or not
// yet sent); -1 when unknown.
int oam_mirror_queued(int sock)
{
    int queued = 0;
    return ioctl(sock, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

// A stop sets a receiver's flag before it wakes and joins that receiver;
// the receivers are stopped one after another.  A receiver waiting for
// the send lock behind a stalled send is not woken by its signal, so every
// blocked send gives up as soon as any receiver is being stopped.
bool oam_mirror_stop_under_way()
{
    return oam_flag_load(g_st_global.wifi_thread_stop) == 1 || oam_flag_load(g_st_global.bfg_thread_stop) == 1 ||
           oam_flag_load(g_st_global.me_thread_stop) == 1;
}

// Sends the chunks iov[0..n) whole, in order: 0, or -1 with errno (EAGAIN
// after a stall, EINTR when a stop is under way, the send's own error
// otherwise) and *cur the chunk that did not go out whole, *part its bytes
// that did.  The common case is one send that takes everything.
int oam_mirror_send_all(int sock, iovec *iov, uint32_t n, uint32_t *cur, size_t *part)
{
    int64_t last_move = 0;
    int last_queued = -1;
    *cur = 0;
    *part = 0;
    while (*cur < n) {
        msghdr msg {};
        msg.msg_iov = iov + *cur;
        msg.msg_iovlen = n - *cur;
        ssize_t sent = sendmsg(sock, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            oam_iov_advance(iov, n, cur, part, static_cast<size_t>(sent));
            last_move = 0;
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1;
        }
        if (oam_mirror_stop_under_way()) {
            errno = EINTR;
            return -1;
        }
        int64_t now = oam_mirror_now_ms();
        int queued = oam_mirror_queued(sock);
        if (last_move == 0 || (queued >= 0 && queued < last_queued)) {
            last_move = now;
        }
        last_queued = queued;
        if (now - last_move >= OAM_MIRROR_STALL_MS) {
            errno = EAGAIN;
            return -1;
        }
        struct pollfd pfd = {sock, POLLOUT, 0};
        if (poll(&pfd, 1, OAM_MIRROR_POLL_MS) < 0 && errno == EINTR) {
            return -1;
        }
    }
    return 0;
}

// The chunks of iov, which it uses up, in one piece on the tool's stream.
void oam_mirror_chunks(iovec *iov, uint32_t n, const char *err_fmt)
{
    // vtl_send_mutex keeps one receiver's chunks whole on the stream; the
    // client lock is only tried, so capture never waits for the tool server
    // while it accepts or closes a connection.
    if (pthread_mutex_lock(&g_st_global.vtl_send_mutex) != 0) {
        return;
    }
    if (pthread_mutex_trylock(&g_st_global.vtl_sock_mutex) == 0) {
        uint32_t cur = 0;
        size_t part = 0;
        // MSG_NOSIGNAL: a vanished tool must never end the process,
        // whatever the SIGPIPE disposition.
        if (oam_flag_load(g_st_global.vtl_connected) == 1 &&
            oam_mirror_send_all(g_st_global.vtl_client_sock, iov, n, &cur, &part) != 0) {
            int err = errno;
            // A chunk cut short would leave the stream out of line with the
            // chunks the tool expects, so the tool is dropped whatever the
            // cause.  The connection is shut down, not closed (the main
            // thread closes it as after any end): the tool sees the end of
            // its stream and can connect again, rather than stay connected
            // to a stream that stopped.
            oam_flag_store(g_st_global.vtl_connected, 0);
            (void)shutdown(g_st_global.vtl_client_sock, SHUT_RDWR);
            // The stop's wake-up is no send failure: the stop is under way.
            if (err != EINTR) {
                char err_buf[64];
                oam_journal_event(OAM_J_OAM, "tool-dropped", "%s",
                                  err == EAGAIN ? "took no byte for 3 s" : strerror_r(err, err_buf, sizeof(err_buf)));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
                // err_fmt is one of the receivers' constant messages, all of
                // the shape (function, line, length, error text).
                oam_printf(OAM_LEVEL_ERR, err_fmt, __func__, __LINE__, static_cast<int>(iov[cur].iov_len + part),
                           strerror_r(err, err_buf, sizeof(err_buf)));
#pragma GCC diagnostic pop
            }
        }
        pthread_mutex_unlock(&g_st_global.vtl_sock_mutex);
    }
    pthread_mutex_unlock(&g_st_global.vtl_send_mutex);
}

}  // namespace

void oam_mirror_to_tool(const uint8_t *data, uint32_t len, const char *err_fmt)
{
    iovec one = {const_cast<uint8_t *>(data), len};
    oam_mirror_chunks(&one, 1, err_fmt);
}

void oam_mirror_batch(const oam_log_batch *batch, const char *err_fmt)
{
    iovec iov[OAM_LOG_BATCH_MAX];
    const uint32_t n = batch->count < OAM_LOG_BATCH_MAX ? batch->count : OAM_LOG_BATCH_MAX;
    for (uint32_t i = 0; i < n; ++i) {
        iov[i] = {batch->rec[i] + OAM_RECORD_HDR_LEN, batch->data_len[i]};
    }
    if (n > 0) {
        oam_mirror_chunks(iov, n, err_fmt);
    }
}
