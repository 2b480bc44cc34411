"""The map page in a real browser: headless Chromium driven by Playwright.

Most tests feed a MapState that a WebServer serves from the test itself, on
a clock the test moves, at a desktop's size and at a phone's; the last ones
run against `qz-host view` serving the bundled capture."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from datetime import datetime, timezone
from pathlib import Path

import pytest

pytest.importorskip("websockets", reason="the web extra (websockets) is not installed")
sync_api = pytest.importorskip("playwright.sync_api",
                               reason="Playwright for Python is not installed "
                                      "(pip install playwright)")

from qz_host.tracking import TrackFix  # noqa: E402
from qz_host.web.floor_plan import FloorPlan  # noqa: E402
from qz_host.web.server import WebServer  # noqa: E402
from qz_host.web.state import MapState  # noqa: E402
from web_captures import SAMPLE, ViewProcess, cut_capture  # noqa: E402
from web_client import get, wait_for  # noqa: E402

# The page is the same JavaScript whatever runs the server, and the server is
# tested on every interpreter by test_web_server; so the browser (the
# suite's longest minute) runs on the primary interpreter only.
pytestmark = pytest.mark.slow

CHROMIUM = os.environ.get("QZ_CHROMIUM") or shutil.which("chromium") or "/usr/bin/chromium"
ARTIFACTS = Path(
    os.environ.get(
        "QZ_TEST_ARTIFACTS", Path(__file__).resolve().parent.parent / "build" / "test-artifacts"
    )
)
SIZES = {"desktop": {"width": 1920, "height": 1080}, "phone": {"width": 390, "height": 844}}
VIEWPORT = {"width": 1280, "height": 720}
GREY = "rgb(158, 158, 158)"  # the stale marker's fill
GOOD = "rgb(67, 160, 71)"    # the ring of a tag whose sd is under 5 cm
FEEDER = Path(__file__).resolve().parent / "web_feeder.py"
# Names the browser resolves to this machine: a hostile site's, as DNS
# rebinding would, and one the operator allows.
HOSTILE, ALLOWED = "evil.example", "map.example"
FLOOR_SVG = (b'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 200 120">'
             b'<rect width="200" height="120" fill="#eee" stroke="#444" stroke-width="2"/></svg>')


@pytest.fixture(scope="module")
def browser():
    if not os.path.exists(CHROMIUM):
        pytest.skip(f"no Chromium at {CHROMIUM} (apt-get install chromium, or set QZ_CHROMIUM)")
    with sync_api.sync_playwright() as playwright:
        # Playwright's own browser download is not used: Debian's Chromium.
        browser = playwright.chromium.launch(executable_path=CHROMIUM, args=[
            "--no-sandbox",
            f"--host-resolver-rules=MAP {HOSTILE} 127.0.0.1, MAP {ALLOWED} 127.0.0.1"])
        yield browser
        browser.close()


def new_page(browser, viewport):
    context = browser.new_context(viewport=viewport, timezone_id="UTC")
    page = context.new_page()
    page.set_default_timeout(10000)
    return context, page


@pytest.fixture(params=list(SIZES))
def page(browser, request):
    context, page = new_page(browser, SIZES[request.param])
    page.size = request.param
    yield page
    context.close()


@pytest.fixture
def desktop(browser):
    context, page = new_page(browser, VIEWPORT)
    page.set_default_timeout(20000)
    yield page
    context.close()


class Clock:
    def __init__(self, now):
        self.now = now

    def __call__(self):
        return self.now


class Site:
    """A MapState on a clock the test moves, served on loopback: a hall of
    20 m by 12 m with an anchor in each corner and two zones."""

    ANCHORS = {0x0A01: (0.0, 0.0), 0x0A02: (20.0, 0.0), 0x0A03: (20.0, 12.0),
               0x0A04: (0.0, 12.0)}
    ZONES = [{"name": "bay", "polygon": [[1, 1], [7, 1], [7, 5], [1, 5]]},
             {"name": "cold store", "polygon": [[13, 7], [19, 7], [19, 11], [13, 11]]}]

    def __init__(self, clock_kind="capture", now=100.0, allow_hosts=()):
        self.clock = Clock(now)
        self.state = MapState(clock=self.clock, clock_kind=clock_kind, stale_after=3.0,
                              tag_timeout=10.0)
        self.state.set_anchors(self.ANCHORS)
        self.state.set_zones(self.ZONES)
        # Heartbeats four times a second: the clock the test moves shows sooner.
        self.server = WebServer(self.state, "127.0.0.1", 0, interval=0.05, refresh=0.25,
                                allow_hosts=allow_hosts)
        self.server.start()

    def fix(self, tag, x, y, sd=0.04, used=(0, 1, 2, 3)):
        self.state.add_fix(TrackFix(self.clock.now, tag, x, y, sd, 0.9, used, 0))

    def open(self, page):
        page.goto(self.server.url)
        self.shown(page)

    def shown(self, page):
        """Waits until the page has drawn the state's version (or later)."""
        version = self.state.version
        assert wait_for(lambda: int(page.locator("body").get_attribute("data-version") or -1)
                        >= version, timeout=10)

    def stop(self):
        self.server.stop()


