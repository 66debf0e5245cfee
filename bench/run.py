"""Times the C++ modules, the pure-Python reference model and the model compiled with Cython, side by side.

    tools/py314 python bench/run.py            # about 4 minutes
    tools/py314 python bench/run.py --quick    # about 30 seconds, for smoke runs
    tools/py314 valgrind --tool=callgrind python bench/run.py --loop data_types_create_s_3

Prints one table and writes it as JSON (bench/results.json unless --json says
otherwise). A benchmark, not a test: nothing here asserts a number.
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import cython_build  # noqa: E402
import least  # noqa: E402
import measure  # noqa: E402
import report  # noqa: E402
import workload  # noqa: E402


def parse(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short runs (about 30 s), for smoke runs")
    parser.add_argument("--json", default=str(Path(__file__).resolve().parent / "results.json"),
                        help="where to write the results as JSON")
    parser.add_argument("--machine", help="the machine's name for the table (default: the host name)")
    parser.add_argument("--only", action="append", default=[], metavar="TEXT",
                        help="only rows whose key contains TEXT (repeatable)")
    parser.add_argument("--loop", metavar="KEY", help="no timing: call one row's statement --count times "
                        "(for a profiler)")
    parser.add_argument("--impl", default="cpp", choices=report.IMPLEMENTATIONS + ("floor", "least"),
                        help="with --loop: which implementation")
    parser.add_argument("--count", type=int, default=200_000, help="with --loop: how many calls")
    # The smoke test: every code path once, tiny texts, a quickly compiled model.
    parser.add_argument("--smoke", action="store_true", help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def load_implementations(smoke: bool) -> tuple[dict, str | None, list[str]]:
    warnings = []
    try:
        package, version = cython_build.load(quick=smoke)
        cython = workload.cython_model(package)
    except cython_build.Unavailable as e:
        version = None
        cython = workload.cython_model(None, f"Cython build unavailable: {e}")
    impls = {"cpp": workload.extensions(), "model": workload.reference_model(), "cython": cython}
    impls["least"] = workload.Implementation("least", "least", dict(impls["cpp"].modules))
    try:
        impls["least"].modules["least"] = least.load(quick=smoke)
    except cython_build.Unavailable as e:
        impls["least"].missing["least"] = str(e)
    return impls, version, warnings


# The series that are no implementation of the pieces, and whose modules they run on.
REFERENCES = {"floor": "cpp", "least": "least"}
SERIES = (*report.IMPLEMENTATIONS, *REFERENCES)


def statement_for(row: workload.Row, impls: dict, key: str) -> tuple[str, dict] | None:
    """The statement and its namespace for one series of a row; None when its modules are missing."""
    if key in REFERENCES:
        reference = getattr(row, key)
        impl = impls[REFERENCES[key]]
        if reference is None or not impl.has(reference.needs):
            return None
        return reference.statement, reference.namespace(impl)
    if not impls[key].has(row.needs):
        return None
    return row.statement, row.namespace(impls[key])


def run_once(statement: str, namespace: dict):
    if "\n" in statement:
        exec(statement, dict(namespace))
        return None
    return eval(statement, dict(namespace))


def agreement(row: workload.Row, impls: dict) -> str | None:
    """Calls every implementation once; a warning when their results differ."""
    results = {}
    for key in (*report.IMPLEMENTATIONS, "least"):
        found = statement_for(row, impls, key)
        if found is not None:
            results[key] = workload.canonical(run_once(*found))
    if len({repr(v) for v in results.values()}) > 1:
        return f"{row.key}: results differ: {results}"
    return None


def time_row(row: workload.Row, impls: dict, settings: measure.Settings) -> dict:
    series = {}
    for key in SERIES:
        found = statement_for(row, impls, key)
        if found is not None:
            series[key] = measure.make_series(*found)
    measure.measure(list(series.values()), settings)
    results = {key: measure.summary(s.samples) | {"calls_per_block": s.number} for key, s in series.items()}
    entry = {
        "key": row.key,
        "label": row.label,
        "needs": list(row.needs),
        "floor": row.floor.label if row.floor else None,
        "floor_goal": row.floor.goal if row.floor else None,
        "chars": row.chars,
        "least": row.least.label if row.least else None,
        "results": {key: results.get(key) for key in SERIES},
    }
    entry["ratios"] = report.ratios(entry)
    entry["missed"] = report.missed_goals(entry)
    return entry


def loop(args: argparse.Namespace, rows: list[workload.Row], impls: dict) -> int:
    matching = [row for row in rows if row.key == args.loop]
    if not matching:
        print(f"no row {args.loop!r}; rows: {', '.join(row.key for row in rows)}", file=sys.stderr)
        return 2
    found = statement_for(matching[0], impls, args.impl)
    if found is None:
        print(f"{args.impl} cannot run {args.loop}: module missing", file=sys.stderr)
        return 2
    series = measure.make_series(*found)
    series.number = args.count
    series.block()
    return 0


def main(argv: list[str] | None = None) -> dict | int:
    args = parse(argv)
    if args.smoke:
        settings, mode = measure.TINY, "smoke"
        rows = workload.rows(long_chars=(64,))
    else:
        settings, mode = (measure.QUICK, "quick") if args.quick else (measure.FULL, "full")
        rows = workload.rows()
    if args.only:
        rows = [row for row in rows if any(text in row.key for text in args.only)]

    impls, cython_version, warnings = load_implementations(args.smoke)
    if args.loop:
        return loop(args, rows, impls)

    flags = " ".join(cython_build.QUICK_FLAGS if args.smoke else cython_build.RELEASE_FLAGS)
    results = {
        "mode": mode,
        "machine": report.machine(args.machine, cython_version, f"C compiled with {flags}"),
        "settings": vars(settings),
        "missing": {f"{impl.title} {name}": why for impl in impls.values() for name, why in impl.missing.items()},
        "warnings": warnings,
        "rows": [],
    }
    for row in rows:
        warning = agreement(row, impls)
        if warning:
            results["warnings"].append(warning)
        results["rows"].append(time_row(row, impls, settings))
        if not args.smoke:
            print(f"  {row.label}", file=sys.stderr, flush=True)
    results["machine"]["load_average_end"] = list(os.getloadavg())
    print(report.table(results))
    report.write_json(results, args.json)
    return results


if __name__ == "__main__":
    outcome = main()
    sys.exit(outcome if isinstance(outcome, int) else 0)
