// QZDWPacket: the steps of its initialiser, which cuts a whole frame into
// its records, and of callback(), which hands a ranging message to the
// application's handler.
//
// As for the records (packets_construct.hpp), every step goes through the
// object protocol unless the instance is fresh from the class call, its
// frame is read in place, and the class is plain: still as created at
// import as far as the initialiser can tell. Its slices and message type
// are then the values the check found, and a part read back is the record
// just stored. Unlike a record's, the packet's steps may run other code
// (a record class replaced in the module, a record class changed so that
// it is no longer plain), which may change the class; so the findings are
// used only while the class keeps the version tag they were found at.
#ifndef QZ_PACKETS_FRAME_HPP
#define QZ_PACKETS_FRAME_HPP

#include "capi.hpp"
#include "packets_construct.hpp"
#include "packets_decoders.hpp"
#include "packets_layout.hpp"
#include "packets_source.hpp"
#include "packets_state.hpp"
#include "packets_type_lookup.hpp"

namespace packets
{

// The bounds of `value`, a class constant, as slicing unpacks them, when
// it is a slice with the default step whose bounds are ints or None, so
// that unpacking runs no code: 1, or 0 for any other value.
inline int unpack_plain_slice(PyObject *value, Py_ssize_t *start,
                              Py_ssize_t *stop)
{
    if (!PySlice_Check(value))
        return 0;
    auto *slice = reinterpret_cast<PySliceObject *>(value);
    for (PyObject *bound : {slice->start, slice->stop}) {
        if (bound != Py_None && !PyLong_CheckExact(bound))
            return 0;
    }
    Py_ssize_t step;
    if (slice->step != Py_None ||
        PySlice_Unpack(value, start, stop, &step) < 0)
        return 0; // cannot fail for these bounds
    return 1;
}

// Whether QZDWPacket is plain: 1, 0, or -1 with an exception. Plain: the
// class call allocates with object.__new__ and runs the module's own
// __init__; attribute access is the generic one; no attribute that the
// initialiser stores is found in the MRO; the five slices and
// _MESSAGE_TYPE_RANGING are plain values, the slices with int bounds. The
// check at `version`, the class's valid tag, when it differs from the one
// last found plain:
__attribute__((noinline)) inline int check_packet_anew(State &state,
                                                       unsigned int version)
{
    PacketState &packet = state.packet;
    auto *type = reinterpret_cast<PyTypeObject *>(packet.cls);
    if (version == 0)
        return 0;
    int plain = has_own_slots(state, type, packet.init_function);
    if (plain > 0)
        plain = none_in_mro(type, packet.stored);
    if (plain <= 0)
        return plain;
    Py_ssize_t start[frame_part_count], stop[frame_part_count];
    for (size_t part = 0; part < frame_part_count; ++part) {
        PyObject *slice = plain_value_in_mro(type, state.slice_names[part]);
        if (slice == nullptr ||
            !unpack_plain_slice(slice, &start[part], &stop[part]))
            return PyErr_Occurred() ? -1 : 0;
    }
    PyObject *ranging =
        plain_value_in_mro(type, state.str__MESSAGE_TYPE_RANGING);
    if (ranging == nullptr)
        return PyErr_Occurred() ? -1 : 0;
    for (size_t part = 0; part < frame_part_count; ++part) {
        packet.slice_start[part] = start[part];
        packet.slice_stop[part] = stop[part];
    }
    // the old value is released last: its release may run code
    capi::Ref old(packet.ranging_type);
    Py_INCREF(ranging);
    packet.ranging_type = ranging;
    packet.plain_version = version;
    return 1;
}

// The same, taken in line while the class keeps its tag.
CAPI_ALWAYS_INLINE inline int check_plain_packet(State &state)
{
    const unsigned int version =
        valid_version_tag(reinterpret_cast<PyTypeObject *>(state.packet.cls));
    if (version != 0 && version == state.packet.plain_version)
        return 1;
    return check_packet_anew(state, version);
}

// The QZDWPacket that the initialiser fills in, and the frame it cuts.
class PacketTarget
{
  public:
    // `fresh`: the class call has just made `self`, so that the plainness
    // check of the class may apply; without a frame, it never does.
    PacketTarget(State &state, PyObject *self, const Source *frame = nullptr,
                 bool fresh = false)
        : state_(state), self_(self), frame_(frame), fresh_(fresh)
    {
    }

