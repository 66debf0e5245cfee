"""Where every bit of a pixel format sits in memory, read from the format's structure.

A layout is a list of planes in memory order. Each plane repeats one group of
bytes that covers a fixed number of pixels of a line; every sample of the
group names the output it goes to, its place there, and its bits as fields of
the group's little-endian bit stream (bit n is bit n % 8 of byte n // 8).
Formats whose bits run the other way (``pmsb``, grouped, the legacy
``Packed``) simply split a sample into several fields. The conversion module
interprets that description; nothing here depends on a particular name.
"""

from dataclasses import dataclass
from fractions import Fraction
from math import gcd

from ..genicam.layouts import ComponentsSequencing, Planar, SemiPlanar
from ..names import PackingKind
from ..names._memory import GROUPED_WIDTHS, LEGACY_PACKED_WIDTHS, aligned_fits, container_bits, memory_order

__all__ = ["Field", "Layout", "Plane", "Sample", "layout_of"]

# The kinds of a sample's value, as the conversion module numbers them.
UNSIGNED, SIGNED, FLOAT = 0, 1, 2
_KINDS = {"u": UNSIGNED, "s": SIGNED, "f": FLOAT}


@dataclass(frozen=True)
class Field:
    """``bits`` bits from stream bit ``bit`` of the group, worth ``value >> shift``."""

    bit: int
    bits: int
    shift: int


@dataclass(frozen=True)
class Sample:
    """One component value of a group: output ``target``, element ``element`` of the group's block there."""

    target: int
    element: int
    pixel: int  # the first pixel of the group it belongs to
    width: int
    kind: int
    fields: tuple[Field, ...]


@dataclass(frozen=True)
class Plane:
    group_bytes: int
    group_pixels: int
    line_divisor: int  # 2 for 4:2:0 chroma: one line of samples for two of pixels
    samples: tuple[Sample, ...]
    steps: tuple[int, ...]  # per target, elements one group fills
    # Bytes that the first k pixels of a group need, k = 1..group_pixels - 1,
    # for a stream whose last group may stop early; None when it may not.
    partial_bytes: tuple[int, ...] | None


@dataclass(frozen=True)
class Layout:
    name: str
    planes: tuple[Plane, ...]
    # (name, horizontal divisor, vertical divisor, components) per output;
    # name None for the one array of a format with a sample per channel per pixel.
    targets: tuple[tuple[str | None, int, int, int], ...]
    dtype: str  # numpy's name for the element type of every output
    limits: tuple[tuple[str, int, int], ...]  # per channel: name, width, kind


class Unsupported(Exception):
    """No layout for this format; the message says why."""


def _container_bits(width: int) -> int:
    bits = container_bits(width)
    if bits is None:
        raise Unsupported(f"components of {width} bits do not fit a 64-bit word")
    return bits


def _msb_fields(position: int, width: int) -> tuple[Field, ...]:
    """A value at `position` of a stream that fills each byte from bit 7 down."""
    fields = []
    done = 0
    while done < width:
        at = position + done
        byte, high = divmod(at, 8)
        bits = min(width - done, 8 - high)
        low = 7 - high - bits + 1
        fields.append(Field(byte * 8 + low, bits, width - done - bits))
        done += bits
    return tuple(fields)


