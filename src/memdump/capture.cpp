// Crash dump capture: one thread per exception node waits for the driver to
// report a dump, reads its memory regions into fixed files and has them
// archived.  The regions and the width of their length headers differ by
// chip model, hence one file list per model.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <cstring>
#include <mutex>

#include "common/oam_global.h"
#include "common/oam_journal.h"
#include "common/oam_print.h"
#include "memdump/memdump.h"
#include "memdump/memdump_internal.h"
#include "platform/oam_chip.h"
#include "common/oam_driver.h"
#include "support/bounded.h"

namespace {

constexpr int MEMDUMP_HDR_LEN_16 = 2;
constexpr int MEMDUMP_HDR_LEN_32 = 4;
constexpr unsigned int MEMDUMP_WAIT_RETRY_SEC = 5;
constexpr unsigned int MEMDUMP_OPEN_RETRY_SEC = 30;
constexpr useconds_t MEMDUMP_READ_RETRY_USEC = 1000;

// The dump directory is made by the platform with the rights its log
// collector needs; the daemon only writes into it.
memdump_file_info g_wifi_4001_files[] = {
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_panic_mem.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_tcm_l2ram.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_pkt_mem.bin", 0},
};
memdump_file_info g_wifi_4002_files[] = {
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_panic_mem.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_itcm_ram.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_dtcm_ram.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_pkt_mem.bin", 0},
};
memdump_file_info g_wifi_4003_files[] = {
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_panic_mem.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_code_ram.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_dtcm_ram.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_pkt_mem.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_itcm_ram.bin", 0},
};
memdump_file_info g_wifi_4004_files[] = {
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_panic_mem.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_itcm_ram.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_dtcm_ram.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_pkt_mem.bin", 0},
};
memdump_file_info g_wifi_4060_files[] = {
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_panic_mem.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_pkt_b_men.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_pkt_h_men.bin", 0},
};
memdump_file_info g_wifi_other_files[] = {
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_itcm_ram.bin", 0},
    {"/vendor/log/memdump/readm_wifi_sdio_wifi_device_pkt_mem.bin", 0},
};
memdump_file_info g_bfgx_4001_files[] = {
    {"/vendor/log/memdump/readm_bfgx_uart_plat_nfc_stack.bin", 0},
    {"/vendor/log/memdump/readm_bfgx_uart_fgb_stack.bin", 0},
    {"/vendor/log/memdump/readm_bfgx_uart_bt_extra_mem.bin", 0},
};
memdump_file_info g_bfgx_other_files[] = {
    {"/vendor/log/memdump/readm_bfgx_uart_bcpu_itcm_mem.bin", 0},
    {"/vendor/log/memdump/readm_bfgx_uart_bcpu_dtcm_mem.bin", 0},
};
memdump_file_info g_me_files[] = {
    {"/vendor/log/memdump/readm_me_uart_gcpu_itcm_mem.bin", 0},
    {"/vendor/log/memdump/readm_me_uart_gcpu_dtcm_mem.bin", 0},
};

// On the zr4060 two Wi-Fi capture threads are started for the one Wi-Fi
// node and the one Wi-Fi file list.  Both reading the node would split one
// dump's regions between them, and both writing the same files and
// archives would mix two dumps.  The Wi-Fi watch loop therefore holds this
// lock from before it opens the node until it returns: the second thread
// stands by and takes over only when the first one's node fails to open.
std::mutex g_memdump_wifi_list_mutex;

template <size_t N>
memdump_list_choice memdump_choice(memdump_file_info (&list)[N], int init_len)
{
    return {list, static_cast<int>(N), init_len};
}

struct memdump_file_closer {
    void operator()(FILE *fp) const { fclose(fp); }
};
using memdump_file_ptr = std::unique_ptr<FILE, memdump_file_closer>;

uint32_t memdump_region_len(const uint8_t *header, int init_len)
{
    if (init_len == MEMDUMP_HDR_LEN_16) {
        uint16_t len16 = 0;
        int ret = memcpy_s(&len16, sizeof(len16), header, sizeof(len16));
        if (ret != EOK) {
            OAM_ERR("[%s:%d]memcpy_s failed ret=%d\n", ret);
        }
        return len16;
    }
    uint32_t len32 = 0;
    int ret = memcpy_s(&len32, sizeof(len32), header, sizeof(len32));
    if (ret != EOK) {
        OAM_ERR("[%s:%d]memcpy_s failed ret=%d\n", ret);
    }
    return len32;
}

// The names are fixed and known in advance: a link planted under one of
// them would have the daemon truncate and fill whatever it points to.  A
// link is never archived either, so it is refused here as well.
FILE *memdump_open_region_file(const char *path)
{
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    FILE *fp = fdopen(fd, "w+");
    if (fp == nullptr) {
        (void)close(fd);
    }
    return fp;
}

// The type of the dump each core's thread is saving, null between dumps:
// whoever takes it journals the dump's outcome, the thread or the stop.
std::atomic<const char *> g_memdump_under_way[OAM_J_CORES];

// A type none of the region files is named for could never be archived.
bool memdump_has_region_file(const memdump_file_info *list, int count, const char *type)
{
    for (int i = 0; i < count; ++i) {
        const char *slash = strrchr(list[i].path, '/');
        const char *name = slash != nullptr ? slash + 1 : list[i].path;
        if (strncmp(name, type, strlen(type)) == 0) {
            return true;
        }
    }
    return false;
}

int memdump_watch_node(oam_jcore core, const char *node, unsigned long request, memdump_file_info *list, int count,
                       int init_len)
{
    int fd = open(node, O_RDWR);
    if (fd < 0) {
        OAM_ERR("[%s:%d]open file %s error:%d\n\n", node, fd);
        return -1;
    }
    // Kept across dumps: the driver overwrites it on every successful wait.
    int32_t which = MEMDUMP_WHICH_NONE;
    for (;;) {
        while (ioctl(fd, request, &which) < 0) {
            sleep(MEMDUMP_WAIT_RETRY_SEC);
        }
        // The logs that led up to the crash are put on storage first: a
        // device that resets after the dump still has them.
        const char *type = which >= 0 && which < OAM_MEMDUMP_TYPE_NUM ? g_memdump_type_table[which].name_prefix
                                                                      : "unknown";
        // Losses held until now happened before the dump.
        oam_journal_flush();
        oam_journal_event(core, "dump-reported", "%s", type);
        g_memdump_under_way[core].store(type);
        oam_sync_logs();
        // Copied now, before the seconds that led to the dump rotate away
        // while it is saved; capture goes on meanwhile.
        (void)memdump_context_write(which);
        // Read off the node in any case, so that the next dump starts clean.
        const bool saved = memdump_file_save(fd, node, list, count, init_len) == 0;
        if (g_memdump_under_way[core].exchange(nullptr) == nullptr) {
            memdump_context_archived(which, nullptr, false);
            continue;  // the stop came first and journalled it
        }
        if (!saved) {
            oam_journal_event(core, "dump-failed", "%s", type);
            memdump_context_archived(which, nullptr, false);
            continue;
        }
        // Such a type is still archived (with no member), as it always was.
        if (memdump_has_region_file(list, count, type)) {
            oam_journal_event(core, "dump-saved", "%s", type);
        } else {
            oam_journal_event(core, "dump-failed", "%s: no region file", type);
        }
        (void)memdump_file_rotate(which);
        // A rotation that made no archive leaves no context either.
        memdump_context_archived(which, nullptr, false);
    }
}

}  // namespace

