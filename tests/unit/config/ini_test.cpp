#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/ini.h"
#include "config/ini_internal.h"
#include "config_test_util.h"
#include "common/oam_driver.h"

namespace {

class IniFile : public testing::Test {
protected:
    void SetUp() override { dir_ = make_temp_dir(); }

    // Writes content to a fresh file and looks var up in section tag.  The
    // result is the value found, or "!" and what the buffer holds after a
    // failure.
    std::string find(const std::string &content, const char *var, int tag = INI_TAG_HOST_PLAT,
                     uint32_t size = 80)
    {
        std::string path = dir_ + "/ini_" + std::to_string(++files_);
        write_file(path, content);
        char value[128];
        std::memset(value, 'Q', sizeof(value));
        value[sizeof(value) - 1] = '\0';
        int ret = ini_find_var_value_by_path(path.c_str(), tag, var, value, size);
        return (ret == 0 ? "" : "!") + std::string(value);
    }

    std::string dir_;
    int files_ = 0;
};

}  // namespace

TEST_F(IniFile, FindsNameEqualsValueAtTheStartOfALine)
{
    EXPECT_EQ(find("[HOST_PLAT]\nlog_num_device_wifi=5\n", "log_num_device_wifi"), "5");
    // Comments, blank-led lines, and a header followed by text.
    EXPECT_EQ(find("# [HOST_PLAT]\n[HOST_PLAT] # platform\n#a=1\n a=2\n\na=3\n", "a"), "3");
    EXPECT_EQ(find("[HOST_PLAT]\n#a=1\n a=2\n", "a"), "!");
    EXPECT_EQ(find(" [HOST_PLAT]\na=1\n", "a"), "!");
    // The name must be followed directly by "=".
    EXPECT_EQ(find("[HOST_PLAT]\na =1\n", "a"), "!");
    EXPECT_EQ(find("[HOST_PLAT]\na 1\n", "a"), "!");
    EXPECT_EQ(find("[HOST_PLAT]\nab=3\na\na=4\n", "a"), "4");
}

TEST_F(IniFile, SectionsEndAtTheNextHeaderAndAtTheDeviceFence)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(find("[HOST_PLAT]\nx=1\n[HOST_IR]\na=2\n", "a"), "!");
    std::string out = captured();
    EXPECT_NE(out.find("]not find a!!!, check if var in correct mode\n"), std::string::npos) << out;
    EXPECT_EQ(find("[HOST_PLAT]\nx=1\n[HOST_IR]\na=2\n", "a", INI_TAG_HOST_IR), "2");

    const std::string twice = "[HOST_PLAT]\na=1\na=2\n[HOST_PLAT]\nb=3\n";
    EXPECT_EQ(find(twice, "a"), "1");
    EXPECT_EQ(find(twice, "b"), "!");

    testing::internal::CaptureStdout();
    EXPECT_EQ(find("[DEVICE_BFG_PLAT]\nz=1\n[HOST_PLAT]\na=1\n", "a"), "!");
    out = captured();
    EXPECT_NE(out.find("]not find [HOST_PLAT]!!!\n"), std::string::npos) << out;
    EXPECT_EQ(find("# see [DEVICE_BFG_PLAT] below\n[HOST_PLAT]\na=1\n", "a"), "!");
    EXPECT_EQ(find("[DEVICE_BFG_PLAT]\nz=12\n", "z", INI_TAG_DEVICE_BFG_PLAT), "!");
    EXPECT_EQ(find("[HOST_PLAT]\na=17\n[DEVICE_BFG_PLAT]\n", "a"), "17");

    for (int tag : {256, 271}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(find("[HOST_PLAT]\na=1\n", "a", tag), "!");
        out = captured();
        EXPECT_NE(out.find(tag == 256 ? "]not suport tag type:100!!!\n" : "]not suport tag type:10f!!!\n"),
                  std::string::npos);
    }
}

TEST_F(IniFile, ValuesAreCheckedAndTrimmed)
{
    EXPECT_EQ(find("[HOST_PLAT]\na=val   \n", "a"), "val");
    EXPECT_EQ(find("[HOST_PLAT]\na=two words \t x \r\n", "a"), "two words \t x");
    EXPECT_EQ(find("[HOST_PLAT]\na=12", "a"), "12");
    EXPECT_EQ(find("[HOST_PLAT]\na=12 ", "a"), "!");

    testing::internal::CaptureStdout();
    EXPECT_EQ(find("[HOST_PLAT]\na= val\n", "a"), "!");
    std::string out = captured();
    EXPECT_NE(out.find("]:: val\n has blank space or is blank::\n"), std::string::npos) << out;

    // The line end counts towards the minimum length; a short value stays.
    testing::internal::CaptureStdout();
    EXPECT_EQ(find("[HOST_PLAT]\na=1", "a"), "!1");
    out = captured();
    EXPECT_NE(out.find("]ini_check_value fail, puc_value length 1 < 2(min len)\n\n"), std::string::npos);
    EXPECT_EQ(find("[HOST_PLAT]\na=1\n", "a"), "1");
    EXPECT_EQ(find("[HOST_PLAT]\na=\n", "a"), "!\n");
    EXPECT_EQ(find("[HOST_PLAT]\na=\r\n", "a"), "!");

    // Cut to the capacity less one, without error.
    EXPECT_EQ(find("[HOST_PLAT]\na=abcdef\n", "a", INI_TAG_HOST_PLAT, 4), "abc");
}

