"""ctypes bindings of the tag solver's exported C routines."""
import ctypes

import qz_engine

from conftest import load_engine_library

c_float_p = ctypes.POINTER(ctypes.c_float)
c_int_p = ctypes.POINTER(ctypes.c_int)


class AnchorPos(ctypes.Structure):
    _fields_ = [("x", ctypes.c_float), ("y", ctypes.c_float), ("z", ctypes.c_float)]


lib = load_engine_library(qz_engine)

lib.ls_lm_dif.restype = ctypes.c_int
lib.ls_lm_dif.argtypes = [c_float_p, c_float_p, ctypes.c_int, ctypes.c_int,
                          ctypes.c_int, c_float_p, ctypes.POINTER(AnchorPos)]
lib.engine_ls_cost_fnc.restype = None
lib.engine_ls_cost_fnc.argtypes = [ctypes.POINTER(AnchorPos), c_float_p, c_float_p,
                                   ctypes.c_int, ctypes.c_int]
lib.fdif_jac.restype = None
lib.fdif_jac.argtypes = [c_float_p, c_float_p, c_float_p, c_float_p, ctypes.c_int,
                         ctypes.c_int, ctypes.POINTER(AnchorPos)]
lib.vec_dif_L2_norm.restype = ctypes.c_float
lib.vec_dif_L2_norm.argtypes = [c_float_p, c_float_p, c_float_p, ctypes.c_int]
lib.lu_decomp.restype = ctypes.c_int
lib.lu_decomp.argtypes = [c_float_p, ctypes.c_int, c_int_p]
lib.lu_solve.restype = ctypes.c_int
lib.lu_solve.argtypes = [c_float_p, c_float_p, ctypes.c_int, c_int_p]
lib.solve_lin_sys_LU.restype = ctypes.c_int
lib.solve_lin_sys_LU.argtypes = [c_float_p, c_float_p, c_float_p, ctypes.c_int]


def floats(values, size=None):
    values = list(values)
    return (ctypes.c_float * (size or len(values) or 1))(*values)


def anchors(points):
    points = [tuple(p) + (0.0,) * (3 - len(p)) for p in points]
    return (AnchorPos * (len(points) or 1))(*points)


def fit(start, measurements, anchor_points, *, dim=2, kmax=8):
    """Runs ls_lm_dif; returns (result, fitted point as a list, sse)."""
    p = floats(start, 3)
    sse = ctypes.c_float(-1.0)
    result = lib.ls_lm_dif(p, floats(measurements), dim, len(measurements), kmax,
                           ctypes.byref(sse), anchors(anchor_points))
    return result, list(p)[:dim], sse.value
