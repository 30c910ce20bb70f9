#include "common/oam_time.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

int32_t g_zone_change_held;

namespace {

// The C library orders tzset and the conversions under a lock of its own,
// which the thread checkers used in testing cannot see: they would report
// the zone being read again in one thread while another converts.  Our own
// lock around both makes that order visible, at no cost worth naming once
// a second.  It also guards the offsets below.
std::mutex g_local_time_mutex;

bool g_zone_known;
long g_zone_offset;       // the offset of the latest current time converted
long g_zone_held_from;    // the offset before the change held

int oam_local_time_locked(time_t sec, struct tm *out)
{
    // localtime_r never looks at the zone again once it was read, but the
    // device's zone may change while the daemon runs.  tzset checks the zone
    // file (a stat of /etc/localtime) and reads it again only when it changed.
    tzset();
    return localtime_r(&sec, out) == nullptr ? -1 : 0;
}

}  // namespace

int oam_local_time(time_t sec, struct tm *out)
{
    std::lock_guard<std::mutex> hold(g_local_time_mutex);
    return oam_local_time_locked(sec, out);
}

int oam_local_now(time_t sec, struct tm *out)
{
    std::lock_guard<std::mutex> hold(g_local_time_mutex);
    if (oam_local_time_locked(sec, out) != 0) {
        return -1;
    }
    if (g_zone_known && out->tm_gmtoff != g_zone_offset) {
        std::atomic_ref<int32_t> held(g_zone_change_held);
        if (held.load(std::memory_order_relaxed) == 0) {
            g_zone_held_from = g_zone_offset;
            held.store(1, std::memory_order_relaxed);
        }
    }
    g_zone_offset = out->tm_gmtoff;
    g_zone_known = true;
    return 0;
}

bool oam_zone_change_take(long *from, long *to)
{
    std::lock_guard<std::mutex> hold(g_local_time_mutex);
    std::atomic_ref<int32_t> held(g_zone_change_held);
    if (held.load(std::memory_order_relaxed) == 0) {
        return false;
    }
    held.store(0, std::memory_order_relaxed);
    *from = g_zone_held_from;
    *to = g_zone_offset;
    return *from != *to;
}

int oam_utc_offset_text(char *out, size_t len, long gmtoff)
{
    const long minutes = labs(gmtoff) / 60;
    const int n = snprintf(out, len, "%c%02ld%02ld", gmtoff < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return n < 0 || static_cast<size_t>(n) >= len ? -1 : n;
}

int oam_stamp_text(char *out, size_t len, const timespec &ts, bool with_date, bool now)
{
    struct tm local {};
    const int converted = now ? oam_local_now(ts.tv_sec, &local) : oam_local_time(ts.tv_sec, &local);
    if (converted != 0) {
        return snprintf(out, len, with_date ? "0000-00-00 00:00:00.000+0000" : "00:00:00.000+0000");
    }
    char offset[16];
    if (oam_utc_offset_text(offset, sizeof(offset), local.tm_gmtoff) < 0) {
        offset[0] = '\0';
    }
    const int ms = static_cast<int>(ts.tv_nsec / 1000000);
    if (with_date) {
        return snprintf(out, len, "%04d-%02d-%02d %02d:%02d:%02d.%03d%s", local.tm_year + 1900, local.tm_mon + 1,
                        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms, offset);
    }
    return snprintf(out, len, "%02d:%02d:%02d.%03d%s", local.tm_hour, local.tm_min, local.tm_sec, ms, offset);
}

int oam_seconds_text(char *out, size_t len, const timespec &ts)
{
    return snprintf(out, len, "%lld.%03ld", static_cast<long long>(ts.tv_sec), ts.tv_nsec / 1000000);
}
