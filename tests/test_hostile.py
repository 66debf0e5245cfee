"""Collaborators that misbehave: their error reaches the caller and the module keeps working."""

from __future__ import annotations

import contextlib
import functools
import gc
from types import SimpleNamespace

import pytest

from corvella.pfnc.exceptions import DuplicateRegistrationError, NotRegisteredError, ParseReject, PixelFormatValueReject
from edge_cases import Case, Raises
from robustness import (
    DELETE,
    Boom,
    calling_with,
    extension,
    patched,
    raising,
    returning,
    run_case,
    still_working,
    with_global,
)

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
    Case("restore-generator", lambda m: _restore(p for p in [("a", 1)])(m), {"a": 1}),
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
    return calling_with("widths", "Size", size_class, lambda m: m.widths.Size.from_designation, text, n)


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


# --------------------------------------------------------------------------
# readers that dispatch over all_implementations (scalars and layouts alike)


def _boom(*args):
    raise Boom


class _OddParseReject(ParseReject):
    def __str__(self):
        raise Boom


class _ParseRejectNotStr(ParseReject):
    __str__ = lambda self: 42


def _stand_in(result=None, error=None):
    """An implementation whose reader returns ``result`` or raises a new ``error()``."""

    def from_designation(*args):
        if error is not None:
            raise error()
        return result

    return type("StandIn", (), {"from_designation": staticmethod(from_designation)})


def _boom_after_one():
    yield _stand_in([("first", "")])
    raise Boom


class _Nameless:
    """An implementation that is not a class: it has no __name__ to log."""

    @staticmethod
    def from_designation(*args):
        raise ParseReject("nameless")


def _dispatch_cases(module, create):
    """Cases for one module's create(): its collaborators misbehave one at a time."""

    def dispatch(all_implementations, **more_globals):
        def call(m):
            with contextlib.ExitStack() as stack:
                for name, value in {"all_implementations": all_implementations, **more_globals}.items():
                    stack.enter_context(patched(getattr(m, module), name, value))
                return create(m)

        return call

    def over(*classes):
        return lambda base: list(classes)

    rejecting = _stand_in(error=lambda: ParseReject("no"))
    return [
        Case("all-implementations-raises", dispatch(raising("__call__")), Raises(Boom)),
        Case("all-implementations-not-iterable", dispatch(lambda base: 5), Raises(TypeError)),
        Case("all-implementations-generator", dispatch(lambda base: (c for c in [_stand_in([("a", "b")])])), [("a", "b")]),
        Case("all-implementations-generator-raises", dispatch(lambda base: _boom_after_one()), Raises(Boom)),
        Case("reader-returns-none", dispatch(over(_stand_in(None))), Raises(TypeError)),
        Case("reader-returns-tuple", dispatch(over(_stand_in((("x", "y"),)))), [("x", "y")]),
        Case("reader-returns-non-pairs", dispatch(over(_stand_in([1, "two"]), _stand_in([None]))), [1, "two", None]),
        Case("implementation-not-a-class", dispatch(over(5)), Raises(AttributeError)),
        Case("parse-reject-odd-str", dispatch(over(_stand_in(error=_OddParseReject))), Raises(Boom)),
        Case("parse-reject-str-not-str", dispatch(over(_stand_in(error=_ParseRejectNotStr))), Raises(TypeError)),
        Case("parse-reject-nameless", dispatch(over(_Nameless())), Raises(AttributeError)),
        Case("parse-reject-logger-without-debug", dispatch(over(rejecting), logger=object()), Raises(AttributeError)),
        Case("parse-reject-debug-raises", dispatch(over(rejecting), logger=raising("debug")), Raises(Boom)),
        Case("parse-reject-logger-deleted", dispatch(over(rejecting), logger=DELETE), Raises(NameError)),
        Case("parse-reject-not-a-class", dispatch(over(rejecting), ParseReject=5), Raises(TypeError)),
        Case("parse-reject-skipped", dispatch(over(rejecting, _stand_in([("a", "")]), rejecting)), [("a", "")]),
        Case("value-reject-propagates", dispatch(over(_stand_in(error=lambda: PixelFormatValueReject("v")))), Raises(PixelFormatValueReject)),
    ]


# --------------------------------------------------------------------------
# scalars


def _compound_with(scalars_value, action):
    def call(m):
        compound = m.scalars.CompoundDataTypes(["s"])
        compound.scalars = scalars_value
        return action(compound)

    return call


def _read_types(text, channels):
    def call(m):
        return [(c.designation(), rest) for c, rest in m.scalars.CompoundDataTypes.from_designation(text, channels)]

    return call


