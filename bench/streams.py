"""Frames per second of a stream reader's loops on frames of Mono16 and Mono12p, 2448 x 2048 unless told.

    tools/py314 python bench/streams.py            # about a minute
    tools/py314 python bench/streams.py --quick    # fewer rounds, for smoke runs
    tools/py314 python bench/streams.py --size 612x512   # frames that stay in the caches

Rows, per format:
  fresh     decode(frame) into a new array each time; the reader keeps the last
            four, as a consumer's queue would
  out=      decode(frame, out=array) into one array, again and again
  copyto    numpy.copyto of the frame's bytes into an array allocated once: the
            most any conversion could do
  view      decode(frame, copy=False): an array over the frame's own bytes
  2 threads fresh, out= and copyto with two threads, each on frames of its own;
            the ratio is to one thread of the same loop (2.00 is perfect scaling,
            which copyto's row shows the memory of this machine allows or not)
  2 processes
            out= and copyto in two processes, which share nothing: the scaling
            the machine gives the same work with no lock in the way

Every loop runs once per round and the rounds interleave them, so that a slow
moment of the machine falls on all alike; each figure is the median over the
rounds. A benchmark, not a test: nothing here asserts a number.
"""

from __future__ import annotations

import argparse
import collections
import multiprocessing
import statistics
import threading
import time

import numpy as np

from corvella.pfnc import PixelFormat
from corvella.pfnc.pixels import decode, encode

SIZE = "2448x2048"
FORMATS = {"Mono16": 16, "Mono12p": 12}
DISTINCT_FRAMES = 8  # cycled through, so that no frame stays in the cache


def stream(name: str, width: int, height: int) -> tuple[list[memoryview], int]:
    """Frames of `name` one after another in one buffer, as a grabber fills it, and the frame's bytes."""
    rng = np.random.default_rng(0)
    bits = FORMATS[name]
    fmt = PixelFormat.from_name(name)
    size = fmt.buffer_size(width, height)
    whole = memoryview(b"".join(encode(rng.integers(0, 1 << bits, (height, width), np.uint16), fmt)
                                for _ in range(DISTINCT_FRAMES)))
    return [whole[k * size:(k + 1) * size] for k in range(DISTINCT_FRAMES)], size


def loops(name: str, frames: list[memoryview], width: int, height: int) -> dict[str, object]:
    """Per row, a function of (frame count, first frame) that runs that many frames."""
    fmt = PixelFormat.from_name(name)
    images = [np.zeros((height, width), np.uint16) for _ in range(3)]  # one per thread: 0, or 1 and 2
    queues = [collections.deque(maxlen=4) for _ in range(3)]  # a consumer's, kept from run to run

    def fresh(count: int, first: int) -> None:
        kept = queues[first % 3]
        for k in range(first, first + count):
            kept.append(decode(frames[k % len(frames)], fmt, width, height))

    def into(count: int, first: int) -> None:
        out = images[first % 3]
        for k in range(first, first + count):
            decode(frames[k % len(frames)], fmt, width, height, out=out)

    def copyto(count: int, first: int) -> None:
        target = images[first % 3].view(np.uint8).reshape(-1)[:len(frames[0])]
        for k in range(first, first + count):
            np.copyto(target, np.frombuffer(frames[k % len(frames)], np.uint8))

    def view(count: int, first: int) -> None:
        for k in range(first, first + count):
            decode(frames[k % len(frames)], fmt, width, height, copy=False)

    rows: dict[str, object] = {"fresh": fresh, "out=": into, "copyto": copyto, "view": view}
    try:
        decode(frames[0], fmt, width, height, copy=False)
    except ValueError:  # packed samples: no view
        del rows["view"]
    rows["fresh, 2 threads"] = in_two_threads(fresh)
    rows["out=, 2 threads"] = in_two_threads(into)
    rows["copyto, 2 threads"] = in_two_threads(copyto)
    return rows


