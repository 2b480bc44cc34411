"""Command line: ``qz-host`` or ``python -m qz_host``.

    qz-host simulate CAPTURE ...   a simulated capture and its ground truth
    qz-host replay CAPTURE ...     decode, survey, track; the summary
    qz-host demo ...               the bundled capture replayed, CSV and PNG
    qz-host view CAPTURE ...       a capture replayed into the map in the browser
    qz-host live SOURCE ...        tags tracked live, fixes out as they come
    qz-host emit CAPTURE TARGET    a capture's frames played into a port or socket
    qz-host calibrate CAPTURE ...  range offsets of anchors and tags from the truth
    qz-host site check FILE        a site file checked, the site described

Each command lives in a module of ``commands``. Exit status: 0 done; 1 the
capture was read but the anchors could not be surveyed or placed; 2 bad
arguments, or a file that cannot be read or written (one line on stderr).
"""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional, TextIO

from . import __version__, commands, logs
from .commands import site_inputs
from .commands.base import CommandError, StopWaiting


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="qz-host",
        description="Host of the UWB locating system: simulate, replay and view captures, "
                    "or track tags live. Frames are decoded with qz_packets, anchors surveyed "
                    "with qz_autopos, tags tracked with qz_track (seeded by qz_engine fits).")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    commands.register_all(subparsers)
    for command in _leaves(subparsers):
        logs.add_options(command)
    return parser


def _leaves(subparsers) -> List[argparse.ArgumentParser]:
    """The parsers of the commands that run (``site check``, not ``site``):
    a sub-command's defaults would overwrite what its parent parsed."""
    found: List[argparse.ArgumentParser] = []
    for command in subparsers.choices.values():
        nested = [a for a in command._actions if isinstance(a, argparse._SubParsersAction)]
        found.extend(_leaves(nested[0]) if nested else [command])
    return found


def main(argv: Optional[List[str]] = None, out: Optional[TextIO] = None) -> int:
    out = out if out is not None else sys.stdout
    parser = build_parser()
    args = parser.parse_args(argv)
    logs.configure(args.log_level, args.log_format)
    try:
        site_inputs.load_site(parser, args, argv)
        return args.handler(args, out)
    except CommandError as error:
        logs.logger(args.command).error("error: %s", error)
        return 2
    except StopWaiting:  # a second signal while the command was stopping
        return 1
