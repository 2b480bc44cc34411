"""Publishing fixes and zone events to an MQTT broker with paho-mqtt.

Topics, under a prefix (``qz`` by default):

    PREFIX/tag/ADDR/position   each fix as JSON (the JSON lines' object)
    PREFIX/tag/ADDR/zone       each zone event (see ``mqtt_zones``)
    PREFIX/zone/NAME           the tags inside a zone, retained
    PREFIX/anchors             the anchor layout, retained:
                               {"0A01": {"x": .., "y": .., "z": ..}, ...}
    PREFIX/status              "online", retained; the last will and the
                               clean stop set "offline"

and, with ``ha_discovery``, the Home Assistant discovery topics of
``mqtt_discovery``.

paho's own network thread connects and reconnects with a doubling delay;
its changes of state are said as ``mqtt_state`` describes. Fixes and
events wait in our own queue (``mqtt_queue``) while the broker is away and
are handed to paho a window at a time while it is there; paho resends what
it had handed over when a connection breaks. What the queue's bound drops
and what the broker never acknowledged by the stop are counted.
"""

from __future__ import annotations

import json
import threading
import time
from typing import Callable, Dict, Iterable, Mapping, Optional, Tuple

from .addresses import host_port
from .live_counters import LiveCounters
from .mqtt_discovery import Discovery
from .mqtt_queue import MAX_HANDED, MessageQueue, RetainedTopics
from .mqtt_state import CONNECTING, BrokerState, connect_failure, refusal
from .mqtt_zones import Occupancy, event_topic, zone_topic
from .pipeline import Anchors, Position, Sink
from .zones import ZoneEvent

DEFAULT_PORT = 1883
RECONNECT_MIN = 0.5
RECONNECT_MAX = 10.0
KEEPALIVE = 5  # seconds; the broker declares the host gone (the last will) after 1.5 times this
STOP_TIMEOUT = 5.0  # seconds close() waits for the broker to acknowledge
OFFLINE_GRACE = 0.5  # seconds more for "offline" when the queue took all of that
INFLIGHT = 100  # QoS 1 and 2 messages on the wire unacknowledged; paho's default is 20
UNACKNOWLEDGED = "mqtt unacknowledged"


def _paho():
    try:
        import paho.mqtt.client as client
    except ImportError:
        raise ImportError("--mqtt needs paho-mqtt: pip install 'qz-rtls[live]'") from None
    return client


def parse_broker(text: str) -> Tuple[str, int]:
    """(host, port) of HOST[:PORT]; ValueError when malformed."""
    host, port = host_port(text, listening=False, default_port=DEFAULT_PORT)
    try:
        host.encode("idna")
    except UnicodeError:
        raise ValueError(f"{text!r} is not HOST[:PORT] (the host is no valid name)") from None
    return host, port


def _client_class(client):
    class Client(client.Client):
        """paho's client, telling why a connection attempt failed: its
        network thread retries quietly and keeps the reason to itself."""

        on_attempt_failed: Callable[[BaseException], None] = staticmethod(lambda error: None)

        def reconnect(self):
            try:
                return super().reconnect()
            except (OSError, UnicodeError) as error:
                self.on_attempt_failed(error)
                if isinstance(error, UnicodeError):  # the thread retries OSErrors only
                    raise OSError(str(error)) from None
                raise
    return Client


