"""``qz-host demo``: the bundled sample capture replayed, with its CSV and
picture written beside it."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import TextIO

from . import simulate
from .base import CommandError
from .replay import run_replay

SAMPLE = Path("examples") / "hall.qzcap"


def register(commands) -> None:
    demo = commands.add_parser(
        "demo", help="replay the bundled sample capture, writing CSV and PNG",
        description=f"Replay the sample capture ({SAMPLE}; simulated with the default "
                    "settings when it is not there), print the summary and write "
                    "NAME.positions.csv and NAME.png into the output directory.")
    demo.add_argument("--capture", type=Path, default=SAMPLE,
                      help=f"capture to replay (default {SAMPLE})")
    demo.add_argument("--out", type=Path,
                      help="directory for the CSV and PNG (default: the capture's)")
    demo.set_defaults(handler=run)


def run(args: argparse.Namespace, out: TextIO) -> int:
    path: Path = args.capture
    out_dir: Path = args.out if args.out is not None else path.parent
    if not path.exists():
        if path != SAMPLE:
            raise CommandError(f"cannot read {path}: no such file")
        path = out_dir / SAMPLE.name
        print(f"{SAMPLE} not found: simulating it into {path}", file=out)
        out_dir.mkdir(parents=True, exist_ok=True)
        # The sample is made anew, with any ground truth left beside it.
        parser = argparse.ArgumentParser()
        simulate.register(parser.add_subparsers(dest="command"))
        simulate.run(parser.parse_args(["simulate", str(path), "--force"]), out)
    stem = path.with_suffix("").name
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise CommandError(f"cannot create {out_dir}: {error.strerror}") from None
    return run_replay(path, out, csv_path=out_dir / f"{stem}.positions.csv",
                       png_path=out_dir / f"{stem}.png")
