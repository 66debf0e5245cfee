"""The layout figure finds, through the package's encoder, the byte formulas the naming rules give."""

from __future__ import annotations

import subprocess
import sys

import importlib

import pytest

_layout_figure = importlib.import_module("corvella.pfnc.pixels._layout_figure")
importlib.import_module("corvella.pfnc.pixels.codec")

# The first bytes of each layout, as naming.md writes them (C0, C1, C2 become the component names).
FORMULAS = {
    "Mono10p": ["P0[7:0]", "P1[5:0]<<2 | P0[9:8]", "P2[3:0]<<4 | P1[9:6]", "P3[1:0]<<6 | P2[9:4]", "P3[9:2]"],
    "Mono12p": ["P0[7:0]", "P1[3:0]<<4 | P0[11:8]", "P1[11:4]"],
    "Mono12Packed": ["P0[11:4]", "P1[3:0]<<4 | P0[3:0]", "P1[11:4]"],
    "Mono10Packed": ["P0[9:2]", "P1[1:0]<<4 | P0[1:0]", "P1[9:2]"],
    "Mono12g": ["P0[11:4]", "P1[11:4]", "P1[3:0]<<4 | P0[3:0]"],
    "Mono10g12": ["P0[9:2]", "P1[9:2]", "P1[1:0]<<4 | P0[1:0]"],
    "Mono10pmsb": ["P0[9:2]", "P0[1:0]<<6 | P1[9:4]", "P1[3:0]<<4 | P2[9:6]", "P2[5:0]<<2 | P3[9:8]",
                   "P3[7:0]"],
    "RGB10p32msb": ["R0[9:2]", "R0[1:0]<<6 | G0[9:4]", "G0[3:0]<<4 | B0[9:6]", "B0[5:0]<<2"],
    "RGB565p": ["G0[2:0]<<5 | R0[4:0]", "B0[4:0]<<3 | G0[5:3]"],
    "YCbCr411_8_CbYYCrYY": ["Cb0[7:0]", "Y0[7:0]", "Y1[7:0]", "Cr0[7:0]", "Y2[7:0]", "Y3[7:0]"],
}


@pytest.mark.parametrize("name", FORMULAS)
def test_the_figure_gives_the_rules_formulas(name):
    expected = FORMULAS[name]
    assert _layout_figure.formulas(_layout_figure.bit_owners(name))[: len(expected)] == expected


def test_padding_is_shown_as_padding():
    figure = _layout_figure.bit_owners("RGB10p32")
    assert figure.owners[30:32] == [None, None]
    assert "." in _layout_figure.render(figure).splitlines()[5]


def test_the_command_draws_and_reports_what_it_cannot():
    run = subprocess.run([sys.executable, "-m", "corvella.pfnc", "layout", "Mono12p", "RGB10V1Packed"],
                         capture_output=True, text=True)
    assert run.returncode == 1
    assert "= P1[3:0]<<4 | P0[11:8]" in run.stdout
    assert "RGB10V1Packed" in run.stderr and "Traceback" not in run.stderr


def test_the_readme_shows_what_the_command_draws():
    from pathlib import Path

    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text()
    assert _layout_figure.render(_layout_figure.bit_owners("RGB10p32")) in readme
