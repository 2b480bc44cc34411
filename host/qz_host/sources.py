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

A serial port, a TCP stream or standard input is read by a thread of its
own, which hands what it got to the pipeline thread through an ``Inbox``,
a bounded queue that counts what it has to drop. Datagrams are read in the
pipeline's thread itself, with no hop between threads: the socket's
receive buffer is their queue and the kernel counts its overflows. A
stream that breaks (a port unplugged, a TCP peer closing), or that cannot
be opened at the start, is reopened with a doubling delay, logged once per
outage and counted; standard input ending ends the session.

A port or socket says once, on the log, when it is open and ready
("reading SOURCE"): what is written to a port before that may be
discarded by its opening. At the stop every source is drained before the
pipeline closes: what a reader queued, and what waits in the port's or
the socket's buffer, is processed (standard input: what was queued); the
UDP socket's drop count is read once more, so that the datagrams received
and dropped add up to those sent.
"""

from __future__ import annotations

import os
import queue
import socket
import sys
import threading
import time
from typing import Any, Callable, Iterable, Iterator, Optional

from . import capture
from .addresses import url_address
from .live_counters import LiveCounters

BACKOFF_START = 0.1
BACKOFF_MAX = 5.0
READ_TIMEOUT = 0.2  # seconds a read blocks before the thread checks for stop
UDP_BUFFER = 4 << 20
DATAGRAM_MAX = 65535
STREAM_CHUNK = 65536
INBOX_LIMIT = 100000  # items between a reader thread and the pipeline
DRAIN_SECONDS = 5.0  # at most, reading what waits at the stop (a sender may never pause)
# Linux reports a socket's receive-buffer drops with each datagram.
SO_RXQ_OVFL = getattr(socket, "SO_RXQ_OVFL", 40 if sys.platform.startswith("linux") else 0)

# What a reader thread hands on:
#   ("bytes", stream, time, data)  a chunk of a byte stream
#   ("frame", time, frame)         a datagram
#   ("line", text)                 a capture line
#   ("restart", stream)            the stream was reopened
#   ("end", why)                   the source is done
#   ("fail", why)                  the source cannot be read: the session ends
Item = tuple


def receive_time() -> float:
    """The Unix time now, to the microsecond a recording keeps: a replay of
    the recording then gives the tracker the very same times."""
    return round(time.time(), 6)


class Inbox:
    """A bounded queue between a reader thread and the pipeline; only the
    reader thread counts what it drops."""

    def __init__(self, limit: int, counters: LiveCounters):
        self.queue: "queue.Queue[Item]" = queue.Queue(limit)
        self.counters = counters
        self.done = threading.Event()  # the reader has queued its last item

    def offer(self, item: Item) -> None:
        """Queues `item`, or drops it (counted) when the queue is full."""
        try:
            self.queue.put_nowait(item)
        except queue.Full:
            self.counters.source_dropped += 1

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
        import serial  # type: ignore[import-untyped]  # pyserial ships no types
    except ImportError:
        raise ImportError("serial sources need pyserial: pip install 'qz-rtls[live]'") from None
    return serial


Handle = Callable[[Item], bool]  # feeds one item; True when the source has ended


class Source:
    """One source; `open()` raises OSError (or ValueError for a malformed
    URL) when it cannot be opened, `serve()` hands its items to `handle`
    until `stop` is set or the source ends, calling `idle` when nothing
    came for READ_TIMEOUT."""

    name: str

    def open(self) -> None:
        raise NotImplementedError

    def serve(self, handle: Handle, idle: Callable[[], None], stop: threading.Event) -> None:
        raise NotImplementedError

    def close(self) -> None:
        """Releases the source when it will not be served."""


class ThreadedSource(Source):
    """A source read by a thread of its own, which hands what it reads to
    the caller's thread through a bounded Inbox. At the stop the reader
    drains what its source holds, when `drains`."""

    counters: LiveCounters
    drains = True

    def run(self, inbox: Inbox, stop: threading.Event) -> None:
        raise NotImplementedError

    def serve(self, handle: Handle, idle: Callable[[], None], stop: threading.Event) -> None:
        inbox = Inbox(INBOX_LIMIT, self.counters)
        reader = threading.Thread(target=self._run, args=(inbox, stop),
                                  name=f"reader {self.name}", daemon=True)
        reader.start()
        pending = inbox.queue
        ended = False
        try:
            while not stop.is_set() and not ended:
                try:
                    item = pending.get(timeout=READ_TIMEOUT)
                except queue.Empty:
                    idle()
                    continue
                ended = handle(item)
        finally:
            stop.set()
        # What the reader queued and drained before it stopped is handled,
        # not lost; handled while it drains, so that a full inbox never
        # holds it up.
        deadline = time.monotonic() + DRAIN_SECONDS + 1.0
        while not ended:
            try:
                ended = handle(pending.get(timeout=READ_TIMEOUT))
            except queue.Empty:
                if not self.drains or inbox.done.is_set() or time.monotonic() > deadline:
                    break
        if self.drains:  # else it may be blocked reading, for good
            reader.join(timeout=1.0)

    def _run(self, inbox: Inbox, stop: threading.Event) -> None:
        try:
            self.run(inbox, stop)
        finally:
            inbox.done.set()


class StreamSource(ThreadedSource):
    """A byte stream that is reopened, with a doubling delay, when it breaks
    or cannot be opened; each outage is logged once, when it starts (and
    again only if the reason changes)."""

    backoff_start = BACKOFF_START
    backoff_max = BACKOFF_MAX

    def __init__(self, url: str, counters: LiveCounters, log: Callable[[str], None]):
        self.name = url
        self.url = url
        self.counters = counters
        self.log = log
        self.connected = False
        self.opened_once = False

    def read(self) -> bytes:
        """Some bytes, or b"" after READ_TIMEOUT; raises OSError when the
        stream broke."""
        raise NotImplementedError

    def read_waiting(self) -> bytes:
        """What the stream holds now, without waiting (b"" when nothing)."""
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def start(self, once: bool) -> None:
        """Opens the stream for the session; one absent at the start is
        retried by the reader thread like one that went away, unless `once`
        (OSError then)."""
        try:
            self.open()
        except OSError as error:
            if once:
                raise
            self.log(f"cannot open {self.url} ({error}); retrying until it can be")

    def ready(self) -> None:
        self.opened_once = True
        self.log(f"reading {self.url}")

    def run(self, inbox: Inbox, stop: threading.Event) -> None:
        delay = self.backoff_start
        outage = None  # the reason last logged for the outage in progress
        if self.connected:  # opened at the start
            self.ready()
        while not stop.is_set():
            if not self.connected:
                try:
                    self.open()
                except (OSError, ValueError) as error:
                    if str(error) != outage and self.opened_once:
                        outage = str(error)
                        self.log(f"{self.url}: cannot reopen ({error}); retrying with a "
                                 f"doubling delay up to {self.backoff_max:g} s")
                    stop.wait(delay)
                    delay = min(2 * delay, self.backoff_max)
                    continue
                if self.opened_once:
                    self.counters.source_reconnects += 1
                    self.log(f"{self.url}: reopened")
                else:
                    self.ready()
                delay = self.backoff_start
                outage = None
            try:
                while not stop.is_set():
                    data = self.read()
                    if data:
                        inbox.offer(("bytes", self.url, receive_time(), data))
                self.drain(inbox)
            except OSError as error:
                self.log(f"{self.url}: {error}; reopening")
                inbox.offer(("restart", self.url))
            finally:
                self.close()

    def drain(self, inbox: Inbox) -> None:
        """At the stop: what the stream holds already, bounded in time."""
        deadline = time.monotonic() + DRAIN_SECONDS
        while time.monotonic() < deadline:
            data = self.read_waiting()
            if not data:
                return
            inbox.offer(("bytes", self.url, receive_time(), data))


class SerialSource(StreamSource):
    """A serial port or a pyserial URL; reads return what the port holds."""

    def __init__(self, url: str, baud: int, counters: LiveCounters,
                 log: Callable[[str], None]):
        super().__init__(url, counters, log)
        self.baud = baud
        self.port: Any = None  # a pyserial port once open

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

    def read_waiting(self) -> bytes:
        waiting = self.port.in_waiting
        return self.port.read(waiting) if waiting else b""

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
        self.address = url_address(url, "socket", listening=False)
        self.socket: Optional[socket.socket] = None

    def open(self) -> None:
        self.socket = socket.create_connection(self.address, timeout=READ_TIMEOUT)
        self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.connected = True

    def read(self) -> bytes:
        if self.socket is None:
            raise ConnectionError("the connection is closed")
        try:
            data = self.socket.recv(STREAM_CHUNK)
        except socket.timeout:
            return b""
        if not data:
            raise ConnectionResetError("the peer closed the connection")
        return data

    def read_waiting(self) -> bytes:
        if self.socket is None:
            return b""
        self.socket.setblocking(False)
        try:
            return self.socket.recv(STREAM_CHUNK)  # b"" too when the peer closed
        except BlockingIOError:
            return b""

    def close(self) -> None:
        self.connected = False
        if self.socket is not None:
            self.socket.close()
            self.socket = None


class UdpSource(Source):
    """One frame per datagram, on a socket bound to HOST:PORT."""

    def __init__(self, url: str, counters: LiveCounters,
                 log: Callable[[str], None] = lambda text: None, buffer: int = UDP_BUFFER):
        self.name = url
        self.address = url_address(url, "udp", listening=True)
        self.counters = counters
        self.log = log
        self.buffer = buffer
        self.socket: Optional[socket.socket] = None

    def open(self) -> None:
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self.buffer)
            if SO_RXQ_OVFL:
                sock.setsockopt(socket.SOL_SOCKET, SO_RXQ_OVFL, 1)
            sock.bind(self.address)
        except OSError:
            sock.close()
            raise
        sock.settimeout(READ_TIMEOUT)
        self.socket = sock

    def close(self) -> None:
        if self.socket is not None:
            self.socket.close()

    def serve(self, handle: Handle, idle: Callable[[], None], stop: threading.Event) -> None:
        """Reads in the caller's thread: the socket's receive buffer is the
        queue, and the kernel counts what overflows it."""
        sock = self.socket
        if sock is None:
            raise ValueError("the UDP source is not open")
        host, port = sock.getsockname()[:2]
        self.log(f"reading udp://{host}:{port}")  # the port bound, where 0 asked for any
        try:
            while not stop.is_set():
                try:
                    data = self._receive(sock)
                except socket.timeout:
                    idle()
                    continue
                handle(("frame", receive_time(), data))
            self._drain(sock, handle)
        finally:
            sock.close()

    def _receive(self, sock: socket.socket) -> bytes:
        """One datagram, noting the drop count the kernel sends with it."""
        data, extra, _, _ = sock.recvmsg(DATAGRAM_MAX, self._ancillary)
        for level, kind, value in extra:
            if level == socket.SOL_SOCKET and kind == SO_RXQ_OVFL:
                self._note_drops(int.from_bytes(value, sys.byteorder))
        return data

    _ancillary = socket.CMSG_SPACE(4) if SO_RXQ_OVFL else 0

    def _note_drops(self, total: int) -> None:
        # The kernel's count only grows: a later, smaller one is older news.
        if total > self.counters.dropped["udp socket"]:
            self.counters.dropped["udp socket"] = total

    def _drain(self, sock: socket.socket, handle: Handle) -> None:
        """At the stop: the datagrams waiting in the buffer, then the drops
        that came after the last one (no datagram carries those)."""
        sock.setblocking(False)
        deadline = time.monotonic() + DRAIN_SECONDS
        while True:
            if time.monotonic() > deadline:
                self.log(f"{self.name}: stopped reading what still came after "
                         f"{DRAIN_SECONDS:g} s of the stop")
                break
            try:
                data = self._receive(sock)
            except BlockingIOError:
                break
            handle(("frame", receive_time(), data))
        total = socket_drops(sock)
        if total is not None:
            self._note_drops(total)


def socket_drops(sock: socket.socket) -> Optional[int]:
    """The kernel's drop count for a UDP socket, from the last column of
    /proc/net/udp (Linux); None where it cannot be read."""
    inode = str(os.fstat(sock.fileno()).st_ino)
    try:
        with open("/proc/net/udp") as table:
            for line in table:
                fields = line.split()
                if len(fields) > 12 and fields[9] == inode:
                    return int(fields[12])
    except (OSError, ValueError):
        return None
    return None


class LineSource(ThreadedSource):
    """Capture lines from a text stream; waits for room rather than drop,
    since a file can be read as slowly as the pipeline needs. A stream that
    is not a capture ends the session with the reason. A stop is not held
    up by lines yet to come: only those queued are handled."""

    drains = False

    def __init__(self, stream: Iterable[str], counters: LiveCounters, name: str = "standard input"):
        self.name = name
        self.stream = stream
        self.counters = counters

    def open(self) -> None:
        pass

    def run(self, inbox: Inbox, stop: threading.Event) -> None:
        try:
            for line in capture.capture_lines(self.stream):
                if not inbox.put(("line", line), stop):
                    return
        except capture.NotACapture as error:
            inbox.put(("fail", str(error)), stop)
            return
        inbox.put(("end", f"{self.name} ended"), stop)


def descriptor_lines(fd: int) -> Iterator[bytes]:
    """The lines of a file descriptor, read with os.read: a reader thread
    blocked in it holds no lock of the interpreter's, so a session that
    ends while standard input is still open exits cleanly."""
    rest = b""
    while True:
        chunk = os.read(fd, STREAM_CHUNK)
        if not chunk:
            break
        lines = (rest + chunk).split(b"\n")
        rest = lines.pop()
        for line in lines:
            yield line + b"\n"
    if rest:
        yield rest


def _stdin_lines() -> Iterable[str]:
    try:
        fd = sys.stdin.fileno()
    except (AttributeError, OSError, ValueError):  # a text stream put in its place
        return sys.stdin
    return capture.binary_lines(descriptor_lines(fd))


def open_source(url: str, *, baud: int, counters: LiveCounters,
                log: Callable[[str], None], once: bool = False) -> Source:
    """The opened source that `url` names; raises OSError, ValueError or
    ImportError (pyserial missing). A serial port or TCP server absent now
    is retried once the session runs, unless `once`."""
    if url == "-":
        source: Source = LineSource(_stdin_lines(), counters)
        source.open()
        return source
    if url.startswith("udp:"):
        source = UdpSource(url, counters, log)
        source.open()
        return source
    stream: StreamSource
    if url.startswith("socket:"):
        stream = TcpSource(url, counters, log)
    else:
        require_serial()
        stream = SerialSource(url, baud, counters, log)
    stream.start(once)
    return stream
