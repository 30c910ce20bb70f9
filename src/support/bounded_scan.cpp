// Bounded formatted scan.  The scanner is our own rather than the C
// library's: every text conversion here takes the size of its destination
// after the pointer, and nothing is written until the whole field is known to
// fit.  It keeps no state and allocates nothing; the input is a string whose
// length is measured once, so the scan never reads beyond it.
#include "support/bounded.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace {

enum class length_mod { none, hh, h, l, ll, j, z, t };

// One conversion directive, as read from the format.
struct scan_conv {
    bool suppress;
    size_t width; // 0: none given
    length_mod length;
    char conv;
    std::array<bool, 256> set; // "%[": the accepted characters
};

// The va_list travels inside a record so that helpers can take arguments
// from it by reference, whatever va_list is on the target.
struct scan_args {
    va_list ap;
};

constexpr size_t SCAN_WIDTH_LIMIT = BOUNDED_STRING_MAX_LEN;

constexpr bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr unsigned digit_value(char c)
{
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned>(c - '0');
    }
    if (c >= 'a' && c <= 'z') {
        return static_cast<unsigned>(c - 'a') + 10U;
    }
    if (c >= 'A' && c <= 'Z') {
        return static_cast<unsigned>(c - 'A') + 10U;
    }
    return 36U;
}

// Reads the scan set of "%[" with *f just past the '['.  A ']' right after
// the '[' (or "[^") belongs to the set; "a-z" is a range unless the '-' is
// first or last or the range runs backwards, in which case it is literal.
bool parse_scanset(const char *&f, std::array<bool, 256> &set)
{
    bool negate = false;
    if (*f == '^') {
        negate = true;
        ++f;
    }
    const char *begin = f;
    if (*f == ']') {
        ++f;
    }
    while (*f != '\0' && *f != ']') {
        ++f;
    }
    if (*f == '\0') {
        return false;
    }
    const char *end = f;
    ++f;

    set.fill(false);
    for (const char *p = begin; p < end; ++p) {
        const auto lo = static_cast<unsigned char>(*p);
        if (p + 2 < end && p[1] == '-' && static_cast<unsigned char>(p[2]) >= lo) {
            const auto hi = static_cast<unsigned char>(p[2]);
            for (unsigned c = lo; c <= hi; ++c) {
                set[c] = true;
            }
            p += 2;
        } else {
            set[lo] = true;
        }
    }
    if (negate) {
        for (bool &b : set) {
            b = !b;
        }
    }
    return true;
}

// Reads one directive with *f just past its '%'.  False for a format
// that ends inside a directive or leaves a scan set open.
bool parse_conv(const char *&f, scan_conv &conv)
{
    conv.suppress = false;
    conv.width = 0;
    conv.length = length_mod::none;
    if (*f == '*') {
        conv.suppress = true;
        ++f;
    }
    while (*f >= '0' && *f <= '9') {
        conv.width = conv.width * 10U + static_cast<size_t>(*f - '0');
        if (conv.width > SCAN_WIDTH_LIMIT) {
            conv.width = SCAN_WIDTH_LIMIT;
        }
        ++f;
    }
    switch (*f) {
    case 'h':
        ++f;
        conv.length = length_mod::h;
        if (*f == 'h') {
            ++f;
            conv.length = length_mod::hh;
        }
        break;
    case 'l':
        ++f;
        conv.length = length_mod::l;
        if (*f == 'l') {
            ++f;
            conv.length = length_mod::ll;
        }
        break;
    case 'L':
    case 'q':
        ++f;
        conv.length = length_mod::ll;
        break;
    case 'j':
        ++f;
        conv.length = length_mod::j;
        break;
    case 'z':
        ++f;
        conv.length = length_mod::z;
        break;
    case 't':
        ++f;
        conv.length = length_mod::t;
        break;
    default:
        break;
    }
    conv.conv = *f;
    if (conv.conv == '\0') {
        return false;
    }
    ++f;
    if (conv.conv == '[') {
        return parse_scanset(f, conv.set);
    }
    return true;
}

