"""qz_engine: the Position record and the PositionEngine type."""
import copy
import ctypes
import math
import os
import pickle

import numpy as np
import pytest

import qz_engine
from qz_engine import Position, PositionEngine

from conftest import run_python
from engine_symbols import anchors, floats, lib

SQUARE = [(0, 0, 0), (10, 0, 0), (10, 10, 0), (0, 10, 0)]


def engine_for(points):
    engine = PositionEngine(len(points))
    engine.set_anchor_positions([Position(*p) for p in points])
    return engine


def distances_to(point, points=SQUARE):
    return [math.hypot(point[0] - a[0], point[1] - a[1]) for a in points]


def coordinates(position):
    return (position.x, position.y, position.z)


@pytest.mark.parametrize(
    "values, text",
    [((1.0, 2.0, 3.0), "(1.0, 2.0, 3.0)"), ((1, "a", None), "(1, a, None)")],
)
def test_position_repr(values, text):
    assert repr(Position(*values)) == str(Position(*values)) == text


def test_position_is_an_ordinary_class():
    assert type(Position) is type
    assert Position.__module__ == "qz_engine"
    p = Position(x=1, y=[2], z="3")
    assert vars(p) == {"x": 1, "y": [2], "z": "3"}
    clone = pickle.loads(pickle.dumps(p))
    assert type(clone) is Position and vars(clone) == vars(p)
    assert p != Position(1, [2], "3")  # identity comparison


