"""The host's middle, one for replay, view and live: frames in, fixes out.

    frames, byte chunks or capture lines
      -> framer (``framing.StreamFramer``, for byte streams)
      -> message stage (``messages.MessageStage``: checked, decoded, counted)
      -> anchor messages: the survey's distance table (``survey.DistanceTable``)
      -> tag messages: their send times, duplicates dropped (``device_time``)
      -> the tracking stage (``track_stage.TrackStage``)
      -> sinks (JSON lines, CSV, a recording, MQTT, the map)

A replay surveys the anchors from the whole capture first and then feeds
its lines through a pipeline that knows them; live surveys them from the
stream (``SelfSurvey``) unless they are known. The pipeline never blocks:
the sources' reader threads and the sinks' own network loops do the
waiting.

Until the anchors are surveyed, tag messages wait in a buffer of at most
``buffer_limit`` messages (the oldest go first, counted) and are tracked as
soon as the survey is done. The self-survey runs when every pair of the
anchors heard so far has at least ``survey_samples`` samples, or else when
``survey_timeout`` seconds have passed, with the pairs it has; when those
do not make a survey it says which pairs are missing and tries again after
another timeout.

Everything is counted in one ``LiveCounters``: frames by outcome here, the
tags' counts in the tracking stage, the queues' drops where they happen.
"""

from __future__ import annotations

import itertools
import math
import time as _time
from collections import deque
from dataclasses import replace
from typing import Callable, Deque, Dict, List, Mapping, Optional, Sequence, Tuple

from . import capture, devices, frames, framing, logs, messages
from .device_time import DeviceClocks
from .live_counters import LiveCounters
from .survey import DistanceTable, Survey, SurveyError, survey
from .site import Site
from .site_stage import SiteStage
from .track_stage import MEASURED, Position, TrackStage, ranging_noise
from .zones import ZoneEvent

Anchors = Dict[int, Tuple[float, float, float]]
DEFAULT_DIST_UNIT = messages.DEFAULT_DIST_UNIT

__all__ = ["Anchors", "Pipeline", "Position", "SelfSurvey", "Sink"]


_log_stderr = logs.line_log()


class Sink:
    """An output; every method is optional."""

    def anchors(self, anchors: Anchors) -> None:
        pass

    def site(self, stage: SiteStage) -> None:
        """The site's frame and zones, fitted to the anchors: just before
        `anchors`, when there is a site."""

    def frame(self, time: float, frame: bytes) -> None:
        pass

    def fix(self, position: Position) -> None:
        pass

    def event(self, event: ZoneEvent) -> None:
        """A tag entering or leaving a zone of the site."""

    def tick(self) -> None:
        pass

    def close(self) -> None:
        pass


class SelfSurvey:
    """Collects the anchors' distances (m) into a distance table until
    they can be surveyed."""

    def __init__(self, samples: int, timeout: float, now: float,
                 log: Callable[[str], None]):
        self.samples = samples
        self.timeout = timeout
        self.next_try = now + timeout
        self.log = log
        self.table = DistanceTable()

    @property
    def anchors(self) -> set:
        return self.table.addresses

    def short_pairs(self) -> List[Tuple[int, int]]:
        """Anchor pairs with fewer samples than asked for."""
        return [pair for pair in itertools.combinations(sorted(self.anchors), 2)
                if len(self.table.samples.get(pair, ())) < self.samples]

    def attempt(self, now: float) -> Optional[Survey]:
        """The survey, or None while collecting."""
        if len(self.anchors) < 3 or self.short_pairs():
            if now < self.next_try:
                return None
            self.next_try = now + self.timeout
        try:
            return survey(self.table)
        except SurveyError as error:
            pairs = itertools.combinations(sorted(self.anchors), 2)
            missing = [f"{a:04X}-{b:04X}" for a, b in pairs if (a, b) not in self.table.samples]
            self.log(f"survey failed ({error}); pairs never measured: "
                     f"{', '.join(missing) or 'none'}; retrying in {self.timeout:g} s")
            return None


