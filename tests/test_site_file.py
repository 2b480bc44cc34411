"""Site files: what a sound one gives, every fault found at its line, and the
line index of TOML items that the messages use."""

import textwrap
from pathlib import Path

import pytest

from qz_host.devices import Anchor, Tag
from qz_host.site_file import SiteError, image_size, parse_site, read_site
from qz_host.toml_lines import KeyLines

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

# Anchors at given positions, tied to the site by a rotation of 90 degrees
# and a shift of (10, 5).
POSITIONED = """\
[anchors.0A01]
x = 0.0
y = 0.0
[anchors.0A02]
x = 8.0
y = 0.0
[anchors.0A03]
x = 8.0
y = 6.0
offset = 0.1
name = "door"
"""


def load(tmp_path, text, name="site.toml"):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text), encoding="utf-8")
    return read_site(path)


def faults(tmp_path, text):
    with pytest.raises(SiteError) as caught:
        load(tmp_path, text)
    return caught.value.errors


def test_the_example_site(tmp_path):
    loaded = read_site(EXAMPLES / "hall.site.toml")
    site = loaded.site
    assert loaded.warnings == ()
    assert site.name == "Hall 3"
    assert site.anchors == {} and site.anchor_names[0x0A04] == "north-west corner"
    assert site.tags[0x1001] == Tag("forklift 1")
    assert site.frame.name == "hall-3" and site.frame.known[0x0A02] == (12.2, 14.5)
    assert site.frame.rough == {0x0A04: (1.0, 24.0)} and site.frame.mirrored is None
    assert [z.name for z in site.zones] == ["bay", "dock", "aisle"]
    assert [z.exit_delay for z in site.zones] == [2.0, 2.0, 1.0]  # defaults, then its own
    assert site.floor_plan.size == (280, 440)
    assert site.floor_plan.corners()[2] == pytest.approx((13.5, 3.5))
    assert set(site.options) == {"tag_timeout", "topic_prefix"}


def test_positioned_anchors_are_device_records_and_fit_at_load(tmp_path):
    loaded = load(tmp_path, POSITIONED + """
        [frame]
        known = { "0A01" = [10.0, 5.0], "0A02" = [10.0, 13.0], "0A03" = [4.0, 13.0] }
        """)
    site = loaded.site
    assert site.anchors[0x0A03] == Anchor(8.0, 6.0, 0.0, 0.1, "door")
    assert site.anchor_offsets == {0x0A03: 0.1}
    assert site.known_anchors() == dict(site.anchors)
    frame = site.site_frame({a: s.position for a, s in site.anchors.items()}, surveyed=False)
    assert frame(8.0, 6.0) == pytest.approx((4.0, 13.0))
    assert loaded.warnings == ()


def test_a_frame_that_fits_badly_warns_at_its_line(tmp_path):
    loaded = load(tmp_path, POSITIONED + """
        [frame]
        known = { "0A01" = [10.0, 5.0], "0A02" = [10.0, 13.5], "0A03" = [4.0, 13.0] }
        """)
    [warning] = loaded.warnings
    assert warning.startswith(f"{tmp_path / 'site.toml'}:13: warning: frame: the known points "
                              "fit with")


def test_the_command_line_files_win_whole(tmp_path):
    site = load(tmp_path, POSITIONED + '[tags.1001]\nname = "a"\n').site
    from_file = {0x0A01: Anchor(1.0, 2.0), 0x0A03: Anchor(3.0, 4.0, offset=0.2)}
    assert site.known_anchors(from_file) == {0x0A01: Anchor(1.0, 2.0),
                                             0x0A03: Anchor(3.0, 4.0, 0.0, 0.2, "door")}
    assert site.tag_table({0x2002: Tag("b")}) == {0x2002: Tag("b")}
    assert site.tag_table() == {0x1001: Tag("a")}
    surveyed = site.surveyed_anchors({0x0A03: (1.0, 2.0)})
    assert surveyed == {0x0A03: Anchor(1.0, 2.0, 0.0, 0.1, "door")}


def test_an_empty_site_is_sound(tmp_path):
    site = load(tmp_path, "").site
    assert site.zones == () and site.known_anchors() is None
    assert site.site_frame({1: (0, 0)}, surveyed=True).name == "survey"
    assert site.site_frame({1: (0, 0)}, surveyed=False).identity


def test_zones_without_a_frame_warn_of_the_survey_frame(tmp_path):
    loaded = load(tmp_path, """
        [[zones]]
        name = "bay"
        polygon = [[0, 0], [1, 0], [1, 1]]
        """)
    assert "taken in the survey's own coordinates" in loaded.warnings[0]


