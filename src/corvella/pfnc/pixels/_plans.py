"""Each format's conversion plan: built once from its layout, kept while it fits in a bounded cache.

The converter handles groups of at most so many samples and bytes; a format
beyond them is refused from the sizes its structure gives, before its layout
is built (a cluster of a hundred million samples would take gigabytes).
"""

import math
import operator
import sys
import threading
from dataclasses import dataclass

import numpy

from . import _convert as convert
from . import _layout, _views
from ..names import PixelFormat

__all__ = ["Converter", "build", "converter_of", "facts_of", "format_of", "recycled"]

# The cache's bounds: plans, and the bytes they take (refusals count their message).
MOST_PLANS = 512
MOST_BYTES = 32 << 20


@dataclass(frozen=True, slots=True)
class Converter:
    """What decode and encode need of a format: its plan and its outputs."""

    plan: convert.Plan
    name: str
    # (name, horizontal divisor, vertical divisor, components) per output, as the layout gives them.
    targets: tuple[tuple[str | None, int, int, int], ...]
    dtype: numpy.dtype
    limits: tuple[tuple[str, int, int], ...]
    # How decode(copy=False) reads the buffer in place, or why it cannot.
    view: _views.View | str = "no view was worked out"


def _beyond(count: int, what: str, most: int) -> str:
    return f"a group of {count} {what} is more than the {most} this converter handles"


def _too_large_to_lay_out(fmt) -> str | None:
    """Why the layout of `fmt` would be beyond the converter, from its structure alone; or None."""
    packing = fmt.packing
    if packing is None:
        return None
    # Every sample of a cluster is in one group; a group holds at least the bits a pixel is aligned or packed to.
    if packing.cluster > convert.MAX_GROUP_SAMPLES:
        return _beyond(packing.cluster, "samples", convert.MAX_GROUP_SAMPLES)
    if packing.bits is not None and -(-packing.bits // 8) > convert.MAX_GROUP_BYTES:
        return _beyond(-(-packing.bits // 8), "bytes", convert.MAX_GROUP_BYTES)
    return None


def _beyond_converter(layout: _layout.Layout) -> str | None:
    if len(layout.targets) > convert.MAX_OUTPUTS:
        return f"its {len(layout.targets)} outputs are more than the {convert.MAX_OUTPUTS} this converter handles"
    if len(layout.planes) > convert.MAX_PLANES:
        return f"its {len(layout.planes)} planes are more than the {convert.MAX_PLANES} this converter handles"
    for plane in layout.planes:
        if len(plane.samples) > convert.MAX_GROUP_SAMPLES:
            return _beyond(len(plane.samples), "samples", convert.MAX_GROUP_SAMPLES)
        if plane.group_bytes > convert.MAX_GROUP_BYTES:
            return _beyond(plane.group_bytes, "bytes", convert.MAX_GROUP_BYTES)
        fields = max(len(s.fields) for s in plane.samples)
        if fields > convert.MAX_FIELDS:
            return f"a sample of {fields} fields is more than the {convert.MAX_FIELDS} this converter handles"
    return None


def _description(layout: _layout.Layout, itemsize: int) -> list[int]:
    """The layout as the conversion module reads it: outputs, then planes with their samples and fields."""
    description = [len(layout.targets), len(layout.planes)]
    for _, across, down, components in layout.targets:
        description += [itemsize, across, down, components]
    for plane in layout.planes:
        partial = plane.partial_bytes or ()
        description += [plane.group_bytes, plane.group_pixels, plane.line_divisor, len(partial), *partial,
                        len(plane.samples)]
        for s in plane.samples:
            description += [s.target, s.element, plane.steps[s.target], s.pixel, s.width, s.kind, len(s.fields)]
            for f in s.fields:
                description += [f.bit, f.bits, f.shift]
    return description


def build(fmt, general: bool = False) -> Converter | str:
    """The converter of `fmt`, or why there is none; `general` keeps to the general loop."""
    why = _too_large_to_lay_out(fmt)
    if why is None:
        try:
            layout = _layout.layout_of(fmt)
        except _layout.Unsupported as error:
            why = str(error)
        else:
            why = _beyond_converter(layout)
    if why is not None:
        return f"{fmt.name} cannot be converted: {why}"
    dtype = numpy.dtype(layout.dtype)
    keys = None if layout.targets[0][0] is None else tuple(t[0] for t in layout.targets)
    plan = convert.plan(layout.name, _description(layout, dtype.itemsize), dtype, keys, general)
    return Converter(plan, layout.name, layout.targets, dtype, layout.limits, _views.view_of(layout, dtype))


# By the format object's identity, which the entry keeps alive: the names
# layer hands out the same object for a name while its reading stands, and a
# new one when it changes. Oldest first.
_kept: dict[int, tuple] = {}
_kept_bytes = 0
_keeping = threading.Lock()


def _size(entry: Converter | str) -> int:
    if isinstance(entry, str):
        return sys.getsizeof(entry)
    return sys.getsizeof(entry.plan) + sys.getsizeof(entry.targets) + sys.getsizeof(entry.limits)


def converter_of(fmt) -> Converter:
    """The converter of `fmt`, built once while the cache keeps it; NotImplementedError when there is none."""
    entry = _record(fmt)[1]
    if isinstance(entry, str):
        raise NotImplementedError(entry)
    return entry


def facts_of(fmt, work_out):
    """What work_out(fmt) gives, worked out once and kept beside the format's plan, for as long as it."""
    facts = _record(fmt)[3]
    found = facts.get(work_out)
    if found is None:
        found = facts[work_out] = work_out(fmt)
    return found


def _record(fmt) -> tuple:
    """The cache's record of `fmt`: (fmt, converter or refusal, its bytes, facts by who worked them out)."""
    found = _kept.get(id(fmt))
    if found is not None and found[0] is fmt:
        return found
    return _keep(fmt, build(fmt))


def _keep(fmt, entry: Converter | str) -> tuple:
    global _kept_bytes
    size = _size(entry)
    record = (fmt, entry, size, {})
    if size > MOST_BYTES:
        return record
    with _keeping:
        old = _kept.pop(id(fmt), None)
        if old is not None:
            _kept_bytes -= old[2]
        while _kept and (len(_kept) >= MOST_PLANS or _kept_bytes + size > MOST_BYTES):
            _kept_bytes -= _kept.pop(next(iter(_kept)))[2]
        _kept[id(fmt)] = record
        _kept_bytes += size
    return record


def kept() -> tuple[int, int]:
    """The plans the cache holds now, and their bytes."""
    return len(_kept), _kept_bytes


def format_of(format) -> PixelFormat:
    """The PixelFormat that `format` (a name, a 32-bit value or a PixelFormat) stands for."""
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


def recycled(shape, dtype):
    """An array whose memory comes from convert.block(), which recycles the memory of arrays that are gone:
    fresh pages cost more than the conversion that fills them."""
    return numpy.frombuffer(convert.block(dtype.itemsize * math.prod(shape)), dtype).reshape(shape)