def _place(widths: list[int], packing, pixels: int) -> tuple[list[tuple[Field, ...]], int, int]:
    """The fields of every sample of a group, its size in bits and its count of macro-pixels.

    `widths` are the samples of one macro-pixel, which counts as `pixels`
    pixels for an alignment (1 for a cluster); a group repeats it until it
    ends on a byte.
    """
    kind = packing.kind if packing is not None else None
    x = packing.bits if packing is not None else None
    if kind is PackingKind.LEGACY_PACKED:
        return _legacy_packed(widths)
    if kind in (PackingKind.GROUPED, PackingKind.GROUPED_MSB):
        return _grouped(widths, x, kind is PackingKind.GROUPED_MSB)
    if kind in (None, PackingKind.MSB_UNPACKED, PackingKind.ALIGNED, PackingKind.CLUSTER):
        fields, at = [], 0
        for width in widths:
            container = _container_bits(width)
            low = container - width if kind is PackingKind.MSB_UNPACKED else 0
            fields.append((Field(at + low, width, 0),))
            at += container
        if kind is PackingKind.ALIGNED:
            # a<x> counts bits per pixel, or per cluster.
            if x is None or not aligned_fits(x * pixels, Fraction(at)):
                raise Unsupported(f"alignment to {x} bits cannot hold {at} bits of data")
            at = x * pixels
        return fields, at, 1
    if kind not in (PackingKind.PACKED, PackingKind.PACKED_MSB):
        raise Unsupported(f"the {packing.designation()} packing has no layout")
    starts = [sum(widths[:i]) for i in range(len(widths))]
    total = sum(widths)
    if x is not None:
        if x < total:
            raise Unsupported(f"{x} bits cannot hold {total} bits of data")
        total = x
    count = 8 // gcd(total, 8)
    fields = []
    for m in range(count):
        for s, w in zip(starts, widths):
            at = m * total + s
            fields.append((Field(at, w, 0),) if kind is PackingKind.PACKED else _msb_fields(at, w))
    return fields, total * count, count


def _grouped(widths: list[int], x: int | None, msb: bool) -> tuple[list[tuple[Field, ...]], int, int]:
    """Whole bytes of each component first, then each macro-pixel's remaining bits in a slot of its own."""
    if any(w not in GROUPED_WIDTHS for w in widths):
        raise Unsupported(f"grouping needs components of {GROUPED_WIDTHS[0]} to {GROUPED_WIDTHS[-1]} bits")
    total = x if x is not None else sum(widths)
    slot = total - 8 * len(widths)
    if slot < sum(w - 8 for w in widths):
        raise Unsupported(f"grouping to {total} bits cannot hold the data")
    count = 8 // gcd(total, 8)
    # The group is laid out here whole, as count macro-pixels of fields.
    fields = []
    slots_start = 8 * len(widths) * count
    for m in range(count):
        at = slots_start + m * slot
        for i, width in enumerate(widths):
            byte = 8 * (m * len(widths) + i)
            rest = width - 8
            if msb:
                fields.append((Field(byte, 8, 0), Field(at, rest, 8)))
            else:
                fields.append((Field(byte, 8, rest), Field(at, rest, 0)))
            at += rest
    return fields, total * count, count


def _legacy_packed(widths: list[int]) -> tuple[list[tuple[Field, ...]], int, int]:
    """Two pixels in three bytes: the high 8 bits of each in bytes 0 and 2, the rest in nibbles of byte 1."""
    if len(widths) != 1 or widths[0] not in LEGACY_PACKED_WIDTHS:
        raise Unsupported("the legacy Packed layout is defined for one component of 10 or 12 bits")
    rest = widths[0] - 8
    fields = [(Field(0, 8, rest), Field(8, rest, 0)), (Field(16, 8, rest), Field(12, rest, 0))]
    return fields, 24, 2


def _sequence(fmt, names: tuple[str, ...], sampling) -> list[tuple[str, ...]]:
    """Component names of each plane's macro-pixel, in memory order."""
    specific = fmt.interface_specific
    subsampled = any(s != (1, 1) for s in sampling)
    if isinstance(specific, Planar):
        if subsampled:
            raise Unsupported("planar sub-sampled layouts are not defined")
        return [(n,) for n in names]
    if isinstance(specific, SemiPlanar):
        return [tuple(p) for p in fmt.planes]
    if isinstance(specific, ComponentsSequencing):
        return [tuple(specific.components)]
    if specific is not None:
        raise Unsupported(f"the _{specific.designation()} interface layout has no defined order")
    if any(v != 1 for _, v in sampling):
        raise Unsupported("4:2:0 is laid out only as _Semiplanar")
    return [memory_order(fmt.components)]


