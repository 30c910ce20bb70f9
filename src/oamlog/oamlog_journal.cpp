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
#include "oamlog/oamlog.h"

std::vector<oamlog_event> g_oamlog_events;

namespace {

constexpr char OAMLOG_JOURNAL[] = "oam_events";
constexpr off_t OAMLOG_JOURNAL_READ_MAX = 4 << 20;  // far beyond the two files the daemon keeps
constexpr size_t OAMLOG_TAR_BLOCK = 512;
size_t g_event_next;

std::string oamlog_read_small(const std::string &path)
{
    std::string text;
    struct stat st {};
    const int fd = oam_open_regular(path.c_str(), O_RDONLY, 0, &st);
    if (fd < 0) {
        return text;
    }
    char buf[65536];
    ssize_t n;
    while (static_cast<off_t>(text.size()) < OAMLOG_JOURNAL_READ_MAX &&
           ((n = read(fd, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))) {
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
    if (sscanf(line.c_str(), "%4hu-%2hu-%2hu %2hu:%2hu:%2hu.%3hu %15s %31s%n", &s[0], &s[1], &s[2], &s[3], &s[4],
               &s[5], &s[6], core, event, &used) != 9 ||
        !oamlog_fields_ok(s)) {
        return false;
    }
    ev->core = core;
    ev->event = event;
    ev->detail = static_cast<size_t>(used) < line.size() ? line.substr(static_cast<size_t>(used) + 1) : "";
    ev->key = oamlog_stamp_key(s);
    ev->count = 0;
    ev->cause.clear();
    if (ev->event != "lost") {
        return true;
    }
    unsigned long long count = 0;
    char unit[16];
    int cause_at = 0;
    if (sscanf(ev->detail.c_str(), "%llu %15[a-z]: %n", &count, unit, &cause_at) != 2 || cause_at == 0) {
        return false;
    }
    ev->count = count;
    const size_t sep = ev->detail.rfind(", ");
    uint16_t from[OAM_STAMP_FIELDS] = {s[0], s[1], s[2], 0, 0, 0, 0};
    if (sep == std::string::npos || sep < static_cast<size_t>(cause_at) ||
        sscanf(ev->detail.c_str() + sep + 2, "%2hu:%2hu:%2hu.%3hu to", &from[3], &from[4], &from[5], &from[6]) != 4 ||
        !oamlog_fields_ok(from)) {
        return false;
    }
    ev->cause = ev->detail.substr(static_cast<size_t>(cause_at), sep - static_cast<size_t>(cause_at));
    // Shown where the loss began, not where its line was written.
    const uint64_t from_key = oamlog_stamp_key(from);
    if (from_key <= ev->key) {
        ev->key = from_key;
        std::copy(from, from + OAM_STAMP_FIELDS, ev->stamp);
    }
    return true;
}

uint64_t oamlog_key_of_time(time_t t)
{
    struct tm local {};
    if (localtime_r(&t, &local) == nullptr) {
        return 0;
    }
    const uint16_t s[OAM_STAMP_FIELDS] = {
        static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
        static_cast<uint16_t>(local.tm_mday),        static_cast<uint16_t>(local.tm_hour),
        static_cast<uint16_t>(local.tm_min),         static_cast<uint16_t>(local.tm_sec),
        0};
    return oamlog_stamp_key(s);
}

time_t oamlog_time_of_key(uint64_t key)
{
    struct tm local {};
    key /= 1000;
    local.tm_sec = static_cast<int>(key % 100);
    local.tm_min = static_cast<int>(key / 100 % 100);
    local.tm_hour = static_cast<int>(key / 10000 % 100);
    local.tm_mday = static_cast<int>(key / 1000000 % 100);
    local.tm_mon = static_cast<int>(key / 100000000 % 100) - 1;
    local.tm_year = static_cast<int>(key / 10000000000ULL) - 1900;
    local.tm_isdst = -1;
    return mktime(&local);
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
bool oamlog_dump_times(const std::string &name, uint64_t *reported, uint64_t *done)
{
    std::string type;
    uint64_t name_key = 0;
    if (!oamlog_archive_name(name, &type, &name_key)) {
        return false;
    }
    *reported = name_key;
    *done = name_key + 999;
    const oamlog_event *archive = nullptr;
    for (const oamlog_event &ev : g_oamlog_events) {
        std::string ev_type;
        uint64_t ev_key = 0;
        if (ev.event.rfind("archive-", 0) == 0 && oamlog_archive_name(ev.detail, &ev_type, &ev_key) &&
            ev_type == type && ev_key == name_key) {
            archive = &ev;
        }
    }
    if (archive == nullptr) {
        return true;
    }
    *done = archive->key;
    for (const oamlog_event &ev : g_oamlog_events) {
        if (&ev == archive) {
            break;
        }
        if (ev.event == "dump-reported" && ev.detail == type) {
            *reported = ev.key;
        }
    }
    return true;
}

// Members and completeness of a .tar.gz: each header's size is skipped,
// and a complete archive ends in a zero block with nothing damaged.
void oamlog_tar_members(const std::string &path, unsigned *members, bool *complete)
{
    *members = 0;
    *complete = false;
    // The name was a plain file when listed; it may have been replaced
    // since by a link to something endless.
    struct stat st {};
    const int fd = oam_open_regular(path.c_str(), O_RDONLY | O_NOFOLLOW, 0, &st);
    if (fd < 0) {
        return;
    }
    gzFile gz = gzdopen(fd, "rb");
    if (gz == nullptr) {
        (void)close(fd);
        return;
    }
    unsigned char block[OAMLOG_TAR_BLOCK];
    for (;;) {
        if (gzread(gz, block, sizeof(block)) != static_cast<int>(sizeof(block))) {
            break;
        }
        if (std::all_of(block, block + sizeof(block), [](unsigned char c) { return c == 0; })) {
            int err = Z_OK;
            (void)gzerror(gz, &err);
            *complete = err == Z_OK;
            break;
        }
        char size_field[13] = {};
        memcpy(size_field, block + 124, 12);
        const unsigned long long size = strtoull(size_field, nullptr, 8);
        ++*members;
        const unsigned long long skip = (size + OAMLOG_TAR_BLOCK - 1) / OAMLOG_TAR_BLOCK * OAMLOG_TAR_BLOCK;
        if (skip > 0 && gzseek(gz, static_cast<z_off_t>(skip), SEEK_CUR) < 0) {
            break;
        }
    }
    (void)gzclose(gz);
}

}  // namespace

void oamlog_journal_load(const std::string &root, const std::vector<std::string> &cores, uint64_t since,
                         uint64_t until)
{
    const std::string dir = root.empty() || root.back() == '/' ? root : root + "/";
    for (const char *suffix : {".1", ""}) {
        const std::string text = oamlog_read_small(dir + OAMLOG_JOURNAL + suffix);
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos) {
                break;  // a line still being written
            }
            oamlog_event ev;
            if (oamlog_parse_event(text.substr(at, end - at), &ev) && ev.key >= since && ev.key <= until &&
                (cores.empty() || std::find(cores.begin(), cores.end(), ev.core) != cores.end())) {
                g_oamlog_events.push_back(ev);
            }
            at = end + 1;
        }
    }
    std::stable_sort(g_oamlog_events.begin(), g_oamlog_events.end(),
                     [](const oamlog_event &a, const oamlog_event &b) { return a.key < b.key; });
}

void oamlog_print_event(FILE *out, const oamlog_print_opts &opts, const oamlog_event &ev)
{
    char stamp[32];
    oamlog_key_text(stamp, sizeof(stamp), ev.key, opts.format == OAMLOG_JSON ? 'T' : ' ');
    if (opts.format == OAMLOG_JSON) {
        if (ev.event == "lost") {
            (void)fprintf(out, "{\"time\":\"%s\",\"core\":%s,\"event\":\"lost\",\"count\":%llu,\"cause\":%s}\n", stamp,
                          oamlog_json_text(ev.core.c_str()).c_str(), static_cast<unsigned long long>(ev.count),
                          oamlog_json_text(ev.cause.c_str()).c_str());
        } else {
            (void)fprintf(out, "{\"time\":\"%s\",\"core\":%s,\"event\":%s,\"detail\":%s}\n", stamp,
                          oamlog_json_text(ev.core.c_str()).c_str(), oamlog_json_text(ev.event.c_str()).c_str(),
                          oamlog_json_text(ev.detail.c_str()).c_str());
        }
    } else if (ev.event == "lost") {
        (void)fprintf(out, "%s %-4s -- %llu %s lost: %s --\n", stamp, oamlog_name_text(ev.core.c_str()).c_str(),
                      static_cast<unsigned long long>(ev.count),
                      ev.detail.find(" overruns:") != std::string::npos ? "overruns" : "records",
                      oamlog_name_text(ev.cause.c_str()).c_str());
    } else {
        // The journal is outside bytes too: shown escaped, as names are.
        (void)fprintf(out, "%s %-4s -- %s%s%s --\n", stamp, oamlog_name_text(ev.core.c_str()).c_str(),
                      oamlog_name_text(ev.event.c_str()).c_str(), ev.detail.empty() ? "" : " ",
                      oamlog_name_text(ev.detail.c_str()).c_str());
    }
}

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
    // Records stamped in the same millisecond as an event come first.
    for (; *next < g_oamlog_events.size() && g_oamlog_events[*next].key < key; ++*next) {
        const oamlog_event &ev = g_oamlog_events[*next];
        if (print && (core == nullptr || ev.core == core)) {
            oamlog_print_event(out, opts, ev);
        }
    }
}

