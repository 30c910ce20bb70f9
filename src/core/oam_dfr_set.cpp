#include "core/oam_dfr_set.h"

#include <cstddef>
#include <cstdint>

#include "common/oam_global.h"
#include "common/oam_print.h"
#include "config/ini.h"
#include "platform/oam_dfr.h"

int ini_plat_dfr_set()
{
    // Nothing is sent unless both settings were read.
    for (size_t i = 0; i < ini_plat_dfr_cfg_str.size(); i++) {
        if (get_cust_conf_int32(INI_TAG_HOST_PLAT, ini_plat_dfr_cfg_str[i], &g_plat_dfr_value[i]) != 0) {
            OAM_INFO("[%s:%d]read ini cfg fail: ini_plat_dfr_cfg_str = %s\n\n", ini_plat_dfr_cfg_str[i]);
            return -1;
        }
    }

    if (g_st_global.bfg_fd < 0 || g_wvt_mode != 0) {
        OAM_ERR("[%s:%d]node is not open\n\n");
        return -1;
    }

    if (ini_plat_dfr_send(g_st_global.bfg_fd) < 0) {
        OAM_ERR("[%s:%d]plat dfr and beatTimer timeOut reset cfg set error\n\n");
        return -1;
    }
    OAM_INFO("[%s:%d]plat dfr and beatTimer timeOut reset cfg set sucess\n\n");
    return 0;
}
