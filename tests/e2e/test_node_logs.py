"""The bfg and me log receivers, end to end: which node each run mode and
chip model opens and how, one record per chunk read, the log switch, and
what runs when a node is missing."""

from __future__ import annotations

import datetime as dt
import errno
import socket
import time

import pytest

from tool_support import (BFG_LOG, DFR_KEYS, INI_ALL, ME_LOG, WIFI_LOG, connect_tool, count, ini, payloads,
                          records, start, wait_line, wait_payloads)

import oamsim


def assert_no_tool_server(oam):
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", oam.vtl_port), timeout=2).close()


def opens(chip, node: str) -> list[str]:
    return [ev.mode for ev in chip.events("open", node)]


# Run modes ---------------------------------------------------------------------


@pytest.mark.chip(model="zr4005", ini=INI_ALL)
def test_normal_mode_reads_both_nodes_read_only_and_serves_no_tool(chip):
    oam = start(chip)
    chip.wait_open("qvmeoam")
    assert opens(chip, "qvbfgdbg") == ["r"] and opens(chip, "qvmeoam") == ["r"]
    assert not chip.events("open", "qvbt")
    assert_no_tool_server(oam)
    chip.send_chunk("qvbfgdbg", b"bfg in normal mode")
    chip.send_chunk("qvmeoam", b"me in normal mode")
    assert wait_payloads(chip, BFG_LOG, 1) == [b"bfg in normal mode"]
    assert wait_payloads(chip, ME_LOG, 1) == [b"me in normal mode"]
    oam.terminate()
    assert oam.wait() == 0
    assert count(oam, "main closed!") == 1 and count(oam, "main closed finished!") == 1


@pytest.mark.chip(model="zr4005", ini=INI_ALL)
def test_test_mode_opens_both_nodes_read_write(chip):
    oam = start(chip, ["test"])
    chip.wait_open("qvmeoam")
    assert opens(chip, "qvbfgdbg") == ["rw"] and opens(chip, "qvmeoam") == ["rw"]
    tool, _ = connect_tool(oam)
    chip.send_chunk("qvmeoam", b"me to the tool")
    assert tool.wait_received(14) == b"me to the tool"
    tool.close()


@pytest.mark.chip(model="zr4005", ini=INI_ALL)
def test_wvt_mode_reads_the_bt_node_into_the_bfg_log_and_serves_no_tool(chip):
    oam = start(chip, ["wvt"])
    assert count(oam, "open bt inode") == 1
    chip.wait_open("qvmeoam")
    assert opens(chip, "qvbt") == ["rw"] and opens(chip, "qvmeoam") == ["r"]
    assert not chip.events("open", "qvbfgdbg")
    chip.send_chunks("qvbt", [b"bt one", b"bt two"])
    assert wait_payloads(chip, BFG_LOG, 2) == [b"bt one", b"bt two"]
    # neither the calibration nor the fault-recovery settings, and no server
    assert not chip.events("ioctl", "qvbt") and not chip.events("ioctl", "qvbfgdbg")
    assert count(oam, "node is not open, bfgx cali fail") == 1 and count(oam, "node is not open") == 1
    assert_no_tool_server(oam)
    oam.terminate()
    assert oam.wait() == 0


# Chip models -------------------------------------------------------------------


@pytest.mark.parametrize("model", ["zr4004", "zr4001"])
def test_models_without_an_me_core_start_nothing_of_the_me_side(chip_factory, model):
    chip = chip_factory(model=model, ini=INI_ALL)
    oam = start(chip, ["test"])
    assert count(oam, "zr400x ignore me thread create") == 1
    # the bfg side started after the me decision was taken; its dump waits show it settled
    chip.wait_dump_wait("qvbfgexcp")
    chip.wait_dump_wait("qvwifiexcp")
    assert not chip.events("open", "qvmeoam") and not chip.events("open", "qvmeexcp")
    assert "oam_me_recv_pthread" not in oam.stdout
    oam.terminate()
    assert oam.wait() == 0


@pytest.mark.chip(model=None, ini=INI_ALL)
def test_an_unknown_model_has_an_me_core(chip):
    oam = start(chip)
    assert "zr400x ignore me thread create" not in oam.stdout
    assert opens(chip, "qvmeoam") == ["r"]
    chip.wait_dump_wait("qvmeexcp")
    chip.send_chunk("qvmeoam", b"unknown chip, me log")
    assert wait_payloads(chip, ME_LOG, 1) == [b"unknown chip, me log"]


NO_BFG_NODE = ("qvbt", "qvmeoam", "qvwifiexcp", "qvbfgexcp", "qvmeexcp")


