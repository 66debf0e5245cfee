"""The standard names and legacy spellings closest to a text that is not a name.

Close means, in this order: the same letters in another case; then one
character added, left out, changed or swapped with its neighbour; then two,
or a whole piece left out (a run of letters or of digits, with the underscore
before it). Case never
counts as a change. Only the closest of these kinds is offered, at most three
names, in the value list's order. A short text is allowed fewer changes, so
that nonsense finds nothing.

Reading a name never comes here: only building its NameReadError does, and
the index it uses is built on the first such error.
"""

from __future__ import annotations

import functools
import re

from ._standard_table import LEGACY, STANDARD

__all__ = ["did_you_mean", "suggestions_for"]

MOST = 3
# A run of letters or of digits, with the underscore before it.
_PIECE = re.compile(r"_?(?:[^_\d]+|\d+)|_")


class _Index:
    """The candidate names, by their case-folded text and by their length."""

    def __init__(self, names: list[str]) -> None:
        self.names = names
        self.folded: dict[str, list[int]] = {}
        self.piece_left_out: dict[str, list[int]] = {}
        self.by_length: dict[int, list[tuple[str, int, int]]] = {}
        for number, name in enumerate(names):
            folded = name.casefold()
            self.folded.setdefault(folded, []).append(number)
            self.by_length.setdefault(len(folded), []).append((folded, _letters(folded), number))
            pieces = _PIECE.findall(folded)
            for at, piece in enumerate(pieces):
                rest = "".join(pieces[:at] + pieces[at + 1:])
                # What is kept must be longer than what is left out: "8" is not Mono8 without "Mono".
                if len(piece) < len(rest):
                    self.piece_left_out.setdefault(rest, []).append(number)
        self.longest = max(self.by_length)


@functools.cache
def _index() -> _Index:
    # Standard names first, in value order: the usual formats come before the exotic ones.
    return _Index([name for name, _ in STANDARD] + list(LEGACY))


def _letters(text: str) -> int:
    """The characters of text as a set of bits (several characters may share one)."""
    bits = 0
    for character in text:
        bits |= 1 << (ord(character) & 63)
    return bits


def _changes(a: str, b: str) -> int:
    """How many characters to add, leave out, change or swap with a neighbour to turn a into b (a not empty).

    Bit-parallel (Myers, with Hyyrö's swaps): one pass over b, a's positions as the bits of an int.
    """
    positions: dict[str, int] = {}
    for at, character in enumerate(a):
        positions[character] = positions.get(character, 0) | (1 << at)
    every, last = (1 << len(a)) - 1, 1 << (len(a) - 1)
    plus, minus, count = every, 0, len(a)
    diagonal = previous = 0
    for character in b:
        equal = positions.get(character, 0)
        swapped = ((~diagonal & equal) << 1) & previous
        diagonal = ((((equal & plus) + plus) ^ plus) | equal | minus | swapped) & every
        up = minus | ~(diagonal | plus)
        down = diagonal & plus
        if up & last:
            count += 1
        elif down & last:
            count -= 1
        up = ((up << 1) | 1) & every
        down = (down << 1) & every
        plus = (down | ~(diagonal | up)) & every
        minus = up & diagonal
        previous = equal
    return count


def _allowed_changes(length: int) -> int:
    return 0 if length < 4 else 1 if length < 8 else 2


def suggestions_for(text: str) -> tuple[str, ...]:
    """The closest standard names and legacy spellings to ``text``, at most three; () when none is close."""
    index = _index()
    folded = text.casefold()
    if not folded or len(folded) > index.longest + 2:
        return ()
    same = index.folded.get(folded)
    if same:
        # Several spellings may differ from the text in case alone: the one nearest in case first.
        return tuple(sorted((index.names[n] for n in same), key=lambda name: _changes(text, name))[:MOST])
    most = _allowed_changes(len(folded))
    found: dict[int, set[int]] = {1: set(), 2: set(index.piece_left_out.get(folded, ()))}
    letters = _letters(folded)
    for length in range(len(folded) - most, len(folded) + most + 1):
        for name, name_letters, number in index.by_length.get(length, ()):
            # Each change adds or removes at most one character: a cheap bound before counting.
            if (letters & ~name_letters).bit_count() > most or (name_letters & ~letters).bit_count() > most:
                continue
            changes = _changes(folded, name)
            if changes <= most:
                found[changes].add(number)
    closest = found[1] or found[2]
    return tuple(index.names[n] for n in sorted(closest)[:MOST])


def did_you_mean(suggestions: tuple[str, ...]) -> str:
    """The end of a message that offers the suggestions: "; did you mean 'A' or 'B'?", or ""."""
    if not suggestions:
        return ""
    quoted = [repr(name) for name in suggestions]
    listed = quoted[0] if len(quoted) == 1 else f"{', '.join(quoted[:-1])} or {quoted[-1]}"
    return f"; did you mean {listed}?"
