"""Unusual inputs: huge texts, every kind of string, counts beyond the machine's integers.

Each input goes to the extension and to the pure-Python model; both must give
the same result or raise the same exception with the same message.
"""

from __future__ import annotations

import importlib
import itertools

import pytest

from robustness import extension

MB10 = 10_000_000

# One text per way a str can be stored (1, 2 or 4 bytes a character), with and
# without digits, lone surrogates, and runs longer than a machine integer.
TEXTS = [
    "", "p", "_", "8", "_8p", "565", "1010", "10",
    "8\xe9", "\xe9", "\xb2", "8\u0394", "\u0663\u0663", "\uff18\uff10p", "8\U0001f600", "\U0001d7da\U0001d7da\U0001f600",
    "\ud800", "8\udfff", "_\udc00", "\ud83d\ude00", "88\ud800",
    "8" * 19, "1" * 20 + "p", "0" * 18, "9" * 40,
]
CHANNELS = [0, 1, 2, 3, 7, -1, -3, True, 3.9, 2**60, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 10**30, -(10**30)]

# 10 M characters each; only the counts that read them in interesting ways.
HUGE_TEXTS = {
    "digits": "8" * MB10,
    "letters": "p" * MB10,
    "digits-then-emoji": "8" * 10 + "\U0001f600" * MB10,
    "arabic-indic-digits": "\u0663" * MB10,
    "surrogates": "8" + "\udc00" * MB10,
}
HUGE_CHANNELS = [1, 3, 10**6, 2**63, -1]


def _model(name):
    return importlib.import_module(f"pfnc_model.{name}")


def plain(result):
    """A result as data that both implementations can produce: no classes of either."""
    if isinstance(result, list):
        return [plain(item) for item in result]
    if isinstance(result, tuple):
        return tuple(plain(item) for item in result)
    if hasattr(result, "sizes"):
        return ("Size", list(result.sizes))
    if hasattr(result, "scalars"):
        return ("Compound", [getattr(dt, "name", dt) for dt in result.scalars])
    if hasattr(result, "designation"):
        return (type(result).__name__, result.designation())
    return result


def outcome(call):
    """What a call gave, as plain data, or the exception's type and text."""
    try:
        return plain(call())
    except Exception as e:  # noqa: BLE001 - the exception is the outcome
        return ("raised", type(e), str(e))


@pytest.mark.parametrize("text,channels", list(itertools.product(TEXTS, CHANNELS)))
def test_size_reading(text, channels):
    ext, model = extension("widths").widths, _model("widths")
    assert outcome(lambda: ext.Size.from_designation(text, channels)) == outcome(
        lambda: model.Size.from_designation(text, channels)
    )


@pytest.mark.parametrize("kind", sorted(HUGE_TEXTS))
@pytest.mark.parametrize("channels", HUGE_CHANNELS)
def test_size_reading_huge(kind, channels):
    ext, model = extension("widths").widths, _model("widths")
    text = HUGE_TEXTS[kind]
    assert outcome(lambda: ext.Size.from_designation(text, channels)) == outcome(
        lambda: model.Size.from_designation(text, channels)
    )


@pytest.mark.parametrize(
    "sizes",
    [[8] * 10**6, [8, 9] * 500_000, [2**64, 1], [10**4000, 7], [-(2**63), 2**63 - 1], [1.5, 2], [True, False]],
    ids=["many-equal", "many-mixed", "beyond-64-bits", "4000-digits", "extremes", "floats", "bools"],
)
def test_size_designation(sizes):
    ext, model = extension("widths").widths, _model("widths")
    ext_size, model_size = ext.Size([1]), model.Size([1])
    ext_size.sizes = model_size.sizes = sizes
    assert outcome(ext_size.designation) == outcome(model_size.designation)


NAMES = [t for t in TEXTS if t] + [3, 2**64, -1.5, None, ("t", "\udc00"), "x" * MB10]


@pytest.mark.parametrize("name", NAMES, ids=range(len(NAMES)))
def test_registry_names(name):
    ext, model = extension("registry").registry, _model("registry")

    def use(module):
        r = module.Registry()
        missing = outcome(lambda: r.resolve(name))
        r.register(name, 1)
        return missing, outcome(lambda: r.register(name, 2)), r.resolve(name), r.get(name), list(r)

    assert use(ext) == use(model)


# --------------------------------------------------------------------------
# data types

LETTER_TEXTS = ["s", "sf", "usf_x", "ss8", "x", "\xe9s", "s\u0394", "\U0001f600", "f\U0001f600", "\ud800s", "s" * 40]


@pytest.mark.parametrize("reader", ["CompoundDataTypes.from_designation", "DataTypes.create"])
@pytest.mark.parametrize("text,channels", list(itertools.product(LETTER_TEXTS, CHANNELS)))
def test_data_type_reading(reader, text, channels):
    ext, model = extension("scalars").scalars, _model("scalars")
    cls, method = reader.split(".")
    assert outcome(lambda: getattr(getattr(ext, cls), method)(text, channels)) == outcome(
        lambda: getattr(getattr(model, cls), method)(text, channels)
    )


