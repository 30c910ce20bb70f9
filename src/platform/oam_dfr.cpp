#include "platform/oam_dfr.h"

#include <sys/ioctl.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "common/oam_global.h"
#include "common/oam_print.h"
#include "platform/oam_chip.h"
#include "common/oam_driver.h"

int32_t g_plat_dfr_value[2];

namespace {

constexpr std::array<unsigned long, 2> OAM_DFR_REQUESTS = {DFR_ENABLE_IOCTL, DFR_BEAT_TIMER_RESET_IOCTL};

// The driver takes the value itself as the argument word, not a pointer to it.
unsigned long oam_dfr_arg(int32_t value)
{
    return static_cast<unsigned long>(static_cast<uint32_t>(value));
}

}  // namespace

int bfgx_cali_init()
{
    if (oam_get_sub_chip_type() == CHIP_ZR4001) {
        OAM_INFO("[%s:%d]zr4001 ignore bfgx cali\n\n");
        return 0;
    }
    // In wvt mode bfg_fd is the BT node, which does not take these requests.
    if (g_st_global.bfg_fd < 0 || g_wvt_mode != 0) {
        OAM_ERR("[%s:%d]node is not open, bfgx cali fail\n\n");
        return -1;
    }

    if (ioctl(g_st_global.bfg_fd, BFGX_CALI_IOCTL, oam_dfr_arg(0)) < 0) {
        char err_buf[64];
        OAM_ERR("[%s:%d]cmd bfgx cali ioctl send error;errno:%s\n\n", strerror_r(errno, err_buf, sizeof(err_buf)));
        return -1;
    }
    OAM_INFO("[%s:%d]bfgx cali sucess\n\n");
    return 0;
}

int ini_plat_dfr_send(int fd)
{
    for (size_t i = 0; i < OAM_DFR_REQUESTS.size(); i++) {
        if (ioctl(fd, OAM_DFR_REQUESTS[i], oam_dfr_arg(g_plat_dfr_value[i])) < 0) {
            char err_buf[64];
            OAM_ERR("[%s:%d]cmd %s ioctl send error;errno:%s\n\n", ini_plat_dfr_cfg_str[i],
                      strerror_r(errno, err_buf, sizeof(err_buf)));
            return -1;
        }
    }
    return 0;
}
