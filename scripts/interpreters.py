"""The CPython interpreters this package supports, found on the machine, and
one virtual environment per interpreter under build/ with the package built
and installed into it. Shared by suite_on_every_interpreter.py and
bench_on_every_interpreter.py; standard library only, so that any supported
interpreter can run it."""

import glob
import os
import re
import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SUPPORTED = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]
BUILD_TOOLS = ["scikit-build-core>=0.10", "cmake>=3.18", "ninja"]


def _version_key(text):
    return tuple(int(part) for part in re.findall(r"\d+", text))


def find_interpreter(minor, pyenv_root=None):
    """The executable of CPython `minor` ("3.12"): the newest pyenv build of
    it, else pythonX.Y on the PATH; None when neither exists."""
    if pyenv_root is None:
        pyenv_root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    pattern = os.path.join(pyenv_root, "versions", minor + ".*", "bin", "python" + minor)
    builds = [path for path in glob.glob(pattern)
              if re.fullmatch(re.escape(minor) + r"\.\d+", Path(path).parents[1].name)]
    if builds:
        return max(builds, key=lambda path: _version_key(Path(path).parents[1].name))
    on_path = shutil.which("python" + minor)
    # pyenv's shims answer for every version name but fail for ones not built
    if on_path and _reports_version(on_path, minor):
        return on_path
    return None


def _reports_version(executable, minor):
    try:
        done = subprocess.run(
            [executable, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
            capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.SubprocessError):
        return False
    return done.returncode == 0 and done.stdout.strip() == minor


def selected_versions(text=None):
    """The minor versions asked for in `text` (white space or commas between
    them, "3.8 3.13"), all supported ones when empty. Unknown names raise
    ValueError."""
    if not text or not text.strip():
        return list(SUPPORTED)
    wanted = [name for name in re.split(r"[\s,]+", text.strip()) if name]
    unknown = [name for name in wanted if name not in SUPPORTED]
    if unknown:
        raise ValueError("not a supported interpreter: %s (supported: %s)"
                         % (", ".join(unknown), " ".join(SUPPORTED)))
    return wanted


def clean_environment():
    """The environment for commands run in a venv: nothing of the caller's
    own virtual environment or import path leaks in."""
    env = dict(os.environ)
    for name in (
        "VIRTUAL_ENV",
        "PYTHONHOME",
        "PYTHONPATH",
        "PYTHONOPTIMIZE",
        "__PYVENV_LAUNCHER__",
    ):
        env.pop(name, None)
    return env


def _run(command, log):
    """Runs `command` from the repository root, its output appended to `log`;
    True when it succeeded."""
    with open(log, "a") as out:
        out.write("$ %s\n" % " ".join(str(part) for part in command))
        out.flush()
        try:
            done = subprocess.run([str(part) for part in command], cwd=ROOT, stdout=out,
                                  stderr=subprocess.STDOUT, env=clean_environment(),
                                  timeout=1800)
        except subprocess.TimeoutExpired:
            out.write("timed out\n")
            return False
    return done.returncode == 0


def prepare(minor, executable, extras, log):
    """Creates build/venv-X.Y for `executable` when missing, installs the
    build tools once, then builds and installs the package with `extras`
    ("test" or "test,bench"). Returns the venv's python, or None with the
    reason in `log`. The venvs and the per-interpreter build directories are
    kept, so a second run only rebuilds what changed and downloads nothing."""
    venv = ROOT / "build" / ("venv-" + minor)
    python = venv / "bin" / "python"
    tools_stamp = venv / ".tools"
    if not python.exists():
        if not _run([executable, "-m", "venv", venv], log):
            return None
    if not tools_stamp.exists():
        if not _run(
            [python, "-m", "pip", "install", "--quiet", "--upgrade", "pip"] + BUILD_TOOLS, log
        ):
            return None
        tools_stamp.touch()
    if not _run([python, "-m", "pip", "install", "--quiet", "--no-build-isolation",
                 ".[%s]" % extras], log):
        return None
    return python
