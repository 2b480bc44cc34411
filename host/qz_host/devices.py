"""What a site knows of its devices, and the CSV files that hold it.

An anchors file (the simulator's ground truth, a saved survey, a surveyed
site) has the columns ``anchor,x,y,z`` in metres and an optional
``offset``, the range offset (m) of that anchor's antenna delay: the
amount its ranges read long. A tags file has the column ``tag`` and
optional ``name``, ``height`` (m, the tag's z in the anchors' frame) and
``offset``. Addresses are four hexadecimal digits; an empty cell means
"not given". Both files are read by ``read_anchors`` and ``read_tags``
alone, and written back in the same formats, so that what one session
learns the next one starts from.
"""

from __future__ import annotations

import csv
import math
from dataclasses import dataclass
from typing import Callable, Dict, Mapping, Optional, Sequence, Tuple, TypeVar

T = TypeVar("T")

# Tracking needs three anchors to fix a position in the plane, and its
# filter takes at most 32 (qz_track.MAX_ANCHORS).
MIN_ANCHORS = 3
MAX_ANCHORS = 32


@dataclass(frozen=True)
class Anchor:
    """An anchor's position (m) and, when known, its range offset (m)."""

    x: float
    y: float
    z: float = 0.0
    offset: Optional[float] = None
    name: Optional[str] = None

    @property
    def position(self) -> Tuple[float, float, float]:
        return (self.x, self.y, self.z)


@dataclass(frozen=True)
class Tag:
    """What is known of a tag: a name, its height (m) and range offset (m)."""

    name: Optional[str] = None
    height: Optional[float] = None
    offset: Optional[float] = None


def as_anchor(value: object) -> Anchor:
    """An Anchor from an Anchor or an (x, y[, z]) position."""
    if isinstance(value, Anchor):
        return value
    try:
        coordinates = [float(c) for c in value]  # type: ignore[attr-defined]
    except (TypeError, ValueError):
        raise ValueError(f"an anchor is (x, y) or (x, y, z), got {value!r}") from None
    if len(coordinates) not in (2, 3):
        raise ValueError(f"an anchor is (x, y) or (x, y, z), got {value!r}")
    return Anchor(coordinates[0], coordinates[1], coordinates[2] if len(coordinates) == 3 else 0.0)


def address(text: str) -> int:
    """A device address from four hexadecimal digits (or fewer)."""
    value = int(text, 16)
    if not 0 <= value <= 0xFFFF:
        raise ValueError(f"address {text!r} does not fit in 16 bits")
    return value


def _number(text: Optional[str], what: str) -> float:
    """A coordinate; whether it is finite is the survey's to say, with the
    anchor it belongs to."""
    if text is None or text.strip() == "":
        raise ValueError(f"{what} is missing")
    return float(text)


def _optional(text: Optional[str], what: str) -> Optional[float]:
    """A height or an offset, finite when given."""
    if text is None or text.strip() == "":
        return None
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"{what} must be finite, got {text!r}")
    return value


def read_anchors(path) -> Dict[int, Anchor]:
    """Every anchor of an anchors file, by address."""
    def convert(row: Dict[str, Optional[str]]) -> Anchor:
        return Anchor(_number(row["x"], "x"), _number(row["y"], "y"), _number(row["z"], "z"),
                      _optional(row.get("offset"), "offset"))

    return _read(path, "anchor", ("x", "y", "z"), convert)


def known_anchors(path) -> Dict[int, Anchor]:
    """The anchors of a file that gives a site's anchors for tracking:
    MIN_ANCHORS to MAX_ANCHORS of them. ValueError names the file."""
    anchors = read_anchors(path)
    if not MIN_ANCHORS <= len(anchors) <= MAX_ANCHORS:
        raise ValueError(f"{path}: tracking needs {MIN_ANCHORS} to {MAX_ANCHORS} anchors, "
                         f"the file has {len(anchors)}")
    return anchors


def read_tags(path) -> Dict[int, Tag]:
    """Every tag of a tags file, by address."""
    def convert(row: Dict[str, Optional[str]]) -> Tag:
        name = (row.get("name") or "").strip() or None
        return Tag(name, _optional(row.get("height"), "height"),
                   _optional(row.get("offset"), "offset"))

    return _read(path, "tag", (), convert)


def _read(path, key: str, columns: Sequence[str],
          convert: Callable[[Dict[str, Optional[str]]], T]) -> Dict[int, T]:
    """`convert` of each row of a CSV file by its address column `key`; a
    bad value or a repeated address raises ValueError naming the file and
    line."""
    found: Dict[int, T] = {}
    with open(path, newline="", encoding="ascii") as source:
        reader = csv.DictReader(source)
        missing = [c for c in (key,) + tuple(columns) if c not in (reader.fieldnames or ())]
        if missing:
            raise ValueError(f"{path}: missing column(s) {', '.join(missing)}")
        for row in reader:
            try:
                where = address(row[key] or "")
                if where in found:
                    raise ValueError(f"{key} {where:04X} is listed twice")
                found[where] = convert(row)
            except (TypeError, ValueError) as error:
                raise ValueError(f"{path}:{reader.line_num}: {error}") from None
    return found


def _cell(value: Optional[float], exact: bool) -> str:
    if value is None:
        return ""
    return repr(float(value)) if exact else f"{value:.4f}"


def write_anchors(path, anchors: Mapping[int, Anchor], *, exact: bool = False) -> None:
    """`exact` writes every digit, so that a host that reads them back
    tracks against the very same anchors. The offset column is written
    when any anchor has one."""
    with_offsets = any(a.offset is not None for a in anchors.values())
    with open(path, "w", newline="", encoding="ascii") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["anchor", "x", "y", "z"] + (["offset"] if with_offsets else []))
        for where, a in sorted(anchors.items()):
            row = [f"{where:04X}"] + [_cell(c, exact) for c in (a.x, a.y, a.z)]
            writer.writerow(row + ([_cell(a.offset, exact)] if with_offsets else []))


def write_tags(path, tags: Mapping[int, Tag]) -> None:
    with open(path, "w", newline="", encoding="ascii") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["tag", "name", "height", "offset"])
        for where, t in sorted(tags.items()):
            writer.writerow([f"{where:04X}", t.name or "", _cell(t.height, True),
                             _cell(t.offset, True)])


def positions(anchors: Mapping[int, Anchor]) -> Dict[int, Tuple[float, float, float]]:
    """Each anchor's (x, y, z)."""
    return {a: spec.position for a, spec in anchors.items()}
