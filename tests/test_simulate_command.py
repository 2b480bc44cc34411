"""qz-host simulate's options: tag counts, layouts and anchors files, tags
files, heights, offsets and error models, and the source line that
regenerates them."""

import shlex

import pytest

from qz_host import capture, cli, devices
from qz_host.commands.simulate import tags_path

from cli_helpers import run


def truth(path):
    anchors_path, tracks_path = capture.truth_paths(path)
    return (devices.read_anchors(anchors_path), devices.read_tags(tags_path(path)),
            capture.read_tracks(tracks_path))


@pytest.mark.parametrize("count", ["251", "4095"])
def test_tag_counts_up_to_the_limit(count, tmp_path):
    path = tmp_path / "many.qzcap"
    code, text = run("simulate", path, "--tags", count, "--duration", "0.1")
    assert code == 0, text
    _, tags, tracks = truth(path)
    assert len(tags) == len(tracks) == int(count)


def test_corridor_with_alternating_heights(tmp_path):
    path = tmp_path / "corridor.qzcap"
    code, _ = run("simulate", path, "--layout", "corridor", "--anchors", "8", "--duration", "2",
                  "--anchor-height", "0.5,2.5", "--tag-height", "1.2", "--path", "curve")
    assert code == 0
    anchors, tags, tracks = truth(path)
    assert [a.z for _, a in sorted(anchors.items())] == [0.5, 2.5] * 4
    assert all(0 < a.x < 40 and 0 < a.y < 3 for a in anchors.values())
    assert {t.height for t in tags.values()} == {1.2}
    assert all(1 <= x <= 39 and 1 <= y <= 2 for rows in tracks.values() for _, x, y in rows)


def test_anchors_and_tags_from_files(tmp_path):
    anchors_in, tags_in = tmp_path / "given.anchors.csv", tmp_path / "given.tags.csv"
    anchors_in.write_text("anchor,x,y,z,offset\n0B01,-3,-3,1.0,0.2\n0B02,4,-3,2.0,\n"
                          "0B03,4,3,1.5,0.1\n0B04,-3,3,1.0,\n")
    tags_in.write_text("tag,name,height,offset\n2001,trolley,0.9,0.05\n2002,,,\n")
    path = tmp_path / "site.qzcap"
    code, text = run("simulate", path, "--anchors", anchors_in, "--tags", tags_in,
                     "--duration", "2", "--tag-height", "1.1")
    assert code == 0, text
    anchors, tags, tracks = truth(path)
    assert {a: (s.x, s.y, s.z) for a, s in anchors.items()} == {
        0x0B01: (-3, -3, 1.0), 0x0B02: (4, -3, 2.0), 0x0B03: (4, 3, 1.5), 0x0B04: (-3, 3, 1.0)}
    assert anchors[0x0B01].offset == 0.2 and anchors[0x0B03].offset == 0.1
    assert 0 <= anchors[0x0B02].offset <= 0.18
    assert tags[0x2001] == devices.Tag("trolley", 0.9, 0.05)
    assert tags[0x2002].name is None and tags[0x2002].height == 1.1
    # Inside the anchors' bounding box, a metre from its edges.
    assert all(-2 <= x <= 3 and -2 <= y <= 2 for rows in tracks.values() for _, x, y in rows)


def test_source_line_regenerates_every_new_option(tmp_path):
    anchors_in = tmp_path / "given.csv"
    anchors_in.write_text("anchor,x,y,z\n0A01,0,0,2\n0A02,9,0,2\n0A03,9,7,2\n0A04,0,7,2\n")
    first = tmp_path / "first.qzcap"
    code, _ = run("simulate", first, "--anchors", anchors_in, "--duration", "3", "--path", "back",
                  "--nlos-model", "exponential", "--nlos-scale", "0.4", "--short", "0.01",
                  "--anchor-offset", "0.05", "--tag-offset", "0", "--tags", "3", "--rate", "4")
    assert code == 0
    words = shlex.split(capture.read_metadata(first.read_text().splitlines())["source"])
    again = tmp_path / "again.qzcap"
    assert run("simulate", again, *words[2:])[0] == 0
    assert again.read_text() == first.read_text()
    for a, b in zip(capture.truth_paths(first) + (tags_path(first),),
                    capture.truth_paths(again) + (tags_path(again),)):
        assert a.read_text() == b.read_text()


@pytest.mark.parametrize("option, value", [
    ("--anchors", "no-such.csv"), ("--anchors", "3"), ("--tags", "no-such.csv"),
    ("--tags", "4096"), ("--anchor-height", "1,x"), ("--anchor-height", "nan"),
    ("--tag-height", "101"), ("--anchor-offset", "-0.1"), ("--tag-offset", "2"),
    ("--nlos-scale", "0"), ("--nlos-model", "gauss"), ("--short", "0.06"),
    ("--layout", "square"), ("--path", "hop"),
])
def test_bad_options_exit_2(option, value, capsys):
    with pytest.raises(SystemExit) as exit:
        cli.main(["simulate", "x.qzcap", option, value])
    assert exit.value.code == 2
    assert f"argument {option}" in capsys.readouterr().err


@pytest.mark.parametrize("anchors, tags, message", [
    ("anchor,x,y,z\n0A01,0,0,0\n0A02,5,0,0\n", None, "tracking needs 3 to 32 anchors"),
    ("anchor,x,y\n0A01,0,0\n", None, "missing column(s) z"),
    ("anchor,x,y,z\n0A01,0,0,0\n0A02,5,0,x\n0A03,0,5,0\n", None, ":3: could not convert"),
    ("anchor,x,y,z\n0A01,0,0,0\n0A02,1.5,0,0\n0A03,0,1.5,0\n", None, "no room"),
    (None, "tag,name\n", "the file lists no tags"),
    (None, "tag,height\n0A01,1\n", "must all differ"),
    (None, "tag,offset\n1001,inf\n", "offset must be finite"),
])
def test_bad_files_fail_in_one_line(anchors, tags, message, tmp_path, capsys):
    args = ["simulate", tmp_path / "out.qzcap", "--duration", "1"]
    for option, text in (("--anchors", anchors), ("--tags", tags)):
        if text is not None:
            (tmp_path / option[2:]).write_text(text)
            args += [option, tmp_path / option[2:]]
    code, _ = run(*args)
    assert code == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err
    assert not (tmp_path / "out.qzcap").exists()


def test_short_outliers_need_room_between_bursts(tmp_path, capsys):
    code, _ = run("simulate", tmp_path / "x.qzcap", "--anchors", "15", "--short", "0.05")
    assert code == 2 and "at most 0.03333" in capsys.readouterr().err


def test_a_truth_file_may_not_overwrite_an_input(tmp_path, capsys):
    anchors_in = tmp_path / "out.anchors.csv"
    anchors_in.write_text("anchor,x,y,z\n0A01,0,0,0\n0A02,9,0,0\n0A03,9,7,0\n")
    code, _ = run("simulate", tmp_path / "out.qzcap", "--anchors", anchors_in, "--force")
    assert code == 2 and "it is the input" in capsys.readouterr().err
