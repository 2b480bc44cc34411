"""Where a simulated tag is at each of its message times.

Every shape moves at one constant speed inside an area (the hall, less a
margin along every wall) and draws its waypoints from the generator it is
given, so a seed fixes the track:

* ``walk``: straight lines between random waypoints, turning at once at
  each (a person crossing a hall).
* ``curve``: legs between random waypoints with every corner rounded off
  by an arc (CURVE_RADIUS, less in narrow areas), so the track turns
  smoothly (a forklift, a cart).
* ``still``: stands at one random point.
* ``back``: walks back and forth between two random points, reversing at
  each end.
"""

from __future__ import annotations

import math
import random
from typing import Callable, Iterator, List, Sequence, Tuple

Point = Tuple[float, float]
# A stretch of track: its length (m), and the point at a distance along it.
Piece = Tuple[float, Callable[[float], Point]]
# (x_low, y_low, x_high, y_high): where tags may be, in metres.
Box = Tuple[float, float, float, float]

SHAPES = ("walk", "curve", "still", "back")
# A curve's radius (m), less in narrow areas: a quarter of the narrower
# side, so a turn fits between the walls.
CURVE_RADIUS = 1.0
# A curve's waypoints turn it by at most this (radians), so that a full arc
# fits each corner; tries before a corner gets a smaller arc.
MAX_CURVE_TURN = 2.0 * math.pi / 3.0
_CURVE_TRIES = 100
# A shuttle's ends lie at least this share of the area's diagonal apart.
_BACK_SPAN = 0.4


def positions(shape: str, rng: random.Random, box: Box, speed: float,
              times: Sequence[float]) -> List[Point]:
    """The positions at `times` (ascending) of a track of `shape`."""
    try:
        make = _SHAPES[shape]
    except KeyError:
        raise ValueError(f"a path is one of {', '.join(SHAPES)}, got {shape!r}") from None
    return make(rng, box, speed, times)


def _waypoint(rng: random.Random, box: Box) -> Point:
    x_low, y_low, x_high, y_high = box
    return rng.uniform(x_low, x_high), rng.uniform(y_low, y_high)


def _along(here: Point, target: Point, step: float) -> Tuple[Point, float]:
    """The point `step` metres from `here` towards `target`, and what of
    the step is left over on arrival."""
    gap = math.dist(here, target)
    if gap <= step:
        return target, step - gap
    f = step / gap
    return (here[0] + f * (target[0] - here[0]), here[1] + f * (target[1] - here[1])), 0.0


def _legs(speed: float, times: Sequence[float], next_target: Callable[[Point], Point],
          start: Point) -> List[Point]:
    """Straight legs from `start`, each to the point `next_target` gives."""
    here = start
    target = next_target(here)
    out = []
    previous = times[0] if times else 0.0
    for time in times:
        step = speed * (time - previous)
        previous = time
        while step > 0:
            here, step = _along(here, target, step)
            if here == target:
                target = next_target(here)
        out.append(here)
    return out


def _walk(rng: random.Random, box: Box, speed: float, times: Sequence[float]) -> List[Point]:
    start = _waypoint(rng, box)
    return _legs(speed, times, lambda _: _waypoint(rng, box), start)


def _back(rng: random.Random, box: Box, speed: float, times: Sequence[float]) -> List[Point]:
    span = _BACK_SPAN * math.hypot(box[2] - box[0], box[3] - box[1])
    first = _waypoint(rng, box)
    second = _waypoint(rng, box)
    while math.dist(first, second) < span:
        second = _waypoint(rng, box)
    return _legs(speed, times, lambda here: second if here == first else first, first)


def _still(rng: random.Random, box: Box, speed: float, times: Sequence[float]) -> List[Point]:
    here = _waypoint(rng, box)
    return [here for _ in times]


def _curve(rng: random.Random, box: Box, speed: float, times: Sequence[float]) -> List[Point]:
    radius = min(CURVE_RADIUS, 0.25 * min(box[2] - box[0], box[3] - box[1]))
    return _follow(_rounded(rng, box, radius), speed, times)


