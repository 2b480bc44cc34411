"""The frame validator and the stream framer that cuts frames out of bytes."""

import random
from pathlib import Path

import pytest

import qz_packets
from qz_host import capture, frames, framing, messages
from qz_host.framing import MAX_FRAME_LENGTH, Skip, StreamFramer, check

HALL = Path(__file__).resolve().parent.parent / "examples" / "hall.qzcap"


@pytest.fixture(scope="module")
def hall_frames():
    with open(HALL) as source:
        items = [capture.parse_line(line) for line in source]
    return [item.frame for item in items if item is not None][:200]


def ranging(src=0x1001, cnt=3):
    reports = [frames.UWBRangingReport(addr=0x0A01 + k, dist=500 + k) for k in range(cnt)]
    return frames.ranging_frame(src, reports, anchor=False)


@pytest.mark.parametrize("frame, kind", [
    (ranging(), "DW"),
    (ranging(cnt=0), "DW"),
    (frames.HBFrame(b"\x01\x02").encode(), "HB"),
    (frames.DWFrame(frames.UWBHeader(src_addr=5), frames.UWBRawMessage(b"abc"),
                    frames.UWBParams(type=3)).encode(), "DW"),
])
def test_check_accepts(frame, kind):
    assert check(frame, frames.fcs) == kind


def _flip(frame, index):
    changed = bytearray(frame)
    changed[index] ^= 0x40
    return bytes(changed)


@pytest.mark.parametrize("frame, reason", [
    (b"@QZ@DW", "short header"),
    (b"@QZ#" + ranging()[4:], "bad magic"),
    (ranging()[:4] + b"XY" + ranging()[6:], "unknown type"),
    (ranging()[:-1], "length mismatch"),
    (frames.Header("DW", 30).encode() + bytes(21), "short frame"),
    (_flip(ranging(), 30), "fcs mismatch"),
    (frames.DWFrame(frames.UWBHeader(), frames.UWBRangingMessage(
        (frames.UWBRangingReport(),)), fcs=0).encode()[:-12] + b"\x00\x00", "length mismatch"),
])
def test_check_rejects(frame, reason):
    with pytest.raises(Skip) as raised:
        check(frame, frames.fcs)
    assert raised.value.reason == reason


def test_count_is_checked_against_the_payload():
    frame = bytearray(ranging(cnt=3))
    frame[frames.PAYLOAD_OFFSET + frames.RANGING_MESSAGE_HEADER_LENGTH - 1] = 4
    with pytest.raises(Skip, match="count mismatch"):
        check(bytes(frame))


def test_short_ranging_payload_is_a_count_mismatch():
    raw = frames.DWFrame(frames.UWBHeader(), frames.UWBRawMessage(b"12345"),
                         frames.UWBParams(type=3)).encode()
    frame = bytearray(raw)
    frame[frames.MESSAGE_TYPE_OFFSET] = frames.MESSAGE_TYPE_RANGING
    assert check(raw) == "DW"
    with pytest.raises(Skip, match="count mismatch"):
        check(bytes(frame))


def test_checksum_is_checked_only_when_given():
    bad = _flip(ranging(), 30)
    assert check(bad) == "DW"
    with pytest.raises(Skip, match="fcs mismatch"):
        check(bad, frames.fcs)


def feed_in_pieces(framer, data, rng):
    found = []
    pos = 0
    while pos < len(data):
        size = rng.choice([1, 2, 5, 9, 40, 300, 5000])
        found += framer.feed(data[pos:pos + size])
        pos += size
    return found


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_garbage_between_frames_is_skipped(hall_frames, seed):
    rng = random.Random(seed)
    stream = bytearray()
    garbage = 0
    for frame in hall_frames:
        noise = bytes(rng.randrange(256) for _ in range(rng.choice([0, 0, 1, 17, 80])))
        if rng.random() < 0.2:
            noise += frames.MAGIC  # a stray magic in the noise
        stream += noise + frame
        garbage += len(noise)
    framer = StreamFramer(frames.fcs)
    found = feed_in_pieces(framer, bytes(stream), rng)
    assert found == hall_frames
    assert framer.skipped_bytes == garbage
    assert framer.pending == 0


