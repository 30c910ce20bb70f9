// Local time for stamps and archive names, and the UTC offsets beside them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

// localtime_r that follows a change of the device's time zone while the
// daemon runs.  Safe from any thread; costs a stat of the zone file, so
// callers convert once a second at most.  Returns 0, or -1 when the time
// cannot be converted.
int oam_local_time(time_t sec, struct tm *out);

// As above, for the current time: the UTC offset it finds is the one in
// force, and a change of it (another zone, or daylight saving time starting
// or ending) is held until oam_zone_change_take reports it.
int oam_local_now(time_t sec, struct tm *out);

// Set while a change of the offset in force is held; read with a plain load
// where the current time was just converted.
extern int32_t g_zone_change_held;

inline bool oam_zone_change_pending()
{
    return std::atomic_ref<int32_t>(g_zone_change_held).load(std::memory_order_relaxed) != 0;
}

// The offsets before and after the change held (several changes in a row
// are one, from the first to the last); false when none is held or the
// offset came back to where it was.  Clears it.
bool oam_zone_change_take(long *from, long *to);

// "+HHMM" or "-HHMM" of an offset east of UTC in seconds (seconds of it
// dropped, as in the zone abbreviations).  The length written, or -1 when
// out is too short.
int oam_utc_offset_text(char *out, size_t len, long gmtoff);

// "YYYY-MM-DD HH:MM:SS.mmm+HHMM" of a wall-clock time (only
// "HH:MM:SS.mmm+HHMM" without with_date), in the zone in force for it;
// now: ts is the current time (see oam_local_now).  The length written.
int oam_stamp_text(char *out, size_t len, const timespec &ts, bool with_date, bool now);

// "S.mmm" of a clock's reading (CLOCK_BOOTTIME: the time since the boot,
// suspends included).
int oam_seconds_text(char *out, size_t len, const timespec &ts);
