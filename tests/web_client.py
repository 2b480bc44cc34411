"""Bare HTTP and WebSocket clients for the map server's tests: raw bytes on
a socket, so requests reach the server exactly as written."""

import base64
import json
import os
import socket
import struct

from conftest import wait_for  # noqa: F401 (used by the tests that import it from here)
from qz_host.web.server import FEED_PATH


def raw_request(port, request: bytes, timeout=5.0) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall(request)
        chunks = []
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)


def open_feed(port, receive_buffer=None, timeout=5.0) -> socket.socket:
    """A socket past the WebSocket handshake of the feed."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if receive_buffer is not None:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.settimeout(timeout)
    sock.connect(("127.0.0.1", port))
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall((f"GET {FEED_PATH} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                  "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                  f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
    reply = b""
    while b"\r\n\r\n" not in reply:
        chunk = sock.recv(1)
        if not chunk:
            raise ConnectionError("closed during the handshake")
        reply += chunk
    if not reply.startswith(b"HTTP/1.1 101"):
        raise ConnectionError(reply.decode("latin-1"))
    return sock


def client_frame(opcode: int, payload: bytes, fin=True, mask=True, rsv=0) -> bytes:
    """One client-to-server frame; clients must mask, so `mask` False is a
    protocol error."""
    first = (0x80 if fin else 0) | (rsv << 4) | opcode
    length = len(payload)
    if length < 126:
        head = struct.pack("!BB", first, (0x80 if mask else 0) | length)
    elif length < 1 << 16:
        head = struct.pack("!BBH", first, (0x80 if mask else 0) | 126, length)
    else:
        head = struct.pack("!BBQ", first, (0x80 if mask else 0) | 127, length)
    if not mask:
        return head + payload
    key = os.urandom(4)
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))



def request(port, method, path, headers=None):
    """(status, headers dict with lower-case names, body) of one request."""
    headers = {"Host": f"127.0.0.1:{port}", **(headers or {})}
    lines = [f"{method} {path} HTTP/1.1"] + [f"{name}: {value}" for name, value in headers.items()]
    reply = raw_request(port, ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
    head, _, body = reply.partition(b"\r\n\r\n")
    status_line, *header_lines = head.decode("latin-1").split("\r\n")
    fields = dict(line.split(": ", 1) for line in header_lines)
    return int(status_line.split()[1]), {k.lower(): v for k, v in fields.items()}, body


def get(port, path, headers=None):
    return request(port, "GET", path, headers)


class Mirror:
    """A reader's copy of the map's state, kept by the feed's messages as
    the page keeps its own: the whole state, then differences that each
    start from the version the copy has. Written apart from the server, so
    the tests check the protocol against a second reading of it."""

    PARTS = ("anchors", "tag_names", "counters", "counter_labels", "floor_plan", "zones", "feed")

    def __init__(self):
        self.state = None

    def apply(self, message):
        kind = message["type"]
        if kind == "state":
            self.state = json.loads(json.dumps(message["state"]))
            return
        assert kind == "delta", kind
        state = self.state
        assert state is not None and message["from"] == state["version"], \
            (message["from"], state and state["version"])
        for key in ("version", "time", "data_age", "fixes", "fixes_per_second", "invalid_fixes",
                    "invalid_events"):
            state[key] = message[key]
        tags = {tag["label"]: tag for tag in state["tags"]}
        for label in message["removed"]:
            tags.pop(label, None)
        for change in message["tags"]:
            tag = dict(tags.get(change["label"], {"trail": []}))
            added = change.pop("trail_add")
            tag.update(change)
            tag["trail"] = (tag["trail"] + added)[-state["trail"]:]
            tags[change["label"]] = tag
        state["tags"] = [tags[label] for label in sorted(tags)]
        for part in self.PARTS:
            if part in message:
                state[part] = message[part]
        if "zones" in message:
            state["events"] = (state["events"] + message["events"])[-100:]
        for anchor in state["anchors"]:
            anchor.update(message.get("anchor_health", {}).get(anchor["label"], {}))

    def comparable(self):
        """The copy without what a difference does not carry (staleness,
        which a reader works out from the time, and names, which it finds
        in tag_names)."""
        return comparable(self.state)


def comparable(state):
    state = json.loads(json.dumps(state))
    for tag in state["tags"]:
        tag.pop("stale", None)
        tag.pop("name", None)
    return state


def _read_exactly(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ConnectionError("the server closed the connection")
        data += chunk
    return data


def read_message(sock):
    """The next text message from the server on a socket from open_feed,
    decoded from JSON; control frames (pings) are skipped."""
    while True:
        first, second = _read_exactly(sock, 2)
        length = second & 0x7F
        if length == 126:
            length = struct.unpack("!H", _read_exactly(sock, 2))[0]
        elif length == 127:
            length = struct.unpack("!Q", _read_exactly(sock, 8))[0]
        payload = _read_exactly(sock, length)
        opcode = first & 0x0F
        if opcode == 0x1:
            assert first & 0x80, "the server fragments no message"
            return json.loads(payload)
        if opcode == 0x8:
            raise ConnectionError("the server closed the feed")
