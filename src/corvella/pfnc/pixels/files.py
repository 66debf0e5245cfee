"""Files of raw frames one after another, as cameras and frame grabbers record them.

``RawFile(path, format, width, height)`` maps the file read-only and decodes
one frame at a time: ``len()`` counts the frames, ``seq[i]`` and iteration
decode one, ``seq[start:stop:step]`` decodes those frames into one array
``(frames, height, width[, components])``, and ``raw(i)`` gives a frame's
bytes undecoded. ``to_dask()`` gives the whole file as a dask array whose
chunks are decoded lazily, each by a task that opens the file by its path.
"""

import mmap
import operator
import os

import numpy

from ._plans import format_of
from .codec import decode

__all__ = ["RawFile"]

# Decoded bytes a dask chunk holds at most when the caller gives no frame count.
CHUNK_BYTES = 32 << 20


def _integer(value, what: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an integer, not bool")
    return operator.index(value)


def _counted(value, what: str, least: int) -> int:
    number = _integer(value, what)
    if number < least:
        raise ValueError(f"{what} must be at least {least}, not {number}")
    return number


class RawFile:
    """The frames of a file of raw pixel buffers, decoded one by one.

    Args:
        path: the file; it is mapped read-only.
        format: a pixel-format name, its 32-bit value or a PixelFormat.
        width, height: each frame's size in pixels.
        stride: bytes from the start of one line to the next, as `decode`
            takes it.
        offset: bytes before the first frame (a header).
        frame_bytes: bytes from the start of one frame to the next, when
            frames carry more than their pixels (a trailer); by default
            what one frame takes, ``format.buffer_size(width, height,
            stride=stride)``.

    Raises:
        ValueError: an empty file, an offset at or past its end, a file
            that ends in a partial frame (the message gives the byte
            counts), or frame_bytes shorter than one frame.

    ``file[i]`` decodes frame ``i`` (negative counts from the end) and a
    slice decodes its frames into one array; frames are copied out of the
    map, so they outlive ``close()``. ``raw(i)`` is a view of the map: the
    map stays until the last such view is gone, also after ``close()``.
    Sub-sampled formats, whose frames one array cannot hold, are read with
    ``raw(i)`` and ``decode_planes``. Truncating the file while it is open
    is the one thing not to do: a mapped page that is gone cannot be read.
    """

    def __init__(self, path, format, width, height, *, stride=None, offset=0, frame_bytes=None):
        # Absolute, so that tasks in other processes open the same file.
        self.path = os.path.abspath(os.fspath(path))
        self.format = format_of(format)
        self.width = _counted(width, "width", 1)
        self.height = _counted(height, "height", 1)
        self.stride = None if stride is None else _integer(stride, "stride")
        self.offset = _counted(offset, "offset", 0)
        needed = self.format.buffer_size(self.width, self.height, stride=self.stride)
        if frame_bytes is None:
            self.frame_bytes = needed
        else:
            self.frame_bytes = _integer(frame_bytes, "frame_bytes")
            if self.frame_bytes < needed:
                raise ValueError(f"frame_bytes {self.frame_bytes} is less than the {needed} bytes "
                                 f"of a {self.width}x{self.height} {self.format.name} frame")
        self._map = None
        with open(self.path, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            if size == 0:
                raise ValueError(f"{self.path} is empty")
            after = size - self.offset
            if after <= 0:
                raise ValueError(f"offset {self.offset} is at or past the end of {self.path} ({size} bytes)")
            self._frames, partial = divmod(after, self.frame_bytes)
            if partial:
                raise ValueError(f"{self.path} ends in a partial frame: the {after} bytes after offset "
                                 f"{self.offset} are {_plural(self._frames, 'frame')} of {self.frame_bytes} "
                                 f"bytes and {_plural(partial, 'byte')} more")
            self._map = mmap.mmap(file.fileno(), size, access=mmap.ACCESS_READ)

    def __len__(self) -> int:
        return self._frames

    def _frame(self, index) -> int:
        number = operator.index(index)
        frame = number + self._frames if number < 0 else number
        if not 0 <= frame < self._frames:
            raise IndexError(f"frame {number} is out of range for {self._frames} frames")
        return frame

    def raw(self, index) -> memoryview:
        """The bytes of frame `index`, undecoded: a read-only view of the map."""
        start = self.offset + self._frame(index) * self.frame_bytes
        mapping = self._map
        if mapping is None:
            raise ValueError(f"{self!r} is closed")
        return memoryview(mapping)[start:start + self.frame_bytes]

    def __getitem__(self, index):
        if isinstance(index, slice):
            return self._stacked(range(*index.indices(self._frames)))
        return decode(self.raw(index), self.format, self.width, self.height, stride=self.stride)

    def _stacked(self, frames: range) -> numpy.ndarray:
        # The first frame gives the shape and dtype, also of an empty range.
        first = self[frames[0] if frames else 0]
        stacked = numpy.empty((len(frames), *first.shape), first.dtype)
        for slot, frame in enumerate(frames):
            stacked[slot] = first if slot == 0 else self[frame]
        return stacked

    def __iter__(self):
        for frame in range(self._frames):
            yield self[frame]

    def close(self) -> None:
        """Unmap the file; views from raw() keep their part of it until they are gone."""
        mapping, self._map = self._map, None
        if mapping is not None:
            try:
                mapping.close()
            except BufferError:
                pass  # views are still alive: the map closes with the last of them

    @property
    def closed(self) -> bool:
        return self._map is None

    def __enter__(self):
        return self

    def __exit__(self, *exception) -> None:
        self.close()

    def __repr__(self) -> str:
        state = " closed" if self._map is None else ""
        return (f"<RawFile{state} {self.path!r} {self.format.name} {self.width}x{self.height}: "
                f"{self._frames} frames of {self.frame_bytes} bytes from offset {self.offset}>")

    def to_dask(self, frames_per_chunk=None):
        """The frames as a dask array ``(frames, height, width[, components])``, decoded when computed.

        Each chunk is one task that opens the file by its path and decodes
        `frames_per_chunk` frames (by default as many as fit in 32 MiB
        decoded); a task carries the path, the format and the sizes, never
        the frames' bytes, so that it runs as well in another process. The
        format's conversion plan stays out of the graph: each process builds
        its own once.

        Raises:
            ImportError: dask is not installed (the ``dask`` extra).
        """
        try:
            import dask.array
            from dask.base import tokenize
        except ImportError as error:
            raise ImportError("RawFile.to_dask needs dask: install corvella-pfnc[dask]") from error
        first = self[0]
        if frames_per_chunk is None:
            per_chunk = max(1, CHUNK_BYTES // first.nbytes)
        else:
            per_chunk = _counted(frames_per_chunk, "frames_per_chunk", 1)
        per_chunk = min(per_chunk, self._frames)
        starts = range(0, self._frames, per_chunk)
        opening = (self.path, self.format, self.width, self.height, self.stride, self.offset, self.frame_bytes)
        stat = os.stat(self.path)
        # The file's size and time are in the name, so that a rewritten file is read again.
        name = "raw-frames-" + tokenize(self.path, self.format.name, self.format.code, *opening[2:],
                                        stat.st_size, stat.st_mtime_ns, per_chunk)
        inner = (0,) * first.ndim
        graph = {(name, chunk, *inner): (_read_frames, *opening, start, min(start + per_chunk, self._frames))
                 for chunk, start in enumerate(starts)}
        chunks = (tuple(min(per_chunk, self._frames - start) for start in starts), *((n,) for n in first.shape))
        return dask.array.Array(graph, name, chunks, dtype=first.dtype)


def _read_frames(path, format, width, height, stride, offset, frame_bytes, start, stop) -> numpy.ndarray:
    """Frames start to stop of a file, decoded: one dask task."""
    with RawFile(path, format, width, height, stride=stride, offset=offset, frame_bytes=frame_bytes) as file:
        return file[start:stop]


def _plural(count: int, thing: str) -> str:
    return f"{count} {thing}{'' if count == 1 else 's'}"