def _dtype(widths: list[int], kinds: list[str]) -> str:
    if len(set(kinds)) != 1:
        raise Unsupported("components of different data types")
    kind, widest = kinds[0], max(widths)
    if kind == "f":
        if set(widths) == {32}:
            return "float32"
        if set(widths) == {64}:
            return "float64"
        raise Unsupported("floating-point components must all be 32 or all 64 bits")
    if kind not in ("u", "s"):
        raise Unsupported(f"components of data type {kind!r}")
    return ("uint" if kind == "u" else "int") + str(_container_bits(widest))


def layout_of(fmt) -> Layout:
    """The layout of `fmt`; raises Unsupported where none is defined or built."""
    packing = fmt.packing
    if packing is not None and packing.kind is PackingKind.LEGACY_V1_PACKED:
        raise Unsupported("no public document gives the order of its bits")
    names = tuple(fmt.components.names)
    widths = list(fmt.size.sizes)
    kinds = list(fmt.channel_types)
    sampling = tuple(fmt.sampling)
    if not (len(names) == len(widths) == len(kinds) == len(sampling)):
        raise Unsupported("its channels, widths and data types do not match")
    if len(set(names)) != len(names):
        raise Unsupported("two channels share a name")
    dtype = _dtype(widths, kinds)
    index = {n: i for i, n in enumerate(names)}
    cluster = packing.cluster if packing is not None else 1
    if sampling == ((1, 1),) * len(names):
        targets = ((None, 1, 1, len(names)),)
    else:
        if cluster != 1:
            raise Unsupported("clusters of sub-sampled components")
        targets = tuple((n, h, v, 1) for n, (h, v) in zip(names, sampling))
    planes = []
    for sequence in _sequence(fmt, names, sampling):
        if any(n not in index for n in sequence):
            raise Unsupported(f"its layout names components {sequence} of which some are not among {names}")
        planes.append(_plane(sequence, index, widths, kinds, sampling, packing, cluster, len(targets) > 1))
    limits = tuple((n, w, _KINDS[k]) for n, w, k in zip(names, widths, kinds))
    return Layout(fmt.name, tuple(planes), targets, dtype, limits)


def _plane(sequence, index, widths, kinds, sampling, packing, cluster, per_channel) -> Plane:
    entries = [index[n] for n in sequence] * cluster  # the samples of one macro-pixel
    if cluster > 1:
        occurrence = pixel_of = list(range(cluster))
        macro_pixels = cluster
    else:
        occurrence = [sequence[:k].count(n) for k, n in enumerate(sequence)]
        pixel_of = [j * sampling[c][0] for j, c in zip(occurrence, entries)]
        macro_pixels = max(sequence.count(n) * sampling[index[n]][0] for n in sequence)
    verticals = {sampling[c][1] for c in entries}
    if len(verticals) != 1:
        raise Unsupported("a plane mixes components of different vertical sampling")
    fields, group_bits, count = _place([widths[c] for c in entries], packing, 1 if cluster > 1 else macro_pixels)
    group_pixels = count * macro_pixels
    n_channels = len(index)
    samples, steps = [], {}
    for i, fs in enumerate(fields):
        m, k = divmod(i, len(entries))
        c = entries[k]
        pixel = m * macro_pixels + pixel_of[k]
        if per_channel:
            per_macro = sequence.count(sequence[k])
            target, element = c, m * per_macro + occurrence[k]
            steps[c] = count * per_macro
        else:
            target, element = 0, pixel * n_channels + c
            steps[0] = group_pixels * n_channels
        samples.append(Sample(target, element, pixel, widths[c], _KINDS[kinds[c]], fs))
    partial = None
    kind = packing.kind if packing is not None else None
    if kind in (PackingKind.PACKED, PackingKind.PACKED_MSB) and packing.bits is None and cluster == 1 and group_pixels > 1:
        partial = tuple(max((f.bit + f.bits + 7) // 8 for s in samples if s.pixel < k for f in s.fields)
                        for k in range(1, group_pixels))
    return Plane(-(-group_bits // 8), group_pixels, verticals.pop(), tuple(samples),
                 tuple(steps.get(t, 0) for t in range(max(steps) + 1)), partial)
