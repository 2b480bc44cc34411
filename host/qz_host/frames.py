"""Encoders for device frames: the exact inverse of qz_packets' decoding.

Each record is a frozen dataclass whose fields carry the names of the
attributes that the matching qz_packets class decodes, so a record encodes
to bytes that decode back into the same field values. Field ranges are
checked when a record is built: a value that does not fit its field raises
ValueError naming the record and the field, a value that is not an integer
raises TypeError.

A "DW" frame is laid out as

    header (9) | sub-header (10) | UWB MAC header (9) | radio parameters (9)
    | payload (variable) | footer (2)

with all multi-byte integers unsigned little-endian. ``DWFrame.encode``
fills in the header's ``packet_len`` (the whole frame's length) and, unless
given, the footer's frame check sequence (see ``fcs``).
"""

from __future__ import annotations

import binascii
from dataclasses import dataclass, field, fields
from typing import Callable, ClassVar, Dict, List, Tuple, Union

MAGIC = b"@QZ@"
TYPE_DW = "DW"
TYPE_HB = "HB"
HEADER_LENGTH = 9
SUB_HEADER_LENGTH = 10
UWB_HEADER_LENGTH = 9
UWB_PARAMS_LENGTH = 9
UWB_FOOTER_LENGTH = 2
RANGING_MESSAGE_HEADER_LENGTH = 19
RANGING_REPORT_LENGTH = 10
MESSAGE_TYPE_RANGING = 16
FLAG_ANCHOR = 1
# Offset of the payload in a DW frame, and the shortest DW frame.
PAYLOAD_OFFSET = HEADER_LENGTH + SUB_HEADER_LENGTH + UWB_HEADER_LENGTH + UWB_PARAMS_LENGTH
MIN_DW_FRAME_LENGTH = PAYLOAD_OFFSET + UWB_FOOTER_LENGTH
MAX_PACKET_LENGTH = 0xFFFF
MAX_REPORTS = 0xFF


# Bit order reversed within each byte, for the reflected CRC below.
_REFLECTED = bytes(int(f"{i:08b}"[::-1], 2) for i in range(256))


def fcs(uwb_frame: bytes) -> int:
    """The IEEE 802.15.4 frame check sequence of a UWB frame before its footer.

    The footer holds it least significant byte first. It is the ITU-T
    CRC-16 with reflected bits (polynomial 0x1021, reflected 0x8408,
    initial value 0, no final XOR; also known as CRC-16/KERMIT, check value
    0x2189 for b"123456789") over the MAC header, the radio parameters and
    the payload: frame bytes 19 up to the last two. A reflected CRC is the
    unreflected one of the bit-reversed bytes, bit-reversed, so the C loop
    of binascii.crc_hqx does the work. qz_packets stores the footer without
    checking it.
    """
    crc = binascii.crc_hqx(bytes(uwb_frame).translate(_REFLECTED), 0)
    return _REFLECTED[crc >> 8] | _REFLECTED[crc & 0xFF] << 8


def fcs_ccitt(uwb_frame: bytes) -> int:
    """The checksum that captures declaring ``crc-ccitt`` hold: CRC-16-CCITT
    without reflection (polynomial 0x1021, initial value 0, as
    binascii.crc_hqx computes it; check value 0x31C3), over the same bytes
    as ``fcs``. Only read, so that such captures keep replaying."""
    return binascii.crc_hqx(uwb_frame, 0)


# Checksums by the name a capture declares them under; the first is the one
# real radios send and the simulator writes.
FCS_NAME = "ieee-802.15.4"
CHECKSUMS: Dict[str, Callable[[bytes], int]] = {FCS_NAME: fcs, "crc-ccitt": fcs_ccitt}


def checksum(name: str) -> Callable[[bytes], int]:
    """The checksum function declared as `name`; ValueError when unknown."""
    try:
        return CHECKSUMS[name]
    except KeyError:
        known = ", ".join(CHECKSUMS)
        raise ValueError(f"unknown checksum {name!r} (known: {known})") from None


def _check_uint(record: str, name: str, value: object, bits: int) -> None:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{record}.{name} must be an int, not {type(value).__name__}")
    if not 0 <= value < (1 << bits):
        raise ValueError(f"{record}.{name} = {value} does not fit in {bits} unsigned bits")


def _le(value: int, width: int) -> bytes:
    return value.to_bytes(width, "little")


class _Record:
    """Checks every integer field against its width in ``_BITS``."""

    _BITS: ClassVar[dict] = {}

    def __post_init__(self) -> None:
        for f in fields(self):  # type: ignore[arg-type]
            bits = self._BITS.get(f.name)
            if bits is not None:
                _check_uint(type(self).__name__, f.name, getattr(self, f.name), bits)


