"""Decoding frames as a stream reader does: views of the buffer, the caller's arrays, planes, threads."""

import mmap
import threading

import pytest

np = pytest.importorskip("numpy")
from corvella.pfnc import PixelFormat  # noqa: E402
from corvella.pfnc.pixels import decode, decode_planes, encode  # noqa: E402

VIEWED = ["Mono8", "Mono16", "Mono8s", "RGB8", "BGR8", "BayerRG8", "RGBa8", "RGB8_Planar", "Coord3D_ABC32f",
          "Coord3D_AC32f_Planar", "Coord3D_C16", "Data64", "RGB8a32", "BGR8_RGB", "Mono8c4", "Data32f"]


def frame(name, width, height, stride=None, seed=0):
    """Random bytes of one frame, with room for a stride's padding."""
    size = PixelFormat.from_name(name).buffer_size(width, height, stride=stride)
    return np.random.default_rng(seed).integers(0, 256, size, np.uint8)


def as_bytes(array):
    return np.ascontiguousarray(array).view(np.uint8)


@pytest.mark.parametrize("name", VIEWED)
@pytest.mark.parametrize("source", ["bytes", "bytearray", "read-only array", "array", "mmap"])
@pytest.mark.parametrize("stride", [None, 128])
def test_views_share_memory_and_follow_writability(name, source, stride):
    raw = frame(name, 8, 3, stride)
    data = {"bytes": raw.tobytes, "bytearray": lambda: bytearray(raw.tobytes()), "array": raw.copy,
            "read-only array": lambda: np.frombuffer(raw.tobytes(), np.uint8)}.get(source)
    with mmap.mmap(-1, raw.size) as m:
        m[:] = raw.tobytes()
        data = m if data is None else data()
        view = decode(data, name, 8, 3, stride=stride, copy=False)
        copied = decode(data, name, 8, 3, stride=stride)
        assert (view.dtype, view.shape) == (copied.dtype, copied.shape)
        assert np.array_equal(as_bytes(view), as_bytes(copied))
        memory = np.frombuffer(data, np.uint8)
        assert np.shares_memory(view, memory)
        assert view.flags.writeable == memory.flags.writeable
        if view.flags.writeable:
            view[-1, -1] = 1
            assert np.array_equal(as_bytes(view), as_bytes(decode(data, name, 8, 3, stride=stride)))
        del view, memory


@pytest.mark.parametrize(("name", "data", "kwargs", "error", "text"), ids=lambda v: v if isinstance(v, str) else None,
                         argvalues=[
    ("Mono12p", bytes(64), {}, ValueError, "Mono12p cannot be decoded without a copy: its 12-bit samples are packed"),
    ("RGB10p32", bytes(64), {}, ValueError, "packed across bytes"),
    ("Mono10", bytes(64), {}, ValueError, "10-bit samples sit in 16-bit elements"),
    ("Mono10msb", bytes(64), {}, ValueError, "10-bit samples sit in 16-bit elements"),
    ("Mono16", bytes(64), {"stride": 9}, ValueError, "stride 9 is not a multiple of its 2-byte samples"),
    ("Coord3D_ABC32f", bytes(256), {"stride": 50}, ValueError, "stride 50 is not a multiple of its 4-byte"),
    ("Mono16", memoryview(bytes(65))[1:], {}, ValueError, "not aligned to 2 bytes"),
    ("RGB16a56", bytes(128), {}, ValueError, "not aligned to 2 bytes"),
    ("YUV422_8", bytes(64), {}, ValueError, "different resolutions.*decode_planes.*to_rgb"),
    ("Mono8", bytes(11), {}, ValueError, "need 12 bytes, 11 given"),
    ("Mono8", bytes(13), {"stride": 5}, ValueError, "need 14 bytes, 13 given"),
    ("Mono8", bytes(11), {"stride": 3}, ValueError, "stride 3 is smaller than a line"),
    ("Mono8", np.zeros((4, 8), np.uint8)[:, ::2], {}, ValueError, "C-contiguous"),
    ("Mono8", "abc", {}, TypeError, "bytes-like"),
    ("Mono8", bytes(64), {"out": np.zeros((3, 4), np.uint8)}, ValueError, "give one or the other"),
    ("RGB10V1Packed", bytes(64), {}, NotImplementedError, "RGB10V1Packed"),
])
def test_a_view_is_refused_with_its_reason(name, data, kwargs, error, text):
    with pytest.raises(error, match=text):
        decode(data, name, 4, 3, copy=False, **kwargs)


