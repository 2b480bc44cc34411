"""MapState.changes: what a reader at some version lacks, so that it
converges on the whole state by differences alone."""

import json
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from qz_host.tracking import TrackFix
from qz_host.web import state as state_module
from qz_host.web.floor_plan import FloorPlan
from qz_host.web.state import MapState
from web_client import Mirror, comparable

BAY = {"name": "bay", "polygon": [[0, 0], [5, 0], [5, 4], [0, 4]]}


class Clock:
    def __init__(self, now=10.0):
        self.now = now

    def __call__(self):
        return self.now


def fix(tag=0x1001, time=10.0, x=1.0, y=2.0):
    return TrackFix(time, tag, x, y, 0.04, 1.1, (0, 1), 0)


@pytest.fixture
def clock():
    return Clock()


@pytest.fixture
def state(clock):
    state = MapState(clock=clock, trail=4, monotonic=Clock(0.0))
    state.set_anchors({0x0A01: (0, 0), 0x0A02: (10, 0), 0x0A03: (0, 8)})
    state.set_zones([BAY])
    return state


def applied(state, reader):
    """A Mirror at `reader` (a whole message's state) brought up to date."""
    mirror = Mirror()
    mirror.apply({"type": "state", "state": reader})
    delta = state.changes(reader["version"])
    assert delta is not None
    mirror.apply({"type": "delta", **json.loads(json.dumps(delta))})
    return mirror.comparable()


class TestDifferences:
    def test_only_the_tag_that_changed_and_its_new_points(self, state):
        state.add_fix(fix(tag=1, x=1.0))
        state.add_fix(fix(tag=2, x=2.0))
        reader = state.wire_snapshot()
        state.add_fix(fix(tag=1, x=1.5))
        state.add_fix(fix(tag=1, x=1.75))
        delta = state.changes(reader["version"])
        (change,) = delta["tags"]
        assert change["label"] == "0001" and change["x"] == 1.75
        assert change["trail_add"] == [[1.5, 2.0], [1.75, 2.0]]
        assert "colour" not in change and "trail" not in change  # the reader has them
        assert delta["removed"] == [] and delta["from"] == reader["version"]
        assert delta["version"] == state.version

    def test_a_new_tag_comes_with_what_a_reader_needs_once(self, state):
        reader = state.wire_snapshot()
        state.add_fix(fix(tag=7))
        (change,) = state.changes(reader["version"])["tags"]
        assert (change["address"], change["colour"], change["trail_add"]) == (7, 0, [[1.0, 2.0]])

    def test_parts_only_when_they_changed(self, state):
        reader = state.wire_snapshot()
        assert not {"anchors", "anchor_health", "zones", "counters", "tag_names", "floor_plan",
                    "feed"} & set(state.changes(reader["version"]))
        state.set_counters({"frames": 1})
        assert {"counters", "counter_labels"} <= set(state.changes(reader["version"]))
        assert "zones" not in state.changes(reader["version"])

    def test_health_alone_comes_without_the_places(self, state):
        reader = state.wire_snapshot()
        state.add_fix(fix())
        delta = state.changes(reader["version"])
        assert "anchors" not in delta
        assert delta["anchor_health"]["0A01"] == {"heard": 10.0, "ranges_used": 1,
                                                 "used_share": 1.0}
        assert delta["anchor_health"]["0A03"]["ranges_used"] == 0

    def test_only_the_events_a_reader_lacks(self, state):
        state.add_zone_event({"event": "enter", "zone": "bay", "tag": "1", "time": 1.0})
        reader = state.wire_snapshot()
        state.add_zone_event({"event": "exit", "zone": "bay", "tag": "1", "time": 2.0})
        delta = state.changes(reader["version"])
        assert [e["event"] for e in delta["events"]] == ["exit"]
        assert delta["zones"][0]["exits"] == 1

    def test_removals_listed(self, state, clock):
        state.add_fix(fix(tag=1))
        state.add_fix(fix(tag=2))
        reader = state.wire_snapshot()
        state.remove_tag(1)
        delta = state.changes(reader["version"])
        assert delta["removed"] == ["0001"] and delta["tags"] == []

    @pytest.mark.parametrize("since", [-1, 10 ** 9])
    def test_versions_it_cannot_speak_for(self, state, since):
        assert state.changes(since) is None

    def test_a_reader_behind_forgotten_removals_needs_the_whole(self, state, monkeypatch):
        monkeypatch.setattr(state_module, "REMOVALS_KEPT", 3)
        reader = state.wire_snapshot()
        for tag in range(5):
            state.add_fix(fix(tag=tag))
        middle = state.wire_snapshot()
        for tag in range(5):
            state.remove_tag(tag)
        assert state.changes(reader["version"]) is None
        assert state.changes(middle["version"]) is None
        late = state.wire_snapshot()
        assert state.changes(late["version"])["removed"] == []

    def test_wire_values_rounded_snapshot_exact(self, state):
        state.add_fix(TrackFix(10.123456789, 1, 1.234567891, 2.0, 0.0312345678, 0.87654321,
                               (0,), 0))
        exact, wire = state.snapshot()["tags"][0], state.wire_snapshot()["tags"][0]
        assert (exact["x"], exact["time"], exact["sd"]) == (1.234567891, 10.123456789, 0.0312345678)
        assert (wire["x"], wire["time"], wire["sd"], wire["dop"]) == (1.2346, 10.123, 0.0312,
                                                                      0.8765)
        assert wire["trail"] == [[1.2346, 2.0]]


