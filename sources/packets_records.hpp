// The record decoders of qz_packets: the field layout of each record and
// the steps of its initialiser, in the order in which they run. Each
// attribute is assigned as soon as its value is decoded; the length, magic
// and type checks are assertions, skipped when the interpreter runs -O.
#ifndef QZ_PACKETS_RECORDS_HPP
#define QZ_PACKETS_RECORDS_HPP

#include "capi.hpp"
#include "packets_classes.hpp"
#include "packets_names.hpp"
#include "packets_source.hpp"

#include <initializer_list>
#include <iterator>
#include <utility>

namespace packets
{

// ---------------------------------------------------------------------------
// Layouts: offsets within the record; a single byte spans [i, i + 1).

inline Field header_fields[] = {
    {Field::text, "type", 4, 6},
    {Field::number, "packet_len", 6, 8},
    {Field::byte, "version", 8, 9},
};
inline Field sub_header_fields[] = {
    {Field::byte, "scramble", 0, 1}, {Field::byte, "rssi", 1, 2},
    {Field::byte, "ts1", 2, 3},      {Field::byte, "ts2", 3, 4},
    {Field::byte, "ts3", 4, 5},      {Field::byte, "ts4", 5, 6},
    {Field::byte, "ts5", 6, 7},      {Field::byte, "ts6", 7, 8},
    {Field::byte, "ts7", 8, 9},      {Field::byte, "ts8", 9, 10},
};
inline Field uwb_header_fields[] = {
    {Field::number, "frm_ctrl", 0, 2},      {Field::byte, "seq_num", 2, 3},
    {Field::number, "panid", 3, 5},         {Field::number, "dst_addr", 5, 7},
    {Field::number, "src_addr", 7, to_end},
};
// msg_cnt and rf_profile, from byte 7, come between db and type.
inline Field uwb_params_fields[] = {
    {Field::number, "slot", 0, 2},
    {Field::number, "frame", 2, 6},
    {Field::byte, "db", 6, 7},
    {Field::byte, "type", 8, 9},
};
// the whole input, not a slice of it
inline Field footer_fields[] = {
    {Field::number, "fcs", 0, to_end},
};
inline Field report_fields[] = {
    {Field::byte, "flags", 0, 1},
    {Field::number, "addr", 1, 3},
    {Field::number, "ts", 3, 8},
    {Field::number, "dist", 8, to_end},
};
inline Field message_fields[] = {
    {Field::byte, "version", 0, 1},        {Field::number, "len", 1, 3},
    {Field::byte, "flags", 3, 4},          {Field::byte, "slotnr", 4, 5},
    {Field::number, "tx_ts", 5, 10},       {Field::number, "task_cnt", 10, 12},
    {Field::number, "task_q_cnt", 12, 14}, {Field::byte, "midist2", 14, 15},
    {Field::number, "comp_id", 15, 17},    {Field::byte, "sets", 17, 18},
    {Field::byte, "cnt", 18, 19},
};
inline PyObject *magic_slice; // slice(0, 4)

// Decodes fields[0..count) of `src` into attributes, in order; `last`, if
// given, receives the value of the last one.
inline int decode_fields(const Target &self, const Source &src,
                         const Field *fields, size_t count,
                         capi::Ref *last = nullptr)
{
    for (size_t i = 0; i < count; ++i) {
        const Field &field = fields[i];
        capi::Ref value;
        switch (field.kind) {
        case Field::byte:
            value = capi::Ref(src.byte(field.start));
            break;
        case Field::number:
            value =
                capi::Ref(src.number(field.start, field.stop, field.slice));
            break;
        case Field::text:
            value = capi::Ref(src.text(field.start, field.stop, field.slice));
            break;
        }
        if (!value || self.store(field.attr, value.get()) < 0)
            return -1;
        if (last != nullptr && i + 1 == count)
            *last = std::move(value);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Record classes

inline int header_init(const Target &self, const Source &src);
inline int sub_header_init(const Target &self, const Source &src);
inline int uwb_header_init(const Target &self, const Source &src);
inline int uwb_params_init(const Target &self, const Source &src);
inline int raw_init(const Target &self, const Source &src);
inline int report_init(const Target &self, const Source &src);
inline int message_init(const Target &self, const Source &src);
inline int footer_init(const Target &self, const Source &src);

template <size_t N>
RecordClass record_class(const char *name, RecordInit init, Field (&fields)[N],
                         PyObject **constant, PyObject **extra = nullptr,
                         PyObject **second_extra = nullptr,
                         bool derives_base = true)
{
    return {name,        init, fields, N, constant, {extra, second_extra},
            derives_base};
}

inline RecordClass header_class =
    record_class("Header", header_init, header_fields, &str_HEADER_LENGTH);
inline RecordClass sub_header_class = record_class(
    "SubHeader", sub_header_init, sub_header_fields, &str_SUB_HEADER_LENGTH);
inline RecordClass uwb_header_class = record_class(
    "UWBHeader", uwb_header_init, uwb_header_fields, &str_UWB_HEADER_LENGTH);
inline RecordClass uwb_params_class =
    record_class("UWBParams", uwb_params_init, uwb_params_fields,
                 &str_UWB_PARAMS_LENGTH, &str_msg_cnt, &str_rf_profile);
// no fields of its own: _len and message
inline RecordClass raw_class = {
    "UWBRawMessage",         raw_init, nullptr, 0, nullptr,
    {&str_message, nullptr}, true};
inline RecordClass report_class =
    record_class("UWBRangingReport", report_init, report_fields,
                 &str_RANGING_REPORT_LENGTH);
// derives from object only: no _len
inline RecordClass message_class = record_class(
    "UWBRangingMessage", message_init, message_fields,
    &str_RANGING_MESSAGE_HEADER_LENGTH, &str_reports, nullptr, false);
inline RecordClass footer_class = record_class(
    "UWBFooter", footer_init, footer_fields, &str_UWB_FOOTER_LENGTH);

inline RecordClass *const record_classes[] = {
    &header_class, &sub_header_class, &uwb_header_class, &uwb_params_class,
    &raw_class,    &report_class,     &message_class,    &footer_class,
};

inline PyObject *new_slice(Py_ssize_t start, Py_ssize_t stop)
{
    capi::Ref first(PyLong_FromSsize_t(start));
    capi::Ref last(stop == to_end ? capi::Ref::borrow(Py_None)
                                  : capi::Ref(PyLong_FromSsize_t(stop)));
    if (!first || !last)
        return nullptr;
    return PySlice_New(first.get(), last.get(), nullptr);
}

// Interns the field names, makes their slices and collects the names that
// each record class stores.
inline int init_layouts()
{
    magic_slice = new_slice(0, 4);
    if (magic_slice == nullptr)
        return -1;
    for (RecordClass *record : record_classes) {
        capi::Ref stored(PyList_New(0));
        if (!stored ||
            (record->derives_base && PyList_Append(stored.get(), str__len)))
            return -1;
        for (size_t i = 0; i < record->field_count; ++i) {
            Field &field = record->fields[i];
            if (capi::intern(field.attr, field.name) < 0)
                return -1;
            const bool whole = field.start == 0 && field.stop == to_end;
            if (!whole) {
                field.slice = new_slice(field.start, field.stop);
                if (field.slice == nullptr)
                    return -1;
            }
            if (PyList_Append(stored.get(), field.attr) < 0)
                return -1;
        }
        for (PyObject **extra : record->extras) {
            if (extra != nullptr && PyList_Append(stored.get(), *extra) < 0)
                return -1;
        }
        record->stored = PyList_AsTuple(stored.get());
        if (record->stored == nullptr)
            return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Initialisers

// len(bytes) == expected, as the length assertion evaluates it: 1, 0, -1.
inline int length_equals(Py_ssize_t length, PyObject *expected)
{
    if (PyLong_CheckExact(expected)) {
        int overflow;
        const long long value =
            PyLong_AsLongLongAndOverflow(expected, &overflow);
        return overflow == 0 && value == length;
    }
    capi::Ref actual(PyLong_FromSsize_t(length));
    return actual ? equal(actual.get(), expected) : -1;
}

// The first two steps of a fixed-size record: unless -O, assert that
// len(bytes) equals the record's constant read through the instance; then
// run the base initialiser with the constant, read again.
inline int begin_record(const Target &self, const RecordClass &record,
                        const Source &src)
{
    PyObject *name = *record.constant;
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
    for (PyObject *constant : {str_TYPE_DW, str_TYPE_HB}) {
        capi::Ref type(self.load(str_type, stored));
        if (!type)
            return -1;
        capi::Ref expected(capi::lookup_global(module_globals, constant));
        if (!expected)
            return -1;
        const int is_equal = equal(type.get(), expected.get());
        if (is_equal != 0)
            return is_equal < 0 ? -1 : 0;
    }
    return capi::raise_assertion();
}

inline int header_init(const Target &self, const Source &src)
{
    if (begin_record(self, header_class, src) < 0)
        return -1;
    if (capi::assertions_enabled()) {
        const int magic =
            src.text_equals(0, 4, magic_slice, str_magic, "@QZ@", 4);
        if (magic <= 0)
            return magic < 0 ? -1 : capi::raise_assertion();
    }
    // type is decoded in every mode; the check after it is an assertion
    capi::Ref type;
    if (decode_fields(self, src, header_fields, 1, &type) < 0 ||
        (capi::assertions_enabled() && check_frame_type(self, type.get()) < 0))
        return -1;
    return decode_fields(self, src, header_fields + 1, 2);
}

inline int fixed_record_init(const Target &self, const RecordClass &record,
                             const Source &src)
{
    if (begin_record(self, record, src) < 0)
        return -1;
    return decode_fields(self, src, record.fields, record.field_count);
}

inline int sub_header_init(const Target &self, const Source &src)
{
    return fixed_record_init(self, sub_header_class, src);
}

inline int uwb_header_init(const Target &self, const Source &src)
{
    return fixed_record_init(self, uwb_header_class, src);
}

inline int footer_init(const Target &self, const Source &src)
{
    return fixed_record_init(self, footer_class, src);
}

inline int report_init(const Target &self, const Source &src)
{
    return fixed_record_init(self, report_class, src);
}

inline int uwb_params_init(const Target &self, const Source &src)
{
    if (begin_record(self, uwb_params_class, src) < 0 ||
        decode_fields(self, src, uwb_params_fields, 3) < 0)
        return -1;
    // tmp = byte 7; msg_cnt = tmp & 0x0F; rf_profile = (tmp & 0xF0) >> 4
    capi::Ref tmp(src.byte(7));
    if (!tmp)
        return -1;
    capi::Ref msg_cnt(PyNumber_And(tmp.get(), int_low_nibble));
    if (!msg_cnt || self.store(str_msg_cnt, msg_cnt.get()) < 0)
        return -1;
    capi::Ref high(PyNumber_And(tmp.get(), int_high_nibble));
    if (!high)
        return -1;
    capi::Ref rf_profile(PyNumber_Rshift(high.get(), int_four));
    if (!rf_profile || self.store(str_rf_profile, rf_profile.get()) < 0)
        return -1;
    return decode_fields(self, src, uwb_params_fields + 3, 1);
}

// The payload kept as it is: _len = len(bytes), message = bytes.
inline int raw_init(const Target &self, const Source &src)
{
    auto length = [&]() -> PyObject * {
        const Py_ssize_t n = src.length();
        return n < 0 ? nullptr : PyLong_FromSsize_t(n);
    };
    if (init_base(self, raw_class.cls, length) < 0)
        return -1;
    capi::Ref message(src.object());
    return message ? self.store(str_message, message.get()) : -1;
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
    capi::Ref cls(capi::lookup_global(module_globals, report_class.global));
    if (!cls)
        return -1;
    capi::Ref width(class_constant(report_class, cls.get()));
    if (!width)
        return -1;
    capi::Ref stop(PyNumber_Add(start.get(), width.get()));
    if (!stop)
        return -1;
    Source report_bytes;
    if (src.cut(start.get(), stop.get(), &report_bytes) < 0)
        return -1;
    cls = capi::Ref(capi::lookup_global(module_globals, report_class.global));
    if (!cls)
        return -1;
    capi::Ref report(construct(report_class, cls.get(), report_bytes));
    if (!report)
        return -1;
    capi::Ref list(self.load(str_reports, reports));
    if (!list || store_item(list.get(), report_idx, std::move(report)) < 0)
        return -1;
    start = std::move(stop);
    return 0;
}

inline int message_init(const Target &self, const Source &src)
{
    capi::Ref stored_cnt;
    if (decode_fields(self, src, message_fields, std::size(message_fields),
                      &stored_cnt) < 0)
        return -1;
    capi::Ref cnt(self.load(str_cnt, stored_cnt.get()));
    if (!cnt)
        return -1;
    capi::Ref reports(none_list(cnt.get()));
    if (!reports || self.store(str_reports, reports.get()) < 0)
        return -1;
    capi::Ref start(self.constant(str_RANGING_MESSAGE_HEADER_LENGTH));
    if (!start)
        return -1;
    // for report_idx in range(self.cnt); a count beyond the index range is
    // clamped, since the walk fails long before it could get there
    cnt = capi::Ref(self.load(str_cnt, stored_cnt.get()));
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

} // namespace packets

#endif
