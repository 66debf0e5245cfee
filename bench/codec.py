"""Times buffer decoding and encoding: the C++ codec, numpy as users write it, memcpy and OpenCV.

    tools/py314 python bench/codec.py            # a 4096 x 3000 frame, about 2 minutes
    tools/py314 python bench/codec.py --quick    # fewer repetitions, for smoke runs
    tools/py314 python bench/codec.py --loop Mono12p --count 200   # no timing: for a profiler
    tools/py314 valgrind --tool=callgrind python bench/codec.py --loop Mono12p --encode --count 3

Every figure is GB/s of input read (the buffer for decode, the image's arrays
for encode), one thread, the median of repeated calls. Encode writes into one
buffer given as out= at every call, as a capture loop would. memcpy copies the same
bytes into an array allocated beforehand: the most any conversion could do.
new+copy copies them into a
new array, which is the least a call returning a fresh array pays: above
glibc's mmap threshold every new array is fresh pages, faulted in on first
write. A benchmark, not a test: nothing here asserts a number.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import numpy_layouts  # noqa: E402

DECODE_ROWS = ["Mono8", "Mono10p", "Mono12p", "Mono12Packed", "Mono16", "BayerRG8", "BayerRG12p", "RGB8",
               "RGB10p32", "RGB8_Planar", "YUV422_8_UYVY", "YCbCr420_8_YY_CbCr_Semiplanar", "Coord3D_ABC32f",
               "Coord3D_ABC10p"]
ENCODE_ROWS = ["Mono8", "Mono16", "Mono10p", "Mono12p", "Mono12Packed", "BayerRG12p", "RGB10p32", "RGB8_Planar",
               "YUV422_8_UYVY", "YCbCr420_8_YY_CbCr_Semiplanar", "Coord3D_ABC10p"]
GOALS = ("goals: decode >= 0.5 x memcpy and >= 5 x numpy, Mono8 and Mono16 within 1.2 x memcpy (>= 0.83); "
         "encode >= 0.5 x memcpy")
# Small frames, where the cost of a call is what is left: the most each may cost, in copies of a
# 64 x 64 Mono8 frame by numpy (frombuffer, reshape, copy).
SMALL_SIDE = 64
SMALL_ROWS = {"Mono8": 2.0, "Mono12p": 3.0}


def opencv_rows() -> dict:
    """OpenCV's own conversions of the formats it knows, when it is installed."""
    try:
        import cv2
    except ImportError:
        return {}
    cv2.setNumThreads(1)

    def bayer(data, width, height):
        return cv2.cvtColor(np.frombuffer(data, np.uint8, width * height).reshape(height, width),
                            cv2.COLOR_BayerRG2BGR)

    def uyvy(data, width, height):
        pairs = np.frombuffer(data, np.uint8, 2 * width * height).reshape(height, width // 2, 4)
        luma = cv2.cvtColor(pairs.reshape(height, width, 2), cv2.COLOR_YUV2GRAY_UYVY)
        return {"Y": luma, "U": cv2.extractChannel(pairs, 0), "V": cv2.extractChannel(pairs, 2)}

    return {"BayerRG8": (bayer, "demosaics to BGR"), "YUV422_8_UYVY": (uyvy, "Y by cvtColor, U and V by extractChannel")}


def load_codec():
    try:
        from corvella.pfnc.pixels import codec
    except ImportError as e:
        return None, str(e)
    return codec, None


def decoder(codec, fmt):
    """decode, or decode_planes for a format whose components have samplings of their own."""
    return codec.decode if all(s == (1, 1) for s in fmt.sampling) else codec.decode_planes


def median_seconds(call, repeat: int, budget: float) -> float:
    call()                                              # warm: first-touch pages, caches
    times = []
    start = time.perf_counter()
    while len(times) < repeat or (time.perf_counter() - start < budget and len(times) < 200):
        t0 = time.perf_counter_ns()
        call()
        times.append((time.perf_counter_ns() - t0) / 1e9)
    return statistics.median(times)


def median_per_call(call, batch: int, batches: int) -> float:
    """Seconds per call, the median over batches: a single call is too short for the clock."""
    call()
    times = []
    for _ in range(batches):
        t0 = time.perf_counter_ns()
        for _ in range(batch):
            call()
        times.append((time.perf_counter_ns() - t0) / 1e9 / batch)
    return statistics.median(times)


def small_rows(codec, only, batch: int, batches: int):
    """The lines of the small-frame table."""
    side = SMALL_SIDE
    frame = bytes(range(256)) * (side * side // 256)
    baseline = median_per_call(lambda: np.frombuffer(frame, np.uint8).reshape(side, side).copy(), batch, batches)
    yield f"{'row':<44}{'C++ us':>9}{'numpy us':>10}{'C++/numpy':>11}{'most':>7}  goal missed"
    for name, most in SMALL_ROWS.items():
        label = f"decode {name} {side}x{side}"
        if codec is None or (only and not any(o in label for o in only)):
            continue
        data = codec.encode(codec.decode(frame * 2, name, side, side), name)
        cost = median_per_call(lambda d=data, n=name: codec.decode(d, n, side, side), batch, batches)
        ratio = cost / baseline
        yield (f"{label:<44}{cost * 1e6:>9.2f}{baseline * 1e6:>10.2f}{ratio:>11.2f}{most:>7.1f}  "
               f"{'yes' if ratio > most else '-'}")


def machine() -> str:
    model = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), model)
    except OSError:
        pass
    u = platform.uname()
    return f"{model}, {os.cpu_count()} CPUs; {u.system} {u.release} {u.machine}"


