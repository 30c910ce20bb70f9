// Diagnostics: every line goes to standard output as "[function:line]" and
// then the message.  The message formats carry the "[%s:%d]" prefix
// themselves, exactly as they are printed, and the macros fill in the calling
// function's name and line.  Each print names its level where it is written:
// failures OAM_ERR, losses and refusals OAM_WARN, what a reader of a healthy
// start sees OAM_INFO, the per-step chatter OAM_DEBUG.  The level shows only
// when the output is the service manager's journal (oam_print_levels.h).
#pragma once

#include <cstdarg>

// The syslog levels the journal keeps.
enum oam_level : int { OAM_LEVEL_ERR = 3, OAM_LEVEL_WARNING = 4, OAM_LEVEL_INFO = 6, OAM_LEVEL_DEBUG = 7 };

__attribute__((format(printf, 2, 3))) void oam_printf(oam_level level, const char *fmt, ...);

#define OAM_ERR(fmt, ...) oam_printf(OAM_LEVEL_ERR, fmt, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define OAM_WARN(fmt, ...) oam_printf(OAM_LEVEL_WARNING, fmt, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define OAM_INFO(fmt, ...) oam_printf(OAM_LEVEL_INFO, fmt, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define OAM_DEBUG(fmt, ...) oam_printf(OAM_LEVEL_DEBUG, fmt, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
