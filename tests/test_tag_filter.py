"""qz_track: the TagFilter type and the smoother, on simulated ranges."""
import copy
import ctypes
import math
import pickle
import random
import sys
import tracemalloc

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import qz_track
from qz_track import TagFilter
from track_symbols import Model, Params, State, doubles, lib
from track_symbols import anchors as track_anchors

HALL = [(0.5, 0.5), (10.0, 0.3), (19.5, 0.5), (19.5, 11.5), (10.0, 11.7), (0.5, 11.5)]
SIGMA = 0.05


def ranges(point, anchors=HALL, noise=0.0, rng=None):
    return [math.dist(point, a) + (rng.gauss(0.0, noise) if noise else 0.0) for a in anchors]


def bound_rms(point, anchors=HALL, sigma=SIGMA):
    """The per-fix Cramer-Rao bound: sqrt(trace(sigma^2 (H^T H)^-1))."""
    h = np.array([(point[0] - a[0], point[1] - a[1]) for a in anchors])
    h /= np.linalg.norm(h, axis=1)[:, None]
    return math.sqrt(sigma ** 2 * np.trace(np.linalg.inv(h.T @ h)))


def seeded(point=(6.0, 4.0), anchors=HALL, time=0.0, **options):
    f = TagFilter(anchors, sigma=SIGMA, **options)
    f.seed(time, point[0], point[1], ranges(point, anchors))
    return f


class TestFollowing:
    @pytest.mark.parametrize("seed", [11, 12, 13])
    @pytest.mark.parametrize("process_noise, share", [(0.5, 0.95), (0.0, 0.3)])
    def test_stationary_tag_converges_within_the_bound(self, seed, process_noise, share):
        """A walker's process noise still beats one fix; a filter told the
        tag stands still averages all of them."""
        rng = random.Random(seed)
        truth = (7.0, 5.0)
        f = seeded((7.3, 4.8), process_noise=process_noise)
        errors = []
        for k in range(1, 301):
            x, y, sd, dop, used, rejected = f.update(0.1 * k, ranges(truth, noise=SIGMA, rng=rng))
            if k > 100:
                errors.append(math.dist((x, y), truth))
        assert math.sqrt(np.mean(np.square(errors))) < share * bound_rms(truth)
        assert sd < share * bound_rms(truth)

    @pytest.mark.parametrize("velocity", [(1.0, 0.0), (0.6, -0.8), (-1.5, 0.5)])
    def test_constant_velocity_is_followed_without_lag(self, velocity):
        rng = random.Random(5)
        start = (5.0, 6.0)
        f = seeded(start)
        along = []
        for k in range(1, 81):
            t = 0.1 * k
            truth = (start[0] + velocity[0] * t, start[1] + velocity[1] * t)
            x, y, *_ = f.update(t, ranges(truth, noise=SIGMA, rng=rng))
            if k > 30:
                speed = math.hypot(*velocity)
                along.append(((x - truth[0]) * velocity[0] + (y - truth[1]) * velocity[1]) / speed)
        assert abs(np.mean(along)) < 0.01  # no lag behind the tag
        vx, vy = f.state[2:]
        assert math.hypot(vx - velocity[0], vy - velocity[1]) < 0.3

    def test_tag_off_the_anchor_plane(self):
        anchors = [(x, y, 2.5) for x, y in HALL]
        truth = (8.0, 3.0)
        exact = [math.sqrt(math.dist(truth, a[:2]) ** 2 + (1.0 - 2.5) ** 2) for a in anchors]
        f = TagFilter(anchors, sigma=SIGMA, height=1.0)
        f.seed(0.0, 8.2, 3.1, exact)
        for k in range(1, 30):
            x, y, *_ = f.update(0.1 * k, exact)
        assert math.dist((x, y), truth) < 0.01

    def test_covariance_stays_symmetric_positive(self):
        rng = random.Random(3)
        f = seeded()
        for k in range(1, 500):
            f.update(0.1 * k, ranges((6.0 + 0.01 * k, 4.0), noise=SIGMA, rng=rng))
        c = np.array(f.covariance).reshape(4, 4)
        assert np.array_equal(c, c.T)
        assert np.linalg.eigvalsh(c).min() > 0

    def test_dop_is_that_of_the_used_anchors(self):
        f = seeded((10.0, 6.0))
        x, y, sd, dop, used, rejected = f.update(0.1, ranges((10.0, 6.0)))
        h = np.array([(x - a[0], y - a[1]) for a in HALL])
        h /= np.linalg.norm(h, axis=1)[:, None]
        assert dop == pytest.approx(math.sqrt(np.trace(np.linalg.inv(h.T @ h))), rel=1e-9)
        # two anchors on one line through the tag fix nothing across it
        line = [(0.0, 0.0), (20.0, 0.0)]
        g = TagFilter(line, sigma=SIGMA)
        *_, dop, used, _ = g.seed(0.0, 10.0, 0.0, [10.0, 10.0])
        assert used == (0, 1) and dop == 1000.0


