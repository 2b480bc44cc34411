"""An installation simulator: anchors in a hall, tags moving among them.

The simulator produces what a capture of the real hardware holds: device
frames with their receive times. Anchors range one another (ranging
messages with the anchor flag set, one report per peer anchor) in a burst
of rounds before the tags start and then at a slower rate; every tag sends
one ranging message per fix with one report per anchor. Anchors also send
an occasional heartbeat frame.

Ranges are the 3-D distances between an anchor (at its z) and a tag (at
its height), plus what real radios add:

* a range offset per device (its antenna delay): a range between devices
  a and b reads long by offset_a + offset_b, inter-anchor ranges too.
  Unless fixed, each anchor's offset is drawn uniformly from 0 to twice
  ``anchor_offset`` and each tag's from 0 to twice ``tag_offset``: at the
  defaults (0.09 m each) a pair reads 0.18 m long on average, 0 to
  0.36 m, the size that real radios with uncalibrated antenna delays show;
* Gaussian noise (``sigma``) and dropped reports (``dropout``);
* non-line-of-sight excess (``nlos``, the share of ranges): always
  longer, by ``nlos_scale`` on average, drawn uniformly from a third to
  five thirds of it (``uniform``) or from an exponential distribution
  (``exponential``, heavy-tailed);
* short outliers (``short``, the share of tag ranges): in bursts of
  SHORT_BURST seconds on one anchor at a time, during which the share
  SHORT_IN_BURST of the tags' ranges to that anchor read short by
  SHORT_MIN plus an exponential excess of mean SHORT_MEAN_EXCESS, at most
  SHORT_MAX, and never below a tenth of the true distance (an outdoor
  site shows 0.3 to 0.6 % of ranges more than 1 m short, up to 19 m).

The offsets and the short bursts come from generators of their own, so
a scenario without them draws exactly what it drew before they existed;
everything else comes from one generator seeded by ``seed``. A seed fixes
the whole capture.
"""

from __future__ import annotations

import bisect
import math
import random
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

from . import devices, frames, trajectories
from .device_time import TICKS_PER_SECOND, WRAP_TICKS

# Six anchors along the walls of a 20 m x 12 m hall: (address, x, y) in metres.
DEFAULT_ANCHORS: Tuple[Tuple[int, float, float], ...] = (
    (0x0A01, 0.5, 0.5),
    (0x0A02, 10.0, 0.3),
    (0x0A03, 19.5, 0.5),
    (0x0A04, 19.5, 11.5),
    (0x0A05, 10.0, 11.7),
    (0x0A06, 0.5, 11.5),
)
DEFAULT_TAGS: Tuple[int, ...] = (0x1001, 0x1002)
# Named areas (width, depth) in metres.
LAYOUTS: Dict[str, Tuple[float, float]] = {"hall": (20.0, 12.0), "corridor": (40.0, 3.0)}
# Offset scales (m): each device's offset is drawn from 0 to twice its scale.
DEFAULT_ANCHOR_OFFSET = 0.09
DEFAULT_TAG_OFFSET = 0.09
# Scenario options for ranges without offsets (ideal antenna delays).
NO_OFFSETS: Dict[str, float] = {"anchor_offset": 0.0, "tag_offset": 0.0}
NLOS_MODELS = ("uniform", "exponential")
# Short outliers: a burst's length (s), the share of its anchor's ranges
# that read short during it, and how short (m).
SHORT_BURST = 1.0
SHORT_IN_BURST = 0.5
SHORT_MIN = 1.0
SHORT_MEAN_EXCESS = 3.0
SHORT_MAX = 19.0
# Anchors stand this far (m) inside the walls.
_ANCHOR_INSET = 0.5
_PANID = 0x0D11
# Tags keep this far from the walls.
_WALL_MARGIN = 1.0

AnchorSpec = Tuple[float, ...]  # (address, x, y) or (address, x, y, z)


