"""What the map shows: the site (anchors, zones, a floor plan, names), the
latest fix and trail of every tag, zone occupancy and events, anchor
health, and the pipeline's counters.

The pipeline writes into a MapState from its own thread and the web server
reads it from another, so every method takes one lock, holds it only to
copy a few fields, and never waits on anything else: a slow browser can
never hold up the pipeline through this object.

Fix times and the clock share one time base, seconds: wall-clock time for a
live installation ("wall"), capture time for a replay ("capture", a clock
that runs at the replay's pace). A tag whose last fix is older than
`stale_after` seconds on that clock is stale; one older than `tag_timeout`
is removed.

Every change increments `version`, and each item remembers the version of
its last change, so `changes(since)` can say what changed after a version a
reader already has: the server sends browsers those differences, and the
whole state only to a reader that has none or is too far behind.
"""

from __future__ import annotations

import math
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from typing import (Any, Callable, Deque, Dict, Iterable, List, Mapping, Optional, Sequence,
                    Tuple)

from .floor_plan import FloorPlan

DEFAULT_TRAIL = 50
DEFAULT_STALE_AFTER = 5.0
# Fixes per second are counted over this many seconds of the clock.
RATE_WINDOW = 5.0
# At most this many fix times are kept for the rate, whatever the window.
RATE_SAMPLES = 100_000
# Zone events kept for the map's list (and sent to a reader that connects).
EVENTS_KEPT = 100
# Removed tags remembered, so that a reader behind by fewer removals learns
# of them from changes(); one further behind gets the whole state.
REMOVALS_KEPT = 4096
CLOCK_KINDS = ("capture", "wall")
DEFAULT_FEED_END = "replay ended"
# Digits kept on the wire (messages to browsers): a tenth of a millimetre,
# a millisecond; the pipeline's own values stay exact in snapshot().
POSITION_DIGITS = 4
TIME_DIGITS = 3
QUALITY_DIGITS = 4

Counter = Any  # int, float, str, or a flat dict of those


def _finite(value: Any, what: str) -> float:
    if isinstance(value, bool):
        raise ValueError(f"{what} must be a number, got {value!r}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{what} must be finite, got {number!r}")
    return number


