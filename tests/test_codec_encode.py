"""Encoding into the caller's buffer: every byte of the frame written, refusals that write nothing, values
out of range found in the loops' one pass, the faster loops against the general one, and images by component."""

import mmap
import re
from concurrent.futures import ThreadPoolExecutor

import pytest

np = pytest.importorskip("numpy")
from corvella.pfnc import PixelFormat, decode, encode  # noqa: E402
from corvella.pfnc.pixels import _plans, codec  # noqa: E402

# A format of each loop encode has: packed streams of any component count, pairs, triplets, byte moves,
# containers, plain copies, and the general loop (signed values, groups over 8 bytes).
SHAPES = ["Mono10p", "Mono12p", "RGB10p", "RGB12p", "BayerRG12p", "Coord3D_ABC10p", "Mono12Packed", "Mono10Packed",
          "RGB10p32", "Mono10c3p32", "RGB8_Planar", "RGBa8_Planar", "YUV422_8_UYVY", "YCbCr422_8_CbYCrY",
          "YCbCr420_8_YY_CbCr_Semiplanar", "Mono10", "Mono12msb", "Mono8", "RGB16", "Mono10s", "RGB12g40",
          "YCbCr422_10p"]
FILL = 0xA5


def decoded(data, name, width, height, stride=None):
    """One array, or a dict by component for a format whose components have samplings of their own."""
    whole = all(s == (1, 1) for s in PixelFormat.from_name(name).sampling)
    return (decode if whole else codec.decode_planes)(data, name, width, height, stride=stride)


def zero_image(name, width, height):
    return decoded(bytes(16 * width * height + 64), name, width, height)


def random_image(name, width, height, seed=0):
    """Sample values in range, as a device would send them."""
    return decoded(np.random.default_rng(seed).integers(0, 256, 16 * width * height + 64, np.uint8).tobytes(), name,
                   width, height)


def width_of(name, groups):
    """A width of about `groups` groups that every component's sampling and every group divides."""
    fmt = PixelFormat.from_name(name)
    step = {"Mono10c3p32": 3, "RGB10p": 4, "RGB12p": 2, "Coord3D_ABC10p": 4, "RGB12g40": 4}.get(name, 4)
    return step * groups * max(h for h, _ in fmt.sampling)


def outputs_of(image):
    return (image,) if not isinstance(image, dict) else tuple(image.values())


