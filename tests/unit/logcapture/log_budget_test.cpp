#include "logcapture/log_budget.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// One core as the rule sees it: bytes, oldest rotated file (bytes, number),
// share per ten thousand.
struct core_row {
    int64_t bytes;
    int64_t oldest_bytes;
    int32_t oldest_num;
    int64_t share;
};

struct pick_case {
    const char *name;
    std::array<core_row, OAM_BC_CORES> cores;
    int64_t budget;
    int expected;
};

class BudgetPick : public ::testing::TestWithParam<pick_case> {};

TEST_P(BudgetPick, TakesFromTheCoreFurthestAboveItsShare)
{
    const pick_case &c = GetParam();
    std::array<oam_budget_use, OAM_BC_CORES> use {};
    for (int k = 0; k < OAM_BC_CORES; ++k) {
        use[k] = {c.cores[k].bytes, c.cores[k].oldest_bytes, c.cores[k].oldest_num, false, c.cores[k].share};
    }
    EXPECT_EQ(oam_budget_pick(use.data(), OAM_BC_CORES, c.budget), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BudgetPick,
    ::testing::Values(
        // A flood in Wi-Fi takes its own oldest file first.
        pick_case {"FloodTakesItsOwn", {{{900, 10, 9, 2000}, {100, 10, 3, 4000}, {100, 10, 3, 4000}}}, 1000, 0},
        // Relative to the share: Wi-Fi holds less, but more of its part.
        pick_case {"RelativeToShare", {{{300, 10, 5, 2000}, {450, 10, 5, 4000}, {100, 10, 2, 4000}}}, 1000, 0},
        // Equal ratios: the larger core, then the first one.
        pick_case {"TieLargerCore", {{{200, 10, 5, 2000}, {400, 10, 5, 4000}, {400, 10, 5, 4000}}}, 500, 1},
        // A core at its floor keeps its files, however the others stand.
        pick_case {"AtFloorKept", {{{200, 10, 5, 2000}, {300, 10, 5, 4000}, {500, 10, 5, 4000}}}, 1000, 2},
        pick_case {"AllAtFloor", {{{200, 10, 5, 2000}, {400, 10, 5, 4000}, {400, 10, 5, 4000}}}, 1000, -1},
        // Only file 1 left: never taken, the next core pays.
        pick_case {"FileOneKept", {{{900, -1, 0, 2000}, {300, 10, 2, 4000}, {0, -1, 0, 4000}}}, 500, 1},
        pick_case {"OnlyFileOnes", {{{900, -1, 0, 2000}, {900, -1, 0, 4000}, {900, -1, 0, 4000}}}, 500, -1},
        // A disabled core (no share) has no floor and goes first.
        pick_case {"NoShareFirst", {{{900, 10, 9, 5000}, {10, 10, 2, 0}, {100, 10, 3, 5000}}}, 1000, 1},
        // Just above the floor by one byte is above it.
        pick_case {"OneByteAbove", {{{201, 10, 2, 2000}, {0, -1, 0, 4000}, {0, -1, 0, 4000}}}, 1000, 0},
        pick_case {"ExactlyAtFloor", {{{200, 10, 2, 2000}, {0, -1, 0, 4000}, {0, -1, 0, 4000}}}, 1000, -1}),
    [](const ::testing::TestParamInfo<pick_case> &row) { return std::string(row.param.name); });

struct share_case {
    const char *name;
    std::array<int32_t, OAM_BC_CORES> log_switch;
    std::array<int32_t, OAM_BC_CORES> num;
    std::array<int32_t, OAM_BC_CORES> min_share;
    std::array<int64_t, OAM_BC_CORES> expected;
};

class BudgetShares : public ::testing::TestWithParam<share_case> {};

TEST_P(BudgetShares, ConfiguredPercentElseThePartOfWhatTheCoresNeed)
{
    const share_case &c = GetParam();
    std::array<oam_log_desc, OAM_BC_CORES> desc {};
    std::array<const oam_log_desc *, OAM_BC_CORES> ptr {};
    for (int k = 0; k < OAM_BC_CORES; ++k) {
        desc[k].name = "x_";
        desc[k].log_switch.value = c.log_switch[k];
        desc[k].size.value = 1024;
        desc[k].num.value = c.num[k];
        ptr[k] = &desc[k];
    }
    std::array<int64_t, OAM_BC_CORES> share {};
    oam_budget_shares(ptr.data(), c.min_share.data(), share.data());
    EXPECT_EQ(share, c.expected);
}

constexpr int32_t D = OAM_SHARE_DEFAULT;

INSTANTIATE_TEST_SUITE_P(
    Rows, BudgetShares,
    ::testing::Values(
        // The user build's counts: 25, 50, 50 files of one size.
        share_case {"ByNeed", {1, 1, 1}, {25, 50, 50}, {D, D, D}, {2000, 4000, 4000}},
        share_case {"DisabledCoreNone", {1, 0, 1}, {25, 50, 50}, {D, D, D}, {3333, 0, 6666}},
        share_case {"GivenAndRest", {1, 1, 1}, {25, 50, 50}, {50, D, D}, {5000, 2500, 2500}},
        share_case {"GivenOverWhole", {1, 1, 1}, {25, 50, 50}, {70, 60, D}, {7000, 6000, 0}}),
    [](const ::testing::TestParamInfo<share_case> &row) { return std::string(row.param.name); });

void put(const fs::path &path, size_t len)
{
    std::ofstream(path, std::ios::binary) << std::string(len, 'x');
}

class BudgetFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/budget.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        saved = g_log_budget;
    }
    void TearDown() override
    {
        g_log_budget = saved;
        g_st_global.st_wifi_log = {};
        g_st_global.st_bfg_log = {};
        fs::remove_all(dir);
    }
    void core(oam_log_desc &d, const char *sub, const char *prefix, int32_t num)
    {
        d = {};
        d.name = prefix;
        d.log_switch.value = 1;
        d.size.value = 1024;
        d.num.value = num;
        const std::string path = dir + "/" + sub + "/";
        fs::create_directory(path);
        std::memcpy(d.path.value, path.c_str(), path.size() + 1);
    }
    std::string dir;
    oam_log_budget_cfg saved {};
};

