"""The two codecs under test: the package's, and the plain reference model in reference/."""

from __future__ import annotations

from types import SimpleNamespace

import pytest


def decode_any(data, format, width, height, *, stride=None):
    """What the package decodes and encode takes: one array, or a dict by component for sub-sampled formats."""
    from corvella.pfnc.pixels import codec

    return codec._decoded(data, format, width, height, stride)


def load(which: str):
    """``decode`` and ``encode`` of the package (``decode_any`` as its decode), or of the reference model."""
    if which == "codec":
        from corvella.pfnc.pixels import codec

        return SimpleNamespace(decode=decode_any, encode=codec.encode)
    from pfnc_model import codec
    return codec


IMPLEMENTATIONS = ["codec", "oracle"]
