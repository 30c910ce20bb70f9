// The print helper's side towards the service manager.  When the output is
// its journal, each line is preceded by the level its print names ("<3>"
// ...), which the journal takes off and keeps as the entry's priority.
#pragma once

#include "common/oam_print.h"

// The same as oam_printf for the few lines that go to standard error.
__attribute__((format(printf, 2, 3))) void oam_eprintf(oam_level level, const char *fmt, ...);
// Looks once whether standard output and error are the journal's stream;
// until then, and outside the journal, nothing is prefixed.
void oam_print_levels_init();
// From before main on, stdout's lines are held until the daemon decides to
// run (keep) or to end at once (drop them).  Held text is bounded: what
// does not fit goes out as usual.
void oam_print_hold();
void oam_print_release(bool keep);
