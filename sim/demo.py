#!/usr/bin/python3
"""Runs the daemon on the virtual chip and tells what it did.

    /usr/bin/python3 sim/demo.py [--model zr4060] [--mode test] [--out demo-out]

Starts oam (OAM_BIN, default build/oam) in a sandbox under the output folder,
feeds it Wi-Fi, bfg and me log traffic (with one Wi-Fi burst that overruns a
receive buffer kept small on purpose, so that a loss shows), connects a debug
tool to its port 3333 (test mode) that receives the mirrored logs and sends
one Wi-Fi and one bfg command, lets the Wi-Fi core crash once, stops the
daemon with SIGTERM and tells the story in an 80-column terminal: what
happened, the records of every core and the journal's events on one time
line as oamlog (OAMLOG_BIN, default beside oam) reads them back, `oamlog --stats`, the crash and the logs
that led to it, the bundle to hand over, what the drivers received, and
where to look next.  The sandbox's /vendor is left in <out>/root/vendor for
inspection.
"""

from __future__ import annotations

import argparse
import os
import shutil
import socket
import struct
import subprocess
import sys
import textwrap
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import oamsim  # noqa: E402

OAMLOG = Path(os.environ.get("OAMLOG_BIN") or oamsim.default_binary().parent / "oamlog")

INI = """[HOST_PLAT]
log_switch_device_wifi=1
log_size_device_wifi=10
log_num_device_wifi=25
log_rcvbuf_device_wifi=1
log_switch_device_bfg=1
log_switch_device_me=1
plat_dfr_enable=1
plat_dfr_beatTimer_timeOut_reset_enable=0
"""

REQUEST_NAMES = {
    oamsim.BFGX_CALI_IOCTL: "calibration trigger",
    oamsim.DFR_ENABLE_IOCTL: "fault recovery: plat_dfr_enable",
    oamsim.DFR_BEAT_TIMER_RESET_IOCTL: "fault recovery: beat timer reset",
    oamsim.MEMDUMP_WIFI_IOCTL: "wait for a Wi-Fi dump",
    oamsim.MEMDUMP_BFGX_IOCTL: "wait for a bfgx dump",
    oamsim.MEMDUMP_ME_IOCTL: "wait for an me dump",
}


def tool_frame(msg_type: int, selector: int, body: bytes) -> bytes:
    """A debug-tool frame: 8-byte header (type at 1, selector at 2, total
    length little-endian at 4) and the body."""
    return struct.pack("<BBBBHH", 0, msg_type, selector, 0, 8 + len(body), 0) + body


WIDTH = 80


class Screen:
    """Everything the demo prints, in lines of at most WIDTH columns: its own
    text is wrapped, other programs' lines (log data in hex can be 4 KiB
    wide) are cut, and the lines are counted so that the end can check."""

    def __init__(self):
        self.lines = 0
        self.wide: list[str] = []

    def line(self, text: str = ""):
        if len(text) > WIDTH:
            self.wide.append(text)
        self.lines += 1
        print(text)

    def para(self, text: str, first: str = "", rest: str = "   "):
        for line in textwrap.wrap(text, WIDTH, initial_indent=first, subsequent_indent=rest,
                                  break_on_hyphens=False) or [first]:
            self.line(line)

    def title(self, text: str):
        self.line()
        self.para(f"== {text} ==", rest="")

    def quote(self, text: str, indent: str = "  ", limit: int | None = None):
        """Another program's output, each line cut to the width; at most
        `limit` lines, the rest counted."""
        lines = text.rstrip("\n").splitlines() or ["(nothing)"]
        shown = lines if limit is None or len(lines) <= limit else lines[:limit - 1]
        for line in shown:
            line = indent + "".join(c if c.isprintable() else "?" for c in line.expandtabs())
            self.line(line if len(line) <= WIDTH else line[:WIDTH - 3] + "...")
        if len(shown) < len(lines):
            self.line(f"{indent}... and {len(lines) - len(shown)} more lines")


def oamlog(log_root: Path, *args: str) -> str:
    listing = subprocess.run([str(OAMLOG), "--root", str(log_root), *args], capture_output=True, text=True,
                             errors="replace")
    return listing.stdout + listing.stderr


def shown_path(path: Path) -> str:
    """A path as short as it can be said from here."""
    rel = os.path.relpath(path)
    return rel if len(rel) < len(str(path)) else str(path)


def connect_tool(port: int, timeout: float) -> socket.socket:
    deadline = time.monotonic() + timeout
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=2)
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def receive_for(sock: socket.socket, want: int, timeout: float) -> bytes:
    got = b""
    sock.settimeout(0.2)
    deadline = time.monotonic() + timeout
    while len(got) < want and time.monotonic() < deadline:
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            continue
        if not chunk:
            break
        got += chunk
    return got


def preview(data: bytes, width: int = 40) -> str:
    text = data[:width].decode("ascii", "replace")
    text = "".join(c if c.isprintable() else "." for c in text)
    return repr(text) + ("..." if len(data) > width else "")


