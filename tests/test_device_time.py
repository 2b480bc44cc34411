"""Tag messages placed on their tags' own transmit times: bursts, duplicates,
sequence gaps, the 40-bit wrap, absent and jumping device times."""

from pathlib import Path

import pytest

from qz_host import capture, device_time, frames, live_report, messages, replay, report
from qz_host.device_time import (AHEAD_LIMIT, TICK_SECONDS, WRAP_SECONDS, WRAP_TICKS,
                                 DeviceClocks)
from qz_host.pipeline import Pipeline, Sink

from live_helpers import surveyed_anchors, hall_frames, hall_replay

TAG = 0x1001
TROLLEY = Path(__file__).resolve().parent.parent / "examples" / "trolley-fast.qzcap"
_SEQUENCE = frames.UWB_OFFSET + frames.field_offset(frames.UWB_HEADER_LAYOUT, "seq_num")
_TRANSMITTED = frames.PAYLOAD_OFFSET + frames.field_offset(frames.RANGING_MESSAGE_LAYOUT, "tx_ts")


class Collect(Sink):
    def __init__(self):
        self.fixes = []

    def fix(self, position):
        self.fixes.append(position)


@pytest.fixture(scope="module")
def hall():
    result = hall_replay()
    anchors = surveyed_anchors(result)
    return result, anchors


def tracked(hall, feed):
    """The fixes and tags' counts of a pipeline that knows the hall's
    anchors, fed by `feed(pipeline)`."""
    result, anchors = hall
    sink = Collect()
    pipeline = Pipeline([sink], anchors=anchors, sigma=result.sigma,
                        checksum_name=frames.FCS_NAME)
    feed(pipeline)
    return sink.fixes, pipeline.counters


def paced(items):
    return lambda pipeline: [pipeline.feed_frame(t, f) for t, f in items]


def restamped(frame, *, sequence=None, transmitted=None):
    """`frame` with another sequence number or transmit time, its checksum
    made again."""
    data = bytearray(frame)
    if sequence is not None:
        data[_SEQUENCE] = sequence
    if transmitted is not None:
        data[_TRANSMITTED:_TRANSMITTED + 5] = transmitted.to_bytes(5, "little")
    data[-2:] = frames.fcs(bytes(data[frames.UWB_OFFSET:-2])).to_bytes(2, "little")
    return bytes(data)


def tag_of(frame):
    """The sender of a tag message, None for any other frame."""
    message = messages.decode(0.0, frame)
    return message.src if message is not None and not message.is_anchor else None


def positions(fixes):
    return [p.fix.tag for p in fixes], [v for p in fixes for v in (p.fix.x, p.fix.y)]


def assert_same_fixes(fixes, expected):
    """The same tags' fixes, at the same places but for rounding."""
    tags, places = positions(fixes)
    expected_tags, expected_places = positions(expected)
    assert tags == expected_tags
    assert places == pytest.approx(expected_places, abs=1e-9)


def rejected(counters):
    return {tag: t.rejected for tag, t in counters.tags.items()}


def wrapped_hall(shift):
    """The hall's frames with every transmit time moved on by `shift` ticks."""
    items = []
    for t, f in hall_frames():
        message = messages.decode(0.0, f)
        if message is not None:
            f = restamped(f, transmitted=(message.transmitted + shift) % WRAP_TICKS)
        items.append((t, f))
    return items


# A transmit time 12 s short of the wrap: the hall's 31 s run wraps in its middle.
NEAR_WRAP = WRAP_TICKS - round(12.0 / TICK_SECONDS)


