"""qz_host.simulate: the installation simulator and the bundled sample."""

import io
import math
import shlex
import statistics
from pathlib import Path

import pytest

from qz_host import capture, cli, frames, messages
from qz_host.simulate import DEFAULT_ANCHORS, Scenario, simulate

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def decoded(sim):
    """(time, src, is_anchor, reports) of every ranging frame."""
    out = []
    for time, frame in sim.frames:
        message = messages.decode(time, frame, frames.fcs)
        if message is None:  # a heartbeat
            continue
        out.append((time, message.src, message.is_anchor, message.reports))
    return out


@pytest.fixture(scope="module")
def default_sim():
    return simulate(Scenario())


def test_defaults(default_sim):
    messages = decoded(default_sim)
    anchors = {a for a, _, _ in DEFAULT_ANCHORS}
    assert len(anchors) == 6
    tag_messages = [m for m in messages if not m[2]]
    assert {m[1] for m in tag_messages} == {0x1001, 0x1002}
    # Two tags, 30 s at 10 Hz.
    for tag in (0x1001, 0x1002):
        times = [m[0] for m in tag_messages if m[1] == tag]
        assert len(times) == 300
        assert statistics.mean(b - a for a, b in zip(times, times[1:])) == pytest.approx(0.1)
    assert {m[1] for m in messages if m[2]} == anchors
    for _, src, is_anchor, reports in messages:
        peers = {addr for addr, _ in reports}
        assert peers <= anchors - {src}
    times = [t for t, _ in default_sim.frames]
    assert times == sorted(times)
    assert len(default_sim.tracks) == 600
    # The tags stay inside the 20 m x 12 m hall.
    assert all(0 < x < 20 and 0 < y < 12 for _, _, x, y in default_sim.tracks)


def test_seed_fixes_the_capture():
    a, b, c = simulate(Scenario(seed=5)), simulate(Scenario(seed=5)), simulate(Scenario(seed=6))
    assert a.frames == b.frames and a.tracks == b.tracks
    assert a.frames != c.frames and a.tracks != c.tracks


def range_errors(scenario):
    """Measured minus true distance (m) of every report, and the number of
    reports that a complete capture would hold."""
    sim = simulate(scenario)
    anchors = {a: (x, y) for a, x, y in scenario.anchors}
    truth = {(t, tag): (x, y) for t, tag, x, y in sim.tracks}
    errors, expected = [], 0
    for time, src, is_anchor, reports in decoded(sim):
        here = anchors[src] if is_anchor else truth[(time, src)]
        expected += len(anchors) - (1 if is_anchor else 0)
        for addr, raw in reports:
            errors.append(raw * scenario.unit - math.dist(here, anchors[addr]))
    return errors, expected


@pytest.mark.parametrize("unit", [0.01, 0.001])
def test_gaussian_noise_in_the_given_unit(unit):
    errors, expected = range_errors(Scenario(sigma=0.05, dropout=0.0, nlos=0.0, unit=unit,
                                             duration=10.0))
    assert len(errors) == expected
    assert statistics.mean(errors) == pytest.approx(0.0, abs=0.005)
    # Rounding to the unit adds unit^2/12 to the variance.
    assert statistics.pstdev(errors) == pytest.approx(math.hypot(0.05, unit / math.sqrt(12)),
                                                      rel=0.05)


def test_dropouts_and_outliers():
    errors, expected = range_errors(Scenario(sigma=0.0, dropout=0.2, nlos=0.1,
                                             nlos_excess=(0.5, 1.0), duration=10.0))
    assert len(errors) / expected == pytest.approx(0.8, abs=0.03)
    outliers = [e for e in errors if abs(e) > 0.01]
    assert len(outliers) / len(errors) == pytest.approx(0.1, abs=0.02)
    # Non-line-of-sight only ever lengthens a range, by the configured excess.
    assert all(0.5 - 0.006 <= e <= 1.0 + 0.006 for e in outliers)


@pytest.mark.parametrize("changes, message", [
    (dict(anchors=DEFAULT_ANCHORS[:2]), "at least 3 anchors"),
    (dict(tags=(0x0A01,)), "must all differ"),
    (dict(tags=(0x10000,)), "16 bits"),
    (dict(dropout=1.0), "probability"),
    (dict(nlos=-0.1), "probability"),
    (dict(sigma=-0.01), "must not be negative"),
    (dict(rate=0), "must be positive"),
    (dict(unit=0.0001), "16-bit distance"),
    (dict(hall=(2.0, 12.0)), "no room"),
    (dict(nlos_excess=(1.0, 0.5)), "nlos_excess"),
])
def test_invalid_scenario(changes, message):
    with pytest.raises(ValueError, match=message):
        Scenario(**changes)


def test_bundled_sample_is_regenerated_by_its_source_line(tmp_path):
    """examples/ holds exactly what the command in the sample's own source
    line makes, so a change to the simulator or its options cannot leave a
    stale sample behind."""
    sample = EXAMPLES / "hall.qzcap"
    source = capture.read_metadata(sample.read_text().splitlines())["source"]
    words = shlex.split(source)
    assert words[:2] == ["qz-host", "simulate"]
    path = tmp_path / "hall.qzcap"
    assert cli.main(["simulate", str(path), *words[2:]], out=io.StringIO()) == 0
    for name in ("hall.qzcap", "hall.anchors.csv", "hall.tracks.csv"):
        assert (EXAMPLES / name).read_text() == (tmp_path / name).read_text(), name
    assert sum((EXAMPLES / n).stat().st_size for n in
               ("hall.qzcap", "hall.anchors.csv", "hall.tracks.csv")) < 300_000


def test_library_source_line_names_every_field():
    scenario = Scenario(duration=0.5, tags=(0x1001,), heartbeat_period=2.0)
    source = simulate(scenario).metadata["source"]
    assert source.startswith("qz_host.simulate.Scenario(")
    assert eval(source[len("qz_host.simulate."):], {"Scenario": Scenario}) == scenario
