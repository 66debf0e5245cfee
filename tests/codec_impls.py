"""The two codecs under test: the package's, and the plain reference model in reference/."""

from __future__ import annotations

import pytest


def load(which: str):
    """The module with ``decode`` and ``encode``; skips the test while a piece is not built yet."""
    if which == "codec":
        try:
            from corvella.pfnc import codec
        except ImportError:
            pytest.skip("corvella.pfnc.codec is not built yet")
        return codec
    try:
        from corvella.pfnc import PixelFormat  # noqa: F401  (the reference reads names with it)
    except ImportError:
        pytest.skip("corvella.pfnc.PixelFormat is not built yet")
    from pfnc_model import codec
    return codec


IMPLEMENTATIONS = ["codec", "oracle"]
