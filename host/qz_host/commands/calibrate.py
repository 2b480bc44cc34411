"""``qz-host calibrate``: each anchor's and each tag's range offset, from a
capture whose tags' true positions are known.

The truth is a tracks file (``time,tag,x,y``; by default the one beside the
capture) or tags standing at measured points (``--point TAG=X,Y[,Z]``,
between ``--from`` and ``--to``). The anchors are known (``--anchors`` or
``--site``); the tags' heights come from ``--tags``, ``--tag-height`` or
the anchors' plane, as for tracking. The offsets are written in the files'
own formats, for ``--anchors`` and ``--tags`` at the next start.
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path
from typing import Dict, List, Optional, TextIO, Tuple

from .. import capture, devices, messages
from ..options import number
from . import site_inputs
from .base import CommandError, check_outputs
from .replay import capture_options

_TIME = number(-1e9, 1e9)
Point = Tuple[int, Tuple[float, float, Optional[float]]]


def point(text: str) -> Point:
    """TAG=X,Y[,Z]: a tag standing at a measured point."""
    tag_text, sep, where = text.partition("=")
    try:
        tag = devices.address(tag_text.strip())
        values = [float(v) for v in where.split(",")]
    except ValueError:
        values = []
        tag = -1
    if not sep or tag < 0 or len(values) not in (2, 3) or not all(map(math.isfinite, values)):
        raise argparse.ArgumentTypeError(f"expected TAG=X,Y[,Z] (metres), got {text!r}")
    return tag, (values[0], values[1], values[2] if len(values) == 3 else None)


def register(commands) -> None:
    cal = commands.add_parser(
        "calibrate", help="range offsets of anchors and tags from a capture with truth",
        description="Estimate each anchor's and each tag's range offset (antenna delay) from "
                    "a capture whose tags' true positions are known, by robust least squares, "
                    "print them with their uncertainty and the range errors before and after, "
                    "and write them for --anchors and --tags.")
    cal.add_argument("capture", type=Path, help="capture file")
    capture_options(cal, truth=False)
    site_inputs.add_options(cal, noise=False)
    truth = cal.add_mutually_exclusive_group()
    truth.add_argument("--truth", type=Path, metavar="TRACKS.csv",
                       help="the tags' true tracks (time,tag,x,y; default: NAME.tracks.csv "
                            "beside the capture)")
    truth.add_argument("--point", type=point, action="append", metavar="TAG=X,Y[,Z]",
                       help="a tag standing at this measured point (again for more tags)")
    cal.add_argument("--from", dest="start", type=_TIME, metavar="S",
                     help="use the messages from this time on (s, the capture's clock)")
    cal.add_argument("--to", dest="end", type=_TIME, metavar="S",
                     help="use the messages up to this time (s)")
    cal.add_argument("--write-anchors", type=Path, metavar="OUT.csv",
                     help="write the anchors with their offsets (for --anchors)")
    cal.add_argument("--write-tags", type=Path, metavar="OUT.csv",
                     help="write the tags with their heights and offsets (for --tags)")
    cal.set_defaults(handler=run)


def run(args: argparse.Namespace, out: TextIO) -> int:
    from ..calibration import CalibrationError, Sample, calibrate, samples_from_tracks

    site = site_inputs.read(args)
    if site.anchors is None:
        raise CommandError("calibrate needs the anchors' positions: --anchors FILE or a site "
                           "file that gives them")
    truth_path = args.truth
    if truth_path is None and not args.point:
        truth_path = capture.truth_paths(args.capture)[1]
        if not truth_path.exists():
            raise CommandError(f"no truth: give --truth TRACKS.csv or --point TAG=X,Y (there is "
                               f"no {truth_path} beside the capture)")
    if args.point and (args.start is None or args.end is None):
        raise CommandError("--point needs --from and --to: when the tags stood there")
    inputs = [args.capture] + site.inputs + ([truth_path] if truth_path else [])
    check_outputs(inputs, [p for p in (args.write_anchors, args.write_tags) if p is not None])

    addresses = sorted(site.anchors)
    index = {a: i for i, a in enumerate(addresses)}
    anchors = [site.anchors[a] for a in addresses]
    plane = math.fsum(a.z for a in anchors) / len(anchors)
    default_height = site.tag_height if site.tag_height is not None else plane
    heights = {t: d.height for t, d in site.tags.items() if d.height is not None}
    try:
        tag_messages = _tag_messages(args, index)
    except OSError as error:
        raise CommandError(f"cannot read {args.capture}: {error.strerror}") from None
    except ValueError as error:  # not a capture, a bad unit or checksum
        raise CommandError(f"{args.capture}: {error}") from None
    if args.point:
        standing = dict(args.point)
        samples = [Sample(tag, (standing[tag][0], standing[tag][1],
                                standing[tag][2] if standing[tag][2] is not None
                                else heights.get(tag, default_height)), distances)
                   for tag, _, distances in tag_messages if tag in standing]
        source = "tags standing at " + ", ".join(f"{t:04X}" for t in sorted(standing))
    else:
        try:
            tracks = capture.read_tracks(truth_path)
        except OSError as error:
            raise CommandError(f"cannot read {truth_path}: {error.strerror}") from None
        except ValueError as error:
            raise CommandError(str(error)) from None
        samples = samples_from_tracks(tag_messages, tracks, heights, default_height)
        source = f"the truth in {truth_path}"
    try:
        found = calibrate(samples, [a.position for a in anchors])
    except CalibrationError as error:
        raise CommandError(f"cannot calibrate: {error}") from None

    out.write(_report(args.capture, source, len(samples), found, addresses))
    written = []
    anchors_out = {a: devices.Anchor(spec.x, spec.y, spec.z, found.anchors[k][0], spec.name)
                   for k, (a, spec) in enumerate(zip(addresses, anchors))}
    tags_out = {t: devices.Tag(site.tags.get(t, devices.Tag()).name,
                               heights.get(t, default_height), offset)
                for t, (offset, _) in found.tags.items()}
    try:
        if args.write_anchors is not None:
            devices.write_anchors(args.write_anchors, anchors_out, exact=True)
            written.append(str(args.write_anchors))
        if args.write_tags is not None:
            devices.write_tags(args.write_tags, tags_out)
            written.append(str(args.write_tags))
    except OSError as error:
        raise CommandError(f"cannot write {error.filename}: {error.strerror}") from None
    if written:
        out.write(f"wrote {', '.join(written)}\n")
    return 0


def _tag_messages(args: argparse.Namespace,
                  index: Dict[int, int]) -> List[Tuple[int, float, List[float]]]:
    """(tag, time, one distance per anchor) of the capture's tag messages
    within --from and --to."""
    from ..replay import capture_settings

    with capture.open_text(args.capture) as source:
        header = capture.read_metadata(source)
    settings = capture_settings(header, dist_unit=args.unit, check_fcs=args.check_fcs)
    stage = messages.MessageStage(messages.FrameCounts(), settings.checksum)
    found = []
    with capture.open_text(args.capture) as source:
        for text in capture.capture_lines(source):
            line = stage.frame_line(text)
            if line is None:
                continue
            if (args.start is not None and line.time < args.start) or \
                    (args.end is not None and line.time > args.end):
                continue
            message = stage.frame(line.time, line.frame)
            if message is None or message.is_anchor:
                continue
            distances, _ = messages.distances(message.reports, index, settings.dist_unit)
            found.append((message.src, message.time, distances))
    return found


def _report(path: Path, source: str, samples: int, found, addresses: List[int]) -> str:
    lines = [f"Calibrate {path}: {samples} tag messages with {source}, {found.ranges} ranges",
             f"  {'anchor':<8}{'offset (m)':>11}{'sd (m)':>9}"]
    for address, (offset, sd) in zip(addresses, found.anchors):
        lines.append(f"  {address:04X}    {offset:+11.3f}{sd:9.3f}")
    lines.append(f"  {'tag':<8}{'offset (m)':>11}{'sd (m)':>9}")
    for tag, (offset, sd) in found.tags.items():
        lines.append(f"  {tag:04X}    {offset:+11.3f}{sd:9.3f}")
    (sd0, rms0), (sd1, rms1) = found.before, found.after
    lines.append(f"Ranges   error against the truth before: robust sd {sd0:.3f} m, RMS "
                 f"{rms0:.3f} m; after: robust sd {sd1:.3f} m, RMS {rms1:.3f} m")
    return "\n".join(lines) + "\n"
