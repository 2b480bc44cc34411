// How qz_packets constructs a record and how a record's initialiser reaches
// the object it fills in, and when both may skip the object protocol
// without any observable difference.
//
// The classes are ordinary classes, so a host may subclass them, rebind
// them in the module, patch their methods or constants, or give them
// properties. Every step therefore goes through the protocol, unless the
// class is "plain": still exactly as created at import, as far as the steps
// of its initialiser can tell. Plainness is checked against the class's
// version tag, which the interpreter renews whenever the class or one of
// its bases changes, so one check holds until the next change.
#ifndef QZ_PACKETS_CONSTRUCT_HPP
#define QZ_PACKETS_CONSTRUCT_HPP

#include "capi.hpp"
#include "packets_layout.hpp"
#include "packets_source.hpp"
#include "packets_state.hpp"
#include "packets_type_lookup.hpp"

#include <cstddef>

namespace packets
{

// Whether a call of `type` allocates with object.__new__ and runs
// `init_function`, and its instances use the generic attribute access:
// 1, 0, or -1 with an exception.
inline int has_own_slots(const State &state, PyTypeObject *type,
                         PyObject *init_function)
{
    if (type->tp_new != PyBaseObject_Type.tp_new ||
        type->tp_getattro != PyObject_GenericGetAttr ||
        type->tp_setattro != PyObject_GenericSetAttr)
        return 0;
    if (find_in_mro(type, state.str___init__) == init_function)
        return 1;
    return PyErr_Occurred() ? -1 : 0;
}

// Whether none of `names`, a tuple, is found along the MRO of `type`, so
// that the instance dict alone holds them: 1, 0, or -1 with an exception.
inline int none_in_mro(PyTypeObject *type, PyObject *names)
{
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        if (find_in_mro(type, PyTuple_GET_ITEM(names, i)) != nullptr)
            return 0;
        if (PyErr_Occurred())
            return -1;
    }
    return 1;
}

// `name` found along the MRO of `type` as a plain value, one that is no
// descriptor: borrowed, or nullptr (with an exception set on an error).
inline PyObject *plain_value_in_mro(PyTypeObject *type, PyObject *name)
{
    PyObject *value = find_in_mro(type, name);
    if (value == nullptr || Py_TYPE(value)->tp_descr_get != nullptr)
        return nullptr;
    return value;
}

// Whether the class of record `id` is plain: 1, 0, or -1 with an
// exception. Plain: the class call allocates with object.__new__ and runs
// the module's own __init__; attribute access is the generic one; the next
// __init__ in the MRO is BasePacket's own; the class constant is a plain
// value (no descriptor); and no attribute that the initialiser stores or
// reads back is found in the MRO, so the instance dict alone holds it. A
// fresh instance of a plain class can then be filled in with no hook able
// to run or to see it. The check at `version`, the class's valid tag, when
// it differs from the one last found plain:
template <RecordId id>
__attribute__((noinline)) int check_plain_anew(State &state,
                                               unsigned int version)
{
    RecordState &record = state.records[id];
    auto *type = reinterpret_cast<PyTypeObject *>(record.cls);
    if (version == 0)
        return 0;
    int plain = has_own_slots(state, type, record.init_function);
    if (plain > 0 && layouts[id].derives_base &&
        find_in_mro(type, state.str___init__, 1) != state.base_init_function)
        plain = PyErr_Occurred() ? -1 : 0;
    if (plain > 0)
        plain = none_in_mro(type, record.stored);
    if (plain <= 0)
        return plain;
    PyObject *constant = nullptr; // borrowed
    if (record.length_name != nullptr) {
        constant = plain_value_in_mro(type, record.length_name);
        if (constant == nullptr)
            return PyErr_Occurred() ? -1 : 0;
    }
    // the old constant is released last: its release may run code
    capi::Ref old(record.constant_value);
    Py_XINCREF(constant);
    record.constant_value = constant;
    record.plain_version = version;
    return 1;
}

// The same, taken in line while the class keeps its tag.
template <RecordId id> CAPI_ALWAYS_INLINE inline int check_plain(State &state)
{
    const RecordState &record = state.records[id];
    const unsigned int version =
        valid_version_tag(reinterpret_cast<PyTypeObject *>(record.cls));
    if (version != 0 && version == record.plain_version)
        return 1;
    return check_plain_anew<id>(state, version);
}

// The object that an initialiser fills in. In general every step goes
// through the object protocol, so that subclasses, properties and
// __setattr__ hooks take part as they would for a class written in Python.
// A fresh instance that construct() made of a plain class has no hooks and
// an empty instance dict: its class constant is the one the check cached,
// and a field read back is the value just stored.
class Target
{
  public:
    Target(PyObject *self, State &state, const RecordState *plain = nullptr)
        : self_(self), state_(state), plain_(plain)
    {
    }

    PyObject *self() const { return self_; }
    State &state() const { return state_; }
    bool plain() const { return plain_ != nullptr; }

