"""Shipping to a fleet's store with the files of examples/shipping/: the
reader unit's oamlog writes JSON lines into a file, one rsyslogd tails it
and forwards it over TCP to a second rsyslogd that stands for the central
store.  Both run as plain programs from the copy scripts/install-deps
unpacked (never the machine's syslog service), inside a network namespace
of the test's own."""

from __future__ import annotations

import base64
import glob
import json
import os
import random
import re
import shlex
import signal
import subprocess
import sys
import struct
import time
from pathlib import Path

import pytest

import oamsim
from tool_support import ini, start, wait_until

REPO_ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = REPO_ROOT / "examples" / "shipping"
OAMLOG = Path(os.environ.get("OAMLOG_BIN") or oamsim.default_binary().parent / "oamlog")
RSYSLOG_ROOT = Path(os.environ.get("OAM_RSYSLOG_ROOT") or "/var/cache/oam-deps/rsyslog")
STORE_PORT = 10514  # in the test's own network namespace: no other test sees it

# Brings the namespace's loopback up, says so, and holds the namespace
# until its standard input closes.
_NETNS_HOLDER = """
import fcntl, socket, struct, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
flags = struct.unpack("16sH", fcntl.ioctl(s, 0x8913, struct.pack("16sH", b"lo", 0))[:18])[1]
fcntl.ioctl(s, 0x8914, struct.pack("16sH", b"lo", flags | 1))
print("up", flush=True)
sys.stdin.read()
"""


def rsyslog_paths() -> tuple[Path, Path]:
    """rsyslogd and its library folder (the modules in its rsyslog/)."""
    daemon = RSYSLOG_ROOT / "usr" / "sbin" / "rsyslogd"
    libs = [Path(p) for p in glob.glob(str(RSYSLOG_ROOT / "usr" / "lib" / "*" / "rsyslog"))]
    if not daemon.exists() or len(libs) != 1:
        pytest.fail(f"no rsyslogd unpacked under {RSYSLOG_ROOT}: run scripts/install-deps")
    return daemon, libs[0].parent


def rsyslogd_argv(conf: Path, pidfile: Path, *extra: str) -> tuple[list[str], dict]:
    daemon, libdir = rsyslog_paths()
    return ([str(daemon), "-f", str(conf), "-i", str(pidfile), "-M", str(libdir / "rsyslog"), *extra],
            {"LD_LIBRARY_PATH": str(libdir), "PATH": "/usr/bin:/bin"})


def substitute(text: str, replacements: dict[str, str]) -> str:
    """The example's text with each of its settings replaced: each must be
    there exactly once, so that a changed example fails here, not later."""
    for old, new in replacements.items():
        assert text.count(old) == 1, f"{old!r} is not once in the example"
        text = text.replace(old, new)
    return text


