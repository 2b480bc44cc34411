"""Fixes with their quality figures: DOP of the anchors used, residual sd,
which ranges were used and which rejected."""

import math
import random

import numpy as np
import pytest

from qz_host.web.trackfix import TrackFixTracker, dilution

ANCHORS = [(0.0, 0.0), (10.0, 0.3), (19.5, 0.5), (19.5, 11.5), (10.0, 11.7), (0.5, 11.5)]


def ranges(point, anchors=ANCHORS):
    return [math.dist(point, a) for a in anchors]


def reference_dop(point, anchors):
    g = np.array([(np.subtract(point, a)) / math.dist(point, a) for a in anchors])
    return math.sqrt(np.trace(np.linalg.inv(g.T @ g)))


class TestDilution:
    @pytest.mark.parametrize("point", [(5.0, 5.0), (10.0, 6.0), (18.0, 1.0), (30.0, -4.0)])
    @pytest.mark.parametrize("count", [3, 4, 6])
    def test_against_numpy(self, point, count):
        anchors = ANCHORS[:count]
        assert dilution(point, anchors) == pytest.approx(reference_dop(point, anchors), rel=1e-9)

    def test_anchors_on_one_line_through_the_tag(self):
        assert dilution((5.0, 0.0), [(0.0, 0.0), (10.0, 0.0), (20.0, 0.0)]) == math.inf

    def test_anchor_at_the_fix_is_left_out(self):
        three = [(0.0, 0.0), (10.0, 0.0), (0.0, 10.0)]
        assert dilution((0.0, 0.0), three) == pytest.approx(math.sqrt(2))  # two at right angles
        assert dilution((2.0, 3.0), three + [(2.0, 3.0)]) == dilution((2.0, 3.0), three)


class TestTracker:
    def test_fix_with_every_anchor_used(self):
        tracker = TrackFixTracker(ANCHORS)
        fix = tracker.update(0x1001, 2.5, ranges((7.0, 4.0)))
        assert (fix.tag, fix.time, fix.used, fix.rejected) == (0x1001, 2.5, (0, 1, 2, 3, 4, 5), 0)
        assert (fix.x, fix.y) == pytest.approx((7.0, 4.0), abs=0.05)
        assert fix.dop == pytest.approx(reference_dop((fix.x, fix.y), ANCHORS), rel=1e-9)
        assert fix.sd < 0.05

    def test_residual_sd_follows_the_noise(self):
        rng = random.Random(3)
        tracker = TrackFixTracker(ANCHORS)
        point = (9.0, 6.0)
        for _ in range(5):  # let the tracker settle on the point
            tracker.update(1, 0.0, ranges(point))
        sds = []
        for _ in range(200):
            fix = tracker.update(1, 0.0, [d + rng.gauss(0, 0.05) for d in ranges(point)])
            sds.append(fix.sd)
        # sd of the position ~ ranging sd x DOP (about 0.05 x 0.85 here).
        assert 0.02 < float(np.median(sds)) < 0.08

    def test_sd_is_rms_residual_times_dop(self):
        tracker = TrackFixTracker(ANCHORS[:4])
        measured = [d + e for d, e in zip(ranges((6.0, 5.0), ANCHORS[:4]), (0.1, -0.05, 0.0, 0.08))]
        fix = tracker.update(7, 0.0, measured)
        residuals = [d - math.dist((fix.x, fix.y), a) for d, a in zip(measured, ANCHORS[:4])]
        expected = math.sqrt(sum(r * r for r in residuals) / 2) * fix.dop
        assert fix.sd == pytest.approx(expected, rel=1e-9)

    def test_outlier_rejected_and_not_used(self):
        tracker = TrackFixTracker(ANCHORS)
        tracker.update(1, 0.0, ranges((8.0, 5.0)))
        measured = ranges((8.0, 5.0))
        measured[3] += 1.5  # non-line-of-sight: too long
        fix = tracker.update(1, 0.1, measured)
        assert fix.rejected == 1 and fix.used == (0, 1, 2, 4, 5)
        assert (fix.x, fix.y) == pytest.approx((8.0, 5.0), abs=0.1)
        assert tracker.rejected == {1: 1}

    @pytest.mark.parametrize("missing", [(0, 1, 2, 3), (1, 2, 3, 4), (0, 1, 2, 3, 4, 5)])
    def test_too_few_ranges(self, missing):
        measured = [0.0 if i in missing else d for i, d in enumerate(ranges((5.0, 5.0)))]
        assert TrackFixTracker(ANCHORS).update(1, 0.0, measured) is None

    def test_short_and_missing_ranges_not_used(self):
        measured = ranges((5.0, 5.0))
        measured[1] = 0.0
        measured[4] = 0.1  # below what the engine measures
        fix = TrackFixTracker(ANCHORS).update(1, 0.0, measured)
        assert fix.used == (0, 2, 3, 5)

    def test_three_ranges_give_a_figure_on_one_degree_of_freedom(self):
        fix = TrackFixTracker(ANCHORS[:3]).update(1, 0.0, ranges((9.0, 5.0), ANCHORS[:3]))
        assert math.isfinite(fix.sd) and math.isfinite(fix.dop)
