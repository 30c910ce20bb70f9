"""A real file system for the sandbox's /vendor/log that can lose power.

An ext4 image file over a loop device, mounted on the host folder that the
sandbox binds as /vendor/log.  `cut()` shuts the file system down the way
file-system test suites simulate a power cut: no journal flush, so every
write that was not yet synced is gone once it is mounted again.  Needs root,
a free loop device, losetup, mkfs.ext4 and xfs_io.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import time
from pathlib import Path

TOOLS = ("losetup", "mkfs.ext4", "xfs_io", "mount", "umount")


def unavailable() -> str | None:
    """Why a loop file system cannot be made here, None when it can."""
    if os.geteuid() != 0:
        return "needs root (loop device, mount, shutdown ioctl)"
    missing = [t for t in TOOLS if not shutil.which(t)]
    if missing:
        return f"missing {', '.join(missing)} (scripts/install-deps)"
    if not os.path.exists("/dev/loop-control"):
        return "no /dev/loop-control: loop devices unavailable"
    return None


def _run(*argv: str) -> str:
    proc = subprocess.run(argv, capture_output=True, text=True, timeout=60)
    if proc.returncode != 0:
        raise OSError(f"{' '.join(argv)}: status {proc.returncode}: {proc.stderr.strip()}")
    return proc.stdout.strip()


class LoopFs:
    """`size` bytes of ext4 in `image`, mounted on `mountpoint`."""

    def __init__(self, image: Path, mountpoint: Path, size: int):
        self.image = Path(image)
        self.mountpoint = Path(mountpoint)
        self.device: str | None = None
        self.mounted = False
        self.cuts = 0
        reason = unavailable()
        if reason:
            raise OSError(reason)
        with open(self.image, "wb") as f:
            f.truncate(size)
        try:
            # The kernel hands each caller a device of its own: parallel
            # runs never share one.
            self.device = _run("losetup", "-f", "--show", str(self.image))
            _run("mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0", self.device)
            self.mountpoint.mkdir(parents=True, exist_ok=True)
            self.mount()
            # Not a folder of the log root: the reader would name it.
            (self.mountpoint / "lost+found").rmdir()
        except BaseException:
            self.close()
            raise

    def mount(self):
        _run("mount", "-t", "ext4", self.device, str(self.mountpoint))
        self.mounted = True

    def cut(self):
        """Power lost: the file system stops here, nothing more reaches
        the device; every later call on it fails with EIO."""
        _run("xfs_io", "-x", "-c", "shutdown", str(self.mountpoint))
        self.cuts += 1

    def remount(self):
        """Power back: unmount what was cut and mount again, which replays
        the journal.  Every process that used the file system must be gone,
        or the old, shut-down mount would live on behind the new one."""
        _run("umount", str(self.mountpoint))
        self.mounted = False
        # A sandbox starting meanwhile (bwrap copies every mount before it
        # drops them) keeps the shut-down file system alive for a moment:
        # mounted again then, it would be that one again, failing with EIO.
        alive = Path("/proc/fs/ext4") / Path(self.device).name
        deadline = time.monotonic() + 10
        while alive.exists():
            if time.monotonic() > deadline:
                raise OSError(f"{self.device}: the cut file system is still held somewhere after 10 s")
            time.sleep(0.01)
        self.mount()

    def close(self) -> list[str]:
        """Unmounts and detaches whatever is still set up; returns the
        errors met (an unmount left lazy, a detach refused)."""
        errors = []
        if self.mounted:
            try:
                _run("umount", str(self.mountpoint))
            except OSError as exc:
                errors.append(str(exc))
                try:
                    _run("umount", "-l", str(self.mountpoint))
                except OSError as exc2:
                    errors.append(str(exc2))
            self.mounted = False
        if self.device:
            try:
                _run("losetup", "-d", self.device)
            except OSError as exc:
                errors.append(str(exc))
            self.device = None
        try:
            self.image.unlink()
        except OSError:
            pass
        return errors
