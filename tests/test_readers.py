"""create() asks each implementation's reader as the class has it at that call, whatever it asked before."""

from __future__ import annotations

import abc
import gc

import pytest

from corvella.pfnc.genicam.components import Components
from differential import needs, same

RGB = Components(["R", "G", "B"])


def _reader(tag):
    def from_designation(cls, text, *rest):
        return [(tag, text)]

    return from_designation


def _static(tag):
    return lambda text, *rest: [(tag, text)]


def _create(m, family):
    if family == "layouts":
        return m.layouts.InterfaceSpecific.create("_Xy", RGB, m.widths.Size([8] * 3))
    return m.scalars.DataTypes.create("Xy", 3)


def _base(m, family):
    return m.layouts.Planar if family == "layouts" else m.scalars.CompoundDataTypes


def _with_subclass(family, make, change, own_meta):
    """create() with a subclass made by make(), then again after change(subclass)."""

    def call(m):
        meta = type("Meta", (abc.ABCMeta,), {}) if own_meta else abc.ABCMeta
        sub = meta("Sub", (_base(m, family),), make())
        try:
            first = [_create(m, family) for _ in range(2)]
            change(sub)
            return first, _create(m, family)
        finally:
            del sub
            gc.collect()  # a live subclass would be asked by every later create

    return call


def _reinit(sub):
    # Rebinding the function inside the descriptor leaves the class as it was.
    sub.__dict__["from_designation"].__init__(_reader("second") if isinstance(
        sub.__dict__["from_designation"], classmethod) else _static("second"))


def _meta_property(sub):
    type(sub).from_designation = property(lambda cls: _static("meta"))


def _replace(sub):
    sub.from_designation = staticmethod(_static("replaced"))


def _plain_function(sub):
    sub.from_designation = _reader("plain")  # no classmethod: called without the class


FAMILIES = [pytest.param("layouts", marks=needs("widths", "layouts"), id="layouts"),
            pytest.param("scalars", marks=needs("registry", "scalars"), id="scalars")]
CHANGES = [
    ("classmethod-reinit", lambda: {"from_designation": classmethod(_reader("first"))}, _reinit, False),
    ("staticmethod-reinit", lambda: {"from_designation": staticmethod(_static("first"))}, _reinit, False),
    ("replaced", lambda: {"from_designation": classmethod(_reader("first"))}, _replace, False),
    ("plain-function", lambda: {"from_designation": classmethod(_reader("first"))}, _plain_function, False),
    ("inherited-then-metaclass-property", dict, _meta_property, True),
]


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("make, change, own_meta", [c[1:] for c in CHANGES], ids=[c[0] for c in CHANGES])
def test_reader_changed_between_calls(family, make, change, own_meta):
    same(_with_subclass(family, make, change, own_meta))


def _kept_list(m):
    """A reader returning a list it keeps: create's result is another list."""
    kept = [("kept", "")]
    sub = type(m.layouts.Planar)("Keeper", (m.layouts.Planar,), {"from_designation": classmethod(lambda cls, *a: kept)})
    try:
        found = m.layouts.InterfaceSpecific.create("_Zz", RGB, m.widths.Size([8] * 3))
        found.append("more")
        return found is kept, kept, found
    finally:
        del sub
        gc.collect()


def _growing(m):
    """all_implementations' list grows while create walks it."""
    planar = m.layouts.Planar
    implementations = [planar]

    class Adds:
        @classmethod
        def from_designation(cls, *args):
            if len(implementations) < 4:
                implementations.append(Adds)
            return [("added", args[0])]

    implementations.append(Adds)
    original = m.layouts.all_implementations
    m.layouts.all_implementations = lambda base: implementations
    try:
        return [c if isinstance(c, str) else c.designation() for c, _ in
                m.layouts.InterfaceSpecific.create("_Planar", RGB, m.widths.Size([8] * 3))]
    finally:
        m.layouts.all_implementations = original


@pytest.mark.parametrize("call", [pytest.param(_kept_list, id="kept-list"), pytest.param(_growing, id="growing")])
@needs("widths", "layouts")
def test_candidate_lists(call):
    same(call)
