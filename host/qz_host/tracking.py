"""Tag tracking: a range-level filter per tag, seeded by per-fix fits.

Each tag has a ``qz_track.TagFilter``: a constant-velocity Kalman filter on
x, y, vx, vy that fuses the tag's ranges one at a time and rejects (and
counts) each range whose innovation is beyond its gate. Non-line-of-sight
paths only lengthen a range, so the gate is tighter for long ranges than
for short ones. When most of a message's ranges miss their gates, the
prediction is what is wrong (the tag turned), and the filter widens its
covariance until they pass rather than reject them all. The tag moves in the plane z = ``height`` of the anchors'
frame (0: the survey's plane).

A filter is seeded by a per-fix fit (``Acquisition``) for a tag's first
fix, after a gap (``max_gap`` seconds) and after ``max_rejected_updates``
updates in a row that rejected more ranges than they used.

The per-fix fit drives qz_engine's PositionEngine, whose properties shape
how:

* Its stopping rules are absolute. It stops when a step is shorter than
  9e-6 times the *squared* distance of the estimate from the origin, so the
  anchors are shifted to put their centroid at the origin: 20 m out that
  bound is 3.6 mm, 200 m out it would be 36 cm and fits would stop far from
  the solution. Distances go in metres, the unit its thresholds are set for.
* It stops as soon as the sum of squared residuals is at most 0.1 m², and
  returns its start point unchanged when that already holds: with six
  anchors some 15 cm from the best fit, on the side the fit came from. So a
  fit runs from half a metre either side (along x) of a first fit from the
  centroid, and takes the mean of the two; a few Gauss-Newton steps in
  double precision then settle it on the least-squares point, where the
  residuals are those of the ranges and not of the engine's tolerance.
* It has no defence against a non-line-of-sight range. The fit drops the
  range with the largest studentised residual (scaled by sigma and its
  leverage) while that is over the threshold and more than three remain;
  when the residuals still fail a chi-square test it tries every subset
  without one or two ranges (at least three left), preferring the most
  ranges that pass.
"""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass, replace
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

import qz_engine
import qz_track

# The engine leaves out measurements below this (metres); a fit needs three.
MIN_DISTANCE = 0.175
MIN_MEASUREMENTS = 3
# How far (m) the two starts of a fit lie from the first fit.
START_OFFSET = 0.5
GAUSS_NEWTON_STEPS = 3
# Studentised residual over which a range is taken for an outlier.
OUTLIER_THRESHOLD = 3.5
# Normal quantile of the chi-square test of a fit's residuals (0.999).
_CHI_SQUARE_Z = 3.09

# Filter defaults, tuned on simulated captures of seed 100 (the evaluation
# uses other seeds): ranging noise of the hardware, and the
# white-acceleration density (m^2/s^3) that tracks a person walking at
# 1 m/s who turns sharply best (0.1 to 0.5 are within a few per cent).
DEFAULT_SIGMA = 0.05
DEFAULT_PROCESS_NOISE = 0.2
DEFAULT_GATE = 3.5
DEFAULT_SHORT_GATE = 6.0

Point = Tuple[float, float]


@dataclass(frozen=True)
class TrackFix:
    """One fix of a tag in the anchors' frame (metres, seconds)."""

    time: float
    tag: int
    x: float
    y: float
    sd: float  # standard deviation of the position: sqrt(var x + var y)
    dop: float  # dilution of precision of the anchors used
    used: Tuple[int, ...]  # indices of the anchors whose ranges were used
    rejected: int  # ranges rejected in this update


@dataclass(frozen=True)
class Acquired:
    x: float
    y: float
    used: Tuple[int, ...]
    dropped: int  # ranges taken for outliers


def chi_square_bound(dof: int) -> float:
    """The 0.999 quantile of chi-square with `dof` degrees of freedom
    (Wilson-Hilferty)."""
    k = max(dof, 1)
    c = 2.0 / (9.0 * k)
    return k * (1.0 - c + _CHI_SQUARE_Z * math.sqrt(c)) ** 3


