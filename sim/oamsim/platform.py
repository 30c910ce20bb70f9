"""What the chip's drivers and platform publish: node names, request
numbers, model names and the per-model dump region lists.

These are the facts a test needs to drive the virtual chip and to check
what the daemon made of it; they mirror src/common/oam_driver.h.
"""

from __future__ import annotations

# Device nodes, by short name.  Each is served by the chip as a Unix
# SOCK_SEQPACKET socket bind-mounted onto /dev/<name> in the sandbox.
NODE_BFG_DBG = "qvbfgdbg"
NODE_BT = "qvbt"
NODE_ME = "qvmeoam"
NODE_WIFI_EXCP = "qvwifiexcp"
NODE_BFGX_EXCP = "qvbfgexcp"
NODE_ME_EXCP = "qvmeexcp"
ALL_NODES = (NODE_BFG_DBG, NODE_BT, NODE_ME, NODE_WIFI_EXCP, NODE_BFGX_EXCP, NODE_ME_EXCP)

# ioctl requests.
MEMDUMP_WIFI_IOCTL = 0x40047701
MEMDUMP_BFGX_IOCTL = 0x40046204
MEMDUMP_ME_IOCTL = 0x40046205
DFR_ENABLE_IOCTL = 0x40047A00
DFR_BEAT_TIMER_RESET_IOCTL = 0x40047A01
BFGX_CALI_IOCTL = 0x40047A66

# The dump-wait request of each exception node, and the node of each core.
DUMP_WAIT_REQUEST = {
    NODE_WIFI_EXCP: MEMDUMP_WIFI_IOCTL,
    NODE_BFGX_EXCP: MEMDUMP_BFGX_IOCTL,
    NODE_ME_EXCP: MEMDUMP_ME_IOCTL,
}
CORE_EXCP_NODE = {"wifi": NODE_WIFI_EXCP, "bfgx": NODE_BFGX_EXCP, "me": NODE_ME_EXCP}
EXCP_NODE_CORE = {v: k for k, v in CORE_EXCP_NODE.items()}

# Requests each node's driver understands; anything else gets ENOTTY.
NODE_REQUESTS = {
    NODE_BFG_DBG: (BFGX_CALI_IOCTL, DFR_ENABLE_IOCTL, DFR_BEAT_TIMER_RESET_IOCTL),
    NODE_BT: (BFGX_CALI_IOCTL, DFR_ENABLE_IOCTL, DFR_BEAT_TIMER_RESET_IOCTL),
    NODE_ME: (),
    NODE_WIFI_EXCP: (MEMDUMP_WIFI_IOCTL,),
    NODE_BFGX_EXCP: (MEMDUMP_BFGX_IOCTL,),
    NODE_ME_EXCP: (MEMDUMP_ME_IOCTL,),
}

NETLINK_PROTO = 28
NETLINK_USERSOCK = 2
VTL_PORT = 3333

# Fixed paths in the sandbox.
INI_PATH_NODE = "/sys/zr400x_ps/ini_file_name"
SUBCHIP_TYPE_NODE = "/proc/device-tree/zr400x/zr400x,subchip_type"
SUBCHIP_NAME_NODE = "/proc/device-tree/zr4001/name"
INI_CUST_FILE = "/data/vendor/cust_conn/ini_cfg"
DEFAULT_INI_PATH = "/vendor/etc/zr400x_cfg.ini"
LOG_ROOT_DIR = "/vendor/log"
MEMDUMP_DIR = "/vendor/log/memdump"

# Chip models: name -> sub-chip type.
CHIP_ZR4001, CHIP_ZR4002, CHIP_ZR4003, CHIP_ZR4004, CHIP_ZR4005 = 0, 1, 2, 3, 4
CHIP_ZR4060, CHIP_ZR4070, CHIP_UNKNOWN = 1000, 1001, 1002
MODELS = {
    "zr4001": CHIP_ZR4001,
    "zr4002": CHIP_ZR4002,
    "zr4003": CHIP_ZR4003,
    "zr4004": CHIP_ZR4004,
    "zr4005": CHIP_ZR4005,
    "zr4060": CHIP_ZR4060,
    "zr4070": CHIP_ZR4070,
}

