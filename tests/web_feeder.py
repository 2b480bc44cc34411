"""A map served from a process of its own and fed a walking tag ten times a
second on the wall clock, for the tests that freeze the whole server
(SIGSTOP). Prints the map's URL, then serves until killed."""

import math
import sys
import time

from qz_host.tracking import TrackFix
from qz_host.web.server import WebServer
from qz_host.web.state import MapState


def main():
    state = MapState()
    state.set_anchors({0x0A01: (0.0, 0.0), 0x0A02: (10.0, 0.0), 0x0A03: (10.0, 8.0)})
    server = WebServer(state, "127.0.0.1", 0, interval=0.05, refresh=0.25)
    server.start()
    print(server.url, flush=True)
    step = 0
    while True:
        step += 1
        state.add_fix(TrackFix(time.time(), 0x1001, 5 + 3 * math.cos(step / 20),
                               4 + 3 * math.sin(step / 20), 0.04, 1.0, (0, 1, 2), 0))
        time.sleep(0.1)


if __name__ == "__main__":
    sys.exit(main())
