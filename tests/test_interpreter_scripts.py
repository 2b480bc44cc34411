"""The scripts behind make test-all and make bench-all: finding the
interpreters, reading pytest's reports, the summary lines and the table."""
import os
import stat
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
import bench_on_every_interpreter as bench_all  # noqa: E402
import interpreters  # noqa: E402
import suite_on_every_interpreter as test_all  # noqa: E402


def fake_python(path, version):
    """An executable that answers the version probe like pythonX.Y would."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!/bin/sh\necho %s\n" % version)
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return path


@pytest.fixture(autouse=True)
def without_make_knobs(monkeypatch):
    """make test-all runs this suite with its own VERSIONS and SKIP_PRIMARY
    set; the scripts under test must not see them."""
    monkeypatch.delenv("VERSIONS", raising=False)
    monkeypatch.delenv("SKIP_PRIMARY", raising=False)


@pytest.fixture
def empty_path(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path / "bin"))
    return tmp_path / "bin"


class TestFindInterpreter:
    def test_newest_pyenv_build_wins(self, tmp_path, empty_path):
        for patch in ("3.12.1", "3.12.10", "3.12.9"):
            fake_python(tmp_path / "versions" / patch / "bin" / "python3.12", "3.12")
        found = interpreters.find_interpreter("3.12", str(tmp_path))
        assert Path(found).parents[1].name == "3.12.10"

    @pytest.mark.parametrize("name", ["3.12.1t", "3.12-dev", "3.120.1", "3.12.1-debug"])
    def test_other_builds_of_the_name_are_not_taken(self, tmp_path, empty_path, name):
        fake_python(tmp_path / "versions" / name / "bin" / "python3.12", "3.12")
        assert interpreters.find_interpreter("3.12", str(tmp_path)) is None

    def test_falls_back_to_the_path(self, tmp_path, empty_path):
        on_path = fake_python(empty_path / "python3.9", "3.9")
        assert interpreters.find_interpreter("3.9", str(tmp_path / "none")) == str(on_path)

    @pytest.mark.parametrize("answer", ["3.11", "", "exit 1"])
    def test_a_path_entry_of_another_version_is_not_taken(self, tmp_path, empty_path, answer):
        # pyenv's shims exist for every name and fail for versions not built
        script = empty_path / "python3.9"
        script.parent.mkdir(parents=True)
        script.write_text(
            "#!/bin/sh\n%s\n" % (answer if answer.startswith("exit") else "echo " + answer)
        )
        script.chmod(0o755)
        assert interpreters.find_interpreter("3.9", str(tmp_path / "none")) is None

    def test_pyenv_root_from_the_environment(self, tmp_path, empty_path, monkeypatch):
        fake_python(tmp_path / "versions" / "3.8.18" / "bin" / "python3.8", "3.8")
        monkeypatch.setenv("PYENV_ROOT", str(tmp_path))
        assert interpreters.find_interpreter("3.8") is not None


class TestSelectedVersions:
    @pytest.mark.parametrize("text", [None, "", "  "])
    def test_default_is_every_supported_version(self, text):
        assert interpreters.selected_versions(text) == interpreters.SUPPORTED

    @pytest.mark.parametrize("text, versions", [
        ("3.8 3.13", ["3.8", "3.13"]),
        ("3.13,3.8", ["3.13", "3.8"]),
        (" 3.10 ,\t3.11 ", ["3.10", "3.11"]),
    ])
    def test_lists(self, text, versions):
        assert interpreters.selected_versions(text) == versions

    @pytest.mark.parametrize("text", ["3.7", "3.14", "3.1", "python3.8", "3.8 2.7"])
    def test_unsupported_names_are_refused(self, text):
        with pytest.raises(ValueError, match="not a supported interpreter"):
            interpreters.selected_versions(text)


def test_clean_environment_drops_the_callers_venv(monkeypatch):
    for name in ("VIRTUAL_ENV", "PYTHONPATH", "PYTHONHOME", "PYTHONOPTIMIZE"):
        monkeypatch.setenv(name, "x")
    env = interpreters.clean_environment()
    assert not {"VIRTUAL_ENV", "PYTHONPATH", "PYTHONHOME", "PYTHONOPTIMIZE"} & set(env)
    assert env["PATH"] == os.environ["PATH"]


class TestPytestCounts:
    @pytest.mark.parametrize("xml, counts", [
        ('<testsuites><testsuite tests="10" failures="1" errors="2" skipped="3"/></testsuites>',
         (4, 3, 3)),
        ('<testsuite tests="5" failures="0" errors="0" skipped="0"/>', (5, 0, 0)),
        ('<testsuites><testsuite tests="2" skipped="1"/><testsuite tests="3" failures="1"/>'
         '</testsuites>', (3, 1, 1)),
    ])
    def test_reads_the_counts(self, tmp_path, xml, counts):
        report = tmp_path / "report.xml"
        report.write_text(xml)
        assert test_all.pytest_counts(report) == counts

    @pytest.mark.parametrize("xml", [None, "", "<testsuites>", "<other/>"])
    def test_missing_or_broken_report(self, tmp_path, xml):
        report = tmp_path / "report.xml"
        if xml is not None:
            report.write_text(xml)
        assert test_all.pytest_counts(report) is None


class TestSummaryLine:
    def test_counts_and_left_out_tests(self):
        line = test_all.summary_line(
            "3.8",
            "3.8.18",
            {
                "error": None,
                "passed": 1340,
                "failed": 2,
                "skipped": 4,
                "seconds": 61.7,
                "marker": test_all.SLOW,
            },
        )
        assert line.split()[:8] == [
            "3.8",
            "3.8.18",
            "passed",
            "1340",
            "failed",
            "2",
            "skipped",
            "4",
        ]
        assert "slow left out" in line

    def test_primary_runs_everything(self):
        line = test_all.summary_line("3.11", "3.11.7", {
            "error": None, "passed": 1, "failed": 0, "skipped": 0, "seconds": 1, "marker": None})
        assert "left out" not in line

    def test_build_failure(self):
        line = test_all.summary_line("3.9", "?", {"error": "build failed, see x.log"})
        assert line.split()[:2] == ["3.9", "?"] and line.endswith("build failed, see x.log")


def test_run_fails_when_no_interpreter_is_found(monkeypatch, capsys, tmp_path):
    monkeypatch.setattr(test_all, "LOGS", tmp_path)
    monkeypatch.setattr(interpreters, "find_interpreter", lambda minor: None)
    assert test_all.main(["--versions", "3.8 3.13"]) == 1
    out = capsys.readouterr().out.splitlines()
    assert "not found: 3.8 3.13" in out
    assert out[-1] == "test-all: 0 passed, 0 failed, 0 skipped"


def test_without_primary_leaves_it_out_and_says_so(monkeypatch, capsys, tmp_path):
    monkeypatch.setattr(test_all, "LOGS", tmp_path)
    monkeypatch.setenv("SKIP_PRIMARY", "1")
    built = []
    monkeypatch.setattr(interpreters, "find_interpreter", lambda minor: built.append(minor))
    assert test_all.main(["--versions", "3.11 3.13", "--primary", "3.11"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert built == ["3.13"]
    assert "3.11     left out: make test runs the whole suite on it" in out
    assert test_all.main(["--versions", "3.11", "--primary", "3.11"]) == 0


def test_run_reports_a_build_failure(monkeypatch, capsys, tmp_path):
    monkeypatch.setattr(test_all, "LOGS", tmp_path)
    monkeypatch.setattr(interpreters, "ROOT", tmp_path)
    monkeypatch.setattr(interpreters, "find_interpreter", lambda minor: "/no/python")
    monkeypatch.setattr(interpreters, "prepare", lambda *args: None)
    assert test_all.main(["--versions", "3.12"]) == 1
    out = capsys.readouterr().out.splitlines()
    assert "failing: 3.12" in out
    assert out[-1] == "test-all: 0 passed, 1 failed, 0 skipped"


@pytest.mark.parametrize("argv", [["--versions", "3.7"], ["--versions", "3.14 3.8"]])
def test_scripts_refuse_unsupported_versions(argv, capsys, monkeypatch, tmp_path):
    monkeypatch.setattr(interpreters, "ROOT", tmp_path)
    for script in (test_all, bench_all):
        with pytest.raises(SystemExit) as stop:
            script.main(argv)
        assert stop.value.code == 2
        assert "not a supported interpreter" in capsys.readouterr().err


class TestBenchTable:
    ENTRIES = {"python": "3.13.0",
               "decode_ranging": {"ours": 5.123, "baseline": 16.84, "ratio": 3.29},
               "decode_raw": {"ours": 3.1, "baseline": 7.7, "ratio": 2.48},
               "fit_8": {"ours": 0.72, "baseline": 581.2, "ratio": 803.0},
               "survey_8": {"ours": 14.2, "baseline": 48.1, "ratio": 3.39}}

    @pytest.mark.parametrize("key, text", [
        ("decode_ranging", "5.12 / 16.8 µs, 3.3x"),
        ("fit_8", "0.72 / 581 µs, 803.0x"),
        ("survey_8", "14.2 / 48.1 µs, 3.4x"),
    ])
    def test_cells(self, key, text):
        assert bench_all.cell(self.ENTRIES[key]) == text

    def test_one_row_per_interpreter_under_the_header(self):
        lines = bench_all.table([self.ENTRIES, dict(self.ENTRIES, python="3.8.18")]).splitlines()
        assert len(lines) == 4
        assert all(line.count("|") == len(bench_all.COLUMNS) + 2 for line in lines)
        assert lines[2].startswith("| 3.13.0 |") and lines[3].startswith("| 3.8.18 |")

    @pytest.mark.parametrize("text, expected", [
        ('noise\n{"python": "3.8"}\n', {"python": "3.8"}),
        ('{"python": "3.8"}\nwarning\n', {"python": "3.8"}),
        ("no result\n", None),
        ('{"python": \n', None),
    ])
    def test_result_line(self, text, expected):
        assert bench_all.last_json_line(text) == expected
