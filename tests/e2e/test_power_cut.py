"""Power cuts and failing calls, end to end.

The log root lies on ext4 over a loop device (the chip's `log_loopfs`); a
cut shuts it down without flushing its journal, as a power cut leaves a
device, at a random moment of one activity.  It is then mounted again, the
daemon started once and stopped, and what an engineer would find checked:
`oamlog --check` passes, archives are whole or absent, no temporary file is
left, no record is kept twice, no more is lost than the last sync interval
plus what the journal tells, and the run that was cut is told.

The moments come from one seed, printed; OAM_CUT_SEED=<seed> replays them
(OAM_CUTS cuts per case, default 3).  Without root or a free loop device the
cut cases are skipped, saying why; under CI they fail instead.

The error paths a cut cannot reach are driven by failing the daemon's file
calls at random: the failure points of fiu_more_shim.c, enabled from the
environment at start by the fault-injection library's run-time preload."""

from __future__ import annotations

import os
import random
import re
import shutil
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

# One seed for the whole run, pytest -n workers included (they share its id).
_RUN_ID = os.environ.get("PYTEST_XDIST_TESTRUNUID")
SEED = int(os.environ.get("OAM_CUT_SEED") or (int(_RUN_ID[:8], 16) if _RUN_ID else
                                              random.SystemRandom().randrange(1 << 32)))
CUTS = int(os.environ.get("OAM_CUTS") or 3)
CI = os.environ.get("CI") == "true"

LOG = "/vendor/log"
WIFI_DIR = LOG + "/wifi_log"
LIMIT = 10 * 1024 * 1024  # every start is a user build: a file is full at 10 MiB
RATE, SIZE = 800, 700     # paced messages a second, bytes each
# The daemon's default periodic sync; a record reaches its file within a
# second of leaving the queue, also on a loaded machine.
DEFAULT_SYNC = 2
PIPELINE = 1.0
# Losses told in the journal; the receiver barrier's empty message is none.
LOSS_RE = re.compile(r"^(\S+ \S+) wifi lost (\d+) (records|bytes)(?!.*malformed message)", re.M)
START_RE = re.compile(r"^\S+ \S+ oam start .*, pid (\d+),", re.M)
HISTORY = struct.pack("<BBH7H", 0xAA, 0, 2018, 2026, 1, 1, 0, 0, 0, 0) + b"earlier run ".ljust(2000, b".")


def ini(**keys) -> str:
    return "[HOST_PLAT]\nlog_switch_device_wifi=1\n" + "".join(f"{k}={v}\n" for k, v in keys.items())