@dataclass(frozen=True)
class Header(_Record):
    """The 9-byte frame header: "@QZ@", the type, packet_len, version."""

    type: str = TYPE_DW
    packet_len: int = 0
    version: int = 1

    _BITS: ClassVar[dict] = {"packet_len": 16, "version": 8}

    def __post_init__(self) -> None:
        super().__post_init__()
        if not isinstance(self.type, str):
            raise TypeError(f"Header.type must be a str, not {type(self.type).__name__}")
        if len(self.type) != 2 or not self.type.isascii():
            raise ValueError(f"Header.type must be two ASCII characters, not {self.type!r}")

    def encode(self) -> bytes:
        return MAGIC + self.type.encode("ascii") + _le(self.packet_len, 2) + _le(self.version, 1)


@dataclass(frozen=True)
class SubHeader(_Record):
    """The 10-byte sub-header: ten single bytes."""

    scramble: int = 0
    rssi: int = 0
    ts1: int = 0
    ts2: int = 0
    ts3: int = 0
    ts4: int = 0
    ts5: int = 0
    ts6: int = 0
    ts7: int = 0
    ts8: int = 0

    _BITS: ClassVar[dict] = {name: 8 for name in (
        "scramble", "rssi", "ts1", "ts2", "ts3", "ts4", "ts5", "ts6", "ts7", "ts8")}

    def encode(self) -> bytes:
        return bytes(getattr(self, f.name) for f in fields(self))


@dataclass(frozen=True)
class UWBHeader(_Record):
    """The 9-byte UWB MAC header with 16-bit short addresses."""

    frm_ctrl: int = 0x8841
    seq_num: int = 0
    panid: int = 0
    dst_addr: int = 0xFFFF
    src_addr: int = 0

    _BITS: ClassVar[dict] = {"frm_ctrl": 16, "seq_num": 8, "panid": 16,
                             "dst_addr": 16, "src_addr": 16}

    def encode(self) -> bytes:
        return (_le(self.frm_ctrl, 2) + _le(self.seq_num, 1) + _le(self.panid, 2)
                + _le(self.dst_addr, 2) + _le(self.src_addr, 2))


@dataclass(frozen=True)
class UWBParams(_Record):
    """The 9-byte radio parameters; ``type`` 16 marks a ranging payload."""

    slot: int = 0
    frame: int = 0
    db: int = 0
    msg_cnt: int = 0
    rf_profile: int = 0
    type: int = MESSAGE_TYPE_RANGING

    _BITS: ClassVar[dict] = {"slot": 16, "frame": 32, "db": 8, "msg_cnt": 4,
                             "rf_profile": 4, "type": 8}

    def encode(self) -> bytes:
        return (_le(self.slot, 2) + _le(self.frame, 4) + _le(self.db, 1)
                + _le(self.rf_profile << 4 | self.msg_cnt, 1) + _le(self.type, 1))


@dataclass(frozen=True)
class UWBFooter(_Record):
    """The 2-byte footer holding the frame check sequence."""

    fcs: int = 0

    _BITS: ClassVar[dict] = {"fcs": 16}

    def encode(self) -> bytes:
        return _le(self.fcs, 2)


@dataclass(frozen=True)
class UWBRangingReport(_Record):
    """One 10-byte report: the peer's address, a timestamp, a raw distance."""

    addr: int = 0
    dist: int = 0
    ts: int = 0
    flags: int = 0

    _BITS: ClassVar[dict] = {"addr": 16, "dist": 16, "ts": 40, "flags": 8}

    def encode(self) -> bytes:
        return _le(self.flags, 1) + _le(self.addr, 2) + _le(self.ts, 5) + _le(self.dist, 2)


