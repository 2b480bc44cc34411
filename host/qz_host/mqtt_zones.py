"""Zone topics: who is in which zone, kept from the zone events.

    PREFIX/tag/ADDR/zone   each event, the JSON lines' object:
                           {"event": "enter", "zone": "bay", "tag": "1001",
                            "time": 12.3, "x": 1.0, "y": 2.0}
    PREFIX/zone/NAME       retained occupancy: {"zone": "bay", "tags": ["1001"]}
"""

from __future__ import annotations

import json
from typing import Dict, Iterable, List, Optional

from .zones import ZoneEvent


def event_topic(prefix: str, tag: int) -> str:
    return f"{prefix}/tag/{tag:04X}/zone"


def zone_topic(prefix: str, zone: str) -> str:
    return f"{prefix}/zone/{zone}"


class Occupancy:
    """The tags inside each zone, in the site's order of zones (then in the
    order their first event came)."""

    def __init__(self, zones: Iterable[str] = ()):
        self.inside: Dict[str, List[int]] = {name: [] for name in zones}

    def apply(self, event: ZoneEvent) -> bool:
        """Takes an event in; whether the zone's occupancy changed."""
        tags = self.inside.setdefault(event.zone, [])
        if event.event == "enter" and event.tag not in tags:
            tags.append(event.tag)
            tags.sort()
            return True
        if event.event == "exit" and event.tag in tags:
            tags.remove(event.tag)
            return True
        return False

    def payload(self, zone: str) -> str:
        return json.dumps({"zone": zone, "tags": [f"{t:04X}" for t in self.inside.get(zone, [])]},
                          separators=(",", ":"))

    def zone_of(self, tag: int) -> Optional[str]:
        """The first zone the tag is in, None for none."""
        for name, tags in self.inside.items():
            if tag in tags:
                return name
        return None
