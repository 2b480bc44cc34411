"""Leaks: every public entry point of the modules, error paths included
(each kind of bad argument, each failing decode), driven thousands of times,
while the memory that tracemalloc traces must stay flat.

Each scenario is one round of calls; `SCENARIOS` is also the workload of the
LeakSanitizer and valgrind runs (scripts/leak_check.py), so it imports
nothing beyond the modules and the standard library.
"""
import copy
import gc
import pickle
import sys
import tracemalloc
from array import array

import pytest

import qz_autopos
import qz_engine
import qz_packets
import qz_track

from conftest import Product

ASSERTIONS = not sys.flags.optimize
# The outcome of a length, magic or type check: AssertionError, or with
# assertions disabled whatever decoding the input then gives.
CHECKED = AssertionError if ASSERTIONS else None

ROUNDS = 2000
BATCHES = 4
WARM_UP = 200
# Bytes by which traced memory may grow over one batch of ROUNDS / BATCHES
# rounds: far below one small object per round (a float is 24 bytes, a list
# 56, so a leak of one shows as 12000 bytes or more).
BOUND = 1024


def outcome(call, *args, **kwargs):
    """The type of the exception that call(*args, **kwargs) raises, or None."""
    try:
        call(*args, **kwargs)
    except Exception as error:  # the caller checks the type
        return type(error)
    return None


def expect(expected, call, *args, **kwargs):
    """Runs the call and checks its outcome: an exception type, None for
    success, or a tuple of those."""
    got = outcome(call, *args, **kwargs)
    allowed = expected if isinstance(expected, tuple) else (expected,)
    assert got in allowed, (call, args, got)


class Raising:
    """A start point or anchor whose y attribute raises."""

    x = z = 1.0

    @property
    def y(self):
        raise RuntimeError("y")


class NoY:
    x = z = 1.0


class TextY:
    x = z = 1.0
    y = "one"


class LengthOnly:
    """A sized object that cannot be iterated."""

    def __len__(self):
        return 4


def failing_iterator(values):
    yield from values
    raise RuntimeError("iteration")


class Raises:
    """A replacement Position whose construction fails."""

    def __init__(self, *args):
        raise RuntimeError("Position")


def with_position_class(module, replacement, call):
    saved = module.Position
    module.Position = replacement
    try:
        return outcome(call)
    finally:
        module.Position = saved


# ---------------------------------------------------------------------------
# qz_engine

Position = qz_engine.Position
SQUARE = [Position(0.0, 0.0, 0.0), Position(10.0, 0.0, 0.0),
          Position(10.0, 10.0, 0.0), Position(0.0, 10.0, 0.0)]
TO_3_4 = [5.0, 8.06225774829855, 9.219544457292887, 6.708203932499369]


def square_engine():
    engine = qz_engine.PositionEngine(4)
    engine.set_anchor_positions(SQUARE)
    return engine


ENGINE = square_engine()


class SubEngine(qz_engine.PositionEngine):
    pass


def engine_position():
    repr(Position(1.0, "a", None))
    expect(TypeError, Position, 1, 2)
    expect(TypeError, Position, 1, 2, 3, x=4)
    expect(TypeError, Position, 1, 2, 3, w=4)


def engine_construct():
    for count in (0, 3, 2.9, True, 25):
        qz_engine.PositionEngine(count)
    SubEngine(4).name = "hall"
    qz_engine.PositionEngine(nb_anchors=2)
    expect(TypeError, qz_engine.PositionEngine)
    expect(TypeError, qz_engine.PositionEngine, 1, 2)
    expect(TypeError, qz_engine.PositionEngine, nb=1)
    expect(TypeError, qz_engine.PositionEngine, 1, nb_anchors=1)
    for bad, error in ((None, TypeError), ("3", TypeError), (2**31, OverflowError),
                       (-1, ValueError), (float("nan"), ValueError)):
        expect(error, qz_engine.PositionEngine, bad)


