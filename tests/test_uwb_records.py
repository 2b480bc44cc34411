"""UWBHeader, UWBParams and UWBFooter: the fixed-size UWB records."""

import pytest

from qz_packets import UWBFooter, UWBHeader, UWBParams

WRAPPERS = [bytes, bytearray, memoryview, list]


def fields(record):
    return {name: value for name, value in vars(record).items() if name != "_len"}


@pytest.mark.parametrize("wrap", WRAPPERS)
@pytest.mark.parametrize("cls, hex_bytes, expected", [
    (UWBHeader, "00" * 9, dict(frm_ctrl=0, seq_num=0, panid=0, dst_addr=0, src_addr=0)),
    (UWBHeader, "418805CDAB34127856",
     dict(frm_ctrl=0x8841, seq_num=5, panid=0xABCD, dst_addr=0x1234, src_addr=0x5678)),
    (UWBParams, "00" * 9,
     dict(slot=0, frame=0, db=0, msg_cnt=0, rf_profile=0, type=0)),
    (UWBParams, "0102040302 01C83A10",
     dict(slot=513, frame=16909060, db=200, msg_cnt=10, rf_profile=3, type=16)),
    (UWBParams, "000000000000 00FF90",
     dict(slot=0, frame=0, db=0, msg_cnt=15, rf_profile=15, type=0x90)),
    (UWBFooter, "3412", dict(fcs=4660)),
    (UWBFooter, "FFFF", dict(fcs=65535)),
])
def test_fields(wrap, cls, hex_bytes, expected):
    data = bytes.fromhex(hex_bytes)
    record = cls(bytes=wrap(data))
    assert fields(record) == expected  # in layout order
    assert list(fields(record)) == list(expected)
    assert len(record) == len(data)


@pytest.mark.assertions
@pytest.mark.parametrize("cls, size, optimised", [
    (UWBHeader, 8, dict(src_addr=0x78)),             # a shorter number
    (UWBHeader, 10, dict(src_addr=0xAA5678)),        # absorbs the rest
    (UWBParams, 8, IndexError),                      # type is missing
    (UWBParams, 10, dict(type=16)),                  # byte 9 is ignored
    (UWBFooter, 1, dict(fcs=0x34)),
    (UWBFooter, 3, dict(fcs=0xAA1234)),
    (UWBHeader, 0, IndexError),
])
def test_length_is_asserted(assertions_enabled, cls, size, optimised):
    full = {UWBHeader: "418805CDAB34127856", UWBParams: "0102040302 01C83A10",
            UWBFooter: "3412"}[cls]
    data = (bytes.fromhex(full) + b"\xaa")[:size]
    if assertions_enabled:
        with pytest.raises(AssertionError) as error:
            cls(data)
        assert error.value.args == ()
    elif optimised is IndexError:
        with pytest.raises(IndexError):
            cls(data)
    else:  # _len is still the constant
        record = cls(data)
        assert {name: getattr(record, name) for name in optimised} == optimised
        assert len(record) == (2 if cls is UWBFooter else 9)


def test_wide_absorbing_field_under_shortened_check():
    """src_addr takes every byte to the end: beyond 64 bits too."""
    class Long(UWBHeader):
        UWB_HEADER_LENGTH = 20

    data = bytes(7) + bytes(range(1, 14))
    assert Long(data).src_addr == int.from_bytes(data[7:], "little")
    assert Long(bytearray(data)).src_addr == Long(list(data)).src_addr


class Items:
    """len() and integer indexing only: no slices."""

    def __init__(self, data):
        self.data = data

    def __len__(self):
        return len(self.data)

    def __getitem__(self, index):
        if not isinstance(index, int):
            raise TypeError("integer indices only")
        return self.data[index]


def test_footer_converts_the_whole_input_unsliced():
    assert UWBFooter(Items(b"\x34\x12")).fcs == 0x1234
    with pytest.raises(TypeError, match="integer indices only"):
        UWBHeader(Items(bytes(9)))
