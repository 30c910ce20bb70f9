// sscanf_s with an input and a format chosen by the fuzzer.  The directives
// are read here the way the standard scanf family reads them, to hand each
// one the arguments it takes: a text conversion a destination and its size
// (fuzzer-chosen), any other a pointer to exactly its type's width.  Every
// destination is a heap block of exactly that many bytes, so a write past a
// given size is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "support/bounded.h"

namespace {

constexpr size_t MAX_SLOTS = 32;

struct arg_slots {
    std::vector<std::unique_ptr<uint8_t[]>> blocks;
    uintptr_t slot[MAX_SLOTS] = {};
    size_t used = 0;
};

uintptr_t new_block(arg_slots &args, size_t bytes)
{
    // new[0] still gives a distinct block of which no byte may be written.
    args.blocks.emplace_back(new uint8_t[bytes]);
    std::memset(args.blocks.back().get(), 0xA5, bytes);
    return reinterpret_cast<uintptr_t>(args.blocks.back().get());
}

size_t int_width(const char *len)
{
    if (len[0] == 'h') {
        return len[1] == 'h' ? 1 : 2;
    }
    return len[0] == '\0' ? 4 : 8;
}

// Fills the argument slots for the directives of format; stops at the first
// directive that ends the format early.  False when the format takes more
// arguments than there are slots.
bool build_args(const char *f, FuzzedDataProvider &fdp, arg_slots &args)
{
    while (*f != '\0') {
        if (args.used + 2 > MAX_SLOTS) {
            return false;
        }
        if (*f++ != '%') {
            continue;
        }
        const bool suppress = *f == '*';
        if (suppress) {
            ++f;
        }
        while (*f >= '0' && *f <= '9') {
            ++f;
        }
        char len[3] = {};
        if ((f[0] == 'h' && f[1] == 'h') || (f[0] == 'l' && f[1] == 'l')) {
            len[0] = f[0];
            len[1] = f[1];
            f += 2;
        } else if (std::strchr("hlLqjzt", *f) != nullptr && *f != '\0') {
            len[0] = *f++;
        }
        const char conv = *f;
        if (conv == '\0') {
            return true;
        }
        ++f;
        if (conv == '[') {
            if (*f == '^') {
                ++f;
            }
            if (*f == ']') {
                ++f;
            }
            while (*f != '\0' && *f != ']') {
                ++f;
            }
            if (*f == '\0') {
                return true;
            }
            ++f;
        }
        if (conv == '%' || suppress) {
            continue;
        }
        if (conv == 's' || conv == 'c' || conv == '[') {
            const auto chars = fdp.ConsumeIntegralInRange<uint32_t>(0, 40);
            const size_t unit = len[0] == 'l' ? sizeof(wchar_t) : 1;
            args.slot[args.used++] = new_block(args, chars * unit);
            args.slot[args.used++] = chars;
        } else {
            args.slot[args.used++] = new_block(args, int_width(len));
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const std::string input = fdp.ConsumeRandomLengthString(256);
    const std::string format = fdp.ConsumeRandomLengthString(256);
    arg_slots args;
    if (!build_args(format.c_str(), fdp, args)) {
        return 0;
    }
    const uintptr_t *s = args.slot;
    const int ret = sscanf_s(input.c_str(), format.c_str(), s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8],
                             s[9], s[10], s[11], s[12], s[13], s[14], s[15], s[16], s[17], s[18], s[19], s[20],
                             s[21], s[22], s[23], s[24], s[25], s[26], s[27], s[28], s[29], s[30], s[31]);
    if (ret < -1 || ret > static_cast<int>(args.used)) {
        std::abort();
    }
    return 0;
}
