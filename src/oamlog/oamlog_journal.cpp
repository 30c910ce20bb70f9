// The daemon's events journal read back: events shown among the records,
// the statistics of each core, the dump archives and the window of records
// before a dump.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "common/oam_file.h"
#include "common/oam_tar.h"
#include "oamlog/oamlog.h"

std::vector<oamlog_event> g_oamlog_events;

namespace {

constexpr char OAMLOG_JOURNAL[] = "oam_events";
constexpr off_t OAMLOG_JOURNAL_READ_MAX = 4 << 20;  // far beyond the two files the daemon keeps
constexpr size_t OAMLOG_TAR_BLOCK = 512;
size_t g_event_next;

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

bool oamlog_fields_ok(const uint16_t *s)
{
    return s[1] >= 1 && s[1] <= 12 && s[2] >= 1 && s[2] <= 31 && s[3] < 24 && s[4] < 60 && s[5] < 61 && s[6] < 1000;
}

// One journal line; false for a line that does not read as one (cut short,
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
int64_t oamlog_local_key_ms(uint64_t key)
{
    uint16_t s[OAM_STAMP_FIELDS];
    for (int f = OAM_STAMP_FIELDS - 1; f >= 0; --f) {
        const uint64_t scale = f == OAM_STAMP_FIELDS - 1 ? 1000 : (f == 0 ? 100000 : 100);
        s[f] = static_cast<uint16_t>(key % scale);
        key /= scale;
    }
    return oamlog_stamp_ms(s);
}

void oamlog_key_text(char *text, size_t cap, uint64_t key, char sep)
{
    uint16_t s[OAM_STAMP_FIELDS];
    for (int f = OAM_STAMP_FIELDS - 1; f >= 0; --f) {
        const uint64_t scale = f == OAM_STAMP_FIELDS - 1 ? 1000 : (f == 0 ? 100000 : 100);
        s[f] = static_cast<uint16_t>(key % scale);
        key /= scale;
    }
    (void)snprintf(text, cap, "%04u-%02u-%02u%c%02u:%02u:%02u.%03u", s[0] % 10000U, s[1] % 100U, s[2] % 100U, sep,
                   s[3] % 100U, s[4] % 100U, s[5] % 100U, s[6] % 1000U);
}

// An archive's dump type and the time in its name:
// "readm_wifi_sdio_2026_12_09_10_02_03.tar.gz" -> "readm_wifi_sdio", key.
bool oamlog_archive_name(const std::string &name, std::string *type, uint64_t *key)
{
    const std::string base = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
    constexpr size_t date_len = 19;  // YYYY_MM_DD_HH_MM_SS
    size_t end = base.find(".tar.gz");
    // A renumbered archive carries its number in front of the suffix.
    const size_t dot = end == std::string::npos ? end : base.rfind('.', end - 1);
    if (dot != std::string::npos && dot + 1 < end &&
        std::all_of(base.begin() + static_cast<long>(dot) + 1, base.begin() + static_cast<long>(end),
                    [](char c) { return c >= '0' && c <= '9'; })) {
        end = dot;
    }
    if (end == std::string::npos || end < date_len + 1 || base[end - date_len - 1] != '_') {
        return false;
    }
    uint16_t s[OAM_STAMP_FIELDS] = {};
    if (sscanf(base.c_str() + end - date_len, "%4hu_%2hu_%2hu_%2hu_%2hu_%2hu", &s[0], &s[1], &s[2], &s[3], &s[4],
               &s[5]) != 6 ||
        !oamlog_fields_ok(s)) {
        return false;
    }
    *type = base.substr(0, end - date_len - 1);
    *key = oamlog_stamp_key(s);
    return true;
}

// When the dump of an archive was reported and when its archive was done:
// from the journal, else from the name.  false when neither tells.
// As stamped (keys of the fields in order), or placed on the time line
// (a name without its journal line taken in this machine's zone).
bool oamlog_dump_times(const std::string &name, uint64_t *reported, uint64_t *done,
                       const oamlog_event **report = nullptr, bool placed = false)
{
    std::string type;
    uint64_t name_key = 0;
    if (!oamlog_archive_name(name, &type, &name_key)) {
        return false;
    }
    *reported = name_key;
    if (placed) {
        const int64_t ms = oamlog_local_key_ms(name_key);
        *reported = oamlog_key_of_ms(ms - static_cast<int64_t>(oamlog_guess_offset(ms)) * 60000);
    }
    *done = *reported + 999;
    const auto at = [placed](const oamlog_event &ev) { return placed ? ev.key : oamlog_stamp_key(ev.stamp); };
    const oamlog_event *archive = nullptr;
    std::vector<const oamlog_event *> written;  // of the type, oldest first
    for (const oamlog_event &ev : g_oamlog_events) {
        std::string ev_type;
        uint64_t ev_key = 0;
        if (ev.event.rfind("archive-", 0) != 0 || !oamlog_archive_name(ev.detail, &ev_type, &ev_key) ||
            ev_type != type) {
            continue;
        }
        if (ev.event == "archive-written") {
            written.push_back(&ev);
        }
        if (ev_key == name_key) {
            archive = &ev;
        }
    }
    if (archive == nullptr) {
        return true;
    }
    // Two dumps of a type in one second share the name's time: the number
    // the rotation gave the older ones (".1" the one before the newest)
    // tells which one this is.
    const size_t gz = name.rfind(".tar.gz");
    const size_t dot = gz == std::string::npos || gz == 0 ? std::string::npos : name.rfind('.', gz - 1);
    unsigned long number = 0;
    if (dot != std::string::npos && dot + 1 < gz && gz - dot <= 4 &&
        std::all_of(name.begin() + static_cast<long>(dot) + 1, name.begin() + static_cast<long>(gz),
                    [](char c) { return c >= '0' && c <= '9'; })) {
        number = strtoul(name.c_str() + dot + 1, nullptr, 10);
    }
    if (number < written.size()) {
        const oamlog_event *nth = written[written.size() - 1 - number];
        std::string nth_type;
        uint64_t nth_key = 0;
        if (oamlog_archive_name(nth->detail, &nth_type, &nth_key) && nth_key == name_key) {
            archive = nth;
        }
    }
    *done = at(*archive);
    for (const oamlog_event &ev : g_oamlog_events) {
        if (&ev == archive) {
            break;
        }
        if (ev.event == "dump-reported" && ev.detail == type) {
            *reported = at(ev);
            if (report != nullptr) {
                *report = &ev;
            }
        }
    }
    return true;
}

// What reading an archive back found.
struct oamlog_tar_state {
    unsigned members;
    unsigned damaged_at;  // the member whose header is damaged, 0 none
    bool gzip;
    bool complete;        // ends in a zero block, the gzip stream whole
};

bool oamlog_tar_header_ok(const unsigned char *block)
{
    return oam_tar_header_ok(block);
}

// Members and completeness of a .tar.gz: each header's checksum is
// checked and its size skipped; a complete archive ends in a zero block
// and its gzip stream reads to its end without error.
oamlog_tar_state oamlog_tar_members(const std::string &path)
{
    oamlog_tar_state state{0, 0, false, false};
    // The name was a plain file when listed; it may have been replaced
    // since by a link to something endless.
    struct stat st {};
    const int fd = oam_open_regular(path.c_str(), O_RDONLY | O_NOFOLLOW, 0, &st);
    if (fd < 0) {
        return state;
    }
    // zlib reads a file without the gzip magic as it is: a plain tar.
    unsigned char magic[2] = {};
    state.gzip = pread(fd, magic, sizeof(magic), 0) == 2 && magic[0] == 0x1F && magic[1] == 0x8B;
    gzFile gz = state.gzip ? gzdopen(fd, "rb") : nullptr;
    if (gz == nullptr) {
        (void)close(fd);
        return state;
    }
    unsigned char block[OAMLOG_TAR_BLOCK];
    for (;;) {
        if (gzread(gz, block, sizeof(block)) != static_cast<int>(sizeof(block))) {
            break;
        }
        if (std::all_of(block, block + sizeof(block), [](unsigned char c) { return c == 0; })) {
            while (gzread(gz, block, sizeof(block)) > 0) {
            }
            int err = Z_OK;
            (void)gzerror(gz, &err);
            state.complete = err == Z_OK;
            break;
        }
        if (!oamlog_tar_header_ok(block)) {
            state.damaged_at = state.members + 1;
            break;
        }
        char size_field[13] = {};
        memcpy(size_field, block + 124, 12);
        const unsigned long long size = strtoull(size_field, nullptr, 8);
        ++state.members;
        const unsigned long long skip = (size + OAMLOG_TAR_BLOCK - 1) / OAMLOG_TAR_BLOCK * OAMLOG_TAR_BLOCK;
        if (skip > 0 && gzseek(gz, static_cast<z_off_t>(skip), SEEK_CUR) < 0) {
            break;
        }
    }
    (void)gzclose(gz);
    return state;
}

// How the dump reported by report ended: the next dump-saved, dump-failed
// or dump-abandoned of its type ("TYPE", "TYPE: why", "TYPE at stop").
const oamlog_event *oamlog_dump_outcome(const oamlog_event *report)
{
    const std::string &type = report->detail;
    for (const oamlog_event *ev = report + 1; ev < g_oamlog_events.data() + g_oamlog_events.size(); ++ev) {
        if ((ev->event == "dump-saved" || ev->event == "dump-failed" || ev->event == "dump-abandoned") &&
            ev->detail.compare(0, type.size(), type) == 0 &&
            (ev->detail.size() == type.size() || ev->detail[type.size()] == ':' || ev->detail[type.size()] == ' ')) {
            return ev;
        }
    }
    return nullptr;
}

}  // namespace

