"""qz_host.frames: encoders that qz_packets decodes back to the same fields."""

import dataclasses

import pytest
from hypothesis import given
from hypothesis import strategies as st

import qz_packets
from qz_host import frames


def uint(bits):
    return st.integers(0, (1 << bits) - 1)


def records(cls, **fields):
    return st.builds(cls, **fields)


def field_values(record):
    return {f.name: getattr(record, f.name) for f in dataclasses.fields(record)}


def decoded_values(decoded, names):
    return {name: getattr(decoded, name) for name in names}


FIXED_RECORDS = {
    "Header": (records(frames.Header, type=st.sampled_from(["DW", "HB"]),
                       packet_len=uint(16), version=uint(8)), 9),
    "SubHeader": (records(frames.SubHeader, **{
        name: uint(8) for name in ("scramble", "rssi", "ts1", "ts2", "ts3", "ts4", "ts5", "ts6",
                                   "ts7", "ts8")}), 10),
    "UWBHeader": (records(frames.UWBHeader, frm_ctrl=uint(16), seq_num=uint(8), panid=uint(16),
                          dst_addr=uint(16), src_addr=uint(16)), 9),
    "UWBParams": (records(frames.UWBParams, slot=uint(16), frame=uint(32), db=uint(8),
                          msg_cnt=uint(4), rf_profile=uint(4), type=uint(8)), 9),
    "UWBFooter": (records(frames.UWBFooter, fcs=uint(16)), 2),
    "UWBRangingReport": (records(frames.UWBRangingReport, addr=uint(16), dist=uint(16),
                                 ts=uint(40), flags=uint(8)), 10),
}


@pytest.mark.parametrize("name", sorted(FIXED_RECORDS))
def test_fixed_records_round_trip(name):
    strategy, length = FIXED_RECORDS[name]

    @given(strategy)
    def check(record):
        data = record.encode()
        assert len(data) == length
        decoded = getattr(qz_packets, name)(data)
        values = field_values(record)
        assert decoded_values(decoded, values) == values
        assert len(decoded) == length

    check()


reports = st.lists(FIXED_RECORDS["UWBRangingReport"][0], max_size=12)
ranging_messages = records(frames.UWBRangingMessage, reports=reports, flags=uint(8),
                           version=uint(8), len=st.none() | uint(16), slotnr=uint(8),
                           tx_ts=uint(40), task_cnt=uint(16), task_q_cnt=uint(16),
                           midist2=uint(8), comp_id=uint(16), sets=uint(8))


def assert_message_matches(decoded, message):
    values = field_values(message)
    reports = values.pop("reports")
    if values["len"] is None:
        values["len"] = 19 + 10 * len(reports)
    assert decoded_values(decoded, values) == values
    assert decoded.cnt == message.cnt == len(reports)
    assert [field_values(r) for r in reports] == [
        decoded_values(d, field_values(r)) for d, r in zip(decoded.reports, reports)]
    assert decoded.is_anchor() is message.is_anchor()


@given(ranging_messages)
def test_ranging_message_round_trip(message):
    data = message.encode()
    assert len(data) == 19 + 10 * message.cnt
    assert_message_matches(qz_packets.UWBRangingMessage(data), message)


@given(st.binary(max_size=64))
def test_raw_message_round_trip(payload):
    decoded = qz_packets.UWBRawMessage(frames.UWBRawMessage(payload).encode())
    assert decoded.message == payload
    assert len(decoded) == len(payload)


dw_frames = st.builds(
    frames.DWFrame,
    uwb_header=FIXED_RECORDS["UWBHeader"][0],
    payload=ranging_messages,
    uwb_params=records(frames.UWBParams, slot=uint(16), frame=uint(32), db=uint(8),
                       msg_cnt=uint(4), rf_profile=uint(4), type=st.just(16)),
    sub_header=FIXED_RECORDS["SubHeader"][0],
    version=uint(8),
    fcs=st.none() | uint(16),
) | st.builds(
    frames.DWFrame,
    uwb_header=FIXED_RECORDS["UWBHeader"][0],
    payload=st.builds(frames.UWBRawMessage, st.binary(max_size=40)),
    uwb_params=records(frames.UWBParams, type=uint(8).filter(lambda t: t != 16)),
)


