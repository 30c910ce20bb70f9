"""The debug-tool server of test mode, end to end: frames from a real TCP
tool on port 3333 routed to the Wi-Fi driver (netlink) or the bfg node,
the mirrored log stream the tool receives, and the life of its
connections."""

from __future__ import annotations

import re
import socket
import struct
import threading
import time

import pytest

from tool_support import (BFG_LOG, INI_ALL, ME_LOG, WIFI_LOG, VtlTool, connect_tool, count, frame, payloads,
                          send_frame, start, wait_accepting, wait_line, wait_payloads, wait_until)

import oamsim

NLMSG = struct.Struct("=IHHII")


def serve(chip, **tool_args):
    """A test-mode daemon with one tool connected and served."""
    oam = start(chip, ["test"])
    tool, at = connect_tool(oam, **tool_args)
    return oam, tool, at


def tool_commands(chip, after: int = 0) -> list:
    """The tool commands (netlink command type 1) the driver got."""
    return [ev for ev in chip.events("netlink", after=after) if ev.nl.cmd_type == 1]


def wait_tool_command(chip, after: int, n: int = 1) -> list:
    return chip.wait_events("netlink", pred=lambda ev: ev.nl.cmd_type == 1, after=after, count=n)


def wifi_message(oam, data: bytes) -> bytes:
    """The netlink message the driver must get for a tool command of `data`."""
    payload = struct.pack("=II", 1, len(data)) + data
    length = (len(payload) + 16 + 3) & ~3
    return NLMSG.pack(length, 0, 0, 0, oam.pid) + payload + bytes(length - 16 - len(payload))


# Routing ---------------------------------------------------------------------


@pytest.mark.chip(ini=INI_ALL)
def test_wifi_route_sends_the_whole_frame_as_one_tool_command(chip):
    oam, tool, at = serve(chip)
    for selector in (0x00, 0x0F, 0x05):
        mark = chip.mark()
        data = frame(1, selector, b"\x11\x22\x33\x44")
        assert len(data) == 12
        at = send_frame(oam, tool, data, at)
        ev = wait_tool_command(chip, mark)[0]
        # {type 1, length 12} + the 12 frame bytes: 20 bytes of payload, 36 on the wire
        assert ev.data == wifi_message(oam, data) and len(ev.data) == 36
        assert ev.port == oam.pid
    assert count(oam, "wifi cmd len=20") == 3
    assert not chip.events("write", "qvbfgdbg")
    tool.close()


@pytest.mark.chip(ini=INI_ALL)
def test_bfg_route_writes_exactly_the_frame_to_the_node(chip):
    oam, tool, at = serve(chip)
    mark = chip.mark()
    frames = [frame(1, sel, bytes([sel, 2, 3, 4])) for sel in (0x10, 0x1F, 0xFF)]
    for data in frames:
        at = send_frame(oam, tool, data, at)
    writes = chip.wait_events("write", "qvbfgdbg", after=mark, count=3)
    assert [ev.data for ev in writes] == frames
    assert count(oam, "bfg cmd len=12") == 3
    # the success line starts with a line break right behind the prefix
    assert len(re.findall(r"^\[\w+:\d+\]\n bfg data have write$", oam.stdout, re.M)) == 3
    assert not tool_commands(chip, mark)


@pytest.mark.chip(ini=INI_ALL)
def test_wifi_route_length_limits_504_505_and_0(chip):
    oam, tool, at = serve(chip)
    mark = chip.mark()
    biggest = frame(3, 0x00, bytes(range(256)) + bytes(range(240)))
    assert len(biggest) == 504
    at = send_frame(oam, tool, biggest, at)
    ev = wait_tool_command(chip, mark)[0]
    assert len(ev.data) == 528 and ev.data == wifi_message(oam, biggest)
    assert ev.nl.length == 528 and ev.nl.cmd_len == 504

    mark = chip.mark()
    at = send_frame(oam, tool, frame(3, 0x00, bytes(497)), at)      # 505: refused, silently
    at = send_frame(oam, tool, frame(3, 0x00, b"", length=0), at)    # 0: just the command header
    ev = wait_tool_command(chip, mark)[0]
    assert ev.data == NLMSG.pack(24, 0, 0, 0, oam.pid) + struct.pack("=II", 1, 0)
    assert len(tool_commands(chip, mark)) == 1
    assert count(oam, "wifi cmd len=512") == 1 and count(oam, "wifi cmd len=8") == 1
    assert "wifi cmd len=513" not in oam.stdout


