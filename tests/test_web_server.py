"""The map server: what it serves, what it refuses, and how it treats
clients that misbehave."""

import json
import re
import threading
import time
import tracemalloc
from pathlib import Path

import pytest

pytest.importorskip("websockets", reason="the web extra (websockets) is not installed")

from websockets.sync.client import connect  # noqa: E402

from qz_host.web.floor_plan import FLOOR_PLAN_PATH, FloorPlan  # noqa: E402
from qz_host.web.server import (CONTENT_SECURITY_POLICY, FEED_PATH, STATE_PATH,  # noqa: E402
                                WebServer, host_allowed, is_loopback, origin_allowed,
                                parse_bind)
from qz_host.web.state import MapState  # noqa: E402
from qz_host.tracking import TrackFix  # noqa: E402
from web_client import (Mirror, client_frame, comparable, get, open_feed,  # noqa: E402
                        raw_request, read_message, request, wait_for)


def fix(tag=0x1001, time=1.0, x=1.0, y=2.0):
    return TrackFix(time, tag, x, y, 0.05, 1.2, (0, 1, 2), 0)


@pytest.fixture
def state():
    state = MapState(clock=lambda: 10.0)
    state.set_anchors({0x0A01: (0.0, 0.0), 0x0A02: (10.0, 0.0), 0x0A03: (0.0, 8.0)})
    return state


@pytest.fixture
def server(state):
    server = WebServer(state, "127.0.0.1", 0, interval=0.02)
    server.start()
    yield server
    server.stop()


def feed_url(server):
    return f"ws://127.0.0.1:{server.port}{FEED_PATH}"


