"""What every command shares: the one-line failure, the stop on signals and
the checks that an output may be written."""

from __future__ import annotations

import os
import signal
import threading
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator, Optional, Sequence


class CommandError(Exception):
    """A failure reported as one line on stderr with exit status 2."""


class StopWaiting(BaseException):
    """A second SIGINT or SIGTERM once the stop is under way: whatever the
    stop waits for is given up. A BaseException, so that no handler of
    ordinary errors swallows it."""


class Stopping:
    """What `stop_on_signals` gives its block: the signal that asked for
    the stop, None while none has."""

    signal: Optional[signal.Signals] = None


@contextmanager
def stop_on_signals(stop: threading.Event) -> Iterator[Stopping]:
    """SIGINT and SIGTERM set `stop` while the block runs; one arriving when
    `stop` is set already raises StopWaiting (only the main thread can have
    handlers; elsewhere the caller sets `stop`)."""
    stopping = Stopping()
    if threading.current_thread() is not threading.main_thread():
        yield stopping
        return

    def handle(number: int, _frame: object) -> None:
        if stop.is_set():
            raise StopWaiting()
        stopping.signal = signal.Signals(number)
        stop.set()

    previous = {}
    for number in (signal.SIGINT, signal.SIGTERM):
        previous[number] = signal.signal(number, handle)
    try:
        yield stopping
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def same_file(a: Path, b: Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist (yet)
        return a.resolve() == b.resolve()


def check_writable(path: Path) -> None:
    """Raises CommandError unless `path` can be written, before any work
    that a failed write would throw away."""
    if path.is_dir():
        raise CommandError(f"cannot write {path}: it is a directory")
    parent = path.parent
    if not parent.is_dir():
        raise CommandError(f"cannot write {path}: no such directory {parent}")
    if not os.access(path if path.exists() else parent, os.W_OK):
        raise CommandError(f"cannot write {path}: permission denied")


def check_outputs(inputs: Sequence[Path], outputs: Sequence[Path]) -> None:
    """Refuses an output that is an input or another output, under any
    name, and one that cannot be written."""
    for k, output in enumerate(outputs):
        for source in inputs:
            if same_file(output, source):
                raise CommandError(f"will not write {output}: it is the input {source}")
        for other in outputs[:k]:
            if same_file(output, other):
                raise CommandError(f"{output} is named for two outputs")
        check_writable(output)
