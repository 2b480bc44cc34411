"""The simulator's range errors: device offsets, heights, heavy-tailed
non-line-of-sight excess, short bursts, and captures with many tags."""

import math
import statistics
from collections import defaultdict

import pytest

from qz_host import frames, messages
from qz_host.simulate import (DEFAULT_ANCHORS, NO_OFFSETS, SHORT_BURST, SHORT_MAX, SHORT_MIN,
                              Scenario, draw_offsets, simulate)

from test_host_simulate import decoded, pair_errors

QUIET = dict(sigma=0.0, dropout=0.0, nlos=0.0, duration=5.0)


def test_offsets_are_drawn_per_device_and_add_per_pair():
    scenario = Scenario(**QUIET)
    errors, sim = pair_errors(scenario)
    for _, src, peer, error in errors:
        # Rounding to the centimetre is all that is left.
        assert error == pytest.approx(sim.offsets[src] + sim.offsets[peer], abs=0.0051)
    anchors = [a for a, _, _ in DEFAULT_ANCHORS]
    assert set(sim.offsets) == set(anchors) | set(scenario.tags)
    # Drawn from 0 to twice the scale (0.09 m), each device its own.
    assert all(0 <= o <= 0.18 for o in sim.offsets.values())
    assert len(set(sim.offsets.values())) == len(sim.offsets)


@pytest.mark.parametrize("changes, expected", [
    (NO_OFFSETS, lambda address, drawn: 0.0),
    (dict(anchor_offset=0.0), lambda address, drawn: 0.0 if address < 0x1000 else drawn),
    (dict(offsets=((0x0A02, -0.05), (0x1002, 0.4))),
     lambda address, drawn: {0x0A02: -0.05, 0x1002: 0.4}.get(address, drawn)),
])
def test_offsets_can_be_switched_off_or_fixed(changes, expected):
    drawn = draw_offsets(Scenario())
    offsets = simulate(Scenario(**dict(QUIET, **changes))).offsets
    assert offsets == {a: expected(a, o) for a, o in drawn.items()}


def test_offsets_leave_every_other_draw_alone():
    """Only the offsets differ: noise, dropouts and tracks are the same."""
    plain = Scenario(duration=5.0, **NO_OFFSETS)
    with_offsets = Scenario(duration=5.0)
    assert simulate(plain).tracks == simulate(with_offsets).tracks
    first, _ = pair_errors(plain)
    second, sim = pair_errors(with_offsets, offsets=True)
    assert [k[:3] for k in first] == [k[:3] for k in second]
    assert [a[3] for a in first] == pytest.approx([b[3] for b in second], abs=0.0101)


def test_ranges_are_three_dimensional():
    anchors = tuple(spec + (0.5 if k % 2 else 2.5,) for k, spec in enumerate(DEFAULT_ANCHORS))
    scenario = Scenario(anchors=anchors, tag_height=1.2, tag_heights=((0x1002, 0.3),),
                        **QUIET, **NO_OFFSETS)
    errors, sim = pair_errors(scenario)
    assert sim.heights == {0x1001: 1.2, 0x1002: 0.3}
    assert sim.anchors[0x0A02] == (10.0, 0.3, 0.5)
    assert max(abs(e) for *_, e in errors) <= 0.0051


def test_exponential_excess_is_heavy_tailed():
    errors, _ = range_errors_of(Scenario(sigma=0.0, dropout=0.0, nlos=0.2, duration=20.0,
                                         nlos_model="exponential", nlos_scale=0.4,
                                         **NO_OFFSETS))
    excess = [e for e in errors if e > 0.006]
    assert len(excess) / len(errors) == pytest.approx(0.2, abs=0.02)
    assert min(errors) >= -0.0051  # only ever longer
    assert statistics.mean(excess) == pytest.approx(0.4, rel=0.1)
    # The uniform model stops at 5/3 of the scale; the exponential does not.
    assert sum(e > 5 / 3 * 0.4 for e in excess) / len(excess) == pytest.approx(
        math.exp(-5 / 3), abs=0.03)


def range_errors_of(scenario):
    errors, sim = pair_errors(scenario)
    return [e for *_, e in errors], sim


def test_short_outliers_come_in_bursts_on_one_anchor_at_a_time():
    scenario = Scenario(sigma=0.0, dropout=0.0, nlos=0.0, duration=300.0, rate=5.0,
                        short=0.005, **NO_OFFSETS)
    errors, sim = pair_errors(scenario)
    tags = [(t, peer, e) for t, src, peer, e in errors if src >= 0x1000]
    short = [(t, peer, e) for t, peer, e in tags if e < -0.006]
    assert len(short) / len(tags) == pytest.approx(0.005, rel=0.2)
    assert all(-SHORT_MAX - 0.006 <= e <= -SHORT_MIN + 0.006 for _, _, e in short)
    assert min(e for *_, e in short) < -3.0
    # Anchors' ranges of one another are left alone.
    assert all(abs(e) <= 0.0051 for t, src, _, e in errors if src < 0x1000)
    # Short ranges close in time concern one anchor.
    by_time = sorted(short)
    for (t0, a0, _), (t1, a1, _) in zip(by_time, by_time[1:]):
        if t1 - t0 < SHORT_BURST / 2:
            assert a0 == a1
    per_anchor = defaultdict(int)
    for _, peer, _ in short:
        per_anchor[peer] += 1
    assert len(per_anchor) > 1


@pytest.mark.parametrize("tags", [251, 300])
def test_many_tags(tags):
    """More devices than the message's one-byte slot number counts."""
    scenario = Scenario(tags=tuple(range(0x1001, 0x1001 + tags)), duration=0.2,
                        survey_rounds=1)
    sim = simulate(scenario)
    sources = {src for _, src, anchor, _ in decoded(sim) if not anchor}
    assert sources == set(scenario.tags)
    assert messages.decode(*sim.frames[-1], frames.fcs).src in sources
