#!/bin/bash
# The memory checks of the extension modules:
#  1. builds them with AddressSanitizer and UndefinedBehaviorSanitizer
#     (gcc's runtimes, every report fatal) into build/venv-sanitize and runs the
#     test suite under them (the browser tests aside; once: python -O changes
#     the Python above the modules, not their C++, and make test runs it);
#  2. runs the leak driver under LeakSanitizer and under valgrind
#     --leak-check=full (scripts/leak_check.py), failing on any leak or
#     memory error that involves our modules.
# Works from a clean clone: it installs what it needs (pip, and apt-get for
# valgrind when it is missing). Leaves .venv alone.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=build/venv-sanitize
PY=$VENV/bin/python
export CXX=${CXX:-g++}
start=$SECONDS

phase() { printf '\n== %s (%ds)\n' "$1" $((SECONDS - start)); }

phase "environment"
if [ ! -x "$PY" ]; then
    "$PYTHON" -m venv "$VENV"
    "$PY" -m pip install --quiet --upgrade pip
fi
"$PY" -m pip install --quiet "scikit-build-core>=0.10" "cmake>=3.18" ninja
if ! command -v valgrind >/dev/null; then
    apt-get update -qq && apt-get install -y -qq valgrind >/dev/null
fi
ASAN_RUNTIME=$("$CXX" -print-file-name=libasan.so)
if [ ! -e "$ASAN_RUNTIME" ]; then
    echo "sanitize: $CXX has no AddressSanitizer runtime ($ASAN_RUNTIME)" >&2
    exit 1
fi
# The C++ runtime is preloaded too: the interpreter does not link it, and
# ASan can only intercept C++ throws (of other extension modules, such as
# matplotlib's) when it is there from the start.
PRELOAD="$ASAN_RUNTIME $("$CXX" -print-file-name=libstdc++.so)"

phase "build with ASan and UBSan"
# The package, tests' extras included, with the modules built sanitized.
"$PY" -m pip install --quiet --no-build-isolation -C cmake.define.QZ_SANITIZE=ON \
    -C build-dir=build/sanitize ".[test]" 2>&1 | { grep -v "^WARNING: Location" || true; }
# A plain build with debug information for valgrind, which brings its own
# instrumentation.
"$VENV/bin/cmake" -S . -B build/valgrind -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$(cd "$VENV/bin" && pwd)/python" >/dev/null
"$VENV/bin/cmake" --build build/valgrind --target qz_packets qz_engine qz_autopos qz_track >/dev/null

# Reports are fatal; the interpreter is not instrumented, so the runtime is
# preloaded, and PYTHONMALLOC=malloc routes its small objects through the
# sanitizer's allocator. Leaks are checked by the leak driver below, where
# the interpreter's own leaks at exit can be told apart from ours.
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc

# The browser tests are left out: the preloaded runtime would go into the
# browser and its driver too, which do not start under it, and the page they
# test runs none of our C++ (the map's server side is tested without them).
NOT_HERE=(--ignore=tests/test_web_browser.py)
phase "test suite under ASan and UBSan"
LD_PRELOAD=$PRELOAD "$PY" -m pytest -q -p no:cacheprovider "${NOT_HERE[@]}"

phase "leak driver under LeakSanitizer"
"$PY" scripts/leak_check.py lsan --runtime "$PRELOAD"
phase "leak driver under valgrind"
PYTHONPATH=build/valgrind "$PY" scripts/leak_check.py valgrind

phase "sanitize: clean"
