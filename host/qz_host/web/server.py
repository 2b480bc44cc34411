"""The map's web server: the page, a JSON endpoint and a WebSocket feed.

It runs its own asyncio loop in its own thread and reads the MapState the
pipeline writes. A browser that connects gets the whole state first; after
that, every `interval` seconds when the state has changed (and at least
once a second, as a heartbeat), it gets what changed since the version it
was last sent. A client's sender computes its message only when the
previous one has gone out, so a browser that reads slowly simply gets one
larger difference later (the updates it was not ready for are counted as
dropped), and one too far behind gets the whole state again: no queue
grows, and the pipeline never waits on a browser.

The server is read-only. It serves a fixed set of files held in memory,
looked up by exact path, and the configured floor plan's bytes under one
fixed URL, so no request can reach the file system; every response forbids
scripts, styles and connections from anywhere but itself; and anything a
client sends over the WebSocket is counted and ignored.

Requests must name this server: the Host header must be the address it is
bound to, a loopback name when it listens on loopback, the address the
client connected to, or a name in `allow_hosts`. A page on another site
whose name was pointed at this machine (DNS rebinding) is refused on every
bind. The feed also refuses a browser page of another origin: the Origin
must be http or https and either match the Host or name an allowed host
(the name a TLS proxy in front serves the map under).
"""

from __future__ import annotations

import asyncio
import errno
import http
import ipaddress
import json
import os
import socket
import threading
from pathlib import Path
from typing import Any, Dict, Iterable, Optional, Sequence, Set, Tuple
from urllib.parse import urlsplit

from .. import addresses
from .floor_plan import FLOOR_PLAN_PATH
from .state import MapState

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8080
DEFAULT_INTERVAL = 0.1  # seconds between updates to the browsers
REFRESH_INTERVAL = 1.0  # seconds after which a heartbeat goes out unasked
MAX_REFRESH = 1.5  # the page says "no data" after 2 s of silence
FEED_PATH = "/feed"
STATE_PATH = "/state.json"
# Browsers send nothing the server uses, so a small frame limit suffices.
MAX_CLIENT_MESSAGE = 4096
# Close codes of connections the server closed over a bad frame: protocol
# error, unsupported data, invalid payload (bad UTF-8), too large.
MALFORMED_CLOSE_CODES = frozenset({1002, 1003, 1007, 1009})
# Seconds a client that broke the protocol gets to acknowledge the close.
CLOSE_TIMEOUT = 1.0
# Bytes the system may hold for a browser that does not read, rather than
# the megabytes it would grow to: the server learns sooner that the browser
# is behind and merges its updates.
SEND_BUFFER = 128 * 1024

