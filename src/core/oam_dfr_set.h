// The fault-recovery settings: read from the INI file and sent to the bfg
// driver.  Here in the core, the one module that knows both.
#pragma once

int ini_plat_dfr_set();
