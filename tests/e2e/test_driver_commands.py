"""The one-shot driver commands of start-up, end to end: the bfgx
calibration trigger and the two fault-recovery settings on the bfg node,
in their order, with their arguments, and what each failure leaves out."""

from __future__ import annotations

import errno

import pytest

from tool_support import ALL_LOGS_ON, DFR_KEYS, count, ini, start

import oamsim

CALI, DFR, BEAT = oamsim.BFGX_CALI_IOCTL, oamsim.DFR_ENABLE_IOCTL, oamsim.DFR_BEAT_TIMER_RESET_IOCTL
COMMANDS = (CALI, DFR, BEAT)
NO_BFG_NODE = ("qvbt", "qvmeoam", "qvwifiexcp", "qvbfgexcp", "qvmeexcp")


def commands(chip) -> list[tuple[str, int, int]]:
    """(node, request, argument) of every calibration or DFR request, in order."""
    return [(ev.node, ev.request, ev.arg) for ev in chip.events("ioctl") if ev.request in COMMANDS]


@pytest.mark.parametrize("args", [[], ["test"]], ids=["normal", "test"])
def test_calibration_then_both_settings_in_order_with_their_values(chip_factory, args):
    chip = chip_factory(model="zr4002", ini=ini(ALL_LOGS_ON.strip(), DFR_KEYS))
    oam = start(chip, args)
    assert commands(chip) == [("qvbfgdbg", CALI, 0), ("qvbfgdbg", DFR, 1), ("qvbfgdbg", BEAT, 0)]
    # all on the descriptor the bfg receiver reads
    conns = {ev.conn for ev in chip.events("ioctl", "qvbfgdbg") if ev.request in COMMANDS}
    assert conns == {chip.events("open", "qvbfgdbg")[0].conn}
    assert count(oam, "bfgx cali sucess") == 1
    assert count(oam, "plat dfr and beatTimer timeOut reset cfg set sucess") == 1
    out = oam.stdout
    assert out.index("bfgx cali sucess") < out.index("plat dfr and beatTimer")


@pytest.mark.parametrize("keys, missing", [
    ("plat_dfr_enable=1", "plat_dfr_beatTimer_timeOut_reset_enable"),
    ("plat_dfr_beatTimer_timeOut_reset_enable=1", "plat_dfr_enable"),
    ("", "plat_dfr_enable"),
])
def test_a_missing_key_sends_no_setting(chip_factory, keys, missing):
    chip = chip_factory(model="zr4002", ini=ini(keys))
    oam = start(chip)
    assert count(oam, f"read ini cfg fail: ini_plat_dfr_cfg_str = {missing}") == 1
    assert oam.stdout.count("read ini cfg fail") == 1
    assert commands(chip) == [("qvbfgdbg", CALI, 0)]
    assert "plat dfr and beatTimer timeOut reset cfg set" not in oam.stdout


@pytest.mark.chip(model="zr4002", ini=ini(DFR_KEYS))
def test_a_failing_first_setting_stops_before_the_second(chip):
    chip.fail_ioctl(DFR, errno.EIO)
    oam = start(chip)
    assert commands(chip) == [("qvbfgdbg", CALI, 0), ("qvbfgdbg", DFR, 1)]
    assert count(oam, "cmd plat_dfr_enable ioctl send error;errno:Input/output error") == 1
    assert oam.stdout.count("ioctl send error") == 1
    assert count(oam, "plat dfr and beatTimer timeOut reset cfg set error") == 1
    assert "cfg set sucess" not in oam.stdout


@pytest.mark.chip(model="zr4002", ini=ini(DFR_KEYS))
def test_a_failing_second_setting_names_its_key(chip):
    chip.fail_ioctl(BEAT, errno.EPERM)
    oam = start(chip)
    assert commands(chip) == [("qvbfgdbg", CALI, 0), ("qvbfgdbg", DFR, 1), ("qvbfgdbg", BEAT, 0)]
    assert count(oam, "cmd plat_dfr_beatTimer_timeOut_reset_enable ioctl send error;"
                      "errno:Operation not permitted") == 1
    assert count(oam, "plat dfr and beatTimer timeOut reset cfg set error") == 1


@pytest.mark.chip(model="zr4002", ini=ini(DFR_KEYS))
def test_a_failing_calibration_does_not_hold_back_the_settings(chip):
    chip.fail_ioctl(CALI, errno.ENODEV)
    oam = start(chip)
    assert commands(chip) == [("qvbfgdbg", CALI, 0), ("qvbfgdbg", DFR, 1), ("qvbfgdbg", BEAT, 0)]
    assert count(oam, "cmd bfgx cali ioctl send error;errno:No such device") == 1
    assert count(oam, "plat dfr and beatTimer timeOut reset cfg set sucess") == 1


@pytest.mark.parametrize("model, calibrated", [("zr4001", False), ("zr4004", True), ("zr4060", True),
                                               (None, True)])
def test_only_the_zr4001_skips_the_calibration(chip_factory, model, calibrated):
    chip = chip_factory(model=model, ini=ini(DFR_KEYS))
    oam = start(chip)
    assert count(oam, "zr4001 ignore bfgx cali") == (0 if calibrated else 1)
    expected = [("qvbfgdbg", DFR, 1), ("qvbfgdbg", BEAT, 0)]
    if calibrated:
        expected.insert(0, ("qvbfgdbg", CALI, 0))
    assert commands(chip) == expected


@pytest.mark.chip(model="zr4002",
                  ini=ini("plat_dfr_enable=0x1F", "plat_dfr_beatTimer_timeOut_reset_enable=0XABCDEF01"))
def test_values_are_sent_as_read_hexadecimal_included(chip):
    start(chip)
    assert commands(chip)[1:] == [("qvbfgdbg", DFR, 0x1F), ("qvbfgdbg", BEAT, 0xABCDEF01)]


@pytest.mark.chip(model="zr4002", ini=ini("plat_dfr_enable=-1", "plat_dfr_beatTimer_timeOut_reset_enable=7"))
def test_a_negative_value_goes_out_as_its_32_bit_pattern(chip):
    start(chip)
    assert commands(chip)[1:] == [("qvbfgdbg", DFR, 0xFFFFFFFF), ("qvbfgdbg", BEAT, 7)]


@pytest.mark.chip(model="zr4002", ini=ini(DFR_KEYS))
def test_wvt_mode_sends_no_command(chip):
    oam = start(chip, ["wvt"])
    chip.wait_open("qvbt")
    assert commands(chip) == []
    assert count(oam, "node is not open, bfgx cali fail") == 1
    assert count(oam, "node is not open") == 1


@pytest.mark.chip(model="zr4002", ini=ini(DFR_KEYS), nodes=NO_BFG_NODE)
def test_without_the_bfg_node_no_command_is_attempted(chip):
    oam = start(chip)
    assert count(oam, "open bfg inode failed;errno:No such file or directory") == 1
    assert commands(chip) == []
    assert count(oam, "node is not open, bfgx cali fail") == 1
    assert count(oam, "node is not open") == 1
