"""Pesmo6 for Python: read weighing indicators through the Pesmo6 library.

    import pesmo6

    with pesmo6.Scale.serial("7410", device="/dev/ttyUSB0") as scale:
        r = scale.update()
        if r.ok:                      # code READ or OVERLOAD: only then are there values
            print(r.net, r.unit)
        else:
            print(r.code, r.reason)   # net, gross... are None

    conv = pesmo6.Converter("192.168.0.50")
    with conv.scale("7410", "A") as scale:
        print(scale.stable(count=5, limit_s=10).net)

The library is single-threaded: use it (and every object of this package)
from one thread at a time.  Waits run the library's event pump, which calls
the hook set with set_events() and, on Windows, dispatches the thread's
window messages.
"""
from __future__ import annotations

import ctypes
import enum
import re
from dataclasses import dataclass
from decimal import Decimal
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

from . import _native
from ._native import decode, encode

__version__ = "2.0.24"

__all__ = [
    "Converter", "ConverterError", "Pesmo6Error", "Reading", "RegistrationError", "Scale",
    "UpdateCode", "FAMILIES", "last_error", "library", "library_version", "set_events", "set_language",
    "set_log", "set_port",
]

lib: Any = _native.load()


def library() -> Any:
    """The loaded library (ctypes), every export declared, for direct calls."""
    return lib


class Pesmo6Error(Exception):
    """A library call reported failure."""


class RegistrationError(Pesmo6Error):
    """A channel or converter could not be registered; the message is the
    library's (Erro_Validacao) where it gives one."""


class ConverterError(Pesmo6Error):
    """A converter command got no valid reply."""


class UpdateCode(enum.IntEnum):
    """What an update, a no-motion update or a stable read returned."""

    READ = 0           # a complete reading was stored
    NOTHING = 1        # nothing done, or no reading within the wait
    MOTION = 2         # no reading without motion within the wait (Trilograf: exchange failed)
    OVERLOAD = 3       # reading stored, the indicator reports overload
    NOT_OPENED = 4     # the port did not open within the start limit (missing or busy)
    TIME_LIMIT = 7     # stable(): the time limit passed first
    BAD_CHANNEL = -1   # stable() on channel -1

    @classmethod
    def of(cls, value: int) -> Union["UpdateCode", int]:
        try:
            return cls(value)
        except ValueError:
            return value


# family: (converter registration, serial registration, raw variants)
_REGISTRATIONS: Dict[str, Tuple[str, str, Optional[Tuple[str, str]]]] = {
    "7410": ("W7410", "W7410Serial", ("W7410C", "W7410SerialC")),
    "KVT": ("WKVT", "WKVTSerial", None),
    "OHAUS": ("WOhaus", "WOhausSerial", None),
    "TRILOGRAF": ("WTrilograf", "WTrilografSerial", None),
    "MSI3360": ("WMSI3360", "WMSI3360Serial", None),
    "MSI6260": ("WMSI6260", "WMSI6260Serial", None),
}
FAMILIES = ("7410", "KVT", "Ohaus", "Trilograf", "MSI3360", "MSI6260")

_NUMBER = re.compile(r"^-?\d+(?:[.,]\d+)?$")


def to_decimal(text: str) -> Optional[Decimal]:
    """A weight text as Decimal, whichever decimal separator it carries;
    None when it is no number ("EEEEEEEEEE", empty)."""
    compact = "".join(text.split())
    if not _NUMBER.match(compact):
        return None
    return Decimal(compact.replace(",", "."))


@dataclass(frozen=True)
class Reading:
    """One channel's readouts right after an update.

    Only a reading whose code is READ or OVERLOAD (`ok`) carries values.
    After any other code every readout field is None (the library's texts
    then hold reset values such as "0", which are no weight) and `reason`
    says why the update failed."""

    code: Union[UpdateCode, int]
    gross: Optional[Decimal]
    net: Optional[Decimal]
    tare: Optional[Decimal]
    gross_text: Optional[str]
    net_text: Optional[str]
    tare_text: Optional[str]
    status: Optional[str]    # Estado_Canal: increment, net, negative, overload, motion, unit, auxiliary
    motion: Optional[bool]   # Estado_EmMovimento is "S"
    unit: Optional[str]      # "kg", "lb"... from the status text; None when not reported
    tag: Optional[str]       # Trilograf
    total: Optional[Decimal]  # MSI6260
    total_text: Optional[str]
    raw: Optional[str]       # the undecoded frame of a raw 7410 channel
    reason: Optional[str] = None  # why it failed (Display_Erro, or what the code means); None when ok

    @property
    def ok(self) -> bool:
        """A reading was stored (READ or OVERLOAD)."""
        return _stored(self.code)


