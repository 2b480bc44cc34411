"""When a live recording starts a new file, and what the files are called.

``--record-rotate SIZE`` (bytes, or with K, M or G: powers of 1024) starts
a new file before a frame would take the current one past SIZE;
``--record-rotate hourly`` starts one at the first frame of each hour (UTC,
of the frames' receive times). The files of a rotated recording are named
for the receive time of their first frame: ``--record rec.qzcap`` writes
``rec-20261210T101500Z.qzcap``, ``rec-20261210T110000Z.qzcap``, ... (with
``_001``, ``_002`` added to a name that is taken), so that the names sort
in the order of the files.
"""

from __future__ import annotations

import argparse
import math
import time
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Optional

HOURLY = "hourly"
_SIZE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
MIN_SIZE = 1 << 10  # below a kilobyte every file would hold a frame or two
MAX_SIZE = 1 << 50


@dataclass(frozen=True)
class Rotation:
    """Either `size` bytes per file or, when `hourly`, a file per hour."""

    size: Optional[int] = None
    hourly: bool = False

    def due(self, written: int, line: int, first_time: float, time_now: float) -> bool:
        """Whether a frame line of `line` bytes at `time_now` goes to a new
        file, the current one holding `written` bytes of frames from
        `first_time` on."""
        if self.hourly:
            return math.floor(time_now / 3600) != math.floor(first_time / 3600)
        return self.size is not None and written + line > self.size


def rotation(text: str) -> Rotation:
    """The option type of ``--record-rotate``: SIZE or "hourly"."""
    if text.strip().lower() == HOURLY:
        return Rotation(hourly=True)
    body = text.strip().upper()
    body = body[:-1] if body.endswith("B") else body
    unit = body[-1:] if body[-1:] in _SIZE_UNITS else ""
    digits = body[:-1] if unit else body
    try:
        size = int(digits) * _SIZE_UNITS[unit]
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"not a size (100M, 2G, 500K, bytes) or hourly: {text!r}") from None
    if not MIN_SIZE <= size <= MAX_SIZE:
        raise argparse.ArgumentTypeError(f"must be 1K to 1024T, got {text}")
    return Rotation(size=size)


def open_next(series: Path, first_time: float) -> IO[str]:
    """A new file of the recording `series`, named for `first_time`; never
    one that exists (OSError when none can be made)."""
    stamp = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime(first_time))
    for n in range(1000):
        name = f"{series.stem}-{stamp}{f'_{n:03d}' if n else ''}{series.suffix}"
        try:
            return open(series.with_name(name), "x", encoding="ascii", newline="")
        except FileExistsError:
            continue
    raise FileExistsError(f"every name for {series.stem}-{stamp} is taken")
