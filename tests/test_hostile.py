"""Collaborators that misbehave: their error reaches the caller and the module keeps working."""

from __future__ import annotations

import functools
from types import SimpleNamespace

import pytest

from corvella.pfnc.exceptions import DuplicateRegistrationError, NotRegisteredError, PixelFormatValueReject
from edge_cases import Case, Raises
from robustness import DELETE, Boom, extension, patched, raising, returning, run_case, still_working, with_global

# --------------------------------------------------------------------------
# registry


def _registry_with(m, names):
    r = m.registry.Registry()
    r._registry = names
    return r


def _colliding():
    # Equal hashes make `in` fall back to __eq__, which raises.
    return raising("__eq__", __hash__=lambda self: 1)


def _registered(m, *names):
    r = m.registry.Registry()
    for name in names:
        r.register(name, 1)
    return r


def _register_twice(name):
    def call(m):
        r = m.registry.Registry()
        r.register(name, 1)
        r.register(name, 2)

    return call


def _restore(mapping):
    def call(m):
        r = m.registry.Registry()
        r.register("kept", 1)
        r.restore(SimpleNamespace(mapping=mapping))
        return dict(r._registry)

    return call


class _OddDuplicate(DuplicateRegistrationError):
    def __str__(self):
        raise Boom


class _OddNotRegistered(NotRegisteredError):
    __str__ = __repr__ = lambda self: 42


class _SnapRaises:
    @property
    def mapping(self):
        raise Boom


class _RegistryProperty:
    """A subclass body whose `_registry` cannot be read."""

    @property
    def _registry(self):
        raise Boom

    @_registry.setter
    def _registry(self, value):
        pass


@functools.cache
def _broken_registry_class(registry_class):
    return type("Broken", (_RegistryProperty, registry_class), {})


def _registry_subclass(method, *args):
    def call(m):
        return getattr(_broken_registry_class(m.registry.Registry)(), method)(*args)

    return call


class _Missing(KeyError):
    pass


def _missing(self, key):
    raise _Missing(key)

REGISTRY_CASES = [
    # the names themselves
    Case("register-hash", lambda m: m.registry.Registry().register(raising("__hash__"), 1), Raises(Boom)),
    Case("register-eq", lambda m: _registered(m, _colliding(), _colliding()), Raises(Boom)),
    Case("duplicate-repr", _register_twice(raising("__repr__")), Raises(Boom)),
    Case("duplicate-repr-not-str", _register_twice(returning("__repr__", 5)), Raises(TypeError)),
    Case("resolve-hash", lambda m: m.registry.Registry().resolve(raising("__hash__")), Raises(Boom)),
    Case("resolve-format", lambda m: m.registry.Registry().resolve(raising("__format__")), Raises(Boom)),
    Case("resolve-str", lambda m: m.registry.Registry().resolve(raising("__str__")), Raises(Boom)),
    Case("resolve-format-not-str", lambda m: m.registry.Registry().resolve(returning("__format__", 5)), Raises(TypeError)),
    Case("get-hash", lambda m: m.registry.Registry().get(raising("__hash__"), 0), Raises(Boom)),
    # the package's exceptions replaced
    Case("duplicate-odd-str", with_global("registry", "DuplicateRegistrationError", _OddDuplicate, _register_twice("x")), Raises(_OddDuplicate)),
    Case("duplicate-not-exception", with_global("registry", "DuplicateRegistrationError", str, _register_twice("x")), Raises(TypeError)),
    Case("duplicate-class-raises", with_global("registry", "DuplicateRegistrationError", raising("__call__"), _register_twice("x")), Raises(Boom)),
    Case("duplicate-deleted", with_global("registry", "DuplicateRegistrationError", DELETE, _register_twice("x")), Raises(NameError)),
    Case("missing-odd-str", with_global("registry", "NotRegisteredError", _OddNotRegistered, lambda m: m.registry.Registry().resolve("x")), Raises(_OddNotRegistered)),
    Case("missing-not-exception", with_global("registry", "NotRegisteredError", list, lambda m: m.registry.Registry().resolve("x")), Raises(TypeError)),
    Case("missing-deleted", with_global("registry", "NotRegisteredError", DELETE, lambda m: m.registry.Registry().resolve("x")), Raises(NameError)),
    # the dict replaced by something else
    Case("register-contains", lambda m: _registry_with(m, raising("__contains__")).register("x", 1), Raises(Boom)),
    Case("register-setitem", lambda m: _registry_with(m, raising("__setitem__", __contains__=lambda s, k: False)).register("x", 1), Raises(Boom)),
    Case("resolve-getitem", lambda m: _registry_with(m, raising("__getitem__")).resolve("x"), Raises(Boom)),
    Case("resolve-keyerror-subclass", lambda m: _registry_with(m, raising(__getitem__=_missing)).resolve("x"), Raises(NotRegisteredError, "x not registered.")),
    Case("get-no-get", lambda m: _registry_with(m, object()).get("x"), Raises(AttributeError)),
    Case("iter-raises", lambda m: iter(_registry_with(m, raising("__iter__"))), Raises(Boom)),
    Case("iter-not-iterator", lambda m: iter(_registry_with(m, returning("__iter__", 5))), Raises(TypeError)),
    Case("snapshot-copy-raises", lambda m: _registry_with(m, raising("__reduce_ex__")).snapshot(), Raises(Boom)),
    Case("restore-no-clear", lambda m: _registry_with(m, object()).restore(m.registry.MappingSnapshot({})), Raises(AttributeError)),
    Case("no-dict-at-all", lambda m: delattr(r := m.registry.Registry(), "_registry") or r.register("x", 1), Raises(AttributeError)),
    *[
        Case(f"property-{method}", _registry_subclass(method, *args), Raises(Boom))
        for method, args in [("register", ("x", 1)), ("resolve", ("x",)), ("get", ("x",)), ("snapshot", ()), ("restore", (SimpleNamespace(mapping={}),)), ("__iter__", ())]
    ],
    # copy and MappingSnapshot replaced
    Case("copy-without-copy", with_global("registry", "copy", object(), lambda m: m.registry.Registry().snapshot()), Raises(AttributeError)),
    Case("copy-raises", with_global("registry", "copy", SimpleNamespace(copy=raising("__call__")), lambda m: m.registry.Registry().snapshot()), Raises(Boom)),
    Case("copy-returns-int", with_global("registry", "copy", SimpleNamespace(copy=len), lambda m: m.registry.Registry().snapshot().mapping), 0),
    Case("snapshot-class-raises", with_global("registry", "MappingSnapshot", raising("__call__"), lambda m: m.registry.Registry().snapshot()), Raises(Boom)),
    Case("snapshot-class-deleted", with_global("registry", "MappingSnapshot", DELETE, lambda m: m.registry.Registry().snapshot()), Raises(NameError)),
    # snapshots that are not what they claim
    Case("restore-mapping-raises", lambda m: m.registry.Registry().restore(_SnapRaises()), Raises(Boom)),
    Case("restore-mapping-int", _restore(5), Raises(TypeError)),
    Case("restore-keys-raise", _restore(raising("keys")), Raises(Boom)),
    Case("restore-getitem-raises", _restore(raising("__getitem__", keys=lambda self: ["a"])), Raises(Boom)),
    Case("restore-not-pairs", _restore([(1, 2, 3)]), Raises(ValueError)),
    Case("restore-unhashable-key", _restore([(raising("__hash__"), 1)]), Raises(Boom)),
    Case("restore-generator", _restore((p for p in [("a", 1)])), lambda d: d in ({"a": 1}, {})),
]


