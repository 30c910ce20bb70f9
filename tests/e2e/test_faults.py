"""Faults a device really meets, injected into the real daemon on the virtual
chip: full storage, files and folders removed under it, drivers that hang or
come late, tools that vanish or crawl, and kills at any moment.  Each case
ends with what a user sees: whole records in every log file, the daemon's
lines, its exit status, the bytes on the tool's connection."""

from __future__ import annotations

import base64
import errno
import json
import os
import random
import re
import shutil
import socket
import time

import pytest

import oamsim
from test_oamlog import oamlog
from startup_support import ALL_LOGS_ON, DFR_INI, messages, positions, records, wait_message, wait_started

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


# Storage -------------------------------------------------------------------

WRITE_ERRS = {"wifi": "write wifi log file err;errno:No space left on device",
              "bfg": "write bfg log time file err;errno:No space left on device"}


def fill(chip, path: str):
    """Fills the storage holding `path` to its last page."""
    fd = os.open(chip.host_path(path), os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        while True:
            os.write(fd, bytes(4096))
    except OSError as exc:
        assert exc.errno == errno.ENOSPC, exc
    finally:
        os.close(fd)


@pytest.mark.chip(model="zr4002", ini=INI, log_tmpfs=512 * 1024)
def test_full_log_storage_loses_only_what_it_reports_and_capture_resumes(chip):
    oam = chip.start_daemon()
    wait_started(oam)
    chip.wait_dump_wait("qvwifiexcp")
    chip.host_path("/vendor/log/memdump").mkdir()
    for core in WRITE_ERRS:
        store_one(chip, core, f"{core} before".encode())
    fill(chip, "/vendor/log/filler")

    # Records are refused, each with its receiver's line, once the tail of
    # the file's last page is used up too.
    sent = {core: 2 for core in WRITE_ERRS}  # with the ones before and after
    for core, err in WRITE_ERRS.items():
        for i in range(20):
            if err in oam.stdout:
                break
            data = f"{core} full {i} ".encode() * 60
            if core == "wifi":
                chip.send_wifi_log(data)
            else:
                chip.send_chunk("qvbfgdbg", data)
            sent[core] += 1
            time.sleep(0.05)
        wait_message(oam, err)
        for i in range(5):  # refused for certain now
            store = chip.send_wifi_log if core == "wifi" else lambda d: chip.send_chunk("qvbfgdbg", d)
            store(f"{core} lost {i} ".encode())
            sent[core] += 1
    # A dump archived on the full storage leaves no archive behind.
    chip.dump("qvwifiexcp", 0, [3000] * len(oamsim.dump_files("wifi", "zr4002")))
    oam.wait_stdout(re.compile(r"^\[\w+:\d+\]write readm_wifi_sdio_[0-9_]+\.tar\.gz failed:No space left on device, "
                               r"archive removed$", re.M))
    assert not [n for n in chip.listdir("/vendor/log/memdump") if n.endswith(".tar.gz")]

    # Space comes back: storing resumes with whole records.
    os.unlink(chip.host_path("/vendor/log/filler"))
    for core in WRITE_ERRS:
        store_one(chip, core, f"{core} after".encode())
        assert stored(chip, core)[0] == f"{core} before".encode()
    all_logs_parse(chip)

    # The journal counts every record not stored, once the disk let it
    # write again, and oamlog shows the loss between the records around it.
    def lost(core):
        journal = chip.read_file("/vendor/log/oam_events").decode()
        return re.findall(rf"^\S+ \S+ {core} lost (\d+) records: no space left on device, "
                          r"\d\d:\d\d:\d\d\.\d{3}[+-]\d{4} to \d\d:\d\d:\d\d\.\d{3}[+-]\d{4}$", journal, re.M)
    for core in WRITE_ERRS:
        wait_until(lambda: sum(map(int, lost(core))) == sent[core] - len(stored(chip, core)), f"{core} losses")
    shown = [json.loads(row) for row in oamlog("--json", "--merge", "--root", chip.host_path("/vendor/log")).stdout.splitlines()]
    for core in WRITE_ERRS:
        kept = stored(chip, core)
        counts = lost(core)
        assert sent[core] - len(kept) > 0
        mine = [row for row in shown if row["core"] == core]
        at = [i for i, row in enumerate(mine) if row.get("event") == "lost"]
        assert [mine[i]["cause"] for i in at] == ["no space left on device"] * len(counts)
        assert sum(mine[i]["count"] for i in at) == sent[core] - len(kept)
        data = [base64.b64decode(row.get("data", "")) for row in mine]
        assert [d for i, d in enumerate(data) if "data" in mine[i]] == kept
        # After the record stored before the disk ran full, before the one after.
        assert data.index(f"{core} before".encode()) < at[0] and at[-1] < data.index(f"{core} after".encode())
    assert oam.terminate() and oam.wait() == 0


# The stop always ends ------------------------------------------------------

STOPS = {
    "sigterm": ("main closed!", "main closed finished!"),
    "orderly": ("enter oam vexa main() exit!", "oam vexa main() closed over!"),
}


@pytest.mark.thread_heavy
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
        socket.create_connection(("127.0.0.1", oam.vtl_port), timeout=5).close()
    assert oam.wait(30) == 0
    first, last = STOPS[stop]
    for core in ("bfg", "me"):
        positions(messages(oam), [first, f"{core} receiver did not end within 2000 ms, left to the exit", last])
    assert "wifi receiver did not end" not in oam.stdout
    for core in LOGS:
        assert stored(chip, core) == [f"{core} before the stop".encode()]


@pytest.mark.thread_heavy
@pytest.mark.chip(model="zr4005", ini=INI)
def test_a_stop_ends_at_once_a_mirror_send_to_a_tool_that_stopped_reading(chip):
    oam = chip.start_daemon(args=["test"])
    wait_started(oam)
    tool = served_tool(oam, rcvbuf=4096)
    # The me receiver blocks in its send to the full connection, and the bfg
    # receiver, stopped before it, waits behind it for the send lock.
    chip.send_chunks("qvmeoam", [numbered(i) for i in range(2000)])
    with pytest.raises(oamsim.ChipTimeout):
        chip.wait_consumed("qvmeoam", timeout=0.5)
    chip.send_chunk("qvbfgdbg", b"behind the blocked send")
    chip.wait_consumed("qvbfgdbg")
    assert oam.terminate() and oam.wait() == 0
    positions(messages(oam), ["main closed!", "oam-bfg-recv-pthread is over ", "oam-me-recv-pthread is over ",
                              "main closed finished!"])
    assert "receiver did not end" not in oam.stdout
    tool.close()


# The tool is never left hanging ------------------------------------------------

def numbered(i: int) -> bytes:
    return i.to_bytes(4, "little") + bytes([i & 0xFF]) * 2026


def served_tool(oam, start: int = 0, rcvbuf: int | None = None) -> socket.socket:
    """A raw tool connection, once the daemon mirrors to it."""
    sock = socket.socket()
    if rcvbuf is not None:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    sock.connect(("127.0.0.1", oam.vtl_port))
    accepted = wait_message(oam, "accept is over", start=start)
    wait_message(oam, "oam_sock_recv:: entry", start=accepted.end())
    return sock


@pytest.mark.chip(model="zr4002", ini=INI)
def test_a_tool_reading_steadily_but_slowly_is_not_dropped(chip):
    oam = chip.start_daemon(args=["test"])
    wait_started(oam)
    tool = served_tool(oam, rcvbuf=65536)
    chunks = [numbered(i) for i in range(2500)]
    chip.send_chunks("qvbfgdbg", chunks)
    # A tool that takes 32 KiB every half second, far slower than the chip
    # sends and than the daemon's send buffer would drain, but never
    # stopping; then it catches up.
    got = bytearray()
    tool.settimeout(10)
    for _ in range(12):
        time.sleep(0.5)
        want = len(got) + 32768
        while len(got) < want:
            got += tool.recv(want - len(got))
    while len(got) < len(chunks) * 2030:
        piece = tool.recv(1 << 16)
        assert piece, "the daemon ended the connection"
        got += piece
    assert bytes(got) == b"".join(chunks)
    assert "socket is ERR" not in oam.stdout
    wait_until(lambda: len(stored(chip, "bfg")) == len(chunks), "every chunk stored")
    tool.close()
    assert oam.terminate() and oam.wait() == 0


def fd_and_thread_counts(pid: int) -> tuple[int, int]:
    return len(os.listdir(f"/proc/{pid}/fd")), len(os.listdir(f"/proc/{pid}/task"))


@pytest.mark.chip(model="zr4002", ini=INI)
def test_a_thousand_tools_coming_and_going_leave_nothing_behind(chip):
    oam = chip.start_daemon(args=["test"])
    wait_started(oam)
    at = oam.wait_stdout("]accept is start\n")
    # Every thread and descriptor in place: the dump threads wait on their
    # nodes, each wait on a connection of its own to the chip.
    for node in ("qvwifiexcp", "qvbfgexcp"):
        chip.wait_dump_wait(node)
    before = fd_and_thread_counts(oam.pid)
    for i in range(1000):
        sock = socket.create_connection(("127.0.0.1", oam.vtl_port), timeout=5)
        if i % 2:
            sock.sendall(b"\x7e\x06" + bytes(6))   # a frame of a type that is not routed
        sock.close()
        # One at a time, so that the listen backlog never overflows.
        at = oam.wait_stdout("]accept is start\n", start=at)
    assert fd_and_thread_counts(oam.pid) == before
    store_one(chip, "bfg", b"still capturing")
    assert oam.terminate() and oam.wait() == 0


def journal_losses(chip, core: str, cause: str) -> int:
    journal = chip.read_file("/vendor/log/oam_events").decode()
    return sum(map(int, re.findall(rf"^\S+ \S+ {core} lost (\d+) records: {cause}, \S+ to \S+$", journal, re.M)))


@pytest.mark.chip(ini=INI)
@pytest.mark.parametrize("planted", ["fifo", "link"])
def test_what_is_no_regular_file_at_file_1_is_never_waited_on_nor_written(chip, planted):
    """The log folders are group-writable: a FIFO or a link put at file 1
    neither holds start-up nor gets the records, which are counted lost
    until the existence check finds a file it can write."""
    target = chip.host_path("/vendor/log/elsewhere")
    target.write_bytes(b"not a log\n")
    chip.host_path("/vendor/log/bfg_log").mkdir(exist_ok=True)
    if planted == "fifo":
        os.mkfifo(chip.host_path(LOGS["bfg"]))
    else:
        os.symlink("/vendor/log/elsewhere", chip.host_path(LOGS["bfg"]))
    oam = chip.start_daemon()
    wait_started(oam)
    wait_message(oam, f"{LOGS['bfg']} is not a regular file: records not stored")
    chip.wait_open("qvbfgdbg")
    sent = [b"bfg %04d " % i * 5 for i in range(150)]
    chip.send_chunks("qvbfgdbg", sent[:20])
    chip.wait_consumed("qvbfgdbg")
    os.unlink(chip.host_path(LOGS["bfg"]))
    chip.send_chunks("qvbfgdbg", sent[20:])
    wait_until(lambda: stored(chip, "bfg")[-1:] == [sent[-1]], "the records in a new file 1")
    kept = stored(chip, "bfg")
    # Tried again only at the existence check, with the 102nd record.
    assert kept == sent[101:]
    assert target.read_bytes() == b"not a log\n"
    assert oam.terminate() and oam.wait() == 0
    assert journal_losses(chip, "bfg", "file 1 is not a regular file") == 101


@pytest.mark.chip(ini=INI)
def test_a_journal_removed_while_running_is_started_anew_with_the_losses(chip):
    oam = chip.start_daemon()
    wait_started(oam)
    chip.wait_open("qvbfgdbg")
    store_one(chip, "wifi", b"before")
    os.unlink(chip.host_path("/vendor/log/oam_events"))
    # A loss is written to a new journal, not to the removed one.
    chip.send_wifi_log(b"x" * 40, length=2000)
    store_one(chip, "wifi", b"after")
    wait_until(lambda: chip.exists("/vendor/log/oam_events") and
               journal_losses(chip, "wifi", "malformed message") == 1, "the loss in a new journal")
    # So is one removed with nothing to write: found at the existence check.
    os.unlink(chip.host_path("/vendor/log/oam_events"))
    chip.send_chunks("qvbfgdbg", [b"bfg %04d" % i for i in range(102)])
    wait_until(lambda: chip.exists("/vendor/log/oam_events"), "a new journal at the existence check")
    assert oam.terminate() and oam.wait() == 0
    assert re.search(r"^\S+ \S+ oam stop$", chip.read_file("/vendor/log/oam_events").decode(), re.M)


@pytest.mark.chip(model="zr4002", ini=INI, log_tmpfs=512 * 1024)
def test_losses_the_full_disk_keeps_from_the_journal_are_printed_at_the_stop(chip):
    oam = chip.start_daemon()
    wait_started(oam)
    store_one(chip, "wifi", b"before")
    # The journal's last page used up, so that it cannot grow either.
    journal = chip.host_path("/vendor/log/oam_events")
    pad = -journal.stat().st_size % 4096 or 4096
    with open(journal, "ab") as out:
        out.write(b"#" * (pad - 1) + b"\n")
    fill(chip, "/vendor/log/filler")
    first_err = re.compile(r"^\[\w+:\d+\]write wifi log file err;errno:No space left on device$", re.M)
    for i in range(20):
        if first_err.search(oam.stdout):
            break
        chip.send_wifi_log(f"wifi full {i} ".encode() * 60)
        time.sleep(0.05)
    wait_message(oam, WRITE_ERRS["wifi"])
    refused = len(first_err.findall(oam.stdout))
    for i in range(3):
        chip.send_wifi_log(f"wifi lost {i} ".encode() * 60)
    wait_until(lambda: len(first_err.findall(oam.stdout)) == refused + 3, "three more refused")
    assert oam.terminate() and oam.wait() == 0
    printed = re.findall(r"^\[\w+:\d+\]not in the journal: \S+ \S+ wifi lost (\d+) records: "
                         r"no space left on device, \d\d:\d\d:\d\d\.\d{3}[+-]\d{4} to \d\d:\d\d:\d\d\.\d{3}[+-]\d{4}$",
                         oam.stdout, re.M)
    assert printed and sum(map(int, printed)) == refused + 3


@pytest.mark.chip(ini=INI)
def test_log_file_then_its_folder_removed_during_capture(chip):
    oam = chip.start_daemon()
    wait_started(oam)
    chip.wait_open("qvbfgdbg")
    sent = [b"bfg %04d " % i * 10 for i in range(400)]
    chip.send_chunks("qvbfgdbg", sent[:100])
    chip.wait_consumed("qvbfgdbg")
    os.unlink(chip.host_path(LOGS["bfg"]))
    chip.send_chunks("qvbfgdbg", sent[100:250])
    chip.wait_consumed("qvbfgdbg")
    shutil.rmtree(chip.host_path("/vendor/log/bfg_log"))
    chip.send_chunks("qvbfgdbg", sent[250:])
    # The checks find file 1 gone within 101 records and start a new one.
    wait_until(lambda: stored(chip, "bfg")[-1:] == [sent[-1]], "the last record in a new file 1")
    kept = stored(chip, "bfg")
    assert kept == sent[len(sent) - len(kept):] and len(kept) >= 400 - 250 - 101
    all_logs_parse(chip)
    assert oam.terminate() and oam.wait() == 0


# Drivers that come late or crawl -------------------------------------------------

def test_exception_node_missing_at_start_is_picked_up_later(chip_factory):
    """One chip of each kind at once, as the re-open waits 30 seconds: on the
    zr4060 two threads stand ready for the Wi-Fi node, and one of them takes
    it while the other stands by."""
    chips = {model: chip_factory(model=model, ini=INI) for model in ("zr4005", "zr4060")}
    daemons = {}
    for model, chip in chips.items():
        chip.refuse_open("qvwifiexcp", errno.ENOENT)
        daemons[model] = chip.start_daemon()
    for model, chip in chips.items():
        wait_started(daemons[model])
        chip.wait_event("open", "qvwifiexcp", pred=lambda ev: ev.errno == errno.ENOENT)
        chip.allow_open("qvwifiexcp")
    for model, chip in chips.items():
        oam = daemons[model]
        chip.wait_dump_wait("qvwifiexcp", timeout=40)
        files = oamsim.dump_files("wifi", model)
        ev = chip.dump("qvwifiexcp", 0, [1000 + i for i in range(len(files))])
        chip.wait_dump_wait("qvwifiexcp", after=ev.seq + 1)
        assert [n for n in chip.listdir("/vendor/log/memdump") if n.endswith(".tar.gz")]
        assert len(chip.pending_dump_waits("qvwifiexcp")) == 1
        assert oam.terminate() and oam.wait() == 0


@pytest.mark.chip(ini=INI)
def test_dump_data_arriving_slowly_after_its_header_is_saved_whole(chip):
    """Empty reads after each piece of data: more than 300 in all, but the
    count starts again after every read that brings data."""
    oam = chip.start_daemon()
    wait_started(oam)
    files = oamsim.dump_files("wifi", "zr4005")
    data = [bytes([0x30 + i]) * 3000 for i in range(len(files))]
    stream = []
    for item in oamsim.chip.dump_stream(data, 4):
        stream += [item, oamsim.chip.Empty(200)]
    ev = chip.dump("qvwifiexcp", 0, stream=stream)
    chip.wait_dump_wait("qvwifiexcp", after=ev.seq + 1, timeout=30)
    for name, region in zip(files, data):
        assert chip.read_file(f"/vendor/log/memdump/{name}") == region
    assert "read retry max time" not in oam.stdout
    assert oam.terminate() and oam.wait() == 0


def test_a_stop_during_a_dump_journals_it_abandoned(chip):
    oam = chip.start_daemon()
    wait_started(oam)
    files = oamsim.dump_files("wifi", "zr4005")
    stream = []
    for item in oamsim.chip.dump_stream([3000] * len(files), 4):
        stream += [item, oamsim.chip.Empty(200)]
    chip.dump("qvwifiexcp", 0, stream=stream)
    wait_until(lambda: " wifi dump-reported " in chip.read_file("/vendor/log/oam_events").decode(), "the dump")
    assert oam.terminate() and oam.wait() == 0
    journal = chip.read_file("/vendor/log/oam_events").decode()
    assert re.findall(r"^\S+ \S+ wifi (dump-\w+) (.*)$", journal, re.M) == \
        [("dump-reported", "readm_wifi_sdio"), ("dump-abandoned", "readm_wifi_sdio at stop")]


# Kills ---------------------------------------------------------------------

def record(data: bytes) -> bytes:
    return b"\xaa\x00" + (18 + len(data)).to_bytes(2, "little") + bytes(14) + data


WHOLE = record(b"whole") * 3


@pytest.mark.chip(ini=INI, files={LOGS["wifi"]: WHOLE + record(b"cut short")[:20]})
def test_kill_at_random_moments_of_a_burst_leaves_only_whole_records(chip):
    """A write to a file can stop at a page boundary when the process is
    killed: the next start cuts such a tail off before appending, so every
    file reads record by record again (the seeded file 1 ends in one)."""
    rng = random.Random(20261208)
    for run in range(31):
        mark = chip.mark()
        oam = chip.start_daemon()
        chip.wait_hello(after=mark, timeout=10)
        all_logs_parse(chip)
        if run == 0:
            assert chip.read_file(LOGS["wifi"]) == WHOLE
            wait_message(oam, f"{LOGS['wifi']} ended in part of a record: 20 bytes cut off")
            # The run's start comes first, then what start-up found.
            journal = chip.read_file("/vendor/log/oam_events").decode()
            assert re.findall(r"^\S+ \S+ (\S+ \S+)", journal, re.M)[:2] == ["oam start", "wifi lost"]
            assert re.search(r"^\S+ \S+ wifi lost 1 records: cut short at the end of file 1 by the last stop, ",
                             journal, re.M)
        if run == 1:
            # Right behind its start, the run killed before it, from that
            # run's start line and the last line it wrote.
            lines = chip.read_file("/vendor/log/oam_events").decode().splitlines()
            killed, now = [i for i, line in enumerate(lines) if " oam start " in line][-2:]
            started = re.match(r"(\S+ \S+) oam start .*, pid (\d+), (?:boot ([0-9a-f-]+),)?", lines[killed])
            boot = f"boot {started[3]}, " if started[3] else ""
            last = " ".join(lines[now - 1].split(" ")[:2])
            assert re.fullmatch(r"\S+ \S+ " + re.escape(
                f"oam unclean-end pid {started[2]}, started {started[1]}, {boot}last line {last}, "
                "records after its last sync may be missing"), lines[now + 1]), lines[now:now + 2]
        if run == 30:
            break
        open_ev = chip.wait_open("qvbfgdbg", after=mark)
        chip.send_chunks("qvbfgdbg", [b"b%02d-%04d " % (run, i) * rng.randint(1, 200) for i in range(300)],
                         conn=open_ev.conn)
        deadline = time.monotonic() + rng.uniform(0.0, 0.3)
        i = 0
        while time.monotonic() < deadline:
            chip.send_wifi_log(b"w%02d-%05d " % (run, i) * rng.randint(2, 200))
            i += 1
        oam.kill()
        assert oam.wait() == 128 + 9
    # Across every file: a kill just after a rotation leaves file 1 empty.
    wifi = [records(chip.read_file(f"/vendor/log/wifi_log/{n}")) for n in chip.listdir("/vendor/log/wifi_log")]
    assert sum(map(len, wifi)) > 3 and stored(chip, "bfg")
    assert oam.terminate() and oam.wait() == 0
