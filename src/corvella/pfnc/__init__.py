"""Read GenICam pixel-format names into their structure, and compose them back.

:class:`PixelFormat` reads a whole name (``PixelFormat.from_name("Mono12p")``)
or a 32-bit value (``PixelFormat.from_code(0x010C0047)``). The pieces of a
name live in submodules: :mod:`corvella.pfnc.genicam.widths` (bits per
channel), :mod:`corvella.pfnc.genicam.scalars` (channel data types) and
:mod:`corvella.pfnc.genicam.layouts` (interface-specific suffixes).
"""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from .formats import PixelFormat

__all__ = ["PixelFormat"]


def __getattr__(name: str) -> object:
    # Imported on first use, so that importing one piece module imports only what it needs.
    if name == "PixelFormat":
        from .formats import PixelFormat

        return PixelFormat
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
