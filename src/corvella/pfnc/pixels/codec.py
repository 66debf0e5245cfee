"""Decode image buffers of any pixel format into numpy arrays, and encode them back.

``decode(data, format, width, height)`` gives the sample values, unpacked:

- one sample per pixel (mono, raw, mosaics, clusters): an array ``(height, width)``;
- several components on every pixel: ``(height, width, components)``, in the
  order of the name's components field, whatever the order in memory;
- sub-sampled formats: a dict from component name to a 2-D array at that
  component's own sampling (``Cb`` is ``(height, width // 2)`` for 4:2:2).

The element type is the smallest unsigned (``u``), signed (``s``) or
floating-point (``f``) type that holds every component. ``encode(image,
format)`` takes what ``decode`` returns and gives the buffer back as bytes.

Without a stride, the pixel stream runs on from one line to the next, so a
packed group may straddle two lines, and planes follow one another directly.
With ``stride=N`` every line (of every plane) starts N bytes after the one
before; ``encode`` then pads each line with zeros to N bytes.
"""

import math
import operator
import sys

import numpy

from . import _layout
from . import _convert as convert
from ..names import PixelFormat

__all__ = ["decode", "encode"]

_layouts: dict = {}


def _format(format) -> PixelFormat:
    if isinstance(format, PixelFormat):
        return format
    if isinstance(format, str):
        return PixelFormat.from_name(format)
    if isinstance(format, int) and not isinstance(format, bool):
        return PixelFormat.from_code(format)
    raise TypeError(f"format must be a pixel-format name, a 32-bit value or a PixelFormat, not {type(format).__name__}")


def _layout_for(fmt: PixelFormat) -> _layout.Layout:
    found = _layouts.get(fmt)
    if found is None:
        try:
            found = _layout.layout_of(fmt)
        except _layout.Unsupported as error:
            found = str(error)
        _layouts[fmt] = found
    if isinstance(found, str):
        raise NotImplementedError(f"{fmt.name} cannot be converted: {found}")
    return found


def _size(value, what: str) -> int:
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}") from None
    if value <= 0:
        raise ValueError(f"{what} must be positive, got {value}")
    return value


