#!/usr/bin/env python3
"""Coverage-guided fuzzing of qz_packets.

Arbitrary bytes go to `Header`, to each record class, and to `QZDWPacket`
(with and without a handler, then `callback()`), as bytes, bytearray,
memoryview and subclasses of bytes and bytearray (the object-protocol path).
A hostile mode replaces one record class by a subclass whose attribute hook
resizes or rewrites the bytearray frame in the middle of decoding, or gives
a handler that does so and calls back re-entrantly.

Every call runs on the module and on the plain-Python model of it that
the tests and benchmarks use (tests/reference/plain_python_packets.py), and
the two must agree: the same exception type, or
records of the same classes with equal attributes. Run with `python -O` as
well: then the length, magic and type checks are off in both. A crash, a
sanitizer report or a disagreement ends the run. Run through fuzz/run.py
(make fuzz), or directly:
    python fuzz/fuzz_packets.py [libFuzzer flags] [corpus dirs]
"""
import collections
import os
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                os.pardir, "tests"))
with atheris.instrument_imports():
    from reference import plain_python_packets as reference_packets
    import qz_packets

RECORDS = ["Header", "SubHeader", "UWBHeader", "UWBParams", "UWBFooter",
           "UWBRangingReport", "UWBRawMessage", "UWBRangingMessage"]
HOOKED = RECORDS + ["QZDWPacket"]
STANDARD = (AssertionError, IndexError, TypeError, AttributeError,
            UnicodeDecodeError, ValueError, RuntimeError)


class Failure(AssertionError):
    """The module and the model disagree: reported by the fuzzer as a crash."""


class BytesSub(bytes):
    pass


class ArraySub(bytearray):
    pass


class HandlerError(RuntimeError):
    pass


def wrap(kind, data):
    if kind == 0:
        return bytes(data)
    if kind == 1:
        return bytearray(data)
    if kind == 2:
        return memoryview(bytes(data))
    if kind == 3:
        return BytesSub(data)
    return ArraySub(data)


def shape(value, seen):
    """A comparable picture of a decoded value: class names and attributes
    of records, contents of byte strings, identity of pass-through objects."""
    if isinstance(value, (bool, int, str)) or value is None:
        return (type(value).__name__, value)
    if isinstance(value, (bytes, bytearray, memoryview)):
        return (type(value).__name__, bytes(value))
    if isinstance(value, list):
        return ("list", [shape(item, seen) for item in value])
    if id(value) in seen:
        return ("same", seen[id(value)])
    if hasattr(value, "__dict__") and type(value).__name__ in HOOKED + ["Probe"]:
        return (type(value).__name__,
                {key: shape(item, seen) for key, item in vars(value).items()})
    return ("object", type(value).__name__)


def run(namespace, action):
    """Runs action(namespace); returns ("raised", type name) or ("ok", shape)."""
    try:
        result = action(namespace)
    except STANDARD as error:
        return ("raised", type(error).__name__)
    return ("ok", result)


class Probe:
    """The header argument: passed through untouched."""


def decode_record(name, data):
    def action(ns):
        return shape(getattr(ns, name)(data), {})
    return action


def decode_packet(frame, with_handler, calls, hostile_handler, reenter):
    probe = Probe()

    def action(ns):
        seen = {id(probe): "header"}
        record = []

        def handler(src_addr, is_anchor, reports):
            record.append((shape(src_addr, {}), shape(is_anchor, {}),
                           shape(reports, {})))
            if hostile_handler is not None:
                hostile_handler(frame)
            if reenter and len(record) < 3:
                packet.callback()
            if hostile_handler is not None and len(record) == 2:
                raise HandlerError("from the handler")

        if with_handler:
            packet = ns.QZDWPacket(probe, frame, callback=handler)
            seen[id(handler)] = "handler"
        else:
            packet = ns.QZDWPacket(probe, frame)
        decoded = shape(packet, seen)
        outcomes = []
        for _ in range(calls):
            try:
                outcomes.append(("returned", shape(packet.callback(), {})))
            except STANDARD as error:
                outcomes.append(("raised", type(error).__name__))
        if with_handler and packet.uwb_params.type == 16 and record:
            # the very list of the payload, not a copy
            if record[0][2] != shape(packet.uwb_payload.reports, {}):
                outcomes.append("stale reports")
        return decoded, outcomes, record
    return action


