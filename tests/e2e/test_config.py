"""Start-up settings as the daemon takes them from the platform: the chip
model, the INI file and its customer override, and the log settings with
their limits, seen in the daemon's lines, files and driver traffic."""

from __future__ import annotations

import os
import stat
import time

import pytest

import oamsim
from startup_support import (ALL_LOGS_ON, connect_tool, messages, positions, records, wait_message, wait_records,
                             wait_started)

SUBCHIP_NODE = oamsim.platform.SUBCHIP_TYPE_NODE
NAME_NODE = oamsim.platform.SUBCHIP_NAME_NODE
WIFI_1 = "/vendor/log/wifi_log/wifi_log_1"
BFG_1 = "/vendor/log/bfg_log/bfg_log_1"
ME_1 = "/vendor/log/me_log/bfg_log_1"


def stop(oam):
    """SIGTERM, which joins the receivers: a chunk they had read is stored
    (or dropped) by the time the daemon is gone."""
    assert oam.terminate()
    assert oam.wait() == 0


# Chip model ------------------------------------------------------------------------

NOT_MATCH = "vexa sub_chiptype not match!!"

MODEL_CASES = {
    "zr4003": (dict(model="zr4003"), False, ["property_get,vexa subchip_name={zr4003}"]),
    "zr4005": (dict(model="zr4005"), True, ["property_get,vexa subchip_name={zr4005}"]),
    "zr4060": (dict(model="zr4060"), True, ["property_get,vexa subchip_name={zr4060}"]),
    "zr4070": (dict(model="zr4070"), True, ["property_get,vexa subchip_name={zr4070}"]),
    "unknown": (dict(model="zr4099"), True, ["property_get,vexa subchip_name={zr4099}", NOT_MATCH]),
    # a known name with more after it is not that model
    "longer-name": (dict(model="zr40021"), True, ["property_get,vexa subchip_name={zr40021}", NOT_MATCH]),
    "missing": (dict(model=None), True, [f"can't find the dev name {{{SUBCHIP_NODE}}}",
                                         f"can't find the dev name {{{NAME_NODE}}}",
                                         "read vexa sub_chiptype proc fail", "property_get,vexa subchip_name={}",
                                         NOT_MATCH]),
    "zr4001-by-name": (dict(model="zr4001", model_source="name"), False,
                       [f"can't find the dev name {{{SUBCHIP_NODE}}}", "property_get,vexa subchip_name={zr4001}"]),
}


@pytest.mark.parametrize("case", list(MODEL_CASES))
def test_chip_model_decides_the_me_side_and_the_extra_dump_thread(chip_factory, case):
    settings, has_me, identification = MODEL_CASES[case]
    chip = chip_factory(ini="[HOST_PLAT]\n" + ALL_LOGS_ON, **settings)
    oam = chip.start_daemon()
    wait_started(oam)
    is_4060 = case == "zr4060"
    # The dump threads start on their own time; zr4060 has a second Wi-Fi one.
    dump_thread = "memdump wifi rotate pthread create"
    first = wait_message(oam, dump_thread)
    if is_4060:
        wait_message(oam, dump_thread, start=first.end())
    chip.wait_event("ioctl", "qvwifiexcp")
    chip.wait_event("ioctl", "qvbfgexcp")
    if has_me:
        chip.wait_event("ioctl", "qvmeexcp")
    msgs = messages(oam)

    positions(msgs, identification)
    # Asked once, then served from the cache.
    assert sum(1 for m in msgs if m.startswith("property_get,")) == 1
    assert (NOT_MATCH in msgs) == (NOT_MATCH in identification)

    assert ("zr400x ignore me log param init" in msgs) == (not has_me)
    assert ("zr400x ignore me thread create" in msgs) == (not has_me)
    assert ("is user type, me device log set to 10240KB" in msgs) == has_me
    assert chip.exists(ME_1) == has_me
    assert chip.exists("/vendor/log/me_log")   # the directory is made whatever the chip
    assert bool(chip.events("open", "qvmeoam")) == has_me
    assert msgs.count("zr400x ignore thread create") == (0 if is_4060 else 1)
    assert msgs.count(dump_thread) == (2 if is_4060 else 1)
    if case == "zr4001-by-name":
        assert "zr4001 ignore bfgx cali" in msgs
        assert not chip.events("ioctl", "qvbfgdbg")
    stop(oam)
    assert bool(chip.events("open", "qvmeexcp")) == has_me