@pytest.mark.chip(ini=INI_ALL)
def test_bfg_route_length_limits_2048_and_2049(chip):
    oam, tool, at = serve(chip)
    mark = chip.mark()
    # No receive holds more than 2030 bytes: the last 18 of a 2048-byte
    # frame are zeros from the cleared buffer.
    sent = frame(2, 0x10, bytes((i * 13) & 0xFF or 1 for i in range(2022)), length=2048)
    assert len(sent) == 2030
    at = send_frame(oam, tool, sent, at)
    write = chip.wait_event("write", "qvbfgdbg", after=mark)
    assert write.data == sent + bytes(18)
    assert count(oam, "bfg cmd len=2048") == 1

    mark = chip.mark()
    at = send_frame(oam, tool, frame(2, 0x10, bytes(100), length=2049), at)
    assert count(oam, "invalid header length!") == 1
    at = send_frame(oam, tool, frame(2, 0x10, b"next"), at)
    assert [ev.data for ev in chip.wait_events("write", "qvbfgdbg", after=mark)] == [frame(2, 0x10, b"next")]
    assert "bfg cmd len=2049" not in oam.stdout


@pytest.mark.chip(ini=INI_ALL)
def test_stated_length_beyond_the_bytes_received_forwards_zeros(chip):
    oam, tool, at = serve(chip)
    mark = chip.mark()
    # A longer frame first: what it left in the buffer must not leak into the next.
    at = send_frame(oam, tool, frame(1, 0x00, b"\xee" * 292), at)
    short = frame(1, 0x00, b"\x01\x02\x03\x04", length=100)
    at = send_frame(oam, tool, short, at)
    ev = wait_tool_command(chip, mark, 2)[1]
    assert ev.nl.cmd_len == 100 and ev.nl.cmd_data == short + bytes(88)
    assert count(oam, "wifi cmd len=108") == 1

    mark = chip.mark()
    at = send_frame(oam, tool, frame(1, 0x20, b"\xab" * 4, length=40), at)
    assert chip.wait_event("write", "qvbfgdbg", after=mark).data == frame(1, 0x20, b"\xab" * 4, length=40) + bytes(28)


@pytest.mark.chip(ini=INI_ALL, nodes=("qvbt", "qvmeoam", "qvwifiexcp", "qvbfgexcp", "qvmeexcp"))
def test_bfg_route_without_the_node_reports_it_whatever_the_length(chip):
    oam, tool, at = serve(chip)
    assert count(oam, "open bfg inode failed;errno:No such file or directory") == 1
    mark = chip.mark()
    at = send_frame(oam, tool, frame(1, 0x10, b"abcd"), at)
    at = send_frame(oam, tool, frame(1, 0x10, b"abcd", length=5000), at)
    assert count(oam, "bfg dbg inode not opened!") == 2
    assert "invalid header length!" not in oam.stdout and "bfg cmd len" not in oam.stdout
    # the Wi-Fi route is unaffected
    at = send_frame(oam, tool, frame(1, 0x00, b"wifi"), at)
    assert wait_tool_command(chip, mark)[0].nl.cmd_data == frame(1, 0x00, b"wifi")
    assert not chip.events("write")


ROUTED_TYPES = (1, 2, 3, 4, 5, 9, 10, 12, 15, 16, 17, 18, 19, 21, 23, 25, 26, 27, 29, 30, 31, 32, 34, 69)


