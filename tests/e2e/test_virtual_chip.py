"""The virtual chip itself: sandbox, preload library and driver stand-ins,
checked with python3 as the program under the preload instead of the
daemon."""

from __future__ import annotations

import errno
import os
import re
import signal
import socket
import struct
import time

import pytest

import oamsim
from oamsim import Empty, Hangup, ReadError

PROLOGUE = r"""
import errno, fcntl, os, signal, socket, struct, sys, time
def say(*a):
    sys.stdout.write(" ".join(map(str, a)) + "\n")
def attempt(fn, *a):
    try:
        r = fn(*a)
    except OSError as e:
        return "E" + errno.errorcode[e.errno]
    return r.hex() if isinstance(r, bytes) else r
"""

SYS_RECVMSG = 47
SYS_RECVFROM = 45


def start_probe(chip, preload, body: str, *args, **kw):
    return chip.start_process(["/usr/bin/python3", "-u", "-c", PROLOGUE + body, *args], preload=preload,
                              name=kw.pop("name", "probe"), **kw)


def said(proc, key: str, timeout: float = 5.0) -> str:
    """The rest of the probe's first line starting with `key `."""
    return proc.wait_stdout(re.compile(rf"^{re.escape(key)} (.*)$", re.M), timeout).group(1)


def wait_blocked(pid: int, syscall_nr: int, timeout: float = 5.0):
    """Waits until the process's main thread sits in the given system call."""
    deadline = time.monotonic() + timeout
    while True:
        fields = open(f"/proc/{pid}/syscall").read().split()
        if fields and fields[0] == str(syscall_nr):
            return
        assert time.monotonic() < deadline, f"pid {pid} not blocked in syscall {syscall_nr}: {fields}"
        time.sleep(0.005)


def test_netlink_hello_reaches_chip_and_log_messages_come_back(chip, probe_preload):
    probe = start_probe(chip, probe_preload, r"""
s = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 28)
s.bind((os.getpid(), 0))
hello = struct.pack("=IHHII", 32, 0, 0, 0, os.getpid()) + struct.pack("=II", 0, 5) + b"hello\0\0\0"
say("sent", s.sendto(hello, (0, 0)))
for i in range(3):
    say(f"got{i}", s.recv(4096).hex())
""")
    hello = chip.wait_hello()
    assert hello.port == probe.pid and chip.daemon_port == probe.pid
    msg = hello.nl
    assert len(hello.data) == 32 and (msg.length, msg.type, msg.flags, msg.seq) == (32, 0, 0, 0)
    assert msg.pid == probe.pid and (msg.cmd_type, msg.cmd_len, msg.cmd_data) == (0, 5, b"hello")
    assert hello.data.endswith(b"hello\0\0\0")

    chip.send_wifi_log(b"abc")
    chip.send_wifi_log(b"xy", length=5000)
    chip.send_netlink_raw(b"\x01\x02\x03")
    first = bytes.fromhex(said(probe, "got0"))
    assert struct.unpack_from("=IHHII", first) == (19, 0, 0, 0, chip.port) and first[16:] == b"abc"
    second = bytes.fromhex(said(probe, "got1"))
    assert struct.unpack_from("=I", second)[0] == 5000 and second[16:] == b"xy"
    assert said(probe, "got2") == "010203"
    assert probe.wait() == 0


