"""Pixel-format names: read a name or a 32-bit value into its structure, and compose it back.

:class:`PixelFormat` is one reading of a name; :class:`Packing` and
:class:`PackingKind` describe its packing field. ``STANDARD`` lists every
(name, value) pair of the standard's value list, and ``LEGACY`` maps the
legacy spellings devices still report to their standard names.
:func:`register_custom_format` teaches a vendor's own 32-bit value for a
name, and :func:`unregister_custom_format` forgets it.

Nothing here needs numpy: decoding pixels is :mod:`corvella.pfnc.pixels`.
"""

from ._standard_table import LEGACY, STANDARD
from .custom import register_custom_format, unregister_custom_format
from .formats import MAX_NAME_LENGTH, Packing, PackingKind, PixelFormat

__all__ = ["LEGACY", "MAX_NAME_LENGTH", "STANDARD", "Packing", "PackingKind", "PixelFormat", "register_custom_format",
           "unregister_custom_format"]
