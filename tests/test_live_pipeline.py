"""The live pipeline driven with lists: frames, byte chunks and capture lines
in, fixes and counters out."""

import io
import json
import math
import random
import sys

import pytest

from qz_host import capture, frames, messages, replay
from qz_host.live_counters import LiveCounters
from qz_host.pipeline import Pipeline, Sink
from qz_host.sinks import CsvSink, JsonLinesSink, RecordSink
from qz_host.track_stage import TagCounts

from live_helpers import surveyed_anchors, fixes_of, hall_frames, hall_lines, hall_replay


class Collect(Sink):
    def __init__(self):
        self.fixes, self.frames, self.layouts, self.closed = [], [], [], False

    def anchors(self, anchors):
        self.layouts.append(anchors)

    def frame(self, time, frame):
        self.frames.append((time, frame))

    def fix(self, position):
        self.fixes.append(position)

    def close(self):
        self.closed = True


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


@pytest.fixture(scope="module")
def hall():
    result = hall_replay()
    anchors = surveyed_anchors(result)
    return result, anchors


def replays(hall, **options):
    """A pipeline tracking as the replay did: its anchors and ranging noise."""
    result, anchors = hall
    return Pipeline(options.pop("sinks"), anchors=anchors, sigma=result.sigma, **options)


def live_fixes(sink, times=True):
    return [(p.fix.tag, p.fix.time, p.fix.x, p.fix.y) if times else (p.fix.tag, p.fix.x, p.fix.y)
            for p in sink.fixes]


def test_known_anchors_give_the_replays_fixes(hall):
    result, _ = hall
    sink = Collect()
    pipeline = replays(hall, sinks=[sink], checksum_name=frames.FCS_NAME)
    for time, frame in hall_frames():
        pipeline.feed_frame(time, frame)
    assert live_fixes(sink) == fixes_of(result)
    c = pipeline.counters
    assert (c.decoded, c.heartbeats, sum(c.skipped.values())) == (840, 42, 0)
    assert c.frames == 882
    assert dict(c.fixes) == {t: n.fixes for t, n in result.tags.items()}
    assert c.rejected == {t: n.rejected for t, n in result.tags.items() if n.rejected}


@pytest.mark.parametrize("seed", [4, 5])
def test_byte_stream_with_garbage_gives_the_same_fixes(hall, seed):
    """Frames cut out of a noisy stream, each stamped with its chunk's
    time, track as the replay of those frames and times does."""
    result, anchors = hall
    rng = random.Random(seed)
    stream = bytearray()
    for _, frame in hall_frames():
        stream += bytes(rng.randrange(256) for _ in range(rng.choice([0, 3, 30]))) + frame
    sink = Collect()
    pipeline = replays(hall, sinks=[sink], checksum_name=frames.FCS_NAME)
    pos = 0
    while pos < len(stream):
        size = rng.randrange(1, 600)
        pipeline.feed_bytes("port", round(pos / 3000.0, 6), bytes(stream[pos:pos + size]))
        pos += size
    lines = ["# fcs: ieee-802.15.4"] + [capture.format_line(t, f) for t, f in sink.frames]
    again = replay.replay(lines, anchors={a: p[:2] for a, p in anchors.items()},
                          sigma=result.sigma)
    assert live_fixes(sink) == fixes_of(again)
    assert len(sink.fixes) == len(result.fixes)
    c = pipeline.counters
    assert c.bytes_read == len(stream)
    assert c.bytes_skipped == len(stream) - sum(len(f) for _, f in hall_frames())


def test_restarted_stream_loses_only_its_torn_frame(hall):
    _, anchors = hall
    (_, first), (_, second) = hall_frames()[:2]
    pipeline = Pipeline([Collect()], anchors=anchors)
    pipeline.feed_bytes("port", 0.0, first[:20])
    pipeline.restart_stream("port")
    pipeline.feed_bytes("port", 0.0, second)
    assert pipeline.counters.decoded == 1
    assert pipeline.counters.bytes_skipped == 20


def test_capture_lines_declare_unit_and_checksum(hall):
    """Lines from standard input: the capture's metadata applies, and a
    replay of the same lines gives the same fixes."""
    result, _ = hall
    sink = Collect()
    pipeline = replays(hall, sinks=[sink])
    for line in hall_lines():
        pipeline.feed_line(line)
    assert pipeline.checksum_name == frames.FCS_NAME
    assert live_fixes(sink) == fixes_of(result)


def test_options_override_what_lines_declare(hall):
    _, anchors = hall
    pipeline = Pipeline([Collect()], anchors=anchors, dist_unit=0.02, checksum_name="")
    for line in ["# qz capture", "# dist_unit_m: 0.01", "# fcs: crc-ccitt"]:
        pipeline.feed_line(line)
    assert (pipeline.dist_unit, pipeline.checksum) == (0.02, None)


