#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "common/oam_global.h"
#include "common/oam_health.h"
#include "common/oam_print.h"
#include "common/oam_backoff.h"
#include "logcapture/log_store.h"
#include "logcapture/receivers.h"
#include "platform/oam_chip.h"
#include "common/oam_driver.h"

namespace {

// What tells the bfg receiver from the me receiver; the loop is the same.
struct oam_node_recv_core {
    int32_t *stop;
    int32_t *fd;
    oam_log_desc *log;
    const char *send_err_fmt;
    const char *write_err_fmt;
    const char *second_write_err_fmt;
};

constexpr oam_node_recv_core OAM_BFG_RECV = {
    &g_st_global.bfg_thread_stop,
    &g_st_global.bfg_fd,
    &g_st_global.st_bfg_log,
    "[%s:%d]send bfg socket is ERR! len = %d.;errno:%s\n\n",
    "[%s:%d]write bfg log time file err;errno:%s\n\n",
    "[%s:%d]second write bfg log file err;errno:%s\n\n",
};

constexpr oam_node_recv_core OAM_ME_RECV = {
    &g_st_global.me_thread_stop,
    &g_st_global.me_fd,
    &g_st_global.st_me_log,
    "[%s:%d]send me socket is ERR! len = %d.;errno:%s\n\n",
    "[%s:%d]write me log file err;errno:%s\n\n",
    "[%s:%d]second write me log file err;errno:%s\n\n",
};

constexpr const oam_node_recv_core *OAM_NODE_RECV[] = {&OAM_BFG_RECV, &OAM_ME_RECV};

// Chunks one pass reads while the node has more ready; they go to the
// tool in one send and to the file in one write.
constexpr uint32_t OAM_NODE_BATCH = 32;
static_assert(OAM_NODE_BATCH <= OAM_LOG_BATCH_MAX);

// The record buffers are left as allocated, so that they become resident
// only as reads fill them; only the bytes a read brings are looked at.  The
// first chunk of a pass goes to the core's work buffer, which holds a whole
// record.
struct oam_node_bufs {
    oam_node_bufs() : taken{} {}
    oam_log_batch taken;
    uint8_t *work;
    uint8_t rec[OAM_NODE_BATCH][OAM_RECV_BUF_LEN];
};
static_assert(OAM_RECORD_HDR_LEN + OAM_RECORD_DATA_MAX <= OAM_BUF_LEN);

// Whether a chunk is waiting, without waiting for one.  This takes the
// driver's poll at its word: a node without one reads as always ready, and
// the pass would then wait in its next read with the chunks it has.
bool oam_node_more_ready(int fd)
{
    pollfd pfd = {fd, POLLIN, 0};
    return poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLIN) != 0;
}

// Each read is one chunk from the node and becomes exactly one record: the
// data lands at offset 18 so the header goes in front of it without a copy.
// A pass reads one chunk, waiting for it, then whatever the node has ready
// behind it; all of it is stored before the next wait.
void oam_node_recv_loop(oam_node_core which)
{
    const oam_node_recv_core &core = *OAM_NODE_RECV[which];
    std::unique_ptr<oam_node_bufs> bufs(new (std::nothrow) oam_node_bufs());
    if (bufs == nullptr) {
        OAM_ERR("[%s:%d]node record buffers malloc failed!\n\n");
        return;
    }
    bufs->work = which == OAM_NODE_BFG ? g_st_global.bfg_puc_buf : g_st_global.me_puc_buf;
    oam_log_batch &taken = bufs->taken;
    unsigned fail_count = 0;
    const auto beat = static_cast<oam_beat_thread>(OAM_BEAT_BFG + static_cast<int>(which));
    while (oam_flag_load(*core.stop) != 1) {
        bool failed = false;
        do {
            uint8_t *rec = taken.count == 0 && bufs->work != nullptr ? bufs->work : bufs->rec[taken.count];
            oam_beat(beat);
            ssize_t len = read(*core.fd, rec + OAM_RECORD_HDR_LEN, OAM_RECORD_DATA_MAX);
            oam_beat(beat);
            failed = oam_node_take_chunk(&taken, rec, len) != 0;
        } while (!failed && taken.count < OAM_NODE_BATCH && oam_flag_load(*core.stop) != 1 &&
                 oam_node_more_ready(*core.fd));
        if (taken.count > 0) {
            fail_count = 0;
            oam_node_pass_done(which, &taken);
        }
        if (failed) {
            // A node that keeps failing must not spin a core; the wait is
            // cut short by a stop request.
            oam_read_backoff(&fail_count);
        }
    }
}

}  // namespace

