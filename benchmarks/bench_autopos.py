"""Speed of the anchor survey: AutoPos.compute + get_position_estimates
against a classical MDS in numpy (numpy.linalg.eigh, the same anchor-0
frame) on the same distance matrices, and the eigen-solver alone against
numpy.linalg.eigh. Each repeat times both sides back to back, so that both
see the same machine load; the table gives the medians of the repeats."""
import math
import pathlib
import sys

import numpy as np

import qz_autopos

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE))
sys.path.insert(1, str(HERE.parent / "tests"))
from engine_symbols import F32P  # noqa: E402
from engine_symbols import autopos as routines  # noqa: E402
from timing import paired  # noqa: E402

REPEATS = 15
TARGETS = {4: 10.0, 15: 2.0}  # minimum speed-up over numpy


def layout(n, seed):
    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, 100.0, (n, 2))
    gaps = points[:, None] - points[None]
    return np.linalg.norm(gaps, axis=2).ravel().tolist()


def numpy_mds(meas, n):
    """Classical MDS seen from anchor 0, anchor 1 turned onto +x."""
    d = np.asarray(meas, dtype=np.float64).reshape(n, n)
    d2 = d * d
    gram = (d2[0][None, :] + d2[:, 0][:, None] - d2) * 0.5
    w, v = np.linalg.eigh(gram)
    coords = v[:, -2:] * np.sqrt(np.maximum(w[-2:], 0.0))
    coords -= coords[0]
    angle = math.atan2(coords[1, 1], coords[1, 0])
    c, s = math.cos(angle), math.sin(angle)
    x = coords[:, 1] * s + coords[:, 0] * c
    y = coords[:, 1] * c - coords[:, 0] * s
    return [(float(xi), float(yi), 0) for xi, yi in zip(x, y)]


def compare(ours, reference, number):
    """Median seconds per call of each side and the median of the per-repeat
    speed-ups, the two sides timed alternately."""
    return paired(ours, reference, number=number, repeats=REPEATS)


def bench_survey(n):
    meas = layout(n, n)
    autopos = qz_autopos.AutoPos(n)

    def ours():
        autopos.compute(meas)
        return autopos.get_position_estimates()

    def reference():
        return numpy_mds(meas, n)

    # both give the same layout up to a mirror image
    got = np.array([(p.x, p.y) for p in ours()])
    want = np.array(reference())[:, :2]
    error = min(np.abs(got - want).max(), np.abs(got - want * [1, -1]).max())
    assert error < 1e-2, error
    return compare(ours, reference, 1000)


def bench_eig(n=15):
    rng = np.random.default_rng(0)
    a = rng.standard_normal((n, n)).astype(np.float32)
    a = (a + a.T) * np.float32(0.5)
    w = np.zeros(n, np.float32)
    z = np.zeros(n * n, np.float32)
    pa, pw, pz = (x.ctypes.data_as(F32P) for x in (a, w, z))
    assert routines.eig(pa, n, pw, pz) == 0
    assert np.allclose(w, np.linalg.eigh(a)[0], atol=1e-4)
    return compare(lambda: routines.eig(pa, n, pw, pz), lambda: np.linalg.eigh(a),
                   1000)


def main():
    rows = []
    failed = []
    for n in (4, 8, 15):
        rows.append(("survey, %d anchors" % n, *bench_survey(n),
                     TARGETS.get(n)))
    rows.append(("eig alone, order 15", *bench_eig(), None))

    print("%-22s %12s %12s %9s %8s" % ("case", "ours (us)", "numpy (us)",
                                       "speed-up", "target"))
    for name, ours, numpy_time, ratio, target in rows:
        print("%-22s %12.2f %12.2f %8.1fx %8s" % (
            name, ours * 1e6, numpy_time * 1e6, ratio,
            "%.0fx" % target if target else "-"))
        if target and ratio < target:
            failed.append(name)
    print("medians of %d repeats; speed-up: median of the per-repeat ratios"
          % REPEATS)
    if failed:
        print("below target: " + ", ".join(failed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
