"""Which formats numpy can read in place, worked out once per format, and the arrays that do so.

A format reads in place when its buffer is a plain strided array of its
samples: each a whole element of the output's type, at a byte offset that
grows by the same step from pixel to pixel and from component to component.
Mono8, RGB8, Mono16, Coord3D_ABC32f and RGB8_Planar are; Mono12p (samples
across bytes) and Mono10 (six bits of padding a view would show) are not.
"""

import operator
import sys
from dataclasses import dataclass

import numpy

from ._layout import Layout

__all__ = ["View", "view", "view_of"]


@dataclass(frozen=True, slots=True)
class View:
    """Where the samples of a format that reads in place lie, for any image size."""

    pixel_bytes: int  # from one pixel to the next along a line
    first_plane: int  # the plane of component 0
    first_byte: int  # its byte in the pixel
    component_bytes: int  # from one component to the next in a pixel (0: each in a plane of its own)
    component_planes: int  # planes from one component to the next (0: all in one)


def _places(layout: Layout, item_bits: int, components: int) -> tuple[int, list[tuple[int, int]]] | str:
    """Bytes from pixel to pixel and, per component, its (plane, byte in the pixel); or why there are none."""
    pixel_bytes = None
    places: dict[int, tuple[int, int]] = {}
    for n, plane in enumerate(layout.planes):
        width = plane.samples[0].width
        if plane.group_bytes * 8 < len(plane.samples) * item_bits:
            return f"its {width}-bit samples are packed across bytes"
        if any(s.width != item_bits for s in plane.samples):
            return f"its {width}-bit samples sit in {item_bits}-bit elements whose other bits a view would show"
        if plane.group_bytes % plane.group_pixels or pixel_bytes not in (None, plane.group_bytes // plane.group_pixels):
            return "its pixels are not evenly spaced"
        pixel_bytes = plane.group_bytes // plane.group_pixels
        for sample in plane.samples:
            field = sample.fields[0]
            place = (n, field.bit // 8 - sample.pixel * pixel_bytes)
            if len(sample.fields) != 1 or field.bit % 8 or places.setdefault(sample.element % components, place) != place:
                return "its pixels are not evenly spaced"
    assert pixel_bytes is not None
    return pixel_bytes, [places[c] for c in range(components)]


def view_of(layout: Layout, dtype: numpy.dtype) -> View | str:
    """How the format of `layout` reads in place, or why it cannot."""
    name, _, _, components = layout.targets[0]
    if name is not None:
        return "its components are sampled at different resolutions"
    if dtype.itemsize > 1 and sys.byteorder != "little":
        return "its samples are little-endian and this machine is not"
    found = _places(layout, dtype.itemsize * 8, components)
    if isinstance(found, str):
        return found
    pixel_bytes, places = found
    (plane, byte), last = places[0], places[-1]
    steps = (last[0] - plane) // max(components - 1, 1), (last[1] - byte) // max(components - 1, 1)
    if any(place != (plane + c * steps[0], byte + c * steps[1]) for c, place in enumerate(places)):
        return "its components are not evenly spaced"
    return View(pixel_bytes, plane, byte, steps[1], steps[0])


def view(recipe: View, data, fmt, width: int, height: int, stride: int | None, dtype: numpy.dtype,
         components: int) -> numpy.ndarray:
    """The samples of `data` as an array that shares its memory; ValueError where it cannot."""
    size = fmt.buffer_size(width, height, stride=stride)  # every check decode makes of the sizes
    width, height = operator.index(width), operator.index(height)
    stride = None if stride is None else operator.index(stride)
    if stride is not None and stride % dtype.itemsize:
        raise ValueError(f"{fmt.name} cannot be decoded without a copy: stride {stride} is not a multiple of its "
                         f"{dtype.itemsize}-byte samples")
    source = memoryview(data)
    if not source.c_contiguous:
        raise ValueError("data must be C-contiguous")
    raw = numpy.frombuffer(source, numpy.uint8) if source.nbytes else numpy.empty(0, numpy.uint8)
    line = width * recipe.pixel_bytes
    # Strided, the last line of the last plane needs only its pixels.
    needed = size if stride is None else size - stride + line
    if raw.size < needed:
        raise ValueError(f"data is too short: {width}x{height} pixels of {fmt.name} need {needed} bytes, "
                         f"{raw.size} given")
    line = line if stride is None else stride
    plane_bytes = height * line
    shape: tuple[int, ...] = (height, width)
    strides: tuple[int, ...] = (line, recipe.pixel_bytes)
    if components > 1:
        shape += (components,)
        strides += (recipe.component_bytes + recipe.component_planes * plane_bytes,)
    image = numpy.ndarray(shape, dtype, buffer=raw, offset=recipe.first_plane * plane_bytes + recipe.first_byte,
                          strides=strides)
    if not image.flags.aligned:
        raise ValueError(f"{fmt.name} cannot be decoded without a copy: its samples in this buffer are not aligned "
                         f"to {dtype.alignment} bytes")
    return image
