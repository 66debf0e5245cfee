"""Decode image buffers of any pixel format into numpy arrays, and encode them back."""

from collections.abc import Buffer
from typing import Any, TypeVar, overload

from numpy.typing import NDArray

from corvella.pfnc.names.formats import PixelFormat

__all__ = ["decode", "decode_planes", "encode"]

def decode(
    data: Buffer,
    format: str | int | PixelFormat,
    width: int,
    height: int,
    *,
    stride: int | None = None,
    copy: bool = True,
    out: NDArray[Any] | None = None,
) -> NDArray[Any]: ...
def decode_planes(
    data: Buffer,
    format: str | int | PixelFormat,
    width: int,
    height: int,
    *,
    stride: int | None = None,
    out: dict[str, NDArray[Any]] | None = None,
) -> dict[str, NDArray[Any]]: ...
_Out = TypeVar("_Out", bound=Buffer)

@overload
def encode(
    image: NDArray[Any] | dict[str, NDArray[Any]],
    format: str | int | PixelFormat,
    *,
    stride: int | None = None,
    out: None = None,
) -> bytes: ...
@overload
def encode(
    image: NDArray[Any] | dict[str, NDArray[Any]], format: str | int | PixelFormat, *, stride: int | None = None, out: _Out
) -> _Out: ...
