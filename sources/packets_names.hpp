// Names and small constant objects of qz_packets, created once at import.
#ifndef QZ_PACKETS_NAMES_HPP
#define QZ_PACKETS_NAMES_HPP

#include "capi.hpp"

namespace packets
{

inline PyObject *module_globals; // the module's namespace, kept for good

// Parameter names.
inline PyObject *str_self, *str_bytes, *str_length, *str_header, *str_callback;
// Attribute names.
inline PyObject *str___init__, *str__len, *str_message, *str_msg_cnt,
    *str_rf_profile, *str_cnt, *str_reports, *str_flags, *str_type,
    *str_src_addr, *str_is_anchor, *str_sub_header, *str_uwb_header,
    *str_uwb_params, *str_uwb_payload, *str_uwb_footer, *str_callback_handle;
// Class constants.
inline PyObject *str_HEADER_LENGTH, *str_SUB_HEADER_LENGTH,
    *str_UWB_HEADER_LENGTH, *str_UWB_PARAMS_LENGTH, *str_UWB_FOOTER_LENGTH,
    *str_RANGING_REPORT_LENGTH, *str_RANGING_MESSAGE_HEADER_LENGTH,
    *str_FLAG_ANCHOR, *str__SUB_HEADER_SLICE, *str__UWB_HEADER_SLICE,
    *str__UWB_PARAMS_SLICE, *str__UWB_PAYLOAD_SLICE, *str__UWB_FOOTER_SLICE,
    *str__MESSAGE_TYPE_RANGING;
// Module globals, the magic text and what the protocol path calls.
inline PyObject *str_TYPE_DW, *str_TYPE_HB, *str_magic, *str_decode,
    *str_ascii, *str_from_bytes, *str_little;

inline PyObject *empty_tuple;
inline PyObject *int_low_nibble;  // 0x0F
inline PyObject *int_high_nibble; // 0xF0
inline PyObject *int_four;

inline int init_names()
{
    struct Name {
        PyObject **slot;
        const char *text;
    };
    const Name names[] = {
        {&str_self, "self"},
        {&str_bytes, "bytes"},
        {&str_length, "length"},
        {&str_header, "header"},
        {&str_callback, "callback"},
        {&str___init__, "__init__"},
        {&str__len, "_len"},
        {&str_message, "message"},
        {&str_msg_cnt, "msg_cnt"},
        {&str_rf_profile, "rf_profile"},
        {&str_cnt, "cnt"},
        {&str_reports, "reports"},
        {&str_flags, "flags"},
        {&str_type, "type"},
        {&str_src_addr, "src_addr"},
        {&str_is_anchor, "is_anchor"},
        {&str_sub_header, "sub_header"},
        {&str_uwb_header, "uwb_header"},
        {&str_uwb_params, "uwb_params"},
        {&str_uwb_payload, "uwb_payload"},
        {&str_uwb_footer, "uwb_footer"},
        {&str_callback_handle, "callback_handle"},
        {&str_HEADER_LENGTH, "HEADER_LENGTH"},
        {&str_SUB_HEADER_LENGTH, "SUB_HEADER_LENGTH"},
        {&str_UWB_HEADER_LENGTH, "UWB_HEADER_LENGTH"},
        {&str_UWB_PARAMS_LENGTH, "UWB_PARAMS_LENGTH"},
        {&str_UWB_FOOTER_LENGTH, "UWB_FOOTER_LENGTH"},
        {&str_RANGING_REPORT_LENGTH, "RANGING_REPORT_LENGTH"},
        {&str_RANGING_MESSAGE_HEADER_LENGTH, "RANGING_MESSAGE_HEADER_LENGTH"},
        {&str_FLAG_ANCHOR, "FLAG_ANCHOR"},
        {&str__SUB_HEADER_SLICE, "_SUB_HEADER_SLICE"},
        {&str__UWB_HEADER_SLICE, "_UWB_HEADER_SLICE"},
        {&str__UWB_PARAMS_SLICE, "_UWB_PARAMS_SLICE"},
        {&str__UWB_PAYLOAD_SLICE, "_UWB_PAYLOAD_SLICE"},
        {&str__UWB_FOOTER_SLICE, "_UWB_FOOTER_SLICE"},
        {&str__MESSAGE_TYPE_RANGING, "_MESSAGE_TYPE_RANGING"},
        {&str_TYPE_DW, "TYPE_DW"},
        {&str_TYPE_HB, "TYPE_HB"},
        {&str_magic, "@QZ@"},
        {&str_decode, "decode"},
        {&str_ascii, "ascii"},
        {&str_from_bytes, "from_bytes"},
        {&str_little, "little"},
    };
    for (const Name &name : names) {
        if (capi::intern(*name.slot, name.text) < 0)
            return -1;
    }
    empty_tuple = PyTuple_New(0);
    int_low_nibble = PyLong_FromLong(0x0F);
    int_high_nibble = PyLong_FromLong(0xF0);
    int_four = PyLong_FromLong(4);
    return empty_tuple && int_low_nibble && int_high_nibble && int_four ? 0
                                                                        : -1;
}

// Attribute access through the type's slots; the interned names need no
// interning by PyObject_GetAttr and PyObject_SetAttr on every call.
inline PyObject *get_attr(PyObject *obj, PyObject *name)
{
    getattrofunc get = Py_TYPE(obj)->tp_getattro;
    return get != nullptr ? get(obj, name) : PyObject_GetAttr(obj, name);
}

inline int set_attr(PyObject *obj, PyObject *name, PyObject *value)
{
    setattrofunc set = Py_TYPE(obj)->tp_setattro;
    return set != nullptr ? set(obj, name, value)
                          : PyObject_SetAttr(obj, name, value);
}

// `a == b` followed by a truth test, as in `assert a == b`: 1, 0 or -1.
inline int equal(PyObject *a, PyObject *b)
{
    capi::Ref result(PyObject_RichCompare(a, b, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

} // namespace packets

#endif
