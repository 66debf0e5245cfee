"""Read GenICam pixel-format names into their structure, and compose them back.

:class:`PixelFormat` reads a whole name (``PixelFormat.from_name("Mono12p")``)
or a 32-bit value (``PixelFormat.from_code(0x010C0047)``). The pieces of a
name live in submodules: :mod:`corvella.pfnc.genicam.widths` (bits per
channel), :mod:`corvella.pfnc.genicam.scalars` (channel data types) and
:mod:`corvella.pfnc.genicam.layouts` (interface-specific suffixes).
"""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from .codec import decode, encode
    from .formats import PixelFormat

__all__ = ["PixelFormat", "decode", "encode"]


def __getattr__(name: str) -> object:
    # Imported on first use, so that importing one piece module imports only what it needs.
    if name == "PixelFormat":
        from .formats import PixelFormat

        return PixelFormat
    if name in ("decode", "encode"):
        from . import codec

        return getattr(codec, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
