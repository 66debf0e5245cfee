"""to_rgb's speed against libyuv and OpenCV, one thread, Mpx/s.

    tools/py314 python bench/colour.py            # a 4096 x 3000 frame, a few minutes
    tools/py314 python bench/colour.py --quick    # fewer rounds

All series are timed in the same rounds, interleaved (measure.py), so the
ratios compare calls made under the same conditions. Every call writes into
an output allocated beforehand (to_rgb through out=). The anchors: libyuv's
UYVYToARGB and NV12ToRGB24Matrix with kYuvH709Constants (through ctypes,
libyuv.so.0; a benchmark anchor only), OpenCV's cvtColor. A benchmark, not a
test: nothing here asserts a number. Prints a markdown table.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import measure  # noqa: E402

# A new array each call, as a stream reader without out= makes them: a few frames in a row, since the
# first after the other series pays for fresh pages, and the next ones reuse its memory as a loop would.
FRESH_FRAMES = 4
FRESH = f"UYVY to RGB, a new array each call ({FRESH_FRAMES} frames in a row)"

# label -> (the anchor it is compared with, the goal as a multiple of the anchor's speed)
ANCHORS = {
    "UYVY (YUV422_8_UYVY) to RGB": ("libyuv UYVYToARGB", 1.0),
    "UYVY, against OpenCV": ("OpenCV YUV2RGB_UYVY", 1.0),
    "NV12 (YCbCr420_8_YY_CbCr_Semiplanar) 709 limited": ("libyuv NV12ToRGB24Matrix 709", 1.0),
    "NV12, against OpenCV": ("OpenCV YUV2RGB_NV12", None),
    "BayerRG8 bilinear": ("OpenCV BayerBG2RGB 8-bit", 1.0),
    "BayerRG8 gradient": ("OpenCV BayerBG2RGB 8-bit", 0.5),
    "BayerRG12p gradient": ("decode + OpenCV BayerBG2RGB 16-bit", 1.0),
}


def libyuv():
    for name in ("libyuv.so.0", ctypes.util.find_library("yuv")):
        if name:
            try:
                return ctypes.CDLL(name)
            except OSError:
                pass
    return None


def pointer(array) -> ctypes.c_void_p:
    return ctypes.c_void_p(array.ctypes.data)


def calls(width: int, height: int) -> dict:
    """label -> a call that turns one frame into RGB."""
    from corvella.pfnc import PixelFormat
    from corvella.pfnc.pixels import encode, to_rgb
    from corvella.pfnc.pixels.codec import _decoded as decoded

    rng = np.random.default_rng(0)
    uyvy = rng.integers(0, 256, width * height * 2, dtype=np.uint8)
    nv12 = rng.integers(0, 256, width * height * 3 // 2, dtype=np.uint8)
    rgb8 = np.empty((height, width, 3), np.uint8)
    rgb16 = np.empty((height, width, 3), np.uint16)

    def fresh():
        for _ in range(FRESH_FRAMES):
            to_rgb(uyvy, "YUV422_8_UYVY", width, height)  # dropped at once, as a consumer done with it

    found = {
        "UYVY (YUV422_8_UYVY) to RGB": lambda: to_rgb(uyvy, "YUV422_8_UYVY", width, height, out=rgb8),
        "NV12 (YCbCr420_8_YY_CbCr_Semiplanar) 709 limited": lambda: to_rgb(
            nv12, "YCbCr420_8_YY_CbCr_Semiplanar", width, height, matrix="709", range="limited", out=rgb8),
        FRESH: fresh,
    }
    for name in ("YCbCr422_10p", "YCbCr709_422_12p", "YCbCr422_12", "YCbCr10p_CbYCr"):
        fmt = PixelFormat.from_name(name)
        sample = decoded(bytes(fmt.buffer_size(width, height)), fmt, width, height)
        top = 1 << fmt.size.sizes[0]
        if isinstance(sample, dict):
            image = {k: rng.integers(0, top, v.shape, dtype=np.uint16) for k, v in sample.items()}
        else:
            image = rng.integers(0, top, sample.shape, dtype=np.uint16)
        packed = encode(image, fmt)
        found[f"{name} to 16-bit RGB"] = lambda p=packed, n=name: to_rgb(p, n, width, height, out=rgb16)
    mosaic8 = rng.integers(0, 256, (height, width), dtype=np.uint8)
    mosaic12 = rng.integers(0, 4096, (height, width), dtype=np.uint16)
    packed12 = encode(mosaic12, "BayerRG12p")
    for method in ("bilinear", "gradient"):
        found[f"BayerRG8 {method}"] = lambda m=method: to_rgb(mosaic8, "BayerRG8", width, height, method=m, out=rgb8)
    found["BayerRG12p gradient"] = lambda: to_rgb(packed12, "BayerRG12p", width, height, out=rgb16)
    found.update(anchor_calls(width, height, uyvy, nv12, mosaic8, packed12, rgb8, rgb16))
    found["UYVY, against OpenCV"] = found["UYVY (YUV422_8_UYVY) to RGB"]
    found["NV12, against OpenCV"] = found["NV12 (YCbCr420_8_YY_CbCr_Semiplanar) 709 limited"]
    return found


def anchor_calls(width, height, uyvy, nv12, mosaic8, packed12, rgb8, rgb16) -> dict:
    from corvella.pfnc.pixels import decode

    found = {}
    yuv = libyuv()
    if yuv is not None:
        argb = np.empty((height, width, 4), np.uint8)
        found["libyuv UYVYToARGB"] = lambda: yuv.UYVYToARGB(pointer(uyvy), 2 * width, pointer(argb), 4 * width, width,
                                                             height)
        constants = ctypes.addressof(ctypes.c_char.in_dll(yuv, "kYuvH709Constants"))
        chroma = nv12[width * height:]
        found["libyuv NV12ToRGB24Matrix 709"] = lambda: yuv.NV12ToRGB24Matrix(
            pointer(nv12), width, pointer(chroma), width, pointer(rgb8), 3 * width, ctypes.c_void_p(constants), width,
            height)
    try:
        import cv2
    except ImportError:
        return found
    cv2.setNumThreads(1)
    uyvy_image = uyvy.reshape(height, width, 2)
    nv12_image = nv12.reshape(height * 3 // 2, width)
    found["OpenCV YUV2RGB_UYVY"] = lambda: cv2.cvtColor(uyvy_image, cv2.COLOR_YUV2RGB_UYVY, dst=rgb8)
    found["OpenCV YUV2RGB_NV12"] = lambda: cv2.cvtColor(nv12_image, cv2.COLOR_YUV2RGB_NV12, dst=rgb8)
    found["OpenCV BayerBG2RGB 8-bit"] = lambda: cv2.cvtColor(mosaic8, cv2.COLOR_BayerBG2RGB, dst=rgb8)
    found["decode + OpenCV BayerBG2RGB 16-bit"] = lambda: cv2.cvtColor(
        decode(packed12, "BayerRG12p", width, height), cv2.COLOR_BayerBG2RGB, dst=rgb16)
    return found


def table(results: dict, pixels: int) -> list[str]:
    lines = ["| series | Mpx/s | spread % | x anchor | goal |", "|---|---:|---:|---:|---:|"]
    for label, s in results.items():
        anchor, goal = ANCHORS.get(label, (None, None))
        ratio = results[anchor]["median_ns"] / s["median_ns"] if anchor in results else None
        frames = FRESH_FRAMES if label == FRESH else 1
        lines.append(f"| {label}{f' (anchor: {anchor})' if anchor else ''} | {frames * pixels / s['median_ns'] * 1e3:,.0f} "
                     f"| {measure.spread_percent(s):.1f} | {'' if ratio is None else f'{ratio:.2f}'} "
                     f"| {'' if goal is None or ratio is None else f'{goal:.2f}'} |")
    return lines


def main(argv: list[str] | None = None) -> dict:
    width, height, settings = measure.frame_run(__doc__, argv)
    found = calls(width, height)
    # A series timed twice would be timed in turn with itself: its second name reads the first one's figures.
    unique = {}
    for label, call in found.items():
        unique.setdefault(id(call), (label, measure.make_series("call()", {"call": call})))
    measure.measure([series for _, series in unique.values()], settings)
    by_call = {key: measure.summary(series.samples) for key, (_, series) in unique.items()}
    results = {label: by_call[id(call)] for label, call in found.items()}
    print(f"{width} x {height}, one thread; x anchor: how many times the anchor's speed (higher is faster)\n")
    print("\n".join(table(results, width * height)))
    return results


if __name__ == "__main__":
    main()
