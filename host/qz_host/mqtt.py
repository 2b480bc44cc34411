"""Publishing fixes to an MQTT broker with paho-mqtt.

Topics, under a prefix (``qz`` by default):

    PREFIX/tag/ADDR/position   each fix as JSON (the JSON lines' object)
    PREFIX/anchors             the anchor layout, retained:
                               {"0A01": {"x": .., "y": .., "z": ..}, ...}
    PREFIX/status              "online", retained; the last will and the
                               clean stop set "offline"

paho's own network thread connects, reconnects with a doubling delay and
resends QoS 1 messages the broker did not acknowledge. While the broker is
away fixes wait in paho's queue, bounded by ``queue_limit``: what does not
fit is dropped and counted, as is a QoS 0 fix published while offline.
"""

from __future__ import annotations

import json
import threading
import time
from collections import deque
from typing import Callable, Deque, Optional, Set, Tuple

from .addresses import host_port
from .live_counters import LiveCounters
from .pipeline import Anchors, Position, Sink

DEFAULT_PORT = 1883
RECONNECT_MIN = 0.5
RECONNECT_MAX = 10.0
KEEPALIVE = 5  # seconds; the broker declares the host gone (the last will) after 1.5 times this
STOP_TIMEOUT = 5.0  # seconds close() waits for the broker to acknowledge


def _paho():
    try:
        import paho.mqtt.client as client
    except ImportError:
        raise ImportError("--mqtt needs paho-mqtt: pip install 'qz-rtls[live]'") from None
    return client


def parse_broker(text: str) -> Tuple[str, int]:
    """(host, port) of HOST[:PORT]; ValueError when malformed."""
    return host_port(text, listening=False, default_port=DEFAULT_PORT)


class MqttSink(Sink):
    def __init__(self, host: str, port: int, *, counters: LiveCounters, prefix: str = "qz",
                 qos: int = 1, user: Optional[str] = None, password: Optional[str] = None,
                 tls_ca: Optional[str] = None, queue_limit: int = 100000,
                 client_id: str = "", log: Callable[[str], None] = print):
        client = _paho()
        self.counters = counters
        self.prefix = prefix.rstrip("/")
        self.qos = qos
        self.log = log
        # Message ids of the fixes not yet acknowledged, and the ids paho's
        # thread reports acknowledged (a deque: appends need no lock).
        self._waiting: Set[int] = set()
        self._acknowledged: Deque[int] = deque()
        self._offline_mid: Optional[int] = None
        self._connected_once = False
        self._online = threading.Event()  # "online" has been published
        self.mqtt = client.Client(client.CallbackAPIVersion.VERSION2, client_id=client_id)
        self.mqtt.max_queued_messages_set(queue_limit)
        self.mqtt.reconnect_delay_set(RECONNECT_MIN, RECONNECT_MAX)
        self.mqtt.will_set(self._status_topic, "offline", qos=1, retain=True)
        if user is not None:
            self.mqtt.username_pw_set(user, password)
        if tls_ca is not None:
            self.mqtt.tls_set(ca_certs=tls_ca)
        self.mqtt.on_connect = self._on_connect
        self.mqtt.on_disconnect = self._on_disconnect
        self.mqtt.on_publish = self._on_publish
        self._codes = client.MQTTErrorCode
        self._anchors: Optional[str] = None
        self.mqtt.connect_async(host, port, keepalive=KEEPALIVE)
        self.mqtt.loop_start()

    @property
    def _status_topic(self) -> str:
        return f"{self.prefix}/status"

    def _on_connect(self, client, userdata, flags, reason_code, properties) -> None:
        if reason_code.is_failure:
            self.log(f"MQTT broker refused the connection: {reason_code}")
            return
        if self._connected_once:
            self.counters.mqtt_reconnects += 1
            self.log("MQTT broker reconnected")
        self._connected_once = True
        client.publish(self._status_topic, "online", qos=1, retain=True)
        self._online.set()
        if self._anchors is not None:
            client.publish(f"{self.prefix}/anchors", self._anchors, qos=1, retain=True)

    def _on_disconnect(self, client, userdata, flags, reason_code, properties) -> None:
        if reason_code != 0:
            self.log(f"MQTT broker connection lost ({reason_code}); reconnecting")

    def anchors(self, anchors: Anchors) -> None:
        self._anchors = json.dumps({f"{a:04X}": {"x": x, "y": y, "z": z}
                                    for a, (x, y, z) in sorted(anchors.items())})
        self.mqtt.publish(f"{self.prefix}/anchors", self._anchors, qos=1, retain=True)

    def _on_publish(self, client, userdata, mid, reason_code, properties) -> None:
        # paho calls this on its own thread holding its message lock: hand
        # the id over without taking a lock of ours.
        self._acknowledged.append(mid)

    def fix(self, position: Position) -> None:
        payload = json.dumps(position.as_json(), separators=(",", ":"))
        info = self.mqtt.publish(f"{self.prefix}/tag/{position.fix.tag:04X}/position",
                                 payload, qos=self.qos)
        codes = self._codes
        # Not connected, QoS 1 and 2 messages wait in paho's queue; QoS 0 ones are lost.
        if info.rc == codes.MQTT_ERR_QUEUE_SIZE or (
                self.qos == 0 and info.rc != codes.MQTT_ERR_SUCCESS):
            self.counters.dropped["mqtt queue"] += 1
        else:
            self._waiting.add(info.mid)

    def tick(self) -> None:
        acknowledged = self._acknowledged
        while acknowledged:
            mid = acknowledged.popleft()
            if mid in self._waiting:
                self._waiting.discard(mid)
                self.counters.published += 1
            elif mid == self._offline_mid:
                self._offline_mid = None

    def close(self) -> None:
        """Publishes "offline", waits (bounded) for the broker to acknowledge
        every fix, and counts what it never did as dropped. "offline" waits
        (bounded) for the first connection: queued before it, it would go out
        ahead of the "online" that the connection publishes and leave that
        retained."""
        deadline = time.monotonic() + STOP_TIMEOUT
        self._online.wait(STOP_TIMEOUT)
        self._offline_mid = self.mqtt.publish(self._status_topic, "offline", qos=1,
                                              retain=True).mid
        while time.monotonic() < deadline:
            self.tick()
            if not self._waiting and self._offline_mid is None:
                break
            time.sleep(0.01)
        unacknowledged = len(self._waiting)
        self._waiting.clear()
        if unacknowledged:
            self.counters.dropped["mqtt unacknowledged"] += unacknowledged
            self.log(f"{unacknowledged} fixes never acknowledged by the MQTT broker")
        self.mqtt.disconnect()
        self.mqtt.loop_stop()
