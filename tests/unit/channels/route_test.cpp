// The netlink send path and the routing of tool frames, with socket pairs
// standing in for the Wi-Fi driver's netlink socket and the bfg node.
#include <gtest/gtest.h>

#include <unistd.h>

#include "channels/netlink.h"
#include "channels/vtl_route.h"
#include "channels_test_util.h"

namespace {

class Route : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_global(bufs);
        // Sequenced packets keep one send as one message and ignore the
        // netlink destination address.
        wifi = make_pair(SOCK_SEQPACKET);
        bfg = make_pair(SOCK_SEQPACKET);
        g_st_global.netlink_sock = wifi.near;
        g_st_global.bfg_fd = bfg.near;
    }
    void TearDown() override
    {
        close_pair(wifi);
        close_pair(bfg);
    }

    // The frame as it lies in uc_buf: received bytes, then zeros.
    std::vector<uint8_t> in_buf(const std::vector<uint8_t> &frame)
    {
        std::vector<uint8_t> buf(OAM_BUF_LEN, 0);
        std::copy(frame.begin(), frame.end(), buf.begin());
        return buf;
    }

    void expect_nl_header(const std::vector<uint8_t> &msg, uint32_t len)
    {
        ASSERT_EQ(msg.size(), len);
        EXPECT_EQ(le32(&msg[0]), len);
        EXPECT_EQ(le16(&msg[4]), 0);  // type
        EXPECT_EQ(le16(&msg[6]), 0);  // flags
        EXPECT_EQ(le32(&msg[8]), 0u);  // sequence
        EXPECT_EQ(le32(&msg[12]), static_cast<uint32_t>(getpid()));
    }

    std::array<std::array<uint8_t, OAM_NLH_LEN>, 5> bufs;
    sock_pair wifi;
    sock_pair bfg;
};

TEST_F(Route, NetlinkSendFramesPayloadWithZeroPadding)
{
    std::vector<uint8_t> payload(2048);
    for (size_t i = 0; i < payload.size(); i++) {
        payload[i] = static_cast<uint8_t>(i * 7);
    }

    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_netlink_send(payload.data(), 2048), 2064);
    std::vector<uint8_t> msg = recv_some(wifi.far);
    expect_nl_header(msg, 2064);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), msg.begin() + 16));

    // nlh still holds the previous message: the padding must be cleared.
    EXPECT_EQ(oam_netlink_send(payload.data(), 5), 24);
    msg = recv_some(wifi.far);
    expect_nl_header(msg, 24);
    EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + 5, msg.begin() + 16));
    EXPECT_EQ(std::vector<uint8_t>(msg.begin() + 21, msg.end()), std::vector<uint8_t>(3, 0));

    EXPECT_EQ(oam_netlink_send(payload.data(), 0), 16);
    expect_nl_header(recv_some(wifi.far), 16);
    std::string out = captured();
    EXPECT_NE(out.find("] Netlink Sending message 2064 bytes....\n\n"), std::string::npos) << out;
    EXPECT_NE(out.find("] Netlink Sending message 16 bytes....\n\n"), std::string::npos) << out;

    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_netlink_send(payload.data(), 2049), -1);
    EXPECT_EQ(oam_netlink_send(nullptr, 4), -1);
    EXPECT_EQ(captured(), "");
    EXPECT_TRUE(nothing_pending(wifi.far));
}

TEST_F(Route, NetlinkSendRefusedWhileChannelClosed)
{
    uint8_t payload[4] = {1, 2, 3, 4};
    for (int sock : {0, -1}) {
        g_st_global.netlink_sock = sock;
        testing::internal::CaptureStdout();
        EXPECT_EQ(oam_netlink_send(payload, sizeof(payload)), -1);
        EXPECT_EQ(count_of(captured(), "] netlink not opened\n\n"), 1u);
    }
}

TEST_F(Route, HelloIsThirtyTwoBytes)
{
    testing::internal::CaptureStdout();
    oam_vexa2kernel_hello();
    captured();
    std::vector<uint8_t> msg = recv_some(wifi.far);
    expect_nl_header(msg, 32);
    EXPECT_EQ(le32(&msg[16]), 0u);
    EXPECT_EQ(le32(&msg[20]), 5u);
    EXPECT_EQ(std::string(msg.begin() + 24, msg.begin() + 29), "hello");
    EXPECT_EQ(std::vector<uint8_t>(msg.begin() + 29, msg.end()), std::vector<uint8_t>(3, 0));
}

