"""pesmo6d attacked: hostile and careless clients against a gateway reading
live scales on pseudo-terminals.  Each attack measures the live scales'
readings per second while it runs and fails when they drop below 90% of
the rate measured before it.

ctest runs it with short bounds (gateway suite); `make gateway-attack` runs
it with ATTACK_SECONDS=20 for longer attacks.
"""
import os
import re
import signal
import socket
import threading
import time

import pytest

from conftest import Events, loopback

ATTACK_SECONDS = float(os.environ.get("ATTACK_SECONDS", "3"))
TOKEN = "attack-token-0123456789"
OPERATOR = "attack-operator-0123456789"
AUTH = {"Authorization": "Bearer " + TOKEN}
OPERATE = {"Authorization": "Bearer " + OPERATOR}


class FakeConverter:
    """A converter's command port (8880) that records when each command
    arrives; `mute` accepts and never answers, else it answers like the
    converter after `delay` seconds."""

    def __init__(self, address, mute=True, delay=0.0):
        self.mute, self.delay = mute, delay
        self.arrivals = []  # (monotonic time, bytes)
        self.lock = threading.Lock()
        self.server = socket.create_server((address, 8880))
        self.conns = []
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.closed:
            try:
                c, _ = self.server.accept()
            except OSError:
                return
            self.conns.append(c)
            threading.Thread(target=self._serve, args=(c,), daemon=True).start()

    def _serve(self, c):
        data = b""
        try:
            while b"\r" not in data:
                got = c.recv(64)
                if not got:
                    return
                data += got
            with self.lock:
                self.arrivals.append((time.monotonic(), data.strip()))
            if not self.mute:
                time.sleep(self.delay)
                c.sendall(data.strip()[:2] + b"0 OK\n\r")
            while c.recv(64):
                pass
        except OSError:
            pass

    def commands(self):
        with self.lock:
            return list(self.arrivals)

    def close(self):
        self.closed = True
        self.server.close()
        for c in self.conns:
            c.close()


MEMORY_MIB = 64
THREADS = 16


def process(gw):
    """(resident MiB, threads, open descriptors) of the gateway."""
    with open("/proc/%d/status" % gw.proc.pid) as f:
        status = f.read()
    rss = int(re.search(r"VmRSS:\s+(\d+)", status).group(1)) / 1024
    threads = int(re.search(r"Threads:\s+(\d+)", status).group(1))
    return rss, threads, len(os.listdir("/proc/%d/fd" % gw.proc.pid))


def sanitized(gw):
    """A build with AddressSanitizer, whose shadow memory and quarantine are no one's growth."""
    with open("/proc/%d/maps" % gw.proc.pid) as f:
        return "libasan" in f.read()


def floor(gw):
    """The share of the baseline rate an attack must leave.  In the suite, a
    third: the faults these attacks found stopped the readings (0 %) or cut
    them to 23 %, and a suite on a loaded two-core machine (make stress)
    measured 44 % to 83 % where an idle one measures 96-100 %.
    `make gateway-attack` (ATTACK_RATE_FLOOR=0.9, longer attacks) holds the
    idle machine's figure; under the sanitizers, where every byte the attack
    makes the gateway handle costs several times as much, half is the most it
    asks."""
    share = float(os.environ.get("ATTACK_RATE_FLOOR", str(1 / 3)))
    return min(share, 0.5) if sanitized(gw) else share


def within_bounds(gw, descriptors=None):
    rss, threads, fds = process(gw)
    memory = MEMORY_MIB * (4 if sanitized(gw) else 1)
    assert rss < memory and threads <= THREADS, (rss, threads, fds)
    if descriptors is not None:
        assert fds <= descriptors, fds


