"""The type stubs in stubs/ against the built modules."""

import importlib.util
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs"
MODULES = ["qz_packets", "qz_engine", "qz_autopos", "qz_track"]

# The stubs use syntax and checks of mypy 2.4, which needs Python 3.10.
needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None,
    reason="mypy is not installed (the test extra installs mypy 2.4+ from Python 3.10 on)")
# The static checks of the host code come out the same on every interpreter;
# make test-all runs them on the primary one only.
static_check = pytest.mark.slow


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
@static_check
def test_host_package_type_checks_against_the_stubs(tmp_path):
    done = run_mypy("mypy", "--no-incremental", str(ROOT / "host" / "qz_host"), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def installed_directory(name):
    """Where `name` is installed, skipping the test when it runs from a build tree."""
    installed = Path(__import__(name).__file__).parent
    if "site-packages" not in installed.parts and "dist-packages" not in installed.parts:
        pytest.skip(f"{name} is not installed (imported from {installed})")
    return installed


@pytest.mark.parametrize("name", MODULES)
def test_stubs_are_installed_beside_the_modules(name):
    installed = installed_directory(name)
    stub = installed / f"{name}-stubs" / "__init__.pyi"
    assert stub.read_text() == (STUBS / f"{name}.pyi").read_text()


# A user's script, checked where a user checks it: outside the source tree,
# against the installed package alone.
USER_SCRIPT = textwrap.dedent("""\
    import qz_autopos
    import qz_packets
    from qz_engine import Position, PositionEngine
    from qz_host.capture import read_anchors

    engine = PositionEngine(3)
    reveal_type(engine.compute_tag_position([1.0, 2.0, 3.0], Position(0.0, 0.0, 0.0)))
    reveal_type(qz_autopos.AutoPos(3).get_position_estimates())
    reveal_type(qz_packets.Header(b"@QZ@DW\\x09\\x00\\x01").packet_len)
    reveal_type(read_anchors("hall.anchors.csv"))
    engine.compute_tag_position([1.0], 3)
""")
REVEALED = ["qz_engine.Position", "list[qz_autopos.Position]", "int",
            "dict[int, tuple[float, float, float]]"]


def user_environment():
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}


@needs_mypy
@static_check
def test_mypy_resolves_the_installed_types(tmp_path):
    installed_directory("qz_engine")
    script = tmp_path / "user.py"
    script.write_text(USER_SCRIPT)
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", script.name],
                          capture_output=True, text=True, env=user_environment(),
                          cwd=tmp_path, timeout=600)
    output = done.stdout + done.stderr
    assert "Cannot find implementation or library stub" not in output
    assert "missing library stubs or py.typed" not in output
    # Older mypy releases qualify the builtins.
    revealed = [line.split('Revealed type is "', 1)[1].rstrip('"').replace("builtins.", "")
                for line in output.splitlines() if "Revealed type is" in line]
    assert revealed == REVEALED, output
    # The one wrong call: a plain int is no point.
    assert ('Argument 2 to "compute_tag_position" of "PositionEngine" has incompatible type'
            in output)
    assert "Found 1 error" in output


@static_check
def test_pyright_resolves_the_installed_types(tmp_path):
    installed_directory("qz_engine")
    pyright = shutil.which("pyright", path=str(Path(sys.executable).parent))
    if pyright is None:
        pytest.skip("pyright is not installed (pip install pyright)")
    if shutil.which("node") is None:
        pytest.skip("pyright needs Node.js on PATH (Debian package nodejs)")
    script = tmp_path / "user.py"
    script.write_text(USER_SCRIPT)
    env = dict(user_environment(), PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    done = subprocess.run([pyright, "--outputjson", "--pythonpath", sys.executable, script.name],
                          capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)
    report = json.loads(done.stdout)
    messages = [(d["severity"], d["message"]) for d in report["generalDiagnostics"]]
    revealed = [m.rsplit(' is "', 1)[1].rstrip('"') for severity, m in messages
                if severity == "information"]
    assert revealed == ["Position", "list[Position]", "int",
                        "Dict[int, Tuple[float, float, float]]"], messages
    errors = [m for severity, m in messages if severity == "error"]
    assert len(errors) == 1 and "compute_tag_position" in errors[0], messages