// Reads an integer of at most avail characters in the given base (0: from
// its prefix, as strtol does).  Returns the characters used, 0 when there is
// no number.  The magnitude saturates rather than wraps.
size_t scan_integer(const char *p, size_t avail, unsigned base, bool &negative, uintmax_t &magnitude)
{
    size_t pos = 0;
    negative = false;
    magnitude = 0;
    if (pos < avail && (p[pos] == '+' || p[pos] == '-')) {
        negative = p[pos] == '-';
        ++pos;
    }
    // "0x" is a prefix only when a hex digit follows it; otherwise the
    // number is the bare "0" and the 'x' is left in the input.
    if ((base == 16 || base == 0) && pos + 2 < avail && p[pos] == '0' && (p[pos + 1] == 'x' || p[pos + 1] == 'X') &&
        digit_value(p[pos + 2]) < 16) {
        pos += 2;
        base = 16;
    } else if (base == 0) {
        base = (pos < avail && p[pos] == '0') ? 8 : 10;
    }
    const size_t first_digit = pos;
    bool overflow = false;
    while (pos < avail) {
        const unsigned d = digit_value(p[pos]);
        if (d >= base) {
            break;
        }
        if (magnitude > (UINTMAX_MAX - d) / base) {
            overflow = true;
        } else {
            magnitude = magnitude * base + d;
        }
        ++pos;
    }
    if (pos == first_digit) {
        return 0;
    }
    if (overflow) {
        magnitude = UINTMAX_MAX;
    }
    return pos;
}

template <typename T>
bool store_arg(scan_args &args, T value)
{
    T *dest = va_arg(args.ap, T *);
    if (dest == nullptr) {
        return false;
    }
    *dest = value;
    return true;
}

// A signed field out of its type's range is held at the nearest limit, so an
// over-long configuration number never turns into an unrelated value.
template <typename T>
bool store_signed_as(scan_args &args, bool negative, uintmax_t magnitude)
{
    using U = std::make_unsigned_t<T>;
    const auto max_mag = static_cast<uintmax_t>(static_cast<U>(std::numeric_limits<T>::max()));
    T value;
    if (negative) {
        if (magnitude > max_mag) {
            value = std::numeric_limits<T>::min();
        } else {
            value = static_cast<T>(-static_cast<T>(magnitude));
        }
    } else {
        value = magnitude > max_mag ? std::numeric_limits<T>::max() : static_cast<T>(magnitude);
    }
    return store_arg<T>(args, value);
}

// An unsigned field takes a minus sign as strtoul does (negated within the
// type: "-1" is all ones); a magnitude beyond the type gives its maximum.
template <typename T>
bool store_unsigned_as(scan_args &args, bool negative, uintmax_t magnitude)
{
    constexpr auto max = static_cast<uintmax_t>(std::numeric_limits<T>::max());
    T value;
    if (magnitude > max) {
        value = std::numeric_limits<T>::max();
    } else if (negative) {
        value = static_cast<T>((max - magnitude + 1U) & max);
    } else {
        value = static_cast<T>(magnitude);
    }
    return store_arg<T>(args, value);
}

bool store_signed(scan_args &args, length_mod length, bool negative, uintmax_t magnitude)
{
    switch (length) {
    case length_mod::hh:
        return store_signed_as<signed char>(args, negative, magnitude);
    case length_mod::h:
        return store_signed_as<short>(args, negative, magnitude);
    case length_mod::l:
        return store_signed_as<long>(args, negative, magnitude);
    case length_mod::ll:
        return store_signed_as<long long>(args, negative, magnitude);
    case length_mod::j:
        return store_signed_as<intmax_t>(args, negative, magnitude);
    case length_mod::z:
        return store_signed_as<std::make_signed_t<size_t>>(args, negative, magnitude);
    case length_mod::t:
        return store_signed_as<ptrdiff_t>(args, negative, magnitude);
    case length_mod::none:
        break;
    }
    return store_signed_as<int>(args, negative, magnitude);
}

