"""qz_host.tracking: the Tracker (per-tag filters seeded by engine fits),
the per-fix outlier search, layout checks and the mirror-aware evaluation."""
import math
import random

import pytest

from qz_host.evaluate import FrameMap, evaluate, fit_frame
from qz_host.geometry import layout_problem
from qz_host.replay import replay
from qz_host.simulate import DEFAULT_ANCHORS, NO_OFFSETS, Scenario, simulate, wall_anchors
from qz_host.survey import Survey
from qz_host import tracking
from qz_host.tracking import Acquisition, TagSetup, Tracker, TrackFix, range_noise

HALL = [(x, y) for _, x, y in DEFAULT_ANCHORS]


def exact(point, anchors=HALL):
    return [math.dist(point, a) for a in anchors]


class TestAcquisition:
    @pytest.mark.parametrize("outliers", [(0, 3), (1, 4), (2, 5)])
    def test_two_outliers_of_six_are_both_dropped(self, outliers):
        truth = (7.0, 4.0)
        distances = exact(truth)
        for i, excess in zip(outliers, (0.9, 0.6)):
            distances[i] += excess
        fit = Acquisition(HALL).fit(distances)
        assert fit.dropped == 2
        assert set(fit.used) == set(range(6)) - set(outliers)
        assert math.dist((fit.x, fit.y), truth) < 0.01

    def test_noise_alone_drops_nothing(self):
        rng = random.Random(4)
        dropped = 0
        for _ in range(50):
            truth = (rng.uniform(2, 18), rng.uniform(2, 10))
            fit = Acquisition(HALL).fit([d + rng.gauss(0, 0.05) for d in exact(truth)])
            dropped += fit.dropped
        assert dropped <= 1

    @pytest.mark.parametrize("bad", [math.nan, math.inf, -2.0])
    def test_unusable_distances_are_dropped(self, bad):
        distances = exact((5.0, 5.0))
        distances[2] = bad
        fit = Acquisition(HALL).fit(distances)
        assert 2 not in fit.used and fit.dropped == 1


