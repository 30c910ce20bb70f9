"""oamlog on log files the daemon wrote in the sandbox: the formats, the
selections, following across a rotation, and the damage check.

One daemon run serves the reading tests: each core's file 1 is laid out
nearly full of old records (stamped in 2000), then the daemon stores a few
hundred records per core, rotating once, while a debug tool collects what it
mirrors, one core after the other."""

from __future__ import annotations

import base64
import contextlib
import datetime
import functools
import fcntl
import gzip
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import tarfile
import termios
import threading
from pathlib import Path

import pytest

from tool_support import INI_ALL, connect_tool, records, start, wait_until

import oamsim

OAMLOG = Path(os.environ.get("OAMLOG_BIN") or oamsim.default_binary().parent / "oamlog")
LIMIT = 10 * 1024 * 1024  # a file of this size is full
OLD_DATA = 2030
CORES = {  # core: (folder, file prefix, node or None for netlink)
    "wifi": ("wifi_log", "wifi_log_", None),
    "bfg": ("bfg_log", "bfg_log_", "qvbfgdbg"),
    "me": ("me_log", "bfg_log_", "qvmeoam"),
}
SENT = 300


def record(data: bytes, stamp) -> bytes:
    return struct.pack("<BBH7H", 0xAA, 0, 18 + len(data), *stamp) + data


