// Netlink channel to the Wi-Fi driver.
#pragma once

#include <cstdint>

constexpr int OAM_CMD_WORK_LEN = 512;   // daemon commands are built in this area

struct oam_cmd_hdr {
    uint32_t type;   // 0 hello, 1 tool command
    uint32_t len;    // data bytes that follow
};

int oam_netlink_create();
void oam_vexa2kernel_hello();
int oam_netlink_send(const uint8_t *payload, uint32_t len);