class Pipeline:
    """Frames, byte chunks or capture lines in; fixes to every sink.

    `anchors` known (address to a devices.Anchor, or to x, y, z) skip the
    survey. `dist_unit` and `checksum_name` None take what capture lines
    declare, else centimetres and no checksum ("" is no checksum). `sigma`
    is the ranging noise, from `noise_source` ("given" unless said); None
    measures it from the anchors' repeated ranges, or where there are too
    few, has the tracker estimate it from the tags' ranges. `tags` (address
    to devices.Tag) and `tag_height` (None: the anchors' plane) are what is
    known of the tags. A `site` puts the outputs in its frame and runs its
    zones (``site_stage``). With `smoothing` the tracking
    stage keeps what ``smoothed()`` needs; `tracker_options` go to the
    Tracker."""

    TICK = 0.25  # seconds between the periodic checks

    def __init__(self, sinks: Sequence[Sink], *, counters: Optional[LiveCounters] = None,
                 anchors: Optional[Mapping[int, object]] = None,
                 dist_unit: Optional[float] = None, checksum_name: Optional[str] = None,
                 survey_samples: int = 10, survey_timeout: float = 30.0,
                 buffer_limit: int = 10000, tag_timeout: float = 10.0,
                 sigma: Optional[float] = None, noise_source: str = "given",
                 tags: Optional[Mapping[int, devices.Tag]] = None,
                 tag_height: Optional[float] = None,
                 smoothing: bool = False, site: Optional[Site] = None,
                 tracker_options: Optional[Mapping[str, object]] = None,
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
        self.messages = messages.MessageStage(
            self.counters, frames.checksum(checksum_name) if checksum_name else None)
        self.tag_timeout = tag_timeout
        self._sigma = sigma
        self._noise_source = noise_source
        self.tags = dict(tags or {})
        self.tag_height = tag_height
        self.smoothing = smoothing
        self.site = site
        self.site_stage: Optional[SiteStage] = None
        self._data_time = -math.inf  # the latest message's time, the zones' clock
        self.tracker_options = dict(tracker_options or {})
        self.device_clocks = DeviceClocks(self.counters.tags)
        self._lines_framed = False
        # tag messages with their (time, track time)
        self._buffer: Deque[Tuple[messages.Message, Tuple[float, float]]] = \
            deque(maxlen=buffer_limit)
        self._heard: Dict[int, float] = {}
        now = clock()
        self._next_tick = now + self.TICK
        self.survey = None if anchors else SelfSurvey(survey_samples, survey_timeout, now, log)
        self.anchors: Optional[Anchors] = None
        self.tracking: Optional[TrackStage] = None
        self._framers: Dict[object, framing.StreamFramer] = {}
        if anchors:
            self._start_tracking({a: devices.as_anchor(p) for a, p in anchors.items()}, None,
                                 surveyed=False)

    @property
    def checksum(self) -> Optional[framing.Checksum]:
        return self.messages.checksum

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
        if not self._lines_framed:
            item = capture.parse_metadata(text)
            if item is not None:
                self._metadata(item)
        line = self.messages.frame_line(text)
        if line is not None:
            self._lines_framed = True
            self.feed_frame(line.time, line.frame)

    def _metadata(self, item: Tuple[str, str]) -> None:
        key, value = item
        if key == "dist_unit_m" and not self._unit_given:
            self.dist_unit = capture.dist_unit(value)
            if self.tracking is not None:
                self.tracking.dist_unit = self.dist_unit
        elif key == "fcs" and not self._checksum_given:
            self.messages.checksum = frames.checksum(value)
            self.checksum_name = value

    def feed_frame(self, time: float, frame: bytes) -> None:
        for sink in self.sinks:
            sink.frame(time, frame)
        message = self.messages.frame(time, frame)
        if message is not None:
            self.feed_message(message)
        if self._next_tick <= self.clock():
            self.tick()

    def feed_message(self, message: messages.Message) -> None:
        c = self.counters
        now = self.clock()
        heard = c.anchor_heard
        if message.is_anchor:
            c.anchor_messages += 1
            heard[message.src] = now
            if self.survey is not None:
                unit = self.dist_unit
                self.survey.table.add_message(message.src,
                                              [(peer, raw * unit) for peer, raw in message.reports])
            return
        c.tag_messages += 1
        placed = self.device_clocks.place(message.src, message.time, message.sequence,
                                          message.transmitted)
        if placed is None:  # a duplicate
            return
        self._heard[message.src] = now
        ranges = c.anchor_ranges
        for peer, _ in message.reports:
            ranges[peer] = ranges.get(peer, 0) + 1
            heard[peer] = now
        if placed[0] > self._data_time:
            self._data_time = placed[0]
        if self.tracking is not None:
            self._track(message, placed)
        else:
            if len(self._buffer) == self._buffer.maxlen:
                c.dropped["survey buffer"] += 1
            self._buffer.append((message, placed))

    def tick(self) -> None:
        """The periodic checks: the survey's timeout, silent tags, sinks."""
        now = self.clock()
        self._next_tick = now + self.TICK
        if self.survey is not None:
            surveyed = self.survey.attempt(now)
            if surveyed is not None:
                table = self.survey.table
                self.survey = None
                anchors = surveyed_anchors(surveyed)
                if self.site is not None:
                    anchors = site_named_anchors(anchors, self.site)
                self._start_tracking(anchors, table, surveyed=True)
        if self.site_stage is not None and self._data_time > -math.inf:
            self._events(self.site_stage.advance(self._data_time))
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

    def smoothed(self):
        """Every fix so far, smoothed over its tag's whole track (smoothing on)."""
        if self.tracking is None:
            return iter(())
        return self.tracking.smoothed()

    @property
    def sigma(self) -> Optional[float]:
        """The ranging noise in use (m), None until known."""
        return self.tracking.sigma if self.tracking is not None else self._sigma

    @property
    def noise_source(self) -> str:
        return self.tracking.noise_source if self.tracking is not None else self._noise_source

    def _start_tracking(self, anchors: Mapping[int, devices.Anchor],
                        table: Optional[DistanceTable], *, surveyed: bool) -> None:
        """Tracks from now on; the ranging noise the tracker assumes is, unless
        given, that of the survey's repeated ranges (the tracker's own
        estimate where they are too few). A site's frame is fitted to the
        anchors (ValueError when it cannot be)."""
        self.anchors = {a: spec.position for a, spec in anchors.items()}
        outputs = self.anchors
        if self.site is not None:
            self.site_stage = SiteStage.for_site(self.site, self.anchors, surveyed=surveyed,
                                                 tag_timeout=self.tag_timeout)
            for warning in self.site_stage.frame.warnings():
                self.log(warning)
            outputs = {a: (p["x"], p["y"], self.anchors[a][2])
                       for a, p in self.site_stage.anchors(self.anchors).items()}
        self.output_anchors = outputs
        sigma, source = self._sigma, self._noise_source
        if sigma is None and table is not None:
            sigma, source = ranging_noise(table, self.dist_unit), MEASURED
        self.tracking = TrackStage(anchors, dist_unit=self.dist_unit, sigma=sigma,
                                   noise_source=source, tags=self.tags,
                                   tag_height=self.tag_height, smoothing=self.smoothing,
                                   counts=self.counters.tags, **self.tracker_options)
        if self.on_anchors is not None:
            self.on_anchors(self.anchors)
        for sink in self.sinks:
            if self.site_stage is not None:
                sink.site(self.site_stage)
            sink.anchors(self.output_anchors)
        while self._buffer:
            self._track(*self._buffer.popleft())

    def _track(self, message: messages.Message, placed: Tuple[float, float]) -> None:
        tracking = self.tracking
        if tracking is None:  # only called once tracking has started
            return
        before = tracking.unknown_peers
        position = tracking.track(message, *placed)
        self.counters.unknown_peers += tracking.unknown_peers - before
        if position is None:
            return
        events: Sequence[ZoneEvent] = ()
        if self.site_stage is not None:
            fix = position.fix
            position.site, events = self.site_stage.fix(fix.tag, fix.time, fix.x, fix.y,
                                                        position.z)
            position.frame = self.site_stage.frame.name
        for sink in self.sinks:
            sink.fix(position)
        self._events(events)

    def _events(self, events) -> None:
        for event in events:
            self.counters.zone_events += 1
            for sink in self.sinks:
                sink.event(event)


def site_named_anchors(
    anchors: Mapping[int, devices.Anchor], site: Site
) -> Dict[int, devices.Anchor]:
    """Surveyed anchors named by the site, with the offsets it gives."""
    named = site.surveyed_anchors({a: spec.position for a, spec in anchors.items()})
    return {a: replace(named[a], offset=named[a].offset if named[a].offset is not None
                       else spec.offset) for a, spec in anchors.items()}


def surveyed_anchors(surveyed: Survey) -> Dict[int, devices.Anchor]:
    """A survey's anchors, with the offsets it solved and the heights known."""
    offsets: List[Optional[float]] = (list(surveyed.offsets) if surveyed.offsets
                                      else [None] * len(surveyed.addresses))
    return {a: devices.Anchor(x, y, z, offset) for a, (x, y), z, offset
            in zip(surveyed.addresses, surveyed.positions, surveyed.heights, offsets)}
