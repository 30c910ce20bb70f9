#!/usr/bin/python3
"""The daemon end to end against raw loops measured in the same run.

    /usr/bin/python3 bench/bench_e2e.py [--runs 5] [--sweep N=BINARY ...]

Runs the daemon (OAM_BIN, default build-rel/oam: build it without
sanitizers) in the sandbox on the virtual chip, in normal mode, and drives it
with the chip's C load generator (sim/loadgen.c, beside OAM_PRELOAD).  Each
scenario is also run against a raw reference receiver in the same sandbox:
for Wi-Fi one recvmsg and one write per message on a netlink socket with the
receive buffer the daemon got, for a node one read and one write per chunk.
The Wi-Fi drain runs also time a batched reference (one recvmmsg of up to
64 messages, each built into one buffer as a record with its header and
local-time stamp, one write per batch) and compare CPU per stored record:
the daemon's whole process against the reference's.  --sweep runs those
CPU pairs again with daemons built with other receive batch sizes.

Loss scenarios send as a driver does, without waiting: a full receive buffer
refuses the message.  Stored messages are counted by parsing the record files
and checking the sequence numbers (no gap, no duplicate, no reordering).
Drain scenarios use a blocking sender and alternate raw and daemon runs in
pairs; the ratio is the median of the paired speed ratios.  The idle check
counts the context switches of all the daemon's threads over 10 s and reads
its resident memory.

The loss scenarios run once more on daemons that compress (log_compress=zstd,
level 9), each started with a backlog of plain firmware-like rotated files
(--sample) that its compressing thread works through while the burst comes.

Prints one table and the goals; exits 1 when a goal is missed.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
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
LOSS_SCENARIOS = [("burst 5000 x 64 B, line rate", 5000, 64, None),
                  ("burst 5000 x 1500 B, line rate", 5000, 1500, None),
                  ("64 B at 200 k/s for 5 s", 1_000_000, 64, 200_000.0)]
# Plain rotated files a compressing daemon starts with (firmware-like, 10 MiB each).
COMPRESS_BACKLOG = 16


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
    # CPU per stored record in microseconds, per run: daemon and batched reference.
    cpu_daemon: list[float] = field(default_factory=list)
    cpu_ref: list[float] = field(default_factory=list)
    # Records per write system call of the daemon, per run.
    per_write: list[float] = field(default_factory=list)

    @property
    def cpu_ratio(self) -> float | None:
        if not self.cpu_daemon or len(self.cpu_daemon) != len(self.cpu_ref):
            return None
        return statistics.median(d / r for d, r in zip(self.cpu_daemon, self.cpu_ref))

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


def plain_rotated(folder: Path) -> list[Path]:
    """The rotated files of a folder not yet compressed (and parts being written)."""
    return [p for p in folder.iterdir() if re.fullmatch(r"\w+_log_([2-9]|\d\d+)(\.zst\.tmp)?", p.name)]


def last_payload(path: Path) -> bytes | None:
    """The payload of the last record of a log file, if it ends in a short one."""
    with open(path, "rb") as f:
        size = f.seek(0, os.SEEK_END)
        f.seek(max(0, size - 64))
        tail = f.read()
    for off in range(len(tail) - 18, -1, -1):
        if tail[off] == 0xAA and tail[off + 1] == 0 and off + int.from_bytes(tail[off + 2:off + 4], "little") == len(tail):
            return tail[off + 18:]
    return None


def stored_any(folder: Path, prefix: str) -> list[bytes]:
    """Every record payload of a core's files, plain or compressed, oldest first."""
    numbered = []
    for path in folder.iterdir():
        m = re.fullmatch(re.escape(prefix) + r"(\d+)(\.zst)?", path.name)
        if m:
            numbered.append((int(m.group(1)), path))
    out = []
    for _, path in sorted(numbered, reverse=True):
        data = path.read_bytes()
        if path.suffix == ".zst":
            data = subprocess.run(["zstd", "-dc", str(path)], capture_output=True, check=True).stdout
        out += oamsim.load.record_payloads(data)
    return out


