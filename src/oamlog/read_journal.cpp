// The daemon's events journal read back: events shown among the records,
// the statistics of each core, the dump archives and the window of records
// before a dump.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/oam_file.h"
#include "oamlog/read_cursor.h"
#include "oamlog/read_journal.h"
#include "oamlog/read_stamp.h"
#include "oamlog/reader_status.h"

namespace {

constexpr char OAMLOG_JOURNAL[] = "oam_events";
constexpr off_t OAMLOG_JOURNAL_READ_MAX = 4 << 20;  // far beyond the two files the daemon keeps

// The journal's text from offset from; *odd is set when something other
// than a file stands under its name (a FIFO, a folder), which is not read.
std::string oamlog_read_small(const std::string &path, bool *odd, off_t from = 0, ino_t *ino = nullptr)
{
    std::string text;
    struct stat st {};
    const int fd = oam_open_regular(path.c_str(), O_RDONLY, 0, &st);
    *odd = fd == -2;
    if (fd < 0) {
        return text;
    }
    if (ino != nullptr) {
        *ino = st.st_ino;
    }
    char buf[65536];
    ssize_t n;
    while (static_cast<off_t>(text.size()) < OAMLOG_JOURNAL_READ_MAX &&
           ((n = pread(fd, buf, sizeof(buf), from + static_cast<off_t>(text.size()))) > 0 ||
            (n < 0 && errno == EINTR))) {
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        }
    }
    (void)close(fd);
    return text;
}

// damaged, or from a later build), which is passed over.
bool oamlog_parse_event(const std::string &line, oamlog_event *ev)
{
    char core[16];
    char event[32];
    int used = 0;
    uint16_t *s = ev->stamp;
    int stamp_len = 0;
    if (sscanf(line.c_str(), "%4hu-%2hu-%2hu %2hu:%2hu:%2hu.%3hu%n", &s[0], &s[1], &s[2], &s[3], &s[4], &s[5], &s[6],
               &stamp_len) != 7 ||
        !oamlog_fields_ok(s)) {
        return false;
    }
    // Lines of older builds carry no offset.
    ev->off = 0;
    ev->off_given = oamlog_parse_offset(line.c_str() + stamp_len, &ev->off) != 0;
    const char *rest = line.c_str() + stamp_len + (ev->off_given ? 5 : 0);
    if (*rest != ' ' || sscanf(rest, " %15s %31s%n", core, event, &used) != 2) {
        return false;
    }
    used += static_cast<int>(rest - line.c_str());
    ev->core = core;
    ev->event = event;
    ev->detail = static_cast<size_t>(used) < line.size() ? line.substr(static_cast<size_t>(used) + 1) : "";
    ev->line_ms = oamlog_stamp_ms(s);
    ev->shown_ms = ev->line_ms;
    ev->period = -1;
    ev->boot = -1;
    ev->key = 0;
    ev->count = 0;
    ev->overruns = false;
    ev->cause.clear();
    if (ev->event != "lost") {
        return true;
    }
    // The count as the daemon writes it: plain decimal digits that fit in
    // 64 bits; a sign or an overflow is damage, not a number to believe.
    const char *d = ev->detail.c_str();
    uint64_t count = 0;
    size_t digits = 0;
    for (; d[digits] >= '0' && d[digits] <= '9'; ++digits) {
        const auto digit = static_cast<uint64_t>(d[digits] - '0');
        if (count > (UINT64_MAX - digit) / 10) {
            return false;
        }
        count = count * 10 + digit;
    }
    char unit[16];
    int cause_at = 0;
    if (digits == 0 || d[digits] != ' ' || sscanf(d + digits, " %15[a-z]: %n", unit, &cause_at) != 1 ||
        cause_at == 0 || (strcmp(unit, "records") != 0 && strcmp(unit, "overruns") != 0)) {
        return false;
    }
    cause_at += static_cast<int>(digits);
    ev->count = count;
    ev->overruns = strcmp(unit, "overruns") == 0;
    const size_t sep = ev->detail.rfind(", ");
    uint16_t from[OAM_STAMP_FIELDS] = {s[0], s[1], s[2], 0, 0, 0, 0};
    int from_len = 0;
    int from_off = ev->off;
    if (sep == std::string::npos || sep < static_cast<size_t>(cause_at) ||
        sscanf(ev->detail.c_str() + sep + 2, "%2hu:%2hu:%2hu.%3hu%n", &from[3], &from[4], &from[5], &from[6],
               &from_len) != 4 ||
        !oamlog_fields_ok(from)) {
        return false;
    }
    const char *after = ev->detail.c_str() + sep + 2 + from_len;
    (void)oamlog_parse_offset(after, &from_off);
    ev->cause = ev->detail.substr(static_cast<size_t>(cause_at), sep - static_cast<size_t>(cause_at));
    // Shown where the loss began, not where its line was written; its time
    // may carry an offset of its own.
    const int64_t from_ms = oamlog_stamp_ms(from) + static_cast<int64_t>(ev->off - from_off) * 60000;
    if (from_ms <= ev->line_ms) {
        ev->shown_ms = from_ms;
        oamlog_ms_stamp(from_ms, ev->stamp);
    }
    return true;
}

// A key of the stamp's fields in order read as if UTC.

// Where the journal was read to, for following it.
struct oamlog_journal_place {
    std::string dir;
    bool report;
    ino_t ino;    // of the newest file
    off_t read;   // its bytes read, whole lines
    bool loaded;
};
oamlog_journal_place g_journal;
// Journal lines kept elsewhere (a dump's context), by where they came from:
// older than the journal's own files, read before them.
std::vector<std::pair<std::string, std::string>> g_journal_kept;

