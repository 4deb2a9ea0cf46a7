"""Errors, clean-up, converter I/O and the callbacks of the Python layer."""
from __future__ import annotations

import sys

import pytest

import pesmo6
from conftest import Stopwatch
from pesmo6 import UpdateCode

lib = pesmo6.library()


def test_version_is_the_librarys():
    assert pesmo6.library_version() == ("PESMO", pesmo6.__version__, "Pesmo6")


def test_registration_errors_carry_the_librarys_message(sim):
    s = sim("--family", "7410", "--converter")
    conv = pesmo6.Converter(s.where)
    with pytest.raises(pesmo6.RegistrationError) as e:
        conv.scale("7410", "E")
    # Windows-1252 from the library, decoded.
    assert "O canal (E) não existe" in str(e.value)
    assert str(e.value) == pesmo6.last_error()
    with pytest.raises(pesmo6.RegistrationError):
        pesmo6.Converter("127.0.0.1" + " " * 8)  # 17 characters
    with pytest.raises(ValueError):
        conv.scale("7410", 5)
    with pytest.raises(ValueError):
        conv.scale("8000", "A")
    with pytest.raises(ValueError):
        pesmo6.Scale.serial("KVT", device="/dev/null", raw=True)
    with pytest.raises(ValueError):
        pesmo6.Scale.serial("7410")
    with pytest.raises(pesmo6.RegistrationError):
        pesmo6.set_port(0, "/dev/ttyUSB0")
    with pytest.raises(pesmo6.RegistrationError):
        pesmo6.set_port(70000, "/dev/ttyUSB0")


def test_same_address_is_the_same_converter(sim):
    s = sim("--family", "7410", "--converter")
    assert pesmo6.Converter(s.where).number == pesmo6.Converter(s.where).number


def test_missing_port_and_silent_indicator(sim, tmp_path):
    with pesmo6.Scale.serial("7410", device=str(tmp_path / "no-such-tty")) as scale:
        t0 = Stopwatch()
        r = scale.update()
        assert r.code == UpdateCode.NOT_OPENED and r.reason
        assert t0.own() < 3
    s = sim("--family", "7410", "--silent")
    with pesmo6.Scale.serial("7410", device=s.where) as scale:
        r = scale.update(no_motion_ms=200)
        # The library's texts read "0" now: no weight, and the binding hands out none.
        assert pesmo6.library().Net_Canal_Float(scale.channel) == 0.0
        assert scale.reading().net is None and scale.reading().code == UpdateCode.MOTION
    assert r.code == UpdateCode.MOTION and not r.ok
    assert (r.net, r.gross, r.tare, r.net_text, r.gross_text, r.status, r.motion, r.unit, r.tag, r.raw) == \
        (None,) * 10
    assert r.reason


def test_values_only_after_a_stored_reading(sim):
    s = sim("--family", "7410", "--net", "500")
    with pesmo6.Scale.serial("7410", device=s.where) as scale:
        before = scale.reading()
        assert before.code == UpdateCode.NOTHING and before.net is None
        r = scale.update()
        assert r.ok and r.net == 5 and r.reason is None
        assert scale.reading().net == 5
        s.stop()  # the indicator's port goes away
        r = scale.update(no_motion_ms=150)
        assert not r.ok and r.net is None and r.reason
        assert scale.reading().net is None


def test_reasons_follow_the_language(tmp_path):
    try:
        pesmo6.set_language("en")
        with pesmo6.Scale.serial("OHAUS", device=str(tmp_path / "missing")) as scale:
            r = scale.update()
        assert r.code == UpdateCode.NOT_OPENED
        assert "exist" in r.reason or "did not open" in r.reason, r.reason
        with pytest.raises(pesmo6.RegistrationError) as e:
            pesmo6.Converter("127.0.0.1").scale("KVT", "E")
        assert str(e.value) == "Converter line (E) does not exist.\nUse line A, B, C or D."
        with pytest.raises(ValueError):
            pesmo6.set_language("de")
    finally:
        pesmo6.set_language("pt")
    with pytest.raises(pesmo6.RegistrationError) as e:
        pesmo6.set_port(70000, "/dev/ttyUSB0")
    assert "70000" in str(e.value) and "65535" in str(e.value) and "n\u00famero" in str(e.value)


def test_unreachable_converter_line_gives_nothing_at_once(sim):
    s = sim("--family", "7410", "--converter", "--line", "1")
    conv = pesmo6.Converter(s.where)
    with conv.scale("7410", "B") as scale:  # the simulated converter listens on every line
        assert scale.select()
    unreachable = pesmo6.Converter("127.250.250.250")
    with unreachable.scale("KVT", "A") as scale:
        t0 = Stopwatch()
        r = scale.update()
        assert r.code == UpdateCode.NOTHING and t0.own() < 3
        assert r.net is None and r.reason
        assert not scale.select()


def test_context_manager_closes_and_frees_the_port(sim):
    s = sim("--family", "7410", "--net", "700")
    with pytest.raises(RuntimeError):
        with pesmo6.Scale.serial("7410", device=s.where, raw=True) as scale:
            channel = scale.channel
            assert scale.update().code == UpdateCode.READ  # a raw channel keeps the port open
            raise RuntimeError("host fails")
    assert scale.closed and scale.channel == -1
    scale.close()  # harmless
    assert lib.Select_Canal(channel) == 0  # the channel is gone
    with pytest.raises(ValueError):
        scale.update()
    # The exclusive lock went with it: another channel opens the same port.
    with pesmo6.Scale.serial("7410", device=s.where, raw=True) as again:
        assert again.update().code == UpdateCode.READ


