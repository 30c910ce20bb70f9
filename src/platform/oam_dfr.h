// One-shot calibration trigger and fault-recovery settings for the bfg driver.
#pragma once

#include <array>
#include <cstdint>

// Keys of [HOST_PLAT], in the order of g_plat_dfr_value and of the requests.
inline constexpr std::array<const char *, 2> ini_plat_dfr_cfg_str = {
    "plat_dfr_enable",
    "plat_dfr_beatTimer_timeOut_reset_enable",
};

// The values sent by ini_plat_dfr_send; the core reads them from the INI
// file, which this module does not know.
extern int32_t g_plat_dfr_value[2];

int bfgx_cali_init();
int ini_plat_dfr_send(int fd);