def old_records(core: str) -> list[bytes]:
    """Full-size records, one millisecond apart from 2000-01-01 00:00:00,
    filling a file to within 2048 bytes of the limit."""
    out = []
    for i in range(LIMIT // 2048 - 1):
        stamp = (2000, 1, 1, 0, 0, i // 1000, i % 1000)
        out.append(record(f"{core} old {i:05d} ".encode().ljust(OLD_DATA, b"."), stamp))
    return out


def messages(core: str) -> list[bytes]:
    # text lines, with a binary chunk now and then
    return [bytes([n % 256, 0, 0xFF]) * 3 if n % 50 == 7 else f"{core}: event {n:03d} state ok\n".encode()
            for n in range(SENT)]


def oamlog(*args, check=True) -> subprocess.CompletedProcess:
    proc = subprocess.run([*oamsim.exec_prefix(), str(OAMLOG), *map(str, args)], capture_output=True, timeout=60)
    if check:
        assert proc.returncode == 0, proc.stderr.decode()
    return proc


def stored_count(root: Path, core: str) -> int:
    folder, prefix, _ = CORES[core]
    data = b"".join((root / folder / f"{prefix}{k}").read_bytes() for k in (2, 1)
                    if (root / folder / f"{prefix}{k}").exists())
    return len(records(data, growing=True))


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """The daemon run: the log root on the host, what was sent per core, the
    old records, and the stream the tool received per core."""
    old = {core: old_records(core) for core in CORES}
    files = {f"/vendor/log/{folder}/{prefix}1": b"".join(old[core]) for core, (folder, prefix, _) in CORES.items()}
    chip = oamsim.VirtualChip(tmp_path_factory.mktemp("oamlog_run"), model="zr4005", ini=INI_ALL, files=files)
    root = chip.host_path("/vendor/log")
    tool_part = {}
    try:
        chip.start()
        oam = start(chip, ["test"])
        tool, _ = connect_tool(oam)
        got = 0
        for core, (_, _, node) in CORES.items():
            sent = messages(core)
            if node is None:
                for msg in sent:
                    chip.send_wifi_log(msg)
            else:
                chip.send_chunks(node, sent)
            got += sum(map(len, sent))
            tool_part[core] = tool.wait_received(got, timeout=20)[got - sum(map(len, sent)):]
            wait_until(lambda: stored_count(root, core) == len(old[core]) + SENT, f"{core} records stored", 20)
        tool.close()
        oam.terminate()
        assert oam.wait() == 0
    finally:
        chip.close()
    assert not chip.errors
    yield {"root": root, "old": old, "tool": tool_part}


def json_records(*args) -> list[dict]:
    """The records, without the journal's events among them."""
    return [obj for obj in map(json.loads, oamlog("--json", *args).stdout.splitlines()) if "event" not in obj]


def test_json_fields_match_the_bytes_of_each_record_across_the_rotation(run):
    for core, (folder, prefix, _) in CORES.items():
        objs = json_records("--root", run["root"], "--core", core)
        assert len(objs) == len(run["old"][core]) + SENT
        files = [o["file"] for o in objs]
        n_second = files.count(str(run["root"] / folder / f"{prefix}2"))
        # oldest first: all of file 2, then file 1, which the rotation started
        assert files == [str(run["root"] / folder / f"{prefix}{k}") for k in [2] * n_second + [1] * (len(objs) - n_second)]
        assert len(run["old"][core]) < n_second < len(objs)
        contents = {}
        for o in objs:
            data = contents.setdefault(o["file"], Path(o["file"]).read_bytes())
            rec = data[o["offset"]:o["offset"] + o["length"]]
            assert rec[:2] == b"\xaa\x00" and struct.unpack_from("<H", rec, 2)[0] == o["length"]
            # the stamp as stored with the offset taken for it, and its place in UTC
            stamp = "%04d-%02d-%02dT%02d:%02d:%02d.%03d" % struct.unpack_from("<7H", rec, 4)
            assert re.fullmatch(re.escape(stamp) + r"[+-]\d\d:\d\d", o["time"]), o
            placed = datetime.datetime.fromisoformat(o["time"]).astimezone(datetime.timezone.utc)
            assert o["utc"] == placed.strftime("%Y-%m-%dT%H:%M:%S.") + stamp[-3:] + "Z" and "time_uncertain" not in o
            assert base64.b64decode(o["data"]) == rec[18:]
            assert o["core"] == core
        assert [base64.b64decode(o["data"]) for o in objs[len(run["old"][core]):]] == messages(core)


@pytest.mark.parametrize("form", ["folder", "files", "named_twice", "copied_out"])
def test_the_me_folder_or_its_files_read_like_the_root(run, form, tmp_path):
    folder = run["root"] / "me_log"
    for k in (1, 2):  # out of me_log, the name no longer tells the core: --core does
        shutil.copy(folder / f"bfg_log_{k}", tmp_path / f"bfg_log_{k}")
    inputs = {"folder": [folder], "files": [folder / "bfg_log_1", folder / "bfg_log_2"],
              "named_twice": [folder, folder / "bfg_log_1", f"{folder}/./bfg_log_2"],
              "copied_out": ["--core", "me", tmp_path / "bfg_log_1", tmp_path / "bfg_log_2"]}[form]
    strip = (lambda r: {k: v for k, v in r.items() if k != "file"}) if form == "copied_out" else (lambda r: r)
    assert [strip(r) for r in json_records(*inputs)] == [strip(r) for r in json_records("--root", run["root"],
                                                                                          "--core", "me")]


def test_raw_is_byte_equal_to_what_the_tool_received(run):
    for core in CORES:
        old = b"".join(rec[18:] for rec in run["old"][core])
        assert oamlog("--raw", "--root", run["root"], "--core", core).stdout == old + run["tool"][core]


def test_default_lines_show_time_core_length_and_text_or_hex(run):
    lines = oamlog("--root", run["root"], "--core", "bfg", "--since", "2001-01-01").stdout.decode().splitlines()
    stamp = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}"
    # The journal's events stand among the records as marked lines.
    events = [line for line in lines if re.fullmatch(stamp + r" bfg  -- .+ --", line)]
    assert any(e.endswith(" bfg  -- capture-started /vendor/log/bfg_log/bfg_log_1 --") for e in events)
    out = [line for line in lines if line not in events]
    assert len(out) == SENT
    assert re.fullmatch(stamp + r" bfg    42 bfg: event 000 state ok", out[0]), out[0]
    assert re.fullmatch(stamp + r" bfg    27 07 00 ff 07 00 ff 07 00 ff", out[7]), out[7]
    last = oamlog("--root", run["root"], "--core", "me", "-n", 1).stdout.decode().splitlines()
    # The last record may fill its file: the rotation is then told between it
    # and the stop (how the node's chunks are read decides which record).
    assert last[0].endswith(" me     41 me: event 299 state ok")
    assert last[-1].endswith(" me   -- capture-stopped /vendor/log/me_log/bfg_log_1 --")
    assert all(" me   -- rotated /vendor/log/me_log/bfg_log_1 full at " in line for line in last[1:-1]), last


@functools.cache
def core_records(root: Path, core: str) -> list[dict]:
    """One core's records, without where they are kept (a bundle moves them)."""
    return [{k: v for k, v in o.items() if k not in ("file", "offset")}
            for o in json_records("--root", root, "--core", core)]


@pytest.mark.parametrize("source", ["root", "merge", "files", "bundle", "per_core"])
def test_one_time_line_by_default_each_core_in_its_own_order(run, tmp_path, source):
    root = run["root"]
    if source == "bundle":
        oamlog("--bundle", tmp_path / "b.tar.gz", "--root", root)
    args = {"root": ["--root", root], "merge": ["--root", root, "--merge"], "per_core": ["--root", root, "--per-core"],
            "files": ["--root", root, *(root / f / f"{p}{k}" for f, p, _ in CORES.values() for k in (1, 2))],
            "bundle": [tmp_path / "b.tar.gz"]}[source]
    got = [{k: v for k, v in o.items() if k not in ("file", "offset")} for o in json_records(*args)]
    # Of equal stamps (the old records of every core), the cores' order.
    order = [(o["utc"], list(CORES).index(o["core"])) for o in got]
    if source == "per_core":
        assert [r for _, r in order] == sorted(r for _, r in order)
    else:
        assert order == sorted(order)
        # the cores were driven one after the other
        assert [o["core"] for o in got[-3 * SENT:]] == ["wifi"] * SENT + ["bfg"] * SENT + ["me"] * SENT
    for core in CORES:
        assert [o for o in got if o["core"] == core] == core_records(root, core)


@pytest.mark.parametrize("args, old_from, old_to, new", [
    (["--since", "2001-01-01"], 0, 0, True),
    (["--until", "2000-01-01 00:00:01.499"], 0, 1500, False),
    (["--since", "2000-01-01 00:00:05", "--until", "2000-01-01 00:00:05"], 5000, 5119, False),
    (["-n", "3"], 5119 + SENT - 3, 5119, "last3"),
], ids=["since", "until", "second_span", "last_n"])
def test_selection_by_time_and_count(run, args, old_from, old_to, new):
    for core in CORES:
        got = [base64.b64decode(o["data"]) for o in json_records("--root", run["root"], "--core", core, *args)]
        want = [rec[18:] for rec in run["old"][core][old_from:old_to]]
        if new == "last3":
            want = messages(core)[-3:]
        elif new:
            want += messages(core)
        assert got == want


@pytest.mark.parametrize("per_core", [False, True])
def test_last_n_takes_the_end_of_the_time_line_or_of_each_core(run, per_core):
    got = json_records("--root", run["root"], "-n", 4, *["--per-core"] * per_core)
    assert [(o["core"], base64.b64decode(o["data"])) for o in got] == \
        [(core, msg) for core in (CORES if per_core else ["me"]) for msg in messages(core)[-4:]]


# Damage ------------------------------------------------------------------------


def damage_flip_marker(data, at, length):
    return data[:at] + b"\x55" + data[at + 1:], at, length, "bad marker (55 00)"


def damage_absurd_length(data, at, length):
    return data[:at + 2] + b"\xff\xff" + data[at + 4:], at, length, "record length out of range (65535)"


def damage_garbage_between(data, at, length):
    return data[:at] + b"GARBAGE\xaa" + data[at:], at, 8, "bad marker (47 41)"


def damage_truncated_tail(data, at, length):
    return data[:len(data) - 5], len(data) - length, length - 5, "record cut short at the end of the file"


def damage_cut_header(data, at, length):
    return data[:len(data) - length + 8], len(data) - length, 8, "record header cut short"


def damage_month_13(data, at, length):
    y, _, d, h, mi, sec, ms = struct.unpack_from("<7H", data, at + 4)
    return (data[:at + 6] + struct.pack("<H", 13) + data[at + 8:], at, 0,
            f"time fields out of range ({y}-13-{d} {h}:{mi}:{sec}.{ms})")


@pytest.mark.parametrize("damage", [damage_flip_marker, damage_absurd_length, damage_garbage_between,
                                    damage_truncated_tail, damage_cut_header, damage_month_13])
def test_check_reports_each_damaged_spot_and_reads_on(run, tmp_path, damage):
    src = run["root"] / "wifi_log" / "wifi_log_1"
    clean = json_records(src)
    # a folder name that is no UTF-8 and holds a line end: escaped in every output
    folder = tmp_path / os.fsdecode(b"n\xff\nl") / "wifi_log"
    folder.mkdir(parents=True)
    copy = folder / "wifi_log_1"
    victim = 10
    data, at, skipped, what = damage(src.read_bytes(), clean[victim]["offset"], clean[victim]["length"])
    copy.write_bytes(data)
    outcome = f"{skipped} bytes skipped" if skipped else "record kept"
    report = f"{copy}: offset {at}: {what}; {outcome}".replace("\udcff", "\\xff").replace("\n", "\\x0a")

    proc = oamlog("--check", folder, check=False)
    assert proc.returncode == 1
    lost = 0 if damage in (damage_garbage_between, damage_month_13) else 1
    assert proc.stdout.decode().splitlines() == [report, f"1 files, {len(clean) - lost} records, 1 damaged spots"]
    proc = oamlog("--check", "--json", folder, check=False)
    assert proc.returncode == 1
    assert list(map(json.loads, proc.stdout.splitlines())) == [
        {"file": str(copy), "offset": at, "skipped": skipped, "cause": what},
        {"files": 1, "records": len(clean) - lost, "damaged": 1}]

    proc = oamlog("--json", folder)
    assert proc.stderr.decode().splitlines() == ["oamlog: " + report]
    objs = list(map(json.loads, proc.stdout.splitlines()))
    assert {o["file"] for o in objs} == {str(copy)}
    kept = [o["data"] for o in objs]
    if damage in (damage_truncated_tail, damage_cut_header):
        assert kept == [o["data"] for o in clean[:-1]]
    else:
        assert kept == [o["data"] for o in clean if o is not clean[victim] or not lost]


def synthetic_root(tmp_path: Path, files: dict[str, bytes], journal: str) -> Path:
    for name, data in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(data)
    (tmp_path / "oam_events").write_text(journal)
    return tmp_path


AT = (2026, 12, 9, 10, 0, 0)


@pytest.mark.parametrize("args, shown", [
    ([], ["start", "capture-started", "A", "lost", "B", "rotated"]),
    (["--per-core"], ["capture-started", "A", "B", "rotated", "lost", "start"]),
    (["-n", "0"], []),
])
def test_events_of_a_records_millisecond_follow_it_and_a_start_leads(tmp_path, args, shown):
    """An event stamped in the millisecond of a record was written after it,
    except the start of a run; the events of a core without its folder are
    shown too."""
    root = synthetic_root(tmp_path, {"wifi_log/wifi_log_1": record(b"A", (*AT, 100)) + record(b"B", (*AT, 200))},
                          "2026-12-09 10:00:00.100 oam start version 1\n"
                          "2026-12-09 10:00:00.100 wifi capture-started /vendor/log/wifi_log/wifi_log_1\n"
                          "2026-12-09 10:00:00.200 wifi rotated /vendor/log/wifi_log/wifi_log_1 full\n"
                          "2026-12-09 10:00:00.150 me lost 2 records: no space, 10:00:00.150 to 10:00:00.150\n")
    lines = oamlog("--root", root, *args).stdout.decode().splitlines()
    assert [re.sub(r".* -- (?:\d+ records )?([a-z-]+).*", r"\1", line) if " -- " in line else line[-1]
            for line in lines] == shown, lines


JSON_TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}")


