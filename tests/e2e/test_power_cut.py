"""Power cuts and failing calls, end to end.

The log root lies on ext4 over a loop device (the chip's `log_loopfs`); a
cut shuts that file system down without flushing its journal, as a power
cut leaves a device, at a random moment of one activity.  The file system
is then mounted again, the daemon started once and stopped, and what an
engineer would find is checked: `oamlog --check` passes, archives are whole
or absent, no temporary file is left, no record is kept twice, and no more
is lost than the last sync interval plus what the journal tells.

The moments come from one seed, printed; OAM_CUT_SEED=<seed> replays a run.
Without root or a free loop device the cut cases are skipped, saying why;
under CI they fail instead.

The error paths a cut cannot reach are driven by failing calls at random
(the fault-injection preload libraries' POSIX wrappers, enabled from the
environment at start)."""

from __future__ import annotations

import os
import random
import re
import signal
import struct
import subprocess
import tarfile
import threading
import time
from datetime import datetime
from pathlib import Path

import pytest

import oamsim
from oamsim import loopfs
from test_oamlog import OAMLOG

SEED = int(os.environ.get("OAM_CUT_SEED") or random.SystemRandom().randrange(1 << 32))
CUTS = int(os.environ.get("OAM_CUTS") or 3)
CI = os.environ.get("CI") == "true"

LOG = "/vendor/log"
WIFI_DIR = LOG + "/wifi_log"
DUMP_DIR = oamsim.MEMDUMP_DIR
LIMIT = 10 * 1024 * 1024  # every start is a user build: a file is full at 10 MiB
RATE = 800                 # paced messages a second
SIZE = 700                 # bytes each
# A periodic sync of at most 5 s is on by default; a record reaches the file
# within a second of being sent (receiver and writer under a loaded machine).
DEFAULT_SYNC = 5
PIPELINE = 1.0
LOSS_RE = re.compile(r"^(\S+ \S+) wifi lost (\d+) ", re.M)
START_RE = re.compile(r"^\S+ \S+ oam start .*, pid (\d+),", re.M)


def ini(**keys) -> str:
    keys = {"log_switch_device_wifi": 1, **keys}
    return "[HOST_PLAT]\n" + "".join(f"{k}={v}\n" for k, v in keys.items())


def seeded_rng(request) -> random.Random:
    print(f"power-cut seed {SEED} (replay: OAM_CUT_SEED={SEED})")
    return random.Random(f"{SEED}/{request.node.name}")


def need_loopfs(make):
    """A chip on a loop file system, or the case skipped (failed under CI)
    with the reason."""
    reason = loopfs.unavailable()
    if reason is None:
        try:
            return make()
        except OSError as exc:  # no free loop device, mount refused
            reason = str(exc)
    (pytest.fail if CI else pytest.skip)(f"power-cut harness unavailable: {reason}")


# Records -------------------------------------------------------------------


def local_stamp(t: float) -> tuple:
    lt = time.localtime(t)
    return (lt.tm_year, lt.tm_mon, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec, int(t * 1000) % 1000)


def record(data: bytes, stamp: tuple) -> bytes:
    return struct.pack("<BBH7H", 0xAA, 0, 18 + len(data), *stamp) + data


