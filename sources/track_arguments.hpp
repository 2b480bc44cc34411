// The checked readings of qz_track's number parameters: finite values, with
// errors that name the parameter.
#ifndef QZ_TRACK_ARGUMENTS_HPP
#define QZ_TRACK_ARGUMENTS_HPP

#include "capi.hpp"

#include <cmath>

namespace track
{

inline int to_finite_double(PyObject *obj, const char *what, double *out)
{
    if (capi::to_double(obj, out) < 0)
        return -1;
    if (!std::isfinite(*out)) {
        PyErr_Format(PyExc_ValueError, "%s must be finite", what);
        return -1;
    }
    return 0;
}

// An optional keyword parameter: `obj` when given, else the default.
inline int optional_double(PyObject *obj, double fallback, const char *what,
                           double *out)
{
    if (obj == nullptr) {
        *out = fallback;
        return 0;
    }
    return to_finite_double(obj, what, out);
}

inline int raise_value_error(const char *message)
{
    PyErr_SetString(PyExc_ValueError, message);
    return -1;
}

} // namespace track

#endif
