"""qz_host.replay: decoding, survey and tracking of a capture."""

import itertools
import math
from pathlib import Path
from collections import Counter

import numpy as np
import pytest

from qz_host import capture, frames
from qz_host.evaluate import evaluate, interpolate, percentile, survey_frame
from qz_host.messages import SKIP_REASONS, decode
from qz_host.replay import replay
from qz_host.simulate import DEFAULT_ANCHORS, NO_OFFSETS, Scenario, simulate
from qz_host.survey import DistanceTable, survey
from qz_host.tracking import Acquisition


def capture_lines(sim, *, fcs=True):
    metadata = dict(sim.metadata)
    if not fcs:
        del metadata["fcs"]
    lines = [f"# {key}: {value}" for key, value in metadata.items()]
    return lines + [capture.format_line(t, f) for t, f in sim.frames]


def tracks_of(sim):
    tracks = {}
    for t, tag, x, y in sim.tracks:
        tracks.setdefault(tag, []).append((t, x, y))
    return tracks


def replay_and_evaluate(sim, lines=None, **options):
    result = replay(capture_lines(sim) if lines is None else lines, **options)
    assert result.survey is not None, result.survey_error
    return result, evaluate(result, sim.anchors, tracks_of(sim))


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("unit", [0.01, 0.001])
def test_clean_capture_is_accurate(seed, unit):
    sim = simulate(Scenario(sigma=0.05, nlos=0.0, seed=seed, unit=unit, **NO_OFFSETS))
    result, ev = replay_and_evaluate(sim)
    assert result.dist_unit == unit  # read from the capture
    # Heartbeats are sound frames with nothing to decode, not failures.
    assert not result.counts.skipped and result.counts.heartbeats == 42
    assert set(ev.anchor_errors) == {a for a, _, _ in DEFAULT_ANCHORS}
    assert max(ev.anchor_errors.values()) < 0.10
    assert set(ev.tags) == {0x1001, 0x1002}
    for errors in ev.tags.values():
        assert errors.count == 300
        assert errors.rms < 0.10


def test_unit_override_wins_over_the_capture():
    sim = simulate(Scenario(nlos=0.0, unit=0.001, duration=3.0, **NO_OFFSETS))
    result = replay(capture_lines(sim), dist_unit=0.01)
    assert result.dist_unit == 0.01
    # Raw millimetres read as centimetres: a survey ten times too large.
    side = math.dist(sim.anchors[0x0A01][:2], sim.anchors[0x0A02][:2])
    assert result.survey.positions[1][0] == pytest.approx(10 * side, rel=0.01)


def test_mirrored_ground_truth():
    sim = simulate(Scenario(nlos=0.0, duration=5.0))
    result, plain = replay_and_evaluate(sim)
    mirror_anchors = {a: (x, -y, z) for a, (x, y, z) in sim.anchors.items()}
    mirror_tracks = {tag: [(t, x, -y) for t, x, y in rows] for tag, rows in tracks_of(sim).items()}
    mirrored = evaluate(result, mirror_anchors, mirror_tracks)
    assert mirrored.frame.mirrored != plain.frame.mirrored
    assert mirrored.anchor_errors == pytest.approx(plain.anchor_errors, abs=1e-9)
    assert mirrored.fix_errors == pytest.approx(plain.fix_errors, abs=1e-9)


def test_missing_pair_is_filled_in():
    sim = simulate(Scenario(nlos=0.0, duration=5.0, **NO_OFFSETS))
    cut = {0x0A01, 0x0A04}
    lines = []
    for time, frame in sim.frames:
        if frame[4:6] == b"DW" and frame[26] | frame[27] << 8 in cut and frame[40] & 1:
            # Rebuild the anchor's message without its report to the other one.
            src = frame[26] | frame[27] << 8
            reports = [frames.UWBRangingReport(addr=int.from_bytes(frame[i + 1:i + 3], "little"),
                                               dist=int.from_bytes(frame[i + 8:i + 10], "little"))
                       for i in range(56, len(frame) - 2, 10)]
            kept = [r for r in reports if r.addr not in cut - {src}]
            frame = frames.ranging_frame(src, kept, anchor=True)
        lines.append(capture.format_line(time, frame))
    result, ev = replay_and_evaluate(sim, ["# fcs: ieee-802.15.4"] + lines)
    assert result.survey.missing == [(0x0A01, 0x0A04)]
    assert max(ev.anchor_errors.values()) < 0.10


