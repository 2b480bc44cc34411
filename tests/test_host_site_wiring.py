"""A site file given to the tracking commands: positions in the building's
frame, zone events, option defaults, the map's names and zones."""

import csv
import json
import math
from pathlib import Path

import pytest

from qz_host import capture, replay
from qz_host.commands import site_inputs
from qz_host.site_file import read_site

from cli_helpers import run
from live_helpers import HALL, hall_lines

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
HALL_SITE = EXAMPLES / "hall.site.toml"


@pytest.fixture(scope="module")
def site_replay(tmp_path_factory):
    folder = tmp_path_factory.mktemp("site")
    positions, events = folder / "fixes.csv", folder / "events.jsonl"
    code, text = run("replay", HALL, "--site", HALL_SITE, "--csv", positions, "--events", events)
    return code, text, positions, events


def test_positions_are_in_the_buildings_frame(site_replay):
    code, text, positions, _ = site_replay
    assert code == 0
    assert "Site     frame hall-3" in text and "fitted to 2 known points" in text
    with open(positions, newline="") as source:
        rows = list(csv.DictReader(source))
    assert list(rows[0]) == ["time", "tag", "x", "y", "lat", "lon", "sd", "dop", "used",
                             "true_x_site", "true_y_site", "error", "frame"]
    assert {row["frame"] for row in rows} == {"hall-3"}
    errors = [math.dist((float(r["x"]), float(r["y"])), (float(r["true_x_site"]),
                                                          float(r["true_y_site"])))
              for r in rows if r["true_x_site"]]
    # The truth moved into the site frame the same way: the survey's error only.
    assert sorted(errors)[len(errors) // 2] < 0.05
    assert all(abs(e - float(r["error"])) < 2e-4 for e, r in zip(errors, rows))
    assert all(50 < float(r["lat"]) < 53 and 4 < float(r["lon"]) < 5 for r in rows)


def test_zone_events_are_written_and_scored(site_replay):
    _, text, _, events = site_replay
    lines = [json.loads(line) for line in events.read_text().splitlines()]
    assert lines and all(set(e) >= {"event", "zone", "tag", "time", "x", "y"} for e in lines)
    assert {e["event"] for e in lines} == {"enter", "exit"}
    assert f"{len(lines)} zone events" in text
    assert "Zones    against the truth: 10 events, 10 matched, 0 missed, 0 false, 0 flapping" \
        in text


def test_the_same_fixes_give_the_same_events_replayed_again(site_replay, tmp_path):
    _, _, _, events = site_replay
    again = tmp_path / "again.jsonl"
    assert run("replay", HALL, "--site", HALL_SITE, "--events", again, "--no-truth")[0] == 0
    assert again.read_text() == events.read_text()


def test_events_need_a_site_with_zones(tmp_path, capsys):
    assert run("replay", HALL, "--events", tmp_path / "e.jsonl")[0] == 2
    assert "--events needs a site file with zones" in capsys.readouterr().err


def test_site_options_are_defaults_the_command_line_overrides(tmp_path):
    site = tmp_path / "site.toml"
    site.write_text("[options]\nsigma = 0.07\n")
    _, text = run("replay", HALL, "--site", site)
    assert "range noise 0.070 m, given" in text
    _, text = run("replay", HALL, "--site", site, "--sigma", "0.06")
    assert "range noise 0.060 m, given" in text


@pytest.mark.parametrize("content, message", [
    ("[options]\nsigma = -1\n", "site.toml:2: options.sigma"),
    ("[frame\n", "site.toml:1:"),
])
def test_a_bad_site_file_is_one_line_and_exit_2(content, message, tmp_path, capsys):
    site = tmp_path / "site.toml"
    site.write_text(content)
    assert run("replay", HALL, "--site", site)[0] == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err


def test_an_anchors_file_replaces_the_sites_but_keeps_its_names(tmp_path):
    anchors = tmp_path / "anchors.csv"
    capture.write_anchors(anchors, {0x0A01: (0.0, 0.0, 0.0), 0x0A02: (9.5, 0.0, 0.0),
                                    0x0A03: (19.0, 0.4, 0.0)})
    parser = __import__("qz_host.cli", fromlist=["cli"]).build_parser()
    args = parser.parse_args(["replay", str(HALL), "--site", str(HALL_SITE),
                              "--anchors", str(anchors)])
    args.site_file = read_site(HALL_SITE)
    given = site_inputs.read(args)
    assert sorted(given.anchors) == [0x0A01, 0x0A02, 0x0A03]
    assert given.anchors[0x0A01].name == "south-east corner"
    assert anchors in given.inputs and HALL_SITE in given.inputs


def test_view_puts_the_sites_zones_names_and_events_on_the_map():
    from qz_host.web.feed import show_site
    from qz_host.web.playback import PlaybackClock, play
    from qz_host.web.state import MapState

    site = read_site(HALL_SITE).site
    surveyed = replay.survey_capture(hall_lines())

    class Instant:  # the playback's waits take no time
        def wait(self, seconds):
            return False

    clock = PlaybackClock(speed=1e6)
    state = MapState(clock=clock)
    show_site(state, site, site.tags)
    play(hall_lines(), surveyed, state, clock, Instant(), site=site, tags=site.tags)
    snapshot = state.snapshot()
    assert [z["name"] for z in snapshot["zones"]] == [z.name for z in site.zones]
    assert any(t.get("name") == "forklift 1" for t in snapshot["tags"])
    assert snapshot["events"], "the zone events reach the map"
    assert snapshot["feed"]["ended"]
