"""Each tag's own clock mapped onto the host's: when a message was sent.

A ranging message carries its tag's transmit time, a 40-bit count of
device ticks, and its MAC sequence number (one byte). The host's arrival
time says when a frame was read, which for a gateway that forwards its
backlog in one burst is the same for hundreds of frames; the transmit
time still says how far apart they were sent. So every tag message gets
two times here:

- its *track time*, on the tag's own timeline: the tag's first message's
  arrival plus the device time elapsed since (the 40-bit count unwrapped),
  which the tracker's motion model runs on, so a burst tracks as the
  paced stream;
- its *time*, on the host's clock: the device time plus the tag's offset,
  the least arrival minus device time over the last ``OFFSET_WINDOW``
  seconds. The least is the frame that waited least on its way, so
  frames that arrive late in a burst do not move it, no time lies after
  its frame's arrival, and a drifting device clock is followed.

Where the transmit time is absent (0) both are the arrival time. Where it
jumps (backwards by more than ``BACKWARD_LIMIT``, as when a tag restarts,
or ahead of the host's clock by more than ``AHEAD_LIMIT`` in one step),
the tag's mapping starts again from that message's arrival and a clock
reset is counted; a message slightly older than the tag's last (reordered
on the way) keeps its own time, and the tracker counts it late.

A message with the sequence number and transmit time of one of its tag's
last ``RECENT`` messages is a duplicate (a relay that delivered it twice):
dropped and counted. A gap in the sequence numbers (modulo 256) counts the
messages lost on the way; one that turns up later, out of order, is
taken off that count again.
"""

from __future__ import annotations

from collections import deque
from typing import Deque, Dict, Optional, Tuple

from .track_stage import TagCounts

# The transmit time counts nanoseconds on a 40-bit clock (it wraps after
# about 18 minutes), as the devices and the simulator write it.
TICKS_PER_SECOND = 1_000_000_000
TICK_SECONDS = 1 / TICKS_PER_SECOND
WRAP_TICKS = 1 << 40
WRAP_SECONDS = WRAP_TICKS * TICK_SECONDS
SEQUENCE_WRAP = 256
# A transmit time of 0 is one the device did not fill in.
ABSENT = 0

OFFSET_WINDOW = 60.0  # seconds of arrival time the offset's minimum looks back
BACKWARD_LIMIT = 1.0  # s: further back than a reordered frame comes
AHEAD_LIMIT = 30.0  # s: further ahead of the host in one step than a burst's step
RECENT = 32  # messages per tag a duplicate is looked for among

# A sequence step this far back (mod 256) is a late frame, not a new one.
_REORDER_SPAN = RECENT
_HALF_WRAP = WRAP_TICKS // 2


