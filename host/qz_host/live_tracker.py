"""The tracker interface the live host is written against, over today's
``tracking.Tracker``: ``update(tag, time, distances)`` returns a
``TrackFix`` with its quality figures, and ``rejected`` counts the ranges
taken for non-line-of-sight per tag.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Dict, Optional, Sequence, Tuple

from . import tracking


@dataclass(frozen=True)
class TrackFix:
    time: float
    tag: int
    x: float
    y: float
    sd: float        # standard deviation of the position (m)
    dop: float       # dilution of precision of the anchors used
    used: Tuple[int, ...]   # indices of the anchors whose ranges were used
    rejected: int    # ranges rejected in this update


class Tracker:
    def __init__(self, anchors: Sequence[Tuple[float, float]], **options):
        self._tracker = tracking.Tracker(anchors, **options)
        self._anchors = list(anchors)
        self.rejected: Dict[int, int] = self._tracker.dropped

    def update(self, tag: int, time: float, distances: Sequence[float]) -> Optional[TrackFix]:
        before = self.rejected.get(tag, 0)
        position = self._tracker.fix(tag, distances)
        if position is None:
            return None
        rejected = self.rejected.get(tag, 0) - before
        used = [i for i, d in enumerate(distances) if d >= tracking.MIN_DISTANCE]
        if rejected:
            # The tracker drops the range that overshoots the fix the most.
            used.remove(max(used, key=lambda i: distances[i]
                            - math.dist(position, self._anchors[i])))
        residuals = [distances[i] - math.dist(position, self._anchors[i]) for i in used]
        sd = math.sqrt(math.fsum(r * r for r in residuals) / len(residuals))
        return TrackFix(time, tag, position[0], position[1], sd,
                        _dop(position, [self._anchors[i] for i in used]), tuple(used), rejected)


def _dop(position: Tuple[float, float], anchors: Sequence[Tuple[float, float]]) -> float:
    """Horizontal dilution of precision: sqrt(trace((H^T H)^-1)) with H the
    unit vectors from the anchors to the position."""
    a = b = c = 0.0
    for ax, ay in anchors:
        dx, dy = position[0] - ax, position[1] - ay
        r = math.hypot(dx, dy) or 1e-9
        ux, uy = dx / r, dy / r
        a += ux * ux
        b += ux * uy
        c += uy * uy
    det = a * c - b * b
    return math.sqrt((a + c) / det) if det > 1e-12 else math.inf