# Dump types reported by a dump wait, with their file name prefix.
DUMP_TYPE_PREFIX = (
    "readm_wifi_sdio",
    "readm_wifi_uart",
    "readm_bfgx_uart",
    "readm_bfgx_sdio",
    "readm_me_uart",
    "readm_me_sdio",
)

_W = "readm_wifi_sdio_wifi_device_"
_WIFI_FILES = {
    CHIP_ZR4001: (_W + "panic_mem.bin", _W + "tcm_l2ram.bin", _W + "pkt_mem.bin"),
    CHIP_ZR4002: (_W + "panic_mem.bin", _W + "itcm_ram.bin", _W + "dtcm_ram.bin", _W + "pkt_mem.bin"),
    CHIP_ZR4003: (_W + "panic_mem.bin", _W + "code_ram.bin", _W + "dtcm_ram.bin", _W + "pkt_mem.bin",
                  _W + "itcm_ram.bin"),
    CHIP_ZR4004: (_W + "panic_mem.bin", _W + "itcm_ram.bin", _W + "dtcm_ram.bin", _W + "pkt_mem.bin"),
    CHIP_ZR4060: (_W + "panic_mem.bin", _W + "pkt_b_men.bin", _W + "pkt_h_men.bin"),
}
_WIFI_OTHER = (_W + "itcm_ram.bin", _W + "pkt_mem.bin")
_BFGX_ZR4001 = ("readm_bfgx_uart_plat_nfc_stack.bin", "readm_bfgx_uart_fgb_stack.bin",
                "readm_bfgx_uart_bt_extra_mem.bin")
_BFGX_OTHER = ("readm_bfgx_uart_bcpu_itcm_mem.bin", "readm_bfgx_uart_bcpu_dtcm_mem.bin")
_ME = ("readm_me_uart_gcpu_itcm_mem.bin", "readm_me_uart_gcpu_dtcm_mem.bin")


def node_name(node: str) -> str:
    """'/dev/qvbt' or 'qvbt' -> 'qvbt'."""
    name = node[len("/dev/"):] if node.startswith("/dev/") else node
    if name not in ALL_NODES:
        raise ValueError(f"unknown node {node!r}")
    return name


def subchip_type(model) -> int:
    """A model name ('zr4002'), a sub-chip type number, or None (unknown)."""
    if model is None:
        return CHIP_UNKNOWN
    if isinstance(model, int):
        return model
    return MODELS.get(model, CHIP_UNKNOWN)


def has_me_core(model) -> bool:
    return subchip_type(model) >= 4


def _core(core: str) -> str:
    """'wifi', 'bfgx', 'me' or one of their exception nodes -> the core."""
    if core in CORE_EXCP_NODE:
        return core
    name = node_name(core)
    if name not in EXCP_NODE_CORE:
        raise ValueError(f"{core!r} is not an exception node")
    return EXCP_NODE_CORE[name]


def dump_files(core: str, model) -> tuple[str, ...]:
    """Region file names, in reading order, of a dump of `core` ('wifi',
    'bfgx', 'me' or an exception node) on `model`."""
    core = _core(core)
    t = subchip_type(model)
    if core == "wifi":
        return _WIFI_FILES.get(t, _WIFI_OTHER)
    if core == "bfgx":
        return _BFGX_ZR4001 if t == CHIP_ZR4001 else _BFGX_OTHER
    return _ME


def dump_paths(core: str, model) -> tuple[str, ...]:
    """Sandbox paths of the region files (see dump_files)."""
    return tuple(f"{MEMDUMP_DIR}/{name}" for name in dump_files(core, model))


def dump_header_width(core: str, model) -> int:
    """Width in bytes of the length header in front of each region."""
    return 2 if _core(core) == "bfgx" and subchip_type(model) == CHIP_ZR4001 else 4
