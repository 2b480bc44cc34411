"""The site frame fitted to known anchors and points, and latitude and
longitude from a geographic reference."""

import math
import random
import statistics
from pathlib import Path

import pytest

from qz_host.geo import ControlPoint, GeoReference, Tangent, from_ecef, to_ecef
from qz_host.site_frame import FrameError, FrameSpec, SiteFrame, fit_site_frame

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
# Anchors as a survey has them: the first at the origin, the second on +x.
SURVEYED = {0x0A01: (0.0, 0.0), 0x0A02: (9.5, 0.0), 0x0A03: (19.0, 0.4),
            0x0A04: (18.8, 11.4), 0x0A05: (9.3, 11.4), 0x0A06: (-0.2, 11.0)}


def building(angle, shift, mirrored):
    """A map from survey to site coordinates."""
    c, s = math.cos(math.radians(angle)), math.sin(math.radians(angle))

    def move(x, y):
        if mirrored:
            y = -y
        return (c * x - s * y + shift[0], s * x + c * y + shift[1])
    return move


@pytest.mark.parametrize("mirrored", [False, True])
@pytest.mark.parametrize("known", [(0x0A01, 0x0A03, 0x0A05), tuple(SURVEYED)])
def test_three_or_more_anchors_fit_rotation_shift_and_mirror(known, mirrored):
    move = building(-63.0, (105.0, -40.0), mirrored)
    spec = FrameSpec("plant", {a: move(*SURVEYED[a]) for a in known})
    frame = fit_site_frame(spec, SURVEYED)
    assert frame.transform.mirrored is mirrored
    for x, y in [(3.0, 4.0), (-10.0, 25.0)]:
        assert frame(x, y) == pytest.approx(move(x, y), abs=1e-9)
    assert frame.rms < 1e-9 and set(frame.residuals) == {f"{a:04X}" for a in known}
    assert frame.warnings() == []
    assert frame.describe()["frame"] == "plant"
    assert frame.describe()["rotation_deg"] == pytest.approx(-63.0)


@pytest.mark.parametrize("mirrored", [False, True])
def test_two_anchors_take_the_handedness_from_a_rough_one(mirrored):
    move = building(90.0, (12.5, 4.5), mirrored)
    rough = move(*SURVEYED[0x0A04])
    spec = FrameSpec(known={a: move(*SURVEYED[a]) for a in (0x0A01, 0x0A02)},
                     rough={0x0A04: (rough[0] + 1.5, rough[1] - 1.0)})
    frame = fit_site_frame(spec, SURVEYED)
    assert frame.transform.mirrored is mirrored
    assert frame(*SURVEYED[0x0A05]) == pytest.approx(move(*SURVEYED[0x0A05]), abs=1e-9)
    # Or from the site's word for it.
    told = FrameSpec(known=spec.known, mirrored=mirrored)
    assert fit_site_frame(told, SURVEYED)(7.0, 7.0) == pytest.approx(move(7.0, 7.0), abs=1e-9)


@pytest.mark.parametrize("spec, anchors, message", [
    (FrameSpec(known={0x0A01: (0, 0), 0x0A02: (9.5, 0)}), SURVEYED,
     "cannot tell the survey from its mirror image"),
    (FrameSpec(known={0x0A01: (0, 0), 0x0A02: (9.5, 0)}, rough={0x0A03: (19, 0)}), SURVEYED,
     "lie too near the line of the known points"),
    (FrameSpec(known={0x0A01: (0, 0), 0x0A02: (9.5, 0)}, rough={0x0B01: (5, 5)}), SURVEYED,
     "cannot tell the survey from its mirror image"),
    (FrameSpec(known={0x0A01: (0, 0), 0x0B07: (1, 1), 0x0B08: (2, 2)}), SURVEYED,
     "needs two known points among the anchors tracked; not tracked: 0B07, 0B08"),
    (FrameSpec(known={0x0A01: (0, 0), 0x0A02: (1, 1)}, mirrored=False),
     {0x0A01: (2.0, 2.0), 0x0A02: (2.0, 2.0)}, "all stand at one tracked position"),
])
def test_frames_that_cannot_be_fitted(spec, anchors, message):
    with pytest.raises(FrameError, match=message):
        fit_site_frame(spec, anchors)


def test_points_known_in_both_frames_join_the_fit():
    move = building(30.0, (1.0, 2.0), False)
    spec = FrameSpec(known={0x0A01: move(0.0, 0.0)},
                     points=(((5.0, 5.0), move(5.0, 5.0)), ((2.0, 9.0), move(2.0, 9.0))))
    frame = fit_site_frame(spec, SURVEYED)
    assert set(frame.residuals) == {"0A01", "point 1", "point 2"}
    assert frame(9.5, 0.0) == pytest.approx(move(9.5, 0.0), abs=1e-9)