    // Runs the plainness check where it may apply: 0, or -1 with an
    // exception set.
    int check()
    {
        if (!fresh_ || frame_ == nullptr || !frame_->in_place())
            return 0;
        const int plain = check_plain_packet(state_);
        if (plain > 0)
            plain_ = &state_.packet;
        return plain < 0 ? -1 : 0;
    }

    State &state() const { return state_; }

    // self.<name> = value
    int store(PyObject *name, PyObject *value) const
    {
        return capi::set_attr(self_, name, value);
    }

    // self.<name>, right after store(name, stored).
    PyObject *load(PyObject *name, PyObject *stored) const
    {
        if (!plain())
            return capi::get_attr(self_, name);
        Py_INCREF(stored);
        return stored;
    }

    // bytes[self.<slice of part>], into `piece`.
    int cut(FramePart part, Source *piece) const
    {
        if (plain())
            return frame_->cut_bounds(state_.packet.slice_start[part],
                                      state_.packet.slice_stop[part], piece);
        capi::Ref key(capi::get_attr(self_, state_.slice_names[part]));
        return key ? frame_->cut(key.get(), piece) : -1;
    }

    // self._MESSAGE_TYPE_RANGING, as a new reference.
    PyObject *ranging_type() const
    {
        if (!plain())
            return capi::get_attr(self_, state_.str__MESSAGE_TYPE_RANGING);
        Py_INCREF(state_.packet.ranging_type);
        return state_.packet.ranging_type;
    }

  private:
    bool plain() const
    {
        auto *type = reinterpret_cast<PyTypeObject *>(state_.packet.cls);
        return plain_ != nullptr &&
               valid_version_tag(type) == plain_->plain_version;
    }

