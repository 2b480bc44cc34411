// The checked readings of qz_track's number parameters: finite values in
// their ranges, with errors that name the parameter.
#ifndef QZ_TRACK_ARGUMENTS_HPP
#define QZ_TRACK_ARGUMENTS_HPP

#include "capi.hpp"

#include <cmath>
#include <cstdio>

namespace track
{

inline int raise_value_error(const char *message)
{
    PyErr_SetString(PyExc_ValueError, message);
    return -1;
}

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

// The error of a value outside [low, high]; the interpreter's formatter
// has no floats, so the text is made here.
inline int raise_out_of_range(const char *what, double low, double high)
{
    char message[160];
    std::snprintf(message, sizeof message, "%.60s must be from %g to %g", what,
                  low, high);
    return raise_value_error(message);
}

// A finite number from low to high.
inline int to_bounded_double(PyObject *obj, const char *what, double low,
                             double high, double *out)
{
    if (to_finite_double(obj, what, out) < 0)
        return -1;
    if (!(*out >= low && *out <= high))
        return raise_out_of_range(what, low, high);
    return 0;
}

// An optional keyword parameter: `obj` when given, else the default.
inline int optional_double(PyObject *obj, double fallback, const char *what,
                           double low, double high, double *out)
{
    if (obj == nullptr) {
        *out = fallback;
        return 0;
    }
    return to_bounded_double(obj, what, low, high, out);
}

// Reads exactly `count` finite numbers of `values` into `out`, naming the
// sequence as `what` in the errors.
inline int load_doubles(PyObject *values, double *out, Py_ssize_t count,
                        const char *what)
{
    Py_ssize_t stored = 0;
    auto store = [out, what, &stored](Py_ssize_t i, PyObject *item) {
        stored = i + 1;
        return to_finite_double(item, what, &out[i]);
    };
    auto surplus = [what] {
        PyErr_Format(PyExc_ValueError, "%s has too many values", what);
        return -1;
    };
    if (capi::store_items(values, count, store, surplus) < 0)
        return -1;
    if (stored != count) {
        PyErr_Format(PyExc_ValueError, "%s has too few values", what);
        return -1;
    }
    return 0;
}

// One number per anchor, each from low to high; a single number stands for
// all of them.
inline int per_anchor(PyObject *obj, const char *what, double low, double high,
                      double *out, int count)
{
    if (PyNumber_Check(obj) && !PySequence_Check(obj)) {
        double value;
        if (to_bounded_double(obj, what, low, high, &value) < 0)
            return -1;
        for (int i = 0; i < count; ++i)
            out[i] = value;
        return 0;
    }
    if (load_doubles(obj, out, count, what) < 0)
        return -1;
    for (int i = 0; i < count; ++i) {
        if (!(out[i] >= low && out[i] <= high))
            return raise_out_of_range(what, low, high);
    }
    return 0;
}

} // namespace track

#endif