bool store_unsigned(scan_args &args, length_mod length, bool negative, uintmax_t magnitude)
{
    switch (length) {
    case length_mod::hh:
        return store_unsigned_as<unsigned char>(args, negative, magnitude);
    case length_mod::h:
        return store_unsigned_as<unsigned short>(args, negative, magnitude);
    case length_mod::l:
        return store_unsigned_as<unsigned long>(args, negative, magnitude);
    case length_mod::ll:
        return store_unsigned_as<unsigned long long>(args, negative, magnitude);
    case length_mod::j:
        return store_unsigned_as<uintmax_t>(args, negative, magnitude);
    case length_mod::z:
        return store_unsigned_as<size_t>(args, negative, magnitude);
    case length_mod::t:
        return store_unsigned_as<std::make_unsigned_t<ptrdiff_t>>(args, negative, magnitude);
    case length_mod::none:
        break;
    }
    return store_unsigned_as<unsigned>(args, negative, magnitude);
}

unsigned integer_base(char conv)
{
    switch (conv) {
    case 'd':
    case 'u':
        return 10;
    case 'o':
        return 8;
    case 'x':
    case 'X':
        return 16;
    default:
        return 0; // 'i'
    }
}

enum class text_result { stored, too_small, bad_dest };

// Stores a text field of length chars, plus a terminator when asked, into the
// (pointer, size) pair that comes next in the arguments.  Writes nothing when
// it does not fit but the empty string, so the caller never sees a part.
text_result store_text(scan_args &args, const char *text, size_t length, bool terminate)
{
    char *dest = va_arg(args.ap, char *);
    const size_t size = va_arg(args.ap, unsigned int);
    if (dest == nullptr) {
        return text_result::bad_dest;
    }
    if (length + (terminate ? 1U : 0U) > size) {
        if (size > 0) {
            dest[0] = '\0';
        }
        return text_result::too_small;
    }
    std::memcpy(dest, text, length);
    if (terminate) {
        dest[length] = '\0';
    }
    return text_result::stored;
}

// An input that cannot be scanned at all still empties the text destination
// of the first conversion, so a caller that only looks at the destination
// sees nothing rather than stale data.
void clear_first_text_dest(const char *format, bool include_char_and_set, scan_args &args)
{
    const char *f = format;
    while (*f != '\0') {
        if (*f != '%') {
            ++f;
            continue;
        }
        ++f;
        scan_conv conv;
        if (!parse_conv(f, conv)) {
            return;
        }
        if (conv.conv == '%') {
            continue;
        }
        const bool text = conv.conv == 's' || (include_char_and_set && (conv.conv == 'c' || conv.conv == '['));
        if (!text || conv.suppress) {
            return;
        }
        if (conv.length == length_mod::l) {
            wchar_t *dest = va_arg(args.ap, wchar_t *);
            if (va_arg(args.ap, unsigned int) != 0 && dest != nullptr) {
                dest[0] = L'\0';
            }
        } else {
            char *dest = va_arg(args.ap, char *);
            if (va_arg(args.ap, unsigned int) != 0 && dest != nullptr) {
                dest[0] = '\0';
            }
        }
        return;
    }
}

