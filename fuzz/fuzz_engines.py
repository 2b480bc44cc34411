#!/usr/bin/env python3
"""Coverage-guided fuzzing of qz_engine and qz_autopos.

Each input picks one operation and fills its counts and float arrays from the
fuzzer's bytes: special values (NaN, infinities, denormals, the float32
limits, doubles far beyond them), arbitrary doubles, and plausible distances
so that the solvers get past their early exits. The operations are:

- PositionEngine and AutoPos driven through their methods, the results
  checked against the exported routine called directly on the same data;
- their argument errors, which must raise the interpreter's standard
  exceptions that the types document and nothing else;
- the exported engine routines through ctypes, within their documented
  argument domains, on arrays of exactly the documented size (so that the
  address sanitizer sees any access beyond them), with the invariants their
  contracts state.

A crash, a sanitizer report, an unexpected exception or a broken invariant
ends the run. Run through fuzz/run.py (make fuzz), or directly:
    python fuzz/fuzz_engines.py [libFuzzer flags] [corpus dirs]
"""
import contextlib
import ctypes
import math
import os
import struct
import sys

import atheris

with atheris.instrument_imports():
    import qz_autopos
    import qz_engine

# the routines' ctypes declarations, shared with the tests
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                os.pardir, "tests"))
from engine_symbols import F32, AnchorPos, autopos, levmar  # noqa: E402
from engine_symbols import libc as LIBC  # noqa: E402

ASSERTIONS = not sys.flags.optimize

ls_lm_dif = levmar.ls_lm_dif
engine_ls_cost_fnc = levmar.engine_ls_cost_fnc
fdif_jac = levmar.fdif_jac
vec_dif_L2_norm = levmar.vec_dif_L2_norm
lu_decomp = levmar.lu_decomp
lu_solve = levmar.lu_solve
solve_lin_sys_LU = levmar.solve_lin_sys_LU

engine_autopos_mds = autopos.engine_autopos_mds
eig = autopos.eig
trans_sym_to_trid = autopos.trans_sym_to_trid
eig_sym_trid = autopos.eig_sym_trid
pythag = autopos.pythag
det_3by3 = autopos.det_3by3
inv_3by3 = autopos.inv_3by3
get_dist = autopos.get_dist
get_dist2 = autopos.get_dist2
get_dist3 = autopos.get_dist3
get_dist_xy = autopos.get_dist_xy
dot_prod = autopos.dot_prod
fact = autopos.fact
print_mat = autopos.print_mat
print_vec = autopos.print_vec
engine_autopos_test = autopos.engine_autopos_test

DEVNULL = os.open(os.devnull, os.O_WRONLY)

FLT_MAX = 3.4028234663852886e38
SPECIAL = [
    0.0, -0.0, 1.0, -1.0, math.nan, -math.nan, math.inf, -math.inf,
    1.401298464324817e-45,   # smallest float32 denormal
    1.1754942106924411e-38,  # largest float32 denormal
    1.1754943508222875e-38,  # smallest float32 normal
    5e-324,                  # smallest double denormal: 0 as a float32
    FLT_MAX, -FLT_MAX,
    3.4028235677973366e38,   # just above FLT_MAX: rounds to infinity
    1e300, -1e300, 1e19, 1e-19, 0.175, 0.17499999701976776, 100000.0,
    2000.0, 1e-9, 0.04, 9e-6,
]


class Failure(AssertionError):
    """A broken invariant: reported by the fuzzer as a crash."""


def check(condition, *context):
    if not condition:
        raise Failure(*context)


def same(a, b):
    """Equal bit for bit, any NaN matching any NaN."""
    if math.isnan(a) and math.isnan(b):
        return True
    return struct.pack("<d", a) == struct.pack("<d", b)


def f32(value):
    return F32(value).value


def number(fdp):
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind == 0:
        return fdp.PickValueInList(SPECIAL)
    if kind == 1:
        return fdp.ConsumeFloat()
    if kind == 2:
        return -fdp.ConsumeFloatInRange(0.0, 2000.0)
    return fdp.ConsumeFloatInRange(0.0, 2000.0)


