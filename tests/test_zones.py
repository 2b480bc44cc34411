"""Zones: their polygons, the per-tag state machine and its events, and the
evaluation of the events of fixes against those of the truth."""

import functools
import json
import math
import random

import pytest

from qz_host.zone_evaluation import score, zone_events
from qz_host.zones import Zone, ZoneEvent, ZoneTracker, polygon_problem

SQUARE = ((0.0, 0.0), (4.0, 0.0), (4.0, 4.0), (0.0, 4.0))
# A U open to the north: the notch x 1..3, y 1..4 is outside.
U_SHAPE = ((0.0, 0.0), (4.0, 0.0), (4.0, 4.0), (3.0, 4.0), (3.0, 1.0), (1.0, 1.0),
           (1.0, 4.0), (0.0, 4.0))


def circle(n, radius=5.0, centre=(0.0, 0.0)):
    return tuple((centre[0] + radius * math.cos(2 * math.pi * k / n),
                  centre[1] + radius * math.sin(2 * math.pi * k / n)) for k in range(n))


def star(n, outer=5.0, inner=2.0):
    """A concave star of `n` points, alternating outer and inner radii."""
    return tuple(((outer if k % 2 == 0 else inner) * math.cos(math.pi * k / n * 2),
                  (outer if k % 2 == 0 else inner) * math.sin(math.pi * k / n * 2))
                 for k in range(n))


def feed(tracker, rows):
    events = []
    for row in rows:
        events.extend(tracker.update(*row))
    return events


@pytest.mark.parametrize("points, problem", [
    (SQUARE[:2], "polygon needs at least 3 points"),
    (((0, 0), (1, 1), (0, 0)), "at least 3 distinct points, has 2"),
    (((0, 0), (1, 0), (1, 0), (0, 1)), "point 3 repeats point 2"),
    (((0, 0), (1, 1), (2, 2)), "encloses no area"),
    (((0, 0), (2, 2), (2, 0), (0, 2)), "crosses itself: the edge from point 1 to 2 meets "
                                       "the edge from point 3 to 4"),
    # A spike that runs back along its own edge.
    (((0, 0), (4, 0), (4, 4), (4, 2)), "crosses itself"),
    # Two loops touching at a corner.
    (((0, 0), (2, 0), (1, 1), (2, 2), (0, 2), (1, 1)), "crosses itself"),
    (((0, 0), (math.nan, 0), (1, 1)), "point 2 is not finite"),
    (circle(10001), "at most 10000"),
])
def test_polygon_problems(points, problem):
    assert problem in polygon_problem(points)


@pytest.mark.parametrize("points", [SQUARE, SQUARE + (SQUARE[0],), U_SHAPE, circle(2000),
                                    star(400), tuple(reversed(U_SHAPE))])
def test_sound_polygons(points):
    assert polygon_problem(points) is None


@pytest.mark.parametrize("point, inside", [
    ((0.5, 3.0), True), ((3.5, 3.0), True), ((2.0, 0.5), True),
    ((2.0, 3.0), False), ((2.0, 1.5), False), ((5.0, 2.0), False), ((-0.1, 0.5), False)])
def test_concave_polygon_contains(point, inside):
    assert Zone("u", U_SHAPE).contains(*point) is inside


def test_distance_outside_counts_the_notch_and_height():
    zone = Zone("u", U_SHAPE, min_height=0.0, max_height=2.0)
    assert zone.distance_outside(0.5, 3.0) == 0.0
    assert zone.distance_outside(2.0, 3.0) == pytest.approx(1.0)  # notch: 1 m to either arm
    assert zone.distance_outside(2.0, 5.0) == pytest.approx(math.hypot(1.0, 1.0))
    assert zone.distance_outside(0.5, 3.0, 2.5) == pytest.approx(0.5)
    assert zone.distance_outside(-3.0, 0.5, 6.0) == pytest.approx(5.0)


