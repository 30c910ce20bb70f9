// The cursor of the output: resumed from, kept per core and for the
// journal as lines are written, and put in its file so that a reader that
// stops, however it stops, goes on where it left.
#include "oamlog/view_cursor.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <stdio_ext.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "oamlog/read_cursor.h"
#include "oamlog/read_stamp.h"
#include "oamlog/reader_status.h"
#include "oamlog/timeline.h"


namespace {

constexpr int64_t OAMLOG_CURSOR_PERIOD_MS = 1000;  // the longest a written line waits for its cursor
constexpr unsigned OAMLOG_CURSOR_CLOCK_EVERY = 256;  // records between looks at the clock
// The output goes out in whole lines: its buffer is written once less room
// is left than the longest line takes (a record's JSON, with its file's
// name escaped), so that a reader killed between two writes leaves no line
// cut short for the shipper to take.
constexpr size_t OAMLOG_OUT_BUFFER = 128 * 1024;
constexpr size_t OAMLOG_LINE_ROOM = 64 * 1024;
char g_out_buffer[OAMLOG_OUT_BUFFER];

// One source's position: the last record written.
struct oamlog_slot {
    const char *core;  // the source's name, as its records point to it
    oamlog_pos pos;
    bool have;
};

struct oamlog_cursor_state {
    bool on;
    oamlog_cursor_opts opts;
    bool given;                    // a cursor to resume from (the file's, or --after-cursor)
    std::vector<oamlog_pos> from;  // its positions
    std::vector<oamlog_slot> slots;
    oamlog_pos journal;
    bool journal_have;
    std::vector<bool> done;  // by place in g_oamlog_events: written or passed over
    // The two above as they were at the last write of the output that went
    // through: what a cursor may name when a later write fails.
    std::vector<oamlog_slot> out_slots;
    std::vector<bool> out_done;
    std::string committed;   // the cursor as last written (or resumed from)
    bool dirty;              // lines written since
    bool failed;             // the output could not be written
    unsigned records;
    int64_t last_ms;         // when it was last written (monotonic)
};
oamlog_cursor_state g_cursor;
volatile sig_atomic_t g_cursor_stop;
// The output is a pipe or a socket: a write there may wait for a reader
// that never comes back.
volatile sig_atomic_t g_out_waits;

void oamlog_cursor_on_signal(int)
{
    g_cursor_stop = 1;
    // A write waiting on the pipe, and every one after it, fails instead
    // (stdio would write on after the part the signal let through).
    if (g_out_waits != 0) {
        const int err = errno;
        const int flags = fcntl(STDOUT_FILENO, F_GETFL);
        if (flags >= 0) {
            (void)fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK);
        }
        errno = err;
    }
}

