// Wi-Fi netlink messages: receive results of any length and content (at most
// the 2048 bytes one receive takes) through the Wi-Fi receiver's
// per-message step and, as one batch, into the Wi-Fi log store.  A message
// is taken exactly when its length field says 17 to 2045 bytes and no more
// than arrived; nothing beyond what arrived is read (each result is at
// offset 2 of a heap block that ends with it); every file written parses
// record by record.
#include <memory>

#include "log_capture_util.h"
#include "logcapture/receivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = (fuzz_support::require_sandbox(), true);
    (void)ready;
    FuzzedDataProvider fdp(data, size);
    fuzz_log::store s{&g_st_global.st_wifi_log, "/vendor/log/wifi_log/", "wifi_log_"};
    fuzz_log::open_store(s, fdp);

    std::vector<fuzz_log::bytes> taken;
    std::vector<std::unique_ptr<uint8_t[]>> recs;
    oam_log_batch batch {};
    for (int i = 0; i < 64 && fdp.remaining_bytes() > 0; ++i) {
        const auto received = fdp.ConsumeIntegralInRange<size_t>(0, 2048);
        const fuzz_log::bytes msg = fdp.ConsumeBytes<uint8_t>(received);
        recs.emplace_back(new uint8_t[OAM_NL_RX_OFFSET + msg.size()]);
        std::copy(msg.begin(), msg.end(), recs.back().get() + OAM_NL_RX_OFFSET);
        uint32_t msg_len = 0;
        for (size_t b = 0; b < 4 && b < msg.size(); ++b) {
            msg_len |= static_cast<uint32_t>(msg[b]) << (8 * b);
        }
        const bool good = msg.size() >= 4 && msg_len >= 17 && msg_len <= 2045 && msg_len <= msg.size();
        const int ret = oam_wifi_take_msg(&batch, recs.back().get(), msg.size());
        if ((ret == 0) != good) {
            std::abort();
        }
        if (good) {
            taken.emplace_back(msg.begin() + 16, msg.begin() + msg_len);
        }
    }
    oam_wifi_pass_done(&batch);
    fuzz_log::close_and_check(s, taken);
    return 0;
}
