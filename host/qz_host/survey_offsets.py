"""The anchors' range offsets, solved with their positions from the ranges
they measure of one another.

A radio's antenna delay makes every range it takes part in read long by
the same amount, so the distance measured between anchors i and j is
|p_i - p_j| + o_i + o_j. With n anchors in the plane there are 2n - 3
coordinates to find (the survey's frame fixes three) and n offsets, from at
most n (n - 1) / 2 pairs: the offsets can be told from the layout only when
the pairs outnumber the unknowns, from seven anchors on, and only when the
layout is not degenerate. The fit is a robust (Huber-weighted) Gauss-Newton
from the survey's layout and no offsets; it reports each offset's standard
deviation and the pairs' residuals before and after, and says why when it
cannot solve.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

# The fewest anchors whose pairs outnumber the unknowns in the plane.
MIN_ANCHORS = 7
_ITERATIONS = 30
_HUBER = 1.5  # in robust standard deviations
# An offset known worse than this (m) is not worth applying.
_MAX_OFFSET_SD = 0.03
_STEP_TOLERANCE = 1e-7

Point = Tuple[float, float]


@dataclass
class OffsetSolution:
    """The anchors' positions (the survey's frame) and range offsets (m)."""

    positions: List[Point]
    offsets: List[float]
    offset_sd: List[float]
    residual_before: float  # RMS of the pairs' residuals with no offsets (m)
    residual_after: float


class OffsetsUnsolved(ValueError):
    """The layout or the pairs cannot tell the offsets."""


def solve(positions: Sequence[Point], matrix: Sequence[Sequence[float]],
          missing: Sequence[Tuple[int, int]] = (), pair_sd: float = 0.0) -> OffsetSolution:
    """Solves offsets and positions from the measured pairs of `matrix`
    (the pairs in `missing` were filled in, not measured), starting from the
    survey's `positions`. `pair_sd` is the noise of a pair's distance (its
    median), below which the fit's own residuals do not set the offsets'
    uncertainty: with few pairs beyond the unknowns they can be small by
    chance. Raises OffsetsUnsolved."""
    n = len(positions)
    gaps = {(min(i, j), max(i, j)) for i, j in missing}
    pairs = [(i, j) for i in range(n) for j in range(i + 1, n) if (i, j) not in gaps]
    unknowns = 3 * n - 3
    if n < MIN_ANCHORS:
        raise OffsetsUnsolved(f"{n} anchors, {MIN_ANCHORS} needed")
    if len(pairs) <= unknowns:
        raise OffsetsUnsolved(f"{len(pairs)} pairs measured, {unknowns + 1} needed")
    points = [list(p) for p in positions]
    offsets = [0.0] * n
    before = _rms(_residuals(points, offsets, matrix, pairs))
    weights = [1.0] * len(pairs)
    normal: List[List[float]] = []
    for _ in range(_ITERATIONS):
        residuals = _residuals(points, offsets, matrix, pairs)
        scale = max(1.4826 * _median([abs(r) for r in residuals]), 1e-4)
        weights = [1.0 if abs(r) <= _HUBER * scale else _HUBER * scale / abs(r)
                   for r in residuals]
        rows = _jacobian(points, pairs, n)
        normal, gradient = _normal_equations(rows, residuals, weights, unknowns)
        step = _solve(normal, gradient)
        if step is None:
            raise OffsetsUnsolved("the layout cannot tell them from the positions")
        _apply(step, points, offsets, n)
        if max(abs(s) for s in step) < _STEP_TOLERANCE:
            break
    residuals = _residuals(points, offsets, matrix, pairs)
    sigma2 = max(math.fsum(w * r * r for w, r in zip(weights, residuals))
                 / max(len(pairs) - unknowns, 1), pair_sd * pair_sd)
    inverse = _inverse(normal)
    if inverse is None:
        raise OffsetsUnsolved("the layout cannot tell them from the positions")
    first = 2 * n - 3
    sd = [math.sqrt(max(inverse[first + k][first + k], 0.0) * sigma2) for k in range(n)]
    if max(sd) > _MAX_OFFSET_SD:
        raise OffsetsUnsolved(f"the layout tells them to {max(sd):.3f} m only")
    return OffsetSolution([(x, y) for x, y in points], offsets, sd, before,
                          _rms(residuals))


def _residuals(points: List[List[float]], offsets: List[float],
               matrix: Sequence[Sequence[float]], pairs: List[Tuple[int, int]]) -> List[float]:
    return [matrix[i][j] - math.dist(points[i], points[j]) - offsets[i] - offsets[j]
            for i, j in pairs]


def _jacobian(points: List[List[float]], pairs: List[Tuple[int, int]],
              n: int) -> List[Dict[int, float]]:
    """Sparse rows of the model's derivatives: unknowns are x1, then x and
    y of anchors 2 to n-1, then the n offsets (anchor 0 at the origin and
    anchor 1 on +x fix the frame)."""
    def coordinate(k: int, axis: int) -> Optional[int]:
        if k == 0 or (k == 1 and axis == 1):
            return None
        return 0 if k == 1 else 1 + 2 * (k - 2) + axis

    rows = []
    for i, j in pairs:
        dx, dy = points[i][0] - points[j][0], points[i][1] - points[j][1]
        d = math.hypot(dx, dy) or 1e-9
        row: Dict[int, float] = {}
        for k, sign in ((i, 1.0), (j, -1.0)):
            for axis, delta in ((0, dx), (1, dy)):
                index = coordinate(k, axis)
                if index is not None:
                    row[index] = row.get(index, 0.0) + sign * delta / d
        first = 2 * n - 3
        row[first + i] = 1.0
        row[first + j] = 1.0
        rows.append(row)
    return rows


def _normal_equations(rows: List[Dict[int, float]], residuals: List[float],
                      weights: List[float], size: int) -> Tuple[List[List[float]], List[float]]:
    normal = [[0.0] * size for _ in range(size)]
    gradient = [0.0] * size
    for row, r, w in zip(rows, residuals, weights):
        items = list(row.items())
        for a, va in items:
            gradient[a] += w * va * r
            for b, vb in items:
                normal[a][b] += w * va * vb
    return normal, gradient


def _apply(step: List[float], points: List[List[float]], offsets: List[float], n: int) -> None:
    points[1][0] += step[0]
    for k in range(2, n):
        points[k][0] += step[1 + 2 * (k - 2)]
        points[k][1] += step[2 + 2 * (k - 2)]
    first = 2 * n - 3
    for k in range(n):
        offsets[k] += step[first + k]


def _solve(matrix: List[List[float]], vector: List[float]) -> Optional[List[float]]:
    """Gaussian elimination with partial pivoting; None when singular."""
    size = len(vector)
    a = [row[:] + [v] for row, v in zip(matrix, vector)]
    scale = max(abs(a[i][i]) for i in range(size)) or 1.0
    for column in range(size):
        pivot = max(range(column, size), key=lambda r: abs(a[r][column]))
        if abs(a[pivot][column]) < 1e-10 * scale:
            return None
        a[column], a[pivot] = a[pivot], a[column]
        for r in range(column + 1, size):
            factor = a[r][column] / a[column][column]
            if factor:
                for c in range(column, size + 1):
                    a[r][c] -= factor * a[column][c]
    result = [0.0] * size
    for r in range(size - 1, -1, -1):
        result[r] = (a[r][size] - math.fsum(a[r][c] * result[c]
                                            for c in range(r + 1, size))) / a[r][r]
    return result


def _inverse(matrix: List[List[float]]) -> Optional[List[List[float]]]:
    size = len(matrix)
    columns = []
    for k in range(size):
        column = _solve(matrix, [1.0 if i == k else 0.0 for i in range(size)])
        if column is None:
            return None
        columns.append(column)
    return [[columns[c][r] for c in range(size)] for r in range(size)]


def _median(values: List[float]) -> float:
    ordered = sorted(values)
    return ordered[len(ordered) // 2] if ordered else 0.0


def _rms(values: List[float]) -> float:
    return math.sqrt(math.fsum(v * v for v in values) / len(values)) if values else 0.0
