"""What every command reads the same way: addresses, capture files (and
what is not one), anchors and tags files with one limit."""

import gzip
import io
import subprocess
import sys
import time

import pytest

from qz_host import addresses, capture, cli, devices
from qz_host.commands import emit

from cli_helpers import run
from live_helpers import HALL, free_port


@pytest.mark.parametrize("text, options, expected", [
    ("127.0.0.1:8080", {"listening": True}, ("127.0.0.1", 8080)),
    ("8080", {"listening": True, "default_host": "127.0.0.1"}, ("127.0.0.1", 8080)),
    ("localhost:0", {"listening": True}, ("localhost", 0)),
    ("[::1]:9000", {"listening": True}, ("::1", 9000)),
    ("broker", {"listening": False, "default_port": 1883}, ("broker", 1883)),
    ("::1", {"listening": False, "default_port": 1883}, ("::1", 1883)),
    ("10.0.0.2:1884", {"listening": False, "default_port": 1883}, ("10.0.0.2", 1884)),
])
def test_host_port(text, options, expected):
    assert addresses.host_port(text, **options) == expected


@pytest.mark.parametrize("text, options, form", [
    ("127.0.0.1:99999", {"listening": True}, "HOST:PORT (the port must be 0 to 65535)"),
    ("host:0", {"listening": False}, "HOST:PORT (the port must be 1 to 65535)"),
    ("host:port", {"listening": True}, "HOST:PORT"),
    (":8080", {"listening": True}, "HOST:PORT"),
    ("[::1]", {"listening": True}, "HOST:PORT"),
    ("a:b:80", {"listening": True}, "HOST:PORT"),
    ("host:", {"listening": False, "default_port": 1883}, "HOST[:PORT]"),
])
def test_host_port_refused_naming_the_form(text, options, form):
    with pytest.raises(ValueError) as raised:
        addresses.host_port(text, **options)
    assert str(raised.value) == f"{text!r} is not {form}" or form in str(raised.value)


@pytest.mark.parametrize("url, scheme, listening, expected", [
    ("udp://:47474", "udp", True, ("127.0.0.1", 47474)),
    ("udp://0.0.0.0:0", "udp", True, ("0.0.0.0", 0)),
    ("socket://gateway:2000", "socket", False, ("gateway", 2000)),
])
def test_url_address(url, scheme, listening, expected):
    assert addresses.url_address(url, scheme, listening=listening) == expected


@pytest.mark.parametrize("url, scheme, listening", [
    ("udp://127.0.0.1:x", "udp", True), ("socket://h:0", "socket", False),
    ("udp://h:70000", "udp", True), ("tcp://h:1", "socket", False), ("udp://h:1/p", "udp", True),
])
def test_url_address_refused(url, scheme, listening):
    with pytest.raises(ValueError, match=f"not {scheme}://HOST:PORT"):
        addresses.url_address(url, scheme, listening=listening)


@pytest.mark.parametrize("host, warned", [("127.0.0.1", False), ("::1", False),
                                          ("localhost", False), ("0.0.0.0", True),
                                          ("192.168.1.5", True)])
def test_exposure_warning(host, warned):
    text = addresses.exposure_warning(host, "serving", "can read the map")
    assert (text is not None) == warned
    if warned:
        assert text == (f"warning: serving beyond this machine on {host}: "
                        "anyone who can reach it can read the map")


@pytest.mark.parametrize("argv, message", [
    (["live", "-", "--web", "127.0.0.1:99999"], "--web: '127.0.0.1:99999' is not HOST:PORT"),
    (["live", "-", "--mqtt", "broker:99999"], "--mqtt: 'broker:99999' is not HOST[:PORT]"),
    (["live", "udp://127.0.0.1:99999"], "'udp://127.0.0.1:99999' is not udp://HOST:PORT"),
])
def test_every_address_option_is_refused_at_once_in_one_line(argv, message):
    """A port out of range is refused before any thread starts: `live --web
    127.0.0.1:99999` used to hang on an error in the web thread."""
    started = time.monotonic()
    done = subprocess.run([sys.executable, "-m", "qz_host", *argv], input="", text=True,
                          capture_output=True, timeout=60)
    assert done.returncode == 2
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and message in lines[0], done.stderr
    assert time.monotonic() - started < 30


def test_view_refuses_a_bad_address(tmp_path):
    with pytest.raises(SystemExit) as raised:
        cli.main(["view", str(HALL), "--web", "127.0.0.1:99999"])
    assert raised.value.code == 2


def test_udp_source_beyond_loopback_is_warned(capsys):
    port = free_port(kind=__import__("socket").SOCK_DGRAM)
    from live_helpers import live_thread
    with live_thread([f"udp://0.0.0.0:{port}"]) as session:
        session.finish()
    assert ("warning: listening for frames beyond this machine on 0.0.0.0: anyone who can "
            "reach it can send it frames") in capsys.readouterr().err


