"""What the map shows: anchors, the latest fix and trail of every tag, the
pipeline's counters.

The pipeline writes into a MapState from its own thread and the web server
reads snapshots from another, so every method takes one lock, holds it only
to copy a few fields, and never waits on anything else: a slow browser can
never hold up the pipeline through this object.

Fix times and the clock share one time base, seconds: wall-clock time for a
live installation, capture time for a replay (whose clock runs at the
replay's pace). A tag whose last fix is older than `stale_after` seconds on
that clock is stale.
"""

from __future__ import annotations

import math
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from typing import Any, Callable, Deque, Dict, Mapping, Optional, Sequence, Tuple

DEFAULT_TRAIL = 50
DEFAULT_STALE_AFTER = 5.0
# Fixes per second are counted over this many seconds of the clock.
RATE_WINDOW = 5.0
# At most this many fix times are kept for the rate, whatever the window.
RATE_SAMPLES = 100_000

Counter = Any  # int, float, str, or a flat dict of those


def _finite(value: Any, what: str) -> float:
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{what} must be finite, got {number!r}")
    return number


def _address(value: Any, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 0xFFFF:
        raise ValueError(f"{what} addresses must be ints 0 to 0xFFFF, got {value!r}")
    return value


def _number_or_none(value: Any) -> Optional[float]:
    """JSON has no infinity or NaN: an unknown quality is null."""
    number = float(value)
    return number if math.isfinite(number) else None


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


@dataclass
class _Tag:
    colour: int
    time: float = 0.0
    x: float = 0.0
    y: float = 0.0
    sd: Optional[float] = None
    dop: Optional[float] = None
    used: Tuple[int, ...] = ()
    fixes: int = 0
    rejected: int = 0
    trail: Deque[Tuple[float, float]] = field(default_factory=deque)


class MapState:
    """Thread-safe state of the map; every value it hands out is JSON-able."""

    def __init__(self, *, trail: int = DEFAULT_TRAIL, stale_after: float = DEFAULT_STALE_AFTER,
                 clock: Callable[[], float] = time.time):
        if isinstance(trail, bool) or not isinstance(trail, int) or trail < 1:
            raise ValueError(f"trail must be a positive int, got {trail!r}")
        if not _finite(stale_after, "stale_after") > 0:
            raise ValueError(f"stale_after must be positive, got {stale_after!r}")
        self.trail = trail
        self.stale_after = float(stale_after)
        self.clock = clock
        self._lock = threading.Lock()
        self._version = 0
        self._anchors: Dict[int, Tuple[float, float]] = {}
        self._tags: Dict[int, _Tag] = {}
        self._counters: Dict[str, Counter] = {}
        self._fix_times: Deque[float] = deque(maxlen=RATE_SAMPLES)
        self._fixes = 0
        self._invalid_fixes = 0

    @property
    def version(self) -> int:
        """Grows by one with every change; readers compare it to skip work."""
        return self._version

    def set_anchors(self, anchors: Mapping[int, Sequence[float]]) -> None:
        """Replaces the anchors: {address: (x, y)} in metres."""
        checked = {}
        for address, position in anchors.items():
            x, y = position
            checked[_address(address, "anchor")] = (_finite(x, "anchor x"), _finite(y, "anchor y"))
        with self._lock:
            self._anchors = checked
            self._version += 1

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
                self._version += 1
            return
        with self._lock:
            record = self._tags.get(tag)
            if record is None:
                record = self._tags[tag] = _Tag(len(self._tags), trail=deque(maxlen=self.trail))
            record.time, record.x, record.y = when, x, y
            record.sd, record.dop, record.used = sd, dop, used
            record.fixes += 1
            record.rejected += rejected
            record.trail.append((x, y))
            self._fix_times.append(when)
            self._fixes += 1
            self._version += 1

    def set_counters(self, counters: Mapping[str, Counter]) -> None:
        """Replaces the pipeline's counters: names to numbers or strings, or
        to one level of such dicts (skips by reason, for example)."""
        checked = {key: _counter(key, value) for key, value in counters.items()}
        with self._lock:
            self._counters = checked
            self._version += 1

    def snapshot(self) -> Dict[str, Any]:
        """The whole state as plain JSON-able data."""
        now = self.clock()
        with self._lock:
            anchors = sorted(self._anchors.items())
            tags = [_tag_entry(address, record, now - self.stale_after)
                    for address, record in sorted(self._tags.items())]
            counters = dict(self._counters)
            while self._fix_times and self._fix_times[0] < now - RATE_WINDOW:
                self._fix_times.popleft()
            recent = sum(1 for t in self._fix_times if t <= now)
            fixes, invalid, version = self._fixes, self._invalid_fixes, self._version
        return {
            "version": version,
            "time": now,
            "stale_after": self.stale_after,
            "anchors": [{"address": address, "label": f"{address:04X}", "x": x, "y": y}
                        for address, (x, y) in anchors],
            "tags": tags,
            "fixes": fixes,
            "fixes_per_second": recent / RATE_WINDOW,
            "invalid_fixes": invalid,
            "counters": counters,
        }


def _tag_entry(address: int, record: _Tag, fresh_since: float) -> Dict[str, Any]:
    return {
        "address": address,
        "label": f"{address:04X}",
        "colour": record.colour,
        "time": record.time,
        "x": record.x,
        "y": record.y,
        "sd": record.sd,
        "dop": record.dop,
        "used": list(record.used),
        "fixes": record.fixes,
        "rejected": record.rejected,
        "stale": record.time < fresh_since,
        "trail": [[x, y] for x, y in record.trail],
    }
