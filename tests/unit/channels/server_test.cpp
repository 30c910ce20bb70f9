// The tool server's receive, filter, accept and close, and the mirror of log
// chunks to the tool under the two tool locks.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "channels/vtl_server.h"
#include "channels_test_util.h"
#include "logcapture/receivers.h"

namespace {

constexpr char BFG_SEND_ERR[] = "[%s:%d]send bfg socket is ERR! len = %d.;errno:%s\n\n";
constexpr char WIFI_SEND_ERR[] = "[%s:%d]send wifi socket is ERR! len = %u.;errno:%s\n\n";

class Server : public ::testing::Test {
protected:
    void SetUp() override { reset_global(bufs); }
    void TearDown() override
    {
        close_pair(tool);
        if (listener >= 0) {
            close(listener);
        }
    }

    // A listening socket on a loopback port of the system's choosing, so
    // that the tests never take the daemon's own port.
    int listen_loopback(uint16_t *port)
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
        EXPECT_EQ(listen(fd, 10), 0);
        socklen_t len = sizeof(addr);
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        *port = ntohs(addr.sin_port);
        return fd;
    }

    int connect_loopback(uint16_t port)
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
        return fd;
    }

    bool sock_mutex_free()
    {
        if (pthread_mutex_trylock(&g_st_global.vtl_sock_mutex) != 0) {
            return false;
        }
        pthread_mutex_unlock(&g_st_global.vtl_sock_mutex);
        return true;
    }

    std::array<std::array<uint8_t, OAM_NLH_LEN>, 5> bufs;
    sock_pair tool;
    int listener = -1;
};

TEST_F(Server, SockRecvTakesOneReceiveAsOneFrame)
{
    tool = make_pair(SOCK_STREAM);
    std::vector<uint8_t> buf(OAM_BUF_LEN, 0);
    uint8_t hdr[8];

    EXPECT_EQ(oam_sock_recv(tool.near, buf.data(), nullptr), -1);
    EXPECT_EQ(oam_sock_recv(tool.near, nullptr, hdr), -1);

    std::memset(hdr, 0xCC, sizeof(hdr));
    ASSERT_EQ(send(tool.far, "abcde", 5, 0), 5);
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_sock_recv(tool.near, buf.data(), hdr), 0);
    std::string out = captured();
    EXPECT_NE(out.find("]oam_sock_recv:: entry\n\n"), std::string::npos) << out;
    EXPECT_NE(out.find("]oam_sock_recv: recv VTL data, len=5\n\n"), std::string::npos) << out;
    EXPECT_EQ(std::vector<uint8_t>(hdr, hdr + 8), std::vector<uint8_t>(8, 0));

    // More than 2030 bytes: the rest is a new frame with its own header.
    std::vector<uint8_t> big(2100);
    for (size_t i = 0; i < big.size(); i++) {
        big[i] = static_cast<uint8_t>(i % 251);
    }
    ASSERT_EQ(send(tool.far, big.data(), big.size(), 0), 2100);
    buf.assign(OAM_BUF_LEN, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_sock_recv(tool.near, buf.data(), hdr), 2030);
    EXPECT_TRUE(std::equal(big.begin(), big.begin() + 8, hdr));
    EXPECT_TRUE(std::all_of(buf.begin() + 2030, buf.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(oam_sock_recv(tool.near, buf.data(), hdr), 70);
    EXPECT_TRUE(std::equal(big.begin() + 2030, big.begin() + 2038, hdr));
    captured();

    close(tool.far);
    tool.far = -1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(oam_sock_recv(tool.near, buf.data(), hdr), -1);
    std::string err = testing::internal::GetCapturedStderr();
    captured();
    EXPECT_EQ(err.rfind("recv:: ", 0), 0u) << err;
}

TEST_F(Server, SocketRecvRoutesOnlyListedTypes)
{
    // Sequenced packets keep the test's frames apart, as a tool that waits
    // between frames would.
    tool = make_pair(SOCK_SEQPACKET);
    sock_pair bfg = make_pair(SOCK_SEQPACKET);
    sock_pair wifi = make_pair(SOCK_SEQPACKET);
    g_st_global.vtl_client_sock = tool.near;
    g_st_global.bfg_fd = bfg.near;
    g_st_global.netlink_sock = wifi.near;

    std::vector<uint8_t> type6 = make_frame(6, 0x10, 12, 12);
    std::vector<uint8_t> type69 = make_frame(69, 0x10, 12, 12);
    std::vector<uint8_t> type0 = make_frame(0, 0x00, 12, 12);
    std::vector<uint8_t> type34 = make_frame(34, 0x00, 16, 16);
    for (const auto &f : {type6, type69, std::vector<uint8_t>(5, 1), type0, type34}) {
        ASSERT_EQ(send(tool.far, f.data(), f.size(), 0), static_cast<ssize_t>(f.size()));
    }
    shutdown(tool.far, SHUT_WR);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    oam_vtl_socket_recv();
    testing::internal::GetCapturedStderr();
    std::string out = captured();
    EXPECT_EQ(count_of(out, "]===>>msg type is 6<<===\n\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "]===>>msg type is 0<<===\n\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "]===>>msg type is"), 2u) << out;

    EXPECT_EQ(recv_some(bfg.far), type69);
    EXPECT_TRUE(nothing_pending(bfg.far));
    std::vector<uint8_t> msg = recv_some(wifi.far);
    ASSERT_EQ(msg.size(), 40u);
    EXPECT_EQ(std::vector<uint8_t>(msg.begin() + 24, msg.end()), type34);
    EXPECT_TRUE(nothing_pending(wifi.far));
    close_pair(bfg);
    close_pair(wifi);
}

