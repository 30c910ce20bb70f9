"""The throw-away root every run of the daemon happens in.

The daemon works on fixed absolute paths (/vendor, /data/vendor, /sys,
/proc/device-tree, /dev/qv*).  Each run gets a bubblewrap root in which those
paths are directories of a per-run folder on the host, so nothing on the
machine itself is ever created or changed.  The network and pid namespaces
are shared with the host on purpose: the chip reaches the daemon over
netlink and TCP, and the daemon binds netlink with its real pid.
"""

from __future__ import annotations

import json
import os
import re
import select
import shlex
import shutil
import signal
import subprocess
import threading
import time
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]

# Host directories bound into the sandbox, by sandbox path.
SANDBOX_DIRS = ("vendor", "data", "sys", "proc", "run")
# procfs entries that programs (and sanitizers) expect under /proc; the real
# procfs sits at /.procfs because /proc belongs to the chip's device tree.
PROC_LINKS = ("self", "thread-self", "sys", "meminfo", "cpuinfo", "stat", "mounts", "filesystems",
              "uptime", "loadavg", "version")
PROCFS = "/.procfs"
CTL_DIR = "/oamsim/ctl"

ASAN_OPTIONS = "verify_asan_link_order=0:abort_on_error=0:print_summary=1"
UBSAN_OPTIONS = "print_stacktrace=1:halt_on_error=1"
TSAN_OPTIONS = "second_deadlock_stack=1:history_size=4"


def default_binary() -> Path:
    return Path(os.environ.get("OAM_BIN") or REPO_ROOT / "build" / "oam")


def default_preload() -> Path:
    return Path(os.environ.get("OAM_PRELOAD") or REPO_ROOT / "build" / "oamsim_preload.so")


def default_loadgen() -> Path:
    """The load generator, built beside the preload library."""
    return Path(os.environ.get("OAM_LOADGEN") or default_preload().parent / "oamsim_loadgen")


def exec_prefix() -> list[str]:
    """The command that runs a program built for another processor on this
    machine (OAM_EXEC_PREFIX, for example "qemu-aarch64"); empty for a
    native build.  The emulator must take "-E NAME=value" for the program's
    environment, as qemu-user does."""
    return shlex.split(os.environ.get("OAM_EXEC_PREFIX", ""))


def target_cc() -> str:
    """The C compiler for programs and libraries that run beside the daemon
    (OAM_TARGET_CC, for example "aarch64-linux-gnu-gcc"; default gcc)."""
    return os.environ.get("OAM_TARGET_CC") or "gcc"


def _preload_var(preload) -> str | None:
    if not preload:
        return None
    paths = preload if isinstance(preload, (list, tuple)) else [preload]
    return "LD_PRELOAD=" + ":".join(str(p) for p in paths)


def _program_tail(argv: list[str], preload, target: bool) -> list[str]:
    """A program's command behind an env, with the preload.  A program built
    for the device (`target`) runs through the emulator, which passes the
    preload on to it and never loads it itself."""
    var = _preload_var(preload)
    prefix = exec_prefix() if target else []
    if prefix:
        return prefix + (["-E", var] if var else []) + list(argv)
    return ([var] if var else []) + list(argv)


def target_command(argv: list[str], preload=None) -> list[str]:
    """A command that runs a program built for the device (argv[0]) under
    the preload libraries given (a path or a list), for tests that put
    another program in front of it."""
    tail = _program_tail(argv, preload, True)
    return tail if exec_prefix() else ["/usr/bin/env", *tail]


def target_executable(program: str) -> str:
    """What /proc/<pid>/exe shows once the program itself runs."""
    prefix = exec_prefix()
    if prefix:
        return os.path.realpath(shutil.which(prefix[0]) or prefix[0])
    return os.path.realpath(program)


def _host_links() -> list[str]:
    """bwrap arguments that reproduce the host's /bin, /lib... layout."""
    args = []
    for name in ("bin", "sbin", "lib", "lib32", "lib64", "libx32"):
        path = Path("/") / name
        if path.is_symlink():
            args += ["--symlink", os.readlink(path), f"/{name}"]
        elif path.is_dir():
            args += ["--ro-bind", str(path), f"/{name}"]
    return args


