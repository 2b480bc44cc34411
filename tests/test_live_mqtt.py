"""Publishing to a real Mosquitto broker: every fix, the retained anchors and
status, no fix lost when the broker restarts mid-stream or waits longer
than the client library can count, TLS and passwords, and the broker's
state said in one line at each change."""

import json
import os
import socket
import subprocess
import sys

import pytest

from qz_host.live_counters import LiveCounters
from qz_host.mqtt import MqttSink, parse_broker
from qz_host.track_stage import Position
from qz_host.tracking import TrackFix

from live_helpers import expected, known  # noqa: F401 (fixtures)
from live_helpers import (HALL, fixes_of, hall_frames, live_thread, read_jsonl,
                          recorded_frames, replay_recording, stderr_messages, udp_bound, wait_for,
                          free_port)
from mosquitto_broker import PASSWORD, USER, Subscriber
from mosquitto_broker import broker, certificates, secure_broker  # noqa: F401 (fixtures)


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


def test_broker_restart_loses_no_fix(tmp_path, broker, known, expected, capsys):
    """The broker stops mid-stream and comes back: QoS 1 fixes queued
    meanwhile reach the subscriber; the counts say no fix was dropped, and
    stderr says each change of the broker's state once."""
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
    said = [line.split(": ", 2)[2] for line in stderr_messages(capsys.readouterr().err)
            if line.startswith(f"qz-host live: MQTT broker 127.0.0.1:{broker.port}: ")]
    # Attempts while the broker is down are refused: said once, not per retry.
    assert said in (["connected", "connection lost; reconnecting", "reconnected"],
                    ["connected", "connection lost; reconnecting",
                     "connection refused; retrying", "reconnected"]), said


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


def live_on_hall(known, *options, env=None):
    """`qz-host live -` on the bundled capture with `options`."""
    with open(HALL) as source:
        return subprocess.run([sys.executable, "-m", "qz_host", "live", "-", *known, *options],
                              stdin=source, capture_output=True, text=True, timeout=60,
                              env={**os.environ, **(env or {})})


def test_queue_bound_counts_drops(known, expected):
    """With no broker at all, fixes beyond the queue's bound are dropped
    and counted exactly, the rest reported unacknowledged, and the exit
    status says fixes were lost."""
    port = free_port()  # nothing listens there
    done = live_on_hall(known, "--mqtt", f"127.0.0.1:{port}", "--mqtt-queue", "100")
    assert done.returncode == 1, done.stderr
    assert (f"dropped: mqtt queue {len(expected.fixes) - 100}, "
            f"mqtt unacknowledged 100") in done.stdout, done.stdout


def test_tls_and_a_user_name_deliver_every_fix(secure_broker, certificates, known, expected):
    subscriber = Subscriber(secure_broker.tls_port, clean=True, client_id="",
                            ca=certificates.ca, user=USER, password=PASSWORD)
    try:
        done = live_on_hall(known, "--mqtt", f"127.0.0.1:{secure_broker.tls_port}",
                            "--mqtt-tls", str(certificates.ca), "--mqtt-user", USER,
                            env={"QZ_MQTT_PASSWORD": PASSWORD})
        assert done.returncode == 0, done.stderr
        assert wait_for(lambda: len(positions(subscriber)) >= len(expected.fixes))
    finally:
        subscriber.close()
    assert (f"qz-host live: MQTT broker 127.0.0.1:{secure_broker.tls_port}: connected"
            in stderr_messages(done.stderr))
    assert f"MQTT     {len(expected.fixes)} fixes acknowledged" in done.stdout


@pytest.mark.parametrize("trouble", ["refused", "unresolved", "password", "anonymous", "tls"])
def test_broker_trouble_is_one_line_and_exit_1(trouble, secure_broker, certificates, known,
                                                expected):
    """Whatever keeps the broker away is said once (not per retry), with no
    traceback; the fixes it never took make the exit status 1."""
    address = f"127.0.0.1:{secure_broker.port}"
    options, env = [], {"QZ_MQTT_PASSWORD": PASSWORD}
    if trouble == "refused":
        address = f"127.0.0.1:{free_port()}"
        said = "connection refused; retrying"
    elif trouble == "unresolved":
        # A name the resolver refuses without asking a name server: the
        # tests reach no network.
        address = "no such broker.invalid:1883"
        said = "name not resolved (Name or service not known); retrying"
    elif trouble == "password":
        options, env = ["--mqtt-user", USER], {"QZ_MQTT_PASSWORD": "wrong"}
        said = "authentication refused (Not authorized); retrying"
    elif trouble == "anonymous":
        said = "authentication refused (Not authorized); retrying"
    else:
        address = f"127.0.0.1:{secure_broker.tls_port}"
        options = ["--mqtt-tls", str(certificates.other_ca), "--mqtt-user", USER]
        said = ("TLS failure (certificate verify failed: self-signed certificate in "
                "certificate chain); retrying")
    done = live_on_hall(known, "--mqtt", address, *options, env=env)
    assert done.returncode == 1, done.stderr
    assert "Traceback" not in done.stderr
    broker_lines = [line for line in stderr_messages(done.stderr) if "MQTT broker" in line]
    assert broker_lines == [f"qz-host live: MQTT broker {address}: {said}",
                            f"qz-host live: {len(expected.fixes)} fixes never acknowledged by "
                            "the MQTT broker"], done.stderr


def test_a_file_that_is_no_ca_is_one_line_and_exit_2(known):
    done = live_on_hall(known, "--mqtt", "127.0.0.1:1", "--mqtt-tls", "/etc/passwd")
    assert done.returncode == 2
    assert stderr_messages(done.stderr) == [
        "qz-host live: error: --mqtt-tls: /etc/passwd holds no CA certificate that TLS can use "
        "(NO_CERTIFICATE_OR_CRL_FOUND)"]


def test_a_queue_longer_than_the_message_ids_loses_nothing(broker):
    """paho numbers what it holds with 16-bit ids: 70,000 fixes queued
    while the broker is down must all reach it once it is back."""
    count = 70_000
    broker.stop()
    counters = LiveCounters()
    sink = MqttSink("127.0.0.1", broker.port, counters=counters, queue_limit=100_000,
                    log=lambda text: None)
    try:
        for n in range(count):
            fix = TrackFix(time=n * 0.01, tag=0x1001, x=1.0, y=2.0, sd=0.03, dop=1.0,
                           used=(), rejected=0)
            sink.fix(Position(fix, 0.0, (), ()))
        broker.start()

        def all_acknowledged():
            sink.tick()
            return counters.published >= count
        assert wait_for(all_acknowledged, timeout=60), counters.published
    finally:
        sink.close()
    assert counters.published == count
    assert not +counters.dropped


@pytest.mark.parametrize("text, expected", [
    ("broker", ("broker", 1883)), ("10.0.0.2:1884", ("10.0.0.2", 1884)),
    ("[::1]:1883", ("::1", 1883)),
])
def test_parse_broker(text, expected):
    assert parse_broker(text) == expected


@pytest.mark.parametrize("text", ["", ":1883", "host:", "host:0", "host:70000", "host:x",
                                  "a..b:1883", "x" * 64 + ".lan"])
def test_parse_broker_rejects(text):
    with pytest.raises(ValueError, match="HOST"):
        parse_broker(text)
