"""The map of a live session (``live --web``): the map that ``view`` serves,
fed by the live pipeline, with the site's names, zones and floor plan.

Frames from a port or the network carry the time of day they came, and the
map's clock is the time of day. Capture lines on standard input carry the
times they were recorded at, which may be hours or years old: there the
map's clock follows the data (the newest frame's time, plus the real time
since it came), so tags still go stale and time out when the lines stop.
"""

from __future__ import annotations

import threading
import time
from typing import Callable, Optional, Sequence, Tuple

from ..live_counters import LiveCounters
from ..pipeline import Anchors, Position, Sink
from ..zones import ZoneEvent
from .base import CommandError
from .site_inputs import SiteInputs
from .web_options import serve_map


class DataClock:
    """The newest data time seen, running on in real time since it came.
    The pipeline's thread moves it, the server's thread reads it."""

    def __init__(self, monotonic: Callable[[], float] = time.monotonic):
        self._monotonic = monotonic
        self._lock = threading.Lock()
        self._newest: Optional[Tuple[float, float]] = None  # data time, when it came

    def saw(self, when: float) -> None:
        with self._lock:
            newest = self._newest
            if newest is None or when > newest[0]:
                self._newest = (when, self._monotonic())

    def __call__(self) -> float:
        with self._lock:
            newest = self._newest
        if newest is None:
            return 0.0
        return newest[0] + (self._monotonic() - newest[1])


class LiveMap(Sink):
    """Serves the map on `bind` (host, port) from start to close; `logs`
    what it has to say. CommandError, in one line, when the web extra is
    missing, the floor plan cannot be drawn or the address cannot be
    served."""

    def __init__(self, bind: Tuple[str, int], allow_hosts: Sequence[str], site: SiteInputs,
                 counters: LiveCounters, log: Callable[[str], None], *,
                 recorded_times: bool, tag_timeout: float):
        try:
            from ..web.feed import MapFeed, show_site
            from ..web.server import require_websockets
            from ..web.state import MapState
            require_websockets()
        except ImportError as error:
            raise CommandError(f"--web needs the web map ({error}): "
                               "pip install 'qz-rtls[web]'") from None
        self.clock: Optional[DataClock] = DataClock() if recorded_times else None
        if self.clock is not None:
            self.state = MapState(clock=self.clock, clock_kind="capture",
                                  tag_timeout=tag_timeout)
        else:
            self.state = MapState(clock=time.time, clock_kind="wall", tag_timeout=tag_timeout)
        try:
            notes = show_site(self.state, site.site, site.tags, site.anchors)
        except (OSError, ValueError) as error:
            raise CommandError(f"the floor plan: {error}") from None
        for note in notes:
            log(note)
        self.feed = MapFeed(self.state, counters.as_dict)
        self.server = serve_map(self.state, bind, allow_hosts, log, "--web: ")
        log(f"serving the map on {self.server.url}")

    def frame(self, time: float, frame: bytes) -> None:
        if self.clock is not None:
            self.clock.saw(time)

    def anchors(self, anchors: Anchors) -> None:
        self.feed.anchors(anchors)

    def fix(self, position: Position) -> None:
        self.feed.fix(position)

    def event(self, event: ZoneEvent) -> None:
        self.feed.event(event)

    def tick(self) -> None:
        self.feed.tick()

    def close(self) -> None:
        self.feed.tick()
        self.server.stop()
