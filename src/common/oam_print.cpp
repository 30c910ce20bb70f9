#include "common/oam_print_levels.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Set once at start-up, before any other thread prints.
bool g_stdout_journal;
bool g_stderr_journal;

// The journal names its stream as "device:inode" in JOURNAL_STREAM.
bool oam_fd_is_stream(int fd, const char *stream)
{
    struct stat st {};
    if (stream == nullptr || fstat(fd, &st) != 0) {
        return false;
    }
    char self[48];
    (void)snprintf(self, sizeof(self), "%llu:%llu", static_cast<unsigned long long>(st.st_dev),
                   static_cast<unsigned long long>(st.st_ino));
    return strcmp(self, stream) == 0;
}

// Lines printed before the daemon decides to run (by the INI module's
// constructor) are held here: a start that only answers --help, or that
// finds another daemon running, prints nothing of its own on stdout.
char g_held[2048];
size_t g_held_len;
bool g_holding;

bool oam_hold(bool levels, oam_level level, const char *fmt, va_list ap)
{
    if (!g_holding) {
        return false;
    }
    const size_t room = sizeof(g_held) - g_held_len;
    int len = levels ? snprintf(g_held + g_held_len, room, "<%d>", static_cast<int>(level)) : 0;
    if (len >= 0 && static_cast<size_t>(len) < room) {
        // A copy: when the line does not fit, the caller prints it from ap.
        va_list copy;
        va_copy(copy, ap);
        const int text = vsnprintf(g_held + g_held_len + len, room - static_cast<size_t>(len), fmt, copy);
        va_end(copy);
        len = text < 0 ? text : len + text;
    }
    if (len < 0 || static_cast<size_t>(len) >= room) {
        g_held[std::min(g_held_len, sizeof(g_held) - 1)] = '\0';  // the cut line goes
        oam_print_release(true);  // too much to hold: out in order, then this line
        return false;
    }
    g_held_len += static_cast<size_t>(len);
    return true;
}

// One locked stream per message: the level and the text of one thread's
// line are never split by another thread's.
void oam_vprint(FILE *out, bool levels, oam_level level, const char *fmt, va_list ap)
{
    if (out == stdout && oam_hold(levels, level, fmt, ap)) {
        return;
    }
    flockfile(out);
    if (levels) {
        fprintf(out, "<%d>", static_cast<int>(level));
    }
    vfprintf(out, fmt, ap);
    funlockfile(out);
}

}  // namespace

void oam_print_hold()
{
    oam_print_levels_init();
    g_holding = true;
}

void oam_print_release(bool keep)
{
    if (g_holding && keep) {
        fputs(g_held, stdout);
    }
    g_holding = false;
    g_held_len = 0;
}

void oam_print_levels_init()
{
    const char *stream = getenv("JOURNAL_STREAM");
    g_stdout_journal = oam_fd_is_stream(STDOUT_FILENO, stream);
    g_stderr_journal = oam_fd_is_stream(STDERR_FILENO, stream);
}

void oam_printf(oam_level level, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    oam_vprint(stdout, g_stdout_journal, level, fmt, ap);
    va_end(ap);
}

void oam_eprintf(oam_level level, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    oam_vprint(stderr, g_stderr_journal, level, fmt, ap);
    va_end(ap);
}
