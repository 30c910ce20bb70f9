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

The error paths a cut cannot reach are driven by failing the daemon's file
calls at random (failure points of fiu_more_shim.c, enabled from the
environment at start by the fault-injection library's run-time preload)."""

from __future__ import annotations

import os
import random
import re
import struct
import subprocess
import tarfile
import time
from datetime import datetime
from pathlib import Path

import pytest

import oamsim
from oamsim import loopfs
from startup_support import wait_started
from test_oamlog import OAMLOG
from test_wifi_logs import settle

# One seed for the whole run, pytest -n workers included (they share the run's id).
_RUN_ID = os.environ.get("PYTEST_XDIST_TESTRUNUID")
SEED = int(os.environ.get("OAM_CUT_SEED") or (int(_RUN_ID[:8], 16) if _RUN_ID else
                                              random.SystemRandom().randrange(1 << 32)))
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
# Losses told in the journal; the receiver barrier's empty message is none.
LOSS_RE = re.compile(r"^(\S+ \S+) wifi lost (\d+) (records|bytes)(?!.*malformed message)", re.M)
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


def stream_seqs(root: Path, stream: int, size=SIZE) -> list[int]:
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
                seq, st = struct.unpack_from("<II", body) if len(body) >= 8 else (0, None)
                if st == stream and body == oamsim.payload(seq, stream, size):
                    seqs.append(seq)
                    off += length
                    continue
                if length >= 18 and st != stream:  # another stream's, or the earlier run's
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
        self.t_end = None
        args = [str(oamsim.default_loadgen()), "wifi", "--port", str(chip.daemon_port), "--count", str(count),
                "--size", str(size), "--stream", str(stream), "--overrun", str(chip.overrun_path)]
        if rate:
            args += ["--rate", str(rate)]
        self.stream, self.count, self.rate, self.size = stream, count, rate, size
        self.t0 = time.monotonic()
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)

    def sent_by(self, t: float) -> int:
        return min(self.count, int((t - self.t0) * self.rate) + 1) if self.rate else self.count

    def stop(self) -> dict:
        if self.t_end is None:
            if self.proc.poll() is None:
                self.proc.kill()
            out = self.proc.communicate()[0]
            self.t_end = time.monotonic()
            self.counts = dict(item.split("=", 1) for item in out.split()) if self.proc.returncode == 0 else {}
        return self.counts


def threads(pid: int) -> str:
    """What each thread of a process waits in (a start that hangs)."""
    out = []
    for task in sorted(Path(f"/proc/{pid}/task").glob("*")):
        try:
            stat = (task / "stat").read_text()
            out.append(f"{(task / 'comm').read_text().strip()} {stat[stat.rindex(')') + 2]} "
                       f"{(task / 'wchan').read_text()}")
        except OSError:
            pass
    return f"threads of {pid}: " + (", ".join(out) or "none")


def start_daemon(chip, timeout: float = 30.0):
    """Starts the daemon and waits until its start-up is over; returns it
    with the seconds to its hello (a start after a cut repairs first)."""
    # A new socket starts with no drops: the chip's counter is per run.
    chip.overrun_path.write_bytes(bytes(24))
    mark = chip.mark()
    t = time.monotonic()
    oam = chip.start_daemon()
    try:
        chip.wait_hello(after=mark, timeout=timeout)
    except oamsim.ChipTimeout:
        raise AssertionError(f"no hello {timeout}s after the start; {threads(oam.pid)}; its output:\n"
                             f"{oam.stdout[-2500:]}") from None
    took = time.monotonic() - t
    wait_started(oam, timeout)
    return oam, took


