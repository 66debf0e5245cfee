"""What a reading of a name means in memory: sampling, memory order, containers, grouping, alignment.

The whole-name reader keeps only readings these rules allow and takes its
bits per pixel from them; the pixel layout is built from the same rules, so
the two cannot disagree.
"""

from __future__ import annotations

from fractions import Fraction
from math import lcm

from ..genicam.components import GenicamComponents, SamplingLocation
from ._packing import Packing, PackingKind

__all__ = ["CONTAINER_BITS", "GROUPED_WIDTHS", "LEGACY_PACKED_WIDTHS", "aligned_fits", "bits_per_pixel",
           "container_bits", "data_bits", "macro_pixel_counts", "memory_order", "packing_fits", "sampling_of",
           "sequencing_fits", "unpacked_bits"]

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
