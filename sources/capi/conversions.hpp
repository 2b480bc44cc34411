// Number converters (one contract: 0, or -1 with the exception set) and the
// bounded walk that stores the items of an iterable.
#ifndef QZ_CAPI_CONVERSIONS_HPP
#define QZ_CAPI_CONVERSIONS_HPP

#include "capi/refs.hpp"

#include <cfloat>
#include <climits>
#include <cmath>

namespace capi
{

// Rounds a double to the nearest float, ties to even, as the hardware
// conversion does; defined for every input (a plain cast of a finite value
// beyond the float range is undefined behaviour in C++).
inline float narrow_to_float(double value)
{
    // Half an ulp above FLT_MAX rounds (to even) up to infinity.
    const double overflow_bound = 0x1.ffffffp127;
    if (value >= overflow_bound)
        return HUGE_VALF;
    if (value <= -overflow_bound)
        return -HUGE_VALF;
    if (value > FLT_MAX)
        return FLT_MAX;
    if (value < -FLT_MAX)
        return -FLT_MAX;
    return static_cast<float>(value);
}

// The interpreter's float conversion. Returns 0, or -1 with the exception
// set.
inline int to_double(PyObject *obj, double *out)
{
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return 0;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred())
        return -1;
    *out = value;
    return 0;
}

// The interpreter's float conversion, rounded to a 32-bit float.
// Returns 0, or -1 with the exception set.
inline int to_float32(PyObject *obj, float *out)
{
    double value;
    if (to_double(obj, &value) < 0)
        return -1;
    *out = narrow_to_float(value);
    return 0;
}

// The interpreter's integer conversion: `obj` itself when it is an int,
// else the result of its __int__ (a float is truncated) or __index__.
// Returns a new reference, or nullptr with TypeError "an integer is
// required" (or the conversion's own error) set.
inline PyObject *to_python_int(PyObject *obj)
{
    if (PyLong_Check(obj)) {
        Py_INCREF(obj);
        return obj;
    }
    PyNumberMethods *number = Py_TYPE(obj)->tp_as_number;
    Ref converted;
    if (number != nullptr && number->nb_int != nullptr)
        converted = Ref(number->nb_int(obj));
    else if (number != nullptr && number->nb_index != nullptr)
        converted = Ref(PyNumber_Index(obj));
    else {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    if (converted && !PyLong_Check(converted.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(converted.get())->tp_name);
        return nullptr;
    }
    return converted.release();
}

// The integer conversion to a signed 32-bit int; OverflowError "value too
// large to convert to int" outside its range.
inline int to_int32(PyObject *obj, int *out)
{
    Ref number(to_python_int(obj));
    if (!number)
        return -1;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred())
        return -1;
    if (overflow != 0 || value > INT_MAX || value < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError,
                        "value too large to convert to int");
        return -1;
    }
    *out = static_cast<int>(value);
    return 0;
}

// The integer conversion to an unsigned size; OverflowError "can't convert
// negative value to size_t" for a negative value, OverflowError as well
// beyond the range.
inline int to_size(PyObject *obj, size_t *out)
{
    Ref number(to_python_int(obj));
    if (!number)
        return -1;
    const size_t value = PyLong_AsSize_t(number.get());
    if (value == static_cast<size_t>(-1) && PyErr_Occurred())
        return -1;
    *out = value;
    return 0;
}

// Hands the items of `iterable` in order to `store(index, item)`, which
// returns 0 or -1, for at most `capacity` items: an item beyond them calls
// `raise_surplus()` instead, which sets the error and returns -1. Lists and
// tuples are walked directly and refused before anything is stored when
// they are too long; a list's size is re-read at every item, since storing
// may run code that changes it. Anything else goes through its iterator.
template <class Store, class RaiseSurplus>
int store_items(PyObject *iterable, Py_ssize_t capacity, Store store,
                RaiseSurplus raise_surplus)
{
    if (PyList_CheckExact(iterable)) {
        if (PyList_GET_SIZE(iterable) > capacity)
            return raise_surplus();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            if (i >= capacity)
                return raise_surplus();
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            if (store(i, item.get()) < 0)
                return -1;
        }
        return 0;
    }
    if (PyTuple_CheckExact(iterable)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(iterable);
        if (size > capacity)
            return raise_surplus();
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (store(i, PyTuple_GET_ITEM(iterable, i)) < 0)
                return -1;
        }
        return 0;
    }
    Ref iterator(PyObject_GetIter(iterable));
    if (!iterator)
        return -1;
    for (Py_ssize_t i = 0;; ++i) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item)
            return PyErr_Occurred() ? -1 : 0;
        if (i >= capacity)
            return raise_surplus();
        if (store(i, item.get()) < 0)
            return -1;
    }
}

// Reads attribute `name` of `obj` and converts it to a 32-bit float.
inline int attribute_to_float32(PyObject *obj, PyObject *name, float *out)
{
    Ref value(PyObject_GetAttr(obj, name));
    if (!value)
        return -1;
    return to_float32(value.get(), out);
}

} // namespace capi

#endif