def numbers(fdp, count):
    return [number(fdp) for _ in range(count)]


def floats(values, size=None):
    """A float32 array of exactly `size` elements (at least one for ctypes)."""
    values = list(values)
    size = len(values) if size is None else size
    return (F32 * max(size, 1))(*values[:size])


def anchors(fdp, count):
    return (AnchorPos * max(count, 1))(
        *[tuple(numbers(fdp, 3)) for _ in range(count)])


def snapshot(array):
    return bytes(array)


def expect(errors, call, *args):
    """Calls call(*args); returns (result, None) or (None, the exception)
    when it raised one of `errors`. Any other exception propagates."""
    try:
        return call(*args), None
    except errors as error:
        return None, error


# ---------------------------------------------------------------------------
# PositionEngine


def op_position_engine(fdp):
    n = fdp.ConsumeIntInRange(0, 24)
    engine = qz_engine.PositionEngine(n)
    check(len(engine.get_anchor_positions()) == n)
    model_anchors = (AnchorPos * max(n, 1))()
    model_meas = floats([], n)
    if fdp.ConsumeBool():
        points = [qz_engine.Position(*numbers(fdp, 3)) for _ in range(n)]
        check(engine.set_anchor_positions(points) is None)
        for slot, point in zip(model_anchors, points):
            slot.x, slot.y, slot.z = point.x, point.y, point.z
        for got, want in zip(engine.get_anchor_positions(), points):
            for axis in "xyz":
                check(same(getattr(got, axis), f32(getattr(want, axis))), axis)
    for _ in range(fdp.ConsumeIntInRange(1, 3)):
        measurements = numbers(fdp, fdp.ConsumeIntInRange(0, n))
        start = numbers(fdp, 3)
        shape = fdp.ConsumeIntInRange(0, 2)
        given = (measurements if shape == 0 else tuple(measurements) if shape == 1
                 else iter(measurements))
        result = engine.compute_tag_position(given, qz_engine.Position(*start))
        check(type(result) is qz_engine.Position)
        for i, value in enumerate(measurements):
            model_meas[i] = value
        p = floats(start, 3)
        sse = F32()
        ls_lm_dif(p, model_meas, 2, n, 8, ctypes.byref(sse), model_anchors)
        check(same(result.x, p[0]) and same(result.y, p[1]), result, list(p))
        check(same(result.z, f32(start[2])), result.z, start[2])


BAD_COUNTS = [(-1, ValueError), (-(2**31), ValueError), (2**31, OverflowError),
              (2**70, OverflowError), ("3", TypeError), (None, TypeError),
              ([], TypeError), (math.nan, ValueError), (math.inf, OverflowError)]


class NoY:
    x = z = 1.0


class TextY:
    x = z = 1.0
    y = "1"


def op_position_engine_errors(fdp):
    count, error = fdp.PickValueInList(BAD_COUNTS)
    try:
        qz_engine.PositionEngine(count)
    except error:
        pass
    else:
        raise Failure("PositionEngine accepted", count)

    n = fdp.ConsumeIntInRange(0, 6)
    engine = qz_engine.PositionEngine(n)
    length = fdp.ConsumeIntInRange(0, 8)
    items = [qz_engine.Position(*numbers(fdp, 3)) for _ in range(length)]
    bad = fdp.ConsumeIntInRange(0, 2)
    if length and bad:
        items[fdp.ConsumeIntInRange(0, length - 1)] = NoY() if bad == 1 else TextY()
    _, raised = expect((AssertionError, ValueError, AttributeError, TypeError),
                       engine.set_anchor_positions, items)
    if ASSERTIONS and length != n:
        check(type(raised) is AssertionError, raised)
    elif length > n:
        check(type(raised) is ValueError, raised)
    elif length and bad:
        check(type(raised) is (AttributeError if bad == 1 else TypeError), raised)
    else:
        check(raised is None, raised)

    length = fdp.ConsumeIntInRange(0, 8)
    measurements = numbers(fdp, length)
    if length and fdp.ConsumeBool():
        measurements[fdp.ConsumeIntInRange(0, length - 1)] = "5"
    given = measurements if fdp.ConsumeBool() else iter(measurements)
    start = qz_engine.Position(*numbers(fdp, 3)) if fdp.ConsumeBool() else NoY()
    _, raised = expect((ValueError, TypeError, AttributeError),
                       engine.compute_tag_position, given, start)
    if raised is None:
        check(length <= n and "5" not in measurements and type(start) is not NoY)


