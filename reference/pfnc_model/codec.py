"""Plain reference decoder and encoder of pixel buffers, bit by bit.

The naming rules say, for every packing, where each bit of each sample sits
in memory. This model writes that down literally: ``placements`` gives, for
one stream of samples, the memory bit (byte * 8 + bit, bit 0 least
significant) that holds each bit of each sample. Decoding reads those bits,
encoding sets them, and every memory bit no sample owns is padding, written
as zero. It is slow on purpose and shares nothing with the package's codec,
so that a misreading in either one shows as a difference.

Terms: a *unit* is the run of samples the packing repeats (one pixel, a
cluster of N pixels, or the two or four pixels of a 4:2:2 or 4:1:1 group);
a *plane* is a run of units stored on its own; a *stream* is what the bits
run through without a break: a whole plane, or one line of it when a stride
is given.
"""

from __future__ import annotations

from dataclasses import dataclass
from math import gcd

import numpy as np

__all__ = ["Layout", "decode", "dtype_of", "encode", "layout_of", "line_bytes", "needed_bytes", "placements"]


@dataclass(frozen=True)
class Layout:
    """What the codec needs to know of a format, as the name reader gives it."""

    name: str
    channels: tuple[str, ...]            # the components field's order
    widths: tuple[int, ...]              # bits per channel
    types: tuple[str, ...]               # "u", "s" or "f" per channel
    sampling: tuple[tuple[int, int], ...]  # (horizontal, vertical) divisor per channel
    planes: tuple[tuple[int, ...], ...]  # per plane, the channel of each sample of one unit, memory order
    packing: str                         # "", "msb", "p", "pmsb", "g", "gmsb", "a", "Packed"
    unit_bits: int | None                # the <x> of p<x>, g<x>, a<x>


# --- reading the structure ---------------------------------------------------

def layout_of(fmt) -> Layout:
    """The ``Layout`` of a ``PixelFormat`` (or of a name, read by the package)."""
    if isinstance(fmt, Layout):
        return fmt
    if isinstance(fmt, (str, int)):
        from corvella.pfnc import PixelFormat
        fmt = PixelFormat.from_name(fmt) if isinstance(fmt, str) else PixelFormat.from_code(fmt)
    name = str(fmt.name)
    channels = tuple(fmt.components.names)
    widths = tuple(fmt.size.sizes)
    if len(widths) != len(channels):
        raise NotImplementedError(f"{name}: {len(channels)} components but {len(widths)} widths")
    sampling = tuple(tuple(s) for s in fmt.sampling)
    packing = fmt.packing
    kind = "" if packing is None else packing.kind.value
    cluster = 1 if packing is None else packing.cluster
    bits = None if packing is None else packing.bits
    if kind == "c":
        kind = ""
    if kind == "V1Packed":
        raise NotImplementedError(f"no public document gives the layout of {name}")
    index = {channel: i for i, channel in enumerate(channels)}
    spec = fmt.interface_specific
    spec_kind = type(spec).__name__
    if fmt.planes is not None:
        planes = tuple(tuple(index[c] for c in plane) for plane in fmt.planes)
    elif spec_kind == "Planar":
        planes = tuple((i,) for i in range(len(channels)))
    elif spec is not None and spec_kind != "SemiPlanar":
        planes = (tuple(index[c] for c in spec.components),)
    else:
        planes = (_default_order(name, sampling) * cluster,)
    layout = Layout(name, channels, widths, tuple(fmt.channel_types), sampling, planes, kind, bits)
    _check_defined(layout)
    return layout


def _default_order(name: str, sampling) -> tuple[int, ...]:
    horizontal = {h for h, v in sampling[1:]}
    if all(s == (1, 1) for s in sampling):
        return tuple(range(len(sampling)))
    if len(sampling) == 3 and sampling[0] == (1, 1) and sampling[1] == sampling[2]:
        if sampling[1] == (2, 1):
            return (0, 1, 0, 2)                # Y0 Cb0 Y1 Cr0
        if sampling[1] == (4, 1):
            return (0, 0, 1, 0, 0, 2)          # Y0 Y1 Cb0 Y2 Y3 Cr0
    raise NotImplementedError(f"{name}: no memory order for sampling {sorted(horizontal)} without a layout suffix")


