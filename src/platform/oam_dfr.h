// One-shot calibration trigger and fault-recovery settings for the bfg driver.
#pragma once

#include <cstdint>

extern int32_t g_plat_dfr_value[2];

int bfgx_cali_init();
int ini_plat_dfr_set();
int ini_plat_dfr_send(int fd);
