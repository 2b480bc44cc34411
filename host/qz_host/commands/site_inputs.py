"""What the tracking commands (replay, view, live, calibrate) are told of a
site's devices, the same options for each: the anchors (positions and
offsets), the tags (names, heights, offsets), their default height, and
the ranging noise."""

from __future__ import annotations

import argparse
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional

from .. import devices
from ..options import HEIGHT, SIGMA
from .base import CommandError


@dataclass
class SiteInputs:
    """The devices as given; None where the command is to find out."""

    anchors: Optional[Dict[int, devices.Anchor]] = None  # None: survey them
    anchors_path: Optional[Path] = None
    tags: Dict[int, devices.Tag] = field(default_factory=dict)
    tags_path: Optional[Path] = None
    tag_height: Optional[float] = None  # None: the anchors' plane
    sigma: Optional[float] = None  # None: measure or estimate it

    @property
    def inputs(self) -> List[Path]:
        """The files read, which no output may overwrite."""
        return [p for p in (self.anchors_path, self.tags_path) if p is not None]


def add_options(parser: argparse.ArgumentParser, *, anchors_help: Optional[str] = None) -> None:
    parser.add_argument("--anchors", type=Path, metavar="FILE",
                        help=anchors_help or "known anchors (CSV anchor,x,y,z[,offset] in "
                        "metres, as NAME.anchors.csv): the anchors are not surveyed")
    parser.add_argument("--tags", type=Path, metavar="FILE",
                        help="what is known of the tags (CSV tag[,name,height,offset]; "
                             "every column but tag optional)")
    parser.add_argument("--tag-height", type=HEIGHT, metavar="M",
                        help="the tags' z in the anchors' frame where the tags file gives "
                             "none (default: the anchors' mean z)")
    parser.add_argument("--sigma", type=SIGMA, metavar="M",
                        help="the ranging noise (default: measured from the anchors' ranges "
                             "of one another, else estimated from the tags' ranges)")


def read(args: argparse.Namespace) -> SiteInputs:
    """The devices the options give; CommandError for a file that cannot be
    read or holds bad values."""
    found = SiteInputs(sigma=getattr(args, "sigma", None),
                       tag_height=getattr(args, "tag_height", None))
    if getattr(args, "anchors", None) is not None:
        found.anchors_path = args.anchors
        found.anchors = read_known_anchors(args.anchors)
    if getattr(args, "tags", None) is not None:
        found.tags_path = args.tags
        found.tags = _read(devices.read_tags, args.tags)
    return found


def read_known_anchors(path: Path) -> Dict[int, devices.Anchor]:
    """The anchors of a file given for tracking."""
    return _read(devices.read_anchors, path)


def _read(reader, path: Path):
    try:
        return reader(path)
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror}") from None
    except ValueError as error:
        raise CommandError(str(error)) from None
