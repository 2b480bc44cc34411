"""make bench-all: the headline benchmark ratios on every supported CPython
found on the machine, in one table.

For each interpreter: its venv under build/ (shared with make test-all)
with the package and its bench extra installed, then
benchmarks/interpreter_summary.py. The interpreters run one after the
other, so each has the machine to itself as far as this script can tell.
Prints a Markdown table, one row per interpreter; exits 1 when any
interpreter failed to build or to run the benchmarks.

Run: python scripts/bench_on_every_interpreter.py [--versions "3.11 3.13"]
"""

import argparse
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import interpreters  # noqa: E402

LOGS = interpreters.ROOT / "build" / "bench-all"
COLUMNS = [
    ("decode_ranging", "ranging frame, 4 reports: ours / plain Python"),
    ("decode_raw", "raw frame: ours / plain Python"),
    ("fit_8", "tag fit, 8 anchors: ours / SciPy"),
    ("survey_8", "survey, 8 anchors: ours / NumPy"),
]


def cell(entry):
    """'5.1 / 16.8 µs, 3.3x': our time, the baseline's and the ratio."""
    digits = 2 if entry["ours"] < 10 else 1
    baseline = (
        "%.0f" % entry["baseline"] if entry["baseline"] >= 100 else "%.1f" % entry["baseline"]
    )
    return "%.*f / %s µs, %.1fx" % (digits, entry["ours"], baseline, entry["ratio"])


def table(rows):
    lines = ["| Python | " + " | ".join(title for _, title in COLUMNS) + " |",
             "|---|" + "---|" * len(COLUMNS)]
    for entries in rows:
        lines.append("| %s | " % entries["python"]
                     + " | ".join(cell(entries[key]) for key, _ in COLUMNS) + " |")
    return "\n".join(lines)


def last_json_line(text):
    for line in reversed(text.splitlines()):
        if line.startswith("{"):
            try:
                return json.loads(line)
            except ValueError:
                return None
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--versions",
        default=os.environ.get("VERSIONS", ""),
        help='minor versions to measure, e.g. "3.11 3.13" (default: all supported)',
    )
    args = parser.parse_args(argv)
    try:
        versions = interpreters.selected_versions(args.versions)
    except ValueError as error:
        parser.error(str(error))
    LOGS.mkdir(parents=True, exist_ok=True)

    rows, missing, failed = [], [], []
    for minor in versions:
        executable = interpreters.find_interpreter(minor)
        if executable is None:
            missing.append(minor)
            continue
        log = LOGS / (minor + ".log")
        log.write_text("")
        print("== %s: building into build/venv-%s" % (minor, minor), flush=True)
        python = interpreters.prepare(minor, executable, "bench", log)
        entries = None
        if python is not None:
            print("== %s: measuring" % minor, flush=True)
            done = subprocess.run([str(python), "benchmarks/interpreter_summary.py"],
                                  cwd=interpreters.ROOT, env=interpreters.clean_environment(),
                                  capture_output=True, text=True, timeout=1200)
            with open(log, "a") as out:
                out.write(done.stdout + done.stderr)
            entries = last_json_line(done.stdout) if done.returncode == 0 else None
        if entries is None:
            failed.append(minor)
            print("%s: failed, see %s" % (minor, log.relative_to(interpreters.ROOT)), flush=True)
        else:
            rows.append(entries)

    print("\nTimes per call (medians; decoding: Header + QZDWPacket + callback())\n")
    print(table(rows))
    if missing:
        print("\nnot found: %s" % " ".join(missing))
    if failed:
        print("failed: %s" % " ".join(failed))
    return 1 if failed or not rows else 0


if __name__ == "__main__":
    sys.exit(main())
