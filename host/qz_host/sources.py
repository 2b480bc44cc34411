"""Where the live host's frames come from, each read by its own thread.

    /dev/ttyUSB0, COM3, rfc2217://..., loop://, any pyserial URL
        a byte stream through pyserial (``--baud`` for serial ports)
    socket://HOST:PORT
        a byte stream from a TCP server (the standard library's socket)
    udp://HOST:PORT
        one frame per datagram; HOST empty means 127.0.0.1
    -
        capture lines on standard input

A byte stream's frames are cut out by the pipeline's stream framer.

A reader thread does the blocking reads and hands what it got to the
pipeline thread through an ``Inbox``, a bounded queue that counts what it
has to drop. A stream that breaks (a port unplugged, a TCP peer closing)
is reopened with a doubling delay, logged and counted; standard input
ending ends the session.
"""

from __future__ import annotations

import queue
import socket
import sys
import threading
import time
from typing import Callable, Optional, TextIO, Tuple
from urllib.parse import urlsplit

from .live_counters import LiveCounters

BACKOFF_START = 0.1
BACKOFF_MAX = 5.0
READ_TIMEOUT = 0.2  # seconds a read blocks before the thread checks for stop
UDP_BUFFER = 4 << 20
DATAGRAM_MAX = 65535
STREAM_CHUNK = 65536

# What a reader thread hands on:
#   ("bytes", stream, time, data)  a chunk of a byte stream
#   ("frame", time, frame)         a datagram
#   ("line", text)                 a capture line
#   ("restart", stream)            the stream was reopened
#   ("end", why)                   the source is done
Item = tuple


class Inbox:
    """A bounded queue between a reader thread and the pipeline."""

    def __init__(self, limit: int, counters: LiveCounters, name: str = "source queue"):
        self.queue: "queue.Queue[Item]" = queue.Queue(limit)
        self.counters = counters
        self.name = name

    def offer(self, item: Item) -> None:
        """Queues `item`, or drops it (counted) when the queue is full."""
        try:
            self.queue.put_nowait(item)
        except queue.Full:
            self.counters.dropped[self.name] += 1

    def put(self, item: Item, stop: threading.Event) -> bool:
        """Queues `item`, waiting for room; False when stopped first."""
        while not stop.is_set():
            try:
                self.queue.put(item, timeout=READ_TIMEOUT)
                return True
            except queue.Full:
                continue
        return False


def require_serial():
    try:
        import serial
    except ImportError:
        raise ImportError("serial sources need pyserial: pip install 'qz-rtls[live]'") from None
    return serial


class Source:
    """A reader thread over one source; `open()` raises OSError (or
    ValueError for a malformed URL) when the source cannot be opened."""

    name: str

    def open(self) -> None:
        raise NotImplementedError

    def run(self, inbox: Inbox, stop: threading.Event) -> None:
        raise NotImplementedError

    def start(self, inbox: Inbox, stop: threading.Event) -> threading.Thread:
        thread = threading.Thread(target=self.run, args=(inbox, stop),
                                  name=f"reader {self.name}", daemon=True)
        thread.start()
        return thread


class StreamSource(Source):
    """A byte stream that is reopened, with a doubling delay, when it breaks."""

    def __init__(self, url: str, counters: LiveCounters, log: Callable[[str], None]):
        self.name = url
        self.url = url
        self.counters = counters
        self.log = log
        self.connected = False

    def read(self) -> bytes:
        """Some bytes, or b"" after READ_TIMEOUT; raises OSError when the
        stream broke."""
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def run(self, inbox: Inbox, stop: threading.Event) -> None:
        delay = BACKOFF_START
        while not stop.is_set():
            if not self.connected:
                try:
                    self.open()
                except (OSError, ValueError) as error:
                    self.log(f"{self.url}: cannot reopen ({error}); next try in {delay:g} s")
                    stop.wait(delay)
                    delay = min(2 * delay, BACKOFF_MAX)
                    continue
                self.counters.reconnects[self.url] += 1
                self.log(f"{self.url}: reopened")
                delay = BACKOFF_START
            try:
                while not stop.is_set():
                    data = self.read()
                    if data:
                        inbox.offer(("bytes", self.url, time.time(), data))
            except OSError as error:
                self.log(f"{self.url}: {error}; reopening")
                inbox.offer(("restart", self.url))
            finally:
                self.close()


