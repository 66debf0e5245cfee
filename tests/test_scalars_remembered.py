"""The data-type reader remembers its lookups between calls: any change to what they found is seen at once."""

import enum
from types import SimpleNamespace

import pytest

import corvella.pfnc.genicam.scalars as scalars
from corvella.pfnc._internal.registry import Registry
from corvella.pfnc.exceptions import PixelFormatValueReject
from corvella.pfnc.genicam.scalars import DATA_TYPE_REGISTRY, CompoundDataTypes, DataTypeRegistry, DataTypes, DefaultDataType

U, S, F = DefaultDataType.UNSIGNED, DefaultDataType.SIGNED, DefaultDataType.FLOAT
AS_READ = [([U, U], "sf"), ([S, F], "")]
ALL_FLOAT = [([U, U], "sf"), ([F, F], "")]


def read(text="sf", channels=2):
    return [(c.scalars, rest) for c, rest in DataTypes.create(text, channels)]


@pytest.fixture
def warm():
    """Every lookup remembered before the test changes what it found."""
    for _ in range(3):
        assert read() == AS_READ
    yield
    assert read() == AS_READ  # and forgotten again once the change is undone


def _store(obj, value):
    obj.resolve = value


def shadow(mp, specialised=False):
    # setattr, so that the instance dict is changed as attributes change it;
    # monkeypatch only removes the name again afterwards.
    mp.setitem(vars(DATA_TYPE_REGISTRY), "resolve", None)
    for _ in range(64 if specialised else 0):
        _store(DataTypeRegistry(), None)  # the interpreter specialises this store for such instances
    _store(DATA_TYPE_REGISTRY, lambda name: F)


def replace_instance_dict(mp):
    # monkeypatch keeps the old dict alive, so no watcher of it hears of the change.
    mp.setattr(DATA_TYPE_REGISTRY, "__dict__", {**DATA_TYPE_REGISTRY.__dict__, "_registry": {"s": F, "f": F}})


def change_class(mp):
    floating = type("Floating", (DataTypeRegistry,), {"resolve": lambda self, name: F})
    mp.setattr(DATA_TYPE_REGISTRY, "__class__", floating)


@pytest.mark.parametrize(
    "change",
    [
        lambda mp: mp.setattr(DataTypeRegistry, "resolve", lambda self, name: F, raising=False),
        lambda mp: mp.setattr(Registry, "resolve", lambda self, name: F),
        shadow,
        lambda mp: shadow(mp, specialised=True),
        lambda mp: mp.setattr(DATA_TYPE_REGISTRY, "_registry", {"s": F, "f": F}),
        replace_instance_dict,
        change_class,
        lambda mp: mp.setattr(scalars, "DATA_TYPE_REGISTRY", Registry({"s": F, "f": F})),
    ],
    ids=["class", "base-class", "instance", "specialised-store", "registry-dict", "instance-dict", "__class__", "global"],
)
def test_registry_changes_are_seen(warm, monkeypatch, change):
    with monkeypatch.context() as mp:
        change(mp)
        assert read() == ALL_FLOAT


@pytest.mark.parametrize(
    "name, value, accepted, refused",
    [
        ("is_data_type", lambda dt: dt is not F, [S], [S, F]),
        ("DataType", DefaultDataType | int, [3, S], [S, "x"]),
        ("get_args", lambda union: (str,), ["x"], [S]),
    ],
)
def test_data_type_check_follows_the_globals(warm, monkeypatch, name, value, accepted, refused):
    with monkeypatch.context() as mp:
        mp.setattr(scalars, name, value)
        CompoundDataTypes(accepted)
        with pytest.raises(PixelFormatValueReject, match="^scalars must only contain DataTypes, got"):
            CompoundDataTypes(refused)


@pytest.mark.parametrize(
    "change",
    [
        lambda mp: mp.setattr(enum.EnumType, "UNSIGNED", property(lambda cls: F), raising=False),
        lambda mp: mp.setattr(scalars, "DefaultDataType", SimpleNamespace(UNSIGNED=F)),
    ],
    ids=["metaclass", "global"],
)
def test_unsigned_follows_the_class(warm, monkeypatch, change):
    with monkeypatch.context() as mp:
        change(mp)
        assert read()[0] == ([F, F], "sf")


def test_own_init_replaced(warm, monkeypatch):
    def init(self, scalars):
        self.scalars = ["seen"] + scalars

    with monkeypatch.context() as mp:
        mp.setattr(CompoundDataTypes, "__init__", init)
        assert read() == [(["seen", U, U], "sf"), (["seen", S, F], "")]