def wall_anchors(count: int, hall: Tuple[float, float] = (20.0, 12.0)
                 ) -> Tuple[Tuple[int, float, float], ...]:
    """`count` anchors (4 to 15) along the walls of `hall`: one in each
    corner, the rest spread evenly along the two long walls (the near one
    takes the odd one). Six give the default layout. Addresses run from
    0A01 around the hall, near wall first."""
    if not 4 <= count <= 15:
        raise ValueError(f"the hall takes 4 to 15 anchors, got {count}")
    if count == len(DEFAULT_ANCHORS) and hall == (20.0, 12.0):
        return DEFAULT_ANCHORS
    width, depth = hall
    low, high = _ANCHOR_INSET, width - _ANCHOR_INSET
    extra = count - 4
    near_count, far_count = (extra + 1) // 2, extra // 2

    def along(k: int) -> List[float]:
        return [low + (high - low) * (i + 1) / (k + 1) for i in range(k)]

    near = [(x, _ANCHOR_INSET) for x in [low] + along(near_count) + [high]]
    far = [(x, depth - _ANCHOR_INSET) for x in [high] + along(far_count)[::-1] + [low]]
    return tuple((0x0A01 + i, x, y) for i, (x, y) in enumerate(near + far))


@dataclass(frozen=True)
class Scenario:
    """What is simulated. Lengths in metres, times in seconds, rates in Hz.

    The tags move inside the area `hall` (width, depth) whose lower corner
    is `origin`. `anchors` are (address, x, y) at z 0 or (address, x, y,
    z); the tags are carried at `tag_height`, or at the height
    `tag_heights` gives by address. `offsets` fixes the offsets of the
    devices it names; the others are drawn (see the module's text)."""

    hall: Tuple[float, float] = (20.0, 12.0)
    anchors: Tuple[AnchorSpec, ...] = DEFAULT_ANCHORS
    tags: Tuple[int, ...] = DEFAULT_TAGS
    duration: float = 30.0
    rate: float = 10.0
    speed: float = 1.0
    sigma: float = 0.05
    dropout: float = 0.05
    nlos: float = 0.02
    unit: float = 0.01
    survey_rounds: int = 10
    anchor_rate: float = 1.0
    heartbeat_period: float = 5.0
    seed: int = 1
    origin: Tuple[float, float] = (0.0, 0.0)
    path: str = "walk"
    tag_height: float = 0.0
    tag_heights: Tuple[Tuple[int, float], ...] = ()
    anchor_offset: float = DEFAULT_ANCHOR_OFFSET
    tag_offset: float = DEFAULT_TAG_OFFSET
    offsets: Tuple[Tuple[int, float], ...] = ()
    nlos_model: str = "uniform"
    nlos_scale: float = 0.9
    short: float = 0.0

    def __post_init__(self) -> None:
        width, depth = self.hall
        if not (width > 2 * _WALL_MARGIN and depth > 2 * _WALL_MARGIN):
            raise ValueError(f"hall {width} m x {depth} m leaves tags no room to walk "
                             f"({_WALL_MARGIN} m from every wall)")
        if len(self.anchors) < 3:
            raise ValueError(f"need at least 3 anchors, got {len(self.anchors)}")
        for spec in self.anchors:
            if len(spec) not in (3, 4):
                raise ValueError(f"an anchor is (address, x, y) or (address, x, y, z), "
                                 f"got {spec!r}")
            if not all(math.isfinite(c) for c in spec[1:]):
                raise ValueError(f"anchor {spec[0]:04X} has a coordinate that is not finite")
        addresses = [int(spec[0]) for spec in self.anchors] + list(self.tags)
        if len(set(addresses)) != len(addresses):
            raise ValueError("anchor and tag addresses must all differ")
        for address in addresses:
            if not 0 <= address <= 0xFFFF:
                raise ValueError(f"address {address} does not fit in 16 bits")
        self._check_values()
        self._check_devices(addresses)
        # The longest range the hall allows, with a generous noise margin,
        # must fit the reports' 16-bit distance field.
        xs = [spec[1] for spec in self.anchors] + [self.origin[0], self.origin[0] + width]
        ys = [spec[2] for spec in self.anchors] + [self.origin[1], self.origin[1] + depth]
        zs = [_z(spec) for spec in self.anchors] + list(self.heights().values())
        longest = (math.hypot(max(xs) - min(xs), max(ys) - min(ys), max(zs) - min(zs))
                   + 5.0 / 3.0 * self.nlos_scale + 2.0 * max(self.largest_offset(), 0.0)
                   + 6 * self.sigma)
        if longest / self.unit > 0xFFFF:
            raise ValueError(f"ranges up to {longest:.1f} m do not fit a 16-bit distance "
                             f"in units of {self.unit} m")

    def _check_values(self) -> None:
        for name in ("duration", "rate", "speed", "unit", "anchor_rate", "heartbeat_period",
                     "nlos_scale"):
            value = getattr(self, name)
            if not (value > 0 and math.isfinite(value)):
                raise ValueError(f"{name} must be positive, got {value}")
        for name in ("sigma", "survey_rounds", "anchor_offset", "tag_offset"):
            value = getattr(self, name)
            if not (value >= 0 and math.isfinite(value)):
                raise ValueError(f"{name} must not be negative, got {value}")
        for name in ("dropout", "nlos", "short"):
            if not 0 <= getattr(self, name) < 1:
                raise ValueError(f"{name} is a probability below 1, got {getattr(self, name)}")
        if self.path not in trajectories.SHAPES:
            raise ValueError(f"path is one of {', '.join(trajectories.SHAPES)}, "
                             f"got {self.path!r}")
        if self.nlos_model not in NLOS_MODELS:
            raise ValueError(f"nlos_model is one of {', '.join(NLOS_MODELS)}, "
                             f"got {self.nlos_model!r}")
        if not all(math.isfinite(c) for c in self.origin + (self.tag_height,)):
            raise ValueError("origin and tag_height must be finite")
        # Bursts on one anchor at a time must leave room between them.
        busy = self.short * len(self.anchors) / SHORT_IN_BURST
        if busy >= 1.0:
            raise ValueError(f"short {self.short} needs bursts on one of the "
                             f"{len(self.anchors)} anchors all the time: at most "
                             f"{SHORT_IN_BURST / len(self.anchors):.4g}")

    def _check_devices(self, addresses: Sequence[int]) -> None:
        known = set(addresses)
        for what, pairs, among in (("offsets", self.offsets, known),
                                   ("tag_heights", self.tag_heights, set(self.tags))):
            named = [address for address, _ in pairs]
            if len(set(named)) != len(named):
                raise ValueError(f"{what} names a device twice")
            for address, value in pairs:
                if address not in among:
                    raise ValueError(f"{what} names {address:04X}, which is not simulated")
                if not math.isfinite(value):
                    raise ValueError(f"{what} of {address:04X} must be finite, got {value}")

    def heights(self) -> Dict[int, float]:
        """Each tag's height (m)."""
        given = dict(self.tag_heights)
        return {tag: given.get(tag, self.tag_height) for tag in self.tags}

    def largest_offset(self) -> float:
        """The largest offset (m) a device of this scenario can have."""
        return max([2.0 * self.anchor_offset, 2.0 * self.tag_offset]
                   + [value for _, value in self.offsets])


