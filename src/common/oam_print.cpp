#include "common/oam_print_levels.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int OAM_LEVEL_ERR = 3;
constexpr int OAM_LEVEL_WARNING = 4;
constexpr int OAM_LEVEL_INFO = 6;
constexpr int OAM_LEVEL_DEBUG = 7;

struct oam_level_rule {
    std::string_view part;  // a piece of the message format
    int level;
};

// The first row whose piece is in the format gives the level; a format that
// matches none is a routine line.  Failures read "fail", "err", "can't" ...
// in their texts, losses and refusals read "lost", "ignore" ... (looked for
// first: "overrun" holds "err"); the per-step chatter is named by its own
// words.
constexpr oam_level_rule OAM_LEVEL_RULES[] = {
    {"closed by the tool", OAM_LEVEL_INFO},
    {"recv:: %s", OAM_LEVEL_ERR},
    {"Sending message %d", OAM_LEVEL_DEBUG},
    {"create success", OAM_LEVEL_INFO},
    {"have end of .ini", OAM_LEVEL_INFO},
    // An INI key that is not there takes its default: no failure.
    {"read ini cfg fail", OAM_LEVEL_WARNING},
    {"get_cust_conf_int32 fail", OAM_LEVEL_WARNING},
    {"lost", OAM_LEVEL_WARNING},
    {"ignore", OAM_LEVEL_WARNING},
    {"refus", OAM_LEVEL_WARNING},
    {"did not end", OAM_LEVEL_WARNING},
    {"no longer", OAM_LEVEL_WARNING},
    {"cut off", OAM_LEVEL_WARNING},
    {"does not fit", OAM_LEVEL_WARNING},
    {"not find", OAM_LEVEL_WARNING},
    {"default", OAM_LEVEL_WARNING},
    {"is no IPv4", OAM_LEVEL_WARNING},
    {"taken as normal mode", OAM_LEVEL_WARNING},
    {"not readable", OAM_LEVEL_WARNING},
    {"fail", OAM_LEVEL_ERR},
    {"filed", OAM_LEVEL_ERR},
    {"faild", OAM_LEVEL_ERR},
    {"err", OAM_LEVEL_ERR},
    {"ERR", OAM_LEVEL_ERR},
    {"can't", OAM_LEVEL_ERR},
    {"can not", OAM_LEVEL_ERR},
    {"Can not", OAM_LEVEL_ERR},
    {"< 0", OAM_LEVEL_ERR},
    {"illegal", OAM_LEVEL_ERR},
    {"not exist", OAM_LEVEL_ERR},
    {"not open", OAM_LEVEL_ERR},
    {"NULL", OAM_LEVEL_ERR},
    {"null", OAM_LEVEL_ERR},
    {":: entry", OAM_LEVEL_DEBUG},
    {"recv VTL data", OAM_LEVEL_DEBUG},
    {"[read] data", OAM_LEVEL_DEBUG},
    {"cmd len=", OAM_LEVEL_DEBUG},
    {"msg type is", OAM_LEVEL_DEBUG},
    {"get ini var", OAM_LEVEL_DEBUG},
    {"]%s=%", OAM_LEVEL_DEBUG},
    {"in %s func", OAM_LEVEL_DEBUG},
    {"bind over", OAM_LEVEL_DEBUG},
    {"socket over", OAM_LEVEL_DEBUG},
    {"read total len", OAM_LEVEL_DEBUG},
    {"save ok", OAM_LEVEL_DEBUG},
    {"data have write", OAM_LEVEL_DEBUG},
    {"rotate begin", OAM_LEVEL_DEBUG},
    {"inter oam_netlink_create", OAM_LEVEL_DEBUG},
    {"rename_old_file\n", OAM_LEVEL_DEBUG},
};

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

bool oam_hold(bool levels, const char *fmt, va_list ap)
{
    if (!g_holding) {
        return false;
    }
    const size_t room = sizeof(g_held) - g_held_len;
    int len = levels ? snprintf(g_held + g_held_len, room, "<%d>", oam_print_level(fmt)) : 0;
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
void oam_vprint(FILE *out, bool levels, const char *fmt, va_list ap)
{
    if (out == stdout && oam_hold(levels, fmt, ap)) {
        return;
    }
    flockfile(out);
    if (levels) {
        fprintf(out, "<%d>", oam_print_level(fmt));
    }
    vfprintf(out, fmt, ap);
    funlockfile(out);
}

}  // namespace

int oam_print_level(const char *fmt)
{
    const std::string_view text = fmt != nullptr ? fmt : "";
    for (const oam_level_rule &rule : OAM_LEVEL_RULES) {
        if (text.find(rule.part) != std::string_view::npos) {
            return rule.level;
        }
    }
    return OAM_LEVEL_INFO;
}

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

void oam_printf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    oam_vprint(stdout, g_stdout_journal, fmt, ap);
    va_end(ap);
}

void oam_eprintf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    oam_vprint(stderr, g_stderr_journal, fmt, ap);
    va_end(ap);
}