namespace {

// Where the journal was read to, for following it.
struct oamlog_journal_place {
    std::string dir;
    std::vector<std::string> cores;
    uint64_t since;
    uint64_t until;
    bool report;
    ino_t ino;    // of the newest file
    off_t read;   // its bytes read, whole lines
    bool loaded;
};
oamlog_journal_place g_journal;
// Journal lines kept elsewhere (a dump's context), by where they came from:
// older than the journal's own files, read before them.
std::vector<std::pair<std::string, std::string>> g_journal_kept;

bool oamlog_event_wanted(const oamlog_event &ev)
{
    return ev.key >= g_journal.since && ev.key <= g_journal.until &&
           (g_oamlog_boot_pick < 0 || ev.boot == g_oamlog_boot_pick) &&
           (g_journal.cores.empty() ||
            std::find(g_journal.cores.begin(), g_journal.cores.end(), ev.core) != g_journal.cores.end());
}

// The events of text (the bytes of path from its line first_line on)
// into events; returns the bytes taken: whole lines, and a last line
// still being written unless older.
size_t oamlog_journal_lines(const std::string &path, const std::string &text, bool older, size_t first_line,
                            std::vector<oamlog_event> *events)
{
    const auto damaged = [&path](size_t line, const char *what) {
        if (!g_journal.report) {
            return;
        }
        ++g_oamlog_damage_count;
        (void)fprintf(g_oamlog_damage_out, "%s%s: line %zu: %s; skipped\n",
                      g_oamlog_damage_out == stderr ? "oamlog: " : "", oamlog_name_text(path.c_str()).c_str(), line,
                      what);
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
                damaged(line, "cut short");
                return text.size();
            }
            break;
        }
        // A power loss leaves the end of a file cut short or padded with
        // NUL bytes; the daemon's next line follows them.
        size_t from = at;
        const size_t nul = text.find_last_of('\0', end);
        if (nul != std::string::npos && nul >= at) {
            damaged(line, "cut short or NUL padding before it");
            from = nul + 1;
        }
        oamlog_event ev;
        if (from == end) {
            // padding alone
        } else if (!oamlog_parse_event(text.substr(from, end - from), &ev)) {
            damaged(line, "not an event");
        } else {
            ev.line.assign(text, from, end + 1 - from);
            ev.seq = events->size();
            events->push_back(std::move(ev));
        }
        at = end + 1;
    }
    return at;
}

}  // namespace

