// Routing of tool frames to the Wi-Fi driver or the bfg node.
#pragma once

#include <cstdint>

constexpr int OAM_VTL_HDR_LEN = 8;

int oam_vtl2dev_proc(const uint8_t *hdr, const uint8_t *frame);
