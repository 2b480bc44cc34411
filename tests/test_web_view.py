"""`qz-host view` and the playback behind it: pace, counters, errors."""

import io
import json
import subprocess
import sys
import time

import pytest

pytest.importorskip("websockets", reason="the web extra (websockets) is not installed")

from qz_host import cli  # noqa: E402
from qz_host.replay import replay  # noqa: E402
from qz_host.web.playback import PlaybackClock, play  # noqa: E402
from qz_host.web.state import MapState  # noqa: E402
from web_captures import SAMPLE, ViewProcess, cut_capture  # noqa: E402
from web_client import get, wait_for  # noqa: E402


class FakeTime:
    """A monotonic clock that moves only when the playback waits."""

    def __init__(self):
        self.now = 100.0
        self.waits = []

    def __call__(self):
        return self.now

    def wait(self, seconds):
        self.waits.append(seconds)
        self.now += seconds
        return False


@pytest.fixture(scope="module")
def lines():
    return SAMPLE.read_text().splitlines(keepends=True)


@pytest.fixture(scope="module")
def surveyed(lines):
    return replay(lines)


class TestClock:
    @pytest.mark.parametrize("speed", [0.5, 1.0, 4.0])
    def test_runs_at_speed_from_its_origin(self, speed):
        fake = FakeTime()
        clock = PlaybackClock(speed=speed, monotonic=fake)
        clock.start(20.0)
        fake.now += 2.0
        assert clock() == pytest.approx(20.0 + 2.0 * speed)
        assert clock.delay(clock() + speed) == pytest.approx(1.0)
        assert clock.delay(0.0) == 0.0

    @pytest.mark.parametrize("speed", [0.0, -1.0, float("nan")])
    def test_bad_speed(self, speed):
        with pytest.raises(ValueError, match=f"^speed must be positive, got {speed}$"):
            PlaybackClock(speed=speed)


class TestPlay:
    @pytest.mark.parametrize("speed", [1.0, 10.0])
    def test_frames_wait_for_their_time(self, lines, surveyed, speed):
        fake = FakeTime()
        clock = PlaybackClock(speed=speed, monotonic=fake)
        play(lines, surveyed, MapState(clock=clock), clock, stop=fake)
        # The capture spans 30.975 s; waiting is spread over the frames.
        assert sum(fake.waits) == pytest.approx(30.975 / speed)
        assert max(fake.waits) < 0.2 / speed

    def test_counters_and_fixes_match_the_replay(self, lines, surveyed):
        fake = FakeTime()
        clock = PlaybackClock(speed=1.0, monotonic=fake)
        state = MapState(clock=clock)
        counts = play(lines, surveyed, state, clock, stop=fake)
        snapshot = state.snapshot()
        assert counts.read == surveyed.counts.read and counts.decoded == surveyed.counts.decoded
        counters = snapshot["counters"]
        assert (counters["frames"], counters["decoded"], counters["heartbeats"],
                counters["skipped"]) == (
            surveyed.counts.read, surveyed.counts.decoded, surveyed.counts.heartbeats,
            sum(surveyed.counts.skipped.values()))
        assert counters["heartbeats"] > 0
        assert counters["skipped_by_reason"] == dict(surveyed.counts.skipped)
        assert counters["fixes"] == snapshot["fixes"] == len(surveyed.fixes)
        for tag in snapshot["tags"]:
            assert tag["fixes"] == surveyed.tags[tag["address"]].fixes
            assert tag["rejected"] == surveyed.tags[tag["address"]].rejected
            last = [f for f in surveyed.fixes if f.tag == tag["address"]][-1]
            assert (tag["x"], tag["y"], tag["time"]) == pytest.approx((last.x, last.y, last.time))
        anchors = {a["address"]: (a["x"], a["y"]) for a in snapshot["anchors"]}
        assert anchors == dict(zip(surveyed.survey.addresses, surveyed.survey.positions))

    def test_stop_ends_the_playback(self, lines, surveyed):
        class StopAfter(FakeTime):
            def wait(self, seconds):
                super().wait(seconds)
                return len(self.waits) > 10

        fake = StopAfter()
        clock = PlaybackClock(monotonic=fake)
        counts = play(lines, surveyed, MapState(clock=clock), clock, stop=fake)
        assert counts.read == 10


class TestCommand:
    def test_help(self):
        done = subprocess.run([sys.executable, "-m", "qz_host", "view", "--help"],
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0 and done.stderr == ""
        assert done.stdout.startswith("usage: qz-host view")
        assert "--web HOST:PORT" in done.stdout

    def run(self, *args):
        out = io.StringIO()
        return cli.main(["view", *args], out=out), out.getvalue()

    def test_missing_capture(self, tmp_path, capsys):
        assert self.run(str(tmp_path / "none.qzcap"))[0] == 2
        assert "cannot read" in capsys.readouterr().err

    def test_capture_without_anchors(self, tmp_path, capsys):
        path = cut_capture(tmp_path / "tags.qzcap", lambda t, src, is_anchor: not is_anchor)
        assert self.run(str(path), "--web", "127.0.0.1:0")[0] == 1
        assert "qz-host view:" in capsys.readouterr().err

    @pytest.mark.parametrize("option", [["--web", "nowhere"], ["--web", "1.2.3.4:99999"],
                                        ["--speed", "0"], ["--stale", "-1"], ["--trail", "0"]])
    def test_bad_options(self, option, capsys):
        with pytest.raises(SystemExit) as exit:
            cli.main(["view", str(SAMPLE), *option])
        assert exit.value.code == 2

    def test_port_in_use(self, capsys):
        view = ViewProcess(SAMPLE, "--speed", "100")
        try:
            assert self.run(str(SAMPLE), "--web", f"127.0.0.1:{view.port}")[0] == 2
            assert "cannot serve" in capsys.readouterr().err
        finally:
            view.stop()

    def test_serves_the_whole_capture_then_stops_on_interrupt(self):
        view = ViewProcess(SAMPLE, "--speed", "60")
        try:
            def state():
                return json.loads(get(view.port, "/state.json")[2])["state"]
            assert wait_for(lambda: state()["counters"].get("frames") == 882, timeout=30)
            assert state()["fixes"] == 600 and len(state()["anchors"]) == 6
            time.sleep(0.2)
            assert view.process.poll() is None  # still serving after the end
        finally:
            assert view.stop() == 0
