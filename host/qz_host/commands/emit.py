"""``qz-host emit``: play a capture's frames at their recorded pace, so the
live path can run without hardware.

TARGET is a serial device or pty (any pyserial URL but socket://), a TCP
server it opens (``socket://HOST:PORT``: it serves one client at a time,
each from the start of the capture), or ``udp://HOST:PORT`` (one frame per
datagram).
"""

from __future__ import annotations

import argparse
import socket
import threading
import time
from pathlib import Path
from typing import Callable, List, Optional, TextIO, Tuple

from .. import capture
from ..options import BAUD, number
from ..addresses import url_address
from ..sources import require_serial
from .base import CommandError, stop_on_signals

Send = Callable[[bytes], object]


def register(commands) -> None:
    emit = commands.add_parser(
        "emit", help="play a capture's frames into a serial port, TCP or UDP",
        description="Send the frames of CAPTURE to TARGET at their recorded pace: a serial "
                    "device or pty, socket://HOST:PORT (a TCP server this opens) or "
                    "udp://HOST:PORT.")
    emit.add_argument("capture", type=Path, help="capture file")
    emit.add_argument("target", metavar="TARGET",
                      help="serial device or pyserial URL, socket://HOST:PORT, udp://HOST:PORT")
    emit.add_argument("--speed", type=number(0, 1e6), default=1.0,
                      help="pace as a multiple of the recorded one; 0 sends as fast as "
                           "possible (default 1)")
    emit.add_argument("--loop", action="store_true", help="play the capture again and again")
    emit.add_argument(
        "--baud", type=BAUD, default=115200, help="serial port speed (default 115200)"
    )
    emit.set_defaults(handler=run_command)


def read_frames(path: Path) -> List[Tuple[float, bytes]]:
    """(time, frame) of every well-formed frame line of a capture."""
    items = []
    with capture.open_text(path) as source:
        for line in capture.capture_lines(source):
            try:
                item = capture.parse_line(line)
            except capture.LineError:
                continue
            if item is not None:
                items.append((item.time, item.frame))
    return items


def play(items: List[Tuple[float, bytes]], send: Send, *, speed: float, loop: bool,
         stop: threading.Event) -> int:
    """Sends the frames at their pace; the number sent."""
    if not items:
        return 0
    first, last = items[0][0], items[-1][0]
    # A loop's next round starts one mean frame gap after the last frame.
    period = (last - first) * len(items) / max(len(items) - 1, 1)
    started = time.monotonic()
    sent = 0
    round_number = 0
    while not stop.is_set():
        for when, frame in items:
            if speed > 0:
                due = started + (when - first + round_number * period) / speed
                delay = due - time.monotonic()
                if delay > 0 and stop.wait(delay):
                    return sent
            elif stop.is_set():
                return sent
            send(frame)
            sent += 1
        if not loop:
            break
        round_number += 1
    return sent


def _serve_tcp(url: str, items, args, stop: threading.Event, out: TextIO) -> int:
    host, port = url_address(url, "socket", listening=True)
    server = socket.create_server((host, port))
    server.settimeout(0.2)
    print(f"emit: serving on socket://{host}:{server.getsockname()[1]}", file=out, flush=True)
    sent = 0
    with server:
        while not stop.is_set():
            try:
                client, _ = server.accept()
            except socket.timeout:
                continue
            with client:
                try:
                    sent += play(items, client.sendall, speed=args.speed, loop=args.loop,
                                 stop=stop)
                except OSError as error:
                    print(f"emit: client gone ({error})", file=out, flush=True)
                    continue
            if not args.loop:
                break
    return sent


def run_command(args: argparse.Namespace, out: TextIO,
                stop: Optional[threading.Event] = None) -> int:
    try:
        items = read_frames(args.capture)
    except OSError as error:
        raise CommandError(f"cannot read {args.capture}: {error.strerror}") from None
    except capture.NotACapture as error:
        raise CommandError(f"{args.capture}: {error}") from None
    stop = stop if stop is not None else threading.Event()
    target = args.target
    try:
        with stop_on_signals(stop):
            if target.startswith("udp:"):
                address = url_address(target, "udp", listening=False)
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
                    sent = play(items, lambda frame: sock.sendto(frame, address),
                                speed=args.speed, loop=args.loop, stop=stop)
            elif target.startswith("socket:"):
                sent = _serve_tcp(target, items, args, stop, out)
            else:
                serial = require_serial()
                try:
                    port = serial.serial_for_url(target, baudrate=args.baud)
                except serial.SerialException as error:
                    raise OSError(str(error)) from None
                with port:
                    sent = play(items, port.write, speed=args.speed, loop=args.loop, stop=stop)
                    port.flush()
    except (OSError, ValueError, ImportError) as error:
        raise CommandError(f"{target}: {error}") from None
    print(f"emit: sent {sent} frames to {target}", file=out, flush=True)
    return 0
