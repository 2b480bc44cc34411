"""A live session's counters as Prometheus metrics, and its health.

``MonitorSink`` rides the pipeline like any output: on its thread it notes
when frames arrive, each tag's last fix and the latency from frame to fix,
and on every tick it copies the tracker's learned range offsets (the
tracker is only ever touched on the pipeline's thread). The scrape, on
the monitoring server's thread, reads those and the session's
``LiveCounters`` (whose fields each have one writer, see there) through a
custom collector, so nothing is counted twice and a scrape never waits on
the pipeline.

Names (all under ``qz_``; units in the names):

    frames_total{outcome}            decoded, heartbeat or skipped
    frames_skipped_total{reason}     skipped frames by why
    received_bytes_total             bytes of the source's streams
    bytes_outside_frames_total       bytes of a stream that belong to no frame
    messages_total{kind}             anchor or tag messages decoded
    fixes_total                      fixes made, every tag
    rejected_ranges_total            ranges the tracker rejected, every tag
    unknown_peer_reports_total       reports naming a device that is no anchor
    dropped_total{queue}             what a full queue dropped
    reconnects_total{connection}     the source's name, or "mqtt"
    published_fixes_total            fixes the broker acknowledged
    tags_live                        tags heard within --tag-timeout
    tags_timed_out_total             tags that fell silent
    broker_connected                 1 connected, 0 not (with --mqtt)
    broker_state{state}              1 for the broker's state (with --mqtt)
    survey_done                      1 once the anchors are surveyed or known
    anchors                          anchors tracked with
    last_frame_age_seconds           since the last frame arrived
    tag_fixes_total{tag}             per tag
    tag_messages_total{tag}          per tag
    tag_last_fix_age_seconds{tag}    per tag
    anchor_ranges_total{anchor}      reports of tag messages naming the anchor
    anchor_last_heard_age_seconds{anchor}
    anchor_range_offset_metres{anchor}, tag_range_offset_metres{tag}
                                     the range offsets in use, learned unless given
    frame_to_fix_latency_seconds     histogram: a frame's arrival to its fix

A frame's arrival is its receive time for byte streams and datagrams (the
source stamps it as it reads); capture lines carry their recorded times,
so for them it is when the pipeline took the line.
"""

from __future__ import annotations

import time
from bisect import bisect_left
from collections import OrderedDict
from typing import Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from . import health
from .live_counters import LiveCounters
from .pipeline import Anchors, Pipeline, Position, Sink

PREFIX = "qz_"
# Seconds; the tracker takes tens of microseconds, a queue behind a burst
# or the survey's wait takes up to seconds.
LATENCY_BUCKETS = (0.0005, 0.001, 0.002, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0,
                   2.5, 5.0, 10.0, 30.0)
ARRIVALS_KEPT = 4096  # capture lines' arrivals remembered until their fix


def require_prometheus():
    try:
        import prometheus_client
        import prometheus_client.core  # noqa: F401 (the metric families)
        import prometheus_client.exposition  # noqa: F401
    except ImportError:
        raise ImportError("--metrics needs prometheus_client: "
                          "pip install 'qz-rtls[metrics]'") from None
    return prometheus_client


class LatencyHistogram:
    """Cumulative-ready bucket counts, written on one thread."""

    def __init__(self, bounds=LATENCY_BUCKETS):
        self.bounds = tuple(bounds)
        self.counts = [0] * (len(self.bounds) + 1)  # the last is +Inf
        self.total = 0.0

    def observe(self, seconds: float) -> None:
        self.counts[bisect_left(self.bounds, seconds)] += 1
        self.total += seconds

    def buckets(self) -> List[Tuple[str, float]]:
        counts = list(self.counts)
        found, running = [], 0
        for bound, count in zip(self.bounds + (float("inf"),), counts):
            running += count
            found.append(("+Inf" if bound == float("inf") else repr(bound), running))
        return found


