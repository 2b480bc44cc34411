"""Home Assistant MQTT discovery: each tag a device tracker whose state is
the zone it is in, with its position as attributes.

Topics (NODE is the topic prefix with every character but letters, digits,
``_`` and ``-`` made ``_``; ADDR four hexadecimal digits), all retained:

    homeassistant/device_tracker/NODE/tag_ADDR/config      the tracker
    homeassistant/sensor/NODE/tag_ADDR_accuracy/config     the fix's sd, m
    homeassistant/sensor/NODE/zone_ZONE/config             tags in a zone
    PREFIX/tag/ADDR/state        the zone's name, else "home" inside the
                                 site (the anchors' hull widened by 1 m),
                                 else "not_home"
    PREFIX/tag/ADDR/attributes   {"x", "y", "z", "sd", "time"} and, where
                                 the site is on the Earth, "latitude",
                                 "longitude" and "gps_accuracy"; at most
                                 once a second per tag

Every config names its ``unique_id`` and ``device`` and takes availability
from ``PREFIX/status``. A tag silent for the tag timeout is removed: an
empty retained payload on each of its topics, configs first.
"""

from __future__ import annotations

import hashlib
import json
import math
import re
from typing import Dict, Iterable, Mapping, Optional, Sequence, Set

from . import __version__
from .mqtt_queue import RetainedTopics
from .mqtt_zones import Occupancy, zone_topic
from .track_stage import Position
from .zones import Zone

DISCOVERY_PREFIX = "homeassistant"
ATTRIBUTES_INTERVAL = 1.0  # s: a recorder stores every attribute change
HOME_MARGIN = 1.0          # m beyond the anchors' hull that is still the site
HOME, NOT_HOME = "home", "not_home"
_NOT_ID = re.compile(r"[^A-Za-z0-9_-]")


def object_id(name: str) -> str:
    """`name` as a topic's object id: unchanged when it is one already,
    else cleaned and told apart by a hash of the name."""
    cleaned = _NOT_ID.sub("_", name)
    if cleaned == name and name:
        return name
    return f"{cleaned}_{hashlib.sha1(name.encode()).hexdigest()[:6]}"


def _hull(points: Sequence[Sequence[float]]) -> list:
    """The convex hull, counter-clockwise (Andrew's monotone chain)."""
    pts = sorted({(float(p[0]), float(p[1])) for p in points})
    if len(pts) < 3:
        return pts

    def turn(o, a, b):
        return (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0])

    lower: list = []
    upper: list = []
    for p in pts:
        while len(lower) >= 2 and turn(lower[-2], lower[-1], p) <= 0:
            lower.pop()
        lower.append(p)
    for p in reversed(pts):
        while len(upper) >= 2 and turn(upper[-2], upper[-1], p) <= 0:
            upper.pop()
        upper.append(p)
    return lower[:-1] + upper[:-1]


class _Tag:
    __slots__ = ("position", "state", "attributes_due", "attributes_pending")

    def __init__(self) -> None:
        self.position: Optional[Position] = None
        self.state = ""
        self.attributes_due = -math.inf
        self.attributes_pending = False