class TestSize:
    def test_a_round_of_fixes_at_200_tags_costs_a_fraction_of_the_whole(self, clock):
        rng = random.Random(1)
        state = MapState(clock=clock)
        state.set_anchors({0x0A00 + i: (i * 5.0, (i % 2) * 20.0) for i in range(8)})

        def round_of_fixes(time):
            for tag in range(200):
                state.add_fix(TrackFix(time, tag, rng.uniform(0, 35), rng.uniform(0, 20),
                                       rng.uniform(0.03, 0.06), rng.uniform(0.8, 1.3),
                                       (0, 1, 2, 3, 4, 5), 0))
        for i in range(60):
            round_of_fixes(i * 0.1)
        reader = state.wire_snapshot()
        whole = len(json.dumps(reader))
        round_of_fixes(6.0)
        one_round = len(json.dumps(state.changes(reader["version"])))
        assert one_round * 5 < whole
        reader = state.wire_snapshot()
        state.add_fix(fix(tag=3, time=6.1))
        assert len(json.dumps(state.changes(reader["version"]))) < 1000


# Operations on a state, drawn at random; a reader's copy is taken between
# them, and every copy must come up to date by one difference.
OPERATIONS = st.one_of(
    st.tuples(st.just("fix"), st.integers(0, 5), st.floats(-50, 50), st.floats(-50, 50)),
    st.tuples(st.just("remove"), st.integers(0, 5)),
    st.tuples(st.just("advance"), st.floats(0.0, 8.0)),
    st.tuples(st.just("names"), st.dictionaries(st.integers(0, 5), st.sampled_from(["a", "b"]))),
    st.tuples(st.just("counters"), st.integers(0, 3)),
    st.tuples(st.just("event"), st.sampled_from(["enter", "exit"]), st.integers(0, 5)),
    st.tuples(st.just("zones"), st.booleans()),
    st.tuples(st.just("heard"), st.integers(0, 2)),
    st.tuples(st.just("plan"), st.booleans()),
    st.tuples(st.just("end"),),
    st.tuples(st.just("read"),),
)


def run(state, clock, operation):
    kind, *args = operation
    if kind == "fix":
        state.add_fix(fix(tag=args[0], time=clock.now, x=args[1], y=args[2]))
    elif kind == "remove":
        state.remove_tag(args[0])
    elif kind == "advance":
        clock.now += args[0]
    elif kind == "names":
        state.set_tag_names(args[0])
    elif kind == "counters":
        state.set_counters({"frames": args[0], "fixes": {"0001": args[0]}})
    elif kind == "event":
        state.add_zone_event({"event": args[0], "zone": "bay", "tag": args[1], "time": clock.now})
    elif kind == "zones":
        state.set_zones([BAY] if args[0] else [])
    elif kind == "heard":
        state.anchor_heard(0x0A01 + args[0], clock.now)
    elif kind == "plan":
        state.set_floor_plan(FloorPlan(b"GIF89a", (0, 0, 9, 9)) if args[0] else None)
    elif kind == "end":
        state.end_feed()


@settings(max_examples=150, deadline=None)
@given(st.lists(OPERATIONS, max_size=40))
def test_every_reader_converges_by_one_difference(operations):
    clock = Clock()
    state = MapState(clock=clock, trail=3, stale_after=2.0, tag_timeout=6.0,
                     monotonic=Clock(0.0))
    state.set_anchors({0x0A01: (0, 0), 0x0A02: (10, 0), 0x0A03: (0, 8)})
    readers = [state.wire_snapshot()]
    for operation in operations:
        run(state, clock, operation)
        if operation[0] == "read":
            readers.append(state.wire_snapshot())
    now = comparable(state.wire_snapshot())
    for reader in readers:
        assert applied(state, reader) == now


def test_readers_following_step_by_step_converge(state, clock):
    """A reader that takes every difference as it comes, as a browser does."""
    mirror = Mirror()
    mirror.apply({"type": "state", "state": state.wire_snapshot()})
    rng = random.Random(3)
    for step in range(300):
        run(state, clock, rng.choice([("fix", rng.randrange(6), rng.uniform(0, 9), 1.0),
                                      ("advance", 0.5), ("remove", rng.randrange(6)),
                                      ("event", "enter", rng.randrange(6)), ("heard", 1)]))
        if step % 7 == 0:
            delta = state.changes(mirror.state["version"])
            mirror.apply({"type": "delta", **json.loads(json.dumps(delta))})
    mirror.apply({"type": "delta", **state.changes(mirror.state["version"])})
    assert mirror.comparable() == comparable(state.wire_snapshot())
