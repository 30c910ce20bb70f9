"""A stand-in for the PC debug tool: connects to the daemon's TCP port 3333,
sends tool frames and collects the raw log bytes the daemon mirrors back.

    from oamsim.tool import VtlTool, frame

    with VtlTool(port=oam.vtl_port) as tool:         # connects, starts reading
        tool.send_frame(1, 0x10, b"\\x01\\x02")          # type, selector, body
        tool.send_hex("00 01 00 00 0c 00 00 00 01 02 03 04")
        data = tool.wait_received(100)               # the first 100 bytes

A frame is an 8-byte header (byte 1 message type, byte 2 destination
selector, bytes 4-5 the frame length, little-endian, counted from the first
header byte) and a body.  The daemon reads one frame per receive call and
sends nothing but mirrored log data, so the stream collected is exactly the
log chunks of the three cores, back to back.  A daemon in the virtual
chip's sandbox serves 3333 on the chip's own port (`vtl_port`).

From the command line (standard library only, no package import needed):

    /usr/bin/python3 sim/oamsim/tool.py --frame 1,0x10,01020304 \\
        --hex 000100000c000000aabbccdd --out mirrored.bin --listen 5
"""

from __future__ import annotations

import argparse
import socket
import struct
import sys
import threading
import time

VTL_PORT = 3333
HEADER_LEN = 8
# The daemon reads at most this much per receive; more is a second frame.
RECV_MAX = 2030


def frame(msg_type: int, selector: int, body: bytes = b"", *, length: int | None = None, byte0: int = 0,
          byte3: int = 0, tail: int = 0) -> bytes:
    """One tool frame.  `length` (default: 8 + len(body)) is what the
    header says, which need not be what is sent; byte0, byte3 and the 16-bit
    `tail` (bytes 6-7) are the fields the daemon does not examine."""
    body = bytes(body)
    if length is None:
        length = HEADER_LEN + len(body)
    return struct.pack("<BBBBHH", byte0, msg_type, selector, byte3, length, tail) + body


def parse_hex(text: str) -> bytes:
    """Bytes from hex text; spaces, colons and a 0x prefix are allowed."""
    text = text.strip()
    if text[:2].lower() == "0x":
        text = text[2:]
    return bytes.fromhex(text.replace(":", " ").replace(",", " "))


def parse_frame_fields(text: str) -> bytes:
    """'type,selector[,body_hex[,length]]' (numbers in any base Python
    reads: 16, 0x10, 0o20) -> frame bytes."""
    parts = text.split(",")
    if not 2 <= len(parts) <= 4:
        raise ValueError(f"frame {text!r}: want type,selector[,body_hex[,length]]")
    msg_type, selector = int(parts[0], 0), int(parts[1], 0)
    body = parse_hex(parts[2]) if len(parts) > 2 and parts[2] else b""
    length = int(parts[3], 0) if len(parts) > 3 and parts[3] else None
    return frame(msg_type, selector, body, length=length)


