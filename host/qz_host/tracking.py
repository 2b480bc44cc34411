"""Tag tracking with qz_engine's PositionEngine.

Two properties of the engine shape how the host drives it.

* Its stopping rules are absolute. It stops when a step is shorter than
  9e-6 times the *squared* distance of the estimate from the origin, so the
  anchors are shifted to put their centroid at the origin: 20 m out that
  bound is 3.6 mm, 200 m out it would be 36 cm and fits would stop far from
  the solution. Results are shifted back before they leave this module.
  Distances go in metres, the unit the engine's thresholds are set for.

* It also stops as soon as the sum of squared residuals is at most 0.1 m²,
  and returns its start point unchanged when that already holds. With six
  anchors that tolerance admits points some 15 cm from the best fit, and
  the point where a fit stops lies on the side it came from. Starting at
  the previous result would keep a slow tag pinned there until it has moved
  out of the tolerance. So each fix runs two fits, from half a metre on
  either side (along x) of the tag's previous position: both starts lie
  outside the tolerance, the two fits stop on opposite sides of the best
  fit, and their mean lands close to it. (The engine's damping still leaves
  a moving tag's fix behind by about an eighth of its move since the last
  fix: 1.3 cm at 1 m/s and 10 Hz.) A tag's first previous position is a
  fit from the anchors' centroid.

The engine has no defence against a non-line-of-sight range, which can be
a metre too long; ``Tracker.fix`` drops the worst one of a fix.
"""

from __future__ import annotations

import math
import struct
from typing import Dict, Optional, Sequence, Tuple

import qz_engine

# The engine leaves out measurements below this (metres); a fix needs three.
MIN_DISTANCE = 0.175
MIN_MEASUREMENTS = 3
# How far (m) the two starts of a fix lie from the previous position.
START_OFFSET = 0.5
# How much longer (m) than its fitted distance a range may be: five times
# the 5 cm ranging noise of the hardware.
OUTLIER_EXCESS = 0.25

Point = Tuple[float, float]


def _float32(value: float) -> float:
    return struct.unpack("f", struct.pack("f", value))[0]


class Tracker:
    """Tracks tags against one set of anchors (x, y in metres)."""

    def __init__(self, anchors: Sequence[Point]):
        n = len(anchors)
        self.centroid = (math.fsum(x for x, _ in anchors) / n,
                         math.fsum(y for _, y in anchors) / n)
        cx, cy = self.centroid
        self._anchors = [(x - cx, y - cy) for x, y in anchors]
        self.engine = qz_engine.PositionEngine(n)
        self.engine.set_anchor_positions([qz_engine.Position(x, y, 0.0) for x, y in self._anchors])
        self._last: Dict[int, Point] = {}
        self.dropped: Dict[int, int] = {}

    def fix(self, tag: int, distances: Sequence[float]) -> Optional[Point]:
        """The position of `tag` from one distance per anchor (metres, 0 for
        none), or None when fewer than three anchors were measured.

        A range that exceeds its anchor's distance from the fix by more than
        OUTLIER_EXCESS is taken for a non-line-of-sight path, which only
        ever lengthens a range: the worst such range is dropped and the tag
        fitted again, as long as three ranges remain."""
        measurements = [d if d >= MIN_DISTANCE else 0.0 for d in distances]
        count = sum(1 for d in measurements if d > 0)
        if count < MIN_MEASUREMENTS:
            return None
        result = self._fit_pair(tag, measurements)
        excess, worst = max((d - math.dist(result, a), i) for i, (d, a)
                            in enumerate(zip(measurements, self._anchors)) if d > 0)
        if excess > OUTLIER_EXCESS and count > MIN_MEASUREMENTS:
            measurements[worst] = 0.0
            self.dropped[tag] = self.dropped.get(tag, 0) + 1
            result = self._fit_pair(tag, measurements)
        self._last[tag] = result
        return result[0] + self.centroid[0], result[1] + self.centroid[1]

    def _fit_pair(self, tag: int, measurements: Sequence[float]) -> Point:
        """The mean of two fits from either side of the tag's last position."""
        last = self._last.get(tag)
        if last is None:
            last = self._fit(measurements, (0.0, 0.0))
        starts = [(last[0] + START_OFFSET, last[1]), (last[0] - START_OFFSET, last[1])]
        fits = [self._fit(measurements, start) for start in starts]
        # A fit that did not move found its start within the tolerance
        # already and says nothing about the side of the best fit.
        moved = [p for p, s in zip(fits, starts) if p != (_float32(s[0]), _float32(s[1]))]
        used = moved or fits
        return (math.fsum(p[0] for p in used) / len(used),
                math.fsum(p[1] for p in used) / len(used))

    def _fit(self, measurements: Sequence[float], start: Point) -> Point:
        p = self.engine.compute_tag_position(measurements,
                                             qz_engine.Position(start[0], start[1], 0.0))
        return p.x, p.y
