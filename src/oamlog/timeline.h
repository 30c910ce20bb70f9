// Layer 2, the time line (above the readers, below the views): periods and
// boots told from the journal, records and events placed on one UTC line,
// times parsed and written, and the one place --since, --until and --boot
// select.  A key is a UTC time in milliseconds moved up so that every
// stamp's year gives a key above 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "oamlog/read_file.h"
#include "oamlog/read_journal.h"

// The fields as this machine's local time (mktime: a skipped time is moved).
time_t oamlog_stamp_mktime(const uint16_t *stamp, struct tm *local);
uint64_t oamlog_key_of_ms(int64_t utc_ms);
// This machine's offset in minutes for a local time (stamp read as if UTC).
int oamlog_guess_offset(int64_t local_ms);
// "YYYY-MM-DD[ T]HH:MM[:SS[.mmm]]", "YYYY-MM-DD" or "HH:MM[:SS[.mmm]]" (on
// today's date), with "Z" or "+HH:MM" behind for other than local time;
// "now", "today", "yesterday", "tomorrow", "@EPOCH", "-10m", "10 min ago".
// upper takes the end of the span given (10:05 to 10:05:59.999).  now_ms
// is the time relative ones count from.
int oamlog_parse_time_at(const char *text, bool upper, int64_t now_ms, uint64_t *key);
int oamlog_parse_time(const char *text, bool upper, uint64_t *key);
// "+0100" (journal) or "+01:00" (JSON).
std::string oamlog_offset_text(int minutes, bool colon);
// A time as two JSON members: name as written, in the offset it was written
// with ("2026-12-09T10:00:00.100+01:00"), and name_utc ("utc" beside
// "time"), its place on the time line ("2026-12-09T09:00:00.100Z"); both
// null for key 0 (no time).  The second form shows a key in offset off.
std::string oamlog_json_time(const char *name, int64_t local_ms, int off, uint64_t key);
std::string oamlog_json_key_time(const char *name, uint64_t key, int off);
// A key as "YYYY-MM-DD HH:MM:SS.mmm" in UTC (sep between date and time).
void oamlog_utc_text(char *text, size_t cap, uint64_t key, char sep);
// A key shown in the offset given (in UTC with utc or JSON).
void oamlog_show_key(char *text, size_t cap, uint64_t key, int off, bool utc, bool json);
// A local key (oamlog_stamp_key) as "YYYY-MM-DD HH:MM:SS.mmm".
void oamlog_key_text(char *text, size_t cap, uint64_t key, char sep);
// A local key read back as its fields' ms as if UTC.
int64_t oamlog_local_key_ms(uint64_t key);

// The periods of the journal: a run, a clock step or a change of offset
// begins one; boots are told by their start events' boot id.
struct oamlog_period {
    int64_t begin;  // local ms of its first line
    int64_t last;   // local ms of its last line (of a run that ended uncleanly: as its successor says)
    int64_t limit;  // the last local ms it can hold; INT64_MAX while open
    int off;        // minutes east of UTC
    bool guessed;   // the journal gave no offset: this machine's zone
    int64_t shift;  // ms its times move by: the steps of its boot after it
    long boot;
    long run = 0;          // the first period of its run
    long ender = -1;       // a run's last period: the period the next start began
    bool unclean = false;  // that run ended without a stop
};

struct oamlog_boot_info {
    std::string id;  // empty: the journal does not tell
    uint64_t first;
    uint64_t last;
    int first_off;  // minutes east of UTC at its first and last line
    int last_off;
    unsigned unclean = 0;     // its runs that ended without a stop
    long unclean_period = -1;  // the last period of the latest of them
};
extern std::vector<oamlog_period> g_oamlog_periods;
extern std::vector<oamlog_boot_info> g_oamlog_boots;
// The journal's lines in the order written: each may begin a period; the
// keys are given once the lines read so far are all in.  The reset also
// forgets what this machine's zone answered (after a change of TZ).
void oamlog_time_reset();
void oamlog_time_add(oamlog_event *ev);
void oamlog_time_key(oamlog_event *ev);

// --boot: an id, 0 the last boot, -1 the one before...; -1 when none fits.
long oamlog_find_boot(const char *text);
extern long g_oamlog_boot_pick;  // -1: every boot
// The selection of records and events: placed within [since, until] and
// in the boot picked.
bool oamlog_selected(uint64_t key, long boot, uint64_t since, uint64_t until);

// Of a bundle written for a dump: that dump's window (narrowing since and
// until) and the unpacked context kept with it ("" when none); false for
// any other bundle.
bool oamlog_bundle_window(std::string *context, uint64_t *since, uint64_t *until);

// The next record of src (oamlog_next) placed on the time line.
int oamlog_next_placed(oamlog_source *src, oamlog_rec *rec);

// The journal's events placed, of the cores asked for (all when empty;
// the daemon's own then too) selected within [since, until], in the order
// written, a loss moved back to where it began.
extern std::vector<oamlog_event> g_oamlog_events;
void oamlog_journal_load(const std::string &root, const std::vector<std::string> &cores, uint64_t since,
                         uint64_t until, bool report);
// Following: takes in the events the daemon wrote since.
void oamlog_journal_more();
// Adds the events of journal lines (from a context) that are not loaded yet.
void oamlog_journal_add(const std::string &path, const std::string &text);
// The lines of the events loaded, in the order written.
std::string oamlog_journal_select();
// The journal's losses of a core, in records or in overruns; saturates.
uint64_t oamlog_journal_lost(const std::string &core, bool overruns);

// When the dump of an archive was reported and when its archive was done:
// from the journal, else from the name.  false when neither tells.
// As stamped (keys of the fields in order), or placed on the time line
// (a name without its journal line taken in this machine's zone).
bool oamlog_dump_times(const std::string &name, uint64_t *reported, uint64_t *done,
                       const oamlog_event **report = nullptr, bool placed = false);
// How the dump reported by report ended: the next dump-saved, dump-failed
// or dump-abandoned of its type ("TYPE", "TYPE: why", "TYPE at stop").
const oamlog_event *oamlog_dump_outcome(const oamlog_event *report);
// The window of --dump ARCHIVE --before SECONDS.
int oamlog_dump_window(const std::string &archive, long before, uint64_t *since, uint64_t *until);
// The dump time of an archive by its name, from the journal loaded.
bool oamlog_dump_reported(const std::string &archive, uint64_t *reported);

// The dump archives under root's memdump folder, in the order --dumps lists
// them (by the time reported, as stamped, then by name); -1 with the error
// told when the folder cannot be read.
struct oamlog_dump_entry {
    uint64_t reported;
    std::string name;
    std::string type;
    const oamlog_event *report;  // its dump-reported event; null when the journal has none
};
int oamlog_dump_archives(const std::string &root, std::vector<oamlog_dump_entry> *list);
// --dump WORD: the archive's name for a name (or a path), "last", an index
// of --dumps (-1 the latest, -2 ...; 0 the oldest, 1 ...), a type or the
// start of a part of one (the latest of that type); "" the latest reported
// within since and until.  -1 with the error told when none or several fit.
int oamlog_dump_pick(const std::string &root, const std::string &word, uint64_t since, uint64_t until,
                     std::string *name);
