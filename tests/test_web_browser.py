"""The map page in a real browser: headless Chromium driven by Playwright,
against `qz-host view` serving the bundled capture."""

import json
import os
import shutil
from pathlib import Path

import pytest

pytest.importorskip("websockets", reason="the web extra (websockets) is not installed")
sync_api = pytest.importorskip("playwright.sync_api",
                               reason="Playwright for Python is not installed (pip install playwright)")

from web_captures import SAMPLE, ViewProcess, cut_capture  # noqa: E402
from web_client import get  # noqa: E402

CHROMIUM = os.environ.get("QZ_CHROMIUM") or shutil.which("chromium") or "/usr/bin/chromium"
ARTIFACTS = Path(os.environ.get("QZ_TEST_ARTIFACTS",
                                Path(__file__).resolve().parent.parent / "build" / "test-artifacts"))
VIEWPORT = {"width": 1280, "height": 720}
GREY = "rgb(158, 158, 158)"  # the stale marker's fill


@pytest.fixture(scope="module")
def browser():
    if not os.path.exists(CHROMIUM):
        pytest.skip(f"no Chromium at {CHROMIUM} (apt-get install chromium, or set QZ_CHROMIUM)")
    with sync_api.sync_playwright() as playwright:
        # Playwright's own browser download is not used: Debian's Chromium.
        browser = playwright.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        yield browser
        browser.close()


@pytest.fixture
def page(browser):
    context = browser.new_context(viewport=VIEWPORT)
    page = context.new_page()
    page.set_default_timeout(20000)
    yield page
    context.close()


@pytest.fixture
def view():
    process = ViewProcess(SAMPLE, "--speed", "3")
    yield process
    process.stop()


def server_state(view):
    return json.loads(get(view.port, "/state.json")[2])


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


def test_anchors_drawn_at_their_surveyed_places(page, view):
    page.goto(view.url)
    page.locator(".anchor").nth(5).wait_for()
    anchors = server_state(view)["state"]["anchors"]
    scale = pixels_per_metre(page)
    origin = centre(page.locator(f'.anchor[data-address="{anchors[0]["label"]}"] polygon'))
    for anchor in anchors:
        marker = page.locator(f'.anchor[data-address="{anchor["label"]}"]')
        assert marker.locator("text").text_content() == anchor["label"]
        x, y = centre(marker.locator("polygon"))
        # x to the right, y up, to scale.
        assert (x - origin[0]) / scale == pytest.approx(anchor["x"] - anchors[0]["x"], abs=0.15)
        assert (origin[1] - y) / scale == pytest.approx(anchor["y"] - anchors[0]["y"], abs=0.15)


def test_tags_appear_and_move_as_frames_arrive(page, view):
    """Also saves a screenshot of the map as a test artefact."""
    page.goto(view.url)
    marker = page.locator('.tag[data-address="1001"] .marker')
    page.locator('.tag[data-address="1002"]').wait_for()
    assert page.locator('.tag[data-address="1001"] text').text_content() == "1001"
    first = centre(marker)
    page.wait_for_timeout(1000)
    second = centre(marker)
    assert first != second
    # The trail grows behind the tag.
    points, end = page.locator('.tag[data-address="1001"]').evaluate(
        "g => [g.querySelector('.trail').getAttribute('points').split(' '),"
        " ['cx', 'cy'].map(k => g.querySelector('.marker').getAttribute(k)).join(',')]")
    assert len(points) > 5 and points[-1] == end
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    page.screenshot(path=str(ARTIFACTS / "map.png"))


def test_stale_tag_greys(page, tmp_path):
    # Tag 1002 stops reporting 4 s into the capture; 1001 walks on.
    path = cut_capture(tmp_path / "stop.qzcap",
                       lambda t, src, is_anchor: is_anchor or src != 0x1002 or t < 4.0)
    view = ViewProcess(path, "--speed", "4", "--stale", "2")
    try:
        page.goto(view.url)
        page.locator('.tag[data-address="1002"]').wait_for()
        page.wait_for_selector('.tag.stale[data-address="1002"]')
        marker = page.locator('.tag[data-address="1002"] .marker')
        assert marker.evaluate("m => getComputedStyle(m).fill") == GREY
        assert page.locator('#tags tr[data-address="1002"]').get_attribute("class") == "stale"
        live = page.locator('.tag[data-address="1001"]')
        assert live.get_attribute("class") == "tag"
        assert live.locator(".marker").evaluate("m => getComputedStyle(m).fill") != GREY
    finally:
        view.stop()


