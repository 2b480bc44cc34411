"""Command line: ``qz-host`` or ``python -m qz_host``.

Exit codes: 0 done; 1 the capture was read but the anchors could not be
surveyed; 2 bad arguments, or a file that cannot be read or written.
"""

from __future__ import annotations

import argparse
import os
import shlex
import sys
import time
from pathlib import Path
from typing import Dict, List, Optional, Sequence, TextIO, Tuple

from . import __version__, view
from .options import SECONDS, UNIT, number, whole

SAMPLE = Path("examples") / "hall.qzcap"


class CommandError(Exception):
    """A failure reported as one line on stderr with exit code 2."""


class ProgressBar:
    """A one-line progress bar on a terminal, drawn only once a replay has
    run for half a second, so short replays print nothing."""

    DELAY = 0.5
    INTERVAL = 0.1
    WIDTH = 30

    def __init__(self, stream: TextIO):
        self.stream = stream
        self.started = time.monotonic()
        self.drawn = 0.0

    def __call__(self, stage: str, done: int, total: int) -> None:
        now = time.monotonic()
        if now - self.started < self.DELAY or (now - self.drawn < self.INTERVAL and done < total):
            return
        self.drawn = now
        filled = self.WIDTH * done // max(total, 1)
        self.stream.write(f"\r{stage:<6} [{'#' * filled}{'.' * (self.WIDTH - filled)}] "
                          f"{done}/{total}")
        self.stream.flush()

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\r" + " " * (self.WIDTH + 30) + "\r")
            self.stream.flush()


_count = whole(1, 0x0FFF)


# Bounds of the numeric options: what a hall of UWB radios can mean, and a
# capture that fits on a disc.
_SECONDS = SECONDS
_RATE = number(0, 1000, above=True)
_SPEED = number(0, 50, above=True)
_SIGMA = number(0, 10)  # a noiseless simulation is allowed
_PROBABILITY = number(0, 1, below=True)
_UNIT = UNIT
MAX_TAG_MESSAGES = 1_000_000


def build_parser() -> argparse.ArgumentParser:
    from . import live

    parser = argparse.ArgumentParser(
        prog="qz-host",
        description="Simulate and replay captures of the UWB locating system: frames are "
                    "decoded with qz_packets, anchors surveyed with qz_autopos and tags "
                    "tracked with qz_engine.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    sim = commands.add_parser(
        "simulate", help="write a simulated capture and its ground truth",
        description="Simulate anchors in a hall and tags walking among them; write the "
                    "capture and, beside it, NAME.anchors.csv and NAME.tracks.csv.")
    sim.add_argument("output", type=Path, help="capture file to write, e.g. hall.qzcap")
    sim.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    sim.add_argument("--duration", type=_SECONDS, default=30.0,
                     help="seconds of tag walking, up to a day (default 30)")
    sim.add_argument("--rate", type=_RATE, default=10.0,
                     help="tag fixes per second, up to 1000 (default 10)")
    sim.add_argument("--tags", type=_count, default=2, help="number of tags (default 2)")
    sim.add_argument("--speed", type=_SPEED, default=1.0,
                     help="walking speed in m/s, up to 50 (default 1)")
    sim.add_argument("--sigma", type=_SIGMA, default=0.05,
                     help="ranging noise, standard deviation in m (default 0.05)")
    sim.add_argument("--dropout", type=_PROBABILITY, default=0.05,
                     help="probability that a report is missing (default 0.05)")
    sim.add_argument("--nlos", type=_PROBABILITY, default=0.02,
                     help="probability of a non-line-of-sight outlier (default 0.02)")
    sim.add_argument("--unit", type=_UNIT, default=0.01,
                     help="metres per raw distance count (default 0.01, centimetres)")
    sim.add_argument("--anchors", type=_anchor_count, default=6,
                     help="anchors along the hall's walls, 4 to 15 (default 6)")
    sim.add_argument("--force", action="store_true",
                     help="replace the capture and its ground truth if they exist")

    rep = commands.add_parser(
        "replay", help="decode a capture, survey the anchors, track the tags",
        description="Replay a capture: decode every frame, survey the anchors from their "
                    "distances, track every tag, and print a summary. Ground truth beside "
                    "the capture (NAME.anchors.csv, NAME.tracks.csv) is used when present.")
    rep.add_argument("capture", type=Path, help="capture file")
    _replay_options(rep)
    rep.add_argument("--anchors", type=Path, metavar="FILE",
                     help="known anchor positions (columns anchor,x,y,z in metres, as "
                          "NAME.anchors.csv): the anchors are not surveyed")
    rep.add_argument("--csv", type=Path, help="write the positions to this CSV file")
    rep.add_argument("--plot", type=Path,
                     help="write a picture to this file, in the format its suffix names "
                          "(.png, .svg, .pdf, .jpg, ...)")
    rep.add_argument("--smooth", action="store_true",
                     help="smooth each tag's whole track (offline) instead of the causal fixes")

    demo = commands.add_parser(
        "demo", help="replay the bundled sample capture, writing CSV and PNG",
        description=f"Replay the sample capture ({SAMPLE}; simulated with the default "
                    "settings when it is not there), print the summary and write "
                    "NAME.positions.csv and NAME.png into the output directory.")
    demo.add_argument("--capture", type=Path, default=SAMPLE,
                      help=f"capture to replay (default {SAMPLE})")
    demo.add_argument("--out", type=Path,
                      help="directory for the CSV and PNG (default: the capture's)")
    view.add_commands(commands)
    live.add_commands(commands)
    return parser


