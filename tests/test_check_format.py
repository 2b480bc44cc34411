"""scripts/check_format.sh on a small tree of its own: it names the files
that clang-format or ruff would change and the lint findings, exits 1 for
them and 0 for a clean tree, and --apply reformats in place."""
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUFF = os.path.join(os.path.dirname(sys.executable), "ruff")

pytestmark = pytest.mark.skipif(
    shutil.which("clang-format") is None or not os.path.exists(RUFF),
    reason="needs clang-format and ruff")

CLEAN_CPP = "int answer()\n{\n    return 42;\n}\n"
CLEAN_PY = 'def answer():\n    return 42\n'


@pytest.fixture
def tree(tmp_path):
    """A copy of the script and both configurations, with clean files."""
    (tmp_path / "scripts").mkdir()
    shutil.copy(os.path.join(ROOT, "scripts", "check_format.sh"), tmp_path / "scripts")
    for name in (".clang-format", "pyproject.toml"):
        shutil.copy(os.path.join(ROOT, name), tmp_path)
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "clean.cpp").write_text(CLEAN_CPP)
    (tmp_path / "clean.py").write_text(CLEAN_PY)
    return tmp_path


def check(tree, *args):
    return subprocess.run(["bash", str(tree / "scripts" / "check_format.sh"), *args],
                          capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, RUFF=RUFF))


def test_a_clean_tree_passes(tree):
    done = check(tree)
    assert (done.returncode, done.stdout) == (0, "")


def test_files_that_differ_are_named_and_applied(tree):
    (tree / "src" / "messy.hpp").write_text("int  answer( ) { return 42 ; }\n")
    (tree / "messy.py").write_text("def answer( ):\n  return  42\n")
    done = check(tree)
    assert done.returncode == 1
    assert "clang-format would reformat: src/messy.hpp" in done.stdout
    assert "messy.py" in done.stdout and "clean" not in done.stdout
    applied = check(tree, "--apply")
    assert applied.returncode == 0, applied.stdout + applied.stderr
    assert check(tree).returncode == 0
    assert (tree / "messy.py").read_text() == CLEAN_PY


def test_lint_findings_fail_the_check_and_are_left_to_a_person(tree):
    (tree / "unused.py").write_text("import os\n")
    done = check(tree)
    assert done.returncode == 1 and "unused.py:1:8: F401" in done.stdout
    applied = check(tree, "--apply")
    assert applied.returncode == 0 and "F401" in applied.stdout
    assert (tree / "unused.py").read_text() == "import os\n"


@pytest.mark.parametrize("args, environment, message", [
    (["--fix"], {}, "usage: scripts/check_format.sh [--apply]"),
    ([], {"CLANG_FORMAT": "no-such-clang-format"}, "no-such-clang-format is not installed"),
])
def test_bad_usage_and_missing_tools_exit_2(tree, args, environment, message):
    done = subprocess.run(["bash", str(tree / "scripts" / "check_format.sh"), *args],
                          capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, RUFF=RUFF, **environment))
    assert done.returncode == 2 and message in done.stderr
