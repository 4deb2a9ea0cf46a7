"""pesmo6d publishing to a real mosquitto broker started on a loopback port:
readings (retained) and errors on their topics, the broker stopped and
started again, and the gateway's last will when it is killed."""
import json
import os
import shutil
import signal
import socket
import subprocess
import time

import pytest

from conftest import loopback

MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
SUB = shutil.which("mosquitto_sub")

pytestmark = pytest.mark.skipif(not (os.path.exists(MOSQUITTO) and SUB),
                                reason="mosquitto and mosquitto-clients are needed")


def free_port(host):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class Broker:
    def __init__(self, tmp_path, host, port):
        self.host, self.port = host, port
        self.conf = tmp_path / "mosquitto.conf"
        self.conf.write_text("listener %d %s\nallow_anonymous true\npersistence false\n" % (port, host))
        self.log = open(tmp_path / "mosquitto.log", "a")
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen([MOSQUITTO, "-c", str(self.conf)], stdout=self.log, stderr=self.log)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            try:
                socket.create_connection((self.host, self.port), 0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("mosquitto did not start")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(5)


@pytest.fixture
def broker(tmp_path):
    host = loopback()
    b = Broker(tmp_path, host, free_port(host))
    yield b
    b.stop()
    b.log.close()


class Sub:
    """mosquitto_sub as a process: lines "retained topic payload"."""

    def __init__(self, broker, topic, count=None, wait=None):
        args = [SUB, "-h", broker.host, "-p", str(broker.port), "-t", topic, "-F", "%r %t %p"]
        if count:
            args += ["-C", str(count)]
        if wait:
            args += ["-W", str(wait)]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def messages(self, timeout=10):
        out, _ = self.proc.communicate(timeout=timeout)
        msgs = []
        for line in out.splitlines():
            retained, topic, payload = line.split(" ", 2)
            msgs.append((retained == "1", topic, payload))
        return msgs

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        return self.messages()


def retained(broker, topic):
    """The retained message of a topic (a fresh subscriber gets it at once)."""
    msgs = Sub(broker, topic, count=1, wait=3).messages()
    assert msgs and msgs[0][0], (topic, msgs)
    return msgs[0][2]


def retained_soon(broker, topic, timeout=10):
    """The retained message of a topic once there is one (after a reconnection)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        msgs = Sub(broker, topic, count=1, wait=1).messages()
        if msgs and msgs[0][0]:
            return msgs[0][2]
    raise AssertionError("nothing retained on " + topic)


def test_readings_errors_reconnection_and_last_will(sims, gateway, broker, tmp_path):
    sim = sims("serial", "7410", "--weight", "4.5")
    watch = Sub(broker, "pesmo6/plant/#")
    time.sleep(0.3)
    gw = gateway([{"name": "a", "family": "7410", "device": sim.device},
                  {"name": "gone", "family": "kvt", "device": str(tmp_path / "no-such-tty")}],
                 gateway={"name": "plant", "retry_min_ms": 100, "retry_max_ms": 400},
                 http_={"listen": "127.0.0.1:0"},
                 mqtt={"host": broker.host, "port": broker.port, "retry_min_ms": 500, "retry_max_ms": 1000,
                       "keepalive_s": 5})
    gw.wait_for("a", lambda s: s["readings"] >= 5)
    time.sleep(0.5)
    msgs = watch.stop()
    readings = [json.loads(p) for r, t, p in msgs if t == "pesmo6/plant/a/reading"]
    assert len(readings) >= 3, msgs[:5]
    assert all(r["name"] == "a" and r["net_value"] == 4.5 and r["code"] == 0 for r in readings)
    counters = [r["readings"] for r in readings]
    assert counters == sorted(counters) and len(set(counters)) == len(counters)
    errors = [json.loads(p) for r, t, p in msgs if t == "pesmo6/plant/gone/error"]
    assert errors and errors[0]["error"]["code"] == 4, msgs
    assert ("pesmo6/plant/status", "online") in [(t, p) for r, t, p in msgs]

    assert retained(broker, "pesmo6/plant/status") == "online"
    assert json.loads(retained(broker, "pesmo6/plant/a/reading"))["net_value"] == 4.5

    # The broker goes away: readings go on over HTTP, without a pause.
    broker.stop()
    before = gw.scale("a")["readings"]
    ages = []
    for _ in range(15):
        ages.append(gw.scale("a")["age_ms"])
        time.sleep(0.1)
    assert gw.scale("a")["readings"] >= before + 8 and max(ages) < 500, ages
    # Back again (its retained messages lost): status and readings return.
    broker.start()
    assert retained_soon(broker, "pesmo6/plant/status") == "online"
    first = json.loads(retained_soon(broker, "pesmo6/plant/a/reading"))["readings"]
    time.sleep(0.5)
    later = json.loads(retained(broker, "pesmo6/plant/a/reading"))["readings"]
    assert later > first > before

    # Killed without a goodbye: the broker tells "offline" for it.
    status = Sub(broker, "pesmo6/plant/status", count=2, wait=10)
    time.sleep(0.3)
    gw.stop(signal.SIGKILL)
    msgs = status.messages(timeout=15)
    assert [p for _, _, p in msgs] == ["online", "offline"], msgs
    assert retained(broker, "pesmo6/plant/status") == "offline"


def test_stopped_gateway_says_offline(sims, gateway, broker):
    sim = sims("serial", "7410")
    gw = gateway([{"name": "a", "family": "7410", "device": sim.device}], gateway={"name": "p2"},
                 http_={"listen": "127.0.0.1:0"}, mqtt={"host": broker.host, "port": broker.port})
    gw.wait_for("a", lambda s: s["readings"] > 0)
    assert retained(broker, "pesmo6/p2/status") == "online"
    assert gw.stop() == 0
    assert retained(broker, "pesmo6/p2/status") == "offline"


def test_broker_down_at_start_then_hung(sims, gateway, tmp_path):
    host = loopback()
    port = free_port(host)
    sim = sims("serial", "7410")
    gw = gateway([{"name": "a", "family": "7410", "device": sim.device}], gateway={"name": "late"},
                 http_={"listen": "127.0.0.1:0"},
                 mqtt={"host": host, "port": port, "retry_min_ms": 200, "retry_max_ms": 1000, "keepalive_s": 5})
    gw.wait_for("a", lambda s: s["readings"] > 0)
    time.sleep(1.0)
    # Nobody listened when it started: it keeps trying with its back-off.
    b = Broker(tmp_path, host, port)
    try:
        assert retained_soon(b, "pesmo6/late/status", timeout=10) == "online"
        # A broker that stops answering (but keeps the connection) is noticed
        # within its keepalive, and the gateway is back once it answers again.
        b.proc.send_signal(signal.SIGSTOP)
        deadline = time.monotonic() + 5 * 2 + 3
        while "mqtt: connection lost" not in gw.errors() and time.monotonic() < deadline:
            time.sleep(0.2)
        b.proc.send_signal(signal.SIGCONT)
        assert "mqtt: connection lost" in gw.errors(), gw.errors()[-2000:]
        # Back: "online" (also when the broker published the old connection's will late).
        deadline = time.monotonic() + 15
        while retained_soon(b, "pesmo6/late/status", timeout=15) != "online":
            assert time.monotonic() < deadline
            time.sleep(0.3)
        time.sleep(1)
        assert retained(b, "pesmo6/late/status") == "online"
        assert gw.scale("a")["error"] is None
    finally:
        b.proc.send_signal(signal.SIGCONT)
        b.stop()
        b.log.close()


def test_client_id_is_unique_per_host_and_a_kick_off_loop_is_told(sims, gateway, broker):
    tables = dict(gateway={"name": "twin"}, http_={"listen": "127.0.0.1:0"},
                  mqtt={"host": broker.host, "port": broker.port, "retry_min_ms": 100, "retry_max_ms": 200})
    one = gateway([{"name": "a", "family": "7410", "device": sims("serial", "7410").device}], **tables)
    two = gateway([{"name": "a", "family": "7410", "device": sims("serial", "7410").device}], **tables)
    time.sleep(3)
    # Same name, same host, two processes: two client ids, no fight.
    for g in (one, two):
        assert g.errors().count("mqtt: connected to") == 1, g.errors()[-2000:]
    # Both given one explicit id: they take turns kicking each other off, and say so.
    three = gateway([{"name": "a", "family": "7410", "device": sims("serial", "7410").device}], gateway={"name": "t3"},
                    http_={"listen": "127.0.0.1:0"},
                    mqtt={"host": broker.host, "port": broker.port, "retry_min_ms": 100, "retry_max_ms": 200,
                          "client_id": "same-id"})
    four = gateway([{"name": "a", "family": "7410", "device": sims("serial", "7410").device}], gateway={"name": "t4"},
                   http_={"listen": "127.0.0.1:0"},
                   mqtt={"host": broker.host, "port": broker.port, "retry_min_ms": 100, "retry_max_ms": 200,
                         "client_id": "same-id"})
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        if any("another client with the same id" in g.errors() for g in (three, four)):
            break
        time.sleep(0.2)
    assert any("another client with the same id" in g.errors() for g in (three, four))
