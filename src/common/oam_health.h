// What the capture threads leave for the service manager: a sign of life
// per receiver and running totals.  Plain counters, bumped without a lock
// or a system call on the capture path and read by the notifier only.
#pragma once

#include <atomic>
#include <cstdint>

enum oam_beat_thread { OAM_BEAT_WIFI, OAM_BEAT_BFG, OAM_BEAT_ME, OAM_BEATS };

// Bumped by a receiver right before its blocking receive and right after
// it: an odd count means the receiver waits for its device, which is how a
// core with nothing to say looks and is no sign of a hang.  A receiver
// stuck anywhere else keeps an even count that does not move.
inline uint32_t g_oam_beats[OAM_BEATS];
// Records stored and lost per receiver, and dump archives written.
inline uint64_t g_oam_stored[OAM_BEATS];
inline uint64_t g_oam_lost[OAM_BEATS];
inline uint32_t g_oam_dumps;

inline void oam_beat(oam_beat_thread t)
{
    std::atomic_ref<uint32_t>(g_oam_beats[t]).fetch_add(1, std::memory_order_relaxed);
}

inline void oam_count(uint64_t &total, uint64_t n)
{
    std::atomic_ref<uint64_t>(total).fetch_add(n, std::memory_order_relaxed);
}
