"""Calls of the module's classes: whether a call takes the short way past
type.__call__ (the class as created) or the default one (a subclass, a
replaced __init__ or __new__), it has the same results and raises the same
errors with the same messages."""
import gc
import sys

import pytest

import frame_encoder as enc
import qz_packets
from conftest import run_python

FRAME = enc.frame(enc.ranging_message([{"addr": 0x1234, "dist": 1000}], flags=1),
                  uwb_params={"type": 16})
HEADER = FRAME[:9]


def no_op(*args):
    pass


def subclass(cls):
    """A subclass that changes nothing: always called the default way."""
    return type("Sub" + cls.__name__, (cls,), {})


def outcome(call):
    try:
        result = call()
    except Exception as error:  # noqa: BLE001 - compared, not handled
        return type(error), str(error)
    return type(result).__mro__[-2].__name__, sorted(vars(result))


CALLS = [
    ("Header", (HEADER,), {}),
    ("Header", (), {"bytes": HEADER}),
    ("Header", (), {}),
    ("Header", (HEADER, HEADER), {}),
    ("Header", (HEADER,), {"bytes": HEADER}),
    ("Header", (), {"data": HEADER}),
    ("Header", (b"@QZ@XX\x00\x00\x00",), {}),
    ("Header", (3,), {}),
    ("QZDWPacket", (None, FRAME), {"callback": no_op}),
    ("QZDWPacket", (), {"header": None, "bytes": FRAME, "callback": no_op}),
    ("QZDWPacket", (None, FRAME, no_op), {}),
    ("QZDWPacket", (None, FRAME, no_op, 1), {}),
    ("QZDWPacket", (None, FRAME, no_op), {"x": 1, "y": 2}),
    ("QZDWPacket", (None,), {}),
    ("QZDWPacket", (None, FRAME[:20]), {}),
    ("UWBFooter", (b"\x34\x12",), {}),
    ("BasePacket", (7,), {}),
    ("BasePacket", (), {"length": 7, "other": 1}),
]


@pytest.mark.parametrize("name, args, kwargs", CALLS)
def test_same_outcome_as_the_default_call(name, args, kwargs):
    cls = getattr(qz_packets, name)
    got = outcome(lambda: cls(*args, **kwargs))
    assert got == outcome(lambda: subclass(cls)(*args, **kwargs))
    if not isinstance(got[0], str):  # an error: its message names the function
        assert "Sub" not in got[1]


def test_results_are_instances_of_the_class_called():
    packet = qz_packets.QZDWPacket(qz_packets.Header(HEADER), FRAME, callback=no_op)
    assert type(packet) is qz_packets.QZDWPacket
    assert type(packet.header) is qz_packets.Header
    assert packet.header.packet_len == int.from_bytes(HEADER[6:8], "little")
    assert packet.callback_handle is no_op


@pytest.mark.parametrize("name, args", [("Header", (HEADER,)), ("QZDWPacket", (None, FRAME))])
def test_a_replaced_initialiser_runs_and_the_original_comes_back(name, args):
    cls = getattr(qz_packets, name)
    original = vars(cls)["__init__"]
    calls = []
    try:
        cls.__init__ = lambda self, *given: calls.append(given)
        assert not vars(cls(*args)) and calls == [args]
    finally:
        cls.__init__ = original
    assert vars(cls(*args))


def test_a_replaced_new_runs():
    # in a fresh interpreter: once replaced, object's __new__ cannot be put back
    done = run_python("""
        import qz_packets
        made = []
        def new(klass, *args):
            made.append(args)
            return object.__new__(klass) if args[0] else "not a header"
        qz_packets.Header.__new__ = new
        header = qz_packets.Header(b"@QZ@DW\\x09\\x00\\x07")
        print(type(header).__name__, header.version, made)
        print(qz_packets.Header(b""))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "Header 7 [(b'@QZ@DW\\t\\x00\\x07',)]", "not a header"]


def test_subclass_initialiser_runs():
    class Tagged(qz_packets.Header):
        def __init__(self, data):
            super().__init__(data)
            self.tagged = True

    header = Tagged(HEADER)
    assert header.tagged and header.type == "DW"


@pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="needs reference counts")
@pytest.mark.parametrize("call", [
    lambda: qz_packets.Header(HEADER),
    lambda: qz_packets.QZDWPacket(None, FRAME, callback=no_op),
    lambda: qz_packets.QZDWPacket(None, FRAME, no_op, 1),
    lambda: qz_packets.Header(),
])
def test_calls_keep_no_reference(call):
    def run():
        try:
            call()
        except TypeError:
            pass

    for _ in range(10):
        run()
    gc.collect()
    before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    counts = [sys.getrefcount(obj) for obj in (HEADER, FRAME, no_op, qz_packets.Header)]
    for _ in range(100):
        run()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in (HEADER, FRAME, no_op, qz_packets.Header)] == counts
    if before is not None:
        assert sys.gettotalrefcount() - before < 50
