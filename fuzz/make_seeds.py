"""Writes the hand-made seeds of the packets harness into fuzz/corpus/packets:
well-formed frames (a ranging message with reports, a raw message, short and
long ones) followed by the selector bytes that make the harness decode them in
each of its modes and input kinds. The fuzzer's own finds are merged into
the same directory with libFuzzer's -merge=1.

    python fuzz/make_seeds.py      (needs atheris)
"""
import hashlib
import os
import random

import atheris

from fuzz_packets import RECORDS, read_plan

HERE = os.path.dirname(os.path.abspath(__file__))
REPORT = bytes.fromhex("00 34 12 01 02 03 04 05 E8 03")


def message(count, flags=1):
    return (bytes([1, 0, 0, flags, 7]) + bytes(range(1, 6)) + bytes(8)
            + bytes([count]) + REPORT * count)


def frame(payload, kind=0x10):
    return (b"@QZ@DW" + bytes([len(payload) + 39, 0, 1]) + bytes(range(10))
            + bytes.fromhex("41 88 05 CD AB 34 12 78 56")
            + bytes([1, 2, 4, 3, 2, 1, 0xC8, 0x3A, kind]) + payload + b"\x34\x12")


FRAMES = [frame(message(2)), frame(message(1, flags=0)), frame(message(0)),
          frame(b"raw payload", kind=0), frame(b"", kind=0x11),
          frame(message(3))[:-12], frame(message(2)) + b"\x00"]
RECORD_BYTES = [b"@QZ@DW\x27\x00\x01", b"@QZ@HB\x34\x12\xff", bytes(range(10)),
           bytes.fromhex("41 88 05 CD AB 34 12 78 56"),
           bytes.fromhex("01 02 04 03 02 01 C8 3A 10"), b"\x34\x12", REPORT,
           message(2)]


def with_selectors(data, mode, kind, record=None, tries=200000):
    """`data` followed by selector bytes (the harness takes its integers from
    the end of an input, its bytes from the start), such that the harness
    reads them as that mode, input kind (and record class) and decodes
    exactly `data`."""
    rng = random.Random(hash((mode, kind, record, data)) & 0xFFFF)
    for _ in range(tries):
        suffix = bytes(rng.randrange(256) for _ in range(rng.randrange(2, 9)))
        plan = read_plan(atheris.FuzzedDataProvider(data + suffix))
        if (plan.mode, plan.kind, plan.record) == (mode, kind, record) and \
                plan.raw == data and (mode == 0 or plan.calls == 2):
            return data + suffix
    return None


def write(data):
    name = hashlib.sha1(data).hexdigest()
    with open(os.path.join(HERE, "corpus", "packets", name), "wb") as out:
        out.write(data)


def main():
    os.makedirs(os.path.join(HERE, "corpus", "packets"), exist_ok=True)
    written = 0
    for kind in range(5):
        for record, data in zip(RECORDS, RECORD_BYTES):
            seed = with_selectors(data, 0, kind, record)
            if seed is not None:
                write(seed)
                written += 1
        for mode in (1, 2, 3):
            for data in FRAMES:
                seed = with_selectors(data, mode, kind)
                if seed is not None:
                    write(seed)
                    written += 1
    print(f"{written} seeds")


if __name__ == "__main__":
    main()
