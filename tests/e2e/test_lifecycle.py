"""The daemon as a process: its run modes, how start-up fails, and its two
ways of ending (SIGTERM, and the orderly stop after a failed accept)."""

from __future__ import annotations

import errno
import os
import re
import socket
import threading
import time
from pathlib import Path

import pytest

import oamsim
from startup_support import (ALL_LOGS_ON, DFR_INI, connect_tool, messages, positions, records, start_with_shim,
                             tcp_listen_ports, wait_message, wait_records, wait_started)

PROBE_GONE = re.compile(r"thread\(ID:0x[0-9a-f]+\) is inexistent")
INI_DFR = "[HOST_PLAT]\n" + DFR_INI


def fail_next_accept(chip, oam):
    """Makes the tool loop's accept fail, which starts the orderly stop."""
    chip.accept_fail("EMFILE")
    with socket.create_connection(("127.0.0.1", oam.vtl_port), timeout=5):
        wait_message(oam, "enter oam vexa main() exit!")


class WifiBurst(threading.Thread):
    """Sends Wi-Fi log messages back to back until stopped or the daemon's
    port is gone."""

    def __init__(self, chip, payload: bytes):
        super().__init__(daemon=True)
        self.chip, self.payload = chip, payload
        self.sent = 0
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            try:
                self.chip.send_wifi_log(self.payload)
            except OSError:
                return
            self.sent += 1
            if self.sent % 64 == 0:
                time.sleep(0.001)  # let the chip's own threads have the interpreter

    def stop(self):
        self.stopping.set()
        self.join(15)


# Run modes -------------------------------------------------------------------

@pytest.mark.parametrize("args, mode", [
    ([], "normal"),
    (["other", "test"], "normal"),   # only the first argument counts
    (["TEST"], "normal"),
    (["test1"], "normal"),
    (["test"], "test"),
    (["wvt"], "wvt"),
], ids=["no-argument", "test-second", "TEST", "test1", "test", "wvt"])
def test_mode_option_picks_nodes_port_and_commands_and_sigterm_ends_any_mode(chip_factory, args, mode):
    chip = chip_factory(model="zr4005", ini=INI_DFR)
    oam = chip.start_daemon(args=args)
    wait_started(oam)
    chip.wait_hello()

    bfg_node = "qvbt" if mode == "wvt" else "qvbfgdbg"
    opens = {ev.node: ev for ev in chip.events("open") if ev.node in ("qvbfgdbg", "qvbt", "qvmeoam")}
    assert set(opens) == {bfg_node, "qvmeoam"}
    assert all(ev.errno == 0 for ev in opens.values())
    assert opens[bfg_node].mode == ("r" if mode == "normal" else "rw")
    assert opens["qvmeoam"].mode == ("rw" if mode == "test" else "r")

    sent = [(ev.request, ev.arg) for ev in chip.events("ioctl", bfg_node)]
    if mode == "wvt":
        assert sent == []
        positions(messages(oam), ["node is not open, bfgx cali fail", "node is not open"])
    else:
        assert sent == [(oamsim.BFGX_CALI_IOCTL, 0), (oamsim.DFR_ENABLE_IOCTL, 1),
                        (oamsim.DFR_BEAT_TIMER_RESET_IOCTL, 0)]
    assert tcp_listen_ports(oam.pid) == ({oam.vtl_port} if mode == "test" else set())
    if mode == "test":
        wait_message(oam, "accept is start")

    mark = chip.mark()
    assert oam.terminate()
    assert oam.wait() == 0
    msgs = messages(oam)
    positions(msgs, ["main closed!", "main closed finished!", "ini module fini func"])
    said_normal = "first argument is neither test nor wvt: taken as normal mode" in msgs
    assert said_normal == (args[:1] not in ([], ["test"], ["wvt"]))
    assert "enter oam vexa main() exit!" not in msgs
    for node in (bfg_node, "qvmeoam"):
        chip.wait_event("close", node, after=mark)


