"""corvella.pfnc.genicam.scalars: data types, their registry, and the data-type designations."""

import enum
import gc
import logging
import weakref

import pytest

import corvella.pfnc.genicam.scalars as scalars
from corvella.pfnc._internal.registry import MappingSnapshot, Registry
from corvella.pfnc.exceptions import DuplicateRegistrationError, ParseReject, PixelFormatValueReject
from corvella.pfnc.genicam.scalars import (
    DATA_TYPE_REGISTRY,
    CompoundDataTypes,
    DataTypeRegistry,
    DataTypes,
    DefaultDataType,
    datatype_name,
    is_data_type,
)

U, S, F = DefaultDataType.UNSIGNED, DefaultDataType.SIGNED, DefaultDataType.FLOAT
DEFAULTS = ["", "s", "f", "u"]


@pytest.fixture(autouse=True)
def shared_registry():
    """Whatever a test does to DATA_TYPE_REGISTRY, the next one finds it as it was."""
    # By hand, not through snapshot/restore: those are under test here.
    contents, default_keys = dict(DATA_TYPE_REGISTRY._registry), set(DATA_TYPE_REGISTRY._default_keys)
    yield DATA_TYPE_REGISTRY
    DATA_TYPE_REGISTRY._registry.clear()
    DATA_TYPE_REGISTRY._registry.update(contents)
    DATA_TYPE_REGISTRY._default_keys.clear()
    DATA_TYPE_REGISTRY._default_keys.update(default_keys)


@pytest.fixture
def debug_log(caplog):
    caplog.set_level(logging.DEBUG, logger=scalars.logger.name)
    return lambda: [r.getMessage() for r in caplog.records if r.name == scalars.logger.name]


def readings(text, channels, reader=CompoundDataTypes.from_designation):
    return [(c.scalars, rest) for c, rest in reader(text, channels)]


# ---------------------------------------------------------------- module


def test_module_globals_in_binding_order():
    names = [n for n in vars(scalars) if not n.startswith("__")]
    assert names == [
        "ABCMeta", "abstractmethod", "Enum", "get_args", "TypeGuard", "getLogger",
        "DuplicateRegistrationError", "NotRegisteredError", "ParseReject", "PixelFormatValueReject",
        "all_implementations", "MappingSnapshot", "Registry", "logger", "DefaultDataType", "DataType",
        "DataTypeRegistry", "DATA_TYPE_REGISTRY", "is_data_type", "datatype_name", "DataTypes", "CompoundDataTypes",
    ]  # fmt: skip
    assert scalars.logger.name == "corvella.pfnc.genicam.scalars"


def test_default_data_type_is_an_enum_in_order():
    assert issubclass(DefaultDataType, enum.Enum)
    assert [(m.name, m.value) for m in DefaultDataType] == [("UNSIGNED", ""), ("SIGNED", "s"), ("FLOAT", "f")]
    assert DefaultDataType("s") is S and str(U) == "DefaultDataType.UNSIGNED"
    assert scalars.DataType == (DefaultDataType | str)
    assert DataTypeRegistry.__orig_bases__ == (Registry[str, scalars.DataType],)


# ---------------------------------------------------------------- registry


def test_register_refusals_leave_registry_unchanged():
    r = DataTypeRegistry()
    r.register("x")
    r.register("y", F)
    r.register("\u00e9")
    for name, error in [("s", DuplicateRegistrationError), ("", DuplicateRegistrationError),
                        ("x", DuplicateRegistrationError), ("xy", ValueError),
                        (type("Sub", (str,), {})("z"), TypeError), (None, TypeError)]:  # fmt: skip
        with pytest.raises(error):
            r.register(name, "v")
    assert list(r) == DEFAULTS + ["x", "y", "\u00e9"] and r.resolve("x") == "x" and r.resolve("y") is F


def test_restore_of_own_dict_keeps_custom_letters(shared_registry):
    shared_registry.register("x")
    shared_registry.register("k")
    own = shared_registry._registry
    shared_registry.restore(MappingSnapshot(shared_registry._registry))
    assert list(shared_registry) == DEFAULTS + ["x", "k"] and shared_registry._registry is own