def in_two_threads(loop):
    """The loop run by two threads at once, each on frames of its own, `count` frames in all."""
    def run(count: int, first: int) -> None:
        start = threading.Barrier(2)

        def work(offset: int) -> None:
            start.wait()
            loop(count // 2, first + offset)

        threads = [threading.Thread(target=work, args=(offset,)) for offset in (1, 2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    return run


def process_worker(name: str, width: int, height: int, row: str, frames_each: int, offset: int, rounds: int,
                   ready, done) -> None:
    """One of two processes: frames and arrays of its own, the row's loop once per round between the barriers."""
    frames, _ = stream(name, width, height)
    loop = loops(name, frames, width, height)[row]
    loop(2, offset)  # warm, before any clock starts
    for _ in range(rounds):
        ready.wait()
        loop(frames_each, offset)
        done.wait()


class TwoProcesses:
    """A row's loop in two processes, which share nothing: no lock of any kind stands between them, so
    their scaling is what the machine's cores give this work. Threads that scale as far are held back
    by nothing in the library. The processes are spawned once and wait between rounds."""

    def __init__(self, name: str, width: int, height: int, row: str, count: int, rounds: int) -> None:
        context = multiprocessing.get_context("spawn")
        self.ready, self.done = context.Barrier(3), context.Barrier(3)
        self.processes = [context.Process(target=process_worker, daemon=True,
                                          args=(name, width, height, row, count // 2, offset, rounds, self.ready,
                                                self.done))
                          for offset in (1, 2)]
        for process in self.processes:
            process.start()

    def __call__(self, count: int, first: int) -> float:
        """One round (the processes run the count they were given); the seconds it took."""
        self.ready.wait()
        t0 = time.perf_counter()
        self.done.wait()
        return time.perf_counter() - t0

    def close(self) -> None:
        for process in self.processes:
            process.join()


def frames_per_second(loop, count: int) -> float:
    t0 = time.perf_counter()
    timed = loop(count, 0)  # a loop that times itself says so
    return count / (timed if timed is not None else time.perf_counter() - t0)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="3 rounds of 10 frames, for smoke runs")
    parser.add_argument("--size", default=SIZE, help=f"frame size, WIDTHxHEIGHT (default {SIZE})")
    args = parser.parse_args(argv)
    width, height = (int(v) for v in args.size.lower().split("x"))
    rounds, count = (3, 10) if args.quick else (7, 40)
    count *= max(1, 2448 * 2048 // (width * height))  # smaller frames, more of them
    print(f"{width} x {height} frames; frames/s, the median of {rounds} interleaved rounds of {count} frames")
    print(f"{'format':<9}{'loop':<21}{'frames/s':>10}{'GB/s in':>9}{'vs copyto':>11}{'vs 1 thread':>13}")
    for name in FORMATS:
        frames, size = stream(name, width, height)
        rows = loops(name, frames, width, height)
        spawned = [TwoProcesses(name, width, height, row, count, rounds + 1) for row in ("out=", "copyto")]
        rows.update({f"{row}, 2 processes": process_row
                     for row, process_row in zip(("out=", "copyto"), spawned)})
        for loop in rows.values():
            loop(2, 0)  # warm: first-touch pages, plans (the processes: a round of their own)
        found: dict[str, list[float]] = {label: [] for label in rows}
        for _ in range(rounds):
            for label, loop in rows.items():
                found[label].append(frames_per_second(loop, count))
        rate = {label: statistics.median(values) for label, values in found.items()}
        for label, fps in rate.items():
            single = label.split(",")[0]
            scaling = f"{fps / rate[single]:.2f}" if single != label else ""
            print(f"{name:<9}{label:<21}{fps:>10.1f}{fps * size / 1e9:>9.2f}{fps / rate['copyto']:>11.2f}"
                  f"{scaling:>13}")
        for process_row in spawned:
            process_row.close()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