class NetNs:
    """A network namespace with its loopback up, held by a process of its
    own; programs are started in it with nsenter (which execs them: the
    pid is the program's)."""

    def __init__(self):
        self.holder = subprocess.Popen(["unshare", "-n", sys.executable, "-c", _NETNS_HOLDER],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert self.holder.stdout.readline() == b"up\n", "no network namespace"

    def popen(self, argv: list[str], **kw) -> subprocess.Popen:
        return subprocess.Popen(["nsenter", f"--net=/proc/{self.holder.pid}/ns/net", "--", *argv], **kw)

    def close(self):
        self.holder.stdin.close()
        self.holder.wait(timeout=10)


class Rsyslogd:
    """One rsyslogd in the foreground (-n) with its own configuration,
    pid file and work folder."""

    def __init__(self, netns: NetNs, folder: Path, conf_text: str):
        self.netns = netns
        self.folder = folder
        self.work = folder / "work"
        self.work.mkdir(parents=True, exist_ok=True)
        self.conf = folder / "rsyslog.conf"
        self.conf.write_text(f'global(workDirectory="{self.work}" maxMessageSize="64k")\n' + conf_text)
        self.proc: subprocess.Popen | None = None
        self.log = open(folder / "rsyslogd.out", "ab")

    def start(self) -> "Rsyslogd":
        argv, env = rsyslogd_argv(self.conf, self.folder / "rsyslogd.pid", "-n")
        self.proc = self.netns.popen(argv, env=env, stdout=self.log, stderr=subprocess.STDOUT)
        return self

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            assert self.proc.wait(timeout=20) == 0, (self.folder / "rsyslogd.out").read_text()
        self.proc = None

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        self.proc = None

    def wait_listening(self, port: int, timeout: float = 10.0):
        """Until a TCP socket listens on port in the namespace."""
        want = f":{port:04X} 00000000:0000 0A"
        deadline = time.monotonic() + timeout
        while want not in Path(f"/proc/{self.proc.pid}/net/tcp").read_text():
            assert self.proc.poll() is None, (self.folder / "rsyslogd.out").read_text()
            assert time.monotonic() < deadline, f"rsyslogd listens on no port {port} after {timeout}s"
            time.sleep(0.01)


STORE_CONF = """module(load="imtcp")
# Each line as it arrived: the forwarder sends one JSON object a line.
template(name="as_received" type="string" string="%rawmsg%\\n")
ruleset(name="store") {{ action(type="omfile" file="{store}" template="as_received") }}
input(type="imtcp" address="127.0.0.1" port="{port}" ruleset="store")
"""


def forwarder_conf(records_json: Path) -> str:
    """examples/shipping/rsyslog-oamlog.conf for this test: its file, the
    store in the namespace, plain TCP instead of TLS."""
    text = (EXAMPLES / "rsyslog-oamlog.conf").read_text()
    return substitute(text, {
        '"/var/log/oamlog/records.json"': f'"{records_json}"',
        'Target="logs.example.net" Port="6514"': f'Target="127.0.0.1" Port="{STORE_PORT}"',
        'StreamDriver="gtls" StreamDriverMode="1" StreamDriverAuthMode="x509/name"\n': "",
    })


def reader_command(state_dir: Path, records_json: Path, root: Path) -> tuple[list[str], Path]:
    """The ExecStart of examples/shipping/oamlog-json.service for this test,
    and the file its standard output is appended to."""
    unit = (EXAMPLES / "oamlog-json.service").read_text()
    unit = substitute(unit, {"/var/lib/oamlog-json/": f"{state_dir}/",
                             "append:/var/log/oamlog/records.json": f"append:{records_json}"})
    exec_start = re.search(r"^ExecStart=(.*)$", unit, re.M).group(1)
    output = re.search(r"^StandardOutput=append:(.*)$", unit, re.M).group(1)
    argv = shlex.split(exec_start)
    assert argv[0] == "/usr/bin/oamlog", argv
    assert re.search(r"^StateDirectory=oamlog-json$", unit, re.M), "the cursor's folder is not the unit's state"
    return [*oamsim.exec_prefix(), str(OAMLOG), *argv[1:], "--root", str(root)], Path(output)


def test_the_example_rsyslog_configuration_passes_rsyslogds_own_check(tmp_path):
    """As installed (/etc/rsyslog.d/ beside a main file that sets the work
    folder), the example is what rsyslogd -N1 accepts."""
    work = tmp_path / "work"
    work.mkdir()
    conf = tmp_path / "rsyslog.conf"
    conf.write_text(f'global(workDirectory="{work}")\n' + (EXAMPLES / "rsyslog-oamlog.conf").read_text())
    argv, env = rsyslogd_argv(conf, tmp_path / "pid", "-N1")
    check = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=30)
    assert check.returncode == 0, check.stdout + check.stderr
    assert "End of config validation run" in check.stdout + check.stderr


WIFI_DIR = "/vendor/log/wifi_log/"
BFG_DIR = "/vendor/log/bfg_log/"
LIMIT = 10 * 1024 * 1024  # a log file of this size is full
ROOM = 1024 * 1024        # left in file 1 of the history


def record(data: bytes, stamp) -> bytes:
    return struct.pack("<BBH7H", 0xAA, 0, 18 + len(data), *stamp) + data


