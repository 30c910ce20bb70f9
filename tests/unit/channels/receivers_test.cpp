// The log receivers on socket pairs standing in for the netlink socket and
// the bfg node: what is dropped, mirrored and stored, and that a receiver
// blocked in its read, or failing, ends on a stop request.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <thread>

#include "channels_test_util.h"
#include "core/oam_thread.h"
#include "logcapture/receivers.h"

namespace {

class Receivers : public ::testing::Test {
protected:
    static void SetUpTestSuite() { oam_thread_wake_init(); }

    void SetUp() override
    {
        reset_global(bufs);
        tool = make_pair(SOCK_STREAM);
        node = make_pair(SOCK_SEQPACKET);
        g_st_global.vtl_client_sock = tool.near;
        g_st_global.vtl_connected = 1;
        capture_stdout();
    }
    void TearDown() override
    {
        release_stdout();
        close_pair(tool);
        close_pair(node);
        for (oam_log_desc *d : {&g_st_global.st_wifi_log, &g_st_global.st_bfg_log}) {
            if (d->fp != nullptr) {
                fclose(d->fp);
            }
        }
    }

    // A descriptor as the log settings leave it, on a private directory.
    void enable_log(oam_log_desc &d, const char *name)
    {
        char tmpl[] = "/tmp/oam_recv_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        d.name = name;
        d.log_switch.value = 1;
        d.size.value = 1 << 20;
        d.num.value = 5;
        std::snprintf(d.path.value, sizeof(d.path.value), "%s/", tmpl);
        std::snprintf(d.file_path, sizeof(d.file_path), "%s/%s1", tmpl, name);
    }

    // Only once the receiver has ended: the descriptor is its own until then.
    std::vector<uint8_t> stored(const oam_log_desc &d)
    {
        std::ifstream in(d.file_path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::vector<uint8_t> tool_reads(size_t n)
    {
        std::vector<uint8_t> out;
        while (out.size() < n) {
            std::vector<uint8_t> part = recv_some(tool.far, n - out.size());
            if (part.empty()) {
                break;
            }
            out.insert(out.end(), part.begin(), part.end());
        }
        return out;
    }

    void stop(int32_t &flag, pthread_t th)
    {
        oam_flag_store(flag, 1);
        oam_thread_stop_join(th);
    }

    static void expect_record(const std::vector<uint8_t> &file, size_t at, const std::vector<uint8_t> &data)
    {
        ASSERT_GE(file.size(), at + 18 + data.size());
        EXPECT_EQ(file[at], 0xAA);
        EXPECT_EQ(file[at + 2] | (file[at + 3] << 8), static_cast<int>(18 + data.size()));
        EXPECT_TRUE(std::equal(data.begin(), data.end(), file.begin() + static_cast<long>(at + 18)));
    }

    test_bufs bufs;
    sock_pair tool;
    sock_pair node;
};

TEST_F(Receivers, WifiDropsMalformedMessagesMirrorsAndStoresTheRest)
{
    g_st_global.netlink_sock = node.near;
    enable_log(g_st_global.st_wifi_log, "wifi_log_");

    auto nl_message = [](uint32_t stated_len, size_t real_len, uint8_t fill) {
        std::vector<uint8_t> m(real_len, fill);
        std::memcpy(m.data(), &stated_len, sizeof(stated_len));
        return m;
    };
    for (const auto &m : {nl_message(16, 16, 1), nl_message(2046, 2046, 2),
                          nl_message(100, 40, 3),  // states more than arrived
                          nl_message(2100, 2100, 4), nl_message(17, 17, 0x5A), nl_message(2045, 2045, 0x6B)}) {
        ASSERT_EQ(send(node.far, m.data(), m.size(), 0), static_cast<ssize_t>(m.size()));
    }

    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, oam_netlink_recv_pthread, nullptr), 0);
    // The first bytes the tool sees are those of the first valid message.
    EXPECT_EQ(tool_reads(1), std::vector<uint8_t>{0x5A});
    EXPECT_EQ(tool_reads(2029), std::vector<uint8_t>(2029, 0x6B));
    stop(g_st_global.wifi_thread_stop, th);  // blocked in its receive by now
    std::string out = captured();
    for (const char *len : {"len is 0\n\n", "len is 2030\n\n", "len is 84\n\n", "len is 2084\n\n"}) {
        EXPECT_EQ(count_of(out, len), 1u) << len;
    }
    EXPECT_EQ(count_of(out, "netlink recv NULL package...;errno:"), 4u) << out;
    EXPECT_EQ(count_of(out, "]oam-wifi-recv-pthread is over \n\n"), 1u) << out;