def rows(codec, PixelFormat, width, height, only):
    """(label, format, input bytes, {series: call}, note) of every row to time."""
    rng = np.random.default_rng(0)
    cv = opencv_rows()
    for name in DECODE_ROWS:
        if only and not any(o in name for o in only):
            continue
        fmt = PixelFormat.from_name(name)
        size = int(fmt.bits_per_pixel * width * height) // 8
        data = rng.integers(0, 256, size, dtype=np.uint8).tobytes()
        series = {}
        if codec is not None:
            # zero padding, as a device sends it
            decode = decoder(codec, fmt)
            data = codec.encode(decode(data, fmt, width, height), fmt)
            series["C++"] = lambda d=data, f=fmt: decode(d, f, width, height)
        series["numpy"] = lambda d=data, n=name: numpy_layouts.DECODERS[n](d, width, height)
        yield f"decode {name}", data, len(data), series, cv.get(name)
    for name in ENCODE_ROWS:
        if codec is None or (only and not any(o in f"encode {name}" for o in only)):
            continue
        fmt = PixelFormat.from_name(name)
        size = int(fmt.bits_per_pixel * width * height) // 8
        image = decoder(codec, fmt)(rng.integers(0, 256, size, dtype=np.uint8).tobytes(), fmt, width, height)
        arrays = list(image.values()) if isinstance(image, dict) else [image]
        out = bytearray(len(codec.encode(image, fmt)))
        series = {"C++": lambda i=image, f=fmt, o=out: codec.encode(i, f, out=o)}
        if name in numpy_layouts.ENCODERS:
            series["numpy"] = lambda i=image, n=name: numpy_layouts.ENCODERS[n](i)
        yield (f"encode {name}", b"".join(a.tobytes() for a in arrays), sum(a.nbytes for a in arrays), series,
               None)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--size", default="4096x3000", help="frame WIDTHxHEIGHT (default 4096x3000)")
    parser.add_argument("--only", action="append", default=[], metavar="TEXT", help="only rows containing TEXT")
    parser.add_argument("--loop", metavar="FORMAT", help="no timing: decode FORMAT --count times (for a profiler)")
    parser.add_argument("--encode", action="store_true", help="with --loop: encode instead")
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--smoke", action="store_true", help=argparse.SUPPRESS)  # every path once
    args = parser.parse_args(argv)
    width, height = (int(v) for v in args.size.lower().split("x"))
    from corvella.pfnc import PixelFormat
    codec, missing = load_codec()
    if args.loop:
        fmt = PixelFormat.from_name(args.loop)
        data = bytearray(int(fmt.bits_per_pixel * width * height) // 8)
        decode = decoder(codec, fmt)
        image = decode(data, fmt, width, height)
        for _ in range(args.count):
            codec.encode(image, fmt, out=data) if args.encode else decode(data, fmt, width, height)
        return 0
    repeat, budget = (1, 0.0) if args.smoke else (3, 0.2) if args.quick else (9, 1.5)
    print(f"corvella.pfnc codec benchmark: GB/s of input read, {width} x {height} frame, one thread, median")
    print(f"machine: {machine()}")
    print(f"CPython {platform.python_version()}, numpy {np.__version__}"
          + (f", OpenCV {__import__('cv2').__version__}" if opencv_rows() else ", OpenCV absent"))
    if missing:
        print(f"C++ codec absent: {missing}")
    header = f"{'row':<44}{'MB in':>8}{'C++':>9}{'numpy':>9}{'memcpy':>9}{'new+copy':>10}{'OpenCV':>9}" \
             f"{'C++/memcpy':>12}{'C++/numpy':>11}  goals missed"
    print(header)
    notes = []
    for label, data, nbytes, series, cv in rows(codec, PixelFormat, width, height, args.only):
        source = np.frombuffer(data, dtype=np.uint8, count=nbytes)
        target = np.empty_like(source)
        series["memcpy"] = lambda s=source, t=target: np.copyto(t, s)
        # what any call that returns a fresh array pays at least: the pages of a new array, then the copy
        series["new+copy"] = lambda s=source: np.copyto(np.empty_like(s), s)
        if cv is not None:
            series["OpenCV"] = lambda d=data, c=cv[0]: c(d, width, height)
            notes.append(f"OpenCV, {label}: {cv[1]}")
        rate = {k: nbytes / median_seconds(call, repeat, budget) / 1e9 for k, call in series.items()}
        print(_line(label, nbytes, rate), flush=True)
    print(GOALS)
    for note in notes:
        print(note)
    print(f"small frames: microseconds per call, median of batches; numpy copies a {SMALL_SIDE} x {SMALL_SIDE} Mono8 "
          "frame (frombuffer, reshape, copy)")
    for line in small_rows(codec, args.only, *((1, 1) if args.smoke else (200, 9) if args.quick else (1000, 25))):
        print(line, flush=True)
    return 0


def _line(label: str, nbytes: int, rate: dict) -> str:
    def cell(key, width=9):
        return f"{rate[key]:>{width}.2f}" if key in rate else f"{'n/a':>{width}}"
    missed = []
    if "C++" in rate:
        vs_copy = rate["C++"] / rate["memcpy"]
        vs_numpy = rate["C++"] / rate["numpy"] if "numpy" in rate else None
        if vs_copy < 0.5:
            missed.append("<0.5 memcpy")
        if vs_numpy is not None and vs_numpy < 5 and label.startswith("decode"):
            missed.append("<5 numpy")
        if label in ("decode Mono8", "decode Mono16") and vs_copy < 1 / 1.2:
            missed.append("not within 1.2 memcpy")
        ratios = f"{vs_copy:>12.2f}" + (f"{vs_numpy:>11.2f}" if vs_numpy is not None else f"{'n/a':>11}")
    else:
        ratios = f"{'':>12}{'':>11}"
    return (f"{label:<44}{nbytes / 1e6:>8.1f}{cell('C++')}{cell('numpy')}{cell('memcpy')}{cell('new+copy', 10)}{cell('OpenCV')}"
            f"{ratios}  {', '.join(missed) or '-'}")


if __name__ == "__main__":
    sys.exit(main())
