"""qz-host's inputs: numeric options, files that are no capture or cannot be
surveyed, known anchors, and the simulate options a capture records."""

import csv
import gzip
import random
import re
import shlex
import subprocess
import sys

import pytest

from qz_host import capture, cli, messages

from cli_helpers import run, simulated  # noqa: F401 (a fixture)

BAD_NUMBERS = ["nan", "inf", "-inf", "1e400"]


def one_error(capsys):
    err = capsys.readouterr().err
    assert err.count("\n") == 1, err
    return err


@pytest.mark.parametrize("value", BAD_NUMBERS)
@pytest.mark.parametrize("option", ["--duration", "--rate", "--speed", "--sigma", "--dropout",
                                    "--nlos", "--unit"])
def test_simulate_rejects_non_finite_numbers(option, value, capsys):
    with pytest.raises(SystemExit) as exit:
        cli.main(["simulate", "x.qzcap", f"{option}={value}"])
    assert exit.value.code == 2
    assert "must be" in capsys.readouterr().err


@pytest.mark.parametrize("value", BAD_NUMBERS)
@pytest.mark.parametrize("command, option", [
    (["replay", "x.qzcap"], "--unit"),
    (["view", "x.qzcap"], "--speed"), (["view", "x.qzcap"], "--stale"),
    (["emit", "x.qzcap", "udp://127.0.0.1:9"], "--speed"),
    (["live", "-"], "--unit"), (["live", "-"], "--survey-timeout"), (["live", "-"], "--sigma"),
    (["live", "-"], "--tag-timeout"),
])
def test_every_command_rejects_non_finite_numbers(command, option, value, capsys):
    with pytest.raises(SystemExit) as exit:
        cli.main(command + [f"{option}={value}"])
    assert exit.value.code == 2
    assert "must be" in capsys.readouterr().err


@pytest.mark.parametrize("command, option, value", [
    (["view", "x.qzcap"], "--trail", "0"), (["view", "x.qzcap"], "--trail", "10001"),
    (["live", "-"], "--baud", "0"), (["live", "-"], "--survey-samples", "0"),
    (["live", "-"], "--mqtt-queue", "1e9"), (["emit", "x.qzcap", "-"], "--baud", "fast"),
])
def test_counts_out_of_bounds_exit_2(command, option, value, capsys):
    with pytest.raises(SystemExit) as exit:
        cli.main(command + [option, value])
    assert exit.value.code == 2
    assert f"argument {option}" in capsys.readouterr().err


@pytest.mark.parametrize("option, value", [
    ("--duration", "86401"), ("--rate", "1001"), ("--speed", "51"), ("--sigma", "11"),
    ("--unit", "2"), ("--unit", "1e-7"), ("--rate", "fast"), ("--tags", "many"),
])
def test_simulate_rejects_absurd_sizes(option, value, capsys):
    with pytest.raises(SystemExit) as exit:
        cli.main(["simulate", "x.qzcap", option, value])
    assert exit.value.code == 2
    assert f"argument {option}" in capsys.readouterr().err


def test_simulate_refuses_a_capture_too_large_to_write(tmp_path, capsys):
    path = tmp_path / "huge.qzcap"
    code, _ = run("simulate", path, "--duration", "86400", "--rate", "1000", "--tags", "100")
    assert code == 2
    assert "8640000000 tag messages" in one_error(capsys)
    assert not path.exists()


@pytest.mark.parametrize("value", BAD_NUMBERS + ["0", "-1"])
def test_replay_rejects_bad_units(value, capsys):
    with pytest.raises(SystemExit) as exit:
        cli.main(["replay", "x.qzcap", f"--unit={value}"])
    assert exit.value.code == 2


@pytest.mark.parametrize("value", ["inf", "nan", "-0.01"])
def test_replay_rejects_a_bad_declared_unit(value, tmp_path, capsys):
    path = tmp_path / "odd.qzcap"
    path.write_text(f"# dist_unit_m: {value}\n1.0 00ff\n")
    code, _ = run("replay", path)
    assert code == 2
    assert "distance unit must be positive and finite" in one_error(capsys)


def simulate_help():
    done = subprocess.run([sys.executable, "-m", "qz_host", "simulate", "--help"],
                          capture_output=True, text=True, timeout=120)
    # what is logged, as --force, changes nothing of the capture
    return set(re.findall(r"--[a-z][a-z-]*", done.stdout)) - {"--help", "--force", "--log-level",
                                                              "--log-format"}


def test_source_line_records_every_option_and_regenerates(tmp_path):
    first = tmp_path / "first.qzcap"
    code, _ = run("simulate", first, "--seed", "9", "--duration", "1.5", "--rate", "7",
                  "--tags", "3", "--speed", "0.4", "--sigma", "0.02", "--dropout", "0.1",
                  "--nlos", "0.3", "--unit", "0.001")
    assert code == 0
    source = capture.read_metadata(first.read_text().splitlines())["source"]
    words = shlex.split(source)
    assert words[:2] == ["qz-host", "simulate"]
    assert {w for w in words if w.startswith("--")} == simulate_help()
    again = tmp_path / "again.qzcap"
    assert run("simulate", again, *words[2:])[0] == 0
    assert again.read_text() == first.read_text()
    for a, b in zip(capture.truth_paths(first), capture.truth_paths(again)):
        assert a.read_text() == b.read_text()


