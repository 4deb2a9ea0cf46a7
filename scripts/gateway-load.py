#!/usr/bin/env python3
"""Load on pesmo6d: 16 simulated scales updating (8 on pseudo-terminals, 8 on
two converters), N HTTP clients polling and M Server-Sent Events subscribers,
for S seconds.  Prints the reading rate before and under load, the request
latency (p50, p99, max), the events each subscriber got against the readings
stored, and the gateway's memory over the run.

  scripts/gateway-load.py --pesmo6d build/pesmo6d --sim build/pesmo6-sim --seconds 60
  (make gateway-load)

The targets: the reading rate under load at least 90 % of the rate without
it, p99 below 50 ms, resident memory flat (under 2 MiB of growth after the
first quarter).  --strict exits 1 when a target is missed; without it only a
gross fault fails (readings all but stopped, below a tenth of the rate
without load; p99 above 500 ms; growth above 32 MiB; an event stream losing
events), which is what `make test` checks: the rate under load is a figure of
the machine's load as much as of the gateway's, reported in the suite and
held to 90 % by make gateway-load on a quiet machine.
"""
import argparse
import http.client
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time


def start_sim(sim, *args):
    p = subprocess.Popen([sim, *args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    first = p.stdout.readline().strip()
    if not first:
        raise SystemExit("pesmo6-sim did not start: %s" % (args,))
    return p, first


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Client:
    def __init__(self, host, port):
        self.host, self.port = host, port
        self.conn = None

    def get(self, path):
        for attempt in range(2):
            if self.conn is None:
                self.conn = http.client.HTTPConnection(self.host, self.port, timeout=10)
            try:
                self.conn.request("GET", path)
                r = self.conn.getresponse()
                body = r.read()
                if r.getheader("Connection", "").lower() == "close":
                    self.conn.close()
                    self.conn = None
                return r.status, body
            except (OSError, http.client.HTTPException):
                self.conn.close()
                self.conn = None
                if attempt:
                    raise
        return 0, b""


def total_readings(client):
    status, body = client.get("/api/scales")
    return sum(s["readings"] for s in json.loads(body)["scales"]) if status == 200 else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--pesmo6d", default="build/pesmo6d")
    ap.add_argument("--sim", default="build/pesmo6-sim")
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--clients", type=int, default=50)
    ap.add_argument("--subscribers", type=int, default=8)
    ap.add_argument("--interval", type=float, default=0.1, help="each client's pause between requests (s)")
    ap.add_argument("--strict", action="store_true", help="exit 1 when a target is missed")
    a = ap.parse_args()

    procs = []
    tmp = tempfile.mkdtemp(prefix="pesmo6d-load-")
    scales = []
    try:
        families = ["7410", "kvt", "msi3360", "7410"] * 2
        for i, fam in enumerate(families):
            p, first = start_sim(a.sim, "serial", fam, "--weight", str(10 + i))
            procs.append(p)
            scales.append('[[scale]]\nname = "s%d"\nfamily = "%s"\ndevice = "%s"\n' % (i, fam, first.split()[1]))
        base = "127.254.%d." % (os.getpid() % 250)
        for c in range(2):
            addr = base + str(c + 2)
            p, _ = start_sim(a.sim, "converter", "--address", addr, "--line", "A=7410", "--line", "B=kvt",
                             "--line", "C=msi3360", "--line", "D=7410", "--weight", "5")
            procs.append(p)
            for k, line in enumerate("ABCD"):
                scales.append('[[scale]]\nname = "c%d%s"\nfamily = "%s"\nconverter = "%s"\nline = "%s"\n' %
                              (c, line, ["7410", "kvt", "msi3360", "7410"][k], addr, line))
        conf = os.path.join(tmp, "load.toml")
        with open(conf, "w") as f:
            f.write('[gateway]\nname = "load"\nlog_level = "warn"\n[http]\nlisten = "127.0.0.1:0"\n'
                    'threads = %d\nmax_sse_clients = %d\n\n' % (a.clients + a.subscribers + 16, a.subscribers + 4))
            f.write("\n".join(scales))
        gw = subprocess.Popen([a.pesmo6d, "--config", conf], stdout=subprocess.PIPE, text=True)
        procs.append(gw)
        host, port = gw.stdout.readline().strip().rsplit(" ", 1)[1].rsplit(":", 1)
        port = int(port)
        mon = Client(host, port)
        time.sleep(2)  # every scale read once

        # The rate with nobody asking.
        r0, t0 = total_readings(mon), time.monotonic()
        time.sleep(5)
        base_rate = (total_readings(mon) - r0) / (time.monotonic() - t0)

        stop = threading.Event()
        latencies, failures = [], []
        lock = threading.Lock()
        names = ["s%d" % i for i in range(8)] + ["c%d%s" % (c, l) for c in range(2) for l in "ABCD"]

        def poller(n):
            c = Client(host, port)
            mine, k = [], n
            while not stop.is_set():
                path = "/api/scales" if k % 4 == 0 else "/api/scales/" + names[k % len(names)]
                t = time.perf_counter()
                try:
                    status, _ = c.get(path)
                except (OSError, http.client.HTTPException) as e:
                    status = str(e)
                mine.append(time.perf_counter() - t)
                if status != 200:
                    with lock:
                        failures.append(status)
                k += 1
                stop.wait(a.interval)
            with lock:
                latencies.extend(mine)

        counts = [0] * a.subscribers
        gaps = [0] * a.subscribers

        def subscriber(n):
            conn = http.client.HTTPConnection(host, port, timeout=30)
            conn.request("GET", "/api/events")
            r = conn.getresponse()
            last = {}
            kind = None
            try:
                for raw in r:
                    if stop.is_set():
                        break
                    line = raw.decode()
                    if line.startswith("event: "):
                        kind = line[7:].strip()
                    elif line.startswith("data: "):
                        d = json.loads(line[6:])
                        counts[n] += 1
                        # An error event carries the counter of the last
                        # reading; each reading event must carry the next.
                        if kind == "reading":
                            prev = last.get(d["name"])
                            if prev is not None and d["readings"] != prev + 1:
                                gaps[n] += 1
                            last[d["name"]] = d["readings"]
                        kind = None
            except (OSError, http.client.HTTPException, ValueError, AttributeError):
                pass
            conn.close()

        threads = [threading.Thread(target=subscriber, args=(i,), daemon=True) for i in range(a.subscribers)]
        threads += [threading.Thread(target=poller, args=(i,), daemon=True) for i in range(a.clients)]
        for t in threads:
            t.start()
        time.sleep(0.5)
        r1, t1 = total_readings(mon), time.monotonic()
        rss = []
        end = t1 + a.seconds
        while time.monotonic() < end:
            rss.append(rss_kib(gw.pid))
            time.sleep(1)
        r2, t2 = total_readings(mon), time.monotonic()
        stop.set()
        for t in threads[a.subscribers:]:
            t.join(5)
        load_rate = (r2 - r1) / (t2 - t1)

        latencies.sort()
        n = len(latencies)
        p50 = latencies[n // 2] * 1000 if n else 0
        p99 = latencies[min(n - 1, int(n * 0.99))] * 1000 if n else 0
        mx = latencies[-1] * 1000 if n else 0
        q = max(1, len(rss) // 4)
        growth = (max(rss[q:]) - rss[q - 1]) / 1024 if len(rss) > q else 0
        expected = r2 - r1
        print("pesmo6d load: 16 scales, %d HTTP clients (one request per %.0f ms each), %d SSE subscribers, %.0f s"
              % (a.clients, a.interval * 1000, a.subscribers, a.seconds))
        print("  readings/s without load %.1f, under load %.1f (%.0f %%)" %
              (base_rate, load_rate, 100 * load_rate / base_rate if base_rate else 0))
        print("  requests %d (%.0f/s), failed %d; latency p50 %.1f ms, p99 %.1f ms, max %.1f ms" %
              (n, n / a.seconds, len(failures), p50, p99, mx))
        print("  events per subscriber %s (readings stored meanwhile %d), counter gaps %s" %
              (counts, expected, gaps))
        print("  resident memory %.1f MiB at start, %.1f MiB at the end, growth after the first quarter %.2f MiB" %
              (rss[0] / 1024, rss[-1] / 1024, growth))
        strict = [("reading rate under load >= 90 %", load_rate >= 0.9 * base_rate), ("p99 < 50 ms", p99 < 50),
                  ("memory flat (< 2 MiB growth)", growth < 2), ("no failed request", not failures),
                  ("no event lost", not any(gaps))]
        gross = [("readings go on under load (>= 10 %)", load_rate >= 0.1 * base_rate), ("p99 < 500 ms", p99 < 500),
                 ("memory growth < 32 MiB", growth < 32), ("no failed request", not failures),
                 ("no event lost", not any(gaps)), ("events arrive", min(counts) > 0)]
        checks = strict if a.strict else gross
        bad = [name for name, ok in checks if not ok]
        for name, ok in strict:
            print("  %-34s %s" % (name, "met" if ok else "MISSED"))
        if bad:
            print("FAILED: " + ", ".join(bad))
            return 1
        return 0
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()


if __name__ == "__main__":
    sys.exit(main())
