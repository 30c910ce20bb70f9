#include "logcapture/log_param.h"

#include <cstdint>
#include <cstring>

#include "config/ini.h"
#include "logcapture/log_param_internal.h"
#include "common/oam_global.h"
#include "common/oam_print.h"
#include "common/oam_record.h"
#include "logcapture/log_budget.h"
#include "logcapture/log_store.h"
#include "platform/oam_chip.h"
#include "common/oam_driver.h"
#include "support/bounded.h"

namespace {

constexpr int OAM_BUILD_MODE_USER = 2;

constexpr int32_t OAM_LOG_SWITCH_DEFAULT = 1;
constexpr int32_t OAM_LOG_SWITCH_MAX = 1;
constexpr int32_t OAM_LOG_SIZE_DEFAULT_KB = 10;
constexpr int32_t OAM_LOG_SIZE_MAX_KB = 40000;
constexpr int32_t OAM_LOG_NUM_DEFAULT = 25;
constexpr int32_t OAM_LOG_NUM_MAX = 200;
constexpr int32_t OAM_KB = 1024;

constexpr int32_t OAM_USER_LOG_SIZE = 10 * 1024 * 1024;
constexpr int32_t OAM_USER_WIFI_LOG_NUM = 25;
constexpr int32_t OAM_USER_BFG_LOG_NUM = 50;
constexpr int32_t OAM_USER_ME_LOG_NUM = 50;
constexpr uint32_t OAM_USER_DUMPFILE_LIMIT = 10;

constexpr int OAM_LOG_PATH_LOOKUP_LEN = 80;

// What tells the cores' log settings apart; the steps are the same.
struct oam_core_log_vars {
    oam_log_desc *desc;
    const char *prefix;
    const char *log_switch;
    const char *size;
    const char *num;
    const char *path;
    const char *default_path;
    int32_t user_num;
    const char *init_fail_fmt;   // takes the function name and line
    const char *user_type_fmt;   // takes the function name, line and size in KB
};

constexpr oam_core_log_vars OAM_WIFI_LOG_VARS = {
    &g_st_global.st_wifi_log, OAM_WIFI_LOG_PREFIX, "log_switch_device_wifi", "log_size_device_wifi",
    "log_num_device_wifi", "log_path_device_wifi", OAM_WIFI_LOG_DIR, OAM_USER_WIFI_LOG_NUM,
    "[%s:%d]init wifi log failed!!!\n", "[%s:%d]is user type, wifi device log set to %dKB\n\n"};
constexpr oam_core_log_vars OAM_BFG_LOG_VARS = {
    &g_st_global.st_bfg_log, OAM_BFG_LOG_PREFIX, "log_switch_device_bfg", "log_size_device_bfg",
    "log_num_device_bfg", "log_path_device_bfg", OAM_BFG_LOG_DIR, OAM_USER_BFG_LOG_NUM,
    "[%s:%d]init bfg log failed!!!\n", "[%s:%d]is user type, bfg device log set to %dKB\n\n"};
// The me core shares the bfg prefix; its files differ by directory only.
constexpr oam_core_log_vars OAM_ME_LOG_VARS = {
    &g_st_global.st_me_log, OAM_ME_LOG_PREFIX, "log_switch_device_me", "log_size_device_me",
    "log_num_device_me", "log_path_device_me", OAM_ME_LOG_DIR, OAM_USER_ME_LOG_NUM,
    "[%s:%d]init me log failed!!!\n", "[%s:%d]is user type, me device log set to %dKB\n\n"};

int oam_core_log_param_init(const char *caller, const oam_core_log_vars &vars)
{
    oam_log_desc *pst_log = vars.desc;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (oam_init_log(pst_log, vars.prefix, vars.log_switch, vars.size, vars.num, vars.path, vars.default_path) !=
        0) {
        oam_printf(OAM_LEVEL_ERR, vars.init_fail_fmt, caller, __LINE__);
        return -1;
    }
    // The user-build limits replace the INI values only after the current
    // file was opened, so the size check made while opening uses the INI size.
    if (is_user_type() == 1) {
        pst_log->size.value = OAM_USER_LOG_SIZE;
        pst_log->num.value = vars.user_num;
        oam_printf(OAM_LEVEL_INFO, vars.user_type_fmt, caller, __LINE__, OAM_USER_LOG_SIZE / OAM_KB);
    }
#pragma GCC diagnostic pop
    return 0;
}

// The limit check leaves the kilobyte count bounded above only; a large
// negative count would overflow 32 bits once held in bytes.  Such a size
// only ever marks the current file as full, so the most negative byte count
// serves it as well.
int32_t oam_log_kb_to_bytes(int32_t kilobytes)
{
    int64_t bytes = static_cast<int64_t>(kilobytes) * OAM_KB;
    if (bytes < INT32_MIN) {
        return INT32_MIN;
    }
    if (bytes > INT32_MAX) {
        return INT32_MAX;
    }
    return static_cast<int32_t>(bytes);
}

}  // namespace

