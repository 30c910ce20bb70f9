#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/oam_chip.h"
#include "platform/oam_chip_internal.h"
#include "common/oam_driver.h"

namespace {

std::string make_temp_dir()
{
    char tmpl[] = "/tmp/oam_chip_XXXXXX";
    const char *dir = mkdtemp(tmpl);
    EXPECT_NE(dir, nullptr);
    return dir != nullptr ? dir : "/tmp";
}

void write_file(const std::string &path, const std::string &content)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
    std::fclose(f);
}

std::string captured()
{
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(ChipNode, ReadsTheStartOfANodeAndKeepsItTerminated)
{
    std::string dir = make_temp_dir();

    write_file(dir + "/subchip", std::string("zr4002\0", 7));
    char buf[OAM_NODE_BUF_LEN] = {};
    EXPECT_EQ(oam_read_node_value((dir + "/subchip").c_str(), buf), 0);
    EXPECT_STREQ(buf, "zr4002");

    // A node longer than the buffer fills 23 bytes and leaves the last NUL.
    write_file(dir + "/long", std::string(60, 'z'));
    char full[OAM_NODE_BUF_LEN] = {};
    EXPECT_EQ(oam_read_node_value((dir + "/long").c_str(), full), 0);
    EXPECT_EQ(std::string(full), std::string(OAM_NODE_BUF_LEN - 1, 'z'));

    testing::internal::CaptureStdout();
    char missing[OAM_NODE_BUF_LEN] = {};
    EXPECT_EQ(oam_read_node_value((dir + "/absent").c_str(), missing), -1);
    write_file(dir + "/empty", "");
    EXPECT_EQ(oam_read_node_value((dir + "/empty").c_str(), missing), -1);
    std::string out = captured();
    EXPECT_EQ(out, "can't find the dev name {" + dir + "/absent}\nread " + dir + "/empty error");
    EXPECT_STREQ(missing, "");
}

TEST(ChipName, MatchesWholeTableNamesOnly)
{
    const int32_t ids[] = {0, 1, 2, 3, 4, 1000, 1001};
    for (int i = 0; i < OAM_CHIP_NUM; ++i) {
        EXPECT_EQ(oam_chip_id_by_name(g_chip_table[i].name), ids[i]);
    }
    EXPECT_STREQ(g_chip_table[5].name, "zr4060");
    for (const char *name : {"zr40021", "zr400", "zr4002\n", ""}) {
        EXPECT_EQ(oam_chip_id_by_name(name), CHIP_UNKNOWN) << name;
    }
}

TEST(ChipType, IsComputedOnceAndServedFromTheCache)
{
    g_sub_chip_type = CHIP_ZR4060;
    g_sub_chip_type_known = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_get_sub_chip_type(), CHIP_ZR4060);
    EXPECT_EQ(captured(), "");

    // The device-tree nodes live in the real procfs, which the sandbox cannot
    // populate; on a machine without them the unidentified path is taken.
    struct stat st {};
    if (stat("/proc/device-tree", &st) == 0) {
        GTEST_SKIP() << "this machine publishes a device tree";
    }
    g_sub_chip_type = CHIP_UNKNOWN;
    g_sub_chip_type_known = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_get_sub_chip_type(), CHIP_UNKNOWN);
    EXPECT_EQ(captured(), std::string("can't find the dev name {") + OAM_SUBCHIP_TYPE_NODE + "}\n" +
                              "can't find the dev name {" + OAM_SUBCHIP_NAME_NODE + "}\n" +
                              "read vexa sub_chiptype proc fail\n" + "property_get,vexa subchip_name={}\n" +
                              "vexa sub_chiptype not match!!\n");
    EXPECT_EQ(g_sub_chip_type_known, 1);

    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_get_sub_chip_type(), CHIP_UNKNOWN);
    EXPECT_EQ(captured(), "");
}
