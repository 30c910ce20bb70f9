// The netlink send path and the routing of tool frames, with socket pairs
// standing in for the Wi-Fi driver's netlink socket and the bfg node.
#include <gtest/gtest.h>

#include "channels/netlink.h"
#include "channels/vtl_route.h"
#include "channels_test_util.h"

namespace {

class Route : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_global(bufs);
        wifi = make_pair(SOCK_SEQPACKET);
        bfg = make_pair(SOCK_SEQPACKET);
        g_st_global.netlink_sock = wifi.near;
        g_st_global.bfg_fd = bfg.near;
        capture_stdout();
    }
    void TearDown() override
    {
        release_stdout();
        close_pair(wifi);
        close_pair(bfg);
    }

    // Routes a frame as it lies in uc_buf: the received bytes, then zeros.
    int route(const std::vector<uint8_t> &frame)
    {
        std::vector<uint8_t> buf(OAM_BUF_LEN, 0);
        std::copy(frame.begin(), frame.end(), buf.begin());
        return oam_vtl2dev_proc(buf.data(), buf.data());
    }

    // The next netlink message, its header checked; returns the payload.
    std::vector<uint8_t> nl_payload(uint32_t msg_len)
    {
        std::vector<uint8_t> msg = recv_some(wifi.far);
        EXPECT_EQ(msg.size(), msg_len);
        if (msg.size() < 16) {
            return {};
        }
        EXPECT_EQ(le32(&msg[0]), msg_len);
        EXPECT_EQ(le32(&msg[4]), 0u);  // type and flags
        EXPECT_EQ(le32(&msg[8]), 0u);  // sequence
        EXPECT_EQ(le32(&msg[12]), static_cast<uint32_t>(getpid()));
        return {msg.begin() + 16, msg.end()};
    }

    test_bufs bufs;
    sock_pair wifi;
    sock_pair bfg;
};

TEST_F(Route, NetlinkSendLimitsAndPadding)
{
    std::vector<uint8_t> payload(2048, 0x31);
    EXPECT_EQ(oam_netlink_send(payload.data(), 2048), 2064);
    EXPECT_EQ(nl_payload(2064), payload);
    // nlh still holds the previous message: the padding must be cleared.
    EXPECT_EQ(oam_netlink_send(payload.data(), 5), 24);
    EXPECT_EQ(nl_payload(24), std::vector<uint8_t>({0x31, 0x31, 0x31, 0x31, 0x31, 0, 0, 0}));
    EXPECT_EQ(oam_netlink_send(payload.data(), 0), 16);
    EXPECT_TRUE(nl_payload(16).empty());
    EXPECT_NE(captured().find("] Netlink Sending message 2064 bytes....\n\n"), std::string::npos);

    capture_stdout();
    EXPECT_EQ(oam_netlink_send(payload.data(), 2049), -1);
    EXPECT_EQ(captured(), "");
    EXPECT_TRUE(nothing_pending(wifi.far));

    g_st_global.netlink_sock = 0;
    capture_stdout();
    EXPECT_EQ(oam_netlink_send(payload.data(), 4), -1);
    EXPECT_EQ(count_of(captured(), "] netlink not opened\n\n"), 1u);
    capture_stdout();
}

TEST_F(Route, HelloMessage)
{
    oam_vexa2kernel_hello();
    std::vector<uint8_t> expected = {0, 0, 0, 0, 5, 0, 0, 0, 'h', 'e', 'l', 'l', 'o', 0, 0, 0};
    EXPECT_EQ(nl_payload(32), expected);
}

TEST_F(Route, WifiFramesBecomeToolCommands)
{
    std::vector<uint8_t> frame = make_frame(1, 0x00, 12, 12);
    EXPECT_EQ(route(frame), 20);
    EXPECT_NE(captured().find("]wifi cmd len=20\n\n"), std::string::npos);
    std::vector<uint8_t> expected = {1, 0, 0, 0, 12, 0, 0, 0};
    expected.resize(8 + frame.size());
    std::copy(frame.begin(), frame.end(), expected.begin() + 8);
    EXPECT_EQ(nl_payload(36), expected);

    capture_stdout();
    // Only the high four bits of the selector count; missing bytes are zeros.
    EXPECT_EQ(route(make_frame(2, 0x0F, 20, 12)), 28);
    std::vector<uint8_t> payload = nl_payload(44);
    EXPECT_EQ(std::vector<uint8_t>(payload.end() - 8, payload.end()), std::vector<uint8_t>(8, 0));

    EXPECT_EQ(route(make_frame(1, 0x00, 0, 12)), 8);
    EXPECT_EQ(nl_payload(24), std::vector<uint8_t>({1, 0, 0, 0, 0, 0, 0, 0}));

    EXPECT_EQ(route(make_frame(1, 0x00, 504, 504)), 512);
    EXPECT_EQ(nl_payload(528).size(), 512u);
    EXPECT_EQ(route(make_frame(1, 0x00, 505, 505)), -1);
    EXPECT_TRUE(nothing_pending(wifi.far));
}

TEST_F(Route, BfgFramesAreWrittenWhole)
{
    std::vector<uint8_t> frame = make_frame(1, 0x10, 12, 12);
    EXPECT_EQ(route(frame), 12);
    std::string out = captured();
    EXPECT_NE(out.find("]bfg cmd len=12\n\n"), std::string::npos) << out;
    EXPECT_NE(out.find("]\n bfg data have write\n\n"), std::string::npos) << out;
    EXPECT_EQ(recv_some(bfg.far), frame);

    frame = make_frame(4, 0xF3, 2048, 2048);
    EXPECT_EQ(route(frame), 2048);
    EXPECT_EQ(recv_some(bfg.far), frame);

    capture_stdout();
    EXPECT_EQ(route(make_frame(4, 0x10, 2049, 2048)), -1);
    EXPECT_EQ(count_of(captured(), "]invalid header length!\n\n"), 1u);
    EXPECT_TRUE(nothing_pending(bfg.far));
    EXPECT_TRUE(nothing_pending(wifi.far));

    g_st_global.bfg_fd = 0;
    capture_stdout();
    EXPECT_EQ(route(make_frame(1, 0x10, 3000, 12)), -1);
    EXPECT_EQ(count_of(captured(), "]bfg dbg inode not opened!\n\n"), 1u);
    capture_stdout();
}

}  // namespace
