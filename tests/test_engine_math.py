"""The numeric helpers and printers of qz_autopos, through their exported
symbols."""
import ctypes
import math

import numpy as np
import pytest

from engine_symbols import autopos as lib
from engine_symbols import libc

Triple = ctypes.c_float * 3
Nine = ctypes.c_float * 9

IDENTITY = [1, 0, 0, 0, 1, 0, 0, 0, 1]


def printed(capfd, call, *args):
    """What `call` writes through the C library's stdout."""
    capfd.readouterr()
    call(*args)
    libc.fflush(None)
    return capfd.readouterr().out


@pytest.mark.parametrize(
    "matrix, det",
    [(IDENTITY, 1.0), ([1, 2, 3, 4, 5, 6, 7, 8, 10], -3.0),
     ([1, 4, 7, 2, 5, 8, 3, 6, 10], -3.0)],
)
def test_det_3by3(matrix, det):
    assert lib.det_3by3(Nine(*matrix)) == det


@pytest.mark.parametrize(
    "matrix",
    [[1, 2, 3, 1, 2, 3, 4, 5, 6], [1, 0, 0, 0, math.nan, 0, 0, 0, 1],
     [math.inf, 0, 0, 0, 1, 0, 0, 0, 1]],
)
def test_inv_3by3_refuses_singular_and_non_finite(matrix):
    inv = Nine(*[5.0] * 9)
    assert lib.inv_3by3(inv, Nine(*matrix)) == -1
    assert list(inv) == [0.0] * 9


def test_inv_3by3():
    inv = Nine()
    assert lib.inv_3by3(inv, Nine(*IDENTITY)) == 0 and list(inv) == IDENTITY
    rng = np.random.default_rng(3)
    for _ in range(20):
        m = (rng.standard_normal((3, 3)) + 3 * np.eye(3)).astype(np.float32)
        assert lib.inv_3by3(inv, Nine(*m.ravel())) == 0
        np.testing.assert_allclose(np.array(inv).reshape(3, 3),
                                   np.linalg.inv(m), rtol=1e-4, atol=1e-5)


def test_distances():
    p0, p1 = Triple(0, 0, 0), Triple(3, 4, 12)
    assert [lib.get_dist(p0, p1), lib.get_dist2(p0, p1),
            lib.get_dist3(p0, p1), lib.get_dist_xy(p0, p1)] == [13, 13, 13, 5]
    assert math.isnan(lib.get_dist(p0, Triple(0, math.nan, 0)))


@pytest.mark.parametrize(
    "v, w, length, expected",
    [((1, 2, 3), (4, 5, 6), 3, 32.0), ((1, 2, 3), (4, 5, 6), 1, 4.0),
     # index order: 1e8 + 1 rounds back to 1e8 before -1e8 is added
     ((1e8, 1, -1e8), (1, 1, 1), 3, 0.0),
     ((1, 2, 3), (4, 5, 6), 0, 0.0)],
)
def test_dot_prod(v, w, length, expected):
    assert lib.dot_prod(Triple(*v), Triple(*w), length) == expected


@pytest.mark.parametrize(
    "n, expected",
    [(-5, 1), (0, 1), (20, 2432902008176640000), (21, 14197454024290336768),
     (25, math.factorial(25) % 2**64), (66, 0), (2**31 - 1, 0)],
)
def test_fact_wraps_modulo_2_64(n, expected):
    assert lib.fact(n) == expected


def test_print_mat(capfd):
    column = (ctypes.c_float * 2)(-5e-9, -5e-8)  # cleared; below the band
    assert printed(capfd, lib.print_mat, column, 2, 1, b"T") == (
        "\n T\n\n C/R        0     \n\n"
        "0:     0.000000   \n1:     -0.000000   \n")
    values = (ctypes.c_float * 6)(1.5, -0.0, 2e-9, 1234.5, -2, 1e-9)
    lines = printed(capfd, lib.print_mat, values, 2, 3, b"M").split("\n")
    assert lines[3] == " C/R  " + "".join("      %d     " % j for j in range(3))
    assert lines[5:] == ["0:     1.500000       0.000000       -2.000000   ",
                         "1:     0.000000       1234.500000       0.000000   ",
                         ""]
    assert printed(capfd, lib.print_mat, values, 0, -1, None) == (
        "\n \n\n C/R  \n\n")


def test_print_vec(capfd):
    assert printed(capfd, lib.print_vec, None, 0, b"name") == "name\n\n"
    values = (ctypes.c_float * 2)(0.25, -1e6)
    assert printed(capfd, lib.print_vec, values, 2, b"v") == (
        "v\n\n         0:       0.250000\n"
        "         1: -1000000.000000\n")