@pytest.mark.chip(ini=INI_ALL)
def test_only_the_24_tool_message_types_are_routed(chip):
    oam, tool, at = serve(chip)
    mark = chip.mark()
    types = list(range(0, 72)) + [128, 255]
    for msg_type in types:
        at = send_frame(oam, tool, frame(msg_type, 0x00, bytes([msg_type]) * 4), at)
    routed = wait_tool_command(chip, mark, len(ROUTED_TYPES))
    assert [ev.nl.cmd_data[1] for ev in routed] == list(ROUTED_TYPES)
    reported = [int(m) for m in re.findall(r"^\[\w+:\d+\]===>>msg type is (\d+)<<===$", oam.stdout, re.M)]
    assert reported == [t for t in types if t not in ROUTED_TYPES]
    # the last frame was handled after every routed one: nothing else went out
    assert len(tool_commands(chip, mark)) == len(ROUTED_TYPES)


@pytest.mark.chip(ini=INI_ALL)
def test_short_receives_are_ignored_and_the_connection_stays(chip):
    oam, tool, at = serve(chip)
    mark = chip.mark()
    for data in (b"\x00\x01\x10\x00\x05", b"\x00", b"\x00\x01\x00\x00\x08\x00\x00"):
        at = send_frame(oam, tool, data, at)
    assert "cmd len" not in oam.stdout and "msg type is" not in oam.stdout
    at = send_frame(oam, tool, frame(1, 0x10, b"real"), at)
    assert chip.wait_event("write", "qvbfgdbg", after=mark).data == frame(1, 0x10, b"real")
    assert [ev.data for ev in chip.events("write", after=mark)] == [frame(1, 0x10, b"real")]
    assert not tool.closed_by_peer and "recv:: " not in oam.stderr


@pytest.mark.chip(ini=INI_ALL)
def test_receive_boundaries_make_the_frames(chip):
    oam, tool, at = serve(chip)
    # Over 2030 bytes: the rest is a frame of its own, with its own header.
    second = frame(2, 0x10, b"\x5a" * 462)
    first = frame(2, 0x10, b"\xa5" * 2022, length=2030)
    mark = chip.mark()
    tool.send(first + second)
    at = wait_line(oam, "oam_sock_recv: recv VTL data, len=2030", at)
    at = wait_line(oam, "oam_sock_recv: recv VTL data, len=470", at)
    at = wait_line(oam, "oam_sock_recv:: entry", at)
    writes = chip.wait_events("write", "qvbfgdbg", after=mark, count=2)
    assert [ev.data for ev in writes] == [first, second]

    # Two frames in one receive: one frame, with the first one's header.
    mark = chip.mark()
    a, b = frame(1, 0x10, b"AAAA"), frame(1, 0x00, b"BBBB")
    at = send_frame(oam, tool, a + b, at)
    assert chip.wait_event("write", "qvbfgdbg", after=mark).data == a
    assert not tool_commands(chip, mark)


# The mirrored stream ------------------------------------------------------------


def chunk(core: int, i: int, size: int) -> bytes:
    """A chunk that names its core and number in its first bytes."""
    head = struct.pack("<BH", core, i)
    return head + bytes([(core * 61 + i) & 0xFF]) * (size - len(head))


def split_stream(stream: bytes, queues: dict[int, list[bytes]]) -> dict[int, list[bytes]]:
    """Takes the stream apart into whole chunks, each the next one of its
    core; fails at the first byte that does not start one."""
    got = {core: [] for core in queues}
    pos = 0
    while pos < len(stream):
        core = stream[pos]
        assert core in queues, f"byte {pos} starts no chunk: {stream[pos:pos + 8].hex()}"
        expected = queues[core][len(got[core])]
        assert stream[pos:pos + len(expected)] == expected, f"chunk of core {core} cut or mixed at {pos}"
        got[core].append(expected)
        pos += len(expected)
    return got


