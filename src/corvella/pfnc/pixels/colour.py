"""Pictures in RGB from image buffers of colour and grey pixel formats.

``to_rgb(data, format, width, height)`` gives an array ``(height, width, 3)``:

- Bayer mosaics are demosaiced, BiColor pairs completed from their neighbours;
- YCbCr and YUV at any sampling go through the matrix of their standard,
  chroma interpolated linearly between its co-sited samples;
- RGB-ordered formats are put in order, alpha (and the Y of YRGB) dropped;
- Mono and Raw give their grey value in all three channels, and a format of
  one colour (R8, G8, B8) that colour with the other two at zero.

The values keep the format's depth (a 12-bit format gives 12-bit values in
uint16) unless ``bits`` asks for 8 or 16, which maps full scale to full scale.
Components of different widths (RGB565) are each scaled to the depth of the
dtype that holds the widest: 8 bits for RGB565, 16 for YCbCr160808.
"""

import re
from typing import NamedTuple

import numpy

from . import _colour, _demosaic, _views
from ._layout import UNSIGNED, layout_of
from ._plans import converter_of, facts_of, format_of, recycled
from ..genicam.components import MosaicLocation, SamplingLocation

__all__ = ["to_rgb"]

METHODS = ("bilinear", "gradient")
MATRICES = {"601": (0.299, 0.114), "709": (0.2126, 0.0722), "2020": (0.2627, 0.0593)}
RANGES = ("full", "limited")
ORDERS = ("RGB", "BGR")
DEPTHS = (8, 16)

_STANDARD = re.compile(r"(?:YCbCr|YUV)(601|709|2020)?")
_NO_PICTURE = {"Coord3D": "3-D coordinates", "Data": "generic data", "Confidence": "confidence values"}


def _choice(value, name: str, allowed):
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if value not in allowed:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, allowed))}, not {value!r}")
    return value


def _depth(bits) -> int | None:
    if bits is None:
        return None
    if isinstance(bits, bool) or not isinstance(bits, int):
        raise TypeError(f"bits must be None, 8 or 16, not {type(bits).__name__}")
    if bits not in DEPTHS:
        raise ValueError(f"bits must be None, 8 or 16, not {bits!r}")
    return int(bits)


class _Facts(NamedTuple):
    """What to_rgb needs of a format's name, worked out once per format."""

    kind: str
    names: tuple[str, ...]
    location: object
    standard: str | None  # of a YCbCr or YUV name: "601", "709", "2020" or None
    byte_places: tuple | None  # of YCbCr whose samples are whole bytes: see _byte_places


def _facts(fmt) -> _Facts:
    return facts_of(fmt, _work_out_facts)


def _work_out_facts(fmt) -> _Facts:
    # PixelFormat.components is a fresh copy at every reading: read it once here, not per frame.
    components = fmt.components
    names, location = tuple(components.names), components.location
    kind = _kind(fmt, names, location)
    standard = location.standard if isinstance(location, SamplingLocation) else None
    places = None
    if kind == "ycbcr":
        if standard is None:
            named = _STANDARD.match(fmt.pieces()[0])
            standard = named and named.group(1)
        places = _byte_places(fmt, names)
    return _Facts(kind, names, location, standard, places)


def _kind(fmt, names, location) -> str:
    """What picture `fmt` holds: "bayer", "bicolor", "ycbcr", "rgb" or "single"; or an error saying why none."""
    field = fmt.pieces()[0]
    for prefix, holds in _NO_PICTURE.items():
        if field.startswith(prefix):
            raise ValueError(f"{fmt.name} holds {holds}, not a colour picture")
    if isinstance(location, MosaicLocation):
        if location.family in ("Bayer", "BiColor"):
            kind = location.family.lower()
        else:
            raise NotImplementedError(f"{fmt.name}: the colours of {location.family} mosaics are not settled here")
    elif set(names) in ({"Y", "Cb", "Cr"}, {"Y", "U", "V"}):
        kind = "ycbcr"
    elif {"R", "G", "B"} <= set(names) and set(names) <= {"R", "G", "B", "a", "Y"}:
        kind = "rgb"
    elif len(names) == 1 and names[0] in ("Mono", "Raw", "R", "G", "B"):
        kind = "single"
    else:
        raise NotImplementedError(f"{fmt.name}: turning {field} into RGB is not settled here")
    if any(t != "u" for t in fmt.channel_types):
        raise NotImplementedError(f"{fmt.name}: signed or floating-point samples have no settled colour scale")
    return kind


def _out_bits(widths, bits: int | None) -> int:
    """The depth of the picture: `bits`, or the samples' own, or for mixed widths their container's."""
    if bits is not None:
        return bits
    if len(set(widths)) == 1:
        return widths[0]
    return 8 if max(widths) <= 8 else 16


