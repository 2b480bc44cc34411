"""ctypes bindings of qz_track's exported C routines and their records, for
the tests and the fuzz harness."""
import ctypes

import qz_track

MAX_ANCHORS = 32
STATES = 5
c_double_p = ctypes.POINTER(ctypes.c_double)
c_ubyte_p = ctypes.POINTER(ctypes.c_ubyte)


class Anchor(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double), ("z", ctypes.c_double)]


class Params(ctypes.Structure):
    _fields_ = [(name, ctypes.c_double) for name in (
        "accel_noise", "gate_long", "gate_short", "height", "max_range", "max_gap")]
    _fields_ += [("max_bad", ctypes.c_int)]
    _fields_ += [(name, ctypes.c_double) for name in ("offset", "offset_sd", "speed_sd")]


class Model(ctypes.Structure):
    _fields_ = [("count", ctypes.c_int), ("estimate_noise", ctypes.c_int),
                ("learns_offsets", ctypes.c_int), ("sigma", ctypes.c_double),
                ("noise_samples", ctypes.c_longlong),
                ("offset", ctypes.c_double * MAX_ANCHORS),
                ("cov", ctypes.c_double * (MAX_ANCHORS * MAX_ANCHORS))]


class State(ctypes.Structure):
    _fields_ = [("state", ctypes.c_double * STATES),
                ("cov", ctypes.c_double * (STATES * STATES)),
                ("coupling", ctypes.c_double * (STATES * MAX_ANCHORS)),
                ("offset_seen", ctypes.c_double * MAX_ANCHORS),
                ("time", ctypes.c_double), ("fused_time", ctypes.c_double),
                ("growth", ctypes.c_double), ("seeded", ctypes.c_int),
                ("bad_streak", ctypes.c_int), ("restarted", ctypes.c_int),
                ("has_offset", ctypes.c_int)]


lib = ctypes.CDLL(qz_track.__file__)
_S, _P, _M = (ctypes.POINTER(t) for t in (State, Params, Model))
_A = ctypes.POINTER(Anchor)
for name, restype, argtypes in [
        ("track_model_init", ctypes.c_int,
         [_M, ctypes.c_int, c_double_p, c_double_p, ctypes.c_double, ctypes.c_int]),
        ("track_needs_seed", ctypes.c_int, [_S, _P, ctypes.c_double]),
        ("track_seed", ctypes.c_int, [_S, _P, _M, _A, c_double_p, c_ubyte_p,
                                      ctypes.c_double, ctypes.c_double, ctypes.c_double]),
        ("track_predict", ctypes.c_int, [_S, _P, ctypes.c_double]),
        ("track_fuse", ctypes.c_int, [_S, _P, _M, _A, c_double_p, c_ubyte_p]),
        ("track_catch_up", None, [_S, _M]),
        ("track_marginal", None, [_S, _M, c_double_p]),
        ("track_position_marginal", None, [_S, _M, c_double_p]),
        ("track_dop", ctypes.c_double, [_A, ctypes.c_int, c_ubyte_p] + [ctypes.c_double] * 3),
        ("track_smooth", ctypes.c_int, [ctypes.c_int, c_double_p, c_double_p, c_double_p,
                                        c_ubyte_p, c_double_p, ctypes.c_double]),
        ("track_smooth_packed", ctypes.c_int, [ctypes.c_int, c_double_p, c_double_p,
                                               c_double_p, c_ubyte_p, c_double_p,
                                               ctypes.c_double])]:
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = argtypes


def doubles(values, size=MAX_ANCHORS):
    """A double[size] holding `values` first."""
    values = list(values)
    return (ctypes.c_double * max(size, len(values)))(*values)


def anchors(points, size=MAX_ANCHORS):
    """An Anchor[size] of (x, y) or (x, y, z) points."""
    return (Anchor * max(size, len(points)))(*[Anchor(*p, *(0.0,) * (3 - len(p)))
                                                for p in points])
