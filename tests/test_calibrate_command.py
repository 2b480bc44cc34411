"""`qz-host calibrate`: range offsets from a capture with truth, written for
the next start, and its refusals."""

import pytest

from qz_host import capture, devices

from cli_helpers import run

TRUE_OFFSETS = ["--anchor-offset", "0.09", "--tag-offset", "0.09"]


@pytest.fixture(scope="module")
def offset_capture(tmp_path_factory):
    """A capture whose radios read long by offsets the truth files record."""
    path = tmp_path_factory.mktemp("offsets") / "offsets.qzcap"
    code, text = run("simulate", path, "--duration", "20", "--tags", "3", "--seed", "9",
                     "--nlos", "0.01", *TRUE_OFFSETS)
    if code != 0:
        raise RuntimeError(text)
    return path


def true_sums(path):
    """Each (anchor, tag) pair's true offset sum: all that ranges show."""
    anchors = devices.read_anchors(capture.truth_paths(path)[0])
    tags = devices.read_tags(path.with_name(path.stem + ".tags.csv"))
    return {(a, t): anchors[a].offset + tags[t].offset for a in anchors for t in tags}


def test_offsets_from_the_truth_are_written_for_the_next_start(offset_capture, tmp_path):
    anchors_truth = capture.truth_paths(offset_capture)[0]
    out_anchors, out_tags = tmp_path / "anchors.csv", tmp_path / "tags.csv"
    code, text = run("calibrate", offset_capture, "--anchors", anchors_truth,
                     "--write-anchors", out_anchors, "--write-tags", out_tags)
    assert code == 0, text
    assert "error against the truth before" in text and f"wrote {out_anchors}" in text
    anchors, tags = devices.read_anchors(out_anchors), devices.read_tags(out_tags)
    for (a, t), true in true_sums(offset_capture).items():
        assert anchors[a].offset + tags[t].offset == pytest.approx(true, abs=0.01)
    # The positions are the given ones, kept to the digit.
    given = devices.read_anchors(anchors_truth)
    assert {a: s.position for a, s in anchors.items()} == {a: s.position for a, s in given.items()}
    # Tracking starts from them: the offsets in use stay where they were put.
    _, after = run("replay", offset_capture, "--anchors", out_anchors, "--tags", out_tags)
    in_use = offsets_in_use(after)
    for tag, known in tags.items():
        assert in_use[tag] == pytest.approx(known.offset, abs=0.02)


def offsets_in_use(summary):
    """The tags' offsets of a replay's summary."""
    text = summary.split("Offsets", 1)[1].split("  tags", 1)[1].split("Time")[0]
    cells = text.split()
    return {int(cells[k], 16): float(cells[k + 1].split("±")[0]) for k in range(0, len(cells), 2)}


def test_tags_standing_at_measured_points(tmp_path):
    path = tmp_path / "still.qzcap"
    assert run("simulate", path, "--duration", "10", "--tags", "2", "--path", "still",
               "--nlos", "0", *TRUE_OFFSETS)[0] == 0
    tracks = capture.read_tracks(capture.truth_paths(path)[1])
    points = [f"{tag:04X}={rows[0][1]},{rows[0][2]}" for tag, rows in tracks.items()]
    anchors_truth = capture.truth_paths(path)[0]
    options = [o for p in points for o in ("--point", p)]
    code, text = run("calibrate", path, "--anchors", anchors_truth, *options,
                     "--from", "0", "--to", "100", "--write-tags", tmp_path / "t.csv")
    assert code == 0, text
    assert "tags standing at 1001, 1002" in text
    tags = devices.read_tags(tmp_path / "t.csv")
    anchors = devices.read_anchors(anchors_truth)
    truth_tags = devices.read_tags(path.with_name("still.tags.csv"))
    # One tag and eight anchors split only up to a common part: compare sums.
    mean_anchor = sum(a.offset for a in anchors.values()) / len(anchors)
    for tag, known in truth_tags.items():
        assert tags[tag].offset == pytest.approx(known.offset + mean_anchor, abs=0.02)


@pytest.mark.parametrize("options, message", [
    ([], "calibrate needs the anchors' positions"),
    (["--anchors", "A", "--point", "1001=1,2"], "--point needs --from and --to"),
    (["--anchors", "A", "--truth", "/no/such.csv"], "cannot read /no/such.csv"),
    (["--anchors", "A", "--write-anchors", "A"], "will not write"),
])
def test_refusals_are_one_line(options, message, offset_capture, capsys):
    anchors = str(capture.truth_paths(offset_capture)[0])
    options = [anchors if o == "A" else o for o in options]
    assert run("calibrate", offset_capture, *options)[0] == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err


@pytest.mark.parametrize("text", ["1001", "1001=1", "1001=a,b", "xyz=1,2", "1001=1,2,inf"])
def test_a_bad_point_is_refused(text, offset_capture, capsys):
    with pytest.raises(SystemExit):
        run("calibrate", offset_capture, "--point", text)
    assert ("argument --point: expected TAG=X,Y[,Z] (metres), got %r" % text
            in capsys.readouterr().err)


def test_no_truth_beside_the_capture(tmp_path, offset_capture, capsys):
    bare = tmp_path / "bare.qzcap"
    bare.write_text(offset_capture.read_text())
    anchors = capture.truth_paths(offset_capture)[0]
    assert run("calibrate", bare, "--anchors", anchors)[0] == 2
    assert "no truth: give --truth" in capsys.readouterr().err
