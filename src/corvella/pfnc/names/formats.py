"""Whole pixel-format names: read a name into its structure, compose it back, map it to its value.

A name is read along the road of the piece readers: the components field
(:mod:`._components_field`), then ``Size.from_designation``, then
``DataTypes.create``, then the packing field (:class:`Packing`), then for
``_Semiplanar`` the list of planes, then ``InterfaceSpecific.create``. The
piece classes are looked up in their modules on every call, so a registered
data-type letter, a user's own ``InterfaceSpecific`` subclass and a patched
module global take part as they do for the pieces themselves.

    >>> PixelFormat.from_name("Mono10c3p32").bits_per_pixel
    Fraction(32, 3)
"""

from __future__ import annotations

import copy
import sys
from fractions import Fraction

from . import _memory, _road
from ._components_field import read_fields
from ._packing import Packing, PackingKind
from ._standard_table import LEGACY, STANDARD
from ._suggestions import did_you_mean, suggestions_for
from .custom import CUSTOM_FORMATS, VENDOR_BIT, checked_code
from ..exceptions import NameReadError, UnknownCodeError
from ..genicam import components, layouts, scalars, widths
from ..genicam.components import GenicamComponents
from ._memo import cached_reader

__all__ = ["MAX_NAME_LENGTH", "Packing", "PackingKind", "PixelFormat"]

# Documented and pickled as members of this module.
Packing.__module__ = PackingKind.__module__ = __name__

# Longer than any name the convention builds; bounds the work spent on a text.
MAX_NAME_LENGTH = 512
_NAME_CHARACTERS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_")
_DEPRECATED = "_Deprecated"
_CODES = dict(STANDARD)
_NAMES = {code: name for name, code in STANDARD}
_STANDARD_TYPES = frozenset("usf")


def _shown(text: str, limit: int = 60) -> str:
    """The repr of a text, cut where it would flood a message."""
    if len(text) <= limit:
        return repr(text)
    return f"{text[:limit - 20]!r}... ({len(text)} characters)"


# What a reading looks up besides the pieces, which every memo watches: every module of this
# package (found by the memo, imported now or later) and what they read from below.
_READING_DEPENDS_ON = (sys.modules[__package__], components,
                       *(c for c in vars(components).values()
                         if isinstance(c, type) and c.__module__ == components.__name__),
                       # A registration changes both of the registry's dicts in place.
                       CUSTOM_FORMATS._registry, CUSTOM_FORMATS._codes)