def _stored(code: int) -> bool:
    return code in (UpdateCode.READ, UpdateCode.OVERLOAD)


# What a failure code means, when the library names no reason of its own.
_CODE_REASONS: Dict[str, Dict[int, str]] = {
    "en": {
        1: "no reading within the wait",
        2: "no reading without motion within the wait",
        4: "the port did not open within the start limit (missing, or in use by another program)",
        7: "no stable weight within the time limit",
        -1: "no such channel",
    },
    "pt": {
        1: "nenhuma leitura dentro do tempo de espera",
        2: "nenhuma leitura sem movimento dentro do tempo de espera",
        4: "a porta n\u00e3o abriu dentro do limite (inexistente, ou em uso por outro programa)",
        7: "nenhum peso est\u00e1vel dentro do tempo limite",
        -1: "canal inexistente",
    },
}
_NO_LINK = {"en": "no connection to the converter line", "pt": "sem conex\u00e3o com a linha do conversor"}
_language = "pt"


def _reason_text(channel: int, code: int, fallback: Optional[str] = None) -> str:
    """The library's reason for the failure just seen (Display_Erro, read
    once); without one, what the code means."""
    given = decode(lib.Display_Erro(channel)) if channel >= 0 else ""
    if given and code != UpdateCode.TIME_LIMIT:  # readings came, none stable: no update failed
        return given
    if fallback:
        return fallback
    return _CODE_REASONS[_language].get(int(code), f"update code {int(code)}")


def _failure(channel: int, code: int, reason: str) -> Reading:
    return Reading(code=UpdateCode.of(code), gross=None, net=None, tare=None, gross_text=None, net_text=None,
                   tare_text=None, status=None, motion=None, unit=None, tag=None, total=None,
                   total_text=None, raw=None, reason=reason)


def _read(channel: int, code: int) -> Reading:
    if not _stored(code):
        return _failure(channel, code, _reason_text(channel, code))
    gross, net, tare = decode(lib.Gross_Canal(channel)), decode(lib.Net_Canal(channel)), decode(
        lib.Tare_Canal(channel))
    status = decode(lib.Estado_Canal(channel))
    unit = status[5:7].strip() if len(status) >= 7 else ""
    total = decode(lib.Total_Canal(channel))
    return Reading(
        code=UpdateCode.of(code),
        gross=to_decimal(gross), net=to_decimal(net), tare=to_decimal(tare),
        gross_text=gross, net_text=net, tare_text=tare,
        status=status,
        motion=decode(lib.Estado_EmMovimento(channel)) == "S",
        unit=unit.lower() if unit and unit != "EE" else None,
        tag=decode(lib.Tag_Canal(channel)),
        total=to_decimal(total), total_text=total,
        raw=decode(lib.Contadora_Canal(channel)),
    )


def last_error() -> str:
    """The message of the last failed validation (Erro_Validacao)."""
    return decode(lib.Erro_Validacao())


def set_language(language: str) -> None:
    """The language of the library's messages (Seta_Idioma) and of this
    package's failure reasons: "pt" (Brazilian Portuguese, the default) or
    "en".  ValueError for another value; Pesmo6Error when the loaded library
    predates the setting."""
    global _language
    codes = {"pt": 0, "en": 1}
    if language not in codes:
        raise ValueError(f"language {language!r} is not 'pt' or 'en'")
    if not hasattr(lib, "Seta_Idioma"):
        raise Pesmo6Error("the loaded Pesmo6 library has no language setting (Seta_Idioma)")
    lib.Seta_Idioma(codes[language])
    _language = language


def _registration(family: str, converter: bool, raw: bool) -> Callable[..., int]:
    entry = _REGISTRATIONS.get(str(family).upper())
    if entry is None:
        raise ValueError(f"unknown indicator family {family!r}; one of {', '.join(FAMILIES)}")
    network, serial, raw_names = entry
    if raw:
        if raw_names is None:
            raise ValueError(f"only the 7410 family has raw frames, not {family!r}")
        network, serial = raw_names
    return getattr(lib, network if converter else serial)