class MqttSink(Sink):
    def __init__(self, host: str, port: int, *, counters: LiveCounters, prefix: str = "qz",
                 qos: int = 1, user: Optional[str] = None, password: Optional[str] = None,
                 tls_ca: Optional[str] = None, queue_limit: int = 100000,
                 client_id: str = "", zones: Iterable[str] = (), ha_discovery: bool = False,
                 tag_names: Optional[Mapping[int, str]] = None, site_name: Optional[str] = None,
                 tag_timeout: float = 10.0, clock: Callable[[], float] = time.monotonic,
                 log: Callable[[str], None] = print):
        """ValueError for a CA file that holds no certificate."""
        client = _paho()
        self.counters = counters
        self.prefix = prefix.rstrip("/")
        self.qos = qos
        self.log = log
        self.clock = clock
        self.tag_timeout = tag_timeout
        address = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
        self.broker = BrokerState(address, counters, log)
        self.queue = MessageQueue(queue_limit, counters)
        self.retained = RetainedTopics()
        self.occupancy = Occupancy(zones)
        for zone in self.occupancy.inside:
            self.retained.set(zone_topic(self.prefix, zone), self.occupancy.payload(zone))
        self.discovery = (Discovery(self.prefix, self.retained, self.occupancy,
                                    tag_names=tag_names, site_name=site_name, zones=zones)
                          if ha_discovery else None)
        self._last_fix: Dict[int, float] = {}
        self._offline_mid: Optional[int] = None
        # Written by paho's thread: the connections made, and whether one is up.
        self._connections = 0
        self._connected = False
        self._connections_seen = 0
        self._online = threading.Event()  # "online" has been published
        self._answered = threading.Event()  # a connection attempt has succeeded or failed
        self._closing = False
        self.mqtt = _client_class(client)(client.CallbackAPIVersion.VERSION2,
                                          client_id=client_id)
        self.mqtt.on_attempt_failed = self._attempt_failed
        self.mqtt.max_queued_messages_set(0)  # the bound is ours (mqtt_queue)
        self.mqtt.max_inflight_messages_set(INFLIGHT)
        self.mqtt.reconnect_delay_set(RECONNECT_MIN, RECONNECT_MAX)
        self.mqtt.will_set(self._status_topic, "offline", qos=1, retain=True)
        if user is not None:
            self.mqtt.username_pw_set(user, password)
        if tls_ca is not None:
            try:
                self.mqtt.tls_set(ca_certs=tls_ca)
            except (OSError, ValueError) as error:
                reason = getattr(error, "reason", None) or getattr(error, "strerror", None) \
                    or str(error)
                raise ValueError(f"--mqtt-tls: {tls_ca} holds no CA certificate that TLS "
                                 f"can use ({reason})") from None
        self.mqtt.on_connect = self._on_connect
        self.mqtt.on_disconnect = self._on_disconnect
        self.mqtt.on_publish = self._on_publish
        self._codes = client.MQTTErrorCode
        self.mqtt.connect_async(host, port, keepalive=KEEPALIVE)
        self.mqtt.loop_start()

    @property
    def _status_topic(self) -> str:
        return f"{self.prefix}/status"

    # -- paho's thread

    def _attempt_failed(self, error: BaseException) -> None:
        self.broker.failed(*connect_failure(error))
        self._answered.set()

    def _on_connect(self, client, userdata, flags, reason_code, properties) -> None:
        if reason_code.is_failure:
            self.broker.failed(*refusal(reason_code))
            self._answered.set()
            return
        client.publish(self._status_topic, "online", qos=1, retain=True)
        self._connected = True
        self._connections += 1
        self.broker.connected()
        self._online.set()
        self._answered.set()

    def _on_disconnect(self, client, userdata, flags, reason_code, properties) -> None:
        self._connected = False
        if not self._closing:
            self.broker.lost()

    def _on_publish(self, client, userdata, mid, reason_code, properties) -> None:
        # paho calls this holding its message lock: hand the id over
        # without taking a lock of ours.
        self.queue.acknowledged.append(mid)

    # -- the pipeline's thread

    def _publish_message(self, topic: str, payload: str) -> Optional[int]:
        return self._publish(topic, payload, self.qos, False)

    def _publish_retained(self, topic: str, payload: str) -> Optional[int]:
        return self._publish(topic, payload, 1, True)

    def _publish(self, topic: str, payload: str, qos: int, retain: bool) -> Optional[int]:
        info = self.mqtt.publish(topic, payload, qos=qos, retain=retain)
        if info.rc == self._codes.MQTT_ERR_SUCCESS or (
                qos > 0 and info.rc == self._codes.MQTT_ERR_NO_CONN):
            return info.mid  # paho holds a QoS 1 or 2 message until it is sent
        return None

    def _pump(self) -> None:
        """Acknowledgements in, then what the window allows out, while the
        broker is there; every retained topic again after a reconnection."""
        retained = self.retained
        self.queue.settle(retained.handed)
        if self._offline_mid is not None:
            return
        if not self._connected:
            return
        connections = self._connections
        if connections != self._connections_seen:
            if self._connections_seen:
                retained.all_again()
            self._connections_seen = connections
        room = MAX_HANDED - len(self.queue.handed) - len(retained.handed)
        room -= retained.hand_over(self._publish_retained, room)
        self.queue.hand_over(self._publish_message, room)

    def anchors(self, anchors: Anchors) -> None:
        layout = {f"{a:04X}": {"x": x, "y": y, "z": z} for a, (x, y, z) in sorted(anchors.items())}
        self.retained.set(f"{self.prefix}/anchors", json.dumps(layout))
        if self.discovery is not None:
            self.discovery.anchors(anchors)
        self._pump()

    def fix(self, position: Position) -> None:
        payload = json.dumps(position.as_json(), separators=(",", ":"))
        tag = position.fix.tag
        self.queue.put(f"{self.prefix}/tag/{tag:04X}/position", payload, True)
        if self.discovery is not None:
            now = self.clock()
            self._last_fix[tag] = now
            self.discovery.fix(position, now)
        self._pump()

    def event(self, event: ZoneEvent) -> None:
        self.queue.put(event_topic(self.prefix, event.tag),
                       json.dumps(event.as_json(), separators=(",", ":")), False)
        if self.occupancy.apply(event):
            self.retained.set(zone_topic(self.prefix, event.zone),
                              self.occupancy.payload(event.zone))
        if self.discovery is not None:
            self.discovery.zone(event.zone)
            self.discovery.zone_changed(event.tag)
            self.discovery.refresh(self.clock())
        self._pump()

    def tick(self) -> None:
        if self.discovery is not None:
            now = self.clock()
            silent = [tag for tag, last in self._last_fix.items()
                      if now - last > self.tag_timeout]
            for tag in silent:
                del self._last_fix[tag]
                self.discovery.remove(tag)
            self.discovery.refresh(now)
        self._pump()

    def close(self) -> None:
        """Hands over what waits, publishes "offline" after it, waits
        (bounded) for the broker to acknowledge everything, and counts what
        it never did as dropped. Waits (bounded) for a first connection that
        has not been answered yet too: "offline" queued before it would go
        out ahead of the "online" that the connection publishes and leave
        that retained."""
        deadline = time.monotonic() + STOP_TIMEOUT
        if self.broker.state == CONNECTING:
            self._answered.wait(STOP_TIMEOUT)
        # A broker that refused or could not be reached, and never took a
        # message, would only keep the stop waiting for nothing.
        hopeless = not self.broker.connected_once
        if hopeless:
            deadline = time.monotonic()
        while time.monotonic() < deadline and (self.queue.waiting or self.retained.pending):
            self._pump()
            time.sleep(0.005)
        self._offline_mid = self._publish_retained(self._status_topic, "offline")
        if self._offline_mid is not None:
            self.retained.handed.add(self._offline_mid)
        if not hopeless:
            deadline = max(deadline, time.monotonic() + OFFLINE_GRACE)
        while time.monotonic() < deadline:
            self.queue.settle(self.retained.handed)
            if not self.queue.handed and self._offline_mid not in self.retained.handed:
                break
            time.sleep(0.005)
        self.retained.handed.discard(self._offline_mid)
        fixes, events = self.queue.abandon()
        if fixes or events:
            self.counters.dropped[UNACKNOWLEDGED] += fixes + events
            what = f"{fixes} fixes" + (f" and {events} zone events" if events else "")
            self.log(f"{what} never acknowledged by the MQTT broker")
        self._closing = True
        self.mqtt.disconnect()
        self.mqtt.loop_stop()
