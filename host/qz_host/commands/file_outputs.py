"""``qz-host live``'s file outputs (``--jsonl FILE``, ``--csv``,
``--record``), each behind a guard that keeps a failing file from ending
the session.

A write that fails (the disk full, the file system gone read-only) is
said once, in one warning line; from then on that output's fixes or
frames are dropped, counted under the file's name, and the health says
"cannot write FILE: why" (what the file's buffer held then is lost with
it, a tick's worth at most). SIGHUP reopens the file under its name (see
``hangup``), which mends the fault when the file opens again. Every call
comes from the pipeline's thread; the health reads `fault` from the
monitoring thread (one string, swapped whole).
"""

from __future__ import annotations

from pathlib import Path
from typing import Optional

from ..live_counters import LiveCounters
from ..logs import Log
from ..pipeline import Anchors, Position, Sink
from ..site_stage import SiteStage
from ..zones import ZoneEvent


class FileOutput(Sink):
    def __init__(self, sink: Sink, path: Path, counters: LiveCounters, log: Log):
        """`sink` has ``reopen(stream)`` besides the Sink methods."""
        self.sink = sink
        self.path = path
        self.counters = counters
        self.log = log
        self.fault: Optional[str] = None  # what the health says of this file
        self.broken = False  # a write failed: output dropped until reopened

    def _failed(self, error: OSError) -> None:
        self.broken = True
        self.fault = f"cannot write {self.path}: {error.strerror or error}"
        self.log(f"warning: {self.fault}; its output is dropped and counted until SIGHUP "
                 f"reopens it")

    def _drop(self) -> None:
        self.counters.dropped[str(self.path)] += 1

    def site(self, stage: SiteStage) -> None:
        self.sink.site(stage)  # settings only: nothing written yet

    def anchors(self, anchors: Anchors) -> None:
        if not self.broken:
            try:
                self.sink.anchors(anchors)
            except OSError as error:
                self._failed(error)

    def frame(self, time: float, frame: bytes) -> None:
        if self.broken:
            self._drop()
            return
        try:
            self.sink.frame(time, frame)
        except OSError as error:
            self._drop()
            self._failed(error)

    def fix(self, position: Position) -> None:
        self._write(self.sink.fix, position)

    def event(self, event: ZoneEvent) -> None:
        self._write(self.sink.event, event)

    def _write(self, write, item) -> None:
        """One line of output, dropped and counted once the file failed."""
        if self.broken:
            self._drop()
            return
        try:
            write(item)
        except OSError as error:
            self._drop()
            self._failed(error)

    def tick(self) -> None:
        if not self.broken:
            try:
                self.sink.tick()
            except OSError as error:
                self._failed(error)

    def reopen(self) -> bool:
        """Opens the file again under its name and goes on in it; False
        (the fault said) when it does not open, the old file kept."""
        try:
            stream = open(self.path, "a", encoding="ascii", newline="")
        except OSError as error:
            self.fault = f"cannot reopen {self.path}: {error.strerror or error}"
            self.log(f"warning: {self.fault}; " + ("its output is still dropped" if self.broken
                                                   else "still writing to the file it had open"))
            return False
        self.fault, self.broken = None, False
        try:
            getattr(self.sink, "reopen")(stream)
        except OSError as error:  # closing the old file: its last lines are lost
            self.log(f"warning: closing the old {self.path}: {error.strerror or error}")
        return True

    def close(self) -> None:
        try:
            self.sink.close()
        except OSError as error:
            if not self.broken:  # else said already
                self.log(f"warning: cannot write {self.path}: {error.strerror or error}")
