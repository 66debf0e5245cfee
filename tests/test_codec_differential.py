"""Random buffers and random images through the package's codec and the reference model, compared.

Every standard format whose layout is defined takes part, and names the table
does not hold but the grammar builds. Each test draws a size (odd widths
included), a stride or none, and the data; the two codecs must return the
same arrays (same dtype, shape and bits) or raise the same kind of error.
"""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from codec_impls import load
from codec_vectors import assert_same_image

# Well-formed names outside the table: clusters, groups, msb forms, alignment, per-channel widths and
# data types, widths the table never uses.
OUTSIDE_THE_TABLE = [
    "Mono10c3p32", "Mono10c3g32", "Mono10c3a64", "Mono10c3", "Mono12g", "Mono12c2g", "Mono10g", "Mono10gmsb",
    "RGB12g40", "RGB10g32", "RGB12g", "RGB8a32", "BGRa8a64", "Mono10msb", "Mono12msb", "RGB10msb",
    "Mono12pmsb", "Mono10p32", "Mono20p", "Mono24", "Mono1", "Mono4", "Mono64", "RGB565", "YCbCr160808",
    "BayerRG24", "aRGB8", "RGB8s", "Mono10s", "Coord3D_ABC64f", "Mono32f", "CFA_RGGB8", "POL22M1_8",
    "YCbCr422_10p", "YCbCr411_10p", "YCbCr420_10p_YY_CbCr_Semiplanar", "YCbCr422_16_YY_CrCb_Semiplanar",
]


def _formats() -> list[str]:
    try:
        from corvella.pfnc import PixelFormat
        from pfnc_model import codec as oracle
    except ImportError:
        return []
    names = []
    for name in [f.name for f in PixelFormat.standard()] + OUTSIDE_THE_TABLE:
        try:
            oracle.layout_of(name)
        except NotImplementedError:
            continue
        names.append(name)
    return names


