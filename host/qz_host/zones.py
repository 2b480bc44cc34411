"""Zones of a site and the tags that enter and leave them.

A zone is a polygon in site coordinates (concave ones included, not one
that crosses itself), optionally limited to a range of heights. A fix
jitters by some centimetres, so a tag standing on a border would enter and
leave at every other fix; zones take three settings against that:

- ``exit_tolerance``: a tag inside leaves only once it is farther than this
  (m) outside the border (the height range widens by it too);
- ``exit_delay``: and has stayed that far out this long (s), so one wild
  fix does not end a visit;
- ``entry_delay``: a tag outside enters once it has been inside the border
  this long (s).

``ZoneTracker`` runs one state machine per tag and zone on fixes fed in
time order and returns the events they cause. It reads no clock: the time
of an event is that of the fix at which it counts, so the same fixes in
the same order give the same events, offline and live alike.

A tag that falls silent for longer than the tracker's ``tag_timeout``
leaves the live set and exits every zone it is in. Silence is judged on
the fixes' own times: when any fix (or ``advance``) carries the time past
a tag's last fix plus the timeout, its exits are given the time of that
last fix plus the timeout and its last position, marked ``timeout``.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

Point = Tuple[float, float]

# The defaults: a tolerance of a few times the jitter of a fix (the ranging
# noise of real radios is some 5 to 7 cm, and a fix's spread is of that
# order), an exit delay of some twenty fixes at the usual 10 Hz, and
# entries reported at once.
DEFAULT_EXIT_TOLERANCE = 0.3
DEFAULT_EXIT_DELAY = 2.0
DEFAULT_ENTRY_DELAY = 0.0
# A polygon's points are checked pairwise for crossings; past this many
# the check (and every fix's test) would cost more than a zone is worth.
MAX_POLYGON_POINTS = 10000
# Zone names become MQTT topic levels, which these characters would break.
NAME_FORBIDDEN = "/+#"

OUTSIDE, ENTERING, INSIDE, LEAVING = "outside", "entering", "inside", "leaving"


def polygon_problem(points: Sequence[Point]) -> Optional[str]:
    """What is wrong with `points` as a zone's border, or None. A last point
    equal to the first (a closed ring) is allowed; see `ring`."""
    if len(points) < 3:
        return "polygon needs at least 3 points"
    if len(points) > MAX_POLYGON_POINTS:
        return f"polygon has {len(points)} points, at most {MAX_POLYGON_POINTS}"
    for k, (x, y) in enumerate(points):
        if not (math.isfinite(x) and math.isfinite(y)):
            return f"point {k + 1} is not finite"
    closed = ring(points)
    if len(closed) < 3:
        return f"polygon needs at least 3 distinct points, has {len(closed)}"
    for k in range(1, len(closed)):
        if closed[k] == closed[k - 1]:
            return f"point {k + 1} repeats point {k}"
    far = max(closed, key=lambda p: math.dist(p, closed[0]))
    if all(_orient(closed[0], far, p) == 0 for p in closed):
        return "polygon encloses no area (its points lie on one line)"
    crossing = _crossing(closed)
    if crossing is not None:
        (a, b), (c, d) = crossing
        return (f"polygon crosses itself: the edge from point {a + 1} to {b + 1} meets the "
                f"edge from point {c + 1} to {d + 1}")
    return None


def ring(points: Sequence[Point]) -> List[Point]:
    """The polygon's points without a closing repeat of the first."""
    points = [(float(x), float(y)) for x, y in points]
    if len(points) > 1 and points[-1] == points[0]:
        points.pop()
    return points


def _area(points: Sequence[Point]) -> float:
    n = len(points)
    return 0.5 * math.fsum(points[i][0] * points[(i + 1) % n][1]
                           - points[(i + 1) % n][0] * points[i][1] for i in range(n))


def _orient(a: Point, b: Point, c: Point) -> float:
    return (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0])


def _on_segment(a: Point, b: Point, p: Point) -> bool:
    return (min(a[0], b[0]) <= p[0] <= max(a[0], b[0])
            and min(a[1], b[1]) <= p[1] <= max(a[1], b[1]))


def _segments_meet(a: Point, b: Point, c: Point, d: Point) -> bool:
    d1, d2 = _orient(c, d, a), _orient(c, d, b)
    d3, d4 = _orient(a, b, c), _orient(a, b, d)
    if ((d1 > 0 > d2) or (d1 < 0 < d2)) and ((d3 > 0 > d4) or (d3 < 0 < d4)):
        return True
    return ((d1 == 0 and _on_segment(c, d, a)) or (d2 == 0 and _on_segment(c, d, b))
            or (d3 == 0 and _on_segment(a, b, c)) or (d4 == 0 and _on_segment(a, b, d)))


