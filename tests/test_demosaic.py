"""Demosaicing kernels against small numpy references written from the published kernels."""

import sys
from pathlib import Path

import numpy as np
import pytest

from corvella.pfnc.pixels import _demosaic

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import demosaic_quality  # noqa: E402

TILES = ["RGGB", "BGGR", "GRBG", "GBRG"]
METHODS = ["bilinear", "gradient"]
DEPTHS = [(np.uint8, 8), (np.uint16, 16), (np.uint16, 12)]

# Weights in sixteenths over the 5x5 neighbourhood, as the methods define them:
# green at red/blue, the colour of the row's neighbours at green, that of the
# column's at green, and the diagonal colour at red/blue.
CROSS = [(-1, 0), (1, 0), (0, -1), (0, 1)]
DIAGONALS = [(-1, -1), (-1, 1), (1, -1), (1, 1)]
FAR_ROW, FAR_COLUMN = [(0, -2), (0, 2)], [(-2, 0), (2, 0)]


def kernel(*weighted):
    k = np.zeros((5, 5), np.int64)
    for weight, places in weighted:
        for dy, dx in places:
            k[2 + dy, 2 + dx] += weight
    return k


KERNELS = {
    "bilinear": {
        "green": kernel((4, CROSS)),
        "row": kernel((8, [(0, -1), (0, 1)])),
        "column": kernel((8, [(-1, 0), (1, 0)])),
        "diagonal": kernel((4, DIAGONALS)),
    },
    "gradient": {
        "green": kernel((8, [(0, 0)]), (4, CROSS), (-2, FAR_ROW + FAR_COLUMN)),
        "row": kernel((10, [(0, 0)]), (8, [(0, -1), (0, 1)]), (-2, DIAGONALS + FAR_ROW), (1, FAR_COLUMN)),
        "column": kernel((10, [(0, 0)]), (8, [(-1, 0), (1, 0)]), (-2, DIAGONALS + FAR_COLUMN), (1, FAR_ROW)),
        "diagonal": kernel((12, [(0, 0)]), (4, DIAGONALS), (-3, FAR_ROW + FAR_COLUMN)),
    },
}


