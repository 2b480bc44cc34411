"""Command line: ``qz-host`` or ``python -m qz_host``.

Exit codes: 0 done; 1 the capture was read but the anchors could not be
surveyed; 2 bad arguments, or a file that cannot be read or written.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from typing import List, Optional, TextIO

from . import __version__

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


def _positive(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be positive, got {text}")
    return value


def _probability(text: str) -> float:
    value = float(text)
    if not 0 <= value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 0 and below 1, got {text}")
    return value


def _non_negative(text: str) -> float:
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {text}")
    return value


def _count(text: str) -> int:
    value = int(text)
    if not 1 <= value <= 0x0FFF:
        raise argparse.ArgumentTypeError(f"must be 1 to 4095, got {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
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
    sim.add_argument("--duration", type=_positive, default=30.0,
                     help="seconds of tag walking (default 30)")
    sim.add_argument("--rate", type=_positive, default=10.0, help="tag fixes per second (default 10)")
    sim.add_argument("--tags", type=_count, default=2, help="number of tags (default 2)")
    sim.add_argument("--speed", type=_positive, default=1.0, help="walking speed in m/s (default 1)")
    sim.add_argument("--sigma", type=_non_negative, default=0.05,
                     help="ranging noise, standard deviation in m (default 0.05)")
    sim.add_argument("--dropout", type=_probability, default=0.05,
                     help="probability that a report is missing (default 0.05)")
    sim.add_argument("--nlos", type=_probability, default=0.02,
                     help="probability of a non-line-of-sight outlier (default 0.02)")
    sim.add_argument("--unit", type=_positive, default=0.01,
                     help="metres per raw distance count (default 0.01, centimetres)")
    sim.add_argument("--anchors", type=_anchor_count, default=6,
                     help="anchors along the hall's walls, 4 to 15 (default 6)")

    rep = commands.add_parser(
        "replay", help="decode a capture, survey the anchors, track the tags",
        description="Replay a capture: decode every frame, survey the anchors from their "
                    "distances, track every tag, and print a summary. Ground truth beside "
                    "the capture (NAME.anchors.csv, NAME.tracks.csv) is used when present.")
    rep.add_argument("capture", type=Path, help="capture file")
    _replay_options(rep)
    rep.add_argument("--csv", type=Path, help="write the positions to this CSV file")
    rep.add_argument("--plot", type=Path, help="write a PNG picture to this file")
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
    return parser


def _anchor_count(text: str) -> int:
    count = _count(text)
    if not 4 <= count <= 15:
        raise argparse.ArgumentTypeError(f"the hall takes 4 to 15 anchors, got {count}")
    return count


def _replay_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--unit", type=_positive,
                        help="metres per raw distance count (default: the capture's "
                             "dist_unit_m, else 0.01)")
    fcs = parser.add_mutually_exclusive_group()
    fcs.add_argument("--fcs", dest="check_fcs", action="store_true", default=None,
                     help="check every frame's checksum")
    fcs.add_argument("--no-fcs", dest="check_fcs", action="store_false",
                     help="do not check checksums (default: as the capture declares)")
    parser.add_argument("--no-truth", action="store_true",
                        help="ignore ground truth beside the capture")


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
    result = simulate(scenario)
    anchors_path, tracks_path = capture.truth_paths(args.output)
    try:
        capture.write_capture(args.output, result.frames, result.metadata)
        capture.write_anchors(anchors_path, result.anchors)
        capture.write_tracks(tracks_path, result.tracks)
    except OSError as error:
        raise CommandError(f"cannot write {error.filename}: {error.strerror}") from None
    print(f"wrote {args.output} ({len(result.frames)} frames), {anchors_path}, {tracks_path}",
          file=out)
    return 0


def _run_replay(path: Path, out: TextIO, *, unit: Optional[float] = None,
                check_fcs: Optional[bool] = None, use_truth: bool = True,
                csv_path: Optional[Path] = None, png_path: Optional[Path] = None,
                smooth: bool = False) -> int:
    from . import capture, evaluate, report

    if png_path is not None:
        try:
            from .plot import require_matplotlib
            require_matplotlib()
        except ImportError as error:
            raise CommandError(str(error)) from None
    try:
        from .replay import replay
    except ImportError as error:
        raise CommandError(f"{error}: install this package's extension modules "
                           "(pip install .)") from None

    started = time.perf_counter()
    try:
        with open(path, encoding="ascii", errors="replace") as source:
            lines = source.readlines()
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror}") from None
    bar = ProgressBar(sys.stderr) if sys.stderr.isatty() else None
    try:
        result = replay(lines, dist_unit=unit, check_fcs=check_fcs, progress=bar,
                        smooth=smooth)
    except ValueError as error:
        raise CommandError(f"{path}: {error}") from None
    finally:
        if bar is not None:
            bar.close()

    evaluation = None
    note = ""
    anchors_path, tracks_path = capture.truth_paths(path)
    if use_truth and result.survey is not None and anchors_path.exists():
        try:
            truth_tracks = capture.read_tracks(tracks_path) if tracks_path.exists() else {}
            evaluation = evaluate.evaluate(result, capture.read_anchors(anchors_path), truth_tracks)
        except (OSError, ValueError) as error:
            note = f"ground truth not used: {error}"
    elapsed = time.perf_counter() - started

    try:
        if csv_path is not None and result.survey is not None:
            report.write_positions(csv_path, result, evaluation)
        if png_path is not None and result.survey is not None:
            from .plot import plot
            plot(png_path, result, evaluation, title=f"{path.name}: surveyed anchors and tracks")
    except OSError as error:
        raise CommandError(f"cannot write {error.filename}: {error.strerror}") from None
    total = time.perf_counter() - started
    timing = f"Time     replay {elapsed:.2f} s, with output files {total:.2f} s"
    out.write(report.summary(result, evaluation, source=str(path),
                             note="\n".join(filter(None, [note, timing]))))
    written = [str(p) for p in (csv_path, png_path) if p is not None and result.survey is not None]
    if written:
        out.write(f"wrote {', '.join(written)}\n")
    return 0 if result.survey is not None and result.layout_error is None else 1


def _replay(args: argparse.Namespace, out: TextIO) -> int:
    return _run_replay(args.capture, out, unit=args.unit, check_fcs=args.check_fcs,
                       use_truth=not args.no_truth, csv_path=args.csv, png_path=args.plot,
                       smooth=args.smooth)


def _demo(args: argparse.Namespace, out: TextIO) -> int:
    path: Path = args.capture
    out_dir: Path = args.out if args.out is not None else path.parent
    if not path.exists():
        if path != SAMPLE:
            raise CommandError(f"cannot read {path}: no such file")
        path = out_dir / SAMPLE.name
        print(f"{SAMPLE} not found: simulating it into {path}", file=out)
        out_dir.mkdir(parents=True, exist_ok=True)
        simulated = build_parser().parse_args(["simulate", str(path)])
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
    handler = {"simulate": _simulate, "replay": _replay, "demo": _demo}[args.command]
    try:
        return handler(args, out)
    except CommandError as error:
        print(f"qz-host {args.command}: error: {error}", file=sys.stderr)
        return 2
