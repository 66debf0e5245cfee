"""Timing: loops of calls per block, implementations interleaved block by block, medians with spread."""

from __future__ import annotations

import statistics
import time
import timeit
from dataclasses import dataclass, field


@dataclass(frozen=True)
class Settings:
    block_ns: int          # aimed-at duration of one timed loop of calls
    warmup_ns: int         # calls made, untimed, before calibrating
    row_budget_ns: int     # time spent on the rounds of one row, all series together
    min_rounds: int
    max_rounds: int


FULL = Settings(block_ns=2_000_000, warmup_ns=50_000_000, row_budget_ns=11_000_000_000, min_rounds=15,
                max_rounds=2001)
QUICK = Settings(block_ns=1_000_000, warmup_ns=10_000_000, row_budget_ns=1_000_000_000, min_rounds=5,
                 max_rounds=301)
# The smoke test: every code path once, nothing worth reading.
TINY = Settings(block_ns=0, warmup_ns=0, row_budget_ns=0, min_rounds=1, max_rounds=1)


def frame_run(description: str, argv: list[str] | None) -> tuple[int, int, Settings]:
    """A frame benchmark's command line: width, height and settings (--quick, --smoke)."""
    import argparse

    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--smoke", action="store_true", help="a tiny frame, each call once: no figure worth reading")
    args = parser.parse_args(argv)
    width, height = (64, 48) if args.smoke else (4096, 3000)
    return width, height, TINY if args.smoke else QUICK if args.quick else FULL


@dataclass
class Series:
    """One statement timed many times: the per-call times of each block, in ns."""

    timer: timeit.Timer
    number: int = 1
    samples: list[float] = field(default_factory=list)

    def block(self) -> int:
        # timeit switches the garbage collector off for the loop, as it should:
        # a collection belongs to no single call.
        return self.timer.timeit(self.number)

    def record(self) -> None:
        self.samples.append(self.block() / self.number)


def make_series(statement: str, namespace: dict) -> Series:
    return Series(timeit.Timer(statement, globals=namespace, timer=time.perf_counter_ns))


def warm_and_calibrate(series: Series, settings: Settings) -> int:
    """Run the statement untimed for a while, then pick the loop count of one block; returns a block's ns."""
    series.number = 1
    spent = 0
    while spent < settings.warmup_ns:
        spent += series.block()
    elapsed = series.block()
    while elapsed < settings.block_ns:
        # Grow towards the target in one or two steps, never more than tenfold.
        factor = min(10.0, max(1.2, settings.block_ns / max(elapsed, 1) * 1.05))
        series.number = max(series.number + 1, int(series.number * factor))
        elapsed = series.block()
    return elapsed


def measure(all_series: list[Series], settings: Settings) -> None:
    """Time each series in rounds; a round takes one block of every series, in a rotating order."""
    round_ns = sum(warm_and_calibrate(s, settings) for s in all_series)
    rounds = settings.row_budget_ns // max(round_ns, 1)
    rounds = max(settings.min_rounds, min(settings.max_rounds, rounds))
    count = len(all_series)
    for r in range(rounds):
        # Rotating the order spreads any drift or disturbance over all of them.
        for k in range(count):
            all_series[(r + k) % count].record()


def summary(samples: list[float]) -> dict:
    """Median and quartiles of per-call times, in ns."""
    ordered = sorted(samples)
    if len(ordered) >= 2:
        p25, _, p75 = statistics.quantiles(ordered, n=4, method="inclusive")
    else:
        p25 = p75 = ordered[0]
    return {
        "median_ns": statistics.median(ordered),
        "p25_ns": p25,
        "p75_ns": p75,
        "min_ns": ordered[0],
        "max_ns": ordered[-1],
        "rounds": len(ordered),
    }


def spread_percent(s: dict) -> float:
    """Half the interquartile range, relative to the median."""
    return 100.0 * (s["p75_ns"] - s["p25_ns"]) / 2.0 / s["median_ns"] if s["median_ns"] else 0.0
