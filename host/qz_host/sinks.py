"""The live host's file outputs: JSON lines, the replay's CSV, a recording.

Each sink writes as fixes come and flushes on the pipeline's periodic tick
and on close, so a reader of the file lags by at most a tick; standard
output is flushed after every fix, for the application reading it.
"""

from __future__ import annotations

import csv
import json
import os
from pathlib import Path
from typing import IO, Callable, List, Optional, Tuple

from . import capture, record_files
from .pipeline import Anchors, Position, Sink
from .record_files import Rotation
from .site_stage import SiteStage
from .zones import ZoneEvent


class JsonLinesSink(Sink):
    """One JSON object per fix: tag, time, x, y, z, sd, dop, ranges, rejected.

    A stream whose reader went away (standard output into `head`) is
    written no more: `on_closed` is called once, and the stream's
    descriptor is pointed at the null device so that nothing left in its
    buffer fails again when the interpreter flushes it at exit."""

    def __init__(self, stream: IO[str], *, owned: bool, flush_each: bool = False,
                 on_closed: Optional[Callable[[], None]] = None):
        self.stream = stream
        self.owned = owned
        self.flush_each = flush_each
        self.on_closed = on_closed
        self.broken = False
        self._encode = json.JSONEncoder(separators=(",", ":"), allow_nan=False).encode

    def fix(self, position: Position) -> None:
        self._write(self._encode(position.as_json()) + "\n")

    def event(self, event: ZoneEvent) -> None:
        """A zone event, as an object of its own among the fixes."""
        self._write(self._encode(event.as_json()) + "\n")

    def _write(self, text: str) -> None:
        if self.broken:
            return
        try:
            self.stream.write(text)
            if self.flush_each:
                self.stream.flush()
        except BrokenPipeError:
            self._broke()

    def _broke(self) -> None:
        self.broken = True
        try:
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, self.stream.fileno())
            os.close(null)
        except (AttributeError, OSError, ValueError):  # no descriptor of its own
            pass
        if self.on_closed is not None:
            self.on_closed()

    def tick(self) -> None:
        if not self.broken:
            try:
                self.stream.flush()
            except BrokenPipeError:
                self._broke()

    def reopen(self, stream: IO[str]) -> None:
        """Goes on in `stream`, the file opened again under its name; then
        closes the old one (OSError when that fails)."""
        old, self.stream, self.owned = self.stream, stream, True
        old.close()

    def close(self) -> None:
        """Closes an owned stream even when its last flush fails (the
        OSError then raised)."""
        try:
            self.tick()
        finally:
            if self.owned:
                try:
                    self.stream.close()
                except BrokenPipeError:
                    pass


class CsvSink(Sink):
    """The replay's positions CSV: time, tag, x, y; in a site's frame also
    lat and lon after y (when the site is placed on the Earth) and the
    frame's name last, as the replay's CSV has them. The heading waits for
    the anchors, since a survey fits the site frame only then."""

    def __init__(self, stream: IO[str]):
        self._use(stream)
        self._frame: Optional[str] = None
        self._geo = False
        self._started = False

    def _use(self, stream: IO[str]) -> None:
        self.stream = stream
        self.writer = csv.writer(stream, lineterminator="\n")

    def site(self, stage: SiteStage) -> None:
        self._frame = stage.frame.name
        self._geo = stage.frame.geo is not None

    def anchors(self, anchors: Anchors) -> None:
        self._start()

    def _start(self) -> None:
        if not self._started:
            self._started = True
            self._heading()

    def _heading(self) -> None:
        self.writer.writerow(["time", "tag", "x", "y"] + (["lat", "lon"] if self._geo else [])
                             + (["frame"] if self._frame is not None else []))

    def fix(self, position: Position) -> None:
        self._start()
        f = position.fix
        row = [f"{f.time:.6f}", f"{f.tag:04X}", f"{position.x:.4f}", f"{position.y:.4f}"]
        if self._geo:
            site = position.site or {}
            row += [f"{site['lat']:.8f}", f"{site['lon']:.8f}"] if "lat" in site else ["", ""]
        if self._frame is not None:
            row.append(position.frame or self._frame)
        self.writer.writerow(row)

    def tick(self) -> None:
        self.stream.flush()

    def reopen(self, stream: IO[str]) -> None:
        """Goes on in `stream` (a new file gets the heading row), then closes
        the old one."""
        old = self.stream
        self._use(stream)
        if self._started and stream.tell() == 0:
            self._heading()
        old.close()

    def close(self) -> None:
        try:
            self._start()
        finally:
            self.stream.close()


