"""Screenshots of the map for the README: the bundled capture 28 s in, over
the hall's floor plan (examples/hall-plan.svg) with three zones, at a
desktop's size (examples/hall-map.png) and a phone's
(examples/hall-map-phone.png).

    .venv/bin/python scripts/map_screenshots.py

Needs the web and test extras (websockets, Playwright) and Chromium. The
capture plays into a MapState as `qz-host view` plays it, on a clock that
jumps instead of waiting. The zone events here come from a plain inside
test with an exit delay, standing in for the pipeline's zone tracking."""

import os
import shutil
import sys
from pathlib import Path

from playwright.sync_api import sync_playwright

from qz_host.replay import replay
from qz_host.web.floor_plan import FloorPlan
from qz_host.web.playback import PlaybackClock, play
from qz_host.web.server import WebServer
from qz_host.web.state import MapState

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
CAPTURE = EXAMPLES / "hall.qzcap"
PLAN = EXAMPLES / "hall-plan.svg"
PLAN_BOUNDS = (-0.8, -0.8, 19.8, 12.2)  # the plan's edges on the map, metres
AT = 28.0  # seconds into the capture
NAMES = {0x1001: "forklift 1", 0x1002: "trolley 2"}
ZONES = [
    {"name": "cold store", "polygon": [[-0.5, 7.0], [6.5, 7.0], [6.5, 11.7], [-0.5, 11.7]]},
    {"name": "loading bay", "polygon": [[0.5, 0.5], [5.5, 0.5], [5.5, 6.0], [0.5, 6.0]]},
    {"name": "dispatch", "polygon": [[13.0, 0.5], [19.0, 0.5], [19.0, 6.0], [13.0, 6.0]]},
]
EXIT_DELAY = 1.0
SHOTS = [("hall-map.png", {"width": 1280, "height": 720}, False),
         ("hall-map-phone.png", {"width": 390, "height": 844}, True)]


def inside(polygon, x, y):
    crossings = False
    for (x1, y1), (x2, y2) in zip(polygon, polygon[1:] + polygon[:1]):
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            crossings = not crossings
    return crossings


class ZonedState(MapState):
    """A MapState that also makes the zone events of each fix."""

    def __init__(self, **options):
        super().__init__(**options)
        self.inside = {}  # (zone, tag) -> time it was last seen inside

    def add_fix(self, fix):
        super().add_fix(fix)
        for zone in ZONES:
            key = (zone["name"], fix.tag)
            if inside(zone["polygon"], fix.x, fix.y):
                if key not in self.inside:
                    self.add_zone_event(self.event("enter", zone, fix))
                self.inside[key] = fix.time
            elif key in self.inside and fix.time - self.inside[key] >= EXIT_DELAY:
                del self.inside[key]
                self.add_zone_event(self.event("exit", zone, fix))

    @staticmethod
    def event(kind, zone, fix):
        return {"event": kind, "zone": zone["name"], "tag": fix.tag, "time": fix.time,
                "x": fix.x, "y": fix.y}


class JumpingTime:
    """A monotonic clock that jumps over every wait, until AT."""

    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now

    def wait(self, seconds):
        self.now += seconds
        return self.now > AT


def main():
    lines = CAPTURE.read_text().splitlines(keepends=True)
    surveyed = replay(lines)
    time = JumpingTime()
    clock = PlaybackClock(monotonic=time)
    state = ZonedState(clock=clock, stale_after=5.0, monotonic=time)
    state.set_tag_names(NAMES)
    state.set_zones(ZONES)
    state.set_floor_plan(FloorPlan.read(PLAN, PLAN_BOUNDS))
    play(lines, surveyed, state, clock, stop=time)
    server = WebServer(state, "127.0.0.1", 0)
    server.start()
    chromium = os.environ.get("QZ_CHROMIUM") or shutil.which("chromium") or "/usr/bin/chromium"
    try:
        with sync_playwright() as playwright:
            browser = playwright.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
            for name, viewport, whole_page in SHOTS:
                context = browser.new_context(viewport=viewport, timezone_id="UTC")
                page = context.new_page()
                page.goto(server.url)
                page.locator(".tag").nth(1).wait_for()
                page.locator('.floor image[visibility="visible"]').wait_for()
                page.wait_for_timeout(500)
                page.screenshot(path=str(EXAMPLES / name), full_page=whole_page)
                context.close()
                print(f"wrote {EXAMPLES / name}")
            browser.close()
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
