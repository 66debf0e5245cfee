"""Helpers shared by the designation families."""

from ._family import all_implementations

__all__ = ["all_implementations"]