def _anchor_count(text: str) -> int:
    count = _count(text)
    if not 4 <= count <= 15:
        raise argparse.ArgumentTypeError(f"the hall takes 4 to 15 anchors, got {count}")
    return count


def _replay_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--unit", type=_UNIT,
                        help="metres per raw distance count (default: the capture's "
                             "dist_unit_m, else 0.01)")
    fcs = parser.add_mutually_exclusive_group()
    fcs.add_argument("--fcs", dest="check_fcs", action="store_true", default=None,
                     help="check every frame's checksum (the capture's declared one, "
                          "else the 802.15.4 FCS)")
    fcs.add_argument("--no-fcs", dest="check_fcs", action="store_false",
                     help="do not check checksums (default: as the capture declares)")
    parser.add_argument("--no-truth", action="store_true",
                        help="ignore ground truth beside the capture")


# Simulate's arguments that are not options of the scenario.
_NOT_RECORDED = ("command", "output", "force")


def _recorded_command(args: argparse.Namespace) -> str:
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


def _same_file(a: Path, b: Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist (yet)
        return a.resolve() == b.resolve()


def _check_writable(path: Path) -> None:
    """Raises CommandError unless `path` can be written, before any work
    that a failed write would throw away."""
    if path.is_dir():
        raise CommandError(f"cannot write {path}: it is a directory")
    parent = path.parent
    if not parent.is_dir():
        raise CommandError(f"cannot write {path}: no such directory {parent}")
    if not os.access(path if path.exists() else parent, os.W_OK):
        raise CommandError(f"cannot write {path}: permission denied")


def _check_outputs(inputs: Sequence[Path], outputs: Sequence[Path]) -> None:
    """Refuses an output that is an input or another output, under any
    name, and one that cannot be written."""
    for k, output in enumerate(outputs):
        for source in inputs:
            if _same_file(output, source):
                raise CommandError(f"will not write {output}: it is the input {source}")
        for other in outputs[:k]:
            if _same_file(output, other):
                raise CommandError(f"{output} is named for two outputs")
        _check_writable(output)


def _simulate(args: argparse.Namespace, out: TextIO) -> int:
    from . import capture
    from .simulate import DEFAULT_TAGS, Scenario, simulate, wall_anchors

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
        _check_writable(path)
    result = simulate(scenario)
    try:
        capture.write_capture(args.output, result.frames,
                              dict(result.metadata, source=_recorded_command(args)))
        capture.write_anchors(anchors_path, result.anchors)
        capture.write_tracks(tracks_path, result.tracks)
    except OSError as error:
        raise CommandError(f"cannot write {error.filename}: {error.strerror}") from None
    print(f"wrote {args.output} ({len(result.frames)} frames), {anchors_path}, {tracks_path}",
          file=out)
    return 0


def _read_known_anchors(path: Path) -> Dict[int, Tuple[float, float, float]]:
    from . import capture

    try:
        return capture.read_anchors(path)
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror}") from None
    except ValueError as error:
        raise CommandError(str(error)) from None


