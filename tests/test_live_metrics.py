"""qz-host live --metrics: /metrics scraped and parsed with prometheus_client's
own parser as frames flow, /health turning 503 when the feed stops and 200
when it returns, and the option's faults in one line."""

import socket
import urllib.error
import urllib.request

import pytest

from qz_host import cli, frames, health
from qz_host.live_counters import LiveCounters
from qz_host.metrics import LatencyHistogram, MonitorSink
from qz_host.pipeline import Pipeline

from live_helpers import expected, known  # noqa: F401 (fixtures)
from live_helpers import (free_port, hall_frames, hall_replay, live_thread, surveyed_anchors,
                          wait_for)

parser = pytest.importorskip("prometheus_client.parser",
                             reason="--metrics needs prometheus_client (the metrics extra)")
from qz_host.monitor_server import MonitorServer  # noqa: E402 (after the skip)


class Clock:
    def __init__(self, now=100.0):
        self.now = now

    def __call__(self):
        return self.now


def get(url):
    """(status, body) of a GET, errors included."""
    try:
        with urllib.request.urlopen(url, timeout=10) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def health_status(url):
    """The health's status, None while nothing serves there yet."""
    try:
        return get(url + "/health")[0]
    except urllib.error.URLError:
        return None


def scrape(url):
    """{(name, labels as a sorted tuple): value} of every sample."""
    status, text = get(url + "/metrics")
    assert status == 200
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in parser.text_string_to_metric_families(text) for s in family.samples}


@pytest.fixture(scope="module")
def hall_anchors():
    result = hall_replay()
    return result, surveyed_anchors(result)


@pytest.fixture
def monitored(hall_anchors):
    """A pipeline of the bundled capture's anchors watched by a served
    monitor on a fake clock."""
    result, anchors = hall_anchors
    counters, clock = LiveCounters(source_name="udp://test"), Clock()
    monitor = MonitorSink(counters, receipt_times=True, health_timeout=5.0, broker=False,
                          clock=clock, wall=lambda: 1e12)
    pipeline = Pipeline([monitor], counters=counters, anchors=anchors, sigma=result.sigma,
                        checksum_name=frames.FCS_NAME, clock=clock)
    monitor.watch(pipeline)
    server = MonitorServer(("127.0.0.1", 0), monitor)
    server.start()
    try:
        yield pipeline, monitor, server.url, clock
    finally:
        server.stop()


def test_metrics_move_as_frames_flow(monitored):
    pipeline, monitor, url, clock = monitored
    items = hall_frames()
    for time, frame in items[:300]:
        pipeline.feed_frame(time, frame)
    pipeline.tick()
    first = scrape(url)
    for time, frame in items[300:]:
        pipeline.feed_frame(time, frame)
    pipeline.feed_frame(0.0, b"@QZ@ no frame at all")
    clock.now += 2.0
    pipeline.tick()
    last = scrape(url)
    c = pipeline.counters
    assert last[("qz_frames_total", (("outcome", "decoded"),))] == c.decoded == 840
    assert last[("qz_frames_total", (("outcome", "heartbeat"),))] == 42
    assert last[("qz_frames_total", (("outcome", "skipped"),))] == 1
    assert sum(v for (name, _), v in last.items() if name == "qz_frames_skipped_total") == 1
    assert last[("qz_fixes_total", ())] == sum(c.fixes.values()) > first[("qz_fixes_total", ())] > 0
    assert last[("qz_rejected_ranges_total", ())] == sum(c.rejected.values())
    for tag, count in c.fixes.items():
        assert last[("qz_tag_fixes_total", (("tag", f"{tag:04X}"),))] == count
        assert last[("qz_tag_last_fix_age_seconds", (("tag", f"{tag:04X}"),))] == 2.0
    for anchor in pipeline.anchors:
        label = (("anchor", f"{anchor:04X}"),)
        assert last[("qz_anchor_ranges_total", label)] > first[("qz_anchor_ranges_total", label)]
        assert last[("qz_anchor_last_heard_age_seconds", label)] == 2.0
        assert ("qz_anchor_range_offset_metres", label) in last
    assert last[("qz_survey_done", ())] == 1 and last[("qz_anchors", ())] == 6
    assert last[("qz_tags_live", ())] == 2
    # Every fix observed once; the frames' times were long before the wall clock.
    latency = last[("qz_frame_to_fix_latency_seconds_count", ())]
    assert latency == last[("qz_fixes_total", ())]
    assert last[("qz_frame_to_fix_latency_seconds_bucket", (("le", "30.0"),))] == 0
    assert ("qz_broker_connected", ()) not in last


