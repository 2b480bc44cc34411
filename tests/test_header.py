"""Header, SubHeader and BasePacket: the records before the UWB frame."""

import sys

import pytest

import frame_encoder as enc
from qz_packets import Header, SubHeader

DW = b"@QZ@DW\x27\x00\x01"


class Sequence(list):
    """len() and integer indexing only, as SubHeader requires."""

    __iter__ = __contains__ = None


class Shifted(bytes):
    """A bytes subclass whose items read one higher: decoding must go
    through its own protocol, not the buffer."""

    def __getitem__(self, key):
        item = bytes.__getitem__(self, key)
        return Shifted(item) if isinstance(item, bytes) else item + 1


@pytest.mark.parametrize("wrap", [bytes, bytearray])
@pytest.mark.parametrize("data, fields", [
    (DW, ("DW", 39, 1)),
    (b"@QZ@HB\x27\x00\x01", ("HB", 39, 1)),
    (b"@QZ@DW\x34\x12\x00", ("DW", 4660, 0)),
    (b"@QZ@DW\xff\xff\xff", ("DW", 65535, 255)),
])
def test_header_fields(wrap, data, fields):
    header = Header(wrap(data))
    assert (header.type, header.packet_len, header.version) == fields
    assert type(header.type) is str and len(header) == 9
    assert vars(header) == {"_len": 9, "type": fields[0],
                            "packet_len": fields[1], "version": fields[2]}


@pytest.mark.assertions
@pytest.mark.parametrize("data, optimised", [
    (DW[:8], IndexError),            # version missing
    (DW + b"\x00", ("DW", 39, 1)),   # the extra byte is ignored
    (b"xQZ@DW\x27\x00\x01", ("DW", 39, 1)),
    (b"@xZ@DW\x27\x00\x01", ("DW", 39, 1)),
    (b"@QZx" + DW[4:], ("DW", 39, 1)),
    (b"@QZ@XX\x27\x00\x01", ("XX", 39, 1)),
    (b"\xffQZ@DW\x27\x00\x01", ("DW", 39, 1)),
    (DW[:7], IndexError),
    (DW[:6], IndexError),
])
def test_header_checks_are_assertions(assertions_enabled, data, optimised):
    if assertions_enabled:
        expected = UnicodeDecodeError if data[0] == 0xFF else AssertionError
        with pytest.raises(expected) as error:
            Header(data)
        if expected is AssertionError:
            assert error.value.args == ()
    elif optimised is IndexError:
        with pytest.raises(IndexError):
            Header(data)
    else:
        header = Header(data)
        assert (header.type, header.packet_len, header.version) == optimised


@pytest.mark.parametrize("data", [b"@QZ@\xc4W\x27\x00\x01", b"@QZ@D\x80\x00\x00\x00"])
def test_non_ascii_type_fails_in_every_mode(data):
    with pytest.raises(UnicodeDecodeError) as error:
        Header(data)
    with pytest.raises(UnicodeDecodeError) as expected:
        data[4:6].decode("ascii")
    assert error.value.args == expected.value.args


@pytest.mark.parametrize("data, error, message", [
    (DW.decode("ascii"), AttributeError, "^'str' object has no attribute 'decode'$"),
    (memoryview(DW), AttributeError, "^'memoryview' object has no attribute 'decode'$"),
    # the length check comes first; under -O, which skips it, the slicing
    (5, TypeError, "^'int' object is not subscriptable$" if sys.flags.optimize
     else r"^object of type 'int' has no len\(\)$"),
])
def test_header_needs_slices_with_decode(data, error, message):
    with pytest.raises(error, match=message):
        Header(data)


def test_bytes_subclass_is_decoded_through_its_protocol():
    header = Header(Shifted(b"@QZ@DW\x27\x00\x01"))
    assert (header.type, header.packet_len, header.version) == ("DW", 39, 2)
    assert SubHeader(Shifted(bytes(10))).ts8 == 1


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, list, Sequence])
def test_sub_header_fields(wrap):
    sub = SubHeader(wrap(enc.record(enc.SUB_HEADER, {"scramble": 0, "rssi": 0xFF,
                                                     "ts8": 9})))
    assert [getattr(sub, name) for name in enc.fields_of(enc.SUB_HEADER)] == \
        [0, 255, 0, 0, 0, 0, 0, 0, 0, 9]
    assert len(sub) == 10 and list(vars(sub)) == ["_len"] + enc.fields_of(enc.SUB_HEADER)


@pytest.mark.assertions
@pytest.mark.parametrize("size", [9, 11])
def test_sub_header_length(assertions_enabled, size):
    if assertions_enabled:
        with pytest.raises(AssertionError):
            SubHeader(bytes(size))
    elif size == 9:
        with pytest.raises(IndexError):
            SubHeader(bytes(size))
    else:
        assert len(SubHeader(bytes(range(size)))) == 10
