"""qz_packets as a whole: its names, its ordinary classes, the argument
errors of every callable, and the module globals looked up at call time."""

import pytest

import frame_encoder as enc
import qz_packets
from conftest import run_python

NAMES = ["TYPE_DW", "TYPE_HB", "BasePacket", "Header", "SubHeader",
         "UWBHeader", "UWBParams", "UWBRawMessage", "UWBRangingReport",
         "UWBRangingMessage", "UWBFooter", "QZDWPacket"]
RECORDS = ["Header", "SubHeader", "UWBHeader", "UWBParams", "UWBRawMessage",
           "UWBRangingReport", "UWBRangingMessage", "UWBFooter"]
CONSTANTS = {
    "Header": {"HEADER_LENGTH": 9},
    "SubHeader": {"SUB_HEADER_LENGTH": 10},
    "UWBHeader": {"UWB_HEADER_LENGTH": 9},
    "UWBParams": {"UWB_PARAMS_LENGTH": 9},
    "UWBRangingReport": {"RANGING_REPORT_LENGTH": 10},
    "UWBRangingMessage": {"RANGING_MESSAGE_HEADER_LENGTH": 19, "FLAG_ANCHOR": 1},
    "UWBFooter": {"UWB_FOOTER_LENGTH": 2},
    "QZDWPacket": {"_MESSAGE_TYPE_RANGING": 16},
}
METHODS = {"BasePacket": {"__init__", "__len__"},
           "UWBRangingMessage": {"__init__", "is_anchor"},
           "QZDWPacket": {"__init__", "callback"}}
MESSAGE = enc.ranging_message([{"addr": 0x1234, "dist": 1000}], flags=1)
FRAME = enc.frame(MESSAGE, uwb_params={"type": 16},
                  uwb_header={"src_addr": 0x5678})


def test_module_binds_exactly_the_twelve_names_in_order():
    public = [name for name in vars(qz_packets) if not name.startswith("__")]
    assert public == NAMES
    assert (qz_packets.TYPE_DW, qz_packets.TYPE_HB) == ("DW", "HB")
    assert qz_packets.TYPE_DW != b"DW"


@pytest.mark.parametrize("name", NAMES[2:])
def test_classes_are_ordinary_classes(name):
    cls = getattr(qz_packets, name)
    assert type(cls) is type and cls.__module__ == "qz_packets"
    base = (object if name in ("BasePacket", "UWBRangingMessage", "QZDWPacket")
            else qz_packets.BasePacket)
    assert cls.__bases__ == (base,)
    functions = {key for key, value in vars(cls).items() if callable(value)}
    assert functions == METHODS.get(name, {"__init__"})
    for constant, value in CONSTANTS.get(name, {}).items():
        assert type(vars(cls)[constant]) is int and vars(cls)[constant] == value


def test_slices_of_the_packet():
    slices = {name: (value.start, value.stop, value.step)
              for name, value in vars(qz_packets.QZDWPacket).items()
              if isinstance(value, slice)}
    assert slices == {"_SUB_HEADER_SLICE": (9, 19, None),
                      "_UWB_HEADER_SLICE": (19, 28, None),
                      "_UWB_PARAMS_SLICE": (28, 37, None),
                      "_UWB_PAYLOAD_SLICE": (37, -2, None),
                      "_UWB_FOOTER_SLICE": (-2, None, None)}


def test_instances_carry_a_dict_and_length_only_where_defined():
    packet = qz_packets.QZDWPacket(None, FRAME)
    packet.extra = 1
    assert vars(packet)["extra"] == 1
    for obj in (packet, packet.uwb_payload):
        with pytest.raises(TypeError, match=rf"^object of type '{type(obj).__name__}' has no "
                                            r"len\(\)$"):
            len(obj)
    assert len(qz_packets.BasePacket(length=5)) == 5
    # _len is stored as given
    with pytest.raises(TypeError, match="^'str' object cannot be interpreted as an integer$"):
        len(qz_packets.BasePacket("5"))
    assert len(packet.uwb_payload.reports[0]) == 10


@pytest.mark.parametrize("name", RECORDS)
@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "__init__() takes exactly 2 positional arguments (1 given)"),
    ((b"", b""), {}, "__init__() takes exactly 2 positional arguments (3 given)"),
    ((b"",), {"bytes": b""}, "__init__() got multiple values for keyword argument 'bytes'"),
    ((b"",), {"data": b""}, "__init__() got an unexpected keyword argument 'data'"),
    ((), {"data": b""}, "__init__() takes exactly 2 positional arguments (1 given)"),
])
def test_record_argument_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as error:
        getattr(qz_packets, name)(*args, **kwargs)
    assert str(error.value) == message


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "__init__() takes at least 3 positional arguments (1 given)"),
    ((None,), {}, "__init__() takes at least 3 positional arguments (2 given)"),
    ((None, FRAME, None, None), {},
     "__init__() takes at most 4 positional arguments (5 given)"),
    ((), {"bytes": FRAME}, "__init__() takes at least 3 positional arguments (1 given)"),
    ((), {"header": None}, "__init__() takes at least 3 positional arguments (2 given)"),
    ((None, FRAME), {"header": None},
     "__init__() got multiple values for keyword argument 'header'"),
    ((None, FRAME), {"handler": None},
     "__init__() got an unexpected keyword argument 'handler'"),
])
def test_packet_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as error:
        qz_packets.QZDWPacket(*args, **kwargs)
    assert str(error.value) == message


