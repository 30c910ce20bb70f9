// The journal's events placed on the time line, selected, and what they
// tell of the dumps.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>

#include "oamlog/read_dump.h"
#include "oamlog/read_journal.h"
#include "oamlog/read_stamp.h"
#include "oamlog/reader_status.h"
#include "oamlog/timeline.h"

std::vector<oamlog_event> g_oamlog_events;

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

bool oamlog_dump_times(const std::string &name, uint64_t *reported, uint64_t *done, const oamlog_event **report,
                       bool placed)
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

namespace {

// What the events were last loaded for, to load them again with kept lines.
struct oamlog_events_asked {
    std::string dir;
    std::vector<std::string> cores;
    uint64_t since;
    uint64_t until;
    bool report;
};
oamlog_events_asked g_asked;

bool oamlog_event_wanted(const oamlog_event &ev)
{
    return oamlog_selected(ev.key, ev.boot, g_asked.since, g_asked.until) &&
           (g_asked.cores.empty() ||
            std::find(g_asked.cores.begin(), g_asked.cores.end(), ev.core) != g_asked.cores.end());
}

}  // namespace

void oamlog_journal_load(const std::string &root, const std::vector<std::string> &cores, uint64_t since,
                         uint64_t until, bool report)
{
    g_asked = {root, cores, since, until, report};
    std::vector<oamlog_event> events;
    oamlog_journal_read(root, report, &events);
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

void oamlog_journal_add(const std::string &path, const std::string &text)
{
    // The time line is placed over every line in the order written, so the
    // journal is read again with these lines before it.
    oamlog_journal_keep(path, text);
    const oamlog_events_asked was = g_asked;
    oamlog_journal_load(was.dir, was.cores, was.since, was.until, was.report);
}

void oamlog_journal_more()
{
    if (!oamlog_journal_loaded()) {
        return;
    }
    std::vector<oamlog_event> events;
    oamlog_journal_read_more(&events);
    for (oamlog_event &ev : events) {
        oamlog_time_add(&ev);
        oamlog_time_key(&ev);
    }
    std::erase_if(events, [](const oamlog_event &ev) { return !oamlog_event_wanted(ev); });
    // Shown as they come, after what is shown already.
    g_oamlog_events.insert(g_oamlog_events.end(), events.begin(), events.end());
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


int oamlog_dump_archives(const std::string &root, std::vector<oamlog_dump_entry> *list)
{
    const std::string dir = (root.empty() || root.back() == '/' ? root : root + "/") + "memdump/";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        oamlog_error("%s: %s", oamlog_name_text(dir.c_str()).c_str(), strerror(errno));
        return -1;
    }
    for (const dirent *ent = readdir(d); ent != nullptr; ent = readdir(d)) {
        oamlog_dump_entry e{0, ent->d_name, {}, nullptr};
        uint64_t key = 0;
        uint64_t done = 0;
        if (oamlog_archive_name(e.name, &e.type, &key) && oamlog_dump_times(e.name, &e.reported, &done, &e.report)) {
            list->push_back(std::move(e));
        }
    }
    (void)closedir(d);
    std::sort(list->begin(), list->end(), [](const oamlog_dump_entry &a, const oamlog_dump_entry &b) {
        return a.reported < b.reported || (a.reported == b.reported && a.name < b.name);
    });
    return 0;
}

namespace {

// Whether word begins the type or one of its parts after a '_': "wifi" and
// "readm_wifi" both fit "readm_wifi_sdio", "bfg" fits "readm_bfgx_uart".
bool oamlog_type_fits(const std::string &type, const std::string &word)
{
    for (size_t at = 0; at < type.size(); at = type.find('_', at) == std::string::npos ? type.size() : type.find('_', at) + 1) {
        if (type.compare(at, word.size(), word) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

int oamlog_dump_pick(const std::string &root, const std::string &word, uint64_t since, uint64_t until,
                     std::string *name)
{
    std::string type;
    uint64_t key = 0;
    if (oamlog_archive_name(word, &type, &key)) {
        *name = word;  // a name, or the path of an archive elsewhere
        return 0;
    }
    std::vector<oamlog_dump_entry> list;
    if (oamlog_dump_archives(root, &list) != 0) {
        return -1;
    }
    const std::string where = oamlog_name_text(root.c_str());
    const std::string shown = oamlog_name_text(word.c_str());
    const auto n = static_cast<long>(list.size());
    char *end = nullptr;
    errno = 0;
    const long index = word == "last" ? -1 : strtol(word.c_str(), &end, 10);
    if (word == "last" || (!word.empty() && *end == '\0' && errno == 0)) {
        // As a list counts: -1 the latest, -2 the one before; 0 the oldest.
        if (index >= n || index < -n) {
            oamlog_error("no dump %s: %ld archive%s under %s/memdump (oamlog --dumps lists them)", shown.c_str(), n,
                         n == 1 ? "" : "s", where.c_str());
            return -1;
        }
        *name = list[static_cast<size_t>(index < 0 ? n + index : index)].name;
        return 0;
    }
    if (word.empty()) {
        // The latest reported within --since and --until.
        for (auto it = list.rbegin(); it != list.rend(); ++it) {
            uint64_t placed = 0;
            uint64_t done = 0;
            if (oamlog_dump_times(it->name, &placed, &done, nullptr, true) && placed >= since && placed <= until) {
                *name = it->name;
                return 0;
            }
        }
        oamlog_error("no dump archive under %s/memdump%s", where.c_str(),
                     since != 0 || until != UINT64_MAX ? " reported within --since and --until" : "");
        return -1;
    }
    // A type, or the start of one of its parts.
    std::vector<std::string> types;
    for (const oamlog_dump_entry &e : list) {
        if (oamlog_type_fits(e.type, word) && std::find(types.begin(), types.end(), e.type) == types.end()) {
            types.push_back(e.type);
        }
    }
    if (types.size() != 1) {
        std::string all;
        for (const std::string &t : types) {
            all += (all.empty() ? "" : ", ") + oamlog_name_text(t.c_str());
        }
        if (types.empty()) {
            oamlog_error("no dump archive of a type '%s' under %s/memdump (oamlog --dumps lists them)", shown.c_str(),
                         where.c_str());
        } else {
            oamlog_error("dump type '%s' is ambiguous: %s", shown.c_str(), all.c_str());
        }
        return -1;
    }
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (it->type == types[0]) {
            *name = it->name;
            break;
        }
    }
    return 0;
}
