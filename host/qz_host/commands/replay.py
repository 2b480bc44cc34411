"""``qz-host replay``: a capture decoded, its anchors surveyed, its tags
tracked, and the summary printed (with the errors, when ground truth lies
beside the capture)."""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path
from typing import Optional, TextIO

from ..options import UNIT
from . import site_inputs
from .base import CommandError, check_outputs


def register(commands) -> None:
    rep = commands.add_parser(
        "replay", help="decode a capture, survey the anchors, track the tags",
        description="Replay a capture: decode every frame, survey the anchors from their "
                    "distances, track every tag, and print a summary. Ground truth beside "
                    "the capture (NAME.anchors.csv, NAME.tracks.csv) is used when present.")
    rep.add_argument("capture", type=Path, help="capture file")
    capture_options(rep)
    site_inputs.add_options(rep)
    rep.add_argument("--csv", type=Path, help="write the positions to this CSV file")
    rep.add_argument("--plot", type=Path,
                     help="write a picture to this file, in the format its suffix names "
                          "(.png, .svg, .pdf, .jpg, ...)")
    rep.add_argument("--smooth", action="store_true",
                     help="smooth each tag's whole track (offline) instead of the causal fixes")
    rep.add_argument("--save-anchors", type=Path, metavar="FILE",
                     help="write the anchors with the range offsets learned, for --anchors")
    rep.add_argument("--save-tags", type=Path, metavar="FILE",
                     help="write the tags with the range offsets learned, for --tags")
    rep.set_defaults(handler=run)


def capture_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--unit", type=UNIT,
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



class _Outputs:
    """Where the fixes go as they come: the errors against the truth and the
    positions CSV. A write that fails is said once, at the end, and stops
    only that output. Where the survey cannot tell its mirror image apart,
    the CSV waits for the tracks to decide."""

    def __init__(self, evaluator, csv_path: Optional[Path], known: bool):
        from .. import report

        self.evaluator = evaluator
        self.csv_path = csv_path
        self.failure: Optional[str] = None
        self.deferred: list = []
        self.writer = None
        if csv_path is not None:
            try:
                self.writer = report.PositionsWriter(csv_path, truth=evaluator is not None,
                                                     known=known)
            except OSError as error:
                self._failed(error)

    def _failed(self, error: OSError) -> None:
        self.failure = f"cannot write {self.csv_path}: {error.strerror or error}"
        if self.writer is not None:
            writer, self.writer = self.writer, None
            try:
                writer.close()
            except OSError:
                pass  # the first failure is the one said

    def fix(self, fix) -> None:
        truth, error = self.evaluator.add(fix) if self.evaluator is not None else (None, None)
        if self.writer is None:
            return
        if self.evaluator is not None and self.evaluator.ambiguous:
            self.deferred.append(fix)
            return
        self._write(fix, truth, error)

    def _write(self, fix, truth, error) -> None:
        if self.writer is None:
            return
        try:
            self.writer.write(fix, truth, error)
        except OSError as failure:
            self._failed(failure)

    def close(self) -> Optional[str]:
        """Writes what waited and closes the CSV; the failure, if any."""
        for fix in self.deferred:
            self._write(fix, *self.evaluator.truth(fix))
        if self.writer is not None:
            try:
                self.writer.close()
            except OSError as error:
                self._failed(error)
        return self.failure


