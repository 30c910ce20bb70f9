#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "common/oam_global.h"
#include "common/oam_print.h"
#include "logcapture/receivers.h"

void oam_mirror_to_tool(const uint8_t *data, uint32_t len, const char *err_fmt)
{
    // vtl_send_mutex keeps one receiver's chunk whole on the stream; the
    // client lock is only tried, so capture never waits for the tool server
    // while it accepts or closes a connection.
    if (pthread_mutex_lock(&g_st_global.vtl_send_mutex) != 0) {
        return;
    }
    if (pthread_mutex_trylock(&g_st_global.vtl_sock_mutex) == 0) {
        if (oam_flag_load(g_st_global.vtl_connected) == 1) {
            // The connection carries a send time-out (set at accept), so a
            // tool that stops reading costs at most that long before it is
            // dropped here.  MSG_NOSIGNAL: a vanished tool must never end
            // the process, whatever the SIGPIPE disposition.
            ssize_t sent = send(g_st_global.vtl_client_sock, data, len, MSG_NOSIGNAL);
            // A send cut short by the time-out has left part of a chunk on
            // the stream: whatever followed would no longer line up with
            // the chunks the tool expects, so such a tool is dropped as one
            // whose send failed outright.
            if (sent > 0 && static_cast<size_t>(sent) < len) {
                errno = EAGAIN;
                sent = -1;
            }
            if (sent <= 0) {
                int err = errno;
                char err_buf[64];
                oam_flag_store(g_st_global.vtl_connected, 0);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
                // err_fmt is one of the receivers' constant messages, all of
                // the shape (function, line, length, error text).
                oam_printf(err_fmt, __func__, __LINE__, static_cast<int>(len),
                           strerror_r(err, err_buf, sizeof(err_buf)));
#pragma GCC diagnostic pop
            }
        }
        pthread_mutex_unlock(&g_st_global.vtl_sock_mutex);
    }
    pthread_mutex_unlock(&g_st_global.vtl_send_mutex);
}
