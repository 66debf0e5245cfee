"""Colour kernels of to_rgb: luma and chroma to RGB, depth scaling and channel picking.

Every array is checked here; corvella.pfnc.pixels.colour works out what to ask.
"""

def ycbcr(planes: tuple[object, object, object], out: object, sampling: tuple[int, int], affine: tuple[float, ...]) -> None: ...
def channels(image: object, out: object, picks: tuple[int, int, int], widths: tuple[int, int, int], bits: int) -> None: ...
