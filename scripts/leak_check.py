"""Leak and memory-error check of the extension modules under LeakSanitizer or
valgrind.

    leak_check.py lsan --runtime LIBASAN   modules built with ASan (installed)
    leak_check.py valgrind                 plain modules (PYTHONPATH)
    leak_check.py drive [--rounds N]       the workload itself

The workload runs every scenario of tests/test_leaks.py (each public entry
point, error paths included) a few hundred times in a child interpreter with
PYTHONMALLOC=malloc, so that every object lives in its own malloc block. The
interpreter frees far from everything at exit, so the tool reports leaks of
its own as well: a report counts against us when one of its stack frames
lies in one of our modules, and only then. Any other memory error involving
our modules fails as well. Prints a summary; exits non-zero on a finding.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OURS = re.compile(r"qz_(packets|engine|autopos|track)\.cpython|/sources/")
# Uninitialised values that the interpreter itself makes, by where they were
# created. CPython 3.11's int.from_bytes of all-zero bytes allocates an int
# of one digit, normalises it to size 0 and then reads that digit (a product
# with 0, so the result is right); every later use of the small int that
# comes out inherits the mark. Our modules call int.from_bytes, so those
# reports carry our frames too.
INTERPRETER_ORIGINS = re.compile(r"_PyLong_FromByteArray")


def drive(rounds):
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    import test_leaks  # noqa: E402  (the workload lives with the tests)

    modules = [test_leaks.qz_packets, test_leaks.qz_engine, test_leaks.qz_autopos,
               test_leaks.qz_track]
    print("modules:", *[m.__file__ for m in modules], sep="\n  ")
    for name, scenario in test_leaks.SCENARIOS.items():
        for _ in range(rounds):
            scenario()
    print(f"drove {len(test_leaks.SCENARIOS)} scenarios x {rounds} rounds")


def child_command(rounds):
    return [sys.executable, os.path.abspath(__file__), "drive",
            f"--rounds={rounds}"]


def child_environment(**extra):
    env = dict(os.environ, PYTHONMALLOC="malloc", **extra)
    return env


def lsan(runtime, rounds):
    with tempfile.TemporaryDirectory() as logs:
        log_path = os.path.join(logs, "asan")
        env = child_environment(
            LD_PRELOAD=runtime,
            # full unwinding: the interpreter has no frame pointers, and the
            # frames of ours sit below its allocation functions
            ASAN_OPTIONS=("detect_leaks=1:fast_unwind_on_malloc=0:"
                          "malloc_context_size=60:halt_on_error=1:"
                          f"log_path={log_path}"),
            LSAN_OPTIONS="exitcode=0:report_objects=0",
            UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1",
        )
        child = subprocess.run(child_command(rounds), env=env, text=True,
                               capture_output=True)
        sys.stdout.write(child.stdout)
        reports = ""
        for name in sorted(os.listdir(logs)):
            with open(os.path.join(logs, name)) as log:
                reports += log.read()
    errors = [block for block in re.split(r"\n(?==+\d+==ERROR)", reports)
              if "ERROR:" in block and "LeakSanitizer" not in block]
    leaks = re.split(r"\n(?=(?:Direct|Indirect) leak of )", reports)
    leaks = [block for block in leaks if re.match(r"(Direct|Indirect) leak", block)]
    ours = [block for block in leaks if OURS.search(block)]
    tolerated = sum(int(re.match(r"\w+ leak of (\d+)", b).group(1))
                    for b in leaks if b not in ours)
    print(f"LeakSanitizer: {len(leaks)} leak reports, {len(ours)} in our modules;"
          f" {tolerated} bytes leaked by the interpreter itself, tolerated")
    return finish(child.returncode, errors, ours, child.stderr)


def valgrind(rounds):
    with tempfile.TemporaryDirectory() as logs:
        xml_file = os.path.join(logs, "valgrind.xml")
        command = ["valgrind", "--leak-check=full", "--show-leak-kinds=definite",
                   "--errors-for-leak-kinds=definite", "--num-callers=60",
                   "--track-origins=yes",
                   "--xml=yes", f"--xml-file={xml_file}"] + child_command(rounds)
        child = subprocess.run(command, env=child_environment(), text=True,
                               capture_output=True)
        sys.stdout.write(child.stdout)
        root = ElementTree.parse(xml_file).getroot()
    errors, ours, definite, tolerated = [], [], 0, 0
    for error in root.iter("error"):
        kind = error.findtext("kind")
        stacks = ["\n".join(
            f"  {frame.findtext('fn')} ({frame.findtext('obj')}"
            f" {frame.findtext('file') or ''}:{frame.findtext('line') or ''})"
            for frame in stack.iter("frame")) for stack in error.findall("stack")]
        text = (error.findtext("what") or error.findtext("xwhat/text") or kind)
        block = f"{kind}: {text}\n" + "\n  created at:\n".join(stacks)
        if kind.startswith("Leak_"):
            definite += int(error.findtext("xwhat/leakedbytes") or 0)
            if OURS.search(block):
                ours.append(block)
        elif len(stacks) > 1 and INTERPRETER_ORIGINS.search(stacks[1]):
            tolerated += 1
        elif OURS.search(block):
            errors.append(block)
    print(f"valgrind: {definite} bytes definitely lost, "
          f"{len(ours)} leak records in our modules, "
          f"{len(errors)} memory errors in our modules; "
          f"{tolerated} reports of the interpreter's own uninitialised values"
          " tolerated")
    return finish(child.returncode, errors, ours, child.stderr)


def finish(returncode, errors, ours, stderr):
    for block in errors + ours:
        print(block, end="\n\n")
    if returncode != 0:
        print(stderr[-20000:])
        print(f"the workload failed with exit status {returncode}")
    return 1 if errors or ours or returncode != 0 else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tool", choices=["lsan", "valgrind", "drive"])
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--runtime", help="the ASan runtime to preload (lsan)")
    args = parser.parse_args()
    if args.tool == "drive":
        drive(args.rounds or 100)
        return 0
    if args.tool == "lsan":
        return lsan(args.runtime, args.rounds or 200)
    return valgrind(args.rounds or 20)


if __name__ == "__main__":
    sys.exit(main())