def test_restore_puts_defaults_first():
    r = DataTypeRegistry()
    r.restore(MappingSnapshot({"z": "z", "u": U, "": U, "s": S, "f": F, "k": F}))
    assert list(r) == DEFAULTS + ["z", "k"] and r.resolve("k") is F


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda m: m.pop("u"), "Snapshot needs to contain default key value mapping u -> DefaultDataType.UNSIGNED."),
        (lambda m: m.update(s=F), "Snapshot needs to contain default key value mapping s -> DefaultDataType.SIGNED."),
        (lambda m: m.pop(""), "Snapshot needs to contain default key value mapping  -> DefaultDataType.UNSIGNED."),
        (lambda m: m.update(zz="zz"), "Custom data types are only allowed to contain one letter."),
        (lambda m: m.update({3: "x"}), "Argument 'name' has incorrect type (expected str, got int)"),
    ],
)
def test_restore_checks_everything_before_changing(change, message):
    r = DataTypeRegistry()
    r.register("x")
    mapping = dict(r._registry)
    change(mapping)
    with pytest.raises((ValueError, TypeError)) as info:
        r.restore(MappingSnapshot(mapping))
    assert str(info.value) == message
    assert list(r) == DEFAULTS + ["x"] and r._default_keys == set(DEFAULTS)


def test_default_snapshot_is_of_the_base_class_even_for_subclasses(shared_registry):
    class Extended(DataTypeRegistry):
        def _register_defaults(self):
            super()._register_defaults()
            self._default_keys.add("e")
            Registry.register(self, "e", "e")

    shared_registry.register("q")
    assert list(Extended()) == DEFAULTS + ["e"]
    for owner in (DataTypeRegistry, Extended):
        assert list(owner.default_snapshot().mapping.items()) == [("", U), ("s", S), ("f", F), ("u", U)]


def test_custom_letters_come_and_go_through_snapshots(shared_registry):
    before = shared_registry.snapshot()
    shared_registry.register("x")
    with_x = shared_registry.snapshot()
    assert readings("xs", 2) == [([U, U], "xs"), (["x", S], "")]
    shared_registry.restore(before)
    assert readings("xs", 2) == [([U, U], "xs")]
    shared_registry.restore(with_x)
    assert readings("x", 3) == [([U] * 3, "x"), (["x"] * 3, "")]
    shared_registry.restore(DataTypeRegistry.default_snapshot())
    assert list(shared_registry) == DEFAULTS


# ---------------------------------------------------------------- is_data_type, datatype_name


def test_is_data_type_and_datatype_name():
    assert [is_data_type(x) for x in ("abc", "", F, None, 3, b"s")] == [True, True, True, False, False, False]
    assert [datatype_name(U), datatype_name(U, [0]), datatype_name(S, True), datatype_name("x", 1)] == ["", "u", "s", "x"]
    assert datatype_name(None) is None
    for wrong, shown in [(5, "int"), (type("Sub", (str,), {})("x"), "Sub")]:
        with pytest.raises(TypeError, match=f"^Expected str, got {shown}$"):
            datatype_name(wrong)


def test_module_globals_are_read_at_call_time(monkeypatch):
    # is_data_type follows DataType; the constructor and designation() follow the functions.
    monkeypatch.setattr(scalars, "DataType", DefaultDataType | int)
    assert is_data_type(3) and not is_data_type("x")
    monkeypatch.setattr(scalars, "DataType", DefaultDataType | str)
    assert is_data_type("x")
    monkeypatch.setattr(scalars, "is_data_type", lambda dt: dt != "s")
    with pytest.raises(PixelFormatValueReject, match="^scalars must only contain DataTypes, got s$"):
        CompoundDataTypes(["s"])
    calls = []
    monkeypatch.setattr(scalars, "datatype_name", lambda dt, **kw: calls.append(kw) or str(dt))
    assert CompoundDataTypes([1, 2]).designation() == "12"
    assert calls == [{}, {}, {"multiple_designators": True}, {"multiple_designators": True}]


# ---------------------------------------------------------------- CompoundDataTypes


@pytest.mark.parametrize(
    "types, text",
    [([S, S, S], "s"), ([U] * 3, ""), ([S, F], "sf"), ([U, S], "us"), ([S, U, U], "suu"), (["x", "x"], "x"), (["x", U], "xu")],
)
def test_designation(types, text):
    assert CompoundDataTypes(types).designation() == text