class FifoFeeder(threading.Thread):
    """Serves `text` to every reader of a FIFO until stopped: each INI
    lookup opens the file anew, and each open waits here for a writer."""

    def __init__(self, path: Path, text: bytes):
        super().__init__(daemon=True)
        self.path, self.text = path, text
        self.stopping = threading.Event()
        self.served = 0

    def run(self):
        while not self.stopping.is_set():
            try:
                fd = os.open(self.path, os.O_WRONLY | os.O_NONBLOCK)
            except OSError as exc:   # ENXIO: nobody reading yet
                assert exc.errno == errno.ENXIO, exc
                time.sleep(0.002)
                continue
            try:
                os.write(fd, self.text)
                self.served += 1
            except OSError:
                pass
            finally:
                os.close(fd)

    def stop(self):
        self.stopping.set()
        self.join(5)


def test_sigterm_during_start_up_still_ends_with_status_0(chip_factory):
    chip = chip_factory(model="zr4005", ini_node_raw=oamsim.platform.DEFAULT_INI_PATH.encode())
    fifo = chip.host_path(oamsim.platform.DEFAULT_INI_PATH)
    fifo.parent.mkdir(parents=True, exist_ok=True)
    os.mkfifo(fifo)
    oam = chip.start_daemon()
    # Held in the first INI lookup of the log settings, after the signals
    # were set up: the file cannot be opened until someone writes it.
    wait_message(oam, "---------------in ini_get_log_int_cfg func")
    assert oam.terminate()
    feeder = FifoFeeder(fifo, ("[HOST_PLAT]\n" + ALL_LOGS_ON).encode())
    feeder.start()
    try:
        assert oam.wait() == 0
    finally:
        feeder.stop()
    assert feeder.served >= 1
    positions(messages(oam), ["main closed!", "main closed finished!", "ini module fini func"])


# Failed starts -----------------------------------------------------------------

def test_taken_tool_port_fails_start_before_any_worker(chip):
    with socket.socket() as holder:
        # Not refused for the connections of earlier tests still in TIME_WAIT;
        # a listening socket keeps the port whatever the daemon asks.
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        holder.bind(("0.0.0.0", chip.vtl_port))
        holder.listen(1)
        oam = chip.start_daemon(args=["test"])
        # 255 and not LeakSanitizer's status: the buffers were given back.
        assert oam.wait() == 255
    msgs = messages(oam)
    positions(msgs, [re.compile(r"socket bind failed!;errno:Address already in use"), "vtl socket create fail",
                     "ini module fini func"])
    assert "oam_pthread_create:: entry" not in msgs
    assert not chip.events(), "no hello sent and no node opened"


WORK_BUFFERS = ["puc_buf", "bfg_puc_buf", "uc_buf", "me_puc_buf"]   # in the order they are made


@pytest.mark.parametrize("nth", [1, 2, 3, 4], ids=WORK_BUFFERS)
def test_a_work_buffer_not_made_fails_start_and_gives_back_the_others(chip, fail_shim, nth):
    oam = start_with_shim(chip, fail_shim, {"OAMTEST_MALLOC_FAIL": str(nth)})
    # 255 and not LeakSanitizer's status: the buffers made before were given back.
    assert oam.wait() == 255
    msgs = messages(oam)
    positions(msgs, [f"malloc g_st_global.{WORK_BUFFERS[nth - 1]} failed.len[2048]", "ini module fini func"])
    assert len([m for m in msgs if m.startswith("malloc g_st_global.")]) == 1
    assert not [m for m in msgs if "device_bfg" in m], "no log setting read"
    assert not chip.events()


@pytest.mark.parametrize("case", ["bfg-dir-is-a-file", "configured-dir-missing"])
def test_failing_log_settings_fail_start_and_leave_later_cores_alone(chip_factory, case):
    if case == "bfg-dir-is-a-file":
        chip = chip_factory(files={"/vendor/log/bfg_log": "a file where the directory belongs"})
        first = "Failed to init log system error:-2"
    else:
        chip = chip_factory(ini="[HOST_PLAT]\nlog_path_device_bfg=/data/vendor/nowhere/\n")
        first = "can't open /data/vendor/nowhere/bfg_log_1;errno:No such file or directory"
    oam = chip.start_daemon()
    assert oam.wait() == 255
    msgs = messages(oam)
    positions(msgs, [first, "init bfg log failed!!!", "ini module fini func"])
    # The Wi-Fi and me settings were never read, nor the chip model asked.
    assert not [m for m in msgs if "device_wifi" in m or "device_me" in m or "subchip_name" in m]
    assert not chip.events()
    assert not chip.exists("/data/vendor/nowhere")


