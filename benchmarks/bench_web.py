"""What serving the map costs.

Bytes: the messages a browser gets at 200 tags, each with a full trail.
Every update used to be the whole state; now a browser gets the whole
state once and then what changed: at 200 tags reporting ten times a
second and updates every 0.1 s, one new fix of each tag per update.

Time: MapState.add_fix on a state that nobody serves, against the same
calls on a state that a WebServer publishes to a browser that reads and
to one that has stopped reading. Each repeat times the sides back to back;
the table gives medians."""
import contextlib
import json
import random
import statistics
import sys
import threading
import time
import timeit
from pathlib import Path

from websockets.exceptions import ConnectionClosed
from websockets.sync.client import connect

from qz_host.tracking import TrackFix
from qz_host.web.server import FEED_PATH, WebServer
from qz_host.web.state import MapState

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from web_client import open_feed  # noqa: E402

from timing import print_table  # noqa: E402

REPEATS = 7
CALLS = 100_000  # some 0.3 s a side: several of the server's updates
TAGS = 100
TARGET = 1.5  # at most this many times the cost of an unserved add_fix
SIZE_TAGS = 200
WALL_CLOCK = 1796829229.3  # a live session's clock: times have all their digits


def message_sizes(tags=SIZE_TAGS, trail=50):
    """Bytes of the messages at `tags` tags: the whole state with exact
    values (what every update was), the whole state as sent now, and the
    differences after one fix of every tag and after one fix of one tag."""
    rng = random.Random(1)
    clock = [WALL_CLOCK]
    state = MapState(clock=lambda: clock[0], trail=trail)
    state.set_anchors({0x0A00 + i: (i * 5.0, (i % 2) * 20.0) for i in range(8)})

    def one_fix(tag):
        state.add_fix(TrackFix(clock[0], 0x1000 + tag, rng.uniform(0, 35), rng.uniform(0, 20),
                               rng.uniform(0.03, 0.06), rng.uniform(0.8, 1.3),
                               (0, 1, 2, 3, 4, 5), 0))

    for _ in range(trail):
        clock[0] += 0.1
        for tag in range(tags):
            one_fix(tag)
    server = WebServer(state, "127.0.0.1", 0)  # not started: only its encoding

    def encoded(message):
        return len(json.dumps(message, allow_nan=False, separators=(",", ":")))

    exact = encoded({"type": "state", "state": state.snapshot(), "server": server.statistics()})
    whole = len(server.message())
    reader = state.version
    clock[0] += 0.1
    for tag in range(tags):
        one_fix(tag)
    every_tag = encoded(state.changes(reader))
    reader = state.version
    one_fix(0)
    one_tag = encoded(state.changes(reader))
    return {"whole_exact": exact, "whole": whole, "every_tag": every_tag, "one_tag": one_tag}


def anchored():
    """A state with the anchors the fixes use, served or not alike."""
    state = MapState()
    state.set_anchors({0x0A00 + i: (i * 5.0, (i % 2) * 20.0) for i in range(4)})
    return state


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
    state = anchored()
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
    sizes = message_sizes()
    print_table(f"Messages to a browser at {SIZE_TAGS} tags with full trails (bytes)", [
        ("every update before: the whole state, exact values", f"{sizes['whole_exact']:,}", ""),
        ("on connecting: the whole state, rounded to 0.1 mm and 1 ms", f"{sizes['whole']:,}",
         f"{sizes['whole_exact'] / sizes['whole']:.1f}x"),
        ("an update after one fix of every tag", f"{sizes['every_tag']:,}",
         f"{sizes['whole_exact'] / sizes['every_tag']:.1f}x"),
        ("an update after one fix of one tag", f"{sizes['one_tag']:,}",
         f"{sizes['whole_exact'] / sizes['one_tag']:.0f}x"),
    ], ["message", "bytes", "smaller by"])

    baseline = feeder(anchored())
    rows, failed = [], False
    for clients in ("reading", "stalled"):
        with contextlib.ExitStack() as stack:
            add, server = served(clients, stack)
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
        rows.append((f"add_fix, served to a {clients} browser",
                     f"{statistics.median(ours) * 1e6:.2f} us",
                     f"{statistics.median(alone) * 1e6:.2f} us", f"{ratio:.2f}x", str(dropped)))
    print_table("Serving the map beside the pipeline (median per call; ratio to unserved)",
                rows, ["benchmark", "served", "unserved", "ratio", "updates dropped"])
    if failed:
        sys.exit(f"serving the map slows add_fix by more than {TARGET}x")


if __name__ == "__main__":
    main()
