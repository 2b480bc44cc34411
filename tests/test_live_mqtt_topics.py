"""The zone topics and Home Assistant discovery on a real Mosquitto broker,
read as an automation system would: subscribed to the topics the README
documents, every payload checked against its documented fields."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from qz_host import mqtt_discovery
from qz_host.live_counters import LiveCounters
from qz_host.mqtt import MqttSink
from qz_host.mqtt_discovery import Discovery
from qz_host.mqtt_queue import RetainedTopics
from qz_host.mqtt_zones import Occupancy
from qz_host.pipeline import Pipeline, Sink
from qz_host.site_file import read_site
from qz_host.track_stage import Position
from qz_host.tracking import TrackFix

from live_helpers import expected, known  # noqa: F401 (fixtures)
from live_helpers import surveyed_anchors, HALL, hall_lines, stderr_messages, wait_for
from mosquitto_broker import Subscriber, broker  # noqa: F401 (a fixture)

HALL_SITE = Path(__file__).resolve().parent.parent / "examples" / "hall.site.toml"
TAGS = ("1001", "1002")
AVAILABILITY = {"availability_topic": "qz/status", "payload_available": "online",
                "payload_not_available": "offline"}
TRACKER_KEYS = {"name", "unique_id", "state_topic", "json_attributes_topic", "payload_home",
                "payload_not_home", "device", "origin", *AVAILABILITY}
SENSOR_KEYS = {"name", "unique_id", "state_topic", "value_template", "unit_of_measurement",
               "state_class", "device", "origin", *AVAILABILITY}


class Events(Sink):
    def __init__(self):
        self.events = []

    def event(self, event):
        self.events.append(event)


class Clock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


def latest(subscriber, topic):
    """The last payload on `topic` and whether it came retained."""
    found = [(payload, retained) for t, payload, retained in subscriber.received(topic)
             if t == topic]
    return found[-1] if found else (None, None)


@pytest.fixture
def site_session(broker, expected):
    """The bundled capture through a pipeline with the hall's site, into
    an MQTT sink with discovery on a clock of the test's."""
    site = read_site(HALL_SITE).site
    subscriber = Subscriber(broker.port, topic=["qz/#", "homeassistant/#"], clean=True,
                            client_id="")
    clock, recorder = Clock(), Events()
    counters = LiveCounters()
    sink = MqttSink("127.0.0.1", broker.port, counters=counters, zones=[z.name for z in site.zones],
                    ha_discovery=True, tag_names={a: t.name for a, t in site.tags.items()},
                    site_name=site.name, tag_timeout=10.0, clock=clock, log=lambda text: None)
    anchors = surveyed_anchors(expected)
    pipeline = Pipeline([sink, recorder], counters=counters, anchors=anchors,
                        sigma=expected.sigma, site=site, tags=site.tags)
    fixes = []
    original = sink.fix

    def fix(position):
        fixes.append(position)
        original(position)
    sink.fix = fix
    for line in hall_lines():
        pipeline.feed_line(line)
    clock.now += mqtt_discovery.ATTRIBUTES_INTERVAL  # the last attributes fall due
    pipeline.tick()
    try:
        yield site, sink, subscriber, clock, recorder.events, fixes
    finally:
        subscriber.close()
        sink.close()


def test_zone_events_and_retained_occupancy(site_session, broker):
    site, sink, subscriber, _, events, _ = site_session
    assert events, "the walk enters and leaves zones"
    assert wait_for(lambda: len(subscriber.received("qz/tag/1001/zone"))
                    + len(subscriber.received("qz/tag/1002/zone")) == len(events))
    for tag in TAGS:
        published = [json.loads(p) for _, p, retained in subscriber.received(f"qz/tag/{tag}/zone")
                     if not retained]
        assert published == [e.as_json() for e in events if f"{e.tag:04X}" == tag]
    inside = {z.name: set() for z in site.zones}
    for e in events:
        (inside[e.zone].add if e.event == "enter" else inside[e.zone].discard)(f"{e.tag:04X}")
    late = Subscriber(broker.port, topic="qz/zone/#", clean=True, client_id="")
    try:
        assert wait_for(lambda: len(late.received("qz/zone/")) == len(site.zones))
        for zone in site.zones:
            payload, retained = latest(late, f"qz/zone/{zone.name}")
            assert retained and json.loads(payload) == {"zone": zone.name,
                                                        "tags": sorted(inside[zone.name])}
    finally:
        late.close()


