"""A capture played into a MapState at its recorded pace, as if live.

The caller surveys the anchors from the whole capture first
(``replay.survey_capture``, or a replay), as an installation is surveyed
before it tracks. Then every line waits until the playback clock reaches
its receive time and goes through the pipeline that replay and live use;
the counters grow as the frames arrive.
"""

from __future__ import annotations

import itertools
import math
import threading
import time
from typing import Any, Callable, Dict, Iterable, Mapping, Optional

from .. import devices
from ..live_counters import LiveCounters
from ..pipeline import Pipeline, site_named_anchors, surveyed_anchors
from ..site import Site
from .feed import MapFeed
from .state import MapState


class PlaybackClock:
    """Capture time running at `speed` times real time from start()."""

    def __init__(self, origin: float = 0.0, speed: float = 1.0,
                 monotonic: Callable[[], float] = time.monotonic):
        if not speed > 0:
            raise ValueError(f"speed must be positive, got {speed!r}")
        self.origin = origin
        self.speed = speed
        self._monotonic = monotonic
        self._started = monotonic()

    def start(self, origin: float) -> None:
        self.origin = origin
        self._started = self._monotonic()

    def __call__(self) -> float:
        return self.origin + (self._monotonic() - self._started) * self.speed

    def delay(self, when: float) -> float:
        """Real seconds until the clock reads `when` (0 when past)."""
        return max(0.0, (when - self()) / self.speed)


def counters(counts: LiveCounters) -> Dict[str, object]:
    """What the map shows of a playback's counters."""
    return {
        "frames": counts.read,
        "decoded": counts.decoded,
        "heartbeats": counts.heartbeats,
        "skipped": sum(counts.skipped.values()),
        "skipped_by_reason": dict(sorted(counts.skipped.items())),
        "fixes": sum(t.fixes for t in counts.tags.values()),
        "no_fix": sum(t.no_fix for t in counts.tags.values()),
    }


def play(lines: Iterable[str], surveyed: Any, state: MapState, clock: PlaybackClock,
         stop: Optional[threading.Event] = None, *, site: Optional[Site] = None,
         tags: Optional[Mapping[int, devices.Tag]] = None,
         tag_height: Optional[float] = None) -> LiveCounters:
    """Plays `lines` into `state` until the end or until `stop` is set, and
    then says the feed ended. `surveyed` is what surveyed them: a
    ``replay.Surveyed`` or a replay; `site`, `tags` and `tag_height` are
    what is known of the site, as for a replay."""
    stop = stop if stop is not None else threading.Event()
    survey = surveyed.survey
    anchors = surveyed_anchors(survey)
    if site is not None and not survey.known:
        anchors = site_named_anchors(anchors, site)
    live = LiveCounters()
    pipeline = Pipeline([MapFeed(state, lambda: counters(live))], counters=live,
                        anchors=anchors, dist_unit=surveyed.dist_unit,
                        checksum_name=surveyed.checksum if surveyed.check_fcs else "",
                        sigma=surveyed.sigma or None,
                        noise_source=getattr(surveyed, "noise_source", "given"),
                        tags=tags, tag_height=tag_height, site=site, clock=clock)
    rest = iter(lines)
    head = []
    first = None
    for line in rest:  # up to the first frame line, whose time starts the clock
        head.append(line)
        first = _line_time(line)
        if first is not None:
            break
    clock.start(first if first is not None else 0.0)
    for line in itertools.chain(head, rest):
        when = _line_time(line)
        if when is not None and stop.wait(clock.delay(when)):
            break
        pipeline.feed_line(line)
        state.set_counters(counters(live))
    else:
        pipeline.tick()
        state.end_feed()
    return live


def _line_time(line: str) -> Optional[float]:
    """The receive time of a frame line, None for anything else."""
    parts = line.split(None, 2)
    if len(parts) != 2 or parts[0].startswith("#"):
        return None
    try:
        time = float(parts[0])
    except ValueError:
        return None
    return time if math.isfinite(time) else None
