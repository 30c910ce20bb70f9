// Log-settings steps that the unit tests reach one by one.
#pragma once

#include <cstdint>

#include "common/oam_global.h"

int oam_get_build_mode();
int is_user_type();
int oam_bfgx_log_param_init();
int oam_wifi_log_param_init();
int oam_me_log_param_init();
int oam_init_log(oam_log_desc *pst_log, const char *name, const char *log_switch, const char *size,
                 const char *num, const char *path, const char *default_path);
int oam_init_log_int_var(oam_log_int_cfg *pst_cfg, const char *var_name, int32_t default_value, int32_t max_value);
int oam_init_log_str_var(oam_log_str_cfg *pst_cfg, const char *var_name, const char *default_value);
int ini_get_log_int_cfg(oam_log_int_cfg *pst_cfg);
int ini_get_log_str_cfg(oam_log_str_cfg *pst_cfg);
