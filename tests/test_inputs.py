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


def outcome(call):
    """What a call gave, as plain data that two implementations can share."""
    try:
        result = call()
    except Exception as e:  # noqa: BLE001 - the exception is the outcome
        return ("raised", type(e), str(e))
    if isinstance(result, tuple) and len(result) == 2 and hasattr(result[0], "sizes"):
        return (list(result[0].sizes), result[1])
    return result


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
