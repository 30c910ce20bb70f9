// The tool server's receive, filter, accept and close, and the mirror of log
// chunks to the tool under the two tool locks.
#include <gtest/gtest.h>

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/time.h>

#include "channels/vtl_server.h"
#include "channels_test_util.h"
#include "logcapture/receivers.h"

namespace {

constexpr char BFG_SEND_ERR[] = "[%s:%d]send bfg socket is ERR! len = %d.;errno:%s\n\n";
constexpr char WIFI_SEND_ERR[] = "[%s:%d]send wifi socket is ERR! len = %u.;errno:%s\n\n";

class Server : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_global(bufs);
        capture_stdout();
    }
    void TearDown() override
    {
        release_stdout();
        close_pair(tool);
    }

    bool sock_mutex_free()
    {
        if (pthread_mutex_trylock(&g_st_global.vtl_sock_mutex) != 0) {
            return false;
        }
        pthread_mutex_unlock(&g_st_global.vtl_sock_mutex);
        return true;
    }

    test_bufs bufs;
    sock_pair tool;
};

TEST_F(Server, SockRecvTakesOneReceiveAsOneFrame)
{
    tool = make_pair(SOCK_STREAM);
    std::vector<uint8_t> buf(OAM_BUF_LEN, 0);
    uint8_t hdr[8];

    ASSERT_EQ(send(tool.far, "abcde", 5, 0), 5);
    EXPECT_EQ(oam_sock_recv(tool.near, buf.data(), hdr), 0);
    EXPECT_NE(captured().find("]oam_sock_recv: recv VTL data, len=5\n\n"), std::string::npos);

    // More than 2030 bytes: the rest is a new frame with its own header.
    std::vector<uint8_t> big(2100);
    for (size_t i = 0; i < big.size(); i++) {
        big[i] = static_cast<uint8_t>(i % 251);
    }
    ASSERT_EQ(send(tool.far, big.data(), big.size(), 0), 2100);
    capture_stdout();
    EXPECT_EQ(oam_sock_recv(tool.near, buf.data(), hdr), 2030);
    EXPECT_TRUE(std::equal(big.begin(), big.begin() + 8, hdr));
    EXPECT_EQ(oam_sock_recv(tool.near, buf.data(), hdr), 70);
    EXPECT_TRUE(std::equal(big.begin() + 2030, big.begin() + 2038, hdr));

    close(tool.far);
    tool.far = -1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(oam_sock_recv(tool.near, buf.data(), hdr), -1);
    // A normal end says so, not whatever errno an earlier call left.
    errno = ENOENT;
    EXPECT_EQ(oam_sock_recv(tool.near, buf.data(), hdr), -1);
    EXPECT_EQ(oam_sock_recv(-1, buf.data(), hdr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "recv:: connection closed by the tool\nrecv:: connection closed by the tool\n"
              "recv:: Bad file descriptor\n");
}

TEST_F(Server, SocketRecvRoutesOnlyListedTypes)
{
    tool = make_pair(SOCK_SEQPACKET);  // keeps the test's frames apart
    sock_pair bfg = make_pair(SOCK_SEQPACKET);
    g_st_global.vtl_client_sock = tool.near;
    g_st_global.bfg_fd = bfg.near;

    std::vector<uint8_t> type69 = make_frame(69, 0x10, 12, 12);
    for (const auto &f : {make_frame(6, 0x10, 12, 12), type69, std::vector<uint8_t>(5, 1), make_frame(0, 0x10, 9, 9)}) {
        ASSERT_EQ(send(tool.far, f.data(), f.size(), 0), static_cast<ssize_t>(f.size()));
    }
    shutdown(tool.far, SHUT_WR);

    testing::internal::CaptureStderr();
    oam_vtl_socket_recv();
    testing::internal::GetCapturedStderr();
    std::string out = captured();
    EXPECT_EQ(count_of(out, "]===>>msg type is 6<<===\n\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "]===>>msg type is 0<<===\n\n"), 1u) << out;
    EXPECT_EQ(recv_some(bfg.far), type69);
    EXPECT_TRUE(nothing_pending(bfg.far));
    close_pair(bfg);
    capture_stdout();
}

TEST_F(Server, AcceptMarksTheConnectionAndBoundsItsSends)
{
    // A loopback port of the system's choosing: never the daemon's own.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t addr_len = sizeof(addr);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &addr_len);
    int peer = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);

    g_st_global.vtl_server_sock = listener;
    EXPECT_EQ(oam_vtl_socket_accept(), 0);
    EXPECT_EQ(g_st_global.vtl_connected, 1);
    EXPECT_TRUE(sock_mutex_free());
    // A tool that vanished without a close is found out within about a
    // minute: keepalive probes, and a limit on unanswered ones.
    struct {
        int level, name, min, max;
    } const opts[] = {{SOL_SOCKET, SO_KEEPALIVE, 1, 1},     {IPPROTO_TCP, TCP_KEEPIDLE, 5, 30},
                      {IPPROTO_TCP, TCP_KEEPINTVL, 1, 10},  {IPPROTO_TCP, TCP_KEEPCNT, 2, 10},
                      {IPPROTO_TCP, TCP_USER_TIMEOUT, 10000, 60000}};
    for (const auto &opt : opts) {
        int value = -1;
        socklen_t len = sizeof(value);
        ASSERT_EQ(getsockopt(g_st_global.vtl_client_sock, opt.level, opt.name, &value, &len), 0) << opt.name;
        EXPECT_GE(value, opt.min) << opt.name;
        EXPECT_LE(value, opt.max) << opt.name;
    }

    oam_vtl_socket_close();
    EXPECT_EQ(g_st_global.vtl_connected, 0);
    EXPECT_TRUE(sock_mutex_free());
    EXPECT_TRUE(recv_some(peer).empty());  // end of stream
    close(peer);
    close(listener);

    // A failing accept ends the server with the lock released.
    g_st_global.vtl_server_sock = -1;
    EXPECT_EQ(oam_vtl_socket_accept(), -1);
    EXPECT_EQ(count_of(captured(), "]accept failed!;errno:"), 1u);
    EXPECT_TRUE(sock_mutex_free());
    capture_stdout();
}

TEST_F(Server, MirrorFollowsTheLockAndFlagRules)
{
    tool = make_pair(SOCK_STREAM);
    g_st_global.vtl_client_sock = tool.near;
    const uint8_t data[] = {1, 2, 3, 4, 5};

    oam_mirror_to_tool(data, 5, BFG_SEND_ERR);  // no tool connected
    g_st_global.vtl_connected = 1;
    pthread_mutex_lock(&g_st_global.vtl_sock_mutex);  // the server accepts or closes
    oam_mirror_to_tool(data, 5, BFG_SEND_ERR);
    pthread_mutex_unlock(&g_st_global.vtl_sock_mutex);
    EXPECT_TRUE(nothing_pending(tool.far));

    oam_mirror_to_tool(data, 5, BFG_SEND_ERR);
    EXPECT_EQ(recv_some(tool.far), std::vector<uint8_t>(data, data + 5));

    // The tool went away: one failure clears the flag, later chunks are
    // neither sent nor reported, and both locks are left free.
    close(tool.far);
    tool.far = -1;
    oam_mirror_to_tool(data, 5, BFG_SEND_ERR);
    oam_mirror_to_tool(data, 3, BFG_SEND_ERR);
    std::string out = captured();
    EXPECT_EQ(count_of(out, "send bfg socket is ERR! len = 5.;errno:Broken pipe\n\n"), 1u) << out;
    EXPECT_EQ(count_of(out, "socket is ERR!"), 1u) << out;
    EXPECT_EQ(g_st_global.vtl_connected, 0);
    EXPECT_TRUE(sock_mutex_free());
    EXPECT_EQ(pthread_mutex_trylock(&g_st_global.vtl_send_mutex), 0);
    pthread_mutex_unlock(&g_st_global.vtl_send_mutex);
    capture_stdout();
}

TEST_F(Server, MirrorToAStalledToolGivesUp)
{
    tool = make_pair(SOCK_STREAM);
    int sndbuf = 4096;
    setsockopt(tool.near, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    g_st_global.vtl_client_sock = tool.near;
    g_st_global.vtl_connected = 1;

    std::vector<uint8_t> chunk(2029, 0x11);
    for (int sends = 0; g_st_global.vtl_connected == 1 && sends < 10000; sends++) {
        oam_mirror_to_tool(chunk.data(), 2029, WIFI_SEND_ERR);
    }
    EXPECT_EQ(g_st_global.vtl_connected, 0);
    EXPECT_EQ(count_of(captured(), "send wifi socket is ERR! len = 2029.;errno:"), 1u);
    capture_stdout();
}

}  // namespace