void memdump_journal_abandoned()
{
    for (int core = 0; core < OAM_J_CORES; ++core) {
        const char *type = g_memdump_under_way[core].exchange(nullptr);
        if (type != nullptr) {
            oam_journal_event(static_cast<oam_jcore>(core), "dump-abandoned", "%s at stop", type);
        }
    }
}

memdump_list_choice memdump_choose_wifi_list(int32_t sub_chip_type)
{
    switch (sub_chip_type) {
        case CHIP_ZR4001:
            return memdump_choice(g_wifi_4001_files, MEMDUMP_HDR_LEN_32);
        case CHIP_ZR4002:
            return memdump_choice(g_wifi_4002_files, MEMDUMP_HDR_LEN_32);
        case CHIP_ZR4003:
            return memdump_choice(g_wifi_4003_files, MEMDUMP_HDR_LEN_32);
        case CHIP_ZR4004:
            return memdump_choice(g_wifi_4004_files, MEMDUMP_HDR_LEN_32);
        case CHIP_ZR4060:
            return memdump_choice(g_wifi_4060_files, MEMDUMP_HDR_LEN_32);
        default:
            return memdump_choice(g_wifi_other_files, MEMDUMP_HDR_LEN_32);
    }
}

memdump_list_choice memdump_choose_bfgx_list(int32_t sub_chip_type)
{
    if (sub_chip_type == CHIP_ZR4001) {
        return memdump_choice(g_bfgx_4001_files, MEMDUMP_HDR_LEN_16);
    }
    return memdump_choice(g_bfgx_other_files, MEMDUMP_HDR_LEN_32);
}

