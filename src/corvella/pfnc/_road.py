"""The road of one name after its components field: bits, data types, packing, planes, suffix.

Each piece is read by its own reader; the piece classes are looked up in
their modules at every call (``widths.Size``, ``scalars.DataTypes``,
``layouts.InterfaceSpecific``), as the piece modules look up their own globals.
"""

from __future__ import annotations

from collections.abc import Iterator
from fractions import Fraction
from typing import Any, NamedTuple

from ._packing import Packing, PackingKind
from .exceptions import PixelFormatValueReject
from .genicam import layouts, scalars, widths
from .genicam.components import GenicamComponents, SamplingLocation

__all__ = ["Pieces", "Progress", "bits_per_pixel", "read_pieces", "sampling_of"]

Sampling = tuple[tuple[int, int], ...]
Planes = tuple[tuple[str, ...], ...]

_MAX_WIDTH = 64
_FLOAT_WIDTHS = (16, 32, 64)


class Pieces(NamedTuple):
    """One full reading of a name, piece by piece."""

    field: str
    components: GenicamComponents
    size: Any  # widths.Size, or what a patched widths.Size gives
    data_types: Any
    data_type_text: str  # as the name wrote it: an explicit "u" is kept
    channel_types: tuple[str, ...]
    packing: Packing | None
    planes: tuple[tuple[str, ...], ...] | None
    interface_specific: Any


def sampling_of(components: GenicamComponents) -> Sampling:
    """Per channel, how many pixels share one sample (horizontally, vertically)."""
    location = components.location
    return location.divisors if isinstance(location, SamplingLocation) else ((1, 1),) * len(components)


def _container(width: int) -> int:
    """Bits of the whole bytes an unpacked component of ``width`` bits takes."""
    return next(bits for bits in (8, 16, 32, 64) if width <= bits)


def bits_per_pixel(sizes: list[int], sampling: Sampling, packing: Packing | None) -> int | Fraction:
    shares = [Fraction(1, h * v) for h, v in sampling]
    kind = None if packing is None else packing.kind
    cluster = 1 if packing is None else packing.cluster
    if kind in (PackingKind.LEGACY_PACKED, PackingKind.LEGACY_V1_PACKED):
        # GigE Vision layouts: 2 pixels in 3 bytes; and 32 or 36 bits for RGB.
        bits = Fraction(12) if kind is PackingKind.LEGACY_PACKED else Fraction({10: 32, 12: 36}[sizes[0]])
    elif packing is not None and packing.bits is not None:
        bits = Fraction(packing.bits, cluster)
    elif kind in (PackingKind.PACKED, PackingKind.PACKED_MSB, PackingKind.GROUPED, PackingKind.GROUPED_MSB):
        bits = sum((share * width for share, width in zip(shares, sizes)), Fraction(0))
    else:
        bits = sum((share * _container(width) for share, width in zip(shares, sizes)), Fraction(0))
    if cluster == 1 and bits.denominator == 1:
        return int(bits)
    return Fraction(bits)


def _unpacked_bits(sizes: list[int], sampling: Sampling) -> Fraction:
    return sum((Fraction(_container(width), h * v) for width, (h, v) in zip(sizes, sampling)), Fraction(0))


class Progress:
    """How far the readings of one name got, for the message when none is full."""

    __slots__ = ("position", "composed")

    def __init__(self) -> None:
        self.position = 0
        self.composed: str | None = None  # a full reading whose pieces compose another spelling

    def reached(self, name: str, rest: str) -> None:
        self.position = max(self.position, len(name) - len(rest))


def read_pieces(core: str, field: str, components: GenicamComponents, progress: Progress) -> Iterator[Pieces]:
    """Every full reading of ``core`` that starts with the components ``field``."""
    rest = core[len(field):]
    # The "_" before the number of bits is written exactly when two numbers would touch.
    if field[-1].isdigit() != rest.startswith("_"):
        return
    found = _read_size(rest, len(components))
    if found is None:
        return
    size, after_size = found
    if not all(1 <= width <= _MAX_WIDTH for width in size):
        return
    progress.reached(core, after_size)
    for data_types, after_types in scalars.DataTypes.create(after_size, len(components)):
        if type(after_types) is not str or not after_size.endswith(after_types):
            continue
        channel_types = tuple(scalars.datatype_name(data_types[i], True) for i in range(len(components)))
        if any(kind == "f" and width not in _FLOAT_WIDTHS for kind, width in zip(channel_types, size)):
            continue
        progress.reached(core, after_types)
        data_type_text = after_size[:len(after_size) - len(after_types)]
        for packing, after_packing in [(None, after_types), *Packing.from_designation(after_types)]:
            if not _packing_fits(packing, field, components, size):
                continue
            progress.reached(core, after_packing)
            for planes, interface_specific in _read_layout(after_packing, components, size, core, progress):
                yield Pieces(field, components, size, data_types, data_type_text, channel_types,
                             packing, planes, interface_specific)


