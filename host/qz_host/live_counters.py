"""What a session counts, in one object that the summary, the JSON state
and the web page all read.

Each field has one writer thread, so plain integers and dicts suffice
under the interpreter's lock (a reader may see a count one behind, never a
torn one):

- the pipeline's thread (the one that calls ``Pipeline.feed_*`` and
  ``tick``; in ``qz-host live`` the main thread, which also reads UDP
  datagrams and runs the sinks' calls): the frame counts, bytes read and
  skipped, the messages, the tags' counts (``tags``, written by the
  tracking stage), the anchors' ranges and when they were last heard, the
  live and timed-out tags, ``dropped`` (the survey
  buffer, the UDP socket's kernel drops, the MQTT queue and what the broker
  never acknowledged) and ``published``;
- the source's reader thread (serial, TCP, standard input): only
  ``source_dropped`` (its inbox full) and ``source_reconnects``;
- the MQTT client's network thread: only ``mqtt_reconnects`` and
  ``mqtt_state`` (the broker's state in a short phrase, "connected" when
  it is up, "" without a broker; see ``mqtt_state``).

``drops()`` and ``reconnects()`` gather them by name for the reports.
"""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from typing import Dict

from .messages import FrameCounts
from .track_stage import TagCounts

SOURCE_QUEUE = "source queue"


@dataclass
class LiveCounters(FrameCounts):
    source_name: str = "source"
    bytes_read: int = 0
    bytes_skipped: int = 0      # bytes of a stream that belong to no frame
    anchor_messages: int = 0
    tag_messages: int = 0
    unknown_peers: int = 0      # reports naming a device that is no anchor
    tags: Dict[int, TagCounts] = field(default_factory=dict)  # per tag, the tracking stage's
    # per anchor, every report of a tag message naming it, and the
    # pipeline's clock when it was last heard (its own message or a report)
    anchor_ranges: Dict[int, int] = field(default_factory=dict)
    anchor_heard: Dict[int, float] = field(default_factory=dict)
    tags_live: int = 0
    tags_timed_out: int = 0
    zone_events: int = 0        # tags entering and leaving the site's zones
    dropped: Counter = field(default_factory=Counter)   # by queue, the pipeline's thread
    published: int = 0          # fixes the broker acknowledged
    source_dropped: int = 0     # the source's reader thread: its inbox was full
    source_reconnects: int = 0  # the source's reader thread
    mqtt_reconnects: int = 0    # the MQTT client's thread
    mqtt_state: str = ""        # the MQTT client's thread: "connected", ...; "" without a broker

    def _by_tag(self, name: str) -> Counter:
        return Counter({tag: getattr(counts, name) for tag, counts in list(self.tags.items())
                        if getattr(counts, name)})

    @property
    def fixes(self) -> Counter:
        """Fixes per tag."""
        return self._by_tag("fixes")

    @property
    def too_few(self) -> Counter:
        """Messages per tag whose ranges fixed nothing."""
        return self._by_tag("no_fix")

    @property
    def late(self) -> Counter:
        """Messages per tag older than the tag's last."""
        return self._by_tag("late")

    @property
    def rejected(self) -> Counter:
        """Ranges per tag that the tracker rejected."""
        return self._by_tag("rejected")

    @property
    def duplicates(self) -> Counter:
        """Messages per tag delivered again, dropped."""
        return self._by_tag("duplicates")

    @property
    def lost(self) -> Counter:
        """Messages per tag missing from the sequence numbers."""
        return self._by_tag("lost")

    @property
    def clock_resets(self) -> Counter:
        """Times per tag its device time jumped or stopped."""
        return self._by_tag("clock_resets")

    def drops(self) -> Dict[str, int]:
        """Everything dropped, by queue."""
        found = dict(self.dropped)
        if self.source_dropped:
            found[SOURCE_QUEUE] = self.source_dropped
        return dict(sorted(found.items()))

    def reconnects(self) -> Dict[str, int]:
        """Reconnections, by source name and "mqtt"."""
        found = {}
        if self.source_reconnects:
            found[self.source_name] = self.source_reconnects
        if self.mqtt_reconnects:
            found["mqtt"] = self.mqtt_reconnects
        return dict(sorted(found.items()))

    def as_dict(self) -> dict:
        """A JSON-able copy; addresses as four hexadecimal digits."""
        def by_tag(counts: Dict[int, int]) -> Dict[str, int]:
            return {f"{tag:04X}": n for tag, n in sorted(counts.items())}

        return {
            "bytes_read": self.bytes_read, "bytes_skipped": self.bytes_skipped,
            "frames": self.frames, "decoded": self.decoded, "heartbeats": self.heartbeats,
            "skipped": dict(sorted(self.skipped.items())),
            "anchor_messages": self.anchor_messages, "tag_messages": self.tag_messages,
            "unknown_peers": self.unknown_peers,
            "fixes": by_tag(self.fixes), "too_few": by_tag(self.too_few),
            "late": by_tag(self.late),
            "rejected": by_tag(self.rejected),
            "duplicates": by_tag(self.duplicates), "lost": by_tag(self.lost),
            "clock_resets": by_tag(self.clock_resets),
            "tags_live": self.tags_live, "tags_timed_out": self.tags_timed_out,
            "zone_events": self.zone_events,
            "reconnects": self.reconnects(),
            "dropped": self.drops(),
            "published": self.published,
        }
