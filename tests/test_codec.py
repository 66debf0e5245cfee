"""Decoding and encoding pixel buffers: round trips, the argument rules, and buffers that fight back."""

import importlib
import mmap
import re
import threading

import pytest

np = pytest.importorskip("numpy")
codec = importlib.import_module("corvella.pfnc.pixels.codec")
from corvella.pfnc import PixelFormat, decode, encode  # noqa: E402
from corvella.pfnc.pixels import _convert as convert  # noqa: E402
from corvella.pfnc.pixels import _layout, _plans  # noqa: E402
from corvella.pfnc.pixels.codec import decode_planes  # noqa: E402
from codec_impls import decode_any  # noqa: E402

UNDEFINED = {"RGB10V1Packed", "RGB12V1Packed"}
STANDARD = [f for f in PixelFormat.standard() if f.name not in UNDEFINED]
# Well-formed names outside the table, one per packing rule the table does not use.
OUTSIDE = ["Mono10pmsb", "RGB10p32msb", "Mono12g", "Mono10g12", "RGB10g32", "RGB12g40", "Mono10c3p32",
           "Mono10c3a64", "RGB8a32", "Mono12msb", "Mono16s", "Mono10gmsb"]


def sizes(fmt, wide=False):
    """(width, height, stride) the format accepts: odd widths where a stream allows, a stride with room."""
    sub = max(max(h for h, _ in fmt.sampling), max(v for _, v in fmt.sampling))
    planes = _layout.layout_of(fmt).planes
    group = max(p.group_pixels for p in planes)
    step = group if group > 1 and planes[0].partial_bytes is None else 1
    width = max(step, sub) * (3 if not wide else 3 * 16 * group) + (1 if step == 1 and sub == 1 else 0)
    return [(width, 2 * sub, None), (width, 2 * sub, 8 * width * 8 + 3)]


def needed_bytes(fmt, width, height, stride=None):
    with pytest.raises(ValueError, match="data is too short") as refused:
        decode_any(b"", fmt, width, height, stride=stride)
    return int(re.search(r"need (\d+) bytes", str(refused.value))[1])


def random_buffer(rng, fmt, width, height, stride):
    return rng.integers(0, 256, needed_bytes(fmt, width, height, stride) + 5, dtype=np.uint8).tobytes()


def general_plan(fmt):
    """The format's plan that keeps to the general loop."""
    return _plans.build(fmt if isinstance(fmt, PixelFormat) else PixelFormat.from_name(fmt), general=True).plan


def general_decode(fmt, data, width, height, stride=None):
    return general_plan(fmt).decode(data, width, height, stride, np.empty, codec._recycled)


def outputs_of(image):
    return (image,) if not isinstance(image, dict) else tuple(image.values())


def same(a, b):
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("fmt", STANDARD + [PixelFormat.from_name(n) for n in OUTSIDE], ids=str)
def test_round_trips(fmt):
    rng = np.random.default_rng(fmt.code or 7)
    for width, height, stride in sizes(fmt):
        image = decode_any(random_buffer(rng, fmt, width, height, stride), fmt, width, height, stride=stride)
        packed = encode(image, fmt, stride=stride)
        again = decode_any(packed, fmt, width, height, stride=stride)
        assert same(again, image)
        assert encode(again, fmt, stride=stride) == packed


@pytest.mark.parametrize("fmt", STANDARD + [PixelFormat.from_name(n) for n in OUTSIDE], ids=str)
def test_fast_loops_match_the_general_one(fmt):
    """Wide images take the faster loops; a general plan keeps to the general one."""
    rng = np.random.default_rng(5)
    for width, height, stride in sizes(fmt, wide=True):
        data = random_buffer(rng, fmt, width, height, stride)
        image = decode_any(data, fmt, width, height, stride=stride)
        assert same(general_decode(fmt, data, width, height, stride), image)
        assert general_plan(fmt).encode(outputs_of(image), width, height, stride) == encode(image, fmt, stride=stride)


@pytest.mark.parametrize(("name", "values", "packed"), [
    ("Mono10p", [0x3FF, 0x155, 0x2AA, 0x001], [0xFF, 0x57, 0xA5, 0x6A, 0x00]),
    ("Mono12p", [0xABC, 0x123], [0xBC, 0x3A, 0x12]),
    ("Mono12Packed", [0xABC, 0x123], [0xAB, 0x3C, 0x12]),
    ("Mono10Packed", [0x3FF, 0x2AA], [0xFF, 0x23, 0xAA]),
    ("Mono10pmsb", [0x3FF, 0x155, 0x2AA, 0x001], [0xFF, 0xD5, 0x5A, 0xA8, 0x01]),
])
def test_layout_bytes(name, values, packed):
    assert encode(np.array([values], np.uint16), name) == bytes(packed)
    assert decode(bytes(packed), name, len(values), 1).tolist() == [values]