@pytest.mark.parametrize("content, hint", [
    (gzip.compress(b"0.0 40515a40\n" * 50), "gzip-compressed"),
    (random.Random(4).getrandbits(8 * 4096).to_bytes(4096, "little"), "binary data"),
    (b"time,tag,x,y\n1.0,1001,2.0,3.0\n", "none of its lines"),
])
def test_a_file_without_frame_lines_is_not_a_capture(content, hint, tmp_path, capsys):
    path = tmp_path / "odd.qzcap"
    path.write_bytes(content)
    code, text = run("replay", path)
    assert code == 2 and text == ""
    err = one_error(capsys)
    assert "not a capture" in err and hint in err


@pytest.mark.parametrize("content", ["", "# qz capture\n# dist_unit_m: 0.01\n\n"])
def test_an_empty_capture_says_it_has_no_frames(content, tmp_path):
    path = tmp_path / "empty.qzcap"
    path.write_text(content)
    code, text = run("replay", path)
    assert code == 1
    assert "Survey   failed: the capture holds no frames" in text
    assert "--anchors" not in text  # nothing to track either


def without_anchor_messages(source, target, keep=()):
    """Copies a capture, leaving out the anchor messages of all anchors but `keep`."""
    lines = []
    for line in source.read_text().splitlines(keepends=True):
        item = capture.parse_line(line)
        if item is not None:
            try:
                message = messages.decode(item.time, item.frame)
                if message is not None and message.is_anchor and message.src not in keep:
                    continue
            except messages.Skip:
                pass
        lines.append(line)
    target.write_text("".join(lines))
    return target


def test_a_capture_of_tags_alone_names_the_silent_anchors(simulated, tmp_path):
    tags_only = without_anchor_messages(simulated, tmp_path / "tags.qzcap")
    code, text = run("replay", tags_only)
    assert code == 1
    assert "the capture has 0 (anchor messages from: none)" in text
    assert ("the tags range to 0A01, 0A02, 0A03, 0A04, 0A05, 0A06, which sent no anchor "
            "messages") in text
    assert "known anchor positions can be given with --anchors FILE" in text


def test_too_few_anchors_are_named(simulated, tmp_path):
    two = without_anchor_messages(simulated, tmp_path / "two.qzcap", keep=(0x0A01, 0x0A04))
    code, text = run("replay", two)
    assert code == 1
    assert "anchor messages from: 0A01, 0A04" in text
    assert "range to 0A02, 0A03, 0A05, 0A06, which sent" in text


def test_known_anchors_track_a_capture_of_tags_alone(simulated, tmp_path):
    tags_only = without_anchor_messages(simulated, tmp_path / "tags.qzcap")
    anchors = tmp_path / "site.csv"
    anchors.write_bytes(capture.truth_paths(simulated)[0].read_bytes())
    for kept, truth in zip(capture.truth_paths(simulated), capture.truth_paths(tags_only)):
        truth.write_bytes(kept.read_bytes())
    csv_path = tmp_path / "fixes.csv"
    code, text = run("replay", tags_only, "--anchors", anchors, "--csv", csv_path)
    assert code == 0, text
    assert "Anchors  6 at known positions, not surveyed" in text
    with open(csv_path, newline="") as source:
        rows = list(csv.DictReader(source))
    # Known anchors share the truth's frame: the truth is not moved.
    assert list(rows[0]) == [
        "time",
        "tag",
        "x",
        "y",
        "sd",
        "dop",
        "used",
        "true_x",
        "true_y",
        "error",
    ]
    assert len(rows) == 2 * 20
    tracks = capture.read_tracks(truth)
    first = tracks[int(rows[0]["tag"], 16)][0]
    assert (float(rows[0]["true_x"]), float(rows[0]["true_y"])) == pytest.approx(first[1:], abs=0.2)
    assert max(float(row["error"]) for row in rows) < 0.5


def test_known_anchors_take_precedence_over_the_survey(simulated, tmp_path):
    anchors = tmp_path / "shifted.csv"
    known = {a: (x + 100.0, y, z) for a, (x, y, z) in
             capture.read_anchors(capture.truth_paths(simulated)[0]).items()}
    capture.write_anchors(anchors, known)
    csv_path = tmp_path / "fixes.csv"
    code, _ = run("replay", simulated, "--anchors", anchors, "--no-truth", "--csv", csv_path)
    assert code == 0
    with open(csv_path, newline="") as source:
        xs = [float(row["x"]) for row in csv.DictReader(source)]
    assert 100.0 < min(xs) and max(xs) < 120.0


@pytest.mark.parametrize("content, code, message", [
    (None, 2, "cannot read"),
    ("anchor,x,y\n0A01,0,0\n", 2, "missing column(s) z"),
    ("anchor,x,y,z\n0A01,0,zero,0\n", 2, "could not convert"),
    ("anchor,x,y,z\n0A01,0,0,0\n0A02,5,0,0\n", 1, "tracking needs 3 to 32 anchors, 2 given"),
    ("anchor,x,y,z\n0A01,0,0,0\n0A02,5,0,0\n0A03,inf,1,0\n", 1, "0A03 is not at a finite"),
])
def test_bad_known_anchors(simulated, tmp_path, content, code, message, capsys):
    anchors = tmp_path / "anchors.csv"
    if content is not None:
        anchors.write_text(content)
    result, text = run("replay", simulated, "--anchors", anchors)
    assert result == code
    assert message in (text if code == 1 else one_error(capsys))
