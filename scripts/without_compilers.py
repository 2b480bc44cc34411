"""A directory of links to every program on the PATH but the C and C++
compilers: as the only PATH entry besides a venv's bin, it gives a machine
where no compiler can be found (a site's, for the wheel check) while the
tools the tests drive (mosquitto, chromium, node, systemd-analyze) stay.

Run: python scripts/without_compilers.py DIRECTORY
(uses $PATH; DIRECTORY is emptied of its links first)
"""

import os
import re
import sys
from pathlib import Path

# gcc, g++, cc, c++, clang and their versioned or target-prefixed names
# (x86_64-linux-gnu-g++-12, clang-16), the preprocessor and the old C
# front ends. Tools beside them (gcc-ar, c++filt) are no compilers.
COMPILER = re.compile(
    r"(?:.+-)?(?:gcc|g\+\+|cc|c\+\+|clang|clang\+\+|cpp|c89|c99|tcc|icc|icpc|icx|icpx)"
    r"(?:-[0-9][0-9.]*)?"
)


def is_compiler(name):
    """Whether the program called `name` compiles C or C++."""
    return COMPILER.fullmatch(name) is not None


def link_programs(search_path, directory):
    """Links into `directory` every executable of the `search_path`
    directories that is not a compiler, the first of each name winning as
    on a PATH. Returns the compiler names left out, sorted."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    for old in directory.iterdir():
        if not old.is_symlink():
            raise ValueError("%s holds %s, which is not a link: give an empty directory"
                             % (directory, old.name))
        old.unlink()
    linked, left_out = set(), set()
    for entry in search_path:
        folder = Path(entry)
        if not entry or not folder.is_dir() or folder.resolve() == directory.resolve():
            continue
        for program in sorted(folder.iterdir()):
            name = program.name
            if name in linked or program.is_dir() or not os.access(str(program), os.X_OK):
                continue
            if is_compiler(name):
                left_out.add(name)
                continue
            (directory / name).symlink_to(program)
            linked.add(name)
    return sorted(left_out)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1:
        print("usage: without_compilers.py DIRECTORY", file=sys.stderr)
        return 2
    try:
        left_out = link_programs(os.environ.get("PATH", "").split(os.pathsep), argv[0])
    except (OSError, ValueError) as error:
        print("without_compilers.py: %s" % error, file=sys.stderr)
        return 1
    print(
        "%s: the PATH's programs without the compilers %s"
        % (argv[0], " ".join(left_out) or "(none found)")
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
