// Module qz_track: the TagFilter type, a range-level constant-velocity
// filter of one tag against one anchor set, and smooth(), the offline
// smoother of a filtered track. The numerics live in track-filter; the
// module keeps its state per module object (multi-phase initialisation).
#include "capi.hpp"
#include "track_filter_type.hpp"
#include "track_module_state.hpp"
#include "track_smooth.hpp"

namespace track
{

PyMethodDef module_methods[] = {
    {"smooth", capi::fastcall(smooth), METH_FASTCALL | METH_KEYWORDS,
     "smooth(times, states, covariances, starts, growths, process_noise)\n"
     "--\n\n"
     "Rauch-Tung-Striebel smoothing of a filtered track: times (s), states\n"
     "flat (4 per fix: x, y, vx, vy), covariances flat (16 per fix), starts\n"
     "true where the filter was seeded, growths the filter's growth after\n"
     "each fix. Returns a list of (x, y, sd)."},
    {nullptr, nullptr, 0, nullptr},
};

int intern_all(PyObject **slots, const char *const *names, int count)
{
    for (int i = 0; i < count; ++i) {
        if (capi::intern(slots[i], names[i]) < 0)
            return -1;
    }
    return 0;
}

int module_exec(PyObject *module)
{
    ModuleState *state = module_state(module);
    static const char *const new_names[NEW_KEYWORDS] = {
        "anchors", "sigma", "process_noise", "gate", "short_gate",
        "height", "max_gap", "max_rejected_updates", "max_range"};
    static const char *const update_names[UPDATE_KEYWORDS] = {"time",
                                                              "distances"};
    static const char *const seed_names[SEED_KEYWORDS] = {"time", "x", "y",
                                                          "distances"};
    static const char *const smooth_names[SMOOTH_KEYWORDS] = {
        "times", "states", "covariances", "starts", "growths", "process_noise"};
    if (intern_all(state->new_keywords, new_names, NEW_KEYWORDS) < 0 ||
        intern_all(state->update_keywords, update_names, UPDATE_KEYWORDS) <
            0 ||
        intern_all(state->seed_keywords, seed_names, SEED_KEYWORDS) < 0 ||
        intern_all(state->smooth_keywords, smooth_names, SMOOTH_KEYWORDS) < 0)
        return -1;
    state->filter_type = type_of_module(module, &filter_spec);
    if (state->filter_type == nullptr)
        return -1;
    Py_INCREF(state->filter_type);
    if (PyModule_AddObject(module, "TagFilter", state->filter_type) < 0) {
        Py_DECREF(state->filter_type);
        return -1;
    }
    return PyModule_AddIntConstant(module, "MAX_ANCHORS", TRACK_MAX_ANCHORS);
}

int module_traverse(PyObject *module, visitproc visit, void *arg)
{
    ModuleState *state = module_state(module);
    if (state != nullptr)
        Py_VISIT(state->filter_type);
    return 0;
}

void clear_all(PyObject **slots, int count)
{
    for (int i = 0; i < count; ++i)
        Py_CLEAR(slots[i]);
}

int module_clear(PyObject *module)
{
    ModuleState *state = module_state(module);
    if (state == nullptr)
        return 0;
    Py_CLEAR(state->filter_type);
    clear_all(state->new_keywords, NEW_KEYWORDS);
    clear_all(state->update_keywords, UPDATE_KEYWORDS);
    clear_all(state->seed_keywords, SEED_KEYWORDS);
    clear_all(state->smooth_keywords, SMOOTH_KEYWORDS);
    return 0;
}

void module_free(void *module)
{
    module_clear(static_cast<PyObject *>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qz_track",
    "Tag tracking on ranges: a constant-velocity Kalman filter per tag with\n"
    "gated range updates, and a Rauch-Tung-Striebel smoother, in double\n"
    "precision.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

} // namespace track

PyMODINIT_FUNC PyInit_qz_track(void)
{
    return PyModuleDef_Init(&track::module_def);
}
