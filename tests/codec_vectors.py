"""The byte layouts the naming rules give, as fixed vectors.

Each expected buffer is computed here straight from the rule's own formula
(B0 = P0[7:0]; B1 = P1[5:0]<<2 | P0[9:8]; ...), so a reading shared by the
codec and the reference model cannot hide behind their agreement. The pixel
values set distinct bits, so that a bit in the wrong place changes the result.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np


@dataclass(frozen=True)
class Vector:
    name: str
    width: int
    height: int
    image: Any          # what decode returns: an array, or a dict of arrays
    data: bytes

    def __str__(self) -> str:
        return self.name


def b(v: int, hi: int, lo: int) -> int:
    """Bits hi..lo of v, as the rules write Pk[hi:lo]."""
    return (v >> lo) & ((1 << (hi - lo + 1)) - 1)


def stream(values: list[int], width: int, nbytes: int) -> bytes:
    """The lsb bit stream of ``values``, each ``width`` bits, first value from bit 0 of byte 0."""
    return sum(v << (width * k) for k, v in enumerate(values)).to_bytes(nbytes, "little")


P10 = [0x2A5, 0x15B, 0x3C6, 0x0F9]
P12 = [0xA5C, 0x3B6]
P14 = [0x2A5C, 0x1B63, 0x3F0F, 0x0C3A]
C10 = [0x3A5, 0x15C, 0x2E7]            # R G B, or A B C, or three mono pixels


def mono(values, dtype=np.uint16):
    return np.array([values], dtype=dtype)


def pixels(rows, dtype=np.uint16):
    return np.array([rows], dtype=dtype)


def _mono10p(p):
    return bytes([b(p[0], 7, 0), b(p[1], 5, 0) << 2 | b(p[0], 9, 8), b(p[2], 3, 0) << 4 | b(p[1], 9, 6),
                  b(p[3], 1, 0) << 6 | b(p[2], 9, 4), b(p[3], 9, 2)])


def _rgb10p32msb(c):
    return bytes([b(c[0], 9, 2), b(c[0], 1, 0) << 6 | b(c[1], 9, 4), b(c[1], 3, 0) << 4 | b(c[2], 9, 6),
                  b(c[2], 5, 0) << 2])


_WORD32 = (C10[0] | C10[1] << 10 | C10[2] << 20).to_bytes(4, "little")
_RGB4 = [[0x3A5, 0x15C, 0x2E7], [0x0F1, 0x3C2, 0x1B3], [0x26D, 0x099, 0x3FE], [0x001, 0x200, 0x155]]
_RGB12 = [[0xA5C, 0x3B6, 0xF01], [0x7E2, 0x0C9, 0xB5A]]
_ABC = [[1.5, -2.25, 1e-3], [float("inf"), 0.0, -0.0]]
_Y, _U, _V = [0x10, 0x81, 0xEB, 0x7F], [0x40, 0xC0], [0x22, 0xDD]

VECTORS = [
    Vector("Mono10p", 4, 1, mono(P10), _mono10p(P10)),
    Vector("BayerRG10p", 4, 1, mono(P10), _mono10p(P10)),
    Vector("Coord3D_C10p", 2, 2, np.array([P10[:2], P10[2:]], dtype=np.uint16), _mono10p(P10)),
    Vector("Mono12p", 2, 1, mono(P12),
           bytes([b(P12[0], 7, 0), b(P12[1], 3, 0) << 4 | b(P12[0], 11, 8), b(P12[1], 11, 4)])),
    Vector("Mono14p", 4, 1, mono(P14), stream(P14, 14, 7)),
    Vector("Mono12Packed", 2, 1, mono(P12),
           bytes([b(P12[0], 11, 4), b(P12[1], 3, 0) << 4 | b(P12[0], 3, 0), b(P12[1], 11, 4)])),
    Vector("Mono10Packed", 2, 1, mono(P10[:2]),
           bytes([b(P10[0], 9, 2), b(P10[0], 1, 0) | b(P10[1], 1, 0) << 4, b(P10[1], 9, 2)])),
    Vector("Mono12g", 2, 1, mono(P12),
           bytes([b(P12[0], 11, 4), b(P12[1], 11, 4), b(P12[1], 3, 0) << 4 | b(P12[0], 3, 0)])),
    Vector("Mono10g12", 2, 1, mono(P10[:2]),
           bytes([b(P10[0], 9, 2), b(P10[1], 9, 2), b(P10[0], 1, 0) | b(P10[1], 1, 0) << 4])),
    Vector("RGB10p32", 1, 1, pixels([C10]), _WORD32),
    Vector("Mono10c3p32", 3, 1, mono(C10), _WORD32),
    Vector("RGB10p32msb", 1, 1, pixels([C10]), _rgb10p32msb(C10)),
    Vector("Mono10pmsb", 4, 1, mono(P10),
           bytes([b(P10[0], 9, 2), b(P10[0], 1, 0) << 6 | b(P10[1], 9, 4), b(P10[1], 3, 0) << 4 | b(P10[2], 9, 6),
                  b(P10[2], 5, 0) << 2 | b(P10[3], 9, 8), b(P10[3], 7, 0)])),
    Vector("RGB565p", 1, 1, pixels([[0x15, 0x2B, 0x0E]], np.uint8),
           (0x15 | 0x2B << 5 | 0x0E << 11).to_bytes(2, "little")),
    Vector("BGR565p", 1, 1, pixels([[0x15, 0x2B, 0x0E]], np.uint8),      # B, G, R: B in the low bits
           (0x15 | 0x2B << 5 | 0x0E << 11).to_bytes(2, "little")),
    *(Vector(name, 4, 1, pixels(_RGB4), stream([c for p in _RGB4 for c in p], 10, 15))
      for name in ("RGB10p", "BGR10p", "Coord3D_ABC10p")),
    *(Vector(name, 2, 1, pixels(_RGB12), stream([c for p in _RGB12 for c in p], 12, 9))
      for name in ("RGB12p", "BGR12p", "Coord3D_ABC12p")),
    Vector("Coord3D_ABC32f", 2, 1, pixels(_ABC, np.float32), np.array(_ABC, "<f4").tobytes()),
    Vector("Coord3D_ABC32f_Planar", 2, 1, pixels(_ABC, np.float32), np.array(_ABC, "<f4").T.tobytes()),
    Vector("YUV422_8", 4, 1, {"Y": mono(_Y, np.uint8), "U": mono(_U, np.uint8), "V": mono(_V, np.uint8)},
           bytes([_Y[0], _U[0], _Y[1], _V[0], _Y[2], _U[1], _Y[3], _V[1]])),
    Vector("YUV422_8_UYVY", 4, 1, {"Y": mono(_Y, np.uint8), "U": mono(_U, np.uint8), "V": mono(_V, np.uint8)},
           bytes([_U[0], _Y[0], _V[0], _Y[1], _U[1], _Y[2], _V[1], _Y[3]])),
    Vector("YCbCr422_8_CbYCrY", 4, 1,
           {"Y": mono(_Y, np.uint8), "Cb": mono(_U, np.uint8), "Cr": mono(_V, np.uint8)},
           bytes([_U[0], _Y[0], _V[0], _Y[1], _U[1], _Y[2], _V[1], _Y[3]])),
    Vector("YCbCr411_8_CbYYCrYY", 4, 1,
           {"Y": mono(_Y, np.uint8), "Cb": mono(_U[:1], np.uint8), "Cr": mono(_V[:1], np.uint8)},
           bytes([_U[0], _Y[0], _Y[1], _V[0], _Y[2], _Y[3]])),
]

# Layouts the rules give in words (sections 5 and 6) rather than byte by byte.
_Y4 = {"Y": mono(_Y, np.uint8), "Cb": mono(_U[:1], np.uint8), "Cr": mono(_V[:1], np.uint8)}
_NV12 = {"Y": np.array([_Y[:2], _Y[2:]], np.uint8), "Cb": mono(_U[:1], np.uint8), "Cr": mono(_V[:1], np.uint8)}
_RGB8 = [[0x11, 0x22, 0x33], [0x44, 0x55, 0x66]]
_Y10, _CB10, _CR10 = [0x2A5, 0x15B], [0x3C6], [0x0F9]
VECTORS += [
    Vector("Mono10", 2, 1, mono(P10[:2]), np.array(P10[:2], "<u2").tobytes()),       # bits 15..10 zero
    Vector("Mono12msb", 2, 1, mono(P12), np.array([p << 4 for p in P12], "<u2").tobytes()),
    Vector("RGB8a32", 2, 1, pixels(_RGB8, np.uint8), bytes([0x11, 0x22, 0x33, 0, 0x44, 0x55, 0x66, 0])),
    Vector("BGR8", 2, 1, pixels(_RGB8, np.uint8), bytes([0x11, 0x22, 0x33, 0x44, 0x55, 0x66])),
    Vector("RGB8_Planar", 2, 1, pixels(_RGB8, np.uint8), bytes([0x11, 0x44, 0x22, 0x55, 0x33, 0x66])),
    Vector("YCbCr411_8", 4, 1, _Y4, bytes([_Y[0], _Y[1], _U[0], _Y[2], _Y[3], _V[0]])),
    Vector("YUV411_8_UYYVYY", 4, 1, {"Y": _Y4["Y"], "U": _Y4["Cb"], "V": _Y4["Cr"]},
           bytes([_U[0], _Y[0], _Y[1], _V[0], _Y[2], _Y[3]])),
    Vector("YCbCr420_8_YY_CbCr_Semiplanar", 2, 2, _NV12, bytes(_Y + [_U[0], _V[0]])),
    Vector("YCbCr420_8_YY_CrCb_Semiplanar", 2, 2, _NV12, bytes(_Y + [_V[0], _U[0]])),
    Vector("YCbCr422_10", 2, 1, {"Y": mono(_Y10), "Cb": mono(_CB10), "Cr": mono(_CR10)},
           np.array([_Y10[0], _CB10[0], _Y10[1], _CR10[0]], "<u2").tobytes()),
    Vector("YCbCr422_10p", 2, 1, {"Y": mono(_Y10), "Cb": mono(_CB10), "Cr": mono(_CR10)},
           stream([_Y10[0], _CB10[0], _Y10[1], _CR10[0]], 10, 5)),
    Vector("YCbCr422_10p_CbYCrY", 2, 1, {"Y": mono(_Y10), "Cb": mono(_CB10), "Cr": mono(_CR10)},
           stream([_CB10[0], _Y10[0], _CR10[0], _Y10[1]], 10, 5)),
]

# Formats whose layout no public document gives.
UNDEFINED = ["RGB10V1Packed", "RGB12V1Packed"]


def assert_same_image(found, expected) -> None:
    """Equal arrays of equal dtype and shape (NaN-free), or dicts of them with the same keys."""
    if isinstance(expected, dict):
        assert isinstance(found, dict), type(found)
        assert sorted(found) == sorted(expected)
        for key in expected:
            assert_same_image(found[key], expected[key])
        return
    assert isinstance(found, np.ndarray), type(found)
    assert (found.dtype, found.shape) == (expected.dtype, expected.shape)
    as_bits = f"u{expected.itemsize}"
    assert np.array_equal(np.ascontiguousarray(found).view(as_bits), np.ascontiguousarray(expected).view(as_bits)), \
        f"\nfound:    {found!r}\nexpected: {expected!r}"
