"""Loading the Pesmo6 library and declaring its exports for ctypes.

The library is looked for, in order: the path in the environment variable
PESMO6_LIBRARY; a copy beside this package (libpesmo6.so*, Pesmo6.dll); the
system's (ctypes.util.find_library); then by its name as the system loader
finds it (libpesmo6.so.2 through LD_LIBRARY_PATH and the loader's cache,
Pesmo6.dll on the DLL search path) and in /usr/local/lib, where
`cmake --install` puts it without running ldconfig.  On 32-bit Windows the
exports are stdcall (WinDLL), elsewhere the platform's C convention (CDLL).
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from pathlib import Path
from typing import Any, Callable, Optional

IS_WINDOWS = sys.platform == "win32"
IS_STDCALL = IS_WINDOWS and ctypes.sizeof(ctypes.c_void_p) == 4

if IS_STDCALL:
    _Library: Any = ctypes.WinDLL  # type: ignore[attr-defined]
    CALLBACK: Callable[..., Any] = ctypes.WINFUNCTYPE  # type: ignore[attr-defined]
else:
    _Library = ctypes.CDLL
    CALLBACK = ctypes.CFUNCTYPE

i32 = ctypes.c_int32
u32 = ctypes.c_uint32
text = ctypes.c_char_p
# Returned texts are taken as addresses and copied at once: ctypes must not
# try to free or keep them.
ctext = ctypes.c_void_p
f64 = ctypes.c_double

LogCallback = CALLBACK(None, ctypes.c_char_p)
EventCallback = CALLBACK(None, ctypes.c_void_p)
TrafficCallback = CALLBACK(None, i32, i32, ctypes.POINTER(ctypes.c_uint8), i32)

# name: (result type, argument types)
EXPORTS: dict[str, tuple[Any, list[Any]]] = {
    "W7410": (i32, [i32, text]),
    "W7410C": (i32, [i32, text]),
    "W7410Serial": (i32, [u32]),
    "W7410SerialC": (i32, [u32]),
    "WKVT": (i32, [i32, text]),
    "WKVTSerial": (i32, [u32]),
    "WOhaus": (i32, [i32, text]),
    "WOhausSerial": (i32, [u32]),
    "WTrilograf": (i32, [i32, text]),
    "WTrilografSerial": (i32, [u32]),
    "WMSI3360": (i32, [i32, text]),
    "WMSI3360Serial": (i32, [u32]),
    "WMSI6260": (i32, [i32, text]),
    "WMSI6260Serial": (i32, [u32]),
    "Update_Canal": (i32, [i32]),
    "Update_NoMotion": (i32, [i32, i32]),
    "LePesoConsecutivo": (i32, [i32, i32, i32]),
    "Gross_Canal": (ctext, [i32]),
    "Net_Canal": (ctext, [i32]),
    "Tare_Canal": (ctext, [i32]),
    "Tag_Canal": (ctext, [i32]),
    "Total_Canal": (ctext, [i32]),
    "Contadora_Canal": (ctext, [i32]),
    "Estado_Canal": (ctext, [i32]),
    "Estado_EmMovimento": (ctext, [i32]),
    "Gross_Canal_Float": (f64, [i32]),
    "Net_Canal_Float": (f64, [i32]),
    "Tare_Canal_Float": (f64, [i32]),
    "Display_Erro": (ctext, [i32]),
    "FirVer": (None, [ctypes.POINTER(ctext)] * 5),
    "Seta_Ip": (i32, [text]),
    "Select_Canal": (i32, [i32]),
    "Close_Canal": (None, [i32]),
    "Deleta_Canal": (None, [i32]),
    "DIO_InPort": (i32, [i32]),
    "DIO_InPortStr": (ctext, [i32]),
    "DIO_InBit": (i32, [i32, i32]),
    "DIO_InBitStr": (i32, [i32, i32]),
    "DIO_OutPort": (i32, [i32, i32]),
    "DIO_OutPortStr": (i32, [i32, text]),
    "DIO_OutBit": (i32, [i32, i32, i32]),
    "DIO_OutBitStr": (i32, [i32, i32, text]),
    "ClrBufRx": (i32, [i32, text]),
    "ClrBufTx": (i32, [i32, text]),
    "ProgSerial": (None, [i32, i32, i32, i32, i32]),
    "Seta_Porta": (i32, [u32, text]),
    "Seta_Log": (None, [LogCallback]),
    "Erro_Validacao": (ctext, []),
    "Seta_Eventos": (None, [EventCallback, ctypes.c_void_p]),
}

# Exports that only newer libraries have: declared when the library has them.
OPTIONAL_EXPORTS: dict[str, tuple[Any, list[Any]]] = {
    "Seta_Trafego": (None, [TrafficCallback]),
    "Update_Canais": (i32, [ctypes.POINTER(i32), i32, i32, ctypes.POINTER(i32)]),
    "Seta_Idioma": (i32, [i32]),
}


def _candidates() -> list[str]:
    found: list[str] = []
    explicit = os.environ.get("PESMO6_LIBRARY")
    if explicit:
        found.append(explicit)
    here = Path(__file__).resolve().parent
    names = ["Pesmo6.dll"] if IS_WINDOWS else sorted(p.name for p in here.glob("libpesmo6.so*"))
    found += [str(here / n) for n in names if (here / n).exists()]
    system = ctypes.util.find_library("Pesmo6" if IS_WINDOWS else "pesmo6")
    if system:
        found.append(system)
    if IS_WINDOWS:
        found.append("Pesmo6.dll")
    else:
        found += ["libpesmo6.so.2", "/usr/local/lib/libpesmo6.so.2"]
    return list(dict.fromkeys(found))


def load() -> Any:
    """The library with every export it has declared; OSError when none loads."""
    errors: list[str] = []
    for path in _candidates():
        try:
            lib = _Library(path)
        except OSError as e:
            errors.append(f"{path}: {e}")
            continue
        for name, (restype, argtypes) in EXPORTS.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        for name, (restype, argtypes) in OPTIONAL_EXPORTS.items():
            if hasattr(lib, name):
                fn = getattr(lib, name)
                fn.restype = restype
                fn.argtypes = argtypes
        return lib
    detail = "; ".join(errors) if errors else "not found"
    raise OSError(
        "cannot load the Pesmo6 library (set PESMO6_LIBRARY to its path, or install it): " + detail)


def decode(address: Optional[int]) -> str:
    """A library text (NUL-terminated Windows-1252 at `address`) as str."""
    if not address:
        return ""
    return ctypes.string_at(address).decode("cp1252", errors="replace")


def encode(value: Optional[str]) -> bytes:
    """A text argument in Windows-1252; None is the empty text."""
    if value is None:
        return b""
    return value.encode("cp1252")
