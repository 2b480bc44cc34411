// The frame layout that qz_packets decodes, as constant definitions: one
// per record (its class name, length constant, fields with their byte
// ranges and conversions, docstrings), from which the module makes the
// classes, their namespaces and the steps of their initialisers.
#ifndef QZ_PACKETS_LAYOUT_HPP
#define QZ_PACKETS_LAYOUT_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace packets
{

// The stop of a slice that runs to the end of the input.
constexpr Py_ssize_t to_end = -1;

// How a field is read from [start:stop] of its record: one byte taken by
// indexing, an unsigned little-endian number, ASCII text, or one byte
// split into its low nibble (`name`) and its high nibble (`high_name`).
enum class Conversion { byte, number, text, nibbles };

struct FieldLayout {
    Conversion conversion;
    const char *name;
    Py_ssize_t start;
    Py_ssize_t stop;
    const char *high_name = nullptr; // nibbles only
};

// The records, in the order in which the module binds their classes.
enum RecordId : size_t {
    header,
    sub_header,
    uwb_header,
    uwb_params,
    raw_message,
    ranging_report,
    ranging_message,
    footer,
    record_count
};

struct RecordLayout {
    const char *name;
    bool derives_base;       // from BasePacket, whose initialiser sets _len
    const char *length_name; // the class constant of its length, if any
    long length;
    const FieldLayout *fields; // decoded in this order
    size_t field_count;
    const char *extra;    // a further attribute its initialiser stores
    const char *doc;      // the class docstring
    const char *init_doc; // the docstring of its __init__
};

constexpr size_t max_fields = 11;

constexpr FieldLayout header_fields[] = {
    {Conversion::text, "type", 4, 6},
    {Conversion::number, "packet_len", 6, 8},
    {Conversion::byte, "version", 8, 9},
};
constexpr FieldLayout sub_header_fields[] = {
    {Conversion::byte, "scramble", 0, 1}, {Conversion::byte, "rssi", 1, 2},
    {Conversion::byte, "ts1", 2, 3},      {Conversion::byte, "ts2", 3, 4},
    {Conversion::byte, "ts3", 4, 5},      {Conversion::byte, "ts4", 5, 6},
    {Conversion::byte, "ts5", 6, 7},      {Conversion::byte, "ts6", 7, 8},
    {Conversion::byte, "ts7", 8, 9},      {Conversion::byte, "ts8", 9, 10},
};
constexpr FieldLayout uwb_header_fields[] = {
    {Conversion::number, "frm_ctrl", 0, 2},
    {Conversion::byte, "seq_num", 2, 3},
    {Conversion::number, "panid", 3, 5},
    {Conversion::number, "dst_addr", 5, 7},
    {Conversion::number, "src_addr", 7, to_end},
};
// msg_cnt and rf_profile share byte 7, decoded between db and type.
constexpr FieldLayout uwb_params_fields[] = {
    {Conversion::number, "slot", 0, 2},
    {Conversion::number, "frame", 2, 6},
    {Conversion::byte, "db", 6, 7},
    {Conversion::nibbles, "msg_cnt", 7, 8, "rf_profile"},
    {Conversion::byte, "type", 8, 9},
};
constexpr FieldLayout ranging_report_fields[] = {
    {Conversion::byte, "flags", 0, 1},
    {Conversion::number, "addr", 1, 3},
    {Conversion::number, "ts", 3, 8},
    {Conversion::number, "dist", 8, to_end},
};
// The message header; the reports follow it.
constexpr FieldLayout ranging_message_fields[] = {
    {Conversion::byte, "version", 0, 1},
    {Conversion::number, "len", 1, 3},
    {Conversion::byte, "flags", 3, 4},
    {Conversion::byte, "slotnr", 4, 5},
    {Conversion::number, "tx_ts", 5, 10},
    {Conversion::number, "task_cnt", 10, 12},
    {Conversion::number, "task_q_cnt", 12, 14},
    {Conversion::byte, "midist2", 14, 15},
    {Conversion::number, "comp_id", 15, 17},
    {Conversion::byte, "sets", 17, 18},
    {Conversion::byte, "cnt", 18, 19},
};
// the whole input, not a slice of it
constexpr FieldLayout footer_fields[] = {
    {Conversion::number, "fcs", 0, to_end},
};

template <size_t N> constexpr size_t count_of(const FieldLayout (&)[N])
{
    return N;
}

constexpr RecordLayout layouts[record_count] = {
    {"Header", true, "HEADER_LENGTH", 9, header_fields,
     count_of(header_fields), nullptr,
     "Header(bytes): the 9-byte header of a device frame.",
     "__init__(self, bytes)\n--\n\n"
     "Decodes the 9 header bytes: magic \"@QZ@\", type, packet_len,\n"
     "version. Length, magic and type are asserted."},
    {"SubHeader", true, "SUB_HEADER_LENGTH", 10, sub_header_fields,
     count_of(sub_header_fields), nullptr,
     "SubHeader(bytes): the 10-byte sub-header of a device frame.",
     "__init__(self, bytes)\n--\n\n"
     "Decodes the 10 sub-header bytes: scramble, rssi, ts1 to ts8."},
    {"UWBHeader", true, "UWB_HEADER_LENGTH", 9, uwb_header_fields,
     count_of(uwb_header_fields), nullptr,
     "UWBHeader(bytes): the 9-byte UWB MAC header.",
     "__init__(self, bytes)\n--\n\n"
     "Decodes the 9 bytes of the UWB MAC header: frm_ctrl, seq_num, panid,\n"
     "dst_addr, src_addr."},
    {"UWBParams", true, "UWB_PARAMS_LENGTH", 9, uwb_params_fields,
     count_of(uwb_params_fields), nullptr,
     "UWBParams(bytes): the 9 bytes of radio parameters.",
     "__init__(self, bytes)\n--\n\n"
     "Decodes the 9 bytes of radio parameters: slot, frame, db, msg_cnt,\n"
     "rf_profile, type."},
    // no length constant: its length is that of the payload
    {"UWBRawMessage", true, nullptr, 0, nullptr, 0, "message",
     "UWBRawMessage(bytes): a payload kept undecoded.",
     "__init__(self, bytes)\n--\n\n"
     "Keeps the payload object itself in message; len() is its length."},
    {"UWBRangingReport", true, "RANGING_REPORT_LENGTH", 10,
     ranging_report_fields, count_of(ranging_report_fields), nullptr,
     "UWBRangingReport(bytes): one 10-byte ranging report.",
     "__init__(self, bytes)\n--\n\n"
     "Decodes the 10 bytes of a ranging report: flags, addr, ts, dist."},
    // derives from object only: no _len
    {"UWBRangingMessage", false, "RANGING_MESSAGE_HEADER_LENGTH", 19,
     ranging_message_fields, count_of(ranging_message_fields), "reports",
     "UWBRangingMessage(bytes): a ranging message, its header fields\n"
     "and the list of its UWBRangingReport objects in reports.",
     "__init__(self, bytes)\n--\n\n"
     "Decodes the 19-byte message header and the cnt reports after it."},
    {"UWBFooter", true, "UWB_FOOTER_LENGTH", 2, footer_fields,
     count_of(footer_fields), nullptr,
     "UWBFooter(bytes): the 2-byte footer of the UWB frame.",
     "__init__(self, bytes)\n--\n\n"
     "Decodes the 2 footer bytes into fcs (not verified)."},
};

// The magic text at [0:4] of the header.
constexpr const char magic[] = "@QZ@";
constexpr Py_ssize_t magic_length = 4;
// Bit of UWBRangingMessage.flags that marks an anchor's message.
constexpr long flag_anchor = 1;
// UWBParams.type of a ranging message.
constexpr long message_type_ranging = 16;

// A whole frame: the header, sub-header, UWB header and parameters one
// after the other, then the payload up to the footer at the end. These
// are the slices of QZDWPacket, made from the record lengths.
struct FrameSlice {
    const char *name;
    Py_ssize_t start;
    Py_ssize_t stop;
};

constexpr Py_ssize_t sub_header_start = layouts[header].length;
constexpr Py_ssize_t uwb_header_start =
    sub_header_start + layouts[sub_header].length;
constexpr Py_ssize_t uwb_params_start =
    uwb_header_start + layouts[uwb_header].length;
constexpr Py_ssize_t payload_start =
    uwb_params_start + layouts[uwb_params].length;
constexpr Py_ssize_t footer_start = -layouts[footer].length;

enum FramePart : size_t {
    sub_header_part,
    uwb_header_part,
    uwb_params_part,
    payload_part,
    footer_part,
    frame_part_count
};

constexpr FrameSlice frame_slices[frame_part_count] = {
    {"_SUB_HEADER_SLICE", sub_header_start, uwb_header_start},
    {"_UWB_HEADER_SLICE", uwb_header_start, uwb_params_start},
    {"_UWB_PARAMS_SLICE", uwb_params_start, payload_start},
    {"_UWB_PAYLOAD_SLICE", payload_start, footer_start},
    {"_UWB_FOOTER_SLICE", footer_start, to_end},
};

} // namespace packets

#endif