TEST_F(BudgetFiles, ScanCountsNumberedFilesAndFindsTheOldest)
{
    const fs::path d = dir;
    put(d / "wifi_log_1", 10);
    put(d / "wifi_log_2", 5);
    put(d / "wifi_log_3.zst", 3);
    put(d / "wifi_log_3", 4);           // a stop between compressing and removing
    put(d / "wifi_log_4.zst.tmp", 100);  // being written
    put(d / "wifi_log_old", 7);
    put(d / "wifi_log_07", 7);
    put(d / "wifi_log_5.gz", 7);
    fs::create_directory(d / "wifi_log_9");
    oam_budget_use use {};
    ASSERT_EQ(oam_budget_scan(dir.c_str(), "wifi_log_", 0, &use), 0);
    EXPECT_EQ(use.bytes, 22);
    EXPECT_EQ(use.oldest_num, 3);
    EXPECT_FALSE(use.oldest_zst);
    EXPECT_EQ(use.oldest_bytes, 4);
    // Plain files the compressor has yet to take (2..3) neither count nor go.
    ASSERT_EQ(oam_budget_scan(dir.c_str(), "wifi_log_", 3, &use), 0);
    EXPECT_EQ(use.bytes, 13);
    EXPECT_EQ(use.oldest_num, 3);
    EXPECT_TRUE(use.oldest_zst);
    EXPECT_EQ(oam_budget_scan((dir + "/none").c_str(), "wifi_log_", 0, &use), -1);
}

