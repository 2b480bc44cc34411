"""The Levenberg-Marquardt tag solver, through its exported symbols."""
import ctypes
import math

import numpy as np
import pytest
from scipy.optimize import least_squares

from engine_symbols import anchors, fit, floats, lib

SQUARE = [(0, 0, 0), (10, 0, 0), (10, 10, 0), (0, 10, 0)]


def planar_distances(point, anchor_points):
    return [math.hypot(point[0] - a[0], point[1] - a[1]) for a in anchor_points]


def f32(value):
    return float(np.float32(value))


def test_square_converges_in_three_accepted_steps():
    measurements = planar_distances((3, 4), SQUARE)
    result, p, sse = fit((8, 8), measurements, SQUARE)
    assert result == 3
    assert sse < 0.001
    assert math.dist(p, (3, 4)) < 0.02


@pytest.mark.parametrize("kmax, sse_after", [(1, 3.94), (2, 0.58)])
def test_square_iteration_limit_and_sums_of_squares(kmax, sse_after):
    measurements = planar_distances((3, 4), SQUARE)
    result, _, sse = fit((8, 8), measurements, SQUARE, kmax=kmax)
    assert result == kmax
    assert sse == pytest.approx(sse_after, abs=0.01)


def test_symmetric_start_stops_on_small_gradient():
    result, p, sse = fit((5, 5), [5, 5, 5, 5], SQUARE)
    assert (result, p) == (0, [5.0, 5.0])
    assert sse == pytest.approx(17.16, abs=0.01)


@pytest.mark.parametrize(
    "measurements, kmax, expected_result, expected_sse",
    [
        ([1, 2, 3, 4], 0, 0, None),  # kmax <= 0: no iteration
        ([1, 2, 3, 4], -3, 0, None),
        ([math.inf, 2, 3, 4], 0, 0, math.inf),  # even a non-finite start sum
        ([math.inf, 2, 3, 4], 8, -1, math.inf),
        ([0, -1, -5, math.nan], 8, 0, 0.0),  # no measurement at all
        ([0.1, 0.17, 0.0, 0.15], 8, 0, 0.0),  # all below 0.175
    ],
)
def test_returns_without_moving(measurements, kmax, expected_result, expected_sse):
    result, p, sse = fit((8, 8), measurements, SQUARE, kmax=kmax)
    assert result == expected_result
    assert p == [8.0, 8.0]
    if expected_sse is not None:
        assert sse == expected_sse
    else:
        assert sse > 0.1


def test_start_that_already_fits():
    measurements = [f32(d + 0.05) for d in planar_distances((3, 4), SQUARE)]
    assert fit((3, 4), measurements, SQUARE) == (0, [3.0, 4.0],
                                                 pytest.approx(0.01, rel=1e-5))


def test_slot_without_measurement_drops_its_anchor():
    five = SQUARE + [(5, -3, 0)]
    measurements = planar_distances((3, 4), five)
    with_gap = measurements[:1] + [0.0] + measurements[2:]
    without = measurements[:1] + measurements[2:]
    assert fit((8, 8), with_gap, five) == fit((8, 8), without, five[:1] + five[2:])


def test_first_twenty_positive_measurements_are_used():
    rng = np.random.default_rng(7)
    points = [tuple(rng.uniform(-10, 10, 2)) + (0,) for _ in range(26)]
    measurements = planar_distances((1, 2), points)
    measurements[3] = 0.0  # a slot without measurement does not count
    # Slots past the twentieth kept measurement carry nonsense.
    noisy = measurements[:21] + [100.0] * 5
    kept = [(m, a) for m, a in zip(measurements, points) if m > 0][:20]
    reference = fit((0, 0), [m for m, _ in kept], [a for _, a in kept])
    assert fit((0, 0), noisy, points) == reference


def test_planar_fit_ignores_z_and_leaves_third_coordinate():
    lifted = [(x, y, 7.5 * i) for i, (x, y, _) in enumerate(SQUARE)]
    measurements = planar_distances((3, 4), SQUARE)
    p = floats([8, 8, 123.25])
    sse = ctypes.c_float()
    result = lib.ls_lm_dif(p, floats(measurements), 2, 4, 8, ctypes.byref(sse),
                           anchors(lifted))
    assert p[2] == 123.25
    assert (result, list(p)[:2]) == fit((8, 8), measurements, SQUARE)[:2]


def test_spatial_fit():
    cube = [(0, 0, 0), (10, 0, 0), (10, 10, 0), (0, 10, 0), (0, 0, 10), (10, 10, 10)]
    measurements = [math.dist((3, 4, 5), a) for a in cube]
    result, p, sse = fit((5, 5, 4), measurements, cube, dim=3, kmax=20)
    assert result > 0 and sse <= 0.1
    assert math.dist(p, (3, 4, 5)) < 0.1


