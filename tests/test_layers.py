"""The package's layers: pieces, names and pixels each use only what lies below them."""

import ast
import importlib.util
import pathlib
import pydoc
import subprocess
import sys
from fractions import Fraction

import pytest

import corvella.pfnc
from corvella.pfnc import names, pixels
from corvella.pfnc.exceptions import NameReadError
from corvella.pfnc.names import STANDARD, PixelFormat
from corvella.pfnc.pixels import _layout

PACKAGE = pathlib.Path(corvella.pfnc.__file__).parent
# What each layer's modules may import from the package, beside themselves.
BELOW = {
    "genicam": ("exceptions", "_internal", "genicam"),
    "_internal": ("exceptions", "_internal"),
    "names": ("exceptions", "_internal", "genicam", "names"),
}


def _imported(path: pathlib.Path, package: str) -> set[str]:
    """The package's modules a source file imports, below corvella.pfnc ("names._memory")."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom):
            module = importlib.util.resolve_name("." * node.level + (node.module or ""), package)
            found |= {f"{module}.{a.name}" for a in node.names} if node.module is None else {module}
        elif isinstance(node, ast.Import):
            found |= {a.name for a in node.names}
    return {name.removeprefix("corvella.pfnc.") for name in found if name.startswith("corvella.pfnc.")}


@pytest.mark.parametrize("layer", sorted(BELOW))
def test_each_layer_imports_only_what_lies_below_it(layer):
    wrong = {}
    for path in (PACKAGE / layer).rglob("*.py"):
        package = ".".join(("corvella", "pfnc", *path.parent.relative_to(PACKAGE).parts))
        outside = {m for m in _imported(path, package) if m.split(".")[0] not in BELOW[layer]}
        if outside:
            wrong[path.name] = outside
    assert not wrong


def _run(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=False)


def test_reading_names_imports_neither_numpy_nor_pixels():
    run = _run("import sys, corvella.pfnc.names as n; from corvella.pfnc import PixelFormat\n"
               "assert PixelFormat.from_name('BayerRG12p').bits_per_pixel == 12\n"
               "from corvella.pfnc.__main__ import main; main(['YCbCr709_422_8_CbYCrY'])\n"
               "print(sorted(m for m in sys.modules if m == 'numpy' or m.startswith('corvella.pfnc.pixels')))")
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[-1] == "[]"


def test_the_package_offers_and_shows_the_layers_objects():
    assert corvella.pfnc.PixelFormat is names.PixelFormat
    assert (corvella.pfnc.decode, corvella.pfnc.encode) == (pixels.decode, pixels.encode)
    assert {"PixelFormat", "decode", "encode"} <= set(dir(corvella.pfnc))
    shown = pydoc.render_doc(corvella.pfnc, renderer=pydoc.plaintext)
    for line in ("class PixelFormat(builtins.object)", "One reading of a pixel-format name",
                 "decode(data, format, width, height, *, stride=None, copy=True, out=None)",
                 "Decode a buffer of pixels",
                 "encode(image, format, *, stride=None, out=None)", "Encode sample values"):
        assert line in shown
    assert "__getattr__" not in shown


def _layout_bits(fmt) -> Fraction:
    layout = _layout.layout_of(fmt)
    return sum((Fraction(8 * p.group_bytes, p.group_pixels * p.line_divisor) for p in layout.planes), Fraction(0))


GRAMMAR = ["Mono10c3p32", "Mono12g", "RGB12g40", "Mono10c3a64", "RGB8a32", "YUV422_10p", "YCbCr411_8_CbYYCrYY",
           "YCbCr420_8_YY_CbCr_Semiplanar", "YUV422_8_UYVY", "Mono12pmsb",
           "BGR10g32msb", "Coord3D_ABC10p", "YUV8_UYV", "Mono10c4p"]


@pytest.mark.parametrize("name", [name for name, _ in STANDARD] + GRAMMAR)
def test_bits_per_pixel_are_the_bits_the_layout_uses(name):
    fmt = PixelFormat.from_name(name)
    try:
        bits = _layout_bits(fmt)
    except _layout.Unsupported:
        pytest.skip(f"{name} has no layout")
    assert bits == fmt.bits_per_pixel


@pytest.mark.parametrize(
    ("name", "reads"),
    [("YUV422_UYVY", False), ("YUV8_UYVY", False), ("RGB8_RGBG", False), ("YCbCr411_8_CbYCrY", False),
     ("YCbCr422_8_CbYYCrYY", False), ("YUV422_8_UYVY", True), ("YCbCr411_8_CbYYCrYY", True), ("YUV8_UYV", True),
     ("BGR8_RGB", True)],
)
def test_a_sequencing_repeats_a_channel_only_as_its_sampling_gives_it_samples(name, reads):
    if reads:
        assert PixelFormat.from_name(name).name == name
    else:
        with pytest.raises(NameReadError):
            PixelFormat.from_name(name)


@pytest.mark.parametrize(
    ("argv", "status", "says"),
    [(["layout", "Mono10p", "--bytes", "0"], 2, "expected a positive number of bytes, got '0'"),
     (["layout", "Mono10p", "--bytes", "-3"], 2, "expected a positive number of bytes, got '-3'"),
     (["\u0661\u0667\u0663\u0660\u0661\u0665\u0660\u0665"], 1, "is not an ASCII letter, digit or '_'"),
     (["layout", "YUV422_UYVY"], 1, "YUV422_UYVY: 'YUV422_UYVY' is not a pixel-format name")],
)
def test_the_command_says_what_is_wrong(argv, status, says):
    run = subprocess.run([sys.executable, "-m", "corvella.pfnc", *argv], capture_output=True, text=True)
    assert run.returncode == status and says in run.stderr and "Traceback" not in run.stderr


def test_the_layout_command_without_numpy_says_so():
    run = _run("import sys; sys.modules['numpy'] = None\n"
               "from corvella.pfnc.__main__ import main; sys.exit(main(['layout', 'Mono8']))")
    assert run.returncode == 2 and "the layout command needs numpy, which is not installed" in run.stderr
