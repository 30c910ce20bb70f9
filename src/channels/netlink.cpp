#include "channels/netlink.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/oam_global.h"
#include "common/oam_print.h"
#include "config/ini.h"
#include "common/oam_driver.h"
#include "support/bounded.h"

namespace {

constexpr uint32_t OAM_NL_PAYLOAD_MAX = OAM_NLH_LEN - NLMSG_HDRLEN;  // 2048
constexpr char OAM_HELLO_TEXT[] = {'h', 'e', 'l', 'l', 'o'};        // sent without a terminator

// The port id the channel is bound to.  Taken once: a tool frame must not
// cost an extra system call on its way to the driver.
uint32_t oam_netlink_port_id()
{
    static const uint32_t port_id = static_cast<uint32_t>(getpid());
    return port_id;
}

// The driver hands its log messages to netlink without waiting: whatever
// does not fit in this socket's receive buffer is dropped by the kernel.
// A core going wrong logs in bursts.  Measured on the virtual chip, a queued
// message costs the buffer 832 bytes at 64 bytes of data and 2304 bytes at
// 1500, so a burst of 5000 messages of 1500 bytes sent at once needs 11 MiB;
// the default system buffer (208 KiB) holds 92 of them.  8 MiB asked
// for is 16 MiB granted (the kernel doubles the request for its overhead):
// room for such a burst with a margin, or 20000 small messages, a tenth of a
// second at 200000 a second while the receiver catches up.  It is kernel
// memory taken only while messages wait.  The INI may ask for more or less.
constexpr int32_t OAM_NL_RCVBUF_DEFAULT_KB = 8192;
constexpr int32_t OAM_NL_RCVBUF_MAX_KB = 256 * 1024;
constexpr char OAM_NL_RCVBUF_VAR[] = "log_rcvbuf_device_wifi";

// Root may go beyond the system's limit (SO_RCVBUFFORCE); anyone else gets
// SO_RCVBUF, which the kernel cuts to that limit.
void oam_netlink_set_rcvbuf(int sock)
{
    int32_t kb = 0;
    if (get_cust_conf_int32(INI_TAG_HOST_PLAT, OAM_NL_RCVBUF_VAR, &kb) != 0 || kb <= 0 ||
        kb > OAM_NL_RCVBUF_MAX_KB) {
        kb = OAM_NL_RCVBUF_DEFAULT_KB;
    }
    const int want = kb * 1024;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof(want)) != 0) {
        (void)setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &want, sizeof(want));
    }
    int got = 0;
    socklen_t len = sizeof(got);
    if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &got, &len) != 0) {
        got = -1;
    }
    OAM_INFO("[%s:%d]netlink receive buffer %d bytes (asked for %d)\n\n", got, want);
}

}  // namespace

int oam_netlink_create()
{
    OAM_DEBUG("[%s:%d] inter oam_netlink_create\n\n");

    g_st_global.netlink_sock = socket(AF_NETLINK, SOCK_RAW, OAM_NETLINK_PROTO);
    if (g_st_global.netlink_sock <= 0) {
        int err = errno;
        char err_buf[64];
        // Descriptor 0 counts as not opened everywhere else; do not leak it.
        if (g_st_global.netlink_sock == 0) {
            close(g_st_global.netlink_sock);
        }
        g_st_global.netlink_sock = -1;
        OAM_ERR("[%s:%d]create netlink failed!:%s\n\n", strerror_r(err, err_buf, sizeof(err_buf)));
        return -1;
    }
    OAM_DEBUG("[%s:%d] socket over\n\n");

    sockaddr_nl local;
    int ret = memset_s(&local, sizeof(local), 0, sizeof(local));
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memset_s failed ret=%d\n", ret);
    }
    local.nl_family = AF_NETLINK;
    local.nl_pid = oam_netlink_port_id();
    local.nl_groups = 0;
    if (bind(g_st_global.netlink_sock, reinterpret_cast<sockaddr *>(&local), sizeof(local)) < 0) {
        OAM_ERR("[%s:%d]bind() < 0\n");
        close(g_st_global.netlink_sock);
        g_st_global.netlink_sock = -1;
        return -1;
    }
    OAM_DEBUG("[%s:%d] bind over\n\n");
    oam_netlink_set_rcvbuf(g_st_global.netlink_sock);

    g_st_global.nlh = static_cast<uint8_t *>(malloc(OAM_NLH_LEN));
    if (g_st_global.nlh == nullptr) {
        int err = errno;
        char err_buf[64];
        OAM_ERR("[%s:%d]nlh malloc failed!;errno:%s\n\n", strerror_r(err, err_buf, sizeof(err_buf)));
        close(g_st_global.netlink_sock);
        g_st_global.netlink_sock = -1;
        return -1;
    }

    oam_vexa2kernel_hello();
    return g_st_global.netlink_sock;
}