def test_many_points_circle_matches_its_radius():
    zone = Zone("round", circle(5000, radius=5.0, centre=(10.0, 10.0)))
    rng = random.Random(3)
    for _ in range(200):
        x, y = rng.uniform(3, 17), rng.uniform(3, 17)
        r = math.hypot(x - 10, y - 10)
        if abs(r - 5.0) > 1e-3:
            assert zone.contains(x, y) is (r < 5.0)
            assert zone.distance_outside(x, y) == pytest.approx(max(0.0, r - 5.0), abs=1e-5)


@pytest.mark.parametrize("changes, problem", [
    ({"name": ""}, "needs a name"), ({"name": "a/b"}, "MQTT topic"),
    ({"exit_tolerance": -0.1}, "exit_tolerance must be"),
    ({"entry_delay": math.nan}, "entry_delay must be"),
    ({"min_height": math.nan}, "min_height must be finite"),
    ({"min_height": 3.0, "max_height": 1.0}, "min_height 3 is above max_height 1"),
])
def test_zone_refuses_bad_settings(changes, problem):
    settings = {"name": "bay", "polygon": SQUARE, **changes}
    with pytest.raises(ValueError, match="zone .*" + problem.replace("#", ".")):
        Zone(**settings)


def test_events_serialise_as_json_lines_objects():
    event = ZoneEvent("enter", "bay", 0x1001, 12.3, 1.0, 2.0)
    assert json.dumps(event.as_json()) == \
        '{"event": "enter", "zone": "bay", "tag": "1001", "time": 12.3, "x": 1.0, "y": 2.0}'
    gone = ZoneEvent("exit", "bay", 0x0A, 20.0, 1.0, 2.0, timeout=True)
    assert gone.as_json()["tag"] == "000A" and gone.as_json()["timeout"] is True


def test_enter_and_exit_without_hysteresis():
    tracker = ZoneTracker([Zone("sq", SQUARE, exit_tolerance=0, exit_delay=0)])
    events = feed(tracker, [(1, 0.0, -1.0, 2.0), (1, 1.0, 1.0, 2.0), (1, 2.0, 2.0, 2.0),
                            (1, 3.0, 4.01, 2.0)])
    assert [(e.event, e.time, e.x) for e in events] == [("enter", 1.0, 1.0), ("exit", 3.0, 4.01)]
    assert tracker.occupancy() == {"sq": []}


def test_exit_needs_the_tolerance_and_the_delay():
    tracker = ZoneTracker([Zone("sq", SQUARE, exit_tolerance=0.5, exit_delay=1.0)])
    rows = [(1, 0.0, 2.0, 2.0),
            (1, 1.0, 4.4, 2.0),  # outside but within the tolerance: still inside
            (1, 2.0, 4.6, 2.0),  # beyond it: the exit waits for the delay
            (1, 2.5, 4.3, 2.0),  # back within the tolerance: no exit
            (1, 3.0, 4.6, 2.0), (1, 3.9, 5.0, 2.0),
            (1, 4.0, 5.0, 2.0)]  # a full second beyond: the exit counts here
    events = feed(tracker, rows)
    assert [(e.event, e.time) for e in events] == [("enter", 0.0), ("exit", 4.0)]


def test_entry_delay_waits_inside_and_restarts_after_leaving():
    tracker = ZoneTracker([Zone("sq", SQUARE, entry_delay=1.0)])
    rows = [(1, 0.0, 2.0, 2.0), (1, 0.5, 2.0, 2.0),
            (1, 0.7, 4.1, 2.0),  # out again before the delay: nothing
            (1, 1.0, 2.0, 2.0), (1, 1.9, 2.0, 2.0)]
    assert feed(tracker, rows) == []
    assert tracker.occupancy() == {"sq": []}
    [event] = tracker.update(1, 2.0, 2.0, 2.0)
    assert (event.event, event.time) == ("enter", 2.0)
    assert tracker.occupancy() == {"sq": [1]}


