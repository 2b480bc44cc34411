"""The summary a live session prints when it stops, read from its counters."""

from __future__ import annotations

from typing import List, Optional

from .framing import FRAME_SKIPS, STREAM_SKIPS
from .live_counters import LiveCounters
from .pipeline import LivePipeline
from .replay import SKIP_REASONS
from .report import _coordinate

_REASONS = {**SKIP_REASONS, **FRAME_SKIPS, **STREAM_SKIPS}


def summary(c: LiveCounters, pipeline: LivePipeline, *, source: str,
            anchors_from: Optional[str] = None) -> str:
    checksum = (f"{pipeline.checksum_name} checksums checked" if pipeline.checksum
                else "no checksums")
    lines: List[str] = [
        f"Live     {source}  (distance unit {pipeline.dist_unit:g} m, {checksum})",
        f"Frames   {c.frames} received, {c.decoded} decoded, {c.heartbeats} heartbeats, "
        f"{sum(c.skipped.values())} skipped  ({c.bytes_read} bytes, "
        f"{c.bytes_skipped} outside frames)",
    ]
    for reason, count in sorted(c.skipped.items(), key=lambda item: -item[1]):
        lines.append(f"  skipped {count:6d}  {reason:<15} {_REASONS.get(reason, '')}")
    anchors = pipeline.anchors
    if anchors is None:
        heard = pipeline.survey.anchors if pipeline.survey is not None else set()
        short = pipeline.survey.short_pairs() if pipeline.survey is not None else []
        if len(heard) < 3:
            why = "fewer than 3 anchors heard"
        else:
            why = ", ".join(f"{a:04X}-{b:04X}" for a, b in short) + " short of samples"
        lines.append(f"Anchors  not surveyed: {why}")
    else:
        how = f"from {anchors_from}" if anchors_from else "surveyed"
        lines.append(f"Anchors  {len(anchors)} {how}: "
                     + ", ".join(f"{a:04X} ({_coordinate(x).strip()}, {_coordinate(y).strip()})"
                                 for a, (x, y, _) in sorted(anchors.items())))
    tags = sorted(set(c.fixes) | set(c.too_few) | set(c.rejected) | set(c.late))
    noise = f", ranging noise {pipeline.sigma:.4f} m" if pipeline.sigma is not None else ""
    lines.append(f"Tracks   {len(tags)} tags, {sum(c.fixes.values())} fixes, "
                 f"{c.tags_live} live, {c.tags_timed_out} timed out{noise}")
    lines.append(f"  {'tag':<8}{'fixes':>7}{'no fix':>8}{'rejected':>10}{'late':>6}")
    for tag in tags:
        lines.append(f"  {tag:04X}    {c.fixes[tag]:7d}{c.too_few[tag]:8d}"
                     f"{c.rejected.get(tag, 0):10d}{c.late[tag]:6d}")
    if c.unknown_peers:
        lines.append(f"  {c.unknown_peers} reports named devices that are not anchors")
    reconnects = ", ".join(f"{name} {n}" for name, n in sorted(c.reconnects.items()))
    dropped = ", ".join(f"{name} {n}" for name, n in sorted(c.dropped.items()) if n)
    lines.append(f"Faults   reconnects: {reconnects or 'none'}; dropped: {dropped or 'none'}")
    if c.published:
        lines.append(f"MQTT     {c.published} fixes acknowledged by the broker")
    return "\n".join(lines) + "\n"