def filler_records(nbytes: int) -> bytes:
    """Whole records of about `nbytes`, stamped now: history of an earlier
    run that belongs to no stream."""
    rec = record(b"earlier run ".ljust(2000, b"."), local_stamp(time.time()))
    return rec * max(1, nbytes // len(rec))


def log_bytes(path: Path) -> bytes:
    if path.name.endswith(".zst"):
        return subprocess.run(["zstd", "-qdc", str(path)], capture_output=True, check=True).stdout
    return path.read_bytes()


def stream_seqs(root: Path, stream: int) -> list[int]:
    """Sequence numbers of `stream` in the Wi-Fi files, oldest file first.
    A record counts only when its payload is exactly what was sent; a
    damaged stretch is stepped over to the next whole record, as the
    reader does."""
    files = []
    for path in (root / "wifi_log").iterdir():
        m = re.fullmatch(r"wifi_log_(\d+)(\.zst)?", path.name)
        if m:
            files.append((int(m.group(1)), path))
    seqs = []
    for _, path in sorted(files, reverse=True):
        data, off = log_bytes(path), 0
        while off + 18 + 8 <= len(data):
            length = data[off + 2] | data[off + 3] << 8
            if data[off:off + 2] == b"\xaa\x00" and off + length <= len(data):
                body = data[off + 18:off + length]
                if len(body) >= 8:
                    seq, st = struct.unpack_from("<II", body)
                    if st == stream and body == oamsim.payload(seq, stream, SIZE):
                        seqs.append(seq)
                        off += length
                        continue
                if length >= 18 and body[:12] == b"earlier run ":
                    off += length
                    continue
            nxt = data.find(b"\xaa\x00", off + 1)
            off = nxt if nxt >= 0 else len(data)
    return seqs


def journal(root: Path) -> str:
    return "".join((root / n).read_bytes().decode("utf-8", "replace")
                   for n in ("oam_events.1", "oam_events") if (root / n).exists())


# The cut -------------------------------------------------------------------


class Load:
    """Paced, sequence-numbered Wi-Fi messages from the load generator,
    sent as a driver does (never waiting; a refusal is an overrun the
    daemon counts).  `sent_by(t)` is at least what had gone out by
    monotonic time t."""

    def __init__(self, chip, stream: int, count: int, rate: float | None = RATE, size=SIZE):
        args = [str(oamsim.default_loadgen()), "wifi", "--port", str(chip.daemon_port), "--count", str(count),
                "--size", str(size), "--stream", str(stream), "--overrun", str(chip.overrun_path)]
        if rate:
            args += ["--rate", str(rate)]
        self.stream, self.count, self.rate = stream, count, rate
        self.t0 = time.monotonic()
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)

    def sent_by(self, t: float) -> int:
        return min(self.count, int((t - self.t0) * self.rate) + 1) if self.rate else self.count

    def stop(self) -> dict:
        if self.proc.poll() is None:
            self.proc.kill()
        out = self.proc.communicate()[0]
        return dict(item.split("=", 1) for item in out.split()) if self.proc.returncode == 0 else {}


def start_daemon(chip, timeout: float = 30.0):
    """Starts the daemon; returns it with the seconds to its hello."""
    mark = chip.mark()
    t = time.monotonic()
    oam = chip.start_daemon()
    chip.wait_hello(after=mark, timeout=timeout)
    return oam, time.monotonic() - t


def gzip_whole(path: Path) -> list[str]:
    """Member names of a .tar.gz that passes gzip -t; fails otherwise."""
    test = subprocess.run(["gzip", "-t", str(path)], capture_output=True, text=True)
    assert test.returncode == 0, f"{path.name}: {test.stderr}"
    with tarfile.open(path) as tar:
        names = tar.getnames()
    assert names, f"{path.name}: no members"
    return names


def check_root(root: Path, where: str):
    """What an engineer finds after the cut and one start and stop."""
    check = subprocess.run([*oamsim.exec_prefix(), str(OAMLOG), "--root", str(root), "--check"],
                           capture_output=True, text=True, timeout=120)
    assert check.returncode == 0, f"{where}: oamlog --check status {check.returncode}:\n{check.stdout[-3000:]}" \
        f"\n{check.stderr[-3000:]}"
    left = [str(p.relative_to(root)) for p in root.rglob("*") if re.search(r"\.(tmp|part)$", p.name)]
    assert not left, f"{where}: left behind: {left}"
    for path in root.rglob("*.tar.gz"):
        gzip_whole(path)