def test_discovery_configs_states_and_attributes(site_session, broker):
    site, sink, subscriber, _, events, fixes = site_session
    zones = [z.name for z in site.zones]

    def configs_here():  # and nothing still on its way that a late subscriber would see
        sink.tick()
        settled = not (sink.queue.unsettled or sink.retained.pending or sink.retained.handed)
        return settled and all(latest(subscriber, f"qz/tag/{t}/attributes")[0] is not None
                               for t in TAGS)
    assert wait_for(configs_here)
    # What a system subscribing now gets, retained.
    late = Subscriber(broker.port, topic=["homeassistant/#", "qz/tag/+/state",
                                           "qz/tag/+/attributes"], clean=True, client_id="")
    try:
        assert wait_for(lambda: len(late.received()) == 4 * len(TAGS) + len(zones), timeout=10), (
            "\n".join(sorted(t for t, _, _ in late.received()))
        )
        check_discovery(site, sink, subscriber, late, events, fixes)
    finally:
        late.close()


def check_discovery(site, sink, subscriber, late, events, fixes):
    zones = [z.name for z in site.zones]
    for tag in TAGS:
        address = int(tag, 16)
        name = site.tags[address].name
        device = {"identifiers": [f"qz_tag_{tag}"], "name": name, "model": "UWB tag"}
        payload, retained = latest(late, f"homeassistant/device_tracker/qz/tag_{tag}/config")
        tracker = json.loads(payload)
        assert retained and set(tracker) == TRACKER_KEYS
        assert tracker["unique_id"] == f"qz_tag_{tag}" and tracker["name"] is None
        assert tracker["device"] == device
        assert (tracker["state_topic"], tracker["json_attributes_topic"]) == (
            f"qz/tag/{tag}/state", f"qz/tag/{tag}/attributes")
        assert (tracker["payload_home"], tracker["payload_not_home"]) == ("home", "not_home")
        assert {k: tracker[k] for k in AVAILABILITY} == AVAILABILITY
        assert tracker["origin"]["name"] == "qz-host"
        payload, retained = latest(late, f"homeassistant/sensor/qz/tag_{tag}_accuracy/config")
        accuracy = json.loads(payload)
        assert retained and set(accuracy) == SENSOR_KEYS | {"device_class"}
        assert accuracy["state_topic"] == f"qz/tag/{tag}/attributes"
        assert accuracy["unique_id"] == f"qz_tag_{tag}_accuracy"
        assert (accuracy["unit_of_measurement"], accuracy["device_class"]) == ("m", "distance")
        assert accuracy["device"] == device
        # The state: the zone the tag is in, else home or not_home.
        states = [p for t, p, _ in subscriber.received(f"qz/tag/{tag}/state")]
        assert states and all(s in zones + ["home", "not_home"] for s in states)
        assert all(a != b for a, b in zip(states, states[1:])), "states only when they change"
        entered = [e.zone for e in events if f"{e.tag:04X}" == tag and e.event == "enter"]
        # A retained topic's changes not yet handed over merge into the latest
        # (a slow first connection, say): the zones said are some of those
        # entered, in order.
        remaining = iter(entered)
        assert all(s in remaining for s in states if s in zones), (states, entered)
        occupied = [z for z in zones if address in sink.occupancy.inside[z]]
        assert states[-1] == (occupied[0] if occupied else states[-1])
        assert latest(late, f"qz/tag/{tag}/state") == (states[-1], True)
        # The attributes: the tag's last fix.
        last = [p for p in fixes if p.fix.tag == address][-1].as_json()
        payload, retained = latest(late, f"qz/tag/{tag}/attributes")
        attributes = json.loads(payload)
        assert retained and attributes == {
            "x": last["x"], "y": last["y"], "z": last["z"], "sd": last["sd"],
            "time": last["time"], "latitude": last["lat"], "longitude": last["lon"],
            "gps_accuracy": last["sd"]}
    for zone in zones:
        zone_id = mqtt_discovery.object_id(zone)
        payload, retained = latest(late, f"homeassistant/sensor/qz/zone_{zone_id}/config")
        sensor = json.loads(payload)
        assert retained and set(sensor) == SENSOR_KEYS | {"json_attributes_topic"}
        assert sensor["state_topic"] == sensor["json_attributes_topic"] == f"qz/zone/{zone}"
        assert sensor["unique_id"] == f"qz_zone_{zone_id}"
        assert sensor["device"] == {"identifiers": ["qz_site"], "name": site.name,
                                    "model": "UWB site"}


