// Tool frames: a sequence of receives, each of a size and content chosen by
// the fuzzer, through the tool connection's receive loop (oam_sock_recv,
// then oam_vtl2dev_proc for the routed types).  The netlink socket and the
// bfg node are socket pairs whose far sides are drained; either may also be
// not open.  The receive buffer is a heap block of exactly its 2048 bytes.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "channels/vtl_server.h"
#include "common/oam_global.h"

namespace {

constexpr size_t MAX_FRAMES = 64;
constexpr size_t MAX_FRAME_LEN = 4096;  // beyond the 2030 taken by one receive

struct pair_fds {
    int near = -1;
    int far = -1;
};

pair_fds open_pair()
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) {
        std::abort();
    }
    // The far side is drained after each run; the near side must never block
    // a run for good, so its buffer is made larger than one run can fill.
    const int big = 1 << 20;
    (void)setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    (void)fcntl(fds[1], F_SETFL, O_NONBLOCK);
    return {fds[0], fds[1]};
}

void drain(int fd)
{
    uint8_t buf[4096];
    while (recv(fd, buf, sizeof buf, 0) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static pair_fds netlink = open_pair();
    static pair_fds bfg = open_pair();
    static const std::unique_ptr<uint8_t[]> uc_buf(new uint8_t[OAM_BUF_LEN]);
    static const std::unique_ptr<uint8_t[]> nlh(new uint8_t[OAM_NLH_LEN]);

    FuzzedDataProvider fdp(data, size);
    const auto flags = fdp.ConsumeIntegral<uint8_t>();
    g_st_global.uc_buf = uc_buf.get();
    g_st_global.netlink_sock = (flags & 1U) == 0 ? netlink.near : 0;
    g_st_global.nlh = (flags & 1U) == 0 ? nlh.get() : nullptr;
    g_st_global.bfg_fd = (flags & 2U) == 0 ? bfg.near : ((flags & 4U) == 0 ? 0 : -1);

    // The tool's side of the connection: one packet per receive.
    int tool[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, tool) != 0) {
        std::abort();
    }
    for (size_t i = 0; i < MAX_FRAMES && fdp.remaining_bytes() > 0; ++i) {
        const auto len = fdp.ConsumeIntegralInRange<size_t>(0, MAX_FRAME_LEN);
        const std::vector<uint8_t> frame = fdp.ConsumeBytes<uint8_t>(len);
        if (frame.empty()) {
            continue; // an empty packet would read as the tool going away
        }
        if (send(tool[1], frame.data(), frame.size(), 0) < 0) {
            std::abort();
        }
    }
    close(tool[1]);
    g_st_global.vtl_client_sock = tool[0];
    oam_vtl_socket_recv();
    close(tool[0]);
    g_st_global.vtl_client_sock = -1;
    drain(netlink.far);
    drain(bfg.far);
    return 0;
}