FAULTS = [
    # (site text, line, message)
    ('[[zones]]\nname = "bay"\npolygon = [[0.0, 0.0], [5.0, 0.0]]\n',
     3, "zone 'bay': polygon needs at least 3 points"),
    ("name = \nx = 1\n", 1, "Invalid value (column 8)"),
    ('name = "a', 1, "Unterminated string (at the end)"),
    ("zonez = []\n", 1, "site: unknown key 'zonez' (did you mean zones?)"),
    ("name = 3\n", 1, "name must be a non-empty string, got 3"),
    ("[anchors.XYZ12]\nx = 1\n", 1, "anchor 'XYZ12': an address is 1 to 4 hexadecimal digits"),
    ("[anchors.a01]\n[anchors.0A01]\n", 2, "anchor 0A01 is listed twice (as 'a01' and '0A01')"),
    ("anchors = 3\n", 1, "anchors must be a table"),
    ("[anchors]\n0A01 = 3\n", 2, "anchor 0A01 must be a table ([anchors.0A01])"),
    ("[anchors.0A01]\nx = 1.0\n", 2, "anchor 0A01: x given without y"),
    ("[anchors.0A01]\nz = 1.0\n", 2, "anchor 0A01: z given without x and y"),
    ("[anchors.0A01]\nx = nan\ny = 0\n", 2, "anchor 0A01: x must be a finite number"),
    ("[anchors.0A01]\nx = true\ny = 0\n", 2, "anchor 0A01: x must be a number, got true"),
    ("[anchors.0A01]\noffset = 20.0\n", 2, "anchor 0A01: offset must be a finite number"),
    ("[anchors.0A01]\nx = 0\ny = 0\n[anchors.0A02]\nname = 'b'\n", 4,
     "anchor 0A02: no position, while 0A01 has one"),
    ("[anchors.0A01]\nx = 0\ny = 0\n[anchors.0A02]\nx = 1\ny = 0\n", 1,
     "anchors: tracking needs 3 to 32 anchors, the site positions 2"),
    ("[anchors.1001]\n[tags.1001]\n", 2, "address 1001 is both an anchor and a tag"),
    ("[tags.1001]\nheigth = 1.0\n", 2, "tag 1001: unknown key 'heigth' (did you mean height?)"),
    ("[tags.1001]\nheight = 'tall'\n", 2, "tag 1001: height must be a number"),
    ("[frame]\nknown = { \"0A01\" = [0, 0] }\n", 1,
     "frame: needs two or more known anchors or points, has 1"),
    ("[frame]\nknown = { \"0A01\" = [0, 0], \"0A02\" = [5, 0] }\n", 1,
     "frame: the known points cannot tell the survey from its mirror image"),
    ("[frame]\nknown = 3\n", 2, "frame: known must be a table of anchor addresses"),
    ("[frame]\nknown = { \"0A01\" = [0] }\n", 2,
     "frame: known anchor 0A01 must be a pair of numbers [x, y], got an array"),
    ("[frame]\nknown = { \"0A01\" = [0, 0], \"0A02\" = [5, 0] }\nrough = { \"0A01\" = [1, 1] }\n",
     3, "frame: anchor 0A01 is known; rough positions are for others"),
    ("[frame]\nmirrored = 'yes'\n", 2, "frame: mirrored must be true or false, got 'yes'"),
    ("[frame]\npoints = [{ tracked = [0, 0] }]\n", 2, "frame: point 1 needs site"),
    ("[frame]\npoints = 3\n", 2, "frame: points must be an array"),
    ("frame = 1\n", 1, "frame must be a table"),
    (POSITIONED + "[frame]\nknown = { \"0A09\" = [0, 0], \"0A02\" = [5, 0] }\nmirrored = false\n",
     13, "frame: known anchor 0A09 is not among the site's anchors"),
    (POSITIONED + "[frame]\nknown = { \"0A01\" = [0, 0], \"0A02\" = [8, 0] }\n", 12,
     "frame: the known points cannot tell the survey from its mirror image"),
    ("[geo]\nlatitude = 52.0\nlongitude = 4.0\n", 1, "geo: needs bearing (or control points)"),
    ("[geo]\nlatitude = 95.0\nlongitude = 4.0\nbearing = 0\n" + POSITIONED, 2,
     "geo: latitude must be a finite number within ±90"),
    ("[geo]\nlatitude = 52.0\nlongitude = 4.0\nbearing = 0\n", 1,
     "geo: latitude and longitude need the site frame"),
    ("[geo]\nlatitude = 52.0\npoints = []\n", 2, "geo: give either latitude, longitude and "
                                                 "bearing, or control points, not both"),
    ("[geo]\nmirrored = true\nlatitude = 1\nlongitude = 1\nbearing = 1\n" + POSITIONED, 2,
     "geo: mirrored goes with control points"),
    ("[geo]\npoints = [{ site = [0, 0], latitude = 52.0, longitude = 4.0 }]\n" + POSITIONED, 2,
     "geo: a geographic fit needs two or more control points"),
    ("[geo]\npoints = [{ site = [0, 0], latitude = 52.0 }]\n", 2, "geo: point 1 needs longitude"),
    ("[geo]\npoints = 'here'\n", 2, "geo: points must be an array"),
    ("[geo]\npoints = []\nmirrored = 1\n", 3, "geo: mirrored must be true or false, got 1"),
    ("[floor_plan]\nscale = 0.05\n", 1, "floor_plan: needs image"),
    ("[floor_plan]\nimage = 'no-such.png'\nscale = 0.05\n", 2, "floor_plan: cannot read"),
    ("[floor_plan]\nimage = 'plan.png'\n", 1, "floor_plan: give either scale"),
    ("[floor_plan]\nimage = 'plan.png'\nscale = -0.1\n", 3, "floor_plan: scale must be above 0"),
    ("zones = 3\n", 1, "zones must be an array of tables"),
    ("zones = [3]\n", 1, "zone 1 must be a table"),
    ("[[zones]]\npolygon = [[0, 0], [1, 0], [1, 1]]\n", 1, "zone 1: needs a name"),
    ("[[zones]]\nname = 'bay'\n", 1, "zone 'bay': needs a polygon"),
    ("[[zones]]\nname = 'bay'\npolygon = 'square'\n", 3, "zone 'bay': polygon must be an array"),
    ("[[zones]]\nname = 'bay'\npolygon = [\n  [0, 0],\n  [1, 0, 2],\n  [1, 1],\n]\n", 5,
     "zone 'bay': point 2 must be a pair of numbers"),
    ("[[zones]]\nname = 'a/b'\npolygon = [[0, 0], [1, 0], [1, 1]]\n", 2,
     "zone 'a/b': name 'a/b' holds '/'"),
    ("[[zones]]\nname = 'bay'\npolygon = [[0, 0], [1, 0], [1, 1]]\nexit_delay = -1\n", 4,
     "zone 'bay': exit_delay must be at least 0"),
    ("[[zones]]\nname = 'bay'\npolygon = [[0, 0], [1, 0], [1, 1]]\ncolor = 'red'\n", 4,
     "zone 'bay': color must be #rgb or #rrggbb"),
    ("[[zones]]\nname = 'bay'\npolygon = [[0, 0], [1, 0], [1, 1]]\nmin_height = 3\n"
     "max_height = 1\n", 4, "zone 'bay': min_height 3 is above max_height 1"),
    ("[[zones]]\nname = 'bay'\npolygon = [[0, 0], [1, 0], [1, 1]]\nexit_tolerence = 1\n", 4,
     "zone 'bay': unknown key 'exit_tolerence' (did you mean exit_tolerance?)"),
    ("[[zones]]\nname = 'bay'\npolygon = [[0, 0], [1, 0], [1, 1]]\n"
     "[[zones]]\nname = 'bay'\npolygon = [[0, 0], [1, 0], [1, 1]]\n", 5,
     "zone 'bay' is named twice (first at line 2)"),
    ("[zone_defaults]\nexit_delay = 'long'\n", 2, "zone_defaults: exit_delay must be a number"),
    ("[zone_defaults]\nentry = 1\n", 2, "zone_defaults: unknown key 'entry'"),
    ("[options]\nsigma = { value = 1 }\n", 2, "options.sigma: a table is no option's value"),
    ("[options]\ntag_timeout = 1\ntag-timeout = 2\n", 3,
     "options.tag-timeout is given twice (also as 'tag_timeout')"),
]


