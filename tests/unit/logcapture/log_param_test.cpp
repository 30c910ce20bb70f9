#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "logcapture/log_param.h"
#include "logcapture/log_param_internal.h"
#include "tests/unit/config/config_test_util.h"
#include "common/oam_global.h"
#include "platform/oam_chip.h"
#include "platform/oam_chip_internal.h"

namespace {

bool is_zero(const oam_log_desc &desc)
{
    oam_log_desc zero;
    std::memset(&zero, 0, sizeof(zero));
    return std::memcmp(&desc, &zero, sizeof(desc)) == 0;
}

void close_log(oam_log_desc &desc)
{
    if (desc.fp != nullptr) {
        std::fclose(desc.fp);
        desc.fp = nullptr;
    }
}

class LogParam : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(getcwd(cwd_, sizeof(cwd_)), nullptr);
        dir_ = make_temp_dir();
        reset_ini_state();
        clear_logs();
        std::filesystem::remove_all("/vendor/log");
        oam_set_dumpfile_limit(3);
        set_chip(CHIP_UNKNOWN);
    }

    void TearDown() override
    {
        clear_logs();
        reset_ini_state();
        EXPECT_EQ(chdir(cwd_), 0);
    }

    static void clear_logs()
    {
        close_log(g_st_global.st_wifi_log);
        close_log(g_st_global.st_bfg_log);
        close_log(g_st_global.st_me_log);
        std::memset(&g_st_global, 0, sizeof(g_st_global));
    }

    static void set_chip(int32_t id)
    {
        g_sub_chip_type = id;
        g_sub_chip_type_known = 1;
    }

    void use_ini(const std::string &content)
    {
        write_file(dir_ + "/vendor.ini", "[HOST_PLAT]\n" + content);
        publish_ini_path(dir_ + "/vendor.ini");
    }

    char cwd_[4096] = {};
    std::string dir_;
};

}  // namespace

TEST_F(LogParam, MissingIniGivesZeroSettingsDefaultDirectoriesAndUserLimits)
{
    testing::internal::CaptureStdout();
    ASSERT_EQ(oam_log_param_init(), 0);
    std::string out = captured();

    const oam_log_desc *descs[] = {&g_st_global.st_wifi_log, &g_st_global.st_bfg_log, &g_st_global.st_me_log};
    const char *files[] = {"/vendor/log/wifi_log/wifi_log_1", "/vendor/log/bfg_log/bfg_log_1",
                           "/vendor/log/me_log/bfg_log_1"};
    const int32_t nums[] = {25, 50, 50};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(files[i]);
        EXPECT_EQ(descs[i]->log_switch.value, 0);
        EXPECT_EQ(descs[i]->size.value, 10485760);
        EXPECT_EQ(descs[i]->num.value, nums[i]);
        EXPECT_STREQ(descs[i]->file_path, files[i]);
        EXPECT_NE(descs[i]->fp, nullptr);
        EXPECT_EQ(descs[i]->file_count, 1);
        EXPECT_EQ(access(files[i], F_OK), 0);
    }
    EXPECT_STREQ(g_st_global.st_me_log.path.value, "/vendor/log/me_log/");
    EXPECT_STREQ(g_st_global.st_me_log.log_switch.var_name, "log_switch_device_me");
    for (const auto &type : g_memdump_type_table) {
        EXPECT_EQ(type.max_num, 10u);
    }

    EXPECT_NE(out.find("]get_cust_conf_int32 fail\n\n"), std::string::npos);
    EXPECT_NE(out.find("]log_path_device_me not get set to default:/vendor/log/me_log/:\n"), std::string::npos);
    EXPECT_NE(out.find("]is user type, bfg device log set to 10240KB\n\n"), std::string::npos);
    EXPECT_NE(out.find("]is user type,dumpfile limit:10\n\n"), std::string::npos);
    // bfg first, then Wi-Fi, then me.
    size_t bfg = out.find("]log_switch_device_bfg=0:");
    size_t wifi = out.find("]log_switch_device_wifi=0:");
    size_t me = out.find("]log_switch_device_me=0:");
    EXPECT_LT(bfg, wifi);
    EXPECT_LT(wifi, me);
    EXPECT_NE(me, std::string::npos);
}

