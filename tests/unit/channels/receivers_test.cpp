// The three log receivers on socket pairs standing in for the netlink socket
// and the bfg and me nodes: what is dropped, mirrored and stored, and that a
// receiver blocked in its read ends on a stop request.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "channels_test_util.h"
#include "core/oam_thread.h"
#include "logcapture/receivers.h"
#include "platform/oam_chip.h"
#include "platform/oam_chip_internal.h"

namespace {

class Receivers : public ::testing::Test {
protected:
    static void SetUpTestSuite() { oam_thread_wake_init(); }

    void SetUp() override
    {
        reset_global(bufs);
        tool = make_pair(SOCK_STREAM);
        g_st_global.vtl_client_sock = tool.near;
        g_st_global.vtl_connected = 1;
        char tmpl[] = "/tmp/oam_recv_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = std::string(tmpl) + "/";
    }
    void TearDown() override
    {
        close_pair(tool);
        close_pair(node);
        for (oam_log_desc *d : {&g_st_global.st_wifi_log, &g_st_global.st_bfg_log, &g_st_global.st_me_log}) {
            if (d->fp != nullptr) {
                fclose(d->fp);
                d->fp = nullptr;
            }
        }
    }

    // A descriptor as the log settings leave it, writing to a private file.
    void enable_log(oam_log_desc &d, const char *name)
    {
        d.name = name;
        d.log_switch.value = 1;
        d.size.value = 1 << 20;
        d.num.value = 5;
        std::snprintf(d.path.value, sizeof(d.path.value), "%s", dir.c_str());
        std::snprintf(d.file_path, sizeof(d.file_path), "%s%s1", dir.c_str(), name);
    }

    // Only once the receiver has ended: the descriptor is its own until then.
    std::vector<uint8_t> stored(oam_log_desc &d)
    {
        if (d.fp != nullptr) {
            fflush(d.fp);
        }
        std::ifstream in(d.file_path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Reads from the tool side until n bytes came or nothing more comes.
    std::vector<uint8_t> tool_reads(size_t n)
    {
        std::vector<uint8_t> out;
        while (out.size() < n) {
            std::vector<uint8_t> part = recv_some(tool.far, 2000, n - out.size());
            if (part.empty()) {
                break;
            }
            out.insert(out.end(), part.begin(), part.end());
        }
        return out;
    }

    static std::vector<uint8_t> nl_message(uint32_t stated_len, size_t real_len, uint8_t fill)
    {
        std::vector<uint8_t> m(real_len, fill);
        std::memcpy(m.data(), &stated_len, sizeof(stated_len));
        std::memset(m.data() + 4, 0, 12);
        return m;
    }

    void expect_record(const std::vector<uint8_t> &file, size_t at, const std::vector<uint8_t> &data)
    {
        ASSERT_GE(file.size(), at + 18 + data.size());
        EXPECT_EQ(file[at], 0xAA);
        EXPECT_EQ(file[at + 1], 0);
        EXPECT_EQ(le16(&file[at + 2]), 18 + data.size());
        EXPECT_TRUE(std::equal(data.begin(), data.end(), file.begin() + static_cast<long>(at + 18)));
    }

    std::array<std::array<uint8_t, OAM_NLH_LEN>, 5> bufs;
    sock_pair tool;
    sock_pair node;
    std::string dir;
};

TEST_F(Receivers, WifiDropsMalformedMessagesMirrorsAndStoresTheRest)
{
    node = make_pair(SOCK_SEQPACKET);
    g_st_global.netlink_sock = node.near;
    enable_log(g_st_global.st_wifi_log, "wifi_log_");

    std::vector<uint8_t> one = nl_message(17, 17, 0x5A);
    std::vector<uint8_t> longest = nl_message(2045, 2045, 0x6B);
    for (const auto &m : {nl_message(16, 16, 1), nl_message(2046, 2046, 2),
                          nl_message(100, 40, 3),  // states more than arrived
                          nl_message(2100, 2100, 4), one, longest}) {
        ASSERT_EQ(send(node.far, m.data(), m.size(), 0), static_cast<ssize_t>(m.size()));
    }

    testing::internal::CaptureStdout();
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, oam_netlink_recv_pthread, nullptr), 0);
    // The first bytes the tool sees are those of the first valid message.
    EXPECT_EQ(tool_reads(1), std::vector<uint8_t>{0x5A});
    EXPECT_EQ(tool_reads(2029), std::vector<uint8_t>(2029, 0x6B));

    // Blocked in its receive with nothing coming: the stop must still end it.
    oam_flag_store(g_st_global.wifi_thread_stop, 1);
    oam_thread_stop_join(th);
    std::string out = captured();
    EXPECT_EQ(count_of(out, "netlink recv NULL package...;errno:"), 4u) << out;
    for (const char *len : {"len is 0\n\n", "len is 2030\n\n", "len is 84\n\n", "len is 2084\n\n"}) {
        EXPECT_EQ(count_of(out, len), 1u) << len;
    }
    EXPECT_EQ(count_of(out, "]oam-wifi-recv-pthread is over \n\n"), 1u) << out;

    std::vector<uint8_t> file = stored(g_st_global.st_wifi_log);
    ASSERT_EQ(file.size(), 19u + 2047u);
    expect_record(file, 0, {0x5A});
    expect_record(file, 19, std::vector<uint8_t>(2029, 0x6B));
}

TEST_F(Receivers, WifiWithLogSwitchOffOnlyMirrors)
{
    node = make_pair(SOCK_SEQPACKET);
    g_st_global.netlink_sock = node.near;
    enable_log(g_st_global.st_wifi_log, "wifi_log_");
    g_st_global.st_wifi_log.log_switch.value = 0;

    std::vector<uint8_t> m = nl_message(20, 20, 0x33);
    ASSERT_EQ(send(node.far, m.data(), m.size(), 0), 20);
    testing::internal::CaptureStdout();
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, oam_netlink_recv_pthread, nullptr), 0);
    EXPECT_EQ(tool_reads(4), std::vector<uint8_t>(4, 0x33));
    oam_flag_store(g_st_global.wifi_thread_stop, 1);
    oam_thread_stop_join(th);
    captured();
    EXPECT_TRUE(stored(g_st_global.st_wifi_log).empty());
}