@pytest.fixture
def site():
    site = Site()
    yield site
    site.stop()


def settle(page):
    """Waits until the page has drawn what the last action changed: it
    draws on the next animation frame."""
    page.locator("body").evaluate(
        "b => new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done)))")


def click(page, selector):
    page.locator(selector).click()
    settle(page)


def centre(locator):
    box = locator.bounding_box()
    return box["x"] + box["width"] / 2, box["y"] + box["height"] / 2


def pixels_per_metre(page):
    """From the scale bar as drawn: its label and its length on screen."""
    label = page.locator(".scale text").text_content()
    assert label.endswith(" m")
    metres = float(label[:-2])
    ticks = page.locator(".scale line")
    return (centre(ticks.nth(2))[0] - centre(ticks.nth(1))[0]) / metres


def anchor_spread(page):
    """Width and height on screen of the box around the anchors."""
    points = [centre(page.locator(f'.anchor[data-address="{a:04X}"] polygon'))
              for a in Site.ANCHORS]
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    return max(xs) - min(xs), max(ys) - min(ys)


def fill(locator):
    return locator.evaluate("m => getComputedStyle(m).fill")


def tables_whole(page):
    """Every table of the panel within it, to its last column."""
    panel = page.locator("aside").bounding_box()
    for table in page.locator("aside table").all():
        box = table.bounding_box()
        if box is None or box["width"] == 0:
            continue
        assert box["x"] + box["width"] <= panel["x"] + panel["width"] + 0.5
        assert table.evaluate("t => t.parentElement.scrollWidth <= "
                              "t.parentElement.clientWidth + 1"), table.get_attribute("id")