int oam_node_take_chunk(oam_log_batch *batch, uint8_t *rec, ssize_t len)
{
    if (batch == nullptr || rec == nullptr || len <= 0 || len > OAM_RECORD_DATA_MAX ||
        batch->count >= OAM_LOG_BATCH_MAX) {
        return -1;
    }
    batch->rec[batch->count] = rec;
    batch->data_len[batch->count] = static_cast<uint32_t>(len);
    ++batch->count;
    return 0;
}

void oam_node_pass_done(oam_node_core which, oam_log_batch *batch)
{
    if (which != OAM_NODE_BFG && which != OAM_NODE_ME) {
        return;
    }
    const oam_node_recv_core &core = *OAM_NODE_RECV[which];
    oam_mirror_batch(batch, core.send_err_fmt);
    if (core.log->log_switch.value == 1) {
        (void)oam_log_store_batch(core.log, batch, core.write_err_fmt, core.second_write_err_fmt, nullptr);
    }
    batch->count = 0;
}

void *oam_bfg_recv_pthread(void *arg)
{
    (void)arg;
    OAM_INFO("[%s:%d]oam_bfg_recv_pthread\n\n");
    oam_node_recv_loop(OAM_NODE_BFG);
    OAM_INFO("[%s:%d]oam-bfg-recv-pthread is over \n\n");
    return nullptr;
}

void *oam_me_recv_pthread(void *arg)
{
    (void)arg;
    OAM_INFO("[%s:%d]oam_me_recv_pthread\n\n");
    oam_node_recv_loop(OAM_NODE_ME);
    OAM_INFO("[%s:%d]oam-me-recv-pthread is over \n\n");
    return nullptr;
}

void oam_bfgx_create_thread()
{
    if (g_wvt_mode != 0) {
        OAM_INFO("[%s:%d]open bt inode\n\n");
        g_st_global.bfg_fd = open(OAM_BT_NODE, O_RDWR);
    } else if (g_test_mode == 1) {
        // The tool's commands are written to the same node.
        g_st_global.bfg_fd = open(OAM_BFG_DBG_NODE, O_RDWR);
    } else {
        g_st_global.bfg_fd = open(OAM_BFG_DBG_NODE, O_RDONLY);
    }

    if (g_st_global.bfg_fd < 0) {
        char err_buf[64];
        OAM_ERR("[%s:%d]open bfg inode failed;errno:%s\n\n", strerror_r(errno, err_buf, sizeof(err_buf)));
    } else {
        // A handle left at 0 marks a thread that does not exist, so that
        // the stop sequence does not join it.
        const int ret = pthread_create(&g_bfg_recv_thread, nullptr, oam_bfg_recv_pthread, nullptr);
        if (ret != 0) {
            OAM_ERR("[%s:%d]bfg recv pthread create error,error:%d\n\n", ret);
            g_bfg_recv_thread = 0;
        }
    }
    oam_flag_store(g_st_global.bfg_thread_stop, 0);
}

void oam_me_create_thread()
{
    // Models up to zr4004 have no me core.
    if (oam_get_sub_chip_type() <= CHIP_ZR4004) {
        OAM_INFO("[%s:%d]zr400x ignore me thread create\n\n");
        return;
    }

    g_st_global.me_fd = open(OAM_ME_NODE, g_test_mode == 1 ? O_RDWR : O_RDONLY);
    if (g_st_global.me_fd < 0) {
        char err_buf[64];
        OAM_ERR("[%s:%d]open me inode failed;errno:%s\n\n", strerror_r(errno, err_buf, sizeof(err_buf)));
    } else {
        const int ret = pthread_create(&g_me_recv_thread, nullptr, oam_me_recv_pthread, nullptr);
        if (ret != 0) {
            OAM_ERR("[%s:%d]me recv pthread create error,error:%d\n\n", ret);
            g_me_recv_thread = 0;
        }
    }
    oam_flag_store(g_st_global.me_thread_stop, 0);
}
