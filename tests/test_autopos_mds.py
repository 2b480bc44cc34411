"""The MDS anchor survey engine_autopos_mds and its self-test, through the
exported symbols of qz_autopos."""
import ctypes
import math

import numpy as np
import pytest

from engine_symbols import F32P
from engine_symbols import autopos as lib
from engine_symbols import libc

res = np.ctypeslib.as_array((ctypes.c_float * 225).in_dll(lib, "res"))

SELF_TEST = [0, 740, 714, 132, 750, 0, 176, 686,
             716, 175, 0, 754, 134, 764, 753, 0]
SQUARE = [(0, 0), (100, 0), (100, 100), (0, 100)]
TRIANGLE = [(0, 0), (300, 0), (150, 150 * math.sqrt(3))]
INT_MIN, INT_MAX = -2**31, 2**31 - 1


def distances(points):
    p = np.asarray(points, dtype=np.float64)
    return np.linalg.norm(p[:, None] - p[None], axis=2).ravel()


def mds(meas, n=None, qf=0, out_size=None):
    """(rank, qf, x, y, whole output) of a survey; the output starts -7."""
    meas = np.asarray(meas, dtype=np.float32)
    n = int(round(math.sqrt(meas.size))) if n is None else n
    out = np.full(out_size or 3 * n, -7.0, np.float32)
    figure = ctypes.c_int(qf)
    rank = lib.engine_autopos_mds(ptr(meas), n, ptr(out), ctypes.byref(figure))
    return rank, figure.value, out[:max(n, 0)], out[n:2 * n], out


def ptr(array):
    return array.ctypes.data_as(F32P)


def gram_eigenvalues(meas):
    d = np.asarray(meas, dtype=np.float32)
    n = int(round(math.sqrt(d.size)))
    d = d.reshape(n, n)
    b = ((d[0][None, :] ** 2 + d[:, 0][:, None] ** 2) - d ** 2) / 2
    w, z = np.zeros(n, np.float32), np.zeros(n * n, np.float32)
    assert lib.eig(ptr(b.ravel()), n, ptr(w), ptr(z)) == 0
    return w


@pytest.mark.parametrize(
    "meas, x, y, rank",
    [(distances(SQUARE), [0, 100, 100, 0], [0, 0, 100, 100], 2),
     (distances(TRIANGLE), [0, 300, 150], [0, 0, 259.81], 2),
     (SELF_TEST, [0, 751.56, 679.78, 55.21], [0, 0, 242.59, -179.84], 2)],
)
def test_documented_layouts(meas, x, y, rank):
    got = mds(meas)
    assert got[0] == rank
    np.testing.assert_allclose(got[2], x, atol=0.01)
    np.testing.assert_allclose(got[3], y, atol=0.01)


@pytest.mark.parametrize(
    "meas, eigenvalues, qf",
    [(distances(TRIANGLE), [0, 45000, 135000], 71),
     (SELF_TEST, [-37225.3, 0, 66271.0, 1054920.1], 64),
     # anchors on a line at 0, 300 and 100: exactly 100000 adds 50
     ([0, 300, 100, 300, 0, 200, 100, 200, 0], [0, 0, 100000], 50)],
)
def test_qf_from_the_eigenvalues(meas, eigenvalues, qf):
    np.testing.assert_allclose(gram_eigenvalues(meas), eigenvalues, atol=0.2)
    assert mds(meas, qf=1000)[1] == 1000 + qf


@pytest.mark.parametrize(
    "start, expected",
    # eigenvalues -5e17 (share saturated at INT_MIN), 0 and 5e17 (49)
    [(0, INT_MIN + 49), (INT_MIN + 5, INT_MIN + 49), (INT_MAX - 5, 43),
     (INT_MAX - 10, INT_MAX)],
)
def test_qf_saturates(start, expected):
    big = [0, 0, 0, 0, 0, 1e9, 0, 1e9, 0]
    meas = distances(TRIANGLE) if expected == INT_MAX else big
    assert mds(meas, qf=start)[1] == expected


def test_self_test_prints_its_result(capfd):
    capfd.readouterr()
    lib.engine_autopos_test()
    libc.fflush(None)
    lines = capfd.readouterr().out.split("\n")
    assert lines[:5] == ["", " RESULTAAT [x,y]", "",
                         " C/R        0           1     ", ""]
    rows = [line.split() for line in lines[5:9]]
    assert [row[0] for row in rows] == ["0:", "1:", "2:", "3:"]
    assert rows[0][1:] == ["0.000000", "0.000000"] and lines[9:] == [""]
    np.testing.assert_allclose(
        [[float(v) for v in row[1:]] for row in rows],
        [[0, 0], [751.56, 0], [679.78, 242.59], [55.21, -179.84]], atol=0.01)


@pytest.mark.parametrize("n", range(3, 16))
def test_random_layouts_reproduced_in_the_anchor_frame(n):
    rng = np.random.default_rng(100 + n)
    for _ in range(5):
        points = rng.uniform(0, 100, (n, 2))
        rank, _, x, y, _ = mds(distances(points))
        shifted = points - points[0]
        angle = math.atan2(shifted[1, 1], shifted[1, 0])
        c, s = math.cos(angle), math.sin(angle)
        frame = shifted @ np.array([[c, -s], [s, c]])
        got = np.column_stack([x, y])
        assert rank >= 2 and got[0].tolist() == [0, 0] and got[1, 0] > 0
        error = min(np.abs(got - frame).max(),
                    np.abs(got - frame * [1, -1]).max())  # mirror image
        assert error <= 1e-3, error


def test_res_and_the_turn_of_the_plane():
    n = 5
    _, _, x, y, out = mds(distances([(0, 0), (40, 10), (25, 70), (90, 60),
                                     (60, 5)]))
    dims = res[: n * n].reshape(n, n)  # row k: eigen-dimension k
    u, v, w = dims[n - 1], dims[n - 2], dims[n - 3]
    assert dims[n - 3:, 0].tolist() == [0.0] * 3  # anchor 0 at the origin
    assert x[1] == pytest.approx(math.hypot(u[1], v[1]), rel=1e-6)
    assert out[2 * n:].tobytes() == w.tobytes()  # z unturned
    np.testing.assert_allclose(x ** 2 + y ** 2, u ** 2 + v ** 2, rtol=1e-5)
    # anchors 0 and 1 together: angle 0, x = v and y = u
    _, _, x, y, _ = mds(distances([(0, 0), (0, 0), (30, 0), (0, 50)]))
    assert x.tobytes() == res[8:12].tobytes()
    assert y.tobytes() == res[12:16].tobytes()


@pytest.mark.parametrize(
    "n, value", [(-5, 1), (0, 1), (1, 1), (2, 1), (16, 1), (4, math.nan),
                 (4, math.inf), (4, 1e30)],
)
def test_failures_write_nothing(n, value):
    m = max(n, 1)
    meas = np.full(m * m, 50.0, np.float32)
    meas[::m + 1] = 0
    if n == 4:
        meas[6] = meas[9] = value  # d(1, 2) and d(2, 1)
    before = res.copy()
    rank, qf, _, _, out = mds(meas, n=n, qf=12, out_size=64)
    assert (rank, qf) == (-1, 12) and set(out.tolist()) == {-7.0}
    assert res.tobytes() == before.tobytes()
