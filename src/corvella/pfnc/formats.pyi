"""Whole pixel-format names: their structure, their 32-bit values, and the packing piece."""

from dataclasses import dataclass
from enum import Enum
from fractions import Fraction
from typing import Final

from corvella.pfnc.genicam.components import GenicamComponents
from corvella.pfnc.genicam.layouts import InterfaceSpecific
from corvella.pfnc.genicam.scalars import DataTypes
from corvella.pfnc.genicam.widths import Size

__all__ = ["Packing", "PackingKind", "PixelFormat"]

MAX_NAME_LENGTH: Final[int]

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

@dataclass(frozen=True)
class Packing:
    """The packing field of a name: cluster, packing or grouping, msb, alignment."""

    kind: PackingKind
    cluster: int = 1
    bits: int | None = None
    def designation(self) -> str: ...
    @staticmethod
    def from_designation(full_designation: str) -> list[tuple[Packing, str]]: ...

class PixelFormat:
    """One reading of a pixel-format name: its pieces, its bits per pixel and its value."""

    @property
    def name(self) -> str: ...
    @property
    def code(self) -> int | None: ...
    @property
    def components(self) -> GenicamComponents: ...
    @property
    def size(self) -> Size: ...
    @property
    def data_types(self) -> DataTypes: ...
    @property
    def channel_types(self) -> tuple[str, ...]: ...
    @property
    def packing(self) -> Packing | None: ...
    @property
    def interface_specific(self) -> InterfaceSpecific | None: ...
    @property
    def planes(self) -> tuple[tuple[str, ...], ...] | None: ...
    @property
    def sampling(self) -> tuple[tuple[int, int], ...]: ...
    @property
    def bits_per_pixel(self) -> int | Fraction: ...
    @property
    def deprecated(self) -> bool: ...
    def designation(self) -> str: ...
    def pieces(self) -> tuple[str, ...]: ...
    @staticmethod
    def from_name(name: str) -> PixelFormat: ...
    @staticmethod
    def readings(name: str) -> list[PixelFormat]: ...
    @staticmethod
    def from_code(value: int) -> PixelFormat: ...
    @staticmethod
    def standard() -> list[PixelFormat]: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