@pytest.mark.parametrize(("name", "width", "shapes", "dtype"), [
    ("BGR8", 4, {None: (2, 4, 3)}, "uint8"),
    ("Mono8s", 4, {None: (2, 4)}, "int8"),
    ("Coord3D_AC32f_Planar", 4, {None: (2, 4, 2)}, "float32"),
    ("Data64", 4, {None: (2, 4)}, "uint64"),
    ("YCbCr411_8_CbYYCrYY", 8, {"Y": (2, 8), "Cb": (2, 2), "Cr": (2, 2)}, "uint8"),
    ("YCbCr420_8_YY_CrCb_Semiplanar", 4, {"Y": (2, 4), "Cb": (1, 2), "Cr": (1, 2)}, "uint8"),
    ("YCbCr422_10p", 4, {"Y": (2, 4), "Cb": (2, 2), "Cr": (2, 2)}, "uint16"),
])
def test_shapes_and_types(name, width, shapes, dtype):
    out = decode_any(bytes(1000), name, width, 2)
    found = {None: out} if not isinstance(out, dict) else out
    assert {k: v.shape for k, v in found.items()} == shapes
    assert {v.dtype.name for v in found.values()} == {dtype}


def test_components_in_name_order_and_signs():
    assert decode(bytes([1, 2, 3]), "BGR8", 1, 1).tolist() == [[[1, 2, 3]]]
    planar = decode(bytes([1, 2, 3, 4, 5, 6]), "RGB8_Planar", 2, 1)
    assert planar.tolist() == [[[1, 3, 5], [2, 4, 6]]]
    assert decode(bytes([0xFF, 0x80]), "Mono8s", 2, 1).tolist() == [[-1, -128]]
    assert decode(np.array([1.5, -2.0], "<f4"), "Coord3D_AC32f", 1, 1).tolist() == [[[1.5, -2.0]]]
    uyvy = decode_planes(bytes([1, 2, 3, 4]), "YUV422_8_UYVY", 2, 1)
    assert {k: v.tolist() for k, v in uyvy.items()} == {"Y": [[2, 4]], "U": [[1]], "V": [[3]]}


def test_streams_run_on_across_lines():
    # Three 12-bit pixels a line: the second line starts in the middle of a byte's group.
    values = np.arange(1, 7, dtype=np.uint16).reshape(2, 3)
    packed = encode(values, "Mono12p")
    assert len(packed) == 9
    assert decode(packed, "Mono12p", 3, 2).tolist() == values.tolist()
    # With a stride, every line starts afresh and is padded.
    strided = encode(values, "Mono12p", stride=6)
    assert strided == encode(values[:1], "Mono12p") + b"\0" + encode(values[1:], "Mono12p") + b"\0"
    assert decode(strided, "Mono12p", 3, 2, stride=6).tolist() == values.tolist()


@pytest.mark.parametrize("data", [bytes(16), bytearray(16), memoryview(bytes(32))[::2].tobytes(),
                                  np.zeros(4, np.uint32), np.zeros((4, 4), np.uint8)], ids=type)
def test_buffer_kinds(data):
    assert decode(data, "Mono8", 4, 4).shape == (4, 4)


def test_mmap_source():
    with mmap.mmap(-1, 16) as m:
        m[:] = bytes(range(16))
        assert decode(m, 0x01080001, 4, 4).ravel().tolist() == list(range(16))


