"""to_rgb: YCbCr against the float formulas, channel order and depth, mosaics, out=, and the refusals."""

import os
import subprocess
import sys
import zlib

import pytest

np = pytest.importorskip("numpy")
from corvella.pfnc import PixelFormat  # noqa: E402
from corvella.pfnc.pixels import encode, to_rgb  # noqa: E402
from corvella.pfnc.pixels.codec import _decoded as decoded  # noqa: E402

KR_KB = {"601": (0.299, 0.114), "709": (0.2126, 0.0722), "2020": (0.2627, 0.0593)}
# (format, across, down): every sampling at 8, 10, 12 and 16 bits, from bytes and through decode.
YCBCR = [
    ("YUV422_8_UYVY", 2, 1),
    ("YCbCr422_8", 2, 1),
    ("YCbCr420_8_YY_CbCr_Semiplanar", 2, 2),
    ("YCbCr420_8_YY_CrCb_Semiplanar", 2, 2),
    ("YCbCr8_CbYCr", 1, 1),
    ("YUV411_8_UYYVYY", 4, 1),
    ("YCbCr422_10p", 2, 1),
    ("YCbCr10_CbYCr", 1, 1),
    ("YCbCr709_422_12p_CbYCrY", 2, 1),
    ("YCbCr2020_12p_CbYCr", 1, 1),
    ("YCbCr160808", 1, 1),
]


def upsampled(chroma, across, down):
    """Chroma at every pixel: linear between co-sited samples, the last one repeated."""
    for axis, factor in ((1, across), (0, down)):
        n = chroma.shape[axis] * factor
        at = np.arange(n) / factor
        low = np.floor(at).astype(int)
        high = np.minimum(low + 1, chroma.shape[axis] - 1)
        part = (at - low).reshape((-1, 1) if axis == 0 else (1, -1))
        chroma = np.take(chroma, low, axis) * (1 - part) + np.take(chroma, high, axis) * part
    return chroma


def reference(y, cb, cr, y_bits, c_bits, matrix, limited, bits):
    """The float formulas, clipped and scaled to `bits` bits with rounding to nearest."""
    kr, kb = KR_KB[matrix]
    if limited:
        y = (y / 2 ** (y_bits - 8) - 16) / 219
        pb, pr = ((c / 2 ** (c_bits - 8) - 128) / 224 for c in (cb, cr))
    else:
        y = y / (2**y_bits - 1)
        pb, pr = ((c - 2 ** (c_bits - 1)) / (2**c_bits - 1) for c in (cb, cr))
    r = y + 2 * (1 - kr) * pr
    b = y + 2 * (1 - kb) * pb
    g = (y - kr * r - kb * b) / (1 - kr - kb)
    rgb = np.clip(np.stack([r, g, b], axis=-1), 0, 1)
    return np.floor(rgb * (2**bits - 1) + 0.5)


def bit_widths(name):
    sizes = PixelFormat.from_name(name).size.sizes
    return sizes[0], sizes[1]


