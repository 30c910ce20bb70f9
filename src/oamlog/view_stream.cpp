// The records of the sources and the journal's events among them: core
// after core or merged on the time line, the last N, and followed.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "oamlog/read_journal.h"
#include "oamlog/read_source.h"
#include "oamlog/reader_status.h"
#include "oamlog/timeline.h"
#include "oamlog/view_cursor.h"
#include "oamlog/view_grep.h"
#include "oamlog/view_print.h"
#include "oamlog/view_stream.h"
#include "oamlog/view_tables.h"

namespace {

// The next event of the merged output to show.
size_t g_event_next;

bool oamlog_event_leads(const oamlog_event &ev)
{
    // Written before any record of its run is stored; a zone change before
    // the record whose stamp noticed it, and stamped with that record's time.
    return ev.event == "start" || ev.event == "capture-started" || ev.event == "zone-changed";
}

// Prints the events not yet shown that come before key: of core, or of
// every core when core is null; passes over them silently unless print.
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
        if (print && (core == nullptr || ev.core == core) && oamlog_grep_event(ev)) {
            oamlog_print_event(out, opts, ev);
            oamlog_cursor_event(ev);
        } else if (!print) {
            oamlog_cursor_event(ev);
        }
    }
}

oamlog_stream_opts g_stream;

// The next selected record of a source, into its look-ahead slot.
struct oamlog_cursor {
    oamlog_source *src;
    oamlog_rec rec;
    bool have;
    bool done;
    uint64_t skip;  // -n: selected records still to pass over
};

void oamlog_peek(oamlog_cursor *cur)
{
    while (!cur->have && !cur->done) {
        const int got = oamlog_next_placed(cur->src, &cur->rec);
        if (got < 0) {
            cur->done = true;
        } else if (got == 0) {
            return;
        } else if (oamlog_selected(cur->rec.key, cur->rec.boot, g_stream.since, g_stream.until) &&
                   oamlog_grep_record(cur->rec)) {
            cur->have = true;
        }
    }
}

// Hands out what the cursors hold now: core after core, or the oldest
// first across cores (ties go to the core named first, and each core keeps
// its own order).  Returns how many records were taken.
uint64_t oamlog_drain(std::vector<oamlog_cursor> &cursors, uint64_t *merged_skip, const oamlog_print_opts &popts)
{
    uint64_t taken = 0;
    while (!oamlog_cursor_stopped()) {
        oamlog_cursor *pick = nullptr;
        for (oamlog_cursor &cur : cursors) {
            oamlog_peek(&cur);
            if (!cur.have) {
                if (!g_stream.merge && !g_stream.follow && cur.done) {
                    oamlog_events_until(stdout, popts, UINT64_MAX, true, cur.src->core.c_str());
                }
                continue;
            }
            if (!g_stream.merge) {
                pick = &cur;
                break;
            }
            if (pick == nullptr || cur.rec.key < pick->rec.key) {
                pick = &cur;
            }
        }
        if (pick == nullptr) {
            return taken;
        }
        pick->have = false;
        ++taken;
        uint64_t &skip = merged_skip != nullptr ? *merged_skip : pick->skip;
        // Followed, the events stand in one stream with the records.
        oamlog_events_until(stdout, popts, pick->rec.key, skip == 0,
                            g_stream.merge || g_stream.follow ? nullptr : pick->src->core.c_str());
        if (skip > 0) {
            --skip;
        } else if (g_stream.print.format != OAMLOG_CHECK) {
            oamlog_print(stdout, popts, pick->rec);
        }
        oamlog_cursor_record(pick->rec);
    }
    return taken;
}

std::vector<oamlog_cursor> oamlog_cursors(std::vector<oamlog_source> &sources)
{
    std::vector<oamlog_cursor> cursors;
    for (oamlog_source &src : sources) {
        cursors.push_back({&src, {}, false, false, 0});
    }
    return cursors;
}

// -n: a silent pass counts the selected records, so that the pass that
// prints can pass over all but the last N without holding them.
void oamlog_count_skips(std::vector<oamlog_source> &sources, std::vector<oamlog_cursor> &cursors,
                        uint64_t *merged_skip)
{
    std::vector<oamlog_source> copies = sources;
    uint64_t total = 0;
    for (size_t i = 0; i < copies.size(); ++i) {
        copies[i].quiet = true;
        copies[i].live = false;
        oamlog_cursor cur{&copies[i], {}, false, false, 0};
        uint64_t n = 0;
        for (oamlog_peek(&cur); cur.have; oamlog_peek(&cur)) {
            cur.have = false;
            ++n;
        }
        total += n;
        // Merged, the last N are of all cores: no core passes over any of
        // its own, now or when following.
        const auto last = static_cast<uint64_t>(g_stream.last);
        cursors[i].skip = g_stream.merge || n <= last ? 0 : n - last;
    }
    *merged_skip = total > static_cast<uint64_t>(g_stream.last) ? total - static_cast<uint64_t>(g_stream.last) : 0;
}

}  // namespace

size_t oamlog_file_count(const std::vector<oamlog_source> &sources)
{
    size_t files = 0;
    for (const oamlog_source &src : sources) {
        files += src.files.size();
    }
    return files;
}

