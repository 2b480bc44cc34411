// The assertion switch: the modules' own checks are assertions, off under -O.
#ifndef QZ_CAPI_ASSERTIONS_HPP
#define QZ_CAPI_ASSERTIONS_HPP

#include "capi/refs.hpp"

namespace capi
{

// Assertions are off while the interpreter runs optimised (-O). Up to 3.11
// the interpreter's flag is read at every check, as compiled assertions do;
// later versions deprecate the flag, so the level is read once at import
// from sys.flags, where it cannot change afterwards.
#if PY_VERSION_HEX < 0x030C0000
inline int init_assertions()
{
    return 0;
}
inline bool assertions_enabled()
{
    return Py_OptimizeFlag == 0;
}
#else
inline int &optimize_level() noexcept
{
    static int level = 0;
    return level;
}
inline int init_assertions()
{
    PyObject *flags = PySys_GetObject("flags"); // borrowed
    if (flags == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "sys.flags is missing");
        return -1;
    }
    Ref level(PyObject_GetAttrString(flags, "optimize"));
    if (!level)
        return -1;
    long value = PyLong_AsLong(level.get());
    if (value == -1 && PyErr_Occurred())
        return -1;
    optimize_level() = value != 0;
    return 0;
}
inline bool assertions_enabled()
{
    return optimize_level() == 0;
}
#endif

// A failed assertion: AssertionError without arguments. Returns -1.
inline int raise_assertion()
{
    PyErr_SetNone(PyExc_AssertionError);
    return -1;
}

} // namespace capi

#endif