def engine_anchors():
    engine = qz_engine.PositionEngine(4)
    engine.set_anchor_positions(list(SQUARE))
    engine.set_anchor_positions(tuple(SQUARE))
    engine.get_anchor_positions()
    expect(TypeError if ASSERTIONS else None, engine.set_anchor_positions,
           (p for p in SQUARE))
    expect(CHECKED, engine.set_anchor_positions, SQUARE[:3])
    expect(AssertionError if ASSERTIONS else ValueError,
           engine.set_anchor_positions, SQUARE + SQUARE[:1])
    expect(TypeError if ASSERTIONS else ValueError,
           engine.set_anchor_positions, iter(SQUARE + SQUARE[:1]))
    expect(AttributeError, engine.set_anchor_positions, SQUARE[:3] + [NoY()])
    expect(TypeError, engine.set_anchor_positions, SQUARE[:3] + [TextY()])
    expect(RuntimeError, engine.set_anchor_positions, [Raising()] + SQUARE[1:])
    expect(TypeError, engine.set_anchor_positions, LengthOnly())
    expect(TypeError, engine.set_anchor_positions, 5)
    expect(TypeError, engine.set_anchor_positions)
    expect(TypeError, engine.set_anchor_positions, SQUARE, anchor_positions=SQUARE)
    expect(TypeError, engine.get_anchor_positions, 1)
    expect(TypeError, engine.get_anchor_positions, x=1)


def engine_compute():
    start = Position(8.0, 8.0, 1.5)
    ENGINE.compute_tag_position(list(TO_3_4), start)
    ENGINE.compute_tag_position(tuple(TO_3_4), initial_position=start)
    ENGINE.compute_tag_position(initial_position=start, measurements=iter(TO_3_4))
    ENGINE.compute_tag_position([float("nan"), float("inf"), -1.0, 0.0], start)
    ENGINE.compute_tag_position([], Position(float("inf"), 0.0, 0.0))
    expect(ValueError, ENGINE.compute_tag_position, TO_3_4 + [1.0], start)
    expect(ValueError, ENGINE.compute_tag_position, iter(TO_3_4 + [1.0]), start)
    expect(TypeError, ENGINE.compute_tag_position, [1.0, "x"], start)
    expect(RuntimeError, ENGINE.compute_tag_position, failing_iterator([1.0]), start)
    expect(TypeError, ENGINE.compute_tag_position, 5, start)
    expect(AttributeError, ENGINE.compute_tag_position, TO_3_4, NoY())
    expect(TypeError, ENGINE.compute_tag_position, TO_3_4, TextY())
    expect(RuntimeError, ENGINE.compute_tag_position, TO_3_4, Raising())
    expect(TypeError, ENGINE.compute_tag_position, TO_3_4)
    expect(TypeError, ENGINE.compute_tag_position, TO_3_4, start, 3)
    expect(TypeError, ENGINE.compute_tag_position, TO_3_4, start, measurements=1)
    expect(TypeError, ENGINE.compute_tag_position, TO_3_4, initial=start)


def engine_position_lookup():
    assert with_position_class(qz_engine, Raises, ENGINE.get_anchor_positions) \
        is RuntimeError
    assert with_position_class(
        qz_engine, Raises,
        lambda: ENGINE.compute_tag_position(TO_3_4, SQUARE[0])) is RuntimeError


def engine_pickling():
    for refuse in (pickle.dumps, copy.copy, copy.deepcopy,
                   lambda e: e.__reduce__(), lambda e: e.__reduce_ex__(2),
                   lambda e: e.__setstate__({})):
        expect(TypeError, refuse, ENGINE)
    expect(TypeError, ENGINE.__reduce__, 1)
    expect(TypeError, ENGINE.__setstate__)


# ---------------------------------------------------------------------------
# qz_autopos

DISTANCES = [0.0, 100.0, 141.4213562373095, 100.0,
             100.0, 0.0, 100.0, 141.4213562373095,
             141.4213562373095, 100.0, 0.0, 100.0,
             100.0, 141.4213562373095, 100.0, 0.0]
SURVEY = qz_autopos.AutoPos(4)


class SubSurvey(qz_autopos.AutoPos):
    pass


