"""Replaying a capture: its anchors surveyed from the whole capture, then its
lines fed through the pipeline that live uses.

A replay reads the capture twice and keeps neither pass in memory:

1. **Survey.** Only the anchors' messages are decoded (a look at each frame
   line's message type and anchor flag picks them; the rest wait for the
   second pass) into the distance table, which the survey and the measured
   ranging noise need whole before the first tag is tracked. Known anchors
   skip the survey, not the noise.
2. **Track.** Every line goes through a ``pipeline.Pipeline`` that knows
   the anchors: checked, decoded and counted, each tag message tracked in
   capture order, each fix handed on as it is made.

Memory does not grow with the capture's length: the distance table holds
8 bytes a sample of the anchors' ranges, and the fixes go to the caller
(`on_fix`) unless it asks for them all (`keep_fixes`). With `smooth` the
tracking stage keeps about 150 bytes a fix for the smoother, and the fixes
come, smoothed, at the end.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import (Callable, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Set,
                    Tuple, Union)

from . import capture, devices, frames, messages
from .geometry import layout_problem
from .live_counters import LiveCounters
from .messages import DEFAULT_DIST_UNIT, SKIP_REASONS, Message, decode  # noqa: F401
from .pipeline import Pipeline, Sink, site_named_anchors, surveyed_anchors
from .site import Site
from .site_frame import SiteFrame
from .survey import MIN_ANCHORS, DistanceTable, Survey, SurveyError, known_anchors, survey
from .track_stage import MEASURED, Position, TagCounts, ranging_noise
from .tracking import TrackFix
from .zones import ZoneEvent

Progress = Callable[[str, int, int], None]
Lines = Union[Sequence[str], Callable[[], Iterable[str]]]

# A replay's fixes are the tracker's.
Fix = TrackFix

_DW_HEX = frames.TYPE_DW.encode("ascii").hex()
_TYPE_HEX = slice(2 * frames.TYPE_OFFSET, 2 * frames.TYPE_OFFSET + 4)
_MESSAGE_TYPE_HEX = slice(2 * frames.MESSAGE_TYPE_OFFSET, 2 * frames.MESSAGE_TYPE_OFFSET + 2)
_FLAGS_HEX = slice(2 * frames.RANGING_FLAGS_OFFSET, 2 * frames.RANGING_FLAGS_OFFSET + 2)
_RANGING_HEX = f"{frames.MESSAGE_TYPE_RANGING:02x}"


@dataclass
class Replay:
    """What a replay found; positions in metres in the survey's frame."""

    counts: LiveCounters
    dist_unit: float
    check_fcs: bool
    checksum: str = frames.FCS_NAME  # the checksum's name, checked or not
    survey: Optional[Survey] = None
    survey_error: Optional[str] = None
    fixes: List[TrackFix] = field(default_factory=list)
    smoothed: bool = False  # fixes are the filtered ones smoothed
    sigma: float = 0.0  # ranging noise the tracker used at the end (m)
    noise_source: str = MEASURED
    layout_error: Optional[str] = None
    tags: Dict[int, TagCounts] = field(default_factory=dict)
    unknown_peers: int = 0
    # The offsets in use at the end (learned, or given and refined), with
    # their standard deviations, and the records to save them in.
    anchor_offsets: Dict[int, Tuple[float, float]] = field(default_factory=dict)
    tag_offsets: Dict[int, Tuple[float, float]] = field(default_factory=dict)
    learned_anchors: Dict[int, devices.Anchor] = field(default_factory=dict)
    learned_tags: Dict[int, devices.Tag] = field(default_factory=dict)
    # With a site: its frame, the zone events made, the zones' occupancy at
    # the end; and what the replay had to say (a frame's poor fit).
    site_frame: Optional[SiteFrame] = None
    zones: List[str] = field(default_factory=list)
    events: int = 0
    occupancy: Dict[str, List[str]] = field(default_factory=dict)
    log: List[str] = field(default_factory=list)


@dataclass
class CaptureSettings:
    """How a capture's frames are read: its unit and checksum."""

    dist_unit: float
    check_fcs: bool
    checksum_name: str  # the declared (or default) checksum, checked or not

    @property
    def checksum(self) -> Optional[messages.Checksum]:
        return frames.checksum(self.checksum_name) if self.check_fcs else None


