"""The results as one plain-text table (with the machine named) and as JSON."""

from __future__ import annotations

import json
import os
import platform
import shutil
import subprocess
import sys

from measure import spread_percent

IMPLEMENTATIONS = ("cpp", "model", "cython")
TITLES = {"cpp": "C++", "model": "model", "cython": "Cython", "floor": "floor", "least": "least"}
# Each C++ row: this much faster than the model and the Cython build, this close to its floor.
GOALS = {"model": 5.0, "cython": 1.5, "floor": 1.3}


def first_line(command: list[str]) -> str | None:
    if not shutil.which(command[0]):
        return None
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.SubprocessError):
        return None
    lines = (result.stdout or result.stderr).splitlines()
    return lines[0].strip() if lines else None


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def machine(name: str | None, cython_version: str | None, cython_flags: str) -> dict:
    return {
        "name": name or platform.node(),
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "system": f"{platform.system()} {platform.release()} {platform.machine()}",
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "python_build": " ".join(sys.version.split()[1:]),
        "cxx": first_line(["c++", "--version"]),
        "cython": f"Cython {cython_version}, {cython_flags}" if cython_version else None,
        "load_average_start": list(os.getloadavg()),
    }


def ratios(row: dict) -> dict:
    results = row["results"]
    cpp = results.get("cpp")
    out = {}
    if cpp:
        for other in ("model", "cython"):
            if results.get(other):
                out[f"{other}/cpp"] = results[other]["median_ns"] / cpp["median_ns"]
        if results.get("floor"):
            out["cpp/floor"] = cpp["median_ns"] / results["floor"]["median_ns"]
    if results.get("least") and results.get("floor"):
        out["least/floor"] = results["least"]["median_ns"] / results["floor"]["median_ns"]
        if cpp:
            out["cpp/least"] = cpp["median_ns"] / results["least"]["median_ns"]
    if results.get("model") and results.get("floor"):
        # The most any implementation could gain on the model: all of it but the floor.
        out["model/floor"] = results["model"]["median_ns"] / results["floor"]["median_ns"]
    return out


def missed_goals(row: dict) -> list[str]:
    r = row["ratios"]
    missed = []
    if "model/cpp" in r and r["model/cpp"] < GOALS["model"]:
        missed.append(f"model<{GOALS['model']:g}x")
    if "cython/cpp" in r and r["cython/cpp"] < GOALS["cython"]:
        missed.append(f"Cython<{GOALS['cython']:g}x")
    goal = row.get("floor_goal") or GOALS["floor"]
    if "cpp/floor" in r and r["cpp/floor"] > goal:
        missed.append(f"floor>{goal:g}x")
    return missed


def time_cell(summary: dict | None) -> str:
    if not summary:
        return "n/a"
    median = summary["median_ns"]
    text = f"{median:,.0f}" if median >= 100 else f"{median:.1f}"
    return f"{text} ±{spread_percent(summary):.0f}%"


def ratio_cell(value: float | None) -> str:
    return "" if value is None else f"{value:.2f}" if value < 10 else f"{value:.1f}"


def table(report: dict) -> str:
    m = report["machine"]
    lines = [
        f"corvella.pfnc benchmark ({report['mode']}): median ns per call, ± half the interquartile range",
        f"machine: {m['name']}: {m['cpu']}, {m['cores']} cores, {m['system']}",
        f"{m['python']}; C++ modules: {m['cxx'] or 'compiler unknown'}, Release build; {m['cython'] or 'Cython n/a'}",
        f"load average {m['load_average_start'][0]:.2f} at start, {m['load_average_end'][0]:.2f} at end",
        "",
    ]
    header = ["row", "C++", "model", "Cython", "floor", "model/C++", "Cython/C++", "C++/floor", "model/floor",
              "goals missed"]
    body = []
    for row in report["rows"]:
        r = row["ratios"]
        body.append([
            row["label"],
            *(time_cell(row["results"].get(k)) for k in (*IMPLEMENTATIONS, "floor")),
            ratio_cell(r.get("model/cpp")),
            ratio_cell(r.get("cython/cpp")),
            ratio_cell(r.get("cpp/floor")),
            ratio_cell(r.get("model/floor")),
            ", ".join(row["missed"]) or ("-" if r else ""),
        ])
    widths = [max(len(line[i]) for line in [header, *body]) for i in range(len(header))]
    for line in [header, *body]:
        cells = [line[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(line[1:-1], widths[1:-1])]
        lines.append("  ".join(cells + [line[-1]]).rstrip())
    lines.append("")
    floors = sorted({row["floor"] for row in report["rows"] if row["floor"]})
    if floors:
        lines.append("floors (the work no implementation can avoid): " + "; ".join(floors))
        lines.append("  Size(...): the dataclass-generated __init__ with the C++ __post_init__ it calls, list built beforehand;")
        if any("text[1:]" in floor for floor in floors):
            lines.append("  text[1:]: the copy of a long rest, which every reader returns as a new str;")
        lines.append("  walk(...): one walk of the family's subclasses in C, nothing cached (all_implementations caches it);")
        lines.append("  dict[str] lookup: table[key] in a dict of str keys; a memo's goal is C++/floor <= 3")
    lines.append(f"goals: model/C++ >= {GOALS['model']:g}, Cython/C++ >= {GOALS['cython']:g}, "
                 f"C++/floor <= {GOALS['floor']:g}; model/floor is the most model/C++ could be")
    bounded = [row for row in report["rows"] if "least/floor" in row["ratios"]]
    if bounded:
        lines.append("least: the caller's objects asked what every reader must ask them and the result built, in C,")
        lines.append("  nothing parsed (bench/least.c); no reader costs less, so least/floor is the best C++/floor there is")
    for row in bounded:
        r = row["ratios"]
        lines.append(f"  {row['label']}: least {time_cell(row['results']['least'])} ({row['least']}), "
                     f"least/floor {ratio_cell(r['least/floor'])}, C++/least {ratio_cell(r.get('cpp/least'))}")
    per_char = [row for row in report["rows"] if row.get("chars", 0) >= 1024]
    for row in per_char:
        costs = ", ".join(f"{TITLES[k]} {row['results'][k]['median_ns'] / row['chars']:.2f}"
                          for k in IMPLEMENTATIONS if row["results"].get(k))
        lines.append(f"ns per character, {row['label']}: {costs}")
    for name, why in report["missing"].items():
        lines.append(f"n/a: {name}: {why}")
    for warning in report["warnings"]:
        lines.append(f"warning: {warning}")
    return "\n".join(lines)


def write_json(report: dict, path: str) -> None:
    with open(path, "w", encoding="utf-8") as out:
        json.dump(report, out, indent=1)
        out.write("\n")
