"""The interface-specific suffix of a pixel-format name: planar, semi-planar, component sequencing."""

import gc
import logging
import sys
import time
import tracemalloc

import pytest

import corvella.pfnc.genicam.layouts as layouts
from corvella.pfnc.exceptions import ParseReject, PixelFormatValueReject
from corvella.pfnc.genicam.components import Channel, Components, GenicamComponents, LMNLocation
from corvella.pfnc.genicam.layouts import ComponentsSequencing, InterfaceSpecific, Planar, SemiPlanar
from corvella.pfnc.genicam.widths import Size
from pfnc_model import layouts as model
from pfnc_model import widths as model_widths
from edge_cases import debug_messages, implementations

YUV = Components(["Y", "U", "V"])
SIZE3 = Size([8, 8, 8])


def lmn(fields, names=("Y", "U", "V")):
    return GenicamComponents(list(names), LMNLocation(fields))


def plain(candidates):
    return [(type(found).__name__, found.designation(), rest) for found, rest in candidates]


def sequence(text, components=YUV, channels=3):
    found = ComponentsSequencing.from_designation(text, components, Size([8] * channels))
    return [(c.components, rest) for c, rest in found]


class Rejecting:
    @classmethod
    def from_designation(cls, text, components, sizes):
        raise ParseReject("no " + text)


class Broken:
    @classmethod
    def from_designation(cls, text, components, sizes):
        raise RuntimeError("broken")


def test_module_binds_its_names_in_order():
    assert layouts.__doc__.startswith("Module for handling interface-specific pixel format designations.\n\n")
    names = list(vars(layouts))
    assert names[names.index("ABCMeta"):] == [
        "ABCMeta", "abstractmethod", "getLogger", "Self", "ParseReject", "PixelFormatValueReject", "Size",
        "channel_name", "Components", "LMNLocation", "GenicamComponents", "all_implementations", "logger",
        "InterfaceSpecific", "Planar", "SemiPlanar", "ComponentsSequencing",
    ]
    assert layouts.logger.name == "corvella.pfnc.genicam.layouts"
    assert InterfaceSpecific.__abstractmethods__ == {"designation", "from_designation"}
    assert InterfaceSpecific.create.__annotations__["return"] == "list[tuple['InterfaceSpecific', str]]"
    assert Planar.from_designation.__doc__.startswith("Parses planar-specific designations.\n\nArgs:\n")


@pytest.mark.parametrize(
    "text, expected",
    [
        ("_", []),
        ("_Planar", [("Planar", "Planar", "")]),
        ("_Semiplanar_x", [("SemiPlanar", "Semiplanar", "_x")]),
        ("__Planar", []),
        ("_UYVY", [("ComponentsSequencing", "UYVY", "")]),
        ("_YUVPlanar", [("ComponentsSequencing", "YUV", "Planar")]),
    ],
)
def test_create_asks_every_implementation(text, expected):
    assert plain(InterfaceSpecific.create(text, YUV, SIZE3)) == expected


def test_create_needs_the_underscore_before_asking():
    with implementations(layouts, Broken):
        assert InterfaceSpecific.create("Planar", YUV, SIZE3) == []
        assert InterfaceSpecific.create("", YUV, SIZE3) == []


def test_create_logs_a_parse_reject_and_keeps_the_others():
    with implementations(layouts, Planar, Rejecting, SemiPlanar), debug_messages(layouts.logger) as messages:
        assert plain(InterfaceSpecific.create("_Planar", YUV, SIZE3)) == [("Planar", "Planar", "")]
    assert messages == ["Parsing rejected: no Planar Rejecting"]


def test_create_lets_other_errors_through():
    with implementations(layouts, Planar, Broken), pytest.raises(RuntimeError, match="broken"):
        InterfaceSpecific.create("_Planar", YUV, SIZE3)


def test_create_finds_user_defined_implementations():
    class Tail(InterfaceSpecific):
        def designation(self):
            return "Tail"

        @classmethod
        def from_designation(cls, full_designation, components, sizes):
            return [(cls(), "")] if full_designation == "Tail" else []

    try:
        assert plain(InterfaceSpecific.create("_Tail", YUV, SIZE3)) == [("Tail", "Tail", "")]
    finally:
        del Tail
        gc.collect()  # a live subclass would be asked by every later create


