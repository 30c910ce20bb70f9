// Chip identification internals that the unit tests reach: the one-time
// cache and the name lookup behind oam_get_sub_chip_type.
#pragma once

#include <cstdint>

constexpr int OAM_NODE_BUF_LEN = 24;

// Cached result of oam_get_sub_chip_type; valid once g_sub_chip_type_known
// is 1.  Written by the first call on the main thread, then only read.
extern int32_t g_sub_chip_type;
extern int32_t g_sub_chip_type_known;

// Id of the table entry whose name equals name, or CHIP_UNKNOWN.
int32_t oam_chip_id_by_name(const char *name);