class Discovery:
    """Keeps the discovery topics of the tags and zones in `retained`."""

    def __init__(self, prefix: str, retained: RetainedTopics, occupancy: Occupancy, *,
                 tag_names: Optional[Mapping[int, str]] = None, site_name: Optional[str] = None,
                 zones: Iterable[str] = ()):
        self.prefix = prefix
        self.node = _NOT_ID.sub("_", prefix) or "qz"
        self.retained = retained
        self.occupancy = occupancy
        self.tag_names = dict(tag_names or {})
        self.site_name = site_name or f"qz-host {prefix}"
        self.site: Optional[Zone] = None
        self.tags: Dict[int, _Tag] = {}
        self._dirty: Set[int] = set()
        self._zones: Set[str] = set()
        for zone in zones:
            self.zone(zone)

    # -- topics and payloads

    def _availability(self) -> dict:
        return {"availability_topic": f"{self.prefix}/status",
                "payload_available": "online", "payload_not_available": "offline",
                "origin": {"name": "qz-host", "sw_version": __version__}}

    def tag_topics(self, tag: int) -> Dict[str, str]:
        a = f"{tag:04X}"
        return {"tracker": f"{DISCOVERY_PREFIX}/device_tracker/{self.node}/tag_{a}/config",
                "accuracy": f"{DISCOVERY_PREFIX}/sensor/{self.node}/tag_{a}_accuracy/config",
                "state": f"{self.prefix}/tag/{a}/state",
                "attributes": f"{self.prefix}/tag/{a}/attributes"}

    def tag_configs(self, tag: int) -> Dict[str, dict]:
        a = f"{tag:04X}"
        name = self.tag_names.get(tag) or f"tag {a}"
        topics = self.tag_topics(tag)
        device = {"identifiers": [f"{self.node}_tag_{a}"], "name": name, "model": "UWB tag"}
        tracker = {"name": None, "unique_id": f"{self.node}_tag_{a}",
                   "state_topic": topics["state"], "json_attributes_topic": topics["attributes"],
                   "payload_home": HOME, "payload_not_home": NOT_HOME,
                   "device": device, **self._availability()}
        accuracy = {"name": "accuracy", "unique_id": f"{self.node}_tag_{a}_accuracy",
                    "state_topic": topics["attributes"], "value_template": "{{ value_json.sd }}",
                    "unit_of_measurement": "m", "device_class": "distance",
                    "state_class": "measurement", "device": device, **self._availability()}
        return {"tracker": tracker, "accuracy": accuracy}

    def zone_config(self, zone: str) -> dict:
        zid = object_id(zone)
        topic = zone_topic(self.prefix, zone)
        return {"name": f"{zone} occupancy", "unique_id": f"{self.node}_zone_{zid}",
                "state_topic": topic, "value_template": "{{ value_json.tags | count }}",
                "json_attributes_topic": topic, "unit_of_measurement": "tags",
                "state_class": "measurement",
                "device": {"identifiers": [f"{self.node}_site"], "name": self.site_name,
                           "model": "UWB site"}, **self._availability()}

    def zone_config_topic(self, zone: str) -> str:
        return f"{DISCOVERY_PREFIX}/sensor/{self.node}/zone_{object_id(zone)}/config"

    @staticmethod
    def attributes(position: Position) -> dict:
        fix = position.fix
        out = {"x": position.x, "y": position.y, "z": position.z,
               "sd": fix.sd if math.isfinite(fix.sd) else None, "time": fix.time}
        site = position.site or {}
        if "lat" in site and "lon" in site:
            out["latitude"], out["longitude"] = site["lat"], site["lon"]
            if math.isfinite(fix.sd):
                out["gps_accuracy"] = fix.sd
        return out

    # -- what the sink tells

    def anchors(self, anchors: Mapping[int, Sequence[float]]) -> None:
        hull = _hull(list(anchors.values()))
        try:
            self.site = Zone("site", tuple(hull), exit_tolerance=HOME_MARGIN)
        except ValueError:  # fewer than three anchors off one line: no inside
            self.site = None
        self._dirty.update(self.tags)

    def zone(self, name: str) -> None:
        if name not in self._zones:
            self._zones.add(name)
            self.retained.set(self.zone_config_topic(name), _json(self.zone_config(name)))

    def fix(self, position: Position, now: float) -> None:
        tag = position.fix.tag
        known = self.tags.get(tag)
        if known is None:
            known = self.tags[tag] = _Tag()
            topics = self.tag_topics(tag)
            for kind, config in self.tag_configs(tag).items():
                self.retained.set(topics[kind], _json(config))
        known.position = position
        known.attributes_pending = True
        self._dirty.add(tag)
        if now >= known.attributes_due:
            self._attributes(tag, known, now)

    def zone_changed(self, tag: int) -> None:
        if tag in self.tags:
            self._dirty.add(tag)

    def refresh(self, now: float) -> None:
        """Publishes the states that changed and the attributes due."""
        for tag in sorted(self._dirty):
            known = self.tags.get(tag)
            if known is None:
                continue
            state = self._state(tag, known.position)
            if state != known.state:
                known.state = state
                self.retained.set(self.tag_topics(tag)["state"], state)
        self._dirty.clear()
        for tag, known in self.tags.items():
            if known.attributes_pending and now >= known.attributes_due:
                self._attributes(tag, known, now)

    def remove(self, tag: int) -> None:
        """A tag gone silent: its entities go, configs first."""
        if self.tags.pop(tag, None) is None:
            return
        topics = self.tag_topics(tag)
        for kind in ("tracker", "accuracy", "state", "attributes"):
            self.retained.set(topics[kind], "")

    def _state(self, tag: int, position: Optional[Position]) -> str:
        zone = self.occupancy.zone_of(tag)
        if zone is not None:
            return zone
        if position is None or self.site is None:
            return HOME
        return HOME if self.site.distance_outside(position.x, position.y) <= HOME_MARGIN \
            else NOT_HOME

    def _attributes(self, tag: int, known: _Tag, now: float) -> None:
        if known.position is None:
            return
        self.retained.set(self.tag_topics(tag)["attributes"],
                          _json(self.attributes(known.position)))
        known.attributes_pending = False
        known.attributes_due = now + ATTRIBUTES_INTERVAL


def _json(value: object) -> str:
    return json.dumps(value, separators=(",", ":"))