def connect(gw, source="127.0.0.1", timeout=10):
    """A raw connection to the gateway from a loopback address of our choice."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect((gw.host, gw.port))
    return s


def answer(s):
    """The status of what the gateway answered on S (None: closed unanswered)."""
    data = b""
    try:
        while b"\r\n" not in data:
            got = s.recv(4096)
            if not got:
                break
            data += got
    except OSError:
        pass
    m = re.match(rb"HTTP/1\.[01] (\d+)", data)
    return int(m.group(1)) if m else None


def readings(gw, names):
    status, _, body = gw.get("/api/scales", headers=AUTH)
    assert status == 200, body
    return sum(s["readings"] for s in body["scales"] if s["name"] in names), time.monotonic()


def rate(gw, names, seconds):
    n0, t0 = readings(gw, names)
    time.sleep(seconds)
    n1, t1 = readings(gw, names)
    return (n1 - n0) / (t1 - t0)


@pytest.fixture
def live(sims, gateway):
    """Two live scales on pseudo-terminals (10 frames/s each) and a starter
    for a gateway reading them beside whatever else a test needs."""

    def start(extra_scales=(), gateway_table=None, http_table=None):
        a, b = sims("serial", "7410", "--weight", "1"), sims("serial", "7410", "--weight", "2")
        g = {"name": "attack", "retry_min_ms": 100, "retry_max_ms": 400}
        g.update(gateway_table or {})
        h = {"listen": "127.0.0.1:0", "token": TOKEN, "operator_token": OPERATOR}
        h.update(http_table or {})
        gw = gateway([{"name": "a", "family": "7410", "device": a.device},
                      {"name": "b", "family": "7410", "device": b.device}, *extra_scales],
                     gateway=g, http_=h)
        gw.wait_ready()
        for n in ("a", "b"):
            gw.wait_for(n, lambda s: s["readings"] >= 3, headers=AUTH)
        gw.baseline = rate(gw, ("a", "b"), 2.0)
        assert gw.baseline > 5, gw.baseline  # two scales of 10 frames a second, give or take a busy machine
        return gw

    return start


def attacker():
    """The calling thread yields the cores: on a 2-core machine the suite's
    own attackers would otherwise take the time the gateway is measured by
    (a real attacker runs on another machine)."""
    os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), 10)


def in_threads(n, fn):
    """Runs fn(k) for k in range(n) at once, as attackers; their results in order."""
    out = [None] * n

    def run(k):
        attacker()
        try:
            out[k] = fn(k)
        except OSError as e:  # the gateway let the connection go
            out[k] = e

    threads = [threading.Thread(target=run, args=(k,)) for k in range(n)]
    for t in threads:
        t.start()
    return threads, out


def test_mute_converter_never_stalls_the_scales_nor_acts_late(live):
    addr = loopback()
    fake = FakeConverter(addr, mute=True)
    try:
        gw = live([{"name": "gate", "family": "7410", "converter": addr, "line": "A", "mode": "on-demand"}],
                  gateway_table={"command_timeout_ms": 3000})
        path = "/api/converters/%s/outputs" % addr
        answered = []

        def post(k):
            t0 = time.monotonic()
            if k % 3 == 2:
                r = gw.get("/api/converters/%s/inputs" % addr, headers=AUTH, timeout=30)
            else:
                r = gw.request("POST", path, {"bit": k % 8, "state": True}, headers=OPERATE, timeout=30)
            answered.append((time.monotonic(), r[0], r[2]))
            return r, time.monotonic() - t0

        threads, results = in_threads(6, post)
        # While they wait, a command holds no library thread: readings go on
        # and health tells which converter is busy.
        time.sleep(0.3)
        status, _, health = gw.get("/healthz")
        assert status == 200 and health["held_by"] is None, health
        lane = [c for c in health["converters"] if c["converter"] == addr][0]
        assert lane["running"] is not None and lane["queued"] >= 1, lane
        during = rate(gw, ("a", "b"), 2.0)
        for t in threads:
            t.join()
        assert during >= floor(gw) * gw.baseline, (during, gw.baseline)
        for (status, _, body), took in results:
            assert status == 504 and body["error"] == "converter timed out", body
            assert took < 3 + 3, took
        time.sleep(1.0)  # anything late would arrive now
        arrivals = [t for t, _ in fake.commands()]
        sent = sorted(t for t, _, body in answered if body["sent"])
        # Each command that went out went out before its client's answer;
        # the rest never went out at all.
        assert len(arrivals) == len(sent) >= 1, (arrivals, answered)
        assert all(a < s for a, s in zip(sorted(arrivals), sent)), (arrivals, sent)
        assert rate(gw, ("a", "b"), 2.0) >= floor(gw) * gw.baseline
    finally:
        fake.close()


def test_stop_drops_queued_commands(live):
    addr = loopback()
    fake = FakeConverter(addr, mute=True)
    try:
        gw = live([{"name": "gate", "family": "7410", "converter": addr, "line": "A", "mode": "on-demand"}],
                  gateway_table={"command_timeout_ms": 20000})
        path = "/api/converters/%s/outputs" % addr
        threads, results = in_threads(
            4, lambda k: gw.request("POST", path, {"value": k}, headers=OPERATE, timeout=30))
        deadline = time.monotonic() + 5
        while not fake.commands() and time.monotonic() < deadline:
            time.sleep(0.02)
        assert len(fake.commands()) == 1
        t = time.monotonic()
        gw.proc.send_signal(signal.SIGTERM)
        assert gw.proc.wait(10) == 0
        stopped = time.monotonic()
        assert stopped - t < 3, stopped - t
        for th in threads:
            th.join()
        time.sleep(0.5)
        # One command was out when the signal came; none went out after.
        assert len(fake.commands()) == 1 and fake.commands()[0][0] < t
        for r in results:
            assert isinstance(r, OSError) or r[0] == 503, r
    finally:
        fake.close()


def test_header_and_body_bombs(live):
    gw = live()
    line = b"X-Filler: " + b"x" * 1000 + b"\r\n"

    def header_bomb(k):
        s = connect(gw)
        sent = 0
        try:
            s.sendall(b"GET /api/scales HTTP/1.1\r\nHost: x\r\n")
            while sent < 20000:  # 20 MB offered; the gateway stops reading long before
                s.sendall(line * 100)
                sent += 100
        except OSError:
            pass
        status = answer(s)
        s.close()
        return status, sent

    def chunked_bomb(k):
        s = connect(gw)
        chunk = b"%x\r\n%s\r\n" % (65536, b"7" * 65536)
        sent = 0
        try:
            s.sendall(b"POST /api/converters/127.0.0.9/outputs HTTP/1.1\r\nHost: x\r\n"
                      b"Authorization: Bearer " + OPERATOR.encode() + b"\r\n"
                      b"Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n")
            while sent < 400 * 16:  # 400 MiB offered
                s.sendall(chunk)
                sent += 1
        except OSError:
            pass
        status = answer(s)
        s.close()
        return status, sent

    t0 = time.monotonic()
    threads, results = in_threads(6, lambda k: header_bomb(k) if k < 4 else chunked_bomb(k))
    during = rate(gw, ("a", "b"), max(2.0, ATTACK_SECONDS / 2))
    for t in threads:
        t.join()
    assert time.monotonic() - t0 < 30
    assert during >= floor(gw) * gw.baseline, (during, gw.baseline)
    within_bounds(gw)
    for k, (status, sent) in enumerate(results):
        # Refused (431 for the header block, 413 for the body), or cut, long before the end.
        assert status in ((431, 413, None) if k < 4 else (413, None)), (k, status)
        assert sent < (20000 if k < 4 else 400 * 16), (k, sent)
    # A body beyond max_body_bytes is 413 also when chunked, and answered at once.
    s = connect(gw)
    s.sendall(b"POST /api/converters/127.0.0.9/outputs HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
              OPERATOR.encode() + b"\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n" +
              b"1400\r\n" + b" " * 5120 + b"\r\n0\r\n\r\n")
    assert answer(s) == 413
    s.close()
    assert gw.get("/healthz")[0] == 200


def test_slow_and_idle_connections(live):
    # Small bounds keep the attack cheap: 12 connections per address.
    gw = live(http_table={"max_connections": 100, "max_connections_per_address": 12, "request_timeout_ms": 2000})
    sources = ["127.0.%d.%d" % (os.getpid() % 200 + 2, k) for k in range(2, 8)]
    socks, refused = [], 0
    for src in sources:  # 6 addresses x 14: beyond both limits
        for _ in range(14):
            try:
                s = connect(gw, src, timeout=2)
                s.sendall(b"GET /api/scales HTTP/1.1\r\n")
                socks.append(s)
            except OSError:
                refused += 1
    stop = threading.Event()

    def drip():
        # One byte of a header every 0.5 s on every connection still open.
        attacker()
        while not stop.is_set():
            for s in socks:
                try:
                    s.send(b"X")
                except OSError:
                    pass
            stop.wait(0.5)

    dripper = threading.Thread(target=drip)
    dripper.start()
    try:
        # The probe comes from an address of its own: the others' limits are not its.
        t = time.monotonic()
        status, _, body = gw.get("/healthz", timeout=5)
        assert status == 200 and time.monotonic() - t < 1, body
        during = rate(gw, ("a", "b"), max(2.5, ATTACK_SECONDS))
        assert during >= floor(gw) * gw.baseline, (during, gw.baseline)
        within_bounds(gw)
        # Past request_timeout_ms every dripping connection was closed.
        time.sleep(0.5)
        def closed(s):
            s.settimeout(0.1)
            try:
                while s.recv(1024):
                    pass
                return True
            except socket.timeout:
                return False
            except OSError:
                return True

        assert all(closed(s) for s in socks)
        _, _, metrics = gw.get("/metrics", headers=AUTH)
        cut = int(re.search(r"pesmo6d_http_requests_cut_total (\d+)", metrics).group(1))
        assert cut >= 6 * 12, cut
    finally:
        stop.set()
        dripper.join()
        for s in socks:
            s.close()


def test_sigterm_with_dripping_clients_and_a_stable_read(live):
    gw = live(http_table={"request_timeout_ms": 60000})
    socks = []
    for _ in range(8):
        s = connect(gw)
        s.sendall(b"GET /api/scales HTTP/1.1\r\nX: ")
        socks.append(s)
    threads, results = in_threads(
        3, lambda k: gw.get("/api/scales/a/stable?count=100&limit_s=30", headers=AUTH, timeout=30))
    deadline = time.monotonic() + 5
    while True:  # health tells what holds the library thread
        status, _, health = gw.get("/healthz")
        if health["held_by"] is not None or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    assert status == 200 and health["held_by"] == "stable read of a" and health["held_s"] >= 0, health
    t = time.monotonic()
    gw.proc.send_signal(signal.SIGTERM)
    assert gw.proc.wait(10) == 0
    assert time.monotonic() - t < 5, time.monotonic() - t
    for th in threads:
        th.join()
    for r in results:
        assert isinstance(r, OSError) or r[0] == 503, r
    for s in socks:
        s.close()


def test_descriptor_flood_under_a_low_limit(sims, gateway):
    # 256 open files: connections get what the scales leave.
    a, b = sims("serial", "7410", "--weight", "1"), sims("serial", "7410", "--weight", "2")
    gw = gateway([{"name": "a", "family": "7410", "device": a.device},
                  {"name": "b", "family": "7410", "device": b.device}],
                 wrapper=("prlimit", "--nofile=256:256", "--"),
                 gateway={"name": "fd", "retry_min_ms": 100, "retry_max_ms": 400},
                 http_={"listen": "127.0.0.1:0", "token": TOKEN, "max_connections_per_address": 1000,
                        "request_timeout_ms": 30000})
    gw.wait_ready()
    for n in ("a", "b"):
        gw.wait_for(n, lambda s: s["readings"] >= 3, headers=AUTH)
    # The flood takes every connection the gateway gives: the readings are
    # counted on an event stream opened before it.
    events = Events(gw, "?token=" + TOKEN)
    baseline = len(events.collect(2.0)) / 2.0
    socks, failed = [], 0
    while len(socks) < 400 and failed < 3:  # until the backlog is full too
        try:
            socks.append(connect(gw, timeout=0.3))
            failed = 0
        except OSError:
            failed += 1
    assert len(socks) > 256, len(socks)
    try:
        seconds = max(2.0, ATTACK_SECONDS)
        during = len([e for e in events.collect(seconds) if e[1] == "reading"]) / seconds
        assert during >= floor(gw) * baseline, (during, baseline)
        within_bounds(gw, descriptors=256)
        assert "open files are limited to 256" in gw.errors()
    finally:
        for s in socks:
            s.close()
        events.close()
    assert gw.get("/healthz")[0] == 200


def test_token_guessing_is_slowed_and_logged(live):
    gw = live()
    src = "127.0.%d.9" % (os.getpid() % 200 + 2)
    t0 = time.monotonic()

    def guess(_):
        out = []
        for k in range(300):
            s = connect(gw, src)
            s.sendall(b"GET /api/scales HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer guess-%06d\r\n\r\n" % k)
            out.append(answer(s))
            s.close()
        return out

    threads, results = in_threads(1, guess)
    during = rate(gw, ("a", "b"), 2.0)
    threads[0].join()
    statuses = results[0]
    assert during >= floor(gw) * gw.baseline, (during, gw.baseline)
    assert statuses[:10] == [401] * 10 and set(statuses[10:]) == {429}, statuses[:20]
    # Locked out for the right token too; other addresses are not.
    s = connect(gw, src)
    s.sendall(b"GET /api/scales HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + TOKEN.encode() + b"\r\n\r\n")
    assert answer(s) == 429
    s.close()
    assert gw.get("/api/scales", headers=AUTH)[0] == 200
    log = gw.errors()
    failed = [l for l in log.splitlines() if "authentication failed from " + src in l]
    assert failed and "guess-" not in log and len(failed) <= 2 + (time.monotonic() - t0), failed


def test_writes_need_the_operator_json_and_an_allowed_origin(sims, live):
    conv = loopback()
    sims("converter", "--address", conv, "--line", "A=7410")
    fake_path = "/api/converters/%s/outputs" % conv
    gw = live([{"name": "gate", "family": "7410", "converter": conv, "line": "A", "mode": "on-demand"}],
              http_table={"allowed_origins": ["http://pos.example:3000"]})
    body = b'{"value": 1}'
    json_ = {"Content-Type": "application/json"}
    cases = [
        (dict(AUTH, **json_), 401),  # the read token does not operate
        (json_, 401),
        (dict(OPERATE, **{"Content-Type": "text/plain"}), 415),  # a "simple" cross-origin body
        (dict(OPERATE, **{"Content-Type": "application/x-www-form-urlencoded"}), 415),
        (dict(OPERATE, Origin="http://evil.example", **json_), 403),
        (dict(OPERATE, **{"Sec-Fetch-Site": "cross-site"}, **json_), 403),
        (dict(OPERATE, Origin="http://pos.example:3000", **json_), 200),
        (dict(OPERATE, **json_), 200),
    ]
    for headers, expected in cases:
        status, _, answer_ = gw.request("POST", fake_path, body, headers=headers)
        assert status == expected, (headers, answer_)
    # The operator token in the query does not count for a write.
    status, _, _ = gw.request("POST", fake_path + "?token=" + OPERATOR, body, headers=json_)
    assert status == 401
    # A page of another site cannot even read the converter's inputs.
    status, _, _ = gw.get("/api/converters/%s/inputs" % conv, headers=dict(AUTH, Origin="http://evil.example"))
    assert status == 403
    # Two different lengths: refused before anything is read.
    s = connect(gw)
    s.sendall(b"POST " + fake_path.encode() + b" HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + OPERATOR.encode() +
              b"\r\nContent-Type: application/json\r\nContent-Length: 12\r\nContent-Length: 5\r\n\r\n" + body)
    assert answer(s) == 400
    s.close()
    log = gw.errors()
    assert "audit: converter %s: outputs = 1 for 127.0.0.1 (operator): sent, reply \" OK" % conv in log


def test_many_clients_reading_stable_weights_and_inputs(sims, live):
    # 24 clients in a loop: fresh reads of a live scale, stable reads of a
    # request family's scale (run alone by the library thread), converter inputs.
    conv = loopback()
    sims("converter", "--address", conv, "--line", "A=ohaus", "--inputs", "5")
    gw = live([{"name": "c", "family": "ohaus", "converter": conv, "line": "A", "mode": "on-demand"}])
    paths = ["/api/scales/a/read", "/api/scales/c/stable?count=3&limit_s=2", "/api/converters/%s/inputs" % conv]
    stop = threading.Event()
    answers = {}

    def client(k):
        # Each as fast as its answers come, up to 20 requests a second (the
        # suite's own clients must not take the cores the gateway needs).
        while not stop.is_set():
            status = gw.get(paths[k % 3], headers=AUTH, timeout=60)[0]
            answers[(k % 3, status)] = answers.get((k % 3, status), 0) + 1
            stop.wait(0.05)

    threads, _ = in_threads(24, client)
    try:
        time.sleep(0.5)
        during = rate(gw, ("a", "b"), max(3.0, ATTACK_SECONDS))
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert during >= floor(gw) * gw.baseline, (during, gw.baseline)
    within_bounds(gw)
    # Every kind was answered, and well (a stable read may find no stable
    # weight within its 2 s on a busy machine: 504, as documented).
    assert {k for k, status in answers if status == 200} == {0, 1, 2}, answers
    assert all(status == 200 or (k, status) == (1, 504) for k, status in answers), answers
