"""The context kept with each dump: the records and events of the seconds
before a dump, copied beside its archive, outlive the log files and follow
the archive through the rotation of the dump archives."""

from __future__ import annotations

import base64
import json
import re
import time

import pytest

from test_dumps import ARCHIVE_RE, DUMP_DIR, archives, dump_and_settle, region, start, stop
from test_oamlog import oamlog, records

WIFI_LOG_DIR = "/vendor/log/wifi_log"
ORPHAN = "readm_wifi_sdio_2020_01_01_00_00_00.3.context"
HALF_WRITTEN = "readm_bfgx_uart.context.tmp"
INI = "[HOST_PLAT]\nlog_switch_device_wifi=1\nlog_switch_device_bfg=1\ndump_context_seconds=3600\n"


def wait_stored(chip, count: int, timeout: float = 10.0) -> bytes:
    """The wifi log's bytes once they hold count records."""
    deadline = time.monotonic() + timeout
    while True:
        data = chip.read_file(f"{WIFI_LOG_DIR}/wifi_log_1")
        if len(records(data, growing=True)) >= count or time.monotonic() > deadline:
            return data
        time.sleep(0.01)


# The copy runs on a dump thread while the receivers store: under TSan too.
@pytest.mark.thread_heavy
@pytest.mark.chip(model="zr4002", ini=INI,
                  files={f"{DUMP_DIR}/{ORPHAN}": b"no archive", f"{DUMP_DIR}/{HALF_WRITTEN}": b"cut"})
def test_the_window_before_a_dump_outlives_the_logs_and_follows_its_archive(chip):
    oam, _ = start(chip)
    # What a stop left behind with no archive to go with is gone at start.
    assert chip.listdir(DUMP_DIR) == []
    sent: list[list[bytes]] = []
    stored = b""
    for n in range(1, 13):
        batch = [b"story %02d/%d" % (n, i) for i in range(3)]
        for data in batch:
            chip.send_wifi_log(data)
        sent.append(batch)
        stored = wait_stored(chip, 3 * n)
        datas = [region(f"w{n}.{i}", 300) for i in range(4)]
        dump_and_settle(chip, "wifi", 0, datas)

    names = archives(chip)
    contexts = sorted(n for n in chip.listdir(DUMP_DIR) if n.endswith(".context"))
    assert len(names) == 10 and sorted(n[:-len(".tar.gz")] + ".context" for n in names) == contexts
    assert not [n for n in chip.listdir(DUMP_DIR) if n.endswith(".tmp")]

    # The newest context: its wifi section is the stored records byte for byte.
    newest = next(n for n in names if ARCHIVE_RE.match(n)["num"] is None)
    ctx = chip.read_file(f"{DUMP_DIR}/{newest[:-len('.tar.gz')]}.context")
    head, rest = ctx.split(b"\n", 1)
    assert re.fullmatch(rb"oam dump context: 3600 s before \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}", head), head
    wifi_head, rest = rest.split(b"\n", 1)
    stamp = rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}"
    assert re.fullmatch(rb"core wifi: 36 records, %d bytes, first %s, last %s, 0 lost, 0 left out, "
                        rb"0 compressed not read" % (len(stored), stamp, stamp), wifi_head), wifi_head
    assert rest[:len(stored)] == stored
    assert rest[len(stored):].startswith(b"core bfg: 0 records, 0 bytes, first -, last -, 0 lost, 0 left out, "
                                         b"0 compressed not read\nevents: ")

    # The logs rotate away completely: the contexts are all that is left.
    for name in chip.listdir(WIFI_LOG_DIR):
        chip.host_path(f"{WIFI_LOG_DIR}/{name}").unlink()
    root = chip.host_path("/vendor/log")
    for name in names:
        k = int(ARCHIVE_RE.match(name)["num"] or 0)
        n = 12 - k  # the dump this archive holds
        proc = oamlog("--root", root, "--dump", name, "--before", 3600, "--json")
        assert proc.stderr == b""
        shown = [json.loads(row) for row in proc.stdout.splitlines()]
        got = [base64.b64decode(r["data"]) for r in shown if "data" in r]
        assert got == [d for batch in sent[:n] for d in batch], name
        # The context's events that the journal still holds are shown once.
        events = [(r["utc"], r["event"], r["detail"]) for r in shown if "event" in r]
        assert len(set(events)) == len(events), name
        # Its own dump's report and those before it; the next dump's too
        # only when it was reported in the millisecond this archive was done.
        reports = [r["detail"] for r in shown if r.get("event") == "dump-reported"]
        assert reports in (["readm_wifi_sdio"] * n, ["readm_wifi_sdio"] * (n + 1)), name

    listed = oamlog("--root", root, "--dumps").stdout.decode().splitlines()[1:]
    assert len(listed) == 10 and all(line.split()[3] == "yes" for line in listed), listed
    rows = [json.loads(row) for row in oamlog("--root", root, "--dumps", "--json").stdout.splitlines()]
    assert [r["context"] for r in rows] == [True] * 10
    stop(oam)
