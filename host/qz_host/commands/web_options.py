"""The map's options, the same for ``view`` and ``live``: where to serve it
and which host names beyond the bound address a browser may use for it."""

from __future__ import annotations

import argparse
from typing import Callable, Optional, Sequence, Tuple

from .. import addresses
from .base import CommandError


def web_address(text: str) -> Tuple[str, int]:
    """An argparse type: HOST:PORT (or PORT, on loopback) to serve on."""
    try:
        return checked_address(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def checked_address(text: str) -> Tuple[str, int]:
    """The address of a ``--web`` kept as text; ValueError, in one line,
    for one that is not HOST:PORT."""
    return addresses.host_port(text, listening=True, default_host=addresses.LOOPBACK)


def allowed_host(text: str) -> str:
    from ..web.server import check_allowed_host

    try:
        return check_allowed_host(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def add_options(parser: argparse.ArgumentParser, *,
                default: Optional[Tuple[str, int]] = None, as_text: bool = False) -> None:
    """With `as_text` ``--web`` stays the text given, for a command that
    checks it (`checked_address`) where it says its other failures."""
    where = (f"default {default[0]}:{default[1]}; " if default else "") + "port 0 picks a free one"
    parser.add_argument("--web", type=str if as_text else web_address, default=default,
                        metavar="HOST:PORT", help=f"serve the map here ({where})")
    parser.add_argument("--allow-host", type=allowed_host, action="append", default=[],
                        metavar="NAME",
                        help="a host name a browser may reach the map by besides the bound "
                             "address (a proxy's, say); again for more")


def serve_map(state, bind: Tuple[str, int], allow_hosts: Sequence[str],
              log: Callable[[str], None], failure_prefix: str = ""):
    """The started web server of `state` (a ``MapState``) on `bind`, the
    warning logged when it serves beyond this machine; a bind that fails
    is a CommandError, prefixed with `failure_prefix`."""
    from ..web.server import WebServer
    host, port = bind
    try:
        server = WebServer(state, host, port, allow_hosts=allow_hosts)
        server.start()
    except (OSError, ValueError) as error:
        raise CommandError(f"{failure_prefix}cannot serve on {host}:{port}: "
                           f"{getattr(error, 'strerror', None) or error}") from None
    warning = addresses.exposure_warning(host, "serving", "can read the map")
    if warning is not None:
        log(warning)
    return server
