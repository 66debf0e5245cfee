"""RawFile: files of raw frames, read frame by frame and as a dask array."""

import concurrent.futures
import pickle
import sys
import threading

import numpy
import pytest

from corvella.pfnc import PixelFormat, decode, encode
from corvella.pfnc.pixels import RawFile

# (format, width, height, stride, offset, trailer bytes after each frame)
LAYOUTS = [
    ("Mono8", 5, 3, None, 0, 0),
    # 22.5 bytes of pixels: the frames must not share a byte
    ("Mono12p", 5, 3, None, 7, 0),
    ("RGB8", 4, 2, 16, 0, 0),
    ("Mono16", 3, 2, None, 128, 5),
    ("BayerRG10p", 4, 2, None, 1, 3),
]
FRAMES = 5


def _images(format, width, height, count=FRAMES, seed=0):
    """Random images that format holds, as decode gives them."""
    fmt = PixelFormat.from_name(format)
    blank = decode(bytes(fmt.buffer_size(width, height)), fmt, width, height)
    rng = numpy.random.default_rng(seed)
    return rng.integers(0, 1 << max(fmt.size), (count, *blank.shape)).astype(blank.dtype)


def _write(path, format, width, height, stride=None, offset=0, trailer=0, count=FRAMES):
    """A file of count frames in format; their images and what RawFile needs to read it."""
    images = _images(format, width, height, count)
    frames = [encode(image, format, stride=stride) + b"\xee" * trailer for image in images]
    path.write_bytes(b"\xaa" * offset + b"".join(frames))
    frame_bytes = len(frames[0]) if trailer else None
    return images, dict(stride=stride, offset=offset, frame_bytes=frame_bytes)


@pytest.fixture(params=LAYOUTS, ids=lambda layout: f"{layout[0]}-stride{layout[3]}-offset{layout[4]}-trailer{layout[5]}")
def written(request, tmp_path):
    format, width, height, stride, offset, trailer = request.param
    path = tmp_path / "frames.raw"
    images, options = _write(path, format, width, height, stride, offset, trailer)
    with RawFile(path, format, width, height, **options) as file:
        yield file, images, path.read_bytes()


def test_frames_are_the_decoded_slices_of_the_file(written):
    file, images, content = written
    assert len(file) == FRAMES
    for i in range(FRAMES):
        start = file.offset + i * file.frame_bytes
        frame = content[start:start + file.frame_bytes]
        assert bytes(file.raw(i)) == frame
        numpy.testing.assert_array_equal(file[i], decode(frame, file.format, file.width, file.height,
                                                         stride=file.stride))
        numpy.testing.assert_array_equal(file[i], images[i])
    numpy.testing.assert_array_equal(numpy.stack(list(file)), images)


@pytest.mark.parametrize(("index", "found"), [(-1, FRAMES - 1), (-FRAMES, 0), (numpy.int64(3), 3), (numpy.uint8(0), 0),
                                              (FRAMES, IndexError), (-FRAMES - 1, IndexError), (1 << 70, IndexError),
                                              ("1", TypeError), (1.0, TypeError)])
def test_any_integer_indexes_a_frame_and_nothing_else(written, index, found):
    file, images, content = written
    if isinstance(found, int):
        numpy.testing.assert_array_equal(file[index], images[found])
        start = file.offset + found * file.frame_bytes
        assert bytes(file.raw(index)) == content[start:start + file.frame_bytes]
        return
    with pytest.raises(found):
        file[index]
    with pytest.raises(found):
        file.raw(index)


@pytest.mark.parametrize("part", [slice(None), slice(1, 4), slice(None, None, -2), slice(-2, None),
                                  slice(4, 1), slice(1, 1 << 70, 3)])
def test_slices_stack_their_frames(written, part):
    file, images, _ = written
    stacked = file[part]
    assert stacked.shape == images[part].shape and stacked.dtype == images.dtype
    numpy.testing.assert_array_equal(stacked, images[part])


@pytest.mark.parametrize(("extra", "offset"), [(1, 0), (8, 0), (17, 4), (1, 1)])
def test_a_partial_last_frame_is_reported_when_opening(tmp_path, extra, offset):
    path = tmp_path / "cut.raw"
    path.write_bytes(bytes(offset + 3 * 18 + extra))
    total = 3 * 18 + extra
    more = "1 byte" if extra == 1 else f"{extra} bytes"
    with pytest.raises(ValueError, match=f"partial frame: the {total} bytes after offset {offset} "
                                         f"are 3 frames of 18 bytes and {more} more"):
        RawFile(path, "Mono8", 6, 3, offset=offset)