class _RaisingLength:
    __len__ = __getitem__ = _boom


@functools.cache
def _data_types_raising_len(base):
    # Registered, not derived: a real subclass would take part in every create().
    base.register(_RaisingLength)
    return _RaisingLength


class _Resolver:
    """A stand-in DATA_TYPE_REGISTRY whose resolve answers with ``answer(letter)``."""

    def __init__(self, answer):
        self.resolve = answer


def _not_registered(letter):
    raise type("Missing", (NotRegisteredError,), {})(letter)


def _fresh_data_type_registry(m, **attributes):
    r = m.scalars.DataTypeRegistry()
    for name, value in attributes.items():
        setattr(r, name, value)
    return r


def _restore_with(change):
    def call(m):
        r = m.scalars.DataTypeRegistry()
        mapping = dict(r._registry)
        change(mapping)
        r.restore(SimpleNamespace(mapping=mapping))

    return call


def _restore_defaults(m):
    return functools.partial(m.scalars.DataTypeRegistry().restore, m.scalars.DataTypeRegistry.default_snapshot())


@functools.cache
def _validating_registry(base):
    return type("Validating", (base,), {"_validate": _boom})


@pytest.fixture(autouse=True, scope="module")
def _forget_validating_registries():
    # A caller's subclass of a piece turns the name memo off while it lives:
    # the tests that run after these must find the pieces as shipped.
    yield
    _validating_registry.cache_clear()


def _fresh(text):
    """A str object of its own, not shared with any other part of the process."""
    return "".join(list(text))


def _tamper(objects, change, kinds=(list,), spare=()):
    """Applies change to every container of kinds that refers to one of objects, except spare."""
    for obj in objects:
        for ref in gc.get_referrers(obj):
            if type(ref) in kinds and not any(ref is s for s in spare):
                change(ref)


class _TamperingKeys(set):
    """_default_keys whose add() finds the defaults being registered and takes one away."""

    def add(self, key):
        super().add(key)
        data_types = _TamperingKeys.members
        # Only a private copy holds exactly these three: the enum's own map and the registry are spared.
        _tamper([data_types.SIGNED], lambda d: d.pop("f", None) if set(d) == {"", "s", "f"} else None, (dict,),
                spare=(data_types._value2member_map_, self.registry))
        gc.collect()


def _defaults_registered_while_tampering(m):
    _TamperingKeys.members = m.scalars.DefaultDataType
    r = m.scalars.DataTypeRegistry()
    r._registry.clear()
    r._default_keys = _TamperingKeys()
    r._default_keys.registry = r._registry
    r._register_defaults()
    return [(key, value.name) for key, value in r._registry.items()]


def _restore_while_tampering(m):
    marker = object()
    cls = type("Tampering", (m.scalars.DataTypeRegistry,), {
        "_validate": lambda self, name, value: _tamper([marker], dict.clear, (dict,), spare=(self._registry,)),
    })
    r = cls()
    r.restore(SimpleNamespace(mapping={**r._registry, "x": marker}))


