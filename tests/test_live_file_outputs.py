"""qz-host live's output files: SIGHUP reopens them for log rotation (every
line lands in the renamed file or the new one, none twice, none lost), and
a file that cannot be written or reopened is said, counted and shown on
the health, never the end of the session."""

import csv
import signal
import socket
import subprocess
import sys
import threading

import pytest

from pathlib import Path

from qz_host import frames
from qz_host.commands.file_outputs import FileOutput
from qz_host.commands.hangup import Reopener
from qz_host.live_counters import LiveCounters
from qz_host.sinks import CsvSink, JsonLinesSink, RecordSink
from qz_host.track_stage import Position
from qz_host.tracking import TrackFix

from live_helpers import expected, known  # noqa: F401 (fixtures)
from live_helpers import (fixes_of, free_port, hall_frames, line_count, live_thread,
                          read_jsonl, recorded_frames, replay_recording, wait_for)

LIVE = [sys.executable, "-m", "qz_host", "live"]


class Lines:
    """A process's stderr lines, read on a thread as they come."""

    def __init__(self, stream):
        self.lines = []
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for line in stream:
            self.lines.append(line)

    def said(self, text):
        return any(text in line for line in self.lines)


def probes_in(path, heartbeat):
    """The probing heartbeats a recording holds."""
    return sum(line.split()[-1] == heartbeat.hex() for line in path.read_text().splitlines())


def csv_rows(path):
    with open(path, newline="") as source:
        return list(csv.reader(source))


@pytest.mark.skipif(not hasattr(signal, "SIGHUP"), reason="no SIGHUP here")
def test_rotation_loses_no_line(tmp_path, known, expected):
    port = free_port(socket.SOCK_DGRAM)
    out, table, record = tmp_path / "fixes.jsonl", tmp_path / "fixes.csv", tmp_path / "rec.qzcap"
    process = subprocess.Popen(LIVE + [f"udp://127.0.0.1:{port}", *known, "--fcs",
                                       "--jsonl", out, "--csv", table, "--record", record],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    logged = Lines(process.stderr)
    items = hall_frames()
    half = len(items) // 2
    heartbeat = frames.HBFrame(b"\x07").encode()  # no frame of the capture
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            def probe():
                assert process.poll() is None, "".join(logged.lines)
                sock.sendto(heartbeat, ("127.0.0.1", port))
                return recorded_frames(record) > 0
            assert wait_for(probe, interval=0.3)
            for _, frame in items[:half]:
                sock.sendto(frame, ("127.0.0.1", port))
            assert wait_for(lambda: probes_in(record, heartbeat) + half == recorded_frames(record))
            for path in (out, table, record):
                path.rename(path.with_name(path.name + ".1"))
            process.send_signal(signal.SIGHUP)
            assert wait_for(lambda: logged.said("reopened 3 of 3 output files"))
            for _, frame in items[half:]:
                sock.sendto(frame, ("127.0.0.1", port))
            assert wait_for(lambda: recorded_frames(record) == len(items) - half)
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=15)
    finally:
        process.kill()
        process.wait()
    logged.thread.join(timeout=5)
    process.stderr.close()
    assert process.returncode == 0, "".join(logged.lines)
    old = lambda path: path.with_name(path.name + ".1")  # noqa: E731
    # The recording goes on in a file of its own, heading and all.
    assert record.read_text().startswith(old(record).read_text().splitlines()[0] + "\n")
    probes = probes_in(old(record), heartbeat)
    assert recorded_frames(old(record)) + recorded_frames(record) == probes + len(items)
    # The replay of both recordings, one after the other, is what live wrote.
    joined = tmp_path / "joined.qzcap"
    joined.write_text(old(record).read_text() + "".join(
        line for line in record.read_text().splitlines(True) if not line.startswith("#")))
    tracked = fixes_of(replay_recording(joined, expected))
    assert read_jsonl(old(out)) + read_jsonl(out) == tracked
    assert line_count(old(out)) > 0 and line_count(out) > 0
    rows = csv_rows(old(table)), csv_rows(table)
    assert rows[0][0] == rows[1][0] == ["time", "tag", "x", "y"]
    assert len(rows[0]) - 1 + len(rows[1]) - 1 == len(tracked)