int oam_get_build_mode()
{
    // No build mode is published on these devices: every start is treated
    // as a user build.
    return OAM_BUILD_MODE_USER;
}

int is_user_type()
{
    if (oam_get_build_mode() == OAM_BUILD_MODE_USER) {
        OAM_INFO("[%s:%d]is user type\n\n");
        return 1;
    }
    return 0;
}

int ini_get_log_int_cfg(oam_log_int_cfg *pst_cfg)
{
    OAM_DEBUG("[%s:%d]---------------in %s func\n", __func__);
    if (pst_cfg == nullptr) {
        OAM_ERR("[%s:%d]pst_cfg is NULL!!!!\n");
        return -1;
    }

    // A missing or unreadable variable counts as 0, not as the default.
    int32_t value = 0;
    if (get_cust_conf_int32(INI_TAG_HOST_PLAT, pst_cfg->var_name, &value) != 0) {
        OAM_INFO("[%s:%d]get_cust_conf_int32 fail\n\n");
    }
    OAM_DEBUG("[%s:%d]get ini var %s :%d:\n", pst_cfg->var_name, value);

    if (value > pst_cfg->max_value) {
        OAM_WARN("[%s:%d]%d is over %d\n", value, pst_cfg->max_value);
        OAM_WARN("[%s:%d]%s set log limit to %d default\n", pst_cfg->var_name, pst_cfg->default_value);
        value = pst_cfg->default_value;
    }
    pst_cfg->value = value;
    OAM_DEBUG("[%s:%d]%s=%d:\n", pst_cfg->var_name, value);
    return 0;
}

int ini_get_log_str_cfg(oam_log_str_cfg *pst_cfg)
{
    OAM_DEBUG("[%s:%d]---------------in %s func\n", __func__);
    if (pst_cfg == nullptr) {
        OAM_ERR("[%s:%d]pst_cfg is NULL!!!!\n");
        return -1;
    }

    char found[OAM_LOG_PATH_LOOKUP_LEN] = {};
    if (get_cust_conf_string(INI_TAG_HOST_PLAT, pst_cfg->var_name, found, sizeof(found)) == -1) {
        int ret = strncpy_s(pst_cfg->value, sizeof(pst_cfg->value), pst_cfg->default_value,
                            sizeof(pst_cfg->value) - 1);
        if (ret != EOK) {
            OAM_ERR("[%s:%d]strncpy_s failed ret=%d\n", ret);
        }
        pst_cfg->value[sizeof(pst_cfg->value) - 1] = '\0';
        OAM_INFO("[%s:%d]%s not get set to default:%s:\n", pst_cfg->var_name, pst_cfg->value);
    } else {
        int ret = strncpy_s(pst_cfg->value, sizeof(pst_cfg->value), found, strlen(found));
        if (ret != EOK) {
            OAM_ERR("[%s:%d]ini_get_log_str_cfg:: strncpy_s failed!!!\n");
            return -1;
        }
    }
    OAM_DEBUG("[%s:%d]%s=%s:\n", pst_cfg->var_name, pst_cfg->value);
    return 0;
}

