"""Pictures in RGB from image buffers of colour and grey pixel formats."""

from collections.abc import Buffer
from typing import Any, Literal

from numpy.typing import NDArray

from corvella.pfnc.names.formats import PixelFormat

__all__ = ["to_rgb"]

def to_rgb(
    data: Buffer,
    format: str | int | PixelFormat,
    width: int,
    height: int,
    *,
    stride: int | None = None,
    method: Literal["bilinear", "gradient"] = "gradient",
    matrix: Literal["601", "709", "2020"] | None = None,
    range: Literal["full", "limited"] | None = None,
    bits: Literal[8, 16] | None = None,
    order: Literal["RGB", "BGR"] = "RGB",
    out: NDArray[Any] | None = None,
) -> NDArray[Any]: ...
