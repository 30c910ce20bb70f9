// The daemon as a service: its command line, the one-instance lock and the
// service manager's notifications (readiness, stop, status, watchdog).
#pragma once

#include <cstdint>

// What the command line asks for: OAM_RUN to start the daemon, otherwise
// the exit status (the usage or the version was printed, or an option was
// refused).
constexpr int OAM_RUN = -1;
int oam_command_line(int argc, char **argv, const char *version);

// Takes the lock that makes this the only daemon of the device, before
// anything is opened or written: 0 when held, -1 when another daemon holds
// it or when no lock could be had at all (told on standard error).  On a first try, OAM_LOCK_NO_FOLDER when the
// lock's folder is missing: no daemon ran there yet, so the caller may make
// the log folders and try again.
constexpr int OAM_LOCK_NO_FOLDER = 1;
int oam_instance_lock(bool first_try);

// Reads the service manager's settings from the environment; outside a
// manager the calls below do nothing and nothing is started.
void oam_notify_init();
// Capture runs: READY=1, then status and watchdog pings from a thread of
// their own, started only when a manager listens.
void oam_notify_ready();
void oam_notify_stopping();
// How often the notifier wakes, in ms, for a watchdog interval in us (0:
// none): half of it, and at most the status period of 10 s.
long oam_notify_period_ms(uint64_t watchdog_usec);
