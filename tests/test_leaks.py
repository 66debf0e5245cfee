"""Long loops of calls, failing ones included, must leave memory and reference counts flat."""

import gc
import itertools
from abc import ABCMeta, abstractmethod
import logging
import sys
import threading
import tracemalloc

import importlib

import pytest

pytestmark = pytest.mark.leaks

WARM_UP = 10_000
ITERATIONS = 100_000
# Growth allowed between the end of the warm-up and the end of the loop. A
# leak of one small object every hundred iterations already exceeds these.
MAX_TRACED_BYTES = 16 * 1024
MAX_TOTAL_REFS = 100


class Boom(Exception):
    pass


class RaisingFormat:
    def __format__(self, spec):
        raise Boom


class RaisingRepr:
    def __repr__(self):
        raise Boom


def _failing_pairs():
    yield "ab"
    raise Boom


class MissingDict(dict):
    def __missing__(self, key):
        raise KeyError(key)


def _registry_calls():
    """register/resolve/get/snapshot/restore/iterate, succeeding and failing."""
    registry = importlib.import_module("corvella.pfnc._internal.registry")
    from corvella.pfnc.exceptions import DuplicateRegistrationError, NotRegisteredError

    reg = registry.Registry()
    odd = registry.Registry(_registry=MissingDict())
    reg.register("base", 0)
    odd.register("base", 0)
    base = reg.snapshot()
    expected = (TypeError, AttributeError, ValueError, Boom, DuplicateRegistrationError, NotRegisteredError)
    name_rf, name_rr = RaisingFormat(), RaisingRepr()

    def while_handling(call, *args):
        try:
            raise Boom
        except Boom:
            call(*args)

    def register_twice(name, value):
        reg.register(name, value)
        reg.register(name, value)

    # (call, arguments made from the name and value); each fails as expected.
    failing = [
        (reg.register, lambda name, value: (name, value)),
        (reg.register, lambda name, value: ([], value)),
        (register_twice, lambda name, value: (name_rr, value)),
        (reg.resolve, lambda name, value: (f"m{name}",)),
        (reg.resolve, lambda name, value: (name_rf,)),
        (reg.resolve, lambda name, value: ({},)),
        (reg.get, lambda name, value: ({}, value)),
        (while_handling, lambda name, value: (reg.resolve, f"m{name}")),
        (reg.restore, lambda name, value: (object(),)),
        (reg.restore, lambda name, value: (registry.MappingSnapshot(_failing_pairs()),)),
        (reg.restore, lambda name, value: (registry.MappingSnapshot([(name, value), (name,)]),)),
        (odd.resolve, lambda name, value: (f"m{name}",)),
        (reg.get, lambda name, value: ()),
        (reg.register, lambda name, value: (name, value, value)),
    ]

    def step(i):
        # Fresh names and values, so a leaked reference holds memory.
        name, value = f"n{i}", [i]
        reg.register(name, value)
        reg.register(name=(name, i), value=value)
        snap = reg.snapshot()
        reg.restore(registry.MappingSnapshot([(name, value)]))
        reg.restore(registry.MappingSnapshot(reg._registry))
        odd.register(name, value)
        # No assert statements here: pytest's rewriting of them triples the time.
        found = (reg.resolve(name), reg.get(name), reg.get(key=f"m{i}", default_value=value))
        if found != (value, value, value) or list(snap.mapping) != ["base", name, (name, i)]:
            raise AssertionError(f"iteration {i}: {found}, {list(snap.mapping)}")
        if list(reg) != [name] or odd.get(f"m{i}") is not None:
            raise AssertionError(f"iteration {i}: {list(reg)}")
        # Every kind of failure still comes round thousands of times.
        for call, arguments in (failing[i % len(failing)], failing[(i * 5 + 3) % len(failing)]):
            try:
                call(*arguments(name, value))
            except expected:
                pass
            else:
                raise AssertionError(f"{call} did not fail")
        reg.restore(base)
        odd.restore(base)

    watched = [registry.Registry, registry.MappingSnapshot, NotRegisteredError, DuplicateRegistrationError, MissingDict]
    return step, watched