SCALARS_CASES = _dispatch_cases("scalars", lambda m: m.scalars.DataTypes.create("s", 3)) + [
    # reading letters through the registry as the module names it now
    Case("resolve-raises", with_global("scalars", "DATA_TYPE_REGISTRY", raising("resolve"), _read_types("s", 3)), Raises(Boom)),
    Case("resolve-missing-subclass", with_global("scalars", "DATA_TYPE_REGISTRY", _Resolver(_not_registered), _read_types("s", 3)), [("", "s")]),
    Case("resolve-not-a-type-one-channel", with_global("scalars", "DATA_TYPE_REGISTRY", _Resolver(lambda l: 5), _read_types("s", 1)), Raises(PixelFormatValueReject, "scalars must only contain DataTypes, got 5")),
    Case("resolve-not-a-type-all-channels", with_global("scalars", "DATA_TYPE_REGISTRY", _Resolver(lambda l: 5), _read_types("s", 3)), [("", "s")]),
    Case("registry-deleted", with_global("scalars", "DATA_TYPE_REGISTRY", DELETE, _read_types("s", 3)), Raises(NameError)),
    Case("not-registered-not-a-class", with_global("scalars", "NotRegisteredError", 5, _read_types("x", 3)), Raises(TypeError)),
    Case("default-data-type-replaced", with_global("scalars", "DefaultDataType", object(), _read_types("s", 3)), Raises(AttributeError)),
    Case("compound-odd-reject", calling_with("scalars", "CompoundDataTypes", _reject, lambda m: m.scalars.CompoundDataTypes.from_designation, "s", 3), Raises(Boom)),
    Case("value-reject-logger-without-debug", with_global("scalars", "logger", object(), _read_types("s", -1)), Raises(AttributeError)),
    Case("channels-index", lambda m: m.scalars.CompoundDataTypes.from_designation("s", raising("__index__")), Raises(Boom)),
    # building one
    Case("element-class-attribute", lambda m: m.scalars.CompoundDataTypes([_WeirdClass()]), Raises(Boom)),
    Case("element-str", lambda m: m.scalars.CompoundDataTypes(["s", raising("__str__")]), Raises(Boom)),
    Case("is-data-type-raises", calling_with("scalars", "is_data_type", raising("__call__"), lambda m: m.scalars.CompoundDataTypes, ["s"]), Raises(Boom)),
    Case("is-data-type-bool-raises", calling_with("scalars", "is_data_type", lambda x: raising("__bool__"), lambda m: m.scalars.CompoundDataTypes, ["s"]), Raises(Boom)),
    Case("reject-not-exception", with_global("scalars", "PixelFormatValueReject", str, lambda m: m.scalars.CompoundDataTypes([])), Raises(TypeError)),
    # a list changed or replaced after construction
    Case("designation-iter", _compound_with(raising("__iter__"), lambda c: c.designation()), Raises(Boom)),
    Case("designation-not-str", _compound_with([5, "s"], lambda c: c.designation()), Raises(TypeError, "Expected str, got int")),
    Case("designation-none", _compound_with([None, "s"], lambda c: c.designation()), Raises(TypeError)),
    Case("designation-emptied", _compound_with([], lambda c: c.designation()), ""),
    Case("designation-name-unhashable", calling_with("scalars", "datatype_name", lambda dt, multiple_designators=False: [], lambda m: m.scalars.CompoundDataTypes(["s", "f"]).designation), Raises(TypeError)),
    Case("len-raises", _compound_with(raising("__len__"), len), Raises(Boom)),
    Case("getitem-index", lambda m: m.scalars.CompoundDataTypes(["s"])[raising("__index__")], Raises(Boom)),
    Case("eq-len-raises", lambda m: m.scalars.CompoundDataTypes(["s"]) == _data_types_raising_len(m.scalars.DataTypes)(), Raises(Boom)),
    Case("eq-element-eq", _compound_with([raising("__eq__")], lambda c: c == type(c)(["s"])), Raises(Boom)),
    Case("eq-element-bool", _compound_with([returning("__eq__", raising("__bool__"))], lambda c: c == type(c)(["s"])), Raises(Boom)),
    # the registry's own state replaced
    Case("register-default-keys", lambda m: _fresh_data_type_registry(m, _default_keys=raising("__contains__")).register("x"), Raises(Boom)),
    Case("register-dict", lambda m: _fresh_data_type_registry(m, _registry=raising("__contains__")).register("x"), Raises(Boom)),
    Case("register-validate-overridden", lambda m: _validating_registry(m.scalars.DataTypeRegistry)().register("x"), Raises(Boom)),
    Case("restore-mapping-raises", lambda m: m.scalars.DataTypeRegistry().restore(_SnapRaises()), Raises(Boom)),
    Case("restore-value-ne", _restore_with(lambda mp: mp.update(s=raising("__ne__"))), Raises(Boom)),
    Case("restore-value-ne-bool", _restore_with(lambda mp: mp.update(s=returning("__ne__", raising("__bool__")))), Raises(Boom)),
    Case("restore-default-keys-iter", lambda m: _fresh_data_type_registry(m, _default_keys=raising("__iter__", __contains__=lambda s, k: True)).restore(m.scalars.DataTypeRegistry.default_snapshot()), Raises(Boom)),
    Case("restore-defaults-unreadable", calling_with("scalars", "DefaultDataType", raising("__iter__"), _restore_defaults), Raises(Boom)),
    Case("default-snapshot-class-raises", calling_with("scalars", "DataTypeRegistry", raising("__call__"), lambda m: m.scalars.DataTypeRegistry.default_snapshot), Raises(Boom)),
    # telling and naming data types
    Case("is-data-type-get-args", calling_with("scalars", "get_args", raising("__call__"), lambda m: m.scalars.is_data_type, "s"), Raises(Boom)),
    Case("is-data-type-no-members", calling_with("scalars", "DataType", 5, lambda m: m.scalars.is_data_type, "s"), False),
    Case("is-data-type-class-attribute", lambda m: m.scalars.is_data_type(_WeirdClass()), Raises(Boom)),
    Case("datatype-name-bool", lambda m: m.scalars.datatype_name("s", raising("__bool__")), Raises(Boom)),
    Case("datatype-name-class-attribute", lambda m: m.scalars.datatype_name(_WeirdClass()), Raises(Boom)),
    Case("datatype-name-default-not-class", calling_with("scalars", "DefaultDataType", 5, lambda m: m.scalars.datatype_name, "s"), Raises(TypeError)),
    # private containers, found through gc.get_referrers and changed from a callback
    Case("referrers-defaults", _defaults_registered_while_tampering, [("", "UNSIGNED"), ("s", "SIGNED"), ("f", "FLOAT"), ("u", "UNSIGNED")]),
    Case("referrers-restore-mapping", _restore_while_tampering, Raises(ValueError)),
]


