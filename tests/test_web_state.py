"""MapState: what the map is told, what it hands out, and what it refuses."""

import json
import math
import threading
from types import SimpleNamespace

import pytest

from qz_host.web.state import RATE_WINDOW, MapState
from qz_host.tracking import TrackFix


def fix(tag=0x1001, time=1.0, x=1.0, y=2.0, sd=0.05, dop=1.5, used=(0, 1, 2), rejected=0):
    return TrackFix(time, tag, x, y, sd, dop, used, rejected)


class Clock:
    def __init__(self, now=0.0):
        self.now = now

    def __call__(self):
        return self.now


@pytest.fixture
def clock():
    return Clock(10.0)


@pytest.fixture
def state(clock):
    return MapState(trail=3, stale_after=2.0, clock=clock)


class TestTags:
    def test_latest_fix_and_bounded_trail(self, state):
        for i in range(5):
            state.add_fix(fix(time=9.0 + i / 10, x=float(i), rejected=1))
        (tag,) = state.snapshot()["tags"]
        assert tag["label"] == "1001" and tag["address"] == 0x1001
        assert (tag["x"], tag["time"], tag["fixes"], tag["rejected"]) == (4.0, 9.4, 5, 5)
        assert tag["trail"] == [[2.0, 2.0], [3.0, 2.0], [4.0, 2.0]]

    def test_colours_by_first_appearance_tags_by_address(self, state):
        for address in (0x2002, 0x1001, 0x2002, 0x0003):
            state.add_fix(fix(tag=address))
        tags = state.snapshot()["tags"]
        assert [(t["label"], t["colour"]) for t in tags] == [("0003", 2), ("1001", 1), ("2002", 0)]

    @pytest.mark.parametrize("age, stale", [(0.0, False), (1.99, False), (2.01, True), (60, True)])
    def test_stale_after_timeout_on_the_clock(self, state, clock, age, stale):
        state.add_fix(fix(time=5.0))
        clock.now = 5.0 + age
        assert state.snapshot()["tags"][0]["stale"] is stale

    def test_unknown_quality_is_null_not_infinity(self, state):
        state.add_fix(fix(sd=math.inf, dop=math.nan))
        text = json.dumps(state.snapshot(), allow_nan=False)
        assert json.loads(text)["tags"][0]["sd"] is None

    @pytest.mark.parametrize("bad", [
        fix(x=math.nan), fix(y=math.inf), fix(time=math.nan), fix(tag="x"), fix(sd="bad"),
        fix(used=None), SimpleNamespace(tag=1, time=0.0, x=0.0), None, fix(tag=10 ** 400),
        fix(tag=-1), fix(tag="12"), fix(tag=1.0),
    ])
    def test_invalid_fix_counted_not_raised(self, state, bad):
        state.add_fix(bad)
        snapshot = state.snapshot()
        assert snapshot["invalid_fixes"] == 1 and snapshot["tags"] == [] and snapshot["fixes"] == 0


class TestRate:
    def test_fixes_per_second_over_the_window(self, state, clock):
        for i in range(50):
            state.add_fix(fix(time=i / 10))  # 10 per second for 5 s
        clock.now = 4.9
        assert state.snapshot()["fixes_per_second"] == pytest.approx(50 / RATE_WINDOW)
        clock.now = 7.45  # only the fixes of the last 5 s count
        assert state.snapshot()["fixes_per_second"] == pytest.approx(25 / RATE_WINDOW)
        clock.now = 100.0
        assert state.snapshot()["fixes_per_second"] == 0.0


