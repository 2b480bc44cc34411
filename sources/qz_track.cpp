// Module qz_track: the TagFilter type, a range-level constant-velocity
// filter of one tag against one anchor set; the RangeModel type, the
// anchors' offsets and the ranging noise that the filters of several tags
// share; and smooth() and smooth_in_place(), the offline smoother of a
// filtered track. The numerics live in track-filter and track-smooth.
#include "capi.hpp"
#include "track_filter_type.hpp"
#include "track_model_type.hpp"
#include "track_module_state.hpp"
#include "track_smooth.hpp"

#include <utility>

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
    {"smooth_in_place", capi::fastcall(smooth_in_place),
     METH_FASTCALL | METH_KEYWORDS,
     "smooth_in_place(times, states, covariances, starts, growths,\n"
     "                process_noise)\n"
     "--\n\n"
     "smooth() over buffers, without a copy: times, growths array('d') of\n"
     "one a fix; states array('d') of 4 a fix and covariances array('d') of\n"
     "10 a fix (each symmetric 4x4 as its upper triangle, row-major: 00 01\n"
     "02 03 11 12 13 22 23 33), both writable, smoothed where they are;\n"
     "starts one byte a fix (array('b'), bytes), nonzero where the filter\n"
     "was seeded. Returns None."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject *module)
{
    State &state = capi::state_of<State>(module);
    if (init_names(state) < 0 ||
        PyModule_AddFunctions(module, module_methods) < 0)
        return -1;
    state.model_type = capi::new_type(module, &model_spec);
    if (state.model_type == nullptr ||
        capi::add_to_module(module, "RangeModel",
                            capi::Ref::borrow(state.model_type)) < 0)
        return -1;
    capi::Ref filter_type(capi::new_type(module, &filter_spec));
    if (!filter_type ||
        capi::add_to_module(module, "TagFilter", std::move(filter_type)) < 0)
        return -1;
    return PyModule_AddIntConstant(module, "MAX_ANCHORS", TRACK_MAX_ANCHORS);
}

PyModuleDef module_def = capi::module_definition<State, exec_module>(
    "qz_track",
    "Tag tracking on ranges: a constant-velocity Kalman filter per tag with\n"
    "gated range updates, the anchors' range offsets and the ranging noise\n"
    "learned from the tags' ranges, and a Rauch-Tung-Striebel smoother, in\n"
    "double precision.");

} // namespace track

PyMODINIT_FUNC PyInit_qz_track(void)
{
    return capi::init_module(&track::module_def, track::exec_module);
}