def filled(kind, size):
    """A writable buffer of `kind` holding `size` bytes of FILL, and its bytes as they are now."""
    if kind == "bytearray":
        buffer = bytearray([FILL]) * size
        return buffer, lambda: bytes(buffer)
    if kind == "memoryview":
        backing = bytearray([FILL]) * size
        return memoryview(backing), lambda: bytes(backing)
    if kind == "uint8 array":
        array = np.full(size, FILL, np.uint8)
        return array, array.tobytes
    if kind == "uint32 array":
        array = np.full(-(-size // 4), 0xA5A5A5A5, np.uint32)
        return array, array.tobytes
    mapped = mmap.mmap(-1, size)
    mapped[:] = bytes([FILL]) * size
    return mapped, lambda: bytes(mapped)


@pytest.mark.parametrize("kind", ["bytearray", "memoryview", "uint8 array", "uint32 array", "mmap"])
@pytest.mark.parametrize("name", ["Mono8", "Mono12p", "RGB10p32", "Mono12Packed", "YUV422_8_UYVY", "RGB8_Planar",
                                  "YCbCr420_8_YY_CbCr_Semiplanar", "Mono10s", "Mono10c3p32"])
@pytest.mark.parametrize("stride", [None, 1000])
def test_out_takes_the_frame_and_nothing_past_it(kind, name, stride):
    width, height = width_of(name, 5), 4
    image = random_image(name, width, height)
    expected = encode(image, name, stride=stride)
    assert len(expected) == PixelFormat.from_name(name).buffer_size(width, height, stride=stride)
    out, now = filled(kind, len(expected) + 8)
    assert encode(image, name, stride=stride, out=out) is out
    written = now()
    assert written[:len(expected)] == expected
    assert set(written[len(expected):]) == {FILL}
    again = decoded(written, name, width, height, stride=stride)
    assert all(np.array_equal(a, b) for a, b in zip(outputs_of(again), outputs_of(image)))


def test_bytes_and_out_agree_with_the_reference_model():
    """Padding bits and stride padding are zeros, whatever the buffer held."""
    oracle = pytest.importorskip("pfnc_model.codec")
    for name in SHAPES:
        width, height = width_of(name, 37), 4
        image = random_image(name, width, height, seed=len(name))
        for stride in (None, 2 * width * 8 + 3):
            expected = oracle.encode(image, name, stride=stride)
            out = bytearray(b"\xff") * len(expected)
            assert encode(image, name, stride=stride) == expected, name
            assert encode(image, name, stride=stride, out=out) == expected, name


@pytest.mark.parametrize(("make", "text"), [
    (lambda size: bytes(size), "read-only"),
    (lambda size: memoryview(bytes(size)), "read-only"),
    (lambda size: np.frombuffer(bytes(size), np.uint8), "read-only"),
    (lambda size: np.zeros(2 * size, np.uint8)[::2], "C-contiguous"),
    (lambda size: bytearray(size - 1), "too small: the frame of Mono12p takes {size} bytes, out has {less}"),
    (lambda size: np.zeros(size - 1, np.uint8), "too small: the frame of Mono12p takes {size} bytes, out has {less}"),
], ids=["bytes", "memoryview of bytes", "read-only array", "strided array", "short bytearray", "short array"])
def test_refused_buffers_are_left_as_they_were(make, text):
    image = random_image("Mono12p", 64, 4)
    size = len(encode(image, "Mono12p"))
    out = make(size)
    before = bytes(out) if not isinstance(out, np.ndarray) else out.tobytes()
    with pytest.raises(ValueError, match=re.escape(text.format(size=size, less=size - 1))):
        encode(image, "Mono12p", out=out)
    assert (bytes(out) if not isinstance(out, np.ndarray) else out.tobytes()) == before


def test_out_that_is_no_buffer_or_the_image_itself_is_refused():
    image = random_image("Mono16", 8, 4)
    with pytest.raises(TypeError):
        encode(image, "Mono16", out=[0] * 64)
    with pytest.raises(ValueError, match="shares memory"):
        encode(image, "Mono16", out=image)
    memory = np.zeros(64, np.uint8)
    with pytest.raises(ValueError, match="shares memory"):
        encode(memory[:32].reshape(4, 8), "Mono8", out=memory[16:])
    # A view that is copied first cannot be overwritten.
    assert encode(memory.reshape(4, 16)[:, :8], "Mono8", out=memory[32:]) is not None


@pytest.mark.parametrize("name", ["Mono10p", "Mono12p", "RGB10p", "Coord3D_ABC10p", "Mono12Packed", "Mono10Packed",
                                  "RGB10p32", "Mono10c3p32", "Mono10", "Mono12msb", "Mono10s", "YCbCr422_10p"])
@pytest.mark.parametrize("where", ["first", "middle", "last"])
@pytest.mark.parametrize("stride", [None, 4096])
def test_a_value_out_of_range_is_named_and_leaves_the_frame_zeroed(name, where, stride):
    width, height = width_of(name, 40), 4
    image = random_image(name, width, height)
    plane = image["Cr"] if isinstance(image, dict) else image
    flat = plane.reshape(-1)
    at = {"first": 0, "middle": flat.size // 2 + 1, "last": flat.size - 1}[where]
    bits = PixelFormat.from_name(name).size.sizes[0]
    wrong = -(1 << (bits - 1)) - 1 if plane.dtype.kind == "i" else 1 << bits  # the nearest to fitting
    flat[at:] = np.where(np.arange(at, flat.size) % 7 == 0, wrong, flat[at:])  # later ones are not named
    flat[at] = wrong
    index = np.unravel_index(at, plane.shape)[:2]
    size = len(encode(zero_image(name, width, height), name, stride=stride))
    out = bytearray([FILL]) * (size + 8)
    with pytest.raises(ValueError, match=re.escape(f"but the value at {tuple(int(i) for i in index)} is {wrong}")):
        encode(image, name, stride=stride, out=out)
    assert set(out[:size]) == {0} and set(out[size:]) == {FILL}


@pytest.mark.parametrize("name", SHAPES)
@pytest.mark.parametrize("groups", [33, 34, 35, 36])
def test_fast_loops_write_what_the_general_loop_does(name, groups):
    """Widths that leave tails of every length after the vector rounds; a buffer full of ones beforehand."""
    width, height = width_of(name, groups), 4
    image = random_image(name, width, height, seed=groups)
    general = _plans.build(PixelFormat.from_name(name), general=True).plan
    for stride in (None, 2 * width * 8 + 5):
        expected = general.encode(outputs_of(image), width, height, stride)
        out = bytearray(b"\xff") * (len(expected) + 3)
        encode(image, name, stride=stride, out=out)
        assert bytes(out[:len(expected)]) == expected
        assert general.encode(outputs_of(image), width, height, stride, bytearray(b"\xff") * len(expected)) == expected


@pytest.mark.parametrize(("name", "keys"), [
    ("Mono8", ["Mono"]), ("Mono12p", ["Mono"]), ("RGB8", ["R", "G", "B"]), ("BGR8", ["B", "G", "R"]),
    ("RGB10p32", ["R", "G", "B"]), ("Coord3D_ABC10p", ["A", "B", "C"]), ("RGBa8_Planar", ["R", "G", "B", "a"]),
])
@pytest.mark.parametrize("kind", ["views", "copies"])
def test_an_image_by_component_encodes_as_the_one_array(name, keys, kind):
    width, height = width_of(name, 3), 2
    data = np.random.default_rng(3).integers(0, 256, 16 * width * height, np.uint8).tobytes()
    planes = codec.decode_planes(data, name, width, height)
    assert list(planes) == keys
    if kind == "copies":
        planes = {k: v.copy() for k, v in planes.items()}
    assert encode(planes, name) == encode(decode(data, name, width, height), name)
    with pytest.raises(ValueError, match=f"component '{keys[0]}' of {name} is missing"):
        encode({k: v for k, v in planes.items() if k != keys[0]}, name)
    if len(keys) > 1:
        with pytest.raises(ValueError, match="must have one shape"):
            encode(dict(planes, **{keys[1]: planes[keys[1]][:1]}), name)
        with pytest.raises(ValueError, match=f"{keys[1]} has dtype int64"):
            encode(dict(planes, **{keys[1]: planes[keys[1]].astype(np.int64)}), name)
        # Views in another order are not one array read in place.
        swapped = dict(planes, **{keys[0]: planes[keys[1]], keys[1]: planes[keys[0]]})
        assert decode(encode(swapped, name), name, width, height)[..., 0].tolist() == planes[keys[1]].tolist()


def test_threads_encode_their_own_frames_into_their_own_buffers():
    images = [random_image("Mono12p", 512, 300, seed=k) for k in range(4)]
    expected = [encode(i, "Mono12p") for i in images]

    def work(k):
        out = bytearray(len(expected[k]))
        return all(encode(images[k], "Mono12p", out=out) == expected[k] for _ in range(20))

    with ThreadPoolExecutor(4) as pool:
        assert list(pool.map(work, range(4))) == [True] * 4