def test_side_table_matches_the_server_state(page):
    view = ViewProcess(SAMPLE, "--speed", "60")
    try:
        page.goto(view.url)
        page.wait_for_selector('#counters tr[data-counter="frames"] td:text-is("882")')
        page.wait_for_timeout(300)
        message = server_state(view)
        state = message["state"]
        shown = {row.get_attribute("data-counter"): row.locator("td").text_content()
                 for row in page.locator("#counters tr").all()}
        for name, value in state["counters"].items():
            if isinstance(value, dict):
                for key, count in value.items():
                    assert shown[f"{name}.{key}"] == str(count)
            else:
                assert shown[name] == str(value)
        assert shown["invalid_fixes"] == "0"
        for name in ("ignored_messages", "malformed_messages"):
            assert shown[name] == str(message["server"][name])
        rows = page.locator("#tags tbody tr")
        assert rows.count() == len(state["tags"]) == 2
        for row, tag in zip(rows.all(), state["tags"]):
            cells = [cell.text_content() for cell in row.locator("td").all()]
            assert cells == [tag["label"], f"{tag['time']:.1f}", f"{tag['x']:.2f}", f"{tag['y']:.2f}",
                             f"{tag['sd']:.3f}", f"{tag['dop']:.2f}", str(tag["rejected"])]
    finally:
        view.stop()


def test_page_recovers_after_the_server_restarts(page):
    view = ViewProcess(SAMPLE, "--speed", "60")
    port = view.port
    page.goto(view.url)
    page.wait_for_selector('#status[data-state="live"]')
    assert view.stop() == 0
    page.wait_for_selector('#status[data-state="down"]')
    view = ViewProcess(SAMPLE, "--speed", "60", port=port)
    try:
        page.wait_for_selector('#status[data-state="live"]')
        page.wait_for_selector('#counters tr[data-counter="frames"] td:text-is("882")')
        assert page.locator(".anchor").count() == 6
    finally:
        view.stop()


def test_page_makes_no_request_outside_the_server(page, view):
    requests, sockets, console = [], [], []
    page.on("request", lambda request: requests.append(request.url))
    page.on("websocket", lambda socket: sockets.append(socket.url))
    page.on("console", lambda message: console.append(message.text))
    page.goto(view.url)
    page.locator(".tag").first.wait_for()
    page.wait_for_timeout(1500)
    origin = view.url.rstrip("/")
    assert requests and all(url.startswith(origin + "/") for url in requests), requests
    assert sockets == [origin.replace("http://", "ws://") + "/feed"]
    # The page keeps to its own Content-Security-Policy.
    assert not [text for text in console if "Content Security Policy" in text], console
    assert not [text for text in console if "error" in text.lower()], console


def test_distinct_colours_for_many_tags(page):
    from qz_host.web.server import WebServer
    from qz_host.web.state import MapState
    from qz_host.tracking import TrackFix

    state = MapState(clock=lambda: 1.0)
    state.set_anchors({0x0A01: (0.0, 0.0), 0x0A02: (30.0, 0.0), 0x0A03: (0.0, 30.0)})
    for i in range(40):
        state.add_fix(TrackFix(1.0, 0x2000 + i, 1.0 + i % 7 * 4, 1.0 + i // 7 * 4,
                               0.1, 1.0, (0, 1, 2), 0))
    server = WebServer(state, "127.0.0.1", 0)
    server.start()
    try:
        page.goto(server.url)
        page.locator(".tag").nth(39).wait_for()
        fills = page.locator(".tag .marker").evaluate_all(
            "markers => markers.map(m => getComputedStyle(m).fill)")
        assert len(set(fills)) == 40 and GREY not in fills
    finally:
        server.stop()