TEST_F(Receivers, BfgTurnsEachReadIntoOneRecord)
{
    node = make_pair(SOCK_SEQPACKET);
    g_st_global.bfg_fd = node.near;
    enable_log(g_st_global.st_bfg_log, "bfg_log_");

    std::vector<uint8_t> big(2030, 0x21);
    ASSERT_EQ(send(node.far, "\x7f", 1, 0), 1);
    ASSERT_EQ(send(node.far, big.data(), big.size(), 0), 2030);

    testing::internal::CaptureStdout();
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, oam_bfg_recv_pthread, nullptr), 0);
    EXPECT_EQ(tool_reads(1), std::vector<uint8_t>{0x7f});
    EXPECT_EQ(tool_reads(2030), big);
    oam_flag_store(g_st_global.bfg_thread_stop, 1);
    oam_thread_stop_join(th);
    std::string out = captured();
    EXPECT_EQ(count_of(out, "]oam_bfg_recv_pthread\n\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "]oam-bfg-recv-pthread is over \n\n"), 1u) << out;

    std::vector<uint8_t> file = stored(g_st_global.st_bfg_log);
    ASSERT_EQ(file.size(), 19u + 2048u);
    expect_record(file, 0, {0x7f});
    expect_record(file, 19, big);
}

TEST_F(Receivers, MeReportsAGoneToolOnceAndStillStores)
{
    node = make_pair(SOCK_SEQPACKET);
    g_st_global.me_fd = node.near;
    enable_log(g_st_global.st_me_log, "bfg_log_");
    close(tool.far);
    tool.far = -1;

    ASSERT_EQ(send(node.far, "abc", 3, 0), 3);
    ASSERT_EQ(send(node.far, "defg", 4, 0), 4);
    testing::internal::CaptureStdout();
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, oam_me_recv_pthread, nullptr), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    // Only the path is looked at while the receiver owns the descriptor.
    struct stat st = {};
    while ((stat(g_st_global.st_me_log.file_path, &st) != 0 || st.st_size < 18 * 2 + 7) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    oam_flag_store(g_st_global.me_thread_stop, 1);
    oam_thread_stop_join(th);
    std::string out = captured();
    EXPECT_EQ(count_of(out, "]send me socket is ERR! len = 3.;errno:"), 1u) << out;
    EXPECT_EQ(count_of(out, "socket is ERR!"), 1u) << out;
    EXPECT_EQ(count_of(out, "]oam-me-recv-pthread is over \n\n"), 1u) << out;
    EXPECT_EQ(g_st_global.vtl_connected, 0);

    std::vector<uint8_t> file = stored(g_st_global.st_me_log);
    ASSERT_EQ(file.size(), 18u * 2 + 7);
    expect_record(file, 0, {'a', 'b', 'c'});
    expect_record(file, 21, {'d', 'e', 'f', 'g'});
}

TEST_F(Receivers, DeadNodeNeitherSpinsNorBlocksTheStop)
{
    node = make_pair(SOCK_SEQPACKET);
    g_st_global.bfg_fd = node.near;
    close(node.far);  // every read now returns 0 at once
    node.far = -1;

    testing::internal::CaptureStdout();
    timespec cpu_start;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_start);
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, oam_bfg_recv_pthread, nullptr), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    oam_flag_store(g_st_global.bfg_thread_stop, 1);
    auto stop_start = std::chrono::steady_clock::now();
    oam_thread_stop_join(th);
    auto stop_time = std::chrono::steady_clock::now() - stop_start;
    timespec cpu_end;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_end);
    captured();

    double cpu_s = static_cast<double>(cpu_end.tv_sec - cpu_start.tv_sec) +
                   static_cast<double>(cpu_end.tv_nsec - cpu_start.tv_nsec) / 1e9;
    EXPECT_LT(cpu_s, 0.15) << "a failing node spins the receiver";
    EXPECT_LT(stop_time, std::chrono::seconds(2));
}

TEST_F(Receivers, StartWithoutNodesStartsNothing)
{
    // The unit sandbox has none of the chip's nodes.
    g_sub_chip_type = CHIP_ZR4004;
    g_sub_chip_type_known = 1;
    testing::internal::CaptureStdout();
    oam_bfgx_create_thread();
    oam_me_create_thread();
    std::string out = captured();
    EXPECT_EQ(count_of(out, "]open bfg inode failed;errno:No such file or directory\n\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "]zr400x ignore me thread create\n\n"), 1u) << out;
    EXPECT_LT(g_st_global.bfg_fd, 0);
    EXPECT_EQ(g_st_global.me_fd, 0);

    g_wvt_mode = 1;
    g_sub_chip_type = CHIP_UNKNOWN;
    testing::internal::CaptureStdout();
    oam_bfgx_create_thread();
    oam_me_create_thread();
    out = captured();
    EXPECT_LT(out.find("]open bt inode\n\n"), out.find("]open bfg inode failed")) << out;
    EXPECT_EQ(count_of(out, "]open me inode failed;errno:No such file or directory\n\n"), 1u) << out;
    EXPECT_LT(g_st_global.me_fd, 0);
    g_sub_chip_type_known = 0;
}

}  // namespace
