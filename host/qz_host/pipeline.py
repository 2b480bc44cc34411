"""The live host's middle: frames in, fixes out to the sinks.

The stages are those of a replay: frames are checked and decoded as
``replay.decode`` does it, anchor messages feed the survey (unless the
anchors are known), tag messages are tracked in arrival order, one track
per tag. The pipeline never blocks: the sources' reader threads and the
sinks' own network loops do the waiting.

Until the anchors are surveyed, tag messages wait in a buffer of at most
``buffer_limit`` messages (the oldest go first, counted) and are tracked
as soon as the survey is done. The self-survey runs when every pair of the
anchors heard so far has at least ``survey_samples`` samples, or else when
``survey_timeout`` seconds have passed, with the pairs it has; when those
do not make a survey it says which pairs are missing and tries again after
another timeout.
"""

from __future__ import annotations

import itertools
import math
import sys
import time as _time
from collections import deque
from dataclasses import dataclass
from typing import Callable, Deque, Dict, List, Optional, Sequence, Tuple

from . import capture, frames, framing, replay
from .live_counters import LiveCounters
from .tracking import TrackFix, Tracker, range_noise
from .survey import DistanceTable, SurveyError, survey

Anchors = Dict[int, Tuple[float, float, float]]
DEFAULT_DIST_UNIT = replay.DEFAULT_DIST_UNIT


def _log_stderr(text: str) -> None:
    print(f"qz-host live: {text}", file=sys.stderr, flush=True)


@dataclass(frozen=True)
class Position:
    """One fix as the outputs give it: ``ranges`` are the distances (m) of
    the anchors used, by address."""

    fix: TrackFix
    z: float
    ranges: Dict[int, float]

    def as_json(self) -> dict:
        f = self.fix
        return {"tag": f"{f.tag:04X}", "time": f.time, "x": f.x, "y": f.y, "z": self.z,
                "sd": _finite(f.sd), "dop": _finite(f.dop),
                # A raw count times the unit: six decimals say it exactly.
                "ranges": {f"{a:04X}": round(d, 6) for a, d in self.ranges.items()},
                "rejected": f.rejected}


def _finite(value: float) -> Optional[float]:
    return value if math.isfinite(value) else None


class Sink:
    """An output; every method is optional."""

    def anchors(self, anchors: Anchors) -> None:
        pass

    def frame(self, time: float, frame: bytes) -> None:
        pass

    def fix(self, position: Position) -> None:
        pass

    def tick(self) -> None:
        pass

    def close(self) -> None:
        pass


class SelfSurvey:
    """Collects inter-anchor distances (m) until the anchors can be surveyed."""

    def __init__(self, samples: int, timeout: float, now: float,
                 log: Callable[[str], None]):
        self.samples = samples
        self.timeout = timeout
        self.next_try = now + timeout
        self.log = log
        self.anchors: set = set()
        self.pairs: Dict[Tuple[int, int], List[float]] = {}

    def add(self, src: int, distances: Sequence[Tuple[int, float]]) -> None:
        self.anchors.add(src)
        for peer, distance in distances:
            if peer != src:
                self.pairs.setdefault((min(src, peer), max(src, peer)), []).append(distance)

    def short_pairs(self) -> List[Tuple[int, int]]:
        """Anchor pairs with fewer samples than asked for."""
        return [pair for pair in itertools.combinations(sorted(self.anchors), 2)
                if len(self.pairs.get(pair, ())) < self.samples]

    def pair_samples(self) -> List[List[float]]:
        """The distance samples of each pair of anchors."""
        return [values for (a, b), values in self.pairs.items()
                if a in self.anchors and b in self.anchors]

    def attempt(self, now: float) -> Optional[Anchors]:
        """The surveyed anchors, or None while collecting."""
        if len(self.anchors) < 3 or self.short_pairs():
            if now < self.next_try:
                return None
            self.next_try = now + self.timeout
        table = DistanceTable()
        table.addresses.update(self.anchors)
        for (a, b), values in self.pairs.items():
            if a in self.anchors and b in self.anchors:
                for value in values:
                    table.add(a, b, value)
        try:
            result = survey(table)
        except SurveyError as error:
            pairs = itertools.combinations(sorted(self.anchors), 2)
            missing = [f"{a:04X}-{b:04X}" for a, b in pairs if (a, b) not in self.pairs]
            self.log(f"survey failed ({error}); pairs never measured: "
                     f"{', '.join(missing) or 'none'}; retrying in {self.timeout:g} s")
            return None
        return {a: (x, y, 0.0) for a, (x, y) in zip(result.addresses, result.positions)}