@pytest.mark.parametrize("line, message", [
    ("# dist_unit_m: metres", "dist_unit_m 'metres' is not a number"),
    ("# dist_unit_m: -1", "distance unit must be positive and finite"),
    ("# dist_unit_m: inf", "distance unit must be positive and finite"),
    ("# dist_unit_m: 1e-300", "distance unit must be positive and finite"),
    ("# fcs: md5", "md5"),
])
def test_bad_metadata_raises(line, message):
    pipeline = Pipeline([], anchors=None)
    with pytest.raises(ValueError, match=message):
        pipeline.feed_line(line)


def test_bad_lines_and_frames_are_counted(hall):
    _, anchors = hall
    good = hall_frames()[0][1]
    pipeline = Pipeline([Collect()], anchors=anchors, checksum_name=frames.FCS_NAME)
    for line in ["1.0", "x 00", "1.0 zz", f"1.0 {good[:-1].hex()}", f"1.0 {good.hex()}"]:
        pipeline.feed_line(line)
    pipeline.feed_frame(2.0, good[:4] + b"XX" + good[6:])
    assert pipeline.counters.skipped == {"bad line": 1, "bad time": 1, "bad hex": 1,
                                         "length mismatch": 1, "unknown type": 1}
    assert pipeline.counters.decoded == 1


def self_surveyed(samples, timeout, clock, limit=10000):
    sink = Collect()
    logged = []
    pipeline = Pipeline([sink], survey_samples=samples, survey_timeout=timeout,
                            clock=clock, log=logged.append, buffer_limit=limit)
    for time, frame in hall_frames():
        clock.now = time
        pipeline.feed_frame(time, frame)
    return pipeline, sink, logged


def test_self_survey_tracks_the_buffered_messages():
    clock = Clock()
    pipeline, sink, _ = self_surveyed(1000, 3.0, clock)  # samples never reached
    assert pipeline.anchors is not None and len(pipeline.anchors) == 6
    assert sink.layouts == [pipeline.anchors]
    c = pipeline.counters
    # Every tag message is tracked, those buffered before the survey too.
    assert (sum(c.fixes.values()) + sum(c.too_few.values()) + sum(c.late.values())
            == c.tag_messages == 600)
    assert [p.fix.time for p in sink.fixes] == sorted(p.fix.time for p in sink.fixes)


def test_survey_anchors_match_the_replay_frame(hall):
    """Surveyed from the first samples only, the anchors still lie within
    a few centimetres of the replay's (the same AutoPos frame)."""
    _, anchors = hall
    pipeline, _, _ = self_surveyed(10, 1000.0, Clock())
    for address, (x, y, _) in anchors.items():
        sx, sy, _ = pipeline.anchors[address]
        assert math.dist((x, y), (sx, sy)) < 0.1


def test_survey_timeout_surveys_with_the_pairs_there_are(hall):
    """A pair never measured: after the timeout the survey runs with the
    pairs it has, the missing one filled in."""
    _, anchors = hall
    clock = Clock()
    surveyed_at = []
    pipeline = Pipeline([], survey_samples=10, survey_timeout=5.0, clock=clock,
                            on_anchors=lambda _: surveyed_at.append(clock.now))
    pair = {0x0A01, 0x0A04}
    for time, frame in hall_frames():
        if frame[4:6] == b"DW":
            message = messages.decode(time, frame)
            src, is_anchor, reports = message.src, message.is_anchor, message.reports
            if is_anchor and src in pair:
                frame = frames.ranging_frame(src, [frames.UWBRangingReport(addr=a, dist=d)
                                                   for a, d in reports if a not in pair],
                                             anchor=True)
        clock.now = time
        pipeline.feed_frame(time, frame)
    assert surveyed_at and 5.0 <= surveyed_at[0] < 5.5
    for address, (x, y, _) in anchors.items():
        assert math.dist((x, y), pipeline.anchors[address][:2]) < 0.2


def test_survey_that_fails_says_which_pairs_are_missing():
    clock = Clock()
    logged = []
    pipeline = Pipeline([], survey_samples=5, survey_timeout=2.0, clock=clock,
                            log=logged.append)
    # Three anchors, and only one pair of them ever ranged.
    for k in range(20):
        clock.now = k * 0.5
        pipeline.feed_frame(clock.now, frames.ranging_frame(
            0x0A01, [frames.UWBRangingReport(addr=0x0A02, dist=1000)], anchor=True))
        for silent in (0x0A02, 0x0A03):
            pipeline.feed_frame(clock.now, frames.ranging_frame(silent, [], anchor=True))
    pipeline.tick()
    assert pipeline.anchors is None
    assert logged and "0A01-0A03" in logged[-1] and "0A02-0A03" in logged[-1]


