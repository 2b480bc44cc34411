"""The map's web server: the page, a JSON endpoint and a WebSocket feed.

It runs its own asyncio loop in its own thread and reads the MapState the
pipeline writes: every `interval` seconds, when the state has changed, it
takes one snapshot, encodes it once and offers it to every client. A client
holds at most one message waiting: a newer one replaces it, and the
replaced one is counted as dropped. So a browser that reads slowly, or not
at all, costs one message and the connection's bounded write buffer, and the
pipeline never waits on it.

The server is read-only. It serves a fixed set of files held in memory,
looked up by exact path, so no request can reach any other file; every
response forbids scripts, styles and connections from anywhere but itself;
and anything a client sends over the WebSocket is counted and ignored.
"""

from __future__ import annotations

import asyncio
import http
import json
import threading
from pathlib import Path
from typing import Any, Dict, Optional, Set, Tuple

from .. import addresses
from .state import MapState

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8080
DEFAULT_INTERVAL = 0.1  # seconds between updates to the browsers
REFRESH_INTERVAL = 1.0  # seconds after which unchanged state is sent again
FEED_PATH = "/feed"
STATE_PATH = "/state.json"
# Browsers send nothing the server uses, so a small frame limit suffices.
MAX_CLIENT_MESSAGE = 4096
# Close codes of connections the server closed over a bad frame: protocol
# error, unsupported data, invalid payload (bad UTF-8), too large.
MALFORMED_CLOSE_CODES = frozenset({1002, 1003, 1007, 1009})
# Seconds a client that broke the protocol gets to acknowledge the close.
CLOSE_TIMEOUT = 1.0

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
    "/map.js": ("map.js", "text/javascript; charset=utf-8"),
    "/map.css": ("map.css", "text/css; charset=utf-8"),
    "/icon.svg": ("icon.svg", "image/svg+xml"),
}


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


def _load_page() -> Dict[str, Tuple[bytes, str]]:
    folder = Path(__file__).parent
    return {path: ((folder / name).read_bytes(), kind) for path, (name, kind) in PAGE_FILES.items()}


class _Client:
    """One browser: at most one message waiting to be sent."""

    def __init__(self, connection: Any):
        self.connection = connection
        self.pending: Optional[str] = None
        self.wake = asyncio.Event()


class WebServer:
    """Serves `state` on http://host:port/ until stop()."""

    def __init__(self, state: MapState, host: str = DEFAULT_HOST, port: int = DEFAULT_PORT,
                 *, interval: float = DEFAULT_INTERVAL):
        require_websockets()
        if not interval > 0:
            raise ValueError(f"interval must be positive, got {interval!r}")
        self.state = state
        self.host = host
        self.port = port
        self.interval = interval
        self.ignored_messages = 0
        self.malformed_messages = 0
        self.dropped_updates = 0
        self.rejected_requests = 0
        self._page = _load_page()
        self._clients: Set[_Client] = set()
        self._sent_version = -1
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
        """Binds and starts serving in a thread of its own; raises OSError
        when the address cannot be bound. With port 0 the system picks one,
        and `port` tells which."""
        if self._thread is not None:
            raise RuntimeError("the server is already started")
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
        """The JSON text that the feed sends and the endpoint returns."""
        return json.dumps({"type": "state", "state": self.state.snapshot(),
                           "server": self.statistics()}, allow_nan=False, separators=(",", ":"))

    def statistics(self) -> Dict[str, int]:
        return {"clients": self.clients, "ignored_messages": self.ignored_messages,
                "malformed_messages": self.malformed_messages,
                "dropped_updates": self.dropped_updates,
                "rejected_requests": self.rejected_requests}

    def _run(self) -> None:
        self._loop = asyncio.new_event_loop()
        try:
            self._loop.run_until_complete(self._serve())
        finally:
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
        except OSError as error:
            self._error = error
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
        # Unchanged state is still sent now and then: its clock moves on, and
        # with it which tags are stale.
        statistics: Dict[str, int] = {}
        quiet = 0.0
        while True:
            changed = self.state.version != self._sent_version or self.statistics() != statistics
            if changed or quiet >= REFRESH_INTERVAL:
                self._sent_version = self.state.version
                statistics = self.statistics()
                message = self.message()
                for client in self._clients:
                    self._offer(client, message)
                quiet = 0.0
            await asyncio.sleep(self.interval)
            quiet += self.interval

    def _offer(self, client: _Client, message: str) -> None:
        if client.pending is not None:
            self.dropped_updates += 1
        client.pending = message
        client.wake.set()

    async def _handle(self, connection: Any) -> None:
        from websockets.exceptions import ConnectionClosedError

        client = _Client(connection)
        self._clients.add(client)
        self._offer(client, self.message())
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
                message, client.pending = client.pending, None
                if message is not None:
                    await client.connection.send(message)
        except ConnectionClosed:
            pass

    def _process_request(self, connection: Any, request: Any) -> Any:
        path = request.path.split("?", 1)[0]
        if request.method != "GET":
            return self._reject(http.HTTPStatus.METHOD_NOT_ALLOWED,
                                "this server is read-only")
        hosts = request.headers.get_all("Host")
        if len(hosts) != 1:
            return self._reject(http.HTTPStatus.BAD_REQUEST, "expected one Host header")
        if is_loopback(self.host) and not is_loopback(_host_name(hosts[0])):
            # A page on another site that got its name resolved to this
            # machine must not read the map.
            return self._reject(http.HTTPStatus.FORBIDDEN, "unexpected Host")
        if path == FEED_PATH:
            # Browsers let any site open a WebSocket anywhere: only pages
            # from this server (or clients that are no browser) may read.
            origins = request.headers.get_all("Origin")
            origin = origins[0] if len(origins) == 1 else None
            if origin is not None and origin != f"http://{hosts[0]}":
                return self._reject(http.HTTPStatus.FORBIDDEN, "unexpected Origin")
            if request.headers.get("Upgrade", "").lower() == "websocket":
                return None
            return self._reject(http.HTTPStatus.UPGRADE_REQUIRED,
                                "this is the WebSocket feed")
        if path == STATE_PATH:
            return _response(http.HTTPStatus.OK, self.message().encode(), "application/json")
        page = self._page.get(path)
        if page is None:
            return self._reject(http.HTTPStatus.NOT_FOUND, "not found")
        return _response(http.HTTPStatus.OK, *page)

    def _reject(self, status: http.HTTPStatus, text: str) -> Any:
        self.rejected_requests += 1
        return _response(status, (text + "\n").encode(), "text/plain; charset=utf-8")


def _response(status: http.HTTPStatus, body: bytes, kind: str) -> Any:
    from websockets.datastructures import Headers
    from websockets.http11 import Response

    headers = Headers([("Connection", "close"), ("Content-Length", str(len(body))),
                       ("Content-Type", kind), *SECURITY_HEADERS])
    return Response(status.value, status.phrase, headers, body)


def _host_name(header: str) -> str:
    """The name in a Host header, without the port or IPv6 brackets."""
    if header.startswith("["):
        return header[1:].split("]", 1)[0]
    return header.rsplit(":", 1)[0] if header.count(":") == 1 else header
