// What the journal tells the next start: whether the run before ended
// without its stop, and what a cut left at the journal's end, taken out
// before the new run appends its first line behind it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/oam_file.h"
#include "common/oam_journal.h"
#include "common/oam_print.h"

oam_last_run g_last_run = {false, false, -1, "", "", "", {}, {}};

namespace {

// The journal never grows past twice its rotation size; a bigger file is
// not this daemon's, and only its end is looked at.
constexpr size_t OAM_JREAD_MAX = 2 * OAM_JOURNAL_MAX_BYTES;
constexpr size_t OAM_JSTART_LINE_MAX = 512;

// [start, size) of fd as far as it reads; *got the bytes read.
std::vector<char> oam_read_tail(int fd, off_t size, off_t start, size_t *got)
{
    std::vector<char> buf(static_cast<size_t>(size - start));
    *got = 0;
    while (*got < buf.size()) {
        const ssize_t n = pread(fd, buf.data() + *got, buf.size() - *got, start + static_cast<off_t>(*got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        *got += static_cast<size_t>(n);
    }
    return buf;
}

// The stamp at the start of a journal line: its length (with the offset
// when given) and its wall-clock time; 0 when the line starts with none.
size_t oam_jline_stamp(const char *line, timespec *ts)
{
    int f[7] = {};
    int used = 0;
    if (sscanf(line, "%4d-%2d-%2d %2d:%2d:%2d.%3d%n", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &used) != 7 ||
        used != 23 || f[1] < 1 || f[1] > 12 || f[2] < 1 || f[2] > 31 || f[3] > 23 || f[4] > 59 || f[5] > 60) {
        return 0;
    }
    struct tm t {};
    t.tm_year = f[0] - 1900;
    t.tm_mon = f[1] - 1;
    t.tm_mday = f[2];
    t.tm_hour = f[3];
    t.tm_min = f[4];
    t.tm_sec = f[5];
    const char *off = line + used;
    const bool has_off = (off[0] == '+' || off[0] == '-') && off[1] >= '0' && off[1] <= '9' && off[2] >= '0' &&
                         off[2] <= '9' && off[3] >= '0' && off[3] <= '5' && off[4] >= '0' && off[4] <= '9';
    time_t sec;
    if (has_off) {
        const long minutes = ((off[1] - '0') * 10 + (off[2] - '0')) * 60 + (off[3] - '0') * 10 + (off[4] - '0');
        sec = timegm(&t) - (off[0] == '-' ? -minutes : minutes) * 60;
    } else {
        // Lines of older builds: local time.
        t.tm_isdst = -1;
        sec = mktime(&t);
    }
    *ts = {sec, static_cast<long>(f[6]) * 1000000};
    return static_cast<size_t>(used) + (has_off ? 5 : 0);
}

// The boot id of a start line's detail ("..., boot ID, boottime ..."); empty
// when it names none.
void oam_start_boot(const char *detail, char *out, size_t len)
{
    out[0] = '\0';
    const char *at = strstr(detail, ", boot ");
    if (at == nullptr) {
        return;
    }
    at += strlen(", boot ");
    size_t n = 0;
    while ((at[n] >= '0' && at[n] <= '9') || (at[n] >= 'a' && at[n] <= 'f') || at[n] == '-') {
        ++n;
    }
    if (n > 0 && n < len && (at[n] == ',' || at[n] == '\0')) {
        (void)snprintf(out, len, "%.*s", static_cast<int>(n), at);
    }
}

}  // namespace

void oam_last_run_parse(const char *text, size_t len, oam_last_run *run, bool *found)
{
    *found = false;
    size_t end = len;
    while (end > 0) {
        size_t begin = end - 1;
        while (begin > 0 && text[begin - 1] != '\n') {
            --begin;
        }
        char line[OAM_JSTART_LINE_MAX];
        const size_t n = end - begin < sizeof(line) ? end - begin : sizeof(line) - 1;
        memcpy(line, text + begin, n);
        line[n] = '\0';
        if (n > 0 && line[n - 1] == '\n') {
            line[n - 1] = '\0';
        }
        const bool damaged = memchr(text + begin, '\0', end - begin) != nullptr;
        end = begin;
        timespec ts {};
        const size_t stamp_len = damaged ? 0 : oam_jline_stamp(line, &ts);
        if (stamp_len == 0) {
            continue;
        }
        if (run->last_line[0] == '\0') {
            (void)snprintf(run->last_line, sizeof(run->last_line), "%.*s", static_cast<int>(stamp_len), line);
            run->last_ts = ts;
        }
        const char *rest = line + stamp_len;
        if (strncmp(rest, " oam stop", 9) == 0 && (rest[9] == '\0' || rest[9] == ' ')) {
            run->known = true;
            run->unclean = false;
            *found = true;
            return;
        }
        if (strncmp(rest, " oam start", 10) == 0 && (rest[10] == '\0' || rest[10] == ' ')) {
            run->known = true;
            run->unclean = true;
            run->started_ts = ts;
            (void)snprintf(run->started, sizeof(run->started), "%.*s", static_cast<int>(stamp_len), line);
            const char *pid = strstr(rest, ", pid ");
            char *digits_end = nullptr;
            run->pid = pid != nullptr ? strtol(pid + 6, &digits_end, 10) : -1;
            if (pid == nullptr || digits_end == pid + 6 || run->pid <= 0) {
                run->pid = -1;
            }
            oam_start_boot(rest, run->boot, sizeof(run->boot));
            *found = true;
            return;
        }
    }
}

int oam_journal_last_run(const char *path, bool tail_cut, oam_last_run *run)
{
    *run = {false, false, -1, "", "", "", {}, {}};
    char older[OAM_JSTART_LINE_MAX];
    const char *paths[] = {path, older};
    (void)snprintf(older, sizeof(older), "%s.1", path);
    for (const char *p : paths) {
        struct stat st {};
        const int fd = oam_open_regular(p, O_RDONLY | O_NOFOLLOW, 0, &st);
        if (fd < 0) {
            continue;
        }
        const off_t start = st.st_size > static_cast<off_t>(OAM_JREAD_MAX) ? st.st_size - OAM_JREAD_MAX : 0;
        size_t got = 0;
        const std::vector<char> text = oam_read_tail(fd, st.st_size, start, &got);
        (void)close(fd);
        bool found = false;
        oam_last_run_parse(text.data(), got, run, &found);
        if (found) {
            break;
        }
    }
    if (!run->known) {
        run->last_line[0] = '\0';
    }
    // A stop is synced before the process ends: damage behind the last
    // whole line was written by a run after it, whose start line the cut
    // took.  That run began after the last whole line.
    if (tail_cut && !run->unclean) {
        const oam_last_run before = *run;
        *run = {true, true, -1, "unknown", "", "", before.last_ts, before.last_ts};
        (void)snprintf(run->last_line, sizeof(run->last_line), "%s",
                       before.last_line[0] != '\0' ? before.last_line : "unknown");
    }
    return run->unclean ? 0 : -1;
}

int64_t oam_journal_repair(const char *path)
{
    struct stat st {};
    const int fd = oam_open_regular(path, O_RDWR | O_NOFOLLOW, 0, &st);
    if (fd < 0) {
        return 0;
    }
    const off_t win = st.st_size > static_cast<off_t>(OAM_JREAD_MAX) ? st.st_size - OAM_JREAD_MAX : 0;
    size_t got = 0;
    const std::vector<char> text = oam_read_tail(fd, st.st_size, win, &got);
    // Where the window starts inside a line, that line is left as it is.
    size_t at = 0;
    if (win > 0) {
        const void *nl = memchr(text.data(), '\n', got);
        at = nl != nullptr ? static_cast<size_t>(static_cast<const char *>(nl) - text.data()) + 1 : got;
    }
    // Each stretch of lines cut short or holding NUL bytes; the window it
    // covers runs from the last good line before the first to the first
    // after the last (the file's last change when none follows).
    std::vector<oam_cut> cuts;
    timespec from = st.st_mtim;
    timespec to = st.st_mtim;
    bool from_set = false;
    bool to_set = false;
    while (at < got) {
        const void *nl = memchr(text.data() + at, '\n', got - at);
        const size_t end = nl != nullptr ? static_cast<size_t>(static_cast<const char *>(nl) - text.data()) + 1 : got;
        // Zeros up to a line that later blocks brought whole: the zeros go,
        // the line stays.  A line cut short, or zeros inside one, go with it.
        size_t bad_end = at;
        for (size_t i = at; i < end; ++i) {
            bad_end = text[i] == '\0' ? i + 1 : bad_end;
        }
        char line[40];
        const size_t n = end - bad_end < sizeof(line) ? end - bad_end : sizeof(line) - 1;
        memcpy(line, text.data() + bad_end, n);
        line[n] = '\0';
        timespec ts {};
        const bool stamped = nl != nullptr && oam_jline_stamp(line, &ts) != 0;
        if (nl == nullptr || (bad_end > at && !stamped)) {
            bad_end = end;
        }
        const off_t begin_off = win + static_cast<off_t>(at);
        const off_t bad_off = win + static_cast<off_t>(bad_end);
        if (bad_end > at && !cuts.empty() && cuts.back().end == begin_off) {
            cuts.back().end = bad_off;
        } else if (bad_end > at) {
            cuts.push_back({begin_off, bad_off});
            to_set = false;
        }
        if (bad_end < end && stamped && cuts.empty()) {
            from = ts;
            from_set = true;
        } else if (bad_end < end && stamped && !to_set) {
            to = ts;
            to_set = true;
        }
        at = end;
    }
    // What does not read is cut with the rest of the file behind it.
    const off_t read_end = win + static_cast<off_t>(got);
    if (read_end < st.st_size && !cuts.empty() && cuts.back().end == read_end) {
        cuts.back().end = st.st_size;
    } else if (read_end < st.st_size) {
        cuts.push_back({read_end, st.st_size});
        to_set = false;
    }
    int64_t cut = 0;
    for (const oam_cut &c : cuts) {
        cut += c.end - c.begin;
    }
    const int ret = oam_cut_out(path, fd, st.st_size, cuts.data(), cuts.size());
    const int err = errno;
    (void)close(fd);
    if (cuts.empty()) {
        return 0;
    }
    if (ret != 0) {
        char text_err[96];
        OAM_ERR("[%s:%d]%s: damage at its end not taken out: %s\n", path,
                  strerror_r(err, text_err, sizeof(text_err)));
        return 0;
    }
    to = to_set ? to : st.st_mtim;
    from = from_set ? from : to;
    if (to.tv_sec < from.tv_sec || (to.tv_sec == from.tv_sec && to.tv_nsec < from.tv_nsec)) {
        to = from;
    }
    OAM_WARN("[%s:%d]%s: %lld bytes a cut left taken out\n", path, static_cast<long long>(cut));
    oam_journal_lost_between(OAM_J_OAM, OAM_LOSS_UNCLEAN, cuts.size(), from, to);
    return cut;
}
