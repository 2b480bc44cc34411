"""``qz-host replay``: a capture decoded, its anchors surveyed, its tags
tracked, and the summary printed (with the errors, when ground truth lies
beside the capture)."""

from __future__ import annotations

import argparse
import json
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
    rep.add_argument("--events", type=Path, metavar="FILE",
                     help="write the site's zone events, one JSON object a line (needs --site)")
    rep.set_defaults(handler=run)


def capture_options(parser: argparse.ArgumentParser, *, truth: bool = True) -> None:
    parser.add_argument("--unit", type=UNIT,
                        help="metres per raw distance count (default: the capture's "
                             "dist_unit_m, else 0.01)")
    fcs = parser.add_mutually_exclusive_group()
    fcs.add_argument("--fcs", dest="check_fcs", action="store_true", default=None,
                     help="check every frame's checksum (the capture's declared one, "
                          "else the 802.15.4 FCS)")
    fcs.add_argument("--no-fcs", dest="check_fcs", action="store_false",
                     help="do not check checksums (default: as the capture declares)")
    if truth:
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



def _zone_score(site, frame, evaluator, measured) -> str:
    """The zone events against those of the true tracks, in the site frame."""
    from ..zone_evaluation import score, zone_events

    truth = []
    for tag, track in evaluator.best().tracks.items():
        for at, x, y in zip(track.times, track.xs, track.ys):
            placed = frame.place(x, y)
            truth.append((at, tag, placed["x"], placed["y"]))
    truth.sort()
    found = score(zone_events(site.zones, truth), measured)
    return (f"Zones    against the truth: {found.truth} events, {len(found.matched)} matched, "
            f"{len(found.missed)} missed, {len(found.false)} false, {len(found.flaps)} flapping")


class _EventsFile:
    """The zone events as JSON lines, written as they come."""

    def __init__(self, path: Path):
        self.path = path
        self.failure: Optional[str] = None
        self.stream = None
        try:
            self.stream = open(path, "w", encoding="ascii", newline="\n")
        except OSError as error:
            self.failure = f"cannot write {path}: {error.strerror or error}"

    def write(self, event) -> None:
        if self.stream is None:
            return
        try:
            self.stream.write(json.dumps(event.as_json(), separators=(",", ":")) + "\n")
        except OSError as error:
            self.failure = f"cannot write {self.path}: {error.strerror or error}"
            self.close()

    def close(self) -> Optional[str]:
        if self.stream is not None:
            stream, self.stream = self.stream, None
            try:
                stream.close()
            except OSError as error:
                self.failure = self.failure or f"cannot write {self.path}: {error.strerror}"
        return self.failure


class _Outputs:
    """Where the fixes go as they come: the errors against the truth and the
    positions CSV. A write that fails is said once, at the end, and stops
    only that output. Where the survey cannot tell its mirror image apart,
    the CSV waits for the tracks to decide."""

    def __init__(self, evaluator, csv_path: Optional[Path], known: bool, frame=None):
        from .. import report

        self.evaluator = evaluator
        # With a site frame the truth goes into it as the positions do.
        self.place = frame.place if frame is not None else None
        self.csv_path = csv_path
        self.failure: Optional[str] = None
        self.deferred: list = []
        self.writer = None
        if csv_path is not None:
            try:
                self.writer = report.PositionsWriter(
                    csv_path, truth=evaluator is not None, known=known,
                    frame=frame.name if frame is not None else None,
                    geo=frame is not None and frame.geo is not None)
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

    def fix(self, position) -> None:
        fix = position.fix
        truth, error = self.evaluator.add(fix) if self.evaluator is not None else (None, None)
        if self.writer is None:
            return
        if self.evaluator is not None and self.evaluator.ambiguous:
            self.deferred.append(position)
            return
        self._write(position, truth, error)

    def _write(self, position, truth, error) -> None:
        if self.writer is None:
            return
        if truth is not None and self.place is not None:  # the truth in the site's frame too
            placed = self.place(*truth)
            truth = (placed["x"], placed["y"])
        try:
            self.writer.write(position, truth, error)
        except OSError as failure:
            self._failed(failure)

    def close(self) -> Optional[str]:
        """Writes what waited and closes the CSV; the failure, if any."""
        for position in self.deferred:
            self._write(position, *self.evaluator.truth(position.fix))
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
               save_anchors: Optional[Path] = None, save_tags: Optional[Path] = None,
               events_path: Optional[Path] = None) -> int:
    from .. import capture, devices, evaluate, report

    try:
        from ..replay import replay_surveyed, survey_capture
    except ImportError as error:
        raise CommandError(f"{error}: install this package's extension modules "
                           "(pip install .)") from None
    site = site if site is not None else site_inputs.SiteInputs()
    anchors_truth, tracks_truth = capture.truth_paths(path)
    inputs = [path, anchors_truth, tracks_truth] + site.inputs
    check_outputs(inputs, [p for p in (csv_path, png_path, save_anchors, save_tags, events_path)
                           if p is not None])
    if events_path is not None and (site.site is None or not site.site.zones):
        raise CommandError("--events needs a site file with zones (--site FILE)")
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
        frame = None
        if site.site is not None and surveyed.survey is not None:
            frame = site.site.site_frame(dict(zip(surveyed.survey.addresses,
                                                  surveyed.survey.positions)),
                                         surveyed=not surveyed.survey.known)
        outputs = _Outputs(evaluator, csv_path if surveyed.survey is not None else None,
                           known is not None, frame)
        events = _EventsFile(events_path) if events_path is not None else None
        scored: Optional[list] = None
        if evaluator is not None and frame is not None and site.site is not None \
                and site.site.zones:
            scored = []

        def on_event(event) -> None:
            if events is not None:
                events.write(event)
            if scored is not None:
                scored.append(event)

        result = replay_surveyed(lines, surveyed, smooth=smooth, on_fix=outputs.fix,
                                 keep_fixes=png_path is not None, progress=bar, total=total,
                                 tags=site.tags, height=site.tag_height, site=site.site,
                                 on_event=on_event)
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror}") from None
    except capture.NotACapture as error:
        raise CommandError(f"{path}: {error}") from None
    except ValueError as error:
        raise CommandError(f"{path}: {error}") from None
    finally:
        if bar is not None:
            bar.close()
    failures = [failure for failure in [outputs.close(), events.close() if events else None]
                if failure]
    notes = result.log + site.site_warnings + notes
    if scored is not None and evaluator is not None and frame is not None:
        notes.append(_zone_score(site.site, frame, evaluator, scored))
    evaluation = evaluator.evaluation() if evaluator is not None else None
    elapsed = time.perf_counter() - started

    # Every output is tried and the summary printed whatever fails: the
    # replay's work is not thrown away over one file.
    written = [str(p) for p in (csv_path, events_path) if p is not None
               and surveyed.survey is not None and not any(str(p) in f for f in failures)]
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
                      save_anchors=args.save_anchors, save_tags=args.save_tags,
                      events_path=args.events)
