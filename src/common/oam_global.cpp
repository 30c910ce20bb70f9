#include "common/oam_global.h"

oam_global_stru g_st_global;

int32_t g_test_mode;
int32_t g_wvt_mode;

pthread_t g_wifi_recv_thread;
pthread_t g_bfg_recv_thread;
pthread_t g_me_recv_thread;
pthread_t g_bfgx_memdump_thread;
pthread_t g_wifi_memdump_thread;
pthread_t g_me_memdump_thread;
pthread_t g_4060_memdump_thread;

memdump_type_info g_memdump_type_table[OAM_MEMDUMP_TYPE_NUM] = {
    {10, "readm_wifi_sdio", "/vendor/log/memdump"},
    {10, "readm_wifi_uart", "/vendor/log/memdump"},
    {10, "readm_bfgx_uart", "/vendor/log/memdump"},
    {10, "readm_bfgx_sdio", "/vendor/log/memdump"},
    {10, "readm_me_uart", "/vendor/log/memdump"},
    {10, "readm_me_sdio", "/vendor/log/memdump"},
};

void oam_set_dumpfile_limit(uint32_t limit)
{
    for (auto &type : g_memdump_type_table) {
        type.max_num = limit;
    }
}
