// The three log receiver threads and the start of the bfg and me sides.
#pragma once

#include <cstdint>

void *oam_netlink_recv_pthread(void *arg);
void *oam_bfg_recv_pthread(void *arg);
void *oam_me_recv_pthread(void *arg);
void oam_bfgx_create_thread();
void oam_me_create_thread();

// Mirror of one chunk to the connected tool, shared by the three receivers.
// err_fmt is the receiver's constant send-error message; it takes the
// function name, the line, the chunk length as an int (%d or %u) and the
// system error text, in that order.
void oam_mirror_to_tool(const uint8_t *data, uint32_t len, const char *err_fmt);
