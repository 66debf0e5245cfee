"""The memo of name readers: it gives what the reader would give, after every change a reading depends on."""

import gc
import importlib
import pkgutil
import sys

import pytest

from corvella.pfnc.genicam import layouts, scalars, widths
from corvella.pfnc.names._memo import cached_reader


def reading(name):
    """Reads the pieces as a whole-name reader would, so that every dependency shows."""
    from corvella.pfnc.genicam.components import GenicamComponents, LMNLocation

    components = GenicamComponents(["Y", "U", "V"], LMNLocation((2, 1, 1)))
    found = widths.Size.from_designation(name, 3)
    if found is None:
        raise ValueError(name)
    size, rest = found
    created = scalars.DataTypes.create(rest, 3)
    suffixes = [(s.designation(), r) for d, r in created for s, r in layouts.InterfaceSpecific.create(r, components, size)]
    return (size.designation(), tuple((d.designation(), r) for d, r in created), tuple(suffixes))


def subclass():
    class Late(layouts.InterfaceSpecific):
        def designation(self):
            return "Late"

        @classmethod
        def from_designation(cls, full_designation, components, sizes):
            return [(cls(), full_designation[4:])] if full_designation.startswith("Late") else []

    keep = [Late]
    return keep.clear


def registered(letter):
    snapshot = scalars.DATA_TYPE_REGISTRY.snapshot()
    scalars.DATA_TYPE_REGISTRY.register(letter, letter)
    return lambda: scalars.DATA_TYPE_REGISTRY.restore(snapshot)


def patched(module, name, value):
    old = getattr(module, name)
    setattr(module, name, value)
    return lambda: setattr(module, name, old)


CHANGES = {
    "registry": lambda: registered("q"),
    "global": lambda: patched(layouts, "all_implementations", lambda cls: []),
    # The sampling check's two maxima (of the fields, of the counts) disagree, so "8_YUYV" stops reading.
    "builtin": lambda: patched(__import__("builtins"), "max", lambda values: 2 if type(values) is type({}.values()) else 1),
    "class attribute": lambda: patched(layouts.Planar, "designation", lambda self: "Flat"),
    "subclass": subclass,
}
NAMES = ["8q_Late", "8_Late", "8_Planar", "8_YUYV"]


@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("cached", [True, False], ids=["memo", "plain"])
def test_each_change_a_reading_depends_on_changes_the_answer(change, cached):
    calls = []

    def counted(name):
        calls.append(name)
        return reading(name)

    read = cached_reader(counted) if cached else counted
    gc.collect()  # subclasses of the pieces made by other tests turn the memo off while they live
    before = [reading(n) for n in NAMES]
    assert [read(n) for n in NAMES + NAMES] == before + before
    assert len(calls) == (4 if cached else 8)
    undo = CHANGES[change]()
    try:
        during = [reading(n) for n in NAMES]
        got = [read(n) for n in NAMES]
    finally:
        undo()
        gc.collect()
    assert during != before
    assert got == during
    assert [read(n) for n in NAMES] == before


def test_a_callers_subclass_keeps_nothing_alive():
    import weakref

    read = cached_reader(reading)
    undo = subclass()
    gone = weakref.ref(layouts.InterfaceSpecific.__subclasses__()[-1])
    assert read("8_Late") == reading("8_Late")
    undo()
    gc.collect()
    assert gone() is None
    assert read("8_Late") == reading("8_Late")


def test_a_callers_class_built_from_c_can_still_be_collected():
    import weakref

    class Sub(layouts.Planar):
        def __init__(self):  # its __class__ cell refers to Sub
            super().__init__()

    [(made, rest)] = Sub.from_designation("Planar", None, None)
    assert type(made) is Sub and rest == ""
    gone = weakref.ref(Sub)
    del Sub, made
    gc.collect()
    assert gone() is None
    assert type(layouts.Planar.from_designation("Planar", None, None)[0][0]) is layouts.Planar


def test_the_memo_presents_the_reader_and_passes_other_calls_through():
    calls = []

    def read(key, extra=None):
        """Reads a key."""
        calls.append((key, extra))
        if key == "bad":
            raise ValueError(key)
        return [key]

    memo = cached_reader(read)
    assert memo.__wrapped__ is read and memo.__doc__ == "Reads a key." and memo.__name__ == "read"
    assert memo("a") is memo("a") and memo(7) is memo(7)
    memo(True), memo(True), memo("a", 1), memo(key="a")
    for _ in range(2):
        with pytest.raises(ValueError):
            memo("bad")
    assert calls == [("a", None), (7, None), (True, None), (True, None), ("a", 1), ("a", None),
                     ("bad", None), ("bad", None)]
    holder = type("Holder", (), {"read": memo})
    assert holder.read is memo and holder().read is memo
    memo.cache_clear()
    memo("a")
    assert calls[-1] == ("a", None)
    with pytest.raises(TypeError):
        cached_reader(read, watch=[1])
    with pytest.raises(TypeError):
        cached_reader(5)


# ---------------------------------------------------------------- whole names


def outcome(read, name):
    try:
        return repr(read(name))
    except Exception as e:
        return type(e)


PF_CHANGES = {
    "registry": ("Mono12p", lambda: registered("p")),
    "global": ("RGB8_Planar", lambda: patched(layouts, "all_implementations", lambda cls: [])),
    "class attribute": ("RGB8_Planar", lambda: patched(layouts.Planar, "designation", lambda self: "Flat")),
    "subclass": ("RGB8_Late", subclass),
}


