"""create() asks each implementation's reader as the class has it at that call, whatever it asked before."""

from __future__ import annotations

import abc
import gc
import weakref

import pytest

from corvella.pfnc.genicam.components import Components
from differential import EXTENSION, needs, same

RGB = Components(["R", "G", "B"])


def _reader(tag, bound=True):
    return (lambda cls, text, *rest: [(tag, text)]) if bound else (lambda text, *rest: [(tag, text)])


def _create(m, family):
    if family == "layouts":
        return m.layouts.InterfaceSpecific.create("_Xy", RGB, m.widths.Size([8] * 3))
    return m.scalars.DataTypes.create("Xy", 3)


def _reinit(sub):
    # Rebinding the function inside the descriptor leaves the class as it was.
    descriptor = sub.__dict__["from_designation"]
    descriptor.__init__(_reader("second", isinstance(descriptor, classmethod)))


CHANGES = {
    "classmethod-reinit": (classmethod(_reader("first")), _reinit),
    "staticmethod-reinit": (staticmethod(_reader("first", False)), _reinit),
    "replaced": (classmethod(_reader("first")), lambda sub: setattr(sub, "from_designation", staticmethod(_reader("new", False)))),
    "plain-function": (classmethod(_reader("first")), lambda sub: setattr(sub, "from_designation", _reader("plain"))),
    "metaclass-property": (None, lambda sub: setattr(type(sub), "from_designation", property(lambda c: _reader("meta", False)))),
}


@pytest.mark.parametrize("family", [pytest.param("layouts", marks=needs("widths", "layouts")),
                                    pytest.param("scalars", marks=needs("registry", "scalars"))])
@pytest.mark.parametrize("change", CHANGES)
def test_reader_changed_between_calls(family, change):
    reader, alter = CHANGES[change]

    def call(m):
        meta = type("Meta", (abc.ABCMeta,), {})
        base = m.layouts.Planar if family == "layouts" else m.scalars.CompoundDataTypes
        sub = meta("Sub", (base,), {} if reader is None else {"from_designation": reader.__class__(reader.__func__)})
        try:
            first = [_create(m, family) for _ in range(2)]
            alter(sub)
            return first, _create(m, family)
        finally:
            del sub
            gc.collect()  # a live subclass would be asked by every later create

    same(call)


@pytest.mark.parametrize("family", [pytest.param("layouts", marks=needs("widths", "layouts")),
                                    pytest.param("scalars", marks=needs("registry", "scalars"))])
def test_family_change_seen_after_warm_calls(family):
    # create() takes the family from all_implementations' cache without calling it.
    m = EXTENSION
    tags = lambda: [candidate for candidate, _ in _create(m, family) if isinstance(candidate, str)]  # noqa: E731
    assert tags() == tags() == []
    base = m.layouts.Planar if family == "layouts" else m.scalars.CompoundDataTypes
    late = abc.ABCMeta("Late", (base,), {"from_designation": classmethod(_reader("late"))})
    assert tags() == tags() == ["late"]
    del late
    gc.collect()
    assert tags() == []


def _kept_list(m):
    kept = [("kept", "")]
    sub = abc.ABCMeta("Keeper", (m.layouts.Planar,), {"from_designation": classmethod(lambda cls, *a: kept)})
    try:
        found = m.layouts.InterfaceSpecific.create("_Zz", RGB, m.widths.Size([8] * 3))
        found.append("more")
        return found is kept, kept
    finally:
        del sub
        gc.collect()


def _growing(m):
    implementations = [m.layouts.Planar]

    class Adds:
        @classmethod
        def from_designation(cls, text, *rest):
            if len(implementations) < 5:
                implementations.append(Adds)
            return [("added", text)]

    implementations.append(Adds)
    with_list = lambda base: implementations  # noqa: E731
    original, m.layouts.all_implementations = m.layouts.all_implementations, with_list
    try:
        return m.layouts.InterfaceSpecific.create("_Planar", RGB, m.widths.Size([8] * 3))
    finally:
        m.layouts.all_implementations = original


@pytest.mark.parametrize("call", [_kept_list, _growing], ids=["kept-list", "growing-list"])
@needs("widths", "layouts")
def test_candidate_lists(call):
    same(call)


@needs("widths", "layouts")
def test_asked_subclass_is_collected():
    layouts = EXTENSION.layouts

    class Gone(layouts.Planar):
        @classmethod
        def from_designation(cls, *args):
            return super().from_designation(*args)  # the function holds the class, through __class__

    gone = weakref.ref(Gone)
    for _ in range(2):
        assert len(layouts.InterfaceSpecific.create("_Planar", RGB, EXTENSION.widths.Size([8] * 3))) == 2
    del Gone
    gc.collect()
    assert gone() is None


# A function of the package's own as a caller's class's reader: one that
# takes the reader's four arguments is called as it is, any other fails as
# the call would.
BORROWED = {
    "semi-planar-reader": lambda m: m.layouts.SemiPlanar.from_designation.__func__,
    "designation": lambda m: m.layouts.Planar.designation,
    "other-module": lambda m: m.widths.Size.from_designation,
}


@pytest.mark.parametrize("wrapper", [classmethod, staticmethod])
@pytest.mark.parametrize("reader", BORROWED)
@needs("widths", "layouts")
def test_package_function_as_reader(reader, wrapper):
    def call(m):
        sub = abc.ABCMeta("Borrowed", (m.layouts.Planar,), {"from_designation": wrapper(BORROWED[reader](m))})
        try:
            return m.layouts.InterfaceSpecific.create("_Semiplanar", RGB, m.widths.Size([8] * 3))
        finally:
            del sub
            gc.collect()

    same(call)