TEST_F(IniFile, CrLfAndLoneCrLineEnds)
{
    const std::string lf = "# comment\n[HOST_PLAT]\n#x=0\nab=1\na=val  \nb=22\n[HOST_IR]\nc=3\n";
    std::string crlf;
    for (char c : lf) {
        crlf += c == '\n' ? "\r\n" : std::string(1, c);
    }
    for (const std::string &content : {lf, crlf}) {
        EXPECT_EQ(find(content, "a"), "val");
        EXPECT_EQ(find(content, "b"), "22");
        EXPECT_EQ(find(content, "x"), "!");
        EXPECT_EQ(find(content, "c"), "!");
        EXPECT_EQ(find(content, "c", INI_TAG_HOST_IR), "3");
    }

    // A lone CR ends a line that does not match; the scan resumes behind it.
    EXPECT_EQ(find("[HOST_PLAT]\n#comment\ra=9\n", "a"), "9");
    EXPECT_EQ(find("#top\r[HOST_PLAT]\n#c\ra=8\r\n", "a"), "8");
}

TEST_F(IniFile, OnlyTheHeadOfAnOverlongLineCanMatch)
{
    const std::string comment = "#" + std::string(190, 'x');
    EXPECT_EQ(find("[HOST_PLAT]\n" + comment + "xa=5\nb=1\n", "a"), "!");
    EXPECT_EQ(find("[HOST_PLAT]\n" + comment + "xa=5\r\nb=1\n", "b"), "1");
    const std::string header = "[HOST_PLAT]" + std::string(180, ' ');
    EXPECT_EQ(find(header + "a=5\nb=2\n", "a"), "!");
    EXPECT_EQ(find(header + "a=5\nb=2\n", "b"), "2");
    EXPECT_EQ(find("[HOST_PLAT]\nlong=" + std::string(200, 'v') + "\n", "long"), std::string(79, 'v'));
    // A longer name that fills a whole piece: its tail is not read as a line.
    EXPECT_EQ(find("[HOST_PLAT]\na" + std::string(190, 'x') + "a=5\nb=1\n", "a"), "!");
    EXPECT_EQ(find("[HOST_PLAT]\na" + std::string(190, 'x') + "a=5\nb=1\n", "b"), "1");
}

TEST_F(IniFile, BadArgumentsAndMissingFilesLeaveTheBufferAlone)
{
    const std::string ok = dir_ + "/ok";
    write_file(ok, "[HOST_PLAT]\na=1\n");
    char value[16] = "keep";
    EXPECT_EQ(ini_find_var_value_by_path(ok.c_str(), INI_TAG_HOST_PLAT, nullptr, value, 16), -1);
    EXPECT_EQ(ini_find_var_value_by_path(ok.c_str(), INI_TAG_HOST_PLAT, "", value, 16), -1);
    EXPECT_EQ(ini_find_var_value_by_path(ok.c_str(), INI_TAG_HOST_PLAT, "a", nullptr, 16), -1);
    EXPECT_EQ(ini_find_var_value_by_path(ok.c_str(), INI_TAG_HOST_PLAT, "a", value, 0), -1);
    EXPECT_EQ(ini_find_var_value_by_path(nullptr, INI_TAG_HOST_PLAT, "a", value, 16), -1);
    EXPECT_EQ(ini_find_var_value_by_path((dir_ + "/absent").c_str(), INI_TAG_HOST_PLAT, "a", value, 16), -1);
    EXPECT_STREQ(value, "keep");

    // The lock is free again after every kind of return.
    EXPECT_EQ(pthread_mutex_trylock(&g_ini_mutex), 0);
    pthread_mutex_unlock(&g_ini_mutex);
}

// Lookups through the published path: the sysfs node names the vendor file,
// the customer file overrides it key by key.
class IniPublished : public testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_temp_dir();
        reset_ini_state();
    }
    void TearDown() override { reset_ini_state(); }

    std::string dir_;
};

TEST_F(IniPublished, PathIsReadOnceAndAlwaysTerminated)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_ini_file_path(), nullptr);
    std::string out = captured();
    EXPECT_NE(out.find(std::string("]open ") + OAM_INI_PATH_NODE + " failed:"), std::string::npos) << out;

    // Garbage longer than the buffer is cut, never read past.
    publish_ini_path(std::string(200, 'g'));
    const char *path = get_ini_file_path();
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path), std::string(INI_PATH_LEN - 1, 'g'));

    // Served from the cache once read.
    publish_ini_path("/elsewhere");
    EXPECT_EQ(std::string(get_ini_file_path()), std::string(INI_PATH_LEN - 1, 'g'));

    reset_ini_state();
    publish_ini_path("");
    EXPECT_EQ(get_ini_file_path(), nullptr);
    publish_ini_path(dir_ + "/vendor.ini");
    EXPECT_EQ(std::string(get_ini_file_path()), dir_ + "/vendor.ini");
}