# ---------------------------------------------------------------------------
# AutoPos


def op_autopos(fdp):
    n = fdp.ConsumeIntInRange(-3, 17)
    autopos = qz_autopos.AutoPos(n)
    cells = n * n
    meas = floats([], cells)
    est = floats(range(max(cells, 3 * n)), max(cells, 3 * n))
    qf = ctypes.c_int(0)
    for _ in range(fdp.ConsumeIntInRange(1, 3)):
        if 3 <= n <= 15 and fdp.ConsumeBool():
            # a plausible survey: distances between random points
            points = [(fdp.ConsumeFloatInRange(-500, 500),
                       fdp.ConsumeFloatInRange(-500, 500)) for _ in range(n)]
            values = [math.dist(p, q) for p in points for q in points]
            for _ in range(fdp.ConsumeIntInRange(0, 3)):
                values[fdp.ConsumeIntInRange(0, cells - 1)] = number(fdp)
        else:
            values = numbers(fdp, fdp.ConsumeIntInRange(0, max(cells, 0)))
        given = values if fdp.ConsumeBool() else iter(values)
        check(autopos.compute(given) is None)
        for i, value in enumerate(values):
            meas[i] = value
        engine_autopos_mds(meas, n, est, ctypes.byref(qf))
        estimates = autopos.get_position_estimates()
        check(len(estimates) == max(n, 0))
        for j, position in enumerate(estimates):
            check(same(position.x, est[j]) and same(position.y, est[j + n]), j)
            check(position.z == 0 and type(position.z) is int)


def op_autopos_errors(fdp):
    count, error = fdp.PickValueInList(
        [(-(2**40), OverflowError), (2**31, OverflowError), (2**33, OverflowError),
         ("3", TypeError), (None, TypeError), (1.5, None), (-2, None)])
    try:
        qz_autopos.AutoPos(count)
    except Exception as raised:  # checked below
        check(error is not None and type(raised) is error, count, raised)
    else:
        check(error is None, count)

    n = fdp.ConsumeIntInRange(0, 5)
    autopos = qz_autopos.AutoPos(n)
    length = fdp.ConsumeIntInRange(0, 30)
    values = numbers(fdp, length)
    if length and fdp.ConsumeBool():
        values[fdp.ConsumeIntInRange(0, length - 1)] = None
    given = values if fdp.ConsumeBool() else iter(values)
    _, raised = expect((ValueError, TypeError), autopos.compute, given)
    if raised is None:
        check(length <= n * n and None not in values)
    check(len(autopos.get_position_estimates()) == n)


# ---------------------------------------------------------------------------
# Exported routines of qz_engine


def op_ls_lm_dif(fdp):
    dim = fdp.ConsumeIntInRange(2, 3)
    n = fdp.ConsumeIntInRange(0, 30)
    kmax = fdp.ConsumeIntInRange(-2, 40)
    start = numbers(fdp, dim)
    p = floats(start, dim)
    y = floats(numbers(fdp, n), n)
    slots = anchors(fdp, n)
    before = snapshot(y), snapshot(slots)
    sse = F32(-7.0)
    result = ls_lm_dif(p, y, dim, n, kmax, ctypes.byref(sse), slots)
    check(-1 <= result <= max(kmax, 0), result)
    check(result == 0 or kmax > 0, result)
    check((snapshot(y), snapshot(slots)) == before, "inputs changed")
    # written at every return; a sum of squares is never negative
    check(sse.value != -7.0 and not sse.value < 0.0, sse.value)


