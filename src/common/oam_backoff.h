// Pause of a receiver after failed reads.
#pragma once

// Sleep used after repeated failed reads: grows from 1 ms to 1 s so that a
// dead node or socket cannot spin a core, and is cut short by a stop request.
void oam_read_backoff(unsigned *fail_count);