def test_packet_arguments_by_keyword():
    packet = qz_packets.QZDWPacket(callback=print, bytes=FRAME, header="h")
    assert (packet.header, packet.callback_handle) == ("h", print)
    assert qz_packets.QZDWPacket(None, FRAME).callback_handle is None


@pytest.mark.parametrize("method, name", [
    (lambda: qz_packets.UWBRangingMessage(MESSAGE).is_anchor, "is_anchor"),
    (lambda: qz_packets.QZDWPacket(None, FRAME).callback, "callback"),
    (lambda: qz_packets.BasePacket(1).__len__, "__len__"),
])
def test_methods_take_self_only(method, name):
    with pytest.raises(TypeError) as error:
        method()(1)
    assert str(error.value) == f"{name}() takes exactly one argument (2 given)"


@pytest.fixture
def module_global():
    """Rebinds a module global for one test, then restores it."""
    namespace = vars(qz_packets)
    saved = {name: namespace.pop(name) for name in NAMES}
    namespace.update(saved)  # the same order, for the tests that follow
    yield lambda name, value: setattr(qz_packets, name, value)
    for name in NAMES:
        namespace.pop(name, None)
    namespace.update(saved)


@pytest.mark.assertions
def test_type_constants_are_read_at_call_time(module_global, assertions_enabled):
    module_global("TYPE_HB", "XY")
    if assertions_enabled:
        with pytest.raises(AssertionError):
            qz_packets.Header(enc.header("HB"))
    assert qz_packets.Header(enc.header("XY")).type == "XY"
    module_global("TYPE_DW", None)
    if assertions_enabled:
        del qz_packets.TYPE_DW
        with pytest.raises(NameError):
            qz_packets.Header(enc.header("DW"))


def test_record_classes_are_looked_up_at_call_time(module_global):
    received = []

    class Report(qz_packets.UWBRangingReport):
        def __init__(self, bytes):
            received.append(bytes)
            super().__init__(bytes)

    module_global("UWBRangingReport", Report)
    module_global("UWBFooter", lambda data: ("footer", data))
    packet = qz_packets.QZDWPacket(None, bytearray(FRAME))
    assert type(packet.uwb_payload.reports[0]) is Report
    assert received == [bytearray(FRAME[56:66])]
    assert packet.uwb_footer == ("footer", bytearray(FRAME[-2:]))


def test_class_changes_take_effect_after_earlier_calls():
    """Constants and methods are read at every call, however often the
    unchanged class was used before and after the change."""
    def reports():
        for _ in range(3):
            packet = qz_packets.QZDWPacket(None, FRAME)
        return packet.uwb_payload.reports

    reports()
    cls, message = qz_packets.UWBRangingReport, qz_packets.UWBRangingMessage
    original = vars(cls)["__init__"]
    try:
        cls.RANGING_REPORT_LENGTH = 5
        assert [(len(r), r.addr, r.dist) for r in reports()] == [(5, 0x1234, 0)]
        cls.RANGING_REPORT_LENGTH = 10
        cls.__init__ = lambda self, data: setattr(self, "data", bytes(data))
        assert reports()[0].data == FRAME[56:66]
        cls.__init__ = original
        cls.dist = property(lambda self: "read", lambda self, value: None)
        assert reports()[0].dist == "read"
        message.cnt = property(lambda self: 0, lambda self, value: None)
        assert reports() == []
    finally:
        cls.RANGING_REPORT_LENGTH = 10
        cls.__init__ = original
        for owner, name in ((cls, "dist"), (message, "cnt")):
            if name in vars(owner):
                delattr(owner, name)
    assert reports()[0].dist == 1000


@pytest.mark.assertions
def test_constants_are_read_through_the_instance(assertions_enabled):
    class LongHeader(qz_packets.Header):
        HEADER_LENGTH = 10

    class Shadowed(qz_packets.SubHeader):
        def __init__(self, data):
            self.SUB_HEADER_LENGTH = 3  # an instance attribute wins
            super().__init__(data)

    assert len(LongHeader(enc.header() + b"x")) == 10
    with pytest.raises(AssertionError if assertions_enabled else IndexError):
        LongHeader(enc.header()[:8])
    with pytest.raises(IndexError):  # three bytes pass, ts2 is missing
        Shadowed(bytes(3))


def test_base_initialiser_follows_the_class_hierarchy():
    class Mixin(qz_packets.BasePacket):
        def __init__(self, length):
            self.seen = length
            super().__init__(length * 2)

    class Record(qz_packets.UWBFooter, Mixin):
        pass

    class Unrelated:
        UWB_FOOTER_LENGTH = 2

    footer = Record(b"\x34\x12")
    assert (footer.seen, len(footer), footer.fcs) == (2, 4, 0x1234)
    with pytest.raises(TypeError, match="super"):
        qz_packets.UWBFooter.__init__(Unrelated(), b"\x34\x12")


def test_optimised_mode_in_a_subprocess():
    done = run_python(f"""
        import qz_packets as q
        h = q.Header(b"xxxxXY\\x34\\x12\\x07")
        print(h.type, h.packet_len, h.version)
        for data in (b"@Q", {bytes(FRAME[:37])!r}):
            try:
                q.QZDWPacket(None, data)
            except IndexError as error:
                print("IndexError", error)
        r = q.UWBRangingReport(bytes.fromhex("00341201"))
        print(r.addr, r.ts, r.dist, q.UWBFooter(b"\\x01\\x02\\x03").fcs)
    """, optimize=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n") == [
        "XY 4660 7", "IndexError index out of range",
        "IndexError index out of range", "4660 1 0 197121", ""]