// still being written unless older.
size_t oamlog_journal_lines(const std::string &path, const std::string &text, bool older, size_t first_line,
                            uint64_t base, std::vector<oamlog_event> *events)
{
    // base: the file offset of text; OAMLOG_UNTOLD for lines kept elsewhere.
    const auto damaged = [&path, base](size_t line, size_t at, size_t bytes, const char *what) {
        if (!g_journal.report) {
            return;
        }
        oamlog_spot spot;
        spot.file = path;
        spot.offset = base == OAMLOG_UNTOLD ? OAMLOG_UNTOLD : base + at;
        spot.line = line;
        spot.skipped = bytes;
        spot.cause = what;
        spot.outcome = "skipped";
        oamlog_damage(spot);
    };
    size_t line = first_line;
    size_t at = 0;
    while (at < text.size()) {
        ++line;
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            // The newest file's last line may still be being written;
            // the older one's was cut short, and NUL bytes are padding.
            if (older || text.find('\0', at) != std::string::npos) {
                damaged(line, at, text.size() - at, "cut short");
                return text.size();
            }
            break;
        }
        // A power loss leaves the end of a file cut short or padded with
        // NUL bytes; the daemon's next line follows them.
        size_t from = at;
        const size_t nul = text.find_last_of('\0', end);
        if (nul != std::string::npos && nul >= at) {
            damaged(line, at, nul + 1 - at, "cut short or NUL padding before it");
            from = nul + 1;
        }
        oamlog_event ev;
        if (from == end) {
            // padding alone
        } else if (!oamlog_parse_event(text.substr(from, end - from), &ev)) {
            damaged(line, from, end + 1 - from, "not an event");
        } else {
            ev.line.assign(text, from, end + 1 - from);
            ev.seq = events->size();
            events->push_back(std::move(ev));
        }
        at = end + 1;
    }
    return at;
}

// The lines taken so far, and how often each was (by its hash): a line's
// cursor names it with the identical lines before it.
size_t g_journal_lines;
std::unordered_map<uint64_t, uint64_t> g_journal_seen;

void oamlog_journal_ids(std::vector<oamlog_event> *events, size_t from)
{
    for (size_t i = from; i < events->size(); ++i) {
        oamlog_event &ev = (*events)[i];
        ev.seq = g_journal_lines++;
        ev.line_id = oamlog_hash(ev.line.data(), ev.line.size());
        ev.line_n = g_journal_seen[ev.line_id]++;
    }
}

}  // namespace

void oamlog_journal_read(const std::string &root, bool report, std::vector<oamlog_event> *out)
{
    const std::string dir = root.empty() || root.back() == '/' ? root : root + "/";
    g_journal = {dir, report, 0, 0, true};
    std::vector<oamlog_event> events;
    for (const auto &[path, text] : g_journal_kept) {
        (void)oamlog_journal_lines(path, text, true, 0, OAMLOG_UNTOLD, &events);
    }
    const size_t kept = events.size();
    for (const char *suffix : {".1", ""}) {
        const std::string path = dir + OAMLOG_JOURNAL + suffix;
        bool odd = false;
        ino_t ino = 0;
        const std::string text = oamlog_read_small(path, &odd, 0, &ino);
        if (odd && report) {
            oamlog_spot spot;
            spot.file = path;
            spot.cause = "not a regular file";
            spot.outcome = "its events are not read";
            oamlog_damage(spot);
        }
        const size_t taken = oamlog_journal_lines(path, text, *suffix != '\0', 0, 0, &events);
        if (*suffix == '\0') {
            g_journal.ino = ino;
            g_journal.read = static_cast<off_t>(taken);
        }
    }
    // A kept line the journal still holds is the journal's.
    if (kept > 0) {
        const auto held = [&events, kept](const oamlog_event &ev) {
            return std::any_of(events.begin() + static_cast<std::ptrdiff_t>(kept), events.end(),
                               [&ev](const oamlog_event &e) { return e.line == ev.line; });
        };
        events.erase(std::remove_if(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(kept), held),
                     events.begin() + static_cast<std::ptrdiff_t>(kept));
    }
    g_journal_lines = 0;
    g_journal_seen.clear();
    oamlog_journal_ids(&events, 0);
    *out = std::move(events);
}

void oamlog_journal_keep(const std::string &path, const std::string &text)
{
    g_journal_kept.emplace_back(path, text);
}

bool oamlog_journal_loaded()
{
    return g_journal.loaded;
}

void oamlog_journal_read_more(std::vector<oamlog_event> *out)
{
    if (!g_journal.loaded) {
        return;
    }
    const std::string path = g_journal.dir + OAMLOG_JOURNAL;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return;
    }
    std::vector<oamlog_event> &events = *out;
    const size_t had = events.size();
    bool odd = false;
    if (st.st_ino != g_journal.ino) {
        // Rotated: the rest of the file read so far is the older one now.
        struct stat old {};
        const std::string older = path + ".1";
        if (g_journal.ino != 0 && stat(older.c_str(), &old) == 0 && old.st_ino == g_journal.ino) {
            (void)oamlog_journal_lines(older, oamlog_read_small(older, &odd, g_journal.read), true, 0,
                                      static_cast<uint64_t>(g_journal.read), &events);
        }
        g_journal.ino = st.st_ino;
        g_journal.read = 0;
    }
    ino_t ino = 0;
    const std::string text = oamlog_read_small(path, &odd, g_journal.read, &ino);
    if (ino == g_journal.ino) {
        g_journal.read += static_cast<off_t>(
            oamlog_journal_lines(path, text, false, 0, static_cast<uint64_t>(g_journal.read), &events));
    }
    oamlog_journal_ids(&events, had);
}
