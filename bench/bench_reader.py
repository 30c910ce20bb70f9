#!/usr/bin/python3
"""oamlog reading a 40-MiB log root, against a reference build of it.

    /usr/bin/python3 bench/bench_reader.py OAMLOG [--ref OAMLOG] [--root DIR] [--runs 3]

The root is laid out once (kept in DIR, default build-rel/bench_reader_root)
as the daemon leaves it after two hours of a busy capture: some 1.3 million
records over the Wi-Fi, bfg and me cores, short text lines with a binary
chunk now and then, in files rotated at 10 MiB, and a journal of one run with
losses.  Each way of reading (text, --json, --merge, --stats) runs the
reference and the build under test in turns, output to /dev/null; the
fastest of the runs counts.  Shown: records per second, peak resident
memory, and the speed ratio of the build to the reference.  The reference
default is oamlog as it was before its output was reworked (OAMLOG_REF).
Goals (with --ref): --json at least 2x, text and --merge at least 1.5x, and
no more memory than the reference; exits 1 when one is missed.
"""

from __future__ import annotations

import argparse
import os
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
LIMIT = 10 * 1024 * 1024  # the daemon's file size at rotation
CORES = {"wifi": ("wifi_log", "wifi_log_"), "bfg": ("bfg_log", "bfg_log_"), "me": ("me_log", "bfg_log_")}
PER_CORE = 437_000
SPAN_MS = 2 * 3600 * 1000
START = (2026, 12, 10, 8, 0, 0)  # local time, +01:00
LAYOUT = "5"  # bump when the root below changes
MODES = {"text": [], "json": ["--json"], "merge": ["--merge"], "stats": ["--stats"]}
GOALS = {"text": 1.5, "json": 2.0, "merge": 1.5}


def stamp(ms: int) -> tuple:
    s, msec = divmod(ms, 1000)
    m, sec = divmod(START[5] + s, 60)
    h, mi = divmod(START[4] + m, 60)
    return (START[0], START[1], START[2], START[3] + h, mi, sec, msec)


def core_records(core: str, salt: int) -> list[bytes]:
    """One core's records, oldest first, about 16 ms apart with jitter."""
    out = []
    hdr = struct.Struct("<BBH7H")
    step = SPAN_MS / PER_CORE
    for n in range(PER_CORE):
        ms = int(n * step) + (n * 7 + salt) % 5
        if n % 4 == 3:
            data = bytes(((n + i * 31) & 0xFF for i in range(8)))
        else:
            data = b"%s ev %07d\n" % (core.encode(), n)
        out.append(hdr.pack(0xAA, 0, 18 + len(data), *stamp(ms)) + data)
    return out


def journal() -> bytes:
    def clock(ms: int) -> str:
        _, _, _, h, mi, s, msec = stamp(ms)
        return f"{h:02d}:{mi:02d}:{s:02d}.{msec:03d}"

    def line(ms: int, text: str) -> str:
        y, mo, d, h, mi, s, msec = stamp(ms)
        return f"{y:04d}-{mo:02d}-{d:02d} {h:02d}:{mi:02d}:{s:02d}.{msec:03d}+0100 {text}\n"

    lines = [line(0, "oam start version 1.0.0, mode normal, chip zr4005, pid 812, "
                     "boot 6f1d8a52-3c0e-4b7f-9a61-0c2e5d7b8f43, up 12.402 s")]
    for core in CORES:
        lines.append(line(5, f"{core} capture-started /vendor/log/{CORES[core][0]}/{CORES[core][1]}1"))
    for k in range(1, 40):
        at = k * SPAN_MS // 40
        lines.append(line(at, f"wifi lost {k * 3} records: receive buffer full, dropped by the kernel, "
                              f"{clock(at - 900)} to {clock(at - 800)}"))
    lines.append(line(SPAN_MS + 50, "oam stop "))
    return "".join(lines).encode()