class TestTracker:
    def walk(self, tracker, start=0.0, count=20, tag=1, step=(0.1, 0.0), origin=(5.0, 5.0)):
        fixes = []
        for k in range(count):
            truth = (origin[0] + step[0] * k, origin[1] + step[1] * k)
            fixes.append(tracker.update(tag, start + 0.1 * k, exact(truth, tracker.anchors)))
        return fixes

    def test_fixes_follow_the_interface(self):
        tracker = Tracker(HALL, sigma=0.05, learn_offsets=False)
        fix = tracker.update(3, 1.5, exact((6.0, 7.0)))
        assert isinstance(fix, TrackFix)
        assert (fix.time, fix.tag, fix.used, fix.rejected) == (1.5, 3, (0, 1, 2, 3, 4, 5), 0)
        assert math.dist((fix.x, fix.y), (6.0, 7.0)) < 1e-6
        assert 0 < fix.sd < 0.1 and 0 < fix.dop < 2
        with pytest.raises(AttributeError):
            fix.x = 0.0  # frozen

    def test_gap_reacquires_through_the_engine(self):
        tracker = Tracker(HALL, max_gap=2.0)
        self.walk(tracker)
        assert tracker.seeds == {1: 1}
        fixes = self.walk(tracker, start=10.0, origin=(15.0, 8.0))
        assert tracker.seeds == {1: 2}
        assert math.dist((fixes[0].x, fixes[0].y), (15.0, 8.0)) < 1e-3

    def test_outlier_on_a_tracked_tag_is_rejected_and_counted(self):
        tracker = Tracker(HALL)
        self.walk(tracker, step=(0.0, 0.0))
        distances = exact((5.0, 5.0))
        distances[4] += 1.0
        fix = tracker.update(1, 2.0, distances)
        assert fix.rejected == 1 and 4 not in fix.used
        assert tracker.rejected == {1: 1}

    def test_new_anchors_reseed_every_tag(self):
        tracker = Tracker(HALL)
        self.walk(tracker, tag=1)
        self.walk(tracker, tag=2)
        moved = [(x + 3.0, y - 1.0) for x, y in HALL]
        tracker.set_anchors(moved)
        fix = tracker.update(1, 5.0, exact((9.0, 6.0), moved))
        tracker.update(2, 5.0, exact((9.0, 6.0), moved))
        assert tracker.seeds == {1: 2, 2: 2}
        assert math.dist((fix.x, fix.y), (9.0, 6.0)) < 1e-3

    def test_tags_are_independent(self):
        tracker = Tracker(HALL)
        a = self.walk(tracker, tag=1, origin=(4.0, 4.0))
        b = self.walk(tracker, tag=2, origin=(14.0, 8.0))
        assert all(math.dist((f.x, f.y), (4.0 + 0.1 * k, 4.0)) < 0.02 for k, f in enumerate(a))
        assert all(math.dist((f.x, f.y), (14.0 + 0.1 * k, 8.0)) < 0.02 for k, f in enumerate(b))

    def test_too_few_ranges_to_start(self):
        tracker = Tracker(HALL)
        assert tracker.update(1, 0.0, exact((5.0, 5.0))[:2] + [0.0] * 4) is None
        assert 1 not in tracker.seeds

    @pytest.mark.parametrize("time, distances", [
        (math.nan, exact((5.0, 5.0))), (-1.0, exact((5.0, 5.0))), (1.0, [5.0] * 5)])
    def test_bad_input_raises_value_error(self, time, distances):
        with pytest.raises(ValueError):
            Tracker(HALL).update(1, time, distances)

    def test_time_going_backwards(self):
        tracker = Tracker(HALL)
        tracker.update(1, 2.0, exact((5.0, 5.0)))
        with pytest.raises(ValueError, match="backwards"):
            tracker.update(1, 1.0, exact((5.0, 5.0)))

    def test_smoothed_keeps_order_and_reduces_error(self):
        rng = random.Random(8)
        tracker = Tracker(HALL, history=True)
        truths, fixes = [], []
        for k in range(200):
            for tag, origin in ((1, (3.0, 3.0)), (2, (15.0, 9.0))):
                truth = (origin[0] + 0.05 * k * (1 if tag == 1 else -1), origin[1])
                truths.append(truth)
                fixes.append(tracker.update(tag, 0.1 * k + 0.01 * tag,
                                            [d + rng.gauss(0, 0.05) for d in exact(truth)]))
        smoothed = tracker.smoothed()
        assert [(f.tag, f.time) for f in smoothed] == [(f.tag, f.time) for f in fixes]

        def rms(track):
            return math.sqrt(sum(math.dist((f.x, f.y), t) ** 2
                                 for f, t in zip(track, truths)) / len(truths))

        assert rms(smoothed) < 0.8 * rms(fixes)


@pytest.mark.parametrize("long", [(1, 2), (0, 3), (2, 5)])
def test_a_good_range_is_not_left_out_for_a_long_one_between_slow_updates(long):
    # A second between messages widens every gate; a message with one
    # range missing and a long one beside the range left out must still
    # not pull the fix towards the long ranges.
    rng = random.Random(3)
    tracker = Tracker(HALL, sigma=0.05, learn_offsets=False)
    for k in range(12):
        truth = (2.0 + k, 6.0)
        tracker.update(1, float(k), [d + rng.gauss(0, 0.03) for d in exact(truth)])
    truth = (14.0, 6.0)
    distances = exact(truth)
    missing = next(i for i in range(6) if i not in long)
    distances[missing] = 0.0
    distances[long[0]] += 0.8
    distances[long[1]] += 0.6
    fix = tracker.update(1, 12.0, distances)
    assert math.dist((fix.x, fix.y), truth) < 0.15


