// Numbered, size-limited log files of one core and the record format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/uio.h>

#include "common/oam_global.h"

int oam_log_dir_init();
int oam_get_log_file(oam_log_desc *pst_log);
// At start-up, before file 1 is opened: removes the part of a record it may
// end in after the daemon was killed in the middle of a write, journalled
// as one record lost.
void oam_log_trim_cut_record(const oam_log_desc *pst_log);
int get_former_log_num(oam_log_desc *pst_log);
int check_file_size(oam_log_desc *pst_log);
int rename_old_file(oam_log_desc *pst_log);
void oam_recheck_log_file(oam_log_desc *pst_log);
void oam_get_sys_time(uint8_t *dest, uint32_t capacity, uint8_t mode);

// The most records one receive batch hands to the store.
constexpr uint32_t OAM_LOG_BATCH_MAX = 64;

// The records of one receive batch, in the order they arrived, each built in
// place in a buffer of its own: data_len[i] data bytes at offset 18 of
// rec[i], the 18-byte header in front of them filled in by the store.
struct oam_log_batch {
    uint32_t count;
    uint8_t *rec[OAM_LOG_BATCH_MAX];
    uint32_t data_len[OAM_LOG_BATCH_MAX];
};

// After a writev or sendmsg of iov[*cur, n) took `done` bytes: the chunks
// it took whole are passed (*cur moves on), the one it took in part is
// left with its rest, *part counting the bytes of it that went.
inline void oam_iov_advance(iovec *iov, uint32_t n, uint32_t *cur, size_t *part, size_t done)
{
    while (*cur < n && (done > 0 || iov[*cur].iov_len == 0)) {
        const size_t take = done < iov[*cur].iov_len ? done : iov[*cur].iov_len;
        iov[*cur].iov_base = static_cast<uint8_t *>(iov[*cur].iov_base) + take;
        iov[*cur].iov_len -= take;
        *part += take;
        done -= take;
        if (iov[*cur].iov_len == 0) {
            ++*cur;
            *part = 0;
        }
    }
}

// The records of a batch that were not stored, by cause.
struct oam_store_loss {
    uint32_t write_failed;  // the write failed, and again after its repair
    uint32_t not_open;      // file 1 could not be opened
    uint32_t too_long;      // more data than a record holds
};

// Stores the records of a batch on pst_log, in order, with as few writes as
// the size limit and the existence check allow; each record is in the file
// before this returns.  Returns the count stored and adds those not stored
// to *loss (may be null).  The two formats are the receiver's write-error
// messages; each takes the function name, the line and the system error text.
uint32_t oam_log_store_batch(oam_log_desc *pst_log, oam_log_batch *batch, const char *write_err_fmt,
                             const char *second_write_err_fmt, oam_store_loss *loss);
// The same for one record: data_len data bytes at offset 18 of buf.
void oam_log_store_record(oam_log_desc *pst_log, uint8_t *buf, uint32_t data_len,
                          const char *write_err_fmt, const char *second_write_err_fmt);
