#!/bin/bash
# Checks the formatting of the tree: the C++ sources with clang-format (the
# checked-in .clang-format), the Python files with ruff's linter (configured
# in pyproject.toml: line length, unused names, ...). The Python is wrapped
# by hand, continuation lines aligned, which ruff's formatter would rewrite
# wholesale, so it is not run over the tree. Names each file that differs
# and each lint finding; exits 1 when there is any, 0 when the tree is
# clean, 2 when a tool is missing.
#
#   scripts/check_format.sh          check
#   scripts/check_format.sh --apply  reformat the C++ in place and apply
#                                    ruff's safe fixes (make format); what
#                                    is left is listed for a person to fix
#
# CLANG_FORMAT and RUFF name the tools (default: those of .venv, which the
# test extra installs, else those on the PATH). The files are those git tracks, or
# every file below the tree outside a git checkout; build/ is left out.
set -uo pipefail
cd "$(dirname "$0")/.."

apply=0
case "${1:-}" in
    "") ;;
    --apply) apply=1 ;;
    *) echo "usage: scripts/check_format.sh [--apply]" >&2; exit 2 ;;
esac

if [ -z "${CLANG_FORMAT:-}" ]; then
    if [ -x .venv/bin/clang-format ]; then CLANG_FORMAT=.venv/bin/clang-format; else CLANG_FORMAT=clang-format; fi
fi
if [ -z "${RUFF:-}" ]; then
    if [ -x .venv/bin/ruff ]; then RUFF=.venv/bin/ruff; else RUFF=ruff; fi
fi
for tool in "$CLANG_FORMAT" "$RUFF"; do
    if ! command -v "$tool" >/dev/null; then
        echo "check_format: $tool is not installed" >&2
        exit 2
    fi
done

# The tracked files matching the patterns, one a line.
files() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -- "$@"
    else
        local pattern names=()
        for pattern in "$@"; do names+=(-name "$pattern" -o); done
        find . -path ./build -prune -o -path ./.venv -prune -o -type f \
            \( "${names[@]}" -false \) -print | sed 's|^\./||' | sort
    fi
}

status=0
mapfile -t cxx < <(files '*.cpp' '*.hpp' '*.h')
for file in "${cxx[@]}"; do
    if [ "$apply" = 1 ]; then
        "$CLANG_FORMAT" -i "$file"
    elif ! "$CLANG_FORMAT" --dry-run -Werror "$file" >/dev/null 2>&1; then
        echo "clang-format would reformat: $file"
        status=1
    fi
done

mapfile -t python < <(files '*.py' '*.pyi')
if [ "${#python[@]}" -gt 0 ]; then
    fix=()
    if [ "$apply" = 1 ]; then fix=(--fix); fi
    if ! "$RUFF" check "${fix[@]}" --quiet --output-format concise -- "${python[@]}" \
            && [ "$apply" = 0 ]; then
        status=1
    fi
fi
exit $status
