// The INI reader: the published file and the customer override hold any
// bytes; the daemon's lookups of every key it reads, and the log settings
// built from them, must stay within their limits and destinations.  Runs in
// the unit-test sandbox: the customer file and the published-path node are
// the device's fixed paths.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "common/oam_global.h"
#include "config/ini.h"
#include "config/ini_internal.h"
#include "logcapture/log_param.h"
#include "fuzz_support.h"
#include "logcapture/log_store.h"
#include "platform/oam_chip.h"
#include "platform/oam_chip_internal.h"
#include "platform/oam_dfr.h"
#include "core/oam_dfr_set.h"
#include "common/oam_driver.h"

namespace {

constexpr const char *PUBLISHED_INI = "/tmp/oam_fuzz_published.ini";

constexpr std::array<const char *, 15> DAEMON_KEYS = {
    "log_switch_device_wifi", "log_size_device_wifi", "log_num_device_wifi", "log_path_device_wifi",
    "log_switch_device_bfg",  "log_size_device_bfg",  "log_num_device_bfg",  "log_path_device_bfg",
    "log_switch_device_me",   "log_size_device_me",   "log_num_device_me",   "log_path_device_me",
    "plat_dfr_enable",        "plat_dfr_beatTimer_timeOut_reset_enable", "log_rcvbuf_device_wifi",
};

void write_or_remove(const char *path, bool present, const std::string &content)
{
    if (!present) {
        unlink(path);
        return;
    }
    FILE *f = std::fopen(path, "wb");
    if (f == nullptr) {
        std::abort();
    }
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}

char g_start_dir[4096];

void setup_once()
{
    if (getcwd(g_start_dir, sizeof g_start_dir) == nullptr) {
        std::abort();
    }
    fuzz_support::require_sandbox();
    mkdir("/sys/zr400x_ps", 0755);
    mkdir("/data/vendor", 0755);
    mkdir("/data/vendor/cust_conn", 0755);
    mkdir("/vendor/log", 0775);
    write_or_remove(OAM_INI_PATH_NODE, true, PUBLISHED_INI);
    g_ini_file_path_read = 0;
    init_ini_file_path();
    // A model with an me core, so that its settings are read too.
    g_sub_chip_type = CHIP_ZR4005;
    g_sub_chip_type_known = 1;
    g_st_global.bfg_fd = -1;
}

void check_desc(const oam_log_desc &d)
{
    if (d.log_switch.value > 1 || d.num.value > 200 || d.size.value > 40000 * 1024) {
        std::abort();
    }
    if (strnlen(d.path.value, sizeof d.path.value) >= sizeof d.path.value ||
        strnlen(d.file_path, sizeof d.file_path) >= sizeof d.file_path) {
        std::abort();
    }
}

void release_desc(oam_log_desc &d)
{
    if (d.fp != nullptr) {
        std::fclose(d.fp);
    }
    std::memset(&d, 0, sizeof d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = (setup_once(), true);
    (void)ready;
    FuzzedDataProvider fdp(data, size);
    const auto flags = fdp.ConsumeIntegral<uint8_t>();
    const auto key = fdp.ConsumeIntegralInRange<size_t>(0, DAEMON_KEYS.size() - 1);
    const auto value_size = fdp.ConsumeIntegralInRange<uint32_t>(1, 96);
    const std::string published = fdp.ConsumeRandomLengthString(8192);
    const std::string cust = fdp.ConsumeRemainingBytesAsString();
    write_or_remove(PUBLISHED_INI, (flags & 1U) == 0, published);
    write_or_remove(OAM_INI_CUST_FILE, (flags & 2U) == 0, cust);

    // A lookup into a destination of exactly the size it is given.
    auto value = std::make_unique<char[]>(value_size);
    if (get_cust_conf_string(INI_TAG_HOST_PLAT, DAEMON_KEYS[key], value.get(), value_size) == 0 &&
        strnlen(value.get(), value_size) >= value_size) {
        std::abort();
    }
    int32_t number = 0;
    (void)get_cust_conf_int32(INI_TAG_HOST_PLAT, DAEMON_KEYS[key], &number);

    (void)oam_log_dir_init();
    if (oam_log_param_init() == 0) {
        check_desc(g_st_global.st_bfg_log);
        check_desc(g_st_global.st_wifi_log);
        check_desc(g_st_global.st_me_log);
    }
    (void)ini_plat_dfr_set();
    release_desc(g_st_global.st_bfg_log);
    release_desc(g_st_global.st_wifi_log);
    release_desc(g_st_global.st_me_log);
    // Counting a log directory moves into it; the fuzzer's paths are relative
    // to where it started.
    if (chdir(g_start_dir) != 0) {
        std::abort();
    }
    return 0;
}