@pytest.mark.parametrize("error, warned", [(0.05, False), (0.3, True)])
def test_a_bad_known_position_warns(error, warned):
    move = building(0.0, (0.0, 0.0), False)
    known = {a: move(*SURVEYED[a]) for a in SURVEYED}
    x, y = known[0x0A04]
    known[0x0A04] = (x + error, y)
    frame = fit_site_frame(FrameSpec(known=known), SURVEYED)
    warnings = frame.warnings()
    assert bool(warnings) is warned
    if warned:
        assert "0A04 is" in warnings[0]
        assert max(frame.residuals, key=frame.residuals.get) == "0A04"


def test_without_known_points_the_frame_is_the_identity():
    frame = fit_site_frame(FrameSpec(), SURVEYED)
    assert frame.identity and frame(1.5, -2.0) == (1.5, -2.0) and frame.rms == 0.0
    assert frame.describe() == {"frame": "site", "rotation_deg": 0.0, "mirrored": False,
                                "shift": [0.0, 0.0]}
    assert frame.place(1.0, 2.0) == {"x": 1.0, "y": 2.0}


def test_the_bundled_capture_in_the_buildings_frame_and_zones():
    """The example site's two known anchors put the hall capture's fixes
    where the truth, moved into the building the same way, has them, and
    its zones see the visits the truth makes."""
    from qz_host import capture
    from qz_host.evaluate import evaluate, interpolate
    from qz_host.replay import replay
    from qz_host.site_file import read_site
    from qz_host.site_stage import SiteStage
    from qz_host.zone_evaluation import score, zone_events

    site = read_site(EXAMPLES / "hall.site.toml").site
    result = replay(capture.read_lines(EXAMPLES / "hall.qzcap"))
    surveyed = dict(zip(result.survey.addresses, result.survey.positions))
    stage = SiteStage.for_site(site, surveyed, surveyed=True, tag_timeout=10.0)
    assert stage.frame.name == "hall-3" and stage.frame.warnings() == []

    def hall_to_building(x, y):  # as the example's known anchors were placed
        return (12.5 - y, 4.5 + x)

    truth = capture.read_tracks(EXAMPLES / "hall.tracks.csv")
    errors, events = [], []
    for fix in result.fixes:
        placed, caused = stage.fix(fix.tag, fix.time, fix.x, fix.y)
        events += caused
        true = interpolate(truth[fix.tag], fix.time, 0.5)
        errors.append(math.dist(hall_to_building(*true), (placed["x"], placed["y"])))
    in_survey = evaluate(result, capture.read_anchors(EXAMPLES / "hall.anchors.csv"), truth)
    survey_errors = [e for e in in_survey.fix_errors if e is not None]
    # The frame adds no more than the survey's own error to the fixes' error.
    anchor_error = max(in_survey.anchor_errors.values())
    assert statistics.median(errors) <= statistics.median(survey_errors) + anchor_error
    assert max(errors) <= max(survey_errors) + 2 * anchor_error

    true_rows = sorted((t, tag, *hall_to_building(x, y))
                       for tag, rows in truth.items() for t, x, y in rows)
    true_events = zone_events(site.zones, true_rows, 10.0)
    assert {e.zone for e in true_events} == {"bay", "dock", "aisle"}
    assert score(true_events, events).as_dict() == {
        "truth": len(true_events), "measured": len(true_events), "matched": len(true_events),
        "missed": 0, "false": 0, "flapping": 0}
    assert stage.occupancy() == {"bay": [], "dock": ["1002"], "aisle": ["1001"]}
    corner = stage.anchors(surveyed)[0x0A01]
    assert (corner["x"], corner["y"]) == pytest.approx((12.0, 5.0), abs=0.01)
    assert {"lat", "lon"} <= set(corner)
    header = stage.header()
    assert header["frame"] == "hall-3" and [z["name"] for z in header["zones"]] == \
        ["bay", "dock", "aisle"]
    assert header["floor_plan"]["size"] == [280, 440]


# -- latitude and longitude


@pytest.mark.parametrize("lat, north_degree, east_degree", [
    # Published lengths of a degree of latitude and of longitude (m).
    (0.0, 110574.0, 111320.0), (45.0, 111132.0, 78847.0), (60.0, 111412.0, 55800.0)])
