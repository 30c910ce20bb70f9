// Local time for stamps and archive names.
#pragma once

#include <ctime>

// localtime_r that follows a change of the device's time zone while the
// daemon runs.  Safe from any thread; costs a stat of the zone file, so
// callers convert once a second at most.  Returns 0, or -1 when the time
// cannot be converted.
int oam_local_time(time_t sec, struct tm *out);
