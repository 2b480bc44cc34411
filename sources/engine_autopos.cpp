// Module qz_autopos: the AutoPos type, which owns the distance matrix and
// the position estimates of one set of anchors and surveys them by
// multidimensional scaling, and the Position record it returns.
#include "capi.hpp"
#include "engine-autopos.h"
#include "position_class.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace
{

// The module's runtime objects.
struct State {
    PyObject *str_Position;
    PyObject *int_zero;        // the z of every estimate
    PyObject *int_float_size;  // sizeof(float) as an int, for the byte count
    PyObject *new_keywords[1]; // anchor_cnt

    template <class Visit> void each(Visit visit)
    {
        visit(str_Position);
        visit(int_zero);
        visit(int_float_size);
        visit(new_keywords[0]);
    }
};

extern PyModuleDef module_def;

struct AutoPos {
    PyObject_HEAD float *meas; // anchor_count^2 distances, row-major
    int anchor_count;
    float *anchor_pos_est; // x, y and z blocks of anchor_count estimates
    int qf;                // running figure of the surveys
    Py_ssize_t meas_count; // entries of meas: anchor_count^2
};

AutoPos *as_autopos(PyObject *self)
{
    return reinterpret_cast<AutoPos *>(self);
}

// Byte size of `count` floats, or -1 with MemoryError when it exceeds what
// the allocator accepts.
Py_ssize_t float_bytes(uint64_t count)
{
    if (count > static_cast<uint64_t>(PY_SSIZE_T_MAX) / sizeof(float)) {
        PyErr_NoMemory();
        return -1;
    }
    return static_cast<Py_ssize_t>(count * sizeof(float));
}

// Constructor steps after the argument binding; on an error the caller
// destroys the half-built instance, which frees what was allocated.
int autopos_setup(AutoPos *self, const State &state, PyObject *anchor_cnt)
{
    // the distance matrix: anchor_cnt * anchor_cnt * 4 bytes, the product
    // formed by the argument's own multiplication
    capi::Ref square(PyNumber_Multiply(anchor_cnt, anchor_cnt));
    if (!square)
        return -1;
    capi::Ref product(PyNumber_Multiply(square.get(), state.int_float_size));
    if (!product)
        return -1;
    size_t bytes;
    if (capi::to_size(product.get(), &bytes) < 0)
        return -1;
    self->meas = static_cast<float *>(PyMem_Malloc(bytes));
    if (self->meas == nullptr) {
        PyErr_NoMemory();
        return -1;
    }

    int count;
    if (capi::to_int32(anchor_cnt, &count) < 0)
        return -1;
    self->anchor_count = count;

    // What the count needs, whatever the multiplication gave: anchor_cnt^2
    // distances, and estimates with room for all three blocks (3n > n^2 for
    // one and two anchors).
    const int64_t wide = count;
    const uint64_t cells = static_cast<uint64_t>(wide * wide);
    const uint64_t est_cells = count > 0 && 3 * wide > wide * wide
                                   ? static_cast<uint64_t>(3 * wide)
                                   : cells;
    const Py_ssize_t meas_bytes = float_bytes(cells);
    const Py_ssize_t est_bytes = float_bytes(est_cells);
    if (meas_bytes < 0 || est_bytes < 0)
        return -1;
    if (bytes < static_cast<size_t>(meas_bytes)) {
        void *grown = PyMem_Realloc(self->meas, meas_bytes);
        if (grown == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        self->meas = static_cast<float *>(grown);
    }
    self->meas_count = static_cast<Py_ssize_t>(cells);

    // the same size as the distance matrix, or more where the blocks need it
    const size_t est_size = std::max(bytes, static_cast<size_t>(est_bytes));
    self->anchor_pos_est = static_cast<float *>(PyMem_Malloc(est_size));
    if (self->anchor_pos_est == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    self->qf = 0;

    // distances start at 0; estimate entry idx reads idx, so anchor idx
    // starts at x = idx, y = idx + anchor_cnt
    for (uint64_t idx = 0; idx < cells; ++idx)
        self->meas[idx] = 0.0f;
    for (uint64_t idx = 0; idx < est_cells; ++idx)
        self->anchor_pos_est[idx] = static_cast<float>(idx);
    return 0;
}

PyObject *autopos_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    State *state = capi::type_state<State>(type, &module_def);
    if (state == nullptr)
        return nullptr;
    const capi::Signature signature = {"__cinit__", state->new_keywords, 1, 1};
    PyObject *anchor_cnt; // borrowed
    if (capi::bind_arguments(signature, args, kwargs, &anchor_cnt) < 0)
        return nullptr;
    capi::Ref self(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    if (autopos_setup(as_autopos(self.get()), *state, anchor_cnt) < 0)
        return nullptr;
    return self.release();
}

void autopos_release(PyObject *self)
{
    AutoPos *autopos = as_autopos(self);
    PyMem_Free(autopos->meas);
    PyMem_Free(autopos->anchor_pos_est);
}

int raise_surplus(Py_ssize_t capacity)
{
    PyErr_Format(PyExc_ValueError,
                 "more measurements than the %zd entries of the distance "
                 "matrix",
                 capacity);
    return -1;
}

int compute_impl(AutoPos *self, PyObject *measurements)
{
    float *meas = self->meas;
    const Py_ssize_t capacity = self->meas_count;
    auto store = [meas](Py_ssize_t i, PyObject *item) {
        return capi::to_float32(item, &meas[i]);
    };
    auto surplus = [capacity] { return raise_surplus(capacity); };
    if (capi::store_items(measurements, capacity, store, surplus) < 0)
        return -1;
    // the result is not reported: a failed survey keeps the estimates
    engine_autopos_mds(self->meas, self->anchor_count, self->anchor_pos_est,
                       &self->qf);
    return 0;
}

PyObject *compute(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames)
{
    if (capi::expect_one_argument("compute", nargs, kwnames) < 0)
        return nullptr;
    if (compute_impl(as_autopos(self), args[0]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *get_position_estimates_impl(AutoPos *self, PyObject *module)
{
    const int n = self->anchor_count;
    const Py_ssize_t count = n > 0 ? n : 0;
    capi::Ref list(PyList_New(count));
    if (!list || count == 0)
        return list.release();
    const State &state = capi::state_of<State>(module);
    capi::Ref cls(position_class::lookup(module, state.str_Position));
    if (!cls)
        return nullptr;
    const float *est = self->anchor_pos_est;
    for (Py_ssize_t idx = 0; idx < count; ++idx) {
        PyObject *position = position_class::new_position(
            cls.get(), est[idx], est[idx + n], state.int_zero);
        if (position == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), idx, position); // steals
    }
    return list.release();
}

PyObject *get_position_estimates(PyObject *self, PyObject *const *,
                                 Py_ssize_t nargs, PyObject *kwnames)
{
    if (capi::expect_no_arguments("get_position_estimates", nargs, kwnames) <
        0)
        return nullptr;
    PyObject *module = capi::module_of_type(Py_TYPE(self), &module_def);
    if (module == nullptr)
        return nullptr;
    return get_position_estimates_impl(as_autopos(self), module);
}

PyMethodDef autopos_methods[] = {
    {"compute", capi::fastcall(compute), METH_FASTCALL | METH_KEYWORDS,
     "compute($self, measurements, /)\n--\n\n"
     "Stores the inter-anchor distances, any iterable of numbers in\n"
     "row-major order (item i*n + j is the distance from anchor i to\n"
     "anchor j), as 32-bit floats, then surveys the anchors and returns\n"
     "None. Entries beyond the last item keep their earlier values.\n"
     "More than anchor_cnt**2 items raise ValueError and no survey runs:\n"
     "before anything is stored for a list or tuple, otherwise when the\n"
     "surplus item arrives. An item that is not a number raises TypeError;\n"
     "the items before it are stored. A survey that fails (fewer than 3 or\n"
     "more than 15 anchors, no convergence, NaN or infinite distances)\n"
     "leaves the estimates as they were."},
    {"get_position_estimates", capi::fastcall(get_position_estimates),
     METH_FASTCALL | METH_KEYWORDS,
     "get_position_estimates($self, /)\n--\n\n"
     "A new list of Position(x, y, 0), one per anchor in index order: x\n"
     "and y are floats, z is the integer 0. Empty for anchor_cnt <= 0."},
    CAPI_PICKLING_REFUSAL_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot autopos_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(autopos_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(capi::dealloc<autopos_release>)},
    {Py_tp_methods, autopos_methods},
    {Py_tp_doc,
     const_cast<char *>(
         "AutoPos(anchor_cnt)\n--\n\n"
         "Surveys anchor_cnt anchors from their inter-anchor distances by\n"
         "multidimensional scaling: anchor 0 at the origin, anchor 1 on the\n"
         "positive x axis. The distance matrix is sized by\n"
         "anchor_cnt * anchor_cnt * 4 bytes (a negative product raises\n"
         "OverflowError), then anchor_cnt is converted to a 32-bit int; a\n"
         "failed allocation raises MemoryError. Distances start at 0 and\n"
         "the estimate of anchor idx at (idx, idx + anchor_cnt, 0). Counts\n"
         "below 3 (a negative one included) or above 15 are kept but never\n"
         "surveyed: compute stores up to anchor_cnt**2 distances and leaves\n"
         "the estimates. Instances cannot be pickled.")},
    {0, nullptr},
};

PyType_Spec autopos_spec = {
    "qz_autopos.AutoPos",
    sizeof(AutoPos),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    autopos_slots,
};

int init_names(State &state)
{
    if (capi::intern(state.str_Position, "Position") < 0 ||
        capi::intern(state.new_keywords[0], "anchor_cnt") < 0)
        return -1;
    state.int_zero = PyLong_FromLong(0);
    state.int_float_size = PyLong_FromSize_t(sizeof(float));
    return state.int_zero != nullptr && state.int_float_size != nullptr ? 0
                                                                        : -1;
}

int exec_module(PyObject *module)
{
    if (init_names(capi::state_of<State>(module)) < 0 ||
        position_class::add_to_module(module) < 0)
        return -1;
    capi::Ref autopos_type(capi::new_type(module, &autopos_spec));
    if (!autopos_type)
        return -1;
    return capi::add_to_module(module, "AutoPos", std::move(autopos_type));
}

PyModuleDef module_def = capi::module_definition<State, exec_module>(
    "qz_autopos",
    "Anchor auto-positioning: anchor coordinates from the distances the\n"
    "anchors measured to one another, by classical multidimensional\n"
    "scaling in 32-bit floats.");

} // namespace

PyMODINIT_FUNC PyInit_qz_autopos(void)
{
    return capi::init_module(&module_def, exec_module);
}
