"""What the tracking commands (replay, view, live, calibrate) are told of a
site, the same options for each: the site file (``--site``: its frame,
zones, floor plan and option defaults), the anchors (positions and
offsets), the tags (names, heights, offsets), their default height, and
the ranging noise.

A site file's option defaults are applied before the command runs, for
the options the command line does not give; ``--anchors`` and ``--tags``
files replace the site's anchors and tags (the site's names still label
them)."""

from __future__ import annotations

import argparse
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Sequence

from .. import devices
from ..options import HEIGHT, SIGMA
from ..site import Site
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
    site: Optional[Site] = None
    site_warnings: List[str] = field(default_factory=list)

    @property
    def inputs(self) -> List[Path]:
        """The files read, which no output may overwrite."""
        site = self.site.path if self.site is not None else None
        return [p for p in (self.anchors_path, self.tags_path, site) if p is not None]


def add_options(parser: argparse.ArgumentParser, *, anchors_help: Optional[str] = None,
                noise: bool = True) -> None:
    parser.add_argument("--site", type=Path, metavar="FILE",
                        help="the site file (TOML): anchors, tags, the building's frame, zones, "
                             "floor plan and option defaults (qz-host site check FILE checks it)")
    parser.add_argument("--anchors", type=Path, metavar="FILE",
                        help=anchors_help or "known anchors (CSV anchor,x,y,z[,offset] in "
                        "metres, as NAME.anchors.csv): the anchors are not surveyed")
    parser.add_argument("--tags", type=Path, metavar="FILE",
                        help="what is known of the tags (CSV tag[,name,height,offset]; "
                             "every column but tag optional)")
    parser.add_argument("--tag-height", type=HEIGHT, metavar="M",
                        help="the tags' z in the anchors' frame where the tags file gives "
                             "none (default: the anchors' mean z)")
    if noise:
        parser.add_argument("--sigma", type=SIGMA, metavar="M",
                            help="the ranging noise (default: measured from the anchors' "
                                 "ranges of one another, else estimated from the tags' ranges)")


def load_site(parser: argparse.ArgumentParser, args: argparse.Namespace,
              argv: Optional[Sequence[str]]) -> None:
    """Reads the ``--site`` file, if any, into ``args.site_file`` and applies
    its option defaults to `args`; CommandError for a bad file."""
    from ..site_file import SiteError, read_site
    from ..site_options import apply_options, command_parsers, given_options

    path = getattr(args, "site", None)
    if path is None:
        return
    try:
        loaded = read_site(path)
        given = given_options(parser, argv)
        apply_options(loaded.site, command_parsers()[args.command], args, given)
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror}") from None
    except SiteError as error:
        raise CommandError(str(error)) from None
    args.site_file = loaded


def read(args: argparse.Namespace) -> SiteInputs:
    """The site and devices the options give; CommandError for a file that
    cannot be read or holds bad values."""
    loaded = getattr(args, "site_file", None)
    site = loaded.site if loaded is not None else None
    found = SiteInputs(sigma=getattr(args, "sigma", None),
                       tag_height=getattr(args, "tag_height", None), site=site,
                       site_warnings=list(loaded.warnings) if loaded is not None else [])
    csv_anchors = None
    if getattr(args, "anchors", None) is not None:
        found.anchors_path = args.anchors
        csv_anchors = read_known_anchors(args.anchors)
    csv_tags = None
    if getattr(args, "tags", None) is not None:
        found.tags_path = args.tags
        csv_tags = _read(devices.read_tags, args.tags)
    if site is not None:
        found.anchors = site.known_anchors(csv_anchors)
        found.tags = site.tag_table(csv_tags)
    else:
        found.anchors = csv_anchors
        found.tags = csv_tags or {}
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