def layout_root(run_dir: Path) -> Path:
    """Creates the host side of the sandbox's /vendor, /data, /sys, /proc, /run and
    the control directory; returns the folder that stands for '/'."""
    root = run_dir / "root"
    for name in SANDBOX_DIRS:
        (root / name).mkdir(parents=True, exist_ok=True)
    for name in PROC_LINKS:
        link = root / "proc" / name
        if not link.is_symlink():
            link.symlink_to(f"{PROCFS}/{name}")
    (run_dir / "ctl").mkdir(exist_ok=True)
    return root


class Sandbox:
    """Builds the bwrap command for one per-run folder.

    `nodes` maps a /dev path in the sandbox to the host socket file bound
    onto it; `ro_paths` are host paths made visible read-only at the same
    place (the binary under test, the preload library); `localtime`, when
    set, is a host file bound over /etc/localtime (the device's zone)."""

    def __init__(self, run_dir: Path, nodes: dict[str, Path] | None = None,
                 ro_paths: list[Path] | None = None):
        self.run_dir = Path(run_dir)
        self.root = layout_root(self.run_dir)
        self.nodes = dict(nodes or {})
        self.ro_paths = list(ro_paths or [])
        self.log_tmpfs: int | None = None
        self.run_readonly = False
        self.localtime: Path | None = None

    def host_path(self, path: str) -> Path:
        """Host location of a sandbox path under /vendor, /data, /sys, /proc, /run."""
        parts = Path(path).parts
        if len(parts) < 2 or parts[0] != "/" or parts[1] not in SANDBOX_DIRS:
            raise ValueError(f"{path!r} is not under /vendor, /data, /sys, /proc or /run")
        return self.root.joinpath(*parts[1:])

    def command(self, argv: list[str], env: dict[str, str], preload,
                info_fd: int, stdin_closed: bool = False, target: bool = False) -> list[str]:
        """`preload`: a path or a list of paths; `target`: argv[0] is built
        for the device and runs through the emulator, if any."""
        args = ["bwrap", "--die-with-parent", "--unshare-ipc", "--unshare-uts",
                "--ro-bind", "/usr", "/usr", "--ro-bind", "/etc", "/etc"]
        args += _host_links()
        args += ["--dev", "/dev", "--tmpfs", "/tmp", "--proc", PROCFS]
        for name in SANDBOX_DIRS:
            ro = name == "run" and self.run_readonly
            args += ["--ro-bind" if ro else "--bind", str(self.root / name), f"/{name}"]
        if self.log_tmpfs is not None:
            args += ["--size", str(self.log_tmpfs), "--tmpfs", "/vendor/log"]
        args += ["--ro-bind", str(self.run_dir / "ctl"), CTL_DIR]
        if self.localtime is not None:
            # Over the zone file itself: bwrap cannot follow the host's
            # absolute /etc/localtime link while it sets the root up.
            args += ["--bind", str(self.localtime), os.path.realpath("/etc/localtime")]
        for dev, sock in sorted(self.nodes.items()):
            args += ["--bind", str(sock), dev]
        seen = set()
        for path in self.ro_paths:
            path = Path(path).resolve()
            if path not in seen and path.exists():
                seen.add(path)
                args += ["--ro-bind", str(path), str(path)]
        args += ["--chdir", "/", "--clearenv", "--info-fd", str(info_fd)]
        for key, value in sorted(env.items()):
            args += ["--setenv", key, value]
        # A shell starts the program: it gives the program's own /proc/<pid>
        # (LeakSanitizer looks there, and /proc here is the chip's folder),
        # closes standard input when asked, and env puts the preload in
        # place.  Both exec, so the pid bwrap reports is the program's, and
        # the preload reaches the program only, never bwrap or the shell.
        script = 'ln -sfn %s/$$ /proc/$$ 2>/dev/null; exec %s/usr/bin/env "$@"' % (
            PROCFS, "0<&- " if stdin_closed else "")
        inner = ["/bin/sh", "-c", script, "oamsim"]
        return args + ["--"] + inner + _program_tail(argv, preload, target)


