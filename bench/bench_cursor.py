"""What --cursor-file costs a reader: oamlog reading 100 MB of log files
(two cores, ten files each, records of 40 to 2000 bytes) into a file, as
JSON and as text, with a cursor file and without, in alternating pairs.
The goal: the median of the paired ratios is at most 1.05.

    /usr/bin/python3 bench/bench_cursor.py build-rel/oamlog [--runs 5]
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

FILE_BYTES = 5 * 1024 * 1024
FILES = 10
GOAL = 1.05


def lay_out(root: Path):
    rnd = random.Random(100)
    ms = 0
    for folder, prefix in (("wifi_log", "wifi_log_"), ("bfg_log", "bfg_log_")):
        (root / folder).mkdir(parents=True)
        for k in range(FILES, 0, -1):
            out = bytearray()
            while len(out) < FILE_BYTES:
                data = rnd.randbytes(rnd.choice((40, 40, 40, 200, 2000)))
                stamp = (2026, 12, 1 + ms // 86_400_000, ms // 3_600_000 % 24, ms // 60000 % 60, ms // 1000 % 60,
                         ms % 1000)
                out += struct.pack("<BBH7H", 0xAA, 0, 18 + len(data), *stamp) + data
                ms += 1
            (root / folder / f"{prefix}{k}").write_bytes(bytes(out))


def seconds(argv: list[str], out: Path) -> float:
    with open(out, "wb") as f:
        start = time.monotonic()
        subprocess.run(argv, stdout=f, stderr=subprocess.DEVNULL, check=True, timeout=600)
        return time.monotonic() - start


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("oamlog")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp) / "log"
        lay_out(root)
        size = sum(f.stat().st_size for f in root.rglob("*_log_*"))
        cursor = Path(tmp) / "cursor"
        out = Path(tmp) / "out"
        for fmt in (["--json"], []):
            base = [args.oamlog, "--merge", "--root", str(root), *fmt]
            ratios, plain_t, cursor_t = [], [], []
            for _ in range(args.runs):
                cursor.unlink(missing_ok=True)
                plain_t.append(seconds(base, out))
                cursor_t.append(seconds([*base, "--cursor-file", str(cursor)], out))
                ratios.append(cursor_t[-1] / plain_t[-1])
            ratio = statistics.median(ratios)
            name = "json" if fmt else "text"
            print(f"{name}: {size / 1e6:.0f} MB read in {statistics.median(plain_t):.3f} s without a cursor, "
                  f"{statistics.median(cursor_t):.3f} s with --cursor-file: ratio {ratio:.3f} "
                  f"(goal <= {GOAL}){'' if ratio <= GOAL else '  MISSED'}")
            ok = ok and ratio <= GOAL
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
