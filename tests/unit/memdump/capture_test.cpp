#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "memdump/memdump.h"
#include "memdump/memdump_internal.h"
#include "memdump_test_util.h"
#include "platform/oam_chip.h"

using namespace memdump_test;
namespace fs = std::filesystem;

namespace {

std::string hdr32(uint32_t len)
{
    std::string s(4, '\0');
    std::memcpy(s.data(), &len, 4);
    return s;
}

std::string hdr16(uint16_t len)
{
    std::string s(2, '\0');
    std::memcpy(s.data(), &len, 2);
    return s;
}

void put(int fd, const std::string &bytes)
{
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

class DumpSave : public testing::Test {
protected:
    void SetUp() override { dir_ = make_temp_dir("dump"); }
    void TearDown() override
    {
        for (int fd : fds_) {
            close(fd);
        }
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // A list of n files in the scratch directory.
    std::vector<memdump_file_info> make_list(int n)
    {
        paths_.clear();
        for (int i = 0; i < n; i++) {
            paths_.push_back(dir_ + "/region_" + std::to_string(i) + ".bin");
        }
        std::vector<memdump_file_info> list;
        for (const std::string &p : paths_) {
            list.push_back({p.c_str(), 0xDEAD});
        }
        return list;
    }

    // The read ends do not block, so that a save that asks for more than
    // the stream holds fails after its retries instead of hanging the test.
    void open_pipe(int *rd, int *wr)
    {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        ASSERT_EQ(fcntl(p[0], F_SETFL, O_NONBLOCK), 0);
        fds_.push_back(p[0]);
        fds_.push_back(p[1]);
        *rd = p[0];
        *wr = p[1];
    }

    // Each write on a SEQPACKET pair is one read, empty writes included.
    void open_seqpacket(int *rd, int *wr, bool blocking = false)
    {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
        if (!blocking) {
            ASSERT_EQ(fcntl(sv[0], F_SETFL, O_NONBLOCK), 0);
        }
        fds_.push_back(sv[0]);
        fds_.push_back(sv[1]);
        *rd = sv[0];
        *wr = sv[1];
    }

    std::string dir_;
    std::vector<std::string> paths_;
    std::vector<int> fds_;
};

}  // namespace

TEST_F(DumpSave, ReadsEachRegionBehindItsLengthHeader)
{
    int rd;
    int wr;
    open_pipe(&rd, &wr);
    std::string big = pattern_bytes(3000, 1);
    put(wr, hdr32(3000) + big + hdr32(0) + hdr32(5) + "fifth" + "NEXT");

    std::vector<memdump_file_info> list = make_list(3);
    testing::internal::CaptureStdout();
    ASSERT_EQ(memdump_file_save(rd, "pipe", list.data(), 3, 4), 0);
    std::string out = captured_stdout();
    EXPECT_EQ(read_file(paths_[0]), big);
    EXPECT_EQ(read_file(paths_[1]), "");
    EXPECT_EQ(read_file(paths_[2]), "fifth");
    EXPECT_EQ(list[0].len, 3000U);
    EXPECT_EQ(list[1].len, 0U);
    EXPECT_EQ(list[2].len, 5U);
    EXPECT_NE(out.find("][read] data:3000\n\n"), std::string::npos) << out;
    EXPECT_NE(out.find("]>>>>>>>>>>>>[read total len]:3000,file:" + paths_[0] + "\n\n"), std::string::npos);
    EXPECT_NE(out.find("]>>>>>>>>>>>>file:" + paths_[1] + " len:0 save ok\n\n"), std::string::npos) << out;

    // Nothing beyond the last region was taken from the node.
    char rest[8] = {};
    ASSERT_EQ(read(rd, rest, sizeof(rest)), 4);
    EXPECT_STREQ(rest, "NEXT");

    // Sixteen-bit headers, and a file that existed is truncated.
    write_file(paths_[1], "stale content from an older dump");
    put(wr, hdr16(700) + pattern_bytes(700, 2) + hdr16(1) + "z" + "NEXT");
    ASSERT_EQ(memdump_file_save(rd, "pipe", list.data(), 2, 2), 0);
    EXPECT_EQ(read_file(paths_[0]), pattern_bytes(700, 2));
    EXPECT_EQ(read_file(paths_[1]), "z");
    EXPECT_EQ(list[0].len, 700U);
    ASSERT_EQ(read(rd, rest, sizeof(rest)), 4);
}

TEST_F(DumpSave, AsksForTheHeaderAloneAndAtMost1024DataBytes)
{
    int rd;
    int wr;
    open_seqpacket(&rd, &wr);
    // A read asking for less than a message loses the rest of it: the
    // 2048-byte message yields its first 1024 bytes only when the read asks
    // for exactly 1024, and the next message then completes the region.
    std::string first = pattern_bytes(2048, 3);
    std::string second = pattern_bytes(1024, 4);
    put(wr, hdr32(2048));
    put(wr, first);
    put(wr, second);

    std::vector<memdump_file_info> list = make_list(1);
    ASSERT_EQ(memdump_file_save(rd, "seq", list.data(), 1, 4), 0);
    EXPECT_EQ(read_file(paths_[0]), first.substr(0, 1024) + second);
}

TEST_F(DumpSave, GathersAHeaderThatArrivesInPieces)
{
    int rd;
    int wr;
    open_seqpacket(&rd, &wr);
    // The first region leaves non-zero bytes in the read buffer; the split
    // headers after it must not be completed from them.
    put(wr, hdr32(8));
    put(wr, "\x7f\x7f\x7f\x7f\x7f\x7f\x7f\x7f");
    std::string h = hdr32(6);
    put(wr, h.substr(0, 2));
    put(wr, h.substr(2, 1));
    put(wr, h.substr(3, 1));
    put(wr, "second");

    std::vector<memdump_file_info> list = make_list(2);
    ASSERT_EQ(memdump_file_save(rd, "seq", list.data(), 2, 4), 0);
    EXPECT_EQ(read_file(paths_[1]), "second");
    EXPECT_EQ(list[1].len, 6U);

    std::string h16 = hdr16(3);
    put(wr, h16.substr(0, 1));
    put(wr, h16.substr(1, 1));
    put(wr, "abc");
    ASSERT_EQ(memdump_file_save(rd, "seq", list.data(), 1, 2), 0);
    EXPECT_EQ(read_file(paths_[0]), "abc");
}

TEST_F(DumpSave, ToleratesThreeHundredEmptyReadsInARow)
{
    int rd;
    int wr;
    open_seqpacket(&rd, &wr, true);
    std::vector<memdump_file_info> list = make_list(1);

    // 300 empty reads before the header and 300 before the data: the count
    // starts again after every read that brought bytes.
    std::thread writer([wr] {
        for (int i = 0; i < 300; i++) {
            ASSERT_EQ(send(wr, "", 0, 0), 0);
        }
        ASSERT_EQ(send(wr, "\x04\0\0\0", 4, 0), 4);
        for (int i = 0; i < 300; i++) {
            ASSERT_EQ(send(wr, "", 0, 0), 0);
        }
        ASSERT_EQ(send(wr, "data", 4, 0), 4);
    });
    EXPECT_EQ(memdump_file_save(rd, "seq", list.data(), 1, 4), 0);
    writer.join();
    EXPECT_EQ(read_file(paths_[0]), "data");

    // The 301st ends the save, although the rest would follow; the file
    // keeps what had arrived.
    std::thread stalls([wr] {
        ASSERT_EQ(send(wr, "\x08\0\0\0", 4, 0), 4);
        ASSERT_EQ(send(wr, "half", 4, 0), 4);
        for (int i = 0; i < 301; i++) {
            ASSERT_EQ(send(wr, "", 0, 0), 0);
        }
        ASSERT_EQ(send(wr, "rest", 4, 0), 4);
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(memdump_file_save(rd, "/dev/qvwifiexcp", list.data(), 1, 4), -1);
    std::string out = captured_stdout();
    stalls.join();
    EXPECT_NE(out.find("]read retry max time:300,dev:/dev/qvwifiexcp,fd:" + std::to_string(rd) + ",len:0\n\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("save ok"), std::string::npos);
    EXPECT_EQ(read_file(paths_[0]), "half");
}

TEST_F(DumpSave, RefusesWithoutTouchingTheNode)
{
    int rd;
    int wr;
    open_pipe(&rd, &wr);
    put(wr, hdr32(1) + "x");
    std::vector<memdump_file_info> list = make_list(1);

    testing::internal::CaptureStdout();
    EXPECT_EQ(memdump_file_save(rd, "pipe", list.data(), 1, 3), -1);
    EXPECT_EQ(memdump_file_save(rd, "pipe", nullptr, 1, 4), -1);
    std::string out = captured_stdout();
    EXPECT_NE(out.find("]init len error:3\n\n"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(paths_[0]));

    EXPECT_EQ(memdump_file_save(rd, "pipe", list.data(), 0, 4), 0);

    // A dump file that cannot be created ends the save before any read.
    std::string missing = dir_ + "/no_dir/region.bin";
    memdump_file_info bad[] = {{missing.c_str(), 0}};
    testing::internal::CaptureStdout();
    EXPECT_EQ(memdump_file_save(rd, "pipe", bad, 1, 4), -1);
    out = captured_stdout();
    EXPECT_NE(out.find("]open file " + missing + " error\n\n"), std::string::npos) << out;

    // So does a link planted under a dump file's name; its target is left alone.
    std::string target = dir_ + "/elsewhere";
    write_file(target, "not a dump");
    ASSERT_EQ(symlink(target.c_str(), paths_[0].c_str()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(memdump_file_save(rd, "pipe", list.data(), 1, 4), -1);
    out = captured_stdout();
    EXPECT_NE(out.find("]open file " + paths_[0] + " error\n\n"), std::string::npos) << out;
    EXPECT_EQ(read_file(target), "not a dump");
    ASSERT_EQ(unlink(paths_[0].c_str()), 0);

    ASSERT_EQ(memdump_file_save(rd, "pipe", list.data(), 1, 4), 0);
    EXPECT_EQ(read_file(paths_[0]), "x");
}

TEST(DumpFileLists, FollowTheChipModel)
{
    // Region count per Wi-Fi model; the models without an entry of their
    // own share the two-file list.
    const std::pair<int32_t, int> wifi[] = {{CHIP_ZR4001, 3}, {CHIP_ZR4002, 4}, {CHIP_ZR4003, 5},
                                            {CHIP_ZR4004, 4}, {CHIP_ZR4060, 3}, {CHIP_ZR4005, 2},
                                            {CHIP_ZR4070, 2}, {CHIP_UNKNOWN, 2}};
    for (const auto &[type, count] : wifi) {
        memdump_list_choice choice = memdump_choose_wifi_list(type);
        EXPECT_EQ(choice.count, count) << type;
        EXPECT_EQ(choice.init_len, 4) << type;
        // Archived under dump type 0 only if the prefix matches it.
        EXPECT_EQ(std::string(choice.list[0].path).rfind("/vendor/log/memdump/readm_wifi_sdio_", 0), 0U);
    }
    EXPECT_STREQ(memdump_choose_wifi_list(CHIP_ZR4060).list[2].path,
                 "/vendor/log/memdump/readm_wifi_sdio_wifi_device_pkt_h_men.bin");
    EXPECT_STREQ(memdump_choose_wifi_list(CHIP_UNKNOWN).list[0].path,
                 "/vendor/log/memdump/readm_wifi_sdio_wifi_device_itcm_ram.bin");

    // Only the zr4001 bfgx side has 16-bit headers.
    memdump_list_choice bfgx = memdump_choose_bfgx_list(CHIP_ZR4001);
    EXPECT_EQ(bfgx.count, 3);
    EXPECT_EQ(bfgx.init_len, 2);
    EXPECT_STREQ(bfgx.list[0].path, "/vendor/log/memdump/readm_bfgx_uart_plat_nfc_stack.bin");
    bfgx = memdump_choose_bfgx_list(CHIP_UNKNOWN);
    EXPECT_EQ(bfgx.count, 2);
    EXPECT_EQ(bfgx.init_len, 4);
    EXPECT_STREQ(bfgx.list[1].path, "/vendor/log/memdump/readm_bfgx_uart_bcpu_dtcm_mem.bin");

    memdump_list_choice me = memdump_choose_me_list();
    EXPECT_EQ(me.count, 2);
    EXPECT_EQ(me.init_len, 4);
    EXPECT_STREQ(me.list[0].path, "/vendor/log/memdump/readm_me_uart_gcpu_itcm_mem.bin");
}

TEST(DumpWatchLoop, ReturnsWhenTheListOrTheNodeIsMissing)
{
    for (const char *node : {"/dev/qvwifiexcp", "/dev/qvbfgexcp", "/dev/qvmeexcp"}) {
        if (access(node, F_OK) == 0) {
            GTEST_SKIP() << node << " exists here";
        }
    }
    memdump_list_choice choice = memdump_choose_me_list();
    testing::internal::CaptureStdout();
    EXPECT_EQ(memdump_wifi_rotate_main(nullptr, 2, 4), -1);
    EXPECT_EQ(memdump_bfgx_rotate_main(nullptr, 2, 4), -1);
    EXPECT_EQ(memdump_me_rotate_main(nullptr, 2, 4), -1);
    EXPECT_EQ(memdump_bfgx_rotate_main(choice.list, choice.count, 4), -1);
    EXPECT_EQ(memdump_me_rotate_main(choice.list, choice.count, 4), -1);
    // The Wi-Fi lock is given back when the loop returns: two threads in
    // turn both come back.
    std::thread other([&] { EXPECT_EQ(memdump_wifi_rotate_main(choice.list, choice.count, 4), -1); });
    EXPECT_EQ(memdump_wifi_rotate_main(choice.list, choice.count, 4), -1);
    other.join();
    std::string out = captured_stdout();
    EXPECT_EQ(count_of(out, "]param is null\n\n"), 3U) << out;
    EXPECT_NE(out.find("]open file /dev/qvbfgexcp error:-1\n\n"), std::string::npos) << out;
    EXPECT_NE(out.find("]open file /dev/qvmeexcp error:-1\n\n"), std::string::npos) << out;
    EXPECT_EQ(count_of(out, "]open file /dev/qvwifiexcp error:-1\n\n"), 2U) << out;
}
