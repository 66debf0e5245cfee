"""The benchmark's code path, run once on tiny inputs: it must run, whatever the numbers."""

import json
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))

import cython_build  # noqa: E402
import run  # noqa: E402


@pytest.fixture(scope="module")
def cython_model():
    try:
        return cython_build.load(quick=True)
    except cython_build.Unavailable as e:
        pytest.skip(f"Cython build unavailable: {e}")


def test_every_row_runs_for_every_implementation(cython_model, tmp_path, capsys):
    results = run.main(["--smoke", "--json", str(tmp_path / "results.json")])
    assert json.loads((tmp_path / "results.json").read_text()) == results
    assert results["warnings"] == []
    table = capsys.readouterr().out
    for row in results["rows"]:
        assert row["label"] in table
        if "formats" in row["needs"]:  # whole names: the package's alone, nothing to compare with
            assert row["results"]["model"] is None and row["results"]["cpp"]["median_ns"] > 0
            continue
        # The model always runs; the others where their modules exist.
        assert row["results"]["model"]["rounds"] == 1
        assert row["results"]["cython"] is not None
        # A compiler is here (the Cython model built): the least work runs, and agreed with the rest.
        assert (row["results"]["least"] is not None) == (row["least"] is not None)
        cpp = row["results"]["cpp"]
        if cpp is not None:
            assert cpp["median_ns"] > 0 and "model/cpp" in row["ratios"]


def test_loop_mode_calls_a_row_without_timing(cython_model):
    assert run.main(["--smoke", "--loop", "size_designation_8", "--count", "3"]) == 0
    assert run.main(["--smoke", "--loop", "no_such_row"]) == 2
