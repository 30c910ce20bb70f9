// Compressed history: rotated files become synced zstd frames of their
// bytes, a frame never takes the place of another, and the budget waits
// for the compressor before it counts a rotated file.
#include "common/oam_driver.h"
#include "logcapture/log_budget.h"
#include "logcapture/log_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zstd.h>

namespace fs = std::filesystem;

namespace {

// What a sync of a ".zst.tmp" does besides syncing: fail, or let the
// plain file be replaced while the frame is being written.
enum class on_sync { none, fail, replace };
on_sync g_on_sync = on_sync::none;
std::vector<std::string> g_synced;
std::string g_dir;
// The removal of the file of this name fails once it is there.
std::string g_unlink_fails;

}  // namespace

extern "C" int unlink(const char *path)
{
    if (!g_unlink_fails.empty() && g_dir + g_unlink_fails == path && access(path, F_OK) == 0) {
        g_unlink_fails.clear();
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_unlinkat, AT_FDCWD, path, 0));
}

// Every sync of the test binary passes here.
extern "C" int fsync(int fd)
{
    char link[64];
    char path[PATH_MAX] = {};
    (void)snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof(path) - 1);
    const std::string name = n > 0 ? std::string(path, static_cast<size_t>(n)) : "";
    g_synced.push_back(name);
    if (name.size() > 8 && name.compare(name.size() - 8, 8, ".zst.tmp") == 0) {
        if (g_on_sync == on_sync::fail) {
            errno = EIO;
            return -1;
        }
        if (g_on_sync == on_sync::replace) {
            std::ofstream(g_dir + "other", std::ios::binary) << "another file";
            (void)rename((g_dir + "other").c_str(), (g_dir + "wifi_log_2").c_str());
        }
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

std::string bytes(size_t len, bool random)
{
    std::string out(len, 'r');
    uint32_t x = 2463534242U;
    for (size_t i = 0; random && i < len; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x);
    }
    return out;
}

void put(const std::string &path, const std::string &data)
{
    std::ofstream(path, std::ios::binary) << data;
}

std::string get(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string unzst(const std::string &path)
{
    const std::string frame = get(path);
    const unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN) {
        return "not a frame";
    }
    std::string out(static_cast<size_t>(size), '\0');
    const size_t n = ZSTD_decompress(out.data(), out.size(), frame.data(), frame.size());
    return ZSTD_isError(n) ? "damaged" : out;
}