CONTENT_SECURITY_POLICY = (
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'")
SECURITY_HEADERS = (
    ("Content-Security-Policy", CONTENT_SECURITY_POLICY),
    ("X-Content-Type-Options", "nosniff"),
    ("Referrer-Policy", "no-referrer"),
    ("Cache-Control", "no-store"),
)
PAGE_FILES = {
    "/": ("map.html", "text/html; charset=utf-8"),
    "/model.js": ("model.js", "text/javascript; charset=utf-8"),
    "/viewport.js": ("viewport.js", "text/javascript; charset=utf-8"),
    "/map.js": ("map.js", "text/javascript; charset=utf-8"),
    "/map.css": ("map.css", "text/css; charset=utf-8"),
    "/icon.svg": ("icon.svg", "image/svg+xml"),
}
READ_METHODS = ("GET", "HEAD")
LOOPBACK_NAMES = frozenset({"localhost", "127.0.0.1", "::1"})
WILDCARD_HOSTS = frozenset({"", "0.0.0.0", "::"})
DEFAULT_PORTS = {"http": 80, "https": 443}


def require_websockets() -> None:
    try:
        import websockets  # noqa: F401
    except ImportError:
        raise ImportError("the web map needs the websockets package: "
                          "pip install 'qz-rtls[web]'") from None


def parse_bind(text: str) -> Tuple[str, int]:
    """(host, port) of "HOST:PORT", "[IPV6]:PORT" or "PORT" (on loopback)."""
    return addresses.host_port(text, listening=True, default_host=DEFAULT_HOST)


is_loopback = addresses.is_loopback


def _normal_host(name: str) -> str:
    """A host name compared as names are: case-blind, without a final dot,
    an address in its canonical form."""
    name = name.strip().lower().rstrip(".")
    try:
        address = ipaddress.ip_address(name.split("%", 1)[0])
    except ValueError:
        return name
    mapped = getattr(address, "ipv4_mapped", None)
    return str(mapped or address)


def check_allowed_host(name: Any) -> str:
    """One `allow_hosts` entry: a host name or an address, without a
    scheme, a port or a path. ValueError otherwise."""
    if not isinstance(name, str):
        raise ValueError(f"allowed hosts are names or addresses, got {name!r}")
    text = name.strip()
    if text.startswith("[") and text.endswith("]"):
        text = text[1:-1]
    if addresses.is_ip(text):
        return _normal_host(text)
    valid = text and len(text) <= 253 and all(
        part and len(part) <= 63 and all(c.isalnum() and c.isascii() or c in "-_" for c in part)
        for part in text.rstrip(".").split("."))
    if not valid:
        raise ValueError(f"allowed hosts are names or addresses without a scheme, port or "
                         f"path, got {name!r}")
    return _normal_host(text)


def _load_page() -> Dict[str, Tuple[bytes, str]]:
    folder = Path(__file__).parent
    return {path: ((folder / name).read_bytes(), kind) for path, (name, kind) in PAGE_FILES.items()}


class _Client:
    """One browser: the version it was last sent, and a flag the publisher
    raises when there is more to send."""

    def __init__(self, connection: Any):
        self.connection = connection
        self.version = -1  # nothing sent yet: the whole state goes first
        self.wake = asyncio.Event()


class WebServer:
    """Serves `state` on http://host:port/ until stop().

    Updates go out at most every `interval` seconds, and a heartbeat at
    least every `refresh` seconds (at most MAX_REFRESH: the page's
    watchdog takes a longer silence for a stopped feed). `allow_hosts`
    lists further names (or addresses) the server may be reached by, such
    as the name a proxy serves it under or the machine's DNS name; without
    them a server bound to all interfaces answers requests addressed to
    loopback names and to the address the client connected to. Bad
    arguments raise ValueError here, before any thread starts.
    """

    def __init__(self, state: MapState, host: str = DEFAULT_HOST, port: int = DEFAULT_PORT,
                 *, interval: float = DEFAULT_INTERVAL, refresh: float = REFRESH_INTERVAL,
                 allow_hosts: Iterable[str] = ()):
        require_websockets()
        for name, value in (("interval", interval), ("refresh", refresh)):
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
                raise ValueError(f"{name} must be positive, got {value!r}")
        if refresh > MAX_REFRESH:
            raise ValueError(f"refresh must be at most {MAX_REFRESH} s, the page's watchdog "
                             f"counts longer silences, got {refresh!r}")
        if not isinstance(host, str) or any(c.isspace() or c in "\0/[]" for c in host):
            raise ValueError(f"expected a host name or address to bind, got {host!r}")
        if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
            raise ValueError(f"port must be an int 0 to 65535, got {port!r}")
        if isinstance(allow_hosts, str):
            raise ValueError(f"allow_hosts is a list of names, got the str {allow_hosts!r}")
        self.state = state
        self.host = host
        self.port = port
        self.interval = interval
        self.refresh = refresh
        self.allow_hosts = tuple(check_allowed_host(name) for name in allow_hosts)
        self.ignored_messages = 0
        self.malformed_messages = 0
        self.dropped_updates = 0
        self.rejected_requests = 0
        self._page = _load_page()
        self._clients: Set[_Client] = set()
        # Messages made since the last publishing tick, by the version they
        # start from: clients in step share one encoding.
        self._made: Dict[int, Tuple[int, str]] = {}
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._stopping: Optional[asyncio.Event] = None
        self._thread: Optional[threading.Thread] = None
        self._ready = threading.Event()
        self._error: Optional[BaseException] = None

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}/"

    @property
    def clients(self) -> int:
        return len(self._clients)

    def start(self) -> None:
        """Binds and starts serving in a thread of its own. When the address
        cannot be bound it raises OSError, whose `strerror` says why in one
        line (an address in use, a name that does not resolve, an address
        that is not this machine's). With port 0 the system picks one, and
        `port` tells which."""
        if self._thread is not None:
            raise RuntimeError("the server is already started")
        self._ready.clear()
        self._error = None
        self._thread = threading.Thread(target=self._run, name="qz-web", daemon=True)
        self._thread.start()
        self._ready.wait()
        if self._error is not None:
            self._thread.join()
            self._thread = None
            raise self._error

    def stop(self) -> None:
        """Closes every connection and the listening socket; returns once
        the server's thread has ended."""
        if self._thread is None:
            return
        assert self._loop is not None and self._stopping is not None
        self._loop.call_soon_threadsafe(self._stopping.set)
        self._thread.join()
        self._thread = None

    def message(self) -> str:
        """The whole state as the feed sends it first and the endpoint
        returns it."""
        return self._whole()[1]

    def statistics(self) -> Dict[str, int]:
        return {"clients": self.clients, "ignored_messages": self.ignored_messages,
                "malformed_messages": self.malformed_messages,
                "dropped_updates": self.dropped_updates,
                "rejected_requests": self.rejected_requests}

    def _whole(self) -> Tuple[int, str]:
        state = self.state.wire_snapshot()
        return state["version"], _encode({"type": "state", "state": state,
                                          "server": self.statistics()})

    def _message_for(self, since: int) -> Tuple[int, str]:
        """(version, text) of the next message to a client that was last
        sent `since` (-1: nothing yet)."""
        made = self._made.get(since)
        if made is None:
            delta = self.state.changes(since) if since >= 0 else None
            if delta is None:
                made = self._whole()
            else:
                delta["type"] = "delta"
                delta["server"] = self.statistics()
                made = delta["version"], _encode(delta)
            self._made[since] = made
        return made

    def _run(self) -> None:
        self._loop = asyncio.new_event_loop()
        try:
            self._loop.run_until_complete(self._serve())
        except BaseException as error:
            if self._ready.is_set():
                raise
            self._error = error  # start() raises it: a failure never leaves it waiting
        finally:
            self._ready.set()
            self._loop.close()

    async def _serve(self) -> None:
        from websockets.asyncio.server import serve

        self._stopping = asyncio.Event()
        try:
            server = await serve(self._handle, self.host, self.port,
                                 process_request=self._process_request,
                                 max_size=MAX_CLIENT_MESSAGE, max_queue=4,
                                 server_header=None, compression=None,
                                 close_timeout=CLOSE_TIMEOUT)
        except (OSError, ValueError, OverflowError) as error:
            self._error = _bind_error(error)
            self._ready.set()
            return
        self.port = server.sockets[0].getsockname()[1]
        self._ready.set()
        publisher = asyncio.ensure_future(self._publish())
        await self._stopping.wait()
        publisher.cancel()
        server.close()
        await server.wait_closed()

    async def _publish(self) -> None:
        statistics: Dict[str, int] = {}
        sent_version = -1
        quiet = 0.0
        while True:
            changed = self.state.version != sent_version or self.statistics() != statistics
            if changed or quiet >= self.refresh:
                sent_version = self.state.version
                statistics = self.statistics()
                self._made = {}
                for client in self._clients:
                    self._wake(client)
                quiet = 0.0
            await asyncio.sleep(self.interval)
            quiet += self.interval

    def _wake(self, client: _Client) -> None:
        if client.wake.is_set():  # still sending: this update joins its next one
            self.dropped_updates += 1
        client.wake.set()

    async def _handle(self, connection: Any) -> None:
        from websockets.exceptions import ConnectionClosedError

        client = _Client(connection)
        sock = connection.transport.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
        self._clients.add(client)
        self._wake(client)
        sender = asyncio.ensure_future(self._send(client))
        try:
            async for _ in connection:
                self.ignored_messages += 1
        except ConnectionClosedError as error:
            if error.sent is not None and error.sent.code in MALFORMED_CLOSE_CODES:
                self.malformed_messages += 1
        finally:
            self._clients.discard(client)
            sender.cancel()

    async def _send(self, client: _Client) -> None:
        from websockets.exceptions import ConnectionClosed

        try:
            while True:
                await client.wake.wait()
                client.wake.clear()
                version, text = self._message_for(client.version)
                await client.connection.send(text)
                client.version = version
        except ConnectionClosed:
            pass

    def _process_request(self, connection: Any, request: Any) -> Any:
        response = self._answer(connection, request)
        if request.method == "HEAD" and response is not None:
            # As GET, without the body: its length stays in the headers.
            response.body = b""
        return response

    def _answer(self, connection: Any, request: Any) -> Any:
        path = request.path.split("?", 1)[0]
        if request.method not in READ_METHODS:
            return self._reject(http.HTTPStatus.METHOD_NOT_ALLOWED, "this server is read-only",
                                [("Allow", ", ".join(READ_METHODS))])
        hosts = request.headers.get_all("Host")
        if len(hosts) != 1:
            return self._reject(http.HTTPStatus.BAD_REQUEST, "expected one Host header")
        local = getattr(connection, "local_address", None)
        if not host_allowed(_host_name(hosts[0]), self.host, self.allow_hosts,
                            local[0] if local else None):
            # A page on another site that got its name resolved to this
            # machine must not read the map.
            return self._reject(http.HTTPStatus.FORBIDDEN, "unexpected Host")
        if path == FEED_PATH:
            # Browsers let any site open a WebSocket anywhere: only pages
            # served under an allowed name (or clients that are no browser)
            # may read.
            origins = request.headers.get_all("Origin")
            if len(origins) > 1 or origins and not origin_allowed(origins[0], hosts[0],
                                                                  self.allow_hosts):
                return self._reject(http.HTTPStatus.FORBIDDEN, "unexpected Origin")
            if request.method == "GET" and \
                    request.headers.get("Upgrade", "").lower() == "websocket":
                return None
            return self._reject(http.HTTPStatus.UPGRADE_REQUIRED,
                                "this is the WebSocket feed")
        if path == STATE_PATH:
            return _response(http.HTTPStatus.OK, self.message().encode(), "application/json")
        if path == FLOOR_PLAN_PATH:
            plan = self.state.floor_plan()
            if plan is None:
                return self._reject(http.HTTPStatus.NOT_FOUND, "no floor plan")
            return _response(http.HTTPStatus.OK, plan.image, plan.content_type)
        page = self._page.get(path)
        if page is None:
            return self._reject(http.HTTPStatus.NOT_FOUND, "not found")
        return _response(http.HTTPStatus.OK, *page)

    def _reject(self, status: http.HTTPStatus, text: str, extra=()) -> Any:
        self.rejected_requests += 1
        return _response(status, (text + "\n").encode(), "text/plain; charset=utf-8", extra)


