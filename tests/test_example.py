"""The example program reads real names and composes them back."""

import importlib.util
import pathlib

import pytest

PATH = pathlib.Path(__file__).resolve().parent.parent / "examples" / "read_names.py"


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("read_names", PATH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize(
    ("name", "pieces"),
    [
        ("Mono12p", [("Mono", [12], "", True, None)]),
        ("RGB565p", [("RGB", [5, 6, 5], "", True, None)]),
        ("RGB10_Planar", [("RGB", [10, 10, 10], "", False, "Planar")]),
        ("YUV422_8_UYVY", [("YUV422", [8, 8, 8], "", False, "UYVY")]),
        ("YCbCr422_8_CbYCrY", [("YCbCr422", [8, 8, 8], "", False, "CbYCrY")]),
        ("RGB8s", [("RGB", [8, 8, 8], "s", False, None)]),
    ],
)
def test_reads_and_composes_back(example, name, pieces):
    readings = list(example.read_name(name))
    assert [
        (r.components, list(r.size), r.data_types.designation(), r.packed,
         r.suffix.designation() if r.suffix else None)
        for r in readings
    ] == pieces
    assert [r.compose() for r in readings] == [name]


def test_exit_status_and_output(example, capsys):
    assert example.main(["RGB8_Planar"]) == 0
    assert "RGB8_Planar" in capsys.readouterr().out
    assert example.main(["RGB8_Planar", "NoSuch8"]) == 1
    assert "NoSuch8: cannot be read" in capsys.readouterr().out
