// The TagFilter type of qz_track: a range-level constant-velocity filter of
// one tag against one anchor set, around the routines of track-filter. Its
// RangeModel (the anchors' offsets and the noise) is its own or shared with
// the filters of other tags.
#ifndef QZ_TRACK_FILTER_TYPE_HPP
#define QZ_TRACK_FILTER_TYPE_HPP

#include "capi.hpp"
#include "track-filter.h"
#include "track_arguments.hpp"
#include "track_model_type.hpp"
#include "track_module_state.hpp"

#include <cstring>

namespace track
{

// Defaults of TagFilter's parameters.
constexpr double default_sigma = 0.05;
constexpr double default_process_noise = 0.2;
constexpr double default_gate = 3.5;
constexpr double default_short_gate = 6.0;
constexpr double default_height = 0.0;
constexpr double default_max_gap = 2.0;
constexpr int default_max_rejected_updates = 3;
constexpr double default_max_range = 1000.0;
constexpr double default_offset = 0.0;
constexpr double default_offset_sd = 0.0;
// Speed uncertainty (m/s) of a freshly seeded tag, which starts at rest.
constexpr double seed_speed_sd = 2.0;
// The largest range taken (m): products of ranges stay finite.
constexpr double max_range_limit = 1e7;

struct TagFilter {
    PyObject_HEAD track_params_t params;
    track_state_t state;
    PyObject *model_object; // owned: the RangeModel
    track_model_t *model;   // inside model_object
    int owns_model;         // the model was made by the filter for itself
    int anchor_count;
    long long rejected; // ranges rejected since construction
    track_anchor_t anchors[TRACK_MAX_ANCHORS];
    double ranges[TRACK_MAX_ANCHORS];
    unsigned char status[TRACK_MAX_ANCHORS];
};

inline TagFilter *as_filter(PyObject *self)
{
    return reinterpret_cast<TagFilter *>(self);
}

// Reads anchors (x, y) or (x, y, z) into filter->anchors; the filter is
// left unseeded. On error the filter keeps its old anchors.
inline int load_anchors(TagFilter *filter, PyObject *anchors)
{
    capi::Ref items(PySequence_Fast(anchors, "anchors must be a sequence"));
    if (!items)
        return -1;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (count < 1 || count > TRACK_MAX_ANCHORS) {
        PyErr_Format(PyExc_ValueError,
                     "a filter takes 1 to %d anchors, got %zd",
                     TRACK_MAX_ANCHORS, count);
        return -1;
    }
    track_anchor_t loaded[TRACK_MAX_ANCHORS];
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(items.get(), i); // borrowed
        capi::Ref coordinates(
            PySequence_Fast(item, "an anchor must be a sequence of numbers"));
        if (!coordinates)
            return -1;
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(coordinates.get());
        if (size != 2 && size != 3)
            return raise_value_error("an anchor is (x, y) or (x, y, z)");
        double values[3] = {0.0, 0.0, 0.0};
        for (Py_ssize_t k = 0; k < size; ++k) {
            if (to_bounded_double(
                    PySequence_Fast_GET_ITEM(coordinates.get(), k),
                    "anchor coordinates", -TRACK_COORDINATE_MAX,
                    TRACK_COORDINATE_MAX, &values[k]) < 0)
                return -1;
        }
        loaded[i] = track_anchor_t{values[0], values[1], values[2]};
    }
    if (filter->model != nullptr && count != filter->model->count) {
        if (!filter->owns_model) {
            PyErr_Format(PyExc_ValueError,
                         "the filter's model has %d anchors, got %zd",
                         filter->model->count, count);
            return -1;
        }
        track_model_init(filter->model, static_cast<int>(count), nullptr,
                         nullptr, filter->model->sigma,
                         filter->model->estimate_noise);
    }
    std::memcpy(filter->anchors, loaded,
                static_cast<size_t>(count) * sizeof(track_anchor_t));
    filter->anchor_count = static_cast<int>(count);
    // the tag's offset estimate is tied to the anchors it was learned with
    filter->state.seeded = 0;
    filter->state.has_offset = 0;
    return 0;
}

