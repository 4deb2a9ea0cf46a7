"""Fixtures of the gateway suite: pesmo6-sim indicators and converters as
processes, pesmo6d as a process with a configuration written for them, and
small HTTP and Server-Sent Events clients on the standard library."""
import http.client
import itertools
import json
import os
import queue
import signal
import subprocess
import threading
import time
import urllib.parse

import pytest

PESMO6D = os.environ.get("PESMO6D", "build/pesmo6d")
SIM = os.environ.get("PESMO6_SIM", "build/pesmo6-sim")

_addresses = itertools.count(2)


def loopback():
    """A converter address of its own: 127.253.x.y is no other suite's."""
    return "127.253.%d.%d" % (os.getpid() % 250, next(_addresses))


class Sim:
    """pesmo6-sim as a process; its first line tells where it plays."""

    def __init__(self, *args):
        self.args = args
        self.proc = subprocess.Popen([SIM, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.first = self.proc.stdout.readline().strip()
        if not self.first:
            raise RuntimeError("pesmo6-sim did not start: " + self.proc.stderr.read())

    @property
    def device(self):
        assert self.first.startswith("device /dev/pts/"), self.first
        return self.first.split(" ", 1)[1]

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


@pytest.fixture
def sims():
    started = []

    def start(*args):
        s = Sim(*args)
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop()


def toml_value(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, (int, float)):
        return str(v)
    if isinstance(v, list):
        return "[" + ", ".join(toml_value(x) for x in v) + "]"
    return json.dumps(v)


def config_text(scales, gateway=None, http_=None, mqtt=None):
    """A configuration: dicts for the tables, a list of dicts for [[scale]]."""
    out = []
    for name, table in (("gateway", gateway), ("http", http_), ("mqtt", mqtt)):
        if table is None:
            continue
        out.append("[%s]" % name)
        out += ["%s = %s" % (k, toml_value(v)) for k, v in table.items()]
        out.append("")
    for s in scales:
        out.append("[[scale]]")
        out += ["%s = %s" % (k, toml_value(v)) for k, v in s.items()]
        out.append("")
    return "\n".join(out)


class Gateway:
    """pesmo6d as a process, listening on a free loopback port."""

    def __init__(self, path, log_path, wrapper=()):
        self.log_path = log_path
        self.log = open(log_path, "w")
        self.proc = subprocess.Popen([*wrapper, PESMO6D, "--config", str(path)], stdout=subprocess.PIPE,
                                     stderr=self.log, text=True)
        first = self.proc.stdout.readline().strip()
        if not first.startswith("pesmo6d listening on "):
            self.proc.wait(5)
            raise RuntimeError("pesmo6d did not start: %r %s" % (first, self.errors()))
        self.host, port = first.rsplit(" ", 1)[1].rsplit(":", 1)
        self.port = int(port)

    def errors(self):
        self.log.flush()
        with open(self.log_path) as f:
            return f.read()

    def request(self, method, path, body=None, headers=None, timeout=30):
        """(status, headers, body parsed as JSON when it is JSON)."""
        c = http.client.HTTPConnection(self.host, self.port, timeout=timeout)
        try:
            data = body if isinstance(body, (bytes, type(None))) else json.dumps(body).encode()
            h = dict(headers or {})
            if data is not None and "Content-Type" not in h:
                h["Content-Type"] = "application/json"
            c.request(method, path, body=data, headers=h)
            r = c.getresponse()
            raw = r.read()
            hdrs = {k.lower(): v for k, v in r.getheaders()}
            if hdrs.get("content-type", "").startswith("application/json"):
                return r.status, hdrs, json.loads(raw)
            return r.status, hdrs, raw.decode("utf-8", "replace")
        finally:
            c.close()

    def get(self, path, **kw):
        return self.request("GET", path, **kw)

    def scale(self, name, **kw):
        status, _, body = self.get("/api/scales/" + name, **kw)
        assert status == 200, body
        return body

    def wait_for(self, name, check, timeout=10, **kw):
        """Polls a scale until check(scale) is true; returns that scale."""
        deadline = time.monotonic() + timeout
        s = None
        while time.monotonic() < deadline:
            s = self.scale(name, **kw)
            if check(s):
                return s
            time.sleep(0.05)
        raise AssertionError("scale %s never matched: %s\n%s" % (name, s, self.errors()[-3000:]))

    def wait_ready(self, timeout=30):
        """Polls /healthz until "ok"; every answer before must be "starting"."""
        deadline = time.monotonic() + timeout
        while True:
            status, _, body = self.get("/healthz")
            if status == 200 and body["status"] == "ok":
                return body
            assert status == 503 and body["status"] == "starting", (status, body)
            assert time.monotonic() < deadline, "never ready:\n" + self.errors()[-3000:]
            time.sleep(0.05)

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.log.close()
        return self.proc.returncode


@pytest.fixture
def gateway(tmp_path):
    started = []

    def start(scales, wrapper=(), **tables):
        path = tmp_path / ("gw%d.toml" % len(started))
        path.write_text(config_text(scales, **tables))
        g = Gateway(path, tmp_path / ("gw%d.log" % len(started)), wrapper)
        started.append(g)
        return g

    yield start
    for g in started:
        g.stop()


class Events:
    """An /api/events client: events parsed on a thread into a queue."""

    def __init__(self, gw, query=""):
        self.conn = http.client.HTTPConnection(gw.host, gw.port, timeout=30)
        self.conn.request("GET", "/api/events" + query)
        self.response = self.conn.getresponse()
        self.status = self.response.status
        self.events = queue.Queue()
        self.comments = []
        if self.status == 200:
            self.thread = threading.Thread(target=self._read, daemon=True)
            self.thread.start()
            # The stream's opening comment: from here on nothing is missed.
            deadline = time.monotonic() + 5
            while "subscribed" not in self.comments and time.monotonic() < deadline:
                time.sleep(0.01)
            assert "subscribed" in self.comments

    def _read(self):
        kind, data = None, None
        try:
            for raw in self.response:
                line = raw.decode().rstrip("\n")
                if line.startswith(":"):
                    self.comments.append(line[1:].strip())
                elif line.startswith("event: "):
                    kind = line[7:]
                elif line.startswith("data: "):
                    data = json.loads(line[6:])
                elif line == "" and kind is not None:
                    self.events.put((time.monotonic(), kind, data))
                    kind, data = None, None
        except (OSError, ValueError, AttributeError, http.client.HTTPException):
            pass

    def collect(self, seconds):
        """Every event that arrives within `seconds`."""
        out = []
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return out
            try:
                out.append(self.events.get(timeout=left))
            except queue.Empty:
                return out

    def close(self):
        try:
            self.conn.sock.shutdown(2)
        except OSError:
            pass
        self.conn.close()