class TestOffsetsAndHeights:
    """Ranges in three dimensions, with offsets given, learned and read back."""

    ANCHORS3 = [(x, y, 0.5 if k % 2 else 2.5) for k, (x, y) in enumerate(HALL)]

    def ranges3(self, point, height, anchors=ANCHORS3, offsets=None, tag_offset=0.0):
        offsets = offsets or [0.0] * len(anchors)
        return [math.sqrt(math.dist(point, a[:2]) ** 2 + (a[2] - height) ** 2) + b + tag_offset
                for a, b in zip(anchors, offsets)]

    def test_each_tag_at_its_own_height(self):
        tracker = Tracker(self.ANCHORS3, sigma=0.05, tags={1: (1.2, None), 2: TagSetup(0.3)},
                          learn_offsets=False)
        for tag, height in ((1, 1.2), (2, 0.3)):
            for k in range(10):
                point = (6.0 + 0.1 * k, 5.0)
                fix = tracker.update(tag, 0.1 * k, self.ranges3(point, height))
                assert math.dist((fix.x, fix.y), point) < 0.01 and fix.rejected == 0
        assert tracker.anchors == HALL and tracker.anchor_heights == [2.5, 0.5] * 3

    def test_a_wrong_height_misplaces_the_tag(self):
        tracker = Tracker(self.ANCHORS3, sigma=0.05, learn_offsets=False)  # height 0
        fix = tracker.update(1, 0.0, self.ranges3((3.0, 3.0), 1.2))
        assert math.dist((fix.x, fix.y), (3.0, 3.0)) > 0.05

    def test_given_offsets_are_subtracted_from_the_first_fix_on(self):
        offsets = [0.1, 0.2, -0.1, 0.15, 0.05, 0.3]
        tracker = Tracker(HALL, sigma=0.05, anchor_offsets=offsets, tags={7: (None, 0.2)})
        for k in range(10):
            point = (8.0 + 0.1 * k, 4.0)
            fix = tracker.update(
                7, 0.1 * k, self.ranges3(point, 0.0, [(x, y, 0.0) for x, y in HALL], offsets, 0.2)
            )
            assert math.dist((fix.x, fix.y), point) < 0.01 and fix.rejected == 0
        assert [v for v, _ in tracker.anchor_offsets()] == pytest.approx(offsets, abs=1e-3)
        assert tracker.tag_offsets()[7][0] == pytest.approx(0.2, abs=1e-3)

    def test_offsets_learned_are_read_back(self):
        rng = random.Random(12)
        offsets = [0.1, 0.2, -0.1, 0.15, 0.05, 0.3]
        tracker = Tracker(HALL)
        assert (
            tracker.sigma_estimated
            and tracker.anchor_offsets() == [(0.0, tracking.ANCHOR_OFFSET_SD)] * 6
        )
        here, heading = (6.0, 6.0), 0.0
        for k in range(1500):
            if k % 40 == 0:
                heading = rng.uniform(0, 2 * math.pi)
            step = (0.1 * math.cos(heading), 0.1 * math.sin(heading))
            if not (2 < here[0] + step[0] < 18 and 2 < here[1] + step[1] < 10):
                heading += math.pi
                step = (-step[0], -step[1])
            here = (here[0] + step[0], here[1] + step[1])
            d = self.ranges3(here, 0.0, [(x, y, 0.0) for x, y in HALL], offsets, 0.25)
            tracker.update(3, 0.1 * k, [v + rng.gauss(0, 0.05) for v in d])
        (tag_offset, tag_sd), = tracker.tag_offsets().values()
        pairs = [v + tag_offset for v, _ in tracker.anchor_offsets()]
        assert pairs == pytest.approx([b + 0.25 for b in offsets], abs=0.03)
        assert 0 < tag_sd < 0.2 and tracker.sigma == pytest.approx(0.05, rel=0.15)
        assert sum(tracker.rejected.values()) < 0.01 * 1500 * 6

    def test_unknown_offsets_are_honest_in_the_first_fix(self):
        learning = Tracker(HALL, sigma=0.05).update(3, 1.5, exact((6.0, 7.0)))
        fixed = Tracker(HALL, sigma=0.05, learn_offsets=False).update(3, 1.5, exact((6.0, 7.0)))
        assert fixed.sd < learning.sd < 0.3

    @pytest.mark.parametrize("kwargs, message", [
        (dict(anchor_offsets=[0.1] * 5), "5 anchor offsets for 6 anchors"),
        (dict(tags={1: 0.5}), "a tag's setup is"),
        (dict(tags={1: (1.0, 2.0, 3.0)}), "a tag's setup is"),
        (dict(sigma=0.0), "sigma"),
        (dict(height=math.nan), "height"),
    ])
    def test_bad_settings(self, kwargs, message):
        with pytest.raises(ValueError, match=message):
            tracker = Tracker(HALL, **kwargs)
            tracker.update(1, 0.0, exact((5.0, 5.0)))

    def test_a_restart_starts_a_smoothing_segment(self):
        tracker = Tracker(HALL, sigma=0.05, learn_offsets=False, history=True)
        for k in range(10):
            tracker.update(1, 0.1 * k, exact((5.0, 5.0)))
        fix = tracker.update(1, 1.0, exact((7.0, 5.0)))  # consistent, and far
        assert tracker.started and tracker.filter(1).restarted
        assert math.dist((fix.x, fix.y), (7.0, 5.0)) < 1e-3
        smoothed = tracker.smoothed()
        assert math.dist((smoothed[9].x, smoothed[9].y), (5.0, 5.0)) < 0.01