@pytest.mark.parametrize(
    "call",
    [
        lambda text: InterfaceSpecific.create(text, YUV, SIZE3),
        lambda text: InterfaceSpecific.from_designation(text, YUV, SIZE3),
        lambda text: Planar.from_designation(text, YUV, SIZE3),
        lambda text: SemiPlanar.from_designation(text, YUV, SIZE3),
        lambda text: ComponentsSequencing.from_designation(text, YUV, SIZE3),
    ],
)
@pytest.mark.parametrize("text, type_name", [(None, "NoneType"), (type("Text", (str,), {})("_Planar"), "Text")])
def test_readers_take_exactly_str(call, text, type_name):
    with pytest.raises(TypeError) as info:
        call(text)
    assert str(info.value) == f"Argument 'full_designation' has incorrect type (expected str, got {type_name})"


@pytest.mark.parametrize(
    "cls, text, expected",
    [
        (Planar, "Planar_more", [("Planar", "Planar", "_more")]),
        (Planar, "planar", []),
        (Planar, "Plana", []),
        (SemiPlanar, "Semiplanar", [("SemiPlanar", "Semiplanar", "")]),
        (SemiPlanar, "SemiPlanar", []),
    ],
)
def test_fixed_texts_are_case_sensitive_prefixes(cls, text, expected):
    assert plain(cls.from_designation(full_designation=text, components=None, sizes=None)) == expected
    assert InterfaceSpecific.from_designation(text, None, None) is None


@pytest.mark.parametrize("base", [Planar, SemiPlanar, ComponentsSequencing])
def test_a_subclass_reads_as_itself_and_its_value_rejects_are_logged(base):
    class Sub(base):
        pass

    class Refusing(base):
        def __init__(self, *args):
            raise PixelFormatValueReject("not today")

    text = Sub().designation() if base is not ComponentsSequencing else "YUV"
    try:
        [(found, rest)] = Sub.from_designation(text, YUV, SIZE3)
        assert type(found) is Sub and rest == ""
        with debug_messages(layouts.logger) as messages:
            assert Refusing.from_designation(text, YUV, SIZE3) == []
        assert messages == ["Value rejected not today"]
    finally:
        del Sub, Refusing, found
        gc.collect()


def test_equality_and_hashing():
    assert Planar() == Planar() and not Planar() == SemiPlanar() and not Planar() == "Planar"
    assert ComponentsSequencing(("Y", "U")) == ComponentsSequencing(("Y", "U"))
    assert not ComponentsSequencing(("Y",)) == Planar() and not Planar() == ComponentsSequencing(("Y",))
    for piece in (Planar(), SemiPlanar(), ComponentsSequencing(("Y",))):
        with pytest.raises(TypeError):
            hash(piece)
    with pytest.raises(TypeError):
        InterfaceSpecific()
    with pytest.raises(TypeError, match=r"^Argument 'components' has incorrect type \(expected tuple, got list\)$"):
        ComponentsSequencing(["Y"])