def history(nbytes: int) -> bytes:
    """Whole records of an earlier run, about `nbytes`."""
    return HISTORY * max(1, nbytes // len(HISTORY))


def log_bytes(path: Path) -> bytes:
    if path.name.endswith(".zst"):
        return subprocess.run(["zstd", "-qdc", str(path)], capture_output=True, check=True).stdout
    return path.read_bytes()


def wifi_files(root: Path) -> list[Path]:
    """The numbered Wi-Fi files, oldest first."""
    found = [(int(m[1]), p) for p in (root / "wifi_log").iterdir()
             if (m := re.fullmatch(r"wifi_log_(\d+)(\.zst)?", p.name))]
    return [p for _, p in sorted(found, reverse=True)]


def stream_seqs(root: Path, stream: int, size=SIZE) -> list[int]:
    """Sequence numbers of `stream` as kept, oldest first; a record counts
    only when its payload is exactly what was sent.  A damaged stretch is
    stepped over to the next whole record, as the reader does."""
    seqs = []
    for path in wifi_files(root):
        data, off = log_bytes(path), 0
        while off + 26 <= len(data):
            length = data[off + 2] | data[off + 3] << 8
            if data[off:off + 2] == b"\xaa\x00" and 26 <= length <= len(data) - off:
                seq, st = struct.unpack_from("<II", data, off + 18)
                if st != stream or data[off + 18:off + length] == oamsim.payload(seq, stream, size):
                    seqs += [seq] if st == stream else []
                    off += length
                    continue
            nxt = data.find(b"\xaa\x00", off + 1)
            off = nxt if nxt >= 0 else len(data)
    return seqs


def journal(root: Path) -> str:
    return "".join((root / n).read_bytes().decode("utf-8", "replace")
                   for n in ("oam_events.1", "oam_events") if (root / n).exists())


def told_losses(text: str, since: float = 0) -> int:
    """Wi-Fi records the journal counts as lost in lines stamped from
    `since` (wall time) on; bytes as the records they may have held."""
    return sum(int(n) if unit == "records" else -(-int(n) // (SIZE + 18)) + 1
               for stamp, n, unit in LOSS_RE.findall(text)
               if datetime.strptime(stamp[:19], "%Y-%m-%d %H:%M:%S").timestamp() >= int(since))


def threads(pid: int) -> str:
    """What each thread of a process waits in, for a start that hangs."""
    return ", ".join(f"{(t / 'comm').read_text().strip()}: {(t / 'wchan').read_text()}"
                     for t in Path(f"/proc/{pid}/task").glob("*")) or "none"


def start_daemon(chip, timeout: float = 30.0, **kw):
    """Starts the daemon and waits until its start-up is over; returns it
    with the seconds to its hello (after a cut it repairs first)."""
    chip.overrun_path.write_bytes(bytes(24))  # a new socket has dropped nothing
    mark, t = chip.mark(), time.monotonic()
    oam = chip.start_daemon(**kw)
    try:
        chip.wait_hello(after=mark, timeout=timeout)
    except oamsim.ChipTimeout:
        raise AssertionError(f"no hello {timeout}s after the start; threads: {threads(oam.pid)}; "
                             f"output:\n{oam.stdout[-2500:]}") from None
    took = time.monotonic() - t
    wait_started(oam, timeout)
    return oam, took


class Load:
    """Sequence-numbered Wi-Fi messages from the load generator, sent as a
    driver does (never waiting: a refusal is a drop the daemon counts), at
    `rate` a second or at line rate."""

    def __init__(self, chip, stream: int, count: int, rate: float | None = RATE, size=SIZE):
        self.stream, self.count, self.rate, self.size = stream, count, rate, size
        self.t_end, self.counts = None, {}
        self.t0 = time.monotonic()
        self.proc = subprocess.Popen(
            [str(oamsim.default_loadgen()), "wifi", "--port", str(chip.daemon_port), "--count", str(count),
             "--size", str(size), "--stream", str(stream), "--overrun", str(chip.overrun_path),
             *(["--rate", str(rate)] if rate else [])], stdout=subprocess.PIPE, text=True)

    def sent_by(self, t: float) -> int:
        """At least as many as had gone out by monotonic time t."""
        return min(self.count, int((t - self.t0) * self.rate) + 1) if self.rate else self.count

    def stop(self) -> dict:
        if self.t_end is None:
            self.proc.poll() is None and self.proc.kill()
            out = self.proc.communicate()[0]
            self.t_end = time.monotonic()
            self.counts = dict(kv.split("=", 1) for kv in out.split()) if self.proc.returncode == 0 else {}
        return self.counts


def check_root(root: Path, where: str, faults: list[str]):
    """What an engineer finds; each fault is added to `faults`.  A bundle
    is checked against its manifest as well."""
    for args in (["--root", str(root)], *([str(b)] for b in root.glob("bundle*.tar.gz"))):
        check = subprocess.run([*oamsim.exec_prefix(), str(OAMLOG), *args, "--check"], capture_output=True,
                               text=True, timeout=120)
        if check.returncode:
            faults.append(f"{where}: oamlog {args[-1]} --check status {check.returncode}:\n"
                          f"{check.stdout[-1500:]}{check.stderr[-1500:]}")
    left = [str(p.relative_to(root)) for p in root.rglob("*") if re.search(r"\.(tmp|part)\d*$", p.name)]
    if left:
        faults.append(f"{where}: left behind: {left}")
    for path in root.rglob("*.tar.gz"):
        test = subprocess.run(["gzip", "-t", str(path)], capture_output=True, text=True)
        try:
            assert test.returncode == 0, test.stderr
            with tarfile.open(path) as tar:
                assert tar.getnames(), "no members"
        except (AssertionError, tarfile.TarError, EOFError, OSError) as exc:
            faults.append(f"{where}: archive {path.relative_to(root)} not whole: {exc}")


def account(root: Path, loads: list[Load], t_cut: float, sync: float, queued: int, since: float,
            where: str, faults: list[str]):
    """No record twice or out of order; no more missing than was sent in the
    last sync interval (a burst in it entirely), still queued for the
    daemon at the cut, or told lost by the journal."""
    missing = allowed = 0
    for load in loads:
        seqs = stream_seqs(root, load.stream, load.size)
        if len(seqs) != len(set(seqs)) or seqs != sorted(seqs):
            faults.append(f"{where}: stream {load.stream}: {len(seqs) - len(set(seqs))} records twice, "
                          f"in order: {seqs == sorted(seqs)}")
        sent = load.sent_by(t_cut)
        missing += sent - len({s for s in seqs if s < sent})
        if load.rate:
            allowed += int(load.rate * (sync + PIPELINE)) + 1
        elif t_cut - load.t_end < sync + PIPELINE:
            allowed += load.count
    told = told_losses(journal(root), since)
    if missing - queued > allowed + told:
        faults.append(f"{where}: {missing} records missing, {queued} were queued; the last {sync}s of sends "
                      f"allow {allowed}, the journal tells {told}")


def netlink_queued(port: int) -> int:
    """At most how many messages wait in the daemon's receive queue."""
    for row in Path("/proc/net/netlink").read_text().splitlines()[1:]:
        f = row.split()
        if f[1] == "2" and int(f[2]) == port:
            return int(f[4]) // (SIZE + 16)
    return 0


def fsync_tree(root: Path):
    """Makes what the test itself placed durable: it is no part of a cut."""
    for path in [*root.rglob("*"), root]:
        fd = os.open(path, os.O_RDONLY)
        os.fsync(fd)
        os.close(fd)


# Activities: each starts what the cut will hit; returns the window of the
# cut, in seconds after its start.

def act_steady(chip, rng, loads, n):
    loads.append(Load(chip, n, RATE * 10))  # past the default interval: what it synced is kept
    return DEFAULT_SYNC + PIPELINE + 0.3, DEFAULT_SYNC + PIPELINE + 2.5


def top_up(chip, rng):
    """Before a start: file 1 becomes full some random moment within 2.5 s
    of paced load."""
    path = chip.host_path(WIFI_DIR + "/wifi_log_1")
    path.parent.mkdir(exist_ok=True)
    fill = LIMIT - int(rng.uniform(0.1, 2.5) * RATE * (SIZE + 18)) - (path.stat().st_size if path.exists() else 0)
    if fill > 0:
        with open(path, "ab") as f:
            f.write(history(fill))


def act_rotation(chip, rng, loads, n):
    loads.append(Load(chip, n, RATE * 8))
    return 0.2, 3.0


def act_dump(chip, rng, loads, n):
    loads.append(Load(chip, n, RATE * 8))
    time.sleep(rng.uniform(0.1, 1.0))  # a dump at a random moment of capture
    chip.dump(oamsim.NODE_WIFI_EXCP, 0, [rng.randint(1, 200_000) for _ in range(4)])
    return 0.0, 1.5


def act_burst(chip, rng, loads, n):
    loads.append(Load(chip, 2 * n, RATE * 8))
    burst = Load(chip, 2 * n + 1, 20000, rate=None, size=64)
    burst.proc.wait(60)
    assert int(burst.stop().get("refused", 0)) > 0, f"the burst was taken whole: {burst.counts}"
    loads.append(burst)
    return 0.0, 3.0


def act_bundle(chip, rng, loads, n):
    loads.append(Load(chip, n, RATE * 8))
    time.sleep(rng.uniform(0.1, 0.5))
    chip.start_process([str(OAMLOG), "--bundle", f"{LOG}/bundle{n}.tar.gz"], preload=False, ro_paths=[OAMLOG],
                       target=True, name=f"bundle{n}")
    return 0.0, 1.5


def rebundle(chip, name: str, where: str, faults: list[str]):
    """The bundle the cut (or a failed call) hit, written once more: that
    next use leaves nothing half-written of it (one placed before stays,
    status 2)."""
    out = f"{LOG}/{name}.tar.gz"
    placed = chip.host_path(out).exists()
    proc = chip.start_process([str(OAMLOG), "--bundle", out], preload=False, ro_paths=[OAMLOG], target=True,
                              name=f"re{name}")
    status = proc.wait(timeout=120)
    if status != (2 if placed else 0) or "Sanitizer" in proc.stderr:
        faults.append(f"{where}: oamlog --bundle after the cut: status {status}: {proc.stderr[-1500:]}")


# name: (activity, INI keys, sync interval in force).  Default settings for
# steady capture; a 1 s interval elsewhere, so that short rounds hit synced
# files with records still coming.
SYNC1 = {"log_sync_interval": 1}
SCENARIOS = {
    "steady": (act_steady, {}, DEFAULT_SYNC),
    "rotation": (act_rotation, SYNC1, 1),
    "compression": (act_rotation, {**SYNC1, "log_compress": "zstd"}, 1),
    "budget": (act_rotation, {**SYNC1, "log_max_use": 24}, 1),
    "dump-context": (act_dump, {**SYNC1, "dump_context_seconds": 60}, 1),
    "burst": (act_burst, {**SYNC1, "log_rcvbuf_device_wifi": 16}, 1),
    "bundle": (act_bundle, SYNC1, 1),
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_a_power_cut_loses_seconds_never_files(request, chip_factory, scenario):
    activity, keys, sync = SCENARIOS[scenario]
    print(f"power-cut seed {SEED} (replay: OAM_CUT_SEED={SEED})")
    rng = random.Random(f"{SEED}/{request.node.name}")
    if oamsim.exec_prefix():
        # The bounds are in seconds of the daemon's pace, which an emulator
        # slows many times over; the file-system paths are the same code,
        # cut here natively and unit-tested on the device's architectures.
        pytest.skip("power cuts are timed for the daemon at native speed")
    # For the budget, history above it, removed while capture runs.
    files = {f"{WIFI_DIR}/wifi_log_{k}": history(3 << 20) for k in (2, 3, 4)} if scenario == "budget" else {}
    reason = loopfs.unavailable()
    try:
        chip = reason is None and chip_factory(model="zr4002", ini=ini(**keys), files=files, log_loopfs=96 << 20)
    except OSError as exc:  # no free loop device, mount refused
        reason = str(exc)
    if reason:
        (pytest.fail if CI else pytest.skip)(f"power-cut harness unavailable: {reason}")
    root = chip.host_path(LOG)
    hellos: list[float] = []
    faults: list[str] = []
    for n in range(CUTS):
        where = f"{scenario} cut {n + 1}/{CUTS} (OAM_CUT_SEED={SEED})"
        since, loads = time.time(), []
        if activity is act_rotation:
            top_up(chip, rng)
        fsync_tree(root)
        cut, took = start_daemon(chip)
        lo, hi = activity(chip, rng, loads, n)
        time.sleep(rng.uniform(lo, hi))
        queued, t_cut = netlink_queued(chip.daemon_port), time.monotonic()
        chip.power_cut()
        for load in loads:
            load.stop()
        oam, took_after = start_daemon(chip)
        hellos += [took, took_after]
        assert oam.terminate() and oam.wait(timeout=30) == 0, f"{where}: the stop after the cut failed"
        before = len(faults)
        if activity is act_bundle:
            rebundle(chip, f"bundle{n}", where, faults)
        check_root(root, where, faults)
        account(root, loads, t_cut, sync, queued, since, where, faults)
        if len(faults) > before:  # the log root as found, kept beside the loop image for a look
            shutil.copytree(root, chip.run_dir / f"after-cut-{n + 1}")
            faults.append(f"{where}: kept as {chip.run_dir / f'after-cut-{n + 1}'}")
        # The run that was cut is told right after the next start, when its
        # own start had reached the disk.
        text = journal(root)
        starts = [(m.start(), int(m[1])) for m in START_RE.finditer(text)]
        if any(pid == cut.pid for _, pid in starts):
            after = text[starts[-1][0]:].splitlines()[1:2]
            if not (after and re.fullmatch(rf"\S+ \S+ oam unclean-end pid {cut.pid}, started .+, boot \S+, "
                                           r"last line .+, records after its last sync may be missing", after[0])):
                faults.append(f"{where}: no unclean-end of pid {cut.pid} after the start: {after}")
    print(f"{scenario}: seconds to the hello, per start: {', '.join(f'{d:.2f}' for d in hellos)}")
    assert not faults, "\n".join(faults)


# Failing calls -------------------------------------------------------------

FIU_RUN = Path("/usr/lib/fiu/fiu_run_preload.so")
# fiu_more_shim.c's points: the daemon's file calls.  The many writes of
# records fail now and then, the few calls around files often.
FIU_P = {"posix/io/oc/open": 0.1, "posix/io/dir/rename": 0.1, "posix/io/dir/unlink": 0.1,
         "posix/io/sync/fsync": 0.1, "posix/io/rw/write": 0.01, "posix/io/rw/copy_file_range": 0.1,
         "posix/io/rw/sendfile": 0.1, "posix/io/dir/renameat2": 0.1, "posix/io/dir/unlinkat": 0.1,
         "posix/io/sync/syncfs": 0.1}


@pytest.fixture(scope="session")
def fiu_preload(tmp_path_factory) -> list[Path]:
    """The run-time preload and the shim, to go in front of the chip's
    library: a failed call never reaches it, one let through goes on."""
    if oamsim.exec_prefix():
        pytest.skip("the fault-injection library is built for this machine, not for the emulated device")
    missing = [p for p in (str(FIU_RUN), "/usr/include/fiu.h") if not os.path.exists(p)]
    if missing:
        (pytest.fail if CI else pytest.skip)(f"fault injection unavailable: {missing} (scripts/install-deps)")
    shim = tmp_path_factory.mktemp("fiu") / "fiu_more_shim.so"
    subprocess.run(["gcc", "-O1", "-Wall", "-Wextra", "-Werror", "-fPIC", "-shared", "-DFIU_ENABLE=1", "-o",
                    str(shim), str(Path(__file__).with_name("fiu_more_shim.c")), "-ldl", "-lfiu"], check=True)
    return [FIU_RUN, shim]


def fiu_env(chip) -> dict:
    """Failures enabled from the environment at start; the remote-control
    FIFO stays off (its thread takes SIGTERM's default action).  The
    preload keeps its copy of FIU_ENABLE for the whole run: no leak."""
    (chip.run_dir / "ctl" / "lsan.supp").write_text("leak:fiu_run_preload.so\n")
    return {"FIU_ENABLE": "".join(f"enable_random name={c},probability={p}\n" for c, p in FIU_P.items()),
            "LSAN_OPTIONS": f"suppressions={oamsim.sandbox.CTL_DIR}/lsan.supp"}


def wait_for(check, what: str, chip, oam, timeout: float = 20.0):
    """Waits for the end of an activity the records already sent set off."""
    deadline = time.monotonic() + timeout
    while not check():
        assert oam.alive, f"the daemon ended: status {oam.wait()}; {oam.stderr[-2000:]}"
        assert time.monotonic() < deadline, f"no {what} after {timeout}s:\n{oam.stdout[-1500:]}\n" \
            f"journal:\n{journal(chip.host_path(LOG))[-1500:]}"
        time.sleep(0.05)


def fiu_compressed(chip, oam, preload):
    plain = re.compile(r"wifi_log_([2-9]|\d\d+)")
    wait_for(lambda: not any(plain.fullmatch(n) for n in chip.listdir(WIFI_DIR))
             or " wifi compress-failed " in journal(chip.host_path(LOG)), "compression or its failure told", chip, oam)


def fiu_removed(chip, oam, preload):
    # A removal that failed is said once, and tried again with more records.
    def within():
        return sum(p.stat().st_size for p in wifi_files(chip.host_path(LOG))) <= FIU_MAX_USE << 20
    wait_for(lambda: within() or "cannot remove " in oam.stdout, "removal or its failure told", chip, oam)


def fiu_context(chip, oam, preload):
    ev = chip.dump(oamsim.NODE_WIFI_EXCP, 0, [4096, 70_000, 300, 20_000])
    chip.wait_dump_wait(oamsim.NODE_WIFI_EXCP, after=ev.seq + 1, timeout=60)


def fiu_bundle(chip, oam, preload):
    proc = chip.start_process([str(OAMLOG), "--bundle", f"{LOG}/bundle.tar.gz"], preload=preload,
                              env=fiu_env(chip), ro_paths=[OAMLOG], target=True, name="bundle")
    status = proc.wait(timeout=60)
    assert status < 128 and "Sanitizer" not in proc.stderr, f"oamlog --bundle: status {status}: {proc.stderr}"


FIU_MAX_USE = 16  # MiB: the rotation takes the files above it
FIU_CASES = {  # name: (INI keys, what ends the activity once the rotation is over)
    "rotation": ({}, lambda *a: None),
    "compression": ({"log_compress": "zstd"}, fiu_compressed),
    "budget": ({"log_max_use": FIU_MAX_USE}, fiu_removed),
    "context": ({"dump_context_seconds": 60}, fiu_context),
    "bundle": ({}, fiu_bundle),
}


@pytest.mark.parametrize("case", FIU_CASES)
def test_failing_calls_are_retried_or_counted_never_a_crash_a_hang_or_a_lost_file(chip_factory, fiu_preload, case):
    keys, activity = FIU_CASES[case]
    files = {f"{WIFI_DIR}/wifi_log_{k}": history(3 << 20) for k in (2, 3)}
    files[f"{WIFI_DIR}/wifi_log_1"] = history(LIMIT - (1 << 20))  # the load rotates it
    chip = chip_factory(model="zr4002", ini=ini(**keys), files=files)
    root = chip.host_path(LOG)
    kept = len(HISTORY) * sum(len(files[p]) // len(HISTORY) for p in files)
    oam, _ = start_daemon(chip, preload=[*fiu_preload, oamsim.default_preload()], env=fiu_env(chip))
    load = Load(chip, 0, 3000)
    load.proc.wait(60)
    sent = load.stop()
    settle(chip, oam, timeout=60)  # every message handled
    activity(chip, oam, fiu_preload)
    assert oam.terminate() and oam.wait(timeout=30) == 0, f"{case}: the stop: {oam.stderr[-3000:]}"
    assert "Sanitizer" not in oam.stderr, oam.stderr[-3000:]

    # A removal that failed leaves its temporary file to the next use, which
    # runs without failures here: the next start, and the next bundle.
    faults: list[str] = []
    oam, _ = start_daemon(chip)
    if activity is fiu_compressed:  # a plain file whose removal failed goes at the next pass
        wait_for(lambda: not any(f"{n}.zst" in names for names in [chip.listdir(WIFI_DIR)] for n in names),
                 "the plain file beside its compressed copy taken", chip, oam)
    assert oam.terminate() and oam.wait(timeout=30) == 0, f"{case}: the stop after the clean start"
    if activity is fiu_bundle:
        rebundle(chip, "bundle", case, faults)
    check_root(root, case, faults)
    text = journal(root)
    seqs = stream_seqs(root, 0)
    if len(seqs) != len(set(seqs)) or seqs != sorted(seqs):
        faults.append(f"{case}: records twice or out of order")
    if int(sent["sent"]) + int(sent["refused"]) - len(seqs) > told_losses(text):
        faults.append(f"{case}: {sent}, {len(seqs)} kept, the journal tells {told_losses(text)} lost")
    # Every byte of the earlier run is kept, or its file's removal told.
    removed = sum(int(b) for b in re.findall(r" wifi removed \S+ (\d+) ", text))
    have = len(HISTORY) * sum(log_bytes(p).count(b"earlier run ") for p in wifi_files(root))
    if have != kept - removed:
        faults.append(f"{case}: {kept - removed - have} bytes of the earlier run's files went untold "
                      f"(negative: kept twice)")
    assert not faults, "\n".join([*faults, f"files: {chip.listdir(WIFI_DIR)}", oam.stdout[-1500:]])