def _proc_start(pid: int, live_only: bool = False) -> int | None:
    """Start time of a process (clock ticks since boot), None if it is gone."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    fields = stat[stat.rindex(")") + 2:].split()
    if live_only and fields[0] in ("Z", "X"):
        return None
    return int(fields[19])


class _Capture:
    """Drains one pipe of the sandboxed process into a file and a buffer that
    waiters are told about as soon as bytes arrive."""

    def __init__(self, pipe, path: Path, cond: threading.Condition):
        self.path = path
        self.data = bytearray()
        self.closed = False
        self._pipe = pipe
        self._cond = cond
        self._file = open(path, "wb")
        self.thread = threading.Thread(target=self._run, name=f"capture-{path.name}", daemon=True)
        self.thread.start()

    def _run(self):
        fd = self._pipe.fileno()
        try:
            while True:
                chunk = os.read(fd, 65536)
                if not chunk:
                    break
                self._file.write(chunk)
                self._file.flush()
                with self._cond:
                    self.data += chunk
                    self._cond.notify_all()
        finally:
            self._file.close()
            self._pipe.close()
            with self._cond:
                self.closed = True
                self._cond.notify_all()

    def text(self) -> str:
        with self._cond:
            return self.data.decode("utf-8", "replace")


class DaemonProcess:
    """A program running in the sandbox: the bwrap process and, inside it,
    the program itself (`pid`, a real host pid)."""

    def __init__(self, sandbox: Sandbox, argv: list[str], env: dict[str, str],
                 preload, name: str = "oam", stdin_closed: bool = False,
                 start_timeout: float = 10.0, target: bool = False, vtl_port: int = 3333):
        self.argv = list(argv)
        # Where the tool reaches the program's port 3333 from outside.
        self.vtl_port = vtl_port
        self.name = name
        self.returncode: int | None = None
        self._cond = threading.Condition()
        self._exit_lock = threading.Lock()
        out_dir = sandbox.run_dir
        self.stdout_path = out_dir / f"{name}.stdout"
        self.stderr_path = out_dir / f"{name}.stderr"
        info_r, info_w = os.pipe()
        try:
            cmd = sandbox.command(argv, env, preload, info_w, stdin_closed, target)
            (out_dir / f"{name}.cmd").write_text(json.dumps(cmd, indent=1))
            self.bwrap = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE, pass_fds=(info_w,),
                                          start_new_session=True)
        except BaseException:
            os.close(info_r)
            os.close(info_w)
            raise
        os.close(info_w)
        self._out = _Capture(self.bwrap.stdout, self.stdout_path, self._cond)
        self._err = _Capture(self.bwrap.stderr, self.stderr_path, self._cond)
        try:
            self.pid = self._read_child_pid(info_r, start_timeout)
            self._starttime = _proc_start(self.pid)
        finally:
            os.close(info_r)
        self._wait_exec(target_executable(argv[0]) if target else os.path.realpath(argv[0]), start_timeout)
        self.started = time.monotonic()

    def _wait_exec(self, exe: str, timeout: float):
        """Waits until `pid` runs the program itself and no longer the shell
        that starts it, so that a signal sent at once reaches the program."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.bwrap.poll() is None:
            try:
                if os.readlink(f"/proc/{self.pid}/exe") == exe:
                    return
            except OSError:
                return
            time.sleep(0.001)

    def _read_child_pid(self, fd: int, timeout: float) -> int:
        deadline = time.monotonic() + timeout
        text = b""
        while True:
            # Read the whole record: closing the pipe while bwrap still
            # writes would end bwrap with SIGPIPE and strand the program.
            m = re.search(rb'"child-pid"\s*:\s*(\d+)', text)
            if m and b"}" in text[m.end():]:
                return int(m.group(1))
            left = deadline - time.monotonic()
            if left <= 0:
                self._kill_bwrap()
                raise TimeoutError(f"bwrap reported no child pid; stderr: {self._err.text()!r}")
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 4096)
                if not chunk and m:
                    return int(m.group(1))
                if not chunk:
                    rc = self.bwrap.wait(timeout=5)
                    raise RuntimeError(f"sandbox failed to start (status {rc}): "
                                       f"{self._wait_text(self._err)!r}")
                text += chunk

    def _wait_text(self, cap: _Capture, timeout: float = 2.0) -> str:
        cap.thread.join(timeout)
        return cap.text()

    # Output -------------------------------------------------------------

    @property
    def stdout(self) -> str:
        return self._out.text()

    @property
    def stderr(self) -> str:
        return self._err.text()

    def wait_stdout(self, pattern, timeout: float = 5.0, start: int = 0):
        """Waits until standard output holds `pattern` (a plain text, or a
        compiled regular expression, matched against whole lines only) at or
        after offset `start`.
        Returns the match object (regex) or the end offset of the text, so a
        further wait can start behind it.  Raises TimeoutError."""
        return self._wait(self._out, pattern, timeout, start)

    def wait_stderr(self, pattern, timeout: float = 5.0, start: int = 0):
        return self._wait(self._err, pattern, timeout, start)

    def _wait(self, cap: _Capture, pattern, timeout: float, start: int):
        deadline = time.monotonic() + timeout
        regex = pattern if isinstance(pattern, re.Pattern) else None
        needle = None if regex else (pattern.encode() if isinstance(pattern, str) else bytes(pattern))
        with self._cond:
            while True:
                if regex is not None:
                    # Only whole lines: a writer may hand a line over in pieces.
                    end = cap.data.rfind(b"\n") + 1
                    m = regex.search(cap.data[:end].decode("utf-8", "replace"), start)
                    if m:
                        return m
                else:
                    pos = cap.data.find(needle, start)
                    if pos >= 0:
                        return pos + len(needle)
                if cap.closed:
                    raise TimeoutError(f"{self.name} ended without printing {pattern!r}; "
                                       f"output:\n{cap.data.decode('utf-8', 'replace')[-4000:]}")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"no {pattern!r} within {timeout}s; output:\n"
                                       f"{cap.data.decode('utf-8', 'replace')[-4000:]}")
                self._cond.wait(left)

    def stdout_count(self, text: str) -> int:
        return self.stdout.count(text)

    # Process control ----------------------------------------------------

    def _is_ours(self) -> bool:
        """True while `pid` is still the process bwrap started, told apart
        from a later process with a reused pid by its start time (its parent
        is no proof: a sandbox whose bwrap died leaves it with another)."""
        start = _proc_start(self.pid, live_only=True)
        return start is not None and start == self._starttime

    @property
    def alive(self) -> bool:
        return self._is_ours()

    def signal(self, sig: int) -> bool:
        """Sends `sig` to the program; False when it is no longer running."""
        if not self._is_ours():
            return False
        try:
            os.kill(self.pid, sig)
        except ProcessLookupError:
            return False
        return True


    def terminate(self) -> bool:
        return self.signal(signal.SIGTERM)

    def kill(self) -> bool:
        return self.signal(signal.SIGKILL)

    def wait(self, timeout: float = 10.0) -> int:
        """Waits for the program to end; returns its exit status (128 + the
        signal number when a signal ended it).  Raises TimeoutError."""
        try:
            rc = self.bwrap.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise TimeoutError(f"{self.name} (pid {self.pid}) still running after {timeout}s") from None
        self._out.thread.join(5)
        self._err.thread.join(5)
        self.returncode = rc if rc >= 0 else 128 - rc
        return self.returncode

    def _kill_bwrap(self):
        if self.bwrap.poll() is None:
            try:
                self.bwrap.kill()
            except ProcessLookupError:
                pass
            try:
                self.bwrap.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass

    def stop(self, timeout: float = 5.0):
        """Ends the program and its sandbox whatever state they are in."""
        with self._exit_lock:
            self.kill()
            if self.bwrap.poll() is None:
                try:
                    self.bwrap.wait(timeout=timeout)
                except subprocess.TimeoutExpired:
                    self._kill_bwrap()
            if self.returncode is None and self.bwrap.returncode is not None:
                rc = self.bwrap.returncode
                self.returncode = rc if rc >= 0 else 128 - rc
            self._out.thread.join(2)
            self._err.thread.join(2)

