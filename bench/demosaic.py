"""Demosaicing speed: our kernels against OpenCV's, one thread, Mpx/s.

    tools/py314 python bench/demosaic.py            # a 4096 x 3000 frame, about a minute
    tools/py314 python bench/demosaic.py --quick    # fewer rounds

All series of a table are timed in the same rounds, interleaved (measure.py),
so the ratios compare calls made under the same conditions. Every call writes
into an output allocated beforehand. The anchors are OpenCV's bilinear
cvtColor COLOR_BayerBG2RGB (the RGGB tile) at 8 and 16 bits; the last table
adds decoding a BayerRG12p buffer first. A benchmark, not a test: nothing
here asserts a number.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import measure  # noqa: E402

# Row: (label, sample type, significant bits, method or None for OpenCV, anchor label).
ROWS = [
    ("8-bit bilinear", np.uint8, 8, "bilinear", "cv2 8-bit bilinear"),
    ("8-bit gradient", np.uint8, 8, "gradient", "cv2 8-bit bilinear"),
    ("16-bit bilinear (12-bit data)", np.uint16, 12, "bilinear", "cv2 16-bit bilinear"),
    ("16-bit gradient (12-bit data)", np.uint16, 12, "gradient", "cv2 16-bit bilinear"),
    ("cv2 8-bit bilinear", np.uint8, 8, None, None),
    ("cv2 16-bit bilinear", np.uint16, 12, None, None),
]
GOALS = {"8-bit bilinear": ">= 1.00 x", "8-bit gradient": ">= 0.50 x", "16-bit gradient (12-bit data)": ">= 700 Mpx/s",
         "decode + gradient": "> 1.00 x"}


def kernel_calls(width: int, height: int) -> dict:
    """label -> a call that demosaics one frame."""
    from corvella.pfnc.pixels import _demosaic

    rng = np.random.default_rng(0)
    calls = {}
    for label, dtype, bits, method, _ in ROWS:
        mosaic = rng.integers(0, 2**bits, (height, width), dtype=dtype)
        out = np.empty((height, width, 3), dtype)
        if method is not None:
            calls[label] = lambda m=mosaic, o=out, k=method, b=bits: _demosaic.demosaic(m, o, "RGGB", k, b, False)
        else:
            calls[label] = opencv_call(mosaic, out)
    return {label: call for label, call in calls.items() if call is not None}


def opencv_call(mosaic, out):
    try:
        import cv2
    except ImportError:
        return None
    cv2.setNumThreads(1)
    return lambda: cv2.cvtColor(mosaic, cv2.COLOR_BayerBG2RGB, dst=out)


def decode_calls(width: int, height: int) -> dict:
    """BayerRG12p bytes to RGB: our decode then gradient, against our decode then OpenCV."""
    from corvella.pfnc.pixels import _demosaic
    from corvella.pfnc.pixels.codec import decode, encode

    mosaic = np.random.default_rng(1).integers(0, 4096, (height, width), dtype=np.uint16)
    packed = encode(mosaic, "BayerRG12p")
    out = np.empty((height, width, 3), np.uint16)
    calls = {"decode + gradient": lambda: _demosaic.demosaic(decode(packed, "BayerRG12p", width, height), out,
                                                             "RGGB", "gradient", 12, False)}
    cv = opencv_call(mosaic, out)
    if cv is not None:
        import cv2

        calls["decode + cv2 16-bit bilinear"] = lambda: cv2.cvtColor(decode(packed, "BayerRG12p", width, height),
                                                                     cv2.COLOR_BayerBG2RGB, dst=out)
    return calls


def timed(calls: dict, settings: measure.Settings) -> dict:
    series = {label: measure.make_series("call()", {"call": call}) for label, call in calls.items()}
    measure.measure(list(series.values()), settings)
    return {label: measure.summary(s.samples) for label, s in series.items()}


def table(results: dict, pixels: int, anchors: dict) -> list[str]:
    lines = [f"{'series':34}{'Mpx/s':>9}{'spread %':>10}{'x anchor':>10}  goal"]
    for label, s in results.items():
        rate = pixels / s["median_ns"] * 1e3
        anchor = anchors.get(label)
        ratio = results[anchor]["median_ns"] / s["median_ns"] if anchor in results else None
        lines.append(f"{label:34}{rate:9.0f}{measure.spread_percent(s):10.1f}"
                     f"{'' if ratio is None else f'{ratio:10.2f}':>10}  {GOALS.get(label, '')}")
    return lines


def main(argv: list[str] | None = None) -> dict:
    width, height, settings = measure.frame_run(__doc__, argv)
    kernels = timed(kernel_calls(width, height), settings)
    anchors = {label: anchor for label, _, _, _, anchor in ROWS}
    print(f"{width} x {height}, one thread; x anchor: how many times the anchor's speed (higher is faster)")
    print("\n".join(table(kernels, width * height, anchors)))
    decoded = timed(decode_calls(width, height), settings)
    print()
    print("\n".join(table(decoded, width * height, {"decode + gradient": "decode + cv2 16-bit bilinear"})))
    return {"kernels": kernels, "decode": decoded}


if __name__ == "__main__":
    main()
