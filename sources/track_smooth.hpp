// smooth() and smooth_in_place() of qz_track: the Rauch-Tung-Striebel pass
// of track-smooth over a filtered track, handed over as flat sequences (and
// copied) or as buffers (and smoothed where they are).
#ifndef QZ_TRACK_SMOOTH_HPP
#define QZ_TRACK_SMOOTH_HPP

#include "capi.hpp"
#include "capi/buffers.hpp"
#include "track-filter.h"
#include "track_arguments.hpp"
#include "track_module_state.hpp"

#include <cmath>

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

// The buffer arguments of smooth_in_place: numbers as doubles, starts as
// bytes (any one-byte format, nonzero for true).
struct BufferArgument {
    const char *name;
    int per_fix;   // items a fix
    bool doubles;  // else bytes
    bool writable; // smoothed in place
};

constexpr BufferArgument IN_PLACE_ARGUMENTS[] = {
    {"times", 1, true, false},       {"states", 4, true, true},
    {"covariances", 10, true, true}, {"starts", 1, false, false},
    {"growths", 1, true, false},
};
enum { IN_PLACE_BUFFERS = 5 };

inline int raise_wrong_buffer(const BufferArgument &argument, PyObject *obj,
                              const char *format)
{
    const char *wanted = argument.doubles
                             ? "a buffer of doubles, such as array('d')"
                             : "a buffer of bytes, such as array('b')";
    if (format == nullptr)
        PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s",
                     argument.name, wanted, Py_TYPE(obj)->tp_name);
    else
        PyErr_Format(PyExc_TypeError,
                     "%s must be %s, not one of format '%.20s'", argument.name,
                     wanted, format);
    return -1;
}

// Holds the buffer of `obj` in `out` once it is of the argument's kind:
// its items' format, C-contiguous, writable where it is smoothed.
inline int acquire_argument(const BufferArgument &argument, PyObject *obj,
                            capi::Buffer &out)
{
    if (!PyObject_CheckBuffer(obj))
        return raise_wrong_buffer(argument, obj, nullptr);
    if (out.acquire(obj, PyBUF_RECORDS_RO) < 0)
        return -1;
    const Py_buffer &view = out.view();
    bool of_kind;
    if (argument.doubles)
        of_kind =
            view.itemsize == sizeof(double) && capi::has_format(view, 'd');
    else
        of_kind =
            view.itemsize == 1 &&
            (capi::has_format(view, 'b') || capi::has_format(view, 'B') ||
             capi::has_format(view, 'c') || capi::has_format(view, '?'));
    if (!of_kind)
        return raise_wrong_buffer(argument, obj,
                                  view.format != nullptr ? view.format : "B");
    if (!PyBuffer_IsContiguous(&view, 'C')) {
        PyErr_Format(PyExc_ValueError, "%s must be contiguous", argument.name);
        return -1;
    }
    if (argument.writable && view.readonly) {
        PyErr_Format(PyExc_TypeError, "%s must be writable, not read-only",
                     argument.name);
        return -1;
    }
    return 0;
}

inline int all_finite(const capi::Buffer &buffer, const char *name)
{
    const double *values = static_cast<const double *>(buffer.data());
    for (Py_ssize_t i = 0; i < buffer.items(); ++i) {
        if (!std::isfinite(values[i])) {
            PyErr_Format(PyExc_ValueError, "%s must be finite", name);
            return -1;
        }
    }
    return 0;
}

inline PyObject *smooth_in_place_impl(PyObject *const *arguments,
                                      double process_noise)
{
    capi::Buffer buffers[IN_PLACE_BUFFERS];
    for (int i = 0; i < IN_PLACE_BUFFERS; ++i) {
        if (acquire_argument(IN_PLACE_ARGUMENTS[i], arguments[i], buffers[i]) <
            0)
            return nullptr;
    }

    // one time a fix sets the count the others must agree with
    const Py_ssize_t count = buffers[0].items();
    if (count > INT_MAX)
        return raise_value_error("too many fixes"), nullptr;
    for (int i = 1; i < IN_PLACE_BUFFERS; ++i) {
        const BufferArgument &argument = IN_PLACE_ARGUMENTS[i];
        const Py_ssize_t expected = argument.per_fix * count;
        if (buffers[i].items() != expected) {
            PyErr_Format(PyExc_ValueError,
                         "%s must hold %d value%s a fix, %zd for %zd times, "
                         "not %zd",
                         argument.name, argument.per_fix,
                         argument.per_fix == 1 ? "" : "s", expected, count,
                         buffers[i].items());
            return nullptr;
        }
    }
    for (int i = 0; i < IN_PLACE_BUFFERS; ++i) {
        if (IN_PLACE_ARGUMENTS[i].doubles &&
            all_finite(buffers[i], IN_PLACE_ARGUMENTS[i].name) < 0)
            return nullptr;
    }

    // the buffers stay exported, so their memory stays put without the GIL
    PyThreadState *saved = PyEval_SaveThread();
    const int result = track_smooth_packed(
        static_cast<int>(count),
        static_cast<const double *>(buffers[0].data()),
        static_cast<double *>(buffers[1].data()),
        static_cast<double *>(buffers[2].data()),
        static_cast<const unsigned char *>(buffers[3].data()),
        static_cast<const double *>(buffers[4].data()), process_noise);
    PyEval_RestoreThread(saved);
    switch (result) {
    case 0:
        Py_RETURN_NONE;
    case TRACK_SMOOTH_BACKWARDS:
        return raise_value_error("times go backwards within a segment"),
               nullptr;
    case TRACK_SMOOTH_GROWTH:
        return raise_out_of_range("growths", 1.0, TRACK_MAX_GROWTH), nullptr;
    default:
        return raise_value_error("a covariance is not positive definite "
                                 "(only the fixes after it are smoothed)"),
               nullptr;
    }
}

inline PyObject *smooth_in_place(PyObject *module, PyObject *const *args,
                                 Py_ssize_t nargs, PyObject *kwnames)
{
    const capi::Signature signature = {
        "smooth_in_place", capi::state_of<State>(module).smooth_keywords, 6,
        6};
    PyObject *values[SMOOTH_KEYWORDS]; // borrowed
    if (capi::bind_arguments(signature, args, nargs, kwnames, values) < 0)
        return nullptr;
    double process_noise;
    if (to_finite_double(values[5], "process_noise", &process_noise) < 0)
        return nullptr;
    if (process_noise < 0.0)
        return raise_value_error("process_noise must not be negative"),
               nullptr;
    return smooth_in_place_impl(values, process_noise);
}

} // namespace track

#endif
