// The runtime objects of one qz_track module, held in its module state: the
// RangeModel type, which TagFilter checks its `model` against, and the
// interned parameter names of its callables.
#ifndef QZ_TRACK_MODULE_STATE_HPP
#define QZ_TRACK_MODULE_STATE_HPP

#include "capi.hpp"

namespace track
{

enum {
    NEW_KEYWORDS = 12,
    MODEL_KEYWORDS = 4,
    UPDATE_KEYWORDS = 2,
    SEED_KEYWORDS = 4,
    SMOOTH_KEYWORDS = 6
};

struct State {
    PyObject *model_type;
    PyObject *new_keywords[NEW_KEYWORDS];
    PyObject *model_keywords[MODEL_KEYWORDS];
    PyObject *update_keywords[UPDATE_KEYWORDS];
    PyObject *seed_keywords[SEED_KEYWORDS];
    PyObject *smooth_keywords[SMOOTH_KEYWORDS];

    template <class Visit> void each(Visit visit)
    {
        visit(model_type);
        for (PyObject *&name : new_keywords)
            visit(name);
        for (PyObject *&name : model_keywords)
            visit(name);
        for (PyObject *&name : update_keywords)
            visit(name);
        for (PyObject *&name : seed_keywords)
            visit(name);
        for (PyObject *&name : smooth_keywords)
            visit(name);
    }
};

inline int init_names(State &state)
{
    static const char *const new_names[NEW_KEYWORDS] = {
        "anchors",    "sigma",  "process_noise", "gate",
        "short_gate", "height", "max_gap",       "max_rejected_updates",
        "max_range",  "offset", "offset_sd",     "model"};
    static const char *const model_names[MODEL_KEYWORDS] = {
        "count", "offsets", "offset_sd", "sigma"};
    static const char *const update_names[UPDATE_KEYWORDS] = {"time",
                                                              "distances"};
    static const char *const seed_names[SEED_KEYWORDS] = {"time", "x", "y",
                                                          "distances"};
    static const char *const smooth_names[SMOOTH_KEYWORDS] = {
        "times",  "states",  "covariances",
        "starts", "growths", "process_noise"};
    return capi::intern_all(state.new_keywords, new_names) < 0 ||
                   capi::intern_all(state.model_keywords, model_names) < 0 ||
                   capi::intern_all(state.update_keywords, update_names) < 0 ||
                   capi::intern_all(state.seed_keywords, seed_names) < 0 ||
                   capi::intern_all(state.smooth_keywords, smooth_names) < 0
               ? -1
               : 0;
}

extern PyModuleDef module_def;

} // namespace track

#endif