@pytest.mark.parametrize("case", REGISTRY_CASES, ids=[c.id for c in REGISTRY_CASES])
def test_registry(case):
    m = extension("registry")
    run_case(m, case)
    still_working(m)


# --------------------------------------------------------------------------
# widths


class _OddReject(PixelFormatValueReject):
    def __str__(self):
        raise Boom


def _reject(*args):
    raise _OddReject("odd")


def _size_with(sizes, action):
    def call(m):
        size = m.widths.Size([8])
        size.sizes = sizes
        return action(size)

    return call


def _without_sizes(m):
    size = m.widths.Size([8])
    del size.sizes
    return size


def _read_with_size(size_class, text, n):
    """Size.from_designation(text, n) while the module's global `Size` is size_class."""

    def call(m):
        read = m.widths.Size.from_designation
        with patched(m.widths, "Size", size_class):
            return read(text, n)

    return call


def _clears_list(m):
    """An element whose comparison empties the list being checked."""
    sizes = [8]
    sizes.append(raising(__le__=lambda self, other: sizes.clear() or True))
    m.widths.Size(sizes)


class _WeirdClass:
    @property
    def __class__(self):
        raise Boom


WIDTHS_CASES = [
    # construction
    Case("sizes-iter", lambda m: m.widths.Size(raising("__iter__")), Raises(Boom)),
    Case("sizes-next", lambda m: m.widths.Size(iter(raising("__next__", __iter__=lambda s: s))), Raises(Boom)),
    Case("element-le", lambda m: m.widths.Size([8, raising("__le__")]), Raises(Boom)),
    Case("element-le-bool", lambda m: m.widths.Size([returning("__le__", raising("__bool__"))]), Raises(Boom)),
    Case("element-repr", lambda m: m.widths.Size([raising("__repr__", __le__=lambda s, o: True)]), Raises(Boom)),
    Case("sizes-format", lambda m: m.widths.Size(raising("__format__", __iter__=lambda s: iter([0]))), Raises(Boom)),
    Case("sizes-format-not-str", lambda m: m.widths.Size(returning("__format__", 5, base=type("It", (), {"__iter__": lambda s: iter([0])}))), Raises(TypeError)),
    Case("list-cleared-while-checked", _clears_list, Raises(PixelFormatValueReject, "Sizes must all be larger than 0 [].")),
    Case("reject-odd-str", with_global("widths", "PixelFormatValueReject", _OddReject, lambda m: m.widths.Size([0])), Raises(_OddReject)),
    Case("reject-not-exception", with_global("widths", "PixelFormatValueReject", str, lambda m: m.widths.Size([0])), Raises(TypeError)),
    Case("reject-deleted", with_global("widths", "PixelFormatValueReject", DELETE, lambda m: m.widths.Size([0])), Raises(NameError)),
    # the sequence protocol over a replaced list
    Case("len-raises", _size_with(raising("__len__"), len), Raises(Boom)),
    Case("len-negative", _size_with(returning("__len__", -1), len), Raises(ValueError)),
    Case("len-huge", _size_with(returning("__len__", 2**64), len), Raises(OverflowError)),
    Case("len-not-int", _size_with(returning("__len__", "3"), len), Raises(TypeError)),
    Case("len-none", _size_with(None, len), Raises(TypeError)),
    Case("item-index", lambda m: m.widths.Size([8])[raising("__index__")], Raises(Boom)),
    Case("item-int", lambda m: m.widths.Size([8])[raising("__int__")], Raises(Boom)),
    Case("item-int-not-int", lambda m: m.widths.Size([8])[returning("__int__", "0")], Raises(TypeError)),
    Case("item-huge", lambda m: m.widths.Size([8])[returning("__index__", 2**70)], Raises(IndexError)),
    Case("item-getitem", _size_with(raising("__getitem__"), lambda s: s[0]), Raises(Boom)),
    Case("item-dict", _size_with({0: 9}, lambda s: s[0]), 9),
    # equality
    Case("eq-elements", lambda m: m.widths.Size([raising("__eq__", __le__=lambda s, o: False)]) == m.widths.Size([raising("__eq__", __le__=lambda s, o: False)]), Raises(Boom)),
    Case("eq-class-attribute", lambda m: m.widths.Size([8]) == _WeirdClass(), Raises(Boom)),
    Case("eq-size-not-class", with_global("widths", "Size", 5, lambda m: m.widths.Size.__eq__(m.widths.Size([8]), 0)), Raises(TypeError)),
    Case("eq-other-sizes-deleted", lambda m: m.widths.Size([8]) == _without_sizes(m), Raises(AttributeError)),
    # composing from whatever the list holds now
    Case("designation-hash", _size_with([raising("__hash__"), 8], lambda s: s.designation()), Raises(Boom)),
    Case("designation-str", _size_with([raising("__str__")] * 2, lambda s: s.designation()), Raises(Boom)),
    Case("designation-compare", _size_with([8, raising("__gt__", "__lt__")], lambda s: s.designation()), Raises(Boom)),
    Case("designation-int", _size_with([8, raising("__int__", __gt__=lambda s, o: True, __lt__=lambda s, o: False)], lambda s: s.designation()), Raises(Boom)),
    Case("designation-str-not-str", _size_with([8, 9, returning("__str__", 5, base=int)], lambda s: s.designation()), Raises(TypeError)),
    Case("designation-generator", _size_with((x for x in [8]), lambda s: s.designation()), Raises(TypeError)),
    Case("designation-tuple", _size_with((8, 10), lambda s: s.designation()), "0810"),
    Case("designation-negative", _size_with([-5, 10], lambda s: s.designation()), "-510"),
    Case("designation-int-extremes", _size_with([-(2**63), 5, 2**64], lambda s: s.designation()), "-92233720368547758080000000000000000000518446744073709551616"),
    Case("designation-bools", _size_with([True, 2], lambda s: s.designation()), "True2"),
    # reading, with the module's own names replaced
    Case("channels-index", lambda m: m.widths.Size.from_designation("8", raising("__index__")), Raises(Boom)),
    Case("channels-int", lambda m: m.widths.Size.from_designation("8", raising("__int__")), Raises(Boom)),
    Case("channels-int-float", lambda m: m.widths.Size.from_designation("8", returning("__int__", 2.5)), Raises(TypeError)),
    *[Case(f"size-raises-{text}-{n}", _read_with_size(raising("__call__"), text, n), Raises(Boom)) for text, n in [("8", 0), ("8", 2), ("88", 2)]],
    Case("size-returns-int", _read_with_size(len, "565p", 3), (3, "p")),
    Case("size-odd-reject-split", _read_with_size(_reject, "88", 2), None),
    Case("size-odd-reject-whole", _read_with_size(_reject, "8", 2), Raises(_OddReject)),
    Case("reject-global-not-class", with_global("widths", "PixelFormatValueReject", 5, lambda m: m.widths.Size.from_designation("10", 2)), Raises(TypeError)),
]


@pytest.mark.parametrize("case", WIDTHS_CASES, ids=[c.id for c in WIDTHS_CASES])
def test_widths(case):
    m = extension("widths")
    run_case(m, case)
    still_working(m)