def _line_text(line: Union[str, int]) -> str:
    if isinstance(line, int):
        if not 1 <= line <= 4:
            raise ValueError(f"converter line {line} is not 1..4")
        return "ABCD"[line - 1]
    return line


# ---- Serial ports -----------------------------------------------------------

_device_ports: Dict[str, int] = {}


def set_port(port: int, device: str) -> None:
    """Maps serial port number `port` (1..65535) to a device path (Seta_Porta)."""
    if lib.Seta_Porta(port, encode(device)) != 0:
        raise RegistrationError(last_error() or f"port {port} cannot name {device!r}: ports are 1..65535, "
                                                "the path not empty")


def _port_for(device: str) -> int:
    """A port number of this package's own for a device path (counted down
    from 65535, so it stays clear of the small numbers hosts use)."""
    port = _device_ports.get(device)
    if port is None:
        port = 65535 - len(_device_ports)
        _device_ports[device] = port
    return port


# ---- Scales -----------------------------------------------------------------

class Scale:
    """One registered indicator (a channel).  Close it, or use it as a
    context manager; closing twice is harmless."""

    def __init__(self, channel: int, family: str, converter: Optional["Converter"] = None,
                 line: Optional[str] = None, port: Optional[int] = None) -> None:
        self._channel = channel
        self._last: int = UpdateCode.NOTHING  # the code of the last update; none yet
        self.family = family
        self.converter = converter
        self.line = line
        self.port = port

    @classmethod
    def serial(cls, family: str, port: Optional[int] = None, *, device: Optional[str] = None,
               raw: bool = False) -> "Scale":
        """An indicator on a local serial port: port number `port` (its
        system device, or `device` when both are given), or just `device`."""
        register = _registration(family, False, raw)
        if port is None:
            if not device:
                raise ValueError("Scale.serial needs a port number or a device path")
            port = _port_for(device)
        if device:
            set_port(port, device)
        if not 1 <= port <= 65535:
            raise ValueError(f"serial port {port} is not 1..65535")
        channel = register(port)
        if channel < 0:
            raise RegistrationError(last_error() or f"{family} on port {port} was not registered")
        return cls(channel, family, port=port)

    @property
    def channel(self) -> int:
        """The library's channel number; -1 once closed."""
        return self._channel

    @property
    def closed(self) -> bool:
        return self._channel < 0

    def _live(self) -> int:
        if self._channel < 0:
            raise ValueError("the scale is closed")
        return self._channel

    def select(self) -> bool:
        """Connects a converter line if it is down (at most 5 s); True when
        up, and always for a serial port."""
        return lib.Select_Canal(self._live()) == 1

    def _connect(self) -> Optional[Reading]:
        """Connects a converter line first; the failure when it cannot."""
        ch = self._live()
        if self.converter is None or lib.Select_Canal(ch) == 1:
            return None
        self._last = UpdateCode.NOTHING
        return _failure(ch, UpdateCode.NOTHING, _reason_text(ch, UpdateCode.NOTHING, _NO_LINK[_language]))

    def update(self, no_motion_ms: Optional[int] = None) -> Reading:
        """Waits for the next reading (Update_Canal), or with `no_motion_ms`
        for one without motion (Update_NoMotion).  A converter line is
        connected first (Select_Canal); one that cannot be gives NOTHING
        with its reason without updating (at once when the converter refuses,
        within 5 s when it does not answer).  Values only when `ok`."""
        down = self._connect()
        if down is not None:
            return down
        ch = self._channel
        code = lib.Update_Canal(ch) if no_motion_ms is None else lib.Update_NoMotion(ch, int(no_motion_ms))
        self._last = code
        return _read(ch, code)

    def stable(self, count: int = 5, limit_s: int = 10) -> Reading:
        """Updates until the net weight was read `count` times in a row
        within `limit_s` seconds (LePesoConsecutivo); code TIME_LIMIT when
        the time ran out.  It connects a converter line by itself."""
        ch = self._live()
        code = lib.LePesoConsecutivo(ch, int(limit_s), int(count))
        self._last = code
        return _read(ch, code)

    def reading(self) -> Reading:
        """The stored readouts without updating, with the code of the last
        update (NOTHING before the first): values only when it stored one."""
        ch = self._live()
        if not _stored(self._last):
            return _failure(ch, self._last, _CODE_REASONS[_language].get(int(self._last), ""))
        return _read(ch, self._last)

    def floats(self) -> Tuple[float, float, float]:
        """Gross, net and tare as the library converts them (0.0 when not
        numbers, and after a failed update: check the code first)."""
        ch = self._live()
        return lib.Gross_Canal_Float(ch), lib.Net_Canal_Float(ch), lib.Tare_Canal_Float(ch)

    def display_error(self) -> str:
        """The channel's pending error (Display_Erro), handed out once; the
        readings of update() already carry it as `reason`."""
        return decode(lib.Display_Erro(self._live()))

    def program_serial(self, baud: int, data_bits: int = 8, parity: int = 0, stop_bits: int = 1) -> None:
        """Closes the port and changes its line settings for the next update
        (ProgSerial; parity 1 odd, 2 even, other none)."""
        lib.ProgSerial(self._live(), baud, data_bits, parity, stop_bits)

    def close(self) -> None:
        """Closes the port or link and deletes the channel."""
        if self._channel >= 0:
            ch, self._channel = self._channel, -1
            lib.Close_Canal(ch)
            lib.Deleta_Canal(ch)

    def __enter__(self) -> "Scale":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        where = f"{self.converter.address} line {self.line}" if self.converter else f"port {self.port}"
        return f"<pesmo6.Scale {self.family} {where} channel {self._channel}>"