@pytest.mark.parametrize("cut", [5, 9, 20, 40, -3])
def test_torn_frame_resynchronises_at_the_next_magic(hall_frames, cut):
    """A device reset mid-frame: the torn frame's length reaches into the
    next frame, the checksum fails, and the next frame is found inside."""
    torn = hall_frames[0][:cut]
    stream = torn + b"".join(hall_frames[1:20])
    framer = StreamFramer(frames.fcs)
    found = feed_in_pieces(framer, stream, random.Random(cut))
    assert found == hall_frames[1:20]
    assert framer.skipped_bytes == len(torn)
    assert sum(framer.skipped.values()) == 1  # the torn one, whatever check it fails


@pytest.mark.parametrize("length", [0, 8, MAX_FRAME_LENGTH + 1, 0xFFFF])
def test_length_out_of_bounds_is_a_framing_error(hall_frames, length):
    bogus = frames.MAGIC + b"DW" + length.to_bytes(2, "little") + b"\x01"
    framer = StreamFramer(frames.fcs)
    found = framer.feed(bogus)
    found += framer.feed(b"".join(hall_frames[:5]))
    assert found == hall_frames[:5]
    assert framer.skipped == {"bad length": 1}
    assert framer.skipped_bytes == len(bogus)


def test_buffer_stays_bounded():
    """A stream that announces the longest frame and never finishes it
    holds at most that frame; noise without a magic holds three bytes."""
    framer = StreamFramer()
    framer.feed(frames.MAGIC + b"DW" + MAX_FRAME_LENGTH.to_bytes(2, "little") + b"\x01")
    for _ in range(100):
        framer.feed(b"\x00" * 100)
    # The candidate completes and fails its checks; the rest is noise.
    assert framer.pending <= len(frames.MAGIC) - 1
    noise = StreamFramer()
    noise.feed(bytes(range(256)) * 100)
    assert noise.pending == 3
    assert noise.skipped_bytes == 256 * 100 - 3


def test_unknown_type_in_stream_is_counted():
    framer = StreamFramer()
    frame = ranging()
    found = framer.feed(frame[:4] + b"ZZ" + frame[6:] + frame)
    assert found == [frame]
    assert framer.skipped == {"unknown type": 1}


def test_heartbeats_are_frames():
    heartbeat = frames.HBFrame(b"\x07").encode()
    assert StreamFramer().feed(heartbeat + ranging()) == [heartbeat, ranging()]


def test_max_length_below_a_header_is_refused():
    with pytest.raises(ValueError, match="at least 9"):
        StreamFramer(max_length=8)


def test_max_frame_length_fits_the_longest_ranging_frame():
    longest = ranging(cnt=frames.MAX_REPORTS)
    assert len(longest) == MAX_FRAME_LENGTH
    assert StreamFramer(frames.fcs).feed(longest) == [longest]


class Refusing:
    def __init__(self, error):
        self.error = error

    def __call__(self, *args, **kwargs):
        raise self.error


@pytest.mark.parametrize("error", [AssertionError(), IndexError("short"), ValueError("type")])
def test_decode_counts_decoder_errors(monkeypatch, error):
    monkeypatch.setattr(qz_packets, "QZDWPacket", Refusing(error))
    with pytest.raises(Skip, match="undecodable"):
        messages.decode(0.0, ranging())


def test_decode_lets_other_faults_through(monkeypatch):
    """A fault in the host itself is not disguised as a bad frame."""
    monkeypatch.setattr(qz_packets, "QZDWPacket", Refusing(RuntimeError("host bug")))
    with pytest.raises(RuntimeError, match="host bug"):
        messages.decode(0.0, ranging())


def test_replay_reasons_include_every_frame_check():
    assert set(framing.FRAME_SKIPS) <= set(messages.SKIP_REASONS)
