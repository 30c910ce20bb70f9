"""What the load generator (sim/loadgen.c) sends, and checks of what was
stored: sequence-numbered payloads, the records of a core's numbered log
files, and their order."""

from __future__ import annotations

import re
import struct
from dataclasses import dataclass
from pathlib import Path

SEQ_HDR = struct.Struct("<II")  # sequence number, stream number
WIFI_DATA_MAX = 2029
NODE_CHUNK_MAX = 2030
RECORD_HDR = 18
_CYCLE = bytes(range(256)) * 10  # the filler: byte i of message seq is (seq + i) & 0xFF


def payload_size(seq: int, size, most: int = WIFI_DATA_MAX) -> int:
    """Size of message `seq` for a --size of `size` (an int, or "mixed")."""
    if size != "mixed":
        return int(size)
    return SEQ_HDR.size + (seq * 397) % (most - SEQ_HDR.size + 1)


def payload(seq: int, stream: int, size, most: int = WIFI_DATA_MAX) -> bytes:
    """The bytes the load generator sends as message `seq` of `stream`."""
    n = payload_size(seq, size, most)
    start = (seq + SEQ_HDR.size) & 0xFF
    return SEQ_HDR.pack(seq & 0xFFFFFFFF, stream) + _CYCLE[start:start + n - SEQ_HDR.size]


def record_payloads(data: bytes) -> list[bytes]:
    """The payloads of the log records in `data`; raises ValueError on a
    byte that belongs to no whole record."""
    out = []
    off = 0
    while off < len(data):
        if len(data) - off < RECORD_HDR or data[off] != 0xAA or data[off + 1] != 0:
            raise ValueError(f"no record at offset {off}")
        length = data[off + 2] | data[off + 3] << 8
        if length <= RECORD_HDR or off + length > len(data):
            raise ValueError(f"bad record length {length} at offset {off}")
        out.append(data[off + RECORD_HDR:off + length])
        off += length
    return out


def stored_payloads(directory: Path, prefix: str) -> list[bytes]:
    """Every record payload of a core's numbered files, oldest file first."""
    numbered = []
    for path in Path(directory).iterdir():
        m = re.fullmatch(re.escape(prefix) + r"(\d+)", path.name)
        if m and path.is_file():
            numbered.append((int(m.group(1)), path))
    out = []
    for _, path in sorted(numbered, reverse=True):
        out += record_payloads(path.read_bytes())
    return out


@dataclass
class SeqCheck:
    stored: int = 0
    gaps: int = 0        # sequence numbers missing between stored ones
    duplicates: int = 0
    reordered: int = 0
    corrupt: int = 0     # payloads that are not what was sent

    @property
    def clean(self) -> bool:
        return not (self.duplicates or self.reordered or self.corrupt)


def check_stream(payloads: list[bytes], stream: int, size, most: int = WIFI_DATA_MAX) -> SeqCheck:
    """Checks the stored payloads of one stream: each exactly as sent, in
    rising sequence order, none twice."""
    res = SeqCheck()
    seen = set()
    last = -1
    for data in payloads:
        if len(data) < SEQ_HDR.size:
            continue
        seq, st = SEQ_HDR.unpack_from(data)
        if st != stream:
            continue
        res.stored += 1
        if data != payload(seq, stream, size, most):
            res.corrupt += 1
        if seq in seen:
            res.duplicates += 1
            continue
        seen.add(seq)
        if seq < last:
            res.reordered += 1
        else:
            res.gaps += seq - last - 1
            last = seq
    return res
