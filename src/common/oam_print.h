// Diagnostics: every line goes to standard output as "[function:line]" and
// then the message.  The message formats carry the "[%s:%d]" prefix
// themselves, exactly as they are printed, and the macro fills in the calling
// function's name and line.
#pragma once

#include <cstdarg>

__attribute__((format(printf, 1, 2))) void oam_printf(const char *fmt, ...);

#define OAM_PRINT(fmt, ...) oam_printf(fmt, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
