"""Whole pixel-format names: every standard name, the grammar beyond the table, bad input."""

import copy
import gc
import pickle
from fractions import Fraction

import importlib

import pytest

formats = importlib.import_module("corvella.pfnc.names.formats")
from corvella.pfnc import PixelFormat  # noqa: E402
from corvella.pfnc.names._standard_table import LEGACY, STANDARD  # noqa: E402
from corvella.pfnc.exceptions import NameReadError, PfncError, UnknownCodeError  # noqa: E402
from corvella.pfnc.genicam import layouts, scalars, widths  # noqa: E402
from corvella.pfnc.genicam.components import MosaicLocation, SamplingLocation  # noqa: E402


@pytest.fixture
def registry():
    snapshot = scalars.DATA_TYPE_REGISTRY.snapshot()
    yield scalars.DATA_TYPE_REGISTRY
    scalars.DATA_TYPE_REGISTRY.restore(snapshot)


def test_every_standard_name_reads_once_with_its_value_and_bits():
    disagree = []
    for name, code in STANDARD:
        (pf,) = PixelFormat.readings(name)
        assert (pf.name, pf.code, str(pf), pf.designation()) == (name, code, name, name)
        assert PixelFormat.from_code(code) == pf
        assert "".join(pf.pieces()) == name
        if pf.bits_per_pixel != (code >> 16) & 0xFF:
            disagree.append(name)
    assert len(STANDARD) == 276
    assert all(name.endswith("_Deprecated") for name in disagree)
    assert [pf.name for pf in PixelFormat.standard()] == [name for name, _ in STANDARD]


@pytest.mark.parametrize(("spelling", "standard"), list(LEGACY.items()))
def test_a_legacy_spelling_reads_as_its_standard_format(spelling, standard):
    assert PixelFormat.readings(spelling) == [PixelFormat.from_name(standard)]


@pytest.mark.parametrize(
    ("name", "channels", "sizes", "types", "packing", "bits"),
    [
        ("Mono10c3p32", ("Mono",), [10], "u", "c3p32", Fraction(32, 3)),
        ("Mono10c3a64", ("Mono",), [10], "u", "c3a64", Fraction(64, 3)),
        ("Mono12g", ("Mono",), [12], "u", "g", 12),
        ("Mono10g12", ("Mono",), [10], "u", "g12", 12),
        ("RGB12g40", ("R", "G", "B"), [12, 12, 12], "uuu", "g40", 40),
        ("Mono10msb", ("Mono",), [10], "u", "msb", 16),
        ("Mono10pmsb", ("Mono",), [10], "u", "pmsb", 10),
        ("RGB10p32msb", ("R", "G", "B"), [10, 10, 10], "uuu", "p32msb", 32),
        ("RGB8a32", ("R", "G", "B"), [8, 8, 8], "uuu", "a32", 32),
        ("RGB565", ("R", "G", "B"), [5, 6, 5], "uuu", None, 24),
        ("YCbCr160808", ("Y", "Cb", "Cr"), [16, 8, 8], "uuu", None, 32),
        ("Coord3D_ABC32usf", ("A", "B", "C"), [32, 32, 32], "usf", None, 96),
        ("Mono8u", ("Mono",), [8], "u", None, 8),
        ("aRGB8", ("a", "R", "G", "B"), [8] * 4, "uuuu", None, 32),
        ("Mono20p", ("Mono",), [20], "u", "p", 20),
        ("BayerRG24", ("BayerRG",), [24], "u", None, 32),
        ("POL44C1X8", ("POL44C1X",), [8], "u", None, 8),
        ("CFA2by3_RGBGYeIr10p", ("CFA2by3_RGBGYeIr",), [10], "u", "p", 10),
        ("YCbCr709_411_10p_CbYYCrYY", ("Y", "Cb", "Cr"), [10] * 3, "uuu", "p", 15),
        ("YUV411_9p", ("Y", "U", "V"), [9] * 3, "uuu", "p", Fraction(27, 2)),
    ],
)
def test_grammar_names_outside_the_table(name, channels, sizes, types, packing, bits):
    pf = PixelFormat.from_name(name)
    assert (pf.name, pf.code, pf.components.names, list(pf.size)) == (name, None, channels, sizes)
    assert ("".join(pf.channel_types), pf.bits_per_pixel, type(pf.bits_per_pixel)) == (types, bits, type(bits))
    assert (pf.packing.designation() if pf.packing else None) == packing
    assert "".join(pf.pieces()) == name