class TestRejection:
    def test_one_long_range_is_rejected_and_counted(self):
        truth = (6.0, 4.0)
        f = seeded(truth)
        for k in range(1, 10):
            f.update(0.1 * k, ranges(truth))
        distances = ranges(truth)
        distances[3] += 1.0
        x, y, sd, dop, used, rejected = f.update(1.0, distances)
        assert rejected == 1 and used == (0, 1, 2, 4, 5)
        assert f.rejected == 1
        assert math.dist((x, y), truth) < 0.01

    def test_two_outliers_in_one_fix_are_both_rejected(self):
        truth = (12.0, 7.0)
        f = seeded(truth)
        for k in range(1, 10):
            f.update(0.1 * k, ranges(truth))
        distances = ranges(truth)
        distances[0] += 0.8
        distances[4] += 0.5
        x, y, sd, dop, used, rejected = f.update(1.0, distances)
        assert rejected == 2 and used == (1, 2, 3, 5)
        assert math.dist((x, y), truth) < 0.01

    def test_short_ranges_are_gated_more_loosely(self):
        truth = (6.0, 4.0)
        f = seeded(truth, gate=3.0, short_gate=100.0)
        for k in range(1, 10):
            f.update(0.1 * k, ranges(truth))
        too_long, too_short = ranges(truth), ranges(truth)
        too_long[2] += 0.4
        too_short[2] -= 0.4
        assert f.update(1.0, too_short)[5] == 0
        assert f.update(1.1, too_long)[5] == 1

    @pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf, -3.0, 1e9])
    def test_unusable_range_is_a_counted_rejection(self, bad):
        f = seeded()
        distances = ranges((6.0, 4.0))
        distances[1] = bad
        x, y, sd, dop, used, rejected = f.update(0.1, distances)
        assert rejected == 1 and 1 not in used
        assert all(math.isfinite(v) for v in (x, y, sd, dop) + f.state + f.covariance)

    def test_zero_is_no_range(self):
        f = seeded()
        distances = ranges((6.0, 4.0))
        distances[2] = 0.0
        assert f.update(0.1, distances)[4:] == ((0, 1, 3, 4, 5), 0)

    def test_rejections_in_a_row_ask_for_a_seed(self):
        f = seeded(max_rejected_updates=2)
        wrong = [0.0] * 6
        wrong[0], wrong[3] = 3.0, 3.0  # two ranges, both far off
        assert f.update(0.1, wrong)[4:] == ((), 2)
        assert f.update(0.2, wrong) is not None
        assert f.update(0.3, wrong) is None and f.seeded
        assert f.rejected == 4

    def test_a_tag_that_jumps_is_followed_not_rejected(self):
        """Most ranges missing their gates means the prediction is off, not
        the ranges: the filter widens its covariance and follows."""
        f = seeded((6.0, 4.0))
        for k in range(1, 10):
            f.update(0.1 * k, ranges((6.0, 4.0)))
        x, y, sd, dop, used, rejected = f.update(1.0, ranges((6.8, 4.5)))
        assert rejected == 0 and len(used) == 6
        assert math.dist((x, y), (6.8, 4.5)) < 0.05

    @pytest.mark.parametrize("sigma", [0.02, 0.05])
    def test_sharp_turns_are_followed(self, sigma):
        rng = random.Random(9)
        f = TagFilter(HALL, sigma=sigma)
        here, velocity = (4.0, 4.0), (1.5, 0.0)
        f.seed(0.0, *here, ranges(here))
        worst = 0.0
        for k in range(1, 200):
            if k % 25 == 0:  # turn by 90 degrees at once
                velocity = (-velocity[1], velocity[0])
            here = (here[0] + 0.1 * velocity[0], here[1] + 0.1 * velocity[1])
            fix = f.update(0.1 * k, ranges(here, noise=sigma, rng=rng))
            worst = max(worst, math.dist(fix[:2], here))
        assert worst < 0.2 and f.rejected < 10


class TestSeeding:
    def test_unseeded_filter_returns_none(self):
        f = TagFilter(HALL)
        assert not f.seeded
        assert f.update(0.0, ranges((5.0, 5.0))) is None

    def test_seed_covariance_is_the_fit_bound(self):
        point = (9.0, 5.0)
        f = TagFilter(HALL, sigma=SIGMA)
        x, y, sd, dop, used, rejected = f.seed(2.0, *point, ranges(point))
        assert (x, y, used, rejected) == (9.0, 5.0, (0, 1, 2, 3, 4, 5), 0)
        assert sd == pytest.approx(bound_rms(point), rel=1e-3)
        assert f.state[2:] == (0.0, 0.0) and f.time == 2.0

    def test_gap_asks_for_a_seed(self):
        f = seeded(max_gap=2.0)
        assert f.update(1.9, ranges((6.0, 4.0))) is not None
        assert f.update(4.0, ranges((6.0, 4.0))) is None

    def test_updates_without_ranges_do_not_hide_a_gap(self):
        f = seeded(max_gap=2.0)
        for k in range(1, 30):
            f.update(0.1 * k, [0.0] * 6)
        assert f.update(3.0, ranges((6.0, 4.0))) is None

    def test_new_anchors_reset_the_filter(self):
        f = seeded()
        moved = [(x + 1.0, y) for x, y in HALL]
        f.set_anchors(moved)
        assert not f.seeded
        assert f.anchors == [(x, y, 0.0) for x, y in moved]
        assert f.update(0.1, ranges((6.0, 4.0), moved)) is None

    def test_reset(self):
        f = seeded()
        f.reset()
        assert not f.seeded