def host_allowed(name: str, bound: str, allow_hosts: Sequence[str],
                 local_address: Optional[str]) -> bool:
    """Whether a request whose Host header names `name` is addressed to
    this server: bound to `bound`, reached at `local_address` (the address
    the client connected to), and also known by `allow_hosts` (entries
    normalised by check_allowed_host)."""
    name = _normal_host(name)
    if not name:
        return False
    if name in allow_hosts:
        return True
    bound = bound.lower()
    if bound in WILDCARD_HOSTS or is_loopback(bound):
        if is_loopback(name):  # every wildcard bind listens on loopback too
            return True
    elif name == _normal_host(bound):
        return True
    # An address typed in the browser's bar is no rebinding: accept the one
    # the client actually connected to.
    return (
        local_address is not None and addresses.is_ip(name) and name == _normal_host(local_address)
    )


def origin_allowed(origin: str, host_header: str, allow_hosts: Sequence[str]) -> bool:
    """Whether a browser page of `origin` may read the feed of a request
    whose Host header is `host_header`: an http or https origin of an
    allowed host (any port), or else of the very host and port the request
    names (the page this server served)."""
    try:
        parts = urlsplit(origin)
        origin_port = parts.port
    except ValueError:
        return False
    if parts.scheme not in DEFAULT_PORTS or not parts.hostname or parts.username \
            or parts.password or parts.path or parts.query or parts.fragment:
        return False
    name = _normal_host(parts.hostname)
    if name in allow_hosts:
        return True
    default = DEFAULT_PORTS[parts.scheme]
    return (name == _normal_host(_host_name(host_header))
            and (origin_port or default) == (_host_port(host_header) or default))


