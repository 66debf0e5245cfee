"""Demosaicing of Bayer mosaics and BiColor pairs into RGB, into arrays the caller
gives. Samples are uint8 or uint16; rows may have any stride.
"""

# Builtin functions carry no annotations at run time: the parameters are
# described by the docstrings (arrays, str, str, int, bool).
def demosaic(mosaic, out, tile, method, bits, blue_first) -> None: ...  # type: ignore[no-untyped-def]
def bicolor(pairs, out, first, method, bits, blue_first) -> None: ...  # type: ignore[no-untyped-def]
