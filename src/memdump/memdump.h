// Crash dump capture, rotation and archiving.
#pragma once

#include <cstdint>

// Thread entries; the argument is ignored and they never return.  The Wi-Fi
// entry may run on two threads (zr4060): only one of them watches the node
// at a time, the other stands by.
void *memdump_wifi_rotate_pthread(void *arg);
void *memdump_bfgx_rotate_pthread(void *arg);
void *memdump_me_rotate_pthread(void *arg);

// At the stop: journals every dump still being saved as abandoned.
void memdump_journal_abandoned();

// The context kept with each dump (dump_context_seconds, off by default):
// reads its settings and removes what no archive goes with; at start-up,
// before the dump threads.
void memdump_context_init();

struct memdump_file_info {
    const char *path;
    uint32_t len;
};

// Reads one dump, region by region, from an open exception node into the
// files of list; 0 when every file was saved.
int memdump_file_save(int fd, const char *dev_path, memdump_file_info *list, int count, int init_len);
// Renumbers the archives of dump type which (0 to 5) and packs its dump
// files into a new dated archive; leaves the working directory there.
int memdump_file_rotate(int which);
int file_rotate(const char *path, const char *name_prefix, const char *name_suffix, uint32_t max_num,
                int32_t name_has_date);
int update_time_str(char *out_time_str, uint32_t len);
int file_do_rename(const char *from, const char *to);
int tar_same_name_format_files(const char *dir_path, const char *name_prefix, const char *pattern,
                               const char *output_name);
