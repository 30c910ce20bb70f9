// The printf-style bounded functions with formats chosen by the fuzzer, and
// the copy and fill functions with fuzzer sizes.  Every destination is a heap
// block of exactly its stated capacity, so any write past it is caught; a
// format is either refused or its text bounded and terminated.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "support/bounded.h"

#pragma clang diagnostic ignored "-Wformat-nonliteral"
#pragma clang diagnostic ignored "-Wformat-security"

namespace {

// The fuzzer's formats may consume up to three arguments per directive (two
// '*' and the value, a long double taking two slots); each argument is 0, so
// "%s" prints "(null)", a '*' gives width 0 and a stray "%n" would store
// through a null pointer and crash.
constexpr size_t MAX_DIRECTIVES = 16;

#define Z8 0L, 0L, 0L, 0L, 0L, 0L, 0L, 0L
#define Z64 Z8, Z8, Z8, Z8, Z8, Z8, Z8, Z8

// Widths and precisions of 7 to 9 digits are accepted but would make the C
// library produce up to a gigabyte of padding: slow, not interesting.  Longer
// numbers are refused, which the unit tests show; any run of 7 digits or
// more is left out here ("%00720396381d" is a 9-digit width).
bool format_is_cheap(const std::string &format)
{
    size_t percents = 0;
    size_t digits = 0;
    for (const char c : format) {
        percents += c == '%' ? 1U : 0U;
        if (c >= '0' && c <= '9') {
            ++digits;
            continue;
        }
        if (digits >= 7) {
            return false;
        }
        digits = 0;
    }
    return percents <= MAX_DIRECTIVES && digits < 7;
}

void check_terminated(const char *dest, size_t capacity, int ret, size_t limit)
{
    const size_t len = strnlen(dest, capacity);
    if (len >= capacity) {
        std::abort(); // left unterminated
    }
    // "%c" of 0 puts a NUL inside the text: the result counts it.
    if (ret >= 0 && (static_cast<size_t>(ret) > limit || dest[ret] != '\0')) {
        std::abort(); // result disagrees with the text left
    }
}

void fuzz_print(FuzzedDataProvider &fdp, bool with_count)
{
    const size_t capacity = fdp.ConsumeIntegralInRange<size_t>(1, 96);
    const size_t count = fdp.ConsumeIntegralInRange<size_t>(0, 128);
    const std::string format = fdp.ConsumeRemainingBytesAsString();
    if (!format_is_cheap(format)) {
        return;
    }
    std::vector<char> dest(capacity, 'Z');
    int ret;
    if (with_count) {
        ret = snprintf_s(dest.data(), capacity, count, format.c_str(), Z64);
        check_terminated(dest.data(), capacity, ret, count < capacity ? count : capacity - 1);
    } else {
        ret = sprintf_s(dest.data(), capacity, format.c_str(), Z64);
        check_terminated(dest.data(), capacity, ret, capacity - 1);
    }
}

void fuzz_copy(FuzzedDataProvider &fdp, int which)
{
    const size_t capacity = fdp.ConsumeIntegralInRange<size_t>(1, 64);
    const size_t count = fdp.ConsumeIntegralInRange<size_t>(0, 80);
    const std::string src = fdp.ConsumeRemainingBytesAsString();
    std::vector<char> dest(capacity, 'Z');
    if (which == 0) {
        const int ret = strncpy_s(dest.data(), capacity, src.c_str(), count);
        if (ret == EOK) {
            const size_t want = std::min(strlen(src.c_str()), count);
            if (strnlen(dest.data(), capacity) != want || std::memcmp(dest.data(), src.c_str(), want) != 0) {
                std::abort();
            }
        } else if (dest[0] != '\0') {
            std::abort();
        }
    } else if (which == 1) {
        if (src.size() < count) {
            return; // the source must hold count bytes
        }
        const int ret = memcpy_s(dest.data(), capacity, src.data(), count);
        if ((ret == EOK) != (count <= capacity) || (ret == EOK && std::memcmp(dest.data(), src.data(), count) != 0)) {
            std::abort();
        }
    } else {
        const int c = src.empty() ? 0 : static_cast<unsigned char>(src[0]);
        const int ret = memset_s(dest.data(), capacity, c, count);
        if ((ret == EOK) != (count <= capacity)) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    switch (fdp.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
    case 1:
    case 2:
        fuzz_print(fdp, true);
        break;
    case 3:
    case 4:
        fuzz_print(fdp, false);
        break;
    case 5:
        fuzz_copy(fdp, 0);
        break;
    case 6:
        fuzz_copy(fdp, 1);
        break;
    default:
        fuzz_copy(fdp, 2);
        break;
    }
    return 0;
}
