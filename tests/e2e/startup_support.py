"""What the start-up, stop and settings tests share: reading the daemon's
diagnostic lines, knowing when its start-up is over, what it holds open,
and the records of its log files."""

from __future__ import annotations

import os
import re
import socket
import struct
import threading
import time
from pathlib import Path

from oamsim.sandbox import default_binary, default_preload

# "[function:line]message": the message part is what the tests compare.
_PREFIXED = re.compile(r"^\[\w+:\d+\](.*)$")

# The last start-up step always prints one of these before the main thread
# settles into its idle or tool loop.
_STARTED = re.compile(r"^\[\w+:\d+\](read ini cfg fail: ini_plat_dfr_cfg_str = \w+|node is not open|"
                      r"plat dfr and beatTimer timeOut reset cfg set (sucess|error))$", re.M)

# Settings that make the two fault-recovery requests go out, so that the
# end of start-up shows on the bfg node as well.
DFR_INI = "plat_dfr_enable=1\nplat_dfr_beatTimer_timeOut_reset_enable=0\n"
ALL_LOGS_ON = "log_switch_device_wifi=1\nlog_switch_device_bfg=1\nlog_switch_device_me=1\n"

RECORD_HDR = 18


def line(message: str) -> re.Pattern:
    """A whole prefixed output line carrying exactly `message`."""
    return re.compile(r"^\[\w+:\d+\]" + re.escape(message) + "$", re.M)


def messages(proc) -> list[str]:
    """Every non-empty output line, prefixed ones reduced to their message."""
    out = []
    for raw in proc.stdout.splitlines():
        if raw:
            m = _PREFIXED.match(raw)
            out.append(m.group(1) if m else raw)
    return out


def wait_started(proc, timeout: float = 10.0):
    return proc.wait_stdout(_STARTED, timeout)


def wait_message(proc, message: str, timeout: float = 5.0, start: int = 0):
    """Waits for a line with `message` at or after offset `start`; returns
    the match (its end() is the offset for a later wait)."""
    return proc.wait_stdout(line(message), timeout, start)


def positions(msgs: list[str], expected: list) -> list[int]:
    """Indices of `expected` (texts or compiled patterns) found in `msgs` in
    that order, each after the previous one; fails naming the first one
    missing."""
    found, start = [], 0
    for want in expected:
        for i in range(start, len(msgs)):
            if (want.fullmatch(msgs[i]) if isinstance(want, re.Pattern) else msgs[i] == want):
                found.append(i)
                start = i + 1
                break
        else:
            raise AssertionError(f"{want!r} not found after message {start}; messages:\n" +
                                 "\n".join(msgs[-60:]))
    return found


def start_with_shim(chip, shim: Path, env: dict[str, str], args=()):
    """Starts the daemon with the failure shim (conftest.fail_shim) in front
    of the chip's library; `env` chooses what fails."""
    binary = default_binary().resolve()
    preload = default_preload().resolve()
    return chip.start_process([str(binary), *args], preload=[shim, preload], env=env, name="oam",
                              ro_paths=[binary], target=True)


def tcp_listen_ports(pid: int) -> set[int]:
    """TCP ports on which the process holds a listening socket."""
    inodes = set()
    fd_dir = Path(f"/proc/{pid}/fd")
    for fd in os.listdir(fd_dir):
        try:
            target = os.readlink(fd_dir / fd)
        except OSError:
            continue
        m = re.fullmatch(r"socket:\[(\d+)\]", target)
        if m:
            inodes.add(m.group(1))
    ports = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            rows = Path(table).read_text().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            if fields[3] == "0A" and fields[9] in inodes:
                ports.add(int(fields[1].rsplit(":", 1)[1], 16))
    return ports


def records(data: bytes, growing: bool = False) -> list[bytes]:
    """Payloads of the records of a log file; fails on a broken record.
    A file read while the daemon writes to it (`growing`) may end in the
    part of a record that is still being written: that tail is left out."""
    out, off = [], 0
    while off < len(data):
        if growing and len(data) - off < RECORD_HDR:
            break
        assert data[off:off + 2] == b"\xaa\x00", f"no record marker at {off}"
        (length,) = struct.unpack_from("<H", data, off + 2)
        if growing and RECORD_HDR <= length and length > len(data) - off:
            break
        assert RECORD_HDR <= length <= len(data) - off, f"bad record length {length} at {off}"
        out.append(data[off + RECORD_HDR:off + length])
        off += length
    return out


def wait_records(chip, path: str, count: int, timeout: float = 5.0) -> list[bytes]:
    """The records of a log file once it holds at least `count` of them."""
    deadline = time.monotonic() + timeout
    while True:
        found = records(chip.read_file(path), growing=True) if chip.exists(path) else []
        if len(found) >= count:
            return found
        assert time.monotonic() < deadline, f"{path}: {len(found)} of {count} records after {timeout}s"
        time.sleep(0.01)


class Tool:
    """A debug tool connected to the daemon's port that drains everything
    the daemon mirrors to it."""

    def __init__(self, port: int):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.sock.settimeout(None)
        self.data = bytearray()
        self.closed = False
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._drain, daemon=True)
        self._thread.start()

    def _drain(self):
        while True:
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                chunk = b""
            with self._cond:
                if not chunk:
                    self.closed = True
                    self._cond.notify_all()
                    return
                self.data += chunk
                self._cond.notify_all()

    def wait_for(self, pred, timeout: float = 5.0):
        with self._cond:
            if not self._cond.wait_for(lambda: pred(bytes(self.data)), timeout):
                raise AssertionError(f"tool did not receive the data in {timeout}s: {bytes(self.data[-200:])!r}")

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self._thread.join(5)


def connect_tool(oam, start: int = 0) -> Tool:
    """A tool connected once the daemon mirrors to it: the client lock is
    given back only after "accept is over" is printed, and a chunk read
    before that is, rightly, not mirrored."""
    tool = Tool(oam.vtl_port)
    accepted = wait_message(oam, "accept is over", start=start)
    wait_message(oam, "oam_sock_recv:: entry", start=accepted.end())
    return tool
