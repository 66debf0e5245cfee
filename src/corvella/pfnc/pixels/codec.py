"""Decode image buffers of any pixel format into numpy arrays, and encode them back.

``decode(data, format, width, height)`` gives the sample values, unpacked, as
one array:

- one sample per pixel (mono, raw, mosaics, clusters): ``(height, width)``;
- several components on every pixel: ``(height, width, components)``, in the
  order of the name's components field, whatever the order in memory.

``decode_planes`` gives a dict from component name to a 2-D array at that
component's own sampling (``Cb`` is ``(height, width // 2)`` for 4:2:2): the
only form sub-sampled formats have. A reader of a stream of frames can skip
the new array: ``copy=False`` gives an array over the buffer's own bytes where
the layout allows, ``out=`` fills the caller's; ``PixelFormat.buffer_size``
gives the bytes a frame takes.

The element type is the smallest unsigned (``u``), signed (``s``) or
floating-point (``f``) type that holds every component. ``encode(image,
format)`` takes what ``decode`` or ``decode_planes`` returns and gives the
buffer back as bytes, or writes it into ``out=``.

Without a stride, the pixel stream runs on from one line to the next, so a
packed group may straddle two lines, and planes follow one another directly.
With ``stride=N`` every line (of every plane) starts N bytes after the one
before; ``encode`` then pads each line with zeros to N bytes.
"""

import numpy

from . import _views
from ._plans import converter_of, format_of as _format, recycled as _recycled

__all__ = ["decode", "decode_planes", "encode"]


