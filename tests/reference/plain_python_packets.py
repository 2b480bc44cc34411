"""The frame decoding classes written in plain Python, step by step.

What qz_packets does, stated plainly: the same classes, constants and
algorithms as the extension module, so both produce the same fields (and
fail the same way) on every frame. The property tests and the fuzzer
compare the module against it; bench_packets.py measures the module
against it.
"""

TYPE_DW = "DW"
TYPE_HB = "HB"


class BasePacket(object):
    def __init__(self, length):
        self._len = length

    def __len__(self):
        return self._len


class Header(BasePacket):
    HEADER_LENGTH = 9

    def __init__(self, bytes):
        assert len(bytes) == self.HEADER_LENGTH
        super().__init__(self.HEADER_LENGTH)
        assert bytes[0:4].decode("ascii") == "@QZ@"
        self.type = bytes[4:6].decode("ascii")
        assert self.type == TYPE_DW or self.type == TYPE_HB
        self.packet_len = int.from_bytes(bytes[6:8], "little")
        self.version = int(bytes[8])


class SubHeader(BasePacket):
    SUB_HEADER_LENGTH = 10

    def __init__(self, bytes):
        assert len(bytes) == self.SUB_HEADER_LENGTH
        super().__init__(self.SUB_HEADER_LENGTH)
        self.scramble = int(bytes[0])
        self.rssi = int(bytes[1])
        self.ts1 = int(bytes[2])
        self.ts2 = int(bytes[3])
        self.ts3 = int(bytes[4])
        self.ts4 = int(bytes[5])
        self.ts5 = int(bytes[6])
        self.ts6 = int(bytes[7])
        self.ts7 = int(bytes[8])
        self.ts8 = int(bytes[9])


class UWBHeader(BasePacket):
    UWB_HEADER_LENGTH = 9

    def __init__(self, bytes):
        assert len(bytes) == self.UWB_HEADER_LENGTH
        super().__init__(self.UWB_HEADER_LENGTH)
        self.frm_ctrl = int.from_bytes(bytes[0:2], "little")
        self.seq_num = int(bytes[2])
        self.panid = int.from_bytes(bytes[3:5], "little")
        self.dst_addr = int.from_bytes(bytes[5:7], "little")
        self.src_addr = int.from_bytes(bytes[7:], "little")


class UWBParams(BasePacket):
    UWB_PARAMS_LENGTH = 9

    def __init__(self, bytes):
        assert len(bytes) == self.UWB_PARAMS_LENGTH
        super().__init__(self.UWB_PARAMS_LENGTH)
        self.slot = int.from_bytes(bytes[0:2], "little")
        self.frame = int.from_bytes(bytes[2:6], "little")
        self.db = int(bytes[6])
        tmp = int(bytes[7])
        self.msg_cnt = tmp & 0x0F
        self.rf_profile = (tmp & 0xF0) >> 4
        self.type = int(bytes[8])


class UWBRawMessage(BasePacket):
    def __init__(self, bytes):
        super().__init__(len(bytes))
        self.message = bytes


class UWBRangingReport(BasePacket):
    RANGING_REPORT_LENGTH = 10

    def __init__(self, bytes):
        assert len(bytes) == self.RANGING_REPORT_LENGTH
        super().__init__(self.RANGING_REPORT_LENGTH)
        self.flags = int(bytes[0])
        self.addr = int.from_bytes(bytes[1:3], "little")
        self.ts = int.from_bytes(bytes[3:8], "little")
        self.dist = int.from_bytes(bytes[8:], "little")


class UWBRangingMessage(object):
    RANGING_MESSAGE_HEADER_LENGTH = 19
    FLAG_ANCHOR = 1

    def __init__(self, bytes):
        self.version = int(bytes[0])
        self.len = int.from_bytes(bytes[1:3], "little")
        self.flags = int(bytes[3])
        self.slotnr = int(bytes[4])
        self.tx_ts = int.from_bytes(bytes[5:10], "little")
        self.task_cnt = int.from_bytes(bytes[10:12], "little")
        self.task_q_cnt = int.from_bytes(bytes[12:14], "little")
        self.midist2 = int(bytes[14])
        self.comp_id = int.from_bytes(bytes[15:17], "little")
        self.sets = int(bytes[17])
        self.cnt = int(bytes[18])
        self.reports = [None] * self.cnt
        start = self.RANGING_MESSAGE_HEADER_LENGTH
        for report_idx in range(self.cnt):
            stop = start + UWBRangingReport.RANGING_REPORT_LENGTH
            report_bytes = bytes[start:stop]
            self.reports[report_idx] = UWBRangingReport(report_bytes)
            start = stop

    def is_anchor(self):
        return self.flags & self.FLAG_ANCHOR == self.FLAG_ANCHOR


class UWBFooter(BasePacket):
    UWB_FOOTER_LENGTH = 2

    def __init__(self, bytes):
        assert len(bytes) == self.UWB_FOOTER_LENGTH
        super().__init__(self.UWB_FOOTER_LENGTH)
        self.fcs = int.from_bytes(bytes, "little")


class QZDWPacket(object):
    _SUB_HEADER_SLICE = slice(9, 19)
    _UWB_HEADER_SLICE = slice(19, 28)
    _UWB_PARAMS_SLICE = slice(28, 37)
    _UWB_PAYLOAD_SLICE = slice(37, -2)
    _UWB_FOOTER_SLICE = slice(-2, None)
    _MESSAGE_TYPE_RANGING = 16

    def __init__(self, header, bytes, callback=None):
        self.header = header
        self.sub_header = SubHeader(bytes[self._SUB_HEADER_SLICE])
        self.uwb_header = UWBHeader(bytes[self._UWB_HEADER_SLICE])
        self.uwb_params = UWBParams(bytes[self._UWB_PARAMS_SLICE])
        payload_data = bytes[self._UWB_PAYLOAD_SLICE]
        if self.uwb_params.type == self._MESSAGE_TYPE_RANGING:
            self.uwb_payload = UWBRangingMessage(payload_data)
        else:
            self.uwb_payload = UWBRawMessage(payload_data)
        self.uwb_footer = UWBFooter(bytes[self._UWB_FOOTER_SLICE])
        self.callback_handle = callback

    def callback(self):
        if self.uwb_params.type == self._MESSAGE_TYPE_RANGING:
            self.callback_handle(
                self.uwb_header.src_addr,
                self.uwb_payload.is_anchor(),
                self.uwb_payload.reports,
            )