@pytest.mark.thread_heavy
@pytest.mark.chip(ini=INI_ALL)
def test_mirrored_stream_carries_every_chunk_of_all_three_cores_whole(chip):
    oam, tool, at = serve(chip)
    n = 150
    queues = {
        1: [chunk(1, i, 17 + (i * 97) % 1900) for i in range(n)],    # Wi-Fi: 1 to 2029 data bytes
        2: [chunk(2, i, 1 + (i * 211) % 2030) for i in range(n)],    # bfg: up to a full 2030-byte read
        3: [chunk(3, i, 1 + (i * 331) % 2030) for i in range(n)],    # me
    }
    queues[2][0], queues[3][0] = b"\x02", b"\x03"                  # 1-byte reads too

    def wifi():
        for data in queues[1]:
            chip.send_wifi_log(data)

    feeders = [threading.Thread(target=wifi)]
    feeders += [threading.Thread(target=chip.send_chunks, args=(node, queues[core]))
                for node, core in (("qvbfgdbg", 2), ("qvmeoam", 3))]

    # The tool talks to the drivers at the same time.
    def commands():
        for i in range(30):
            tool.send(frame(1, 0x00 if i % 2 else 0x10, struct.pack("<I", i)))
            time.sleep(0.002)

    feeders.append(threading.Thread(target=commands))
    for t in feeders:
        t.start()
    for t in feeders:
        t.join()
    total = sum(len(c) for q in queues.values() for c in q)
    stream = tool.wait_received(total, timeout=20)
    assert len(stream) == total
    assert split_stream(stream, queues) == queues
    # and each core's files got the same chunks, in order
    assert wait_payloads(chip, WIFI_LOG, n, timeout=10) == queues[1]
    assert wait_payloads(chip, BFG_LOG, n, timeout=10) == queues[2]
    assert wait_payloads(chip, ME_LOG, n, timeout=10) == queues[3]
    tool.close()
    wait_line(oam, "accept is start", at)
    oam.terminate()
    assert oam.wait() == 0


@pytest.mark.chip(ini=INI_ALL)
def test_without_a_tool_logs_are_stored_and_nothing_is_kept_for_later(chip):
    oam = start(chip, ["test"])
    at = wait_accepting(oam)
    chip.send_wifi_log(b"wifi before")
    chip.send_chunk("qvbfgdbg", b"bfg before")
    chip.send_chunk("qvmeoam", b"me before")
    assert wait_payloads(chip, WIFI_LOG, 1) == [b"wifi before"]
    assert wait_payloads(chip, BFG_LOG, 1) == [b"bfg before"]
    assert wait_payloads(chip, ME_LOG, 1) == [b"me before"]

    tool, at = connect_tool(oam, at)
    chip.send_chunk("qvbfgdbg", b"bfg live")
    assert tool.wait_received(8) == b"bfg live"
    tool.close()
    at = wait_accepting(oam, at)

    # gone again: stored, not queued for the next tool
    chip.send_chunk("qvmeoam", b"me between")
    assert wait_payloads(chip, ME_LOG, 2)[1] == b"me between"
    second, at = connect_tool(oam, at)
    chip.send_wifi_log(b"wifi live")
    assert second.wait_received(9) == b"wifi live"
    second.close()


# Connections --------------------------------------------------------------------


@pytest.mark.chip(ini=INI_ALL)
def test_a_new_tool_is_served_as_soon_as_the_last_one_left(chip):
    oam, first, at = serve(chip)
    first.close()
    oam.wait_stderr(re.compile(r"^recv:: .+$", re.M))
    for i in range(3):
        tool, at = connect_tool(oam, at)
        mark = chip.mark()
        at = send_frame(oam, tool, frame(1, 0x10, bytes([i]) * 4), at)
        assert chip.wait_event("write", "qvbfgdbg", after=mark).data == frame(1, 0x10, bytes([i]) * 4)
        chip.send_chunk("qvbfgdbg", bytes([0x40 + i]) * 10)
        assert tool.wait_received(10) == bytes([0x40 + i]) * 10
        tool.close()
    wait_line(oam, "accept is start", at)
    # standard error comes through a pipe of its own: it may lag behind
    wait_until(lambda: len(re.findall(r"^recv:: ", oam.stderr, re.M)) == 4, "one recv line per tool")
    assert oam.stderr == "recv:: connection closed by the tool\n" * 4
    assert oam.alive