# ---- Converters -------------------------------------------------------------

class Converter:
    """A converter box: four serial lines and digital I/O.  The library
    never forgets a converter; creating one twice gives the same number."""

    def __init__(self, address: str) -> None:
        number = lib.Seta_Ip(encode(address))
        if number < 0:
            raise RegistrationError(f"converter address {address!r} is longer than 16 characters")
        self.address = address
        self.number: int = number

    def scale(self, family: str, line: Union[str, int], raw: bool = False) -> Scale:
        """An indicator on line "A".."D" (or 1..4)."""
        text = _line_text(line)
        channel = _registration(family, True, raw)(self.number, encode(text))
        if channel < 0:
            raise RegistrationError(last_error() or f"{family} on line {text!r} was not registered")
        return Scale(channel, family, converter=self, line=text.upper())

    def _check(self, value: int, what: str) -> int:
        if value < 0:
            raise ConverterError(f"converter {self.address}: {what} failed")
        return value

    def inputs(self) -> int:
        """The input port value (DIO_InPort)."""
        return self._check(lib.DIO_InPort(self.number), "reading the inputs")

    def inputs_pattern(self) -> str:
        """The inputs as eight "S"/"N", bit 0 first (DIO_InPortStr)."""
        pattern = decode(lib.DIO_InPortStr(self.number))
        if pattern.startswith("E"):
            raise ConverterError(f"converter {self.address}: reading the inputs failed")
        return pattern

    def input_bit(self, bit: int) -> bool:
        """One input (DIO_InBit)."""
        return self._check(lib.DIO_InBit(self.number, bit), f"reading input {bit}") == 1

    def input_bit_text(self, bit: int) -> str:
        """One input as "S", "N", or "E" on failure (DIO_InBitStr)."""
        return chr(lib.DIO_InBitStr(self.number, bit))

    def set_outputs(self, value: Union[int, str]) -> None:
        """Sets the output port: a value (DIO_OutPort) or an "S"/"N"
        pattern, bit 0 first (DIO_OutPortStr).  Handed to the converter is
        all it promises."""
        if isinstance(value, str):
            self._check(lib.DIO_OutPortStr(self.number, encode(value)), "setting the outputs")
        else:
            self._check(lib.DIO_OutPort(self.number, int(value)), "setting the outputs")

    def set_output_bit(self, bit: int, on: Union[bool, str]) -> None:
        """Sets or clears one output (DIO_OutBit; DIO_OutBitStr for "S"/"N")."""
        if isinstance(on, str):
            self._check(lib.DIO_OutBitStr(self.number, bit, encode(on)), f"setting output {bit}")
        else:
            self._check(lib.DIO_OutBit(self.number, bit, 1 if on else 0), f"setting output {bit}")

    def clear_rx(self, line: Union[str, int]) -> None:
        """Clears a line's receive buffer in the converter (ClrBufRx)."""
        self._check(lib.ClrBufRx(self.number, encode(_line_text(line))), "clearing the receive buffer")

    def clear_tx(self, line: Union[str, int]) -> None:
        """Clears a line's transmit buffer in the converter (ClrBufTx)."""
        self._check(lib.ClrBufTx(self.number, encode(_line_text(line))), "clearing the transmit buffer")

    def __repr__(self) -> str:
        return f"<pesmo6.Converter {self.address} number {self.number}>"


