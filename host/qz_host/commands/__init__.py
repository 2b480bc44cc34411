"""The subcommands of ``qz-host``, one module each:

    simulate   write a simulated capture and its ground truth
    replay     decode a capture, survey the anchors, track the tags
    demo       replay the bundled sample capture, writing CSV and PNG
    view       replay a capture at its pace into a map in the browser
    live       track tags live from a serial port, TCP, UDP or standard input
    emit       play a capture's frames into a serial port, TCP or UDP
    calibrate  range offsets of anchors and tags from a capture with truth
    site       check a site file

Each module's ``register(commands)`` adds its parser to the subparsers and
sets its handler, ``handler(args, out) -> exit status``; what they share
(``CommandError``, the stop on SIGINT and SIGTERM, the checks of output
files) is in ``base``.
"""

from __future__ import annotations

import importlib
from typing import Any

NAMES = ("simulate", "replay", "demo", "view", "live", "emit", "calibrate", "site")


def register_all(commands: Any) -> None:
    """Adds every subcommand to `commands` (argparse's subparsers), in order."""
    for name in NAMES:
        importlib.import_module(f"{__name__}.{name}").register(commands)
