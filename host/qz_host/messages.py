"""The message stage: device frames to ranging messages, skips counted.

Every frame goes through qz_packets the way a host is meant to use it:
``Header`` on the first 9 bytes and, for a "DW" frame, ``QZDWPacket`` on
the whole frame with a handler, then ``callback()``, which hands the
handler the sender's address, its anchor flag and its reports.

qz_packets checks record lengths and the magic with assertions, which
``python -O`` removes, and it checks no checksum. So every frame passes
``framing.check`` first (the magic, the type, the header's length against
the frame, the checksum when one is given, the report count against the
payload), and both modes accept and reject alike. A frame that fails is
skipped and counted under its reason; a heartbeat is a sound frame that
carries nothing to decode, counted apart. Every frame is decoded, a
heartbeat or skipped: nothing is dropped uncounted.

Raw distances become metres here (``distances``), with the capture's or
the session's unit.
"""

from __future__ import annotations

import statistics
from collections import Counter
from dataclasses import dataclass, field
from typing import Dict, List, Mapping, Optional, Sequence, Tuple

import qz_packets

from . import capture, frames, framing

DEFAULT_DIST_UNIT = 0.01  # metres per raw count: centimetres

# Why a frame line was skipped, in the order the checks run.
SKIP_REASONS: Dict[str, str] = {
    "bad line": "not a time and a frame",
    "bad time": "receive time is not a number",
    "bad hex": "frame is not hexadecimal",
    **framing.FRAME_SKIPS,
}

Skip = framing.Skip
Checksum = framing.Checksum
# What qz_packets raises on a frame it cannot decode: its own checks are
# assertions, a short record an IndexError, a bad type field a ValueError.
_DECODER_ERRORS = (AssertionError, IndexError, ValueError)


@dataclass(frozen=True)
class Message:
    """One decoded ranging message received at `time`: reports are (peer
    address, raw distance); `sequence` is the MAC sequence number,
    `transmitted` the device's transmit time (ticks, 0 where it gives
    none)."""

    time: float
    src: int
    is_anchor: bool
    reports: Tuple[Tuple[int, int], ...]
    sequence: int = 0
    transmitted: int = 0


def decode(time: float, frame: bytes, checksum: Optional[Checksum] = None) -> Optional[Message]:
    """The ranging message of one frame received at `time`, or None for a
    heartbeat; raises Skip for a frame that is not used. With `checksum`
    the footer must hold that checksum of the UWB frame."""
    if framing.check(frame, checksum) != frames.TYPE_DW:
        return None
    received: List[Tuple[int, bool, list]] = []

    def handler(src_addr: int, is_anchor: bool, reports: list) -> None:
        received.append((src_addr, is_anchor, reports))

    try:
        header = qz_packets.Header(frame[:frames.HEADER_LENGTH])
        packet = qz_packets.QZDWPacket(header, frame, callback=handler)
        packet.callback()
    except _DECODER_ERRORS:
        raise Skip("undecodable") from None
    if not received:
        raise Skip("raw payload")
    src, is_anchor, reports = received[0]
    payload = packet.uwb_payload  # a ranging message: the handler was called
    transmitted = payload.tx_ts if isinstance(payload, qz_packets.UWBRangingMessage) else 0
    return Message(time, src, is_anchor, tuple((r.addr, r.dist) for r in reports),
                   packet.uwb_header.seq_num, transmitted)


@dataclass
class FrameCounts:
    """Every frame is decoded, a heartbeat, or skipped; capture lines that
    hold no frame are comments."""

    lines: int = 0
    comments: int = 0
    decoded: int = 0
    heartbeats: int = 0  # sound frames that carry nothing to decode
    skipped: Counter = field(default_factory=Counter)  # frames by reason

    @property
    def read(self) -> int:
        """Frames read: each is decoded, a heartbeat or skipped."""
        return self.decoded + self.heartbeats + sum(self.skipped.values())

    frames = read


class MessageStage:
    """Frames or capture lines in, messages out, everything counted in
    `counts` (a FrameCounts, or any object with its fields)."""

    def __init__(self, counts: FrameCounts, checksum: Optional[Checksum] = None):
        self.counts = counts
        self.checksum = checksum

    def frame(self, time: float, frame: bytes) -> Optional[Message]:
        """The message of a frame, None when it carries none (counted)."""
        try:
            message = decode(time, frame, self.checksum)
        except Skip as skip:
            self.counts.skipped[skip.reason] += 1
            return None
        if message is None:
            self.counts.heartbeats += 1
        else:
            self.counts.decoded += 1
        return message

    def frame_line(self, text: str) -> Optional[capture.FrameLine]:
        """The frame of a capture line, None for a comment or a line that is
        not a frame line (counted)."""
        self.counts.lines += 1
        try:
            item = capture.parse_line(text)
        except capture.LineError as error:
            self.counts.skipped[error.reason] += 1
            return None
        if item is None:
            self.counts.comments += 1
        return item


def distances(reports: Sequence[Tuple[int, int]], index: Mapping[int, int],
              unit: float) -> Tuple[List[float], int]:
    """One distance per anchor in metres from a message's (peer, raw)
    reports, 0 for an anchor without one and the median of several, with
    the count of reports that name no anchor of `index` (address to slot)."""
    result = [0.0] * len(index)
    unknown = 0
    repeated: Optional[Dict[int, List[float]]] = None
    for peer, raw in reports:
        i = index.get(peer)
        if i is None:
            unknown += 1
        elif result[i] == 0.0:
            result[i] = raw * unit
        else:
            if repeated is None:
                repeated = {}
            repeated.setdefault(i, [result[i]]).append(raw * unit)
    if repeated:
        for i, values in repeated.items():
            result[i] = statistics.median(values)
    return result, unknown
