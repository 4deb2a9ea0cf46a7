"""Every family on a serial port and behind a converter, read through the
Python layer, with a point and with a comma as the locale's separator."""
from __future__ import annotations

import locale
import time
from decimal import Decimal

import pytest

import pesmo6
from conftest import Stopwatch
from pesmo6 import UpdateCode

TRANSPORTS = ["serial", "converter"]


def has_locale(name: str) -> bool:
    old = locale.setlocale(locale.LC_NUMERIC)
    try:
        locale.setlocale(locale.LC_NUMERIC, name)
        return True
    except locale.Error:
        return False
    finally:
        locale.setlocale(locale.LC_NUMERIC, old)


LOCALES = [pytest.param(("C", "."), id="point"),
           pytest.param(("pt_BR.UTF-8", ","), id="comma",
                        marks=pytest.mark.skipif(not has_locale("pt_BR.UTF-8"), reason="no pt_BR.UTF-8 locale"))]


def open_scale(sim, family: str, transport: str, *args: str, raw: bool = False) -> pesmo6.Scale:
    if transport == "serial":
        s = sim("--family", family, *args)
        assert s.kind == "device"
        return pesmo6.Scale.serial(family, device=s.where, raw=raw)
    s = sim("--family", family, "--converter", "--line", "3", *args)
    assert s.kind == "converter"
    return pesmo6.Converter(s.where).scale(family, "c", raw=raw)


@pytest.fixture(params=LOCALES)
def separator(request, monkeypatch):
    """The environment's locale, which the drivers read at each decode."""
    name, sep = request.param
    monkeypatch.setenv("LC_ALL", name)
    return sep


@pytest.mark.parametrize("transport", TRANSPORTS)
@pytest.mark.parametrize("family", ["7410", "KVT"])
def test_7410_and_kvt_weights_and_status(sim, family, transport, separator):
    with open_scale(sim, family, transport, "--net", "12345", "--tare", "2000") as scale:
        r = scale.update()
    assert r.code == UpdateCode.READ and r.ok
    assert (r.gross, r.net, r.tare) == (Decimal("143.45"), Decimal("123.45"), Decimal("20.00"))
    assert r.net_text == f"    123{separator}45"
    assert r.tare_text == f"     20{separator}00"
    assert (r.status, r.motion, r.unit) == ("1SNNNkgN", False, "kg")
    assert (r.tag, r.total, r.raw) == ("", None, "")


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_msi3360(sim, transport, separator):
    with open_scale(sim, "MSI3360", transport, "--net", "-1250", "--tare", "0", "--decimals", "1") as scale:
        r = scale.update()
    assert r.code == UpdateCode.READ
    assert r.gross == Decimal("-125.0")
    assert r.gross_text == f"  -125{separator}0"
    assert (r.unit, r.motion) == ("kg", False)


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_msi6260_net_and_total(sim, transport, separator):
    with open_scale(sim, "MSI6260", transport, "--net", "98765", "--total", "4500000", "--decimals", "1") as scale:
        # The simulator sends total lines every other 150 ms.
        readings = [scale.update()]
        deadline = time.monotonic() + 10  # ends once both were read
        while time.monotonic() < deadline and not (
                any(r.net is not None for r in readings) and any(r.total is not None for r in readings)):
            readings.append(scale.update())
    assert all(r.code == UpdateCode.READ for r in readings)
    nets = [r for r in readings if r.net is not None]
    totals = [r for r in readings if r.total is not None]
    assert nets and totals, "net and total lines were both read"
    assert nets[0].net == Decimal("9876.5") and nets[0].net_text == f"  9876{separator}5"
    assert nets[0].gross is None and nets[0].tare is None and nets[0].unit == "kg"
    assert totals[0].total == Decimal("450000.0")


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_ohaus_single_weight(sim, transport, separator):
    with open_scale(sim, "Ohaus", transport, "--net", "3500", "--decimals", "3") as scale:
        r = scale.update()
    assert r.code == UpdateCode.READ
    assert r.net == Decimal("3.500") and separator in r.net_text
    assert r.gross is None and r.gross_text == "EEEEEEEEEE"
    assert r.motion is False


@pytest.mark.parametrize("transport,tag,expected", [
    ("serial", "00112233445566778899AABB", "00112233445566778899AABB"),
    ("converter", "TAG-0042", "TAG-0042"),
])
def test_trilograf_tag(sim, transport, tag, expected):
    with open_scale(sim, "Trilograf", transport, "--tag", tag) as scale:
        r = scale.update()
    assert (r.code, r.tag) == (UpdateCode.READ, expected)
    assert r.net is None


def test_raw_7410_frame(sim):
    with open_scale(sim, "7410", "serial", "--net", "500", raw=True) as scale:
        r = scale.update()
    assert r.code == UpdateCode.READ
    assert len(r.raw) == 16 and r.raw.endswith("\r") and "000500" in r.raw


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_overload_is_its_own_code(sim, transport):
    with open_scale(sim, "7410", transport, "--overload") as scale:
        r = scale.update()
    assert r.code == UpdateCode.OVERLOAD and r.ok
    assert r.status[3] == "S"


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_stable_weight_after_motion(sim, transport):
    with open_scale(sim, "7410", transport, "--net", "8000", "--tare", "0", "--motion-ms", "500") as scale:
        t0 = Stopwatch()
        r = scale.stable(count=3, limit_s=5)
        took = t0.own()
    assert r.code == UpdateCode.READ
    assert r.net == Decimal("80.00") and r.motion is False
    assert took < 5


def test_moving_weight_runs_out_of_time(sim):
    with open_scale(sim, "7410", "serial", "--motion-ms", "60000") as scale:
        r = scale.stable(count=3, limit_s=1)
        assert r.code == UpdateCode.TIME_LIMIT and not r.ok
        # The readings kept moving: the last one is no stable weight, so none is handed out.
        assert r.net is None and r.reason
        moving = scale.update(no_motion_ms=300)
    assert moving.code == UpdateCode.MOTION and moving.net is None


def test_floats_match_the_decimals(sim, separator):
    with open_scale(sim, "7410", "serial", "--net", "12345", "--tare", "2000") as scale:
        r = scale.update()
        assert scale.floats() == (143.45, 123.45, 20.0)
    assert r.net == Decimal("123.45")
