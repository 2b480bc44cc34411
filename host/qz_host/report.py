"""The replay's summary as a text table, and its positions as CSV."""

from __future__ import annotations

import csv
from typing import List, Optional, Tuple

from .capture import PathLike
from .device_time import describe
from .evaluate import Evaluation
from .messages import SKIP_REASONS
from .replay import Replay
from .track_stage import Position


def summary(result: Replay, evaluation: Optional[Evaluation] = None, *,
            source: str = "", note: str = "") -> str:
    lines: List[str] = []
    c = result.counts
    checksum = f"{result.checksum} checksums checked" if result.check_fcs else "no checksums"
    lines.append(f"Capture  {source}  (distance unit {result.dist_unit:g} m, {checksum})")
    lines.append(f"Frames   {c.read} read, {c.decoded} decoded, {c.heartbeats} heartbeats, "
                 f"{sum(c.skipped.values())} skipped  ({c.lines} lines, {c.comments} comments)")
    for reason in SKIP_REASONS:
        if c.skipped[reason]:
            lines.append(f"  skipped {c.skipped[reason]:6d}  {reason:<15} {SKIP_REASONS[reason]}")
    lines.append("")

    s = result.survey
    if s is None:
        lines.append(f"Survey   failed: {result.survey_error}")
        return "\n".join(lines + ([note] if note else [])) + "\n"
    pairs = len(s.addresses) * (len(s.addresses) - 1) // 2
    mirrored = ""
    if evaluation is not None:
        mirrored = ", ground truth mirrored" if evaluation.frame.mirrored else ""
    if s.known:
        lines.append(f"Anchors  {len(s.addresses)} at known positions, not surveyed")
    else:
        lines.append(f"Survey   {len(s.addresses)} anchors, {pairs - len(s.missing)} of {pairs} "
                     f"pairs measured; {s.addresses[0]:04X} at the origin, {s.addresses[1]:04X} "
                     f"on +x{mirrored}")
    lines.append(f"  {'anchor':<8}{'x (m)':>9}{'y (m)':>9}{'error (m)':>11}")
    for address, (x, y) in zip(s.addresses, s.positions):
        error = evaluation.anchor_errors.get(address) if evaluation else None
        lines.append(f"  {address:04X}    {coordinate(x)}{coordinate(y)}{_metres(error):>11}")

    if s.offsets_note:
        lines.append(f"  {s.offsets_note}")
    for a, b in s.missing:
        lines.append(f"  pair {a:04X}-{b:04X} never measured: filled in from the survey")
    lines.append("")
    lines.extend(_site_lines(result))

    if result.layout_error is not None:
        lines.append(f"Tracks   not tracked: {result.layout_error}")
        return "\n".join(lines + ([note] if note else [])) + "\n"
    fixes = sum(t.fixes for t in result.tags.values())
    smoothed = ", smoothed" if result.smoothed else ""
    lines.append(f"Tracks   {len(result.tags)} tags, {fixes} fixes{smoothed}; "
                 f"range noise {result.sigma:.3f} m, {result.noise_source}")
    lines.append(f"  {'tag':<8}{'messages':>9}{'fixes':>7}{'no fix':>8}{'rejected':>9}"
                 f"{'seeds':>6}{'DOP max':>8}{'RMS (m)':>9}{'p95 (m)':>9}{'max (m)':>9}")
    for tag, counts in sorted(result.tags.items()):
        errors = evaluation.tags.get(tag) if evaluation else None
        stats = (errors.rms, errors.p95, errors.max) if errors else (None, None, None)
        dop = f"{counts.worst_dop:.2f}" if counts.fixes else "-"
        lines.append(f"  {tag:04X}    {counts.messages:9d}{counts.fixes:7d}{counts.no_fix:8d}"
                     f"{counts.rejected:9d}{counts.seeds:6d}{dop:>8}"
                     + "".join(f"{_metres(v):>9}" for v in stats))
    lines.append("  (no fix: messages whose ranges could not place the tag; rejected: ranges "
                 "taken for non-line-of-sight;")
    lines.append("   seeds: fits that started or restarted the tag's filter)")
    lines.extend(_offset_lines(result))
    late = sum(t.late for t in result.tags.values())
    if late:
        lines.append(f"  {late} messages older than their tag's previous one were left out")
    device = describe(result.tags)
    if device:
        lines.append(f"  device times: {device}")
    if result.unknown_peers:
        lines.append(f"  {result.unknown_peers} reports named devices that are not anchors")
    if note:
        lines.append(note)
    return "\n".join(lines) + "\n"


def _anchor_offsets(result: Replay):
    """Each anchor's range offset in use and its sd: the tracker's, else what
    the survey solved."""
    if result.anchor_offsets:
        return result.anchor_offsets
    s = result.survey
    if s is None or s.offsets is None or s.offset_sd is None:
        return {}
    return {a: (o, sd) for a, o, sd in zip(s.addresses, s.offsets, s.offset_sd) if o is not None}


