// Per-core log settings read at start-up.
#pragma once

int oam_log_param_init();