def _family_calls():
    """all_implementations, cached and after a subclass comes and goes."""
    family = importlib.import_module("corvella.pfnc._internal._family")
    from corvella.pfnc.genicam import layouts, scalars

    base = layouts.InterfaceSpecific

    class Walked(metaclass=ABCMeta):
        """Walks its family while each subclass of it is still being built."""

        @abstractmethod
        def f(self): ...

        def __init_subclass__(cls, **kwargs):
            super().__init_subclass__(**kwargs)
            try:
                family.all_implementations(Walked)
            except Boom:
                pass

    class Refusing:
        @property
        def __isabstractmethod__(self):
            raise Boom

    def step(i):
        family.all_implementations(base)
        family._walk(scalars.DataTypes)
        if i % 500 == 0:  # a subclass defined and collected (rarely: a full collection is most of a step)
            type("Late", (base,), {"designation": None, "from_designation": classmethod(lambda *a: [])})
            for members in ({}, {"f": None}, {"g": Refusing()}):  # abstract, concrete, failing
                try:
                    type("Unfinished", (Walked,), members)
                except Boom:
                    pass
            family.all_implementations(base)
            gc.collect()

    return step, [base, Walked]


def _memo_calls():
    """The memo, after every kind of change, succeeding and failing."""
    from corvella.pfnc.names._memo import cached_reader
    from corvella.pfnc.genicam import layouts, scalars

    base = layouts.InterfaceSpecific

    def read(key):
        if key == "bad":
            raise Boom
        return (key, scalars.DataTypes.create("s", 1))

    memo = cached_reader(read, watch=[importlib.import_module("corvella.pfnc.names")])
    holder = type("Holder", (), {"read": memo})  # watched through __set_name__
    snapshot = scalars.DATA_TYPE_REGISTRY.snapshot()

    def step(i):
        memo(f"k{i % 50}"), memo(i % 50), memo(True), holder.read(key="x")
        try:
            memo("bad")
        except Boom:
            pass
        if i % 500 == 0:  # a subclass defined and collected, a registration undone
            type("Late", (base,), {"designation": None, "from_designation": classmethod(lambda *a: [])})
            memo("k0")
            gc.collect()
            scalars.DATA_TYPE_REGISTRY.register("q", "q")
            memo("k1")
            scalars.DATA_TYPE_REGISTRY.restore(snapshot)
        if i % 1000 == 0:
            memo.cache_clear()

    return step, [base, memo, read, Boom]


def _formats_calls():
    """Whole names and values read, succeeding and failing, and the readings used."""
    formats = importlib.import_module("corvella.pfnc.names.formats")
    from corvella.pfnc.names._standard_table import STANDARD
    from corvella.pfnc.exceptions import NameReadError
    from corvella.pfnc.names.custom import register_custom_format, unregister_custom_format

    PixelFormat = formats.PixelFormat
    names = [name for name, _ in STANDARD] + ["Mono10c3p32", "RGB8Packed", "POL22M1_8", "CFA_RGGB8", "YUV411_9p"]
    failing = [
        (PixelFormat.from_name, "Mono12P"), (PixelFormat.from_name, ""), (PixelFormat.from_name, "Mono\ud800"),
        (PixelFormat.from_name, b"Mono8"), (PixelFormat.from_name, "x" * 1000), (PixelFormat.from_code, 0x01080099),
        (PixelFormat.from_code, True), (PixelFormat.from_code, -1), (PixelFormat.from_code, 2**70),
        (PixelFormat.from_name, "YUV422_UYVY"), (lambda name: PixelFormat.from_name(name, strict=True), "Mono8u"),
        (PixelFormat.from_code, 0x810C0001), (lambda code: register_custom_format(code, "Mono12pmsb"), 0x810D0001),
        (unregister_custom_format, 0x810C0001),
    ]
    expected = (NameReadError, LookupError, TypeError, ValueError)

    def step(i):
        name = names[i % len(names)]
        pf = PixelFormat.from_name(name)
        again = PixelFormat.from_code(pf.code) if pf.code is not None else PixelFormat.readings(name)[0]
        if again != pf or "".join(pf.pieces()) != pf.name or not repr(pf):
            raise AssertionError(f"iteration {i}: {pf!r}")
        call, argument = failing[i % len(failing)]
        try:
            call(argument)
        except expected:
            pass
        else:
            raise AssertionError(f"{call} did not fail")
        # Last before each count, so that the memos hold the same readings then.
        if i % 100 == 99:
            register_custom_format(0x810C0001, "Mono12pmsb")
            if PixelFormat.from_code(0x810C0001).code != PixelFormat.from_name("Mono12pmsb").code:
                raise AssertionError(f"iteration {i}: the vendor value reads otherwise")
            unregister_custom_format(0x810C0001)

    return step, [PixelFormat, NameReadError, formats.Packing]


