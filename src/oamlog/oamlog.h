// oamlog's pieces: the cores' record streams read from their files, and the
// ways a record is printed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/types.h>

#include "common/oam_record.h"

enum oamlog_format { OAMLOG_TEXT, OAMLOG_HEX, OAMLOG_RAW, OAMLOG_JSON, OAMLOG_CHECK };

// Exit status of the program.
constexpr int OAMLOG_OK = 0;
constexpr int OAMLOG_DAMAGED = 1;  // --check found damage
constexpr int OAMLOG_FAILED = 2;   // a bad option, a missing folder, an unreadable file

struct oamlog_file {
    std::string path;
    int number;  // 0: not a numbered log file (given by the user under another name)
    int fd;
    dev_t dev;
    ino_t ino;
    // The bytes read: a dump's context holds a core's records in a part of it.
    uint64_t begin = 0;
    uint64_t end = UINT64_MAX;
};

struct oamlog_rec {
    const uint8_t *data;
    size_t data_len;
    size_t rec_len;
    uint16_t stamp[OAM_STAMP_FIELDS];
    bool stamp_ok;
    // Sorting and selection key: the place on the time line (UTC, see
    // oamlog_key_of_ms), or the last good stamp's place before it when its
    // own is out of range; 0 when there is none.
    uint64_t key;
    uint64_t local;   // the stamp's (or that last good stamp's) fields in order
    int utc_off;      // minutes east of UTC taken for the stamp
    bool uncertain;   // no period of the journal holds the stamp: placed as stamped
    long boot;        // the journal's boot it was placed in; -1 none
    const char *core;
    const char *file;
    uint64_t offset;
};

// The decoder of the compressed file a source reads.  A copy of a source
// (a counting pass) starts a decoder of its own.
struct oamlog_zst;
struct oamlog_zst_ref {
    oamlog_zst *z = nullptr;
    oamlog_zst_ref() = default;
    oamlog_zst_ref(const oamlog_zst_ref &) {}
    oamlog_zst_ref(oamlog_zst_ref &&other) noexcept : z(other.z) { other.z = nullptr; }
    oamlog_zst_ref &operator=(const oamlog_zst_ref &other);
    oamlog_zst_ref &operator=(oamlog_zst_ref &&other) noexcept;
    ~oamlog_zst_ref();
};

// One core's records, file after file, oldest first.
struct oamlog_source {
    std::string core;    // "wifi", "bfg", "me", or a file's own name
    std::string dir;     // with the trailing '/'; empty for files given one by one without file 1
    std::string prefix;  // the numbered files' prefix in dir
    std::string folder;  // of files given one by one, which join the source of their core there
    std::vector<oamlog_file> files;
    size_t cur;          // the file being read
    std::vector<uint8_t> buf;
    uint64_t buf_off;    // file offset of buf[0]
    size_t pos;          // next unparsed byte in buf
    bool at_eof;         // the last read found no more bytes
    bool recheck;        // waited at the end of a followed file: read behind its whole records anew
    bool live;           // the newest file may still grow (follow)
    int wd;              // follow: the watch on its folder (or its file); 0 none yet, -1 nothing to watch
    ino_t wd_ino;        // the folder watched
    bool quiet;          // a counting pass: damage is not reported
    uint64_t last_key;
    uint64_t last_local;
    long period = -1;  // of the time line the last record was placed in; -1 before the journal
    int64_t prev_ms = INT64_MIN;  // the last record's stamp, read as if UTC
    uint64_t records;
    uint64_t damaged;
    oamlog_zst_ref zst;
};

// Global counts and the place damage is reported.
extern FILE *g_oamlog_damage_out;
extern uint64_t g_oamlog_damage_count;
extern int g_oamlog_status;

void oamlog_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Inputs: the log root, a core's folder, or files.  To follow, a root takes
// in the core folders it does not hold yet.
int oamlog_add_root(std::vector<oamlog_source> *out, const std::string &root, const std::vector<std::string> &cores,
                    bool follow);
// A file's core is core when given, else told by its name and folder.
int oamlog_add_path(std::vector<oamlog_source> *out, const std::string &path, bool follow, const char *core);
int oamlog_file_number(const char *name, const char *prefix);
void oamlog_open_files(oamlog_source *src);
// After opening: each file once, each folder followed once.
void oamlog_drop_repeats(std::vector<oamlog_source> *sources);
// Follow: picks up the files a rotation put in front of the newest file read.
void oamlog_follow_rotation(oamlog_source *src);

