"""The host pipeline: capture lines to decoded messages to survey to tracks.

Every frame goes through qz_packets the way a live host would use it:
``Header`` on the first 9 bytes and, for a "DW" frame, ``QZDWPacket`` on
the whole frame with a handler, then ``callback()``, which hands the handler
the sender's address, its anchor flag and its reports.

qz_packets checks record lengths and the magic with assertions, which
``python -O`` removes, and it checks no checksum. So every frame passes
``framing.check`` before it is handed over (the magic, the type, the
header's length against the line, the checksum when the capture declares
one, the report count against the payload) and a replay counts the same
in both modes. A line that fails is skipped and counted under its reason;
nothing stops the replay and nothing is dropped uncounted: every frame line
is either decoded or skipped.

Anchor messages feed the inter-anchor distance table; when the capture is
read the anchors are surveyed with AutoPos and every tag message, in
capture order, becomes one fix from the PositionEngine. Raw distances are
converted into metres here, with the capture's ``dist_unit_m``.
"""

from __future__ import annotations

import math
import statistics
from collections import Counter
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

import qz_packets

from . import capture, framing, frames
from .geometry import layout_problem
from .survey import MIN_ANCHORS, DistanceTable, Survey, SurveyError, known_anchors, survey
from .tracking import Tracker, TrackFix, range_noise

DEFAULT_DIST_UNIT = 0.01  # metres per raw count: centimetres

# Why a frame line was skipped, in the order the checks run.
SKIP_REASONS: Dict[str, str] = {
    "bad line": "not a time and a frame",
    "bad time": "receive time is not a number",
    "bad hex": "frame is not hexadecimal",
    **framing.FRAME_SKIPS,
}

Progress = Callable[[str, int, int], None]
# What qz_packets raises on a frame it cannot decode: its own checks are
# assertions, a short record an IndexError, a bad type field a ValueError.
_DECODER_ERRORS = (AssertionError, IndexError, ValueError)


Skip = framing.Skip


@dataclass(frozen=True)
class Message:
    """One decoded ranging message: reports are (peer address, raw distance)."""

    time: float
    src: int
    is_anchor: bool
    reports: Tuple[Tuple[int, int], ...]


@dataclass
class FrameCounts:
    """Every frame line read is decoded, a heartbeat, or skipped."""

    lines: int = 0
    comments: int = 0
    read: int = 0
    decoded: int = 0
    heartbeats: int = 0  # sound frames that carry nothing to decode
    skipped: Counter = field(default_factory=Counter)

    def skip(self, reason: str) -> None:
        self.skipped[reason] += 1


def decode(frame: bytes, *, check_fcs: bool = False,
           checksum: Callable[[bytes], int] = frames.fcs
           ) -> Tuple[int, bool, Tuple[Tuple[int, int], ...]]:
    """(src_addr, is_anchor, reports) of one ranging frame; raises Skip.
    With `check_fcs` the footer must hold `checksum` of the UWB frame."""
    if framing.check(frame, checksum if check_fcs else None) != frames.TYPE_DW:
        raise Skip("heartbeat")
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
    return src, is_anchor, tuple((r.addr, r.dist) for r in reports)


def read_messages(lines: Sequence[str], counts: FrameCounts, *, check_fcs: bool,
                  checksum: Callable[[bytes], int] = frames.fcs,
                  progress: Optional[Progress] = None) -> List[Message]:
    """The ranging messages of a capture's lines; skips are counted."""
    messages = []
    for number, line in enumerate(lines, 1):
        counts.lines += 1
        if progress is not None:
            progress("decode", number, len(lines))
        try:
            item = capture.parse_line(line)
        except capture.LineError as error:
            counts.read += 1
            counts.skip(error.reason)
            continue
        if item is None:
            counts.comments += 1
            continue
        counts.read += 1
        try:
            src, is_anchor, reports = decode(item.frame, check_fcs=check_fcs, checksum=checksum)
        except Skip as skip:
            if skip.reason == "heartbeat":
                counts.heartbeats += 1
            else:
                counts.skip(skip.reason)
            continue
        counts.decoded += 1
        messages.append(Message(item.time, src, is_anchor, reports))
    return messages