def _codec_calls():
    """decode and encode over every kind of layout, and each of their refusals."""
    np = pytest.importorskip("numpy")
    from corvella.pfnc.pixels import codec
    from corvella.pfnc.pixels import _convert as convert

    cases = [("Mono12p", 5, 3), ("YUV422_8_UYVY", 4, 2), ("RGB8_Planar", 3, 2), ("Mono10pmsb", 7, 1),
             ("YCbCr420_8_YY_CbCr_Semiplanar", 4, 4), ("Coord3D_ABC32f", 2, 2), ("Mono8", 300, 250)]
    data = bytes(range(256)) * 8000
    mono8 = convert.plan("Mono8", [1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 0, 0, 1, 0, 8, 0, 1, 0, 8, 0], np.uint8, None)
    expected = (TypeError, ValueError, NotImplementedError, LookupError)
    failing = [
        lambda i: codec.decode(data[:3], "Mono12p", 4, 4),
        lambda i: codec.decode("text", "Mono8", 1, 1),
        lambda i: codec.decode(data, "RGB10V1Packed", 1, 1),
        lambda i: codec.decode(data, 0x7FFFFFFF, 1, 1),
        lambda i: codec.decode(data, "Mono8", 3, 3, stride=2),
        lambda i: codec.decode(data, "Mono8", 1 << 40, 1 << 40),
        lambda i: codec.encode(np.array([[4096 + i % 7]], np.uint16), "Mono12p"),
        lambda i: codec.encode({"Y": np.zeros((1, 2), np.uint8)}, "YUV422_8"),
        lambda i: codec.encode(np.zeros((2, 2), np.int8), "Mono8"),
        lambda i: codec.encode(np.zeros((2, 2), np.uint8), "Mono8", out=bytes(4)),
        lambda i: codec.encode(np.array([[4096]], np.uint16), "Mono12p", out=bytearray(3 + i % 2)),
        lambda i: convert.plan("Mono8", [1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 0, i + 1, 1, 0, 8, 0, 1, 0, 8, 0], np.uint8, None),
        lambda i: convert.plan("Mono8", [1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 0, 0, 1, 0, 8, 0, 1, 0, 9 + i, 0], np.uint8, None),
        lambda i: mono8.decode(data, 4, True, None, np.empty, codec._recycled),
        lambda i: mono8.encode((np.zeros((2, 2), np.uint8),), 4, 2, None),
        lambda i: codec.decode(data, "YUV422_8", 4, 4),
        lambda i: codec.decode(data, "Mono12p", 4, 4, copy=False),
        lambda i: codec.decode(memoryview(data)[1:], "Mono16", 4, 4, copy=False),
        lambda i: codec.decode(data, "Mono8", 4, 4, out=np.zeros((4, 5), np.uint8)),
        lambda i: codec.decode_planes(data, "YUV422_8", 4, 4, out={"Y": np.zeros((4, 4), np.uint8)}),
        lambda i: codec.decode_planes(data, "YUV422_8", 4, 4, out={"Y": np.zeros((4, 4), np.uint8),
                                                                   "U": np.zeros((4, 2), np.uint8),
                                                                   "V": np.zeros((4, 3), np.uint8)}),
    ]
    sub_sampled = {"YUV422_8_UYVY", "YCbCr420_8_YY_CbCr_Semiplanar"}
    out = np.empty((4, 8), np.uint16)

    def step(i):
        name, width, height = cases[i % len(cases)]
        # Planes by component every other time: encode takes them for every format.
        decode = codec.decode_planes if name in sub_sampled or i % 2 else codec.decode
        image = decode(data, name, width, height, stride=None if i % 3 else 16 * width)
        packed = codec.encode(image, name, stride=None if i % 3 else 16 * width)
        if codec.encode(image, name, stride=None if i % 3 else 16 * width, out=bytearray(len(packed))) != packed:
            raise AssertionError(f"iteration {i}: {name}")
        if codec.decode(data, "Mono16", 8, 4, copy=i % 2 == 1, out=None if i % 2 == 0 else out).shape != (4, 8):
            raise AssertionError(f"iteration {i}: Mono16")
        if len(codec.decode_planes(data, "RGB8", 2, 2)) != 3:
            raise AssertionError(f"iteration {i}: RGB8")
        try:
            failing[i % len(failing)](i)
        except expected:
            pass
        else:
            raise AssertionError(f"iteration {i}: case {i % len(failing)} did not fail")

    return step, [codec.decode, codec.decode_planes, codec.encode, np.ndarray, np.uint16]


