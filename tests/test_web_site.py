"""MapState's site and health: names, zones and their events, the floor
plan, anchor health, the feed's end, the clock's kind and the watchdog's
measure of silence."""

import math
import re
import time
from types import SimpleNamespace

import pytest

from qz_host.tracking import TrackFix
from qz_host.web.floor_plan import MAX_BYTES, FloorPlan, image_type
from qz_host.web.state import EVENTS_KEPT, MapState

PNG = b"\x89PNG\r\n\x1a\n" + b"\0" * 32
BAY = {"name": "bay", "polygon": [[0, 0], [5, 0], [5, 4], [0, 4]]}


def fix(tag=0x1001, time=1.0, x=1.0, y=2.0, used=(0, 1, 2)):
    return TrackFix(time, tag, x, y, 0.04, 1.1, used, 0)


def enter(tag="1001", zone="bay", time=2.0, **extra):
    return {"event": "enter", "zone": zone, "tag": tag, "time": time, "x": 1.0, "y": 2.0, **extra}


class Clock:
    def __init__(self, now=10.0):
        self.now = now

    def __call__(self):
        return self.now


@pytest.fixture
def clock():
    return Clock()


@pytest.fixture
def state(clock):
    state = MapState(clock=clock, stale_after=2.0)
    state.set_anchors({0x0A01: (0, 0), 0x0A02: (10, 0), 0x0A03: (0, 8)})
    state.set_zones([BAY])
    return state


class TestNames:
    def test_tag_names_by_address_or_label(self, state):
        state.set_tag_names({0x1001: "forklift 1", "2a": "trolley"})
        state.add_fix(fix())
        snapshot = state.snapshot()
        assert snapshot["tag_names"] == {"1001": "forklift 1", "002A": "trolley"}
        assert snapshot["tags"][0]["name"] == "forklift 1"

    def test_anchor_names(self, state):
        state.set_anchor_names({0x0A02: "dock door"})
        assert [a["name"] for a in state.snapshot()["anchors"]] == [None, "dock door", None]

    @pytest.mark.parametrize("names, message", [
        ({0x1001: ""}, "a tag's name must be a non-empty str, got ''"),
        ({0x1001: "  "}, "a tag's name must be a non-empty str, got '  '"),
        ({0x1001: 5}, "a tag's name must be a non-empty str, got 5"),
        ({"10001": "x"}, "tag labels are one to four hex digits, got '10001'"),
        ({"zz": "x"}, "tag labels are one to four hex digits, got 'zz'"),
        ({-1: "x"}, "tag addresses must be ints 0 to 0xFFFF, got -1"),
        ({0x1001: "x" * 201}, "a tag's name must be at most 200 characters, got 201")])
    def test_bad_names_rejected_state_kept(self, state, names, message):
        state.set_tag_names({0x1001: "kept"})
        with pytest.raises(ValueError, match="^%s$" % re.escape(message)):
            state.set_tag_names(names)
        assert state.snapshot()["tag_names"] == {"1001": "kept"}


