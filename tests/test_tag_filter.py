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

    @pytest.mark.parametrize("call, message", [
        (lambda: TagFilter(HALL, 0.05), r"TagFilter\(\) takes exactly 1 positional argument \(2 given\)"),
        (lambda: TagFilter(), r"TagFilter\(\) takes exactly 1 positional argument \(0 given\)"),
        (lambda: TagFilter(sigma=0.05), r"TagFilter\(\) takes exactly 1 positional argument \(0 given\)"),
        (lambda: TagFilter(HALL, anchors=HALL), "multiple values for keyword argument 'anchors'"),
        (lambda: seeded().seed(0.1, 1.0, 2.0, [1.0] * 6, 5), r"seed\(\) takes exactly 4"),
    ])
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
        assert all(s[2] <= math.sqrt(c[0] + c[5]) + 1e-12 for s, c in
                   zip(smoothed, zip(covariances[0::16], *[covariances[i::16] for i in range(1, 16)])))

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


class Anchor(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double), ("z", ctypes.c_double)]


class Params(ctypes.Structure):
    _fields_ = [(name, ctypes.c_double) for name in (
        "sigma", "accel_noise", "gate_long", "gate_short", "height", "max_range", "max_gap")]
    _fields_ += [("max_bad", ctypes.c_int)]


class State(ctypes.Structure):
    _fields_ = [("state", ctypes.c_double * 4), ("cov", ctypes.c_double * 16),
                ("time", ctypes.c_double), ("fused_time", ctypes.c_double),
                ("growth", ctypes.c_double), ("seeded", ctypes.c_int), ("bad_streak", ctypes.c_int)]


class TestCoreRoutines:
    """The exported routines of the filter core, through ctypes."""

    lib = ctypes.CDLL(qz_track.__file__)

    def setup_method(self):
        self.params = Params(SIGMA, 0.2, 3.5, 6.0, 0.0, 1000.0, 2.0, 3)
        self.anchors = (Anchor * 32)(*[Anchor(x, y, 0.0) for x, y in HALL])
        self.ranges = (ctypes.c_double * 32)(*ranges((6.0, 4.0)))
        self.status = (ctypes.c_ubyte * 32)()
        self.state = State()
        assert self.lib.track_seed(ctypes.byref(self.state), ctypes.byref(self.params),
                                   self.anchors, 6, self.ranges, self.status,
                                   ctypes.c_double(6.0), ctypes.c_double(4.0),
                                   ctypes.c_double(1.0), ctypes.c_double(2.0)) == 0

    def fuse(self, n):
        return self.lib.track_fuse(ctypes.byref(self.state), ctypes.byref(self.params),
                                   self.anchors, n, self.ranges, self.status)

    @pytest.mark.parametrize("n", [-1, 33])
    def test_anchor_count_out_of_range_is_refused(self, n):
        assert self.fuse(n) == -1 and self.state.seeded == 0

    def test_predict_refuses_going_backwards(self):
        predict = self.lib.track_predict
        predict.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_double]
        assert predict(ctypes.byref(self.state), ctypes.byref(self.params), 0.5) == -1
        assert predict(ctypes.byref(self.state), ctypes.byref(self.params), math.nan) == -1
        assert self.state.time == 1.0
        assert predict(ctypes.byref(self.state), ctypes.byref(self.params), 1.5) == 0
        assert self.state.time == 1.5

    def test_needs_seed(self):
        needs = self.lib.track_needs_seed
        needs.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_double]
        assert needs(ctypes.byref(self.state), ctypes.byref(self.params), 2.9) == 0
        assert needs(ctypes.byref(self.state), ctypes.byref(self.params), 3.1) == 1
        self.state.bad_streak = 3
        assert needs(ctypes.byref(self.state), ctypes.byref(self.params), 1.1) == 1

    def test_dop_of_collinear_anchors_is_the_cap(self):
        dop = self.lib.track_dop
        dop.restype = ctypes.c_double
        dop.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p] + [ctypes.c_double] * 3
        line = (Anchor * 3)(Anchor(0, 0, 0), Anchor(5, 0, 0), Anchor(10, 0, 0))
        used = (ctypes.c_ubyte * 3)(1, 1, 1)
        assert dop(line, 3, used, 20.0, 0.0, 0.0) == 1000.0
        assert 0 < dop(line, 3, used, 5.0, 5.0, 0.0) < 1000.0