// A rotated file the daemon compressed: "<prefix><N>.zst", one or more
// zstd frames.
bool oamlog_zst_name(const std::string &path);
// Up to cap bytes of the source's current (compressed) file from offset at
// of its content; 0 at its end or at damage, which is reported.
size_t oamlog_zst_read(oamlog_source *src, uint8_t *out, size_t cap, uint64_t at);
// Whether the compressed file zst_fd holds exactly the bytes of plain_fd.
bool oamlog_zst_same(int zst_fd, int plain_fd);
// The content size a compressed file's frame declares, else the bytes it
// decodes to.
uint64_t oamlog_zst_content_size(int fd);
// Damage that is no record's: "FILE: offset N: what".
void oamlog_report_file(oamlog_source *src, uint64_t offset, const char *what);

// 1 and *rec: the next record; 0: none yet (a live file waits for more);
// -1: the source is read to its end.
int oamlog_next(oamlog_source *src, oamlog_rec *rec);

uint64_t oamlog_stamp_key(const uint16_t *stamp);

// The time line (oamlog_time.cpp).  A key is a UTC time in milliseconds
// moved up so that every stamp's year gives a key above 0.
int64_t oamlog_stamp_ms(const uint16_t *stamp);  // the fields read as if UTC
// The fields as this machine's local time (mktime: a skipped time is moved).
time_t oamlog_stamp_mktime(const uint16_t *stamp, struct tm *local);
void oamlog_ms_stamp(int64_t ms, uint16_t *stamp);
uint64_t oamlog_key_of_ms(int64_t utc_ms);
int64_t oamlog_ms_of_key(uint64_t key);
// This machine's offset in minutes for a local time (stamp read as if UTC).
int oamlog_guess_offset(int64_t local_ms);
// "YYYY-MM-DD[ T]HH:MM[:SS[.mmm]]", "YYYY-MM-DD" or "HH:MM[:SS[.mmm]]" (on
// today's date), with "Z" or "+HH:MM" behind for other than local time;
// "now", "today", "yesterday", "tomorrow", "@EPOCH", "-10m", "10 min ago".
// upper takes the end of the span given (10:05 to 10:05:59.999).  now_ms
// is the time relative ones count from.
int oamlog_parse_time_at(const char *text, bool upper, int64_t now_ms, uint64_t *key);
int oamlog_parse_time(const char *text, bool upper, uint64_t *key);

struct oamlog_event;

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
// "+HHMM" or "-HHMM" at text: the characters it takes (5) and *minutes, else 0.
size_t oamlog_parse_offset(const char *text, int *minutes);
// The journal's lines in the order written: each may begin a period; the
// keys are given once the lines read so far are all in.  The reset also
// forgets what this machine's zone answered (after a change of TZ).
void oamlog_time_reset();
void oamlog_time_add(oamlog_event *ev);
void oamlog_time_key(oamlog_event *ev);
extern std::vector<oamlog_boot_info> g_oamlog_boots;
// Places a record read from src on the time line.
void oamlog_place(oamlog_source *src, oamlog_rec *rec);
// "+0100" (journal) or "+01:00" (JSON).
std::string oamlog_offset_text(int minutes, bool colon);
// A key as "YYYY-MM-DD HH:MM:SS.mmm" in UTC (sep between date and time).
void oamlog_utc_text(char *text, size_t cap, uint64_t key, char sep);
// --boot: an id, 0 the last boot, -1 the one before...; -1 when none fits.
long oamlog_find_boot(const char *text);
void oamlog_list_boots(FILE *out, bool json, bool utc);
// --stats: the runs of the boots selected that ended uncleanly.
void oamlog_list_unclean(FILE *out, bool json, uint64_t since, uint64_t until);
extern long g_oamlog_boot_pick;  // -1: every boot

struct oamlog_print_opts {
    oamlog_format format;
    size_t width;  // cut text lines to this many columns; 0: never
    bool utc;      // times in UTC
};
void oamlog_print(FILE *out, const oamlog_print_opts &opts, const oamlog_rec &rec);
// Cuts a line to width columns ("..." at its end); 0: never.
void oamlog_cut_line(std::string *line, size_t width);
std::string oamlog_base64(const uint8_t *data, size_t len);
// A name as a JSON string, and as text for a line: what is not UTF-8 or is
// a control character escaped.
std::string oamlog_json_text(const char *text);
std::string oamlog_name_text(const char *name);