def test_health_turns_503_when_the_feed_stops_and_200_when_it_returns(monitored):
    pipeline, monitor, url, clock = monitored
    items = hall_frames()
    pipeline.feed_frame(*items[0])
    assert get(url + "/health") == (200, "ok\n")
    clock.now += 5.5
    assert get(url + "/health") == (503, "no frames for 5.5 s\n")
    pipeline.feed_frame(*items[1])
    assert get(url + "/health") == (200, "ok\n")
    assert get(url + "/nothing")[0] == 404


def test_health_of_a_live_session_over_udp(known):
    """A real session: the health follows the datagrams within its timeout."""
    port, metrics = free_port(socket.SOCK_DGRAM), free_port()
    url = f"http://127.0.0.1:{metrics}"
    items = iter(hall_frames())
    with live_thread([f"udp://127.0.0.1:{port}", *known, "--fcs", "--jsonl", "/dev/null",
                      "--metrics", f"127.0.0.1:{metrics}", "--health-timeout", "1"]) as session, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        def fed_and_healthy():
            # Healthy from the start for a second, so count a frame too: the
            # socket may not be bound yet when the first datagrams go.
            sock.sendto(next(items)[1], ("127.0.0.1", port))
            return health_status(url) == 200 and \
                scrape(url).get(("qz_frames_total", (("outcome", "decoded"),)), 0) > 0
        assert wait_for(fed_and_healthy, timeout=30)
        assert wait_for(lambda: health_status(url) == 503)
        assert get(url + "/health")[1].startswith("no frames for ")
        assert wait_for(fed_and_healthy)
        before = scrape(url)[("qz_frames_total", (("outcome", "decoded"),))]
        for _ in range(20):
            sock.sendto(next(items)[1], ("127.0.0.1", port))
        assert wait_for(lambda: scrape(url)[("qz_frames_total", (("outcome", "decoded"),))]
                        + scrape(url)[("qz_frames_total", (("outcome", "heartbeat"),))]
                        >= before + 20)
        assert session.finish() == 0


class Broker:
    """Counters that carry the broker's state, as the broker's sink keeps it."""

    def __init__(self, state):
        self.counters = LiveCounters()
        self.counters.mqtt_state = state


@pytest.mark.parametrize("state, reason, connected", [
    ("connected", None, 1),
    ("connection refused", "broker connection refused", 0),
    ("", None, 0),  # not known yet
])
def test_broker_state_in_health_and_metrics(state, reason, connected):
    counters = Broker(state).counters
    monitor = MonitorSink(counters, receipt_times=True, health_timeout=5.0, broker=True)
    monitor.watch(Pipeline([monitor], counters=counters, anchors={1: (0, 0, 0), 2: (5, 0, 0),
                                                                  3: (0, 5, 0)}))
    assert monitor.health_reasons() == ([reason] if reason else [])
    server = MonitorServer(("127.0.0.1", 0), monitor)
    server.start()
    try:
        samples = scrape(server.url)
    finally:
        server.stop()
    assert samples[("qz_broker_connected", ())] == connected
    assert samples[("qz_broker_state", (("state", state or "unknown"),))] == 1


