"""The benchmark's numpy rows: each layout unpacked the way users write it today, vectorised.

Each decoder takes the buffer, the width and the height, and returns what
``corvella.pfnc.decode`` returns (a new array, or a dict of arrays); each
encoder the reverse. tests/test_bench_numpy_layouts.py checks them against
the reference model on small frames, so that the comparison is honest.
"""

from __future__ import annotations

import numpy as np


def _bytes(data, count: int) -> np.ndarray:
    return np.frombuffer(data, dtype=np.uint8, count=count)


def copy_as(dtype: str, channels: int = 1):
    """Unpacked formats: a typed view of the buffer, copied into the result."""
    def decode(data, width, height):
        count = width * height * channels
        array = np.frombuffer(data, dtype=dtype, count=count).reshape(height, width, channels)
        return (array[:, :, 0] if channels == 1 else array).copy()
    return decode


def mono10p(data, width, height):
    """4 pixels in 5 bytes."""
    b = _bytes(data, width * height * 5 // 4).reshape(-1, 5).astype(np.uint16)
    out = np.empty((b.shape[0], 4), dtype=np.uint16)
    out[:, 0] = b[:, 0] | (b[:, 1] & 0x03) << 8
    out[:, 1] = b[:, 1] >> 2 | (b[:, 2] & 0x0F) << 6
    out[:, 2] = b[:, 2] >> 4 | (b[:, 3] & 0x3F) << 4
    out[:, 3] = b[:, 3] >> 6 | b[:, 4] << 2
    return out.reshape(height, width)


def mono12p(data, width, height):
    """2 pixels in 3 bytes, one lsb stream."""
    b = _bytes(data, width * height * 3 // 2).reshape(-1, 3).astype(np.uint16)
    out = np.empty((b.shape[0], 2), dtype=np.uint16)
    out[:, 0] = b[:, 0] | (b[:, 1] & 0x0F) << 8
    out[:, 1] = b[:, 1] >> 4 | b[:, 2] << 4
    return out.reshape(height, width)


def mono12packed(data, width, height):
    """2 pixels in 3 bytes: high byte, the two low nibbles, high byte."""
    b = _bytes(data, width * height * 3 // 2).reshape(-1, 3).astype(np.uint16)
    out = np.empty((b.shape[0], 2), dtype=np.uint16)
    out[:, 0] = b[:, 0] << 4 | (b[:, 1] & 0x0F)
    out[:, 1] = b[:, 2] << 4 | b[:, 1] >> 4
    return out.reshape(height, width)


def rgb10p32(data, width, height):
    """One 32-bit word a pixel: R | G << 10 | B << 20."""
    words = np.frombuffer(data, dtype="<u4", count=width * height).reshape(height, width)
    out = np.empty((height, width, 3), dtype=np.uint16)
    out[:, :, 0] = words & 0x3FF
    out[:, :, 1] = (words >> 10) & 0x3FF
    out[:, :, 2] = (words >> 20) & 0x3FF
    return out


def coord3d_abc10p(data, width, height):
    """30-bit pixels in one stream: three 10p samples a pixel, so the Mono10p unpacking serves."""
    return mono10p(data, width * 3, height).reshape(height, width, 3)


def rgb8_planar(data, width, height):
    return _bytes(data, 3 * width * height).reshape(3, height, width).transpose(1, 2, 0).copy()


def yuv422_8_uyvy(data, width, height):
    quads = _bytes(data, 2 * width * height).reshape(height, width // 2, 4)
    return {"Y": quads[:, :, 1::2].reshape(height, width), "U": quads[:, :, 0].copy(), "V": quads[:, :, 2].copy()}


def ycbcr420_8_semiplanar(data, width, height):
    luma = width * height
    b = _bytes(data, luma * 3 // 2)
    pairs = b[luma:].reshape(height // 2, width // 2, 2)
    return {"Y": b[:luma].reshape(height, width).copy(), "Cb": pairs[:, :, 0].copy(), "Cr": pairs[:, :, 1].copy()}


def encode_mono12p(image):
    p = image.reshape(-1, 2)
    out = np.empty((p.shape[0], 3), dtype=np.uint8)
    out[:, 0] = p[:, 0] & 0xFF
    out[:, 1] = (p[:, 0] >> 8) | (p[:, 1] & 0x0F) << 4
    out[:, 2] = p[:, 1] >> 4
    return out.tobytes()


def encode_rgb10p32(image):
    rgb = image.astype(np.uint32)
    return (rgb[:, :, 0] | rgb[:, :, 1] << 10 | rgb[:, :, 2] << 20).astype("<u4").tobytes()


DECODERS = {
    "Mono8": copy_as("u1"),
    "BayerRG8": copy_as("u1"),
    "Mono10p": mono10p,
    "Mono12p": mono12p,
    "Mono12Packed": mono12packed,
    "Mono16": copy_as("<u2"),
    "BayerRG12p": mono12p,
    "RGB8": copy_as("u1", 3),
    "RGB10p32": rgb10p32,
    "RGB8_Planar": rgb8_planar,
    "YUV422_8_UYVY": yuv422_8_uyvy,
    "YCbCr420_8_YY_CbCr_Semiplanar": ycbcr420_8_semiplanar,
    "Coord3D_ABC32f": copy_as("<f4", 3),
    "Coord3D_ABC10p": coord3d_abc10p,
}

ENCODERS = {"Mono12p": encode_mono12p, "RGB10p32": encode_rgb10p32}
