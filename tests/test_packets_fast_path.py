"""The decoders fill in the records of the module's own, untouched classes
without the object protocol. Nothing observable differs, by design, so the
tests count instructions under callgrind: decoding must cost clearly less
than after every record class has been given a class attribute named like
one of its fields, which changes no result (the instance attributes shadow
them) but takes every record off the fast path.

Instruction counts do not depend on the machine's load; each is the
difference between a run that decodes FRAMES frames and one that decodes
none, so start-up and import cancel out."""
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import frame_encoder as enc

FRAMES = 400
REPORTS = [{"addr": 0x1230 + i, "ts": 0x0504030201 + i, "dist": 1000 + i} for i in range(4)]
RANGING = enc.frame(enc.ranging_message(REPORTS, flags=1), uwb_params={"type": 16})
RAW = enc.frame(bytes(range(20)), uwb_params={"type": 0})

# one field of each record class, shadowed by a class attribute of that name
SHADOWED = {"Header": "version", "SubHeader": "rssi", "UWBHeader": "panid",
            "UWBParams": "slot", "UWBRawMessage": "message", "UWBRangingReport": "dist",
            "UWBRangingMessage": "slotnr", "UWBFooter": "fcs"}

PROGRAM = """
import sys
import qz_packets
frame, count, shadow = bytes.fromhex(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == "shadow"
if shadow:
    for name, field in {shadowed!r}.items():
        setattr(getattr(qz_packets, name), field, None)
def no_op(*args):
    pass
def decode():
    packet = qz_packets.QZDWPacket(qz_packets.Header(frame[:9]), frame, callback=no_op)
    packet.callback()
    return packet
decode(); decode()  # the interpreter's own warm-up, in every run
for _ in range(count):
    decode()
"""


def callgrind_unusable():
    if sys.flags.optimize:
        return "counted in the normal run only: the fast path does not depend on assertions"
    if shutil.which("valgrind") is None:
        return "valgrind is not installed"
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        return "valgrind cannot run under the AddressSanitizer runtime"
    return None


needs_callgrind = pytest.mark.skipif(callgrind_unusable() is not None,
                                     reason=str(callgrind_unusable()))


def instructions(frame, count, shadow, tmp_path):
    program = tmp_path / "decode.py"
    program.write_text(textwrap.dedent(PROGRAM.format(shadowed=SHADOWED)))
    command = [sys.executable, str(program), frame.hex(), str(count),
               "shadow" if shadow else "plain"]
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + command,
        capture_output=True, text=True, timeout=600, env=dict(os.environ, PYTHONHASHSEED="0"))
    assert done.returncode == 0, done.stderr[-3000:]
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


def per_frame(frame, shadow, tmp_path):
    return (instructions(frame, FRAMES, shadow, tmp_path)
            - instructions(frame, 0, shadow, tmp_path)) / FRAMES


def test_shadowing_changes_no_field():
    import qz_packets

    def fields(packet):
        records = [packet.header, packet.sub_header, packet.uwb_header, packet.uwb_params,
                   packet.uwb_payload, packet.uwb_footer] + list(packet.uwb_payload.reports)
        return [sorted((name, value) for name, value in vars(record).items() if name != "reports")
                for record in records]

    decode = lambda: qz_packets.QZDWPacket(qz_packets.Header(RANGING[:9]), RANGING)  # noqa: E731
    before = fields(decode())
    for name, field in SHADOWED.items():
        setattr(getattr(qz_packets, name), field, None)
    try:
        assert fields(decode()) == before
    finally:
        for name, field in SHADOWED.items():
            delattr(getattr(qz_packets, name), field)


@needs_callgrind
@pytest.mark.parametrize("frame", [RANGING, RAW], ids=["ranging", "raw"])
def test_own_classes_take_the_fast_path(frame, tmp_path):
    fast = per_frame(frame, False, tmp_path)
    protocol = per_frame(frame, True, tmp_path)
    assert fast < 0.95 * protocol, (
        "%.0f instructions per frame, %.0f with every record off the fast path" % (fast, protocol))
