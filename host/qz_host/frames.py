"""Encoders for device frames: the exact inverse of qz_packets' decoding.

Each record's wire layout is written once, as a list of (field, bits) in
the order the bytes go out (``*_LAYOUT``); the record lengths, the field
offsets that the frame checks use, the range checks and the encoders are
all made from it. Every multi-byte integer is unsigned little-endian and
fields narrower than a byte fill it from the least significant bit, so a
record is one little-endian integer with each field at its bit offset.

Each record is a frozen dataclass whose fields carry the names of the
attributes that the matching qz_packets class decodes (its layout's
fields, and the record's own fields such as a message's reports), so a
record encodes to bytes that
decode back into the same field values. Field ranges are checked when a
record is built: a value that does not fit its field raises ValueError
naming the record and the field, a value that is not an integer raises
TypeError.

A "DW" frame is laid out as

    header (9) | sub-header (10) | UWB MAC header (9) | radio parameters (9)
    | payload (variable) | footer (2)

``DWFrame.encode`` fills in the header's ``packet_len`` (the whole frame's
length) and, unless given, the footer's frame check sequence (see ``fcs``).
"""

from __future__ import annotations

import binascii
from dataclasses import dataclass, field
from typing import Callable, ClassVar, Dict, List, Mapping, Tuple, Union

Layout = Tuple[Tuple[str, int], ...]

MAGIC = b"@QZ@"
TYPE_DW = "DW"
TYPE_HB = "HB"
MESSAGE_TYPE_RANGING = 16
FLAG_ANCHOR = 1
MAX_PACKET_LENGTH = 0xFFFF
MAX_REPORTS = 0xFF

# The frame header after the magic and the two-letter type.
HEADER_LAYOUT: Layout = (("packet_len", 16), ("version", 8))
SUB_HEADER_LAYOUT: Layout = tuple((name, 8) for name in (
    "scramble", "rssi", "ts1", "ts2", "ts3", "ts4", "ts5", "ts6", "ts7", "ts8"))
UWB_HEADER_LAYOUT: Layout = (("frm_ctrl", 16), ("seq_num", 8), ("panid", 16),
                             ("dst_addr", 16), ("src_addr", 16))
UWB_PARAMS_LAYOUT: Layout = (("slot", 16), ("frame", 32), ("db", 8), ("msg_cnt", 4),
                             ("rf_profile", 4), ("type", 8))
UWB_FOOTER_LAYOUT: Layout = (("fcs", 16),)
RANGING_MESSAGE_LAYOUT: Layout = (
    ("version", 8), ("len", 16), ("flags", 8), ("slotnr", 8), ("tx_ts", 40), ("task_cnt", 16),
    ("task_q_cnt", 16), ("midist2", 8), ("comp_id", 16), ("sets", 8), ("cnt", 8))
RANGING_REPORT_LAYOUT: Layout = (("flags", 8), ("addr", 16), ("ts", 40), ("dist", 16))


def layout_length(layout: Layout) -> int:
    """The bytes a record of `layout` takes."""
    return sum(bits for _, bits in layout) // 8


def field_offset(layout: Layout, name: str) -> int:
    """The offset in bytes of field `name` within a record of `layout`."""
    bits = 0
    for field_name, width in layout:
        if field_name == name:
            return bits // 8
        bits += width
    raise KeyError(name)


HEADER_LENGTH = len(MAGIC) + len(TYPE_DW) + layout_length(HEADER_LAYOUT)
SUB_HEADER_LENGTH = layout_length(SUB_HEADER_LAYOUT)
UWB_HEADER_LENGTH = layout_length(UWB_HEADER_LAYOUT)
UWB_PARAMS_LENGTH = layout_length(UWB_PARAMS_LAYOUT)
UWB_FOOTER_LENGTH = layout_length(UWB_FOOTER_LAYOUT)
RANGING_MESSAGE_HEADER_LENGTH = layout_length(RANGING_MESSAGE_LAYOUT)
RANGING_REPORT_LENGTH = layout_length(RANGING_REPORT_LAYOUT)
# Where the parts of a DW frame start, and the shortest DW frame.
TYPE_OFFSET = len(MAGIC)
PACKET_LEN_OFFSET = TYPE_OFFSET + len(TYPE_DW)
UWB_OFFSET = HEADER_LENGTH + SUB_HEADER_LENGTH
UWB_PARAMS_OFFSET = UWB_OFFSET + UWB_HEADER_LENGTH
PAYLOAD_OFFSET = UWB_PARAMS_OFFSET + UWB_PARAMS_LENGTH
MIN_DW_FRAME_LENGTH = PAYLOAD_OFFSET + UWB_FOOTER_LENGTH
# Single fields that the frame checks read without decoding the frame.
SRC_ADDR_OFFSET = UWB_OFFSET + field_offset(UWB_HEADER_LAYOUT, "src_addr")
MESSAGE_TYPE_OFFSET = UWB_PARAMS_OFFSET + field_offset(UWB_PARAMS_LAYOUT, "type")
RANGING_FLAGS_OFFSET = PAYLOAD_OFFSET + field_offset(RANGING_MESSAGE_LAYOUT, "flags")
RANGING_COUNT_OFFSET = PAYLOAD_OFFSET + field_offset(RANGING_MESSAGE_LAYOUT, "cnt")


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


