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
};

struct oamlog_rec {
    const uint8_t *data;
    size_t data_len;
    size_t rec_len;
    uint16_t stamp[OAM_STAMP_FIELDS];
    bool stamp_ok;
    // Sorting and selection key: the stamp's fields in order, or the last
    // good stamp before it when its own is out of range.
    uint64_t key;
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
// "YYYY-MM-DD[ T]HH:MM[:SS[.mmm]]", "YYYY-MM-DD" or "HH:MM[:SS[.mmm]]" (on
// today's date); upper takes the end of the span given (10:05 to 10:05:59.999).
int oamlog_parse_time(const char *text, bool upper, uint64_t *key);

struct oamlog_print_opts {
    oamlog_format format;
    size_t width;  // cut text lines to this many columns; 0: never
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
    uint64_t key;  // where it is shown: a loss where it began
    uint16_t stamp[OAM_STAMP_FIELDS];
    std::string core;
    std::string event;
    std::string detail;
    std::string cause;  // of a loss
    uint64_t count;     // of a loss
    bool overruns;      // the count is of kernel overruns, not of records
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
int oamlog_dump_window(const std::string &archive, long before, uint64_t *since, uint64_t *until);
