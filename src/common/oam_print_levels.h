// The print helper's side towards the service manager.  When the output is
// its journal, each line is preceded by its syslog level ("<3>" ...), which
// the journal takes off and keeps as the entry's priority.  The level is
// found from the message format in one table (oam_print.cpp), so that the
// call sites and the texts stay as they are.
#pragma once

#include "common/oam_print.h"

// The same as oam_printf for the few lines that go to standard error.
__attribute__((format(printf, 1, 2))) void oam_eprintf(const char *fmt, ...);
// Looks once whether standard output and error are the journal's stream;
// until then, and outside the journal, nothing is prefixed.
void oam_print_levels_init();
// The level a message format is printed with in the journal.
int oam_print_level(const char *fmt);
// From before main on, stdout's lines are held until the daemon decides to
// run (keep) or to end at once (drop them).  Held text is bounded: what
// does not fit goes out as usual.
void oam_print_hold();
void oam_print_release(bool keep);
