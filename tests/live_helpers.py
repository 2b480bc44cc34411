"""What the live tests share: the bundled capture, its replay, a live session
run on a thread, free loopback ports."""

import contextlib
import io
import json
import re
import socket
import threading
import time
from pathlib import Path

import pytest

from conftest import wait_for  # noqa: F401 (used by the tests that import it from here)
from qz_host import capture, cli, replay, sinks
from qz_host.commands import live, site_inputs

HALL = Path(__file__).resolve().parent.parent / "examples" / "hall.qzcap"


def hall_lines():
    with open(HALL) as source:
        return source.readlines()


def hall_frames():
    """(time, frame) of every frame line of the bundled capture."""
    items = [capture.parse_line(line) for line in hall_lines()]
    return [(item.time, item.frame) for item in items if item is not None]


def hall_replay():
    return replay.replay(hall_lines())


def surveyed_anchors(result):
    """The replay's surveyed anchors, at z 0, as the pipeline takes known ones."""
    return {a: (x, y, 0.0) for a, (x, y) in zip(result.survey.addresses, result.survey.positions)}


def write_replay_anchors(path, result):
    """The replay's survey as an anchors file, every digit kept."""
    sinks.write_anchors(path, surveyed_anchors(result))


def replay_recording(path, expected):
    """The replay of a live session's recording with the anchors and the
    ranging noise of `expected` (the bundled capture's replay)."""
    anchors = dict(zip(expected.survey.addresses, expected.survey.positions))
    return replay.replay_file(path, anchors=anchors, sigma=expected.sigma)


def fixes_of(result, times=True):
    return [(f.tag, f.time, f.x, f.y) if times else (f.tag, f.x, f.y) for f in result.fixes]


def read_jsonl(path, times=True):
    rows = [json.loads(line) for line in Path(path).read_text().splitlines()]
    return [(int(r["tag"], 16), r["time"], r["x"], r["y"]) if times
            else (int(r["tag"], 16), r["x"], r["y"]) for r in rows]


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def udp_bound(port):
    """Whether a UDP socket is bound to `port` already, asked of the kernel
    (binding the port to find out would take it from the live host)."""
    table = Path("/proc/net/udp")
    if not table.exists():
        time.sleep(1.0)
        return True
    wanted = f":{port:04X}"
    return any(line.split()[1].endswith(wanted) for line in table.read_text().splitlines()[1:])


def recorded_frames(path):
    """The frame lines a recording holds so far."""
    try:
        with open(path) as source:
            return sum(1 for line in source if line.strip() and not line.startswith("#"))
    except FileNotFoundError:
        return 0


def line_count(path):
    try:
        return Path(path).read_text().count("\n")
    except FileNotFoundError:
        return 0


class LiveThread:
    """`qz-host live ARGS` run in this process on a thread until stopped."""

    def __init__(self, argv):
        argv = ["live"] + [str(a) for a in argv]
        parser = cli.build_parser()
        self.args = parser.parse_args(argv)
        site_inputs.load_site(parser, self.args, argv)  # as cli.main does
        self.stop = threading.Event()
        self.status = None
        self.error = None
        self.out = io.StringIO()  # the summary
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        try:
            self.status = live.run_command(self.args, self.out, stop=self.stop)
        except BaseException as error:  # reported by finish()
            self.error = error

    def finish(self, timeout=15.0):
        self.stop.set()
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "live did not stop"
        if self.error is not None:
            raise self.error
        return self.status


@contextlib.contextmanager
def live_thread(argv):
    session = LiveThread(argv)
    session.thread.start()
    try:
        yield session
    finally:
        if session.thread.is_alive():
            session.finish()


@pytest.fixture(scope="module")
def expected():
    """The replay of the bundled capture, which live must reproduce."""
    return hall_replay()


@pytest.fixture
def known(tmp_path, expected):
    """Options that make live track as the replay did."""
    path = tmp_path / "anchors.csv"
    write_replay_anchors(path, expected)
    return ["--anchors", str(path), "--sigma", repr(expected.sigma)]


def stderr_messages(text):
    """The lines of stderr without the log's time and level in front."""
    return [re.sub(r"^\S+Z [A-Z]+ ", "", line) for line in text.strip().splitlines()]
