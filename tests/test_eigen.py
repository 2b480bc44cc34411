"""The symmetric eigen-solver of qz_autopos, through its exported symbols."""
import math

import numpy as np
import pytest

from engine_symbols import F32P
from engine_symbols import autopos as lib


def ptr(array):
    return array.ctypes.data_as(F32P)


def eig(matrix, n=None, z_fill=0.0):
    """(code, w, z) of eig, z[:, k] the eigenvector of w[k]; the solver's
    arrays are column-major."""
    a = np.asarray(matrix, dtype=np.float32)
    n = a.shape[0] if n is None else n
    w = np.full(max(n, 1), 7.0, np.float32)
    z = np.full(max(n * n, 1), z_fill, np.float32)
    code = lib.eig(ptr(a.ravel(order="F").copy()), n, ptr(w), ptr(z))
    if not 1 <= n <= 15:
        return code, w, z
    return code, w[:n], z.reshape(n, n).T


def random_symmetric(rng, n):
    a = rng.standard_normal((n, n)).astype(np.float32)
    return (a + a.T) * np.float32(0.5)


@pytest.mark.parametrize(
    "matrix, values, vectors",
    [([[-2.5]], [-2.5], [[1]]),
     (np.diag([3, 1, 2]), [1, 2, 3], np.eye(3)[:, [1, 2, 0]]),
     # a tie is not swapped: the strict minimum keeps the first
     (np.diag([2, 1, 2]), [1, 2, 2], np.eye(3)[:, [1, 0, 2]])],
)
def test_exact_cases(matrix, values, vectors):
    code, w, z = eig(matrix)
    assert code == 0
    assert w.tolist() == values and z.tolist() == np.asarray(vectors).tolist()


def test_two_by_two_and_three_by_three():
    code, w, z = eig([[2, 1], [1, 2]])
    assert code == 0 and w[1] == 3
    assert abs(w[0] - 1) <= 4 * np.spacing(np.float32(1))
    np.testing.assert_allclose(
        z, [[0.7071068, 0.7071068], [-0.7071068, 0.7071068]], atol=2e-7)
    code, w, _ = eig([[4, 1, 0], [1, 3, 1], [0, 1, 2]])
    assert ["%.6f" % v for v in w] == ["1.267949", "2.999999", "4.732050"]


def test_zero_first_row_gives_unit_eigenvector_of_row_zero():
    code, w, z = eig([[0, 0, 0], [0, 5, 1], [0, 1, 3]])
    k = int(np.flatnonzero(w == 0)[0])
    assert code == 0 and np.abs(z[:, k]).tolist() == [1.0, 0.0, 0.0]


@pytest.mark.parametrize("n", range(1, 16))
def test_against_numpy(n):
    rng = np.random.default_rng(n)
    for _ in range(4):
        a = random_symmetric(rng, n)
        code, w, z = eig(a)
        ref_w, ref_v = np.linalg.eigh(a.astype(np.float64))
        scale = max(1.0, np.abs(ref_w).max())
        assert code == 0 and np.all(np.diff(w) >= 0)
        np.testing.assert_allclose(w, ref_w, atol=2e-6 * n * scale)
        np.testing.assert_allclose(z.T @ z, np.eye(n), atol=2e-6 * n)
        gaps = np.diff(np.concatenate(([-np.inf], ref_w, [np.inf])))
        for k in range(n):
            if min(gaps[k], gaps[k + 1]) > 0.05 * scale:  # well defined
                error = min(np.abs(z[:, k] - ref_v[:, k]).max(),
                            np.abs(z[:, k] + ref_v[:, k]).max())
                assert error <= 1e-4, (k, error)


def test_upper_triangle_and_initial_z_are_never_read():
    a = random_symmetric(np.random.default_rng(5), 9)
    poisoned = a.copy()
    poisoned[np.triu_indices(9, 1)] = np.nan
    clean, dirty = eig(a), eig(poisoned, z_fill=np.nan)
    assert clean[0] == dirty[0] == 0
    assert [x.tobytes() for x in clean[1:]] == [x.tobytes() for x in dirty[1:]]


def test_two_stages_reconstruct_the_input_and_give_eig():
    n = 7
    a = random_symmetric(np.random.default_rng(11), n)
    d, e, z = (np.zeros(n, np.float32), np.zeros(n, np.float32),
               np.zeros(n * n, np.float32))
    lib.trans_sym_to_trid(ptr(a.ravel(order="F").copy()), n, ptr(d), ptr(e),
                          ptr(z))
    q = z.reshape(n, n).T.astype(np.float64)
    t = np.diag(d) + np.diag(e[1:], -1) + np.diag(e[1:], 1)
    assert e[0] == 0
    np.testing.assert_allclose(q @ t @ q.T, a, atol=1e-5)
    assert lib.eig_sym_trid(ptr(d), n, ptr(e), ptr(z)) == 0
    _, w, vectors = eig(a)
    assert d.tobytes() == w.tobytes() and z.tobytes() == vectors.T.tobytes()


def test_reduction_reflects_at_the_first_row_too():
    # the reflection at i = 1 gives e[1] = -d[0], where skipping it would
    # leave +d[0]
    d, e, z = (np.zeros(2, np.float32), np.zeros(2, np.float32),
               np.zeros(4, np.float32))
    lib.trans_sym_to_trid(ptr(np.array([2, 1, 1, 2], np.float32)), 2, ptr(d),
                          ptr(e), ptr(z))
    assert e.tolist() == [0.0, -1.0] and d.tolist() == [2.0, 2.0]


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("n", [1, 2, 3, 5, 15])
def test_non_finite_input_is_reported_not_looped_on(n, value):
    rng = np.random.default_rng(n)
    for row, col in zip(*np.tril_indices(n)):
        a = random_symmetric(rng, n)
        a[row, col] = value
        assert 1 <= eig(a)[0] <= n, (row, col)


@pytest.mark.parametrize("n", [0, -1, 16])
def test_order_outside_the_work_array_is_refused(n):
    code, w, z = eig(np.ones((1, 1)), n=n)
    assert code == -1 and w.tolist() == [7.0] * len(w) and not z.any()


@pytest.mark.parametrize(
    "a, b", [(3, 4), (-3, -4), (0, 0), (1e30, 1e30), (1e-30, 3e-30),
             (3.4e38, 3.4e38), (math.nan, 1), (math.inf, math.nan),
             (math.nan, -math.inf), (2, math.inf)],
)
def test_pythag_answers_as_hypot(a, b):
    exact = math.hypot(np.float32(a), np.float32(b))
    got = lib.pythag(a, b)
    if math.isnan(exact):
        assert math.isnan(got)
    elif exact > float(np.finfo(np.float32).max):
        assert got == math.inf
    else:
        assert abs(got - exact) <= 2 * np.spacing(np.float32(exact))