int64_t oamlog_now_ms()
{
    timespec now {};
    (void)clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The last event of the unbroken run of events done, in the order written.
void oamlog_journal_mark(std::vector<bool> &done)
{
    const std::vector<oamlog_event> &events = g_oamlog_events;
    done.resize(events.size(), false);
    size_t first_open = SIZE_MAX;
    for (size_t i = 0; i < events.size(); ++i) {
        if (!done[i]) {
            first_open = std::min(first_open, events[i].seq);
        }
    }
    const oamlog_event *mark = nullptr;
    for (size_t i = 0; i < events.size(); ++i) {
        if (done[i] && events[i].seq < first_open && (mark == nullptr || events[i].seq > mark->seq)) {
            mark = &events[i];
        }
    }
    if (mark != nullptr) {
        g_cursor.journal = {"", mark->line_id, mark->line_n, 0, {}};
        std::copy(mark->stamp, mark->stamp + OAM_STAMP_FIELDS, g_cursor.journal.stamp);
        g_cursor.journal_have = true;
    }
}

std::string oamlog_cursor_out()
{
    std::vector<oamlog_pos> positions;
    for (const oamlog_slot &slot : g_cursor.out_slots) {
        if (slot.have) {
            positions.push_back(slot.pos);
        }
    }
    // Positions of cores not read this time are kept for the next.
    for (const oamlog_pos &pos : g_cursor.from) {
        if (!pos.name.empty() && std::none_of(positions.begin(), positions.end(),
                                              [&pos](const oamlog_pos &p) { return p.name == pos.name; })) {
            positions.push_back(pos);
        }
    }
    oamlog_journal_mark(g_cursor.out_done);
    if (g_cursor.journal_have) {
        positions.push_back(g_cursor.journal);
    }
    return oamlog_cursor_text(positions);
}

// Writes what out holds; after a write that went through, the positions
// of the lines written are what the cursor may name.  false when the
// output failed (the reader went away): the output then ends.
bool oamlog_flush(FILE *out)
{
    if (g_cursor.failed) {
        return false;
    }
    if (ferror(out) != 0 || fflush(out) != 0) {
        // Whatever follows is lost to the reader as well: it goes nowhere
        // rather than wait on a pipe nobody reads (a signal may have ended
        // a write that waited there).
        g_cursor.failed = true;
        g_cursor_stop = 1;
        __fpurge(out);
        const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null_fd >= 0) {
            (void)dup2(null_fd, fileno(out));
            (void)close(null_fd);
        }
        return false;
    }
    g_cursor.out_slots = g_cursor.slots;
    g_cursor.out_done = g_cursor.done;
    return true;
}

// The cursor file names the lines written up to the last write that went
// through, once they are out (and on storage when out is a file): a line
// a failed write lost is never named.
void oamlog_commit(FILE *out)
{
    if (!g_cursor.dirty) {
        return;
    }
    const bool out_ok = oamlog_flush(out);
    struct stat st {};
    if (fstat(fileno(out), &st) == 0 && S_ISREG(st.st_mode) && fdatasync(fileno(out)) != 0) {
        oamlog_error("standard output: %s", strerror(errno));
        g_cursor.failed = true;
        g_cursor_stop = 1;
        return;
    }
    g_cursor.dirty = !out_ok;
    g_cursor.last_ms = oamlog_now_ms();
    const std::string text = oamlog_cursor_out();
    if (text != g_cursor.committed && (g_cursor.opts.file.empty() || oamlog_cursor_store(g_cursor.opts.file, text) == 0)) {
        g_cursor.committed = text;
    }
}

// Whole lines only: the output is written before a line could fill it.
void oamlog_line_done(FILE *out)
{
    if (__fbufsize(out) - __fpending(out) < OAMLOG_LINE_ROOM) {
        (void)oamlog_flush(out);
    }
}

// The milliseconds until the cursor is due, after writing it when it is;
// -1 when nothing waits for it.
int oamlog_tick(FILE *out)
{
    if (!g_cursor.on || !g_cursor.dirty || g_cursor.failed) {
        return -1;
    }
    const int64_t left = g_cursor.last_ms + OAMLOG_CURSOR_PERIOD_MS - oamlog_now_ms();
    if (left > 0) {
        return static_cast<int>(left);
    }
    oamlog_commit(out);
    return -1;
}

