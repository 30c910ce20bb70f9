// Start, probe and cooperative stop of the log receiver threads.
#pragma once

#include <pthread.h>

int oam_pthread_create(pthread_t *handle);
void oam_pthread_kill(pthread_t handle);
void oam_pthread_close(pthread_t handle);
void oam_bfg_pthread_close(pthread_t handle);
void oam_me_pthread_close(pthread_t handle);

// Installs the handler of the signal used to interrupt a receiver blocked in
// its read; called once at start-up.
void oam_thread_wake_init();
// Repeats the wake-up signal until the thread has ended, then joins it.
void oam_thread_stop_join(pthread_t handle);
