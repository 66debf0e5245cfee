"""Memos of name readers that last while nothing a reading depends on
changes."""

from collections.abc import Callable, Iterable
from typing import Any, Generic, TypeVar

_R = TypeVar("_R")

class CachedReader(Generic[_R]):
    """A name reader with a memo; see cached_reader()."""

    __wrapped__: Callable[..., _R]
    def __call__(self, *args: Any, **kwargs: Any) -> _R: ...
    def __get__(self, instance: object, owner: type | None = None, /) -> CachedReader[_R]: ...
    def __set_name__(self, owner: type, name: str, /) -> None: ...
    def cache_clear(self) -> None: ...

def cached_reader(read: Callable[..., _R], watch: Iterable[object] | None = None) -> CachedReader[_R]: ...