@pytest.mark.parametrize("copy", [None, 0, "no", np.array([False])])
def test_copy_is_true_or_false(copy):
    with pytest.raises(TypeError, match="copy must be True or False"):
        decode(bytes(16), "Mono8", 4, 4, copy=copy)


@pytest.mark.parametrize(("name", "width", "height", "stride"), [
    ("Mono8", 6, 4, None), ("Mono12p", 7, 3, None), ("Mono12p", 6, 3, 12), ("RGB8", 5, 2, 16),
    ("Coord3D_ABC10p", 4, 2, None), ("Mono10c3p32", 6, 2, None), ("Mono8", 4096, 4096, None),
])
def test_out_is_filled_and_returned(name, width, height, stride):
    data = frame(name, width, height, stride, seed=width)
    expected = decode(data, name, width, height, stride=stride)
    out = np.full_like(expected, 3)
    assert decode(data, name, width, height, stride=stride, out=out) is out
    assert np.array_equal(out, expected)


def _sentinel(shape, dtype):
    return np.full(shape, 7, dtype)


OUT_REFUSALS = [
    (lambda: _sentinel((4, 5), np.uint16), ValueError, r"shape \(3, 4\) and dtype uint16, not \(4, 5\) uint16"),
    (lambda: _sentinel((3, 4), np.uint8), ValueError, "dtype uint16, not .* uint8"),
    (lambda: _sentinel((3, 4), ">u2"), ValueError, "dtype uint16"),
    (lambda: _sentinel((3, 4), np.uint16).T.copy().T, ValueError, "must be C-contiguous"),
    (lambda: _sentinel((3, 8), np.uint16)[:, ::2], ValueError, "must be C-contiguous"),
    (lambda: np.frombuffer(_sentinel((3, 4), np.uint16).tobytes(), np.uint16).reshape(3, 4), ValueError,
     "read-only"),
    (lambda: [[7] * 4] * 3, TypeError, "out must be a numpy array, not list"),
]


@pytest.mark.parametrize(("make", "error", "text"), OUT_REFUSALS)
@pytest.mark.parametrize("name", ["Mono12p", "Mono16"])
def test_a_refused_out_is_left_as_it_was(name, make, error, text):
    out = make()
    before = np.array(out, copy=True)
    with pytest.raises(error, match=text):
        decode(frame(name, 4, 3), name, 4, 3, out=out)
    assert np.array_equal(np.asarray(out), before)


@pytest.mark.parametrize("name", ["Mono8", "Mono12p", "RGB8_Planar"])
def test_out_that_shares_memory_with_data_is_refused(name):
    size = PixelFormat.from_name(name).buffer_size(4, 4)
    image = decode(bytes(size), name, 4, 4)
    memory = np.zeros(image.nbytes + size, np.uint8)
    out = memory[:image.nbytes].view(image.dtype).reshape(image.shape)
    with pytest.raises(ValueError, match="out shares memory with data"):
        decode(memory[image.nbytes - 1:], name, 4, 4, out=out)
    assert not memory.any()