@pytest.mark.parametrize("letter", ["\xe9", "\u0394", "\U0001f600", "\ud800", "\udfff", "7"])
def test_letters_of_every_kind(letter):
    """A custom letter of any kind registers, reads and restores like a plain one."""
    ext, model = extension("scalars").scalars, _model("scalars")

    def use(module):
        registry, saved = module.DATA_TYPE_REGISTRY, module.DATA_TYPE_REGISTRY.snapshot()
        try:
            registry.register(letter)
            read = outcome(lambda: module.DataTypes.create(letter * 2 + "s", 2))
            registry.restore(module.DataTypeRegistry.default_snapshot())
            return read, outcome(lambda: module.CompoundDataTypes.from_designation(letter, 1)), list(registry)
        finally:
            registry.restore(saved)

    assert use(ext) == use(model)


def test_data_types_of_a_huge_text():
    ext = extension("scalars").scalars
    text = "s" * MB10
    (unsigned, whole), (signed, rest) = ext.CompoundDataTypes.from_designation(text, 10**6)
    assert whole == text and len(rest) == MB10 - 10**6 and len(signed) == 10**6 and signed.designation() == "s"
    assert [rest for _, rest in ext.DataTypes.create("\U0001f600" * MB10, 3)] == ["\U0001f600" * MB10]


# --------------------------------------------------------------------------
# interface specifics

NAME_KINDS = [("Y", "U", "V"), ("\xe9", "a", "\xff"), ("\u0394", "\u03a6", "Y"), ("\U0001f600", "\u0394", "a"), ("\ud800", "\udc00", "Y")]


def _texts(names):
    a, b, c = names
    return ["", a, a + b + c, b + a + c + a + "_rest", a * 3, "_" + a + b + c, "Planar", "_Planar" + a, c + b + a + "\U0001f600"]


@pytest.mark.parametrize("names", NAME_KINDS, ids=["ascii", "latin1", "2-byte", "4-byte", "surrogates"])
def test_layout_reading(names):
    from corvella.pfnc.genicam.components import Components, GenicamComponents, LMNLocation

    ext, model, widths = extension("layouts").layouts, _model("layouts"), extension("widths").widths
    for components in (Components(list(names)), GenicamComponents(list(names), LMNLocation((2, 1, 1)))):
        for text in _texts(names):
            for channels in (1, 3):
                size = widths.Size([8] * channels)
                for reader in ("InterfaceSpecific.create", "ComponentsSequencing.from_designation"):
                    cls, method = reader.split(".")
                    assert outcome(lambda: getattr(getattr(ext, cls), method)(text, components, size)) == outcome(
                        lambda: getattr(getattr(model, cls), method)(text, components, size)
                    ), (reader, text, components)


def test_layouts_of_a_huge_text():
    from corvella.pfnc.genicam.components import GenicamComponents, LMNLocation

    ext, widths = extension("layouts").layouts, extension("widths").widths
    yuv422 = GenicamComponents(["Y", "U", "\U0001f600"], LMNLocation((2, 1, 1)))
    text = "YUY\U0001f600" * (MB10 // 4)
    [(found, rest)] = ext.InterfaceSpecific.create("_" + text + "_x", yuv422, widths.Size([8, 8, 8]))
    assert rest == "_x" and len(found.components) == MB10 and found.designation() == text


# --------------------------------------------------------------------------
# str subclasses and other near-strings at the boundary


class Text(str):
    pass


BOUNDARY = [
    ("widths", lambda m, t: m.Size.from_designation(t, 1), "designation"),
    ("scalars", lambda m, t: m.DataTypes.create(t, 1), "full_designation"),
    ("scalars", lambda m, t: m.DataTypes.from_designation(t, 1), "full_designation"),
    ("scalars", lambda m, t: m.CompoundDataTypes.from_designation(t, 1), "full_designation"),
    ("scalars", lambda m, t: m.DataTypeRegistry().register(t), "name"),
    ("scalars", lambda m, t: m.DataTypeRegistry()._validate(t, None), "name"),
    ("layouts", lambda m, t: m.InterfaceSpecific.create(t, (), ()), "full_designation"),
    ("layouts", lambda m, t: m.InterfaceSpecific.from_designation(t, (), ()), "full_designation"),
    ("layouts", lambda m, t: m.Planar.from_designation(t, (), ()), "full_designation"),
    ("layouts", lambda m, t: m.SemiPlanar.from_designation(t, (), ()), "full_designation"),
    ("layouts", lambda m, t: m.ComponentsSequencing.from_designation(t, (), ()), "full_designation"),
]


@pytest.mark.parametrize("value", [Text("_Planar"), Text(""), b"s", bytearray(b"s"), memoryview(b"s"), None], ids=repr)
@pytest.mark.parametrize("module,call,argument", BOUNDARY, ids=[f"{m}-{i}" for i, (m, _, _) in enumerate(BOUNDARY)])
def test_only_exact_str(module, call, argument, value):
    m = getattr(extension(module), module)
    with pytest.raises(TypeError) as info:
        call(m, value)
    assert str(info.value) == f"Argument '{argument}' has incorrect type (expected str, got {type(value).__name__})"
