"""Inputs that break parsers, shared by the differential tests.

Objects that are numbers only in part or refuse every use, str subclasses,
channel counts from negative to huge, and texts mixing digits of several
scripts, superscripts, underscores and letters registered or not.
"""

from __future__ import annotations

import collections
import datetime
import decimal
import fractions
import operator
import sys

from hypothesis import strategies as st

class Index:
    """A number through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class IntOnly(Index):
    """A number through __int__ only."""

    __index__ = None

    def __int__(self):
        return self.value


class Failing:
    """Claims the number protocol, then refuses every use of it."""

    def __index__(self):
        raise RuntimeError("no index")

    def __bool__(self):
        raise RuntimeError("no truth")

    def __le__(self, other):
        raise RuntimeError("no order")

    def __ne__(self, other):
        raise RuntimeError("no comparison")

    def __format__(self, spec):
        raise RuntimeError("no format")

    def __repr__(self):
        return "Failing()"


class Scaling(Index):
    """An LMN field whose products cannot be compared."""

    def __mul__(self, other):
        return Failing()

    __rmul__ = __mul__


class Meddler:
    """Changes the list it sits in (``home``) whenever it is compared, and answers "no"."""

    def __init__(self, action):
        self.action = action
        self.home = None

    def _meddle(self, other):
        if self.home is not None:
            if self.action == "shrink":
                self.home.clear()
            else:
                self.home.append(8)
            self.home = None  # once is enough
        return False

    __le__ = __lt__ = __gt__ = __ge__ = __eq__ = __ne__ = _meddle
    __hash__ = object.__hash__

    def __repr__(self):
        return f"Meddler({self.action!r})"


class MeddlingStr(str):
    """A data type that empties the list it sits in when first compared, and answers "equal"."""

    home = None

    def __eq__(self, other):
        if self.home is not None:
            self.home.clear()
            self.home = None
        return True

    __hash__ = str.__hash__


class NotAnInt:
    """__int__ answers with something other than an int."""

    def __int__(self):
        return "3"

    def __repr__(self):
        return "NotAnInt()"


class Sub(str):
    """A str subclass: a data type, but not a str at the boundary."""


class Vague(Sub):
    """A data type whose comparisons answer something without a truth value."""

    def __eq__(self, other):
        return Failing()

    __ne__ = __eq__
    __hash__ = str.__hash__


NUMBERS = [True, False, 3.9, -0.5, 1e300, float("nan"), float("inf"), decimal.Decimal("2.7"), fractions.Fraction(7, 2)]
NOT_NUMBERS = [None, "3", b"3", [3], 1j, Sub("3"), collections.OrderedDict(), datetime.date(2000, 1, 1)]
HUGE = [sys.maxsize, sys.maxsize + 1, -sys.maxsize - 1, 2**64, -(2**100), 10**30]

odd_objects = st.one_of(
    st.sampled_from(NUMBERS + NOT_NUMBERS),
    st.builds(Index, st.integers(-3, 8)),
    st.builds(IntOnly, st.integers(-3, 8)),
    st.builds(Failing),
    st.builds(NotAnInt),
)


def counts(largest: int = 12):
    """Channel counts: mostly small, some negative, some too large for any list, some not ints."""
    # Nothing between about 10**4 and 2**60: such a list would really be built.
    return st.one_of(
        st.integers(-3, largest),
        st.integers(-(10**6), 2000),
        st.sampled_from(HUGE),
        odd_objects,
    )


# ---------------------------------------------------------------- texts

ASCII_DIGITS = "0123456789"
# Arabic-Indic, extended Arabic-Indic, fullwidth and mathematical bold digits.
OTHER_DECIMALS = "\u0660\u0661\u0669\u06f0\u06f7\uff10\uff11\uff19\U0001d7ce\U0001d7d7"
# Superscripts and a circled one: str.isdigit() but not int().
NOT_DECIMAL = "\u00b2\u00b3\u00b9\u2070\u2079\u2460"
# Default letters, registrable ones, unregistered ones, non-ASCII, a lone surrogate.
LETTERS = "sfuxy7pYUV\u00e9\ud800"
PIECES = ["_", "__", "Planar", "Semiplanar", "10", "565", "Y", "UYVY", "\x00"]

characters = st.sampled_from(ASCII_DIGITS * 3 + OTHER_DECIMALS + NOT_DECIMAL + LETTERS)
texts = st.one_of(
    st.lists(st.one_of(characters, st.sampled_from(PIECES)), max_size=12).map("".join),
    st.text(max_size=16),
    # Very long: beyond the interpreter's digit limit for int(), and long rests.
    st.builds(operator.mul, st.sampled_from(["1", "12", "\u0661", "8p", "0", "s"]), st.integers(100, 6000)),
)


# ---------------------------------------------------------------- data types


class Member(str):
    """Stands for the DefaultDataType member of that name in either implementation."""


MEMBERS = [Member("UNSIGNED"), Member("SIGNED"), Member("FLOAT")]


def resolved(m, value):
    if type(value) is Member:
        return getattr(m.scalars.DefaultDataType, value)
    if type(value) is list:
        return [resolved(m, v) for v in value]
    return value


letter_names = st.one_of(
    st.sampled_from(["x", "y", "7", "\u00e9", "_", "\ud800", "s", "u", "", "xy", "Planar"]),
    st.sampled_from([None, 3, Sub("x")]),
)
registered_values = st.one_of(
    st.none(),
    st.sampled_from(MEMBERS),
    st.sampled_from(["x", "ab", ""]),
    st.sampled_from([3, None, Sub("q")]),
    st.builds(object),
)
registrations = st.lists(st.tuples(letter_names, registered_values), max_size=4)
