// Layer 3, views: standard output through the user's pager on a terminal.
#pragma once

// When standard output is a terminal, starts $OAMLOG_PAGER, else $PAGER,
// else less, and sends standard output (and standard error, when it is the
// terminal too) into it until the exit, which waits for the pager.  An empty
// or "cat" pager, output that is no terminal, or a pager that cannot be
// started leave the output as it is.
void oamlog_pager_start();