void oamlog_journal_load(const std::string &root, const std::vector<std::string> &cores, uint64_t since,
                         uint64_t until, bool report)
{
    const std::string dir = root.empty() || root.back() == '/' ? root : root + "/";
    g_journal = {dir, cores, since, until, report, 0, 0, true};
    std::vector<oamlog_event> events;
    for (const auto &[path, text] : g_journal_kept) {
        (void)oamlog_journal_lines(path, text, true, 0, &events);
    }
    const size_t kept = events.size();
    for (const char *suffix : {".1", ""}) {
        const std::string path = dir + OAMLOG_JOURNAL + suffix;
        bool odd = false;
        ino_t ino = 0;
        const std::string text = oamlog_read_small(path, &odd, 0, &ino);
        if (odd && report) {
            ++g_oamlog_damage_count;
            (void)fprintf(g_oamlog_damage_out, "%s%s: not a regular file; its events are not read\n",
                          g_oamlog_damage_out == stderr ? "oamlog: " : "", oamlog_name_text(path.c_str()).c_str());
        }
        const size_t taken = oamlog_journal_lines(path, text, *suffix != '\0', 0, &events);
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
        for (size_t i = 0; i < events.size(); ++i) {
            events[i].seq = i;
        }
    }
    // Every line places the time line, whether shown or not.
    oamlog_time_reset();
    for (oamlog_event &ev : events) {
        oamlog_time_add(&ev);
    }
    for (oamlog_event &ev : events) {
        oamlog_time_key(&ev);
    }
    std::erase_if(events, [](const oamlog_event &ev) { return !oamlog_event_wanted(ev); });
    // Kept in the order written (a stamp may step back when the clock is
    // set); a loss moves back to where it began.
    g_oamlog_events.clear();
    for (oamlog_event &ev : events) {
        auto at = g_oamlog_events.end();
        if (ev.event == "lost") {
            at = std::find_if(g_oamlog_events.begin(), g_oamlog_events.end(),
                              [&ev](const oamlog_event &e) { return e.key > ev.key; });
        }
        g_oamlog_events.insert(at, std::move(ev));
    }
}

