"""The Wi-Fi log road end to end: the netlink channel to the Wi-Fi driver,
the receiver thread, the mirror to the PC tool and the numbered log files,
driven through the virtual chip with the unmodified daemon.

Most tests need to know when the receiver has dealt with everything sent so
far.  `settle` sends a message whose length field is 0: the receiver drops it
with a line of its own, and since it handles messages one after the other,
every earlier message has been mirrored and stored by the time that line
appears.
"""

from __future__ import annotations

import datetime as dt
import os
import re
import shutil
import socket
import stat
import struct
import threading
import time
import zoneinfo
from dataclasses import dataclass
from pathlib import Path

import pytest

import oamsim
from startup_support import line, start_with_shim

WIFI_DIR = "/vendor/log/wifi_log/"
WIFI_LOG_1 = WIFI_DIR + "wifi_log_1"
BFG_LOG_1 = "/vendor/log/bfg_log/bfg_log_1"
ME_LOG_1 = "/vendor/log/me_log/bfg_log_1"
SIZE_LIMIT = 10 * 1024 * 1024  # a user build's file size, whatever the INI says
RECORD_HDR = 18
DATA_MAX = 2029  # the longest accepted message is 2045 bytes: 16 of header
NL_HDR = struct.Struct("=IHHII")
CMD_HDR = struct.Struct("=II")


def ini(**keys) -> str:
    return "[HOST_PLAT]\n" + "".join(f"{key}={value}\n" for key, value in keys.items())


WIFI_ON = ini(log_switch_device_wifi=1)


# A whole diagnostic line with this message, whatever function and line.
said = line


def messages(oam) -> list[str]:
    """The message parts of the daemon's diagnostic lines, in order."""
    return re.findall(r"^\[\w+:\d+\](.*)$", oam.stdout, re.M)


def assert_in_order(msgs: list[str], expected: list[str]):
    it = iter(msgs)
    missing = [text for text in expected if not any(m == text for m in it)]
    assert not missing, f"not found in this order: {missing!r}; messages: {msgs[-40:]!r}"


DROPPED = re.compile(r"^\[\w+:\d+\]netlink recv NULL package\.\.\.;errno:.*,len is (\d+)$", re.M)
# The barrier of `settle`: a length field of 0, printed as 0 - 16 unsigned.
SETTLE_LEN = 2**32 - 16
SETTLED = re.compile(r"^\[\w+:\d+\]netlink recv NULL package\.\.\.;errno:.*,len is %d$" % SETTLE_LEN, re.M)


def settle(chip, oam, start: int = 0, timeout: float = 10.0) -> int:
    """Waits until the receiver has handled every message sent before;
    returns the output offset behind the barrier's drop line."""
    chip.send_wifi_log(b"", length=0)
    return oam.wait_stdout(SETTLED, timeout, start=start).end()


# The last step of start-up on the main thread prints one of these.
STARTED = re.compile(r"^\[\w+:\d+\](read ini cfg fail: ini_plat_dfr_cfg_str = \w+|node is not open|"
                     r"plat dfr and beatTimer timeOut reset cfg set (sucess|error))$", re.M)


def wait_ready(chip, oam) -> int:
    """Waits until start-up is over: the main thread's last step has printed
    (so every earlier line is in the captured output too) and each dump
    thread waits on its node (so none is still opening one when a test ends
    the daemon).  Returns the output offset behind the start-up line."""
    pos = oam.wait_stdout(STARTED, 10).end()
    cores = ("wifi", "bfgx", "me") if oamsim.has_me_core(chip.model) else ("wifi", "bfgx")
    for core in cores:
        chip.wait_dump_wait(oamsim.platform.CORE_EXCP_NODE[core])
    return pos


def start(chip, args=()):
    oam = chip.start_daemon(args=list(args))
    chip.wait_hello()
    wait_ready(chip, oam)
    return oam


def wait_until(check, what: str, timeout: float = 5.0):
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(0.005)