def test_locations_and_planes():
    semi = PixelFormat.from_name("YCbCr420_8_YY_CrCb_Semiplanar")
    assert semi.planes == (("Y", "Y"), ("Cr", "Cb"))
    assert semi.sampling == ((1, 1), (2, 2), (2, 2))
    assert isinstance(semi.interface_specific, layouts.SemiPlanar)
    ycbcr = PixelFormat.from_name("YCbCr709_422_8_CbYCrY").components.location
    assert ycbcr == SamplingLocation((2, 1, 1), "422", "709") and isinstance(ycbcr, layouts.LMNLocation)
    assert PixelFormat.from_name("BayerGB8").components.location == MosaicLocation("Bayer", "GB", 2, 2, tuple("GBRG"))
    assert PixelFormat.from_name("Coord3D_AC12p").size.sizes == [12, 12]  # one width for both, as its value says


@pytest.mark.parametrize(
    "name",
    ["", "Mono12P", "RGB8_planar", "Mono8_", "Mono65", "Mono8_8", "Mono08", "Coord3D_AC1010", "RGB8f",
     "Mono8msb", "RGB10c3p", "Mono10p10", "RGB8a30", "Mono8g", "RGB10Packed8", "YCbCr420_8",
     "YCbCr422_8_YY_Semiplanar", "RGB8_Semiplanar", "Mono8_Deprecated", "RGB8_RGB", "YUV422_8_YUYV", "YCbCr411_8_YYCbYYCr", "Mono\x008", "Mono\ud8008", "Mono\u00b2",
     "M" * 10_000_000, "Mono" + "9" * 10_000_000],
)
def test_names_that_do_not_read(name):
    with pytest.raises(NameReadError) as caught:
        PixelFormat.from_name(name)
    assert isinstance(caught.value, PfncError) and isinstance(caught.value, ValueError)
    # The text is cut in the message; only the names offered may add to it.
    offered = caught.value.suggestions
    assert len(offered) <= 3 and all(name in str(caught.value) for name in offered)
    assert PixelFormat.readings(name) == [] and len(str(caught.value)) < 200 + sum(len(name) + 4 for name in offered)


@pytest.mark.parametrize(
    ("name", "position", "says"),
    [("Mono12P", 6, "reading gets through 'Mono12' and no piece reads 'P'"),
     ("Coord3D_AC1010", 14, "the convention writes its reading as 'Coord3D_AC10'"),
     ("YCbCr420_8", 10, "its pieces read to the end but do not fit together"),
     ("Foo8", 0, "it starts with no components field"),
     ("x" * 600, 0, "'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx'... (600 characters) is not a pixel-format name")],
)
def test_the_message_says_how_far_reading_got(name, position, says):
    with pytest.raises(NameReadError) as caught:
        PixelFormat.from_name(name)
    assert caught.value.position == position and says in str(caught.value)
    assert pickle.loads(pickle.dumps(caught.value)).position == position


class Text(str):
    pass


@pytest.mark.parametrize("name", [None, b"Mono8", 8, Text("Mono8")])
def test_a_name_must_be_a_str(name):
    with pytest.raises(TypeError, match="expected str"):
        PixelFormat.from_name(name)


@pytest.mark.parametrize(
    ("value", "error"),
    [(1.0, TypeError), (True, TypeError), ("1", TypeError), (None, TypeError), (-1, ValueError),
     (2**32, ValueError), (10**400, ValueError), (0x01080099, UnknownCodeError)],
)
def test_bad_values(value, error):
    with pytest.raises(error) as caught:
        PixelFormat.from_code(value)
    if error is UnknownCodeError:
        assert "0x01080099" in str(caught.value) and isinstance(caught.value, LookupError)


def test_a_registered_letter_takes_part(registry):
    registry.register("x")
    assert PixelFormat.from_name("Mono8x").channel_types == ("x",)
    registry.register("p")
    assert len(PixelFormat.readings("Mono12p")) == 2
    with pytest.raises(NameReadError, match="2 readings") as caught:
        PixelFormat.from_name("Mono12p")
    assert len(caught.value.readings) == 2
    assert PixelFormat.from_code(0x010C0047).packing.designation() == "p"


def test_a_user_interface_specific_and_a_patched_global_take_part(monkeypatch):
    class Mirrored(layouts.InterfaceSpecific):
        def designation(self):
            return "Mirrored"

        @classmethod
        def from_designation(cls, full_designation, components, sizes):
            return [(cls(), full_designation[8:])] if full_designation.startswith("Mirrored") else []

    assert isinstance(PixelFormat.from_name("RGB8_Mirrored").interface_specific, Mirrored)
    del Mirrored
    gc.collect()
    with pytest.raises(NameReadError):
        PixelFormat.from_name("RGB8_Mirrored")
    monkeypatch.setattr(layouts, "all_implementations", lambda cls: [])
    with pytest.raises(NameReadError):
        PixelFormat.from_name("RGB8_Planar")
    monkeypatch.setattr(widths, "Size", None)
    with pytest.raises(AttributeError):
        PixelFormat.from_name("RGB8")


