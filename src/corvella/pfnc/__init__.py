"""GenICam pixel formats: from a camera's buffer to an array, and to a picture.

A camera says how its pixels are laid out with a pixel-format name
("BayerRG12p") or its 32-bit value (0x010C0059), and sends each frame as raw
bytes. Read the format, then the pixels::

    from corvella.pfnc import PixelFormat, decode, encode, to_rgb

    fmt = PixelFormat.from_code(0x010C0059)      # or PixelFormat.from_name("BayerRG12p")
    fmt.bits_per_pixel, fmt.components.names     # 12, ('BayerRG',)
    samples = decode(buffer, fmt, 1920, 1080)    # a (1080, 1920) uint16 array of the 12-bit samples
    picture = to_rgb(buffer, fmt, 1920, 1080)    # a (1080, 1920, 3) colour picture
    buffer == encode(samples, fmt)               # and back to the camera's bytes

A name that does not read raises NameReadError, which offers the closest
standard names. A vendor's own value (bit 31 set) reads once
register_custom_format has given it a name. ``python -m corvella.pfnc NAME``
prints a format's structure; ``--help`` lists the other commands.

The package is layered: :mod:`corvella.pfnc.genicam` holds the pieces of a
name (bits per channel, data types, interface-specific suffixes),
:mod:`corvella.pfnc.names` whole names and their values, and
:mod:`corvella.pfnc.pixels` the pixels. Only the pixels need numpy, and
they are imported on first use.
"""

TYPE_CHECKING = False
if TYPE_CHECKING:
    # What type checkers see of the table below, one import a name ("as" exports it).
    from .names import PixelFormat as PixelFormat
    from .names.custom import register_custom_format as register_custom_format
    from .names.custom import unregister_custom_format as unregister_custom_format
    from .pixels.codec import decode as decode, encode as encode

# Each public name and the module it comes from, imported on first use: reading a
# name then imports neither numpy nor the pixels.
_PUBLIC = {
    "PixelFormat": "corvella.pfnc.names",
    "register_custom_format": "corvella.pfnc.names.custom",
    "unregister_custom_format": "corvella.pfnc.names.custom",
    "decode": "corvella.pfnc.pixels.codec",
    "encode": "corvella.pfnc.pixels.codec",
}

__all__ = list(_PUBLIC)


def __getattr__(name: str) -> object:
    module = _PUBLIC.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import import_module

    return getattr(import_module(module), name)


def __dir__() -> list[str]:
    # help() and dir() list the lazy names with the module's own, not the machinery that imports them.
    return sorted({*globals(), *__all__} - {"__getattr__", "__dir__", "TYPE_CHECKING"})