def _shapes(converter, width: int, height: int) -> list[tuple[int, ...]]:
    shapes = []
    for name, across, down, components in converter.targets:
        if width % across or height % down:
            raise ValueError(f"{converter.name} samples {name} once every {across}x{down} pixels: "
                             f"{width}x{height} is not a multiple")
        shape = (height // down, width // across)
        shapes.append(shape + (components,) if components > 1 else shape)
    return shapes


def decode(data, format, width, height, *, stride=None, copy=True, out=None):
    """Decode a buffer of pixels in `format` into one numpy array of sample values.

    Args:
        data: any C-contiguous object with the buffer protocol (bytes,
            bytearray, memoryview, mmap, a numpy array). Bytes past the image
            are ignored.
        format: a pixel-format name, its 32-bit value or a PixelFormat.
        width, height: the image size in pixels.
        stride: bytes from the start of one line to the start of the next;
            None when lines follow one another without padding.
        copy: False for an array that shares memory with `data` (writable
            when `data` is), where the buffer is a plain strided array of
            whole, aligned, little-endian samples: Mono8, Mono16, RGB8,
            BayerRG8, Coord3D_ABC32f, RGB8_Planar and the like.
        out: an array to decode into, C-contiguous and writable, of the
            shape and dtype decode would return; it is returned.

    Returns:
        An array ``(height, width)`` for one sample per pixel, ``(height,
        width, components)`` for several.

    Raises:
        TypeError: an argument of the wrong type.
        ValueError: sizes that are not positive or that the format's groups
            cannot divide, a stride shorter than a line, data shorter than
            the image (the message gives both byte counts); a sub-sampled
            format (`decode_planes` and `to_rgb` take those); with
            ``copy=False``, a format or buffer that cannot be read in place
            (the message says why), or an `out` as well; an `out` of the
            wrong shape or dtype, read-only, not C-contiguous or sharing
            memory with `data` (nothing is written then).
        NotImplementedError: a format whose layout is not defined.
    """
    fmt = _format(format)
    converter = converter_of(fmt)
    if converter.targets[0][0] is not None:
        raise ValueError(f"{converter.name} samples its components at different resolutions, which one array "
                         "cannot hold: decode_planes gives each at its own, to_rgb gives RGB")
    if not _flag(copy, "copy"):
        if out is not None:
            raise ValueError("copy=False shares the memory of data, out= copies into out: give one or the other")
        recipe = converter.view
        if isinstance(recipe, str):
            raise ValueError(f"{converter.name} cannot be decoded without a copy: {recipe}")
        return _views.view(recipe, data, fmt, width, height, stride, converter.dtype, converter.targets[0][3])
    if out is None:
        return converter.plan.decode(data, width, height, stride, numpy.empty, _recycled)
    allocate = _into(data, [(_array(out, "out"), "out")])
    return converter.plan.decode(data, width, height, stride, allocate, allocate)


def decode_planes(data, format, width, height, *, stride=None, out=None):
    """Decode a buffer of pixels in `format` into a 2-D array per component.

    The keys are the components field's names in its order: "R", "G", "B"
    for RGB8, "Y", "Cb", "Cr" for YCbCr422_8; a single component has the
    field's own name ("Mono" for Mono8 and its clusters, "BayerRG" for
    BayerRG12p, "Data" for Data16). BiColor formats keep the field's two
    names ("R" and "G" for BiColorRGBG8), the first holding the colour that
    alternates from pixel to pixel. A field that names a component twice has
    no layout (NotImplementedError), so keys never repeat.

    Args:
        data, format, width, height, stride: as for `decode`.
        out: a dict of arrays by component, writable, of the shapes and
            dtype the result would have; it is filled and returned.

    Returns:
        A dict from component name to an array at that component's sampling
        (``Cb`` is ``(height, width // 2)`` for 4:2:2). Where every component
        has a sample on every pixel, the arrays are views of one interleaved
        ``(height, width, components)`` image.

    Raises:
        TypeError: an argument of the wrong type.
        ValueError: as for `decode`; an `out` whose keys, shapes or dtypes
            differ from the result's, that is read-only, or that is not
            C-contiguous or shares memory with `data` where it is decoded
            into directly (one component, or sub-sampled); nothing is
            written then.
        NotImplementedError: a format whose layout is not defined.
    """
    converter = converter_of(_format(format))
    names = tuple(limit[0] for limit in converter.limits)
    interleaved = converter.targets[0][0] is None
    if out is None:
        image = converter.plan.decode(data, width, height, stride, numpy.empty, _recycled)
        return _by_component(image, names) if interleaved else image
    if not isinstance(out, dict):
        raise TypeError(f"out must be a dict of numpy arrays by component, not {type(out).__name__}")
    if out.keys() != set(names):
        raise ValueError(f"out must have the keys {list(names)} of {converter.name}, not {list(out)}")
    arrays = {n: (_array(out[n], f"out[{n!r}]"), f"out[{n!r}]") for n in names}
    if not interleaved or len(names) == 1:
        # Straight into the caller's arrays, in the plan's order of outputs.
        allocate = _into(data, [arrays[name if name is not None else names[0]] for name, *_ in converter.targets])
        converter.plan.decode(data, width, height, stride, allocate, allocate)
        return out
    planes = _by_component(converter.plan.decode(data, width, height, stride, numpy.empty, _recycled), names)
    for name, plane in planes.items():
        _check_out(*arrays[name], plane.shape, plane.dtype, contiguous=False)
    for name, plane in planes.items():
        numpy.copyto(arrays[name][0], plane)
    return out


def _decoded(data, format, width, height, stride=None):
    """What encode takes back: the array of `decode`, or for sub-sampled formats the dict of `decode_planes`."""
    return converter_of(_format(format)).plan.decode(data, width, height, stride, numpy.empty, _recycled)


def _by_component(image: numpy.ndarray, names: tuple[str, ...]) -> dict:
    """The components of an interleaved image, each a 2-D view."""
    return {names[0]: image} if image.ndim == 2 else {n: image[..., c] for c, n in enumerate(names)}


def _flag(value, what: str) -> bool:
    if isinstance(value, (bool, numpy.bool_)):
        return bool(value)
    raise TypeError(f"{what} must be True or False, not {type(value).__name__}")


def _array(value, what: str) -> numpy.ndarray:
    if not isinstance(value, numpy.ndarray):
        raise TypeError(f"{what} must be a numpy array, not {type(value).__name__}")
    return value


def _check_out(array: numpy.ndarray, what: str, shape, dtype, contiguous: bool = True) -> None:
    if array.shape != tuple(shape) or array.dtype != dtype:
        raise ValueError(f"{what} must be an array of shape {tuple(shape)} and dtype {dtype}, "
                         f"not {array.shape} {array.dtype}")
    if not array.flags.writeable:
        raise ValueError(f"{what} is read-only")
    if contiguous and not array.flags.c_contiguous:
        raise ValueError(f"{what} must be C-contiguous")


def _into(data, outputs: list[tuple[numpy.ndarray, str]]):
    """An allocator for the plan that hands out the caller's arrays (with their names for messages) in order.

    The plan asks for every output before it writes any, so a refusal leaves them all untouched.
    """
    order = iter(outputs)

    def allocate(shape, dtype):
        array, what = next(order)
        _check_out(array, what, shape, dtype)
        if numpy.may_share_memory(array, numpy.frombuffer(data, numpy.uint8)):
            raise ValueError(f"{what} shares memory with data")
        return array

    return allocate


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
    if len(planes) == 1:
        return planes[0]
    whole = _side_by_side(planes)
    return whole if whole is not None else numpy.stack(planes, axis=-1)


def _side_by_side(planes: list) -> numpy.ndarray | None:
    """The one array of which `planes` are the views along its last axis, as decode_planes gives them; or None.

    It reads only the elements of the planes, which the caller holds."""
    first = planes[0]
    size = first.itemsize
    start = first.__array_interface__["data"][0]
    strides = (first.shape[1] * len(planes) * size, len(planes) * size)
    for c, plane in enumerate(planes):
        if plane.strides != strides or plane.__array_interface__["data"][0] != start + c * size:
            return None
    return numpy.lib.stride_tricks.as_strided(first, (*first.shape, len(planes)), (*strides, size), writeable=False)


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
            components)`` as `decode` gives it, or a dict of 2-D arrays by
            component name as `decode_planes` gives it (each at its own
            sampling; views of one interleaved array are read in place).
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
