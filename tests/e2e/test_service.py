"""The daemon as a supervised service: one instance per device, its command
line, and the notifications it sends its service manager (readiness, status,
watchdog pings only while every receiver shows life, stop)."""

from __future__ import annotations

import os
import re
import socket
import stat
import struct
import threading
import time
from pathlib import Path

import pytest

import oamsim
from startup_support import ALL_LOGS_ON, line, wait_started
from tool_support import INI_ALL, connect_tool


def log_tree(chip) -> dict[str, bytes]:
    """Every plain file under /vendor/log with its bytes."""
    root = chip.host_path("/vendor/log")
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            if not stat.S_ISREG(os.lstat(path).st_mode):
                continue
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = f.read()
    return found


RUN_LOCK, LOG_LOCK = "/run/oam/oam.pid", "/vendor/log/.oam.lock"
# Longer than any pid: a lock file not emptied before the new number would
# keep its tail.
STALE_PID = "4194304123456789\n"


@pytest.mark.chip(files={RUN_LOCK: STALE_PID, LOG_LOCK: STALE_PID})
def test_second_instance_is_refused_and_changes_nothing_and_a_killed_one_leaves_no_lock(chip):
    first = chip.start_daemon()
    wait_started(first)
    # Under a service manager both locks are held, each with the number alone.
    assert chip.read_file(RUN_LOCK) == chip.read_file(LOG_LOCK) == f"{first.pid}\n".encode()
    chip.wait_hello()
    for node in ("qvwifiexcp", "qvbfgexcp", "qvmeexcp"):
        chip.wait_dump_wait(node)
    journal = chip.read_file("/vendor/log/oam_events").decode()
    assert re.search(rf" oam start version \S+, mode normal, chip \w+, pid {first.pid}, boot \S+, boottime \S+$", journal, re.M)
    before, mark = log_tree(chip), chip.mark()

    for args in ([], ["test"]):
        second = chip.start_daemon(args=args)
        assert second.wait() == 1
        assert second.stderr == f"another oam is running, pid {first.pid}\n"
        assert second.stdout == ""
    assert chip.events(after=mark) == []          # no node opened, no ioctl, no netlink
    assert log_tree(chip) == before

    # The kernel lets the lock go with the process, however it ends.
    assert first.kill()
    first.wait()
    third = chip.start_daemon()
    wait_started(third)
    assert third.terminate() and third.wait() == 0


def spoil(chip, path: str, kind: str):
    """Puts something other than a plain file at a lock's path."""
    host = chip.host_path(path)
    host.parent.mkdir(parents=True, exist_ok=True)
    if kind == "symbolic link":
        host.symlink_to("/vendor/log/victim")   # never to be created or written through
    elif kind == "FIFO":
        os.mkfifo(host)
    elif kind == "directory":
        host.mkdir()


@pytest.mark.parametrize("kind", ["symbolic link", "FIFO", "directory", "read-only"])
def test_an_unusable_run_lock_falls_back_to_the_log_folders_lock_and_one_daemon_still_runs(chip_factory, kind):
    chip = chip_factory(run_readonly=kind == "read-only", files={LOG_LOCK: STALE_PID})
    spoil(chip, RUN_LOCK, kind)
    first = chip.start_daemon()
    wait_started(first)
    why = "not opened, errno:Read-only file system" if kind == "read-only" else f"is a {kind}, not a plain file"
    assert line(f"lock {RUN_LOCK} {why}: {LOG_LOCK} taken instead").search(first.stdout), first.stdout
    assert chip.read_file(LOG_LOCK) == f"{first.pid}\n".encode()
    assert not chip.exists("/vendor/log/victim")
    second = chip.start_daemon()
    assert second.wait() == 1 and second.stderr == f"another oam is running, pid {first.pid}\n"
    if kind != "read-only":
        # Mended while the first runs: the next one takes the run lock, and
        # still finds the first by the other.
        if kind == "directory":
            chip.host_path(RUN_LOCK).rmdir()
        else:
            chip.host_path(RUN_LOCK).unlink()
        third = chip.start_daemon()
        assert third.wait() == 1 and third.stderr == f"another oam is running, pid {first.pid}\n"
        assert chip.read_file(RUN_LOCK) == b""   # a refused daemon leaves no number
    assert first.terminate() and first.wait() == 0