# numpy's arrays upset a debug interpreter's reference total (each new one
# adds two that its release adds back elsewhere): count traced bytes instead.
_codec_calls.traced = True
# Traced memory levels off slowly over this loop's many shapes (measured: 8.7 KB
# in the 30,000 calls after the usual warm-up, 0.1 KB from 160,000 to 190,000),
# so that growth is counted only after it has.
_codec_calls.warm_up = 40_000


def _demosaic_calls():
    """Both kernels on tiny images, then one of the calls they refuse."""
    import numpy as np

    demosaic = importlib.import_module("corvella.pfnc.pixels._demosaic")
    mosaic, pairs = np.arange(35, dtype=np.uint16).reshape(5, 7), np.zeros((5, 7, 2), np.uint16)
    out = np.zeros((5, 7, 3), np.uint16)
    failing = [
        lambda: demosaic.demosaic(mosaic, out, "RGBG", "gradient", 12, False),
        lambda: demosaic.demosaic(mosaic, out, "RGGB", 1, 12, False),
        lambda: demosaic.demosaic(mosaic, out, "RGGB", "gradient", 17, False),
        lambda: demosaic.demosaic(mosaic, out, "RGGB", "gradient", 12, RaisingBool()),
        lambda: demosaic.demosaic(mosaic, out[:, :3], "RGGB", "gradient", 12, False),
        lambda: demosaic.demosaic(mosaic, mosaic, "RGGB", "gradient", 12, False),
        lambda: demosaic.demosaic(mosaic.astype(np.uint8), out, "RGGB", "gradient", 8, False),
        lambda: demosaic.bicolor(pairs, out, "G", "bilinear", 12, False),
        lambda: demosaic.bicolor(mosaic, out, "R", "bilinear", 12, False),
        lambda: demosaic.bicolor(pairs, out, "R", "bilinear", 12, False, 1),
    ]

    def step(i):
        demosaic.demosaic(mosaic, out, ("RGGB", "GBRG")[i % 2], ("bilinear", "gradient")[i % 3 % 2], 12, i % 5 == 0)
        demosaic.bicolor(pairs, out, "B", "gradient", 12, False)
        try:
            failing[i % len(failing)]()
        except (TypeError, ValueError, Boom):
            pass
        else:
            raise AssertionError(f"iteration {i}: case {i % len(failing)} did not fail")

    return step, [demosaic.demosaic, mosaic, out, pairs]


class RaisingBool:
    def __bool__(self):
        raise Boom


# numpy's arrays upset a debug interpreter's reference total: count traced bytes.
_demosaic_calls.traced = True


# Each module adds its loops here; a loop is a callable returning
# (step(i), objects whose reference counts must come back unchanged).
LOOPS = {
    "registry": [_registry_calls],
    "_family": [_family_calls],
    "_memo": [_memo_calls],
    "formats": [_formats_calls],
    "codec": [_codec_calls],
    "_demosaic": [_demosaic_calls],
}


def _counter(traced=False):
    if hasattr(sys, "gettotalrefcount") and not traced:
        return "total references", sys.gettotalrefcount, MAX_TOTAL_REFS
    tracemalloc.start()
    return "traced bytes", lambda: tracemalloc.get_traced_memory()[0], MAX_TRACED_BYTES


def _in_fresh_thread(run):
    """tracemalloc walks the whole stack on every allocation: under pytest's deep stack that is slow."""
    results = []

    def target():
        try:
            results.append((True, run()))
        except BaseException as e:
            results.append((False, e))

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    ok, value = results[0]
    if not ok:
        raise value
    return value


def _measure(step, watched, traced=False, warm_up=WARM_UP):
    what, read, limit = _counter(traced)
    try:
        for i in range(warm_up):
            step(i)
        gc.collect()
        before, refs_before = read(), [sys.getrefcount(o) for o in watched]
        for i in range(warm_up, ITERATIONS):
            step(i)
        gc.collect()
        after, refs_after = read(), [sys.getrefcount(o) for o in watched]
    finally:
        tracemalloc.stop()
    return what, limit, before, after, refs_before, refs_after