def connect_tool(oam, start: int = 0) -> tuple[socket.socket, int]:
    """Connects a PC tool to the daemon's port; returns it once the daemon
    serves it (and mirrors to it), with the output offset behind that."""
    tool = socket.create_connection(("127.0.0.1", oam.vtl_port), timeout=5)
    pos = oam.wait_stdout(said("oam_sock_recv:: entry"), start=start).end()
    return tool, pos


def recv_exactly(sock: socket.socket, count: int) -> bytes:
    data = bytearray()
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        assert chunk, f"tool connection ended after {len(data)} of {count} bytes"
        data += chunk
    return bytes(data)


# Records ---------------------------------------------------------------------

@dataclass
class Record:
    length: int
    stamp: tuple
    payload: bytes


def records(data: bytes) -> list[Record]:
    """Splits a log file into its records; every byte must belong to one."""
    out = []
    off = 0
    while off < len(data):
        assert len(data) - off >= RECORD_HDR, f"torn record header at offset {off}"
        assert data[off] == 0xAA and data[off + 1] == 0, f"no record marker at offset {off}"
        length = data[off + 2] | data[off + 3] << 8
        assert RECORD_HDR < length <= 2048 and off + length <= len(data), f"bad length {length} at {off}"
        out.append(Record(length, struct.unpack_from("<7H", data, off + 4), data[off + RECORD_HDR:off + length]))
        off += length
    return out


def payloads_of(chip, path: str) -> list[bytes]:
    return [rec.payload for rec in records(chip.read_file(path))]


def _host_zone() -> dt.tzinfo:
    # The sandbox clears the environment, so the daemon's local time is the
    # zone of /etc/localtime whatever TZ the test runner has.
    try:
        with open("/etc/localtime", "rb") as f:
            return zoneinfo.ZoneInfo.from_file(f)
    except (OSError, ValueError):
        return dt.timezone.utc


ZONE = _host_zone()


