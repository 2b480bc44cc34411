"""SIGHUP reopens ``qz-host live``'s output files, for log rotation: the
rotator renames a file, sends SIGHUP, and the session goes on in a new file
under the old name.

The signal handler only sets a flag; the loop reopens between two inbox
items, so every frame and fix lands whole in one file or the other. A file
that cannot be opened again is said once, and the session keeps writing
to the one it has (under its new name): nothing is lost, and the health
reports the fault until a later SIGHUP succeeds.
"""

from __future__ import annotations

import signal
import threading
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator, List, Protocol, Tuple

from ..logs import Log


class Reopenable(Protocol):
    def reopen(self, stream) -> None: ...


class Reopener:
    def __init__(self, files: List[Tuple[Reopenable, Path]], log: Log, faults: List[str]):
        """`faults` is the list the health reads; this keeps its own entries in it."""
        self.files = files
        self.log = log
        self.faults = faults
        self.requested = False
        self._failed: List[str] = []

    def request(self, *_) -> None:
        self.requested = True

    def __call__(self) -> None:
        """Reopens every file, when a SIGHUP asked for it."""
        if not self.requested:
            return
        self.requested = False
        failed = []
        for sink, path in self.files:
            try:
                stream = open(path, "a", encoding="ascii", newline="")
            except OSError as error:
                failed.append(f"cannot reopen {path}: {error.strerror or error}")
                continue
            sink.reopen(stream)
        for fault in self._failed:
            self.faults.remove(fault)
        for fault in failed:
            self.log(f"warning: {fault}; still writing to the file it had open")
        self.faults.extend(failed)
        self._failed = failed
        if self.files:
            self.log(f"reopened {len(self.files) - len(failed)} of {len(self.files)} "
                     f"output files")


@contextmanager
def reopen_on_hangup(reopener: Reopener) -> Iterator[None]:
    """SIGHUP asks `reopener` while the block runs (only the main thread
    can have handlers; where there is none, SIGHUP keeps its meaning)."""
    hangup = getattr(signal, "SIGHUP", None)
    if hangup is None or threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(hangup, reopener.request)
    try:
        yield
    finally:
        signal.signal(hangup, previous)