class PixelFormat:
    """One reading of a pixel-format name: its pieces, its bits per pixel and its value.

    Read one with :meth:`from_name`, :meth:`readings` or :meth:`from_code`.
    Immutable: the pieces handed out (``components``, ``size``,
    ``data_types``, ``interface_specific``) are copies.
    """

    __slots__ = ("_name", "_code", "_field", "_components", "_size", "_data_types", "_data_type_text",
                 "_channel_types", "_packing", "_planes", "_interface_specific", "_deprecated",
                 "_sampling", "_bits_per_pixel", "_in_memory")

    def __init__(self, *args: object, **kwargs: object) -> None:
        raise TypeError("PixelFormat is read from a name or a value: use PixelFormat.from_name or from_code")

    @classmethod
    def _build(cls, field, components, size, data_types, data_type_text, channel_types, packing, planes,
               interface_specific, deprecated):
        self = object.__new__(cls)
        put = object.__setattr__
        put(self, "_field", field)
        put(self, "_components", components)
        put(self, "_size", size)
        put(self, "_data_types", data_types)
        put(self, "_data_type_text", data_type_text)
        put(self, "_channel_types", channel_types)
        put(self, "_packing", packing)
        put(self, "_planes", planes)
        put(self, "_interface_specific", interface_specific)
        put(self, "_deprecated", deprecated)
        sampling = _memory.sampling_of(components)
        put(self, "_sampling", sampling)
        put(self, "_bits_per_pixel", _memory.bits_per_pixel(list(size), sampling, packing))
        name = self._compose()
        put(self, "_name", name)
        code = _CODES.get(name)
        put(self, "_code", CUSTOM_FORMATS.code_of(name) if code is None else code)
        put(self, "_in_memory", None)
        return self

    def _compose(self) -> str:
        return "".join(self.pieces())

    def pieces(self) -> tuple[str, ...]:
        """The texts of the pieces in name order, each from the piece's designation; joined, the name.

        The components field, the number of bits (after "_" where two numbers
        would touch), the data types as the name wrote them (an explicit "u"
        kept), the packing, each plane of a semi-planar list, the
        interface-specific suffix and the "_Deprecated" mark; empty pieces left out.
        """
        pieces = [self._field, ("_" if self._field[-1].isdigit() else "") + self._size.designation(),
                  self._data_type_text]
        if self._packing is not None:
            pieces.append(self._packing.designation())
        pieces.extend("_" + "".join(plane) for plane in self._planes or ())
        if self._interface_specific is not None:
            pieces.append("_" + self._interface_specific.designation())
        if self._deprecated:
            pieces.append(_DEPRECATED)
        return tuple(piece for piece in pieces if piece)

    # -- attributes ---------------------------------------------------------------------------

    @property
    def name(self) -> str:
        """The standard spelling of the name (legacy spellings read as the standard name)."""
        return self._name

    @property
    def code(self) -> int | None:
        """The 32-bit value: the standard's, or a vendor's registered for the name; None otherwise."""
        return self._code

    @property
    def components(self) -> GenicamComponents:
        """The channels in the components field's order, with their location."""
        return copy.deepcopy(self._components)

    @property
    def size(self) -> "widths.Size":
        """The bits per channel."""
        return copy.deepcopy(self._size)

    @property
    def data_types(self) -> "scalars.DataTypes":
        """The data-type reading, one data type per channel."""
        return copy.deepcopy(self._data_types)

    @property
    def channel_types(self) -> tuple[str, ...]:
        """Per channel, "u", "s", "f" or a registered custom letter."""
        return self._channel_types

    @property
    def packing(self) -> Packing | None:
        """The packing field, or None when the name has none (lsb unpacked)."""
        return self._packing

    @property
    def interface_specific(self) -> "layouts.InterfaceSpecific | None":
        """The interface-specific reading (``_Planar``, ``_Semiplanar``, a sequencing), or None."""
        return copy.deepcopy(self._interface_specific)

    @property
    def planes(self) -> tuple[tuple[str, ...], ...] | None:
        """For ``_Semiplanar``, the channel names of each plane in memory order; None otherwise."""
        return self._planes

    @property
    def sampling(self) -> tuple[tuple[int, int], ...]:
        """Per channel, how many pixels share one sample (horizontally, vertically)."""
        return self._sampling

    @property
    def bits_per_pixel(self) -> int | Fraction:
        """Bits one pixel occupies in memory, padding included.

        A Fraction for a cluster, whose pixels share their padding (32/3 for
        Mono10c3p32), and for sub-sampled packed formats that take a fraction
        of a bit per pixel; an int otherwise.
        """
        return self._bits_per_pixel

    @property
    def deprecated(self) -> bool:
        """Whether the name ends in ``_Deprecated`` (six standard names)."""
        return self._deprecated

    def designation(self) -> str:
        """The name, composed from the pieces."""
        return self._name

    def buffer_size(self, width: int, height: int, *, stride: int | None = None) -> int:
        """Bytes one frame of ``width`` x ``height`` pixels takes in this format.

        Every plane counts, and a packed stream's last partial byte. Without
        a stride lines follow one another directly, and this is exactly what
        ``decode`` needs. With ``stride`` every line of every plane takes that
        many bytes, the last one too: frames follow one another so in a
        camera's stream and in a file.

        Raises:
            TypeError: a size that is not an integer (a bool included).
            ValueError: a size that is not positive, that the format's
                sampling or groups cannot divide, or a stride shorter than a line.
            NotImplementedError: a format whose layout is not defined.
        """
        planes = self._in_memory
        if planes is None:
            # Worked out once: a reader asks for every frame.
            try:
                planes = _memory.memory_planes(self)
            except _memory.Unsupported as error:
                planes = f"{self._name} has no defined layout: {error}"
            object.__setattr__(self, "_in_memory", planes)
        if isinstance(planes, str):
            raise NotImplementedError(planes)
        return _memory.frame_bytes(self._name, planes, self._components.names, self._sampling, width, height, stride)

    # -- readers ------------------------------------------------------------------------------

    @staticmethod
    def from_name(name: str, *, strict: bool = False) -> "PixelFormat":
        """The one full reading of ``name``.

        Raises NameReadError (a ValueError) when ``name`` cannot be read or
        has more than one full reading, and TypeError when it is not a str.
        The error's ``suggestions`` are the closest standard names and legacy
        spellings, if any is close. With ``strict``, a name must also have a
        value: be in the standard's value list, be a legacy spelling of one,
        or be registered with a vendor value.
        """
        if strict:
            return _read_strictly(name)
        return _read_name(name)

    # Readers call these for every frame: a repeated name, and any value, comes from a memo
    # (taken from the class or an instance as itself, as a staticmethod is).
    from_name = cached_reader(from_name.__func__, watch=_READING_DEPENDS_ON)

    @staticmethod
    def readings(name: str) -> "list[PixelFormat]":
        """Every full reading of ``name``, possibly none."""
        return _readings(name)[0]

    @staticmethod
    def from_code(value: int) -> "PixelFormat":
        """The format with the 32-bit ``value``: a standard one, or a vendor's registered with its name.

        Raises UnknownCodeError (a LookupError) for a value no standard
        format has and none is registered for, TypeError for anything but an
        int (a bool included) and ValueError outside 0..0xFFFFFFFF.
        """
        return _read_code(value)

    from_code = cached_reader(from_code.__func__, watch=_READING_DEPENDS_ON)

    @staticmethod
    def standard() -> "list[PixelFormat]":
        """Every standard format, in value order."""
        return [PixelFormat.from_code(code) for _, code in STANDARD]

    # -- value behaviour ----------------------------------------------------------------------

    def _key(self) -> tuple[object, ...]:
        return (self._name, self._code, self._field, self._components, self._size, self._data_types,
                self._channel_types, self._packing, self._planes, self._interface_specific, self._deprecated)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self is other or self._key() == other._key()  # type: ignore[attr-defined]

    def __hash__(self) -> int:
        return hash((self._name, self._code))

    def __str__(self) -> str:
        return self._name

    def __repr__(self) -> str:
        code = "None" if self._code is None else f"0x{self._code:08X}"
        return (f"<PixelFormat {self._name}: {self._field} {list(self._size)} {''.join(self._channel_types)},"
                f" {_describe_layout(self)}, {self._bits_per_pixel} bits per pixel, code {code}>")

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"PixelFormat is immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"PixelFormat is immutable: cannot delete {name!r}")

    def __reduce__(self) -> tuple[object, ...]:
        state = (self._field, self._components, self._size, self._data_types, self._data_type_text,
                 self._channel_types, self._packing, self._planes, self._interface_specific, self._deprecated)
        return (_rebuild, state)

    def __copy__(self) -> "PixelFormat":
        return self

    def __deepcopy__(self, memo: dict[int, object]) -> "PixelFormat":
        return _rebuild(*copy.deepcopy(self.__reduce__()[1], memo))


