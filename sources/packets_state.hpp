// The runtime objects of one qz_packets module, held in its module state:
// interned names, small constants, the classes as created at import and
// what the plainness check of each record class last found.
#ifndef QZ_PACKETS_STATE_HPP
#define QZ_PACKETS_STATE_HPP

#include "capi.hpp"
#include "packets_layout.hpp"
#include "packets_source.hpp"

namespace packets
{

// One record class of the module.
struct RecordState {
    PyObject *global;        // its name in the module
    PyObject *length_name;   // its length constant's name, or nullptr
    PyObject *cls;           // the class as created at import
    PyObject *init_function; // the __init__ of its namespace
    PyObject *stored;        // all attribute names it stores, a tuple
    // Per field in layout order: its name, the name of its high nibble
    // (nibbles only), and slice(start, stop) unless it spans the input.
    PyObject *attrs[max_fields];
    PyObject *high_attrs[max_fields];
    PyObject *slices[max_fields];
    PyObject *extra;            // the layout's extra name, or nullptr
    unsigned int plain_version; // version tag found plain, 0: none
    unsigned int call_version;  // version tag found calling __init__
    PyObject *constant_value;   // its constant at that version

    template <class Visit> void each(Visit visit)
    {
        for (PyObject **ref : {&global, &length_name, &cls, &init_function,
                               &stored, &extra, &constant_value})
            visit(*ref);
        for (size_t i = 0; i < max_fields; ++i) {
            visit(attrs[i]);
            visit(high_attrs[i]);
            visit(slices[i]);
        }
    }
};

// QZDWPacket.
struct PacketState {
    PyObject *cls;              // the class as created at import
    PyObject *init_function;    // the __init__ of its namespace
    PyObject *stored;           // all attribute names it stores, a tuple
    unsigned int call_version;  // version tag found calling __init__
    unsigned int plain_version; // version tag found plain, 0: none
    // At that version: the bounds of the slice of each part, as slicing
    // unpacks them, and _MESSAGE_TYPE_RANGING.
    Py_ssize_t slice_start[frame_part_count];
    Py_ssize_t slice_stop[frame_part_count];
    PyObject *ranging_type;

    template <class Visit> void each(Visit visit)
    {
        for (PyObject **ref : {&cls, &init_function, &stored, &ranging_type})
            visit(*ref);
    }
};

struct State {
    PyObject *globals; // the module's namespace

    // Parameter names.
    PyObject *str_self, *str_bytes, *str_length, *str_header, *str_callback;
    // Attribute names.
    PyObject *str___init__, *str__len, *str_cnt, *str_reports, *str_flags,
        *str_type, *str_src_addr, *str_is_anchor, *str_callback_handle,
        *str_FLAG_ANCHOR, *str__MESSAGE_TYPE_RANGING;
    // The attributes of QZDWPacket holding its parts, and its slices.
    PyObject *part_attrs[frame_part_count];
    PyObject *slice_names[frame_part_count];
    // Module globals and the magic text.
    PyObject *str_TYPE_DW, *str_TYPE_HB, *str_magic;
    ProtocolNames protocol;

    PyObject *empty_tuple;
    PyObject *int_low_nibble;  // 0x0F
    PyObject *int_high_nibble; // 0xF0
    PyObject *int_four;
    PyObject *magic_slice; // slice(0, 4)

    PyObject *base_init_function; // BasePacket's __init__
    PacketState packet;
    RecordState records[record_count];

    // Keywords of the functions: (self, bytes), (self, length) and
    // (self, header, bytes, callback).
    PyObject *record_keywords[2];
    PyObject *base_init_keywords[2];
    PyObject *packet_init_keywords[4];

