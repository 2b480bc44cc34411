"""Tag tracking: a range-level filter per tag, seeded by per-fix fits.

Each tag has a ``qz_track.TagFilter``: a constant-velocity Kalman filter on
x, y, vx, vy and the tag's own range offset, which fuses the tag's ranges
one at a time and rejects (and counts) each range whose innovation is
beyond its gate. Non-line-of-sight paths only lengthen a range, so the gate
is tighter for long ranges than for short ones. A range is modelled in three
dimensions: from the anchor's (x, y, z) to the tag at its height, plus the
anchor's offset, plus the tag's offset (antenna delays), plus noise.

The filters of all tags share one ``qz_track.RangeModel``: every anchor's
offset, learned from every tag's ranges together with the tags' motion (a
joint estimate whose cost per tag does not grow with the number of tags),
and the ranging noise, estimated from the residuals of each message's own
fit at the prediction unless it is given. The gate judges a range against
the current offsets, so a biased line-of-sight range is not taken for an
outlier. Given offsets are subtracted and refined from there; unknown ones
start at 0, the anchors' spread around the tags' own (which take their
common part) at ``ANCHOR_OFFSET_SD``.

When ranges miss their gates, the filter fits the message on its own: a
consistent fix beyond the prediction's reach (the tag turned back between
slow updates, or stopped) restarts the track there; a message that
contradicts itself and most of its gates is rejected whole, and the track
keeps its prediction.

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
* It fits in the plane. Anchors at other heights than the tag's get the
  horizontal part of each range; the Gauss-Newton steps then fit the ranges
  in three dimensions.
"""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass, replace
from typing import Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

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
# uses other seeds): the white-acceleration density (m^2/s^3) that tracks a
# person walking at 1 m/s who turns sharply best (0.1 to 0.5 are within a
# few per cent), and the gates in predicted standard deviations.
DEFAULT_SIGMA = 0.05
DEFAULT_PROCESS_NOISE = 0.2
DEFAULT_GATE = 3.5
DEFAULT_SHORT_GATE = 6.0
# Offsets (m, standard deviations). A tag's unknown offset starts at 0 with
# TAG_OFFSET_SD; the anchors' unknown offsets with ANCHOR_OFFSET_SD, around
# the tags' own, which take their common part. The anchors' start is kept
# narrow so that they are learned slowly: while a tag's track is short, a
# wide start lets them explain its motion (on the recorded run 0.02 and
# 0.05 m gave 0.063 m RMS from a cold start, 0.3 m gave 0.076 m; simulated
# runs pay for the learning the more the wider it starts, those with 10 cm
# offsets on some anchors included: over the bound 0.87 at 0.02 m, 0.96 at
# 0.05 m, on seeds not used to choose it as on those that were). Given
# offsets are refined from GIVEN_OFFSET_SD.
TAG_OFFSET_SD = 0.1
ANCHOR_OFFSET_SD = 0.02
GIVEN_OFFSET_SD = 0.02

Point = Tuple[float, float]
Anchor = Sequence[float]  # (x, y) or (x, y, z), metres


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
class TagSetup:
    """What is known of one tag: its height (m, None: the tracker's default)
    and its range offset (m, None: unknown, learned)."""

    height: Optional[float] = None
    offset: Optional[float] = None


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


def _point3(anchor: Anchor) -> Tuple[float, float, float]:
    if len(anchor) not in (2, 3):
        raise ValueError("an anchor is (x, y) or (x, y, z)")
    x, y = float(anchor[0]), float(anchor[1])
    return x, y, float(anchor[2]) if len(anchor) == 3 else 0.0


