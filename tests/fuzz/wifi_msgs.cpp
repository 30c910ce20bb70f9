// Wi-Fi netlink messages: receive results of any length and content (at most
// the 2048 bytes one receive takes) through the Wi-Fi receiver's
// per-message step into the Wi-Fi log store.  A message is taken exactly
// when its length field says 17 to 2045 bytes and no more than arrived; the
// step reads nothing beyond what arrived (each result is a heap block of
// exactly its size); every file written parses record by record.
#include <memory>

#include "log_capture_util.h"
#include "logcapture/receivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = (fuzz_support::require_sandbox(), true);
    (void)ready;
    static const std::unique_ptr<uint8_t[]> puc_buf(new uint8_t[OAM_BUF_LEN]);
    g_st_global.puc_buf = puc_buf.get();

    FuzzedDataProvider fdp(data, size);
    fuzz_log::store s{&g_st_global.st_wifi_log, "/vendor/log/wifi_log/", "wifi_log_"};
    fuzz_log::open_store(s, fdp);

    std::vector<fuzz_log::bytes> taken;
    for (int i = 0; i < 64 && fdp.remaining_bytes() > 0; ++i) {
        const auto received = fdp.ConsumeIntegralInRange<size_t>(0, 2048);
        const fuzz_log::bytes msg = fdp.ConsumeBytes<uint8_t>(received);
        const std::unique_ptr<uint8_t[]> rx(new uint8_t[msg.size()]);
        std::copy(msg.begin(), msg.end(), rx.get());
        uint32_t msg_len = 0;
        for (size_t b = 0; b < 4 && b < msg.size(); ++b) {
            msg_len |= static_cast<uint32_t>(msg[b]) << (8 * b);
        }
        const bool good = msg.size() >= 4 && msg_len >= 17 && msg_len <= 2045 && msg_len <= msg.size();
        const int ret = oam_wifi_recv_msg(rx.get(), msg.size());
        if ((ret == 0) != good) {
            std::abort();
        }
        if (good) {
            taken.emplace_back(msg.begin() + 16, msg.begin() + msg_len);
        }
    }
    fuzz_log::close_and_check(s, taken);
    return 0;
}
