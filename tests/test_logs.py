"""The host's lines on stderr: through logging, one line per event with its
time and level, plain or JSON, filtered by --log-level; never a traceback."""

import io
import json
import re
import subprocess
import sys

import pytest

from qz_host import cli, logs

from live_helpers import live_thread

PLAIN = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (DEBUG|INFO|WARNING|ERROR) "
                   r"qz-host( \w+)?: ")


@pytest.fixture(autouse=True)
def default_logging():
    yield
    logs.configure()


@pytest.mark.parametrize("form", ["plain", "json"])
def test_an_error_is_one_line_with_its_time_and_level(form, capsys):
    assert cli.main(["replay", "/no/such.qzcap", "--log-format", form]) == 2
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == 1, lines
    text = "error: cannot read /no/such.qzcap: No such file or directory"
    if form == "plain":
        assert PLAIN.match(lines[0]) and " ERROR qz-host replay: " + text in lines[0]
    else:
        line = json.loads(lines[0])
        assert PLAIN.match(f"{line.pop('time')} ERROR qz-host: ")
        assert line == {"level": "error", "command": "replay", "message": text}


@pytest.mark.parametrize("level, seen", [
    ("info", ["WARNING", "INFO", "INFO"]),  # serving metrics; reading SOURCE
    ("warning", ["WARNING"]),
    ("error", []),
])
def test_log_level_leaves_out_the_less_severe(level, seen, capsys):
    logs.configure(level)
    with live_thread(["udp://127.0.0.1:0", "--metrics", "0.0.0.0:0", "--jsonl",
                      "/dev/null"]) as session:
        session.finish()
    lines = [line for line in capsys.readouterr().err.splitlines() if PLAIN.match(line)]
    assert [line.split()[1] for line in lines] == seen, lines
    if "WARNING" in seen:
        assert "qz-host live: warning: serving metrics beyond this machine" in lines[0]


def test_a_line_is_one_line_and_stderr_is_read_when_written(monkeypatch):
    first, second = io.StringIO(), io.StringIO()
    log = logs.line_log("live")
    monkeypatch.setattr(sys, "stderr", first)
    log("one\ntwo")
    monkeypatch.setattr(sys, "stderr", second)
    log("three", 10)  # below the level: nothing
    logs.configure("debug", "json")
    log("naïve")
    assert first.getvalue().count("\n") == 1 and first.getvalue().endswith("live: one two\n")
    assert json.loads(second.getvalue())["message"] == "naïve"


def test_a_closed_stderr_loses_the_line_and_nothing_else(monkeypatch):
    closed = io.StringIO()
    closed.close()
    monkeypatch.setattr(sys, "stderr", closed)
    logs.line_log("live")("nobody reads this")


def test_a_program_failure_is_one_json_line_no_traceback():
    done = subprocess.run([sys.executable, "-m", "qz_host", "live", "/dev/no-such-port",
                           "--once", "--log-format", "json"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    lines = done.stderr.splitlines()
    assert len(lines) == 1, done.stderr
    line = json.loads(lines[0])
    assert (line["level"], line["command"]) == ("error", "live")
    assert line["message"].startswith("error: cannot open /dev/no-such-port")


@pytest.mark.parametrize("argv", [["live", "-"], ["replay", "x.qzcap"], ["site", "check", "x"]])
def test_every_command_takes_the_log_options(argv):
    args = cli.build_parser().parse_args(argv + ["--log-level", "error", "--log-format", "json"])
    assert (args.log_level, args.log_format) == ("error", "json")
