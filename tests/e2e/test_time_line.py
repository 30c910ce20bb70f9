"""Time the journal lets a reader trust: the UTC offset on every line, the
boot in the start event, and the events of a zone change and of steps of
the wall clock, while the records keep the local stamps they always had.

Each case makes one run and keeps its root and the order in which its
records were written, so that what a reader makes of the run can be checked
against the same run."""

from __future__ import annotations

import base64
import datetime as dt
import json
import math
import re
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from oamsim.sandbox import PROCFS

from test_wifi_logs import tzif
from test_oamlog import oamlog
from tool_support import BFG_LOG, WIFI_LOG, ini, records, start, wait_payloads, wait_until

JOURNAL = "/vendor/log/oam_events"
WIFI_ON = ini(log_switch_device_wifi=1)
YEAR = 365 * 86400
STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}[+-]\d{4}"
LINE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})([+-]\d{4}) (\S+) (.*)$")


def parse_stamp(text: str) -> dt.datetime:
    return dt.datetime.strptime(text, "%Y-%m-%d %H:%M:%S.%f%z")


def journal_lines(chip) -> list[str]:
    return chip.read_file(JOURNAL).decode().splitlines()


def masked(lines: list[str]) -> list[str]:
    """Each line without its stamp, with the times and seconds in its text
    masked: the events as a reader compares them."""
    out = []
    for text in lines:
        m = LINE.match(text)
        assert m, f"not a journal line with an offset: {text!r}"
        rest = re.sub(STAMP, "T", m.group(4))
        rest = re.sub(r"boottime \d+\.\d{3}\b", "boottime S", rest)
        rest = re.sub(r"pid \d+, boot [0-9a-f-]{36},", "pid P, boot B,", rest)
        out.append(f"{m.group(3)} {rest}")
    return out


@dataclass
class Run:
    """One run of the daemon: its root on the host, the records in the
    order written, and for each the wall-clock window (as the daemon saw it)
    in which it was stored, with the zone in force."""
    root: Path
    journal: list[str] = field(default_factory=list)
    written: list[bytes] = field(default_factory=list)
    windows: list[tuple[float, float, int]] = field(default_factory=list)


def write_record(chip, run: Run, data: bytes, hours: int):
    before = chip.wall_time()
    chip.send_wifi_log(data)
    wait_payloads(chip, WIFI_LOG, len(run.written) + 1)
    run.written.append(data)
    run.windows.append((before, chip.wall_time(), hours))


def wait_journal(chip, event: str, count: int = 1):
    wait_until(lambda: sum(f" oam {event} " in text for text in journal_lines(chip)) >= count,
               f"{event} in the journal")


def stop(chip, oam, run: Run):
    oam.terminate()
    assert oam.wait() == 0
    run.journal = journal_lines(chip)


def assert_records_keep_their_stamps(chip, run: Run):
    """Every record holds the seven local fields of the wall clock the
    daemon saw when it stored it, in the zone then in force."""
    stored = records(chip.read_file(WIFI_LOG))
    assert [rec.payload for rec in stored] == run.written
    for rec, (lo, hi, hours) in zip(stored, run.windows):
        zone = dt.timezone(dt.timedelta(hours=hours))
        stamp = dt.datetime(*rec.stamp[:6], rec.stamp[6] * 1000, tzinfo=zone)
        low = dt.datetime.fromtimestamp(int(lo * 1000) / 1000, dt.timezone.utc)
        assert low <= stamp <= dt.datetime.fromtimestamp(hi, dt.timezone.utc), (rec.payload, stamp, lo, hi)


def read_back(run: Run, *args) -> list[dict]:
    """What the reader makes of the run: records and events merged on its
    time line, as JSON."""
    proc = oamlog("--root", run.root, "--merge", "--json", *args)
    return [json.loads(line) for line in proc.stdout.decode().splitlines()]