TEST_F(Route, WifiFramesBecomeToolCommands)
{
    std::vector<uint8_t> frame = make_frame(1, 0x00, 12, 12);
    std::vector<uint8_t> buf = in_buf(frame);

    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_vtl2dev_proc(buf.data(), buf.data()), 20);
    EXPECT_NE(captured().find("]wifi cmd len=20\n\n"), std::string::npos);
    std::vector<uint8_t> msg = recv_some(wifi.far);
    expect_nl_header(msg, 36);
    EXPECT_EQ(le32(&msg[16]), 1u);
    EXPECT_EQ(le32(&msg[20]), 12u);
    EXPECT_EQ(std::vector<uint8_t>(msg.begin() + 24, msg.end()), frame);

    // The low four bits of the selector never matter.
    buf[2] = 0x0F;
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_vtl2dev_proc(buf.data(), buf.data()), 20);
    captured();
    EXPECT_EQ(recv_some(wifi.far).size(), 36u);

    // A stated length beyond what arrived forwards zeros for the rest.
    buf = in_buf(make_frame(2, 0x03, 20, 12));
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_vtl2dev_proc(buf.data(), buf.data()), 28);
    captured();
    msg = recv_some(wifi.far);
    ASSERT_EQ(msg.size(), 44u);
    EXPECT_EQ(std::vector<uint8_t>(msg.begin() + 36, msg.end()), std::vector<uint8_t>(8, 0));

    buf = in_buf(make_frame(1, 0x00, 0, 12));
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_vtl2dev_proc(buf.data(), buf.data()), 8);
    captured();
    msg = recv_some(wifi.far);
    expect_nl_header(msg, 24);
    EXPECT_EQ(le32(&msg[16]), 1u);
    EXPECT_EQ(le32(&msg[20]), 0u);
}

TEST_F(Route, WifiFrameLimit)
{
    std::vector<uint8_t> buf = in_buf(make_frame(1, 0x00, 504, 504));
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_vtl2dev_proc(buf.data(), buf.data()), 512);
    captured();
    std::vector<uint8_t> msg = recv_some(wifi.far);
    expect_nl_header(msg, 528);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 504, msg.begin() + 24));

    buf = in_buf(make_frame(1, 0x00, 505, 505));
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_vtl2dev_proc(buf.data(), buf.data()), -1);
    EXPECT_EQ(captured(), "");
    EXPECT_TRUE(nothing_pending(wifi.far));

    EXPECT_EQ(oam_vtl2dev_proc(nullptr, buf.data()), -1);
    EXPECT_EQ(oam_vtl2dev_proc(buf.data(), nullptr), -1);
}

TEST_F(Route, WifiFrameWithChannelClosedIsStillCounted)
{
    g_st_global.netlink_sock = -1;
    std::vector<uint8_t> buf = in_buf(make_frame(1, 0x00, 12, 12));
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_vtl2dev_proc(buf.data(), buf.data()), 20);
    std::string out = captured();
    size_t cmd = out.find("]wifi cmd len=20\n\n");
    size_t closed = out.find("] netlink not opened\n\n");
    ASSERT_NE(cmd, std::string::npos) << out;
    ASSERT_NE(closed, std::string::npos) << out;
    EXPECT_LT(cmd, closed);
}

TEST_F(Route, BfgFramesAreWrittenWhole)
{
    std::vector<uint8_t> frame = make_frame(1, 0x10, 12, 12);
    std::vector<uint8_t> buf = in_buf(frame);
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_vtl2dev_proc(buf.data(), buf.data()), 12);
    std::string out = captured();
    EXPECT_NE(out.find("]bfg cmd len=12\n\n"), std::string::npos) << out;
    EXPECT_NE(out.find("]\n bfg data have write\n\n"), std::string::npos) << out;
    EXPECT_EQ(recv_some(bfg.far), frame);
    EXPECT_TRUE(nothing_pending(wifi.far));

    buf = in_buf(make_frame(4, 0xF3, 2048, 2048));
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_vtl2dev_proc(buf.data(), buf.data()), 2048);
    captured();
    EXPECT_EQ(recv_some(bfg.far), buf);

    buf = in_buf(make_frame(4, 0x10, 2049, 2048));
    testing::internal::CaptureStdout();
    EXPECT_EQ(oam_vtl2dev_proc(buf.data(), buf.data()), -1);
    EXPECT_EQ(count_of(captured(), "]invalid header length!\n\n"), 1u);
    EXPECT_TRUE(nothing_pending(bfg.far));
}

TEST_F(Route, BfgFrameWithNodeClosed)
{
    for (int fd : {0, -1}) {
        g_st_global.bfg_fd = fd;
        for (uint16_t len : {uint16_t{12}, uint16_t{3000}}) {
            std::vector<uint8_t> buf = in_buf(make_frame(1, 0x10, len, 12));
            testing::internal::CaptureStdout();
            EXPECT_EQ(oam_vtl2dev_proc(buf.data(), buf.data()), -1);
            EXPECT_EQ(count_of(captured(), "]bfg dbg inode not opened!\n\n"), 1u);
        }
    }
}

}  // namespace
