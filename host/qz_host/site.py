"""A site as its file describes it: anchors, tags, the site frame, the
geographic reference, the floor plan, the zones and the options' defaults.

``site_file.read_site`` builds a ``Site``; the commands take from it what
they need. Anchors and tags are the records of ``devices``, so a site's and
an ``--anchors``/``--tags`` file's are the same things. When both are
given the command line wins whole: ``--anchors FILE`` replaces the site's
anchor positions and offsets (the site's names still label them), and
``--tags FILE`` replaces the site's tags.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Dict, List, Mapping, Optional, Sequence, Tuple

from .devices import Anchor, Tag
from .geo import GeoReference
from .site_frame import SURVEY_FRAME, FrameSpec, SiteFrame, fit_site_frame
from .zones import Zone, ZoneTracker

Point = Tuple[float, float]


@dataclass(frozen=True)
class FloorPlan:
    """A drawing under the map: `image` (a path) with its top-left corner at
    the site point `origin`, turned `rotation` degrees counter-clockwise,
    at `scale` metres per pixel or spanning `width` metres across. `size`
    is the image's (width, height) in pixels when the file tells it."""

    image: Path
    origin: Point = (0.0, 0.0)
    rotation: float = 0.0
    scale: Optional[float] = None
    width: Optional[float] = None
    size: Optional[Tuple[int, int]] = None

    def metres_per_pixel(self, pixel_width: Optional[int] = None) -> float:
        if self.scale is not None:
            return self.scale
        across = pixel_width if pixel_width is not None else (self.size or (0, 0))[0]
        if not across or self.width is None:
            raise ValueError(f"the floor plan's scale needs the width of {self.image} in pixels")
        return self.width / across

    def corners(self, pixel_width: Optional[int] = None,
                pixel_height: Optional[int] = None) -> List[Point]:
        """Site coordinates of the image's top-left, top-right,
        bottom-right and bottom-left corners (image rows run down, the
        site's y up)."""
        w = pixel_width if pixel_width is not None else (self.size or (0, 0))[0]
        h = pixel_height if pixel_height is not None else (self.size or (0, 0))[1]
        if not (w and h):
            raise ValueError(f"the floor plan's corners need the size of {self.image} in pixels")
        s = self.metres_per_pixel(w)
        r = math.radians(self.rotation)
        right = (s * math.cos(r), s * math.sin(r))
        down = (s * math.sin(r), -s * math.cos(r))
        ox, oy = self.origin

        def at(u: float, v: float) -> Point:
            return (ox + u * right[0] + v * down[0], oy + u * right[1] + v * down[1])

        return [at(0, 0), at(w, 0), at(w, h), at(0, h)]

    def as_json(self) -> dict:
        return {"image": str(self.image), "origin": list(self.origin),
                "rotation": self.rotation, "scale": self.scale, "width": self.width,
                "size": list(self.size) if self.size else None}


@dataclass(frozen=True)
class OptionValue:
    """A default for a command-line option: the key as written, its TOML
    value and the line it stands on."""

    key: str
    value: object
    line: int


@dataclass(frozen=True)
class Site:
    """Everything a site file says. `anchors` holds the anchors whose
    positions it gives (every listed anchor, or none: then they are
    surveyed); `anchor_names` and `anchor_offsets` cover every listed
    anchor either way. `options` are keyed by option name with
    underscores."""

    path: Path
    name: Optional[str] = None
    anchors: Mapping[int, Anchor] = field(default_factory=dict)
    anchor_names: Mapping[int, str] = field(default_factory=dict)
    anchor_offsets: Mapping[int, float] = field(default_factory=dict)
    tags: Mapping[int, Tag] = field(default_factory=dict)
    frame: FrameSpec = field(default_factory=FrameSpec)
    geo: Optional[GeoReference] = None
    floor_plan: Optional[FloorPlan] = None
    zones: Tuple[Zone, ...] = ()
    options: Mapping[str, OptionValue] = field(default_factory=dict)

    def known_anchors(self, from_file: Optional[Mapping[int, Anchor]] = None
                      ) -> Optional[Dict[int, Anchor]]:
        """The anchors tracking starts from, None when they are to be
        surveyed: those of `from_file` (an ``--anchors`` file) when given,
        named by the site, else the site's own."""
        if from_file is not None:
            return {a: self._named(a, anchor) for a, anchor in from_file.items()}
        return dict(self.anchors) if self.anchors else None

    def surveyed_anchors(self, positions: Mapping[int, Sequence[float]]) -> Dict[int, Anchor]:
        """Anchor records for surveyed (x, y[, z]) positions, with the
        site's names and offsets."""
        return {a: Anchor(float(p[0]), float(p[1]), float(p[2]) if len(p) > 2 else 0.0,
                          self.anchor_offsets.get(a), self.anchor_names.get(a))
                for a, p in positions.items()}

    def _named(self, address: int, anchor: Anchor) -> Anchor:
        name = anchor.name or self.anchor_names.get(address)
        return anchor if name == anchor.name else replace(anchor, name=name)

    def tag_table(self, from_file: Optional[Mapping[int, Tag]] = None) -> Dict[int, Tag]:
        """The tags: those of `from_file` (a ``--tags`` file) when given,
        else the site's."""
        return dict(from_file if from_file is not None else self.tags)

    def site_frame(self, anchors: Mapping[int, Sequence[float]],
                   surveyed: bool) -> SiteFrame:
        """The frame for tracking `anchors`; `surveyed` says whether they
        came from a survey (then, without a fit, outputs stay in the
        survey's frame). FrameError when it cannot be fitted."""
        if not self.frame.fitted and surveyed:
            return SiteFrame(SURVEY_FRAME)
        return fit_site_frame(self.frame, anchors, self.geo)

    def zone_tracker(self, tag_timeout: Optional[float] = None) -> ZoneTracker:
        return ZoneTracker(self.zones, tag_timeout)