@pytest.mark.parametrize("text, line, message", FAULTS)
def test_faults_name_their_line(tmp_path, text, line, message):
    (tmp_path / "plan.png").write_bytes(PNG_HEAD)
    errors = faults(tmp_path, text)
    expected = f"{tmp_path / 'site.toml'}:{line}: {message}"
    assert any(e.startswith(expected) for e in errors), errors


def test_every_fault_is_listed_in_the_order_of_the_file(tmp_path):
    errors = faults(tmp_path, """\
        [[zones]]
        name = "bay"
        polygon = [[0, 0], [1, 0]]
        [tags.1001]
        height = "x"
        [anchors.0A01]
        x = 1
        """)
    assert [e.split(":")[1] for e in errors] == ["3", "5", "7"]
    with pytest.raises(SiteError, match=r"\(and 2 more: qz-host site check lists them\)"):
        load(tmp_path, "[[zones]]\nname = 'a'\npolygon = []\n[tags.1]\nname = 1\n[tags.2]\n"
                       "name = 2\n")


def test_unreadable_files(tmp_path):
    with pytest.raises(SiteError, match="cannot read .*no-such.toml: No such file"):
        read_site(tmp_path / "no-such.toml")
    with pytest.raises(SiteError, match="cannot read"):
        read_site(tmp_path)
    with pytest.raises(SiteError, match=r"site.toml:2: not UTF-8 text"):
        parse_site(b'name = "a"\nname2 = "\xff"\n', tmp_path / "site.toml")


