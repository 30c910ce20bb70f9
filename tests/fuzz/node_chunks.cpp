// bfg and me node chunks: reads of any length (also none, a failure, or more
// than fits) through the node receivers' per-chunk step and, as one batch,
// into the core's log store.  A chunk is taken exactly when 1 to 2030 bytes arrived; every file
// written parses record by record.
#include <memory>

#include "log_capture_util.h"
#include "logcapture/receivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = (fuzz_support::require_sandbox(), true);
    (void)ready;
    FuzzedDataProvider fdp(data, size);
    const bool me = fdp.ConsumeBool();
    const oam_node_core core = me ? OAM_NODE_ME : OAM_NODE_BFG;
    // The me core shares the bfg file prefix; its files differ by folder.
    fuzz_log::store s{me ? &g_st_global.st_me_log : &g_st_global.st_bfg_log,
                      me ? "/vendor/log/me_log/" : "/vendor/log/bfg_log/", "bfg_log_"};
    fuzz_log::open_store(s, fdp);

    std::vector<fuzz_log::bytes> taken;
    std::vector<std::unique_ptr<uint8_t[]>> recs;
    oam_log_batch batch {};
    for (int i = 0; i < 64 && fdp.remaining_bytes() > 0; ++i) {
        const auto len = fdp.ConsumeIntegralInRange<ssize_t>(-1, OAM_RECORD_DATA_MAX + 2);
        const fuzz_log::bytes chunk = fdp.ConsumeBytes<uint8_t>(len > 0 ? static_cast<size_t>(len) : 0);
        if (len > 0 && chunk.size() != static_cast<size_t>(len)) {
            break; // the read would have brought what is there
        }
        const bool good = len >= 1 && len <= OAM_RECORD_DATA_MAX;
        recs.emplace_back(new uint8_t[OAM_RECV_BUF_LEN]);
        std::copy(chunk.begin(), chunk.end(), recs.back().get() + OAM_RECORD_HDR_LEN);
        if ((oam_node_take_chunk(&batch, recs.back().get(), len) == 0) != good) {
            std::abort();
        }
        if (good) {
            taken.push_back(chunk);
        }
    }
    oam_node_pass_done(core, &batch);
    fuzz_log::close_and_check(s, taken);
    return 0;
}