def test_layout_map_and_panel_fit_the_window(page):
    """The phone shows the map above the panel, the desktop beside it; no
    table is cut off, with 48 named tags on a wall clock."""
    site = Site(clock_kind="wall", now=1796829229.3)
    try:
        site.state.set_tag_names({0x2000 + i: f"forklift {i + 1}" for i in range(48)})
        for i in range(48):
            site.fix(0x2000 + i, 1 + i % 8 * 2.4, 1 + i // 8 * 1.9)
        site.state.add_zone_event({"event": "enter", "zone": "bay", "tag": 0x2000,
                                   "time": site.clock.now})
        site.state.set_counters({"frames": 12345, "fixes": {"2000": 10, "2001": 12}})
        site.open(page)
        mapbox = page.locator("#mapbox").bounding_box()
        panel = page.locator("aside").bounding_box()
        width = SIZES[page.size]["width"]
        assert mapbox["width"] > 300 and mapbox["height"] > 300
        if page.size == "phone":
            assert panel["y"] >= mapbox["y"] + mapbox["height"] - 1
            assert mapbox["width"] == pytest.approx(width, abs=1)
        else:
            assert panel["x"] >= mapbox["x"] + mapbox["width"] - 1
        assert panel["x"] + panel["width"] <= width + 0.5
        tables_whole(page)
        status = page.locator("#status").bounding_box()
        assert status["x"] + status["width"] <= width
        if page.size == "desktop":  # and on a laptop's screen
            page.set_viewport_size(VIEWPORT)
            settle(page)
            tables_whole(page)
    finally:
        site.stop()


def test_zoom_and_fit_ignore_a_wild_fix(page, site):
    site.fix(0x1001, 5.0, 5.0)
    site.fix(0x1002, 180.0, -60.0)  # one wild fix far outside the hall
    site.open(page)
    spread = anchor_spread(page)
    mapbox = page.locator("#map").bounding_box()
    # Fitted to the anchors and zones: the hall fills the map's width or height.
    assert spread[0] > 0.6 * mapbox["width"] or spread[1] > 0.6 * mapbox["height"]
    fitted = pixels_per_metre(page)
    click(page, "#zoom-in")
    click(page, "#zoom-in")
    assert pixels_per_metre(page) == pytest.approx(fitted * 2.25, rel=0.01)
    page.mouse.move(mapbox["x"] + mapbox["width"] / 2, mapbox["y"] + mapbox["height"] / 2)
    page.mouse.wheel(0, 300)  # away: out
    settle(page)
    zoomed_out = pixels_per_metre(page)
    assert zoomed_out < fitted * 2.25 * 0.7
    # New fixes leave the view the operator chose.
    site.fix(0x1001, 6.0, 5.0)
    site.shown(page)
    assert pixels_per_metre(page) == pytest.approx(zoomed_out, rel=0.01)
    click(page, "#fit")
    assert pixels_per_metre(page) == pytest.approx(fitted, rel=0.01)
    assert anchor_spread(page) == pytest.approx(spread, abs=1)


def test_drag_pans_and_fit_returns(page, site):
    site.open(page)
    anchor = page.locator('.anchor[data-address="0A01"] polygon')
    before = centre(anchor)
    box = page.locator("#map").bounding_box()
    start = (box["x"] + box["width"] / 2, box["y"] + box["height"] / 2)
    page.mouse.move(*start)
    page.mouse.down()
    page.mouse.move(start[0] + 30, start[1] + 10, steps=5)
    page.mouse.move(start[0] + 60, start[1] + 20, steps=5)
    page.mouse.up()
    settle(page)
    after = centre(anchor)
    assert (after[0] - before[0], after[1] - before[1]) == pytest.approx((60, 20), abs=1)
    click(page, "#fit")
    assert centre(anchor) == pytest.approx(before, abs=1)


def test_floor_plan_under_the_map_in_site_coordinates(page, site):
    loaded = []
    page.on("response", lambda r: loaded.append((r.url, r.status)) if "/floor-plan" in r.url
            else None)
    site.state.set_floor_plan(FloorPlan(FLOOR_SVG, (0.0, 0.0, 20.0, 12.0)))
    site.open(page)
    image = page.locator(".floor image")
    page.locator('.floor image[visibility="visible"]').wait_for()
    box = image.bounding_box()
    left, top = centre(page.locator('.anchor[data-address="0A04"] polygon'))
    right, bottom = centre(page.locator('.anchor[data-address="0A02"] polygon'))
    assert (box["x"], box["y"]) == pytest.approx((left, top), abs=1.5)
    assert (box["x"] + box["width"], box["y"] + box["height"]) == pytest.approx(
        (right, bottom), abs=1.5)
    assert wait_for(lambda: loaded, timeout=5) and loaded[0][1] == 200
    # Drawn beneath the zones and tags.
    assert page.locator("#map > g").first.get_attribute("class") == "floor"


def test_zones_with_occupancy_entries_and_exits(page, site):
    site.state.set_tag_names({0x1001: "forklift 1"})
    site.fix(0x1001, 3.0, 3.0)
    site.open(page)
    assert page.locator(".zone").count() == 2
    assert page.locator('.zone[data-zone="bay"] text').text_content() == "bay"
    site.state.add_zone_event({"event": "enter", "zone": "bay", "tag": "1001", "time": 100.5,
                               "x": 3.0, "y": 3.0})
    page.locator('.zone.occupied[data-zone="bay"]').wait_for()
    assert page.locator('.zone[data-zone="bay"] text').text_content() == "bay \u00b7 1"
    row = page.locator('#zones tr[data-zone="bay"] td')
    assert [c.text_content() for c in row.all()] == ["bay", "forklift 1", "1", "0"]
    site.state.add_zone_event({"event": "exit", "zone": "bay", "tag": "1001", "time": 104.0,
                               "x": 7.4, "y": 3.0})
    page.locator('#events li[data-event="exit"]').wait_for()
    assert [li.text_content() for li in page.locator("#events li").all()] == [
        "104.0 s forklift 1 left bay", "100.5 s forklift 1 entered bay"]
    assert [c.text_content() for c in row.all()] == ["bay", "\u2013", "1", "1"]
    assert page.locator('.zone.occupied').count() == 0
    assert page.locator('#tags tr[data-address="1001"] td').nth(2).text_content() == "\u2013"


def test_legend(page, site):
    site.open(page)
    items = [li.text_content() for li in page.locator("#legend li").all()]
    assert {"anchor", "sd under 5 cm", "sd over 15 cm", "stale: no fix lately"} <= set(items)
    assert page.locator("#legend").is_visible()
    # The legend's ring swatch is the colour a good tag's ring is drawn in.
    swatch = page.locator("#legend .key-ring.q-good")
    assert swatch.evaluate("k => getComputedStyle(k).borderTopColor") == GOOD


def test_names_last_seen_stale_and_removal(page, site):
    site.state.set_tag_names({0x1001: "forklift 1"})
    site.fix(0x1001, 4.0, 4.0)
    site.fix(0x1002, 8.0, 4.0)
    site.open(page)
    assert page.locator('.tag[data-address="1001"] text').text_content() == "forklift 1"
    assert page.locator('.tag[data-address="1002"] text').text_content() == "1002"
    row = page.locator('#tags tr[data-address="1001"]')
    assert row.locator("td").first.text_content() == "forklift 1"
    site.clock.now += 2.0
    site.fix(0x1002, 8.5, 4.0)
    row.locator('td:text-is("2 s ago")').wait_for()
    site.clock.now += 1.5  # 1001 silent 3.5 s, past stale_after
    page.locator('.tag.stale[data-address="1001"]').wait_for()
    assert fill(page.locator('.tag[data-address="1001"] .marker')) == GREY
    assert row.get_attribute("class") == "stale"
    assert fill(page.locator('.tag[data-address="1002"] .marker')) != GREY
    site.clock.now += 7.0  # silent 10.5 s: past the tag timeout
    page.locator('.tag[data-address="1001"]').wait_for(state="detached")
    assert row.count() == 0
    assert page.locator("#tag-count").text_content() == "1"


def test_watchdog_within_three_seconds_of_a_stopped_feed(page, site):
    stop = threading.Event()

    def feed():
        step = 0
        while not stop.wait(0.1):
            step += 1
            site.clock.now += 0.1
            site.fix(0x1001, 5 + step % 20 * 0.1, 5.0)
    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        page.goto(site.server.url)
        page.locator('#status[data-state="live"]').wait_for()
        page.wait_for_timeout(500)
        assert page.locator("#status").text_content() == "live"
    finally:
        stop.set()
        feeder.join()
    stopped = time.monotonic()
    page.locator('#status[data-state="stalled"]').wait_for(timeout=5000)
    assert time.monotonic() - stopped < 3.0
    assert page.locator("#status").text_content() in ("no data for 2 s", "no data for 3 s")
    site.fix(0x1001, 5.0, 5.0)
    page.locator('#status[data-state="live"]').wait_for()
    site.state.end_feed()
    page.locator('#status[data-state="ended"]').wait_for()
    assert page.locator("#status").text_content() == "replay ended"


def test_watchdog_sees_a_frozen_server(desktop):
    process = subprocess.Popen([sys.executable, str(FEEDER)], stdout=subprocess.PIPE, text=True)
    try:
        url = process.stdout.readline().strip()
        desktop.goto(url)
        desktop.locator('#status[data-state="live"]').wait_for()
        process.send_signal(signal.SIGSTOP)
        stopped = time.monotonic()
        try:
            desktop.locator('#status[data-state="stalled"]').wait_for(timeout=5000)
            assert time.monotonic() - stopped < 3.0
            assert desktop.locator("#status").text_content().startswith("no data for ")
        finally:
            process.send_signal(signal.SIGCONT)
        desktop.locator('#status[data-state="live"]').wait_for()
    finally:
        process.kill()
        process.wait()
        process.stdout.close()


def test_time_of_day_for_a_live_session(page):
    now = 1796829229.3
    site = Site(clock_kind="wall", now=now)
    try:
        site.fix(0x1001, 4.0, 4.0)
        site.state.add_zone_event({"event": "enter", "zone": "bay", "tag": "1001",
                                   "time": now - 65})
        site.open(page)
        expected = datetime.fromtimestamp(now, timezone.utc).strftime("%H:%M:%S")
        assert page.locator("#clock").text_content() == expected
        earlier = datetime.fromtimestamp(now - 65, timezone.utc).strftime("%H:%M:%S")
        assert page.locator("#events li time").text_content() == earlier
        assert page.locator('#tags tr[data-address="1001"] td').nth(1).text_content() == "0 s ago"
    finally:
        site.stop()


def test_labelled_counters(page, site):
    site.state.set_tag_names({0x1001: "forklift 1"})
    site.state.set_counters({"frames": 882, "too_few": {"1001": 3, "1002": 1},
                             "skipped": {"bad_hex": 2}},
                            labels={"too_few": "too few ranges", "frames": "frames read"})
    site.open(page)
    rows = page.locator("#counters tr")
    rows.first.wait_for()
    texts = [" ".join(c.text_content() for c in row.locator("th, td").all())
             for row in rows.all()]
    assert texts[:6] == ["frames read 882", "too few ranges", "tag forklift 1 (1001) 3",
                         "tag 1002 1", "skipped", "bad hex 2"]
    assert any(text.startswith("map dropped updates ") for text in texts)


def test_anchor_health(page, site):
    site.fix(0x1001, 4.0, 4.0, used=(0, 1, 2))
    site.clock.now += 4.0
    site.fix(0x1001, 4.0, 4.0, used=(0, 1))
    site.state.anchor_heard(0x0A03, site.clock.now - 1.0)
    site.open(page)
    cells = {row.get_attribute("data-address"): [c.text_content() for c in row.locator("td").all()]
             for row in page.locator("#anchors tbody tr").all()}
    assert cells == {"0A01": ["0A01", "0 s ago", "2", "100 %"],
                     "0A02": ["0A02", "0 s ago", "2", "100 %"],
                     "0A03": ["0A03", "1 s ago", "1", "50 %"],
                     "0A04": ["0A04", "never", "0", "0 %"]}
    assert page.locator('#anchors tr[data-address="0A04"]').get_attribute("class") == "quiet"
    assert page.locator('.anchor.quiet').count() == 1


def test_click_a_tag_to_follow_it(page, site):
    site.fix(0x1001, 4.0, 4.0)
    site.fix(0x1002, 16.0, 8.0)
    site.open(page)
    page.locator('.tag[data-address="1002"] .marker').click()
    page.locator('body[data-following="1002"]').wait_for()
    settle(page)
    assert page.locator("#follow-name").text_content() == "1002"
    box = page.locator("#map").bounding_box()
    middle = (box["x"] + box["width"] / 2, box["y"] + box["height"] / 2)
    assert centre(page.locator('.tag[data-address="1002"] .marker')) == pytest.approx(middle, abs=1)
    site.fix(0x1002, 2.0, 10.0)
    site.shown(page)
    assert centre(page.locator('.tag[data-address="1002"] .marker')) == pytest.approx(middle, abs=1)
    click(page, "#unfollow")
    assert page.locator("body").get_attribute("data-following") is None
    assert page.locator("#following").is_hidden()


def test_toggles_for_trails_and_labels(page, site):
    for step in range(5):
        site.fix(0x1001, 4.0 + step, 4.0 + step % 2)
    site.open(page)
    trail = page.locator('.tag[data-address="1001"] .trail')
    label = page.locator('.tag[data-address="1001"] text')
    assert trail.is_visible() and label.is_visible()
    click(page, "#trails")
    assert trail.is_hidden() and label.is_visible()
    assert page.locator("#trails").get_attribute("aria-pressed") == "false"
    click(page, "#labels")
    assert label.is_hidden()
    click(page, "#trails")
    assert trail.is_visible()


def test_quality_shown_at_real_standard_deviations(page, site):
    site.fix(0x1001, 4.0, 4.0, sd=0.03)
    site.fix(0x1002, 8.0, 4.0, sd=0.09)
    site.fix(0x1003, 12.0, 4.0, sd=float("inf"))
    site.fix(0x1004, 16.0, 4.0, sd=2.0)
    site.open(page)

    def ring(tag):
        return page.locator(f'.tag[data-address="{tag}"] .ring')
    # A 3 cm sd is a fraction of a pixel to scale: the ring's colour tells.
    assert ring("1001").evaluate("r => getComputedStyle(r).stroke") == GOOD
    assert ring("1001").is_visible()
    assert float(ring("1001").get_attribute("r")) > float(
        page.locator('.tag[data-address="1001"] .marker').get_attribute("r"))
    assert ring("1002").get_attribute("class") == "ring q-fair"
    assert ring("1003").get_attribute("class") == "ring q-unknown"
    # A large sd is drawn to scale as well.
    quality = page.locator('.tag[data-address="1004"] .quality')
    assert quality.get_attribute("visibility") == "visible"
    assert float(quality.get_attribute("r")) == pytest.approx(2.0 * pixels_per_metre(page),
                                                              rel=0.02)
    assert page.locator('.tag[data-address="1001"] .quality').get_attribute(
        "visibility") == "hidden"


def test_table_updated_in_place(page, site):
    site.fix(0x1001, 4.0, 4.0)
    site.fix(0x1002, 8.0, 4.0)
    site.open(page)
    row = page.locator('#tags tr[data-address="1001"]')
    row.evaluate("r => { r.qzMark = 'kept'; }")
    site.fix(0x1001, 5.25, 4.0)
    site.fix(0x1003, 9.0, 4.0)
    row.locator('td:text-is("5.25")').wait_for()
    assert row.evaluate("r => r.qzMark") == "kept"
    assert [r.get_attribute("data-address") for r in page.locator("#tags tbody tr").all()] == [
        "1001", "1002", "1003"]


def test_hostile_name_refused_allowed_name_served(page):
    site = Site(allow_hosts=[ALLOWED])
    try:
        port = site.server.port
        response = page.goto(f"http://{HOSTILE}:{port}/")
        assert response.status == 403 and "unexpected Host" in page.content()
        assert page.locator("#map").count() == 0
        page.goto(f"http://{ALLOWED}:{port}/")
        page.locator('#status[data-state="waiting"]').wait_for()
        assert page.locator(".anchor").count() == 4
    finally:
        site.stop()


def test_page_makes_no_request_outside_the_server(desktop, site):
    requests, sockets, console = [], [], []
    desktop.on("request", lambda request: requests.append(request.url))
    desktop.on("websocket", lambda socket: sockets.append(socket.url))
    desktop.on("console", lambda message: console.append(message.text))
    desktop.on("pageerror", lambda error: console.append(f"error: {error}"))
    site.state.set_floor_plan(FloorPlan(FLOOR_SVG, (0.0, 0.0, 20.0, 12.0)))
    site.fix(0x1001, 4.0, 4.0)
    site.open(desktop)
    for button in ("#zoom-in", "#fit", "#trails", "#labels"):
        click(desktop, button)
    desktop.wait_for_timeout(1200)
    origin = site.server.url.rstrip("/")
    assert requests and all(url.startswith(origin + "/") for url in requests), requests
    assert sockets == [origin.replace("http://", "ws://") + "/feed"]
    # The page keeps to its own Content-Security-Policy.
    assert not [text for text in console if "Content Security Policy" in text], console
    assert not [text for text in console if "error" in text.lower()], console


def test_distinct_colours_for_many_tags(desktop, site):
    for i in range(40):
        site.fix(0x2000 + i, 1.0 + i % 7 * 2.5, 1.0 + i // 7 * 2)
    site.open(desktop)
    desktop.locator(".tag").nth(39).wait_for()
    fills = desktop.locator(".tag .marker").evaluate_all(
        "markers => markers.map(m => getComputedStyle(m).fill)")
    assert len(set(fills)) == 40 and GREY not in fills


# -- against `qz-host view` serving the bundled capture ---------------------

@pytest.fixture
def view():
    process = ViewProcess(SAMPLE, "--speed", "3")
    yield process
    process.stop()


def server_state(view):
    return json.loads(get(view.port, "/state.json")[2])


def test_anchors_drawn_at_their_surveyed_places(desktop, view):
    desktop.goto(view.url)
    desktop.locator(".anchor").nth(5).wait_for()
    anchors = server_state(view)["state"]["anchors"]
    scale = pixels_per_metre(desktop)
    origin = centre(desktop.locator(f'.anchor[data-address="{anchors[0]["label"]}"] polygon'))
    for anchor in anchors:
        marker = desktop.locator(f'.anchor[data-address="{anchor["label"]}"]')
        assert marker.locator("text").text_content() == anchor["label"]
        x, y = centre(marker.locator("polygon"))
        # x to the right, y up, to scale.
        assert (x - origin[0]) / scale == pytest.approx(anchor["x"] - anchors[0]["x"], abs=0.15)
        assert (origin[1] - y) / scale == pytest.approx(anchor["y"] - anchors[0]["y"], abs=0.15)


def test_tags_appear_and_move_as_frames_arrive(desktop, view):
    """Also saves a screenshot of the map as a test artefact."""
    desktop.goto(view.url)
    marker = desktop.locator('.tag[data-address="1001"] .marker')
    desktop.locator('.tag[data-address="1002"]').wait_for()
    assert desktop.locator('.tag[data-address="1001"] text').text_content() == "1001"
    first = centre(marker)
    desktop.wait_for_timeout(1000)
    second = centre(marker)
    assert first != second
    # The trail grows behind the tag.
    points, end = desktop.locator('.tag[data-address="1001"]').evaluate(
        "g => [g.querySelector('.trail').getAttribute('points').split(' '),"
        " ['cx', 'cy'].map(k => g.querySelector('.marker').getAttribute(k)).join(',')]")
    assert len(points) > 5 and points[-1] == end
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    desktop.screenshot(path=str(ARTIFACTS / "map.png"))


def test_stale_tag_greys(desktop, tmp_path):
    # Tag 1002 stops reporting 4 s into the capture; 1001 walks on.
    path = cut_capture(tmp_path / "stop.qzcap",
                       lambda t, src, is_anchor: is_anchor or src != 0x1002 or t < 4.0)
    view = ViewProcess(path, "--speed", "4", "--stale", "2")
    try:
        desktop.goto(view.url)
        desktop.locator('.tag[data-address="1002"]').wait_for()
        desktop.wait_for_selector('.tag.stale[data-address="1002"]')
        marker = desktop.locator('.tag[data-address="1002"] .marker')
        assert fill(marker) == GREY
        assert desktop.locator('#tags tr[data-address="1002"]').get_attribute("class") == "stale"
        live = desktop.locator('.tag[data-address="1001"]')
        assert live.get_attribute("class") == "tag"
        assert fill(live.locator(".marker")) != GREY
    finally:
        view.stop()


def js_fixed(value, digits):
    """What JavaScript's toFixed shows: the exact binary value rounded half up."""
    from decimal import ROUND_HALF_UP, Decimal
    return str(Decimal(value).quantize(Decimal(1).scaleb(-digits), rounding=ROUND_HALF_UP))


def test_side_table_matches_the_server_state(desktop):
    view = ViewProcess(SAMPLE, "--speed", "60")
    try:
        desktop.goto(view.url)
        desktop.wait_for_selector('#counters tr[data-counter="frames"] td:text-is("882")')
        desktop.wait_for_timeout(300)
        message = server_state(view)
        state = message["state"]
        shown = {row.get_attribute("data-counter"): row.locator("td").text_content()
                 for row in desktop.locator("#counters tr[data-counter]").all()}
        for name, value in state["counters"].items():
            if isinstance(value, dict):
                for key, count in value.items():
                    assert shown[f"{name}.{key}"] == str(count)
            else:
                assert shown[name] == str(value)
        assert shown["invalid_fixes"] == "0"
        for name in ("ignored_messages", "malformed_messages"):
            assert shown[name] == str(message["server"][name])
        rows = desktop.locator("#tags tbody tr")
        assert rows.count() == len(state["tags"]) == 2
        for row, tag in zip(rows.all(), state["tags"]):
            cells = [cell.text_content() for cell in row.locator("td").all()]
            # (The capture's clock runs on at 60 times after its end.)
            assert re.fullmatch(r"\d+ (s|min) ago", cells.pop(1))
            assert cells == [tag["label"], "\u2013", js_fixed(tag["x"], 2),
                             js_fixed(tag["y"], 2), js_fixed(tag["sd"] * 100, 1),
                             js_fixed(tag["dop"], 2), str(tag["rejected"])]
    finally:
        view.stop()


def test_page_recovers_after_the_server_restarts(desktop):
    view = ViewProcess(SAMPLE, "--speed", "60")
    port = view.port
    desktop.goto(view.url)
    # At 60 times its pace the capture is over in half a second: live, then ended.
    desktop.wait_for_selector('#status:is([data-state="live"], [data-state="ended"])')
    assert view.stop() == 0
    desktop.wait_for_selector('#status[data-state="down"]')
    view = ViewProcess(SAMPLE, "--speed", "60", port=port)
    try:
        desktop.wait_for_selector(
            '#status:is([data-state="live"], [data-state="stalled"], [data-state="ended"])')
        desktop.wait_for_selector('#counters tr[data-counter="frames"] td:text-is("882")')
        assert desktop.locator(".anchor").count() == 6
    finally:
        view.stop()