    State &state_;
    PyObject *self_;
    const Source *frame_;
    bool fresh_;
    const PacketState *plain_ = nullptr;
};

// self.<part> = cls(piece), `cls` being the class of record `id` as the
// module's globals held it just now; `value`, if given, receives the
// record.
template <RecordId id>
CAPI_ALWAYS_INLINE int set_record(const PacketTarget &self, FramePart part,
                                  PyObject *cls, const Source &piece,
                                  capi::Ref *value = nullptr)
{
    State &state = self.state();
    capi::Ref record(construct<id>(state, cls, piece));
    if (!record || self.store(state.part_attrs[part], record.get()) < 0)
        return -1;
    if (value != nullptr)
        *value = std::move(record);
    return 0;
}

// self.<part> = <class of record id>(bytes[self.<slice of part>])
template <RecordId id>
CAPI_ALWAYS_INLINE int set_part(const PacketTarget &self, FramePart part,
                                capi::Ref *value = nullptr)
{
    State &state = self.state();
    capi::Ref cls(
        capi::lookup_global(state.globals, state.records[id].global));
    if (!cls)
        return -1;
    Source piece;
    if (self.cut(part, &piece) < 0)
        return -1;
    return set_record<id>(self, part, cls.get(), piece, value);
}

// self.uwb_params.type == self._MESSAGE_TYPE_RANGING: 1, 0 or -1; `params`
// is the record just stored in self.uwb_params, if any.
inline int is_ranging(const PacketTarget &self, PyObject *params = nullptr)
{
    const State &state = self.state();
    capi::Ref stored(self.load(state.part_attrs[uwb_params_part], params));
    if (!stored)
        return -1;
    capi::Ref type(capi::get_attr(stored.get(), state.str_type));
    if (!type)
        return -1;
    capi::Ref ranging(self.ranging_type());
    if (!ranging)
        return -1;
    return capi::equal(type.get(), ranging.get());
}

// The steps of QZDWPacket's initialiser; `fresh`: the class call has just
// made `self`. 0, or -1 with an exception set.
inline int packet_init(State &state, PyObject *self, PyObject *header,
                       PyObject *frame, PyObject *callback, bool fresh)
{
    const Source source = Source::of(frame, state.protocol);
    PacketTarget target(state, self, &source, fresh);
    capi::Ref params;
    if (target.check() < 0 || target.store(state.str_header, header) < 0 ||
        set_part<sub_header>(target, sub_header_part) < 0 ||
        set_part<uwb_header>(target, uwb_header_part) < 0 ||
        set_part<uwb_params>(target, uwb_params_part, &params) < 0)
        return -1;
    Source payload;
    if (target.cut(payload_part, &payload) < 0)
        return -1;
    // the whole type byte decides: only 16 is a ranging message
    const int ranging = is_ranging(target, params.get());
    if (ranging < 0)
        return -1;
    const RecordId payload_id = ranging ? ranging_message : raw_message;
    capi::Ref cls(
        capi::lookup_global(state.globals, state.records[payload_id].global));
    if (!cls)
        return -1;
    const int stored = ranging ? set_record<ranging_message>(
                                     target, payload_part, cls.get(), payload)
                               : set_record<raw_message>(target, payload_part,
                                                         cls.get(), payload);
    if (stored < 0 || set_part<footer>(target, footer_part) < 0)
        return -1;
    return target.store(state.str_callback_handle, callback);
}

// __init__(self, header, bytes, callback=None), called with `args` (the
// instance first); `fresh` as for packet_init(). 0, or -1 with an
// exception set.
inline int bind_packet_init(State &state, PyObject *const *args,
                            Py_ssize_t nargs, PyObject *kwnames, bool fresh)
{
    const capi::Signature signature = {"__init__", state.packet_init_keywords,
                                       3, 4};
    PyObject *values[4]; // borrowed
    if (capi::bind_arguments(signature, args, nargs, kwnames, values) < 0)
        return -1;
    PyObject *callback = values[3] != nullptr ? values[3] : Py_None;
    return packet_init(state, values[0], values[1], values[2], callback,
                       fresh);
}

// For a ranging message:
//     self.callback_handle(self.uwb_header.src_addr,
//                          self.uwb_payload.is_anchor(),
//                          self.uwb_payload.reports)
// on any instance, so every step goes through the object protocol.
inline int packet_callback_impl(State &state, PyObject *self)
{
    const int ranging = is_ranging(PacketTarget(state, self));
    if (ranging <= 0)
        return ranging;
    capi::Ref handle(capi::get_attr(self, state.str_callback_handle));
    if (!handle)
        return -1;
    capi::Ref uwb_header(
        capi::get_attr(self, state.part_attrs[uwb_header_part]));
    if (!uwb_header)
        return -1;
    capi::Ref src_addr(capi::get_attr(uwb_header.get(), state.str_src_addr));
    if (!src_addr)
        return -1;
    capi::Ref payload(capi::get_attr(self, state.part_attrs[payload_part]));
    if (!payload)
        return -1;
    capi::Ref is_anchor(capi::call_method(payload.get(), state.str_is_anchor));
    if (!is_anchor)
        return -1;
    payload = capi::Ref(capi::get_attr(self, state.part_attrs[payload_part]));
    if (!payload)
        return -1;
    capi::Ref reports(capi::get_attr(payload.get(), state.str_reports));
    if (!reports)
        return -1;
    capi::Ref result(capi::call(handle.get(), src_addr.get(), is_anchor.get(),
                                reports.get()));
    return result ? 0 : -1;
}

} // namespace packets

#endif
