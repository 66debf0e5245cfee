"""Registry and MappingSnapshot, checked against the pure-Python model where behaviour is subtle."""

import collections.abc
import copy
import dataclasses
import inspect
import sys
import typing
from types import SimpleNamespace

import pytest

import corvella.pfnc._internal.registry as registry
from corvella.pfnc._internal.registry import MappingSnapshot, Registry
from corvella.pfnc.exceptions import DuplicateRegistrationError, NotRegisteredError
from implementations import assert_same_function
from pfnc_model import registry as model


class Boom(Exception):
    pass


def _shown(arg):
    """The argument itself when pytest can show it, else a stand-in that keeps its identity."""
    if type(arg) in (str, int, float, tuple, list, dict, frozenset, type(None)):
        return arg
    return f"<{type(arg).__name__} at {id(arg):#x}>"


def outcome(call):
    """What a call did, comparable across implementations (the context chain included)."""
    try:
        result = call()
    except Exception as e:
        chain, seen = [], e.__context__
        while seen is not None and len(chain) < 4:
            chain.append((type(seen), tuple(map(_shown, seen.args))))
            seen = seen.__context__
        return ("raised", type(e), str(e), e.__suppress_context__, e.__cause__, chain)
    return ("returned", result)


def same_as_model(script, backend=dict, outer=False):
    """Runs script(registry) on this module and on the model, each with a fresh backend."""

    def run(registry_class):
        reg = registry_class(_registry=backend())
        if not outer:
            return outcome(lambda: script(reg)), reg._registry
        try:
            raise Boom("outer")
        except Boom:
            result = outcome(lambda: script(reg))
            assert sys.exception().args == ("outer",)
        return result, reg._registry

    (ours, our_backend), (theirs, their_backend) = run(Registry), run(model.Registry)
    assert ours == theirs
    assert type(our_backend) is type(their_backend)
    assert getattr(our_backend, "calls", None) == getattr(their_backend, "calls", None)
    return ours


# ---------------------------------------------------------------- module and classes

GLOBALS = [
    ("copy", copy),
    ("Iterator", collections.abc.Iterator),
    ("dataclass", dataclasses.dataclass),
    ("field", dataclasses.field),
    ("Generic", typing.Generic),
    ("TypeVar", typing.TypeVar),
    ("DuplicateRegistrationError", DuplicateRegistrationError),
    ("NotRegisteredError", NotRegisteredError),
    ("T", None),
    ("K", None),
    ("MappingSnapshot", None),
    ("Registry", None),
]


def test_module_globals_in_binding_order():
    names = [name for name, _ in GLOBALS]
    assert [name for name in vars(registry) if name in names] == names
    for name, value in GLOBALS:
        assert value is None or getattr(registry, name) is value
    assert registry.__doc__ == "Registry base class that is used for most custom type registrations."


@pytest.mark.parametrize("name", ["T", "K"])
def test_type_variables_are_plain(name):
    var = getattr(registry, name)
    assert isinstance(var, typing.TypeVar) and var.__name__ == name
    assert (var.__bound__, var.__constraints__, var.__covariant__, var.__contravariant__) == (None, (), False, False)


@pytest.mark.parametrize("name", ["MappingSnapshot", "Registry"])
def test_class_matches_model(name):
    ours, theirs = getattr(registry, name), getattr(model, name)
    assert (ours.__module__, ours.__qualname__) == ("corvella.pfnc._internal.registry", name)
    assert ours.__doc__ == theirs.__doc__
    assert ours.__annotations__ == theirs.__annotations__
    assert ours.__parameters__ == (registry.K, registry.T)
    assert ours.__dataclass_params__.frozen == theirs.__dataclass_params__.frozen
    assert str(inspect.signature(ours)) == str(inspect.signature(theirs))
    assert [(f.name, f.type, f.default, f.default_factory) for f in dataclasses.fields(ours)] == [
        (f.name, f.type, f.default, f.default_factory) for f in dataclasses.fields(theirs)
    ]
    assert typing.get_type_hints(ours) == {dataclasses.fields(ours)[0].name: dict[registry.K, registry.T]}


METHODS = ["register", "snapshot", "restore", "resolve", "get", "__iter__"]


def test_methods_in_class_body_order_and_nothing_more():
    assert [name for name in vars(Registry) if name in METHODS] == METHODS
    for missing in ("__contains__", "__len__", "__getitem__"):
        assert not hasattr(Registry, missing)


@pytest.mark.parametrize("name", METHODS)
def test_method_matches_model(name):
    assert_same_function(getattr(Registry, name), getattr(model.Registry, name), "corvella.pfnc._internal.registry")


