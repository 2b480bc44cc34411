"""qz_track.smooth_in_place: the smoother over buffers, packed covariances
smoothed where they lie, against smooth() on the same tracks; its refusals,
each naming the argument, with every buffer released."""
import ctypes
import math
import random
import sys
from array import array

import numpy as np
import pytest

import qz_track
from track_symbols import lib

HALL = [(0.5, 0.5), (10.0, 0.3), (19.5, 0.5), (19.5, 11.5), (10.0, 11.7), (0.5, 11.5)]
SIGMA = 0.05
UPPER = [4 * i + j for i in range(4) for j in range(i, 4)]


def ranges(point, rng):
    return [math.dist(point, a) + rng.gauss(0.0, SIGMA) for a in HALL]


def tracks(seed, tags=3, count=120):
    """Each tag's filtered track, (times, states, 16-entry covariances,
    starts, growths), from filters sharing a model that learns the anchors'
    offsets; every track has a seed after a gap and a restart after a jump."""
    rng = random.Random(seed)
    model = qz_track.RangeModel(len(HALL), offset_sd=0.1)
    filters = [qz_track.TagFilter(HALL, model=model, offset_sd=0.1)
               for _ in range(tags)]
    out = [([], [], [], [], []) for _ in filters]
    here = [(rng.uniform(3, 17), rng.uniform(3, 9)) for _ in filters]
    for k in range(count):
        for tag, f in enumerate(filters):
            time = 0.1 * k + 0.01 * tag + (5.0 if k >= count // 2 else 0.0)  # a gap
            x, y = here[tag]
            if k == count // 4:
                x += 2.0  # a jump the filter restarts at
            here[tag] = x, y = (min(max(x + rng.uniform(-0.1, 0.1), 1.0), 19.0),
                                min(max(y + rng.uniform(-0.1, 0.1), 1.0), 11.0))
            d = ranges((x, y), rng)
            fix = f.update(time, d)
            if fix is None:
                f.seed(time, x, y, d)
            times, states, covariances, starts, growths = out[tag]
            times.append(f.time)
            states.extend(f.state)
            covariances.extend(f.covariance)
            starts.append(fix is None or f.restarted)
            growths.append(f.growth)
    return out, filters[0].process_noise


def packed(covariances):
    return array("d", [covariances[16 * k + e] for k in range(len(covariances) // 16)
                       for e in UPPER])


def in_place(times, states, covariances, starts, growths, noise):
    """smooth_in_place on fresh arrays: (states, packed covariances)."""
    x, c = array("d", states), packed(covariances)
    assert qz_track.smooth_in_place(array("d", times), x, c, array("b", starts),
                                    array("d", growths), noise) is None
    return x, c


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_in_place_equals_smooth_on_shared_tracks(seed):
    found, noise = tracks(seed)
    for times, states, covariances, starts, growths in found:
        assert sum(starts) >= 3 and max(growths) == 1e4  # seeds and a restart
        expected = qz_track.smooth(times, states, covariances, starts, growths, noise)
        x, c = in_place(times, states, covariances, starts, growths, noise)
        got = [(x[4 * k], x[4 * k + 1], math.sqrt(c[10 * k] + c[10 * k + 4]))
               for k in range(len(times))]
        assert got == expected  # bit for bit


def test_the_packed_core_equals_the_whole_one():
    (times, states, covariances, starts, growths), *_ = tracks(4, tags=1)[0]
    n = len(times)
    t, g = (ctypes.c_double * n)(*times), (ctypes.c_double * n)(*growths)
    s = (ctypes.c_ubyte * n)(*starts)
    whole_x, whole_c = (ctypes.c_double * (4 * n))(*states), (ctypes.c_double * (16 * n))(
        *covariances)
    packed_x, packed_c = (ctypes.c_double * (4 * n))(*states), (ctypes.c_double * (10 * n))(
        *packed(covariances))
    assert lib.track_smooth(n, t, whole_x, whole_c, s, g, 0.5) == 0
    assert lib.track_smooth_packed(n, t, packed_x, packed_c, s, g, 0.5) == 0
    assert list(packed_x) == list(whole_x)
    assert list(packed_c) == list(packed(list(whole_c)))
    assert list(whole_c) != covariances  # smoothed, and still symmetric
    whole = np.array(whole_c).reshape(n, 4, 4)
    assert (whole == whole.transpose(0, 2, 1)).all()


@pytest.mark.parametrize("code, change", [
    (-1, lambda t, g: t.__setitem__(2, 0.05)),
    (-2, lambda t, g: g.__setitem__(2, 0.5)),
    (-2, lambda t, g: g.__setitem__(2, 2e4)),
])
def test_the_core_refuses_a_time_or_growth_before_touching_anything(code, change):
    (times, states, covariances, starts, growths), *_ = tracks(6, tags=1, count=20)[0]
    t, g = (ctypes.c_double * 20)(*times), (ctypes.c_double * 20)(*growths)
    change(t, g)
    x, c = (ctypes.c_double * 80)(*states), (ctypes.c_double * 200)(*packed(covariances))
    s = (ctypes.c_ubyte * 20)(1, *[0] * 19)
    assert lib.track_smooth_packed(20, t, x, c, s, g, 0.5) == code
    assert list(x) == states and list(c) == list(packed(covariances))


def test_a_matrix_that_is_not_positive_definite_is_refused_after_the_fixes_past_it():
    (times, states, covariances, starts, growths), *_ = tracks(7, tags=1, count=20)[0]
    c = packed(covariances)
    c[10 * 5:10 * 6] = array("d", [-v for v in c[10 * 5:10 * 6]])
    x = array("d", states)
    with pytest.raises(ValueError, match="positive definite"):
        qz_track.smooth_in_place(array("d", times), x, c, bytes([1] + [0] * 19),
                                 array("d", growths), 0.5)
    assert x[:24] == array("d", states[:24]) and x[24:] != array("d", states[24:])


def test_other_buffers_and_keywords():
    [(times, states, covariances, starts, growths)], noise = tracks(8, tags=1, count=40)
    expected_x, expected_c = in_place(times, states, covariances, starts, growths, noise)
    x = np.array(states).reshape(-1, 4)  # two-dimensional, C order
    c = np.frombuffer(bytearray(packed(covariances)))  # writable
    qz_track.smooth_in_place(process_noise=noise, growths=memoryview(array("d", growths)),
                             starts=np.array(starts, dtype=bool), covariances=c, states=x,
                             times=np.array(times))
    assert list(x.ravel()) == list(expected_x) and list(c) == list(expected_c)
    ctypes_times = (ctypes.c_double * len(times))(*times)  # format '<d'
    for flags in (bytes(starts), bytearray(starts), array("B", starts),
                  memoryview(bytes(starts)).cast("c")):
        x, c = array("d", states), packed(covariances)
        qz_track.smooth_in_place(ctypes_times, x, c, flags, array("d", growths), noise)
        assert x == expected_x


def test_an_empty_track():
    empty = array("d")
    assert qz_track.smooth_in_place(empty, array("d"), array("d"), b"", empty, 0.5) is None


def good(count=2):
    """Arguments of a valid call on a track of `count` fixes at rest."""
    eye = [1.0, 0, 0, 0, 1.0, 0, 0, 1.0, 0, 1.0]
    return [array("d", [0.1 * k for k in range(count)]), array("d", [1.0] * 4 * count),
            array("d", eye * count), array("b", [1] + [0] * (count - 1)),
            array("d", [1.0] * count), 0.5]


def changed(index, value):
    arguments = good()
    arguments[index] = value(arguments[index]) if callable(value) else value
    return arguments


def read_only(a):
    return memoryview(a).toreadonly()


@pytest.mark.parametrize("arguments, error, message", [
    (changed(0, [0.0, 0.1]), TypeError, r"times must be a buffer of doubles, such as "
                                        r"array\('d'\), not list"),
    (changed(1, (1.0,) * 8), TypeError, "states must be a buffer of doubles"),
    (changed(2, None), TypeError, "covariances must be a buffer of doubles"),
    (changed(3, [True, False]), TypeError, r"starts must be a buffer of bytes, such as "
                                           r"array\('b'\), not list"),
    (changed(4, 1.0), TypeError, "growths must be a buffer of doubles"),
    (changed(0, array("f", [0.0, 0.1])), TypeError, "times .* not one of format 'f'"),
    (changed(1, array("q", [1] * 8)), TypeError, "states .* not one of format 'q'"),
    (changed(3, array("h", [1, 0])), TypeError, "starts .* not one of format 'h'"),
    (changed(3, array("d", [1, 0])), TypeError, "starts .* not one of format 'd'"),
    (changed(0, (ctypes.c_double.__ctype_be__ * 2)(0.0, 0.1)), TypeError,
     "times .* not one of format '>d'"),
    (changed(1, read_only), TypeError, "states must be writable, not read-only"),
    (changed(2, read_only), TypeError, "covariances must be writable"),
    (changed(2, bytes(160)), TypeError, "covariances must be a buffer of doubles"),
    (changed(1, lambda a: memoryview(a * 2)[::2]), ValueError, "states must be contiguous"),
    (changed(1, lambda a: a[:7]), ValueError,
     "states must hold 4 values a fix, 8 for 2 times, not 7"),
    (changed(2, lambda a: a + a[:6]), ValueError,
     "covariances must hold 10 values a fix, 20 for 2 times, not 26"),
    (changed(3, b"\x01\x00\x00"), ValueError,
     "starts must hold 1 value a fix, 2 for 2 times, not 3"),
    (changed(4, lambda a: a[:1]), ValueError, "growths must hold 1 value a fix"),
    (changed(0, lambda a: a[:1]), ValueError, "states must hold 4 values a fix, 4 for 1"),
    (changed(0, array("d", [0.0, math.nan])), ValueError, "times must be finite"),
    (changed(1, lambda a: a[:7] + array("d", [math.inf])), ValueError,
     "states must be finite"),
    (changed(2, lambda a: a[:19] + array("d", [-math.inf])), ValueError,
     "covariances must be finite"),
    (changed(4, array("d", [math.nan, 1.0])), ValueError, "growths must be finite"),
    (changed(0, array("d", [1.0, 0.0])), ValueError, "times go backwards within a segment"),
    (changed(4, array("d", [1.0, 0.5])), ValueError, "growths must be from 1 to 10000"),
    (changed(4, array("d", [1.0, 1e5])), ValueError, "growths must be from 1 to 10000"),
    (changed(2, lambda a: array("d", [-v for v in a])), ValueError, "positive definite"),
    (changed(5, -1.0), ValueError, "process_noise must not be negative"),
    (changed(5, math.nan), ValueError, "process_noise must be finite"),
    (changed(5, "0.5"), TypeError, "must be real number"),
    (good()[:5], TypeError, r"smooth_in_place\(\) takes exactly 6 positional arguments"),
])
def test_refusals_name_the_argument_and_release_every_buffer(arguments, error, message):
    held = [a for a in arguments if isinstance(a, (array, memoryview))]
    before = [sys.getrefcount(a) for a in held]
    with pytest.raises(error, match=message):
        qz_track.smooth_in_place(*arguments)
    assert [sys.getrefcount(a) for a in held] == before
    for a in held:  # an array still exporting a buffer cannot grow
        if isinstance(a, array):
            a.append(a[0] if len(a) else 0)
        else:
            a.release()


@pytest.mark.skipif(sys.version_info < (3, 12), reason="classes export buffers from 3.12")
@pytest.mark.parametrize("fail_at", [None, 0, 1, 2, 3, 4])
def test_each_buffer_is_released_exactly_once(fail_at):
    """Buffers of a class that counts its exports; the call fails at the
    argument `fail_at` (a length that disagrees), or succeeds."""

    class Counted:
        def __init__(self, data):
            self.data, self.taken, self.released = data, 0, 0

        def __buffer__(self, flags):
            self.taken += 1
            return memoryview(self.data)

        def __release_buffer__(self, view):
            self.released += 1
            view.release()

    arguments = good()
    if fail_at is not None and fail_at > 0:
        arguments[fail_at] = arguments[fail_at][:-1]
    elif fail_at == 0:
        arguments[0] = array("d", [0.0, 1.0, 2.0])
    counted = [Counted(a) for a in arguments[:5]]
    if fail_at is None:
        qz_track.smooth_in_place(*counted, 0.5)
    else:
        with pytest.raises(ValueError, match="must hold"):
            qz_track.smooth_in_place(*counted, 0.5)
    assert [(c.taken, c.released) for c in counted] == [(1, 1)] * 5