def test_node_reads_are_chunks_and_writes_arrive_whole(chip, probe_preload):
    probe = start_probe(chip, probe_preload, r"""
r = os.open("/dev/qvbfgdbg", os.O_RDONLY)
rw = os.open("/dev/qvbfgdbg", os.O_RDWR)
w = os.open("/dev/qvmeoam", os.O_WRONLY)
say("opened", r)
for i, n in enumerate((2030, 2030, 2030, 2030, 4)):
    say(f"read{i}", attempt(os.read, r, n))
say("write", attempt(os.write, rw, bytes(range(256)) * 8))
say("write_ro", attempt(os.write, r, b"nope"))
say("read_wo", attempt(os.read, w, 10))
os.close(rw)
say("read_after_hangup", attempt(os.read, r, 10), attempt(os.read, r, 10))
""")
    said(probe, "opened")
    opens = chip.events("open")
    assert [(ev.node, ev.mode, ev.errno) for ev in opens] == [
        ("qvbfgdbg", "r", 0), ("qvbfgdbg", "rw", 0), ("qvmeoam", "w", 0)]
    assert all(ev.pid == probe.pid for ev in opens)
    ro_conn, rw_conn = opens[0].conn, opens[1].conn

    big = oamsim.region_bytes(3000)
    chip.send_chunks("qvbfgdbg", [b"abc", Empty(), big, ReadError(errno.EIO), b"tail!"], conn=ro_conn)
    # one read is one chunk; a zero-length chunk reads as 0; a longer chunk is cut
    assert said(probe, "read0") == "616263"
    assert said(probe, "read1") == ""
    assert said(probe, "read2") == big[:2030].hex()
    assert said(probe, "read3") == "EEIO"
    assert said(probe, "read4") == b"tail".hex()

    assert said(probe, "write") == "2048"
    write = chip.wait_event("write", "qvbfgdbg")
    assert write.conn == rw_conn and write.data == bytes(range(256)) * 8
    assert said(probe, "write_ro") == "EEBADF"
    refused = chip.wait_event("write_refused", "qvbfgdbg")
    assert refused.conn == ro_conn and refused.arg == 4
    assert said(probe, "read_wo") == "EEBADF"
    assert chip.wait_event("close", "qvbfgdbg").conn == rw_conn

    chip.send_chunks("qvbfgdbg", [Hangup()], conn=ro_conn)
    assert said(probe, "read_after_hangup") == " "
    assert probe.wait() == 0
    assert not chip.events("write", "qvmeoam")


@pytest.mark.chip(model="zr4005")
def test_ioctls_dump_wait_by_pointer_commands_by_value_and_failures(chip, probe_preload):
    chip.fail_ioctl(oamsim.MEMDUMP_WIFI_IOCTL, errno.EIO, count=1)
    chip.fail_ioctl(oamsim.DFR_BEAT_TIMER_RESET_IOCTL, errno.EPERM)
    probe = start_probe(chip, probe_preload, r"""
e = os.open("/dev/qvwifiexcp", os.O_RDWR)
b = os.open("/dev/qvbfgdbg", os.O_RDWR)
which = bytearray(struct.pack("=i", 6))
say("first_wait", attempt(fcntl.ioctl, e, 0x40047701, which, True))
say("wait", attempt(fcntl.ioctl, e, 0x40047701, which, True), struct.unpack("=i", which)[0])
for i in range(2):
    n = struct.unpack("=I", os.read(e, 4))[0]
    data = b""
    while len(data) < n:
        data += os.read(e, min(n - len(data), 1024))
    say(f"region{i}", n, data.hex())
say("dfr", attempt(fcntl.ioctl, b, 0x40047A00, 0x1234))
say("beat", attempt(fcntl.ioctl, b, 0x40047A01, 1))
say("cali", attempt(fcntl.ioctl, b, 0x40047A66, 0))
say("foreign", attempt(fcntl.ioctl, b, 0x40046204, 0))
""")
    assert said(probe, "first_wait") == "EEIO"
    assert chip.wait_event("ioctl_done", "qvwifiexcp").errno == errno.EIO

    regions = [1500, b""]
    ev = chip.dump("wifi", 3, regions)
    assert ev.request == oamsim.MEMDUMP_WIFI_IOCTL and ev.in_value == 6
    assert said(probe, "wait") == "0 3"
    assert said(probe, "region0") == "1500 " + oamsim.region_bytes(1500).hex()
    assert said(probe, "region1") == "0 "

    assert said(probe, "dfr") == "0"
    dfr = chip.wait_event("ioctl", "qvbfgdbg", lambda ev: ev.request == oamsim.DFR_ENABLE_IOCTL)
    assert dfr.arg == 0x1234 and dfr.in_value is None
    assert said(probe, "beat") == "EEPERM"
    assert said(probe, "cali") == "0"
    assert said(probe, "foreign") == "EENOTTY"
    assert probe.wait() == 0