// Both kinds of setting keep their INI variable name the same way; only the
// copy-failure message names the setting's own operation.
static int oam_set_log_var_name(char *dest, const char *var_name, const char *copy_fail_fmt)
{
    if (dest == nullptr || var_name == nullptr) {
        OAM_ERR("[%s:%d]pst_log var must be NULL!!!\n");
        return -1;
    }
    size_t len = strlen(var_name);
    if (len >= OAM_VAR_NAME_LEN) {
        OAM_ERR("[%s:%d]%s over len %u\n", var_name, static_cast<unsigned>(len));
        return -1;
    }
    if (strncpy_s(dest, OAM_VAR_NAME_LEN, var_name, len) != EOK) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        oam_printf(OAM_LEVEL_ERR, copy_fail_fmt, __func__, __LINE__);
#pragma GCC diagnostic pop
        return -1;
    }
    return 0;
}

int oam_init_log_int_var(oam_log_int_cfg *pst_cfg, const char *var_name, int32_t default_value, int32_t max_value)
{
    if (oam_set_log_var_name(pst_cfg == nullptr ? nullptr : pst_cfg->var_name, var_name,
                             "[%s:%d]oam_init_log_int_var:: strncpy_s failed!!!\n") != 0) {
        return -1;
    }
    pst_cfg->default_value = default_value;
    pst_cfg->max_value = max_value;
    return ini_get_log_int_cfg(pst_cfg) == 0 ? 0 : -1;
}

int oam_init_log_str_var(oam_log_str_cfg *pst_cfg, const char *var_name, const char *default_value)
{
    if (oam_set_log_var_name(pst_cfg == nullptr ? nullptr : pst_cfg->var_name, var_name,
                             "[%s:%d]oam_init_log_str_var:: strncpy_s failed!!!\n") != 0) {
        return -1;
    }
    pst_cfg->default_value = default_value;
    return ini_get_log_str_cfg(pst_cfg) == 0 ? 0 : -1;
}

int oam_init_log(oam_log_desc *pst_log, const char *name, const char *log_switch, const char *size,
                 const char *num, const char *path, const char *default_path)
{
    // Without a default directory a missing INI entry would leave the path
    // empty and the log files would land in whatever the working directory is.
    if (pst_log == nullptr || name == nullptr || log_switch == nullptr || size == nullptr || num == nullptr ||
        path == nullptr || default_path == nullptr) {
        OAM_ERR("[%s:%d]pst_log, name, size, num, path must be NULL!!!\n");
        return -1;
    }
    pst_log->name = name;

    if (oam_init_log_int_var(&pst_log->log_switch, log_switch, OAM_LOG_SWITCH_DEFAULT, OAM_LOG_SWITCH_MAX) != 0) {
        OAM_ERR("[%s:%d]init %s failed!!!\n", log_switch);
        return -1;
    }
    if (oam_init_log_int_var(&pst_log->size, size, OAM_LOG_SIZE_DEFAULT_KB, OAM_LOG_SIZE_MAX_KB) != 0) {
        OAM_ERR("[%s:%d]init %s failed!!!\n", size);
        return -1;
    }
    pst_log->size.value = oam_log_kb_to_bytes(pst_log->size.value);
    if (oam_init_log_int_var(&pst_log->num, num, OAM_LOG_NUM_DEFAULT, OAM_LOG_NUM_MAX) != 0) {
        OAM_ERR("[%s:%d]init %s failed!!!\n", num);
        return -1;
    }
    if (oam_init_log_str_var(&pst_log->path, path, default_path) != 0) {
        OAM_ERR("[%s:%d]init %s failed!!!\n", path);
        return -1;
    }

    int ret = snprintf_s(pst_log->file_path, sizeof(pst_log->file_path), sizeof(pst_log->file_path) - 1, "%s%s%d",
                         pst_log->path.value, name, 1);
    if (ret < 0) {
        OAM_ERR("[%s:%d]init file path failed, ret = %d!!!\n", ret);
        return -1;
    }
    // The current file is opened before the directory is counted, so the
    // count includes it.
    oam_log_trim_cut_record(pst_log);
    // Something put at file 1 that is no regular file is not waited for:
    // capture starts, counting the records it cannot store.
    if (oam_get_log_file(pst_log) != 0 && !pst_log->not_regular) {
        OAM_ERR("[%s:%d]can't open %s log\n", pst_log->file_path);
        return -1;
    }
    if (get_former_log_num(pst_log) != 0) {
        OAM_ERR("[%s:%d]can't get cur %s log num in path %s\n", pst_log->file_path, pst_log->path.value);
        return -1;
    }
    pst_log->write_count = 0;
    return 0;
}