def _crossing(points: Sequence[Point]) -> Optional[Tuple[Tuple[int, int], Tuple[int, int]]]:
    """Two edges of the ring that meet other than at their shared corner,
    by a sweep along x (edges whose x ranges overlap are compared)."""
    n = len(points)
    edges = [(i, (i + 1) % n) for i in range(n)]
    # Neighbouring edges share a corner; they fail only by folding back
    # along each other.
    for i in range(n):
        a, b, c = points[i - 1], points[i], points[(i + 1) % n]
        if _orient(a, b, c) == 0 and ((c[0] - b[0]) * (a[0] - b[0])
                                      + (c[1] - b[1]) * (a[1] - b[1])) > 0:
            return ((i - 1) % n, i), (i, (i + 1) % n)
    order = sorted(range(n), key=lambda e: min(points[edges[e][0]][0], points[edges[e][1]][0]))
    active: List[int] = []
    for e in order:
        i, j = edges[e]
        low = min(points[i][0], points[j][0])
        active = [f for f in active if max(points[edges[f][0]][0], points[edges[f][1]][0]) >= low]
        for f in active:
            k, m = edges[f]
            if len({i, j, k, m}) < 4:
                continue
            if _segments_meet(points[i], points[j], points[k], points[m]):
                first, second = sorted((edges[e], edges[f]))
                return first, second
        active.append(e)
    return None


def _segment_distance(p: Point, a: Point, b: Point) -> float:
    dx, dy = b[0] - a[0], b[1] - a[1]
    t = ((p[0] - a[0]) * dx + (p[1] - a[1]) * dy) / (dx * dx + dy * dy)
    t = min(1.0, max(0.0, t))
    return math.hypot(p[0] - (a[0] + t * dx), p[1] - (a[1] + t * dy))


@dataclass(frozen=True)
class Zone:
    """A named polygon (site metres) with its hysteresis and height range."""

    name: str
    polygon: Tuple[Point, ...]
    exit_tolerance: float = DEFAULT_EXIT_TOLERANCE
    exit_delay: float = DEFAULT_EXIT_DELAY
    entry_delay: float = DEFAULT_ENTRY_DELAY
    min_height: Optional[float] = None
    max_height: Optional[float] = None
    color: Optional[str] = None
    _box: Tuple[float, float, float, float] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        problem = zone_problem(self)
        if problem is not None:
            raise ValueError(f"zone {self.name!r}: {problem}")
        points = tuple(ring(self.polygon))
        object.__setattr__(self, "polygon", points)
        xs, ys = [p[0] for p in points], [p[1] for p in points]
        object.__setattr__(self, "_box", (min(xs), min(ys), max(xs), max(ys)))

    @property
    def area(self) -> float:
        return abs(_area(self.polygon))

    def contains(self, x: float, y: float) -> bool:
        """Whether (x, y) lies inside the border (even-odd rule; a point
        exactly on the border may fall either way)."""
        x0, y0, x1, y1 = self._box
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        inside = False
        points = self.polygon
        j = len(points) - 1
        for i in range(len(points)):
            (xi, yi), (xj, yj) = points[i], points[j]
            if (yi > y) != (yj > y) and x < xi + (y - yi) * (xj - xi) / (yj - yi):
                inside = not inside
            j = i
        return inside

    def distance_outside(self, x: float, y: float, z: float = 0.0) -> float:
        """How far (m) the point lies outside the zone: 0 inside, else the
        distance to the polygon's border and the height range combined."""
        dz = 0.0
        if self.min_height is not None and z < self.min_height:
            dz = self.min_height - z
        elif self.max_height is not None and z > self.max_height:
            dz = z - self.max_height
        if self.contains(x, y):
            return dz
        points = self.polygon
        across = min(_segment_distance((x, y), points[i - 1], points[i])
                     for i in range(len(points)))
        return math.hypot(across, dz)

    def _beyond(self, x: float, y: float, z: float) -> bool:
        """Farther than the exit tolerance outside, cheaply for points far
        from the polygon's box."""
        t = self.exit_tolerance
        x0, y0, x1, y1 = self._box
        if x < x0 - t or x > x1 + t or y < y0 - t or y > y1 + t:
            return True
        return self.distance_outside(x, y, z) > t

    def _inside(self, x: float, y: float, z: float) -> bool:
        if self.min_height is not None and z < self.min_height:
            return False
        if self.max_height is not None and z > self.max_height:
            return False
        return self.contains(x, y)


def name_problem(name: str) -> Optional[str]:
    """What is wrong with a zone's name, or None."""
    if not name or not name.strip():
        return "a zone needs a name"
    bad = [c for c in name if c in NAME_FORBIDDEN or ord(c) < 32 or ord(c) == 127]
    if bad:
        return (f"name {name!r} holds {bad[0]!r}: a zone's name is an MQTT topic level, "
                f"which takes no {', '.join(repr(c) for c in NAME_FORBIDDEN)} "
                "or control characters")
    return None


