#!/bin/bash
# CI's wheel check: the primary interpreter's wheel, built from the sdist by
# make wheels, installed into a fresh venv on a machine where no compiler can
# be found, and the suite (normal mode) run against the installed modules.
# First shows that a source build fails there, so the wheel is what works.
# PYTHON picks the interpreter (default python3).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/wheel-check
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
minor=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
tag=cp${minor/./}
elapsed() { echo "$(( SECONDS - $1 )) s"; }

rm -rf "$work"
mkdir -p "$work"

echo "== wheel check: building the sdist and the $minor wheel from it"
start=$SECONDS
"$python" scripts/build_wheels.py --versions "$minor"
wheels=(dist/qz_rtls-*-"$tag"-"$tag"-*manylinux*.whl)
sdists=(dist/qz_rtls-*.tar.gz)
if [ ${#wheels[@]} -ne 1 ] || [ ! -f "${wheels[0]}" ] || [ ${#sdists[@]} -ne 1 ]; then
    echo "wheel check: expected one $tag manylinux wheel and one sdist in dist/" >&2
    exit 1
fi
wheel=$root/${wheels[0]}
sdist=$root/${sdists[0]}
built=$(elapsed $start)

# The site: a PATH of the venv and links to every program but the compilers,
# CC and CXX naming compilers that do not exist, nothing of the caller's
# Python environment.
"$python" scripts/without_compilers.py "$work/bin"
"$python" -m venv "$work/venv"
unset VIRTUAL_ENV PYTHONHOME PYTHONPATH PYTHONOPTIMIZE
export PATH="$work/venv/bin:$work/bin" CC=/nonexistent/cc CXX=/nonexistent/c++
for compiler in gcc g++ cc c++ clang clang++; do
    if command -v "$compiler" >/dev/null; then
        echo "wheel check: $compiler is still on the PATH: $(command -v "$compiler")" >&2
        exit 1
    fi
done

echo "== wheel check: a source build must fail here"
start=$SECONDS
if python -m pip wheel --no-deps --wheel-dir "$work/refused" "$sdist" >"$work/source-build.log" 2>&1; then
    echo "wheel check: the sdist built with no compiler on the PATH (see $work/source-build.log)" >&2
    exit 1
fi
if ! reason=$(grep -m1 -E "compiler|CMAKE_CXX_COMPILER" "$work/source-build.log"); then
    echo "wheel check: the source build failed, but not for want of a compiler:" >&2
    tail -20 "$work/source-build.log" >&2
    exit 1
fi
echo "refused as it should be: ${reason#"${reason%%[![:space:]]*}"}"
refused=$(elapsed $start)

echo "== wheel check: installing $(basename "$wheel") with the test extra"
start=$SECONDS
python -m pip install --quiet "$wheel[test]"
installed=$(elapsed $start)

# The checkout's own tree must not shadow what the wheel installed: run from
# the repository root as pytest will, with the current directory on the path.
python - <<'EOF'
import sys, sysconfig
from pathlib import Path
site = Path(sysconfig.get_paths()["platlib"]).resolve()
for name in ("qz_packets", "qz_engine", "qz_autopos", "qz_track", "qz_host"):
    where = Path(__import__(name).__file__).resolve()
    if site not in where.parents:
        sys.exit("wheel check: %s comes from %s, not from the wheel in %s" % (name, where, site))
print("the modules come from %s" % site)
EOF

echo "== wheel check: the suite against the installed wheel"
start=$SECONDS
status=0
python -m pytest -q -rs -p no:cacheprovider || status=$?
echo "wheel check: built $built, source build refused in $refused, installed in $installed," \
     "suite $(elapsed $start)"
exit $status
