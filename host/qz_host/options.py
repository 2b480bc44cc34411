"""Option types for the command line: finite numbers and whole numbers
within bounds, so that NaN, infinities and absurd sizes exit with status 2
and one line, whichever command takes them."""

from __future__ import annotations

import argparse
import math
from typing import Callable


def number(low: float, high: float, *, above: bool = False,
           below: bool = False) -> Callable[[str], float]:
    """An option type for a finite number from `low` to `high`, either end
    left out when `above` or `below` says so."""
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        low_ok = value > low if above else value >= low
        high_ok = value < high if below else value <= high
        if not (math.isfinite(value) and low_ok and high_ok):
            raise argparse.ArgumentTypeError(
                f"must be {'above' if above else 'at least'} {low:g} and "
                f"{'below' if below else 'at most'} {high:g}, got {text}")
        return value
    return parse


def whole(low: int, high: int) -> Callable[[str], int]:
    """An option type for a whole number from `low` to `high`."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be {low} to {high}, got {text}")
        return value
    return parse


# Bounds shared by several commands: what a hall of UWB radios can mean.
SECONDS = number(0, 86400, above=True)
# Ranging noise (m): a tenth of a millimetre to ten metres.
SIGMA = number(1e-4, 10)
HEIGHT = number(-1000, 1000)  # a z in the anchors' frame (m)
UNIT = number(1e-6, 1)  # capture.MIN_DIST_UNIT to MAX_DIST_UNIT
SPEED_FACTOR = number(0, 1e6, above=True)  # of a replay against its recorded pace
BAUD = whole(1, 4_000_000)