def _rebuild(*state: object) -> PixelFormat:
    return PixelFormat._build(*state)


def _describe_layout(pf: PixelFormat) -> str:
    packing = "unpacked" if pf._packing is None else f"packing {pf._packing.designation()}"
    if pf._interface_specific is None:
        return packing
    return f"{packing}, {type(pf._interface_specific).__name__} {pf._interface_specific.designation()}"


def _check_name(name: object) -> None:
    if type(name) is not str:
        raise TypeError(f"Argument 'name' has incorrect type (expected str, got {type(name).__name__})")


def _refuse(name: str) -> str | None:
    """Why ``name`` cannot be a pixel-format name before any reading, or None."""
    if not name:
        return "the empty string is not a pixel-format name"
    if len(name) > MAX_NAME_LENGTH:
        return (f"{_shown(name)} is not a pixel-format name: it is longer than {MAX_NAME_LENGTH} characters")
    for index, character in enumerate(name):
        if character not in _NAME_CHARACTERS:
            return (f"{_shown(name)} is not a pixel-format name: character {character!r} at index {index}"
                    " is not an ASCII letter, digit or '_'")
    return None


def _readings(name: object) -> tuple[list[PixelFormat], _road.Progress | str]:
    """The full readings of ``name``, and how far reading got (or why it could not start)."""
    _check_name(name)
    assert isinstance(name, str)
    standard = LEGACY.get(name)
    if standard is not None:
        return _readings(standard)
    refusal = _refuse(name)
    if refusal is not None:
        return [], refusal
    core, deprecated = name, False
    if name.endswith(_DEPRECATED) and name in _CODES:
        core, deprecated = name[:-len(_DEPRECATED)], True
    progress = _road.Progress()
    found: list[PixelFormat] = []
    for field, components in read_fields(core):
        progress.reached(core, core[len(field):])
        for pieces in _road.read_pieces(core, field, components, progress):
            reading = PixelFormat._build(*pieces, deprecated)
            # A reading counts when it composes back to the very name: "Mono08" is no name.
            if reading._name != name:
                progress.composed = progress.composed or reading._name
            elif reading not in found:
                found.append(reading)
    return found, progress