def ycbcr_image(rng, name, across, down, width, height, flat_chroma):
    """Random samples of `name`, encoded, and its Y, Cb and Cr planes."""
    sample = decoded(bytes(1 << 16), name, width, height)
    y_bits, c_bits = bit_widths(name)
    y = rng.integers(0, 2**y_bits, (height, width))
    cb, cr = (rng.integers(0, 2**c_bits, (height // down, width // across)) for _ in range(2))
    if flat_chroma:
        cb[...], cr[...] = cb[0, 0], cr[0, 0]
    if isinstance(sample, dict):
        image = {k: p.astype(sample[k].dtype) for k, p in zip(sample, (y, cb, cr))}
    else:
        image = np.stack([y, cb, cr], axis=-1).astype(sample.dtype)
    return encode(image, name), (y, cb, cr)


@pytest.mark.parametrize("matrix", KR_KB)
@pytest.mark.parametrize("limited", [False, True], ids=["full", "limited"])
@pytest.mark.parametrize("name, across, down", YCBCR)
@pytest.mark.parametrize("flat", [True, False], ids=["flat-chroma", "random-chroma"])
def test_ycbcr_within_one_step_of_the_formulas_and_mostly_exact(name, across, down, matrix, limited, flat):
    # A seed of its own for each case, the same in every run (str hashes differ from run to run).
    rng = np.random.default_rng(zlib.crc32(repr((name, matrix, limited, flat)).encode()))
    width, height = 48, 12
    data, (y, cb, cr) = ycbcr_image(rng, name, across, down, width, height, flat)
    y_bits, c_bits = bit_widths(name)
    for bits in (None, 8, 16):
        got = to_rgb(data, name, width, height, matrix=matrix, range="limited" if limited else "full", bits=bits)
        depth = bits or max(y_bits, c_bits)
        want = reference(y, upsampled(cb, across, down), upsampled(cr, across, down), y_bits, c_bits, matrix,
                         limited, depth)
        assert got.dtype == (np.uint8 if depth <= 8 else np.uint16)
        miss = np.abs(got.astype(np.int64) - want)
        assert miss.max() <= 1
        assert (miss == 0).mean() >= 0.99


@pytest.mark.parametrize(
    "name, across, chroma, expected",
    [
        # A ramp of Cr at full range under BT.601 (red = Y + 1.402 (Cr - 128)): pixels between samples halfway.
        ("YCbCr422_8", 2, [128, 178, 228], [128, 128 + 35.05, 128 + 70.1, 128 + 105.15, 128 + 140.2, 128 + 140.2]),
        ("YUV411_8_UYYVYY", 4, [128, 228], [128, 128 + 35.05, 128 + 70.1, 128 + 105.15] + [128 + 140.2] * 4),
    ],
)
def test_chroma_is_linear_between_samples_and_repeats_past_the_last(name, across, chroma, expected):
    width = len(expected)
    y = np.full((1, width), 128)
    cr = np.array([chroma])
    cb = np.full_like(cr, 128)
    keys = list(decoded(bytes(64), name, width, 1))
    data = encode({k: v.astype(np.uint8) for k, v in zip(keys, (y, cb, cr))}, name)
    red = to_rgb(data, name, width, 1)[0, :, 0]
    assert red.tolist() == [min(255, int(v + 0.5)) for v in expected]


def test_420_chroma_is_linear_down_the_picture_too():
    y = np.full((4, 2), 128, np.uint8)
    cr = np.array([[128], [228]], np.uint8)
    data = encode({"Y": y, "Cb": np.full_like(cr, 128), "Cr": cr}, "YCbCr420_8_YY_CbCr_Semiplanar")
    red = to_rgb(data, "YCbCr420_8_YY_CbCr_Semiplanar", 2, 4)[:, 0, 0]
    assert red.tolist() == [128, 198, 255, 255]


@pytest.mark.parametrize(
    "name, expected",
    [("YCbCr8_CbYCr", ("601", "full")), ("YCbCr601_8_CbYCr", ("601", "limited")),
     ("YCbCr709_422_8", ("709", "limited")), ("YCbCr2020_422_8", ("2020", "limited")),
     ("YUV422_8", ("601", "full"))],
)
def test_matrix_and_range_default_from_the_name(name, expected):
    rng = np.random.default_rng(5)
    data = rng.integers(0, 256, 8 * 2 * 3, dtype=np.uint8).tobytes()
    matrix, range_ = expected
    assert np.array_equal(to_rgb(data, name, 8, 2), to_rgb(data, name, 8, 2, matrix=matrix, range=range_))
    other = "709" if matrix != "709" else "601"
    assert not np.array_equal(to_rgb(data, name, 8, 2), to_rgb(data, name, 8, 2, matrix=other, range=range_))


def test_bytes_and_decoded_planes_agree_with_a_stride():
    rng = np.random.default_rng(9)
    width, height, stride = 10, 4, 24
    data = rng.integers(0, 256, stride * height + stride * height // 2, dtype=np.uint8).tobytes()
    for name in ("YUV422_8_UYVY", "YCbCr420_8_YY_CrCb_Semiplanar"):
        planes = decoded(data, name, width, height, stride=stride)
        packed = encode(planes, name)
        assert np.array_equal(to_rgb(data, name, width, height, stride=stride), to_rgb(packed, name, width, height))


@pytest.mark.parametrize("name", ["RGB8", "BGRa8", "aRGB8", "Mono8", "Mono16", "BayerRG8", "BayerGB16", "YRGB8"])
def test_samples_read_where_they_lie_give_what_a_decoded_copy_gives(name):
    """With a stride, at an odd address (no aligned view) and under an out= that shares their memory."""
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    width, height, stride = 6, 4, 40
    data = rng.integers(0, 256, stride * height, dtype=np.uint8).tobytes()
    packed = encode(decoded(data, name, width, height, stride=stride), name)
    expected = to_rgb(packed, name, width, height)
    assert np.array_equal(to_rgb(data, name, width, height, stride=stride), expected)
    odd = memoryview(bytes(1) + packed)[1:]
    assert np.array_equal(to_rgb(odd, name, width, height), expected)
    shared = np.zeros(expected.size * expected.itemsize + len(packed), np.uint8)
    shared[: len(packed)] = np.frombuffer(packed, np.uint8)
    out = shared[: expected.size * expected.itemsize].view(expected.dtype).reshape(expected.shape)
    assert np.array_equal(to_rgb(shared[: len(packed)], name, width, height, out=out), expected)


@pytest.mark.parametrize("name", ["YUV422_8_UYVY", "YUV422_8", "YCbCr422_8_CbYCrY", "YCbCr420_8_YY_CbCr_Semiplanar",
                                  "YCbCr420_8_YY_CrCb_Semiplanar"])
@pytest.mark.parametrize("width", [2, 16, 18, 32, 34, 64, 66, 130])
@pytest.mark.parametrize("matrix, range_", [("601", "full"), ("709", "limited"), ("2020", "limited")])
def test_vector_lines_give_the_bytes_of_the_portable_loop(name, width, matrix, range_):
    """Straight from the buffer, 8-bit 4:2:2 and 4:2:0 take the vector lines; decoded planes the portable loop."""
    from corvella.pfnc.pixels import _colour, colour

    height = 4
    rng = np.random.default_rng(width)
    data = rng.integers(0, 256, 2 * width * height, dtype=np.uint8).tobytes()
    planes = decoded(data, name, width, height)
    for order in ("RGB", "BGR"):
        fast = to_rgb(data, name, width, height, matrix=matrix, range=range_, order=order)
        portable = np.empty_like(fast)
        affine = colour._affine(*KR_KB[matrix], range_ == "limited", 8, 8, 8, order == "BGR")
        chroma = list(planes)[1:]
        sampling = (width // planes[chroma[0]].shape[1], height // planes[chroma[0]].shape[0])
        _colour.ycbcr((planes["Y"], planes[chroma[0]], planes[chroma[1]]), portable, sampling, affine)
        assert np.array_equal(fast, portable)
    # Factors of no standard (every chroma term there) take the vector lines' general pattern.
    fmt = PixelFormat.from_name(name)
    in_place = colour._byte_planes(colour._facts(fmt).byte_places, data, width, height, None)
    affine = tuple(rng.uniform(-2, 2, 12)) + (255.0,)
    fast, portable = np.empty((2, height, width, 3), np.uint8)
    _colour.ycbcr(tuple(in_place), fast, sampling, affine)
    _colour.ycbcr((planes["Y"], planes[chroma[0]], planes[chroma[1]]), portable, sampling, affine)
    assert np.array_equal(fast, portable)


LINES = ["none", "avx2", "avx512"]  # narrowest first


@pytest.mark.parametrize("cap", ["none", "avx2", "avx512", "sse9"])
def test_the_vector_lines_a_process_runs_can_be_capped(cap):
    """CI tests the lines of lesser CPUs by capping them: a cap that did nothing would test nothing."""
    def lines(environment):
        code = "from corvella.pfnc.pixels import _colour; print(_colour.VECTORS)"
        return subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True,
                              check=True).stdout.strip()

    free = {k: v for k, v in os.environ.items() if k != "CORVELLA_PFNC_VECTORS"}
    best = lines(free)
    expected = best if cap not in LINES else min(best, cap, key=LINES.index)  # an unknown cap caps nothing
    assert lines({**free, "CORVELLA_PFNC_VECTORS": cap}) == expected


# ------------------------------------------------------------------ whole-pixel formats

@pytest.mark.parametrize(
    "name",
    ["RGB8", "BGR8", "RGBa8", "BGRa8", "aRGB8", "aBGR8", "RGB8_Planar", "RGB10p", "BGR12p", "RGBa10", "RGB16",
     "YRGB8", "RGB12_Planar"],
)
@pytest.mark.parametrize("order", ["RGB", "BGR"])
def test_whole_pixel_formats_are_put_in_order_without_alpha(name, order):
    fmt = PixelFormat.from_name(name)
    rng = np.random.default_rng(3)
    sample = decoded(bytes(1 << 12), name, 4, 2)
    top = 2 ** fmt.size.sizes[0] - 1
    image = rng.integers(0, top + 1, sample.shape).astype(sample.dtype)
    got = to_rgb(encode(image, name), name, 4, 2, order=order)
    names = fmt.components.names
    want = np.stack([image[..., names.index(c)] for c in order], axis=-1)
    assert got.dtype == sample.dtype and np.array_equal(got, want)


@pytest.mark.parametrize(
    "name, values, expected",
    [
        ("Mono8", [0, 7, 255], [[0] * 3, [7] * 3, [255] * 3]),
        ("Raw8", [9], [[9] * 3]),
        ("Mono12p", [0, 4095], [[0] * 3, [4095] * 3]),
        ("R8", [200], [[200, 0, 0]]),
        ("G8", [200], [[0, 200, 0]]),
        ("B8", [200], [[0, 0, 200]]),
    ],
)
def test_grey_in_all_channels_and_one_colour_in_its_own(name, values, expected):
    width = len(values)
    sample = decoded(bytes(64), name, width, 1)
    data = encode(np.array([values], sample.dtype), name)
    assert to_rgb(data, name, width, 1).tolist() == [expected]


@pytest.mark.parametrize(
    "name, values, bits, expected",
    [
        ("Mono12", [0, 1, 2048, 4095], 8, [0, 0, 128, 255]),
        ("Mono12", [0, 1, 2048, 4095], 16, [0, 16, 32776, 65535]),
        ("Mono8", [0, 1, 128, 255], 16, [0, 257, 32896, 65535]),
        ("Mono16", [0, 128, 129, 65535], 8, [0, 0, 1, 255]),
        ("Mono10p", [0, 1, 2, 1023], 8, [0, 0, 0, 255]),
        ("Mono10p", [0, 1, 2, 1023], 16, [0, 64, 128, 65535]),
    ],
)
def test_depth_scales_full_scale_to_full_scale(name, values, bits, expected):
    sample = decoded(bytes(64), name, len(values), 1)
    data = encode(np.array([values], sample.dtype), name)
    got = to_rgb(data, name, len(values), 1, bits=bits)
    assert got.dtype == (np.uint8 if bits == 8 else np.uint16)
    assert got[0, :, 1].tolist() == expected


def test_mixed_widths_scale_each_component_to_eight_bits():
    data = encode(np.array([[[31, 63, 31], [0, 32, 16]]], np.uint8), "RGB565p")
    assert to_rgb(data, "RGB565p", 2, 1).tolist() == [[[255, 255, 255], [0, 130, 132]]]


# ------------------------------------------------------------------ mosaics

PURE = {"red": (1, 0, 0), "green": (0, 1, 0), "blue": (0, 0, 1), "white": (1, 1, 1), "grey": (0.5, 0.5, 0.5)}


def pure_mosaic(name, colour, width, height):
    """A mosaic of `name` seeing one flat colour, encoded; and that colour at the format's depth."""
    fmt = PixelFormat.from_name(name)
    top = 2 ** fmt.size.sizes[0] - 1
    rgb = [round(c * top) for c in PURE[colour]]
    cells = fmt.components.location.cells
    tile = np.array([rgb["RGB".index(c)] for c in cells]).reshape(2, 2)
    mosaic = np.tile(tile, (height // 2, width // 2))
    return encode(mosaic.astype(decoded(bytes(1 << 12), name, width, height).dtype), name), rgb


@pytest.mark.parametrize("pattern", ["RG", "BG", "GR", "GB"])
@pytest.mark.parametrize("depth", ["8", "12p", "16", "10Packed"])
@pytest.mark.parametrize("method", ["bilinear", "gradient"])
@pytest.mark.parametrize("colour", PURE)
def test_a_pure_colour_stays_that_colour_through_every_bayer_pattern(pattern, depth, method, colour):
    name = f"Bayer{pattern}{depth}"
    width, height = 12, 8
    data, rgb = pure_mosaic(name, colour, width, height)
    got = to_rgb(data, name, width, height, method=method)
    assert (got == rgb).all()
    assert (to_rgb(data, name, width, height, method=method, order="BGR") == rgb[::-1]).all()


@pytest.mark.parametrize("bits", [8, 16])
def test_a_bayer_picture_is_scaled_after_demosaicing(bits):
    data, rgb = pure_mosaic("BayerGB12p", "white", 6, 4)
    got = to_rgb(data, "BayerGB12p", 6, 4, bits=bits)
    assert got.dtype == (np.uint8 if bits == 8 else np.uint16) and (got == 2**bits - 1).all()


def test_bayer_follows_its_tile_not_opencvs_name_for_it():
    cv2 = pytest.importorskip("cv2")
    rng = np.random.default_rng(2)
    mosaic = rng.integers(0, 256, (16, 20), dtype=np.uint8)
    ours = to_rgb(mosaic.tobytes(), "BayerRG8", 20, 16, method="bilinear")
    theirs = cv2.cvtColor(mosaic, cv2.COLOR_BayerBG2RGB)
    inner = (slice(2, -2), slice(2, -2))
    assert np.abs(ours[inner].astype(int) - theirs[inner]).max() <= 1


@pytest.mark.parametrize("name", ["BiColorRGBG8", "BiColorBGRG8", "BiColorGRGB8", "BiColorGBGR8", "BiColorRGBG12p"])
@pytest.mark.parametrize("method", ["bilinear", "gradient"])
@pytest.mark.parametrize("colour", ["red", "blue", "white", "grey"])
def test_bicolor_pairs_of_a_pure_colour_stay_that_colour(name, method, colour):
    fmt = PixelFormat.from_name(name)
    top = 2 ** fmt.size.sizes[0] - 1
    rgb = [round(c * top) for c in PURE[colour]]
    sample = decoded(bytes(1 << 12), name, 8, 2)
    # Each pixel carries green and, alternately along the row, the colour of its cell.
    cells = fmt.components.location.cells
    pairs = np.empty(sample.shape, sample.dtype)
    for x in range(8):
        cell = cells[x % 2]
        for channel, component in enumerate(fmt.components.names):
            letter = component if component == "G" else cell.replace("G", "")
            pairs[:, x, channel] = rgb["RGB".index(letter)]
    got = to_rgb(encode(pairs, name), name, 8, 2, method=method)
    assert (got == rgb).all()


# ------------------------------------------------------------------ out=

def test_out_is_written_and_returned_even_as_a_strided_view():
    data = bytes(range(24))
    whole = np.zeros((2, 4, 5), np.uint8)
    view = whole[..., 1:4]
    assert to_rgb(data, "RGB8", 4, 2, out=view) is view
    assert np.array_equal(view, to_rgb(data, "RGB8", 4, 2))
    assert not whole[..., 0].any() and not whole[..., 4].any()


@pytest.mark.parametrize(
    "out",
    [np.zeros((2, 4, 3), np.uint16), np.zeros((2, 4, 4), np.uint8), np.zeros((4, 2, 3), np.uint8),
     np.zeros((2, 4, 3), np.int16)],
)
def test_out_of_another_shape_or_dtype_is_refused(out):
    with pytest.raises(ValueError, match="out must be"):
        to_rgb(bytes(24), "RGB8", 4, 2, out=out)


def test_read_only_out_is_refused_and_nothing_is_written():
    out = np.full((2, 4, 3), 7, np.uint8)
    out.flags.writeable = False
    with pytest.raises(ValueError, match="writable"):
        to_rgb(bytes(24), "RGB8", 4, 2, out=out)
    short = np.full((2, 4, 3), 7, np.uint8)
    with pytest.raises(ValueError, match="too short"):
        to_rgb(bytes(3), "YUV422_8_UYVY", 4, 2, out=short)
    assert (short == 7).all()


# ------------------------------------------------------------------ refusals

@pytest.mark.parametrize(
    "name, error, words",
    [
        ("Coord3D_C16", ValueError, "3-D coordinates"),
        ("Coord3D_B8", ValueError, "3-D coordinates"),
        ("Data8", ValueError, "generic data"),
        ("Confidence8", ValueError, "confidence"),
        ("SCF1WBWG8", NotImplementedError, "SCF1"),
        ("POL22M1_8", NotImplementedError, "POL"),
        ("CFA_RGBW8", NotImplementedError, "CFA"),
        ("CIELAB8", NotImplementedError, "CIELAB"),
        ("CIEXYZ8", NotImplementedError, "CIEXYZ"),
        ("HSV8", NotImplementedError, "HSV"),
        ("HSI8", NotImplementedError, "HSI"),
        ("Mono8s", NotImplementedError, "signed"),
        ("Mono32", NotImplementedError, "over 16 bits"),
    ],
)
def test_formats_without_a_settled_picture_are_refused_saying_why(name, error, words):
    with pytest.raises(error, match=words):
        to_rgb(bytes(1 << 10), name, 4, 4)


@pytest.mark.parametrize(
    "keyword, value, error, words",
    [
        ("method", "nearest", ValueError, "'bilinear', 'gradient'"),
        ("matrix", "240", ValueError, "'601', '709', '2020'"),
        ("range", "studio", ValueError, "'full', 'limited'"),
        ("order", "RBG", ValueError, "'RGB', 'BGR'"),
        ("bits", 12, ValueError, "None, 8 or 16"),
        ("method", 1, TypeError, "str"),
        ("matrix", b"601", TypeError, "str"),
        ("bits", 8.0, TypeError, "bits"),
        ("bits", True, TypeError, "bits"),
        ("out", [[0]], TypeError, "numpy array"),
        ("stride", "8", TypeError, "stride"),
    ],
)
def test_bad_arguments_are_refused_listing_what_is_allowed(keyword, value, error, words):
    with pytest.raises(error, match=words.replace("(", r"\(")):
        to_rgb(bytes(64), "YUV422_8_UYVY", 4, 2, **{keyword: value})


@pytest.mark.parametrize("format", [None, 1.5, b"Mono8", True])
def test_format_of_another_type_is_refused(format):
    with pytest.raises(TypeError, match="format"):
        to_rgb(bytes(64), format, 4, 2)


def test_numpy_integers_and_a_value_name_work_like_ints():
    data = bytes(range(32))
    value = PixelFormat.from_name("YUV422_8_UYVY").code
    assert np.array_equal(to_rgb(data, np.uint32(value), np.int64(4), np.int16(2)), to_rgb(data, "YUV422_8_UYVY", 4, 2))


def test_threads_converting_at_once_get_what_one_thread_gets():
    from concurrent.futures import ThreadPoolExecutor

    rng = np.random.default_rng(4)
    width, height = 256, 64
    jobs = [(rng.integers(0, 256, 2 * width * height, dtype=np.uint8).tobytes(), name)
            for name in ("YUV422_8_UYVY", "YCbCr420_8_YY_CbCr_Semiplanar", "BayerGR8", "Mono8")]
    expected = [to_rgb(data, name, width, height) for data, name in jobs]

    def agrees(i):
        data, name = jobs[i % len(jobs)]
        return all(np.array_equal(to_rgb(data, name, width, height), expected[i % len(jobs)]) for _ in range(20))

    with ThreadPoolExecutor(8) as pool:
        assert all(pool.map(agrees, range(8)))


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: to_rgb(object(), "YUV422_8_UYVY", 4, 2), TypeError),
        (lambda: to_rgb("text", "RGB8", 4, 2), TypeError),
        (lambda: to_rgb(bytes(64), "YUV422_8_UYVY", 2**62, 2**62), ValueError),
        (lambda: to_rgb(bytes(64), "YUV422_8_UYVY", -4, 2), ValueError),
        (lambda: to_rgb(bytes(64), "YUV422_8_UYVY", 3, 2), ValueError),
        (lambda: to_rgb(bytes(64), "YUV422_8_UYVY", 4, 2, stride=2), ValueError),
        (lambda: to_rgb(memoryview(bytes(64))[::2], "YUV422_8_UYVY", 4, 2), ValueError),
        (lambda: to_rgb(bytes(64), "Mono9x", 4, 2), ValueError),
    ],
)
def test_odd_arguments_raise_and_never_crash(call, error):
    with pytest.raises(error):
        call()


def test_out_sharing_memory_with_the_data_is_refused():
    data = np.zeros((2, 4, 3), np.uint8)
    with pytest.raises(ValueError, match="share memory"):
        to_rgb(data, "YUV422_8_UYVY", 4, 2, out=data)


def test_the_benchmark_runs_every_series():
    import sys
    from pathlib import Path

    bench = Path(__file__).resolve().parent.parent / "bench"
    sys.path.insert(0, str(bench))
    try:
        import colour as colour_bench
    finally:
        sys.path.remove(str(bench))
    results = colour_bench.main(["--smoke"])
    assert "UYVY (YUV422_8_UYVY) to RGB" in results and all(r["median_ns"] > 0 for r in results.values())


def test_what_to_rgb_keeps_of_formats_is_bounded(monkeypatch):
    import copy

    from corvella.pfnc.pixels import _plans, colour

    monkeypatch.setattr(_plans, "MOST_PLANS", 8)
    fmt = PixelFormat.from_name("Mono8")
    for _ in range(_plans.MOST_PLANS + 20):
        assert to_rgb(bytes(4), copy.deepcopy(fmt), 2, 2).shape == (2, 2, 3)  # equal formats, each a new object
    assert _plans.kept()[0] <= _plans.MOST_PLANS
    assert colour._facts(fmt) is colour._facts(fmt)  # worked out once while kept
