"""Running one call against the model and the extensions and comparing what comes out.

Objects of the two implementations are different classes, so results are
compared as plain data: every object of either implementation becomes its
class name, its attributes and its designation; builtins stay as they are,
with bools and floats tagged so that 1 == True does not hide a difference.
An exception becomes its type, its text and the type of its context.
"""

from __future__ import annotations

from contextlib import ExitStack
from enum import Enum
from typing import Any, Callable

import pytest

from edge_cases import debug_messages
from implementations import IMPLEMENTATIONS, load

MODEL = load("model")
EXTENSION = load("extension")
_OURS = {name for names in IMPLEMENTATIONS.values() for name in names}


def needs(*modules: str):
    """Skip the marked test unless both implementations have every one of ``modules``."""
    absent = [f"{impl.name} {m}" for impl in (MODEL, EXTENSION) for m in modules if getattr(impl, m) is None]
    return pytest.mark.skipif(bool(absent), reason=f"not built yet: {', '.join(absent)}")


def _is_ours(cls: type) -> bool:
    return any(c.__module__ in _OURS for c in cls.__mro__)


def _designation(value: Any) -> Any:
    try:
        return value.designation()
    except Exception as e:
        return raised(e)


def plain(value: Any) -> Any:
    """``value`` as data that compares equal exactly when the two sides agree."""
    t = type(value)
    if value is None or t is str or t is int:
        return value
    if t is bool or t is float:
        return (t.__name__, repr(value))
    if t is list:
        return [plain(v) for v in value]
    if t is tuple:
        return tuple(plain(v) for v in value)
    if t is dict:
        return ("dict", [(plain(k), plain(v)) for k, v in value.items()])
    if t is set:
        return ("set", sorted(repr(plain(v)) for v in value))
    if isinstance(value, Enum):
        return (t.__name__, value.name)
    if isinstance(value, BaseException):
        return raised(value)
    if isinstance(value, type):
        return ("class", value.__name__)
    if _is_ours(t):
        attributes = {k: plain(v) for k, v in vars(value).items()}
        if callable(getattr(value, "designation", None)):
            return (t.__name__, attributes, _designation(value))
        return (t.__name__, attributes)
    # Test-made objects, passed to both sides as the same object.
    return ("object", repr(value))


def raised(e: BaseException) -> tuple:
    """An exception as its type, its text, and the types along its chain of contexts and its cause."""
    chain = []
    context = e.__context__
    while context is not None and len(chain) < 4:
        chain.append(type(context))
        context = context.__context__
    cause = None if e.__cause__ is None else type(e.__cause__)
    return ("raised", type(e), str(e), tuple(chain), cause, e.__suppress_context__)


class CallersError(Exception):
    """What the caller is handling while it calls, for exceptions to chain to."""


def outcome(impl, call: Callable[[Any], Any], logged: tuple[str, ...] = (), handling: bool = False) -> tuple:
    """What ``call(impl)`` returns or raises, and the debug messages of ``logged`` modules meanwhile.

    With ``handling`` the call is made inside an except block.
    """
    with ExitStack() as stack:
        messages = [stack.enter_context(debug_messages(getattr(impl, m).logger)) for m in logged]
        try:
            if handling:
                try:
                    raise CallersError
                except CallersError:
                    result = ("returned", plain(call(impl)))
            else:
                result = ("returned", plain(call(impl)))
        except Exception as e:
            result = raised(e)
    return result, messages


def same(call: Callable[[Any], Any], logged: tuple[str, ...] = (), handling: bool = False) -> tuple:
    """Require the same outcome of ``call`` from both implementations; return the model's."""
    expected = outcome(MODEL, call, logged, handling)
    found = outcome(EXTENSION, call, logged, handling)
    assert found == expected, f"\nextension: {_short(found)}\nmodel:     {_short(expected)}"
    return expected


def _short(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 2000 else text[:1000] + " ... " + text[-1000:]
