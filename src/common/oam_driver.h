// Everything the daemon uses towards the chip's kernel drivers, in one place:
// published files, device nodes, ioctl requests and the netlink protocol.
#pragma once

#include <cstdint>
#include <string_view>

// Files published by the drivers and the platform.
inline constexpr const char *OAM_INI_PATH_NODE = "/sys/zr400x_ps/ini_file_name";
inline constexpr const char *OAM_SUBCHIP_TYPE_NODE = "/proc/device-tree/zr400x/zr400x,subchip_type";
inline constexpr const char *OAM_SUBCHIP_NAME_NODE = "/proc/device-tree/zr4001/name";
inline constexpr const char *OAM_INI_CUST_FILE = "/data/vendor/cust_conn/ini_cfg";

// Log nodes of the bfg and me cores.
inline constexpr const char *OAM_BFG_DBG_NODE = "/dev/qvbfgdbg";
inline constexpr const char *OAM_BT_NODE = "/dev/qvbt";
inline constexpr const char *OAM_ME_NODE = "/dev/qvmeoam";

// Exception nodes and their dump-wait requests (argument: pointer to int32).
inline constexpr const char *OAM_WIFI_EXCP_NODE = "/dev/qvwifiexcp";
inline constexpr const char *OAM_BFGX_EXCP_NODE = "/dev/qvbfgexcp";
inline constexpr const char *OAM_ME_EXCP_NODE = "/dev/qvmeexcp";
constexpr unsigned long MEMDUMP_WIFI_IOCTL = 0x40047701UL;
constexpr unsigned long MEMDUMP_BFGX_IOCTL = 0x40046204UL;
constexpr unsigned long MEMDUMP_ME_IOCTL = 0x40046205UL;

// Requests on the bfg node; the argument is passed by value.
constexpr unsigned long DFR_ENABLE_IOCTL = 0x40047A00UL;
constexpr unsigned long DFR_BEAT_TIMER_RESET_IOCTL = 0x40047A01UL;
constexpr unsigned long BFGX_CALI_IOCTL = 0x40047A66UL;

// The Wi-Fi driver's private netlink protocol.
constexpr int OAM_NETLINK_PROTO = 28;

// Log and dump directories.
inline constexpr const char *OAM_LOG_ROOT_DIR = "/vendor/log/";
inline constexpr const char *OAM_BFG_LOG_DIR = "/vendor/log/bfg_log/";
inline constexpr const char *OAM_ME_LOG_DIR = "/vendor/log/me_log/";
inline constexpr const char *OAM_WIFI_LOG_DIR = "/vendor/log/wifi_log/";
inline constexpr const char *OAM_MEMDUMP_DIR = "/vendor/log/memdump";

// The debug tool's TCP port (test mode only).
constexpr uint16_t OAM_VTL_PORT = 3333;
