"""Runs the fuzz harnesses for a fixed time each and reports executions,
executions per second and the coverage reached.

    python fuzz/run.py --seconds 60 --modules build/fuzz

The modules in --modules must be built with clang's -fsanitize=fuzzer-no-link
and ASan+UBSan (scripts/fuzz.sh does that); atheris's libFuzzer with the ASan
runtime is preloaded into the interpreter. Each harness reads its seed corpus
fuzz/corpus/NAME/ and writes new entries to build/fuzz/corpus/NAME/ and
crash artifacts to build/fuzz/artifacts/. The packets harness runs twice,
normally and under python -O. Exits non-zero when a harness fails.

Coverage: libFuzzer's "cov" counts the coverage points it saw, native edges
and the Python harness's own branches alike; the native figure printed
beside it is the edges of our C++ sources that the run reached, from
libFuzzer's -print_coverage report. Those edges include the branches to the
sanitizers' error handlers, which a clean run never takes, so the share
understates the code reached. With --gcov DIR (modules built with gcc
--coverage, as scripts/fuzz.sh does), the corpus of each harness is replayed
once on those modules and gcov's line coverage of each source is reported.
"""
import argparse
import collections
import glob
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
WORK = os.path.join(ROOT, "build", "fuzz")

# name, script, interpreter flags, the sources whose native edges count
HARNESSES = [
    ("packets", "fuzz_packets.py", [], r"qz_packets\.cpp|packets_\w+\.hpp"),
    ("packets-O", "fuzz_packets.py", ["-O"], r"qz_packets\.cpp|packets_\w+\.hpp"),
    ("engines", "fuzz_engines.py", [],
     r"engine_levmar\.cpp|engine_autopos\.cpp|eng/engine/engine-[\w-]+\.cpp"),
    ("track", "fuzz_track.py", [], r"qz_track\.cpp|track_\w+\.hpp|track/track-[\w-]+\.cpp"),
]
FUNCTION = re.compile(r"^(?:UN)?COVERED_FUNC: hits: \d+ edges: (\d+)/(\d+) .* (\S+):\d+$",
                      re.M)


def runtime_libraries(python):
    found = subprocess.run(
        [python, "-c", "import atheris, os; print(atheris.path())"],
        capture_output=True, text=True, check=True).stdout.strip()
    libraries = [os.path.join(found, "asan_with_fuzzer.so")]
    # ASan can only intercept C++ throws when the C++ runtime is there from
    # the start; the interpreter does not link it.
    for compiler in ("g++", "clang++"):
        try:
            path = subprocess.run([compiler, "-print-file-name=libstdc++.so"],
                                  capture_output=True, text=True).stdout.strip()
        except OSError:
            continue
        if os.path.isabs(path) and os.path.exists(path):
            libraries.append(path)
            break
    return " ".join(libraries)