PNG_HEAD = b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x01\x18\x00\x00\x01\xb8\x08\x06"


@pytest.mark.parametrize("content, size", [
    (PNG_HEAD, (280, 440)),
    # A JPEG: start, an APP0 segment, then a baseline start-of-frame.
    (b"\xff\xd8\xff\xe0\x00\x04ab\xff\xc4\x00\x03x\xff\xc0\x00\x11\x08\x01\xe0\x02\x80",
     (640, 480)),
    (b"\xff\xd8\xff\xe0\x00\x10", None),  # cut short
    (b"\xff\xd8\x00", None),
    (b"<svg xmlns='http://www.w3.org/2000/svg'/>", None),
])
def test_image_size(tmp_path, content, size):
    path = tmp_path / "plan"
    path.write_bytes(content)
    assert image_size(path) == size


def test_a_floor_plan_of_unknown_size_keeps_its_width(tmp_path):
    (tmp_path / "plan.svg").write_text("<svg/>")
    plan = load(tmp_path, "[floor_plan]\nimage = 'plan.svg'\nwidth = 20.0\nrotation = 90\n"
                ).site.floor_plan
    assert plan.size is None and plan.image == tmp_path / "plan.svg"
    with pytest.raises(ValueError, match="needs the width"):
        plan.metres_per_pixel()
    with pytest.raises(ValueError, match="need the size"):
        plan.corners()
    # Turned a quarter counter-clockwise: the image's right runs up the site's y.
    corners = plan.corners(400, 200)
    assert [tuple(round(c, 9) for c in p) for p in corners] == \
        [(0, 0), (0, 20), (10, 20), (10, 0)]


# -- the line index


DOCUMENT = '''\
title = "a [b] = c"          # brackets in a string
"quoted.key" = 1
dotted.inner = 2
text = """
[not a table]
x = "y" """
literal = \'\'\'it's\'\'\'
[anchors."0A01"]
x = 1
[[zones]]
name = "a"
polygon = [
  [0, 0],   # a comment with a ] and a [
  [1, 0],
  {x = 1, y = [2, 3]},
]
[[zones]]
name = "b"
[zones.extra]
k = 'v'
points = [ { site = [0, 0], latitude = 1 },
           { site = [1, 1] } ]
'''


@pytest.mark.parametrize("path, line", [
    (("title",), 1), (("quoted.key",), 2), (("dotted", "inner"), 3), (("literal",), 7),
    (("anchors", "0A01", "x"), 9), (("zones", 0), 10), (("zones", 0, "polygon", 0, 1), 13),
    (("zones", 0, "polygon", 1), 14), (("zones", 0, "polygon", 2, "y", 1), 15),
    (("zones", 1, "name"), 18), (("zones", 1, "extra", "k"), 20),
    (("zones", 1, "extra", "points", 1, "site"), 22),
    (("zones", 1, "nothing", "here"), 17),  # the nearest recorded item
    (("nowhere",), 0),
])
def test_key_lines(path, line):
    assert KeyLines(DOCUMENT).line(path) == line


def test_key_lines_of_a_broken_document_keep_what_came_before():
    lines = KeyLines('a = 1\nb = [1, 2\nc = 3\n')
    assert lines.line(("a",)) == 1 and lines.line(("b",)) == 2


def test_multiline_strings_ending_in_quotes():
    text = 'a = """x""""\nb = \'\'\'y\'\'\'\'\nc = "\\"q"\nd = 1\n'
    assert [KeyLines(text).line((k,)) for k in "abcd"] == [1, 2, 3, 4]