def _target(out, height: int, width: int, bits: int):
    """`out` checked, or a new array; and an array the kernels can write (out itself where it can be)."""
    dtype = numpy.dtype(numpy.uint8 if bits <= 8 else numpy.uint16)
    shape = (height, width, 3)
    if out is None:
        out = recycled(shape, dtype) if height * width >= 1 << 20 else numpy.empty(shape, dtype)
        return out, out
    if not isinstance(out, numpy.ndarray):
        raise TypeError(f"out must be a numpy array, not {type(out).__name__}")
    if out.shape != shape or out.dtype != dtype:
        raise ValueError(f"out must be a {dtype} array of shape {shape}, not {out.dtype} {out.shape}")
    if not out.flags.writeable:
        raise ValueError("out must be writable")
    side_by_side = out.strides[2] == dtype.itemsize and out.strides[1] == 3 * dtype.itemsize
    return out, out if side_by_side else numpy.empty(shape, dtype)


def to_rgb(data, format, width, height, *, stride=None, method="gradient", matrix=None, range=None, bits=None,
           order="RGB", out=None):
    """An RGB picture of a buffer of pixels in `format`: an array (height, width, 3).

    Args:
        data, format, width, height, stride: as `decode` takes them.
        method: demosaicing of Bayer and BiColor formats, "bilinear" or
            "gradient" (gradient-corrected linear interpolation).
        matrix: "601", "709" or "2020" for YCbCr and YUV; by default the
            name's standard, BT.601 where it gives none.
        range: "full" or "limited"; by default limited where the name gives a
            standard, full where it gives none.
        bits: None keeps the format's depth (uint8 up to 8 bits, uint16 up
            to 16); 8 or 16 scales full scale to full scale, with rounding.
        order: "RGB" or "BGR", the order of the channels.
        out: an array to write into and return, of the shape and dtype the
            call gives; nothing is written when it does not fit.

    Raises:
        TypeError: an argument of the wrong type.
        ValueError: a value that is not allowed, a size or buffer that does
            not fit the format, or a format that holds no colour picture
            (3-D coordinates, data, confidence).
        NotImplementedError: a format whose colours are not settled (sparse,
            polarisation and general mosaics, CIELAB, CIEXYZ, HSV, HSI, signed
            or floating-point samples) or that cannot be decoded.
    """
    fmt = format_of(format)
    method = _choice(method, "method", METHODS)
    if matrix is not None:
        _choice(matrix, "matrix", tuple(MATRICES))
    if range is not None:
        _choice(range, "range", RANGES)
    blue_first = _choice(order, "order", ORDERS) == "BGR"
    bits = _depth(bits)
    facts = _facts(fmt)
    kind = facts.kind
    converter = converter_of(fmt)
    if max(limit[1] for limit in converter.limits) > 16:
        raise NotImplementedError(f"{fmt.name}: pictures of components over 16 bits are not made here")
    if kind == "ycbcr":
        return _ycbcr(fmt, facts, converter, data, width, height, stride, matrix, range, bits, blue_first, out)
    samples = _samples(converter, fmt, data, width, height, stride, out)
    height, width = samples.shape[:2]
    widths = [limit[1] for limit in converter.limits]
    if kind in ("bayer", "bicolor"):
        return _demosaiced(facts, samples, widths[0], method, bits, blue_first, out)
    names = facts.names
    if names[0] in ("Mono", "Raw"):
        picks = [0, 0, 0]
    else:
        picks = [names.index(c) if c in names else -1 for c in ORDERS[blue_first]]
    used = [widths[p] if p >= 0 else widths[0] for p in picks]
    out_bits = _out_bits([widths[p] for p in picks if p >= 0], bits)
    out, target = _target(out, height, width, out_bits)
    image = samples.reshape(height, width, -1)
    _colour.channels(image, target, tuple(picks), tuple(used), out_bits)
    return _written(out, target)


def _samples(converter, fmt, data, width, height, stride, out):
    """The samples of `data`: an array over its own bytes where the layout allows one with the channels of
    a pixel side by side (no copy to make), else decoded into a new one, where decode's own checks speak."""
    recipe = converter.view
    if not isinstance(recipe, str):
        try:
            samples = _views.view(recipe, data, fmt, width, height, stride, converter.dtype, converter.targets[0][3])
        except (TypeError, ValueError, BufferError):
            pass
        else:
            side_by_side = samples.ndim == 2 or samples.strides[2] == samples.itemsize
            if side_by_side and (out is None or not numpy.may_share_memory(samples, out)):
                return samples
    return converter.plan.decode(data, width, height, stride, numpy.empty, recycled)


def _written(out, target):
    if target is not out:
        out[...] = target
    return out


def _demosaiced(facts, samples, width_bits, method, bits, blue_first, out):
    height, width = samples.shape[:2]
    out_bits = _out_bits([width_bits], bits)
    out, target = _target(out, height, width, out_bits)
    direct = out_bits == width_bits and target.dtype == samples.dtype
    picture = target if direct else numpy.empty((height, width, 3), samples.dtype)
    cells = facts.location.cells
    if facts.kind == "bayer":
        _demosaic.demosaic(samples, picture, "".join(cells), method, width_bits, blue_first)
    else:
        # The kernel takes the pixel's red or blue first, then its green.
        pairs = samples if facts.names[1] == "G" else numpy.ascontiguousarray(samples[..., ::-1])
        _demosaic.bicolor(pairs, picture, cells[0].replace("G", ""), method, width_bits, blue_first)
    if not direct:
        _colour.channels(picture, target, (0, 1, 2), (width_bits,) * 3, out_bits)
    return _written(out, target)