@pytest.mark.parametrize("case", SCALARS_CASES, ids=[c.id for c in SCALARS_CASES])
def test_scalars(case):
    m = extension("registry", "scalars")
    run_case(m, case)
    still_working(m)


# --------------------------------------------------------------------------
# layouts


def _yuv(components=None):
    from corvella.pfnc.genicam.components import Components

    return components if components is not None else Components(["Y", "U", "V"])


def _sequence(text, components=None, sizes=None, reader="ComponentsSequencing"):
    def call(m):
        size = sizes(m) if callable(sizes) else m.widths.Size([8, 8, 8])
        found = getattr(m.layouts, reader).from_designation(text, _yuv(components), size)
        return [(c.designation(), rest) for c, rest in found]

    return call


def _lmn(fields, names=("Y", "U", "V")):
    from corvella.pfnc.genicam.components import GenicamComponents, LMNLocation

    return GenicamComponents(list(names), LMNLocation(fields))


class _Channels:
    """Channels Y, U, V behind a __len__ that may promise more than there is."""

    def __init__(self, length=3):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        from corvella.pfnc.genicam.components import Channel

        if i >= 3:
            raise IndexError(i)
        return Channel("YUV"[i])


class _ClassRaises(_Channels):
    @property
    def __class__(self):
        raise Boom


def _size_changed(change):
    def make(m):
        size = m.widths.Size([8, 8, 8])
        change(size)
        return size

    return make


class _Occurrence(int):
    """A field of the LMN location that cannot be multiplied."""

    __mul__ = __rmul__ = _boom


def _refusing(error):
    """A class whose construction raises ``error()``; no subclass, so no dispatch ever finds it."""

    def __init__(self, *args):
        raise error()

    return type("Refusing", (), {"__init__": __init__})


def _read_as(cls_name, refusing, text, components=None, sizes=None):
    """cls_name's reader run for the class ``refusing`` (as a subclass's reader would be)."""

    def call(m):
        reader = vars(getattr(m.layouts, cls_name))["from_designation"].__func__
        return reader(refusing, text, _yuv(components), m.widths.Size([8] * 3))

    return call


class _TamperingFields(tuple):
    """LMN fields whose iteration changes every list that holds one of the channel names."""

    def __new__(cls, fields, names, change):
        self = super().__new__(cls, fields)
        self.names, self.change = names, change
        return self

    def __iter__(self):
        _tamper(self.names, self.change)
        return super().__iter__()


def _read_while_tampering(change):
    def call(m):
        names = tuple(_fresh(n) for n in ("Ya", "Ub", "Vc"))
        fields = _TamperingFields((2, 1, 1), names, change)
        found = m.layouts.ComponentsSequencing.from_designation("YaUbYaVc_", _yuv(_lmn(fields, names)), m.widths.Size([8] * 3))
        return [(c.designation(), rest) for c, rest in found]

    return call


