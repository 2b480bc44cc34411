"""Reading and checking a site file (TOML).

    name = "Hall 3"

    [anchors.0A01]            # x, y, z, offset, name: all optional
    x = 0.5
    y = 0.5

    [tags.1001]               # name, height, offset: all optional
    name = "forklift 1"

    [frame]                   # site coordinates of two or more anchors
    known = { "0A01" = [10.0, 5.0], "0A02" = [10.0, 14.5] }

    [[zones]]
    name = "bay"
    polygon = [[0.0, 0.0], [5.0, 0.0], [5.0, 4.0], [0.0, 4.0]]

    [options]                 # defaults for the commands' long options
    tag_timeout = 10.0

Every table is optional; README.md's *Site file* section describes each
key. ``read_site`` reads and checks the whole file and raises
``SiteError`` with every fault found, each as "FILE:LINE: message", in
the order of the file. What it can only warn about (a frame that fits its
points badly, zones in the survey's own frame) it keeps in
``SiteFile.warnings``.
"""

from __future__ import annotations

import difflib
import math
import re
import struct
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from . import devices
from .devices import Anchor, Tag
from .evaluate import AMBIGUOUS_MISFIT, fit_frame
from .geo import ControlPoint, GeoReference
from .site import FloorPlan, OptionValue, Site
from .site_frame import SITE_FRAME, FrameError, FrameSpec, fit_site_frame
from .toml_lines import KeyLines, KeyPath, tomllib
from .zones import (DEFAULT_ENTRY_DELAY, DEFAULT_EXIT_DELAY, DEFAULT_EXIT_TOLERANCE, Zone,
                    name_problem, polygon_problem)

# Bounds on what a site can mean: coordinates within 100 km of the
# origin, heights within 10 km, range offsets within 10 m, delays within a day.
COORDINATE_LIMIT = 1e5
HEIGHT_LIMIT = 1e4
OFFSET_LIMIT = 10.0
DELAY_LIMIT = 86400.0

_TOP = ("name", "anchors", "tags", "frame", "geo", "floor_plan", "zone_defaults", "zones",
        "options")
_ANCHOR_KEYS = ("x", "y", "z", "offset", "name")
_TAG_KEYS = ("name", "height", "offset")
_FRAME_KEYS = ("name", "known", "points", "rough", "mirrored")
_FRAME_POINT_KEYS = ("tracked", "site")
_GEO_KEYS = ("latitude", "longitude", "bearing", "origin", "points", "mirrored")
_GEO_POINT_KEYS = ("site", "latitude", "longitude")
_PLAN_KEYS = ("image", "origin", "rotation", "scale", "width")
_HYSTERESIS = ("exit_tolerance", "exit_delay", "entry_delay")
_ZONE_KEYS = ("name", "polygon") + _HYSTERESIS + ("min_height", "max_height", "color")
_COLOR = re.compile(r"#(?:[0-9a-fA-F]{3}|[0-9a-fA-F]{6})")


class SiteError(ValueError):
    """A site file that cannot be used; `errors` lists every fault found."""

    def __init__(self, errors: Sequence[str]):
        self.errors = list(errors)
        more = len(self.errors) - 1
        text = self.errors[0] if self.errors else "the site file is not sound"
        if more > 0:
            text += f" (and {more} more: qz-host site check lists them)"
        super().__init__(text)


@dataclass(frozen=True)
class SiteFile:
    """A site read from its file, with what the reading warns about."""

    site: Site
    lines: KeyLines
    warnings: Tuple[str, ...] = ()


def read_site(path) -> SiteFile:
    """The site of the file `path`; SiteError lists every fault."""
    path = Path(path)
    try:
        raw = path.read_bytes()
    except OSError as error:
        raise SiteError([f"cannot read {path}: {error.strerror or error}"]) from None
    return parse_site(raw, path)


