"""SIGHUP reopens qz-host live's output files for log rotation: every line
lands in the renamed file or the new one, none twice, none lost."""

import csv
import signal
import socket
import subprocess
import sys
import threading

import pytest

from qz_host import frames
from qz_host.commands.hangup import Reopener

from live_helpers import expected, known  # noqa: F401 (fixtures)
from live_helpers import (fixes_of, free_port, hall_frames, line_count, read_jsonl,
                          recorded_frames, replay_recording, wait_for)

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


class Reopened:
    def __init__(self):
        self.streams = []

    def reopen(self, stream):
        self.streams.append(stream)
        stream.close()


def test_a_file_that_cannot_be_reopened_is_said_and_kept(tmp_path):
    """The directory gone: the sink keeps the file it had, the health says so
    until a later SIGHUP reopens it."""
    directory = tmp_path / "out"
    directory.mkdir()
    sink, logged, faults = Reopened(), [], []
    reopen = Reopener([(sink, directory / "fixes.jsonl")], logged.append, faults)
    reopen()
    assert (sink.streams, logged) == ([], [])  # no SIGHUP, nothing done
    directory.rename(tmp_path / "gone")
    reopen.request()
    reopen()
    fault = f"cannot reopen {directory / 'fixes.jsonl'}: No such file or directory"
    assert faults == [fault] and sink.streams == []
    assert logged == [f"warning: {fault}; still writing to the file it had open",
                      "reopened 0 of 1 output files"]
    directory.mkdir()
    reopen.request()
    reopen()
    assert faults == [] and len(sink.streams) == 1
    assert (directory / "fixes.jsonl").exists()
