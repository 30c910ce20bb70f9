"""The Debian package (scripts/package): what it holds, lintian's verdict,
and the daemon run from where the package puts it.

The package is looked for beside the daemon under test (OAM_BIN's folder,
where scripts/cross-test packages its build) or taken from OAM_DEB; the
tests are skipped when none was built."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import oamsim
from startup_support import messages, positions, wait_started

# Everything the package may install lies below these folders.
ALLOWED_DIRS = ("./usr/sbin/", "./usr/bin/", "./usr/share/doc/oam/", "./lib/systemd/system/",
                "./usr/lib/sysctl.d/",
                "./usr/share/lintian/overrides/") + tuple(f"./usr/share/man/man{n}/" for n in range(1, 9))
REQUIRED = {
    "./usr/sbin/oam": "-rwxr-xr-x",
    "./lib/systemd/system/oam.service": "-rw-r--r--",
    "./usr/lib/sysctl.d/60-oam.conf": "-rw-r--r--",
    "./usr/share/man/man8/oam.8.gz": "-rw-r--r--",
    "./usr/share/doc/oam/copyright": "-rw-r--r--",
    "./usr/share/doc/oam/changelog.gz": "-rw-r--r--",
}


def built_package() -> Path | None:
    if os.environ.get("OAM_DEB"):
        return Path(os.environ["OAM_DEB"])
    debs = sorted(oamsim.default_binary().resolve().parent.glob("oam_*.deb"))
    return debs[-1] if debs else None


@pytest.fixture(scope="module")
def package(tmp_path_factory) -> tuple[Path, Path]:
    """The package and the throw-away root it was unpacked into."""
    deb = built_package()
    if deb is None or not deb.exists():
        pytest.skip("no package built beside the daemon under test (scripts/package, or OAM_DEB)")
    root = tmp_path_factory.mktemp("pkgroot")
    subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
    return deb, root


def contents(deb: Path) -> dict[str, tuple[str, str]]:
    """Path -> (mode text, owner) of every entry of the package."""
    out = subprocess.run(["dpkg-deb", "-c", str(deb)], check=True, capture_output=True, text=True).stdout
    entries = {}
    for row in out.splitlines():
        mode, owner, _size, _date, _time, path = row.split(None, 5)
        entries[path] = (mode, owner)
    return entries


def test_package_holds_the_daemon_unit_and_man_pages_and_passes_lintian(package):
    deb, root = package
    entries = contents(deb)
    for path, mode in REQUIRED.items():
        assert entries.get(path) == (mode, "root/root"), (path, entries.get(path))
    files = [p for p, (mode, _) in entries.items() if not mode.startswith("d")]
    assert all(p.startswith(ALLOWED_DIRS) for p in files), files
    assert all(owner == "root/root" for _, owner in entries.values()), entries
    # Every installed program comes with its man page.
    for prog in (p for p in files if p.startswith(("./usr/bin/", "./usr/sbin/"))):
        name = prog.rsplit("/", 1)[1]
        assert any(re.fullmatch(rf"\./usr/share/man/man\d/{re.escape(name)}\.\d\.gz", p) for p in files), prog

    unit = (root / "lib/systemd/system/oam.service").read_text()
    assert re.search(r"^ExecStart=/usr/sbin/oam$", unit, re.M), unit
    depends = subprocess.run(["dpkg-deb", "-f", str(deb), "Depends"], check=True, capture_output=True,
                             text=True).stdout
    assert {"libc6", "libstdc++6", "zlib1g", "libzstd1"} <= set(re.findall(r"([\w.+-]+)(?: \([^)]*\))?", depends)), depends

    if shutil.which("lintian") is None:
        pytest.skip("lintian not installed (scripts/install-deps package)")
    lint = subprocess.run(["lintian", "--fail-on", "error,warning", str(deb)], capture_output=True, text=True)
    assert lint.returncode == 0, lint.stdout + lint.stderr


def test_installed_daemon_starts_and_ends_with_status_0_on_sigterm(package, chip):
    _, root = package
    oam = chip.start_daemon(binary=root / "usr/sbin/oam")
    wait_started(oam)
    chip.wait_hello()
    assert oam.terminate()
    assert oam.wait() == 0
    positions(messages(oam), ["main closed!", "main closed finished!"])