# A replay's fixes are the tracker's.
Fix = TrackFix


@dataclass
class TagCounts:
    messages: int = 0
    fixes: int = 0
    no_fix: int = 0  # messages whose ranges could not fix the tag
    rejected: int = 0  # ranges rejected (non-line-of-sight or unusable)
    seeds: int = 0  # times the filter was (re)started from a per-fix fit
    late: int = 0  # messages older than the tag's previous one
    worst_dop: float = 0.0


@dataclass
class Replay:
    """What a replay found; positions in metres in the survey's frame."""

    counts: FrameCounts
    dist_unit: float
    check_fcs: bool
    checksum: str = frames.FCS_NAME  # the checksum's name, checked or not
    survey: Optional[Survey] = None
    survey_error: Optional[str] = None
    fixes: List[TrackFix] = field(default_factory=list)
    filtered: List[TrackFix] = field(default_factory=list)  # causal, as tracked
    smoothed: bool = False  # fixes are the filtered ones smoothed
    sigma: float = 0.0  # ranging noise the tracker assumed (m)
    layout_error: Optional[str] = None
    tags: Dict[int, TagCounts] = field(default_factory=dict)
    unknown_peers: int = 0


def replay(lines: Iterable[str], *, dist_unit: Optional[float] = None,
           check_fcs: Optional[bool] = None, progress: Optional[Progress] = None,
           anchors: Optional[Mapping[int, Sequence[float]]] = None, smooth: bool = False,
           **tracker_options) -> Replay:
    """Replays capture lines. `dist_unit` (metres per raw count) defaults to
    the capture's metadata, then to centimetres. Checksums are checked when
    the capture declares one, with the checksum it names; `check_fcs` True
    checks them anyway (the 802.15.4 FCS when none is declared) and False
    never. A declared checksum of an unknown name raises ValueError unless
    `check_fcs` is False. Known `anchors` (address to x, y, ...) in metres
    replace the survey, so a capture without anchor messages can be tracked
    too. With `smooth` the fixes are smoothed over each tag's whole track.
    `tracker_options` go to the Tracker; its ranging noise defaults to the
    spread of the anchors' repeated ranges of one another."""
    lines = list(lines)
    metadata = capture.read_metadata(lines)
    if dist_unit is None:
        text = metadata.get("dist_unit_m", str(DEFAULT_DIST_UNIT))
        try:
            dist_unit = float(text)
        except ValueError:
            raise ValueError(f"the capture's dist_unit_m {text!r} is not a number") from None
    if not (dist_unit > 0 and math.isfinite(dist_unit)):
        raise ValueError(f"the distance unit must be positive and finite, got {dist_unit}")
    declared = metadata.get("fcs")
    if check_fcs is None:
        check_fcs = declared is not None
    name = frames.FCS_NAME if declared is None else declared
    checksum: Callable[[bytes], int] = frames.fcs
    if check_fcs:
        try:
            checksum = frames.checksum(name)
        except ValueError as error:
            raise ValueError(f"the capture declares an {error}") from None
    result = Replay(FrameCounts(), dist_unit, check_fcs, name)
    messages = read_messages(lines, result.counts, check_fcs=check_fcs, checksum=checksum,
                             progress=progress)

    table = _distance_table(messages, result, dist_unit)
    try:
        if anchors is not None:
            result.survey = known_anchors(anchors)
        else:
            result.survey = survey(table)
    except SurveyError as error:
        result.survey_error = _survey_failure(error, messages, result.counts)
        return result

    result.layout_error = layout_problem(result.survey.positions)
    if result.layout_error is not None:
        return result
    _track(result, messages, table, smooth, progress, tracker_options)
    return result