def test_construction_and_sequence():
    types = [S, F]
    c = CompoundDataTypes(types)
    assert c.scalars is types and len(c) == 2 and c[-1] is F and c[1.9] is F
    types.append(U)
    assert len(c) == 3
    with pytest.raises(PixelFormatValueReject, match="^scalars must only contain DataTypes, got None$"):
        CompoundDataTypes([S, None, 3])
    with pytest.raises(PixelFormatValueReject, match="^scalars must have length > 0$"):
        CompoundDataTypes([])
    with pytest.raises(TypeError, match=r"^Argument 'scalars' has incorrect type \(expected list, got tuple\)$"):
        CompoundDataTypes((S,))
    with pytest.raises(TypeError):
        hash(c)
    with pytest.raises(IndexError):
        c[3]


def test_equality_is_element_wise():
    assert CompoundDataTypes([S, "x"]) == CompoundDataTypes([S, "x"])
    assert CompoundDataTypes([S]) != CompoundDataTypes([F])
    assert CompoundDataTypes([S]) != [S] and CompoundDataTypes([S]) != CompoundDataTypes([S, S])


@pytest.mark.parametrize(
    "text, channels, expected",
    [
        ("sf_x", 2, [([U, U], "sf_x"), ([S, F], "_x")]),
        ("s", 3, [([U] * 3, "s"), ([S] * 3, "")]),
        ("s", 1, [([U], "s"), ([S], "")]),
        ("sx", 3, [([U] * 3, "sx"), ([S] * 3, "x")]),
        ("xs", 2, [([U, U], "xs")]),
        ("sfx", 3, [([U] * 3, "sfx")]),
        ("", 2, [([U, U], "")]),
        ("usu8", 3, [([U] * 3, "usu8"), ([U, S, U], "8")]),
        ("fs", 2.9, [([U, U], "fs"), ([F, S], "")]),
        ("s\u00e9\U0001f600", 1, [([U], "s\u00e9\U0001f600"), ([S], "\u00e9\U0001f600")]),
        ("\U0001f600s", 2, [([U, U], "\U0001f600s")]),
        ("sf", -1, []),
    ],
)
def test_reading(text, channels, expected):
    assert readings(text, channels) == expected
    assert readings(text, channels, DataTypes.create) == expected


def test_reading_zero_and_negative_counts(debug_log):
    assert readings("s", -2) == []
    assert debug_log() == ["Value rejected scalars must have length > 0"]
    with pytest.raises(PixelFormatValueReject, match="^scalars must have length > 0$"):
        DataTypes.create("s", 0)
    with pytest.raises(OverflowError):
        CompoundDataTypes.from_designation("s", 10**30)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: DataTypes.create(None, 1), "Argument 'full_designation' has incorrect type (expected str, got NoneType)"),
        (lambda: CompoundDataTypes.from_designation(type("Sub", (str,), {})("s"), 1),
         "Argument 'full_designation' has incorrect type (expected str, got Sub)"),
        (lambda: DataTypes.create("s", "1"), "Argument 'number_of_channels' has incorrect type (expected int, got str)"),
    ],
)  # fmt: skip
def test_reader_argument_types(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# ---------------------------------------------------------------- DataTypes.create with other implementations


@pytest.fixture
def define():
    """Defines real DataTypes subclasses, and makes sure they are gone afterwards."""
    defined = []

    def make(name, reader):
        cls = type(name, (DataTypes,), {
            "from_designation": staticmethod(reader), "designation": lambda self: "",
            "__len__": lambda self: 0, "__getitem__": lambda self, item: None,
        })  # fmt: skip
        defined.append(weakref.ref(cls))
        return cls

    yield make
    gc.collect()
    assert all(ref() is None for ref in defined)


def test_create_asks_every_implementation(define, debug_log):
    define("Extra", lambda text, channels: [(text, channels)])
    assert DataTypes.create("s", 1)[2:] == [("s", 1)]

    def reject(text, channels):
        raise ParseReject("nope")

    define("Rejecting", reject)
    assert len(DataTypes.create("s", True)) == 3
    assert debug_log() == ["Parsing rejected: nope Rejecting"]


def test_create_lets_other_errors_through(define):
    def fail(text, channels):
        raise KeyError("broken")

    define("Failing", fail)
    with pytest.raises(KeyError, match="broken"):
        DataTypes.create("s", 1)
    with pytest.raises(NotImplementedError):
        DataTypes.from_designation("s", 1)
