"""Exceptions raised by the pixel-format designation readers and registries."""

__all__ = [
    "PfncError",
    "ParseReject",
    "PixelFormatValueReject",
    "DuplicateRegistrationError",
    "NotRegisteredError",
    "NameReadError",
    "UnknownCodeError",
]


class PfncError(Exception):
    """Base class of every exception this package raises on purpose."""


class ParseReject(PfncError):
    """A reader refuses the whole text it was given; dispatchers skip that reader."""


class PixelFormatValueReject(PfncError, ValueError):
    """A value cannot make up a pixel-format piece (for example a size of 0).

    Deliberately not a :class:`ParseReject`: a reader that drops a reading
    catches it explicitly, and anything it lets through is a real error.
    """


class DuplicateRegistrationError(PfncError, ValueError):
    """A name is already registered and registrations are never overwritten."""


class NotRegisteredError(PfncError, LookupError):
    """A name is not registered.

    A :class:`LookupError` but not a :class:`KeyError`, whose ``str()`` would
    quote the message.
    """


class NameReadError(PfncError, ValueError):
    """A text is not a pixel-format name, or can be read in more than one way.

    ``name`` is the text, ``position`` how many characters of it the longest
    reading got through, ``readings`` the full readings when there were
    several (empty otherwise), and ``suggestions`` the standard names or
    legacy spellings closest to the text (at most three; the message names
    them too).
    """

    def __init__(self, message: str, name: object = None, position: int = 0, readings: tuple[object, ...] = (),
                 suggestions: tuple[str, ...] = ()) -> None:
        super().__init__(message)
        self.name = name
        self.position = position
        self.readings = readings
        self.suggestions = suggestions

    def __reduce__(self) -> tuple[object, ...]:
        return (type(self), (str(self), self.name, self.position, self.readings, self.suggestions))


class UnknownCodeError(PfncError, LookupError):
    """No standard pixel format has this 32-bit value."""