NOT_CAPTURES = [
    (gzip.compress(b"0.0 40515a40\n" * 50), "gzip-compressed"),
    (b"\x00\x01\x02 binary\n" * 20, "binary data"),
    (b"time,tag,x,y\n1.0,1001,2.0,3.0\n", "none of its lines"),
]


@pytest.mark.parametrize("content, hint", NOT_CAPTURES)
@pytest.mark.parametrize("command", ["replay", "view", "emit"])
def test_every_command_says_what_is_not_a_capture(command, content, hint, tmp_path, capsys):
    pytest.importorskip("websockets") if command == "view" else None
    path = tmp_path / "odd.qzcap"
    path.write_bytes(content)
    extra = {"replay": [], "view": ["--web", "127.0.0.1:0"],
             "emit": ["udp://127.0.0.1:9"]}[command]
    assert cli.main([command, str(path), *extra], out=io.StringIO()) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "not a capture" in err and hint in err, err


@pytest.mark.parametrize("content, hint", NOT_CAPTURES)
def test_live_standard_input_says_what_is_not_a_capture(content, hint):
    done = subprocess.run([sys.executable, "-m", "qz_host", "live", "-"], input=content,
                          capture_output=True, timeout=60)
    assert done.returncode == 2
    err = done.stderr.decode()
    assert err.count("\n") == 1 and "not a capture" in err and hint in err, err


def test_emit_reads_capture_lines_through_the_shared_reader(tmp_path):
    path = tmp_path / "crlf.qzcap"
    path.write_bytes(HALL.read_bytes().replace(b"\n", b"\r\n"))
    assert len(emit.read_frames(path)) == 882


def anchors_file(path, count, offset=False):
    rows = ["anchor,x,y,z" + (",offset" if offset else "")]
    rows += [f"{0x0A00 + k:04X},{k % 7 * 3.0},{k // 7 * 2.0},0.5" + (",0.12" if offset else "")
             for k in range(count)]
    path.write_text("\n".join(rows) + "\n")
    return path


@pytest.mark.parametrize("count, accepted", [(2, False), (3, True), (32, True), (33, False)])
def test_one_limit_on_known_anchors_for_replay_and_live(count, accepted, tmp_path, capsys):
    path = anchors_file(tmp_path / "a.csv", count)
    code, text = run("replay", HALL, "--anchors", path, "--no-truth")
    assert (f"tracking needs 3 to 32 anchors, {count} given" in text) != accepted
    live_code = cli.main(["live", "-", "--anchors", str(path), "--web", "127.0.0.1:x"])
    err = capsys.readouterr().err
    assert live_code == 2  # the bad --web, or the anchors first
    assert ("tracking needs 3 to 32 anchors" in err) != accepted, err


def test_anchors_file_with_offsets_round_trips(tmp_path):
    path = anchors_file(tmp_path / "a.csv", 4, offset=True)
    anchors = devices.read_anchors(path)
    assert anchors[0x0A01] == devices.Anchor(3.0, 0.0, 0.5, 0.12)
    again = tmp_path / "b.csv"
    devices.write_anchors(again, anchors, exact=True)
    assert devices.read_anchors(again) == anchors
    plain = tmp_path / "c.csv"
    capture.write_anchors(plain, {1: (1.0, 2.0, 3.0)})
    assert plain.read_text().splitlines()[0] == "anchor,x,y,z"  # no offsets, no column


def test_tags_file_every_column_but_tag_optional(tmp_path):
    path = tmp_path / "tags.csv"
    path.write_text("tag,name,height,offset\n1001,forklift 1,1.2,0.05\n1002,,,\n")
    tags = devices.read_tags(path)
    assert tags == {0x1001: devices.Tag("forklift 1", 1.2, 0.05), 0x1002: devices.Tag()}
    only = tmp_path / "only.csv"
    only.write_text("tag\n1003\n")
    assert devices.read_tags(only) == {0x1003: devices.Tag()}
    again = tmp_path / "again.csv"
    devices.write_tags(again, tags)
    assert devices.read_tags(again) == tags


@pytest.mark.parametrize("reader, content, message", [
    (devices.read_tags, "tag,height\n1001,inf\n", ":2: height must be finite"),
    (devices.read_tags, "tag,offset\n1001,x\n", ":2: could not convert"),
    (devices.read_tags, "tag\n1001\n1001\n", ":3: tag 1001 is listed twice"),
    (devices.read_tags, "name\nx\n", "missing column(s) tag"),
    (devices.read_tags, "tag\n10000\n", "does not fit in 16 bits"),
    (devices.read_anchors, "anchor,x,y,z,offset\n0A01,0,0,0,nan\n", ":2: offset must be finite"),
    (devices.read_anchors, "anchor,x,y,z\n0A01,0,0,\n", ":2: z is missing"),
])
def test_bad_device_files_name_the_line(reader, content, message, tmp_path):
    path = tmp_path / "bad.csv"
    path.write_text(content)
    with pytest.raises(ValueError) as raised:
        reader(path)
    assert str(raised.value).startswith(str(path)) and message in str(raised.value)
