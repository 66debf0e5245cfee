"""The two implementations of the four modules that the cross-checking tests compare."""

from __future__ import annotations

import importlib
import inspect
from contextlib import contextmanager
from types import SimpleNamespace

import pytest

MODULES = ("registry", "widths", "scalars", "layouts")

IMPLEMENTATIONS = {
    "model": ("pfnc_model.registry", "pfnc_model.widths", "pfnc_model.scalars", "pfnc_model.layouts"),
    "extension": (
        "corvella.pfnc._internal.registry",
        "corvella.pfnc.genicam.widths",
        "corvella.pfnc.genicam.scalars",
        "corvella.pfnc.genicam.layouts",
    ),
}


def load(name: str) -> SimpleNamespace:
    """The modules of implementation ``name``; one that fails to import fails the test run."""
    modules = {attribute: importlib.import_module(module_name)
               for attribute, module_name in zip(MODULES, IMPLEMENTATIONS[name])}
    return SimpleNamespace(name=name, missing=[], **modules)


def require(impl: SimpleNamespace, *modules: str) -> None:
    """Every module of both implementations is always there: a missing one is an error, not a skip."""
    absent = [m for m in modules if getattr(impl, m) is None]
    assert not absent, f"{impl.name}: {', '.join(absent)} missing"


@contextmanager
def kept_data_type_registry(scalars):
    """Put ``scalars.DATA_TYPE_REGISTRY`` back as it was, whatever the block did to it."""
    registry = scalars.DATA_TYPE_REGISTRY
    # Saved and put back by hand rather than through snapshot/restore, which
    # are among the things under test.
    contents, default_keys = dict(registry._registry), set(registry._default_keys)
    try:
        yield registry
    finally:
        registry._registry.clear()
        registry._registry.update(contents)
        registry._default_keys.clear()
        registry._default_keys.update(default_keys)


def assert_same_function(ours, theirs, module_name):
    """A C++ function presents itself exactly as its model counterpart does."""
    for attribute in ("__name__", "__qualname__", "__doc__", "__annotations__"):
        assert getattr(ours, attribute) == getattr(theirs, attribute)
    assert ours.__module__ == module_name
    assert str(inspect.signature(ours)) == str(inspect.signature(theirs))