class RecordSink(Sink):
    """Appends every frame received to a capture file, with its receive
    time. A new file starts with the capture heading and the distance unit
    and checksum the session uses, so a replay reads it the same way.

    With a site, the recording says which frame the session's outputs are
    in: ``# frame: NAME`` and ``# site: JSON`` (the frame's fit, the zones,
    the floor plan), in the heading when the frame is known before the
    first frame, else as comments where the survey fitted it; every file
    of a series repeats them in its heading.

    With a `rotation` the recording is a series of files named after
    `series` (see ``record_files``), the next one opened before the frame
    that goes to it is written, so that no frame falls between two files.
    A file that cannot be opened is logged and the current one written on."""

    def __init__(self, stream: Optional[IO[str]], settings: Callable[[], Tuple[float, str]],
                 *, series: Optional[Path] = None, rotation: Optional[Rotation] = None,
                 log: Callable[[str], None] = lambda text: None):
        """`settings` gives the distance unit and the checksum's name ("" for
        none) when the first frame comes: capture lines may declare them.
        `stream` None opens the first file of `series` at the first frame."""
        self.stream = stream
        self.settings = settings
        self.series = series
        self.rotation = rotation
        self.log = log
        self._fresh = stream is not None and stream.tell() == 0
        self._site_lines: List[str] = []
        self._written = 0  # bytes written to this file by this session
        self._frames = 0  # frame lines in this file
        self._first_time = 0.0
        self._failing = False  # the last new file could not be opened (logged)

    def site(self, stage: SiteStage) -> None:
        header = json.dumps(stage.header(), separators=(",", ":"), sort_keys=True)
        self._site_lines = [f"# frame: {stage.frame.name}\n", f"# site: {header}\n"]
        if self.stream is not None and not self._fresh:  # else the heading takes them
            self.stream.writelines(self._site_lines)

    def frame(self, time: float, frame: bytes) -> None:
        line = capture.format_line(time, frame) + "\n"
        if self.stream is None or (self.rotation is not None and self._frames and
                                   self.rotation.due(self._written, len(line),
                                                     self._first_time, time)):
            self._next_file(time)
            if self.stream is None:
                return
        if self._fresh:
            self._fresh = False
            dist_unit, checksum_name = self.settings()
            heading = f"# {capture.HEADING}\n# dist_unit_m: {dist_unit!r}\n"
            if checksum_name:
                heading += f"# fcs: {checksum_name}\n"
            heading += "# source: qz_host.live\n" + "".join(self._site_lines)
            self.stream.write(heading)
            self._written += len(heading)
        if not self._frames:
            self._first_time = time
        self.stream.write(line)
        self._written += len(line)
        self._frames += 1

    def _next_file(self, time: float) -> None:
        if self.series is None:
            return
        try:
            stream = record_files.open_next(self.series, time)
        except OSError as error:
            if not self._failing:
                self._failing = True
                self.log(f"cannot start a new recording {self.series}: {error}; "
                         + ("writing on in the current file" if self.stream is not None
                            else "frames are not recorded until it can"))
            # The current file goes on as a new one would, to the next switch.
            self._written, self._frames = 0, 0
            return
        self._failing = False
        if self.stream is not None:
            self._close_file()
        self.stream = stream
        self._fresh = True
        self._written, self._frames = 0, 0

    def tick(self) -> None:
        if self.stream is not None:
            self.stream.flush()

    def _close_file(self) -> None:
        if self.stream is not None:
            _close_synced(self.stream)

    def reopen(self, stream: IO[str]) -> None:
        """Goes on in `stream` (a new file starts with the heading), then
        closes the old one."""
        old, self.stream = self.stream, stream
        self._fresh = stream.tell() == 0
        self._written, self._frames = 0, 0
        if old is not None:
            _close_synced(old)

    def close(self) -> None:
        self._close_file()
        self.stream = None


def _close_synced(stream: IO[str]) -> None:
    """Closes `stream` once its bytes are on the disk; closed even when
    that fails (the OSError then raised)."""
    try:
        stream.flush()
        os.fsync(stream.fileno())
    finally:
        stream.close()


def write_anchors(path: capture.PathLike, anchors: Anchors) -> None:
    """The anchors as the replay's anchors CSV, every digit kept."""
    capture.write_anchors(path, anchors, exact=True)
