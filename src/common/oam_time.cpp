#include "common/oam_time.h"

#include <mutex>

namespace {

// The C library orders tzset and the conversions under a lock of its own,
// which the thread checkers used in testing cannot see: they would report
// the zone being read again in one thread while another converts.  Our own
// lock around both makes that order visible, at no cost worth naming once
// a second.
std::mutex g_local_time_mutex;

}  // namespace

int oam_local_time(time_t sec, struct tm *out)
{
    std::lock_guard<std::mutex> hold(g_local_time_mutex);
    // localtime_r never looks at the zone again once it was read, but the
    // device's zone may change while the daemon runs.  tzset checks the zone
    // file (a stat of /etc/localtime) and reads it again only when it changed.
    tzset();
    return localtime_r(&sec, out) == nullptr ? -1 : 0;
}