class TagClock:
    """One tag's mapping: its unwrapped device time, the offset onto the
    host's clock, the sequence and the keys of its recent messages."""

    __slots__ = ("counts", "raw", "ticks", "arrival", "epoch_ticks", "epoch_time", "shift",
                 "minima", "track_time", "sequence", "recent")

    def __init__(self, counts: TagCounts) -> None:
        self.counts = counts
        self.raw: Optional[int] = None  # the last transmit time, None: not on device time
        self.ticks = 0  # the last transmit time unwrapped
        self.arrival = 0.0  # the last message's arrival
        self.epoch_ticks = 0  # device ticks where the mapping started
        self.epoch_time = 0.0  # the track time there
        self.shift = 0.0  # on arrival time: track time minus arrival
        # (arrival, arrival minus device time) with increasing offsets: the
        # window's least offset first
        self.minima: Deque[Tuple[float, float]] = deque()
        self.track_time: Optional[float] = None  # the last track time
        self.sequence: Optional[int] = None  # the newest sequence number
        # the recent messages' keys: transmit time and sequence number in one
        self.recent: Deque[int] = deque(maxlen=RECENT)

    def place(self, arrival: float, sequence: int,
              transmitted: int) -> Optional[Tuple[float, float]]:
        """(time on the host's clock, track time) of a message that arrived
        at `arrival` and was sent at device time `transmitted` (ticks);
        None for a duplicate."""
        key = transmitted << 8 | sequence
        recent = self.recent
        if key in recent:
            self.counts.duplicates += 1
            return None
        recent.append(key)
        last = self.sequence
        if last is not None and sequence == (last + 1) % SEQUENCE_WRAP:
            self.sequence = sequence
        else:
            self._count_gap(sequence)
        raw = self.raw
        if transmitted == ABSENT:
            return self._on_arrival(arrival)
        if raw is None:
            return self._start(arrival, transmitted)
        elapsed = arrival - self.arrival
        if elapsed < 0.0:
            elapsed = 0.0
        step = (transmitted - raw) % WRAP_TICKS
        if step >= _HALF_WRAP:
            step -= WRAP_TICKS
        if elapsed >= WRAP_SECONDS / 2:  # silent for a wrap or more: the host counts them
            step += round((elapsed - step * TICK_SECONDS) / WRAP_SECONDS) * WRAP_TICKS
        seconds = step * TICK_SECONDS
        if seconds < -BACKWARD_LIMIT or seconds - elapsed > AHEAD_LIMIT:
            self.counts.clock_resets += 1
            return self._start(arrival, transmitted)
        ticks = self.ticks + step
        if step > 0:  # a reordered frame does not set the tag's latest
            self.raw, self.ticks, self.arrival = transmitted, ticks, arrival
        return self._mapped(arrival, ticks)

    def _start(self, arrival: float, transmitted: int) -> Tuple[float, float]:
        """A new mapping from this message on, its track time never before
        the tag's last."""
        start = arrival if self.track_time is None else max(arrival, self.track_time)
        self.raw = self.ticks = self.epoch_ticks = transmitted
        self.arrival = arrival
        self.epoch_time = start
        self.minima.clear()
        return self._mapped(arrival, transmitted)

    def _mapped(self, arrival: float, ticks: int) -> Tuple[float, float]:
        device = (ticks - self.epoch_ticks) * TICK_SECONDS
        offset = arrival - device
        minima = self.minima
        while minima and minima[-1][1] >= offset:
            minima.pop()
        minima.append((arrival, offset))
        while minima[0][0] < arrival - OFFSET_WINDOW:
            minima.popleft()
        track = self.epoch_time + device
        if self.track_time is None or track > self.track_time:
            self.track_time = track
        time = device + minima[0][1]
        # within a tick the two are one: the fix needs no time of its own
        return (track if -TICK_SECONDS < time - track < TICK_SECONDS else time), track

    def _on_arrival(self, arrival: float) -> Tuple[float, float]:
        if self.raw is not None:  # the device time stopped: back to arrival time
            self.counts.clock_resets += 1
            self.raw = None
            self.minima.clear()
            last = self.track_time if self.track_time is not None else arrival
            self.shift = max(last - arrival, 0.0)
        track = arrival + self.shift
        if self.track_time is None or track > self.track_time:
            self.track_time = track
        return arrival, track

    def _count_gap(self, sequence: int) -> None:
        """Messages lost between the newest and this one, which is not the
        next (or is the first)."""
        counts = self.counts
        if self.sequence is None:
            self.sequence = sequence
            return
        step = (sequence - self.sequence) % SEQUENCE_WRAP
        if step == 0:
            return
        if step >= SEQUENCE_WRAP - _REORDER_SPAN:  # one counted lost has come after all
            if counts.lost:
                counts.lost -= 1
            return
        counts.lost += step - 1
        self.sequence = sequence


class DeviceClocks:
    """Every tag's clock; counts go to `counts` (address to TagCounts, a
    dict shared with the tracking stage)."""

    def __init__(self, counts: Optional[Dict[int, TagCounts]] = None):
        self.clocks: Dict[int, TagClock] = {}
        self.counts: Dict[int, TagCounts] = counts if counts is not None else {}

    def place(self, tag: int, arrival: float, sequence: int,
              transmitted: int) -> Optional[Tuple[float, float]]:
        """(time on the host's clock, track time) of a tag's message, or
        None for a duplicate (counted)."""
        clock = self.clocks.get(tag)
        if clock is None:
            counts = self.counts.get(tag)
            if counts is None:
                counts = self.counts[tag] = TagCounts()
            clock = self.clocks[tag] = TagClock(counts)
        return clock.place(arrival, sequence, transmitted)


def describe(tags: Dict[int, TagCounts]) -> str:
    """What the tags' device times showed, for the summaries; "" when nothing."""
    totals = [sum(getattr(t, name) for t in tags.values())
              for name in ("duplicates", "lost", "clock_resets")]
    if not any(totals):
        return ""
    duplicates, lost, resets = totals
    return f"{duplicates} duplicates dropped, {lost} lost on the way, {resets} clock resets"