@pytest.mark.parametrize(
    "text, components, channels, expected",
    [
        ("UYVY", YUV, 3, [(("U", "Y", "V", "Y"), "")]),
        ("UYVY_rest", YUV, 3, [(("U", "Y", "V", "Y"), "_rest")]),
        ("YYYY", YUV, 3, []),
        ("", YUV, 3, []),
        ("UYVY", YUV, 2, []),
        ("YUVY", Components(["Y", "YUV"]), 2, [(("YUV", "Y"), "")]),
        ("XX", Components(["X", "X"]), 2, []),
        ("anything", Components([]), 0, []),
        # channel 0 never matches; without a location nothing else is asked of it
        ("UV", YUV, 2, [(("U", "V"), "")]),
        ("YUYV", lmn((2, 1, 1)), 3, [(("Y", "U", "Y", "V"), "")]),
        ("YUYVYUYV", lmn((2, 1, 1)), 3, [(("Y", "U", "Y", "V") * 2, "")]),
        ("YYUYYV", lmn((2, 1, 1)), 3, []),
        ("YUYV", lmn((2, 1)), 3, []),
        ("YUYV", lmn((2.0, 1, 1.0)), 3, [(("Y", "U", "Y", "V"), "")]),
        ("YUYV", lmn((2**70, 2**69, 2**69)), 3, [(("Y", "U", "Y", "V"), "")]),
        ("YUYV", GenicamComponents(["Y", "U", "V"], None), 3, [(("Y", "U", "Y", "V"), "")]),
        # the matched channels are as many as the sizes but not the first ones
        ("UV", lmn((1, 1)), 2, []),
        ("CbYCrY", lmn((2, 1, 1), ("Y", "Cb", "Cr")), 3, [(("Cb", "Y", "Cr", "Y"), "")]),
        ("Ŷé€Ŷ𝒴", Components(["€", "é", "Ŷ"]), 3, [(("Ŷ", "é", "€", "Ŷ"), "𝒴")]),
        ("ab€", Components(["a", "b€"]), 2, [(("a", "b€"), "")]),
        ("ab", Components(["a", "b€"]), 2, []),
    ],
)
def test_sequencing_reads_the_longest_run_of_names(text, components, channels, expected):
    assert sequence(text, components, channels) == expected
    for found, rest in ComponentsSequencing.from_designation(text, components, Size([8] * channels)):
        assert found.designation() + rest == text


def test_empty_channel_names_take_no_part():
    components = Components([Channel(""), "Y"])
    assert sequence("YY", components, 1) == [(("Y", "Y"), "")]
    assert sequence("", Components([Channel("")]), 0) == [((), "")]


@pytest.mark.parametrize("text, fields", [("UYVY", (1, 2, 1)), ("VUYYV", (2, 1, 2)), ("YUYV", [2, 1, 1])])
def test_a_patched_max_sees_what_the_model_gives_it(monkeypatch, text, fields):
    seen = []
    for module, sequencing, size in [(layouts, ComponentsSequencing, Size), (model, model.ComponentsSequencing, model_widths.Size)]:
        asked = []
        monkeypatch.setattr(module, "max", lambda values: asked.append(list(values)) or 2, raising=False)
        found = sequencing.from_designation(text, lmn(fields), size([8] * 3))
        seen.append((asked, [(c.components, rest) for c, rest in found]))
    assert seen[0] == seen[1]


class Located(GenicamComponents):
    __slots__ = ()


@pytest.mark.parametrize("owner", [Located, GenicamComponents])
def test_the_location_is_read_as_the_class_has_it_now(monkeypatch, owner):
    components = Located(["Y", "U", "V"], LMNLocation((2, 1, 1)))
    found = [(("Y", "U", "Y", "V"), "")]
    assert sequence("YUYV", components, 3) == found
    reads = []
    monkeypatch.setattr(owner, "location", property(lambda self: reads.append(self) or LMNLocation((1, 1, 1))),
                        raising=False)
    assert (sequence("YUYV", components, 3), len(reads)) == ([], 2)  # read twice, as the model reads it
    monkeypatch.undo()
    assert sequence("YUYV", components, 3) == found
    assert sequence("YUYV", type("Asked", (Located,), {"__getattr__": lambda self, name: 0})(
        ["Y", "U", "V"], LMNLocation((1, 1, 1)))) == []
    del components.location
    with pytest.raises(AttributeError):
        sequence("YUYV", components, 3)


@pytest.mark.parametrize(
    "text, components, channels, error, message",
    [
        ("YUYV", lmn(("2", "1", "1")), 3, TypeError, "Expected int, got str"),
        ("", lmn(()), 0, ValueError, None),
        ("YUYV", Components([Channel(3)]), 3, TypeError, "Expected str, got int"),
        ("YUYV", object(), 3, TypeError, None),
    ],
)
def test_sequencing_lets_errors_of_the_components_through(text, components, channels, error, message):
    with pytest.raises(error) as info:
        ComponentsSequencing.from_designation(text, components, Size([8] * channels))
    if message is not None:
        assert str(info.value) == message