# Directories and files -------------------------------------------------------------------

def test_log_directories_and_files_are_created_with_their_modes(chip_factory):
    chip = chip_factory(model="zr4005", ini="[HOST_PLAT]\n" + ALL_LOGS_ON, memdump_dir=False)
    assert not chip.exists("/vendor/log")
    oam = chip.start_daemon()
    wait_started(oam)
    for path in ("/vendor/log", "/vendor/log/bfg_log", "/vendor/log/me_log", "/vendor/log/wifi_log"):
        mode = os.stat(chip.host_path(path)).st_mode
        assert stat.S_ISDIR(mode) and stat.S_IMODE(mode) == 0o775, (path, oct(mode))
    for path in (WIFI_1, BFG_1, ME_1):
        mode = os.stat(chip.host_path(path)).st_mode
        assert stat.S_ISREG(mode) and stat.S_IMODE(mode) == 0o664, (path, oct(mode))
    positions(messages(oam), ["dir /vendor/log/ not exist,create success!",
                              "dir /vendor/log/bfg_log/ not exist,create success!",
                              "dir /vendor/log/me_log/ not exist,create success!",
                              "dir /vendor/log/wifi_log/ not exist,create success!"])
    stop(oam)


def test_configured_directories_are_used_even_when_the_log_root_cannot_be_made(chip_factory):
    ini = ("[HOST_PLAT]\n" + ALL_LOGS_ON + "log_path_device_wifi=/data/vendor/oam/wifi/\n"
           "log_path_device_bfg=/data/vendor/oam/bfg/\nlog_path_device_me=/data/vendor/oam/me/\n")
    chip = chip_factory(model="zr4005", ini=ini, memdump_dir=False,
                        files={"/vendor/log": "a file where the log root belongs",
                               "/data/vendor/oam/wifi/wifi_log_old": "left by someone",
                               "/data/vendor/oam/bfg/keep": "", "/data/vendor/oam/me/keep": ""})
    # Its one-instance lock then lives only in the service manager's folder.
    chip.host_path("/run/oam").mkdir(parents=True)
    oam = chip.start_daemon()
    chip.wait_hello()
    chip.wait_open("qvmeoam")
    msgs = messages(oam)
    positions(msgs, ["lock /vendor/log/.oam.lock not opened, errno:Not a directory: /run/oam/oam.pid alone holds","Failed to create dir /vendor/log/,errno:File exists", "Failed to init log system error:-1",
                     "log_path_device_bfg=/data/vendor/oam/bfg/:", "bfg_log_ log num : 1",
                     "log_path_device_wifi=/data/vendor/oam/wifi/:", "wifi_log_ log num : 2",
                     "log_path_device_me=/data/vendor/oam/me/:", "bfg_log_ log num : 1"])

    chip.send_wifi_log(b"to the configured place")
    chip.send_chunk("qvbfgdbg", b"bfg here")
    chip.send_chunk("qvmeoam", b"me here")
    assert wait_records(chip, "/data/vendor/oam/wifi/wifi_log_1", 1) == [b"to the configured place"]
    assert wait_records(chip, "/data/vendor/oam/bfg/bfg_log_1", 1) == [b"bfg here"]
    assert wait_records(chip, "/data/vendor/oam/me/bfg_log_1", 1) == [b"me here"]
    assert chip.read_file("/vendor/log") == b"a file where the log root belongs"
    stop(oam)