TEST_F(Server, AcceptMarksConnectionAndBoundsItsSends)
{
    uint16_t port = 0;
    listener = listen_loopback(&port);
    g_st_global.vtl_server_sock = listener;
    int peer = connect_loopback(port);

    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_vtl_socket_accept(), 0);
    std::string out = captured();
    EXPECT_LT(out.find("]accept is start\n\n"), out.find("]accept is over\n\n")) << out;
    EXPECT_GT(g_st_global.vtl_client_sock, 0);
    EXPECT_EQ(g_st_global.vtl_connected, 1);
    EXPECT_TRUE(sock_mutex_free());

    timeval tv = {};
    socklen_t len = sizeof(tv);
    ASSERT_EQ(getsockopt(g_st_global.vtl_client_sock, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
    EXPECT_GE(tv.tv_sec, 1);
    EXPECT_LE(tv.tv_sec, 5);

    oam_mirror_to_tool(reinterpret_cast<const uint8_t *>("log"), 3, BFG_SEND_ERR);
    EXPECT_EQ(recv_some(peer), std::vector<uint8_t>({'l', 'o', 'g'}));

    oam_vtl_socket_close();
    EXPECT_EQ(g_st_global.vtl_connected, 0);
    EXPECT_TRUE(sock_mutex_free());
    EXPECT_TRUE(recv_some(peer).empty());  // end of stream
    close(peer);

    // A failing accept ends the server with the lock released.
    g_st_global.vtl_server_sock = -1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_vtl_socket_accept(), -1);
    EXPECT_EQ(count_of(captured(), "]accept failed!;errno:"), 1u);
    EXPECT_EQ(g_st_global.vtl_connected, 0);
    EXPECT_TRUE(sock_mutex_free());
}

TEST_F(Server, ReceiversSkipTheToolWhileAcceptWaits)
{
    uint16_t port = 0;
    listener = listen_loopback(&port);
    g_st_global.vtl_server_sock = listener;

    testing::internal::CaptureStdout();
    std::atomic<int> result{1};
    std::thread server([&] { result = oam_vtl_socket_accept(); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (sock_mutex_free() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_FALSE(sock_mutex_free());

    // Would hang here if the mirror waited for the client lock.
    oam_mirror_to_tool(reinterpret_cast<const uint8_t *>("x"), 1, BFG_SEND_ERR);

    int peer = connect_loopback(port);
    server.join();
    captured();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(nothing_pending(peer));
    close(peer);
    oam_vtl_socket_close();
}

TEST_F(Server, MirrorFollowsTheLockAndFlagRules)
{
    tool = make_pair(SOCK_STREAM);
    g_st_global.vtl_client_sock = tool.near;
    const uint8_t data[] = {1, 2, 3, 4, 5};

    testing::internal::CaptureStdout();
    oam_mirror_to_tool(data, 5, BFG_SEND_ERR);  // not connected
    EXPECT_TRUE(nothing_pending(tool.far));

    g_st_global.vtl_connected = 1;
    pthread_mutex_lock(&g_st_global.vtl_sock_mutex);  // the server accepts or closes
    oam_mirror_to_tool(data, 5, BFG_SEND_ERR);
    pthread_mutex_unlock(&g_st_global.vtl_sock_mutex);
    EXPECT_TRUE(nothing_pending(tool.far));
    EXPECT_EQ(g_st_global.vtl_connected, 1);

    oam_mirror_to_tool(data, 5, BFG_SEND_ERR);
    EXPECT_EQ(recv_some(tool.far), std::vector<uint8_t>(data, data + 5));
    EXPECT_EQ(captured(), "");

    // The tool went away: one failure clears the flag, later chunks are
    // neither sent nor reported; the locks are left free.
    close(tool.far);
    tool.far = -1;
    testing::internal::CaptureStdout();
    oam_mirror_to_tool(data, 5, BFG_SEND_ERR);
    oam_mirror_to_tool(data, 3, BFG_SEND_ERR);
    std::string out = captured();
    EXPECT_EQ(count_of(out, "send bfg socket is ERR! len = 5.;errno:Broken pipe\n\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "socket is ERR!"), 1u) << out;
    EXPECT_EQ(g_st_global.vtl_connected, 0);
    EXPECT_TRUE(sock_mutex_free());
    EXPECT_EQ(pthread_mutex_trylock(&g_st_global.vtl_send_mutex), 0);
    pthread_mutex_unlock(&g_st_global.vtl_send_mutex);

    // The Wi-Fi message prints its length unsigned.
    g_st_global.vtl_connected = 1;
    testing::internal::CaptureStdout();
    std::vector<uint8_t> longest(2029, 0x22);
    oam_mirror_to_tool(longest.data(), 2029, WIFI_SEND_ERR);
    EXPECT_EQ(count_of(captured(), "send wifi socket is ERR! len = 2029.;errno:"), 1u);
}

TEST_F(Server, MirrorToAStalledToolTimesOut)
{
    tool = make_pair(SOCK_STREAM);
    int sndbuf = 4096;
    setsockopt(tool.near, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    timeval tv = {0, 50 * 1000};  // the server sets seconds; the mechanism is the same
    setsockopt(tool.near, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    g_st_global.vtl_client_sock = tool.near;
    g_st_global.vtl_connected = 1;

    std::vector<uint8_t> chunk(2030, 0x11);
    testing::internal::CaptureStdout();
    int sends = 0;
    while (g_st_global.vtl_connected == 1 && sends < 10000) {
        oam_mirror_to_tool(chunk.data(), 2030, BFG_SEND_ERR);
        sends++;
    }
    std::string out = captured();
    EXPECT_EQ(g_st_global.vtl_connected, 0);
    EXPECT_EQ(count_of(out, "send bfg socket is ERR! len = 2030.;errno:"), 1u) << out;
}

}  // namespace