@pytest.mark.parametrize("dim", [0, 1, 4])
def test_unsupported_dimension_fails_without_moving(dim):
    result, p, _ = fit((8, 8), planar_distances((3, 4), SQUARE), SQUARE, dim=dim)
    assert result == -1


def test_starting_on_an_anchor_gives_finite_jacobian():
    p = floats([10, 0])
    hx = floats([0.0, 10.0])
    lib.engine_ls_cost_fnc(anchors(SQUARE[1:3]), p, hx, 2, 2)
    assert list(hx) == [0.0, 10.0]
    jac = floats([0] * 6)
    lib.fdif_jac(p, hx, floats([0, 0]), jac, 2, 2, anchors(SQUARE[1:3]))
    assert list(p) == [10.0, 0.0]  # restored exactly
    assert all(math.isfinite(v) for v in jac)
    assert jac[0] == pytest.approx(1.0)  # forward step of 0.04 away from it


@pytest.mark.parametrize("s, step", [(0.0, 0.04), (-3.0, 0.04), (1000.0, 0.1),
                                     (-2000.0, 0.2)])
def test_finite_difference_step(s, step):
    # Distance to an anchor one unit off the x axis at x = s: its derivative
    # along x is 0 there and its curvature 1, so the forward difference is
    # half the step.
    near = anchors([(s, 1, 0)])
    p = floats([s, 0])
    hx = floats([1])
    jac = floats([0, 0, 0])
    lib.fdif_jac(p, hx, floats([0]), jac, 2, 1, near)
    assert list(p) == [s, 0.0]
    assert jac[0] == pytest.approx(step / 2, rel=0.02)


@pytest.mark.parametrize(
    "measured, counted",
    [(0.17499999701976776, False), (0.17500001192092896, True), (0.0, False),
     (-2.0, False), (math.nan, True)],
)
def test_residual_threshold(measured, counted):
    e = floats([9.0])
    total = lib.vec_dif_L2_norm(e, floats([measured]), floats([0.0]), 1)
    if not counted:
        assert (total, e[0]) == (0.0, 0.0)
    elif math.isnan(measured):
        assert math.isnan(total)
    else:
        assert total == f32(f32(measured) ** 2) and e[0] == f32(measured)


def test_sum_of_squares_is_not_rooted():
    e = floats([0, 0, 0])
    total = lib.vec_dif_L2_norm(e, floats([5, 1, 2]), floats([2, 1, 0]), 3)
    assert (total, list(e)) == (13.0, [3.0, 0.0, 2.0])


def test_cost_function_dimensions():
    a = anchors([(3, 4, 12)])
    out = floats([-1.0])
    lib.engine_ls_cost_fnc(a, floats([0, 0, 0]), out, 2, 1)
    assert out[0] == 5.0
    lib.engine_ls_cost_fnc(a, floats([0, 0, 0]), out, 3, 1)
    assert out[0] == 13.0
    out[0] = -1.0
    for dim, count in [(1, 1), (4, 1), (2, 0)]:
        lib.engine_ls_cost_fnc(a, floats([0, 0, 0]), out, dim, count)
    assert out[0] == -1.0


def double_precision_fit(start, measurements, anchor_points):
    a = np.array([p[:2] for p in anchor_points], dtype=float)
    m = np.array(measurements, dtype=float)
    solution = least_squares(lambda q: np.hypot(*(a - q).T) - m, start, method="lm",
                             xtol=1e-12, ftol=1e-12)
    return solution.x


@pytest.mark.parametrize("seed", range(40))
def test_lands_where_a_double_precision_fit_lands(seed):
    """Centred installations, exact or slightly noisy distances in metres, a
    start within a metre: the fit lands at the double-precision optimum up to
    the reach of its own absolute stop rules (sum of squares 0.1, gradient
    0.2), which end the fit a few centimetres short of it."""
    rng = np.random.default_rng(seed)
    count = rng.integers(4, 9)
    anchor_points = [(*rng.uniform(-10, 10, 2), rng.uniform(0, 3)) for _ in range(count)]
    tag = rng.uniform(-5, 5, 2)
    noise = 0.0 if seed % 2 else 0.02
    measurements = [f32(d + rng.normal(0, noise))
                    for d in planar_distances(tag, anchor_points)]
    start = tag + rng.uniform(-1, 1, 2)
    result, p, sse = fit([f32(v) for v in start], measurements, anchor_points)
    optimum = double_precision_fit(start, measurements, anchor_points)
    # How far the stop rules may leave the fit from the optimum: a sum of
    # squares within 0.1 or a gradient within 0.2 along the weakest direction.
    unit = (optimum - np.array([a[:2] for a in anchor_points]))
    unit /= np.linalg.norm(unit, axis=1)[:, None]
    weakest = np.linalg.eigvalsh(unit.T @ unit)[0]
    reach = math.sqrt(0.1 / weakest) + 0.2 / weakest
    assert result >= 0
    assert sse <= 0.1 or result == 8
    assert math.dist(p, optimum) < reach