def autopos_construct():
    for count in (-3, 0, 1, 2, 3, 4, 16, 2.5):
        qz_autopos.AutoPos(count)
    SubSurvey(4).name = "hall"
    qz_autopos.AutoPos(anchor_cnt=3)
    expect(TypeError, qz_autopos.AutoPos)
    expect(TypeError, qz_autopos.AutoPos, 3, 4)
    expect(TypeError, qz_autopos.AutoPos, count=3)
    expect(TypeError, qz_autopos.AutoPos, 3, anchor_cnt=3)
    for bad, error in ((None, TypeError), ("ab", TypeError),
                       (float("nan"), ValueError), (2**31, OverflowError),
                       (Product(-4, 3), OverflowError),
                       (Product(4, 2**40), OverflowError),
                       (Product(4, "x"), TypeError), (Product(0, 5), None),
                       (2**31 - 1, MemoryError)):
        expect(error, qz_autopos.AutoPos, bad)


def autopos_compute():
    SURVEY.compute(DISTANCES)
    SURVEY.compute(tuple(DISTANCES))
    SURVEY.compute(d for d in DISTANCES)
    SURVEY.compute(DISTANCES[:5])
    SURVEY.compute([float("nan")] * 16)
    SURVEY.compute(DISTANCES)
    SURVEY.get_position_estimates()
    qz_autopos.AutoPos(16).compute([1.0] * 256)
    qz_autopos.AutoPos(2).compute([0.0, 1.0, 1.0, 0.0])
    expect(ValueError, SURVEY.compute, DISTANCES + [1.0])
    expect(ValueError, SURVEY.compute, iter(DISTANCES + [1.0]))
    expect(TypeError, SURVEY.compute, [1.0, None])
    expect(RuntimeError, SURVEY.compute, failing_iterator([1.0]))
    expect(TypeError, SURVEY.compute, 5)
    expect(TypeError, SURVEY.compute)
    expect(TypeError, SURVEY.compute, DISTANCES, DISTANCES)
    expect(TypeError, SURVEY.compute, measurements=DISTANCES)
    expect(TypeError, SURVEY.get_position_estimates, 1)


def autopos_position_lookup():
    assert with_position_class(qz_autopos, Raises,
                               SURVEY.get_position_estimates) is RuntimeError
    saved = qz_autopos.Position
    del qz_autopos.Position
    try:
        expect(NameError, SURVEY.get_position_estimates)
    finally:
        qz_autopos.Position = saved


def autopos_pickling():
    for refuse in (pickle.dumps, copy.copy, lambda a: a.__reduce__(),
                   lambda a: a.__setstate__(None)):
        expect(TypeError, refuse, SURVEY)


# ---------------------------------------------------------------------------
# qz_packets

HEADER = b"@QZ@DW\x44\x00\x01"
REPORT = bytes.fromhex("00 34 12 01 02 03 04 05 E8 03")
MESSAGE = bytes.fromhex("01 00 00 01") + bytes(14) + b"\x02" + REPORT * 2
FRAME = (HEADER + bytes(10) + bytes.fromhex("41 88 05 CD AB 34 12 78 56")
         + bytes(8) + b"\x10" + MESSAGE + b"\x00\x00")
RAW_FRAME = FRAME[:36] + b"\x11" + FRAME[37:]


def handler(src_addr, is_anchor, reports):
    pass


def failing_handler(src_addr, is_anchor, reports):
    raise RuntimeError("handler")


def packets_header():
    qz_packets.Header(HEADER)
    qz_packets.Header(bytearray(HEADER))
    qz_packets.Header(bytes=b"@QZ@HB\x00\x00\x00")
    expect(CHECKED, qz_packets.Header, HEADER + b"\x00")
    expect(AssertionError if ASSERTIONS else IndexError, qz_packets.Header, HEADER[:6])
    expect(CHECKED, qz_packets.Header, b"@QX@" + HEADER[4:])
    expect(CHECKED, qz_packets.Header, b"@QZ@XX" + HEADER[6:])
    expect(UnicodeDecodeError if ASSERTIONS else None, qz_packets.Header,
           b"\xff" + HEADER[1:])
    expect(UnicodeDecodeError, qz_packets.Header, b"@QZ@\xffW" + HEADER[6:])
    expect(AttributeError, qz_packets.Header, HEADER.decode())
    expect(TypeError, qz_packets.Header, 5)
    expect(TypeError, qz_packets.Header)
    expect(TypeError, qz_packets.Header, HEADER, HEADER)
    expect(TypeError, qz_packets.Header, HEADER, bytes=HEADER)
    expect(TypeError, qz_packets.Header, data=HEADER)
    len(qz_packets.BasePacket(5))
    expect(TypeError, len, qz_packets.BasePacket("x"))