def test_a_kilometre_north_and_east(lat, north_degree, east_degree):
    geo = GeoReference.from_bearing(lat, 10.0, 0.0)
    north = geo.lat_lon(0.0, 1000.0)
    east = geo.lat_lon(1000.0, 0.0)
    assert (north[0] - lat) * north_degree == pytest.approx(1000.0, abs=0.1)
    assert north[1] == pytest.approx(10.0, abs=1e-12)
    assert (east[1] - 10.0) * east_degree == pytest.approx(1000.0, abs=0.1)


def test_bearing_and_origin_turn_and_place_the_site():
    # +y to the east: site +x points south.
    geo = GeoReference.from_bearing(52.0, 4.0, 90.0, origin=(100.0, 50.0))
    assert geo.lat_lon(100.0, 50.0) == pytest.approx((52.0, 4.0), abs=1e-12)
    tangent = Tangent(52.0, 4.0)
    assert tangent.from_lat_lon(*geo.lat_lon(100.0, 60.0)) == pytest.approx((10.0, 0.0), abs=1e-6)
    assert tangent.from_lat_lon(*geo.lat_lon(110.0, 50.0)) == pytest.approx((0.0, -10.0),
                                                                            abs=1e-6)


@pytest.mark.parametrize("lat, lon, height", [(0.0, 0.0, 0.0), (51.99, 4.37, 30.0),
                                              (-33.9, 151.2, -20.0), (89.9, -120.0, 0.0)])
def test_earth_centred_coordinates_round_trip(lat, lon, height):
    back = from_ecef(*to_ecef(lat, lon, height))
    assert back[:2] == pytest.approx((lat, lon), abs=1e-10)
    assert back[2] == pytest.approx(height, abs=1e-6)


@pytest.mark.parametrize("east, north, within", [
    (0.0, 0.0, 1e-9), (600.0, -800.0, 1e-4),
    # The plane rises d**2 / 2R above the ground; carried down along the
    # normal, a point moves sideways by some d**3 / 2R**2.
    (-4500.0, 4500.0, 4e-3)])
def test_the_tangent_plane_round_trips_over_a_campus(east, north, within):
    tangent = Tangent(47.3, 8.5)
    assert tangent.from_lat_lon(*tangent.to_lat_lon(east, north)) == \
        pytest.approx((east, north), abs=within)


@pytest.mark.parametrize("count, left_handed", [(4, False), (4, True), (2, False)])
def test_control_points_fit_the_reference(count, left_handed):
    """Three or more points tell a left-handed site (a drawing with y down,
    naming places with y negated); two are taken as right-handed."""
    truth = GeoReference.from_bearing(52.0, 4.37, 20.0, origin=(10.0, 10.0))
    rng = random.Random(4)
    sites = [(rng.uniform(0, 80), rng.uniform(0, 60)) for _ in range(count)]
    points = [ControlPoint(x, -y if left_handed else y, *truth.lat_lon(x, y)) for x, y in sites]
    fitted = GeoReference.from_control_points(points)
    assert fitted.to_plane.mirrored is left_handed
    assert fitted.rms < 1e-3 and fitted.warnings() == []
    x, y = 40.0, 25.0
    here = fitted.lat_lon(x, -y if left_handed else y)
    assert Tangent(*truth.lat_lon(x, y)).from_lat_lon(*here) == pytest.approx((0, 0), abs=1e-3)


def test_control_points_that_disagree_warn():
    truth = GeoReference.from_bearing(52.0, 4.37, 20.0)
    points = [ControlPoint(x, y, *truth.lat_lon(x, y)) for x, y in [(0, 0), (50, 0), (0, 40)]]
    points.append(ControlPoint(50.0, 40.0, *truth.lat_lon(52.0, 40.0)))
    [warning] = GeoReference.from_control_points(points).warnings()
    assert "control points fit with" in warning


@pytest.mark.parametrize("points, message", [
    ([ControlPoint(0, 0, 1, 1)], "two or more"),
    ([ControlPoint(0, 0, 1, 1), ControlPoint(0, 0, 1, 1.001)], "all lie at one site point")])
def test_control_points_that_cannot_be_fitted(points, message):
    with pytest.raises(ValueError, match=message):
        GeoReference.from_control_points(points)


def test_a_frame_with_geo_places_fixes_on_the_earth():
    geo = GeoReference.from_bearing(52.0, 4.0, 0.0)
    frame = SiteFrame("site", geo=geo)
    placed = frame.place(0.0, 1000.0)
    assert set(placed) == {"x", "y", "lat", "lon"}
    assert placed["lat"] > 52.0 and placed["lon"] == pytest.approx(4.0)