class TestBadInput:
    @pytest.mark.parametrize("time, message", [
        (math.nan, "finite"), (math.inf, "finite"), (-1.0, "negative"), (0.5, "backwards")])
    def test_bad_time(self, time, message):
        f = seeded(time=1.0)
        with pytest.raises(ValueError, match=message):
            f.update(time, ranges((6.0, 4.0)))
        with pytest.raises(ValueError, match=message):
            f.seed(time, 6.0, 4.0, ranges((6.0, 4.0)))
        assert f.seeded and f.time == 1.0

    @pytest.mark.parametrize("distances", [[1.0] * 5, [1.0] * 7, [], iter([1.0] * 7)])
    def test_wrong_number_of_distances(self, distances):
        with pytest.raises(ValueError, match="distances"):
            seeded().update(0.1, distances)

    @pytest.mark.parametrize("distances, error", [
        ([1.0] * 5 + ["a"], TypeError), (None, TypeError), (5.0, TypeError)])
    def test_distances_that_are_not_numbers(self, distances, error):
        with pytest.raises(error):
            seeded().update(0.1, distances)

    def test_distances_from_any_iterable(self):
        a = seeded().update(0.1, ranges((6.0, 4.0)))
        b = seeded().update(0.1, (d for d in ranges((6.0, 4.0))))
        c = seeded().update(0.1, np.array(ranges((6.0, 4.0))))
        assert a == b == c

    @pytest.mark.parametrize("x, y", [(math.nan, 1.0), (1.0, math.inf)])
    def test_seed_at_a_non_finite_point(self, x, y):
        with pytest.raises(ValueError, match="finite"):
            TagFilter(HALL).seed(0.0, x, y, ranges((6.0, 4.0)))

    @pytest.mark.parametrize("anchors, error", [
        ([], ValueError), ([(0.0, 0.0)] * 33, ValueError), ([(0.0,)], ValueError),
        ([(0.0, 0.0, 0.0, 0.0)], ValueError), ([(math.nan, 0.0)], ValueError),
        ([(0.0, "a")], TypeError), (5, TypeError), ([5], TypeError)])
    def test_bad_anchors(self, anchors, error):
        with pytest.raises(error):
            TagFilter(anchors)
        f = seeded()
        with pytest.raises(error):
            f.set_anchors(anchors)
        assert f.anchor_count == 6 and f.seeded

    @pytest.mark.parametrize("option, value", [
        ("sigma", 0.0), ("sigma", -1.0), ("sigma", math.nan), ("process_noise", -1.0),
        ("gate", 0.0), ("short_gate", -2.0), ("max_gap", 0.0), ("max_range", 0.0),
        ("max_rejected_updates", 0), ("max_rejected_updates", 1.5), ("height", math.inf)])
    def test_bad_options(self, option, value):
        with pytest.raises(ValueError):
            TagFilter(HALL, **{option: value})

    @pytest.mark.parametrize(
        "call, message",
        [
            (
                lambda: TagFilter(HALL, 0.05),
                r"TagFilter\(\) takes exactly 1 positional argument \(2 given\)",
            ),
            (lambda: TagFilter(), r"TagFilter\(\) takes exactly 1 positional argument \(0 given\)"),
            (
                lambda: TagFilter(sigma=0.05),
                r"TagFilter\(\) takes exactly 1 positional argument \(0 given\)",
            ),
            (
                lambda: TagFilter(HALL, anchors=HALL),
                "multiple values for keyword argument 'anchors'",
            ),
            (lambda: seeded().seed(0.1, 1.0, 2.0, [1.0] * 6, 5), r"seed\(\) takes exactly 4"),
        ],
    )
    def test_positional_and_keyword_only_parameters(self, call, message):
        with pytest.raises(TypeError, match=message):
            call()
        assert TagFilter(anchors=HALL, sigma=0.05).sigma == 0.05

    def test_argument_errors(self):
        with pytest.raises(TypeError, match="unexpected keyword"):
            TagFilter(HALL, spread=1.0)
        with pytest.raises(TypeError, match="update"):
            seeded().update(0.1)
        assert seeded().update(time=0.1, distances=ranges((6.0, 4.0))) is not None

    def test_pickling_is_refused(self):
        f = seeded()
        for attempt in (pickle.dumps, copy.copy, copy.deepcopy):
            with pytest.raises(TypeError, match="no default __reduce__"):
                attempt(f)

    def test_not_subclassable(self):
        with pytest.raises(TypeError):
            type("Sub", (TagFilter,), {})

    def test_update_leaks_nothing(self):
        f = seeded()
        distances = ranges((6.0, 4.0))
        for k in range(1, 200):
            f.update(0.01 * k, distances)
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        refs = sys.getrefcount(distances)
        for k in range(200, 5000):
            f.update(0.01 * k, distances)
            try:
                f.update(-1.0, distances)
            except ValueError:
                pass
        grown = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
        assert grown < 4096 and sys.getrefcount(distances) == refs


def clean_track(rng, count=300):
    """A walk with turns and its noisy ranges: (times, truth, distances)."""
    times, truth, measured = [], [], []
    here, heading = (5.0, 5.0), 0.0
    for k in range(count):
        if k % 40 == 0:
            heading = rng.uniform(0, 2 * math.pi)
        here = (here[0] + 0.1 * math.cos(heading), here[1] + 0.1 * math.sin(heading))
        here = (min(max(here[0], 1.5), 18.5), min(max(here[1], 1.5), 10.5))
        times.append(0.1 * k)
        truth.append(here)
        measured.append(ranges(here, noise=SIGMA, rng=rng))
    return times, truth, measured


class TestSmoother:
    @pytest.mark.parametrize("seed", [21, 22, 23])
    def test_smoothing_never_increases_the_error_of_a_clean_track(self, seed):
        times, truth, measured = clean_track(random.Random(seed))
        f = TagFilter(HALL, sigma=SIGMA)
        states, covariances, starts, growths, filtered = [], [], [], [], []
        for k, (t, d) in enumerate(zip(times, measured)):
            fix = f.seed(t, *truth[0], d) if k == 0 else f.update(t, d)
            filtered.append(fix[:2])
            states.extend(f.state)
            covariances.extend(f.covariance)
            starts.append(k == 0)
            growths.append(f.growth)
        smoothed = qz_track.smooth(times, states, covariances, starts, growths,
                                   f.process_noise)
        before = np.sqrt(np.mean([math.dist(p, q) ** 2 for p, q in zip(filtered, truth)]))
        after = np.sqrt(np.mean([math.dist(p[:2], q) ** 2 for p, q in zip(smoothed, truth)]))
        assert after < 0.8 * before
        # the last fix has no future to learn from
        assert smoothed[-1][:2] == pytest.approx(filtered[-1], abs=1e-12)
        assert all(
            s[2] <= math.sqrt(c[0] + c[5]) + 1e-12
            for s, c in zip(
                smoothed, zip(covariances[0::16], *[covariances[i::16] for i in range(1, 16)])
            )
        )

    def test_segments_are_smoothed_apart(self):
        f = TagFilter(HALL, sigma=SIGMA)
        times = [0.0, 0.1, 0.2, 5.0, 5.1]
        points = [(5.0, 5.0)] * 3 + [(15.0, 8.0)] * 2
        states, covariances = [], []
        for k, (t, p) in enumerate(zip(times, points)):
            if k in (0, 3):
                f.seed(t, *p, ranges(p))
            else:
                f.update(t, ranges(p))
            states.extend(f.state)
            covariances.extend(f.covariance)
        starts = [True, False, False, True, False]
        smoothed = qz_track.smooth(times, states, covariances, starts, [1.0] * 5,
                                   f.process_noise)
        assert smoothed[2][:2] == pytest.approx(points[2], abs=1e-3)  # not pulled to (15, 8)
        assert smoothed[2][:2] == pytest.approx(states[8:10], abs=1e-12)

    def test_empty_track(self):
        assert qz_track.smooth([], [], [], [], [], 0.5) == []

    EYE = list(np.eye(4).ravel()) * 2

    @pytest.mark.parametrize("times, states, covs, starts, growths, message", [
        ([0.0, 1.0], [0.0] * 7, EYE, [True, False], [1, 1], "states"),
        ([0.0, 1.0], [0.0] * 8, EYE[:-1], [True, False], [1, 1], "covariances"),
        ([0.0, 1.0], [0.0] * 8, EYE, [True], [1, 1], "starts"),
        ([0.0, 1.0], [0.0] * 8, EYE, [True, False, True], [1, 1], "starts"),
        ([0.0, 1.0], [0.0] * 8, EYE, [True, False], [1], "growths"),
        ([0.0, math.nan], [0.0] * 8, EYE, [True, False], [1, 1], "finite"),
        ([1.0, 0.0], [0.0] * 8, EYE, [True, False], [1, 1], "backwards"),
        ([0.0, 1.0], [0.0] * 8, EYE, [True, False], [1, 0.5], "growth"),
        ([0.0, 1.0], [0.0] * 8, EYE, [True, False], [1, 1e5], "growth"),
        ([0.0, 1.0], [0.0] * 8, [-v for v in EYE], [True, False], [1, 1], "positive definite"),
    ])
    def test_bad_input(self, times, states, covs, starts, growths, message):
        with pytest.raises(ValueError, match=message):
            qz_track.smooth(times, states, covs, starts, growths, 0.5)

    def test_bad_process_noise(self):
        with pytest.raises(ValueError):
            qz_track.smooth([], [], [], [], [], -1.0)
        with pytest.raises(TypeError):
            qz_track.smooth([], [], [], [], [])

    def test_growth_loosens_the_link_across_a_turn(self):
        """A fix whose prediction the filter widened is pulled less towards
        the fixes before it by the smoother: a grown prediction says the
        motion model held less there."""
        f = TagFilter(HALL, sigma=SIGMA)
        times, states, covs = [0.0, 0.1], [], []
        f.seed(0.0, 5.0, 5.0, ranges((5.0, 5.0)))
        states.extend(f.state)
        covs.extend(f.covariance)
        f.update(0.1, ranges((5.5, 5.0)))
        states.extend(f.state)
        covs.extend(f.covariance)
        plain = qz_track.smooth(times, states, covs, [True, False], [1.0, 1.0], 0.2)
        grown = qz_track.smooth(times, states, covs, [True, False], [1.0, 100.0], 0.2)
        assert abs(grown[0][0] - states[0]) < abs(plain[0][0] - states[0])


