"""What a reading of a name means in memory: sampling, memory order, containers, grouping, alignment.

The whole-name reader keeps only readings these rules allow and takes its
bits per pixel from them; the pixel layout and a frame's size in bytes are
built from the same rules, so the three cannot disagree.
"""

from __future__ import annotations

import operator
from dataclasses import dataclass
from fractions import Fraction
from math import gcd, lcm

from ..genicam.components import GenicamComponents, SamplingLocation
from ..genicam.layouts import ComponentsSequencing, Planar, SemiPlanar
from ._packing import Packing, PackingKind

__all__ = ["CONTAINER_BITS", "GROUPED_WIDTHS", "LEGACY_PACKED_WIDTHS", "MemoryPlane", "Unsupported", "aligned_fits",
           "bits_per_pixel", "container_bits", "data_bits", "element_type", "frame_bytes", "macro_bits",
           "macro_pixel_counts", "memory_order", "memory_planes", "packing_fits", "sampling_of", "sequencing_fits",
           "unpacked_bits"]

Sampling = tuple[tuple[int, int], ...]

# An unpacked component takes the smallest of these that holds it.
CONTAINER_BITS = (8, 16, 32, 64)
# Grouping gathers the bits above a byte of components of 9 to 12 bits.
GROUPED_WIDTHS = range(9, 13)
# GigE Vision's legacy Packed: two pixels in three bytes; V1Packed: RGB in 32 or 36 bits.
LEGACY_PACKED_WIDTHS = (10, 12)
_LEGACY_V1_BITS = {10: 32, 12: 36}
_BIT_STREAMS = (PackingKind.PACKED, PackingKind.PACKED_MSB, PackingKind.GROUPED, PackingKind.GROUPED_MSB)


def sampling_of(components: GenicamComponents) -> Sampling:
    """Per channel, how many pixels share one sample (horizontally, vertically)."""
    location = components.location
    return location.divisors if isinstance(location, SamplingLocation) else ((1, 1),) * len(components)


def container_bits(width: int) -> int | None:
    """Bits of the whole bytes an unpacked component of ``width`` bits takes; None above 64."""
    return next((bits for bits in CONTAINER_BITS if width <= bits), None)


