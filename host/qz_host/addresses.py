"""Network addresses on the command line: one parser for every HOST:PORT.

    --web, --metrics        HOST:PORT or PORT (loopback); port 0 picks a free one
    --mqtt                  HOST[:PORT], 1883 by default
    udp://HOST:PORT         a source listening for datagrams (HOST empty: loopback)
    socket://HOST:PORT      a TCP source, or the server that ``emit`` opens

Every form takes an IPv6 address in brackets. A malformed address raises
ValueError saying which form was expected, so every option reports the same
way; what listens beyond loopback gets the same warning.
"""

from __future__ import annotations

import ipaddress
from typing import Optional, Tuple
from urllib.parse import urlsplit

LOOPBACK = "127.0.0.1"
LOOPBACK_NAMES = ("localhost",)
MAX_PORT = 65535

Address = Tuple[str, int]


def _port(text: str, low: int) -> Optional[int]:
    if not text.isdigit():
        return None
    port = int(text)
    return port if low <= port <= MAX_PORT else None


def _host(text: str) -> Optional[str]:
    """The host of a HOST part, brackets taken off an IPv6 address; None
    when it is empty or holds a colon without being an address."""
    if text.startswith("[") and text.endswith("]"):
        text = text[1:-1]
        return text if is_ip(text) else None
    if not text or (":" in text and not is_ip(text)):
        return None
    return text


def host_port(text: str, *, listening: bool, default_port: Optional[int] = None,
              default_host: Optional[str] = None) -> Address:
    """(host, port) of HOST:PORT. A listening address may take port 0 (a
    free port) and, with `default_host`, a bare PORT; with `default_port`
    the port may be left out."""
    low = 0 if listening else 1
    form = "HOST[:PORT]" if default_port is not None else "HOST:PORT"
    host_text, colon, port_text = text.rpartition(":")
    if default_port is not None and (not colon or host_text.endswith(":")
                                     and not host_text.startswith("[")):
        host_text, port_text = text, str(default_port)
    elif not colon and default_host is not None:
        host_text = default_host
    host = _host(host_text)
    port = _port(port_text, low)
    if host is None or port is None:
        raise ValueError(f"{text!r} is not {form} (the port must be {low} to {MAX_PORT})")
    return host, port


def url_address(url: str, scheme: str, *, listening: bool) -> Address:
    """(host, port) of SCHEME://HOST:PORT; an empty HOST is loopback."""
    low = 0 if listening else 1
    parts = urlsplit(url)
    try:
        port = parts.port
    except ValueError:
        port = None
    if (parts.scheme != scheme or port is None or not low <= port <= MAX_PORT
            or parts.path not in ("", "/")):
        raise ValueError(f"{url!r} is not {scheme}://HOST:PORT (the port must be {low} to "
                         f"{MAX_PORT})")
    return parts.hostname or LOOPBACK, port


def is_ip(host: str) -> bool:
    try:
        ipaddress.ip_address(host)
    except ValueError:
        return False
    return True


def is_loopback(host: str) -> bool:
    if host in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def exposure_warning(host: str, what: str, who_can: str) -> Optional[str]:
    """The warning for `what` listening on `host` beyond loopback, or None:
    "warning: serving the map beyond this machine on 0.0.0.0: anyone who
    can reach it can read the map"."""
    if is_loopback(host):
        return None
    return f"warning: {what} beyond this machine on {host}: anyone who can reach it {who_can}"