coordinate = st.floats(-1e4, 1e4, allow_nan=False)
distance = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.just(0.0),
                     st.floats(0.0, 50.0))


@settings(max_examples=150, deadline=None)
@given(anchors=st.lists(st.tuples(coordinate, coordinate), min_size=1, max_size=8),
       steps=st.lists(st.tuples(st.floats(0.0, 100.0), st.lists(distance, min_size=8,
                                                                 max_size=8)),
                      min_size=1, max_size=20),
       options=st.fixed_dictionaries({}, optional={
           "sigma": st.floats(1e-6, 10.0), "process_noise": st.floats(0.0, 1e3),
           "gate": st.floats(0.1, 100.0), "short_gate": st.floats(0.1, 100.0)}))
def test_any_input_gives_finite_fixes_or_a_standard_error(anchors, steps, options):
    """Whatever the ranges (NaN, infinities, zero, huge), anchors and
    options, a fix is finite and the filter's state stays finite."""
    f = TagFilter(anchors, **options)
    time = 0.0
    for dt, values in steps:
        time += dt
        distances = values[:len(anchors)]
        fix = f.update(time, distances)
        if fix is None:
            fix = f.seed(time, anchors[0][0] + 1.0, anchors[0][1], distances)
        x, y, sd, dop, used, rejected = fix
        assert all(math.isfinite(v) for v in (x, y, sd, dop))
        assert 0 <= rejected <= len(anchors) and set(used) <= set(range(len(anchors)))
        assert all(math.isfinite(v) for v in f.state + f.covariance)


class TestCoreRoutines:
    """The exported routines of the filter core, through ctypes."""

    def setup_method(self):
        self.params = Params(0.2, 3.5, 6.0, 0.0, 1000.0, 2.0, 3, 0.0, 0.0, 2.0)
        self.model = Model()
        assert lib.track_model_init(ctypes.byref(self.model), 6, None, None, SIGMA, 0) == 0
        self.anchors = track_anchors(HALL)
        self.ranges = doubles(ranges((6.0, 4.0)))
        self.status = (ctypes.c_ubyte * 32)()
        self.state = State()
        assert lib.track_seed(ctypes.byref(self.state), ctypes.byref(self.params),
                              ctypes.byref(self.model), self.anchors, self.ranges,
                              self.status, 6.0, 4.0, 1.0) == 0

    def fuse(self):
        return lib.track_fuse(ctypes.byref(self.state), ctypes.byref(self.params),
                              ctypes.byref(self.model), self.anchors, self.ranges, self.status)

    @pytest.mark.parametrize("n", [-1, 33])
    def test_anchor_count_out_of_range_is_refused(self, n):
        self.model.count = n
        assert self.fuse() == -1 and self.state.seeded == 0

    def test_predict_refuses_going_backwards(self):
        predict = lib.track_predict
        assert predict(ctypes.byref(self.state), ctypes.byref(self.params), 0.5) == -1
        assert predict(ctypes.byref(self.state), ctypes.byref(self.params), math.nan) == -1
        assert self.state.time == 1.0
        assert predict(ctypes.byref(self.state), ctypes.byref(self.params), 1.5) == 0
        assert self.state.time == 1.5

    def test_needs_seed(self):
        needs = lib.track_needs_seed
        assert needs(ctypes.byref(self.state), ctypes.byref(self.params), 2.9) == 0
        assert needs(ctypes.byref(self.state), ctypes.byref(self.params), 3.1) == 1
        self.state.bad_streak = 3
        assert needs(ctypes.byref(self.state), ctypes.byref(self.params), 1.1) == 1

    def test_the_position_marginal_is_the_marginal_s_block(self):
        assert lib.track_model_init(ctypes.byref(self.model), 6, None,
                                    doubles([0.1] * 6, 6), SIGMA, 1) == 0
        self.params.offset_sd = 0.3
        self.state = State()
        lib.track_seed(ctypes.byref(self.state), ctypes.byref(self.params),
                       ctypes.byref(self.model), self.anchors, self.ranges, self.status,
                       6.0, 4.0, 1.0)
        for k in range(1, 20):
            lib.track_predict(ctypes.byref(self.state), ctypes.byref(self.params), 1.0 + 0.1 * k)
            self.ranges = doubles(ranges((6.0 + 0.1 * k, 4.0)))
            self.fuse()
        full, block = doubles([], 25), doubles([0.0] * 25, 25)
        lib.track_marginal(ctypes.byref(self.state), ctypes.byref(self.model), full)
        lib.track_position_marginal(ctypes.byref(self.state), ctypes.byref(self.model), block)
        for i in (0, 1, 5, 6):
            assert block[i] == pytest.approx(full[i], rel=1e-12)
        assert full[0] > self.state.cov[0]  # the offsets' share is in

    def test_dop_of_collinear_anchors_is_the_cap(self):
        dop = lib.track_dop
        line = track_anchors([(0, 0, 0), (5, 0, 0), (10, 0, 0)], 3)
        used = (ctypes.c_ubyte * 3)(1, 1, 1)
        assert dop(line, 3, used, 20.0, 0.0, 0.0) == 1000.0
        assert 0 < dop(line, 3, used, 5.0, 5.0, 0.0) < 1000.0


