"""The two codecs under test: the package's, and the plain reference model in reference/."""

from __future__ import annotations

import pytest


def load(which: str):
    """The module with ``decode`` and ``encode``: the package's own, or the reference model."""
    if which == "codec":
        from corvella.pfnc.pixels import codec

        return codec
    from pfnc_model import codec
    return codec


IMPLEMENTATIONS = ["codec", "oracle"]