def _track(result: Replay, messages: List[Message], table: DistanceTable, smooth: bool,
           progress: Optional[Progress], options: dict) -> None:
    survey_result = result.survey
    assert survey_result is not None
    index = {address: i for i, address in enumerate(survey_result.addresses)}
    count = len(index)
    unit = result.dist_unit
    if "sigma" not in options:
        # rounding to the distance unit is part of the noise
        floor = unit / math.sqrt(12.0)
        options["sigma"] = max(range_noise(table.samples.values()), floor)
    result.sigma = options["sigma"]
    tracker = Tracker(survey_result.positions, history=smooth, **options)
    tag_messages = [m for m in messages if not m.is_anchor]
    total = len(tag_messages)
    tags = result.tags
    fixes = result.filtered
    for done, m in enumerate(tag_messages, 1):
        if progress is not None:
            progress("track", done, total)
        tag = tags.get(m.src)
        if tag is None:
            tag = tags[m.src] = TagCounts()
        tag.messages += 1
        distances, unknown = message_distances(m.reports, index, unit)
        result.unknown_peers += unknown
        try:
            fix = tracker.update(m.src, m.time, distances)
        except ValueError:
            tag.late += 1
            continue
        if fix is None:
            tag.no_fix += 1
            continue
        tag.fixes += 1
        if fix.dop > tag.worst_dop:
            tag.worst_dop = fix.dop
        fixes.append(fix)
    for address, rejected in tracker.rejected.items():
        tags[address].rejected = rejected
    for address, seeds in tracker.seeds.items():
        tags[address].seeds = seeds
    result.smoothed = smooth
    result.fixes = tracker.smoothed() if smooth else fixes


def message_distances(reports: Sequence[Tuple[int, int]], index: Mapping[int, int],
                      unit: float) -> Tuple[List[float], int]:
    """One distance per anchor in metres from a message's (peer, raw)
    reports, 0 for an anchor without one and the median of several, with
    the count of reports that name no anchor of `index` (address to slot)."""
    distances = [0.0] * len(index)
    unknown = 0
    repeated: Optional[Dict[int, List[float]]] = None
    for peer, raw in reports:
        i = index.get(peer)
        if i is None:
            unknown += 1
        elif distances[i] == 0.0:
            distances[i] = raw * unit
        else:
            if repeated is None:
                repeated = {}
            repeated.setdefault(i, [distances[i]]).append(raw * unit)
    if repeated:
        for i, values in repeated.items():
            distances[i] = statistics.median(values)
    return distances, unknown


def _distance_table(messages: Sequence[Message], result: Replay,
                    dist_unit: float) -> DistanceTable:
    anchors = {m.src for m in messages if m.is_anchor}
    table = DistanceTable()
    for m in messages:
        if m.is_anchor:
            for peer, raw in m.reports:
                if peer in anchors and peer != m.src:
                    table.add(m.src, peer, raw * dist_unit)
                else:
                    result.unknown_peers += 1
    table.addresses.update(anchors)
    return table


def _survey_failure(error: SurveyError, messages: Sequence[Message], counts: FrameCounts) -> str:
    """Why the anchors could not be placed, naming what the capture lacks."""
    if counts.read == 0:
        return "the capture holds no frames"
    if not messages:
        return f"{error}: none of the capture's {counts.read} frames is a ranging message"
    anchors = sorted({m.src for m in messages if m.is_anchor})
    peers = sorted({peer for m in messages if not m.is_anchor for peer, _ in m.reports}
                   - set(anchors))
    text = str(error)
    if len(anchors) < MIN_ANCHORS:
        heard = ", ".join(f"{a:04X}" for a in anchors) or "none"
        text += f" (anchor messages from: {heard})"
        if peers:
            text += ("; the tags range to " + ", ".join(f"{a:04X}" for a in peers)
                     + ", which sent no anchor messages")
    return text


def replay_file(path: capture.PathLike, **options) -> Replay:
    with open(path, encoding="ascii", errors="replace") as source:
        return replay(source, **options)