class VtlTool:
    """One tool connection.

    rcvbuf: SO_RCVBUF set before connecting (a small one, with read=False,
        makes a tool that stops reading).
    read: collect the mirrored stream on a thread of its own (default); with
        False nothing is ever read from the socket.
    out: a file path (or binary file object) that receives the stream too.
    connect_timeout: how long to retry a refused connection (the daemon may
        still be starting); 0 tries once.
    """

    def __init__(self, host: str = "127.0.0.1", port: int = VTL_PORT, *, rcvbuf: int | None = None,
                 read: bool = True, out=None, connect_timeout: float = 5.0):
        self.host, self.port = host, port
        self._cond = threading.Condition()
        self._data = bytearray()
        self._eof = False
        self.error: OSError | None = None
        self._own_out = isinstance(out, (str, bytes)) or hasattr(out, "__fspath__")
        self._out = open(out, "wb") if self._own_out else out
        self.sock = self._connect(rcvbuf, connect_timeout)
        self._reader = None
        if read:
            self._reader = threading.Thread(target=self._read_loop, name=f"vtl-tool-{self.local_port}",
                                            daemon=True)
            self._reader.start()

    def _connect(self, rcvbuf, timeout) -> socket.socket:
        deadline = time.monotonic() + timeout
        while True:
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            if rcvbuf is not None:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
            try:
                sock.connect((self.host, self.port))
                return sock
            except ConnectionRefusedError:
                sock.close()
                if time.monotonic() >= deadline:
                    raise
                time.sleep(0.02)

    @property
    def local_port(self) -> int:
        return self.sock.getsockname()[1]

    # Sending ---------------------------------------------------------------

    def send(self, data: bytes) -> None:
        """Sends raw bytes (one or more frames, or a part of one)."""
        self.sock.sendall(bytes(data))

    def send_frame(self, msg_type: int, selector: int, body: bytes = b"", **fields) -> bytes:
        """Builds a frame (see frame()) and sends it; returns its bytes."""
        data = frame(msg_type, selector, body, **fields)
        self.send(data)
        return data

    def send_hex(self, text: str) -> bytes:
        data = parse_hex(text)
        self.send(data)
        return data

    # Receiving -------------------------------------------------------------

    def _read_loop(self):
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    break
                if self._out is not None:
                    self._out.write(chunk)
                    self._out.flush()
                with self._cond:
                    self._data += chunk
                    self._cond.notify_all()
        except OSError as exc:
            self.error = exc
        finally:
            with self._cond:
                self._eof = True
                self._cond.notify_all()

    @property
    def received(self) -> bytes:
        """Everything mirrored so far."""
        with self._cond:
            return bytes(self._data)

    @property
    def closed_by_peer(self) -> bool:
        with self._cond:
            return self._eof

    def wait_received(self, count: int, timeout: float = 5.0) -> bytes:
        """Waits until at least `count` bytes arrived; returns all so far."""
        return self._wait(lambda: len(self._data) >= count, timeout, f"{count} bytes")

    def wait_contains(self, data: bytes, timeout: float = 5.0) -> bytes:
        """Waits until the stream holds `data`; returns all so far."""
        data = bytes(data)
        return self._wait(lambda: self._data.find(data) >= 0, timeout, f"{data[:32]!r}")

    def wait_closed(self, timeout: float = 5.0) -> bytes:
        """Waits until the daemon ended the connection; returns the stream."""
        return self._wait(lambda: self._eof, timeout, "the end of the connection")

    def _wait(self, cond, timeout: float, what: str) -> bytes:
        if self._reader is None:
            raise RuntimeError("this tool does not read")
        deadline = time.monotonic() + timeout
        with self._cond:
            while not cond():
                left = deadline - time.monotonic()
                if left <= 0 or (self._eof and not cond()):
                    state = "connection ended" if self._eof else f"{timeout}s passed"
                    raise TimeoutError(f"tool: no {what} ({state}); got {len(self._data)} bytes: "
                                       f"{bytes(self._data[:64])!r}")
                self._cond.wait(left)
            return bytes(self._data)

    # Ending ------------------------------------------------------------------

    def close(self) -> None:
        """Closes the connection (the daemon sees the tool leave)."""
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        if self._reader is not None:
            self._reader.join(5)
        if self._own_out and self._out is not None:
            self._out.close()
            self._out = None

    def __enter__(self) -> "VtlTool":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description="Debug-tool client for the oam daemon's port 3333.")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=VTL_PORT)
    # Both kinds go into one list, so that the sends keep the order given.
    ap.add_argument("--hex", dest="sends", action="append", default=[], type=parse_hex, metavar="BYTES",
                    help="send these bytes (hex) as they are; may be repeated")
    ap.add_argument("--frame", dest="sends", action="append", type=parse_frame_fields,
                    metavar="TYPE,SEL[,BODY[,LEN]]", help="send a frame built from its fields; may be repeated")
    ap.add_argument("--gap", type=float, default=0.1,
                    help="seconds between sends, so that each is received on its own (default 0.1)")
    ap.add_argument("--out", help="write the mirrored stream to this file")
    ap.add_argument("--listen", type=float, default=1.0,
                    help="seconds to go on collecting after the last send (default 1)")
    opts = ap.parse_args(argv)

    with VtlTool(opts.host, opts.port, out=opts.out) as tool:
        for data in opts.sends:
            tool.send(data)
            print(f"sent {len(data)} bytes: {data[:32].hex(' ')}{' ...' if len(data) > 32 else ''}")
            time.sleep(opts.gap)
        end = time.monotonic() + opts.listen
        while time.monotonic() < end and not tool.closed_by_peer:
            time.sleep(0.05)
        got = tool.received
    print(f"received {len(got)} bytes of mirrored log data" + (f" (in {opts.out})" if opts.out else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
