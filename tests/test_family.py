"""all_implementations in C++ against the algorithm it documents, and the caches behind it.

Every cache must give the answer the uncached code gives, after each change
that could make it stale: so each case runs the same steps with and without
the cache and compares.
"""

import gc
import sys
from contextlib import contextmanager
from abc import ABCMeta, abstractmethod
from inspect import isabstract

import importlib

import pytest

family = importlib.import_module("corvella.pfnc._internal._family")
from corvella.pfnc._internal.utils import all_implementations  # noqa: E402
from corvella.pfnc.genicam import layouts, scalars, widths  # noqa: E402


def documented(cls):
    """The algorithm all_implementations documents, as it was first written in Python."""
    found, seen = [], {cls}
    pending = list(reversed(type.__subclasses__(cls)))
    while pending:
        sub = pending.pop()
        if sub in seen:
            continue
        seen.add(sub)
        if not isabstract(sub):
            found.append(sub)
        pending.extend(reversed(type.__subclasses__(sub)))
    return found


def check(base):
    expected = documented(base)
    assert all_implementations(base) == expected
    assert all_implementations(base) == expected  # served from the cache
    assert family._walk(base) == expected


class OwnMeta(ABCMeta):
    pass


def make_tree(meta=ABCMeta):
    class Base(metaclass=meta):
        @abstractmethod
        def f(self): ...

    class Mid(Base):  # abstract: skipped, its subclasses are not
        pass

    class A(Mid):
        def f(self): ...

    class B(Base):
        def f(self): ...

    class AB(A, B):  # reached twice, listed once
        pass

    return Base, A, B, AB


@pytest.mark.parametrize("meta", [ABCMeta, OwnMeta])
def test_order_abstract_and_diamond(meta):
    base, a, b, ab = make_tree(meta)
    assert all_implementations(base) == [a, ab, b]
    check(base)


@pytest.mark.parametrize("change", ["define", "collect", "bases", "abstract", "concrete", "grandchild"])
def test_each_change_of_the_family_changes_the_answer(change):
    base, a, b, ab = make_tree()
    check(base)
    keep = []
    if change == "define":
        keep.append(type("C", (base,), {"f": lambda self: None}))
    elif change == "collect":
        del a, ab
        gc.collect()
    elif change == "bases":
        ab.__bases__ = (b,)
    elif change == "abstract":
        b.__abstractmethods__ = frozenset({"f"})
    elif change == "concrete":
        base.__subclasses__()[0].__abstractmethods__ = frozenset()
    elif change == "grandchild":
        keep.append(type("D", (b,), {}))  # b had no subclass registry yet
    check(base)


@pytest.mark.parametrize("meta", [ABCMeta, OwnMeta])
def test_a_class_still_being_built_reads_as_the_documented_algorithm_reads_it(meta):
    seen = []

    class Base(metaclass=meta):
        @abstractmethod
        def f(self): ...

        def __init_subclass__(cls, **kwargs):
            super().__init_subclass__(**kwargs)
            seen.append((all_implementations(Base), documented(Base)))

    class Half(Base):
        pass

    class Whole(Base):
        def f(self): ...

    class Another(Whole):  # abstract by a method of its own
        @abstractmethod
        def g(self): ...

    assert len(seen) == 3 and all(mine == theirs for mine, theirs in seen)
    check(Base)


@pytest.mark.parametrize("argument", [int, object, 5, "text", [], None])
def test_other_arguments_read_or_fail_as_before(argument):
    try:
        expected = documented(argument)
    except Exception as e:
        with pytest.raises(type(e), match="^" + str(e).replace("(", r"\(").replace(")", r"\)").replace("[", r"\[").replace("]", r"\]") + "$"):
            all_implementations(argument)
    else:
        assert all_implementations(argument) == expected


def test_the_name_the_families_look_up_presents_itself_as_before():
    assert all_implementations.__module__ == "corvella.pfnc._internal.utils"
    assert all_implementations.__name__ == "all_implementations"
    assert str(__import__("inspect").signature(all_implementations)) == "(cls: 'type') -> 'list[type]'"
    assert all_implementations(scalars.DataTypes) == [scalars.CompoundDataTypes]
    assert all_implementations(layouts.InterfaceSpecific) == [layouts.Planar, layouts.SemiPlanar,
                                                             layouts.ComponentsSequencing]