class TestZones:
    def test_zones_from_mappings_or_objects(self, state):
        state.set_zones([BAY, SimpleNamespace(name="cold store",
                                              polygon=((6, 0), (9, 0), (9, 3)))])
        zones = state.snapshot()["zones"]
        assert [(z["name"], z["polygon"][2]) for z in zones] == [("bay", [5.0, 4.0]),
                                                                ("cold store", [9.0, 3.0])]
        assert zones[0]["occupants"] == [] and zones[0]["entries"] == zones[0]["exits"] == 0

    @pytest.mark.parametrize("zones, message", [
        ([{"name": "a", "polygon": [[0, 0], [1, 1]]}], "three corners"),
        ([{"name": "a", "polygon": [[0, 0], [1, 0], [1, math.nan]]}], "finite"),
        ([{"name": "a", "polygon": [[0, 0], [1, 0], [1]]}], "zone 'a'"),
        ([{"name": "", "polygon": [[0, 0], [1, 0], [1, 1]]}], "name"),
        ([{"polygon": [[0, 0], [1, 0], [1, 1]]}], "missing 'name'"),
        ([{"name": "a"}], "missing 'polygon'"),
        ([BAY, BAY], "given twice"),
    ])
    def test_bad_zones_rejected_state_kept(self, state, zones, message):
        with pytest.raises(ValueError, match=message):
            state.set_zones(zones)
        assert [z["name"] for z in state.snapshot()["zones"]] == ["bay"]

    def test_enter_and_exit_follow_occupancy(self, state):
        state.add_zone_event(enter("1001"))
        state.add_zone_event(enter(0x1002, time=3.0))
        state.add_zone_event(SimpleNamespace(event="exit", zone="bay", tag="1001", time=4.0,
                                             x=5.3, y=2.0))
        (zone,) = state.snapshot()["zones"]
        assert (zone["occupants"], zone["entries"], zone["exits"]) == (["1002"], 2, 1)
        events = state.snapshot()["events"]
        assert [(e["event"], e["tag"], e["time"]) for e in events] == [
            ("enter", "1001", 2.0), ("enter", "1002", 3.0), ("exit", "1001", 4.0)]
        assert events[2] == {"event": "exit", "zone": "bay", "tag": "1001", "time": 4.0,
                             "x": 5.3, "y": 2.0}

    def test_event_without_a_position(self, state):
        state.add_zone_event({"event": "enter", "zone": "bay", "tag": "1001", "time": 1.0})
        assert state.snapshot()["events"][0]["x"] is None

    def test_events_kept_are_the_latest(self, state):
        for i in range(EVENTS_KEPT + 5):
            state.add_zone_event(enter(time=float(i)))
        events = state.snapshot()["events"]
        assert len(events) == EVENTS_KEPT and events[-1]["time"] == EVENTS_KEPT + 4

    @pytest.mark.parametrize("event", [
        enter(event="arrive"), enter(zone="dock"), enter(zone=None), enter(tag="xyz"),
        enter(tag=0x10000), enter(tag=True), enter(time=math.nan), enter(time="soon"),
        enter(x=math.inf), {"event": "enter", "zone": "bay", "tag": "1001"}, None, 5,
        SimpleNamespace(event="enter"),
    ])
    def test_invalid_events_counted_not_raised(self, state, event):
        state.add_zone_event(event)
        snapshot = state.snapshot()
        assert snapshot["invalid_events"] == 1 and snapshot["events"] == []
        assert snapshot["zones"][0]["entries"] == 0

    def test_new_zones_start_empty_events_stay(self, state):
        state.add_zone_event(enter())
        state.set_zones([BAY])
        snapshot = state.snapshot()
        assert snapshot["zones"][0]["occupants"] == [] and len(snapshot["events"]) == 1


class TestFloorPlan:
    @pytest.mark.parametrize("data, kind", [
        (PNG, "image/png"), (b"\xff\xd8\xff\xe0" + b"\0" * 8, "image/jpeg"),
        (b"GIF89a" + b"\0" * 8, "image/gif"), (b"RIFF\0\0\0\0WEBPVP8 ", "image/webp"),
        (b'<svg xmlns="http://www.w3.org/2000/svg"/>', "image/svg+xml"),
        (b'\xef\xbb\xbf\n<?xml version="1.0"?>\n<svg/>', "image/svg+xml"),
    ])
    def test_type_from_the_first_bytes(self, data, kind):
        assert image_type(data) == kind
        assert FloorPlan(data, (0, 0, 1, 1)).content_type == kind

    @pytest.mark.parametrize("data", [b"", b"plain text", b"<html><body>", b"%PDF-1.7",
                                      b"<?xml version='1.0'?><note/>"])
    def test_not_an_image(self, data):
        with pytest.raises(ValueError, match="not a PNG"):
            FloorPlan(data, (0, 0, 1, 1))

    def test_too_large(self):
        with pytest.raises(ValueError, match="more than"):
            FloorPlan(PNG + b"\0" * MAX_BYTES, (0, 0, 1, 1))

    @pytest.mark.parametrize("bounds", [(0, 0, 1), (0, 0, 0, 1), (0, 1, 1, 0), (2, 0, 1, 1),
                                        (0, 0, math.inf, 1), ("a", 0, 1, 1), None])
    def test_bad_bounds(self, bounds):
        with pytest.raises(ValueError, match="bounds"):
            FloorPlan(PNG, bounds)

    def test_read_from_a_file(self, tmp_path):
        path = tmp_path / "plan.png"
        path.write_bytes(PNG)
        plan = FloorPlan.read(path, (-1, -2, 19, 12))
        assert plan.image == PNG and plan.bounds == (-1.0, -2.0, 19.0, 12.0)
        assert plan.placement(7) == {"url": "/floor-plan?v=7", "type": "image/png",
                                     "left": -1.0, "bottom": -2.0, "right": 19.0, "top": 12.0}

    def test_read_errors_name_the_file(self, tmp_path):
        with pytest.raises(OSError):
            FloorPlan.read(tmp_path / "none.png", (0, 0, 1, 1))
        path = tmp_path / "plan.txt"
        path.write_text("walls")
        with pytest.raises(ValueError, match="plan.txt: not a PNG"):
            FloorPlan.read(path, (0, 0, 1, 1))

    def test_set_and_cleared(self, state):
        state.set_floor_plan(FloorPlan(PNG, (0, 0, 20, 12)))
        placed = state.snapshot()["floor_plan"]
        assert placed["url"].startswith("/floor-plan?v=") and placed["right"] == 20.0
        assert state.floor_plan().image == PNG
        state.set_floor_plan(None)
        assert state.snapshot()["floor_plan"] is None and state.floor_plan() is None
        with pytest.raises(TypeError, match="^expected a FloorPlan or None, got str$"):
            state.set_floor_plan("plan.png")


