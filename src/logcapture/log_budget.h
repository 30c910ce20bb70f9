// The flash the log files may take: free space kept on the log file system,
// bytes all cores' files may use together, the part of it each core keeps,
// and compressed history.  All off unless the INI sets it; then removals
// and renames of log files happen only under g_log_files_mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <pthread.h>

#include "common/oam_global.h"

enum oam_budget_core { OAM_BC_WIFI, OAM_BC_BFG, OAM_BC_ME, OAM_BC_CORES };

constexpr int32_t OAM_COMPRESS_LEVEL_DEFAULT = 3;
constexpr int32_t OAM_COMPRESS_LEVEL_MAX = 19;
constexpr int32_t OAM_SHARE_DEFAULT = -1;  // min share not set: the core's part of what all need

struct oam_log_budget_cfg {
    int32_t keep_free_mib;                 // 0: no floor of free space
    int32_t max_use_mib;                   // 0: no byte budget
    int32_t min_share[OAM_BC_CORES];       // percent of the budget, or OAM_SHARE_DEFAULT
    int32_t compress;                      // 1: rotated files are compressed
    int32_t compress_level;
    int32_t active;                        // any of the above in force
};

extern oam_log_budget_cfg g_log_budget;
extern pthread_mutex_t g_log_files_mutex;

// One core's files as the fair removal sees them.
struct oam_budget_use {
    int64_t bytes;         // all its numbered files, file 1 included
    int64_t oldest_bytes;  // its highest-numbered file other than 1; -1: none
    int32_t oldest_num;
    bool oldest_zst;
    int64_t share;         // per ten thousand of the budget; 0: no floor
};

// The core whose oldest rotated file goes next to bring the logs within
// budget bytes: among those with such a file and above their floor (share
// of the budget), the one whose bytes are largest relative to its share.
// -1 when none may lose a file.
int oam_budget_pick(const oam_budget_use *use, int n, int64_t budget);

// Each core's share (per ten thousand): the configured percent, else its
// part of what the enabled cores need (count x size); 0 for a core that is
// disabled or absent.
void oam_budget_shares(const oam_log_desc *const *desc, const int32_t *min_share, int64_t *share);

// Sums the numbered files prefix<N> and prefix<N>.zst of dir into *use
// (share untouched), leaving out the plain files numbered 2 to
// pending_upto.  -1 when dir cannot be read.
int oam_budget_scan(const char *dir, const char *prefix, int32_t pending_upto, oam_budget_use *use);

// At start-up, after the settings: says once per core when its share of
// the byte budget cannot hold one rotated file.
void oam_budget_check_shares();

// Reads the INI keys into g_log_budget (start-up, before any thread).
void oam_log_budget_param_init();

// From the store path: at most once a second, the free-space and byte
// budget checks.  Costs a coarse clock reading otherwise.
void oam_budget_tick();
// Rotation of pst_log with its steps around the renames: the checks
// before it, the renumbering, the core's retention and the compressor's
// wake-up after it.  Called with g_log_files_mutex held.
void oam_budget_before_rotate();
int oam_budget_renumber(oam_log_desc *pst_log);
void oam_budget_after_rotate(oam_log_desc *pst_log);
// Moves every numbered file of pst_log from number from on one number up,
// both forms, never over a file that is there; *use as scanned before.
// -1 when a rename failed: the files below it keep their numbers.
// Called with g_log_files_mutex held.
int oam_budget_shift(const oam_log_desc *pst_log, int32_t from, oam_budget_use *use);
// After the compressor went through a core's files: the checks of a
// rotation, now that they count what the files take compressed.
void oam_budget_after_compress(int core);

// The compressing thread: started once, sleeps until a rotation.
void oam_compress_start();
void oam_compress_wake();
// At the stop: no part is made any more, and none is left behind.
void oam_compress_stop();
// One pass of the compressing thread over every core's files (the thread
// runs it at each wake-up; tests run it directly).
void oam_compress_pass();
// Forgets what the passes learned (the files that failed, the cores gone
// through), for tests that lay out files anew.
void oam_compress_reset();
// The plain rotated files of core the compressor has yet to take are
// numbered 2 up to this (under g_log_files_mutex); 0 when none waits.
int32_t oam_compress_pending_upto(int core);
// Streams the size bytes of src into one zstd frame (content checksum and
// size) on dst at level: nullptr, or why it failed (text holds it when the
// system said why).  For the compressing thread and the benchmark.
const char *oam_compress_stream(int src, int dst, uint64_t size, int level, char *text, size_t text_len);
// Rotations of a core so far (under g_log_files_mutex): a file numbered n
// when the count was g is numbered n + (now - g).
extern uint64_t g_log_rotations[OAM_BC_CORES];
oam_log_desc *oam_budget_desc(int core);
