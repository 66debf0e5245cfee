"""The packing field of a pixel-format name: cluster, packing or grouping, msb, alignment."""

from __future__ import annotations

import re
from dataclasses import dataclass
from enum import Enum

from ..exceptions import PixelFormatValueReject

__all__ = ["Packing", "PackingKind"]


class PackingKind(Enum):
    """What a packing field does; each value is the field's tag."""

    MSB_UNPACKED = "msb"
    PACKED = "p"
    PACKED_MSB = "pmsb"
    GROUPED = "g"
    GROUPED_MSB = "gmsb"
    ALIGNED = "a"
    CLUSTER = "c"
    LEGACY_PACKED = "Packed"
    LEGACY_V1_PACKED = "V1Packed"


_STREAMS = (PackingKind.PACKED, PackingKind.PACKED_MSB, PackingKind.GROUPED, PackingKind.GROUPED_MSB)
_LEGACY = (PackingKind.LEGACY_PACKED, PackingKind.LEGACY_V1_PACKED)
# In the order the convention writes the tags; numbers never start with 0.
_TAGS = re.compile(r"(?:c([1-9][0-9]*))?(?:([pg])([1-9][0-9]*)?(msb)?|(msb)|a([1-9][0-9]*))?", re.ASCII)


@dataclass(frozen=True)
class Packing:
    """The packing field of a name: cluster, packing or grouping, msb, alignment.

    ``kind`` says what the field does, ``cluster`` is the N of ``c<N>`` (1
    without a cluster) and ``bits`` the ``<x>`` of ``p<x>``, ``g<x>`` or
    ``a<x>``: bits per pixel, or per cluster, padding included.
    """

    kind: PackingKind
    cluster: int = 1
    bits: int | None = None

    def __post_init__(self) -> None:
        if not isinstance(self.kind, PackingKind):
            raise TypeError(f"kind must be a PackingKind, not {type(self.kind).__name__}")
        for label, value in (("cluster", self.cluster), ("bits", self.bits)):
            if value is not None and (type(value) is not int or value < 1):
                raise PixelFormatValueReject(f"{label} must be a positive int, got {value!r}")
        if self.kind is PackingKind.CLUSTER and self.cluster < 2:
            raise PixelFormatValueReject("a cluster packs at least 2 pixels")
        if self.kind is PackingKind.ALIGNED and self.bits is None:
            raise PixelFormatValueReject("an alignment needs its number of bits")
        if self.kind in _STREAMS or self.kind is PackingKind.ALIGNED:
            return
        if self.bits is not None:
            raise PixelFormatValueReject(f"packing {self.kind.value!r} takes no number of bits")
        if self.kind in _LEGACY and self.cluster != 1:
            raise PixelFormatValueReject(f"packing {self.kind.value!r} takes no cluster")

    def designation(self) -> str:
        """The field as a name writes it: "c3p32", "p", "p32msb", "g40", "a32", "msb", "Packed"."""
        kind, tag = self.kind, str(self.kind.value)
        if kind in _LEGACY:
            return tag
        text = f"c{self.cluster}" if self.cluster > 1 else ""
        if kind is PackingKind.CLUSTER:
            return text
        if kind is PackingKind.MSB_UNPACKED:
            return text + "msb"
        bits = "" if self.bits is None else str(self.bits)
        return text + tag[0] + bits + tag[1:]

    @staticmethod
    def from_designation(full_designation: str) -> "list[tuple[Packing, str]]":
        """Read a packing field from the front of the text: [(Packing, rest)] or []."""
        if type(full_designation) is not str:
            raise TypeError(
                f"Argument 'full_designation' has incorrect type (expected str, got {type(full_designation).__name__})")
        for legacy in _LEGACY:
            if full_designation.startswith(legacy.value):
                return [(Packing(legacy), full_designation[len(legacy.value):])]
        match = _TAGS.match(full_designation)
        if match is None or match.end() == 0:
            return []
        cluster_digits, stream, stream_bits, stream_msb, msb, aligned_bits = match.groups()
        cluster = int(cluster_digits) if cluster_digits else 1
        if stream:
            kind = PackingKind(stream + (stream_msb or ""))
            bits = int(stream_bits) if stream_bits else None
        elif msb:
            kind, bits = PackingKind.MSB_UNPACKED, None
        elif aligned_bits:
            kind, bits = PackingKind.ALIGNED, int(aligned_bits)
        else:
            kind, bits = PackingKind.CLUSTER, None
        try:
            packing = Packing(kind, cluster, bits)
        except PixelFormatValueReject:
            return []
        return [(packing, full_designation[match.end():])]
