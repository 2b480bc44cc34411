#!/bin/bash
# Coverage-guided fuzzing of the four modules with atheris: the modules are
# built with clang, libFuzzer's coverage instrumentation (fuzzer-no-link) and
# ASan+UBSan (every report fatal), and each harness of fuzz/ runs for
# $1 seconds (default 60) from its committed seed corpus (fuzz/run.py).
# New corpus entries and crash artifacts go to build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS=${1:-60}
PYTHON=${PYTHON:-python3}
VENV=build/venv-fuzz
PY=$VENV/bin/python

if ! command -v clang++ >/dev/null || ! command -v llvm-symbolizer >/dev/null; then
    apt-get update -qq && apt-get install -y -qq clang llvm >/dev/null
fi
if [ ! -x "$PY" ]; then
    "$PYTHON" -m venv "$VENV"
    "$PY" -m pip install --quiet --upgrade pip
fi
"$PY" -m pip install --quiet atheris "cmake>=3.18" ninja 2>&1 |
    { grep -v "^WARNING: Location" || true; }

# The "function" and "vptr" checks need UBSan's C++ runtime of the same
# clang release, which atheris's runtime does not carry; neither applies to
# this code (no indirect calls through casts, no polymorphic classes).
FLAGS="-g -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=function,vptr"
FLAGS="$FLAGS -fno-sanitize-recover=all -fno-omit-frame-pointer"
"$VENV/bin/cmake" -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="$FLAGS" \
    -DPython_EXECUTABLE="$(cd "$VENV/bin" && pwd)/python" >/dev/null
"$VENV/bin/cmake" --build build/fuzz --target qz_packets qz_engine qz_autopos qz_track >/dev/null

# gcc --coverage build, on which the corpora are replayed for line coverage
"$VENV/bin/cmake" -S . -B build/fuzz-gcov -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS=--coverage \
    -DCMAKE_MODULE_LINKER_FLAGS=--coverage \
    -DPython_EXECUTABLE="$(cd "$VENV/bin" && pwd)/python" >/dev/null
"$VENV/bin/cmake" --build build/fuzz-gcov --target qz_packets qz_engine qz_autopos qz_track >/dev/null

exec "$PY" fuzz/run.py --seconds "$FUZZ_SECONDS" --modules build/fuzz --gcov build/fuzz-gcov
