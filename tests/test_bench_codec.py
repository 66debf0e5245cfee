"""The codec benchmark: its numpy rows decode and encode as the reference model does, and it runs."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import importlib

import pytest

from codec_impls import load
from codec_vectors import assert_same_image

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
numpy_layouts = importlib.import_module("numpy_layouts")
codec_bench = importlib.import_module("codec")


@pytest.mark.parametrize("name", sorted(numpy_layouts.DECODERS))
def test_numpy_decoder_agrees_with_the_model(name):
    oracle = load("oracle")
    width, height = 8, 4
    data = np.random.default_rng(1).integers(0, 256, oracle.needed_bytes(name, width, height), np.uint8).tobytes()
    assert_same_image(numpy_layouts.DECODERS[name](data, width, height), oracle.decode(data, name, width, height))


@pytest.mark.parametrize("name", sorted(numpy_layouts.ENCODERS))
def test_numpy_encoder_agrees_with_the_model(name):
    oracle = load("oracle")
    data = np.random.default_rng(2).integers(0, 256, oracle.needed_bytes(name, 8, 4), np.uint8).tobytes()
    image = oracle.decode(data, name, 8, 4)
    assert numpy_layouts.ENCODERS[name](image) == oracle.encode(image, name)


def test_every_row_runs(capsys):
    assert codec_bench.main(["--smoke", "--size", "64x8"]) == 0
    table = capsys.readouterr().out
    for name in codec_bench.DECODE_ROWS:
        assert f"decode {name} " in table
    for name in codec_bench.ENCODE_ROWS:
        assert f"encode {name} " in table


@pytest.mark.parametrize("direction", [[], ["--encode"]])
def test_loop_mode_runs_without_timing(direction):
    importlib.import_module("corvella.pfnc.pixels.codec")
    assert codec_bench.main(["--loop", "Mono12p", "--count", "2", "--size", "64x8", *direction]) == 0
