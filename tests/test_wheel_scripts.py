"""The scripts behind make wheels and the wheel check: the PATH without
compilers, the sdist unpacked away from any checkout, what auditwheel says."""

import io
import os
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
import build_wheels  # noqa: E402
import without_compilers  # noqa: E402


@pytest.mark.parametrize("name, compiler", [
    ("gcc", True), ("g++", True), ("cc", True), ("c++", True), ("clang", True),
    ("clang++", True), ("x86_64-linux-gnu-g++-12", True), ("clang-16", True), ("cpp", True),
    ("gcc-ar", False), ("gcc-nm-12", False), ("c++filt", False), ("ccache", False),
    ("mosquitto", False), ("systemd-analyze", False), ("python3.11", False),
])
def test_is_compiler(name, compiler):
    assert without_compilers.is_compiler(name) is compiler


def program(path, executable=True):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!/bin/sh\n")
    path.chmod(0o755 if executable else 0o644)
    return path


class TestLinkPrograms:
    def test_every_program_but_the_compilers(self, tmp_path):
        first, second = tmp_path / "usr-local-bin", tmp_path / "usr-bin"
        mosquitto = program(first / "mosquitto")
        program(second / "mosquitto")
        program(second / "gcc-12")
        program(second / "x86_64-linux-gnu-g++-12")
        program(second / "node")
        program(second / "notes.txt", executable=False)
        (second / "subdirectory").mkdir()
        farm = tmp_path / "farm"
        left_out = without_compilers.link_programs([str(first), "", str(tmp_path / "gone"),
                                                    str(second)], farm)
        assert left_out == ["gcc-12", "x86_64-linux-gnu-g++-12"]
        assert sorted(path.name for path in farm.iterdir()) == ["mosquitto", "node"]
        # the first on the PATH wins, as it would on the PATH itself
        assert os.readlink(str(farm / "mosquitto")) == str(mosquitto)
        # a second run replaces the links
        (second / "node").unlink()
        without_compilers.link_programs([str(second)], farm)
        assert sorted(path.name for path in farm.iterdir()) == ["mosquitto"]

    def test_the_directory_itself_on_the_path_is_passed_over(self, tmp_path):
        farm = tmp_path / "farm"
        program(tmp_path / "bin" / "tool")
        without_compilers.link_programs([str(tmp_path / "bin")], farm)
        without_compilers.link_programs([str(farm), str(tmp_path / "bin")], farm)
        assert os.readlink(str(farm / "tool")) == str(tmp_path / "bin" / "tool")

    def test_a_directory_with_files_is_refused(self, tmp_path, capsys):
        farm = tmp_path / "farm"
        program(farm / "precious")
        assert without_compilers.main([str(farm)]) == 1
        assert "precious, which is not a link" in capsys.readouterr().err
        assert (farm / "precious").exists()

    def test_usage(self, capsys):
        assert without_compilers.main([]) == 2
        assert capsys.readouterr().err.startswith("usage:")


class TestCheckoutAround:
    @pytest.mark.parametrize("mark", [".git", "pyproject.toml", "CMakeLists.txt"])
    def test_a_tree_above_is_found(self, tmp_path, mark):
        (tmp_path / mark).touch()
        assert build_wheels.checkout_around(tmp_path / "a" / "b") == tmp_path


def sdist(path, members):
    """A tar.gz holding `members` ({name: text})."""
    with tarfile.open(str(path), "w:gz") as archive:
        for name, text in members.items():
            data = text.encode()
            info = tarfile.TarInfo(name)
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))
    return path


class TestUnpackSdist:
    def test_unpacks_to_its_one_directory(self, tmp_path):
        archive = sdist(tmp_path / "p-1.tar.gz", {"p-1/pyproject.toml": "", "p-1/src/a.cpp": ""})
        top = build_wheels.unpack_sdist(archive, tmp_path / "into")
        assert top == tmp_path / "into" / "p-1" and (top / "src" / "a.cpp").exists()

    def test_refuses_a_place_inside_a_source_tree(self, tmp_path):
        (tmp_path / "pyproject.toml").touch()
        archive = sdist(tmp_path / "p-1.tar.gz", {"p-1/pyproject.toml": ""})
        with pytest.raises(build_wheels.BuildError, match="inside the source tree"):
            build_wheels.unpack_sdist(archive, tmp_path / "into")

    @pytest.mark.parametrize("name", ["../evil", "/etc/evil", "p-1/../../evil"])
    def test_refuses_paths_outside_itself(self, tmp_path, name):
        archive = sdist(tmp_path / "p-1.tar.gz", {"p-1/pyproject.toml": "", name: ""})
        with pytest.raises(build_wheels.BuildError, match="outside itself"):
            build_wheels.unpack_sdist(archive, tmp_path / "into")
        assert not (tmp_path / "evil").exists()

    def test_refuses_more_than_one_top_directory(self, tmp_path):
        archive = sdist(tmp_path / "p-1.tar.gz", {"p-1/a": "", "q-1/b": ""})
        with pytest.raises(build_wheels.BuildError, match="one directory"):
            build_wheels.unpack_sdist(archive, tmp_path / "into")


SHOWN = '''
qz_rtls-0.1.0-cp311-cp311-linux_x86_64.whl is consistent with the
following platform tag: "manylinux_2_17_x86_64".

The wheel references external versioned symbols in these
system-provided shared libraries: libc.so.6 with versions {'GLIBC_2.14'}
'''


@pytest.mark.parametrize("output, tag", [
    (SHOWN, "manylinux_2_17_x86_64"),
    (SHOWN.replace("\nfollowing", " following"), "manylinux_2_17_x86_64"),
    ("x.whl is no platform wheel\n", None),
])
def test_platform_tag(output, tag):
    assert build_wheels.platform_tag(output) == tag


def test_grafted_libraries(tmp_path):
    wheel = tmp_path / "w.whl"
    with zipfile.ZipFile(str(wheel), "w") as archive:
        for name in ["qz_packets.cpython-311-x86_64-linux-gnu.so", "qz_rtls.libs/libfoo-1a2b.so.3",
                     "qz_rtls.libs/README", "qz_host/cli.py"]:
            archive.writestr(name, "")
    assert build_wheels.grafted_libraries(wheel) == ["libfoo-1a2b.so.3"]


def test_unknown_versions_are_refused(capsys):
    with pytest.raises(SystemExit) as stopped:
        build_wheels.main(["--versions", "3.7"])
    assert stopped.value.code == 2
    assert "not a supported interpreter: 3.7" in capsys.readouterr().err


def test_a_dist_that_is_a_file_is_refused(tmp_path, capsys):
    (tmp_path / "dist").touch()
    with pytest.raises(SystemExit):
        build_wheels.main(["--versions", "3.11", "--dist", str(tmp_path / "dist")])
    assert "is not a directory" in capsys.readouterr().err


@pytest.mark.parametrize("command, message", [
    ([sys.executable, "-c", "raise SystemExit(3)"], "building the wheel failed, see "),
    (["/nonexistent/pip"], "building the wheel: cannot run /nonexistent/pip"),
])
def test_a_failing_step_names_itself(tmp_path, command, message):
    log = tmp_path / "build.log"
    with pytest.raises(build_wheels.BuildError, match=message):
        build_wheels.run("building the wheel", command, log, cwd=tmp_path)
    assert log.read_text().startswith("$ ")
