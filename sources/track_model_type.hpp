// The RangeModel type of qz_track: what the filters of the tags of one
// anchor set share, each anchor's range offset and the ranging noise, as
// the track_model_t of track-filter.
#ifndef QZ_TRACK_MODEL_TYPE_HPP
#define QZ_TRACK_MODEL_TYPE_HPP

#include "capi.hpp"
#include "track-filter.h"
#include "track_arguments.hpp"
#include "track_module_state.hpp"

namespace track
{

// Where an estimated noise starts (m): above any usable radio's, so that
// the first ranges are not gated out before the estimate has come down.
constexpr double noise_estimate_start = 0.1;

struct RangeModel {
    PyObject_HEAD track_model_t model;
};

inline RangeModel *as_model(PyObject *self)
{
    return reinterpret_cast<RangeModel *>(self);
}

// Reads RangeModel's arguments (`values` in the order of its signature,
// nullptr: omitted) into `model`.
inline int read_model(PyObject *const *values, track_model_t *model)
{
    int count;
    if (capi::to_int32(values[0], &count) < 0)
        return -1;
    if (count < 1 || count > TRACK_MAX_ANCHORS) {
        PyErr_Format(PyExc_ValueError, "a model takes 1 to %d anchors, got %d",
                     TRACK_MAX_ANCHORS, count);
        return -1;
    }
    double offsets[TRACK_MAX_ANCHORS] = {0}, sds[TRACK_MAX_ANCHORS] = {0};
    if (values[1] != nullptr && values[1] != Py_None &&
        per_anchor(values[1], "offsets", -TRACK_OFFSET_MAX, TRACK_OFFSET_MAX,
                   offsets, count) < 0)
        return -1;
    if (values[2] != nullptr &&
        per_anchor(values[2], "offset_sd", 0.0, TRACK_OFFSET_SD_MAX, sds,
                   count) < 0)
        return -1;
    const bool estimate = values[3] == nullptr || values[3] == Py_None;
    double sigma = noise_estimate_start;
    if (!estimate && to_bounded_double(values[3], "sigma", TRACK_SIGMA_MIN,
                                       TRACK_SIGMA_MAX, &sigma) < 0)
        return -1;
    track_model_init(model, count, offsets, sds, sigma, estimate ? 1 : 0);
    return 0;
}

inline PyObject *model_new(PyTypeObject *type, PyObject *args,
                           PyObject *kwargs)
{
    State *state = capi::type_state<State>(type, &module_def);
    if (state == nullptr)
        return nullptr;
    // count, then keyword-only parameters
    const capi::Signature signature = {"RangeModel", state->model_keywords, 1,
                                       MODEL_KEYWORDS, 1};
    PyObject *values[MODEL_KEYWORDS] = {nullptr}; // borrowed
    if (capi::bind_arguments(signature, args, kwargs, values) < 0)
        return nullptr;
    track_model_t model;
    if (read_model(values, &model) < 0)
        return nullptr;
    capi::Ref self(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    as_model(self.get())->model = model;
    return self.release();
}

inline PyObject *model_get_count(PyObject *self, void *)
{
    return PyLong_FromLong(as_model(self)->model.count);
}

inline PyObject *model_get_offsets(PyObject *self, void *)
{
    const track_model_t &m = as_model(self)->model;
    capi::Ref tuple(PyTuple_New(m.count));
    if (!tuple)
        return nullptr;
    for (int i = 0; i < m.count; ++i) {
        PyObject *value = PyFloat_FromDouble(m.offset[i]);
        if (value == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, value); // steals
    }
    return tuple.release();
}

inline PyObject *model_get_offset_sd(PyObject *self, void *)
{
    const track_model_t &m = as_model(self)->model;
    capi::Ref tuple(PyTuple_New(m.count));
    if (!tuple)
        return nullptr;
    for (int i = 0; i < m.count; ++i) {
        const double variance = m.cov[i * m.count + i];
        PyObject *value =
            PyFloat_FromDouble(variance > 0.0 ? std::sqrt(variance) : 0.0);
        if (value == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, value); // steals
    }
    return tuple.release();
}

inline PyObject *model_get_sigma(PyObject *self, void *)
{
    return PyFloat_FromDouble(as_model(self)->model.sigma);
}

inline PyObject *model_get_estimates_noise(PyObject *self, void *)
{
    return PyBool_FromLong(as_model(self)->model.estimate_noise);
}

inline PyObject *model_get_noise_samples(PyObject *self, void *)
{
    return PyLong_FromLongLong(as_model(self)->model.noise_samples);
}

inline PyGetSetDef model_getset[] = {
    {"count", model_get_count, nullptr, "number of anchors", nullptr},
    {"offsets", model_get_offsets, nullptr,
     "each anchor's range offset (m), as learned so far", nullptr},
    {"offset_sd", model_get_offset_sd, nullptr,
     "the standard deviation of each offset (m); 0: fixed", nullptr},
    {"sigma", model_get_sigma, nullptr, "the range noise in use, sd (m)",
     nullptr},
    {"estimates_noise", model_get_estimates_noise, nullptr,
     "whether sigma is estimated from the tags' ranges", nullptr},
    {"noise_samples", model_get_noise_samples, nullptr,
     "residuals the noise estimate has taken", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMethodDef model_methods[] = {
    CAPI_PICKLING_REFUSAL_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

inline PyType_Slot model_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(model_new)},
    {Py_tp_dealloc,
     reinterpret_cast<void *>(capi::dealloc<capi::owns_nothing>)},
    {Py_tp_methods, model_methods},
    {Py_tp_getset, model_getset},
    {Py_tp_doc,
     const_cast<char *>(
         "RangeModel(count, *, offsets=None, offset_sd=0.0, sigma=None)\n"
         "--\n\n"
         "What the range filters of the tags of one set of count anchors\n"
         "share: each anchor's range offset (m, subtracted from its\n"
         "ranges) and the ranging noise. offsets and offset_sd are one\n"
         "number per anchor, or one for all. An offset of sd above 0 is\n"
         "learned from the tags' ranges, starting from the value given;\n"
         "sd 0 keeps it. sigma is the range noise sd (m); None estimates\n"
         "it from the tags' ranges, starting from 0.1 m.")},
    {0, nullptr},
};

inline PyType_Spec model_spec = {
    "qz_track.RangeModel", sizeof(RangeModel), 0,
    Py_TPFLAGS_DEFAULT,    model_slots,
};

} // namespace track

#endif
