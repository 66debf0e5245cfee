"""Acquire frames from a GenICam camera with Aravis, and decode each by the format its buffer carries.

    tools/py314 python examples/camera_stream.py                  # Aravis's simulated camera, in process
    tools/py314 python examples/camera_stream.py --camera ID      # any camera Aravis finds, by its id

First every entry of the camera's PixelFormat feature is read by its name
with ``PixelFormat.from_name``, and the value the name gives is checked
against the value the camera's description gives it. Then, in each format
the camera offers, a few frames are acquired; each buffer is decoded by the
32-bit value it carries (not by the name asked for) at the size it carries,
and mosaic frames are turned into RGB. It prints one line a format and exits
with status 1 when a value disagrees, a name cannot be read or a frame is
lost.
"""

import argparse
import sys
from typing import NamedTuple

import gi
import numpy

gi.require_version("Aravis", "0.8")
from gi.repository import Aravis  # noqa: E402

from corvella.pfnc import PixelFormat, decode  # noqa: E402

SIMULATED = "Fake_1"
TIMEOUT_US = 2_000_000


class Offered(NamedTuple):
    """An entry of the camera's PixelFormat feature, and what the name reads as."""

    name: str
    value: int
    format: PixelFormat | None
    problem: str | None


class Frame(NamedTuple):
    """One acquired buffer, decoded."""

    format: PixelFormat
    width: int
    height: int
    data: bytes
    image: numpy.ndarray
    rgb: numpy.ndarray | None  # (height, width, 3) for a mosaic


def open_camera(camera_id: str | None = None):
    """The camera of that id; Aravis's simulated camera when there is none."""
    if camera_id is None:
        Aravis.enable_interface("Fake")
        camera_id = SIMULATED
    return Aravis.Camera.new(camera_id)


def offered_formats(camera) -> list[Offered]:
    """Every available entry of the camera's PixelFormat feature, read by name and checked against its value."""
    listed = dict(zip(camera.dup_available_pixel_formats_as_strings(), camera.dup_available_pixel_formats()))
    feature = camera.get_device().get_genicam().get_node("PixelFormat")
    offered = []
    for entry in feature.get_entries():
        if not entry.is_available():
            continue
        name, value = entry.get_name(), entry.get_value()
        try:
            fmt = PixelFormat.from_name(name)
        except ValueError as error:
            offered.append(Offered(name, value, None, f"cannot be read: {error}"))
            continue
        problem = None
        if fmt.code != value:
            problem = f"reads as {fmt.code and hex(fmt.code)}, the camera says {value:#010x}"
        elif listed.get(name) != value:
            problem = f"the camera's list gives {listed.get(name)}, its feature {value:#010x}"
        offered.append(Offered(name, value, fmt, problem))
    return offered


def acquire(camera, name: str, count: int):
    """Yield `count` buffers acquired in pixel format `name`; each is reused once the next is asked for."""
    camera.set_pixel_format_from_string(name)
    camera.set_acquisition_mode(Aravis.AcquisitionMode.CONTINUOUS)
    stream = camera.create_stream(None, None)
    payload = camera.get_payload()
    for _ in range(2):
        stream.push_buffer(Aravis.Buffer.new_allocate(payload))
    camera.start_acquisition()
    try:
        for _ in range(count):
            buffer = stream.timeout_pop_buffer(TIMEOUT_US)
            if buffer is None:
                raise TimeoutError(f"no {name} frame within {TIMEOUT_US / 1e6:g} s")
            if buffer.get_status() != Aravis.BufferStatus.SUCCESS:
                raise RuntimeError(f"a {name} frame came with status {buffer.get_status().value_nick}")
            yield buffer
            stream.push_buffer(buffer)
    finally:
        camera.stop_acquisition()


def decode_buffer(buffer, rgb: bool = True) -> Frame:
    """The buffer decoded by the pixel format and size it carries; mosaics also in RGB if `rgb`."""
    fmt = PixelFormat.from_code(buffer.get_image_pixel_format())
    width, height = buffer.get_image_width(), buffer.get_image_height()
    data = buffer.get_data()
    image = decode(data, fmt, width, height)
    coloured = None
    if rgb and fmt.name.startswith("Bayer"):
        from corvella.pfnc.pixels.colour import to_rgb

        coloured = to_rgb(data, fmt, width, height)
    return Frame(fmt, width, height, data, image, coloured)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--camera", help="the camera's id (default: Aravis's simulated camera)")
    parser.add_argument("--frames", type=int, default=3, help="frames to acquire in each format")
    parser.add_argument("--no-rgb", dest="rgb", action="store_false", help="leave mosaics undemosaiced")
    parser.add_argument("--size", type=int, nargs=2, metavar=("WIDTH", "HEIGHT"), help="the region to acquire")
    args = parser.parse_args(argv)
    camera = open_camera(args.camera)
    print(f"{camera.get_vendor_name()} {camera.get_model_name()} ({camera.get_device_id()})")
    if args.size:
        camera.set_region(0, 0, *args.size)
    if camera.is_frame_rate_available():
        camera.set_frame_rate(min(100.0, camera.get_frame_rate_bounds()[1]))
    failed = False
    for offered in offered_formats(camera):
        if offered.problem is not None:
            print(f"{offered.name} {offered.value:#010x}: {offered.problem}")
            failed = True
            continue
        try:
            frames = [decode_buffer(buffer, args.rgb) for buffer in acquire(camera, offered.name, args.frames)]
        except (TimeoutError, RuntimeError, LookupError, ValueError, NotImplementedError) as error:
            print(f"{offered.name} {offered.value:#010x}: {error}")
            failed = True
            continue
        last = frames[-1]
        rgb = f", RGB {last.rgb.shape} {last.rgb.dtype}" if last.rgb is not None else ""
        print(f"{offered.name} {offered.value:#010x}: {len(frames)} frames {last.width}x{last.height} "
              f"as {last.format.name}, {last.image.shape} {last.image.dtype}, mean {last.image.mean():.1f}{rgb}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