def test_generic_subscription_and_subclassing():
    alias = Registry[str, int]
    assert typing.get_origin(alias) is Registry and typing.get_args(alias) == (str, int)
    assert typing.get_args(MappingSnapshot[str, int]) == (str, int)
    with pytest.raises(TypeError):
        Registry[str]

    class Numbers(Registry[str, int]):
        pass

    numbers = Numbers()
    numbers.register("one", 1)
    assert Numbers.__orig_bases__ == (alias,) and numbers.resolve("one") == 1
    assert repr(numbers).endswith("Numbers(_registry={'one': 1})")
    assert dataclasses.fields(Numbers)[0].name == "_registry"
    assert numbers != Registry(_registry={"one": 1})


def test_dataclass_behaviour():
    assert repr(Registry()) == "Registry(_registry={})"
    assert Registry() == Registry() and Registry({"a": 1}) != Registry({"a": 2})
    assert Registry()._registry is not Registry()._registry
    backing = {"a": 1}
    assert Registry(_registry=backing)._registry is backing
    with pytest.raises(TypeError):
        hash(Registry())

    snap = MappingSnapshot({"a": 1})
    assert repr(snap) == "MappingSnapshot(mapping={'a': 1})"
    assert snap == MappingSnapshot(mapping={"a": 1}) and snap != MappingSnapshot({})
    assert hash(MappingSnapshot((1, 2))) == hash(((1, 2),))
    with pytest.raises(TypeError):
        hash(snap)
    with pytest.raises(dataclasses.FrozenInstanceError):
        snap.mapping = {}
    with pytest.raises(dataclasses.FrozenInstanceError):
        del snap.mapping
    with pytest.raises(TypeError):
        MappingSnapshot()
    assert dataclasses.replace(snap, mapping={}).mapping == {}


# ---------------------------------------------------------------- register, resolve, get, iterate


@pytest.mark.parametrize("outer", [False, True], ids=["plain", "while-handling"])
@pytest.mark.parametrize(
    "name",
    [3, "é\u2603", ("x", 1), None, 2.5, frozenset({1})],
    ids=["int", "non-ascii", "tuple", "none", "float", "frozenset"],
)
def test_names_of_any_hashable_type(name, outer):
    def script(reg):
        reg.register(name, "v")
        return outcome(lambda: reg.register(name, "w")), reg.resolve(name), outcome(lambda: reg.resolve("other"))

    duplicate = same_as_model(script, outer=outer)[1][0]
    assert duplicate[:3] == ("raised", DuplicateRegistrationError, f"Value already registered: {name!r}")
    missing = same_as_model(lambda reg: reg.resolve(name), outer=outer)
    assert missing[:3] == ("raised", NotRegisteredError, f"{name} not registered.")
    # A tuple name stays whole as the KeyError's one argument.
    assert missing[5][0] == (KeyError, (name,))


def test_keyword_arguments_and_arity():
    reg = Registry()
    assert reg.register(name="a", value=1) is None
    assert reg.resolve(name="a") == 1
    assert (reg.get(key="a"), reg.get(key="b", default_value=2), reg.get("b")) == (1, 2, None)
    reg.restore(snap=reg.snapshot())
    assert list(reg) == ["a"] and "a" in reg and "b" not in reg
    for call in (
        lambda: reg.register("a"),
        lambda: reg.resolve(),
        lambda: reg.get("a", 1, 2),
        lambda: reg.snapshot(1),
        lambda: reg.restore(),
        lambda: reg.get(name="a"),
        lambda: Registry.register(),
    ):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(TypeError):
        len(reg)
    with pytest.raises(TypeError):
        reg["a"]


class RaisingHash:
    def __hash__(self):
        raise Boom("hash")


class RaisingEq:
    """Hashes like "a", so a lookup meets the registered "a" and compares."""

    def __hash__(self):
        return hash("a")

    def __eq__(self, other):
        raise Boom("eq")


class RaisingRepr:
    def __repr__(self):
        raise Boom("repr")


class RaisingFormat:
    def __format__(self, spec):
        raise Boom("format")


class LoudStr(str):
    def __repr__(self):
        return "<loud>"

    def __format__(self, spec):
        return "LOUD"


