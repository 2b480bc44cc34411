"""The module qz_autopos: Position and the extension type AutoPos."""
import copy
import gc
import math
import pickle
import sys
import tracemalloc

import numpy as np
import pytest

import qz_autopos
from qz_autopos import AutoPos, Position

from conftest import Product

REDUCE_MESSAGE = "no default __reduce__ due to non-trivial __cinit__"
SQUARE = [(0, 0), (100, 0), (100, 100), (0, 100)]


def distances(points):
    return [math.dist(p, q) for p in points for q in points]


def coordinates(autopos):
    return [(p.x, p.y, p.z) for p in autopos.get_position_estimates()]


def initial_fill(n):
    return [(float(i), float(i + n), 0) for i in range(max(n, 0))]


def assert_square(autopos):
    for got, want in zip(coordinates(autopos), SQUARE):
        assert got[0] == pytest.approx(want[0], abs=1e-3)
        assert got[1] == pytest.approx(want[1], abs=1e-3)


@pytest.mark.parametrize("n", [-3, 0, 1, 2, 4, 16])
def test_initial_estimates(n):
    estimates = AutoPos(n).get_position_estimates()
    assert [(p.x, p.y, p.z) for p in estimates] == initial_fill(n)
    assert all(type(p) is Position and type(p.z) is int for p in estimates)


@pytest.mark.parametrize(
    "make", [list, tuple, iter, lambda d: (v for v in d), np.array,
             type("Distances", (list,), {})],
)
def test_square_of_side_100(make):
    autopos = AutoPos(4)
    assert autopos.compute(make(distances(SQUARE))) is None
    assert_square(autopos)
    assert repr(autopos.get_position_estimates()[0]) == "(0.0, 0.0, 0)"


def test_failed_survey_keeps_the_estimates():
    autopos = AutoPos(4)
    autopos.compute(distances(SQUARE))
    autopos.compute([math.nan] * 16)
    assert_square(autopos)


@pytest.mark.parametrize("n", [-3, 0, 1, 2, 16])
def test_counts_outside_3_to_15_store_but_never_survey(n):
    autopos = AutoPos(n)
    autopos.compute([5.0] * n * n)
    assert coordinates(autopos) == initial_fill(n)
    with pytest.raises(ValueError, match=f"^more measurements than the {n * n} entries of the "
                                         "distance matrix$"):
        autopos.compute([5.0] * (n * n + 1))


SURPLUS = "^more measurements than the 16 entries of the distance matrix$"


@pytest.mark.parametrize(
    "stored, make, error, message",
    [(2, lambda o: o[:2], None, None),  # a short list: the leading entries only
     (0, lambda o: [1.0] * 17, ValueError, SURPLUS),  # a known surplus: nothing
     (0, lambda o: (1.0,) * 17, ValueError, SURPLUS),
     (16, lambda o: iter(o + [1.0]), ValueError, SURPLUS),  # up to the surplus
     (5, lambda o: iter(o[:5] + ["3"]), TypeError, "^must be real number, not str$"),
     (0, lambda o: iter([None]), TypeError, "^must be real number, not NoneType$")],
)
def test_stored_entries_after_short_or_bad_input(stored, make, error, message):
    square = distances(SQUARE)
    other = distances([(0, 0), (50, 0), (60, 70), (0, 40)])
    autopos = AutoPos(4)
    autopos.compute(square)
    if error is None:
        autopos.compute(make(other))
    else:
        with pytest.raises(error, match=message):
            autopos.compute(make(other))
        assert_square(autopos)  # the survey did not run
        autopos.compute([])  # a survey of what was stored
    reference = AutoPos(4)
    reference.compute(other[:stored] + square[stored:])
    assert coordinates(autopos) == coordinates(reference)


def test_list_growing_during_conversion_is_bounded():
    autopos = AutoPos(3)
    items = [0.0]

    class Grow:
        def __float__(self):
            items.extend([1.0] * 20)
            return 1.0

    items.append(Grow())
    with pytest.raises(ValueError, match="^more measurements than the 9 entries"):
        autopos.compute(items)
    assert coordinates(autopos) == initial_fill(3)


@pytest.mark.parametrize(
    "call, message",
    [(lambda a: a.compute(), r"^compute\(\) takes exactly one argument \(0 given\)$"),
     (lambda a: a.compute(3), "^'int' object is not iterable$"),
     (lambda a: a.compute([1.0], [2.0]),
      r"^compute\(\) takes exactly one argument \(2 given\)$"),
     (lambda a: a.get_position_estimates(1),
      r"^get_position_estimates\(\) takes no arguments \(1 given\)$")],
)
def test_method_argument_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call(AutoPos(3))


