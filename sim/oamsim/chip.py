"""The virtual zr400x chip: a stand-in for the chip's kernel drivers.

It lays the sandbox out as a platform would (device tree, sysfs, INI files),
serves the device nodes and the Wi-Fi driver's netlink port, records every
thing the daemon does towards them, and sends log data and crash dumps on
request.  It runs as threads of the calling process; the daemon reaches it
through the preload library (sim/preload.c).
"""

from __future__ import annotations

import errno as errno_mod
import fcntl
import mmap
import os
import queue
import selectors
import socket
import struct
import subprocess
import termios
import threading
import time
from dataclasses import dataclass
from pathlib import Path

from . import platform as plat
from .loopfs import LoopFs
from .sandbox import (ASAN_OPTIONS, CTL_DIR, TSAN_OPTIONS, UBSAN_OPTIONS, DaemonProcess, Sandbox,
                      default_binary, default_loadgen, default_preload, exec_prefix)

_OPEN = struct.Struct("=8sQiiii")          # magic, conn, flags, pid, tid, pad
_OPEN_ANSWER = struct.Struct("=ii")        # errno, pad
_IOCTL = struct.Struct("=8sQQQiiii")       # magic, conn, request, arg, has_in, in_value, pid, tid
_IOCTL_ANSWER = struct.Struct("=iiii")     # errno, has_out, out, pad
_TAG = struct.Struct("=c3xi")              # tag, value
_NLMSGHDR = struct.Struct("=IHHII")        # length, type, flags, seq, pid
_CMDHDR = struct.Struct("=II")             # command type, data length
_NL_UNIX_PREFIX = b"\0oamsim-nl-"


def _nl_unix_name(port: int) -> bytes:
    """The abstract Unix name that stands for a netlink port id."""
    return _NL_UNIX_PREFIX + str(port).encode()


def _nl_unix_port(addr) -> int:
    """The port id of a sender's Unix name (0: an unnamed sender)."""
    addr = addr.encode() if isinstance(addr, str) else bytes(addr or b"")
    return int(addr[len(_NL_UNIX_PREFIX):]) if addr.startswith(_NL_UNIX_PREFIX) else 0


DUMP_CHUNK = 1024


class ChipTimeout(AssertionError):
    """An awaited event did not happen in time."""


# ---------------------------------------------------------------------------
# Records


@dataclass
class NetlinkMsg:
    """A netlink message as the chip received it, with the daemon's command
    header decoded when the payload has one."""

    raw: bytes
    length: int = 0
    type: int = 0
    flags: int = 0
    seq: int = 0
    pid: int = 0
    payload: bytes = b""
    cmd_type: int | None = None
    cmd_len: int | None = None
    cmd_data: bytes | None = None

    @classmethod
    def parse(cls, raw: bytes) -> "NetlinkMsg":
        msg = cls(raw=bytes(raw))
        if len(raw) >= _NLMSGHDR.size:
            msg.length, msg.type, msg.flags, msg.seq, msg.pid = _NLMSGHDR.unpack_from(raw)
            msg.payload = bytes(raw[_NLMSGHDR.size:max(_NLMSGHDR.size, min(msg.length, len(raw)))])
        if len(msg.payload) >= _CMDHDR.size:
            msg.cmd_type, msg.cmd_len = _CMDHDR.unpack_from(msg.payload)
            msg.cmd_data = msg.payload[_CMDHDR.size:_CMDHDR.size + msg.cmd_len]
        return msg

    @property
    def is_hello(self) -> bool:
        return self.cmd_type == 0 and self.cmd_len == 5 and self.cmd_data == b"hello"


@dataclass
class Event:
    """One thing the daemon did towards the drivers (or the chip did on its
    own initiative, kinds starting with 'chip_').

    kind: 'netlink' (data, port), 'open' (node, conn, flags, errno: 0 when
    accepted), 'close' (node, conn: the descriptor was closed or the process
    went away), 'write' (node, conn, data), 'write_refused' (node, conn,
    arg = byte count: a write on a descriptor opened read-only), 'ioctl'
    (node, conn, request, arg, in_value: the int behind the pointer of a dump
    wait, else None), 'ioctl_done' (node, conn, request, errno, out),
    'ioctl_cancel' (node, conn, request: the caller stopped waiting)."""

    seq: int
    kind: str
    t: float
    wall: float
    node: str | None = None
    conn: int | None = None
    data: bytes = b""
    flags: int | None = None
    request: int | None = None
    arg: int | None = None
    in_value: int | None = None
    out: int | None = None
    errno: int | None = None
    port: int | None = None
    pid: int | None = None
    tid: int | None = None

    @property
    def mode(self) -> str | None:
        """Access mode of an open: 'r', 'w' or 'rw'."""
        if self.flags is None:
            return None
        return {os.O_RDONLY: "r", os.O_WRONLY: "w", os.O_RDWR: "rw"}.get(self.flags & os.O_ACCMODE, "?")

    @property
    def nl(self) -> NetlinkMsg:
        return NetlinkMsg.parse(self.data)

    def __repr__(self) -> str:
        parts = [f"#{self.seq} {self.kind}"]
        for name in ("node", "conn", "flags", "request", "arg", "in_value", "out", "errno", "port"):
            value = getattr(self, name)
            if value is not None:
                parts.append(f"{name}={hex(value) if name in ('request', 'flags') else value}")
        if self.data:
            parts.append(f"data={self.data[:32]!r}{'...' if len(self.data) > 32 else ''}({len(self.data)})")
        return "<" + " ".join(parts) + ">"


