// The plain Position record (x, y, z) that qz_engine and qz_autopos each
// define as an ordinary class of their own.
#ifndef QZ_POSITION_CLASS_HPP
#define QZ_POSITION_CLASS_HPP

#include "capi.hpp"

#include <utility>

namespace position_class
{

// What the functions of one module's Position read, held in a tuple that
// they receive as their C `self`: it lives as long as the functions, so
// the class needs nothing from its module's state.
enum Name : Py_ssize_t {
    name_self, // the parameter names self, x, y, z of __init__
    name_x,
    name_y,
    name_z,
    name_format,        // str.format
    name_repr_template, // "({}, {}, {})"
    name_count
};

inline PyObject *name(PyObject *names, Name which)
{
    return PyTuple_GET_ITEM(names, which);
}

inline PyObject *position_init(PyObject *names, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *const keywords[4] = {name(names, name_self), name(names, name_x),
                                   name(names, name_y), name(names, name_z)};
    const capi::Signature signature = {"__init__", keywords, 4, 4};
    PyObject *values[4]; // borrowed
    if (capi::bind_arguments(signature, args, nargs, kwnames, values) < 0)
        return nullptr;
    for (int i = 1; i < 4; ++i) {
        if (PyObject_SetAttr(values[0], keywords[i], values[i]) < 0)
            return nullptr;
    }
    Py_RETURN_NONE;
}

inline PyObject *position_repr(PyObject *names, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames)
{
    if (capi::expect_one_argument("__repr__", nargs, kwnames) < 0)
        return nullptr;
    capi::Ref coordinates[3];
    for (int i = 0; i < 3; ++i) {
        coordinates[i] = capi::Ref(PyObject_GetAttr(
            args[0], name(names, static_cast<Name>(name_x + i))));
        if (!coordinates[i])
            return nullptr;
    }
    return PyObject_CallMethodObjArgs(
        name(names, name_repr_template), name(names, name_format),
        coordinates[0].get(), coordinates[1].get(), coordinates[2].get(),
        nullptr);
}

inline PyMethodDef init_def = {"__init__", capi::fastcall(position_init),
                               METH_FASTCALL | METH_KEYWORDS, nullptr};
inline PyMethodDef repr_def = {"__repr__", capi::fastcall(position_repr),
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

// The class Position as the globals of `module` hold it now, `name` being
// the interned "Position": a new reference, or nullptr with NameError.
inline PyObject *lookup(PyObject *module, PyObject *name)
{
    return capi::lookup_global(PyModule_GetDict(module), name);
}

// Adds the class Position to `module`. Returns 0, or -1 with an exception.
inline int add_to_module(PyObject *module)
{
    const char *texts[name_count] = {"self", "x",      "y",
                                     "z",    "format", "({}, {}, {})"};
    capi::Ref names(PyTuple_New(name_count));
    if (!names)
        return -1;
    for (Py_ssize_t i = 0; i < name_count; ++i) {
        PyObject *text = PyUnicode_InternFromString(texts[i]);
        if (text == nullptr)
            return -1;
        PyTuple_SET_ITEM(names.get(), i, text); // steals
    }

    capi::Ref ns(PyDict_New());
    if (!ns)
        return -1;
    capi::Ref doc(PyUnicode_FromString(
        "Position(x, y, z): a point with attributes x, y and z, stored as "
        "given."));
    if (!doc || PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0)
        return -1;
    if (capi::add_function(ns.get(), &init_def, module, names.get()) < 0 ||
        capi::add_function(ns.get(), &repr_def, module, names.get()) < 0)
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