@pytest.mark.parametrize("outer", [False, True], ids=["plain", "while-handling"])
@pytest.mark.parametrize(
    "make_name", [RaisingHash, RaisingEq, RaisingRepr, RaisingFormat, lambda: LoudStr("b")]
)
@pytest.mark.parametrize(
    "call",
    [
        lambda reg, name: reg.register(name, 1),
        lambda reg, name: (reg.register(name, 1), reg.register(name, 2)),
        lambda reg, name: reg.resolve(name),
        lambda reg, name: (reg.register(name, 1), reg.resolve(name)),
        lambda reg, name: reg.get(name, "default"),
    ],
    ids=["register", "register-twice", "resolve-missing", "resolve-registered", "get"],
)
def test_names_whose_methods_raise(make_name, call, outer):
    name = make_name()

    def script(reg):
        reg.register("a", 0)
        return outcome(lambda: call(reg, name)), list(reg._registry.values())

    same_as_model(script, outer=outer)


# ---------------------------------------------------------------- backends other than a dict


class LoggedDict(dict):
    """Records which of its methods the registry calls."""

    def __init__(self, *args):
        super().__init__(*args)
        self.calls = []


def _logged(name):
    def method(self, *args):
        self.calls.append(name)
        return getattr(dict, name)(self, *args)

    return method


for _name in ("__contains__", "__getitem__", "__setitem__", "__iter__", "get", "clear", "update", "items", "keys"):
    setattr(LoggedDict, _name, _logged(_name))
del _name


class MissingDict(LoggedDict):
    def __missing__(self, key):
        if key == "fallback":
            return "from __missing__"
        raise KeyError(f"no {key}")


class WrongMissing(LoggedDict):
    def __missing__(self, key):
        raise LookupError(key)


class Pairs(collections.abc.MutableMapping):
    """A mapping that is not a dict at all."""

    def __init__(self, data=()):
        self.data, self.calls = dict(data), []

    def __getitem__(self, key):
        self.calls.append("__getitem__")
        return self.data[key]

    def __setitem__(self, key, value):
        self.calls.append("__setitem__")
        self.data[key] = value

    def __delitem__(self, key):
        self.calls.append("__delitem__")
        del self.data[key]

    def __iter__(self):
        self.calls.append("__iter__")
        return iter(list(self.data))

    def __len__(self):
        return len(self.data)

    def __copy__(self):
        self.calls.append("__copy__")
        return Pairs(self.data)


class ReadOnly(collections.abc.Mapping):
    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0


def _snapshot_contents(reg):
    snap = reg.snapshot()
    mapping = snap.mapping
    return type(snap).__name__, type(mapping), list(mapping.items()) if hasattr(mapping, "items") else mapping


REGISTRY_SCRIPT = [
    lambda reg: reg.register("a", 1),
    lambda reg: reg.register("a", 2),
    lambda reg: reg.register([], 2),
    lambda reg: reg.resolve("a"),
    lambda reg: reg.resolve("zz"),
    lambda reg: reg.resolve("fallback"),
    lambda reg: reg.resolve([]),
    lambda reg: reg.get("a"),
    lambda reg: reg.get("fallback", 0),
    lambda reg: reg.get([], 0),
    lambda reg: list(reg),
    lambda reg: "a" in reg,
    _snapshot_contents,
    lambda reg: reg.restore(MappingSnapshot({"c": 3, "b": 2})),
    lambda reg: reg.restore(MappingSnapshot([("c", 3), ("b", 2)])),
    lambda reg: reg.restore(SimpleNamespace()),
    lambda reg: list(reg),
]


@pytest.mark.parametrize("outer", [False, True], ids=["plain", "while-handling"])
@pytest.mark.parametrize(
    "backend",
    [dict, LoggedDict, MissingDict, WrongMissing, Pairs, ReadOnly, list, lambda: None],
    ids=lambda backend: getattr(backend, "__name__", "none").strip("<>"),
)
def test_backend_used_as_python_code_would(backend, outer):
    same_as_model(lambda reg: [outcome(lambda: step(reg)) for step in REGISTRY_SCRIPT], backend, outer)


# ---------------------------------------------------------------- snapshot and restore


def test_snapshot_is_independent_and_restorable_again():
    reg = Registry()
    value = ["shared"]
    reg.register("b", value)
    reg.register("a", 1)
    backing = reg._registry
    snap = reg.snapshot()
    assert snap.mapping is not backing and snap.mapping["b"] is value
    reg.register("z", 0)
    del backing["a"]
    assert list(snap.mapping) == ["b", "a"]
    for _ in range(2):
        reg.restore(snap)
        assert list(reg) == ["b", "a"] and reg._registry is backing
        reg.register("y", 0)
    snap.mapping["x"] = 1
    assert "x" not in reg


def _failing_pairs():
    yield "cd"
    raise Boom("midway")