def run_replay(path: Path, out: TextIO, *, unit: Optional[float] = None,
               check_fcs: Optional[bool] = None, use_truth: bool = True,
               csv_path: Optional[Path] = None, png_path: Optional[Path] = None,
               site: Optional[site_inputs.SiteInputs] = None, smooth: bool = False,
               save_anchors: Optional[Path] = None, save_tags: Optional[Path] = None) -> int:
    from .. import capture, devices, evaluate, report

    try:
        from ..replay import replay_surveyed, survey_capture
    except ImportError as error:
        raise CommandError(f"{error}: install this package's extension modules "
                           "(pip install .)") from None
    site = site if site is not None else site_inputs.SiteInputs()
    anchors_truth, tracks_truth = capture.truth_paths(path)
    inputs = [path, anchors_truth, tracks_truth] + site.inputs
    check_outputs(inputs, [p for p in (csv_path, png_path, save_anchors, save_tags)
                           if p is not None])
    if png_path is not None:
        from ..plot import picture_format, plot, require_matplotlib
        try:
            require_matplotlib()
            picture_format(png_path)
        except (ImportError, ValueError) as error:
            raise CommandError(str(error)) from None
    known = site.anchors

    def lines():
        with capture.open_text(path) as source:
            yield from source

    started = time.perf_counter()
    bar = ProgressBar(sys.stderr) if sys.stderr.isatty() else None
    notes = []
    try:
        total = os.path.getsize(path)
        surveyed = survey_capture(lines, dist_unit=unit, check_fcs=check_fcs, anchors=known,
                                  sigma=site.sigma, progress=bar, total=total)
        evaluator = None
        if use_truth and surveyed.survey is not None and anchors_truth.exists():
            try:
                truth_tracks = capture.read_tracks(tracks_truth) if tracks_truth.exists() else {}
                evaluator = evaluate.Evaluator(surveyed.survey, capture.read_anchors(anchors_truth),
                                               truth_tracks)
            except (OSError, ValueError) as error:
                notes.append(f"ground truth not used: {error}")
        outputs = _Outputs(evaluator, csv_path if surveyed.survey is not None else None,
                           known is not None)
        result = replay_surveyed(lines, surveyed, smooth=smooth, on_fix=outputs.fix,
                                 keep_fixes=png_path is not None, progress=bar, total=total,
                                 tags=site.tags, height=site.tag_height)
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror}") from None
    except capture.NotACapture as error:
        raise CommandError(f"{path}: {error}") from None
    except ValueError as error:
        raise CommandError(f"{path}: {error}") from None
    finally:
        if bar is not None:
            bar.close()
    failures = [failure for failure in [outputs.close()] if failure]
    evaluation = evaluator.evaluation() if evaluator is not None else None
    elapsed = time.perf_counter() - started

    # Every output is tried and the summary printed whatever fails: the
    # replay's work is not thrown away over one file.
    written = [str(csv_path)] if csv_path is not None and surveyed.survey is not None \
        and not failures else []
    if result.survey is not None:
        kind = "known" if known is not None else "surveyed"
        saves = [(save_anchors, lambda target: devices.write_anchors(
                     target, result.learned_anchors, exact=True)),
                 (save_tags, lambda target: devices.write_tags(target, result.learned_tags))]
        for target, save in saves:
            if target is None or not result.learned_anchors:
                continue
            try:
                save(target)
                written.append(str(target))
            except OSError as error:
                failures.append(f"cannot write {target}: {error.strerror or error}")
        if png_path is not None:
            try:
                plot(png_path, result, evaluation,
                     title=f"{path.name}: {kind} anchors and tracks")
                written.append(str(png_path))
            except OSError as error:
                failures.append(f"cannot write {png_path}: {error.strerror or error}")
    elif known is None and result.counts.decoded:
        notes.append("         known anchor positions can be given with --anchors FILE")
    total_time = time.perf_counter() - started
    notes.append(f"Time     replay {elapsed:.2f} s, with output files {total_time:.2f} s")
    out.write(report.summary(result, evaluation, source=str(path), note="\n".join(notes)))
    if written:
        out.write(f"wrote {', '.join(written)}\n")
    if failures:
        raise CommandError("; ".join(failures))
    return 0 if result.survey is not None and result.layout_error is None else 1


def run(args: argparse.Namespace, out: TextIO) -> int:
    return run_replay(args.capture, out, unit=args.unit, check_fcs=args.check_fcs,
                      use_truth=not args.no_truth, csv_path=args.csv, png_path=args.plot,
                      site=site_inputs.read(args), smooth=args.smooth,
                      save_anchors=args.save_anchors, save_tags=args.save_tags)
