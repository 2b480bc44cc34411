// The plain Position record (x, y, z) that qz_engine and qz_autopos each
// define as an ordinary class of their own.
#ifndef QZ_POSITION_CLASS_HPP
#define QZ_POSITION_CLASS_HPP

#include "capi.hpp"

#include <utility>

namespace position_class {

// Parameter names of __init__: self, x, y, z.
static PyObject *parameter_names[4];
static PyObject *str_format;
static PyObject *repr_template;

static const capi::Signature init_signature = {"__init__", parameter_names,
                                               4, 4};

static PyObject *position_init(PyObject *, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *values[4]; // borrowed
    if (capi::bind_arguments(init_signature, args, nargs, kwnames, values) <
        0)
        return nullptr;
    for (int i = 1; i < 4; ++i) {
        if (PyObject_SetAttr(values[0], parameter_names[i], values[i]) < 0)
            return nullptr;
    }
    Py_RETURN_NONE;
}

static PyObject *position_repr(PyObject *, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames)
{
    if (capi::expect_one_argument("__repr__", nargs, kwnames) < 0)
        return nullptr;
    capi::Ref coordinates[3];
    for (int i = 0; i < 3; ++i) {
        coordinates[i] =
            capi::Ref(PyObject_GetAttr(args[0], parameter_names[i + 1]));
        if (!coordinates[i])
            return nullptr;
    }
    return PyObject_CallMethodObjArgs(repr_template, str_format,
                                      coordinates[0].get(),
                                      coordinates[1].get(),
                                      coordinates[2].get(), nullptr);
}

static PyMethodDef init_def = {
    "__init__", capi::fastcall(position_init),
    METH_FASTCALL | METH_KEYWORDS, nullptr};
static PyMethodDef repr_def = {
    "__repr__", capi::fastcall(position_repr),
    METH_FASTCALL | METH_KEYWORDS, nullptr};

// position_class(x, y, z), x and y widened to Python floats: how the
// modules hand coordinates back. Returns a new reference.
inline PyObject *new_position(PyObject *position_class, float x, float y,
                              PyObject *z)
{
    capi::Ref x_value(PyFloat_FromDouble(x));
    capi::Ref y_value(PyFloat_FromDouble(y));
    if (!x_value || !y_value)
        return nullptr;
    return PyObject_CallFunctionObjArgs(position_class, x_value.get(),
                                        y_value.get(), z, nullptr);
}

inline PyObject *new_position(PyObject *position_class, float x, float y,
                              float z)
{
    capi::Ref z_value(PyFloat_FromDouble(z));
    if (!z_value)
        return nullptr;
    return new_position(position_class, x, y, z_value.get());
}

// Adds the class Position to `module`. Returns 0, or -1 with an exception.
inline int add_to_module(PyObject *module)
{
    const char *names[4] = {"self", "x", "y", "z"};
    for (int i = 0; i < 4; ++i) {
        if (capi::intern(parameter_names[i], names[i]) < 0)
            return -1;
    }
    if (capi::intern(str_format, "format") < 0 ||
        capi::intern(repr_template, "({}, {}, {})") < 0)
        return -1;

    capi::Ref ns(PyDict_New());
    if (!ns)
        return -1;
    capi::Ref doc(PyUnicode_FromString(
        "Position(x, y, z): a point with attributes x, y and z, stored as "
        "given."));
    if (!doc || PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0)
        return -1;
    if (capi::add_function(ns.get(), &init_def, module) < 0 ||
        capi::add_function(ns.get(), &repr_def, module) < 0)
        return -1;
    capi::Ref cls(capi::new_class(
        module, "Position", reinterpret_cast<PyObject *>(&PyBaseObject_Type),
        ns.get()));
    if (!cls)
        return -1;
    return capi::add_to_module(module, "Position", std::move(cls));
}

} // namespace position_class

#endif