// The daemon's events journal (oam_events beside the logs), read once.
struct oamlog_event {
    uint64_t key;  // where it is shown (its place on the time line): a loss where it began
    uint16_t stamp[OAM_STAMP_FIELDS];
    int64_t line_ms;   // the line's own stamp, read as if UTC
    int64_t shown_ms;  // the stamp shown (a loss's beginning), read as if UTC
    int off;           // minutes east of UTC
    bool off_given;    // the line carries its offset
    long period;
    long boot;
    std::string core;
    std::string event;
    std::string detail;
    std::string cause;  // of a loss
    uint64_t count;     // of a loss
    bool overruns;      // the count is of kernel overruns, not of records
    std::string line;   // as written, with its newline
    size_t seq;         // its place in the order written
};
extern std::vector<oamlog_event> g_oamlog_events;

// Loads the journal's events of the cores asked for (all when empty; the
// daemon's own then too) stamped within [since, until], in the order
// written, a loss moved back to where it began.  Lines that are no event
// are skipped and, when report, counted and reported as damage.
void oamlog_journal_load(const std::string &root, const std::vector<std::string> &cores, uint64_t since,
                         uint64_t until, bool report);
// Following: takes in the events the daemon wrote since.
void oamlog_journal_more();
void oamlog_print_event(FILE *out, const oamlog_print_opts &opts, const oamlog_event &ev);
// Prints the events not yet shown that come before key: of core, or of
// every core when core is null; passes over them silently unless print.
void oamlog_events_until(FILE *out, const oamlog_print_opts &opts, uint64_t key, bool print, const char *core);
// The journal's losses of a core, in records or in overruns; saturates.
uint64_t oamlog_journal_lost(const std::string &core, bool overruns);
void oamlog_check_losses(FILE *out);
// --stats, --dumps, and the window of --dump ARCHIVE --before SECONDS.
void oamlog_stats(FILE *out, std::vector<oamlog_source> &sources, bool json, uint64_t since, uint64_t until);
int oamlog_dumps(FILE *out, const std::string &root, bool json);
// --disk-usage: per core files, bytes, content, span and share; archives,
// journal, free space and the budget the INI files set.
int oamlog_disk_usage(FILE *out, const std::string &root, bool json);
std::string oamlog_human(uint64_t bytes);  // as du -h
int oamlog_dump_window(const std::string &archive, long before, uint64_t *since, uint64_t *until);

// The context file kept beside a dump archive (given by name under root's
// memdump folder, or by path).
std::string oamlog_context_path(const std::string &root, const std::string &archive);
// --dump: a core's records come from the context where its log files no
// longer reach back to them, and the journal's events of the window that
// the journal no longer holds are taken from it.  Cores: those asked for
// (all when empty).
void oamlog_context_apply(const std::string &path, const std::vector<std::string> &cores,
                          std::vector<oamlog_source> *sources);
// Adds the events of journal lines (from a context) that are not loaded yet.
void oamlog_journal_add(const std::string &path, const std::string &text);
// The dump time of an archive by its name, from the journal loaded.
bool oamlog_dump_reported(const std::string &archive, uint64_t *reported);
// The lines of the events oamlog_journal_load took, in the order written.
std::string oamlog_journal_select();

// SHA-256 of the bundle's members.
struct oamlog_sha256 {
    uint32_t h[8];
    uint8_t block[64];
    uint64_t bytes;
};
void oamlog_sha256_init(oamlog_sha256 *ctx);
void oamlog_sha256_update(oamlog_sha256 *ctx, const void *data, size_t len);
// The digest in lower-case hex; the context is used up.
std::string oamlog_sha256_hex(oamlog_sha256 *ctx);

// A bundle: one .tar.gz with what is known of a window of time.
struct oamlog_bundle_opts {
    std::string version;  // oamlog's
    std::string out;
    std::string root;
    std::vector<std::string> cores;
    std::string dump;  // the archive whose window it is, or empty
    uint64_t since;
    uint64_t until;
    long max_mib;      // 0: no limit
};
int oamlog_bundle_write(const oamlog_bundle_opts &opts);
bool oamlog_bundle_name_ok(const std::string &name);
// Named as the daemon names a dump archive.
bool oamlog_is_dump_archive(const std::string &path);
// A file that starts as a gzip stream: read as a bundle.
bool oamlog_is_bundle(const std::string &path);
// Unpacks a bundle into a new private folder laid out as a log root, which
// is removed at the exit.  Members that are damaged or not a bundle's are
// reported and left out; one that does not match the manifest is reported.
int oamlog_bundle_open(const std::string &bundle, std::string *root);
// The name a file of the unpacked bundle is shown under.
std::string oamlog_bundle_shown(const std::string &path);
// Of a bundle written for a dump: that dump's window (narrowing since and
// until) and the unpacked context kept with it ("" when none); false for
// any other bundle.  Read so, it shows what --dump showed where written.
bool oamlog_bundle_window(std::string *context, uint64_t *since, uint64_t *until);
void oamlog_bundle_remove();
