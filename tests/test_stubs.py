"""The type stubs in stubs/ against the built modules."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs"
MODULES = ["qz_packets", "qz_engine", "qz_autopos"]

# The stubs use syntax and checks of mypy 2.4, which needs Python 3.10.
needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None,
    reason="mypy is not installed (the test extra installs mypy 2.4+ from Python 3.10 on)")


def run_mypy(*args, cwd):
    """Runs mypy in `cwd` (away from any project configuration), seeing the
    modules where this interpreter imports them from and the stubs here."""
    paths = [str(Path(__import__(name).__file__).parent) for name in MODULES]
    paths.append(os.environ.get("PYTHONPATH", ""))
    env = dict(os.environ, MYPYPATH=str(STUBS),
               PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in paths if p))
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                           env=env, cwd=cwd, timeout=600)


@needs_mypy
def test_stubs_match_the_modules(tmp_path):
    done = run_mypy("mypy.stubtest", *MODULES, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


@needs_mypy
def test_host_package_type_checks_against_the_stubs(tmp_path):
    done = run_mypy("mypy", "--no-incremental", str(ROOT / "host" / "qz_host"), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("name", MODULES)
def test_stubs_are_installed_beside_the_modules(name):
    module = __import__(name)
    installed = Path(module.__file__).parent
    if "site-packages" not in installed.parts and "dist-packages" not in installed.parts:
        pytest.skip(f"{name} is not installed (imported from {installed})")
    assert (installed / f"{name}.pyi").read_text() == (STUBS / f"{name}.pyi").read_text()