def walk(rng, count, dt=0.1, speed=1.0, turn_every=30, start=(5.0, 5.0), box=HALL):
    """A walk among the anchors with sharp turns: (times, points)."""
    xs, ys = [a[0] for a in box], [a[1] for a in box]
    low, high = (min(xs) + 1.5, min(ys) + 1.5), (max(xs) - 1.5, max(ys) - 1.5)
    times, points, here, heading = [], [], start, rng.uniform(0, 2 * math.pi)
    for k in range(count):
        if k % turn_every == 0:
            heading = rng.uniform(0, 2 * math.pi)
        step = (speed * dt * math.cos(heading), speed * dt * math.sin(heading))
        nxt = (here[0] + step[0], here[1] + step[1])
        if not (low[0] <= nxt[0] <= high[0] and low[1] <= nxt[1] <= high[1]):
            heading += math.pi  # turn back at the walls
            nxt = (here[0] - step[0], here[1] - step[1])
        here = nxt
        times.append(dt * k)
        points.append(here)
    return times, points


def biased(point, anchor_offsets, tag_offset, noise, rng, anchors=HALL):
    return [d + b + tag_offset + rng.gauss(0.0, noise)
            for d, b in zip(ranges(point, anchors), anchor_offsets)]


class TestThrowing:
    """Messages and motions that used to throw the filter off its tag."""

    def tracked(self, point=(8.0, 6.0), **options):
        f = seeded(point, **options)
        for k in range(1, 20):
            f.update(0.1 * k, ranges(point))
        return f

    @pytest.mark.parametrize("garbage", [
        [3.0, 15.0, 1.0, 9.0, 22.0, 4.0],      # no place fits these ranges
        [30.0, 30.0, 30.0, 30.0, 30.0, 30.0],  # all far too long
        [0.5, 0.5, 0.5, 0.5, 0.5, 0.5]])       # all far too short
    def test_a_message_that_contradicts_itself_is_rejected_whole(self, garbage):
        f = self.tracked()
        spread = f.covariance[0] + f.covariance[5]
        x, y, sd, dop, used, rejected = f.update(2.0, garbage)
        assert used == () and rejected == 6
        assert math.dist((x, y), (8.0, 6.0)) < 0.05
        # the prediction is not blown up: the next good messages are taken
        assert f.covariance[0] + f.covariance[5] < 2 * spread + 0.01
        for k in range(1, 4):
            x, y, sd, dop, used, rejected = f.update(2.0 + 0.1 * k, ranges((8.0, 6.0)))
            assert rejected == 0 and math.dist((x, y), (8.0, 6.0)) < 0.02

    @pytest.mark.parametrize("speed", [1.0, 1.5])
    def test_a_tag_that_turns_back_between_slow_updates_is_followed(self, speed):
        rng = random.Random(31)
        f = TagFilter(HALL, sigma=SIGMA)
        here, direction = (4.0, 6.0), 1.0
        f.seed(0.0, *here, ranges(here))
        worst = 0.0
        for k in range(1, 40):
            if k % 6 == 0:
                direction = -direction  # back the way it came
            here = (here[0] + direction * speed, here[1])
            fix = f.update(float(k), ranges(here, noise=SIGMA, rng=rng))
            assert fix is not None
            worst = max(worst, math.dist(fix[:2], here))
        assert worst < 0.5

    def test_a_fast_tag_is_followed(self):
        rng = random.Random(5)
        f = TagFilter(HALL, sigma=SIGMA)
        times, points = walk(rng, 600, speed=3.0, turn_every=20)
        f.seed(0.0, *points[0], ranges(points[0]))
        errors = []
        for t, p in zip(times[1:], points[1:]):
            fix = f.update(t, ranges(p, noise=SIGMA, rng=rng))
            errors.append(math.dist(fix[:2], p))
        assert max(errors) < 0.4 and math.sqrt(np.mean(np.square(errors))) < 0.08

    def test_a_restart_is_flagged_and_cuts_the_smoothing(self):
        f = self.tracked()
        f.update(2.0, ranges((9.5, 6.0)))  # 1.5 m off, consistently
        assert f.restarted and f.growth == 1e4
        assert math.dist(f.state[:2], (9.5, 6.0)) < 1e-6
        f.update(2.1, ranges((9.5, 6.0)))
        assert not f.restarted and f.growth == 1.0

    @pytest.mark.parametrize("sigma", [1e-300, 1e-150, 1e-7, 1e3, math.inf])
    def test_absurd_noise_is_refused(self, sigma):
        with pytest.raises(ValueError, match="sigma"):
            TagFilter(HALL, sigma=sigma)

    @pytest.mark.parametrize("option, value", [
        ("process_noise", 1e300), ("gate", 1e-300), ("short_gate", 1e300),
        ("height", 1e300), ("max_range", 1e300), ("max_gap", 1e300),
        ("offset", 1e300), ("offset_sd", -1.0), ("offset_sd", 1e300)])
    def test_absurd_settings_are_refused(self, option, value):
        with pytest.raises(ValueError, match=option):
            TagFilter(HALL, **{option: value})

    @pytest.mark.parametrize("call", [
        lambda f: f.seed(0.1, 1e300, 5.0, ranges((5.0, 5.0))),
        lambda f: f.update(1e300, ranges((5.0, 5.0))),
        lambda f: f.set_anchors([(1e300, 0.0), (5.0, 5.0)])])
    def test_absurd_inputs_are_refused(self, call):
        f = seeded()
        with pytest.raises(ValueError):
            call(f)
        assert f.seeded and all(math.isfinite(v) for v in f.state + f.covariance)

    @pytest.mark.parametrize("sigma", [1e-6, 1e-4, 100.0])
    def test_the_extreme_noises_allowed_stay_finite(self, sigma):
        f = TagFilter(HALL, sigma=sigma)
        fix = f.seed(0.1, 5.0, 5.0, ranges((5.0, 5.0)))
        assert all(math.isfinite(v) for v in fix[:4] + f.state + f.covariance)
        assert fix[2] > 0
        fix = f.update(0.2, ranges((5.0, 5.0)))
        assert all(math.isfinite(v) for v in fix[:4] + f.state + f.covariance)


