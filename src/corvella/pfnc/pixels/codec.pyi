"""Decode image buffers of any pixel format into numpy arrays, and encode them back."""

from collections.abc import Buffer
from typing import Any

from numpy.typing import NDArray

from corvella.pfnc.names.formats import PixelFormat

__all__ = ["decode", "encode"]

def decode(
    data: Buffer, format: str | int | PixelFormat, width: int, height: int, *, stride: int | None = None
) -> NDArray[Any] | dict[str, NDArray[Any]]: ...
def encode(
    image: NDArray[Any] | dict[str, NDArray[Any]], format: str | int | PixelFormat, *, stride: int | None = None
) -> bytes: ...
