"""Crash memory dumps end to end: the daemon waits on the exception nodes,
reads a reported dump region by region into its fixed files and packs them
into a dated .tar.gz, keeping ten archives per dump type.

The daemon runs without a mode option here: the dump side does not need the
debug-tool server, so these tests leave TCP port 3333 alone."""

from __future__ import annotations

import base64
import errno
import gzip
import json
import os
import re
import struct
import subprocess
import tarfile
import threading
import time

import pytest

import oamsim
from oamsim import Empty, ReadError
from startup_support import line

DUMP_DIR = oamsim.MEMDUMP_DIR
WIFI, BFGX, ME = oamsim.NODE_WIFI_EXCP, oamsim.NODE_BFGX_EXCP, oamsim.NODE_ME_EXCP
CORE_NODE = {"wifi": WIFI, "bfgx": BFGX, "me": ME}
WAIT_REQUEST = {WIFI: oamsim.MEMDUMP_WIFI_IOCTL, BFGX: oamsim.MEMDUMP_BFGX_IOCTL, ME: oamsim.MEMDUMP_ME_IOCTL}
# The dump type each core's files are named after.
CORE_TYPE = {"wifi": 0, "bfgx": 2, "me": 4}

ARCHIVE_RE = re.compile(r"^(?P<prefix>readm_[a-z]+_[a-z]+)_(?P<time>\d{4}_\d\d_\d\d_\d\d_\d\d_\d\d)"
                        r"(?:\.(?P<num>\d+))?\.tar\.gz$")


# A diagnostic line "[function:line]text", whatever the line number.
msg = line


def saw(oam, text: str):
    """Waits for the diagnostic line: the output reaches the test a little
    after the daemon has moved on."""
    return oam.wait_stdout(msg(text))


def count_msg(oam, text: str) -> int:
    """Lines so far; exact only once a later line has been seen or the
    daemon has ended."""
    return len(msg(text).findall(oam.stdout))


def stop(oam):
    oam.terminate()
    assert oam.wait() == 0


