// Ordinary classes built as a class statement builds them, and the
// pickling refusal of the extension types.
#ifndef QZ_CAPI_CLASSES_HPP
#define QZ_CAPI_CLASSES_HPP

#include "capi/arguments.hpp"
#include "capi/refs.hpp"

namespace capi
{

// Puts `def` into a class namespace as a function: an instance method whose
// C function receives `self` (the module unless given) as its C `self` and
// the instance as its first argument, just as a function defined in a
// class body would.
inline int add_function(PyObject *ns, PyMethodDef *def, PyObject *module,
                        PyObject *self)
{
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name)
        return -1;
    Ref function(PyCFunction_NewEx(def, self, module_name.get()));
    if (!function)
        return -1;
    Ref method(PyInstanceMethod_New(function.get()));
    if (!method)
        return -1;
    return PyDict_SetItemString(ns, def->ml_name, method.get());
}

inline int add_function(PyObject *ns, PyMethodDef *def, PyObject *module)
{
    return add_function(ns, def, module, module);
}

// Binds `value` as the attribute `name` of `module`, taking it over.
inline int add_to_module(PyObject *module, const char *name, Ref value)
{
    if (PyModule_AddObject(module, name, value.get()) < 0)
        return -1;
    value.release(); // the module owns it now
    return 0;
}

// Creates an ordinary class of `module`, as a class statement would:
// type(name, bases, namespace) with __module__ and __qualname__ set.
// Returns a new reference.
inline PyObject *new_class(PyObject *module, const char *name, PyObject *base,
                           PyObject *ns)
{
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name)
        return nullptr;
    if (PyDict_SetItemString(ns, "__module__", module_name.get()) < 0)
        return nullptr;
    Ref qualname(PyUnicode_FromString(name));
    if (!qualname || PyDict_SetItemString(ns, "__qualname__", qualname.get()))
        return nullptr;
    Ref bases(PyTuple_Pack(1, base));
    if (!bases)
        return nullptr;
    return PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type),
                                 "sOO", name, bases.get(), ns);
}

// The pickling hooks of the extension types: both refuse, so neither
// pickle nor the copy protocol can reproduce an instance.
inline PyObject *raise_no_default_reduce()
{
    PyErr_SetString(PyExc_TypeError,
                    "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

inline PyObject *refuse_reduce(PyObject *, PyObject *const *, Py_ssize_t nargs,
                               PyObject *kwnames)
{
    if (expect_no_arguments("__reduce__", nargs, kwnames) < 0)
        return nullptr;
    return raise_no_default_reduce();
}

inline PyObject *refuse_setstate(PyObject *, PyObject *const *,
                                 Py_ssize_t nargs, PyObject *kwnames)
{
    if (expect_one_argument("__setstate__", nargs, kwnames) < 0)
        return nullptr;
    return raise_no_default_reduce();
}

#define CAPI_PICKLING_REFUSAL_METHODS                                         \
    {"__reduce__", capi::fastcall(capi::refuse_reduce),                       \
     METH_FASTCALL | METH_KEYWORDS, nullptr},                                 \
    {                                                                         \
        "__setstate__", capi::fastcall(capi::refuse_setstate),                \
            METH_FASTCALL | METH_KEYWORDS, nullptr                            \
    }

} // namespace capi

#endif
