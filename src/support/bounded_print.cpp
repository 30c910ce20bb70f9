// Bounded formatted print.  The C library's vsnprintf does the conversions;
// this file only decides how much room it gets and what is left in the
// destination when the text does not fit or the format is wrong.
#include "support/bounded.h"

#include <cstdio>

namespace {

// Numbers in a directive (argument position, width, precision) longer than
// this are refused: they would overflow the C library's reading of them.
constexpr int DIRECTIVE_NUMBER_MAX_DIGITS = 9;
// Highest argument position "%N$" accepted; a bounded print needs no more,
// and the C library sizes its argument tables from the highest one.
constexpr unsigned long DIRECTIVE_POSITION_MAX = 64;

constexpr bool is_flag(char c)
{
    return c == ' ' || c == '+' || c == '-' || c == '#' || c == '0' || c == '\'' || c == 'I';
}

constexpr bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

constexpr bool is_integer_conv(char c)
{
    return c == 'd' || c == 'i' || c == 'o' || c == 'u' || c == 'x' || c == 'X';
}

constexpr bool is_float_conv(char c)
{
    return c == 'e' || c == 'E' || c == 'f' || c == 'F' || c == 'g' || c == 'G' || c == 'a' || c == 'A';
}

// Reads a run of digits at p; false when it is longer than the C library
// reads without overflow.
bool read_number(const char *&p, unsigned long &value)
{
    value = 0;
    int digits = 0;
    while (is_digit(*p)) {
        if (++digits > DIRECTIVE_NUMBER_MAX_DIGITS) {
            return false;
        }
        value = value * 10U + static_cast<unsigned long>(*p - '0');
        ++p;
    }
    return true;
}

// How the C library fetches an argument: a position named by two
// directives that fetch it differently would be read as one type and
// printed as the other (a pointer from half an int).
enum class arg_class : unsigned char { none, int_arg, long_arg, pointer, double_arg, long_double };

// Positional ("%N$", "*N$") and sequential arguments may not be mixed.
struct arg_use {
    bool positional;
    bool sequential;
    arg_class position_class[DIRECTIVE_POSITION_MAX + 1];
};

// Reads "N$" at p if it is there: position is then N, else 0.  True when p
// is not at a digit (nothing read) or when a valid position was read; false
// for digits that are not a position the C library would take the same way.
bool read_position(const char *&p, unsigned long &position)
{
    position = 0;
    if (!is_digit(*p)) {
        return true;
    }
    unsigned long n = 0;
    if (!read_number(p, n) || *p != '$' || n == 0 || n > DIRECTIVE_POSITION_MAX) {
        return false;
    }
    ++p;
    position = n;
    return true;
}

bool note_arg(arg_use &use, unsigned long position, arg_class cls)
{
    (position != 0 ? use.positional : use.sequential) = true;
    if (use.positional && use.sequential) {
        return false;
    }
    if (position != 0) {
        arg_class &seen = use.position_class[position];
        if (seen != arg_class::none && seen != cls) {
            return false;
        }
        seen = cls;
    }
    return true;
}

// "*" or "*N$" for a width or precision taken from the arguments.
bool read_star(const char *&p, arg_use &use)
{
    ++p;
    unsigned long position = 0;
    return read_position(p, position) && note_arg(use, position, arg_class::int_arg);
}

// Reads one directive with p just past its '%' and leaves p on its
// conversion character.  Only directives whose meaning is certain are
// accepted: the C library reads any directive it does not know with a
// different parser from the start of that directive, and such a format
// could hide a "%n" that a more lenient reading would take for text.
bool read_directive(const char *&p, arg_use &use)
{
    if (*p == '%') {
        return true; // "%%": a plain '%', no argument
    }
    unsigned long position = 0;
    if (is_digit(*p) && *p != '0') {
        const char *q = p;
        unsigned long n = 0;
        if (read_number(q, n) && *q == '$') {
            if (!read_position(p, position)) {
                return false;
            }
        }
    }
    while (is_flag(*p)) {
        ++p;
    }
    unsigned long number = 0;
    if (*p == '*') {
        if (!read_star(p, use)) {
            return false;
        }
    } else if (!read_number(p, number)) {
        return false;
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            if (!read_star(p, use)) {
                return false;
            }
        } else if (!read_number(p, number)) {
            return false;
        }
    }
    // Length modifier and conversion: only the pairs that the C library
    // reads the same way whichever of its parsers is at work.
    bool integer_only = false;
    bool float_only = false;
    bool wide = false;
    if (p[0] == 'h' && p[1] == 'h') {
        p += 2;
        integer_only = true;
    } else if (p[0] == 'l' && p[1] == 'l') {
        p += 2;
        integer_only = true;
        wide = true;
    } else if (*p == 'h') {
        ++p;
        integer_only = true;
    } else if (*p == 'q' || *p == 'j' || *p == 'z' || *p == 'Z' || *p == 't') {
        ++p;
        integer_only = true;
        wide = true;
    } else if (*p == 'L') {
        ++p;
        float_only = true;
    } else if (*p == 'l') {
        ++p;
        if (!is_integer_conv(*p) && !is_float_conv(*p)) {
            return false;
        }
        wide = true;
    }
    const char c = *p;
    bool known = false;
    arg_class cls = arg_class::none;
    if (is_integer_conv(c) && !float_only) {
        known = true;
        cls = wide ? arg_class::long_arg : arg_class::int_arg;
    } else if (is_float_conv(c) && !integer_only) {
        known = true;
        cls = float_only ? arg_class::long_double : arg_class::double_arg;
    } else if (!integer_only && !float_only && !wide) {
        known = c == 'c' || c == 's' || c == 'p';
        cls = c == 'c' ? arg_class::int_arg : arg_class::pointer;
    }
    return known && note_arg(use, position, cls);
}

// True when the format is made only of directives read_directive accepts;
// "%n", which writes through an argument instead of printing it, is never
// one of them, so a format can never be turned into a store.
bool format_is_safe(const char *format)
{
    arg_use use{};
    for (const char *p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            continue;
        }
        ++p;
        if (!read_directive(p, use)) {
            return false;
        }
    }
    return true;
}

// Formats into at most room - 1 characters plus the terminator; returns the
// length the whole text would have, or -1 for a format error.
__attribute__((format(printf, 3, 0))) int format_into(char *dest, size_t room, const char *format, va_list ap)
{
    if (!format_is_safe(format)) {
        return -1;
    }
    return std::vsnprintf(dest, room, format, ap);
}

}  // namespace

int vsnprintf_s(char *dest, size_t capacity, size_t count, const char *format, va_list ap)
{
    if (dest == nullptr || capacity == 0 || capacity > BOUNDED_STRING_MAX_LEN) {
        return -1;
    }
    if (format == nullptr || count > BOUNDED_PRINT_MAX_COUNT) {
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
    if (dest == nullptr || capacity == 0 || capacity > BOUNDED_STRING_MAX_LEN) {
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
