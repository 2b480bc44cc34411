"""qz-host live --web: the map that view serves, with the site's names,
zones and floor plan, the live clock, the allowed host names, and a
session that cannot serve ending at its start in one line."""

import json
import socket
import subprocess
import sys
from pathlib import Path

import pytest

from qz_host import cli
from qz_host.commands import site_inputs
from qz_host.live_counters import LiveCounters
from qz_host.pipeline import Pipeline
from qz_host.site_file import read_site

from live_helpers import expected  # noqa: F401 (a fixture)
from live_helpers import surveyed_anchors
from live_helpers import (
    HALL,
    stderr_messages,
    free_port,
    hall_lines,
    live_thread,
    udp_bound,
    wait_for,
    write_replay_anchors,
)

pytest.importorskip("websockets", reason="the map needs websockets (the web extra)")

from web_client import get  # noqa: E402

HALL_SITE = Path(__file__).resolve().parent.parent / "examples" / "hall.site.toml"


def hall_site():
    site = read_site(HALL_SITE).site
    return site_inputs.SiteInputs(site=site, tags=site.tag_table())


def test_the_map_shows_the_site_its_events_and_anchor_health(expected):  # noqa: F811
    """Capture lines fed as standard input feeds them: the map is in the
    site's frame with its names, zones, floor plan and events, on a clock
    that follows the recorded times."""
    from qz_host.commands.live_map import LiveMap
    inputs = hall_site()
    counters = LiveCounters()
    logged = []
    feed = LiveMap(("127.0.0.1", 0), [], inputs, counters, logged.append,
                   recorded_times=True, tag_timeout=7.0)
    anchors = surveyed_anchors(expected)
    pipeline = Pipeline([feed], counters=counters, anchors=anchors, sigma=expected.sigma,
                        site=inputs.site, tags=inputs.tags)
    try:
        for line in hall_lines():
            pipeline.feed_line(line)
        pipeline.tick()
        status, _, body = get(feed.server.port, "/state.json")
    finally:
        pipeline.close()
    assert logged == [f"serving the map on {feed.server.url}"]
    assert status == 200
    state = json.loads(body)["state"]
    assert (state["clock"], state["tag_timeout"], state["fixes"]) == ("capture", 7.0, 600)
    assert 30.9 < state["time"] < 40  # the capture's last times, not the time of day
    named = {a["label"]: a for a in state["anchors"]}
    assert named["0A01"]["name"] == "south-east corner"
    # Anchor 0A01 stands at (12, 5) in the building's frame, as the site says.
    assert abs(named["0A01"]["x"] - 12.0) < 0.01 and abs(named["0A01"]["y"] - 5.0) < 0.01
    assert all(a["ranges_used"] > 0 and a["heard"] > 30 for a in state["anchors"])
    assert {t["label"]: t["name"] for t in state["tags"]} == {"1001": "forklift 1",
                                                              "1002": "picker 2"}
    assert [z["name"] for z in state["zones"]] == ["bay", "dock", "aisle"]
    assert sum(z["entries"] for z in state["zones"]) == 6 and len(state["events"]) == 10
    assert state["floor_plan"]["type"] == "image/png"
    assert (state["counters"]["frames"], state["counters"]["zone_events"]) == (882, 10)


def test_data_clock_follows_the_newest_time_and_runs_on():
    from qz_host.commands.live_map import DataClock
    now = [100.0]
    clock = DataClock(monotonic=lambda: now[0])
    assert clock() == 0.0
    clock.saw(12.5)
    now[0] += 2.0
    assert clock() == 14.5
    clock.saw(3.0)  # an older line does not turn the clock back
    assert clock() == 14.5
    clock.saw(20.0)
    assert clock() == 20.0


