"""qz-host live given a site: fixes in the building's frame, the zone events
the replay of the same capture gives, the site's option defaults, the
anchors saved with their offsets and recordings that name the frame."""

import csv
import io
import json
import sys
from pathlib import Path

import pytest

from qz_host import capture, cli
from qz_host.site_options import command_parsers, option_actions

from live_helpers import expected  # noqa: F401 (a fixture)
from live_helpers import HALL, stderr_messages, write_replay_anchors

HALL_SITE = Path(__file__).resolve().parent.parent / "examples" / "hall.site.toml"


def run_cli(*args, stdin=HALL):
    """qz-host ARGS in this process, standard input read from `stdin`."""
    out = io.StringIO()
    saved = sys.stdin
    with open(stdin) as lines:
        sys.stdin = lines
        try:
            code = cli.main([str(a) for a in args], out=out)
        finally:
            sys.stdin = saved
    return code, out.getvalue()


@pytest.fixture
def anchors(tmp_path, expected):  # noqa: F811
    """The replay's survey as an anchors file, and its ranging noise: live
    and replay given both track alike."""
    path = tmp_path / "anchors.csv"
    write_replay_anchors(path, expected)
    return ["--anchors", path, "--sigma", repr(expected.sigma)]


def read_csv(path):
    with open(path, newline="") as source:
        return list(csv.DictReader(source))


def test_fixes_and_zone_events_are_the_replays_in_the_site_frame(tmp_path, anchors):
    """Live reads the bundled capture on standard input with the hall's site
    (two anchors with known places in the building): its fixes are the
    replay's, in the building's frame with latitude and longitude, and its
    zone events are those that replay --events writes."""
    fixes, table = tmp_path / "live.jsonl", tmp_path / "live.csv"
    code, text = run_cli("live", "-", "--site", HALL_SITE, *anchors, "--jsonl", fixes,
                         "--csv", table)
    assert code == 0, text
    events, positions = tmp_path / "replay-events.jsonl", tmp_path / "replay.csv"
    code, _ = run_cli("replay", HALL, "--site", HALL_SITE, *anchors, "--events", events,
                      "--csv", positions, "--no-truth")
    assert code == 0
    objects = [json.loads(line) for line in fixes.read_text().splitlines()]
    live_events = [o for o in objects if "event" in o]
    replayed = [json.loads(line) for line in events.read_text().splitlines()]
    assert live_events == replayed and len(replayed) == 10
    assert "Site     frame hall-3, fitted to 2 known points" in text
    assert "  3 zones, 10 zone events; inside at the end: bay: none; dock: 1002; " \
        "aisle: 1001" in text
    assert {e["event"] for e in replayed} == {"enter", "exit"}

    live_fixes = [o for o in objects if "event" not in o]
    assert {f["frame"] for f in live_fixes} == {"hall-3"}
    assert all(50 < f["lat"] < 53 and 4 < f["lon"] < 5 for f in live_fixes)
    # The replay's CSV in the site frame, column for column.
    columns = ["time", "tag", "x", "y", "lat", "lon", "frame"]
    live_rows = read_csv(table)
    assert list(live_rows[0]) == columns
    assert [[r[c] for c in columns] for r in live_rows] == \
        [[r[c] for c in columns] for r in read_csv(positions)]
    assert len(live_rows) == len(live_fixes) == 600


def test_live_takes_the_sites_options_and_the_command_line_wins(tmp_path, expected):  # noqa: F811
    actions = option_actions(command_parsers()["live"])
    assert {"anchors", "tags", "tag_height", "sigma", "web", "allow_host"} <= set(actions)
    write_replay_anchors(tmp_path / "anchors.csv", expected)
    site = tmp_path / "site.toml"
    # A relative path in the site file is taken from the file's folder.
    site.write_text('[options]\nsigma = 0.07\nanchors = "anchors.csv"\n')
    out = tmp_path / "fixes.jsonl"
    code, text = run_cli("live", "-", "--site", site, "--jsonl", out)
    assert code == 0, text
    assert f"Anchors  6 from {tmp_path / 'anchors.csv'}" in text
    assert "ranging noise 0.0700 m" in text
    code, text = run_cli("live", "-", "--site", site, "--jsonl", out, "--sigma", "0.06")
    assert "ranging noise 0.0600 m" in text


def test_save_anchors_writes_the_offsets_learned_as_replay_does(tmp_path, anchors):
    live_saved, replay_saved = tmp_path / "live.csv", tmp_path / "replay.csv"
    assert run_cli("live", "-", *anchors, "--jsonl", tmp_path / "f.jsonl",
                   "--save-anchors", live_saved)[0] == 0
    assert run_cli("replay", HALL, *anchors, "--save-anchors", replay_saved)[0] == 0
    assert live_saved.read_text() == replay_saved.read_text()
    assert live_saved.read_text().splitlines()[0] == "anchor,x,y,z,offset"


@pytest.mark.parametrize("surveyed", [False, True])
def test_a_recording_names_the_site_frame(tmp_path, anchors, surveyed):
    """In its heading when the anchors are known from the start, else where
    the survey fitted the frame; a second session appends its own."""
    record, fixes = tmp_path / "session.qzcap", tmp_path / "f.jsonl"
    for _ in range(2):
        assert run_cli("live", "-", "--site", HALL_SITE, *([] if surveyed else anchors),
                       "--jsonl", fixes, "--record", record)[0] == 0
    lines = record.read_text().splitlines()
    sites = [json.loads(line[len("# site: "):]) for line in lines if line.startswith("# site: ")]
    assert len(sites) == 2 and sites[0] == sites[1]
    assert sites[0]["frame"] == "hall-3" and not sites[0]["mirrored"]
    assert [z["name"] for z in sites[0]["zones"]] == ["bay", "dock", "aisle"]
    assert lines.count("# frame: hall-3") == 2 and lines.count("# qz capture") == 1
    assert ("frame" in capture.read_metadata(lines)) is not surveyed
    assert sum(1 for line in lines if line[0] != "#") == 2 * 882
    objects = [json.loads(line) for line in fixes.read_text().splitlines()]
    assert {o["frame"] for o in objects if "event" not in o} == {"hall-3"}


# Known anchors meet the site frame as the session starts, surveyed ones
# once the survey is done.
@pytest.mark.parametrize("known", [True, False])
def test_a_site_frame_that_does_not_fit_is_one_line_and_exit_2(tmp_path, anchors, capsys, known):
    site = tmp_path / "site.toml"
    site.write_text('[frame]\nknown = { "0B01" = [0.0, 0.0], "0B02" = [5.0, 0.0] }\n'
                    'mirrored = false\n')
    code, _ = run_cli("live", "-", "--site", site, *(anchors if known else []),
                      "--jsonl", tmp_path / "f.jsonl")
    assert code == 2
    err = stderr_messages(capsys.readouterr().err)
    assert err[-1].startswith(f"qz-host live: error: {site}: the site frame needs two known "
                              "points"), err


@pytest.mark.parametrize("output", ["--save-anchors", "--record", "--csv"])
def test_outputs_never_overwrite_the_inputs(tmp_path, anchors, capsys, output):
    site = tmp_path / "site.toml"
    site.write_text("[options]\n")
    target = anchors[1] if output == "--save-anchors" else site
    assert run_cli("live", "-", "--site", site, *anchors, output, target)[0] == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and f"will not write {target}: it is the input" in err[0], err
