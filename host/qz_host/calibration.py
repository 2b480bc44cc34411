"""Range offsets from a capture with truth: each anchor's and each tag's.

A range reads the 3-D distance from the anchor to the tag plus the anchor's
offset plus the tag's offset (antenna delays) plus noise. Given where the
tags truly were, the offsets are the robust least-squares fit of the range
errors (measured less true distance) to one offset per anchor and one per
tag: Huber weights on residuals scaled by their median absolute deviation,
reweighted until they settle, so the long non-line-of-sight ranges weigh
little. Only the sum of an anchor's and a tag's offset shows in a range, so
the split is fixed the way the tracker learns it: the anchors' offsets
average 0 and the tags carry the common part.

``calibrate`` takes plain samples, so the replay of a capture, a standing
tag at a measured point and a test all feed it the same way.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Dict, Iterable, List, Mapping, Sequence, Tuple

# Huber's tuning constant, in robust standard deviations.
HUBER = 1.345
ITERATIONS = 30
# A robust sd from a median absolute deviation.
MAD_SCALE = 1.4826


class CalibrationError(ValueError):
    """The samples cannot fix the offsets."""


@dataclass(frozen=True)
class Sample:
    """One message with truth: the tag, its true position (x, y, z) in the
    anchors' frame and one distance per anchor (m, 0 for none)."""

    tag: int
    position: Tuple[float, float, float]
    distances: Sequence[float]


@dataclass(frozen=True)
class Calibration:
    """Offsets (m) with their standard deviations, and the range errors'
    spread before (no offsets) and after: robust sd and RMS (m)."""

    anchors: List[Tuple[float, float]]  # (offset, sd) per anchor
    tags: Dict[int, Tuple[float, float]]  # tag: (offset, sd)
    ranges: int
    before: Tuple[float, float]
    after: Tuple[float, float]


def calibrate(samples: Iterable[Sample], anchors: Sequence[Sequence[float]]) -> Calibration:
    """The offsets of `anchors` ((x, y, z), metres) and of the samples' tags."""
    points = [tuple(a) + (0.0,) * (3 - len(a)) for a in anchors]
    rows: List[Tuple[int, int, float]] = []  # anchor, tag slot, range error
    slots: Dict[int, int] = {}
    for sample in samples:
        if len(sample.distances) != len(points):
            raise CalibrationError(f"a sample of tag {sample.tag:04X} has "
                                   f"{len(sample.distances)} distances for {len(points)} anchors")
        slot = slots.setdefault(sample.tag, len(slots))
        for i, d in enumerate(sample.distances):
            if d > 0 and math.isfinite(d):
                rows.append((i, slot, d - math.dist(sample.position, points[i])))
    n, m = len(points), len(slots)
    used = {i for i, _, _ in rows}
    if m == 0 or len(used) < n:
        missing = ", ".join(str(i) for i in range(n) if i not in used) or "all"
        raise CalibrationError(f"no ranges with truth for anchor(s) {missing}")
    errors = [e for _, _, e in rows]
    before = (_robust_sd(errors), _rms(errors))

    # Huber-weighted least squares: unknowns b (n) then c (m), with the
    # anchors' offsets summing to 0
    weights = [1.0] * len(rows)
    solution = [0.0] * (n + m)
    scale = before[0]
    for _ in range(ITERATIONS):
        solution, normal = _solve(rows, weights, n, m)
        residuals = [e - solution[i] - solution[n + s] for i, s, e in rows]
        scale = _robust_sd(residuals) or 1e-9
        bound = HUBER * scale
        new = [1.0 if abs(r) <= bound else bound / abs(r) for r in residuals]
        settled = max(abs(a - b) for a, b in zip(new, weights)) < 1e-6
        weights = new
        if settled:
            break
    solution, normal = _solve(rows, weights, n, m)
    residuals = [e - solution[i] - solution[n + s] for i, s, e in rows]
    covariance = _inverse(normal)
    sds = [scale * math.sqrt(max(covariance[k][k], 0.0)) for k in range(n + m)]
    tags = {tag: (solution[n + slot], sds[n + slot]) for tag, slot in slots.items()}
    return Calibration([(solution[i], sds[i]) for i in range(n)], dict(sorted(tags.items())),
                       len(rows), before, (_robust_sd(residuals), _rms(residuals)))