@pytest.mark.chip(nodes=("qvbfgdbg", "qvbt", "qvwifiexcp", "qvbfgexcp", "qvmeexcp"))
def test_refused_and_absent_nodes(chip, probe_preload, tmp_path):
    chip.refuse_open("qvbt", errno.EBUSY, count=1)
    probe = start_probe(chip, probe_preload, r"""
say("bt1", attempt(os.open, "/dev/qvbt", os.O_RDWR))
say("bt2", type(attempt(os.open, "/dev/qvbt", os.O_RDWR)).__name__)
say("me", attempt(os.open, "/dev/qvmeoam", os.O_RDONLY))
u = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
u.bind("/tmp/own.sock")
say("own_socket", attempt(os.open, "/tmp/own.sock", os.O_RDONLY))
say("plain", os.read(os.open("/proc/device-tree/zr400x/zr400x,subchip_type", os.O_RDONLY), 100))
""")
    assert said(probe, "bt1") == "EEBUSY"
    assert said(probe, "bt2") == "int"
    assert said(probe, "me") == "EENOENT"
    assert said(probe, "own_socket") == "EENXIO"
    assert [(ev.node, ev.errno) for ev in chip.events("open")] == [("qvbt", errno.EBUSY), ("qvbt", 0)]
    assert probe.wait() == 0


def test_blocked_ioctl_and_read_return_eintr_on_a_signal(chip, probe_preload):
    probe = start_probe(chip, probe_preload, r"""
class Interrupted(Exception):
    pass
def handler(sig, frame):
    raise Interrupted()
signal.signal(signal.SIGUSR1, handler)
e = os.open("/dev/qvbfgexcp", os.O_RDWR)
d = os.open("/dev/qvbfgdbg", os.O_RDONLY)
try:
    say("ioctl returned", fcntl.ioctl(e, 0x40046204, bytearray(4), True))
except Interrupted:
    say("ioctl interrupted", 1)
try:
    say("reading", 1)
    say("read returned", os.read(d, 100))
except Interrupted:
    say("read interrupted", 1)
say("after", os.read(d, 100).hex())
""")
    chip.wait_dump_wait("qvbfgexcp")
    wait_blocked(probe.pid, SYS_RECVFROM)
    probe.signal(signal.SIGUSR1)
    said(probe, "ioctl interrupted")
    assert chip.wait_event("ioctl_cancel", "qvbfgexcp").request == oamsim.MEMDUMP_BFGX_IOCTL
    assert not chip.pending_dump_waits()

    said(probe, "reading")
    wait_blocked(probe.pid, SYS_RECVMSG)
    probe.signal(signal.SIGUSR1)
    said(probe, "read interrupted")
    chip.send_chunk("qvbfgdbg", b"later")
    assert said(probe, "after") == b"later".hex()
    assert probe.wait() == 0


def test_accept_failure_injection(chip, probe_preload):
    probe = start_probe(chip, probe_preload, r"""
srv = socket.socket()
srv.bind(("127.0.0.1", 0))
srv.listen(4)
say("port", srv.getsockname()[1])
c, _ = srv.accept()
say("accept1", "ok")
c.close()
say("accept2", attempt(srv.accept))
""")
    port = int(said(probe, "port"))
    with socket.create_connection(("127.0.0.1", port), timeout=5) as first:
        assert said(probe, "accept1") == "ok"
        assert first.recv(10) == b""
    chip.accept_fail("EMFILE")
    with socket.create_connection(("127.0.0.1", port), timeout=5) as second:
        assert said(probe, "accept2") == "EEMFILE"
        try:
            assert second.recv(10) == b""
        except ConnectionResetError:
            pass
    assert probe.wait() == 0