    // Every reference, once; the keyword arrays only repeat names.
    template <class Visit> void each(Visit visit);
};

// The interned names of the state and their text.
struct StateName {
    PyObject *State::*slot;
    const char *text;
};

constexpr StateName state_names[] = {
    {&State::str_self, "self"},
    {&State::str_bytes, "bytes"},
    {&State::str_length, "length"},
    {&State::str_header, "header"},
    {&State::str_callback, "callback"},
    {&State::str___init__, "__init__"},
    {&State::str__len, "_len"},
    {&State::str_cnt, "cnt"},
    {&State::str_reports, "reports"},
    {&State::str_flags, "flags"},
    {&State::str_type, "type"},
    {&State::str_src_addr, "src_addr"},
    {&State::str_is_anchor, "is_anchor"},
    {&State::str_callback_handle, "callback_handle"},
    {&State::str_FLAG_ANCHOR, "FLAG_ANCHOR"},
    {&State::str__MESSAGE_TYPE_RANGING, "_MESSAGE_TYPE_RANGING"},
    {&State::str_TYPE_DW, "TYPE_DW"},
    {&State::str_TYPE_HB, "TYPE_HB"},
    {&State::str_magic, magic},
};

template <class Visit> void State::each(Visit visit)
{
    for (const StateName &name : state_names)
        visit(this->*name.slot);
    for (PyObject **ref : {&protocol.str_decode, &protocol.str_ascii,
                           &protocol.str_from_bytes, &protocol.str_little})
        visit(*ref);
    for (PyObject **ref :
         {&globals, &empty_tuple, &int_low_nibble, &int_high_nibble, &int_four,
          &magic_slice, &base_init_function})
        visit(*ref);
    packet.each(visit);
    for (size_t i = 0; i < frame_part_count; ++i) {
        visit(part_attrs[i]);
        visit(slice_names[i]);
    }
    for (RecordState &record : records)
        record.each(visit);
}

// slice(start, stop), stop == to_end giving None: a new reference.
inline PyObject *new_slice(Py_ssize_t start, Py_ssize_t stop)
{
    capi::Ref first(PyLong_FromSsize_t(start));
    capi::Ref last(stop == to_end ? capi::Ref::borrow(Py_None)
                                  : capi::Ref(PyLong_FromSsize_t(stop)));
    if (!first || !last)
        return nullptr;
    return PySlice_New(first.get(), last.get(), nullptr);
}

// Interns the names of the record with `layout` and collects the names
// that its initialiser stores.
inline int init_record_state(const State &state, const RecordLayout &layout,
                             RecordState &record)
{
    if (capi::intern(record.global, layout.name) < 0 ||
        (layout.length_name != nullptr &&
         capi::intern(record.length_name, layout.length_name) < 0) ||
        (layout.extra != nullptr && capi::intern(record.extra, layout.extra)))
        return -1;
    capi::Ref stored(PyList_New(0));
    if (!stored ||
        (layout.derives_base && PyList_Append(stored.get(), state.str__len)))
        return -1;
    for (size_t i = 0; i < layout.field_count; ++i) {
        const FieldLayout &field = layout.fields[i];
        if (capi::intern(record.attrs[i], field.name) < 0 ||
            PyList_Append(stored.get(), record.attrs[i]) < 0)
            return -1;
        if (field.high_name != nullptr &&
            (capi::intern(record.high_attrs[i], field.high_name) < 0 ||
             PyList_Append(stored.get(), record.high_attrs[i]) < 0))
            return -1;
        const bool whole = field.start == 0 && field.stop == to_end;
        if (!whole) {
            record.slices[i] = new_slice(field.start, field.stop);
            if (record.slices[i] == nullptr)
                return -1;
        }
    }
    if (record.extra != nullptr && PyList_Append(stored.get(), record.extra))
        return -1;
    record.stored = PyList_AsTuple(stored.get());
    return record.stored != nullptr ? 0 : -1;
}

inline int init_state(State &state, PyObject *module)
{
    for (const StateName &name : state_names) {
        if (capi::intern(state.*name.slot, name.text) < 0)
            return -1;
    }
    const char *const part_names[frame_part_count] = {
        "sub_header", "uwb_header", "uwb_params", "uwb_payload", "uwb_footer"};
    for (size_t i = 0; i < frame_part_count; ++i) {
        if (capi::intern(state.part_attrs[i], part_names[i]) < 0 ||
            capi::intern(state.slice_names[i], frame_slices[i].name) < 0)
            return -1;
    }
    ProtocolNames &protocol = state.protocol;
    if (capi::intern(protocol.str_decode, "decode") < 0 ||
        capi::intern(protocol.str_ascii, "ascii") < 0 ||
        capi::intern(protocol.str_from_bytes, "from_bytes") < 0 ||
        capi::intern(protocol.str_little, "little") < 0)
        return -1;
    state.globals = PyModule_GetDict(module); // borrowed
    Py_INCREF(state.globals);
    state.empty_tuple = PyTuple_New(0);
    state.int_low_nibble = PyLong_FromLong(0x0F);
    state.int_high_nibble = PyLong_FromLong(0xF0);
    state.int_four = PyLong_FromLong(4);
    state.magic_slice = new_slice(0, magic_length);
    if (!state.empty_tuple || !state.int_low_nibble ||
        !state.int_high_nibble || !state.int_four || !state.magic_slice)
        return -1;
    for (size_t id = 0; id < record_count; ++id) {
        if (init_record_state(state, layouts[id], state.records[id]) < 0)
            return -1;
    }
    // in the order in which QZDWPacket's initialiser stores them
    PyObject *const *part = state.part_attrs;
    state.packet.stored = PyTuple_Pack(
        7, state.str_header, part[sub_header_part], part[uwb_header_part],
        part[uwb_params_part], part[payload_part], part[footer_part],
        state.str_callback_handle);
    if (state.packet.stored == nullptr)
        return -1;
    state.record_keywords[0] = state.base_init_keywords[0] =
        state.packet_init_keywords[0] = state.str_self;
    state.record_keywords[1] = state.packet_init_keywords[2] = state.str_bytes;
    state.base_init_keywords[1] = state.str_length;
    state.packet_init_keywords[1] = state.str_header;
    state.packet_init_keywords[3] = state.str_callback;
    return 0;
}

} // namespace packets

#endif
