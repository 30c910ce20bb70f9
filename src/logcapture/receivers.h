// The three log receiver threads and the start of the bfg and me sides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "logcapture/log_store.h"

void *oam_netlink_recv_pthread(void *arg);
void *oam_bfg_recv_pthread(void *arg);
void *oam_me_recv_pthread(void *arg);
void oam_bfgx_create_thread();
void oam_me_create_thread();

// The steps the receiver threads run on what one receive pass brought; they
// run on the thread that owns the core's log descriptor.  A pass gathers the
// records in the receiver's own buffers into a batch, then hands the batch
// on: its data goes to the tool in one send and, with the core's log switch
// on, its records to the core's files.
//
// A buffer holds one record and the two bytes that let a netlink message be
// received straight into it: its header lands at offset 2, so that its data
// is already at offset 18, behind the record header that replaces it.
constexpr uint32_t OAM_RECV_BUF_LEN = OAM_RECORD_MAX_LEN + 2;
constexpr uint32_t OAM_NL_RX_OFFSET = 2;

// One netlink message as one receive left it: `received` bytes (at most
// 2048, netlink header first) at offset 2 of rec.  The length field is
// checked against the accepted range and against what arrived; a good
// message joins the batch.  Returns 0 when the message was taken, -1 when
// it was dropped.
int oam_wifi_take_msg(oam_log_batch *batch, uint8_t *rec, size_t received);
// Mirrors and stores a Wi-Fi batch; the batch is empty afterwards.
void oam_wifi_pass_done(oam_log_batch *batch);

enum oam_node_core { OAM_NODE_BFG, OAM_NODE_ME };

// One read from a bfg or me node: the read put its `len` bytes at offset 18
// of rec, and the chunk joins the batch as one record.  Returns 0 when the
// chunk was taken, -1 when the read brought no chunk (len 0 or below, or
// more than fits).
int oam_node_take_chunk(oam_log_batch *batch, uint8_t *rec, ssize_t len);
// Mirrors and stores a batch of the core's chunks; the batch is empty
// afterwards.
void oam_node_pass_done(oam_node_core core, oam_log_batch *batch);

// Mirror to the connected tool, shared by the three receivers: one chunk, or
// the data of every record of a batch in one send.  err_fmt is the
// receiver's constant send-error message; it takes the function name, the
// line, the length of the chunk the send failed in as an int (%d or %u) and
// the system error text, in that order.
void oam_mirror_to_tool(const uint8_t *data, uint32_t len, const char *err_fmt);
void oam_mirror_batch(const oam_log_batch *batch, const char *err_fmt);
