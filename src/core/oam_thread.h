// Start, probe and cooperative stop of the log receiver threads.
#pragma once

#include <pthread.h>

#include <cstdint>

int oam_pthread_create(pthread_t *handle);
void oam_pthread_kill(pthread_t handle);
// The stops return 0 when the receiver ended (or there was none to stop),
// -1 when it did not end within the bound and was left to the exit.
int oam_pthread_close(pthread_t handle);
int oam_bfg_pthread_close(pthread_t handle);
int oam_me_pthread_close(pthread_t handle);
// Stops one receiver: flag, wake-up and bounded join.  Prints only when
// the receiver was left behind; the same result as the stops above.
int oam_quiet_stop(int32_t &stop_flag, pthread_t handle, const char *core);

// Installs the handler of the signal used to interrupt a receiver blocked in
// its read; called once at start-up.
void oam_thread_wake_init();
// Repeats the wake-up signal until the thread has ended and joins it: 0;
// -1 when it has not ended within the stop's bound (it is not joined).
int oam_thread_stop_join(pthread_t handle);