def _encode(message: Dict[str, Any]) -> str:
    return json.dumps(message, allow_nan=False, separators=(",", ":"))


def _bind_error(error: BaseException) -> OSError:
    """The reason a bind failed, as an OSError with a one-line strerror.
    asyncio words an address in use as "error while attempting to bind on
    address (...): ..."; the system's own words are clearer."""
    if isinstance(error, OSError):
        code = error.errno
        if isinstance(code, int) and code > 0:
            return OSError(code, os.strerror(code))
        reason = error.strerror or str(error) or type(error).__name__
        return OSError(code if isinstance(code, int) else errno.EINVAL, reason.splitlines()[0])
    # A host name that is no name (too long, bad characters) or a port
    # the socket layer refuses.
    return OSError(errno.EINVAL, (str(error) or type(error).__name__).splitlines()[0])


def _response(status: http.HTTPStatus, body: bytes, kind: str, extra=()) -> Any:
    from websockets.datastructures import Headers
    from websockets.http11 import Response

    headers = Headers([("Connection", "close"), ("Content-Length", str(len(body))),
                       ("Content-Type", kind), *SECURITY_HEADERS, *extra])
    return Response(status.value, status.phrase, headers, body)


def _host_name(header: str) -> str:
    """The name in a Host header, without the port or IPv6 brackets."""
    if header.startswith("["):
        return header[1:].split("]", 1)[0]
    return header.rsplit(":", 1)[0] if header.count(":") == 1 else header


def _host_port(header: str) -> Optional[int]:
    """The port in a Host header, None when it gives none (or no number)."""
    if header.startswith("["):
        rest = header.split("]", 1)[1] if "]" in header else ""
        text = rest[1:] if rest.startswith(":") else ""
    else:
        text = header.rsplit(":", 1)[1] if header.count(":") == 1 else ""
    return int(text) if text.isdigit() and int(text) <= 65535 else None
