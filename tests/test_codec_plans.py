"""Plans: built once per format and kept within bounds, refused for formats beyond the converter, and the
arguments and messages of the calls that use them."""

import tracemalloc

import pytest

np = pytest.importorskip("numpy")
from corvella.pfnc import PixelFormat, decode, encode  # noqa: E402
from corvella.pfnc.pixels import _convert as convert, _plans, codec  # noqa: E402


class Index:
    """An integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("kind", [np.uint32, np.int64, np.uint64, Index], ids=lambda k: k.__name__)
def test_every_integer_operator_index_takes(kind):
    data = bytes(range(48))
    expected = decode(data, 0x01080001, 4, 3, stride=16)
    found = decode(data, kind(0x01080001), kind(4), kind(3), stride=kind(16))
    assert found.tolist() == expected.tolist()
    assert encode(found, kind(0x01080001), stride=kind(16)) == encode(expected, "Mono8", stride=16)


@pytest.mark.parametrize("call", [
    lambda: decode(bytes(9), True, 1, 1),
    lambda: decode(bytes(9), "Mono8", True, 1),
    lambda: decode(bytes(9), "Mono8", 1, True),
    lambda: decode(bytes(9), "Mono8", 1, 1, stride=True),
    lambda: encode(np.zeros((1, 1), np.uint8), "Mono8", stride=True),
    lambda: encode(np.zeros((1, 1), np.uint8), False),
], ids=["format", "width", "height", "stride", "encode stride", "encode format"])
def test_bool_is_no_size_and_no_code(call):
    with pytest.raises(TypeError, match="not bool"):
        call()


@pytest.mark.parametrize(("name", "width", "height", "stride", "text"), [
    ("Mono12g", 3, 1, None, r"a stream of 3 pixels \(3 x 1\) is not a multiple of 2"),
    ("Mono12g", 3, 3, None, "a stream of 9 pixels"),
    ("Mono12g", 3, 2, 6, "a width of 3 is not a multiple of 2"),
    ("Mono10c3p32", 4, 1, None, "packs 3 pixels together: a stream of 4 pixels"),
])
def test_a_stream_that_does_not_fill_its_groups_is_named(name, width, height, stride, text):
    with pytest.raises(ValueError, match=text):
        decode(bytes(1000), name, width, height, stride=stride)


@pytest.mark.parametrize(("name", "width", "height"), [("Mono12g", 3, 2), ("Mono12g", 1, 4), ("Mono10c3p32", 3, 1)])
def test_streams_that_fill_their_groups_decode_whatever_the_width(name, width, height):
    image = decode(bytes(1000), name, width, height)
    assert image.shape == (height, width)
    assert decode(encode(image, name), name, width, height).tolist() == image.tolist()


@pytest.mark.parametrize(("name", "limit"), [
    ("Mono8c100000000", "a group of 100000000 samples is more than the 4096"),
    ("Mono8c1000000", "a group of 1000000 samples is more than the 4096"),
    ("Mono8c4097", "a group of 4097 samples is more than the 4096"),
    ("Mono8a1048576", "a group of 131072 bytes is more than the 65536"),
])
def test_formats_beyond_the_converter_are_refused_before_their_layout(name, limit):
    tracemalloc.start()
    try:
        for call in (lambda: decode(bytes(64), name, 1, 1), lambda: encode(np.zeros((1, 1), np.uint8), name)):
            with pytest.raises(NotImplementedError, match=f"^{name} cannot be converted: {limit} this converter handles$"):
                call()
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20


def test_the_limits_just_within_convert():
    image = decode(bytes(4096), "Mono8c4096", 4096, 1)
    assert encode(image, "Mono8c4096") == bytes(4096)


@pytest.fixture
def small_cache(monkeypatch):
    monkeypatch.setattr(_plans, "MOST_PLANS", 6)
    monkeypatch.setattr(_plans, "MOST_BYTES", 40_000)
    yield
    # What the test left over goes as soon as the bounds are back.
    monkeypatch.undo()


@pytest.mark.parametrize("names", [
    [f"Mono8c{n}" for n in range(2, 40)],
    [f"Mono8c{n}" for n in range(300, 330)],
    [f"Mono8c{n}" for n in range(5000, 5020)],  # refusals are kept within the same bounds
], ids=["many small", "large", "refused"])
def test_the_cache_stays_within_its_bounds(small_cache, names):
    for name in names:
        try:
            decode(bytes(1 << 16), name, int(name[6:]), 1)
        except NotImplementedError:
            pass
        count, size = _plans.kept()
        assert count <= 6 and size <= 40_000


def test_a_plan_is_built_once_and_kept(monkeypatch):
    fmt = PixelFormat.from_name("RGB10p32")
    first = _plans.converter_of(fmt)
    built = []
    monkeypatch.setattr(_plans, "build", lambda *args: built.append(args))
    for width in (4, 5, 8):
        decode(bytes(64), fmt, width, 2)
        decode(bytes(64), "RGB10p32", width, 2, stride=32)
        encode(np.zeros((2, width, 3), np.uint16), "RGB10p32")
    assert built == []
    assert _plans.converter_of(fmt) is first
    assert first.plan.__sizeof__() > 0


def test_a_plan_larger_than_the_cache_is_not_kept(monkeypatch):
    monkeypatch.setattr(_plans, "MOST_BYTES", 10)
    fmt = PixelFormat.from_name("Mono8c7")
    assert _plans.converter_of(fmt) is not _plans.converter_of(fmt)
    assert _plans.kept()[1] <= 10 or all(entry[0] is not fmt for entry in _plans._kept.values())


@pytest.mark.parametrize("stride", [None, 64], ids=["stream", "stride"])
@pytest.mark.parametrize(("name", "shape", "dtype", "where", "value", "text"), [
    ("Mono12p", (4, 20), np.uint16, (3, 17), 4096, "component Mono holds 12 bits, but the value at (3, 17) is 4096"),
    ("Mono10", (3, 20), np.uint16, (2, 0), 1024, "component Mono holds 10 bits, but the value at (2, 0) is 1024"),
    ("Mono12g", (2, 8), np.uint16, (1, 5), 5000, "component Mono holds 12 bits, but the value at (1, 5) is 5000"),
    ("Mono10s", (2, 4), np.int16, (1, 3), -513, "component Mono holds 10 bits, but the value at (1, 3) is -513"),
    ("RGB10p32", (3, 5, 3), np.uint16, (2, 4, 1), 1024, "component G holds 10 bits, but the value at (2, 4) is 1024"),
    ("Coord3D_ABC10p", (2, 4, 3), np.uint16, (1, 2, 2), 2000,
     "component C holds 10 bits, but the value at (1, 2) is 2000"),
])
def test_a_value_out_of_range_is_named_by_component_and_place(name, shape, dtype, where, value, text, stride):
    image = np.zeros(shape, dtype)
    image[where] = value
    with pytest.raises(ValueError, match=f"^{name}: " + text.replace("(", r"\(").replace(")", r"\)") + "$"):
        encode(image, name, stride=stride)


def test_a_sub_sampled_value_out_of_range_is_named_by_its_component():
    image = {"Y": np.zeros((2, 4), np.uint16), "Cb": np.zeros((2, 2), np.uint16), "Cr": np.zeros((2, 2), np.uint16)}
    image["Cr"][1, 1] = 1 << 10
    with pytest.raises(ValueError, match=r"component Cr holds 10 bits, but the value at \(1, 1\) is 1024"):
        encode(image, "YCbCr422_10p")


@pytest.mark.parametrize(("allocate", "error"), [
    (lambda shape, dtype: np.empty(3, dtype), ValueError),
    (lambda shape, dtype: np.empty((shape[0] + 1,) + shape[1:], dtype), ValueError),
    (lambda shape, dtype: bytes(16), BufferError),
    (lambda shape, dtype: "text", TypeError),
    (lambda shape, dtype: 1 / 0, ZeroDivisionError),
], ids=["short", "long", "read-only", "no buffer", "raises"])
def test_an_allocator_that_misbehaves_is_refused(allocate, error):
    plan = _plans.converter_of(PixelFormat.from_name("Mono8")).plan
    with pytest.raises(error):
        plan.decode(bytes(16), 4, 4, None, allocate, allocate)


def test_decode_looks_its_allocator_up_at_each_call(monkeypatch):
    made = []

    def empty(shape, dtype):
        made.append(shape)
        return np.zeros(shape, dtype)

    monkeypatch.setattr(codec.numpy, "empty", empty)
    assert decode(bytes(range(6)), "Mono8", 3, 2).tolist() == [[0, 1, 2], [3, 4, 5]]
    assert made == [(2, 3)]


@pytest.mark.parametrize(("width", "height", "stride"), [
    (1 << 62, 1 << 62, None), (1 << 70, 1, None), (1, 1 << 70, None), (1, 2, 1 << 70), (1 << 31, 1 << 31, 1 << 40),
])
def test_sizes_beyond_memory_are_refused(width, height, stride):
    with pytest.raises(ValueError, match="more than memory can hold"):
        decode(bytes(16), "Mono8", width, height, stride=stride)


def test_plans_refuse_a_wrong_description():
    with pytest.raises(ValueError, match="invalid plan description"):
        convert.plan("Mono8", [1, 1, 1, 1, 1, 1], np.uint8, None)
    with pytest.raises(ValueError, match="keys"):
        convert.plan("Mono8", [1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 0, 0, 1, 0, 8, 0, 1, 0, 8, 0], np.uint8, ("Y", "U"))


def test_threads_share_a_cache_that_keeps_forgetting(small_cache):
    import threading

    names = [f"Mono8c{n}" for n in range(2, 26)]
    failures = []

    def work(k):
        for i in range(60):
            name = names[(i * 7 + k) % len(names)]
            width = int(name[6:])
            data = bytes(range(width)) * 2
            if decode(data, name, width, 2).tolist() != [list(range(width))] * 2:
                failures.append(name)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    count, size = _plans.kept()
    assert count <= 6 and size <= 40_000