bool oamlog_is_dump_archive(const std::string &path)
{
    std::string type;
    uint64_t key = 0;
    return oamlog_archive_name(path, &type, &key);
}

void oamlog_journal_add(const std::string &path, const std::string &text)
{
    // The time line is placed over every line in the order written, so the
    // journal is read again with these lines before it.
    g_journal_kept.emplace_back(path, text);
    const oamlog_journal_place was = g_journal;
    oamlog_journal_load(was.dir, was.cores, was.since, was.until, was.report);
}

void oamlog_journal_more()
{
    if (!g_journal.loaded) {
        return;
    }
    const std::string path = g_journal.dir + OAMLOG_JOURNAL;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return;
    }
    std::vector<oamlog_event> events;
    bool odd = false;
    if (st.st_ino != g_journal.ino) {
        // Rotated: the rest of the file read so far is the older one now.
        struct stat old {};
        const std::string older = path + ".1";
        if (g_journal.ino != 0 && stat(older.c_str(), &old) == 0 && old.st_ino == g_journal.ino) {
            (void)oamlog_journal_lines(older, oamlog_read_small(older, &odd, g_journal.read), true, 0, &events);
        }
        g_journal.ino = st.st_ino;
        g_journal.read = 0;
    }
    ino_t ino = 0;
    const std::string text = oamlog_read_small(path, &odd, g_journal.read, &ino);
    if (ino == g_journal.ino) {
        g_journal.read += static_cast<off_t>(oamlog_journal_lines(path, text, false, 0, &events));
    }
    for (oamlog_event &ev : events) {
        oamlog_time_add(&ev);
        oamlog_time_key(&ev);
    }
    std::erase_if(events, [](const oamlog_event &ev) { return !oamlog_event_wanted(ev); });
    // Shown as they come, after what is shown already.
    g_oamlog_events.insert(g_oamlog_events.end(), events.begin(), events.end());
}

