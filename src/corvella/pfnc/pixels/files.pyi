"""Files of raw frames one after another, as cameras and frame grabbers record them."""

import os
from collections.abc import Iterator
from types import TracebackType
from typing import Any, Self

from numpy.typing import NDArray

from corvella.pfnc.names.formats import PixelFormat

__all__ = ["RawFile"]

CHUNK_BYTES: int

class RawFile:
    path: str
    format: PixelFormat
    width: int
    height: int
    stride: int | None
    offset: int
    frame_bytes: int
    def __init__(
        self,
        path: str | os.PathLike[str],
        format: str | int | PixelFormat,
        width: int,
        height: int,
        *,
        stride: int | None = None,
        offset: int = 0,
        frame_bytes: int | None = None,
    ) -> None: ...
    def __len__(self) -> int: ...
    def raw(self, index: int) -> memoryview: ...
    def __getitem__(self, index: int | slice) -> NDArray[Any]: ...
    def __iter__(self) -> Iterator[NDArray[Any]]: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None
    ) -> None: ...
    def to_dask(self, frames_per_chunk: int | None = None) -> Any: ...