def capture_settings(metadata: Mapping[str, str], *, dist_unit: Optional[float] = None,
                     check_fcs: Optional[bool] = None) -> CaptureSettings:
    """`dist_unit` (metres per raw count) defaults to the capture's metadata,
    then to centimetres. Checksums are checked when the capture declares
    one, with the checksum it names; `check_fcs` True checks them anyway (the
    802.15.4 FCS when none is declared) and False never. A declared checksum
    of an unknown name raises ValueError unless `check_fcs` is False."""
    if dist_unit is None:
        text = metadata.get("dist_unit_m")
        dist_unit = DEFAULT_DIST_UNIT if text is None else capture.dist_unit(text)
    else:
        capture.check_dist_unit(dist_unit)
    declared = metadata.get("fcs")
    if check_fcs is None:
        check_fcs = declared is not None
    name = frames.FCS_NAME if declared is None else declared
    if check_fcs:
        try:
            frames.checksum(name)
        except ValueError as error:
            raise ValueError(f"the capture declares an {error}") from None
    return CaptureSettings(dist_unit, check_fcs, name)


@dataclass
class Surveyed:
    """What the first pass found: the settings, the distance table, the
    anchors (surveyed or known) or why there are none."""

    settings: CaptureSettings
    table: DistanceTable
    survey: Optional[Survey] = None
    survey_error: Optional[str] = None
    layout_error: Optional[str] = None
    sigma: Optional[float] = None
    noise_source: str = MEASURED

    @property
    def dist_unit(self) -> float:
        return self.settings.dist_unit

    @property
    def check_fcs(self) -> bool:
        return self.settings.check_fcs

    @property
    def checksum(self) -> str:
        return self.settings.checksum_name

    @property
    def tracking(self) -> bool:
        """Whether the tags can be tracked: anchors placed, layout sound."""
        return self.survey is not None and self.layout_error is None

    @property
    def anchors(self) -> Dict[int, devices.Anchor]:
        """The anchors to track against, none when not surveyed."""
        return surveyed_anchors(self.survey) if self.survey is not None else {}


def _iterate(lines: Lines) -> Iterator[str]:
    return iter(lines()) if callable(lines) else iter(lines)


def _metadata(lines: Lines) -> Dict[str, str]:
    return capture.read_metadata(_iterate(lines))


def survey_capture(lines: Lines, *, dist_unit: Optional[float] = None,
                   check_fcs: Optional[bool] = None,
                   anchors: Optional[Mapping[int, object]] = None,
                   sigma: Optional[float] = None,
                   progress: Optional[Progress] = None, total: int = 0) -> Surveyed:
    """The first pass: the anchors' distances, the survey (or the `anchors`
    known: devices.Anchor records or positions), the layout check and the
    ranging noise (`sigma` unless given; None when the anchors' ranges are
    too few to tell, and the tracker estimates it).
    Raises ValueError for bad settings and capture.NotACapture."""
    settings = capture_settings(_metadata(lines), dist_unit=dist_unit, check_fcs=check_fcs)
    table = DistanceTable()
    unit = settings.dist_unit
    checksum = settings.checksum
    done = 0
    for line in capture.capture_lines(_iterate(lines)):
        if progress is not None:
            done += len(line)
            progress("survey", done, total)
        parts = line.split()
        if len(parts) != 2:
            continue
        hex_frame = parts[1]
        # Only anchor ranging messages matter here: "DW", type 16, the anchor flag.
        if (hex_frame[_TYPE_HEX].lower() != _DW_HEX
                or hex_frame[_MESSAGE_TYPE_HEX].lower() != _RANGING_HEX
                or not int(hex_frame[_FLAGS_HEX] or "0", 16) & frames.FLAG_ANCHOR):
            continue
        try:
            item = capture.parse_line(line)
        except (capture.LineError, ValueError):
            continue
        if item is None:
            continue
        try:
            message = decode(item.time, item.frame, checksum)
        except messages.Skip:
            continue
        if message is not None and message.is_anchor:
            table.add_message(message.src, [(peer, raw * unit) for peer, raw in message.reports])
    found = Surveyed(settings, table)
    try:
        found.survey = known_anchors(anchors) if anchors is not None else survey(table)
    except SurveyError as error:
        found.survey_error = str(error)
        return found
    found.layout_error = layout_problem(found.survey.positions)
    if sigma is not None:
        found.sigma, found.noise_source = sigma, "given"
    else:
        found.sigma, found.noise_source = ranging_noise(table, unit), MEASURED
    return found


