"""qz-host live end to end through a pty, TCP, UDP and standard input, and
qz-host emit feeding it: the fixes are exactly the replay's."""

import contextlib
import math
import os
import signal
import socket
import subprocess
import sys
import threading
import tty

import pytest

from qz_host import capture, cli, frames, sources
from qz_host.commands import emit

from live_helpers import expected, known  # noqa: F401 (fixtures)
from live_helpers import (HALL, fixes_of, free_port, hall_frames, hall_lines, live_thread,
                          read_jsonl, recorded_frames, replay_recording, udp_bound, wait_for)

pytest.importorskip("serial", reason="the live tests need pyserial (the live extra)")

LIVE = [sys.executable, "-m", "qz_host", "live"]


def hall_bytes():
    return b"".join(frame for _, frame in hall_frames())


def test_pty(tmp_path, known, expected, capsys):
    logs = Logs(capsys)
    master, slave = os.openpty()
    tty.setraw(slave)
    out, record = tmp_path / "fixes.jsonl", tmp_path / "received.qzcap"
    try:
        with live_thread([os.ttyname(slave), *known, "--fcs",
                          "--jsonl", out, "--record", record]) as session:
            # Opening a port discards what it held: write once it is ready.
            assert wait_for(lambda: f"reading {os.ttyname(slave)}" in logs.read())
            writer = threading.Thread(target=os.write, args=(master, hall_bytes()))
            writer.start()
            assert wait_for(lambda: recorded_frames(record) == len(hall_frames()))
            writer.join()
            assert session.finish() == 0
    finally:
        os.close(master)
        os.close(slave)
    assert read_jsonl(out) == fixes_of(replay_recording(record, expected))


def test_vanished_port_is_retried(tmp_path, known, capsys, monkeypatch):
    """A port unplugged mid-stream: the frames before it are tracked, the
    host retries it with a growing delay, says so once, and still stops
    cleanly."""
    opens = []
    real_open = sources.SerialSource.open

    def counted_open(source):
        opens.append(1)
        real_open(source)

    monkeypatch.setattr(sources.SerialSource, "open", counted_open)
    logs = Logs(capsys)
    master, slave = os.openpty()
    tty.setraw(slave)
    name = os.ttyname(slave)
    record = tmp_path / "received.qzcap"
    items = hall_frames()[:200]
    with live_thread([name, *known, "--jsonl", tmp_path / "fixes.jsonl",
                      "--record", record]) as session:
        assert wait_for(lambda: f"reading {name}" in logs.read())
        os.write(master, b"".join(frame for _, frame in items))
        assert wait_for(lambda: recorded_frames(record) == len(items))
        os.close(master)
        os.close(slave)
        assert wait_for(lambda: "cannot reopen" in logs.read())
        assert wait_for(lambda: len(opens) >= 4)  # the start and three retries
        assert session.finish() == 0
    text = logs.read()
    assert "reopening" in text
    assert text.count("cannot reopen") == 1, text
    assert "200 received" in session.out.getvalue()


class Logs:
    """What the session has written to stderr so far (capsys consumes it)."""

    def __init__(self, capsys):
        self.capsys = capsys
        self.parts = []

    def read(self):
        self.parts.append(self.capsys.readouterr().err)
        return "".join(self.parts)


def start_emit(target, *extra):
    process = subprocess.Popen([sys.executable, "-m", "qz_host", "emit", str(HALL), target,
                                *extra], stdout=subprocess.PIPE, text=True)
    return process


