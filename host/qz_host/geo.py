"""Site coordinates to latitude and longitude, and back.

A site is a horizontal plane: metres east and north of a reference point,
turned by the bearing of the site's +y axis. Latitude and longitude come
from that plane through Earth-centred coordinates on the WGS 84 ellipsoid
(east-north-up about the reference, then geodetic), so the conversion adds
no error of its own worth naming (well under a millimetre). What a large
site adds is the plane rising above the curved ground, d**2 / (2 R) at a
distance d from the reference (8 cm at 1 km); a point is carried down along
the ellipsoid's normal, which moves it sideways by some d**3 / (2 R**2):
12 micrometres at 1 km, 3 mm at 6 km. Over a building or a campus of a few
kilometres, latitude and longitude are as good as the reference they start
from.

A reference is given either as a latitude, longitude and bearing, or as
ground control points (site x, y with their latitude and longitude), to
which the site's rotation and translation into the plane are fitted.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

from .evaluate import AMBIGUOUS_MISFIT, FrameMap, fit_frame

Point = Tuple[float, float]

# WGS 84.
SEMI_MAJOR = 6378137.0
FLATTENING = 1 / 298.257223563
_E2 = FLATTENING * (2 - FLATTENING)
# Ground control points come from drawings, aerial images or satellite
# receivers, good to a few decimetres at best; a fit worse than this (m,
# RMS) means a point was mistyped or its latitude and longitude swapped.
GCP_WARN_RMS = 0.5


def to_ecef(lat: float, lon: float, height: float = 0.0) -> Tuple[float, float, float]:
    """Earth-centred coordinates (m) of a latitude and longitude (degrees)."""
    phi, lam = math.radians(lat), math.radians(lon)
    n = SEMI_MAJOR / math.sqrt(1 - _E2 * math.sin(phi) ** 2)
    return ((n + height) * math.cos(phi) * math.cos(lam),
            (n + height) * math.cos(phi) * math.sin(lam),
            (n * (1 - _E2) + height) * math.sin(phi))


def from_ecef(x: float, y: float, z: float) -> Tuple[float, float, float]:
    """Latitude, longitude (degrees) and height (m) of Earth-centred
    coordinates, by fixed-point iteration on the latitude (it settles to
    1e-12 rad within a few steps anywhere near the ground)."""
    lon = math.atan2(y, x)
    p = math.hypot(x, y)
    phi = math.atan2(z, p * (1 - _E2))
    height = 0.0
    for _ in range(10):
        n = SEMI_MAJOR / math.sqrt(1 - _E2 * math.sin(phi) ** 2)
        height = p / math.cos(phi) - n
        new = math.atan2(z, p * (1 - _E2 * n / (n + height)))
        if abs(new - phi) < 1e-13:
            phi = new
            break
        phi = new
    return math.degrees(phi), math.degrees(lon), height


@dataclass(frozen=True)
class Tangent:
    """East-north-up metres about a point on the ellipsoid."""

    lat: float
    lon: float

    def _axes(self):
        phi, lam = math.radians(self.lat), math.radians(self.lon)
        sp, cp, sl, cl = math.sin(phi), math.cos(phi), math.sin(lam), math.cos(lam)
        east = (-sl, cl, 0.0)
        north = (-sp * cl, -sp * sl, cp)
        up = (cp * cl, cp * sl, sp)
        return east, north, up

    def to_lat_lon(self, east: float, north: float) -> Point:
        e, n, _ = self._axes()
        ox, oy, oz = to_ecef(self.lat, self.lon)
        lat, lon, _ = from_ecef(ox + east * e[0] + north * n[0],
                                oy + east * e[1] + north * n[1],
                                oz + east * e[2] + north * n[2])
        return lat, lon

    def from_lat_lon(self, lat: float, lon: float) -> Point:
        e, n, _ = self._axes()
        ox, oy, oz = to_ecef(self.lat, self.lon)
        x, y, z = to_ecef(lat, lon)
        d = (x - ox, y - oy, z - oz)
        return (d[0] * e[0] + d[1] * e[1] + d[2] * e[2],
                d[0] * n[0] + d[1] * n[1] + d[2] * n[2])


@dataclass(frozen=True)
class ControlPoint:
    """A ground control point: where a site point lies on the Earth."""

    x: float
    y: float
    lat: float
    lon: float


@dataclass(frozen=True)
class GeoReference:
    """Site (x, y) to latitude and longitude: the site plane mapped into the
    tangent plane at `tangent` by `to_plane` (rotation, translation and,
    for a left-handed site, reflection). `residuals` (m) are those of the
    control points it was fitted to, none for a given bearing."""

    tangent: Tangent
    to_plane: FrameMap
    residuals: Tuple[float, ...] = ()

    @classmethod
    def from_bearing(cls, lat: float, lon: float, bearing: float,
                     origin: Point = (0.0, 0.0)) -> "GeoReference":
        """The site point `origin` at `lat`, `lon`; its +y axis `bearing`
        degrees clockwise from north and its +x axis 90 degrees clockwise
        of that (a right-handed site seen from above)."""
        b = math.radians(bearing)
        cos, sin = math.cos(b), -math.sin(b)  # the turn of site axes into east-north
        ox, oy = origin
        shift = (-(cos * ox - sin * oy), -(sin * ox + cos * oy))
        return cls(Tangent(lat, lon), FrameMap(cos, sin, False, shift))

    @classmethod
    def from_control_points(cls, points: Sequence[ControlPoint],
                            mirrored: Optional[bool] = None) -> "GeoReference":
        """The fit to two or more control points. Two cannot tell a
        left-handed site from a right-handed one and are taken as
        right-handed unless `mirrored` says otherwise; three or more choose
        the handedness that fits better, unless they lie too nearly on one
        line to tell, when the site is taken as right-handed."""
        if len(points) < 2:
            raise ValueError("a geographic fit needs two or more control points")
        lat = math.fsum(p.lat for p in points) / len(points)
        lon = math.fsum(p.lon for p in points) / len(points)
        tangent = Tangent(lat, lon)
        site = [(p.x, p.y) for p in points]
        plane = [tangent.from_lat_lon(p.lat, p.lon) for p in points]
        if max(math.dist(site[0], s) for s in site) == 0:
            raise ValueError("the control points all lie at one site point")
        choices = [mirrored] if mirrored is not None else [False, True]
        fits = [(_misfit(f, site, plane), f)
                for f in (fit_frame(site, plane, m) for m in choices)]
        best = fits[0]
        if len(fits) == 2 and len(points) >= 3 and fits[1][0] < fits[0][0] - AMBIGUOUS_MISFIT:
            best = fits[1]
        frame = best[1]
        residuals = tuple(math.dist(frame(*s), p) for s, p in zip(site, plane))
        return cls(tangent, frame, residuals)

    @property
    def rms(self) -> float:
        if not self.residuals:
            return 0.0
        return math.sqrt(math.fsum(r * r for r in self.residuals) / len(self.residuals))

    def warnings(self) -> List[str]:
        if self.rms > GCP_WARN_RMS:
            worst = max(range(len(self.residuals)), key=lambda i: self.residuals[i])
            return [f"geo: control points fit with {self.rms:.2f} m RMS (point {worst + 1} "
                    f"is {self.residuals[worst]:.2f} m off): check their coordinates"]
        return []

    def lat_lon(self, x: float, y: float) -> Point:
        """Latitude and longitude (degrees) of the site point (x, y)."""
        return self.tangent.to_lat_lon(*self.to_plane(x, y))


def _misfit(frame: FrameMap, source: Sequence[Point], target: Sequence[Point]) -> float:
    return math.sqrt(math.fsum(math.dist(frame(*s), t) ** 2 for s, t in zip(source, target))
                     / len(source))