def _pack(layout: Layout, values: Mapping[str, int]) -> bytes:
    """The bytes of a record of `layout` with the given field values."""
    packed = 0
    shift = 0
    for name, bits in layout:
        packed |= values[name] << shift
        shift += bits
    return packed.to_bytes(shift // 8, "little")


class _Record:
    """A record with a wire layout: checks every field of ``_LAYOUT`` that
    the record holds against its width, and encodes the record from it.
    A field of the layout that the record computes (a count, a length) is
    given by ``_computed``."""

    _LAYOUT: ClassVar[Layout] = ()

    def __post_init__(self) -> None:
        for name, bits in self._LAYOUT:
            value = getattr(self, name)
            if value is not None and name in self.__dataclass_fields__:  # type: ignore[attr-defined]
                _check_uint(type(self).__name__, name, value, bits)

    def _computed(self) -> Dict[str, int]:
        return {}

    def encode(self) -> bytes:
        values = {name: getattr(self, name) for name, _ in self._LAYOUT}
        values.update(self._computed())
        return _pack(self._LAYOUT, values)


@dataclass(frozen=True)
class Header(_Record):
    """The 9-byte frame header: "@QZ@", the type, packet_len, version."""

    type: str = TYPE_DW
    packet_len: int = 0
    version: int = 1

    _LAYOUT: ClassVar[Layout] = HEADER_LAYOUT

    def __post_init__(self) -> None:
        super().__post_init__()
        if not isinstance(self.type, str):
            raise TypeError(f"Header.type must be a str, not {type(self.type).__name__}")
        if len(self.type) != 2 or not self.type.isascii():
            raise ValueError(f"Header.type must be two ASCII characters, not {self.type!r}")

    def encode(self) -> bytes:
        return MAGIC + self.type.encode("ascii") + super().encode()


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

    _LAYOUT: ClassVar[Layout] = SUB_HEADER_LAYOUT


@dataclass(frozen=True)
class UWBHeader(_Record):
    """The 9-byte UWB MAC header with 16-bit short addresses."""

    frm_ctrl: int = 0x8841
    seq_num: int = 0
    panid: int = 0
    dst_addr: int = 0xFFFF
    src_addr: int = 0

    _LAYOUT: ClassVar[Layout] = UWB_HEADER_LAYOUT


@dataclass(frozen=True)
class UWBParams(_Record):
    """The 9-byte radio parameters; ``type`` 16 marks a ranging payload."""

    slot: int = 0
    frame: int = 0
    db: int = 0
    msg_cnt: int = 0
    rf_profile: int = 0
    type: int = MESSAGE_TYPE_RANGING

    _LAYOUT: ClassVar[Layout] = UWB_PARAMS_LAYOUT


@dataclass(frozen=True)
class UWBFooter(_Record):
    """The 2-byte footer holding the frame check sequence."""

    fcs: int = 0

    _LAYOUT: ClassVar[Layout] = UWB_FOOTER_LAYOUT


@dataclass(frozen=True)
class UWBRangingReport(_Record):
    """One 10-byte report: the peer's address, a timestamp, a raw distance."""

    addr: int = 0
    dist: int = 0
    ts: int = 0
    flags: int = 0

    _LAYOUT: ClassVar[Layout] = RANGING_REPORT_LAYOUT


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

    _LAYOUT: ClassVar[Layout] = RANGING_MESSAGE_LAYOUT

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

    @property
    def cnt(self) -> int:
        return len(self.reports)

    def is_anchor(self) -> bool:
        return self.flags & FLAG_ANCHOR == FLAG_ANCHOR

    def _computed(self) -> Dict[str, int]:
        size = RANGING_MESSAGE_HEADER_LENGTH + RANGING_REPORT_LENGTH * self.cnt
        length = size if self.len is None else self.len
        if length > MAX_PACKET_LENGTH:  # only a computed length can get here
            raise ValueError(f"UWBRangingMessage.len = {length} does not fit in 16 unsigned bits")
        return {"len": length}

    def encode(self) -> bytes:
        return super().encode() + b"".join(report.encode() for report in self.reports)


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