@pytest.mark.parametrize("cut", [
    [(0x0A01, 0x0A04)],
    [(0x0A03, 0x0A06), (0x0A05, 0x0A06)],
    [(0x0A01, 0x0A05), (0x0A03, 0x0A06), (0x0A05, 0x0A06)],
])
def test_survey_fills_missing_pairs(cut):
    """Exact distances with pairs missing: the filled-in survey has every
    anchor where it belongs, also where a fit of the measured pairs from
    the first guess settles in a false minimum."""
    anchors = {a: (x, y, 0.0) for a, x, y in DEFAULT_ANCHORS}
    table = DistanceTable()
    for a, b in itertools.combinations(sorted(anchors), 2):
        if (a, b) not in cut:
            table.add(a, b, math.dist(anchors[a][:2], anchors[b][:2]))
    result = survey(table)
    assert result.missing == cut
    frame = survey_frame(anchors, result)
    for address, position in zip(result.addresses, result.positions):
        assert math.dist(frame(*anchors[address][:2]), position) < 0.01


def test_too_few_anchors():
    sim = simulate(Scenario(anchors=DEFAULT_ANCHORS[:3], duration=2.0))
    silent = 0x0A03  # never sends, so only two anchors are known
    lines = [capture.format_line(t, f) for t, f in sim.frames
             if f[4:6] != b"DW" or (decode(t, f).src, decode(t, f).is_anchor) != (silent, True)]
    result = replay(lines)
    assert result.survey is None and "3 to 15 anchors" in result.survey_error
    assert result.counts.decoded > 0 and not result.fixes


