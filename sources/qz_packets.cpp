// Module qz_packets: decodes the device frames of the ranging hardware into
// ordinary record objects, one class per part of a frame, and hands the
// content of a ranging message to the application's handler.
//
// The classes behave exactly as if their methods were written in the
// interpreter's own language: constants are read through the instance, the
// base initialiser is found through the class hierarchy, the module's
// globals (TYPE_DW, TYPE_HB, the record classes) are looked up at every
// call, fields are assigned one by one in layout order, and the length,
// magic and type checks are assertions that -O switches off; those classes,
// written out in plain Python, are tests/reference/plain_python_packets.py.
// Speed comes from reading bytes and bytearray objects in place
// (packets_source.hpp), from building the records of a frame without a
// class call where nothing could tell the difference
// (packets_construct.hpp, packets_frame.hpp), and from a vectorcall entry
// for each class (packets_class_call.hpp).
//
// The other files: packets_layout.hpp holds the constant layout of every
// record, packets_state.hpp the module's runtime objects,
// packets_decoders.hpp the steps of the record initialisers,
// packets_frame.hpp those of QZDWPacket, and packets_type_lookup.hpp what
// the module reads of a class without running its code.
#include "capi.hpp"
#include "packets_class_call.hpp"
#include "packets_construct.hpp"
#include "packets_decoders.hpp"
#include "packets_frame.hpp"
#include "packets_layout.hpp"
#include "packets_source.hpp"
#include "packets_state.hpp"

#include <array>
#include <initializer_list>
#include <utility>