@pytest.mark.parametrize(("args", "kwargs", "error", "text"), [
    ((bytes(3), "Mono12p", 2, 2), {}, ValueError, "need 6 bytes, 3 given"),
    ((bytes(9), "Mono8", 4, 3), {"stride": 4}, ValueError, "need 12 bytes, 9 given"),
    ((bytes(9), "Mono8", 0, 3), {}, ValueError, "width must be positive"),
    ((bytes(9), "Mono8", 3, -1), {}, ValueError, "height must be positive"),
    ((bytes(9), "Mono8", 3, 3), {"stride": 2}, ValueError, "stride 2 is smaller than a line"),
    ((bytes(9), "Mono8", 3, 3), {"stride": 0}, ValueError, "stride must be positive"),
    ((bytes(9), "Mono8", 1 << 40, 1 << 40), {}, ValueError, "more than memory can hold"),
    ((bytes(9), "Mono12g", 3, 1), {}, ValueError, "not a multiple of 2"),
    ((bytes(9), "YUV422_8", 3, 1), {}, ValueError, "different resolutions.*decode_planes"),
    ((bytes(9), "RGB10V1Packed", 1, 1), {}, NotImplementedError, "RGB10V1Packed"),
    ((bytes(9), "RGB12V1Packed", 1, 1), {}, NotImplementedError, "RGB12V1Packed"),
    ((bytes(9), "Mono16f", 1, 1), {}, NotImplementedError, "Mono16f"),
    (("abc", "Mono8", 1, 1), {}, TypeError, "bytes-like"),
    ((bytes(9), 1.5, 1, 1), {}, TypeError, "not float"),
    ((bytes(9), "Mono8", "3", 1), {}, TypeError, "width must be an integer"),
    ((bytes(9), "Mono8", 3, 1), {"stride": 3.0}, TypeError, "stride must be an integer"),
    ((np.zeros((4, 4), np.uint8)[:, ::2], "Mono8", 2, 2), {}, ValueError, "C-contiguous"),
])
def test_decode_refuses(args, kwargs, error, text):
    with pytest.raises(error, match=text):
        decode(*args, **kwargs)


@pytest.mark.parametrize(("args", "text"), [
    ((bytes(9), "YUV422_8", 3, 1), "3x1 is not a multiple"),
    ((bytes(9), "YCbCr420_8_YY_CbCr_Semiplanar", 2, 3), "2x3 is not a multiple"),
])
def test_planes_refuse_sizes_their_sampling_cannot_divide(args, text):
    with pytest.raises(ValueError, match=text):
        decode_planes(*args)


@pytest.mark.parametrize(("image", "name", "error", "text"), [
    (np.array([[4096]], np.uint16), "Mono12p", ValueError, r"holds 12 bits, but the value at \(0, 0\) is 4096"),
    (np.array([[[1, 1024, 1]]], np.uint16), "RGB10p32", ValueError, r"component G holds 10 bits.* is 1024"),
    (np.array([[1]], np.uint8), "Mono12p", ValueError, "takes uint16 samples; image has dtype uint8"),
    (np.zeros((2, 2, 3), np.uint16), "Mono12p", ValueError, r"shape \(height, width\)"),
    (np.zeros((2, 2), np.uint8), "RGB8", ValueError, r"shape \(height, width, 3\)"),
    (np.zeros((2, 0), np.uint8), "Mono8", ValueError, "must not be empty"),
    ([[1]], "Mono8", TypeError, "numpy array or a dict of them by component, not list"),
    ({"Y": np.zeros((1, 2), np.uint8), "U": np.zeros((1, 1), np.uint8)}, "YUV422_8", ValueError, "'V'.*missing"),
    ({"Y": np.zeros((1, 2), np.uint8), "U": np.zeros((1, 1), np.uint8), "V": np.zeros((1, 2), np.uint8)},
     "YUV422_8", ValueError, r"'V' must have shape \(1, 1\)"),
    ({"Y": np.zeros((1, 2), np.uint8), "U": np.zeros((1, 1), np.uint8), "V": np.zeros((1, 1), np.uint8),
      "A": 0}, "YUV422_8", ValueError, "no component 'A'"),
    (np.zeros((2, 2), np.uint8), "YUV422_8", TypeError, "dict of numpy arrays"),
])
def test_encode_refuses(image, name, error, text):
    with pytest.raises(error, match=text):
        encode(image, name)


def test_encode_checks_signed_range_and_takes_views():
    with pytest.raises(ValueError, match="is -513"):
        encode(np.array([[-513]], np.int16), "Mono10s")
    image = np.arange(24, dtype=np.uint8).reshape(4, 6)
    assert encode(image[:, ::2], "Mono8") == image[:, ::2].tobytes()


def test_short_data_is_refused_with_both_counts():
    needed = needed_bytes("Mono12p", 7, 3)
    assert needed == 32
    with pytest.raises(ValueError, match=f"7x3 pixels of Mono12p need {needed} bytes, {needed - 1} given"):
        decode(bytes(needed - 1), "Mono12p", 7, 3)