# ---------------------------------------------------------------- Size built from C


@pytest.mark.parametrize("patch", ["post_init", "init_returns", "init", "subclass"])
def test_a_changed_size_class_is_called_as_python_would_call_it(monkeypatch, patch):
    assert widths.Size.from_designation("565", 3)[0].sizes == [5, 6, 5]
    if patch == "post_init":
        monkeypatch.setattr(widths.Size, "__post_init__", lambda self: self.sizes.append(0))
        assert widths.Size.from_designation("565", 3)[0].sizes == [5, 6, 5, 0]
    elif patch == "init_returns":
        monkeypatch.setattr(widths.Size, "__init__", lambda self, sizes: 1)
        with pytest.raises(TypeError, match=r"^__init__\(\) should return None, not 'int'$"):
            widths.Size.from_designation("565", 3)
    elif patch == "init":
        monkeypatch.setattr(widths.Size, "__init__", lambda self, sizes: setattr(self, "sizes", sizes[::-1]))
        assert widths.Size.from_designation("565", 3)[0].sizes == [5, 6, 5][::-1]
    else:
        sub = type("Sub", (widths.Size,), {"__new__": lambda cls, sizes: "made by __new__"})
        monkeypatch.setattr(widths, "Size", sub)
        assert sub.from_designation("565", 3) == ("made by __new__", "")
    monkeypatch.undo()
    assert widths.Size.from_designation("565", 3)[0].sizes == [5, 6, 5]


def test_a_replaced_init_code_is_run(monkeypatch):
    def reversed_init(self, sizes):
        self.sizes = sizes[::-1]

    monkeypatch.setattr(widths.Size.__init__, "__code__", reversed_init.__code__)
    assert widths.Size.from_designation("121010", 3)[0].sizes == [10, 10, 12]


@contextmanager
def hooked(set_hook, seen):
    set_hook(lambda frame, event, arg: seen.append(frame.f_code.co_name) if event == "call" else None)
    try:
        yield
    finally:
        set_hook(None)


@contextmanager
def monitored(seen, local=False):
    mon = sys.monitoring
    tool = next(i for i in range(6) if mon.get_tool(i) is None)
    mon.use_tool_id(tool, "test")
    mon.register_callback(tool, mon.events.PY_START, lambda code, offset: seen.append(code.co_name))
    if local:
        mon.set_local_events(tool, widths.Size.__init__.__code__, mon.events.PY_START)
    else:
        mon.set_events(tool, mon.events.PY_START)
    try:
        yield
    finally:
        mon.set_events(tool, 0)
        if local:
            mon.set_local_events(tool, widths.Size.__init__.__code__, 0)
        mon.free_tool_id(tool)


# Last: code instrumented once keeps the uninstrumented path off for good.
@pytest.mark.parametrize("watch", [lambda seen: hooked(sys.settrace, seen), lambda seen: hooked(sys.setprofile, seen),
                                   monitored, lambda seen: monitored(seen, local=True)],
                         ids=["settrace", "setprofile", "monitoring", "local-events"])
def test_a_size_built_while_something_watches_shows_its_init_frame(watch):
    seen = []
    with watch(seen):
        found = widths.Size.from_designation("121010", 3)
    assert "__init__" in seen
    assert found == (widths.Size([12, 10, 10]), "")
    assert vars(found[0]) == vars(widths.Size.from_designation("121010", 3)[0]) == {"sizes": [12, 10, 10]}


# ---------------------------------------------------------------- the memo


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

    read = family.cached_reader(counted) if cached else counted
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

    read = family.cached_reader(reading)
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

    memo = family.cached_reader(read)
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
        family.cached_reader(read, watch=[1])
    with pytest.raises(TypeError):
        family.cached_reader(5)


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

    memo = family.cached_reader(Reading, watch=[Holder])
    gc.collect()
    for key in range(4096):
        memo(key)
    assert memo(0).value == 0
    memo(5000)
    assert [memo(5000).value, memo(0).value, memo(-1).value] == [1, 1, 1]
