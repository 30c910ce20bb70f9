#include "channels/vtl_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "channels/vtl_route.h"
#include "common/oam_global.h"
#include "common/oam_journal.h"
#include "common/oam_print_levels.h"
#include "config/ini.h"
#include "common/oam_driver.h"
#include "support/bounded.h"

namespace {

constexpr int OAM_VTL_BACKLOG = 10;
// One receive is one frame, and it must leave room in uc_buf as the log
// receivers' data area does.
constexpr size_t OAM_VTL_RECV_MAX = 2030;
constexpr unsigned OAM_VTL_IDLE_SECONDS = 1000;
// A tool that vanished without closing (cable pulled, PC asleep) would
// leave the main thread in its receive for ever, and no other tool could be
// served.  Keepalive probes from 20 s of silence on, and a limit of 40 s on
// unanswered probes or unacknowledged data, end such a connection within
// about a minute.
constexpr int OAM_VTL_KEEPIDLE_S = 20;
constexpr int OAM_VTL_KEEPINTVL_S = 5;
constexpr int OAM_VTL_KEEPCNT = 8;
constexpr unsigned OAM_VTL_USER_TIMEOUT_MS = 40000;

struct oam_vtl_sockopt {
    int level;
    int name;
    int value;
    const char *text;
};

constexpr std::array<oam_vtl_sockopt, 5> OAM_VTL_CLIENT_OPTS = {{
    {SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE"},
    {IPPROTO_TCP, TCP_KEEPIDLE, OAM_VTL_KEEPIDLE_S, "TCP_KEEPIDLE"},
    {IPPROTO_TCP, TCP_KEEPINTVL, OAM_VTL_KEEPINTVL_S, "TCP_KEEPINTVL"},
    {IPPROTO_TCP, TCP_KEEPCNT, OAM_VTL_KEEPCNT, "TCP_KEEPCNT"},
    {IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(OAM_VTL_USER_TIMEOUT_MS), "TCP_USER_TIMEOUT"},
}};

// Message types the tool may send to the devices; everything else is dropped.
constexpr std::array<uint8_t, 24> OAM_VTL_ROUTED_TYPES = {1,  2,  3,  4,  5,  9,  10, 12, 15, 16, 17, 18,
                                                          19, 21, 23, 25, 26, 27, 29, 30, 31, 32, 34, 69};

bool oam_vtl_type_routed(uint8_t type)
{
    return std::find(OAM_VTL_ROUTED_TYPES.begin(), OAM_VTL_ROUTED_TYPES.end(), type) !=
           OAM_VTL_ROUTED_TYPES.end();
}

// The tool is served on every address unless the INI names one (a USB
// forward's 127.0.0.1, one interface's address).  Room for a value too long
// to be an address, so that it is reported rather than cut to one.
constexpr char OAM_VTL_LISTEN_VAR[] = "vtl_listen_address";
constexpr size_t OAM_VTL_LISTEN_LEN = 64;

in_addr_t oam_vtl_listen_address()
{
    char text[OAM_VTL_LISTEN_LEN] = {};
    if (get_cust_conf_string(INI_TAG_HOST_PLAT, OAM_VTL_LISTEN_VAR, text, sizeof(text)) != 0) {
        return htonl(INADDR_ANY);
    }
    in_addr addr{};
    if (inet_pton(AF_INET, text, &addr) != 1) {
        OAM_WARN("[%s:%d]%s={%s} is no IPv4 address, listening on all addresses\n\n", OAM_VTL_LISTEN_VAR, text);
        return htonl(INADDR_ANY);
    }
    OAM_INFO("[%s:%d]listening on %s only\n\n", text);
    return addr.s_addr;
}

}  // namespace

int oam_vtl_socket_create()
{
    if (g_test_mode != 1) {
        return 0;
    }
    g_st_global.vtl_server_sock = oam_socket_create();
    if (g_st_global.vtl_server_sock < 0) {
        OAM_ERR("[%s:%d]vtl socket create fail\n\n");
        return -1;
    }
    oam_flag_store(g_st_global.vtl_connected, 0);
    return 0;
}

int oam_socket_create()
{
    int sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock < 0) {
        OAM_ERR("[%s:%d]socket failed!\n\n");
        return -1;
    }

    int32_t reuse = 1;
    int ret = setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    if (ret != 0) {
        OAM_ERR("[%s:%d]setsockopt failed %d,errno is %d\n\n", ret, errno);
    }

    sockaddr_in addr;
    ret = memset_s(&addr, sizeof(addr), 0, sizeof(addr));
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memset_s failed ret=%d\n", ret);
    }
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = oam_vtl_listen_address();
    addr.sin_port = htons(OAM_VTL_PORT);
    if (bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0) {
        int err = errno;
        char err_buf[64];
        close(sock);
        OAM_ERR("[%s:%d]socket bind failed!;errno:%s\n\n", strerror_r(err, err_buf, sizeof(err_buf)));
        return -1;
    }
    if (listen(sock, OAM_VTL_BACKLOG) < 0) {
        int err = errno;
        char err_buf[64];
        close(sock);
        OAM_ERR("[%s:%d]listen failed!;errno:%s\n\n", strerror_r(err, err_buf, sizeof(err_buf)));
        return -1;
    }
    return sock;
}

void oam_vtl_socket_loop()
{
    for (;;) {
        if (g_test_mode == 0) {
            sleep(OAM_VTL_IDLE_SECONDS);
            continue;
        }
        if (oam_vtl_socket_accept() < 0) {
            return;
        }
        oam_vtl_socket_recv();
        oam_vtl_socket_close();
    }
}