class TestRangeModel:
    def test_defaults_and_read_back(self):
        m = qz_track.RangeModel(4)
        assert (m.count, m.offsets, m.offset_sd) == (4, (0.0,) * 4, (0.0,) * 4)
        assert m.estimates_noise and m.sigma == 0.1 and m.noise_samples == 0
        given = qz_track.RangeModel(3, offsets=[0.1, -0.2, 0.3], offset_sd=0.05, sigma=0.07)
        assert given.offsets == (0.1, -0.2, 0.3) and given.offset_sd == (0.05,) * 3
        assert not given.estimates_noise and given.sigma == 0.07
        assert qz_track.RangeModel(2, offset_sd=np.array([0.0, 0.2])).offset_sd == (0.0, 0.2)

    @pytest.mark.parametrize("args, kwargs, error, message", [
        ((0,), {}, ValueError, "1 to 32 anchors"),
        ((33,), {}, ValueError, "1 to 32 anchors"),
        (("3",), {}, TypeError, "integer"),
        ((3,), {"offsets": [0.1, 0.2]}, ValueError, "offsets has too few"),
        ((3,), {"offsets": [0.1] * 4}, ValueError, "offsets has too many"),
        ((3,), {"offsets": [0.1, math.nan, 0.0]}, ValueError, "offsets must be finite"),
        ((3,), {"offsets": 1e9}, ValueError, "offsets must be from"),
        ((3,), {"offset_sd": -0.1}, ValueError, "offset_sd must be from"),
        ((3,), {"offset_sd": [0.1, 0.1, 1e9]}, ValueError, "offset_sd must be from"),
        ((3,), {"sigma": 0.0}, ValueError, "sigma must be from"),
        ((3,), {"sigma": "a"}, TypeError, "must be real number"),
        ((3, 4), {}, TypeError, "exactly 1 positional"),
        ((3,), {"spread": 1}, TypeError, "unexpected keyword"),
    ])
    def test_bad_arguments(self, args, kwargs, error, message):
        with pytest.raises(error, match=message):
            qz_track.RangeModel(*args, **kwargs)

    def test_a_filter_shares_its_model(self):
        m = qz_track.RangeModel(6, sigma=0.05)
        f, g = TagFilter(HALL, model=m), TagFilter(HALL, model=m)
        assert f.model is m and g.model is m and f.sigma == 0.05
        own = TagFilter(HALL, sigma=None)
        assert own.model is not m and own.model.estimates_noise and own.model.count == 6

    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            ({"model": qz_track.RangeModel(5)}, ValueError, "model has 5 anchors"),
            (
                {"model": qz_track.RangeModel(6), "sigma": 0.05},
                ValueError,
                "give sigma to the RangeModel",
            ),
            ({"model": "model"}, TypeError, "RangeModel, not str"),
        ],
    )
    def test_bad_models(self, kwargs, error, message):
        with pytest.raises(error, match=message):
            TagFilter(HALL, **kwargs)

    def test_new_anchors_keep_a_shared_model_of_their_count_only(self):
        m = qz_track.RangeModel(6)
        f = TagFilter(HALL, model=m)
        f.set_anchors([(x + 1.0, y) for x, y in HALL])
        with pytest.raises(ValueError, match="model has 6 anchors"):
            f.set_anchors(HALL[:4])
        own = TagFilter(HALL)
        own.set_anchors(HALL[:4])
        assert own.model.count == 4 and own.sigma == 0.05

    def test_refcounts_and_lifetime(self):
        m = qz_track.RangeModel(6)
        before = sys.getrefcount(m)
        filters = [TagFilter(HALL, model=m) for _ in range(5)]
        assert sys.getrefcount(m) == before + 5
        del filters
        assert sys.getrefcount(m) == before
        f = TagFilter(HALL, model=qz_track.RangeModel(6))
        f.seed(0.0, 5.0, 5.0, ranges((5.0, 5.0)))
        assert f.model.count == 6  # the filter keeps its model alive


ANCHOR_OFFSETS = [0.12, -0.05, 0.08, 0.15, -0.1, 0.02]


def learned_run(seed, count=1500, tags=2, noise=SIGMA, sigma=None, anchor_sd=0.1,
                tag_offsets=(0.2, 0.1), nlos=0.0):
    """Tags walking the hall with offset ranges, tracked with one shared
    model that learns the offsets (and the noise, sigma None)."""
    rng = random.Random(seed)
    model = qz_track.RangeModel(6, offset_sd=anchor_sd, sigma=sigma)
    filters = [TagFilter(HALL, model=model, offset_sd=0.3) for _ in range(tags)]
    walks = [walk(rng, count, start=(5.0 + 3 * i, 5.0)) for i in range(tags)]
    errors = []
    for k in range(count):
        for i, f in enumerate(filters):
            t, p = walks[i][0][k] + 0.01 * i, walks[i][1][k]
            d = biased(p, ANCHOR_OFFSETS, tag_offsets[i], noise, rng)
            if nlos and rng.random() < nlos:
                d[rng.randrange(6)] += rng.uniform(0.5, 3.0)
            if k == 0:
                offsets, c = model.offsets, f.offset
                fix = f.seed(t, *p, [v - b - c for v, b in zip(d, offsets)])
            else:
                fix = f.update(t, d)
            if k > count // 2:
                errors.append(math.dist(fix[:2], p))
    return model, filters, errors


