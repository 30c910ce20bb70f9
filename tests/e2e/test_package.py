"""The Debian package (scripts/package): what it holds, lintian's verdict,
the daemon run from where the package puts it, and the documents shipped
with it (the man pages render cleanly; README and man pages quote shipped
files only word for word).

The package is looked for beside the daemon under test (OAM_BIN's folder,
where scripts/cross-test packages its build) or taken from OAM_DEB; the
tests of the package are skipped when none was built.  Installing,
starting, removing and purging it is scripts/boot-test's part."""

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
                "./usr/lib/sysctl.d/", "./usr/lib/tmpfiles.d/",
                "./usr/share/lintian/overrides/") + tuple(f"./usr/share/man/man{n}/" for n in range(1, 9))
REQUIRED = {
    "./usr/sbin/oam": "-rwxr-xr-x",
    "./lib/systemd/system/oam.service": "-rw-r--r--",
    "./usr/lib/sysctl.d/60-oam.conf": "-rw-r--r--",
    "./usr/lib/tmpfiles.d/oam.conf": "-rw-r--r--",
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
    lint = subprocess.run(["lintian", "--fail-on", "error,warning", "--display-info", str(deb)],
                          capture_output=True, text=True)
    assert lint.returncode == 0, lint.stdout + lint.stderr
    # Both programs are built with checked calls and bound at start.
    assert not re.findall(r"^\w: oam: hardening-.*$", lint.stdout, re.M), lint.stdout


def test_log_folders_entry_makes_what_is_missing_and_leaves_the_platforms(package, tmp_path):
    """systemd-tmpfiles on a root where the platform made /vendor/log its
    own way: that stays, memdump/ is made as the daemon makes its folders."""
    _, root = package
    if shutil.which("systemd-tmpfiles") is None:
        pytest.skip("no systemd-tmpfiles")
    device = tmp_path / "device"
    (device / "vendor/log").mkdir(parents=True)
    (device / "vendor/log").chmod(0o750)
    os.chown(device / "vendor/log", 1000, 1000)
    subprocess.run(["systemd-tmpfiles", f"--root={device}", "--create",
                    str(root / "usr/lib/tmpfiles.d/oam.conf")], check=True)
    made = {d: (f"{os.stat(device / d).st_mode & 0o7777:o}", os.stat(device / d).st_uid)
            for d in ("vendor/log", "vendor/log/memdump")}
    assert made == {"vendor/log": ("750", 1000), "vendor/log/memdump": ("775", 0)}, made


def test_installed_daemon_starts_and_ends_with_status_0_on_sigterm(package, chip):
    _, root = package
    oam = chip.start_daemon(binary=root / "usr/sbin/oam")
    wait_started(oam)
    chip.wait_hello()
    assert oam.terminate()
    assert oam.wait() == 0
    positions(messages(oam), ["main closed!", "main closed finished!"])


REPO = Path(__file__).resolve().parents[2]
MAN_PAGES = sorted(REPO.glob("man/*.[1-8]"))
# What the package installs as text, which documents may quote.
SHIPPED_TEXT = sorted(p for p in (REPO / "lib").rglob("*") if p.is_file()) + \
    [REPO / "packaging" / name for name in ("postinst", "prerm", "postrm")]
# Signs of quoted text lost in the rendered page: an empty pair of quotes or
# brackets, or a sentence mark with nothing before it.
LOST_TEXT = re.compile(r"""""|“”|‘’|\(\s*\)|(?:^|\s)[.,;:](?=\s|$)""", re.M)


@pytest.mark.parametrize("page", MAN_PAGES, ids=lambda p: p.name)
def test_man_page_renders_without_warnings_or_lost_text(page):
    if shutil.which("groff") is None:
        pytest.skip("groff not installed (scripts/install-deps)")
    check = subprocess.run(["groff", "-man", "-ww", "-z", "-Tutf8", str(page)], capture_output=True, text=True)
    assert check.returncode == 0 and check.stderr == "", check.stderr
    text = subprocess.run(["groff", "-man", "-Tutf8", "-P-cbou", "-rLL=80n", str(page)], check=True,
                          capture_output=True, text=True, env=dict(os.environ, LC_ALL="C.UTF-8")).stdout
    lost = [line for line in text.splitlines() if LOST_TEXT.search(line)]
    # A text line that begins with a blank (behind a font change too)
    # breaks the line there, leaving its start cut off from its sentence.
    filled = re.sub(r"^\.nf\n.*?^\.fi\n", "", page.read_text(), flags=re.M | re.S)
    lost += [line for line in filled.splitlines() if re.match(r"(?:\\f[BIRP])*[ \t]", line)]
    assert not lost, lost


def doc_blocks() -> list[tuple[str, list[str]]]:
    """The literal blocks of README (fenced) and of the man pages (.nf to
    .fi), with the man escapes that stand for plain characters undone."""
    blocks = [("README.md", b.splitlines())
              for b in re.findall(r"^```[^\n]*\n(.*?)^```", (REPO / "README.md").read_text(), re.M | re.S)]
    for page in MAN_PAGES:
        for b in re.findall(r"^\.nf\n(.*?)^\.fi", page.read_text(), re.M | re.S):
            plain = b.replace("\\-", "-").replace("\\e", "\\").replace("\\&", "")
            blocks.append((page.name, plain.splitlines()))
    return blocks


def test_copies_of_shipped_files_in_the_documents_are_word_for_word():
    """A block of README or a man page made mostly of a shipped file's lines
    is a run of that file's lines as they are: no copy drifts from the file."""
    shipped = {p.relative_to(REPO): p.read_text().splitlines() for p in SHIPPED_TEXT}
    drifted = []
    for doc, lines in doc_blocks():
        text = [line for line in lines if line.strip()]
        for path, file_lines in shipped.items():
            present = set(line for line in file_lines if line.strip())
            if len(text) < 3 or 2 * sum(line in present for line in text) < len(text):
                continue
            runs = ("\n".join(file_lines[i:i + len(lines)]) for i in range(len(file_lines)))
            if "\n".join(lines) not in runs:
                drifted.append((doc, str(path), [line for line in text if line not in present]))
    assert not drifted, drifted