void oam_vexa2kernel_hello()
{
    uint8_t work[OAM_CMD_WORK_LEN];
    oam_cmd_hdr cmd = {0, sizeof(OAM_HELLO_TEXT)};

    int ret = memset_s(work, sizeof(work), 0, sizeof(work));
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memset_s failed ret=%d\n", ret);
        return;
    }
    int ret_hdr = memcpy_s(work, sizeof(work), &cmd, sizeof(cmd));
    int ret_data = memcpy_s(work + sizeof(cmd), sizeof(work) - sizeof(cmd), OAM_HELLO_TEXT,
                            sizeof(OAM_HELLO_TEXT));
    if (ret_hdr != EOK || ret_data != EOK) {
        OAM_ERR("[%s:%d]memcpy_s failed\n\n");
        return;
    }
    if (oam_netlink_send(work, sizeof(cmd) + sizeof(OAM_HELLO_TEXT)) < 0) {
        OAM_ERR("[%s:%d]oam netlink_send() < 0\n");
    }
}

int oam_netlink_send(const uint8_t *payload, uint32_t len)
{
    if (len > OAM_NL_PAYLOAD_MAX || payload == nullptr) {
        return -1;
    }
    // nlh exists exactly while the channel is open; a socket without it
    // would mean a half-opened channel.
    if (g_st_global.netlink_sock <= 0 || g_st_global.nlh == nullptr) {
        OAM_ERR("[%s:%d] netlink not opened\n\n");
        return -1;
    }

    sockaddr_nl dest;
    msghdr msg;
    int ret = memset_s(&dest, sizeof(dest), 0, sizeof(dest));
    if (ret == EOK) {
        ret = memset_s(&msg, sizeof(msg), 0, sizeof(msg));
    }
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memset_s failed ret=%d\n", ret);
        return -1;
    }
    dest.nl_family = AF_NETLINK;
    dest.nl_pid = 0;  // the kernel side: the Wi-Fi driver
    dest.nl_groups = 0;

    const uint32_t msg_len = (len + NLMSG_HDRLEN + NLMSG_ALIGNTO - 1) & ~(NLMSG_ALIGNTO - 1);
    nlmsghdr hdr;
    hdr.nlmsg_len = msg_len;
    hdr.nlmsg_type = 0;
    hdr.nlmsg_flags = 0;
    hdr.nlmsg_seq = 0;
    hdr.nlmsg_pid = oam_netlink_port_id();

    uint8_t *body = g_st_global.nlh + NLMSG_HDRLEN;
    ret = memcpy_s(g_st_global.nlh, NLMSG_HDRLEN, &hdr, sizeof(hdr));
    if (ret == EOK) {
        ret = memcpy_s(body, OAM_NL_PAYLOAD_MAX, payload, len);
    }
    if (ret == EOK) {
        ret = memset_s(body + len, OAM_NL_PAYLOAD_MAX - len, 0, msg_len - NLMSG_HDRLEN - len);
    }
    if (ret != EOK) {
        OAM_ERR("[%s:%d] memcpy_s failed, ret=%d\n\n", ret);
        return -1;
    }

    iovec iov = {g_st_global.nlh, msg_len};
    msg.msg_name = &dest;
    msg.msg_namelen = sizeof(dest);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = nullptr;
    msg.msg_controllen = 0;

    ssize_t sent = sendmsg(g_st_global.netlink_sock, &msg, 0);
    if (sent < 0) {
        OAM_ERR("[%s:%d] Netlink Sending message fail....\n\n");
    } else {
        OAM_DEBUG("[%s:%d] Netlink Sending message %d bytes....\n\n", static_cast<int>(sent));
    }
    return static_cast<int>(sent);
}
