"""Module for handling data types and their designations in pixel format processing."""

from abc import ABCMeta as ABCMeta, abstractmethod as abstractmethod
from enum import Enum as Enum
from logging import Logger, getLogger as getLogger
from typing import TypeGuard as TypeGuard, get_args as get_args

from corvella.pfnc._internal.registry import MappingSnapshot as MappingSnapshot, Registry as Registry
from corvella.pfnc._internal.utils import all_implementations as all_implementations
from corvella.pfnc.exceptions import (
    DuplicateRegistrationError as DuplicateRegistrationError,
    NotRegisteredError as NotRegisteredError,
    ParseReject as ParseReject,
    PixelFormatValueReject as PixelFormatValueReject,
)

logger: Logger

class DefaultDataType(Enum):
    """Enumeration for default data types."""

    UNSIGNED = ""
    SIGNED = "s"
    FLOAT = "f"

DataType = DefaultDataType | str

class DataTypeRegistry(Registry[str, DataType]):
    """Registry for data types with immutable defaults."""

    _default_keys: set[str]
    def __init__(self) -> None: ...
    def _register_defaults(self) -> None: ...
    def register(self, name: str, value: DataType | None = None) -> None: ...
    def _validate(self, name: str, _value: DataType) -> None: ...
    def restore(self, snap: MappingSnapshot[str, DataType]) -> None: ...
    @classmethod
    def default_snapshot(cls) -> MappingSnapshot[str, DataType]: ...

DATA_TYPE_REGISTRY: DataTypeRegistry

def is_data_type(potential_data_type: object) -> TypeGuard[DataType]: ...
def datatype_name(data_type: DataType, multiple_designators: bool = False) -> str: ...

class DataTypes(metaclass=ABCMeta):
    """Abstract base class for data type designations."""

    @abstractmethod
    def designation(self) -> str: ...
    @abstractmethod
    def __len__(self) -> int: ...
    @abstractmethod
    def __getitem__(self, item: int) -> DataType: ...
    @staticmethod
    def create(full_designation: str, number_of_channels: int) -> list[tuple[DataTypes, str]]: ...
    @staticmethod
    def from_designation(full_designation: str, number_of_channels: int) -> list[tuple[DataTypes, str]]: ...
    def __eq__(self, other: object) -> bool: ...

class CompoundDataTypes(DataTypes):
    """Represents a compound designation containing multiple data types."""

    scalars: list[DataType]
    def __init__(self, scalars: list[DataType]) -> None: ...
    def designation(self) -> str: ...
    def __len__(self) -> int: ...
    def __getitem__(self, item: int) -> DataType: ...
    @staticmethod
    def from_designation(full_designation: str, number_of_channels: int) -> list[tuple[DataTypes, str]]: ...
