"""Fixtures of the end-to-end tests: a virtual chip laid out in a per-test
sandbox folder, with the daemon started inside it on demand.

    def test_something(chip):                     # default chip: zr4005, all nodes
        oam = chip.start_daemon(args=["test"])
        chip.wait_hello()
        ...

    @pytest.mark.chip(model="zr4001", ini=INI, nodes=("qvbfgdbg",))
    def test_other(chip): ...

    def test_two(chip_factory):                   # several chips, any settings
        a = chip_factory(model="zr4060")

Everything a test started is ended on teardown, also when the test fails.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO_ROOT / "sim"))

import oamsim  # noqa: E402

# The device's fixed paths that must never appear on the machine running the
# tests; noted before the session so a machine that has them is not blamed.
HOST_FIXED_PATHS = ("/vendor", "/data/vendor", "/sys/zr400x_ps", "/proc/device-tree/zr400x",
                    "/dev/qvbfgdbg", "/dev/qvbt", "/dev/qvmeoam", "/dev/qvwifiexcp", "/dev/qvbfgexcp",
                    "/dev/qvmeexcp")
_HOST_HAD = {path: os.path.lexists(path) for path in HOST_FIXED_PATHS}


# Tests that cannot hold while the daemon runs under an emulator
# (OAM_EXEC_PREFIX), by name, with the reason.
EMULATION_SKIPS = {
    "test_a_driver_burst_of_5000_messages_at_line_rate_is_stored_complete_and_in_order":
        "a line-rate burst needs the daemon at native speed and a netlink receive buffer; the emulated "
        "channel is a Unix datagram socket whose queue holds a fixed number of messages",
}


def pytest_configure(config):
    config.addinivalue_line("markers", "chip(**settings): settings of the `chip` fixture "
                            "(see oamsim.VirtualChip)")


def pytest_collection_modifyitems(config, items):
    if not oamsim.exec_prefix():
        return
    for item in items:
        reason = EMULATION_SKIPS.get(item.originalname)
        if reason:
            item.add_marker(pytest.mark.skip(reason=f"under emulation: {reason}"))


@pytest.fixture
def chip_factory(tmp_path):
    """Makes started virtual chips, each in a folder of its own; all of them
    (and every process started in them) are closed on teardown."""
    chips: list[oamsim.VirtualChip] = []

    def make(**settings) -> oamsim.VirtualChip:
        run_dir = tmp_path / f"chip{len(chips)}"
        c = oamsim.VirtualChip(run_dir, **settings)
        chips.append(c)
        return c.start()

    yield make
    for c in reversed(chips):
        c.close()
    errors = [e for c in chips for e in c.errors]
    assert not errors, f"virtual chip errors: {errors!r}"
    for path, had in _HOST_HAD.items():
        assert had or not os.path.lexists(path), f"{path} appeared on the host"


@pytest.fixture
def chip(request, chip_factory) -> oamsim.VirtualChip:
    """A started virtual chip; settings from @pytest.mark.chip(...)."""
    marker = request.node.get_closest_marker("chip")
    settings = dict(marker.kwargs) if marker else {}
    return chip_factory(**settings)


@pytest.fixture(scope="session")
def probe_preload(tmp_path_factory) -> Path:
    """The preload library built from sim/preload.c without sanitizers, for
    probes that are not sanitized programs themselves (python3)."""
    out = tmp_path_factory.mktemp("preload") / "oamsim_preload.so"
    subprocess.run(["gcc", "-O1", "-g", "-Wall", "-Wextra", "-Werror", "-fPIC", "-shared", "-o", str(out),
                    str(REPO_ROOT / "sim" / "preload.c"), "-ldl", "-lpthread"], check=True)
    return out


@pytest.fixture(scope="session")
def fail_shim(tmp_path_factory) -> Path:
    """tests/e2e/fail_shim.c built for the device: makes a chosen start-up
    step fail (see startup_support.start_with_shim)."""
    cc = oamsim.target_cc()
    if shutil.which(cc) is None:
        pytest.skip(f"no C compiler {cc} to build the failure shim")
    out = tmp_path_factory.mktemp("failshim") / "fail_shim.so"
    subprocess.run([cc, "-O1", "-Wall", "-Wextra", "-Werror", "-fPIC", "-shared", "-o", str(out),
                    str(REPO_ROOT / "tests" / "e2e" / "fail_shim.c"), "-ldl"], check=True)
    return out
