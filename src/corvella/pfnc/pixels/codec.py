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

import numpy

from ._plans import converter_of, format_of as _format, recycled as _recycled

__all__ = ["decode", "encode"]


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


def _arrays(image, converter) -> tuple[list, int, int]:
    """The arrays of `image` in output order, checked against the converter; and the image size."""
    if converter.targets[0][0] is None:
        if not isinstance(image, numpy.ndarray):
            raise TypeError(f"image must be a numpy array, not {type(image).__name__}")
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
        missing = [n for n in names if n not in image]
        if missing:
            raise ValueError(f"component {missing[0]!r} of {converter.name} is missing")
        unknown = [n for n in image if n not in names]
        if unknown:
            raise ValueError(f"{converter.name} has no component {unknown[0]!r}")
        arrays = [image[n] for n in names]
        for name, array in zip(names, arrays):
            if not isinstance(array, numpy.ndarray):
                raise TypeError(f"component {name!r} must be a numpy array, not {type(array).__name__}")
            if array.ndim != 2:
                raise ValueError(f"component {name!r} must be a 2-D array, not of shape {array.shape}")
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
    converter = converter_of(_format(format))
    arrays, width, height = _arrays(image, converter)
    result = converter.plan.encode(tuple(arrays), width, height, stride)
    if isinstance(result, tuple):
        raise _value_error(converter, arrays, *result)
    return result
