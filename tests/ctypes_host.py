#!/usr/bin/env python3
"""A Python host: loads the shared library with ctypes, reads a 7410
indicator played on a pseudo-terminal, and checks every readout."""
import ctypes
import os
import sys
import threading
import time


def frame(weight, tare, status2=0x30):
    body = bytes([0x24, status2, 0x20]) + b"%06d%06d\r" % (weight, tare)
    total = 2 + sum(b & 0x7F for b in body)
    return b"\x02" + body + bytes([(-total) & 0x7F])


def main(path):
    lib = ctypes.CDLL(path)
    for name in ("Gross_Canal", "Net_Canal", "Tare_Canal", "Estado_Canal", "Estado_EmMovimento",
                 "Contadora_Canal", "Tag_Canal", "Total_Canal", "Display_Erro"):
        getattr(lib, name).restype = ctypes.c_char_p
        getattr(lib, name).argtypes = [ctypes.c_int32]
    for name in ("Gross_Canal_Float", "Net_Canal_Float", "Tare_Canal_Float"):
        getattr(lib, name).restype = ctypes.c_double
        getattr(lib, name).argtypes = [ctypes.c_int32]
    lib.Seta_Porta.argtypes = [ctypes.c_uint32, ctypes.c_char_p]
    lib.W7410Serial.argtypes = [ctypes.c_uint32]

    master, slave = os.openpty()
    os.set_blocking(master, False)
    device = os.ttyname(slave)
    os.close(slave)
    stop = threading.Event()

    def indicator():
        while not stop.is_set():
            try:
                os.write(master, frame(12345, 2000, 0x31))  # net flag, kg
            except BlockingIOError:
                pass
            # A whole frame every 50 ms: no faster than the 37.5 ms the
            # wire takes to carry it at 4800 baud (faster is a backlog).
            time.sleep(0.05)

    writer = threading.Thread(target=indicator)
    writer.start()
    try:
        produto, versao, r1, r2, nome = (ctypes.c_char_p() for _ in range(5))
        lib.FirVer(ctypes.byref(produto), ctypes.byref(versao), ctypes.byref(r1), ctypes.byref(r2),
                   ctypes.byref(nome))
        assert (produto.value, versao.value, nome.value) == (b"PESMO", b"2.0.24", b"Pesmo6")

        assert lib.Seta_Porta(5, device.encode()) == 0
        ch = lib.W7410Serial(5)
        assert ch >= 0, ch
        assert lib.Update_Canal(ch) == 0
        net = lib.Net_Canal(ch)
        sep = net[-3:-2]  # the locale's separator, two decimals
        assert sep in (b",", b"."), net
        assert net == b"    123" + sep + b"45", net
        assert lib.Gross_Canal(ch) == b"    143" + sep + b"45"
        assert lib.Tare_Canal(ch) == b"     20" + sep + b"00"
        assert lib.Estado_Canal(ch) == b"1SNNNkgN"
        assert lib.Estado_EmMovimento(ch) == b"N"
        assert lib.Contadora_Canal(ch) == b""
        assert lib.Display_Erro(ch) == b""
        assert lib.Net_Canal_Float(ch) == 123.45
        assert lib.Gross_Canal_Float(ch) == 143.45
        assert lib.Tare_Canal_Float(ch) == 20.0
        assert lib.LePesoConsecutivo(ch, 5, 2) == 0
        lib.Close_Canal(ch)
        assert lib.Gross_Canal(ch) == b"EEEEEEEEEE"
        lib.Deleta_Canal(ch)
    finally:
        stop.set()
        writer.join()
        os.close(master)
    print("ctypes host: 1 passed, 0 failed")


if __name__ == "__main__":
    main(sys.argv[1])