def _name_error(message: str, name: str, position: int) -> NameReadError:
    """A NameReadError that offers the names closest to ``name``."""
    suggestions = suggestions_for(name)
    return NameReadError(message + did_you_mean(suggestions), name, position, (), suggestions)


def _failure(name: str, readings: list[PixelFormat], progress: "_road.Progress | str") -> NameReadError:
    if isinstance(progress, str):
        return _name_error(progress, name, 0)
    if readings:
        listed = "; ".join(repr(r) for r in readings)
        return NameReadError(f"{_shown(name)} has {len(readings)} readings: {listed}", name,
                             len(name), tuple(readings))
    at = progress.position
    if progress.composed is not None:
        return _name_error(f"{_shown(name)} is not a pixel-format name: the convention writes its reading as "
                           f"{_shown(progress.composed)}", name, at)
    if at == len(name):
        return _name_error(f"{_shown(name)} is not a pixel-format name: its pieces read to the end but do not"
                           " fit together", name, at)
    if at == 0:
        return _name_error(f"{_shown(name)} is not a pixel-format name: it starts with no components field", name, 0)
    return _name_error(f"{_shown(name)} is not a pixel-format name: reading gets through "
                       f"{_shown(name[:at])} and no piece reads {_shown(name[at:])}", name, at)


def _read_name(name: str) -> PixelFormat:
    """The one full reading of ``name``; every check and every error of ``from_name``."""
    readings, progress = _readings(name)
    if len(readings) == 1:
        return readings[0]
    raise _failure(name, readings, progress)


def _read_strictly(name: str) -> PixelFormat:
    """The reading of ``name`` if it has a value; every check and every error of ``from_name(strict=True)``."""
    reading = PixelFormat.from_name(name)
    if reading.code is None:
        raise _name_error(f"{_shown(name)} reads by the naming grammar but is not in the value list, and no vendor"
                          " value is registered for it", name, len(name))
    return reading


def _unknown_code(number: int) -> UnknownCodeError:
    message = f"no standard pixel format has the value 0x{number:08X}"
    if number & VENDOR_BIT:
        message += (f": bit 31 makes it a vendor's own value, of {(number >> 16) & 0xFF} bits per pixel (bits 23-16)"
                    f" and id 0x{number & 0xFFFF:04X} (bits 15-0); register_custom_format gives it a name")
    return UnknownCodeError(message)


def _read_code(value: int) -> PixelFormat:
    """The format of ``value``; every check and every error of ``from_code``."""
    number = checked_code(value, "value")
    name = _NAMES.get(number)
    if name is None:
        vendor_name = CUSTOM_FORMATS.get(number)
        if vendor_name is None:
            raise _unknown_code(number)
        # Read as the name is: a vendor's name may use a registered letter.
        return _read_name(vendor_name)
    readings, progress = _readings(name)
    # A registered letter can give a standard name a second reading ("p" in
    # Mono12p); the value still means the standard's, written in its letters.
    standard = [r for r in readings if set(r.channel_types) <= _STANDARD_TYPES]
    if len(standard) == 1:
        return standard[0]
    raise _failure(name, readings, progress)
