"""Whether an anchor layout can fix a position in the plane.

Ranges from anchors that coincide count as one, and anchors on (or nearly
on) one line cannot tell a point from its mirror image across that line:
near the line every fix is unstable. A layout needs three distinct anchors
that span the plane.
"""

from __future__ import annotations

import math
from typing import List, Optional, Sequence, Tuple

# Anchors closer than this (m) are one place.
COINCIDENT = 0.1
# The layout's spread across its main axis, relative to along it, below
# which the anchors count as collinear.
COLLINEAR = 0.05

Point = Tuple[float, float]


def distinct_places(positions: Sequence[Point]) -> List[Point]:
    places: List[Point] = []
    for p in positions:
        if all(math.dist(p, q) >= COINCIDENT for q in places):
            places.append(p)
    return places


def spreads(positions: Sequence[Point]) -> Tuple[float, float]:
    """Standard deviations of the positions along their principal axes,
    the larger first."""
    n = len(positions)
    mx = math.fsum(x for x, _ in positions) / n
    my = math.fsum(y for _, y in positions) / n
    sxx = math.fsum((x - mx) ** 2 for x, _ in positions) / n
    syy = math.fsum((y - my) ** 2 for _, y in positions) / n
    sxy = math.fsum((x - mx) * (y - my) for x, y in positions) / n
    mean = 0.5 * (sxx + syy)
    root = math.hypot(0.5 * (sxx - syy), sxy)
    return math.sqrt(mean + root), math.sqrt(max(mean - root, 0.0))


def layout_problem(positions: Sequence[Point]) -> Optional[str]:
    """Why the anchors at `positions` cannot fix a tag in two dimensions,
    or None when they can."""
    places = distinct_places(positions)
    if len(places) < 3:
        return (f"the anchors stand at only {len(places)} distinct places "
                f"(closer than {COINCIDENT} m count as one); a fix needs three")
    major, minor = spreads(places)
    if minor < COLLINEAR * major:
        return (f"the anchors lie nearly on one line (spread {minor:.2f} m across it, "
                f"{major:.2f} m along it): they cannot fix a position in two dimensions")
    return None
