// The three log receiver threads and the start of the bfg and me sides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

void *oam_netlink_recv_pthread(void *arg);
void *oam_bfg_recv_pthread(void *arg);
void *oam_me_recv_pthread(void *arg);
void oam_bfgx_create_thread();
void oam_me_create_thread();

// The per-message steps the receiver threads run after each receive; they
// run on the thread that owns the core's buffers and log descriptor.
//
// One netlink message as one receive left it: rx holds the `received` bytes
// that arrived (at most 2048), netlink header first.  The length field is
// checked against the accepted range and against what arrived; a good
// message is copied behind the record header in puc_buf, mirrored to the
// tool and, with the Wi-Fi log switch on, stored.  Returns 0 when the
// message was taken, -1 when it was dropped.
int oam_wifi_recv_msg(const uint8_t *rx, size_t received);

enum oam_node_core { OAM_NODE_BFG, OAM_NODE_ME };

// One read from a bfg or me node: the read put its `len` bytes at offset 18
// of the core's record buffer (bfg_puc_buf, me_puc_buf), where they are
// mirrored and, with the core's log switch on, stored as one record.
// Returns 0 when the chunk was taken, -1 when the read brought no chunk
// (len 0 or below, or more than fits).
int oam_node_recv_chunk(oam_node_core core, ssize_t len);

// Mirror of one chunk to the connected tool, shared by the three receivers.
// err_fmt is the receiver's constant send-error message; it takes the
// function name, the line, the chunk length as an int (%d or %u) and the
// system error text, in that order.
void oam_mirror_to_tool(const uint8_t *data, uint32_t len, const char *err_fmt);
