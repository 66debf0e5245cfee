"""Vendor pixel formats: teach the package the 32-bit value a camera reports for a name of its own.

A value with bit 31 set is a vendor's own, outside the standard's value list.
Once ``register_custom_format(value, name)`` has given it a name the
grammar reads, ``PixelFormat.from_code(value)`` is that name's reading,
``PixelFormat.from_name(name).code`` is the value, and decode and encode
take the value as they take a standard one::

    register_custom_format(0x810C0001, "Mono12pmsb")
    PixelFormat.from_code(0x810C0001).name         # 'Mono12pmsb'
    unregister_custom_format(0x810C0001)

Each value stands for one name and each name has one value. Registering a
value or a name already taken by another raises DuplicateRegistrationError
(a ValueError): unregister first to change a pair. Registering the same pair
again changes nothing. ``CUSTOM_FORMATS`` holds the pairs and can snapshot
and restore them, as the package's other registries do.
"""

from __future__ import annotations

import operator
import threading
from fractions import Fraction

from ._standard_table import LEGACY, STANDARD
from .._internal.registry import MappingSnapshot, Registry
from ..exceptions import DuplicateRegistrationError, NotRegisteredError

__all__ = ["CUSTOM_FORMATS", "CustomFormatRegistry", "register_custom_format", "unregister_custom_format"]

VENDOR_BIT = 1 << 31
_STANDARD_CODES = dict(STANDARD)


def checked_code(value: object, argument: str) -> int:
    """``value`` as a 32-bit pixel-format value: an int or an integer like numpy's, but no bool."""
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"Argument '{argument}' has incorrect type (expected int, got {type(value).__name__})")
    number = operator.index(value)
    if not 0 <= number <= 0xFFFFFFFF:
        shown = f"{number:#x}" if number.bit_length() <= 64 else f"an int of {number.bit_length()} bits"
        raise ValueError(f"pixel-format value {shown} is outside 0..0xFFFFFFFF")
    return number


def _vendor_code(value: object) -> int:
    number = checked_code(value, "code")
    if not number & VENDOR_BIT:
        raise ValueError(f"0x{number:08X} is not a vendor value: its bit 31 is clear")
    return number


def _checked_name(name: object) -> str:
    if type(name) is not str:
        raise TypeError(f"Argument 'name' has incorrect type (expected str, got {type(name).__name__})")
    standard = LEGACY.get(name, name)
    if standard in _STANDARD_CODES:
        spelling = "a standard name" if standard == name else f"a legacy spelling of {standard!r}"
        raise ValueError(f"{name!r} is {spelling}, with the value 0x{_STANDARD_CODES[standard]:08X}")
    return name


def _check_reading(code: int, name: str) -> None:
    # Formats read lazily: this module is imported by the one that reads names.
    from .formats import PixelFormat

    bits = Fraction(PixelFormat.from_name(name).bits_per_pixel)
    given = (code >> 16) & 0xFF
    # A format whose pixels take a fraction of a bit count gives the bits of the fewest whole ones.
    if given != bits.numerator:
        pixels = "a pixel" if bits.denominator == 1 else f"{bits.denominator} pixels"
        raise ValueError(f"0x{code:08X} says {given} bits per pixel (bits 23-16), but {name!r} takes"
                         f" {bits.numerator} bits for {pixels}")


class CustomFormatRegistry(Registry[int, str]):
    """Vendor values and the names they stand for: each value one name, each name one value."""

    def __init__(self) -> None:
        super().__init__()
        # name -> value beside the registry's value -> name. Both change in place:
        # the name readers' memos watch them.
        self._codes: dict[str, int] = {}
        self._changing = threading.Lock()

    def register(self, code: int, name: str) -> None:
        """Give the vendor value ``code`` to the format ``name``, as register_custom_format does."""
        number = _vendor_code(code)
        _check_reading(number, _checked_name(name))
        with self._changing:
            taken = self._registry.get(number)
            if taken == name:
                return
            if taken is not None:
                raise DuplicateRegistrationError(f"0x{number:08X} is already registered for {taken!r}")
            if name in self._codes:
                raise DuplicateRegistrationError(f"{name!r} is already registered with 0x{self._codes[name]:08X}")
            # The name's value first: meanwhile a reader of the value finds nothing, rather than a reading without it.
            self._codes[name] = number
            self._registry[number] = name

    def unregister(self, code: int) -> None:
        """Forget the vendor value ``code``; NotRegisteredError (a LookupError) when it is not registered."""
        number = _vendor_code(code)
        with self._changing:
            name = self._registry.pop(number, None)
            if name is None:
                raise NotRegisteredError(f"0x{number:08X} is not registered")
            self._codes.pop(name, None)

    def restore(self, snap: MappingSnapshot[int, str]) -> None:
        """Put back the pairs of a snapshot.

        Each pair must be a vendor value and a name outside the value list,
        one value per name; a refused snapshot leaves the registry as it was.
        The names are not read again: one that no longer reads is refused
        when its value is read.
        """
        names: dict[int, str] = {}
        codes: dict[str, int] = {}
        for code, name in snap.mapping.items():
            number = _vendor_code(code)
            if codes.setdefault(_checked_name(name), number) != number:
                raise ValueError(f"the snapshot gives {name!r} two values")
            names[number] = name
        with self._changing:
            self._codes.clear()
            self._codes.update(codes)
            self._registry.clear()
            self._registry.update(names)

    def code_of(self, name: str) -> int | None:
        """The vendor value registered for ``name``, or None."""
        return self._codes.get(name)


CUSTOM_FORMATS = CustomFormatRegistry()


def register_custom_format(code: int, name: str) -> None:
    """Teach the package a vendor's value (bit 31 set) for a pixel-format name the grammar reads.

    Raises TypeError unless ``code`` is an int (numpy integers too, no bool)
    and ``name`` a str; ValueError when bit 31 of ``code`` is clear, when
    ``name`` is a standard name or legacy spelling, or when the bits per
    pixel that bits 23-16 of ``code`` give are not the format's (for a format
    whose pixels take a fraction of a bit count, the bits of the fewest whole
    pixels: 32 for Mono10c3p32); NameReadError (a ValueError) when ``name``
    does not read; DuplicateRegistrationError (a ValueError) when the value
    or the name is registered with another. The same pair again changes nothing.
    """
    CUSTOM_FORMATS.register(code, name)


def unregister_custom_format(code: int) -> None:
    """Forget a vendor value taught by register_custom_format; NotRegisteredError when it was not."""
    CUSTOM_FORMATS.unregister(code)
