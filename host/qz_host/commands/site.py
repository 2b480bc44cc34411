"""``qz-host site check FILE``: a site file checked, and the site described.

Every fault is printed on stderr as "FILE:LINE: message", in the order of
the file, and the exit status is 2; a sound file prints its warnings on
stderr, a short description of the site on stdout, and exits with 0.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import List, TextIO

from ..site import Site


def register(commands) -> None:
    site = commands.add_parser(
        "site", help="check a site file",
        description="Work with site files (TOML): the anchors, tags, site frame, floor plan, "
                    "zones and option defaults of an installation.")
    actions = site.add_subparsers(dest="site_action", metavar="ACTION", required=True)
    check = actions.add_parser(
        "check", help="check a site file and describe the site",
        description="Read and check a site file: every fault is printed with its line and the "
                    "exit status is 2; a sound file prints a short description of the site.")
    check.add_argument("file", type=Path, metavar="FILE", help="site file (TOML)")
    site.set_defaults(handler=run)


def run(args: argparse.Namespace, out: TextIO) -> int:
    return ACTIONS[args.site_action](args, out)


def run_check(args: argparse.Namespace, out: TextIO) -> int:
    from ..site_file import SiteError, read_site
    from ..site_options import check_options

    try:
        loaded = read_site(args.file)
    except SiteError as error:
        for line in error.errors:
            print(line, file=sys.stderr)
        return 2
    errors = check_options(loaded.site)
    for line in errors:
        print(line, file=sys.stderr)
    if errors:
        return 2
    for line in loaded.warnings:
        print(line, file=sys.stderr)
    out.write(describe(loaded.site))
    return 0


ACTIONS = {"check": run_check}


def _addresses(addresses) -> str:
    return ", ".join(f"{a:04X}" for a in sorted(addresses))


def describe(site: Site) -> str:
    """A few lines saying what the site holds."""
    lines: List[str] = [f"{site.path}: " + (f"site {site.name!r}" if site.name else "a site")]

    def row(label: str, text: str) -> None:
        lines.append(f"  {label:<11}{text}")

    listed = sorted(set(site.anchor_names) | set(site.anchor_offsets) | set(site.anchors))
    if site.anchors:
        row("anchors", f"{len(site.anchors)} at given positions ({_addresses(site.anchors)})")
    elif listed:
        row("anchors", f"{len(listed)} listed ({_addresses(listed)}), positions surveyed")
    else:
        row("anchors", "none listed: surveyed, or from --anchors")
    if site.anchor_offsets:
        row("", f"range offsets for {_addresses(site.anchor_offsets)}")
    if site.tags:
        named = [
            f"{a:04X} {t.name!r}" if t.name else f"{a:04X}" for a, t in sorted(site.tags.items())
        ]
        row("tags", f"{len(site.tags)}: {', '.join(named)}")
    frame = site.frame
    if frame.fitted:
        parts = []
        if frame.known:
            parts.append(f"{len(frame.known)} known anchors ({_addresses(frame.known)})")
        if frame.points:
            parts.append(f"{len(frame.points)} known points")
        text = f"{frame.name!r}, fitted to {' and '.join(parts)}"
        if frame.mirrored is not None:
            text += ", mirrored" if frame.mirrored else ", not mirrored"
        elif frame.rough:
            text += f"; handedness from rough positions of {_addresses(frame.rough)}"
        row("frame", text)
    elif site.anchors:
        row("frame", "the anchors' positions are site coordinates")
    else:
        row("frame", "none: outputs in the survey's own frame")
    if site.geo is not None:
        g = site.geo
        text = f"latitude and longitude about {g.tangent.lat:.6f}, {g.tangent.lon:.6f}"
        if g.residuals:
            text += f" from {len(g.residuals)} control points ({g.rms:.2f} m RMS)"
        row("geo", text)
    plan = site.floor_plan
    if plan is not None:
        text = f"{plan.image.name}, top-left corner at ({plan.origin[0]:g}, {plan.origin[1]:g})"
        if plan.size is not None:
            s = plan.metres_per_pixel()
            text += (f", {plan.size[0]} x {plan.size[1]} px = {plan.size[0] * s:.1f} m x "
                     f"{plan.size[1] * s:.1f} m")
        elif plan.scale is not None:
            text += f", {plan.scale:g} m per pixel"
        else:
            text += f", {plan.width:g} m across"
        row("floor plan", text)
    if site.zones:
        row("zones", f"{len(site.zones)}:")
        for zone in site.zones:
            heights = ""
            if zone.min_height is not None or zone.max_height is not None:
                low = "" if zone.min_height is None else f"{zone.min_height:g}"
                high = "" if zone.max_height is None else f"{zone.max_height:g}"
                heights = f", heights {low}..{high} m"
            row("", f"{zone.name!r}: {len(zone.polygon)} points, {zone.area:.1f} m2{heights}; "
                    f"exit beyond {zone.exit_tolerance:g} m for {zone.exit_delay:g} s, "
                    f"entry after {zone.entry_delay:g} s")
    if site.options:
        row("options", ", ".join(o.key for o in site.options.values()))
    return "\n".join(lines) + "\n"
