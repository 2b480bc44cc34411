"""The anchors' range offsets solved with their positions by the survey."""

import math
import random

import pytest

from qz_host import survey, survey_offsets


def table_of(points, offsets, noise, samples, rng, skip=()):
    table = survey.DistanceTable()
    n = len(points)
    for i in range(n):
        for j in range(n):
            if i != j and (min(i, j), max(i, j)) not in skip:
                for _ in range(samples):
                    table.add(0x0A00 + i, 0x0A00 + j, math.dist(points[i], points[j])
                              + offsets[i] + offsets[j] + rng.gauss(0.0, noise))
    return table


def wall_layout(n, width=20.0, depth=12.0):
    """Anchors around the walls of a hall, as sites hang them."""
    per_side = [(k * width / (n // 2 - 1), 0.0) for k in range(n // 2)]
    far = [(width - k * width / (n - n // 2 - 1), depth) for k in range(n - n // 2)]
    return per_side + far


@pytest.mark.parametrize("n", [7, 8, 12])
def test_exact_ranges_give_the_offsets_exactly(n):
    rng = random.Random(n)
    points = [(rng.uniform(0, 20), rng.uniform(0, 12)) for _ in range(n)]
    offsets = [rng.uniform(0.1, 0.3) for _ in range(n)]
    result = survey.survey(table_of(points, offsets, 0.0, 1, rng))
    assert result.offsets == pytest.approx(offsets, abs=1e-6)
    assert "solved" in result.offsets_note and "not" not in result.offsets_note
    # The positions are the true layout in the survey's frame: distances agree.
    for i in range(n):
        for j in range(i + 1, n):
            assert math.dist(result.positions[i], result.positions[j]) == pytest.approx(
                math.dist(points[i], points[j]), abs=1e-6)


def test_noisy_ranges_give_the_offsets_within_their_uncertainty():
    rng = random.Random(7)
    points = wall_layout(10)
    offsets = [rng.uniform(0.1, 0.3) for _ in range(10)]
    result = survey.survey(table_of(points, offsets, 0.05, 400, rng))
    assert result.offsets is not None, result.offsets_note
    errors = [abs(a - b) for a, b in zip(result.offsets, offsets)]
    assert max(errors) < 0.03
    assert all(e < 4 * sd for e, sd in zip(errors, result.offset_sd))


@pytest.mark.parametrize("points, skip, why", [
    (wall_layout(6), (), "6 anchors, 7 needed"),
    (wall_layout(7), {(0, k) for k in range(1, 5)}, "17 pairs measured, 19 needed"),
    ([(float(k), 0.0) for k in range(8)], (), "cannot tell them from the positions"),
])
def test_unsolvable_layouts_say_why(points, skip, why):
    rng = random.Random(1)
    table = table_of(points, [0.2] * len(points), 0.01, 20, rng, skip)
    try:
        result = survey.survey(table)
    except survey.SurveyError:  # a line of anchors may not survey at all
        with pytest.raises(survey_offsets.OffsetsUnsolved, match=why):
            survey_offsets.solve(points, [[math.dist(p, q) for q in points] for p in points])
        return
    assert result.offsets is None and why in result.offsets_note


def test_a_layout_that_tells_too_little_is_not_applied():
    rng = random.Random(2)
    points = wall_layout(7)
    table = table_of(points, [0.2] * 7, 0.1, 3, rng)
    result = survey.survey(table)
    assert result.offsets is None and "tells them to" in result.offsets_note