def packets_records():
    qz_packets.SubHeader(bytes(range(10)))
    qz_packets.SubHeader([1] * 10)
    qz_packets.UWBHeader(FRAME[19:28])
    qz_packets.UWBParams(memoryview(FRAME)[28:37])
    qz_packets.UWBFooter(b"\x34\x12")
    qz_packets.UWBRangingReport(REPORT)
    qz_packets.UWBRawMessage(b"")
    qz_packets.UWBRawMessage(bytearray(5))
    message = qz_packets.UWBRangingMessage(MESSAGE)
    message.is_anchor()
    expect(TypeError, message.is_anchor, 1)
    expect(TypeError, len, message)
    expect(CHECKED, qz_packets.SubHeader, bytes(11))
    expect(AssertionError if ASSERTIONS else IndexError, qz_packets.SubHeader, bytes(9))
    expect(TypeError, qz_packets.SubHeader, 5)
    for record, size in ((qz_packets.UWBHeader, 9), (qz_packets.UWBParams, 9),
                         (qz_packets.UWBFooter, 2)):
        expect(CHECKED, record, bytes(size + 1))
        expect(TypeError, record, 5)
        expect(TypeError, record)
    expect(AssertionError if ASSERTIONS else IndexError, qz_packets.UWBParams, bytes(8))
    expect(CHECKED, qz_packets.UWBRangingReport, REPORT[:5])
    expect(AssertionError if ASSERTIONS else IndexError,
           qz_packets.UWBRangingReport, b"")
    expect(TypeError, qz_packets.UWBRawMessage, 5)
    expect(IndexError, qz_packets.UWBRangingMessage, MESSAGE[:10])
    expect(CHECKED, qz_packets.UWBRangingMessage, MESSAGE[:-3])
    expect(TypeError, qz_packets.UWBRangingMessage, 5)
    expect(TypeError, qz_packets.UWBRangingMessage, MESSAGE, bites=1)


def packets_frames():
    header = qz_packets.Header(HEADER)
    for frame in (FRAME, bytearray(FRAME), memoryview(FRAME)):
        packet = qz_packets.QZDWPacket(header, frame, handler)
        packet.callback()
        qz_packets.QZDWPacket(header, frame).uwb_payload.reports
        expect(TypeError, qz_packets.QZDWPacket(header, frame).callback)
        expect(RuntimeError,
               qz_packets.QZDWPacket(header, frame, failing_handler).callback)
    qz_packets.QZDWPacket(header=None, bytes=RAW_FRAME, callback=handler).callback()
    qz_packets.QZDWPacket(None, RAW_FRAME[:37]).callback()
    expect(IndexError, qz_packets.QZDWPacket, None, FRAME[:37])
    expect(IndexError, qz_packets.QZDWPacket, None, FRAME[:39])
    expect(AssertionError if ASSERTIONS else IndexError, qz_packets.QZDWPacket,
           None, FRAME[:-13])
    for short in (18, 27, 36):
        expect(AssertionError if ASSERTIONS else IndexError,
               qz_packets.QZDWPacket, None, FRAME[:short])
    expect(TypeError, qz_packets.QZDWPacket, None, 5)
    expect(TypeError, qz_packets.QZDWPacket, None)
    expect(TypeError, qz_packets.QZDWPacket, None, FRAME, None, None)
    expect(TypeError, qz_packets.QZDWPacket, bytes=FRAME)
    expect(TypeError, qz_packets.QZDWPacket, None, FRAME, handler, callback=handler)
    expect(TypeError, qz_packets.QZDWPacket, None, FRAME, handle=handler)
    expect(TypeError, qz_packets.QZDWPacket(None, FRAME, handler).callback, 1)