def zone_problem(zone: Zone) -> Optional[str]:
    """What is wrong with a zone's settings, or None."""
    problem = name_problem(zone.name)
    if problem is not None:
        return problem
    problem = polygon_problem(zone.polygon)
    if problem is not None:
        return problem
    for name in ("exit_tolerance", "exit_delay", "entry_delay"):
        value = getattr(zone, name)
        if not (math.isfinite(value) and value >= 0):
            return f"{name} must be a finite number, 0 or more, got {value!r}"
    for name in ("min_height", "max_height"):
        value = getattr(zone, name)
        if value is not None and not math.isfinite(value):
            return f"{name} must be finite, got {value!r}"
    if (zone.min_height is not None and zone.max_height is not None
            and zone.min_height > zone.max_height):
        return f"min_height {zone.min_height:g} is above max_height {zone.max_height:g}"
    return None


@dataclass(frozen=True)
class ZoneEvent:
    """A tag entering or leaving a zone, at a fix's time and position."""

    event: str  # "enter" or "exit"
    zone: str
    tag: int
    time: float
    x: float
    y: float
    timeout: bool = False  # an exit because the tag fell silent

    def as_json(self) -> dict:
        out = {"event": self.event, "zone": self.zone, "tag": f"{self.tag:04X}",
               "time": self.time, "x": self.x, "y": self.y}
        if self.timeout:
            out["timeout"] = True
        return out


@dataclass
class _Visit:
    """One tag's state in one zone; `since` is when the pending change began."""

    phase: str = OUTSIDE
    since: float = 0.0


class ZoneTracker:
    """Enter and exit events of every tag in every zone, from fixes in time
    order. `tag_timeout` None never times a tag out."""

    def __init__(self, zones: Sequence[Zone], tag_timeout: Optional[float] = None):
        names = [z.name for z in zones]
        if len(set(names)) != len(names):
            raise ValueError("zone names must differ")
        if tag_timeout is not None and not (math.isfinite(tag_timeout) and tag_timeout > 0):
            raise ValueError(f"tag_timeout must be a positive number, got {tag_timeout!r}")
        self.zones = tuple(zones)
        self.tag_timeout = tag_timeout
        self._visits: Dict[int, List[_Visit]] = {}
        self._last: Dict[int, Tuple[float, float, float]] = {}  # tag: time, x, y
        self.late = 0  # fixes older than their tag's last one, ignored

    def update(self, tag: int, time: float, x: float, y: float,
               z: float = 0.0) -> List[ZoneEvent]:
        """The events of one fix: first the timeouts its time brings about,
        then its own, zone by zone in the site's order."""
        last = self._last.get(tag)
        if last is not None and time < last[0]:
            self.late += 1
            return []
        events = self.advance(time)
        self._last[tag] = (time, x, y)
        visits = self._visits.get(tag)
        if visits is None:
            visits = self._visits[tag] = [_Visit() for _ in self.zones]
        for zone, visit in zip(self.zones, visits):
            kind = self._step(zone, visit, time, x, y, z)
            if kind is not None:
                events.append(ZoneEvent(kind, zone.name, tag, time, x, y))
        return events

    @staticmethod
    def _step(zone: Zone, visit: _Visit, time: float, x: float, y: float,
              z: float) -> Optional[str]:
        if visit.phase in (OUTSIDE, ENTERING):
            if not zone._inside(x, y, z):
                visit.phase = OUTSIDE
                return None
            if visit.phase == OUTSIDE:
                visit.phase, visit.since = ENTERING, time
            if time - visit.since >= zone.entry_delay:
                visit.phase = INSIDE
                return "enter"
            return None
        if not zone._beyond(x, y, z):
            visit.phase = INSIDE
            return None
        if visit.phase == INSIDE:
            visit.phase, visit.since = LEAVING, time
        if time - visit.since >= zone.exit_delay:
            visit.phase = OUTSIDE
            return "exit"
        return None

    def advance(self, time: float) -> List[ZoneEvent]:
        """Times out the tags silent for longer than the timeout at `time`:
        each exits its zones (see the module's description)."""
        if self.tag_timeout is None:
            return []
        timeout = self.tag_timeout
        silent = sorted((t + timeout, tag) for tag, (t, _, _) in self._last.items()
                        if time - t > timeout)
        events = []
        for at, tag in silent:
            _, x, y = self._last.pop(tag)
            for zone, visit in zip(self.zones, self._visits.pop(tag)):
                if visit.phase in (INSIDE, LEAVING):
                    events.append(ZoneEvent("exit", zone.name, tag, at, x, y, timeout=True))
        return events

    def occupancy(self) -> Dict[str, List[int]]:
        """The tags inside each zone (a pending exit still counts), by zone
        name in the site's order."""
        inside: Dict[str, List[int]] = {zone.name: [] for zone in self.zones}
        for tag in sorted(self._visits):
            for zone, visit in zip(self.zones, self._visits[tag]):
                if visit.phase in (INSIDE, LEAVING):
                    inside[zone.name].append(tag)
        return inside
