// The dump stream of an exception node: length headers and region bytes,
// delivered in pieces of fuzzer-chosen sizes, read by memdump_file_save into
// the files of each model's list with its header width.  Every region that
// arrived whole must be in its file byte for byte, and the save must succeed
// exactly when every region arrived.  Runs in the unit-test sandbox: the
// dump files are the device's fixed paths.
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"
#include "memdump/memdump.h"
#include "memdump/memdump_internal.h"
#include "platform/oam_chip.h"

// A node that has nothing more to give is polled 300 times 1 ms apart before
// the save gives up; the waits only cost time here, the count is kept.
extern "C" int usleep(useconds_t)
{
    return 0;
}

namespace {

constexpr size_t MAX_PIECE = 2048;

struct feeder {
    int fd;
    std::vector<std::vector<uint8_t>> pieces;
    std::atomic<bool> stop{false};
};

// Writes one piece, then waits until the reader took all of it before the
// next: each read returns at most what is left of the current piece.
void *feed(void *arg)
{
    auto *f = static_cast<feeder *>(arg);
    for (const auto &piece : f->pieces) {
        if (write(f->fd, piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) {
            break;
        }
        int left = 1;
        while (!f->stop.load() && ioctl(f->fd, FIONREAD, &left) == 0 && left > 0) {
            pollfd none{};
            (void)poll(&none, 0, 0);
        }
        if (f->stop.load()) {
            break;
        }
    }
    close(f->fd);
    return nullptr;
}

memdump_list_choice choose(uint8_t which)
{
    constexpr int32_t CHIPS[] = {CHIP_ZR4001, CHIP_ZR4002, CHIP_ZR4003, CHIP_ZR4004,
                                 CHIP_ZR4005, CHIP_ZR4060, CHIP_ZR4070};
    const int32_t chip = CHIPS[(which >> 2) % (sizeof CHIPS / sizeof CHIPS[0])];
    switch (which & 3U) {
    case 0:
        return memdump_choose_wifi_list(chip);
    case 1:
        return memdump_choose_bfgx_list(chip);
    default:
        return memdump_choose_me_list();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = [] {
        fuzz_support::require_sandbox();
        mkdir("/vendor/log", 0775);
        mkdir("/vendor/log/memdump", 0775);
        return true;
    }();
    (void)ready;

    FuzzedDataProvider fdp(data, size);
    const memdump_list_choice choice = choose(fdp.ConsumeIntegral<uint8_t>());
    feeder f;
    std::vector<uint8_t> stream;
    while (fdp.remaining_bytes() > 0) {
        const auto len = fdp.ConsumeIntegralInRange<size_t>(1, MAX_PIECE);
        std::vector<uint8_t> piece = fdp.ConsumeBytes<uint8_t>(len);
        if (piece.empty()) {
            break;
        }
        stream.insert(stream.end(), piece.begin(), piece.end());
        f.pieces.push_back(std::move(piece));
    }

    int fds[2];
    if (pipe(fds) != 0) {
        std::abort();
    }
    f.fd = fds[1];
    pthread_t thread;
    if (pthread_create(&thread, nullptr, feed, &f) != 0) {
        std::abort();
    }
    const int ret = memdump_file_save(fds[0], "/dev/fuzz_dump", choice.list, choice.count, choice.init_len);
    f.stop.store(true);
    pthread_join(thread, nullptr);
    close(fds[0]);

    // What the stream says, region by region.
    size_t pos = 0;
    bool whole = true;
    for (int i = 0; i < choice.count && whole; ++i) {
        const auto hdr = static_cast<size_t>(choice.init_len);
        if (stream.size() - pos < hdr) {
            whole = false;
            break;
        }
        uint32_t len = 0;
        for (size_t b = 0; b < hdr; ++b) {
            len |= static_cast<uint32_t>(stream[pos + b]) << (8 * b);
        }
        pos += hdr;
        if (stream.size() - pos < len) {
            whole = false;
            break;
        }
        if (choice.list[i].len != len ||
            fuzz_support::read_file(choice.list[i].path) != std::vector<uint8_t>(stream.begin() + static_cast<long>(pos),
                                                                 stream.begin() + static_cast<long>(pos + len))) {
            std::abort(); // a region arrived whole but its file differs
        }
        pos += len;
    }
    if ((ret == 0) != whole) {
        std::abort();
    }
    return 0;
}
