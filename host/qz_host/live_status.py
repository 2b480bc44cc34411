"""The live host's periodic status line for operators (``--stats S``).

Every S seconds, on the pipeline's tick, one line on stderr:

    qz-host live: 412.0 frames/s, 40.8 fixes/s, 12 tags live, dropped: none; broker connected

the rates and the drops (by queue) since the previous line, the tags live
now, and the broker's state when there is a broker.
"""

from __future__ import annotations

import time
from typing import Callable, Dict

from .live_counters import LiveCounters
from .pipeline import Sink


class StatusLine(Sink):
    """Logs the status line every `every` seconds of `clock`."""

    def __init__(self, counters: LiveCounters, every: float, log: Callable[[str], None],
                 clock: Callable[[], float] = time.monotonic):
        self.counters = counters
        self.every = every
        self.log = log
        self.clock = clock
        self._last = clock()
        self._frames = 0
        self._fixes = 0
        self._drops: Dict[str, int] = {}

    def tick(self) -> None:
        now = self.clock()
        elapsed = now - self._last
        if elapsed < self.every:
            return
        c = self.counters
        frames = c.frames
        fixes = sum(t.fixes for t in list(c.tags.values()))
        drops = c.drops()
        new = {name: n - self._drops.get(name, 0) for name, n in drops.items()}
        dropped = ", ".join(f"{name} {n}" for name, n in new.items() if n) or "none"
        line = (f"{(frames - self._frames) / elapsed:.1f} frames/s, "
                f"{(fixes - self._fixes) / elapsed:.1f} fixes/s, {c.tags_live} tags live, "
                f"dropped: {dropped}")
        if c.mqtt_state:
            line += f"; broker {c.mqtt_state}"
        self.log(line)
        self._last, self._frames, self._fixes, self._drops = now, frames, fixes, drops