class TestAnchorsAndCounters:
    def test_anchors_sorted_with_labels(self, state):
        state.set_anchors({0x0A02: (10, 0.5), 0x0A01: [0.0, 0.0]})
        health = {"name": None, "heard": None, "ranges_used": 0, "used_share": None}
        assert state.snapshot()["anchors"] == [
            {"address": 0x0A01, "label": "0A01", "x": 0.0, "y": 0.0, **health},
            {"address": 0x0A02, "label": "0A02", "x": 10.0, "y": 0.5, **health}]

    @pytest.mark.parametrize("anchors, error, message", [
        ({"0A01": (0, 0)}, ValueError, "^anchor addresses must be ints 0 to 0xFFFF, got '0A01'$"),
        ({-1: (0, 0)}, ValueError, "^anchor addresses must be ints 0 to 0xFFFF, got -1$"),
        ({0x10000: (0, 0)}, ValueError, "^anchor addresses must be ints 0 to 0xFFFF, got 65536$"),
        ({True: (0, 0)}, ValueError, "^anchor addresses must be ints 0 to 0xFFFF, got True$"),
        ({1: (0, math.nan)}, ValueError, "^anchor y must be finite, got nan$"),
        # the interpreter's own words for a position of the wrong shape or kind
        ({1: (0,)}, ValueError, r"^not enough values to unpack \(expected 2, got 1\)$"),
        ({1: (0, 0, 0)}, ValueError, r"^too many values to unpack \(expected 2"),
        ({1: ("a", 0)}, ValueError, "^could not convert string to float: 'a'$"),
        ({1: None}, TypeError, "^cannot unpack non-iterable NoneType object$"),
    ])
    def test_bad_anchors_rejected_state_kept(self, state, anchors, error, message):
        state.set_anchors({1: (0, 0)})
        with pytest.raises(error, match=message):
            state.set_anchors(anchors)
        assert [a["address"] for a in state.snapshot()["anchors"]] == [1]

    def test_counters_replaced_whole(self, state):
        state.set_counters({"frames": 3, "skipped_by_reason": {"heartbeat": 1}})
        state.set_counters({"frames": 5, "rate": 1.5, "port": "/dev/ttyUSB0"})
        assert state.snapshot()["counters"] == {"frames": 5, "rate": 1.5, "port": "/dev/ttyUSB0"}

    @pytest.mark.parametrize("counters, error, message", [
        ({1: 2}, TypeError, "^counter names must be str, got int$"),
        ({"a": None}, TypeError, "^counter 'a' must be a number, a str or a dict, got NoneType$"),
        ({"a": [1]}, TypeError, "^counter 'a' must be a number, a str or a dict, got list$"),
        ({"a": True}, TypeError, "^counter 'a' must be a number, a str or a dict, got bool$"),
        ({"a": math.inf}, ValueError, "^counter 'a' must be finite, got inf$"),
        ({"a": {"b": {"c": 1}}}, TypeError, "^counter 'b' nests dicts too deep$"),
        ({"a": {2: 1}}, TypeError, "^counter names must be str, got int$"),
    ])
    def test_bad_counters_rejected(self, state, counters, error, message):
        with pytest.raises(error, match=message):
            state.set_counters(counters)
        assert state.snapshot()["counters"] == {}


class TestConstruction:
    @pytest.mark.parametrize("options, message", [
        ({"trail": 0}, "trail must be a positive int, got 0"),
        ({"trail": 2.5}, "trail must be a positive int, got 2.5"),
        ({"trail": True}, "trail must be a positive int, got True"),
        ({"stale_after": 0}, "stale_after must be positive, got 0"),
        ({"stale_after": math.nan}, "stale_after must be finite, got nan"),
        ({"stale_after": -1}, "stale_after must be positive, got -1"),
    ])
    def test_bad_options(self, options, message):
        with pytest.raises(ValueError, match=f"^{message}$"):
            MapState(**options)

    def test_version_grows_with_every_change(self, state):
        versions = [state.version]
        for change in (lambda: state.set_anchors({}), lambda: state.add_fix(fix()),
                       lambda: state.set_counters({}), lambda: state.add_fix(None)):
            change()
            versions.append(state.version)
        assert versions == sorted(set(versions))


def test_writers_and_readers_in_threads(clock):
    state = MapState(trail=10, clock=clock)
    errors = []

    def write(tag):
        for i in range(2000):
            state.add_fix(fix(tag=tag, time=float(i)))

    def read():
        try:
            for _ in range(200):
                snapshot = state.snapshot()
                json.dumps(snapshot, allow_nan=False)
                assert all(len(t["trail"]) <= 10 for t in snapshot["tags"])
        except Exception as error:  # reported below, in the main thread
            errors.append(error)

    threads = [threading.Thread(target=write, args=(t,)) for t in range(4)]
    threads += [threading.Thread(target=read) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    snapshot = state.snapshot()
    assert snapshot["fixes"] == 8000 and [t["fixes"] for t in snapshot["tags"]] == [2000] * 4
