"""What serving the map costs the pipeline: MapState.add_fix on a state
that nobody serves, against the same calls on a state that a WebServer
publishes to a browser that reads and to one that has stopped reading.
Each repeat times the sides back to back; the table gives medians."""
import contextlib
import json
import statistics
import sys
import threading
import time
import timeit
from pathlib import Path

from websockets.exceptions import ConnectionClosed
from websockets.sync.client import connect

from qz_host.web.server import FEED_PATH, WebServer
from qz_host.web.state import MapState
from qz_host.web.trackfix import TrackFix

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from web_client import open_feed  # noqa: E402

from timing import print_table  # noqa: E402

REPEATS = 7
CALLS = 100_000  # some 0.3 s a side: several of the server's updates
TAGS = 100
TARGET = 1.5  # at most this many times the cost of an unserved add_fix


def feeder(state):
    count = [0]

    def add():
        i = count[0] = count[0] + 1
        state.add_fix(TrackFix(i * 0.01, i % TAGS, i % 17 * 0.5, i % 11 * 0.5, 0.05, 0.9,
                               (0, 1, 2, 3), 0))
    return add


def served(clients, stack):
    """A served state's feeder, with a `clients` ("reading" or "stalled")
    browser connected, and the server; both end with `stack`."""
    state = MapState()
    server = WebServer(state, "127.0.0.1", 0)
    server.start()
    stack.callback(server.stop)
    add = feeder(state)
    for _ in range(CALLS):
        add()  # full trails, so every message has its full size
    if clients == "stalled":
        stack.enter_context(open_feed(server.port, receive_buffer=4096))
        # Timed once the connection's buffers are full and updates drop.
        deadline = time.monotonic() + 60
        while server.dropped_updates == 0 and time.monotonic() < deadline:
            for _ in range(1000):
                add()
            time.sleep(0.02)
        return add, server
    readers = []
    stack.callback(lambda: [reader.join() for reader in readers])  # once closed, below
    ws = stack.enter_context(connect(f"ws://127.0.0.1:{server.port}{FEED_PATH}"))

    def read():
        try:
            while True:
                json.loads(ws.recv())
        except ConnectionClosed:
            pass
    readers.append(threading.Thread(target=read, daemon=True))
    readers[0].start()
    return add, server


def main():
    baseline = feeder(MapState())
    rows, failed = [], False
    for clients in ("reading", "stalled"):
        with contextlib.ExitStack() as stack:
            add, server = served(clients, stack)
            size = len(server.message())
            ours, alone, ratios = [], [], []
            for _ in range(REPEATS):
                unserved = timeit.timeit(baseline, number=CALLS) / CALLS
                with_server = timeit.timeit(add, number=CALLS) / CALLS
                alone.append(unserved)
                ours.append(with_server)
                ratios.append(with_server / unserved)
            dropped = server.dropped_updates
        ratio = statistics.median(ratios)
        failed |= ratio > TARGET
        rows.append((f"add_fix, served to a {clients} browser ({size // 1000} kB messages)",
                     f"{statistics.median(ours) * 1e6:.2f} us",
                     f"{statistics.median(alone) * 1e6:.2f} us", f"{ratio:.2f}x", str(dropped)))
    print_table("Serving the map beside the pipeline (median per call; ratio to unserved)",
                rows, ["benchmark", "served", "unserved", "ratio", "updates dropped"])
    if failed:
        sys.exit(f"serving the map slows add_fix by more than {TARGET}x")


if __name__ == "__main__":
    main()