@pytest.mark.parametrize("model, wifi_dump_waits", [("zr4005", 0), ("zr4060", 1)])
def test_without_the_bfg_node_wifi_and_me_still_run_but_no_bfg_side_dump_thread(chip_factory, model,
                                                                                 wifi_dump_waits):
    chip = chip_factory(model=model, ini=INI_ALL, nodes=NO_BFG_NODE)
    oam = start(chip)
    assert count(oam, "open bfg inode failed;errno:No such file or directory") == 1
    # the me side and (on zr4060) its extra Wi-Fi dump thread start after the bfg side
    chip.wait_dump_wait("qvmeexcp")
    if wifi_dump_waits:
        chip.wait_dump_wait("qvwifiexcp")
        wait_line(oam, "memdump wifi rotate pthread create")
    chip.wait_hello()
    chip.send_wifi_log(b"wifi without bfg")
    chip.send_chunk("qvmeoam", b"me without bfg")
    assert wait_payloads(chip, WIFI_LOG, 1) == [b"wifi without bfg"]
    assert wait_payloads(chip, ME_LOG, 1) == [b"me without bfg"]
    assert "oam_bfg_recv_pthread" not in oam.stdout
    assert not chip.events("open", "qvbfgexcp")
    assert len(chip.pending_dump_waits("qvwifiexcp")) == wifi_dump_waits
    assert count(oam, "memdump bfgx rotate pthread create") == 0
    assert count(oam, "memdump wifi rotate pthread create") == wifi_dump_waits
    oam.terminate()
    assert oam.wait() == 0


# Records ------------------------------------------------------------------------


def local_now() -> dt.datetime:
    return dt.datetime.now()


@pytest.mark.chip(model="zr4005", ini=INI_ALL)
def test_each_read_becomes_one_record_of_18_bytes_more(chip):
    start(chip)
    chip.wait_open("qvmeoam")
    full = bytes((i * 31 + 7) & 0xFF for i in range(2030))
    chunks = [full, b"\x01", b"abc", bytes(1000)]
    before = local_now().replace(microsecond=0)
    chip.send_chunks("qvbfgdbg", chunks)
    chip.send_chunks("qvmeoam", [b"\xff", full])
    wait_payloads(chip, BFG_LOG, 4)
    after = local_now()
    recs = records(chip.read_file(BFG_LOG))
    assert [r.payload for r in recs] == chunks
    assert [r.length for r in recs] == [2048, 19, 21, 1018]
    raw = chip.read_file(BFG_LOG)
    assert raw[:4] == b"\xaa\x00\x00\x08" and raw[2048:2052] == b"\xaa\x00\x13\x00"
    for rec in recs:
        year, month, day, hour, minute, second, ms = rec.stamp
        stamp = dt.datetime(year, month, day, hour, minute, min(second, 59), ms * 1000)
        assert before <= stamp <= after, rec.stamp

    me = wait_payloads(chip, ME_LOG, 2)
    assert me == [b"\xff", full]
    assert [r.length for r in records(chip.read_file(ME_LOG))] == [19, 2048]
    # the me core's files carry the bfg prefix in their own folder
    assert chip.listdir("/vendor/log/me_log") == ["bfg_log_1"]
    assert payloads(chip, BFG_LOG) == chunks


@pytest.mark.parametrize("node, path", [("qvbfgdbg", BFG_LOG), ("qvmeoam", ME_LOG)], ids=["bfg", "me"])
def test_chunks_pushed_as_fast_as_they_are_read_are_stored_complete_and_in_order(chip_factory, node, path):
    chip = chip_factory(model="zr4005", ini=INI_ALL)
    start(chip)
    chip.wait_open(node)
    # Sizes 8 to 2030 in a scattered order, each chunk one read.
    pushed = chip.push_chunks(node, 3000, size="mixed")
    assert pushed["sent"] == 3000
    stored = wait_payloads(chip, path, 3000, timeout=30)
    assert stored == [oamsim.payload(i, 0, "mixed", oamsim.load.NODE_CHUNK_MAX) for i in range(3000)]


@pytest.mark.chip(model="zr4005", ini=INI_ALL)
def test_failed_and_empty_reads_store_nothing(chip):
    start(chip)
    chip.wait_open("qvbfgdbg")
    chip.send_chunks("qvbfgdbg", [oamsim.ReadError(errno.EIO), oamsim.Empty(3), b"first",
                                  oamsim.ReadError(errno.EAGAIN), b"second"])
    chip.wait_consumed("qvbfgdbg")
    assert wait_payloads(chip, BFG_LOG, 2) == [b"first", b"second"]
    time.sleep(0.05)
    assert payloads(chip, BFG_LOG) == [b"first", b"second"]


@pytest.mark.chip(model="zr4005", ini=ini("log_switch_device_bfg=0", "log_switch_device_me=1", DFR_KEYS))
def test_bfg_switch_off_mirrors_every_read_but_stores_none(chip):
    oam = start(chip, ["test"])
    tool, _ = connect_tool(oam)
    chunks = [b"one", b"two" * 300, b"three"]
    chip.send_chunks("qvbfgdbg", chunks)
    assert tool.wait_received(sum(map(len, chunks))) == b"".join(chunks)
    chip.send_chunk("qvmeoam", b"me is on")
    assert wait_payloads(chip, ME_LOG, 1) == [b"me is on"]
    chip.wait_consumed("qvbfgdbg")
    assert payloads(chip, BFG_LOG) == []
    tool.close()
