"""The pipeline's sink that feeds the map: anchors, fixes, zone events and
counters into a ``MapState``, from the pipeline's own thread; and what a
site shows on it (names, zones, the floor plan)."""

from __future__ import annotations

from dataclasses import replace
from typing import Callable, Dict, List, Mapping, Optional

from ..pipeline import Anchors, Sink
from .. import devices
from ..site import Site
from ..track_stage import Position
from ..zones import ZoneEvent
from .floor_plan import FloorPlan
from .state import MapState


def show_site(state: MapState, site: Optional[Site], tags: Mapping[int, devices.Tag],
              anchors: Optional[Mapping[int, devices.Anchor]] = None) -> List[str]:
    """Puts the site's names, zones and floor plan on the map; the notes
    to log (a floor plan the map cannot draw). OSError or ValueError for a
    floor plan that cannot be read."""
    notes: List[str] = []
    state.set_tag_names({t: d.name for t, d in tags.items() if d.name})
    names = {a: spec.name for a, spec in (anchors or {}).items() if spec.name}
    if site is not None:
        names = {**site.anchor_names, **names}
        state.set_zones(site.zones)
        plan = site.floor_plan
        if plan is not None:
            corners = plan.corners()
            if plan.rotation % 360:
                notes.append(f"the map draws the floor plan {plan.image} unturned: its "
                             f"rotation of {plan.rotation:g} degrees is left out")
            xs, ys = [x for x, _ in corners], [y for _, y in corners]
            if plan.rotation % 360:
                width, height = max(xs) - min(xs), max(ys) - min(ys)
                left, top = plan.origin
                bounds = (left, top - height, left + width, top)
            else:
                bounds = (min(xs), min(ys), max(xs), max(ys))
            state.set_floor_plan(FloorPlan.read(plan.image, bounds))
    state.set_anchor_names(names)
    return notes


class MapFeed(Sink):
    """Feeds `state`; `counters` gives the counters to show at every tick."""

    def __init__(self, state: MapState, counters: Callable[[], Dict[str, object]]):
        self.state = state
        self.counters = counters

    def anchors(self, anchors: Anchors) -> None:
        self.state.set_anchors({a: (x, y) for a, (x, y, _) in anchors.items()})

    def fix(self, position: Position) -> None:
        fix = position.fix
        if position.site is not None:  # the map is drawn in the site's frame
            fix = replace(fix, x=position.x, y=position.y)
        self.state.add_fix(fix)
        for anchor in position.ranges:
            self.state.anchor_heard(anchor, fix.time)

    def event(self, event: ZoneEvent) -> None:
        self.state.add_zone_event(event)

    def tick(self) -> None:
        self.state.set_counters(self.counters())
