// The record decoders of qz_packets: the steps of each record's
// initialiser, in the order in which they run, reading the fields its
// layout lists. Each attribute is assigned as soon as its value is
// decoded; the length, magic and type checks are assertions, skipped when
// the interpreter runs -O.
#ifndef QZ_PACKETS_DECODERS_HPP
#define QZ_PACKETS_DECODERS_HPP

#include "capi.hpp"
#include "packets_construct.hpp"
#include "packets_layout.hpp"
#include "packets_source.hpp"
#include "packets_state.hpp"

#include <initializer_list>
#include <utility>

namespace packets
{

// low = byte & 0x0F, high = (byte & 0xF0) >> 4, stored in that order.
inline int store_nibbles(const Target &self, PyObject *byte, PyObject *low,
                         PyObject *high)
{
    const State &state = self.state();
    capi::Ref low_value(PyNumber_And(byte, state.int_low_nibble));
    if (!low_value || self.store(low, low_value.get()) < 0)
        return -1;
    capi::Ref masked(PyNumber_And(byte, state.int_high_nibble));
    if (!masked)
        return -1;
    capi::Ref high_value(PyNumber_Rshift(masked.get(), state.int_four));
    return high_value ? self.store(high, high_value.get()) : -1;
}

// Decodes field i of record `id` from `src` into its attribute or
// attributes; `value`, if given, receives the value decoded.
template <RecordId id, size_t i>
inline int decode_field(const Target &self, const Source &src,
                        capi::Ref *value)
{
    constexpr FieldLayout field = layouts[id].fields[i];
    const RecordState &record = self.state().records[id];
    capi::Ref decoded;
    if constexpr (field.conversion == Conversion::number)
        decoded =
            capi::Ref(src.number(field.start, field.stop, record.slices[i]));
    else if constexpr (field.conversion == Conversion::text)
        decoded =
            capi::Ref(src.text(field.start, field.stop, record.slices[i]));
    else
        decoded = capi::Ref(src.byte(field.start));
    if (!decoded)
        return -1;
    if constexpr (field.conversion == Conversion::nibbles) {
        if (store_nibbles(self, decoded.get(), record.attrs[i],
                          record.high_attrs[i]) < 0)
            return -1;
    } else if (self.store(record.attrs[i], decoded.get()) < 0)
        return -1;
    if (value != nullptr)
        *value = std::move(decoded);
    return 0;
}

template <RecordId id, size_t final, size_t... i>
inline int decode_each(const Target &self, const Source &src, capi::Ref *value,
                       std::index_sequence<i...>)
{
    // in order, up to the first failure
    const bool failed =
        (... ||
         (decode_field<id, i>(self, src, i == final ? value : nullptr) < 0));
    return failed ? -1 : 0;
}

template <size_t first, size_t... i>
constexpr std::index_sequence<first + i...>
offset_by(std::index_sequence<i...>)
{
    return {};
}

// Decodes fields [first, last) of record `id` from `src` into attributes,
// in order; `value`, if given, receives the value of the last one. Each
// field is its own instance, its layout known where it is read.
template <RecordId id, size_t first = 0, size_t last = layouts[id].field_count>
inline int decode_fields(const Target &self, const Source &src,
                         capi::Ref *value = nullptr)
{
    return decode_each<id, last - 1>(
        self, src, value,
        offset_by<first>(std::make_index_sequence<last - first>{}));
}

// len(bytes) == expected, as the length assertion evaluates it: 1, 0, -1.
CAPI_ALWAYS_INLINE inline int length_equals(Py_ssize_t length,
                                            PyObject *expected)
{
    if (PyLong_CheckExact(expected)) {
        int overflow;
        const long long value =
            PyLong_AsLongLongAndOverflow(expected, &overflow);
        return overflow == 0 && value == length;
    }
    capi::Ref actual(PyLong_FromSsize_t(length));
    return actual ? capi::equal(actual.get(), expected) : -1;
}

// The first two steps of a fixed-size record: unless -O, assert that
// len(bytes) equals the record's constant read through the instance; then
// run the base initialiser with the constant, read again.
CAPI_ALWAYS_INLINE inline int begin_record(const Target &self, RecordId id,
                                           const Source &src)
{
    const RecordState &record = self.state().records[id];
    PyObject *name = record.length_name;
    if (capi::assertions_enabled()) {
        const Py_ssize_t length = src.length();
        if (length < 0)
            return -1;
        capi::Ref expected(self.constant(name));
        if (!expected)
            return -1;
        const int equal_length = length_equals(length, expected.get());
        if (equal_length <= 0)
            return equal_length < 0 ? -1 : capi::raise_assertion();
    }
    return init_base(self, record.cls, [&] { return self.constant(name); });
}

// Unless -O: self.type == TYPE_DW or self.type == TYPE_HB, the module's
// constants read now; `stored` is the type just stored.
inline int check_frame_type(const Target &self, PyObject *stored)
{
    const State &state = self.state();
    for (PyObject *constant : {state.str_TYPE_DW, state.str_TYPE_HB}) {
        capi::Ref type(self.load(state.str_type, stored));
        if (!type)
            return -1;
        capi::Ref expected(capi::lookup_global(state.globals, constant));
        if (!expected)
            return -1;
        const int is_equal = capi::equal(type.get(), expected.get());
        if (is_equal != 0)
            return is_equal < 0 ? -1 : 0;
    }
    return capi::raise_assertion();
}

inline int header_init(const Target &self, const Source &src)
{
    const State &state = self.state();
    if (begin_record(self, header, src) < 0)
        return -1;
    if (capi::assertions_enabled()) {
        const int is_magic =
            src.text_equals(0, magic_length, state.magic_slice,
                            state.str_magic, magic, magic_length);
        if (is_magic <= 0)
            return is_magic < 0 ? -1 : capi::raise_assertion();
    }
    // type is decoded in every mode; the check after it is an assertion
    capi::Ref type;
    if (decode_fields<header, 0, 1>(self, src, &type) < 0 ||
        (capi::assertions_enabled() && check_frame_type(self, type.get()) < 0))
        return -1;
    return decode_fields<header, 1>(self, src);
}

// A record of fixed length: the length check, BasePacket's initialiser,
// then its fields.
template <RecordId id>
inline int fixed_record_init(const Target &self, const Source &src)
{
    if (begin_record(self, id, src) < 0)
        return -1;
    return decode_fields<id>(self, src);
}

// The payload kept as it is: _len = len(bytes), message = bytes.
inline int raw_init(const Target &self, const Source &src)
{
    auto length = [&]() -> PyObject * {
        const Py_ssize_t n = src.length();
        return n < 0 ? nullptr : PyLong_FromSsize_t(n);
    };
    const RecordState &record = self.state().records[raw_message];
    if (init_base(self, record.cls, length) < 0)
        return -1;
    capi::Ref message(src.object());
    return message ? self.store(record.extra, message.get()) : -1;
}

// [None] * count
inline PyObject *none_list(PyObject *count)
{
    if (PyLong_CheckExact(count)) {
        int overflow;
        const long n = PyLong_AsLongAndOverflow(count, &overflow);
        if (overflow == 0) {
            const Py_ssize_t size = n > 0 ? static_cast<Py_ssize_t>(n) : 0;
            PyObject *list = PyList_New(size);
            for (Py_ssize_t i = 0; list != nullptr && i < size; ++i) {
                Py_INCREF(Py_None);
                PyList_SET_ITEM(list, i, Py_None); // steals
            }
            return list;
        }
    }
    capi::Ref one(PyList_New(1));
    if (!one)
        return nullptr;
    Py_INCREF(Py_None);
    PyList_SET_ITEM(one.get(), 0, Py_None); // steals
    return PyNumber_Multiply(one.get(), count);
}

// list[index] = item, taking `item` over.
inline int store_item(PyObject *list, Py_ssize_t index, capi::Ref item)
{
    if (PyList_CheckExact(list) && index < PyList_GET_SIZE(list))
        return PyList_SetItem(list, index, item.release()); // steals
    capi::Ref key(PyLong_FromSsize_t(index));
    return key ? PyObject_SetItem(list, key.get(), item.get()) : -1;
}

// One pass of the report walk:
//     stop = start + UWBRangingReport.RANGING_REPORT_LENGTH
//     self.reports[report_idx] = UWBRangingReport(bytes[start:stop])
//     start = stop
// where `reports` is the list stored in self.reports.
inline int add_report(const Target &self, const Source &src,
                      Py_ssize_t report_idx, capi::Ref &start,
                      PyObject *reports)
{
    State &state = self.state();
    PyObject *global = state.records[ranging_report].global;
    capi::Ref cls(capi::lookup_global(state.globals, global));
    if (!cls)
        return -1;
    bool plain_width;
    capi::Ref width(
        class_constant<ranging_report>(state, cls.get(), &plain_width));
    if (!width)
        return -1;
    capi::Ref stop(PyNumber_Add(start.get(), width.get()));
    if (!stop)
        return -1;
    Source report_bytes;
    if (src.cut(start.get(), stop.get(), &report_bytes) < 0)
        return -1;
    // The class is looked up again, unless no code can have run since: the
    // width was the plain constant, the sum one of ints, the cut in place.
    if (!plain_width || !PyLong_CheckExact(start.get()) ||
        !PyLong_CheckExact(width.get()) || !src.in_place()) {
        cls = capi::Ref(capi::lookup_global(state.globals, global));
        if (!cls)
            return -1;
    }
    capi::Ref report(
        construct<ranging_report>(state, cls.get(), report_bytes));
    if (!report)
        return -1;
    capi::Ref list(self.load(state.str_reports, reports));
    if (!list || store_item(list.get(), report_idx, std::move(report)) < 0)
        return -1;
    start = std::move(stop);
    return 0;
}

inline int message_init(const Target &self, const Source &src)
{
    const State &state = self.state();
    capi::Ref stored_cnt;
    if (decode_fields<ranging_message>(self, src, &stored_cnt) < 0)
        return -1;
    capi::Ref cnt(self.load(state.str_cnt, stored_cnt.get()));
    if (!cnt)
        return -1;
    capi::Ref reports(none_list(cnt.get()));
    if (!reports || self.store(state.str_reports, reports.get()) < 0)
        return -1;
    capi::Ref start(self.constant(state.records[ranging_message].length_name));
    if (!start)
        return -1;
    // for report_idx in range(self.cnt); a count beyond the index range is
    // clamped, since the walk fails long before it could get there
    cnt = capi::Ref(self.load(state.str_cnt, stored_cnt.get()));
    if (!cnt)
        return -1;
    capi::Ref index(PyNumber_Index(cnt.get()));
    if (!index)
        return -1;
    const Py_ssize_t count = PyNumber_AsSsize_t(index.get(), nullptr);
    for (Py_ssize_t report_idx = 0; report_idx < count; ++report_idx) {
        if (add_report(self, src, report_idx, start, reports.get()) < 0)
            return -1;
    }
    return 0;
}

template <RecordId id>
inline int decode_record(const Target &self, const Source &src)
{
    if constexpr (id == header)
        return header_init(self, src);
    else if constexpr (id == raw_message)
        return raw_init(self, src);
    else if constexpr (id == ranging_message)
        return message_init(self, src);
    else
        return fixed_record_init<id>(self, src);
}

} // namespace packets

#endif
