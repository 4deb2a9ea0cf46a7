"""Headless Chromium driven over its DevTools protocol, for the live page's
test and its screenshot.

The protocol runs over a pipe (--remote-debugging-pipe: the browser reads
commands on its descriptor 3 and writes replies and events on 4, each a JSON
text ended by a NUL byte), so no port is opened and no websocket is needed.
"""
import base64
import fcntl
import json
import os
import select
import shutil
import socket
import subprocess
import tempfile
import time

from conftest import Gateway, config_text, loopback

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-dev-shm-usage", "--hide-scrollbars", "--mute-audio"]


def chromium_path():
    return os.environ.get("CHROMIUM") or shutil.which("chromium") or shutil.which("chromium-browser")


def _above(fd, lowest):
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, lowest)
    os.close(fd)
    return moved


class ProtocolError(RuntimeError):
    pass


class Chromium:
    """One headless browser with a fresh profile; close() ends it and removes the profile."""

    def __init__(self, path=None, timeout=20):
        self.profile = tempfile.mkdtemp(prefix="pesmo6-page-")
        self.log = open(os.path.join(self.profile, "chromium.log"), "w+")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        # The browser expects the pipe on descriptors 3 and 4 exactly: bash
        # puts its ends there and execs it (the Debian launcher, a shell
        # script, execs the browser in turn).  The ends move to 10 and up
        # first, so that placing one cannot close the other; dash would not
        # take descriptors above 9.
        to_browser_r, from_browser_w = (_above(to_browser_r, 10), _above(from_browser_w, 10))
        cmd = ["bash", "-c", 'exec "$@" 3<&%d 4>&%d %d<&- %d>&-'
               % (to_browser_r, from_browser_w, to_browser_r, from_browser_w), "sh",
               path or chromium_path(), *FLAGS, "--remote-debugging-pipe",
               "--user-data-dir=" + self.profile, "about:blank"]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log,
                                     pass_fds=(to_browser_r, from_browser_w), start_new_session=True)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buf = b""
        self._next = 0
        self.timeout = timeout
        self.call("Browser.getVersion")

    # ---- protocol ----------------------------------------------------------

    def _send(self, message):
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self._to_browser, data):]

    def _receive(self, deadline):
        while b"\0" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._from_browser], [], [], left)[0]:
                raise ProtocolError("no answer from Chromium in time\n" + self.output())
            chunk = os.read(self._from_browser, 1 << 20)
            if not chunk:
                raise ProtocolError("Chromium closed its pipe\n" + self.output())
            self._buf += chunk
        text, self._buf = self._buf.split(b"\0", 1)
        return json.loads(text)

    def call(self, method, params=None, session=None, timeout=None):
        """Sends one command and returns its result; events met meanwhile are dropped."""
        self._next += 1
        message = {"id": self._next, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        self._send(message)
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            answer = self._receive(deadline)
            if answer.get("id") == self._next:
                if "error" in answer:
                    raise ProtocolError("%s: %s" % (method, answer["error"]))
                return answer.get("result", {})

    def output(self):
        self.log.flush()
        self.log.seek(0)
        return self.log.read()[-4000:]

    def open(self, url, width, height, mobile=False, scale=1):
        """A new tab of the given viewport showing url; returns a Page."""
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        page = Page(self, session, target)
        page.call("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": scale, "mobile": mobile})
        # Script errors of the page are kept for the test to see.
        page.call("Page.enable")
        page.call("Page.addScriptToEvaluateOnNewDocument", {"source": ERRORS_JS})
        result = page.call("Page.navigate", {"url": url})
        if result.get("errorText"):
            raise ProtocolError("navigating to %s: %s" % (url, result["errorText"]))
        if not page.wait_for("location.href !== 'about:blank' && document.readyState === 'complete'"):
            raise ProtocolError("%s did not load" % url)
        return page

    def close(self):
        if self.proc.poll() is None:
            try:
                self.call("Browser.close", timeout=5)
            except (ProtocolError, OSError):
                pass
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, 9)
                self.proc.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)


class Page:
    def __init__(self, browser, session, target):
        self.browser = browser
        self.session = session
        self.target = target

    def close(self):
        self.browser.call("Target.closeTarget", {"targetId": self.target})

    def call(self, method, params=None, timeout=None):
        return self.browser.call(method, params, self.session, timeout)

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