# A valid address limits the server to it; a bad one is reported and every
# address served, as without the key.
@pytest.mark.parametrize("value, peer, refused, report", [
    ("127.0.0.1", "127.0.0.1", "127.0.0.2", "listening on 127.0.0.1 only"),
    ("127.0.0.300", "127.0.0.2", None,
     "vtl_listen_address={127.0.0.300} is no IPv4 address, listening on all addresses"),
])
def test_listen_address_from_the_ini(chip_factory, value, peer, refused, report):
    chip = chip_factory(ini=INI_ALL + f"vtl_listen_address={value}\n")
    oam = start(chip, ["test"])
    wait_accepting(oam)
    assert count(oam, report) == 1
    if refused:
        with pytest.raises(ConnectionRefusedError):
            VtlTool(host=refused, port=oam.vtl_port, connect_timeout=0)
    tool, at = connect_tool(oam, host=peer)
    mark = chip.mark()
    send_frame(oam, tool, frame(1, 0x10, b"reach"), at)
    assert chip.wait_event("write", "qvbfgdbg", after=mark).data == frame(1, 0x10, b"reach")
    tool.close()


@pytest.mark.chip(ini=INI_ALL)
def test_a_second_tool_waits_in_the_backlog_until_the_first_leaves(chip):
    oam, first, at = serve(chip)
    second = VtlTool(port=oam.vtl_port)               # connected by the kernel, not accepted
    mark = chip.mark()
    second.send(frame(1, 0x10, b"2nd!"))
    # the first tool is still the one served
    at = send_frame(oam, first, frame(1, 0x10, b"1st!"), at)
    chip.send_chunk("qvbfgdbg", b"for the first")
    assert first.wait_received(13) == b"for the first"
    assert [ev.data for ev in chip.wait_events("write", "qvbfgdbg", after=mark)] == [frame(1, 0x10, b"1st!")]
    assert count(oam, "accept is over") == 1

    first.close()
    at = wait_line(oam, "accept is over", at)
    # the frame it sent while it waited is handled at once
    assert chip.wait_event("write", "qvbfgdbg", pred=lambda ev: ev.data == frame(1, 0x10, b"2nd!"),
                           after=mark)
    at = wait_line(oam, "oam_sock_recv:: entry", wait_line(oam, "oam_sock_recv: recv VTL data, len=12", at))
    chip.send_chunk("qvbfgdbg", b"for the second")
    assert second.wait_received(14) == b"for the second"
    assert first.received == b"for the first"
    second.close()


def bfg_records(chip) -> int:
    return sum(len(payloads(chip, f"/vendor/log/bfg_log/{name}", growing=True))
               for name in chip.listdir("/vendor/log/bfg_log"))


