"""The qz-host command line: subcommands, outputs and error exits."""

import csv
import io
import re
import subprocess
import sys

import pytest

from qz_host import cli

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def run(*args):
    out = io.StringIO()
    code = cli.main(list(args), out=out)
    return code, out.getvalue()


@pytest.fixture(scope="module")
def simulated(tmp_path_factory):
    path = tmp_path_factory.mktemp("capture") / "small.qzcap"
    code, text = run("simulate", str(path), "--duration", "4", "--seed", "3", "--tags", "3")
    assert code == 0 and "small.anchors.csv" in text
    return path


@pytest.mark.parametrize("args", [[], ["simulate"], ["replay"], ["demo"]])
def test_help(args):
    done = subprocess.run([sys.executable, "-m", "qz_host", *args, "--help"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0
    assert done.stdout.startswith("usage: qz-host")
    assert done.stderr == ""


def test_replay_writes_summary_csv_and_png(simulated, tmp_path):
    csv_path, png_path = tmp_path / "fixes.csv", tmp_path / "fixes.png"
    code, text = run("replay", str(simulated), "--csv", str(csv_path), "--plot", str(png_path))
    assert code == 0
    for heading in ("Frames", "Survey", "Tracks", "RMS (m)"):
        assert heading in text
    with open(csv_path, newline="") as source:
        rows = list(csv.DictReader(source))
    # The truth is moved into the survey's frame, unlike NAME.tracks.csv.
    assert list(rows[0]) == ["time", "tag", "x", "y", "sd", "dop", "used",
                             "true_x_survey", "true_y_survey", "error"]
    assert {row["tag"] for row in rows} == {"1001", "1002", "1003"}
    assert len(rows) == 3 * 40
    assert all(float(row["error"]) < 1.0 for row in rows)
    assert png_path.read_bytes().startswith(PNG_SIGNATURE)


def test_replay_without_truth(simulated, tmp_path):
    csv_path = tmp_path / "fixes.csv"
    code, text = run("replay", str(simulated), "--no-truth", "--csv", str(csv_path))
    assert code == 0
    assert csv_path.read_text().splitlines()[0] == "time,tag,x,y,sd,dop,used"
    # No ground truth: no survey or track errors.
    assert re.search(r"^  0A01 +[-0-9.]+ +[-0-9.]+ +-$", text, re.M)
    assert re.search(r"^  1001 +40 +40 +0 +\d+ +\d+ +[0-9.]+ +- +- +-$", text, re.M)


def test_demo_writes_beside_the_capture(simulated, tmp_path):
    code, text = run("demo", "--capture", str(simulated), "--out", str(tmp_path / "out"))
    assert code == 0 and "Survey" in text
    assert (tmp_path / "out" / "small.positions.csv").exists()
    assert (tmp_path / "out" / "small.png").read_bytes().startswith(PNG_SIGNATURE)


def test_demo_simulates_a_missing_sample(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    code, text = run("demo")
    assert code == 0
    assert "simulating" in text
    assert {p.name for p in (tmp_path / "examples").iterdir()} == {
        "hall.qzcap", "hall.anchors.csv", "hall.tracks.csv", "hall.positions.csv", "hall.png"}


@pytest.mark.parametrize("args, message", [
    (["replay", "no/such/file.qzcap"], "cannot read no/such/file.qzcap"),
    (["demo", "--capture", "no/such/file.qzcap"], "cannot read no/such/file.qzcap"),
    (["simulate", "no/such/dir/x.qzcap"], "cannot write no/such/dir/x.qzcap"),
    (["simulate", "x.qzcap", "--unit", "0.00001"], "16-bit distance"),
])
def test_file_and_value_errors_exit_2(args, message, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    code, _ = run(*args)
    assert code == 2
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("args", [
    ["frobnicate"],
    ["simulate"],
    ["simulate", "x.qzcap", "--sigma", "-1"],
    ["simulate", "x.qzcap", "--dropout", "1"],
    ["simulate", "x.qzcap", "--tags", "0"],
    ["simulate", "x.qzcap", "--rate", "fast"],
    ["replay", "x.qzcap", "--fcs", "--no-fcs"],
    ["replay", "x.qzcap", "--unit", "0"],
])
def test_bad_arguments_exit_2(args, capsys):
    with pytest.raises(SystemExit) as exit:
        cli.main(args)
    assert exit.value.code == 2
    assert "error:" in capsys.readouterr().err


def test_bad_metadata_exits_2(tmp_path, capsys):
    path = tmp_path / "odd.qzcap"
    path.write_text("# dist_unit_m: one centimetre\n")
    code, _ = run("replay", str(path))
    assert code == 2
    assert "dist_unit_m 'one centimetre' is not a number" in capsys.readouterr().err


def test_unknown_checksum_exits_2(simulated, tmp_path, capsys):
    path = tmp_path / "odd.qzcap"
    path.write_text(simulated.read_text().replace("# fcs: ieee-802.15.4", "# fcs: crc-32"))
    code, _ = run("replay", str(path))
    assert code == 2
    assert "declares an unknown checksum 'crc-32'" in capsys.readouterr().err
    code, text = run("replay", str(path), "--no-fcs")
    assert code == 0 and "no checksums" in text


def test_capture_without_anchors_exits_1(tmp_path):
    path = tmp_path / "garbage.qzcap"
    path.write_text("# nothing useful\n1.0 00ff\nnot a frame line\n")
    code, text = run("replay", str(path))
    assert code == 1
    assert "Survey   failed: the survey needs 3 to 15 anchors" in text
    assert "2 read, 0 decoded, 0 heartbeats, 2 skipped" in text


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_waits_then_draws_and_clears(monkeypatch):
    clock = iter([0.0, 0.1, 0.6, 0.65, 0.8, 0.9]).__next__
    from qz_host.commands import replay as replay_command
    monkeypatch.setattr(replay_command.time, "monotonic", clock)
    stream = FakeTerminal()
    bar = replay_command.ProgressBar(stream)  # starts at 0.0
    bar("decode", 1, 10)           # 0.1: too early
    assert stream.getvalue() == ""
    bar("decode", 5, 10)           # 0.6: drawn
    bar("decode", 6, 10)           # 0.65: too soon after the last
    bar("track", 10, 10)           # 0.8: drawn
    drawn = stream.getvalue()
    assert drawn.count("\r") == 2 and "5/10" in drawn and "6/10" not in drawn
    assert drawn.endswith(f"track  [{'#' * 30}] 10/10")
    bar.close()
    assert stream.getvalue().endswith("\r")