def _check_defined(layout: Layout) -> None:
    name, kind = layout.name, layout.packing
    letters = set(layout.types)
    if len(letters) != 1 or not letters <= {"u", "s", "f"}:
        raise NotImplementedError(f"{name}: data types {layout.types} have no common array type")
    if "f" in letters:
        if kind or len(set(layout.widths)) != 1 or layout.widths[0] not in (32, 64):
            raise NotImplementedError(f"{name}: floats are 32 or 64 bits, all alike, unpacked")
    if any(w < 1 or w > 64 for w in layout.widths):
        raise NotImplementedError(f"{name}: widths {layout.widths}")
    if kind == "msb" and any(w % 8 == 0 for w in layout.widths):
        raise NotImplementedError(f"{name}: msb with a whole-byte width")
    if kind in ("g", "gmsb") and any(not 9 <= w <= 12 for w in layout.widths):
        raise NotImplementedError(f"{name}: grouping is for components of 9 to 12 bits")
    if kind == "Packed" and (len(layout.channels) != 1 or layout.widths[0] not in (10, 12)):
        raise NotImplementedError(f"{name}: the legacy Packed layout is given for 10 and 12 bits only")
    if layout.unit_bits is not None and (len(layout.planes) != 1 or _subsampled(layout)):
        raise NotImplementedError(f"{name}: bits per pixel given for a planar or sub-sampled layout")
    if layout.unit_bits is not None and layout.unit_bits < _unit_data_bits(layout, layout.planes[0]):
        raise NotImplementedError(f"{name}: {layout.unit_bits} bits cannot hold a pixel")
    if kind == "a" and layout.unit_bits % 8:
        raise NotImplementedError(f"{name}: alignment to {layout.unit_bits} bits is not whole bytes")
    if kind == "Packed" and layout.planes != ((0,),):
        raise NotImplementedError(f"{name}: the legacy Packed layout is for one sample per unit")


def _subsampled(layout: Layout) -> bool:
    return any(s != (1, 1) for s in layout.sampling)


def _container(width: int) -> int:
    """Bytes of the smallest whole container (1, 2, 4 or 8) holding ``width`` bits."""
    return next(c for c in (1, 2, 4, 8) if width <= 8 * c)


def _unit_data_bits(layout: Layout, unit: tuple[int, ...]) -> int:
    if layout.packing in ("", "msb", "a"):
        return sum(8 * _container(layout.widths[c]) for c in unit)
    return sum(layout.widths[c] for c in unit)


# --- where each bit goes -----------------------------------------------------

