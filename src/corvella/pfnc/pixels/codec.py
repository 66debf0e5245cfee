"""Decode image buffers of any pixel format into numpy arrays, and encode them back.

``decode(data, format, width, height)`` gives the sample values, unpacked:

- one sample per pixel (mono, raw, mosaics, clusters): an array ``(height, width)``;
- several components on every pixel: ``(height, width, components)``, in the
  order of the name's components field, whatever the order in memory;
- sub-sampled formats: a dict from component name to a 2-D array at that
  component's own sampling (``Cb`` is ``(height, width // 2)`` for 4:2:2).

The element type is the smallest unsigned (``u``), signed (``s``) or
floating-point (``f``) type that holds every component. ``encode(image,
format)`` takes what ``decode`` returns, or a dict of 2-D arrays by component,
and gives the buffer back as bytes, or writes it into ``out=``.

Without a stride, the pixel stream runs on from one line to the next, so a
packed group may straddle two lines, and planes follow one another directly.
With ``stride=N`` every line (of every plane) starts N bytes after the one
before; ``encode`` then pads each line with zeros to N bytes.
"""

import math
import operator

import numpy

from . import _convert as convert
from ._plans import converter_of
from ..names import PixelFormat

__all__ = ["decode", "encode"]


def _format(format) -> PixelFormat:
    if isinstance(format, PixelFormat):
        return format
    if isinstance(format, str):
        return PixelFormat.from_name(format)
    if not isinstance(format, bool):
        try:
            code = operator.index(format)
        except TypeError:
            pass
        else:
            return PixelFormat.from_code(code)
    raise TypeError(f"format must be a pixel-format name, a 32-bit value or a PixelFormat, not {type(format).__name__}")


