"""Device frame decoding: one record class per part of a frame.

A "DW" frame is header (9) | sub-header (10) | UWB MAC header (9) |
radio parameters (9) | payload | footer (2); multi-byte integers are
unsigned little-endian. Length, magic and type checks are assertions.
"""

from typing import Any, Callable, ClassVar, List, Optional, Union

_Bytes = Union[bytes, bytearray, memoryview]
_Handler = Callable[[int, bool, List[UWBRangingReport]], object]

TYPE_DW: str
TYPE_HB: str

class BasePacket:
    _len: Any
    def __init__(self, length: Any) -> None: ...
    def __len__(self) -> int: ...

class Header(BasePacket):
    """The 9-byte header: "@QZ@", the two-letter type, packet_len, version."""

    HEADER_LENGTH: ClassVar[int]
    type: str
    packet_len: int
    version: int
    def __init__(self, bytes: Union[bytes, bytearray]) -> None: ...

class SubHeader(BasePacket):
    """Frame bytes 9 to 18, one unsigned byte each."""

    SUB_HEADER_LENGTH: ClassVar[int]
    scramble: int
    rssi: int
    ts1: int
    ts2: int
    ts3: int
    ts4: int
    ts5: int
    ts6: int
    ts7: int
    ts8: int
    def __init__(self, bytes: _Bytes) -> None: ...

class UWBHeader(BasePacket):
    """Frame bytes 19 to 27: the MAC header with 16-bit short addresses."""

    UWB_HEADER_LENGTH: ClassVar[int]
    frm_ctrl: int
    seq_num: int
    panid: int
    dst_addr: int
    src_addr: int
    def __init__(self, bytes: _Bytes) -> None: ...

class UWBParams(BasePacket):
    """Frame bytes 28 to 36; type 16 marks a ranging payload."""

    UWB_PARAMS_LENGTH: ClassVar[int]
    slot: int
    frame: int
    db: int
    msg_cnt: int
    rf_profile: int
    type: int
    def __init__(self, bytes: _Bytes) -> None: ...

class UWBRawMessage(BasePacket):
    """A payload that is not a ranging message, kept as given."""

    message: Any
    def __init__(self, bytes: Any) -> None: ...

class UWBRangingReport(BasePacket):
    """One 10-byte report; dist is the device's raw integer, unscaled."""

    RANGING_REPORT_LENGTH: ClassVar[int]
    flags: int
    addr: int
    ts: int
    dist: int
    def __init__(self, bytes: _Bytes) -> None: ...

class UWBRangingMessage:
    """The 19-byte message header followed by cnt reports."""

    RANGING_MESSAGE_HEADER_LENGTH: ClassVar[int]
    FLAG_ANCHOR: ClassVar[int]
    version: int
    len: int
    flags: int
    slotnr: int
    tx_ts: int
    task_cnt: int
    task_q_cnt: int
    midist2: int
    comp_id: int
    sets: int
    cnt: int
    reports: List[UWBRangingReport]
    def __init__(self, bytes: _Bytes) -> None: ...
    def is_anchor(self) -> bool: ...

class UWBFooter(BasePacket):
    """The last two frame bytes: the frame check sequence, not verified."""

    UWB_FOOTER_LENGTH: ClassVar[int]
    fcs: int
    def __init__(self, bytes: _Bytes) -> None: ...

class QZDWPacket:
    """A whole "DW" frame cut into its records; callback() hands a ranging
    message to the handler as handler(src_addr, is_anchor, reports)."""

    _SUB_HEADER_SLICE: ClassVar[slice]
    _UWB_HEADER_SLICE: ClassVar[slice]
    _UWB_PARAMS_SLICE: ClassVar[slice]
    _UWB_PAYLOAD_SLICE: ClassVar[slice]
    _UWB_FOOTER_SLICE: ClassVar[slice]
    _MESSAGE_TYPE_RANGING: ClassVar[int]
    header: Any
    sub_header: SubHeader
    uwb_header: UWBHeader
    uwb_params: UWBParams
    uwb_payload: Union[UWBRangingMessage, UWBRawMessage]
    uwb_footer: UWBFooter
    callback_handle: Optional[_Handler]
    def __init__(
        self, header: Any, bytes: Union[bytes, bytearray], callback: Optional[_Handler] = None
    ) -> None: ...
    def callback(self) -> None: ...
