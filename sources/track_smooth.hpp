// smooth() of qz_track: the Rauch-Tung-Striebel pass of track-filter over a
// filtered track handed over as flat sequences.
#ifndef QZ_TRACK_SMOOTH_HPP
#define QZ_TRACK_SMOOTH_HPP

#include "capi.hpp"
#include "track-filter.h"
#include "track_arguments.hpp"
#include "track_module_state.hpp"

namespace track
{

inline PyObject *smooth_impl(PyObject *times, PyObject *states, PyObject *covs,
                             PyObject *starts, PyObject *growths,
                             double process_noise)
{
    const Py_ssize_t count = PyObject_Size(times);
    if (count < 0)
        return nullptr;
    if (count > INT_MAX / 16)
        return raise_value_error("too many fixes"), nullptr;
    const size_t n = static_cast<size_t>(count);
    double *buffer = PyMem_New(double, 22 * n + 1);
    unsigned char *breaks = PyMem_New(unsigned char, n + 1);
    PyObject *result = nullptr;
    double *t = buffer, *x = buffer + n, *c = buffer + 5 * n,
           *g = buffer + 21 * n;
    Py_ssize_t stored = 0;
    auto store_start = [breaks, &stored](Py_ssize_t i, PyObject *item) {
        const int truth = PyObject_IsTrue(item);
        if (truth < 0)
            return -1;
        breaks[i] = static_cast<unsigned char>(truth);
        stored = i + 1;
        return 0;
    };
    auto surplus = [] {
        return raise_value_error("starts has too many values");
    };
    if (buffer == nullptr || breaks == nullptr) {
        PyErr_NoMemory();
        goto done;
    }
    if (load_doubles(times, t, count, "times") < 0 ||
        load_doubles(states, x, 4 * count, "states") < 0 ||
        load_doubles(covs, c, 16 * count, "covariances") < 0 ||
        load_doubles(growths, g, count, "growths") < 0 ||
        capi::store_items(starts, count, store_start, surplus) < 0)
        goto done;
    if (stored != count) {
        raise_value_error("starts has too few values");
        goto done;
    }
    if (track_smooth(static_cast<int>(count), t, x, c, breaks, g,
                     process_noise) < 0) {
        raise_value_error("times go backwards, a growth is outside 1 to 1e4 "
                          "or a covariance is not positive definite");
        goto done;
    }
    result = PyList_New(count);
    if (result == nullptr)
        goto done;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const double *s = x + 4 * i, *p = c + 16 * i;
        const double sd =
            std::sqrt(p[0] > 0.0 && p[5] > 0.0 ? p[0] + p[5] : 0.0);
        PyObject *item = Py_BuildValue("(ddd)", s[0], s[1], sd);
        if (item == nullptr) {
            Py_CLEAR(result);
            goto done;
        }
        PyList_SET_ITEM(result, i, item); // steals
    }
done:
    PyMem_Free(buffer);
    PyMem_Free(breaks);
    return result;
}

inline PyObject *smooth(PyObject *module, PyObject *const *args,
                        Py_ssize_t nargs, PyObject *kwnames)
{
    const capi::Signature signature = {
        "smooth", capi::state_of<State>(module).smooth_keywords, 6, 6};
    PyObject *values[SMOOTH_KEYWORDS]; // borrowed
    if (capi::bind_arguments(signature, args, nargs, kwnames, values) < 0)
        return nullptr;
    double process_noise;
    if (to_finite_double(values[5], "process_noise", &process_noise) < 0)
        return nullptr;
    if (process_noise < 0.0)
        return raise_value_error("process_noise must not be negative"),
               nullptr;
    return smooth_impl(values[0], values[1], values[2], values[3], values[4],
                       process_noise);
}

} // namespace track

#endif
