"""Print the structure of pixel-format names and values; run the pixel commands.

    python -m corvella.pfnc NAME_OR_VALUE...
    python -m corvella.pfnc layout NAME... [--bytes N]
    python -m corvella.pfnc convert INPUT --format NAME_OR_VALUE --size WIDTHxHEIGHT ... -o OUTPUT

``--help`` describes each. A value is written in decimal or as 0x... hex.
Exits 1 when an argument cannot be read, after saying why (the other
arguments are still printed), and 2 for a wrong command line or a command
that is not installed.
"""

import importlib
import importlib.util
import sys

from .exceptions import PfncError
from .genicam.components import MosaicLocation, PolarizationLocation, SamplingLocation
from .genicam.layouts import ComponentsSequencing, Planar
from .names import PackingKind, PixelFormat

USAGE = """\
usage: python -m corvella.pfnc NAME_OR_VALUE...
       python -m corvella.pfnc layout NAME... [--bytes N]
       python -m corvella.pfnc convert INPUT --format NAME_OR_VALUE --size WIDTHxHEIGHT [--stride N]
                               [--offset N] [--frames SPEC] [--bits 8|16] [--method M] -o OUTPUT"""

HELP = f"""\
{USAGE}

GenICam pixel formats: what a name or value means, how its pixels lie in
memory, and raw camera buffers turned into pictures.

commands:
  NAME_OR_VALUE...  (the default) print the structure of each pixel-format name
                    or 32-bit value, decimal or 0x... hex: components, bits per
                    channel, data types, packing, layout, bits per pixel, value.
                    A name that does not read is explained, with the closest
                    standard names.
                      python -m corvella.pfnc BayerRG12p 0x010C0047
  layout            draw which bits of a format's first bytes belong to which
                    pixel and component; --bytes N shows at most N bytes.
                      python -m corvella.pfnc layout Mono10p --bytes 5
  convert           turn a raw dump of frames into pictures, PNG, TIFF or NPY as
                    OUTPUT's extension says: --stride and --offset in bytes,
                    --frames picks frames, --bits the depth of the picture,
                    --method the demosaicing of Bayer formats.
                      python -m corvella.pfnc convert frames.raw --format BayerRG8 --size 640x480 -o frame.png

layout and convert need numpy; each takes --help for its own options.
Exit status: 0 when every argument was read, 1 when one could not be,
2 for a wrong command line or a command that is not installed."""

# The subcommands: each a module whose main(argv) runs it, imported only when asked for.
COMMANDS = {
    "layout": "corvella.pfnc.pixels._layout_figure",
    "convert": "corvella.pfnc.pixels._convert_command",
}

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


def _run_command(command: str, argv: list[str]) -> int:
    try:
        # Finding the command imports the pixels package, which needs numpy.
        if importlib.util.find_spec(COMMANDS[command]) is None:
            print(f"the {command} command is not installed", file=sys.stderr)
            return 2
        module = importlib.import_module(COMMANDS[command])
    except ModuleNotFoundError as error:
        if error.name is None or error.name.startswith("corvella."):
            raise
        print(f"the {command} command needs {error.name}, which is not installed", file=sys.stderr)
        return 2
    return int(module.main(argv) or 0)


def main(argv: list[str]) -> int:
    """Print every argument's structure, or run a command; 1 if an argument could not be read."""
    if argv and argv[0] in COMMANDS:
        return _run_command(argv[0], argv[1:])
    if not argv:
        print(USAGE, file=sys.stderr)
        return 2
    if argv[0] in ("-h", "--help"):
        print(HELP)
        return 0
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