def json_times(obj, found):
    """Each time member of obj (and of the objects it holds) beside its UTC
    twin: {"time": local, "utc": ...} or {"X": local, "X_utc": ...}."""
    for key, value in obj.items() if isinstance(obj, dict) else enumerate(obj):
        if isinstance(value, (dict, list)):
            json_times(value, found)
        elif isinstance(value, str) and JSON_TIME.match(value) and not (key == "utc" or key.endswith("_utc")):
            found.append((obj, key, value, obj.get("utc" if key == "time" else key + "_utc")))


@pytest.mark.parametrize("args", [["--json", "--merge"], ["--stats", "--json"], ["--dumps", "--json"],
                                  ["--list-boots", "--json"], ["--disk-usage", "--json"], ["--check", "--json"]],
                         ids=["records_events", "stats", "dumps", "boots", "disk_usage", "check"])
def test_every_json_time_carries_its_offset_and_its_utc(tmp_path, args):
    """The journal's offset (+01:00) for what it covers; an archive it does
    not name, in this machine's zone."""
    journal = "".join(f"2026-12-09 {line}\n" for line in [
        "10:00:00.000+0100 oam start version 1, pid 1, boot 0d6f",
        "10:00:00.300+0100 wifi dump-reported readm_wifi_sdio",
        "10:00:00.500+0100 wifi archive-written readm_wifi_sdio_2026_12_09_10_00_00.tar.gz",
        "10:00:01.000+0100 oam start version 1, pid 2, boot 0d6f",  # the run before ended uncleanly
        "10:00:01.100+0100 wifi lost 2 records: no space, 10:00:01.050 to 10:00:01.060"])
    root = synthetic_root(tmp_path, {"wifi_log/wifi_log_1": record(b"A", (*AT, 100)) + record(b"B", (*AT[:5], 2, 0))},
                          journal)
    (root / "memdump").mkdir()
    with tarfile.open(root / "memdump" / "readm_wifi_sdio_2026_12_09_10_00_00.tar.gz", "w:gz") as tar:
        tar.addfile(tarfile.TarInfo("a.bin"))
    (root / "memdump" / "readm_bfgx_uart_2026_12_09_10_00_02.tar.gz").write_bytes(b"junk")
    found = []
    for line in oamlog("--root", root, *args, check=False).stdout.splitlines():
        json_times(json.loads(line), found)
    assert found
    for obj, key, local, utc in found:
        shown = datetime.datetime.fromisoformat(local)
        assert shown.utcoffset() is not None, obj
        assert utc == shown.astimezone(datetime.timezone.utc).isoformat(timespec="milliseconds")[:-6] + "Z", obj
        assert local.endswith("+01:00") or obj.get("type") == "readm_bfgx_uart", obj


