"""Registry base class that is used for most custom type registrations."""

from __future__ import annotations

import copy
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Generic, TypeVar

from corvella.pfnc.exceptions import DuplicateRegistrationError, NotRegisteredError

T = TypeVar("T")
K = TypeVar("K")


@dataclass(frozen=True)
class MappingSnapshot(Generic[K, T]):
    """Snapshot for a single mapping-based registry."""

    # Frozen only protects the attribute; the dict itself stays mutable, which
    # is why Registry.snapshot hands every snapshot a dict of its own.
    mapping: dict[K, T]


@dataclass
class Registry(Generic[K, T]):
    """Registry."""

    # Registry(_registry=d) adopts d itself; only the default is a fresh dict.
    _registry: dict[K, T] = field(default_factory=dict)

    def register(self, name: K, value: T) -> None:
        (
            "Registry.register(self, name: K, value: T) -> None\n"
            "\n"
            "Register.\n"
            "\n"
            "Args:\n"
            "    name: Alias string uniquely identifying the value\n"
            "    value: The registered value type.\n"
            "\n"
            "Raises:\n"
            "    DuplicateRegistrationError: If already registered."
        )
        if name in self._registry:
            raise DuplicateRegistrationError(f"Value already registered: {name!r}")
        self._registry[name] = value

    def snapshot(self) -> MappingSnapshot[K, T]:
        (
            "Registry.snapshot(self) -> MappingSnapshot[K, T]\n"
            "\n"
            "Snapshot current state."
        )
        return MappingSnapshot(mapping=copy.copy(self._registry))

    def restore(self, snap: MappingSnapshot[K, T]) -> None:
        (
            "Registry.restore(self, snap: MappingSnapshot[K, T]) -> None\n"
            "\n"
            "Restore a snapshot."
        )
        # Copy before clearing: a snapshot may share its dict with this very
        # registry (MappingSnapshot(r._registry)), and a snapshot whose mapping
        # cannot be read must leave the registry as it was.
        contents = dict(snap.mapping)
        # The registry keeps its own dict object; only the contents change.
        self._registry.clear()
        self._registry.update(contents)

    def resolve(self, name: K) -> T:
        (
            "Registry.resolve(self, name: K) -> T\n"
            "\n"
            "Resolve alias to type."
        )
        try:
            return self._registry[name]
        except KeyError:
            # Raised inside the handler on purpose: the KeyError stays
            # attached as the implicit context.
            raise NotRegisteredError(f"{name} not registered.")

    def get(self, key: K, default_value: T | None = None) -> T | None:
        (
            "Registry.get(self, key: K, default_value: T | None = None) -> T | None\n"
            "\n"
            "Return the value for key if key is registered, else default_value.\n"
            "\n"
            "Args:\n"
            "    key: Name to look up.\n"
            "    default_value: Value to return if key is not registered.\n"
            "\n"
            "Returns:\n"
            "    The registered value or default_value if key is missing."
        )
        return self._registry.get(key, default_value)

    def __iter__(self) -> Iterator[K]:
        (
            "Registry.__iter__(self) -> Iterator[K]\n"
            "\n"
            "Iterate over registered names."
        )
        return iter(self._registry)
