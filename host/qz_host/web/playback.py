"""A capture played into a MapState at its recorded pace, as if live.

The caller surveys the anchors from the whole capture first (a replay),
as an installation is surveyed before it tracks. Then every frame
line waits until the playback clock reaches its receive time, goes through
the replay's decoder and, for a tag message, the tracker; the counters grow
as the frames arrive.
"""

from __future__ import annotations

import threading
import time
from typing import Callable, Dict, Optional, Sequence

from .. import capture, frames
from ..replay import FrameCounts, Replay, message_distances, read_messages
from ..tracking import Tracker
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


def counters(counts: FrameCounts, fixes: int, no_fix: int) -> Dict[str, object]:
    return {
        "frames": counts.read,
        "decoded": counts.decoded,
        "heartbeats": counts.heartbeats,
        "skipped": sum(counts.skipped.values()),
        "skipped_by_reason": dict(sorted(counts.skipped.items())),
        "fixes": fixes,
        "no_fix": no_fix,
    }


def play(lines: Sequence[str], surveyed: Replay, state: MapState, clock: PlaybackClock,
         stop: Optional[threading.Event] = None) -> FrameCounts:
    """Plays `lines` into `state` until the end or until `stop` is set."""
    assert surveyed.survey is not None
    stop = stop if stop is not None else threading.Event()
    addresses = surveyed.survey.addresses
    index = {address: i for i, address in enumerate(addresses)}
    state.set_anchors(dict(zip(addresses, surveyed.survey.positions)))
    tracker = Tracker(surveyed.survey.positions, sigma=surveyed.sigma)
    checksum = frames.checksum(surveyed.checksum) if surveyed.check_fcs else frames.fcs
    counts = FrameCounts()
    fixes = no_fix = 0
    clock.start(next((t for t in map(_line_time, lines) if t is not None), 0.0))
    for line in lines:
        when = _line_time(line)
        if when is not None and stop.wait(clock.delay(when)):
            break
        for message in read_messages([line], counts, check_fcs=surveyed.check_fcs,
                                     checksum=checksum):
            if message.is_anchor:
                continue
            distances, _ = message_distances(message.reports, index, surveyed.dist_unit)
            try:
                fix = tracker.update(message.src, message.time, distances)
            except ValueError:  # older than the tag's previous message
                continue
            if fix is None:
                no_fix += 1
            else:
                fixes += 1
                state.add_fix(fix)
        state.set_counters(counters(counts, fixes, no_fix))
    return counts


def _line_time(line: str) -> Optional[float]:
    try:
        item = capture.parse_line(line)
    except capture.LineError:
        return None
    return None if item is None else item.time