def test_tcp_from_emit(tmp_path, known, expected):
    port = free_port()
    emitter = start_emit(f"socket://127.0.0.1:{port}", "--speed", "0")
    try:
        assert emitter.stdout.readline().startswith("emit: serving on socket://127.0.0.1:")
        out, record = tmp_path / "fixes.jsonl", tmp_path / "received.qzcap"
        with live_thread([f"socket://127.0.0.1:{port}", *known, "--fcs",
                          "--jsonl", out, "--record", record]) as session:
            assert wait_for(lambda: recorded_frames(record) == len(hall_frames()))
            assert emitter.wait(10) == 0
            assert session.finish() == 0
        assert "sent 882 frames" in emitter.stdout.read()
    finally:
        emitter.kill()
        emitter.wait()
        emitter.stdout.close()
    assert read_jsonl(out) == fixes_of(replay_recording(record, expected))
    # read in a few bursts, the frames track on their transmit times as paced
    got, paced = read_jsonl(out, times=False), fixes_of(expected, times=False)
    assert [tag for tag, _, _ in got] == [tag for tag, _, _ in paced]
    assert [v for _, *xy in got for v in xy] == pytest.approx(
        [v for _, *xy in paced for v in xy], abs=1e-6)


def test_udp_from_emit(tmp_path, known, expected):
    port = free_port(socket.SOCK_DGRAM)
    out, record = tmp_path / "fixes.jsonl", tmp_path / "received.qzcap"
    with live_thread([f"udp://127.0.0.1:{port}", *known, "--fcs",
                      "--jsonl", out, "--record", record]) as session:
        assert wait_for(lambda: udp_bound(port))
        emitter = start_emit(f"udp://127.0.0.1:{port}", "--speed", "60")
        with emitter.stdout:
            assert emitter.wait(30) == 0
        assert wait_for(lambda: recorded_frames(record) == len(hall_frames()))
        assert session.finish() == 0
    assert read_jsonl(out) == fixes_of(replay_recording(record, expected))
    assert "882 received, 840 decoded, 42 heartbeats, 0 skipped" in session.out.getvalue()


