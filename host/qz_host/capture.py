"""The capture format and the ground-truth files beside it.

A capture is a text file with one device frame per line::

    # qz capture
    # dist_unit_m: 0.01
    # fcs: ieee-802.15.4
    1.000417 40515a40445775000109...

Each frame line holds the receive time in seconds and the whole frame in
hexadecimal, separated by white space. Blank lines and lines starting with
``#`` are comments. A comment of the form ``# key: value`` before the first
frame is metadata; the replay reads two keys: ``dist_unit_m``, the length
in metres of one raw distance count, and ``fcs``, the name of the checksum
that every footer holds (``ieee-802.15.4``, the radios' own frame check
sequence, ``frames.fcs``; ``crc-ccitt`` in older captures,
``frames.fcs_ccitt``).

The simulator writes its ground truth beside a capture ``NAME.qzcap`` as
``NAME.anchors.csv`` (``anchor,x,y,z``) and ``NAME.tracks.csv``
(``time,tag,x,y``), in metres and seconds, addresses in hexadecimal.
"""

from __future__ import annotations

import csv
import math
from dataclasses import dataclass
from pathlib import Path
from typing import (Callable, Dict, Iterable, Iterator, List, Mapping, Optional, TextIO,
                    Tuple, TypeVar, Union)

from . import devices

PathLike = Union[str, Path]
T = TypeVar("T")
HEADING = "qz capture"
# What a raw distance count may measure (m): a micrometre to a metre.
MIN_DIST_UNIT = 1e-6
MAX_DIST_UNIT = 1.0


class NotACapture(ValueError):
    """A file in which no line is a frame line."""


class LineError(ValueError):
    """A line that is neither a comment nor a frame line."""

    def __init__(self, reason: str, detail: str):
        super().__init__(f"{reason}: {detail}")
        self.reason = reason


@dataclass(frozen=True)
class FrameLine:
    time: float
    frame: bytes


def format_line(time: float, frame: bytes) -> str:
    return f"{time:.6f} {frame.hex()}"


def parse_line(text: str) -> Optional[FrameLine]:
    """The frame of one capture line, or None for a comment or blank line.

    Raises LineError with the reason "bad line" (not two fields), "bad time"
    or "bad hex".
    """
    stripped = text.strip()
    if not stripped or stripped.startswith("#"):
        return None
    parts = stripped.split()
    if len(parts) != 2:
        raise LineError("bad line", f"expected a time and a frame, got {len(parts)} fields")
    try:
        time = float(parts[0])
    except ValueError:
        raise LineError("bad time", f"{parts[0][:20]!r} is not a number") from None
    if not math.isfinite(time):
        raise LineError("bad time", f"{parts[0]!r} is not finite")
    try:
        frame = bytes.fromhex(parts[1])
    except ValueError:
        raise LineError("bad hex", "the frame is not an even run of hexadecimal digits") from None
    return FrameLine(time, frame)


def open_text(path: PathLike) -> TextIO:
    """A capture file opened for its lines: ASCII, any byte that is not
    replaced, universal newlines."""
    return open(path, encoding="ascii", errors="replace", newline=None)


def binary_lines(binary: Iterable[bytes]) -> Iterator[str]:
    """The lines of a binary stream (standard input's buffer) as `open_text`
    reads them. Not a TextIOWrapper: one left for the collector would close
    the stream it wraps, standard input included."""
    for raw in binary:
        text = raw.decode("ascii", "replace")
        if "\r" in text:
            yield from text.replace("\r\n", "\n").replace("\r", "\n").splitlines(keepends=True)
        else:
            yield text


def capture_lines(lines: Iterable[str]) -> Iterator[str]:
    """The lines of a capture as they come, checked for being one.

    Raises NotACapture at once for binary or gzip-compressed data before the
    first frame line, and at the end when the lines held content but none of
    it was a frame line: such a file would otherwise replay as a heap of
    "bad line" skips. A file of comments only, or an empty one, is a capture
    without frames."""
    framed = False
    content = False
    first = True
    for line in lines:
        if not framed:
            if first and line.startswith("\x1f\ufffd"):
                raise NotACapture("not a capture: it is gzip-compressed (decompress it first)")
            first = False
            if "\0" in line:
                raise NotACapture("not a capture: it holds binary data")
            try:
                framed = parse_line(line) is not None
            except LineError:
                pass
            stripped = line.strip()
            if stripped and not stripped.startswith("#"):
                content = True
        yield line
    if content and not framed:
        raise NotACapture("not a capture: none of its lines is a receive time and a "
                          "hexadecimal frame")