class Compress : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/compress.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        g_dir = std::string(tmpl) + "/";
        saved = g_log_budget;
        g_log_budget = {0, 0, {OAM_SHARE_DEFAULT, OAM_SHARE_DEFAULT, OAM_SHARE_DEFAULT}, 1, 3, 1};
        oam_log_desc &d = g_st_global.st_wifi_log;
        d = {};
        d.name = "wifi_log_";
        d.log_switch.value = 1;
        d.size.value = 1024 * 1024;
        d.num.value = 25;
        std::memcpy(d.path.value, g_dir.c_str(), g_dir.size() + 1);
        g_st_global.st_bfg_log = {};
        g_st_global.st_me_log = {};
        oam_compress_reset();
        g_on_sync = on_sync::none;
        g_synced.clear();
    }
    void TearDown() override
    {
        g_on_sync = on_sync::none;
        g_log_budget = saved;
        g_st_global.st_wifi_log = {};
        fs::remove_all(g_dir);
    }
    static std::vector<std::string> names()
    {
        std::vector<std::string> out;
        for (const auto &e : fs::directory_iterator(g_dir)) {
            out.push_back(e.path().filename());
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    oam_log_budget_cfg saved {};
};

TEST_F(Compress, RotatedFilesBecomeSyncedFramesOfTheirBytes)
{
    put(g_dir + "wifi_log_1", "current");
    put(g_dir + "wifi_log_2", bytes(300000, true));
    put(g_dir + "wifi_log_3", bytes(5000, false));
    oam_compress_pass();
    EXPECT_EQ(names(), (std::vector<std::string> {"wifi_log_1", "wifi_log_2.zst", "wifi_log_3.zst"}));
    EXPECT_TRUE(unzst(g_dir + "wifi_log_2.zst") == bytes(300000, true));
    EXPECT_TRUE(unzst(g_dir + "wifi_log_3.zst") == bytes(5000, false));
    // Each frame is on storage before it takes the plain file's place.
    for (const char *tmp : {"wifi_log_2.zst.tmp", "wifi_log_3.zst.tmp"}) {
        EXPECT_NE(std::find(g_synced.begin(), g_synced.end(), g_dir + tmp), g_synced.end()) << tmp;
    }
}

// A frame that cannot be made whole, or whose plain file was replaced
// meanwhile, leaves the plain file as it is and no part behind.
TEST_F(Compress, WhatCannotBeCommittedLeavesThePlainFileAndNoPart)
{
    for (const on_sync how : {on_sync::fail, on_sync::replace}) {
        put(g_dir + "wifi_log_2", "the records");
        oam_compress_reset();
        g_on_sync = how;
        oam_compress_pass();
        g_on_sync = on_sync::none;
        EXPECT_EQ(names(), std::vector<std::string> {"wifi_log_2"});
        EXPECT_EQ(get(g_dir + "wifi_log_2"), how == on_sync::fail ? "the records" : "another file");
    }
}

// A removal that fails leaves the part or the plain file until the next
// pass, which takes it away: no part stays, no record is kept twice.
TEST_F(Compress, AFailedRemovalIsDoneAtTheNextPass)
{
    struct row {
        on_sync sync;
        const char *fails;
        std::vector<std::string> left;
        const char *after;  // a file that failed is not compressed again
    };
    for (const row &r :
         {row {on_sync::fail, "wifi_log_2.zst.tmp", {"wifi_log_2", "wifi_log_2.zst.tmp"}, "wifi_log_2"},
          row {on_sync::none, "wifi_log_2", {"wifi_log_2", "wifi_log_2.zst"}, "wifi_log_2.zst"}}) {
        put(g_dir + "wifi_log_2", "the records");
        oam_compress_reset();
        g_on_sync = r.sync;
        g_unlink_fails = r.fails;
        testing::internal::CaptureStdout();
        oam_compress_pass();
        const std::string out = testing::internal::GetCapturedStdout();
        g_on_sync = on_sync::none;
        EXPECT_EQ(names(), r.left);
        EXPECT_EQ(out.find("wifi_log_2 not removed beside its frame: Input/output error") != std::string::npos,
                  r.sync == on_sync::none)
            << out;
        oam_compress_pass();
        EXPECT_EQ(names(), std::vector<std::string>(1, r.after));
        fs::remove(g_dir + r.after);
    }
}

// The stop takes every part away and no new one is made behind it.
TEST_F(Compress, TheStopLeavesNoPart)
{
    put(g_dir + "wifi_log_2", "the records");
    put(g_dir + "wifi_log_3.zst.tmp", "a part");
    oam_compress_reset();
    oam_compress_stop();
    EXPECT_EQ(names(), std::vector<std::string>(1, "wifi_log_2"));
    oam_compress_pass();
    EXPECT_EQ(names(), std::vector<std::string>(1, "wifi_log_2"));
    oam_compress_reset();
}

// A compressed file already there under the number is never replaced:
// the same frame is what a stop between the two steps left, another is
// older history and moves up with all behind it.
TEST_F(Compress, AFrameNeverTakesThePlaceOfAnother)
{
    put(g_dir + "wifi_log_2", "A records");
    put(g_dir + "wifi_log_3", "C records");
    oam_compress_pass();
    put(g_dir + "wifi_log_2", "B records");  // rotated by a build that moved plain files only
    oam_compress_reset();
    oam_compress_pass();
    EXPECT_EQ(names(), (std::vector<std::string> {"wifi_log_2.zst", "wifi_log_3.zst", "wifi_log_4.zst"}));
    EXPECT_EQ(unzst(g_dir + "wifi_log_2.zst"), "B records");
    EXPECT_EQ(unzst(g_dir + "wifi_log_3.zst"), "A records");
    EXPECT_EQ(unzst(g_dir + "wifi_log_4.zst"), "C records");

    put(g_dir + "wifi_log_2", "B records");
    oam_compress_reset();
    oam_compress_pass();
    EXPECT_EQ(names(), (std::vector<std::string> {"wifi_log_2.zst", "wifi_log_3.zst", "wifi_log_4.zst"}));
    EXPECT_EQ(unzst(g_dir + "wifi_log_2.zst"), "B records");
}

// A rotation with compression off: the compressed files an earlier run left
// move with the plain ones, and the file at the count limit drops out in
// either form; a number still taken (a count behind the files there) is
// never renamed over: the shift stops and every file keeps its bytes.
struct rotation_case {
    const char *name;
    int32_t num;
    int32_t file_count;
    std::vector<std::pair<std::string, std::string>> before;  // file: bytes
    int rc;
    std::vector<std::pair<std::string, std::string>> after;
};

class CompressRotation : public Compress, public ::testing::WithParamInterface<rotation_case> {};

TEST_P(CompressRotation, MovesBothFormsAndNeverOverAFile)
{
    const rotation_case &c = GetParam();
    g_log_budget.compress = 0;
    oam_log_desc &d = g_st_global.st_wifi_log;
    d.num.value = c.num;
    d.file_count = c.file_count;
    for (const auto &[file, bytes] : c.before) {
        put(g_dir + file, bytes);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(rename_old_file(&d), c.rc);
    (void)testing::internal::GetCapturedStdout();
    std::vector<std::string> expected;
    for (const auto &[file, bytes] : c.after) {
        expected.push_back(file);
        EXPECT_EQ(get(g_dir + file), bytes) << file;
    }
    EXPECT_EQ(names(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CompressRotation,
    ::testing::Values(
        rotation_case {"both_forms_move",
                       4,
                       4,
                       {{"wifi_log_1", "n1"}, {"wifi_log_2.zst", "z2"}, {"wifi_log_3", "p3"}, {"wifi_log_4.zst", "z4"}},
                       0,
                       {{"wifi_log_2", "n1"}, {"wifi_log_3.zst", "z2"}, {"wifi_log_4", "p3"}}},
        rotation_case {"never_over_a_file_there",
                       5,
                       2,
                       {{"wifi_log_1", "n1"}, {"wifi_log_2", "p2"}, {"wifi_log_3", "p3"}},
                       -1,
                       {{"wifi_log_1", "n1"}, {"wifi_log_2", "p2"}, {"wifi_log_3", "p3"}}}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

// A share below one file: a rotated file waits for the compressor, then
// counts for what it takes compressed, or in full when it could not be
// compressed.
TEST_F(Compress, ARotatedFileWaitsForTheCompressorBeforeItCounts)
{
    g_log_budget.max_use_mib = 1;
    oam_log_desc &d = g_st_global.st_wifi_log;
    d.size.value = 2 * 1024 * 1024;
    struct row {
        bool random;
        on_sync sync;
        bool kept;
    };
    for (const row &r : {row {false, on_sync::none, true}, row {true, on_sync::none, false},
                         row {false, on_sync::fail, false}}) {
        oam_compress_reset();
        put(g_dir + "wifi_log_1", bytes(1536 * 1024, r.random));
        for (int rotation = 0; rotation < 2; ++rotation) {
            // The rotation of a full file 1, and the checks around it.
            pthread_mutex_lock(&g_log_files_mutex);
            oam_budget_before_rotate();
            ASSERT_EQ(rename_old_file(&d), 0);
            put(g_dir + "wifi_log_1", "current");
            oam_budget_after_rotate(&d);
            pthread_mutex_unlock(&g_log_files_mutex);
            EXPECT_TRUE(fs::exists(g_dir + "wifi_log_2"));
            // The second time round the compressor has been through once.
            g_on_sync = r.sync;
            oam_compress_pass();
            g_on_sync = on_sync::none;
            const std::vector<std::string> kept = {"wifi_log_1", "wifi_log_2.zst"};
            EXPECT_EQ(names(), r.kept ? kept : std::vector<std::string>(1, "wifi_log_1"));
            fs::remove(g_dir + "wifi_log_2.zst");
            put(g_dir + "wifi_log_1", bytes(1536 * 1024, r.random));
        }
    }
}

// Short of free space, the floor takes a rotated file the compressor has
// yet to take: it does not wait.
TEST_F(Compress, TheFreeSpaceFloorDoesNotWait)
{
    g_log_budget.keep_free_mib = 1 << 30;
    fs::create_directories(OAM_LOG_ROOT_DIR);  // the folder whose free space it measures
    put(g_dir + "wifi_log_1", "current");
    put(g_dir + "wifi_log_2", "rotated");
    testing::internal::CaptureStdout();
    pthread_mutex_lock(&g_log_files_mutex);
    oam_budget_before_rotate();
    pthread_mutex_unlock(&g_log_files_mutex);
    (void)testing::internal::GetCapturedStdout();
    EXPECT_EQ(names(), std::vector<std::string>(1, "wifi_log_1"));
}

}  // namespace