def _shapes(layout, width: int, height: int) -> list[tuple[int, ...]]:
    shapes = []
    for name, across, down, components in layout.targets:
        if width % across or height % down:
            raise ValueError(f"{layout.name} samples {name} once every {across}x{down} pixels: "
                             f"{width}x{height} is not a multiple")
        shape = (height // down, width // across)
        shapes.append(shape + (components,) if components > 1 else shape)
    return shapes


def _job(layout, width: int, height: int, stride: int | None, itemsize: int, shapes) -> tuple[list[int], int, int]:
    """The conversion module's description of one image, the bytes it reads and the bytes encode writes."""
    job = [convert.JOB_VERSION, 0, len(layout.targets), len(layout.planes)]
    for shape in shapes:
        row = 0 if stride is None else itemsize * (shape[1] * (shape[2] if len(shape) > 2 else 1))
        job += [itemsize, row]
    offset = needed = 0
    for plane in layout.planes:
        lines = height // plane.line_divisor
        pixels = width if stride is not None else width * lines
        full, rest = divmod(pixels, plane.group_pixels)
        if rest and plane.partial_bytes is None:
            raise ValueError(f"{layout.name} packs {plane.group_pixels} pixels together: "
                             f"a width of {width} is not a multiple of {plane.group_pixels}")
        run = full * plane.group_bytes + (plane.partial_bytes[rest - 1] if rest else 0)
        if stride is None:
            segments, step, span = 1, 0, run
        else:
            if stride < run:
                raise ValueError(f"stride {stride} is smaller than a line of {layout.name} at width {width} "
                                 f"({run} bytes)")
            segments, step, span = lines, stride, (lines - 1) * stride + run
        job += [offset, step, segments, full, rest, plane.partial_bytes[rest - 1] if rest else 0,
                plane.group_bytes, len(plane.samples)]
        for s in plane.samples:
            job += [s.target, s.element, plane.steps[s.target], s.pixel, s.width, s.kind, len(s.fields)]
            for f in s.fields:
                job += [f.bit, f.bits, f.shift]
        needed = offset + span
        offset += run if stride is None else lines * stride
    if offset > sys.maxsize:
        raise ValueError(f"{width}x{height} pixels of {layout.name} need {offset} bytes, more than memory can hold")
    return job, needed, offset


def _check_stride(stride) -> int | None:
    return None if stride is None else _size(stride, "stride")


def decode(data, format, width, height, *, stride=None):
    """Decode a buffer of pixels in `format` into numpy arrays of sample values.

    Args:
        data: any C-contiguous object with the buffer protocol (bytes,
            bytearray, memoryview, mmap, a numpy array). Bytes past the image
            are ignored.
        format: a pixel-format name, its 32-bit value or a PixelFormat.
        width, height: the image size in pixels.
        stride: bytes from the start of one line to the start of the next;
            None when lines follow one another without padding.

    Returns:
        An array ``(height, width)`` for one sample per pixel, ``(height,
        width, components)`` for several, or a dict of 2-D arrays from
        component name for sub-sampled formats.

    Raises:
        TypeError: an argument of the wrong type.
        ValueError: sizes that are not positive or that the format's groups
            cannot divide, a stride shorter than a line, or data shorter than
            the image (the message gives both byte counts).
        NotImplementedError: a format whose layout is not defined.
    """
    fmt = _format(format)
    width, height = _size(width, "width"), _size(height, "height")
    stride = _check_stride(stride)
    layout = _layout_for(fmt)
    dtype = numpy.dtype(layout.dtype)
    shapes = _shapes(layout, width, height)
    job, needed, _ = _job(layout, width, height, stride, dtype.itemsize, shapes)
    with memoryview(data) as view:
        if not view.c_contiguous:
            raise ValueError("data must be C-contiguous")
        if view.nbytes < needed:
            raise ValueError(f"data is too short: {width}x{height} pixels of {fmt.name} need {needed} bytes, "
                             f"{view.nbytes} given")
    outputs = tuple(_empty(shape, dtype) for shape in shapes)
    convert.decode(job, data, outputs)
    if layout.targets[0][0] is None:
        return outputs[0]
    return {t[0]: out for t, out in zip(layout.targets, outputs)}


# From this size on, an output's memory comes from convert.block(), which
# recycles the memory of arrays that are gone: fresh pages cost more than
# the conversion that fills them.
_RECYCLED_FROM = 16 << 20


def _empty(shape, dtype):
    nbytes = dtype.itemsize * math.prod(shape)
    if nbytes < _RECYCLED_FROM:
        return numpy.empty(shape, dtype)
    return numpy.frombuffer(convert.block(nbytes), dtype).reshape(shape)


def _arrays(image, layout, dtype) -> tuple[list, int, int]:
    """The arrays of `image` in output order, checked against the layout; and the image size."""
    if layout.targets[0][0] is None:
        if not isinstance(image, numpy.ndarray):
            raise TypeError(f"image must be a numpy array, not {type(image).__name__}")
        arrays = [image]
        components = layout.targets[0][3]
        expected = "(height, width)" if components == 1 else f"(height, width, {components})"
        if image.ndim != (2 if components == 1 else 3) or (components > 1 and image.shape[2] != components):
            raise ValueError(f"{layout.name} takes an image of shape {expected}, not {image.shape}")
        names = ["image"]
    else:
        if not isinstance(image, dict):
            raise TypeError(f"image must be a dict of numpy arrays by component, not {type(image).__name__}")
        names = [t[0] for t in layout.targets]
        missing = [n for n in names if n not in image]
        if missing:
            raise ValueError(f"component {missing[0]!r} of {layout.name} is missing")
        unknown = [n for n in image if n not in names]
        if unknown:
            raise ValueError(f"{layout.name} has no component {unknown[0]!r}")
        arrays = [image[n] for n in names]
        for name, array in zip(names, arrays):
            if not isinstance(array, numpy.ndarray):
                raise TypeError(f"component {name!r} must be a numpy array, not {type(array).__name__}")
            if array.ndim != 2:
                raise ValueError(f"component {name!r} must be a 2-D array, not of shape {array.shape}")
    for name, array in zip(names, arrays):
        if array.dtype != dtype:
            raise ValueError(f"{layout.name} takes {dtype} samples; {name} has dtype {array.dtype}")
    height, width = arrays[0].shape[:2]
    if layout.targets[0][1:3] != (1, 1):
        raise ValueError(f"{layout.name} has no full-resolution component")
    if width == 0 or height == 0:
        raise ValueError(f"image must not be empty, got shape {arrays[0].shape}")
    for name, array, shape in zip(names, arrays, _shapes(layout, width, height)):
        if array.shape != shape:
            raise ValueError(f"component {name!r} must have shape {shape} for a {width}x{height} image, "
                             f"not {array.shape}")
    return [numpy.ascontiguousarray(a) for a in arrays], width, height


def _value_error(layout, arrays, target: int) -> ValueError:
    """The first value of output `target` that its component cannot hold."""
    array = arrays[target]
    if layout.targets[0][0] is None:
        channels = [(layout.limits[c], array[..., c] if array.ndim == 3 else array) for c in range(len(layout.limits))]
    else:
        channels = [(layout.limits[target], array)]
    for (name, width, kind), values in channels:
        low, high = (-(1 << (width - 1)), (1 << (width - 1)) - 1) if kind == _layout.SIGNED else (0, (1 << width) - 1)
        bad = numpy.argwhere((values < low) | (values > high))
        if len(bad):
            where = tuple(int(i) for i in bad[0])
            return ValueError(f"{layout.name}: component {name} holds {width} bits, "
                              f"but the value at {where} is {values[where]}")
    return ValueError(f"{layout.name}: a value does not fit its component")


def encode(image, format, *, stride=None) -> bytes:
    """Encode sample values, as `decode` returns them, into a buffer in `format`.

    Args:
        image: a numpy array ``(height, width)`` or ``(height, width,
            components)``, or for sub-sampled formats a dict of 2-D arrays
            from component name; the dtype is the one `decode` gives.
        format: a pixel-format name, its 32-bit value or a PixelFormat.
        stride: bytes from the start of one line to the start of the next;
            each line is padded with zeros to that length.

    Raises:
        TypeError: an argument of the wrong type.
        ValueError: a wrong dtype or shape, a missing component, or a value
            that does not fit its component (the message says which).
        NotImplementedError: a format whose layout is not defined.
    """
    fmt = _format(format)
    stride = _check_stride(stride)
    layout = _layout_for(fmt)
    dtype = numpy.dtype(layout.dtype)
    arrays, width, height = _arrays(image, layout, dtype)
    shapes = _shapes(layout, width, height)
    job, _, total = _job(layout, width, height, stride, dtype.itemsize, shapes)
    result = convert.encode(job, tuple(arrays), total)
    if isinstance(result, int):
        raise _value_error(layout, arrays, result)
    return result