class TestFiles:
    @pytest.mark.parametrize("path, kind, marker", [
        ("/", "text/html", b"<svg id=\"map\""),
        ("/map.js", "text/javascript", b"new WebSocket"),
        ("/map.css", "text/css", b"#map"),
        ("/icon.svg", "image/svg+xml", b"<svg"),
        ("/?reload=1", "text/html", b"<svg id=\"map\""),
    ])
    def test_page_files_with_their_types_and_policy(self, server, path, kind, marker):
        status, headers, body = get(server.port, path)
        assert status == 200
        assert headers["content-type"].startswith(kind)
        assert headers["content-security-policy"] == CONTENT_SECURITY_POLICY
        assert headers["x-content-type-options"] == "nosniff"
        assert int(headers["content-length"]) == len(body)
        assert marker in body

    def test_policy_allows_nothing_from_elsewhere(self):
        directives = dict(d.strip().split(" ", 1) for d in CONTENT_SECURITY_POLICY.split(";"))
        assert directives["default-src"] == "'none'"
        for name in ("script-src", "style-src", "connect-src", "img-src"):
            assert directives[name] == "'self'"
        assert "unsafe-inline" not in CONTENT_SECURITY_POLICY

    def test_page_references_only_its_own_files(self, server):
        _, _, html = get(server.port, "/")
        _, _, script = get(server.port, "/map.js")
        for text in (html, script):
            assert b"http://" not in text.replace(b"http://www.w3.org/2000/svg", b"")
            assert b"https://" not in text and b"//cdn" not in text

    @pytest.mark.parametrize("path", [
        "/../../../../etc/passwd", "/..%2f..%2f..%2fetc%2fpasswd", "/%2e%2e/%2e%2e/etc/passwd",
        "/map.js/../server.py", "/server.py", "/state.py", "/__init__.py", "//etc/passwd",
        "/web/map.js", "/map.html", "/MAP.JS", "/map.js%00.html", "/.", "/..", "/%2e",
        "/....//....//etc/passwd", "/\\..\\server.py",
    ])
    def test_nothing_but_its_own_files(self, server, path):
        status, _, body = get(server.port, path)
        assert status == 404
        assert b"root:" not in body and b"import" not in body

    @pytest.mark.parametrize("method", ["POST", "PUT", "DELETE", "OPTIONS", "PATCH", "TRACE"])
    def test_read_only(self, server, method, state):
        before = state.version
        reply = raw_request(server.port, f"{method} /state.json HTTP/1.1\r\n"
                                         "Host: 127.0.0.1\r\n\r\n".encode())
        assert reply.startswith(b"HTTP/1.1 405")
        assert b"\r\nAllow: GET, HEAD\r\n" in reply
        # With a body the request is not even parsed: the connection closes.
        reply = raw_request(server.port, f"{method} / HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                         "Content-Length: 2\r\n\r\n{}".encode())
        assert reply == b"" or reply.startswith(b"HTTP/1.1 4")
        assert state.version == before

    @pytest.mark.parametrize("request_bytes", [
        b"GARBAGE\r\n\r\n", b"GET / HTTP/9.9\r\n\r\n", b"\x00\xff\x16\x03\x01\r\n\r\n",
        b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
        b"GET /" + b"a" * 10000 + b" HTTP/1.1\r\n\r\n",
    ])
    def test_malformed_requests_leave_the_server_serving(self, server, request_bytes):
        raw_request(server.port, request_bytes)
        assert get(server.port, "/")[0] == 200


class TestEndpoint:
    def test_state_json_is_the_feed_message(self, server, state):
        state.add_fix(fix())
        status, headers, body = get(server.port, "/state.json")
        assert status == 200 and headers["content-type"] == "application/json"
        message = json.loads(body)
        assert message["type"] == "state"
        assert message["state"]["anchors"][1] == {
            "address": 0x0A02, "label": "0A02", "name": None, "x": 10.0, "y": 0.0,
            "heard": 1.0, "ranges_used": 1, "used_share": 1.0}
        assert message["state"]["tags"][0]["label"] == "1001"
        assert set(message["server"]) == {"clients", "ignored_messages", "malformed_messages",
                                          "dropped_updates", "rejected_requests"}

    @pytest.mark.parametrize("host", ["evil.example:8080", "192.168.1.5", "localhost.evil"])
    def test_loopback_server_refuses_foreign_host_names(self, server, host):
        assert get(server.port, "/state.json", {"Host": host})[0] == 403

    @pytest.mark.parametrize("host", ["localhost", "127.0.0.1:9", "[::1]:80"])
    def test_loopback_names_accepted(self, server, host):
        assert get(server.port, "/state.json", {"Host": host})[0] == 200

    def test_two_host_headers(self, server):
        reply = raw_request(server.port, b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                         b"Host: evil.example\r\n\r\n")
        assert reply.startswith(b"HTTP/1.1 400")

    def test_feed_path_without_upgrade(self, server):
        assert get(server.port, FEED_PATH)[0] == 426


class TestFeed:
    def test_state_on_connect_then_updates(self, server, state):
        with connect(feed_url(server)) as ws:
            first = json.loads(ws.recv(timeout=5))
            assert first["type"] == "state" and first["state"]["tags"] == []
            state.add_fix(fix(x=3.5))
            message = json.loads(ws.recv(timeout=5))
            assert message["type"] == "delta" and message["from"] == first["state"]["version"]
            assert message["tags"][0]["x"] == 3.5
            assert message["server"]["clients"] == 1

    def test_pages_of_other_sites_may_not_read_the_feed(self, server):
        with pytest.raises(Exception, match="403"):
            connect(feed_url(server), origin="http://evil.example")
        with connect(feed_url(server), origin=f"http://127.0.0.1:{server.port}") as ws:
            assert json.loads(ws.recv(timeout=5))["type"] == "state"

    def test_client_messages_ignored_and_counted(self, server, state):
        with connect(feed_url(server)) as ws:
            ws.recv(timeout=5)
            for text in ["", "{}", '{"type": "set_anchors", "anchors": {}}', "not json",
                         b"\x00\x01binary"]:
                ws.send(text)
            assert wait_for(lambda: server.ignored_messages == 5)
            assert json.loads(ws.recv(timeout=5))["type"] == "delta"
        assert [a["label"] for a in state.snapshot()["anchors"]] == ["0A01", "0A02", "0A03"]

    @pytest.mark.parametrize("frame", [
        client_frame(0x1, b"\xff\xfe not UTF-8"),          # invalid text
        client_frame(0x1, b"unmasked", mask=False),        # clients must mask
        client_frame(0x1, b"x" * 5000),                    # over the size limit
        client_frame(0x3, b"reserved opcode"),
        client_frame(0x1, b"reserved bits", rsv=4),
        client_frame(0x9, b"p" * 200),                     # control frame too long
        client_frame(0x0, b"continuation of nothing"),
    ])
    def test_malformed_frames_counted_and_survived(self, server, frame):
        sock = open_feed(server.port)
        with sock:
            sock.sendall(frame)
            assert wait_for(lambda: server.malformed_messages == 1)
        assert wait_for(lambda: server.clients == 0)
        with connect(feed_url(server)) as ws:
            assert json.loads(ws.recv(timeout=5))["server"]["malformed_messages"] == 1

    def test_abrupt_disconnect_is_not_malformed(self, server):
        sock = open_feed(server.port)
        sock.close()
        assert wait_for(lambda: server.clients == 0)
        assert server.malformed_messages == 0


class TestStalledClient:
    def test_pipeline_keeps_pace_and_memory_stays_bounded(self, state):
        # A client that never reads: the server keeps one message for it and
        # the connection's bounded buffers; the rest of its updates are
        # dropped, and the pipeline's calls never wait for it.
        server = WebServer(state, "127.0.0.1", 0, interval=0.01)
        server.start()
        stalled = open_feed(server.port, receive_buffer=4096)
        done = threading.Event()

        def pipeline(count):
            for i in range(count):
                # A hundred tags with full trails: messages of some 200 kB.
                state.add_fix(fix(tag=i % 100, time=1.0 + i / 100, x=i % 17))
                if i % 50 == 0:
                    time.sleep(0.001)
            done.set()

        try:
            pipeline(5000)
            tracemalloc.start()
            try:
                start = tracemalloc.take_snapshot()
                dropped = server.dropped_updates
                worker = threading.Thread(target=pipeline, args=(40000,))
                worker.start()
                worker.join(timeout=120)
                assert not worker.is_alive(), "the pipeline was held up by the server"
                growth = sum(s.size_diff for s in
                             tracemalloc.take_snapshot().compare_to(start, "filename"))
            finally:
                tracemalloc.stop()
            assert server.dropped_updates > dropped + 10
            # A queue of unsent messages would grow by 200 kB per update.
            assert growth < 3_000_000
            with connect(feed_url(server)) as reader:
                message = json.loads(reader.recv(timeout=10))
                assert message["state"]["version"] == state.version
                assert message["server"]["clients"] == 2
        finally:
            stalled.close()
            server.stop()


class TestLifecycle:
    def test_port_in_use_raises_oserror(self, server, state):
        other = WebServer(state, "127.0.0.1", server.port)
        with pytest.raises(OSError):
            other.start()

    def test_restart_on_the_same_port(self, state):
        first = WebServer(state, "127.0.0.1", 0)
        first.start()
        port = first.port
        first.stop()
        first.stop()
        second = WebServer(state, "127.0.0.1", port)
        second.start()
        try:
            assert get(port, "/")[0] == 200
        finally:
            second.stop()

    def test_start_twice(self, server):
        with pytest.raises(RuntimeError):
            server.start()

    def test_interval_must_be_positive(self, state):
        with pytest.raises(ValueError, match="^interval must be positive, got 0$"):
            WebServer(state, interval=0)


class TestBindAddress:
    @pytest.mark.parametrize("text, expected", [
        ("127.0.0.1:8080", ("127.0.0.1", 8080)), ("8080", ("127.0.0.1", 8080)),
        ("localhost:0", ("localhost", 0)), ("[::1]:9000", ("::1", 9000)),
        ("0.0.0.0:80", ("0.0.0.0", 80)),
    ])
    def test_parsed(self, text, expected):
        assert parse_bind(text) == expected

    @pytest.mark.parametrize("text", ["", ":", "host:", "host:port", "127.0.0.1:65536",
                                      "127.0.0.1:-1", ":8080", "[::1]"])
    def test_rejected(self, text):
        with pytest.raises(ValueError, match=r"is not HOST:PORT \(the port must be 0 to 65535\)$"):
            parse_bind(text)

    @pytest.mark.parametrize("host, loopback", [
        ("127.0.0.1", True), ("127.3.2.1", True), ("::1", True), ("localhost", True),
        ("0.0.0.0", False), ("::", False), ("10.0.0.1", False), ("example.com", False)])
    def test_loopback(self, host, loopback):
        assert is_loopback(host) is loopback


@pytest.mark.parametrize("name", ["map.html", "model.js", "viewport.js", "map.js", "map.css",
                                  "icon.svg"])
def test_page_is_installed_with_the_package(name):
    import qz_host.web

    folder = Path(qz_host.web.__file__).parent
    if "site-packages" not in folder.parts and "dist-packages" not in folder.parts:
        pytest.skip(f"qz_host is not installed (imported from {folder})")
    source = Path(__file__).resolve().parent.parent / "host" / "qz_host" / "web" / name
    assert (folder / name).read_bytes() == source.read_bytes()


class TestHead:
    @pytest.mark.parametrize("path", ["/", "/map.js", "/state.json", "/nowhere", FEED_PATH])
    def test_as_get_without_the_body(self, server, path):
        got_status, got_headers, got_body = get(server.port, path)
        status, headers, body = request(server.port, "HEAD", path)
        assert body == b"" and status == got_status
        if path != "/state.json":  # the state's clock may move between the two
            assert headers == got_headers
        assert int(headers["content-length"]) == len(got_body) > 0


class TestHosts:
    """Requests must name the server: DNS rebinding is refused on any bind."""

    @pytest.fixture
    def everywhere(self, state):
        server = WebServer(state, "0.0.0.0", 0, interval=0.02, allow_hosts=["map.example.com"])
        server.start()
        yield server
        server.stop()

    @pytest.mark.parametrize("host, status", [
        ("evil.example", 403), ("evil.example:80", 403), ("localhost.evil", 403),
        ("map.example.com", 200), ("MAP.Example.COM.:443", 200), ("127.0.0.1", 200),
        ("localhost:1234", 200), ("", 403), ("[::1]", 200), ("10.1.2.3", 403),
    ])
    def test_on_every_interface(self, everywhere, host, status):
        assert get(everywhere.port, "/state.json", {"Host": host})[0] == status

    def test_loopback_with_allowed_names(self, state):
        server = WebServer(state, "127.0.0.1", 0, allow_hosts=["qz.local", "[fd00::5]"])
        server.start()
        try:
            for host, status in [("qz.local", 200), ("[fd00::5]:8080", 200),
                                 ("other.local", 403), ("127.0.0.1", 200)]:
                assert get(server.port, "/", {"Host": host})[0] == status
        finally:
            server.stop()

    @pytest.mark.parametrize("name, bound, allowed, local, expected", [
        ("192.0.2.7", "0.0.0.0", (), "192.0.2.7", True),     # the address typed
        ("192.0.2.7", "0.0.0.0", (), "::ffff:192.0.2.7", True),
        ("192.0.2.8", "0.0.0.0", (), "192.0.2.7", False),
        ("host.lan", "0.0.0.0", (), "192.0.2.7", False),     # a name: only when allowed
        ("host.lan", "0.0.0.0", ("host.lan",), "192.0.2.7", True),
        ("host.lan", "host.lan", (), "192.0.2.7", True),     # the name it was bound by
        ("HOST.lan.", "host.lan", (), None, True),
        ("localhost", "192.0.2.7", (), "192.0.2.7", False),  # not listening on loopback
        ("localhost", "::", (), "::1", True),
        ("2001:db8::1", "::", (), "2001:db8::1", True),
        ("", "0.0.0.0", (), None, False),
    ])
    def test_rules(self, name, bound, allowed, local, expected):
        assert host_allowed(name, bound, allowed, local) is expected


class TestOrigins:
    @pytest.mark.parametrize("origin, host, allowed, expected", [
        ("http://127.0.0.1:8080", "127.0.0.1:8080", (), True),
        ("https://127.0.0.1:8080", "127.0.0.1:8080", (), True),
        ("http://127.0.0.1:9999", "127.0.0.1:8080", (), False),   # another local server
        ("http://localhost:8080", "127.0.0.1:8080", (), False),
        ("https://map.example.com", "127.0.0.1:8080", ("map.example.com",), True),  # TLS proxy
        ("https://map.example.com", "map.example.com", (), True),
        ("http://map.example.com:80", "map.example.com", (), True),
        ("https://map.example.com", "map.example.com:80", (), False),
        ("http://evil.example", "evil.example", ("map.example.com",), True),  # Host refused first
        ("http://evil.example", "127.0.0.1:8080", ("map.example.com",), False),
        ("null", "127.0.0.1:8080", (), False),
        ("file://", "127.0.0.1:8080", (), False),
        ("ws://127.0.0.1:8080", "127.0.0.1:8080", (), False),
        ("http://127.0.0.1:8080/", "127.0.0.1:8080", (), False),
        ("http://u@127.0.0.1:8080", "127.0.0.1:8080", (), False),
        ("http://127.0.0.1:99999", "127.0.0.1:8080", (), False),
        ("http://[::1]:8080", "[::1]:8080", (), True),
    ])
    def test_rules(self, origin, host, allowed, expected):
        assert origin_allowed(origin, host, allowed) is expected

    def test_https_page_behind_a_proxy_reads_the_feed(self, state):
        server = WebServer(state, "127.0.0.1", 0, allow_hosts=["map.example.com"])
        server.start()
        try:
            url = f"ws://127.0.0.1:{server.port}{FEED_PATH}"
            with connect(url, origin="https://map.example.com") as ws:
                assert json.loads(ws.recv(timeout=5))["type"] == "state"
            with connect(url, origin=f"https://127.0.0.1:{server.port}") as ws:
                assert json.loads(ws.recv(timeout=5))["type"] == "state"
            with pytest.raises(Exception, match="403"):
                connect(url, origin="https://evil.example")
        finally:
            server.stop()

    def test_two_origins_refused(self, server):
        status, _, _ = get(server.port, FEED_PATH, {
            "Upgrade": "websocket", "Origin": f"http://127.0.0.1:{server.port}",
            "origin": "http://evil.example"})
        assert status == 403


HOSTS = "allowed hosts are names or addresses without a scheme, port or path, got "


class TestConfiguration:
    @pytest.mark.parametrize("hosts, message", [
        (["http://map.example.com"], HOSTS + "'http://map.example.com'"),
        (["map.example.com:443"], HOSTS + "'map.example.com:443'"),
        (["a/b"], HOSTS + "'a/b'"), ([""], HOSTS + "''"),
        (["x" * 64 + ".com"], HOSTS + "'%s.com'" % ("x" * 64)),
        ([5], "allowed hosts are names or addresses, got 5"),
        ("map.example.com", "allow_hosts is a list of names, got the str 'map.example.com'"),
        (["bad host"], HOSTS + "'bad host'"),
        (["caf\u00e9.example"], HOSTS + "'caf\u00e9.example'")])
    def test_bad_allowed_hosts(self, state, hosts, message):
        with pytest.raises(ValueError, match="^%s$" % re.escape(message)):
            WebServer(state, allow_hosts=hosts)

    def test_allowed_hosts_normalised(self, state):
        server = WebServer(state, allow_hosts=["Map.Example.com.", "[FD00::5]", "10.0.0.1"])
        assert server.allow_hosts == ("map.example.com", "fd00::5", "10.0.0.1")

    @pytest.mark.parametrize("options, message", [
        ({"port": 65536}, "port must be an int 0 to 65535, got 65536"),
        ({"port": -1}, "port must be an int 0 to 65535, got -1"),
        ({"port": True}, "port must be an int 0 to 65535, got True"),
        ({"port": "80"}, "port must be an int 0 to 65535, got '80'"),
        ({"host": "bad host"}, "expected a host name or address to bind, got 'bad host'"),
        ({"host": None}, "expected a host name or address to bind, got None"),
        ({"host": "[::1]"}, "expected a host name or address to bind, got '[::1]'"),
        ({"interval": "fast"}, "interval must be positive, got 'fast'"),
        ({"refresh": 0}, "refresh must be positive, got 0"),
        ({"refresh": 2.0},
         "refresh must be at most 1.5 s, the page's watchdog counts longer silences, got 2.0"),
        ({"interval": True}, "interval must be positive, got True")])
    def test_bad_options(self, state, options, message):
        with pytest.raises(ValueError, match="^%s$" % re.escape(message)):
            WebServer(state, **options)


class TestBindErrors:
    """Every bind failure is an OSError with a one-line reason."""

    def test_address_in_use(self, server, state):
        with pytest.raises(OSError) as error:
            WebServer(state, "127.0.0.1", server.port).start()
        assert error.value.strerror == "Address already in use"

    @pytest.mark.parametrize("host", ["192.0.2.1", "x" * 300, "a..b"])
    def test_not_this_machine_or_no_name(self, state, host):
        # 192.0.2.1 is a documentation address no machine has: binding it
        # fails at once, sending nothing.
        server = WebServer(state, host, 0)
        with pytest.raises(OSError) as error:
            server.start()
        assert error.value.strerror and "\n" not in error.value.strerror
        assert "attempting to bind" not in error.value.strerror
        with pytest.raises(OSError):
            server.start()  # the same again, not "already started"


class TestFloorPlanServed:
    def test_the_configured_image_at_its_url(self, server, state):
        assert get(server.port, FLOOR_PLAN_PATH)[0] == 404
        image = b"\x89PNG\r\n\x1a\n" + bytes(range(256))
        state.set_floor_plan(FloorPlan(image, (0, 0, 10, 8)))
        url = json.loads(get(server.port, STATE_PATH)[2])["state"]["floor_plan"]["url"]
        status, headers, body = get(server.port, url)
        assert (status, headers["content-type"], body) == (200, "image/png", image)
        assert headers["content-security-policy"] == CONTENT_SECURITY_POLICY
        for path in (FLOOR_PLAN_PATH + "/../state.py", FLOOR_PLAN_PATH + ".png", "/floor-plan/"):
            assert get(server.port, path)[0] == 404


class TestDifferencesOnTheFeed:
    def test_heartbeat_when_nothing_changes(self, server, state):
        with connect(feed_url(server)) as ws:
            first = json.loads(ws.recv(timeout=5))
            json.loads(ws.recv(timeout=5))  # the server's count of clients changed
            started = time.monotonic()
            beat = json.loads(ws.recv(timeout=5))
            assert 0.5 < time.monotonic() - started < 2.0
            assert beat["type"] == "delta" and beat["tags"] == []
            assert beat["from"] == beat["version"] == first["state"]["version"]

    def test_a_slow_reader_converges(self, state):
        """A reader that stops reading while the pipeline adds, moves and
        drops tags gets, once it reads again, differences that bring its
        copy to the whole state, never a queue of what it missed."""
        clock = {"now": 0.0}
        busy = MapState(clock=lambda: clock["now"], trail=5, tag_timeout=3.0,
                        monotonic=lambda: 0.0)
        busy.set_anchors({0x0A01: (0, 0), 0x0A02: (10, 0), 0x0A03: (0, 8)})
        server = WebServer(busy, "127.0.0.1", 0, interval=0.01)
        server.start()
        sock = open_feed(server.port, receive_buffer=4096)
        mirror = Mirror()
        try:
            mirror.apply(read_message(sock))
            for i in range(40000):
                clock["now"] = i / 2000
                # 200 tags at a time, a new 200 every 4 s, the old timing out.
                busy.add_fix(fix(tag=(i // 8000) * 200 + i % 200, time=clock["now"],
                                 x=i % 13 + i / 7))
                if i % 2000 == 0:
                    # Names, 40 kB each time: more than the connection holds.
                    busy.set_tag_names({tag: f"{i} " + "n" * 190 for tag in range(200)})
                    time.sleep(0.02)
            assert server.dropped_updates > 0
            for _ in range(200):
                mirror.apply(read_message(sock))
                # (The version moves on once more as the last tags time out.)
                if mirror.state["version"] == busy.version:
                    break
            else:
                pytest.fail("200 messages did not bring the reader up to date")
            assert mirror.comparable() == comparable(busy.wire_snapshot())
        finally:
            sock.close()
            server.stop()