class Unreadable:
    def keys(self):
        return ["a"]

    def __getitem__(self, key):
        raise Boom("getitem")


@pytest.mark.parametrize(
    "make_snapshot",
    [
        SimpleNamespace,
        lambda: SimpleNamespace(mapping=None),
        lambda: MappingSnapshot(5),
        lambda: MappingSnapshot(_failing_pairs()),
        lambda: MappingSnapshot([("c", 3), ("d",)]),
        lambda: MappingSnapshot([("c", 3), ([], 4)]),
        lambda: MappingSnapshot(Unreadable()),
    ],
    ids=["no-mapping", "none", "int", "generator-fails", "short-pair", "unhashable", "getitem-raises"],
)
def test_restore_that_cannot_read_leaves_registry_unchanged(make_snapshot):
    def script(reg):
        reg.register("a", 1)
        reg.register("b", 2)
        return outcome(lambda: reg.restore(make_snapshot())), dict(reg._registry)

    assert same_as_model(script)[1][1] == {"a": 1, "b": 2}


@pytest.mark.parametrize(
    "make_mapping",
    [
        lambda reg: reg._registry,
        lambda reg: list(reg._registry.items()),
        lambda reg: (pair for pair in list(reg._registry.items())),
        lambda reg: LoggedDict(reg._registry),
        lambda reg: Pairs(reg._registry),
    ],
    ids=["own-dict", "list-of-pairs", "generator", "dict-subclass", "mapping"],
)
def test_restore_reads_before_it_clears(make_mapping):
    reg = Registry()
    reg.register("b", 2)
    reg.register("a", 1)
    backing = reg._registry
    reg.restore(MappingSnapshot(make_mapping(reg)))
    assert list(backing.items()) == [("b", 2), ("a", 1)] and reg._registry is backing


# ---------------------------------------------------------------- module globals looked up at call time


class RecordingCopy:
    def __init__(self):
        self.calls = []

    def copy(self, value):
        self.calls.append(value)
        return {"copied": True}


def test_snapshot_looks_up_copy_and_mapping_snapshot_when_called(monkeypatch):
    reg = Registry()
    reg.register("a", 1)
    recorder = RecordingCopy()
    monkeypatch.setattr(registry, "copy", recorder)

    class Snapshot(MappingSnapshot):
        pass

    monkeypatch.setattr(registry, "MappingSnapshot", Snapshot)
    snap = reg.snapshot()
    assert type(snap) is Snapshot and snap.mapping == {"copied": True}
    assert recorder.calls == [reg._registry] and recorder.calls[0] is reg._registry
    reg.restore(snap)
    assert len(recorder.calls) == 1 and list(reg) == ["copied"]

    made = []
    monkeypatch.setattr(registry, "MappingSnapshot", lambda *args, **kwargs: made.append((args, kwargs)))
    reg.snapshot()
    assert made == [((), {"mapping": {"copied": True}})]


def test_snapshot_notices_copy_copy_replaced(monkeypatch):
    recorder = RecordingCopy()
    monkeypatch.setattr(copy, "copy", recorder.copy)
    assert Registry().snapshot().mapping == {"copied": True} and recorder.calls == [{}]


@pytest.mark.parametrize(
    "missing, call, message",
    [
        (["MappingSnapshot", "copy"], lambda reg: reg.snapshot(), "name 'MappingSnapshot' is not defined"),
        (["copy"], lambda reg: reg.snapshot(), "name 'copy' is not defined"),
        (["DuplicateRegistrationError"], lambda reg: reg.register("a", 2), "name 'DuplicateRegistrationError' is not"),
        (["NotRegisteredError"], lambda reg: reg.resolve("b"), "name 'NotRegisteredError' is not"),
    ],
)
def test_removed_global_gives_name_error(monkeypatch, missing, call, message):
    reg = Registry({"a": 1})
    for name in missing:
        monkeypatch.delattr(registry, name)
    with pytest.raises(NameError, match=f"^{message}"):
        call(reg)
    assert reg._registry == {"a": 1}


@pytest.mark.parametrize(
    "name, call",
    [
        ("DuplicateRegistrationError", lambda reg: reg.register("a", 2)),
        ("NotRegisteredError", lambda reg: reg.resolve("b")),
    ],
)
def test_replaced_exception_class_is_raised(monkeypatch, name, call):
    monkeypatch.setattr(registry, name, Boom)
    with pytest.raises(Boom):
        call(Registry({"a": 1}))
    monkeypatch.setattr(registry, name, lambda message: "not an exception")
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        call(Registry({"a": 1}))