class LivePipeline:
    """Frames, byte chunks or capture lines in; fixes to every sink.

    `anchors` known skip the survey. `dist_unit` and `checksum_name` None
    take what capture lines declare, else centimetres and no checksum."""

    TICK = 0.25  # seconds between the periodic checks

    def __init__(self, sinks: Sequence[Sink], *, counters: Optional[LiveCounters] = None,
                 anchors: Optional[Anchors] = None, dist_unit: Optional[float] = None,
                 checksum_name: Optional[str] = None, survey_samples: int = 10,
                 survey_timeout: float = 30.0, buffer_limit: int = 10000,
                 tag_timeout: float = 10.0, sigma: Optional[float] = None,
                 clock: Callable[[], float] = _time.monotonic,
                 log: Callable[[str], None] = _log_stderr,
                 on_anchors: Optional[Callable[[Anchors], None]] = None):
        self.sinks = list(sinks)
        self.counters = counters if counters is not None else LiveCounters()
        self.clock = clock
        self.log = log
        self.on_anchors = on_anchors
        self._unit_given = dist_unit is not None
        self.dist_unit = dist_unit if dist_unit is not None else DEFAULT_DIST_UNIT
        self._checksum_given = checksum_name is not None
        self.checksum_name = checksum_name or ""
        self.checksum = frames.checksum(checksum_name) if checksum_name else None
        self.tag_timeout = tag_timeout
        self.sigma = sigma
        self._lines_framed = False
        self._buffer: Deque[replay.Message] = deque(maxlen=buffer_limit)
        self._heard: Dict[int, float] = {}
        now = clock()
        self._next_tick = now + self.TICK
        self.survey = None if anchors else SelfSurvey(survey_samples, survey_timeout, now, log)
        self.anchors: Optional[Anchors] = None
        self._tracker: Optional[Tracker] = None
        self._framers: Dict[object, framing.StreamFramer] = {}
        if anchors:
            self._start_tracking(dict(anchors), [])

    def framer(self, stream: object) -> framing.StreamFramer:
        framer = self._framers.get(stream)
        if framer is None:
            framer = self._framers[stream] = framing.StreamFramer(self.checksum,
                                                                  skipped=self.counters.skipped)
        return framer

    def feed_bytes(self, stream: object, time: float, data: bytes) -> None:
        """A chunk of the byte stream `stream`; frames get the time `time`."""
        framer = self.framer(stream)
        before = framer.skipped_bytes
        found = framer.feed(data)
        self.counters.bytes_read += len(data)
        self.counters.bytes_skipped += framer.skipped_bytes - before
        for frame in found:
            self.feed_frame(time, frame)

    def restart_stream(self, stream: object) -> None:
        """The stream was reopened: what it held back is lost."""
        framer = self._framers.get(stream)
        if framer is not None:
            self.counters.bytes_skipped += framer.discard()

    def feed_line(self, text: str) -> None:
        """A capture line: a frame with its time, a comment or metadata."""
        try:
            item = capture.parse_line(text)
        except capture.LineError as error:
            self.counters.skipped[error.reason] += 1
            return
        if item is not None:
            self._lines_framed = True
            self.feed_frame(item.time, item.frame)
        elif not self._lines_framed:
            self._metadata(capture.parse_metadata(text))

    def _metadata(self, item: Optional[Tuple[str, str]]) -> None:
        if item is None:
            return
        key, value = item
        if key == "dist_unit_m" and not self._unit_given:
            try:
                unit = float(value)
            except ValueError:
                unit = math.nan
            if not unit > 0:
                raise ValueError(f"the capture's dist_unit_m {value!r} is not a positive number")
            self.dist_unit = unit
        elif key == "fcs" and not self._checksum_given:
            self.checksum = frames.checksum(value)
            self.checksum_name = value

    def feed_frame(self, time: float, frame: bytes) -> None:
        c = self.counters
        for sink in self.sinks:
            sink.frame(time, frame)
        try:
            src, is_anchor, reports = replay.decode(
                frame, check_fcs=self.checksum is not None,
                checksum=self.checksum or frames.fcs)
        except framing.Skip as skip:
            if skip.reason == "heartbeat":
                c.heartbeats += 1
            else:
                c.skipped[skip.reason] += 1
            return
        c.decoded += 1
        message = replay.Message(time, src, is_anchor, reports)
        if is_anchor:
            c.anchor_messages += 1
            if self.survey is not None:
                unit = self.dist_unit
                self.survey.add(src, [(peer, raw * unit) for peer, raw in reports])
        else:
            c.tag_messages += 1
            self._heard[src] = self.clock()
            if self._tracker is not None:
                self._track(message)
            else:
                if len(self._buffer) == self._buffer.maxlen:
                    c.dropped["survey buffer"] += 1
                self._buffer.append(message)
        if self._next_tick <= self.clock():
            self.tick()

    def tick(self) -> None:
        """The periodic checks: the survey's timeout, silent tags, sinks."""
        now = self.clock()
        self._next_tick = now + self.TICK
        if self.survey is not None:
            anchors = self.survey.attempt(now)
            if anchors is not None:
                samples = self.survey.pair_samples()
                self.survey = None
                self._start_tracking(anchors, samples)
        silent = [tag for tag, heard in self._heard.items() if now - heard > self.tag_timeout]
        for tag in silent:
            del self._heard[tag]
        self.counters.tags_timed_out += len(silent)
        self.counters.tags_live = len(self._heard)
        for sink in self.sinks:
            sink.tick()

    def close(self) -> None:
        for sink in self.sinks:
            sink.close()

    def _start_tracking(self, anchors: Anchors, samples: Sequence[Sequence[float]]) -> None:
        """Tracks from now on; the ranging noise the tracker assumes is, unless
        given, that of the survey's repeated `samples` (as the replay takes it),
        never below the rounding to the distance unit."""
        self.anchors = anchors
        self._addresses = sorted(anchors)
        self._index = {address: i for i, address in enumerate(self._addresses)}
        if self.sigma is None:
            self.sigma = max(range_noise(samples), self.dist_unit / math.sqrt(12.0))
        self._tracker = Tracker([anchors[a][:2] for a in self._addresses], sigma=self.sigma)
        self.counters.rejected = self._tracker.rejected
        if self.on_anchors is not None:
            self.on_anchors(anchors)
        for sink in self.sinks:
            sink.anchors(anchors)
        while self._buffer:
            self._track(self._buffer.popleft())

    def _track(self, message: replay.Message) -> None:
        c = self.counters
        tracker: Tracker = self._tracker  # type: ignore[assignment]
        distances, unknown = replay.message_distances(message.reports, self._index,
                                                      self.dist_unit)
        c.unknown_peers += unknown
        try:
            fix = tracker.update(message.src, message.time, distances)
        except ValueError:  # older than the tag's last message
            c.late[message.src] += 1
            return
        if fix is None:
            c.too_few[message.src] += 1
            return
        c.fixes[message.src] += 1
        position = Position(fix, 0.0, {self._addresses[i]: distances[i] for i in fix.used})
        for sink in self.sinks:
            sink.fix(position)
