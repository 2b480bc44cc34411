"""The tracking stage: tag messages to fixes, against one anchor set.

Replay, view and live track through this one stage: the anchors' index
(address to the slot of a distance), one filter per tag
(``tracking.Tracker``), and each tag's counts (messages, fixes, messages
without a fix, ranges rejected, seeds, late messages). A message older than
its tag's last is late: counted and not tracked.

The ranging noise the tracker assumes is, unless given, measured from the
spread of the anchors' repeated ranges of one another (``ranging_noise``),
never below the rounding to the distance unit.

With ``smoothing`` on, the stage keeps what the smoother needs of every
fix, compactly (about 150 bytes a fix, in arrays per tag, not fix
objects), and ``smoothed()`` smooths each tag's track in those arrays and
gives every fix again, smoothed over its tag's whole track, one at a time
in the order they were made.
"""

from __future__ import annotations

import math
import operator
from array import array
from dataclasses import dataclass, replace
from typing import Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

import qz_track

from . import devices, messages
from .survey import DistanceTable
from .tracking import TagSetup, Tracker, TrackFix, range_noise


MEASURED = "measured from the anchors' ranges"


def ranging_noise(table: DistanceTable, dist_unit: float) -> Optional[float]:
    """The ranging noise (m) measured from the anchors' repeated ranges, not
    below the rounding to the distance unit; None when they are too few to
    tell (the tracker then estimates it from the tags' ranges)."""
    noise = range_noise(table.anchor_samples(), default=0.0)
    if not noise > 0:
        return None
    return max(noise, dist_unit / math.sqrt(12.0))


@dataclass
class TagCounts:
    messages: int = 0
    fixes: int = 0
    no_fix: int = 0  # messages whose ranges could not fix the tag
    rejected: int = 0  # ranges rejected (non-line-of-sight or unusable)
    seeds: int = 0  # times the filter was (re)started from a per-fix fit
    late: int = 0  # messages older than the tag's previous one
    worst_dop: float = 0.0
    duplicates: int = 0  # messages delivered again, dropped (``device_time``)
    lost: int = 0  # messages missing from the sequence numbers
    clock_resets: int = 0  # times the device time jumped or stopped


class Position:
    """One fix as the outputs give it: the tracker's fix, the tag's z, the
    ranges (m) of the anchors used, by address (made when asked for), and
    with a site, where the fix is in the site's frame (`site`: "x", "y" and
    maybe "lat", "lon"; `frame`, its name). `received` is when its frame
    came (the fix's own time may be the tag's transmit time, mapped)."""

    __slots__ = ("fix", "z", "_distances", "_addresses", "site", "frame", "received")

    def __init__(self, fix: TrackFix, z: float, distances: Sequence[float],
                 addresses: Sequence[int], received: Optional[float] = None):
        self.fix = fix
        self.received = fix.time if received is None else received
        self.z = z
        self._distances = distances
        self._addresses = addresses
        self.site: Optional[Dict[str, float]] = None
        self.frame: Optional[str] = None

    @property
    def x(self) -> float:
        """The fix's x in the outputs' frame (the site's, when there is one)."""
        return self.site["x"] if self.site is not None else self.fix.x

    @property
    def y(self) -> float:
        return self.site["y"] if self.site is not None else self.fix.y

    @property
    def ranges(self) -> Dict[int, float]:
        return {self._addresses[i]: self._distances[i] for i in self.fix.used}

    def as_json(self) -> dict:
        f = self.fix
        out = {"tag": f"{f.tag:04X}", "time": f.time, "x": self.x, "y": self.y, "z": self.z,
               "sd": _finite(f.sd), "dop": _finite(f.dop),
               # A raw count times the unit: six decimals say it exactly.
               "ranges": {f"{a:04X}": round(d, 6) for a, d in self.ranges.items()},
               "rejected": f.rejected}
        if self.site is not None:
            for key in ("lat", "lon"):
                if key in self.site:
                    out[key] = self.site[key]
            out["frame"] = self.frame
        return out


def _finite(value: float) -> Optional[float]:
    return value if math.isfinite(value) else None


