"""The accuracy benchmark's own yardsticks: the per-message least-squares
baseline and the bound, on captures whose answer is known."""

import importlib.util
import math
from dataclasses import replace
from pathlib import Path

import numpy as np
import pytest

from qz_host.replay import replay

pytest.importorskip("scipy")
_PATH = Path(__file__).resolve().parent.parent / "benchmarks" / "bench_tracking_accuracy.py"
_SPEC = importlib.util.spec_from_file_location("bench_tracking_accuracy", _PATH)
bench = importlib.util.module_from_spec(_SPEC)
_SPEC.loader.exec_module(bench)

QUIET = dict(sigma=0.0, nlos=0.0, dropout=0.0, duration=3.0)


def case(name):
    return next(c for c in bench.CASES if c.name == name)


@pytest.mark.parametrize("name", ["heights 0.5/2.5, tag 1.2", "anchors 1.3 above, told",
                                  "demo defaults"])
def test_least_squares_finds_noiseless_tags(name):
    """With every range exact but for the centimetre, each per-message fix
    lies within a few millimetres of the truth, heights and all."""
    c = case(name)
    sim = bench.simulate(replace(bench.BASE, **dict(c.changes, **QUIET)))
    lines = bench.lines_of(sim)
    tracker = {"height": bench.told_height(sim, c)} if c.heights else {}
    result = replay(lines, anchors=dict(sim.anchors) if c.known else None, **tracker)
    fixes = bench.least_squares_fixes(sim, c, result, bench.tag_messages(sim))
    errors, _ = bench.score(sim, result, fixes, [1.0] * len(fixes))
    assert len(errors) == len(sim.tracks)
    assert max(errors) < 0.02


def test_the_bound_is_of_three_dimensional_ranges():
    """A tag 1.3 m below every anchor: each range's planar part shrinks by
    the planar over the 3-D distance, so the bound grows by as much."""
    planar = bench.simulate(replace(bench.BASE, **dict(QUIET, sigma=0.05)))
    below = bench.simulate(replace(bench.BASE, **dict(QUIET, sigma=0.05), tag_height=-1.3))
    traces = [bench.bound_traces(sim, bench.tag_messages(sim),
                                 [bench.TrackFix(t, tag, x, y, 0, 0, (), 0)
                                  for t, tag, x, y in sim.tracks])
              for sim in (planar, below)]
    assert all(b > a for a, b in zip(*traces))
    t, tag, x, y = below.tracks[0]
    h = np.array([[x - ax, y - ay] / np.float64(math.dist((x, y, -1.3), (ax, ay, az)))
                  for ax, ay, az in below.anchors.values()])  # every anchor measured
    assert traces[1][0] == pytest.approx(
        (0.05 ** 2 + 0.01 ** 2 / 12) * np.trace(np.linalg.inv(h.T @ h)), rel=1e-9)
