#include <linux/netlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "common/oam_global.h"
#include "common/oam_print.h"
#include "common/oam_backoff.h"
#include "logcapture/log_store.h"
#include "logcapture/receivers.h"
#include "support/securec.h"

namespace {

constexpr uint32_t OAM_NL_RECV_MAX = 2048;  // one receive takes at most this much of a message
constexpr uint32_t OAM_NL_MSG_MIN = NLMSG_HDRLEN + 1;                     // 17: one data byte
constexpr uint32_t OAM_NL_MSG_MAX = NLMSG_HDRLEN + OAM_RECORD_DATA_MAX - 1;  // 2045

constexpr char OAM_WIFI_SEND_ERR[] = "[%s:%d]send wifi socket is ERR! len = %u.;errno:%s\n\n";
constexpr char OAM_WIFI_WRITE_ERR[] = "[%s:%d]write wifi log file err;errno:%s\n";
constexpr char OAM_WIFI_SECOND_WRITE_ERR[] = "[%s:%d]second write wifi log file err;errno:%s\n";

}  // namespace

int oam_wifi_recv_msg(const uint8_t *rx, size_t received)
{
    if (rx == nullptr || received > OAM_NL_RECV_MAX) {
        return -1;
    }
    // Only bytes that arrived count: a datagram shorter than the length
    // field reads as zeros beyond its end.
    uint32_t msg_len = 0;
    int ret = memcpy_s(&msg_len, sizeof(msg_len), rx, received < sizeof(msg_len) ? received : sizeof(msg_len));
    if (ret != EOK) {
        OAM_PRINT("[%s:%d]memcpy_s failed ret=%d\n", ret);
        return -1;
    }
    // A length beyond what arrived would store zero padding as log data.
    if (msg_len < OAM_NL_MSG_MIN || msg_len > OAM_NL_MSG_MAX || msg_len > received) {
        char err_buf[64];
        OAM_PRINT("[%s:%d]netlink recv NULL package...;errno:%s,len is %u\n\n",
                  strerror_r(errno, err_buf, sizeof(err_buf)), msg_len - NLMSG_HDRLEN);
        return -1;
    }
    const uint32_t data_len = msg_len - NLMSG_HDRLEN;

    ret = memcpy_s(g_st_global.puc_buf + OAM_RECORD_HDR_LEN, OAM_RECORD_DATA_MAX, rx + NLMSG_HDRLEN, data_len);
    if (ret != EOK) {
        OAM_PRINT("[%s:%d]memcpy_s failed ret=%d\n", ret);
        return -1;
    }

    oam_mirror_to_tool(g_st_global.puc_buf + OAM_RECORD_HDR_LEN, data_len, OAM_WIFI_SEND_ERR);

    if (g_st_global.st_wifi_log.log_switch.value == 1) {
        oam_log_store_record(&g_st_global.st_wifi_log, g_st_global.puc_buf, data_len, OAM_WIFI_WRITE_ERR,
                             OAM_WIFI_SECOND_WRITE_ERR);
    }
    return 0;
}

void *oam_netlink_recv_pthread(void *arg)
{
    (void)arg;
    OAM_PRINT("[%s:%d]oam_netlink_recv_pthread\n\n");

    sockaddr_nl addr;
    int ret = memset_s(&addr, sizeof(addr), 0, sizeof(addr));
    if (ret != EOK) {
        OAM_PRINT("[%s:%d]memset_s failed ret=%d\n", ret);
    }
    addr.nl_family = AF_NETLINK;

    std::unique_ptr<uint8_t[]> rx(new (std::nothrow) uint8_t[OAM_NLH_LEN]);
    if (rx == nullptr) {
        OAM_PRINT("[%s:%d]nlh malloc failed!\n\n");
        return nullptr;
    }

    msghdr msg;
    ret = memset_s(rx.get(), OAM_NLH_LEN, 0, OAM_NLH_LEN);
    if (ret == EOK) {
        ret = memset_s(&msg, sizeof(msg), 0, sizeof(msg));
    }
    if (ret != EOK) {
        OAM_PRINT("[%s:%d]memset_s failed ret=%d\n", ret);
        return nullptr;
    }
    iovec iov = {rx.get(), OAM_NL_RECV_MAX};
    msg.msg_name = &addr;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = nullptr;
    msg.msg_controllen = 0;

    unsigned fail_count = 0;
    for (;;) {
        if (oam_flag_load(g_st_global.wifi_thread_stop) == 1) {
            rx.reset();
            OAM_PRINT("[%s:%d]oam-wifi-recv-pthread is over \n\n");
            return nullptr;
        }

        ret = memset_s(g_st_global.puc_buf, OAM_BUF_LEN, 0, OAM_BUF_LEN);
        if (ret == EOK) {
            ret = memset_s(rx.get(), OAM_NLH_LEN, 0, OAM_NLH_LEN);
        }
        if (ret != EOK) {
            // Only a missing record buffer fails here, and it will not appear later.
            OAM_PRINT("[%s:%d]memset_s failed ret=%d\n", ret);
            return nullptr;
        }

        msg.msg_namelen = sizeof(addr);
        ssize_t received = recvmsg(g_st_global.netlink_sock, &msg, 0);
        if (received < 0) {
            OAM_PRINT("[%s:%d]recv < 0\n");
            oam_read_backoff(&fail_count);
            continue;
        }
        if (received == 0) {
            oam_read_backoff(&fail_count);
        } else {
            fail_count = 0;
        }

        (void)oam_wifi_recv_msg(rx.get(), static_cast<size_t>(received));
    }
}
