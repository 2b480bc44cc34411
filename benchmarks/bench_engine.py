"""Tag positioning: PositionEngine.compute_tag_position against SciPy's
Levenberg-Marquardt on the same problems, and the bare solver call."""
import ctypes
import pathlib
import sys

import numpy as np
from scipy.optimize import least_squares

from qz_engine import Position, PositionEngine

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE))
sys.path.insert(1, str(HERE.parent / "tests"))
from engine_symbols import levmar  # noqa: E402
from engine_symbols import anchors as anchor_array  # noqa: E402
from timing import per_call_seconds, print_table  # noqa: E402


def problems(anchor_count, count=20, seed=1):
    rng = np.random.default_rng(seed)
    for _ in range(count):
        anchors = rng.uniform(-10, 10, (anchor_count, 2))
        tag = rng.uniform(-5, 5, 2)
        distances = np.hypot(*(anchors - tag).T) + rng.normal(0, 0.05, anchor_count)
        start = tag + rng.uniform(-1, 1, 2)
        yield anchors, distances, start


def fit_times(anchor_count, count=20, solver=True):
    """Median microseconds per fit over `count` problems: ours, SciPy's, and
    (with `solver`) the bare ls_lm_dif call through ctypes less the cost of
    an empty call, else None."""
    ours, scipy_times, solver_times, empty = [], [], [], []
    for anchors, distances, start in problems(anchor_count, count):
        engine = PositionEngine(anchor_count)
        engine.set_anchor_positions([Position(x, y, 0.0) for x, y in anchors])
        measurements = distances.tolist()
        initial = Position(float(start[0]), float(start[1]), 0.0)
        ours.append(per_call_seconds(
            lambda: engine.compute_tag_position(measurements, initial)))

        def residuals(q):
            return np.hypot(*(anchors - q).T) - distances
        scipy_times.append(per_call_seconds(
            lambda: least_squares(residuals, start, method="lm"), repeats=3,
            budget=0.05))
        if not solver:
            continue

        flat = anchor_array([(x, y) for x, y in anchors])
        y = (ctypes.c_float * anchor_count)(*measurements)
        p = (ctypes.c_float * 3)()
        sse = ctypes.c_float()

        x0, y0 = float(start[0]), float(start[1])

        def call_solver(slots=anchor_count, kmax=8):
            p[0] = x0
            p[1] = y0
            levmar.ls_lm_dif(p, y, 2, slots, kmax, ctypes.byref(sse), flat)
        solver_times.append(per_call_seconds(call_solver))
        # The same call with no slot and no iteration: the cost of ctypes.
        empty.append(per_call_seconds(lambda: call_solver(0, 0)))
    solver_us = (max(np.median(solver_times) - np.median(empty), 0) * 1e6
                 if solver else None)
    return np.median(ours) * 1e6, np.median(scipy_times) * 1e6, solver_us


def main():
    rows = []
    for anchor_count in (4, 8, 16):
        ours_us, scipy_us, solver_us = fit_times(anchor_count)
        rows.append((anchor_count, f"{ours_us:.2f}", f"{scipy_us:.0f}",
                     f"{scipy_us / ours_us:.0f}x", f"{solver_us:.2f}"))
    print_table("Tag positioning (median per fit, microseconds)", rows,
                ["anchors", "compute_tag_position", "scipy lm", "speed-up",
                 "ls_lm_dif in C"])
    print("ls_lm_dif in C: a ctypes call of the solver less the same call with no"
          " slot and no iteration.")


if __name__ == "__main__":
    main()
