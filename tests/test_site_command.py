"""qz-host site check: the exit status, the faults on stderr with their
lines, the description of a sound site."""

import subprocess
import sys
from pathlib import Path

import pytest

from cli_helpers import run

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.mark.parametrize("name, text", [
    ("trolley-fast.site.toml", "8 at given positions (0A00, 0A01, 0A02, 0A03, 0A04, 0A05, 0A06, "
                               "0A07)"),
    ("hall.site.toml", "6 listed")])
def test_the_example_sites_are_sound(capsys, name, text):
    code, out = run("site", "check", EXAMPLES / name)
    assert (code, capsys.readouterr().err) == (0, "")
    assert text in out


def test_a_sound_site_is_described(capsys):
    code, out = run("site", "check", EXAMPLES / "hall.site.toml")
    assert code == 0, capsys.readouterr().err
    assert out.splitlines()[0].endswith("hall.site.toml: site 'Hall 3'")
    for text in ["6 listed", "'hall-3', fitted to 2 known anchors (0A01, 0A02); handedness "
                 "from rough positions of 0A04", "280 x 440 px = 14.0 m x 22.0 m",
                 "'dock': 6 points, 22.5 m2", "exit beyond 0.3 m for 1 s",
                 "tag_timeout, topic_prefix"]:
        assert text in out
    assert capsys.readouterr().err == ""


def test_warnings_go_to_stderr_and_the_site_still_passes(tmp_path, capsys):
    path = tmp_path / "site.toml"
    path.write_text("[anchors.1]\nx = 0\ny = 0\n[anchors.2]\nx = 5\ny = 0\n"
                    "[anchors.3]\nx = 0\ny = 5\n[geo]\n"
                    # 100 m on the site, some 110 m on the Earth.
                    "points = [{ site = [0, 0], latitude = 52.0, longitude = 4.0 },\n"
                    "          { site = [100, 0], latitude = 52.0, longitude = 4.0016 }]\n")
    code, out = run("site", "check", path)
    assert code == 0
    assert "3 at given positions (0001, 0002, 0003)" in out
    assert "from 2 control points" in out
    assert capsys.readouterr().err.startswith(f"{path}:10: warning: geo: control points fit")


def test_faults_go_to_stderr_with_their_lines(tmp_path, capsys):
    path = tmp_path / "site.toml"
    path.write_text('[[zones]]\nname = "bay"\npolygon = [[0.0, 0.0], [5.0, 0.0]]\n'
                    "[options]\nsigma = -1\n")
    code, out = run("site", "check", path)
    assert (code, out) == (2, "")
    assert capsys.readouterr().err == \
        f"{path}:3: zone 'bay': polygon needs at least 3 points\n"
    path.write_text("[options]\nsigma = -1\nbaud = 'fast'\n")
    code, _ = run("site", "check", path)
    assert code == 2
    assert capsys.readouterr().err.splitlines() == [
        f"{path}:2: options.sigma: must be at least 0.0001 and at most 10, got -1",
        f"{path}:3: options.baud: not a whole number: 'fast'"]


@pytest.mark.parametrize("content, message", [
    (None, "cannot read {path}: No such file or directory"),
    ("[frame\n", "{path}:1: Expected ']' at the end of a table declaration (column 7)"),
    ("a = 1\na = 2\n", "{path}:2: Cannot overwrite a value (column 6)"),
])
def test_unreadable_and_malformed_files(tmp_path, capsys, content, message):
    path = tmp_path / "site.toml"
    if content is not None:
        path.write_text(content)
    code, out = run("site", "check", path)
    assert (code, out) == (2, "")
    assert capsys.readouterr().err == message.format(path=path) + "\n"


def test_the_command_runs_as_a_program(tmp_path):
    done = subprocess.run([sys.executable, "-m", "qz_host", "site", "check",
                           str(EXAMPLES / "hall.site.toml")], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0 and "site 'Hall 3'" in done.stdout
    done = subprocess.run([sys.executable, "-m", "qz_host", "site"], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 2 and "ACTION" in done.stderr