class MonitorSink(Sink):
    """What the metrics and the health read besides the counters."""

    def __init__(self, counters: LiveCounters, *, receipt_times: bool, health_timeout: float,
                 broker: bool, clock: Callable[[], float] = time.monotonic,
                 wall: Callable[[], float] = time.time):
        """`receipt_times`: frame times are receive times (Unix); else they are
        recorded times and a frame arrives when the pipeline takes it."""
        self.counters = counters
        self.receipt_times = receipt_times
        self.health_timeout = health_timeout
        self.broker = broker
        self.clock = clock
        self.wall = wall
        self.pipeline: Optional[Pipeline] = None
        self.last_frame = clock()  # the start, until the first frame
        self.last_fix: Dict[int, float] = {}
        self.latency = LatencyHistogram()
        self._arrivals: "OrderedDict[float, float]" = OrderedDict()
        self.offsets: Tuple[Dict[int, float], Dict[int, float]] = ({}, {})
        self.outputs: Sequence[object] = ()

    def watch(self, pipeline: Pipeline, outputs: Sequence[object] = ()) -> None:
        """Reads `pipeline`'s state, and each output's `fault` (None or what
        is wrong with it) for the health."""
        self.pipeline = pipeline
        self.outputs = outputs

    def frame(self, time: float, frame: bytes) -> None:
        self.last_frame = self.clock()
        if not self.receipt_times:
            arrivals = self._arrivals
            arrivals[time] = self.wall()
            if len(arrivals) > ARRIVALS_KEPT:
                arrivals.popitem(last=False)

    def fix(self, position: Position) -> None:
        fix = position.fix
        self.last_fix[fix.tag] = self.clock()
        received = position.received
        start = received if self.receipt_times else self._arrivals.get(received)
        if start is not None:
            self.latency.observe(max(0.0, self.wall() - start))

    def anchors(self, anchors: Anchors) -> None:
        self.tick()

    def tick(self) -> None:
        tracking = self.pipeline.tracking if self.pipeline is not None else None
        if tracking is not None:
            self.offsets = ({a: o for a, (o, _) in tracking.anchor_offsets().items()},
                            {t: o for t, (o, _) in tracking.tag_offsets().items()})

    def broker_state(self) -> Optional[str]:
        if not self.broker:
            return None
        # Set by the broker's sink where it keeps its state; empty: not known yet.
        return getattr(self.counters, "mqtt_state", None) or None

    def health_reasons(self) -> List[str]:
        pipeline = self.pipeline
        return health.reasons(health.Facts(
            now=self.clock(), last_frame=self.last_frame, frames=self.counters.frames,
            timeout=self.health_timeout,
            surveyed=pipeline is not None and pipeline.anchors is not None,
            broker_state=self.broker_state(),
            output_faults=[fault for fault in (getattr(o, "fault", None) for o in self.outputs)
                           if fault]))


def _address(value: int) -> str:
    return f"{value:04X}"


