// Numbered, size-limited log files of one core and the record format.
#pragma once

#include <cstdint>

#include "common/oam_global.h"

int oam_log_dir_init();
int oam_get_log_file(oam_log_desc *pst_log);
// At start-up, before file 1 is opened: removes the part of a record it may
// end in after the daemon was killed in the middle of a write.
void oam_log_trim_cut_record(const char *path);
int get_former_log_num(oam_log_desc *pst_log);
int check_file_size(oam_log_desc *pst_log);
int rename_old_file(oam_log_desc *pst_log);
void oam_recheck_log_file(oam_log_desc *pst_log);
void oam_get_sys_time(uint8_t *dest, uint32_t capacity, uint8_t mode);

// Builds the 18-byte header in front of the data already at offset 18 of
// buf (len data bytes) and stores the record on pst_log.  The two formats
// are the receiver's write-error messages; each takes the function name, the
// line and the system error text.
void oam_log_store_record(oam_log_desc *pst_log, uint8_t *buf, uint32_t data_len,
                          const char *write_err_fmt, const char *second_write_err_fmt);