def test_a_pixel_format_is_an_immutable_value():
    for name in ["YCbCr420_8_YY_CbCr_Semiplanar", "BayerRG12p", "POL44C1X8", "Mono10c3p32", "RGB8_Planar"]:
        read = PixelFormat.from_name(name)
        assert pickle.loads(pickle.dumps(read)) == read == copy.deepcopy(read) and copy.copy(read) is read
    pf = PixelFormat.from_name("RGB10p32")
    assert hash(pf) == hash(PixelFormat.from_code(pf.code)) and pf != PixelFormat.from_name("RGB10p")
    pf.size.sizes.append(1)
    pf.components.location = "x"
    assert list(pf.size) == [10, 10, 10] and pf.components.location is None
    with pytest.raises(AttributeError):
        pf.name = "Mono8"
    with pytest.raises(TypeError):
        PixelFormat()
    assert repr(pf) == "<PixelFormat RGB10p32: RGB [10, 10, 10] uuu, packing p32, 32 bits per pixel, code 0x0220001D>"


def test_the_command(capsys):
    from corvella.pfnc.__main__ import main

    assert main(["RGB8Packed", "0x01080009"]) == 0
    out = capsys.readouterr().out
    assert "RGB8Packed: reads as RGB8" in out and "Bayer mosaic, 2x2 tile: R G G B" in out
    assert main(["Mono8", "Mono12P", "0x1"]) == 1
    printed = capsys.readouterr()
    assert "no piece reads 'P'" in printed.err and "0x00000001" in printed.err and "Mono8\n" in printed.out
    assert main(["layout", "Mono8"]) in (0, 2)


hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies
FIELDS = ["Mono", "R", "Coord3D_AC", "RGB", "BGRa", "YCbCr709", "YUV422", "YCbCr2020_411", "BayerGR", "BiColorRGBG",
          "SCF1WGWR", "CFA_RGBGRGBGR", "CFA2by1_YeIr", "POL44M2XY", "Coord3D_ABC"]


@hypothesis.given(st.text(alphabet="MonoRGBYCbCr_0123456789pgcamsbfuPlanrSei", max_size=24))
def test_any_text_reads_as_itself_or_raises_name_read_error(text):
    readings = PixelFormat.readings(text)
    assert all("".join(pf.pieces()) == pf.name == text for pf in readings)
    if len(readings) == 1:
        assert PixelFormat.from_name(text) == readings[0]
    else:
        with pytest.raises(NameReadError):
            PixelFormat.from_name(text)


@hypothesis.given(st.sampled_from(FIELDS), st.integers(1, 64), st.sampled_from(["", "s", "f", "u"]),
                  st.sampled_from(["", "p", "msb", "pmsb", "g", "gmsb", "c2", "c4p", "a64", "p96msb"]))
def test_names_built_by_the_grammar_compose_back(field, width, data_type, packing):
    name = f"{field}{'_' if field[-1].isdigit() else ''}{width}{data_type}{packing}"
    for pf in PixelFormat.readings(name):
        assert "".join(pf.pieces()) == name and pf.code == dict(STANDARD).get(name)
        assert list(pf.size) == [width] * len(pf.components) and pf.bits_per_pixel >= width
        assert pf.channel_types == (data_type or "u",) * len(pf.components)


class Boom(Exception):
    pass


def test_hostile_collaborators_propagate_their_errors():
    class Raising(layouts.InterfaceSpecific):
        def designation(self):
            raise Boom

        @classmethod
        def from_designation(cls, full_designation, components, sizes):
            if full_designation.startswith("Boom"):
                raise Boom
            return [(cls(), "")] if full_designation == "Nameless" else [(cls(), 5)]

    class Odd(scalars.DataTypes):
        designation = __len__ = __getitem__ = None

        @staticmethod
        def from_designation(full_designation, number_of_channels):
            return [(None, None), (None, 7)]

    for name, error in [("RGB8_Boom", Boom), ("RGB8_Nameless", Boom), ("RGB8_Other", NameReadError)]:
        with pytest.raises(error):
            PixelFormat.from_name(name)
    assert PixelFormat.from_name("RGB8").name == "RGB8"
    del Raising, Odd
    gc.collect()


def test_a_value_may_be_any_integer_but_a_bool():
    import enum

    class Codes(enum.IntEnum):
        MONO8 = 0x01080001

    class Index:
        def __index__(self):
            return 0x01080001

    assert PixelFormat.from_code(Codes.MONO8).name == PixelFormat.from_code(Index()).name == "Mono8"
