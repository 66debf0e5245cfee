"""A name that does not read offers the closest standard names; a strict reading takes only names with a value."""

import pickle
import subprocess
import sys

import pytest

from corvella.pfnc import PixelFormat
from corvella.pfnc.exceptions import NameReadError
from corvella.pfnc.names import LEGACY, STANDARD


def failure(name, **options):
    with pytest.raises(NameReadError) as caught:
        PixelFormat.from_name(name, **options)
    return caught.value


@pytest.mark.parametrize(
    ("name", "offered"),
    [
        ("mono8", ("Mono8",)),
        ("Mono12P", ("Mono12p",)),
        ("BayerRG12P", ("BayerRG12p",)),
        ("RGB8_planar", ("RGB8_Planar",)),
        # Spellings that differ in case alone: the one nearest in case first.
        ("MONO8SIGNED", ("Mono8Signed", "Mono8signed")),
        ("Mnoo8", ("Mono8",)),
        ("RBG8", ("RGB8",)),
        ("RGB8Pakced", ("RGB8Packed",)),
        ("Coord3D_ABC32f_Planr", ("Coord3D_ABC32f_Planar",)),
        ("Mono8_", ("Mono8", "Mono8s")),
        ("YUV422_UYVY", ("YUV422_8_UYVY",)),
        ("yuv422_uyvy", ("YUV422_8_UYVY",)),
        ("YCbCr422_8_YY_Semiplanar", ("YCbCr422_8_YY_CbCr_Semiplanar", "YCbCr422_8_YY_CrCb_Semiplanar")),
        # Only the closest kind: a case slip hides the names one character away.
        ("BAYERRG8", ("BayerRG8",)),
        # At most three, in value order.
        ("RGB", ("RGB8", "RGB10", "RGB12")),
    ],
)
def test_a_near_miss_offers_the_closest_names(name, offered):
    error = failure(name)
    assert error.suggestions == offered
    offer = str(error).partition("; did you mean ")[2]
    assert offer.endswith("?") and [offer.find(repr(name)) for name in offered] == sorted(map(offer.find, map(repr, offered)))
    assert -1 not in map(offer.find, map(repr, offered))
    assert pickle.loads(pickle.dumps(error)).suggestions == offered


def test_the_message_keeps_its_text_and_adds_the_names():
    assert str(failure("Mono12P")) == ("'Mono12P' is not a pixel-format name: reading gets through 'Mono12' and no"
                                       " piece reads 'P'; did you mean 'Mono12p'?")
    assert str(failure("RGB")).endswith("; did you mean 'RGB8', 'RGB10' or 'RGB12'?")


@pytest.mark.parametrize("name", ["xyzzy", "Foo8", "Q8", "8", "_", "Hello_World", "aaaaaaaaaaaa", "",
                                  "M" * 600, "Mono8" * 200, "\u00e9\u00e9\u00e9\u00e9"])
def test_nonsense_offers_nothing(name):
    error = failure(name)
    assert error.suggestions == () and "did you mean" not in str(error)


@pytest.mark.parametrize("table", ["standard", "legacy"])
def test_every_name_is_offered_for_its_spelling_in_another_case(table):
    names = [name for name, _ in STANDARD] if table == "standard" else list(LEGACY)
    missed = {}
    for name in names:
        for spelling in (name.upper(), name.lower(), name.swapcase()):
            if not PixelFormat.readings(spelling):
                offered = failure(spelling).suggestions
                if name not in offered or len(offered) > 3:
                    missed[spelling] = offered
    assert not missed


def test_names_that_read_never_look_for_suggestions():
    # In a fresh interpreter: the index is built by the first name that does not read, and only then.
    run = subprocess.run(
        [sys.executable, "-c",
         "from corvella.pfnc.names import PixelFormat, STANDARD, LEGACY, _suggestions\n"
         "for name in [n for n, _ in STANDARD] + list(LEGACY):\n"
         "    PixelFormat.from_name(name, strict=True)\n"
         "for name in ['Mono10c3p32', 'Mono8u']:\n"
         "    PixelFormat.from_name(name)\n"
         "print(_suggestions._index.cache_info().currsize)\n"
         "PixelFormat.readings('mono8')\n"
         "print(_suggestions._index.cache_info().currsize)\n"],
        capture_output=True, text=True, check=False)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["0", "0"]


@pytest.mark.parametrize("name", ["Mono8", "Mono12p", "YCbCr709_422_8_CbYCrY", "R10_Deprecated", "Mono8Signed",
                                  "RGB8Packed", "Mono12Packed"])
def test_strict_reads_the_value_list_and_legacy_spellings(name):
    reading = PixelFormat.from_name(name, strict=True)
    assert reading == PixelFormat.from_name(name) and reading.code is not None


@pytest.mark.parametrize(
    ("name", "offered"),
    [("Mono8u", ("Mono8", "Mono8s")), ("RGB565", ("RGB565p",)), ("Mono10c3p32", ()), ("YUV422_10p", ())],
)
def test_strict_refuses_a_name_the_grammar_alone_reads(name, offered):
    assert PixelFormat.from_name(name).code is None
    error = failure(name, strict=True)
    assert str(error).startswith(f"{name!r} reads by the naming grammar but is not in the value list")
    assert (error.name, error.position, error.readings, error.suggestions) == (name, len(name), (), offered)


@pytest.mark.parametrize("name", ["Mono12P", "Foo8", ""])
def test_strict_gives_a_name_that_does_not_read_the_usual_error(name):
    assert str(failure(name, strict=True)) == str(failure(name))


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if self.value is None:
            raise ZeroDivisionError("no truth")
        return self.value


@pytest.mark.parametrize(("strict", "reads"), [(0, True), (1, False), ("", True), (Truth(True), False),
                                               (Truth(False), True)])
def test_strict_takes_any_object_by_its_truth(strict, reads):
    if reads:
        assert PixelFormat.from_name("Mono8u", strict=strict).name == "Mono8u"
    else:
        failure("Mono8u", strict=strict)


def test_strict_checks_its_arguments():
    with pytest.raises(ZeroDivisionError):
        PixelFormat.from_name("Mono8", strict=Truth(None))
    with pytest.raises(TypeError, match="expected str"):
        PixelFormat.from_name(b"Mono8", strict=True)
    with pytest.raises(TypeError):
        PixelFormat.from_name("Mono8", True)
    with pytest.raises(TypeError):
        PixelFormat.from_name("Mono8", stric=True)
