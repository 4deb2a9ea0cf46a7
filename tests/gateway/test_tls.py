"""pesmo6d over TLS: HTTPS with a certificate from the configuration (checked
with curl against a test authority made here with openssl), and MQTT to a
mosquitto TLS listener."""
import getpass
import json
import shutil
import socket
import subprocess
import time

import pytest

from conftest import loopback
from test_mqtt import MOSQUITTO, SUB, free_port

pytestmark = pytest.mark.skipif(not (shutil.which("openssl") and shutil.which("curl")),
                                reason="openssl and curl are needed")


def make_pki(d, ip):
    """A test authority and a server certificate for IP, signed by it."""
    def run(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=60)

    run("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
        "-subj", "/CN=pesmo6 test authority", "-keyout", str(d / "ca.key"), "-out", str(d / "ca.pem"))
    run("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=" + ip,
        "-keyout", str(d / "server.key"), "-out", str(d / "server.csr"))
    (d / "ext.cnf").write_text("subjectAltName = IP:%s\n" % ip)
    run("x509", "-req", "-in", str(d / "server.csr"), "-CA", str(d / "ca.pem"), "-CAkey", str(d / "ca.key"),
        "-CAcreateserial", "-days", "2", "-extfile", str(d / "ext.cnf"), "-out", str(d / "server.pem"))
    return d / "ca.pem", d / "server.pem", d / "server.key"


def test_https_with_a_configured_certificate(sims, gateway, tmp_path):
    ca, cert, key = make_pki(tmp_path, "127.0.0.1")
    sim = sims("serial", "7410", "--weight", "6.5")
    token = "tls-read-token-0123"
    gw = gateway([{"name": "a", "family": "7410", "device": sim.device}], gateway={"name": "tls"},
                 http_={"listen": "127.0.0.1:0", "token": token, "tls_cert": str(cert), "tls_key_file": str(key)})
    url = "https://127.0.0.1:%d" % gw.port
    deadline = time.monotonic() + 10
    while True:
        r = subprocess.run(["curl", "-sS", "--cacert", str(ca), "-H", "Authorization: Bearer " + token,
                            url + "/api/scales/a"], capture_output=True, text=True, timeout=20)
        assert r.returncode == 0, r.stderr
        if json.loads(r.stdout)["readings"] > 0:
            break
        assert time.monotonic() < deadline
        time.sleep(0.2)
    assert json.loads(r.stdout)["net_value"] == 6.5
    # Without the authority the certificate is not trusted; plain HTTP gets no answer.
    r = subprocess.run(["curl", "-sS", url + "/healthz"], capture_output=True, text=True, timeout=20)
    assert r.returncode != 0
    r = subprocess.run(["curl", "-sS", "-m", "5", "http://127.0.0.1:%d/healthz" % gw.port], capture_output=True,
                       text=True, timeout=20)
    assert r.returncode != 0 or '"ok"' not in r.stdout


@pytest.mark.skipif(not SUB, reason="mosquitto-clients are needed")
def test_mqtt_over_tls(sims, gateway, tmp_path):
    host = loopback()
    ca, cert, key = make_pki(tmp_path, host)
    port = free_port(host)
    conf = tmp_path / "mosquitto.conf"
    # As whoever runs the suite (as root, mosquitto would become its own user and not read the files).
    conf.write_text("user %s\nlistener %d %s\ncafile %s\ncertfile %s\nkeyfile %s\nallow_anonymous true\n"
                    "persistence false\n" % (getpass.getuser(), port, host, ca, cert, key))
    log = open(tmp_path / "mosquitto.log", "w")
    broker = subprocess.Popen([MOSQUITTO, "-c", str(conf)], stdout=log, stderr=log)
    try:
        deadline = time.monotonic() + 5
        while True:
            try:
                socket.create_connection((host, port), 0.2).close()
                break
            except OSError:
                assert time.monotonic() < deadline, open(tmp_path / "mosquitto.log").read()
                time.sleep(0.05)
        sim = sims("serial", "7410", "--weight", "3.25")
        gateway([{"name": "a", "family": "7410", "device": sim.device}], gateway={"name": "tlsq"},
                http_={"listen": "127.0.0.1:0"},
                mqtt={"host": host, "port": port, "tls": True, "ca_file": str(ca), "retry_min_ms": 200,
                      "retry_max_ms": 1000})
        r = subprocess.run([SUB, "-h", host, "-p", str(port), "--cafile", str(ca), "-t", "pesmo6/tlsq/a/reading",
                            "-C", "1", "-W", "15"], capture_output=True, text=True, timeout=30)
        assert r.returncode == 0 and json.loads(r.stdout)["net_value"] == 3.25, (r.stdout, r.stderr)
    finally:
        broker.terminate()
        broker.wait(5)
        log.close()
