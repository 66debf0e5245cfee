"""The road of one name after its components field: bits, data types, packing, planes, suffix.

Each piece is read by its own reader; the piece classes are looked up in
their modules at every call (``widths.Size``, ``scalars.DataTypes``,
``layouts.InterfaceSpecific``), as the piece modules look up their own globals.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any, NamedTuple

from . import _memory
from ._packing import Packing
from ..exceptions import PixelFormatValueReject
from ..genicam import layouts, scalars, widths
from ..genicam.components import GenicamComponents, SamplingLocation

__all__ = ["Pieces", "Progress", "read_pieces"]

Planes = tuple[tuple[str, ...], ...]

_MAX_WIDTH = _memory.CONTAINER_BITS[-1]  # the widest component a container holds
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
            if not _memory.packing_fits(packing, field, components, list(size)):
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
        if isinstance(interface_specific, layouts.ComponentsSequencing):
            sequence = tuple(interface_specific.components)
            # Written only where it changes the order, and only with the samples the sampling gives.
            if sequence == _memory.memory_order(components) or not _memory.sequencing_fits(sequence, components):
                continue
        semiplanar = isinstance(interface_specific, layouts.SemiPlanar)
        # _Semiplanar lists its planes; 4:2:0 exists only semi-planar.
        if semiplanar == (planes is not None) and (semiplanar or not needs_planes):
            yield planes, interface_specific


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
    divisors = _memory.sampling_of(components)
    counts = {name: sum(plane.count(name) for plane in planes) * h for name, (h, _) in zip(names, divisors)}
    return len(set(counts.values())) == 1
