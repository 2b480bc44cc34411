// Header-only toolkit for the CPython C API, shared by the extension modules:
// owned references, interned names, argument binding with the system's
// messages, number converters, the assertion switch and ordinary classes.
#ifndef QZ_CAPI_HPP
#define QZ_CAPI_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cfloat>
#include <climits>
#include <cmath>

// The modules build with hidden symbols; before 3.9 the interpreter's
// PyMODINIT_FUNC does not mark the init function visible.
#if PY_VERSION_HEX < 0x03090000
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC                                                       \
    extern "C" __attribute__((visibility("default"))) PyObject *
#endif

namespace capi {

// An owned reference. Construction steals; `borrow` takes a new reference;
// `release` hands the reference back to the caller.
class Ref
{
  public:
    Ref() noexcept = default;
    explicit Ref(PyObject *stolen) noexcept : obj_(stolen) {}
    Ref(Ref &&other) noexcept : obj_(other.release()) {}
    Ref &operator=(Ref &&other) noexcept
    {
        PyObject *old = obj_;
        obj_ = other.release();
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    static Ref borrow(PyObject *borrowed) noexcept
    {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    PyObject *get() const noexcept { return obj_; }
    PyObject *release() noexcept
    {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    PyObject *obj_ = nullptr;
};

// Creates the interned string `text` in `slot` (a module-lifetime reference).
inline int intern(PyObject *&slot, const char *text)
{
    slot = PyUnicode_InternFromString(text);
    return slot ? 0 : -1;
}

// Assertions are off while the interpreter runs optimised (-O). Up to 3.11
// the interpreter's flag is read at every check, as compiled assertions do;
// later versions deprecate the flag, so the level is read once at import
// from sys.flags, where it cannot change afterwards.
#if PY_VERSION_HEX < 0x030C0000
inline int init_assertions() { return 0; }
inline bool assertions_enabled() { return Py_OptimizeFlag == 0; }
#else
inline int &optimize_level() noexcept
{
    static int level = 0;
    return level;
}
inline int init_assertions()
{
    PyObject *flags = PySys_GetObject("flags"); // borrowed
    if (flags == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "sys.flags is missing");
        return -1;
    }
    Ref level(PyObject_GetAttrString(flags, "optimize"));
    if (!level)
        return -1;
    long value = PyLong_AsLong(level.get());
    if (value == -1 && PyErr_Occurred())
        return -1;
    optimize_level() = value != 0;
    return 0;
}
inline bool assertions_enabled() { return optimize_level() == 0; }
#endif

// A failed assertion: AssertionError without arguments. Returns -1.
inline int raise_assertion()
{
    PyErr_SetNone(PyExc_AssertionError);
    return -1;
}


// The parameters of a callable: its name for messages, its parameter names
// as interned strings (filled at import), and how many are required. For
// functions of ordinary classes the parameters include `self`.
struct Signature {
    const char *name;
    PyObject *const *keywords;
    Py_ssize_t min_count;
    Py_ssize_t max_count;
};

inline int raise_count_error(const Signature &sig, Py_ssize_t given)
{
    const char *form;
    Py_ssize_t expected;
    if (sig.min_count == sig.max_count) {
        form = "exactly";
        expected = sig.min_count;
    }
    else if (given < sig.min_count) {
        form = "at least";
        expected = sig.min_count;
    }
    else {
        form = "at most";
        expected = sig.max_count;
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
    if (nargs > sig.max_count)
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

// The pickling hooks of the extension types: both refuse, so neither
// pickle nor the copy protocol can reproduce an instance.
inline PyObject *raise_no_default_reduce()
{
    PyErr_SetString(PyExc_TypeError,
                    "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

inline PyObject *refuse_reduce(PyObject *, PyObject *const *,
                               Py_ssize_t nargs, PyObject *kwnames)
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

#define CAPI_PICKLING_REFUSAL_METHODS                                        \
    {"__reduce__", capi::fastcall(capi::refuse_reduce),                      \
     METH_FASTCALL | METH_KEYWORDS, nullptr},                                \
    {                                                                        \
        "__setstate__", capi::fastcall(capi::refuse_setstate),               \
            METH_FASTCALL | METH_KEYWORDS, nullptr                           \
    }

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

// The interpreter's float conversion, rounded to a 32-bit float.
// Returns 0, or -1 with the exception set.
inline int to_float32(PyObject *obj, float *out)
{
    double value;
    if (PyFloat_CheckExact(obj)) {
        value = PyFloat_AS_DOUBLE(obj);
    }
    else {
        value = PyFloat_AsDouble(obj);
        if (value == -1.0 && PyErr_Occurred())
            return -1;
    }
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

// Puts `def` into a class namespace as a function: an instance method whose
// C function receives the module as `self` and the instance as its first
// argument, just as a function defined in a class body would.
inline int add_function(PyObject *ns, PyMethodDef *def, PyObject *module)
{
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name)
        return -1;
    Ref function(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function)
        return -1;
    Ref method(PyInstanceMethod_New(function.get()));
    if (!method)
        return -1;
    return PyDict_SetItemString(ns, def->ml_name, method.get());
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
inline PyObject *new_class(PyObject *module, const char *name,
                           PyObject *base, PyObject *ns)
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

} // namespace capi

#endif