@dataclass
class Simulation:
    """A simulated capture with its ground truth: anchors (x, y, z), every
    device's offset, each tag's height and the tags' tracks."""

    scenario: Scenario
    frames: List[Tuple[float, bytes]] = field(default_factory=list)
    anchors: Dict[int, Tuple[float, float, float]] = field(default_factory=dict)
    tracks: List[Tuple[float, int, float, float]] = field(default_factory=list)
    offsets: Dict[int, float] = field(default_factory=dict)
    heights: Dict[int, float] = field(default_factory=dict)

    @property
    def metadata(self) -> Dict[str, str]:
        # The scenario's repr names every field, so the source line
        # regenerates the capture whatever fields are added later.
        s = self.scenario
        return {"dist_unit_m": repr(s.unit), "fcs": frames.FCS_NAME,
                "source": f"qz_host.simulate.{s!r}"}

    def anchor_records(self) -> Dict[int, devices.Anchor]:
        """The anchors as an anchors file holds them; a simulation without
        offsets gives none (the file then has no offset column)."""
        with_offsets = any(self.offsets.values())
        return {a: devices.Anchor(*p, offset=self.offsets[a] if with_offsets else None)
                for a, p in self.anchors.items()}

    def tag_records(self, names: Optional[Dict[int, str]] = None) -> Dict[int, devices.Tag]:
        """Each tag's true height and offset, as a tags file holds them,
        with the `names` given."""
        names = names or {}
        return {tag: devices.Tag(names.get(tag), height, self.offsets[tag])
                for tag, height in self.heights.items()}