@given(dw_frames)
def test_dw_frame_round_trip(frame):
    data = frame.encode()
    header = qz_packets.Header(data[:9])
    assert (header.type, header.packet_len, header.version) == ("DW", len(data), frame.version)
    calls = []
    packet = qz_packets.QZDWPacket(header, data, callback=lambda *args: calls.append(args))
    for name in ("sub_header", "uwb_header", "uwb_params"):
        record = getattr(frame, name)
        assert decoded_values(getattr(packet, name), field_values(record)) == field_values(record)
    expected_fcs = frames.fcs(data[19:-2]) if frame.fcs is None else frame.fcs
    assert packet.uwb_footer.fcs == expected_fcs
    packet.callback()
    if isinstance(frame.payload, frames.UWBRangingMessage):
        assert_message_matches(packet.uwb_payload, frame.payload)
        assert calls == [(frame.uwb_header.src_addr, frame.payload.is_anchor(),
                          packet.uwb_payload.reports)]
    else:
        assert bytes(packet.uwb_payload.message) == frame.payload.message
        assert calls == []


def test_hb_frame_header():
    data = frames.HBFrame(b"\x01\x02\x03", version=7).encode()
    header = qz_packets.Header(data[:9])
    assert (header.type, header.packet_len, header.version) == ("HB", 12, 7)
    assert data[9:] == b"\x01\x02\x03"


# Byte layouts written out by hand, independent of the decoder.
@pytest.mark.parametrize("record, hex_bytes", [
    (frames.Header("DW", 39, 1), "40515a40445727 0001"),
    (frames.UWBHeader(0x8841, 5, 0xABCD, 0x1234, 0x5678), "418805CDAB34127856"),
    (frames.UWBParams(513, 16909060, 200, 10, 3, 16), "010204030201C83A10"),
    (frames.UWBRangingReport(addr=4660, dist=1000, ts=21542142465), "0034120102030405E803"),
    (frames.UWBRangingMessage(
        (frames.UWBRangingReport(addr=4660, dist=1000, ts=21542142465),), flags=1, slotnr=7,
        tx_ts=21542142465, task_cnt=10, task_q_cnt=11, midist2=2, comp_id=4660, sets=3),
     "011D000107 0102030405 0A00 0B00 02 3412 03 01 0034120102030405E803"),
    (frames.UWBFooter(0x1234), "3412"),
    (frames.SubHeader(*range(10)), "00010203040506070809"),
])
def test_layout(record, hex_bytes):
    assert record.encode() == bytes.fromhex(hex_bytes.replace(" ", ""))


def test_ranging_frame_layout():
    # A whole frame: header, zero sub-header, MAC header, radio parameters
    # (type 16), a one-report anchor message and the checksum footer.
    report = frames.UWBRangingReport(addr=0x1234, dist=1000)
    data = frames.DWFrame(frames.UWBHeader(0x8841, 5, 0xABCD, 0x1234, 0x5678),
                          frames.UWBRangingMessage((report,), flags=1, version=1, len=0)).encode()
    assert len(data) == 68
    assert data[:9] == b"@QZ@DW" + bytes([68, 0, 1])
    assert data[9:19] == bytes(10)
    assert data[28:37] == bytes(8) + b"\x10"
    assert data[37:41] == bytes([1, 0, 0, 1]) and data[55] == 1
    assert data[-2:] == frames.fcs(data[19:-2]).to_bytes(2, "little")


@pytest.mark.parametrize("function, check", [(frames.fcs, 0x2189), (frames.fcs_ccitt, 0x31C3)])
def test_checksum_check_values(function, check):
    assert function(b"123456789") == check
    assert function(bytearray(b"123456789")) == check


def test_fcs_of_an_802_15_4_frame_as_sent_on_the_air():
    uwb = bytes.fromhex("41 88 10 11 0d ff ff 01 0a 0a 00 00 00 00 00 00 4a 10")
    assert frames.fcs(uwb).to_bytes(2, "little") == bytes.fromhex("ab cf")
    assert frames.fcs_ccitt(uwb).to_bytes(2, "little") == bytes.fromhex("4f a9")


def test_fcs_matches_a_bitwise_reflected_crc():
    def reflected_crc(data):
        crc = 0
        for byte in data:
            crc ^= byte
            for _ in range(8):
                crc = crc >> 1 ^ 0x8408 if crc & 1 else crc >> 1
        return crc

    samples = [b"", b"\x00", b"\xff", bytes(range(256)), b"\x80" * 7]
    assert [frames.fcs(s) for s in samples] == [reflected_crc(s) for s in samples]


def test_checksums_by_name():
    assert frames.checksum("ieee-802.15.4") is frames.fcs
    assert frames.checksum("crc-ccitt") is frames.fcs_ccitt
    with pytest.raises(
        ValueError, match="unknown checksum 'crc-32' \\(known: ieee-802.15.4, crc-ccitt\\)"
    ):
        frames.checksum("crc-32")