@pytest.mark.chip(ini=INI_ALL)
def test_a_tool_that_stops_reading_is_dropped_and_capture_goes_on(chip):
    # A tool with a tiny receive buffer that never reads: the daemon's send
    # buffer fills and its mirror send runs into the 3-second time-out.
    oam, stalled, at = serve(chip, rcvbuf=4096, read=False)

    def numbered(i: int) -> bytes:
        return struct.pack("<I", i) + bytes([i & 0xFF]) * 2026

    sent, stalled_at = 0, None
    while "socket is ERR" not in oam.stdout:
        assert sent < 12000, "the mirror send never failed"
        chip.send_chunks("qvbfgdbg", [numbered(i) for i in range(sent, sent + 200)])
        sent += 200
        try:
            chip.wait_consumed("qvbfgdbg", timeout=0.5)
        except oamsim.ChipTimeout:
            stalled_at = time.monotonic()
            break
    err = oam.wait_stdout(re.compile(r"^\[\w+:\d+\]send bfg socket is ERR! len = 2030\.;errno:(.*)$", re.M),
                          timeout=10)
    assert err.group(1) == "Resource temporarily unavailable"
    # one time-out, not one per partly sent chunk
    assert stalled_at is None or time.monotonic() - stalled_at < 5.5
    chip.wait_consumed("qvbfgdbg", timeout=10)
    assert wait_until(lambda: bfg_records(chip) == sent, "every chunk stored", timeout=10)

    # What reached the tool is whole chunks in order, at most the last one
    # cut short by the time-out, and then the end of its stream: the drop
    # ends the connection, so the tool learns that its logs stopped.
    stalled.sock.settimeout(10)
    got = bytearray()
    while piece := stalled.sock.recv(1 << 20):
        got += piece
    whole = len(got) // 2030
    assert 0 < whole < sent
    assert got == b"".join(numbered(i) for i in range(whole + 1))[:len(got)]

    # No longer mirrored to: later chunks are stored at once.
    t0 = time.monotonic()
    chip.send_chunks("qvbfgdbg", [b"after the drop"] * 50)
    chip.wait_consumed("qvbfgdbg")
    wait_until(lambda: bfg_records(chip) == sent + 50, "the later chunks stored")
    assert time.monotonic() - t0 < 2.0
    assert count(oam, "send bfg socket is ERR! len = 2030.;errno:Resource temporarily unavailable") == 1

    # The daemon closed its side and waits for the next tool at once.
    at = wait_accepting(oam, at)
    stalled.close()
    tool, at = connect_tool(oam, at)
    chip.send_chunk("qvbfgdbg", b"mirrored again")
    assert tool.wait_received(14) == b"mirrored again"
    tool.close()


@pytest.mark.chip(model="zr4005", ini=INI_ALL)
def test_a_failing_accept_ends_the_daemon_through_the_orderly_stop(chip):
    oam, tool, at = serve(chip)
    tool.close()
    at = wait_line(oam, "accept is start", at)
    chip.accept_fail("EMFILE")
    # the kernel completes the connection; the failing accept drops it
    knock = socket.create_connection(("127.0.0.1", oam.vtl_port), timeout=5)
    assert oam.wait() == 0
    knock.close()
    out = oam.stdout[at:]
    expected = ["accept failed!;errno:Too many open files", "enter oam vexa main() exit!",
                "wifi pthread is over ", "bfg read() is over ", "me read() is over ",
                "oam vexa main() closed over!"]
    found = [out.find(f"]{msg}\n") for msg in expected]
    assert all(pos >= 0 for pos in found) and found == sorted(found), list(zip(expected, found))
    assert count(oam, "oam-bfg-recv-pthread is over ") == 1
    assert count(oam, "oam-me-recv-pthread is over ") == 1
    assert "main closed!" not in oam.stdout
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", oam.vtl_port), timeout=2).close()


@pytest.mark.chip(ini=INI_ALL)
def test_port_3333_taken_ends_start_up_with_255_before_any_worker(chip):
    holder = socket.socket()
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    holder.bind(("0.0.0.0", chip.vtl_port))
    holder.listen(1)
    try:
        oam = chip.start_daemon(args=["test"])
        assert oam.wait() == 255
    finally:
        holder.close()
    msgs = oam.stdout
    assert count(oam, "socket bind failed!;errno:Address already in use") == 1
    assert msgs.index("socket bind failed!") < msgs.index("vtl socket create fail")
    assert "inter oam_netlink_create" not in msgs and "oam_bfg_recv_pthread" not in msgs
    assert "accept is start" not in msgs
    # no driver saw anything: no hello, no open, no request
    assert chip.events() == []
