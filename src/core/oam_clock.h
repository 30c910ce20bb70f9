// Steps of the wall clock, and what tells one boot from another.
#pragma once

#include <cstddef>

// Opens and arms the descriptor that becomes readable when the wall clock
// is set (stepped) rather than slewed.  Its descriptor, or -1 when the
// kernel offers none (steps then go unnoticed).
int oam_clock_watch_open();

// The watch's descriptor was readable: a step is journalled as
// "clock-stepped from OLD to NEW, boottime S.mmm" and the watch armed
// again.  -1 when the watch no longer works and should not be polled.
int oam_clock_watch_read(int fd);

// "boot <id>, boottime <S.mmm>" for the start event: the kernel's boot id
// ("unknown" when it cannot be read) and the seconds since the boot.
int oam_boot_text(char *out, size_t len);
