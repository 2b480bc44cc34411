"""The live host's file outputs: JSON lines, the replay's CSV, a recording.

Each sink writes as fixes come and flushes on the pipeline's periodic tick
and on close, so a reader of the file lags by at most a tick; standard
output is flushed after every fix, for the application reading it.
"""

from __future__ import annotations

import csv
import json
import os
from typing import IO, Callable, List, Optional, Tuple

from . import capture
from .pipeline import Anchors, Position, Sink
from .site_stage import SiteStage
from .zones import ZoneEvent


class JsonLinesSink(Sink):
    """One JSON object per fix: tag, time, x, y, z, sd, dop, ranges, rejected."""

    def __init__(self, stream: IO[str], *, owned: bool, flush_each: bool = False):
        self.stream = stream
        self.owned = owned
        self.flush_each = flush_each
        self._encode = json.JSONEncoder(separators=(",", ":"), allow_nan=False).encode

    def fix(self, position: Position) -> None:
        self.stream.write(self._encode(position.as_json()) + "\n")
        if self.flush_each:
            self.stream.flush()

    def event(self, event: ZoneEvent) -> None:
        """A zone event, as an object of its own among the fixes."""
        self.stream.write(self._encode(event.as_json()) + "\n")
        if self.flush_each:
            self.stream.flush()

    def tick(self) -> None:
        self.stream.flush()

    def reopen(self, stream: IO[str]) -> None:
        """Goes on in `stream`, the file opened again under its name; then
        closes the old one (OSError when that fails)."""
        old, self.stream, self.owned = self.stream, stream, True
        old.close()

    def close(self) -> None:
        self.stream.flush()
        if self.owned:
            self.stream.close()


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
        self._start()
        self.stream.close()


class RecordSink(Sink):
    """Appends every frame received to a capture file, with its receive
    time. A new file starts with the capture heading and the distance unit
    and checksum the session uses, so a replay reads it the same way.

    With a site, the recording says which frame the session's outputs are
    in: ``# frame: NAME`` and ``# site: JSON`` (the frame's fit, the zones,
    the floor plan), in the heading when the frame is known before the
    first frame, else as comments where the survey fitted it."""

    def __init__(self, stream: IO[str], settings: Callable[[], Tuple[float, str]]):
        """`settings` gives the distance unit and the checksum's name ("" for
        none) when the first frame comes: capture lines may declare them."""
        self.stream = stream
        self.settings = settings
        self._fresh = stream.tell() == 0
        self._site_lines: List[str] = []

    def site(self, stage: SiteStage) -> None:
        header = json.dumps(stage.header(), separators=(",", ":"), sort_keys=True)
        lines = [f"# frame: {stage.frame.name}\n", f"# site: {header}\n"]
        if self._fresh:  # the heading, still to come, takes them
            self._site_lines = lines
        else:
            self.stream.writelines(lines)

    def frame(self, time: float, frame: bytes) -> None:
        if self._fresh:
            self._fresh = False
            dist_unit, checksum_name = self.settings()
            self.stream.write(f"# {capture.HEADING}\n# dist_unit_m: {dist_unit!r}\n")
            if checksum_name:
                self.stream.write(f"# fcs: {checksum_name}\n")
            self.stream.write("# source: qz_host.live\n")
            self.stream.writelines(self._site_lines)
        self.stream.write(capture.format_line(time, frame) + "\n")

    def tick(self) -> None:
        self.stream.flush()

    def reopen(self, stream: IO[str]) -> None:
        """Goes on in `stream` (a new file starts with the heading), then
        closes the old one."""
        old, self.stream = self.stream, stream
        self._fresh = stream.tell() == 0
        _close_synced(old)

    def close(self) -> None:
        _close_synced(self.stream)


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