def test_the_run_lock_alone_holds_when_the_log_folders_cannot(chip_factory):
    chip = chip_factory(files={RUN_LOCK: STALE_PID})
    spoil(chip, LOG_LOCK, "directory")
    first = chip.start_daemon()
    wait_started(first)
    assert line(f"lock {LOG_LOCK} is a directory, not a plain file: {RUN_LOCK} alone holds").search(first.stdout)
    assert chip.read_file(RUN_LOCK) == f"{first.pid}\n".encode()
    second = chip.start_daemon()
    assert second.wait() == 1 and second.stderr == f"another oam is running, pid {first.pid}\n"


@pytest.mark.parametrize("run, log, why", [
    (None, "FIFO", f"{LOG_LOCK} is a FIFO, not a plain file"),
    ("read-only", "directory",
     f"{RUN_LOCK} not opened, errno:Read-only file system; {LOG_LOCK} is a directory, not a plain file"),
    ("symbolic link", "symbolic link",
     f"{RUN_LOCK} is a symbolic link, not a plain file; {LOG_LOCK} is a symbolic link, not a plain file"),
], ids=["no-run-folder", "read-only-run", "links"])
def test_without_any_lock_the_daemon_refuses_to_start(chip_factory, run, log, why):
    chip = chip_factory(run_readonly=run == "read-only")
    if run is not None:
        spoil(chip, RUN_LOCK, run)
    spoil(chip, LOG_LOCK, log)
    before = log_tree(chip)
    oam = chip.start_daemon()
    assert oam.wait() == 1
    assert oam.stderr == f"oam: no instance lock could be had ({why}): not started\n"
    assert oam.stdout == "" and chip.events() == [] and log_tree(chip) == before


@pytest.mark.parametrize("args, status, out, err", [
    (["--help"], 0, re.compile(r"^usage: oam \[test \| wvt\]\n(.*\n)*Exit status: .*\n\Z"), ""),
    (["--version"], 0, re.compile(r"^oam \d+\.\d+\.\d+\n\Z"), ""),
    (["-x", "test"], 2, re.compile(r"\A\Z"), "oam: unknown option; modes are test and wvt, see oam --help\n"),
], ids=["help", "version", "unknown-option"])
def test_options_answer_without_touching_anything(chip, args, status, out, err):
    before = log_tree(chip)
    oam = chip.start_daemon(args=args)
    assert oam.wait() == status
    assert out.match(oam.stdout), oam.stdout
    assert oam.stderr == err
    assert chip.events() == [] and log_tree(chip) == before


class Manager(threading.Thread):
    """The service manager's end of the notification socket: an abstract
    datagram socket, as the daemon may be given one, read as messages come
    so that each keeps the time it arrived."""

    def __init__(self):
        super().__init__(daemon=True)
        self.name = f"oamtest-notify-{os.getpid()}-{time.monotonic_ns()}"
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind("\0" + self.name)
        self.got: list[tuple[float, str]] = []
        self.cond = threading.Condition()
        self.start()

    def run(self):
        while True:
            text = self.sock.recv(4096).decode()
            with self.cond:
                self.got.append((time.monotonic(), text))
                self.cond.notify_all()

    def wait(self, pred, timeout: float = 20.0) -> tuple[float, str]:
        with self.cond:
            found = self.cond.wait_for(lambda: [item for item in self.got if pred(item[1])], timeout)
            if not found:
                raise TimeoutError(f"no such notification in {self.got}")
            return found[0]

    def pings(self) -> list[float]:
        with self.cond:
            return [t for t, text in self.got if text == "WATCHDOG=1"]


