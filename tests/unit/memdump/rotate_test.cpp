#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/oam_global.h"
#include "memdump/memdump.h"
#include "memdump/memdump_internal.h"
#include "memdump_test_util.h"

using namespace memdump_test;
namespace fs = std::filesystem;

namespace {

// Set: the refusing rename fails so, as without the flag (EINVAL) or the call (ENOSYS).
int g_renameat2_errno;

}  // namespace

extern "C" int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned int flags) noexcept
{
    if (g_renameat2_errno != 0) {
        errno = g_renameat2_errno;
        return -1;
    }
    return static_cast<int>(syscall(SYS_renameat2, from_dir, from, to_dir, to, flags));
}

namespace {

constexpr const char *PREFIX = "readm_wifi_sdio";

class Rotation : public CwdKeeper {
protected:
    void SetUp() override
    {
        CwdKeeper::SetUp();
        dir_ = make_temp_dir("rotate");
    }
    void TearDown() override
    {
        g_renameat2_errno = 0;
        CwdKeeper::TearDown();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // An archive of the dated scheme; its content is its original name, so
    // that every move can be followed.
    std::string put_archive(int minute, int number)
    {
        char stem[64];
        std::snprintf(stem, sizeof(stem), "%s_2026_01_01_00_%02d_00", PREFIX, minute);
        std::string name = std::string(stem) + (number > 0 ? "." + std::to_string(number) : "") + ".tar.gz";
        write_file(dir_ + "/" + name, name);
        return name;
    }

    std::string dir_;
};

std::string dated_name(int minute, int number)
{
    char stem[64];
    std::snprintf(stem, sizeof(stem), "%s_2026_01_01_00_%02d_00", PREFIX, minute);
    return std::string(stem) + (number > 0 ? "." + std::to_string(number) : "") + ".tar.gz";
}

// prefix, then "dddd_dd_dd_dd_dd_dd", then the tail.
bool is_dated(const std::string &name, const std::string &prefix, const std::string &tail)
{
    const std::string shape = "dddd_dd_dd_dd_dd_dd";
    if (name.size() != prefix.size() + shape.size() + tail.size() || name.rfind(prefix, 0) != 0 ||
        name.substr(prefix.size() + shape.size()) != tail) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); i++) {
        char c = name[prefix.size() + i];
        if (shape[i] == 'd' ? (c < '0' || c > '9') : c != '_') {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST_F(Rotation, TenArchivesStayTenWithTheOldestDeleted)
{
    // Newest at minute 10, number k made at minute 10 - k.
    std::map<std::string, std::string> before;
    before[put_archive(10, 0)] = dated_name(10, 0);
    for (int k = 1; k <= 9; k++) {
        before[put_archive(10 - k, k)] = dated_name(10 - k, k);
    }
    write_file(dir_ + "/readm_wifi_sdio_wifi_device_pkt_mem.bin", "dump");

    testing::internal::CaptureStdout();
    EXPECT_EQ(file_rotate(dir_.c_str(), PREFIX, ".tar.gz", 10, 0), 0);
    std::string out = captured_stdout();

    std::map<std::string, std::string> expected;
    expected[dated_name(10, 1)] = dated_name(10, 0);
    for (int k = 1; k <= 8; k++) {
        expected[dated_name(10 - k, k + 1)] = dated_name(10 - k, k);
    }
    expected["readm_wifi_sdio_wifi_device_pkt_mem.bin"] = "dump";
    EXPECT_EQ(dir_contents(dir_), expected);
    // At index 0 the numbered archives 2..9 are reported and left alone.
    EXPECT_EQ(count_of(out, "does not fit\n"), 8U) << out;
    EXPECT_EQ(fs::current_path(), fs::path(dir_));
}

TEST_F(Rotation, CountsHighNumbersButNeverTouchesThem)
{
    put_archive(30, 0);
    put_archive(29, 1);
    put_archive(26, 4);
    put_archive(20, 10);
    put_archive(19, 11);
    put_archive(5, 10);  // a second archive numbered 10

    testing::internal::CaptureStdout();
    EXPECT_EQ(file_rotate(dir_.c_str(), PREFIX, ".tar.gz", 10, 0), 0);
    std::string out = captured_stdout();

    // Number 2 is the lowest free one: only the archives below it move.
    std::map<std::string, std::string> expected = {
        {dated_name(30, 1), dated_name(30, 0)},   {dated_name(29, 2), dated_name(29, 1)},
        {dated_name(26, 4), dated_name(26, 4)},   {dated_name(20, 10), dated_name(20, 10)},
        {dated_name(19, 11), dated_name(19, 11)}, {dated_name(5, 10), dated_name(5, 10)},
    };
    EXPECT_EQ(dir_contents(dir_), expected);
    EXPECT_NE(out.find(dated_name(20, 10) + " does not fit"), std::string::npos) << out;
}

// Gaps in the numbers (an archive that failed or was removed) and archives
// of the same second: a rename never lands on an archive that is there, with
// or without the system's own refusal to replace.
class RotationFallback : public Rotation, public testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(Renames, RotationFallback, testing::Values(0, EINVAL, ENOSYS));

TEST_P(RotationFallback, NeverReplacesAnArchive)
{
    g_renameat2_errno = GetParam();
    struct scenario {
        std::vector<int> numbers;  // all made in the same second
        std::map<int, int> moves;  // number before -> number after
    };
    const scenario cases[] = {
        // The newest failed: nothing needs to move for the next one.
        {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}, {9, 9}}},
        // A gap at 2: the archives above it stay.
        {{0, 1, 3, 4}, {{0, 1}, {1, 2}, {3, 3}, {4, 4}}},
    };
    for (const scenario &c : cases) {
        std::map<std::string, std::string> expected;
        for (int n : c.numbers) {
            expected[dated_name(7, c.moves.at(n))] = put_archive(7, n);
        }
        EXPECT_EQ(file_rotate(dir_.c_str(), PREFIX, ".tar.gz", 10, 0), 0);
        EXPECT_EQ(dir_contents(dir_), expected);
        std::error_code ec;
        fs::remove_all(dir_, ec);
        fs::create_directory(dir_);
    }

    // Two names that both contain ".1.tar.gz" would both become number 2:
    // whichever comes second is refused, and no file loses its bytes.
    std::multiset<std::string> contents = {put_archive(7, 0), put_archive(7, 1), "part"};
    write_file(dir_ + "/" + dated_name(7, 1) + ".part", "part");
    testing::internal::CaptureStdout();
    EXPECT_EQ(file_rotate(dir_.c_str(), PREFIX, ".tar.gz", 10, 0), 0);
    std::string out = captured_stdout();
    EXPECT_GE(count_of(out, " fail:errno:File exists\n"), 1U) << out;
    std::multiset<std::string> after;
    for (const auto &[name, content] : dir_contents(dir_)) {
        after.insert(content);
    }
    EXPECT_EQ(after, contents);
}

TEST_F(Rotation, RefusesArgumentsInOrder)
{
    struct refusal {
        const char *path;
        const char *prefix;
        const char *suffix;
        uint32_t max_num;
        int32_t has_date;
        const char *message;
    };
    const std::string long_path = "/" + std::string(128 - 6 - 1 - 7 - 1, 'd');  // 128 with the rest
    const refusal cases[] = {
        {nullptr, nullptr, nullptr, 0, 5, "path is null\n"},
        {"/x", nullptr, nullptr, 0, 5, "index is null\n"},
        {"/x", "p", nullptr, 0, 5, "name_suffix is null\n"},
        {"/x", "p", ".s", 0, 2, "name_has_date:2 is error\n"},
        {"/x", "p", ".s", 1, 1, "max_num:1 must >= 2\n"},
        {"/x", "p", ".s", 0, 0, "max_num:0 must >= 2\n"},
        {long_path.c_str(), "p", ".tar.gz", 2, 0, "input full path length:128 over the limit:128\n"},
    };
    for (const refusal &c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(file_rotate(c.path, c.prefix, c.suffix, c.max_num, c.has_date), -1) << c.message;
        std::string out = captured_stdout();
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_EQ(count_of(out, "\n"), 1U) << out;
    }

    // One character less is accepted and fails only at the directory.
    testing::internal::CaptureStdout();
    EXPECT_EQ(file_rotate(long_path.substr(1).c_str(), "p", ".tar.gz", 2, 0), -2);
    std::string out = captured_stdout();
    EXPECT_NE(out.find("check_num failed:-2\n"), std::string::npos) << out;

    // A negative scheme is found out only once something was counted.
    EXPECT_EQ(file_rotate(dir_.c_str(), PREFIX, ".tar.gz", 10, -1), 0);
    put_archive(1, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(file_rotate(dir_.c_str(), PREFIX, ".tar.gz", 10, -1), -1);
    out = captured_stdout();
    EXPECT_NE(out.find("do rotate failed:-1\n"), std::string::npos) << out;
    EXPECT_TRUE(fs::exists(dir_ + "/" + dated_name(1, 0)));
}

TEST(RotateInitInfo, FillsEveryFieldEvenAfterACopyFailed)
{
    file_rotate_info info;
    std::memset(&info, 0x5A, sizeof(info));
    const std::string long_prefix(200, 'p');
    testing::internal::CaptureStdout();
    file_rotate_init_info(&info, "/dir", long_prefix.c_str(), ".tar.gz", 10, 0);
    std::string out = captured_stdout();
    EXPECT_NE(out.find("file_rotate_init_info: snprintf_s failed.\n"), std::string::npos) << out;
    EXPECT_EQ(std::string(info.name_prefix), long_prefix.substr(0, 128));
    EXPECT_STREQ(info.name_suffix, ".tar.gz");
    EXPECT_STREQ(info.path, "/dir");
    EXPECT_EQ(info.cur_num, 0U);
    EXPECT_EQ(info.max_num, 10U);
    EXPECT_EQ(info.name_has_date, 0);
}

TEST_F(Rotation, PlainNumberedSchemeShiftsByConcatenatedNames)
{
    write_file(dir_ + "/log.txt", "current");
    write_file(dir_ + "/log.1.txt", "one");
    write_file(dir_ + "/log.2.txt", "two");
    const std::string slash_dir = dir_ + "/";

    // Limit reached: number 2 is replaced by its predecessor.
    EXPECT_EQ(file_rotate(slash_dir.c_str(), "log", ".txt", 3, 1), 0);
    EXPECT_EQ(dir_contents(dir_), (std::map<std::string, std::string>{{"log.1.txt", "current"},
                                                                        {"log.2.txt", "one"}}));

    write_file(dir_ + "/log.txt", "newer");
    testing::internal::CaptureStdout();
    EXPECT_EQ(file_rotate(slash_dir.c_str(), "log", ".txt", 5, 1), 0);
    std::string out = captured_stdout();
    EXPECT_EQ(dir_contents(dir_), (std::map<std::string, std::string>{
                                      {"log.1.txt", "newer"}, {"log.2.txt", "current"}, {"log.3.txt", "one"}}));
    EXPECT_EQ(out, "");

    testing::internal::CaptureStdout();
    EXPECT_EQ(file_do_rename((dir_ + "/absent").c_str(), (dir_ + "/other").c_str()), -1);
    out = captured_stdout();
    EXPECT_NE(out.find("rename: " + dir_ + "/absent ==> " + dir_ + "/other fail:errno:No such file"),
              std::string::npos)
        << out;
}

TEST(UpdateTimeStr, NeedsThirtyBytesAndWritesLocalTime)
{
    char buf[64];
    std::memset(buf, 'x', sizeof(buf));
    testing::internal::CaptureStdout();
    EXPECT_EQ(update_time_str(buf, 29), -1);
    EXPECT_EQ(update_time_str(nullptr, 30), -1);
    std::string out = captured_stdout();
    EXPECT_NE(out.find("arg err!:actual 29 < 30 \n"), std::string::npos) << out;
    EXPECT_NE(out.find("out_time_str address is null\n"), std::string::npos) << out;
    EXPECT_EQ(buf[0], 'x');

    auto text_at = [](time_t t) {
        struct tm local;
        localtime_r(&t, &local);
        char text[96];  // room for any int the compiler can imagine
        std::snprintf(text, sizeof(text), "%04d_%02d_%02d_%02d_%02d_%02d", local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        return std::string(text);
    };
    time_t before = time(nullptr);
    ASSERT_EQ(update_time_str(buf, 30), 0);
    time_t after = time(nullptr);
    std::string text(buf);
    EXPECT_EQ(text.size(), 19U);
    EXPECT_TRUE(text == text_at(before) || text == text_at(after)) << text;
}

class MemdumpRotate : public CwdKeeper {};

TEST_F(MemdumpRotate, ArchivesEachDumpUnderItsTypeAndNumbersTheOlder)
{
    // The dump directory is the platform's; the sandbox's /vendor is empty.
    const std::string dump_dir = "/vendor/log/memdump";
    fs::create_directories(dump_dir);
    write_file(dump_dir + "/readm_wifi_sdio_wifi_device_panic_mem.bin", "panic");
    write_file(dump_dir + "/readm_wifi_sdio_wifi_device_pkt_mem.bin", pattern_bytes(3000, 3));
    write_file(dump_dir + "/readm_bfgx_uart_bcpu_itcm_mem.bin", "bfgx");

    testing::internal::CaptureStdout();
    EXPECT_EQ(memdump_file_rotate(6), -1);
    EXPECT_EQ(memdump_file_rotate(-1), -1);
    EXPECT_EQ(captured_stdout(), "");

    testing::internal::CaptureStdout();
    ASSERT_EQ(memdump_file_rotate(0), 0);
    std::string out = captured_stdout();
    EXPECT_NE(out.find("===memdump rotate begin:which=0\n"), std::string::npos) << out;
    EXPECT_TRUE(fs::is_directory("/vendor/log")) << "the log root is made on the way";

    const std::string newest = ".tar.gz";
    const std::string first = ".1.tar.gz";
    auto archives = [&](const std::string &tail) {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(dump_dir)) {
            std::string name = e.path().filename().string();
            if (is_dated(name, "readm_wifi_sdio_", tail)) {
                names.push_back(name);
            }
        }
        return names;
    };
    std::vector<std::string> found = archives(newest);
    ASSERT_EQ(found.size(), 1U);
    std::map<std::string, std::string> members;
    ASSERT_TRUE(parse_tar(gunzip_file(dump_dir + "/" + found[0]), &members));
    EXPECT_EQ(members, (std::map<std::string, std::string>{
                           {"readm_wifi_sdio_wifi_device_panic_mem.bin", "panic"},
                           {"readm_wifi_sdio_wifi_device_pkt_mem.bin", pattern_bytes(3000, 3)}}));
    EXPECT_TRUE(fs::exists(dump_dir + "/readm_wifi_sdio_wifi_device_panic_mem.bin")) << "dump files stay";

    // A second dump within the same second still gets its own archive.
    ASSERT_EQ(memdump_file_rotate(0), 0);
    EXPECT_EQ(archives(newest).size(), 1U);
    std::vector<std::string> older = archives(first);
    ASSERT_EQ(older.size(), 1U);
    EXPECT_EQ(older[0].substr(0, 35), found[0].substr(0, 35));

    // Type 1 has no dump files of its own: an archive of the end block only.
    ASSERT_EQ(memdump_file_rotate(1), 0);
    std::vector<std::string> uart = [&] {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(dump_dir)) {
            if (e.path().filename().string().rfind("readm_wifi_uart_", 0) == 0) {
                names.push_back(e.path().string());
            }
        }
        return names;
    }();
    ASSERT_EQ(uart.size(), 1U);
    EXPECT_EQ(gunzip_file(uart[0]), std::string(1024, '\0'));

    std::error_code ec;
    fs::remove_all("/vendor/log", ec);
}