class Acquisition:
    """Per-fix fits of a tag with PositionEngine, with the outlier search."""

    def __init__(self, anchors: Sequence[Point], *, sigma: float = DEFAULT_SIGMA,
                 height: float = 0.0):
        n = len(anchors)
        self.centroid = (math.fsum(x for x, _ in anchors) / n,
                         math.fsum(y for _, y in anchors) / n)
        cx, cy = self.centroid
        self._anchors = [(x - cx, y - cy) for x, y in anchors]
        self.sigma = sigma
        self.height = height
        self.engine = qz_engine.PositionEngine(n)
        self.engine.set_anchor_positions(
            [qz_engine.Position(x, y, 0.0) for x, y in self._anchors])

    def fit(self, distances: Sequence[float]) -> Optional[Acquired]:
        """The position from one distance per anchor (metres, 0 for none),
        or None when fewer than three are usable."""
        measured = [d if math.isfinite(d) and d >= MIN_DISTANCE else 0.0 for d in distances]
        kept = [i for i, d in enumerate(measured) if d > 0]
        if len(kept) < MIN_MEASUREMENTS:
            return None
        point = self._fit(measured, kept)
        # drop the worst outlier while it stands out
        while len(kept) > MIN_MEASUREMENTS:
            scores = self._studentised(point, measured, kept)
            worst = max(range(len(kept)), key=scores.__getitem__)
            if scores[worst] <= OUTLIER_THRESHOLD:
                break
            kept = kept[:worst] + kept[worst + 1:]
            point = self._fit(measured, kept)
        if not self._passes(point, measured, kept):
            point, kept = self._best_subset(measured, point, kept)
        given = sum(1 for d in distances if d != 0)  # NaN included
        cx, cy = self.centroid
        return Acquired(point[0] + cx, point[1] + cy, tuple(kept), given - len(kept))

    def _best_subset(self, measured: List[float], point: Point,
                     kept: List[int]) -> Tuple[Point, List[int]]:
        everything = [i for i, d in enumerate(measured) if d > 0]
        best = (self._cost(point, measured, kept), point, kept)
        for drop in (1, 2):
            if len(everything) - drop < MIN_MEASUREMENTS:
                break
            passing = []
            for removed in itertools.combinations(everything, drop):
                subset = [i for i in everything if i not in removed]
                candidate = self._fit(measured, subset)
                if self._passes(candidate, measured, subset):
                    passing.append((self._cost(candidate, measured, subset), candidate, subset))
            if passing:
                return min(passing)[1:]
        return best[1:]

    def _residuals(self, point: Point, measured: List[float], kept: List[int]) -> List[float]:
        h2 = self.height * self.height
        return [measured[i] - math.sqrt((point[0] - self._anchors[i][0]) ** 2
                                        + (point[1] - self._anchors[i][1]) ** 2 + h2)
                for i in kept]

    def _cost(self, point: Point, measured: List[float], kept: List[int]) -> float:
        """Sum of squared residuals over its chi-square bound."""
        residuals = self._residuals(point, measured, kept)
        dof = len(kept) - 2
        return math.fsum(r * r for r in residuals) / (self.sigma ** 2 * chi_square_bound(dof))

    def _passes(self, point: Point, measured: List[float], kept: List[int]) -> bool:
        return len(kept) <= MIN_MEASUREMENTS or self._cost(point, measured, kept) <= 1.0

    def _studentised(self, point: Point, measured: List[float], kept: List[int]) -> List[float]:
        """Residuals over sigma sqrt(1 - leverage); positive: too long."""
        rows = self._rows(point, kept)
        sxx = math.fsum(a * a for a, _ in rows)
        sxy = math.fsum(a * b for a, b in rows)
        syy = math.fsum(b * b for _, b in rows)
        det = sxx * syy - sxy * sxy
        residuals = self._residuals(point, measured, kept)
        scores = []
        for (a, b), r in zip(rows, residuals):
            leverage = (a * a * syy - 2 * a * b * sxy + b * b * sxx) / det if det > 0 else 1.0
            scores.append(r / (self.sigma * math.sqrt(max(1.0 - leverage, 0.05))))
        return scores

    def _rows(self, point: Point, kept: List[int]) -> List[Point]:
        rows = []
        for i in kept:
            dx, dy = point[0] - self._anchors[i][0], point[1] - self._anchors[i][1]
            r = math.sqrt(dx * dx + dy * dy + self.height * self.height) or 1e-9
            rows.append((dx / r, dy / r))
        return rows

    def _fit(self, measured: List[float], kept: List[int]) -> Point:
        """Least-squares point of the ranges `kept` (centred frame)."""
        only = [measured[i] if i in kept else 0.0 for i in range(len(measured))]
        first = self._engine_fit(only, (0.0, 0.0))
        starts = [(first[0] + START_OFFSET, first[1]), (first[0] - START_OFFSET, first[1])]
        fits = [self._engine_fit(only, start) for start in starts]
        point = (0.5 * (fits[0][0] + fits[1][0]), 0.5 * (fits[0][1] + fits[1][1]))
        return self._gauss_newton(point, measured, kept)

    def _gauss_newton(self, point: Point, measured: List[float], kept: List[int]) -> Point:
        x, y = point
        for _ in range(GAUSS_NEWTON_STEPS):
            rows = self._rows((x, y), kept)
            residuals = self._residuals((x, y), measured, kept)
            sxx = math.fsum(a * a for a, _ in rows)
            sxy = math.fsum(a * b for a, b in rows)
            syy = math.fsum(b * b for _, b in rows)
            gx = math.fsum(a * r for (a, _), r in zip(rows, residuals))
            gy = math.fsum(b * r for (_, b), r in zip(rows, residuals))
            det = sxx * syy - sxy * sxy
            if not det > 1e-9:
                break
            x += (syy * gx - sxy * gy) / det
            y += (sxx * gy - sxy * gx) / det
        return x, y

    def _engine_fit(self, measurements: Sequence[float], start: Point) -> Point:
        p = self.engine.compute_tag_position(measurements,
                                             qz_engine.Position(start[0], start[1], 0.0))
        return p.x, p.y