memdump_list_choice memdump_choose_me_list()
{
    return memdump_choice(g_me_files, MEMDUMP_HDR_LEN_32);
}

int memdump_file_save(int fd, const char *dev_path, memdump_file_info *list, int count, int init_len)
{
    if (init_len != MEMDUMP_HDR_LEN_16 && init_len != MEMDUMP_HDR_LEN_32) {
        OAM_ERR("[%s:%d]init len error:%d\n\n", init_len);
        return -1;
    }
    if (list == nullptr && count > 0) {
        OAM_ERR("[%s:%d]param is null\n\n");
        return -1;
    }

    // Counted over the whole dump: a driver that stops delivering ends the
    // save after about 300 ms instead of holding the thread.
    int retry = 0;
    uint8_t buf[MEMDUMP_READ_BUF_LEN];
    for (int i = 0; i < count; i++) {
        memdump_file_info *entry = &list[i];
        memdump_file_ptr fp(memdump_open_region_file(entry->path));
        if (fp == nullptr) {
            OAM_ERR("[%s:%d]open file %s error\n\n", entry->path);
            return -1;
        }

        // A header may come in more than one read; it is gathered at the
        // start of buf before the region length is taken from it.
        bool header_pending = true;
        int header_got = 0;
        uint32_t remaining = static_cast<uint32_t>(init_len);
        while (remaining > 0) {
            size_t ask;
            uint8_t *dest;
            if (header_pending) {
                ask = static_cast<size_t>(init_len - header_got);
                dest = buf + header_got;
            } else {
                ask = std::min<size_t>(remaining, sizeof(buf));
                dest = buf;
            }
            ssize_t ret = read(fd, dest, ask);
            if (ret <= 0) {
                usleep(MEMDUMP_READ_RETRY_USEC);
                retry++;
                if (retry > MEMDUMP_READ_RETRY_MAX) {
                    fp.reset();
                    OAM_ERR("[%s:%d]read retry max time:%d,dev:%s,fd:%d,len:%d\n\n", MEMDUMP_READ_RETRY_MAX,
                              dev_path, fd, static_cast<int>(ret));
                    return -1;
                }
                continue;
            }
            retry = 0;
            if (header_pending) {
                header_got += static_cast<int>(ret);
                if (header_got < init_len) {
                    continue;
                }
                remaining = memdump_region_len(buf, init_len);
                OAM_DEBUG("[%s:%d][read] data:%d\n\n", static_cast<int>(remaining));
                entry->len = remaining;
                OAM_DEBUG("[%s:%d]>>>>>>>>>>>>[read total len]:%d,file:%s\n\n", static_cast<int>(remaining),
                          entry->path);
                header_pending = false;
                continue;
            }
            // Write errors are not retried: the region must still be read
            // off the node so that the next region starts at its header.
            (void)fwrite(buf, 1, static_cast<size_t>(ret), fp.get());
            remaining -= static_cast<uint32_t>(ret);
        }
        fp.reset();
        OAM_DEBUG("[%s:%d]>>>>>>>>>>>>file:%s len:%d save ok\n\n", entry->path, static_cast<int>(entry->len));
    }
    return 0;
}

