"""The building's frame: anchor coordinates as tracking has them, moved to
the site's own.

A survey places anchor 1 at the origin and anchor 2 on the +x axis, and
may come out as the mirror image of the real layout, since distances carry
no handedness. Two or more anchors with known site coordinates (and any
further points known in both frames) tie it to the building: the rotation
and translation, after a reflection where the survey is mirrored, that fit
them best in least squares. There is no scale to fit: both sides are
metres.

Two points, or points on one line, fit a layout and its mirror image
equally well. The handedness then comes from the site's ``mirrored``
setting, or from rough site positions of other anchors (to a metre or so),
which choose the mirror image that puts them nearer and take no other part
in the fit.

Residuals are reported per point. The fit warns when their RMS exceeds
``WARN_RMS`` or one exceeds ``WARN_RESIDUAL``: a survey is good to a few
centimetres and a tape-measured anchor to about as much, so a decimetre
means a mistyped coordinate, two addresses swapped or a bad survey, and it
would shift every fix by as much.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Dict, List, Mapping, Optional, Sequence, Tuple

from .evaluate import AMBIGUOUS_MISFIT, FrameMap, fit_frame
from .geo import GeoReference

Point = Tuple[float, float]

WARN_RMS = 0.1
WARN_RESIDUAL = 0.2
# Rough positions must tell the two handednesses apart by this much (m,
# RMS) to choose between them.
ROUGH_MARGIN = 1.0
SITE_FRAME = "site"  # the name of a site frame that gives none
SURVEY_FRAME = "survey"  # outputs in the survey's own frame, with no site frame


class FrameError(ValueError):
    """The site's frame cannot be fitted to the anchors tracking has."""


@dataclass(frozen=True)
class FrameSpec:
    """What a site says of its frame. `known` gives anchors' site
    coordinates, `points` pairs of (tracking, site) coordinates, `rough`
    anchors' rough site coordinates; `mirrored` None lets the fit choose."""

    name: str = SITE_FRAME
    known: Mapping[int, Point] = field(default_factory=dict)
    points: Tuple[Tuple[Point, Point], ...] = ()
    rough: Mapping[int, Point] = field(default_factory=dict)
    mirrored: Optional[bool] = None

    @property
    def fitted(self) -> bool:
        """Whether there is a fit to make, or the frame is the identity."""
        return bool(self.known or self.points)


def _identity() -> FrameMap:
    return FrameMap(1.0, 0.0, False)


@dataclass(frozen=True)
class SiteFrame:
    """Tracking coordinates to site coordinates (and to latitude and
    longitude when `geo` is given). Call it with (x, y) for the site (x, y)."""

    name: str
    transform: FrameMap = field(default_factory=_identity)
    residuals: Mapping[str, float] = field(default_factory=dict)  # by anchor or point label
    geo: Optional[GeoReference] = None

    def __call__(self, x: float, y: float) -> Point:
        return self.transform(x, y)

    @property
    def identity(self) -> bool:
        t = self.transform
        return t.cos == 1.0 and t.sin == 0.0 and not t.mirrored and t.shift == (0.0, 0.0)

    @property
    def rms(self) -> float:
        if not self.residuals:
            return 0.0
        return math.sqrt(math.fsum(r * r for r in self.residuals.values()) / len(self.residuals))

    def warnings(self) -> List[str]:
        found = []
        if self.residuals:
            worst = max(self.residuals, key=lambda k: self.residuals[k])
            if self.rms > WARN_RMS or self.residuals[worst] > WARN_RESIDUAL:
                found.append(f"frame: the known points fit with {self.rms:.3f} m RMS "
                             f"({worst} is {self.residuals[worst]:.3f} m off): check their "
                             "site coordinates and addresses")
        if self.geo is not None:
            found.extend(self.geo.warnings())
        return found

    def place(self, x: float, y: float) -> Dict[str, float]:
        """The site position of a tracking (x, y), with "lat" and "lon" when
        the site is placed on the Earth: the fields a fix's outputs take."""
        sx, sy = self.transform(x, y)
        out = {"x": sx, "y": sy}
        if self.geo is not None:
            out["lat"], out["lon"] = self.geo.lat_lon(sx, sy)
        return out

    def describe(self) -> dict:
        """The frame as outputs and recordings' headers state it."""
        t = self.transform
        out = {"frame": self.name,
               "rotation_deg": round(math.degrees(math.atan2(t.sin, t.cos)), 6),
               "mirrored": t.mirrored, "shift": [t.shift[0], t.shift[1]]}
        if self.residuals:
            out["rms"] = self.rms
            out["residuals"] = dict(self.residuals)
        return out