@pytest.mark.parametrize(("size", "arguments", "options", "error", "message"), [
    (0, ("Mono8", 6, 3), {}, ValueError, "is empty"),
    (36, ("Mono8", 6, 3), {"offset": 36}, ValueError, r"offset 36 is at or past the end of .* \(36 bytes\)"),
    (36, ("Mono8", 6, 3), {"offset": 1 << 70}, ValueError, "past the end"),
    (36, ("Mono8", 6, 3), {"offset": -1}, ValueError, "offset must be at least 0"),
    (36, ("Mono8", 6, 3), {"frame_bytes": 17}, ValueError, "frame_bytes 17 is less than the 18 bytes of a 6x3 Mono8"),
    (10, ("Mono8", 6, 3), {}, ValueError, "0 frames of 18 bytes and 10 bytes more"),
    (19, ("Mono8", 6, 3), {}, ValueError, "1 frame of 18 bytes and 1 byte more"),
    (36, ("Mono8", 0, 3), {}, ValueError, "width"),
    (36, ("Mono8", 6.0, 3), {}, TypeError, "float"),
    (36, ("Mono8", True, 3), {}, TypeError, "width must be an integer, not bool"),
    (36, ("Mono8", 6, 3), {"frame_bytes": True}, TypeError, "frame_bytes must be an integer, not bool"),
    (36, (b"Mono8", 6, 3), {}, TypeError, "format"),
    (36, ("NoSuch8", 6, 3), {}, ValueError, "NoSuch8"),
])
def test_files_without_frames_and_wrong_arguments_are_refused(tmp_path, size, arguments, options, error, message):
    path = tmp_path / "short.raw"
    path.write_bytes(bytes(size))
    with pytest.raises(error, match=message):
        RawFile(path, *arguments, **options)


def test_views_outlive_close_and_the_closed_file_refuses(tmp_path):
    path = tmp_path / "frames.raw"
    images, _ = _write(path, "Mono8", 4, 2)
    file = RawFile(path, PixelFormat.from_name("Mono8").code, 4, 2)
    view = file.raw(1)
    held = numpy.frombuffer(file.raw(2), numpy.uint8)
    file.close()
    file.close()
    assert file.closed and repr(file) == f"<RawFile closed {file.path!r} Mono8 4x2: {FRAMES} frames of 8 bytes from offset 0>"
    assert bytes(view) == images[1].tobytes()
    numpy.testing.assert_array_equal(held.reshape(2, 4), images[2])
    with pytest.raises(ValueError, match="closed"):
        file[0]
    with pytest.raises(ValueError, match="closed"):
        file.raw(0)
    assert len(file) == FRAMES


def test_threads_reading_while_the_file_closes_get_frames_or_a_clear_error(tmp_path):
    path = tmp_path / "frames.raw"
    images, _ = _write(path, "Mono12p", 64, 32, count=8)
    file = RawFile(path, "Mono12p", 64, 32)
    started = threading.Barrier(5)

    def read():
        started.wait()
        for i in range(2000):
            try:
                frame = file[i % 8]
            except ValueError as error:
                assert "closed" in str(error)
                return
            numpy.testing.assert_array_equal(frame, images[i % 8])

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        readers = [pool.submit(read) for _ in range(4)]
        started.wait()
        file.close()
        for reader in readers:
            reader.result()


@pytest.fixture
def dask_array():
    return pytest.importorskip("dask.array", reason="dask is an optional extra")


@pytest.mark.parametrize("per_chunk", [1, 2, 3, FRAMES + 4, None])
def test_to_dask_decodes_chunks_of_frames_lazily(written, per_chunk, dask_array):
    file, images, _ = written
    array = file.to_dask(per_chunk)
    assert isinstance(array, dask_array.Array)
    assert array.shape == images.shape and array.dtype == images.dtype
    step = min(per_chunk or FRAMES, FRAMES)
    assert array.chunks[0] == tuple(min(step, FRAMES - start) for start in range(0, FRAMES, step))
    assert array.chunks[1:] == tuple((n,) for n in images.shape[1:])
    numpy.testing.assert_array_equal(array.compute(scheduler="sync"), images)
    numpy.testing.assert_array_equal(array[1:3].compute(scheduler="sync"), images[1:3])


def test_to_dask_needs_a_positive_chunk(written, dask_array):
    with pytest.raises(ValueError, match="frames_per_chunk must be at least 1, not 0"):
        written[0].to_dask(0)


def _task_sizes(file):
    return [len(pickle.dumps(task)) for task in dict(file.to_dask(1).__dask_graph__()).values()]


def test_tasks_carry_sizes_not_pixels(tmp_path, dask_array):
    sizes = []
    for name, width, height in (("small.raw", 4, 2), ("large.raw", 512, 256)):
        path = tmp_path / name
        _write(path, "Mono12p", width, height, count=3)
        with RawFile(path, "Mono12p", width, height) as file:
            sizes.append(_task_sizes(file))
    # Plain pickle: nothing in a task needs more than a reference to importable code.
    assert all(size < 1024 for size in sizes[0] + sizes[1])
    # What a task carries does not grow with the frames (a digit more or less in a size).
    assert abs(max(sizes[1]) - max(sizes[0])) < 16


def test_to_dask_without_dask_names_the_extra(written, monkeypatch):
    file, _, _ = written
    for module in [m for m in sys.modules if m == "dask" or m.startswith("dask.")]:
        monkeypatch.delitem(sys.modules, module)
    monkeypatch.setitem(sys.modules, "dask", None)
    with pytest.raises(ImportError, match=r"corvella-pfnc\[dask\]"):
        file.to_dask()


def test_a_cluster_of_processes_computes_the_frames(tmp_path):
    distributed = pytest.importorskip("distributed", reason="distributed is an optional extra")
    path = tmp_path / "frames.raw"
    images, options = _write(path, "RGB10p", 6, 4, offset=3, trailer=2, count=7)
    with RawFile(path, "RGB10p", 6, 4, **options) as file:
        array = file.to_dask(2)
    # Every wait is bounded: a cluster that does not start or answer fails the test.
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                                  timeout=60) as cluster, distributed.Client(cluster, timeout=60) as client:
        client.wait_for_workers(2, timeout=60)
        computed = client.compute(array).result(timeout=120)
    numpy.testing.assert_array_equal(computed, images)
