"""Module for handling interface-specific pixel format designations."""

from abc import ABCMeta as ABCMeta, abstractmethod as abstractmethod
from logging import Logger, getLogger as getLogger

from typing_extensions import Self as Self

from corvella.pfnc._internal.utils import all_implementations as all_implementations
from corvella.pfnc.exceptions import ParseReject as ParseReject, PixelFormatValueReject as PixelFormatValueReject
from corvella.pfnc.genicam.components import (
    Components as Components,
    GenicamComponents as GenicamComponents,
    LMNLocation as LMNLocation,
    channel_name as channel_name,
)
from corvella.pfnc.genicam.widths import Size as Size

logger: Logger

class InterfaceSpecific(metaclass=ABCMeta):
    """Abstract base class for interface-specific pixel format designations."""

    @abstractmethod
    def designation(self) -> str: ...
    @staticmethod
    def create(full_designation: str, components: Components, sizes: Size) -> list[tuple[InterfaceSpecific, str]]: ...
    @classmethod
    @abstractmethod
    def from_designation(cls, full_designation: str, components: Components, sizes: Size) -> list[tuple[Self, str]]: ...
    def __eq__(self, other: object) -> bool: ...

class Planar(InterfaceSpecific):
    """Represents the planar interface-specific format."""

    def designation(self) -> str: ...
    @classmethod
    def from_designation(cls, full_designation: str, components: Components, sizes: Size) -> list[tuple[Self, str]]: ...

class SemiPlanar(InterfaceSpecific):
    """Represents the semi-planar interface-specific format."""

    def designation(self) -> str: ...
    @classmethod
    def from_designation(cls, full_designation: str, components: Components, sizes: Size) -> list[tuple[Self, str]]: ...

class ComponentsSequencing(InterfaceSpecific):
    """Represents an interface-specific format based on component sequencing."""

    components: tuple[str, ...]
    def __init__(self, components: tuple[str, ...]) -> None: ...
    def designation(self) -> str: ...
    @classmethod
    def from_designation(cls, full_designation: str, components: Components, sizes: Size) -> list[tuple[Self, str]]: ...
    def __eq__(self, other: object) -> bool: ...