TEST_F(IniPublished, CustomerFileOverridesKeyByKey)
{
    write_file(dir_ + "/vendor.ini", "[HOST_PLAT]\na=2\nb=3\nc=4\n");
    publish_ini_path(dir_ + "/vendor.ini");

    // Without the published path at start the customer file is never asked.
    write_cust_file("[HOST_PLAT]\na=1\nc= 9\n");
    char value[80] = {};
    EXPECT_EQ(get_cust_conf_string(INI_TAG_HOST_PLAT, "a", value, sizeof(value)), 0);
    EXPECT_STREQ(value, "2");

    init_ini_file_path();
    EXPECT_STREQ(g_ini_cust_file_path, OAM_INI_CUST_FILE);
    EXPECT_EQ(std::string(g_ini_file_path), dir_ + "/vendor.ini");
    EXPECT_EQ(get_cust_conf_string(INI_TAG_HOST_PLAT, "a", value, sizeof(value)), 0);
    EXPECT_STREQ(value, "1");
    EXPECT_EQ(get_cust_conf_string(INI_TAG_HOST_PLAT, "b", value, sizeof(value)), 0);
    EXPECT_STREQ(value, "3");
    // A value the customer file gets wrong falls back to the vendor one.
    EXPECT_EQ(get_cust_conf_string(INI_TAG_HOST_PLAT, "c", value, sizeof(value)), 0);
    EXPECT_STREQ(value, "4");
    EXPECT_EQ(get_cust_conf_string(INI_TAG_HOST_PLAT, "d", value, sizeof(value)), -1);
    EXPECT_STREQ(value, "");

    EXPECT_EQ(get_cust_conf_string(INI_TAG_HOST_PLAT, nullptr, value, sizeof(value)), -1);
    EXPECT_EQ(get_cust_conf_string(INI_TAG_HOST_PLAT, "a", nullptr, sizeof(value)), -1);

    // A published file that is gone.
    reset_ini_state();
    publish_ini_path(dir_ + "/gone.ini");
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_cust_conf_string(INI_TAG_HOST_PLAT, "b", value, sizeof(value)), -1);
    std::string out = captured();
    EXPECT_NE(out.find("] " + dir_ + "/gone.ini not exist!!!\n"), std::string::npos) << out;

    reset_ini_state();
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_cust_conf_string(INI_TAG_HOST_PLAT, "b", value, sizeof(value)), -1);
    out = captured();
    EXPECT_NE(out.find("]para file_path is NULL\n\n"), std::string::npos) << out;
    EXPECT_NE(out.find("]  not exist!!!\n"), std::string::npos) << out;
}

TEST_F(IniPublished, IntegersAreConvertedFromDecimalOrHex)
{
    write_file(dir_ + "/vendor.ini",
               "[HOST_PLAT]\nh1=0x1F\nh2=0X10\nneg=-3\nmix=12abc\nbad=abc\nhmax=0xFFFFFFFF\n");
    publish_ini_path(dir_ + "/vendor.ini");

    int32_t v = 77;
    EXPECT_EQ(get_cust_conf_int32(INI_TAG_HOST_PLAT, "h1", &v), 0);
    EXPECT_EQ(v, 31);
    EXPECT_EQ(get_cust_conf_int32(INI_TAG_HOST_PLAT, "h2", &v), 0);
    EXPECT_EQ(v, 16);
    EXPECT_EQ(get_cust_conf_int32(INI_TAG_HOST_PLAT, "neg", &v), 0);
    EXPECT_EQ(v, -3);
    EXPECT_EQ(get_cust_conf_int32(INI_TAG_HOST_PLAT, "mix", &v), 0);
    EXPECT_EQ(v, 12);
    EXPECT_EQ(get_cust_conf_int32(INI_TAG_HOST_PLAT, "hmax", &v), 0);
    EXPECT_EQ(v, -1);

    v = 77;
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_cust_conf_int32(INI_TAG_HOST_PLAT, "bad", &v), -1);
    std::string out = captured();
    // The reason is this value's, never an earlier call's errno.
    EXPECT_NE(out.find("]bad trans to int failed:Invalid argument\n"), std::string::npos) << out;
    EXPECT_EQ(v, 77);
    EXPECT_EQ(get_cust_conf_int32(INI_TAG_HOST_PLAT, "none", &v), -1);
    EXPECT_EQ(v, 77);
    EXPECT_EQ(get_cust_conf_int32(INI_TAG_HOST_PLAT, nullptr, &v), -1);
    EXPECT_EQ(get_cust_conf_int32(INI_TAG_HOST_PLAT, "h1", nullptr), -1);
}
