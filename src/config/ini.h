// INI file lookups: the published vendor file and the customer override.
#pragma once

#include <cstdint>

constexpr int INI_TAG_HOST_WIFI_NORMAL = 257;
constexpr int INI_TAG_HOST_GNSS_NORMAL = 258;
constexpr int INI_TAG_HOST_BT_NORMAL = 259;
constexpr int INI_TAG_HOST_FM_NORMAL = 260;
constexpr int INI_TAG_HOST_PLAT = 261;
constexpr int INI_TAG_HOST_VERSION = 262;
constexpr int INI_TAG_HOST_WIFI_MAC = 263;
constexpr int INI_TAG_HOST_COEXIST = 264;
constexpr int INI_TAG_DEVICE_WIFI = 265;
constexpr int INI_TAG_DEVICE_GNSS = 266;
constexpr int INI_TAG_DEVICE_BT = 267;
constexpr int INI_TAG_DEVICE_FM = 268;
constexpr int INI_TAG_DEVICE_BFG_PLAT = 269;
constexpr int INI_TAG_HOST_IR = 270;

int get_cust_conf_string(int tag, const char *name, char *value, uint32_t size);
int get_cust_conf_int32(int tag, const char *name, int32_t *out);
