"""The host's lines on stderr, through ``logging``: one line per event, with
its time and level, plain for people or JSON for a log collector.

Every command logs through a child of the "qz_host" logger named for it
("qz_host.live"); the plain format keeps the lines the host has always
written, after a time and a level:

    2026-12-10T10:13:01.123Z INFO qz-host live: 4 anchors surveyed; ...

and the JSON format gives the same event as one object a line:

    {"time": "2026-12-10T10:13:01.123Z", "level": "info", "command": "live",
     "message": "4 anchors surveyed; ..."}

The handler writes to whatever ``sys.stderr`` is when a line is written,
so a replaced stream (a test's capture) gets the lines. Tracebacks are
never printed: a line is the event's message, an expected failure says
itself in one line. What a command reports rather than logs (the summary,
the faults ``site check`` lists) is written as before.
"""

from __future__ import annotations

import argparse
import json
import logging
import sys
import time
from typing import Callable, Optional

LOGGER = "qz_host"
LEVELS = {"debug": logging.DEBUG, "info": logging.INFO, "warning": logging.WARNING,
          "error": logging.ERROR}
FORMATS = ("plain", "json")
WARNING_PREFIX = "warning: "

Log = Callable[..., None]


def timestamp(created: float) -> str:
    """UTC, to the millisecond, in ISO 8601."""
    whole = int(created)
    return (time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(whole))
            + f".{int((created - whole) * 1000):03d}Z")


def _command(record: logging.LogRecord) -> Optional[str]:
    name = record.name
    return name[len(LOGGER) + 1:] if name.startswith(LOGGER + ".") else None


def _one_line(text: str) -> str:
    return text.replace("\r", " ").replace("\n", " ")


class PlainFormatter(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        command = _command(record)
        prefix = f"qz-host {command}: " if command else "qz-host: "
        return (f"{timestamp(record.created)} {record.levelname} "
                f"{prefix}{_one_line(record.getMessage())}")


class JsonFormatter(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        line = {"time": timestamp(record.created), "level": record.levelname.lower()}
        command = _command(record)
        if command:
            line["command"] = command
        line["message"] = record.getMessage()
        return json.dumps(line, ensure_ascii=False)


class StderrHandler(logging.StreamHandler):
    """A stream handler on the current ``sys.stderr``."""

    def __init__(self) -> None:
        logging.Handler.__init__(self)  # no stream of its own to keep

    @property
    def stream(self):  # type: ignore[override]
        return sys.stderr

    def handleError(self, record: logging.LogRecord) -> None:
        # stderr closed or broken: the line is lost, never a traceback.
        pass


_handler = StderrHandler()


def configure(level: str = "info", form: str = "plain") -> None:
    """The level and format of every line the host logs from now on."""
    _handler.setFormatter(JsonFormatter() if form == "json" else PlainFormatter())
    root = logging.getLogger(LOGGER)
    root.setLevel(LEVELS[level])
    if _handler not in root.handlers:
        root.addHandler(_handler)
    # The host's lines are its own: an application's root handlers do not
    # print them a second time.
    root.propagate = False


def add_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("logging")
    group.add_argument("--log-level", choices=tuple(LEVELS), default="info",
                       help="the least severe lines written on stderr (default info)")
    group.add_argument("--log-format", choices=FORMATS, default="plain",
                       help="plain lines with a time and level, or one JSON object a line "
                            "for a log collector (default plain)")


def logger(command: Optional[str] = None) -> logging.Logger:
    return logging.getLogger(f"{LOGGER}.{command}" if command else LOGGER)


def line_log(command: Optional[str] = None) -> Log:
    """The `log(text, level=None)` callable that commands hand their parts:
    a line at `level`, by default info, or warning for a text that says
    "warning: " first."""
    target = logger(command)

    def log(text: str, level: Optional[int] = None) -> None:
        if level is None:
            level = logging.WARNING if text.startswith(WARNING_PREFIX) else logging.INFO
        target.log(level, "%s", text)

    return log


configure()