# INI file ---------------------------------------------------------------------------------

def test_without_ini_file_logs_are_off_and_directories_default(chip_factory):
    chip = chip_factory(model="zr4005")
    assert not chip.exists(oamsim.platform.INI_PATH_NODE)
    oam = chip.start_daemon(args=["test"])
    wait_message(oam, "accept is start")
    msgs = messages(oam)
    positions(msgs, ["ini module init func",
                     f"open {oamsim.platform.INI_PATH_NODE} failed:No such file or directory",
                     "read file node failed, get_ini_file_path return null!"])
    for core, directory in (("bfg", "/vendor/log/bfg_log/"), ("wifi", "/vendor/log/wifi_log/"),
                            ("me", "/vendor/log/me_log/")):
        assert f"log_switch_device_{core}=0:" in msgs
        assert f"log_path_device_{core} not get set to default:{directory}:" in msgs
        assert f"log_path_device_{core}={directory}:" in msgs

    # Data still reaches the tool, but no record is written.
    tool = connect_tool(oam)
    try:
        chip.wait_open("qvmeoam")
        chip.send_wifi_log(b"wifi-data")
        chip.send_chunk("qvbfgdbg", b"bfg-data")
        chip.send_chunk("qvmeoam", b"me-data")
        tool.wait_for(lambda d: b"wifi-data" in d and b"bfg-data" in d and b"me-data" in d)
        stop(oam)
    finally:
        tool.close()
    for path in (WIFI_1, BFG_1, ME_1):
        assert chip.read_file(path) == b"", path


def test_customer_file_wins_key_by_key(chip_factory):
    ini = ("[HOST_PLAT]\nlog_switch_device_wifi=0\nlog_switch_device_bfg=1\nlog_num_device_wifi=7\n"
           "log_switch_device_me=1\nlog_size_device_me=300\nlog_sync_interval=0\n")
    # A value the reader rejects (leading blank) lets the published file answer.
    cust = ("[HOST_PLAT]\nlog_switch_device_wifi=1\nlog_switch_device_bfg= 0\nlog_size_device_me=200\n"
            "log_sync_interval=5\n")
    chip = chip_factory(model="zr4005", ini=ini, cust_ini=cust)
    oam = chip.start_daemon()
    wait_started(oam)
    msgs = messages(oam)
    for expected in ("log_switch_device_wifi=1:", "log_switch_device_bfg=1:", "log_num_device_wifi=7:",
                     "log_switch_device_me=1:", "log_size_device_me=200:", "log_size_device_wifi=0:",
                     "log files synced every 5 s"):
        assert expected in msgs, expected
    chip.send_wifi_log(b"switched on by the customer file")
    assert wait_records(chip, WIFI_1, 1) == [b"switched on by the customer file"]
    stop(oam)


# Log settings ------------------------------------------------------------------------------

def test_values_over_their_maximum_fall_back_to_defaults(chip_factory):
    ini = ("[HOST_PLAT]\nlog_switch_device_wifi=5\nlog_switch_device_bfg=-1\nlog_switch_device_me=1\n"
           "log_size_device_wifi=40000\nlog_size_device_bfg=40001\nlog_num_device_me=201\nlog_num_device_bfg=-4\n"
           "log_sync_interval=86401\n")
    chip = chip_factory(model="zr4005", ini=ini)
    oam = chip.start_daemon()
    wait_started(oam)
    msgs = messages(oam)
    positions(msgs, ["get ini var log_switch_device_bfg :-1:", "log_switch_device_bfg=-1:",
                     "get ini var log_size_device_bfg :40001:", "40001 is over 40000",
                     "log_size_device_bfg set log limit to 10 default", "log_size_device_bfg=10:",
                     "log_num_device_bfg=-4:", "is user type, bfg device log set to 10240KB",
                     "get ini var log_switch_device_wifi :5:", "5 is over 1",
                     "log_switch_device_wifi set log limit to 1 default", "log_switch_device_wifi=1:",
                     "log_size_device_wifi=40000:",
                     "201 is over 200", "log_num_device_me set log limit to 25 default", "log_num_device_me=25:"])
    # Out of range, the periodic sync keeps its default rather than going off.
    assert "40000 is over 40000" not in msgs and "log files synced every 2 s" in msgs

    # Wi-Fi was switched on by the fallback; bfg at -1 is off.
    chip.wait_open("qvmeoam")
    chip.send_wifi_log(b"on by default")
    chip.send_chunk("qvbfgdbg", b"never stored")
    chip.send_chunk("qvmeoam", b"me stored")
    assert wait_records(chip, WIFI_1, 1) == [b"on by default"]
    assert wait_records(chip, ME_1, 1) == [b"me stored"]
    chip.wait_consumed("qvbfgdbg")
    stop(oam)
    assert chip.read_file(BFG_1) == b""