@pytest.mark.parametrize("name", ["Mono12p", "YUV422_8_UYVY", "Mono12Packed", "RGB8_Planar", "YCbCr420_8_YY_CbCr_Semiplanar"])
def test_every_description_entry_is_checked(name):
    """Any entry of a plan's description changed to any value is refused, or converts within bounds."""
    fmt = PixelFormat.from_name(name)
    layout = _layout.layout_of(fmt)
    dtype = np.dtype(layout.dtype)
    keys = None if layout.targets[0][0] is None else tuple(t[0] for t in layout.targets)
    description = _plans._description(layout, dtype.itemsize)
    data = bytes(range(256)) * 8
    for i in range(len(description)):
        for value in (-1, 0, 1, 2, 7, 64, 65, 4097, 1 << 20, (1 << 62) + 1, -(1 << 63)):
            bad = description.copy()
            bad[i] = value
            try:
                plan = convert.plan(name, bad, dtype, keys)
            except ValueError:
                continue
            for stride in (None, 64):
                try:
                    image = plan.decode(data, 6, 4, stride, np.empty, codec._recycled)
                    plan.encode(outputs_of(image), 6, 4, stride)
                except ValueError:
                    pass


def test_source_changed_by_another_thread():
    width, height = 1024, 512
    data = bytearray(encode(np.full((height, width), 1000, np.uint16), "Mono12p"))
    stop = threading.Event()
    refused = []

    def meddle():
        while not stop.is_set():
            try:
                data.extend(b"\0" * 64)  # refused while the decoder holds the buffer
                del data[-64:]
            except BufferError:
                refused.append(True)
            data[:16] = bytes(16)

    thread = threading.Thread(target=meddle)
    thread.start()
    try:
        for _ in range(200):
            image = decode(data, "Mono12p", width, height)
            assert (image[1:] == 1000).all()
    finally:
        stop.set()
        thread.join()


def test_threads_decode_side_by_side():
    images = [np.random.default_rng(i).integers(0, 1024, (256, 300), dtype=np.uint16) for i in range(4)]
    packed = [encode(i, "Coord3D_C10p") for i in images]
    results = [None] * 4

    def work(k):
        results[k] = all(np.array_equal(decode(packed[k], "Coord3D_C10p", 300, 256), images[k]) for _ in range(20))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 4


def test_large_outputs_are_independent_arrays():
    """Outputs large enough to come from recycled memory never share it while alive."""
    side = 4096
    data = bytes(range(256)) * (side * side // 256)
    first = decode(data, "Mono8", side, side)
    view = first[::2]
    del first
    second = decode(data, "Mono8", side, side)
    assert second.flags.writeable and not np.shares_memory(view, second)
    second[:] = 7
    assert view[0, :4].tolist() == [0, 1, 2, 3]
    del view
    third = decode(data, "Mono8", side, side)
    assert not np.shares_memory(second, third) and third[0, :4].tolist() == [0, 1, 2, 3]


@pytest.mark.parametrize("name", ["RGB8_Planar", "RGBa8_Planar", "YUV422_8_UYVY", "YUV422_8", "YCbCr422_8_CbYCrY",
                                  "YCbCr420_8_YY_CbCr_Semiplanar", "YCbCr422_8_YY_CbCr_Semiplanar"])
@pytest.mark.parametrize("groups", [210, 211, 212])
def test_byte_moving_loops_match_the_general_one(name, groups):
    """Rounds of 16 groups with tails of 2, 3 and 4 groups after them."""
    fmt = PixelFormat.from_name(name)
    rng = np.random.default_rng(groups)
    width = groups * max(h for h, _ in fmt.sampling)
    for stride in (None, 2 * width * 4 + 5):
        data = random_buffer(rng, fmt, width, 4, stride)
        image = decode_any(data, fmt, width, 4, stride=stride)
        assert same(general_decode(fmt, data, width, 4, stride), image)
        assert general_plan(fmt).encode(outputs_of(image), width, 4, stride) == encode(image, fmt, stride=stride)


@pytest.mark.parametrize(("name", "bits"), [("Mono10p", 10), ("Mono12p", 12)])
@pytest.mark.parametrize("width", [211, 212])
def test_packed_encode_loop_matches_the_general_one_and_checks_every_value(name, bits, width):
    rng = np.random.default_rng(width)
    image = rng.integers(0, 1 << bits, (3, width), dtype=np.uint16)
    for stride in (None, width * 2 + 3):
        packed = encode(image, name, stride=stride)
        assert general_plan(name).encode((image,), width, 3, stride) == packed
        assert decode(packed, name, width, 3, stride=stride).tolist() == image.tolist()
    for row, column in [(0, 0), (1, width // 2), (2, width - 1)]:
        wrong = image.copy()
        wrong[row, column] = 1 << bits
        with pytest.raises(ValueError, match=re.escape(f"at {(row, column)} is {1 << bits}")):
            encode(wrong, name)