@pytest.mark.parametrize(
    "make, field",
    [
        (lambda: frames.Header(packet_len=1 << 16), "packet_len"),
        (lambda: frames.Header(version=256), "version"),
        (lambda: frames.SubHeader(rssi=-1), "rssi"),
        (lambda: frames.SubHeader(ts8=256), "ts8"),
        (lambda: frames.UWBHeader(src_addr=0x10000), "src_addr"),
        (lambda: frames.UWBHeader(seq_num=256), "seq_num"),
        (lambda: frames.UWBParams(frame=1 << 32), "frame"),
        (lambda: frames.UWBParams(msg_cnt=16), "msg_cnt"),
        (lambda: frames.UWBParams(rf_profile=16), "rf_profile"),
        (lambda: frames.UWBFooter(fcs=-1), "fcs"),
        (lambda: frames.UWBRangingReport(ts=1 << 40), "ts"),
        (lambda: frames.UWBRangingReport(dist=70000), "dist"),
        (lambda: frames.UWBRangingMessage(tx_ts=1 << 40), "tx_ts"),
        (lambda: frames.UWBRangingMessage(len=1 << 16), "len"),
        (
            lambda: frames.DWFrame(frames.UWBHeader(), frames.UWBRangingMessage(), version=300),
            "version",
        ),
    ],
)
def test_out_of_range_field(make, field):
    with pytest.raises(ValueError, match=rf"\.{field} = -?\d+ does not fit"):
        make()


@pytest.mark.parametrize("make, message", [
    (lambda: frames.Header(type="D"), "two ASCII characters"),
    (lambda: frames.Header(type="DWX"), "two ASCII characters"),
    (lambda: frames.Header(type="D\u00e9"), "two ASCII characters"),
    (lambda: frames.UWBRangingMessage((frames.UWBRangingReport(),) * 256), "at most 255"),
    (lambda: frames.DWFrame(frames.UWBHeader(), frames.UWBRawMessage(b"x")), "does not match"),
    (lambda: frames.DWFrame(frames.UWBHeader(), frames.UWBRangingMessage(),
                            frames.UWBParams(type=0)), "does not match"),
    (lambda: frames.HBFrame(bytes(65530)), "packet_len limit"),
])
def test_invalid_record(make, message):
    with pytest.raises(ValueError, match=message):
        make()


def test_oversized_frame():
    many = frames.UWBRangingMessage((frames.UWBRangingReport(),) * 255)
    frame = frames.DWFrame(frames.UWBHeader(), frames.UWBRawMessage(bytes(65500)),
                           frames.UWBParams(type=0))
    assert len(frames.DWFrame(frames.UWBHeader(), many).encode()) == 39 + 19 + 2550
    with pytest.raises(ValueError, match="exceeds"):
        frame.encode()


@pytest.mark.parametrize("make, message", [
    (lambda: frames.UWBHeader(src_addr=1.0), "UWBHeader.src_addr must be an int, not float"),
    (lambda: frames.UWBRangingReport(dist=True), "UWBRangingReport.dist must be an int, not bool"),
    (lambda: frames.Header(type=b"DW"), "Header.type must be a str, not bytes"),
    (lambda: frames.UWBRangingMessage(reports=(b"0" * 10,)),
     "UWBRangingMessage.reports must hold UWBRangingReport records, not bytes"),
    (lambda: frames.UWBRawMessage("text"), "UWBRawMessage.message must be bytes, not str"),
])
def test_wrong_type(make, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        make()


@pytest.mark.parametrize("record, unpacked, computed", [
    (frames.Header, {"type"}, set()), (frames.SubHeader, set(), set()),
    (frames.UWBHeader, set(), set()), (frames.UWBParams, set(), set()),
    (frames.UWBFooter, set(), set()), (frames.UWBRangingReport, set(), set()),
    (frames.UWBRangingMessage, {"reports"}, {"cnt"}),
])
def test_record_fields_follow_the_layout(record, unpacked, computed):
    own = {f.name for f in dataclasses.fields(record)} - unpacked
    assert own | computed == {name for name, _ in record._LAYOUT}


def test_offsets_the_frame_checks_read():
    # Positions in a DW frame, counted by hand from the byte layout.
    assert (frames.HEADER_LENGTH, frames.UWB_OFFSET, frames.PAYLOAD_OFFSET,
            frames.MIN_DW_FRAME_LENGTH) == (9, 19, 37, 39)
    assert (frames.PACKET_LEN_OFFSET, frames.SRC_ADDR_OFFSET, frames.MESSAGE_TYPE_OFFSET,
            frames.RANGING_FLAGS_OFFSET, frames.RANGING_COUNT_OFFSET) == (6, 26, 36, 40, 55)
    with pytest.raises(KeyError, match="^'nonesuch'$"):
        frames.field_offset(frames.UWB_HEADER_LAYOUT, "nonesuch")