# Items of a data stream sent on a node, besides plain bytes (one chunk each).

@dataclass
class Empty:
    """`count` zero-length chunks: reads that return 0."""
    count: int = 1


@dataclass
class Stall:
    """Send nothing for `seconds`."""
    seconds: float


@dataclass
class Gate:
    """Send nothing until the test sets `event` (a threading.Event)."""
    event: threading.Event
    timeout: float = 30.0


@dataclass
class ReadError:
    """One read that fails with `errno`."""
    errno: int = errno_mod.EIO


@dataclass
class Hangup:
    """Close the data connection: every later read returns 0."""


def dump_stream(regions, width: int, chunk: int = DUMP_CHUNK) -> list:
    """The region stream of one dump as a driver delivers it: per region a
    length header of `width` bytes (2 or 4, host order) as one chunk, then
    the data in chunks of at most `chunk` bytes.  A region is bytes, or an
    int n for n bytes of a counting pattern."""
    items = []
    for region in regions:
        data = region_bytes(region)
        items.append(struct.pack("=H" if width == 2 else "=I", len(data)))
        for off in range(0, len(data), chunk):
            items.append(data[off:off + chunk])
    return items


def region_bytes(region) -> bytes:
    if isinstance(region, int):
        return bytes((i * 7 + i // 251) & 0xFF for i in range(region))
    return bytes(region)


# ---------------------------------------------------------------------------
# Connections


class _Conn:
    """One accepted connection on a node socket: a data connection (an open
    descriptor of the daemon) or a single ioctl request."""

    def __init__(self, chip: "VirtualChip", node: str, sock: socket.socket):
        self.chip = chip
        self.node = node
        self.sock = sock
        self.kind: str | None = None
        self.conn_id: int | None = None
        self.flags = 0
        self.alive = True
        self.hung_up = False
        self.request: int | None = None
        self.answered = False
        self.event: Event | None = None
        self._queue: queue.Queue | None = None
        self._sender: threading.Thread | None = None

    # data connections

    def start_sender(self):
        self._queue = queue.Queue()
        self._sender = threading.Thread(target=self._send_loop, name=f"chip-{self.node}-{self.conn_id}",
                                        daemon=True)
        self._sender.start()

    def put(self, items):
        if self._queue is None:
            raise RuntimeError("not a data connection")
        for item in items:
            self._queue.put(item)

    def drain(self, timeout: float):
        """Waits until every queued item was handed to the socket."""
        deadline = time.monotonic() + timeout
        while self._queue.unfinished_tasks:
            if time.monotonic() > deadline:
                raise ChipTimeout(f"{self.node}: chip stream not drained in {timeout}s")
            time.sleep(0.002)

    def stop_sender(self):
        if self._queue is not None:
            self._queue.put(None)

    def _send_loop(self):
        q = self._queue
        broken = False
        while True:
            item = q.get()
            try:
                if item is None:
                    return
                if broken:
                    continue
                if isinstance(item, (bytes, bytearray, memoryview)):
                    self.sock.send(_TAG.pack(b"D", 0) + bytes(item))
                elif isinstance(item, Empty):
                    for _ in range(item.count):
                        self.sock.send(_TAG.pack(b"D", 0))
                elif isinstance(item, ReadError):
                    self.sock.send(_TAG.pack(b"E", item.errno))
                elif isinstance(item, Stall):
                    time.sleep(item.seconds)
                elif isinstance(item, Gate):
                    item.event.wait(item.timeout)
                elif isinstance(item, Hangup):
                    self.chip._hangup(self)
                    broken = True
                else:
                    raise TypeError(f"unknown stream item {item!r}")
            except OSError:
                broken = True
            finally:
                q.task_done()

    def unsent_bytes(self) -> int:
        """Bytes the chip sent that the daemon has not read yet."""
        try:
            buf = fcntl.ioctl(self.sock.fileno(), termios.TIOCOUTQ, b"\0\0\0\0")
        except OSError:
            return 0
        return struct.unpack("=i", buf)[0]


@dataclass
class _Rule:
    errno: int
    count: int | None
    node: str | None = None


# ---------------------------------------------------------------------------
# The chip


class VirtualChip:
    """Sandbox layout plus running drivers.

    model: chip model name ('zr4005'), or None for no model file at all.
    model_source: 'subchip_type' (the zr400x,subchip_type property) or
        'name' (the zr4001/name fallback); model_raw replaces the file's
        bytes (default: the name and its NUL).
    ini: text of the INI file (None: no file) at ini_path; publish_ini
        (default: ini is not None) writes the bare path to the sysfs file;
        ini_node_raw replaces that file's bytes.
    cust_ini: text of the customer file (None: no file).
    memdump_dir: create /vendor/log/memdump as the platform does.
    files: more files to place, {sandbox path: bytes or text}.
    nodes: the device nodes that exist (default: all six).
    log_tmpfs: size in bytes of a tmpfs mounted on /vendor/log inside the
        sandbox (a storage that can run full); None: the plain folder.  Its
        files exist only while a program runs there: host_path then reaches
        them through that program's root.
    run_readonly: /run (empty unless a test fills it) bound read-only, as a
        service manager's run-time folder may be.
    localtime: TZif bytes of the device's time zone, bound over
        /etc/localtime (None: the host's zone); set_localtime() changes it
        while the daemon runs.
    log_loopfs: size in bytes of an ext4 file system over a loop device
        (image under the run folder) mounted on the host folder bound as
        /vendor/log, for power cuts (`power_cut`); OSError when this machine
        cannot make one (oamsim.loopfs.unavailable() says why).
    """

    def __init__(self, run_dir, *, model: str | None = "zr4005", model_source: str = "subchip_type",
                 model_raw: bytes | None = None, ini: str | bytes | None = None,
                 ini_path: str = plat.DEFAULT_INI_PATH, publish_ini: bool | None = None,
                 ini_node_raw: bytes | None = None, cust_ini: str | bytes | None = None,
                 memdump_dir: bool = True, files: dict | None = None, nodes=plat.ALL_NODES,
                 log_tmpfs: int | None = None, localtime: bytes | None = None, run_readonly: bool = False,
                 log_loopfs: int | None = None):
        self.run_dir = Path(run_dir)
        self.run_dir.mkdir(parents=True, exist_ok=True)
        self.model = model
        self.ini_path = ini_path
        self.nodes = tuple(plat.node_name(n) for n in nodes)
        self.sandbox = Sandbox(self.run_dir)
        self.sandbox.log_tmpfs = log_tmpfs
        self.sandbox.run_readonly = run_readonly
        # The netlink overrun counter shared with the load generator and the
        # daemon's preload library.
        self.overrun_path = self.run_dir / "ctl" / "nl_overrun"
        self.overrun_path.write_bytes(bytes(24))
        # The wall clock the daemon sees (sim/preload.c): an offset the
        # chip steps, and the FIFO that stands for the daemon's timer
        # cancelled by a step.
        clock_path = self.run_dir / "ctl" / "clock"
        clock_path.write_bytes(bytes(16))
        with open(clock_path, "r+b") as f:
            self._clock = mmap.mmap(f.fileno(), 16)
        self.clock_offset_ns = 0
        self._clock_step_path = self.run_dir / "ctl" / "clock_step"
        if not self._clock_step_path.exists():
            os.mkfifo(self._clock_step_path, 0o600)
        if localtime is not None:
            self.sandbox.localtime = self.run_dir / "localtime"
            self.set_localtime(localtime)
        self.loopfs: LoopFs | None = None
        if log_loopfs is not None:
            self.loopfs = LoopFs(self.run_dir / "log.ext4", self.sandbox.host_path(plat.LOG_ROOT_DIR),
                                 log_loopfs)
        try:
            self._layout(model, model_source, model_raw, ini, publish_ini, ini_node_raw, cust_ini,
                         memdump_dir, files or {})
        except BaseException:
            self.loopfs and self.loopfs.close()
            raise

        self._cond = threading.Condition(threading.RLock())
        self._events: list[Event] = []
        self._conns: list[_Conn] = []
        self._pending: list[_Conn] = []
        self._open_rules: dict[str, _Rule] = {}
        self._ioctl_rules: list[tuple[int, _Rule]] = []
        self.unknown_ioctl_errno = errno_mod.ENOTTY
        self.daemon_port: int | None = None
        # Under a user-mode emulator the Wi-Fi channel is a Unix datagram
        # socket named after the netlink port id (see sim/preload.c).
        self.nl_unix = bool(exec_prefix())
        self.errors: list[BaseException] = []
        self._processes: list[DaemonProcess] = []
        self._closed = False
        self._started = False

    # Layout --------------------------------------------------------------

    def host_path(self, path: str) -> Path:
        """Host location of a sandbox path under /vendor, /data, /sys, /proc, /run."""
        if self.sandbox.log_tmpfs is not None and (path + "/").startswith(plat.LOG_ROOT_DIR + "/"):
            running = [p for p in getattr(self, "_processes", []) if p.alive]
            if running:
                return Path(f"/proc/{running[-1].pid}/root") / path.lstrip("/")
        return self.sandbox.host_path(path)

    def write_file(self, path: str, content: bytes | str, mode: int | None = None) -> Path:
        host = self.host_path(path)
        host.parent.mkdir(parents=True, exist_ok=True)
        host.write_bytes(content.encode() if isinstance(content, str) else bytes(content))
        if mode is not None:
            os.chmod(host, mode)
        return host

    def set_localtime(self, tzif: bytes):
        """Changes the device's time zone in place (the bind mount keeps the
        file), with a modification time that differs from any before."""
        path = self.sandbox.localtime
        if path is None:
            raise RuntimeError("the chip was made without a localtime")
        stamp = path.stat().st_mtime_ns if path.exists() else 0
        with open(path, "r+b" if path.exists() else "wb") as f:
            f.truncate(0)
            f.write(tzif)
        later = max(stamp + 2_000_000_000, time.time_ns())
        os.utime(path, ns=(later, later))

    def read_file(self, path: str) -> bytes:
        return self.host_path(path).read_bytes()

    def exists(self, path: str) -> bool:
        return os.path.lexists(self.host_path(path))

    def listdir(self, path: str) -> list[str]:
        return sorted(os.listdir(self.host_path(path)))

    def _layout(self, model, model_source, model_raw, ini, publish_ini, ini_node_raw, cust_ini,
                memdump_dir, files):
        if model is not None or model_raw is not None:
            content = model_raw if model_raw is not None else model.encode() + b"\0"
            target = {"subchip_type": plat.SUBCHIP_TYPE_NODE, "name": plat.SUBCHIP_NAME_NODE}[model_source]
            self.write_file(target, content)
        if ini is not None:
            self.write_file(self.ini_path, ini)
        if publish_ini is None:
            publish_ini = ini is not None or ini_node_raw is not None
        if publish_ini:
            self.write_file(plat.INI_PATH_NODE,
                            ini_node_raw if ini_node_raw is not None else self.ini_path.encode())
        if cust_ini is not None:
            self.write_file(plat.INI_CUST_FILE, cust_ini)
        if memdump_dir:
            self.host_path(plat.MEMDUMP_DIR).mkdir(parents=True, exist_ok=True)
        for path, content in files.items():
            self.write_file(path, content)

    # Start and stop ----------------------------------------------------------

    def start(self) -> "VirtualChip":
        if self._started:
            return self
        self._started = True
        self._selector = selectors.DefaultSelector()
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        self._selector.register(self._wake_r, selectors.EVENT_READ, ("wake", None))

        self._nl = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, plat.NETLINK_USERSOCK)
        self._nl.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        # A daemon that stopped receiving must fail a send, not hang the test.
        self._nl.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, struct.pack("@ll", 10, 0))
        self._nl.bind((0, 0))
        self.port = self._nl.getsockname()[0]
        if self.nl_unix:
            # The netlink socket stays open to keep the port id unique.
            self._nl_rx = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self._nl_rx.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
            self._nl_rx.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, struct.pack("@ll", 10, 0))
            self._nl_rx.bind(_nl_unix_name(self.port))
        else:
            self._nl_rx = self._nl
        self._selector.register(self._nl_rx, selectors.EVENT_READ, ("netlink", None))

        # The debug tool's port: the machine's network is shared, so each
        # chip serves 3333 on a port of its own (sim/preload.c maps it).  A
        # bound socket that never listens keeps the port from every other
        # bind to port 0 and every outgoing connection, and lets the
        # daemon's bind (SO_REUSEADDR) take it.
        self._vtl_hold = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._vtl_hold.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._vtl_hold.bind(("0.0.0.0", 0))
        self.vtl_port = self._vtl_hold.getsockname()[1]

        self._listeners: dict[str, socket.socket] = {}
        node_dir = self.run_dir / "n"
        node_dir.mkdir(exist_ok=True)
        for node in self.nodes:
            path = node_dir / f"{node}.sock"
            lsock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            self._bind_unix(lsock, path)
            lsock.listen(64)
            lsock.setblocking(False)
            self._listeners[node] = lsock
            self.sandbox.nodes[f"/dev/{node}"] = path
            self._selector.register(lsock, selectors.EVENT_READ, ("listen", node))

        self._loop_thread = threading.Thread(target=self._loop, name="chip-loop", daemon=True)
        self._loop_thread.start()
        return self

    @staticmethod
    def _bind_unix(sock: socket.socket, path: Path):
        if len(os.fsencode(path)) < 100:
            sock.bind(str(path))
            return
        # Socket addresses are short; reach a deep folder through its fd.
        dfd = os.open(path.parent, os.O_PATH | os.O_DIRECTORY)
        try:
            sock.bind(f"/proc/self/fd/{dfd}/{path.name}")
        finally:
            os.close(dfd)

    def power_cut(self) -> list[int]:
        """Cuts the power of the log file system (log_loopfs) while
        programs run on it, kills each of them by its pid (a program may
        hang in its next call on the dead file system), and mounts it again
        once they are gone.  Returns their exit statuses."""
        self.loopfs.cut()
        running = [p for p in self._processes if p.alive]
        for proc in running:
            proc.kill()
        statuses = [proc.wait(timeout=30) for proc in running]
        self.loopfs.remount()
        return statuses

    def close(self):
        """Ends every process started in the sandbox, then the drivers
        and the log file system."""
        if self._closed:
            return
        self._closed = True
        for proc in self._processes:
            try:
                proc.stop()
            except Exception as exc:  # keep cleaning up
                self.errors.append(exc)
        if self.loopfs is not None:
            self.errors += [OSError(e) for e in self.loopfs.close()]
        if not self._started:
            return
        os.write(self._wake_w, b"x")
        if hasattr(self, "_loop_thread"):
            self._loop_thread.join(5)
        with self._cond:
            conns = list(self._conns)
        for conn in conns:
            conn.stop_sender()
            conn.alive = False
            conn.sock.close()
        for lsock in getattr(self, "_listeners", {}).values():
            lsock.close()
        if hasattr(self, "_nl"):
            self._nl.close()
            self._nl_rx.close()
        if hasattr(self, "_vtl_hold"):
            self._vtl_hold.close()
        self._selector.close()
        os.close(self._wake_r)
        os.close(self._wake_w)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    # Running programs in the sandbox -------------------------------------

    def sandbox_env(self, extra: dict | None = None) -> dict[str, str]:
        env = {
            "PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
            "OAM_SIM_NL_PORT": str(self.port),
            "OAM_SIM_VTL_PORT": str(self.vtl_port),
            "OAM_SIM_ACCEPT_FAIL": f"{CTL_DIR}/accept_fail",
            "OAM_SIM_NL_UNIX": "1" if self.nl_unix else "0",
            "OAM_SIM_HOLD_READS": f"{CTL_DIR}/hold_reads",
            "OAM_SIM_NL_OVERRUN": f"{CTL_DIR}/nl_overrun",
            "OAM_SIM_CLOCK": f"{CTL_DIR}/clock",
            "OAM_SIM_CLOCK_STEP": f"{CTL_DIR}/clock_step",
            "ASAN_OPTIONS": os.environ.get("OAM_ASAN_OPTIONS", ASAN_OPTIONS),
            "UBSAN_OPTIONS": os.environ.get("OAM_UBSAN_OPTIONS", UBSAN_OPTIONS),
            "TSAN_OPTIONS": os.environ.get("OAM_TSAN_OPTIONS", TSAN_OPTIONS),
        }
        env.update(extra or {})
        return env

    def start_process(self, argv: list[str], *, preload=None, env: dict | None = None,
                      name: str | None = None, stdin_closed: bool = False,
                      ro_paths: list | None = None, target: bool = False) -> DaemonProcess:
        """Runs any program in the sandbox under the preload library (the
        preload given, a path or a list of paths, or OAM_PRELOAD /
        <repo>/build/oamsim_preload.so; preload=False runs it without).
        `target`: the program is built for the device and runs through the
        emulator of OAM_EXEC_PREFIX, if any."""
        self.start()
        if preload is None:
            preload = default_preload()
        paths = [Path(p) for p in (ro_paths or [])]
        preloads = [Path(p).resolve() for p in (preload if isinstance(preload, (list, tuple)) else [preload])
                    if p]
        for lib in preloads:
            if not lib.exists():
                raise FileNotFoundError(f"preload library {lib} not built")
        paths += preloads
        self.sandbox.ro_paths = paths
        name = name or f"proc{len(self._processes) + 1}"
        proc = DaemonProcess(self.sandbox, argv, self.sandbox_env(env), preloads or None, name=name,
                             stdin_closed=stdin_closed, target=target, vtl_port=self.vtl_port)
        self._processes.append(proc)
        return proc

    def start_daemon(self, args=(), *, binary=None, preload=None, env: dict | None = None,
                     stdin_closed: bool = False) -> DaemonProcess:
        """Starts the daemon under test (OAM_BIN, default <repo>/build/oam)
        with the arguments given."""
        binary = Path(binary or default_binary()).resolve()
        if not binary.exists():
            raise FileNotFoundError(f"daemon binary {binary} not built")
        n = sum(1 for p in self._processes if p.name.startswith("oam"))
        return self.start_process([str(binary), *args], preload=preload, env=env,
                                  name="oam" if n == 0 else f"oam{n + 1}", stdin_closed=stdin_closed,
                                  ro_paths=[binary], target=True)

    # Events --------------------------------------------------------------

    def _record(self, kind: str, **fields) -> Event:
        with self._cond:
            ev = Event(seq=len(self._events), kind=kind, t=time.monotonic(), wall=time.time(), **fields)
            self._events.append(ev)
            self._cond.notify_all()
            return ev

    def mark(self) -> int:
        """A position in the event record; pass it as `after` to look only at
        later events."""
        with self._cond:
            return len(self._events)

    @staticmethod
    def _match(ev: Event, kind, node, pred) -> bool:
        if kind is not None and ev.kind != kind:
            return False
        if node is not None and ev.node != plat.node_name(node):
            return False
        return pred is None or bool(pred(ev))

    def events(self, kind: str | None = None, node: str | None = None, pred=None,
               after: int = 0) -> list[Event]:
        with self._cond:
            return [ev for ev in self._events[after:] if self._match(ev, kind, node, pred)]

    def wait_event(self, kind: str | None = None, node: str | None = None, pred=None, *,
                   after: int = 0, timeout: float = 5.0) -> Event:
        """The first event (from `after` on) of that kind and node for which
        pred(event) holds; waits for it up to `timeout` seconds."""
        return self.wait_events(kind, node, pred, count=1, after=after, timeout=timeout)[0]

    def wait_events(self, kind: str | None = None, node: str | None = None, pred=None, *,
                    count: int = 1, after: int = 0, timeout: float = 5.0) -> list[Event]:
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = [ev for ev in self._events[after:] if self._match(ev, kind, node, pred)]
                if len(found) >= count:
                    return found[:count]
                left = deadline - time.monotonic()
                if left <= 0:
                    recent = "\n  ".join(repr(ev) for ev in self._events[-15:])
                    raise ChipTimeout(f"waited {timeout}s for {count} x kind={kind} node={node}; "
                                      f"found {len(found)}; last events:\n  {recent}")
                self._cond.wait(left)

    def netlink_messages(self, after: int = 0) -> list[NetlinkMsg]:
        return [ev.nl for ev in self.events("netlink", after=after)]

    def wait_hello(self, timeout: float = 5.0, after: int = 0) -> Event:
        return self.wait_event("netlink", pred=lambda ev: ev.nl.is_hello, after=after, timeout=timeout)

    def wait_open(self, node: str, timeout: float = 5.0, after: int = 0) -> Event:
        return self.wait_event("open", node, after=after, timeout=timeout)

    # Failure injection -------------------------------------------------------

    def refuse_open(self, node: str, err: int = errno_mod.ENODEV, count: int | None = None):
        """Opens of `node` fail with `err` (the next `count` ones, or all)."""
        with self._cond:
            self._open_rules[plat.node_name(node)] = _Rule(err, count)

    def allow_open(self, node: str):
        with self._cond:
            self._open_rules.pop(plat.node_name(node), None)

    def fail_ioctl(self, request: int, err: int = errno_mod.EIO, count: int | None = None,
                   node: str | None = None):
        """The next `count` (or all) ioctls with `request` (on `node`, or on
        any node) fail with `err`."""
        with self._cond:
            self._ioctl_rules.append((request, _Rule(err, count, plat.node_name(node) if node else None)))

    def clear_ioctl_failures(self):
        with self._cond:
            self._ioctl_rules.clear()

    @staticmethod
    def _take(rule: _Rule | None) -> int:
        if rule is None or rule.count == 0:
            return 0
        if rule.count is not None:
            rule.count -= 1
        return rule.errno

    # Wi-Fi driver --------------------------------------------------------------

    def send_wifi_log(self, data: bytes, *, length: int | None = None, port: int | None = None,
                      nl_type: int = 0, nl_flags: int = 0, seq: int = 0) -> int:
        """Sends one log message: a netlink header whose length field is
        16 + len(data) (or `length`), then the data, to the daemon's port id
        (learnt from its hello) or `port`."""
        data = bytes(data)
        hdr = _NLMSGHDR.pack(16 + len(data) if length is None else length, nl_type, nl_flags, seq, self.port)
        return self.send_netlink_raw(hdr + data, port=port)

    def hold_netlink_port(self, port: int) -> socket.socket:
        """A socket bound to the daemon's netlink port id `port`, so that
        the daemon's own bind fails; the caller closes it."""
        if self.nl_unix:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            sock.bind(_nl_unix_name(port))
        else:
            sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, plat.NETLINK_USERSOCK)
            sock.bind((port, 0))
        return sock

    def send_netlink_raw(self, raw: bytes, *, port: int | None = None) -> int:
        """Sends `raw` as one datagram, whatever it holds."""
        if port is None:
            port = self.daemon_port
            if port is None:
                raise RuntimeError("no hello received yet: daemon port unknown")
        if self.nl_unix:
            return self._nl_rx.sendto(bytes(raw), _nl_unix_name(port))
        return self._nl.sendto(bytes(raw), (port, 0))

    def wifi_load(self, count: int, *, size="64", rate: float | None = None, blocking: bool = False,
                  stream: int = 0, port: int | None = None, overrun: bool = True, drops_behind: int = 0,
                  wait_dir: str | Path | None = None, wait_bytes: int = 0) -> dict:
        """Sends `count` sequence-numbered Wi-Fi log messages at driver speed
        with the C load generator (sim/loadgen.c): without waiting, so a full
        receive buffer refuses them and the daemon is told of the overrun,
        unless `blocking`; at line rate or `rate` messages a second; `size`
        bytes each or "mixed".  `port` sends to another receiver, `overrun`
        False keeps the daemon from hearing of the refusals; `drops_behind`
        more messages are dropped behind each overrun, reaching the drop
        counter after the daemon was told of it.  With
        `wait_dir`, the time runs until its files hold `wait_bytes` bytes.
        Returns the generator's counts (offered, sent, refused, overruns,
        seconds)."""
        if port is None:
            port = self.daemon_port
            if port is None:
                raise RuntimeError("no hello received yet: daemon port unknown")
        args = ["wifi", "--port", str(port), "--count", str(count), "--size", str(size),
                "--stream", str(stream)]
        if overrun:
            args += ["--overrun", str(self.overrun_path), "--drops-behind", str(drops_behind)]
        if rate:
            args += ["--rate", str(rate)]
        if blocking:
            args.append("--blocking")
        if self.nl_unix:
            args.append("--unix")
        return self._loadgen(args, wait_dir, wait_bytes)

    def push_chunks(self, node: str, count: int, *, size="64", rate: float | None = None, stream: int = 0,
                    conn: int | None = None, wait_dir: str | Path | None = None, wait_bytes: int = 0) -> dict:
        """Pushes `count` sequence-numbered chunks on the node's newest open
        descriptor (or conn id `conn`) with the C load generator, as fast as
        the reader takes them or at `rate` a second.  Returns its counts."""
        target = self._data_conn(node, conn)
        target.drain(5.0)
        fd = target.sock.fileno()
        args = ["node", "--fd", str(fd), "--count", str(count), "--size", str(size), "--stream", str(stream)]
        if rate:
            args += ["--rate", str(rate)]
        return self._loadgen(args, wait_dir, wait_bytes, pass_fds=(fd,))

    @staticmethod
    def _loadgen(args: list[str], wait_dir, wait_bytes: int, pass_fds=()) -> dict:
        if wait_dir is not None:
            args += ["--wait-dir", str(wait_dir), "--wait-bytes", str(wait_bytes)]
        out = subprocess.run([str(default_loadgen()), *args], check=True, capture_output=True, text=True,
                             pass_fds=pass_fds, timeout=300).stdout
        fields = dict(item.split("=", 1) for item in out.split())
        return {key: float(value) if key == "seconds" else int(value) for key, value in fields.items()}

    # Nodes -----------------------------------------------------------------------

    def data_conns(self, node: str, alive_only: bool = True) -> list[_Conn]:
        node = plat.node_name(node)
        with self._cond:
            return [c for c in self._conns
                    if c.node == node and c.kind == "data" and (c.alive or not alive_only)]

    def _data_conn(self, node: str, conn: int | None) -> _Conn:
        conns = self.data_conns(node)
        if conn is not None:
            conns = [c for c in conns if c.conn_id == conn]
        if not conns:
            raise RuntimeError(f"no open descriptor of {node}" + (f" with conn {conn}" if conn else ""))
        return conns[-1]

    def send_chunks(self, node: str, items, *, conn: int | None = None) -> int:
        """Queues chunks (bytes) and stream items (Empty, Stall, Gate,
        ReadError, Hangup) on the node's newest open descriptor (or the one
        with conn id `conn`), to be read in order.  Returns the conn id."""
        target = self._data_conn(node, conn)
        target.put(list(items))
        return target.conn_id

    def send_chunk(self, node: str, data: bytes, *, conn: int | None = None) -> int:
        return self.send_chunks(node, [bytes(data)], conn=conn)

    def wait_consumed(self, node: str, *, conn: int | None = None, timeout: float = 5.0):
        """Waits until the daemon has read everything queued on the node."""
        target = self._data_conn(node, conn)
        target.drain(timeout)
        deadline = time.monotonic() + timeout
        while target.unsent_bytes() > 0:
            if time.monotonic() > deadline:
                raise ChipTimeout(f"{node}: daemon did not read the chunks in {timeout}s")
            time.sleep(0.002)

    def pending_dump_waits(self, node: str | None = None) -> list[Event]:
        with self._cond:
            return [c.event for c in self._pending if node is None or c.node == plat.node_name(node)]

    def wait_dump_wait(self, node: str, *, after: int = 0, timeout: float = 5.0) -> Event:
        """Waits until a dump wait is pending on the node (issued at or after
        event position `after`); returns its ioctl event."""
        node = plat.node_name(node)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for c in self._pending:
                    if c.node == node and c.event.seq >= after:
                        return c.event
                left = deadline - time.monotonic()
                if left <= 0:
                    raise ChipTimeout(f"no dump wait pending on {node} within {timeout}s; "
                                      f"events: {self._events[-10:]}")
                self._cond.wait(left)

    def answer_ioctl(self, ev: Event, err: int = 0, out: int | None = None) -> bool:
        """Answers a pending request (by its ioctl event): errno `err`, and
        `out` written through the caller's pointer.  False when the caller
        had already gone."""
        with self._cond:
            conn = next((c for c in self._pending if c.event is ev), None)
            if conn is None:
                return False
            self._pending.remove(conn)
        return self._answer(conn, err, out)

    def dump(self, core_or_node: str, which: int, regions=(), *, stream=None, width: int | None = None,
             chunk: int = DUMP_CHUNK, after: int = 0, timeout: float = 5.0) -> Event:
        """Reports a crash dump: queues the region stream on the data
        connection of the oldest pending dump wait of the core's exception
        node, then ends that wait with dump type `which`.  `regions` are
        bytes or sizes (see dump_stream); `stream` replaces the built stream
        with any list of chunks and stream items.  The header width defaults
        to the one of the core on this chip's model.  Returns the ioctl
        event answered."""
        node = plat.CORE_EXCP_NODE.get(core_or_node) or plat.node_name(core_or_node)
        ev = self.wait_dump_wait(node, after=after, timeout=timeout)
        if stream is None:
            w = width if width is not None else plat.dump_header_width(node, self.model)
            stream = dump_stream(regions, w, chunk)
        self._data_conn(node, ev.conn).put(list(stream))
        if not self.answer_ioctl(ev, 0, which):
            raise RuntimeError(f"the dump wait on {node} was abandoned")
        return ev

    def accept_fail(self, err: str = "ECONNABORTED", once: bool = False):
        """Makes the daemon's accept() drop each new connection and fail with
        `err` (a name such as 'EMFILE'), until accept_ok()."""
        (self.run_dir / "ctl" / "accept_fail").write_text(err + (" once" if once else ""))

    def hold_reads(self, hold: bool = True):
        """While held, a node read of the daemon ignores signals, as a driver
        read that is not interruptible does: it returns only with data."""
        path = self.run_dir / "ctl" / "hold_reads"
        if hold:
            path.write_text("")
        else:
            path.unlink(missing_ok=True)

    def step_clock(self, seconds: float, *, notify: bool = True) -> bool:
        """Steps the wall clock the daemon sees by `seconds` (negative: back)
        from now on, as a time service setting the clock would.  With
        `notify`, the daemon's timer armed to be cancelled by a setting of
        the clock fires (sim/preload.c); False when no program has one."""
        self.clock_offset_ns += round(seconds * 1_000_000_000)
        seq = struct.unpack_from("@Q", self._clock, 0)[0]
        # Odd while the offset is rewritten: a reading in between retries.
        struct.pack_into("@Q", self._clock, 0, seq + 1)
        struct.pack_into("@q", self._clock, 8, self.clock_offset_ns)
        struct.pack_into("@Q", self._clock, 0, seq + 2)
        if not notify:
            return True
        try:
            fd = os.open(self._clock_step_path, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            if e.errno == errno_mod.ENXIO:  # nobody has the timer open
                return False
            raise
        try:
            os.write(fd, b"s")
        finally:
            os.close(fd)
        return True

    def wall_time(self) -> float:
        """The wall-clock time the daemon sees now (seconds since the epoch)."""
        return time.time() + self.clock_offset_ns / 1e9

    def accept_ok(self):
        try:
            (self.run_dir / "ctl" / "accept_fail").unlink()
        except FileNotFoundError:
            pass

    # Event loop -----------------------------------------------------------------

    def _loop(self):
        while not self._closed:
            try:
                ready = self._selector.select()
            except OSError as exc:
                self.errors.append(exc)
                return
            for key, _ in ready:
                what, obj = key.data
                try:
                    if what == "wake":
                        return
                    if what == "netlink":
                        self._on_netlink()
                    elif what == "listen":
                        self._on_accept(obj, key.fileobj)
                    else:
                        self._on_conn(obj)
                except Exception as exc:  # a broken peer must not stop the chip
                    self.errors.append(exc)

    def _on_netlink(self):
        try:
            data, addr = self._nl_rx.recvfrom(1 << 17, socket.MSG_DONTWAIT)
        except BlockingIOError:
            return
        if self.nl_unix:
            addr = (_nl_unix_port(addr), 0)
        ev = self._record("netlink", data=data, port=addr[0])
        if ev.nl.is_hello:
            self.daemon_port = addr[0]

    def _on_accept(self, node: str, lsock: socket.socket):
        try:
            sock, _ = lsock.accept()
        except BlockingIOError:
            return
        sock.setblocking(True)
        conn = _Conn(self, node, sock)
        with self._cond:
            self._conns.append(conn)
        self._selector.register(sock, selectors.EVENT_READ, ("conn", conn))

    def _on_conn(self, conn: _Conn):
        try:
            data = conn.sock.recv(1 << 17, socket.MSG_DONTWAIT)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            self._on_eof(conn)
        elif conn.kind is None:
            self._on_first(conn, data)
        elif conn.kind == "data" and len(data) >= _TAG.size:
            tag, value = _TAG.unpack_from(data)
            if tag == b"W":
                self._record("write", node=conn.node, conn=conn.conn_id, data=data[_TAG.size:])
            elif tag == b"X":
                self._record("write_refused", node=conn.node, conn=conn.conn_id, arg=value)

    def _on_first(self, conn: _Conn, data: bytes):
        if data.startswith(b"OAMOPEN\0") and len(data) >= _OPEN.size:
            _, conn.conn_id, conn.flags, pid, tid, _ = _OPEN.unpack_from(data)
            # The answer must be the first message on the connection: hold
            # the lock until it is out, so no chunk queued by a test that saw
            # the open event can overtake it.
            with self._cond:
                err = self._take(self._open_rules.get(conn.node))
                conn.kind = "data" if err == 0 else "refused"
                self._record("open", node=conn.node, conn=conn.conn_id, flags=conn.flags, errno=err,
                             pid=pid, tid=tid)
                try:
                    conn.sock.send(_OPEN_ANSWER.pack(err, 0))
                except OSError:
                    # The opener's process ended while it waited (a daemon
                    # stopped during its start-up): the end of the
                    # connection is recorded as a close like any other.
                    pass
                finally:
                    if err == 0:
                        conn.start_sender()
        elif data.startswith(b"OAMIOCT\0") and len(data) >= _IOCTL.size:
            _, conn_id, request, arg, has_in, in_value, pid, tid = _IOCTL.unpack_from(data)
            conn.kind = "ioctl"
            conn.conn_id = conn_id
            conn.request = request
            with self._cond:
                conn.event = self._record("ioctl", node=conn.node, conn=conn_id, request=request, arg=arg,
                                          in_value=in_value if has_in else None, pid=pid, tid=tid)
                err = 0
                for req, rule in self._ioctl_rules:
                    if req == request and (rule.node is None or rule.node == conn.node):
                        err = self._take(rule)
                        if err:
                            break
                if err == 0 and request not in plat.NODE_REQUESTS[conn.node]:
                    err = self.unknown_ioctl_errno
                if err == 0 and request in plat.DUMP_WAIT_REQUEST.values():
                    self._pending.append(conn)
                    self._cond.notify_all()
                    return
            self._answer(conn, err, None)
        else:
            conn.kind = "bad"
            self._record("protocol_error", node=conn.node, data=data)

    def _answer(self, conn: _Conn, err: int, out: int | None) -> bool:
        with self._cond:
            if conn.answered or not conn.alive:
                return False
            conn.answered = True
            self._record("ioctl_done", node=conn.node, conn=conn.conn_id, request=conn.request, errno=err,
                         out=out)
        try:
            conn.sock.send(_IOCTL_ANSWER.pack(err, 0 if out is None else 1, 0 if out is None else out, 0))
        except OSError:
            return False
        return True

    def _on_eof(self, conn: _Conn):
        try:
            self._selector.unregister(conn.sock)
        except (KeyError, ValueError):
            pass
        with self._cond:
            was_alive = conn.alive
            conn.alive = False
            if conn in self._pending:
                self._pending.remove(conn)
                self._record("ioctl_cancel", node=conn.node, conn=conn.conn_id, request=conn.request)
            elif conn.kind == "data" and was_alive and not conn.hung_up:
                self._record("close", node=conn.node, conn=conn.conn_id)
            self._conns.remove(conn)
        conn.stop_sender()
        conn.sock.close()

    def _hangup(self, conn: _Conn):
        """Closes a data connection from the chip's side (sender thread)."""
        conn.hung_up = True
        self._record("chip_hangup", node=conn.node, conn=conn.conn_id)
        try:
            conn.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