def parse_site(raw: bytes, path: Path) -> SiteFile:
    """The site of the file contents `raw`; relative paths in it are taken
    from the folder of `path`."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        line = raw.count(b"\n", 0, error.start) + 1
        raise SiteError([f"{path}:{line}: not UTF-8 text"]) from None
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise SiteError([_syntax_error(path, text, error)]) from None
    reader = _Reader(path, KeyLines(text))
    site = reader.site(data)
    if reader.errors:
        raise SiteError(reader.sorted(reader.errors))
    assert site is not None
    return SiteFile(site, reader.lines, tuple(reader.sorted(reader.warnings)))


def _syntax_error(path: Path, text: str, error: Exception) -> str:
    message = str(error)
    found = re.search(r"\s*\(at line (\d+), column (\d+)\)$", message)
    if found:
        return f"{path}:{found.group(1)}: {message[:found.start()]} (column {found.group(2)})"
    found = re.search(r"\s*\(at end of document\)$", message)
    if found:
        return f"{path}:{text.count(chr(10)) + 1}: {message[:found.start()]} (at the end)"
    return f"{path}: {message}"


def image_size(path: Path) -> Optional[Tuple[int, int]]:
    """The (width, height) in pixels of a PNG or JPEG file, None for other
    formats or a file too short to tell."""
    with open(path, "rb") as image:
        head = image.read(26)
        if head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR":
            return struct.unpack(">II", head[16:24])
        if head[:2] != b"\xff\xd8":
            return None
        image.seek(2)
        while True:
            marker = image.read(2)
            if len(marker) < 2 or marker[0] != 0xFF:
                return None
            if marker[1] in (0xD8, 0x01) or 0xD0 <= marker[1] <= 0xD7:
                continue
            size = image.read(2)
            if len(size) < 2:
                return None
            length = struct.unpack(">H", size)[0]
            # Start-of-frame markers, not the Huffman, arithmetic or JPEG-LS ones.
            if 0xC0 <= marker[1] <= 0xCF and marker[1] not in (0xC4, 0xC8, 0xCC):
                body = image.read(5)
                if len(body) < 5:
                    return None
                height, width = struct.unpack(">HH", body[1:5])
                return width, height
            image.seek(length - 2, 1)


class _Reader:
    """Checks a parsed site file item by item, gathering every fault."""

    def __init__(self, path: Path, lines: KeyLines):
        self.path = path
        self.lines = lines
        self.errors: List[Tuple[int, str]] = []
        self.warnings: List[Tuple[int, str]] = []
        self.listed_anchors: set = set()

    # -- reporting

    def _at(self, where: KeyPath, message: str) -> Tuple[int, str]:
        line = self.lines.line(where)
        return line, (f"{self.path}:{line}: {message}" if line else f"{self.path}: {message}")

    def error(self, where: KeyPath, message: str) -> None:
        self.errors.append(self._at(where, message))

    def warn(self, where: KeyPath, message: str) -> None:
        self.warnings.append(self._at(where, f"warning: {message}"))

    @staticmethod
    def sorted(items: List[Tuple[int, str]]) -> List[str]:
        return [text for _, text in sorted(items, key=lambda item: item[0])]

    def unknown_keys(self, table: Mapping[str, Any], allowed: Sequence[str], where: KeyPath,
                     what: str) -> None:
        for key in table:
            if key not in allowed:
                close = difflib.get_close_matches(key, allowed, n=1)
                hint = f" (did you mean {close[0]}?)" if close else ""
                self.error(where + (key,), f"{what}: unknown key {key!r}{hint}; known: "
                                           f"{', '.join(allowed)}")

    # -- values

    def table(self, data: Mapping[str, Any], key: str, where: KeyPath,
              what: str) -> Optional[Mapping[str, Any]]:
        value = data.get(key)
        if value is None:
            return None
        if not isinstance(value, dict):
            self.error(where + (key,), f"{what} must be a table")
            return None
        return value

    def number(self, value: Any, where: KeyPath, what: str, limit: float, *,
               low: Optional[float] = None, positive: bool = False) -> Optional[float]:
        """A finite number within ±`limit` (and at least `low`, or above 0
        when `positive`), else None with the fault recorded."""
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            self.error(where, f"{what} must be a number, got {_kind(value)}")
            return None
        number = float(value)
        if not math.isfinite(number) or abs(number) > limit:
            self.error(where, f"{what} must be a finite number within ±{limit:g}, got {value!r}")
            return None
        if positive and not number > 0:
            self.error(where, f"{what} must be above 0, got {value!r}")
            return None
        if low is not None and number < low:
            self.error(where, f"{what} must be at least {low:g}, got {value!r}")
            return None
        return number

    def optional_number(self, table: Mapping[str, Any], key: str, where: KeyPath, what: str,
                        limit: float, **bounds) -> Optional[float]:
        if key not in table:
            return None
        return self.number(table[key], where + (key,), f"{what}{key}", limit, **bounds)

    def point(self, value: Any, where: KeyPath, what: str) -> Optional[Tuple[float, float]]:
        if not isinstance(value, list) or len(value) != 2:
            self.error(where, f"{what} must be a pair of numbers [x, y], got {_kind(value)}")
            return None
        x = self.number(value[0], where + (0,), f"{what} x", COORDINATE_LIMIT)
        y = self.number(value[1], where + (1,), f"{what} y", COORDINATE_LIMIT)
        return None if x is None or y is None else (x, y)

    def text(self, value: Any, where: KeyPath, what: str) -> Optional[str]:
        if not isinstance(value, str) or not value.strip():
            self.error(where, f"{what} must be a non-empty string, got {_kind(value)}")
            return None
        return value

    def address(self, key: str, where: KeyPath, what: str) -> Optional[int]:
        if not re.fullmatch(r"[0-9A-Fa-f]{1,4}", key):
            self.error(where, f"{what} {key!r}: an address is 1 to 4 hexadecimal digits")
            return None
        return int(key, 16)

    def addressed(self, data: Mapping[str, Any], where: KeyPath, what: str,
                  ) -> Dict[int, Tuple[str, Any]]:
        """The entries of a table keyed by device address, by address."""
        found: Dict[int, Tuple[str, Any]] = {}
        for key, value in data.items():
            address = self.address(key, where + (key,), what)
            if address is None:
                continue
            if address in found:
                self.error(where + (key,), f"{what} {address:04X} is listed twice "
                                           f"(as {found[address][0]!r} and {key!r})")
                continue
            found[address] = (key, value)
        return found

    # -- the file

    def site(self, data: Mapping[str, Any]) -> Optional[Site]:
        self.unknown_keys(data, _TOP, (), "site")
        name = None
        if "name" in data:
            name = self.text(data["name"], ("name",), "name")
        anchors, names, offsets = self.anchors(data)
        tags = self.tags(data)
        for address in sorted(self.listed_anchors & set(tags)):
            self.error(("tags", f"{address:04X}"),
                       f"address {address:04X} is both an anchor and a tag")
        frame = self.frame(data, anchors)
        geo = self.geo(data)
        plan = self.floor_plan(data)
        zones = self.zones(data)
        options = self.options(data)
        if frame is None:
            return None
        positioned = bool(anchors)
        if geo is not None and not frame.fitted and not positioned:
            self.error(("geo",), "geo: latitude and longitude need the site frame: give the "
                                 "frame's known anchors, or the anchors' positions")
        if zones and not frame.fitted and not positioned:
            self.warn(("zones",), "the site has no frame and its anchors are surveyed: the "
                                  "zones are taken in the survey's own coordinates (the first "
                                  "anchor at the origin, the second on +x)")
        if frame.fitted and positioned and not self.errors:
            try:
                fitted = fit_site_frame(frame, {a: s.position for a, s in anchors.items()}, geo)
            except FrameError as error:
                self.error(("frame",), f"frame: {error}")
            else:
                for warning in fitted.warnings():
                    self.warn(("frame",), warning)
        elif geo is not None:
            for warning in geo.warnings():
                self.warn(("geo",), warning)
        if self.errors:
            return None
        return Site(self.path, name, anchors, names, offsets, tags, frame, geo, plan,
                    tuple(zones), options)

    def anchors(self, data: Mapping[str, Any]
                ) -> Tuple[Dict[int, Anchor], Dict[int, str], Dict[int, float]]:
        positioned: Dict[int, Anchor] = {}
        names: Dict[int, str] = {}
        offsets: Dict[int, float] = {}
        table = self.table(data, "anchors", (), "anchors")
        if table is None:
            return positioned, names, offsets
        errors_before = len(self.errors)
        entries = self.addressed(table, ("anchors",), "anchor")
        self.listed_anchors = set(entries)
        with_position, without = [], []
        for address, (key, entry) in entries.items():
            where = ("anchors", key)
            what = f"anchor {address:04X}: "
            if not isinstance(entry, dict):
                self.error(where, f"anchor {address:04X} must be a table ([anchors.{key}])")
                continue
            self.unknown_keys(entry, _ANCHOR_KEYS, where, f"anchor {address:04X}")
            x = self.optional_number(entry, "x", where, what, COORDINATE_LIMIT)
            y = self.optional_number(entry, "y", where, what, COORDINATE_LIMIT)
            z = self.optional_number(entry, "z", where, what, HEIGHT_LIMIT)
            offset = self.optional_number(entry, "offset", where, what, OFFSET_LIMIT)
            name = self.text(entry["name"], where + ("name",), what + "name") \
                if "name" in entry else None
            if name is not None:
                names[address] = name
            if offset is not None:
                offsets[address] = offset
            given = [k for k in ("x", "y") if k in entry]
            if len(given) == 1:
                other = "y" if given[0] == "x" else "x"
                self.error(where + (given[0],), f"{what}{given[0]} given without {other}")
            elif not given and "z" in entry:
                self.error(where + ("z",), f"{what}z given without x and y")
            if given:
                with_position.append(address)
                if x is not None and y is not None:
                    positioned[address] = Anchor(x, y, z if z is not None else 0.0, offset, name)
            else:
                without.append((address, key))
        if with_position and without:
            first = f"{with_position[0]:04X}"
            for address, key in without:
                self.error(("anchors", key), f"anchor {address:04X}: no position, while {first} "
                                             "has one: give every anchor's x and y, or none "
                                             "(to survey them)")
        elif (with_position and len(self.errors) == errors_before
              and not devices.MIN_ANCHORS <= len(with_position) <= devices.MAX_ANCHORS):
            self.error(("anchors",), f"anchors: tracking needs {devices.MIN_ANCHORS} to "
                                     f"{devices.MAX_ANCHORS} anchors, the site positions "
                                     f"{len(with_position)}")
        return positioned, names, offsets

    def tags(self, data: Mapping[str, Any]) -> Dict[int, Tag]:
        found: Dict[int, Tag] = {}
        table = self.table(data, "tags", (), "tags")
        if table is None:
            return found
        for address, (key, entry) in self.addressed(table, ("tags",), "tag").items():
            where = ("tags", key)
            what = f"tag {address:04X}: "
            if not isinstance(entry, dict):
                self.error(where, f"tag {address:04X} must be a table ([tags.{key}])")
                continue
            self.unknown_keys(entry, _TAG_KEYS, where, f"tag {address:04X}")
            name = self.text(entry["name"], where + ("name",), what + "name") \
                if "name" in entry else None
            height = self.optional_number(entry, "height", where, what, HEIGHT_LIMIT)
            offset = self.optional_number(entry, "offset", where, what, OFFSET_LIMIT)
            found[address] = Tag(name, height, offset)
        return found

    def frame(self, data: Mapping[str, Any], anchors: Mapping[int, Anchor]
              ) -> Optional[FrameSpec]:
        table = self.table(data, "frame", (), "frame")
        if table is None:
            return FrameSpec() if "frame" not in data else None
        where: KeyPath = ("frame",)
        self.unknown_keys(table, _FRAME_KEYS, where, "frame")
        errors_before = len(self.errors)
        name = SITE_FRAME
        if "name" in table:
            name = self.text(table["name"], where + ("name",), "frame: name") or SITE_FRAME
        known = self.anchor_points(table, "known", anchors)
        rough = self.anchor_points(table, "rough", anchors)
        for address in sorted(set(known) & set(rough)):
            self.error(where + ("rough", f"{address:04X}"),
                       f"frame: anchor {address:04X} is known; rough positions are for others")
        points = []
        if "points" in table:
            entries = table["points"]
            if not isinstance(entries, list):
                self.error(where + ("points",), "frame: points must be an array of "
                                                "{ tracked = [x, y], site = [x, y] }")
                entries = []
            for k, entry in enumerate(entries):
                at = where + ("points", k)
                what = f"frame: point {k + 1}"
                if not isinstance(entry, dict):
                    self.error(at, f"{what} must be {{ tracked = [x, y], site = [x, y] }}")
                    continue
                self.unknown_keys(entry, _FRAME_POINT_KEYS, at, what)
                missing = [key for key in _FRAME_POINT_KEYS if key not in entry]
                if missing:
                    self.error(at, f"{what} needs {' and '.join(missing)}")
                    continue
                tracked = self.point(entry["tracked"], at + ("tracked",), f"{what} tracked")
                site = self.point(entry["site"], at + ("site",), f"{what} site")
                if tracked is not None and site is not None:
                    points.append((tracked, site))
        mirrored = None
        if "mirrored" in table:
            mirrored = table["mirrored"]
            if not isinstance(mirrored, bool):
                self.error(where + ("mirrored",), f"frame: mirrored must be true or false, "
                                                  f"got {_kind(mirrored)}")
                mirrored = None
        if len(self.errors) > errors_before:
            return None
        spec = FrameSpec(name, known, tuple(points), rough, mirrored)
        count = len(known) + len(points)
        if count < 2:
            self.error(where, f"frame: needs two or more known anchors or points, has {count}")
        elif not anchors and mirrored is None and not rough and _mirror_ambiguous(spec):
            self.error(where, "frame: the known points cannot tell the survey from its mirror "
                              "image (two points, or points on one line): add mirrored = true "
                              "or false, or rough = { \"ADDR\" = [x, y] }, the rough site "
                              "position of another anchor")
        return spec

    def anchor_points(self, table: Mapping[str, Any], key: str,
                      anchors: Mapping[int, Anchor]) -> Dict[int, Tuple[float, float]]:
        found: Dict[int, Tuple[float, float]] = {}
        where: KeyPath = ("frame", key)
        value = table.get(key)
        if value is None:
            return found
        if not isinstance(value, dict):
            self.error(where, f"frame: {key} must be a table of anchor addresses and [x, y]")
            return found
        for address, (name, point) in self.addressed(value, where, f"frame: {key} anchor").items():
            at = where + (name,)
            xy = self.point(point, at, f"frame: {key} anchor {address:04X}")
            if xy is None:
                continue
            if anchors and address not in anchors:
                self.error(at, f"frame: {key} anchor {address:04X} is not among the site's "
                               "anchors")
                continue
            found[address] = xy
        return found

    def geo(self, data: Mapping[str, Any]) -> Optional[GeoReference]:
        table = self.table(data, "geo", (), "geo")
        if table is None:
            return None
        where: KeyPath = ("geo",)
        self.unknown_keys(table, _GEO_KEYS, where, "geo")
        by_bearing = [k for k in ("latitude", "longitude", "bearing", "origin") if k in table]
        if "points" in table:
            if by_bearing:
                self.error(where + (by_bearing[0],), "geo: give either latitude, longitude and "
                                                     "bearing, or control points, not both")
                return None
            return self.control_points(table)
        if "mirrored" in table:
            self.error(where + ("mirrored",), "geo: mirrored goes with control points")
        missing = [k for k in ("latitude", "longitude", "bearing") if k not in table]
        if missing:
            self.error(where, f"geo: needs {', '.join(missing)} (or control points)")
            return None
        lat = self.number(table["latitude"], where + ("latitude",), "geo: latitude", 90)
        lon = self.number(table["longitude"], where + ("longitude",), "geo: longitude", 180)
        bearing = self.number(table["bearing"], where + ("bearing",), "geo: bearing", 360)
        origin: Optional[Tuple[float, float]] = (0.0, 0.0)
        if "origin" in table:
            origin = self.point(table["origin"], where + ("origin",), "geo: origin")
        if lat is None or lon is None or bearing is None or origin is None:
            return None
        return GeoReference.from_bearing(lat, lon, bearing, origin)

    def control_points(self, table: Mapping[str, Any]) -> Optional[GeoReference]:
        where: KeyPath = ("geo", "points")
        entries = table["points"]
        if not isinstance(entries, list):
            self.error(where, "geo: points must be an array of "
                              "{ site = [x, y], latitude = ..., longitude = ... }")
            return None
        points = []
        for k, entry in enumerate(entries):
            at = where + (k,)
            what = f"geo: point {k + 1}"
            if not isinstance(entry, dict):
                self.error(at, f"{what} must be {{ site = [x, y], latitude = ..., "
                               "longitude = ... }")
                continue
            self.unknown_keys(entry, _GEO_POINT_KEYS, at, what)
            missing = [key for key in _GEO_POINT_KEYS if key not in entry]
            if missing:
                self.error(at, f"{what} needs {', '.join(missing)}")
                continue
            site = self.point(entry["site"], at + ("site",), f"{what} site")
            lat = self.number(entry["latitude"], at + ("latitude",), f"{what} latitude", 90)
            lon = self.number(entry["longitude"], at + ("longitude",), f"{what} longitude", 180)
            if site is not None and lat is not None and lon is not None:
                points.append(ControlPoint(site[0], site[1], lat, lon))
        mirrored = table.get("mirrored")
        if mirrored is not None and not isinstance(mirrored, bool):
            self.error(("geo", "mirrored"), f"geo: mirrored must be true or false, "
                                            f"got {_kind(mirrored)}")
            return None
        if len(points) != len(entries):
            return None
        try:
            return GeoReference.from_control_points(points, mirrored)
        except ValueError as error:
            self.error(where, f"geo: {error}")
            return None

    def floor_plan(self, data: Mapping[str, Any]) -> Optional[FloorPlan]:
        table = self.table(data, "floor_plan", (), "floor_plan")
        if table is None:
            return None
        where: KeyPath = ("floor_plan",)
        self.unknown_keys(table, _PLAN_KEYS, where, "floor_plan")
        if "image" not in table:
            self.error(where, "floor_plan: needs image, the drawing's file")
            return None
        image_name = self.text(table["image"], where + ("image",), "floor_plan: image")
        origin: Optional[Tuple[float, float]] = (0.0, 0.0)
        if "origin" in table:
            origin = self.point(table["origin"], where + ("origin",), "floor_plan: origin")
        rotation = self.optional_number(table, "rotation", where, "floor_plan: ", 360)
        scale = self.optional_number(table, "scale", where, "floor_plan: ", COORDINATE_LIMIT,
                                     positive=True)
        width = self.optional_number(table, "width", where, "floor_plan: ", COORDINATE_LIMIT,
                                     positive=True)
        if ("scale" in table) == ("width" in table):
            self.error(where, "floor_plan: give either scale (metres per pixel) or width "
                              "(metres across the image)")
            return None
        if image_name is None or origin is None or (scale is None and width is None):
            return None
        image = self.path.parent / image_name
        try:
            size = image_size(image)
        except OSError as error:
            self.error(where + ("image",), f"floor_plan: cannot read {image}: "
                                           f"{error.strerror or error}")
            return None
        return FloorPlan(image, origin, rotation or 0.0, scale, width, size)

    def zones(self, data: Mapping[str, Any]) -> List[Zone]:
        defaults = {"exit_tolerance": DEFAULT_EXIT_TOLERANCE, "exit_delay": DEFAULT_EXIT_DELAY,
                    "entry_delay": DEFAULT_ENTRY_DELAY}
        table = self.table(data, "zone_defaults", (), "zone_defaults")
        if table is not None:
            self.unknown_keys(table, _HYSTERESIS, ("zone_defaults",), "zone_defaults")
            for key in _HYSTERESIS:
                value = self.optional_number(table, key, ("zone_defaults",), "zone_defaults: ",
                                             _limit(key), low=0)
                if value is not None:
                    defaults[key] = value
        entries = data.get("zones")
        if entries is None:
            return []
        if not isinstance(entries, list):
            self.error(("zones",), "zones must be an array of tables ([[zones]])")
            return []
        found: List[Zone] = []
        first_line: Dict[str, int] = {}
        for k, entry in enumerate(entries):
            zone = self.zone(k, entry, defaults)
            if zone is None:
                continue
            if zone.name in first_line:
                self.error(("zones", k, "name"), f"zone {zone.name!r} is named twice (first at "
                                                 f"line {first_line[zone.name]})")
                continue
            first_line[zone.name] = self.lines.line(("zones", k, "name"))
            found.append(zone)
        return found

    def zone(self, k: int, entry: Any, defaults: Mapping[str, float]) -> Optional[Zone]:
        where: KeyPath = ("zones", k)
        if not isinstance(entry, dict):
            self.error(where, f"zone {k + 1} must be a table")
            return None
        name = entry.get("name")
        label = f"zone {name!r}" if isinstance(name, str) and name.strip() else f"zone {k + 1}"
        self.unknown_keys(entry, _ZONE_KEYS, where, label)
        errors_before = len(self.errors)
        if "name" not in entry:
            self.error(where, f"{label}: needs a name")
        else:
            self.text(name, where + ("name",), f"{label}: name")
        polygon = None
        if "polygon" not in entry:
            self.error(where, f"{label}: needs a polygon, [[x, y], ...] in site metres")
        else:
            polygon = self.polygon(entry["polygon"], where + ("polygon",), label)
        settings = dict(defaults)
        for key in _HYSTERESIS:
            value = self.optional_number(entry, key, where, f"{label}: ", _limit(key), low=0)
            if value is not None:
                settings[key] = value
        heights = [self.optional_number(entry, key, where, f"{label}: ", HEIGHT_LIMIT)
                   for key in ("min_height", "max_height")]
        color = entry.get("color")
        if color is not None and not (isinstance(color, str) and _COLOR.fullmatch(color)):
            self.error(where + ("color",), f"{label}: color must be #rgb or #rrggbb, "
                                           f"got {color!r}")
        if isinstance(name, str) and name.strip():
            problem = name_problem(name)
            if problem is not None:
                self.error(where + ("name",), f"{label}: {problem}")
        low, high = heights
        if low is not None and high is not None and low > high:
            self.error(where + ("min_height",), f"{label}: min_height {low:g} is above "
                                                f"max_height {high:g}")
        if len(self.errors) > errors_before or polygon is None:
            return None
        return Zone(str(name), tuple(polygon), settings["exit_tolerance"], settings["exit_delay"],
                    settings["entry_delay"], low, high, color)

    def polygon(self, value: Any, where: KeyPath, label: str
                ) -> Optional[List[Tuple[float, float]]]:
        if not isinstance(value, list):
            self.error(where, f"{label}: polygon must be an array of [x, y] points")
            return None
        points = []
        for k, point in enumerate(value):
            xy = self.point(point, where + (k,), f"{label}: point {k + 1}")
            if xy is not None:
                points.append(xy)
        if len(points) != len(value):
            return None
        problem = polygon_problem(points)
        if problem is not None:
            self.error(where, f"{label}: {problem}")
            return None
        return points

    def options(self, data: Mapping[str, Any]) -> Dict[str, OptionValue]:
        found: Dict[str, OptionValue] = {}
        table = self.table(data, "options", (), "options")
        if table is None:
            return found
        for key, value in table.items():
            where = ("options", key)
            name = key.replace("-", "_")
            if isinstance(value, dict):
                self.error(where, f"options.{key}: a table is no option's value")
                continue
            if name in found:
                self.error(where, f"options.{key} is given twice (also as "
                                  f"{found[name].key!r})")
                continue
            found[name] = OptionValue(key, value, self.lines.line(where))
        return found


def _limit(key: str) -> float:
    return COORDINATE_LIMIT if key == "exit_tolerance" else DELAY_LIMIT


def _mirror_ambiguous(spec: FrameSpec) -> bool:
    """Whether the known site points fit their own mirror image as well as
    themselves, as two points or points on one line do."""
    site = list(spec.known.values()) + [s for _, s in spec.points]
    mirrored = fit_frame(site, site, True)
    misfit = math.sqrt(math.fsum(math.dist(mirrored(*p), p) ** 2 for p in site) / len(site))
    return misfit < AMBIGUOUS_MISFIT


def _kind(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return repr(value)
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, list):
        return "an array"
    if isinstance(value, dict):
        return "a table"
    return type(value).__name__