# ---------------------------------------------------------------------------
# qz_track

TRACK_ANCHORS = [(0.0, 0.0), (10.0, 0.0), (10.0, 8.0), (0.0, 8.0, 1.0)]
TRACK_RANGES = [5.0, 7.0, 6.5, 4.0]
TRACKED = qz_track.TagFilter(TRACK_ANCHORS)
TRACK_CLOCK = [0.0]


def track_filter():
    f = qz_track.TagFilter(TRACK_ANCHORS, sigma=0.02, process_noise=1.0)
    f.update(0.0, TRACK_RANGES)
    f.seed(0.0, 4.0, 3.0, TRACK_RANGES)
    f.update(0.1, tuple(TRACK_RANGES))
    f.update(0.2, iter([float("nan"), -1.0, 0.0, 4.0]))
    f.state, f.covariance, f.anchors, f.seeded, f.rejected
    f.set_anchors(TRACK_ANCHORS[:3])
    f.reset()
    expect(ValueError, qz_track.TagFilter, [])
    expect(TypeError, qz_track.TagFilter, [(0.0, "a")])
    expect(ValueError, qz_track.TagFilter, TRACK_ANCHORS, sigma=-1.0)
    expect(TypeError, qz_track.TagFilter, TRACK_ANCHORS, spread=1.0)
    expect(TypeError, qz_track.TagFilter, TRACK_ANCHORS, 1.0)


def track_update():
    TRACK_CLOCK[0] += 0.1
    if TRACKED.update(TRACK_CLOCK[0], TRACK_RANGES) is None:
        TRACKED.seed(TRACK_CLOCK[0], 4.0, 3.0, TRACK_RANGES)
    expect(ValueError, TRACKED.update, -1.0, TRACK_RANGES)
    expect(ValueError, TRACKED.update, float("nan"), TRACK_RANGES)
    expect(ValueError, TRACKED.update, TRACK_CLOCK[0], TRACK_RANGES[:3])
    expect(ValueError, TRACKED.update, TRACK_CLOCK[0], TRACK_RANGES * 2)
    expect(TypeError, TRACKED.update, TRACK_CLOCK[0], [1.0, 2.0, "x", 3.0])
    expect(TypeError, TRACKED.update, TRACK_CLOCK[0])
    expect(TypeError, TRACKED.seed, TRACK_CLOCK[0], 1.0, 1.0, None)


def track_smooth():
    covariance = [1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0]
    qz_track.smooth([0.0, 0.1], [0.0] * 8, covariance * 2, [True, False], [1.0, 3.0], 0.5)
    expect(ValueError, qz_track.smooth, [0.0, 0.1], [0.0] * 7, covariance * 2, [1, 0], [1, 1],
           0.5)
    expect(ValueError, qz_track.smooth, [0.1, 0.0], [0.0] * 8, covariance * 2, [1, 0], [1, 1],
           0.5)
    expect(ValueError, qz_track.smooth, [0.0, 0.1], [0.0] * 8,
           [-v for v in covariance] * 2, [1, 0], [1, 1], 0.5)
    expect(TypeError, qz_track.smooth, [0.0], [0.0] * 4, covariance, [True], [1.0])