class TrackStage:
    """Tracks tag messages against `anchors` (address to a devices.Anchor,
    or to x, y[, z] in metres).

    `sigma` is the ranging noise, None to estimate it from the tags' ranges;
    `noise_source` says where a given one comes from ("measured from the
    anchors' ranges", "given"). Anchors' offsets given (the Anchor's
    `offset`) and tags' heights and offsets (`tags`, address to devices.Tag,
    with `tag_height` for the rest) go to the tracker, which learns what is
    unknown; `tag_height` None puts the tags at the anchors' mean height
    (the plane of the anchors, as where no heights are known). `counts` is
    where the per-tag counts go (a dict shared with
    the session's counters, or a new one). Other options go to the
    Tracker."""

    def __init__(self, anchors: Mapping[int, object], *, dist_unit: float,
                 sigma: Optional[float], noise_source: str = "given",
                 tags: Optional[Mapping[int, devices.Tag]] = None,
                 tag_height: Optional[float] = None,
                 smoothing: bool = False, counts: Optional[Dict[int, TagCounts]] = None,
                 **tracker_options):
        known = {a: devices.as_anchor(p) for a, p in anchors.items()}
        self.addresses: List[int] = sorted(known)
        self.index = {address: i for i, address in enumerate(self.addresses)}
        self.anchors = [known[a] for a in self.addresses]
        self.dist_unit = dist_unit
        self.devices = dict(tags or {})
        self.tag_height = (float(tag_height) if tag_height is not None
                           else math.fsum(a.z for a in self.anchors) / len(self.anchors))
        self.tracker = Tracker([a.position for a in self.anchors], sigma=sigma,
                               height=self.tag_height,
                               tags={t: TagSetup(d.height, d.offset)
                                     for t, d in self.devices.items()},
                               anchor_offsets=[a.offset for a in self.anchors],
                               **tracker_options)
        self.noise_source = "estimated from the tags' ranges" if sigma is None else noise_source
        self.tags: Dict[int, TagCounts] = counts if counts is not None else {}
        self.unknown_peers = 0  # reports naming a device that is no anchor
        self._history = _History() if smoothing else None

    @property
    def sigma(self) -> float:
        """The ranging noise in use (m)."""
        return self.tracker.sigma

    def height(self, tag: int) -> float:
        """The tag's z in the anchors' frame (m)."""
        known = self.devices.get(tag)
        return self.tag_height if known is None or known.height is None else known.height

    def anchor_offsets(self) -> Dict[int, Tuple[float, float]]:
        """Each anchor's range offset in use and its standard deviation (m)."""
        return dict(zip(self.addresses, self.tracker.anchor_offsets()))

    def tag_offsets(self) -> Dict[int, Tuple[float, float]]:
        """Each tag's range offset in use and its standard deviation (m)."""
        return self.tracker.tag_offsets()

    def learned_anchors(self) -> Dict[int, devices.Anchor]:
        """The anchors with the offsets in use, for an anchors file."""
        offsets = self.anchor_offsets()
        return {a: replace(spec, offset=offsets[a][0])
                for a, spec in zip(self.addresses, self.anchors)}

    def learned_tags(self) -> Dict[int, devices.Tag]:
        """Every tag known or tracked, with its height and the offset in
        use, for a tags file."""
        found = dict(self.devices)
        for tag, (offset, _) in self.tag_offsets().items():
            known = found.get(tag, devices.Tag())
            found[tag] = devices.Tag(known.name, self.height(tag), offset)
        return found

    def track(self, message: messages.Message, time: Optional[float] = None,
              track_time: Optional[float] = None) -> Optional[Position]:
        """The fix of one tag message, or None (late, or too few ranges).
        The fix is given at `time` (None: the message's) and tracked at
        `track_time` (None: `time`), the time on the tag's own timeline
        (``device_time``)."""
        src = message.src
        counts = self.tags.get(src)
        if counts is None:
            counts = self.tags[src] = TagCounts()
        counts.messages += 1
        distances, unknown = messages.distances(message.reports, self.index, self.dist_unit)
        self.unknown_peers += unknown
        tracker = self.tracker
        if time is None:
            time = message.time
        if track_time is None:
            track_time = time
        try:
            fix = tracker.update(src, track_time, distances)
        except ValueError:  # older than the tag's last message
            counts.late += 1
            return None
        counts.rejected = tracker.rejected.get(src, 0)
        counts.seeds = tracker.seeds.get(src, 0)
        if fix is None:
            counts.no_fix += 1
            return None
        counts.fixes += 1
        if fix.dop > counts.worst_dop:
            counts.worst_dop = fix.dop
        if self._history is not None:
            # a seed or a restart from the message's own fix starts a segment
            self._history.add(fix, tracker.filter(src), tracker.started, time)
        if track_time != time:  # the fix is given at its time on the host's clock
            fix = TrackFix(time, src, fix.x, fix.y, fix.sd, fix.dop, fix.used, fix.rejected)
        return Position(fix, self.height(src), distances, self.addresses, message.time)

    def smoothed(self) -> Iterator[TrackFix]:
        """Every fix so far, in order, smoothed over its tag's whole track
        (smoothing on). The tracks are smoothed where they are kept, so this
        ends the history: the same fixes come again from a later call, and
        a fix tracked after it raises ValueError."""
        if self._history is None:
            raise ValueError("the stage keeps no history: smoothing is off")
        return self._history.smoothed()