class TestAnchorHealth:
    def test_fixes_count_the_ranges_they_used(self, state):
        state.add_fix(fix(time=3.0, used=(0, 1)))
        state.add_fix(fix(time=4.0, used=(0, 7)))  # 7: no such anchor, ignored
        anchors = state.snapshot()["anchors"]
        assert [(a["ranges_used"], a["heard"]) for a in anchors] == [
            (2, 4.0), (1, 3.0), (0, None)]
        assert [a["used_share"] for a in anchors] == [1.0, 0.5, 0.0]

    def test_heard_directly(self, state):
        state.anchor_heard(0x0A03, 6.5)
        state.anchor_heard(0x0A03, 5.0)  # older than what was heard: kept
        state.anchor_heard(0x0BBB, 7.0)  # not an anchor of the site: ignored
        assert state.snapshot()["anchors"][2]["heard"] == 6.5

    @pytest.mark.parametrize("address, when, message", [
        ("0A01", 1.0, "anchor addresses must be ints 0 to 0xFFFF, got '0A01'"),
        (-1, 1.0, "anchor addresses must be ints 0 to 0xFFFF, got -1"),
        (1, math.nan, "anchor_heard time must be finite, got nan")])
    def test_heard_rejects_bad_values(self, state, address, when, message):
        with pytest.raises(ValueError, match="^%s$" % re.escape(message)):
            state.anchor_heard(address, when)

    def test_follows_the_anchor_order_given(self, clock):
        state = MapState(clock=clock)
        state.set_anchors({0x0A09: (0, 0), 0x0A01: (1, 0)})  # tracker order: 0A09 first
        state.add_fix(fix(used=(0,)))
        assert [(a["label"], a["ranges_used"]) for a in state.snapshot()["anchors"]] == [
            ("0A01", 0), ("0A09", 1)]


class TestFeedEnd:
    def test_ended_with_its_text_and_a_stopped_capture_clock(self, state, clock):
        state.add_fix(fix(time=9.5))
        state.end_feed()
        clock.now = 60.0
        snapshot = state.snapshot()
        assert snapshot["feed"] == {"ended": True, "text": "replay ended"}
        assert snapshot["time"] == 10.0 and snapshot["tags"][0]["stale"] is False

    def test_a_wall_clock_runs_on(self, clock):
        state = MapState(clock=clock, clock_kind="wall")
        state.end_feed("feed ended")
        clock.now = 60.0
        assert state.snapshot()["time"] == 60.0
        assert state.snapshot()["feed"]["text"] == "feed ended"

    def test_a_fix_starts_the_feed_again(self, state, clock):
        state.end_feed()
        clock.now = 30.0
        state.add_fix(fix(time=30.0))
        snapshot = state.snapshot()
        assert snapshot["feed"] == {"ended": False, "text": None} and snapshot["time"] == 30.0

    def test_text_must_be_given(self, state):
        with pytest.raises(ValueError,
                           match="^the feed's end text must be a non-empty str, got ''$"):
            state.end_feed("")