class SessionCollector:
    """The prometheus_client collector of one session's metrics."""

    def __init__(self, monitor: MonitorSink):
        self.monitor = monitor
        self.core = require_prometheus().core

    def describe(self):
        return []  # names vary with the session: nothing checked at registration

    def collect(self) -> Iterator[object]:
        core = self.core
        m = self.monitor
        c = m.counters
        now = m.clock()

        def counter(name, text, labels=(), rows=None, value=None):
            family = core.CounterMetricFamily(PREFIX + name, text,
                                              labels=list(labels) if labels else None,
                                              value=value)
            for key, count in (rows or {}).items():
                family.add_metric(list(key) if isinstance(key, tuple) else [key], count)
            return family

        def gauge(name, text, labels=(), rows=None, value=None):
            family = core.GaugeMetricFamily(PREFIX + name, text,
                                            labels=list(labels) if labels else None,
                                            value=value)
            for key, amount in (rows or {}).items():
                family.add_metric([key], amount)
            return family

        skipped = dict(c.skipped)
        yield counter("frames", "Frames received, by outcome.", ["outcome"],
                      {"decoded": c.decoded, "heartbeat": c.heartbeats,
                       "skipped": sum(skipped.values())})
        yield counter("frames_skipped", "Frames skipped, by reason.", ["reason"], skipped)
        yield counter("received_bytes", "Bytes read from the source's streams.",
                      value=c.bytes_read)
        yield counter("bytes_outside_frames", "Bytes of a stream that belong to no frame.",
                      value=c.bytes_skipped)
        yield counter("messages", "Ranging messages decoded, by sender kind.", ["kind"],
                      {"anchor": c.anchor_messages, "tag": c.tag_messages})
        tags = list(c.tags.items())
        yield counter("fixes", "Fixes made, every tag.", value=sum(t.fixes for _, t in tags))
        yield counter("rejected_ranges", "Ranges the tracker rejected, every tag.",
                      value=sum(t.rejected for _, t in tags))
        yield counter("unknown_peer_reports", "Reports naming a device that is no anchor.",
                      value=c.unknown_peers)
        yield counter("dropped", "Items a full queue dropped, by queue.", ["queue"], c.drops())
        yield counter("reconnects", "Reconnections, by source or broker.", ["connection"],
                      c.reconnects())
        yield counter("published_fixes", "Fixes the broker acknowledged.", value=c.published)
        yield gauge("tags_live", "Tags heard within the tag timeout.", value=c.tags_live)
        yield counter("tags_timed_out", "Tags that fell silent.", value=c.tags_timed_out)
        state = m.broker_state()
        if m.broker:
            yield gauge("broker_connected", "1 while the broker is connected.",
                        value=1 if state == health.CONNECTED else 0)
            yield gauge("broker_state", "The broker connection's state.", ["state"],
                        {state or "unknown": 1})
        pipeline = m.pipeline
        anchors = pipeline.anchors if pipeline is not None else None
        yield gauge("survey_done", "1 once the anchors are surveyed or known.",
                    value=1 if anchors is not None else 0)
        yield gauge("anchors", "Anchors tracked with.", value=len(anchors or ()))
        yield gauge("last_frame_age_seconds", "Seconds since the last frame arrived.",
                    value=now - m.last_frame)
        yield counter("tag_fixes", "Fixes per tag.", ["tag"],
                      {_address(t): n.fixes for t, n in sorted(tags)})
        yield counter("tag_messages", "Messages per tag.", ["tag"],
                      {_address(t): n.messages for t, n in sorted(tags)})
        yield gauge("tag_last_fix_age_seconds", "Seconds since each tag's last fix.", ["tag"],
                    {_address(t): now - at for t, at in sorted(list(m.last_fix.items()))})
        yield counter("anchor_ranges", "Reports of tag messages naming each anchor.",
                      ["anchor"], {_address(a): n for a, n
                                   in sorted(list(c.anchor_ranges.items()))})
        yield gauge("anchor_last_heard_age_seconds", "Seconds since each anchor was heard.",
                    ["anchor"], {_address(a): now - at for a, at
                                 in sorted(list(c.anchor_heard.items()))})
        anchor_offsets, tag_offsets = m.offsets
        yield gauge("anchor_range_offset_metres", "Each anchor's range offset in use.",
                    ["anchor"], {_address(a): o for a, o in sorted(anchor_offsets.items())})
        yield gauge("tag_range_offset_metres", "Each tag's range offset in use.",
                    ["tag"], {_address(t): o for t, o in sorted(tag_offsets.items())})
        latency = m.latency
        yield core.HistogramMetricFamily(
            PREFIX + "frame_to_fix_latency_seconds",
            "Seconds from a frame's arrival to its fix.",
            buckets=latency.buckets(), sum_value=latency.total)
