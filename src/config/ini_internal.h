// INI reader internals that the unit tests reach: the module state and the
// scan steps behind the public lookups.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <cstdio>

constexpr int INI_PATH_LEN = 128;
constexpr int INI_LINE_BUF_LEN = 193;   // one piece plus room to spare
constexpr int INI_READ_BUF_LEN = 192;   // fgets size: pieces of at most 191 characters
constexpr int INI_HEADER_LEN = 41;
constexpr int INI_INT_VALUE_LEN = 64;

extern char g_ini_file_path[INI_PATH_LEN];
extern int32_t g_ini_file_path_read;
extern char g_ini_cust_file_path[INI_PATH_LEN];
extern pthread_mutex_t g_ini_mutex;

void ini_module_init();
void ini_module_fini();

const char *get_ini_file_path();
void init_ini_file_path();
int ini_find_var_value(int tag, const char *puc_var, char *puc_value, uint32_t size);
int ini_find_var_value_by_path(const char *path, int tag, const char *puc_var, char *puc_value,
                               uint32_t size);

FILE *ini_file_open(const char *path);
void ini_file_close(FILE *file);
int ini_file_seek(FILE *file, long offset);
int ini_readline_func(FILE *file, char *line);
int ini_check_str(FILE *file, const char *line, uint32_t limit, const char *target);
int ini_find_modu(FILE *file, int tag);
int ini_find_var(FILE *file, const char *puc_var, char *puc_value, uint32_t size);
int ini_check_value(char *puc_value);
int ini_file_exist(const char *file_path);