def record_output(path, logged, counters, mode="a"):
    sink = RecordSink(open(path, mode, encoding="ascii", newline=""), lambda: (0.01, ""))
    return FileOutput(sink, path, counters, logged.append)


def frame_hexes(path):
    return [line.split()[1] for line in path.read_text().splitlines() if not line.startswith("#")]


def test_a_file_that_cannot_be_reopened_is_said_and_kept(tmp_path):
    """The directory gone: the output keeps the file it had, the health says
    so until a later SIGHUP reopens it."""
    directory = tmp_path / "out"
    directory.mkdir()
    path, logged, counters = directory / "rec.qzcap", [], LiveCounters()
    output = record_output(path, logged, counters)
    reopen = Reopener([output], logged.append)
    items = hall_frames()[:3]
    output.frame(*items[0])
    reopen()
    assert logged == []  # no SIGHUP, nothing done
    directory.rename(tmp_path / "gone")
    reopen.request()
    reopen()
    fault = f"cannot reopen {path}: No such file or directory"
    assert output.fault == fault
    assert logged == [f"warning: {fault}; still writing to the file it had open",
                      "reopened 0 of 1 output files"]
    output.frame(*items[1])
    directory.mkdir()
    reopen.request()
    reopen()
    assert output.fault is None and logged[-1] == "reopened 1 of 1 output files"
    output.frame(*items[2])
    output.close()
    assert frame_hexes(tmp_path / "gone" / "rec.qzcap") == [f.hex() for _, f in items[:2]]
    assert path.read_text().startswith("# ") and frame_hexes(path) == [items[2][1].hex()]
    assert counters.drops() == {}


def test_a_full_disk_is_said_once_counted_and_mended_by_reopening(tmp_path):
    logged, counters = [], LiveCounters()
    output = record_output(Path("/dev/full"), logged, counters)
    items = hall_frames()[:5]
    output.frame(*items[0])
    output.tick()  # the flush fails
    fault = "cannot write /dev/full: No space left on device"
    assert output.fault == fault and len(logged) == 1 and logged[0].startswith(f"warning: {fault}")
    for item in items[1:]:
        output.frame(*item)
    output.tick()
    assert counters.drops() == {"/dev/full": 4} and len(logged) == 1
    output.path = tmp_path / "rec.qzcap"  # the operator points it elsewhere, then SIGHUP
    assert output.reopen()
    assert output.fault is None
    output.frame(*items[0])
    output.close()
    assert frame_hexes(output.path) == [items[0][1].hex()]
    assert "closing the old" in logged[-1] and len(logged) == 2


@pytest.mark.parametrize("make", [lambda stream: JsonLinesSink(stream, owned=True), CsvSink])
def test_a_sink_closes_its_file_when_the_last_write_fails(make):
    stream = open("/dev/full", "w")
    sink = make(stream)
    sink.fix(Position(TrackFix(1.0, 0x1001, 1.0, 2.0, 0.1, 1.5, (), 0), 0.0, (), ()))
    with pytest.raises(OSError):
        sink.close()
    assert stream.closed


def test_a_live_session_survives_a_full_disk(known, capsys):
    """The fixes cannot be written: one warning line, the session goes on,
    the health and the summary say what was dropped."""
    parser = pytest.importorskip("prometheus_client.parser")  # noqa: F841 (the extra)
    import urllib.error
    import urllib.request
    port, metrics = free_port(socket.SOCK_DGRAM), free_port()
    items = iter(hall_frames())
    with live_thread([f"udp://127.0.0.1:{port}", *known, "--fcs", "--jsonl", "/dev/full",
                      "--metrics", f"127.0.0.1:{metrics}"]) as session, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        def health():
            try:
                urllib.request.urlopen(f"http://127.0.0.1:{metrics}/health", timeout=10)
                return ""
            except urllib.error.HTTPError as error:
                return error.read().decode()
            except OSError:  # not serving yet
                return ""

        def fed():
            for _ in range(5):
                sock.sendto(next(items)[1], ("127.0.0.1", port))
            return "cannot write /dev/full: No space left on device" in health()
        assert wait_for(fed, timeout=30)
        assert session.finish() == 0
    err = capsys.readouterr().err
    assert err.count("cannot write /dev/full") == 1, err
    assert "Traceback" not in err
    assert "dropped: /dev/full " in session.out.getvalue()
