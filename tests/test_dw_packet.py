"""QZDWPacket: cutting a whole frame into records, and callback()."""

import sys

import pytest

import frame_encoder as enc
import qz_packets
from qz_packets import QZDWPacket

REPORTS = [{"addr": 0x1234, "dist": 1000}, {"flags": 1, "addr": 0x5678, "dist": 7}]
RANGING = enc.frame(enc.ranging_message(REPORTS, flags=1),
                    uwb_header={"src_addr": 0x5678}, uwb_params={"type": 16},
                    footer={"fcs": 0xBEEF})
FRAME_68 = bytes.fromhex(
    "40515A4044574400 01" + "00" * 10 + "418805CDAB34127856" + "00" * 8 + "10"
    + "01000001" + "00" * 14 + "01" + "00341201020304 05E803" + "0000")


class Recorder:
    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "ignored"


def test_frame_of_68_bytes_reaches_the_handler():
    handler = Recorder()
    header = qz_packets.Header(FRAME_68[:9])
    packet = QZDWPacket(header, FRAME_68, callback=handler)
    assert packet.callback() is None
    (args, kwargs), = handler.calls
    assert kwargs == {} and args[:2] == (22136, True)
    assert [(r.addr, r.dist) for r in args[2]] == [(4660, 1000)]
    assert args[2] is packet.uwb_payload.reports and packet.header is header


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview])
def test_records_of_a_ranging_frame(wrap):
    packet = QZDWPacket("any header", wrap(RANGING))
    assert list(vars(packet)) == ["header", "sub_header", "uwb_header", "uwb_params",
                                  "uwb_payload", "uwb_footer", "callback_handle"]
    assert packet.header == "any header" and packet.callback_handle is None
    assert (packet.uwb_header.src_addr, packet.uwb_params.type) == (0x5678, 16)
    assert type(packet.uwb_payload) is qz_packets.UWBRangingMessage
    assert [r.dist for r in packet.uwb_payload.reports] == [1000, 7]
    assert packet.uwb_footer.fcs == 0xBEEF and len(packet.sub_header) == 10


def test_callback_repeats_with_the_same_list():
    handler = Recorder()
    packet = QZDWPacket(None, RANGING, handler)
    packet.callback()
    packet.callback()
    first, second = handler.calls
    assert first[0][2] is second[0][2] is packet.uwb_payload.reports
    assert first[0][:2] == (0x5678, True)


@pytest.mark.parametrize("kind", [0, 15, 17, 0x90, 255])
def test_only_type_16_is_ranging(kind):
    handler = Recorder()
    data = RANGING[:36] + bytes([kind]) + RANGING[37:]
    packet = QZDWPacket(None, data, handler)
    assert type(packet.uwb_payload) is qz_packets.UWBRawMessage
    assert packet.uwb_payload.message == RANGING[37:-2] and len(packet.uwb_payload) == 39
    assert packet.callback() is None and handler.calls == []


@pytest.mark.parametrize("size", [37, 38, 39])
def test_short_raw_frames_decode(size):
    data = enc.frame(footer={"fcs": 0x0201})[:size]
    packet = QZDWPacket(None, data)
    assert packet.uwb_payload.message == b"" and len(packet.uwb_payload) == 0
    assert packet.uwb_footer.fcs == int.from_bytes(data[-2:], "little")


@pytest.mark.assertions
@pytest.mark.parametrize("size, checked, optimised", [
    (18, AssertionError, IndexError),   # in SubHeader
    (27, AssertionError, IndexError),   # in UWBHeader (then UWBParams)
    (36, AssertionError, IndexError),   # in UWBParams
    (37, IndexError, IndexError),       # ranging messages under 19 bytes
    (38, IndexError, IndexError),
    (57, IndexError, IndexError),
    (len(RANGING) - 3, AssertionError, None),  # the second report is short
])
def test_truncated_ranging_frames(assertions_enabled, size, checked, optimised):
    data = RANGING[:size]
    data = data[:36] + b"\x10" + data[37:] if size > 36 else data
    expected = checked if assertions_enabled else optimised
    if expected is None:
        assert QZDWPacket(None, data).uwb_payload.reports[1].dist == 0
    else:
        with pytest.raises(expected):
            QZDWPacket(None, data)


def test_callback_without_handler():
    with pytest.raises(TypeError, match="'NoneType' object is not callable"):
        QZDWPacket(None, RANGING).callback()
    assert QZDWPacket(None, RANGING[:36] + b"\x00" + RANGING[37:]).callback() is None


def test_callback_reads_the_current_attributes():
    handler = Recorder()
    packet = QZDWPacket(None, RANGING[:36] + b"\x00" + RANGING[37:], handler)
    packet.uwb_params.type = 16
    packet.uwb_payload = qz_packets.UWBRangingMessage(enc.ranging_message())
    packet.callback()
    assert handler.calls == [((0x5678, False, []), {})]


def test_handler_errors_propagate():
    def failing(*args):
        raise RuntimeError("handler")

    with pytest.raises(RuntimeError, match="handler"):
        QZDWPacket(None, RANGING, failing).callback()


def test_no_record_keeps_the_frame():
    data = bytes(RANGING)
    before = sys.getrefcount(data)
    packet = QZDWPacket(None, data)
    assert sys.getrefcount(data) == before
    frame = bytearray(RANGING)
    packet = QZDWPacket(None, frame)
    frame[:] = b""  # resizable: no record holds an export of the buffer
    assert packet.uwb_payload.reports[1].dist == 7


@pytest.mark.assertions
def test_frame_resized_while_decoding_reads_the_current_bytes(assertions_enabled):
    """A hook may shrink a bytearray frame between two records: the cut of
    each record sees the frame as it is then, as slicing would."""
    frame = bytearray(RANGING)

    class Packet(QZDWPacket):
        def __setattr__(self, name, value):
            if name == "uwb_header":
                del frame[30:]
            super().__setattr__(name, value)

    # UWBParams gets frame bytes 28 and 29 only
    with pytest.raises(AssertionError if assertions_enabled else IndexError):
        Packet(None, frame)
    assert len(frame) == 30