class _Device:
    """Per-device counters that go into the frames it sends."""

    def __init__(self, address: int, slot: int):
        self.address = address
        self.slot = slot
        self.sequence = 0

    def ranging(self, time: float, reports: List[frames.UWBRangingReport], *, anchor: bool,
                rssi: int) -> bytes:
        seq = self.sequence
        self.sequence += 1
        # The message's slot number is one byte: with more than 256
        # devices it is the slot's low byte, as the radio parameters keep
        # the whole slot.
        message = frames.UWBRangingMessage(
            tuple(reports), flags=frames.FLAG_ANCHOR if anchor else 0, slotnr=self.slot & 0xFF,
            tx_ts=_device_time(time), task_cnt=seq & 0xFFFF)
        frame = frames.DWFrame(
            frames.UWBHeader(seq_num=seq & 0xFF, panid=_PANID, src_addr=self.address),
            message,
            frames.UWBParams(slot=self.slot, frame=seq & 0xFFFFFFFF, db=rssi,
                             msg_cnt=seq & 0x0F, rf_profile=1),
            frames.SubHeader(rssi=rssi))
        return frame.encode()


def _device_time(time: float) -> int:
    return int(round(time * TICKS_PER_SECOND)) % WRAP_TICKS


def _z(spec: AnchorSpec) -> float:
    return float(spec[3]) if len(spec) == 4 else 0.0


def draw_offsets(scenario: Scenario) -> Dict[int, float]:
    """Every device's range offset (m): the fixed ones as given, the others
    drawn, anchors then tags, from a generator of their own."""
    rng = random.Random(f"offsets {scenario.seed}")
    drawn = {}
    for spec in scenario.anchors:
        drawn[int(spec[0])] = 2.0 * scenario.anchor_offset * rng.random()
    for tag in scenario.tags:
        drawn[tag] = 2.0 * scenario.tag_offset * rng.random()
    drawn.update(scenario.offsets)
    return drawn


class _ShortBursts:
    """When and on which anchor tag ranges read short: bursts of
    SHORT_BURST seconds, one anchor at a time, each on an anchor drawn at
    random, with gaps such that the share `short` of all tag ranges reads
    short."""

    def __init__(self, scenario: Scenario, anchors: Sequence[int], start: float):
        self.rng = random.Random(f"short {scenario.seed}")
        self.starts: List[float] = []
        self.anchors: List[int] = []
        if scenario.short <= 0:
            return
        busy = scenario.short * len(anchors) / SHORT_IN_BURST
        mean_gap = SHORT_BURST * (1.0 - busy) / busy
        # Gaps from half to one and a half times their mean keep the share
        # close to the one asked for even in a short capture.
        t = start + self.rng.uniform(0.0, mean_gap)
        while t < start + scenario.duration:
            self.starts.append(t)
            self.anchors.append(self.rng.choice(anchors))
            t += SHORT_BURST + self.rng.uniform(0.5 * mean_gap, 1.5 * mean_gap)

    def shortfall(self, time: float, anchor: int, distance: float) -> float:
        """How much (m) a range to `anchor` at `time` reads short."""
        i = bisect.bisect_right(self.starts, time) - 1
        if i < 0 or self.anchors[i] != anchor or time >= self.starts[i] + SHORT_BURST:
            return 0.0
        if self.rng.random() >= SHORT_IN_BURST:
            return 0.0
        amount = min(SHORT_MIN + self.rng.expovariate(1.0 / SHORT_MEAN_EXCESS), SHORT_MAX)
        return min(amount, 0.9 * distance)


