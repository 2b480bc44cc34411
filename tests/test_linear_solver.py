"""The LU solver for systems of order 1 to 3, through its exported symbols."""
import ctypes
import math

import numpy as np
import pytest

from engine_symbols import floats, lib


def padded(matrix):
    """A matrix of order n in the 3x3 row-major layout, zero outside."""
    stored = [0.0] * 9
    for i, row in enumerate(matrix):
        for j, value in enumerate(row):
            stored[3 * i + j] = value
    return floats(stored)


def solve(matrix, b):
    A, B = padded(matrix), floats(b)
    before = (bytes(A), bytes(B))
    x = floats([0.0] * len(b))
    solved = lib.solve_lin_sys_LU(A, B, x, len(b))
    assert (bytes(A), bytes(B)) == before, "caller's A and B must stay untouched"
    return solved, list(x)


def decompose(matrix):
    A = padded(matrix)
    pivot = (ctypes.c_int * 3)()
    result = lib.lu_decomp(A, len(matrix), pivot)
    return result, list(pivot)[: len(matrix)], list(A)


@pytest.mark.parametrize(
    "matrix, b, expected",
    [
        ([[0, 1], [1, 0]], [2, 3], [3, 2]),
        ([[1, 2], [-1, 3]], [3, 2], [1, 1]),
        ([[4]], [2], [0.5]),
        ([[2, 0, 0], [0, 4, 0], [0, 0, 8]], [1, 1, 1], [0.5, 0.25, 0.125]),
    ],
)
def test_solves_exactly(matrix, b, expected):
    assert solve(matrix, b) == (1, expected)


@pytest.mark.parametrize(
    "matrix, pivot",
    [
        ([[0, 1], [1, 0]], [1, 1]),
        ([[1, 2], [-1, 3]], [0, 1]),  # a tie keeps the earlier row
        ([[3, 0, 0], [0, 1, 0], [0, 0, 2]], [0, 1, 2]),  # diagonal: no exchange
        ([[1, 0, 0], [2, 1, 0], [4, 1, 1]], [2, 1, 2]),
    ],
)
def test_pivot_record(matrix, pivot):
    result, got, _ = decompose(matrix)
    assert (result, got) == (0, pivot)


def test_singular_matrix_after_exchange():
    result, pivot, factors = decompose([[1, 2], [2, 4]])
    assert result == -1
    assert pivot == [1, 1]
    assert factors[3] == 0.5  # the multiplier below the exchanged pivot
    assert factors[4] == 0.0
    assert solve([[1, 2], [2, 4]], [1, 1])[0] == 0


@pytest.mark.parametrize("matrix", [[[0]], [[0, 0], [0, 1]], [[1, 1], [1, 1]]])
def test_zero_pivot_is_not_solved(matrix):
    assert solve(matrix, [1] * len(matrix))[0] == 0


def test_lu_solve_reports_zero_diagonal_and_ignores_empty_system():
    A = padded([[1, 0], [0, 0]])
    pivot = (ctypes.c_int * 3)(0, 1, 0)
    x = floats([1, 1])
    assert lib.lu_solve(x, A, 2, pivot) == -1
    x = floats([7])
    assert lib.lu_solve(x, A, 0, pivot) == 0 and x[0] == 7


def test_nan_is_not_singular():
    solved, x = solve([[float("nan"), 1], [1, 2]], [1, 1])
    assert solved == 1
    assert any(math.isnan(v) for v in x)


@pytest.mark.parametrize("seed", range(20))
def test_random_order_three_matches_float_solution(seed):
    rng = np.random.default_rng(seed)
    matrix = rng.uniform(-10, 10, (3, 3)).astype(np.float32)
    matrix[0, 0] = 0.01  # forces exchanges at step 0 and usually step 1
    b = rng.uniform(-10, 10, 3).astype(np.float32)
    solved, x = solve(matrix.tolist(), b.tolist())
    assert solved == 1
    residual = matrix.astype(np.float64) @ np.array(x) - b
    scale = np.abs(matrix).sum(axis=1) * np.abs(x).max()
    assert np.all(np.abs(residual) <= 1e-5 * scale)