def told_losses(text: str, since: float) -> int:
    """Wi-Fi records the journal counts as lost in lines stamped from
    `since` (wall time) on; a count of bytes as the records it may hold."""
    total = 0
    for stamp, count, unit in LOSS_RE.findall(text):
        if datetime.strptime(stamp[:19], "%Y-%m-%d %H:%M:%S").timestamp() >= int(since):
            total += int(count) if unit == "records" else -(-int(count) // (SIZE + 18)) + 1
    return total


def gzip_whole(path: Path) -> list[str]:
    """Member names of a .tar.gz that passes gzip -t; fails otherwise."""
    test = subprocess.run(["gzip", "-t", str(path)], capture_output=True, text=True)
    assert test.returncode == 0, f"{path.name}: {test.stderr}"
    with tarfile.open(path) as tar:
        names = tar.getnames()
    assert names, f"{path.name}: no members"
    return names


def check_root(root: Path, where: str, faults: list[str]):
    """What an engineer finds after the cut and one start and stop; each
    fault found is added to `faults`.  A bundle is checked against its
    manifest as well."""
    for args in (["--root", str(root)], *([str(b)] for b in root.glob("bundle*.tar.gz"))):
        check = subprocess.run([*oamsim.exec_prefix(), str(OAMLOG), *args, "--check"],
                               capture_output=True, text=True, timeout=120)
        if check.returncode != 0:
            faults.append(f"{where}: oamlog {args[-1]} --check status {check.returncode}:\n"
                          f"{check.stdout[-1500:]}{check.stderr[-1500:]}")
    left = [str(p.relative_to(root)) for p in root.rglob("*") if re.search(r"\.(tmp|part)\d*$", p.name)]
    if left:
        faults.append(f"{where}: left behind: {left}")
    for path in root.rglob("*.tar.gz"):
        try:
            gzip_whole(path)
        except (AssertionError, tarfile.TarError, EOFError, OSError) as exc:
            faults.append(f"{where}: archive {path.relative_to(root)} not whole: {exc}")


class Round:
    """One stretch of an activity ended by a cut, and its accounting."""

    def __init__(self, n: int, sync: float):
        self.n, self.sync = n, sync
        self.loads: list[Load] = []
        self.wall0 = time.time()
        self.t_cut = 0.0
        self.queued = 0

    def account(self, root: Path, where: str, faults: list[str]):
        lost_told = told_losses(journal(root), self.wall0)
        missing = allowed = 0
        for load in self.loads:
            seqs = stream_seqs(root, load.stream, load.size)
            if len(seqs) != len(set(seqs)) or seqs != sorted(seqs):
                faults.append(f"{where}: stream {load.stream}: {len(seqs) - len(set(seqs))} records twice, "
                              f"in order: {seqs == sorted(seqs)}")
            sent = load.sent_by(self.t_cut)
            missing += sent - len({s for s in seqs if s < sent})
            if load.rate:
                allowed += int(load.rate * (self.sync + PIPELINE)) + 1
            elif self.t_cut - load.t_end < self.sync + PIPELINE:
                allowed += load.count  # a burst within the last interval
        missing -= self.queued  # never received: still in the kernel's queue at the cut
        if missing > allowed + lost_told:
            faults.append(f"{where}: {missing} records missing; the last {self.sync}s of sends allow {allowed}, "
                          f"the journal tells {lost_told}")


def netlink_queued(port: int) -> int:
    """At most how many messages wait in the receive queue of the daemon's
    channel: sent, but not yet its to keep."""
    for row in Path("/proc/net/netlink").read_text().splitlines()[1:]:
        f = row.split()
        if f[1] == "2" and int(f[2]) == port:
            return int(f[4]) // (SIZE + 16)
    return 0


def cut_and_restart(chip, cut: "oamsim.DaemonProcess", rnd: Round, where: str, durations: list[float],
                    faults: list[str]):
    """The cut, the next start and stop, and the checks."""
    rnd.queued = netlink_queued(chip.daemon_port)
    rnd.t_cut = time.monotonic()
    chip.power_cut()
    for load in rnd.loads:
        load.stop()
    oam, took = start_daemon(chip)
    durations.append(took)
    assert oam.terminate() and oam.wait(timeout=30) == 0, f"{where}: the stop after the cut failed"
    root = chip.host_path(LOG)
    check_root(root, where, faults)
    rnd.account(root, where, faults)
    # The run that was cut is told right after the next start, when its
    # own start reached the disk.
    text = journal(root)
    starts = [(m.start(), int(m.group(1))) for m in START_RE.finditer(text)]
    if any(pid == cut.pid for _, pid in starts):
        after = text[starts[-1][0]:].splitlines()
        if len(after) < 2 or not re.fullmatch(
                rf"\S+ \S+ oam unclean-end pid {cut.pid}, started .+, boot \S+, last line .+, "
                r"records after its last sync may be missing", after[1]):
            faults.append(f"{where}: no unclean-end of pid {cut.pid} after the start: {after[1:2]}")


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
    path.parent.mkdir(exist_ok=True)
    have = path.stat().st_size if path.exists() else 0
    room = int(rng.uniform(0.1, seconds) * RATE * (SIZE + 18))
    if LIMIT - room > have:
        with open(path, "ab") as f:
            f.write(filler_records(LIMIT - room - have))


# Activities: each prepares a round and starts what the cut will hit; returns
# the window of the cut (seconds after the start of the activity).

def act_steady(chip, oam, rng, rnd):
    # Past the longest default interval: what it has synced must be kept.
    rnd.loads.append(Load(chip, rnd.n, RATE * 10))
    return DEFAULT_SYNC + PIPELINE + 0.3, DEFAULT_SYNC + PIPELINE + 2.5


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


# name: (activity, INI keys, sync interval in force, top up file 1 for a rotation).
# Default settings for steady capture; a 1 s interval elsewhere, so that
# short rounds hit synced files with a stream still behind them.
SYNC1 = {"log_sync_interval": 1}
SCENARIOS = {
    "steady": (act_steady, {}, DEFAULT_SYNC, False),
    "rotation": (act_rotation, SYNC1, 1, True),
    "compression": (act_rotation, {**SYNC1, "log_compress": "zstd"}, 1, True),
    "budget": (act_rotation, {**SYNC1, "log_max_use": 24}, 1, True),
    "dump-context": (act_dump, {**SYNC1, "dump_context_seconds": 60}, 1, False),
    "burst": (act_burst, {**SYNC1, "log_rcvbuf_device_wifi": 16}, 1, False),
    "bundle": (act_bundle, SYNC1, 1, False),
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
    faults: list[str] = []
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
        cut_and_restart(chip, oam, rnd, where, durations, faults)
    print(f"{scenario}: seconds to the hello, per start: {', '.join(f'{d:.2f}' for d in durations)}")
    assert not faults, "\n".join(faults)


# Failing calls -------------------------------------------------------------

FIU_DIR = Path("/usr/lib/fiu")
# The failure points of fiu_more_shim.c: the daemon's file calls (it says
# why the library's own POSIX wrappers cannot be preloaded).
FIU_CALLS = ("posix/io/oc/open", "posix/io/dir/rename", "posix/io/dir/unlink", "posix/io/sync/fsync",
             "posix/io/rw/write", "posix/io/rw/copy_file_range", "posix/io/rw/sendfile",
             "posix/io/dir/renameat2", "posix/io/dir/unlinkat", "posix/io/sync/syncfs")
FIU_RUN = FIU_DIR / "fiu_run_preload.so"
# Per call: the many writes of records fail now and then, the few calls
# around files often.
FIU_P = {"posix/io/rw/write": 0.01}
FIU_P_OTHER = 0.1
# The run-time preload keeps its copy of FIU_ENABLE for the whole run.
LSAN_SUPP = "leak:fiu_run_preload.so\n"


@pytest.fixture(scope="session")
def fiu_preload(tmp_path_factory) -> list[Path]:
    """The fault-injection libraries and the shim, in front of the chip's
    library: a failed call never reaches it, one let through goes on."""
    missing = [p for p in (str(FIU_RUN), "/usr/include/fiu.h") if not os.path.exists(p)]
    if oamsim.exec_prefix():
        pytest.skip("the fault-injection libraries are built for this machine, not for the emulated device")
    if missing:
        (pytest.fail if CI else pytest.skip)(f"fault injection unavailable: {missing} (scripts/install-deps)")
    shim = tmp_path_factory.mktemp("fiu") / "fiu_more_shim.so"
    subprocess.run(["gcc", "-O1", "-Wall", "-Wextra", "-Werror", "-fPIC", "-shared", "-DFIU_ENABLE=1", "-o",
                    str(shim), str(Path(__file__).with_name("fiu_more_shim.c")), "-ldl", "-lfiu"], check=True)
    return [FIU_RUN, shim]


def fiu_env(chip) -> dict:
    """Failures enabled from the environment at start: the remote-control
    FIFO stays off (its thread takes SIGTERM's default action)."""
    (chip.run_dir / "ctl" / "lsan.supp").write_text(LSAN_SUPP)
    return {"FIU_ENABLE": "".join(f"enable_random name={c},probability={FIU_P.get(c, FIU_P_OTHER)}\n" for c in FIU_CALLS),
            "LSAN_OPTIONS": f"suppressions={oamsim.sandbox.CTL_DIR}/lsan.supp"}


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


def fiu_rotation(chip, oam, preload):
    settle(chip, oam, timeout=60)  # every message handled: the rotation is over


def fiu_compression(chip, oam, preload):
    def done():
        plain = [n for n in chip.listdir(WIFI_DIR) if re.fullmatch(r"wifi_log_([2-9]|\d\d+)", n)]
        return not plain or " wifi compress-failed " in journal(chip.host_path(LOG))
    fiu_rotation(chip, oam, None)
    wait_for(done, "rotated file compressed or its failure told", oam)


def fiu_budget(chip, oam, preload):
    wait_journal(chip, r" wifi removed ", oam)


def fiu_context(chip, oam, preload):
    ev = chip.dump(oamsim.NODE_WIFI_EXCP, 0, [4096, 70_000, 300, 20_000])
    chip.wait_dump_wait(oamsim.NODE_WIFI_EXCP, after=ev.seq + 1, timeout=60)


def fiu_bundle(chip, oam, preload):
    proc = chip.start_process([str(OAMLOG), "--bundle", f"{LOG}/bundle.tar.gz"], preload=preload,
                              env=fiu_env(chip), ro_paths=[OAMLOG], target=True, name="bundle")
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
def test_failing_calls_are_retried_or_counted_never_a_crash_a_hang_or_a_lost_file(chip_factory, fiu_preload, case):
    keys, until = FIU_CASES[case]
    history = {f"{WIFI_DIR}/wifi_log_{k}": filler_records(3 << 20) for k in (2, 3)}
    history[f"{WIFI_DIR}/wifi_log_1"] = filler_records(LIMIT - (1 << 20))
    chip = chip_factory(model="zr4002", ini=ini(**keys), files=history)
    root = chip.host_path(LOG)
    seeded = history_records(root)
    oam = chip.start_daemon(preload=[*fiu_preload, oamsim.default_preload()], env=fiu_env(chip))
    chip.wait_hello(timeout=30)
    load = Load(chip, 0, 3000)
    load.proc.wait(60)
    res = load.stop()
    until(chip, oam, fiu_preload)
    assert oam.terminate() and oam.wait(timeout=30) == 0, f"{case}: stop: {oam.stderr[-3000:]}"
    assert "Sanitizer" not in oam.stderr, oam.stderr[-3000:]

    faults: list[str] = []
    check_root(root, case, faults)
    assert not faults, "\n".join(faults)
    text = journal(root)
    seqs = stream_seqs(root, 0)
    assert len(seqs) == len(set(seqs)) and seqs == sorted(seqs), f"{case}: records twice or out of order"
    told = told_losses(text, 0)
    assert int(res["sent"]) + int(res["refused"]) - len(seqs) <= told, \
        f"{case}: {res} sent, {len(seqs)} stored, the journal tells {told} lost"
    removed = sum(int(b) for b in re.findall(r" wifi removed \S+ (\d+) ", text))
    per = len(filler_records(1))
    assert history_records(root) == seeded - removed // per, f"{case}: a file of the earlier run went untold"
