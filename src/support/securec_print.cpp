// Bounded formatted print.  The C library's vsnprintf does the conversions;
// this file only decides how much room it gets and what is left in the
// destination when the text does not fit or the format is wrong.
#include "support/securec.h"

#include <cstdio>

namespace {

constexpr bool is_length_modifier(char c)
{
    return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 'Z' || c == 't';
}

// "%n" writes through an argument instead of printing it; a bounded print
// refuses it, as the bounds-checking interfaces do, so that a format can
// never be turned into a store.
bool format_has_store(const char *format)
{
    for (const char *p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            continue;
        }
        ++p;
        // Argument position ("%2$d"), flags, width and precision.
        while (*p != '\0' &&
               ((*p >= '0' && *p <= '9') || *p == '$' || *p == '-' || *p == '+' || *p == ' ' || *p == '#' ||
                *p == '\'' || *p == 'I' || *p == '*' || *p == '.')) {
            ++p;
        }
        while (is_length_modifier(*p)) {
            ++p;
        }
        if (*p == 'n') {
            return true;
        }
        if (*p == '\0') {
            break;
        }
    }
    return false;
}

// Formats into at most room - 1 characters plus the terminator; returns the
// length the whole text would have, or -1 for a format error.
__attribute__((format(printf, 3, 0))) int format_into(char *dest, size_t room, const char *format, va_list ap)
{
    if (format_has_store(format)) {
        return -1;
    }
    return std::vsnprintf(dest, room, format, ap);
}

}  // namespace

int vsnprintf_s(char *dest, size_t capacity, size_t count, const char *format, va_list ap)
{
    if (dest == nullptr || capacity == 0 || capacity > SECUREC_STRING_MAX_LEN) {
        return -1;
    }
    if (format == nullptr || count > SECUREC_PRINT_MAX_COUNT) {
        dest[0] = '\0';
        return -1;
    }

    if (count < capacity) {
        const int len = format_into(dest, count + 1, format, ap);
        if (len < 0) {
            dest[0] = '\0';
            return -1;
        }
        if (static_cast<size_t>(len) > count) {
            // Cut to count characters: the text stays, the result says it was cut.
            return -1;
        }
        return len;
    }

    const int len = format_into(dest, capacity, format, ap);
    if (len < 0 || static_cast<size_t>(len) >= capacity) {
        dest[0] = '\0';
        return -1;
    }
    return len;
}

int snprintf_s(char *dest, size_t capacity, size_t count, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    const int ret = vsnprintf_s(dest, capacity, count, format, ap);
    va_end(ap);
    return ret;
}

int vsprintf_s(char *dest, size_t capacity, const char *format, va_list ap)
{
    if (dest == nullptr || capacity == 0 || capacity > SECUREC_STRING_MAX_LEN) {
        return -1;
    }
    if (format == nullptr) {
        dest[0] = '\0';
        return -1;
    }
    const int len = format_into(dest, capacity, format, ap);
    if (len < 0 || static_cast<size_t>(len) >= capacity) {
        dest[0] = '\0';
        return -1;
    }
    return len;
}

int sprintf_s(char *dest, size_t capacity, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    const int ret = vsprintf_s(dest, capacity, format, ap);
    va_end(ap);
    return ret;
}