int oam_wifi_log_param_init()
{
    return oam_core_log_param_init(__func__, OAM_WIFI_LOG_VARS);
}

int oam_bfgx_log_param_init()
{
    return oam_core_log_param_init(__func__, OAM_BFG_LOG_VARS);
}

int oam_me_log_param_init()
{
    // Models up to zr4004 carry no me core; its descriptor stays cleared.
    if (oam_get_sub_chip_type() <= CHIP_ZR4004) {
        OAM_INFO("[%s:%d]zr400x ignore me log param init\n\n");
        return 0;
    }
    return oam_core_log_param_init(__func__, OAM_ME_LOG_VARS);
}

void oam_log_budget_param_init()
{
    // The flash budget: every key off or at its default when missing, and
    // a value out of range is taken as missing, said once.
    struct oam_budget_key {
        const char *name;
        int32_t *value;
        int32_t min;
        int32_t max;
    };
    oam_log_budget_cfg &b = g_log_budget;
    const oam_budget_key keys[] = {
        {"log_keep_free", &b.keep_free_mib, 0, INT32_MAX},
        {"log_max_use", &b.max_use_mib, 0, INT32_MAX},
        {"log_min_share_device_wifi", &b.min_share[OAM_BC_WIFI], 0, 100},
        {"log_min_share_device_bfg", &b.min_share[OAM_BC_BFG], 0, 100},
        {"log_min_share_device_me", &b.min_share[OAM_BC_ME], 0, 100},
        {"log_compress_level", &b.compress_level, 1, OAM_COMPRESS_LEVEL_MAX},
    };
    bool any = false;
    for (const oam_budget_key &key : keys) {
        int32_t value = 0;
        if (get_cust_conf_int32(INI_TAG_HOST_PLAT, key.name, &value) != 0) {
            continue;
        }
        if (value < key.min || value > key.max) {
            OAM_WARN("[%s:%d]%s=%d is out of %d..%d: not used\n", key.name, value, key.min, key.max);
            continue;
        }
        *key.value = value;
        OAM_DEBUG("[%s:%d]%s=%d:\n", key.name, value);
        any = any || key.value != &b.compress_level;
    }
    char mode[8] = {};
    if (get_cust_conf_string(INI_TAG_HOST_PLAT, "log_compress", mode, sizeof(mode)) != -1) {
        if (strcmp(mode, "zstd") == 0) {
            b.compress = 1;
            any = true;
        } else if (strcmp(mode, "off") != 0) {
            OAM_WARN("[%s:%d]log_compress is neither off nor zstd: files stay plain\n");
        }
        OAM_INFO("[%s:%d]log_compress=%s:\n", b.compress == 1 ? "zstd" : "off");
    }
    b.active = any ? 1 : 0;
}

int oam_log_param_init()
{
    int ret = oam_bfgx_log_param_init();
    if (ret < 0) {
        return ret;
    }
    ret = oam_wifi_log_param_init();
    if (ret < 0) {
        return ret;
    }
    ret = oam_me_log_param_init();
    if (ret < 0) {
        return ret;
    }
    oam_log_budget_param_init();
    oam_budget_check_shares();
    if (is_user_type() == 1) {
        oam_set_dumpfile_limit(OAM_USER_DUMPFILE_LIMIT);
        OAM_INFO("[%s:%d]is user type,dumpfile limit:%d\n\n", static_cast<int>(OAM_USER_DUMPFILE_LIMIT));
    }
    return 0;
}