def _read_size(rest: str, channels: int) -> tuple[Any, str] | None:
    """``Size.from_designation``, reading a run that is one width as one width for every channel.

    A run such as "12" of a two-channel field would split into 1 and 2 bits;
    the convention writes one number when all channels share a width, so a
    run that is a width (at most 64) is that width for every channel:
    ``Coord3D_AC12p`` is 12 + 12 bits, as its value says.
    """
    try:
        found = widths.Size.from_designation(rest, channels)
    except PixelFormatValueReject:
        found = None
    start = 1 if rest.startswith("_") else 0
    end = start
    while end < len(rest) and "0" <= rest[end] <= "9":
        end += 1
    if channels > 1 and end > start and 1 <= int(rest[start:end]) <= _MAX_WIDTH:
        shared = widths.Size([int(rest[start:end])] * channels)
        if found is None or found[0] != shared:
            return shared, rest[end:]
    return found


def _packing_fits(packing: Packing | None, field: str, components: GenicamComponents, size: Any) -> bool:
    """Whether the convention allows this packing for these channels and widths."""
    if packing is None:
        return True
    kind, sizes = packing.kind, list(size)
    if packing.cluster > 1 and len(sizes) != 1:
        return False  # clusters are of single-component pixels
    if kind is PackingKind.LEGACY_PACKED:
        return len(sizes) == 1 and sizes[0] in (10, 12)
    if kind is PackingKind.LEGACY_V1_PACKED:
        return field == "RGB" and sizes[0] in (10, 12) and len(set(sizes)) == 1
    if kind is PackingKind.MSB_UNPACKED:
        return all(width % 8 for width in sizes)
    if kind in (PackingKind.GROUPED, PackingKind.GROUPED_MSB) and not all(9 <= width <= 12 for width in sizes):
        return False
    sampling = sampling_of(components)
    if kind is PackingKind.ALIGNED:
        bits = packing.bits or 0  # never None: an alignment always has its number
        return bits % 8 == 0 and bits > _unpacked_bits(sizes, sampling) * packing.cluster
    if packing.bits is not None:  # p<x>, g<x>: written only when there is padding
        data = sum(Fraction(width, h * v) for width, (h, v) in zip(sizes, sampling))
        return packing.bits > data * packing.cluster
    return True


def _read_layout(text: str, components: GenicamComponents, size: Any, core: str, progress: Progress) -> Iterator[tuple[Planes | None, Any]]:
    """(planes, interface-specific reading) pairs that read all of ``text``."""
    planes, rest = _read_planes(text, components)
    if planes is not None:
        progress.reached(core, rest)
    location = components.location
    needs_planes = isinstance(location, SamplingLocation) and location.scheme == "420"
    if not rest:
        if planes is None and not needs_planes:
            yield None, None
        return
    for interface_specific, remaining in layouts.InterfaceSpecific.create(rest, components, size):
        if type(remaining) is not str or remaining:
            continue
        if (isinstance(interface_specific, layouts.ComponentsSequencing)
                and interface_specific.components == _memory_order(components)):
            continue  # a sequencing is written only where it changes the order
        semiplanar = isinstance(interface_specific, layouts.SemiPlanar)
        # _Semiplanar lists its planes; 4:2:0 exists only semi-planar.
        if semiplanar == (planes is not None) and (semiplanar or not needs_planes):
            yield planes, interface_specific


def _memory_order(components: GenicamComponents) -> tuple[str, ...]:
    """The order of samples in memory without a sequencing: Y0 Cb0 Y1 Cr0 for 4:2:2, Y0 Y1 Cb0 Y2 Y3 Cr0 for 4:1:1."""
    names = components.names
    location = components.location
    if isinstance(location, SamplingLocation) and location.scheme in ("422", "411"):
        lumas = (names[0],) * (1 if location.scheme == "422" else 2)
        return lumas + (names[1],) + lumas + (names[2],)
    return names


def _read_planes(text: str, components: GenicamComponents) -> tuple[Planes | None, str]:
    """The plane list before ``_Semiplanar`` ("_YY_CbCr"), if the text has one: (planes, rest)."""
    end = text.find("_Semiplanar")
    if end <= 0 or not text.startswith("_"):
        return None, text
    names = sorted(set(components.names), key=len, reverse=True)
    planes: list[tuple[str, ...]] = []
    for written in text[1:end].split("_"):
        plane: list[str] = []
        while written:
            name = next((n for n in names if written.startswith(n)), None)
            if name is None:
                return None, text
            plane.append(name)
            written = written[len(name):]
        planes.append(tuple(plane))
    if not _planes_fit(tuple(planes), components):
        return None, text
    return tuple(planes), text[end:]


def _planes_fit(planes: Planes, components: GenicamComponents) -> bool:
    """Every channel in one plane, and as often as its sampling asks."""
    if len(planes) < 2 or not all(planes):
        return False
    names = components.names
    owner: dict[str, int] = {}
    for number, plane in enumerate(planes):
        for name in plane:
            if owner.setdefault(name, number) != number:
                return False
    if set(owner) != set(names):
        return False
    divisors = sampling_of(components)
    counts = {name: sum(plane.count(name) for plane in planes) * h for name, (h, _) in zip(names, divisors)}
    return len(set(counts.values())) == 1