// Says once what a gone position leaves out, on standard error and as an
// event among the lines.
void oamlog_report_unread(FILE *out, const oamlog_print_opts &popts, const std::string &core, const oamlog_pos &pos,
                          const oamlog_rec *oldest, const char *what)
{
    const bool from_known = std::any_of(pos.stamp, pos.stamp + OAM_STAMP_FIELDS, [](uint16_t f) { return f != 0; });
    char from[40] = "?";
    char to[40] = "";
    if (from_known) {
        oamlog_key_text(from, sizeof(from), oamlog_stamp_key(pos.stamp), ' ');
    }
    if (oldest != nullptr) {
        oamlog_key_text(to, sizeof(to), oamlog_stamp_key(oldest->stamp), ' ');
    }
    const std::string name = core.empty() ? "journal" : oamlog_name_text(core.c_str());
    (void)fprintf(stderr,
                  "oamlog: %s: the cursor's %s (stamped %s) is no longer kept: what was stored after it%s%s was "
                  "removed before it was read\n",
                  name.c_str(), what, from, oldest != nullptr ? " and before " : "", to);
    if (popts.format != OAMLOG_TEXT && popts.format != OAMLOG_HEX && popts.format != OAMLOG_JSON) {
        return;
    }
    oamlog_event ev{};
    const uint16_t *stamp = from_known || oldest == nullptr ? pos.stamp : oldest->stamp;
    std::copy(stamp, stamp + OAM_STAMP_FIELDS, ev.stamp);
    const int64_t local = oamlog_stamp_ms(ev.stamp);
    ev.off = oldest != nullptr ? oldest->utc_off : oamlog_guess_offset(local);
    ev.off_given = true;
    ev.line_ms = local;
    ev.shown_ms = local;
    ev.key = oamlog_key_of_ms(local - static_cast<int64_t>(ev.off) * 60000);
    ev.period = -1;
    ev.boot = -1;
    ev.core = core.empty() ? "oam" : core;
    ev.event = "unread";
    ev.detail = "removed before it was read";
    if (oldest != nullptr) {
        // As a time is shown in a line of its own: local with its offset
        // (in JSON), or as the other lines show theirs.
        char until[64];
        if (popts.format == OAMLOG_JSON) {
            oamlog_key_text(until, sizeof(until), oamlog_stamp_key(oldest->stamp), 'T');
            (void)snprintf(until + strlen(until), sizeof(until) - strlen(until), "%s",
                           oamlog_offset_text(oldest->utc_off, true).c_str());
        } else if (popts.utc) {
            oamlog_show_key(until, sizeof(until), oldest->key, oldest->utc_off, true, false);
        } else {
            (void)snprintf(until, sizeof(until), "%s", to);
        }
        ev.detail += std::string(", up to ") + until;
    }
    ev.cursor = oamlog_cursor_text({pos});
    oamlog_print_event(out, popts, ev);
}

// The first record src holds, placed as reading it would place it.
bool oamlog_cursor_oldest(const oamlog_source &src, oamlog_rec *rec)
{
    oamlog_source probe = src;
    probe.quiet = true;
    probe.live = false;
    return oamlog_next_placed(&probe, rec) > 0;
}

// The source placed behind its position (the records up to it passed over
// as read, so that the time line places the next ones as before).
void oamlog_resume_source(oamlog_source *src, const oamlog_pos &pos, FILE *out, const oamlog_print_opts &popts)
{
    const oamlog_pos_found found = oamlog_cursor_find(*src, pos);
    if (found.file < 0) {
        oamlog_rec oldest{};
        const bool kept = oamlog_cursor_oldest(*src, &oldest);
        oamlog_report_unread(out, popts, src->core, pos, kept ? &oldest : nullptr, "file");
        return;
    }
    oamlog_source_skip_files(src, static_cast<size_t>(found.file));
    if (found.records == 0) {
        (void)fprintf(stderr,
                      "oamlog: %s: the record of the cursor's position is no longer at offset %llu: the file was "
                      "repaired; read again from its start\n",
                      oamlog_name_text(src->files.front().path.c_str()).c_str(),
                      static_cast<unsigned long long>(pos.at));
    }
    const bool quiet = src->quiet;
    src->quiet = true;
    oamlog_rec rec{};
    for (uint64_t k = 0; k < found.records && oamlog_next_placed(src, &rec) > 0; ++k) {
    }
    src->quiet = quiet;
}