def op_cost_and_residuals(fdp):
    dim = fdp.ConsumeIntInRange(-1, 4)
    meas_cnt = fdp.ConsumeIntInRange(0, 25)
    slots = anchors(fdp, meas_cnt)
    pos = floats(numbers(fdp, 3), 3)
    x = floats([-1.0] * meas_cnt, meas_cnt)
    engine_ls_cost_fnc(slots, pos, x, dim, meas_cnt)
    if dim not in (2, 3):
        check(all(v == -1.0 for v in x[:meas_cnt]), "wrote for dim", dim)

    n = fdp.ConsumeIntInRange(0, 25)
    e = floats([], n)
    measured = floats(numbers(fdp, n), n)
    predicted = floats(numbers(fdp, n), n)
    total = vec_dif_L2_norm(e, measured, predicted, n)
    check(not total < 0.0, total)
    for i in range(n):
        if measured[i] < 0.175:
            check(e[i] == 0.0, i)


def op_fdif_jac(fdp):
    m = fdp.ConsumeIntInRange(2, 3)
    n = fdp.ConsumeIntInRange(0, 20)
    p = floats(numbers(fdp, m), m)
    before = snapshot(p)
    slots = anchors(fdp, n)
    hx = floats([], n)
    engine_ls_cost_fnc(slots, p, hx, m, n)
    hxx = floats([], n)
    jac = floats([], 3 * n)
    fdif_jac(p, hx, hxx, jac, m, n, slots)
    check(snapshot(p) == before, "p not restored")


def op_linear_solver(fdp):
    dim = fdp.ConsumeIntInRange(1, 3)
    cells = [0.0] * 9
    for i in range(dim):
        for j in range(dim):
            cells[3 * i + j] = number(fdp)
    A = floats(cells, 9)
    B = floats(numbers(fdp, dim), dim)
    x = floats([], dim)
    before = snapshot(A), snapshot(B)
    solved = solve_lin_sys_LU(A, B, x, dim)
    check(solved in (0, 1) and (snapshot(A), snapshot(B)) == before)

    pivot = (ctypes.c_int * dim)()
    code = lu_decomp(A, dim, pivot)
    check(code in (0, -1), code)
    if code == 0:
        check(all(k <= pivot[k] <= 2 for k in range(dim)), list(pivot))
        check(lu_solve(B, A, dim, pivot) in (0, -1))


def op_eig(fdp):
    n = fdp.ConsumeIntInRange(1, 15)
    if fdp.ConsumeBool():
        mat = floats(numbers(fdp, n * n), n * n)
    else:
        # plausible: a symmetric matrix of moderate entries
        values = [fdp.ConsumeFloatInRange(-1e4, 1e4) for _ in range(n * n)]
        mat = floats([values[min(r, c) * n + max(r, c)] for c in range(n)
                      for r in range(n)], n * n)
    before = snapshot(mat)
    w = floats([], n)
    z = floats([], n * n)
    code = eig(mat, n, w, z)
    check(snapshot(mat) == before, "eig wrote its input")
    check(0 <= code <= n, code)
    if code == 0:
        check(all(math.isfinite(v) for v in w[:n]), list(w))
        check(all(w[i] <= w[i + 1] for i in range(n - 1)), list(w))

    # the two stages on their own, the second also on arbitrary data
    d = floats([], n)
    e = floats([], n)
    z = floats([], n * n)
    trans_sym_to_trid(mat, n, d, e, z)
    if fdp.ConsumeBool():
        d = floats(numbers(fdp, n), n)
        e = floats(numbers(fdp, n), n)
    check(0 <= eig_sym_trid(d, n, e, z) <= n)

    outside = fdp.PickValueInList([0, -1, 16, 2**31 - 1, -(2**31)])
    w1, z1 = floats([3.0], 1), floats([4.0], 1)
    check(eig(floats([1.0], 1), outside, w1, z1) == -1 and w1[0] == 3.0
          and z1[0] == 4.0)

    a, b = number(fdp), number(fdp)
    h = pythag(a, b)
    if math.isinf(f32(a)) or math.isinf(f32(b)):
        check(h == math.inf, a, b, h)
    elif math.isnan(f32(a)) or math.isnan(f32(b)):
        check(math.isnan(h), a, b, h)
    else:
        check(h >= 0.0, a, b, h)