def track_smooth_in_place():
    eye = [1.0, 0, 0, 0, 1.0, 0, 0, 1.0, 0, 1.0]
    times, growths = array("d", [0.0, 0.1]), array("d", [1.0, 3.0])
    states, covariances = array("d", [0.0] * 8), array("d", eye * 2)
    qz_track.smooth_in_place(times, states, covariances, b"\x01\x00", growths, 0.5)
    qz_track.smooth_in_place(times=times, states=memoryview(states), covariances=covariances,
                             starts=array("b", [1, 0]), growths=growths, process_noise=0.5)
    for bad in ([0.0, 0.1], array("f", [0.0, 0.1]), array("d", [0.1, 0.0]),
                array("d", [0.0, float("nan")]), array("d", [0.0])):
        expect((TypeError, ValueError), qz_track.smooth_in_place, bad, states, covariances,
               b"\x01\x00", growths, 0.5)
    expect(TypeError, qz_track.smooth_in_place, times, memoryview(states).toreadonly(),
           covariances, b"\x01\x00", growths, 0.5)
    expect(ValueError, qz_track.smooth_in_place, times, memoryview(states)[::2],
           covariances, b"\x01\x00", growths, 0.5)
    expect(ValueError, qz_track.smooth_in_place, times, states, array("d", [-v for v in eye] * 2),
           b"\x01\x00", growths, 0.5)
    expect(ValueError, qz_track.smooth_in_place, times, states, covariances, b"\x01\x00",
           array("d", [1.0, 0.5]), 0.5)
    expect(TypeError, qz_track.smooth_in_place, times, states, covariances, b"\x01\x00",
           growths)


def track_model():
    model = qz_track.RangeModel(4, offsets=[0.1, 0.0, -0.1, 0.2], offset_sd=0.1)
    tags = [qz_track.TagFilter(TRACK_ANCHORS, model=model, offset_sd=0.3) for _ in range(2)]
    for tag in tags:
        tag.seed(0.0, 4.0, 3.0, TRACK_RANGES)
        tag.update(0.1, TRACK_RANGES)
        tag.update(0.2, [30.0, 1.0, 30.0, 1.0])  # a message that contradicts itself
        tag.offset, tag.offset_sd, tag.model, tag.restarted, tag.covariance
    model.offsets, model.offset_sd, model.sigma, model.noise_samples
    expect(ValueError, qz_track.RangeModel, 0)
    expect(ValueError, qz_track.RangeModel, 4, offsets=[0.0] * 3)
    expect(ValueError, qz_track.RangeModel, 4, offset_sd=iter([0.1, -1.0, 0.1, 0.1]))
    expect(TypeError, qz_track.RangeModel, 4, sigma="a")
    expect(ValueError, qz_track.TagFilter, TRACK_ANCHORS[:3], model=model)
    expect(ValueError, qz_track.TagFilter, TRACK_ANCHORS, model=model, sigma=0.1)
    expect(TypeError, qz_track.TagFilter, TRACK_ANCHORS, model=1)
    expect(ValueError, tags[0].set_anchors, TRACK_ANCHORS[:3])
    expect(ValueError, qz_track.TagFilter, TRACK_ANCHORS, sigma=1e-300)


def track_pickling():
    for refuse in (pickle.dumps, copy.copy, lambda a: a.__reduce__(),
                   lambda a: a.__setstate__(None)):
        expect(TypeError, refuse, TRACKED)
        expect(TypeError, refuse, TRACKED.model)


SCENARIOS = {
    function.__name__: function
    for function in (engine_position, engine_construct, engine_anchors,
                     engine_compute, engine_position_lookup, engine_pickling,
                     autopos_construct, autopos_compute, autopos_position_lookup,
                     autopos_pickling, packets_header, packets_records,
                     packets_frames, track_filter, track_update, track_smooth,
                     track_smooth_in_place,
                     track_model, track_pickling)
}


def traced_growth(scenario, rounds=ROUNDS, batches=BATCHES, warm_up=WARM_UP):
    """Bytes by which traced memory grew over a batch of rounds, the least of
    `batches` batches: a leak grows every batch, while the interpreter's own
    one-off allocations (a resized cache, a new arena) land in one. A warm-up
    fills the caches and free lists first."""
    for _ in range(warm_up):
        scenario()
    gc.collect()
    tracemalloc.start()
    try:
        growth = []
        for _ in range(batches):
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(rounds // batches):
                scenario()
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - before)
        return min(growth)
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("name", SCENARIOS)
def test_traced_memory_stays_flat(name):
    assert traced_growth(SCENARIOS[name]) < BOUND


def test_the_measure_sees_a_leak():
    kept = []

    def leaking():
        ENGINE.compute_tag_position(TO_3_4, SQUARE[0])
        kept.append(1.5 + len(kept))  # one new float a round

    assert traced_growth(leaking, rounds=400, warm_up=10) >= 100 * 24