void oamlog_resume_journal(const oamlog_pos &pos, FILE *out, const oamlog_print_opts &popts)
{
    std::vector<oamlog_event> &events = g_oamlog_events;
    const auto it = std::find_if(events.begin(), events.end(), [&pos](const oamlog_event &ev) {
        return ev.line_id == pos.id && ev.line_n == pos.at;
    });
    g_cursor.journal = pos;
    g_cursor.journal_have = true;
    if (it != events.end()) {
        const size_t seq = it->seq;
        std::erase_if(events, [seq](const oamlog_event &ev) { return ev.seq <= seq; });
        return;
    }
    // Gone from the journal: said when the journal now begins after it (a
    // selection of other cores may only have left its line out).
    const auto oldest = std::min_element(events.begin(), events.end(),
                                         [](const oamlog_event &a, const oamlog_event &b) { return a.seq < b.seq; });
    if (oldest != events.end() && oldest->line_ms > oamlog_stamp_ms(pos.stamp)) {
        oamlog_rec first{};
        std::copy(oldest->stamp, oldest->stamp + OAM_STAMP_FIELDS, first.stamp);
        first.key = oldest->key;
        first.utc_off = oldest->off;
        oamlog_report_unread(out, popts, "", pos, &first, "event");
    }
}

}  // namespace

int oamlog_cursor_begin(const oamlog_cursor_opts &opts)
{
    g_cursor = {};
    g_cursor.opts = opts;
    g_cursor.on = !opts.file.empty() || !opts.after.empty() || opts.show;
    if (!g_cursor.on) {
        return 0;
    }
    std::string text = opts.after;
    int got = 0;
    if (!opts.file.empty() && (got = oamlog_cursor_load(opts.file, &text)) < 0) {
        return -1;
    }
    if (got == 0) {
        text = opts.after;
    }
    // Gone on from, a cursor not understood could lose records or repeat
    // them all: the reader stops instead.
    std::string why;
    if ((got > 0 || !text.empty()) && oamlog_cursor_parse(text, &g_cursor.from, &why) != 0) {
        if (got > 0) {
            oamlog_error("%s: %s; remove the file to start anew", oamlog_name_text(opts.file.c_str()).c_str(),
                         why.c_str());
        } else {
            oamlog_error("--after-cursor: %s", why.c_str());
        }
        return -1;
    }
    // A cursor that names nothing yet (its reader wrote no line) is one
    // too: the output resumes from the oldest entry.
    g_cursor.given = got > 0 || !text.empty();
    if (g_cursor.given) {
        g_cursor.committed = oamlog_cursor_text(g_cursor.from);
    }
    struct sigaction sa {};
    sa.sa_handler = oamlog_cursor_on_signal;
    (void)sigemptyset(&sa.sa_mask);
    (void)sigaction(SIGINT, &sa, nullptr);
    (void)sigaction(SIGTERM, &sa, nullptr);
    (void)signal(SIGPIPE, SIG_IGN);
    (void)setvbuf(stdout, g_out_buffer, _IOFBF, sizeof(g_out_buffer));
    // A line a killed reader left cut short at the end of its file is ended
    // there, so that the next line stands whole.
    // (Read through a descriptor of its own: the output is open for
    // appending only.)
    struct stat st {};
    g_out_waits = fstat(STDOUT_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) ? 1 : 0;
    char last = '\n';
    const int fd = fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0
                       ? open("/proc/self/fd/1", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)
                       : -1;
    if (fd >= 0) {
        if (pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') {
            (void)fputc('\n', stdout);
        }
        (void)close(fd);
    }
    g_cursor.last_ms = oamlog_now_ms();
    return 0;
}

