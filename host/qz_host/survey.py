"""Anchor survey: inter-anchor distances in, anchor coordinates out.

Anchors range one another many times, in both directions of a pair, and
some pairs may never be heard. ``DistanceTable`` keeps every sample; the
survey takes the median of each pair (both directions together), which
shrugs off the occasional non-line-of-sight outlier. ``qz_autopos.AutoPos``
needs the whole matrix, so a pair without samples is filled in: guesses
from the triangle inequality seed AutoPos layouts, which are then fitted to
the measured pairs alone; the best fit gives the missing distances, and
AutoPos surveys the completed matrix. (Where an anchor has too few measured
partners its position is ambiguous, and no fill can tell which is right.)

The survey's frame is that of AutoPos: the first anchor (the lowest
address) at the origin and the second on the positive x axis. Distances
carry no handedness, so the result may be the mirror image of the real
layout.
"""

from __future__ import annotations

import math
import random
from array import array
import statistics
from dataclasses import dataclass, field
from typing import Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

import qz_autopos

from . import devices, survey_offsets
from .tracking import range_noise

MIN_ANCHORS = 3
MAX_ANCHORS = 15
# Known anchors are limited by the tracker's filter, not by AutoPos.
MAX_KNOWN_ANCHORS = devices.MAX_ANCHORS
# Sweeps of the fit to the measured pairs, and the move (m) that ends them.
_FIT_SWEEPS = 2000
_FIT_TOLERANCE = 1e-6
# Random layouts the fit starts from besides the AutoPos ones.
_RANDOM_STARTS = 12


class SurveyError(ValueError):
    """The anchors cannot be surveyed from the distances given."""


@dataclass
class DistanceTable:
    """Inter-anchor distance samples in metres, by unordered address pair,
    8 bytes a sample.

    ``add_message`` takes an anchor's message as it comes: the sender is an
    anchor, its peers may not be (a report naming a tag, or a device never
    heard as an anchor). Only pairs of anchors count for the survey and the
    noise; reports that name anything else are ``unknown_reports``."""

    samples: Dict[Tuple[int, int], "array[float]"] = field(default_factory=dict)
    addresses: set = field(default_factory=set)  # the anchors
    self_reports: int = 0  # reports of an anchor naming itself

    def add(self, a: int, b: int, distance: float) -> None:
        """One sample of the pair of anchors a and b."""
        self.addresses.update((a, b))
        if a != b:
            self._sample(a, b, distance)

    def add_message(self, src: int, distances: Iterable[Tuple[int, float]]) -> None:
        """An anchor message of `src`: (peer, distance in metres) per report."""
        self.addresses.add(src)
        for peer, distance in distances:
            if peer == src:
                self.self_reports += 1
            else:
                self._sample(src, peer, distance)

    def _sample(self, a: int, b: int, distance: float) -> None:
        key = (a, b) if a < b else (b, a)
        values = self.samples.get(key)
        if values is None:
            values = self.samples[key] = array("d")
        values.append(distance)

    def anchor_samples(self) -> List["array[float]"]:
        """The samples of every pair of anchors."""
        anchors = self.addresses
        return [values for (a, b), values in self.samples.items()
                if a in anchors and b in anchors]

    def unknown_reports(self) -> int:
        """Reports that name no other anchor."""
        anchors = self.addresses
        return self.self_reports + sum(len(values) for (a, b), values in self.samples.items()
                                       if a not in anchors or b not in anchors)

    def median(self, a: int, b: int) -> Optional[float]:
        values = self.samples.get((min(a, b), max(a, b)))
        return statistics.median(values) if values else None


@dataclass
class Survey:
    """Surveyed anchors in the AutoPos frame, in metres, by address; or,
    when `known`, anchors at positions given in their own frame."""

    addresses: List[int]
    positions: List[Tuple[float, float]]
    matrix: List[List[float]]
    missing: List[Tuple[int, int]]
    known: bool = False
    # The anchors' range offsets (m) solved with their positions, one per
    # anchor, and their standard deviations; or why they were not.
    offsets: Optional[List[Optional[float]]] = None
    offset_sd: Optional[List[float]] = None
    offsets_note: str = ""
    # The anchors' z (m): given with known anchors, else 0 (the survey's plane).
    heights: List[float] = field(default_factory=list)

    def __post_init__(self) -> None:
        if not self.heights:
            self.heights = [0.0] * len(self.addresses)


