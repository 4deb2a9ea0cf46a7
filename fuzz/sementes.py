#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/: the worked examples
and frames such as the simulators send, each behind the mode byte and the
piece-size byte the targets read first (see Bancada.h).  Regression inputs
found by fuzzing live beside them (named regress-*) and are not touched;
regress-int32-max-decimals (FormataPeso told to pad to INT32_MAX decimals)
is one.  Entries named by a SHA-1 alone are what the long runs found worth
keeping (libFuzzer's -merge=1 over their corpus)."""
import hashlib
import os
import sys

RAIZ = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def soma7410(corpo: bytes) -> int:
    s = 2 + sum(c & 0x7F for c in corpo)
    return (-s) & 0x7F


def corpo7410(dec=4, inc=1, net=False, neg=False, ovl=False, mov=False, kg=True, aux=False,
              peso=b"001250", tara=b"000000") -> bytes:
    s1 = 0x20 | (dec & 7) | (0x10 if inc == 2 else 0x18 if inc == 5 else 0)
    s2 = 0x20 | (1 if net else 0) | (2 if neg else 0) | (4 if ovl else 0) | (8 if mov else 0) | (0x10 if kg else 0)
    s3 = 0x28 if aux else 0x20
    return bytes([s1, s2, s3]) + peso + tara + b"\r"


def q7410(**kw) -> bytes:
    c = corpo7410(**kw)
    return b"\x02" + c + bytes([soma7410(c)])


def kvt(**kw) -> bytes:
    return b"\x02" + corpo7410(**kw)


def msi3360(g=b"   12.50", n=b"   10.00", t=b"    2.50", u=b"kg") -> bytes:
    return b"\x02" + g + n + t + u + b"\x03"


def linha6260(rot: bytes, valor: bytes, unidade=b"KG") -> bytes:
    return rot + b" " + valor + (b" " + unidade if unidade else b"") + b"\r\n"


def tri(byte1: int, cmd: int, dados: bytes) -> bytes:
    f = bytes([0x0B, byte1, len(dados) + 2, cmd]) + dados
    return f + bytes([(-sum(f)) & 0xFF])


TAG = bytes.fromhex("E20034120123456789ABCDEF")

SEMENTES = {
    "quadro": [
        (0, 0, q7410()), (0, 3, q7410(neg=True, net=True, peso=b"000005", tara=b"000120")),
        (0, 0, q7410(dec=7, peso=b"999999", tara=b"999999")), (0, 1, b"\x7f\x02junk" + q7410(ovl=True)),
        (8, 2, q7410(mov=True) + q7410()), (4, 0, q7410(inc=5, aux=True, kg=False)),
        (1, 0, q7410()), (5, 4, q7410(dec=0) + q7410(dec=1)),
        (2, 0, kvt()), (6, 5, kvt(neg=True, peso=b"  -120")), (10, 0, kvt(mov=True) + kvt()),
        (0, 0, b"\x02\x20\x20\r" + bytes([soma7410(b"\x20\x20\r")])),
    ],
    "msi3360": [
        (0, 0, msi3360()), (1, 3, msi3360(n=b"       0")), (0, 0, msi3360(g=b"--------", n=b"--------")),
        (2, 1, b"noise\x02short\x03" + msi3360(g=b"  12,500", u=b"lb")),
    ],
    "msi6260": [
        (0, 0, linha6260(b"GROSS ", b"  18000.0") + linha6260(b" TARE ", b"   6000.0")
         + linha6260(b"  NET ", b"  12000.0") + linha6260(b"TOTAL ", b"  96000.0")),
        (1, 4, linha6260(b"TOTAL ", b"   1234,5", b"LB")), (2, 0, b"no label\r\n" + linha6260(b"  NET ", b"12", b"")),
        (0, 7, linha6260(b"GROSS ", b"KG")),
    ],
    "ohaus": [
        (0, 0, b"   12.50 kg\r\n"), (1, 2, b"  -0.125 g ?\r\n   0.125 g\r\n"), (2, 0, b"   1.5 kg ?\r\n   1.5 kg\r\n"),
        (3, 1, b"\n\r\n-  12.5 kg\r\n"), (0, 0, b"123456789012345 kg\r\n"),
    ],
    "trilograf": [
        (0, 0, tri(0, 0x44, b"") + tri(3, 0x80, b"\x01\x00") + tri(0, 0x40, b"\x01\x00\x00" + TAG)),
        (0, 3, tri(0, 0x44, b"") + tri(4, 0x80, b"\x00\x01") + tri(0, 0x40, b"\x01\x00\x00" + TAG)),
        (0, 1, tri(0, 0x44, b"") + tri(3, 0x80, b"\x01\x00") + tri(0, 0x40, b"\x00" * 15)),
        (0, 0, tri(0, 0x44, b"") + bytes([0x0B, 3, 0, 0x80, 1, 1, 1])),
        (1, 0, b"\x02E20034120123456789ABCDEF\r"), (1, 2, b"xx\x02TAG-1\x02TAG-2\r\x02more\r"),
    ],
    "comando": [
        (0, 0, b"IN129 OK\n\r"), (1, 0, b"IN005 OK\n\r"), (2 | (7 << 3), 3, b"IN255 OK\n\r"), (3 | (1 << 3), 0, b"IN-12 OK\n\r"),
        (0, 2, b"xxIN 12 OK\n\r"), (1, 0, b"IN\x0012 OK\n\r"), (4, 0, b" OK\n\r"), (0, 0, b"no reply"),
        (5, 0, b"OP OK\n\r"), (6, 0, b" OK\n\r"),
    ],
    "formato": [
        (2, 0, b"1234"), (2, 1, b"5"), (5, 0, b"1"), (0, 0, b"1234"), (5, 1, b"999999"), (0, 0, b"123456789012"),
        (2, 2, b"  12,50"), (2, 3, b" +1.5e2 "), (0xFF, 0, b"42"), (2, 2, b"EEEEEEEEEE"),
    ],
    "argumentos": [
        (0, 0, b"192.168.0.50"), (0, 0, b" 127.0.0.1 "), (0, 0, b"12345678901234567"), (1, 0, b"A"), (1, 0, b"d"),
        (1, 0, b"AB"), (2, 0, b"SNSNSNSN"), (2, 0, b"S" * 40), (3, 1, b"/dev/ttyUSB0"), (3, 0, b""),
        (4, 0, b"B"), (5, 3, b"S"), (0, 0, b"caf\xe9\x01\x7f"),
    ],
}


def main() -> int:
    for alvo, lista in SEMENTES.items():
        pasta = os.path.join(RAIZ, alvo)
        os.makedirs(pasta, exist_ok=True)
        for modo, pedaco, dados in lista:
            conteudo = bytes([modo, pedaco]) + dados
            nome = "seed-" + hashlib.sha1(conteudo).hexdigest()[:16]
            with open(os.path.join(pasta, nome), "wb") as f:
                f.write(conteudo)
    return 0


if __name__ == "__main__":
    sys.exit(main())
