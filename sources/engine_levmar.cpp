// Module qz_engine: the PositionEngine type, which owns the anchor and
// measurement slots of one anchor set and fits a tag position to them with
// the Levenberg-Marquardt solver, and the Position record it returns.
#include "capi.hpp"
#include "engine-levmar.h"
#include "position_class.hpp"

#include <utility>

namespace
{

// The engine fits x and y only, with at most 8 iterations.
constexpr int fit_dimensions = 2;
constexpr int fit_iterations = 8;

// The module's runtime objects.
struct State {
    PyObject *str_Position;
    PyObject *coordinate_names[3]; // x, y, z
    PyObject *new_keywords[1];     // nb_anchors
    PyObject *compute_keywords[2]; // measurements, initial_position

    template <class Visit> void each(Visit visit)
    {
        visit(str_Position);
        for (PyObject *&name : coordinate_names)
            visit(name);
        visit(new_keywords[0]);
        for (PyObject *&name : compute_keywords)
            visit(name);
    }
};

extern PyModuleDef module_def;

struct PositionEngine {
    PyObject_HEAD anchor_pos_t *anchor_positions; // anchor_count anchor slots
    int anchor_count;
    float position[3];   // the working estimate x, y, z
    float *measurements; // anchor_count measurement slots
    float sse;           // sum of squares of the last fit
};

PositionEngine *as_engine(PyObject *self)
{
    return reinterpret_cast<PositionEngine *>(self);
}

// Size of an exact list or tuple, which is known without running user
// code; -1 for any other iterable.
Py_ssize_t known_length(PyObject *iterable)
{
    if (PyList_CheckExact(iterable))
        return PyList_GET_SIZE(iterable);
    if (PyTuple_CheckExact(iterable))
        return PyTuple_GET_SIZE(iterable);
    return -1;
}

int raise_surplus(const char *what, int slots)
{
    PyErr_Format(PyExc_ValueError, "more %s than the engine's %d slots", what,
                 slots);
    return -1;
}

PyObject *engine_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    State *state = capi::type_state<State>(type, &module_def);
    if (state == nullptr)
        return nullptr;
    const capi::Signature signature = {"__cinit__", state->new_keywords, 1, 1};
    PyObject *nb_anchors; // borrowed
    if (capi::bind_arguments(signature, args, kwargs, &nb_anchors) < 0)
        return nullptr;
    int count;
    if (capi::to_int32(nb_anchors, &count) < 0)
        return nullptr;
    if (count < 0) {
        PyErr_Format(PyExc_ValueError, "nb_anchors must not be negative: %d",
                     count);
        return nullptr;
    }
    capi::Ref self(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    PositionEngine *engine = as_engine(self.get());
    engine->anchor_count = count;
    // Zero-filled: an unwritten measurement slot means "no measurement".
    const size_t slots = count > 0 ? static_cast<size_t>(count) : 1;
    engine->anchor_positions =
        static_cast<anchor_pos_t *>(PyMem_Calloc(slots, sizeof(anchor_pos_t)));
    engine->measurements =
        static_cast<float *>(PyMem_Calloc(slots, sizeof(float)));
    if (engine->anchor_positions == nullptr || engine->measurements == nullptr)
        return PyErr_NoMemory();
    return self.release();
}

void engine_release(PyObject *self)
{
    PositionEngine *engine = as_engine(self);
    PyMem_Free(engine->anchor_positions);
    PyMem_Free(engine->measurements);
}

PyObject *get_anchor_positions_impl(PositionEngine *engine, PyObject *module)
{
    capi::Ref list(PyList_New(engine->anchor_count));
    if (!list || engine->anchor_count == 0)
        return list.release();
    capi::Ref cls(position_class::lookup(
        module, capi::state_of<State>(module).str_Position));
    if (!cls)
        return nullptr;
    for (int i = 0; i < engine->anchor_count; ++i) {
        const anchor_pos_t &anchor = engine->anchor_positions[i];
        PyObject *position = position_class::new_position(cls.get(), anchor.x,
                                                          anchor.y, anchor.z);
        if (position == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), i, position); // steals
    }
    return list.release();
}

PyObject *get_anchor_positions(PyObject *self, PyObject *const *,
                               Py_ssize_t nargs, PyObject *kwnames)
{
    if (capi::expect_no_arguments("get_anchor_positions", nargs, kwnames) < 0)
        return nullptr;
    PyObject *module = capi::module_of_type(Py_TYPE(self), &module_def);
    if (module == nullptr)
        return nullptr;
    return get_anchor_positions_impl(as_engine(self), module);
}

int set_anchor_positions_impl(PositionEngine *engine, const State &state,
                              PyObject *anchor_positions)
{
    if (capi::assertions_enabled()) {
        Py_ssize_t length = PyObject_Size(anchor_positions);
        if (length < 0)
            return -1;
        if (length != engine->anchor_count)
            return capi::raise_assertion();
    }
    PyObject *const *names = state.coordinate_names;
    auto store = [engine, names](Py_ssize_t i, PyObject *item) {
        anchor_pos_t &slot = engine->anchor_positions[i];
        if (capi::attribute_to_float32(item, names[0], &slot.x) < 0 ||
            capi::attribute_to_float32(item, names[1], &slot.y) < 0 ||
            capi::attribute_to_float32(item, names[2], &slot.z) < 0)
            return -1;
        return 0;
    };
    auto surplus = [engine] {
        return raise_surplus("anchor positions", engine->anchor_count);
    };
    return capi::store_items(anchor_positions, engine->anchor_count, store,
                             surplus);
}

