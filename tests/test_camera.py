"""A real GenICam stack end to end: Aravis's simulated camera, in process and over GigE Vision on the loopback."""

import os
import pathlib
import runpy
import shutil
import signal
import subprocess
import time
import types

import numpy
import pytest

gi = pytest.importorskip("gi", reason="needs PyGObject")
try:
    gi.require_version("Aravis", "0.8")
except ValueError:
    pytest.skip("needs Aravis 0.8's introspection data", allow_module_level=True)

PATH = pathlib.Path(__file__).resolve().parent.parent / "examples" / "camera_stream.py"
SERVER = "arv-fake-gv-camera-0.8"
# What the simulated camera offers, and how numpy reads its bytes: element type and components per pixel.
SIMULATED = {
    "Mono8": ("u1", 1),
    "Mono16": ("<u2", 1),
    "RGB8": ("u1", 3),
    "BayerRG8": ("u1", 1),
    "BayerGR8": ("u1", 1),
    "BayerGB8": ("u1", 1),
    "BayerBG8": ("u1", 1),
}
# Each mosaic's 2x2 tile from the top-left pixel, row by row.
TILES = {"BayerRG8": "RGGB", "BayerGR8": "GRBG", "BayerGB8": "GBRG", "BayerBG8": "BGGR"}


@pytest.fixture(scope="module")
def example():
    return types.SimpleNamespace(**runpy.run_path(str(PATH), run_name="camera_stream"))


@pytest.fixture(scope="module")
def camera(example):
    camera = example.open_camera()
    camera.set_region(0, 0, 64, 48)
    camera.set_frame_rate(200.0)
    return camera


def _check_offered(example, camera):
    offered = example.offered_formats(camera)
    assert [o.problem for o in offered] == [None] * len(offered)
    assert {o.name: o.value for o in offered} == dict(zip(camera.dup_available_pixel_formats_as_strings(),
                                                          camera.dup_available_pixel_formats()))
    assert sorted(o.name for o in offered) == sorted(SIMULATED)


def test_every_offered_name_reads_as_the_value_the_camera_gives_it(example, camera):
    _check_offered(example, camera)


def _check_frame(frame, name):
    """The decoded frame against numpy's own reading of the buffer's bytes."""
    dtype, components = SIMULATED[name]
    assert frame.format.name == name
    shape = (frame.height, frame.width) + ((components,) if components > 1 else ())
    expected = numpy.frombuffer(frame.data, dtype).reshape(shape)
    numpy.testing.assert_array_equal(frame.image, expected)
    assert frame.image.dtype == expected.dtype.newbyteorder("=")
    if frame.rgb is not None:
        assert frame.rgb.shape == (frame.height, frame.width, 3) and frame.rgb.dtype == numpy.uint8
        # Where the mosaic measured a colour, RGB keeps the sample: this pins the tile's orientation.
        for site, colour in enumerate(TILES[name]):
            down, across = divmod(site, 2)
            numpy.testing.assert_array_equal(frame.rgb[down::2, across::2, "RGB".index(colour)],
                                             frame.image[down::2, across::2])


@pytest.fixture(scope="module")
def mosaic_rgb():
    """Whether to_rgb demosaics in this tree; the colour work lands apart from the camera's."""
    from corvella.pfnc.pixels.colour import to_rgb

    try:
        to_rgb(bytes(16), "BayerRG8", 4, 4)
    except ImportError:
        return False
    return True


@pytest.mark.parametrize("name", sorted(SIMULATED))
def test_frames_decode_by_the_format_their_buffer_carries(example, camera, name):
    frames = [example.decode_buffer(buffer, rgb=False) for buffer in example.acquire(camera, name, 2)]
    assert len(frames) == 2
    for frame in frames:
        assert (frame.width, frame.height) == (64, 48) and frame.rgb is None
        _check_frame(frame, name)


@pytest.mark.parametrize("name", sorted(TILES))
def test_mosaic_frames_turn_into_rgb(example, camera, mosaic_rgb, name):
    if not mosaic_rgb:
        pytest.skip("to_rgb cannot demosaic in this tree")
    for buffer in example.acquire(camera, name, 2):
        frame = example.decode_buffer(buffer)
        assert frame.rgb is not None
        _check_frame(frame, name)


def test_the_example_runs_on_the_simulated_camera(example, mosaic_rgb, capsys):
    assert example.main(["--frames", "1", "--size", "32", "16"] + ([] if mosaic_rgb else ["--no-rgb"])) == 0
    lines = {line.split()[0]: line for line in capsys.readouterr().out.splitlines()[1:]}
    assert sorted(lines) == sorted(SIMULATED)
    assert all(": 1 frames 32x16 as " in line for line in lines.values())


def _found(serial: str):
    """The id of the camera of that serial number that Aravis finds; None while there is none."""
    from gi.repository import Aravis

    Aravis.update_device_list()
    for index in range(Aravis.get_n_devices()):
        if Aravis.get_device_serial_nbr(index) == serial:
            return Aravis.get_device_id(index)
    return None


@pytest.fixture
def loopback_camera(tmp_path):
    """A simulated GigE Vision camera served on 127.0.0.1 for the test, stopped after it."""
    if shutil.which(SERVER) is None:
        pytest.skip(f"needs {SERVER} (aravis-tools)")
    serial = f"T{os.getpid() % 100000}"
    log = tmp_path / "server.log"
    # The server stops by itself after two minutes, whatever happens to this test; its own group, to end it whole.
    with log.open("wb") as output:
        server = subprocess.Popen(["timeout", "-k", "5", "120", SERVER, "-i", "127.0.0.1", "-s", serial],
                                  stdout=output, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        deadline = time.monotonic() + 20
        while (found := _found(serial)) is None:
            if server.poll() is not None:
                pytest.skip(f"cannot serve a camera on 127.0.0.1 here: {log.read_text(errors='replace').strip()}")
            if time.monotonic() > deadline:
                pytest.fail("the camera served on 127.0.0.1 was not found in 20 s")
            time.sleep(0.2)
        yield found
    finally:
        server.terminate()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(server.pid, signal.SIGKILL)
            server.wait()


def test_frames_over_gige_vision_on_the_loopback(example, loopback_camera, mosaic_rgb, capsys):
    camera = example.open_camera(loopback_camera)
    camera.set_region(0, 0, 64, 48)
    _check_offered(example, camera)
    # Two bytes a sample cross the wire: their order is the format's.
    for name in ("Mono16", "RGB8"):
        for buffer in example.acquire(camera, name, 2):
            _check_frame(example.decode_buffer(buffer), name)
    del camera
    assert example.main(["--camera", loopback_camera, "--frames", "1"] + ([] if mosaic_rgb else ["--no-rgb"])) == 0
    assert "Mono16 0x01100007: 1 frames" in capsys.readouterr().out
