// The daemon's shared state: one process-wide record, the mode flags, the
// worker thread handles and the dump-type table.  Every module reaches them
// by name; the locking rules are in the comments of the record.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <pthread.h>

#include "common/oam_record.h"

constexpr int OAM_BUF_LEN = 2048;          // each of the four work buffers
static_assert(OAM_BUF_LEN == OAM_RECORD_MAX_LEN, "a tool frame is bounded as a log record is");
constexpr int OAM_NLH_LEN = 2064;          // netlink send buffer: header + 2048
constexpr int OAM_VAR_NAME_LEN = 40;
constexpr int OAM_PATH_VALUE_LEN = 81;
constexpr int OAM_FILE_PATH_LEN = 121;

struct oam_log_int_cfg {
    char var_name[OAM_VAR_NAME_LEN];
    int32_t value;
    int32_t default_value;
    int32_t max_value;
};

struct oam_log_str_cfg {
    char var_name[OAM_VAR_NAME_LEN];
    char value[OAM_PATH_VALUE_LEN];
    const char *default_value;
};

struct oam_log_desc {
    FILE *fp;
    const char *name;
    oam_log_int_cfg log_switch;
    oam_log_int_cfg size;
    oam_log_int_cfg num;
    oam_log_str_cfg path;
    int32_t write_count;
    // Reset to 0 by oam_log_dir_init from any thread; use the oam_flag_*
    // helpers whenever it is touched after start-up.
    int32_t file_count;
    char file_path[OAM_FILE_PATH_LEN];
    // Bytes in the current file, taken when it is opened and counted as
    // records are appended, so that a record costs a single write.
    int64_t file_size;
    // What is at file 1 is no regular file: not opened, and tried again
    // only at the existence check.
    bool not_regular;
};

struct oam_global_stru {
    int32_t netlink_sock;
    int32_t vtl_server_sock;
    int32_t vtl_client_sock;
    int32_t vtl_connected;
    int32_t bfg_fd;
    int32_t me_fd;
    int32_t me_thread_stop;
    int32_t bfg_thread_stop;
    int32_t wifi_thread_stop;
    oam_log_desc st_wifi_log;
    oam_log_desc st_bfg_log;
    oam_log_desc st_me_log;
    // The work buffers, made at start-up and each used by one thread: the
    // main thread receives the tool's frames in uc_buf; each receiver
    // builds its first record of a pass in its own (puc_buf Wi-Fi,
    // bfg_puc_buf bfg, me_puc_buf me).
    uint8_t *uc_buf;
    uint8_t *puc_buf;
    uint8_t *nlh;
    uint8_t *bfg_puc_buf;
    uint8_t *me_puc_buf;
    pthread_mutex_t vtl_sock_mutex;
    pthread_mutex_t vtl_send_mutex;
};

extern oam_global_stru g_st_global;

extern int32_t g_test_mode;
extern int32_t g_wvt_mode;

extern pthread_t g_wifi_recv_thread;
extern pthread_t g_bfg_recv_thread;
extern pthread_t g_me_recv_thread;
extern pthread_t g_bfgx_memdump_thread;
extern pthread_t g_wifi_memdump_thread;
extern pthread_t g_me_memdump_thread;
extern pthread_t g_4060_memdump_thread;

constexpr int OAM_MEMDUMP_TYPE_NUM = 6;

struct memdump_type_info {
    uint32_t max_num;
    char name_prefix[50];
    char path[70];
};

extern memdump_type_info g_memdump_type_table[OAM_MEMDUMP_TYPE_NUM];

void oam_set_dumpfile_limit(uint32_t limit);

// The flags shared between threads stay plain 32-bit fields; these make each
// access atomic so that a stop request or a dropped tool connection is seen
// by the other threads without a lock.
inline int32_t oam_flag_load(int32_t &flag)
{
    return std::atomic_ref<int32_t>(flag).load(std::memory_order_acquire);
}

inline void oam_flag_store(int32_t &flag, int32_t value)
{
    std::atomic_ref<int32_t>(flag).store(value, std::memory_order_release);
}