def _address(value: Any, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 0xFFFF:
        raise ValueError(f"{what} addresses must be ints 0 to 0xFFFF, got {value!r}")
    return value


def _tag_address(value: Any) -> int:
    """A tag as an int address or as its label, one to four hex digits."""
    if isinstance(value, str):
        text = value.strip()
        if 1 <= len(text) <= 4 and all(c in "0123456789abcdefABCDEF" for c in text):
            return int(text, 16)
        raise ValueError(f"tag labels are one to four hex digits, got {value!r}")
    return _address(value, "tag")


def _label(address: int) -> str:
    return f"{address:04X}"


def _number_or_none(value: Any) -> Optional[float]:
    """JSON has no infinity or NaN: an unknown quality is null."""
    number = float(value)
    return number if math.isfinite(number) else None


def _name(value: Any, what: str) -> str:
    if not isinstance(value, str) or not value.strip():
        raise ValueError(f"{what} must be a non-empty str, got {value!r}")
    if len(value) > 200:
        raise ValueError(f"{what} must be at most 200 characters, got {len(value)}")
    return value


def _counter(key: Any, value: Any, nested: bool = True) -> Counter:
    if not isinstance(key, str):
        raise TypeError(f"counter names must be str, got {type(key).__name__}")
    if isinstance(value, bool) or not isinstance(value, (int, float, str, dict)):
        raise TypeError(f"counter {key!r} must be a number, a str or a dict, "
                        f"got {type(value).__name__}")
    if isinstance(value, float) and not math.isfinite(value):
        raise ValueError(f"counter {key!r} must be finite, got {value!r}")
    if isinstance(value, dict):
        if not nested:
            raise TypeError(f"counter {key!r} nests dicts too deep")
        return {k: _counter(k, v, nested=False) for k, v in value.items()}
    return value


def _field(item: Any, name: str) -> Any:
    """`name` of a mapping or an object alike (a parsed site's zone, a JSON
    lines event)."""
    if isinstance(item, Mapping):
        if name not in item:
            raise ValueError(f"missing {name!r}")
        return item[name]
    try:
        return getattr(item, name)
    except AttributeError:
        raise ValueError(f"missing {name!r}") from None


def _rounded(value: Optional[float], digits: Optional[int]) -> Optional[float]:
    return value if value is None or digits is None else round(value, digits)


@dataclass
class _Tag:
    colour: int
    created: int  # versions of its first fix and of its latest
    changed: int
    time: float = 0.0
    x: float = 0.0
    y: float = 0.0
    sd: Optional[float] = None
    dop: Optional[float] = None
    used: Tuple[int, ...] = ()
    fixes: int = 0
    rejected: int = 0
    # (x, y, version of the fix): a reader gets only the points it lacks.
    trail: Deque[Tuple[float, float, int]] = field(default_factory=deque)


@dataclass
class _Anchor:
    x: float
    y: float
    heard: Optional[float] = None
    ranges_used: int = 0


@dataclass
class _Zone:
    polygon: List[List[float]]
    occupants: List[str] = field(default_factory=list)
    entries: int = 0
    exits: int = 0


class MapState:
    """Thread-safe state of the map; every value it hands out is JSON-able.

    `clock` gives the time fixes are stamped in; `clock_kind` says which
    ("wall" for time of day, "capture" for seconds into a capture) and by
    default is "wall" with the default clock (time.time) and "capture" with
    any other. `tag_timeout` (seconds on that clock, None for never) removes
    a tag that has had no fix for that long. `monotonic` times the feed's
    silence for the data watchdog, in real seconds whatever the clock.
    """

    def __init__(self, *, trail: int = DEFAULT_TRAIL, stale_after: float = DEFAULT_STALE_AFTER,
                 clock: Callable[[], float] = time.time, clock_kind: Optional[str] = None,
                 tag_timeout: Optional[float] = None,
                 monotonic: Callable[[], float] = time.monotonic):
        if isinstance(trail, bool) or not isinstance(trail, int) or trail < 1:
            raise ValueError(f"trail must be a positive int, got {trail!r}")
        if not _finite(stale_after, "stale_after") > 0:
            raise ValueError(f"stale_after must be positive, got {stale_after!r}")
        if clock_kind is None:
            clock_kind = "wall" if clock is time.time else "capture"
        if clock_kind not in CLOCK_KINDS:
            raise ValueError(f"clock_kind must be one of {', '.join(CLOCK_KINDS)}, "
                             f"got {clock_kind!r}")
        if tag_timeout is not None and not _finite(tag_timeout, "tag_timeout") > 0:
            raise ValueError(f"tag_timeout must be positive or None, got {tag_timeout!r}")
        self.trail = trail
        self.stale_after = float(stale_after)
        self.tag_timeout = None if tag_timeout is None else float(tag_timeout)
        self.clock = clock
        self.clock_kind = clock_kind
        self._monotonic = monotonic
        self._lock = threading.Lock()
        self._version = 0
        self._anchors: Dict[int, _Anchor] = {}
        self._anchor_order: List[int] = []  # a fix's `used` indexes this
        self._anchor_names: Dict[int, str] = {}
        self._tags: Dict[int, _Tag] = {}
        self._colours: Dict[int, int] = {}
        self._tag_names: Dict[int, str] = {}
        self._removed: Deque[Tuple[int, str]] = deque()
        self._removals_forgotten = 0  # version of the newest removal forgotten
        self._counters: Dict[str, Counter] = {}
        self._counter_labels: Dict[str, str] = {}
        self._zones: Dict[str, _Zone] = {}
        self._events: Deque[Tuple[int, Dict[str, Any]]] = deque(maxlen=EVENTS_KEPT)
        self._floor_plan: Optional[FloorPlan] = None
        self._ended: Optional[str] = None
        self._ended_at: Optional[float] = None
        self._data_at: Optional[float] = None
        self._fix_times: Deque[float] = deque(maxlen=RATE_SAMPLES)
        self._fixes = 0
        self._fixes_since_anchors = 0
        self._invalid_fixes = 0
        self._invalid_events = 0
        # Version of the last change of each part that changes() sends whole.
        self._changed = {"anchors": 0, "health": 0, "tag_names": 0, "counters": 0,
                         "floor_plan": 0, "zones": 0, "feed": 0}

    @property
    def version(self) -> int:
        """Grows by one with every change; readers compare it to skip work."""
        return self._version

    # -- what the pipeline calls ------------------------------------------

    def set_anchors(self, anchors: Mapping[int, Sequence[float]]) -> None:
        """Replaces the anchors: {address: (x, y)} in metres, in the
        tracker's order (a fix's `used` holds indices into this order).
        Their health (last heard, ranges used) starts afresh."""
        checked = {}
        for address, position in anchors.items():
            x, y = position
            checked[_address(address, "anchor")] = _Anchor(_finite(x, "anchor x"),
                                                           _finite(y, "anchor y"))
        with self._lock:
            self._anchors = checked
            self._anchor_order = list(checked)
            self._fixes_since_anchors = 0
            self._bump("anchors", "health")

    def set_anchor_names(self, names: Mapping[int, str]) -> None:
        """Replaces the anchors' names: {address: name}, from the site."""
        checked = {_address(a, "anchor"): _name(n, "an anchor's name") for a, n in names.items()}
        with self._lock:
            self._anchor_names = checked
            self._bump("anchors")

    def set_tag_names(self, names: Mapping[Any, str]) -> None:
        """Replaces the tags' names: {address or label: name}, from the site.
        A tag without a name is shown by its label (four hex digits)."""
        checked = {_tag_address(a): _name(n, "a tag's name") for a, n in names.items()}
        with self._lock:
            self._tag_names = checked
            self._bump("tag_names")

    def set_zones(self, zones: Iterable[Any]) -> None:
        """Replaces the zones: each a mapping or an object with `name` and
        `polygon` ([[x, y], ...] in site metres, three corners or more).
        Occupancy starts afresh; the events listed so far stay."""
        checked: Dict[str, _Zone] = {}
        for number, zone in enumerate(zones, 1):
            name = f"number {number}"
            try:
                name = _name(_field(zone, "name"), "a zone's name")
                corners = [[_finite(x, "a zone corner"), _finite(y, "a zone corner")]
                           for x, y in _field(zone, "polygon")]
            except (TypeError, ValueError) as error:
                raise ValueError(f"zone {name!r}: {error}") from None
            if len(corners) < 3:
                raise ValueError(f"zone {name!r}: a polygon needs three corners or more, "
                                 f"got {len(corners)}")
            if name in checked:
                raise ValueError(f"zone {name!r} given twice")
            checked[name] = _Zone(corners)
        with self._lock:
            self._zones = checked
            self._bump("zones")

    def set_floor_plan(self, plan: Optional[FloorPlan]) -> None:
        """The image drawn under the map (see FloorPlan.read), or None."""
        if plan is not None and not isinstance(plan, FloorPlan):
            raise TypeError(f"expected a FloorPlan or None, got {type(plan).__name__}")
        with self._lock:
            self._floor_plan = plan
            self._bump("floor_plan")

    def floor_plan(self) -> Optional[FloorPlan]:
        """The floor plan the server serves, or None."""
        with self._lock:
            return self._floor_plan

    def add_fix(self, fix: Any) -> None:
        """Records one fix (a TrackFix: time, tag, x, y, sd, dop, used,
        rejected). A fix whose time or position is not a finite number is
        counted under ``invalid_fixes`` and otherwise ignored, so one bad
        value never stops the pipeline."""
        try:
            tag = _address(fix.tag, "tag")
            when, x, y = (_finite(v, "fix") for v in (fix.time, fix.x, fix.y))
            sd, dop = _number_or_none(fix.sd), _number_or_none(fix.dop)
            used = tuple(int(i) for i in fix.used)
            rejected = int(fix.rejected)
        except (TypeError, ValueError, AttributeError, OverflowError):
            with self._lock:
                self._invalid_fixes += 1
                self._data_at = self._monotonic()
                self._version += 1
            return
        with self._lock:
            self._version += 1
            record = self._tags.get(tag)
            if record is None:
                colour = self._colours.setdefault(tag, len(self._colours))
                record = self._tags[tag] = _Tag(colour, self._version, self._version,
                                                trail=deque(maxlen=self.trail))
            record.time, record.x, record.y = when, x, y
            record.sd, record.dop, record.used = sd, dop, used
            record.fixes += 1
            record.rejected += rejected
            record.trail.append((x, y, self._version))
            record.changed = self._version
            for index in used:
                if 0 <= index < len(self._anchor_order):
                    anchor = self._anchors[self._anchor_order[index]]
                    anchor.ranges_used += 1
                    anchor.heard = when if anchor.heard is None else max(anchor.heard, when)
            if used:
                self._changed["health"] = self._version
            self._fix_times.append(when)
            self._fixes += 1
            self._fixes_since_anchors += 1
            self._data_at = self._monotonic()
            if self._ended is not None:  # the feed has started again
                self._ended = self._ended_at = None
                self._changed["feed"] = self._version

    def anchor_heard(self, address: int, when: float) -> None:
        """The pipeline heard from the anchor `address` (a frame of its own,
        or a range to it) at `when` on the clock. Fixes that use an anchor's
        range count as hearing it too."""
        address = _address(address, "anchor")
        when = _finite(when, "anchor_heard time")
        with self._lock:
            anchor = self._anchors.get(address)
            self._data_at = self._monotonic()
            if anchor is None or (anchor.heard is not None and anchor.heard >= when):
                return
            anchor.heard = when
            self._bump("health")

    def remove_tag(self, address: int) -> bool:
        """Removes a tag now (the pipeline's own timeout); False when it was
        not there."""
        address = _address(address, "tag")
        with self._lock:
            if address not in self._tags:
                return False
            self._version += 1
            self._forget(address)
            return True

    def add_zone_event(self, event: Any) -> None:
        """Records a zone event: a mapping or an object with `event`
        ("enter" or "exit"), `zone` (a name set_zones gave), `tag` (an
        address or its label), `time`, and optionally `x` and `y`, as in
        {"event": "enter", "zone": "bay", "tag": "1001", "time": 12.3,
        "x": 1.0, "y": 2.0}. The zone's occupants, entries and exits follow.
        An event that is not one of these is counted under
        ``invalid_events`` and otherwise ignored."""
        try:
            kind = _field(event, "event")
            if kind not in ("enter", "exit"):
                raise ValueError(f"unknown event {kind!r}")
            zone = _field(event, "zone")
            label = _label(_tag_address(_field(event, "tag")))
            when = _finite(_field(event, "time"), "event time")
            position = [_optional(event, "x"), _optional(event, "y")]
        except (TypeError, ValueError, OverflowError):
            with self._lock:
                self._invalid_events += 1
                self._version += 1
            return
        with self._lock:
            record = self._zones.get(zone) if isinstance(zone, str) else None
            self._version += 1
            self._data_at = self._monotonic()
            if record is None:
                self._invalid_events += 1
                return
            if kind == "enter":
                record.entries += 1
                if label not in record.occupants:
                    record.occupants.append(label)
            else:
                record.exits += 1
                if label in record.occupants:
                    record.occupants.remove(label)
            self._events.append((self._version, {
                "event": kind, "zone": zone, "tag": label, "time": when,
                "x": position[0], "y": position[1]}))
            self._changed["zones"] = self._version

    def set_counters(self, counters: Mapping[str, Counter],
                     labels: Optional[Mapping[str, str]] = None) -> None:
        """Replaces the pipeline's counters: names to numbers or strings, or
        to one level of such dicts (skips by reason, fixes by tag). `labels`
        names them for people ({"too_few": "too few ranges"}; a nested entry
        as "name.key"); others are shown by their names. New values count
        as data for the watchdog; the same values again do not."""
        checked = {key: _counter(key, value) for key, value in counters.items()}
        checked_labels = None
        if labels is not None:
            checked_labels = {_name(k, "a counter name"): _name(v, "a counter label")
                              for k, v in labels.items()}
        with self._lock:
            if checked != self._counters:
                self._data_at = self._monotonic()
            self._counters = checked
            if checked_labels is not None:
                self._counter_labels = checked_labels
            self._bump("counters")

    def end_feed(self, text: str = DEFAULT_FEED_END) -> None:
        """The feed has ended (a replay reached its end): the map says
        `text` instead of counting the silence. On a capture clock the time
        stops there too, so the tags stay as they were last seen. A fix
        that arrives later starts the feed again."""
        text = _name(text, "the feed's end text")
        now = self.clock()
        with self._lock:
            self._ended = text
            self._ended_at = now
            self._bump("feed")

    # -- what the server reads --------------------------------------------

    def snapshot(self) -> Dict[str, Any]:
        """The whole state as plain JSON-able data, values exact."""
        return self._whole(_EXACT)

    def wire_snapshot(self) -> Dict[str, Any]:
        """snapshot() with positions, times and qualities rounded for the
        wire (POSITION_DIGITS and the others)."""
        return self._whole(_WIRE)

    def changes(self, since: int) -> Optional[Dict[str, Any]]:
        """What changed after version `since`, values rounded for the wire:
        the tags that changed (with only the trail points added since) and
        those removed, and every other part that changed, whole. None when
        `since` is too old to say (the reader needs the whole state)."""
        now = self._now()
        with self._lock:
            self._expire(now)
            if since < self._removals_forgotten or since > self._version:
                return None
            fresh_since = now - self.stale_after
            tags = [_tag_entry(a, r, fresh_since, self._tag_names.get(a), since, _WIRE)
                    for a, r in sorted(self._tags.items()) if r.changed > since]
            delta: Dict[str, Any] = {
                "from": since, "version": self._version,
                "removed": [label for version, label in self._removed if version > since],
                "tags": tags}
            delta.update(self._scalars(now, _WIRE))
            parts = [name for name, version in self._changed.items() if version > since]
            delta.update(self._parts(parts, since, _WIRE))
        return delta

    # -- inside the lock --------------------------------------------------

    def _bump(self, *parts: str) -> None:
        self._version += 1
        for part in parts:
            self._changed[part] = self._version

    def _now(self) -> float:
        ended_at = self._ended_at
        if ended_at is not None and self.clock_kind == "capture":
            return ended_at
        return self.clock()

    def _forget(self, address: int) -> None:
        del self._tags[address]
        self._removed.append((self._version, _label(address)))
        while len(self._removed) > REMOVALS_KEPT:
            self._removals_forgotten = self._removed.popleft()[0]

    def _expire(self, now: float) -> None:
        if self.tag_timeout is None:
            return
        expired = [a for a, r in self._tags.items() if r.time < now - self.tag_timeout]
        if expired:
            self._version += 1
            for address in expired:
                self._forget(address)

    def _whole(self, digits: "_Digits") -> Dict[str, Any]:
        now = self._now()
        with self._lock:
            self._expire(now)
            fresh_since = now - self.stale_after
            state: Dict[str, Any] = {"version": self._version}
            state.update(self._scalars(now, digits))
            state["stale_after"] = self.stale_after
            state["tag_timeout"] = self.tag_timeout
            state["clock"] = self.clock_kind
            state["trail"] = self.trail
            state["tags"] = [_tag_entry(a, r, fresh_since, self._tag_names.get(a), None, digits)
                             for a, r in sorted(self._tags.items())]
            state.update(self._parts(list(self._changed), None, digits))
        return state

    def _scalars(self, now: float, digits: "_Digits") -> Dict[str, Any]:
        while self._fix_times and self._fix_times[0] < now - RATE_WINDOW:
            self._fix_times.popleft()
        recent = sum(1 for t in self._fix_times if t <= now)
        data_age = None if self._data_at is None else self._monotonic() - self._data_at
        return {
            "time": _rounded(now, digits.time),
            "data_age": _rounded(data_age, digits.time),
            "fixes": self._fixes,
            "fixes_per_second": recent / RATE_WINDOW,
            "invalid_fixes": self._invalid_fixes,
            "invalid_events": self._invalid_events,
        }

    def _parts(self, parts: Sequence[str], since: Optional[int],
               digits: "_Digits") -> Dict[str, Any]:
        out: Dict[str, Any] = {}
        whole = since is None
        for part in parts:
            if part == "anchors" or part == "health" and whole:
                out["anchors"] = [self._anchor_entry(a, digits) for a in sorted(self._anchors)]
            elif part == "health" and "anchors" not in parts:
                # Health alone changes with every fix: sent without the places.
                out["anchor_health"] = {
                    _label(a): self._health(a, digits) for a in sorted(self._anchors)}
            elif part == "tag_names":
                out["tag_names"] = {_label(a): n for a, n in sorted(self._tag_names.items())}
            elif part == "counters":
                out["counters"] = dict(self._counters)
                out["counter_labels"] = dict(self._counter_labels)
            elif part == "floor_plan":
                plan = self._floor_plan
                out["floor_plan"] = None if plan is None else plan.placement(self._changed[part])
            elif part == "zones":
                out["zones"] = [{"name": name, "polygon": [list(p) for p in z.polygon],
                                 "occupants": list(z.occupants), "entries": z.entries,
                                 "exits": z.exits} for name, z in self._zones.items()]
                out["events"] = [_event_entry(e, digits) for version, e in self._events
                                 if since is None or version > since]
            elif part == "feed":
                out["feed"] = {"ended": self._ended is not None, "text": self._ended}
        return out

    def _health(self, address: int, digits: "_Digits") -> Dict[str, Any]:
        anchor = self._anchors[address]
        share = (anchor.ranges_used / self._fixes_since_anchors
                 if self._fixes_since_anchors else None)
        return {"heard": _rounded(anchor.heard, digits.time),
                "ranges_used": anchor.ranges_used,
                "used_share": _rounded(share, digits.quality)}

    def _anchor_entry(self, address: int, digits: "_Digits") -> Dict[str, Any]:
        anchor = self._anchors[address]
        entry = {"address": address, "label": _label(address),
                 "name": self._anchor_names.get(address), "x": anchor.x, "y": anchor.y}
        entry.update(self._health(address, digits))
        return entry


@dataclass(frozen=True)
class _Digits:
    """Decimal digits kept of each kind of value; None keeps it exact."""
    position: Optional[int] = None
    time: Optional[int] = None
    quality: Optional[int] = None


_EXACT = _Digits()
_WIRE = _Digits(POSITION_DIGITS, TIME_DIGITS, QUALITY_DIGITS)


def _optional(item: Any, name: str) -> Optional[float]:
    try:
        value = _field(item, name)
    except ValueError:
        return None
    return None if value is None else _finite(value, f"event {name}")


def _event_entry(event: Dict[str, Any], digits: "_Digits") -> Dict[str, Any]:
    return {**event, "time": _rounded(event["time"], digits.time),
            "x": _rounded(event["x"], digits.position),
            "y": _rounded(event["y"], digits.position)}


def _tag_entry(address: int, record: _Tag, fresh_since: float, name: Optional[str],
               since: Optional[int], digits: "_Digits") -> Dict[str, Any]:
    """A tag whole (since None) or as a change: then without what a reader
    at `since` has (its colour, the trail it has), with the new points as
    `trail_add`."""
    position = digits.position
    quality = digits.quality
    entry: Dict[str, Any] = {"label": _label(address)}
    if since is None or record.created > since:
        # New to the reader: what a change would not repeat.
        entry["address"] = address
        entry["colour"] = record.colour
    entry.update({
        "time": _rounded(record.time, digits.time),
        "x": _rounded(record.x, position),
        "y": _rounded(record.y, position),
        "sd": _rounded(record.sd, quality),
        "dop": _rounded(record.dop, quality),
        "used": list(record.used),
        "fixes": record.fixes,
        "rejected": record.rejected,
    })
    if since is None:
        entry["name"] = name
        entry["stale"] = record.time < fresh_since
        entry["trail"] = [[_rounded(x, position), _rounded(y, position)]
                          for x, y, _ in record.trail]
    else:
        added = []
        for x, y, version in reversed(record.trail):
            if version <= since:
                break
            added.append([_rounded(x, position), _rounded(y, position)])
        entry["trail_add"] = added[::-1]
    return entry
