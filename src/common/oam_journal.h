// The events journal: a small text file beside the logs, one line per event
// (start and stop, capture, rotations, dumps, the tool, and every record
// lost with its count and cause), so that whoever opens a capture later
// sees what is missing, where and why.  A line is
//   YYYY-MM-DD HH:MM:SS.mmm CORE EVENT [DETAIL]
// and a loss
//   ... CORE lost N records: CAUSE, HH:MM:SS.mmm to HH:MM:SS.mmm
// The journal never holds capture up: a line that cannot be written is
// dropped, except a loss, which is kept in memory until a write succeeds.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

enum oam_jcore { OAM_J_OAM, OAM_J_WIFI, OAM_J_BFG, OAM_J_ME, OAM_J_CORES };

enum oam_jcause {
    OAM_LOSS_WRITE,      // the write failed after its retry (err says why)
    OAM_LOSS_OPEN,       // file 1 could not be opened (err says why)
    OAM_LOSS_MALFORMED,  // the message's length field does not fit what arrived
    OAM_LOSS_TOO_LONG,   // the message is longer than a record holds
    OAM_LOSS_KERNEL,     // dropped by the kernel: the receive buffer was full
    OAM_LOSS_OVERRUNS,   // as above, counted in overruns (no drop counter)
    OAM_LOSS_NOT_FILE,   // something other than a regular file is at file 1
    OAM_LOSS_CUT,        // the record file 1 ended in when the daemon last stopped
    OAM_LOSS_UNCLEAN,    // damage a power cut or kill left, cut out at the next start
};

constexpr uint32_t OAM_JOURNAL_MAX_BYTES = 256 * 1024;

// Opens (creates) the journal at path, for reading its end as well; the
// older half is path + ".1".
// max_bytes is the size at which it rotates.  0, or -1 when it cannot be
// opened (events are then dropped).
int oam_journal_open(const char *path, uint32_t max_bytes);
// Closes it for good: later lines are dropped, losses held, until an open.
void oam_journal_close();

// One event line; detail is printf-style and may be empty.
__attribute__((format(printf, 3, 4))) void oam_journal_event(oam_jcore core, const char *event,
                                                             const char *fmt, ...);

// count records of core were not stored for cause (err: the errno behind a
// write or open failure).  Held in memory and written at most once a second
// while the loss lasts; a change of cause writes the previous one first.
void oam_journal_lost(oam_jcore core, oam_jcause cause, int err, uint64_t count);
// As above, for records lost since the wall-clock time *since (the start of
// a congestion, a file's last write) rather than now.
void oam_journal_lost_since(oam_jcore core, oam_jcause cause, int err, uint64_t count, const timespec *since);

// As above, for records lost between the wall-clock times *from and *to
// (a stretch cut out at start-up): held until the next flush, windows of
// one core and cause joined.
void oam_journal_lost_between(oam_jcore core, oam_jcause cause, uint64_t count, const timespec &from,
                              const timespec &to);

// Writes every loss held in memory now (a dump, an orderly stop).  At the
// stop, a loss the journal cannot take goes to standard output instead.
void oam_journal_flush(bool at_stop = false);
// Puts what the journal holds on storage (its start line, before any log
// data is synced: a cut never keeps records of a run whose start is gone).
void oam_journal_datasync();

// What the end of the journal says about the run before this one.  A run
// that journalled its start and no stop ended uncleanly (a power cut, a
// kill): what it wrote after its last sync may be missing.
struct oam_last_run {
    bool known;            // the journal holds its start or its stop
    bool unclean;
    long pid;              // -1: its start line names none
    char started[40];      // its start line's stamp, as written
    char boot[48];         // its boot id; empty when the line has none
    char last_line[40];    // the stamp of the last line it wrote
    timespec started_ts;   // wall clock of the two
    timespec last_ts;
};
extern oam_last_run g_last_run;

// Reads the journal at path (and its older half when the current one holds
// neither a start nor a stop), bounded, damage passed over.  tail_cut: the
// repair took damage out of its end, written by a run whose start line may
// be gone with it; that run ended uncleanly too.  0, or -1 when nothing
// tells of an unclean end.
int oam_journal_last_run(const char *path, bool tail_cut, oam_last_run *run);
// The same from journal text (whole lines, oldest first); found tells
// whether a start or a stop was in it.  run->last_line is taken only when
// still empty.
void oam_last_run_parse(const char *text, size_t len, oam_last_run *run, bool *found);

// Takes what a cut left at the end of the journal at path out of it before
// it is written again: lines holding NUL bytes and a last line without its
// end; the lines behind such a stretch stay.  Each stretch is a loss of the
// oam core (OAM_LOSS_UNCLEAN).  The bytes taken out.
int64_t oam_journal_repair(const char *path);

// Writes "oam zone-changed from +HHMM to +HHMM" when a conversion of the
// current time found another offset in force (see oam_local_now).  Every
// line written does so first; this is for those who converted without
// writing a line (a record's stamp): the line is stamped with the time
// converted, so that it never comes after the first record under the new
// offset.
void oam_journal_zone_check(const timespec &noticed);

// Starts a new journal if the open one was removed (at the log files'
// existence check).
void oam_journal_recheck();

// A loss of core is held and not yet written: set by oam_journal_lost and
// cleared once its line is written.  Read with a plain load on every stored
// record, so that the loss is written the moment it ends.
extern int32_t g_journal_pending[OAM_J_CORES];
void oam_journal_loss_over(oam_jcore core);

inline void oam_journal_stored(oam_jcore core)
{
    if (std::atomic_ref<int32_t>(g_journal_pending[core]).load(std::memory_order_relaxed) != 0) {
        oam_journal_loss_over(core);
    }
}

// Puts the log files of every core, and the journal, on storage (one
// syncfs per file system).  For the moments that matter: a dump reported,
// its archive written, an orderly stop, and the periodic sync.
void oam_sync_logs();

// The periodic sync runs only after something was written: the first write
// since the last sync arms it (one semaphore post), every later one costs a
// plain load.  Nothing written, nothing wakes.
extern int32_t g_sync_armed;
void oam_sync_arm();
inline void oam_sync_note_write()
{
    if (std::atomic_ref<int32_t>(g_sync_armed).load(std::memory_order_relaxed) == 0) {
        oam_sync_arm();
    }
}
// The periodic sync's thread: waits until a write armed it, then (after its
// interval) disarms and syncs, so that a write from then on arms the next.
void oam_sync_wait_armed();
void oam_sync_armed_logs();