def known_anchors(positions: Mapping[int, object]) -> Survey:
    """A survey that takes the anchors as given: devices.Anchor records (with
    their offsets) or (x, y[, z]) positions."""
    addresses = sorted(positions)
    if not MIN_ANCHORS <= len(addresses) <= MAX_KNOWN_ANCHORS:
        raise SurveyError(f"tracking needs {MIN_ANCHORS} to {MAX_KNOWN_ANCHORS} anchors, "
                          f"{len(addresses)} given")
    anchors = [devices.as_anchor(positions[a]) for a in addresses]
    for address, anchor in zip(addresses, anchors):
        if not all(math.isfinite(c) for c in anchor.position):
            raise SurveyError(f"anchor {address:04X} is not at a finite position")
    points = [(a.x, a.y) for a in anchors]
    matrix = [[math.dist(p, q) for q in points] for p in points]
    given = [a.offset for a in anchors]
    return Survey(addresses, points, matrix, [], known=True, heights=[a.z for a in anchors],
                  offsets=given if any(o is not None for o in given) else None)


def survey(table: DistanceTable) -> Survey:
    """Surveys every anchor in `table`, in address order."""
    addresses = sorted(table.addresses)
    n = len(addresses)
    if not MIN_ANCHORS <= n <= MAX_ANCHORS:
        raise SurveyError(f"the survey needs {MIN_ANCHORS} to {MAX_ANCHORS} anchors, "
                          f"the capture has {n}")
    matrix = [[0.0] * n for _ in range(n)]
    missing = []
    for i in range(n):
        for j in range(i + 1, n):
            d = table.median(addresses[i], addresses[j])
            if d is None:
                missing.append((i, j))
            else:
                matrix[i][j] = matrix[j][i] = d
    if missing:
        _complete(matrix, missing, addresses)
    result = Survey(addresses, _autopos(matrix), matrix,
                    [(addresses[i], addresses[j]) for i, j in missing])
    _solve_offsets(result, table, missing)
    return result


def _solve_offsets(result: Survey, table: DistanceTable,
                   missing: Sequence[Tuple[int, int]]) -> None:
    """Solves the anchors' offsets with their positions where the layout
    tells them (see survey_offsets); else says why not."""
    counts = [len(values) for values in table.anchor_samples()]
    noise = range_noise(table.anchor_samples(), default=0.0)  # 0: too few to tell
    # The median of k samples scatters about 1.25 / sqrt(k) times one sample.
    pair_sd = 1.2533 * noise / math.sqrt(statistics.median(counts)) if counts else 0.0
    try:
        solution = survey_offsets.solve(result.positions, result.matrix, missing, pair_sd)
    except survey_offsets.OffsetsUnsolved as why:
        result.offsets_note = f"range offsets not solved: {why}"
        return
    result.positions = solution.positions
    result.offsets = [float(o) for o in solution.offsets]  # typed as given offsets are
    result.offset_sd = solution.offset_sd
    result.offsets_note = (f"range offsets solved with the positions: the pairs' residuals "
                           f"{solution.residual_before:.3f} m RMS before, "
                           f"{solution.residual_after:.3f} m after")


def _triangle_bounds(matrix: List[List[float]], missing: Sequence[Tuple[int, int]],
                     addresses: Sequence[int]) -> Dict[Tuple[int, int], Tuple[float, float]]:
    """The bounds that the triangle inequality puts on each missing pair
    through the measured pairs; the upper bound is the shortest path."""
    n = len(matrix)
    gaps = set(missing) | {(j, i) for i, j in missing}
    path = [[0.0 if i == j else (math.inf if (i, j) in gaps else matrix[i][j])
             for j in range(n)] for i in range(n)]
    for k in range(n):
        for i in range(n):
            for j in range(n):
                if path[i][k] + path[k][j] < path[i][j]:
                    path[i][j] = path[i][k] + path[k][j]
    bounds = {}
    for i, j in missing:
        if math.isinf(path[i][j]):
            raise SurveyError(f"anchors {addresses[i]:04X} and {addresses[j]:04X} are not "
                              "connected by any measured distances")
        low = max([abs(matrix[i][k] - matrix[k][j]) for k in range(n)
                   if (i, k) not in gaps and (k, j) not in gaps and k not in (i, j)] or [0.0])
        bounds[i, j] = (min(low, path[i][j]), path[i][j])
    return bounds