class _Collect(Sink):
    """Hands the fixes (as Positions, in the outputs' frame) and the zone
    events on, and keeps the fixes when asked."""

    def __init__(self, on_fix: Optional[Callable[[Position], None]],
                 on_event: Optional[Callable[[ZoneEvent], None]], keep: bool):
        self.on_fix = on_fix
        self.on_event = on_event
        self.fixes: Optional[List[TrackFix]] = [] if keep else None
        self.events = 0

    def fix(self, position: Position) -> None:
        if self.fixes is not None:
            self.fixes.append(position.fix)
        if self.on_fix is not None:
            self.on_fix(position)

    def event(self, event: ZoneEvent) -> None:
        self.events += 1
        if self.on_event is not None:
            self.on_event(event)


def replay(lines: Lines, *, dist_unit: Optional[float] = None,
           check_fcs: Optional[bool] = None, progress: Optional[Progress] = None,
           anchors: Optional[Mapping[int, Sequence[float]]] = None, smooth: bool = False,
           sigma: Optional[float] = None, on_fix: Optional[Callable[[Position], None]] = None,
           keep_fixes: bool = True, total: int = 0, site: Optional[Site] = None,
           on_event: Optional[Callable[[ZoneEvent], None]] = None,
           **tracker_options) -> Replay:
    """Replays capture `lines` (a sequence, or a function that opens them
    afresh, for the two passes). See `capture_settings` for `dist_unit` and
    `check_fcs`. Known `anchors` (address to x, y, ...) in metres replace
    the survey, so a capture without anchor messages can be tracked too.
    With `smooth` the fixes are smoothed over each tag's whole track.
    `sigma` is the ranging noise the tracker assumes (default: the spread of
    the anchors' repeated ranges of one another); `tracker_options` go to
    the Tracker. Each fix goes to `on_fix` as it is made (smoothed: at the
    end), as a Position, and with `keep_fixes` into the result. A `site`
    puts the positions in its frame and its zones' events go to `on_event`
    (from the fixes as made, as live makes them). `total` is what
    `progress` counts to (characters of the capture, for a file)."""
    if not total and not callable(lines):
        total = sum(map(len, lines))
    surveyed = survey_capture(lines, dist_unit=dist_unit, check_fcs=check_fcs,
                              anchors=anchors, sigma=sigma, progress=progress, total=total)
    return replay_surveyed(lines, surveyed, smooth=smooth, on_fix=on_fix, keep_fixes=keep_fixes,
                           progress=progress, total=total, site=site, on_event=on_event,
                           **tracker_options)


def replay_surveyed(lines: Lines, surveyed: Surveyed, *, smooth: bool = False,
                    on_fix: Optional[Callable[[Position], None]] = None, keep_fixes: bool = True,
                    progress: Optional[Progress] = None, total: int = 0,
                    site: Optional[Site] = None,
                    on_event: Optional[Callable[[ZoneEvent], None]] = None,
                    **tracker_options) -> Replay:
    """The second pass of a replay, after `survey_capture` of the same lines."""
    settings = surveyed.settings
    counters = LiveCounters()
    result = Replay(counters, settings.dist_unit, settings.check_fcs, settings.checksum_name,
                    survey=surveyed.survey, layout_error=surveyed.layout_error,
                    sigma=surveyed.sigma or 0.0, noise_source=surveyed.noise_source,
                    tags=counters.tags, smoothed=smooth)
    if surveyed.tracking:
        _track(lines, surveyed, result, smooth, _Collect(on_fix, on_event, keep_fixes),
               progress, total, site, tracker_options)
    else:
        _count(lines, surveyed, result)
    result.unknown_peers += surveyed.table.unknown_reports()
    return result