@pytest.mark.parametrize(
    "args, kwargs, message",
    [((), {}, "__cinit__() takes exactly 1 positional argument (0 given)"),
     ((3, 4), {}, "__cinit__() takes exactly 1 positional argument (2 given)"),
     ((), {"anchor_cnt": 3, "count": 3},
      "__cinit__() got an unexpected keyword argument 'count'"),
     ((3,), {"anchor_cnt": 3}, "__cinit__() got multiple values for keyword "
                               "argument 'anchor_cnt'")],
)
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        AutoPos(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "argument, error, message",
    [(None, TypeError, None), ("ab", TypeError, None),
     (math.nan, ValueError, None),
     (2**31, OverflowError, None),
     (Product(-4, 3), OverflowError, "can't convert negative value to size_t"),
     (Product(4, 2**40), OverflowError, "value too large to convert to int"),
     (Product(4, "x"), TypeError, None),
     (2**31 - 1, MemoryError, None)],
)
def test_constructor_conversion_errors(argument, error, message):
    with pytest.raises(error) as info:
        AutoPos(argument)
    if message is not None:
        assert str(info.value) == message


def test_constructor_converts_like_int():
    assert coordinates(AutoPos(2.9)) == initial_fill(2)
    assert coordinates(AutoPos(anchor_cnt=True)) == initial_fill(1)
    # a multiplication that undersizes the matrix still gets room for it
    five = AutoPos(Product(0, 5))
    assert coordinates(five) == initial_fill(5)
    five.compute(distances([(0, 0), (30, 0), (0, 40), (30, 40), (15, 20)]))
    assert coordinates(five)[1][0] == pytest.approx(30, abs=1e-3)


def test_position_is_looked_up_at_every_call(monkeypatch):
    autopos = AutoPos(3)
    monkeypatch.setattr(qz_autopos, "Position", lambda x, y, z: (x, y, z))
    assert autopos.get_position_estimates() == initial_fill(3)
    monkeypatch.delattr(qz_autopos, "Position")
    with pytest.raises(NameError, match="^name 'Position' is not defined$"):
        autopos.get_position_estimates()
    assert AutoPos(0).get_position_estimates() == []


def test_type_and_position_class():
    assert AutoPos.__module__ == "qz_autopos" and AutoPos.__name__ == "AutoPos"
    assert repr(AutoPos) == "<class 'qz_autopos.AutoPos'>"
    assert Position.__module__ == "qz_autopos"
    assert repr(Position(1, "a", None)) == "(1, a, None)"
    autopos = AutoPos(3)
    assert not {"meas", "anchor_cnt", "anchor_pos_est", "qf"} & set(dir(autopos))

    class Survey(AutoPos):
        pass

    sub = Survey(4)
    sub.label = "hall"
    sub.compute(distances(SQUARE))
    assert_square(sub)
    references = sys.getrefcount(Survey)
    for _ in range(100):
        Survey(3)
    del sub
    assert sys.getrefcount(Survey) == references - 1


def test_pickling_is_refused():
    autopos = AutoPos(4)
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy,
                    lambda a: a.__reduce__(), lambda a: a.__setstate__({})):
        with pytest.raises(TypeError) as info:
            attempt(autopos)
        assert str(info.value) == REDUCE_MESSAGE


def test_estimates_are_accepted_by_the_position_engine():
    qz_engine = pytest.importorskip("qz_engine")
    autopos = AutoPos(4)
    autopos.compute(distances(SQUARE))
    engine = qz_engine.PositionEngine(4)
    engine.set_anchor_positions(autopos.get_position_estimates())
    anchors = engine.get_anchor_positions()
    assert [round(p.x, 2) for p in anchors] == [0, 100, 100, 0]
    position = engine.compute_tag_position(
        [math.dist(p, (30, 40)) for p in SQUARE],
        qz_engine.Position(50, 50, 0))
    assert (position.x, position.y) == (pytest.approx(30, abs=0.1),
                                        pytest.approx(40, abs=0.1))


def test_no_leaks():
    square = distances(SQUARE)

    def cycle():
        for n in (4, 15, 1):
            autopos = AutoPos(n)
            autopos.compute(square[: n * n])
            autopos.get_position_estimates()
        for bad in (Product(4, 2**40), Product(-4, 3), "x", Product(4, "x")):
            try:
                AutoPos(bad)
            except (TypeError, OverflowError):
                pass
        try:
            AutoPos(4).compute(v for v in square * 2)
        except ValueError:
            pass

    cycle()
    tracemalloc.start()
    try:
        cycle()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(200):
            cycle()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 4000
