"""What the node-log, tool and driver-command tests share: the daemon's
diagnostic lines, its start-up, a tool connected the way the daemon serves
it, and the records of its log files."""

from __future__ import annotations

import struct
import time
from dataclasses import dataclass

import startup_support
from oamsim.tool import VtlTool, frame  # noqa: F401 - re-exported for the tests
from startup_support import ALL_LOGS_ON, line  # noqa: F401 - re-exported for the tests

DFR_KEYS = "plat_dfr_enable=1\nplat_dfr_beatTimer_timeOut_reset_enable=0\n"
INI_ALL = "[HOST_PLAT]\n" + ALL_LOGS_ON + DFR_KEYS

RECORD_HDR = 18


def ini(*lines: str, **keys) -> str:
    """A [HOST_PLAT] section from raw lines and key=value pairs."""
    body = "".join(f"{line}\n" for line in lines) + "".join(f"{k}={v}\n" for k, v in keys.items())
    return "[HOST_PLAT]\n" + body


def count(proc, message: str, start: int = 0) -> int:
    """How many output lines (from offset `start`) carry exactly `message`."""
    return len(line(message).findall(proc.stdout[start:]))


def wait_line(proc, message: str, start: int = 0, timeout: float = 5.0) -> int:
    """Waits for a line with `message` at or after `start`; returns the offset
    behind it."""
    return proc.wait_stdout(line(message), timeout, start).end()


def wait_accepting(proc, start: int = 0, timeout: float = 5.0) -> int:
    """Waits until the daemon waits for a tool; returns the offset of that
    line, for connect_tool."""
    return proc.wait_stdout(line("accept is start"), timeout, start).start()


def wait_started(proc, timeout: float = 10.0) -> int:
    """Waits until start-up is over; returns the offset behind its last line."""
    return startup_support.wait_started(proc, timeout).end()


def start(chip, args=(), **kw):
    """Starts the daemon and waits until its start-up is over."""
    oam = chip.start_daemon(args=list(args), **kw)
    wait_started(oam)
    return oam


def connect_tool(oam, start: int = 0, **tool_args) -> tuple[VtlTool, int]:
    """Connects a tool once the daemon waits for one and returns it with the
    output offset from which its session runs.  The daemon prints "accept is
    over" while it still holds the client lock, so the tool counts as served
    (chunks are mirrored to it) only once its first receive has begun."""
    at = wait_line(oam, "accept is start", start)
    tool = VtlTool(**{"port": oam.vtl_port, **tool_args})
    at = wait_line(oam, "accept is over", at)
    at = wait_line(oam, "oam_sock_recv:: entry", at)
    return tool, at


def send_frame(oam, tool: VtlTool, data: bytes, start: int) -> int:
    """Sends bytes that the daemon receives in one call and waits until it
    has handled them and waits for the next frame; returns the offset
    behind that."""
    tool.send(data)
    at = wait_line(oam, f"oam_sock_recv: recv VTL data, len={len(data)}", start)
    return wait_line(oam, "oam_sock_recv:: entry", at)


@dataclass
class Record:
    length: int
    stamp: tuple
    payload: bytes


def records(data: bytes, growing: bool = False) -> list[Record]:
    """Splits a log file into its records, checking each header.  With
    `growing`, a record the daemon is still writing at the end is left out."""
    out, pos = [], 0
    while pos < len(data):
        if growing and len(data) - pos < RECORD_HDR:
            break
        assert data[pos:pos + 2] == b"\xaa\x00", f"no record marker at {pos}: {data[pos:pos + 4].hex()}"
        length = struct.unpack_from("<H", data, pos + 2)[0]
        if growing and pos + length > len(data):
            break
        assert RECORD_HDR < length and pos + length <= len(data), f"bad record length {length} at {pos}"
        stamp = struct.unpack_from("=7H", data, pos + 4)
        out.append(Record(length, stamp, data[pos + RECORD_HDR:pos + length]))
        pos += length
    return out


def payloads(chip, path: str, growing: bool = False) -> list[bytes]:
    """Payloads of the records in a log file (none when it does not exist)."""
    if not chip.exists(path):
        return []
    return [rec.payload for rec in records(chip.read_file(path), growing)]


def wait_until(check, what: str, timeout: float = 5.0, step: float = 0.005):
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(step)


def wait_payloads(chip, path: str, n: int, timeout: float = 5.0) -> list[bytes]:
    """Waits until the log file holds at least `n` records; returns their
    payloads."""
    def enough():
        found = payloads(chip, path, growing=True)
        return found if len(found) >= n else None
    return wait_until(enough, f"{n} records in {path}", timeout)


BFG_LOG = "/vendor/log/bfg_log/bfg_log_1"
ME_LOG = "/vendor/log/me_log/bfg_log_1"
WIFI_LOG = "/vendor/log/wifi_log/wifi_log_1"