@pytest.mark.parametrize("shift", [0, NEAR_WRAP])
@pytest.mark.parametrize("reads", [1, 2, 7])
def test_a_burst_tracks_as_the_paced_stream(hall, shift, reads):
    """A gateway's backlog read in a few chunks, each chunk's frames given
    one arrival time, gives the paced stream's fixes and rejections."""
    items = wrapped_hall(shift)
    expected, expected_counts = tracked(hall, paced(items))
    stream = b"".join(f for _, f in items)
    cut = [len(stream) * i // reads for i in range(reads + 1)]

    def burst(pipeline):
        for i in range(reads):
            pipeline.feed_bytes("tcp", 100.0 + i * 0.001, stream[cut[i]:cut[i + 1]])

    fixes, counts = tracked(hall, burst)
    assert_same_fixes(fixes, expected)
    assert rejected(counts) == rejected(expected_counts)
    assert sum(t.clock_resets + t.late for t in counts.tags.values()) == 0
    # no fix is given a time after its frame arrived
    assert max(p.fix.time for p in fixes) <= 100.0 + reads * 0.001


def test_paced_fixes_keep_their_arrival_times(hall):
    result, _ = hall
    fixes, _ = tracked(hall, paced(hall_frames()))
    assert [(p.fix.tag, p.fix.time) for p in fixes] == [(f.tag, f.time) for f in result.fixes]


@pytest.mark.parametrize("later", [0, 5])
def test_duplicates_make_no_fixes_and_are_counted(hall, later):
    """Every frame delivered again, at once or after `later` other frames."""
    items = hall_frames()
    expected, _ = tracked(hall, paced(items))
    doubled = []
    for i, item in enumerate(items):
        doubled.append(item)
        if i >= later:
            doubled.append((item[0], items[i - later][1]))
    doubled += [(items[-1][0], f) for _, f in items[len(items) - later:]]
    fixes, counts = tracked(hall, paced(doubled))
    assert_same_fixes(fixes, expected)
    tag_messages = {}
    for tag in filter(None, (tag_of(f) for _, f in items)):
        tag_messages[tag] = tag_messages.get(tag, 0) + 1
    assert {tag: t.duplicates for tag, t in counts.tags.items()} == tag_messages
    assert sum(t.lost for t in counts.tags.values()) == 0


def test_same_sequence_number_at_another_time_is_no_duplicate():
    clocks = DeviceClocks()
    assert clocks.place(TAG, 1.0, 7, 1_000_000_000) is not None
    assert clocks.place(TAG, 1.1, 7, 1_100_000_000) is not None
    assert clocks.place(TAG, 1.2, 7, 1_100_000_000) is None
    assert clocks.counts[TAG].duplicates == 1


def sequence_run(sequences):
    clocks = DeviceClocks()
    for i, sequence in enumerate(sequences):
        clocks.place(TAG, 10.0 + i * 0.1, sequence % 256, round((10.0 + i * 0.1) / TICK_SECONDS))
    return clocks.counts[TAG].lost


@pytest.mark.parametrize("sequences, lost", [
    (range(250, 262), 0),  # through 255 to 0
    ([250, 251, 254, 255, 256, 260], 5),  # gaps on both sides of the wrap
    ([1, 2, 4, 3, 5], 0),  # one came late: not lost after all
    ([1, 2, 4, 5], 1),
    ([5, 5, 6], 0),  # the same number again is no gap
])
def test_sequence_gaps_are_counted_as_lost(sequences, lost):
    assert sequence_run(sequences) == lost


def test_lost_frames_of_the_hall_are_counted(hall):
    items = hall_frames()
    tag_frames = [i for i, (_, f) in enumerate(items) if tag_of(f) == TAG]
    dropped = set(tag_frames[10:40:3])
    _, counts = tracked(hall, paced([item for i, item in enumerate(items) if i not in dropped]))
    assert counts.tags[TAG].lost == len(dropped)


def test_a_long_run_unwraps_every_wrap():
    """One message a second for three wraps, forwarded every 25 s in a
    burst, the tag silent for longer than a wrap once."""
    clocks = DeviceClocks()
    sends = [3.0 + i for i in range(3500)] + [3503.0 + 1.5 * WRAP_SECONDS]
    placed = []
    for i, sent in enumerate(sends):
        arrival = (sent // 25 + 1) * 25 + 0.02
        transmitted = round(sent / TICK_SECONDS) % WRAP_TICKS
        placed.append((arrival, clocks.place(TAG, arrival, i % 256, transmitted)))
    track = [p[1] for _, p in placed]
    assert track == pytest.approx([s - sends[0] + 25.02 for s in sends], abs=1e-6)
    assert all(time <= arrival for arrival, (time, _) in placed)
    # once a frame that waited least is in, the times are its transmit times
    # plus that least wait (sent at 24 s, forwarded at 25.02 s)
    times = [p[0] for _, p in placed]
    assert times[22:-1] == pytest.approx([s + 1.02 for s in sends[22:-1]], abs=1e-6)
    assert clocks.counts[TAG].clock_resets == 0
    assert clocks.counts[TAG].lost == 0


def test_absent_transmit_time_gives_arrival_time():
    clocks = DeviceClocks()
    assert [clocks.place(TAG, t, i, 0) for i, t in enumerate([5.0, 5.0, 6.5])] == \
        [(5.0, 5.0), (5.0, 5.0), (6.5, 6.5)]
    assert clocks.counts[TAG].clock_resets == 0


@pytest.mark.parametrize("jump", [
    -5.0,  # the tag restarted: its clock went back
    AHEAD_LIMIT + 100.0,  # far ahead of the host's clock
    None,  # the transmit time stopped coming
])
def test_a_jumping_device_time_falls_back_to_arrival(jump):
    clocks = DeviceClocks()
    for i in range(20):
        clocks.place(TAG, 50.0 + i * 0.1, i, round((8.0 + i * 0.1) / TICK_SECONDS))
    last_track = clocks.clocks[TAG].track_time
    transmitted = 0 if jump is None else round((8.0 + 2.0 + jump) / TICK_SECONDS) % WRAP_TICKS
    time, track = clocks.place(TAG, 52.0, 20, transmitted)
    assert (time, track) == (52.0, max(52.0, last_track))
    assert clocks.counts[TAG].clock_resets == 1
    if jump is not None:  # the new mapping goes on from there
        after = clocks.place(TAG, 52.1, 21, transmitted + round(0.1 / TICK_SECONDS))
        assert after == pytest.approx((52.1, track + 0.1))


def test_a_reordered_frame_keeps_its_own_time_and_is_late(hall):
    items = hall_frames()
    tag_frames = [i for i, (_, f) in enumerate(items) if tag_of(f) == TAG]
    a, b = tag_frames[20], tag_frames[21]
    swapped = list(items)
    swapped[a] = (items[a][0], items[b][1])
    swapped[b] = (items[b][0], items[a][1])
    _, counts = tracked(hall, paced(swapped))
    tag = counts.tags[TAG]
    assert (tag.late, tag.lost, tag.clock_resets, tag.duplicates) == (1, 0, 0, 0)


def test_summaries_say_what_the_device_times_showed(hall):
    items = hall_frames()
    _, counts = tracked(hall, paced(items + items[-3:]))
    state = counts.as_dict()
    assert sum(state["duplicates"].values()) == 3
    assert state["lost"] == {} and state["clock_resets"] == {}
    result, anchors = hall
    pipeline = Pipeline([], anchors=anchors, counters=counts)
    text = live_report.summary(counts, pipeline, source="tcp://gateway:4000")
    assert "Device   3 duplicates dropped, 0 lost on the way, 0 clock resets\n" in text
    assert "Device" not in live_report.summary(tracked(hall, paced(items))[1], pipeline,
                                               source="tcp://gateway:4000")
    assert "device times" not in report.summary(result)
    counts.tags[TAG].lost = 4
    result.tags = counts.tags
    assert "  device times: 3 duplicates dropped, 4 lost on the way, 0 clock resets\n" \
        in report.summary(result)


def trolley_anchors():
    return capture.read_anchors(TROLLEY.with_suffix(".anchors.csv"))


def test_the_recorded_run_reads_as_nothing_lost():
    """The recorded trolley run carries no transmit times, and sequence
    numbers counted by each tag."""
    result = replay.replay_file(TROLLEY, anchors=trolley_anchors())
    assert device_time.describe(result.tags) == ""
    assert sum(t.fixes for t in result.tags.values()) == 4017
