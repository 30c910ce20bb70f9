// Layer 1, readers of outside bytes: the records a reader of log files
// fills in, and the damage report of a file.  The time-line fields of a
// record and a source are the time line's to fill (timeline.h).
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/types.h>

#include "common/oam_record.h"
#include "oamlog/reader_status.h"

struct oamlog_file {
    std::string path;
    int number;  // 0: not a numbered log file (given by the user under another name)
    int fd;
    dev_t dev;
    ino_t ino;
    // The bytes read: a dump's context holds a core's records in a part of it.
    uint64_t begin = 0;
    uint64_t end = UINT64_MAX;
    // The hash of its first record: the name a cursor knows it by.
    uint64_t head = 0;
    bool head_known = false;
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
    uint64_t head;  // of its file
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

// Damage that is no record's: "FILE: offset N: cause; records kept" or
// "...; the rest of the file is lost".
inline void oamlog_report_file(oamlog_source *src, uint64_t offset, const char *cause, bool kept)
{
    ++src->damaged;
    if (src->quiet) {
        return;
    }
    oamlog_spot spot;
    spot.file = src->files[src->cur].path;
    spot.offset = offset;
    spot.skipped = kept ? 0 : OAMLOG_UNTOLD;
    spot.cause = cause;
    spot.outcome = kept ? "records kept" : "the rest of the file is lost";
    oamlog_damage(spot);
}