def utc_of(entry: dict) -> float:
    return dt.datetime.strptime(entry["utc"], "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=dt.timezone.utc).timestamp()


def payloads(entries: list[dict]) -> list[bytes]:
    return [base64.b64decode(e["data"]) for e in entries if "event" not in e]


def assert_records_placed(entries: list[dict], run: Run, shifts: list[int]):
    """Each record on the time line where it was really stored: inside its
    wall-clock window, moved by the forward steps the journal shows after
    it; none marked uncertain."""
    placed = [e for e in entries if "event" not in e]
    assert payloads(entries) == run.written
    for rec, (lo, hi, _), shift in zip(placed, run.windows, shifts):
        assert "time_uncertain" not in rec
        assert lo - 0.001 + shift <= utc_of(rec) <= hi + shift, (rec, lo, hi, shift)


def boot_id_of(oam) -> str:
    """The boot id in the daemon's sandbox (its /proc/sys leads to the
    procfs there)."""
    return Path(f"/proc/{oam.pid}/root{PROCFS}/sys/kernel/random/boot_id").read_text().strip()


def next_second(chip):
    """Waits for the daemon's wall clock to begin a new second: a receiver
    looks at the zone again when its second changes."""
    now = int(chip.wall_time())
    while int(chip.wall_time()) == now:
        time.sleep(0.01)


@pytest.mark.chip(model="zr4002", ini=WIFI_ON, localtime=tzif(0))
def test_a_zone_change_is_journalled_before_the_first_record_in_the_new_zone(chip):
    run = Run(chip.host_path("/vendor/log"))
    oam = start(chip)
    write_record(chip, run, b"in utc", 0)
    chip.set_localtime(tzif(9))
    next_second(chip)
    write_record(chip, run, b"in +0900", 9)
    wait_journal(chip, "zone-changed")
    stop(chip, oam, run)

    assert masked(run.journal) == [
        "oam start version 1.0.0, mode normal, chip zr4002, pid P, boot B, boottime S",
        "wifi capture-started /vendor/log/wifi_log/wifi_log_1",
        "bfg capture-started storing off",
        "oam zone-changed from +0000 to +0900",
        "wifi capture-stopped /vendor/log/wifi_log/wifi_log_1",
        "bfg capture-stopped storing off",
        "oam stop",
    ]
    offsets = [LINE.match(text).group(2) for text in run.journal]
    assert offsets == ["+0000"] * 3 + ["+0900"] * 4
    # Written as the receiver noticed the new zone, before the record.
    changed = parse_stamp("".join(LINE.match(run.journal[3]).group(1, 2)))
    stamp = records(chip.read_file(WIFI_LOG))[1].stamp
    assert changed <= dt.datetime(*stamp[:6], stamp[6] * 1000, tzinfo=changed.tzinfo)
    assert_records_keep_their_stamps(chip, run)

    # Read back: each record in the offset of its own time, the stop (in
    # the new zone) after both, and a window in UTC that holds the second.
    entries = read_back(run)
    assert_records_placed(entries, run, [0, 0])
    order = [e.get("event") or base64.b64decode(e["data"]).decode() for e in entries]
    assert order.index("in utc") < order.index("zone-changed") < order.index("in +0900") < order.index("stop")
    assert [e["time"][-6:] for e in entries if "event" not in e] == ["+00:00", "+09:00"]
    second = int(run.windows[1][0] * 1000)  # the ms the second record's stamp cannot be before
    assert payloads(read_back(run, "--since", f"@{second // 1000}.{second % 1000:03d}")) == [b"in +0900"]
    assert payloads(read_back(run, "--until", f"@{(second - 1) // 1000}.{(second - 1) % 1000:03d}")) == [b"in utc"]


# The step is noticed and journalled by the thread that takes SIGTERM,
# beside the receiver's records.
@pytest.mark.thread_heavy
@pytest.mark.chip(model="zr4002", ini=WIFI_ON, localtime=tzif(1))
def test_clock_steps_back_and_years_forward_are_journalled_with_both_wall_times(chip):
    run = Run(chip.host_path("/vendor/log"))
    oam = start(chip)
    boot_id = boot_id_of(oam)
    write_record(chip, run, b"first", 1)
    steps = []
    for n, seconds in enumerate((-3600, 15 * YEAR), 1):
        before = chip.wall_time(), time.clock_gettime(time.CLOCK_BOOTTIME)
        assert chip.step_clock(seconds)
        wait_journal(chip, "clock-stepped", n)
        steps.append((seconds, before, (chip.wall_time(), time.clock_gettime(time.CLOCK_BOOTTIME))))
        write_record(chip, run, b"after step %d" % n, 1)
    stop(chip, oam, run)

    assert masked(run.journal) == [
        "oam start version 1.0.0, mode normal, chip zr4002, pid P, boot B, boottime S",
        "wifi capture-started /vendor/log/wifi_log/wifi_log_1",
        "bfg capture-started storing off",
        "oam clock-stepped from T to T, boottime S",
        "oam clock-stepped from T to T, boottime S",
        "wifi capture-stopped /vendor/log/wifi_log/wifi_log_1",
        "bfg capture-stopped storing off",
        "oam stop",
    ]
    assert all(LINE.match(text).group(2) == "+0100" for text in run.journal)
    assert re.search(rf", pid {oam.pid}, boot {boot_id}, boottime \d+\.\d{{3}}$", run.journal[0])

    stepped = [text for text in run.journal if " oam clock-stepped " in text]
    deltas = []
    for text, (seconds, (wall0, boot0), (wall1, boot1)) in zip(stepped, steps):
        m = re.search(rf"from ({STAMP}) to ({STAMP}), boottime (\d+\.\d{{3}})$", text)
        old, new, boottime = parse_stamp(m.group(1)), parse_stamp(m.group(2)), float(m.group(3))
        deltas.append((new - old).total_seconds())
        # The old time is the one the clock would show without the step
        # (both are cut to the millisecond, and read a moment apart).
        assert abs((new - old).total_seconds() - seconds) < 0.005, text
        assert wall0 - 0.005 <= old.timestamp() <= wall1 - seconds, text
        assert wall0 + seconds - 0.001 <= new.timestamp() <= wall1, text
        assert boot0 - 0.001 <= boottime <= boot1, text
        assert old.utcoffset() == new.utcoffset() == dt.timedelta(hours=1)
    assert_records_keep_their_stamps(chip, run)

    # Read back: the forward step takes back the step back before it, so
    # the record between them moves by the forward step and the one before
    # both by their sum: in the order written, moments apart.  A window
    # given in UTC finds the first record where it now lies (the steps are
    # journalled to the millisecond, and the records after them came moments
    # later, so they may share its window: what it holds is the start of the
    # order written).
    back, forward = deltas
    assert_records_placed(read_back(run), run, [back + forward, forward, 0])
    lo, hi, _ = run.windows[0]
    since, until = math.floor((lo + back + forward) * 1000) - 1, math.ceil((hi + back + forward) * 1000)
    window = read_back(run, "--since", f"@{since / 1000:.3f}", "--until", f"@{until / 1000:.3f}")
    held = payloads(window)
    assert held[:1] == [b"first"] and held == [b"first", b"after step 1", b"after step 2"][:len(held)], held
    boots = oamlog("--root", run.root, "--list-boots").stdout.decode().splitlines()
    assert len(boots) == 1 and f" {boot_id[:8]} " in boots[0], boots  # the start of the id, as --boot takes it


@pytest.mark.chip(model="zr4002", ini=ini(log_switch_device_wifi=1, log_switch_device_bfg=1), localtime=tzif(0))
def test_a_bfg_record_that_notices_a_zone_change_is_placed_in_the_new_zone(chip):
    run = Run(chip.host_path("/vendor/log"))
    oam = start(chip)
    chip.wait_open("qvbfgdbg")
    write_record(chip, run, b"wifi in utc", 0)
    chip.set_localtime(tzif(-8))
    next_second(chip)
    before = chip.wall_time()
    chip.send_chunk("qvbfgdbg", b"bfg in -0800")
    wait_payloads(chip, BFG_LOG, 1)
    after = chip.wall_time()
    wait_journal(chip, "zone-changed")
    stop(chip, oam, run)

    entries = read_back(run)
    assert payloads(entries) == [b"wifi in utc", b"bfg in -0800"]
    bfg = [e for e in entries if e.get("core") == "bfg" and "event" not in e][0]
    assert "time_uncertain" not in bfg and bfg["time"].endswith("-08:00")
    assert int(before * 1000) / 1000 <= utc_of(bfg) <= after
    order = [e.get("event") or base64.b64decode(e["data"]).decode() for e in entries]
    assert order.index("wifi in utc") < order.index("zone-changed") < order.index("bfg in -0800")
    boot_of = oamlog("--root", run.root, "--merge", "--json", "--boot", "0").stdout.decode().splitlines()
    assert payloads([json.loads(line) for line in boot_of]) == payloads(entries)