def run_harness(name, script, flags, sources, seconds, modules, preload):
    corpus = os.path.join(WORK, "corpus", name.split("-")[0])
    seeds = os.path.join(HERE, "corpus", name.split("-")[0])
    artifacts = os.path.join(WORK, "artifacts")
    for path in (corpus, seeds, artifacts):
        os.makedirs(path, exist_ok=True)
    command = [sys.executable, *flags, os.path.join(HERE, script), corpus, seeds,
               f"-max_total_time={seconds}", "-timeout=30", "-rss_limit_mb=4096",
               "-print_final_stats=1", "-print_coverage=1",
               f"-artifact_prefix={artifacts}/{name}-"]
    env = dict(os.environ, LD_PRELOAD=preload, PYTHONPATH=modules,
               # every object in its own block, for ASan to see
               PYTHONMALLOC="malloc",
               ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1",
               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
    log_path = os.path.join(WORK, f"{name}.log")
    started = time.monotonic()
    with open(log_path, "w") as log:
        code = subprocess.call(command, env=env, stdout=log, stderr=subprocess.STDOUT)
    elapsed = time.monotonic() - started
    with open(log_path) as log:
        text = log.read()

    stats = dict(re.findall(r"^stat::(\w+):\s+(\d+)", text, re.M))
    done = re.findall(r"^#(\d+)\s+DONE\s+cov: (\d+) ft: (\d+) corp: (\d+)", text, re.M)
    total_cov = done[-1][1] if done else "?"
    per_file = collections.defaultdict(lambda: [0, 0])
    for covered, edges, path in FUNCTION.findall(text):
        if re.search(sources, path):
            entry = per_file[os.path.relpath(path, ROOT)]
            entry[0] += int(covered)
            entry[1] += int(edges)
    covered = sum(c for c, _ in per_file.values())
    edges = sum(e for _, e in per_file.values())
    return {
        "name": name, "code": code, "seconds": elapsed, "log": log_path,
        "executions": int(stats.get("number_of_executed_units", 0)),
        "per_second": int(stats.get("average_exec_per_sec", 0)),
        "corpus": done[-1][3] if done else "?", "cov": total_cov,
        "native": (covered, edges), "per_file": dict(per_file),
    }


def line_coverage(gcov_dir, python, only):
    """Replays each harness's corpus on the --coverage build; returns gcov's
    figures, one line per source."""
    for data in glob.glob(os.path.join(gcov_dir, "**", "*.gcda"), recursive=True):
        os.remove(data)
    for name, script, flags, _ in HARNESSES:
        if only and not name.startswith(only):
            continue
        corpora = [os.path.join(WORK, "corpus", name.split("-")[0]),
                   os.path.join(HERE, "corpus", name.split("-")[0])]
        env = dict(os.environ, PYTHONPATH=gcov_dir)
        subprocess.run([python, *flags, os.path.join(HERE, script), *corpora,
                        "-runs=0"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    lines = []
    for data in sorted(glob.glob(os.path.join(gcov_dir, "**", "*.gcda"),
                                 recursive=True)):
        out = subprocess.run(["gcov", "-n", "-o", os.path.dirname(data), data],
                             capture_output=True, text=True, cwd=ROOT).stdout
        for path, share, count in re.findall(
                r"File '([^']+)'\nLines executed:([\d.]+)% of (\d+)", out):
            if "/sources/" in path and "/sources/capi" not in path:
                lines.append(f"  {os.path.relpath(path, ROOT):<44} "
                             f"{share:>6}% of {count} lines")
    return sorted(set(lines))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--modules", default=os.path.join(ROOT, "build", "fuzz"))
    parser.add_argument("--gcov", help="modules built with --coverage")
    parser.add_argument("--only", help="run only the harnesses named so")
    args = parser.parse_args()
    preload = runtime_libraries(sys.executable)
    modules = os.path.abspath(args.modules)

    results = []
    for name, script, flags, sources in HARNESSES:
        if args.only and not name.startswith(args.only):
            continue
        print(f"fuzzing {name} for {args.seconds} s ...", flush=True)
        results.append(run_harness(name, script, flags, sources, args.seconds,
                                   modules, preload))

    lines = [f"{'harness':<10} {'time':>6} {'executions':>11} {'exec/s':>7} "
             f"{'corpus':>6} {'cov':>5} {'native edges':>16}"]
    for r in results:
        covered, edges = r["native"]
        share = f"{covered}/{edges} {100 * covered / edges:.0f}%" if edges else "-"
        lines.append(f"{r['name']:<10} {r['seconds']:>5.0f}s {r['executions']:>11} "
                     f"{r['per_second']:>7} {r['corpus']:>6} {r['cov']:>5} {share:>16}")
    for r in results:
        lines.append(f"{r['name']}: native edges by source")
        for path, (covered, edges) in sorted(r["per_file"].items()):
            lines.append(f"  {path:<44} {covered:>5}/{edges:<5}")
    if args.gcov:
        lines.append("line coverage of the corpora (gcov):")
        lines += line_coverage(os.path.abspath(args.gcov), sys.executable, args.only)
    failed = [r for r in results if r["code"] != 0]
    for r in failed:
        lines.append(f"FAILED: {r['name']} (exit {r['code']}), see {r['log']}"
                     " and build/fuzz/artifacts/")
    report = "\n".join(lines)
    print(report)
    with open(os.path.join(WORK, "summary.txt"), "w") as summary:
        summary.write(report + "\n")
    return 1 if failed or not results else 0


if __name__ == "__main__":
    sys.exit(main())