int oam_vtl_socket_accept()
{
    // Held through the whole wait, so that the receivers skip their mirror
    // send instead of queueing data for a tool that is not there.
    int lock_ret = pthread_mutex_lock(&g_st_global.vtl_sock_mutex);
    if (lock_ret != 0) {
        char err_buf[64];
        OAM_ERR("[%s:%d]accept failed!;errno:%s\n\n", strerror_r(lock_ret, err_buf, sizeof(err_buf)));
        return -1;
    }
    OAM_INFO("[%s:%d]accept is start\n\n");

    sockaddr_in peer;
    socklen_t peer_len = sizeof(peer);
    g_st_global.vtl_client_sock = accept(g_st_global.vtl_server_sock, reinterpret_cast<sockaddr *>(&peer), &peer_len);
    if (g_st_global.vtl_client_sock <= 0) {
        int err = errno;
        char err_buf[64];
        // Descriptor 0 counts as not opened everywhere else; do not leak it.
        if (g_st_global.vtl_client_sock == 0) {
            close(g_st_global.vtl_client_sock);
            g_st_global.vtl_client_sock = -1;
        }
        OAM_ERR("[%s:%d]accept failed!;errno:%s\n\n", strerror_r(err, err_buf, sizeof(err_buf)));
        pthread_mutex_unlock(&g_st_global.vtl_sock_mutex);
        return -1;
    }

    // The mirror bounds its own sends (a tool that takes no byte for 3 s is
    // dropped); the options here only end a connection whose tool is gone.
    for (const oam_vtl_sockopt &opt : OAM_VTL_CLIENT_OPTS) {
        int ret = setsockopt(g_st_global.vtl_client_sock, opt.level, opt.name, &opt.value, sizeof(opt.value));
        if (ret != 0) {
            OAM_ERR("[%s:%d]setsockopt %s failed %d,errno is %d\n\n", opt.text, ret, errno);
        }
    }

    oam_flag_store(g_st_global.vtl_connected, 1);
    OAM_INFO("[%s:%d]accept is over\n\n");
    oam_journal_event(OAM_J_OAM, "tool-connected", "%s", "");
    pthread_mutex_unlock(&g_st_global.vtl_sock_mutex);
    return 0;
}

void oam_vtl_socket_recv()
{
    uint8_t hdr[OAM_VTL_HDR_LEN];

    for (;;) {
        int ret = memset_s(g_st_global.uc_buf, OAM_BUF_LEN, 0, OAM_BUF_LEN);
        if (ret == EOK) {
            ret = memset_s(hdr, sizeof(hdr), 0, sizeof(hdr));
        }
        if (ret != EOK) {
            OAM_ERR("[%s:%d]memset_s failed ret=%d\n", ret);
            return;
        }

        int len = oam_sock_recv(g_st_global.vtl_client_sock, g_st_global.uc_buf, hdr);
        if (len < 0) {
            return;
        }
        if (len == 0) {
            continue;
        }

        uint8_t type = hdr[1];
        if (oam_vtl_type_routed(type)) {
            (void)oam_vtl2dev_proc(hdr, g_st_global.uc_buf);
        } else {
            OAM_DEBUG("[%s:%d]===>>msg type is %d<<===\n\n", type);
        }
    }
}

int oam_sock_recv(int sock, uint8_t *buf, uint8_t *hdr)
{
    OAM_DEBUG("[%s:%d]%s:: entry\n\n", __func__);
    if (hdr == nullptr || buf == nullptr) {
        return -1;
    }
    int ret = memset_s(hdr, OAM_VTL_HDR_LEN, 0, OAM_VTL_HDR_LEN);
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memset_s failed ret=%d\n", ret);
        return -1;
    }

    ssize_t len = recv(sock, buf, OAM_VTL_RECV_MAX, 0);
    int err = errno;
    OAM_DEBUG("[%s:%d]%s: recv VTL data, len=%d\n\n", __func__, static_cast<int>(len));
    if (len == 0) {
        // errno is left from some earlier call: it says nothing here.
        oam_eprintf(OAM_LEVEL_INFO, "recv:: connection closed by the tool\n");
        return -1;
    }
    if (len < 0) {
        char err_buf[64];
        oam_eprintf(OAM_LEVEL_ERR, "recv:: %s\n", strerror_r(err, err_buf, sizeof(err_buf)));
        return -1;
    }
    if (len < OAM_VTL_HDR_LEN) {
        return 0;
    }

    ret = memcpy_s(hdr, OAM_VTL_HDR_LEN, buf, OAM_VTL_HDR_LEN);
    if (ret != EOK) {
        char err_buf[64];
        oam_eprintf(OAM_LEVEL_ERR, "memcpy_s failed! %s\n", strerror_r(errno, err_buf, sizeof(err_buf)));
        return -1;
    }
    return static_cast<int>(len);
}

void oam_vtl_socket_close()
{
    // A lock that cannot be taken cannot be tried by the receivers either,
    // so the connection is still closed.
    bool locked = pthread_mutex_lock(&g_st_global.vtl_sock_mutex) == 0;
    oam_flag_store(g_st_global.vtl_connected, 0);
    close(g_st_global.vtl_client_sock);
    oam_journal_event(OAM_J_OAM, "tool-gone", "%s", "");
    // The number may be reused by the next open; nothing may close it again.
    g_st_global.vtl_client_sock = -1;
    if (locked) {
        pthread_mutex_unlock(&g_st_global.vtl_sock_mutex);
    }
}