def lay_out(root: Path):
    """The root, unless laid out already."""
    mark = root / ".layout"
    if mark.exists() and mark.read_text() == LAYOUT:
        return
    root.mkdir(parents=True, exist_ok=True)
    for salt, (core, (folder, prefix)) in enumerate(CORES.items()):
        # Oldest first into files of the limit: the last, not full yet, is
        # file 1, the daemon's current one.
        files = [[]]
        size = 0
        for rec in core_records(core, salt):
            if size + len(rec) > LIMIT:
                files.append([])
                size = 0
            files[-1].append(rec)
            size += len(rec)
        (root / folder).mkdir(exist_ok=True)
        for old in (root / folder).iterdir():
            old.unlink()
        for i, recs in enumerate(files):
            (root / folder / f"{prefix}{len(files) - i}").write_bytes(b"".join(recs))
    (root / "oam_events").write_bytes(journal())
    mark.write_text(LAYOUT)


def run_once(oamlog: str, root: Path, args: list[str]) -> tuple[float, int]:
    """Seconds and peak resident KiB of one run.  The peak is taken by
    /usr/bin/time: a process forked from this one would count what this one
    holds."""
    with open(os.devnull, "wb") as sink, tempfile.NamedTemporaryFile("r") as peak:
        begin = time.monotonic()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak.name, oamlog, "--root", str(root), *args],
                              stdout=sink, stderr=subprocess.PIPE)
        took = time.monotonic() - begin
        rss = peak.read().strip()
    if proc.returncode != 0:
        raise RuntimeError(f"{oamlog} {' '.join(args)}: status {proc.returncode}: {proc.stderr[:400]!r}")
    return took, int(rss)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("oamlog")
    parser.add_argument("--ref", default=os.environ.get("OAMLOG_REF"))
    parser.add_argument("--root", type=Path, default=REPO / "build-rel" / "bench_reader_root")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--modes", default=",".join(MODES))
    parser.add_argument("--lay-out", action="store_true", help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.lay_out:
        lay_out(opts.root)
        return 0
    # Laid out by a process of its own, which returns its memory.
    subprocess.run([sys.executable, __file__, "--lay-out", "--root", str(opts.root), "-"], check=True)
    records = PER_CORE * len(CORES)
    os.environ["TZ"] = "Europe/Berlin"
    os.environ.pop("OAMLOG_PAGER", None)
    mib = sum(f.stat().st_size for f in opts.root.rglob("*") if f.is_file()) / 2**20
    print(f"root {opts.root}: {records} records, {mib:.1f} MiB; fastest of {opts.runs} runs")
    builds = {"new": opts.oamlog} | ({"ref": opts.ref} if opts.ref else {})
    print(f"{'mode':6} {'build':5} {'seconds':>8} {'records/s':>11} {'peak RSS':>9} {'speed':>6}")
    missed = []
    for mode in opts.modes.split(","):
        best = {b: (float("inf"), 0) for b in builds}
        for _ in range(opts.runs):
            for b, binary in builds.items():
                took, rss = run_once(binary, opts.root, MODES[mode])
                best[b] = (min(best[b][0], took), max(best[b][1], rss))
        for b in builds:
            took, rss = best[b]
            ratio = best["ref"][0] / took if "ref" in best else 1.0
            print(f"{mode:6} {b:5} {took:8.3f} {records / took:11.0f} {rss / 1024:7.1f}Mi {ratio:5.2f}x")
        if "ref" in best:
            ratio = best["ref"][0] / best["new"][0]
            if ratio < GOALS.get(mode, 0):
                missed.append(f"{mode}: {ratio:.2f}x, goal {GOALS[mode]}x")
            # Memory stays what the reader's buffers take, whatever the root holds.
            if best["new"][1] > best["ref"][1] * 1.1 + 1024:
                missed.append(f"{mode}: peak RSS {best['new'][1]} KiB against {best['ref'][1]} KiB")
    for m in missed:
        print(f"goal missed: {m}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
