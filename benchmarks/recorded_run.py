"""Tracking accuracy on the recorded run of examples/ (real ranges, motion-
capture truth): the causal and the smoothed tracker, per-message least
squares and the per-fix Cramer-Rao bound of the ranges' white spread,
without calibration and calibrated on one half of the run (scored on the
other). Used by bench_tracking_recorded.py and by the regression test.

The tags' height is the run's (its description gives 0.97 m); nothing else
of the site goes in but its anchors file.
"""
from __future__ import annotations

import math
import pathlib
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

import numpy as np

from qz_host import capture, frames, messages
from qz_host.calibration import calibrate, samples_from_tracks
from qz_host.tracking import Tracker

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
NAME = "trolley-fast"
TAG_HEIGHT = 0.97
# Where the run is cut in two: the first part calibrates, the second scores.
SPLIT = 60.0


@dataclass
class Run:
    anchors: List[Tuple[float, float, float]]
    messages: List[Tuple[int, float, List[float]]]  # tag, time, distances
    truth: Dict[int, List[Tuple[float, float, float]]]  # tag: (time, x, y)


def load(name: str = NAME) -> Run:
    known = capture.read_anchors(EXAMPLES / f"{name}.anchors.csv")
    addresses = sorted(known)
    lines = capture.read_lines(EXAMPLES / f"{name}.qzcap")
    metadata = capture.read_metadata(lines)
    unit = capture.dist_unit(metadata["dist_unit_m"])
    stage = messages.MessageStage(messages.FrameCounts(), frames.checksum(metadata["fcs"]))
    index = {a: i for i, a in enumerate(addresses)}
    found = []
    for line in lines:
        item = stage.frame_line(line)
        m = stage.frame(item.time, item.frame) if item is not None else None
        if m is not None and not m.is_anchor:
            distances, _ = messages.distances(m.reports, index, unit)
            found.append((m.src, m.time, distances))
    return Run([tuple(known[a]) for a in addresses], found,  # type: ignore[misc]
               capture.read_tracks(EXAMPLES / f"{name}.tracks.csv"))


def truth_at(run: Run, tag: int, time: float) -> Optional[Tuple[float, float]]:
    found = samples_from_tracks([(tag, time, [])], run.truth, {})
    return found[0].position[:2] if found else None


@dataclass
class Score:
    rms: float
    p95: float
    worst: float
    tags: Dict[int, float]
    rejected: float = 0.0  # share of the ranges


def score(errors: Dict[int, List[float]], rejected: float = 0.0) -> Score:
    pooled = np.concatenate([np.array(v) for v in errors.values()])
    return Score(math.sqrt(np.mean(pooled ** 2)), float(np.percentile(pooled, 95)),
                 float(pooled.max()), {t: math.sqrt(np.mean(np.square(v)))
                                       for t, v in sorted(errors.items())}, rejected)


def track(run: Run, *, start: float = 0.0, smooth: bool = False, anchor_offsets=None,
          tags=None, **options) -> Score:
    """The tracker over the whole run, scored from `start` on."""
    tracker = Tracker(run.anchors, height=TAG_HEIGHT, anchor_offsets=anchor_offsets, tags=tags,
                      history=smooth, **options)
    kept, ranges = [], 0
    for tag, time, distances in run.messages:
        ranges += sum(1 for d in distances if d > 0)
        fix = tracker.update(tag, time, distances)
        if fix is not None:
            kept.append(fix)
    fixes = tracker.smoothed() if smooth else kept
    errors: Dict[int, List[float]] = {}
    for fix in fixes:
        where = truth_at(run, fix.tag, fix.time)
        if fix.time >= start and where is not None:
            errors.setdefault(fix.tag, []).append(math.dist((fix.x, fix.y), where))
    return score(errors, sum(tracker.rejected.values()) / ranges)


def least_squares(run: Run, *, start: float = 0.0, offsets=None, tag_offsets=None) -> Score:
    """A plain per-message least-squares fix (Gauss-Newton from the anchors'
    centroid, 3-D ranges, no outlier handling), the baseline."""
    a = np.array(run.anchors)
    errors: Dict[int, List[float]] = {}
    for tag, time, distances in run.messages:
        where = truth_at(run, tag, time)
        if time < start or where is None:
            continue
        d = np.array(distances)
        if offsets is not None:
            d = np.where(d > 0, d - np.array(offsets) - tag_offsets.get(tag, 0.0), 0.0)
        used = d > 0
        if used.sum() < 3:
            continue
        p = a[used, :2].mean(axis=0)
        for _ in range(10):
            delta = p - a[used, :2]
            r = np.sqrt((delta ** 2).sum(1) + (a[used, 2] - TAG_HEIGHT) ** 2)
            step = np.linalg.lstsq(delta / r[:, None], d[used] - r, rcond=None)[0]
            p = p + step
        errors.setdefault(tag, []).append(math.dist(p, where))
    return score(errors)


def bound(run: Run, sigma: float, *, start: float = 0.0) -> float:
    """RMS of the per-fix Cramer-Rao bound: sigma^2 (H^T H)^-1 at the true
    position, H the planar parts of the unit vectors of the ranges present."""
    a = np.array(run.anchors)
    traces = []
    for tag, time, distances in run.messages:
        where = truth_at(run, tag, time)
        if time < start or where is None:
            continue
        used = np.array(distances) > 0
        delta = np.array(where) - a[used, :2]
        r = np.sqrt((delta ** 2).sum(1) + (a[used, 2] - TAG_HEIGHT) ** 2)
        h = delta / r[:, None]
        traces.append(sigma ** 2 * np.trace(np.linalg.inv(h.T @ h)))
    return math.sqrt(np.mean(traces))


def calibrated(run: Run, before: float = SPLIT):
    """The calibration of the run's part before `before` s: anchor offsets
    and tag offsets, with the whole Calibration."""
    part = [m for m in run.messages if m[1] < before]
    samples = samples_from_tracks(part, run.truth, {}, default_height=TAG_HEIGHT)
    result = calibrate(samples, run.anchors)
    return [v for v, _ in result.anchors], {t: v for t, (v, _) in result.tags.items()}, result


def table(run: Run) -> List[Tuple[str, str, Score]]:
    """Every row of the accuracy table: (method, calibration, score), all
    scored on the second part of the run."""
    offsets, tag_offsets, result = calibrated(run)
    tags = {t: (None, v) for t, v in tag_offsets.items()}
    white = result.after[0]
    rows = [
        ("causal", "none", track(run, start=SPLIT)),
        ("smoothed", "none", track(run, start=SPLIT, smooth=True)),
        ("least squares", "none", least_squares(run, start=SPLIT)),
        ("causal", "first part", track(run, start=SPLIT, anchor_offsets=offsets, tags=tags)),
        ("smoothed", "first part", track(run, start=SPLIT, smooth=True,
                                         anchor_offsets=offsets, tags=tags)),
        ("least squares", "first part", least_squares(run, start=SPLIT, offsets=offsets,
                                                      tag_offsets=tag_offsets)),
    ]
    b = bound(run, white, start=SPLIT)
    rows.append((f"bound (white {white:.3f} m)", "-", Score(b, math.nan, math.nan, {})))
    return rows
