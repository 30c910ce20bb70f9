// One time line for records and events: each local stamp turned into UTC
// with the offset the journal shows in force for it, and moved by the
// clock steps of its boot that came after it.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "oamlog/read_bundle.h"
#include "oamlog/read_journal.h"
#include "oamlog/read_source.h"
#include "oamlog/read_stamp.h"
#include "oamlog/timeline.h"

std::vector<oamlog_period> g_oamlog_periods;
std::vector<oamlog_boot_info> g_oamlog_boots;
long g_oamlog_boot_pick = -1;

namespace {

constexpr int64_t MS_PER_DAY = 86400000;
constexpr int64_t MS_PER_MIN = 60000;
// Year 1000 lies some 3.1e13 ms before 1970: keys stay above 0.
constexpr int64_t OAMLOG_KEY_BIAS = 100000000000000LL;
constexpr int64_t OAMLOG_SHIFT_MAX = 400 * 366 * MS_PER_DAY;

bool g_guess_said;
// The last answer of this machine's zone, for the quarter hour asked.
int64_t g_zone_quarter = INT64_MIN;
int g_zone_off;

void oamlog_say_guess()
{
    if (!g_guess_said) {
        g_guess_said = true;
        (void)fprintf(stderr, "oamlog: the journal gives no UTC offsets; its times are taken in this machine's zone\n");
    }
}

// "boot ID" in a start event's text.
std::string oamlog_boot_id(const std::string &detail)
{
    const size_t at = detail.find(", boot ");
    if (at == std::string::npos) {
        return "";
    }
    const size_t from = at + 7;
    const size_t end = detail.find(',', from);
    return detail.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

// "STAMP+HHMM" at text: its ms read as if UTC and its offset.
bool oamlog_parse_stamp_off(const char *text, int64_t *ms, int *off)
{
    uint16_t s[OAM_STAMP_FIELDS] = {};
    int used = 0;
    if (sscanf(text, "%4hu-%2hu-%2hu %2hu:%2hu:%2hu.%3hu%n", &s[0], &s[1], &s[2], &s[3], &s[4], &s[5], &s[6], &used) !=
            7 ||
        oamlog_parse_offset(text + used, off) == 0) {
        return false;
    }
    *ms = oamlog_stamp_ms(s);
    return true;
}

long oamlog_new_boot(const std::string &id)
{
    g_oamlog_boots.push_back({id, 0, 0, 0, 0});
    return static_cast<long>(g_oamlog_boots.size()) - 1;
}

void oamlog_stamp_text_ms(char *text, size_t cap, int64_t ms, char sep)
{
    uint16_t s[OAM_STAMP_FIELDS];
    oamlog_ms_stamp(ms, s);
    (void)snprintf(text, cap, "%04u-%02u-%02u%c%02u:%02u:%02u.%03u", s[0] % 10000U, s[1] % 100U, s[2] % 100U, sep,
                   s[3] % 100U, s[4] % 100U, s[5] % 100U, s[6] % 1000U);
}

// The run being read: its first period, and whether it has stopped.
long g_run_first;
bool g_run_stopped;

// The steps of the boot being read that no later step has taken back:
// the period each began and what is left of it (ms, + forward, - back).
struct oamlog_open_step {
    long period;
    int64_t left;
};
std::vector<oamlog_open_step> g_steps;

int64_t oamlog_clamp_shift(int64_t ms)
{
    return std::clamp(ms, -OAMLOG_SHIFT_MAX, OAMLOG_SHIFT_MAX);
}

// The period j (-1: before the journal) holds a stamp (read as if UTC).
bool oamlog_fits(long j, int64_t k)
{
    const std::vector<oamlog_period> &ps = g_oamlog_periods;
    if (j < 0) {
        return k < ps[0].begin;
    }
    const oamlog_period &p = ps[static_cast<size_t>(j)];
    return p.begin <= k && k <= p.limit;
}

// A run's last period ends where the next start stands on the line (in
// this period's own stamps): how long a device was off shows once the next
// boot has set its clock.  A clean run's stop ends it sooner; a run that
// ended uncleanly before the next start's place stays open.
void oamlog_settle(oamlog_period *p)
{
    const oamlog_period &n = g_oamlog_periods[static_cast<size_t>(p->ender)];
    const int64_t then = n.begin - static_cast<int64_t>(n.off - p->off) * MS_PER_MIN + n.shift - p->shift;
    p->limit = then >= p->last ? then : p->unclean ? INT64_MAX : p->last;
}

void oamlog_mark_unclean(long j)
{
    oamlog_period &p = g_oamlog_periods[static_cast<size_t>(j)];
    oamlog_boot_info &b = g_oamlog_boots[static_cast<size_t>(p.boot)];
    if (!p.unclean) {
        ++b.unclean;
    }
    p.unclean = true;
    b.unclean_period = std::max(b.unclean_period, j);
}

// "unclean-end pid P, started T, [boot ID, ]last line T, ...": written by
// the start after a run that did not stop, right behind its start line.
// The run before ended uncleanly, and wrote its last line then.
void oamlog_unclean_end(const oamlog_event &ev)
{
    std::vector<oamlog_period> &ps = g_oamlog_periods;
    const size_t at = ev.detail.find(", last line ");
    if (g_run_first == 0 || ps.empty()) {
        return;  // the run before is not in the journal
    }
    const long j = g_run_first - 1;
    oamlog_period &p = ps[static_cast<size_t>(j)];
    int64_t last = 0;
    int last_off = 0;
    if (at != std::string::npos && oamlog_parse_stamp_off(ev.detail.c_str() + at + 12, &last, &last_off)) {
        p.last = std::max(p.last, last + static_cast<int64_t>(p.off - last_off) * MS_PER_MIN);
    }
    oamlog_mark_unclean(j);
    oamlog_settle(&p);
}

// A step of delta ms began period here.  Forward, the clock was behind:
// what its boot stamped before belongs that much later.  A step the other
// way takes back the open steps before it, the newest first: back, every
// period of the boot since is moved back by what it takes (the clock was
// ahead by it); forward, the periods since the step back it takes are moved
// on.  What is left of a step back moves nothing.
void oamlog_step(long here, int64_t delta)
{
    std::vector<oamlog_period> &ps = g_oamlog_periods;
    const long boot = ps[static_cast<size_t>(here)].boot;
    // A damaged or hostile journal may step on and on: the moves stop at
    // four centuries, far beyond any clock set right.
    int64_t left = oamlog_clamp_shift(delta);
    const auto move = [&ps, boot, here](long from, int64_t by) {
        for (long j = from; j < here; ++j) {
            oamlog_period &p = ps[static_cast<size_t>(j)];
            if (p.boot == boot) {
                p.shift = oamlog_clamp_shift(p.shift + by);
            }
        }
    };
    while (left != 0 && !g_steps.empty() && (g_steps.back().left > 0) != (left > 0)) {
        oamlog_open_step &s = g_steps.back();
        const int64_t taken = left > 0 ? std::min(left, -s.left) : std::max(left, -s.left);
        move(left > 0 ? s.period : 0, taken);
        s.left += taken;
        left -= taken;
        if (s.left == 0) {
            g_steps.pop_back();
        }
    }
    if (left > 0) {
        move(0, left);
    }
    if (left != 0) {
        g_steps.push_back({here, left});
    }
    for (oamlog_period &p : ps) {
        if (p.ender >= 0) {
            oamlog_settle(&p);
        }
    }
}

// Read ahead on a copy of the source (which stands behind its first
// record, just read): whether the records after the first
// one find their periods when it begins in period c.  Done once it leaves
// c for a later one (the other starts lead there alike), at the end, or
// after so many records that c is taken as right.
bool oamlog_path_holds(const oamlog_source *src, int64_t k, long c)
{
    constexpr unsigned OAMLOG_LOOK_AHEAD = 65536;
    oamlog_source copy = *src;
    copy.quiet = true;
    copy.live = false;
    copy.period = c;
    copy.prev_ms = k;
    oamlog_rec r{};
    for (unsigned read = 0; read < OAMLOG_LOOK_AHEAD; ++read) {
        const long was = copy.period;
        const int64_t prev = copy.prev_ms;
        if (oamlog_next_placed(&copy, &r) <= 0) {
            return true;
        }
        if (!r.stamp_ok) {
            continue;
        }
        if (r.uncertain || (copy.period == was && oamlog_stamp_ms(r.stamp) + 1000 < prev)) {
            return false;
        }
        if (copy.period > c) {
            return true;
        }
    }
    return true;
}

// The period a core's first record begins in, by the order its files hold
// the records in: of the periods that hold its stamp, one from which the
// records after it find their periods (none left uncertain, none stepping
// back inside one).  Of the latest run that has such a period (older files
// removed leave that the same), the earliest one (read on, the records find
// the later ones).  When none has, the earliest period that holds it.
long oamlog_first_period(const oamlog_source *src, int64_t k)
{
    const std::vector<oamlog_period> &ps = g_oamlog_periods;
    const auto run_of = [&ps](long c) { return c < 0 ? -1 : ps[static_cast<size_t>(c)].run; };
    long fitting = 0;
    for (long c = -1; c < static_cast<long>(ps.size()) && fitting < 2; ++c) {
        fitting += oamlog_fits(c, k) ? 1 : 0;
    }
    long best = -2;
    long earliest = -2;
    for (long c = static_cast<long>(ps.size()) - 1; c >= -1; --c) {
        if (!oamlog_fits(c, k)) {
            continue;
        }
        earliest = c;
        if (best != -2 && run_of(c) != run_of(best)) {
            break;
        }
        if (fitting == 1 || oamlog_path_holds(src, k, c)) {
            best = c;
        }
    }
    return best != -2 ? best : earliest == -2 ? -1 : earliest;
}

}  // namespace

uint64_t oamlog_key_of_ms(int64_t utc_ms)
{
    return static_cast<uint64_t>(utc_ms + OAMLOG_KEY_BIAS);
}

namespace {

int64_t oamlog_ms_of_key(uint64_t key)
{
    return static_cast<int64_t>(key) - OAMLOG_KEY_BIAS;
}

}  // namespace

time_t oamlog_stamp_mktime(const uint16_t *s, struct tm *local)
{
    *local = {};
    local->tm_year = s[0] - 1900;
    local->tm_mon = s[1] - 1;
    local->tm_mday = s[2];
    local->tm_hour = s[3];
    local->tm_min = s[4];
    local->tm_sec = s[5];
    local->tm_isdst = -1;
    return mktime(local);
}

int oamlog_guess_offset(int64_t local_ms)
{
    // Asked for each record without a journal: zones change their offset
    // on a quarter hour at the finest, so one answer holds for it.
    const int64_t quarter = local_ms >= 0 ? local_ms / 900000 : (local_ms - 899999) / 900000;
    if (quarter == g_zone_quarter) {
        return g_zone_off;
    }
    uint16_t s[OAM_STAMP_FIELDS];
    oamlog_ms_stamp(local_ms, s);
    struct tm local {};
    const time_t t = oamlog_stamp_mktime(s, &local);
    if (t == static_cast<time_t>(-1) && local.tm_year != 69) {
        return 0;
    }
    // mktime moves a time the zone skips; the offset is that of the result.
    g_zone_quarter = quarter;
    g_zone_off = static_cast<int>(local.tm_gmtoff / 60);
    return g_zone_off;
}

std::string oamlog_offset_text(int minutes, bool colon)
{
    char text[16];
    const int a = minutes < 0 ? -minutes : minutes;
    (void)snprintf(text, sizeof(text), colon ? "%c%02d:%02d" : "%c%02d%02d", minutes < 0 ? '-' : '+', a / 60 % 100,
                   a % 60);
    return text;
}

void oamlog_utc_text(char *text, size_t cap, uint64_t key, char sep)
{
    oamlog_stamp_text_ms(text, cap, oamlog_ms_of_key(key), sep);
}

std::string oamlog_json_time(const char *name, int64_t local_ms, int off, uint64_t key)
{
    const std::string utc_name = strcmp(name, "time") == 0 ? "utc" : std::string(name) + "_utc";
    if (key == 0) {
        return "\"" + std::string(name) + "\":null,\"" + utc_name + "\":null";
    }
    char local[48];
    char utc[48];
    oamlog_stamp_text_ms(local, sizeof(local), local_ms, 'T');
    oamlog_utc_text(utc, sizeof(utc), key, 'T');
    return "\"" + std::string(name) + "\":\"" + local + oamlog_offset_text(off, true) + "\",\"" + utc_name + "\":\"" +
           utc + "Z\"";
}

std::string oamlog_json_key_time(const char *name, uint64_t key, int off)
{
    return oamlog_json_time(name, oamlog_ms_of_key(key) + off * MS_PER_MIN, off, key);
}

void oamlog_time_reset()
{
    g_oamlog_periods.clear();
    g_oamlog_boots.clear();
    g_run_first = 0;
    g_run_stopped = false;
    g_steps.clear();
    g_zone_quarter = INT64_MIN;  // TZ may have been set since
}

void oamlog_time_add(oamlog_event *ev)
{
    const int64_t l = ev->line_ms;
    if (!ev->off_given) {
        ev->off = oamlog_guess_offset(l);
        oamlog_say_guess();
    }
    const bool start = ev->event == "start";
    const bool step = ev->event == "clock-stepped";
    std::vector<oamlog_period> &ps = g_oamlog_periods;
    if (ev->core == "oam" && ev->event == "stop") {
        g_run_stopped = true;
    } else if (ev->core == "oam" && ev->event == "unclean-end") {
        oamlog_unclean_end(*ev);
    }
    oamlog_period *cur = ps.empty() ? nullptr : &ps.back();
    if (cur != nullptr && !start && !step && ev->off == cur->off) {
        cur->last = std::max(cur->last, l);
        ev->period = static_cast<long>(ps.size()) - 1;
        ev->boot = cur->boot;
        return;
    }
    const auto here = static_cast<long>(ps.size());
    oamlog_period next{l, l, INT64_MAX, ev->off, !ev->off_given, 0, 0};
    next.run = start || cur == nullptr ? here : cur->run;
    if (cur == nullptr) {
        next.boot = oamlog_new_boot(start ? oamlog_boot_id(ev->detail) : "");
    } else if (start) {
        // A new run: of the same boot when its id says so.  The run before
        // ended at the latest when this one began, as placed on the line.
        const std::string id = oamlog_boot_id(ev->detail);
        next.boot = !id.empty() && id == g_oamlog_boots.back().id ? cur->boot : oamlog_new_boot(id);
        if (next.boot != cur->boot) {
            g_steps.clear();
        }
        cur->ender = here;
        if (!g_run_stopped) {
            oamlog_mark_unclean(here - 1);
        }
    } else {
        next.boot = cur->boot;
        int64_t from = 0;
        int64_t to = 0;
        int from_off = 0;
        int to_off = 0;
        const size_t at = ev->detail.find(" to ");
        if (step && ev->detail.rfind("from ", 0) == 0 && at != std::string::npos &&
            oamlog_parse_stamp_off(ev->detail.c_str() + 5, &from, &from_off) &&
            oamlog_parse_stamp_off(ev->detail.c_str() + at + 4, &to, &to_off)) {
            cur->limit = from;
            next.begin = std::min(l, to);
            ps.push_back(next);
            oamlog_step(here, (to - to_off * MS_PER_MIN) - (from - from_off * MS_PER_MIN));
        } else {
            // A change of offset, or a step whose text does not tell: the
            // period before ends at this line's instant in its own offset.
            cur->limit = l - static_cast<int64_t>(ev->off - cur->off) * MS_PER_MIN;
        }
    }
    if (static_cast<long>(ps.size()) == here) {
        ps.push_back(next);
    }
    if (start) {
        g_run_first = here;
        g_run_stopped = false;
        if (here > 0) {
            oamlog_settle(&ps[static_cast<size_t>(here - 1)]);
        }
    }
    ev->period = here;
    ev->boot = next.boot;
}

void oamlog_time_key(oamlog_event *ev)
{
    const std::vector<oamlog_period> &ps = g_oamlog_periods;
    const oamlog_period &p = ps[static_cast<size_t>(ev->period)];
    int64_t shift = p.shift;
    const int64_t utc = ev->shown_ms - static_cast<int64_t>(ev->off) * MS_PER_MIN;
    // A loss shown where it began is moved by the steps after its
    // beginning: those of the period of its boot that held it.
    for (long j = ev->period; ev->shown_ms != ev->line_ms && j >= 0; --j) {
        const oamlog_period &q = ps[static_cast<size_t>(j)];
        const int64_t local = utc + static_cast<int64_t>(q.off) * MS_PER_MIN;
        if (q.boot != p.boot) {
            break;
        }
        if (q.begin <= local && local <= q.limit) {
            shift = q.shift;
            break;
        }
    }
    ev->key = oamlog_key_of_ms(utc + shift);
    oamlog_boot_info &b = g_oamlog_boots[static_cast<size_t>(ev->boot)];
    const uint64_t own = oamlog_key_of_ms(ev->line_ms - static_cast<int64_t>(ev->off) * MS_PER_MIN + p.shift);
    // Its first and last lines as written (a clock set back may make the
    // last one the earlier).
    if (b.first == 0) {
        b.first = own;
        b.first_off = ev->off;
    }
    b.last = own;
    b.last_off = ev->off;
}

namespace {

void oamlog_place(oamlog_source *src, oamlog_rec *rec)
{
    rec->uncertain = false;
    rec->boot = -1;
    if (!rec->stamp_ok) {
        rec->key = src->last_key;
        rec->local = src->last_local;
        rec->utc_off = 0;
        return;
    }
    const int64_t k = oamlog_stamp_ms(rec->stamp);
    const std::vector<oamlog_period> &ps = g_oamlog_periods;
    int off = 0;
    int64_t shift = 0;
    if (ps.empty()) {
        off = oamlog_guess_offset(k);
    } else {
        const auto n = static_cast<long>(ps.size());
        if (src->prev_ms == INT64_MIN && src->period < 0) {
            src->period = oamlog_first_period(src, k);
        }
        // Records are read in the order written: a period once left is not
        // gone back to.  A stamp that steps back leaves its period for a
        // later one that holds it (the clock was set back).
        const bool back = k + 1000 < src->prev_ms;
        long later = -1;
        for (long j = src->period + 1; j < n && later < 0; ++j) {
            later = oamlog_fits(j, k) ? j : -1;
        }
        if (later >= 0 && (!oamlog_fits(src->period, k) || back)) {
            src->period = later;
        } else if (!oamlog_fits(src->period, k)) {
            rec->uncertain = true;
        }
        const oamlog_period &p = ps[static_cast<size_t>(std::max(src->period, 0L))];
        off = p.guessed ? oamlog_guess_offset(k) : p.off;
        if (!rec->uncertain && src->period >= 0) {
            shift = p.shift;
            rec->boot = p.boot;
        }
    }
    src->prev_ms = k;
    rec->utc_off = off;
    rec->key = oamlog_key_of_ms(k - static_cast<int64_t>(off) * MS_PER_MIN + shift);
    rec->local = oamlog_stamp_key(rec->stamp);
    src->last_key = rec->key;
    src->last_local = rec->local;
}

}  // namespace

int oamlog_next_placed(oamlog_source *src, oamlog_rec *rec)
{
    const int got = oamlog_next(src, rec);
    if (got > 0) {
        oamlog_place(src, rec);
    }
    return got;
}

bool oamlog_bundle_window(std::string *context, uint64_t *since, uint64_t *until)
{
    std::string from;
    std::string to;
    if (!oamlog_bundle_window_text(context, &from, &to)) {
        return false;
    }
    uint64_t key = 0;
    if (!from.empty() && oamlog_parse_time(from.c_str(), false, &key) == 0) {
        *since = std::max(*since, key);
    }
    if (!to.empty() && oamlog_parse_time(to.c_str(), true, &key) == 0) {
        *until = std::min(*until, key);
    }
    return true;
}

void oamlog_show_key(char *text, size_t cap, uint64_t key, int off, bool utc, bool json)
{
    if (utc || json) {
        oamlog_utc_text(text, cap - 1, key, json ? 'T' : ' ');
        (void)strcat(text, "Z");
    } else {
        oamlog_stamp_text_ms(text, cap - 6, oamlog_ms_of_key(key) + off * MS_PER_MIN, ' ');
        (void)strcat(text, oamlog_offset_text(off, false).c_str());
    }
}

bool oamlog_selected(uint64_t key, long boot, uint64_t since, uint64_t until)
{
    return key >= since && key <= until && (g_oamlog_boot_pick < 0 || boot == g_oamlog_boot_pick);
}

int oamlog_parse_time_at(const char *text, bool upper, int64_t now_ms, uint64_t *key)
{
    // Relative times count from now, in this machine's zone for the days.
    const int64_t now_local = now_ms + static_cast<int64_t>(oamlog_guess_offset(now_ms)) * MS_PER_MIN;
    const int64_t today = (now_local >= 0 ? now_local / MS_PER_DAY : (now_local - MS_PER_DAY + 1) / MS_PER_DAY) *
                          MS_PER_DAY;
    static constexpr struct {
        const char *name;
        int64_t days;
    } days[] = {{"today", 0}, {"yesterday", -1}, {"tomorrow", 1}};
    for (const auto &d : days) {
        if (strcmp(text, d.name) == 0) {
            const int64_t local = today + d.days * MS_PER_DAY + (upper ? MS_PER_DAY - 1 : 0);
            *key = oamlog_key_of_ms(local - static_cast<int64_t>(oamlog_guess_offset(local)) * MS_PER_MIN);
            return 0;
        }
    }
    if (strcmp(text, "now") == 0) {
        *key = oamlog_key_of_ms(now_ms);
        return 0;
    }
    char *end = nullptr;
    if (text[0] == '@' && isdigit(static_cast<unsigned char>(text[1]))) {
        errno = 0;
        const long long secs = strtoll(text + 1, &end, 10);
        long long ms = 0;
        if (*end == '.' && isdigit(static_cast<unsigned char>(end[1]))) {
            const char *frac = end + 1;
            int places = 0;
            for (; isdigit(static_cast<unsigned char>(*frac)) && places < 3; ++frac, ++places) {
                ms = ms * 10 + (*frac - '0');
            }
            for (; places < 3; ++places) {
                ms *= 10;
            }
            end = const_cast<char *>(frac);
        }
        if (errno != 0 || *end != '\0' || secs > 253402300799LL) {
            return -1;
        }
        *key = oamlog_key_of_ms(secs * 1000 + ms);
        return 0;
    }
    // "-10m", "-2h", "10 min ago", "3 days ago".
    const bool minus = text[0] == '-';
    const char *num = minus ? text + 1 : text;
    if (isdigit(static_cast<unsigned char>(num[0]))) {
        errno = 0;
        const long long n = strtoll(num, &end, 10);
        const char *unit = end;
        while (*unit == ' ') {
            ++unit;
        }
        std::string word(unit);
        bool ago = false;
        if (!minus && word.size() > 4 && word.compare(word.size() - 4, 4, " ago") == 0) {
            word.resize(word.size() - 4);
            ago = true;
        }
        static constexpr struct {
            const char *name;
            int64_t ms;
        } units[] = {{"ms", 1},          {"s", 1000},          {"sec", 1000},       {"second", 1000},
                     {"seconds", 1000},  {"m", MS_PER_MIN},    {"min", MS_PER_MIN}, {"minute", MS_PER_MIN},
                     {"minutes", MS_PER_MIN}, {"h", 3600000},  {"hour", 3600000},   {"hours", 3600000},
                     {"d", MS_PER_DAY},  {"day", MS_PER_DAY},  {"days", MS_PER_DAY}, {"w", 7 * MS_PER_DAY},
                     {"week", 7 * MS_PER_DAY}, {"weeks", 7 * MS_PER_DAY}};
        if ((minus || ago) && errno == 0 && end != num && n <= 100000LL * 366) {
            for (const auto &u : units) {
                if (word == u.name && n <= INT64_MAX / u.ms / 2) {
                    *key = oamlog_key_of_ms(now_ms - n * u.ms);
                    return 0;
                }
            }
        }
        if (minus || ago) {
            return -1;
        }
    }
    // A date and time, maybe with its zone behind.
    std::string body(text);
    int zone = 0;
    bool zoned = false;
    if (!body.empty() && body.back() == 'Z') {
        body.pop_back();
        zoned = true;
    } else if (body.size() > 6) {
        // "+01:00" or "+0100"
        std::string tail = body.substr(body.size() - 6);
        size_t cut = 0;
        if ((tail[0] == '+' || tail[0] == '-') && tail[3] == ':') {
            tail.erase(3, 1);
            cut = 6;
        } else {
            tail = body.substr(body.size() - 5);
            cut = 5;
        }
        if (oamlog_parse_offset(tail.c_str(), &zone) == 5) {
            body.resize(body.size() - cut);
            zoned = true;
        }
    }
    const char *b = body.c_str();
    uint16_t s[OAM_STAMP_FIELDS] = {};
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, ms = 0;
    int used = 0;
    int fields = 0;  // how many of the time's fields were given
    const char *clock = b;
    if (sscanf(b, "%4u-%2u-%2u%n", &y, &mo, &d, &used) == 3 && used == 10) {
        clock = b + used;
        if (*clock == ' ' || *clock == 'T') {
            ++clock;
        } else if (*clock != '\0') {
            return -1;
        }
    } else {
        if (*clock == '\0') {
            return -1;
        }
        uint16_t t[OAM_STAMP_FIELDS];
        oamlog_ms_stamp(zoned ? now_ms + zone * MS_PER_MIN : now_local, t);
        y = t[0];
        mo = t[1];
        d = t[2];
    }
    if (*clock != '\0') {
        used = 0;
        fields = sscanf(clock, "%2u:%2u%n", &h, &mi, &used) == 2 && used == 5 ? 2 : 0;
        if (fields == 0) {
            return -1;
        }
        clock += used;
        if (*clock == ':') {
            used = 0;
            if (sscanf(clock, ":%2u%n", &sec, &used) != 1 || used != 3) {
                return -1;
            }
            clock += used;
            fields = 3;
            if (*clock == '.') {
                used = 0;
                if (sscanf(clock, ".%3u%n", &ms, &used) != 1 || used != 4) {
                    return -1;
                }
                clock += used;
                fields = 4;
            }
        }
        if (*clock != '\0') {
            return -1;
        }
    } else if (zoned) {
        return -1;  // a zone belongs to a time of day
    }
    const unsigned v[OAM_STAMP_FIELDS] = {y, mo, d, h, mi, sec, ms};
    for (int f = 0; f < OAM_STAMP_FIELDS; ++f) {
        if (v[f] < OAM_STAMP_RANGES[f].min || v[f] > OAM_STAMP_RANGES[f].max) {
            return -1;
        }
        s[f] = static_cast<uint16_t>(v[f]);
    }
    if (d > oamlog_month_days(y, mo)) {
        return -1;  // 2026-02-30
    }
    // Upper: to the end of the span given (a day, a minute, a second).
    static constexpr int64_t spans[] = {MS_PER_DAY, MS_PER_DAY, MS_PER_MIN, 1000, 1};
    const int64_t local = oamlog_stamp_ms(s) + (upper ? spans[fields] - 1 : 0);
    const int off = zoned ? zone : oamlog_guess_offset(local);
    *key = oamlog_key_of_ms(local - static_cast<int64_t>(off) * MS_PER_MIN);
    return 0;
}

int oamlog_parse_time(const char *text, bool upper, uint64_t *key)
{
    struct timespec now {};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    return oamlog_parse_time_at(text, upper, static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000, key);
}

long oamlog_find_boot(const char *text)
{
    const auto n = static_cast<long>(g_oamlog_boots.size());
    char *end = nullptr;
    const long rel = strtol(text, &end, 10);
    if (end != text && *end == '\0' && rel <= 0 && rel > -n) {
        return n - 1 + rel;
    }
    // The id, or the start of one id alone (as --list-boots shows it).
    long found = -1;
    for (long i = 0; i < n; ++i) {
        const std::string &id = g_oamlog_boots[static_cast<size_t>(i)].id;
        if (!id.empty() && id == text) {
            return i;
        }
        if (*text != '\0' && id.rfind(text, 0) == 0 && (found < 0 || g_oamlog_boots[static_cast<size_t>(found)].id != id)) {
            found = found < 0 ? i : -2;
        }
    }
    return found < 0 ? -1 : found;
}