def _shapes(converter, width: int, height: int) -> list[tuple[int, ...]]:
    shapes = []
    for name, across, down, components in converter.targets:
        if width % across or height % down:
            raise ValueError(f"{converter.name} samples {name} once every {across}x{down} pixels: "
                             f"{width}x{height} is not a multiple")
        shape = (height // down, width // across)
        shapes.append(shape + (components,) if components > 1 else shape)
    return shapes


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
    return converter_of(_format(format)).plan.decode(data, width, height, stride, numpy.empty, _recycled)


def _recycled(shape, dtype):
    """An array whose memory comes from convert.block(), which recycles the memory of arrays that are gone:
    fresh pages cost more than the conversion that fills them."""
    return numpy.frombuffer(convert.block(dtype.itemsize * math.prod(shape)), dtype).reshape(shape)


def _interleaved(image: dict, converter) -> numpy.ndarray:
    """The one array of a format with every component on every pixel, from its planes by component name."""
    names = [limit[0] for limit in converter.limits]
    planes = _planes(image, names, converter.name)
    for name, plane in zip(names, planes):
        if plane.dtype != converter.dtype:
            raise ValueError(f"{converter.name} takes {converter.dtype} samples; {name} has dtype {plane.dtype}")
    shapes = {plane.shape for plane in planes}
    if len(shapes) != 1:
        raise ValueError(f"the components of {converter.name} must have one shape, not {sorted(shapes)}")
    return planes[0] if len(planes) == 1 else numpy.stack(planes, axis=-1)


def _planes(image: dict, names: list, format_name: str) -> list:
    """The 2-D arrays of `image` in the order of `names`, which must be its keys."""
    missing = [n for n in names if n not in image]
    if missing:
        raise ValueError(f"component {missing[0]!r} of {format_name} is missing")
    unknown = [n for n in image if n not in names]
    if unknown:
        raise ValueError(f"{format_name} has no component {unknown[0]!r}")
    planes = [image[n] for n in names]
    for name, plane in zip(names, planes):
        if not isinstance(plane, numpy.ndarray):
            raise TypeError(f"component {name!r} must be a numpy array, not {type(plane).__name__}")
        if plane.ndim != 2:
            raise ValueError(f"component {name!r} must be a 2-D array, not of shape {plane.shape}")
    return planes


def _arrays(image, converter) -> tuple[list, int, int]:
    """The arrays of `image` in output order, checked against the converter; and the image size."""
    if converter.targets[0][0] is None:
        if isinstance(image, dict):
            image = _interleaved(image, converter)
        elif not isinstance(image, numpy.ndarray):
            raise TypeError(f"image must be a numpy array or a dict of them by component, not {type(image).__name__}")
        arrays = [image]
        components = converter.targets[0][3]
        expected = "(height, width)" if components == 1 else f"(height, width, {components})"
        if image.ndim != (2 if components == 1 else 3) or (components > 1 and image.shape[2] != components):
            raise ValueError(f"{converter.name} takes an image of shape {expected}, not {image.shape}")
        names = ["image"]
    else:
        if not isinstance(image, dict):
            raise TypeError(f"image must be a dict of numpy arrays by component, not {type(image).__name__}")
        names = [t[0] for t in converter.targets]
        arrays = _planes(image, names, converter.name)
    for name, array in zip(names, arrays):
        if array.dtype != converter.dtype:
            raise ValueError(f"{converter.name} takes {converter.dtype} samples; {name} has dtype {array.dtype}")
    height, width = arrays[0].shape[:2]
    if converter.targets[0][1:3] != (1, 1):
        raise ValueError(f"{converter.name} has no full-resolution component")
    if width == 0 or height == 0:
        raise ValueError(f"image must not be empty, got shape {arrays[0].shape}")
    for name, array, shape in zip(names, arrays, _shapes(converter, width, height)):
        if array.shape != shape:
            raise ValueError(f"component {name!r} must have shape {shape} for a {width}x{height} image, "
                             f"not {array.shape}")
    return [numpy.ascontiguousarray(a) for a in arrays], width, height


def _value_error(converter, arrays, target: int, element: int) -> ValueError:
    """The value at `element` of output `target`, which its component cannot hold."""
    array = arrays[target]
    index = tuple(int(i) for i in numpy.unravel_index(element, array.shape))
    if converter.targets[0][0] is None:
        name, width, _ = converter.limits[index[2] if array.ndim == 3 else 0]
    else:
        name, width, _ = converter.limits[target]
    return ValueError(f"{converter.name}: component {name} holds {width} bits, "
                      f"but the value at {index[:2]} is {array[index]}")


def encode(image, format, *, stride=None, out=None):
    """Encode sample values, as `decode` returns them, into a buffer in `format`.

    Args:
        image: a numpy array ``(height, width)`` or ``(height, width,
            components)``, or a dict of 2-D arrays from component name (for
            sub-sampled formats, each at its own sampling); the dtype is the
            one `decode` gives.
        format: a pixel-format name, its 32-bit value or a PixelFormat.
        stride: bytes from the start of one line to the start of the next;
            each line is padded with zeros to that length.
        out: a writable C-contiguous buffer (bytearray, memoryview, numpy
            array, mmap) of at least the frame's bytes, which are written
            there, padding as zeros; bytes past the frame are left as they
            are. It must not share memory with `image`.

    Returns:
        `out`, or without it new bytes holding the frame.

    Raises:
        TypeError: an argument of the wrong type.
        ValueError: a wrong dtype or shape, a missing component, an `out`
            that is read-only or smaller than the frame (refused before
            anything is written; the message gives both byte counts), or a
            value that does not fit its component (the message says which;
            the frame's bytes of `out` are then all zero).
        NotImplementedError: a format whose layout is not defined.
    """
    converter = converter_of(_format(format))
    arrays, width, height = _arrays(image, converter)
    result = converter.plan.encode(tuple(arrays), width, height, stride, out)
    if isinstance(result, tuple):
        raise _value_error(converter, arrays, *result)
    return result