def sites(tile, height, width):
    """Boolean maps of the red, green and blue sites."""
    letters = np.array(list(tile)).reshape(2, 2)
    grid = np.tile(letters, ((height + 1) // 2, (width + 1) // 2))[:height, :width]
    return grid == "R", grid == "G", grid == "B"


def reflect(image, pad, axis):
    """Lines reflected about their end pixels; a line of one pixel repeats it."""
    widths = [(0, 0)] * image.ndim
    widths[axis] = (pad, pad)
    return np.pad(image, widths, mode="reflect" if image.shape[axis] > 1 else "edge")


def reference(mosaic, tile, method, bits, blue_first=False):
    height, width = mosaic.shape
    padded = reflect(reflect(mosaic.astype(np.int64), 2, axis=0), 2, axis=1)
    estimate = {}
    for name, k in KERNELS[method].items():
        total = sum(k[dy, dx] * padded[dy : dy + height, dx : dx + width] for dy in range(5) for dx in range(5) if k[dy, dx])
        estimate[name] = np.clip((total + 8) >> 4, 0, 2**bits - 1)
    red, green, blue = sites(tile, height, width)
    red_rows = (np.arange(height) % 2 == tile.index("R") // 2)[:, None]
    own = np.clip(mosaic.astype(np.int64), 0, 2**bits - 1)
    # At a green site, red comes from the row's neighbours in red rows, from the column's elsewhere.
    red_at_green = np.where(red_rows, estimate["row"], estimate["column"])
    blue_at_green = np.where(red_rows, estimate["column"], estimate["row"])
    r = np.where(red, own, np.where(blue, estimate["diagonal"], red_at_green))
    b = np.where(blue, own, np.where(red, estimate["diagonal"], blue_at_green))
    g = np.where(green, own, estimate["green"])
    return np.stack([b, g, r] if blue_first else [r, g, b], axis=-1).astype(mosaic.dtype)


def run(mosaic, tile, method, bits, blue_first=False):
    out = np.zeros(mosaic.shape + (3,), mosaic.dtype)
    _demosaic.demosaic(mosaic, out, tile, method, bits, blue_first)
    return out


def random_mosaic(rng, shape, dtype, bits):
    return rng.integers(0, 2**bits, shape, dtype=dtype)


@pytest.mark.parametrize("tile", TILES)
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(("dtype", "bits"), DEPTHS)
@pytest.mark.parametrize("colour", [(1, 0, 0), (0, 1, 0), (0, 0, 1), (1, 1, 1)], ids=["red", "green", "blue", "white"])
def test_pure_colours_stay_pure_everywhere(tile, method, dtype, bits, colour):
    height, width = 9, 38
    full = 2**bits - 1
    red, green, blue = sites(tile, height, width)
    mosaic = (full * (colour[0] * red + colour[1] * green + colour[2] * blue)).astype(dtype)
    out = run(mosaic, tile, method, bits)
    assert (out == np.array(colour, dtype) * full).all()


# Widths and heights from 1 up, past a vector's width, odd and even.
SIZES = [(1, 1), (1, 6), (6, 1), (2, 2), (3, 5), (5, 3), (4, 4), (6, 9), (7, 33), (8, 64), (11, 70), (9, 131)]


@pytest.mark.parametrize("tile", TILES)
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(("dtype", "bits"), DEPTHS)
@pytest.mark.parametrize("shape", SIZES, ids=str)
def test_equals_the_reference_everywhere(tile, method, dtype, bits, shape):
    mosaic = random_mosaic(np.random.default_rng(sum(shape)), shape, dtype, bits)
    np.testing.assert_array_equal(run(mosaic, tile, method, bits), reference(mosaic, tile, method, bits))


@pytest.mark.parametrize("shape", [(0, 0), (0, 5), (5, 0)], ids=str)
def test_empty_images_are_nothing_to_do(shape):
    out = np.zeros(shape + (3,), np.uint8)
    assert _demosaic.demosaic(np.zeros(shape, np.uint8), out, "RGGB", "gradient", 8, False) is None
    assert _demosaic.bicolor(np.zeros(shape + (2,), np.uint8), out, "R", "gradient", 8, False) is None


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(("dtype", "bits"), [(np.uint8, 8), (np.uint16, 12)])
def test_every_width_equals_the_reference(method, dtype, bits):
    """Each width leaves a different tail to the loop after the vector rows."""
    rng = np.random.default_rng(5)
    for width in range(5, 100):
        mosaic = random_mosaic(rng, (6, width), dtype, bits)
        np.testing.assert_array_equal(run(mosaic, "GBRG", method, bits), reference(mosaic, "GBRG", method, bits))


@pytest.mark.parametrize(("dtype", "bits", "stored"), [(np.uint8, 5, 8), (np.uint16, 10, 16), (np.uint16, 12, 16)])
@pytest.mark.parametrize("method", METHODS)
def test_results_are_clipped_to_the_bits(dtype, bits, stored, method):
    """Even from samples with stray high bits, and from edges that overshoot."""
    mosaic = random_mosaic(np.random.default_rng(2), (12, 40), dtype, stored)
    out = run(mosaic, "RGGB", method, bits)
    assert out.max() <= 2**bits - 1
    np.testing.assert_array_equal(out, reference(mosaic, "RGGB", method, bits))


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize(
    "view",
    [lambda a: a[:, 3:-5], lambda a: a[::-1, 3:-5], lambda a: a[::2, 4:-4]],
    ids=["padded", "backwards", "every-other"],
)
def test_strided_rows_give_what_contiguous_ones_give(method, dtype, view):
    mosaic = view(random_mosaic(np.random.default_rng(3), (40, 60), dtype, 8))
    height, width = mosaic.shape
    store = np.full((2 * height, width + 7, 3), 77, dtype)
    out = store[::-2, 2 : 2 + width]
    _demosaic.demosaic(mosaic, out, "BGGR", method, 8, True)
    np.testing.assert_array_equal(out, run(np.ascontiguousarray(mosaic), "BGGR", method, 8, True))
    out[...] = 77
    assert (store == 77).all()


@pytest.mark.parametrize("tile", TILES)
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(("dtype", "bits"), [(np.uint8, 8), (np.uint16, 12)])
def test_blue_first_swaps_red_and_blue(tile, method, dtype, bits):
    mosaic = random_mosaic(np.random.default_rng(4), (10, 80), dtype, bits)
    out = run(mosaic, tile, method, bits, blue_first=True)
    np.testing.assert_array_equal(out, reference(mosaic, tile, method, bits, blue_first=True))


@pytest.mark.parametrize(("bicolor", "measured"), [(False, 34.58), (True, 41.03)], ids=["mosaic", "bicolor"])
def test_a_photograph_keeps_its_measured_quality(bicolor, measured):
    """As bench/demosaic_quality.py measured it for the astronaut, with "gradient"."""
    try:
        image = demosaic_quality.photograph("astronaut")
    except ImportError as e:  # no scikit-image, or none for this interpreter (a debug build)
        pytest.skip(f"no photographs: {e}")
    sample = demosaic_quality.bicolor_of if bicolor else demosaic_quality.mosaic_of
    out = demosaic_quality.ours("gradient", bicolor)(sample(image))
    assert demosaic_quality.psnr(out, image) >= measured - 0.03


# ------------------------------------------------------------------ BiColor


def bicolor_reference(pairs, first, method, bits):
    height, width, _ = pairs.shape
    padded = reflect(pairs.astype(np.int64), 1, axis=1)
    left, right = padded[:, :-2], padded[:, 2:]
    own, green = pairs[..., 0].astype(np.int64), pairs[..., 1].astype(np.int64)
    if method == "bilinear":
        other = (left[..., 0] + right[..., 0] + 1) >> 1
    else:
        other = (2 * green + left[..., 0] - left[..., 1] + right[..., 0] - right[..., 1] + 1) >> 1
    own, green, other = (np.clip(v, 0, 2**bits - 1) for v in (own, green, other))
    red_here = (np.arange(width) % 2 == 0) == (first == "R")
    return np.stack([np.where(red_here, own, other), green, np.where(red_here, other, own)], axis=-1).astype(pairs.dtype)


def run_bicolor(pairs, first, method, bits):
    out = np.zeros(pairs.shape[:2] + (3,), pairs.dtype)
    _demosaic.bicolor(pairs, out, first, method, bits, False)
    return out


@pytest.mark.parametrize("first", ["R", "B"])
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(("dtype", "bits"), DEPTHS)
@pytest.mark.parametrize("colour", [(1, 0, 0), (0, 1, 0), (0, 0, 1), (1, 1, 1)], ids=["red", "green", "blue", "white"])
def test_bicolor_pure_colours_stay_pure(first, method, dtype, bits, colour):
    full = 2**bits - 1
    red_here = (np.arange(11) % 2 == 0) == (first == "R")
    pairs = np.zeros((3, 11, 2), dtype)
    pairs[..., 0] = full * np.where(red_here, colour[0], colour[2])
    pairs[..., 1] = full * colour[1]
    assert (run_bicolor(pairs, first, method, bits) == np.array(colour, dtype) * full).all()


@pytest.mark.parametrize("first", ["R", "B"])
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(("dtype", "bits"), DEPTHS)
@pytest.mark.parametrize("shape", [(1, 1), (2, 2), (3, 7), (4, 40)], ids=str)
def test_bicolor_equals_the_reference(first, method, dtype, bits, shape):
    pairs = random_mosaic(np.random.default_rng(6), shape + (2,), dtype, bits)
    np.testing.assert_array_equal(run_bicolor(pairs, first, method, bits), bicolor_reference(pairs, first, method, bits))


# ------------------------------------------------------------------ arguments

class Raising:
    def __index__(self):
        raise ZeroDivisionError("index")

    def __bool__(self):
        raise ZeroDivisionError("bool")


class Tile(str):
    pass


MOSAIC = np.zeros((4, 6), np.uint8)
OUT = np.zeros((4, 6, 3), np.uint8)


@pytest.mark.parametrize(
    ("change", "error", "words"),
    [
        ({"tile": "RGBG"}, ValueError, "'RGGB', 'BGGR', 'GRBG', 'GBRG'"),
        ({"tile": b"RGGB"}, TypeError, "tile must be a str"),
        ({"method": "nearest"}, ValueError, "'bilinear', 'gradient'"),
        ({"bits": 0}, ValueError, "bits must be 1..8"),
        ({"bits": 9}, ValueError, "bits must be 1..8"),
        ({"bits": 2**70}, ValueError, "bits must be 1..8"),
        ({"bits": 8.0}, TypeError, "float"),
        ({"bits": Raising()}, ZeroDivisionError, "index"),
        ({"blue_first": Raising()}, ZeroDivisionError, "bool"),
        ({"tile": Tile("RGBG")}, ValueError, "'RGGB', 'BGGR', 'GRBG', 'GBRG'"),
        ({"mosaic": MOSAIC.astype(np.uint16), "bits": 8}, TypeError, "sample type"),
        ({"mosaic": MOSAIC.astype(np.int8)}, TypeError, "uint8 or uint16"),
        ({"mosaic": MOSAIC.astype(np.uint32)}, TypeError, "uint8 or uint16"),
        ({"mosaic": MOSAIC[None]}, ValueError, "2 dimensions"),
        ({"mosaic": MOSAIC[:, ::2]}, ValueError, "contiguous"),
        ({"mosaic": [[0]]}, TypeError, "buffer protocol"),
        ({"out": OUT[:, :5]}, ValueError, "4 x 5"),
        ({"out": OUT[..., :2]}, ValueError, "(height, width, 3)"),
        ({"out": OUT[:, :, ::-1]}, ValueError, "contiguous"),
        ({"out": bytes(72)}, ValueError, "shape"),
        ({"out": OUT.astype(np.uint16)}, TypeError, "sample type"),
    ],
)
def test_bad_arguments_are_refused_with_the_allowed_values(change, error, words):
    arguments = {"mosaic": MOSAIC, "out": OUT, "tile": "RGGB", "method": "bilinear", "bits": 8, "blue_first": False}
    arguments.update(change)
    with pytest.raises(error) as caught:
        _demosaic.demosaic(**arguments)
    assert words in str(caught.value)


def test_read_only_and_overlapping_outputs_are_refused():
    out = np.zeros((4, 6, 3), np.uint8)
    out.flags.writeable = False
    with pytest.raises(ValueError, match="writable"):
        _demosaic.demosaic(MOSAIC, out, "RGGB", "gradient", 8, False)
    shared = np.zeros(4 * 6 * 4, np.uint8)
    with pytest.raises(ValueError, match="share memory"):
        _demosaic.demosaic(shared[:24].reshape(4, 6), shared[23:95].reshape(4, 6, 3), "RGGB", "gradient", 8, False)
    _demosaic.demosaic(shared[:24].reshape(4, 6), shared[24:].reshape(4, 6, 3), "RGGB", "gradient", 8, False)


@pytest.mark.parametrize("change", [{"first": "G"}, {"pairs": MOSAIC}, {"pairs": np.zeros((4, 6, 3), np.uint8)}])
def test_bicolor_bad_arguments_are_refused(change):
    arguments = {"pairs": np.zeros((4, 6, 2), np.uint8), "out": OUT, "first": "R", "method": "gradient", "bits": 8}
    arguments.update(change)
    with pytest.raises((ValueError, TypeError)):
        _demosaic.bicolor(**arguments, blue_first=False)


def test_numpy_integers_and_keywords_are_taken():
    mosaic = random_mosaic(np.random.default_rng(7), (5, 8), np.uint8, 8)
    out = np.zeros((5, 8, 3), np.uint8)
    _demosaic.demosaic(mosaic=mosaic, out=out, tile="RGGB", method="gradient", bits=np.int64(8), blue_first=np.bool_(0))
    np.testing.assert_array_equal(out, reference(mosaic, "RGGB", "gradient", 8))


def test_threads_demosaic_at_once_as_one_does():
    from concurrent.futures import ThreadPoolExecutor

    mosaics = [random_mosaic(np.random.default_rng(k), (64, 96), np.uint16, 12) for k in range(8)]
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda m: run(m, "RGGB", "gradient", 12), mosaics * 4))
    for mosaic, result in zip(mosaics * 4, results):
        np.testing.assert_array_equal(result, reference(mosaic, "RGGB", "gradient", 12))


def test_the_benchmark_runs(capsys):
    import demosaic as bench

    results = bench.main(["--smoke"])
    assert set(results["kernels"]) >= {"8-bit bilinear", "16-bit gradient (12-bit data)"}
    assert "decode + gradient" in capsys.readouterr().out