def _complete(matrix: List[List[float]], missing: Sequence[Tuple[int, int]],
              addresses: Sequence[int]) -> None:
    """Fills the missing pairs of `matrix` from a layout fitted to the
    measured pairs. The fit can settle in a local minimum (an anchor folded
    over to the wrong side of its partners), so it starts from several
    layouts and keeps the best: AutoPos layouts with the missing pairs at
    the middle, the upper and the lower triangle bound, and random layouts
    of the same extent from a fixed seed."""
    bounds = _triangle_bounds(matrix, missing, addresses)
    gaps = set(missing)
    starts = []
    for f in (0.5, 1.0, 0.0):
        for (i, j), (low, high) in bounds.items():
            matrix[i][j] = matrix[j][i] = low + f * (high - low)
        starts.append(_autopos(matrix))
    extent = max(max(row) for row in matrix)
    rng = random.Random(0)
    starts += [[(rng.uniform(0, extent), rng.uniform(0, extent)) for _ in addresses]
               for _ in range(_RANDOM_STARTS)]
    fits = [_fit_measured(start, matrix, gaps) for start in starts]
    best = min(fits, key=lambda layout: _stress(layout, matrix, gaps))
    for i, j in missing:
        matrix[i][j] = matrix[j][i] = math.dist(best[i], best[j])


def _stress(layout: Sequence[Tuple[float, float]], matrix: List[List[float]],
            missing: set) -> float:
    n = len(layout)
    return math.fsum((math.dist(layout[i], layout[j]) - matrix[i][j]) ** 2
                     for i in range(n) for j in range(i + 1, n) if (i, j) not in missing)


def _fit_measured(layout: List[Tuple[float, float]], matrix: List[List[float]],
                  missing: set) -> List[Tuple[float, float]]:
    """Moves the anchors of `layout` to fit the measured distances alone.

    Each sweep puts every anchor in turn where the majorization of its
    squared distance errors says, which never increases the total; the
    sweeps stop when no anchor moves by more than the tolerance."""
    n = len(layout)
    points = [list(p) for p in layout]
    peers = [[j for j in range(n) if j != i and (min(i, j), max(i, j)) not in missing]
             for i in range(n)]
    for _ in range(_FIT_SWEEPS):
        moved = 0.0
        for i in range(n):
            x, y = points[i]
            sx = sy = 0.0
            for j in peers[i]:
                px, py = points[j]
                gap = math.hypot(x - px, y - py) or 1e-12
                sx += px + matrix[i][j] * (x - px) / gap
                sy += py + matrix[i][j] * (y - py) / gap
            new = (sx / len(peers[i]), sy / len(peers[i]))
            moved = max(moved, math.hypot(new[0] - x, new[1] - y))
            points[i] = list(new)
        if moved < _FIT_TOLERANCE:
            break
    return [(x, y) for x, y in points]


def _autopos(matrix: List[List[float]]) -> List[Tuple[float, float]]:
    autopos = qz_autopos.AutoPos(len(matrix))
    autopos.compute([d for row in matrix for d in row])
    positions = [(float(p.x), float(p.y)) for p in autopos.get_position_estimates()]
    # A successful survey puts the first anchor exactly at the origin; a
    # failed one leaves the estimates as AutoPos filled them at creation.
    if positions[0] != (0.0, 0.0):
        raise SurveyError("AutoPos found no solution (its eigen-solver did not converge)")
    if not all(math.isfinite(c) for p in positions for c in p):
        raise SurveyError("AutoPos returned non-finite coordinates: the distances do not "
                          "describe anchors in a plane")
    return positions