void oamlog_print_event(FILE *out, const oamlog_print_opts &opts, const oamlog_event &ev)
{
    char stamp[64];
    const char sep = opts.format == OAMLOG_JSON ? 'T' : ' ';
    oamlog_key_text(stamp, sizeof(stamp), oamlog_stamp_key(ev.stamp), sep);
    char utc[40];
    oamlog_utc_text(utc, sizeof(utc), ev.key, sep);
    (void)strcat(utc, "Z");
    if (opts.format == OAMLOG_JSON) {
        (void)snprintf(stamp + strlen(stamp), sizeof(stamp) - strlen(stamp), "%s\",\"utc\":\"%s",
                       oamlog_offset_text(ev.off, true).c_str(), utc);
    } else if (opts.utc) {
        (void)snprintf(stamp, sizeof(stamp), "%s", utc);
    }
    const char *unit = ev.overruns ? "overruns" : "records";
    if (opts.format == OAMLOG_JSON) {
        if (ev.event == "lost") {
            (void)fprintf(out,
                          "{\"time\":\"%s\",\"core\":%s,\"event\":\"lost\",\"count\":%llu,\"unit\":\"%s\",\"cause\":%s}\n",
                          stamp, oamlog_json_text(ev.core.c_str()).c_str(), static_cast<unsigned long long>(ev.count),
                          unit, oamlog_json_text(ev.cause.c_str()).c_str());
        } else {
            (void)fprintf(out, "{\"time\":\"%s\",\"core\":%s,\"event\":%s,\"detail\":%s}\n", stamp,
                          oamlog_json_text(ev.core.c_str()).c_str(), oamlog_json_text(ev.event.c_str()).c_str(),
                          oamlog_json_text(ev.detail.c_str()).c_str());
        }
        return;
    }
    // The journal is outside bytes too: shown escaped, as names are.
    std::string line = std::string(stamp) + " ";
    char core[32];
    (void)snprintf(core, sizeof(core), "%-4s", oamlog_name_text(ev.core.c_str()).c_str());
    line += core;
    if (ev.event == "lost") {
        line += " -- " + std::to_string(ev.count) + " " + unit + " lost: " + oamlog_name_text(ev.cause.c_str()) + " --";
    } else {
        line += " -- " + oamlog_name_text(ev.event.c_str()) + (ev.detail.empty() ? "" : " ") +
                oamlog_name_text(ev.detail.c_str()) + " --";
    }
    oamlog_cut_line(&line, opts.width);
    line.push_back('\n');
    (void)fwrite(line.data(), 1, line.size(), out);
}

namespace {

bool oamlog_event_leads(const oamlog_event &ev)
{
    // Written before any record of its run is stored; a zone change before
    // the record whose stamp noticed it, and stamped with that record's time.
    return ev.event == "start" || ev.event == "capture-started" || ev.event == "zone-changed";
}

}  // namespace

void oamlog_events_until(FILE *out, const oamlog_print_opts &opts, uint64_t key, bool print, const char *core)
{
    if (opts.format == OAMLOG_RAW || opts.format == OAMLOG_CHECK) {
        return;
    }
    // Each core read on its own keeps a place of its own in the events.
    static std::vector<std::pair<std::string, size_t>> places;
    size_t *next = &g_event_next;
    if (core != nullptr) {
        auto it = std::find_if(places.begin(), places.end(), [core](const auto &p) { return p.first == core; });
        if (it == places.end()) {
            places.emplace_back(core, 0);
            it = places.end() - 1;
        }
        next = &it->second;
    }
    // Of the same millisecond, an event comes after the records, which were
    // written before it, but the start of a run comes before them.
    for (; *next < g_oamlog_events.size(); ++*next) {
        const oamlog_event &ev = g_oamlog_events[*next];
        if (ev.key > key || (ev.key == key && key != UINT64_MAX && !oamlog_event_leads(ev))) {
            break;
        }
        if (print && (core == nullptr || ev.core == core)) {
            oamlog_print_event(out, opts, ev);
        }
    }
}

uint64_t oamlog_journal_lost(const std::string &core, bool overruns)
{
    uint64_t lost = 0;
    for (const oamlog_event &ev : g_oamlog_events) {
        if (ev.event == "lost" && ev.core == core && ev.overruns == overruns) {
            lost = ev.count > UINT64_MAX - lost ? UINT64_MAX : lost + ev.count;
        }
    }
    return lost;
}

void oamlog_check_losses(FILE *out)
{
    oamlog_print_opts opts{OAMLOG_TEXT, 0, false};
    for (const oamlog_event &ev : g_oamlog_events) {
        if (ev.event == "lost") {
            (void)fputs("journal: ", out);
            oamlog_print_event(out, opts, ev);
        }
    }
}