def test_height_range_limits_the_zone():
    zone = Zone("mezzanine", SQUARE, min_height=2.0, max_height=4.0, exit_tolerance=0.2,
                exit_delay=0)
    tracker = ZoneTracker([zone])
    rows = [(1, 0.0, 2.0, 2.0, 0.0),  # under it
            (1, 1.0, 2.0, 2.0, 3.0),  # on it
            (1, 2.0, 2.0, 2.0, 4.1),  # within the tolerance above
            (1, 3.0, 2.0, 2.0, 4.5)]  # beyond it
    events = feed(tracker, rows)
    assert [(e.event, e.time) for e in events] == [("enter", 1.0), ("exit", 3.0)]


def test_tags_and_zones_are_independent_and_ordered():
    zones = [Zone("a", SQUARE), Zone("b", tuple((x + 2, y) for x, y in SQUARE))]
    tracker = ZoneTracker(zones)
    events = tracker.update(1, 0.0, 3.0, 1.0)  # in both: a first, as the site lists them
    events += tracker.update(2, 0.1, 5.0, 1.0)  # in b only
    assert [(e.tag, e.zone) for e in events] == [(1, "a"), (1, "b"), (2, "b")]
    assert tracker.occupancy() == {"a": [1], "b": [1, 2]}


def test_a_silent_tag_times_out_of_its_zones():
    tracker = ZoneTracker([Zone("sq", SQUARE)], tag_timeout=5.0)
    tracker.update(1, 0.0, 2.0, 2.0)
    tracker.update(2, 0.0, 1.0, 1.0)
    assert tracker.update(2, 5.0, 1.0, 1.0) == []  # 5 s of silence is not more than 5
    events = tracker.update(2, 6.0, 1.0, 1.0)
    assert [e.as_json() for e in events] == [
        {"event": "exit", "zone": "sq", "tag": "0001", "time": 5.0, "x": 2.0, "y": 2.0,
         "timeout": True}]
    assert tracker.occupancy() == {"sq": [2]}
    # Back after the timeout: a new visit.
    assert [e.event for e in tracker.update(1, 7.0, 2.0, 2.0)] == ["enter"]
    # advance() carries the time on when no fixes come.
    assert [(e.tag, e.time) for e in tracker.advance(100.0)] == [(2, 11.0), (1, 12.0)]
    assert tracker.occupancy() == {"sq": []}


def test_late_fixes_are_counted_and_ignored():
    tracker = ZoneTracker([Zone("sq", SQUARE, exit_delay=0)])
    tracker.update(1, 2.0, 2.0, 2.0)
    assert tracker.update(1, 1.0, 9.0, 9.0) == []
    assert tracker.late == 1 and tracker.occupancy() == {"sq": [1]}


@pytest.mark.parametrize("kwargs, problem", [
    ({"zones": [Zone("a", SQUARE), Zone("a", SQUARE)]}, "names must differ"),
    ({"zones": [], "tag_timeout": 0.0}, "tag_timeout"),
    ({"zones": [], "tag_timeout": math.nan}, "tag_timeout"),
])
def test_tracker_refuses_bad_settings(kwargs, problem):
    with pytest.raises(ValueError, match=problem):
        ZoneTracker(**kwargs)


def border_fixes(sd, seconds=120.0, rate=10.0, seed=7):
    """A tag standing on the east border of SQUARE, its fixes jittering."""
    rng = random.Random(seed)
    return [(k / rate, 1, 4.0 + rng.gauss(0, sd), 2.0 + rng.gauss(0, sd))
            for k in range(int(seconds * rate))]


def test_a_tag_on_the_border_flaps_without_hysteresis_and_not_with_it():
    fixes = border_fixes(0.05)
    truth = [ZoneEvent("enter", "sq", 1, 0.0, 4.0, 2.0)]
    bare = Zone("sq", SQUARE, exit_tolerance=0.0, exit_delay=0.0)
    flapping = score(truth, zone_events([bare], fixes), window=1.0)
    assert len(flapping.flaps) > 100
    steady = Zone("sq", SQUARE, exit_tolerance=0.3, exit_delay=2.0)
    result = score(truth, zone_events([steady], fixes), window=1.0)
    assert result.as_dict() == {"truth": 1, "measured": 1, "matched": 1, "missed": 0,
                                "false": 0, "flapping": 0}