class TestClockAndSilence:
    @pytest.mark.parametrize("options, kind", [
        ({}, "wall"), ({"clock": time.time}, "wall"), ({"clock": lambda: 0.0}, "capture"),
        ({"clock": lambda: 0.0, "clock_kind": "wall"}, "wall"),
        ({"clock_kind": "capture"}, "capture"),
    ])
    def test_clock_kind(self, options, kind):
        assert MapState(**options).snapshot()["clock"] == kind

    @pytest.mark.parametrize("options, message", [
        ({"clock_kind": "utc"}, "clock_kind must be one of capture, wall, got 'utc'"),
        ({"tag_timeout": 0}, "tag_timeout must be positive or None, got 0"),
        ({"tag_timeout": math.nan}, "tag_timeout must be finite, got nan"),
        ({"stale_after": True}, "stale_after must be a number, got True")])
    def test_bad_options(self, options, message):
        with pytest.raises(ValueError, match="^%s$" % re.escape(message)):
            MapState(**options)

    def test_data_age_on_the_monotonic_clock(self, clock):
        real = Clock(100.0)
        state = MapState(clock=clock, monotonic=real)
        state.set_anchors({1: (0, 0)})
        state.set_zones([BAY])
        assert state.snapshot()["data_age"] is None  # no data yet: a site is not data
        state.add_fix(fix())
        real.now = 102.5
        assert state.snapshot()["data_age"] == pytest.approx(2.5)
        for data in (lambda: state.anchor_heard(1, 1.0), lambda: state.add_zone_event(enter()),
                     lambda: state.add_fix(None), lambda: state.set_counters({"frames": 3})):
            real.now += 1.0
            data()
            assert state.snapshot()["data_age"] == 0.0

    def test_counters_said_again_are_no_data(self, clock):
        real = Clock(100.0)
        state = MapState(clock=clock, monotonic=real)
        state.set_counters({"frames": 3})
        real.now = 105.0
        state.set_counters({"frames": 3})
        assert state.snapshot()["data_age"] == 5.0


class TestTagTimeout:
    def test_removed_after_the_timeout(self, clock):
        state = MapState(clock=clock, stale_after=2.0, tag_timeout=6.0)
        state.add_fix(fix(tag=1, time=10.0))
        state.add_fix(fix(tag=2, time=13.0))
        clock.now = 16.0
        assert [t["address"] for t in state.snapshot()["tags"]] == [1, 2]
        clock.now = 16.5
        assert [t["address"] for t in state.snapshot()["tags"]] == [2]
        state.add_fix(fix(tag=1, time=16.5))  # back, with its colour
        assert [(t["address"], t["colour"]) for t in state.snapshot()["tags"]] == [(1, 0), (2, 1)]

    def test_removed_by_the_pipeline(self, state):
        state.add_fix(fix())
        assert state.remove_tag(0x1001) is True and state.remove_tag(0x1001) is False
        assert state.snapshot()["tags"] == []
        with pytest.raises(ValueError,
                           match="^tag addresses must be ints 0 to 0xFFFF, got '1001'$"):
            state.remove_tag("1001")


class TestCounterLabels:
    def test_labels_kept_until_replaced(self, state):
        state.set_counters({"too_few": {"1001": 2}}, labels={"too_few": "too few ranges"})
        state.set_counters({"too_few": {"1001": 3}})
        snapshot = state.snapshot()
        assert snapshot["counter_labels"] == {"too_few": "too few ranges"}
        assert snapshot["counters"] == {"too_few": {"1001": 3}}

    @pytest.mark.parametrize("labels, message", [
        ({"a": ""}, "a counter label must be a non-empty str, got ''"),
        ({1: "x"}, "a counter name must be a non-empty str, got 1"),
        ({"a": 2}, "a counter label must be a non-empty str, got 2")])
    def test_bad_labels(self, state, labels, message):
        with pytest.raises(ValueError, match="^%s$" % re.escape(message)):
            state.set_counters({"a": 1}, labels=labels)
