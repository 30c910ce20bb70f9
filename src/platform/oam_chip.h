// Chip model identification from the device tree.
#pragma once

#include <cstdint>

constexpr int32_t CHIP_ZR4001 = 0;
constexpr int32_t CHIP_ZR4002 = 1;
constexpr int32_t CHIP_ZR4003 = 2;
constexpr int32_t CHIP_ZR4004 = 3;
constexpr int32_t CHIP_ZR4005 = 4;
constexpr int32_t CHIP_ZR4060 = 1000;
constexpr int32_t CHIP_ZR4070 = 1001;
constexpr int32_t CHIP_UNKNOWN = 1002;

constexpr int OAM_CHIP_NAME_LEN = 132;
constexpr int OAM_CHIP_NUM = 7;

struct oam_chip_info {
    int32_t id;
    char name[OAM_CHIP_NAME_LEN];
};

extern const oam_chip_info g_chip_table[OAM_CHIP_NUM];

int oam_read_node_value(const char *path, char *buf);
int32_t oam_get_sub_chip_type();