def op_autopos_mds(fdp):
    n = fdp.ConsumeIntInRange(0, 20)
    if 3 <= n <= 15 and fdp.ConsumeBool():
        points = [tuple(fdp.ConsumeFloatInRange(-1e4, 1e4) for _ in range(3))
                  for _ in range(n)]
        values = [math.dist(p, q) for p in points for q in points]
        for _ in range(fdp.ConsumeIntInRange(0, 4)):
            values[fdp.ConsumeIntInRange(0, n * n - 1)] = number(fdp)
    else:
        values = numbers(fdp, n * n)
    meas = floats(values, n * n)
    est = floats(range(3 * n), 3 * n)
    qf = ctypes.c_int(fdp.ConsumeIntInRange(-(2**31), 2**31 - 1))
    before = snapshot(est), qf.value
    rank = engine_autopos_mds(meas, n, est, ctypes.byref(qf))
    if rank == -1:
        check((snapshot(est), qf.value) == before, "failed survey wrote")
    else:
        check(3 <= n <= 15 and 0 <= rank <= n, n, rank)
        # anchor 0 at the origin, unless a dominant eigenvalue was negative
        for value in (est[0], est[n]):
            check(value == 0.0 or math.isnan(value), "anchor 0 at", value)


def op_math_helpers(fdp):
    mat = floats(numbers(fdp, 9), 9)
    before = snapshot(mat)
    det_3by3(mat)
    inv = floats([], 9)
    code = inv_3by3(inv, mat)
    check(code in (0, -1) and snapshot(mat) == before)
    if code == -1:
        check(all(v == 0.0 for v in inv), list(inv))

    p0, p1 = floats(numbers(fdp, 3), 3), floats(numbers(fdp, 3), 3)
    distances = [get_dist(p0, p1), get_dist2(p0, p1), get_dist3(p0, p1)]
    check(all(same(d, distances[0]) for d in distances), distances)
    check(not get_dist_xy(p0, p1) < 0.0)

    length = fdp.ConsumeIntInRange(1, 30)
    dot_prod(floats(numbers(fdp, length), length),
             floats(numbers(fdp, length), length), length)
    n = fdp.ConsumeIntInRange(-(2**31), 2**31 - 1)
    value = fact(n)
    if n <= 20:
        check(value == math.factorial(max(n, 0)), n, value)
    elif n >= 66:
        check(value == 0, n, value)

    with quiet_stdout():
        print_both(fdp)


@contextlib.contextmanager
def quiet_stdout():
    """Sends the C library's standard output to /dev/null meanwhile (the
    fuzzer reports Python exceptions on standard output)."""
    LIBC.fflush(None)
    saved = os.dup(1)
    os.dup2(DEVNULL, 1)
    try:
        yield
    finally:
        LIBC.fflush(None)
        os.dup2(saved, 1)
        os.close(saved)


def print_both(fdp):
    rows, columns = fdp.ConsumeIntInRange(-1, 5), fdp.ConsumeIntInRange(-1, 5)
    cells = max(rows, 0) * max(columns, 0)
    title = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 16)).replace(b"\0", b"")
    print_mat(floats(numbers(fdp, cells), cells), rows, columns, title)
    count = fdp.ConsumeIntInRange(-1, 6)
    print_vec(floats(numbers(fdp, max(count, 0)), max(count, 0)), count,
              title if fdp.ConsumeBool() else None)
    if fdp.ConsumeBool():
        engine_autopos_test()


OPERATIONS = [
    op_position_engine, op_position_engine_errors, op_autopos, op_autopos_errors,
    op_ls_lm_dif, op_cost_and_residuals, op_fdif_jac, op_linear_solver, op_eig,
    op_autopos_mds, op_math_helpers,
]


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