class TestOffsets:
    def test_offsets_are_learned_with_the_motion(self):
        model, filters, errors = learned_run(41, sigma=SIGMA)
        # only the sum of an anchor's and a tag's offset is seen by the ranges
        for f, c in zip(filters, (0.2, 0.1)):
            pairs = [b + f.offset for b in model.offsets]
            assert pairs == pytest.approx([b + c for b in ANCHOR_OFFSETS], abs=0.02)
            assert 0 < f.offset_sd < 0.1
        assert all(0 < sd < 0.1 for sd in model.offset_sd)
        assert math.sqrt(np.mean(np.square(errors))) < 1.1 * bound_rms((10.0, 6.0))

    def test_a_biased_line_of_sight_range_is_not_an_outlier(self):
        _, filters, _ = learned_run(42, count=600, sigma=SIGMA)
        assert sum(f.rejected for f in filters) < 0.005 * 600 * 2 * 6
        plain = TagFilter(HALL, sigma=SIGMA)  # the offsets unknown to it
        rng = random.Random(42)
        times, points = walk(rng, 600)
        plain.seed(0.0, *points[0], ranges(points[0]))
        for t, p in zip(times[1:], points[1:]):
            plain.update(t, biased(p, ANCHOR_OFFSETS, 0.2, SIGMA, rng))
        assert plain.rejected > 0.1 * 600 * 6

    def test_given_offsets_are_subtracted(self):
        model = qz_track.RangeModel(6, offsets=[b + 0.2 for b in ANCHOR_OFFSETS], sigma=SIGMA)
        f = TagFilter(HALL, model=model)
        point = (7.0, 5.0)
        exact = biased(point, ANCHOR_OFFSETS, 0.2, 0.0, random.Random(1))
        f.seed(0.0, *point, ranges(point))
        x, y, sd, dop, used, rejected = f.update(0.1, exact)
        assert rejected == 0 and math.dist((x, y), point) < 1e-6
        assert model.offsets == pytest.approx([b + 0.2 for b in ANCHOR_OFFSETS], abs=1e-12)

    def test_a_static_tag_cannot_tell_offsets_from_its_place_and_says_so(self):
        model = qz_track.RangeModel(6, offset_sd=0.1, sigma=SIGMA)
        f = TagFilter(HALL, model=model, offset_sd=0.3)
        point = (7.0, 5.0)
        f.seed(0.0, *point, ranges(point))
        sds = [f.update(0.1 * k, ranges(point))[2] for k in range(1, 200)]
        assert sds[-1] > 0.05  # the anchors' offsets still hide the place
        plain = seeded(point)
        assert plain.update(0.1, ranges(point))[2] < sds[-1]


class TestNoiseEstimate:
    @pytest.mark.parametrize("noise", [0.03, 0.1])
    def test_the_estimate_finds_the_noise(self, noise):
        model, _, _ = learned_run(43, count=800, noise=noise)
        assert model.estimates_noise and model.noise_samples > 1000
        assert model.sigma == pytest.approx(noise, rel=0.12)

    def test_outliers_do_not_inflate_it(self):
        model, _, _ = learned_run(44, count=800, nlos=0.1)
        assert model.sigma == pytest.approx(SIGMA, rel=0.12)

    def test_it_does_not_fall_below_the_noise_while_offsets_are_learned(self):
        model, _, _ = learned_run(45, count=800, anchor_sd=0.3)
        assert model.sigma > 0.93 * SIGMA

    def test_a_given_noise_stays(self):
        model, _, _ = learned_run(46, count=200, sigma=0.08)
        assert model.sigma == 0.08 and model.noise_samples == 0


class JointFilter:
    """The exact joint EKF of several tags (x, y, vx, vy, offset each) and
    the anchors' offsets, sequential scalar updates in the filter's order:
    the oracle of the factored filter."""

    def __init__(self, tags, anchor_sd, tag_sd, speed_sd=2.0, q=0.2):
        n = len(HALL)
        self.n, self.q, self.tags = n, q, tags
        self.x = np.zeros(5 * tags + n)
        self.p = np.zeros((5 * tags + n,) * 2)
        self.p[5 * tags:, 5 * tags:] = np.eye(n) * anchor_sd ** 2
        self.t = [0.0] * tags
        self.tag_sd, self.speed_sd = tag_sd, speed_sd

    def seed(self, tag, t, point):
        """Seeds at exactly `point` from exact ranges, as track_seed does."""
        o = 5 * tag
        h = np.array([(point[0] - a[0], point[1] - a[1]) for a in HALL])
        h /= np.linalg.norm(h, axis=1)[:, None]
        w = 1 / SIGMA ** 2
        m_inv = np.linalg.inv(w * h.T @ h + np.eye(2) / 1e4)
        # e_p = -M^-1 sum h_i (e_b,i + e_c + v_i) w, as a linear map of the errors
        j = np.zeros((2, len(self.x)))
        j[:, 5 * self.tags:] = -m_inv @ h.T * w
        j[:, o + 4] = -m_inv @ h.sum(0) * w
        self.p[o:o + 5, :] = 0
        self.p[:, o:o + 5] = 0
        self.p[o + 4, o + 4] = self.tag_sd ** 2
        rest = self.p.copy()
        cross = j @ rest
        self.p[o:o + 2, :] = cross
        self.p[:, o:o + 2] = cross.T
        self.p[o:o + 2, o:o + 2] = j @ rest @ j.T + m_inv
        self.p[o + 2, o + 2] = self.p[o + 3, o + 3] = self.speed_sd ** 2
        self.x[o:o + 5] = [point[0], point[1], 0, 0, 0]
        self.t[tag] = t

    def update(self, tag, t, distances):
        o, dt = 5 * tag, t - self.t[tag]
        f = np.eye(len(self.x))
        f[o, o + 2] = f[o + 1, o + 3] = dt
        q = np.zeros_like(self.p)
        q[o:o + 4, o:o + 4] = self.q * np.array([
            [dt ** 3 / 3, 0, dt ** 2 / 2, 0], [0, dt ** 3 / 3, 0, dt ** 2 / 2],
            [dt ** 2 / 2, 0, dt, 0], [0, dt ** 2 / 2, 0, dt]])
        self.x, self.p, self.t[tag] = f @ self.x, f @ self.p @ f.T + q, t

        def row(i):
            d = self.x[o:o + 2] - HALL[i]
            r = np.linalg.norm(d)
            h = np.zeros(len(self.x))
            h[o:o + 2], h[o + 4], h[5 * self.tags + i] = d / r, 1.0, 1.0
            return distances[i] - r - self.x[o + 4] - self.x[5 * self.tags + i], h

        def score(i):
            nu, h = row(i)
            return abs(nu) / math.sqrt(h @ self.p @ h + SIGMA ** 2)

        for i in sorted(range(self.n), key=score):
            nu, h = row(i)
            s = h @ self.p @ h + SIGMA ** 2
            k = self.p @ h / s
            self.x = self.x + k * nu
            self.p = self.p - np.outer(k, h @ self.p)
        return self.x[o:o + 2]


