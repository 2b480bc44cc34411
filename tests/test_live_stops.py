"""How a live session ends: every datagram accounted for at the stop, a
second signal, a closed standard output, a bad unit on standard input, all
ending with one line or the summary, never a traceback."""

import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from qz_host import capture
from qz_host.live_counters import LiveCounters
from qz_host.sources import SO_RXQ_OVFL, LineSource, descriptor_lines

from live_helpers import expected, known  # noqa: F401 (fixtures)
from live_helpers import HALL, free_port, hall_frames, stderr_messages, wait_for

LIVE = [sys.executable, "-m", "qz_host", "live"]
needs_drop_counts = pytest.mark.skipif(not SO_RXQ_OVFL or not os.path.exists("/proc/net/udp"),
                                       reason="the kernel's UDP drop counts are Linux's")


class StderrLines:
    """A process's stderr, collected by a thread so a test can wait on it."""

    def __init__(self, process):
        self.process = process
        self.lines = []
        self.thread = threading.Thread(target=self._collect, args=(process.stderr,),
                                       daemon=True)
        self.thread.start()

    def _collect(self, stream):
        for line in stream:
            self.lines.append(line)

    def close(self):
        self.thread.join(5)
        self.process.stderr.close()

    def text(self):
        return "".join(self.lines)

    def find(self, pattern):
        """The first match of `pattern` once it has been written, else None."""
        found = []
        wait_for(lambda: found.append(re.search(pattern, self.text())) or found[-1])
        return found[-1]


def start_live(tmp_path, *argv):
    """`qz-host live ARGV` writing its fixes and its summary to files."""
    with open(tmp_path / "summary.txt", "w") as summary:
        return subprocess.Popen(LIVE + [*argv, "--stats", "0",
                                        "--jsonl", str(tmp_path / "fixes.jsonl")],
                                stdout=summary, stderr=subprocess.PIPE, text=True)


@needs_drop_counts
def test_sigterm_accounts_for_every_datagram_sent(tmp_path, known):
    """A burst faster than the host reads, SIGTERM at once: the summary's
    frames received and datagrams dropped add up to the datagrams sent."""
    process = start_live(tmp_path, "udp://127.0.0.1:0", *known, "--fcs")
    stderr = StderrLines(process)
    try:
        ready = stderr.find(r"reading udp://127\.0\.0\.1:(\d+)")
        assert ready, stderr.text()
        items = [frame for _, frame in hall_frames()]
        sent = 20000
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            for k in range(sent):
                sock.sendto(items[k % len(items)], ("127.0.0.1", int(ready.group(1))))
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=60)
    finally:
        process.kill()
        process.wait()
    stderr.close()
    summary = (tmp_path / "summary.txt").read_text()
    assert process.returncode == 0, stderr.text()
    received = int(re.search(r"Frames   (\d+) received", summary).group(1))
    dropped = re.search(r"udp socket (\d+)", summary)
    assert received + (int(dropped.group(1)) if dropped else 0) == sent, summary


def test_second_sigterm_while_waiting_for_the_broker_prints_the_summary(tmp_path, known):
    """No broker: the stop waits for acknowledgements that never come; a
    second SIGTERM ends that wait with the summary and exit status 1."""
    pytest.importorskip("paho.mqtt.client", reason="needs paho-mqtt (the live extra)")
    process = start_live(tmp_path, "udp://127.0.0.1:0", *known,
                         "--mqtt", f"127.0.0.1:{free_port()}")
    stderr = StderrLines(process)
    try:
        ready = stderr.find(r"reading udp://127\.0\.0\.1:(\d+)")
        assert ready, stderr.text()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            for _, frame in hall_frames()[:100]:
                sock.sendto(frame, ("127.0.0.1", int(ready.group(1))))
        process.send_signal(signal.SIGTERM)
        assert stderr.find("stopping on SIGTERM"), stderr.text()
        started = time.monotonic()
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=30)
        waited = time.monotonic() - started
    finally:
        process.kill()
        process.wait()
    stderr.close()
    summary = (tmp_path / "summary.txt").read_text()
    assert process.returncode == 1, stderr.text()
    assert "Frames   100 received" in summary
    assert "stopped waiting" in stderr.text() and "Traceback" not in stderr.text()
    assert waited < 4.0  # not the broker's 5 s


def test_closed_stdout_ends_the_session_with_its_summary_on_stderr():
    """`qz-host live - | head -n 3`: the reader goes after three fixes."""
    with open(HALL) as capture:
        process = subprocess.Popen(LIVE + ["-"], stdin=capture, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        try:
            first = [process.stdout.readline() for _ in range(3)]
            process.stdout.close()  # the fixes fill more than a pipe holds: live is writing
            _, err = process.communicate(timeout=60)
        finally:
            process.kill()
            process.wait()
    assert all(line.startswith('{"tag":') for line in first)
    assert process.returncode == 0, err
    assert "standard output closed; stopping" in err
    assert "Frames   882 received" in err
    assert "Traceback" not in err and "Exception" not in err


@pytest.mark.parametrize("unit", ["inf", "1e-300", "nan", "metre"])
def test_bad_unit_on_open_stdin_exits_2_with_one_line(unit):
    """The header refused while standard input is still open: the reader
    thread blocked on it must not crash the interpreter's exit."""
    process = subprocess.Popen(LIVE + ["-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        process.stdin.write(f"# qz capture\n# dist_unit_m: {unit}\n")
        process.stdin.flush()
        returncode = process.wait(timeout=30)
        err = process.stderr.read()
    finally:
        process.kill()
        process.wait()
        process.stdin.close()
        process.stdout.close()
        process.stderr.close()
    assert returncode == 2, err
    lines = stderr_messages(err)
    assert len(lines) == 1 and lines[0].startswith("qz-host live: error: -:"), err
    assert "Fatal" not in err and "Traceback" not in err


def test_stop_is_not_held_up_by_an_idle_standard_input():
    """The reader thread is blocked reading a pipe that stays open."""
    read_end, write_end = os.pipe()
    source = LineSource(capture.binary_lines(descriptor_lines(read_end)), LiveCounters())
    stop = threading.Event()
    handled = []

    def handle(item):
        handled.append(item)
        stop.set()
        return False

    os.write(write_end, b"# qz capture\n")
    started = time.monotonic()
    try:
        source.serve(handle, lambda: None, stop)
        waited = time.monotonic() - started
    finally:
        os.close(write_end)  # the reader sees the end and goes
        source_thread_done = wait_for(lambda: not any(t.name == "reader standard input"
                                                      for t in threading.enumerate()))
        os.close(read_end)
    assert handled == [("line", "# qz capture\n")]
    assert waited < 3.0  # not the drain's bound of the byte streams
    assert source_thread_done
