"""Hostile collaborators and the checks shared by the robustness tests and the leak check."""

from __future__ import annotations

import importlib
from contextlib import contextmanager
from types import SimpleNamespace

import pytest

from edge_cases import Raises

MODULE_PATHS = {
    "registry": "corvella.pfnc._internal.registry",
    "widths": "corvella.pfnc.genicam.widths",
    "scalars": "corvella.pfnc.genicam.scalars",
    "layouts": "corvella.pfnc.genicam.layouts",
}


def extension(*names):
    """The named extension modules as a namespace; a missing one fails the test."""
    return SimpleNamespace(**{n: importlib.import_module(MODULE_PATHS[n]) for n in names})


def built():
    """Every extension module that is built, as a namespace."""
    return SimpleNamespace(**{name: importlib.import_module(path) for name, path in MODULE_PATHS.items()})


class Boom(Exception):
    """What a hostile collaborator raises; it must reach the caller as it is."""


def _boom(*args, **kwargs):
    raise Boom


def raising(*dunders, base=object, **attrs):
    """An instance of a fresh class whose methods ``dunders`` raise Boom.

    ``attrs`` become further class attributes (plain values or methods); a
    class that raises from ``__eq__`` keeps ``object``'s hash unless told.
    """
    namespace = {"__hash__": base.__hash__, **{d: _boom for d in dunders}, **attrs}
    return type("Hostile_" + "_".join(d.strip("_") for d in dunders), (base,), namespace)()


def returning(dunder, value, base=object):
    """An instance whose ``dunder`` returns ``value`` (usually of the wrong type)."""
    return type(f"Returns_{dunder.strip('_')}", (base,), {dunder: lambda *args: value})()


DELETE = object()  # as the value for patched(): the name is removed


@contextmanager
def patched(target, name, value):
    """``target.name = value`` (or deleted, for DELETE) inside the block, put back afterwards."""
    missing = object()
    namespace = vars(target)
    old = namespace.get(name, missing)
    order = list(namespace)
    try:
        if value is DELETE:
            delattr(target, name)
        else:
            setattr(target, name, value)
        yield
    finally:
        if old is missing:
            if name in namespace:
                delattr(target, name)
        else:
            setattr(target, name, old)
        if list(namespace) != order and isinstance(namespace, dict):
            # A name deleted and bound again went to the end; the order of a
            # module's globals is part of what it shows.
            for key in order:
                namespace[key] = namespace.pop(key)


def with_global(module_name, name, value, action):
    """A case call that runs ``action(m)`` while the module global ``name`` is ``value``."""

    def call(m):
        with patched(getattr(m, module_name), name, value):
            return action(m)

    return call


def calling_with(module_name, name, value, target, *args):
    """A case call: ``target(m)(*args)`` while the global ``name`` is ``value``.

    ``target`` is looked up before the global is replaced, so that replacing
    a class does not hide the method under test.
    """

    def call(m):
        function = target(m)
        with patched(getattr(m, module_name), name, value):
            return function(*args)

    return call


def run_case(m, case):
    """Checks one Case (edge_cases style) against the modules in ``m``."""
    from test_edge_cases import check

    check(m, case)


def repeat_case(m, case):
    """Runs one Case for the leak check: its expected exception is swallowed, nothing else."""
    if isinstance(case.expect, Raises):
        try:
            case.call(m)
        except case.expect.type:
            return
        raise AssertionError(f"{case.id} did not raise {case.expect.type.__name__}")
    case.call(m)


def still_working(m):
    """One ordinary call of each loaded module, to prove that a hostile call left it usable."""
    if hasattr(m, "registry"):
        r = m.registry.Registry()
        r.register("a", 1)
        assert (r.resolve("a"), list(r), r.snapshot().mapping) == (1, ["a"], {"a": 1})
    if hasattr(m, "widths"):
        size, rest = m.widths.Size.from_designation("565p", 3)
        assert (size.sizes, rest, size.designation()) == ([5, 6, 5], "p", "565")
    if hasattr(m, "scalars"):
        found = [(c.designation(), rest) for c, rest in m.scalars.DataTypes.create("sf_x", 2)]
        assert found == [("", "sf_x"), ("sf", "_x")]
        assert list(m.scalars.DATA_TYPE_REGISTRY)[:4] == ["", "s", "f", "u"]
    if hasattr(m, "layouts"):
        from corvella.pfnc.genicam.components import Components

        size = m.widths.Size([8, 8, 8])
        found = m.layouts.InterfaceSpecific.create("_UYVY_x", Components(["Y", "U", "V"]), size)
        assert [(type(c).__name__, c.designation(), rest) for c, rest in found] == [("ComponentsSequencing", "UYVY", "_x")]
