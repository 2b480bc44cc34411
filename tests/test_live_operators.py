"""What a live session tells its operators and keeps for them: the status
line, a source absent at the start retried, a rotated recording."""

import argparse
import re
import socket
import subprocess
import sys
import threading
from collections import Counter

import pytest

from qz_host import capture, record_files, replay
from qz_host.live_counters import LiveCounters
from qz_host.live_status import StatusLine
from qz_host.record_files import Rotation, rotation
from qz_host.sinks import RecordSink
from qz_host.track_stage import TagCounts

from live_helpers import expected, known  # noqa: F401 (fixtures)
from live_helpers import (
    free_port,
    stderr_messages,
    hall_frames,
    hall_lines,
    live_thread,
    recorded_frames,
    wait_for,
)


class Clock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


def test_status_line_gives_rates_and_drops_since_the_last_line():
    counters = LiveCounters()
    clock = Clock()
    lines = []
    status = StatusLine(counters, 10.0, lines.append, clock=clock)
    counters.decoded, counters.tags_live = 500, 3
    counters.tags[0x1001] = TagCounts()
    counters.tags[0x1001].fixes = 40
    counters.dropped = Counter({"survey buffer": 7})
    clock.now = 105.0
    status.tick()  # too early
    clock.now = 110.0
    status.tick()
    counters.heartbeats += 250
    counters.source_dropped = 2
    counters.mqtt_state = "reconnecting"
    clock.now = 115.0
    status.tick()
    clock.now = 120.0
    status.tick()
    assert lines == [
        "50.0 frames/s, 4.0 fixes/s, 3 tags live, dropped: survey buffer 7",
        "25.0 frames/s, 0.0 fixes/s, 3 tags live, dropped: source queue 2; broker reconnecting",
    ]


def test_live_logs_status_lines(tmp_path, known, capsys):
    with live_thread(["udp://127.0.0.1:0", *known, "--stats", "0.2",
                      "--jsonl", tmp_path / "fixes.jsonl"]) as session:
        seen = []
        assert wait_for(lambda: seen.append(capsys.readouterr().err)
                        or "".join(seen).count("frames/s") >= 2)
        assert session.finish() == 0
    line = next(text for text in stderr_messages("".join(seen)) if "frames/s" in text)
    assert re.fullmatch(r"qz-host live: \d+\.\d frames/s, \d+\.\d fixes/s, 0 tags live, "
                        r"dropped: none", line), line


def test_tcp_server_absent_at_the_start_is_waited_for(tmp_path, known, capsys):
    port = free_port()
    items = hall_frames()
    record = tmp_path / "received.qzcap"
    logged = []

    def log_has(text):
        logged.append(capsys.readouterr().err)
        return text in "".join(logged)

    url = f"socket://127.0.0.1:{port}"
    with live_thread([url, *known, "--fcs", "--record", record, "--stats", "0",
                      "--jsonl", tmp_path / "fixes.jsonl"]) as session:
        assert wait_for(lambda: log_has(f"cannot open {url}"))
        server = socket.create_server(("127.0.0.1", port))

        def serve():
            with server:
                client, _ = server.accept()
                with client:
                    client.sendall(b"".join(frame for _, frame in items))
                    client.recv(1)  # held open until live goes

        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        assert wait_for(lambda: log_has(f"reading {url}"))
        assert wait_for(lambda: recorded_frames(record) == len(items))
        assert session.finish() == 0
    thread.join(5)
    text = "".join(logged)
    assert "reopen" not in text  # never opened before: no reconnection
    assert "reconnects: none" in session.out.getvalue()


@pytest.mark.parametrize("text, wanted", [
    ("hourly", Rotation(hourly=True)), ("100M", Rotation(size=100 << 20)),
    ("2g", Rotation(size=2 << 30)), ("4096", Rotation(size=4096)),
    ("10MB", Rotation(size=10 << 20)),
])
def test_rotation_option(text, wanted):
    assert rotation(text) == wanted


@pytest.mark.parametrize("text", ["", "M", "daily", "10X", "1.5M", "512", "-1K"])
def test_rotation_option_refuses(text):
    with pytest.raises(argparse.ArgumentTypeError):
        rotation(text)


def recording(series, rotate, items, log=None):
    sink = RecordSink(None, lambda: (0.01, "ieee-802.15.4"), series=series,
                      rotation=rotate, log=log or (lambda text: None))
    for time, frame in items:
        sink.frame(time, frame)
    sink.close()
    return sorted(series.parent.glob(f"{series.stem}-*{series.suffix}"))


def file_frames(path):
    return [(item.time, item.frame) for item in map(capture.parse_line, capture.read_lines(path))
            if item is not None]


def test_size_rotation_keeps_every_frame_in_order_under_a_heading(tmp_path):
    items = hall_frames()
    files = recording(tmp_path / "rec.qzcap", Rotation(size=8192), items)
    assert len(files) > 5
    assert [frame for path in files for frame in file_frames(path)] == items
    for path in files:
        text = path.read_text()
        assert text.startswith("# qz capture\n# dist_unit_m: 0.01\n# fcs: ieee-802.15.4\n")
        assert len(text) <= 8192
    # Files begun within one second of the frames' times get _001, _002, ...
    assert any(path.stem.endswith("_001") for path in files)
    # Each file replays alone.
    assert replay.replay_file(files[0]).dist_unit == 0.01


def test_hourly_rotation_switches_at_the_hour(tmp_path):
    frame = hall_frames()[0][1]
    items = [(3598.0, frame), (3599.999, frame), (3600.0, frame), (7199.0, frame),
             (7200.5, frame)]
    files = recording(tmp_path / "rec.qzcap", Rotation(hourly=True), items)
    assert [path.name for path in files] == ["rec-19700101T005958Z.qzcap",
                                             "rec-19700101T010000Z.qzcap",
                                             "rec-19700101T020000Z.qzcap"]
    assert [len(file_frames(path)) for path in files] == [2, 2, 1]


def test_a_new_file_that_cannot_be_made_keeps_the_current_one(tmp_path, monkeypatch):
    items = hall_frames()[:100]
    opened = []
    real = record_files.open_next

    def open_once(series, first_time):
        if opened:
            raise PermissionError(13, "Permission denied")
        opened.append(first_time)
        return real(series, first_time)

    monkeypatch.setattr(record_files, "open_next", open_once)
    logged = []
    files = recording(tmp_path / "rec.qzcap", Rotation(size=2048), items, logged.append)
    assert len(files) == 1 and file_frames(files[0]) == items
    assert len(logged) == 1 and "writing on in the current file" in logged[0]


def test_live_rotated_recording_holds_every_frame(tmp_path):
    series = tmp_path / "rec.qzcap"
    with open(tmp_path / "in.qzcap", "w") as source:
        source.writelines(hall_lines())
    with open(tmp_path / "in.qzcap") as source:
        done = subprocess.run([sys.executable, "-m", "qz_host", "live", "-", "--stats", "0",
                               "--jsonl", str(tmp_path / "fixes.jsonl"), "--record",
                               str(series), "--record-rotate", "16K"],
                              stdin=source, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    files = sorted(tmp_path.glob("rec-*.qzcap"))
    assert len(files) > 2 and not series.exists()
    assert [frame for path in files for frame in file_frames(path)] == hall_frames()
