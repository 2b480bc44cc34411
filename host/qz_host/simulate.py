"""An installation simulator: anchors in a hall, tags walking among them.

The simulator produces what a capture of the real hardware holds: device
frames with their receive times. Anchors range one another (ranging
messages with the anchor flag set, one report per peer anchor) in a burst
of rounds before the tags start and then at a slower rate; every tag sends
one ranging message per fix with one report per anchor. Anchors also send
an occasional heartbeat frame. Distances are planar (anchors and tags at
one height, as the position engine fits x and y only), with Gaussian noise,
dropped reports and occasional non-line-of-sight outliers, which only ever
lengthen a range. Everything is drawn from one seeded generator, so a seed
fixes the whole capture.
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass, field
from typing import Dict, List, Sequence, Tuple

from . import frames

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
# Anchors stand this far (m) inside the walls.
_ANCHOR_INSET = 0.5
# Device timestamps count nanoseconds on a 40-bit clock.
_CLOCK_HZ = 1e9
_CLOCK_WRAP = 1 << 40
_PANID = 0x0D11
# Tags keep this far from the walls.
_WALL_MARGIN = 1.0


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
    """What is simulated. Lengths in metres, times in seconds, rates in Hz."""

    hall: Tuple[float, float] = (20.0, 12.0)
    anchors: Tuple[Tuple[int, float, float], ...] = DEFAULT_ANCHORS
    tags: Tuple[int, ...] = DEFAULT_TAGS
    duration: float = 30.0
    rate: float = 10.0
    speed: float = 1.0
    sigma: float = 0.05
    dropout: float = 0.05
    nlos: float = 0.02
    nlos_excess: Tuple[float, float] = (0.3, 1.5)
    unit: float = 0.01
    survey_rounds: int = 10
    anchor_rate: float = 1.0
    heartbeat_period: float = 5.0
    seed: int = 1

    def __post_init__(self) -> None:
        width, depth = self.hall
        if not (width > 2 * _WALL_MARGIN and depth > 2 * _WALL_MARGIN):
            raise ValueError(f"hall {width} m x {depth} m leaves tags no room to walk "
                             f"({_WALL_MARGIN} m from every wall)")
        addresses = [a for a, _, _ in self.anchors] + list(self.tags)
        if len(self.anchors) < 3:
            raise ValueError(f"need at least 3 anchors, got {len(self.anchors)}")
        if len(set(addresses)) != len(addresses):
            raise ValueError("anchor and tag addresses must all differ")
        for address in addresses:
            if not 0 <= address <= 0xFFFF:
                raise ValueError(f"address {address} does not fit in 16 bits")
        for name in ("duration", "rate", "speed", "unit", "anchor_rate", "heartbeat_period"):
            if not getattr(self, name) > 0:
                raise ValueError(f"{name} must be positive, got {getattr(self, name)}")
        for name in ("sigma", "survey_rounds"):
            if getattr(self, name) < 0:
                raise ValueError(f"{name} must not be negative, got {getattr(self, name)}")
        for name in ("dropout", "nlos"):
            if not 0 <= getattr(self, name) < 1:
                raise ValueError(f"{name} is a probability below 1, got {getattr(self, name)}")
        low, high = self.nlos_excess
        if not 0 <= low <= high:
            raise ValueError(f"nlos_excess must be 0 <= low <= high, got {self.nlos_excess}")
        # The longest range the hall allows, with a generous noise margin,
        # must fit the reports' 16-bit distance field.
        xs = [x for _, x, _ in self.anchors] + [0.0, width]
        ys = [y for _, _, y in self.anchors] + [0.0, depth]
        longest = math.hypot(max(xs) - min(xs), max(ys) - min(ys)) + high + 6 * self.sigma
        if longest / self.unit > 0xFFFF:
            raise ValueError(f"ranges up to {longest:.1f} m do not fit a 16-bit distance "
                             f"in units of {self.unit} m")


@dataclass
class Simulation:
    """A simulated capture with its ground truth."""

    scenario: Scenario
    frames: List[Tuple[float, bytes]] = field(default_factory=list)
    anchors: Dict[int, Tuple[float, float, float]] = field(default_factory=dict)
    tracks: List[Tuple[float, int, float, float]] = field(default_factory=list)

    @property
    def metadata(self) -> Dict[str, str]:
        # The scenario's repr names every field, so the source line
        # regenerates the capture whatever fields are added later.
        s = self.scenario
        return {"dist_unit_m": repr(s.unit), "fcs": frames.FCS_NAME,
                "source": f"qz_host.simulate.{s!r}"}


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
        message = frames.UWBRangingMessage(
            tuple(reports), flags=frames.FLAG_ANCHOR if anchor else 0, slotnr=self.slot,
            tx_ts=_device_time(time), task_cnt=seq & 0xFFFF)
        frame = frames.DWFrame(
            frames.UWBHeader(seq_num=seq & 0xFF, panid=_PANID, src_addr=self.address),
            message,
            frames.UWBParams(slot=self.slot, frame=seq & 0xFFFFFFFF, db=rssi,
                             msg_cnt=seq & 0x0F, rf_profile=1),
            frames.SubHeader(rssi=rssi))
        return frame.encode()


def _device_time(time: float) -> int:
    return int(round(time * _CLOCK_HZ)) % _CLOCK_WRAP


def _walk(rng: random.Random, scenario: Scenario, times: Sequence[float]) -> List[Tuple[float, float]]:
    """Positions at `times` of a walk between random waypoints at constant speed."""
    width, depth = scenario.hall

    def waypoint() -> Tuple[float, float]:
        return (rng.uniform(_WALL_MARGIN, width - _WALL_MARGIN),
                rng.uniform(_WALL_MARGIN, depth - _WALL_MARGIN))

    here = waypoint()
    target = waypoint()
    positions = []
    previous = times[0] if times else 0.0
    for time in times:
        step = scenario.speed * (time - previous)
        previous = time
        while step > 0:
            gap = math.dist(here, target)
            if gap <= step:
                step -= gap
                here, target = target, waypoint()
            else:
                f = step / gap
                here = (here[0] + f * (target[0] - here[0]), here[1] + f * (target[1] - here[1]))
                step = 0
        positions.append(here)
    return positions


def simulate(scenario: Scenario = Scenario()) -> Simulation:
    """Simulates `scenario`; the result's frames are in receive-time order."""
    rng = random.Random(scenario.seed)
    sim = Simulation(scenario)
    anchors = {address: (x, y) for address, x, y in scenario.anchors}
    sim.anchors = {address: (x, y, 0.0) for address, (x, y) in anchors.items()}
    devices = {address: _Device(address, slot) for slot, address
               in enumerate(list(anchors) + list(scenario.tags))}
    events: List[Tuple[float, int, bytes]] = []

    def measure(a: Tuple[float, float], b: Tuple[float, float]) -> int:
        distance = math.dist(a, b) + rng.gauss(0.0, scenario.sigma)
        if rng.random() < scenario.nlos:
            distance += rng.uniform(*scenario.nlos_excess)
        return min(max(int(round(distance / scenario.unit)), 0), 0xFFFF)

    def reports(here: Tuple[float, float], time: float, peers: Sequence[int]) -> List[frames.UWBRangingReport]:
        kept = []
        for peer in peers:
            if rng.random() < scenario.dropout:
                continue
            kept.append(frames.UWBRangingReport(addr=peer, dist=measure(here, anchors[peer]),
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
            frame = devices[address].ranging(time, reports(anchors[address], time, peers),
                                             anchor=True, rssi=rssi())
            events.append((time, len(events), frame))

    t = 0.0
    while t < start + scenario.duration:
        for k, address in enumerate(anchors):
            time = t + 0.5 * burst + k * spacing
            body = address.to_bytes(2, "little") + bytes([rng.randrange(256) for _ in range(4)])
            events.append((time, len(events), frames.HBFrame(body).encode()))
        t += scenario.heartbeat_period

    fixes = int(round(scenario.duration * scenario.rate))
    for k, tag in enumerate(scenario.tags):
        offset = start + (k + 0.5) / (scenario.rate * len(scenario.tags))
        times = [offset + i / scenario.rate for i in range(fixes)]
        for time, here in zip(times, _walk(rng, scenario, times)):
            sim.tracks.append((time, tag, here[0], here[1]))
            frame = devices[tag].ranging(time, reports(here, time, list(anchors)),
                                         anchor=False, rssi=rssi())
            events.append((time, len(events), frame))

    events.sort()
    sim.frames = [(time, frame) for time, _, frame in events]
    sim.tracks.sort()
    return sim
