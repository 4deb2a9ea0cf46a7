"""Headless Chromium driven by Selenium (Debian's python3-selenium) through
chromedriver (chromium-driver), for the live page's test and its screenshot.

Each Page is a tab of its own; what the page shows is read with the DevTools
protocol's Runtime.evaluate (through chromedriver), which a page's content
security policy cannot refuse, and which awaits promises.
"""
import base64
import os
import shutil
import socket
import tempfile
import time

from conftest import Gateway, config_text, loopback

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-dev-shm-usage", "--hide-scrollbars", "--mute-audio"]


def chromium_path():
    return os.environ.get("CHROMIUM") or shutil.which("chromium") or shutil.which("chromium-browser")


def chromedriver_path():
    return os.environ.get("CHROMEDRIVER") or shutil.which("chromedriver")


def selenium_missing():
    """Why the page test cannot run here, or None."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is missing (Debian package python3-selenium)"
    if not chromium_path():
        return "chromium is missing (Debian package chromium)"
    if not chromedriver_path():
        return "chromedriver is missing (Debian package chromium-driver)"
    return None


class ProtocolError(RuntimeError):
    pass


class Chromium:
    """One headless browser with a fresh profile; close() ends it and removes the profile."""

    def __init__(self, path=None, timeout=20):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        self.profile = tempfile.mkdtemp(prefix="pesmo6-page-")
        self.log_path = os.path.join(self.profile, "chromedriver.log")
        options = webdriver.ChromeOptions()
        options.binary_location = path or chromium_path()
        for flag in FLAGS:
            options.add_argument(flag)
        options.add_argument("--user-data-dir=" + os.path.join(self.profile, "profile"))
        service = Service(chromedriver_path(), log_path=self.log_path)
        self.timeout = timeout
        self.driver = webdriver.Chrome(service=service, options=options)
        self.driver.set_page_load_timeout(timeout)
        self.driver.set_script_timeout(timeout)
        self._blank = self._current = self.driver.current_window_handle

    def output(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()[-4000:]
        except OSError:
            return ""

    def open(self, url, width, height, mobile=False, scale=1):
        """A new tab of the given viewport showing url; returns a Page."""
        from selenium.common.exceptions import WebDriverException

        self.driver.switch_to.new_window("tab")
        self._current = self.driver.current_window_handle
        page = Page(self, self._current)
        try:
            page.call("Emulation.setDeviceMetricsOverride",
                      {"width": width, "height": height, "deviceScaleFactor": scale, "mobile": mobile})
            # Script errors of the page are kept for the test to see.
            page.call("Page.enable")
            page.call("Page.addScriptToEvaluateOnNewDocument", {"source": ERRORS_JS})
            self.driver.get(url)
        except WebDriverException as e:
            raise ProtocolError("navigating to %s: %s\n%s" % (url, e.msg, self.output()))
        if not page.wait_for("location.href !== 'about:blank' && document.readyState === 'complete'"):
            raise ProtocolError("%s did not load" % url)
        return page

    def switch_to(self, handle):
        """Makes the tab the one commands go to (each switch costs a request)."""
        if handle != self._current:
            self.driver.switch_to.window(handle)
            self._current = handle

    def close(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)


class Page:
    def __init__(self, browser, handle):
        self.browser = browser
        self.handle = handle

    def close(self):
        self.browser.switch_to(self.handle)
        self.browser.driver.close()
        self.browser.switch_to(self.browser._blank)

    def call(self, method, params=None):
        """One DevTools command on this tab, through chromedriver."""
        self.browser.switch_to(self.handle)
        return self.browser.driver.execute_cdp_cmd(method, params or {})

    def evaluate(self, expression):
        """The JSON value of a script expression in the page (promises awaited)."""
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            raise ProtocolError("script failed: %s" % result["exceptionDetails"])
        return result["result"].get("value")

    def wait_for(self, expression, timeout=10, interval=0.2):
        """Polls expression until it is truthy; returns its last value either way."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.evaluate(expression)
            if value or time.monotonic() > deadline:
                return value
            time.sleep(interval)

    def errors(self):
        """The page's uncaught script errors and unhandled rejections so far."""
        return self.evaluate("window.pageErrors")

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))


ERRORS_JS = r"""
window.pageErrors = [];
addEventListener("error", (e) => pageErrors.push(String(e.message)));
addEventListener("unhandledrejection", (e) => pageErrors.push(String(e.reason)));
"""

# What the test reads from the page: each card's visible state.
CARDS_JS = r"""
(() => Array.from(document.querySelectorAll("section.scale")).map((el) => {
  const q = (s) => el.querySelector(s);
  const box = el.getBoundingClientRect();
  return {
    name: el.dataset.scale,
    net: q(".net").textContent.trim(),
    unit: q(".unit").textContent.trim(),
    motion: q(".badge.motion").classList.contains("on"),
    net_mode: q(".badge.net").classList.contains("on"),
    overload: q(".badge.overload").classList.contains("on"),
    age: q(".age").textContent.trim(),
    error: q(".error").hidden ? null : q(".error").textContent.trim(),
    points: Number(q(".plot").getAttribute("data-points")),
    line: (q(".plot polyline") || q(".plot path") || {getAttribute: () => ""}).getAttribute("points") || "",
    left: box.left, right: box.right, top: box.top, width: box.width,
    net_right: q(".net").getBoundingClientRect().right,
    net_font_px: parseFloat(getComputedStyle(q(".net")).fontSize),
  };
}))()
"""

LAYOUT_JS = r"""
({width: document.documentElement.clientWidth,
  scroll_width: document.documentElement.scrollWidth,
  link: document.getElementById("link").textContent.trim(),
  title: document.title})
"""


# ---- The daemon, restartable on its address ------------------------------------

def free_port(address):
    with socket.socket() as s:
        s.bind((address, 0))
        return s.getsockname()[1]


class PageGateway:
    """pesmo6d as a process (the suite's Gateway) on a port of its own that
    stays the same across restart(), so an open page can find it again."""

    def __init__(self, work, scales, token=None, name="page-test"):
        self.address = loopback()
        self.port = free_port(self.address)
        self.url = "http://%s:%d" % (self.address, self.port)
        self.work = work
        self.config = os.path.join(work, "pesmo6d.toml")
        http_ = {"listen": "%s:%d" % (self.address, self.port)}
        if token:
            http_["token"] = token
        with open(self.config, "w") as f:
            f.write(config_text(scales, gateway={"name": name, "retry_min_ms": 200}, http_=http_))
        self.starts = 0
        self.start()

    def start(self):
        self.starts += 1
        self.daemon = Gateway(self.config, os.path.join(self.work, "pesmo6d-%d.log" % self.starts))
        assert (self.daemon.host, self.daemon.port) == (self.address, self.port), self.daemon.errors()

    def restart(self):
        self.stop()
        self.start()

    def stop(self):
        self.daemon.stop()