class Round:
    """One stretch of an activity ended by a cut, and its accounting."""

    def __init__(self, n: int, sync: float):
        self.n, self.sync = n, sync
        self.loads: list[Load] = []
        self.wall0 = time.time()
        self.t_cut = 0.0

    def account(self, chip, root: Path, where: str):
        text = journal(root)
        lost_told = sum(int(c) for stamp, c in LOSS_RE.findall(text)
                        if datetime.strptime(stamp[:19], "%Y-%m-%d %H:%M:%S").timestamp() >= int(self.wall0))
        missing = allowed = 0
        for load in self.loads:
            seqs = stream_seqs(root, load.stream)
            assert len(seqs) == len(set(seqs)), f"{where}: stream {load.stream} has records twice"
            assert seqs == sorted(seqs), f"{where}: stream {load.stream} out of order"
            sent = load.sent_by(self.t_cut)
            missing += sent - len([s for s in seqs if s < sent])
            if load.rate:
                allowed += int(load.rate * (self.sync + PIPELINE)) + 1
        assert missing <= allowed + lost_told, (
            f"{where}: {missing} records missing; the last {self.sync}s of sends allow {allowed}, "
            f"the journal tells {lost_told}")


def cut_and_restart(chip, rnd: Round, where: str, durations: list[float]) -> int:
    """The cut, the next start and stop, and the checks; returns the pid
    of the run that was cut."""
    cut_pid = next(p.pid for p in reversed(chip._processes) if p.name.startswith("oam") and p.alive)
    rnd.t_cut = time.monotonic()
    chip.power_cut()
    for load in rnd.loads:
        load.stop()
    oam, took = start_daemon(chip)
    durations.append(took)
    oam.wait_stdout(re.compile(r"^\[\w+:\d+\]"), timeout=30)
    assert oam.terminate() and oam.wait(timeout=30) == 0, f"{where}: the stop after the cut failed"
    root = chip.host_path(LOG)
    check_root(root, where)
    rnd.account(chip, root, where)
    # The run that was cut is told right after the next start, when its
    # own start reached the disk.
    text = journal(root)
    starts = [(m.start(), int(m.group(1))) for m in START_RE.finditer(text)]
    if any(pid == cut_pid for _, pid in starts):
        after = text[starts[-1][0]:].splitlines()
        assert len(after) > 1 and re.fullmatch(
            rf"\S+ \S+ oam unclean-end pid {cut_pid}, started .+, boot \S+, last line .+, "
            r"records after its last sync may be missing", after[1]), \
            f"{where}: no unclean-end of pid {cut_pid} after the start: {after[:3]}"
    return cut_pid


def fsync_tree(root: Path):
    """Makes what the test itself placed durable: it is no part of a cut."""
    for path in [*root.rglob("*"), root]:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def top_up_file1(chip, rng: random.Random, seconds: float):
    """Fills file 1 so that it becomes full, and rotates, some random moment
    within `seconds` of paced load."""
    path = chip.host_path(WIFI_DIR + "/wifi_log_1")
    have = path.stat().st_size if path.exists() else 0
    room = int(rng.uniform(0.1, seconds) * RATE * (SIZE + 18))
    if LIMIT - room > have:
        with open(path, "ab") as f:
            f.write(filler_records(LIMIT - room - have))


# Activities: each prepares a round and starts what the cut will hit; returns
# the window of the cut (seconds after the start of the activity).

def act_steady(chip, oam, rng, rnd):
    rnd.loads.append(Load(chip, rnd.n, RATE * 8))
    return 0.2, 4.0


def act_rotation(chip, oam, rng, rnd):
    rnd.loads.append(Load(chip, rnd.n, RATE * 8))
    return 0.2, 3.0


def act_dump(chip, oam, rng, rnd):
    rnd.loads.append(Load(chip, rnd.n, RATE * 8))
    time.sleep(rng.uniform(0.1, 1.0))  # a dump at a random moment of capture
    chip.dump(oamsim.NODE_WIFI_EXCP, 0, [rng.randint(1, 200_000) for _ in range(4)])
    return 0.0, 1.5


def act_burst(chip, oam, rng, rnd):
    rnd.loads.append(Load(chip, 2 * rnd.n, RATE * 8))
    burst = Load(chip, 2 * rnd.n + 1, 20000, rate=None, size=64)
    res = burst.stop() if burst.proc.wait(60) == 0 else {}
    assert int(res.get("refused", 0)) > 0, f"the burst was not refused in part: {res}"
    rnd.loads.append(burst)
    return 0.0, 3.0