@pytest.mark.parametrize(
    "make_loop",
    [loop for loops in LOOPS.values() for loop in loops],
    ids=[f"{module}-{loop.__name__.strip('_')}" for module, loops in LOOPS.items() for loop in loops],
)
def test_memory_stays_flat(make_loop):
    step, watched = make_loop()
    traced = getattr(make_loop, "traced", False)
    warm_up = getattr(make_loop, "warm_up", WARM_UP)
    what, limit, before, after, refs_before, refs_after = _in_fresh_thread(
        lambda: _measure(step, watched, traced, warm_up))
    print(f"{make_loop.__name__}: {what} {before} -> {after} over {ITERATIONS - warm_up} iterations")
    assert refs_after == refs_before
    assert after - before <= limit, f"{what} grew by {after - before}"


# --------------------------------------------------------------------------
# Each call of the edge-case, hostile and input tables on its own, repeated
# thousands of times: a leak shows in the debug interpreter's reference total
# and is pinned to the one call that has it.

CASE_REPEATS = 2000


def _input_cases():
    """One case per module that makes every call of its input grid once."""
    import test_inputs as inputs
    from edge_cases import Case

    def grid(calls):
        return lambda m: [inputs.outcome(call) for call in calls(m)]

    def widths(m):
        for text, channels in itertools.product(inputs.TEXTS, inputs.CHANNELS):
            yield lambda: m.widths.Size.from_designation(text, channels)

    def registry(m):
        for name in inputs.NAMES[:-1]:
            r = m.registry.Registry()
            yield lambda: r.resolve(name)
            yield lambda: r.register(name, 1)
            yield lambda: (r.register(name, 2), r.get(name))

    def scalars(m):
        for text, channels in itertools.product(inputs.LETTER_TEXTS, inputs.CHANNELS):
            yield lambda: m.scalars.DataTypes.create(text, channels)

    def layouts(m):
        from corvella.pfnc.genicam.components import Components

        for names in inputs.NAME_KINDS:
            components, size = Components(list(names)), m.widths.Size([8, 8, 8])
            for text in inputs._texts(names):
                yield lambda: m.layouts.InterfaceSpecific.create(text, components, size)

    return {name: [Case("inputs", grid(calls), None)] for name, calls in
            [("widths", widths), ("registry", registry), ("scalars", scalars), ("layouts", layouts)]}


def _case_params():
    import edge_cases
    import test_hostile as hostile

    inputs = _input_cases()
    tables = {
        "registry": edge_cases.REGISTRY + hostile.REGISTRY_CASES + inputs["registry"],
        "widths": edge_cases.WIDTHS + hostile.WIDTHS_CASES + inputs["widths"],
        "scalars": edge_cases.SCALARS + hostile.SCALARS_CASES + inputs["scalars"],
        "layouts": edge_cases.LAYOUTS + hostile.LAYOUTS_CASES + inputs["layouts"],
    }
    return [pytest.param(name, case, id=f"{name}-{case.id}") for name, table in tables.items() for case in table]


# Fewer repeats for the cases that are many calls already, or collect garbage themselves.
FEWER_REPEATS = {"inputs": 300, "subclass-reads-as-itself": 300}


@pytest.fixture
def quiet_module_loggers():
    """The modules' loggers make no records: the test runner would keep every one it saw.

    The readers still compose their debug messages; only the records are not made.
    """
    loggers = [logging.getLogger(f"corvella.pfnc.genicam.{name}") for name in ("scalars", "layouts")]
    for logger in loggers:
        logger.disabled = True
    yield
    for logger in loggers:
        logger.disabled = False


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of the interpreter")
@pytest.mark.parametrize("module,case", _case_params())
def test_each_call_stays_flat(module, case, quiet_module_loggers):
    from implementations import kept_data_type_registry
    from robustness import built, extension, repeat_case

    extension(module)
    m = built()
    def call():
        if module != "scalars":
            return repeat_case(m, case)
        with kept_data_type_registry(m.scalars):  # some cases register letters
            return repeat_case(m, case)

    repeats = FEWER_REPEATS.get(case.id, CASE_REPEATS)
    for _ in range(repeats // 10):  # caches, free lists, interned strings
        call()
    gc.collect()
    gc.freeze()  # what exists now is not searched again: collecting stays cheap
    try:
        before = sys.gettotalrefcount()
        for _ in range(repeats):
            call()
        gc.collect()
        after = sys.gettotalrefcount()
    finally:
        gc.unfreeze()
    # A leak on the path grows by at least one per call; a few references
    # taken by caches filled late are not a leak.
    assert after - before < repeats // 10