def read_lines(path: PathLike) -> List[str]:
    """Every line of a capture file (see `capture_lines`)."""
    with open_text(path) as source:
        return list(capture_lines(source))


def dist_unit(text: str) -> float:
    """The metres of one raw count that a capture's ``dist_unit_m`` declares;
    ValueError unless it is a number within the bounds of ``--unit``."""
    try:
        unit = float(text)
    except ValueError:
        raise ValueError(f"the capture's dist_unit_m {text!r} is not a number") from None
    check_dist_unit(unit)
    return unit


def check_dist_unit(unit: float) -> None:
    if not (math.isfinite(unit) and MIN_DIST_UNIT <= unit <= MAX_DIST_UNIT):
        raise ValueError(f"the distance unit must be positive and finite, from "
                         f"{MIN_DIST_UNIT:g} to {MAX_DIST_UNIT:g} m, got {unit!r}")


def parse_metadata(line: str) -> Optional[Tuple[str, str]]:
    """(key, value) of a ``# key: value`` comment, else None."""
    body = line.strip()
    if not body.startswith("#"):
        return None
    key, sep, value = body[1:].partition(":")
    key = key.strip()
    if not sep or not key or " " in key:
        return None
    return key, value.strip()


def read_metadata(lines: Iterable[str]) -> Dict[str, str]:
    """The metadata of the comment block that opens a capture."""
    found = {}
    for line in lines:
        stripped = line.strip()
        if stripped and not stripped.startswith("#"):
            break
        item = parse_metadata(stripped)
        if item is not None:
            found[item[0]] = item[1]
    return found


def write_capture(path: PathLike, frames: Iterable[Tuple[float, bytes]],
                  metadata: Mapping[str, str] = {}) -> None:
    with open(path, "w", encoding="ascii", newline="\n") as out:
        out.write(f"# {HEADING}\n")
        for key, value in metadata.items():
            out.write(f"# {key}: {value}\n")
        for time, frame in frames:
            out.write(format_line(time, frame) + "\n")


def truth_paths(capture: PathLike) -> Tuple[Path, Path]:
    """Where the ground truth of `capture` lives: (anchors CSV, tracks CSV)."""
    path = Path(capture)
    stem = path.with_suffix("") if path.suffix else path
    return (stem.with_name(stem.name + ".anchors.csv"),
            stem.with_name(stem.name + ".tracks.csv"))


def write_anchors(path: PathLike, anchors: Mapping[int, Tuple[float, float, float]], *,
                  exact: bool = False) -> None:
    """Anchor positions (x, y, z) as an anchors file (see ``devices``)."""
    devices.write_anchors(path, {a: devices.Anchor(*p) for a, p in anchors.items()},
                          exact=exact)


def read_anchors(path: PathLike) -> Dict[int, Tuple[float, float, float]]:
    """The anchors' positions (x, y, z) of an anchors file."""
    return devices.positions(devices.read_anchors(path))


def write_tracks(path: PathLike, tracks: Iterable[Tuple[float, int, float, float]]) -> None:
    with open(path, "w", newline="", encoding="ascii") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["time", "tag", "x", "y"])
        for time, tag, x, y in tracks:
            writer.writerow([f"{time:.6f}", f"{tag:04X}", f"{x:.4f}", f"{y:.4f}"])


def read_tracks(path: PathLike) -> Dict[int, List[Tuple[float, float, float]]]:
    """Each tag's track as (time, x, y) rows in time order."""
    def convert(row: Dict[str, str]) -> Tuple[int, Tuple[float, float, float]]:
        return devices.address(row["tag"]), (float(row["time"]), float(row["x"]), float(row["y"]))

    tracks: Dict[int, List[Tuple[float, float, float]]] = {}
    for tag, sample in _rows(path, ("time", "tag", "x", "y"), convert):
        tracks.setdefault(tag, []).append(sample)
    for rows in tracks.values():
        rows.sort()
    return tracks


def _rows(path: PathLike, columns: Tuple[str, ...],
          convert: Callable[[Dict[str, str]], T]) -> Iterator[T]:
    """`convert` of each row of a CSV file that has the given columns; a
    bad value raises ValueError naming the file and line."""
    with open(path, newline="", encoding="ascii") as source:
        reader = csv.DictReader(source)
        missing = [c for c in columns if c not in (reader.fieldnames or ())]
        if missing:
            raise ValueError(f"{path}: missing column(s) {', '.join(missing)}")
        for row in reader:
            try:
                item = convert(row)
            except (TypeError, ValueError) as error:
                raise ValueError(f"{path}:{reader.line_num}: {error}") from None
            yield item