@pytest.mark.parametrize("positions, problem", [
    (HALL, None),
    ([(0, 0), (10, 0), (20, 0.3), (30, -0.2)], "one line"),
    ([(0, 0), (0.05, 0), (0, 0.02), (10, 10)], "2 distinct places"),
    ([(0, 0), (10, 0), (0, 10), (0.01, 0.0)], None),
])
def test_layout_problem(positions, problem):
    found = layout_problem(positions)
    assert (found is None) if problem is None else (problem in found)


def test_nearly_collinear_layout_is_not_tracked():
    anchors = ((0x0A01, 1.0, 6.0), (0x0A02, 7.0, 6.1), (0x0A03, 13.0, 5.9), (0x0A04, 19.0, 6.05))
    result = replay(
        capture_lines(simulate(Scenario(anchors=anchors, duration=2.0, nlos=0.0, **NO_OFFSETS)))
    )
    assert result.survey is not None and "one line" in result.layout_error
    assert not result.fixes


def capture_lines(sim):
    from qz_host import capture
    return ([f"# {k}: {v}" for k, v in sim.metadata.items()]
            + [capture.format_line(t, f) for t, f in sim.frames])


@pytest.mark.parametrize("mirrored", [False, True])
@pytest.mark.parametrize(
    "angle, shift", [(0.0, (0.0, 0.0)), (2.0, (5.0, -3.0)), (-0.7, (-40.0, 2.0))]
)
def test_fit_frame_recovers_rotation_shift_and_mirror(mirrored, angle, shift):
    truth = [(0.0, 0.0), (10.0, 1.0), (9.0, 8.0), (1.0, 11.0)]
    frame = FrameMap(math.cos(angle), math.sin(angle), mirrored, shift)
    surveyed = [frame(*p) for p in truth]
    found = fit_frame(truth, surveyed, mirrored)
    assert all(math.dist(found(*p), q) < 1e-9 for p, q in zip(truth, surveyed))


def test_evaluation_in_a_nearly_collinear_layout_takes_the_right_mirror():
    """Anchors that barely leave a line cannot tell the truth from its mirror
    image; the tracks decide, so tracks that match are scored as matching."""
    anchors = {1: (0.0, 0.0, 0.0), 2: (10.0, 0.0, 0.0), 3: (20.0, 0.05, 0.0)}
    tracks = {7: [(float(t), 5.0 + t, 4.0) for t in range(10)]}
    survey = Survey([1, 2, 3], [(0.0, 0.0), (10.0, 0.0), (20.0, 0.0)], [], [])
    fixes = [TrackFix(float(t), 7, 5.0 + t, -4.0, 0.05, 1.0, (0, 1, 2), 0) for t in range(10)]

    class Result:
        pass

    result = Result()
    result.survey, result.fixes = survey, fixes
    evaluation = evaluate(result, anchors, tracks)
    assert evaluation.frame.mirrored
    assert max(evaluation.fix_errors) < 0.1


