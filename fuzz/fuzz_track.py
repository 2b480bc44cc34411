#!/usr/bin/env python3
"""Coverage-guided fuzzing of qz_track.

Each input builds a range model, one to three tag filters sharing it (or
each with its own), and drives them with a call sequence the fuzzer's bytes
choose: updates and seeds at arbitrary times with arbitrary ranges (special
values, huge and tiny ones, plausible distances), new anchors, resets and
read-backs, then a smoothing of what the filters produced (copied and in
place, which must agree), the in-place smoother on buffers of every kind, and the core
routines through ctypes on records of exactly their size. Settings are
drawn from valid and absurd values alike: a refusal must be the documented
ValueError or TypeError, and whatever is accepted must leave every state,
covariance, offset and noise finite.

A crash, a sanitizer report, an unexpected exception or a broken invariant
ends the run. Run through fuzz/run.py (make fuzz), or directly:
    python fuzz/fuzz_track.py [libFuzzer flags] [corpus dirs]
"""
import ctypes
import math
import os
import sys
from array import array

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests"))

with atheris.instrument_imports():
    import qz_track
    import track_symbols as core

SPECIAL = [0.0, -0.0, 1.0, -1.0, math.nan, math.inf, -math.inf, 5e-324, 1e-300, 1e-150,
           1e-7, 1e-6, 1e6, 1e7, 1e12, 1e300, -1e300, 0.05, 100.0, 1e3]


class Failure(AssertionError):
    """A broken invariant: reported by the fuzzer as a crash."""


def check(condition, *context):
    if not condition:
        raise Failure(*context)


def finite(values):
    return all(math.isfinite(v) for v in values)


def number(fdp, low=0.0, high=50.0):
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return fdp.PickValueInList(SPECIAL)
    if kind == 1:
        return fdp.ConsumeFloat()
    return fdp.ConsumeFloatInRange(low, high)


def anchors(fdp, count):
    return [tuple(number(fdp, -20.0, 20.0) for _ in range(fdp.ConsumeIntInRange(2, 3)))
            for _ in range(count)]


def refused(call):
    """The result of `call`, or None where it refuses with a documented
    error."""
    try:
        return call()
    except (ValueError, TypeError, OverflowError):
        return None


def check_filter(f):
    model = f.model
    check(finite(f.state + f.covariance + (f.offset, f.offset_sd, f.time, f.growth)),
          "filter state", f.state, f.covariance)
    check(finite(model.offsets + model.offset_sd + (model.sigma,)), "model", model.offsets)
    check(model.sigma > 0 and all(sd >= 0 for sd in model.offset_sd), "model", model.sigma)


def op_filters(fdp):
    count = fdp.ConsumeIntInRange(1, 8)
    points = anchors(fdp, count)
    options = {}
    for name in ("process_noise", "gate", "short_gate", "height", "max_gap", "offset",
                 "offset_sd", "max_range"):
        if fdp.ConsumeBool():
            options[name] = number(fdp, 0.0, 10.0)
    shared = None
    if fdp.ConsumeBool():
        shared = refused(lambda: qz_track.RangeModel(
            count, offsets=[number(fdp, -1.0, 1.0) for _ in range(count)],
            offset_sd=number(fdp, 0.0, 1.0),
            sigma=None if fdp.ConsumeBool() else number(fdp, 0.0, 1.0)))
    elif fdp.ConsumeBool():
        options["sigma"] = None if fdp.ConsumeBool() else number(fdp, 0.0, 1.0)
    filters = []
    for _ in range(fdp.ConsumeIntInRange(1, 3)):
        made = refused(lambda: qz_track.TagFilter(points, model=shared, **options))
        if made is None:
            return
        filters.append(made)
    times = [0.0] * len(filters)
    history = [([], [], [], [], []) for _ in filters]
    for _ in range(fdp.ConsumeIntInRange(1, 40)):
        which = fdp.ConsumeIntInRange(0, len(filters) - 1)
        f = filters[which]
        action = fdp.ConsumeIntInRange(0, 9)
        if action <= 5:
            times[which] += fdp.PickValueInList([0.0, 0.1, 1.0, fdp.ConsumeFloatInRange(0, 100)])
            distances = [number(fdp) for _ in range(f.anchor_count)]
            fix = refused(lambda: f.update(times[which], distances))
            if fix is None and f.seeded is False:
                fix = refused(lambda: f.seed(times[which], number(fdp, -20, 20),
                                             number(fdp, -20, 20), distances))
            if fix is not None:
                x, y, sd, dop, used, rejected = fix
                check(finite((x, y, sd, dop)) and sd >= 0 and 0 <= rejected <= f.anchor_count,
                      "fix", fix)
                times_, states, covs, starts, growths = history[which]
                times_.append(f.time)
                states.extend(f.state)
                covs.extend(f.covariance)
                starts.append(action == 0 or f.restarted or len(starts) == 0)
                growths.append(f.growth)
        elif action == 6:
            refused(lambda: f.set_anchors(anchors(fdp, f.anchor_count)))
        elif action == 7:
            f.reset()
        elif action == 8:
            refused(lambda: f.update(number(fdp, -10, 10), [1.0] * fdp.ConsumeIntInRange(0, 9)))
        else:
            times[which] = max(times[which], f.time)
        check_filter(f)
    for f, (t, states, covs, starts, growths) in zip(filters, history):
        smoothed = refused(lambda: qz_track.smooth(t, states, covs, starts, growths,
                                                   f.process_noise))
        if smoothed is not None:
            check(len(smoothed) == len(t), "smoothed count")
        x, c = array("d", states), packed(covs)
        done = refused(lambda: qz_track.smooth_in_place(
            array("d", t), x, c, array("b", starts), array("d", growths),
            f.process_noise) or True)
        check((done is None) == (smoothed is None), "in place and copied disagree", t)
        if smoothed is not None:
            check(in_place_fixes(x, c) == smoothed, "in place differs", t, starts, growths)