# ---- Callbacks ----------------------------------------------------------------

# The ctypes thunks the library holds; kept here so they outlive the call.
_keep: Dict[str, Any] = {}


def set_log(callback: Optional[Callable[[str], None]]) -> None:
    """Every trace line of the library goes to `callback` (on the calling
    thread); None turns it off.  Exceptions it raises are printed, not passed on."""
    if callback is None:
        lib.Seta_Log(_native.LogCallback())
        _keep.pop("log", None)
        return

    def thunk(line: Optional[bytes]) -> None:
        callback((line or b"").decode("cp1252", errors="replace"))

    holder = _native.LogCallback(thunk)
    lib.Seta_Log(holder)
    _keep["log"] = holder


def set_events(callback: Optional[Callable[[], None]]) -> None:
    """`callback` runs once per pass of the library's event pump (at least
    every 10 ms while it waits); it may call the library, even close the
    scale being updated.  None turns it off."""
    if callback is None:
        lib.Seta_Eventos(_native.EventCallback(), None)
        _keep.pop("events", None)
        return

    def thunk(_context: Optional[int]) -> None:
        callback()

    holder = _native.EventCallback(thunk)
    lib.Seta_Eventos(holder, None)
    _keep["events"] = holder


def library_version() -> Tuple[str, str, str]:
    """Product, version and library name as FirVer reports them."""
    fields = [ctypes.c_void_p() for _ in range(5)]
    lib.FirVer(*(ctypes.byref(f) for f in fields))
    product, version, _, _, name = (decode(f.value) for f in fields)
    return product, version, name


# ---- Exports only newer libraries have ------------------------------------------

if hasattr(lib, "Seta_Trafego"):
    def set_traffic(callback: Optional[Callable[[int, int, bytes], None]]) -> None:
        """Every byte a channel receives (direction 0) or sends (1) goes to
        callback(channel, direction, data), before the driver sees it;
        channel is -1 - converter number for a converter command.  None
        turns it off."""
        if callback is None:
            lib.Seta_Trafego(_native.TrafficCallback())
            _keep.pop("traffic", None)
            return

        def thunk(channel: int, direction: int, data: Any, count: int) -> None:
            callback(channel, direction, ctypes.string_at(data, count) if count > 0 else b"")

        holder = _native.TrafficCallback(thunk)
        lib.Seta_Trafego(holder)
        _keep["traffic"] = holder

    __all__.append("set_traffic")

if hasattr(lib, "Update_Canais"):
    def update_many(scales: Sequence[Scale], no_motion_ms: Optional[int] = None) -> List[Reading]:
        """Updates every scale in one wait (Update_Canais) and returns their
        readings in order, each as update() would give it: a converter line
        that cannot be connected gives NOTHING with its reason and is left
        out of the wait; a closed scale raises ValueError, as update() does."""
        if not scales:
            return []
        if len(scales) > 1024:
            raise ValueError(f"update_many takes at most 1024 scales, not {len(scales)}")
        for s in scales:
            s._live()
        results: List[Optional[Reading]] = [s._connect() for s in scales]
        waiting = [i for i, r in enumerate(results) if r is None]
        if waiting:
            n = len(waiting)
            channels = (_native.i32 * n)(*(scales[i].channel for i in waiting))
            codes = (_native.i32 * n)()
            wait = -1 if no_motion_ms is None else int(no_motion_ms)
            if lib.Update_Canais(channels, n, wait, codes) < 0:
                raise ValueError(f"Update_Canais refused {n} channels")
            for k, i in enumerate(waiting):
                scales[i]._last = codes[k]
                results[i] = _read(scales[i].channel, codes[k])
        return [r for r in results if r is not None]

    __all__.append("update_many")