uint64_t oamlog_journal_lost(const std::string &core)
{
    uint64_t lost = 0;
    for (const oamlog_event &ev : g_oamlog_events) {
        lost += ev.event == "lost" && ev.core == core ? ev.count : 0;
    }
    return lost;
}

void oamlog_check_losses(FILE *out)
{
    oamlog_print_opts opts{OAMLOG_TEXT, 0};
    for (const oamlog_event &ev : g_oamlog_events) {
        if (ev.event == "lost") {
            (void)fputs("journal: ", out);
            oamlog_print_event(out, opts, ev);
        }
    }
}

void oamlog_stats(std::vector<oamlog_source> &sources, bool json)
{
    for (oamlog_source &src : sources) {
        src.quiet = true;
        uint64_t records = 0;
        uint64_t bytes = 0;
        uint64_t first = 0;
        uint64_t last = 0;
        uint64_t second = UINT64_MAX;
        uint64_t in_second = 0;
        uint64_t peak = 0;
        oamlog_rec rec{};
        while (oamlog_next(&src, &rec) > 0) {
            first = records == 0 ? rec.key : first;
            last = rec.key;
            ++records;
            bytes += rec.rec_len;
            in_second = rec.key / 1000 == second ? in_second + 1 : 1;
            second = rec.key / 1000;
            peak = std::max(peak, in_second);
        }
        char first_text[32] = "-";
        char last_text[32] = "-";
        if (records > 0) {
            oamlog_key_text(first_text, sizeof(first_text), first, json ? 'T' : ' ');
            oamlog_key_text(last_text, sizeof(last_text), last, json ? 'T' : ' ');
        }
        const auto lost = static_cast<unsigned long long>(oamlog_journal_lost(src.core));
        if (json) {
            (void)printf("{\"core\":%s,\"files\":%zu,\"records\":%llu,\"bytes\":%llu,\"first\":%s,\"last\":%s,"
                         "\"peak\":%llu,\"lost\":%llu,\"damaged\":%llu}\n",
                         oamlog_json_text(src.core.c_str()).c_str(), src.files.size(),
                         static_cast<unsigned long long>(records), static_cast<unsigned long long>(bytes),
                         records > 0 ? ("\"" + std::string(first_text) + "\"").c_str() : "null",
                         records > 0 ? ("\"" + std::string(last_text) + "\"").c_str() : "null",
                         static_cast<unsigned long long>(peak), lost, static_cast<unsigned long long>(src.damaged));
        } else {
            (void)printf("%-4s %zu files, %llu records, %llu bytes, %s to %s, peak %llu records/s, %llu lost, "
                         "%llu damaged\n",
                         src.core.c_str(), src.files.size(), static_cast<unsigned long long>(records),
                         static_cast<unsigned long long>(bytes), first_text, last_text,
                         static_cast<unsigned long long>(peak), lost, static_cast<unsigned long long>(src.damaged));
        }
    }
}

