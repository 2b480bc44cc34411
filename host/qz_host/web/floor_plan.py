"""The floor plan under the map: one image, placed in site coordinates.

The image is read once, when configured, and held in memory: the server
hands out these bytes under one fixed URL and never opens a file for a
request. Its type is told by its first bytes, not by the file's name, and
only image types a browser draws in an <image> element are taken.
"""

from __future__ import annotations

import math
from pathlib import Path
from typing import Any, Dict, Tuple, Union

FLOOR_PLAN_PATH = "/floor-plan"
MAX_BYTES = 32 * 1024 * 1024  # a large scanned plan; more is a mistake


def image_type(data: bytes) -> str:
    """The content type of an image from its first bytes; ValueError for
    anything but PNG, JPEG, GIF, WebP and SVG."""
    if data.startswith(b"\x89PNG\r\n\x1a\n"):
        return "image/png"
    if data.startswith(b"\xff\xd8\xff"):
        return "image/jpeg"
    if data.startswith((b"GIF87a", b"GIF89a")):
        return "image/gif"
    if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        return "image/webp"
    head = data[:4096].lstrip(b"\xef\xbb\xbf \t\r\n")
    if head.startswith((b"<?xml", b"<svg", b"<!--", b"<!DOCTYPE svg")) and b"<svg" in head:
        return "image/svg+xml"
    raise ValueError("not a PNG, JPEG, GIF, WebP or SVG image")


class FloorPlan:
    """An image and the rectangle it covers in site coordinates: its left,
    bottom, right and top edges in metres (x to the right, y up)."""

    def __init__(self, image: bytes, bounds: Tuple[float, float, float, float]):
        if not isinstance(image, (bytes, bytearray)):
            raise TypeError(f"the floor plan image must be bytes, got {type(image).__name__}")
        if len(image) > MAX_BYTES:
            raise ValueError(f"the floor plan image is {len(image)} bytes, "
                             f"more than {MAX_BYTES}")
        self.content_type = image_type(bytes(image))
        self.image = bytes(image)
        self.bounds = _bounds(bounds)

    @classmethod
    def read(cls, path: Union[str, Path],
             bounds: Tuple[float, float, float, float]) -> "FloorPlan":
        """The image file at `path`; OSError when it cannot be read,
        ValueError (naming the file) when it is no image or too large."""
        path = Path(path)
        with open(path, "rb") as source:
            data = source.read(MAX_BYTES + 1)
        try:
            return cls(data, bounds)
        except ValueError as error:
            raise ValueError(f"{path}: {error}") from None

    def placement(self, version: int) -> Dict[str, Any]:
        """Where the page finds and draws it; the URL changes with every
        new plan, so a browser never shows an older one."""
        left, bottom, right, top = self.bounds
        return {"url": f"{FLOOR_PLAN_PATH}?v={version}", "type": self.content_type,
                "left": left, "bottom": bottom, "right": right, "top": top}


def _bounds(bounds: Any) -> Tuple[float, float, float, float]:
    try:
        left, bottom, right, top = (float(v) for v in bounds)
    except (TypeError, ValueError):
        raise ValueError(f"the floor plan's bounds are (left, bottom, right, top) in metres, "
                         f"got {bounds!r}") from None
    if not all(math.isfinite(v) for v in (left, bottom, right, top)):
        raise ValueError(f"the floor plan's bounds must be finite, got {bounds!r}")
    if not (left < right and bottom < top):
        raise ValueError(f"the floor plan's bounds need left < right and bottom < top, "
                         f"got {bounds!r}")
    return left, bottom, right, top
