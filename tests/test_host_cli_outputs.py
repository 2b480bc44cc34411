"""qz-host's outputs: never over an input, checked before the work, and a
late failure keeps the summary."""

import os

import pytest

from qz_host import capture

from cli_helpers import run, simulated  # noqa: F401 (a fixture)


def snapshot(directory):
    return {p.name: p.read_bytes() for p in directory.iterdir()}


def error_line(capsys):
    err = capsys.readouterr().err
    assert err.count("\n") == 1, err
    return err


@pytest.mark.parametrize("option", ["--csv", "--plot"])
@pytest.mark.parametrize("target", [
    lambda c: c,                                           # the capture itself
    lambda c: c.parent / ".." / c.parent.name / c.name,    # the same, another path
    lambda c: capture.truth_paths(c)[0],                   # its ground truth
    lambda c: capture.truth_paths(c)[1],
])
def test_an_output_over_an_input_is_refused(simulated, option, target, capsys):
    before = snapshot(simulated.parent)
    code, text = run("replay", simulated, option, target(simulated))
    assert code == 2 and text == ""
    assert "will not write" in error_line(capsys)
    assert snapshot(simulated.parent) == before


def test_an_output_through_a_link_is_refused(simulated, tmp_path, capsys):
    link = tmp_path / "link.csv"
    link.symlink_to(simulated)
    code, _ = run("replay", simulated, "--csv", link)
    assert code == 2
    assert "it is the input" in error_line(capsys)


def test_known_anchors_file_is_an_input(simulated, tmp_path, capsys):
    anchors = tmp_path / "anchors.csv"
    anchors.write_bytes(capture.truth_paths(simulated)[0].read_bytes())
    code, _ = run("replay", simulated, "--anchors", anchors, "--csv", anchors)
    assert code == 2
    assert "it is the input" in error_line(capsys)
    assert anchors.read_bytes() == capture.truth_paths(simulated)[0].read_bytes()


def test_the_same_file_for_two_outputs_is_refused(simulated, tmp_path, capsys):
    code, _ = run("replay", simulated, "--csv", tmp_path / "x.png", "--plot", tmp_path / "x.png")
    assert code == 2
    assert "named for two outputs" in error_line(capsys)


@pytest.mark.parametrize("make_target, message", [
    (lambda d: d / "no" / "such" / "x.png", "no such directory"),
    (lambda d: d, "it is a directory"),
])
def test_unwritable_outputs_are_refused_before_the_replay(simulated, tmp_path, make_target,
                                                          message, capsys):
    csv_path = tmp_path / "ok.csv"
    code, text = run("replay", simulated, "--csv", csv_path, "--plot", make_target(tmp_path))
    assert code == 2 and text == ""
    assert message in error_line(capsys)
    assert not csv_path.exists()  # nothing written before the refusal


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write anywhere")
def test_a_read_only_directory_is_refused(simulated, tmp_path, capsys):
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o500)
    code, _ = run("replay", simulated, "--csv", locked / "x.csv")
    assert code == 2
    assert "permission denied" in error_line(capsys)


def test_a_late_write_failure_keeps_the_summary(simulated, tmp_path, monkeypatch, capsys):
    from qz_host import report

    class DiskFull(report.PositionsWriter):
        def write(self, *args, **kwargs):
            raise OSError(28, "No space left on device")

    monkeypatch.setattr(report, "PositionsWriter", DiskFull)
    png = tmp_path / "fixes.png"
    code, text = run("replay", simulated, "--csv", tmp_path / "fixes.csv", "--plot", png)
    assert code == 2
    assert "Tracks" in text and "RMS (m)" in text
    assert f"wrote {png}" in text  # the other output is still written
    err = error_line(capsys)
    assert "cannot write" in err and "fixes.csv: No space left on device" in err


@pytest.mark.parametrize("existing", [0, 1, 2])  # the capture, or one truth file alone
def test_simulate_keeps_existing_files_without_force(tmp_path, existing, capsys):
    path = tmp_path / "hall.qzcap"
    target = [path, *capture.truth_paths(path)][existing]
    target.write_text("precious\n")
    code, _ = run("simulate", path, "--duration", "1")
    assert code == 2
    err = error_line(capsys)
    assert f"will not replace {target}" in err and "--force" in err
    assert [p.name for p in tmp_path.iterdir()] == [target.name]
    assert target.read_text() == "precious\n"
    assert run("simulate", path, "--duration", "1", "--force")[0] == 0
    assert target.read_text() != "precious\n"
