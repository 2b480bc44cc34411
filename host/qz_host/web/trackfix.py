"""Fixes with their quality, from the host's tracker.

The map shows each fix with a quality figure. The tracker in
``qz_host.tracking`` returns bare positions, so this adapter derives the
figures from the ranges it was given:

* ``dop``: the horizontal dilution of precision of the anchors used,
  sqrt(trace((GᵀG)⁻¹)) with G the unit vectors from the fix to each anchor;
  infinite when they all lie on one line through the fix.
* ``sd``: the residual-based estimate of the position's standard deviation,
  the RMS range residual (n - 2 degrees of freedom) times the DOP. From
  three ranges it rests on one degree of freedom and is rough.

When the tracker drops a range as an outlier it does not say which one:
the adapter takes it to be the range longest against the final fix, the
one the tracker's own test picks.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

from ..tracking import MIN_DISTANCE, Tracker

Point = Tuple[float, float]


@dataclass(frozen=True)
class TrackFix:
    time: float
    tag: int
    x: float
    y: float
    sd: float  # standard deviation of the position (m)
    dop: float  # dilution of precision of the anchors used
    used: Tuple[int, ...]  # indices of the anchors whose ranges were used
    rejected: int  # ranges rejected in this update


def dilution(position: Point, anchors: Sequence[Point]) -> float:
    """Horizontal DOP of `anchors` seen from `position`."""
    gxx = gxy = gyy = 0.0
    for ax, ay in anchors:
        dx, dy = position[0] - ax, position[1] - ay
        length = math.hypot(dx, dy)
        if length == 0.0:
            continue
        ux, uy = dx / length, dy / length
        gxx += ux * ux
        gxy += ux * uy
        gyy += uy * uy
    determinant = gxx * gyy - gxy * gxy
    if determinant <= 1e-12:
        return math.inf
    return math.sqrt((gxx + gyy) / determinant)


class TrackFixTracker:
    """The host's Tracker, answering with TrackFix records."""

    def __init__(self, anchors: Sequence[Point]):
        self.anchors = [(float(x), float(y)) for x, y in anchors]
        self._tracker = Tracker(self.anchors)

    @property
    def rejected(self) -> Dict[int, int]:
        """Ranges rejected per tag so far."""
        return self._tracker.dropped

    def update(self, tag: int, time: float, distances: Sequence[float]) -> Optional[TrackFix]:
        """The fix of `tag` from one distance per anchor (metres, 0 for
        none), or None when fewer than three anchors were measured."""
        before = self._tracker.dropped.get(tag, 0)
        position = self._tracker.fix(tag, distances)
        if position is None:
            return None
        rejected = self._tracker.dropped.get(tag, 0) - before
        residuals = {i: d - math.dist(position, self.anchors[i])
                     for i, d in enumerate(distances) if d >= MIN_DISTANCE}
        if rejected:
            del residuals[max(residuals, key=lambda i: residuals[i])]
        used = tuple(sorted(residuals))
        dop = dilution(position, [self.anchors[i] for i in used])
        return TrackFix(time, tag, position[0], position[1],
                        _residual_sd(list(residuals.values()), dop), dop, used, rejected)


def _residual_sd(residuals: List[float], dop: float) -> float:
    freedom = len(residuals) - 2
    if freedom <= 0 or math.isinf(dop):
        return math.inf
    return math.sqrt(math.fsum(r * r for r in residuals) / freedom) * dop