@pytest.mark.parametrize(("name", "width", "shapes", "dtype"), [
    ("RGB8", 4, {"R": (2, 4), "G": (2, 4), "B": (2, 4)}, "uint8"),
    ("BGRa8", 4, {"B": (2, 4), "G": (2, 4), "R": (2, 4), "a": (2, 4)}, "uint8"),
    ("Mono12p", 4, {"Mono": (2, 4)}, "uint16"),
    ("Mono10c3p32", 6, {"Mono": (2, 6)}, "uint16"),
    ("BayerRG8", 4, {"BayerRG": (2, 4)}, "uint8"),
    ("BiColorRGBG8", 4, {"R": (2, 4), "G": (2, 4)}, "uint8"),
    ("Coord3D_AC32f_Planar", 4, {"A": (2, 4), "C": (2, 4)}, "float32"),
    ("YUV422_8_UYVY", 4, {"Y": (2, 4), "U": (2, 2), "V": (2, 2)}, "uint8"),
    ("YCbCr411_8_CbYYCrYY", 8, {"Y": (2, 8), "Cb": (2, 2), "Cr": (2, 2)}, "uint8"),
    ("YCbCr420_8_YY_CrCb_Semiplanar", 4, {"Y": (2, 4), "Cb": (1, 2), "Cr": (1, 2)}, "uint8"),
])
def test_planes_by_component(name, width, shapes, dtype):
    data = frame(name, width, 2, seed=width)
    planes = decode_planes(data, name, width, 2)
    assert list(planes) == list(shapes)
    assert {k: (v.shape, v.dtype.name) for k, v in planes.items()} == {k: (s, dtype) for k, s in shapes.items()}
    if len(set(shapes.values())) == 1:
        image = decode(data, name, width, 2)
        together = image[..., None] if image.ndim == 2 else image
        assert all(np.array_equal(planes[k], together[..., c]) for c, k in enumerate(shapes))
    out = {k: np.full_like(v, 9) for k, v in planes.items()}
    assert decode_planes(data, name, width, 2, out=out) is out
    assert all(np.array_equal(out[k], planes[k]) for k in planes)


@pytest.mark.parametrize(("name", "wrong", "error", "text"), [
    ("YUV422_8", {"V": np.zeros((2, 4), np.uint8)}, ValueError, r"out\['V'\] must be an array of shape \(2, 2\)"),
    ("YUV422_8", {"V": np.zeros((2, 2), np.uint16)}, ValueError, "dtype uint8"),
    ("YUV422_8", {"V": np.zeros((2, 4), np.uint8)[:, ::2]}, ValueError, "C-contiguous"),
    ("RGB8", {"B": np.zeros((2, 5), np.uint8)}, ValueError, r"out\['B'\] must be an array of shape \(2, 4\)"),
    ("RGB8", {"B": None}, TypeError, r"out\['B'\] must be a numpy array, not NoneType"),
    ("RGB8", {"A": np.zeros((2, 4), np.uint8)}, ValueError, r"keys \['R', 'G', 'B'\]"),
    ("Mono12p", {"Mono": np.zeros((2, 8), np.uint16)[:, ::2]}, ValueError, r"out\['Mono'\] must be C-contiguous"),
])
def test_refused_planes_are_all_left_as_they_were(name, wrong, error, text):
    planes = decode_planes(frame(name, 4, 2), name, 4, 2)
    out = {k: np.full_like(v, 9) for k, v in planes.items()}
    out.update(wrong)
    before = {k: np.array(v, copy=True) if v is not None else None for k, v in out.items()}
    with pytest.raises(error, match=text):
        decode_planes(frame(name, 4, 2), name, 4, 2, out=out)
    assert all(v is None or np.array_equal(v, before[k]) for k, v in out.items())


def test_planes_out_must_be_a_dict():
    with pytest.raises(TypeError, match="dict of numpy arrays"):
        decode_planes(bytes(64), "YUV422_8", 4, 2, out=[np.zeros((2, 4), np.uint8)])


@pytest.mark.parametrize(("name", "mode"), [("Mono16", "fresh"), ("Mono16", "out"), ("Mono16", "view"),
                                            ("Mono12p", "fresh"), ("Mono12p", "out")])
def test_threads_decode_frames_of_one_stream_side_by_side(name, mode):
    """Two threads read alternate frames of one buffer, each the frame's own values."""
    width, height, count = 640, 96, 16
    fmt = PixelFormat.from_name(name)
    size = fmt.buffer_size(width, height)
    bits = 12 if name == "Mono12p" else 16
    images = [np.random.default_rng(k).integers(0, 1 << bits, (height, width), np.uint16) for k in range(count)]
    stream = memoryview(b"".join(encode(image, fmt) for image in images))
    wrong = []

    def read(first):
        out = np.empty((height, width), np.uint16)
        for _ in range(5):
            for k in range(first, count, 2):
                data = stream[k * size:(k + 1) * size]
                found = (decode(data, fmt, width, height, out=out) if mode == "out" else
                         decode(data, fmt, width, height, copy=mode != "view"))
                if not np.array_equal(found, images[k]):
                    wrong.append(k)

    threads = [threading.Thread(target=read, args=(first,)) for first in (0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == []
