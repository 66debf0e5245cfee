"""Many threads at once, under the interpreter lock: no crash, and the registries stay whole."""

from __future__ import annotations

import random
import sys
import threading
import time
from abc import ABCMeta, abstractmethod

import pytest

from corvella.pfnc._internal.utils import all_implementations
from corvella.pfnc.exceptions import DuplicateRegistrationError
from robustness import extension

THREADS = 8
ROUNDS = 1500


@pytest.fixture(autouse=True)
def switch_often():
    """Hand the lock over as often as the interpreter allows, to mix the threads' steps."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(work):
    """Runs work(thread_number) in THREADS threads at once; the errors they raised, if any."""
    errors, start = [], threading.Barrier(THREADS)

    def target(n):
        start.wait()
        try:
            work(n)
        except BaseException as e:  # noqa: BLE001 - reported by the test
            errors.append(e)

    threads = [threading.Thread(target=target, args=(n,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


class SlowKey:
    """A name whose hashing and comparing let other threads run in between."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        time.sleep(0)
        return hash(self.name)

    def __eq__(self, other):
        time.sleep(0)
        return isinstance(other, SlowKey) and other.name == self.name


def test_readers_and_data_type_registry_together():
    m = extension("registry", "widths", "scalars", "layouts")
    from corvella.pfnc.genicam.components import Components

    registry, yuv = m.scalars.DATA_TYPE_REGISTRY, Components(["Y", "U", "V"])
    defaults = registry.snapshot()
    letters = "xyzwqk"

    def work(n):
        rng = random.Random(n)
        size = m.widths.Size([8, 8, 8])
        for _ in range(ROUNDS):
            step = rng.randrange(6)
            if step == 0:
                assert m.widths.Size.from_designation("565p", 3)[0].sizes == [5, 6, 5]
            elif step == 1:
                found = [(c.designation(), rest) for c, rest in m.scalars.DataTypes.create("sf_x", 2)]
                assert found == [("", "sf_x"), ("sf", "_x")]
            elif step == 2:
                letter = rng.choice(letters)
                found = [(c.designation(), rest) for c, rest in m.scalars.CompoundDataTypes.from_designation(letter, 2)]
                assert found in ([("", letter)], [("", letter), (letter, "")])
            elif step == 3:
                found = m.layouts.InterfaceSpecific.create("_UYVY_x", yuv, size)
                assert [(c.designation(), rest) for c, rest in found] == [("UYVY", "_x")]
            elif step == 4:
                try:
                    registry.register(rng.choice(letters))
                except DuplicateRegistrationError:
                    pass
            else:
                registry.restore(rng.choice([defaults, registry.snapshot()]))

    try:
        assert run_threads(work) == []
        names = list(registry)
        assert names[:4] == ["", "s", "f", "u"] and registry._default_keys == {"", "s", "f", "u"}
        assert set(names[4:]) <= set(letters) and len(names) == len(set(names))
        assert all(registry.resolve(letter) == letter for letter in names[4:])
    finally:
        registry.restore(defaults)


def test_registry_keeps_every_registration():
    m = extension("registry")
    shared, churned = m.registry.Registry(), m.registry.Registry()

    def work(n):
        for i in range(ROUNDS):
            shared.register(f"{n}-{i}", i)
            key = SlowKey(i % 7)
            try:
                churned.register(key, n)
            except DuplicateRegistrationError:
                pass
            if i % 5 == 0:
                churned.restore(churned.snapshot())
            churned.get(key)

    assert run_threads(work) == []
    assert len(list(shared)) == THREADS * ROUNDS
    assert all(shared.resolve(f"{n}-{i}") == i for n in range(THREADS) for i in range(ROUNDS))
    assert len(list(churned)) <= 7


