// Argument binding for the modules' callables, with the interpreter's
// own messages.
#ifndef QZ_CAPI_ARGUMENTS_HPP
#define QZ_CAPI_ARGUMENTS_HPP

#include "capi/refs.hpp"

namespace capi
{

// The parameters of a callable: its name for messages, its parameter names
// as interned strings (filled at import), how many are required, and how
// many there are. The first `positional_limit` can be passed by position
// (0: all of them); the rest are keyword-only. For functions of ordinary
// classes the parameters include `self`.
struct Signature {
    const char *name;
    PyObject *const *keywords;
    Py_ssize_t min_count;
    Py_ssize_t max_count;
    Py_ssize_t positional_limit = 0;

    Py_ssize_t max_positional() const
    {
        return positional_limit > 0 ? positional_limit : max_count;
    }
};

inline int raise_count_error(const Signature &sig, Py_ssize_t given)
{
    const char *form;
    Py_ssize_t expected;
    const Py_ssize_t most = sig.max_positional();
    if (sig.min_count == most) {
        form = "exactly";
        expected = sig.min_count;
    } else if (given < sig.min_count) {
        form = "at least";
        expected = sig.min_count;
    } else {
        form = "at most";
        expected = most;
    }
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s "
                 "(%zd given)",
                 sig.name, form, expected, expected == 1 ? "" : "s", given);
    return -1;
}

// Index of the parameter called `name`, -1 if there is none, -2 on error.
// Interned names match by pointer; others by equality.
inline Py_ssize_t find_parameter(const Signature &sig, PyObject *name)
{
    for (Py_ssize_t i = 0; i < sig.max_count; ++i) {
        if (sig.keywords[i] == name)
            return i;
    }
    for (Py_ssize_t i = 0; i < sig.max_count; ++i) {
        int equal = PyObject_RichCompareBool(sig.keywords[i], name, Py_EQ);
        if (equal < 0)
            return -2;
        if (equal)
            return i;
    }
    return -1;
}

// Keyword arguments of a vectorcall: names in a tuple, values after the
// positional arguments.
struct VectorKeywords {
    PyObject *names;
    PyObject *const *values;

    Py_ssize_t size() const { return names ? PyTuple_GET_SIZE(names) : 0; }
    PyObject *name(Py_ssize_t i) const { return PyTuple_GET_ITEM(names, i); }
    PyObject *value(Py_ssize_t i) const { return values[i]; }
};

// Binds the arguments of a call to the parameters of `sig`: out[i] receives
// a borrowed reference, or nullptr for an omitted optional parameter. `out`
// holds sig.max_count entries. The checks run in a fixed order: too many
// positional arguments, then each missing required parameter in order, then
// each keyword in the order given.
inline int bind_arguments(const Signature &sig, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames, PyObject **out)
{
    VectorKeywords keywords{kwnames, args + nargs};
    if (nargs > sig.max_positional())
        return raise_count_error(sig, nargs);
    for (Py_ssize_t i = 0; i < sig.max_count; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t keyword_count = keywords.size();
    if (keyword_count == 0) {
        if (nargs < sig.min_count)
            return raise_count_error(sig, nargs);
        return 0;
    }
    for (Py_ssize_t i = nargs; i < sig.min_count; ++i) {
        bool found = false;
        for (Py_ssize_t k = 0; k < keyword_count && !found; ++k) {
            Py_ssize_t index = find_parameter(sig, keywords.name(k));
            if (index == -2)
                return -1;
            found = index == i;
        }
        if (!found)
            return raise_count_error(sig, i);
    }
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject *name = keywords.name(k);
        Py_ssize_t index = find_parameter(sig, name);
        if (index == -2)
            return -1;
        if (index == -1) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got an unexpected keyword argument '%U'",
                         sig.name, name);
            return -1;
        }
        if (index < nargs || out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'",
                         sig.name, name);
            return -1;
        }
        out[index] = keywords.value(k);
    }
    return 0;
}

// The same for a call that arrives as a tuple and a dict (tp_new, tp_init).
inline int bind_arguments(const Signature &sig, PyObject *args,
                          PyObject *kwargs, PyObject **out)
{
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0)
        return bind_arguments(sig, &PyTuple_GET_ITEM(args, 0), nargs, nullptr,
                              out);
    // Lay the call out as a vectorcall: positional values, then keyword
    // values, with the names in a tuple.
    Py_ssize_t keyword_count = PyDict_GET_SIZE(kwargs);
    Ref names(PyTuple_New(keyword_count));
    if (!names)
        return -1;
    PyObject **values =
        PyMem_New(PyObject *, static_cast<size_t>(nargs + keyword_count));
    if (values == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        values[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value) && k < keyword_count) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(names.get(), k, key); // steals
        values[nargs + k] = value;             // borrowed from kwargs
        ++k;
    }
    int result = bind_arguments(sig, values, nargs, names.get(), out);
    PyMem_Free(values);
    return result;
}

// Callables that take no argument, or exactly one, with the interpreter's
// own wording but the plain function name.
inline int expect_no_arguments(const char *name, Py_ssize_t nargs,
                               PyObject *kwnames)
{
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments",
                     name);
        return -1;
    }
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError,
                     "%.200s() takes no arguments (%zd given)", name, nargs);
        return -1;
    }
    return 0;
}

inline int expect_one_argument(const char *name, Py_ssize_t nargs,
                               PyObject *kwnames)
{
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments",
                     name);
        return -1;
    }
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError,
                     "%.200s() takes exactly one argument (%zd given)", name,
                     nargs);
        return -1;
    }
    return 0;
}

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction of a
// PyMethodDef (cast through void (*)() to state the intent).
using FastFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t,
                                   PyObject *);
inline PyCFunction fastcall(FastFunction function)
{
    return reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(function));
}

} // namespace capi

#endif
