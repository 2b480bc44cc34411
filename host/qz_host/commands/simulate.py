"""``qz-host simulate``: a simulated capture and its ground truth beside it."""

from __future__ import annotations

import argparse
import shlex
from pathlib import Path
from typing import TextIO

from ..options import SECONDS, UNIT, number, whole
from .base import CommandError, check_writable

# Bounds of the numeric options: what a hall of UWB radios can mean, and a
# capture that fits on a disc.
_RATE = number(0, 1000, above=True)
_SPEED = number(0, 50, above=True)
_SIGMA = number(0, 10)  # a noiseless simulation is allowed
_PROBABILITY = number(0, 1, below=True)
_TAG_COUNT = whole(1, 0x0FFF)
MAX_TAG_MESSAGES = 1_000_000
# Simulate's arguments that are not options of the scenario.
_NOT_RECORDED = ("command", "output", "force", "handler")


def _anchor_count(text: str) -> int:
    count = _TAG_COUNT(text)
    if not 4 <= count <= 15:
        raise argparse.ArgumentTypeError(f"the hall takes 4 to 15 anchors, got {count}")
    return count


def register(commands) -> None:
    sim = commands.add_parser(
        "simulate", help="write a simulated capture and its ground truth",
        description="Simulate anchors in a hall and tags walking among them; write the "
                    "capture and, beside it, NAME.anchors.csv and NAME.tracks.csv.")
    sim.add_argument("output", type=Path, help="capture file to write, e.g. hall.qzcap")
    sim.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    sim.add_argument("--duration", type=SECONDS, default=30.0,
                     help="seconds of tag walking, up to a day (default 30)")
    sim.add_argument("--rate", type=_RATE, default=10.0,
                     help="tag fixes per second, up to 1000 (default 10)")
    sim.add_argument("--tags", type=_TAG_COUNT, default=2, help="number of tags (default 2)")
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
    sim.add_argument("--anchors", type=_anchor_count, default=6,
                     help="anchors along the hall's walls, 4 to 15 (default 6)")
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
        else:
            words += [option, shlex.quote(repr(value) if isinstance(value, float) else str(value))]
    return " ".join(words)


def run(args: argparse.Namespace, out: TextIO) -> int:
    from .. import capture
    from ..simulate import DEFAULT_TAGS, Scenario, simulate, wall_anchors

    tags = tuple(DEFAULT_TAGS[0] + k for k in range(args.tags))
    try:
        scenario = Scenario(tags=tags, seed=args.seed, duration=args.duration, rate=args.rate,
                            speed=args.speed, sigma=args.sigma, dropout=args.dropout,
                            nlos=args.nlos, unit=args.unit,
                            anchors=wall_anchors(args.anchors))
    except ValueError as error:
        raise CommandError(str(error)) from None
    messages = round(args.duration * args.rate) * args.tags
    if messages > MAX_TAG_MESSAGES:
        raise CommandError(f"{args.tags} tags for {args.duration:g} s at {args.rate:g} Hz make "
                           f"{messages} tag messages, more than {MAX_TAG_MESSAGES}")
    anchors_path, tracks_path = capture.truth_paths(args.output)
    paths = [args.output, anchors_path, tracks_path]
    existing = [str(p) for p in paths if p.exists()]
    if existing and not args.force:
        raise CommandError(f"will not replace {', '.join(existing)}: pass --force to replace")
    for path in paths:
        check_writable(path)
    result = simulate(scenario)
    try:
        capture.write_capture(args.output, result.frames,
                              dict(result.metadata, source=recorded_command(args)))
        capture.write_anchors(anchors_path, result.anchors)
        capture.write_tracks(tracks_path, result.tracks)
    except OSError as error:
        raise CommandError(f"cannot write {error.filename}: {error.strerror}") from None
    print(f"wrote {args.output} ({len(result.frames)} frames), {anchors_path}, {tracks_path}",
          file=out)
    return 0
