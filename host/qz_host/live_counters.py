"""What the live host counts, in one object that the summary, the JSON
state and the web page all read.

Each field has one writer: the reader threads count bytes, datagrams and
their own queue drops and reconnects, the pipeline thread everything else,
so plain integers suffice under the interpreter's lock.
"""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from typing import Dict


@dataclass
class LiveCounters:
    bytes_read: int = 0
    bytes_skipped: int = 0      # bytes of a stream that belong to no frame
    decoded: int = 0            # ranging messages
    heartbeats: int = 0
    skipped: Counter = field(default_factory=Counter)   # frames by reason
    anchor_messages: int = 0
    tag_messages: int = 0
    unknown_peers: int = 0      # reports naming a device that is no anchor
    fixes: Counter = field(default_factory=Counter)     # per tag
    too_few: Counter = field(default_factory=Counter)   # per tag: ranges that fix nothing
    late: Counter = field(default_factory=Counter)      # per tag: older than its last
    rejected: Dict[int, int] = field(default_factory=dict)  # per tag, the tracker's
    tags_live: int = 0
    tags_timed_out: int = 0
    reconnects: Counter = field(default_factory=Counter)    # by source or "mqtt"
    dropped: Counter = field(default_factory=Counter)       # by queue
    published: int = 0          # fixes the broker acknowledged

    @property
    def frames(self) -> int:
        """Frames received: each is decoded, a heartbeat or skipped."""
        return self.decoded + self.heartbeats + sum(self.skipped.values())

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
            "tags_live": self.tags_live, "tags_timed_out": self.tags_timed_out,
            "reconnects": dict(sorted(self.reconnects.items())),
            "dropped": dict(sorted(self.dropped.items())),
            "published": self.published,
        }