class Tracker:
    """Tracks tags against one set of anchors (x, y in metres).

    Options: sigma (range noise, m), process_noise (m²/s³), gate and
    short_gate (in predicted standard deviations), height (the tags' z, m),
    max_gap (s), max_rejected_updates, and history (keep what smoothed()
    needs)."""

    def __init__(self, anchors: Sequence[Point], *, sigma: float = DEFAULT_SIGMA,
                 process_noise: float = DEFAULT_PROCESS_NOISE, gate: float = DEFAULT_GATE,
                 short_gate: float = DEFAULT_SHORT_GATE, height: float = 0.0,
                 max_gap: float = 2.0, max_rejected_updates: int = 3, history: bool = False):
        self._options: Dict[str, Any] = dict(sigma=sigma, process_noise=process_noise, gate=gate,
                             short_gate=short_gate, height=height, max_gap=max_gap,
                             max_rejected_updates=max_rejected_updates)
        self.history = history
        self.rejected: Dict[int, int] = {}
        self.seeds: Dict[int, int] = {}
        self._filters: Dict[int, qz_track.TagFilter] = {}
        self._fixes: List[TrackFix] = []
        self._states: Dict[int, Tuple[list, list, list, list, list, list]] = {}
        self.set_anchors(anchors)

    def set_anchors(self, anchors: Sequence[Point]) -> None:
        """A new anchor set (a new survey): every tag is seeded afresh."""
        self.anchors = [(float(x), float(y)) for x, y in anchors]
        self._acquisition = Acquisition(self.anchors, sigma=self._options["sigma"],
                                        height=self._options["height"])
        for f in self._filters.values():
            f.set_anchors(self.anchors)

    def update(self, tag: int, time: float, distances: Sequence[float]) -> Optional[TrackFix]:
        """The fix of `tag` at `time` (s) from one distance per anchor
        (metres, 0 for none), or None when the ranges cannot fix it. Raises
        ValueError for a bad time (negative, not finite, before the tag's
        last) and for the wrong number of distances."""
        f = self._filters.get(tag)
        if f is None:
            f = self._filters[tag] = qz_track.TagFilter(self.anchors, **self._options)
        out = f.update(time, distances)
        start = out is None
        if out is None:
            acquired = self._acquisition.fit(distances)
            if acquired is None:
                return None
            seed = [d if i in acquired.used else 0.0 for i, d in enumerate(distances)]
            x, y, sd, dop, used, _ = f.seed(time, acquired.x, acquired.y, seed)
            rejected = acquired.dropped
            self.seeds[tag] = self.seeds.get(tag, 0) + 1
        else:
            x, y, sd, dop, used, rejected = out
        if rejected:
            self.rejected[tag] = self.rejected.get(tag, 0) + rejected
        if not used:
            return None
        fix = TrackFix(time, tag, x, y, sd, dop, used, rejected)
        if self.history:
            self._record(tag, f, fix, start)
        return fix

    def _record(self, tag: int, f: qz_track.TagFilter, fix: TrackFix, start: bool) -> None:
        times, states, covariances, starts, growths, indices = self._states.setdefault(
            tag, ([], [], [], [], [], []))
        times.append(fix.time)
        states.extend(f.state)
        covariances.extend(f.covariance)
        starts.append(start)
        growths.append(f.growth)
        indices.append(len(self._fixes))
        self._fixes.append(fix)

    def smoothed(self) -> List[TrackFix]:
        """Every fix so far (with history on), in order, smoothed over each
        tag's whole track."""
        result = list(self._fixes)
        for tag, (times, states, covariances, starts, growths, indices) in self._states.items():
            f = self._filters[tag]
            for index, (x, y, sd) in zip(indices, qz_track.smooth(
                    times, states, covariances, starts, growths, f.process_noise)):
                result[index] = replace(result[index], x=x, y=y, sd=sd)
        return result


def range_noise(samples: Iterable[Sequence[float]], default: float = DEFAULT_SIGMA) -> float:
    """A robust estimate of the ranging noise (m) from repeated ranges of
    fixed pairs (the anchors' survey), `default` when there are too few.
    Deviations from each pair's median are pooled; their median absolute
    value, scaled to a standard deviation, sets a cut at four times that,
    which leaves the non-line-of-sight outliers out, and the estimate is
    the root mean square of the deviations inside the cut. (The median
    alone would be coarse: deviations come in whole distance units.)"""
    deviations: List[float] = []
    for values in samples:
        if len(values) >= 5:
            ordered = sorted(values)
            middle = ordered[len(ordered) // 2]
            deviations.extend(abs(v - middle) for v in ordered)
    if len(deviations) < 30:
        return default
    deviations.sort()
    cut = 4.0 * 1.4826 * deviations[len(deviations) // 2]
    inside = [d for d in deviations if d <= cut]
    if not cut > 0 or len(inside) < 2:
        return default
    return math.sqrt(math.fsum(d * d for d in inside) / len(inside))
