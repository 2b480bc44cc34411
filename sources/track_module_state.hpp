// The state of module qz_track (its filter type and the interned parameter
// names of its callables), and the number converters its callables share.
#ifndef QZ_TRACK_MODULE_STATE_HPP
#define QZ_TRACK_MODULE_STATE_HPP

#include "capi.hpp"

#include <cmath>

namespace track
{

enum { NEW_KEYWORDS = 9, UPDATE_KEYWORDS = 2, SEED_KEYWORDS = 4,
       SMOOTH_KEYWORDS = 6 };

struct ModuleState {
    PyObject *filter_type;
    PyObject *new_keywords[NEW_KEYWORDS];
    PyObject *update_keywords[UPDATE_KEYWORDS];
    PyObject *seed_keywords[SEED_KEYWORDS];
    PyObject *smooth_keywords[SMOOTH_KEYWORDS];
};

ModuleState *module_state(PyObject *module)
{
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

#if PY_VERSION_HEX < 0x03090000
// Before 3.9 a type cannot name its module, so the state of the module that
// made the type is kept here.
ModuleState *legacy_state;

PyObject *type_of_module(PyObject *module, PyType_Spec *spec)
{
    legacy_state = module_state(module);
    return PyType_FromSpec(spec);
}

ModuleState *state_of_type(PyTypeObject *)
{
    return legacy_state;
}
#else
PyObject *type_of_module(PyObject *module, PyType_Spec *spec)
{
    return PyType_FromModuleAndSpec(module, spec, nullptr);
}

ModuleState *state_of_type(PyTypeObject *type)
{
    return static_cast<ModuleState *>(PyType_GetModuleState(type));
}
#endif

// The interpreter's float conversion to a double. Returns 0, or -1 with
// the exception set.
int to_double(PyObject *obj, double *out)
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

int to_finite_double(PyObject *obj, const char *what, double *out)
{
    if (to_double(obj, out) < 0)
        return -1;
    if (!std::isfinite(*out)) {
        PyErr_Format(PyExc_ValueError, "%s must be finite", what);
        return -1;
    }
    return 0;
}

// An optional keyword parameter: `obj` when given, else the default.
int optional_double(PyObject *obj, double fallback, const char *what,
                    double *out)
{
    if (obj == nullptr) {
        *out = fallback;
        return 0;
    }
    return to_finite_double(obj, what, out);
}

int raise_value_error(const char *message)
{
    PyErr_SetString(PyExc_ValueError, message);
    return -1;
}

} // namespace track

#endif
