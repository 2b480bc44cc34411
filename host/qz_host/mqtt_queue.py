"""What waits for the broker, on our side of the client library.

paho numbers the messages it holds with 16-bit ids that wrap after
65,535, so it cannot hold a queue longer than that; and a queue kept inside
it cannot say which message it lost. The host keeps its own:

- ``MessageQueue``: fixes and zone events, in order, at most ``limit``
  (``--mqtt-queue``); when full the oldest is dropped and counted. At most
  ``WINDOW`` of them are handed to paho at a time, and more as the broker
  acknowledges them.
- ``RetainedTopics``: the retained topics (anchors, zones, discovery), of
  which only the latest payload matters: a newer one replaces a payload not
  yet handed over, and every one is handed over again on reconnection, so a
  broker that lost them gets them back.

Only the pipeline's thread calls these, but for ``acknowledged``, which
paho's network thread appends to.
"""

from __future__ import annotations

from collections import deque
from typing import Callable, Deque, Dict, Optional, Tuple

from .live_counters import LiveCounters

WINDOW = 20000        # fixes and events handed to paho at once
MAX_HANDED = 60000    # all messages handed to paho at once, below its 65,535 ids
QUEUE_DROPS = "mqtt queue"

# topic, payload (None: handing failed, try later) -> message id
Publish = Callable[[str, str], Optional[int]]


class MessageQueue:
    """Fixes and events waiting for the broker, and those handed to paho
    and not yet acknowledged."""

    def __init__(self, limit: int, counters: LiveCounters):
        self.counters = counters
        self.waiting: Deque[Tuple[str, str, bool]] = deque(maxlen=limit)
        self.handed: Dict[int, bool] = {}  # message id: a fix (else an event)
        self.acknowledged: Deque[int] = deque()  # appended by paho's thread

    def put(self, topic: str, payload: str, is_fix: bool) -> None:
        if len(self.waiting) == self.waiting.maxlen:
            self.counters.dropped[QUEUE_DROPS] += 1
        self.waiting.append((topic, payload, is_fix))

    def settle(self, others: Optional[set] = None) -> None:
        """Takes in the acknowledgements; those of other messages handed
        (retained ones) are taken out of `others`."""
        acknowledged = self.acknowledged
        while acknowledged:
            mid = acknowledged.popleft()
            is_fix = self.handed.pop(mid, None)
            if is_fix:
                self.counters.published += 1
            elif is_fix is None and others is not None:
                others.discard(mid)

    def hand_over(self, publish: Publish, room: int) -> int:
        """Hands paho what the window and `room` allow; the count handed."""
        handed = 0
        waiting = self.waiting
        while waiting and len(self.handed) < WINDOW and handed < room:
            topic, payload, is_fix = waiting[0]
            mid = publish(topic, payload)
            if mid is None:
                break
            waiting.popleft()
            self.handed[mid] = is_fix
            handed += 1
        return handed

    @property
    def unsettled(self) -> int:
        return len(self.waiting) + len(self.handed)

    def abandon(self) -> Tuple[int, int]:
        """(fixes, events) never acknowledged, forgotten."""
        fixes = sum(1 for _, _, is_fix in self.waiting if is_fix)
        fixes += sum(1 for is_fix in self.handed.values() if is_fix)
        events = self.unsettled - fixes
        self.waiting.clear()
        self.handed.clear()
        return fixes, events


class RetainedTopics:
    """The latest payload of every retained topic, and those still to hand
    over, in the order they were last set. An empty payload deletes the
    topic's retained message on the broker, and the topic with it."""

    def __init__(self) -> None:
        self.current: Dict[str, str] = {}
        self.pending: Dict[str, str] = {}
        self.handed: set = set()  # message ids paho holds

    def set(self, topic: str, payload: str) -> None:
        if payload:
            self.current[topic] = payload
        else:
            self.current.pop(topic, None)
        self.pending.pop(topic, None)  # to the end: it goes after what was set before
        self.pending[topic] = payload

    def all_again(self) -> None:
        """Every retained topic to be handed over again, as first set."""
        self.pending = {**self.current, **{t: p for t, p in self.pending.items() if not p}}

    def hand_over(self, publish: Publish, room: int) -> int:
        handed = 0
        pending = self.pending
        while pending and handed < room:
            topic = next(iter(pending))
            mid = publish(topic, pending[topic])
            if mid is None:
                break
            del pending[topic]
            self.handed.add(mid)
            handed += 1
        return handed
