"""``python -m corvella.pfnc layout NAME``: which bits of the first bytes belong to which sample.

The figure is found, not drawn from a table: every bit of every sample of a
small image is encoded on its own with the package's encoder, and the one
memory bit that lights up is that sample bit's place. A bit no sample owns is
padding. So the figure shows what the codec does, for any name it reads.
"""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass

import numpy as np

__all__ = ["Figure", "bit_owners", "formulas", "main", "render"]

_MAX_PIXELS = 64


@dataclass(frozen=True)
class Figure:
    name: str
    width: int
    height: int
    owners: list[str | None]    # per memory bit (byte * 8 + bit), the sample bit it holds, e.g. "P1[9]"
    nbytes: int


def _samples(image, fmt) -> list[tuple[object, str, int]]:
    """(index into the image, label prefix, width) of every sample of ``image``, in label order."""
    names = list(fmt.components.names)
    sizes = list(fmt.size.sizes)
    found = []
    if isinstance(image, dict):
        for key, array in image.items():
            for flat in range(array.size):
                found.append(((key, np.unravel_index(flat, array.shape)), f"{key}{flat}", sizes[names.index(key)]))
        return found
    height, width = image.shape[:2]
    for flat in range(height * width):
        position = np.unravel_index(flat, (height, width))
        if image.ndim == 2:
            found.append(((None, position), f"P{flat}", sizes[0]))
        else:
            for c in range(image.shape[2]):
                found.append(((None, (*position, c)), f"{names[c]}{flat}", sizes[c]))
    return found


def _with_bit(template, where, bit: int, width: int):
    """A copy of ``template`` (zeros) whose one sample holds only bit ``bit`` of its ``width`` bits."""
    image = {k: v.copy() for k, v in template.items()} if isinstance(template, dict) else template.copy()
    key, position = where
    array = image[key] if key is not None else image
    if array.dtype.kind == "i" and bit == width - 1:
        array[position] = -(1 << bit)               # the sign bit alone
    elif array.dtype.kind == "f":
        array.view(f"u{array.itemsize}")[position] = 1 << bit
    else:
        array[position] = 1 << bit
    return image


def _small_image(fmt, codec) -> tuple[int, int, bytes]:
    """The smallest image worth drawing: whole groups, a few bytes, one line when it can be."""
    fallback = None
    for height in (1, 2):
        for width in range(1, _MAX_PIXELS + 1):
            try:
                data = codec.encode(codec._decoded(bytes(1 << 12), fmt, width, height), fmt)
            except (ValueError, NotImplementedError) as e:
                if isinstance(e, NotImplementedError):
                    raise
                continue
            whole = 8 * len(data) == fmt.bits_per_pixel * width * height
            if whole and len(data) >= 4:
                return width, height, data
            if fallback is None and len(data) >= 4:
                fallback = (width, height, data)
        if fallback is not None:
            return fallback
    raise ValueError(f"found no image size that {fmt.name} can encode")


def bit_owners(name: str) -> Figure:
    """Which sample bit each memory bit of a small image of format ``name`` holds."""
    from corvella.pfnc.names import PixelFormat
    from corvella.pfnc.pixels import codec

    fmt = PixelFormat.from_name(name)
    width, height, zeros = _small_image(fmt, codec)
    if any(zeros):
        raise AssertionError(f"{fmt.name}: an image of zeros encodes to non-zero bytes")
    template = codec._decoded(zeros, fmt, width, height)
    owners: list[str | None] = [None] * (8 * len(zeros))
    for where, label, sample_width in _samples(template, fmt):
        for bit in range(sample_width):
            data = codec.encode(_with_bit(template, where, bit, sample_width), fmt)
            lit = [i for i in range(8 * len(data)) if data[i // 8] >> (i % 8) & 1]
            if len(lit) != 1:
                raise AssertionError(f"{fmt.name}: bit {bit} of {label} lights {len(lit)} memory bits")
            if owners[lit[0]] is not None:
                raise AssertionError(f"{fmt.name}: {label}[{bit}] and {owners[lit[0]]} share a memory bit")
            owners[lit[0]] = f"{label}[{bit}]"
    return Figure(fmt.name, width, height, owners, len(zeros))


def _runs(owners: list[str | None]) -> list[str]:
    """One byte's bits, high to low, as the rules write them: P1[5:0]<<2 | P0[9:8]."""
    terms = []
    bit = 7
    while bit >= 0:
        owner = owners[bit]
        low = bit
        while low > 0 and _continues(owners[low], owners[low - 1]):
            low -= 1
        if owner is None:
            terms.append(f"0[{bit}:{low}]" if bit != low else f"0[{bit}]")
        else:
            label, high = owner.split("[")[0], int(owner.split("[")[1][:-1])
            end = int(owners[low].split("[")[1][:-1])
            bits = f"{label}[{high}:{end}]" if high != end else f"{label}[{high}]"
            terms.append(bits + (f"<<{low}" if low else ""))
        bit = low - 1
    return terms


def _continues(upper: str | None, lower: str | None) -> bool:
    if upper is None or lower is None:
        return upper is None and lower is None
    (u_label, u_bit), (l_label, l_bit) = (o[:-1].split("[") for o in (upper, lower))
    return u_label == l_label and int(u_bit) == int(l_bit) + 1


def formulas(figure: Figure) -> list[str]:
    """Each byte as the rules write it, padding left out: "P1[5:0]<<2 | P0[9:8]"."""
    result = []
    for n in range(figure.nbytes):
        terms = [t for t in _runs(figure.owners[8 * n: 8 * n + 8]) if not t.startswith("0[")]
        result.append(" | ".join(terms) or "0")
    return result


def render(figure: Figure, nbytes: int | None = None) -> str:
    """The figure as text: a grid of each byte's bits, high to low, and its formula."""
    shown = figure.nbytes if nbytes is None else min(nbytes, figure.nbytes)
    cell = max(len(o or ".") for o in figure.owners[: 8 * shown]) + 1
    lines = [f"{figure.name}: the first {shown} of {figure.nbytes} bytes of a {figure.width} x {figure.height} "
             "image ('.' is padding, zero)",
             "byte" + "".join(f"{b:>{cell}}" for b in range(7, -1, -1))]
    for n, formula in enumerate(formulas(figure)[:shown]):
        owners = figure.owners[8 * n: 8 * n + 8]
        lines.append(f"{n:>4}" + "".join(f"{owners[b] or '.':>{cell}}" for b in range(7, -1, -1))
                     + f"   = {formula}")
    return "\n".join(lines)


def _positive(text: str) -> int:
    """A count of bytes for --bytes: a positive decimal number."""
    if not (text.isascii() and text.isdigit()) or int(text) < 1:
        raise argparse.ArgumentTypeError(f"expected a positive number of bytes, got {text!r}")
    return int(text)


def main(argv: list[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["layout"]:
        argv = argv[1:]
    parser = argparse.ArgumentParser(
        prog="python -m corvella.pfnc layout",
        description="Draw which bits of the first bytes of a format belong to which pixel and component.")
    parser.add_argument("name", nargs="+", help="a pixel-format name")
    parser.add_argument("--bytes", type=_positive, default=None, metavar="N", help="show at most N bytes")
    args = parser.parse_args(argv)
    status = 0
    for name in args.name:
        try:
            print(render(bit_owners(name), args.bytes))
        except (ValueError, NotImplementedError, LookupError) as e:
            print(f"{name}: {e}", file=sys.stderr)
            status = 1
    return status
