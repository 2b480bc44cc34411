"""Frame decoding speed: qz_packets against two baselines.

Each decoder handles one device frame the way the host does: Header of the
first 9 bytes, QZDWPacket of the whole frame, then callback() to a handler
that does nothing. Two frames: a ranging frame with 4 reports and a raw
frame. Baselines, measured in the same run:
  - plain: the same classes in plain Python
    (tests/reference/plain_python_packets.py);
  - construct: a declarative parser of the same layout.
All three are checked to deliver the same fields before anything is timed.
Prints ns per frame (median of several repeats) and the speed-up of
qz_packets over each baseline.

Run: python benchmarks/bench_packets.py
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(1, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                os.pardir, "tests"))

import construct as cs  # noqa: E402
from reference import plain_python_packets  # noqa: E402
import qz_packets  # noqa: E402
from timing import per_call_seconds, print_table  # noqa: E402

REPEATS = 7


def ranging_frame(report_count):
    reports = b"".join(
        bytes([i]) + (0x1234 + i).to_bytes(2, "little")
        + (0x0504030201 + i).to_bytes(5, "little")
        + (1000 + i).to_bytes(2, "little")
        for i in range(report_count)
    )
    message = (
        bytes([1]) + (19 + len(reports)).to_bytes(2, "little") + bytes([1, 7])
        + bytes(range(1, 6)) + bytes([10, 0, 11, 0, 2, 0x34, 0x12, 3])
        + bytes([report_count]) + reports
    )
    return frame(16, message)


def frame(payload_type, payload):
    body = (
        bytes(range(10))
        + bytes.fromhex("418805CDAB34127856")
        + bytes.fromhex("0102040302017A") + bytes([0x3A, payload_type])
        + payload
    )
    header = b"@QZ@DW" + (9 + len(body) + 2).to_bytes(2, "little") + b"\x01"
    return header + body + b"\x34\x12"


FRAMES = {
    "ranging, 4 reports": ranging_frame(4),
    "raw, 20-byte payload": frame(0, bytes(range(20))),
}


def no_op(src_addr, is_anchor, reports):
    pass


def class_decoder(module):
    Header, QZDWPacket = module.Header, module.QZDWPacket

    def decode(data):
        packet = QZDWPacket(Header(data[:9]), data, callback=no_op)
        packet.callback()
        return packet

    return decode


# The same layout, declared for construct.
def _fields(*names):
    return [name / cs.Int8ul for name in names]


HEADER = cs.Struct(
    cs.Const(b"@QZ@"),
    "type" / cs.PaddedString(2, "ascii"),
    "packet_len" / cs.Int16ul,
    "version" / cs.Int8ul,
)
SUB_HEADER = cs.Struct(
    *_fields("scramble", "rssi", "ts1", "ts2", "ts3", "ts4", "ts5", "ts6",
             "ts7", "ts8"))
UWB_HEADER = cs.Struct(
    "frm_ctrl" / cs.Int16ul, "seq_num" / cs.Int8ul, "panid" / cs.Int16ul,
    "dst_addr" / cs.Int16ul, "src_addr" / cs.Int16ul,
)
UWB_PARAMS = cs.Struct(
    "slot" / cs.Int16ul, "frame" / cs.Int32ul, "db" / cs.Int8ul,
    "tmp" / cs.Int8ul,
    "msg_cnt" / cs.Computed(cs.this.tmp & 0x0F),
    "rf_profile" / cs.Computed((cs.this.tmp & 0xF0) >> 4),
    "type" / cs.Int8ul,
)
REPORT = cs.Struct(
    "flags" / cs.Int8ul, "addr" / cs.Int16ul,
    "ts" / cs.BytesInteger(5, swapped=True), "dist" / cs.Int16ul,
)
RANGING_MESSAGE = cs.Struct(
    "version" / cs.Int8ul, "len" / cs.Int16ul, "flags" / cs.Int8ul,
    "slotnr" / cs.Int8ul, "tx_ts" / cs.BytesInteger(5, swapped=True),
    "task_cnt" / cs.Int16ul, "task_q_cnt" / cs.Int16ul,
    "midist2" / cs.Int8ul, "comp_id" / cs.Int16ul, "sets" / cs.Int8ul,
    "cnt" / cs.Int8ul, "reports" / cs.Array(cs.this.cnt, REPORT),
)
DW_PACKET = cs.Struct(
    cs.Padding(9),
    "sub_header" / SUB_HEADER,
    "uwb_header" / UWB_HEADER,
    "uwb_params" / UWB_PARAMS,
    "uwb_payload" / cs.FixedSized(
        cs.this._params.frame_length - 39,
        cs.Switch(cs.this.uwb_params.type, {16: RANGING_MESSAGE},
                  default=cs.GreedyBytes)),
    "uwb_footer" / cs.Struct("fcs" / cs.Int16ul),
)


def construct_decode(data):
    HEADER.parse(data[:9])
    packet = DW_PACKET.parse(data, frame_length=len(data))
    if packet.uwb_params.type == 16:
        no_op(packet.uwb_header.src_addr,
              packet.uwb_payload.flags & 1 == 1, packet.uwb_payload.reports)
    return packet


DECODERS = {
    "qz_packets": class_decoder(qz_packets),
    "plain Python": class_decoder(plain_python_packets),
    "construct": construct_decode,
}

RECORDS = {
    "sub_header": ["scramble", "rssi"] + ["ts%d" % i for i in range(1, 9)],
    "uwb_header": ["frm_ctrl", "seq_num", "panid", "dst_addr", "src_addr"],
    "uwb_params": ["slot", "frame", "db", "msg_cnt", "rf_profile", "type"],
    "uwb_footer": ["fcs"],
}
MESSAGE_FIELDS = ["version", "len", "flags", "slotnr", "tx_ts", "task_cnt",
                  "task_q_cnt", "midist2", "comp_id", "sets", "cnt"]
REPORT_FIELDS = ["flags", "addr", "ts", "dist"]


def fields(packet):
    """The decoded values of a packet, the same for every decoder."""
    values = {(record, name): getattr(getattr(packet, record), name)
              for record, names in RECORDS.items() for name in names}
    payload = packet.uwb_payload
    if isinstance(payload, (bytes, bytearray)):  # construct's raw payload
        values["raw"] = bytes(payload)
    elif hasattr(payload, "message"):
        values["raw"] = bytes(payload.message)
    else:
        values.update({("message", name): getattr(payload, name)
                       for name in MESSAGE_FIELDS})
        values["reports"] = [[getattr(report, name) for name in REPORT_FIELDS]
                             for report in payload.reports]
    return values


def check_same_fields():
    for label, data in FRAMES.items():
        expected = fields(DECODERS["qz_packets"](data))
        for name, decode in DECODERS.items():
            if fields(decode(data)) != expected:
                raise SystemExit("%s decodes the %s frame differently"
                                 % (name, label))


def decode_times(repeats=REPEATS):
    """{frame label: {decoder: ns per frame}}, each the median of `repeats`."""
    check_same_fields()
    return {label: {name: per_call_seconds(lambda: decode(data), repeats=repeats) * 1e9
                    for name, decode in DECODERS.items()}
            for label, data in FRAMES.items()}


def main():
    rows = []
    for label, ns in decode_times().items():
        ours = ns["qz_packets"]
        rows.append([label] + ["%.0f" % ns[name] for name in DECODERS]
                    + ["%.1fx" % (ns["plain Python"] / ours),
                       "%.1fx" % (ns["construct"] / ours)])
    print_table("Frame decoding, ns per frame (median of %d repeats): Header + "
                "QZDWPacket + callback()" % REPEATS, rows,
                ["frame"] + list(DECODERS) + ["vs plain", "vs construct"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
