"""The summary a live session prints when it stops, read from its counters."""

from __future__ import annotations

from typing import List, Optional

from .device_time import describe
from .framing import STREAM_SKIPS
from .live_counters import LiveCounters
from .messages import SKIP_REASONS
from .pipeline import Pipeline
from .report import coordinate

_REASONS = {**SKIP_REASONS, **STREAM_SKIPS}


def summary(c: LiveCounters, pipeline: Pipeline, *, source: str,
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
                     + ", ".join(f"{a:04X} ({coordinate(x).strip()}, {coordinate(y).strip()})"
                                 for a, (x, y, _) in sorted(anchors.items())))
    lines += _site_lines(c, pipeline)
    tags = {tag: t for tag, t in sorted(c.tags.items())
            if t.fixes or t.no_fix or t.rejected or t.late}
    noise = f", ranging noise {pipeline.sigma:.4f} m" if pipeline.sigma is not None else ""
    lines.append(f"Tracks   {len(tags)} tags, {sum(t.fixes for t in tags.values())} fixes, "
                 f"{c.tags_live} live, {c.tags_timed_out} timed out{noise}")
    lines.append(f"  {'tag':<8}{'fixes':>7}{'no fix':>8}{'rejected':>10}{'late':>6}")
    for tag, t in tags.items():
        lines.append(f"  {tag:04X}    {t.fixes:7d}{t.no_fix:8d}{t.rejected:10d}{t.late:6d}")
    if c.unknown_peers:
        lines.append(f"  {c.unknown_peers} reports named devices that are not anchors")
    device = describe(c.tags)
    if device:
        lines.append(f"Device   {device}")
    reconnects = ", ".join(f"{name} {n}" for name, n in c.reconnects().items())
    dropped = ", ".join(f"{name} {n}" for name, n in c.drops().items() if n)
    lines.append(f"Faults   reconnects: {reconnects or 'none'}; dropped: {dropped or 'none'}")
    if c.published:
        lines.append(f"MQTT     {c.published} fixes acknowledged by the broker")
    return "\n".join(lines) + "\n"


def _site_lines(c: LiveCounters, pipeline: Pipeline) -> List[str]:
    """The site frame the outputs are in, and what its zones saw."""
    stage = pipeline.site_stage
    if stage is None:
        return []
    frame = stage.frame
    fit = (f", fitted to {len(frame.residuals)} known points with {frame.rms:.3f} m RMS"
           if frame.residuals else "")
    lines = [f"Site     frame {frame.name}{fit}; positions are in it"]
    if stage.zones.zones:
        inside = "; ".join(f"{zone}: {', '.join(tags) or 'none'}"
                           for zone, tags in stage.occupancy().items())
        lines.append(f"  {len(stage.zones.zones)} zones, {c.zone_events} zone events; "
                     f"inside at the end: {inside}")
    return lines
