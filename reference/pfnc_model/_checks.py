"""Argument checks that the extension modules apply at their boundary.

The C++ modules parse their arguments like Cython-declared functions: a
parameter declared ``str``, ``list`` or ``tuple`` takes exactly that type, one
declared ``int`` takes anything that converts through the number protocol, and
one declared ``bool`` takes any object's truth value. The model spells these
rules out so that both sides raise the same ``TypeError`` with the same text.
"""

from __future__ import annotations

import ctypes

_ARGUMENT_TYPE_MESSAGE = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"


def type_name(value: object) -> str:
    """The name the extensions give ``value``'s type in messages: its C-level name.

    That is the type's ``tp_name``: the plain ``__name__`` for classes written
    in Python; for types written in C outside builtins it carries the module,
    as in "collections.OrderedDict" or "time.struct_time". No attribute says
    which a type has, so the field is read where the interpreter keeps it.
    """
    cls = type(value)
    # PyTypeObject begins with PyObject_VAR_HEAD: an object header and a size.
    address = id(cls) + object.__basicsize__ + ctypes.sizeof(ctypes.c_ssize_t)
    return ctypes.c_char_p.from_address(address).value.decode()


def _argument_type_error(argname: str, expected: str, value: object) -> TypeError:
    return TypeError(_ARGUMENT_TYPE_MESSAGE % (argname, expected, type_name(value)))


def _supports_int(value: object) -> bool:
    # Looked up on the type, as the number protocol does; an instance
    # attribute named __int__ does not make an object a number.
    value_type = type(value)
    return hasattr(value_type, "__int__") or hasattr(value_type, "__index__")


def exact(value: object, expected: type, argname: str) -> object:
    """Return ``value`` if its type is exactly ``expected``; subclasses and None are refused."""
    if type(value) is not expected:
        raise _argument_type_error(argname, expected.__name__, value)
    return value


def exact_str(value: object, argname: str) -> str:
    """Return ``value`` if it is exactly a ``str``."""
    return exact(value, str, argname)


def exact_list(value: object, argname: str) -> list:
    """Return ``value`` if it is exactly a ``list``."""
    return exact(value, list, argname)


def exact_tuple(value: object, argname: str) -> tuple:
    """Return ``value`` if it is exactly a ``tuple``."""
    return exact(value, tuple, argname)


def as_int(value: object, argname: str) -> int:
    """Return an ``int`` argument: an int as it is, another number through ``int()``.

    ``int()`` truncates a float and turns True into 1; whatever ``int()`` raises
    for a number it cannot convert (a NaN, an infinity) propagates.
    """
    if type(value) is int:
        return value
    if _supports_int(value):
        return int(value)
    raise _argument_type_error(argname, "int", value)


def as_bool(value: object) -> bool:
    """Return a ``bool`` argument: the truth value of any object."""
    return bool(value)


def int_value(value: object) -> int:
    """Convert a computed value to ``int`` the way the extensions unbox one.

    Unlike ``as_int`` this is not about a named argument, hence the shorter
    message without an argument name.
    """
    if type(value) is int:
        return value
    if _supports_int(value):
        return int(value)
    raise TypeError("Expected %.200s, got %.200s" % ("int", type_name(value)))


def str_value(value: object) -> str:
    """Require a computed value to be a ``str`` (a subclass too), as the extensions do."""
    if not isinstance(value, str):
        raise TypeError("Expected %s, got %.200s" % ("str", type_name(value)))
    return value