// Reads exactly one distance per anchor into filter->ranges. Values are not
// judged here: the filter rejects and counts the unusable ones.
inline int load_ranges(TagFilter *filter, PyObject *distances)
{
    Py_ssize_t stored = 0;
    auto store = [filter, &stored](Py_ssize_t i, PyObject *item) {
        stored = i + 1;
        return capi::to_double(item, &filter->ranges[i]);
    };
    auto surplus = [] {
        return raise_value_error("more distances than the filter has anchors");
    };
    if (capi::store_items(distances, filter->anchor_count, store, surplus) < 0)
        return -1;
    if (stored != filter->anchor_count) {
        PyErr_Format(PyExc_ValueError,
                     "expected %d distances, one per anchor, got %zd",
                     filter->anchor_count, stored);
        return -1;
    }
    return 0;
}

// (x, y, sd, dop, used, rejected) of the filter's current state.
inline PyObject *fix_tuple(TagFilter *filter, int rejected)
{
    const track_state_t &s = filter->state;
    double cov[TRACK_STATES * TRACK_STATES];
    track_position_marginal(&s, filter->model, cov);
    const double sd = std::sqrt(cov[0] + cov[TRACK_STATES + 1]);
    const double dop =
        track_dop(filter->anchors, filter->anchor_count, filter->status,
                  s.state[0], s.state[1], filter->params.height);
    Py_ssize_t used_count = 0;
    for (int i = 0; i < filter->anchor_count; ++i)
        used_count += filter->status[i] == TRACK_USED;
    capi::Ref used(PyTuple_New(used_count));
    if (!used)
        return nullptr;
    Py_ssize_t k = 0;
    for (int i = 0; i < filter->anchor_count && k < used_count; ++i) {
        if (filter->status[i] != TRACK_USED)
            continue;
        PyObject *index = PyLong_FromLong(i);
        if (index == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(used.get(), k++, index); // steals
    }
    return Py_BuildValue("(ddddNi)", s.state[0], s.state[1], sd, dop,
                         used.release(), rejected);
}

// Reads the keyword parameters of TagFilter(), `values` in the order of
// its signature (nullptr: omitted), into `params`; sigma and model are
// read by filter_model.
inline int read_params(PyObject *const *values, track_params_t *params)
{
    double max_rejected;
    if (optional_double(values[2], default_process_noise, "process_noise", 0.0,
                        TRACK_PROCESS_NOISE_MAX, &params->accel_noise) < 0 ||
        optional_double(values[3], default_gate, "gate", TRACK_GATE_MIN,
                        TRACK_GATE_MAX, &params->gate_long) < 0 ||
        optional_double(values[4], default_short_gate, "short_gate",
                        TRACK_GATE_MIN, TRACK_GATE_MAX,
                        &params->gate_short) < 0 ||
        optional_double(values[5], default_height, "height",
                        -TRACK_COORDINATE_MAX, TRACK_COORDINATE_MAX,
                        &params->height) < 0 ||
        optional_double(values[6], default_max_gap, "max_gap", 0.0,
                        TRACK_TIME_MAX, &params->max_gap) < 0 ||
        optional_double(values[7], default_max_rejected_updates,
                        "max_rejected_updates", 1.0, 1e6, &max_rejected) < 0 ||
        optional_double(values[8], default_max_range, "max_range", 0.0,
                        max_range_limit, &params->max_range) < 0 ||
        optional_double(values[9], default_offset, "offset", -TRACK_OFFSET_MAX,
                        TRACK_OFFSET_MAX, &params->offset) < 0 ||
        optional_double(values[10], default_offset_sd, "offset_sd", 0.0,
                        TRACK_OFFSET_SD_MAX, &params->offset_sd) < 0)
        return -1;
    if (!(params->max_gap > 0.0) || !(params->max_range > 0.0))
        return raise_value_error("max_gap and max_range must be positive");
    if (max_rejected != static_cast<double>(static_cast<int>(max_rejected)))
        return raise_value_error(
            "max_rejected_updates must be a whole number from 1");
    params->max_bad = static_cast<int>(max_rejected);
    params->speed_sd = seed_speed_sd;
    return 0;
}

// The filter's model: `model` when given (a RangeModel, whose noise is then
// the filter's), else one of its own with the noise `sigma` (omitted: the
// default; None: estimated). Returns a new reference.
inline PyObject *filter_model(State *state, PyObject *model, PyObject *sigma,
                              Py_ssize_t anchor_count)
{
    if (model != nullptr && model != Py_None) {
        if (!PyObject_TypeCheck(
                model, reinterpret_cast<PyTypeObject *>(state->model_type))) {
            PyErr_Format(PyExc_TypeError,
                         "model must be a RangeModel, not %.200s",
                         Py_TYPE(model)->tp_name);
            return nullptr;
        }
        if (sigma != nullptr) {
            raise_value_error("a filter with a model takes the model's noise: "
                              "give sigma to the RangeModel");
            return nullptr;
        }
        Py_INCREF(model);
        return model;
    }
    capi::Ref count(PyLong_FromSsize_t(anchor_count));
    capi::Ref fallback(PyFloat_FromDouble(default_sigma));
    if (!count || !fallback)
        return nullptr;
    capi::Ref args(PyTuple_Pack(1, count.get()));
    capi::Ref kwargs(PyDict_New());
    if (!args || !kwargs ||
        PyDict_SetItemString(kwargs.get(), "sigma",
                             sigma != nullptr ? sigma : fallback.get()) < 0)
        return nullptr;
    return PyObject_Call(state->model_type, args.get(), kwargs.get());
}

inline PyObject *filter_new(PyTypeObject *type, PyObject *args,
                            PyObject *kwargs)
{
    State *state = capi::type_state<State>(type, &module_def);
    if (state == nullptr)
        return nullptr;
    // anchors, then keyword-only parameters
    const capi::Signature signature = {"TagFilter", state->new_keywords, 1,
                                       NEW_KEYWORDS, 1};
    PyObject *values[NEW_KEYWORDS] = {nullptr}; // borrowed
    if (capi::bind_arguments(signature, args, kwargs, values) < 0)
        return nullptr;
    track_params_t params;
    if (read_params(values, &params) < 0)
        return nullptr;

    capi::Ref self(type->tp_alloc(type, 0)); // zero-filled
    if (!self)
        return nullptr;
    TagFilter *filter = as_filter(self.get());
    filter->params = params;
    if (load_anchors(filter, values[0]) < 0)
        return nullptr;
    PyObject *model =
        filter_model(state, values[11], values[1], filter->anchor_count);
    if (model == nullptr)
        return nullptr;
    filter->model_object = model; // owned by the filter from here
    filter->model = &as_model(model)->model;
    filter->owns_model = values[11] == nullptr || values[11] == Py_None;
    if (filter->model->count != filter->anchor_count) {
        PyErr_Format(PyExc_ValueError,
                     "the model has %d anchors, the filter %d",
                     filter->model->count, filter->anchor_count);
        return nullptr;
    }
    return self.release();
}

// The time of an update or seed: finite, not negative, not before the
// state's.
inline int read_time(PyObject *obj, const TagFilter *filter, double *time)
{
    if (to_finite_double(obj, "time", time) < 0)
        return -1;
    if (*time < 0.0)
        return raise_value_error("time must not be negative");
    if (*time > TRACK_TIME_MAX)
        return raise_out_of_range("time", 0.0, TRACK_TIME_MAX);
    if (filter->state.seeded && *time < filter->state.time)
        return raise_value_error("time went backwards");
    return 0;
}

// update() once its time is checked and its distances are in
// filter->ranges.
inline PyObject *update_impl(TagFilter *filter, double time)
{
    if (track_needs_seed(&filter->state, &filter->params, time))
        Py_RETURN_NONE;
    track_predict(&filter->state, &filter->params, time);
    const int rejected =
        track_fuse(&filter->state, &filter->params, filter->model,
                   filter->anchors, filter->ranges, filter->status);
    if (rejected < 0)
        Py_RETURN_NONE; // the filter gave up its state: seed it again
    filter->rejected += rejected;
    return fix_tuple(filter, rejected);
}

inline PyObject *filter_update(PyObject *self, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames)
{
    const State *state = capi::type_state<State>(Py_TYPE(self), &module_def);
    if (state == nullptr)
        return nullptr;
    const capi::Signature signature = {"update", state->update_keywords, 2, 2};
    PyObject *values[UPDATE_KEYWORDS]; // borrowed
    if (capi::bind_arguments(signature, args, nargs, kwnames, values) < 0)
        return nullptr;
    TagFilter *filter = as_filter(self);
    double time;
    if (read_time(values[0], filter, &time) < 0 ||
        load_ranges(filter, values[1]) < 0)
        return nullptr;
    return update_impl(filter, time);
}

// seed() once its inputs are checked finite and its distances are in
// filter->ranges.
inline PyObject *seed_impl(TagFilter *filter, double time, double x, double y)
{
    if (track_seed(&filter->state, &filter->params, filter->model,
                   filter->anchors, filter->ranges, filter->status, x, y,
                   time) < 0)
        return raise_value_error("the seed is not finite"), nullptr;
    return fix_tuple(filter, 0);
}

inline PyObject *filter_seed(PyObject *self, PyObject *const *args,
                             Py_ssize_t nargs, PyObject *kwnames)
{
    const State *state = capi::type_state<State>(Py_TYPE(self), &module_def);
    if (state == nullptr)
        return nullptr;
    const capi::Signature signature = {"seed", state->seed_keywords, 4, 4};
    PyObject *values[SEED_KEYWORDS]; // borrowed
    if (capi::bind_arguments(signature, args, nargs, kwnames, values) < 0)
        return nullptr;
    TagFilter *filter = as_filter(self);
    double time, x, y;
    if (read_time(values[0], filter, &time) < 0 ||
        to_bounded_double(values[1], "x", -TRACK_COORDINATE_MAX,
                          TRACK_COORDINATE_MAX, &x) < 0 ||
        to_bounded_double(values[2], "y", -TRACK_COORDINATE_MAX,
                          TRACK_COORDINATE_MAX, &y) < 0 ||
        load_ranges(filter, values[3]) < 0)
        return nullptr;
    return seed_impl(filter, time, x, y);
}

inline PyObject *filter_set_anchors(PyObject *self, PyObject *const *args,
                                    Py_ssize_t nargs, PyObject *kwnames)
{
    if (capi::expect_one_argument("set_anchors", nargs, kwnames) < 0 ||
        load_anchors(as_filter(self), args[0]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

inline PyObject *filter_reset(PyObject *self, PyObject *const *,
                              Py_ssize_t nargs, PyObject *kwnames)
{
    if (capi::expect_no_arguments("reset", nargs, kwnames) < 0)
        return nullptr;
    as_filter(self)->state.seeded = 0;
    Py_RETURN_NONE;
}

inline PyObject *tuple_of_doubles(const double *values, int count)
{
    capi::Ref tuple(PyTuple_New(count));
    if (!tuple)
        return nullptr;
    for (int i = 0; i < count; ++i) {
        PyObject *value = PyFloat_FromDouble(values[i]);
        if (value == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, value); // steals
    }
    return tuple.release();
}

inline PyObject *get_state(PyObject *self, void *)
{
    TagFilter *filter = as_filter(self);
    track_catch_up(&filter->state, filter->model);
    return tuple_of_doubles(filter->state.state, 4);
}

// The covariance of x, y, vx, vy with the model's offset errors included.
inline PyObject *get_covariance(PyObject *self, void *)
{
    TagFilter *filter = as_filter(self);
    double cov[TRACK_STATES * TRACK_STATES], out[16];
    track_marginal(&filter->state, filter->model, cov);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j)
            out[i * 4 + j] = cov[i * TRACK_STATES + j];
    }
    return tuple_of_doubles(out, 16);
}

inline PyObject *get_offset(PyObject *self, void *)
{
    TagFilter *filter = as_filter(self);
    if (!filter->state.has_offset)
        return PyFloat_FromDouble(filter->params.offset);
    track_catch_up(&filter->state, filter->model);
    return PyFloat_FromDouble(filter->state.state[4]);
}

inline PyObject *get_offset_sd(PyObject *self, void *)
{
    TagFilter *filter = as_filter(self);
    if (!filter->state.has_offset)
        return PyFloat_FromDouble(filter->params.offset_sd);
    double cov[TRACK_STATES * TRACK_STATES];
    track_marginal(&filter->state, filter->model, cov);
    const double variance = cov[TRACK_STATES * TRACK_STATES - 1];
    return PyFloat_FromDouble(variance > 0.0 ? std::sqrt(variance) : 0.0);
}

inline PyObject *get_model(PyObject *self, void *)
{
    PyObject *model = as_filter(self)->model_object;
    Py_INCREF(model);
    return model;
}

inline PyObject *get_restarted(PyObject *self, void *)
{
    return PyBool_FromLong(as_filter(self)->state.restarted);
}

inline PyObject *get_time(PyObject *self, void *)
{
    return PyFloat_FromDouble(as_filter(self)->state.time);
}

inline PyObject *get_seeded(PyObject *self, void *)
{
    return PyBool_FromLong(as_filter(self)->state.seeded);
}

inline PyObject *get_rejected(PyObject *self, void *)
{
    return PyLong_FromLongLong(as_filter(self)->rejected);
}

inline PyObject *get_anchor_count(PyObject *self, void *)
{
    return PyLong_FromLong(as_filter(self)->anchor_count);
}

inline PyObject *get_anchors(PyObject *self, void *)
{
    TagFilter *filter = as_filter(self);
    capi::Ref list(PyList_New(filter->anchor_count));
    if (!list)
        return nullptr;
    for (int i = 0; i < filter->anchor_count; ++i) {
        const track_anchor_t &a = filter->anchors[i];
        PyObject *item = Py_BuildValue("(ddd)", a.x, a.y, a.z);
        if (item == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), i, item); // steals
    }
    return list.release();
}

inline PyObject *get_process_noise(PyObject *self, void *)
{
    return PyFloat_FromDouble(as_filter(self)->params.accel_noise);
}

inline PyObject *get_sigma(PyObject *self, void *)
{
    return PyFloat_FromDouble(as_filter(self)->model->sigma);
}

inline PyObject *get_growth(PyObject *self, void *)
{
    return PyFloat_FromDouble(as_filter(self)->state.growth);
}

inline PyObject *get_height(PyObject *self, void *)
{
    return PyFloat_FromDouble(as_filter(self)->params.height);
}

inline PyGetSetDef filter_getset[] = {
    {"state", get_state, nullptr, "(x, y, vx, vy) after the last update",
     nullptr},
    {"covariance", get_covariance, nullptr,
     "covariance of state, 16 floats row-major", nullptr},
    {"time", get_time, nullptr, "time of state (s)", nullptr},
    {"seeded", get_seeded, nullptr,
     "False until seeded and again after set_anchors, reset or a lost state",
     nullptr},
    {"rejected", get_rejected, nullptr, "ranges rejected since construction",
     nullptr},
    {"anchor_count", get_anchor_count, nullptr, "number of anchors", nullptr},
    {"anchors", get_anchors, nullptr, "the anchors as (x, y, z) tuples",
     nullptr},
    {"process_noise", get_process_noise, nullptr,
     "white-acceleration spectral density (m^2/s^3)", nullptr},
    {"sigma", get_sigma, nullptr, "range noise sd (m) in use: the model's",
     nullptr},
    {"offset", get_offset, nullptr,
     "the tag's range offset (m), as learned so far", nullptr},
    {"offset_sd", get_offset_sd, nullptr,
     "the standard deviation of the tag's offset (m)", nullptr},
    {"model", get_model, nullptr,
     "the RangeModel: anchors' offsets and noise, perhaps shared", nullptr},
    {"restarted", get_restarted, nullptr,
     "whether the last update restarted the track from the message's own "
     "fix, the tag having left its prediction",
     nullptr},
    {"height", get_height, nullptr, "the tag's fixed z (m)", nullptr},
    {"growth", get_growth, nullptr,
     "how far the smoother is to widen the last update's prediction: 1, or "
     "1e4 after a restart, which all but cuts the track there",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMethodDef filter_methods[] = {
    {"update", capi::fastcall(filter_update), METH_FASTCALL | METH_KEYWORDS,
     "update($self, time, distances)\n--\n\n"
     "Predicts to time (s) and fuses one distance per anchor (m; 0 for\n"
     "none), less the anchor's and the tag's offsets. Returns (x, y, sd,\n"
     "dop, used, rejected), or None when the filter must be seeded first:\n"
     "never seeded, a gap over max_gap, or max_rejected_updates updates in\n"
     "a row that rejected more ranges than they used. A message whose\n"
     "ranges agree on a place beyond the prediction's reach restarts the\n"
     "track there (restarted); one that contradicts itself is rejected.\n"
     "Non-finite, negative and over-long distances are rejected and\n"
     "counted; a negative time or one before the last raises ValueError."},
    {"seed", capi::fastcall(filter_seed), METH_FASTCALL | METH_KEYWORDS,
     "seed($self, time, x, y, distances)\n--\n\n"
     "Starts the filter at (x, y), at rest, with the covariance of a fit\n"
     "to the positive distances given (less the offsets). A tag that has\n"
     "learned its offset keeps it. Returns the fix tuple of update()."},
    {"set_anchors", capi::fastcall(filter_set_anchors),
     METH_FASTCALL | METH_KEYWORDS,
     "set_anchors($self, anchors, /)\n--\n\n"
     "Replaces the anchors ((x, y) or (x, y, z) each); the filter must be\n"
     "seeded again."},
    {"reset", capi::fastcall(filter_reset), METH_FASTCALL | METH_KEYWORDS,
     "reset($self, /)\n--\n\nMarks the filter unseeded."},
    CAPI_PICKLING_REFUSAL_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

// The filter owns its model reference; a half-built filter has none.
inline void release_filter(PyObject *self)
{
    Py_CLEAR(as_filter(self)->model_object);
}

inline PyType_Slot filter_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(filter_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(capi::dealloc<release_filter>)},
    {Py_tp_methods, filter_methods},
    {Py_tp_getset, filter_getset},
    {Py_tp_doc,
     const_cast<char *>(
         "TagFilter(anchors, *, sigma=0.05, process_noise=0.2, gate=3.5,\n"
         "          short_gate=6.0, height=0.0, max_gap=2.0,\n"
         "          max_rejected_updates=3, max_range=1000.0, offset=0.0,\n"
         "          offset_sd=0.0, model=None)\n--\n\n"
         "A constant-velocity filter of one tag's x, y, vx, vy on its\n"
         "ranges to 1 to 32 anchors ((x, y) or (x, y, z), metres). The tag\n"
         "moves in the plane z = height; a range is the 3-D distance plus\n"
         "the anchor's offset plus the tag's offset plus noise. offset is\n"
         "the tag's offset (m) and offset_sd its sd: above 0 it is learned.\n"
         "model is a RangeModel shared with the filters of other tags\n"
         "(the anchors' offsets and the noise); without one the filter has\n"
         "its own, of noise sigma (m; None: estimated) and no offsets.\n"
         "process_noise is the white-acceleration spectral density\n"
         "(m^2/s^3). A range more than gate predicted standard deviations\n"
         "too long, or short_gate too short, is rejected.")},
    {0, nullptr},
};

inline PyType_Spec filter_spec = {
    "qz_track.TagFilter", sizeof(TagFilter), 0,
    Py_TPFLAGS_DEFAULT,   filter_slots,
};

} // namespace track

#endif