def placements(layout: Layout, unit: tuple[int, ...], units: int) -> tuple[int, list[list[int]]]:
    """The bytes one stream of ``units`` units takes, and for each sample the memory bit of each of its bits."""
    kind, x = layout.packing, layout.unit_bits
    widths = [layout.widths[c] for c in unit] * units
    per_unit = len(unit)
    bits: list[list[int]] = []
    if kind in ("", "msb", "a"):
        offset = 0                                  # in bytes
        for k, w in enumerate(widths):
            if kind == "a" and k % per_unit == 0 and k:
                offset = (k // per_unit) * x // 8
            size = _container(w)
            low = 8 * size - w if kind == "msb" else 0
            bits.append([8 * offset + low + i for i in range(w)])
            offset += size
        total = units * x // 8 if kind == "a" else offset
        return total, bits
    if kind in ("p", "pmsb"):
        unit_bits = x if x is not None else sum(widths[:per_unit])
        position = 0                                # in stream bits
        for k, w in enumerate(widths):
            if k % per_unit == 0:
                position = (k // per_unit) * unit_bits
            if kind == "p":                         # lsb first: stream bit t is bit t % 8 of byte t // 8
                bits.append([position + i for i in range(w)])
            else:                                   # msb first: stream bit t is bit 7 - t % 8 of byte t // 8
                bits.append([_msb_first(position + (w - 1 - i)) for i in range(w)])
            position += w
        return -(-units * unit_bits // 8), bits
    if kind in ("g", "gmsb", "Packed"):
        return _grouped(layout, unit, units)
    raise NotImplementedError(f"{layout.name}: packing {kind!r}")


def _msb_first(t: int) -> int:
    return 8 * (t // 8) + 7 - t % 8


def _grouped(layout: Layout, unit: tuple[int, ...], units: int) -> tuple[int, list[list[int]]]:
    """Groups: one byte of each sample in turn, then the rest of every sample gathered in the last byte(s)."""
    kind = layout.packing
    unit_widths = [layout.widths[c] for c in unit]
    if kind == "Packed":
        x, group = 12, 2
    else:
        x = layout.unit_bits if layout.unit_bits is not None else sum(unit_widths)
        group = 8 // gcd(x, 8)                       # fewest units that end on a byte
    if units % group:
        raise ValueError(f"{layout.name} packs {group} pixels a group; {units} pixels do not make whole groups")
    slot = x - 8 * len(unit)                         # bits of one unit in the gathered part
    group_bytes = group * x // 8
    bits: list[list[int]] = []
    for g in range(units // group):
        start = 8 * g * group_bytes
        if kind == "Packed":                         # P0 high, the gathered byte, P1 high
            whole_bytes = [0, 2]
            gathered = start + 8
        else:                                        # a whole byte of each sample in turn, then the rest
            whole_bytes = list(range(group * len(unit)))
            gathered = start + 8 * group * len(unit)
        sample = 0
        for u in range(group):
            position = gathered + u * slot
            for w in unit_widths:
                whole = start + 8 * whole_bytes[sample]
                rest = w - 8
                if kind == "gmsb":                   # low 8 bits whole, high bits gathered
                    sample_bits = [whole + i for i in range(8)] + [position + i for i in range(rest)]
                else:                                # high 8 bits whole, low bits gathered
                    sample_bits = [position + i for i in range(rest)] + [whole + i for i in range(8)]
                bits.append(sample_bits)
                position += rest
                sample += 1
    return units // group * group_bytes, bits


# --- planes, lines and streams -----------------------------------------------

@dataclass(frozen=True)
class _Plane:
    unit: tuple[int, ...]
    rows: int                # lines of the plane
    units_per_row: int | None  # None when the units run on from line to line
    units: int               # units in the whole plane


def _check_int(label: str, value) -> None:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{label} must be an int, not {type(value).__name__}")


def _planes(layout: Layout, width: int, height: int, lines_apart: bool) -> list[_Plane]:
    for label, value in (("width", width), ("height", height)):
        _check_int(label, value)
        if value <= 0:
            raise ValueError(f"{label} must be positive, not {value}")
    planes = []
    for unit in layout.planes:
        shapes = set()
        for c in set(unit):
            h, v = layout.sampling[c]
            if width % h or height % v:
                raise ValueError(f"{layout.name} needs a width divisible by {h} and a height by {v}, "
                                 f"not {width} x {height}")
            # a unit holds unit.count(c) samples of channel c, side by side on a line
            shapes.add((height // v, width // h, unit.count(c)))
        per_line = {(columns / count) for _, columns, count in shapes}
        rows = {rows for rows, _, _ in shapes}
        if len(rows) != 1 or len(per_line) != 1:
            raise NotImplementedError(f"{layout.name}: a plane mixes samplings")
        (rows,), (per_line,) = rows, per_line
        units = rows * per_line
        if units != int(units) or (lines_apart and per_line != int(per_line)):
            raise ValueError(f"{layout.name} packs {len(unit)} samples a unit; {width} x {height} pixels "
                             "do not make whole units" + (" on every line" if lines_apart else ""))
        planes.append(_Plane(unit, rows, int(per_line) if lines_apart else None, int(units)))
    return planes


def _streams(layout: Layout, width: int, height: int, stride: int | None):
    """(plane, first unit, units, byte offset) of every stream; the bytes the image needs (its last line
    ends the buffer) and the bytes of whole lines (every line ``stride`` long), as ``encode`` writes."""
    if stride is not None:
        _check_int("stride", stride)
    planes = _planes(layout, width, height, stride is not None)
    streams = []
    offset = end = 0
    for plane in planes:
        if stride is None:
            size, _ = placements(layout, plane.unit, plane.units)
            streams.append((plane, 0, plane.units, offset))
            offset = end = offset + size
            continue
        line_bytes, _ = placements(layout, plane.unit, plane.units_per_row)
        if stride < line_bytes:
            raise ValueError(f"stride {stride} is shorter than a line of {line_bytes} bytes")
        for r in range(plane.rows):
            streams.append((plane, r * plane.units_per_row, plane.units_per_row, offset + r * stride))
        end = offset + (plane.rows - 1) * stride + line_bytes
        offset += plane.rows * stride
    return streams, end, offset


def line_bytes(fmt, width: int) -> int:
    """The bytes of the longest line of any plane, when lines are apart (the least stride)."""
    layout = layout_of(fmt)
    height = max(v for _, v in layout.sampling)
    return max(placements(layout, p.unit, p.units_per_row)[0] for p in _planes(layout, width, height, True))


def needed_bytes(fmt, width: int, height: int, *, stride: int | None = None) -> int:
    """The bytes an image of this size takes: the last line ends the buffer."""
    return _streams(layout_of(fmt), width, height, stride)[1]


# --- values --------------------------------------------------------------------

def dtype_of(layout: Layout) -> np.dtype:
    letter, widest = layout.types[0], max(layout.widths)
    if letter == "f":
        return np.dtype(np.float64 if widest > 32 else np.float32)
    size = _container(widest)
    return np.dtype(f"{'u' if letter == 'u' else 'i'}{size}")


def _to_bits(value, width: int, letter: str) -> int:
    """The bits of a sample; floats come as their bits already (see ``_bit_view``)."""
    value = int(value)
    if letter == "f":
        return value
    if letter == "u":
        low, high = 0, 1 << width
    else:
        low, high = -(1 << (width - 1)), 1 << (width - 1)
    if not low <= value < high:
        raise ValueError(f"{value} does not fit a {width}-bit component")
    return value & ((1 << width) - 1)


def _from_bits(bits: int, width: int, letter: str):
    if letter == "s" and bits >> (width - 1):
        return bits - (1 << width)
    return bits


def _bit_view(array: np.ndarray) -> np.ndarray:
    """Floats as the unsigned ints of their bits, so that every NaN keeps its payload."""
    return array.view(f"u{array.itemsize}") if array.dtype.kind == "f" else array


def _grids(layout: Layout, width: int, height: int) -> list[tuple[int, int]]:
    return [(height // v, width // h) for h, v in layout.sampling]


def _samples(plane: _Plane, first: int, units: int):
    """(channel, flat index in that channel's grid) of each sample of a stream, in memory order."""
    seen = {}
    result = []
    for u in range(first, first + units):
        seen.clear()
        for c in plane.unit:
            k = seen.get(c, 0)
            seen[c] = k + 1
            result.append((c, u * plane.unit.count(c) + k))
    return result


# --- decode and encode -----------------------------------------------------------

def _buffer(data) -> bytes:
    view = memoryview(data)
    if not view.c_contiguous:
        raise ValueError("data must be C-contiguous")
    return view.tobytes()


def decode(data, fmt, width: int, height: int, *, stride: int | None = None):
    """The sample values of the image in ``data``: an array, or a dict of arrays for sub-sampled formats."""
    layout = layout_of(fmt)
    raw = _buffer(data)
    streams, needed, _ = _streams(layout, width, height, stride)
    if len(raw) < needed:
        raise ValueError(f"{layout.name} at {width} x {height} needs {needed} bytes, got {len(raw)}")
    dtype = dtype_of(layout)
    grids = [np.zeros(shape, dtype=dtype) for shape in _grids(layout, width, height)]
    flat = [_bit_view(g.reshape(-1)) for g in grids]
    for plane, first, units, offset in streams:
        _, bits = placements(layout, plane.unit, units)
        for (c, index), sample_bits in zip(_samples(plane, first, units), bits):
            value = 0
            for i, b in enumerate(sample_bits):
                value |= ((raw[offset + b // 8] >> (b % 8)) & 1) << i
            flat[c][index] = _from_bits(value, layout.widths[c], layout.types[c])
    return _result(layout, grids)


def _result(layout: Layout, grids):
    if _subsampled(layout):
        return dict(zip(layout.channels, grids))
    if len(grids) == 1:
        return grids[0]
    return np.stack(grids, axis=-1)


def _channel_grids(layout: Layout, image) -> tuple[list[np.ndarray], int, int]:
    """The image split into one 2-D array per channel, checked; and its width and height."""
    dtype = dtype_of(layout)
    if _subsampled(layout):
        if not isinstance(image, dict):
            raise ValueError(f"{layout.name} takes a dict of arrays, not {type(image).__name__}")
        missing = [c for c in layout.channels if c not in image]
        extra = [k for k in image if k not in layout.channels]
        if missing or extra:
            raise ValueError(f"{layout.name} takes components {list(layout.channels)}: "
                             f"missing {missing}, unknown {extra}")
        grids = [np.asarray(image[c]) for c in layout.channels]
        height, width = grids[0].shape if grids[0].ndim == 2 else (0, 0)
        expected = _grids(layout, width, height) if width and height else None
        for c, grid in zip(layout.channels, grids):
            if expected is None or grid.shape != expected[layout.channels.index(c)]:
                raise ValueError(f"{layout.name}: component {c} has shape {grid.shape}")
    else:
        array = np.asarray(image) if not isinstance(image, dict) else None
        n = len(layout.channels)
        if array is None or array.ndim != (2 if n == 1 else 3) or (n > 1 and array.shape[2] != n):
            raise ValueError(f"{layout.name} takes an array of shape (height, width{'' if n == 1 else f', {n}'})")
        height, width = array.shape[:2]
        grids = [array] if n == 1 else [array[:, :, c] for c in range(n)]
    for grid in grids:
        if grid.dtype != dtype:
            raise ValueError(f"{layout.name} takes {dtype} arrays, not {grid.dtype}")
    return grids, width, height


def encode(image, fmt, *, stride: int | None = None) -> bytes:
    """The buffer holding ``image`` (what ``decode`` returns) in the format; padding is zero.

    With a stride every line is ``stride`` bytes, the last one too, as a device sends a frame.
    """
    layout = layout_of(fmt)
    grids, width, height = _channel_grids(layout, image)
    if width == 0 or height == 0:
        raise ValueError(f"{layout.name}: an empty image")
    streams, _, whole_lines = _streams(layout, width, height, stride)
    flat = [_bit_view(np.ascontiguousarray(g).reshape(-1)) for g in grids]
    out = bytearray(whole_lines)
    for plane, first, units, offset in streams:
        _, bits = placements(layout, plane.unit, units)
        for (c, index), sample_bits in zip(_samples(plane, first, units), bits):
            value = _to_bits(flat[c][index], layout.widths[c], layout.types[c])
            for i, b in enumerate(sample_bits):
                if value >> i & 1:
                    out[offset + b // 8] |= 1 << (b % 8)
    return bytes(out)