def malformed_capture():
    """A short capture with one line of every kind; returns the lines and
    the counts the replay must report."""
    sim = simulate(Scenario(nlos=0.0, dropout=0.0, duration=1.0, heartbeat_period=100.0))
    good = [(t, f) for t, f in sim.frames if f[4:6] == b"DW"]
    line = capture.format_line
    t, frame = good[0]
    flipped = bytearray(frame)
    flipped[-5] ^= 0x40
    body = frames.UWBRangingMessage((frames.UWBRangingReport(addr=0x0A02, dist=100),) * 3).encode()
    # Announces three reports but holds two; header length and checksum agree.
    short_count = frames.DWFrame(
        frames.UWBHeader(src_addr=0x0A01),
        frames.UWBRawMessage(body[:-10]),
        frames.UWBParams(type=17),
    ).encode()
    short_count = short_count[:36] + b"\x10" + short_count[37:-2]
    short_count += frames.fcs(short_count[19:]).to_bytes(2, "little")
    raw = frames.DWFrame(frames.UWBHeader(src_addr=0x0A01), frames.UWBRawMessage(b"abc"),
                         frames.UWBParams(type=0)).encode()
    bad_lines = [
        ("bad line", "1.0"),
        ("bad line", "1.0 00 11"),
        ("bad time", "noon " + frame.hex()),
        ("bad time", "nan " + frame.hex()),
        ("bad hex", line(t, frame)[:-1]),                      # odd digit count
        ("bad hex", f"{t} {frame.hex()[:-2]}zz"),
        ("short header", line(t, frame[:6])),
        ("bad magic", line(t, b"@QX@" + frame[4:])),
        ("unknown type", line(t, frame[:4] + b"XX" + frame[6:])),
        ("unknown type", line(t, frame[:4] + b"\xff\xfe" + frame[6:])),
        ("length mismatch", line(t, frame[:-10])),             # truncated
        ("length mismatch", line(t, frame + b"\x00")),
        ("heartbeat", line(t, frames.HBFrame(b"\x01\x0a").encode())),
        ("short frame", line(t, frames.Header("DW", 30).encode() + bytes(21))),
        ("fcs mismatch", line(t, bytes(flipped))),
        ("raw payload", line(t, raw)),
        ("count mismatch", line(t, short_count)),
    ]
    lines = ["# qz capture", "# fcs: ieee-802.15.4", "", "   "]
    lines += [line(t, f) for t, f in good[:len(good) // 2]]
    lines += [text for _, text in bad_lines]
    lines += ["# a comment in the middle"]
    lines += [line(t, f) for t, f in good[len(good) // 2:]]
    return lines, Counter(reason for reason, _ in bad_lines), len(good)


def test_malformed_lines_are_skipped_and_counted():
    lines, expected, good = malformed_capture()
    result = replay(lines)
    counts = result.counts
    # A heartbeat is read and needs no decoding: counted apart, not skipped.
    heartbeats = expected.pop("heartbeat")
    assert counts.heartbeats == heartbeats == 1
    assert counts.skipped == expected
    assert counts.decoded == good
    assert counts.comments == 5
    assert counts.read == counts.decoded + counts.heartbeats + sum(counts.skipped.values())
    assert counts.lines == len(lines) == counts.read + counts.comments
    assert set(expected) == set(SKIP_REASONS) - {"undecodable"}
    # The good frames still make a survey and tracks.
    assert result.survey is not None and result.fixes


def test_checksums_only_when_declared():
    lines, expected, good = malformed_capture()
    result = replay([line for line in lines if "fcs" not in line])
    assert result.counts.skipped["fcs mismatch"] == 0
    assert result.counts.decoded == good + expected["fcs mismatch"]
    assert replay(lines, check_fcs=False).counts.decoded == good + expected["fcs mismatch"]


def with_old_checksum(lines):
    """The capture as older versions wrote it: CRC-16-CCITT footers."""
    converted = []
    for text in lines:
        if text.startswith("# fcs:"):
            converted.append("# fcs: crc-ccitt")
            continue
        item = capture.parse_line(text) if not text.startswith("#") else None
        if item is None or item.frame[4:6] != b"DW":
            converted.append(text)
            continue
        frame = item.frame[:-2] + frames.fcs_ccitt(item.frame[19:-2]).to_bytes(2, "little")
        converted.append(capture.format_line(item.time, frame))
    return converted


def test_old_checksum_declaration_still_replays_alike():
    sim = simulate(Scenario(duration=3.0))
    lines = capture_lines(sim)
    assert "# fcs: ieee-802.15.4" in lines
    new, old = replay(lines), replay(with_old_checksum(lines))
    assert (new.check_fcs, new.checksum) == (True, "ieee-802.15.4")
    assert (old.check_fcs, old.checksum) == (True, "crc-ccitt")
    assert old.counts == new.counts and not new.counts.skipped["fcs mismatch"]
    assert old.fixes == new.fixes
    # Each checksum fails the other's frames.
    crossed = [line.replace("crc-ccitt", "ieee-802.15.4") for line in with_old_checksum(lines)]
    assert replay(crossed).counts.skipped["fcs mismatch"] == new.counts.decoded


def test_a_flipped_bit_fails_the_checksum():
    sim = simulate(Scenario(duration=1.0))
    lines = capture_lines(sim)
    index = next(i for i, text in enumerate(lines) if not text.startswith("#"))
    time, frame = sim.frames[0]
    for bit in (0, 77, 8 * (len(frame) - 21) - 1):  # first, middle and last bit checked
        flipped = bytearray(frame)
        flipped[19 + bit // 8] ^= 1 << bit % 8
        changed = lines[:index] + [capture.format_line(time, bytes(flipped))] + lines[index + 1:]
        assert replay(changed).counts.skipped["fcs mismatch"] == 1


@pytest.mark.parametrize("check_fcs", [None, True])
def test_unknown_checksum_declaration_is_refused(check_fcs):
    lines = ["# fcs: crc-32"] + capture_lines(simulate(Scenario(duration=1.0)), fcs=False)
    with pytest.raises(ValueError, match="declares an unknown checksum 'crc-32'"):
        replay(lines, check_fcs=check_fcs)
    assert replay(lines, check_fcs=False).counts.decoded > 0


def test_bundled_capture_carries_the_802_15_4_fcs():
    path = Path(__file__).resolve().parent.parent / "examples" / "hall.qzcap"
    lines = path.read_text().splitlines()
    assert capture.read_metadata(lines)["fcs"] == "ieee-802.15.4"
    dw = [item.frame for item in map(capture.parse_line, lines)
          if item is not None and item.frame[4:6] == b"DW"]
    assert dw and all(f[-2:] == frames.fcs(f[19:-2]).to_bytes(2, "little") for f in dw)


def square_tracker(offset):
    corners = [(0.0, 0.0), (20.0, 0.0), (20.0, 12.0), (0.0, 12.0), (10.0, -1.0), (10.0, 13.0)]
    anchors = [(x + offset, y + offset) for x, y in corners]
    return Acquisition(anchors), anchors


@pytest.mark.parametrize("offset", [0.0, 500.0, -3000.0])
def test_tracking_far_from_the_origin(offset):
    """Exact distances fit to the millimetre wherever the installation lies:
    the tracker moves the anchors' centroid to the origin for the engine."""
    tracker, anchors = square_tracker(offset)
    for k in range(40):
        truth = (offset + 3.0 + 0.1 * k, offset + 2.0 + 0.05 * k)
        fit = tracker.fit([math.dist(truth, a) for a in anchors])
        assert math.dist((fit.x, fit.y), truth) < 0.03


@pytest.mark.parametrize("step", [0.0, 0.03, 0.1])
def test_fixes_reach_the_best_fit(step):
    """Exact distances to a tag standing still, creeping or walking: each
    fix lands at the tag, not where the engine's tolerance first admits it
    (up to some 15 cm away, on the side of the start point)."""
    tracker, anchors = square_tracker(0.0)
    errors = []
    for k in range(40):
        truth = (5.0 + step * k, 6.0 + step * k / 3)
        fit = tracker.fit([math.dist(truth, a) for a in anchors])
        errors.append(math.dist((fit.x, fit.y), truth))
    assert max(errors) < 0.02


@pytest.mark.parametrize("ranges, excess, dropped", [
    (6, 1.0, 1),    # a non-line-of-sight range is dropped
    (6, 0.15, 0),   # within the tolerance for noise: kept
    (4, 0.8, 1),
    (3, 1.0, 0),    # three ranges are the least a fix needs: kept
])
def test_long_range_is_dropped(ranges, excess, dropped):
    tracker, anchors = square_tracker(0.0)
    truth = (6.0, 4.0)
    distances = [math.dist(truth, a) if i < ranges else 0.0 for i, a in enumerate(anchors)]
    distances[1] += excess
    fit = tracker.fit(distances)
    assert fit.dropped == dropped
    assert len(fit.used) == ranges - dropped
    if dropped:
        assert math.dist((fit.x, fit.y), truth) < 0.02


def test_fix_needs_three_anchors():
    tracker, anchors = square_tracker(0.0)
    truth = (4.0, 5.0)
    distances = [math.dist(truth, a) for a in anchors]
    assert tracker.fit(distances[:2] + [0.0] * 4) is None
    assert tracker.fit(distances[:3] + [0.1, 0.0, -1.0]) is not None


@pytest.mark.parametrize("q", [0, 12.5, 50, 95, 100])
def test_percentile_matches_numpy(q):
    values = [0.3, 0.1, 0.7, 0.2, 0.9, 0.05, 0.4]
    assert percentile(values, q) == pytest.approx(np.percentile(values, q))


@pytest.mark.parametrize("time, expected", [
    (1.0, (0.0, 0.0)), (1.5, (1.0, 2.0)), (2.0, (2.0, 4.0)),
    (0.8, (0.0, 0.0)), (2.2, (2.0, 4.0)), (0.4, None), (2.7, None),
])
def test_interpolate(time, expected):
    track = [(1.0, 0.0, 0.0), (2.0, 2.0, 4.0)]
    assert interpolate(track, time, slack=0.5) == expected
