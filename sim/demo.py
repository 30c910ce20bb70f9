#!/usr/bin/python3
"""Runs the daemon against the virtual chip for a minute's look at it.

    /usr/bin/python3 sim/demo.py [--model zr4005] [--mode test] [--out demo-out]

Starts oam (OAM_BIN, default build/oam) in a sandbox under the output folder,
feeds it Wi-Fi, bfg and me log chunks and one Wi-Fi crash dump, stops it
with SIGTERM and prints what it did towards the drivers and which files it
wrote.  The sandbox's /vendor is left in <out>/root/vendor for inspection.
"""

from __future__ import annotations

import argparse
import shutil
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import oamsim  # noqa: E402

INI = """[HOST_PLAT]
log_switch_device_wifi=1
log_switch_device_bfg=1
log_switch_device_me=1
plat_dfr_enable=1
plat_dfr_beatTimer_timeOut_reset_enable=0
"""


def wait_archive(chip, timeout: float):
    deadline = time.monotonic() + timeout
    while not any(name.endswith(".tar.gz") for name in chip.listdir(oamsim.MEMDUMP_DIR)):
        if time.monotonic() > deadline:
            raise TimeoutError("no dump archive written")
        time.sleep(0.05)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--model", default="zr4005")
    ap.add_argument("--mode", choices=("normal", "test", "wvt"), default="normal")
    ap.add_argument("--out", default=str(oamsim.sandbox.REPO_ROOT / "demo-out"))
    opts = ap.parse_args()

    out = Path(opts.out)
    shutil.rmtree(out, ignore_errors=True)
    with oamsim.VirtualChip(out, model=opts.model, ini=INI) as chip:
        daemon = chip.start_daemon(args=[] if opts.mode == "normal" else [opts.mode])
        print(f"oam running as pid {daemon.pid}")
        chip.wait_hello(timeout=10)
        for i in range(3):
            chip.send_wifi_log(f"wifi log line {i}\n".encode())
        bfg = oamsim.NODE_BT if opts.mode == "wvt" else oamsim.NODE_BFG_DBG
        chip.wait_open(bfg, timeout=10)
        chip.send_chunks(bfg, [f"bfg log line {i}\n".encode() for i in range(3)])
        # A chunk read is stored right after: sent before the dump, it is in
        # its file by the time the archive is there.
        if oamsim.has_me_core(opts.model):
            chip.wait_open(oamsim.NODE_ME, timeout=10)
            chip.send_chunk(oamsim.NODE_ME, b"me log line\n")
        files = oamsim.dump_files("wifi", opts.model)
        try:
            chip.dump("wifi", 0, [256 * (i + 1) for i in range(len(files))], timeout=10)
            wait_archive(chip, 10)
        except (oamsim.ChipTimeout, TimeoutError) as exc:
            print(f"no dump taken: {exc}")
        for node in (bfg, oamsim.NODE_ME):
            if chip.data_conns(node):
                chip.wait_consumed(node)
        daemon.terminate()
        print(f"oam ended with status {daemon.wait(10)}")

        print("\nwhat the daemon did towards the drivers:")
        for ev in chip.events():
            print(f"  {ev.t - daemon.started:8.3f}s {ev!r}")
        print(f"\nfiles under {chip.host_path('/vendor/log')}:")
        for path in sorted(chip.host_path("/vendor/log").rglob("*")):
            if path.is_file():
                print(f"  {path.relative_to(chip.host_path('/vendor'))}  {path.stat().st_size} bytes")
        print(f"\nstandard output: {daemon.stdout_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
