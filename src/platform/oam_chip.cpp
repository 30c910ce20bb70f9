#include "platform/oam_chip.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "common/oam_global.h"
#include "common/oam_print.h"
#include "platform/oam_chip_internal.h"
#include "common/oam_driver.h"

const oam_chip_info g_chip_table[OAM_CHIP_NUM] = {
    {CHIP_ZR4001, "zr4001"}, {CHIP_ZR4002, "zr4002"}, {CHIP_ZR4003, "zr4003"},
    {CHIP_ZR4004, "zr4004"}, {CHIP_ZR4005, "zr4005"}, {CHIP_ZR4060, "zr4060"},
    {CHIP_ZR4070, "zr4070"},
};

int32_t g_sub_chip_type = CHIP_UNKNOWN;
int32_t g_sub_chip_type_known = 0;

namespace {

constexpr size_t OAM_CHIP_NAME_CMP_LEN = 128;

struct oam_node_fd {
    int fd;
    ~oam_node_fd()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
};

}  // namespace

// Unlike the rest of the daemon, the node reader and the model query print
// bare lines without the "[function:line]" prefix; "read %s error" even lacks
// its line end.  Anything that scans the daemon's output for them expects
// them in exactly this form.
int oam_read_node_value(const char *path, char *buf)
{
    if (path == nullptr || buf == nullptr) {
        return -1;
    }
    oam_node_fd node{open(path, O_RDONLY | O_CLOEXEC)};
    if (node.fd < 0) {
        oam_printf(OAM_LEVEL_ERR, "can't find the dev name {%s}\n", path);
        return -1;
    }
    // One byte short of the caller's zeroed buffer, so that whatever the node
    // holds the text stays terminated.
    ssize_t got = read(node.fd, buf, OAM_NODE_BUF_LEN - 1);
    if (got <= 0) {
        oam_printf(OAM_LEVEL_ERR, "read %s error", path);
        return -1;
    }
    return 0;
}

int32_t oam_chip_id_by_name(const char *name)
{
    for (const auto &chip : g_chip_table) {
        if (std::strncmp(name, chip.name, OAM_CHIP_NAME_CMP_LEN) == 0) {
            return chip.id;
        }
    }
    return CHIP_UNKNOWN;
}

// The first call happens on the main thread before any worker exists; the
// release store of the flag publishes the cached value to later readers.
int32_t oam_get_sub_chip_type()
{
    if (oam_flag_load(g_sub_chip_type_known) == 1) {
        return g_sub_chip_type;
    }

    char buf[OAM_NODE_BUF_LEN] = {};
    if (oam_read_node_value(OAM_SUBCHIP_TYPE_NODE, buf) != 0 &&
        oam_read_node_value(OAM_SUBCHIP_NAME_NODE, buf) != 0) {
        oam_printf(OAM_LEVEL_ERR, "read vexa sub_chiptype proc fail\n");
    }
    oam_printf(OAM_LEVEL_INFO, "property_get,vexa subchip_name={%s}\n", buf);

    int32_t id = oam_chip_id_by_name(buf);
    if (id == CHIP_UNKNOWN) {
        oam_printf(OAM_LEVEL_WARNING, "vexa sub_chiptype not match!!\n");
    }
    g_sub_chip_type = id;
    oam_flag_store(g_sub_chip_type_known, 1);
    return g_sub_chip_type;
}
