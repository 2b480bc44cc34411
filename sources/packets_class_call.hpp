// Calls of the module's classes from Python, such as Header(data) or
// QZDWPacket(header, data, callback=f).
//
// type.__call__ packs the arguments into a tuple and a keyword dict, runs
// object.__new__, then looks __init__ up, binds it and calls it with the
// tuple and dict, which the function unpacks again. Each class the module
// creates is given a vectorcall entry instead: while the class still
// allocates with object.__new__ and its __init__ is the module's own, the
// entry allocates the instance the same way and runs that initialiser on
// the arguments as they came. Which __init__ the class has is checked
// against the class's version tag, renewed by the interpreter on every
// change to the class or a base; in any other state, or for a subclass
// (which does not inherit the entry), the call is type.__call__'s own.
#ifndef QZ_PACKETS_CLASS_CALL_HPP
#define QZ_PACKETS_CLASS_CALL_HPP

#include "capi.hpp"
#include "packets_construct.hpp"
#include "packets_state.hpp"
#include "packets_type_lookup.hpp"

namespace packets
{

// The generic class call, as type.__call__ receives it.
inline PyObject *call_through_type(PyObject *cls, PyObject *const *args,
                                   size_t nargsf, PyObject *kwnames)
{
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    capi::Ref positional(PyTuple_New(nargs));
    if (!positional)
        return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(positional.get(), i, args[i]); // steals
    }
    capi::Ref keywords;
    const Py_ssize_t keyword_count =
        kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keyword_count > 0) {
        keywords = capi::Ref(PyDict_New());
        if (!keywords)
            return nullptr;
        for (Py_ssize_t k = 0; k < keyword_count; ++k) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, k),
                               args[nargs + k]) < 0)
                return nullptr;
        }
    }
    return PyType_Type.tp_call(cls, positional.get(), keywords.get());
}

// The state of the module that made `cls`, or nullptr (no exception) when
// it cannot be found.
inline State *class_state(PyObject *cls)
{
#if PY_VERSION_HEX < 0x03090000
    (void)cls;
    return nullptr;
#else
    PyObject *module = PyType_GetModule(reinterpret_cast<PyTypeObject *>(cls));
    if (module == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    return static_cast<State *>(PyModule_GetState(module));
#endif
}

// Whether calling `cls` runs object.__new__ and then `init_function`:
// 1, 0, or -1 with an exception. `checked` holds the version tag at which
// that was last found.
inline int calls_own_init(const State &state, PyObject *cls,
                          PyObject *init_function, unsigned int &checked)
{
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    const unsigned int version = valid_version_tag(type);
    if (version != 0 && version == checked)
        return 1;
    if (type->tp_new != PyBaseObject_Type.tp_new)
        return 0;
    PyObject *found = find_in_mro(type, state.str___init__); // borrowed
    if (found != init_function)
        return PyErr_Occurred() ? -1 : 0;
    checked = version; // 0, no valid tag: nothing is recorded
    return 1;
}

// The most arguments the fast entry lays out on the stack; a call with
// more cannot bind anyway and takes the generic path for its message.
constexpr Py_ssize_t max_call_arguments = 4;

// The instance of `cls` as object.__new__ makes it, and the arguments of
// its __init__ (the instance first) in `stack`: the instance, or nullptr
// with an exception set.
inline PyObject *new_instance(const State &state, PyObject *cls,
                              PyObject *const *args, Py_ssize_t total,
                              PyObject **stack)
{
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    PyObject *self = type->tp_new(type, state.empty_tuple, nullptr);
    if (self == nullptr)
        return nullptr;
    stack[0] = self;
    for (Py_ssize_t i = 0; i < total; ++i)
        stack[i + 1] = args[i];
    return self;
}

inline Py_ssize_t keyword_count(PyObject *kwnames)
{
    return kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
}

// The vectorcall entry of a class whose own initialiser is
// `init_function`; `checked` is where calls_own_init() keeps its version
// tag. `init(stack, nargs, kwnames)` runs the initialiser on a fresh
// instance with its arguments, the instance first in `stack`: 0, or -1
// with an exception set.
template <class Init>
PyObject *class_call(State *state, PyObject *cls, PyObject *const *args,
                     size_t nargsf, PyObject *kwnames, PyObject *init_function,
                     unsigned int &checked, Init init)
{
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t total = nargs + keyword_count(kwnames);
    if (total > max_call_arguments)
        return call_through_type(cls, args, nargsf, kwnames);
    const int own = calls_own_init(*state, cls, init_function, checked);
    if (own <= 0)
        return own < 0 ? nullptr
                       : call_through_type(cls, args, nargsf, kwnames);
    PyObject *stack[max_call_arguments + 1];
    capi::Ref self(new_instance(*state, cls, args, total, stack));
    if (!self || init(stack, nargs + 1, kwnames) < 0)
        return nullptr;
    return self.release();
}

// __init__(self, bytes) of record `id`, called with `args` (the instance
// first): 0, or -1 with an exception set. `fresh`: the class call has just
// made the instance, so nothing else can see it yet, and when its input
// is bytes or a bytearray no code of the caller's can run while it is
// filled in; it then uses what the plainness check of the class found.
template <RecordId id>
int bind_record_init(State &state, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, bool fresh)
{
    const capi::Signature signature = {"__init__", state.record_keywords, 2,
                                       2};
    PyObject *values[2]; // borrowed
    if (capi::bind_arguments(signature, args, nargs, kwnames, values) < 0)
        return -1;
    PyObject *input = values[1];
    int plain = 0;
    const Source source = Source::of(input, state.protocol);
    if (fresh && source.in_place()) {
        plain = check_plain<id>(state);
        if (plain < 0)
            return -1;
    }
    return decode_record<id>(
        Target(values[0], state, plain ? &state.records[id] : nullptr),
        source);
}

// The vectorcall entry of the class of record `id`.
template <RecordId id>
PyObject *record_class_call(PyObject *cls, PyObject *const *args,
                            size_t nargsf, PyObject *kwnames)
{
    State *state = class_state(cls);
    if (state == nullptr || state->records[id].cls != cls)
        return call_through_type(cls, args, nargsf, kwnames);
    RecordState &record = state->records[id];
    auto init = [&](PyObject *const *stack, Py_ssize_t n, PyObject *names) {
        return bind_record_init<id>(*state, stack, n, names, true);
    };
    return class_call(state, cls, args, nargsf, kwnames, record.init_function,
                      record.call_version, init);
}

// Gives `cls`, a class of `module`, the vectorcall entry `call`. The class
// names its module as the classes of extension types do, which also keeps
// the module alive while the class lives. Before 3.9 a class cannot name
// its module, and type.__call__ is left alone.
inline void set_class_call(PyObject *module, PyObject *cls,
                           vectorcallfunc call)
{
#if PY_VERSION_HEX < 0x03090000
    (void)module;
    (void)cls;
    (void)call;
#else
    auto *type = reinterpret_cast<PyHeapTypeObject *>(cls);
    Py_INCREF(module);
    Py_XSETREF(type->ht_module, module);
    type->ht_type.tp_vectorcall = call;
#endif
}

} // namespace packets

#endif