def macro_pixel_counts(components: GenicamComponents) -> dict[str, int]:
    """How many samples of each channel the smallest run of whole pixels holds (Y 2, U 1, V 1 for 4:2:2)."""
    across = [h for h, _ in sampling_of(components)]
    pixels = lcm(*across)
    return {name: pixels // h for name, h in zip(components.names, across)}


def memory_order(components: GenicamComponents) -> tuple[str, ...]:
    """The order of samples in memory without a sequencing: Y0 Cb0 Y1 Cr0 for 4:2:2, Y0 Y1 Cb0 Y2 Y3 Cr0 for 4:1:1."""
    names = components.names
    location = components.location
    if isinstance(location, SamplingLocation) and location.scheme in ("422", "411"):
        lumas = (names[0],) * (1 if location.scheme == "422" else 2)
        return lumas + (names[1],) + lumas + (names[2],)
    return names


def sequencing_fits(sequence: tuple[str, ...], components: GenicamComponents) -> bool:
    """Whether a sequencing names each channel once for every sample of it in a run of whole pixels.

    A channel is repeated only where its sampling gives it more samples:
    ``UYVY`` is a 4:2:2 order, never one of a 4:4:4 ``YUV``.
    """
    counts = macro_pixel_counts(components)
    return len(sequence) == sum(counts.values()) and all(sequence.count(n) == k for n, k in counts.items())


def data_bits(sizes: list[int], sampling: Sampling) -> Fraction:
    """Bits of data one pixel carries, its share of sub-sampled channels included."""
    return sum((Fraction(width, h * v) for width, (h, v) in zip(sizes, sampling)), Fraction(0))


def unpacked_bits(sizes: list[int], sampling: Sampling) -> Fraction:
    """Bits one pixel takes with every component in its container."""
    return sum((Fraction(container_bits(width) or 0, h * v) for width, (h, v) in zip(sizes, sampling)),
               Fraction(0))


def aligned_fits(bits: int, data: Fraction, cluster: int = 1) -> bool:
    """Whether ``a<bits>`` pads ``data`` bits per pixel (times the cluster) with whole zero bytes."""
    return bits % 8 == 0 and bits > data * cluster


def packing_fits(packing: Packing | None, field: str, components: GenicamComponents, sizes: list[int]) -> bool:
    """Whether the convention allows this packing for these channels and widths."""
    if packing is None:
        return True
    kind = packing.kind
    if packing.cluster > 1 and len(sizes) != 1:
        return False  # clusters are of single-component pixels
    if kind is PackingKind.LEGACY_PACKED:
        return len(sizes) == 1 and sizes[0] in LEGACY_PACKED_WIDTHS
    if kind is PackingKind.LEGACY_V1_PACKED:
        return field == "RGB" and sizes[0] in LEGACY_PACKED_WIDTHS and len(set(sizes)) == 1
    if kind is PackingKind.MSB_UNPACKED:
        return all(width % 8 for width in sizes)
    if kind in (PackingKind.GROUPED, PackingKind.GROUPED_MSB) and not all(w in GROUPED_WIDTHS for w in sizes):
        return False
    sampling = sampling_of(components)
    if kind is PackingKind.ALIGNED:
        return aligned_fits(packing.bits or 0, unpacked_bits(sizes, sampling), packing.cluster)
    if packing.bits is not None:  # p<x>, g<x>: written only when there is padding
        return packing.bits > data_bits(sizes, sampling) * packing.cluster
    return True


def bits_per_pixel(sizes: list[int], sampling: Sampling, packing: Packing | None) -> int | Fraction:
    """Bits one pixel occupies in memory, padding included: a Fraction where pixels share bits."""
    kind = None if packing is None else packing.kind
    cluster = 1 if packing is None else packing.cluster
    if kind is PackingKind.LEGACY_PACKED:
        bits = Fraction(12)
    elif kind is PackingKind.LEGACY_V1_PACKED:
        bits = Fraction(_LEGACY_V1_BITS[sizes[0]])
    elif packing is not None and packing.bits is not None:
        bits = Fraction(packing.bits, cluster)
    elif kind in _BIT_STREAMS:
        bits = data_bits(sizes, sampling)
    else:
        bits = unpacked_bits(sizes, sampling)
    if cluster == 1 and bits.denominator == 1:
        return int(bits)
    return bits


# ---------------------------------------------------------------- planes in memory


class Unsupported(Exception):
    """No memory layout is defined for this format; the message says why."""


def _container_bits(width: int) -> int:
    bits = container_bits(width)
    if bits is None:
        raise Unsupported(f"components of {width} bits do not fit a 64-bit word")
    return bits


def element_type(widths: list[int], kinds: list[str]) -> str:
    """numpy's name of the one element type that holds every component; Unsupported where none does."""
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


def macro_bits(widths: list[int], packing: Packing | None, pixels: int) -> int:
    """Bits a macro-pixel of components ``widths`` takes, padding included.

    ``pixels`` is what it counts for an alignment (1 for a cluster, whose
    ``a<x>`` is per cluster). The legacy ``Packed`` gives 12 bits a pixel,
    of which two make a group.
    """
    kind = packing.kind if packing is not None else None
    x = packing.bits if packing is not None else None
    if kind is PackingKind.LEGACY_PACKED:
        if len(widths) != 1 or widths[0] not in LEGACY_PACKED_WIDTHS:
            raise Unsupported("the legacy Packed layout is defined for one component of 10 or 12 bits")
        return 12
    if kind in (PackingKind.GROUPED, PackingKind.GROUPED_MSB):
        if any(w not in GROUPED_WIDTHS for w in widths):
            raise Unsupported(f"grouping needs components of {GROUPED_WIDTHS[0]} to {GROUPED_WIDTHS[-1]} bits")
        total = x if x is not None else sum(widths)
        if total - 8 * len(widths) < sum(w - 8 for w in widths):
            raise Unsupported(f"grouping to {total} bits cannot hold the data")
        return total
    if kind in (None, PackingKind.MSB_UNPACKED, PackingKind.ALIGNED, PackingKind.CLUSTER):
        at = sum(_container_bits(w) for w in widths)
        if kind is PackingKind.ALIGNED:
            if x is None or not aligned_fits(x * pixels, Fraction(at)):
                raise Unsupported(f"alignment to {x} bits cannot hold {at} bits of data")
            return x * pixels
        return at
    if kind not in (PackingKind.PACKED, PackingKind.PACKED_MSB):
        raise Unsupported(f"the {kind.value if kind else None} packing has no layout")
    total = sum(widths)
    if x is not None and x < total:
        raise Unsupported(f"{x} bits cannot hold {total} bits of data")
    return total if x is None else x


@dataclass(frozen=True)
class MemoryPlane:
    """One plane: a macro-pixel of ``sequence`` repeated along each line, in groups that end on a byte."""

    sequence: tuple[str, ...]  # component names of a macro-pixel, in memory order
    macro_pixels: int  # pixels it covers
    macro_bits: int  # bits it takes, padding included
    line_divisor: int  # 2 for 4:2:0 chroma: one line of samples for two of pixels
    stops_early: bool  # a stream whose last group may stop at any pixel

    @property
    def group_count(self) -> int:
        """Macro-pixels in a group: the fewest whose bits fill whole bytes."""
        return 8 // gcd(self.macro_bits, 8)

    @property
    def group_pixels(self) -> int:
        return self.group_count * self.macro_pixels

    @property
    def group_bytes(self) -> int:
        return self.group_count * self.macro_bits // 8

    def run_bytes(self, pixels: int) -> int | None:
        """Bytes ``pixels`` pixels take one after another; None where a group cannot stop there."""
        groups, rest = divmod(pixels, self.group_pixels)
        if rest and not self.stops_early:
            return None
        return groups * self.group_bytes + -(-rest * self.macro_bits // (8 * self.macro_pixels))


def _sequences(fmt, names: tuple[str, ...], sampling: Sampling) -> list[tuple[str, ...]]:
    """Component names of each plane's macro-pixel, in memory order."""
    specific = fmt.interface_specific
    if isinstance(specific, Planar):
        if any(s != (1, 1) for s in sampling):
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


def memory_planes(fmt) -> tuple[MemoryPlane, ...]:
    """The planes of the format ``fmt`` in memory order; Unsupported where no layout is defined."""
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
    element_type(widths, kinds)
    cluster = packing.cluster if packing is not None else 1
    if cluster != 1 and any(s != (1, 1) for s in sampling):
        raise Unsupported("clusters of sub-sampled components")
    index = {n: i for i, n in enumerate(names)}
    stops_early = (packing is not None and packing.kind in (PackingKind.PACKED, PackingKind.PACKED_MSB)
                   and packing.bits is None and cluster == 1)
    planes = []
    for sequence in _sequences(fmt, names, sampling):
        if any(n not in index for n in sequence):
            raise Unsupported(f"its layout names components {sequence} of which some are not among {names}")
        entries = [index[n] for n in sequence] * cluster
        verticals = {sampling[c][1] for c in entries}
        if len(verticals) != 1:
            raise Unsupported("a plane mixes components of different vertical sampling")
        pixels = cluster if cluster > 1 else max(sequence.count(n) * sampling[index[n]][0] for n in sequence)
        bits = macro_bits([widths[c] for c in entries], packing, 1 if cluster > 1 else pixels)
        planes.append(MemoryPlane(sequence, pixels, bits, verticals.pop(), stops_early))
    return tuple(planes)


# The most bytes (and pixels) the pixel loops count.
_MOST = (1 << 63) - 1


def _size(value: object, what: str) -> int:
    """A width, height or stride: any integer operator.index takes but a bool, positive."""
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an integer, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}") from None
    if number <= 0:
        raise ValueError(f"{what} must be positive, got {number}")
    return number


def frame_bytes(name: str, planes: tuple[MemoryPlane, ...], channels: tuple[str, ...], sampling: Sampling,
                width: object, height: object, stride: object) -> int:
    """Bytes a ``width`` x ``height`` frame of format ``name`` takes, with every line ``stride`` bytes or none.

    The checks and messages are the pixel loops' own: both count from the same planes.
    """
    width, height = _size(width, "width"), _size(height, "height")
    stride = None if stride is None else _size(stride, "stride")
    if max(width, height, stride or 0, width * height) > _MOST:
        raise ValueError(f"{width}x{height} pixels of {name} need over {_MOST} bytes, more than memory can hold")
    for channel, (across, down) in zip(channels, sampling):
        if width % across or height % down:
            raise ValueError(f"{name} samples {channel} once every {across}x{down} pixels: "
                             f"{width}x{height} is not a multiple")
    total = 0
    for plane in planes:
        lines = height // plane.line_divisor
        run = plane.run_bytes(width if stride is not None else width * lines)
        if run is None and stride is not None:
            raise ValueError(f"{name} packs {plane.group_pixels} pixels together: a width of {width} is not a "
                             f"multiple of {plane.group_pixels}")
        if run is None:
            raise ValueError(f"{name} packs {plane.group_pixels} pixels together: a stream of {width * lines} pixels"
                             f" ({width} x {lines}) is not a multiple of {plane.group_pixels}")
        if stride is not None and stride < run:
            raise ValueError(f"stride {stride} is smaller than a line of {name} at width {width} ({run} bytes)")
        total += run if stride is None else lines * stride
    if total > _MOST:
        raise ValueError(f"{width}x{height} pixels of {name} need over {_MOST} bytes, more than memory can hold")
    return total
