"""The replay's picture: formats by suffix, tag colours, visible truth."""

import io
import itertools
import math

import pytest

pytest.importorskip("matplotlib", reason="the picture needs matplotlib (the demo extra)")

from qz_host import cli, plot  # noqa: E402
from qz_host.capture import format_line  # noqa: E402
from qz_host.evaluate import evaluate  # noqa: E402
from qz_host.replay import replay  # noqa: E402
from qz_host.simulate import Scenario, simulate  # noqa: E402

SIGNATURES = {
    "png": b"\x89PNG\r\n\x1a\n", "jpg": b"\xff\xd8\xff", "jpeg": b"\xff\xd8\xff",
    "pdf": b"%PDF-", "svg": b"<?xml", "tif": b"II*\x00", "eps": b"%!PS-Adobe",
}
TAGS = 12


@pytest.fixture(scope="module")
def many_tags():
    sim = simulate(Scenario(tags=tuple(range(0x1001, 0x1001 + TAGS)), duration=1.0,
                            nlos=0.0))
    result = replay(["# fcs: " + sim.metadata["fcs"]]
                    + [format_line(t, f) for t, f in sim.frames])
    tracks = {}
    for time, tag, x, y in sim.tracks:
        tracks.setdefault(tag, []).append((time, x, y))
    return result, evaluate(result, sim.anchors, tracks)


@pytest.mark.parametrize("count", [1, 6, 7, 10, 11, 40, 200])
def test_tag_colours_never_repeat(count):
    colours = plot.tag_colours(count)
    assert len(colours) == count
    assert len(set(colours)) == count
    assert all(0 <= c <= 1 for colour in colours for c in colour)
    # The first ten are far apart (the qualitative scheme).
    assert all(math.dist(a, b) > 0.15 for a, b in itertools.combinations(colours[:10], 2))


def test_every_track_is_labelled_with_its_tag(many_tags):
    figure = plot.draw(*many_tags)
    texts = {t.get_text() for t in figure.axes[0].texts}
    assert {f"{0x1001 + k:04X}" for k in range(TAGS)} <= texts


def test_true_tracks_are_drawn_thin_and_dark_above_the_fixes(many_tags):
    figure = plot.draw(*many_tags)
    lines = [line for line in figure.axes[0].lines if len(line.get_xdata())]  # no legend keys
    fixes = [line for line in lines if line.get_linestyle() == "None"
             and line.get_marker() == "."]
    truths = [line for line in lines if line.get_linestyle() == "-"]
    assert len(fixes) == len(truths) == TAGS
    for fix, truth in zip(fixes, truths):
        assert truth.get_zorder() > fix.get_zorder()
        assert sum(truth.get_color()) < sum(fix.get_color())


@pytest.mark.parametrize("suffix", sorted(SIGNATURES))
def test_the_suffix_names_the_format(many_tags, tmp_path, suffix):
    path = tmp_path / f"picture.{suffix}"
    plot.plot(path, *many_tags)
    assert path.read_bytes().startswith(SIGNATURES[suffix])


@pytest.mark.parametrize("name", ["picture.qzcap", "picture", "picture.pgf", "picture.PNGX"])
def test_an_unknown_suffix_is_refused(name):
    with pytest.raises(ValueError, match="a picture is one of .*png"):
        plot.picture_format(name)
    assert plot.picture_format(name.upper() + ".PDF") == "pdf"


def test_replay_refuses_an_unknown_suffix_before_replaying(tmp_path, capsys):
    capture = tmp_path / "small.qzcap"
    assert cli.main(["simulate", str(capture), "--duration", "1"], out=io.StringIO()) == 0
    out = io.StringIO()
    assert cli.main(["replay", str(capture), "--plot", str(tmp_path / "x.txt")], out=out) == 2
    assert out.getvalue() == ""
    assert "has suffix .txt" in capsys.readouterr().err
