"""``qz-host simulate``: a simulated capture and its ground truth beside it."""

from __future__ import annotations

import argparse
import shlex
from pathlib import Path
from typing import Callable, Dict, List, TextIO, Tuple, Union

from ..options import SECONDS, UNIT, number, whole
from .base import CommandError, check_outputs

# Bounds of the numeric options: what a hall of UWB radios can mean, and a
# capture that fits on a disc.
_RATE = number(0, 1000, above=True)
_SPEED = number(0, 50, above=True)
_SIGMA = number(0, 10)  # a noiseless simulation is allowed
_PROBABILITY = number(0, 1, below=True)
_SHORT = number(0, 0.05)
_OFFSET_SCALE = number(0, 1)
_NLOS_SCALE = number(0, 10, above=True)
_HEIGHT = number(-100, 100)
_TAG_COUNT = whole(1, 0x0FFF)
MAX_TAG_MESSAGES = 1_000_000
# Simulate's arguments that are not options of the scenario.
_NOT_RECORDED = ("command", "output", "force", "handler", "log_level", "log_format")
LAYOUTS = ("hall", "corridor")
PATHS = ("walk", "curve", "still", "back")
NLOS_MODELS = ("uniform", "exponential")


def _count_or_file(what: str, count: Callable[[str], int], low: int, high: int):
    """An option type for a count (`low` to `high`) or the path of an
    existing file."""
    def parse(text: str) -> Union[int, Path]:
        if text.strip().isdigit():
            value = count(text)
            if not low <= value <= high:
                raise argparse.ArgumentTypeError(f"the layout takes {low} to {high} {what}, "
                                                 f"got {value}")
            return value
        path = Path(text)
        if not path.is_file():
            raise argparse.ArgumentTypeError(
                f"neither a count of {low} to {high} {what} nor a {what} file: {text!r}")
        return path
    return parse


def _heights(text: str) -> Tuple[float, ...]:
    """Comma-separated heights (m)."""
    return tuple(_HEIGHT(part) for part in text.split(","))


def register(commands) -> None:
    sim = commands.add_parser(
        "simulate", help="write a simulated capture and its ground truth",
        description="Simulate anchors in a hall and tags moving among them, with the errors "
                    "real ranges have (device offsets, noise, dropouts, outliers); write the "
                    "capture and, beside it, NAME.anchors.csv, NAME.tags.csv and "
                    "NAME.tracks.csv.")
    sim.add_argument("output", type=Path, help="capture file to write, e.g. hall.qzcap")
    sim.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    sim.add_argument("--duration", type=SECONDS, default=30.0,
                     help="seconds of tag walking, up to a day (default 30)")
    sim.add_argument("--rate", type=_RATE, default=10.0,
                     help="tag fixes per second, up to 1000 (default 10)")
    sim.add_argument("--tags", type=_count_or_file("tags", _TAG_COUNT, 1, 0x0FFF), default=2,
                     help="number of tags, 1 to 4095, or a tags file (tag,name,height,offset) "
                          "whose heights and offsets are taken where given (default 2)")
    sim.add_argument("--speed", type=_SPEED, default=1.0,
                     help="walking speed in m/s, up to 50 (default 1)")
    sim.add_argument("--sigma", type=_SIGMA, default=0.05,
                     help="ranging noise, standard deviation in m (default 0.05)")
    sim.add_argument("--dropout", type=_PROBABILITY, default=0.05,
                     help="probability that a report is missing (default 0.05)")
    sim.add_argument("--nlos", type=_PROBABILITY, default=0.02,
                     help="probability of a non-line-of-sight outlier (default 0.02)")
    sim.add_argument("--unit", type=UNIT, default=0.01,
                     help="metres per raw distance count (default 0.01, centimetres)")
    sim.add_argument("--anchors", type=_count_or_file("anchors", _TAG_COUNT, 4, 15), default=6,
                     help="anchors along the layout's walls, 4 to 15, or an anchors file "
                          "(anchor,x,y,z[,offset]) whose offsets are taken where given "
                          "(default 6)")
    sim.add_argument("--layout", choices=LAYOUTS, default="hall",
                     help="the area whose walls the counted anchors stand along: hall "
                          "(20 m x 12 m) or corridor (40 m x 3 m); tags move inside it. With "
                          "an anchors file they move inside the anchors' bounding box "
                          "(default hall)")
    sim.add_argument("--path", choices=PATHS, default="walk",
                     help="how tags move: walk (straight lines, sharp turns), curve, still, "
                          "back (back and forth on a line) (default walk)")
    sim.add_argument("--anchor-height", type=_heights, default=(0.0,), metavar="M[,M...]",
                     help="z in m of the counted anchors, repeated over them in turn "
                          "(0.5,2.5 alternates); an anchors file's stand at its z (default 0)")
    sim.add_argument("--tag-height", type=_HEIGHT, default=0.0,
                     help="z in m at which tags are carried, where a tags file gives none "
                          "(default 0)")
    sim.add_argument("--anchor-offset", type=_OFFSET_SCALE, default=0.09,
                     help="scale of the anchors' range offsets in m: each is drawn from 0 to "
                          "twice it; 0 for none (default 0.09)")
    sim.add_argument("--tag-offset", type=_OFFSET_SCALE, default=0.09,
                     help="scale of the tags' range offsets in m, likewise (default 0.09)")
    sim.add_argument("--nlos-model", choices=NLOS_MODELS, default="uniform",
                     help="how long a non-line-of-sight range reads: uniform (from 1/3 to "
                          "5/3 of the scale) or exponential (default uniform)")
    sim.add_argument("--nlos-scale", type=_NLOS_SCALE, default=0.9,
                     help="mean excess of a non-line-of-sight range in m (default 0.9)")
    sim.add_argument("--short", type=_SHORT, default=0.0,
                     help="share of tag ranges that read more than 1 m short, in bursts on "
                          "one anchor at a time, up to 0.05 (default 0)")
    sim.add_argument("--force", action="store_true",
                     help="replace the capture and its ground truth if they exist")
    sim.set_defaults(handler=run)