def test_most_negative_file_counts_rotate_nothing_at_start(chip_factory):
    """No size key (size 0) makes every non-empty file 1 over the limit at
    the opening; a count limit the scanner saturates to the most negative
    int means nothing to move, not 2^31 renames."""
    counts = {"wifi": "-2147483648", "bfg": "-9999999999", "me": "0x80000000"}
    ini = "[HOST_PLAT]\n" + ALL_LOGS_ON + "".join(f"log_num_device_{c}={v}\n" for c, v in counts.items())
    paths = {"wifi": WIFI_1, "bfg": BFG_1, "me": ME_1}
    chip = chip_factory(model="zr4005", ini=ini, files={p: b"old" for p in paths.values()})
    oam = chip.start_daemon()
    wait_started(oam)
    msgs = messages(oam)
    for core, path in paths.items():
        positions(msgs, [f"log_num_device_{core}=-2147483648:", f"{path} log file beyond size=0Byte, creat new file",
                         "rename_old_file"])
    assert "rename ret < 0" not in msgs
    stop(oam)
    for path in paths.values():
        assert chip.read_file(path) == b"old" and not chip.exists(path[:-1] + "2")


def test_user_build_limits_replace_the_ini_size_after_the_open(chip_factory):
    old = bytes(2000)
    chip = chip_factory(model="zr4005", ini="[HOST_PLAT]\nlog_switch_device_wifi=1\nlog_size_device_wifi=1\n",
                        files={WIFI_1: old})
    oam = chip.start_daemon()
    wait_started(oam)
    msgs = messages(oam)
    # The opening checks the INI size (1 KB): the over-size file 1 is
    # reopened, with nothing to rename yet since the files are counted later.
    positions(msgs, ["log_size_device_wifi=1:",
                     f"{WIFI_1} log file beyond size=1024Byte, creat new file", "rename_old_file",
                     "wifi_log_ log num : 1", "is user type", "is user type, wifi device log set to 10240KB"])
    positions(msgs, ["is user type, bfg device log set to 10240KB", "is user type, wifi device log set to 10240KB",
                     "is user type, me device log set to 10240KB", "is user type", "is user type,dumpfile limit:10"])
    assert chip.listdir("/vendor/log/wifi_log") == ["wifi_log_1"]

    # From then on the user-build size is in force: a record does not rotate.
    chip.send_wifi_log(b"appended")
    deadline = time.monotonic() + 5
    while len(chip.read_file(WIFI_1)) < len(old) + 18 + 8 and not chip.exists(WIFI_1[:-1] + "2"):
        assert time.monotonic() < deadline, "record not stored"
        time.sleep(0.01)
    stop(oam)
    assert chip.listdir("/vendor/log/wifi_log") == ["wifi_log_1"]
    data = chip.read_file(WIFI_1)
    assert data[:len(old)] == old and records(data[len(old):]) == [b"appended"]
    assert sum(1 for m in messages(oam) if "log file beyond size" in m) == 1
