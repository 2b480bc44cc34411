"""Captures for the map's tests, cut from the bundled one, and `qz-host
view` run as a server process."""

import os
import re
import signal
import subprocess
import sys
from pathlib import Path

from qz_host import capture, messages

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "hall.qzcap"
URL = re.compile(r"on (http://\S+/) ")


def cut_capture(path, keep, source=SAMPLE):
    """Writes the lines of `source` for which keep(time, src, is_anchor)
    holds, with its metadata and its undecodable lines; returns `path`."""
    kept = []
    for line in source.read_text().splitlines():
        item = capture.parse_line(line)
        if item is not None:
            try:
                message = messages.decode(item.time, item.frame)
            except messages.Skip:
                message = None
            if message is not None and not keep(item.time, message.src, message.is_anchor):
                continue
        kept.append(line)
    path.write_text("\n".join(kept) + "\n")
    return path


class ViewProcess:
    """`qz-host view CAPTURE --web 127.0.0.1:PORT ...` in a subprocess."""

    def __init__(self, capture_path, *options, port=0):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "qz_host", "view", str(capture_path),
             "--web", f"127.0.0.1:{port}", *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            env={**os.environ, "PYTHONUNBUFFERED": "1"})
        line = self.process.stdout.readline()
        match = URL.search(line)
        if match is None:
            self.process.kill()
            raise RuntimeError(f"view did not start: {line}{self.process.stderr.read()}")
        self.url = match.group(1)
        self.port = int(self.url.rsplit(":", 1)[1].rstrip("/"))

    def stop(self, timeout=20):
        """Interrupts the server as Ctrl-C would; returns its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise
        finally:
            self.process.stdout.close()
            self.process.stderr.close()