def samples_from_tracks(messages: Iterable[Tuple[int, float, Sequence[float]]],
                        tracks: Mapping[int, Sequence[Tuple[float, float, float]]],
                        heights: Mapping[int, float], default_height: float = 0.0,
                        max_gap: float = 0.2) -> List[Sample]:
    """Samples of (tag, time, distances) messages whose tag has a truth
    track ((time, x, y) in time order) around the message's time, the
    position interpolated, at the tag's height."""
    out = []
    for tag, time, distances in messages:
        track = tracks.get(tag)
        if not track:
            continue
        where = _interpolate(track, time, max_gap)
        if where is not None:
            out.append(Sample(tag, (where[0], where[1], heights.get(tag, default_height)),
                              distances))
    return out


def _interpolate(track: Sequence[Tuple[float, float, float]], time: float,
                 max_gap: float):
    lo, hi = 0, len(track)
    while lo < hi:
        mid = (lo + hi) // 2
        if track[mid][0] < time:
            lo = mid + 1
        else:
            hi = mid
    if lo == 0 or lo == len(track):
        return None
    (t0, x0, y0), (t1, x1, y1) = track[lo - 1], track[lo]
    if t1 - t0 > max_gap or t1 <= t0:
        return None
    f = (time - t0) / (t1 - t0)
    return x0 + f * (x1 - x0), y0 + f * (y1 - y0)


def _solve(rows, weights, n, m):
    """The weighted normal equations of the offsets, with the constraint
    sum(b) = 0 as a Lagrange row; returns the solution and the matrix."""
    size = n + m + 1
    normal = [[0.0] * size for _ in range(size)]
    rhs = [0.0] * size
    for (i, s, e), w in zip(rows, weights):
        a, c = i, n + s
        normal[a][a] += w
        normal[c][c] += w
        normal[a][c] += w
        normal[c][a] += w
        rhs[a] += w * e
        rhs[c] += w * e
    for i in range(n):
        normal[i][n + m] = normal[n + m][i] = 1.0
    solution = _gauss(normal, rhs)
    return solution[:n + m], normal


def _gauss(matrix, rhs):
    """Solves matrix x = rhs by Gaussian elimination with partial pivoting."""
    size = len(rhs)
    a = [row[:] + [r] for row, r in zip(matrix, rhs)]
    for col in range(size):
        pivot = max(range(col, size), key=lambda r: abs(a[r][col]))
        if abs(a[pivot][col]) < 1e-12:
            raise CalibrationError("the ranges cannot tell the offsets apart")
        a[col], a[pivot] = a[pivot], a[col]
        for r in range(col + 1, size):
            f = a[r][col] / a[col][col]
            if f:
                for k in range(col, size + 1):
                    a[r][k] -= f * a[col][k]
    x = [0.0] * size
    for r in range(size - 1, -1, -1):
        x[r] = (a[r][size] - math.fsum(a[r][k] * x[k] for k in range(r + 1, size))) / a[r][r]
    return x


def _inverse(matrix):
    size = len(matrix)
    columns = [_gauss(matrix, [1.0 if r == c else 0.0 for r in range(size)])
               for c in range(size)]
    return [[columns[c][r] for c in range(size)] for r in range(size)]


def _robust_sd(values: Sequence[float]) -> float:
    if not values:
        return 0.0
    ordered = sorted(values)
    middle = ordered[len(ordered) // 2]
    deviations = sorted(abs(v - middle) for v in values)
    return MAD_SCALE * deviations[len(deviations) // 2]


def _rms(values: Sequence[float]) -> float:
    return math.sqrt(math.fsum(v * v for v in values) / len(values)) if values else 0.0