def _ycbcr(fmt, facts, converter, data, width, height, stride, matrix, range, bits, blue_first, out):
    standard = facts.standard
    matrix = matrix or standard or "601"
    limited = (range or ("limited" if standard else "full")) == "limited"
    widths = [limit[1] for limit in converter.limits]
    out_bits = _out_bits(widths, bits)
    planes = _byte_planes(facts.byte_places, data, width, height, stride)
    if planes is None:
        samples = converter.plan.decode(data, width, height, stride, numpy.empty, recycled)
        if isinstance(samples, dict):
            planes = [samples[name] for name in facts.names]
        else:
            planes = [samples[..., i] for i in (0, 1, 2)]
    # The sizes as plain ints, now that they are checked.
    height, width = planes[0].shape
    across = width // planes[1].shape[1]
    down = height // planes[1].shape[0]
    out, target = _target(out, height, width, out_bits)
    affine = _affine(*MATRICES[matrix], limited, widths[0], widths[1], out_bits, blue_first)
    _colour.ycbcr(tuple(planes), target, (across, down), affine)
    return _written(out, target)


def _affine(kr: float, kb: float, limited: bool, luma_bits: int, chroma_bits: int, bits: int, blue_first: bool):
    """Per output channel the factors of Y, Cb, Cr and a constant, in output steps; then the top value."""
    if limited:
        luma, luma_offset = 1 / (219 * 2 ** (luma_bits - 8)), -16 / 219
        chroma, chroma_offset = 1 / (224 * 2 ** (chroma_bits - 8)), -128 / 224
    else:
        luma, luma_offset = 1 / (2**luma_bits - 1), 0.0
        chroma, chroma_offset = 1 / (2**chroma_bits - 1), -(2 ** (chroma_bits - 1)) / (2**chroma_bits - 1)
    kg = 1 - kr - kb
    red, blue = 2 * (1 - kr), 2 * (1 - kb)
    green_cb, green_cr = -kb * blue / kg, -kr * red / kg
    top = float(2**bits - 1)
    rows = [
        (0.0, red),
        (green_cb, green_cr),
        (blue, 0.0),
    ]
    if blue_first:
        rows.reverse()
    affine = []
    for cb, cr in rows:
        affine += [top * luma, top * cb * chroma, top * cr * chroma, top * (luma_offset + (cb + cr) * chroma_offset)]
    return tuple(affine) + (top,)


def _byte_planes(where, data, width: int, height: int, stride):
    """Views of Y, Cb and Cr straight into `data` where every sample is a whole byte (`where` says how:
    see _byte_places); else None."""
    if where is None or type(width) is not int or type(height) is not int or width <= 0 or height <= 0:
        return None
    if stride is not None and (type(stride) is not int or stride <= 0):
        return None
    try:
        buffer = numpy.frombuffer(data, numpy.uint8)
    except (TypeError, ValueError, BufferError):
        return None
    views, offset = [None] * 3, 0
    for group_bytes, group_pixels, line_divisor, channels in where:
        if width % group_pixels or height % line_divisor:
            return None
        line = width // group_pixels * group_bytes
        step = line if stride is None else stride
        lines = height // line_divisor
        if step < line or offset + (lines - 1) * step + line > buffer.size:
            return None
        for channel, first, apart, across in channels:
            # In bounds, as checked above; read only by the kernel.
            views[channel] = numpy.ndarray((lines, width // across), numpy.uint8, buffer=buffer,
                                           offset=offset + first, strides=(step, apart))
        offset += lines * step
    return views


def _byte_places(fmt, names):
    """Per plane of `fmt`: its group's bytes and pixels, its line divisor, and where each of its channels
    (0 Y, 1 Cb, 2 Cr) lies: first byte, bytes apart, pixels per sample. None unless all are whole bytes."""
    try:
        layout = layout_of(fmt)
    except Exception:
        return None
    planes = []
    for plane in layout.planes:
        found = {}
        for s in plane.samples:
            field = s.fields[0]
            if len(s.fields) != 1 or field.bits != 8 or field.bit % 8 or field.shift or s.kind != UNSIGNED:
                return None
            name, across, _, components = layout.targets[s.target]
            channel = names.index(name) if name is not None else s.element % components
            found.setdefault(channel, []).append((s.element // components, field.bit // 8, across))
        channels = []
        for channel, places in found.items():
            places.sort()
            apart = plane.group_bytes // len(places)
            if any(at != places[0][1] + i * apart for i, (_, at, _) in enumerate(places)):
                return None
            channels.append((channel, places[0][1], apart, places[0][2]))
        planes.append((plane.group_bytes, plane.group_pixels, plane.line_divisor, tuple(channels)))
    return tuple(planes)
