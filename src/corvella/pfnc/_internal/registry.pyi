"""Registry base class that is used for most custom type registrations."""

import copy as copy
from collections.abc import Iterator as Iterator
from dataclasses import dataclass as dataclass, field as field
from typing import Generic as Generic, TypeVar as TypeVar

from corvella.pfnc.exceptions import (
    DuplicateRegistrationError as DuplicateRegistrationError,
    NotRegisteredError as NotRegisteredError,
)

T = TypeVar("T")
K = TypeVar("K")

@dataclass(frozen=True)
class MappingSnapshot(Generic[K, T]):
    """Snapshot for a single mapping-based registry."""

    mapping: dict[K, T]

@dataclass
class Registry(Generic[K, T]):
    """Registry."""

    _registry: dict[K, T] = ...
    def register(self, name: K, value: T) -> None: ...
    def snapshot(self) -> MappingSnapshot[K, T]: ...
    def restore(self, snap: MappingSnapshot[K, T]) -> None: ...
    def resolve(self, name: K) -> T: ...
    def get(self, key: K, default_value: T | None = None) -> T | None: ...
    def __iter__(self) -> Iterator[K]: ...