def test_the_factored_filter_is_the_joint_filter():
    """Tags sharing one model, each holding only its own state and its
    coupling to the model, give exactly the joint filter of all tags and
    anchors' offsets."""
    rng = random.Random(47)
    model = qz_track.RangeModel(6, offset_sd=0.1, sigma=SIGMA)
    filters = [TagFilter(HALL, model=model, offset_sd=0.3, gate=1000, short_gate=1000)
               for _ in range(3)]
    joint = JointFilter(3, 0.1, 0.3)
    for k in range(120):
        for tag, f in enumerate(filters):
            # smooth circles: the message's own fit never steps in
            t, angle = 0.1 * k + 0.03 * tag, 0.05 * k + 2.0 * tag
            p = (10.0 + 3.0 * math.cos(angle), 6.0 + 3.0 * math.sin(angle))
            d = biased(p, ANCHOR_OFFSETS, 0.1 * tag, SIGMA, rng)
            if k == 0:
                f.seed(t, *p, ranges(p))
                joint.seed(tag, t, p)
            else:
                x, y = f.update(t, d)[:2]
                assert (x, y) == pytest.approx(tuple(joint.update(tag, t, d)), abs=1e-9)
    assert model.offsets == pytest.approx(tuple(joint.x[15:]), abs=1e-9)
    assert model.offset_sd == pytest.approx(tuple(np.sqrt(np.diag(joint.p)[15:])), abs=1e-9)
    for tag, f in enumerate(filters):
        assert f.offset == pytest.approx(joint.x[5 * tag + 4], abs=1e-9)
        c = np.array(f.covariance).reshape(4, 4)
        assert c == pytest.approx(joint.p[5 * tag:5 * tag + 4, 5 * tag:5 * tag + 4], abs=1e-9)


@settings(max_examples=100, deadline=None)
@given(anchors=st.lists(st.tuples(coordinate, coordinate, st.floats(-10, 10)), min_size=1,
                        max_size=8),
       offsets=st.lists(st.floats(-5.0, 5.0), min_size=8, max_size=8),
       sds=st.lists(st.floats(0.0, 5.0), min_size=8, max_size=8),
       sigma=st.one_of(st.none(), st.floats(1e-6, 100.0)),
       steps=st.lists(st.tuples(st.integers(0, 1), st.floats(0.0, 100.0),
                                st.lists(distance, min_size=8, max_size=8)),
                      min_size=1, max_size=30))
def test_shared_models_stay_finite_whatever_the_ranges(anchors, offsets, sds, sigma, steps):
    """Two filters on one learning model: every fix, state, offset and the
    noise stay finite, whatever the ranges, offsets and order of calls."""
    n = len(anchors)
    model = qz_track.RangeModel(n, offsets=offsets[:n], offset_sd=sds[:n], sigma=sigma)
    filters = [TagFilter(anchors, model=model, offset_sd=1.0, height=1.0) for _ in range(2)]
    times = [0.0, 0.0]
    for which, dt, values in steps:
        f = filters[which]
        times[which] += dt
        distances = values[:n]
        fix = f.update(times[which], distances)
        if fix is None:
            fix = f.seed(times[which], anchors[0][0] + 1.0, anchors[0][1], distances)
        assert all(math.isfinite(v) for v in fix[:4])
        for g in filters:
            assert all(math.isfinite(v) for v in g.state + g.covariance + (g.offset, g.offset_sd))
        assert all(math.isfinite(v) for v in model.offsets + model.offset_sd + (model.sigma,))


@pytest.mark.parametrize("seed", [1, 3, 4, 11])
def test_long_ranges_do_not_restart_the_track_elsewhere(seed):
    """10 % of the ranges too long by 0.3 to 1.5 m, 5 % missing: a fix of a
    message with one range left out can still hold a long one and pass a
    weak test. Restarting from it put the tag 1.4 m off."""
    rng = random.Random(seed)
    f = TagFilter(HALL, sigma=SIGMA)
    times, points = walk(rng, 600)
    f.seed(0.0, *points[0], ranges(points[0]))
    worst = 0.0
    for t, p in zip(times[1:], points[1:]):
        d = [v + rng.gauss(0, SIGMA) for v in ranges(p)]
        for i in range(6):
            if rng.random() < 0.05:
                d[i] = 0.0
            elif rng.random() < 0.10:
                d[i] += rng.uniform(0.3, 1.5)
        fix = f.update(t, d)
        worst = max(worst, math.dist(fix[:2], p))
    assert worst < 0.4


@pytest.mark.parametrize("seed", [4, 8])
def test_long_ranges_between_slow_updates_are_caught_by_the_message_s_own_fit(seed):
    """At 1 Hz the prediction's gates are wide and a long range passes them;
    the message's own fit shows it up. Fused, it put the tag 1.4 m off."""
    rng = random.Random(seed)
    f = TagFilter(HALL, sigma=SIGMA)
    here, direction = (4.0, 6.0), 1.0
    f.seed(0.0, *here, ranges(here))
    worst = 0.0
    for k in range(1, 120):
        if k % 5 == 0:
            direction = -direction
        here = (here[0] + direction, here[1] + 0.3 * direction)
        d = [v + rng.gauss(0, SIGMA) for v in ranges(here)]
        for i in range(6):
            if rng.random() < 0.05:
                d[i] += rng.uniform(0.3, 1.5)
        fix = f.update(float(k), d)
        worst = max(worst, math.dist(fix[:2], here))
    assert worst < 0.6
