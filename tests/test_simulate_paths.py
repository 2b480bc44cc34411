"""The shapes of simulated tracks: inside their area, at their speed, and
turning the way each shape turns."""

import math
import random

import pytest

from qz_host import trajectories
from qz_host.simulate import NO_OFFSETS, Scenario, simulate

BOX = (1.0, 1.0, 19.0, 11.0)
CORRIDOR = (1.0, 1.0, 39.0, 2.0)
TIMES = [i / 10 for i in range(3000)]


def track(shape, box=BOX, speed=1.0, seed=2, times=TIMES):
    return trajectories.positions(shape, random.Random(seed), box, speed, times)


def turns(points):
    """The heading change (radians, 0 to pi) at each point between moves."""
    out = []
    for a, b, c in zip(points, points[1:], points[2:]):
        u = (b[0] - a[0], b[1] - a[1])
        v = (c[0] - b[0], c[1] - b[1])
        if math.hypot(*u) > 1e-9 and math.hypot(*v) > 1e-9:
            out.append(abs(math.remainder(math.atan2(v[1], v[0]) - math.atan2(u[1], u[0]),
                                          2 * math.pi)))
    return out


@pytest.mark.parametrize("shape", trajectories.SHAPES)
@pytest.mark.parametrize("box", [BOX, CORRIDOR])
def test_every_shape_stays_inside_and_keeps_its_speed(shape, box):
    points = track(shape, box)
    assert len(points) == len(TIMES)
    assert all(box[0] <= x <= box[2] and box[1] <= y <= box[3] for x, y in points)
    steps = [math.dist(a, b) for a, b in zip(points, points[1:])]
    assert max(steps) <= 0.1 + 1e-9
    if shape == "still":
        assert max(steps) == 0
    else:
        # Only a turn within a step cuts a corner.
        assert sorted(steps)[len(steps) // 2] == pytest.approx(0.1, rel=1e-6)


@pytest.mark.parametrize("box", [BOX, CORRIDOR])
def test_walks_turn_sharply_and_curves_smoothly(box):
    walk, curve = turns(track("walk", box)), turns(track("curve", box))
    assert max(walk) > 1.0
    assert sum(t > 1e-6 for t in walk) < 0.05 * len(walk)  # straight between the turns
    # At 0.1 m a step, a curve of radius r turns 0.1 / r a step; only a
    # tag that must turn back (heading into a corner) takes a tighter arc.
    radius = min(trajectories.CURVE_RADIUS, 0.25 * min(box[2] - box[0], box[3] - box[1]))
    curving = sorted(curve)
    assert curving[int(0.98 * len(curving))] <= 0.1 / radius + 1e-6
    assert sum(curve) > 4 * math.pi


def test_back_reverses_on_one_line():
    points = track("back")
    assert max(turns(points)) == pytest.approx(math.pi, abs=0.2)
    ends = {p for p, q in zip(points, points[1:]) if p == q}  # none: it never stops
    assert not ends
    # Every point lies on the line between the two ends.
    (x0, y0), (x1, y1) = points[0], max(points, key=lambda p: math.dist(p, points[0]))
    for x, y in points:
        cross = (x1 - x0) * (y - y0) - (y1 - y0) * (x - x0)
        assert abs(cross) / math.dist((x0, y0), (x1, y1)) < 1e-6


def test_an_unknown_shape_is_refused():
    with pytest.raises(ValueError, match="a path is one of walk, curve, still, back"):
        track("hop")


@pytest.mark.parametrize("shape", trajectories.SHAPES)
def test_simulated_tracks_follow_the_shape(shape):
    sim = simulate(Scenario(path=shape, duration=3.0, hall=(40.0, 3.0), origin=(-5.0, 2.0),
                            anchors=((0x0A01, -4.5, 2.5), (0x0A02, 34.5, 2.5),
                                     (0x0A03, 34.5, 4.5), (0x0A04, -4.5, 4.5)),
                            **NO_OFFSETS))
    assert all(-4.0 <= x <= 34.0 and 3.0 <= y <= 4.0 for _, _, x, y in sim.tracks)
    first = [(x, y) for _, tag, x, y in sim.tracks if tag == 0x1001]
    assert (len(set(first)) == 1) == (shape == "still")
