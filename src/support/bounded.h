// Bounds-checked memory, string and format functions.  Each takes the
// capacity of its destination, validates before it writes and returns a code
// instead of aborting; most failures also clear the destination.
#pragma once

#include <cstdarg>
#include <cstddef>

constexpr int EOK = 0;
constexpr int ERR_INVAL_CLEARED = 150;   // EINVAL | 0x80: source null, destination cleared
constexpr int ERR_RANGE_CLEARED = 162;   // ERANGE | 0x80: does not fit, destination cleared
constexpr int ERR_OVERLAP_CLEARED = 182; // 54 | 0x80: overlap, destination cleared

constexpr size_t BOUNDED_MEM_MAX_LEN = 0x7FFFFFFFUL;
constexpr size_t BOUNDED_STRING_MAX_LEN = 0x7FFFFFFFUL;
constexpr size_t BOUNDED_PRINT_MAX_COUNT = 0x7FFFFFFEUL;

int memcpy_s(void *dest, size_t capacity, const void *src, size_t count);
int memset_s(void *dest, size_t capacity, int c, size_t count);
int strncpy_s(char *dest, size_t capacity, const char *src, size_t count);

__attribute__((format(printf, 4, 5))) int snprintf_s(char *dest, size_t capacity, size_t count,
                                                     const char *format, ...);
__attribute__((format(printf, 4, 0))) int vsnprintf_s(char *dest, size_t capacity, size_t count,
                                                      const char *format, va_list ap);
__attribute__((format(printf, 3, 4))) int sprintf_s(char *dest, size_t capacity, const char *format, ...);
__attribute__((format(printf, 3, 0))) int vsprintf_s(char *dest, size_t capacity, const char *format,
                                                     va_list ap);

// "%s", "%c" and "%[" each take the destination and then its size as an
// unsigned 32-bit value.
int sscanf_s(const char *buffer, const char *format, ...);
int vsscanf_s(const char *buffer, const char *format, va_list ap);
