"""Errors of a replay against the simulator's ground truth.

The comparison happens in the survey's own frame: the ground truth is moved
there by the rotation and translation that fit the true anchors best to the
surveyed ones (least squares over every anchor both know). Distances cannot
tell a layout from its mirror image, so the fit is also tried with the
truth mirrored, and the better one is taken. When the anchors cannot tell
the two apart (a nearly collinear layout fits both alike), the tracks
decide.
"""

from __future__ import annotations

import bisect
import math
from dataclasses import dataclass, field
from typing import Dict, List, Mapping, Optional, Sequence, Tuple

from .replay import Replay
from .survey import Survey

Point = Tuple[float, float]

# Anchor fits whose RMS misfits differ by less than this (m) cannot tell a
# layout from its mirror image.
AMBIGUOUS_MISFIT = 0.05


class EvaluationError(ValueError):
    """The ground truth does not match the replay well enough to compare."""


@dataclass(frozen=True)
class FrameMap:
    """Maps ground-truth coordinates into the survey's frame: mirrored
    (y to -y) first when `mirrored`, then rotated by (cos, sin), then
    shifted by `shift`."""

    cos: float
    sin: float
    mirrored: bool
    shift: Point = (0.0, 0.0)

    def __call__(self, x: float, y: float) -> Point:
        if self.mirrored:
            y = -y
        return (self.cos * x - self.sin * y + self.shift[0],
                self.sin * x + self.cos * y + self.shift[1])


def fit_frame(truth: Sequence[Point], surveyed: Sequence[Point], mirrored: bool) -> FrameMap:
    """The rotation and translation (after the mirror when `mirrored`) that
    map `truth` onto `surveyed` with the least sum of squared distances."""
    n = len(truth)
    source = [(x, -y) if mirrored else (x, y) for x, y in truth]
    sx = math.fsum(x for x, _ in source) / n
    sy = math.fsum(y for _, y in source) / n
    tx = math.fsum(x for x, _ in surveyed) / n
    ty = math.fsum(y for _, y in surveyed) / n
    dot = math.fsum((a - sx) * (c - tx) + (b - sy) * (d - ty)
                    for (a, b), (c, d) in zip(source, surveyed))
    cross = math.fsum((a - sx) * (d - ty) - (b - sy) * (c - tx)
                      for (a, b), (c, d) in zip(source, surveyed))
    angle = math.atan2(cross, dot)
    cos, sin = math.cos(angle), math.sin(angle)
    shift = (tx - (cos * sx - sin * sy), ty - (sin * sx + cos * sy))
    return FrameMap(cos, sin, mirrored, shift)


def _misfit(frame: FrameMap, truth: Sequence[Point], surveyed: Sequence[Point]) -> float:
    return math.sqrt(math.fsum(math.dist(frame(*t), p) ** 2
                               for t, p in zip(truth, surveyed)) / len(truth))


def survey_frames(truth: Mapping[int, Tuple[float, ...]], result: Survey) -> List[FrameMap]:
    """The maps of `truth` (address to x, y, ...) into the frame of
    `result`, best fit first; two when the anchors cannot tell the mirror
    image apart, else one. Known anchors share the truth's frame: the map
    is the identity."""
    if result.known:
        return [FrameMap(1.0, 0.0, False)]
    common = [((truth[a][0], truth[a][1]), p) for a, p in zip(result.addresses, result.positions)
              if a in truth]
    if len(common) < 2:
        raise EvaluationError("the ground truth shares fewer than two anchors with the survey")
    true_points = [t for t, _ in common]
    surveyed = [p for _, p in common]
    if max(math.dist(true_points[0], t) for t in true_points) == 0:
        raise EvaluationError("the ground truth's anchors all coincide")
    fits = sorted(((_misfit(f, true_points, surveyed), f) for f in
                   (fit_frame(true_points, surveyed, m) for m in (False, True))),
                  key=lambda item: item[0])
    if fits[1][0] - fits[0][0] < AMBIGUOUS_MISFIT:
        return [fits[0][1], fits[1][1]]
    return [fits[0][1]]


def survey_frame(truth: Mapping[int, Tuple[float, ...]], result: Survey) -> FrameMap:
    """The best map of `truth` into the frame of `result`, by the anchors."""
    return survey_frames(truth, result)[0]


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
                slack: float, times: Optional[Sequence[float]] = None) -> Optional[Point]:
    """The (x, y) of a (time, x, y) track at `time`, or None when `time`
    lies more than `slack` seconds outside it. `times`, the track's times,
    saves building them at every call."""
    if times is None:
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
    candidates = [_evaluate_in(frame, result, anchors, tracks, slack)
                  for frame in survey_frames(anchors, result.survey)]
    return min(candidates, key=_median_error)


def _median_error(evaluation: Evaluation) -> float:
    errors = sorted(e for e in evaluation.fix_errors if e is not None)
    return errors[len(errors) // 2] if errors else 0.0


def _evaluate_in(frame: FrameMap, result: Replay, anchors: Mapping[int, Tuple[float, ...]],
                 tracks: Mapping[int, Sequence[Tuple[float, float, float]]],
                 slack: float) -> Evaluation:
    assert result.survey is not None
    mapped = {a: frame(*p[:2]) for a, p in anchors.items()}
    errors = {a: math.dist(mapped[a], p)
              for a, p in zip(result.survey.addresses, result.survey.positions) if a in mapped}
    true_tracks = {tag: [(t, *frame(x, y)) for t, x, y in rows] for tag, rows in tracks.items()}
    times = {tag: [t for t, _, _ in rows] for tag, rows in true_tracks.items()}
    evaluation = Evaluation(frame, mapped, errors, true_tracks)
    per_tag: Dict[int, List[float]] = {}
    for fix in result.fixes:
        truth = true_tracks.get(fix.tag)
        where = interpolate(truth, fix.time, slack, times[fix.tag]) if truth else None
        error = None if where is None else math.dist(where, (fix.x, fix.y))
        evaluation.fix_truth.append(where)
        evaluation.fix_errors.append(error)
        if error is not None:
            per_tag.setdefault(fix.tag, []).append(error)
    for tag, values in sorted(per_tag.items()):
        evaluation.tags[tag] = TagErrors(len(values), rms(values), percentile(values, 95),
                                         max(values))
    return evaluation