def region(tag: str, size: int) -> bytes:
    """Region data that tells where it came from, so a region that lands in
    the wrong file or archive shows."""
    unit = f"<{tag}>".encode() + bytes(range(256))
    return (unit * (size // len(unit) + 1))[:size]


def start(chip, cores=("wifi", "bfgx")):
    """Starts the daemon and waits until each core's dump thread waits."""
    oam = chip.start_daemon()
    waits = {core: chip.wait_dump_wait(CORE_NODE[core]) for core in cores}
    return oam, waits


def dump_and_settle(chip, core: str, which: int, regions=(), **kw):
    """Reports one dump and returns once the thread waits for the next one,
    which it does only after the save and the archiving are over."""
    node = CORE_NODE[core]
    ev = chip.dump(node, which, regions, **kw)
    nxt = chip.wait_dump_wait(node, after=ev.seq + 1)
    return ev, nxt


def archives(chip, prefix: str | None = None) -> list[str]:
    return [n for n in chip.listdir(DUMP_DIR)
            if n.endswith(".tar.gz") and (prefix is None or n.startswith(prefix + "_"))]


def bins(chip) -> set[str]:
    return {n for n in chip.listdir(DUMP_DIR) if n.endswith(".bin")}


def archive_time(name: str) -> float:
    m = ARCHIVE_RE.match(name)
    assert m, f"bad archive name {name!r}"
    return time.mktime(time.strptime(m["time"], "%Y_%m_%d_%H_%M_%S"))


def read_archive(chip, name: str) -> dict[str, bytes]:
    """Members and their bytes, read with tarfile and cross-checked with the
    tar tool and the raw block layout (one header per member, data padded to
    512-byte blocks, two end blocks, no time or owner stored)."""
    path = chip.host_path(f"{DUMP_DIR}/{name}")
    with tarfile.open(path, "r:gz") as tf:
        infos = tf.getmembers()
        members = {m.name: tf.extractfile(m).read() for m in infos}
    for m in infos:
        assert m.isreg() and m.mode & 0o7777 == 0o666 and (m.uid, m.gid, m.mtime) == (0, 0, 0), m
    listing = subprocess.run(["tar", "tzf", str(path)], capture_output=True, text=True, check=True)
    assert sorted(listing.stdout.split()) == sorted(members) and listing.stderr == ""
    raw = gzip.decompress(path.read_bytes())
    expect = sum(512 + -(-len(data) // 512) * 512 for data in members.values()) + 1024
    assert len(raw) == expect and raw[-1024:] == bytes(1024)
    return members


def assert_dump_archived(chip, oam, core: str, model, which: int, datas: list[bytes], t0: float,
                         t1: float) -> str:
    """The core's files hold the regions, and one new archive of the dump
    type, dated within [t0, t1], holds exactly those files."""
    names = oamsim.dump_files(core, model)
    assert len(names) == len(datas)
    for name, data in zip(names, datas):
        path = f"{DUMP_DIR}/{name}"
        assert chip.read_file(path) == data, name
        assert chip.host_path(path).stat().st_mode & 0o777 == 0o664
        saw(oam, f">>>>>>>>>>>>file:{path} len:{len(data)} save ok")
    prefix = oamsim.DUMP_TYPE_PREFIX[which]
    newest = [n for n in archives(chip, prefix) if ARCHIVE_RE.match(n)["num"] is None]
    assert len(newest) == 1, archives(chip)
    # The daemon names the archive from time(), which reads the kernel's
    # coarse clock: it may lag the test's clock by a few milliseconds.
    assert int(t0 - 0.1) <= archive_time(newest[0]) <= t1
    assert read_archive(chip, newest[0]) == dict(zip(names, datas))
    st = chip.host_path(f"{DUMP_DIR}/{newest[0]}").stat()
    assert st.st_mode & 0o777 == 0o664
    if os.geteuid() == 0:
        assert (st.st_uid, st.st_gid) == (1000, 1000)
    return newest[0]


# ---------------------------------------------------------------------------


@pytest.mark.parametrize("model", ["zr4001", "zr4002", "zr4060", None], ids=lambda m: m or "unknown")
def test_each_core_dump_saved_into_model_files_and_archived(chip_factory, model):
    chip = chip_factory(model=model)
    has_me = oamsim.has_me_core(model)
    cores = ("wifi", "bfgx", "me") if has_me else ("wifi", "bfgx")
    oam, waits = start(chip, cores)
    subchip = oamsim.subchip_type(model)

    # Each thread names the model and the header width it reads.
    saw(oam, f"get sub_chiptype {subchip}, choose len:{2 if model == 'zr4001' else 4}")
    # The zr4060 starts a second Wi-Fi thread, which then stands by.
    pos = 0
    for _ in range(2 if model == "zr4060" else 1):
        pos = oam.wait_stdout(msg("memdump wifi rotate pthread create"), start=pos).end()
    assert count_msg(oam, "memdump wifi rotate pthread create") == (2 if model == "zr4060" else 1)
    for core, ev in waits.items():
        assert ev.request == WAIT_REQUEST[CORE_NODE[core]] and ev.in_value == 6
        assert chip.wait_open(CORE_NODE[core]).mode == "rw"
    if not has_me:
        saw(oam, "zr400x ignore me thread create")

    sizes = (700, 2500, 1024, 1, 4100)
    seen = set()
    for core in cores:
        which = CORE_TYPE[core]
        datas = [region(f"{core}{i}", sizes[i]) for i in range(len(oamsim.dump_files(core, model)))]
        t0 = time.time()
        ev, nxt = dump_and_settle(chip, core, which, datas)
        t1 = time.time()
        assert_dump_archived(chip, oam, core, model, which, datas, t0, t1)
        # The dump type stays in the wait's int until the driver writes it.
        assert nxt.in_value == which and nxt.conn == ev.conn
        seen |= set(oamsim.dump_files(core, model))
        assert bins(chip) == seen
        saw(oam, f"===memdump rotate begin:which={which}")

    assert sorted(ARCHIVE_RE.match(n)["prefix"] for n in archives(chip)) == sorted(
        oamsim.DUMP_TYPE_PREFIX[CORE_TYPE[c]] for c in cores)
    # On the zr4060 the second Wi-Fi thread stands by: the node is opened once.
    assert len(chip.events("open", WIFI)) == 1
    assert len(chip.events("open", ME)) == int(has_me)
    stop(oam)


@pytest.mark.parametrize("model,nodes,me_thread", [
    ("zr4003", oamsim.ALL_NODES, False),
    ("zr4070", oamsim.ALL_NODES, True),
    ("zr4005", tuple(n for n in oamsim.ALL_NODES if n != oamsim.NODE_ME), False),
])
def test_me_dump_thread_only_with_an_me_core_and_its_log_node(chip_factory, model, nodes, me_thread):
    chip = chip_factory(model=model, nodes=nodes)
    oam, _ = start(chip)
    if me_thread:
        ev = chip.wait_dump_wait(ME)
        assert ev.request == oamsim.MEMDUMP_ME_IOCTL and ev.in_value == 6
        datas = [region("me0", 3000), region("me1", 0)]
        t0 = time.time()
        dump_and_settle(chip, "me", 4, datas)
        assert_dump_archived(chip, oam, "me", model, 4, datas, t0, time.time())
    elif oamsim.has_me_core(model):
        oam.wait_stdout(msg("open me inode failed;errno:No such file or directory"))
    else:
        oam.wait_stdout(msg("zr400x ignore me thread create"))
    stop(oam)
    assert count_msg(oam, "memdump me rotate pthread create") == int(me_thread)
    assert bool(chip.events("open", ME)) == me_thread


@pytest.mark.chip(model="zr4001")
def test_empty_region_split_header_and_odd_chunks(chip):
    """bfgx on the zr4001 reads 2-byte headers; a header may come in two
    reads, data in pieces of any size, and a region may be empty."""
    oam, _ = start(chip)
    datas = [region("nfc", 258), b"", region("bt", 1536)]
    stream = oamsim.dump_stream(datas, 2, chunk=333)
    hdr = stream.pop(0)
    assert hdr == struct.pack("=H", 258)
    stream[0:0] = [hdr[:1], hdr[1:]]
    t0 = time.time()
    dump_and_settle(chip, "bfgx", 2, stream=stream)
    name = assert_dump_archived(chip, oam, "bfgx", "zr4001", 2, datas, t0, time.time())
    empty = f"{DUMP_DIR}/readm_bfgx_uart_fgb_stack.bin"
    saw(oam, f">>>>>>>>>>>>[read total len]:0,file:{empty}")
    saw(oam, "[read] data:258")

    # The same on a 4-byte header, split 3 + 1, on the Wi-Fi node.
    datas = [region("panic", 0), region("l2", 4097), region("pkt", 1)]
    stream = oamsim.dump_stream(datas, 4, chunk=1000)
    stream[1:2] = [stream[1][:3], stream[1][3:]]
    t0 = time.time()
    dump_and_settle(chip, "wifi", 0, stream=stream)
    assert_dump_archived(chip, oam, "wifi", "zr4001", 0, datas, t0, time.time())
    assert name in archives(chip)
    stop(oam)


@pytest.mark.chip(model="zr4005")
def test_empty_and_failed_reads_tolerated_up_to_300_in_a_row(chip):
    oam, _ = start(chip)
    datas = [region("itcm", 1500), region("dtcm", 600)]
    h0, h1 = (struct.pack("=I", len(d)) for d in datas)
    # Failed reads count as misses; the count starts again after every read
    # that brings data, so 200 and then 300 misses are both survived.
    stream = [Empty(200), h0, datas[0][:1024], Empty(150), ReadError(errno.EIO), Empty(149), datas[0][1024:],
              h1, datas[1]]
    t0 = time.time()
    dump_and_settle(chip, "bfgx", 2, stream=stream)
    first = assert_dump_archived(chip, oam, "bfgx", "zr4005", 2, datas, t0, time.time())

    # A driver that stops in the middle of a region: the 301st miss ends the
    # save; what was read stays in the file, nothing is archived, and the
    # thread waits for the next dump.
    again = [region("new0", 100), region("new1", 2000)]
    stream = [struct.pack("=I", 100), again[0], struct.pack("=I", 2000), again[1][:1024], Empty(301)]
    _, nxt = dump_and_settle(chip, "bfgx", 2, stream=stream)
    oam.wait_stdout(re.compile(rf"^\[\w+:\d+\]read retry max time:300,dev:/dev/{BFGX},fd:\d+,len:0$", re.M))
    paths = oamsim.dump_paths("bfgx", "zr4005")
    assert chip.read_file(paths[0]) == again[0]
    assert chip.read_file(paths[1]) == again[1][:1024]
    assert archives(chip) == [first]
    assert read_archive(chip, first) == dict(zip(oamsim.dump_files("bfgx", "zr4005"), datas))
    assert nxt.in_value == 2
    stop(oam)
    assert count_msg(oam, f">>>>>>>>>>>>file:{paths[1]} len:2000 save ok") == 0
    assert count_msg(oam, "===memdump rotate begin:which=2") == 1
    assert oam.stdout.count("read retry max time") == 1


@pytest.mark.chip(model="zr4002")
def test_reported_dump_type_picks_the_archive(chip):
    oam, _ = start(chip)
    files = oamsim.dump_files("wifi", "zr4002")

    # Types above 5 (6 is the value before any dump) and below 0 save the
    # files but archive nothing.
    for n, which in enumerate((6, 7, -1)):
        datas = [region(f"t{which}r{i}", 100 + n) for i in range(len(files))]
        _, nxt = dump_and_settle(chip, "wifi", which, datas)
        assert [chip.read_file(f"{DUMP_DIR}/{f}") for f in files] == datas
        assert nxt.in_value == which
    assert archives(chip) == []

    # Type 1 shares no name prefix with any dump file: an archive of its own
    # name with no member, only the end blocks.
    t0 = time.time()
    dump_and_settle(chip, "wifi", 1, [b"x"] * len(files))
    (name,) = archives(chip)
    assert name.startswith("readm_wifi_uart_") and int(t0 - 0.1) <= archive_time(name) <= time.time()
    assert read_archive(chip, name) == {}
    assert gzip.decompress(chip.read_file(f"{DUMP_DIR}/{name}")) == bytes(1024)
    assert bins(chip) == set(files)
    stop(oam)
    assert re.findall(r"memdump rotate begin:which=(-?\d+)", oam.stdout) == ["1"]
    # None of them had a region file of its type: none is said to be saved.
    journal = chip.read_file("/vendor/log/oam_events").decode()
    assert re.findall(r"^\S+ \S+ wifi (dump-\w+) (.*)$", journal, re.M) == \
        [("dump-reported", "unknown"), ("dump-failed", "unknown: no region file")] * 3 + \
        [("dump-reported", "readm_wifi_uart"), ("dump-failed", "readm_wifi_uart: no region file")]


OLD_BFGX = "readm_bfgx_uart_2020_01_01_00_00_00.12.tar.gz"
OTHER_TYPE = "readm_bfgx_sdio_2020_01_01_00_00_00.tar.gz"
STALE_ME = "readm_me_uart_gcpu_itcm_mem.bin"


@pytest.mark.chip(model="zr4005", files={f"{DUMP_DIR}/{OLD_BFGX}": b"twelve", f"{DUMP_DIR}/{OTHER_TYPE}": b"sdio",
                                         f"{DUMP_DIR}/{STALE_ME}": b"stale"})
def test_eleven_dumps_leave_ten_numbered_archives(chip):
    oam, _ = start(chip)
    files = oamsim.dump_files("bfgx", "zr4005")
    t0 = time.time()
    for n in range(1, 12):
        dump_and_settle(chip, "bfgx", 2, [region(f"dump{n}", 40 + n), region(f"d{n}", 600)])
    t1 = time.time()

    mine = archives(chip, "readm_bfgx_uart")
    numbers = sorted(int(ARCHIVE_RE.match(a)["num"] or 0) for a in mine if a != OLD_BFGX)
    assert numbers == list(range(10)), mine
    # The newest has no number; the number grows with age; the first dump's
    # archive is gone.  Archives made within one second share their time.
    for a in mine:
        if a == OLD_BFGX:
            continue
        k = int(ARCHIVE_RE.match(a)["num"] or 0)
        assert int(t0 - 0.1) <= archive_time(a) <= t1
        n = 11 - k
        assert read_archive(chip, a) == {files[0]: region(f"dump{n}", 40 + n), files[1]: region(f"d{n}", 600)}, a
    # Numbers of 10 and above are counted but never renamed or deleted; other
    # dump types and their files are left alone.
    assert chip.read_file(f"{DUMP_DIR}/{OLD_BFGX}") == b"twelve"
    assert chip.read_file(f"{DUMP_DIR}/{OTHER_TYPE}") == b"sdio"
    assert chip.read_file(f"{DUMP_DIR}/{STALE_ME}") == b"stale"
    assert len(archives(chip)) == 12
    stop(oam)
    # Reported at every renumbering; the first dump found no archive of its
    # own to move (the newest's number was free).
    assert count_msg(oam, f"!@file_name:{OLD_BFGX} does not fit") == 10


@pytest.mark.chip(model="zr4002", memdump_dir=False)
def test_missing_dump_directory_is_reported_not_created(chip):
    oam, _ = start(chip)
    first = f"{DUMP_DIR}/{oamsim.dump_files('wifi', 'zr4002')[0]}"
    _, nxt = dump_and_settle(chip, "wifi", 0, stream=[])
    oam.wait_stdout(msg(f"open file {first} error"))
    assert chip.exists(oamsim.LOG_ROOT_DIR) and not chip.exists(DUMP_DIR)

    # Once the platform has made the folder, the next dump goes through.
    chip.host_path(DUMP_DIR).mkdir()
    datas = [region(f"w{i}", 300 * (i + 1)) for i in range(4)]
    t0 = time.time()
    dump_and_settle(chip, "wifi", 0, datas, after=nxt.seq)
    assert_dump_archived(chip, oam, "wifi", "zr4002", 0, datas, t0, time.time())
    stop(oam)
    assert oam.stdout.count("save ok") == 4 and oam.stdout.count("memdump rotate begin") == 1


@pytest.mark.chip(model="zr4005")
def test_failed_dump_wait_is_retried_after_five_seconds(chip):
    """The one test that lives through the daemon's 5 s wait retry; the
    other cores keep taking dumps meanwhile."""
    chip.fail_ioctl(oamsim.MEMDUMP_BFGX_IOCTL, errno.EIO, count=1)
    oam = chip.start_daemon()
    failed = chip.wait_event("ioctl_done", BFGX, lambda ev: ev.errno == errno.EIO)
    datas = [region("w0", 10), region("w1", 20)]
    t0 = time.time()
    dump_and_settle(chip, "wifi", 0, datas)
    assert_dump_archived(chip, oam, "wifi", "zr4005", 0, datas, t0, time.time())

    retry = chip.wait_dump_wait(BFGX, after=failed.seq + 1, timeout=8)
    assert 4.8 <= retry.t - failed.t < 6.5
    assert retry.in_value == 6 and retry.conn == failed.conn
    assert len(chip.events("ioctl", BFGX)) == 2
    datas = [region("b0", 2000), region("b1", 1)]
    t0 = time.time()
    dump_and_settle(chip, "bfgx", 2, datas)
    assert_dump_archived(chip, oam, "bfgx", "zr4005", 2, datas, t0, time.time())
    stop(oam)


# Nine older archives of each core's dump type, so that every rotation below
# renumbers ten files and deletes one while the others list the folder.
OLD_TIME = "2020_01_01_00_00_00"
SEEDED = {f"{DUMP_DIR}/{oamsim.DUMP_TYPE_PREFIX[t]}_{OLD_TIME}{'' if k == 0 else f'.{k}'}.tar.gz": b"old %d" % k
          for t in (0, 2, 4) for k in range(9)}


@pytest.mark.thread_heavy
@pytest.mark.chip(model="zr4060", files=SEEDED, ini="[HOST_PLAT]\nlog_switch_device_wifi=1\n"
                  "log_switch_device_bfg=1\nlog_switch_device_me=1\n")
def test_three_cores_crash_at_once_while_logs_flow(chip):
    """All dump threads save, renumber and archive at the same time in the
    one dump folder and working directory, beside the three log receivers:
    no archive loses a member to another type's renaming."""
    oam, _ = start(chip, ("wifi", "bfgx", "me"))
    chip.wait_hello()
    chip.wait_open(oamsim.NODE_BFG_DBG)
    chip.wait_open(oamsim.NODE_ME)

    done = threading.Event()

    def logs():
        n = 0
        while not done.is_set() and n < 1000:
            chip.send_wifi_log(b"wifi log %d" % n)
            chip.send_chunks(oamsim.NODE_BFG_DBG, [b"bfg log %d" % n])
            chip.send_chunks(oamsim.NODE_ME, [b"me log %d" % n])
            n += 1
            time.sleep(0.001)

    feeder = threading.Thread(target=logs)
    feeder.start()
    plans = []
    try:
        for rnd in range(3):
            plan = {core: [region(f"{rnd}{core}{i}", 1000 + 517 * i + 300 * rnd)
                           for i in range(len(oamsim.dump_files(core, "zr4060")))]
                    for core in ("wifi", "bfgx", "me")}
            plans.append(plan)
            t0 = time.time()
            evs = {core: chip.dump(CORE_NODE[core], CORE_TYPE[core], datas) for core, datas in plan.items()}
            for core, ev in evs.items():
                chip.wait_dump_wait(CORE_NODE[core], after=ev.seq + 1)
                # One Wi-Fi thread watches the node; the other stands by.
                assert len(chip.pending_dump_waits(WIFI)) == 1
            t1 = time.time()
            for core, datas in plan.items():
                assert_dump_archived(chip, oam, core, "zr4060", CORE_TYPE[core], datas, t0, t1)
    finally:
        done.set()
        feeder.join()
    chip.wait_consumed(oamsim.NODE_BFG_DBG)
    chip.wait_consumed(oamsim.NODE_ME)

    for core in ("wifi", "bfgx", "me"):
        prefix = oamsim.DUMP_TYPE_PREFIX[CORE_TYPE[core]]
        by_num = {int(ARCHIVE_RE.match(a)["num"] or 0): a for a in archives(chip, prefix)}
        assert len(archives(chip, prefix)) == 10 and sorted(by_num) == list(range(10)), archives(chip, prefix)
        files = oamsim.dump_files(core, "zr4060")
        for k in (1, 2):
            assert read_archive(chip, by_num[k]) == dict(zip(files, plans[2 - k][core]))
        # The seeded archives moved up by three; the three oldest are gone.
        for k in range(3, 10):
            assert by_num[k] == f"{prefix}_{OLD_TIME}.{k}.tar.gz"
            assert chip.read_file(f"{DUMP_DIR}/{by_num[k]}") == b"old %d" % (k - 3)
    assert len(chip.events("open", WIFI)) == 1
    stop(oam)


def stamped(data: bytes, when: float) -> bytes:
    t = time.localtime(when)
    stamp = (t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 0)
    return struct.pack("<BBH7H", 0xAA, 0, 18 + len(data), *stamp) + data


# Stamped when the module is imported, which may be minutes before the test
# runs: an hour back, read with a day of --before.
WELL_BEFORE = b"".join(stamped(b"well before %d" % i, time.time() - 3600 + i) for i in range(5))


@pytest.mark.chip(model="zr4002", ini="[HOST_PLAT]\nlog_switch_device_wifi=1\n",
                  files={"/vendor/log/wifi_log/wifi_log_1": WELL_BEFORE})
def test_a_dump_is_listed_and_its_window_holds_the_logs_that_led_to_it(chip):
    """`oamlog --dumps` lists the archive; `oamlog --dump` gives the records
    of the 30 seconds before the dump was reported, with its events, and
    none of the records stored an hour earlier."""
    from test_oamlog import oamlog
    oam, _ = start(chip, ("wifi",))
    sent = [b"before the crash %02d" % i for i in range(20)]
    for data in sent:
        chip.send_wifi_log(data)
    datas = [region(f"w{i}", 500 + i) for i in range(len(oamsim.dump_files("wifi", "zr4002")))]
    dump_and_settle(chip, "wifi", 0, datas)
    (name,) = archives(chip)
    root = chip.host_path("/vendor/log")
    listed = oamlog("--root", root, "--dumps").stdout.decode()
    assert re.fullmatch(rf"  # archive +size ctx state\n -1 {re.escape(name)} +[0-9.]+K? +no complete\n", listed), listed
    (row,) = map(json.loads, oamlog("--root", root, "--dumps", "--json").stdout.splitlines())
    assert (row["core"], row["type"], row["members"], row["state"], row["damaged_member"], row["archive"]) == \
        ("wifi", "readm_wifi_sdio", len(datas), "complete", None, name)
    rows = oamlog("--root", root, "--dump", "--json").stdout.decode().splitlines()  # the latest
    shown = [json.loads(row) for row in rows]
    assert [base64.b64decode(r["data"]) for r in shown if "data" in r] == sent
    # The dump's own events, in their order; where the start-up's lines of
    # the same moment stand among them is the stamps' affair (seen under
    # emulation: a report stamped before capture-started).
    events = [r["event"] for r in shown if r.get("event", "").startswith(("dump-", "archive-"))]
    assert events == ["dump-reported", "dump-saved", "archive-written"], shown
    text = oamlog("--root", root, "--dump", name).stdout.decode()
    assert " wifi -- dump-reported readm_wifi_sdio --\n" in text and b"well before" not in text.encode()
    assert b"well before 4" in oamlog("--root", root, "--dump", name, "--before", 86400).stdout
    stop(oam)


def picked_root(tmp_path):
    """Four dumps five minutes apart, each with one record a second before
    its report: A readm_wifi_sdio (renumbered), B readm_bfgx_uart, C
    readm_wifi_uart, D readm_wifi_sdio."""
    from test_oamlog import record, synthetic_root
    files, journal = {}, []
    for n, (tag, kind) in enumerate(zip("ABCD", ("wifi_sdio", "bfgx_uart", "wifi_uart", "wifi_sdio"))):
        minute = 5 * n
        name = f"readm_{kind}_2026_12_09_10_{minute:02d}_00.tar.gz"
        files[f"memdump/{name.replace('.tar', '.1.tar') if tag == 'A' else name}"] = gzip.compress(b"\0" * 1024)
        files["wifi_log/wifi_log_1"] = files.get("wifi_log/wifi_log_1", b"") + record(
            b"before " + tag.encode(), (2026, 12, 9, 9 + (minute + 59) // 60, (minute + 59) % 60, 59, 0))
        journal += [f"2026-12-09 10:{minute:02d}:00.{ms:03d}+0000 wifi {event}\n" for ms, event in (
            (0, f"dump-reported readm_{kind}"), (100, f"dump-saved readm_{kind}"), (200, f"archive-written {name}"))]
    return synthetic_root(tmp_path, files, "".join(journal))


@pytest.mark.parametrize("args, picked", [
    (["--dump", "last"], "D"), (["--dump", "-1"], "D"), (["--dump", "-2"], "C"), (["--dump=0"], "A"),
    (["--dump", "1"], "B"), (["--dump"], "D"), (["--dump", "--until", "2026-12-09T10:12Z"], "C"),
    (["--dump", "bfg"], "B"), (["--dump", "readm_wifi_uart"], "C"), (["--dump", "sdio"], "D"),
    (["--dump", "readm_wifi_sdio_2026_12_09_10_00_00.1.tar.gz"], "A"),
    (["--dump", "{root}/wifi_log"], "D"),  # a folder to read, not the archive
    (["--dump", "wifi"], "oamlog: dump type 'wifi' is ambiguous: readm_wifi_sdio, readm_wifi_uart"),
    (["--dump", "me"], "oamlog: no dump archive of a type 'me' under {root} (oamlog --dumps lists them)"),
    (["--dump", "-5"], "oamlog: no dump -5: 4 archives under {root} (oamlog --dumps lists them)"),
    (["--dump", "--since", "2026-12-09T10:16Z"],
     "oamlog: no dump archive under {root} reported within --since and --until"),
])
def test_dump_takes_last_an_index_a_type_or_the_name(tmp_path, args, picked):
    from test_oamlog import oamlog
    root = picked_root(tmp_path)
    proc = oamlog(*[a.replace("{root}", str(root)) for a in args], "--root", root, "--json", check=False)
    if len(picked) == 1:
        shown = [json.loads(line) for line in proc.stdout.splitlines()]
        assert [base64.b64decode(r["data"]) for r in shown if "data" in r] == [b"before " + picked.encode()], proc
    else:
        message = picked.replace("{root}", f"{root}/memdump")
        assert (proc.returncode, proc.stderr.decode(), proc.stdout) == (2, message + "\n", b"")


def test_the_index_dumps_shows_is_what_dump_takes(tmp_path):
    from test_oamlog import oamlog
    root = picked_root(tmp_path)
    rows = [line.split()[:2] for line in oamlog("--root", root, "--dumps").stdout.decode().splitlines()[1:]]
    assert [index for index, _ in rows] == ["-4", "-3", "-2", "-1"] and rows[0][1].startswith("readm_wifi_sdio")
    for index, name in rows:
        assert oamlog("--root", root, "--dump", index).stdout == oamlog("--root", root, "--dump", name).stdout, index
