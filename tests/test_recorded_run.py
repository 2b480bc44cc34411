"""The tracker on the recorded run of examples/ (real radios, motion-capture
truth): its accuracy must not regress, and the calibration must find the
offsets that the run's ranges hold."""
import math
import pathlib
import random
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "benchmarks"))
import recorded_run  # noqa: E402
from qz_host.calibration import CalibrationError, Sample, calibrate  # noqa: E402


@pytest.fixture(scope="module")
def run():
    return recorded_run.load()


@pytest.fixture(scope="module")
def plain(run):
    return recorded_run.least_squares(run)


def test_cold_start_with_default_options(run, plain):
    """No calibration, the noise estimated: 0.064 m when this was written
    (0.263 m before the offsets were learned)."""
    cold = recorded_run.track(run)
    assert cold.rms < 0.068 and cold.worst < 0.3
    assert cold.rejected < 0.01
    assert all(cold.tags[t] < 0.6 * plain.tags[t] for t in plain.tags)


def test_calibrated_on_one_part_scored_on_the_other(run):
    offsets, tag_offsets, result = recorded_run.calibrated(run)
    tags = {t: (None, v) for t, v in tag_offsets.items()}
    causal = recorded_run.track(run, start=recorded_run.SPLIT, anchor_offsets=offsets, tags=tags)
    smoothed = recorded_run.track(run, start=recorded_run.SPLIT, smooth=True,
                                  anchor_offsets=offsets, tags=tags)
    assert causal.rms < 0.061 and smoothed.rms < 0.058
    # the white spread the run's description gives, 0.066 m
    assert result.after[0] == pytest.approx(0.066, abs=0.006)
    assert result.before[1] > 0.15 > 0.1 > result.after[1]


def test_the_calibration_agrees_across_the_run(run):
    """Offsets are stable: the two parts of the run give the same pair sums."""
    first = recorded_run.calibrated(run, before=recorded_run.SPLIT)[2]
    later = [m for m in run.messages if m[1] >= recorded_run.SPLIT]
    samples = recorded_run.samples_from_tracks(later, run.truth, {},
                                               default_height=recorded_run.TAG_HEIGHT)
    second = calibrate(samples, run.anchors)
    for tag in first.tags:
        for (a, _), (b, _) in zip(first.anchors, second.anchors):
            assert a + first.tags[tag][0] == pytest.approx(b + second.tags[tag][0], abs=0.03)
    assert all(0 < sd < 0.01 for _, sd in first.anchors + list(first.tags.values()))


ANCHORS = [(0.0, 0.0, 2.0), (10.0, 0.0, 2.0), (10.0, 8.0, 1.0), (0.0, 8.0, 1.0), (5.0, 9.0, 2.5)]


def synthetic(rng, anchor_offsets, tag_offsets, count=400, outliers=0.0):
    samples = []
    for k in range(count):
        tag = list(tag_offsets)[k % len(tag_offsets)]
        where = (rng.uniform(1, 9), rng.uniform(1, 7), 1.2)
        distances = [math.dist(where, a) + b + tag_offsets[tag] + rng.gauss(0, 0.03)
                     + (rng.uniform(0.5, 3.0) if rng.random() < outliers else 0.0)
                     for a, b in zip(ANCHORS, anchor_offsets)]
        samples.append(Sample(tag, where, distances))
    return samples


@pytest.mark.parametrize("outliers", [0.0, 0.05])
def test_calibration_finds_the_offsets_despite_outliers(outliers):
    anchor_offsets = [0.1, -0.05, 0.2, 0.0, -0.25]
    tag_offsets = {0x1001: 0.3, 0x1002: 0.1}
    shift = sum(anchor_offsets) / len(anchor_offsets)  # the anchors' mean goes to the tags
    result = calibrate(synthetic(random.Random(3), anchor_offsets, tag_offsets,
                                 outliers=outliers), ANCHORS)
    assert [v for v, _ in result.anchors] == pytest.approx([b - shift for b in anchor_offsets],
                                                           abs=0.01)
    assert {t: v for t, (v, _) in result.tags.items()} == pytest.approx(
        {t: c + shift for t, c in tag_offsets.items()}, abs=0.01)
    assert result.after[0] == pytest.approx(0.03, rel=0.15)
    assert all(0 < sd < 0.01 for _, sd in result.anchors)


@pytest.mark.parametrize("samples, message", [
    ([], "no ranges with truth"),
    ([Sample(1, (1.0, 1.0, 0.0), [3.0, 4.0, 0.0, 5.0, 2.0])], "anchor\\(s\\) 2"),
    ([Sample(1, (1.0, 1.0, 0.0), [3.0, 4.0])], "2 distances for 5 anchors"),
])
def test_calibration_refuses_what_cannot_fix_the_offsets(samples, message):
    with pytest.raises(CalibrationError, match=message):
        calibrate(samples, ANCHORS)