def wait_for(predicate, timeout: float, what: str):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.05)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--model", default="zr4060")
    ap.add_argument("--mode", choices=("normal", "test", "wvt"), default="test")
    ap.add_argument("--out", default=str(oamsim.sandbox.REPO_ROOT / "demo-out"))
    opts = ap.parse_args()

    out = Path(opts.out)
    shutil.rmtree(out, ignore_errors=True)
    steps = []
    with oamsim.VirtualChip(out, model=opts.model, ini=INI) as chip:
        args = [] if opts.mode == "normal" else [opts.mode]
        daemon = chip.start_daemon(args=args)
        hello = chip.wait_hello(timeout=10)
        steps.append(f"started `{' '.join(['oam', *args])}` (pid {daemon.pid}) on a {opts.model}; "
                     f"the Wi-Fi driver got the {len(hello.data)}-byte hello")

        bfg = oamsim.NODE_BT if opts.mode == "wvt" else oamsim.NODE_BFG_DBG
        chip.wait_open(bfg, timeout=10)
        has_me = oamsim.has_me_core(opts.model)
        if has_me:
            chip.wait_open(oamsim.NODE_ME, timeout=10)

        tool = None
        if opts.mode == "test":
            daemon.wait_stdout("accept is start", timeout=10)
            # The sandbox serves port 3333 on a port of its own (the
            # machine's network is shared): daemon.vtl_port.
            tool = connect_tool(daemon.vtl_port, 10)
            daemon.wait_stdout("accept is over", timeout=10)
            steps.append("a debug tool connected to port 3333")

        wifi_msgs = [f"wifi: scan done, {n} networks\n".encode() for n in range(1, 6)]
        bfg_chunks = [f"bt: link {n} up, rssi -{40 + n}\n".encode() for n in range(3)]
        me_chunks = [b"me: gcpu heartbeat\n", b"me: gcpu idle\n"] if has_me else []
        for msg in wifi_msgs:
            chip.send_wifi_log(msg)
        chip.send_chunks(bfg, bfg_chunks)
        if me_chunks:
            chip.send_chunks(oamsim.NODE_ME, me_chunks)
        chip.wait_consumed(bfg)
        if me_chunks:
            chip.wait_consumed(oamsim.NODE_ME)
        steps.append(f"sent {len(wifi_msgs)} Wi-Fi log messages, {len(bfg_chunks)} bfg chunks"
                     + (f" and {len(me_chunks)} me chunks" if me_chunks else ""))

        if tool is not None:
            total = sum(map(len, wifi_msgs + bfg_chunks + me_chunks))
            mirrored = receive_for(tool, total, 5)
            steps.append(f"the tool received {len(mirrored)} of {total} bytes of raw log data mirrored: "
                         f"{preview(mirrored, 30)}")
            mark = chip.mark()
            tool.sendall(tool_frame(1, 0x00, b"\x01\x02\x03\x04"))
            nl = chip.wait_event("netlink", after=mark, pred=lambda e: e.nl.cmd_type == 1, timeout=5)
            steps.append(f"the tool sent a 12-byte Wi-Fi command: the driver got a {len(nl.data)}-byte netlink "
                         f"message, command {{{nl.nl.cmd_type}, {nl.nl.cmd_len}}} + the frame")
            mark = chip.mark()
            tool.sendall(tool_frame(2, 0x10, b"\x05\x06\x07\x08"))
            wr = chip.wait_event("write", node=bfg, after=mark, timeout=5)
            steps.append(f"the tool sent a 12-byte bfg command: {bfg} got {len(wr.data)} bytes: {wr.data.hex(' ')}")
            tool.close()

        # A driver burst into a 1 KiB receive buffer: the kernel drops what
        # does not fit, and the journal counts it from the socket's counter.
        load = chip.wifi_load(1000, size="1500")
        chip.send_wifi_log(b"wifi: burst over\n")
        wait_for(lambda: b"burst over" in chip.read_file("/vendor/log/wifi_log/wifi_log_1"), 10, "burst not stored")
        if load["refused"]:  # a daemon that kept up has no loss to show
            steps.append(f"a Wi-Fi burst of {load['offered']} messages of 1500 bytes into a 1 KiB receive "
                         f"buffer: the kernel dropped {load['refused']} of them")

        files = oamsim.dump_files("wifi", opts.model)
        try:
            chip.dump("wifi", 0, [1024 * (i + 1) for i in range(len(files))], timeout=10)
            wait_for(lambda: any(n.endswith(".tar.gz") for n in chip.listdir(oamsim.MEMDUMP_DIR)), 10,
                     "no dump archive written")
            steps.append(f"the Wi-Fi core crashed: {len(files)} memory regions saved and archived")
        except (oamsim.ChipTimeout, TimeoutError) as exc:
            steps.append(f"no dump taken: {exc}")

        daemon.terminate()
        status = daemon.wait(10)
        steps.append(f"SIGTERM: oam ended with status {status}")

        screen = Screen()
        screen.para(f"== oam on the virtual chip: model {opts.model}, mode {opts.mode} ==", rest="")
        screen.line()
        for n, step in enumerate(steps, 1):
            screen.para(step, first=f"{n}. ")

        # The records as an engineer on the device reads them back: every
        # core and the events on one time line.  oamlog never cuts its lines
        # (a pager scrolls them on a terminal); the screen cuts them here.
        log_root = chip.host_path(oamsim.LOG_ROOT_DIR)
        screen.title("every core and the events on one time line: `oamlog`")
        screen.quote(oamlog(log_root), limit=20)
        screen.title("core after core, the last two of each: `oamlog --per-core -n 2`")
        screen.quote(oamlog(log_root, "--per-core", "-n", "2"))
        screen.title("losses, dumps, starts and stops: the events journal")
        screen.quote(chip.read_file("/vendor/log/oam_events").decode(errors="replace"), limit=20)
        screen.title("per core: `oamlog --stats`")
        screen.quote(oamlog(log_root, "--stats"))
        screen.title("the log files hold whole records: `oamlog --check`")
        screen.quote(oamlog(log_root, "--check"), limit=8)

        dump_dir = chip.host_path(oamsim.MEMDUMP_DIR)
        archives = sorted(dump_dir.glob("*.tar.gz"))
        screen.title("the crash: `oamlog --dumps`")
        screen.quote(oamlog(log_root, "--dumps"), limit=8)
        for path in archives[:1]:
            listing = subprocess.run(["tar", "tzf", str(path)], capture_output=True, text=True)
            screen.para(f"{path.name}, {path.stat().st_size} bytes, holds:", first="  ", rest="  ")
            screen.quote(listing.stdout, indent="    ")
            screen.title("the logs that led to the latest crash: `oamlog --dump -n 4`")
            screen.quote(oamlog(log_root, "--dump", "-n", "4"))
            bundle = out / "crash-bundle.tar.gz"
            bundle.unlink(missing_ok=True)
            screen.title("one file to hand over: `oamlog --bundle OUT --dump ARCHIVE`")
            made = oamlog(log_root, "--bundle", str(bundle), "--dump", path.name)
            listing = subprocess.run(["tar", "tzf", str(bundle)], capture_output=True, text=True)
            screen.para(f"{shown_path(bundle)}, {bundle.stat().st_size if bundle.exists() else 0} bytes, holds:",
                        first="  ", rest="  ")
            screen.quote(made + listing.stdout, indent="    ", limit=10)
            screen.title("read back on the PC: `oamlog BUNDLE --check`")
            check = subprocess.run([str(OAMLOG), "--check", str(bundle)], capture_output=True, text=True,
                                   errors="replace")
            screen.quote(check.stdout + check.stderr, limit=4)

        screen.title("what the drivers received")
        screen.quote("\n".join(driver_story(chip, daemon)))

        screen.title("where to look next")
        root = out / "root"
        for what, where in (("the device's files", f"{shown_path(root / 'vendor')}/"),
                            ("the crash's bundle, read like the log root",
                             f"{shown_path(OAMLOG)} {shown_path(out / 'crash-bundle.tar.gz')}"),
                            ("all records and events in time order, paged",
                             f"{shown_path(OAMLOG)} --root {shown_path(log_root)}"),
                            ("the daemon's own output", shown_path(daemon.stdout_path)),
                            ("the manuals", "man -l man/oam.8; man -l man/oamlog.1")):
            screen.para(f"{what}:", first="  ", rest="  ")
            screen.para(where, first="    ", rest="    ")
        if screen.wide:
            print(f"demo: {len(screen.wide)} of {screen.lines} lines wider than {WIDTH} columns, "
                  f"the first: {screen.wide[0]!r}", file=sys.stderr)
            return 1
    return 0 if status == 0 else 1