int scan(const char *in, size_t in_len, const char *format, scan_args &args)
{
    size_t pos = 0;
    int assigned = 0;
    bool converted = false;
    // Running out of input before anything was converted is the one failure
    // that reports -1; any other stop reports what was assigned.
    const auto input_failure = [&]() { return converted ? assigned : -1; };

    const char *f = format;
    while (*f != '\0') {
        if (is_space(*f)) {
            while (is_space(*f)) {
                ++f;
            }
            while (pos < in_len && is_space(in[pos])) {
                ++pos;
            }
            continue;
        }
        if (*f != '%') {
            if (pos >= in_len) {
                return input_failure();
            }
            if (in[pos] != *f) {
                return assigned;
            }
            ++pos;
            ++f;
            continue;
        }

        ++f;
        scan_conv conv;
        if (!parse_conv(f, conv)) {
            return assigned;
        }
        const size_t rest_width = conv.width == 0 ? SCAN_WIDTH_LIMIT : conv.width;

        if (conv.conv != 'c' && conv.conv != '[' && conv.conv != 'n') {
            while (pos < in_len && is_space(in[pos])) {
                ++pos;
            }
        }

        switch (conv.conv) {
        case '%':
            if (pos >= in_len) {
                return input_failure();
            }
            if (in[pos] != '%') {
                return assigned;
            }
            ++pos;
            break;

        case 'n':
            if (!conv.suppress && !store_signed(args, conv.length, false, pos)) {
                return -1;
            }
            break;

        case 'd':
        case 'i':
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            if (pos >= in_len) {
                return input_failure();
            }
            const size_t avail = rest_width < in_len - pos ? rest_width : in_len - pos;
            bool negative = false;
            uintmax_t magnitude = 0;
            const size_t used = scan_integer(in + pos, avail, integer_base(conv.conv), negative, magnitude);
            if (used == 0) {
                return assigned;
            }
            pos += used;
            converted = true;
            if (!conv.suppress) {
                const bool is_signed = conv.conv == 'd' || conv.conv == 'i';
                const bool ok = is_signed ? store_signed(args, conv.length, negative, magnitude)
                                          : store_unsigned(args, conv.length, negative, magnitude);
                if (!ok) {
                    return -1;
                }
                ++assigned;
            }
            break;
        }

        case 's':
        case '[': {
            if (conv.length != length_mod::none) {
                return assigned; // wide text is not supported
            }
            if (pos >= in_len) {
                return input_failure();
            }
            size_t length = 0;
            while (length < rest_width && pos + length < in_len) {
                const char c = in[pos + length];
                if (conv.conv == 's' ? is_space(c) : !conv.set[static_cast<unsigned char>(c)]) {
                    break;
                }
                ++length;
            }
            if (length == 0) {
                return assigned;
            }
            if (!conv.suppress) {
                const text_result r = store_text(args, in + pos, length, true);
                if (r == text_result::bad_dest) {
                    return -1;
                }
                if (r == text_result::too_small) {
                    return assigned;
                }
                ++assigned;
            }
            pos += length;
            converted = true;
            break;
        }

        case 'c': {
            if (conv.length != length_mod::none) {
                return assigned;
            }
            const size_t length = conv.width == 0 ? 1 : conv.width;
            if (pos >= in_len || in_len - pos < length) {
                return input_failure();
            }
            if (!conv.suppress) {
                const text_result r = store_text(args, in + pos, length, false);
                if (r == text_result::bad_dest) {
                    return -1;
                }
                if (r == text_result::too_small) {
                    return assigned;
                }
                ++assigned;
            }
            pos += length;
            converted = true;
            break;
        }

        default:
            // Floating-point and any other conversion: not supported, the
            // scan ends with what was assigned so far.
            return assigned;
        }
    }
    return assigned;
}

}  // namespace

int vsscanf_s(const char *buffer, const char *format, va_list ap)
{
    if (buffer == nullptr || format == nullptr) {
        return -1;
    }
    scan_args args;
    va_copy(args.ap, ap);
    const size_t in_len = strnlen(buffer, BOUNDED_STRING_MAX_LEN + 1);
    int ret;
    if (in_len == 0 || in_len > BOUNDED_STRING_MAX_LEN) {
        clear_first_text_dest(format, in_len == 0, args);
        ret = -1;
    } else {
        ret = scan(buffer, in_len, format, args);
        if (ret < 0) {
            ret = -1;
        }
    }
    va_end(args.ap);
    return ret;
}

int sscanf_s(const char *buffer, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    const int ret = vsscanf_s(buffer, format, ap);
    va_end(ap);
    return ret;
}