@pytest.mark.parametrize("facts, reasons", [
    (dict(now=10.0, last_frame=9.0, frames=5), []),
    (dict(now=10.0, last_frame=2.0, frames=5), ["no frames for 8.0 s"]),
    (dict(now=10.0, last_frame=2.0, frames=0), ["no frame received in 8.0 s"]),
    (dict(now=10.0, last_frame=9.0, frames=5, surveyed=False), ["survey not done"]),
    (dict(now=10.0, last_frame=9.0, frames=5, broker_state="lost"), ["broker lost"]),
    (dict(now=10.0, last_frame=0.0, frames=5, surveyed=False, broker_state="lost",
          output_faults=["cannot reopen x: Permission denied"]),
     ["no frames for 10.0 s", "survey not done", "broker lost",
      "cannot reopen x: Permission denied"]),
])
def test_health_reasons(facts, reasons):
    given = dict(timeout=5.0, surveyed=True, broker_state=None)
    given.update(facts)
    assert health.reasons(health.Facts(**given)) == reasons


def test_latency_buckets_are_cumulative():
    histogram = LatencyHistogram((0.001, 0.01))
    for seconds in (0.0005, 0.001, 0.005, 0.5):
        histogram.observe(seconds)
    assert histogram.buckets() == [("0.001", 2), ("0.01", 3), ("+Inf", 4)]
    assert histogram.total == pytest.approx(0.5065)


def test_capture_lines_time_from_their_arrival(hall_anchors):
    """Recorded times are not receive times: the latency runs from when the
    pipeline took the line."""
    result, anchors = hall_anchors
    wall = Clock(1000.0)
    counters = LiveCounters()
    monitor = MonitorSink(counters, receipt_times=False, health_timeout=5.0, broker=False,
                          wall=wall)
    pipeline = Pipeline([monitor], counters=counters, anchors=anchors, sigma=result.sigma,
                        checksum_name=frames.FCS_NAME)
    for time, frame in hall_frames()[:100]:
        pipeline.feed_frame(time, frame)
    assert monitor.latency.counts[0] == sum(counters.fixes.values()) > 0


@pytest.mark.parametrize("address, message", [
    ("127.0.0.1:99999", "--metrics: '127.0.0.1:99999' is not HOST:PORT"),
    ("no.such.host.invalid:0", "--metrics: cannot serve on no.such.host.invalid:0"),
])
def test_bad_address_is_one_line(address, message, capsys):
    assert cli.main(["live", "udp://127.0.0.1:0", "--metrics", address]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and message in err[0], err


def test_port_in_use_is_one_line(capsys):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        assert cli.main(["live", "udp://127.0.0.1:0", "--metrics", str(port)]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and f"--metrics: cannot serve on {port}: Address already in use" \
        in err[0], err


def test_without_prometheus_client_is_one_line(monkeypatch, capsys):
    monkeypatch.setitem(__import__("sys").modules, "prometheus_client", None)
    assert cli.main(["live", "udp://127.0.0.1:0", "--metrics", "0"]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "pip install 'qz-rtls[metrics]'" in err[0], err


def test_beyond_loopback_is_warned(capsys):
    with live_thread(["udp://127.0.0.1:0", "--metrics", "0.0.0.0:0"]) as session:
        session.finish()
    err = capsys.readouterr().err
    assert ("warning: serving metrics beyond this machine on 0.0.0.0: anyone who can reach it "
            "can read the metrics") in err
    assert "WARNING qz-host live: warning: serving metrics" in err


def test_a_failing_request_is_one_line_and_the_server_goes_on(monitored, capsys):
    pipeline, monitor, url, clock = monitored
    server = MonitorServer(("127.0.0.1", 0), monitor)
    server.health = lambda: 1 / 0
    server.start()
    try:
        with pytest.raises(OSError):  # the connection closed without an answer
            get(server.url + "/health")
        assert get(server.url + "/metrics")[0] == 200
    finally:
        server.stop()
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 1 and "the monitoring request from 127.0.0.1 failed: " \
        "ZeroDivisionError" in err[0], err
