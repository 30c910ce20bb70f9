"""Faults a device really meets, injected into the real daemon on the virtual
chip: full storage, files and folders removed under it, drivers that hang or
come late, tools that vanish or crawl, and kills at any moment.  Each case
ends with what a user sees: whole records in every log file, the daemon's
lines, its exit status, the bytes on the tool's connection."""

from __future__ import annotations

import os
import socket
import time

import pytest

import oamsim
from startup_support import ALL_LOGS_ON, DFR_INI, messages, positions, records, wait_message, wait_started

VTL_PORT = oamsim.platform.VTL_PORT
INI = "[HOST_PLAT]\n" + ALL_LOGS_ON + DFR_INI
LOGS = {"wifi": "/vendor/log/wifi_log/wifi_log_1", "bfg": "/vendor/log/bfg_log/bfg_log_1",
        "me": "/vendor/log/me_log/bfg_log_1"}


def wait_until(check, what: str, timeout: float = 10.0):
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, f"no {what} after {timeout}s"
        time.sleep(0.01)


def stored(chip, core: str) -> list[bytes]:
    """The payloads of a core's file 1; every byte must belong to a record."""
    path = LOGS[core]
    return records(chip.read_file(path)) if chip.exists(path) else []


def all_logs_parse(chip):
    for folder in ("/vendor/log/wifi_log", "/vendor/log/bfg_log", "/vendor/log/me_log"):
        if chip.exists(folder):
            for name in chip.listdir(folder):
                records(chip.read_file(f"{folder}/{name}"))


def store_one(chip, core: str, data: bytes):
    """Sends one chunk on a core and waits until it is the last record."""
    if core == "wifi":
        chip.send_wifi_log(data)
    else:
        chip.send_chunk({"bfg": "qvbfgdbg", "me": "qvmeoam"}[core], data)
    wait_until(lambda: stored(chip, core)[-1:] == [data], f"{core} record {data!r}")


# The stop always ends ------------------------------------------------------

STOPS = {
    "sigterm": ("main closed!", "main closed finished!"),
    "orderly": ("enter oam vexa main() exit!", "oam vexa main() closed over!"),
}


@pytest.mark.parametrize("stop", sorted(STOPS))
def test_a_receiver_whose_read_ignores_the_wake_up_is_left_and_the_stop_ends(chip_factory, stop):
    chip = chip_factory(model="zr4005", ini=INI)
    oam = chip.start_daemon(args=["test"])
    wait_started(oam)
    wait_message(oam, "accept is start")
    for core in LOGS:
        store_one(chip, core, f"{core} before the stop".encode())
    # The bfg and me receivers now sit in a node read that no signal ends.
    chip.hold_reads()
    if stop == "sigterm":
        assert oam.terminate()
    else:
        chip.accept_fail("EMFILE")
        socket.create_connection(("127.0.0.1", VTL_PORT), timeout=5).close()
    assert oam.wait(30) == 0
    first, last = STOPS[stop]
    for core in ("bfg", "me"):
        positions(messages(oam), [first, f"{core} receiver did not end within 2000 ms, left to the exit", last])
    assert "wifi receiver did not end" not in oam.stdout
    for core in LOGS:
        assert stored(chip, core) == [f"{core} before the stop".encode()]
