// The record parser on any bytes: every item lies inside the input, the
// items tile it from the start without gap or overlap, and the file read as
// it grows gives the same items as the whole file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/oam_record_parse.h"

namespace {

struct fuzz_item {
    int kind;
    int damage;
    size_t pos;
    size_t len;
    bool stamp_ok;
    bool operator==(const fuzz_item &) const = default;
};

std::vector<fuzz_item> fuzz_parse(const uint8_t *data, size_t size, size_t step)
{
    std::vector<fuzz_item> items;
    size_t pos = 0;
    for (size_t len = step == 0 ? size : 0;; len = len + step < size ? len + step : size) {
        const bool final = len == size;
        for (;;) {
            const oam_record_item it = oam_record_parse_next(data, len, pos, final);
            if (it.kind == OAM_ITEM_END || it.kind == OAM_ITEM_MORE) {
                if ((it.kind == OAM_ITEM_END) != (final && pos == len)) {
                    abort();
                }
                break;
            }
            if (it.pos != pos || it.len == 0 || it.len > len - pos) {
                abort();
            }
            if (it.kind == OAM_ITEM_RECORD &&
                (it.len < OAM_RECORD_HDR_LEN || it.len > OAM_RECORD_MAX_LEN || data[pos] != OAM_RECORD_MARKER)) {
                abort();
            }
            items.push_back({it.kind, it.kind == OAM_ITEM_DAMAGE ? it.damage : 0, it.pos, it.len, it.stamp_ok});
            pos += it.len;
        }
        if (final) {
            return items;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The stretch reported in parts is far longer than any input here.
    if (size >= OAM_DAMAGE_STEP) {
        return 0;
    }
    const std::vector<fuzz_item> whole = fuzz_parse(data, size, 0);
    const size_t step = size > 0 ? 1 + data[0] % 7 : 1;
    if (fuzz_parse(data, size, step) != whole) {
        abort();
    }
    return 0;
}
