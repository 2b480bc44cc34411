// The shape every module shares: its runtime objects in module state, with
// traverse and clear; multi-phase initialisation from 3.9, where a type can
// name the module that made it; and the dealloc of the extension types.
//
// Before 3.9 a type cannot reach its module, so there the module is created
// by its init function (single-phase, still with module state) and found
// again through the interpreter's per-interpreter module table.
#ifndef QZ_CAPI_MODULE_HPP
#define QZ_CAPI_MODULE_HPP

#include "capi/refs.hpp"

// The modules build with hidden symbols; before 3.9 the interpreter's
// PyMODINIT_FUNC does not mark the init function visible.
#if PY_VERSION_HEX < 0x03090000
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC                                                        \
    extern "C" __attribute__((visibility("default"))) PyObject *
#endif

// The m_slots of a PyModuleDef: the exec slot from 3.9, none before.
#if PY_VERSION_HEX >= 0x03090000
#define CAPI_MODULE_SLOTS(slots) (slots)
#else
#define CAPI_MODULE_SLOTS(slots) nullptr
#endif

namespace capi
{

// A module's state, as its PyModuleDef sized it with sizeof(State).
template <class State> State &state_of(PyObject *module)
{
    return *static_cast<State *>(PyModule_GetState(module));
}

// The module of `def` that created `type` or one of its bases: a borrowed
// reference, or nullptr with TypeError (SystemError before 3.9).
inline PyObject *module_of_type(PyTypeObject *type, PyModuleDef *def)
{
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetModuleByDef(type, def);
#elif PY_VERSION_HEX >= 0x03090000
    PyObject *mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        auto *base =
            reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE))
            continue;
        PyObject *module =
            reinterpret_cast<PyHeapTypeObject *>(base)->ht_module;
        if (module != nullptr && PyModule_GetDef(module) == def)
            return module;
    }
    PyErr_Format(PyExc_TypeError,
                 "PyType_GetModuleByDef: No superclass of '%s' has the "
                 "given module",
                 type->tp_name);
    return nullptr;
#else
    (void)type;
    PyObject *module = PyState_FindModule(def); // borrowed
    if (module == nullptr && !PyErr_Occurred())
        PyErr_Format(PyExc_SystemError, "module %s is not loaded",
                     def->m_name);
    return module;
#endif
}

// The state of the module of `def` that created `type` or a base of it, or
// nullptr with the exception of module_of_type.
template <class State> State *type_state(PyTypeObject *type, PyModuleDef *def)
{
    PyObject *module = module_of_type(type, def);
    return module != nullptr ? &state_of<State>(module) : nullptr;
}

// The extension type of `spec`, belonging to `module` where types can name
// their module. Returns a new reference.
inline PyObject *new_type(PyObject *module, PyType_Spec *spec)
{
#if PY_VERSION_HEX >= 0x03090000
    return PyType_FromModuleAndSpec(module, spec, nullptr);
#else
    (void)module;
    return PyType_FromSpec(spec);
#endif
}

// The definition of a module whose runtime objects are a State and whose
// exec function is `exec`.
template <int (*exec)(PyObject *)>
inline PyModuleDef_Slot exec_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec)},
    {0, nullptr},
};

template <class State, int (*exec)(PyObject *)>
PyModuleDef module_definition(const char *name, const char *doc);

// The init function's body: the definition for the interpreter to execute
// from 3.9; before, the module itself, run through `exec` here.
inline PyObject *init_module(PyModuleDef *def, int (*exec)(PyObject *))
{
#if PY_VERSION_HEX >= 0x03090000
    (void)exec;
    return PyModuleDef_Init(def);
#else
    Ref module(PyModule_Create(def));
    if (!module || exec(module.get()) < 0)
        return nullptr;
    return module.release();
#endif
}

// m_traverse, m_clear and m_free for a state whose `each(f)` calls f on
// every reference it owns.
template <class State>
int traverse_state(PyObject *module, visitproc visit, void *arg)
{
    State *state = static_cast<State *>(PyModule_GetState(module));
    if (state == nullptr)
        return 0;
    int result = 0;
    state->each([&](PyObject *&ref) {
        if (result == 0 && ref != nullptr)
            result = visit(ref, arg);
    });
    return result;
}

template <class State> int clear_state(PyObject *module)
{
    State *state = static_cast<State *>(PyModule_GetState(module));
    if (state != nullptr)
        state->each([](PyObject *&ref) { Py_CLEAR(ref); });
    return 0;
}

template <class State> void free_state(void *module)
{
    clear_state<State>(static_cast<PyObject *>(module));
}

template <class State, int (*exec)(PyObject *)>
PyModuleDef module_definition(const char *name, const char *doc)
{
    return {
        PyModuleDef_HEAD_INIT,
        name,
        doc,
        sizeof(State),
        nullptr,
        CAPI_MODULE_SLOTS(exec_slots<exec>),
        traverse_state<State>,
        clear_state<State>,
        free_state<State>,
    };
}

// tp_dealloc of an extension type whose instances own buffers that
// `release(self)` frees; it runs on half-built instances too.
template <void (*release)(PyObject *)> void dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    release(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The `release` of instances that own nothing beyond their own memory.
inline void owns_nothing(PyObject *) {}

} // namespace capi

#endif