int memdump_wifi_rotate_main(memdump_file_info *list, int count, int init_len)
{
    if (list == nullptr) {
        OAM_ERR("[%s:%d]param is null\n\n");
        return -1;
    }
    std::lock_guard<std::mutex> hold(g_memdump_wifi_list_mutex);
    return memdump_watch_node(OAM_J_WIFI, OAM_WIFI_EXCP_NODE, MEMDUMP_WIFI_IOCTL, list, count, init_len);
}

int memdump_bfgx_rotate_main(memdump_file_info *list, int count, int init_len)
{
    if (list == nullptr) {
        OAM_ERR("[%s:%d]param is null\n\n");
        return -1;
    }
    return memdump_watch_node(OAM_J_BFG, OAM_BFGX_EXCP_NODE, MEMDUMP_BFGX_IOCTL, list, count, init_len);
}

int memdump_me_rotate_main(memdump_file_info *list, int count, int init_len)
{
    if (list == nullptr) {
        OAM_ERR("[%s:%d]param is null\n\n");
        return -1;
    }
    return memdump_watch_node(OAM_J_ME, OAM_ME_EXCP_NODE, MEMDUMP_ME_IOCTL, list, count, init_len);
}

void *memdump_wifi_rotate_pthread(void *arg)
{
    (void)arg;
    OAM_INFO("[%s:%d]memdump wifi rotate pthread create\n\n");
    int32_t sub_chip_type = oam_get_sub_chip_type();
    memdump_list_choice choice = memdump_choose_wifi_list(sub_chip_type);
    OAM_INFO("[%s:%d]get sub_chiptype %d, choose len:%d\n", sub_chip_type, MEMDUMP_HDR_LEN_32);
    for (;;) {
        (void)memdump_wifi_rotate_main(choice.list, choice.count, choice.init_len);
        sleep(MEMDUMP_OPEN_RETRY_SEC);
    }
}

void *memdump_bfgx_rotate_pthread(void *arg)
{
    (void)arg;
    OAM_INFO("[%s:%d]memdump bfgx rotate pthread create\n\n");
    int32_t sub_chip_type = oam_get_sub_chip_type();
    memdump_list_choice choice = memdump_choose_bfgx_list(sub_chip_type);
    OAM_INFO("[%s:%d]get sub_chiptype %d, choose len:%d\n", sub_chip_type, choice.init_len);
    for (;;) {
        (void)memdump_bfgx_rotate_main(choice.list, choice.count, choice.init_len);
        sleep(MEMDUMP_OPEN_RETRY_SEC);
    }
}

void *memdump_me_rotate_pthread(void *arg)
{
    (void)arg;
    OAM_INFO("[%s:%d]memdump me rotate pthread create\n\n");
    int32_t sub_chip_type = oam_get_sub_chip_type();
    memdump_list_choice choice = memdump_choose_me_list();
    OAM_INFO("[%s:%d]get sub_chiptype %d, choose len:%d\n", sub_chip_type, MEMDUMP_HDR_LEN_32);
    for (;;) {
        (void)memdump_me_rotate_main(choice.list, choice.count, choice.init_len);
        sleep(MEMDUMP_OPEN_RETRY_SEC);
    }
}