def test_a_tag_that_times_out_is_removed(site_session, broker):
    _, sink, subscriber, clock, _, _ = site_session
    clock.now += 10.5  # past the tag timeout

    topics = [topic for tag in TAGS
              for topic in (f"homeassistant/device_tracker/qz/tag_{tag}/config",
                            f"homeassistant/sensor/qz/tag_{tag}_accuracy/config",
                            f"qz/tag/{tag}/state", f"qz/tag/{tag}/attributes")]

    def not_removed():
        # The removals go out in order, some ticks apart on a slow machine.
        sink.tick()
        return [topic for topic in topics if latest(subscriber, topic)[0] != ""]
    wait_for(lambda: not not_removed())
    assert not_removed() == []
    # Nothing of the tags stays retained for an automation system that
    # subscribes later; the zones' sensors do.
    late = Subscriber(broker.port, topic="homeassistant/#", clean=True, client_id="")
    try:
        assert wait_for(lambda: late.received("homeassistant/sensor/qz/zone_"))
        assert not [t for t, _, _ in late.received() if "tag_" in t]
    finally:
        late.close()


def position(x, y, tag=0x1001):
    fix = TrackFix(time=1.0, tag=tag, x=x, y=y, sd=0.05, dop=1.0, used=(), rejected=0)
    return Position(fix, 0.0, (), ())


@pytest.mark.parametrize("x, y, state", [
    (5.0, 5.0, "home"), (10.9, 5.0, "home"), (-0.5, -0.5, "home"),
    (11.5, 5.0, "not_home"), (5.0, -3.0, "not_home"),
])
def test_without_zones_the_state_is_whether_the_tag_is_on_the_site(x, y, state):
    retained = RetainedTopics()
    discovery = Discovery("qz", retained, Occupancy())
    discovery.anchors({1: (0, 0, 0), 2: (10, 0, 0), 3: (10, 10, 0), 4: (0, 10, 0), 5: (5, 5, 0)})
    discovery.fix(position(x, y), 0.0)
    discovery.refresh(0.0)
    assert retained.current["qz/tag/1001/state"] == state


@pytest.mark.parametrize("name, object_id", [
    ("bay", "bay"), ("dock-2_b", "dock-2_b"), ("cold store", None), ("cold_store", "cold_store"),
])
def test_zone_object_ids_are_clean_and_distinct(name, object_id):
    found = mqtt_discovery.object_id(name)
    assert found == object_id or (object_id is None and found.startswith("cold_store_")
                                  and found != "cold_store")


def test_live_announces_each_tag_as_home_without_zones(broker, known, expected):
    subscriber = Subscriber(broker.port, topic=["qz/#", "homeassistant/#"], clean=True,
                            client_id="")
    try:
        with open(HALL) as source:
            done = subprocess.run(
                [sys.executable, "-m", "qz_host", "live", "-", *known,
                 "--mqtt", f"127.0.0.1:{broker.port}", "--ha-discovery"],
                stdin=source, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert wait_for(lambda: latest(subscriber, "qz/status")[0] == "offline")
        for tag in TAGS:
            tracker = json.loads(latest(subscriber,
                                        f"homeassistant/device_tracker/qz/tag_{tag}/config")[0])
            assert tracker["device"]["name"] == f"tag {tag}"
            # The hall's tags stay among its anchors.
            assert [p for t, p, _ in subscriber.received(f"qz/tag/{tag}/state")] == ["home"]
            attributes = json.loads(latest(subscriber, f"qz/tag/{tag}/attributes")[0])
            assert set(attributes) == {"x", "y", "z", "sd", "time"}
    finally:
        subscriber.close()


def test_discovery_needs_a_broker(capsys):
    from qz_host import cli
    assert cli.main(["live", "-", "--ha-discovery"]) == 2
    assert stderr_messages(capsys.readouterr().err) == [
        "qz-host live: error: --ha-discovery needs --mqtt"]