class SerialSource(StreamSource):
    """A serial port or a pyserial URL; reads return what the port holds."""

    def __init__(self, url: str, baud: int, counters: LiveCounters,
                 log: Callable[[str], None]):
        super().__init__(url, counters, log)
        self.baud = baud
        self.port = None

    def open(self) -> None:
        serial = require_serial()
        try:
            self.port = serial.serial_for_url(self.url, baudrate=self.baud, timeout=READ_TIMEOUT)
        except serial.SerialException as error:
            raise OSError(str(error)) from None
        self.connected = True

    def read(self) -> bytes:
        # SerialException is an OSError; a port that vanished raises it.
        return self.port.read(self.port.in_waiting or 1)

    def close(self) -> None:
        self.connected = False
        if self.port is not None:
            self.port.close()
            self.port = None


class TcpSource(StreamSource):
    """socket://HOST:PORT: a TCP connection to a gateway, through the
    standard library (reads take whatever has arrived)."""

    def __init__(self, url: str, counters: LiveCounters, log: Callable[[str], None]):
        super().__init__(url, counters, log)
        self.address = parse_address(url, "socket")
        self.socket: Optional[socket.socket] = None

    def open(self) -> None:
        self.socket = socket.create_connection(self.address, timeout=READ_TIMEOUT)
        self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.connected = True

    def read(self) -> bytes:
        try:
            data = self.socket.recv(STREAM_CHUNK)
        except socket.timeout:
            return b""
        if not data:
            raise ConnectionResetError("the peer closed the connection")
        return data

    def close(self) -> None:
        self.connected = False
        if self.socket is not None:
            self.socket.close()
            self.socket = None


def parse_address(url: str, scheme: str = "udp") -> Tuple[str, int]:
    """(host, port) of SCHEME://HOST:PORT; ValueError when malformed."""
    parts = urlsplit(url)
    try:
        port = parts.port
    except ValueError:
        port = None
    if parts.scheme != scheme or port is None or parts.path not in ("", "/"):
        raise ValueError(f"{url!r} is not {scheme}://HOST:PORT")
    return parts.hostname or "127.0.0.1", port


class UdpSource(Source):
    """One frame per datagram, on a socket bound to HOST:PORT."""

    def __init__(self, url: str):
        self.name = url
        self.address = parse_address(url)
        self.socket: Optional[socket.socket] = None

    def open(self) -> None:
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, UDP_BUFFER)
            sock.bind(self.address)
        except OSError:
            sock.close()
            raise
        sock.settimeout(READ_TIMEOUT)
        self.socket = sock

    @property
    def port(self) -> int:
        assert self.socket is not None
        return self.socket.getsockname()[1]

    def run(self, inbox: Inbox, stop: threading.Event) -> None:
        sock = self.socket
        assert sock is not None
        try:
            while not stop.is_set():
                try:
                    data = sock.recv(DATAGRAM_MAX)
                except socket.timeout:
                    continue
                inbox.offer(("frame", time.time(), data))
        finally:
            sock.close()


class LineSource(Source):
    """Capture lines from a text stream; waits for room rather than drop,
    since a file can be read as slowly as the pipeline needs."""

    def __init__(self, stream: TextIO, name: str = "standard input"):
        self.name = name
        self.stream = stream

    def open(self) -> None:
        pass

    def run(self, inbox: Inbox, stop: threading.Event) -> None:
        for line in self.stream:
            if not inbox.put(("line", line), stop):
                return
        inbox.put(("end", f"{self.name} ended"), stop)


def open_source(url: str, *, baud: int, counters: LiveCounters,
                log: Callable[[str], None]) -> Source:
    """The opened source that `url` names; raises OSError, ValueError or
    ImportError (pyserial missing)."""
    if url == "-":
        source: Source = LineSource(sys.stdin)
    elif url.startswith("udp:"):
        source = UdpSource(url)
    elif url.startswith("socket:"):
        source = TcpSource(url, counters, log)
    else:
        source = SerialSource(url, baud, counters, log)
    source.open()
    return source