@dataclass(frozen=True)
class UWBRangingMessage(_Record):
    """A ranging payload: the 19-byte message header and its reports.

    ``cnt`` is the number of reports. ``len`` is the message's own length
    field, which the decoder stores without using; None (the default)
    encodes the message's actual length.
    """

    reports: Tuple[UWBRangingReport, ...] = ()
    flags: int = 0
    version: int = 1
    len: Union[int, None] = None
    slotnr: int = 0
    tx_ts: int = 0
    task_cnt: int = 0
    task_q_cnt: int = 0
    midist2: int = 0
    comp_id: int = 0
    sets: int = 0

    _BITS: ClassVar[dict] = {"flags": 8, "version": 8, "slotnr": 8, "tx_ts": 40,
                             "task_cnt": 16, "task_q_cnt": 16, "midist2": 8,
                             "comp_id": 16, "sets": 8}

    def __post_init__(self) -> None:
        super().__post_init__()
        object.__setattr__(self, "reports", tuple(self.reports))
        for report in self.reports:
            if not isinstance(report, UWBRangingReport):
                raise TypeError("UWBRangingMessage.reports must hold UWBRangingReport "
                                f"records, not {type(report).__name__}")
        if len(self.reports) > MAX_REPORTS:
            raise ValueError(f"UWBRangingMessage holds {len(self.reports)} reports; "
                             f"its count field takes at most {MAX_REPORTS}")
        if self.len is not None:
            _check_uint("UWBRangingMessage", "len", self.len, 16)

    @property
    def cnt(self) -> int:
        return len(self.reports)

    def is_anchor(self) -> bool:
        return self.flags & FLAG_ANCHOR == FLAG_ANCHOR

    def encode(self) -> bytes:
        size = RANGING_MESSAGE_HEADER_LENGTH + RANGING_REPORT_LENGTH * self.cnt
        length = size if self.len is None else self.len
        if length > MAX_PACKET_LENGTH:  # only a computed length can get here
            raise ValueError(f"UWBRangingMessage.len = {length} does not fit in 16 unsigned bits")
        head = (_le(self.version, 1) + _le(length, 2) + _le(self.flags, 1) + _le(self.slotnr, 1)
                + _le(self.tx_ts, 5) + _le(self.task_cnt, 2) + _le(self.task_q_cnt, 2)
                + _le(self.midist2, 1) + _le(self.comp_id, 2) + _le(self.sets, 1)
                + _le(self.cnt, 1))
        return head + b"".join(report.encode() for report in self.reports)


@dataclass(frozen=True)
class UWBRawMessage:
    """Any other payload, carried as it is."""

    message: bytes = b""

    def __post_init__(self) -> None:
        if not isinstance(self.message, (bytes, bytearray)):
            raise TypeError("UWBRawMessage.message must be bytes, "
                            f"not {type(self.message).__name__}")
        object.__setattr__(self, "message", bytes(self.message))

    def encode(self) -> bytes:
        return self.message


Payload = Union[UWBRangingMessage, UWBRawMessage]


@dataclass(frozen=True)
class DWFrame:
    """A whole frame of type "DW".

    The radio parameters' ``type`` must agree with the payload: 16 for a
    ranging message and any other value for a raw payload, since the
    decoder chooses the payload class by that byte alone. ``fcs`` None
    (the default) writes the checksum that ``fcs()`` computes.
    """

    uwb_header: UWBHeader
    payload: Payload
    uwb_params: UWBParams = field(default_factory=UWBParams)
    sub_header: SubHeader = field(default_factory=SubHeader)
    version: int = 1
    fcs: Union[int, None] = None

    def __post_init__(self) -> None:
        _check_uint("DWFrame", "version", self.version, 8)
        if self.fcs is not None:
            _check_uint("DWFrame", "fcs", self.fcs, 16)
        ranging = self.uwb_params.type == MESSAGE_TYPE_RANGING
        if ranging != isinstance(self.payload, UWBRangingMessage):
            raise ValueError(f"UWBParams.type = {self.uwb_params.type} does not match a "
                             f"{type(self.payload).__name__} payload (16 is ranging, "
                             "every other type raw)")

    def encode(self) -> bytes:
        uwb = self.uwb_header.encode() + self.uwb_params.encode() + self.payload.encode()
        length = HEADER_LENGTH + SUB_HEADER_LENGTH + len(uwb) + UWB_FOOTER_LENGTH
        if length > MAX_PACKET_LENGTH:
            raise ValueError(f"DWFrame of {length} bytes exceeds the header's "
                             f"packet_len limit of {MAX_PACKET_LENGTH}")
        check = fcs(uwb) if self.fcs is None else self.fcs
        return (Header(TYPE_DW, length, self.version).encode() + self.sub_header.encode()
                + uwb + UWBFooter(check).encode())


@dataclass(frozen=True)
class HBFrame:
    """A frame of type "HB": the header and a body without a fixed layout."""

    body: bytes = b""
    version: int = 1

    def __post_init__(self) -> None:
        _check_uint("HBFrame", "version", self.version, 8)
        if HEADER_LENGTH + len(self.body) > MAX_PACKET_LENGTH:
            raise ValueError(f"HBFrame body of {len(self.body)} bytes exceeds the "
                             f"packet_len limit of {MAX_PACKET_LENGTH}")

    def encode(self) -> bytes:
        length = HEADER_LENGTH + len(self.body)
        return Header(TYPE_HB, length, self.version).encode() + bytes(self.body)


def ranging_frame(src_addr: int, reports: List[UWBRangingReport], *, anchor: bool,
                  seq_num: int = 0, panid: int = 0, tx_ts: int = 0) -> bytes:
    """The bytes of a ranging message from ``src_addr`` carrying ``reports``."""
    message = UWBRangingMessage(tuple(reports), flags=FLAG_ANCHOR if anchor else 0,
                                tx_ts=tx_ts)
    return DWFrame(UWBHeader(seq_num=seq_num, panid=panid, src_addr=src_addr),
                   message).encode()