class Acquisition:
    """Per-fix fits of a tag at `height` with PositionEngine, with the
    outlier search; anchors are (x, y) or (x, y, z)."""

    def __init__(self, anchors: Sequence[Anchor], *, sigma: float = DEFAULT_SIGMA,
                 height: float = 0.0):
        points = [_point3(a) for a in anchors]
        n = len(points)
        self.centroid = (math.fsum(x for x, _, _ in points) / n,
                         math.fsum(y for _, y, _ in points) / n)
        cx, cy = self.centroid
        self._anchors = [(x - cx, y - cy) for x, y, _ in points]
        # each anchor's height above the tag, squared
        self._dz2 = [(z - height) ** 2 for _, _, z in points]
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
        return [measured[i] - math.sqrt((point[0] - self._anchors[i][0]) ** 2
                                        + (point[1] - self._anchors[i][1]) ** 2 + self._dz2[i])
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
            r = math.sqrt(dx * dx + dy * dy + self._dz2[i]) or 1e-9
            rows.append((dx / r, dy / r))
        return rows

    def _fit(self, measured: List[float], kept: List[int]) -> Point:
        """Least-squares point of the ranges `kept` (centred frame)."""
        # the engine fits in the plane: the horizontal part of each range
        only = [0.0] * len(measured)
        for i in kept:
            only[i] = max(math.sqrt(max(measured[i] ** 2 - self._dz2[i], 0.0)), MIN_DISTANCE)
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
    """Tracks tags against one set of anchors, (x, y) or (x, y, z) in metres.

    update(tag, time, distances) gives each tag's fixes. Options:

    * sigma: the ranging noise (m), or None to estimate it from the tags'
      ranges (``sigma`` and ``sigma_estimated`` tell what is in use);
    * height: the tags' z (m) in the anchors' frame, and ``tags``, a mapping
      of tag to TagSetup (or a (height, offset) pair) for the tags whose
      height or range offset is known;
    * anchor_offsets: each anchor's known range offset (m), None for an
      unknown one; learn_offsets: learn what is unknown (else it is 0) and
      refine what is known; ``anchor_offsets()`` and ``tag_offsets()`` read
      back the offsets in use with their standard deviations;
    * process_noise (m^2/s^3), gate and short_gate (predicted standard
      deviations), max_gap (s), max_rejected_updates;
    * history: keep what smoothed() needs.

    ``anchors`` holds their (x, y), ``anchor_heights`` their z. Every fix's
    filter state is ``filter(tag)``'s: state (x, y, vx, vy),
    covariance (4x4, row-major), growth, and whether the fix started a track
    (``started``, a seed or a restart)."""

    def __init__(self, anchors: Sequence[Anchor], *, sigma: Optional[float] = None,
                 process_noise: float = DEFAULT_PROCESS_NOISE, gate: float = DEFAULT_GATE,
                 short_gate: float = DEFAULT_SHORT_GATE, height: float = 0.0,
                 tags: Optional[Mapping[int, object]] = None,
                 anchor_offsets: Optional[Sequence[Optional[float]]] = None,
                 learn_offsets: bool = True, max_gap: float = 2.0,
                 max_rejected_updates: int = 3, history: bool = False):
        self._options = dict(process_noise=process_noise, gate=gate, short_gate=short_gate,
                             max_gap=max_gap, max_rejected_updates=max_rejected_updates)
        self._given_sigma = sigma
        self.height = float(height)
        self.learn_offsets = learn_offsets
        self.tags: Dict[int, TagSetup] = {tag: _tag_setup(setup)
                                          for tag, setup in (tags or {}).items()}
        self.history = history
        self.rejected: Dict[int, int] = {}
        self.seeds: Dict[int, int] = {}
        self.started = False  # whether the last fix started a track
        self._filters: Dict[int, qz_track.TagFilter] = {}
        self._fixes: List[TrackFix] = []
        self._states: Dict[int, Tuple[list, list, list, list, list, list]] = {}
        self.set_anchors(anchors, anchor_offsets)

    def set_anchors(self, anchors: Sequence[Anchor],
                    offsets: Optional[Sequence[Optional[float]]] = None) -> None:
        """A new anchor set (a new survey), with its known offsets: every
        tag is seeded afresh and learns its offset again."""
        points = [_point3(a) for a in anchors]
        if offsets is not None and len(offsets) != len(points):
            raise ValueError(f"{len(offsets)} anchor offsets for {len(points)} anchors")
        known = list(offsets) if offsets is not None else [None] * len(points)
        values = [0.0 if v is None else float(v) for v in known]
        if self.learn_offsets:
            sds = [ANCHOR_OFFSET_SD if v is None else GIVEN_OFFSET_SD for v in known]
        else:
            sds = [0.0] * len(points)
        self.anchors = [(x, y) for x, y, _ in points]
        self.anchor_heights = [z for _, _, z in points]
        self._points = points
        self.model = qz_track.RangeModel(len(points), offsets=values, offset_sd=sds,
                                         sigma=self._given_sigma)
        self._acquisitions: Dict[float, Acquisition] = {}
        self._filters.clear()

    @property
    def sigma(self) -> float:
        """The ranging noise in use (m)."""
        return self.model.sigma

    @property
    def sigma_estimated(self) -> bool:
        """Whether the noise is estimated from the tags' ranges (else given)."""
        return self.model.estimates_noise

    def anchor_offsets(self) -> List[Tuple[float, float]]:
        """Each anchor's range offset in use and its standard deviation (m)."""
        return list(zip(self.model.offsets, self.model.offset_sd))

    def tag_offsets(self) -> Dict[int, Tuple[float, float]]:
        """Each tracked tag's range offset in use and its standard deviation
        (m)."""
        return {tag: (f.offset, f.offset_sd) for tag, f in sorted(self._filters.items())}

    def _height(self, tag: int) -> float:
        setup = self.tags.get(tag)
        return self.height if setup is None or setup.height is None else setup.height

    def _new_filter(self, tag: int) -> qz_track.TagFilter:
        setup = self.tags.get(tag, TagSetup())
        if setup.offset is not None:
            offset, sd = setup.offset, GIVEN_OFFSET_SD
        else:
            offset, sd = 0.0, TAG_OFFSET_SD
        return qz_track.TagFilter(self._points, model=self.model, height=self._height(tag),
                                  offset=offset, offset_sd=sd if self.learn_offsets else 0.0,
                                  **self._options)

    def _acquisition(self, height: float) -> Acquisition:
        found = self._acquisitions.get(height)
        if found is None:
            found = self._acquisitions[height] = Acquisition(self._points, height=height)
        return found

    def update(self, tag: int, time: float, distances: Sequence[float]) -> Optional[TrackFix]:
        """The fix of `tag` at `time` (s) from one distance per anchor
        (metres, 0 for none), or None when the ranges cannot fix it. Raises
        ValueError for a bad time (negative, not finite, before the tag's
        last) and for the wrong number of distances."""
        f = self._filters.get(tag)
        if f is None:
            f = self._filters[tag] = self._new_filter(tag)
        out = f.update(time, distances)
        self.started = out is None or f.restarted
        if out is None:
            acquired = self._seed_fit(f, distances)
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
            self._record(tag, f, fix, self.started)
        return fix

    def _seed_fit(self, f: qz_track.TagFilter, distances: Sequence[float]) -> Optional[Acquired]:
        """The per-fix fit of a seed, on the ranges less the offsets in
        use, judged with the noise and the offsets' uncertainty."""
        if len(distances) != len(self.anchors):
            raise ValueError(f"expected {len(self.anchors)} distances, one per anchor, "
                             f"got {len(distances)}")
        offsets, sds = self.model.offsets, self.model.offset_sd
        tag_offset, tag_sd = f.offset, f.offset_sd
        corrected = [d - offsets[i] - tag_offset if d > 0 and math.isfinite(d) else d
                     for i, d in enumerate(distances)]
        acquisition = self._acquisition(f.height)
        acquisition.sigma = math.sqrt(self.model.sigma ** 2 + max(sds) ** 2 + tag_sd ** 2)
        return acquisition.fit(corrected)

    def filter(self, tag: int) -> qz_track.TagFilter:
        """The filter of `tag` (KeyError for a tag never updated)."""
        return self._filters[tag]

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


def _tag_setup(setup: object) -> TagSetup:
    if isinstance(setup, TagSetup):
        return setup
    try:
        pair: Tuple[Optional[float], Optional[float]] = setup  # type: ignore[assignment]
        height, offset = pair
    except (TypeError, ValueError):
        raise ValueError(f"a tag's setup is (height, offset), got {setup!r}") from None
    return TagSetup(None if height is None else float(height),
                    None if offset is None else float(offset))


# The most samples of one pair that the noise estimate looks at.
NOISE_SAMPLES = 2000


def range_noise(samples: Iterable[Sequence[float]], default: float = DEFAULT_SIGMA) -> float:
    """A robust estimate of the ranging noise (m) from repeated ranges of
    fixed pairs (the anchors' survey), `default` when there are too few.
    Deviations from each pair's median are pooled; their median absolute
    value, scaled to a standard deviation, sets a cut at four times that,
    which leaves the non-line-of-sight outliers out, and the estimate is
    the root mean square of the deviations inside the cut. (The median
    alone would be coarse: deviations come in whole distance units.) Of a
    pair with more than NOISE_SAMPLES samples every k-th is taken, evenly
    through the session, so that memory stays bounded on a long one."""
    deviations: List[float] = []
    for values in samples:
        if len(values) >= 5:
            step = -(-len(values) // NOISE_SAMPLES)  # ceiling division
            ordered = sorted(values[::step] if step > 1 else values)
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
