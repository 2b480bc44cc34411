"""Frame checks and the stream framer, shared by the replay and the live host.

qz_packets checks record lengths, the magic and the type with assertions,
which ``python -O`` removes, and it checks no checksum. ``check`` runs
those checks and the rest (the header's length against the frame, the
checksum when there is one, the report count against the payload) before a
frame reaches qz_packets, so both modes accept and reject alike.

``StreamFramer`` cuts frames out of a byte stream that carries them back to
back with possibly garbage between them (line noise, a device reset in the
middle of a frame). It looks for the magic, reads the header, cuts the
frame by the header's length and checks it; on any failure it
resynchronises at the next magic after the failed one. No frame is cut
from an unbounded buffer: a header announcing more than ``max_length``
bytes is a framing error. Without a checksum a frame torn by a reset can
swallow the start of the frame after it; with one the torn frame fails and
the next frame is found inside it.
"""

from __future__ import annotations

from collections import Counter
from typing import Callable, Dict, List, Optional

from . import frames

Checksum = Callable[[bytes], int]

# Why a frame was rejected, in the order ``check`` runs. (A heartbeat is a
# sound frame with nothing to decode: counted apart, never rejected.)
FRAME_SKIPS: Dict[str, str] = {
    "short header": "shorter than the 9-byte header",
    "bad magic": "does not start with @QZ@",
    "unknown type": "type is neither DW nor HB",
    "length mismatch": "header length differs from the frame's",
    "short frame": "DW frame shorter than 39 bytes",
    "fcs mismatch": "checksum does not match",
    "undecodable": "qz_packets rejected the frame",
    "raw payload": "payload is not a ranging message",
    "count mismatch": "report count differs from the payload",
}
# Rejections that only a byte stream has.
STREAM_SKIPS: Dict[str, str] = {
    "bad length": "header length outside 9 bytes to the maximum frame",
}

# The longest frame the framer accepts: a ranging message with the most
# reports its count byte can announce.
MAX_FRAME_LENGTH = (frames.MIN_DW_FRAME_LENGTH + frames.RANGING_MESSAGE_HEADER_LENGTH
                    + frames.RANGING_REPORT_LENGTH * frames.MAX_REPORTS)

_TYPES = (frames.TYPE_DW.encode("ascii"), frames.TYPE_HB.encode("ascii"))
_TYPE_FIELD = slice(frames.TYPE_OFFSET, frames.TYPE_OFFSET + len(frames.TYPE_DW))
_LENGTH_FIELD = slice(frames.PACKET_LEN_OFFSET, frames.PACKET_LEN_OFFSET + 2)


class Skip(Exception):
    """A frame that is not used, with the reason (a key of FRAME_SKIPS or
    STREAM_SKIPS)."""

    def __init__(self, reason: str):
        super().__init__(reason)
        self.reason = reason


def check(frame: bytes, checksum: Optional[Checksum] = None) -> str:
    """The type of a well-formed frame, "DW" or "HB"; raises Skip.

    `checksum`, when given, computes the footer of a DW frame from its UWB
    bytes (frame bytes 19 up to the footer)."""
    if len(frame) < frames.HEADER_LENGTH:
        raise Skip("short header")
    if frame[:len(frames.MAGIC)] != frames.MAGIC:
        raise Skip("bad magic")
    kind = frame[_TYPE_FIELD]
    if kind not in _TYPES:
        raise Skip("unknown type")
    if int.from_bytes(frame[_LENGTH_FIELD], "little") != len(frame):
        raise Skip("length mismatch")
    if kind != _TYPES[0]:
        return frames.TYPE_HB
    if len(frame) < frames.MIN_DW_FRAME_LENGTH:
        raise Skip("short frame")
    if checksum is not None:
        uwb = frame[frames.UWB_OFFSET:-frames.UWB_FOOTER_LENGTH]
        if checksum(uwb) != int.from_bytes(frame[-frames.UWB_FOOTER_LENGTH:], "little"):
            raise Skip("fcs mismatch")
    if frame[frames.MESSAGE_TYPE_OFFSET] == frames.MESSAGE_TYPE_RANGING:
        # A short ranging payload decodes without error under python -O.
        payload_length = len(frame) - frames.MIN_DW_FRAME_LENGTH
        if payload_length < frames.RANGING_MESSAGE_HEADER_LENGTH:
            raise Skip("count mismatch")
        cnt = frame[frames.RANGING_COUNT_OFFSET]
        if payload_length != (frames.RANGING_MESSAGE_HEADER_LENGTH
                              + frames.RANGING_REPORT_LENGTH * cnt):
            raise Skip("count mismatch")
    return frames.TYPE_DW


class StreamFramer:
    """Cuts checked frames out of a byte stream fed in pieces.

    ``skipped`` counts rejected frames by reason and ``skipped_bytes`` every
    byte that is not part of a returned frame, so that the bytes fed always
    equal the bytes returned plus ``skipped_bytes`` plus ``pending``.
    `skipped` may be a Counter shared with other stages."""

    def __init__(self, checksum: Optional[Checksum] = None,
                 max_length: int = MAX_FRAME_LENGTH, skipped: Optional[Counter] = None):
        if max_length < frames.HEADER_LENGTH:
            raise ValueError(f"max_length must be at least {frames.HEADER_LENGTH}, "
                             f"got {max_length}")
        self.checksum = checksum
        self.max_length = max_length
        self.skipped: Counter = Counter() if skipped is None else skipped
        self.skipped_bytes = 0
        self._buffer = bytearray()

    @property
    def pending(self) -> int:
        """Bytes held back: the start of a frame or of a magic."""
        return len(self._buffer)

    def discard(self) -> int:
        """Drops the bytes held back (the stream broke off); their number."""
        count = len(self._buffer)
        self.skipped_bytes += count
        self._buffer.clear()
        return count

    def feed(self, data: bytes) -> List[bytes]:
        """The frames completed by `data`, in stream order."""
        buffer = self._buffer
        buffer += data
        found: List[bytes] = []
        pos = 0
        while True:
            start = buffer.find(frames.MAGIC, pos)
            if start < 0:
                # Keep what could be the start of a magic.
                keep = max(pos, len(buffer) - (len(frames.MAGIC) - 1))
                self.skipped_bytes += keep - pos
                pos = keep
                break
            self.skipped_bytes += start - pos
            pos = start
            if len(buffer) - start < frames.HEADER_LENGTH:
                break
            header = buffer[start:start + frames.HEADER_LENGTH]
            length = int.from_bytes(header[_LENGTH_FIELD], "little")
            reason = None
            if header[_TYPE_FIELD] not in _TYPES:
                reason = "unknown type"
            elif not frames.HEADER_LENGTH <= length <= self.max_length:
                reason = "bad length"
            elif len(buffer) - start < length:
                break
            else:
                frame = bytes(buffer[start:start + length])
                try:
                    check(frame, self.checksum)
                except Skip as skip:
                    reason = skip.reason
                else:
                    found.append(frame)
                    pos = start + length
                    continue
            self.skipped[reason] += 1
            self.skipped_bytes += 1
            pos = start + 1
        del buffer[:pos]
        return found