LAYOUTS_CASES = _dispatch_cases("layouts", lambda m: m.layouts.InterfaceSpecific.create("_UYVY", _yuv(), m.widths.Size([8] * 3))) + [
    # the components and what channel_name makes of them
    Case("components-len", _sequence("UYVY", raising("__len__")), Raises(Boom)),
    Case("components-getitem", _sequence("UYVY", raising("__getitem__", __len__=lambda s: 3)), Raises(Boom)),
    Case("components-len-lies", _sequence("UYVY", _Channels(10**12)), Raises(IndexError)),
    Case("components-len-huge", _sequence("UYVY", _Channels(2**64)), Raises(OverflowError)),
    Case("channel-name-raises", with_global("layouts", "channel_name", raising("__call__"), _sequence("UYVY")), Raises(Boom)),
    Case("channel-name-not-str", with_global("layouts", "channel_name", lambda c: 5, _sequence("UYVY")), Raises(TypeError)),
    Case("channel-name-str-subclass", with_global("layouts", "channel_name", lambda c: type("Name", (str,), {})(c.name), _sequence("UYVY")), [("UYVY", "")]),
    Case("channel-name-deleted", with_global("layouts", "channel_name", DELETE, _sequence("UYVY")), Raises(NameError)),
    # the sizes, also changed after construction
    Case("sizes-len", _sequence("UYVY", sizes=lambda m: raising("__len__")), Raises(Boom)),
    Case("sizes-list-cleared", _sequence("UYVY", sizes=_size_changed(lambda s: s.sizes.clear())), []),
    Case("sizes-list-grown", _sequence("UYVY", sizes=_size_changed(lambda s: s.sizes.append(8))), []),
    Case("sizes-list-replaced", _sequence("UYVY", sizes=_size_changed(lambda s: setattr(s, "sizes", raising("__len__")))), Raises(Boom)),
    Case("sizes-list-deleted", _sequence("UYVY", sizes=_size_changed(lambda s: delattr(s, "sizes"))), Raises(AttributeError)),
    # the LMN location
    Case("genicam-not-a-class", with_global("layouts", "GenicamComponents", 5, _sequence("UYVY")), Raises(TypeError)),
    Case("components-class-attribute", _sequence("UYVY", _ClassRaises()), Raises(Boom)),
    Case("fields-len", _sequence("YUYV", _lmn(raising("__len__"))), Raises(Boom)),
    Case("fields-iter", _sequence("YUYV", _lmn(raising("__iter__", __len__=lambda s: 3))), Raises(Boom)),
    Case("fields-not-numbers", _sequence("YUYV", _lmn(("2", "1", "1"))), Raises(TypeError, "Expected int, got str")),
    Case("fields-not-multipliable", _sequence("YUYV", _lmn((_Occurrence(2), _Occurrence(1), _Occurrence(1)))), Raises(Boom)),
    Case("fields-empty", _sequence("", _lmn(()), sizes=lambda m: m.widths.Size([])), Raises(ValueError)),
    Case("max-replaced", with_global("layouts", "max", raising("__call__"), _sequence("YUYV", _lmn((2, 1, 1)))), Raises(Boom)),
    Case("lmn-not-a-class", with_global("layouts", "LMNLocation", 5, _sequence("YUYV", _lmn((2, 1, 1)))), Raises(TypeError)),
    # implementations that refuse to be built
    Case("sequencing-init-odd-reject", _read_as("ComponentsSequencing", _refusing(_OddReject), "UYVY"), Raises(Boom)),
    Case("sequencing-init-rejects", _read_as("ComponentsSequencing", _refusing(lambda: PixelFormatValueReject("no")), "UYVY"), []),
    Case("planar-init-odd-reject", _read_as("Planar", _refusing(_OddReject), "Planar"), Raises(Boom)),
    Case("planar-init-raises", _read_as("SemiPlanar", _refusing(Boom), "Semiplanar"), Raises(Boom)),
    Case("planar-reject-logger-without-debug", with_global("layouts", "logger", object(), _read_as("Planar", _refusing(lambda: PixelFormatValueReject("no")), "Planar")), Raises(AttributeError)),
    # a sequencing whose names were replaced
    Case("sequencing-designation-not-str", lambda m: _with_components(m, (5,)).designation(), Raises(TypeError)),
    Case("sequencing-designation-not-iterable", lambda m: _with_components(m, 5).designation(), Raises(TypeError)),
    Case("sequencing-eq-elements", lambda m: _with_components(m, (raising("__eq__"),)) == _with_components(m, (raising("__eq__"),)), Raises(Boom)),
    Case("sequencing-eq-global-deleted", calling_with("layouts", "ComponentsSequencing", DELETE, lambda m: _with_components(m, ("Y",)).__eq__, None), Raises(NameError)),
    # the channel names, found through gc.get_referrers and changed from a callback
    Case("referrers-names-cleared", _read_while_tampering(list.clear), [("YaUbYaVc", "_")]),
    Case("referrers-names-replaced", _read_while_tampering(lambda names: names.__setitem__(slice(None), [_fresh("Q" * 40)] * len(names))), [("YaUbYaVc", "_")]),
]


def _with_components(m, components):
    sequencing = m.layouts.ComponentsSequencing(("Y",))
    sequencing.components = components
    return sequencing


@pytest.mark.parametrize("case", LAYOUTS_CASES, ids=[c.id for c in LAYOUTS_CASES])
def test_layouts(case):
    m = extension("widths", "layouts")
    run_case(m, case)
    still_working(m)
