"""Builds device frames from field values, for the tests only.

Each record is a list of (attribute, width in bytes) in layout order; every
value is written unsigned little-endian. UWBParams packs msg_cnt (low
nibble) and rf_profile (high nibble) into byte 7.
"""

SUB_HEADER = [(name, 1) for name in
              ("scramble", "rssi", "ts1", "ts2", "ts3", "ts4", "ts5", "ts6",
               "ts7", "ts8")]
UWB_HEADER = [("frm_ctrl", 2), ("seq_num", 1), ("panid", 2), ("dst_addr", 2),
              ("src_addr", 2)]
UWB_PARAMS = [("slot", 2), ("frame", 4), ("db", 1), ("nibbles", 1),
              ("type", 1)]
REPORT = [("flags", 1), ("addr", 2), ("ts", 5), ("dist", 2)]
MESSAGE_HEADER = [("version", 1), ("len", 2), ("flags", 1), ("slotnr", 1),
                  ("tx_ts", 5), ("task_cnt", 2), ("task_q_cnt", 2),
                  ("midist2", 1), ("comp_id", 2), ("sets", 1), ("cnt", 1)]
FOOTER = [("fcs", 2)]


def fields_of(layout):
    """The attribute names that a layout decodes into."""
    names = [name for name, _ in layout if name != "nibbles"]
    return names + (["msg_cnt", "rf_profile"] if layout is UWB_PARAMS else [])


def record(layout, values):
    """The bytes of one record; missing values are 0."""
    values = dict(values)
    if layout is UWB_PARAMS:
        values["nibbles"] = values.get("msg_cnt", 0) | values.get("rf_profile", 0) << 4
    return b"".join(values.get(name, 0).to_bytes(width, "little")
                    for name, width in layout)


def header(type="DW", packet_len=0, version=0, magic=b"@QZ@"):
    return magic + type.encode("ascii") + record([("p", 2), ("v", 1)],
                                                 {"p": packet_len, "v": version})


def ranging_message(reports=(), **values):
    """A ranging message; cnt defaults to the number of reports."""
    values.setdefault("cnt", len(reports))
    return record(MESSAGE_HEADER, values) + b"".join(
        record(REPORT, report) for report in reports)


def frame(payload=b"", sub_header=(), uwb_header=(), uwb_params=(),
          footer=(), **header_values):
    """A whole "DW" frame around `payload`."""
    return (header(**header_values) + record(SUB_HEADER, sub_header)
            + record(UWB_HEADER, uwb_header) + record(UWB_PARAMS, uwb_params)
            + payload + record(FOOTER, footer))
