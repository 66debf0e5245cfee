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
    [("mono8", ("Mono8",)), ("Mono12P", ("Mono12p",)), ("BayerRG12P", ("BayerRG12p",)), ("RBG8", ("RGB8",)),
     ("RGB8Pakced", ("RGB8Packed",)), ("Mono8_", ("Mono8", "Mono8s")), ("YUV422_UYVY", ("YUV422_8_UYVY",)),
     ("yuv422_uyvy", ("YUV422_8_UYVY",)), ("Coord3D_ABC32f_Planr", ("Coord3D_ABC32f_Planar",)),
     ("YCbCr422_8_YY_Semiplanar", ("YCbCr422_8_YY_CbCr_Semiplanar", "YCbCr422_8_YY_CrCb_Semiplanar")),
     # Only the closest kind, at most three in value order, the nearest in case first.
     ("BAYERRG8", ("BayerRG8",)), ("RGB", ("RGB8", "RGB10", "RGB12")), ("MONO8SIGNED", ("Mono8Signed", "Mono8signed")),
     *[(nonsense, ()) for nonsense in ["xyzzy", "Foo8", "Q8", "8", "_", "Hello_World", "", "M" * 600, "Mono8" * 200]]],
)
def test_a_near_miss_offers_the_closest_names_and_nonsense_none(name, offered):
    error = failure(name)
    assert error.suggestions == pickle.loads(pickle.dumps(error)).suggestions == offered
    offer = str(error).partition("; did you mean ")[2]
    places = [offer.find(repr(name)) for name in offered]
    assert -1 not in places and places == sorted(places) and offer.endswith("?") == bool(offered)


def test_the_message_keeps_its_text_and_adds_the_names():
    assert str(failure("Mono12P")) == ("'Mono12P' is not a pixel-format name: reading gets through 'Mono12' and no"
                                       " piece reads 'P'; did you mean 'Mono12p'?") == str(failure("Mono12P", strict=1))
    assert str(failure("RGB")).endswith("; did you mean 'RGB8', 'RGB10' or 'RGB12'?")


@pytest.mark.parametrize("names", [[name for name, _ in STANDARD], list(LEGACY)], ids=["standard", "legacy"])
def test_every_name_is_offered_for_its_spelling_in_another_case(names):
    spellings = {(name, spelling) for name in names for spelling in (name.upper(), name.lower(), name.swapcase())}
    assert {s for name, s in spellings if not PixelFormat.readings(s) and name not in failure(s).suggestions} == set()


def test_names_that_read_never_look_for_suggestions():
    code = ("from corvella.pfnc.names import PixelFormat, STANDARD, LEGACY, _suggestions\n"
            "for name in [n for n, _ in STANDARD] + list(LEGACY): PixelFormat.from_name(name, strict=True)\n"
            "PixelFormat.readings('mono8'); print(_suggestions._index.cache_info().currsize)")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=False)
    assert (run.returncode, run.stdout, run.stderr) == (0, "0\n", "")


@pytest.mark.parametrize(
    ("name", "offered"),
    [("Mono8", None), ("R10_Deprecated", None), ("Mono8Signed", None), ("RGB8Packed", None), ("Mono12Packed", None),
     ("Mono8u", ("Mono8", "Mono8s")), ("RGB565", ("RGB565p",)), ("Mono10c3p32", ())],
)
def test_strict_reads_the_value_list_and_legacy_spellings_only(name, offered):
    if offered is None:
        assert PixelFormat.from_name(name, strict=True) == PixelFormat.from_name(name, strict=0)
        return
    assert PixelFormat.from_name(name, strict="").code is None
    error = failure(name, strict=1)
    assert str(error).startswith(f"{name!r} reads by the naming grammar but is not in the value list")
    assert (error.name, error.position, error.readings, error.suggestions) == (name, len(name), (), offered)


@pytest.mark.parametrize("arguments", [(b"Mono8",), ("Mono8", True)])
def test_strict_takes_a_str_by_keyword(arguments):
    with pytest.raises(TypeError):
        PixelFormat.from_name(*arguments, strict=True) if len(arguments) == 1 else PixelFormat.from_name(*arguments)
