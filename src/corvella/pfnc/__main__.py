"""Print the structure of pixel-format names and values.

    python -m corvella.pfnc NAME_OR_VALUE...

A value is written in decimal or as 0x... hex. Exits 1 when an argument
cannot be read, after saying why; the other arguments are still printed.
``python -m corvella.pfnc layout ...`` draws memory layouts where that
command is installed.
"""

import importlib
import importlib.util
import sys

from .exceptions import PfncError
from .genicam.components import MosaicLocation, PolarizationLocation, SamplingLocation
from .genicam.layouts import ComponentsSequencing, Planar
from .names import PackingKind, PixelFormat

USAGE = "usage: python -m corvella.pfnc NAME_OR_VALUE...\n       python -m corvella.pfnc layout ..."

_KINDS = {
    PackingKind.MSB_UNPACKED: "msb unpacked", PackingKind.PACKED: "lsb packed", PackingKind.PACKED_MSB: "msb packed",
    PackingKind.GROUPED: "lsb grouped", PackingKind.GROUPED_MSB: "msb grouped", PackingKind.ALIGNED: "aligned",
    PackingKind.CLUSTER: "cluster, unpacked", PackingKind.LEGACY_PACKED: "GigE Vision legacy Packed",
    PackingKind.LEGACY_V1_PACKED: "GigE Vision legacy V1Packed",
}


def _read(argument: str) -> PixelFormat:
    text = argument.strip()
    # Only ASCII digits make a value: str.isdecimal() and int() take every script's digits.
    if text.isascii() and (text[:2].lower() == "0x" or text.isdecimal()):
        try:
            value = int(text, 0) if text[:2].lower() == "0x" else int(text)
        except ValueError:
            pass
        else:
            return PixelFormat.from_code(value)
    return PixelFormat.from_name(argument)


def _location(location: object, channels: int) -> str:
    if location is None:
        return "every pixel carries every channel" if channels > 1 else "one sample per pixel"
    if isinstance(location, PolarizationLocation):
        colour = "colour" if location.colour else "mono"
        mirror = f", mirrored {location.mirror}" if location.mirror else ""
        return f"polarisation mosaic, {location.rows}x{location.columns} kernel, {colour}, variant {location.variant}{mirror}"
    if isinstance(location, MosaicLocation):
        tile = " ".join(location.cells) if location.cells is not None else f"first row {location.pattern}"
        return f"{location.family} mosaic, {location.rows}x{location.columns} tile: {tile}"
    if isinstance(location, SamplingLocation):
        standard = f", colour standard BT.{location.standard}" if location.standard else ""
        scheme = ":".join(location.scheme)
        return f"{scheme} sampling, samples per group {location.fields}{standard}"
    return repr(location)


def _packing(pf: PixelFormat) -> str:
    packing = pf.packing
    if packing is None:
        return "none (lsb unpacked)"
    details = [_KINDS[packing.kind]]
    if packing.cluster > 1:
        details.append(f"cluster of {packing.cluster}")
    if packing.bits is not None:
        details.append(f"{packing.bits} bits per {'cluster' if packing.cluster > 1 else 'pixel'}")
    return f"{packing.designation()} ({', '.join(details)})"


def _layout(pf: PixelFormat) -> str:
    suffix = pf.interface_specific
    if pf.planes is not None:
        return "semi-planar: " + " | ".join(" ".join(plane) for plane in pf.planes)
    if suffix is None:
        return "interleaved, in the components field's order"
    if isinstance(suffix, Planar):
        return "planar: one plane per channel"
    if isinstance(suffix, ComponentsSequencing):
        return "interleaved, in memory: " + " ".join(suffix.components)
    return f"{type(suffix).__name__} {suffix.designation()}"


def describe(argument: str, pf: PixelFormat) -> str:
    """The lines printed for one argument."""
    heading = pf.name if argument == pf.name else f"{argument}: reads as {pf.name}"
    components = pf.components
    code = "none (not in the standard value list)" if pf.code is None else f"0x{pf.code:08X}"
    rows = [
        ("components", f"{' '.join(components.names)} ({len(components)} channel{'s' if len(components) > 1 else ''})"),
        ("location", _location(components.location, len(components))),
        ("bits per channel", " ".join(str(width) for width in pf.size.sizes)),
        ("data types", " ".join(pf.channel_types)),
        ("packing", _packing(pf)),
        ("layout", _layout(pf)),
        ("bits per pixel", str(pf.bits_per_pixel)),
        ("value", code),
    ]
    if pf.deprecated:
        rows.append(("note", "deprecated name; its value's bits per pixel differ from its structure"))
    return "\n".join([heading] + [f"  {label:<17} {text}" for label, text in rows])


def main(argv: list[str]) -> int:
    """Print every argument's structure; 1 if one of them could not be read."""
    if argv[:1] == ["convert"]:
        from .pixels._convert_command import main as convert

        return convert(argv[1:])
    if argv[:1] == ["layout"]:
        try:
            # Finding the command imports the pixels package, which needs numpy.
            if importlib.util.find_spec("corvella.pfnc.pixels._layout_figure") is None:
                print("the layout command is not installed", file=sys.stderr)
                return 2
            layout_figure = importlib.import_module("corvella.pfnc.pixels._layout_figure")
        except ModuleNotFoundError as error:
            if error.name is None or error.name.startswith("corvella."):
                raise
            print(f"the layout command needs {error.name}, which is not installed", file=sys.stderr)
            return 2
        return int(layout_figure.main(argv[1:]) or 0)
    if not argv or argv[0] in ("-h", "--help"):
        print(USAGE, file=sys.stdout if argv else sys.stderr)
        return 0 if argv else 2
    status = 0
    for number, argument in enumerate(argv):
        if number:
            print()
        try:
            pf = _read(argument)
        except (PfncError, ValueError, LookupError) as error:
            print(f"{argument}: {error}", file=sys.stderr)
            status = 1
            continue
        print(describe(argument, pf))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
