"""Shipping to a fleet's store with the files of examples/shipping/: the
reader unit's oamlog writes JSON lines into a file, one rsyslogd tails it
and forwards it over TCP to a second rsyslogd that stands for the central
store.  Both run as plain programs from the copy scripts/install-deps
unpacked (never the machine's syslog service), inside a network namespace
of the test's own."""

from __future__ import annotations

import glob
import os
import re
import shlex
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import oamsim

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
