// Shared helpers of the channel and receiver tests: a fresh global record
// with its buffers and locks, socket pairs standing in for the driver, the
// bfg node and the tool, and captured standard output.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/oam_global.h"

using test_bufs = std::array<std::array<uint8_t, OAM_NLH_LEN>, 2>;

// The record as main leaves it after the clear, with the five buffers.
inline void reset_global(test_bufs &bufs)
{
    std::memset(&g_st_global, 0, sizeof(g_st_global));
    pthread_mutex_init(&g_st_global.vtl_sock_mutex, nullptr);
    pthread_mutex_init(&g_st_global.vtl_send_mutex, nullptr);
    for (auto &b : bufs) {
        b.fill(0xEE);
    }
    g_st_global.uc_buf = bufs[0].data();
    g_st_global.nlh = bufs[1].data();
    g_test_mode = 0;
    g_wvt_mode = 0;
}

struct sock_pair {
    int near = -1;  // handed to the code under test
    int far = -1;   // kept by the test
};

// Sequenced packets keep one send as one message (and ignore the netlink
// destination address); streams behave as the tool's TCP connection.
inline sock_pair make_pair(int type)
{
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, type, 0, fds), 0);
    return {fds[0], fds[1]};
}

inline void close_pair(sock_pair &p)
{
    for (int fd : {p.near, p.far}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    p = {};
}

// One message or stream read, waiting at most two seconds; empty on time-out.
inline std::vector<uint8_t> recv_some(int fd, size_t max = 4096)
{
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 2000) <= 0) {
        return {};
    }
    std::vector<uint8_t> out(max);
    ssize_t n = recv(fd, out.data(), out.size(), MSG_DONTWAIT);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

inline bool nothing_pending(int fd)
{
    uint8_t b;
    return recv(fd, &b, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && errno == EAGAIN;
}

// gtest aborts the whole binary on a second capture of standard output, and
// an ASSERT that fails returns before the test takes its capture back: the
// fixtures release what a test left captured, so one failure stays one.
inline bool g_stdout_captured = false;

inline void capture_stdout()
{
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    g_stdout_captured = true;
}

inline std::string captured()
{
    if (!g_stdout_captured) {
        ADD_FAILURE() << "standard output is not captured";
        return {};
    }
    std::fflush(stdout);
    g_stdout_captured = false;
    return testing::internal::GetCapturedStdout();
}

inline void release_stdout()
{
    if (g_stdout_captured) {
        captured();
    }
}

inline size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

inline uint32_t le32(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

// A tool frame: type at byte 1, destination selector at byte 2, the stated
// length at bytes 4-5, then body bytes.
inline std::vector<uint8_t> make_frame(uint8_t type, uint8_t dest, uint16_t stated_len, size_t real_len)
{
    std::vector<uint8_t> f(real_len, 0x5C);
    f[0] = 0x7E;
    f[1] = type;
    f[2] = dest;
    f[4] = static_cast<uint8_t>(stated_len & 0xFF);
    f[5] = static_cast<uint8_t>(stated_len >> 8);
    return f;
}