def recorded_command(args: argparse.Namespace) -> str:
    """The command line that simulates the same capture again: every option
    of simulate with its value (flags when set), whatever options it has."""
    words = ["qz-host", "simulate"]
    for name, value in vars(args).items():
        if name in _NOT_RECORDED:
            continue
        option = "--" + name.replace("_", "-")
        if isinstance(value, bool):
            words += [option] if value else []
        elif isinstance(value, tuple):
            words += [option, shlex.quote(",".join(repr(v) for v in value))]
        else:
            words += [option, shlex.quote(repr(value) if isinstance(value, float) else str(value))]
    return " ".join(words)


def tags_path(capture_path: Path) -> Path:
    """Where the tags' truth (heights, offsets) of a capture lives."""
    from .. import capture
    anchors_path = capture.truth_paths(capture_path)[0]
    return anchors_path.with_name(anchors_path.name[:-len(".anchors.csv")] + ".tags.csv")


def _read(reader, path: Path):
    try:
        return reader(path)
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror}") from None
    except (UnicodeDecodeError, ValueError) as error:
        raise CommandError(f"{path}: {error}" if str(path) not in str(error)
                           else str(error)) from None


def scenario_options(args: argparse.Namespace) -> Tuple[dict, Dict[int, str]]:
    """The Scenario's fields that the options set, and the tags' names."""
    from .. import devices
    from ..simulate import DEFAULT_TAGS, LAYOUTS as AREAS, wall_anchors

    fixed: Dict[int, float] = {}
    if isinstance(args.anchors, Path):
        known = _read(devices.known_anchors, args.anchors)
        anchors: List[tuple] = [(a, s.x, s.y, s.z) for a, s in sorted(known.items())]
        fixed.update((a, s.offset) for a, s in known.items() if s.offset is not None)
        xs, ys = [a[1] for a in anchors], [a[2] for a in anchors]
        area = dict(hall=(max(xs) - min(xs), max(ys) - min(ys)), origin=(min(xs), min(ys)))
    else:
        hall = AREAS[args.layout]
        anchors = list(wall_anchors(args.anchors, hall))
        area = dict(hall=hall)
        heights = args.anchor_height
        if any(heights):
            anchors = [a + (heights[k % len(heights)],) for k, a in enumerate(anchors)]
    names: Dict[int, str] = {}
    tag_heights: Dict[int, float] = {}
    if isinstance(args.tags, Path):
        known_tags = _read(devices.read_tags, args.tags)
        if not known_tags:
            raise CommandError(f"{args.tags}: the file lists no tags")
        tags = tuple(sorted(known_tags))
        for tag, t in known_tags.items():
            if t.name is not None:
                names[tag] = t.name
            if t.height is not None:
                tag_heights[tag] = t.height
            if t.offset is not None:
                fixed[tag] = t.offset
    else:
        tags = tuple(DEFAULT_TAGS[0] + k for k in range(args.tags))
    options = dict(area, anchors=tuple(anchors), tags=tags, seed=args.seed,
                   duration=args.duration, rate=args.rate, speed=args.speed, sigma=args.sigma,
                   dropout=args.dropout, nlos=args.nlos, unit=args.unit, path=args.path,
                   tag_height=args.tag_height, tag_heights=tuple(sorted(tag_heights.items())),
                   anchor_offset=args.anchor_offset, tag_offset=args.tag_offset,
                   offsets=tuple(sorted(fixed.items())), nlos_model=args.nlos_model,
                   nlos_scale=args.nlos_scale, short=args.short)
    return options, names


def run(args: argparse.Namespace, out: TextIO) -> int:
    from .. import capture, devices
    from ..simulate import Scenario, simulate

    options, names = scenario_options(args)
    try:
        scenario = Scenario(**options)
    except ValueError as error:
        raise CommandError(str(error)) from None
    tag_count = len(scenario.tags)
    messages = round(args.duration * args.rate) * tag_count
    if messages > MAX_TAG_MESSAGES:
        raise CommandError(f"{tag_count} tags for {args.duration:g} s at {args.rate:g} Hz make "
                           f"{messages} tag messages, more than {MAX_TAG_MESSAGES}")
    anchors_path, tracks_path = capture.truth_paths(args.output)
    paths = [args.output, anchors_path, tags_path(args.output), tracks_path]
    existing = [str(p) for p in paths if p.exists()]
    if existing and not args.force:
        raise CommandError(f"will not replace {', '.join(existing)}: pass --force to replace")
    check_outputs([p for p in (args.anchors, args.tags) if isinstance(p, Path)], paths)
    result = simulate(scenario)
    try:
        capture.write_capture(args.output, result.frames,
                              dict(result.metadata, source=recorded_command(args)))
        devices.write_anchors(anchors_path, result.anchor_records())
        devices.write_tags(paths[2], result.tag_records(names))
        capture.write_tracks(tracks_path, result.tracks)
    except OSError as error:
        raise CommandError(f"cannot write {error.filename}: {error.strerror}") from None
    print(f"wrote {args.output} ({len(result.frames)} frames), {anchors_path}, {paths[2]}, "
          f"{tracks_path}", file=out)
    return 0