FAKE_PAGER = """#!/bin/sh
[ "$1" = quit ] && exit 0
printf '%s\\n' "$*" "${LESS-unset}" > "${0%/*}/argv"
cat > "${0%/*}/input.part" && mv "${0%/*}/input.part" "${0%/*}/input"
exec timeout 60 head -c1 "${0%/*}/go" >/dev/null
"""


@pytest.mark.parametrize("env, args, pager", [
    ({"OAMLOG_PAGER": "{fake} first", "PAGER": "{fake} second", "LESS": "kept"}, [], ["first", "kept"]),
    ({"PAGER": "{fake} second"}, [], ["second", "FRSXK"]),
    ({"PAGER": "{fake}"}, ["--no-pager"], None),
    ({"OAMLOG_PAGER": "", "PAGER": "{fake}"}, [], None),
    ({"PAGER": "{fake} quit"}, [], "quit"),
], ids=["oamlog_pager_first", "less_default", "no_pager", "empty", "quit_early"])
def test_a_terminal_reads_through_the_users_pager(tmp_path, env, args, pager):
    """On a terminal (not in a pipe), the lines and the reports among them go
    into the pager, which oamlog waits for; leaving it early ends oamlog
    quietly."""
    recs = [record(b"line %04d" % i, (*AT[:5], i // 1000, i % 1000)) for i in range(3000)]  # beyond a pipe's buffer
    root = synthetic_root(tmp_path / "root", {"wifi_log/wifi_log_1": recs[0] + b"GARBAGE" + b"".join(recs[1:])}, "")
    fake = tmp_path / "pager"
    fake.write_text(FAKE_PAGER)
    fake.chmod(0o755)
    os.mkfifo(tmp_path / "go")  # lets the pager end
    run_env = {**{k: v for k, v in os.environ.items() if k not in ("OAMLOG_PAGER", "PAGER", "LESS")},
               **{k: v.replace("{fake}", str(fake)) for k, v in env.items()}}
    cmd = [*oamsim.exec_prefix(), str(OAMLOG), "--root", root, *args]
    piped = subprocess.run(cmd, capture_output=True, env=run_env, timeout=60)
    assert piped.stderr.endswith(b"wifi_log_1: offset 27: bad marker (47 41); 7 bytes skipped\n")
    assert not (tmp_path / "argv").exists()
    first, rest = piped.stdout.split(b"\n", 1)
    want = first + b"\n" + piped.stderr + rest
    master, slave = os.openpty()
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=slave, stderr=slave, env=run_env)
    os.close(slave)
    shown = bytearray()

    def drain():
        with contextlib.suppress(OSError):  # EIO: every end of the terminal closed
            while chunk := os.read(master, 65536):
                shown.extend(chunk)

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    if isinstance(pager, list):
        wait_until(lambda: (tmp_path / "input").exists(), "the pager's input complete", 20)
        assert proc.poll() is None, "oamlog ended before its pager"
        (tmp_path / "go").write_text("\n")
    assert proc.wait(60) == 0
    reader.join(60)
    os.close(master)
    shown = bytes(shown).replace(b"\r\n", b"\n")
    if isinstance(pager, list):
        assert ((tmp_path / "argv").read_text().splitlines(), (tmp_path / "input").read_bytes(), shown) == \
            (pager, want, b"")
    else:
        assert (shown, (tmp_path / "argv").exists()) == (b"" if pager == "quit" else want, False)


@pytest.mark.parametrize("args, shown", [
    (["-g", "alpha"], [b"Alpha beta\n", b"alpha BETA\r\n", b"alpha from bfg"]),  # no capital: case-blind
    (["-g", "Alpha"], [b"Alpha beta\n"]),
    (["-g", "Alpha", "--case-sensitive=no"], [b"Alpha beta\n", b"alpha BETA\r\n", b"alpha from bfg"]),
    (["-g", "alpha", "--case-sensitive"], [b"alpha BETA\r\n", b"alpha from bfg"]),
    (["-g", "^alpha BETA$"], [b"alpha BETA\r\n"]),  # without the line's own end
    (["-g", "^01 FF 00"], [b"\x01\xff\x00\x7f"]),  # the hex shown, in any case
    (["-g", "lost|dump"], ["lost", "dump-reported"]),
    (["-g", "alpha", "--core", "bfg"], [b"alpha from bfg"]),
    (["-g", "alpha", "--core", "wifi", "-n", "1"], [b"alpha BETA\r\n"]),  # the last that matches
    (["-g", "a", "--since", "2026-12-09T10:00:00.150Z", "--until", "2026-12-09T10:00:00.450Z"],
     [b"alpha BETA\r\n", b"alpha from bfg", b"gamma"]),
])
def test_grep_selects_records_by_text_or_hex_and_events(tmp_path, args, shown):
    root = synthetic_root(tmp_path, {
        "wifi_log/wifi_log_1": record(b"Alpha beta\n", (*AT, 100)) + record(b"alpha BETA\r\n", (*AT, 200)) +
        record(b"\x01\xff\x00\x7f", (*AT, 300)) + record(b"gamma", (*AT, 400)),
        "bfg_log/bfg_log_1": record(b"alpha from bfg", (*AT, 250))},
        "2026-12-09 10:00:00.000+0000 oam start version 1\n"
        "2026-12-09 10:00:00.350+0000 wifi lost 3 records: receive buffer full, 10:00:00.350+0000 to "
        "10:00:00.350+0000\n"
        "2026-12-09 10:00:00.500+0000 wifi dump-reported readm_wifi_sdio\n")
    objs = map(json.loads, oamlog("--root", root, "--json", *args).stdout.splitlines())
    got = [o["event"] if "event" in o else base64.b64decode(o["data"]) for o in objs]
    assert sorted(got, key=str) == sorted(shown, key=str)


@pytest.mark.parametrize("case", ["dumps", "record_line", "stats", "dump_error"])
def test_names_and_bytes_from_outside_reach_the_terminal_escaped(tmp_path, case):
    hostile = "x\x1b[2J\x07\nforged"
    log = tmp_path / f"log{hostile}"
    log.write_bytes(record(b"data", (*AT, 0)))
    (tmp_path / "memdump").mkdir()
    (tmp_path / "memdump" / f"{hostile}_2026_12_09_10_00_01.tar.gz").write_bytes(b"junk")
    args, lines = {"dumps": (["--dumps", "--root", tmp_path], 2), "record_line": ([log], 1),
                   "stats": (["--stats", log], 5), "dump_error": (["--dump", hostile + "y", "--root", tmp_path], 1)}[case]
    proc = oamlog(*args, check=False)
    out = proc.stdout + proc.stderr
    assert not re.search(rb"[\x00-\x09\x0b-\x1f\x7f]", out), out
    assert len(out.splitlines()) == lines and b"\\x1b[2J\\x07\\x0aforged" in out, out


def test_check_passes_the_daemons_files(run):
    proc = oamlog("--check", "--root", run["root"])
    assert proc.stdout.decode() == f"6 files, {sum(len(v) for v in run['old'].values()) + 3 * SENT} records, " \
                                   "0 damaged spots\n"


def demo_like_root(tmp_path: Path) -> Path:
    """What the demo leaves, long-ish: three cores of many records, a dozen
    boots in a zone of +05:45 (ids with a common start), runs ended
    uncleanly, huge losses, archives of every dump type up to number 9 (one
    with its context, one not gzip) and a dump that failed."""
    day, zone = "2026-12-10", "+0545"
    journal, archives = [], {}
    for b in range(12):
        at = f"{day} {8 + b // 2:02d}:{b % 2 * 30:02d}"
        journal.append(f"{at}:00.000{zone} oam start version 1.0.0, mode test, chip zr4060, pid {900 + b}, "
                       f"boot 7c2303{b:02d}-a704-45f0-a2de-e01d3260a27d, boottime 12.5\n")
        if b % 3:
            journal.append(f"{at}:50.000{zone} oam stop\n")  # the others end uncleanly
    at = f"{day} 14:00"
    for core in ("wifi", "bfg", "me"):
        journal.append(f"{at}:01.000{zone} {core} lost 18446744073709551615 records: cut short at the end of file 1 "
                       f"by the last stop, {at[11:]}:00.000{zone} to {at[11:]}:01.000{zone}\n")
        journal.append(f"{at}:01.000{zone} {core} lost 4294967295 overruns: receive buffer overrun, no drop counter, "
                       f"{at[11:]}:00.000{zone} to {at[11:]}:01.000{zone}\n")
    for n, kind in enumerate(("wifi_sdio", "wifi_uart", "bfgx_uart", "bfgx_sdio", "me_uart", "me_sdio")):
        core = kind[:kind.index('_')].replace('bfgx', 'bfg')
        name = f"readm_{kind}_2026_12_10_14_00_1{n}.{n + 4}.tar.gz"
        journal += [f"{at}:1{n}.{ms:03d}{zone} {core} {event}\n" for ms, event in (
            (0, f"dump-reported readm_{kind}"), (100, f"dump-saved readm_{kind}"), (200, f"archive-written {name}"))]
        archives[name] = gzip.compress(b"\0" * 1024) if n else b"not gzip"
    journal.append(f"{at}:30.000{zone} me dump-reported readm_me_sdio\n")
    journal.append(f"{at}:30.500{zone} me dump-failed readm_me_sdio: no region file\n")
    files = {f"memdump/{name}": data for name, data in archives.items()}
    files["memdump/readm_wifi_uart_2026_12_10_14_00_11.5.context"] = b"oam dump context: 1\n"
    for core, (folder, prefix, _) in CORES.items():
        data = b"".join(record(b"%s: event %06d\n" % (core.encode(), i), (2026, 12, 10, 13, 59, 59, i % 1000))
                        for i in range(40000))
        files[f"{folder}/{prefix}1"] = data
    return synthetic_root(tmp_path, files, "".join(journal))


@pytest.mark.parametrize("table, shows", [
    (["--stats"], ["unclean end: boot -11", "18446744073709551615"]),
    (["--dumps"], [" -1 readm_me_sdio_2026_12_10_14_00_15.9.tar.gz", "dump-failed: no region file"]),
    (["--disk-usage"], ["archives     6"]),
    (["--check"], ["journal: 2026-12-10 14:00:00.000 wifi lost 18446744073709551615 records"]),
    (["--list-boots"], ["-11 7c230300 2026-12-10 08:00:00.000+0545 ", " unclean"]),
    (["--list-boots", "--utc"], ["Z unclean"]),
])
def test_every_table_fits_80_columns(tmp_path, table, shows):
    out = oamlog("--root", demo_like_root(tmp_path), *table).stdout.decode()
    assert max(map(len, out.splitlines())) <= 80 and all(s in out for s in shows), out


@pytest.mark.parametrize("args, status, message", [
    (["--root", "/nonexistent/log"], 2,
     "oamlog: /nonexistent/log: No such file or directory (use --root DIR for a copied log folder)"),
    (["--before", "60"], 2, "oamlog: --before is the time before the dump of --dump ARCHIVE; there is none"),
    (["--stats", "-n", "5"], 2, "oamlog: --stats counts every record selected by --since and --until; -n does not apply"),
    (["--bogus"], 2, "oamlog: unknown option '--bogus' (oamlog --help lists them)"),
    (["--merge", "--per-core"], 2, "oamlog: --merge and --per-core exclude each other"),
    (["--hex=1"], 2, "oamlog: option '--hex' takes no value"),
    (["--core", "gps"], 2, "oamlog: unknown core 'gps' (wifi, bfg or me)"),
    (["--since", "noon"], 2, "oamlog: bad time 'noon' (YYYY-MM-DDTHH:MM:SS.mmm[Z|+HH:MM], HH:MM[:SS[.mmm]], now, "
                             "yesterday, @EPOCH, -10m)"),
    (["--since", "10:00", "--until", "09:00"], 2, "oamlog: --since 10:00 is later than --until 09:00"),
    (["--boot", "-7"], 2, "oamlog: no boot '-7' in the journal (oamlog --list-boots lists them)"),
    (["--since", "2026-12-09", "10:00:03"], 2,
     "oamlog: 10:00:03: No such file or directory (a date and time is one word: YYYY-MM-DDTHH:MM:SS)"),
    (["-n"], 2, "oamlog: option '-n' needs a value"),
    (["-g", "("], 2, "oamlog: bad pattern '(' for -g: Unmatched ( or \\("),
    (["--case-sensitive=no"], 2, "oamlog: --case-sensitive is of the pattern of -g PATTERN; there is none"),
    (["-g", "x", "--dumps"], 2, "oamlog: -g selects records and events; --dumps, --disk-usage, --list-boots, --check "
                                "and --bundle take them all"),
    (["--root", "{tmp}"], 0, "oamlog: no log files under {tmp}"),
    (["{tmp}/wifi_log"], 2, "oamlog: {tmp}/wifi_log/wifi_log_1: not a regular file"),
    (["--max-size", "5"], 2, "oamlog: --max-size is the size of the bundle of --bundle OUT; there is none"),
    (["--bundle", "{tmp}/b.tar.gz", "--max-size", "0"], 2, "oamlog: bad size '0' for --max-size (MiB, 1 or more)"),
    (["--bundle", "{tmp}/b.tar.gz", "-f"], 2,
     "oamlog: --bundle writes one file from a log root; -f, -n, --stats, --dumps and the formats do not apply"),
    (["--bundle", "{tmp}", "--root", "{tmp}"], 2, "oamlog: {tmp} exists; a bundle never replaces a file"),
    (["-f", "{tmp}/b.tar.gz"], 2, "oamlog: {tmp}/b.tar.gz: a bundle does not grow; -f does not apply"),
    (["{tmp}/readm_wifi_2026_12_09_10_02_07.tar.gz"], 2, "oamlog: {tmp}/readm_wifi_2026_12_09_10_02_07.tar.gz is a dump "
     "archive: --dump {tmp}/readm_wifi_2026_12_09_10_02_07.tar.gz shows the logs of its window"),
    (["--root", "{tmp}", "--after-cursor", "s=6ad1f8a1;i=1a2b"], 2, "oamlog: --after-cursor: it is not a cursor of oamlog"),
    (["--root", "{tmp}", "--cursor-file", "{tmp}/cursor"], 2,
     "oamlog: {tmp}/cursor: it is damaged (position 1); remove the file to start anew"),
    (["--root", "{tmp}", "--cursor-file", "{tmp}"], 2, "oamlog: {tmp}: the cursor file is not a regular file"),
    (["--stats", "--show-cursor"], 2, "oamlog: a cursor names the records and events written; --check, --stats, "
     "--dumps, --disk-usage, --list-boots, --bundle and --dump write none"),
])
def test_errors_are_one_line_with_their_status(tmp_path, args, status, message):
    (tmp_path / "cursor").write_text("oc1;wifi:9f3a2c1b0d4e5f6:0:18:-\n")  # its id a digit short
    if "wifi_log" in str(args):
        (tmp_path / "wifi_log").mkdir()
        os.mkfifo(tmp_path / "wifi_log" / "wifi_log_1")  # never opened for writing: a blocking open would hang
    if args[-1].endswith(".tar.gz"):
        (tmp_path / Path(args[-1]).name).write_bytes(gzip.compress(b""))
    proc = oamlog(*[a.replace("{tmp}", str(tmp_path)) for a in args], check=False)
    assert (proc.returncode, proc.stderr.decode(), proc.stdout) == (status, message.replace("{tmp}", str(tmp_path)) + "\n",
                                                                    b"")


# Follow ------------------------------------------------------------------------


class Follower:
    """oamlog -f running on the host, its output collected as it comes."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([*oamsim.exec_prefix(), str(OAMLOG), "-f", *map(str, args)],
                                     stdout=subprocess.PIPE)
        self.out = bytearray()
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while chunk := self.proc.stdout.read1(65536):
            with self.cond:
                self.out += chunk
                self.cond.notify_all()

    def wait_for(self, n: int, timeout: float = 20) -> bytes:
        with self.cond:
            assert self.cond.wait_for(lambda: len(self.out) >= n, timeout), f"{len(self.out)} of {n} bytes"
            return bytes(self.out)

    def stop(self) -> bytes:
        self.proc.terminate()
        self.proc.wait(10)
        self.reader.join(10)
        return bytes(self.out)


def test_follow_goes_on_across_a_rotation_without_loss_or_repetition(chip_factory):
    old = old_records("wifi")
    chip = chip_factory(model="zr4005", ini=INI_ALL, files={"/vendor/log/wifi_log/wifi_log_1": b"".join(old)})
    oam = start(chip)
    follower = Follower("--raw", "--root", chip.host_path("/vendor/log"), "--core", "wifi")
    try:
        backlog = b"".join(rec[18:] for rec in old)
        follower.wait_for(len(backlog))
        sent = messages("wifi")
        for msg in sent:
            chip.send_wifi_log(msg)
        follower.wait_for(len(backlog) + sum(map(len, sent)))
        assert chip.exists("/vendor/log/wifi_log/wifi_log_2")
        # one more record after the rotation settled, then nothing else
        chip.send_wifi_log(b"last one")
        follower.wait_for(len(backlog) + sum(map(len, sent)) + 8)
    finally:
        out = follower.stop()
    assert out == backlog + b"".join(sent) + b"last one"
    oam.terminate()
    assert oam.wait() == 0



def rec(core: str, n: int, size: int = 8) -> bytes:
    return record(f"{core}{n:03d}".encode().ljust(size, b"."), (2026, 12, 9, 10, 0, n, 0))


def data(*recs) -> bytes:
    return b"".join(r[18:] for r in recs)


def append(path: Path, *recs):
    with open(path, "ab") as f:
        f.write(b"".join(recs))


def rotate(folder: Path, first: bytes, keep: int = 3):
    """The daemon's rotation: every file one number up, the one beyond the count dropped, a new file 1."""
    for k in sorted((int(p.name[9:]) for p in folder.glob("wifi_log_*")), reverse=True):
        (folder / f"wifi_log_{k}").unlink() if k >= keep else (folder / f"wifi_log_{k}").rename(folder / f"wifi_log_{k + 1}")
    (folder / "wifi_log_1").write_bytes(first)


def hold(proc, stop: bool):
    os.kill(proc.pid, signal.SIGSTOP if stop else signal.SIGCONT)
    state = lambda: Path(f"/proc/{proc.pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    wait_until(lambda: (state() == "T") == stop, "follower held or let go", 10)


W = {n: rec("w", n) for n in range(40)}
B = {n: rec("b", n) for n in range(40)}


@pytest.mark.parametrize("case, wifi_first, first_out, news", [
    ("shrink_then_append", [W[1], W[3], W[5][:20]], [W[1], W[3], B[2], B[4], B[6]], [rec("w", 7, 40)]),
    ("new_folder", None, [B[2], B[4], B[6]], [W[7], W[9], W[11]]),
    ("empty_folder", [], [B[2], B[4], B[6]], [W[7], W[9], W[11]]),
    ("two_rotations_behind", [W[1]], [W[1], B[2], B[4], B[6]], [W[7], W[9], W[11]]),
    ("merge_last_n", [W[1], W[3], W[5]], [W[5], B[6]], [W[7], B[8]]),
    ("compressing_rotation", [W[1], W[3]], [W[1], W[3], B[2], B[4], B[6]], [W[5], W[7], W[9]]),
])
def test_follow_loses_and_repeats_nothing(tmp_path, case, wifi_first, first_out, news):
    """The follower is held still while the files change behind its back."""
    wifi, bfg = tmp_path / "wifi_log", tmp_path / "bfg_log"
    append(bfg.mkdir() or bfg / "bfg_log_1", B[2], B[4], B[6])
    if wifi_first is not None:
        append(wifi.mkdir() or wifi / "wifi_log_1", *wifi_first)
    follower = Follower("--raw", "--root", tmp_path, *(["--merge", "-n", 2] if case == "merge_last_n" else []))
    try:
        want = data(*first_out)
        follower.wait_for(len(want))
        hold(follower.proc, True)
        if case == "shrink_then_append":  # the daemon's restart: the cut record trimmed, a longer one appended
            os.truncate(wifi / "wifi_log_1", len(W[1] + W[3]))
            append(wifi / "wifi_log_1", *news)
        elif case == "merge_last_n":
            append(wifi / "wifi_log_1", W[7])
            append(bfg / "bfg_log_1", B[8])
        elif case == "compressing_rotation":  # the file read rotated and compressed: the same bytes, a new inode
            append(wifi / "wifi_log_1", W[5])
            (wifi / "wifi_log_1").rename(wifi / "wifi_log_2")
            append(wifi / "wifi_log_1", W[7])
            subprocess.run(["zstd", "-q", "--check", wifi / "wifi_log_2", "-o", wifi / "wifi_log_2.zst.tmp"], check=True)
            (wifi / "wifi_log_2.zst.tmp").rename(wifi / "wifi_log_2.zst")
            (wifi / "wifi_log_2").unlink()
            append(wifi / "wifi_log_1", W[9])
        else:  # the new file 1 filled and rotated twice
            append(wifi.mkdir(exist_ok=True) or wifi / "wifi_log_1", W[7])
            rotate(wifi, W[9])
            rotate(wifi, W[11])
        hold(follower.proc, False)
        want += data(*news)
        follower.wait_for(len(want))
        # one descriptor for the file being read, however many rotations;
        # at a switch of files the old one may still be open for a moment
        fd_count = lambda: len(os.listdir(f"/proc/{follower.proc.pid}/fd"))
        fds = fd_count()
        for n in range(12, 40 if case == "two_rotations_behind" else 12):
            rotate(wifi, W[n])
            want += data(W[n])
            follower.wait_for(len(want))
        wait_until(lambda: fd_count() <= fds, "no descriptor left behind by the rotations", 10)
    finally:
        out = follower.stop()
    assert out == want


def test_follow_shows_the_journals_events_as_they_come(tmp_path):
    root = synthetic_root(tmp_path, {"wifi_log/wifi_log_1": record(b"A", (*AT, 100))},
                          "2026-12-09 10:00:00.050 wifi capture-started f\n")
    shown = "2026-12-09 10:00:00.050 wifi -- capture-started f --\n2026-12-09 10:00:00.100 wifi   19 A\n"
    follower = Follower("--root", root)
    try:
        follower.wait_for(len(shown))
        with open(root / "oam_events", "a") as journal:
            journal.write("2026-12-09 10:00:01.000 wifi lost 3 records: no space, 10:00:00.500 to 10:00:01.000\n")
        shown += "2026-12-09 10:00:00.500 wifi -- 3 records lost: no space --\n"
        follower.wait_for(len(shown))
    finally:
        out = follower.stop()
    assert out.decode() == shown


def test_follow_reads_a_file_1_cut_back_below_what_was_read_from_the_start(tmp_path):
    root = synthetic_root(tmp_path, {"wifi_log/wifi_log_1": b"".join(record(b"old %d" % i, (*AT, i))
                                                                     for i in range(3))}, "")
    follower = Follower("--json", "--root", root)
    try:
        follower.wait_for(1)
        wait_until(lambda: len(follower.wait_for(1).splitlines()) == 3, "the old records", 10)
        (root / "wifi_log/wifi_log_1").write_bytes(record(b"new", (*AT, 9)))
        wait_until(lambda: len(follower.wait_for(1).splitlines()) == 4, "the new record", 10)
    finally:
        out = lines_of(follower.stop())
    assert [base64.b64decode(o["data"]) for o in out] == [b"old 0", b"old 1", b"old 2", b"new"]
    # Its cursor names the new content, as a reader of it from the start does.
    assert out[-1]["cursor"] == lines_of(oamlog("--json", "--root", root).stdout)[0]["cursor"]


# Cursor ------------------------------------------------------------------------


def cursor_root(tmp_path: Path) -> Path:
    """Two cores of two files, 120 records of 1000 bytes each (more than a
    pipe holds), and a journal of three events among them."""
    files = {}
    for core, folder, prefix, first in (("w", "wifi_log", "wifi_log_", 0), ("b", "bfg_log", "bfg_log_", 1)):
        for k, start in ((2, 0), (1, 60)):
            files[f"{folder}/{prefix}{k}"] = b"".join(
                record(f"{core}{n:03d}".encode().ljust(1000, b"."), (2026, 12, 9, 10, n // 60, n % 60, first))
                for n in range(start, start + 60, 2))
    journal = "".join(f"2026-12-09 10:{m:02d}:00.500+0100 {what}\n"
                      for m, what in ((0, "oam start version 1.0.0"), (0, "wifi capture-started f"),
                                      (1, "bfg rotated f")))
    return synthetic_root(tmp_path / "log", files, journal)


def lines_of(out: bytes) -> list[dict]:
    return [json.loads(line) for line in out.splitlines()]


def positions(cursor: str) -> dict[str, str]:
    """A cursor's positions by name."""
    head, *entries = cursor.strip().split(";")
    assert head == "oc1", cursor
    return {entry.split(":", 1)[0]: entry for entry in entries}


@pytest.mark.parametrize("end", ["files", "last_n", "sigint", "sigterm", "closed_pipe", "sigterm_unread_pipe"])
def test_the_cursor_file_names_the_last_entries_written_however_the_output_ends(tmp_path, end):
    root = cursor_root(tmp_path)
    cursor = tmp_path / "state" / "cursor"
    cursor.parent.mkdir()
    args = ["--json", "--merge", "--root", root, "--cursor-file", cursor]
    everything = lines_of(oamlog("--json", "--merge", "--root", root).stdout)
    if end in ("files", "last_n"):
        written = lines_of(oamlog(*args, *(["-n", "5"] if end == "last_n" else [])).stdout)
    elif end in ("sigint", "sigterm"):
        follower = subprocess.Popen([*oamsim.exec_prefix(), str(OAMLOG), "-f", *map(str, args)],
                                    stdout=subprocess.PIPE)
        written = [json.loads(follower.stdout.readline()) for _ in everything]
        # Written while it runs, within a second of the lines it names.
        wait_until(lambda: cursor.exists() and positions(cursor.read_text())["wifi"] ==
                   positions([o for o in written if o.get("core") == "wifi"][-1]["cursor"])["wifi"],
                   "the cursor of the lines written", 10)
        follower.send_signal(signal.SIGINT if end == "sigint" else signal.SIGTERM)
        assert follower.wait(10) == 0 and follower.stdout.read() == b""
    elif end == "closed_pipe":
        reader = subprocess.Popen([*oamsim.exec_prefix(), str(OAMLOG), *map(str, args)], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
        # Half of it read: the writes of more than a pipe holds went through.
        written = [json.loads(reader.stdout.readline()) for _ in everything[:len(everything) // 2]]
        reader.stdout.close()
        assert reader.wait(10) == 2 and reader.stderr.read() == b"oamlog: standard output: Broken pipe\n"
    else:
        # Stopped while it waits on a full pipe nobody reads: it ends all the
        # same, and what was in the pipe is whole lines but for the last.
        reader = subprocess.Popen([*oamsim.exec_prefix(), str(OAMLOG), *map(str, args)], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
        held = lambda: struct.unpack("i", fcntl.ioctl(reader.stdout.fileno(), termios.FIONREAD, b"\0" * 4))[0]
        wait_until(lambda: held() >= 65536, "a full pipe", 10)
        reader.send_signal(signal.SIGTERM)
        assert reader.wait(10) == 2
        written = lines_of(reader.stdout.read().rsplit(b"\n", 1)[0])
    kept = positions(cursor.read_text())
    # A second reader goes on right behind each position, -n aside: with
    # what the first one wrote, every entry once (a closed pipe took what it
    # held, and what went into it before the last write that failed is
    # named).
    again = lines_of(oamlog(*args, "-n", "1").stdout)
    cut = end in ("closed_pipe", "sigterm_unread_pipe")
    assert cut == bool(again)
    for name in ("wifi", "bfg", "journal"):
        of = lambda objs: [o for o in objs if ("event" in o) == (name == "journal") and
                           (name == "journal" or o["core"] == name)]
        whole = of(everything)
        at = [positions(o["cursor"])[name] for o in whole].index(kept[name]) if name in kept else -1
        assert of(again) == whole[at + 1:], name
        if not cut:
            assert of(written) == whole[len(whole) - len(of(written)):at + 1] and at == len(whole) - 1, name
        else:
            assert of(written) == whole[:len(of(written))] and (at >= 0 or end != "closed_pipe"), name


def test_a_position_the_files_no_longer_hold_is_told_once_and_the_oldest_kept_follows(tmp_path):
    root = cursor_root(tmp_path)
    cursor = tmp_path / "cursor"
    args = ["--json", "--root", root, "--core", "wifi", "--cursor-file", cursor]
    before = lines_of(oamlog(*args).stdout)
    # Rotated twice while no reader ran, the budget took both files read.
    folder = root / "wifi_log"
    (folder / "wifi_log_2").unlink()
    (folder / "wifi_log_1").rename(folder / "wifi_log_3")
    (folder / "wifi_log_3").unlink()
    (folder / "wifi_log_2").write_bytes(record(b"w200", (2026, 12, 9, 10, 5, 0, 0)))
    (folder / "wifi_log_1").write_bytes(record(b"w201", (2026, 12, 9, 10, 5, 1, 0)))
    proc = oamlog(*args)
    told, *after = lines_of(proc.stdout)
    assert told == {"time": "2026-12-09T10:01:58.000+01:00", "utc": "2026-12-09T09:01:58.000Z", "core": "wifi",
                    "event": "unread", "detail": "removed before it was read, up to 2026-12-09T10:05:00.000+01:00",
                    "cursor": before[-1]["cursor"]}
    assert [base64.b64decode(o["data"]) for o in after] == [b"w200", b"w201"]
    assert proc.stderr.decode() == ("oamlog: wifi: the cursor's file (stamped 2026-12-09 10:01:58.000) is no longer "
                                    "kept: what was stored after it and before 2026-12-09 10:05:00.000 was removed "
                                    "before it was read\n")
    # Told once: the next reader goes on from w201.
    assert oamlog(*args).stdout == b""
