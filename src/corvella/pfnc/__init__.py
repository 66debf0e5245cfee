"""Read GenICam pixel-format names into their structure, and turn their pixels into arrays.

:class:`PixelFormat` reads a whole name (``PixelFormat.from_name("Mono12p")``)
or a 32-bit value (``PixelFormat.from_code(0x010C0047)``); :func:`decode` and
:func:`encode` convert between a camera's buffer and numpy arrays.

The package is layered: :mod:`corvella.pfnc.genicam` holds the pieces of a
name (bits per channel, data types, interface-specific suffixes),
:mod:`corvella.pfnc.names` whole names and their values, and
:mod:`corvella.pfnc.pixels` the pixels. Only the pixels need numpy, and
they are imported on first use.
"""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from .names import PixelFormat
    from .pixels import decode, encode

__all__ = ["PixelFormat", "decode", "encode"]


def __getattr__(name: str) -> object:
    # Imported on first use, so that importing one piece module imports only what it needs.
    if name == "PixelFormat":
        from .names import PixelFormat

        return PixelFormat
    if name in ("decode", "encode"):
        from . import pixels

        return getattr(pixels, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    # help() and dir() list the lazy names with the module's own, not the machinery that imports them.
    return sorted({*globals(), *__all__} - {"__getattr__", "__dir__", "TYPE_CHECKING"})
