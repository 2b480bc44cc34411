"""make test-all: the suite on every supported CPython found on the machine.

For each interpreter: its own venv under build/ with the package built and
installed (interpreters.prepare), then the suite as is and under python -O.
The interpreter that `make test` already covers (the one running this
script, unless --primary says otherwise) runs everything; the others leave
out the tests marked `slow`, which the summary says. Ends with one line per
interpreter and a closing count; exits 1 when any interpreter failed to
build or failed a test. Interpreters not found are listed, not failed.
CI, which has just run `make test` on the primary, leaves it out with
--without-primary (SKIP_PRIMARY=1 in make's environment).

Run: python scripts/suite_on_every_interpreter.py [--versions "3.8 3.13"] [--primary 3.11]
                                                  [--without-primary]
"""

import argparse
import os
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import interpreters  # noqa: E402

LOGS = interpreters.ROOT / "build" / "test-all"
SLOW = "not slow"


def pytest_counts(report):
    """(passed, failed, skipped) from a pytest junit report; None
    when the report is missing or unreadable (pytest crashed)."""
    try:
        root = ElementTree.parse(str(report)).getroot()
    except (OSError, ElementTree.ParseError):
        return None
    suites = [root] if root.tag == "testsuite" else list(root.iter("testsuite"))
    if not suites:
        return None
    total = failed = skipped = 0
    for suite in suites:
        total += int(suite.get("tests", 0))
        failed += int(suite.get("failures", 0)) + int(suite.get("errors", 0))
        skipped += int(suite.get("skipped", 0))
    return total - failed - skipped, failed, skipped


def run_suite(python, minor, optimize, marker, log):
    """One pytest run; (passed, failed, skipped, exit status)."""
    report = LOGS / ("%s%s.xml" % (minor, "-O" if optimize else ""))
    if report.exists():
        report.unlink()
    command = [str(python)] + (["-O"] if optimize else []) + [
        "-m", "pytest", "-q", "-p", "no:cacheprovider", "--junitxml", str(report)]
    if marker:
        command += ["-m", marker]
    print("\n== %s%s: %s" % (minor, " -O" if optimize else "", " ".join(command[1:])), flush=True)
    try:
        done = subprocess.run(command, cwd=interpreters.ROOT, env=interpreters.clean_environment(),
                              timeout=1800)
        status = done.returncode
    except subprocess.TimeoutExpired:
        status = "timeout"
    counts = pytest_counts(report)
    if counts is None:
        return 0, 1, 0, status
    passed, failed, skipped = counts
    # pytest stopping on an error of its own (collection, usage) counts as a failure
    if status != 0 and failed == 0:
        failed = 1
    return passed, failed, skipped, status


def summary_line(minor, version, result):
    if result["error"]:
        return "%-8s %-8s %s" % (minor, version, result["error"])
    line = "%-8s %-8s passed %5d  failed %3d  skipped %3d  %5.0f s" % (
        minor, version, result["passed"], result["failed"], result["skipped"], result["seconds"])
    if result["marker"]:
        line += "  (tests marked slow left out)"
    return line


def interpreter_version(python):
    done = subprocess.run([str(python), "-c", "import platform; print(platform.python_version())"],
                          capture_output=True, text=True, timeout=60)
    return done.stdout.strip() or "?"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--versions", default=os.environ.get("VERSIONS", ""),
                        help="minor versions to test, e.g. \"3.8 3.13\" (default: all supported)")
    parser.add_argument("--primary", default="%d.%d" % sys.version_info[:2],
                        help="the interpreter that runs the slow tests too (default: this one)")
    parser.add_argument("--without-primary", action="store_true",
                        default=os.environ.get("SKIP_PRIMARY", "") not in ("", "0"),
                        help="leave out the primary interpreter, which make test has run")
    args = parser.parse_args(argv)
    try:
        versions = interpreters.selected_versions(args.versions)
    except ValueError as error:
        parser.error(str(error))
    skipped_primary = args.without_primary and args.primary in versions
    if skipped_primary:
        versions = [minor for minor in versions if minor != args.primary]
    LOGS.mkdir(parents=True, exist_ok=True)

    results, missing = {}, []
    for minor in versions:
        executable = interpreters.find_interpreter(minor)
        if executable is None:
            missing.append(minor)
            continue
        start = time.monotonic()
        log = LOGS / (minor + "-build.log")
        log.write_text("")
        print("\n== %s: building into build/venv-%s (%s)" % (minor, minor, executable), flush=True)
        python = interpreters.prepare(minor, executable, "test", log)
        result = {"passed": 0, "failed": 0, "skipped": 0, "error": None,
                  "marker": None if minor == args.primary else SLOW, "version": "?"}
        if python is None:
            result["error"] = "build failed, see %s" % log.relative_to(interpreters.ROOT)
            print(log.read_text()[-4000:], flush=True)
        else:
            result["version"] = interpreter_version(python)
            for optimize in (False, True):
                passed, failed, skipped, _ = run_suite(
                    python, minor, optimize, result["marker"], log
                )
                result["passed"] += passed
                result["failed"] += failed
                result["skipped"] += skipped
        result["seconds"] = time.monotonic() - start
        results[minor] = result

    print("\n== test-all: every run twice, as is and under python -O")
    for minor, result in results.items():
        print(summary_line(minor, result["version"], result))
    if skipped_primary:
        print("%-8s left out: make test runs the whole suite on it" % args.primary)
    if missing:
        print("not found: %s" % " ".join(missing))
    failed_interpreters = [minor for minor, result in results.items()
                           if result["error"] or result["failed"]]
    if failed_interpreters:
        print("failing: %s" % " ".join(failed_interpreters))
    print("test-all: %d passed, %d failed, %d skipped" % (
        sum(r["passed"] for r in results.values()),
        sum(r["failed"] + (1 if r["error"] else 0) for r in results.values()),
        sum(r["skipped"] for r in results.values())))
    return 1 if failed_interpreters or not (results or skipped_primary) else 0


if __name__ == "__main__":
    sys.exit(main())