// Watches what a source's files live in before they are listed and opened,
// so that nothing written in between goes unnoticed; a core folder the
// daemon has yet to make is waited for in the folder above it.
int oamlog_watch(int watch_fd, oamlog_source *src)
{
    // A folder removed and made again (the daemon makes missing ones) is
    // watched anew.
    struct stat st {};
    const bool same = src->dir.empty() || (stat(src->dir.c_str(), &st) == 0 && st.st_ino == src->wd_ino);
    if (src->wd != 0 && same) {
        return 0;
    }
    src->wd_ino = st.st_ino;
    const std::string what = !src->dir.empty() ? src->dir : src->files.empty() ? std::string() : src->files.back().path;
    constexpr uint32_t mask = IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_CLOSE_WRITE;
    if (what.empty()) {
        src->wd = -1;
        return 0;
    }
    if ((src->wd = inotify_add_watch(watch_fd, what.c_str(), mask)) >= 0) {
        return 0;
    }
    src->wd = 0;
    if (errno == ENOENT && !src->dir.empty()) {
        const std::string above = src->dir.substr(0, src->dir.rfind('/', src->dir.size() - 2) + 1);
        // Added to what the folder is watched for already (the journal).
        if (inotify_add_watch(watch_fd, above.empty() ? "." : above.c_str(), IN_CREATE | IN_MOVED_TO | IN_MASK_ADD) >=
            0) {
            return 0;
        }
    }
    oamlog_error("%s: cannot watch: %s", oamlog_name_text(what.c_str()).c_str(), strerror(errno));
    return -1;
}

namespace {

int oamlog_follow(int watch_fd, std::vector<oamlog_source> &sources, std::vector<oamlog_cursor> &cursors,
                  const oamlog_print_opts &popts)
{
    alignas(inotify_event) char events[4096];
    for (;;) {
        for (oamlog_source &src : sources) {
            if (oamlog_watch(watch_fd, &src) != 0) {
                return OAMLOG_FAILED;
            }
            oamlog_follow_rotation(&src);
        }
        oamlog_journal_more();
        (void)oamlog_drain(cursors, nullptr, popts);
        // A loss or a dump is shown while no record comes.
        oamlog_events_until(stdout, popts, UINT64_MAX, true, nullptr);
        if (fflush(stdout) != 0) {
            return OAMLOG_FAILED;  // the reader went away
        }
        // Only the batch matters, not which file it names: every source is
        // looked at again.
        const ssize_t n = oamlog_cursor_wait(watch_fd, events, sizeof(events));
        if (n == -2) {
            return g_oamlog_status;  // a signal ended the output
        }
        if (n <= 0) {
            oamlog_error("inotify: %s", n < 0 ? strerror(errno) : "closed");
            return OAMLOG_FAILED;
        }
        // A watch the kernel ended (its folder removed) is set again on the
        // next look, even on a new folder that got the old inode number.
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            inotify_event ev;
            memcpy(&ev, events + at, sizeof(ev));
            for (oamlog_source &src : sources) {
                if ((ev.mask & IN_IGNORED) != 0 && src.wd > 0 && ev.wd == src.wd) {
                    src.wd = 0;
                }
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + ev.len);
        }
    }
}

// A bundle given as the input, or as the root, is unpacked and read as the

}  // namespace

int oamlog_stream(std::vector<oamlog_source> &sources, const oamlog_stream_opts &opts, int watch_fd)
{
    g_stream = opts;
    // Resumed, the output starts behind the cursor, wherever that is.
    if (oamlog_cursor_apply(sources, stdout, opts.print)) {
        g_stream.last = -1;
    }
    if (g_stream.last == 0 && !opts.follow) {
        return g_oamlog_status;  // the last 0 records and what stands among them: nothing
    }
    const oamlog_print_opts &popts = opts.print;
    std::vector<oamlog_cursor> cursors = oamlog_cursors(sources);
    uint64_t merged_skip = 0;
    if (g_stream.last >= 0) {
        oamlog_count_skips(sources, cursors, &merged_skip);
    }
    const uint64_t taken = oamlog_drain(cursors, opts.merge ? &merged_skip : nullptr, popts);
    if (!opts.follow && !opts.merge) {
        // Read core after core, the events of cores without files (their
        // folder gone) and then the daemon's own come last.
        for (const oamlog_event &ev : std::vector<oamlog_event>(g_oamlog_events)) {
            if (ev.core != "oam" && std::none_of(sources.begin(), sources.end(),
                                                 [&ev](const oamlog_source &src) { return src.core == ev.core; })) {
                oamlog_events_until(stdout, popts, UINT64_MAX, true, ev.core.c_str());
            }
        }
        oamlog_events_until(stdout, popts, UINT64_MAX, true, "oam");
    } else if (!opts.follow) {
        oamlog_events_until(stdout, popts, UINT64_MAX, true, nullptr);
    }
    if (opts.follow) {
        return oamlog_follow(watch_fd, sources, cursors, popts);
    }
    if (opts.print.format == OAMLOG_CHECK) {
        oamlog_check_summary(stdout, oamlog_file_count(sources), taken, g_oamlog_damage_json);
        oamlog_check_losses(stdout, g_oamlog_damage_json);
    }
    // A write that failed before (a closed pipe) left nothing to flush.
    if (fflush(stdout) != 0 || ferror(stdout) != 0) {
        oamlog_error("standard output: %s", strerror(errno != 0 ? errno : EIO));
    }
    if (g_oamlog_status != OAMLOG_OK) {
        return g_oamlog_status;
    }
    return opts.print.format == OAMLOG_CHECK && g_oamlog_damage_count > 0 ? OAMLOG_DAMAGED : OAMLOG_OK;
}