def act_bundle(chip, oam, rng, rnd):
    rnd.loads.append(Load(chip, rnd.n, RATE * 8))
    time.sleep(rng.uniform(0.1, 0.5))
    chip.start_process([str(OAMLOG), "--bundle", f"{LOG}/bundle{rnd.n}.tar.gz"], preload=False,
                       ro_paths=[OAMLOG], target=True, name=f"bundle{rnd.n}")
    return 0.0, 1.5


# name: (activity, INI keys, sync interval in force, top up file 1 for a rotation)
SCENARIOS = {
    "steady": (act_steady, {}, DEFAULT_SYNC, False),
    "rotation": (act_rotation, {}, DEFAULT_SYNC, True),
    "compression": (act_rotation, {"log_compress": "zstd"}, DEFAULT_SYNC, True),
    "budget": (act_rotation, {"log_max_use": 24}, DEFAULT_SYNC, True),
    "dump-context": (act_dump, {"dump_context_seconds": 60}, DEFAULT_SYNC, False),
    "burst": (act_burst, {"log_rcvbuf_device_wifi": 16, "log_sync_interval": 1}, 1, False),
    "bundle": (act_bundle, {}, DEFAULT_SYNC, False),
}


@pytest.mark.thread_heavy
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_a_power_cut_loses_seconds_never_files(request, chip_factory, scenario):
    activity, keys, sync, rotate = SCENARIOS[scenario]
    rng = seeded_rng(request)
    files = {}
    if scenario == "budget":  # history above the budget, removed while capture runs
        files = {f"{WIFI_DIR}/wifi_log_{k}": filler_records(3 << 20) for k in (2, 3, 4)}
    chip = need_loopfs(lambda: chip_factory(model="zr4002", ini=ini(**keys), files=files, log_loopfs=96 << 20))
    root = chip.host_path(LOG)
    durations: list[float] = []
    for n in range(CUTS):
        where = f"{scenario} cut {n + 1}/{CUTS} (OAM_CUT_SEED={SEED})"
        if rotate:
            top_up_file1(chip, rng, 2.5)
        fsync_tree(root)
        rnd = Round(n, sync)
        oam, took = start_daemon(chip)
        durations.append(took)
        lo, hi = activity(chip, oam, rng, rnd)
        time.sleep(rng.uniform(lo, hi))
        cut_and_restart(chip, rnd, where, durations)
    print(f"{scenario}: seconds to the hello, per start: {', '.join(f'{d:.2f}' for d in durations)}")


# Failing calls -------------------------------------------------------------

FIU_DIR = Path("/usr/lib/fiu")
FIU_CALLS = ("posix/io/oc/open", "posix/io/dir/rename", "posix/io/dir/unlink", "posix/io/sync/fsync",
             "posix/io/rw/write")
# The fault-injection preload's failure points with the calls the daemon
# makes for its files.  Not reachable through it: copy_file_range, sendfile,
# renameat2, unlinkat and syncfs (it has no wrapper for them).
FIU_PRELOAD = [FIU_DIR / "fiu_run_preload.so", FIU_DIR / "fiu_posix_preload.so"]
FIU_P = 0.02


def fiu_env() -> dict:
    """Failures enabled from the environment at start: the remote-control
    FIFO stays off (its thread takes SIGTERM's default action)."""
    return {"FIU_ENABLE": "".join(f"enable_random name={c},probability={FIU_P}\n" for c in FIU_CALLS)}


def history_records(root: Path) -> int:
    """Records of the earlier run kept in the Wi-Fi files."""
    return sum(log_bytes(p).count(b"earlier run ") for p in (root / "wifi_log").iterdir()
               if re.fullmatch(r"wifi_log_\d+(\.zst)?", p.name))


def wait_for(check, what: str, oam, timeout: float = 60.0):
    deadline = time.monotonic() + timeout
    while not check():
        assert oam.alive, f"the daemon ended: status {oam.wait()}; {oam.stderr[-2000:]}"
        assert time.monotonic() < deadline, f"no {what} after {timeout}s"
        time.sleep(0.05)


