"""What serving the map costs the pipeline: MapState.add_fix on a state
that nobody serves, against the same calls on a state that a WebServer
publishes to a browser that reads and to one that has stopped reading.
Each repeat times the sides back to back; the table gives medians."""
import json
import statistics
import sys
import threading
import timeit
from pathlib import Path

from websockets.sync.client import connect

from qz_host.web.server import FEED_PATH, WebServer
from qz_host.web.state import MapState
from qz_host.web.trackfix import TrackFix

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from web_client import open_feed  # noqa: E402

from timing import print_table  # noqa: E402

REPEATS = 7
CALLS = 100_000  # some 0.3 s a side: several of the server's updates
TAGS = 20
TARGET = 1.5  # at most this many times the cost of an unserved add_fix


def feeder(state):
    count = [0]

    def add():
        i = count[0] = count[0] + 1
        state.add_fix(TrackFix(i * 0.01, i % TAGS, i % 17 * 0.5, i % 11 * 0.5, 0.05, 0.9,
                               (0, 1, 2, 3), 0))
    return add


def served(clients):
    """A served state and its feeder, with `clients` ("reading" or
    "stalled") connected; returns (add, close)."""
    state = MapState()
    server = WebServer(state, "127.0.0.1", 0)
    server.start()
    add = feeder(state)
    for _ in range(CALLS):
        add()  # full trails, so every message has its full size
    closers = []
    if clients == "stalled":
        sock = open_feed(server.port, receive_buffer=4096)
        closers.append(sock.close)
    else:
        ws = connect(f"ws://127.0.0.1:{server.port}{FEED_PATH}")
        done = threading.Event()

        def read():
            while not done.is_set():
                try:
                    json.loads(ws.recv(timeout=1))
                except TimeoutError:
                    pass
                except Exception:
                    return
        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        closers += [done.set, ws.close, reader.join]
    size = len(server.message())

    def close():
        for closer in closers:
            closer()
        server.stop()
    return add, close, server, size


def main():
    baseline = feeder(MapState())
    rows, failed = [], False
    base_times = []
    for clients in ("reading", "stalled"):
        add, close, server, size = served(clients)
        ours, ratios = [], []
        try:
            for _ in range(REPEATS):
                alone = timeit.timeit(baseline, number=CALLS) / CALLS
                with_server = timeit.timeit(add, number=CALLS) / CALLS
                base_times.append(alone)
                ours.append(with_server)
                ratios.append(with_server / alone)
            dropped = server.dropped_updates
        finally:
            close()
        ratio = statistics.median(ratios)
        failed |= ratio > TARGET
        rows.append((f"add_fix, served to a {clients} browser ({size // 1000} kB messages)",
                     f"{statistics.median(ours) * 1e6:.2f} us",
                     f"{statistics.median(base_times) * 1e6:.2f} us", f"{ratio:.2f}x",
                     str(dropped)))
    print_table("Serving the map beside the pipeline (median per call; ratio to unserved)",
                rows, ["benchmark", "served", "unserved", "ratio", "updates dropped"])
    if failed:
        sys.exit(f"serving the map slows add_fix by more than {TARGET}x")


if __name__ == "__main__":
    main()
