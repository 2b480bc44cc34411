"""Zone events of the fixes against those of the true track.

The zones run twice, with the same settings: on the ground truth and on
the fixes. A measured event matches a true one of the same tag, zone and
kind no more than `window` seconds away (each true event takes at most one
measured event, earliest first). What is left over is sorted thus:

- missed: a true event that no measured event matches;
- flapping: a measured exit and the same tag's re-entry into that zone
  within `flap_window` seconds, both unmatched, so the truth has neither:
  the border chatter that hysteresis is there to stop (one flap per pair);
- false: any other measured event without a true one.

Every measured event is thus matched, half of a flap, or false.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict, Iterable, List, Optional, Sequence, Set, Tuple

from .zones import Zone, ZoneEvent, ZoneTracker

# How far (s) a measured event may lie from the true one it matches: the
# filter's lag and a fix's jitter across the border shift it by a few
# fixes' worth.
DEFAULT_WINDOW = 1.0
# An exit and re-entry this close (s) is border chatter, not a visit.
DEFAULT_FLAP_WINDOW = 5.0


def zone_events(zones: Sequence[Zone], fixes: Iterable[Tuple[float, int, float, float]],
                tag_timeout: Optional[float] = None) -> List[ZoneEvent]:
    """Every event of `fixes` (time, tag, x, y), in their order."""
    tracker = ZoneTracker(zones, tag_timeout)
    events: List[ZoneEvent] = []
    for time, tag, x, y in fixes:
        events.extend(tracker.update(tag, time, x, y))
    return events


@dataclass
class ZoneScore:
    truth: int  # true events
    measured: int  # events of the fixes
    matched: List[Tuple[ZoneEvent, ZoneEvent]] = field(default_factory=list)  # (true, measured)
    missed: List[ZoneEvent] = field(default_factory=list)
    false: List[ZoneEvent] = field(default_factory=list)
    flaps: List[Tuple[ZoneEvent, ZoneEvent]] = field(default_factory=list)  # (exit, re-entry)

    def as_dict(self) -> dict:
        return {"truth": self.truth, "measured": self.measured, "matched": len(self.matched),
                "missed": len(self.missed), "false": len(self.false),
                "flapping": len(self.flaps)}


def score(truth: Sequence[ZoneEvent], measured: Sequence[ZoneEvent], *,
          window: float = DEFAULT_WINDOW,
          flap_window: float = DEFAULT_FLAP_WINDOW) -> ZoneScore:
    """Matches `measured` to `truth` (see the module's description)."""
    result = ZoneScore(len(truth), len(measured))
    by_key: Dict[Tuple[int, str, str], List[ZoneEvent]] = {}
    for event in sorted(measured, key=lambda e: e.time):
        by_key.setdefault((event.tag, event.zone, event.event), []).append(event)
    used: Set[int] = set()
    for true in sorted(truth, key=lambda e: e.time):
        match = None
        for candidate in by_key.get((true.tag, true.zone, true.event), ()):
            if id(candidate) not in used and abs(candidate.time - true.time) <= window:
                match = candidate
                break
        if match is None:
            result.missed.append(true)
        else:
            used.add(id(match))
            result.matched.append((true, match))
    # A (tag, zone) pair's events alternate, so an exit's re-entry is the
    # next event of that pair.
    paired: Set[int] = set()
    for events in _by_tag_and_zone(measured).values():
        for event, following in zip(events, events[1:]):
            if (event.event == "exit" and following.event == "enter"
                    and id(event) not in used and id(following) not in used
                    and following.time - event.time <= flap_window):
                paired.update((id(event), id(following)))
                result.flaps.append((event, following))
    result.false = [e for e in sorted(measured, key=lambda e: e.time)
                    if id(e) not in used and id(e) not in paired]
    return result


def _by_tag_and_zone(events: Sequence[ZoneEvent]) -> Dict[Tuple[int, str], List[ZoneEvent]]:
    """The events of each (tag, zone), in time order."""
    found: Dict[Tuple[int, str], List[ZoneEvent]] = {}
    for event in sorted(events, key=lambda e: e.time):
        found.setdefault((event.tag, event.zone), []).append(event)
    return found
