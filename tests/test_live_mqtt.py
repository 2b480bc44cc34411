"""Publishing to a real Mosquitto broker: every fix, the retained anchors and
status, and no fix lost when the broker restarts mid-stream."""

import json
import socket
import subprocess
import sys

import pytest

from qz_host.live_counters import LiveCounters
from qz_host.mqtt import MqttSink, parse_broker

from live_helpers import expected, known  # noqa: F401 (fixtures)
from live_helpers import (HALL, fixes_of, hall_frames, hall_replay, line_count, live_thread,
                          read_jsonl, recorded_frames, replay_recording, udp_bound, wait_for,
                          free_port,
                          write_replay_anchors)
from mosquitto_broker import Subscriber, broker  # noqa: F401 (a fixture)


def positions(subscriber):
    return [json.loads(payload) for topic, payload, _ in subscriber.received("qz/tag/")]


@pytest.mark.parametrize("attempt", range(5))
def test_a_stop_before_the_connection_leaves_the_status_offline(broker, attempt):
    # A short input can end before the broker has answered: "offline" must
    # still be the last status, not the "online" of the late connection.
    MqttSink("127.0.0.1", broker.port, counters=LiveCounters(), log=lambda text: None).close()
    late = Subscriber(broker.port, clean=True, client_id="")
    try:
        assert wait_for(lambda: late.received("qz/status"))
        assert [p for _, p, _ in late.received("qz/status")] == ["offline"]
    finally:
        late.close()


def test_every_fix_anchors_and_status(tmp_path, broker, known, expected):
    subscriber = Subscriber(broker.port, clean=True, client_id="")
    out = tmp_path / "fixes.jsonl"
    try:
        with open(HALL) as source:
            done = subprocess.run(
                [sys.executable, "-m", "qz_host", "live", "-", *known,
                 "--mqtt", f"127.0.0.1:{broker.port}", "--jsonl", str(out)],
                stdin=source, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert wait_for(lambda: len(positions(subscriber)) >= len(expected.fixes))
        received = positions(subscriber)
        topics = {topic for topic, _, _ in subscriber.received("qz/tag/")}
        statuses = [payload for _, payload, _ in subscriber.received("qz/status")]
    finally:
        subscriber.close()
    # Fixes published before the connection was up may come in another order.
    assert sorted((int(p["tag"], 16), p["time"], p["x"], p["y"]) for p in received) == sorted(
        fixes_of(expected))
    assert topics == {"qz/tag/1001/position", "qz/tag/1002/position"}
    assert statuses[0] == "online" and statuses[-1] == "offline"
    assert f"MQTT     {len(expected.fixes)} fixes acknowledged" in done.stdout
    # A subscriber arriving later gets the layout and the status, retained.
    late = Subscriber(broker.port, clean=True, client_id="")
    try:
        assert wait_for(lambda: len(late.received("qz/anchors")) == 1
                        and late.received("qz/status"))
        (_, layout, retained), = late.received("qz/anchors")
        assert retained
        layout = json.loads(layout)
        assert sorted(layout) == ["0A01", "0A02", "0A03", "0A04", "0A05", "0A06"]
        assert layout["0A01"] == {"x": 0.0, "y": 0.0, "z": 0.0}
        assert [p for _, p, _ in late.received("qz/status")] == ["offline"]
    finally:
        late.close()


def test_broker_restart_loses_no_fix(tmp_path, broker, known, expected):
    """The broker stops mid-stream and comes back: QoS 1 fixes queued
    meanwhile reach the subscriber; the counts say no fix was dropped."""
    subscriber = Subscriber(broker.port)
    port = free_port(socket.SOCK_DGRAM)
    out, record = tmp_path / "fixes.jsonl", tmp_path / "received.qzcap"
    items = hall_frames()
    half = len(items) // 2
    try:
        with live_thread([f"udp://127.0.0.1:{port}", *known, "--fcs", "--record", record,
                          "--jsonl", out, "--mqtt", f"127.0.0.1:{broker.port}",
                          "--topic-prefix", "qz"]) as session:
            assert wait_for(lambda: udp_bound(port))
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
                for _, frame in items[:half]:
                    sock.sendto(frame, ("127.0.0.1", port))
                assert wait_for(lambda: len(positions(subscriber)) > 100)
                broker.stop()
                for _, frame in items[half:]:
                    sock.sendto(frame, ("127.0.0.1", port))
            assert wait_for(lambda: recorded_frames(record) == len(items))
            fixes = len(replay_recording(record, expected).fixes)
            broker.start()
            assert wait_for(lambda: len({(p["tag"], p["time"]) for p in positions(subscriber)})
                            >= fixes, timeout=40)
            assert session.finish() == 0
    finally:
        subscriber.close()
    summary = session.out.getvalue()
    unique = {(int(p["tag"], 16), p["x"], p["y"]) for p in positions(subscriber)}
    assert unique == set(fixes_of(replay_recording(record, expected), times=False))
    assert set(read_jsonl(out, times=False)) == unique
    assert "reconnects: mqtt 1" in summary
    assert "dropped: none" in summary


def test_last_will_says_offline(broker, known):
    """A host that dies without a word is reported offline by the broker."""
    subscriber = Subscriber(broker.port, clean=True, client_id="")
    process = subprocess.Popen(
        [sys.executable, "-m", "qz_host", "live", "-", *known,
         "--mqtt", f"127.0.0.1:{broker.port}"],
        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        def statuses():
            return [payload for _, payload, _ in subscriber.received("qz/status")]
        assert wait_for(lambda: "online" in statuses())
        process.kill()
        process.wait()
        assert wait_for(lambda: statuses()[-1] == "offline", timeout=20)
    finally:
        process.kill()
        process.wait()
        process.stdin.close()
        subscriber.close()


def test_queue_bound_counts_drops(tmp_path, known, expected):
    """With no broker at all, fixes beyond the queue's bound are dropped
    and counted exactly; the rest are reported unacknowledged."""
    port = free_port()  # nothing listens there
    with open(HALL) as source:
        done = subprocess.run(
            [sys.executable, "-m", "qz_host", "live", "-", *known,
             "--mqtt", f"127.0.0.1:{port}", "--mqtt-queue", "100"],
            stdin=source, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    queued = 100 - 1  # the anchors take one place
    assert (f"dropped: mqtt queue {len(expected.fixes) - queued}, "
            f"mqtt unacknowledged {queued}") in done.stdout, done.stdout


@pytest.mark.parametrize("text, expected", [
    ("broker", ("broker", 1883)), ("10.0.0.2:1884", ("10.0.0.2", 1884)),
    ("[::1]:1883", ("::1", 1883)),
])
def test_parse_broker(text, expected):
    assert parse_broker(text) == expected


@pytest.mark.parametrize("text", ["", ":1883", "host:", "host:0", "host:70000", "host:x"])
def test_parse_broker_rejects(text):
    with pytest.raises(ValueError, match="HOST"):
        parse_broker(text)
