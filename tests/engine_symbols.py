"""ctypes declarations of the C routines that qz_engine and qz_autopos export,
made once for the tests, the fuzz harness and the benchmarks: `levmar` and
`autopos`, the two libraries with each routine's result and argument types
set as its header declares it, and `libc` for flushing what the printers
write. Standard library only, apart from the modules themselves."""
import ctypes

import qz_autopos
import qz_engine

F32 = ctypes.c_float
F32P = ctypes.POINTER(F32)
INTP = ctypes.POINTER(ctypes.c_int)
c_float_p, c_int_p = F32P, INTP  # the names the tests use


class AnchorPos(ctypes.Structure):
    """anchor_pos_t: x, y, z without gaps."""
    _fields_ = [("x", F32), ("y", F32), ("z", F32)]


APP = ctypes.POINTER(AnchorPos)
# A single point, an anchor_pos_t or a vec3d_t (three floats either way),
# is passed as a float array.
VEC = F32P

# name, result type, argument types, in the order of the headers
ROUTINES = {
    qz_engine: [
        ("ls_lm_dif", ctypes.c_int, [F32P, F32P, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                     F32P, APP]),
        ("engine_ls_cost_fnc", None, [APP, F32P, F32P, ctypes.c_int, ctypes.c_int]),
        ("fdif_jac", None, [F32P, F32P, F32P, F32P, ctypes.c_int, ctypes.c_int, APP]),
        ("vec_dif_L2_norm", F32, [F32P, F32P, F32P, ctypes.c_int]),
        ("lu_decomp", ctypes.c_int, [F32P, ctypes.c_int, INTP]),
        ("lu_solve", ctypes.c_int, [F32P, F32P, ctypes.c_int, INTP]),
        ("solve_lin_sys_LU", ctypes.c_int, [F32P, F32P, F32P, ctypes.c_int]),
    ],
    qz_autopos: [
        ("engine_autopos_mds", ctypes.c_int, [F32P, ctypes.c_int, F32P, INTP]),
        ("engine_autopos_test", None, []),
        ("eig", ctypes.c_int, [F32P, ctypes.c_int, F32P, F32P]),
        ("trans_sym_to_trid", None, [F32P, ctypes.c_int, F32P, F32P, F32P]),
        ("eig_sym_trid", ctypes.c_int, [F32P, ctypes.c_int, F32P, F32P]),
        ("pythag", F32, [F32, F32]),
        ("det_3by3", F32, [F32P]),
        ("inv_3by3", ctypes.c_int, [F32P, F32P]),
        ("get_dist", F32, [VEC, VEC]),
        ("get_dist2", F32, [VEC, F32P]),
        ("get_dist3", F32, [VEC, VEC]),
        ("get_dist_xy", F32, [VEC, VEC]),
        ("dot_prod", F32, [F32P, F32P, ctypes.c_int]),
        ("fact", ctypes.c_uint64, [ctypes.c_int]),
        ("print_mat", None, [F32P, ctypes.c_int, ctypes.c_int, ctypes.c_char_p]),
        ("print_vec", None, [F32P, ctypes.c_int, ctypes.c_char_p]),
    ],
}


def load(module):
    """The shared object of `module` with its routines declared."""
    library = ctypes.CDLL(module.__file__)
    for name, restype, argtypes in ROUTINES[module]:
        routine = getattr(library, name)
        routine.restype = restype
        routine.argtypes = argtypes
    return library


levmar = load(qz_engine)
autopos = load(qz_autopos)
lib = levmar  # the levmar tests' name for it

libc = ctypes.CDLL(None)
libc.fflush.argtypes = [ctypes.c_void_p]
libc.fflush.restype = ctypes.c_int


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
    result = levmar.ls_lm_dif(p, floats(measurements), dim, len(measurements), kmax,
                              ctypes.byref(sse), anchors(anchor_points))
    return result, list(p)[:dim], sse.value
