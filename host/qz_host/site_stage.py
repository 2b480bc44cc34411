"""The site's stage of a pipeline: each fix moved into the site frame (with
latitude and longitude when the site has them) and run through the zones.

It is built once the anchors are known, surveyed or given, and called per
fix in the order the tracker made them, offline and live alike; a live
loop also calls ``advance`` on its ticks, with the time of the data, so
that silent tags time out of their zones when no fixes come at all.
"""

from __future__ import annotations

from typing import Dict, List, Mapping, Optional, Sequence, Tuple

from .site import Site
from .site_frame import SiteFrame
from .zones import ZoneEvent, ZoneTracker


class SiteStage:
    """Site coordinates and zone events of fixes."""

    def __init__(self, frame: SiteFrame, zones: ZoneTracker, site: Optional[Site] = None):
        self.frame = frame
        self.zones = zones
        self.site = site

    @classmethod
    def for_site(cls, site: Site, anchors: Mapping[int, Sequence[float]], *, surveyed: bool,
                 tag_timeout: Optional[float] = None) -> "SiteStage":
        """The stage for tracking `anchors` (address to x, y, ...);
        FrameError when the site frame cannot be fitted to them."""
        return cls(site.site_frame(anchors, surveyed), site.zone_tracker(tag_timeout), site)

    def fix(self, tag: int, time: float, x: float, y: float,
            z: float = 0.0) -> Tuple[Dict[str, float], List[ZoneEvent]]:
        """The fix's site position ("x", "y" and maybe "lat", "lon") and
        the zone events it causes, timeouts of other tags first."""
        placed = self.frame.place(x, y)
        return placed, self.zones.update(tag, time, placed["x"], placed["y"], z)

    def advance(self, time: float) -> List[ZoneEvent]:
        return self.zones.advance(time)

    def anchors(self, anchors: Mapping[int, Sequence[float]]) -> Dict[int, Dict[str, float]]:
        """The anchors' site positions, as fixes have theirs."""
        return {a: self.frame.place(p[0], p[1]) for a, p in anchors.items()}

    def occupancy(self) -> Dict[str, List[str]]:
        """The tags (as four hexadecimal digits) inside each zone."""
        return {name: [f"{tag:04X}" for tag in tags]
                for name, tags in self.zones.occupancy().items()}

    def header(self) -> dict:
        """What outputs and recordings state once: the frame, and the zones
        and floor plan a map draws."""
        out = self.frame.describe()
        out["zones"] = [{"name": z.name, "polygon": [list(p) for p in z.polygon],
                         "color": z.color} for z in self.zones.zones]
        if self.site is not None and self.site.floor_plan is not None:
            out["floor_plan"] = self.site.floor_plan.as_json()
        return out
