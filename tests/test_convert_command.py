"""The convert command end to end: raw files in, pictures read back with the library that wrote them."""

import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")
from corvella.pfnc import PixelFormat  # noqa: E402
from corvella.pfnc.pixels import _convert_command as command  # noqa: E402
from corvella.pfnc.pixels import encode, to_rgb  # noqa: E402
from corvella.pfnc.pixels.codec import _decoded as decoded  # noqa: E402

WIDTH, HEIGHT = 8, 4


def raw_file(tmp_path, name, frames, seed=0):
    """A file of `frames` random frames of `name`, and the frames' bytes."""
    rng = np.random.default_rng(seed)
    sample = decoded(bytes(1 << 12), name, WIDTH, HEIGHT)
    top = 2 ** PixelFormat.from_name(name).size.sizes[0]
    parts = [{k: rng.integers(0, top, v.shape).astype(v.dtype) for k, v in sample.items()}
             if isinstance(sample, dict) else rng.integers(0, top, sample.shape).astype(sample.dtype)
             for _ in range(frames)]
    frames_bytes = [encode(part, name) for part in parts]
    path = tmp_path / f"{name}.raw"
    path.write_bytes(b"".join(frames_bytes))
    return path, frames_bytes


def run(*argv):
    return command.main([str(a) for a in argv])


def test_one_frame_to_npy_keeps_the_depth(tmp_path):
    path, frames = raw_file(tmp_path, "RGB12p", 3)
    assert run(path, "--format", "RGB12p", "--size", f"{WIDTH}x{HEIGHT}", "--frames", "1", "-o", tmp_path / "o.npy") == 0
    assert np.array_equal(np.load(tmp_path / "o.npy"), to_rgb(frames[1], "RGB12p", WIDTH, HEIGHT))


def test_several_frames_to_png_are_numbered_by_frame(tmp_path):
    from PIL import Image

    path, frames = raw_file(tmp_path, "YUV422_8_UYVY", 4)
    code = f"0x{PixelFormat.from_name('YUV422_8_UYVY').code:08X}"
    assert run(path, "--format", code, "--size", f"{WIDTH}x{HEIGHT}", "--frames", "0,2-3", "-o", tmp_path / "f.png") == 0
    assert sorted(p.name for p in tmp_path.glob("f_*.png")) == ["f_0000.png", "f_0002.png", "f_0003.png"]
    for index in (0, 2, 3):
        with Image.open(tmp_path / f"f_{index:04d}.png") as image:
            assert image.mode == "RGB"
            assert np.array_equal(np.asarray(image), to_rgb(frames[index], "YUV422_8_UYVY", WIDTH, HEIGHT))


@pytest.mark.parametrize(
    "name, suffix, grey",
    [("Mono12p", ".tif", True), ("RGB12p", ".tiff", False), ("Mono12", ".png", True), ("BGR10", ".tif", False)],
)
def test_deep_formats_give_sixteen_bit_pictures(tmp_path, name, suffix, grey):
    path, frames = raw_file(tmp_path, name, 1)
    out = tmp_path / f"o{suffix}"
    assert run(path, "--format", name, "--size", f"{WIDTH}x{HEIGHT}", "-o", out) == 0
    if suffix == ".png":
        from PIL import Image

        with Image.open(out) as image:
            got = np.asarray(image).astype(np.uint16)
    else:
        import tifffile

        got = tifffile.imread(out)
    want = to_rgb(frames[0], name, WIDTH, HEIGHT, bits=16)
    assert got.dtype == np.uint16
    assert np.array_equal(got, want[..., 0] if grey else want)


def test_the_package_runs_the_command(tmp_path):
    path, frames = raw_file(tmp_path, "Mono8", 1)
    out = tmp_path / "o.npy"
    proc = subprocess.run([sys.executable, "-m", "corvella.pfnc", "convert", str(path), "--format", "Mono8",
                           "--size", f"{WIDTH}x{HEIGHT}", "-o", str(out)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert np.array_equal(np.load(out), np.frombuffer(frames[0], np.uint8).reshape(HEIGHT, WIDTH))


@pytest.mark.parametrize(
    "change, words",
    [
        ({"--format": "Mono9x"}, "Mono9x"),
        ({"--size": "8by4"}, "WIDTHxHEIGHT"),
        ({"--size": "0x4"}, "WIDTHxHEIGHT"),
        ({"-o": "o.bmp"}, "extension"),
        ({"--frames": "3"}, "within the file's 2 frames"),
        ({"--frames": "a-b"}, "N or N-M"),
        ({"--bits": "12"}, "invalid choice"),
        ({"--method": "nearest"}, "invalid choice"),
        ({"--offset": "-1"}, "whole number"),
        ({"--size": "6x4"}, "partial frame"),
        ({"--format": "Coord3D_C8"}, "3-D coordinates"),
        ({"--bits": "16"}, "8 bits only"),
        ({"input": "missing.raw"}, "missing.raw"),
    ],
)
def test_mistakes_give_one_line_and_a_failing_status(tmp_path, capsys, change, words):
    path, _ = raw_file(tmp_path, "YUV422_8_UYVY", 2)
    options = {"input": path, "--format": "YUV422_8_UYVY", "--size": f"{WIDTH}x{HEIGHT}", "-o": "o.png", **change}
    argv = [tmp_path / options.pop("input")]
    for key, value in options.items():
        argv += [key, tmp_path / value if key == "-o" else value]
    assert run(*argv) != 0
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and words in err and "Traceback" not in err


def test_a_missing_image_library_names_the_extra(tmp_path, capsys, monkeypatch):
    path, _ = raw_file(tmp_path, "Mono8", 1)
    real = command.importlib.import_module

    def without_tifffile(name, *args):
        if name == "tifffile":
            raise ModuleNotFoundError(name=name)
        return real(name, *args)

    monkeypatch.setattr(command.importlib, "import_module", without_tifffile)
    assert run(path, "--format", "Mono8", "--size", f"{WIDTH}x{HEIGHT}", "-o", tmp_path / "o.tif") == 1
    assert "corvella-pfnc[images]" in capsys.readouterr().err