int oamlog_dumps(const std::string &root)
{
    const std::string dir = (root.empty() || root.back() == '/' ? root : root + "/") + "memdump/";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        oamlog_error("%s: %s", dir.c_str(), strerror(errno));
        return OAMLOG_FAILED;
    }
    struct listed {
        uint64_t reported;
        std::string name;
    };
    std::vector<listed> names;
    for (const dirent *ent = readdir(d); ent != nullptr; ent = readdir(d)) {
        std::string type;
        uint64_t key = 0;
        uint64_t done = 0;
        if (oamlog_archive_name(ent->d_name, &type, &key) && oamlog_dump_times(ent->d_name, &key, &done)) {
            names.push_back({key, ent->d_name});
        }
    }
    (void)closedir(d);
    std::sort(names.begin(), names.end(),
              [](const listed &a, const listed &b) { return a.reported < b.reported || (a.reported == b.reported && a.name < b.name); });
    for (const listed &entry : names) {
        std::string type;
        uint64_t key = 0;
        (void)oamlog_archive_name(entry.name, &type, &key);
        const char *core = type.find("wifi") != std::string::npos ? "wifi"
                           : type.find("bfgx") != std::string::npos ? "bfg"
                           : type.find("_me_") != std::string::npos ? "me"
                                                                    : "-";
        struct stat st {};
        const std::string path = dir + entry.name;
        const long long size = lstat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
        unsigned members = 0;
        bool complete = false;
        if (S_ISREG(st.st_mode)) {
            oamlog_tar_members(path, &members, &complete);
        }
        char stamp[32];
        oamlog_key_text(stamp, sizeof(stamp), entry.reported, ' ');
        (void)printf("%s %-4s %s %lld bytes, %u members, %s  %s\n", stamp, core, type.c_str(), size, members,
                     complete ? "complete" : "incomplete", entry.name.c_str());
    }
    return OAMLOG_OK;
}

int oamlog_dump_window(const std::string &archive, long before, uint64_t *since, uint64_t *until)
{
    uint64_t reported = 0;
    uint64_t done = 0;
    if (!oamlog_dump_times(archive, &reported, &done)) {
        oamlog_error("%s: not a dump archive name (TYPE_YYYY_MM_DD_HH_MM_SS.tar.gz)", archive.c_str());
        return -1;
    }
    *since = oamlog_key_of_time(oamlog_time_of_key(reported) - before) + reported % 1000;
    *until = done;
    return 0;
}