FORMATS = _formats()
# Each format gets a tenth of the profile's examples: hundreds of formats share the budget.
EXAMPLES = max(5, settings.default.max_examples // 10)
BUFFER_TYPES = [bytes, bytearray, memoryview, lambda b: np.frombuffer(b, np.uint8),
                lambda b: np.frombuffer(b + bytes(-len(b) % 4), "<u4")]
ALL_DTYPES = [np.dtype(t) for t in ("u1", "u2", "u4", "u8", "i1", "i2", "i4", "i8", "f4", "f8")]


def outcome(call):
    """What ``call()`` returns, or the kind of error it raises."""
    try:
        return "returned", call()
    except NotImplementedError:
        return "raised", NotImplementedError
    except ValueError:
        return "raised", ValueError
    except TypeError:
        return "raised", TypeError


def assert_same_outcome(found, expected, what: str) -> None:
    assert found[0] == expected[0] and (found[0] == "returned" or found[1] is expected[1]), \
        f"{what}\ncodec:  {found}\noracle: {expected}"
    if found[0] == "returned":
        if isinstance(expected[1], bytes):
            assert found[1] == expected[1], what
        else:
            assert_same_image(found[1], expected[1])


@st.composite
def geometry(draw, name: str):
    """A size, and a stride that is none, the least, a little more, or a byte short of a line."""
    oracle = load("oracle")
    width, height = draw(st.integers(1, 9)), draw(st.integers(1, 4))
    stride = None
    if draw(st.booleans()):
        try:
            least = oracle.line_bytes(name, width)
        except ValueError:
            least = width
        stride = least + draw(st.sampled_from([0, 0, 1, 3, -1]))
    return width, height, stride


@pytest.mark.parametrize("name", FORMATS)
@settings(max_examples=EXAMPLES)
@given(data=st.data())
def test_random_buffers_decode_alike(name, data):
    codec, oracle = load("codec"), load("oracle")
    width, height, stride = data.draw(geometry(name))
    try:
        needed = oracle.needed_bytes(name, width, height, stride=stride)
    except ValueError:
        needed = width * height * 8
    size = needed + data.draw(st.sampled_from([0, 0, 0, 2, -1]))
    raw = data.draw(st.binary(min_size=max(size, 0), max_size=max(size, 0)))
    buffer = data.draw(st.sampled_from(BUFFER_TYPES))(raw)
    what = f"decode {name} {width} x {height}, stride {stride}, {len(buffer)} bytes"
    expected = outcome(lambda: oracle.decode(buffer, name, width, height, stride=stride))
    found = outcome(lambda: codec.decode(buffer, name, width, height, stride=stride))
    assert_same_outcome(found, expected, what)
    if expected[0] == "returned":
        # what came out goes back in, padding now zero
        again = outcome(lambda: codec.encode(expected[1], name, stride=stride))
        assert_same_outcome(again, outcome(lambda: oracle.encode(expected[1], name, stride=stride)), what)


def _elements(dtype: np.dtype, width: int, letter: str, out_of_range: bool):
    if dtype.kind == "f":
        return st.floats(width=8 * dtype.itemsize, allow_nan=True)
    if letter == "f":                                     # a float format given ints: any will do
        width, letter = 8, "u"
    low, high = (0, (1 << width) - 1) if letter == "u" else (-(1 << (width - 1)), (1 << (width - 1)) - 1)
    if out_of_range:                                      # one past either end
        low, high = low - 1, high + 1
    info = np.iinfo(dtype)                                # as far as the dtype holds
    return st.integers(max(low, int(info.min)), min(high, int(info.max)))


@pytest.mark.parametrize("name", FORMATS)
@settings(max_examples=EXAMPLES)
@given(data=st.data())
def test_random_images_encode_alike(name, data):
    codec, oracle = load("codec"), load("oracle")
    layout = oracle.layout_of(name)
    width, height, stride = data.draw(geometry(name))
    dtype = oracle.dtype_of(layout)
    if data.draw(st.integers(0, 9)) == 0:
        dtype = data.draw(st.sampled_from(ALL_DTYPES))        # most often the wrong one
    out_of_range = data.draw(st.integers(0, 9)) == 0
    template = outcome(lambda: oracle.decode(bytes(width * height * 64), layout, width, height))
    if template[0] != "returned":
        assert_same_outcome(outcome(lambda: codec.decode(bytes(width * height * 64), name, width, height)),
                            template, f"decode {name} {width} x {height}")
        return
    letter = layout.types[0]

    def draw_array(shape, channel):
        elements = _elements(dtype, layout.widths[channel], letter, out_of_range)
        return data.draw(hnp.arrays(dtype, shape, elements=elements))

    if isinstance(template[1], dict):
        image = {key: draw_array(array.shape, layout.channels.index(key)) for key, array in template[1].items()}
    elif template[1].ndim == 2:
        image = draw_array(template[1].shape, 0)
    else:
        image = np.stack([draw_array(template[1].shape[:2], c) for c in range(template[1].shape[2])], axis=-1)
    what = f"encode {name} {width} x {height}, stride {stride}, {dtype}"
    expected = outcome(lambda: oracle.encode(image, name, stride=stride))
    assert_same_outcome(outcome(lambda: codec.encode(image, name, stride=stride)), expected, what)
    if expected[0] == "returned":
        assert_same_outcome(outcome(lambda: codec.decode(expected[1], name, width, height, stride=stride)),
                            ("returned", image), what)


@pytest.mark.parametrize("name", FORMATS)
def test_wide_lines_decode_alike(name):
    """Lines long enough for the codec's faster loops, whose tails the small draws above never reach."""
    codec, oracle = load("codec"), load("oracle")
    rng = np.random.default_rng(sum(name.encode()))
    for width, height, padding in ((212, 2, None), (211, 3, None), (212, 2, 5)):
        try:
            stride = None if padding is None else oracle.line_bytes(name, width) + padding
            size = oracle.needed_bytes(name, width, height, stride=stride)
        except ValueError:                      # a size the format refuses: the codec must refuse it too
            stride, size = None, 64
        buffer = rng.integers(0, 256, size, np.uint8).tobytes()
        what = f"{name} {width} x {height}, stride {stride}"
        expected = outcome(lambda: oracle.decode(buffer, name, width, height, stride=stride))
        found = outcome(lambda: codec.decode(buffer, name, width, height, stride=stride))
        assert_same_outcome(found, expected, "decode " + what)
        if expected[0] == "returned":
            again = outcome(lambda: oracle.encode(expected[1], name, stride=stride))
            assert_same_outcome(outcome(lambda: codec.encode(expected[1], name, stride=stride)), again,
                                "encode " + what)