def _run_replay(path: Path, out: TextIO, *, unit: Optional[float] = None,
                check_fcs: Optional[bool] = None, use_truth: bool = True,
                csv_path: Optional[Path] = None, png_path: Optional[Path] = None,
                anchors_path: Optional[Path] = None, smooth: bool = False) -> int:
    from . import capture, evaluate, report

    try:
        from .replay import replay
    except ImportError as error:
        raise CommandError(f"{error}: install this package's extension modules "
                           "(pip install .)") from None
    anchors_truth, tracks_truth = capture.truth_paths(path)
    inputs = [path, anchors_truth, tracks_truth] + ([anchors_path] if anchors_path else [])
    _check_outputs(inputs, [p for p in (csv_path, png_path) if p is not None])
    if png_path is not None:
        from .plot import picture_format, plot, require_matplotlib
        try:
            require_matplotlib()
            picture_format(png_path)
        except (ImportError, ValueError) as error:
            raise CommandError(str(error)) from None
    known = _read_known_anchors(anchors_path) if anchors_path is not None else None

    started = time.perf_counter()
    try:
        lines = capture.read_lines(path)
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror}") from None
    except capture.NotACapture as error:
        raise CommandError(f"{path}: {error}") from None
    bar = ProgressBar(sys.stderr) if sys.stderr.isatty() else None
    try:
        result = replay(lines, dist_unit=unit, check_fcs=check_fcs, progress=bar, anchors=known,
                        smooth=smooth)
    except ValueError as error:
        raise CommandError(f"{path}: {error}") from None
    finally:
        if bar is not None:
            bar.close()

    evaluation = None
    notes = []
    if use_truth and result.survey is not None and anchors_truth.exists():
        try:
            truth_tracks = capture.read_tracks(tracks_truth) if tracks_truth.exists() else {}
            evaluation = evaluate.evaluate(result, capture.read_anchors(anchors_truth), truth_tracks)
        except (OSError, ValueError) as error:
            notes.append(f"ground truth not used: {error}")
    elapsed = time.perf_counter() - started

    # Every output is tried and the summary printed whatever fails: the
    # replay's work is not thrown away over one file.
    written, failures = [], []
    if result.survey is not None:
        kind = "known" if known is not None else "surveyed"
        writers = [(csv_path, lambda target: report.write_positions(target, result, evaluation)),
                   (png_path, lambda target: plot(target, result, evaluation,
                                                   title=f"{path.name}: {kind} anchors and tracks"))]
        for target, write in writers:
            if target is None:
                continue
            try:
                write(target)
                written.append(str(target))
            except OSError as error:
                failures.append(f"cannot write {target}: {error.strerror or error}")
    elif known is None and result.counts.decoded:
        notes.append("         known anchor positions can be given with --anchors FILE")
    total = time.perf_counter() - started
    notes.append(f"Time     replay {elapsed:.2f} s, with output files {total:.2f} s")
    out.write(report.summary(result, evaluation, source=str(path), note="\n".join(notes)))
    if written:
        out.write(f"wrote {', '.join(written)}\n")
    if failures:
        raise CommandError("; ".join(failures))
    return 0 if result.survey is not None and result.layout_error is None else 1


def _replay(args: argparse.Namespace, out: TextIO) -> int:
    return _run_replay(args.capture, out, unit=args.unit, check_fcs=args.check_fcs,
                       use_truth=not args.no_truth, csv_path=args.csv, png_path=args.plot,
                       anchors_path=args.anchors, smooth=args.smooth)


def _demo(args: argparse.Namespace, out: TextIO) -> int:
    path: Path = args.capture
    out_dir: Path = args.out if args.out is not None else path.parent
    if not path.exists():
        if path != SAMPLE:
            raise CommandError(f"cannot read {path}: no such file")
        path = out_dir / SAMPLE.name
        print(f"{SAMPLE} not found: simulating it into {path}", file=out)
        out_dir.mkdir(parents=True, exist_ok=True)
        # The sample is made anew, with any ground truth left beside it.
        simulated = build_parser().parse_args(["simulate", str(path), "--force"])
        _simulate(simulated, out)
    stem = path.with_suffix("").name
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise CommandError(f"cannot create {out_dir}: {error.strerror}") from None
    return _run_replay(path, out, csv_path=out_dir / f"{stem}.positions.csv",
                       png_path=out_dir / f"{stem}.png")


def main(argv: Optional[List[str]] = None, out: Optional[TextIO] = None) -> int:
    out = out if out is not None else sys.stdout
    args = build_parser().parse_args(argv)
    handler = getattr(args, "handler", None) or {
        "simulate": _simulate, "replay": _replay, "demo": _demo}[args.command]
    try:
        return handler(args, out)
    except CommandError as error:
        print(f"qz-host {args.command}: error: {error}", file=sys.stderr)
        return 2
