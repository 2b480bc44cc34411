"""``qz-host view``: a capture replayed at its recorded pace into the web map."""

from __future__ import annotations

import argparse
import logging
import threading
from pathlib import Path
from typing import TextIO

from .. import addresses, capture, logs
from ..options import SECONDS, SPEED_FACTOR, whole
from . import site_inputs, web_options
from .base import CommandError, stop_on_signals


def register(commands) -> None:
    view = commands.add_parser(
        "view", help="replay a capture at its pace into a map in the browser",
        description="Survey the capture's anchors, then replay its frames at their recorded "
                    "pace (times --speed) into a live map served over HTTP; the map stays "
                    "up after the end until interrupted (Ctrl-C).")
    view.add_argument("capture", type=Path, help="capture file")
    web_options.add_options(view, default=(addresses.LOOPBACK, 8080))
    site_inputs.add_options(view)
    view.add_argument("--speed", type=SPEED_FACTOR, default=1.0,
                      help="replay this many times faster than recorded (default 1)")
    view.add_argument("--stale", type=SECONDS, default=5.0,
                      help="seconds without a fix after which a tag is greyed (default 5)")
    view.add_argument("--trail", type=whole(1, 10_000), default=50,
                      help="fixes drawn behind each tag (default 50)")
    view.add_argument("--tag-timeout", type=SECONDS, default=10.0,
                      help="seconds of capture time without a fix after which a tag leaves "
                           "the map (default 10)")
    view.set_defaults(handler=run)


def run(args: argparse.Namespace, out: TextIO) -> int:
    log = logs.line_log("view")
    try:
        from ..replay import survey_capture
        from ..web.playback import PlaybackClock, play
        from ..web.server import require_websockets
        from ..web.feed import show_site
        from ..web.state import MapState
        require_websockets()
    except ImportError as error:
        raise CommandError(str(error)) from None

    def lines():
        with capture.open_text(args.capture) as source:
            yield from capture.capture_lines(source)

    site = site_inputs.read(args)
    try:
        surveyed = survey_capture(lines, anchors=site.anchors, sigma=site.sigma)
    except OSError as error:
        raise CommandError(f"cannot read {args.capture}: {error.strerror}") from None
    except ValueError as error:  # not a capture, a bad unit or checksum
        raise CommandError(f"{args.capture}: {error}") from None
    problem = surveyed.survey_error or surveyed.layout_error
    if problem is not None:
        log(f"{args.capture}: {problem}", logging.ERROR)
        return 1

    clock = PlaybackClock(speed=args.speed)
    state = MapState(trail=args.trail, stale_after=args.stale, clock=clock,
                     tag_timeout=args.tag_timeout)
    try:
        for note in site.site_warnings + show_site(state, site.site, site.tags, site.anchors):
            log(note)
    except (OSError, ValueError) as error:
        raise CommandError(f"the floor plan: {error}") from None
    server = web_options.serve_map(state, args.web, args.allow_host, log)
    print(f"serving the map of {args.capture} on {server.url} (Ctrl-C to stop)",
          file=out, flush=True)
    # The signals set an event rather than raise KeyboardInterrupt, which
    # could land inside the map state's lock and leave the server waiting.
    stop = threading.Event()
    try:
        with stop_on_signals(stop):
            counts = play(lines(), surveyed, state, clock, stop, site=site.site, tags=site.tags,
                          tag_height=site.tag_height)
            if not stop.is_set():
                print(f"replayed {counts.read} frames; still serving", file=out, flush=True)
            while not stop.wait(0.5):
                pass
    finally:
        server.stop()
    return 0