TEST_F(LogParam, IniValuesWithTheirLimitsAndAConfiguredDirectory)
{
    const std::string wifi_dir = dir_ + "/wifi/";
    std::filesystem::create_directory(wifi_dir);
    write_file(wifi_dir + "wifi_log_2", "old");
    use_ini("log_switch_device_wifi=5\nlog_switch_device_bfg=-1\nlog_size_device_wifi=40001\n"
            "log_num_device_bfg=-4\nlog_path_device_wifi=" + wifi_dir + "  \n");
    testing::internal::CaptureStdout();
    ASSERT_EQ(oam_log_param_init(), 0);
    std::string out = captured();
    EXPECT_EQ(g_st_global.st_wifi_log.log_switch.value, 1);
    EXPECT_EQ(g_st_global.st_bfg_log.log_switch.value, -1);
    EXPECT_NE(out.find("]5 is over 1\n"), std::string::npos);
    EXPECT_NE(out.find("]log_switch_device_wifi set log limit to 1 default\n"), std::string::npos);
    EXPECT_NE(out.find("]log_size_device_wifi set log limit to 10 default\n"), std::string::npos);
    // The user build replaces size and count whatever the INI said.
    EXPECT_EQ(g_st_global.st_wifi_log.size.value, 10485760);
    EXPECT_EQ(g_st_global.st_bfg_log.num.value, 50);
    // A configured directory is a plain prefix; existing files are counted.
    EXPECT_EQ(std::string(g_st_global.st_wifi_log.file_path), wifi_dir + "wifi_log_1");
    EXPECT_EQ(g_st_global.st_wifi_log.file_count, 2);

    // One descriptor on its own shows the values as read, in bytes.
    struct size_case {
        const char *ini;
        int32_t size;
        int32_t num;
    };
    const size_case cases[] = {
        {"s=40000\nn=200\n", 40960000, 200}, {"s=40001\nn=201\n", 10240, 25}, {"s=-2\nn=-4\n", -2048, -4},
        {"s=-2097152\nn=0\n", INT32_MIN, 0}, {"s=-3000000\nn=1\n", INT32_MIN, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ini);
        use_ini(std::string(c.ini) + "p=" + wifi_dir + "\n");
        oam_log_desc desc{};
        ASSERT_EQ(oam_init_log(&desc, "x_", "w", "s", "n", "p", "/unused/"), 0);
        EXPECT_EQ(desc.size.value, c.size);
        EXPECT_EQ(desc.num.value, c.num);
        close_log(desc);
    }
}

TEST_F(LogParam, ChipsWithoutAnMeCoreLeaveItsDescriptorCleared)
{
    set_chip(CHIP_ZR4003);
    testing::internal::CaptureStdout();
    ASSERT_EQ(oam_log_param_init(), 0);
    std::string out = captured();
    EXPECT_TRUE(is_zero(g_st_global.st_me_log));
    EXPECT_NE(out.find("]zr400x ignore me log param init\n\n"), std::string::npos);

    clear_logs();
    set_chip(CHIP_ZR4005);
    ASSERT_EQ(oam_me_log_param_init(), 0);
    EXPECT_STREQ(g_st_global.st_me_log.file_path, "/vendor/log/me_log/bfg_log_1");
}

TEST_F(LogParam, AFailingCoreStopsTheStartAndLeavesTheLaterOnesCleared)
{
    use_ini("log_path_device_bfg=" + dir_ + "/missing/\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_log_param_init(), -1);
    std::string out = captured();
    EXPECT_NE(out.find("]can't open " + dir_ + "/missing/bfg_log_1 log\n"), std::string::npos) << out;
    EXPECT_NE(out.find("]init bfg log failed!!!\n"), std::string::npos);
    EXPECT_TRUE(is_zero(g_st_global.st_wifi_log));
    EXPECT_TRUE(is_zero(g_st_global.st_me_log));
    EXPECT_EQ(g_memdump_type_table[0].max_num, 3u);

    // Setting names must fit their 40-byte field.
    oam_log_int_cfg cfg{};
    EXPECT_EQ(oam_init_log_int_var(&cfg, std::string(40, 'v').c_str(), 1, 1), -1);
    oam_log_desc desc{};
    EXPECT_EQ(oam_init_log(&desc, "x_", nullptr, "s", "n", "p", "/d/"), -1);
}