    std::vector<uint8_t> file = stored(g_st_global.st_wifi_log);
    ASSERT_EQ(file.size(), 19u + 2047u);
    expect_record(file, 0, {0x5A});
    expect_record(file, 19, std::vector<uint8_t>(2029, 0x6B));
}

TEST_F(Receivers, BfgTurnsEachReadIntoOneRecordWhileTheSwitchIsOn)
{
    g_st_global.bfg_fd = node.near;
    enable_log(g_st_global.st_bfg_log, "bfg_log_");
    std::vector<uint8_t> big(2030, 0x21);
    ASSERT_EQ(send(node.far, "\x7f", 1, 0), 1);
    ASSERT_EQ(send(node.far, big.data(), big.size(), 0), 2030);

    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, oam_bfg_recv_pthread, nullptr), 0);
    EXPECT_EQ(tool_reads(1), std::vector<uint8_t>{0x7f});
    EXPECT_EQ(tool_reads(2030), big);
    stop(g_st_global.bfg_thread_stop, th);
    std::vector<uint8_t> file = stored(g_st_global.st_bfg_log);
    ASSERT_EQ(file.size(), 19u + 2048u);
    expect_record(file, 0, {0x7f});
    expect_record(file, 19, big);

    // Switch off: mirrored, not stored.
    g_st_global.st_bfg_log.log_switch.value = 0;
    oam_flag_store(g_st_global.bfg_thread_stop, 0);
    ASSERT_EQ(send(node.far, "zz", 2, 0), 2);
    ASSERT_EQ(pthread_create(&th, nullptr, oam_bfg_recv_pthread, nullptr), 0);
    EXPECT_EQ(tool_reads(2), std::vector<uint8_t>({'z', 'z'}));
    stop(g_st_global.bfg_thread_stop, th);
    EXPECT_EQ(stored(g_st_global.st_bfg_log).size(), 19u + 2048u);
    EXPECT_EQ(count_of(captured(), "]oam-bfg-recv-pthread is over \n\n"), 2u);
}

TEST_F(Receivers, DeadNodeNeitherSpinsNorBlocksTheStop)
{
    g_st_global.bfg_fd = node.near;
    close(node.far);  // every read now returns 0 at once
    node.far = -1;

    timespec cpu_start;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_start);
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, oam_bfg_recv_pthread, nullptr), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto stop_start = std::chrono::steady_clock::now();
    stop(g_st_global.bfg_thread_stop, th);
    auto stop_time = std::chrono::steady_clock::now() - stop_start;
    timespec cpu_end;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_end);
    captured();

    double cpu_s = static_cast<double>(cpu_end.tv_sec - cpu_start.tv_sec) +
                   static_cast<double>(cpu_end.tv_nsec - cpu_start.tv_nsec) / 1e9;
    EXPECT_LT(cpu_s, 0.15) << "a failing node spins the receiver";
    EXPECT_LT(stop_time, std::chrono::seconds(2));
}

// A default stack the system cannot map makes the creation fail: three
// quarters of the address space, on 32-bit targets too.
TEST_F(Receivers, WifiReceiverThatCouldNotStartIsNeverJoined)
{
    pthread_attr_t saved;
    ASSERT_EQ(pthread_getattr_default_np(&saved), 0);
    pthread_attr_t huge;
    ASSERT_EQ(pthread_attr_init(&huge), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&huge, SIZE_MAX / 4 * 3), 0);
    ASSERT_EQ(pthread_setattr_default_np(&huge), 0);

    pthread_t handle = static_cast<pthread_t>(0x5a5a5a5a);  // whatever was there before
    int ret = oam_pthread_create(&handle);
    EXPECT_EQ(pthread_setattr_default_np(&saved), 0);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&saved);

    EXPECT_EQ(ret, -1);
    EXPECT_EQ(handle, pthread_t{0});
    EXPECT_EQ(oam_pthread_create(nullptr), -1);
    // Must neither signal nor wait for the thread that never ran.
    oam_pthread_close(handle);
    std::string out = captured();
    EXPECT_EQ(count_of(out, "]create oam netlink recv pthread error:"), 1u) << out;
    EXPECT_EQ(count_of(out, "]wifi pthread is over \n\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "]thread(ID:0x0) is inexistent\n\n"), 1u) << out;
}

}  // namespace