def test_score_sorts_missed_false_and_flapping():
    def ev(kind, time, tag=1, zone="sq"):
        return ZoneEvent(kind, zone, tag, time, 0.0, 0.0)

    truth = [ev("enter", 0.0), ev("exit", 10.0), ev("enter", 20.0), ev("enter", 30.0, tag=2)]
    measured = [ev("enter", 0.4),
                ev("exit", 4.0), ev("enter", 6.0),  # a flap: the truth stays inside
                ev("exit", 10.8),
                ev("enter", 23.0),  # too late for the true entry at 20
                ev("enter", 30.2, zone="other")]  # the wrong zone
    result = score(truth, measured, window=1.0, flap_window=5.0)
    assert [(t.time, m.time) for t, m in result.matched] == [(0.0, 0.4), (10.0, 10.8)]
    assert [e.time for e in result.missed] == [20.0, 30.0]
    assert [(a.time, b.time) for a, b in result.flaps] == [(4.0, 6.0)]
    assert [e.time for e in result.false] == [23.0, 30.2]
    # An exit whose re-entry is too late, or matched, is false, not a flap.
    later = score([ev("enter", 9.0)], [ev("exit", 1.0), ev("enter", 9.0)], flap_window=5.0)
    assert later.flaps == [] and [e.time for e in later.false] == [1.0]


@functools.lru_cache(maxsize=1)
def simulated_walk():
    """A simulated capture replayed against its true anchors, with zones
    that the walkers cross many times."""
    from qz_host.replay import replay
    from qz_host.simulate import Scenario, simulate
    from qz_host.capture import format_line

    sim = simulate(Scenario(duration=60.0, tags=(0x1001, 0x1002, 0x1003), seed=11))
    lines = [format_line(t, frame) for t, frame in sim.frames]
    result = replay(lines, anchors=sim.anchors)
    fixes = [(f.time, f.tag, f.x, f.y) for f in result.fixes]
    truth = [(t, tag, x, y) for t, tag, x, y in sim.tracks]
    zones = [Zone("west", ((1.0, 1.0), (7.0, 1.0), (7.0, 11.0), (1.0, 11.0))),
             Zone("east", tuple((x * 2 + 11, y * 2.5 + 1) for x, y in U_SHAPE)),
             Zone("ring", circle(720, radius=3.0, centre=(10.0, 6.0)), exit_delay=1.0)]
    return zones, truth, fixes


def test_a_simulated_walk_gives_the_true_events():
    zones, truth, fixes = simulated_walk()
    true_events = zone_events(zones, truth)
    measured = zone_events(zones, fixes)
    result = score(true_events, measured, window=1.0)
    assert len(true_events) >= 20
    assert result.as_dict()["flapping"] == 0
    assert len(result.missed) + len(result.false) <= 0.1 * len(true_events)
    # Without hysteresis the same fixes chatter at the borders.
    bare = [Zone(z.name, z.polygon, exit_tolerance=0.0, exit_delay=0.0) for z in zones]
    chattering = score(zone_events(bare, truth), zone_events(bare, fixes), window=1.0)
    assert len(chattering.flaps) > 0


def test_the_same_fixes_give_the_same_events():
    zones, _, fixes = simulated_walk()
    once = [e.as_json() for e in zone_events(zones, fixes, tag_timeout=2.0)]
    # Fed again in another tracker, one fix at a time with advance() ticks
    # between them, as a live loop would.
    tracker = ZoneTracker(zones, tag_timeout=2.0)
    again = []
    for time, tag, x, y in fixes:
        again += [e.as_json() for e in tracker.advance(time)]
        again += [e.as_json() for e in tracker.update(tag, time, x, y)]
    assert again == once and once