def test_stdin_gives_the_replays_fixes_and_times(tmp_path, known, expected):
    record = tmp_path / "again.qzcap"
    with open(HALL) as source:
        done = subprocess.run(LIVE + ["-", *known, "--record", str(record)],
                              stdin=source, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    rows = [line for line in done.stdout.splitlines()]
    assert len(rows) == len(expected.fixes)
    path = tmp_path / "stdout.jsonl"
    path.write_text(done.stdout)
    assert read_jsonl(path) == fixes_of(expected)
    assert "Frames   882 received" in done.stderr  # the summary, off stdout
    # The recording replays to the same fixes.
    assert fixes_of(capture_replay(record)) == fixes_of(expected)


def capture_replay(path):
    from qz_host import replay
    return replay.replay_file(path)


class Gateway:
    """A TCP server that serves `pieces` to successive clients, closing
    each connection after its piece but the last, which stays open until
    the client closes it (so the host sees exactly len(pieces) - 1 closes)."""

    def __init__(self, pieces):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.pieces = list(pieces)
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        with self.server:
            for number, piece in enumerate(self.pieces, 1):
                client, _ = self.server.accept()
                with client:
                    client.sendall(piece)
                    if number == len(self.pieces):
                        client.settimeout(60)
                        with contextlib.suppress(OSError):
                            while client.recv(4096):
                                pass


def test_closed_source_is_reopened_and_garbage_skipped(tmp_path, known, expected):
    """The gateway closes mid-frame; live reopens it, loses only the torn
    frame, and skips the garbage between frames, counting both."""
    items = hall_frames()
    half = len(items) // 2
    noise = b"\x00\xff@QZ@\x13noise"  # a stray magic before an unknown type
    first = b"".join(noise + frame for _, frame in items[:half]) + items[half][1][:25]
    # The stream ends with a frame: once it is recorded, every byte was read.
    second = b"".join(noise + frame for _, frame in items[half + 1:])
    gateway = Gateway([first, second])
    out, record = tmp_path / "fixes.jsonl", tmp_path / "received.qzcap"
    with live_thread([f"socket://127.0.0.1:{gateway.port}", *known, "--fcs",
                      "--jsonl", out, "--record", record]) as session:
        assert wait_for(lambda: recorded_frames(record) == len(items) - 1)
        assert session.finish() == 0
    summary = session.out.getvalue()
    assert read_jsonl(out) == fixes_of(replay_recording(record, expected))
    assert f"reconnects: socket://127.0.0.1:{gateway.port} 1;" in summary
    noisy = len(items) - 1
    assert (f"{len(items) - 1 + noisy} received, 839 decoded, 42 heartbeats, {noisy} skipped  "
            f"({len(first) + len(second)} bytes, {len(noise) * noisy + 25} outside frames)"
            in summary), summary


def test_sigterm_flushes_outputs(tmp_path, known, expected):
    port = free_port(socket.SOCK_DGRAM)
    out, record = tmp_path / "fixes.jsonl", tmp_path / "rec.qzcap"
    process = subprocess.Popen(LIVE + [f"udp://127.0.0.1:{port}", *known,
                                       "--fcs", "--jsonl", str(out), "--record", str(record)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    items = hall_frames()[:300]
    probes = []
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            def probe():
                # Heartbeats until the socket is bound and they are recorded.
                assert process.poll() is None, process.stderr.read()
                sock.sendto(frames.HBFrame(b"\x00").encode(), ("127.0.0.1", port))
                probes.append(1)
                return recorded_frames(record) > 0
            assert wait_for(probe, interval=0.3)
            for _, frame in items:
                sock.sendto(frame, ("127.0.0.1", port))
        # The file is flushed on the pipeline's tick: wait until it holds all.
        assert wait_for(lambda: recorded_frames(record) >= len(items))
        process.send_signal(signal.SIGTERM)
        stdout, stderr = process.communicate(timeout=15)
    finally:
        process.kill()
        process.wait()
    assert process.returncode == 0, stderr
    assert "Frames" in stdout
    assert read_jsonl(out) == fixes_of(replay_recording(record, expected))
    # Probes sent before the socket was bound are lost; the rest recorded.
    assert len(items) < recorded_frames(record) <= len(items) + len(probes)


def replay_decode(frame):
    from qz_host import messages
    try:
        message = messages.decode(0.0, frame)
    except messages.Skip:
        return None
    return None if message is None else (message.src, message.is_anchor, message.reports)


@pytest.mark.parametrize("argv, message", [
    (["live", "udp://127.0.0.1:notaport"], "not udp://HOST:PORT"),
    (["live", "/dev/no-such-port", "--once"], "cannot open /dev/no-such-port"),
    (["live", f"socket://127.0.0.1:{free_port()}", "--once"], "cannot open socket://"),
    (["live", "-", "--record-rotate", "10M"], "--record-rotate needs --record"),
    (["live", "-", "--record", "/no/such/dir/x.qzcap", "--record-rotate", "hourly"],
     "cannot write /no/such/dir/x.qzcap: no such directory"),
    (["live", "-", "--fcs", "md5"], "--fcs"),
    (["live", "-", "--anchors", "/no/such.csv"], "cannot read /no/such.csv"),
    (["live", "-", "--mqtt", "host:port"], "not HOST[:PORT]"),
    (["live", "-", "--jsonl", "/no/such/dir/x.jsonl"], "cannot write"),
    (["live", "udp://127.0.0.1:0", "--csv", "/no/such/dir/x.csv"], "cannot write"),
    (["live", "-", "--mqtt", "localhost", "--mqtt-tls", "/no/ca.pem"], "--mqtt-tls"),
    (["emit", "/no/such.qzcap", "udp://127.0.0.1:9"], "cannot read /no/such.qzcap"),
    (["emit", str(HALL), "socket://127.0.0.1:x"], "not socket://HOST:PORT"),
    (["emit", str(HALL), "/dev/no-such-port"], "/dev/no-such-port"),
])
def test_bad_options_exit_2_with_one_line(argv, message, capsys):
    assert cli.main(argv) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and message in err[0], err


@pytest.mark.parametrize("argv", [
    ["live", "-", "--baud", "0"], ["live", "-", "--survey-samples", "0"],
    ["live", "-", "--qos", "3"], ["emit", str(HALL), "udp://x:1", "--speed", "-1"],
    ["live", "-", "--stats", "-1"], ["live", "-", "--record-rotate", "weekly"],
])
def test_bad_values_are_usage_errors(argv, capsys):
    with pytest.raises(SystemExit) as raised:
        cli.main(argv)
    assert raised.value.code == 2


def test_anchors_file_needs_three_anchors(tmp_path, capsys):
    path = tmp_path / "two.csv"
    capture.write_anchors(path, {1: (0.0, 0.0, 0.0), 2: (1.0, 0.0, 0.0)})
    assert cli.main(["live", "-", "--anchors", str(path)]) == 2
    assert "needs 3 to 32 anchors" in capsys.readouterr().err


def test_emit_paces_frames():
    sent = []
    items = [(0.0, b"a"), (0.1, b"b"), (0.2, b"c")]
    import time
    started = time.monotonic()
    count = emit.play(items, sent.append, speed=2.0, loop=False, stop=threading.Event())
    elapsed = time.monotonic() - started
    assert count == 3 and sent == [b"a", b"b", b"c"]
    assert 0.09 <= elapsed < 1.0


def test_emit_loops_until_stopped():
    sent = []
    stop = threading.Event()

    def send(frame):
        sent.append(frame)
        if len(sent) == 7:
            stop.set()

    assert emit.play([(0.0, b"a"), (0.001, b"b")], send, speed=0, loop=True, stop=stop) == 7


def test_udp_socket_overflow_is_counted():
    """Datagrams the socket's buffer could not hold are counted (the
    kernel reports them with the next datagram that fits)."""
    from qz_host.live_counters import LiveCounters
    from qz_host.sources import SO_RXQ_OVFL, UdpSource
    if not SO_RXQ_OVFL:
        pytest.skip("the platform does not report socket overflows")
    counters = LiveCounters()
    source = UdpSource("udp://127.0.0.1:0", counters)
    source.open()
    address = source.socket.getsockname()
    sent = 20000
    payload = bytes(1000)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        for _ in range(sent):
            sock.sendto(payload, address)
        received = []
        stop = threading.Event()
        idle = []

        def on_idle():
            idle.append(1)
            if len(idle) == 1:
                sock.sendto(payload, address)  # carries the drop count
            else:
                stop.set()

        source.serve(lambda item: received.append(item) or False, on_idle, stop)
    assert 0 < counters.dropped["udp socket"] == sent + 1 - len(received)


def test_saved_survey_restarts_from_the_same_anchors(tmp_path):
    """A self-surveying session saves its anchors with the range offsets it
    learned; a session started with them tracks from there, to the same
    fixes give or take what the offsets learned from the start change."""
    saved = tmp_path / "surveyed.csv"

    def run(*options):
        out = tmp_path / "fixes.jsonl"
        with open(HALL) as source:
            done = subprocess.run(LIVE + ["-", "--jsonl", str(out), *options], stdin=source,
                                  capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        return read_jsonl(out), done.stderr

    first, log = run("--save-anchors", str(saved))
    # The survey's log line gives the ranging noise it measured.
    sigma = log.split("ranging noise of ", 1)[1].split(" m", 1)[0]
    again = run("--anchors", str(saved), "--sigma", sigma)[0]
    assert len(capture.read_anchors(saved)) == 6
    assert saved.read_text().splitlines()[0] == "anchor,x,y,z,offset"
    assert [f[:2] for f in again] == [f[:2] for f in first] and len(first) == 600
    moved = sorted(math.dist(a[2:], b[2:]) for a, b in zip(first, again))
    assert moved[len(moved) // 2] < 0.01


def test_session_without_anchors_exits_1(tmp_path):
    lines = "".join(line for line in hall_lines() if line.startswith("#"))
    done = subprocess.run(LIVE + ["-"], input=lines, capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert "Anchors  not surveyed: fewer than 3 anchors heard" in done.stderr


def test_emit_into_a_pty():
    master, slave = os.openpty()
    tty.setraw(slave)
    expected_bytes = hall_bytes()
    got = bytearray()
    try:
        emitter = start_emit(os.ttyname(slave), "--speed", "0")
        with emitter.stdout:
            while len(got) < len(expected_bytes):
                got += os.read(master, 65536)
            assert emitter.wait(20) == 0
    finally:
        os.close(master)
        os.close(slave)
    assert bytes(got) == expected_bytes
