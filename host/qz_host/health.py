"""Whether a live session is doing its job, and if not, why: what the
``/health`` endpoint answers (200 with "ok", 503 with the reasons).

A session is healthy while frames arrive (one within `timeout` seconds,
counted from the start until the first), the anchors are surveyed or
known, the broker, when there is one, is connected, and no output has
failed. The verdict is a plain function of what the session's sinks and
counters hold, so a test gives it the facts directly.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Sequence

CONNECTED = "connected"  # the broker state that is not a fault


@dataclass(frozen=True)
class Facts:
    now: float                  # the clock the frame time was read on
    last_frame: float           # the last frame's arrival, or the start
    frames: int                 # frames received so far
    timeout: float              # seconds without a frame that are a fault
    surveyed: bool              # the anchors are surveyed or known
    broker_state: Optional[str]  # None: no broker, or its state is not known
    output_faults: Sequence[str] = ()


def reasons(facts: Facts) -> List[str]:
    """What is wrong, in a few words each; empty when healthy."""
    found = []
    silence = facts.now - facts.last_frame
    if silence > facts.timeout:
        found.append(f"no frames for {silence:.1f} s" if facts.frames
                     else f"no frame received in {silence:.1f} s")
    if not facts.surveyed:
        found.append("survey not done")
    if facts.broker_state is not None and facts.broker_state != CONNECTED:
        found.append(f"broker {facts.broker_state}")
    found.extend(facts.output_faults)
    return found