@pytest.mark.parametrize("change", PF_CHANGES)
def test_a_cached_whole_name_follows_every_change(change):
    formats = importlib.import_module("corvella.pfnc.names.formats")
    cached = formats.PixelFormat.from_name
    plain = cached.__wrapped__
    name, make = PF_CHANGES[change]
    gc.collect()
    before = outcome(plain, name)
    assert outcome(cached, name) == outcome(cached, name) == before
    undo = make()
    try:
        during = outcome(plain, name)
        assert during != before and outcome(cached, name) == during
    finally:
        undo()
        gc.collect()
    assert outcome(cached, name) == before


def test_a_full_memo_whose_readings_change_the_world_as_they_go_keeps_nothing_stale():
    class Holder:
        value = 0

    class Reading:
        def __init__(self, key):
            self.key, self.value = key, Holder.value

        def __del__(self):
            # Released when the full memo makes room: changes what readings depend on, and reads again.
            if self.key == 0 and Holder.value == 0:
                Holder.value = 1
                memo(-1)

    memo = cached_reader(Reading, watch=[Holder])
    gc.collect()
    for key in range(4096):
        memo(key)
    assert memo(0).value == 0
    memo(5000)
    assert [memo(5000).value, memo(0).value, memo(-1).value] == [1, 1, 1]


# ---------------------------------------------------------------- the names package


def package_modules():
    package = importlib.import_module("corvella.pfnc.names")
    found = [package.__name__, *(m.name for m in pkgutil.walk_packages(package.__path__, package.__name__ + "."))]
    return [importlib.import_module(name) for name in found]


IMMUTABLE = 1 << 8  # Py_TPFLAGS_IMMUTABLETYPE: nothing to change


def package_classes():
    return [c for m in package_modules() for c in vars(m).values()
            if isinstance(c, type) and c.__module__ == m.__name__ and not c.__flags__ & IMMUTABLE]


READERS = {"from_name": "Mono10p", "from_code": 0x010A0046}


def read_afresh_after(reader, change, undo):
    from corvella.pfnc.names import PixelFormat

    read, argument = getattr(PixelFormat, reader), READERS[reader]
    gc.collect()
    first = read(argument)
    assert read(argument) is first  # served from the memo
    change()
    try:
        again = read(argument)
        assert again is not first and again == first
        assert read(argument) is again
    finally:
        undo()


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("module", package_modules(), ids=lambda m: m.__name__)
def test_a_changed_global_of_any_module_of_the_names_package_is_read_afresh(module, reader):
    read_afresh_after(reader, lambda: setattr(module, "_probe", object()), lambda: delattr(module, "_probe"))


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("cls", package_classes(), ids=lambda c: c.__qualname__)
def test_a_changed_class_of_the_names_package_is_read_afresh(cls, reader):
    read_afresh_after(reader, lambda: setattr(cls, "_probe", 1), lambda: delattr(cls, "_probe"))


# ---------------------------------------------------------------- a watched package


@pytest.fixture
def package(tmp_path, monkeypatch):
    """A package of two modules and a subpackage, only the first module imported."""
    root = tmp_path / "probe_pkg"
    (root / "inner").mkdir(parents=True)
    for path in ["__init__.py", "early.py", "late.py", "inner/__init__.py", "inner/deep.py"]:
        (root / path).write_text("VALUE = 1\nclass Kind:\n    pass\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    importlib.import_module("probe_pkg.early")
    yield sys.modules["probe_pkg"]
    for name in [n for n in sys.modules if n.split(".")[0] == "probe_pkg"]:
        del sys.modules[name]


def late(name):
    return lambda: importlib.import_module(f"probe_pkg.{name}")


def changed(name, of_class=False):
    def change():
        module = importlib.import_module(".".join(filter(None, ["probe_pkg", name])))
        setattr(module.Kind if of_class else module, "extra", object())

    return change


# (what is done before the memo is filled, the change it must see)
PACKAGE_CHANGES = {
    "global of an imported module": (None, changed("early")),
    "class of an imported module": (None, changed("early", of_class=True)),
    "global of the package": (None, changed("")),
    "module imported later": (None, late("late")),
    "global of a module imported later": (late("late"), changed("late")),
    "class of a module imported later": (late("late"), changed("late", of_class=True)),
    "global of a subpackage's module": (late("inner.deep"), changed("inner.deep")),
}


@pytest.mark.parametrize("change", PACKAGE_CHANGES)
def test_a_watched_package_stands_for_every_module_of_it(package, change):
    calls = []

    def read(key):
        calls.append(key)
        return [key]

    memo = cached_reader(read, watch=[package])
    before, make = PACKAGE_CHANGES[change]
    if before is not None:
        before()
    first = memo("k")
    assert memo("k") is first and len(calls) == 1
    make()
    assert memo("k") is not first and len(calls) == 2
    assert memo("k") is memo("k") and len(calls) == 2


@pytest.mark.parametrize("entry, memoised", [(None, True), (object(), False)], ids=["blocked", "not a module"])
def test_what_is_not_a_module_of_a_watched_package(package, entry, memoised):
    calls = []
    memo = cached_reader(lambda key: calls.append(key) or [key], watch=[package])
    sys.modules["probe_pkg.odd"] = entry
    assert memo("k") == memo("k") == ["k"]
    assert len(calls) == (1 if memoised else 2)