def driver_story(chip, daemon) -> list[str]:
    """The driver side of the run, a line per event the daemon caused."""
    lines: list[str] = []
    for ev in chip.events():
        when = f"{ev.t - daemon.started:7.3f}s"
        if ev.kind == "netlink":
            kind = "hello" if ev.nl.is_hello else f"tool command, {ev.nl.cmd_len} bytes"
            what = f"netlink: {len(ev.data)}-byte message ({kind})"
        elif ev.kind == "open":
            what = f"{ev.node}: opened {'read-write' if ev.mode == 'rw' else 'read-only'}"
        elif ev.kind == "ioctl":
            name = REQUEST_NAMES.get(ev.request, "request")
            arg = "" if ev.request in oamsim.DUMP_WAIT_REQUEST.values() else f", argument {ev.arg}"
            what = f"{ev.node}: ioctl 0x{ev.request:08X} ({name}{arg})"
        elif ev.kind == "ioctl_done" and ev.request in oamsim.DUMP_WAIT_REQUEST.values():
            what = f"{ev.node}: dump reported, type {ev.out}"
        elif ev.kind == "write":
            what = f"{ev.node}: {len(ev.data)} bytes written"
        elif ev.kind == "close":
            what = f"{ev.node}: closed"
        else:
            continue
        lines.append(f"{when} {what}")
    return lines


if __name__ == "__main__":
    sys.exit(main())