def in_place_fixes(x, c):
    """(x, y, sd) of each fix of states and packed covariances smoothed in
    place, sd as smooth() makes it."""
    fixes = []
    for k in range(len(x) // 4):
        p00, p11 = c[10 * k], c[10 * k + 4]
        fixes.append((x[4 * k], x[4 * k + 1],
                      math.sqrt(p00 + p11) if p00 > 0.0 and p11 > 0.0 else 0.0))
    return fixes


def op_smooth(fdp):
    count = fdp.ConsumeIntInRange(0, 6)
    result = refused(lambda: qz_track.smooth(
        [number(fdp, 0, 10) for _ in range(count)],
        [number(fdp, -10, 10) for _ in range(4 * count)],
        [number(fdp, -1, 1) for _ in range(16 * count)],
        [fdp.ConsumeBool() for _ in range(count)],
        [number(fdp, 1, 10) for _ in range(count)], number(fdp, 0, 1)))
    if result is not None:
        check(len(result) == count, "smoothed count")


def packed(whole):
    """Each 4x4 of `whole` (16 a fix) as its upper triangle (10 a fix)."""
    return array("d", [whole[16 * k + 4 * i + j] for k in range(len(whole) // 16)
                       for i in range(4) for j in range(i, 4)])


BUFFER_KINDS = ["d", "f", "b", "B", "q", "list", "bytes", "read-only", "strided"]


def buffer_of(fdp, values, usual):
    """`values` in a buffer (or not) of a kind the fuzzer picks: mostly
    array(usual), else one the smoother must refuse or take as well."""
    kind = fdp.PickValueInList(BUFFER_KINDS) if fdp.ConsumeIntInRange(0, 3) == 0 else usual
    if kind == "list":
        return list(values)
    if kind == "bytes":
        return bytes(int(v) & 0xFF if math.isfinite(v) else 0 for v in values)
    if kind == "read-only":
        return memoryview(array("d", values)).toreadonly()
    if kind == "strided":
        return memoryview(array("d", [v for v in values for _ in range(2)]))[::2]
    if kind in ("b", "B", "q"):
        return array(kind, [min(max(int(v), 0), 127) if math.isfinite(v) else 0
                            for v in values])
    return array(kind, values)


def op_smooth_in_place(fdp):
    """smooth_in_place on buffers of arbitrary kinds, lengths and values: a
    refusal other than that of a covariance leaves states and covariances
    as they were; an accepted call gives what smooth() gives."""
    count = fdp.ConsumeIntInRange(0, 6)
    skew = fdp.ConsumeIntInRange(-1, 1) if fdp.ConsumeIntInRange(0, 5) == 0 else 0
    times = [number(fdp, 0, 10) for _ in range(max(count + skew, 0))]
    states = [number(fdp, -10, 10) for _ in range(4 * count)]
    whole = []
    for _ in range(count):
        m = [number(fdp, -1, 1) for _ in range(16)]
        whole.extend(0.5 * (m[4 * i + j] + m[4 * j + i]) for i in range(4) for j in range(4))
    starts = [float(fdp.ConsumeBool()) for _ in range(count)]
    growths = [number(fdp, 1, 10) for _ in range(count)]
    noise = number(fdp, 0, 1)
    arguments = [buffer_of(fdp, times, "d"), buffer_of(fdp, states, "d"),
                 buffer_of(fdp, packed(whole), "d"), buffer_of(fdp, starts, "b"),
                 buffer_of(fdp, growths, "d")]
    smoothed = arguments[1:3]
    before = [bytes(a) if not isinstance(a, list) else None for a in smoothed]
    try:
        qz_track.smooth_in_place(*arguments, noise)
    except (ValueError, TypeError) as error:
        if "positive definite" not in str(error):
            after = [bytes(a) if not isinstance(a, list) else None for a in smoothed]
            check(after == before, "a refusal changed the arrays", error)
        return
    expected = refused(lambda: qz_track.smooth(times, states, whole, starts, growths, noise))
    check(expected is not None, "smooth_in_place took what smooth() refuses")
    x, c = smoothed
    check(in_place_fixes(x, c) == expected, "in place differs from smooth()", times)
    check(finite(c), "covariances")


def op_core(fdp):
    """The exported routines on records of exactly their size, with inputs
    within their contracts: states and models stay finite."""
    count = fdp.ConsumeIntInRange(1, core.MAX_ANCHORS)
    model = core.Model()
    offsets = core.doubles([fdp.ConsumeFloatInRange(-2, 2) for _ in range(count)], count)
    sds = core.doubles([fdp.ConsumeFloatInRange(0, 2) for _ in range(count)], count)
    if core.lib.track_model_init(ctypes.byref(model), count, offsets, sds,
                                 fdp.ConsumeFloatInRange(1e-6, 100.0),
                                 int(fdp.ConsumeBool())) != 0:
        raise Failure("model init refused valid values")
    params = core.Params(fdp.ConsumeFloatInRange(0, 1e3), fdp.ConsumeFloatInRange(0.1, 1e3),
                         fdp.ConsumeFloatInRange(0.1, 1e3), fdp.ConsumeFloatInRange(-5, 5),
                         fdp.ConsumeFloatInRange(1e-3, 1e4), fdp.ConsumeFloatInRange(1e-3, 1e3),
                         fdp.ConsumeIntInRange(1, 10), fdp.ConsumeFloatInRange(-1, 1),
                         fdp.ConsumeFloatInRange(0, 1), fdp.ConsumeFloatInRange(0, 10))
    points = (core.Anchor * count)(*[core.Anchor(*(fdp.ConsumeFloatInRange(-50, 50)
                                                   for _ in range(3))) for _ in range(count)])
    state = core.State()
    status = (ctypes.c_ubyte * count)()
    ranges = (ctypes.c_double * count)(*[number(fdp) for _ in range(count)])
    if core.lib.track_seed(ctypes.byref(state), ctypes.byref(params), ctypes.byref(model),
                           points, ranges, status, fdp.ConsumeFloatInRange(-50, 50),
                           fdp.ConsumeFloatInRange(-50, 50), 0.0) != 0:
        return
    marginal = (ctypes.c_double * 25)()
    time = 0.0
    for _ in range(fdp.ConsumeIntInRange(1, 20)):
        time += fdp.ConsumeFloatInRange(0, 10)
        ranges = (ctypes.c_double * count)(*[number(fdp) for _ in range(count)])
        check(core.lib.track_predict(ctypes.byref(state), ctypes.byref(params), time) == 0,
              "predict")
        result = core.lib.track_fuse(ctypes.byref(state), ctypes.byref(params),
                                     ctypes.byref(model), points, ranges, status)
        check(-1 <= result <= count and all(s <= 2 for s in status), "fuse", result)
        core.lib.track_marginal(ctypes.byref(state), ctypes.byref(model), marginal)
        check(finite(list(state.state) + list(state.cov) + list(marginal))
              and finite(list(model.offset)[:count] + [model.sigma]), "core state")
        if result < 0:
            break


OPERATIONS = [op_filters, op_smooth, op_smooth_in_place, op_core]


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    operation = OPERATIONS[fdp.ConsumeIntInRange(0, len(OPERATIONS) - 1)]
    operation(fdp)


def main():
    atheris.instrument_func(test_one_input)
    for operation in OPERATIONS:
        atheris.instrument_func(operation)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
