// Pieces of the dump capture, rotation and archive writer that only the unit
// tests reach directly.
#pragma once

#include <cstdint>
#include <ctime>
#include <sys/stat.h>
#include <zlib.h>

#include "memdump/memdump.h"

constexpr int TAR_BLOCK_SIZE = 512;
constexpr int TAR_NAME_MAX_LEN = 99;         // header name field holds 99 characters and a NUL
constexpr int TAR_ENTRY_NAME_MAX_LEN = 127;  // longer directory entries are not packed
constexpr int TAR_PREFIX_MAX_LEN = 128;
// An archive is written as <name>.tmp and renamed when whole; start-up
// removes one a stop or a cut left.
constexpr size_t TAR_ARCHIVE_NAME_MAX = 256;
constexpr char TAR_ARCHIVE_TMP_SUFFIX[] = ".tmp";
constexpr char TAR_ARCHIVE_TMP_END[] = ".tar.gz.tmp";

// Appends the data blocks of the entry that the scan found under file_name
// with status seen; its size is seen.st_size.
void tar_write_zip_content(gzFile gz_file, const char *file_name, const struct stat &seen);

// Status of one entry of the dump folder (relative to the working
// directory), links not followed: 1 read, 0 the entry is gone since the
// listing and is passed over, -1 the scan must end (the failure is printed).
int memdump_entry_lstat(const char *name, struct stat *st);
void tar_fill_header(uint8_t *block, const char *name, uint32_t size);

constexpr int FILE_ROTATE_NAME_LEN = 129;
constexpr int FILE_ROTATE_PATH_LIMIT = 128;
constexpr int UPDATE_TIME_STR_MIN_LEN = 30;

struct file_rotate_info {
    char name_prefix[FILE_ROTATE_NAME_LEN];
    char name_suffix[FILE_ROTATE_NAME_LEN];
    char path[FILE_ROTATE_NAME_LEN];
    uint32_t cur_num;
    uint32_t max_num;
    int32_t name_has_date;
};

void file_rotate_init_info(file_rotate_info *info, const char *path, const char *name_prefix,
                           const char *name_suffix, uint32_t max_num, int32_t name_has_date);
int file_rotate_check_num(file_rotate_info *info);
// The lowest archive number (0 for the newest) that no archive of the
// dated scheme holds, below max_num; max_num when all are taken.
uint32_t file_rotate_lowest_free(const file_rotate_info *info);
// Both suffix buffers hold FILE_ROTATE_NAME_LEN bytes; -1 when a suffix does
// not fit, and the renaming of that number is then left out.
int tar_file_rename_pre(const file_rotate_info *info, uint32_t index, char *old_suffix, char *new_suffix);
void tar_file_rename(const file_rotate_info *info, uint32_t index, const char *old_suffix,
                     const char *new_suffix);
int file_rotate_do_rotate(const file_rotate_info *info, uint32_t highest);

constexpr int MEMDUMP_READ_BUF_LEN = 1024;
constexpr int MEMDUMP_READ_RETRY_MAX = 300;
constexpr int32_t MEMDUMP_WHICH_NONE = 6;

// The file list, its length and the header width one capture thread uses.
struct memdump_list_choice {
    memdump_file_info *list;
    int count;
    int init_len;
};

memdump_list_choice memdump_choose_wifi_list(int32_t sub_chip_type);
memdump_list_choice memdump_choose_bfgx_list(int32_t sub_chip_type);
memdump_list_choice memdump_choose_me_list();

int memdump_wifi_rotate_main(memdump_file_info *list, int count, int init_len);
int memdump_bfgx_rotate_main(memdump_file_info *list, int count, int init_len);
int memdump_me_rotate_main(memdump_file_info *list, int count, int init_len);

// The context file of a dump: written under a temporary name of its dump
// type when the dump is reported, renamed after the archive once that is
// written, removed otherwise; it follows its archive through the rotation.
inline constexpr const char *MEMDUMP_CONTEXT_SECONDS_VAR = "dump_context_seconds";
inline constexpr const char *MEMDUMP_CONTEXT_MAX_KIB_VAR = "dump_context_max_kib";
inline constexpr const char *MEMDUMP_CONTEXT_ARCHIVE_SUFFIX = ".tar.gz";
constexpr int32_t MEMDUMP_CONTEXT_MAX_KIB_DEFAULT = 8192;
extern int32_t g_memdump_context_seconds;  // 0: no context kept
extern int32_t g_memdump_context_max_kib;  // the records of all cores together

int memdump_context_write(int which);
// The same for a report at now (wall clock).
int memdump_context_write_at(int which, const timespec &now);
void memdump_context_archived(int which, const char *archive_name, bool written);
// An archive renamed (archive_to null: removed) in the working directory.
void memdump_context_follow(const char *archive_from, const char *archive_to);
// Removes the contexts of name_prefix's dump type whose archive is gone;
// null: of every type, and every temporary one too.
void memdump_context_sweep(const char *name_prefix);
