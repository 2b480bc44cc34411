"""Bare HTTP and WebSocket clients for the map server's tests: raw bytes on
a socket, so requests reach the server exactly as written."""

import base64
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


def get(port, path, headers=None):
    """(status, headers dict with lower-case names, body) of one GET."""
    headers = {"Host": f"127.0.0.1:{port}", **(headers or {})}
    lines = [f"GET {path} HTTP/1.1"] + [f"{name}: {value}" for name, value in headers.items()]
    reply = raw_request(port, ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
    head, _, body = reply.partition(b"\r\n\r\n")
    status_line, *header_lines = head.decode("latin-1").split("\r\n")
    fields = dict(line.split(": ", 1) for line in header_lines)
    return int(status_line.split()[1]), {k.lower(): v for k, v in fields.items()}, body


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


