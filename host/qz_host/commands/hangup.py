"""SIGHUP reopens ``qz-host live``'s output files, for log rotation: the
rotator renames a file, sends SIGHUP, and the session goes on in a new file
under the old name.

The signal handler only sets a flag; the loop reopens between two inbox
items, so every frame and fix lands whole in one file or the other. A file
that cannot be opened again is said, and the session keeps writing to the
one it has (under its new name), the health reporting the fault until a
later SIGHUP succeeds (see ``file_outputs``).
"""

from __future__ import annotations

import signal
import threading
from contextlib import contextmanager
from typing import Iterator, Sequence

from ..logs import Log
from .file_outputs import FileOutput


class Reopener:
    def __init__(self, outputs: Sequence[FileOutput], log: Log):
        self.outputs = outputs
        self.log = log
        self.requested = False

    def request(self, *_) -> None:
        self.requested = True

    def __call__(self) -> None:
        """Reopens every file, when a SIGHUP asked for it."""
        if not self.requested:
            return
        self.requested = False
        reopened = sum(output.reopen() for output in self.outputs)
        if self.outputs:
            self.log(f"reopened {reopened} of {len(self.outputs)} output files")


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
