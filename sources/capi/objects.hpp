// The object protocol as the decoders and bindings use it: attribute access
// through the type's slots, equality as `assert a == b` tests it, and the
// lookup of a module global.
#ifndef QZ_CAPI_OBJECTS_HPP
#define QZ_CAPI_OBJECTS_HPP

#include "capi/refs.hpp"

namespace capi
{

// Attribute access through the type's slots; interned names need no
// interning by PyObject_GetAttr and PyObject_SetAttr on every call.
inline PyObject *get_attr(PyObject *obj, PyObject *name)
{
    getattrofunc get = Py_TYPE(obj)->tp_getattro;
    return get != nullptr ? get(obj, name) : PyObject_GetAttr(obj, name);
}

inline int set_attr(PyObject *obj, PyObject *name, PyObject *value)
{
    setattrofunc set = Py_TYPE(obj)->tp_setattro;
    return set != nullptr ? set(obj, name, value)
                          : PyObject_SetAttr(obj, name, value);
}

// `a == b` followed by a truth test, as in `assert a == b`: 1, 0 or -1.
inline int equal(PyObject *a, PyObject *b)
{
    Ref result(PyObject_RichCompare(a, b, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// Looks `name` up as a global of a module whose namespace is `globals`, then
// among the builtins, as the interpreter does for a global name. Returns a
// new reference, or nullptr with NameError (or another error) set.
inline PyObject *lookup_global(PyObject *globals, PyObject *name)
{
    PyObject *value = PyDict_GetItemWithError(globals, name); // borrowed
    if (value == nullptr && !PyErr_Occurred()) {
        PyObject *builtins = PyEval_GetBuiltins(); // borrowed
        if (builtins != nullptr)
            value = PyDict_GetItemWithError(builtins, name);
        if (value == nullptr && !PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    Py_XINCREF(value);
    return value;
}

} // namespace capi

#endif
