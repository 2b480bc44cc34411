"""Errors of a replay against the simulator's ground truth.

The comparison happens in the survey's own frame: the ground truth is moved
so that the first surveyed anchor is at the origin and the second lies on
the positive x axis, as AutoPos places them. Distances cannot tell a layout
from its mirror image, so the truth is also mirrored (y to -y) when that
brings the anchors closer to the survey.
"""

from __future__ import annotations

import bisect
import math
from dataclasses import dataclass, field
from typing import Dict, List, Mapping, Optional, Sequence, Tuple

from .replay import Replay
from .survey import Survey

Point = Tuple[float, float]


class EvaluationError(ValueError):
    """The ground truth does not match the replay well enough to compare."""


@dataclass(frozen=True)
class FrameMap:
    """Maps ground-truth coordinates into the survey's frame."""

    origin: Point
    cos: float
    sin: float
    mirrored: bool

    def __call__(self, x: float, y: float) -> Point:
        dx, dy = x - self.origin[0], y - self.origin[1]
        u = self.cos * dx + self.sin * dy
        v = -self.sin * dx + self.cos * dy
        return (u, -v) if self.mirrored else (u, v)


def survey_frame(truth: Mapping[int, Tuple[float, ...]], result: Survey) -> FrameMap:
    """The map of `truth` (address to x, y, ...) into the frame of `result`.
    Known anchors share the truth's frame: the map is the identity."""
    if result.known:
        return FrameMap((0.0, 0.0), 1.0, 0.0, False)
    first, second = result.addresses[0], result.addresses[1]
    for address in (first, second):
        if address not in truth:
            raise EvaluationError(f"the ground truth has no anchor {address:04X}, which "
                                  "fixes the survey's frame")
    (x0, y0), (x1, y1) = truth[first][:2], truth[second][:2]
    length = math.hypot(x1 - x0, y1 - y0)
    if length == 0:
        raise EvaluationError(f"anchors {first:04X} and {second:04X} coincide in the ground truth")
    cos, sin = (x1 - x0) / length, (y1 - y0) / length

    def misfit(candidate: FrameMap) -> float:
        return sum(math.dist(candidate(*truth[a][:2]), p)
                   for a, p in zip(result.addresses, result.positions) if a in truth)

    plain = FrameMap((x0, y0), cos, sin, False)
    mirror = FrameMap((x0, y0), cos, sin, True)
    return mirror if misfit(mirror) < misfit(plain) else plain


def percentile(values: Sequence[float], q: float) -> float:
    """The q-th percentile (0 to 100), interpolating between order statistics."""
    ordered = sorted(values)
    if not ordered:
        raise ValueError("percentile of no values")
    rank = q / 100 * (len(ordered) - 1)
    low = math.floor(rank)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (rank - low) * (ordered[high] - ordered[low])


def rms(values: Sequence[float]) -> float:
    return math.sqrt(math.fsum(v * v for v in values) / len(values))


def interpolate(track: Sequence[Tuple[float, float, float]], time: float,
                slack: float) -> Optional[Point]:
    """The (x, y) of a (time, x, y) track at `time`, or None when `time`
    lies more than `slack` seconds outside it."""
    times = [t for t, _, _ in track]
    i = bisect.bisect_left(times, time)
    if i < len(track) and times[i] == time:
        return track[i][1], track[i][2]
    if i == 0:
        return (track[0][1], track[0][2]) if times[0] - time <= slack else None
    if i == len(track):
        return (track[-1][1], track[-1][2]) if time - times[-1] <= slack else None
    (t0, x0, y0), (t1, x1, y1) = track[i - 1], track[i]
    f = (time - t0) / (t1 - t0)
    return x0 + f * (x1 - x0), y0 + f * (y1 - y0)


@dataclass
class TagErrors:
    count: int
    rms: float
    p95: float
    max: float


@dataclass
class Evaluation:
    frame: FrameMap
    anchors: Dict[int, Point]  # true anchors, in the survey's frame
    anchor_errors: Dict[int, float]  # surveyed anchors with a true position
    tracks: Dict[int, List[Tuple[float, float, float]]]  # true tracks, survey frame
    fix_truth: List[Optional[Point]] = field(default_factory=list)  # one per fix
    fix_errors: List[Optional[float]] = field(default_factory=list)  # one per fix
    tags: Dict[int, TagErrors] = field(default_factory=dict)


def evaluate(result: Replay, anchors: Mapping[int, Tuple[float, ...]],
             tracks: Mapping[int, Sequence[Tuple[float, float, float]]],
             slack: float = 0.5) -> Evaluation:
    """Survey and track errors of `result` against the ground truth."""
    if result.survey is None:
        raise EvaluationError("the replay has no survey to compare")
    frame = survey_frame(anchors, result.survey)
    mapped = {a: frame(*p[:2]) for a, p in anchors.items()}
    errors = {a: math.dist(mapped[a], p)
              for a, p in zip(result.survey.addresses, result.survey.positions) if a in mapped}
    true_tracks = {tag: [(t, *frame(x, y)) for t, x, y in rows] for tag, rows in tracks.items()}
    evaluation = Evaluation(frame, mapped, errors, true_tracks)
    per_tag: Dict[int, List[float]] = {}
    for fix in result.fixes:
        truth = true_tracks.get(fix.tag)
        where = interpolate(truth, fix.time, slack) if truth else None
        error = None if where is None else math.dist(where, (fix.x, fix.y))
        evaluation.fix_truth.append(where)
        evaluation.fix_errors.append(error)
        if error is not None:
            per_tag.setdefault(fix.tag, []).append(error)
    for tag, values in sorted(per_tag.items()):
        evaluation.tags[tag] = TagErrors(len(values), rms(values), percentile(values, 95),
                                         max(values))
    return evaluation
