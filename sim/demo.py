#!/usr/bin/python3
"""Runs the daemon on the virtual chip and tells what it did.

    /usr/bin/python3 sim/demo.py [--model zr4060] [--mode test] [--out demo-out]

Starts oam (OAM_BIN, default build/oam) in a sandbox under the output folder,
feeds it Wi-Fi, bfg and me log traffic (with one Wi-Fi burst that overruns a
receive buffer kept small on purpose, so that a loss shows), connects a debug tool on port 3333
(test mode) that receives the mirrored logs and sends one Wi-Fi and one bfg
command, lets the Wi-Fi core crash once, stops the daemon with SIGTERM and
prints a summary: the log records as oamlog (OAMLOG_BIN, default beside
oam) reads them back, what the drivers received, and the dump archives with
their members, the events journal, and `oamlog --dump` of the crash.  The
sandbox's /vendor is left in <out>/root/vendor for
inspection.
"""

from __future__ import annotations

import argparse
import fcntl
import os
import shutil
import socket
import struct
import subprocess
import sys
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


def connect_tool(timeout: float) -> socket.socket:
    deadline = time.monotonic() + timeout
    while True:
        try:
            return socket.create_connection(("127.0.0.1", oamsim.VTL_PORT), timeout=2)
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
    # Test mode takes TCP port 3333 on the shared loopback: take turns with
    # end-to-end test runs on this machine.
    lock = open("/tmp/oam-e2e.lock", "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    steps = []
    with oamsim.VirtualChip(out, model=opts.model, ini=INI) as chip:
        args = [] if opts.mode == "normal" else [opts.mode]
        daemon = chip.start_daemon(args=args)
        hello = chip.wait_hello(timeout=10)
        steps.append(f"started `oam {' '.join(args)}` (pid {daemon.pid}) on a {opts.model}; "
                     f"the Wi-Fi driver got the {len(hello.data)}-byte hello")

        bfg = oamsim.NODE_BT if opts.mode == "wvt" else oamsim.NODE_BFG_DBG
        chip.wait_open(bfg, timeout=10)
        has_me = oamsim.has_me_core(opts.model)
        if has_me:
            chip.wait_open(oamsim.NODE_ME, timeout=10)

        tool = None
        if opts.mode == "test":
            daemon.wait_stdout("accept is start", timeout=10)
            tool = connect_tool(10)
            daemon.wait_stdout("accept is over", timeout=10)
            steps.append("a debug tool connected on port 3333")

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
                         f"{preview(mirrored, 60)}")
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
        steps.append(f"a Wi-Fi burst of {load['offered']} messages into a 1 KiB receive buffer: "
                     f"{load['refused']} dropped by the kernel")

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

        print(f"== oam on the virtual chip: model {opts.model}, mode {opts.mode} ==\n")
        for n, step in enumerate(steps, 1):
            print(f"{n}. {step}")

        # The records as an engineer on the device reads them back.
        log_root = chip.host_path(oamsim.LOG_ROOT_DIR)
        archive = [p.name for p in sorted(chip.host_path(oamsim.MEMDUMP_DIR).glob("*.tar.gz"))][:1]
        shows = [("the last records and events, all cores by time", ["--merge", "-n", "12"]),
                 ("per core", ["--stats"]), ("log file check", ["--check"]), ("crash archives", ["--dumps"])]
        if archive:
            shows.append(("the logs that led to the crash", ["--dump", archive[0], "-n", "12"]))
        for title, args in shows:
            print(f"\n== {title}: `oamlog {' '.join(args)}` ==")
            listing = subprocess.run([str(OAMLOG), "--root", str(log_root), *args], capture_output=True, text=True)
            print((listing.stdout + listing.stderr).rstrip("\n"))

        print("\n== events journal: /vendor/log/oam_events ==")
        print(chip.read_file("/vendor/log/oam_events").decode(errors="replace").rstrip("\n"))

        print("\n== what the drivers received ==")
        for ev in chip.events():
            when = f"{ev.t - daemon.started:7.3f}s"
            if ev.kind == "netlink":
                kind = "hello" if ev.nl.is_hello else f"tool command, {ev.nl.cmd_len} bytes"
                print(f"{when} netlink: {len(ev.data)}-byte message ({kind})")
            elif ev.kind == "open":
                print(f"{when} {ev.node}: opened {'read-write' if ev.mode == 'rw' else 'read-only'}")
            elif ev.kind == "ioctl":
                name = REQUEST_NAMES.get(ev.request, "request")
                arg = "" if ev.request in oamsim.DUMP_WAIT_REQUEST.values() else f", argument {ev.arg}"
                print(f"{when} {ev.node}: ioctl 0x{ev.request:08X} ({name}{arg})")
            elif ev.kind == "ioctl_done" and ev.request in oamsim.DUMP_WAIT_REQUEST.values():
                print(f"{when} {ev.node}: dump reported, type {ev.out}")
            elif ev.kind == "write":
                print(f"{when} {ev.node}: {len(ev.data)} bytes written")
            elif ev.kind == "close":
                print(f"{when} {ev.node}: closed")

        print("\n== dump archives ==")
        dump_dir = chip.host_path(oamsim.MEMDUMP_DIR)
        archives = sorted(dump_dir.glob("*.tar.gz"))
        if not archives:
            print("none")
        for path in archives:
            listing = subprocess.run(["tar", "tzvf", str(path)], capture_output=True, text=True)
            print(f"{path.name} ({path.stat().st_size} bytes), `tar tzvf`:")
            for line in listing.stdout.splitlines():
                print(f"    {line}")

        print(f"\nsandbox left in {out} (daemon output: {daemon.stdout_path})")
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
