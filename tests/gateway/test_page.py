"""The live page of pesmo6d in a real headless Chromium: the daemon runs as a
process against pesmo6-sim indicators, the page is loaded from it, and what
the page shows is read back from its DOM.

Run by ctest (gateway_page); by hand:
  PESMO6D=build/pesmo6d PESMO6_SIM=build/pesmo6-sim python3 -m pytest -q tests/gateway/test_page.py
PESMO6_PAGE_SCREENSHOT=docs/pesmo6d-page.png keeps the screenshot of the page.
"""
import json
import os
import re
import shutil
import tempfile
import time

import pytest

import page_support
from conftest import Sim, loopback
from page_support import CARDS_JS, LAYOUT_JS, Chromium, PageGateway

TOKEN = "page-test-token"

pytestmark = pytest.mark.skipif(page_support.selenium_missing() is not None,
                                reason=str(page_support.selenium_missing()))

# name, pesmo6-sim arguments, the net weight its card must show
STEADY = [
    ("platform", ["serial", "7410", "--weight", "12.5"], "12.50"),
    ("bench", ["serial", "msi3360", "--weight", "250.75", "--tare", "1.5"], "250.75"),
    ("silo", ["serial", "kvt", "--weight", "-3.2", "--motion"], "-3.20"),
]


@pytest.fixture(scope="module")
def live_gateway():
    sims, gw, work = [], None, tempfile.mkdtemp(prefix="pesmo6-page-")
    try:
        address = loopback()
        conv = Sim("converter", "--address", address, "--line", "B=7410", "--weight", "18000",
                   "--script", "stepped", "--decimals", "0")
        sims.append(conv)
        scales = []
        for name, args, _ in STEADY:
            sim = Sim(*args)
            sims.append(sim)
            scales.append({"name": name, "family": args[1], "device": sim.device})
        scales.append({"name": "hopper", "family": "7410", "converter": address, "line": "B"})
        scales.append({"name": "missing", "family": "7410", "device": "/dev/pesmo6-page-no-such-tty"})
        gw = PageGateway(work, scales, token=TOKEN)
        yield gw
    finally:
        if gw:
            gw.stop()
        for s in sims:
            s.stop()
        shutil.rmtree(work, ignore_errors=True)


@pytest.fixture(scope="module")
def browser():
    b = Chromium()
    yield b
    b.close()


def api(gw, path):
    status, _, body = gw.daemon.get(path, headers={"Authorization": "Bearer " + TOKEN})
    assert status == 200, body
    return body


def cards_ready(page, names):
    """Waits until every live card with a weight has plotted points; returns the cards."""
    want = json.dumps(names)
    ready = page.wait_for("""(() => { const w = %s; return w.every((n) => {
        const el = document.querySelector('section.scale[data-scale="' + n + '"]');
        return el && Number(el.querySelector('.plot').dataset.points) > 1; }); })()""" % want, 15)
    cards = {c["name"]: c for c in page.evaluate(CARDS_JS)}
    assert ready, "cards without plotted readings: %s" % cards
    return cards


WEIGHED = [name for name, _, _ in STEADY] + ["hopper"]


def test_cards_show_the_simulators_weights(live_gateway, browser, tmp_path):
    page = browser.open(live_gateway.url + "/?token=" + TOKEN, 1280, 860)
    cards = cards_ready(page, WEIGHED)
    snapshot = {s["name"]: s for s in api(live_gateway, "/api/scales")["scales"]}

    # One card per scale, in the gateway's order.
    order = page.evaluate("Array.from(document.querySelectorAll('section.scale')).map((e) => e.dataset.scale)")
    assert order == list(snapshot), order
    assert page.evaluate(LAYOUT_JS)["link"] == "live"

    for name, args, shown in STEADY:
        card = cards[name]
        assert card["net"] == shown == snapshot[name]["net"].strip(), (card, snapshot[name])
        assert card["unit"] == "kg"
        assert card["error"] is None
        assert card["points"] > 1 and card["line"].count(",") == card["points"], card
        assert re.fullmatch(r"\d+\.\d s ago", card["age"]), card["age"]
        for badge in ("motion", "net_mode", "overload"):
            assert card[badge] == snapshot[name][badge], (name, badge, card, snapshot[name])
    assert cards["silo"]["motion"] is True

    # The hopper fills in steps of a quarter, 2 s apart: the card follows it.
    seen = set()
    deadline = time.monotonic() + 10  # ends once two steps were seen
    while time.monotonic() < deadline and len(seen) < 2:
        seen.add(page.evaluate("document.querySelector('section.scale[data-scale=\"hopper\"] .net').textContent"))
        time.sleep(0.2)
    assert len(seen) >= 2, seen
    assert all(0 <= float(v) <= 18000 for v in seen), seen

    # A scale whose port is missing shows its error and plots nothing.
    missing = page.evaluate(CARDS_JS)[-1]
    assert missing["name"] == "missing"
    assert missing["error"] and missing["points"] == 0, missing
    assert missing["net"] == "—" and missing["age"] == "no reading"

    shot = os.environ.get("PESMO6_PAGE_SCREENSHOT")
    if shot:
        time.sleep(20)  # a kept screenshot shows a longer stretch of the plots
    else:
        shot = str(tmp_path / "page.png")
    page.screenshot(shot)
    with open(shot, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    assert page.errors() == []
    page.close()


def test_small_screen(live_gateway, browser):
    page = browser.open(live_gateway.url + "/?token=" + TOKEN, 360, 740, mobile=True, scale=2)
    cards = cards_ready(page, WEIGHED)
    layout = page.evaluate(LAYOUT_JS)
    assert layout["scroll_width"] <= layout["width"] == 360, layout
    lefts = {round(c["left"]) for c in cards.values()}
    assert len(lefts) == 1, "cards side by side at 360 px: %s" % lefts
    for c in cards.values():
        assert c["right"] <= 360 and c["net_right"] <= c["right"], c
        assert c["net_font_px"] >= 28, c
    assert cards["platform"]["net"] == "12.50"
    assert page.errors() == []
    page.close()


def test_token_is_passed_on(live_gateway, browser):
    page = browser.open(live_gateway.url + "/", 800, 600)
    text = page.wait_for("""(() => { const t = document.getElementById('link').textContent;
                             return t.includes('refused') && t; })()""", 8)
    assert text and "token" in text, text
    assert page.evaluate("document.querySelectorAll('section.scale').length") == 0
    assert page.errors() == []
    page.close()


def test_page_reconnects_after_a_restart(live_gateway, browser):
    page = browser.open(live_gateway.url + "/?token=" + TOKEN, 800, 600)
    cards_ready(page, ["platform"])
    # Every state the connection line goes through, from now on.
    page.evaluate("""window.linkStates = [];
        new MutationObserver(() => linkStates.push(document.getElementById('link').dataset.state))
            .observe(document.getElementById('link'), {attributes: true, childList: true});""")
    live_gateway.restart()
    states = page.wait_for("""(() => { const i = linkStates.indexOf('down');
                              return i >= 0 && linkStates.indexOf('live', i) > i && linkStates; })()""", 15)
    assert states, page.evaluate("linkStates")
    # Readings flow again: the plot gains points from the new daemon.
    count = lambda: int(page.evaluate(
        "document.querySelector('section.scale[data-scale=\"platform\"] .plot').dataset.points"))
    start = count()
    assert page.wait_for("Number(document.querySelector('section.scale[data-scale=\"platform\"] .plot')"
                         ".dataset.points) > %d" % start, 5), (start, count())
    assert page.errors() == []
    page.close()