def test_engine_type_identity():
    assert PositionEngine.__module__ == "qz_engine"
    assert repr(PositionEngine) == "<class 'qz_engine.PositionEngine'>"
    assert not hasattr(PositionEngine(1), "__dict__")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Position(1, 2), "__init__() takes exactly 4 positional arguments (3 given)"),
        (lambda: Position(1, 2, 3, 4), "__init__() takes exactly 4 positional arguments (5 given)"),
        (lambda: Position(x=1, y=2), "__init__() takes exactly 4 positional arguments (3 given)"),
        (lambda: Position(1, 2, 3, x=1), "__init__() got multiple values for keyword argument 'x'"),
        (lambda: Position(1, 2, 3, w=1), "__init__() got an unexpected keyword argument 'w'"),
        (lambda: PositionEngine(), "__cinit__() takes exactly 1 positional argument (0 given)"),
        (lambda: PositionEngine(1, 2), "__cinit__() takes exactly 1 positional argument (2 given)"),
        (lambda: PositionEngine(nb=1), "__cinit__() takes exactly 1 positional argument (0 given)"),
        (lambda: PositionEngine(1, nb_anchors=1),
         "__cinit__() got multiple values for keyword argument 'nb_anchors'"),
        (lambda: PositionEngine(nb_anchors=1, x=2),
         "__cinit__() got an unexpected keyword argument 'x'"),
        (lambda: PositionEngine(1).compute_tag_position([1]),
         "compute_tag_position() takes exactly 2 positional arguments (1 given)"),
        (lambda: PositionEngine(1).compute_tag_position(initial_position=None),
         "compute_tag_position() takes exactly 2 positional arguments (0 given)"),
        (lambda: PositionEngine(1).compute_tag_position([1], None, 3),
         "compute_tag_position() takes exactly 2 positional arguments (3 given)"),
        (lambda: PositionEngine(1).get_anchor_positions(1),
         "get_anchor_positions() takes no arguments (1 given)"),
        (lambda: PositionEngine(1).set_anchor_positions(),
         "set_anchor_positions() takes exactly one argument (0 given)"),
        (lambda: PositionEngine(1).set_anchor_positions(anchor_positions=[]),
         "set_anchor_positions() takes no keyword arguments"),
        (lambda: PositionEngine("4"), "an integer is required"),
        (lambda: PositionEngine(None), "an integer is required"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


def test_keywords_are_accepted():
    engine = PositionEngine(nb_anchors=4)
    engine.set_anchor_positions([Position(*p) for p in SQUARE])
    result = engine.compute_tag_position(initial_position=Position(8, 8, 0),
                                         measurements=distances_to((3, 4)))
    assert math.dist(coordinates(result)[:2], (3, 4)) < 0.02


@pytest.mark.parametrize("count", [2**31, -(2**31) - 1, 10**30])
def test_count_beyond_int_range(count):
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        PositionEngine(count)


def test_negative_count_is_refused():
    with pytest.raises(ValueError, match="^nb_anchors must not be negative: -1$"):
        PositionEngine(-1)


def test_count_conversion_truncates():
    assert len(PositionEngine(2.9).get_anchor_positions()) == 2
    assert len(PositionEngine(True).get_anchor_positions()) == 1


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves more address space than the limit")
def test_failed_allocation_raises_memory_error():
    # 2**31 - 1 slots need 32 GiB; with the address space capped at 1 GiB
    # above what the interpreter already maps, the allocation must fail
    # cleanly and leave the interpreter usable.
    done = run_python("""
        import resource
        import qz_engine
        with open("/proc/self/status") as status:
            mapped = next(int(line.split()[1]) * 1024 for line in status
                          if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 2**30, resource.RLIM_INFINITY))
        try:
            qz_engine.PositionEngine(2**31 - 1)
        except MemoryError:
            print("MemoryError")
        engine = qz_engine.PositionEngine(3)
        print(engine.compute_tag_position([1.0, 1.0, 1.0], qz_engine.Position(1.0, 2.0, 3.0)))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == "MemoryError"
    assert len(done.stdout.splitlines()) == 2


@pytest.mark.parametrize(
    "refuse",
    [pickle.dumps, copy.copy, copy.deepcopy, lambda e: e.__reduce__(),
     lambda e: e.__reduce_ex__(2), lambda e: e.__setstate__({})],
)
@pytest.mark.parametrize("cls", ["base", "subclass"])
def test_pickling_is_refused(refuse, cls):
    engine_class = PositionEngine if cls == "base" else type("Sub", (PositionEngine,), {})
    with pytest.raises(TypeError) as error:
        refuse(engine_class(2))
    assert str(error.value) == "no default __reduce__ due to non-trivial __cinit__"


def test_fresh_engine_is_zero_filled():
    engine = PositionEngine(3)
    assert [coordinates(p) for p in engine.get_anchor_positions()] == [(0.0, 0.0, 0.0)] * 3
    # Unwritten measurement slots count as "no measurement".
    result = engine.compute_tag_position([], Position(1, 2, 3))
    assert coordinates(result) == (1.0, 2.0, 3.0)


def test_values_are_rounded_to_float32():
    engine = PositionEngine(1)
    engine.set_anchor_positions([Position(0.1, 1e300, -1e300)])
    anchor = engine.get_anchor_positions()[0]
    assert (anchor.x, anchor.y, anchor.z) == (0.10000000149011612, math.inf, -math.inf)
    assert type(anchor.x) is float
    result = PositionEngine(0).compute_tag_position([], Position(0.1, 0.2, 1 / 3))
    assert coordinates(result) == tuple(float(np.float32(v)) for v in (0.1, 0.2, 1 / 3))


def test_square_fit_keeps_z():
    result = engine_for(SQUARE).compute_tag_position(distances_to((3, 4)), Position(8, 8, 1.5))
    assert math.dist(coordinates(result)[:2], (3, 4)) < 0.02
    assert result.z == 1.5
    assert type(result) is Position


def test_missing_measurement_uses_remaining_anchors():
    measurements = distances_to((3, 4))
    measurements[1] = 0
    result = engine_for(SQUARE).compute_tag_position(measurements, Position(5, 5, 1.5))
    assert math.dist(coordinates(result)[:2], (3, 4)) < 0.1


def test_short_measurement_list_keeps_earlier_slots():
    engine = engine_for(SQUARE)
    full = distances_to((3, 4))
    first = engine.compute_tag_position(full, Position(8, 8, 0))
    again = engine.compute_tag_position(full[:2], Position(8, 8, 0))
    assert coordinates(again) == coordinates(first)


def test_matches_the_exported_solver_bit_for_bit():
    rng = np.random.default_rng(3)
    for _ in range(50):
        points = [tuple(rng.uniform(-20, 20, 3)) for _ in range(8)]
        engine = engine_for(points)
        measurements = [float(d) + rng.normal(0, 0.1) for d in distances_to((1, -2), points)]
        measurements[rng.integers(8)] = 0
        start = (rng.uniform(-5, 5), rng.uniform(-5, 5), 0.25)
        result = engine.compute_tag_position(measurements, Position(*start))
        p = floats(start)
        lib.ls_lm_dif(p, floats(measurements), 2, 8, 8, ctypes.byref(ctypes.c_float()),
                      anchors(points))
        assert coordinates(result) == tuple(p)


@pytest.mark.parametrize("bad", [math.inf, math.nan, -math.inf, 1e300])
def test_non_finite_measurements_return_a_position(bad):
    measurements = distances_to((3, 4))
    measurements[2] = bad
    result = engine_for(SQUARE).compute_tag_position(measurements, Position(8, 8, 0))
    assert all(isinstance(v, float) for v in coordinates(result))


def test_non_finite_anchor_returns_start():
    engine = engine_for([(math.nan, 0, 0)] + SQUARE[1:])
    result = engine.compute_tag_position(distances_to((3, 4)), Position(8, 8, 0))
    assert coordinates(result) == (8.0, 8.0, 0.0)


def test_more_than_twenty_positive_measurements():
    points = [(10 * math.cos(k), 10 * math.sin(k), 0) for k in range(30)]
    measurements = distances_to((1, 2), points)
    result = engine_for(points).compute_tag_position(measurements, Position(0, 0, 0))
    reference = engine_for(points[:20]).compute_tag_position(measurements[:20],
                                                             Position(0, 0, 0))
    assert coordinates(result) == coordinates(reference)


def test_surplus_measurements_in_a_list_store_nothing():
    engine = engine_for(SQUARE)
    full = distances_to((3, 4))
    first = engine.compute_tag_position(full, Position(8, 8, 0))
    with pytest.raises(ValueError, match="^more measurements than the engine's 4 slots$"):
        engine.compute_tag_position([1.0] * 5, Position(8, 8, 0))
    # The slots still hold the earlier distances.
    again = engine.compute_tag_position([], Position(8, 8, 0))
    assert coordinates(again) == coordinates(first)


def test_surplus_measurements_from_an_iterator_stop_at_the_surplus():
    engine = engine_for(SQUARE)
    full = distances_to((3, 4))
    with pytest.raises(ValueError, match="^more measurements than the engine's 4 slots$"):
        engine.compute_tag_position(iter(full + [1.0]), Position(8, 8, 0))
    reference = engine_for(SQUARE).compute_tag_position(full, Position(8, 8, 0))
    assert coordinates(engine.compute_tag_position([], Position(8, 8, 0))) == \
        coordinates(reference)


def test_bad_measurement_stops_before_the_fit():
    engine = engine_for(SQUARE)
    full = distances_to((3, 4))
    with pytest.raises(TypeError, match="^must be real number, not str$"):
        engine.compute_tag_position(full[:2] + ["x", 1.0], Position(8, 8, 0))
    # The two leading slots were stored; the rest are still zero.
    only_two = engine.compute_tag_position([], Position(8, 8, 0))
    reference = engine_for(SQUARE).compute_tag_position(full[:2] + [0, 0], Position(8, 8, 0))
    assert coordinates(only_two) == coordinates(reference)


class NoY:
    x = 1.0


@pytest.mark.parametrize(
    "initial, error, message",
    [(NoY(), AttributeError, "^'NoY' object has no attribute 'y'$"),
     (Position("a", 0, 0), TypeError, "^must be real number, not str$"),
     (None, AttributeError, "^'NoneType' object has no attribute 'x'$")],
)
def test_bad_initial_position(initial, error, message):
    with pytest.raises(error, match=message):
        engine_for(SQUARE).compute_tag_position([1, 2, 3, 4], initial)


def test_bad_anchor_keeps_earlier_slots(assertions_enabled):
    engine = PositionEngine(3)
    with pytest.raises(AttributeError, match="^'NoY' object has no attribute 'y'$"):
        engine.set_anchor_positions([Position(1, 2, 3), NoY(), Position(4, 5, 6)])
    stored = [coordinates(p) for p in engine.get_anchor_positions()]
    assert stored == [(1.0, 2.0, 3.0), (1.0, 0.0, 0.0), (0.0, 0.0, 0.0)]


class LyingLength:
    """Claims four items and yields five."""

    def __len__(self):
        return 4

    def __iter__(self):
        return iter([Position(k, k, k) for k in range(5)])


@pytest.mark.assertions
def test_anchor_count_check(assertions_enabled):
    engine = PositionEngine(4)
    three = [Position(k, k, k) for k in range(1, 4)]
    if assertions_enabled:
        with pytest.raises(AssertionError) as error:
            engine.set_anchor_positions(three)
        assert error.value.args == ()
        assert [p.x for p in engine.get_anchor_positions()] == [0.0] * 4
        with pytest.raises(TypeError, match="^object of type 'generator' has no len\\(\\)$"):
            engine.set_anchor_positions(p for p in three)
    else:
        engine.set_anchor_positions(three)
        assert [p.x for p in engine.get_anchor_positions()] == [1.0, 2.0, 3.0, 0.0]
        engine.set_anchor_positions(p for p in three[::-1])
        assert [p.x for p in engine.get_anchor_positions()] == [3.0, 2.0, 1.0, 0.0]


@pytest.mark.assertions
def test_surplus_anchors_never_pass_the_slots(assertions_enabled):
    engine = PositionEngine(4)
    five = [Position(k, k, k) for k in range(1, 6)]
    surplus = "^more anchor positions than the engine's 4 slots$"
    with pytest.raises(AssertionError if assertions_enabled else ValueError,
                       match="^$" if assertions_enabled else surplus):
        engine.set_anchor_positions(five)
    assert [p.x for p in engine.get_anchor_positions()] == [0.0] * 4
    with pytest.raises(ValueError, match=surplus):
        engine.set_anchor_positions(LyingLength() if assertions_enabled else iter(five))
    expected = [0.0, 1.0, 2.0, 3.0] if assertions_enabled else [1.0, 2.0, 3.0, 4.0]
    assert [p.x for p in engine.get_anchor_positions()] == expected


def test_position_is_looked_up_at_every_call(monkeypatch):
    class Marked:
        def __init__(self, x, y, z):
            self.values = (x, y, z)

    engine = engine_for(SQUARE)
    monkeypatch.setattr(qz_engine, "Position", Marked)
    assert type(engine.get_anchor_positions()[0]) is Marked
    assert type(engine.compute_tag_position([], Position(1, 2, 3))) is Marked
    monkeypatch.delattr(qz_engine, "Position")
    with pytest.raises(NameError, match="^name 'Position' is not defined$"):
        engine.get_anchor_positions()


def test_subclass_works_like_the_base():
    class Named(PositionEngine):
        def __init__(self, nb_anchors):
            self.name = "hall"

    engine = Named(4)
    engine.set_anchor_positions([Position(*p) for p in SQUARE])
    result = engine.compute_tag_position(distances_to((3, 4)), Position(8, 8, 0))
    assert engine.name == "hall" and math.dist(coordinates(result)[:2], (3, 4)) < 0.02


def test_repeated_calls_do_not_leak():
    import tracemalloc

    engine = engine_for(SQUARE)
    measurements, start = distances_to((3, 4)), Position(8, 8, 0)

    def exercise():
        for _ in range(2000):
            engine.compute_tag_position(measurements, start)
            engine.get_anchor_positions()
            for bad in (lambda: engine.compute_tag_position(["x"], start),
                        lambda: PositionEngine(-1), lambda: copy.copy(engine)):
                try:
                    bad()
                except (TypeError, ValueError):
                    pass

    exercise()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    exercise()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 10_000
