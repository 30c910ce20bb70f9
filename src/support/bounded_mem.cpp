// Bounds-checked copy and fill.  The fast paths cost a handful of compares
// before the plain memcpy/memset; every other case is sorted out afterwards,
// in a fixed order, so that the result code and the state of the destination
// are the same whichever way the arguments are wrong.
#include "support/bounded.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

static_assert(EINVAL == 22 && ERANGE == 34, "result codes are fixed numbers shared with every caller");
static_assert(ERR_INVAL_CLEARED == (EINVAL | 0x80) && ERR_RANGE_CLEARED == (ERANGE | 0x80));

namespace {

// Address arithmetic on integers: comparing pointers into different objects
// is not defined, and the overlap tests must never overflow either.
inline uintptr_t addr(const void *p)
{
    return reinterpret_cast<uintptr_t>(p);
}

// True when [a, a + count) and [b, b + count) share a byte; equal addresses
// with a count of 0 do not.
inline bool ranges_overlap(uintptr_t a, uintptr_t b, size_t count)
{
    if (a < b) {
        return b - a < count;
    }
    if (b < a) {
        return a - b < count;
    }
    return count > 0;
}

int memcpy_s_error(void *dest, size_t capacity, const void *src, size_t count)
{
    if (capacity == 0 || capacity > BOUNDED_MEM_MAX_LEN) {
        return ERANGE;
    }
    if (dest == nullptr) {
        return EINVAL;
    }
    if (src == nullptr) {
        std::memset(dest, 0, capacity);
        return ERR_INVAL_CLEARED;
    }
    if (count > capacity) {
        std::memset(dest, 0, capacity);
        return ERR_RANGE_CLEARED;
    }
    const uintptr_t d = addr(dest);
    const uintptr_t s = addr(src);
    if (d != s && ranges_overlap(d, s, count)) {
        std::memset(dest, 0, capacity);
        return ERR_OVERLAP_CLEARED;
    }
    // A count of 0, or a copy onto itself: nothing to do.
    return EOK;
}

}  // namespace

int memcpy_s(void *dest, size_t capacity, const void *src, size_t count)
{
    if (dest != nullptr && src != nullptr && capacity <= BOUNDED_MEM_MAX_LEN && count > 0 && count <= capacity &&
        !ranges_overlap(addr(dest), addr(src), count)) {
        std::memcpy(dest, src, count);
        return EOK;
    }
    return memcpy_s_error(dest, capacity, src, count);
}

int memset_s(void *dest, size_t capacity, int c, size_t count)
{
    if (dest != nullptr && capacity <= BOUNDED_MEM_MAX_LEN && count <= capacity) {
        std::memset(dest, c, count);
        return EOK;
    }
    if (capacity == 0 || capacity > BOUNDED_MEM_MAX_LEN) {
        return ERANGE;
    }
    if (dest == nullptr) {
        return EINVAL;
    }
    // Too much asked: fill what is there with the caller's byte, so that a
    // caller which ignores the code still finds the value it meant to set.
    std::memset(dest, c, capacity);
    return ERR_RANGE_CLEARED;
}

int strncpy_s(char *dest, size_t capacity, const char *src, size_t count)
{
    if (capacity == 0 || capacity > BOUNDED_STRING_MAX_LEN) {
        return ERANGE;
    }
    if (dest == nullptr) {
        return EINVAL;
    }
    if (src == nullptr) {
        dest[0] = '\0';
        return ERR_INVAL_CLEARED;
    }
    if (count == 0) {
        dest[0] = '\0';
        return EOK;
    }
    if (count > BOUNDED_STRING_MAX_LEN) {
        dest[0] = '\0';
        return ERR_RANGE_CLEARED;
    }

    size_t length;
    if (count < capacity) {
        // A longer source is cut to count characters: that is what count is for.
        length = strnlen(src, count);
    } else {
        length = strnlen(src, capacity);
        if (length == capacity) {
            dest[0] = '\0';
            return ERR_RANGE_CLEARED;
        }
    }

    // The terminator written after the copy counts as part of the copy.
    const uintptr_t d = addr(dest);
    const uintptr_t s = addr(src);
    if ((d > s && d - s <= length) || (d < s && s - d <= length)) {
        dest[0] = '\0';
        return ERR_OVERLAP_CLEARED;
    }
    if (d != s) {
        std::memcpy(dest, src, length);
    }
    dest[length] = '\0';
    return EOK;
}
