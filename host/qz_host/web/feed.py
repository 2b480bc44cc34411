"""The pipeline's sink that feeds the map: anchors, fixes and counters into
a ``MapState``, from the pipeline's own thread."""

from __future__ import annotations

from typing import Callable, Dict

from ..pipeline import Anchors, Sink
from ..track_stage import Position
from .state import MapState


class MapFeed(Sink):
    """Feeds `state`; `counters` gives the counters to show at every tick."""

    def __init__(self, state: MapState, counters: Callable[[], Dict[str, object]]):
        self.state = state
        self.counters = counters

    def anchors(self, anchors: Anchors) -> None:
        self.state.set_anchors({a: (x, y) for a, (x, y, _) in anchors.items()})

    def fix(self, position: Position) -> None:
        self.state.add_fix(position.fix)

    def tick(self) -> None:
        self.state.set_counters(self.counters())