def test_port_kept_open_by_one_scale_is_busy_for_another(sim):
    s = sim("--family", "7410")
    with pesmo6.Scale.serial("7410", device=s.where, raw=True) as first:
        assert first.update().code == UpdateCode.READ
        with pesmo6.Scale.serial("7410", 4242, device=s.where, raw=True) as second:
            assert second.update().code == UpdateCode.NOT_OPENED


def test_converter_digital_io_and_buffers(sim):
    s = sim("--family", "7410", "--converter", "--inputs", str(0b10100101))
    conv = pesmo6.Converter(s.where)
    assert conv.inputs() == 0b10100101
    assert conv.inputs_pattern() == "SNSNNSNS"
    assert [conv.input_bit(b) for b in range(3)] == [True, False, True]
    assert conv.input_bit_text(1) == "N"
    conv.set_outputs(0x0F)
    assert s.ask("outputs") == "outputs 15"
    conv.set_outputs("SNNNNNNS")
    assert s.ask("outputs") == "outputs 129"
    conv.set_output_bit(1, True)
    assert s.ask("outputs") == "outputs 131"
    conv.set_output_bit(7, "N")
    assert s.ask("outputs") == "outputs 3"
    conv.clear_rx("B")
    conv.clear_tx(4)
    assert s.ask("clears R 2") == "clears 1"
    assert s.ask("clears W 4") == "clears 1"
    with pytest.raises(ValueError):
        conv.clear_rx(0)


def test_unreachable_converter_inputs_raise():
    conv = pesmo6.Converter("127.250.250.251")
    with pytest.raises(pesmo6.ConverterError):
        conv.inputs()
    with pytest.raises(pesmo6.ConverterError):
        conv.inputs_pattern()
    assert conv.input_bit_text(0) == "E"
    conv.set_outputs(1)  # handed over; the library does not know more


def test_log_lines_reach_python_until_turned_off(sim):
    s = sim("--family", "7410")
    lines = []
    pesmo6.set_log(lines.append)
    with pesmo6.Scale.serial("7410", device=s.where) as scale:
        scale.update()
        assert any(line.startswith(f"Update_C[{scale.channel},") for line in lines), lines
        pesmo6.set_log(None)
        seen = len(lines)
        scale.update()
    assert len(lines) == seen


def test_event_hook_may_close_the_scale_being_updated(sim):
    s = sim("--family", "7410", "--silent")
    passes = []
    with pesmo6.Scale.serial("7410", device=s.where) as scale:
        def hook():
            passes.append(1)
            if len(passes) == 3:
                scale.close()
        pesmo6.set_events(hook)
        t0 = Stopwatch(s.proc.pid)
        r = scale.update()
    assert r.code == UpdateCode.NOTHING
    assert t0.own() < 1
    assert len(passes) >= 3 and scale.closed


def test_exception_in_a_callback_does_not_cross_the_library(sim, monkeypatch):
    s = sim("--family", "7410")
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append(u.exc_type))

    def broken(line):
        raise KeyError(line)

    pesmo6.set_log(broken)
    with pesmo6.Scale.serial("7410", device=s.where) as scale:
        assert scale.update().code == UpdateCode.READ
    pesmo6.set_log(None)
    assert reported and set(reported) == {KeyError}


def test_optional_exports_follow_the_library():
    assert hasattr(pesmo6, "set_traffic") == hasattr(lib, "Seta_Trafego")
    assert hasattr(pesmo6, "update_many") == hasattr(lib, "Update_Canais")


@pytest.mark.skipif(not hasattr(pesmo6, "set_traffic"), reason="the library has no byte tap")
def test_byte_tap(sim):
    s = sim("--family", "7410", "--net", "4321")
    seen = []
    pesmo6.set_traffic(lambda channel, direction, data: seen.append((channel, direction, data)))
    try:
        with pesmo6.Scale.serial("7410", device=s.where) as scale:
            assert scale.update().code == UpdateCode.READ
            received = b"".join(d for c, direction, d in seen if c == scale.channel and direction == 0)
    finally:
        pesmo6.set_traffic(None)
    assert b"004321" in received


@pytest.mark.skipif(not hasattr(pesmo6, "update_many"), reason="the library has no multi-channel update")
def test_update_many(sim):
    a = sim("--family", "7410", "--net", "100")
    b = sim("--family", "KVT", "--converter", "--line", "2", "--net", "200")
    with pesmo6.Scale.serial("7410", device=a.where) as sa, \
            pesmo6.Converter(b.where).scale("KVT", "B") as sb:
        ra, rb = pesmo6.update_many([sa, sb])
    assert (ra.code, rb.code) == (UpdateCode.READ, UpdateCode.READ)
    assert (ra.net, rb.net) == (1, 2)


@pytest.mark.skipif(not hasattr(pesmo6, "update_many"), reason="the library has no multi-channel update")
def test_update_many_fails_a_down_line_at_once_as_update_does(sim):
    a = sim("--family", "7410", "--net", "100")
    down = pesmo6.Converter("127.250.250.252")  # nothing listens: refused at once
    with pesmo6.Scale.serial("7410", device=a.where) as sa, down.scale("KVT", "C") as sb:
        watch = Stopwatch()
        ra, rb = pesmo6.update_many([sa, sb])
        elapsed = watch.own()
        single = sb.update()
    assert ra.code == UpdateCode.READ and ra.net == 1
    assert rb.code == single.code == UpdateCode.NOTHING
    assert rb.net is None and rb.reason and single.reason
    assert elapsed < 3, "the down line was not waited for"
    with pytest.raises(ValueError):
        pesmo6.update_many([sa])  # closed, as update() refuses it
