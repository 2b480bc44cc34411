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
from array import array
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from .survey import Survey

if TYPE_CHECKING:
    from .replay import Replay

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
    return _interpolate(times, [x for _, x, _ in track], [y for _, _, y in track], time, slack)


def _interpolate(times: Sequence[float], xs: Sequence[float], ys: Sequence[float], time: float,
                 slack: float) -> Optional[Point]:
    i = bisect.bisect_left(times, time)
    if i < len(times) and times[i] == time:
        return xs[i], ys[i]
    if i == 0:
        return (xs[0], ys[0]) if times[0] - time <= slack else None
    if i == len(times):
        return (xs[-1], ys[-1]) if time - times[-1] <= slack else None
    t0, t1 = times[i - 1], times[i]
    f = (time - t0) / (t1 - t0)
    return xs[i - 1] + f * (xs[i] - xs[i - 1]), ys[i - 1] + f * (ys[i] - ys[i - 1])


@dataclass
class TagErrors:
    count: int
    rms: float
    p95: float
    max: float


class _Track:
    """A true track in arrays: 24 bytes a sample."""

    __slots__ = ("times", "xs", "ys")

    def __init__(self, rows: Iterable[Tuple[float, float, float]], frame: "FrameMap"):
        self.times, self.xs, self.ys = array("d"), array("d"), array("d")
        for t, x, y in rows:
            mx, my = frame(x, y)
            self.times.append(t)
            self.xs.append(mx)
            self.ys.append(my)

    def rows(self) -> List[Tuple[float, float, float]]:
        return list(zip(self.times, self.xs, self.ys))


class Scorer:
    """The errors of fixes, as they come, against the truth moved into the
    survey's frame by one map."""

    def __init__(self, frame: FrameMap, tracks: Mapping[int, Iterable[Tuple[float, float, float]]],
                 slack: float):
        self.frame = frame
        self.slack = slack
        self.tracks = {tag: _Track(rows, frame) for tag, rows in tracks.items()}
        self.errors: Dict[int, "array[float]"] = {}

    def truth(self, fix: Any) -> Optional[Point]:
        """Where the truth has the fix's tag at the fix's time."""
        track = self.tracks.get(fix.tag)
        if track is None or not track.times:
            return None
        return _interpolate(track.times, track.xs, track.ys, fix.time, self.slack)

    def add(self, fix: Any) -> Tuple[Optional[Point], Optional[float]]:
        """The true position and the error of `fix`, counted."""
        where = self.truth(fix)
        if where is None:
            return None, None
        error = math.dist(where, (fix.x, fix.y))
        errors = self.errors.get(fix.tag)
        if errors is None:
            errors = self.errors[fix.tag] = array("d")
        errors.append(error)
        return where, error

    def median_error(self) -> float:
        errors = sorted(e for values in self.errors.values() for e in values)
        return errors[len(errors) // 2] if errors else 0.0

    def tag_errors(self) -> Dict[int, TagErrors]:
        return {tag: TagErrors(len(values), rms(values), percentile(values, 95), max(values))
                for tag, values in sorted(self.errors.items()) if values}


@dataclass
class Evaluation:
    frame: FrameMap
    anchors: Dict[int, Point]  # true anchors, in the survey's frame
    anchor_errors: Dict[int, float]  # surveyed anchors with a true position
    tracks: Dict[int, List[Tuple[float, float, float]]]  # true tracks, survey frame
    fix_truth: List[Optional[Point]] = field(default_factory=list)  # one per fix, when kept
    fix_errors: List[Optional[float]] = field(default_factory=list)  # one per fix, when kept
    tags: Dict[int, TagErrors] = field(default_factory=dict)


class Evaluator:
    """Scores fixes against the ground truth as they come.

    The survey's anchors decide the map of the truth into its frame; where
    they cannot tell a layout from its mirror image (`ambiguous`), every fix
    is scored under both maps and the tracks decide at the end, so only then
    is a fix's true position known (`truth` gives it)."""

    def __init__(self, survey: Survey, anchors: Mapping[int, Tuple[float, ...]],
                 tracks: Mapping[int, Sequence[Tuple[float, float, float]]], slack: float = 0.5):
        self.survey = survey
        self.true_anchors = anchors
        self.scorers = [Scorer(frame, tracks, slack) for frame in survey_frames(anchors, survey)]

    @property
    def ambiguous(self) -> bool:
        return len(self.scorers) > 1

    def add(self, fix: Any) -> Tuple[Optional[Point], Optional[float]]:
        """Scores `fix`; its true position and error under the first map."""
        results = [scorer.add(fix) for scorer in self.scorers]
        return results[0]

    def best(self) -> Scorer:
        return min(self.scorers, key=lambda scorer: scorer.median_error())

    def truth(self, fix: Any) -> Tuple[Optional[Point], Optional[float]]:
        """The true position and error of `fix` under the best map, uncounted."""
        where = self.best().truth(fix)
        return (where, None if where is None else math.dist(where, (fix.x, fix.y)))

    def evaluation(self) -> Evaluation:
        scorer = self.best()
        frame = scorer.frame
        mapped = {a: frame(*p[:2]) for a, p in self.true_anchors.items()}
        errors = {a: math.dist(mapped[a], p)
                  for a, p in zip(self.survey.addresses, self.survey.positions) if a in mapped}
        return Evaluation(frame, mapped, errors,
                          {tag: track.rows() for tag, track in scorer.tracks.items()},
                          tags=scorer.tag_errors())


def evaluate(result: Replay, anchors: Mapping[int, Tuple[float, ...]],
             tracks: Mapping[int, Sequence[Tuple[float, float, float]]],
             slack: float = 0.5) -> Evaluation:
    """Survey and track errors of `result` against the ground truth, with
    every fix's true position and error."""
    if result.survey is None:
        raise EvaluationError("the replay has no survey to compare")
    evaluator = Evaluator(result.survey, anchors, tracks, slack)
    for fix in result.fixes:
        evaluator.add(fix)
    evaluation = evaluator.evaluation()
    for fix in result.fixes:
        where, error = evaluator.truth(fix)
        evaluation.fix_truth.append(where)
        evaluation.fix_errors.append(error)
    return evaluation
