"""The field tools end to end: pesmo6-sim runs as a real process (an indicator
on a pseudo-terminal, or a converter on a loopback address) and pesmo6 reads
it through the library, as a technician would type it.

Run by ctest (field_tools); by hand:
  PESMO6=build/pesmo6 PESMO6_SIM=build/pesmo6-sim python3 -m pytest -q tests/field_tools
"""
import itertools
import json
import os
import re
import signal
import socket
import subprocess
import time

import pytest

PESMO6 = os.environ.get("PESMO6", "build/pesmo6")
SIM = os.environ.get("PESMO6_SIM", "build/pesmo6-sim")
README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")
USAGE = 64

_addresses = itertools.count(2)


def queued(pid="self"):
    """Seconds the threads of a process (this one by default) have waited for
    a core: the machine's load, not the tools' waits."""
    total = 0
    try:
        tids = os.listdir("/proc/%s/task" % pid)
    except OSError:
        return 0.0
    for tid in tids:
        try:
            with open("/proc/%s/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[1])
        except (OSError, IndexError, ValueError):
            pass
    return total / 1e9


def holds_open(pid, path, seconds=20):
    """Waits until process pid has path open; False if it never does."""
    want = os.path.realpath(path)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            fds = os.listdir("/proc/%d/fd" % pid)
        except OSError:
            return False
        for fd in fds:
            try:
                if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == want:
                    return True
            except OSError:
                pass
        time.sleep(0.02)
    return False


class Stopwatch:
    """Wall time of a stretch, and that less the time this process and the
    given ones waited for a core, for upper bounds on a loaded machine."""

    def __init__(self, *pids):
        self.pids = ("self",) + pids
        self.queued0 = self.queued()
        self.t0 = time.monotonic()

    def queued(self):
        return sum(queued(p) for p in self.pids)

    def own(self):
        wall = time.monotonic() - self.t0
        return max(0.0, wall - max(0.0, self.queued() - self.queued0))


def loopback():
    """A converter address of its own: 127.252.x.y is no other suite's."""
    return "127.252.%d.%d" % (os.getpid() % 250, next(_addresses))


class Sim:
    """pesmo6-sim as a process; its first line tells where it plays."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([SIM, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.first = self.proc.stdout.readline().strip()
        if not self.first:
            err = self.proc.stderr.read()
            raise RuntimeError("pesmo6-sim did not start: " + err)

    @property
    def device(self):
        assert self.first.startswith("device /dev/pts/"), self.first
        return self.first.split(" ", 1)[1]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
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


def pesmo6(*args, timeout=30):
    return subprocess.run([PESMO6, *args], capture_output=True, text=True, timeout=timeout)


def reading(*args):
    r = pesmo6(*args, "--json")
    lines = r.stdout.strip().splitlines()
    assert len(lines) == 1, (r.stdout, r.stderr)
    return r.returncode, json.loads(lines[0])


# ---- every family, both transports ------------------------------------------

LISTENING = ["7410", "7410-raw", "kvt", "msi3360", "msi6260"]
TAG_HEX = "0A1B2C3D4E5F60718293A4B5"


def check_reading(family, code, j, net=12.5, tare=0.0):
    assert code == 0 and j["code"] == 0, j
    assert j["family"] == family
    if family == "trilograf":
        assert "tag" in j
        return
    if family == "7410-raw":
        # Undecoded: the frame as it came, weight digits in characters 4 to 9.
        assert len(j["raw"]) == 16 and j["raw"].endswith("\r"), j
        assert j["raw"][3:9] == "%06d" % round(net * 100) and j["raw"][9:15] == "%06d" % round(tare * 100)
        return
    assert j["net_value"] == pytest.approx(net), j
    assert j["motion"] is False
    if family in ("7410", "kvt", "msi3360"):
        assert j["gross_value"] == pytest.approx(net + tare), j
        assert j["tare_value"] == pytest.approx(tare), j
    if family in ("7410", "kvt"):
        assert j["unit"] == "kg" and len(j["status"]) == 8
    if family == "msi6260":
        assert "total" in j


@pytest.mark.parametrize("family", LISTENING + ["ohaus", "trilograf"])
def test_read_on_a_serial_port(sims, family):
    extra = ["--tag", TAG_HEX] if family == "trilograf" else ["--weight", "12.5"]
    sim = sims("serial", family, *extra)
    code, j = reading("read", family, "--device", sim.device)
    check_reading(family, code, j)
    if family == "trilograf":
        assert j["tag"] == TAG_HEX


def test_read_every_family_on_converter_lines(sims):
    a, b = loopback(), loopback()
    sims("converter", "--address", a, "--line", "A=7410", "--line", "B=7410-raw", "--line", "C=kvt",
         "--line", "D=msi3360", "--weight", "12.5", "--tare", "2")
    sims("converter", "--address", b, "--line", "A=msi6260", "--line", "B=ohaus", "--line", "C=trilograf",
         "--weight", "12.5", "--tare", "2", "--tag", "TAG-77")
    for addr, line, family in [(a, "A", "7410"), (a, "B", "7410-raw"), (a, "C", "kvt"), (a, "D", "msi3360"),
                               (b, "A", "msi6260"), (b, "b", "ohaus"), (b, "C", "trilograf")]:
        code, j = reading("read", family, "--converter", addr, "--line", line)
        check_reading(family, code, j, net=12.5, tare=2.0)
        if family == "trilograf":
            assert j["tag"] == "TAG-77"


def test_done_example_and_link(sims, tmp_path):
    link = str(tmp_path / "usb-scale-if00")
    sim = sims("serial", "7410", "--weight", "12.5", "--link", link)
    assert os.path.realpath(link) == sim.device
    r = pesmo6("read", "7410", "--device", link, "--json")
    assert r.returncode == 0
    assert '"net_value":12.5' in r.stdout
    sim.stop()
    assert not os.path.lexists(link), "the link goes with the simulator"


def test_comma_locale_numbers_stay_points(sims):
    sim = sims("serial", "msi3360", "--weight", "-3.75", "--tare", "1")
    env = dict(os.environ, LC_ALL="pt_BR.UTF-8")
    r = subprocess.run([PESMO6, "read", "msi3360", "--device", sim.device, "--json"], capture_output=True,
                       text=True, timeout=30, env=env)
    j = json.loads(r.stdout)
    assert r.returncode == 0
    assert j["net_value"] == pytest.approx(-3.75)
    assert j["gross_value"] == pytest.approx(-2.75)


# ---- exit statuses ----------------------------------------------------------

def test_exit_statuses(sims):
    silent = sims("serial", "7410", "--silent")
    code, j = reading("read", "7410", "--device", silent.device, "--no-motion", "300")
    assert code == 2 and j["code"] == 2 and j["net"] == "0"
    assert j["net_value"] is None and j["gross_value"] is None and j["reason"], j

    moving = sims("serial", "7410", "--weight", "5", "--motion")
    code, j = reading("read", "7410", "--device", moving.device, "--no-motion", "400")
    assert code == 2

    heavy = sims("serial", "kvt", "--weight", "5", "--overload")
    code, j = reading("read", "kvt", "--device", heavy.device)
    assert code == 3 and j["status"][3] == "S"

    # A port that names no device: the start limit (1 s), then 4.
    r = pesmo6("read", "7410", "--port", "60999")
    assert r.returncode == 4, r.stderr
    assert "did not open" in r.stderr

    # A device path that names nothing is the same failure, with its reason.
    r = pesmo6("read", "ohaus", "--device", "/dev/pesmo6-nonexistent")
    assert r.returncode == 4, r.stderr
    assert r.stderr.count("\n") == 1 and "did not open" in r.stderr
    assert "/dev/pesmo6-nonexistent" in r.stderr or "exist" in r.stderr, r.stderr
    code, j = reading("read", "msi3360", "--device", "/dev/pesmo6-nonexistent")
    assert code == 4 and j["code"] == 4 and j["reason"], j


def test_stable(sims):
    steady = sims("serial", "7410", "--weight", "7.5")
    code, j = reading("stable", "7410", "--device", steady.device, "--count", "3", "--limit", "5")
    assert code == 0 and j["net_value"] == 7.5

    noisy = sims("serial", "7410", "--weight", "7.5", "--script", "noisy", "--decimals", "2")
    code, j = reading("stable", "7410", "--device", noisy.device, "--count", "60", "--limit", "1")
    assert code == 7, j


def test_watch_lines_and_interrupt(sims):
    addr = loopback()
    sims("converter", "--address", addr, "--line", "B=msi3360", "--script", "ramp", "--weight", "40")
    r = pesmo6("watch", "msi3360", "--converter", addr, "--line", "B", "--count", "4", "--json")
    assert r.returncode == 0, r.stderr
    rows = [json.loads(line) for line in r.stdout.splitlines()]
    assert len(rows) == 4 and all(row["code"] == 0 for row in rows)
    nets = [row["net_value"] for row in rows]
    assert nets == sorted(nets) and nets[-1] > 0, nets  # the ramp climbs

    # Plain text on a pipe: one line per reading.
    r = pesmo6("watch", "msi3360", "--converter", addr, "--line", "B", "--count", "2")
    assert len(r.stdout.splitlines()) == 2 and r.stdout.startswith("code 0")

    # Ctrl-C during a 10 s wait ends it at once.
    silent = sims("serial", "7410", "--silent")
    p = subprocess.Popen([PESMO6, "watch", "7410", "--device", silent.device], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    # Interrupted once it waits on the port (its handler is in place by
    # then), however long a loaded machine takes to get it there.
    assert holds_open(p.pid, silent.device), "pesmo6 watch never opened the port"
    watch = Stopwatch(p.pid)
    p.send_signal(signal.SIGINT)
    # Waited for without reaping, so that its run-queue delay can still be read.
    while watch.own() < 5 and os.waitid(os.P_PID, p.pid, os.WEXITED | os.WNOWAIT | os.WNOHANG) is None:
        time.sleep(0.01)
    assert watch.own() < 1.0
    p.wait(5)
    assert p.returncode == 130
    p.stdout.close()
    p.stderr.close()
    # The port was let go: another reader opens it at once.
    code, _ = reading("read", "7410", "--device", silent.device, "--no-motion", "200")
    assert code == 2


# ---- trace --------------------------------------------------------------------

HEXLINE = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} (<-|->) ((?:[0-9A-F]{2} )+)")


def traced_bytes(out, direction):
    data = bytearray()
    for line in out.splitlines():
        m = HEXLINE.match(line)
        if m and m.group(1) == direction:
            data += bytes.fromhex(m.group(2))
    return bytes(data)


def test_trace_shows_the_frames(sims):
    sim = sims("serial", "7410", "--weight", "12.5")
    r = pesmo6("trace", "7410", "--device", sim.device, "--count", "2")
    assert r.returncode == 0, r.stderr
    received = traced_bytes(r.stdout, "<-")
    assert b"\x02$0 001250000000\r" in received, r.stdout
    assert "Update_C[0,-1]" in r.stdout
    assert r.stdout.count("== code 0") == 2
    assert traced_bytes(r.stdout, "->") == b"", "a listening family sends nothing"


def test_trace_shows_requests_on_a_line(sims):
    addr = loopback()
    sims("converter", "--address", addr, "--line", "C=ohaus", "--weight", "2.5")
    r = pesmo6("trace", "ohaus", "--converter", addr, "--line", "C", "--count", "1")
    assert r.returncode == 0, r.stderr
    assert traced_bytes(r.stdout, "->") == b"P\r\n"
    assert traced_bytes(r.stdout, "<-") == b"    2.50 kg\r\n"
    assert "SelectCanal[0]" in r.stdout


# ---- scan ---------------------------------------------------------------------

@pytest.mark.parametrize("family", ["7410", "kvt", "msi3360", "msi6260"])
def test_scan_names_the_family_and_no_other(sims, family):
    sim = sims("serial", family, "--weight", "3")
    r = pesmo6("scan", "--device", sim.device, "--seconds", "0.7", "--json")
    assert r.returncode == 0, r.stderr
    found = [json.loads(line)["family"] for line in r.stdout.splitlines()]
    assert found == [family]


def test_scan_asks_only_when_told(sims):
    addr = loopback()
    sims("converter", "--address", addr, "--line", "D=ohaus", "--weight", "1")
    r = pesmo6("scan", "--converter", addr, "--line", "D", "--seconds", "0.5")
    assert r.returncode == 1
    assert "no family found" in r.stdout
    r = pesmo6("scan", "--converter", addr, "--line", "D", "--seconds", "0.5", "--ask")
    assert r.returncode == 0
    assert r.stdout.strip().splitlines()[-1] == "found: ohaus"


def test_scan_of_a_silent_line(sims):
    sim = sims("serial", "msi6260", "--silent")
    r = pesmo6("scan", "--device", sim.device, "--seconds", "0.3")
    assert r.returncode == 1
    assert "(0 bytes received)" in r.stdout


# ---- faults and replay --------------------------------------------------------

def test_faults_do_not_change_readings(sims):
    sim = sims("serial", "7410", "--weight", "12.5", "--garbage", "0.5", "--bad-checksum", "0.3", "--torn", "0.3")
    r = pesmo6("watch", "7410", "--device", sim.device, "--count", "5", "--json")
    rows = [json.loads(line) for line in r.stdout.splitlines()]
    assert [row["net_value"] for row in rows] == [12.5] * 5



def test_converter_drops_its_lines(sims):
    addr = loopback()
    conv = sims("converter", "--address", addr, "--line", "A=7410", "--weight", "4", "--drop-every", "0.5")
    with socket.create_connection((addr, 8881), timeout=3) as c:
        got = b""
        t0 = Stopwatch(conv.proc.pid)
        while True:
            chunk = c.recv(4096)
            if not chunk:
                break
            got += chunk
        assert t0.own() < 1.5, "the converter dropped the link"
        assert b"\x02$0 000400000000\r" in got
    # The next connection is taken again, and a host reads through it.
    code, j = reading("read", "7410", "--converter", addr, "--line", "A")
    check_reading("7410", code, j, net=4.0)


def with_even_parity(data):
    return bytes(b | (0x80 if bin(b).count("1") % 2 else 0) for b in data)


def test_replay_of_a_capture(sims, tmp_path):
    # A field capture taken at 8 data bits: frames of 18.34 kg with their
    # even parity in bit 7.
    frame = b"\x02$0 001834000000\r"
    checksum = (-sum(frame)) & 0x7F
    capture = tmp_path / "truck.bin"
    capture.write_bytes(with_even_parity(frame + bytes([checksum])) * 20)
    addr = loopback()
    sims("converter", "--address", addr, "--line", "A=7410", "--replay", str(capture), "--mask7")
    code, j = reading("read", "7410", "--converter", addr, "--line", "A")
    check_reading("7410", code, j, net=18.34)
    sim = sims("serial", "7410", "--replay", str(capture), "--mask7")
    code, j = reading("read", "7410", "--device", sim.device)
    check_reading("7410", code, j, net=18.34)


# ---- dio ------------------------------------------------------------------------

def test_dio(sims):
    addr = loopback()
    sims("converter", "--address", addr, "--inputs", "5")
    r = pesmo6("dio", "--converter", addr, "in", "--json")
    j = json.loads(r.stdout)
    assert r.returncode == 0 and j["value"] == 5 and j["inputs"] == "SNSNNNNN" and j["answered"]
    r = pesmo6("dio", "--converter", addr, "in-bit", "2")
    assert r.returncode == 0 and r.stdout.strip() == "input bit 2: S"
    r = pesmo6("dio", "--converter", addr, "in-bit", "1", "--json")
    assert json.loads(r.stdout)["value"] == 0
    for args in (["out", "9"], ["out-bit", "3", "S"], ["out-bit", "3", "N"], ["clear-rx", "a"], ["clear-tx", "D"]):
        r = pesmo6("dio", "--converter", addr, *args, "--json")
        assert r.returncode == 0, (args, r.stderr)
        assert json.loads(r.stdout)["reply"] == " OK\n\r"
    # Nothing listens there: the output commands' "sent" is not taken for done.
    r = pesmo6("dio", "--converter", loopback(), "out", "1")
    assert r.returncode == 1 and "did not answer" in r.stderr


# ---- bad usage and help -----------------------------------------------------------

@pytest.mark.parametrize("args", [
    ["read", "7411", "--port", "1"],
    ["read", "7410"],
    ["read", "7410", "--port", "65536"],
    ["read", "7410", "--port", "0"],
    ["read", "7410", "--converter", "127.0.0.1", "--line", "E"],
    ["read", "7410", "--converter", "127.0.0.1"],
    ["read", "7410", "--port", "1", "--line", "A"],
    ["read", "7410", "--port", "1", "--device", "/dev/null"],
    ["watch", "7410", "--port", "1", "--count", "0"],
    ["scan"],
    ["dio", "in"],
    ["dio", "--converter", "127.0.0.1", "out-bit", "3", "X"],
    ["dio", "--converter", "127.0.0.1"],
    ["frobnicate"],
    [],
])
def test_bad_usage(args):
    r = pesmo6(*args, timeout=5)
    assert r.returncode == USAGE, r
    assert r.stdout == ""
    assert len(r.stderr.strip().splitlines()) == 1, r.stderr


@pytest.mark.parametrize("args", [
    ["converter", "--address", "10.0.0.1"],
    ["converter", "--address", "127.0.0.1", "--line", "E=7410"],
    ["converter", "--address", "127.0.0.1", "--line", "A=scale"],
    ["serial", "kvt", "--bad-checksum", "0.5"],
    ["serial", "7410", "--replay", "/nonexistent"],
    ["serial", "ohaus", "--replay", "/etc/hostname"],
    ["serial", "7410", "--drop-every", "1"],
])
def test_simulator_bad_usage(args):
    r = subprocess.run([SIM, *args], capture_output=True, text=True, timeout=5)
    assert r.returncode == USAGE, r
    assert len(r.stderr.strip().splitlines()) == 1, r.stderr


@pytest.mark.parametrize("args, largest", [
    (["serial", "7410", "--weight", "18000"], "9999.99"),
    (["serial", "kvt", "--weight", "-1000", "--decimals", "3"], "-999.999"),
    (["serial", "7410-raw", "--weight", "1", "--tare", "10000"], "9999.99"),
    (["serial", "7410", "--weight", "9999.99", "--script", "noisy"], "9999.99"),
    (["serial", "msi3360", "--weight", "100000", "--decimals", "2"], "99999.99"),
    (["serial", "msi3360", "--weight", "99999999", "--tare", "1", "--decimals", "0"], "99999999"),
    (["converter", "--address", "127.0.0.1", "--line", "B=7410", "--weight", "18000"], "9999.99"),
])
def test_simulator_refuses_a_weight_its_frame_cannot_carry(args, largest):
    r = subprocess.run([SIM, *args], capture_output=True, text=True, timeout=5)
    assert r.returncode == USAGE, r
    assert r.stdout == ""
    assert len(r.stderr.strip().splitlines()) == 1, r.stderr
    assert "the largest is %s" % largest in r.stderr, r.stderr


def test_simulator_plays_the_largest_weights(sims):
    # At the edge of each frame, and past the 7410's at fewer decimals.
    for family, args, net in [("7410", ["--weight", "9999.99"], 9999.99),
                              ("7410", ["--weight", "18000", "--decimals", "0"], 18000),
                              ("msi3360", ["--weight", "-9999.99"], -9999.99)]:
        sim = sims("serial", family, *args)
        code, j = reading("read", family, "--device", sim.device)
        assert code == 0 and j["net_value"] == pytest.approx(net), j


def test_help_everywhere_and_in_the_readme():
    for sub in ["", "read", "watch", "stable", "trace", "scan", "dio", "dio in"]:
        r = pesmo6(*sub.split(), "--help")
        assert r.returncode == 0 and "Usage: pesmo6" in r.stdout, sub
    for sub in ["", "serial", "converter"]:
        r = subprocess.run([SIM, *sub.split(), "--help"], capture_output=True, text=True)
        assert r.returncode == 0 and "Usage: pesmo6-sim" in r.stdout
    text = open(README, encoding="utf-8").read()
    block = re.search(r"```\n\$ pesmo6 --help\n(.*?)```", text, re.S)
    assert block, "README shows pesmo6 --help"
    assert block.group(1).strip() == pesmo6("--help").stdout.strip()