def raw_node_payloads(data: bytes, size: int) -> list[bytes]:
    return [data[off:off + size] for off in range(0, len(data) - size + 1, size)]


class Bench:
    def __init__(self, root: Path):
        self.root = root
        self.count = 0

    def chip(self, ini: str = INI, files: dict | None = None) -> tuple[oamsim.VirtualChip, oamsim.DaemonProcess, int]:
        """A fresh chip with the daemon started and idle; also the receive
        buffer size the daemon got."""
        self.count += 1
        chip = oamsim.VirtualChip(self.root / f"chip{self.count}", model="zr4002", ini=ini, files=files).start()
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
            for stream, (name, count, size, rate) in enumerate(LOSS_SCENARIOS, start=1):
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

    def wifi_loss_compressing(self, rows: list[Row], sample: bytes):
        """The loss scenarios again, each on a daemon that compresses: it
        starts with COMPRESS_BACKLOG plain rotated bfg files to compress at
        the lowest priority, and the burst comes at once.  A marker message
        behind the burst tells when it is stored; the count is taken from
        the plain and the compressed files once every file is compressed."""
        files = {f"{BFG_DIR}/bfg_log_{k}": sample for k in range(2, 2 + COMPRESS_BACKLOG)}
        for stream, (name, count, size, rate) in enumerate(LOSS_SCENARIOS, start=1):
            chip, oam, _ = self.chip(INI + "log_compress=zstd\nlog_compress_level=9\n", files)
            try:
                row = Row(name + ", compressing")
                res = chip.wifi_load(count, size=size, rate=rate, stream=stream)
                backlog = sum(not p.name.endswith(".tmp") for p in plain_rotated(chip.host_path(BFG_DIR)))
                marker = b"end of burst %d" % stream
                last = chip.host_path(WIFI_DIR + "/wifi_log_1")
                deadline = time.monotonic() + 120
                while last_payload(last) != marker:
                    assert time.monotonic() < deadline, f"{row.scenario}: the marker was never stored"
                    try:
                        chip.send_wifi_log(marker)
                    except OSError:
                        pass  # the receive buffer is still full
                    time.sleep(0.05)
                for folder in (WIFI_DIR, BFG_DIR):
                    while plain_rotated(chip.host_path(folder)):
                        assert time.monotonic() < deadline, f"{row.scenario}: compression never finished"
                        time.sleep(0.1)
                check = oamsim.check_stream(stored_any(chip.host_path(WIFI_DIR), "wifi_log_"), stream, size)
                row.offered, row.refused, row.stored = count, res["refused"], check.stored
                row.rates = f"{backlog} of {COMPRESS_BACKLOG} backlog files still plain when the burst ended"
                if not check.clean:
                    row.faults.append(f"daemon {check}")
                rows.append(row)
            finally:
                chip.close()

    def batch_wifi(self, chip, row: Row, name: str, count: int, rcvbuf: int, size: int, stream: int) -> float:
        """The batched reference receiver on one blocking run; notes its CPU
        per record in the row and returns the seconds."""
        out = f"{RAW_DIR}/{name}1"  # a record file as the daemon names them
        ref = chip.start_process([str(oamsim.default_loadgen()), "batchnl", "--out", out, "--count", str(count),
                                  "--rcvbuf", str(rcvbuf // 2)], name=f"ref-{name}",
                                 ro_paths=[oamsim.default_loadgen()])
        port = int(ref.wait_stdout(re.compile(r"^port=(\d+)$", re.M), 10).group(1))
        host = chip.host_path(RAW_DIR)
        res = chip.wifi_load(count, port=port, overrun=False, size=size, blocking=True, stream=stream,
                             wait_dir=host, wait_bytes=dir_bytes(host) + count * (18 + size))
        cpu = float(ref.wait_stdout(re.compile(r"^received=\d+ cpu_ns=(\d+)$", re.M), 30).group(1))
        ref.wait(10)
        row.cpu_ref.append(cpu / 1000 / count)
        payloads = oamsim.stored_payloads(host, name)
        check = oamsim.check_stream(payloads, stream, size, oamsim.load.WIFI_DATA_MAX)
        if not check.clean or check.stored != count:
            row.faults.append(f"batched reference {name}: {check}")
        return res["seconds"]

    @staticmethod
    def paired(chip, rows: list[Row], row: Row, runs: int, count: int, first_stream: int, sides, host: Path,
               prefix: str, size: int, most: int):
        """Runs the sides [(name, fn(run, stream) -> seconds)] in turn, in
        reverse order every other run (so a busy machine slows each as
        much), then checks the daemon's records of every stream in the files
        `prefix`N of `host`, fills the row and closes the chip."""
        ratios, daemon_rates, raw_rates = [], [], []
        try:
            for run in range(runs):
                stream = first_stream + run
                rate = {side: count / fn(run, stream) for side, fn in (sides if run % 2 == 0 else sides[::-1])}
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

    def daemon_wifi_run(self, chip, oam, row: Row, count: int, size: int, stream: int) -> float:
        """One blocking run into the daemon; notes the CPU per record of its
        whole process in the row and returns the seconds."""
        host = chip.host_path(WIFI_DIR)
        writes = process_writes(oam.pid)
        before = process_cpu_ns(oam.pid)
        seconds = chip.wifi_load(count, size=size, blocking=True, stream=stream, wait_dir=host,
                                 wait_bytes=dir_bytes(host) + count * (18 + size))["seconds"]
        row.cpu_daemon.append((process_cpu_ns(oam.pid) - before) / 1000 / count)
        row.per_write.append(count / max(1, process_writes(oam.pid) - writes))
        return seconds

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

        def run_ref(run, stream):
            return self.batch_wifi(chip, row, f"batch{size}-{run}-", count, rcvbuf, size, stream)

        def run_daemon(run, stream):
            return self.daemon_wifi_run(chip, oam, row, count, size, stream)

        self.paired(chip, rows, row, runs, count, 100,
                    [("raw", run_raw), ("ref", run_ref), ("daemon", run_daemon)], host, "wifi_log_", size, most)

    def queued_run(self, chip, row: Row, pid: int, port: int | None, host: Path, count: int, size: int,
                   stream: int) -> int:
        """A burst queued up while the receiver `pid` is stopped, then taken
        in full batches: the case the receive batch is for.  Notes the
        daemon's CPU and writes per record when port is None (the daemon),
        and returns the count the socket took."""
        os.kill(pid, signal.SIGSTOP)
        try:
            base = dir_bytes(host)
            res = chip.wifi_load(count, size=size, stream=stream, port=port, overrun=False)
            writes = process_writes(pid)
            before = process_cpu_ns(pid)
        finally:
            os.kill(pid, signal.SIGCONT)
        wait_bytes(host, base + res["sent"] * (18 + size))
        if port is None:
            row.cpu_daemon.append((process_cpu_ns(pid) - before) / 1000 / res["sent"])
            row.per_write.append(res["sent"] / max(1, process_writes(pid) - writes))
        return res["sent"]

    def wifi_sweep(self, binary: str, sizes: list[tuple[int, int]], runs: int) -> list[Row]:
        """CPU per record of a daemon built with another receive batch size,
        in pairs with the batched reference: a blocking sender, and a burst
        queued up while the receiver was stopped."""
        self.count += 1
        chip = oamsim.VirtualChip(self.root / f"chip{self.count}", model="zr4002", ini=INI).start()
        out = []
        try:
            oam = chip.start_daemon(binary=binary)
            chip.wait_hello()
            oam.wait_stdout(READY, 10)
            raw_host = chip.host_path(RAW_DIR)
            raw_host.mkdir(parents=True, exist_ok=True)
            host = chip.host_path(WIFI_DIR)
            rcvbuf = int(RCVBUF.search(oam.stdout).group(1))
            for size, count in sizes:
                row = Row(f"{size} B")
                queued = Row(f"{size} B queued")
                for run in range(runs):
                    stream = 300 + len(out) * runs + run
                    sides = [lambda: self.batch_wifi(chip, row, f"sweep{size}-{run}-", count, rcvbuf, size, stream),
                             lambda: self.daemon_wifi_run(chip, oam, row, count, size, stream)]
                    for fn in (sides if run % 2 == 0 else sides[::-1]):
                        fn()
                    burst = 5000 if size <= 64 else 2500
                    for side in ((0, 1) if run % 2 == 0 else (1, 0)):
                        if side == 1:
                            self.queued_run(chip, queued, oam.pid, None, host, burst, size, 400 + stream)
                            continue
                        name = f"queued{size}-{run}-"
                        ref = chip.start_process([str(oamsim.default_loadgen()), "batchnl", "--out",
                                                  f"{RAW_DIR}/{name}1", "--count", str(burst), "--rcvbuf",
                                                  str(rcvbuf // 2)], name=f"ref-{name}",
                                                 ro_paths=[oamsim.default_loadgen()])
                        port = int(ref.wait_stdout(re.compile(r"^port=(\d+)$", re.M), 10).group(1))
                        sent = self.queued_run(chip, queued, ref.pid, port, raw_host, burst, size, 400 + stream)
                        cpu = float(ref.wait_stdout(re.compile(r"^received=\d+ cpu_ns=(\d+)$", re.M), 30).group(1))
                        ref.wait(10)
                        queued.cpu_ref.append(cpu / 1000 / sent)
                out += [row, queued]
        finally:
            chip.close()
        return out

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
            writes = process_writes(oam.pid)
            seconds = chip.push_chunks("qvbfgdbg", count, size=size, stream=stream, conn=daemon_conn, wait_dir=host,
                                       wait_bytes=dir_bytes(host) + count * (18 + size))["seconds"]
            row.per_write.append(count / max(1, process_writes(oam.pid) - writes))
            return seconds

        self.paired(chip, rows, row, runs, count, 200, [("raw", run_raw), ("daemon", run_daemon)], host, "bfg_log_",
                    size, most)

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


def process_cpu_ns(pid: int) -> int:
    """CPU time of all the process's threads so far, in nanoseconds."""
    total = 0
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            total += int((task / "schedstat").read_text().split()[0])
        except (OSError, IndexError, ValueError):
            pass
    return total


def process_writes(pid: int) -> int:
    """Write system calls of the process so far (write, writev, sends)."""
    m = re.search(r"^syscw: (\d+)$", Path(f"/proc/{pid}/io").read_text(), re.M)
    return int(m.group(1)) if m else 0


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
    parser.add_argument("--sweep", action="append", default=[], metavar="N=BINARY",
                        help="a daemon built with Wi-Fi receive batch size N, for the CPU sweep")
    parser.add_argument("--sweep-runs", type=int, default=5, help="paired runs per sweep point (default 5)")
    parser.add_argument("--only", choices=["all", "cpu", "bfg", "sweep", "compress"], default="all",
                        help="cpu: only the Wi-Fi drain rows, bfg: only the bfg drain, sweep: only the sweep, "
                             "compress: only the bursts while compressing")
    parser.add_argument("--sample", default=str(REPO / "build-rel" / "firmware_sample.log"),
                        help="a 10 MiB firmware-like log file (bench_compress --sample writes it)")
    args = parser.parse_args()
    for path in (os.environ["OAM_BIN"], os.environ["OAM_PRELOAD"], oamsim.default_loadgen()):
        if not Path(path).exists():
            print(f"{path} is not built (scripts/bench builds it)", file=sys.stderr)
            return 2

    load_before = os.getloadavg()[0]
    root = Path(tempfile.mkdtemp(prefix="oam-bench-"))
    rows: list[Row] = []
    sweep: list[tuple[str, list[Row]]] = []
    wakeups = threads = rss = 0
    try:
        bench = Bench(root)
        if args.only == "all":
            wakeups, threads, rss = bench.idle()
            bench.wifi_loss(rows)
        if args.only in ("all", "compress"):
            bench.wifi_loss_compressing(rows, Path(args.sample).read_bytes())
        if args.only in ("all", "cpu"):
            bench.wifi_drain(rows, 64, 200_000, args.runs)
            bench.wifi_drain(rows, 1500, 20_000, args.runs)
        if args.only in ("all", "bfg"):
            bench.bfg_drain(rows, 64, 100_000, args.runs)
        for point in args.sweep:
            batch, binary = point.split("=", 1)
            sweep.append((batch, bench.wifi_sweep(binary, [(64, 100_000), (1500, 20_000)], args.sweep_runs)))
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
            per_write = f"; {statistics.median(r.per_write):.1f} records per write" if r.per_write else ""
            print(f"{r.scenario}: {r.rates}{per_write}")
        for fault in r.faults:
            print(f"FAULT {r.scenario}: {fault}")
    print(f"idle 10 s: {wakeups} context switches over {threads} threads; resident {rss} KiB")

    cpu_rows = [r for r in rows if r.cpu_ratio is not None]
    if cpu_rows:
        print("\nCPU per stored Wi-Fi record, whole daemon process against the batched reference "
              "(medians; ratio: median of the paired ratios)\n")
        print("| scenario | daemon | batched reference | ratio | daemon records per write |")
        print("|---|---|---|---|---|")
        for r in cpu_rows:
            print(f"| {r.scenario} | {statistics.median(r.cpu_daemon):.2f} us | "
                  f"{statistics.median(r.cpu_ref):.2f} us | {r.cpu_ratio:.2f} | {statistics.median(r.per_write):.1f} |")
        for r in cpu_rows:
            print(f"{r.scenario}: CPU ratios " + " ".join(f"{d / f:.2f}" for d, f in zip(r.cpu_daemon, r.cpu_ref)))
    if sweep:
        print("\nWi-Fi receive batch size sweep: daemon CPU per record and ratio to the batched reference "
              f"({args.sweep_runs} paired runs each)\n")
        print("| batch | " + " | ".join(f"{r.scenario} daemon | ratio | per write" for r in sweep[0][1]) + " |")
        print("|---|" + "---|---|---|" * len(sweep[0][1]))
        for batch, srows in sweep:
            cells = " | ".join(f"{statistics.median(r.cpu_daemon):.2f} us | {r.cpu_ratio:.2f} | "
                               f"{statistics.median(r.per_write):.1f}" for r in srows)
            print(f"| {batch} | {cells} |")
            for r in srows:
                for fault in r.faults:
                    print(f"FAULT sweep {batch} {r.scenario}: {fault}")
    print(f"\nload average {os.getloadavg()[0]:.2f} at the end")
    if args.only != "all":
        return 0

    by_name = {r.scenario: r for r in rows}
    goals = [
        ("5000 x 64 B at line rate: 0 lost", by_name["burst 5000 x 64 B, line rate"].lost == 0),
        ("5000 x 1500 B at line rate: 0 lost", by_name["burst 5000 x 1500 B, line rate"].lost == 0),
        ("64 B at 200 k/s for 5 s: 0 lost", by_name["64 B at 200 k/s for 5 s"].lost == 0),
        ("the three bursts while compressing: 0 lost",
         all(by_name[name + ", compressing"].lost == 0 for name, _, _, _ in LOSS_SCENARIOS)),
        ("drain 64 B >= 0.90 x raw", by_name["drain 64 B, blocking sender"].ratio >= 0.90),
        ("drain 1500 B >= 0.95 x raw", by_name["drain 1500 B, blocking sender"].ratio >= 0.95),
        ("bfg drain >= 1.0 x raw", by_name["bfg node drain 64 B"].ratio >= 1.0),
        ("CPU per record 64 B <= 1.2 x batched reference",
         by_name["drain 64 B, blocking sender"].cpu_ratio <= 1.2),
        ("CPU per record 1500 B <= 1.2 x batched reference",
         by_name["drain 1500 B, blocking sender"].cpu_ratio <= 1.2),
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