def wait_journal(chip, pattern: str, oam):
    wait_for(lambda: re.search(pattern, journal(chip.host_path(LOG)), re.M), repr(pattern), oam)


def fiu_rotation(chip, oam):
    wait_journal(chip, r" wifi (rotated|lost) ", oam)


def fiu_compression(chip, oam):
    def done():
        plain = [n for n in chip.listdir(WIFI_DIR) if re.fullmatch(r"wifi_log_([2-9]|\d\d+)", n)]
        return not plain or " wifi compress-failed " in journal(chip.host_path(LOG))
    fiu_rotation(chip, oam)
    wait_for(done, "rotated file compressed or its failure told", oam)


def fiu_budget(chip, oam):
    wait_journal(chip, r" wifi removed ", oam)


def fiu_context(chip, oam):
    ev = chip.dump(oamsim.NODE_WIFI_EXCP, 0, [4096, 70_000])
    chip.wait_dump_wait(oamsim.NODE_WIFI_EXCP, after=ev.seq + 1, timeout=60)


def fiu_bundle(chip, oam):
    proc = chip.start_process([str(OAMLOG), "--bundle", f"{LOG}/crash.tar.gz"], preload=FIU_PRELOAD,
                              env=fiu_env(), ro_paths=[OAMLOG], target=True, name="bundle")
    status = proc.wait(timeout=60)
    assert status < 128 and "Sanitizer" not in proc.stderr, f"oamlog --bundle: status {status}: {proc.stderr}"


FIU_CASES = {  # name: (INI keys, what to wait for once the load was sent)
    "rotation": ({}, fiu_rotation),
    "compression": ({"log_compress": "zstd"}, fiu_compression),
    "budget": ({"log_max_use": 16}, fiu_budget),
    "context": ({"dump_context_seconds": 60}, fiu_context),
    "bundle": ({}, fiu_bundle),
}


@pytest.mark.thread_heavy
@pytest.mark.parametrize("case", FIU_CASES)
def test_failing_calls_are_retried_or_counted_never_a_crash_a_hang_or_a_lost_file(chip_factory, case):
    missing = [str(p) for p in FIU_PRELOAD if not p.exists()]
    if missing:
        (pytest.fail if CI else pytest.skip)(f"fault-injection preload missing: {missing} (scripts/install-deps)")
    keys, until = FIU_CASES[case]
    history = {f"{WIFI_DIR}/wifi_log_{k}": filler_records(3 << 20) for k in (2, 3)}
    history[f"{WIFI_DIR}/wifi_log_1"] = filler_records(LIMIT - (1 << 20))
    chip = chip_factory(model="zr4002", ini=ini(**keys), files=history)
    root = chip.host_path(LOG)
    seeded = history_records(root)
    oam = chip.start_daemon(preload=[*FIU_PRELOAD, oamsim.default_preload()], env=fiu_env())
    chip.wait_hello(timeout=30)
    load = Load(chip, 0, 3000)
    load.proc.wait(60)
    res = load.stop()
    until(chip, oam)
    assert oam.terminate() and oam.wait(timeout=30) == 0, f"{case}: stop: {oam.stderr[-3000:]}"
    assert "Sanitizer" not in oam.stderr, oam.stderr[-3000:]

    check_root(root, case)
    text = journal(root)
    seqs = stream_seqs(root, 0)
    assert len(seqs) == len(set(seqs)) and seqs == sorted(seqs), f"{case}: records twice or out of order"
    told = sum(int(c) for _, c in LOSS_RE.findall(text))
    assert int(res["sent"]) + int(res["refused"]) - len(seqs) <= told, \
        f"{case}: {res} sent, {len(seqs)} stored, the journal tells {told} lost"
    removed = sum(int(b) for b in re.findall(r" wifi removed \S+ (\d+) ", text))
    per = len(filler_records(1))
    assert history_records(root) == seeded - removed // per, f"{case}: a file of the earlier run went untold"
