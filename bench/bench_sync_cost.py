#!/usr/bin/python3
"""What the periodic sync costs the flash: bytes the log device writes per
byte of log stored.

    /usr/bin/python3 bench/bench_sync_cost.py [--seconds 60] [--rates 1,50,1024]

Each run puts the chip's /vendor/log on a fresh ext4 file system over a loop
device of its own (needs root, losetup and mkfs.ext4: skipped with the reason
otherwise), starts the daemon (OAM_BIN, default build-rel/oam) with
log_sync_interval 1, 2 (the default), 5 or 30 s, or 0 (off: the kernel's own write-back, the
reference every other row is read against), and sends Wi-Fi logs at the
rate for the time given.  The daemon is then stopped (its stop syncs), the
file system synced, and the sectors the device wrote since the daemon was
ready (/sys/block/loopN/stat) divided by the bytes the log files grew by.
The intervals of one rate run side by side, each on its own device,
so that they see the same machine.

Prints one table (write cost per stored byte; ratio to off).
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
os.environ.setdefault("OAM_BIN", str(REPO / "build-rel" / "oam"))
os.environ.setdefault("OAM_PRELOAD", str(REPO / "build-rel" / "oamsim_preload.so"))
sys.path.insert(0, str(REPO / "sim"))
sys.path.insert(0, str(REPO / "bench"))

import oamsim  # noqa: E402
from bench_e2e import READY, dir_bytes  # noqa: E402

INTERVALS = (1, 2, 5, 30, 0)
WIFI_DIR = "/vendor/log/wifi_log"
IMAGE_MIB = 512


def why_not() -> str | None:
    if os.geteuid() != 0:
        return "not root: no loop device"
    for tool in ("losetup", "mkfs.ext4", "mount", "umount"):
        if shutil.which(tool) is None:
            return f"{tool} not found"
    return None


def written_bytes(dev: str) -> int:
    # Field 7 of the block device's statistics: sectors written, 512 bytes each.
    return int(Path(f"/sys/block/{Path(dev).name}/stat").read_text().split()[6]) * 512


class LoopFs:
    """An ext4 file system on a loop device, mounted at `at`."""

    def __init__(self, image: Path, at: Path):
        self.image, self.at, self.dev = image, at, None
        with open(image, "wb") as f:
            f.truncate(IMAGE_MIB << 20)
        self.dev = subprocess.run(["losetup", "--find", "--show", str(image)], check=True, capture_output=True,
                                  text=True).stdout.strip()
        subprocess.run(["mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0", self.dev], check=True, capture_output=True)
        at.mkdir(parents=True, exist_ok=True)
        subprocess.run(["mount", "-t", "ext4", self.dev, str(at)], check=True, capture_output=True)
        self.mounted = True

    def sync(self):
        fd = os.open(self.at, os.O_RDONLY)
        try:
            os.fsync(fd)
            subprocess.run(["sync", "-f", str(self.at)], check=True)
        finally:
            os.close(fd)

    def close(self):
        if self.mounted:
            subprocess.run(["umount", str(self.at)], check=False, capture_output=True)
            self.mounted = False
        if self.dev:
            subprocess.run(["losetup", "-d", self.dev], check=False, capture_output=True)
            self.dev = None
        self.image.unlink(missing_ok=True)


def one_run(root: Path, name: str, interval: int, size: int, rate: int, seconds: int, out: dict):
    run_dir = root / name
    ini = f"[HOST_PLAT]\nlog_switch_device_wifi=1\nlog_switch_device_bfg=0\nlog_sync_interval={interval}\n"
    chip = oamsim.VirtualChip(run_dir, model="zr4002", ini=ini)
    fs = None
    try:
        fs = LoopFs(root / f"{name}.img", chip.host_path("/vendor/log"))
        chip.start()
        oam = chip.start_daemon()
        chip.wait_hello()
        oam.wait_stdout(READY, 10)
        host = chip.host_path(WIFI_DIR)
        fs.sync()
        stored0, written0 = dir_bytes(host), written_bytes(fs.dev)
        chip.wifi_load(rate * seconds, size=size, rate=rate, blocking=True)
        oam.stop()
        fs.sync()
        stored = dir_bytes(host) - stored0
        out[name] = (written_bytes(fs.dev) - written0) / stored if stored > 0 else None
    except Exception as e:  # noqa: BLE001 - reported in the table
        out[name] = f"failed: {e}"
    finally:
        chip.close()
        if fs is not None:
            fs.close()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=60, help="seconds of logs per run (default 60)")
    parser.add_argument("--rates", default="1,50,1024", help="KiB/s of logs, comma-separated (default 1,50,1024)")
    args = parser.parse_args()
    reason = why_not()
    if reason:
        print(f"write cost of the periodic sync skipped: {reason}")
        return 0
    # Payload sizes and message rates that make up each rate of logs.
    shapes = {1: (128, 8), 50: (256, 200), 1024: (1024, 1024)}
    rates = [int(r) for r in args.rates.split(",")]
    root = Path(tempfile.mkdtemp(prefix="oam-sync-cost-"))
    results: dict[str, object] = {}
    try:
        for kib in rates:
            size, rate = shapes.get(kib, (1024, kib))
            threads = [threading.Thread(target=one_run, args=(root, f"{kib}k-{iv}", iv, size, rate, args.seconds,
                                                                results)) for iv in INTERVALS]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
    finally:
        shutil.rmtree(root, ignore_errors=True)

    def cell(kib, iv):
        v = results.get(f"{kib}k-{iv}")
        if not isinstance(v, float):
            return str(v)
        off = results.get(f"{kib}k-0")
        return f"{v:.2f}" + (f" ({v / off:.1f}x)" if isinstance(off, float) and iv != 0 else "")

    print(f"\nbytes written to the device per byte stored, {args.seconds} s per run (x: against off)\n")
    print("| logs | " + " | ".join("off" if iv == 0 else f"{iv} s" for iv in INTERVALS) + " |")
    print("|---|" + "---|" * len(INTERVALS))
    for kib in rates:
        label = f"{kib // 1024} MiB/s" if kib >= 1024 else f"{kib} KiB/s"
        print(f"| {label} | " + " | ".join(cell(kib, iv) for iv in INTERVALS) + " |")
    failed = [k for k, v in results.items() if not isinstance(v, float)]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
