"""A frame's size in bytes, from the names layer, against what the pixel loops read and write."""

import pytest

np = pytest.importorskip("numpy")
from corvella.pfnc import PixelFormat  # noqa: E402
from corvella.pfnc.names import LEGACY  # noqa: E402
from corvella.pfnc.pixels.codec import encode  # noqa: E402
from codec_impls import decode_any  # noqa: E402

GRAMMAR = ["Mono10c3p32", "Mono10c3g32", "Mono10c3a64", "Mono10c4p", "Mono12g", "Mono10gmsb", "RGB12g40",
           "RGB8a32", "Mono12pmsb", "Mono20p", "Mono1", "Mono4", "RGB565", "YUV422_10p", "YCbCr411_10p",
           "YCbCr420_10p_YY_CbCr_Semiplanar", "YCbCr422_16_YY_CrCb_Semiplanar", "Mono16f", "Mono10c3"]
NAMES = [f.name for f in PixelFormat.standard()] + sorted(LEGACY) + GRAMMAR
# Odd widths and heights, widths that split a packed group, and one of many groups.
SIZES = [(1, 1), (3, 2), (7, 3), (12, 4), (24, 2), (212, 2)]


def outcome(call):
    try:
        return call()
    except (ValueError, NotImplementedError) as error:
        return type(error), str(error).split(": ", 1)[0] if isinstance(error, NotImplementedError) else str(error)


@pytest.mark.parametrize("name", NAMES)
def test_a_stream_is_exactly_what_decode_reads(name):
    fmt = PixelFormat.from_name(name)
    for width, height in SIZES:
        size = outcome(lambda: fmt.buffer_size(width, height))
        if isinstance(size, tuple):
            refused = outcome(lambda: decode_any(bytes(width * height * 64), fmt, width, height))
            assert refused[0] is size[0] and (size[0] is NotImplementedError or refused == size)
            continue
        decode_any(bytes(size), fmt, width, height)
        with pytest.raises(ValueError, match=f"need {size} bytes, {size - 1} given"):
            decode_any(bytes(size - 1), fmt, width, height)


@pytest.mark.parametrize("name", NAMES)
def test_strided_frames_follow_one_another(name):
    """Each frame takes its lines' strides in full: frame k starts at k times the size."""
    fmt = PixelFormat.from_name(name)
    rng = np.random.default_rng(len(name))
    for width, height in SIZES:
        stride = 9 * width + 5
        size = outcome(lambda: fmt.buffer_size(width, height, stride=stride))
        if isinstance(size, tuple):
            refused = outcome(lambda: decode_any(bytes(width * height * 99), fmt, width, height, stride=stride))
            assert refused[0] is size[0] and (size[0] is NotImplementedError or refused == size)
            continue
        images = [decode_any(rng.integers(0, 256, size, np.uint8).tobytes(), fmt, width, height, stride=stride)
                  for _ in range(3)]
        frames = [encode(image, fmt, stride=stride) for image in images]
        assert [len(frame) for frame in frames] == [size] * 3
        stream = b"".join(frames)
        for k, image in enumerate(images):
            assert _same(decode_any(memoryview(stream)[k * size:], fmt, width, height, stride=stride), image)


def _same(a, b) -> bool:
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize(("args", "kwargs"), [
    ((True, 1), {}), ((1, 1), {"stride": False}), (("3", 1), {}), ((1, 2.0), {}), ((0, 1), {}), ((1, -4), {}),
    ((3, 1), {"stride": 0}), ((3, 1), {"stride": 2}), ((1 << 40, 1 << 40), {}), ((1 << 70, 1), {}),
    ((np.int64(3), np.uint8(2)), {"stride": np.int32(1)}),
])
@pytest.mark.parametrize("name", ["Mono8", "RGB8"])
def test_sizes_are_refused_as_decode_refuses_them(name, args, kwargs):
    def refusal(call):
        try:
            call()
        except (TypeError, ValueError) as error:
            return type(error), str(error)
        return None

    expected = refusal(lambda: decode_any(bytes(64), name, *args, **kwargs))
    assert expected is not None and refusal(lambda: PixelFormat.from_name(name).buffer_size(*args, **kwargs)) == expected


@pytest.mark.parametrize(("name", "width", "height", "stride", "size"), [
    ("Mono12p", 3, 3, None, 14),          # 27 values of 12 bits, the last one's half byte included
    ("Mono12p", 3, 3, 8, 24),              # three lines of 5 bytes, each padded to 8
    ("Mono10p", 5, 1, None, 7),
    ("YCbCr420_8_YY_CbCr_Semiplanar", 4, 2, 6, 18),  # two lines of Y, one of CbCr
    ("RGB8_Planar", 2, 2, 3, 18),
    ("Mono10c3p32", 6, 1, None, 8),
])
def test_sizes_of_packed_and_planar_layouts(name, width, height, stride, size):
    assert PixelFormat.from_name(name).buffer_size(width, height, stride=stride) == size
