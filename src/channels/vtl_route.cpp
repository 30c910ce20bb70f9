#include "channels/vtl_route.h"

#include <unistd.h>

#include "channels/netlink.h"
#include "common/oam_global.h"
#include "common/oam_print.h"
#include "support/bounded.h"

namespace {

constexpr int OAM_VTL_DEST_OFFSET = 2;
constexpr int OAM_VTL_LEN_OFFSET = 4;
constexpr uint8_t OAM_VTL_DEST_BFG_MASK = 0xF0;  // any high bit set: the frame is for the bfg node
constexpr uint32_t OAM_VTL_CMD_TOOL = 1;
// The Wi-Fi command must fit the 512-byte work area behind its 8-byte header.
constexpr uint32_t OAM_VTL_WIFI_FRAME_MAX = OAM_CMD_WORK_LEN - sizeof(oam_cmd_hdr);  // 504
// A bfg frame is written straight from the 2048-byte receive buffer.
constexpr uint32_t OAM_VTL_BFG_FRAME_MAX = OAM_BUF_LEN;

int oam_vtl2wifi(const uint8_t *frame, uint32_t frame_len)
{
    if (frame_len > OAM_VTL_WIFI_FRAME_MAX) {
        return -1;
    }

    uint8_t work[OAM_CMD_WORK_LEN];
    oam_cmd_hdr cmd;
    int ret = memset_s(&cmd, sizeof(cmd), 0, sizeof(cmd));
    if (ret == EOK) {
        ret = memset_s(work, sizeof(work), 0, sizeof(work));
    }
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memset_s failed ret=%d\n", ret);
        return -1;
    }
    cmd.type = OAM_VTL_CMD_TOOL;
    cmd.len = frame_len;

    int ret_hdr = memcpy_s(work, sizeof(work), &cmd, sizeof(cmd));
    int ret_data = memcpy_s(work + sizeof(cmd), OAM_VTL_WIFI_FRAME_MAX, frame, frame_len);
    if (ret_hdr != EOK || ret_data != EOK) {
        OAM_ERR("[%s:%d]memcpy_s failed\n\n");
        return -1;
    }

    const uint32_t payload_len = frame_len + static_cast<uint32_t>(sizeof(cmd));
    OAM_DEBUG("[%s:%d]wifi cmd len=%u\n\n", payload_len);
    // The tool gets no answer either way; a failed send is reported by the channel.
    (void)oam_netlink_send(work, payload_len);
    return static_cast<int>(payload_len);
}

int oam_vtl2bfg(const uint8_t *frame, uint32_t frame_len)
{
    if (g_st_global.bfg_fd <= 0) {
        OAM_ERR("[%s:%d]bfg dbg inode not opened!\n\n");
        return -1;
    }
    if (frame_len > OAM_VTL_BFG_FRAME_MAX) {
        OAM_WARN("[%s:%d]invalid header length!\n\n");
        return -1;
    }

    OAM_DEBUG("[%s:%d]bfg cmd len=%u\n\n", frame_len);
    if (write(g_st_global.bfg_fd, frame, frame_len) > 0) {
        OAM_DEBUG("[%s:%d]\n bfg data have write\n\n");
    }
    return static_cast<int>(frame_len);
}

}  // namespace

int oam_vtl2dev_proc(const uint8_t *hdr, const uint8_t *frame)
{
    if (hdr == nullptr || frame == nullptr) {
        return -1;
    }
    // The stated length is trusted up to the limits below: bytes that never
    // arrived read as zero because the receive buffer is cleared first.
    const uint32_t frame_len = static_cast<uint32_t>(hdr[OAM_VTL_LEN_OFFSET]) |
                               (static_cast<uint32_t>(hdr[OAM_VTL_LEN_OFFSET + 1]) << 8);

    if ((hdr[OAM_VTL_DEST_OFFSET] & OAM_VTL_DEST_BFG_MASK) == 0) {
        return oam_vtl2wifi(frame, frame_len);
    }
    return oam_vtl2bfg(frame, frame_len);
}