# Standard descriptors --------------------------------------------------------------

@pytest.mark.parametrize("closed", ["stdin", "stdin-stdout-stderr"])
def test_daemon_works_with_standard_descriptors_closed(chip_factory, closed):
    chip = chip_factory(model="zr4005", ini="[HOST_PLAT]\n" + ALL_LOGS_ON)
    if closed == "stdin":
        oam = chip.start_daemon(stdin_closed=True)
    else:
        binary = Path(oamsim.sandbox.default_binary()).resolve()
        preload = Path(oamsim.sandbox.default_preload()).resolve()
        oam = chip.start_process(["/bin/sh", "-c", 'exec "$0" "$@" 0<&- 1>&- 2>&-',
                                  *oamsim.target_command([str(binary)], preload)],
                                 preload=False, ro_paths=[binary, preload], name="oam")
    # A socket or node handed descriptor 0 would count as never opened: the
    # hello proves the netlink socket is usable, the reads the nodes.
    chip.wait_hello()
    chip.wait_open("qvbfgdbg")
    chip.wait_open("qvmeoam")
    chip.send_chunk("qvbfgdbg", b"bfg chunk")
    chip.send_chunk("qvmeoam", b"me chunk")
    chip.send_wifi_log(b"wifi message")
    assert wait_records(chip, "/vendor/log/bfg_log/bfg_log_1", 1) == [b"bfg chunk"]
    assert wait_records(chip, "/vendor/log/me_log/bfg_log_1", 1) == [b"me chunk"]
    assert wait_records(chip, "/vendor/log/wifi_log/wifi_log_1", 1) == [b"wifi message"]
    assert oam.terminate()
    assert oam.wait() == 0
    if closed == "stdin":
        positions(messages(oam), ["main closed!", "main closed finished!"])
    else:
        assert oam.stdout == ""


# Orderly stop -------------------------------------------------------------------

@pytest.mark.parametrize("model", ["zr4005", "zr4002"])
def test_failed_accept_runs_the_orderly_stop_promptly(chip_factory, model):
    chip = chip_factory(model=model, ini=INI_DFR)
    oam = chip.start_daemon(args=["test"])
    wait_message(oam, "accept is start")
    chip.wait_hello()
    has_me = oamsim.has_me_core(model)
    assert bool(chip.events("open", "qvmeoam")) == has_me

    mark = chip.mark()
    chip.accept_fail("EMFILE")
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", oam.vtl_port), timeout=5):
        # Every receiver sits in a read the chip never answers: only waking
        # them lets the joins finish.
        assert oam.wait(timeout=5) == 0
    assert time.monotonic() - started < 3

    msgs = messages(oam)
    expected = ["accept failed!;errno:Too many open files", "enter oam vexa main() exit!",
                "oam-wifi-recv-pthread is over ", "wifi pthread is over ", "oam_pthread_kill:: entry", PROBE_GONE,
                "oam-bfg-recv-pthread is over ", "bfg read() is over ", "oam_pthread_kill:: entry", PROBE_GONE]
    if has_me:
        expected += ["oam-me-recv-pthread is over ", "me read() is over ", "oam_pthread_kill:: entry", PROBE_GONE]
    expected += ["oam vexa main() closed over!", "ini module fini func"]
    positions(msgs, expected)
    assert sum(1 for m in msgs if PROBE_GONE.fullmatch(m)) == (3 if has_me else 2)
    if not has_me:
        assert not [m for m in msgs if m.startswith("me read()") or "ignore me thread close" in m]
    assert "main closed!" not in msgs
    # the chip sees a close only when its loop gets to it
    for node in ("qvbfgdbg", "qvmeoam") if has_me else ("qvbfgdbg",):
        chip.wait_event("close", node, after=mark)


