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

// callable(*args) and obj.name(*args), the arguments borrowed, through the
// vectorcall protocol: no tuple, and a bound method is called without
// copying them (slot 0 of the stack is left for its instance). A new
// reference, or nullptr with an exception set. Before 3.9 the method call
// takes the variadic path.
template <class... Args> PyObject *call(PyObject *callable, Args... args)
{
    PyObject *stack[] = {nullptr, args...};
    constexpr size_t count = sizeof...(Args);
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(
        callable, stack + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#else
    return _PyObject_Vectorcall(
        callable, stack + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#endif
}

template <class... Args>
PyObject *call_method(PyObject *obj, PyObject *name, Args... args)
{
#if PY_VERSION_HEX >= 0x03090000
    PyObject *stack[] = {nullptr, obj, args...};
    constexpr size_t count = 1 + sizeof...(Args);
    return PyObject_VectorcallMethod(
        name, stack + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#else
    return PyObject_CallMethodObjArgs(obj, name, args..., nullptr);
#endif
}

} // namespace capi

#endif