void oamlog_stats(FILE *out, std::vector<oamlog_source> &sources, bool json, uint64_t since, uint64_t until)
{
    struct row {
        std::string core;
        size_t files;
        uint64_t records, bytes, first, last, peak, lost, overruns, damaged;
    };
    std::vector<row> rows;
    size_t core_width = 4;
    for (oamlog_source &src : sources) {
        src.quiet = true;
        row r{src.core, src.files.size(), 0, 0, 0, 0, 0,
              oamlog_journal_lost(src.core, false), oamlog_journal_lost(src.core, true), 0};
        uint64_t second = UINT64_MAX;
        uint64_t in_second = 0;
        oamlog_rec rec{};
        while (oamlog_next(&src, &rec) > 0) {
            if (rec.key < since || rec.key > until || (g_oamlog_boot_pick >= 0 && rec.boot != g_oamlog_boot_pick)) {
                continue;
            }
            // Shown as stamped.
            r.first = r.records == 0 ? rec.local : r.first;
            r.last = rec.local;
            ++r.records;
            r.bytes += rec.rec_len;
            in_second = rec.key / 1000 == second ? in_second + 1 : 1;
            second = rec.key / 1000;
            r.peak = std::max(r.peak, in_second);
        }
        r.damaged = src.damaged;
        // A core the chip does not have: its folder is there, empty.
        if (r.files == 0 && r.lost == 0 && r.overruns == 0) {
            continue;
        }
        core_width = std::max(core_width, oamlog_name_text(r.core.c_str()).size());
        rows.push_back(r);
    }
    if (!json) {
        (void)fprintf(out, "%-*s %5s %9s %11s %-23s %-23s %6s %9s %9s %7s\n", static_cast<int>(core_width), "core",
                      "files", "records", "bytes", "first", "last", "peak/s", "lost", "overruns", "damaged");
    }
    for (const row &r : rows) {
        // A first record without a good stamp before it has no time.
        char first[32] = "-";
        char last[32] = "-";
        if (r.first != 0) {
            oamlog_key_text(first, sizeof(first), r.first, json ? 'T' : ' ');
        }
        if (r.last != 0) {
            oamlog_key_text(last, sizeof(last), r.last, json ? 'T' : ' ');
        }
        const auto ull = [](uint64_t v) { return static_cast<unsigned long long>(v); };
        if (json) {
            (void)fprintf(out,
                          "{\"core\":%s,\"files\":%zu,\"records\":%llu,\"bytes\":%llu,\"first\":%s,\"last\":%s,"
                          "\"peak\":%llu,\"lost\":%llu,\"overruns\":%llu,\"damaged\":%llu}\n",
                          oamlog_json_text(r.core.c_str()).c_str(), r.files, ull(r.records), ull(r.bytes),
                          r.first != 0 ? ("\"" + std::string(first) + "\"").c_str() : "null",
                          r.last != 0 ? ("\"" + std::string(last) + "\"").c_str() : "null", ull(r.peak), ull(r.lost),
                          ull(r.overruns), ull(r.damaged));
        } else {
            (void)fprintf(out, "%-*s %5zu %9llu %11llu %-23s %-23s %6llu %9llu %9llu %7llu\n",
                          static_cast<int>(core_width), oamlog_name_text(r.core.c_str()).c_str(), r.files, ull(r.records), ull(r.bytes), first,
                          last, ull(r.peak), ull(r.lost), ull(r.overruns), ull(r.damaged));
        }
    }
    oamlog_list_unclean(out, json, since, until);
}