    // self.<name> for the class's constant `name`, as a new reference.
    CAPI_ALWAYS_INLINE PyObject *constant(PyObject *name) const
    {
        if (plain_ == nullptr)
            return capi::get_attr(self_, name);
        Py_INCREF(plain_->constant_value);
        return plain_->constant_value;
    }

    // self.<name> = value
    CAPI_ALWAYS_INLINE int store(PyObject *name, PyObject *value) const
    {
        return plain_ != nullptr ? PyObject_GenericSetAttr(self_, name, value)
                                 : capi::set_attr(self_, name, value);
    }

    // self.<name>, right after store(name, stored).
    CAPI_ALWAYS_INLINE PyObject *load(PyObject *name, PyObject *stored) const
    {
        if (plain_ == nullptr)
            return capi::get_attr(self_, name);
        Py_INCREF(stored);
        return stored;
    }

  private:
    PyObject *self_;
    State &state_;
    const RecordState *plain_;
};

// The steps of the initialiser of record `id` (packets_decoders.hpp).
template <RecordId id>
inline int decode_record(const Target &self, const Source &src);

// Whether `cls`, a class just looked up in the module, is the module's
// own class of record `id` and plain: 1, 0, or -1 with an exception.
template <RecordId id> inline int is_plain_class(State &state, PyObject *cls)
{
    return cls == state.records[id].cls ? check_plain<id>(state) : 0;
}

// `cls(src)` for the class of record `id`, `cls` just looked up in the
// module. When it is still the module's own class with its own __init__
// and the default __new__, the call is made in place: the instance is
// allocated by object.__new__, as the class call would, and the
// initialiser reads the source directly, with no argument tuple, bound
// method or sliced copy of the frame. No hook of the initialiser receives
// the piece of the frame, so nothing observable differs. What the
// plainness check found is used only while no code can run, for a source
// read in place; reading any other may change the class.
template <RecordId id>
inline PyObject *construct(State &state, PyObject *cls, const Source &src)
{
    const RecordState &record = state.records[id];
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    const int plain = src.in_place() ? is_plain_class<id>(state, cls) : 0;
    if (plain < 0)
        return nullptr;
    if (plain == 1 ||
        (cls == record.cls && type->tp_new == PyBaseObject_Type.tp_new &&
         find_in_mro(type, state.str___init__) == record.init_function)) {
        capi::Ref self(type->tp_new(type, state.empty_tuple, nullptr));
        if (!self ||
            decode_record<id>(
                Target(self.get(), state, plain ? &record : nullptr), src) < 0)
            return nullptr;
        return self.release();
    }
    if (PyErr_Occurred())
        return nullptr;
    capi::Ref argument(src.object());
    if (!argument)
        return nullptr;
    return PyObject_CallFunctionObjArgs(cls, argument.get(), nullptr);
}

// The length constant of record `id` read from `cls`, a class just looked
// up in the module: a new reference. `*plain` tells whether it was the
// value that the plainness check found, read without running any code.
template <RecordId id>
inline PyObject *class_constant(State &state, PyObject *cls, bool *plain)
{
    const RecordState &record = state.records[id];
    const int is_plain = is_plain_class<id>(state, cls);
    *plain = is_plain == 1;
    if (is_plain < 0)
        return nullptr;
    if (is_plain == 1) {
        Py_INCREF(record.constant_value);
        return record.constant_value;
    }
    return PyObject_GetAttr(cls, record.length_name);
}

// super(cls, self).__init__(argument()): the __init__ that follows `cls` in
// the MRO of type(self), found before the argument is evaluated, as in the
// call expression. BasePacket's own is run in place; anything else goes
// through a real super object.
template <class Argument>
int init_base(const Target &target, PyObject *cls, Argument argument)
{
    State &state = target.state();
    PyObject *self = target.self();
    bool own = target.plain(); // checked with the class
    if (!own) {
        PyObject *mro = Py_TYPE(self)->tp_mro;
        Py_ssize_t i = 0;
        while (mro != nullptr && i < PyTuple_GET_SIZE(mro) &&
               PyTuple_GET_ITEM(mro, i) != cls)
            ++i;
        if (mro != nullptr && i < PyTuple_GET_SIZE(mro)) {
            PyObject *found =
                find_in_mro(Py_TYPE(self), state.str___init__, i + 1);
            if (found == nullptr && PyErr_Occurred())
                return -1;
            own = found != nullptr && found == state.base_init_function;
        }
    }
    capi::Ref bound;
    if (!own) {
        capi::Ref super(PyObject_CallFunctionObjArgs(
            reinterpret_cast<PyObject *>(&PySuper_Type), cls, self, nullptr));
        if (!super)
            return -1;
        bound = capi::Ref(PyObject_GetAttr(super.get(), state.str___init__));
        if (!bound)
            return -1;
    }
    capi::Ref value(argument());
    if (!value)
        return -1;
    if (own)
        return target.store(state.str__len, value.get());
    capi::Ref result(
        PyObject_CallFunctionObjArgs(bound.get(), value.get(), nullptr));
    return result ? 0 : -1;
}

} // namespace packets

#endif