def local_ms(t: float) -> dt.datetime:
    d = dt.datetime.fromtimestamp(t, ZONE).replace(tzinfo=None)
    return d.replace(microsecond=d.microsecond // 1000 * 1000)


def stamp_time(rec: Record) -> dt.datetime:
    year, month, day, hour, minute, second, ms = rec.stamp
    assert ms <= 999, rec.stamp
    return dt.datetime(year, month, day, hour, minute, second, ms * 1000)


def assert_stamped_within(recs: list[Record], t0: float, t1: float):
    lo, hi = local_ms(t0), local_ms(t1)
    times = [stamp_time(rec) for rec in recs]
    assert all(lo <= t <= hi for t in times), (lo, times, hi)
    assert times == sorted(times)


def filler(n: int) -> bytes:
    block = bytes(range(256))
    return (block * (n // 256 + 1))[:n]


# The channel --------------------------------------------------------------------


@pytest.mark.chip(model="zr4002", ini=WIFI_ON)
def test_hello_greets_the_driver_once_with_the_exact_32_bytes(chip):
    oam = chip.start_daemon()
    hello = chip.wait_hello()
    wait_ready(chip, oam)
    assert hello.port == oam.pid
    assert hello.data == (NL_HDR.pack(32, 0, 0, 0, oam.pid) + CMD_HDR.pack(0, 5) + b"hello\0\0\0")

    settle(chip, oam)
    # The hello is all the driver hears from a daemon without a tool.
    assert [ev.data for ev in chip.events("netlink")] == [hello.data]
    assert_in_order(messages(oam), [" inter oam_netlink_create", " socket over", " bind over",
                                    " Netlink Sending message 32 bytes....", "oam_pthread_create:: entry"])
    assert "oam_netlink_recv_pthread" in messages(oam)
    oam.terminate()
    assert oam.wait() == 0


@pytest.mark.chip(model="zr4002", ini=WIFI_ON)
def test_messages_of_17_to_2045_bytes_become_exact_records(chip):
    oam = start(chip)
    sent = [b"\x5a", filler(DATA_MAX), bytes(range(256)), b"\0" * 40]
    t0 = time.time()
    for data in sent:
        chip.send_wifi_log(data)
    # The length field rules: bytes behind the message it states are not data.
    chip.send_wifi_log(b"keep" + b"trailing", length=20)
    settle(chip, oam)
    t1 = time.time()

    stored = chip.read_file(WIFI_LOG_1)
    recs = records(stored)
    assert [rec.payload for rec in recs] == sent + [b"keep"]
    assert [rec.length for rec in recs] == [19, 2047, 274, 58, 22]
    assert stored[:4] == b"\xaa\x00\x13\x00" and stored[19:23] == b"\xaa\x00\xff\x07"
    assert_stamped_within(recs, t0, t1)

    # The directory was made at start-up under mask 0, the file after it under 003.
    assert stat.S_IMODE(os.stat(chip.host_path(WIFI_DIR)).st_mode) == 0o775
    assert stat.S_IMODE(os.stat(chip.host_path(WIFI_LOG_1)).st_mode) == 0o664
    oam.terminate()
    assert oam.wait() == 0


@pytest.mark.chip(model="zr4002", ini=WIFI_ON)
def test_messages_outside_17_to_2045_bytes_are_dropped_with_their_data_length(chip):
    oam = start(chip)
    cases = [
        (NL_HDR.pack(16, 0, 0, 0, 0), 0),                           # no data
        (NL_HDR.pack(2046, 0, 0, 0, 0) + filler(2030), 2030),        # one byte too many
        (NL_HDR.pack(2116, 0, 0, 0, 0) + filler(2100), 2100),        # longer than one receive takes
        (NL_HDR.pack(2016, 0, 0, 0, 0) + b"x" * 10, 2000),           # length beyond the bytes that came
        (NL_HDR.pack(5, 0, 0, 0, 0) + b"y" * 10, 2**32 - 11),        # length inside the header
        (b"\x13\x00\x00", 3),                                        # 3 bytes whose length field says 19
    ]
    at = 0
    for raw, _ in cases:
        # Each one first of its pass: received into the work buffer, which
        # the longest must not overrun.
        chip.send_netlink_raw(raw)
        at = settle(chip, oam, at)
    chip.send_wifi_log(b"kept")
    settle(chip, oam, at)

    assert [int(m.group(1)) for m in DROPPED.finditer(oam.stdout)] == \
        [m for _, n in cases for m in (n, SETTLE_LEN)] + [SETTLE_LEN]
    assert payloads_of(chip, WIFI_LOG_1) == [b"kept"]
    assert "recv < 0" not in messages(oam)
    oam.terminate()
    assert oam.wait() == 0


@pytest.mark.parametrize("switch, stored", [("0", False), (None, False), ("-1", False), ("5", True)],
                         ids=["off", "missing", "negative", "above-max"])
def test_the_log_switch_decides_whether_messages_are_stored(chip_factory, switch, stored):
    keys = {} if switch is None else {"log_switch_device_wifi": switch}
    chip = chip_factory(model="zr4002", ini=ini(**keys))
    oam = start(chip)
    for data in (b"first", b"second"):
        chip.send_wifi_log(data)
    settle(chip, oam)
    assert payloads_of(chip, WIFI_LOG_1) == ([b"first", b"second"] if stored else [])
    oam.terminate()
    assert oam.wait() == 0


@pytest.mark.chip(model="zr4002", ini=ini(log_switch_device_wifi=0))
def test_the_tool_gets_the_bare_data_of_valid_messages_even_with_the_switch_off(chip):
    oam = start(chip, ["test"])
    tool, pos = connect_tool(oam)
    with tool:
        sent = [b"\x01", b"the tool sees this", filler(DATA_MAX)]
        chip.send_wifi_log(sent[0])
        chip.send_wifi_log(b"dropped", length=2046)
        chip.send_wifi_log(sent[1])
        chip.send_wifi_log(b"short", length=3)
        chip.send_wifi_log(sent[2])
        assert recv_exactly(tool, sum(map(len, sent))) == b"".join(sent)
        settle(chip, oam, pos)
        tool.setblocking(False)
        with pytest.raises(BlockingIOError):
            tool.recv(1)
        assert chip.read_file(WIFI_LOG_1) == b""
    oam.terminate()
    assert oam.wait() == 0


@pytest.mark.chip(model="zr4002", ini=WIFI_ON)
def test_without_a_tool_messages_are_stored_and_the_receiver_never_waits_for_the_tool_lock(chip):
    # In test mode the tool loop holds the client lock all through its
    # accept: the receiver must store past it, and mirror nothing of it later.
    oam = start(chip, ["test"])
    oam.wait_stdout(said("accept is start"))
    before = [b"no tool yet %d" % i for i in range(300)]
    for data in before:
        chip.send_wifi_log(data)
    pos = settle(chip, oam)
    assert payloads_of(chip, WIFI_LOG_1) == before

    tool, pos = connect_tool(oam, pos)
    with tool:
        chip.send_wifi_log(b"first for the tool")
        assert recv_exactly(tool, 18) == b"first for the tool"
        settle(chip, oam, pos)
    assert payloads_of(chip, WIFI_LOG_1) == before + [b"first for the tool"]
    oam.terminate()
    assert oam.wait() == 0


RCVBUF = re.compile(r"^\[\w+:\d+\]netlink receive buffer (\d+) bytes \(asked for (\d+)\)$", re.M)
LOST = re.compile(r"^\[\w+:\d+\]wifi log messages lost: netlink receive buffer overrun, (\d+) overruns so far$",
                  re.M)


@pytest.mark.parametrize("size", ["64", "mixed"])
def test_a_driver_burst_of_5000_messages_at_line_rate_is_stored_complete_and_in_order(chip_factory, size):
    chip = chip_factory(model="zr4002", ini=WIFI_ON)
    oam = start(chip)
    # The receive buffer is asked for once, before the receiver runs; the
    # machine running the tests lets root have it whole (the kernel doubles it).
    got, asked = map(int, RCVBUF.search(oam.stdout).groups())
    assert asked == 8 << 20 and (got >= asked or os.geteuid() != 0)
    t0 = time.time()
    # As a driver sends: without waiting, so a full buffer would drop them.
    sent = chip.wifi_load(5000, size=size)
    settle(chip, oam, timeout=30)
    t1 = time.time()
    assert sent["refused"] == 0 and sent["sent"] == 5000

    recs = records(chip.read_file(WIFI_LOG_1))
    assert [rec.payload for rec in recs] == [oamsim.payload(i, 0, size) for i in range(5000)]
    assert_stamped_within(recs, t0, t1)
    assert "recv < 0" not in messages(oam) and not LOST.search(oam.stdout)
    assert len(DROPPED.findall(oam.stdout)) == 1
    oam.terminate()
    assert oam.wait() == 0


@pytest.mark.chip(model="zr4002", ini=ini(log_switch_device_wifi=1, log_rcvbuf_device_wifi=1))
def test_an_overrun_of_a_small_receive_buffer_is_told_and_storing_goes_on_at_once(chip):
    oam = start(chip)
    got, asked = map(int, RCVBUF.search(oam.stdout).groups())
    assert asked == 1024 and got < 8192
    load = chip.wifi_load(3000, size="1500")
    assert load["refused"] > 0 and load["overruns"] >= 1
    # Told at once, then at most once a second.
    assert oam.wait_stdout(LOST).group(1) == "1"
    for i in range(50):
        chip.send_wifi_log(b"after %02d" % i)
    settle(chip, oam)

    stored = payloads_of(chip, WIFI_LOG_1)
    check = oamsim.check_stream(stored[:-50], 0, "1500")
    # What the kernel took is stored whole and in order; only refused ones are missing.
    assert check.clean and check.stored == load["sent"]
    assert stored[-50:] == [b"after %02d" % i for i in range(50)]
    assert 1 <= len(LOST.findall(oam.stdout)) <= load["overruns"]
    assert "recv < 0" not in messages(oam)

    # A storm of a hundred more is told in at most two lines, the whole
    # count carried by a message once the second is over.
    total = struct.unpack("<Q", chip.overrun_path.read_bytes()[:8])[0] + 100
    with open(chip.overrun_path, "r+b") as counter:
        counter.write(struct.pack("<Q", total))
    pos = at = len(oam.stdout)
    deadline = time.monotonic() + 10
    while not re.search(rf"\]wifi log messages lost: .*, {total} overruns so far\n", oam.stdout[pos:]):
        assert time.monotonic() < deadline, "the held-back overruns were never told"
        at = settle(chip, oam, at)
        time.sleep(0.05)
    assert len(LOST.findall(oam.stdout, pos)) <= 2
    oam.terminate()
    assert oam.wait() == 0
    # The journal counts the messages the kernel dropped, from the socket's
    # own counter; the emulated channel has none, and the overruns are
    # counted instead, as said.
    journal = chip.read_file("/vendor/log/oam_events").decode()
    fallback = bool(oamsim.exec_prefix())
    unit, cause = ("overruns", "receive buffer overrun, no drop counter") if fallback else (
        "records", "receive buffer full, dropped by the kernel")
    counts = re.findall(rf"^\S+ \S+ wifi lost (\d+) {unit}: {cause}, \S+ to \S+$", journal, re.M)
    assert sum(map(int, counts)) == (total if fallback else 3000 - check.stored), journal
    assert ("wifi drop counter not readable in /proc/net/netlink: losses counted as overruns"
            in messages(oam)) == fallback


@pytest.mark.chip(model="zr4002", ini=ini(log_switch_device_wifi=1, log_rcvbuf_device_wifi=1))
def test_drops_behind_one_overrun_are_journalled_before_a_dump_that_follows(chip):
    """The kernel tells one overrun and goes on dropping until the queue is
    empty: the counter is read again then, so the whole congestion stands
    in the journal before anything that follows it."""
    if oamsim.exec_prefix():
        pytest.skip("the emulated channel has no drop counter")
    oam = start(chip)
    # One congestion: every message after the first refused is dropped
    # behind the same overrun.  A receiver that kept up with a whole burst
    # (the scheduler may run it after every message) met none, or one that
    # drained much of it met a short one: again (every congestion is told).
    refused = 0
    for _ in range(20):
        load = chip.wifi_load(300, size="1500", drops_behind=300)
        refused += load["refused"]
        if load["overruns"] == 1 and load["refused"] > 200:
            break
    assert load["overruns"] == 1 and load["refused"] > 200
    settle(chip, oam)
    if not chip.exists("/vendor/log/memdump"):
        chip.host_path("/vendor/log/memdump").mkdir()
    chip.dump("qvwifiexcp", 0, [100] * len(oamsim.dump_files("wifi", "zr4002")))
    journal = lambda: chip.read_file("/vendor/log/oam_events").decode()
    wait_until(lambda: " wifi dump-saved " in journal(), "the dump saved")
    before, after = journal().split(" wifi dump-reported ", 1)
    kernel = r"^\S+ \S+ wifi lost (\d+) records: receive buffer full, dropped by the kernel, (\S+) to (\S+)$"
    assert sum(int(n) for n, _, _ in re.findall(kernel, before, re.M)) == refused, before
    assert not re.search(kernel, after, re.M)
    oam.terminate()
    assert oam.wait() == 0


# The store seen end to end ------------------------------------------------------

OLD_LEN = SIZE_LIMIT - 2 * 19  # two one-byte records fill it exactly


def _numbered_files() -> dict:
    files = {WIFI_LOG_1: filler(OLD_LEN), WIFI_DIR + "wifi_log_old": b"never moved"}
    files.update({f"{WIFI_DIR}wifi_log_{k}": b"old %d" % k for k in range(2, 26)})
    return files


@pytest.mark.chip(model="zr4002", files=_numbered_files(),
                  ini=ini(log_switch_device_wifi=1, log_size_device_wifi=1, log_num_device_wifi=3))
def test_reaching_10_mib_moves_every_file_up_and_starts_a_new_file_1(chip):
    chip.host_path(WIFI_DIR + "wifi_log_26").mkdir()  # a directory: neither counted nor moved
    oam = start(chip)
    msgs = messages(oam)
    # The INI's 1 KiB is in force only while file 1 is opened: the large file
    # is reopened, and nothing renamed since no file has been counted yet.
    assert WIFI_LOG_1 + " log file beyond size=1024Byte, creat new file" in msgs
    assert "wifi_log_ log num : 26" in msgs
    assert "is user type, wifi device log set to 10240KB" in msgs
    assert chip.read_file(WIFI_DIR + "wifi_log_2") == b"old 2"
    assert chip.read_file(WIFI_DIR + "wifi_log_25") == b"old 25"
    old = chip.read_file(WIFI_LOG_1)
    assert len(old) == OLD_LEN

    chip.send_wifi_log(b"a")
    pos = settle(chip, oam)
    assert len(chip.read_file(WIFI_LOG_1)) == SIZE_LIMIT - 19
    assert chip.read_file(WIFI_DIR + "wifi_log_2") == b"old 2"

    chip.send_wifi_log(b"b")  # file 1 is now exactly at the limit: full
    chip.send_wifi_log(b"c")
    settle(chip, oam, pos)
    oam.wait_stdout(said(WIFI_LOG_1 + " log file beyond size=10485760Byte, creat new file"), start=pos)

    second = chip.read_file(WIFI_DIR + "wifi_log_2")
    assert second[:OLD_LEN] == old
    assert [rec.payload for rec in records(second[OLD_LEN:])] == [b"a", b"b"]
    assert payloads_of(chip, WIFI_LOG_1) == [b"c"]
    for k in range(3, 26):
        assert chip.read_file(f"{WIFI_DIR}wifi_log_{k}") == b"old %d" % (k - 1), k
    assert chip.read_file(WIFI_DIR + "wifi_log_old") == b"never moved"
    assert chip.host_path(WIFI_DIR + "wifi_log_26").is_dir()
    assert sorted(chip.listdir(WIFI_DIR)) == sorted([f"wifi_log_{k}" for k in range(1, 27)] + ["wifi_log_old"])
    assert stat.S_IMODE(os.stat(chip.host_path(WIFI_LOG_1)).st_mode) == 0o664
    oam.terminate()
    assert oam.wait() == 0


def tzif(hours: int) -> bytes:
    """A zone file of a fixed offset from UTC, without transitions."""
    header = b"TZif" + bytes(16) + struct.pack(">6l", 0, 0, 0, 0, 1, 4)
    return header + struct.pack(">lBB", hours * 3600, 0, 0) + b"ZON\0"


def next_second():
    now = int(time.time())
    while int(time.time()) == now:
        time.sleep(0.01)


@pytest.mark.skipif(not os.path.exists("/etc/localtime"), reason="no zone file to stand in for")
@pytest.mark.chip(model="zr4002", ini=WIFI_ON, localtime=tzif(5))
def test_time_stamps_follow_a_change_of_the_time_zone_while_running(chip):
    oam = start(chip)
    pos = 0
    for hours, text in ((5, b"zone one"), (-3, b"zone two")):
        if hours != 5:
            chip.set_localtime(tzif(hours))
            next_second()  # the zone is looked at again when the second changes
        t0 = time.time()
        chip.send_wifi_log(text)
        pos = settle(chip, oam, pos)
        t1 = time.time()
        rec = records(chip.read_file(WIFI_LOG_1))[-1]
        assert rec.payload == text
        zone = dt.timezone(dt.timedelta(hours=hours))
        lo, hi = (dt.datetime.fromtimestamp(t, zone).replace(tzinfo=None) for t in (t0, t1))
        assert lo.replace(microsecond=lo.microsecond // 1000 * 1000) <= stamp_time(rec) <= hi, (lo, rec.stamp, hi)
    oam.terminate()
    assert oam.wait() == 0


@pytest.mark.parametrize("removed", ["file", "directory"])
def test_a_removed_current_file_is_recreated_within_101_records(chip_factory, removed):
    chip = chip_factory(model="zr4002", ini=WIFI_ON)
    oam = start(chip)
    for i in range(5):
        chip.send_wifi_log(b"before %d" % i)
    pos = settle(chip, oam)
    if removed == "file":
        chip.host_path(WIFI_LOG_1).unlink()
    else:
        shutil.rmtree(chip.host_path(WIFI_DIR))

    after = [b"after %03d" % i for i in range(101)]
    for data in after:
        chip.send_wifi_log(data)
    pos = settle(chip, oam, pos)
    # The records before the existence check went to the removed file; from
    # the check on, each one is in the new file 1.
    assert chip.exists(WIFI_LOG_1)
    kept = payloads_of(chip, WIFI_LOG_1)
    assert kept and kept == after[len(after) - len(kept):]

    chip.send_wifi_log(b"later")
    settle(chip, oam, pos)
    assert payloads_of(chip, WIFI_LOG_1) == kept + [b"later"]
    assert "write wifi log file err" not in oam.stdout
    assert stat.S_IMODE(os.stat(chip.host_path(WIFI_LOG_1)).st_mode) == 0o664
    if removed == "directory":
        # Made again by the running daemon, under its mask 003.
        assert stat.S_IMODE(os.stat(chip.host_path(WIFI_DIR)).st_mode) == 0o774
        assert_in_order(messages(oam), ["open /vendor/log/wifi_log/wifi_log_1 failed;errno:No such file or directory",
                                        "dir /vendor/log/wifi_log/ not exist,create success!"])
    oam.terminate()
    assert oam.wait() == 0


# Failures and the stop ----------------------------------------------------------


# A tool frame for the Wi-Fi driver: destination byte 0, length 13 in bytes 4-5.
TOOL_WIFI_FRAME = bytes([0x7E, 1, 0, 0, 13, 0, 0, 0]) + b"ping!"


@pytest.mark.thread_heavy
@pytest.mark.parametrize("channel", ["open", "socket", "bind"],
                         ids=["channel-open", "socket-fails", "bind-fails"])
def test_the_stop_joins_the_wifi_receiver_only_when_the_channel_opened(chip_factory, fail_shim, channel):
    chip = chip_factory(model="zr4002", ini=ini(log_switch_device_wifi=1, log_switch_device_bfg=1))
    if channel == "open":
        oam = chip.start_daemon(args=["test"])
    else:
        oam = start_with_shim(chip, fail_shim, {"OAMTEST_NL_FAIL": channel}, ["test"])
    wait_ready(chip, oam)
    pos = oam.wait_stdout(said("accept is start")).end()

    # Everything but the Wi-Fi log goes on: the bfg log and the dump waits.
    chip.wait_open("qvbfgdbg")
    chip.send_chunk("qvbfgdbg", b"bfg goes on")
    wait_until(lambda: chip.read_file(BFG_LOG_1).endswith(b"bfg goes on"), "the bfg record")
    assert payloads_of(chip, BFG_LOG_1) == [b"bfg goes on"]
    chip.wait_dump_wait("qvwifiexcp")

    tool, pos = connect_tool(oam, pos)
    with tool:
        mark = chip.mark()
        tool.sendall(TOOL_WIFI_FRAME)
        if channel == "open":
            ev = chip.wait_event("netlink", pred=lambda ev: ev.nl.cmd_type == 1, after=mark)
            assert ev.data == NL_HDR.pack(40, 0, 0, 0, oam.pid) + CMD_HDR.pack(1, 13) + TOOL_WIFI_FRAME + b"\0" * 3
        else:
            oam.wait_stdout(said(" netlink not opened"), start=pos)
    pos = oam.wait_stdout(said("accept is start"), start=pos).end()

    # A failing accept ends the tool loop and runs the orderly stop.
    chip.accept_fail("ECONNABORTED")
    with socket.create_connection(("127.0.0.1", oam.vtl_port), timeout=5):
        assert oam.wait() == 0

    msgs = messages(oam)
    # The stop's wake-up ends the blocked receive: not a failed one.
    assert "recv < 0" not in msgs
    if channel == "open":
        assert_in_order(msgs, ["enter oam vexa main() exit!", "oam-wifi-recv-pthread is over ",
                               "wifi pthread is over ", "oam_pthread_kill:: entry"])
        after_join = msgs[msgs.index("wifi pthread is over ") + 2]
        assert re.fullmatch(r"thread\(ID:0x[0-9a-f]+\) is inexistent", after_join), after_join
    else:
        opening = (["create netlink failed!:Protocol not supported"] if channel == "socket"
                   else [" socket over", "bind() < 0"])
        assert_in_order(msgs, [" inter oam_netlink_create", *opening, "netlink create failed"])
        for absent in (" bind over", "oam_netlink_recv_pthread", "wifi pthread is over ",
                       "oam-wifi-recv-pthread is over "):
            assert absent not in msgs
        assert not chip.events("netlink")
    assert_in_order(msgs, ["enter oam vexa main() exit!", "bfg read() is over ", "oam vexa main() closed over!"])


@pytest.mark.thread_heavy
@pytest.mark.chip(model="zr4005", ini=ini(log_switch_device_wifi=1, log_switch_device_bfg=1,
                                          log_switch_device_me=1))
def test_sigterm_in_the_middle_of_a_burst_ends_cleanly_with_whole_records(chip):
    oam = start(chip, ["test"])
    tool, _ = connect_tool(oam)
    mirrored = bytearray()

    def read_tool():
        try:
            while chunk := tool.recv(65536):
                mirrored.extend(chunk)
        except OSError:
            pass

    reader = threading.Thread(target=read_tool, daemon=True)
    reader.start()

    # Self-delimiting messages, so that the tool's byte stream can be cut
    # back into the messages of the three receivers.
    wifi = [b"<W%06d%s>" % (i, b"w" * ((i * 37) % 200)) for i in range(40000)]
    bfg = [b"<B%06d%s>" % (i, b"b" * (i % 300)) for i in range(400)]
    me = [b"<M%06d%s>" % (i, b"m" * (i % 300)) for i in range(400)]
    chip.wait_open("qvbfgdbg")
    chip.wait_open("qvmeoam")
    chip.send_chunks("qvbfgdbg", bfg)
    chip.send_chunks("qvmeoam", me)

    sent: list[bytes] = []

    def send_burst():
        for data in wifi:
            try:
                chip.send_wifi_log(data)
            except OSError:  # the daemon is gone
                return
            sent.append(data)

    sender = threading.Thread(target=send_burst, daemon=True)
    sender.start()
    wait_until(lambda: len(mirrored) >= 100_000, "the burst to be under way", 10)
    assert oam.terminate()
    assert oam.wait(15) == 0
    sender.join(15)
    reader.join(5)
    tool.close()
    assert 0 < len(sent) < len(wifi), "the burst was over before the signal"

    msgs = messages(oam)
    assert_in_order(msgs, ["main closed!", "main closed finished!"])
    assert msgs.count("main closed!") == 1 and msgs.count("main closed finished!") == 1

    # Each core's file holds whole records, a prefix of what its driver sent.
    for path, chunks in ((WIFI_LOG_1, sent), (BFG_LOG_1, bfg), (ME_LOG_1, me)):
        stored = payloads_of(chip, path)
        assert stored == chunks[:len(stored)], path
    assert payloads_of(chip, WIFI_LOG_1)

    # The mirror sends each message whole; only the very last one may have
    # been cut by the stop.
    stream = bytes(mirrored)
    tokens = re.findall(rb"<[WBM]\d{6}[wbm]*>", stream)
    whole = b"".join(tokens)
    assert stream.startswith(whole) and len(stream) - len(whole) < 2048
    for tag, chunks in ((b"<W", sent), (b"<B", bfg), (b"<M", me)):
        got = [t for t in tokens if t.startswith(tag)]
        assert got == chunks[:len(got)], tag
    assert "ERROR: " not in oam.stderr
