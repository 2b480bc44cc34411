"""Numbers at the edge of the modules: what the interpreter's float
conversion accepts (a float subclass, __float__, __index__) arrives as the
same value, a legitimate -1.0 is not taken for an error, and an error the
conversion raises comes through unchanged. TagFilter keeps doubles; the
engine's anchor slots round to 32-bit floats."""
import numpy as np
import pytest

import qz_engine
import qz_track


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Refusing:
    def __float__(self):
        raise ArithmeticError("no float for you")


class FloatSubclass(float):
    pass


CONVERTIBLE = [
    pytest.param(-1.0, -1.0, id="float -1"),
    pytest.param(FloatSubclass(-1.0), -1.0, id="float subclass -1"),
    pytest.param(Floaty(-1.0), -1.0, id="__float__ -1"),
    pytest.param(Floaty(0.1), 0.1, id="__float__"),
    pytest.param(Indexy(-1), -1.0, id="__index__ -1"),
    pytest.param(True, 1.0, id="bool"),
]

ANCHORS = [(0.0, 0.0), (10.0, 0.0), (0.0, 10.0)]


@pytest.mark.parametrize("value, expected", CONVERTIBLE)
def test_a_filter_reads_numbers_as_doubles(value, expected):
    tag = qz_track.TagFilter(ANCHORS, height=value)
    tag.seed(0.0, value, 2.0, [0.0, 0.0, 0.0])
    assert tag.height == expected
    assert tag.state[0] == expected


@pytest.mark.parametrize("value, expected", CONVERTIBLE)
def test_the_engine_rounds_numbers_to_float32(value, expected):
    engine = qz_engine.PositionEngine(1)
    engine.set_anchor_positions([qz_engine.Position(value, 0.0, 0.0)])
    assert engine.get_anchor_positions()[0].x == float(np.float32(expected))


@pytest.mark.parametrize("value, error, message", [
    (Refusing(), ArithmeticError, "^no float for you$"),
    ("1.0", TypeError, "^must be real number, not str$"),
    (None, TypeError, "^must be real number, not NoneType$"),
    (Indexy(10 ** 400), OverflowError, "^int too large to convert to float$")])
def test_a_failed_conversion_raises_its_own_error(value, error, message):
    with pytest.raises(error, match=message):
        qz_track.TagFilter(ANCHORS, height=value)
    tag = qz_track.TagFilter(ANCHORS)
    with pytest.raises(error, match=message):
        tag.seed(0.0, value, 2.0, [0.0, 0.0, 0.0])
    with pytest.raises(error, match=message):
        tag.update(0.0, [value, 1.0, 1.0])
    engine = qz_engine.PositionEngine(1)
    with pytest.raises(error, match=message):
        engine.set_anchor_positions([qz_engine.Position(value, 0.0, 0.0)])
