"""UWBRangingMessage with its UWBRangingReports, and UWBRawMessage."""

import pytest

import frame_encoder as enc
from qz_packets import UWBRangingMessage, UWBRangingReport, UWBRawMessage

MESSAGE_29 = bytes.fromhex("011D0001070102030405 0A000B00 02 3412 03 01"
                           "00341201020304 05E803")
REPORT = bytes.fromhex("00 3412 0102030405 E803")
WRAPPERS = [bytes, bytearray, memoryview, list]


def report_fields(report):
    return (report.flags, report.addr, report.ts, report.dist)


@pytest.mark.parametrize("wrap", WRAPPERS)
def test_message_of_29_bytes(wrap):
    message = UWBRangingMessage(bytes=wrap(MESSAGE_29))
    assert vars(message) == dict(
        version=1, len=29, flags=1, slotnr=7, tx_ts=21542142465, task_cnt=10,
        task_q_cnt=11, midist2=2, comp_id=4660, sets=3, cnt=1,
        reports=message.reports)
    assert message.is_anchor() is True
    assert [report_fields(r) for r in message.reports] == [(0, 4660, 21542142465, 1000)]
    assert type(message.reports[0]) is UWBRangingReport and len(message.reports[0]) == 10


@pytest.mark.parametrize("size, count", [(19, 0), (39, 2), (40, 2), (2569, 255)])
def test_reports_follow_the_header(size, count):
    reports = [{"flags": i % 256, "addr": i, "ts": 2**40 - 1 - i, "dist": 7 * i}
               for i in range(count)]
    data = (enc.ranging_message(reports, len=0) + b"\xee")[:size]
    message = UWBRangingMessage(data)
    assert message.cnt == count and message.len == 0
    assert [report_fields(r) for r in message.reports] == \
        [tuple(r.values()) for r in reports]


@pytest.mark.assertions
@pytest.mark.parametrize("size, optimised", [
    (38, (0, 0, 0, 2)), (30, (0, 0, 0, 0)), (29, IndexError)])
def test_more_reports_announced_than_present(assertions_enabled, size, optimised):
    data = enc.ranging_message([{"dist": 1}, {"dist": 2}])[:size]
    if assertions_enabled:
        with pytest.raises(AssertionError):
            UWBRangingMessage(data)
    elif optimised is IndexError:  # an empty report fails at flags
        with pytest.raises(IndexError):
            UWBRangingMessage(data)
    else:  # a short report decodes into shorter numbers
        assert report_fields(UWBRangingMessage(data).reports[1]) == optimised


@pytest.mark.parametrize("size", [0, 3, 4, 14, 17, 18])
def test_short_header_fails_at_the_first_missing_byte(size):
    with pytest.raises(IndexError):
        UWBRangingMessage(MESSAGE_29[:size])


def test_fields_before_the_missing_byte_are_set():
    seen = {}

    class Message(UWBRangingMessage):
        def __setattr__(self, name, value):
            seen[name] = value
            super().__setattr__(name, value)

    with pytest.raises(IndexError):  # at midist2, byte 14
        Message(MESSAGE_29[:8])
    assert seen == dict(version=1, len=29, flags=1, slotnr=7, tx_ts=0x030201,
                        task_cnt=0, task_q_cnt=0)


@pytest.mark.parametrize("flags, anchor", [(0x01, True), (0xFF, True),
                                           (0x00, False), (0xFE, False)])
def test_is_anchor(flags, anchor):
    assert UWBRangingMessage(enc.ranging_message(flags=flags)).is_anchor() is anchor


def test_is_anchor_reads_its_constant_through_the_instance():
    class Message(UWBRangingMessage):
        FLAG_ANCHOR = 2

    assert Message(enc.ranging_message(flags=3)).is_anchor() is True
    assert Message(enc.ranging_message(flags=1)).is_anchor() is False


@pytest.mark.parametrize("ts, expected", [(bytes([1, 2, 3, 4, 5]), 21542142465),
                                          (b"\xff" * 5, 2**40 - 1)])
def test_forty_bit_timestamps(ts, expected):
    data = MESSAGE_29[:5] + ts + MESSAGE_29[10:]
    assert UWBRangingMessage(data).tx_ts == expected
    assert UWBRangingReport(REPORT[:3] + ts + REPORT[8:]).ts == expected


@pytest.mark.assertions
@pytest.mark.parametrize("size, optimised", [
    (0, IndexError), (1, (0, 0, 0, 0)), (4, (0, 4660, 1, 0)),
    (9, (0, 4660, 21542142465, 0xE8)), (11, (0, 4660, 21542142465, 0xAA03E8)),
])
def test_report_length(assertions_enabled, size, optimised):
    data = (REPORT + b"\xaa")[:size]
    if assertions_enabled:
        with pytest.raises(AssertionError) as error:
            UWBRangingReport(data)
        assert error.value.args == ()
    elif optimised is IndexError:
        with pytest.raises(IndexError):
            UWBRangingReport(data)
    else:
        assert report_fields(UWBRangingReport(data)) == optimised


@pytest.mark.parametrize("payload", [b"", b"\x01\x02\x03\x04\x05", bytearray(3),
                                     memoryview(b"ab"), [1, 2], "text"])
def test_raw_message_keeps_its_payload(payload):
    raw = UWBRawMessage(payload)
    assert raw.message is payload and len(raw) == len(payload)


def test_raw_message_needs_a_length():
    with pytest.raises(TypeError, match="has no len"):
        UWBRawMessage(5)