def simulate(scenario: Scenario = Scenario()) -> Simulation:
    """Simulates `scenario`; the result's frames are in receive-time order."""
    rng = random.Random(scenario.seed)
    sim = Simulation(scenario)
    anchors = {int(spec[0]): (float(spec[1]), float(spec[2]), _z(spec))
               for spec in scenario.anchors}
    sim.anchors = dict(anchors)
    sim.offsets = draw_offsets(scenario)
    sim.heights = scenario.heights()
    offsets = sim.offsets
    devices_by_address = {address: _Device(address, slot) for slot, address
                          in enumerate(list(anchors) + list(scenario.tags))}
    events: List[Tuple[float, int, bytes]] = []
    low, high = scenario.nlos_scale / 3.0, 5.0 * scenario.nlos_scale / 3.0
    exponential = scenario.nlos_model == "exponential"

    def measure(distance: float, bias: float) -> int:
        distance = distance + bias + rng.gauss(0.0, scenario.sigma)
        if rng.random() < scenario.nlos:
            if exponential:
                distance += rng.expovariate(1.0 / scenario.nlos_scale)
            else:
                distance += rng.uniform(low, high)
        return min(max(int(round(distance / scenario.unit)), 0), 0xFFFF)

    def reports(source: int, here: Tuple[float, float, float], time: float,
                peers: Sequence[int], bursts: Optional[_ShortBursts] = None
                ) -> List[frames.UWBRangingReport]:
        kept = []
        for peer in peers:
            if rng.random() < scenario.dropout:
                continue
            distance = math.dist(here, anchors[peer])
            bias = offsets[source] + offsets[peer]
            if bursts is not None and bursts.starts:
                bias -= bursts.shortfall(time, peer, distance)
            kept.append(frames.UWBRangingReport(addr=peer, dist=measure(distance, bias),
                                                ts=_device_time(time)))
        return kept

    def rssi() -> int:
        return rng.randrange(60, 100)

    # Inter-anchor rounds: a burst of survey rounds 0.1 s apart, then one
    # round every 1/anchor_rate seconds while the tags walk.
    burst = 0.1
    start = scenario.survey_rounds * burst
    round_times = [i * burst for i in range(scenario.survey_rounds)]
    t = start
    while t < start + scenario.duration:
        round_times.append(t)
        t += 1.0 / scenario.anchor_rate
    spacing = burst / (len(anchors) + 1)
    for t in round_times:
        for k, address in enumerate(anchors):
            time = t + k * spacing
            peers = [peer for peer in anchors if peer != address]
            frame = devices_by_address[address].ranging(
                time, reports(address, anchors[address], time, peers), anchor=True,
                rssi=rssi())
            events.append((time, len(events), frame))

    t = 0.0
    while t < start + scenario.duration:
        for k, address in enumerate(anchors):
            time = t + 0.5 * burst + k * spacing
            body = address.to_bytes(2, "little") + bytes([rng.randrange(256) for _ in range(4)])
            events.append((time, len(events), frames.HBFrame(body).encode()))
        t += scenario.heartbeat_period

    bursts = _ShortBursts(scenario, list(anchors), start)
    width, depth = scenario.hall
    x0, y0 = scenario.origin
    box = (x0 + _WALL_MARGIN, y0 + _WALL_MARGIN, x0 + width - _WALL_MARGIN,
           y0 + depth - _WALL_MARGIN)
    fixes = int(round(scenario.duration * scenario.rate))
    for k, tag in enumerate(scenario.tags):
        offset = start + (k + 0.5) / (scenario.rate * len(scenario.tags))
        times = [offset + i / scenario.rate for i in range(fixes)]
        z = sim.heights[tag]
        track = trajectories.positions(scenario.path, rng, box, scenario.speed, times)
        for time, (x, y) in zip(times, track):
            sim.tracks.append((time, tag, x, y))
            frame = devices_by_address[tag].ranging(
                time, reports(tag, (x, y, z), time, list(anchors), bursts), anchor=False,
                rssi=rssi())
            events.append((time, len(events), frame))

    events.sort()
    sim.frames = [(time, frame) for time, _, frame in events]
    sim.tracks.sort()
    return sim