def test_buffer_before_the_survey_is_bounded():
    pipeline, sink, _ = self_surveyed(1000, 3.0, Clock(), limit=5)
    c = pipeline.counters
    assert c.dropped["survey buffer"] > 0
    assert sum(c.fixes.values()) + sum(c.too_few.values()) + c.dropped["survey buffer"] == 600


def test_silent_tags_leave_the_live_set(hall):
    _, anchors = hall
    clock = Clock()
    pipeline = Pipeline([Collect()], anchors=anchors, tag_timeout=2.0, clock=clock)
    for time, frame in hall_frames()[:200]:
        pipeline.feed_frame(time, frame)
    pipeline.tick()
    assert pipeline.counters.tags_live == 2
    clock.now = 100.0
    pipeline.tick()
    assert (pipeline.counters.tags_live, pipeline.counters.tags_timed_out) == (0, 2)


def test_outputs(tmp_path, hall):
    result, anchors = hall
    jsonl, table, record = io.StringIO(), io.StringIO(), open(tmp_path / "r.qzcap", "a+")
    outputs = [JsonLinesSink(jsonl, owned=False), CsvSink(table),
               RecordSink(record, lambda: (0.01, frames.FCS_NAME))]
    table.close = lambda: None  # keep it readable
    pipeline = replays(hall, sinks=outputs, checksum_name=frames.FCS_NAME)
    for time, frame in hall_frames():
        pipeline.feed_frame(time, frame)
    pipeline.close()
    rows = [json.loads(line) for line in jsonl.getvalue().splitlines()]
    assert [(int(r["tag"], 16), r["time"], r["x"], r["y"]) for r in rows] == fixes_of(result)
    first = rows[0]
    assert set(first) == {"tag", "time", "x", "y", "z", "sd", "dop", "ranges", "rejected"}
    assert all(len(address) == 4 for address in first["ranges"])
    assert 0 < first["dop"] < 5 and first["sd"] >= 0
    assert table.getvalue().splitlines()[0] == "time,tag,x,y"
    assert len(table.getvalue().splitlines()) == len(result.fixes) + 1
    # The recording replays to the same fixes.
    again = replay.replay_file(tmp_path / "r.qzcap")
    assert fixes_of(again) == fixes_of(result)


def test_recording_appends_without_a_second_heading(tmp_path):
    path = tmp_path / "r.qzcap"
    for _ in range(2):
        with open(path, "a") as stream:
            sink = RecordSink(stream, lambda: (0.01, ""))
            sink.frame(1.5, b"\x01\x02")
            sink.close()
    lines = path.read_text().splitlines()
    assert lines.count("# qz capture") == 1
    assert lines[-2:] == ["1.500000 0102"] * 2
    assert "# fcs" not in path.read_text()


def test_counters_are_json_data(hall):
    _, anchors = hall
    pipeline = Pipeline([], anchors=anchors)
    for time, frame in hall_frames()[:100]:
        pipeline.feed_frame(time, frame)
    state = json.loads(json.dumps(pipeline.counters.as_dict()))
    assert state["frames"] == 100
    assert state["decoded"] == pipeline.counters.decoded
    assert set(state["fixes"]) <= {"1001", "1002"}


def test_counters_frames_add_up():
    c = LiveCounters(decoded=3, heartbeats=2)
    c.skipped["bad magic"] += 4
    assert c.frames == 9


def test_web_without_the_module_is_one_line(monkeypatch, capsys):
    from qz_host import cli
    for name in ("qz_host.web", "qz_host.web.state", "qz_host.web.server"):
        monkeypatch.setitem(sys.modules, name, None)  # as if not installed
    assert cli.main(["live", "-", "--web", "127.0.0.1:0"]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "--web needs the web map" in err[0]


def test_summary_reads_the_counters():
    from qz_host.live_report import summary
    anchors = {0x0A01: (0.0, 0.0, 0.0), 0x0A02: (9.5, -1e-7, 0.0), 0x0A03: (9.0, 7.0, 0.0)}
    pipeline = Pipeline([], anchors=anchors)
    c = pipeline.counters
    c.skipped.update({"bad magic": 2, "fcs mismatch": 5})
    c.tags[0x1001] = TagCounts(fixes=3)
    c.mqtt_reconnects += 1
    c.dropped["mqtt queue"] += 4
    text = summary(c, pipeline, source="udp://:1")
    assert "Frames   7 received, 0 decoded, 0 heartbeats, 7 skipped" in text
    assert text.index("fcs mismatch") < text.index("bad magic")  # the most first
    assert "0A02 (9.500, 0.000)" in text
    assert "  1001          3       0         0     0" in text
    assert "reconnects: mqtt 1; dropped: mqtt queue 4" in text


def test_summary_before_the_survey():
    from qz_host.live_report import summary
    pipeline = Pipeline([])
    assert "not surveyed: fewer than 3 anchors heard" in summary(pipeline.counters, pipeline,
                                                                 source="-")