MUTATIONS = ["clear", "shrink", "grow", "rewrite"]


def mutate(frame, how, amount):
    if not isinstance(frame, bytearray):
        return
    if how == "clear":
        del frame[:]
    elif how == "shrink":
        del frame[max(len(frame) - amount, 0):]
    elif how == "grow":
        frame.extend(bytes([amount & 0xFF]) * amount)
    else:
        for i in range(min(len(frame), amount)):
            frame[i] ^= 0x5A


def hooked_class(base, attribute, frame, how, amount):
    """A subclass of `base` that mutates `frame` once, when `attribute` is
    set on one of its instances."""
    state = {"done": False}

    def __setattr__(self, name, value):
        if name == attribute and not state["done"]:
            state["done"] = True
            mutate(frame, how, amount)
        object.__setattr__(self, name, value)

    return type(base.__name__, (base,), {"__setattr__": __setattr__})


class Hooks:
    """Installs hooked subclasses in both namespaces, and takes them away."""

    def __init__(self, name, attribute, how, amount, frames):
        self.plan = name, attribute, how, amount
        self.frames = frames  # the frame of each namespace
        self.saved = []

    def __enter__(self):
        name, attribute, how, amount = self.plan
        for ns, frame in zip((qz_packets, reference_packets), self.frames):
            base = getattr(ns, name)
            self.saved.append((ns, name, base))
            setattr(ns, name, hooked_class(base, attribute, frame, how, amount))
        return self

    def __exit__(self, *exc):
        for ns, name, base in self.saved:
            setattr(ns, name, base)


ATTRIBUTES = ["_len", "type", "packet_len", "version", "scramble", "ts8",
              "frm_ctrl", "src_addr", "slot", "frame", "msg_cnt", "type",
              "message", "flags", "addr", "dist", "len", "cnt", "reports",
              "fcs", "header", "sub_header", "uwb_params", "uwb_payload",
              "uwb_footer", "callback_handle"]


Plan = collections.namedtuple(
    "Plan", "mode kind record calls how amount reenter hook attribute raw")


def read_plan(fdp):
    """What one input asks for: the mode (0 a record class, 1 a packet
    without handler, 2 with one, 3 hostile), the input kind, and the bytes."""
    mode = fdp.ConsumeIntInRange(0, 3)
    kind = fdp.ConsumeIntInRange(0, 4)
    if mode == 0:
        record = fdp.PickValueInList(RECORDS)
        return Plan(mode, kind, record, 0, None, 0, False, None, None,
                    fdp.ConsumeBytes(fdp.remaining_bytes()))
    calls = fdp.ConsumeIntInRange(1, 2)
    how = fdp.PickValueInList(MUTATIONS)
    amount = fdp.ConsumeIntInRange(0, 64)
    hostile = mode == 3
    reenter = hostile and fdp.ConsumeBool()
    hook = fdp.PickValueInList(HOOKED) if hostile else None
    attribute = fdp.PickValueInList(ATTRIBUTES)
    return Plan(mode, kind, None, calls, how, amount, reenter, hook, attribute,
                fdp.ConsumeBytes(fdp.remaining_bytes()))


def test_one_input(data):
    plan = read_plan(atheris.FuzzedDataProvider(data))
    hooks = None
    if plan.mode == 0:
        actions = [decode_record(plan.record, wrap(plan.kind, plan.raw))
                   for _ in range(2)]
    else:
        frames = [wrap(plan.kind, plan.raw), wrap(plan.kind, plan.raw)]
        handler_mutation = None
        if plan.mode == 3:
            def handler_mutation(frame):
                mutate(frame, plan.how, plan.amount)
            if plan.hook != "QZDWPacket":
                hooks = Hooks(plan.hook, plan.attribute, plan.how, plan.amount,
                              frames)
        actions = [decode_packet(frame, plan.mode >= 2, plan.calls,
                                 handler_mutation, plan.reenter)
                   for frame in frames]
    if hooks is not None:
        with hooks:
            got = run(qz_packets, actions[0])
            want = run(reference_packets, actions[1])
    else:
        got = run(qz_packets, actions[0])
        want = run(reference_packets, actions[1])
    if got != want:
        raise Failure(f"module: {got!r}\nmodel:  {want!r}")


def main():
    atheris.instrument_func(test_one_input)
    atheris.instrument_func(shape)
    atheris.instrument_func(read_plan)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