def test_lists_changed_while_read():
    """One thread keeps changing a Size's and a CompoundDataTypes' lists while others read them."""
    m = extension("widths", "scalars")
    size, compound = m.widths.Size([8, 10]), m.scalars.CompoundDataTypes(["s", "f"])
    reads = (size.designation, lambda: len(size), lambda: size[-1], compound.designation, lambda: compound[0])

    def work(n):
        rng = random.Random(n)
        for _ in range(ROUNDS):
            if n % 2:
                size.sizes.append(rng.choice([8, 10, 2**70]))
                compound.scalars.append(rng.choice(["s", "f", "x"]))
                if len(size.sizes) > 12:
                    del size.sizes[: rng.randrange(12)], compound.scalars[: rng.randrange(12)]
            for read in reads:
                try:
                    read()
                except IndexError:  # emptied meanwhile
                    pass

    assert run_threads(work) == []


class OwnMeta(ABCMeta):
    pass


class OwnFamily(metaclass=OwnMeta):
    @abstractmethod
    def designation(self): ...


def whole_name():
    from corvella.pfnc.names import PixelFormat

    return PixelFormat.from_name("YCbCr422_8_CbYCrY")


@pytest.mark.parametrize(
    "family, read",
    [
        (lambda m: m.layouts.InterfaceSpecific, lambda m: whole_name()),
        (lambda m: m.scalars.DataTypes, lambda m: m.scalars.DataTypes.create("sf_x", 2)),
        (lambda m: OwnFamily, lambda m: all_implementations(OwnFamily)),
    ],
    ids=["whole name", "data types", "metaclass built on ABCMeta"],
)
def test_an_abstract_class_defined_meanwhile_changes_no_reading(family, read):
    """One thread keeps defining a subclass that stays abstract while another reads the family."""
    m = extension("scalars", "layouts")

    class Slow(family(m)):
        def __init_subclass__(cls, **kwargs):
            super().__init_subclass__(**kwargs)
            time.sleep(0)  # the reader meets the subclass half built, before ABCMeta has finished it

    expected, stop = read(m), threading.Event()

    def define():
        while not stop.is_set():

            class Helper(Slow):
                pass

    definer = threading.Thread(target=define)
    definer.start()
    try:
        deadline = time.monotonic() + 1.5
        while time.monotonic() < deadline:
            assert read(m) == expected
    finally:
        stop.set()
        definer.join()


def test_memos_see_each_threads_own_change_at_once():
    """Each thread changes what its own reading depends on, then reads it through the memo, while
    modules of the watched package come and go and the data-type registry changes."""
    from types import ModuleType

    from corvella.pfnc.genicam.scalars import DATA_TYPE_REGISTRY
    from corvella.pfnc.names import PixelFormat
    from corvella.pfnc.names._memo import cached_reader

    package = ModuleType("probe_threads")
    package.__path__ = []
    values = ModuleType("probe_threads.values")
    sys.modules.update({package.__name__: package, values.__name__: values})
    package.values = values
    memo = cached_reader(lambda n: getattr(sys.modules["probe_threads.values"], f"v{n}"), watch=[package])
    defaults = DATA_TYPE_REGISTRY.snapshot()
    expected = PixelFormat.from_name("Mono10p")

    def work(n):
        rng = random.Random(n)
        for i in range(ROUNDS):
            setattr(values, f"v{n}", i)
            assert memo(n) == i
            assert memo(n) == i
            step = rng.randrange(4)
            if step == 0:
                name = f"probe_threads.m{n}"
                sys.modules[name] = ModuleType(name)
                setattr(package, f"m{n}", sys.modules[name])
            elif step == 1:
                sys.modules.pop(f"probe_threads.m{n}", None)
            elif step == 2:
                DATA_TYPE_REGISTRY.restore(defaults if n % 2 else DATA_TYPE_REGISTRY.snapshot())
            else:
                assert PixelFormat.from_name("Mono10p") == expected

    try:
        assert run_threads(work) == []
    finally:
        DATA_TYPE_REGISTRY.restore(defaults)
        for name in [n for n in sys.modules if n.split(".")[0] == "probe_threads"]:
            del sys.modules[name]
