"""The tracking stage that replay, view and live share: per-tag counts, late
messages, and the compact history behind smoothing."""

import tracemalloc
from dataclasses import replace

import pytest

from qz_host import messages, replay
from qz_host.device_time import DeviceClocks
from qz_host.messages import Message
from qz_host.track_stage import TrackStage
from qz_host.tracking import Tracker

from live_helpers import surveyed_anchors, hall_frames, hall_lines, hall_replay


@pytest.fixture(scope="module")
def hall():
    result = hall_replay()
    anchors = surveyed_anchors(result)
    tag_messages = []
    for time, frame in hall_frames():
        message = messages.decode(time, frame)
        if message is not None and not message.is_anchor:
            tag_messages.append(message)
    return result, anchors, tag_messages


def test_smoothing_from_the_compact_history_equals_the_trackers(hall):
    result, anchors, tag_messages = hall
    stage = TrackStage(anchors, dist_unit=0.01, sigma=result.sigma, smoothing=True)
    tracker = Tracker([anchors[a][:2] for a in sorted(anchors)], sigma=result.sigma,
                      history=True)
    index = {a: i for i, a in enumerate(sorted(anchors))}
    clocks = DeviceClocks()
    host_times = {}  # the fixes' times on the host's clock by tag and track time
    for message in tag_messages:
        time, track_time = clocks.place(message.src, message.time, message.sequence,
                                        message.transmitted)
        host_times[message.src, track_time] = time
        stage.track(message, time, track_time)
        tracker.update(message.src, track_time,
                       messages.distances(message.reports, index, 0.01)[0])
    expected = [replace(f, time=host_times[f.tag, f.time]) for f in tracker.smoothed()]
    assert list(stage.smoothed()) == expected
    assert replay.replay(hall_lines(), smooth=True).fixes == expected


def test_the_smoothed_history_gives_its_fixes_again_and_takes_no_more(hall):
    result, anchors, tag_messages = hall
    stage = TrackStage(anchors, dist_unit=0.01, sigma=result.sigma, smoothing=True)
    for message in tag_messages[:200]:
        stage.track(message)
    fixes = stage.smoothed()
    first = next(fixes)  # one at a time
    assert [first, *fixes] == list(stage.smoothed())
    with pytest.raises(ValueError, match="smoothed: it takes no more fixes"):
        for message in tag_messages[200:]:
            stage.track(message)


def test_smoothing_takes_no_memory_that_grows_with_the_track(hall):
    """The tracks are smoothed in their arrays and the fixes made one at a
    time: what smoothing allocates beyond the history does not grow with
    the fixes (a copy of the covariances alone would be 128 bytes a fix)."""
    result, anchors, tag_messages = hall
    stage = TrackStage(anchors, dist_unit=0.01, sigma=result.sigma, smoothing=True)
    fixes = sum(stage.track(message) is not None for message in tag_messages)
    tracemalloc.start()
    try:
        count = sum(1 for _ in stage.smoothed())
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert count == fixes > 500
    assert peak < 16 * 1024, peak


def test_counts_per_tag_and_late_messages(hall):
    result, anchors, tag_messages = hall
    stage = TrackStage(anchors, dist_unit=0.01, sigma=result.sigma)
    first = tag_messages[10]
    for message in tag_messages[:20]:
        stage.track(message)
    late = Message(first.time - 1.0, first.src, False, first.reports)
    assert stage.track(late) is None
    counts = stage.tags[first.src]
    assert counts.late == 1
    assert counts.messages == counts.fixes + counts.no_fix + counts.late
    assert sum(c.messages for c in stage.tags.values()) == 21


def test_reports_of_unknown_devices_are_counted(hall):
    result, anchors, tag_messages = hall
    stage = TrackStage(anchors, dist_unit=0.01, sigma=result.sigma)
    message = tag_messages[0]
    stage.track(Message(message.time, message.src, False,
                        message.reports + ((0x7777, 500), (0x7778, 600))))
    assert stage.unknown_peers == 2


def test_smoothing_needs_the_history(hall):
    result, anchors, _ = hall
    with pytest.raises(ValueError, match="smoothing is off"):
        TrackStage(anchors, dist_unit=0.01, sigma=result.sigma).smoothed()


def test_positions_give_ranges_by_address(hall):
    result, anchors, tag_messages = hall
    stage = TrackStage(anchors, dist_unit=0.01, sigma=result.sigma)
    position = stage.track(tag_messages[0])
    ranges = position.ranges
    assert set(ranges) <= set(anchors) and len(ranges) == len(position.fix.used)
    reported = {peer: raw * 0.01 for peer, raw in tag_messages[0].reports}
    assert all(ranges[a] == pytest.approx(reported[a]) for a in ranges)
    assert position.as_json()["ranges"] == {f"{a:04X}": round(d, 6) for a, d in ranges.items()}