def test_orderly_stop_without_netlink_channel_joins_no_wifi_receiver(chip_factory):
    """The netlink bind is made to fail by holding the daemon's port id
    (its pid) first; the daemon is held in its very first file read, of
    the published INI path, until that is done."""
    chip = chip_factory(model="zr4005", ini="[HOST_PLAT]\n", publish_ini=False)
    fifo = chip.host_path(oamsim.platform.INI_PATH_NODE)
    fifo.parent.mkdir(parents=True, exist_ok=True)
    os.mkfifo(fifo)
    oam = chip.start_daemon(args=["test"])
    with chip.hold_netlink_port(oam.pid):
        deadline = time.monotonic() + 5
        while True:
            try:
                fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as exc:
                assert exc.errno == errno.ENXIO and time.monotonic() < deadline, exc
                time.sleep(0.005)
        os.write(fd, chip.ini_path.encode())
        os.close(fd)

        wait_message(oam, "accept is start")
        msgs = messages(oam)
        positions(msgs, ["bind() < 0", "netlink create failed"])
        assert "oam_pthread_create:: entry" not in msgs
        assert not chip.events("netlink")
        chip.wait_open("qvmeoam")
        fail_next_accept(chip, oam)
        assert oam.wait(timeout=5) == 0

    msgs = messages(oam)
    positions(msgs, ["enter oam vexa main() exit!", "bfg read() is over ", PROBE_GONE, "me read() is over ",
                     PROBE_GONE, "oam vexa main() closed over!"])
    assert not [m for m in msgs if "wifi pthread is over" in m or "wifi-recv-pthread" in m]


# Under load -------------------------------------------------------------------------

@pytest.mark.thread_heavy
def test_sigterm_during_wifi_burst_ends_cleanly(chip_factory):
    chip = chip_factory(model="zr4005", ini="[HOST_PLAT]\n" + ALL_LOGS_ON)
    oam = chip.start_daemon(args=["test"])
    wait_message(oam, "accept is start")
    chip.wait_hello()
    chip.wait_open("qvmeoam")
    tool = connect_tool(oam)
    burst = WifiBurst(chip, b"w" * 300)
    try:
        burst.start()
        chip.send_chunks("qvbfgdbg", [b"b" * 500] * 200)
        chip.send_chunks("qvmeoam", [b"m" * 500] * 200)
        # In the middle of it: mirrored to the tool and stored in the file.
        tool.wait_for(lambda data: data.count(b"w" * 300) >= 50 and b"b" * 500 in data and b"m" * 500 in data)
        wait_records(chip, "/vendor/log/wifi_log/wifi_log_1", 20)
        assert burst.is_alive()
        assert oam.terminate()
        assert oam.wait(timeout=10) == 0
    finally:
        burst.stop()
        tool.close()
    positions(messages(oam), ["main closed!", "main closed finished!"])
    for path in ("/vendor/log/wifi_log/wifi_log_1", "/vendor/log/bfg_log/bfg_log_1", "/vendor/log/me_log/bfg_log_1"):
        assert records(chip.read_file(path)), path   # whole records only, none cut


@pytest.mark.thread_heavy
def test_orderly_stop_while_all_cores_log_and_a_tool_came_and_went(chip_factory):
    chip = chip_factory(model="zr4005", ini="[HOST_PLAT]\n" + ALL_LOGS_ON)
    oam = chip.start_daemon(args=["test"])
    wait_message(oam, "accept is start")
    chip.wait_hello()
    chip.wait_open("qvmeoam")
    burst = WifiBurst(chip, b"x" * 200)
    try:
        tool = connect_tool(oam)
        burst.start()
        chip.send_chunks("qvbfgdbg", [b"y" * 400] * 300)
        chip.send_chunks("qvmeoam", [b"z" * 400] * 300)
        tool.wait_for(lambda data: b"x" * 200 in data and b"y" * 400 in data and b"z" * 400 in data)
        tool.close()
        # Back in accept, holding the client lock while the receivers go on.
        wait_message(oam, "accept is start", start=oam.stdout.rindex("accept is over"))
        wait_records(chip, "/vendor/log/bfg_log/bfg_log_1", 10)
        fail_next_accept(chip, oam)
        assert oam.wait(timeout=5) == 0
    finally:
        burst.stop()
    positions(messages(oam), ["enter oam vexa main() exit!", "wifi pthread is over ", "bfg read() is over ",
                              "me read() is over ", "oam vexa main() closed over!"])