bool oamlog_cursor_apply(std::vector<oamlog_source> &sources, FILE *out, const oamlog_print_opts &popts)
{
    if (!g_cursor.on) {
        return false;
    }
    for (oamlog_source &src : sources) {
        oamlog_slot slot{src.core.c_str(), {src.core, 0, 0, 0, {}}, false};
        const auto from = std::find_if(g_cursor.from.begin(), g_cursor.from.end(),
                                       [&src](const oamlog_pos &p) { return p.name == src.core; });
        if (from != g_cursor.from.end()) {
            slot.pos = *from;
            slot.have = true;
            oamlog_resume_source(&src, *from, out, popts);
        }
        g_cursor.slots.push_back(slot);
    }
    const auto journal = std::find_if(g_cursor.from.begin(), g_cursor.from.end(),
                                      [](const oamlog_pos &p) { return p.name.empty(); });
    if (journal != g_cursor.from.end()) {
        oamlog_resume_journal(*journal, out, popts);
    }
    g_cursor.done.assign(g_oamlog_events.size(), false);
    g_cursor.out_slots = g_cursor.slots;
    g_cursor.out_done = g_cursor.done;
    return g_cursor.given;
}

void oamlog_cursor_record(const oamlog_rec &rec)
{
    if (!g_cursor.on) {
        return;
    }
    for (oamlog_slot &slot : g_cursor.slots) {
        if (slot.core == rec.core) {
            slot.pos.id = rec.head;
            slot.pos.at = rec.offset;
            slot.pos.len = static_cast<uint32_t>(rec.rec_len);
            std::copy(rec.stamp, rec.stamp + OAM_STAMP_FIELDS, slot.pos.stamp);
            slot.have = true;
            break;
        }
    }
    g_cursor.dirty = true;
    oamlog_line_done(stdout);
    if (++g_cursor.records % OAMLOG_CURSOR_CLOCK_EVERY == 0) {
        (void)oamlog_tick(stdout);
    }
}

void oamlog_cursor_event(const oamlog_event &ev)
{
    if (!g_cursor.on || g_oamlog_events.empty() || &ev < g_oamlog_events.data() ||
        &ev >= g_oamlog_events.data() + g_oamlog_events.size()) {
        return;
    }
    const auto at = static_cast<size_t>(&ev - g_oamlog_events.data());
    if (g_cursor.done.size() <= at) {
        g_cursor.done.resize(at + 1, false);
    }
    g_cursor.done[at] = true;
    g_cursor.dirty = true;
    oamlog_line_done(stdout);
}

bool oamlog_cursor_stopped()
{
    return g_cursor_stop != 0;
}

ssize_t oamlog_cursor_wait(int fd, void *buf, size_t cap)
{
    // The signals that end the output reach it only inside the wait, so
    // that one that comes after the look at the flag still ends the wait.
    sigset_t ends;
    sigset_t was;
    (void)sigemptyset(&was);
    (void)sigemptyset(&ends);
    (void)sigaddset(&ends, SIGINT);
    (void)sigaddset(&ends, SIGTERM);
    for (;;) {
        const int timeout = oamlog_tick(stdout);
        if (g_cursor.on) {
            (void)sigprocmask(SIG_BLOCK, &ends, &was);
        }
        if (g_cursor_stop != 0) {
            (void)sigprocmask(SIG_SETMASK, &was, nullptr);
            return -2;
        }
        pollfd p{fd, POLLIN, 0};
        const timespec wait{timeout / 1000, timeout % 1000 * 1000000L};
        const int ready = ppoll(&p, 1, timeout < 0 ? nullptr : &wait, g_cursor.on ? &was : nullptr);
        const int err = errno;
        if (g_cursor.on) {
            (void)sigprocmask(SIG_SETMASK, &was, nullptr);
        }
        errno = err;
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
        if (ready <= 0) {
            continue;
        }
        const ssize_t n = read(fd, buf, cap);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

void oamlog_cursor_end(FILE *out)
{
    if (!g_cursor.on) {
        return;
    }
    g_cursor.dirty = g_cursor.dirty || g_cursor.failed;
    oamlog_commit(out);
    if (g_cursor.opts.show && !g_cursor.failed && !g_cursor.committed.empty()) {
        (void)fprintf(out, "-- cursor: %s\n", g_cursor.committed.c_str());
        (void)fflush(out);
    }
}