int oamlog_dumps(FILE *out, const std::string &root, bool json)
{
    const std::string dir = (root.empty() || root.back() == '/' ? root : root + "/") + "memdump/";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        oamlog_error("%s: %s", oamlog_name_text(dir.c_str()).c_str(), strerror(errno));
        return OAMLOG_FAILED;
    }
    struct listed {
        uint64_t reported;
        std::string core;
        std::string type;
        long long size;  // -1: no archive
        std::string state;
        std::string name;
        bool context;  // a context file is kept beside the archive
    };
    std::vector<listed> rows;
    std::vector<const oamlog_event *> archived;
    for (const dirent *ent = readdir(d); ent != nullptr; ent = readdir(d)) {
        std::string type;
        uint64_t key = 0;
        uint64_t done = 0;
        const oamlog_event *report = nullptr;
        if (!oamlog_archive_name(ent->d_name, &type, &key) || !oamlog_dump_times(ent->d_name, &key, &done, &report)) {
            continue;
        }
        const char *core = type.find("wifi") != std::string::npos ? "wifi"
                           : type.find("bfgx") != std::string::npos ? "bfg"
                           : type.find("_me_") != std::string::npos ? "me"
                                                                    : "-";
        struct stat st {};
        const std::string path = dir + ent->d_name;
        const long long size = lstat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
        oamlog_tar_state tar{0, 0, true, false};
        if (size >= 0 && S_ISREG(st.st_mode)) {
            tar = oamlog_tar_members(path);
        }
        std::string state = std::to_string(tar.members) + " members, ";
        if (!tar.gzip) {
            state = "not a gzip file";
        } else if (tar.damaged_at != 0) {
            state += "damaged at member " + std::to_string(tar.damaged_at);
        } else {
            state += tar.complete ? "complete" : "incomplete";
        }
        const oamlog_event *outcome = report != nullptr ? oamlog_dump_outcome(report) : nullptr;
        if (outcome != nullptr && outcome->event != "dump-saved") {
            state = outcome->event + outcome->detail.substr(report->detail.size());
        }
        archived.push_back(report);
        struct stat ctx {};
        const std::string ctx_path = oamlog_context_path(root, ent->d_name);
        const bool context = !ctx_path.empty() && lstat(ctx_path.c_str(), &ctx) == 0 && S_ISREG(ctx.st_mode);
        rows.push_back({key, core, type, size, state, ent->d_name, context});
    }
    (void)closedir(d);
    // A dump that ended without an archive is a line of its own.
    for (const oamlog_event &ev : g_oamlog_events) {
        const oamlog_event *outcome = ev.event == "dump-reported" ? oamlog_dump_outcome(&ev) : nullptr;
        if (outcome != nullptr && outcome->event != "dump-saved" &&
            std::find(archived.begin(), archived.end(), &ev) == archived.end()) {
            rows.push_back({oamlog_stamp_key(ev.stamp), ev.core, ev.detail, -1,
                            outcome->event + outcome->detail.substr(ev.detail.size()), "", false});
        }
    }
    std::sort(rows.begin(), rows.end(), [](const listed &a, const listed &b) {
        return a.reported < b.reported || (a.reported == b.reported && a.name < b.name);
    });
    for (const listed &r : rows) {
        char stamp[32];
        oamlog_key_text(stamp, sizeof(stamp), r.reported, json ? 'T' : ' ');
        if (json) {
            (void)fprintf(out,
                          "{\"time\":\"%s\",\"core\":%s,\"type\":%s,\"bytes\":%lld,\"state\":%s,\"archive\":%s,"
                          "\"context\":%s}\n",
                          stamp, oamlog_json_text(r.core.c_str()).c_str(), oamlog_json_text(r.type.c_str()).c_str(),
                          r.size, oamlog_json_text(r.state.c_str()).c_str(),
                          r.size < 0 && r.name.empty() ? "null" : oamlog_json_text(r.name.c_str()).c_str(),
                          r.context ? "true" : "false");
        } else if (r.name.empty()) {
            (void)fprintf(out, "%s %-4s %s no archive: %s\n", stamp, oamlog_name_text(r.core.c_str()).c_str(),
                         oamlog_name_text(r.type.c_str()).c_str(), oamlog_name_text(r.state.c_str()).c_str());
        } else {
            (void)fprintf(out, "%s %-4s %s %lld bytes, %s  %s%s\n", stamp, oamlog_name_text(r.core.c_str()).c_str(),
                         oamlog_name_text(r.type.c_str()).c_str(), r.size, oamlog_name_text(r.state.c_str()).c_str(),
                         oamlog_name_text(r.name.c_str()).c_str(), r.context ? "  with context" : "");
        }
    }
    return OAMLOG_OK;
}

int oamlog_dump_window(const std::string &archive, long before, uint64_t *since, uint64_t *until)
{
    uint64_t reported = 0;
    uint64_t done = 0;
    if (!oamlog_dump_times(archive, &reported, &done, nullptr, true)) {
        oamlog_error("%s: not a dump archive name (TYPE_YYYY_MM_DD_HH_MM_SS.tar.gz)",
                     oamlog_name_text(archive.c_str()).c_str());
        return -1;
    }
    const auto back = static_cast<uint64_t>(before) * 1000;
    *since = reported > back ? reported - back : 0;
    *until = done;
    return 0;
}

bool oamlog_dump_reported(const std::string &archive, uint64_t *reported)
{
    uint64_t done = 0;
    return oamlog_dump_times(archive, reported, &done);
}

std::string oamlog_journal_select()
{
    std::vector<const oamlog_event *> taken;
    for (const oamlog_event &ev : g_oamlog_events) {
        taken.push_back(&ev);
    }
    // A loss is shown where it began, but was written where it ended.
    std::sort(taken.begin(), taken.end(), [](const oamlog_event *a, const oamlog_event *b) { return a->seq < b->seq; });
    std::string text;
    for (const oamlog_event *ev : taken) {
        text += ev->line;
    }
    return text;
}
