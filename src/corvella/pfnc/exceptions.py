"""Exceptions raised by the pixel-format designation readers and registries."""

__all__ = [
    "PfncError",
    "ParseReject",
    "PixelFormatValueReject",
    "DuplicateRegistrationError",
    "NotRegisteredError",
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