# A covariance's 10 unique entries, the upper triangle row-major (the
# packing smooth_in_place takes), by their index among the 16 of the whole.
_UPPER = operator.itemgetter(*(4 * i + j for i in range(4) for j in range(i, 4)))
_P00, _P11 = 0, 4  # the variances of x and y among the 10


class _TagHistory:
    """One tag's filtered track, in arrays: smoothed where it lies."""

    __slots__ = ("times", "stamps", "states", "covariances", "starts", "growths", "dops",
                 "used", "rejected")

    def __init__(self) -> None:
        self.times = array("d")  # the filter's, on the tag's own timeline
        self.stamps = array("d")  # the fixes' times on the host's clock
        self.states = array("d")  # x, y, vx, vy per fix
        self.covariances = array("d")  # the 10 unique entries per fix (_UPPER)
        self.starts = array("b")
        self.growths = array("d")
        self.dops = array("d")
        self.used = array("I")  # the anchors used, one bit each (at most 32)
        self.rejected = array("B")


class _History:
    """What the smoother needs of every fix, per tag, and the order the
    fixes came in across tags. Smoothing overwrites the filtered tracks, so
    it happens once, and the history then takes no more fixes."""

    def __init__(self) -> None:
        self.tags: Dict[int, _TagHistory] = {}
        self.order = array("I")  # the slot of each fix's tag, in order
        self.slots: List[int] = []  # tag addresses by slot
        self._slot: Dict[int, int] = {}
        self.process_noise: Dict[int, float] = {}
        self.is_smoothed = False

    def add(self, fix: TrackFix, tag_filter: qz_track.TagFilter, seeded: bool,
            stamp: float) -> None:
        if self.is_smoothed:
            raise ValueError("the history is smoothed: it takes no more fixes")
        history = self.tags.get(fix.tag)
        if history is None:
            history = self.tags[fix.tag] = _TagHistory()
            self._slot[fix.tag] = len(self.slots)
            self.slots.append(fix.tag)
            self.process_noise[fix.tag] = tag_filter.process_noise
        self.order.append(self._slot[fix.tag])
        history.times.append(fix.time)
        history.stamps.append(stamp)
        history.states.extend(tag_filter.state)
        history.covariances.extend(_UPPER(tag_filter.covariance))
        history.starts.append(seeded)
        history.growths.append(tag_filter.growth)
        history.dops.append(fix.dop)
        history.used.append(sum(1 << i for i in fix.used))
        history.rejected.append(min(fix.rejected, 255))

    def smoothed(self) -> Iterator[TrackFix]:
        """Smooths every tag's track where it lies (the first time), then
        gives the fixes one by one in the order they were made."""
        if not self.is_smoothed:
            for tag, h in self.tags.items():
                qz_track.smooth_in_place(h.times, h.states, h.covariances, h.starts,
                                         h.growths, self.process_noise[tag])
            self.is_smoothed = True
        return self._fixes()

    def _fixes(self) -> Iterator[TrackFix]:
        tracks = [self.tags[tag] for tag in self.slots]
        cursors = [0] * len(tracks)
        anchors_used: Dict[int, Tuple[int, ...]] = {}  # few distinct masks: made once each
        sqrt = math.sqrt
        for slot in self.order:
            h = tracks[slot]
            k = cursors[slot]
            cursors[slot] = k + 1
            mask = h.used[k]
            used = anchors_used.get(mask)
            if used is None:
                used = anchors_used[mask] = tuple(i for i in range(32) if mask >> i & 1)
            p00, p11 = h.covariances[10 * k + _P00], h.covariances[10 * k + _P11]
            sd = sqrt(p00 + p11) if p00 > 0.0 and p11 > 0.0 else 0.0
            yield TrackFix(h.stamps[k], self.slots[slot], h.states[4 * k], h.states[4 * k + 1],
                           sd, h.dops[k], used, h.rejected[k])