def _track(lines: Lines, surveyed: Surveyed, result: Replay, smooth: bool, collect: "_Collect",
           progress: Optional[Progress], total: int, site: Optional[Site],
           tracker_options: dict) -> None:
    """The second pass: every line through a pipeline that knows the anchors.
    Smoothed, the fixes are held back for the end; their zone events are
    those of the fixes as made."""
    settings = surveyed.settings
    options = dict(tracker_options)
    anchors = surveyed.anchors
    if site is not None and not surveyed.survey.known:  # type: ignore[union-attr]
        anchors = site_named_anchors(anchors, site)
    held = _Collect(None, collect.on_event, keep=False) if smooth else collect
    pipeline = Pipeline([held], counters=result.counts,
                        anchors=anchors, dist_unit=settings.dist_unit,
                        checksum_name=settings.checksum_name if settings.check_fcs else "",
                        sigma=surveyed.sigma, noise_source=surveyed.noise_source,
                        tags=options.pop("tags", None), tag_height=options.pop("height", None),
                        smoothing=smooth, site=site, tracker_options=options, clock=_no_clock,
                        log=result.log.append)
    done = 0
    for line in _iterate(lines):
        if progress is not None:
            done += len(line)
            progress("track", done, total)
        pipeline.feed_line(line)
    pipeline.tick()  # the zones' last timeouts
    stage = pipeline.site_stage
    if smooth:
        tracking = pipeline.tracking
        for fix in pipeline.smoothed():
            position = Position(fix, tracking.height(fix.tag) if tracking else 0.0, (), ())
            if stage is not None:
                position.site, position.frame = stage.frame.place(fix.x, fix.y), stage.frame.name
            collect.fix(position)
    if collect.fixes is not None:
        result.fixes = collect.fixes
    result.events = held.events
    if stage is not None:
        result.site_frame = stage.frame
        result.zones = [zone.name for zone in stage.zones.zones]
        result.occupancy = {zone: stage.occupancy().get(zone, []) for zone in result.zones}
    result.unknown_peers = result.counts.unknown_peers
    tracking = pipeline.tracking
    if tracking is not None:
        result.sigma, result.noise_source = tracking.sigma, tracking.noise_source
        result.anchor_offsets = tracking.anchor_offsets()
        result.tag_offsets = tracking.tag_offsets()
        result.learned_anchors = tracking.learned_anchors()
        result.learned_tags = tracking.learned_tags()


def _count(lines: Lines, surveyed: Surveyed, result: Replay) -> None:
    """The second pass of a capture that cannot be tracked: its frames
    counted, and why not said, naming what the capture lacks."""
    stage = messages.MessageStage(result.counts, surveyed.settings.checksum)
    peers: Set[int] = set()
    for text in _iterate(lines):
        line = stage.frame_line(text)
        message = stage.frame(line.time, line.frame) if line is not None else None
        if message is not None and not message.is_anchor:
            peers.update(peer for peer, _ in message.reports)
    if surveyed.survey is None:
        result.survey_error = _survey_failure(surveyed, result.counts, peers)


def _no_clock() -> float:
    """A replay's pipeline runs no periodic checks: its clock stands still."""
    return 0.0


def _survey_failure(surveyed: Surveyed, counts: LiveCounters, peers: set) -> str:
    """Why the anchors could not be placed, naming what the capture lacks."""
    error = surveyed.survey_error
    if counts.read == 0:
        return "the capture holds no frames"
    if not counts.decoded:
        return f"{error}: none of the capture's {counts.read} frames is a ranging message"
    anchors = sorted(surveyed.table.addresses)
    text = str(error)
    if len(anchors) < MIN_ANCHORS:
        heard = ", ".join(f"{a:04X}" for a in anchors) or "none"
        text += f" (anchor messages from: {heard})"
        unheard = sorted(peers - set(anchors))
        if unheard:
            text += ("; the tags range to " + ", ".join(f"{a:04X}" for a in unheard)
                     + ", which sent no anchor messages")
    return text


def replay_file(path: capture.PathLike, **options) -> Replay:
    """Replays a capture file, reading it twice as it streams; `progress`
    counts its characters."""
    def lines() -> Iterator[str]:
        with capture.open_text(path) as source:
            yield from source

    return replay(lines, total=os.path.getsize(path), **options)