namespace
{

using capi::Ref;
using namespace packets;

// ---------------------------------------------------------------------------
// Functions of the classes. Each receives the module as its C `self` and
// the instance as args[0], like a function defined in a class body.

template <RecordId id>
PyObject *record_init(PyObject *module, PyObject *const *args,
                      Py_ssize_t nargs, PyObject *kwnames)
{
    if (bind_record_init<id>(capi::state_of<State>(module), args, nargs,
                             kwnames, false) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *base_init(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames)
{
    const State &state = capi::state_of<State>(module);
    const capi::Signature signature = {"__init__", state.base_init_keywords, 2,
                                       2};
    PyObject *values[2]; // borrowed
    if (capi::bind_arguments(signature, args, nargs, kwnames, values) < 0 ||
        capi::set_attr(values[0], state.str__len, values[1]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *base_len(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames)
{
    if (capi::expect_one_argument("__len__", nargs, kwnames) < 0)
        return nullptr;
    return capi::get_attr(args[0], capi::state_of<State>(module).str__len);
}

// (self.flags & self.FLAG_ANCHOR) == self.FLAG_ANCHOR
PyObject *message_is_anchor(PyObject *module, PyObject *const *args,
                            Py_ssize_t nargs, PyObject *kwnames)
{
    if (capi::expect_one_argument("is_anchor", nargs, kwnames) < 0)
        return nullptr;
    const State &state = capi::state_of<State>(module);
    PyObject *self = args[0];
    Ref flags(capi::get_attr(self, state.str_flags));
    if (!flags)
        return nullptr;
    Ref mask(capi::get_attr(self, state.str_FLAG_ANCHOR));
    if (!mask)
        return nullptr;
    Ref masked(PyNumber_And(flags.get(), mask.get()));
    if (!masked)
        return nullptr;
    mask = Ref(capi::get_attr(self, state.str_FLAG_ANCHOR));
    if (!mask)
        return nullptr;
    return PyObject_RichCompare(masked.get(), mask.get(), Py_EQ);
}

PyObject *packet_init_function(PyObject *module, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames)
{
    if (bind_packet_init(capi::state_of<State>(module), args, nargs, kwnames,
                         false) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *packet_callback(PyObject *module, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames)
{
    if (capi::expect_one_argument("callback", nargs, kwnames) < 0 ||
        packet_callback_impl(capi::state_of<State>(module), args[0]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// The vectorcall entry of QZDWPacket (packets_class_call.hpp).
PyObject *packet_class_call(PyObject *cls, PyObject *const *args,
                            size_t nargsf, PyObject *kwnames)
{
    State *state = class_state(cls);
    if (state == nullptr || state->packet.cls != cls)
        return call_through_type(cls, args, nargsf, kwnames);
    auto init = [&](PyObject *const *stack, Py_ssize_t n, PyObject *names) {
        return bind_packet_init(*state, stack, n, names, true);
    };
    return class_call(state, cls, args, nargsf, kwnames,
                      state->packet.init_function, state->packet.call_version,
                      init);
}

template <size_t... ids>
std::array<vectorcallfunc, record_count>
record_class_calls(std::index_sequence<ids...>)
{
    return {{record_class_call<static_cast<RecordId>(ids)>...}};
}

const std::array<vectorcallfunc, record_count> record_class_call_of =
    record_class_calls(std::make_index_sequence<record_count>{});

constexpr int fast_flags = METH_FASTCALL | METH_KEYWORDS;

// The __init__ of each record class, its docstring from the layout.
template <size_t... ids>
std::array<PyMethodDef, record_count>
record_init_defs(std::index_sequence<ids...>)
{
    return {
        {{"__init__", capi::fastcall(record_init<static_cast<RecordId>(ids)>),
          fast_flags, layouts[ids].init_doc}...}};
}

std::array<PyMethodDef, record_count> record_init_def =
    record_init_defs(std::make_index_sequence<record_count>{});

PyMethodDef base_init_def = {
    "__init__", capi::fastcall(base_init), fast_flags,
    "__init__(self, length)\n--\n\nStores length in _len, as given."};
PyMethodDef base_len_def = {"__len__", capi::fastcall(base_len), fast_flags,
                            "__len__(self)\n--\n\nReturns self._len."};
PyMethodDef message_is_anchor_def = {
    "is_anchor", capi::fastcall(message_is_anchor), fast_flags,
    "is_anchor(self)\n--\n\nWhether bit FLAG_ANCHOR of flags is set."};
PyMethodDef packet_init_def = {
    "__init__", capi::fastcall(packet_init_function), fast_flags,
    "__init__(self, header, bytes, callback=None)\n--\n\n"
    "Cuts the whole frame into its records; keeps header and callback."};
PyMethodDef packet_callback_def = {
    "callback", capi::fastcall(packet_callback), fast_flags,
    "callback(self)\n--\n\n"
    "For a ranging message, calls\n"
    "callback_handle(src_addr, is_anchor, reports); returns None."};

// ---------------------------------------------------------------------------
// Classes

PyObject *object_class()
{
    return reinterpret_cast<PyObject *>(&PyBaseObject_Type);
}

int set_int(PyObject *ns, PyObject *name, long value)
{
    Ref number(PyLong_FromLong(value));
    return number ? PyDict_SetItem(ns, name, number.get()) : -1;
}

// A class namespace: the docstring and the functions in `defs`.
PyObject *new_namespace(PyObject *module, const char *doc,
                        std::initializer_list<PyMethodDef *> defs)
{
    Ref ns(PyDict_New());
    Ref text(PyUnicode_FromString(doc));
    if (!ns || !text || PyDict_SetItemString(ns.get(), "__doc__", text.get()))
        return nullptr;
    for (PyMethodDef *def : defs) {
        if (capi::add_function(ns.get(), def, module) < 0)
            return nullptr;
    }
    return ns.release();
}

// Creates class `name` from `ns` and binds it in the module. Returns a new
// reference to it; `*init`, if given, receives a new reference to the
// __init__ of the namespace.
PyObject *add_class(PyObject *module, const char *name, PyObject *base,
                    PyObject *ns, PyObject **init)
{
    if (init != nullptr) {
        const State &state = capi::state_of<State>(module);
        *init = PyDict_GetItemWithError(ns, state.str___init__); // borrowed
        if (*init == nullptr)
            return nullptr;
        Py_INCREF(*init);
    }
    Ref cls(capi::new_class(module, name, base, ns));
    if (!cls || capi::add_to_module(module, name, Ref::borrow(cls.get())) < 0)
        return nullptr;
    return cls.release();
}

// The class of record `id` from its layout: its __init__ (and is_anchor
// for the ranging message), its length constant, FLAG_ANCHOR for the
// ranging message.
int add_record_class(PyObject *module, PyObject *base, RecordId id)
{
    State &state = capi::state_of<State>(module);
    const RecordLayout &layout = layouts[id];
    RecordState &record = state.records[id];
    Ref ns(id == ranging_message
               ? new_namespace(module, layout.doc,
                               {&record_init_def[id], &message_is_anchor_def})
               : new_namespace(module, layout.doc, {&record_init_def[id]}));
    if (!ns ||
        (record.length_name != nullptr &&
         set_int(ns.get(), record.length_name, layout.length) < 0) ||
        (id == ranging_message &&
         set_int(ns.get(), state.str_FLAG_ANCHOR, flag_anchor) < 0))
        return -1;
    record.cls = add_class(module, layout.name,
                           layout.derives_base ? base : object_class(),
                           ns.get(), &record.init_function);
    if (record.cls == nullptr)
        return -1;
    set_class_call(module, record.cls, record_class_call_of[id]);
    return 0;
}

int add_packet_class(PyObject *module)
{
    State &state = capi::state_of<State>(module);
    Ref ns(new_namespace(
        module,
        "QZDWPacket(header, bytes, callback=None): a device frame of type\n"
        "\"DW\" cut into its records; callback() hands a ranging message\n"
        "to the handler.",
        {&packet_init_def, &packet_callback_def}));
    if (!ns)
        return -1;
    for (size_t part = 0; part < frame_part_count; ++part) {
        const FrameSlice &slice = frame_slices[part];
        Ref value(new_slice(slice.start, slice.stop));
        if (!value ||
            PyDict_SetItem(ns.get(), state.slice_names[part], value.get()) < 0)
            return -1;
    }
    if (set_int(ns.get(), state.str__MESSAGE_TYPE_RANGING,
                message_type_ranging) < 0)
        return -1;
    PacketState &packet = state.packet;
    packet.cls = add_class(module, "QZDWPacket", object_class(), ns.get(),
                           &packet.init_function);
    if (packet.cls == nullptr)
        return -1;
    set_class_call(module, packet.cls, packet_class_call);
    return 0;
}

// Binds the ten classes in the module's order.
int add_classes(PyObject *module)
{
    Ref ns(new_namespace(
        module, "BasePacket(length): a record whose len() is its _len.",
        {&base_init_def, &base_len_def}));
    if (!ns)
        return -1;
    Ref base(add_class(module, "BasePacket", object_class(), ns.get(),
                       &capi::state_of<State>(module).base_init_function));
    if (!base)
        return -1;
    for (size_t id = 0; id < record_count; ++id) {
        if (add_record_class(module, base.get(), static_cast<RecordId>(id)) <
            0)
            return -1;
    }
    return add_packet_class(module);
}

int exec_module(PyObject *module)
{
    if (capi::init_assertions() < 0 ||
        init_state(capi::state_of<State>(module), module) < 0)
        return -1;
    Ref type_dw(PyUnicode_InternFromString("DW"));
    Ref type_hb(PyUnicode_InternFromString("HB"));
    if (!type_dw || !type_hb ||
        capi::add_to_module(module, "TYPE_DW", std::move(type_dw)) < 0 ||
        capi::add_to_module(module, "TYPE_HB", std::move(type_hb)) < 0)
        return -1;
    return add_classes(module);
}

PyModuleDef module_def = capi::module_definition<State, exec_module>(
    "qz_packets",
    "Device frame decoding: Header for the first 9 bytes of a frame, and\n"
    "QZDWPacket for a whole frame of type \"DW\", which builds one record\n"
    "per part and hands ranging messages to the application's handler.");

} // namespace

PyMODINIT_FUNC PyInit_qz_packets(void)
{
    return capi::init_module(&module_def, exec_module);
}
