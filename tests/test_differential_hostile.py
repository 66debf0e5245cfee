"""Hostile code meets the model and the extensions alike: patched globals, odd objects, foreign builtins.

Each case reads a value through something that counts or changes what it is
asked, so reading it a different number of times or in a different order
shows as a different outcome.
"""

from __future__ import annotations

import builtins
import os
import types

import pytest

from corvella.pfnc.exceptions import NotRegisteredError, ParseReject
from corvella.pfnc.genicam.components import Components, GenicamComponents, LMNLocation
from differential import needs, same
from robustness import DELETE, patched


class Recorder:
    """A stand-in for a builtin that records what it is called with, then defers to it."""

    def __init__(self, real):
        self.real, self.calls = real, []

    def __call__(self, *args):
        self.calls.append(tuple(type(a).__name__ for a in args))
        return self.real(*args)


def recording(module, name, real, action):
    def call(m):
        recorder = Recorder(real)
        with patched(getattr(m, module), name, recorder):
            return action(m), recorder.calls

    return call


class Shrinking:
    """A sizes stand-in whose len() is one less at every reading."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        self.length -= 1
        return self.length + 1


class LongName(str):
    """A channel name whose len() is not its number of characters."""

    def __len__(self):
        return 2 * str.__len__(self)


class Rebinding(int):
    """A size that rebinds the sizes of the Size it sits in when hashed."""

    owner = None

    def __hash__(self):
        if Rebinding.owner is not None:
            Rebinding.owner.sizes = [1]
        return int.__hash__(self)


def _rebinding_designation(m):
    size = m.widths.Size([Rebinding(10), 8])
    Rebinding.owner = size
    try:
        return size.designation()
    finally:
        Rebinding.owner = None


class Mixin:
    def register(self, name, value):
        self.seen = (name, value)
        return super().register(name, value)


def _register_through_mixin(m):
    cls = type("Mixed", (m.scalars.DataTypeRegistry, Mixin), {})
    r = cls()
    r.register("x")
    return getattr(r, "seen", None), list(r._registry)


def _sequence(m, names, text, sizes=3, fields=None):
    components = Components(names) if fields is None else GenicamComponents(names, LMNLocation(fields))
    found = m.layouts.ComponentsSequencing.from_designation(text, components, sizes if not isinstance(sizes, int) else m.widths.Size([8] * sizes))
    return [(c.components, rest) for c, rest in found]


class _Unnamed:
    """An implementation that rejects the text and has no name to log."""

    @classmethod
    def from_designation(cls, *args):
        raise ParseReject("no")

    def __getattr__(self, name):
        raise AttributeError(name)


class _KeyErrorHash:
    def __hash__(self):
        raise KeyError("from hash")

    def __repr__(self):
        return "_KeyErrorHash()"


def _in_foreign_builtins(foreign, expression):
    def call(m):
        scope = {"__builtins__": foreign, "m": m, "Components": Components, "GenicamComponents": GenicamComponents,
                 "LMNLocation": LMNLocation}
        exec(f"result = {expression}", scope)
        return scope["result"]

    return call


_READ_LMN = "m.layouts.ComponentsSequencing.from_designation('YUYV', GenicamComponents(['Y', 'U', 'V'], LMNLocation((2, 1, 1))), m.widths.Size([8, 8, 8]))[0][1]"

CASES = [
    # len(sizes) in step 5 and again in step 6.2
    ("sizes-len-twice", ("widths", "layouts"), lambda m: _sequence(m, ["Y", "U", "V"], "YUYV", Shrinking(3), (2, 1, 1))),
    # max for the fields and for the counts, both through the global
    ("max-both-maxima", ("widths", "layouts"), recording("layouts", "max", max, lambda m: _sequence(m, ["Y", "U", "V"], "YUYV", fields=(2, 1, 1)))),
    # fields the builtin max compares: beyond a machine word, equal maxima, not ints at all
    *[(f"max-fields-{name}", ("widths", "layouts"), lambda m, f=fields: _sequence(m, ["Y", "U", "V"], "YUYV", fields=f))
      for name, fields in [("huge", (2**65, 2**64, 2**64)), ("bool", (True, 1, 1)), ("float", (2.0, 1, 1)),
                           ("tied", (2, 2, 1)), ("empty", ()), ("huge-last", (2, 1, 2**64)), ("negative", (-2, -1, -1))]],
    ("max-in-designation", ("widths",), recording("widths", "max", max, lambda m: m.widths.Size([10, 8]).designation())),
    ("max-in-builtins", ("widths",), lambda m: _with_builtin_max(lambda xs: 99, lambda: m.widths.Size([10, 8]).designation())),
    ("max-deleted", ("widths",), lambda m: _with_builtin_max(DELETE, lambda: (m.widths.Size([8, 8]).designation(), m.widths.Size([10, 8]).designation()))),
    # channel names whose len() is their own
    ("names-own-len", ("widths", "layouts"), lambda m: _sequence(m, [LongName("Y"), "U", "V"], "YUVY_x")),
    ("names-own-len-overshoots", ("widths", "layouts"), lambda m: _sequence(m, ["Y", "U", LongName("V")], "YUV")),
    # names that begin alike, and names wider than one byte a character
    ("names-sharing-first", ("widths", "layouts"), lambda m: _sequence(m, ["Y", "Yb", "V"], "YbYVYb_")),
    ("names-wide", ("widths", "layouts"), lambda m: _sequence(m, ["\u03a9", "U", "V\u00e9"], "U\u03a9V\u00e9V")),
    ("names-own-len-zero", ("widths", "layouts"), lambda m: _sequence(m, ["Y", "U", type("Zero", (str,), {"__len__": lambda s: 0})("V")], "YUV", 2)),
    # register reaches the base through super()
    ("register-mixin", ("registry", "scalars"), _register_through_mixin),
    # the sizes and scalars a designation reads
    ("sizes-read-once", ("widths",), _rebinding_designation),
    ("sizes-mapping", ("widths",), lambda m: m.widths.Size({1: 5}).designation()),
    ("sizes-mapping-zero", ("widths",), lambda m: m.widths.Size({0: 5}).designation()),
    # typing.get_args replaced
    ("get-args-each-call", ("registry", "scalars"), recording("scalars", "get_args", __import__("typing").get_args, lambda m: (m.scalars.is_data_type("s"), m.scalars.is_data_type(3)))),
    # "Parsing rejected": the logger first, then the text
    ("parse-reject-order", ("registry", "scalars"), lambda m: _dispatch_logless(m, "scalars", lambda: m.scalars.DataTypes.create("s", 1))),
    ("parse-reject-order-layouts", ("widths", "layouts"), lambda m: _dispatch_logless(m, "layouts", lambda: m.layouts.InterfaceSpecific.create("_Planar", Components(["Y"]), m.widths.Size([8])))),
    # a tuple bound as NotRegisteredError
    ("not-registered-tuple", ("registry", "scalars"), lambda m: _with_global(m, "scalars", "NotRegisteredError", (KeyError, NotRegisteredError), lambda: [c.designation() for c, _ in m.scalars.CompoundDataTypes.from_designation("sx", 2)])),
    ("not-registered-tuple-not-classes", ("registry", "scalars"), lambda m: _with_global(m, "scalars", "NotRegisteredError", (NotRegisteredError, 5), lambda: m.scalars.CompoundDataTypes.from_designation("x", 2))),
    # an except clause whose class is gone: the NameError keeps what it caught as context
    ("reject-class-deleted", ("widths",), lambda m: _with_global(m, "widths", "PixelFormatValueReject", DELETE, lambda: m.widths.Size.from_designation("10", 2))),
    ("not-registered-deleted", ("registry", "scalars"), lambda m: _with_global(m, "scalars", "NotRegisteredError", DELETE, lambda: m.scalars.CompoundDataTypes.from_designation("x", 2))),
    # a KeyError from the name itself
    ("resolve-key-error-hash", ("registry",), lambda m: m.registry.Registry().resolve(_KeyErrorHash())),
    ("resolve-key-error-hash-data-types", ("registry", "scalars"), lambda m: m.scalars.DATA_TYPE_REGISTRY.resolve(_KeyErrorHash())),
    # the module's builtins, not the caller's
    ("builtins-empty", ("widths", "layouts"), _in_foreign_builtins({}, _READ_LMN)),
    ("builtins-mappingproxy", ("widths", "layouts"), _in_foreign_builtins(types.MappingProxyType({}), _READ_LMN)),
    ("builtins-designation", ("widths",), _in_foreign_builtins({}, "m.widths.Size([10, 8]).designation()")),
    # the C name of a type from a C module
    ("type-name-dotted", ("widths",), lambda m: m.widths.Size.from_designation(os.stat("."), 1)),
    ("type-name-struct-time", ("widths",), lambda m: m.widths.Size.from_designation(__import__("time").gmtime(0), 1)),
]


def _with_builtin_max(value, action):
    with patched(builtins, "max", value):
        return action()


def _with_global(m, module, name, value, action):
    with patched(getattr(m, module), name, value):
        return action()


def _dispatch_logless(m, module, action):
    """create() while the logger is gone and the only implementation has no __name__."""
    with patched(getattr(m, module), "all_implementations", lambda base: [_Unnamed()]), patched(getattr(m, module), "logger", DELETE):
        return action()


@pytest.mark.parametrize("call", [pytest.param(c[2], marks=needs(*c[1]), id=c[0]) for c in CASES])
def test_hostile_code(call):
    same(call)