def test_each_sandbox_serves_port_3333_on_a_port_of_its_own(chip_factory, probe_preload):
    chips = [chip_factory(), chip_factory()]
    probes = [start_probe(c, probe_preload, r"""
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("0.0.0.0", 3333))
srv.listen(4)
say("local", srv.getsockname()[1])
me = socket.create_connection(("127.0.0.1", 3333), timeout=5)
c, _ = srv.accept()
say("self", c.getsockname()[1])
c, _ = srv.accept()
c.sendall(sys.argv[1].encode())
c.close()
""", f"chip{n}") for n, c in enumerate(chips)]
    assert len({c.vtl_port for c in chips} | {3333}) == 3
    for n, (c, probe) in enumerate(zip(chips, probes)):
        assert (said(probe, "local"), said(probe, "self")) == ("3333", "3333")
        with socket.create_connection(("127.0.0.1", c.vtl_port), timeout=5) as tool:
            assert tool.recv(10) == f"chip{n}".encode()
        assert probe.wait() == 0


@pytest.mark.chip(model="zr4001", model_source="name", ini="[HOST_PLAT]\nk=1\n", cust_ini="c=2\n",
                  files={"/vendor/log/wifi_log/wifi_log_1": b"old"})
def test_sandbox_layout_process_control_and_host_untouched(chip, probe_preload):
    probe = start_probe(chip, probe_preload, r"""
say("args", sys.argv[1:])
say("pid", os.getpid())
say("stdin", attempt(os.fstat, 0) if attempt(os.fstat, 0) == "EEBADF" else "open")
say("model", open("/proc/device-tree/zr4001/name", "rb").read().hex())
say("subchip", os.path.exists("/proc/device-tree/zr400x/zr400x,subchip_type"))
ini = open("/sys/zr400x_ps/ini_file_name", "rb").read()
say("ininode", ini.decode())
say("ini", open(ini, "rb").read().hex())
say("cust", open("/data/vendor/cust_conn/ini_cfg").read().strip())
say("memdump", os.path.isdir("/vendor/log/memdump"), open("/vendor/log/wifi_log/wifi_log_1").read())
say("procself", os.path.exists("/proc/self/maps"), os.path.exists(f"/proc/{os.getpid()}/task"))
say("preload", "oamsim_preload" in os.environ.get("LD_PRELOAD", ""))
open("/vendor/log/made_here", "w").write("x")
sys.exit(7)
""", "x", "test", stdin_closed=True)
    assert said(probe, "args") == "['x', 'test']"
    assert int(said(probe, "pid")) == probe.pid
    assert said(probe, "stdin") == "EEBADF"
    assert said(probe, "model") == b"zr4001\0".hex()
    assert said(probe, "subchip") == "False"
    assert said(probe, "ininode") == oamsim.DEFAULT_INI_PATH
    assert said(probe, "ini") == b"[HOST_PLAT]\nk=1\n".hex()
    assert said(probe, "cust") == "c=2"
    assert said(probe, "memdump") == "True old"
    assert said(probe, "procself") == "True True"
    assert said(probe, "preload") == "True"
    assert probe.wait() == 7
    assert chip.read_file("/vendor/log/made_here") == b"x"

    sleeper = start_probe(chip, probe_preload, 'say("stdin", "open" if os.fstat(0) else "")\ntime.sleep(600)',
                          name="sleeper")
    assert said(sleeper, "stdin") == "open"
    assert sleeper.terminate()
    assert sleeper.wait() == 128 + signal.SIGTERM

    left = start_probe(chip, probe_preload, 'say("up", 1)\ntime.sleep(600)', name="left")
    said(left, "up")
    chip.close()
    assert not left.alive and left.bwrap.returncode is not None
    assert not os.path.exists("/vendor/log") and not os.path.exists("/data/vendor")


def test_dump_stream_puts_each_header_alone_and_caps_data_chunks():
    stream = oamsim.dump_stream([b"\x01" * 2500, b"", b"xy"], 2)
    assert stream == [b"\xc4\x09", b"\x01" * 1024, b"\x01" * 1024, b"\x01" * 452, b"\x00\x00", b"\x02\x00", b"xy"]
    assert oamsim.dump_stream([5], 4)[0] == struct.pack("=I", 5)
    assert oamsim.dump_header_width("bfgx", "zr4001") == 2
    assert oamsim.dump_header_width("qvbfgexcp", None) == 4
    assert oamsim.dump_files("wifi", None) == oamsim.dump_files("wifi", "zr4070")
