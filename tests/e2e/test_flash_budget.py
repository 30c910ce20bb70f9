"""The flash the logs may take, end to end: free space kept on a small log
file system while one core floods, and rotated files compressed in the
background into zstd frames that give back exactly the bytes stored."""

from __future__ import annotations

import os
import re
import subprocess

import pytest

import oamsim
from startup_support import records, wait_started
from test_faults import wait_until
from test_wifi_logs import SIZE_LIMIT, filler, ini, settle

JOURNAL = "/vendor/log/oam_events"
WIFI_DIR = "/vendor/log/wifi_log/"
BFG_DIR = "/vendor/log/bfg_log/"
MIB = 1024 * 1024


def journal(chip) -> str:
    return chip.read_file(JOURNAL).decode()


def events(chip, core: str, event: str) -> list[str]:
    """The details of a core's events of one kind, in order."""
    return re.findall(rf"^\S+ \S+ {core} {event} (.*)$", journal(chip), re.M)


@pytest.mark.thread_heavy
@pytest.mark.chip(model="zr4002", log_tmpfs=8 * MIB,
                  ini=ini(log_switch_device_wifi=1, log_switch_device_bfg=1, log_keep_free=3))
def test_keep_free_takes_the_flooding_cores_oldest_files_and_leaves_the_others(chip):
    oam = chip.start_daemon()
    wait_started(oam)
    chip.wait_hello()
    # History of an earlier run: four full Wi-Fi files, one bfg file.  The
    # file system is then short of its 3 MiB free.
    for k in range(2, 6):
        chip.write_file(f"{WIFI_DIR}wifi_log_{k}", bytes(MIB))
    chip.write_file(BFG_DIR + "bfg_log_2", bytes(MIB))
    vfs = os.statvfs(chip.host_path("/vendor/log"))
    assert vfs.f_bavail * vfs.f_frsize < 3 * MIB

    count = 1500
    sent = chip.wifi_load(count, size=1024, blocking=True)
    assert sent["sent"] == count

    def free_kept():
        settle(chip, oam)  # a record stored: at most a second after the last check, one more runs
        chip.send_wifi_log(b"poke")
        vfs = os.statvfs(chip.host_path("/vendor/log"))
        return vfs.f_bavail * vfs.f_frsize >= 3 * MIB
    wait_until(free_kept, "3 MiB free", timeout=60)

    # Wi-Fi's oldest went, newest last; bfg, below its share, kept its file.
    removed = events(chip, "wifi", "removed")
    assert removed == [f"{WIFI_DIR}wifi_log_{k} {MIB} to keep 3 MiB free" for k in range(5, 5 - len(removed), -1)]
    assert 2 <= len(removed) <= 3, removed
    assert not events(chip, "bfg", "removed")
    assert chip.read_file(BFG_DIR + "bfg_log_2") == bytes(MIB)
    left = sorted(chip.listdir(WIFI_DIR))
    assert left == sorted(f"wifi_log_{k}" for k in range(1, 6 - len(removed)))
    # Nothing lost: the flood is whole in file 1.
    got = oamsim.check_stream(records(chip.read_file(WIFI_DIR + "wifi_log_1")), 0, 1024)
    assert (got.stored, got.gaps, got.clean) == (count, 0, True)
    assert all("malformed message" in e for e in events(chip, "wifi", "lost"))  # the barriers of settle only
    oam.terminate()
    assert oam.wait() == 0


OLD_LEN = SIZE_LIMIT - 2 * 19  # two one-byte records fill it exactly


def zstd(*args: str, data: bytes | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(["zstd", *args], input=data, capture_output=True, check=True)


def frame_facts(path) -> str:
    return zstd("-lv", str(path)).stdout.decode()


@pytest.mark.thread_heavy
@pytest.mark.chip(model="zr4002", files={
    WIFI_DIR + "wifi_log_1": filler(OLD_LEN),
    WIFI_DIR + "wifi_log_2": filler(5000)[:4000] + b"earlier run",
    WIFI_DIR + "wifi_log_3": b"cannot be compressed",
}, ini=ini(log_switch_device_wifi=1, log_size_device_wifi=1, log_compress="zstd", log_compress_level=3))
def test_rotated_files_become_zstd_frames_of_exactly_the_stored_bytes(chip):
    blocker = chip.host_path(WIFI_DIR + "wifi_log_3.zst.tmp")
    blocker.mkdir()  # where the compressed copy would be written
    old2 = chip.read_file(WIFI_DIR + "wifi_log_2")
    old1 = chip.read_file(WIFI_DIR + "wifi_log_1")
    oam = chip.start_daemon()
    wait_started(oam)
    chip.wait_hello()
    # What an earlier run left plain is compressed at start; the file that
    # cannot be stays plain, said once.
    # The compressing thread runs at the lowest priority: on a busy machine,
    # or under an emulator, it may wait long for its turn.
    wait_until(lambda: not chip.exists(WIFI_DIR + "wifi_log_2") and events(chip, "wifi", "compress-failed"),
               "the first pass", timeout=120)
    assert events(chip, "wifi", "compress-failed") == [f"{WIFI_DIR}wifi_log_3: File exists"]

    chip.send_wifi_log(b"a")
    chip.send_wifi_log(b"b")  # file 1 is now exactly at the limit: full
    chip.send_wifi_log(b"c")
    settle(chip, oam)
    wait_until(lambda: not chip.exists(WIFI_DIR + "wifi_log_2"), "the rotated file compressed", timeout=120)

    # Renumbered like plain files; file 1 never compressed; no part left.
    assert sorted(chip.listdir(WIFI_DIR)) == ["wifi_log_1", "wifi_log_2.zst", "wifi_log_3.zst", "wifi_log_3.zst.tmp",
                                              "wifi_log_4"]
    assert chip.read_file(WIFI_DIR + "wifi_log_4") == b"cannot be compressed"
    assert records(chip.read_file(WIFI_DIR + "wifi_log_1")) == [b"c"]
    assert zstd("-dc", str(chip.host_path(WIFI_DIR + "wifi_log_3.zst"))).stdout == old2
    second = zstd("-dc", str(chip.host_path(WIFI_DIR + "wifi_log_2.zst"))).stdout
    assert second[:OLD_LEN] == old1
    assert records(second[OLD_LEN:]) == [b"a", b"b"]
    for name in ("wifi_log_2.zst", "wifi_log_3.zst"):
        facts = frame_facts(chip.host_path(WIFI_DIR + name))
        assert "# Zstandard Frames: 1" in facts and "Check: XXH64" in facts, facts
        assert re.search(r"^Decompressed Size: .*\(\d+ B\)$", facts, re.M), facts
    assert events(chip, "wifi", "compress-failed") == [f"{WIFI_DIR}wifi_log_3: File exists"]
    oam.terminate()
    assert oam.wait() == 0