@pytest.mark.parametrize("count", range(4, 16))
def test_wall_anchors(count):
    anchors = wall_anchors(count)
    assert len(anchors) == count == len({a for a, _, _ in anchors})
    assert layout_problem([(x, y) for _, x, y in anchors]) is None
    for _, x, y in anchors:
        assert 0 < x < 20 and 0 < y < 12 and (min(x, 20 - x) <= 0.5 or min(y, 12 - y) <= 0.5)
    if count == 6:
        assert anchors == DEFAULT_ANCHORS


@pytest.mark.parametrize("count", [3, 16])
def test_wall_anchors_out_of_range(count):
    with pytest.raises(ValueError):
        wall_anchors(count)


@pytest.mark.parametrize("sigma, unit", [(0.02, 0.01), (0.05, 0.01), (0.15, 0.01), (0.05, 0.001)])
def test_range_noise_from_repeated_pairs(sigma, unit):
    rng = random.Random(2)
    samples = []
    for pair in range(15):
        d = 5.0 + pair
        samples.append(
            [
                round(
                    (
                        d
                        + rng.gauss(0, sigma)
                        + (rng.uniform(0.3, 1.5) if rng.random() < 0.05 else 0)
                    )
                    / unit
                )
                * unit
                for _ in range(60)
            ]
        )
    assert range_noise(samples) == pytest.approx(math.sqrt(sigma ** 2 + unit ** 2 / 12), rel=0.15)


def test_range_noise_needs_samples():
    assert range_noise([[1.0, 1.0]], default=0.07) == 0.07
    assert range_noise([[2.0] * 40], default=0.07) == 0.07


def cli_run(*args):
    import io

    from qz_host import cli
    out = io.StringIO()
    return cli.main(list(args), out=out), out.getvalue()


@pytest.mark.parametrize("count", ["3", "16", "six"])
def test_simulate_refuses_anchor_counts_outside_the_hall(count, capsys):
    from qz_host import cli
    with pytest.raises(SystemExit) as exit:
        cli.main(["simulate", "x.qzcap", "--anchors", count])
    assert exit.value.code == 2 and "--anchors" in capsys.readouterr().err


def test_simulate_anchors_and_replay_smooth(tmp_path):
    path = tmp_path / "eight.qzcap"
    code, text = cli_run("simulate", str(path), "--anchors", "8", "--duration", "5", "--nlos", "0")
    assert code == 0
    assert "--anchors 8" in path.read_text().splitlines()[3]
    code, causal = cli_run("replay", str(path))
    assert code == 0 and "Survey   8 anchors" in causal and "smoothed" not in causal
    csv_path = tmp_path / "smooth.csv"
    code, smoothed = cli_run("replay", str(path), "--smooth", "--csv", str(csv_path))
    assert code == 0 and "fixes, smoothed;" in smoothed
    rms = [float(line.split()[-3]) for line in (causal, smoothed)
           for line in line.splitlines() if line.startswith("  1001")]
    assert rms[1] < rms[0]
    assert csv_path.read_text().splitlines()[0].startswith("time,tag,x,y,sd,dop,used,")


def test_replay_of_a_collinear_layout_exits_1(tmp_path):
    from qz_host import capture
    anchors = ((0x0A01, 1.0, 6.0), (0x0A02, 7.0, 6.1), (0x0A03, 13.0, 5.9), (0x0A04, 19.0, 6.05))
    sim = simulate(Scenario(anchors=anchors, duration=2.0, nlos=0.0, **NO_OFFSETS))
    path = tmp_path / "line.qzcap"
    capture.write_capture(path, sim.frames, sim.metadata)
    code, text = cli_run("replay", str(path))
    assert code == 1 and "not tracked: the anchors lie nearly on one line" in text


def test_range_noise_of_a_long_session_looks_at_a_bounded_share():
    """A day's survey holds millions of samples of a pair; the estimate
    thins them evenly and still finds the noise."""
    import random
    import tracemalloc
    from array import array

    rng = random.Random(3)
    pair = array("d", (10.0 + rng.gauss(0.0, 0.05) for _ in range(200_000)))
    tracemalloc.start()
    try:
        estimate = range_noise([pair, pair])
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert estimate == pytest.approx(0.05, rel=0.08)
    assert peak < 2_000_000  # not 32 bytes for each of the 400,000 deviations