def _site_lines(result: Replay) -> List[str]:
    """The site's frame as fitted, and what its zones saw."""
    frame = result.site_frame
    if frame is None:
        return []
    d = frame.describe()
    fit = (f", fitted to {len(frame.residuals)} known points with {frame.rms:.3f} m RMS"
           if frame.residuals else "")
    lines = [f"Site     frame {frame.name}: rotated {d['rotation_deg']:.2f} degrees, "
             f"{'mirrored, ' if d['mirrored'] else ''}shifted by ({d['shift'][0]:.3f}, "
             f"{d['shift'][1]:.3f}) m{fit}; positions are in it"]
    if result.zones:
        inside = "; ".join(f"{zone}: {', '.join(tags) or 'none'}"
                           for zone, tags in result.occupancy.items())
        lines.append(f"  {len(result.zones)} zones, {result.events} zone events; inside at the "
                     f"end: {inside or 'none'}")
    return lines + [""]


def _offset_lines(result: Replay) -> List[str]:
    """The range offsets in use, four to a line, anchors then tags."""
    found: List[str] = []
    for kind, offsets in (("anchors", _anchor_offsets(result)), ("tags", result.tag_offsets)):
        if not offsets:
            continue
        if not found:
            found.append(
                "Offsets  the range offsets in use (m, learned unless given, and their sd)"
            )
        cells = [f"{a:04X} {_offset(*o)}" for a, o in sorted(offsets.items())]
        for k in range(0, len(cells), 4):
            found.append(f"  {kind if k == 0 else '':<8}" + "   ".join(cells[k:k + 4]))
    return found


def _offset(value: float, sd: float) -> str:
    return f"{value:+.3f}±{sd:.3f}"


def coordinate(value: float) -> str:
    text = f"{value:9.3f}"
    # A tiny negative value (AutoPos's anchor 1 has y = -0.0 or -1e-7)
    # would print as "-0.000".
    return f"{0.0:9.3f}" if float(text) == 0 else text


def _metres(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:.3f}"


class PositionsWriter:
    """The positions CSV, a row per fix as it comes: time, tag, x, y in the
    anchors' frame, the fix's standard deviation, its DOP and the count of
    ranges used, and with the ground truth the true position in that frame
    and the error.

    A survey has a frame of its own (the first anchor at the origin, the
    second on +x), so there the true position is the ground truth moved into
    it, unlike the coordinates of the tracks file: the columns say so by
    their names, true_x_survey and true_y_survey. With known anchors the
    truth is not moved and the columns are true_x and true_y. With a site
    `frame`, the positions and the truth are in the site's frame
    (true_x_site, true_y_site), latitude and longitude follow x and y when
    the site has them (`geo`), and a last column names the frame."""

    def __init__(self, path: PathLike, *, truth: bool, known: bool,
                 frame: Optional[str] = None, geo: bool = False):
        self.truth = truth
        self.frame = frame
        self.geo = geo
        self.stream = open(path, "w", newline="", encoding="ascii")
        self.writer = csv.writer(self.stream, lineterminator="\n")
        header = ["time", "tag", "x", "y"] + (["lat", "lon"] if geo else [])
        header += ["sd", "dop", "used"]
        if truth:
            kind = "site" if frame is not None else (None if known else "survey")
            header += [f"true_x_{kind}", f"true_y_{kind}"] if kind else ["true_x", "true_y"]
            header += ["error"]
        self.writer.writerow(header + (["frame"] if frame is not None else []))

    def write(self, position: Position, truth: Optional[Tuple[float, float]] = None,
              error: Optional[float] = None) -> None:
        fix = position.fix
        row = [f"{fix.time:.6f}", f"{fix.tag:04X}", f"{position.x:.4f}", f"{position.y:.4f}"]
        if self.geo:
            site = position.site or {}
            row += [f"{site['lat']:.8f}", f"{site['lon']:.8f}"] if "lat" in site else ["", ""]
        row += [f"{fix.sd:.4f}", f"{fix.dop:.3f}", str(len(fix.used))]
        if self.truth:
            row += (["", "", ""] if truth is None or error is None else
                    [f"{truth[0]:.4f}", f"{truth[1]:.4f}", f"{error:.4f}"])
        self.writer.writerow(row + ([self.frame] if self.frame is not None else []))

    def close(self) -> None:
        self.stream.close()


def write_positions(
    path: PathLike, result: Replay, evaluation: Optional[Evaluation] = None
) -> None:
    """Every fix of `result` as the positions CSV (see PositionsWriter),
    with the true positions and errors of `evaluation`."""
    known = result.survey is not None and result.survey.known
    writer = PositionsWriter(path, truth=evaluation is not None, known=known)
    try:
        for i, fix in enumerate(result.fixes):
            position = Position(fix, 0.0, (), ())
            if evaluation is None:
                writer.write(position)
            else:
                writer.write(position, evaluation.fix_truth[i], evaluation.fix_errors[i])
    finally:
        writer.close()
