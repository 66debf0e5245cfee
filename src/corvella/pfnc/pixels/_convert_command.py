"""Turn a file of raw frames into PNG, TIFF or NPY pictures.

    python -m corvella.pfnc convert INPUT --format NAME_OR_VALUE --size WIDTHxHEIGHT
        [--stride N] [--offset N] [--frames SPEC] [--bits 8|16] [--method M] -o OUTPUT

The output's extension picks the writer: .png (Pillow), .tif or .tiff
(tifffile), .npy (numpy). Grey formats (Mono, Raw) give grey pictures, every
other format RGB through to_rgb. Without --bits, NPY keeps the format's own
depth; PNG and TIFF get 8 bits from formats of up to 8 and 16 bits (full
scale to full scale) from deeper ones, except PNG colour, which Pillow writes
at 8 bits only.

--frames picks frames by index: "3", "2-5" (inclusive) or a list such as
"0,4-6"; all frames by default. One frame is written to OUTPUT; several are
written beside it numbered by frame index: out.png gives out_0000.png,
out_0001.png, ... A progress bar shows on a terminal from 8 frames on.
"""

import argparse
import importlib
import sys
from pathlib import Path

import numpy

from .colour import DEPTHS, METHODS, to_rgb
from .files import RawFile

__all__ = ["main"]

WRITERS = {".png": "PIL", ".tif": "tifffile", ".tiff": "tifffile", ".npy": None}
# Frames from which a terminal gets a progress bar.
PROGRESS_FROM = 8


class CommandError(Exception):
    """A mistake in the command line or its files, told in one line."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise CommandError(message)


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="python -m corvella.pfnc convert", add_help=True, exit_on_error=False,
                     description="Turn a file of raw frames into PNG, TIFF or NPY pictures.")
    parser.add_argument("input", metavar="INPUT")
    parser.add_argument("--format", required=True, metavar="NAME_OR_VALUE")
    parser.add_argument("--size", required=True, metavar="WIDTHxHEIGHT", type=_size)
    parser.add_argument("--stride", type=_count, metavar="N")
    parser.add_argument("--offset", type=_count, default=0, metavar="N")
    parser.add_argument("--frames", metavar="SPEC")
    parser.add_argument("--bits", type=int, choices=DEPTHS)
    parser.add_argument("--method", choices=METHODS, default="gradient")
    parser.add_argument("-o", "--output", required=True, metavar="OUTPUT")
    return parser


def _count(text: str) -> int:
    if not text.isascii() or not text.isdecimal():
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number")
    return int(text)


def _size(text: str) -> tuple[int, int]:
    width, x, height = text.lower().partition("x")
    if not x or not all(part.isascii() and part.isdecimal() and int(part) > 0 for part in (width, height)):
        raise argparse.ArgumentTypeError(f"{text!r} is not WIDTHxHEIGHT, such as 640x480")
    return int(width), int(height)


def _format(text: str):
    """A decimal or 0x value as an int, anything else as a name."""
    if text.isascii() and text[:2].lower() == "0x":
        try:
            return int(text, 16)
        except ValueError:
            pass
    return int(text) if text.isascii() and text.isdecimal() else text


def _frames(spec: str | None, count: int) -> list[int]:
    if spec is None:
        return list(range(count))
    frames = []
    for part in spec.split(","):
        first, dash, last = part.strip().partition("-")
        try:
            numbers = range(int(first), (int(last) if dash else int(first)) + 1)
        except ValueError:
            raise CommandError(f"--frames {spec!r}: {part!r} is not N or N-M") from None
        if not numbers or numbers[-1] >= count or numbers[0] < 0:
            raise CommandError(f"--frames {spec!r}: {part!r} is not within the file's {count} frames")
        frames += numbers
    return frames


def _module(name: str, why: str):
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError:
        raise CommandError(f"{why} needs {name}: install the extra corvella-pfnc[images]") from None


def _writer(output: Path):
    """A function that writes one picture to a path, by the output's extension."""
    suffix = output.suffix.lower()
    if suffix not in WRITERS:
        raise CommandError(f"{output}: the extension must be one of {', '.join(WRITERS)}")
    if suffix == ".npy":
        return lambda picture, path: numpy.save(path, picture)
    if suffix == ".png":
        image = _module("PIL.Image", "writing PNG")
        return lambda picture, path: image.fromarray(picture).save(path)
    tifffile = _module("tifffile", "writing TIFF")
    return lambda picture, path: tifffile.imwrite(path, picture, photometric="rgb" if picture.ndim == 3 else "minisblack")


def _bits(args, frames: RawFile, output: Path, grey: bool) -> int | None:
    """The depth to write: --bits, or what the output can show of the format's own."""
    suffix = output.suffix.lower()
    if suffix == ".npy":
        return args.bits
    colour_png = suffix == ".png" and not grey
    if args.bits == 16 and colour_png:
        raise CommandError("Pillow writes PNG colour at 8 bits only: use --bits 8, .tif or .npy")
    if args.bits is not None:
        return args.bits
    return 8 if colour_png or max(frames.format.size.sizes) <= 8 else 16


def _outputs(output: Path, frames: list[int]) -> list[Path]:
    if len(frames) == 1:
        return [output]
    return [output.with_name(f"{output.stem}_{frame:04d}{output.suffix}") for frame in frames]


def _progress(items, total: int):
    if total < PROGRESS_FROM or not sys.stderr.isatty():
        return items
    return _module("tqdm", "a progress bar").tqdm(items, total=total, unit="frame")


def convert(args) -> None:
    output = Path(args.output)
    write = _writer(output)
    width, height = args.size
    with RawFile(args.input, _format(args.format), width, height, stride=args.stride, offset=args.offset) as raw:
        grey = raw.format.components.names[0] in ("Mono", "Raw")
        bits = _bits(args, raw, output, grey)
        frames = _frames(args.frames, len(raw))
        for frame, path in _progress(zip(frames, _outputs(output, frames)), len(frames)):
            picture = to_rgb(raw.raw(frame), raw.format, width, height, stride=args.stride, method=args.method,
                             bits=bits)
            write(picture[..., 0] if grey else picture, path)


def main(argv: list[str]) -> int:
    """Convert as the arguments say; 0, or 1 (2 for a wrong command line) after one line on stderr."""
    try:
        args = _parser().parse_args(argv)
    except (CommandError, argparse.ArgumentError) as error:
        print(f"convert: {error}", file=sys.stderr)
        return 2
    try:
        convert(args)
    except Exception as error:  # noqa: BLE001 - the command's promise: one line, never a traceback
        print(f"convert: {error}", file=sys.stderr)
        return 1
    return 0
