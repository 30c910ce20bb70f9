#!/usr/bin/python3
"""The daemon end to end against raw loops measured in the same run.

    /usr/bin/python3 bench/bench_e2e.py [--runs 5]

Runs the daemon (OAM_BIN, default build-rel/oam: build it without
sanitizers) in the sandbox on the virtual chip, in normal mode, and drives it
with the chip's C load generator (sim/loadgen.c, beside OAM_PRELOAD).  Each
scenario is also run against a raw reference receiver in the same sandbox:
for Wi-Fi one recvmsg and one write per message on a netlink socket with the
receive buffer the daemon got, for a node one read and one write per chunk.

Loss scenarios send as a driver does, without waiting: a full receive buffer
refuses the message.  Stored messages are counted by parsing the record files
and checking the sequence numbers (no gap, no duplicate, no reordering).
Drain scenarios use a blocking sender and alternate raw and daemon runs in
pairs; the ratio is the median of the paired speed ratios.  The idle check
counts the context switches of all the daemon's threads over 10 s and reads
its resident memory.

Prints one table and the goals; exits 1 when a goal is missed.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import statistics
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
os.environ.setdefault("OAM_BIN", str(REPO / "build-rel" / "oam"))
os.environ.setdefault("OAM_PRELOAD", str(REPO / "build-rel" / "oamsim_preload.so"))
sys.path.insert(0, str(REPO / "sim"))

import oamsim  # noqa: E402
from oamsim.load import SEQ_HDR  # noqa: E402

INI = "[HOST_PLAT]\nlog_switch_device_wifi=1\nlog_switch_device_bfg=1\n"
WIFI_DIR = "/vendor/log/wifi_log"
BFG_DIR = "/vendor/log/bfg_log"
RAW_DIR = "/vendor/log/raw"
# The last step of start-up prints one of these.
READY = re.compile(r"^\[\w+:\d+\](read ini cfg fail: ini_plat_dfr_cfg_str = \w+|node is not open|"
                   r"plat dfr and beatTimer timeOut reset cfg set (sucess|error))$", re.M)
RCVBUF = re.compile(r"^\[\w+:\d+\]netlink receive buffer (\d+) bytes", re.M)
NL_HDR = 16


@dataclass
class Row:
    scenario: str
    offered: int = 0
    refused: int = 0
    stored: int = 0
    raw_stored: int = 0
    ratio: float | None = None
    rates: str = ""
    faults: list[str] = field(default_factory=list)

    @property
    def lost(self) -> int:
        return self.offered - self.stored


def dir_bytes(path: Path) -> int:
    return sum(p.stat().st_size for p in path.iterdir() if p.is_file()) if path.exists() else 0


def raw_netlink_payloads(data: bytes) -> list[bytes]:
    """The data of the whole netlink messages the raw receiver wrote."""
    out = []
    off = 0
    while off + NL_HDR <= len(data):
        length = int.from_bytes(data[off:off + 4], "little")
        if length < NL_HDR or off + length > len(data):
            break
        out.append(data[off + NL_HDR:off + length])
        off += length
    return out


def raw_node_payloads(data: bytes, size: int) -> list[bytes]:
    return [data[off:off + size] for off in range(0, len(data) - size + 1, size)]


class Bench:
    def __init__(self, root: Path):
        self.root = root
        self.count = 0

    def chip(self) -> tuple[oamsim.VirtualChip, oamsim.DaemonProcess, int]:
        """A fresh chip with the daemon started and idle; also the receive
        buffer size the daemon got."""
        self.count += 1
        chip = oamsim.VirtualChip(self.root / f"chip{self.count}", model="zr4002", ini=INI).start()
        oam = chip.start_daemon()
        chip.wait_hello()
        oam.wait_stdout(READY, 10)
        for node in ("qvwifiexcp", "qvbfgexcp"):
            chip.wait_dump_wait(node)
        chip.host_path(RAW_DIR).mkdir(parents=True, exist_ok=True)
        rcvbuf = int(RCVBUF.search(oam.stdout).group(1))
        return chip, oam, rcvbuf

    # Wi-Fi -------------------------------------------------------------------

    def raw_wifi(self, chip, name: str, count: int, rcvbuf: int, **load) -> tuple[dict, list[bytes]]:
        out = f"{RAW_DIR}/{name}"
        # The kernel doubles the size asked for; ask for half of what the daemon got.
        raw = chip.start_process([str(oamsim.default_loadgen()), "rawnl", "--out", out, "--count", str(count),
                                  "--rcvbuf", str(rcvbuf // 2)], name=f"raw-{name}",
                                 ro_paths=[oamsim.default_loadgen()])
        port = int(raw.wait_stdout(re.compile(r"^port=(\d+)$", re.M), 10).group(1))
        host = chip.host_path(RAW_DIR)
        base = dir_bytes(host)
        size = int(load["size"])
        if load.get("blocking"):
            # Timed as the daemon is: until everything sent is written.
            load.update(wait_dir=host, wait_bytes=base + count * (NL_HDR + size))
        res = chip.wifi_load(count, port=port, overrun=False, **load)
        # What the socket took is in it; the run ends when that is written.
        wait_bytes(host, base + res["sent"] * (NL_HDR + size))
        raw.stop()
        return res, raw_netlink_payloads(chip.host_path(out).read_bytes())

    def wifi_loss(self, rows: list[Row]):
        chip, oam, rcvbuf = self.chip()
        try:
            scenarios = [("burst 5000 x 64 B, line rate", 5000, 64, None),
                         ("burst 5000 x 1500 B, line rate", 5000, 1500, None),
                         ("64 B at 200 k/s for 5 s", 1_000_000, 64, 200_000.0)]
            for stream, (name, count, size, rate) in enumerate(scenarios, start=1):
                row = Row(name)
                raw_res, raw_payloads = self.raw_wifi(chip, f"loss{stream}", count, rcvbuf, size=size, rate=rate)
                raw_check = oamsim.check_stream(raw_payloads, 0, size)
                host = chip.host_path(WIFI_DIR)
                base = dir_bytes(host)
                res = chip.wifi_load(count, size=size, rate=rate, stream=stream)
                wait_bytes(host, base + res["sent"] * (18 + size))
                check = oamsim.check_stream(oamsim.stored_payloads(host, "wifi_log_"), stream, size)
                row.offered, row.refused, row.stored, row.raw_stored = count, res["refused"], check.stored, \
                    raw_check.stored
                row.ratio = check.stored / raw_check.stored if raw_check.stored else None
                if not check.clean:
                    row.faults.append(f"daemon {check}")
                if not raw_check.clean:
                    row.faults.append(f"raw {raw_check}")
                rows.append(row)
        finally:
            chip.close()

    @staticmethod
    def paired(chip, rows: list[Row], row: Row, runs: int, count: int, first_stream: int, run_raw, run_daemon,
               host: Path, prefix: str, size: int, most: int):
        """Alternates raw and daemon runs (run_raw / run_daemon(run, stream)
        return seconds), then checks the daemon's records of every stream in
        the files `prefix`N of `host`, fills the row and closes the chip."""
        ratios, daemon_rates, raw_rates = [], [], []
        try:
            for run in range(runs):
                stream = first_stream + run
                order = (("raw", run_raw), ("daemon", run_daemon))
                rate = {side: count / fn(run, stream) for side, fn in (order if run % 2 == 0 else order[::-1])}
                ratios.append(rate["daemon"] / rate["raw"])
                daemon_rates.append(rate["daemon"])
                raw_rates.append(rate["raw"])
            payloads = oamsim.stored_payloads(host, prefix)
        finally:
            chip.close()
        for run in range(runs):
            check = oamsim.check_stream(payloads, first_stream + run, size, most)
            row.stored += check.stored
            if not check.clean or check.stored != count:
                row.faults.append(f"daemon run {run}: {check}")
        row.offered = count * runs
        row.ratio = statistics.median(ratios)
        row.rates = (f"daemon {statistics.median(daemon_rates) / 1000:.0f} k/s, "
                     f"raw {statistics.median(raw_rates) / 1000:.0f} k/s; ratios "
                     + " ".join(f"{r:.2f}" for r in ratios))
        rows.append(row)

    @staticmethod
    def raw_checked(row: Row, run: int, payloads: list[bytes], stream: int, size: int, count: int, most: int):
        check = oamsim.check_stream(payloads, stream, size, most)
        row.raw_stored += check.stored
        if not check.clean or check.stored != count:
            row.faults.append(f"raw run {run}: {check}")

    def wifi_drain(self, rows: list[Row], size: int, count: int, runs: int):
        chip, oam, rcvbuf = self.chip()
        row = Row(f"drain {size} B, blocking sender")
        host = chip.host_path(WIFI_DIR)
        most = oamsim.load.WIFI_DATA_MAX

        def run_raw(run, stream):
            res, payloads = self.raw_wifi(chip, f"drain{size}-{run}", count, rcvbuf, size=size, blocking=True,
                                          stream=stream)
            self.raw_checked(row, run, payloads, stream, size, count, most)
            return res["seconds"]

        def run_daemon(run, stream):
            return chip.wifi_load(count, size=size, blocking=True, stream=stream, wait_dir=host,
                                  wait_bytes=dir_bytes(host) + count * (18 + size))["seconds"]

        self.paired(chip, rows, row, runs, count, 100, run_raw, run_daemon, host, "wifi_log_", size, most)

    # bfg node ----------------------------------------------------------------

    def bfg_drain(self, rows: list[Row], size: int, count: int, runs: int):
        chip, oam, _ = self.chip()
        row = Row(f"bfg node drain {size} B")
        daemon_conn = chip.events("open", "qvbfgdbg", pred=lambda ev: ev.pid == oam.pid)[0].conn
        host = chip.host_path(BFG_DIR)
        raw_host = chip.host_path(RAW_DIR)
        most = oamsim.load.NODE_CHUNK_MAX

        def run_raw(run, stream):
            out = f"{RAW_DIR}/bfg{run}"
            raw = chip.start_process([str(oamsim.default_loadgen()), "rawnode", "--node", "/dev/qvbfgdbg", "--out",
                                      out, "--count", str(count)], name=f"rawbfg{run}",
                                     ro_paths=[oamsim.default_loadgen()])
            raw.wait_stdout("open\n", 10)
            conn = chip.wait_event("open", "qvbfgdbg", pred=lambda ev: ev.pid == raw.pid).conn
            res = chip.push_chunks("qvbfgdbg", count, size=size, stream=stream, conn=conn, wait_dir=raw_host,
                                   wait_bytes=dir_bytes(raw_host) + count * size)
            raw.wait(30)
            self.raw_checked(row, run, raw_node_payloads(chip.host_path(out).read_bytes(), size), stream, size,
                             count, most)
            return res["seconds"]

        def run_daemon(run, stream):
            return chip.push_chunks("qvbfgdbg", count, size=size, stream=stream, conn=daemon_conn, wait_dir=host,
                                    wait_bytes=dir_bytes(host) + count * (18 + size))["seconds"]

        self.paired(chip, rows, row, runs, count, 200, run_raw, run_daemon, host, "bfg_log_", size, most)

    # idle --------------------------------------------------------------------

    def idle(self) -> tuple[int, int, int]:
        """Context switches of all threads over 10 s, thread count, and
        resident memory in KiB."""
        chip, oam, _ = self.chip()
        try:
            time.sleep(1)
            before = switches(oam.pid)
            time.sleep(10)
            after = switches(oam.pid)
            rss = int(re.search(r"^VmRSS:\s+(\d+) kB", Path(f"/proc/{oam.pid}/status").read_text(), re.M).group(1))
            return sum(after.values()) - sum(before.values()), len(after), rss
        finally:
            chip.close()


def wait_bytes(path: Path, want: int, timeout: float = 60.0):
    deadline = time.monotonic() + timeout
    while dir_bytes(path) < want and time.monotonic() < deadline:
        time.sleep(0.01)


def switches(pid: int) -> dict[str, int]:
    out = {}
    for task in Path(f"/proc/{pid}/task").iterdir():
        text = (task / "status").read_text()
        out[task.name] = sum(int(n) for n in re.findall(r"^(?:non)?voluntary_ctxt_switches:\s+(\d+)$", text, re.M))
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5, help="paired runs per drain scenario (default 5)")
    args = parser.parse_args()
    for path in (os.environ["OAM_BIN"], os.environ["OAM_PRELOAD"], oamsim.default_loadgen()):
        if not Path(path).exists():
            print(f"{path} is not built (scripts/bench builds it)", file=sys.stderr)
            return 2

    load_before = os.getloadavg()[0]
    root = Path(tempfile.mkdtemp(prefix="oam-bench-"))
    rows: list[Row] = []
    try:
        bench = Bench(root)
        wakeups, threads, rss = bench.idle()
        bench.wifi_loss(rows)
        bench.wifi_drain(rows, 64, 200_000, args.runs)
        bench.wifi_drain(rows, 1500, 20_000, args.runs)
        bench.bfg_drain(rows, 64, 100_000, args.runs)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(f"\nmachine: {os.cpu_count()} cores, load average {load_before:.2f} before, "
          f"{os.getloadavg()[0]:.2f} after\n")
    print("| scenario | offered | refused by the socket | stored | lost | raw loop stored | ratio to raw |")
    print("|---|---|---|---|---|---|---|")
    for r in rows:
        ratio = "-" if r.ratio is None else f"{r.ratio:.2f}"
        print(f"| {r.scenario} | {r.offered} | {r.refused} | {r.stored} | {r.lost} | {r.raw_stored} | {ratio} |")
    print()
    for r in rows:
        if r.rates:
            print(f"{r.scenario}: {r.rates}")
        for fault in r.faults:
            print(f"FAULT {r.scenario}: {fault}")
    print(f"idle 10 s: {wakeups} context switches over {threads} threads; resident {rss} KiB")

    by_name = {r.scenario: r for r in rows}
    goals = [
        ("5000 x 64 B at line rate: 0 lost", by_name["burst 5000 x 64 B, line rate"].lost == 0),
        ("5000 x 1500 B at line rate: 0 lost", by_name["burst 5000 x 1500 B, line rate"].lost == 0),
        ("64 B at 200 k/s for 5 s: 0 lost", by_name["64 B at 200 k/s for 5 s"].lost == 0),
        ("drain 64 B >= 0.90 x raw", by_name["drain 64 B, blocking sender"].ratio >= 0.90),
        ("drain 1500 B >= 0.95 x raw", by_name["drain 1500 B, blocking sender"].ratio >= 0.95),
        ("bfg drain >= 0.90 x raw", by_name["bfg node drain 64 B"].ratio >= 0.90),
        ("idle: 0 wake-ups in 10 s", wakeups == 0),
        ("idle: resident <= 4 MiB", rss <= 4096),
        ("records whole, in order, no duplicate", not any(r.faults for r in rows)),
    ]
    print("\ngoals:")
    for text, met in goals:
        print(f"  {'met   ' if met else 'MISSED'} {text}")
    return 0 if all(met for _, met in goals) else 1


if __name__ == "__main__":
    sys.exit(main())