def fit_site_frame(spec: FrameSpec, anchors: Mapping[int, Sequence[float]],
                   geo: Optional[GeoReference] = None) -> SiteFrame:
    """The site frame for tracking `anchors` (address to x, y, ...): the
    identity when `spec` has nothing to fit. Known anchors that tracking
    does not have are left out; FrameError when fewer than two points
    remain, or when nothing tells the survey from its mirror image."""
    if not spec.fitted:
        return SiteFrame(spec.name, geo=geo)
    labels: List[str] = []
    source: List[Point] = []
    target: List[Point] = []
    for address, site in sorted(spec.known.items()):
        if address in anchors:
            labels.append(f"{address:04X}")
            source.append((float(anchors[address][0]), float(anchors[address][1])))
            target.append(site)
    for k, (tracked, site) in enumerate(spec.points):
        labels.append(f"point {k + 1}")
        source.append(tracked)
        target.append(site)
    if len(source) < 2:
        missing = sorted(set(spec.known) - set(anchors))
        raise FrameError("the site frame needs two known points among the anchors tracked; "
                         f"not tracked: {', '.join(f'{a:04X}' for a in missing) or 'none'}")
    if max(math.dist(source[0], s) for s in source) == 0:
        raise FrameError("the known anchors all stand at one tracked position")
    choices = [spec.mirrored] if spec.mirrored is not None else [False, True]
    fits = sorted(((_misfit(f, source, target), f.mirrored, f) for f in
                   (fit_frame(source, target, m) for m in choices)), key=lambda item: item[:2])
    best = fits[0][2]
    if len(fits) == 2 and fits[1][0] - fits[0][0] < AMBIGUOUS_MISFIT:
        best = _by_rough(spec, anchors, [fits[0][2], fits[1][2]])
    residuals = {label: math.dist(best(*s), t) for label, s, t in zip(labels, source, target)}
    return SiteFrame(spec.name, best, residuals, geo)


def _by_rough(spec: FrameSpec, anchors: Mapping[int, Sequence[float]],
              candidates: Sequence[FrameMap]) -> FrameMap:
    """The candidate that puts the rough anchors nearer their rough places."""
    pairs = [((float(anchors[a][0]), float(anchors[a][1])), p)
             for a, p in sorted(spec.rough.items()) if a in anchors]
    if not pairs:
        raise FrameError("the known points cannot tell the survey from its mirror image "
                         "(two points, or points on one line): give the frame's mirrored "
                         "setting or the rough site position of another anchor tracking has")
    misfits = sorted(((_misfit(c, [s for s, _ in pairs], [t for _, t in pairs]), c.mirrored, c)
                      for c in candidates), key=lambda item: item[:2])
    if misfits[1][0] - misfits[0][0] < ROUGH_MARGIN:
        raise FrameError("the rough anchor positions lie too near the line of the known "
                         "points to tell the survey from its mirror image: give the frame's "
                         "mirrored setting or the rough position of an anchor farther from it")
    return misfits[0][2]


def _misfit(frame: FrameMap, source: Sequence[Point], target: Sequence[Point]) -> float:
    return math.sqrt(math.fsum(math.dist(frame(*s), t) ** 2 for s, t in zip(source, target))
                     / len(source))