def test_a_megabyte_is_read_in_linear_time():
    yuv422 = lmn((2, 1, 1))
    timings = []
    for repeat in (1 << 16, 1 << 18):  # 256 KiB and a megabyte
        text = "UYVY" * repeat + "_tail"
        start = time.perf_counter()
        [(found, rest)] = ComponentsSequencing.from_designation(text, yuv422, SIZE3)
        timings.append(time.perf_counter() - start)
        assert len(found.components) == 4 * repeat and rest == "_tail"
    # A slice per position would take minutes here; allow a noisy machine plenty.
    assert timings[1] < 2.0
    assert timings[1] < 20 * timings[0] + 0.05


class Quiet(logging.Handler):
    def emit(self, record):
        record.getMessage()


def every_call(refusing):
    """Each public call once, the failing ones included."""
    yuv422, size = lmn((2, 1, 1)), SIZE3
    calls = [
        lambda: InterfaceSpecific.create("_UYVY", yuv422, size),
        lambda: InterfaceSpecific.create("_Planar", YUV, size),
        lambda: InterfaceSpecific.create("Planar", YUV, size),
        lambda: InterfaceSpecific.create(None, YUV, size),
        lambda: InterfaceSpecific.from_designation("x", YUV, size),
        lambda: InterfaceSpecific.from_designation(b"x", YUV, size),
        lambda: Planar.from_designation("Planar8", YUV, size),
        lambda: SemiPlanar.from_designation("Planar", YUV, size),
        lambda: SemiPlanar.from_designation(1, YUV, size),
        lambda: refusing.from_designation("Planar", YUV, size),
        lambda: ComponentsSequencing.from_designation("YYUYYV", yuv422, size),
        lambda: ComponentsSequencing.from_designation("UV", lmn((1, 1)), Size([8, 8])),
        lambda: ComponentsSequencing.from_designation("YUYV", lmn((2**70, 2**69, 2**69)), size),
        lambda: ComponentsSequencing.from_designation("YUYV", lmn(("2", "1", "1")), size),
        lambda: ComponentsSequencing.from_designation("Ŷé€", Components(["€", "é", "Ŷ"]), size),
        lambda: ComponentsSequencing.from_designation("Y", Components([Channel(3)]), size),
        lambda: ComponentsSequencing.from_designation("Y", YUV, None),
        lambda: ComponentsSequencing(("U", "Y")).designation(),
        lambda: ComponentsSequencing(["U"]),
        lambda: ComponentsSequencing(("U",)) == ComponentsSequencing(("U",)),
        lambda: Planar() == SemiPlanar(),
        lambda: Planar().designation() + SemiPlanar().designation(),
    ]
    for call in calls:
        try:
            call()
        except (TypeError, ValueError):
            pass
    with implementations(layouts, Planar, Rejecting, Broken):
        try:
            InterfaceSpecific.create("_Planar", YUV, size)
        except RuntimeError:
            pass


def test_no_reference_leaks():
    class Refusing(Planar):
        def __init__(self):
            raise PixelFormatValueReject("no")

    # The debug messages are made and dropped, not collected.
    logger, handler, saved = layouts.logger, Quiet(), (layouts.logger.level, layouts.logger.propagate)
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    text = "_UYVY"
    try:
        for _ in range(200):
            every_call(Refusing)
        gc.collect()
        refs_before = sys.getrefcount(text), sys.getrefcount(YUV), sys.getrefcount(SIZE3)
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(3000):
                every_call(Refusing)
                InterfaceSpecific.create(text, YUV, SIZE3)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
    finally:
        logger.removeHandler(handler)
        logger.setLevel(saved[0])
        logger.propagate = saved[1]
        del Refusing
        gc.collect()
    assert (sys.getrefcount(text), sys.getrefcount(YUV), sys.getrefcount(SIZE3)) == refs_before
    # One object lost per loop would be well over 50 KB.
    assert grown < 50_000