def test_live_web_serves_the_site_on_the_time_of_day_to_allowed_hosts(tmp_path,
                                                                       expected):  # noqa: F811
    """A UDP session with the site: the map answers the name given with
    --allow-host and refuses any other."""
    write_replay_anchors(tmp_path / "anchors.csv", expected)
    port, web = free_port(socket.SOCK_DGRAM), free_port()
    argv = [f"udp://127.0.0.1:{port}", "--fcs", "--site", HALL_SITE,
            "--anchors", tmp_path / "anchors.csv", "--sigma", repr(expected.sigma),
            "--jsonl", tmp_path / "fixes.jsonl", "--web", f"127.0.0.1:{web}",
            "--allow-host", "map.example"]

    def state():
        status, _, body = get(web, "/state.json", {"Host": f"map.example:{web}"})
        assert status == 200
        return json.loads(body)["state"]

    with live_thread(argv) as session:
        assert wait_for(lambda: udp_bound(port))
        emitter = subprocess.run([sys.executable, "-m", "qz_host", "emit", str(HALL),
                                  f"udp://127.0.0.1:{port}", "--speed", "60"],
                                 capture_output=True, text=True, timeout=60)
        assert emitter.returncode == 0, emitter.stderr
        assert wait_for(lambda: state()["fixes"] == 600)
        shown = state()
        refused = get(web, "/state.json", {"Host": f"elsewhere.example:{web}"})[0]
        assert session.finish() == 0
    assert refused == 403
    assert shown["clock"] == "wall" and shown["tag_timeout"] == 10.0
    assert [z["name"] for z in shown["zones"]] == ["bay", "dock", "aisle"]
    assert {a["label"]: a["name"] for a in shown["anchors"]}["0A02"] == "east wall"


def run_live(*args, capsys):
    """qz-host live - ARGS on an empty standard input; (status, stderr lines)."""
    saved = sys.stdin
    with open("/dev/null") as nothing:
        sys.stdin = nothing
        try:
            code = cli.main(["live", "-", *[str(a) for a in args]])
        finally:
            sys.stdin = saved
    return code, stderr_messages(capsys.readouterr().err)


def test_a_port_in_use_ends_the_session_in_one_line_before_any_output(tmp_path, capsys):
    fixes = tmp_path / "fixes.jsonl"
    fixes.write_text("an earlier session's\n")
    with socket.create_server(("127.0.0.1", 0)) as taken:
        port = taken.getsockname()[1]
        code, err = run_live("--web", f"127.0.0.1:{port}", "--jsonl", fixes, capsys=capsys)
    assert code == 2
    assert err == [f"qz-host live: error: --web: cannot serve on 127.0.0.1:{port}: "
                   "Address already in use"]
    assert fixes.read_text() == "an earlier session's\n"


@pytest.mark.parametrize("where, reason", [
    ("127.0.0.1:99999", "'127.0.0.1:99999' is not HOST:PORT (the port must be 0 to 65535)"),
    ("127.0.0.1:x", "'127.0.0.1:x' is not HOST:PORT"),
    ("192.0.2.1:0", "cannot serve on 192.0.2.1:0: "),  # an address of another machine
])
def test_a_bad_address_ends_the_session_in_one_line(where, reason, capsys):
    code, err = run_live("--web", where, capsys=capsys)
    assert code == 2 and len(err) == 1, err
    assert err[0].startswith(f"qz-host live: error: --web: {reason}")


def test_serving_beyond_loopback_warns(capsys):
    code, err = run_live("--web", "0.0.0.0:0", capsys=capsys)
    assert code == 1  # nothing came: no anchors
    assert err[0] == ("qz-host live: warning: serving beyond this machine on 0.0.0.0: "
                      "anyone who can reach it can read the map")


def test_a_floor_plan_the_map_cannot_draw_is_one_line(tmp_path, capsys):
    (tmp_path / "plan.png").write_bytes(b"not an image")
    site = tmp_path / "site.toml"
    site.write_text('[floor_plan]\nimage = "plan.png"\norigin = [0.0, 0.0]\nscale = 0.05\n')
    code, err = run_live("--site", site, "--web", "127.0.0.1:0", capsys=capsys)
    assert code == 2 and len(err) == 1, err
    assert err[0].startswith("qz-host live: error: the floor plan: ")