// The byte budget over real files: the flooding core's oldest files go,
// each one journalled, until all fit; the other core and file 1 stay.
TEST_F(BudgetFiles, MaxUseRemovesTheFloodingCoresOldestUntilWithin)
{
    core(g_st_global.st_wifi_log, "wifi", "wifi_log_", 25);
    core(g_st_global.st_bfg_log, "bfg", "bfg_log_", 25);
    const fs::path w = dir + "/wifi";
    const fs::path b = dir + "/bfg";
    constexpr size_t KIB256 = 256 * 1024;
    for (int k = 1; k <= 6; ++k) {
        put(w / ("wifi_log_" + std::to_string(k)), KIB256);
    }
    put(b / "bfg_log_1", KIB256);
    put(b / "bfg_log_2", KIB256);
    g_log_budget.max_use_mib = 1;
    g_log_budget.active = 1;
    pthread_mutex_lock(&g_log_files_mutex);
    oam_budget_before_rotate();
    pthread_mutex_unlock(&g_log_files_mutex);
    // 2 MiB held, 1 MiB allowed: wifi 1..2 and bfg 1..2 remain.
    std::vector<std::string> left;
    for (const fs::path &p : {w, b}) {
        for (const auto &e : fs::directory_iterator(p)) {
            left.push_back(e.path().filename());
        }
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string> {"bfg_log_1", "bfg_log_2", "wifi_log_1", "wifi_log_2"}));

    // Over the budget once Wi-Fi is down to its file 1 and bfg at its floor:
    // said once, not at every check, and again only after it was met.
    put(w / "wifi_log_1", 4 * KIB256);
    std::string said;
    for (int round = 0; round < 3; ++round) {
        if (round == 2) {
            g_log_budget.max_use_mib = 4;  // met: the next shortfall is news
        }
        testing::internal::CaptureStdout();
        pthread_mutex_lock(&g_log_files_mutex);
        oam_budget_before_rotate();
        g_log_budget.max_use_mib = 1;
        oam_budget_before_rotate();
        pthread_mutex_unlock(&g_log_files_mutex);
        said += testing::internal::GetCapturedStdout();
    }
    size_t count = 0;
    for (size_t at = said.find("no log file may go to keep the logs within 1 MiB"); at != std::string::npos;
         at = said.find("no log file may go to keep the logs within 1 MiB", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 2U) << said;
    EXPECT_FALSE(fs::exists(w / "wifi_log_2"));
    EXPECT_TRUE(fs::exists(b / "bfg_log_2"));
}

// A dump's context holds records too: it counts against the byte budget.
TEST_F(BudgetFiles, ContextsCountAgainstTheByteBudget)
{
    core(g_st_global.st_wifi_log, "wifi", "wifi_log_", 25);
    core(g_st_global.st_bfg_log, "bfg", "bfg_log_", 25);
    constexpr size_t KIB256 = 256 * 1024;
    for (int k = 1; k <= 3; ++k) {
        put(fs::path(dir) / "wifi" / ("wifi_log_" + std::to_string(k)), KIB256);
    }
    put(fs::path(dir) / "bfg" / "bfg_log_1", KIB256);
    fs::create_directories("/vendor/log/memdump");
    put("/vendor/log/memdump/readm_wifi_sdio_2026_12_10_07_00_00.context", 2 * KIB256);
    put("/vendor/log/memdump/readm_wifi_sdio_2026_12_10_07_00_00.tar.gz", 4 * KIB256);
    g_log_budget.max_use_mib = 1;
    g_log_budget.active = 1;
    pthread_mutex_lock(&g_log_files_mutex);
    oam_budget_before_rotate();
    pthread_mutex_unlock(&g_log_files_mutex);
    fs::remove_all("/vendor/log/memdump");
    // 1.5 MiB held: Wi-Fi's oldest goes, and then it is at its floor.
    EXPECT_TRUE(fs::exists(fs::path(dir) / "wifi" / "wifi_log_2"));
    EXPECT_FALSE(fs::exists(fs::path(dir) / "wifi" / "wifi_log_3"));
    EXPECT_TRUE(fs::exists(fs::path(dir) / "bfg" / "bfg_log_1"));
}

// Said at the start, with the numbers, for the core whose share cannot
// hold one rotated file, and only for it.
TEST_F(BudgetFiles, WarnsOfAShareBelowOneRotatedFile)
{
    core(g_st_global.st_wifi_log, "wifi", "wifi_log_", 25);
    core(g_st_global.st_bfg_log, "bfg", "bfg_log_", 25);
    g_st_global.st_wifi_log.size.value = 2 * 1024 * 1024;
    g_log_budget.max_use_mib = 1;
    g_log_budget.min_share[OAM_BC_BFG] = 50;
    for (const int32_t compress : {0, 1}) {
        g_log_budget.compress = compress;
        testing::internal::CaptureStdout();
        oam_budget_check_shares();
        const std::string said = testing::internal::GetCapturedStdout();
        const std::string want = std::string("]wifi keeps 524288 bytes of log_max_use=1 MiB, less than one rotated "
                                             "file of 2097152 bytes: ") +
                                 (compress == 1 ? "its history is what fits compressed\n" : "no history is kept\n");
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find(want), std::string::npos) << said;
    }
    // A share of exactly one file holds it.
    g_st_global.st_wifi_log.size.value = 512 * 1024;
    testing::internal::CaptureStdout();
    oam_budget_check_shares();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
