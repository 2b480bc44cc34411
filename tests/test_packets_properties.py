"""Properties over many frames: valid frames round-trip through the
decoder, and arbitrary frames fail only with the standard exceptions, the
same ones at the same step as the classes written in plain Python
(reference/plain_python_packets.py) in this interpreter mode."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import frame_encoder as enc
import qz_packets

from reference import plain_python_packets as plain

WRAPPERS = [bytes, bytearray, memoryview]


def uint(width):
    return st.integers(0, 2 ** (8 * width) - 1)


def values(layout):
    fields = {name: uint(width) for name, width in layout if name != "nibbles"}
    if layout is enc.UWB_PARAMS:
        fields.update(msg_cnt=uint(1).map(lambda v: v & 15),
                      rf_profile=uint(1).map(lambda v: v & 15))
    return st.fixed_dictionaries(fields)


@st.composite
def frames(draw):
    """(frame bytes, the values it was built from, the payload fields)."""
    params = draw(values(enc.UWB_PARAMS))
    if draw(st.booleans()):
        params["type"] = 16
        reports = draw(st.lists(values(enc.REPORT), max_size=6))
        message = draw(values(enc.MESSAGE_HEADER))
        message["cnt"] = len(reports)
        payload = enc.ranging_message(reports, **message) + draw(st.binary(max_size=3))
        expected = dict(message, reports=reports)
    else:
        params["type"] = draw(uint(1).filter(lambda v: v != 16))
        payload = draw(st.binary(max_size=40))
        expected = {"message": payload}
    parts = dict(sub_header=draw(values(enc.SUB_HEADER)),
                 uwb_header=draw(values(enc.UWB_HEADER)), uwb_params=params,
                 footer=draw(values(enc.FOOTER)))
    header = dict(type=draw(st.sampled_from(["DW", "HB"])),
                  packet_len=draw(uint(2)), version=draw(uint(1)))
    return enc.frame(payload, **parts, **header), dict(parts, header=header), expected


def attributes(obj, layout):
    return {name: getattr(obj, name) for name in enc.fields_of(layout)}


@settings(max_examples=300, deadline=None)
@given(frames(), st.sampled_from(WRAPPERS))
def test_valid_frames_round_trip(built, wrap):
    data, parts, payload = built
    received = []
    header = qz_packets.Header(wrap(data[:9]) if wrap is not memoryview else data[:9])
    packet = qz_packets.QZDWPacket(header, wrap(data),
                                   lambda *args: received.append(args))
    packet.callback()
    assert vars(header) == dict(parts["header"], _len=9)
    for name, layout in [("sub_header", enc.SUB_HEADER), ("uwb_header", enc.UWB_HEADER),
                         ("uwb_params", enc.UWB_PARAMS), ("uwb_footer", enc.FOOTER)]:
        key = "footer" if name == "uwb_footer" else name
        assert attributes(getattr(packet, name), layout) == parts[key]
    body = packet.uwb_payload
    if "message" in payload:
        assert bytes(body.message) == payload["message"] and received == []
    else:
        assert attributes(body, enc.MESSAGE_HEADER) == \
            {k: v for k, v in payload.items() if k != "reports"}
        assert [attributes(r, enc.REPORT) for r in body.reports] == payload["reports"]
        assert received == [(parts["uwb_header"]["src_addr"],
                             payload["flags"] & 1 == 1, body.reports)]


def snapshot(obj):
    """Plain data of a decoded record tree, for comparing two decoders."""
    if isinstance(obj, list):
        return [snapshot(item) for item in obj]
    if type(obj).__name__ in plain.__dict__:
        return type(obj).__name__, {k: snapshot(v) for k, v in vars(obj).items()}
    if isinstance(obj, memoryview):
        return "memoryview", obj.tobytes()
    return type(obj).__name__, obj


def outcome(module, name, data):
    try:
        cls = getattr(module, name)
        return snapshot(cls(None, data) if name == "QZDWPacket" else cls(data))
    except (AssertionError, IndexError, UnicodeDecodeError) as error:
        return type(error).__name__, error.args


def mutated(rng):
    """A valid frame, then cut, extended or with random bytes changed."""
    reports = [{"addr": rng.randrange(65536), "dist": rng.randrange(65536)}
               for _ in range(rng.randrange(5))]
    data = bytearray(enc.frame(enc.ranging_message(reports),
                               uwb_params={"type": rng.choice([16, 16, 0, 17])}))
    for _ in range(rng.randrange(4)):
        action = rng.randrange(3)
        if action == 0:
            del data[rng.randrange(len(data) + 1):]
        elif action == 1:
            data += bytes(rng.randrange(256) for _ in range(rng.randrange(12)))
        elif data:
            data[rng.randrange(len(data))] = rng.randrange(256)
    return bytes(data)


@pytest.mark.parametrize("seed", range(3))
def test_arbitrary_frames_fail_as_the_plain_classes_do(seed):
    rng = random.Random(seed)
    names = ["QZDWPacket", "Header", "SubHeader", "UWBHeader", "UWBParams",
             "UWBFooter", "UWBRangingReport", "UWBRangingMessage", "UWBRawMessage"]
    for _ in range(10000):
        data = mutated(rng)
        name = rng.choice(names)
        if name != "QZDWPacket":
            start = rng.randrange(len(data) + 1)
            data = data[start:start + rng.randrange(22)]
        wrap = rng.choice(WRAPPERS[:2] if name == "Header" else WRAPPERS)
        assert outcome(qz_packets, name, wrap(data)) == outcome(plain, name, wrap(data)), \
            (name, wrap, data.hex())