def _rounded(rng: random.Random, box: Box, radius: float) -> Iterator[Piece]:
    """Straight legs between random waypoints with every corner rounded
    off by an arc of `radius` tangent to both legs (smaller where the legs
    are too short for it). The arcs lie inside the corners, so the track
    stays within the waypoints' hull, inside the box."""
    def next_point(a: Point, b: Point) -> Point:
        # Far enough for a full arc, and turning at most MAX_CURVE_TURN;
        # where the area leaves no such point (heading into a corner, the
        # end of a corridor) the tag turns back on a smaller arc.
        for _ in range(_CURVE_TRIES):
            c = _waypoint(rng, box)
            if math.dist(b, c) >= 4.0 * radius and _turn(a, b, c) <= MAX_CURVE_TURN:
                return c
        for _ in range(_CURVE_TRIES):
            c = _waypoint(rng, box)
            if math.dist(b, c) >= 2.0 * radius:
                return c
        return c

    a = _waypoint(rng, box)
    b = next_point(a, a)
    start, used = a, 0.0  # where the track leaves the leg a-b, and how far along it
    while True:
        c = next_point(a, b)
        theta = _turn(a, b, c)
        ab, bc = math.dist(a, b), math.dist(b, c)
        if ab == 0.0 or bc == 0.0 or theta < 1e-9:
            yield _line(start, b)
            start, used, b = b, 0.0, c
            continue
        tangent = min(radius * math.tan(theta / 2.0), ab - used, bc / 2.0)
        u = ((b[0] - a[0]) / ab, (b[1] - a[1]) / ab)
        v = ((c[0] - b[0]) / bc, (c[1] - b[1]) / bc)
        entry = (b[0] - tangent * u[0], b[1] - tangent * u[1])
        yield _line(start, entry)
        yield _arc(entry, u, v, tangent / math.tan(theta / 2.0), theta)
        start, used = (b[0] + tangent * v[0], b[1] + tangent * v[1]), tangent
        a, b = b, c


def _turn(a: Point, b: Point, c: Point) -> float:
    """The heading change (0 to pi) at b of a track a-b-c."""
    return abs(math.remainder(math.atan2(c[1] - b[1], c[0] - b[0])
                              - math.atan2(b[1] - a[1], b[0] - a[0]), 2.0 * math.pi))


def _line(p: Point, q: Point) -> Piece:
    length = math.dist(p, q)

    def at(s: float) -> Point:
        f = s / length if length > 0 else 0.0
        return p[0] + f * (q[0] - p[0]), p[1] + f * (q[1] - p[1])
    return length, at


def _arc(entry: Point, u: Point, v: Point, r: float, theta: float) -> Piece:
    """The arc of radius `r` from `entry` (heading `u`) turning by `theta`
    towards heading `v`."""
    side = 1.0 if u[0] * v[1] - u[1] * v[0] > 0 else -1.0  # left or right
    centre = (entry[0] - side * r * u[1], entry[1] + side * r * u[0])
    rx, ry = entry[0] - centre[0], entry[1] - centre[1]

    def at(s: float) -> Point:
        phi = side * s / r
        c, n = math.cos(phi), math.sin(phi)
        return centre[0] + c * rx - n * ry, centre[1] + n * rx + c * ry
    return r * theta, at


def _follow(pieces: Iterator[Piece], speed: float, times: Sequence[float]) -> List[Point]:
    """Positions at `times` of a tag moving along `pieces` at `speed`."""
    length, at = next(pieces)
    s = 0.0  # how far along the current piece
    out = []
    previous = times[0] if times else 0.0
    for time in times:
        s += speed * (time - previous)
        previous = time
        while s > length:
            s -= length
            length, at = next(pieces)
        out.append(at(s))
    return out


_SHAPES = {"walk": _walk, "curve": _curve, "still": _still, "back": _back}