def history() -> tuple[dict[str, list[bytes]], dict[str, bytes]]:
    """What an earlier run left: Wi-Fi's file 2, compressed, its file 1
    full but for ROOM bytes, and a few bfg records; by core, the payloads
    oldest first and the files."""
    rnd = random.Random(36)
    old2 = [rnd.randbytes(2000) for _ in range(40)]
    old1 = [f"wifi old {i:05d} ".encode().ljust(2030, b".") for i in range((LIMIT - ROOM) // 2048)]
    bfg = [f"bfg old {i:03d}".encode() for i in range(20)]
    ms = iter(range(10**6))
    stamped = lambda payloads: b"".join(
        record(p, (2026, 12, 1, 0, (m := next(ms)) // 60000, m // 1000 % 60, m % 1000)) for p in payloads)
    compressed = subprocess.run(["zstd", "-q", "-c"], input=stamped(old2), capture_output=True, check=True).stdout
    files = {WIFI_DIR + "wifi_log_2.zst": compressed, WIFI_DIR + "wifi_log_1": stamped(old1),
             BFG_DIR + "bfg_log_1": stamped(bfg)}
    return {"wifi": old2 + old1, "bfg": bfg}, files


class Store:
    """The store's file read as it grows: each line the forwarder's JSON
    object around one of oamlog's."""

    def __init__(self, path: Path):
        self.path = path
        self.read = 0
        self.lines: list[dict] = []
        self.records: dict[str, dict[str, bytes]] = {}  # core: cursor: data

    def refresh(self):
        if not self.path.exists():
            return
        with open(self.path, "rb") as f:
            f.seek(self.read)
            data = f.read()
        whole = data[:data.rfind(b"\n") + 1]
        self.read += len(whole)
        for line in whole.splitlines():
            outer = json.loads(line)
            assert set(outer) == {"host", "oamlog"}, outer
            obj = outer["oamlog"]
            self.lines.append(obj)
            if "event" not in obj:
                data = base64.b64decode(obj["data"])
                seen = self.records.setdefault(obj["core"], {}).setdefault(obj["cursor"], data)
                assert seen == data, f"one cursor, two records: {obj}"

    def holds(self, expected: dict[str, list[bytes]]) -> bool:
        self.refresh()
        return all(len(self.records.get(core, {})) >= len(want) for core, want in expected.items())


def test_a_store_fed_through_rsyslog_gets_every_record_once_across_restarts_of_every_piece(chip_factory, tmp_path):
    expected, files = history()
    chip = chip_factory(model="zr4002", files=files, ini=ini(log_switch_device_wifi=1, log_switch_device_bfg=1,
                                                             log_compress="zstd", log_max_use=11,
                                                             log_min_share_device_wifi=85))
    root = chip.host_path("/vendor/log")
    state = tmp_path / "state"
    state.mkdir()
    records_json = tmp_path / "log" / "records.json"
    records_json.parent.mkdir()
    reader_argv, output = reader_command(state, records_json, root)
    store = Store(tmp_path / "store.json")
    netns = NetNs()
    store_rs = Rsyslogd(netns, tmp_path / "store", STORE_CONF.format(store=store.path, port=STORE_PORT))
    forwarder = Rsyslogd(netns, tmp_path / "forwarder", forwarder_conf(records_json))
    reader_err = open(tmp_path / "reader.err", "ab")
    procs: dict[str, subprocess.Popen] = {}

    def start_reader():
        with open(output, "ab") as out:
            procs["reader"] = subprocess.Popen(reader_argv, stdout=out, stderr=reader_err)

    def stop_reader(sig=signal.SIGTERM):
        procs["reader"].send_signal(sig)
        status = procs["reader"].wait(timeout=20)
        assert status == (0 if sig == signal.SIGTERM else -sig), (tmp_path / "reader.err").read_text()

    def daemon():
        mark = chip.mark()
        oam = start(chip)
        chip.wait_hello(after=mark)
        chip.wait_open("qvbfgdbg", after=mark)
        return oam

    def send(tag: str, n: int = 20, size: int = 0, cores=("wifi", "bfg")):
        sent = {core: [f"{core} {tag} {i:03d} ".encode().ljust(size, b"x") for i in range(n)] for core in cores}
        for msg in sent.get("wifi", []):
            chip.send_wifi_log(msg)
        if "bfg" in sent:
            chip.send_chunks("qvbfgdbg", sent["bfg"])
        for core, msgs in sent.items():
            expected[core] += msgs

    def shipped(what: str, timeout: float = 30.0):
        wait_until(lambda: store.holds(expected), f"the store holding {what}", timeout)

    try:
        store_rs.start().wait_listening(STORE_PORT)
        forwarder.start()
        oam = daemon()
        start_reader()
        shipped("the history")
        # The reader stopped, then killed while it writes: what is stored
        # meanwhile follows once it is back.
        send("a")
        shipped("batch a")
        stop_reader()
        send("b")
        start_reader()
        shipped("batch b")
        send("c")
        stop_reader(signal.SIGKILL)
        send("d")
        start_reader()
        shipped("batches c and d")
        # The daemon restarted; then the forwarder.
        oam.terminate()
        assert oam.wait() == 0
        oam = daemon()
        send("e")
        shipped("batch e")
        forwarder.stop()
        send("f")
        forwarder.start()
        shipped("batch f")
        # Wi-Fi grows past its share of the budget (85 % of 11 MiB), then
        # bfg takes the logs past the budget: the budget takes Wi-Fi's file
        # 2, shipped long ago.
        send("g", n=250, size=2000, cores=("wifi",))
        send("g", n=800, size=2000, cores=("bfg",))
        # The budget is looked at when a record is stored, once a second.
        pokes = iter(range(1000))
        wait_until(lambda: send(f"poke{next(pokes)}", n=1, cores=("bfg",)) or
                   not any(name.startswith("wifi_log_2") for name in chip.listdir(WIFI_DIR)),
                   "wifi_log_2 removed by the budget", 30, step=0.1)
        shipped("batch g")
        # Rotated and compressed while the reader is down: its position is
        # in wifi_log_2.zst when it is back.
        stop_reader()
        send("h", n=300, size=2000, cores=("wifi",))
        wait_until(lambda: sorted(chip.listdir(WIFI_DIR)) == ["wifi_log_1", "wifi_log_2.zst"],
                   "file 1 rotated and compressed", 60)
        send("i")
        start_reader()
        shipped("batches h and i")
        oam.terminate()
        assert oam.wait() == 0
        # The journal's events (the stop's too), as a reader of it now sees them.
        journal = [o for o in map(json.loads, subprocess.run(
            [*oamsim.exec_prefix(), str(OAMLOG), "--json", "--merge", "--root", str(root)],
            capture_output=True, check=True).stdout.splitlines()) if "event" in o]
        wait_until(lambda: store.holds(expected) and set(map(event_key, journal)) <= set(map(event_key, store.lines)),
                   "the store holding the journal's events", 30)
        stop_reader()
        forwarder.stop()
        store_rs.stop()
    finally:
        for proc in procs.values():
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        forwarder.kill()
        store_rs.kill()
        netns.close()

    # Each record exactly once by cursor, in the order stored per core.
    for core, want in expected.items():
        firsts = [base64.b64decode(o["data"]) for o in dedup(store.lines) if o.get("core") == core and "event" not in o]
        assert firsts == want, f"{core}: {len(firsts)} records in the store, {len(want)} stored"
    # And every event of the journal, exactly once.
    events = [o for o in dedup(store.lines) if "event" in o]
    assert sorted(map(event_key, events)) == sorted(map(event_key, journal))
    assert any(o["event"] == "removed" and "wifi_log_2" in o["detail"] for o in events)
    assert "unread" not in (tmp_path / "reader.err").read_text()


def event_key(obj: dict) -> tuple:
    """What an event says, whenever it was read (its place on the time line
    may move as the journal grows)."""
    return (obj["cursor"], obj["time"], obj["core"], obj.get("event"), obj.get("detail"), obj.get("count"))


def dedup(lines: list[dict]) -> list[dict]:
    """The first line of each cursor."""
    seen = set()
    return [o for o in lines if o["cursor"] not in seen and not seen.add(o["cursor"])]