@pytest.mark.chip(ini=INI_ALL)
def test_notifications_ready_status_stop_and_no_ping_while_a_receiver_is_stuck(chip):
    manager = Manager()
    env = {"NOTIFY_SOCKET": "@" + manager.name, "WATCHDOG_USEC": "300000"}
    oam = chip.start_daemon(args=["test"], env=env)
    _, ready = manager.wait(lambda text: text.startswith("READY=1"))
    assert ready == "READY=1\nSTATUS=wifi 0 records, 0 lost; bfg 0 records, 0 lost; me 0 records, 0 lost; 0 dumps"
    assert chip.events("open", "qvbfgdbg") and chip.events("netlink")   # capture was up
    manager.wait(lambda text: text == "WATCHDOG=1" and len(manager.pings()) >= 3)

    # A tool that never reads: the bfg receiver's mirror send blocks until
    # its 3-second bound drops the tool.  Stuck there, it is not waiting for
    # its device, so the pings stop until it is free again.
    _, at = connect_tool(oam, rcvbuf=4096, read=False)
    sent, err = 0, re.compile(r"send bfg socket is ERR!")
    while not err.search(oam.stdout):
        assert sent < 12000, "the mirror send never failed"
        chip.send_chunks("qvbfgdbg", [struct.pack("<I", i) + bytes(2026) for i in range(sent, sent + 200)])
        sent += 200
        try:
            chip.wait_consumed("qvbfgdbg", timeout=0.5)
        except oamsim.ChipTimeout:
            try:   # a slow machine rather than a stall sends on
                oam.wait_stdout(err, timeout=10)
            except TimeoutError:
                pass
    chip.wait_consumed("qvbfgdbg", timeout=10)
    after_drop = time.monotonic()
    manager.wait(lambda text: text == "WATCHDOG=1" and manager.pings()[-1] > after_drop)
    pings = manager.pings()
    assert max(b - a for a, b in zip(pings, pings[1:])) > 2.0, pings   # the stall was ~3 s, pings 0.15 s

    _, status = manager.wait(lambda text: text.startswith("STATUS=") and f"bfg {sent} records" in text)
    assert status == f"STATUS=wifi 0 records, 0 lost; bfg {sent} records, 0 lost; me 0 records, 0 lost; 0 dumps"
    assert oam.terminate()
    manager.wait(lambda text: text == "STOPPING=1")
    assert oam.wait() == 0


def start_on_the_journal(chip):
    """The daemon with its standard output named in JOURNAL_STREAM, as a
    service manager names its journal's stream."""
    binary = Path(oamsim.sandbox.default_binary()).resolve()
    preload = Path(oamsim.sandbox.default_preload()).resolve()
    script = 'JOURNAL_STREAM=$(stat -L -c %d:%i /.procfs/$$/fd/1) exec "$0" "$@"'
    return chip.start_process(["/bin/sh", "-c", script, *oamsim.target_command([str(binary)], preload)],
                              preload=False, ro_paths=[binary, preload], name="oam")


@pytest.mark.chip(ini="[HOST_PLAT]\n" + ALL_LOGS_ON + "log_max_use=lots\n")
def test_on_the_journal_a_healthy_start_warns_only_of_the_bad_value(chip):
    oam = start_on_the_journal(chip)
    # The last step of start-up, at its level: no fault-recovery keys here.
    oam.wait_stdout(re.compile(r"^<6>\[\w+:\d+\]read ini cfg fail: ini_plat_dfr_cfg_str = \w+$", re.M))
    assert oam.terminate() and oam.wait() == 0
    lines = [text for text in oam.stdout.split("\n") if text]
    assert all(re.match(r"<[3467]>[^<]", text) for text in lines), oam.stdout
    # Optional keys left out take their defaults, and a chip without some
    # piece skips it: routine, not warnings.
    assert [text for text in lines if text[1] in "34"] == [
        f"<4>[get_cust_conf_int32:{n}]log_max_use trans to int failed:Invalid argument"
        for n in re.findall(r"\[get_cust_conf_int32:(\d+)\]log_max_use trans", oam.stdout)], oam.stdout
    for want in (r"<6>\[ini_find_var:\d+\]have end of .ini file!!!",
                 r"<6>\[ini_get_log_str_cfg:\d+\]log_path_device_wifi not get set to default:/vendor/log/wifi_log/:",
                 r"<6>\[ini_get_log_int_cfg:\d+\]get_cust_conf_int32 fail",
                 r"<7>\[ini_get_log_int_cfg:\d+\]---------------in ini_get_log_int_cfg func",
                 r"<6>property_get,vexa subchip_name=\{zr4005\}", r"<6>\[exit_main:\d+\]main closed finished!"):
        assert [text for text in lines if re.fullmatch(want, text)], want