PyObject *set_anchor_positions(PyObject *self, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames)
{
    if (capi::expect_one_argument("set_anchor_positions", nargs, kwnames) < 0)
        return nullptr;
    State *state = capi::type_state<State>(Py_TYPE(self), &module_def);
    if (state == nullptr ||
        set_anchor_positions_impl(as_engine(self), *state, args[0]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *compute_tag_position_impl(PositionEngine *engine, PyObject *module,
                                    PyObject *measurements,
                                    PyObject *initial_position)
{
    const State &state = capi::state_of<State>(module);
    // A list or tuple with too many items is refused before anything,
    // the start point included, is stored.
    if (known_length(measurements) > engine->anchor_count) {
        raise_surplus("measurements", engine->anchor_count);
        return nullptr;
    }
    for (int i = 0; i < 3; ++i) {
        if (capi::attribute_to_float32(initial_position,
                                       state.coordinate_names[i],
                                       &engine->position[i]) < 0)
            return nullptr;
    }

    auto store = [engine](Py_ssize_t i, PyObject *item) {
        return capi::to_float32(item, &engine->measurements[i]);
    };
    auto surplus = [engine] {
        return raise_surplus("measurements", engine->anchor_count);
    };
    if (capi::store_items(measurements, engine->anchor_count, store, surplus) <
        0)
        return nullptr;

    ls_lm_dif(engine->position, engine->measurements, fit_dimensions,
              engine->anchor_count, fit_iterations, &engine->sse,
              engine->anchor_positions);
    capi::Ref cls(position_class::lookup(module, state.str_Position));
    if (!cls)
        return nullptr;
    return position_class::new_position(cls.get(), engine->position[0],
                                        engine->position[1],
                                        engine->position[2]);
}

PyObject *compute_tag_position(PyObject *self, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *module = capi::module_of_type(Py_TYPE(self), &module_def);
    if (module == nullptr)
        return nullptr;
    const capi::Signature signature = {
        "compute_tag_position", capi::state_of<State>(module).compute_keywords,
        2, 2};
    PyObject *arguments[2]; // borrowed
    if (capi::bind_arguments(signature, args, nargs, kwnames, arguments) < 0)
        return nullptr;
    return compute_tag_position_impl(as_engine(self), module, arguments[0],
                                     arguments[1]);
}

PyMethodDef engine_methods[] = {
    {"get_anchor_positions", capi::fastcall(get_anchor_positions),
     METH_FASTCALL | METH_KEYWORDS,
     "get_anchor_positions($self, /)\n--\n\n"
     "A new list of Position objects, one per anchor slot in slot order."},
    {"set_anchor_positions", capi::fastcall(set_anchor_positions),
     METH_FASTCALL | METH_KEYWORDS,
     "set_anchor_positions($self, anchor_positions, /)\n--\n\n"
     "Stores the x, y and z attributes of each item in the anchor slots,\n"
     "rounded to 32-bit floats. While assertions are enabled the number of\n"
     "items must equal the slot count (AssertionError otherwise); an item\n"
     "beyond the slots raises ValueError in every mode, before anything is\n"
     "stored when the input is a list or tuple."},
    {"compute_tag_position", capi::fastcall(compute_tag_position),
     METH_FASTCALL | METH_KEYWORDS,
     "compute_tag_position($self, measurements, initial_position)\n--\n\n"
     "Fits x and y to the measured distances, one per anchor slot in slot\n"
     "order (0 or less: no measurement), starting at initial_position, and\n"
     "returns a new Position; z is carried through. Slots beyond the last\n"
     "item keep their earlier values. More items than slots raise\n"
     "ValueError, before anything is stored when the input is a list or\n"
     "tuple. Of more than 20 positive measurements the first 20 in slot\n"
     "order are used."},
    CAPI_PICKLING_REFUSAL_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(capi::dealloc<engine_release>)},
    {Py_tp_methods, engine_methods},
    {Py_tp_doc,
     const_cast<char *>(
         "PositionEngine(nb_anchors)\n--\n\n"
         "Fits tag positions to distances from nb_anchors anchors.\n"
         "nb_anchors is converted to a 32-bit int; a negative count\n"
         "raises ValueError and a failed allocation MemoryError.\n"
         "Anchor and measurement slots start at zero, so an\n"
         "unwritten measurement slot counts as no measurement.")},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "qz_engine.PositionEngine",
    sizeof(PositionEngine),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    engine_slots,
};

int init_names(State &state)
{
    return (capi::intern(state.str_Position, "Position") < 0 ||
            capi::intern(state.coordinate_names[0], "x") < 0 ||
            capi::intern(state.coordinate_names[1], "y") < 0 ||
            capi::intern(state.coordinate_names[2], "z") < 0 ||
            capi::intern(state.new_keywords[0], "nb_anchors") < 0 ||
            capi::intern(state.compute_keywords[0], "measurements") < 0 ||
            capi::intern(state.compute_keywords[1], "initial_position") < 0)
               ? -1
               : 0;
}

int exec_module(PyObject *module)
{
    if (capi::init_assertions() < 0 ||
        init_names(capi::state_of<State>(module)) < 0 ||
        position_class::add_to_module(module) < 0)
        return -1;
    capi::Ref engine_type(capi::new_type(module, &engine_spec));
    if (!engine_type)
        return -1;
    return capi::add_to_module(module, "PositionEngine",
                               std::move(engine_type));
}

PyModuleDef module_def = capi::module_definition<State, exec_module>(
    "qz_engine",
    "Tag positioning: a Levenberg-Marquardt fit of a tag's x and y to its\n"
    "distances from anchors at known positions, in 32-bit floats.");

} // namespace

PyMODINIT_FUNC PyInit_qz_engine(void)
{
    return capi::init_module(&module_def, exec_module);
}
